// The library's preview played through a real core: it plays and ends, stale loads are dropped,
// and read-only cards follow the rules.
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
#include "app/preview.h"
#include "store/library.h"
#include "store/library_test_util.h"
#include "store/meta.h"
#include "store/uuid.h"
#include "store/wav.h"
#include "support/log_capture.h"
#include "support/tmpdir.h"

using namespace library_test;

namespace {

struct Audio {
  Core* core = core_new();
  float out_l[256], out_r[256];
  Audio() { core_set_running(core, true); }
  ~Audio() { core_free(core); }
  // One 256-frame callback of silence in; the loudest left sample out.
  float run() {
    float in[256] = {};
    core_process(core, in, in, 2, out_l, out_r, 256, 0);
    float top = 0;
    for (float v : out_l) top = std::max(top, std::fabs(v));
    return top;
  }
  bool previewing() {
    CoreStatus s;
    core_read_status(core, &s);
    return s.flags & CORE_STATUS_PREVIEW;
  }
  bool ended() {
    CoreEvent e;
    bool seen = false;
    while (core_pop_event(core, &e)) seen |= e.kind == EV_PREVIEW_ENDED;
    return seen;
  }
};

}  // namespace

TEST(LibraryPreview, PlaysThroughTheCoreAndEnds) {
  TmpDir dir("library");
  const std::string lib = dir.path;
  const std::string a = make_sketch(lib, Recipe().at(20).name("A").frames(4800).sidecar(true));
  const std::string b = make_sketch(lib, Recipe().at(10).name("B").frames(4800).sidecar(true));
  Library l;
  library_init(&l, lib.c_str());
  scan_now(&l);
  JobQueue* q = jobs_start();
  ASSERT_NE(q, nullptr);
  Audio audio;
  const LibraryPlayer player = preview_player(audio.core);
  library_set_player(&l, &player);

  library_preview_toggle(&l, q, a.c_str(), 48000.0);
  EXPECT_STREQ(l.preview_id, a.c_str());
  EXPECT_TRUE(l.preview_pending);
  EXPECT_FALSE(library_preview_playing(&l));
  std::vector<Job*> done = finish(q, &l);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0]->kind, JOB_LOAD_PREVIEW);
  EXPECT_EQ(done[0]->tape_out, nullptr);  // handed to the core
  free_jobs(done);
  EXPECT_TRUE(library_preview_playing(&l));
  EXPECT_GT(audio.run(), 0.2f);
  EXPECT_TRUE(audio.previewing());

  // Seek near the end and let it play out.
  EXPECT_TRUE(library_preview_seek(&l, 4700));
  bool ended = false;
  for (int k = 0; k < 4 && !ended; k++) {
    audio.run();
    ended = audio.ended();
  }
  ASSERT_TRUE(ended);
  library_preview_ended(&l);
  EXPECT_FALSE(library_preview_playing(&l));
  EXPECT_STREQ(l.preview_id, "");
  EXPECT_FALSE(library_preview_seek(&l, 0));

  // A second press on the same card stops it; a press on another switches.
  library_preview_toggle(&l, q, a.c_str(), 48000.0);
  done = finish(q, &l);
  free_jobs(done);
  audio.run();
  EXPECT_TRUE(audio.previewing());
  library_preview_toggle(&l, q, a.c_str(), 48000.0);
  EXPECT_STREQ(l.preview_id, "");
  EXPECT_TRUE(jobs_idle(q, JOB_WORKER_ANY));
  EXPECT_EQ(audio.run(), 0.0f);
  EXPECT_FALSE(audio.previewing());

  library_preview_toggle(&l, q, a.c_str(), 48000.0);
  done = finish(q, &l);
  free_jobs(done);
  audio.run();
  library_preview_toggle(&l, q, b.c_str(), 48000.0);
  EXPECT_STREQ(l.preview_id, b.c_str());
  EXPECT_TRUE(l.preview_pending);
  audio.run();
  EXPECT_FALSE(audio.previewing());  // a's tape let go at once
  done = finish(q, &l);
  free_jobs(done);
  EXPECT_TRUE(library_preview_playing(&l));
  EXPECT_GT(audio.run(), 0.2f);
  library_preview_stop(&l);
  EXPECT_EQ(audio.run(), 0.0f);

  // With the command ring full the stop is logged and the preview plays out by itself.
  library_preview_toggle(&l, q, a.c_str(), 48000.0);
  done = finish(q, &l);
  free_jobs(done);
  CoreCommand stop{};
  stop.kind = CMD_STOP;
  while (core_push_command(audio.core, &stop)) {
  }
  int64_t mark = log_console_count();
  library_preview_stop(&l);
  EXPECT_TRUE(
      log_has(mark, "library: the command ring is full - the preview plays out on its own"));
  EXPECT_STREQ(l.preview_id, "");
  jobs_stop(q);
  library_free(&l);
}

TEST(LibraryPreview, StaleLoadsAreDroppedAndReadOnlyCardsFollowTheRules) {
  TmpDir dir("library");
  const std::string lib = dir.path;
  const std::string a = make_sketch(lib, Recipe().at(20).frames(4800).sidecar(true));
  const std::string b = make_sketch(lib, Recipe().at(10).frames(4800).sidecar(true));
  // Damaged: one with any WAV in it plays that; one without has no audio.
  fsys_make_folders((lib + "/damaged-wav").c_str());
  tmpdir_write(lib + "/damaged-wav/meta.json", "{");
  Tape* t = make_tape(960, 0.5f);
  ASSERT_EQ(wav_write((lib + "/damaged-wav/whatever.wav").c_str(), t, 0, 960, 1.0f, nullptr), 0);
  tape_free(t);
  fsys_make_folders((lib + "/damaged-bare").c_str());
  tmpdir_write(lib + "/damaged-bare/meta.json", "{");
  write_tape_file(lib + "/damaged-bare/tape.f32", 100);
  const std::string legacyId = "11111111-2222-4333-8444-555555555555";
  fsys_make_folders((lib + "/" + legacyId).c_str());
  tmpdir_write(lib + "/" + legacyId + "/meta.json",
               "{\"id\":\"" + legacyId + "\",\"layers\":[{\"x\":1}]}");
  Library l;
  library_init(&l, lib.c_str());
  scan_now(&l);
  ASSERT_EQ(l.count, 5);
  JobQueue* q = jobs_start();
  ASSERT_NE(q, nullptr);
  Audio audio;
  const LibraryPlayer player = preview_player(audio.core);
  library_set_player(&l, &player);

  // a is asked for, then b before a's tape is back: only b plays.
  jobs_debug_pause(q, true);
  library_preview_toggle(&l, q, a.c_str(), 48000.0);
  library_preview_toggle(&l, q, b.c_str(), 48000.0);
  jobs_debug_pause(q, false);
  std::vector<Job*> done = finish(q, &l);
  ASSERT_EQ(done.size(), 2u);
  EXPECT_NE(done[0]->tape_out, nullptr);  // a's, dropped with its job
  EXPECT_EQ(done[1]->tape_out, nullptr);
  free_jobs(done);
  EXPECT_STREQ(l.preview_id, b.c_str());
  EXPECT_TRUE(library_preview_playing(&l));
  library_preview_stop(&l);

  // A legacy card does nothing.
  library_preview_toggle(&l, q, legacyId.c_str(), 48000.0);
  EXPECT_STREQ(l.preview_id, "");

  auto id_of = [&](const char* folder) {
    for (int32_t i = 0; i < l.count; i++)
      if (std::string(l.rows[i].folder) == lib + "/" + folder) return std::string(l.rows[i].id);
    return std::string();
  };
  library_preview_toggle(&l, q, id_of("damaged-wav").c_str(), 48000.0);
  done = finish(q, &l);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0]->result, JOB_DONE);
  EXPECT_STREQ(done[0]->name, "");
  free_jobs(done);
  EXPECT_TRUE(library_preview_playing(&l));
  EXPECT_GT(audio.run(), 0.3f);

  library_preview_toggle(&l, q, id_of("damaged-bare").c_str(), 48000.0);
  done = finish(q, &l);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0]->result, JOB_FAILED);
  EXPECT_STREQ(done[0]->message, "NO AUDIO");
  free_jobs(done);
  EXPECT_STREQ(l.preview_id, "");
  EXPECT_FALSE(l.preview_pending);

  // Without a player nothing plays and nothing leaks.
  library_set_player(&l, nullptr);
  library_preview_toggle(&l, q, a.c_str(), 48000.0);
  done = finish(q, &l);
  free_jobs(done);
  EXPECT_STREQ(l.preview_id, "");
  jobs_stop(q);
  library_free(&l);
}
