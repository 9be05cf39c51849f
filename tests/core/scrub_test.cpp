#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/core.h"
#include "core/core_fixture.h"

using namespace core_fixture;

namespace {

// A running core on a 200,000-frame ramp tape, scrubbing from `at`.
void begin_scrub(Harness& s, int64_t at, int64_t frames = 200000) {
  s.init(make_ramp_tape(frames), nullptr, at);
  s.cmd(CMD_SCRUB_BEGIN);
  s.blk.run(s.core, 16);
  ASSERT_NE(status(s.core).flags & CORE_STATUS_SCRUBBING, 0u);
}

// Releases the head at `pos` moving `velocity` frames per frame.
void release_at(Harness& s, double pos, double velocity, uint8_t flags = 0) {
  s.core->scrub_pos = s.core->scrub_target = pos;
  s.core->scrub_velocity = velocity;
  s.cmd(CMD_SCRUB_END, 0, 0, flags);
}

TEST(CoreScrub, SlowReleaseLandsAtOnce) {
  Harness s;
  begin_scrub(s, 1000);
  release_at(s, 1234.7, 0.04);
  s.blk.run(s.core, 256);
  EXPECT_TRUE(drain(s.core).empty());
  CoreStatus st = status(s.core);
  EXPECT_EQ(st.flags & (CORE_STATUS_SCRUBBING | CORE_STATUS_COASTING), 0u);
  EXPECT_EQ(st.cursor, 1234);
  EXPECT_EQ(st.display_pos, 1234.0);
}

TEST(CoreScrub, FastReleaseCoastsAndDecays) {
  Harness s;
  begin_scrub(s, 1000);
  release_at(s, 1000.0, 0.5);
  int blocks = 0;
  double expect = 0.5;
  std::vector<CoreEvent> ev;
  while (ev.empty() && blocks < 100) {
    s.blk.run(s.core, 256);
    blocks++;
    expect *= 0.94;
    ev = drain(s.core);
    if (ev.empty()) {
      ASSERT_NEAR(s.core->coast_velocity, expect, 1e-12) << blocks;
      CoreStatus st = status(s.core);
      ASSERT_NE(st.flags & CORE_STATUS_COASTING, 0u);
      ASSERT_EQ(st.display_pos, s.core->scrub_pos);
    }
  }
  // 0.5 * 0.94^k < 0.05 first at k = 38.
  EXPECT_EQ(blocks, 38);
  ASSERT_EQ(kinds(ev), (std::vector<int32_t>{EV_CURSOR_SETTLED}));
  CoreStatus st = status(s.core);
  EXPECT_EQ(st.flags & CORE_STATUS_COASTING, 0u);
  EXPECT_EQ((int64_t)ev[0].value, st.cursor);
  EXPECT_GT(st.cursor, 1000 + 1000);
}

TEST(CoreScrub, CoastDecayFollowsTheRate) {
  Harness s;
  begin_scrub(s, 1000);
  core_set_rate(s.core, 96000.0, 2);
  release_at(s, 1000.0, 0.5);
  s.blk.run(s.core, 512);
  EXPECT_NEAR(s.core->coast_velocity, 0.5 * 0.94, 1e-12);
}

TEST(CoreScrub, CoastIntoEitherEndStopsThere) {
  for (int dir : {-1, 1}) {
    Harness s;
    begin_scrub(s, 1000, 5000);
    release_at(s, dir < 0 ? 100.0 : 4900.0, 1.5 * dir);
    std::vector<CoreEvent> ev;
    for (int b = 0; b < 10 && ev.empty(); b++) {
      s.blk.run(s.core, 256);
      ev = drain(s.core);
    }
    ASSERT_EQ(kinds(ev), (std::vector<int32_t>{EV_CURSOR_SETTLED})) << dir;
    int64_t want = dir < 0 ? 0 : 4999;
    EXPECT_EQ((int64_t)ev[0].value, want);
    CoreStatus st = status(s.core);
    EXPECT_EQ(st.cursor, want);
    EXPECT_EQ(st.flags & CORE_STATUS_COASTING, 0u);
    EXPECT_EQ(s.core->coast_velocity, 0.0);
  }
}

TEST(CoreScrub, VelocityIsLimitedByTheScale) {
  for (float scale : {1.0f, 3.0f}) {
    Harness s;
    begin_scrub(s, 0);
    core_set_scrub_scale(s.core, scale);
    double most = 0.0;
    for (int b = 0; b < 60; b++) {
      s.cmd(CMD_SCRUB_MOVE, 0, 0, 0, 10000.0);
      double before = s.core->scrub_pos;
      s.blk.run(s.core, 256);
      double moved = s.core->scrub_pos - before;
      ASSERT_LE(moved, 256.0 * scale + 1e-6) << scale << " block " << b;
      most = std::fmax(most, moved);
    }
    EXPECT_GT(most, 0.95 * 256.0 * scale) << scale;
  }
  // The scale is clamped to 0.01..3.
  Harness s;
  begin_scrub(s, 0);
  core_set_scrub_scale(s.core, 50.0f);
  for (int b = 0; b < 60; b++) {
    s.cmd(CMD_SCRUB_MOVE, 0, 0, 0, 10000.0);
    double before = s.core->scrub_pos;
    s.blk.run(s.core, 256);
    ASSERT_LE(s.core->scrub_pos - before, 768.0 + 1e-6);
  }
}

TEST(CoreScrub, HoldingStillFadesToExactSilence) {
  Harness s;
  begin_scrub(s, 5000);
  s.cmd(CMD_SCRUB_MOVE, 0, 0, 0, 3000.0);
  bool heard = false;
  bool silent_at_end = false;
  for (int b = 0; b < 400; b++) {
    s.blk.run(s.core, 256);
    bool silent = true;
    for (float v : s.blk.out_l) silent = silent && v == 0.0f;
    if (!silent) heard = true;
    silent_at_end = silent;
  }
  EXPECT_TRUE(heard);
  EXPECT_TRUE(silent_at_end);
  for (float v : s.blk.out_r) ASSERT_EQ(v, 0.0f);
  EXPECT_NEAR(s.core->scrub_pos, 8000.0, 2.0);

  // With the monitor on, the input still comes through while the head rests.
  core_set_monitor(s.core, true);
  s.blk.run(s.core, 256, 0.3f, 0.3f);
  EXPECT_NEAR(s.blk.out_l[100], 0.3f, 1e-3);
}

TEST(CoreScrub, EmptyTapeIsSilent) {
  for (int64_t len : {0, 1}) {
    Harness s;
    Tape* t = make_tape(1000, len, 0.8f, 0.8f);
    s.init(t, nullptr);
    s.cmd(CMD_SCRUB_BEGIN);
    s.cmd(CMD_SCRUB_MOVE, 0, 0, 0, 500.0);
    for (int b = 0; b < 20; b++) {
      s.blk.run(s.core, 256);
      for (float v : s.blk.out_l) ASSERT_EQ(v, 0.0f) << len;
    }
    EXPECT_LE(s.core->scrub_target, (double)len);
  }
}

TEST(CoreScrub, InterpolatesBetweenFrames) {
  Harness s;
  begin_scrub(s, 0);
  s.core->scrub_pos = s.core->scrub_target = 100.25;
  s.core->scrub_velocity = 0.0;
  s.core->scrub_gain = 1.0f;
  s.blk.run(s.core, 1);
  // gain target 0 (still) moves the gain by one step first.
  float g = 1.0f + (0.0f - 1.0f) * 0.0015f;
  EXPECT_NEAR(s.blk.out_l[0], (0.100f + 0.25f * 0.001f) * g, 1e-6);
  EXPECT_NEAR(s.blk.out_r[0], -(0.100f + 0.25f * 0.001f) * g, 1e-6);
}

TEST(CoreScrub, EndResumesPlayingOnlyWhenAskedAndItWasPlaying) {
  for (uint8_t flags : {(uint8_t)0, (uint8_t)CMD_FLAG_PLAY}) {
    Harness s;
    s.init(make_ramp_tape(100000), nullptr, 1000);
    s.cmd(CMD_PLAY_FROM, -1);
    s.cmd(CMD_SCRUB_BEGIN);
    s.blk.run(s.core, 64);
    EXPECT_EQ(status(s.core).flags & CORE_STATUS_PLAYING, 0u);
    release_at(s, 2000.0, 0.0, flags);
    s.blk.run(s.core, 64);
    CoreStatus st = status(s.core);
    EXPECT_EQ((st.flags & CORE_STATUS_PLAYING) != 0, flags != 0);
    EXPECT_EQ(st.cursor, flags ? 2064 : 2000);
  }
}

TEST(CoreScrub, LocateDuringScrubMovesHeadAndDuringCoastSettles) {
  Harness s;
  begin_scrub(s, 1000);
  s.cmd(CMD_LOCATE, 7000);
  s.blk.run(s.core, 16);
  EXPECT_EQ(s.core->scrub_pos, 7000.0);
  EXPECT_EQ(s.core->scrub_target, 7000.0);
  EXPECT_EQ(status(s.core).cursor, 7000);

  release_at(s, 7000.0, 2.0);
  s.blk.run(s.core, 256);
  ASSERT_NE(status(s.core).flags & CORE_STATUS_COASTING, 0u);
  s.cmd(CMD_LOCATE, 300);
  s.blk.run(s.core, 16);
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_EQ(kinds(ev), (std::vector<int32_t>{EV_CURSOR_SETTLED}));
  EXPECT_EQ(ev[0].value, 300u);
  EXPECT_EQ(status(s.core).flags & CORE_STATUS_COASTING, 0u);
  EXPECT_EQ(status(s.core).cursor, 300);
}

TEST(CoreScrub, RecordEndsACoastFirst) {
  Harness s;
  s.init(make_ramp_tape(100000), make_tape(100000), 1000);
  s.cmd(CMD_SCRUB_BEGIN);
  s.blk.run(s.core, 16);
  release_at(s, 3000.0, 2.0);
  s.blk.run(s.core, 256);
  s.cmd(CMD_RECORD, 0, 4, CMD_FLAG_PLAY);
  double at = s.core->scrub_pos;
  s.blk.run(s.core, 16);
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_EQ(kinds(ev), (std::vector<int32_t>{EV_CURSOR_SETTLED, EV_TAKE_STARTED}));
  EXPECT_EQ((int64_t)ev[0].value, (int64_t)std::floor(at));
  EXPECT_EQ(ev[1].segment_start, (int64_t)std::floor(at));
  // A scrub begin while recording is ignored.
  s.cmd(CMD_SCRUB_BEGIN);
  s.blk.run(s.core, 16);
  EXPECT_EQ(status(s.core).flags & CORE_STATUS_SCRUBBING, 0u);
}

TEST(CoreScrub, GrabDuringCoastKeepsTheMotion) {
  Harness s;
  begin_scrub(s, 1000);
  release_at(s, 5000.0, 2.0);
  s.blk.run(s.core, 256);
  double v = s.core->scrub_velocity;
  double pos = s.core->scrub_pos;
  ASSERT_GT(v, 1.0);
  s.cmd(CMD_SCRUB_BEGIN);
  s.blk.run(s.core, 1);
  EXPECT_NE(status(s.core).flags & CORE_STATUS_SCRUBBING, 0u);
  EXPECT_TRUE(drain(s.core).empty());
  EXPECT_EQ(s.core->scrub_target, std::floor(pos));
  EXPECT_GT(s.core->scrub_velocity, 0.9 * v);  // no restart from rest
  EXPECT_EQ(s.core->coast_velocity, 0.0);
}

TEST(CoreScrub, NonFiniteMoveIsIgnored) {
  Harness s;
  begin_scrub(s, 1000);
  s.cmd(CMD_SCRUB_MOVE, 0, 0, 0, NAN);
  s.cmd(CMD_SCRUB_MOVE, 0, 0, 0, INFINITY);
  s.blk.run(s.core, 256);
  EXPECT_EQ(s.core->scrub_target, 1000.0);
  s.cmd(CMD_SCRUB_MOVE, 0, 0, 0, -1e12);
  s.blk.run(s.core, 256);
  EXPECT_EQ(s.core->scrub_target, 0.0);
}

}  // namespace
