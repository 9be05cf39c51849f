// Three threads on one core, as in the program: the callback, the collector, and a UI thread that
// sends random commands and drains events, levels and status. Checks that nothing crossing the
// rings is lost or duplicated beyond what the counters report. Meant to run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include "core/core.h"
#include "support/core_inside.h"
#include "core/core_fixture.h"
#include "platform/platform.h"

using namespace core_fixture;

namespace {

constexpr double kSeconds = 3.5;

// Follows takes through their events and checks each segment against the levels it produced.
struct Checker {
  Core* core;
  std::vector<float> buf = std::vector<float>(CORE_LEVEL_SLOTS);
  int64_t levels_read = 0;
  int64_t last_levels_written = 0;
  bool known = false;  // following a take whose start we saw
  bool active = false, ended = false;
  int32_t take_id = 0;
  int64_t boundary = 0;      // level index where the running segment began
  int64_t next_segment = 0;  // where the running segment must start on the main tape
  int64_t next_capture = 0;  // and on the capture tape
  int32_t last_started = 0;
  int segments = 0, takes = 0, resyncs = 0;

  // Reads the levels up to `upto` and returns how many there were.
  int64_t take_levels(int64_t upto) {
    int64_t n = 0;
    for (;;) {
      int got = core_read_levels(core, buf.data(), (int32_t)buf.size(), upto);
      if (got <= 0) break;
      for (int i = 0; i < got; i++)
        EXPECT_TRUE(std::isfinite(buf[(size_t)i]) && buf[(size_t)i] >= 0.0f);
      n += got;
    }
    levels_read += n;
    EXPECT_EQ(levels_read, upto) << "levels were skipped or read twice";
    return n;
  }

  void on_event(const CoreEvent& e) {
    EXPECT_GE(e.levels_written, last_levels_written);
    last_levels_written = e.levels_written;
    switch (e.kind) {
      case EV_TAKE_STARTED:
        take_levels(e.levels_written);
        if (known) {
          EXPECT_FALSE(active) << "a take started while one was running";
        }
        EXPECT_GT(e.take_id, last_started);
        last_started = e.take_id;
        known = active = true;
        ended = false;
        take_id = e.take_id;
        boundary = e.levels_written;
        next_segment = e.segment_start;
        next_capture = e.capture_pos;
        EXPECT_EQ(e.capture_start, e.capture_pos);
        EXPECT_EQ((int64_t)e.value, e.segment_start);
        takes++;
        break;
      case EV_SPLIT_JUMP:
      case EV_SPLIT_LOOP:
      case EV_TAKE_ENDED: {
        take_levels(e.levels_written);
        if (!known) break;
        // Other events may have come between: the segment's levels run from its boundary.
        int64_t n = e.levels_written - boundary;
        EXPECT_TRUE(active && !ended) << "segment event outside a take, kind " << e.kind;
        EXPECT_EQ(e.take_id, take_id);
        EXPECT_EQ(e.segment_start, next_segment);
        EXPECT_EQ(e.capture_start, next_capture);
        EXPECT_EQ(e.capture_pos - e.capture_start, e.segment_length);
        // One level per 256 frames, the last hop partial; a full ring drops and counts.
        int64_t hops = (e.segment_length + 255) / 256;
        EXPECT_EQ(n + (int64_t)e.dropped_levels, hops) << "segment of " << e.segment_length;
        boundary = e.levels_written;
        next_segment = (int64_t)e.value;
        next_capture = e.capture_pos;
        if (e.kind == EV_TAKE_ENDED) ended = true;
        segments++;
        break;
      }
      case EV_TAIL_DONE:
        take_levels(e.levels_written);
        if (known) {
          EXPECT_TRUE(active && ended) << "tail done without a take ending";
        }
        active = ended = false;
        break;
      case EV_ATTACHED:
        take_levels(e.levels_written);  // an abandoned segment's levels
        known = true;
        active = ended = false;
        break;
      case EV_RESYNC:
        take_levels(e.levels_written);
        known = false;  // events were lost: wait for a fresh start
        resyncs++;
        break;
      default:
        take_levels(e.levels_written);
        break;
    }
  }

  void drain() {
    CoreEvent e;
    while (core_pop_event(core, &e)) on_event(e);
  }
};

Tape* new_main(std::mt19937& rng) {
  Tape* t = tape_new(48000.0, 0.5, 0);  // three chunk slots: recording runs into the end
  int64_t frames = std::uniform_int_distribution<int64_t>(0, 100000)(rng);
  EXPECT_EQ(tape_ensure(t, 0), 0);
  std::vector<float> buf((size_t)frames * 2, 0.05f);
  if (frames > 0) {
    EXPECT_EQ(tape_write(t, 0, buf.data(), frames), 0);
  }
  return t;
}

Tape* new_preview(std::mt19937& rng) {
  int64_t frames = std::uniform_int_distribution<int64_t>(1, 20000)(rng);
  return make_tape(frames, frames, 0.02f, 0.02f);
}

TEST(CoreStress, ThreeThreadsKeepEveryRecordAccountedFor) {
  Core* core = core_new();
  ASSERT_NE(core, nullptr);
  unsigned seed = (unsigned)std::random_device{}();
  std::printf("seed %u\n", seed);
  std::mt19937 rng(seed);

  core_set_free_immediately(core, false);
  core_set_running(core, true);
  CoreCommand attach = make_cmd(CMD_ATTACH, 0, 0, 0, 0.0, new_main(rng), tape_new(48000.0, 0.5, 0));
  ASSERT_TRUE(core_push_command(core, &attach));

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> audio_callbacks{0};
  std::thread audio([&] {
    std::mt19937 arng(seed + 1);
    std::vector<float> l(CORE_MAX_FRAMES), r(CORE_MAX_FRAMES), ol(CORE_MAX_FRAMES),
        orr(CORE_MAX_FRAMES);
    uint64_t phase = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      int n = std::uniform_int_distribution<int>(16, 1024)(arng);
      for (int i = 0; i < n; i++) {
        l[(size_t)i] = 0.5f * std::sin((float)(phase++ % 100000) * 0.013f);
        r[(size_t)i] = -l[(size_t)i];
      }
      bool null_out = (arng() & 63) == 0;
      core_process(core, l.data(), r.data(), 2, null_out ? nullptr : ol.data(),
                   null_out ? nullptr : orr.data(), n, 0);
      audio_callbacks.fetch_add(1, std::memory_order_relaxed);
      if ((audio_callbacks.load(std::memory_order_relaxed) & 3) == 0) platform_sleep_ms(1);
    }
  });
  std::thread collector([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      core_collect(core, platform_tick_ms());
      platform_sleep_ms(5);
    }
  });

  Checker check{core};
  CoreStatus prev;
  core_read_status(core, &prev);
  int32_t next_id = 0;
  int64_t len_hint = 100000;
  auto t0 = std::chrono::steady_clock::now();
  auto last_attach = t0, last_preview = t0;
  int commands = 0, refused = 0;
  while (std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() < kSeconds) {
    int burst = (rng() % 8) == 0 ? 12 : 1;
    for (int b = 0; b < burst; b++) {
      auto now = std::chrono::steady_clock::now();
      int pick = (int)(rng() % 100);
      int64_t frame = std::uniform_int_distribution<int64_t>(-100, len_hint + 20000)(rng);
      CoreCommand c = make_cmd(CMD_STOP);
      if (pick < 12) {
        c = make_cmd(CMD_RECORD, 0, ++next_id, (rng() & 1) ? CMD_FLAG_PLAY : 0);
      } else if (pick < 22) {
        c = make_cmd(CMD_RECORD_STOP);
      } else if (pick < 32) {
        c = make_cmd(CMD_PLAY_FROM, (rng() & 1) ? -1 : frame);
      } else if (pick < 36) {
        c = make_cmd(CMD_STOP);
      } else if (pick < 46) {
        c = make_cmd((rng() & 1) ? CMD_LOCATE : CMD_LOCATE_MID_TAKE, frame);
      } else if (pick < 54) {
        int64_t in = std::uniform_int_distribution<int64_t>(0, len_hint)(rng);
        int64_t span = (rng() & 1) ? std::uniform_int_distribution<int64_t>(1, 300)(rng)
                                   : std::uniform_int_distribution<int64_t>(1000, 60000)(rng);
        c = make_cmd(CMD_LOOP, in, in + span, (rng() % 3) ? CMD_FLAG_LOOP_ON : 0);
      } else if (pick < 62) {
        c = make_cmd(CMD_SCRUB_BEGIN);
      } else if (pick < 72) {
        c = make_cmd(CMD_SCRUB_MOVE, 0, 0, 0,
                     std::uniform_real_distribution<double>(-5000, 5000)(rng));
      } else if (pick < 78) {
        c = make_cmd(CMD_SCRUB_END, 0, 0, (rng() & 1) ? CMD_FLAG_PLAY : 0);
      } else if (pick < 84) {
        if (now - last_preview < std::chrono::milliseconds(50)) continue;
        last_preview = now;
        c = make_cmd(CMD_PREVIEW_SET, 0, 0, 0, 0.0, new_preview(rng));
      } else if (pick < 87) {
        c = make_cmd(CMD_PREVIEW_CLEAR);
      } else if (pick < 90) {
        c = make_cmd(CMD_PREVIEW_SEEK, frame / 8);
      } else if (pick < 92) {
        if (now - last_attach < std::chrono::milliseconds(400)) continue;
        last_attach = now;
        Tape* cap = (rng() & 3) ? tape_new(48000.0, 0.5, 0) : nullptr;
        c = make_cmd(CMD_ATTACH, frame, 0, 0, 0.0, new_main(rng), cap);
      } else if (pick < 95) {
        core_set_monitor(core, rng() & 1);
        continue;
      } else if (pick < 98) {
        core_set_xy(core, std::uniform_real_distribution<float>(-1.2f, 1.2f)(rng),
                    std::uniform_real_distribution<float>(-1.2f, 1.2f)(rng));
        continue;
      } else {
        core_set_playback_gain(core, std::uniform_real_distribution<float>(0.0f, 2.0f)(rng));
        core_set_scrub_scale(core, std::uniform_real_distribution<float>(0.0f, 4.0f)(rng));
        continue;
      }
      if (core_push_command(core, &c)) {
        commands++;
      } else {
        refused++;
        // The core never saw it: the tapes are still ours.
        if (c.kind == CMD_ATTACH) {
          tape_free(c.tape);
          tape_free(c.tape2);
        } else if (c.kind == CMD_PREVIEW_SET) {
          tape_free(c.tape);
        }
      }
    }

    check.drain();
    CoreStatus st;
    // A reader may meet a write on every try while the callback spins (slow sanitized builds):
    // then it has no snapshot, which is the answer, not a torn one.
    if (!core_read_status(core, &st)) continue;
    // A torn snapshot would break these.
    EXPECT_GE(st.levels_written, prev.levels_written);
    EXPECT_GE(st.events_dropped, prev.events_dropped);
    EXPECT_GE(st.levels_dropped, prev.levels_dropped);
    EXPECT_GE(st.oversize_callbacks + st.missing_chunk_frames,
              prev.oversize_callbacks + prev.missing_chunk_frames);
    if (!(st.flags & (CORE_STATUS_SCRUBBING | CORE_STATUS_COASTING))) {
      EXPECT_EQ(st.display_pos, (double)st.cursor);
    }
    if (st.flags & CORE_STATUS_RECORDING) {
      EXPECT_TRUE(st.flags & CORE_STATUS_MAIN_TAPE);
    }
    EXPECT_EQ(st.capture_pos >= 0 && st.segment_length >= 0 && st.cursor >= 0, true);
    if (st.main_length > 0) len_hint = st.main_length;
    prev = st;
    if (::testing::Test::HasFailure()) break;
    std::this_thread::sleep_for(std::chrono::microseconds(500 + rng() % 1000));
  }

  // Land the running take, then let the audio side finish.
  CoreCommand stop_rec = make_cmd(CMD_RECORD_STOP);
  while (!core_push_command(core, &stop_rec)) check.drain();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  stop.store(true);
  audio.join();
  collector.join();
  // A ring left full at the end holds back the lost-events notice (and the level count it
  // carries) until there is room: quiesce again after draining, as the engine's idle loop does.
  for (int pass = 0; pass < 3; pass++) {
    core_quiesce(core);
    check.drain();
  }

  CoreStatus st;
  core_read_status(core, &st);
  EXPECT_EQ(check.levels_read, st.levels_written);
  EXPECT_EQ(st.flags & (CORE_STATUS_RECORDING | CORE_STATUS_TAIL), 0u);
  EXPECT_EQ(core->leaked.load(), 0);
  EXPECT_GT(check.takes, 10);
  EXPECT_GT(check.segments, 20);
  EXPECT_GT(audio_callbacks.load(), 500u);
  std::printf(
      "callbacks %llu, commands %d (refused %d), takes %d, segments %d, levels %lld, "
      "events dropped %llu, levels dropped %llu, resyncs %d\n",
      (unsigned long long)audio_callbacks.load(), commands, refused, check.takes, check.segments,
      (long long)check.levels_read, (unsigned long long)st.events_dropped,
      (unsigned long long)st.levels_dropped, check.resyncs);
  core_free(core);
}

}  // namespace
