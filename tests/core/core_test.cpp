#include "core/core.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "core/core_fixture.h"
#include "base/log.h"

using namespace core_fixture;

namespace {

constexpr float kSlow = 0.0015f;
constexpr float kFast = 0.02f;

// Records `frames` (take 1, playing) so the envelope settles near 1; drains EV_TAKE_STARTED.
void record_settled(Harness& s, int64_t frames = 48000, float in = 0.1f) {
  s.cmd(CMD_RECORD, 0, 1, CMD_FLAG_PLAY);
  s.blk.run_frames(s.core, frames, 256, in, in);
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_FALSE(ev.empty());
  ASSERT_EQ(ev[0].kind, EV_TAKE_STARTED);
}

// ---------------------------------------------------------------------------------------------
// Callback edges

TEST(CoreCallback, OversizeIsSilentCountedAndDoesNotMove) {
  Harness s;
  s.init(make_tape(10000, 10000, 0.5f, 0.5f), nullptr, 100);
  s.cmd(CMD_PLAY_FROM, -1);
  s.blk.run(s.core, 64);
  CoreStatus before = status(s.core);
  ASSERT_EQ(before.cursor, 164);

  s.blk.run(s.core, 4097, 0.3f, 0.3f);
  for (float v : s.blk.out_l) ASSERT_EQ(v, 0.0f);
  for (float v : s.blk.out_r) ASSERT_EQ(v, 0.0f);
  CoreStatus after = status(s.core);
  EXPECT_EQ(after.oversize_callbacks, 1u);
  EXPECT_EQ(after.cursor, 164);
  EXPECT_EQ(after.callbacks, before.callbacks);

  // Not running: silent, not counted. Exactly 4,096 frames is a normal callback.
  core_set_running(s.core, false);
  s.blk.run(s.core, 4097);
  core_set_running(s.core, true);
  EXPECT_EQ(status(s.core).oversize_callbacks, 1u);
  s.blk.run(s.core, 4096);
  EXPECT_EQ(status(s.core).cursor, 164 + 4096);
  EXPECT_FLOAT_EQ(s.blk.out_l[0], 0.5f);
}

TEST(CoreCallback, StoppedCoreOutputsSilenceAndAppliesNothing) {
  Harness s;
  s.init(make_tape(1000, 1000, 0.5f, 0.5f), nullptr);
  core_set_running(s.core, false);
  s.cmd(CMD_PLAY_FROM, 0);
  s.blk.run(s.core, 128, 0.2f, 0.2f);
  for (float v : s.blk.out_l) ASSERT_EQ(v, 0.0f);
  CoreStatus st = status(s.core);
  EXPECT_EQ(st.flags & CORE_STATUS_PLAYING, 0u);
  EXPECT_EQ(st.flags & CORE_STATUS_RUNNING, 0u);
  core_set_running(s.core, true);
  s.blk.run(s.core, 128);
  EXPECT_NE(status(s.core).flags & CORE_STATUS_PLAYING, 0u);
}

TEST(CoreCallback, NullOutputsAndNullInputsProcessNormally) {
  Harness s;
  s.init(make_tape(10000), make_tape(10000));
  s.cmd(CMD_RECORD, 0, 5, CMD_FLAG_PLAY);
  std::vector<float> in(512, 0.25f);
  core_process(s.core, in.data(), in.data(), 2, nullptr, nullptr, 512, 0);
  CoreStatus st = status(s.core);
  EXPECT_EQ(st.cursor, 512);
  EXPECT_EQ(st.segment_length, 512);
  EXPECT_GT(left_at(s.main, 511), 0.0f);
  EXPECT_GT(left_at(s.capture, 511), 0.0f);
  // Null inputs record silence; the status word counts as a flagged callback.
  core_process(s.core, nullptr, nullptr, 2, nullptr, nullptr, 256, 0x2);
  st = status(s.core);
  EXPECT_EQ(st.cursor, 768);
  EXPECT_EQ(st.flagged_callbacks, 1u);
  EXPECT_EQ(left_at(s.capture, 700), 0.0f);
}

TEST(CoreCallback, NonFiniteInputBecomesSilenceAndIsCounted) {
  Harness s;
  s.init(make_tape(1000), nullptr);
  core_set_monitor(s.core, true);
  std::vector<float> l(64, 0.5f), r(64, 0.5f), ol(64), orr(64);
  l[3] = NAN;
  r[9] = INFINITY;
  core_process(s.core, l.data(), r.data(), 2, ol.data(), orr.data(), 64, 0);
  EXPECT_EQ(ol[3], 0.0f);
  EXPECT_EQ(orr[9], 0.0f);
  EXPECT_EQ(ol[4], 0.5f);
  CoreStatus st = status(s.core);
  EXPECT_EQ(st.nonfinite_callbacks, 1u);
  EXPECT_FLOAT_EQ(st.input_peak, 0.5f);
}

TEST(CoreCallback, MonoInputFeedsBothSidesAndOutputIsSoftClipped) {
  Harness s;
  s.init(make_tape(1000), nullptr);
  core_set_monitor(s.core, true);
  std::vector<float> l(64, 1.0f), garbage(64, -0.3f), ol(64), orr(64);
  core_process(s.core, l.data(), garbage.data(), 1, ol.data(), orr.data(), 64, 0);
  EXPECT_NEAR(ol[10], 1.0f - 0.25f / 3.0f, 1e-6);
  EXPECT_EQ(ol[10], orr[10]);
  CoreStatus st = status(s.core);
  EXPECT_NEAR(st.output_peak, 1.0f - 0.25f / 3.0f, 1e-6);
  EXPECT_FLOAT_EQ(st.input_peak, 1.0f);
}

// ---------------------------------------------------------------------------------------------
// Recording: overdub, capture, levels, loop

TEST(CoreRecord, OverdubAddsOntoTapeAndCaptureStoresEnvelopedInput) {
  Harness s;
  s.init(make_tape(20000, 20000, 0.25f, -0.25f), make_tape(20000), 1000);
  s.cmd(CMD_RECORD, 0, 77, CMD_FLAG_PLAY);
  s.blk.run(s.core, 1000, 0.5f, 0.3f);
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].kind, EV_TAKE_STARTED);
  EXPECT_EQ(ev[0].take_id, 77);
  EXPECT_EQ(ev[0].segment_start, 1000);
  EXPECT_EQ(ev[0].value, 1000u);

  float fade = 0.0f;
  for (int i = 0; i < 1000; i++) {
    fade += (1.0f - fade) * kSlow;
    ASSERT_NEAR(left_at(s.main, 1000 + i), 0.25f + fade * 0.5f, 1e-6) << i;
    ASSERT_NEAR(right_at(s.main, 1000 + i), -0.25f + fade * 0.3f, 1e-6) << i;
    ASSERT_NEAR(left_at(s.capture, i), fade * 0.5f, 1e-7) << i;
    ASSERT_NEAR(right_at(s.capture, i), fade * 0.3f, 1e-7) << i;
    // The output carries what the tape held before this frame's overdub.
    ASSERT_FLOAT_EQ(s.blk.out_l[(size_t)i], 0.25f);
  }
  EXPECT_EQ(left_at(s.main, 2000), 0.25f);
  EXPECT_EQ(tape_length(s.capture), 1000);
  EXPECT_EQ(tape_length(s.main), 20000);
  CoreStatus st = status(s.core);
  EXPECT_EQ(st.capture_pos, 1000);
  EXPECT_EQ(st.take_id, 77);
  EXPECT_NE(st.flags & CORE_STATUS_RECORDING, 0u);
}

TEST(CoreRecord, RecordingPastTheEndExtendsTheTape) {
  Harness s;
  s.init(make_tape(40000, 1000, 0.1f, 0.1f), make_tape(40000), 1000);
  s.cmd(CMD_RECORD, 0, 1);  // without playing: the cursor still moves while recording
  s.blk.run_frames(s.core, 3000, 256, 0.2f, 0.2f);
  EXPECT_EQ(tape_length(s.main), 4000);
  EXPECT_EQ(status(s.core).main_length, 4000);
  EXPECT_EQ(status(s.core).cursor, 4000);
}

TEST(CoreRecord, OneSecondTakeGives188HopLevels) {
  Harness s;
  s.init(make_tape(100000), make_tape(100000));
  s.cmd(CMD_RECORD, 0, 3, CMD_FLAG_PLAY);
  // Hop h carries a constant (h + 1) / 1000, so each level tells which hop made it.
  for (int h = 0; h < 188; h++) {
    int n = h < 187 ? 256 : 128;
    float v = (float)(h + 1) / 1000.0f;
    s.blk.run(s.core, n, v, -v);
  }
  s.cmd(CMD_RECORD_STOP);
  s.blk.run(s.core, 64);
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_GE(ev.size(), 2u);
  ASSERT_EQ(ev[0].kind, EV_TAKE_STARTED);
  ASSERT_EQ(ev[1].kind, EV_TAKE_ENDED);
  EXPECT_EQ(ev[1].segment_length, 48000);
  EXPECT_EQ(ev[1].capture_pos - ev[1].capture_start, 48000);
  EXPECT_EQ(ev[1].value, 48000u);
  EXPECT_EQ(ev[1].dropped_levels, 0u);
  EXPECT_EQ(ev[1].levels_written - ev[0].levels_written, 188);

  std::vector<float> levels(400);
  int got = core_read_levels(s.core, levels.data(), 400, ev[1].levels_written);
  ASSERT_EQ(got, 188);
  for (int h = 0; h < 188; h++) EXPECT_FLOAT_EQ(levels[(size_t)h], (float)(h + 1) / 1000.0f) << h;
  EXPECT_EQ(core_read_levels(s.core, levels.data(), 400, INT64_MAX), 0);
}

TEST(CoreRecord, HopSizeKeepsItsFractionAt44100) {
  Harness s;
  s.init(make_tape(100000), make_tape(100000));
  core_set_rate(s.core, 44100.0, 2);
  s.cmd(CMD_RECORD, 0, 3, CMD_FLAG_PLAY);
  s.blk.run_frames(s.core, 44100, 256, 0.1f, 0.1f);
  s.cmd(CMD_RECORD_STOP);
  s.blk.run(s.core, 64);
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_GE(ev.size(), 2u);
  // 44,100 / 235.2 = 187.5: 187 full hops and one partial.
  EXPECT_EQ(ev[1].levels_written - ev[0].levels_written, 188);
  EXPECT_DOUBLE_EQ(status(s.core).sample_rate, 44100.0);
}

TEST(CoreRecord, LoopWrapSplitsTheSegmentAndKeepsOverdubbing) {
  Harness s;
  s.init(make_tape(10000, 10000), make_tape(10000), 2500);
  s.cmd(CMD_LOOP, 1000, 3000, CMD_FLAG_LOOP_ON);
  s.cmd(CMD_RECORD, 0, 9, CMD_FLAG_PLAY);
  s.blk.run_frames(s.core, 1024, 256, 0.2f, 0.2f);
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_EQ(kinds(ev), (std::vector<int32_t>{EV_TAKE_STARTED, EV_SPLIT_LOOP}));
  EXPECT_EQ(ev[1].segment_start, 2500);
  EXPECT_EQ(ev[1].segment_length, 500);
  EXPECT_EQ(ev[1].value, 1000u);
  EXPECT_EQ(ev[1].take_id, 9);
  EXPECT_EQ(ev[1].capture_pos - ev[1].capture_start, 500);
  // 500 frames: one full hop and a partial one.
  EXPECT_EQ(ev[1].levels_written - ev[0].levels_written, 2);

  CoreStatus st = status(s.core);
  EXPECT_EQ(st.cursor, 1000 + 524);
  EXPECT_EQ(st.segment_start, 1000);
  EXPECT_EQ(st.segment_length, 524);
  EXPECT_EQ(st.capture_pos, 1024);
  EXPECT_NE(st.flags & CORE_STATUS_RECORDING, 0u);
  EXPECT_GT(left_at(s.main, 2999), 0.0f);
  EXPECT_EQ(left_at(s.main, 3000), 0.0f);
  EXPECT_GT(left_at(s.main, 1000), 0.1f);
  EXPECT_GT(left_at(s.main, 1523), 0.1f);
  EXPECT_EQ(left_at(s.main, 1524), 0.0f);
}

TEST(CoreRecord, RecordAtOrPastLoopOutStartsAtLoopIn) {
  for (int64_t at : {3000, 5000}) {
    Harness s;
    s.init(make_tape(10000, 10000), make_tape(10000), at);
    s.cmd(CMD_LOOP, 1000, 3000, CMD_FLAG_LOOP_ON);
    s.cmd(CMD_RECORD, 0, 1, CMD_FLAG_PLAY);
    s.blk.run(s.core, 100, 0.2f, 0.2f);
    std::vector<CoreEvent> ev = drain(s.core);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].segment_start, 1000) << at;
    EXPECT_EQ(ev[0].value, 1000u) << at;
    EXPECT_EQ(status(s.core).cursor, 1100) << at;
  }
}

TEST(CoreRecord, LoopPointsBelowOneBecomeZeroAndInAtOrPastOutLeavesLoopOff) {
  Harness s;
  s.init(make_tape(10000, 10000), nullptr);
  s.cmd(CMD_LOOP, 5000, 1000, CMD_FLAG_LOOP_ON);
  s.blk.run(s.core, 16);
  EXPECT_EQ(status(s.core).flags & CORE_STATUS_LOOP_ON, 0u);
  s.cmd(CMD_LOOP, 2000, 2000, CMD_FLAG_LOOP_ON);
  s.blk.run(s.core, 16);
  EXPECT_EQ(status(s.core).flags & CORE_STATUS_LOOP_ON, 0u);
  s.cmd(CMD_LOOP, -7, 0, CMD_FLAG_LOOP_ON);
  s.blk.run(s.core, 16);
  EXPECT_EQ(s.core->loop_in, 0);
  EXPECT_EQ(s.core->loop_out, 0);
  EXPECT_EQ(status(s.core).flags & CORE_STATUS_LOOP_ON, 0u);
  s.cmd(CMD_LOOP, -5, 300, CMD_FLAG_LOOP_ON);
  s.blk.run(s.core, 16);
  EXPECT_EQ(s.core->loop_in, 0);
  EXPECT_NE(status(s.core).flags & CORE_STATUS_LOOP_ON, 0u);
  s.cmd(CMD_LOOP, 0, 300, 0);
  s.blk.run(s.core, 16);
  EXPECT_EQ(status(s.core).flags & CORE_STATUS_LOOP_ON, 0u);
}

TEST(CoreRecord, MissingChunkCountsFramesAndPostsTapeFullOnce) {
  Harness s;
  // Two chunk slots, only the first present.
  Tape* main = tape_new(48000.0, 20.0, 0);
  ASSERT_GE(main->max_chunks, 2);
  ASSERT_EQ(tape_ensure(main, 0), 0);
  s.init(main, make_tape(10000), 0);
  s.cmd(CMD_RECORD, 0, 4, CMD_FLAG_PLAY);
  s.blk.run(s.core, 8, 0.1f, 0.1f);
  s.cmd(CMD_LOCATE_MID_TAKE, TAPE_CHUNK_FRAMES - 100);  // envelope still below 0.02: jumps at once
  s.blk.run_frames(s.core, 1000, 256, 0.1f, 0.1f);
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_EQ(kinds(ev), (std::vector<int32_t>{EV_TAKE_STARTED, EV_SPLIT_JUMP, EV_TAPE_FULL}));
  EXPECT_EQ(ev[2].value, (uint64_t)TAPE_CHUNK_FRAMES);
  CoreStatus st = status(s.core);
  EXPECT_EQ(st.missing_chunk_frames, 900u);
  EXPECT_NE(st.flags & CORE_STATUS_TAPE_FULL, 0u);
  EXPECT_EQ(st.cursor, TAPE_CHUNK_FRAMES + 900);  // recording carries on
  EXPECT_EQ(st.segment_length, 1000);
  EXPECT_EQ(tape_length(main), TAPE_CHUNK_FRAMES);
  // A new take may report it again.
  s.cmd(CMD_RECORD_STOP);
  s.blk.run_frames(s.core, 12000, 256);
  s.cmd(CMD_RECORD, 0, 5, CMD_FLAG_PLAY);
  s.blk.run(s.core, 16);
  EXPECT_EQ(status(s.core).flags & CORE_STATUS_TAPE_FULL, 0u);
}

// ---------------------------------------------------------------------------------------------
// Jumps and locates

TEST(CoreJump, JumpWhileRecordingWaitsForTheEnvelope) {
  Harness s;
  s.init(make_tape(200000), make_tape(200000));
  record_settled(s, 48000);
  drain(s.core);
  ASSERT_GT(s.core->fade, 0.999f);
  const int64_t c0 = status(s.core).cursor;
  const int64_t seg0 = status(s.core).segment_start;

  // Frames the envelope needs at the fast rate to fall below 0.02.
  float fade = s.core->fade;
  int k = 0;
  while (!(fade < 0.02f)) {
    fade += (0.0f - fade) * kFast;
    k++;
  }
  ASSERT_GT(k, 150);
  ASSERT_LT(k, 256);

  s.cmd(CMD_LOCATE_MID_TAKE, 100);
  s.blk.run(s.core, 128, 0.1f, 0.1f);
  CoreStatus st = status(s.core);
  EXPECT_NE(st.flags & CORE_STATUS_SEEK_PENDING, 0u);
  EXPECT_EQ(st.cursor, c0 + 128);
  EXPECT_TRUE(drain(s.core).empty());

  s.blk.run(s.core, 128, 0.1f, 0.1f);
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].kind, EV_SPLIT_JUMP);
  EXPECT_EQ(ev[0].segment_start, seg0);
  EXPECT_EQ(ev[0].segment_start + ev[0].segment_length, c0 + k);
  EXPECT_EQ(ev[0].capture_pos - ev[0].capture_start, ev[0].segment_length);
  EXPECT_EQ(ev[0].value, 100u);
  st = status(s.core);
  EXPECT_EQ(st.flags & CORE_STATUS_SEEK_PENDING, 0u);
  EXPECT_EQ(st.cursor, 100 + (256 - k));
  EXPECT_EQ(st.segment_start, 100);
  // The envelope comes back up at the fast rate, then the slow one.
  EXPECT_EQ(s.core->fast_fade, 1);
  s.blk.run(s.core, 256, 0.1f, 0.1f);
  EXPECT_EQ(s.core->fast_fade, 0);
  EXPECT_GT(s.core->fade, 0.9f);
}

TEST(CoreJump, NewerJumpReplacesOneStillWaiting) {
  Harness s;
  s.init(make_tape(200000), make_tape(200000));
  record_settled(s, 48000);
  drain(s.core);
  // Stop the block just as the envelope crosses 0.02, with the first jump still waiting.
  float fade = s.core->fade;
  int k = 0;
  while (!(fade < 0.02f)) {
    fade += (0.0f - fade) * kFast;
    k++;
  }
  s.cmd(CMD_LOCATE_MID_TAKE, 100);
  s.blk.run(s.core, k);
  ASSERT_EQ(s.core->seek_pending, 1);
  ASSERT_LT(s.core->fade, 0.02f);
  s.cmd(CMD_LOCATE_MID_TAKE, 5000);
  s.blk.run(s.core, 256);
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_EQ(kinds(ev), (std::vector<int32_t>{EV_SPLIT_JUMP}));
  EXPECT_EQ(ev[0].value, 5000u);
  EXPECT_EQ(status(s.core).cursor, 5256);
}

TEST(CoreJump, PlayFromNegativePlaysFromCursorAndLocateNegativeGoesToZero) {
  Harness s;
  s.init(make_ramp_tape(20000), nullptr);
  s.cmd(CMD_LOCATE, 4123);
  s.blk.run(s.core, 64);
  EXPECT_EQ(status(s.core).cursor, 4123);
  EXPECT_EQ(status(s.core).flags & CORE_STATUS_PLAYING, 0u);

  s.cmd(CMD_PLAY_FROM, -1);
  s.blk.run(s.core, 256);
  EXPECT_EQ(status(s.core).cursor, 4379);
  EXPECT_NE(status(s.core).flags & CORE_STATUS_PLAYING, 0u);
  EXPECT_FLOAT_EQ(s.blk.out_l[0], 0.123f);

  s.cmd(CMD_LOCATE, -5);
  s.blk.run(s.core, 256);
  EXPECT_EQ(status(s.core).cursor, 256);
  EXPECT_NE(status(s.core).flags & CORE_STATUS_PLAYING, 0u);

  s.cmd(CMD_STOP);
  s.cmd(CMD_LOCATE_MID_TAKE, 999999);  // clamps to the length when not recording
  s.blk.run(s.core, 16);
  EXPECT_EQ(status(s.core).cursor, 20000);
  EXPECT_EQ(status(s.core).flags & CORE_STATUS_PLAYING, 0u);
}

TEST(CoreJump, PlayReachingTheEndRewindsWithPlayEnd) {
  Harness s;
  s.init(make_tape(1000, 1000, 0.4f, 0.4f), nullptr);
  s.cmd(CMD_PLAY_FROM, 900);
  s.blk.run(s.core, 256);
  for (int i = 0; i < 100; i++) ASSERT_FLOAT_EQ(s.blk.out_l[(size_t)i], 0.4f);
  for (int i = 100; i < 256; i++) ASSERT_EQ(s.blk.out_l[(size_t)i], 0.0f);
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].kind, EV_PLAY_END);
  EXPECT_EQ(ev[0].value, 0u);
  CoreStatus st = status(s.core);
  EXPECT_EQ(st.cursor, 0);
  EXPECT_EQ(st.flags & CORE_STATUS_PLAYING, 0u);

  // With the loop on it wraps instead.
  s.cmd(CMD_LOOP, 500, 1000, CMD_FLAG_LOOP_ON);
  s.cmd(CMD_PLAY_FROM, 900);
  s.blk.run(s.core, 256);
  EXPECT_TRUE(drain(s.core).empty());
  st = status(s.core);
  EXPECT_EQ(st.cursor, 500 + 156);
  EXPECT_NE(st.flags & CORE_STATUS_PLAYING, 0u);
  for (float v : s.blk.out_l) ASSERT_FLOAT_EQ(v, 0.4f);
}

TEST(CoreJump, LocateDuringTailWaitsThenEndsTheTail) {
  Harness s;
  s.init(make_tape(200000), make_tape(200000));
  record_settled(s, 20000);
  s.cmd(CMD_STOP);
  s.cmd(CMD_RECORD_STOP);
  s.cmd(CMD_LOCATE, 50);
  s.blk.run(s.core, 64);
  EXPECT_NE(status(s.core).flags & CORE_STATUS_SEEK_PENDING, 0u);
  EXPECT_NE(status(s.core).flags & CORE_STATUS_TAIL, 0u);
  s.blk.run_frames(s.core, 1024);  // the fast rate closes the envelope in well under 1,024
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_EQ(kinds(ev), (std::vector<int32_t>{EV_TAKE_ENDED, EV_TAIL_DONE}));
  EXPECT_EQ(ev[1].value, (uint64_t)tape_length(s.main));
  CoreStatus st = status(s.core);
  EXPECT_EQ(st.cursor, 50);
  EXPECT_EQ(st.flags & (CORE_STATUS_TAIL | CORE_STATUS_SEEK_PENDING), 0u);
  EXPECT_EQ(s.core->fade, 0.0f);
}

// ---------------------------------------------------------------------------------------------
// Punch-out tail

TEST(CoreTail, TailOverdubsButDoesNotCaptureThenEnds) {
  Harness s;
  s.init(make_tape(200000), make_tape(200000));
  record_settled(s, 20000, 0.5f);
  s.cmd(CMD_STOP);
  s.cmd(CMD_RECORD_STOP);
  s.blk.run(s.core, 256, 0.5f, 0.5f);
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_EQ(kinds(ev), (std::vector<int32_t>{EV_TAKE_ENDED}));
  EXPECT_EQ(ev[0].value, 20000u);
  EXPECT_EQ(ev[0].segment_length, 20000);
  CoreStatus st = status(s.core);
  EXPECT_NE(st.flags & CORE_STATUS_TAIL, 0u);
  EXPECT_EQ(st.cursor, 20256);  // moves although not playing
  EXPECT_EQ(st.capture_pos, 20000);
  EXPECT_EQ(tape_length(s.capture), 20000);
  EXPECT_GT(left_at(s.main, 20255), 0.3f);

  // About 5,000 frames from full level at the slow rate.
  int64_t frames = 256;
  while (drain(s.core).empty() && frames < 10000) {
    s.blk.run(s.core, 64, 0.5f, 0.5f);
    frames += 64;
  }
  EXPECT_GT(frames, 4900);
  EXPECT_LT(frames, 5300);
  st = status(s.core);
  EXPECT_EQ(st.flags & (CORE_STATUS_TAIL | CORE_STATUS_RECORDING), 0u);
  int64_t rest = st.cursor;
  s.blk.run(s.core, 256, 0.5f, 0.5f);
  EXPECT_EQ(status(s.core).cursor, rest);  // at rest now
}

TEST(CoreTail, QuickReRecordContinuesTheEnvelope) {
  Harness s;
  s.init(make_tape(200000), make_tape(200000));
  record_settled(s, 20000);
  s.cmd(CMD_RECORD_STOP);
  s.blk.run_frames(s.core, 2400);  // 50 ms
  float tail_level = s.core->fade;
  ASSERT_GT(tail_level, 0.01f);
  ASSERT_LT(tail_level, 0.1f);
  s.cmd(CMD_RECORD, 0, 2, CMD_FLAG_PLAY);
  s.blk.run(s.core, 1);
  EXPECT_FLOAT_EQ(s.core->fade, tail_level + (1.0f - tail_level) * kSlow);
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_EQ(kinds(ev), (std::vector<int32_t>{EV_TAKE_ENDED, EV_TAIL_DONE, EV_TAKE_STARTED}));
  EXPECT_EQ(ev[2].take_id, 2);
  EXPECT_EQ(ev[1].take_id, 1);
  EXPECT_EQ(ev[2].segment_start, 22400);
}

TEST(CoreTail, ScrubBeginDuringTailWaitsAndHurriesIt) {
  Harness s;
  s.init(make_tape(200000), make_tape(200000));
  record_settled(s, 20000);
  s.cmd(CMD_STOP);
  s.cmd(CMD_RECORD_STOP);
  s.cmd(CMD_SCRUB_BEGIN);
  s.blk.run(s.core, 256);
  CoreStatus st = status(s.core);
  EXPECT_EQ(st.flags & CORE_STATUS_SCRUBBING, 0u);
  EXPECT_NE(st.flags & CORE_STATUS_TAIL, 0u);
  EXPECT_EQ(s.core->command_held, 1);
  // The held command switches the envelope to the fast rate: ~380 frames instead of ~5,000.
  s.blk.run(s.core, 256);
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_EQ(kinds(ev), (std::vector<int32_t>{EV_TAKE_ENDED, EV_TAIL_DONE}));
  s.blk.run(s.core, 64);
  st = status(s.core);
  EXPECT_NE(st.flags & CORE_STATUS_SCRUBBING, 0u);
  EXPECT_EQ(st.flags & CORE_STATUS_TAIL, 0u);
}

// ---------------------------------------------------------------------------------------------
// Events, status and setters

TEST(CoreEvents, OverflowIsCountedAndFollowedByResync) {
  Harness s;
  s.init(make_tape(100000, 100000), make_tape(100000), 100);
  s.cmd(CMD_LOOP, 100, 110, CMD_FLAG_LOOP_ON);
  s.cmd(CMD_RECORD, 0, 8, CMD_FLAG_PLAY);
  s.blk.run(s.core, 4096, 0.1f, 0.1f);  // 1 start + 409 wraps
  CoreStatus st = status(s.core);
  EXPECT_EQ(st.events_dropped, 410u - 256u);
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_EQ(ev.size(), 256u);
  EXPECT_EQ(ev[0].kind, EV_TAKE_STARTED);
  EXPECT_EQ(ev[255].kind, EV_SPLIT_LOOP);

  s.cmd(CMD_LOOP, 0, 0, 0);
  s.blk.run(s.core, 16, 0.1f, 0.1f);
  ev = drain(s.core);
  ASSERT_FALSE(ev.empty());
  EXPECT_EQ(ev[0].kind, EV_RESYNC);
  EXPECT_EQ(ev[0].take_id, 8);
  EXPECT_EQ(ev[0].segment_start, st.segment_start);
  EXPECT_EQ(ev[0].segment_length, st.segment_length);
  EXPECT_EQ(ev[0].capture_pos, st.capture_pos);
  EXPECT_EQ(ev[0].capture_pos - ev[0].capture_start, st.segment_length);
  EXPECT_EQ(ev[0].value, (uint64_t)st.cursor);
  EXPECT_EQ(status(s.core).events_dropped, 410u - 256u);
}

TEST(CoreEvents, StatusFlagsAndSetters) {
  Harness s;
  s.init(make_tape(10000, 10000, 0.5f, 0.5f), make_tape(10000));
  CoreStatus st = status(s.core);
  EXPECT_EQ(st.flags, (uint32_t)(CORE_STATUS_RUNNING | CORE_STATUS_MAIN_TAPE));
  EXPECT_EQ(st.main_length, 10000);
  EXPECT_EQ(st.channels, 2);
  EXPECT_DOUBLE_EQ(st.sample_rate, 48000.0);

  core_set_playback_gain(s.core, 0.5f);
  s.cmd(CMD_PLAY_FROM, 0);
  s.blk.run(s.core, 32);
  EXPECT_FLOAT_EQ(s.blk.out_l[0], 0.25f);
  EXPECT_FLOAT_EQ(status(s.core).playback_gain, 0.5f);
  for (float bad : {0.0f, -1.0f, NAN, 1e6f, INFINITY}) {
    core_set_playback_gain(s.core, bad);
    EXPECT_EQ(s.core->playback_gain.load(), 1.0f) << bad;
  }
  core_set_scrub_scale(s.core, NAN);
  EXPECT_EQ(s.core->scrub_scale.load(), 1.0f);

  s.cmd(CMD_LOOP, 10, 20, CMD_FLAG_LOOP_ON);
  s.cmd(CMD_RECORD, 0, 1);
  s.blk.run(s.core, 5);
  st = status(s.core);
  EXPECT_EQ(st.flags, (uint32_t)(CORE_STATUS_RUNNING | CORE_STATUS_MAIN_TAPE | CORE_STATUS_PLAYING |
                                 CORE_STATUS_RECORDING | CORE_STATUS_LOOP_ON));
  // The running bit follows the live flag even before a callback publishes.
  core_set_running(s.core, false);
  EXPECT_EQ(status(s.core).flags & CORE_STATUS_RUNNING, 0u);

  core_set_rate(s.core, 500.0, -3);  // unusable: treated as 48 kHz
  st = status(s.core);
  EXPECT_DOUBLE_EQ(st.sample_rate, 48000.0);
  EXPECT_EQ(st.channels, 0);
  EXPECT_EQ(s.core->fade, 0.0f);
}

TEST(CoreEvents, InputLevelIsPublished) {
  Harness s;
  s.init(make_tape(1000), nullptr);
  s.blk.run(s.core, 256, 0.05f, 0.05f);
  EXPECT_FLOAT_EQ(status(s.core).input_level, 0.05f);
  EXPECT_FLOAT_EQ(status(s.core).input_peak, 0.05f);
}

// A reader never gets a torn snapshot: while a publish holds the counter odd it gets none and its
// copy is left alone; against a callback publishing flat out, every snapshot it gets is whole.
// Each callback here is flagged, so a whole snapshot has as many flagged callbacks as callbacks.
TEST(CoreEvents, StatusReadIsWholeOrNothing) {
  Core* core = core_new();
  ASSERT_NE(core, nullptr);
  core_set_running(core, true);
  Block blk;
  blk.run(core, 16);

  core->status.seq.fetch_add(1);  // a publish under way
  CoreStatus out;
  std::memset(&out, 0xA5, sizeof out);
  CoreStatus before = out;
  EXPECT_FALSE(core_read_status(core, &out));
  EXPECT_EQ(std::memcmp(&out, &before, sizeof out), 0);
  core->status.seq.fetch_add(1);
  ASSERT_TRUE(core_read_status(core, &out));
  EXPECT_EQ(out.callbacks, 1u);

  std::atomic<bool> stop{false};
  std::thread audio([&] {
    std::vector<float> in(64, 0.1f), l(64), r(64);
    while (!stop.load(std::memory_order_relaxed))
      core_process(core, in.data(), in.data(), 2, l.data(), r.data(), 64, 1);
  });
  int whole = 0, torn = 0, backwards = 0;
  uint32_t last = 0;
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    auto spent = std::chrono::steady_clock::now() - start;
    if ((spent > std::chrono::milliseconds(300) && whole >= 1000) ||
        spent > std::chrono::seconds(10))
      break;
    CoreStatus st;
    if (!core_read_status(core, &st)) continue;
    whole++;
    torn += (uint32_t)st.flagged_callbacks + 1 != st.callbacks;  // the first was not flagged
    backwards += st.callbacks < last;
    last = st.callbacks;
  }
  stop = true;
  audio.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(backwards, 0);
  EXPECT_GT(last, 1u);
  core_free(core);
}

// ---------------------------------------------------------------------------------------------
// Attach, preview, quiesce

TEST(CoreAttach, AttachResetsTransportAndRetiresOnlyDroppedTapes) {
  Harness s;
  Tape* a = make_tape(1000, 1000);
  Tape* b = make_tape(1000, 500);
  s.init(a, b, 5000);
  EXPECT_EQ(status(s.core).cursor, 1000);  // clamped to the length
  s.cmd(CMD_RECORD, 0, 1, CMD_FLAG_PLAY);
  s.cmd(CMD_LOOP, 10, 900, CMD_FLAG_LOOP_ON);
  s.blk.run(s.core, 64, 0.1f, 0.1f);
  drain(s.core);

  // The old capture becomes the new main: only the old main goes to the collector.
  Tape* c2 = make_tape(1000, 300);
  send(s.core, make_cmd(CMD_ATTACH, 100, 0, 0, 0.0, b, c2));
  s.blk.run(s.core, 16);
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].kind, EV_ATTACHED);
  EXPECT_EQ(ev[0].value, 100u);
  EXPECT_EQ(spsc_outstanding(&s.core->retire), 1);
  EXPECT_EQ(s.core->retire.slots[0], a);
  CoreStatus st = status(s.core);
  EXPECT_EQ(st.flags & (CORE_STATUS_RECORDING | CORE_STATUS_PLAYING), 0u);
  EXPECT_NE(st.flags & CORE_STATUS_LOOP_ON, 0u);  // loop settings stay
  EXPECT_EQ(st.cursor, 100);
  EXPECT_EQ(st.capture_pos, 300);
  EXPECT_EQ(st.segment_start, 100);
  EXPECT_EQ(s.core->pub_main.load(), b);
  EXPECT_EQ(s.core->pub_capture.load(), c2);
  core_collect(s.core, 1000);  // free_immediately is set: the old main goes now
  EXPECT_EQ(s.core->deferred_count, 0);
}

TEST(CorePreview, PreviewMixesPlaysOutAndIsRetired) {
  Harness s;
  s.init(make_tape(1000), nullptr);
  Tape* p = make_tape(1000, 300, 0.1f, 0.2f);
  send(s.core, make_cmd(CMD_PREVIEW_SET, 0, 0, 0, 0.0, p));
  s.blk.run(s.core, 256);
  EXPECT_FLOAT_EQ(s.blk.out_l[0], 0.1f);
  EXPECT_FLOAT_EQ(s.blk.out_r[255], 0.2f);
  CoreStatus st = status(s.core);
  EXPECT_NE(st.flags & CORE_STATUS_PREVIEW, 0u);
  EXPECT_EQ(st.preview_pos, 256);
  EXPECT_EQ(st.preview_length, 300);
  s.blk.run(s.core, 256);
  EXPECT_FLOAT_EQ(s.blk.out_l[43], 0.1f);
  EXPECT_EQ(s.blk.out_l[44], 0.0f);
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].kind, EV_PREVIEW_ENDED);
  EXPECT_EQ(ev[0].value, 300u);
  EXPECT_EQ(status(s.core).flags & CORE_STATUS_PREVIEW, 0u);
  EXPECT_EQ(spsc_outstanding(&s.core->retire), 1);

  Tape* q = make_tape(1000, 1000, 0.3f, 0.3f);
  send(s.core, make_cmd(CMD_PREVIEW_SET, 0, 0, 0, 0.0, q));
  send(s.core, make_cmd(CMD_PREVIEW_SEEK, 5000));
  s.blk.run(s.core, 16);
  EXPECT_EQ(kinds(drain(s.core)), (std::vector<int32_t>{EV_PREVIEW_ENDED}));  // seek clamps
  Tape* r = make_tape(1000, 1000, 0.3f, 0.3f);
  send(s.core, make_cmd(CMD_PREVIEW_SET, 0, 0, 0, 0.0, r));
  send(s.core, make_cmd(CMD_PREVIEW_SEEK, 990));
  s.blk.run(s.core, 4);
  EXPECT_EQ(status(s.core).preview_pos, 994);
  s.cmd(CMD_PREVIEW_CLEAR);
  s.blk.run(s.core, 4);
  EXPECT_EQ(status(s.core).flags & CORE_STATUS_PREVIEW, 0u);
  EXPECT_EQ(spsc_outstanding(&s.core->retire), 3);
}

TEST(CoreQuiesce, EndsATakeWithTakeEndedThenTailDone) {
  Harness s;
  s.init(make_tape(100000), make_tape(100000));
  record_settled(s, 1000);
  drain(s.core);
  core_set_running(s.core, false);
  core_quiesce(s.core);
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_EQ(kinds(ev), (std::vector<int32_t>{EV_TAKE_ENDED, EV_TAIL_DONE}));
  EXPECT_EQ(ev[0].segment_length, 1000);
  EXPECT_EQ(ev[0].value, 1000u);
  EXPECT_EQ(ev[1].value, 1000u);
  CoreStatus st = status(s.core);
  EXPECT_EQ(st.flags & (CORE_STATUS_RECORDING | CORE_STATUS_TAIL), 0u);
  EXPECT_EQ(s.core->fade, 0.0f);
}

TEST(CoreQuiesce, AppliesHeldCommandsWithForce) {
  Harness s;
  s.init(make_tape(100000), make_tape(100000));
  record_settled(s, 20000);
  s.cmd(CMD_RECORD_STOP);
  s.cmd(CMD_PLAY_FROM, 100);  // in the tail: waits for the envelope
  s.cmd(CMD_RECORD, 0, 2);    // waits for the seek
  s.blk.run(s.core, 8);
  ASSERT_NE(status(s.core).flags & CORE_STATUS_SEEK_PENDING, 0u);
  ASSERT_EQ(spsc_outstanding(&s.core->commands), 1);
  drain(s.core);

  core_quiesce(s.core);
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_EQ(kinds(ev),
            (std::vector<int32_t>{EV_TAIL_DONE, EV_TAKE_STARTED, EV_TAKE_ENDED, EV_TAIL_DONE}));
  EXPECT_EQ(ev[1].value, 100u);
  EXPECT_EQ(ev[1].take_id, 2);
  EXPECT_EQ(ev[2].value, 100u);
  EXPECT_EQ(ev[2].segment_length, 0);
  EXPECT_EQ(spsc_outstanding(&s.core->commands), 0);
  CoreStatus st = status(s.core);
  EXPECT_EQ(st.cursor, 100);
  EXPECT_EQ(st.flags & (CORE_STATUS_RECORDING | CORE_STATUS_TAIL | CORE_STATUS_SEEK_PENDING), 0u);
  EXPECT_NE(st.flags & CORE_STATUS_PLAYING, 0u);
}

TEST(CoreQuiesce, EndsACoastWithCursorSettled) {
  Harness s;
  s.init(make_ramp_tape(100000), nullptr, 5000);
  s.cmd(CMD_SCRUB_BEGIN);
  s.blk.run(s.core, 16);
  s.core->scrub_velocity = 2.0;
  s.core->scrub_pos = 5100.6;
  s.cmd(CMD_SCRUB_END);
  core_quiesce(s.core);
  std::vector<CoreEvent> ev = drain(s.core);
  ASSERT_EQ(kinds(ev), (std::vector<int32_t>{EV_CURSOR_SETTLED}));
  EXPECT_EQ(ev[0].value, 5100u);
  EXPECT_EQ(status(s.core).flags & (CORE_STATUS_SCRUBBING | CORE_STATUS_COASTING), 0u);
}

TEST(CoreCommands, FullCommandRingRefusesAndOrderIsKept) {
  Harness s;
  s.init(make_tape(100000, 100000), nullptr);
  for (int i = 0; i < 256; i++) send(s.core, make_cmd(CMD_LOCATE, i));
  CoreCommand extra = make_cmd(CMD_LOCATE, 9999);
  EXPECT_FALSE(core_push_command(s.core, &extra));
  s.blk.run(s.core, 4);
  EXPECT_EQ(status(s.core).cursor, 255);
  EXPECT_TRUE(core_push_command(s.core, &extra));
}

}  // namespace
