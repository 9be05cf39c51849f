// The library's order and cards: the sort, thinned thumbs and whole-character texts, and what
// counts as a blank sketch.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "core/core.h"
#include "core/tape.h"
#include "store/filenames.h"
#include "store/files.h"
#include "store/import.h"
#include "store/jobs.h"
#include "store/library.h"
#include "store/library_test_util.h"
#include "store/meta.h"
#include "store/uuid.h"
#include "store/wav.h"
#include "support/log_capture.h"
#include "support/tmpdir.h"

using namespace library_test;

TEST(LibrarySort, NewestFirstThenTheFolderNamedByItsIdThenByFolder) {
  auto card = [](double at, const char* folder, const char* id) {
    LibraryCard c{};
    c.created_at = at;
    snprintf(c.folder, sizeof c.folder, "/lib/%s", folder);
    snprintf(c.id, sizeof c.id, "%s", id);
    uuid_parse(id, &c.uuid);
    return c;
  };
  const char* a = "aaaaaaaa-0000-4000-8000-000000000001";
  const char* b = "bbbbbbbb-0000-4000-8000-000000000002";
  const char* c = "cccccccc-0000-4000-8000-000000000003";
  const char* d = "dddddddd-0000-4000-8000-000000000004";
  const char* e = "eeeeeeee-0000-4000-8000-000000000005";
  LibraryCard cards[] = {
      card(5, "zeta", b),
      card(NAN, "nan", c),
      card(5, "Alpha", d),
      card(9, "newest", e),
      card(5, "AAAAAAAA-0000-4000-8000-000000000001", a),  // named by its id, upper case
      card(5, "beta copy", a),
  };
  int64_t mark = log_console_count();
  library_sort(cards, 6);
  std::vector<std::string> got;
  for (const LibraryCard& x : cards) got.push_back(strrchr(x.folder, '/') + 1);
  EXPECT_EQ(got, (std::vector<std::string>{"newest", "AAAAAAAA-0000-4000-8000-000000000001",
                                           "Alpha", "beta copy", "zeta", "nan"}));
  EXPECT_FALSE(cards[1].damaged);
  EXPECT_TRUE(cards[3].damaged);
  EXPECT_STRNE(cards[3].id, a);
  EXPECT_TRUE(log_has(mark,
                      "library: /lib/beta copy has the same id as "
                      "/lib/AAAAAAAA-0000-4000-8000-000000000001"));
}

TEST(LibraryCard, ThumbsAreThinnedAndTextsCutWhole) {
  SketchMeta m{};
  meta_new(&m, 48000);
  m.lengthSamples = 48000;
  for (int32_t n : {1000, 80, 81, 0}) {
    LayerTemplate t{};
    t.startSample = n;
    t.lengthSamples = 1000;
    t.sampleRate = 48000;
    t.hasExplicitY = n == 80;
    t.explicitY = 0.25;
    Layer* l = layer_new(&t, n);
    for (int32_t i = 0; i < n; i++) l->strokes[i] = (float)i / 1000.0f;
    meta_add_layer(&m, l);
  }
  meta_refresh_waveform(&m);
  LibraryCard card;
  ASSERT_EQ(library_card_from_meta(&card, &m, "/lib/x"), 0);
  ASSERT_EQ(card.thumb_count, 4);
  EXPECT_EQ(card.thumbs[0].stroke_count, 77);  // step 13
  EXPECT_FLOAT_EQ(card.thumbs[0].strokes[76], 988.0f / 1000.0f);
  EXPECT_EQ(card.thumbs[1].stroke_count, 80);
  EXPECT_TRUE(card.thumbs[1].has_explicit_y);
  EXPECT_EQ(card.thumbs[2].stroke_count, 41);  // step 2
  EXPECT_FLOAT_EQ(card.thumbs[2].strokes[40], 80.0f / 1000.0f);
  EXPECT_EQ(card.thumbs[3].stroke_count, 0);
  EXPECT_EQ(card.waveform_count, 96);
  EXPECT_DOUBLE_EQ(card.duration, 1.0);
  EXPECT_FALSE(card.empty);
  EXPECT_STREQ(card.id, m.id);
  library_card_free(&card);

  // Out of memory: the card stands without its drawing.
  library_debug_fail_allocations(0);
  EXPECT_EQ(library_card_from_meta(&card, &m, "/lib/x"), -1);
  library_debug_fail_allocations(-1);
  EXPECT_EQ(card.thumbs, nullptr);
  EXPECT_EQ(card.waveform, nullptr);
  EXPECT_STREQ(card.id, m.id);
  library_card_free(&card);
  meta_free(&m);

  // A reason of three-byte characters is cut to 127 bytes on a character boundary.
  std::string reason = "\xC3\xA9";
  for (int i = 0; i < 60; i++) reason += "\xE2\x82\xAC";
  library_card_damaged(&card, "/lib/Ünïcode", "Ünïcode", reason.c_str(), 0);
  EXPECT_EQ(strlen(card.message), 126u);  // 25 + 2 + 33 x 3: the 34th euro sign didn't fit
  EXPECT_STREQ(card.title, "Ünïcode");
  EXPECT_TRUE(card.empty);
  EXPECT_DOUBLE_EQ(card.created_at, 0.0);  // no meta.json to date it
  library_card_damaged(&card, "/lib/x", "x", nullptr, 5);
  EXPECT_STREQ(card.message, "couldn't read meta.json: unknown");
}

TEST(LibrarySketch, BlankMeansNoAudioAnywhere) {
  TmpDir dir("library");
  SketchMeta m{};
  meta_new(&m, 48000);
  EXPECT_TRUE(library_sketch_is_blank(&m, dir.path.c_str()));
  tmpdir_write(dir / "tape.f32", "");
  EXPECT_TRUE(library_sketch_is_blank(&m, dir.path.c_str()));
  write_tape_file(dir / "tape.f32", 1);
  EXPECT_FALSE(library_sketch_is_blank(&m, dir.path.c_str()));
  tmpdir_write(dir / "tape.f32", "");
  m.hasLegacyLayers = true;
  EXPECT_FALSE(library_sketch_is_blank(&m, dir.path.c_str()));
  m.hasLegacyLayers = false;
  m.lengthSamples = 5;
  EXPECT_FALSE(library_sketch_is_blank(&m, dir.path.c_str()));
  meta_free(&m);
}
