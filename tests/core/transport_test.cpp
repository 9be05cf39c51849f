#include "core/transport.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

#define EXPECT_LOOP(loop, in_, out_, on_) \
  do {                                    \
    EXPECT_DOUBLE_EQ((loop).in, in_);     \
    EXPECT_DOUBLE_EQ((loop).out, out_);   \
    EXPECT_EQ((loop).on, on_);            \
  } while (0)

TEST(TransportFrames, ConvertsTruncatesAndSaturates) {
  EXPECT_EQ(transport_frames_from_seconds(1.5, 48000), 72000);
  EXPECT_EQ(transport_frames_from_seconds(0.99999 / 48000, 48000), 0);  // truncated, not rounded
  EXPECT_EQ(transport_frames_from_seconds(-3, 48000), 0);
  EXPECT_EQ(transport_frames_from_seconds(kNaN, 48000), 0);
  EXPECT_EQ(transport_frames_from_seconds(1e300, 48000), 9000000000000000000LL);
  EXPECT_EQ(transport_frames_from_seconds(kInf, 48000), 9000000000000000000LL);
  // A rate below 1, or none, counts as 1.
  EXPECT_EQ(transport_frames_from_seconds(10.7, 0), 10);
  EXPECT_EQ(transport_frames_from_seconds(10.7, kNaN), 10);
}

TEST(TransportLoop, ToggleNeedsATapeAndRepairsAStaleRegion) {
  LoopRegion loop = {0, 0, false};
  transport_loop_toggle(&loop, 0);
  EXPECT_FALSE(loop.on);
  transport_loop_toggle(&loop, 10);
  EXPECT_LOOP(loop, 0, 10, true);
  transport_loop_toggle(&loop, 10);
  EXPECT_LOOP(loop, 0, 10, false);  // off keeps the region

  loop = {2, 12, false};  // past the tape's end
  transport_loop_toggle(&loop, 10);
  EXPECT_LOOP(loop, 0, 10, true);
  loop = {2, 5, false};
  transport_loop_toggle(&loop, 10);
  EXPECT_LOOP(loop, 2, 5, true);
  loop = {kNaN, 5, false};  // damaged in a file
  transport_loop_toggle(&loop, 10);
  EXPECT_LOOP(loop, 0, 10, true);
  transport_loop_toggle(&loop, 0);  // an on loop goes off even without a tape
  EXPECT_FALSE(loop.on);
}

TEST(TransportLoop, KeysKeepTheOutPointAfterTheInPoint) {
  LoopRegion loop = {0, 10, false};
  transport_loop_set_in(&loop, 9.95, 10);
  EXPECT_LOOP(loop, 9.95, 10.45, true);
  loop = {0, 10, false};
  transport_loop_set_in(&loop, 3, 10);
  EXPECT_LOOP(loop, 3, 10, true);
  transport_loop_set_in(&loop, 12, 20);
  EXPECT_LOOP(loop, 12, 20, true);  // pushed to the tape's end

  loop = {5, 8, false};
  transport_loop_set_out(&loop, 5.02, 10);
  EXPECT_LOOP(loop, 5, 5.1, true);

  transport_loop_set_in(&loop, kNaN, 10);
  transport_loop_set_out(&loop, kInf, 10);
  EXPECT_LOOP(loop, 5, 5.1, true);
}

TEST(TransportLoop, DragsAndStripFlags) {
  LoopRegion loop = {2, 6, true};
  transport_loop_drag_in(&loop, 9, 10);
  EXPECT_LOOP(loop, 5.95, 6, true);
  loop = {2, 6, false};
  transport_loop_drag_out(&loop, 1, 10);
  EXPECT_LOOP(loop, 2, 2.05, false);  // dragging leaves the switch alone
  transport_loop_drag_out(&loop, 30, 10);
  EXPECT_LOOP(loop, 2, 10, false);
  transport_loop_drag_out(&loop, 4, 0);
  EXPECT_LOOP(loop, 2, 10, false);  // no tape: no change

  loop = {3, 4, false};
  transport_loop_strip_in(&loop, 2, 10);
  EXPECT_LOOP(loop, 2, 10, true);
  loop = {3, 4, false};
  transport_loop_strip_in(&loop, 5, 0);
  EXPECT_LOOP(loop, 0.05, 0.1, true);
  loop = {3, 4, false};
  transport_loop_strip_out(&loop, 7, 10);
  EXPECT_LOOP(loop, 0, 7, true);
  loop = {3, 4, true};
  transport_loop_strip_out(&loop, 1, 10);
  EXPECT_LOOP(loop, 3, 3.05, true);
  loop = {3, 4, false};
  transport_loop_strip_out(&loop, 7, 0);
  EXPECT_LOOP(loop, 3, 4, false);
}

TEST(TransportLoop, JustRecordedRewindAndFrames) {
  LoopRegion loop = {5, 9, false};
  transport_loop_just_recorded(&loop, 0.02);
  EXPECT_LOOP(loop, 0, 0.1, true);
  loop = {2, 4, true};
  EXPECT_EQ(transport_loop_rewind_target(&loop), 2);
  loop.on = false;
  EXPECT_EQ(transport_loop_rewind_target(&loop), 0);

  loop = {2, 4, true};
  TransportLoopFrames f = transport_loop_to_frames(&loop, 48000);
  EXPECT_EQ(f.in, 96000);
  EXPECT_EQ(f.out, 192000);
  EXPECT_TRUE(f.on);
  loop = {1.0, 1.0 + 0.5 / 48000, true};  // both ends in one frame: the core gets an off loop
  EXPECT_FALSE(transport_loop_to_frames(&loop, 48000).on);
}

TEST(TransportView, SeekSpanZoomAndClick) {
  EXPECT_EQ(transport_seek_clamp(kNaN, 10, 0), 0);
  EXPECT_EQ(transport_seek_clamp(12, 10, 0), 10);
  EXPECT_EQ(transport_seek_clamp(12, 0, 5), 5);
  EXPECT_EQ(transport_seek_clamp(12, 0, 0), 0);

  EXPECT_EQ(transport_canvas_span(0, -1), 7.5);
  EXPECT_EQ(transport_canvas_span(5, 9), 10);
  EXPECT_EQ(transport_canvas_span(kNaN, -1), 7.5);
  EXPECT_EQ(transport_zoom_factor(15), 2);
  EXPECT_EQ(transport_zoom_factor(1e9), 64);
  EXPECT_EQ(transport_zoom_factor(kNaN), 1);

  EXPECT_EQ(transport_click_time(0.9, 20, 10), 10);
  EXPECT_EQ(transport_click_time(0.9, 20, 0), 18);  // no tape: no cap
  EXPECT_EQ(transport_click_time(kNaN, 20, 10), 0);
}

TEST(TransportStep, PreviousAndNextTakeStarts) {
  const double starts[] = {8, 0, 4};
  // Playing at 4.1 s: 4 is inside the guard, so previous goes to 0.
  EXPECT_EQ(transport_step_previous(starts, 3, 4.1, true), 0);
  EXPECT_EQ(transport_step_previous(starts, 3, 4.1, false), 4);
  EXPECT_EQ(transport_step_previous(starts, 3, 4.3, true), 4);
  EXPECT_EQ(transport_step_next(starts, 3, 4.1, 12), 8);
  EXPECT_EQ(transport_step_next(starts, 3, 3.995, 12), 8);  // within 0.01 s: skipped
  EXPECT_EQ(transport_step_next(starts, 3, 8.5, 12), 12);
  EXPECT_EQ(transport_step_next(starts, 3, 8.5, kNaN), 8.5);

  EXPECT_DOUBLE_EQ(transport_take_start_seconds(96000, 48000, 44100), 2);
  EXPECT_DOUBLE_EQ(transport_take_start_seconds(88200, 0, 44100), 2);
  EXPECT_EQ(transport_take_start_seconds(88200, 0, 0), 0);
}

TEST(TransportScrub, DeltaAccelerationAndSpeedLimit) {
  EXPECT_DOUBLE_EQ(transport_scrub_delta(-0.006, 48000), -48000 * 3 * 0.006);
  EXPECT_DOUBLE_EQ(transport_scrub_delta(-0.012, 48000), -48000 * 3 * 0.012 * 2.4);
  EXPECT_EQ(transport_scrub_delta(kNaN, 48000), 0);
  EXPECT_EQ(transport_scrub_speed_limit(-3), 2);
  EXPECT_EQ(transport_scrub_speed_limit(0.25), 1.5);
  EXPECT_EQ(transport_scrub_speed_limit(1), 0.5);
  EXPECT_EQ(transport_scrub_speed_limit(kNaN), 1);
}

TEST(TransportExport, LoopOrWholeTape) {
  const int64_t len = 10 * 48000;
  struct Case {
    LoopRegion loop;
    int64_t start, end;
    bool is_loop;
  } cases[] = {
      {{2, 2, true}, 0, len, false},
      {{2, 4, true}, 96000, 192000, true},
      {{2, 40, true}, 96000, len, true},                // out past the end
      {{12, 40, true}, 0, len, false},                  // wholly past the end
      {{1.0, 1.0 + 1.5 / 48000, true}, 0, len, false},  // one frame is not a range
      {{2, 4, false}, 0, len, false},
  };
  for (const Case& c : cases) {
    TransportRange r = transport_export_range(&c.loop, 48000, len);
    EXPECT_EQ(r.start, c.start) << c.loop.in << ".." << c.loop.out;
    EXPECT_EQ(r.end, c.end) << c.loop.in << ".." << c.loop.out;
    EXPECT_EQ(r.is_loop, c.is_loop) << c.loop.in << ".." << c.loop.out;
  }
}

TEST(TransportStrip, LanesReuseFreeRowsAndSkipExcludedTakes) {
  // 0: [0,10)  1: [5,15) overlaps 0  2: [20,30) overlaps nothing  3: [8,22) overlaps 0,1,2
  // 4: excluded  5: [10,12) touches 0's end (no overlap) but overlaps 1 and 3
  // 6: [0,100) overlaps all lanes in use.
  std::vector<TransportTakeSpan> takes = {
      {0, 10, false}, {5, 10, false}, {20, 10, false}, {8, 14, false},
      {0, 100, true}, {10, 2, false}, {0, 100, false},
  };
  std::vector<int32_t> lanes(takes.size(), 99);
  int32_t used = transport_strip_lanes(takes.data(), (int32_t)takes.size(), lanes.data());
  EXPECT_EQ(lanes, (std::vector<int32_t>{0, 1, 0, 2, -1, 0, 3}));
  EXPECT_EQ(used, 4);

  // Excluded takes hold no lane for later ones.
  std::vector<TransportTakeSpan> two = {{0, 10, true}, {0, 10, false}};
  EXPECT_EQ(transport_strip_lanes(two.data(), 2, lanes.data()), 1);
  EXPECT_EQ(lanes[0], -1);
  EXPECT_EQ(lanes[1], 0);

  // Spans at the top of the frame range do not overflow into negative ends.
  std::vector<TransportTakeSpan> far = {{INT64_MAX - 5, 100, false}, {INT64_MAX - 50, 100, false}};
  EXPECT_EQ(transport_strip_lanes(far.data(), 2, lanes.data()), 2);
}

}  // namespace
