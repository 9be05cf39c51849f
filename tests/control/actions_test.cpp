#include "control/actions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

TEST(Actions, ListKeepsTheFirst64InOrder) {
  static ActionList l;
  memset(&l, 0xAB, sizeof l);  // old garbage must not leak into new records
  l.count = 0;
  for (int i = 0; i < ACTION_LIST_MAX; i++) EXPECT_TRUE(actions_push(&l, ACT_TAP, i, nullptr));
  Action late{};
  EXPECT_FALSE(actions_push(&l, ACT_RECORD, 99, "late"));
  EXPECT_FALSE(actions_push_xy(&l, ACT_ZOOM, 0, 1, 0));
  EXPECT_FALSE(actions_append(&l, &late));
  ASSERT_EQ(l.count, ACTION_LIST_MAX);
  for (int i = 0; i < ACTION_LIST_MAX; i++) {
    EXPECT_EQ(l.items[i].value, i);
    EXPECT_EQ(l.items[i].x + l.items[i].y, 0.0f);
    EXPECT_STREQ(l.items[i].text, "");
  }
}

TEST(Actions, LongTextsAreCutOnWholeCharacters) {
  const struct {
    size_t prefix;       // ASCII bytes before the tail
    const char* tail;    // what straddles the 1023-byte edge (then 10 more bytes)
    size_t want_length;  // stored bytes
  } cases[] = {
      {1022, "\xE2\x82\xAC", 1022},      // euro sign from 1022: dropped whole
      {1021, "\xE2\x82\xAC", 1021},      // its third byte would be byte 1024
      {1020, "\xE2\x82\xAC", 1023},      // ends exactly at 1023: kept
      {1022, "\xF0\x9F\x8E\xB5", 1022},  {1020, "\xF0\x9F\x8E\xB5", 1020},
      {1023, "x", 1023},                 {2000, "", 1023},
  };
  static ActionList l;
  for (const auto& c : cases) {
    std::string s = std::string(c.prefix, 'a') + c.tail + std::string(10, 'b');
    l.count = 0;
    ASSERT_TRUE(actions_push(&l, ACT_OPEN_LINK, 0, s.c_str()));
    EXPECT_EQ(strlen(l.items[0].text), c.want_length) << c.prefix;
    EXPECT_EQ(memcmp(l.items[0].text, s.data(), c.want_length), 0);
    // A whole record gets the same cut, also when its field holds no terminator.
    Action a;
    memset(&a, 'z', sizeof a);
    memcpy(a.text, s.data(), std::min(s.size(), sizeof a.text));
    ASSERT_TRUE(actions_append(&l, &a));
    EXPECT_EQ(strlen(l.items[1].text), c.want_length) << c.prefix;
  }
  char out[8];
  EXPECT_EQ(actions_cut_utf8(out, sizeof out, "abcde\xC3\xA9xyz"), 7u);  // ends at 7: whole
  EXPECT_EQ(actions_cut_utf8(out, sizeof out, "abcdef\xC3\xA9"), 6u);   // would end at 8
  actions_upper_ascii(out, sizeof out, "ab\xC3\xA9z!12");
  EXPECT_STREQ(out, "AB\xC3\xA9Z!1");
}

TEST(Actions, EveryRowNamedAndOnlyPointerActionsQuiet) {
  const std::set<int> quiet = {0, 10, 11, 12, 13, 14, 15, 17, 18, 19, 20, 21, 22, 23};
  std::set<std::string> names;
  for (int k = 0; k < ACTION_KINDS; k++) {
    const ActionRow* r = actions_row(k);
    ASSERT_TRUE(r && r->name && r->name[0]) << k;
    EXPECT_EQ(r->quiet, quiet.count(k) == 1) << k << " " << r->name;
    names.insert(r->name);
  }
  EXPECT_EQ(names.size(), static_cast<size_t>(ACTION_KINDS));  // no row repeated by mistake
  EXPECT_EQ(actions_row(-1), nullptr);
  EXPECT_EQ(actions_row(ACTION_KINDS), nullptr);
}

TEST(Actions, DeviceStepping) {
  const struct {
    int32_t count, current, step;
    int rc;
    int32_t target;
  } cases[] = {
      {3, 0, 0, 0, 1},   {3, 2, 1, 0, 0},   {3, 0, -1, 0, 2},  // 0 is +1; wraps both ways
      {3, 1, -7, 0, 0},  {3, 1, -5, 0, 2},  {3, 1, 5, 0, 0},   // truncating remainder folded
      {3, -1, 1, 0, 0},  {3, -1, -1, 0, 2}, {3, 9, -4, 0, 2},  // current off the list
      {1, 0, 0, -2, 0},  {4, 1, 4, -2, 1},                     // lands on itself
      {0, 0, 1, -1, 0},  {-2, 0, 1, -1, 0}, {5, 2, INT32_MAX, 0, 4},
  };
  for (const auto& c : cases) {
    int32_t t = -99;
    EXPECT_EQ(actions_device_target(c.count, c.current, c.step, &t), c.rc)
        << c.count << " " << c.current << " " << c.step;
    if (c.rc == 0) {
      EXPECT_EQ(t, c.target) << c.count << " " << c.current << " " << c.step;
    }
  }
}

TEST(Actions, BufferAndRateStepping) {
  const struct {
    bool rate;
    int32_t current, dir, want;
  } cases[] = {
      {false, 64, 1, 128},      {false, 512, 0, 1024},   {false, 1024, 1, 64},
      {false, 128, -1, 64},     {false, 64, -1, 1024},   {false, 300, 1, 512},
      {false, 300, -1, 256},    {false, 4096, -3, 1024}, {false, 0, 1, 64},
      {true, 0, 1, 44100},      {true, 88200, 1, 96000}, {true, 96000, 1, 0},
      {true, 0, -1, 96000},     {true, 44100, -1, 0},    {true, 22050, 1, 44100},
      {true, 50000, -1, 48000}, {true, 192000, 1, 0},    {true, 192000, -1, 96000},
  };
  for (const auto& c : cases) {
    int32_t got = c.rate ? actions_rate_step(c.current, c.dir) : actions_buffer_step(c.current, c.dir);
    EXPECT_EQ(got, c.want) << (c.rate ? "rate " : "buffer ") << c.current << " " << c.dir;
  }
}
