// Sketch ids: parsing and formatting, fresh and path-derived ids, and the hash that picks a colour.
#include "store/uuid.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "store/meta.h"
#include "store/meta_test_util.h"

using namespace meta_test;

TEST(Uuid, ParsesEitherCaseAndFormatsLowerCase) {
  Uuid u;
  ASSERT_TRUE(uuid_parse("5C0FFEE0-AB12-4CDE-9F00-1234567890AB", &u));
  EXPECT_EQ(uuid_text(u), "5c0ffee0-ab12-4cde-9f00-1234567890ab");
  char t[UUID_TEXT_BYTES];
  EXPECT_EQ(uuid_format(&u, t), 36);
  EXPECT_EQ(strlen(t), 36u);
  // The version bits are not checked.
  EXPECT_TRUE(uuid_parse("00000000-0000-0000-0000-000000000000", &u));

  const char* bad[] = {
      "5c0ffee0-ab12-4cde-9f00-1234567890a",    // 35
      "5c0ffee0-ab12-4cde-9f00-1234567890abc",  // 37
      "5c0ffee0-ab12-4cde-9f00-1234567890ab ",  // something after
      "5c0ffee0ab12-4cde-9f00-1234567890ab-",   // hyphen moved
      "5c0ffee0-ab12-4cde-9f00-1234567890ag",   // not hex
      "{c0ffee0-ab12-4cde-9f00-1234567890ab",  "",
  };
  for (const char* b : bad) EXPECT_FALSE(uuid_parse(b, &u)) << b;
  EXPECT_FALSE(uuid_parse(nullptr, &u));
  // A decoded string may carry a zero byte: the length decides, not the terminator.
  EXPECT_FALSE(uuid_parse_n("5c0ffee0-ab12-4cde-9f00-1234567890ab\0x", 38, &u));
}

// Four threads mint ids both ways; the clock fallback must stay distinct through its counter.
TEST(Uuid, FreshIdsAreVersion4AndDistinct) {
  std::vector<std::vector<Uuid>> got(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&got, t] {
      for (int i = 0; i < 500; i++) {
        Uuid u;
        if (t % 2)
          uuid_new(&u);
        else
          uuid_from_clock(&u);
        got[t].push_back(u);
      }
    });
  for (auto& th : threads) th.join();
  std::set<std::string> seen;
  for (auto& v : got)
    for (const Uuid& u : v) {
      EXPECT_EQ(u.bytes[6] >> 4, 4);
      EXPECT_EQ(u.bytes[8] >> 6, 2);
      seen.insert(uuid_text(u));
    }
  EXPECT_EQ(seen.size(), 2000u);
}

TEST(Uuid, ClockFallbackNeverRepeatsUnderContention) {
  // Threads minting at the same moment see neighbouring counter values and clock readings.
  constexpr int kThreads = 4, kEach = 25000;
  std::vector<std::vector<std::string>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++)
    threads.emplace_back([&got, t] {
      for (int i = 0; i < kEach; i++) {
        Uuid u;
        uuid_from_clock(&u);
        got[t].push_back(uuid_text(u));
      }
    });
  for (auto& th : threads) th.join();
  std::set<std::string> seen;
  for (auto& v : got) seen.insert(v.begin(), v.end());
  EXPECT_EQ(seen.size(), (size_t)kThreads * kEach);
}

TEST(Uuid, PathDerivedIdsAreStableAndFoldAsciiCase) {
  Uuid a, b;
  uuid_from_path("", &a);
  EXPECT_EQ(uuid_text(a), "cbf29ce4-8422-4325-8422-2325cbf29ce4");
  uuid_from_path("a", &a);
  EXPECT_EQ(uuid_text(a), "af63dc4c-8601-4c8c-b89d-d4398d3f41e1");
  uuid_from_path("A", &b);
  EXPECT_TRUE(uuid_equal(&a, &b));
  uuid_from_path("/Music/Kelp/Sketch", &a);
  EXPECT_EQ(uuid_text(a), "9ed5c18e-8628-446f-be97-572c2ab3ee3a");
  uuid_from_path("/music/kelp/sketch", &b);
  EXPECT_TRUE(uuid_equal(&a, &b));
  // Only ASCII letters fold: É (C3 89) and é (C3 A9) stay different.
  uuid_from_path("/x/\xC3\x89", &a);
  uuid_from_path("/x/\xC3\xA9", &b);
  EXPECT_FALSE(uuid_equal(&a, &b));
}

TEST(Uuid, HashPicksThePaletteEntry) {
  Uuid u;
  uuid_parse("5c0ffee0-ab12-4cde-9f00-1234567890ab", &u);
  EXPECT_EQ(uuid_hash(&u), -8662693934361321714LL);  // wraps negative
  EXPECT_EQ(meta_palette_index(&u), 2);
  uuid_parse("a3bb189e-8bf9-4888-9912-ace4e6543002", &u);
  EXPECT_EQ(meta_palette_index(&u), 3);
  Uuid ff;
  memset(ff.bytes, 0xFF, 16);
  EXPECT_EQ(uuid_hash(&ff), 6175760664974581504LL);
  EXPECT_EQ(meta_palette_index(&ff), 0);

  SketchMeta m;
  meta_new(&m, 0);
  uuid_parse("5c0ffee0-ab12-4cde-9f00-1234567890ab", &m.uuid);
  MetaColour c = meta_colour(&m);
  EXPECT_FLOAT_EQ(c.r, 0.11f);
  EXPECT_FLOAT_EQ(c.g, 1.0f);
  EXPECT_FLOAT_EQ(c.b, 0.0f);
  m.hasPickedColor = true;
  m.pickedColor = {0.25, 0.5, 0.75};
  c = meta_colour(&m);
  EXPECT_FLOAT_EQ(c.r, 0.25f);
  EXPECT_FLOAT_EQ(c.b, 0.75f);
  meta_free(&m);
}
