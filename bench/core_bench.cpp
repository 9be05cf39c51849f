// The callback's cost: core_process at 48 kHz in 256-frame blocks while recording, playing and
// overdubbing (the busiest state), and while scrubbing. Counters: ns per frame and real-time
// factor (audio seconds per CPU second).
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "core/core.h"
#include "core/tape.h"

namespace {

constexpr int kBlock = 256;
constexpr double kRate = 48000.0;
constexpr int64_t kLoopFrames = 20 * 48000;     // the loop overdubbed again and again
constexpr int64_t kCaptureFrames = 60 * 48000;  // capture room before it is rewound

CoreCommand cmd(uint32_t kind, int64_t a = 0, int64_t b = 0, uint8_t flags = 0, Tape* t = nullptr,
                Tape* t2 = nullptr, double value = 0.0) {
  CoreCommand c{};
  c.kind = kind;
  c.a = a;
  c.b = b;
  c.flags = flags;
  c.tape = t;
  c.tape2 = t2;
  c.value = value;
  return c;
}

Tape* filled_tape(int64_t frames, int64_t room) {
  Tape* t = tape_new(kRate, 2.0, 0);
  tape_ensure(t, room - 1);
  std::vector<float> buf((size_t)frames * 2);
  for (int64_t i = 0; i < frames; i++) {
    buf[(size_t)i * 2] = 0.2f * std::sin((float)i * 0.003f);
    buf[(size_t)i * 2 + 1] = 0.2f * std::cos((float)i * 0.002f);
  }
  if (frames > 0) tape_write(t, 0, buf.data(), frames);
  return t;
}

struct BenchCore {
  Core* core;
  Tape* main;
  Tape* cap;
  std::vector<float> in_l, in_r, out_l, out_r, levels;
  BenchCore() : in_l(kBlock), in_r(kBlock), out_l(kBlock), out_r(kBlock), levels(CORE_LEVEL_SLOTS) {
    core = core_new();
    core_set_running(core, true);
    core_set_monitor(core, true);
    core_set_xy(core, 0.3f, 0.4f);  // tone filter and high-pass both at work
    main = filled_tape(kLoopFrames, kLoopFrames);
    cap = tape_new(kRate, 2.0, 0);
    tape_ensure(cap, kCaptureFrames + 2 * kBlock);
    for (int i = 0; i < kBlock; i++) {
      in_l[(size_t)i] = 0.3f * std::sin((float)i * 0.05f);
      in_r[(size_t)i] = 0.3f * std::sin((float)i * 0.07f);
    }
    CoreCommand c = cmd(CMD_ATTACH, 0, 0, 0, main, cap);
    core_push_command(core, &c);
  }
  ~BenchCore() { core_free(core); }
  void push(const CoreCommand& c) { core_push_command(core, &c); }
  void process() {
    core_process(core, in_l.data(), in_r.data(), 2, out_l.data(), out_r.data(), kBlock, 0);
  }
  void drain() {
    CoreEvent e;
    while (core_pop_event(core, &e)) {
    }
    while (core_read_levels(core, levels.data(), CORE_LEVEL_SLOTS, INT64_MAX) > 0) {
    }
  }
};

void report(benchmark::State& state, int64_t frames) {
  state.counters["ns_per_frame"] =
      benchmark::Counter((double)frames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["x_realtime"] =
      benchmark::Counter((double)frames / kRate, benchmark::Counter::kIsRate);
}

void BM_CoreRecordPlayOverdub(benchmark::State& state) {
  BenchCore b;
  b.push(cmd(CMD_LOOP, 0, kLoopFrames, CMD_FLAG_LOOP_ON));
  b.push(cmd(CMD_RECORD, 0, 1, CMD_FLAG_PLAY));
  int64_t frames = 0;
  int64_t since_rewind = 0;
  for (auto _ : state) {
    b.process();
    frames += kBlock;
    since_rewind += kBlock;
    if ((frames & (64 * kBlock - 1)) == 0) b.drain();
    if (since_rewind >= kCaptureFrames) {
      // Rewind the capture tape so memory stays bounded; the envelope ramps up again.
      state.PauseTiming();
      b.drain();
      b.cap->length.store(0);
      b.push(cmd(CMD_ATTACH, 0, 0, 0, b.main, b.cap));
      b.push(cmd(CMD_RECORD, 0, 2, CMD_FLAG_PLAY));
      since_rewind = 0;
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(b.out_l.data());
  }
  report(state, frames);
}
BENCHMARK(BM_CoreRecordPlayOverdub);

void BM_CoreScrub(benchmark::State& state) {
  BenchCore b;
  b.push(cmd(CMD_LOCATE, kLoopFrames / 2));
  b.push(cmd(CMD_SCRUB_BEGIN));
  int64_t frames = 0;
  int dir = 1;
  for (auto _ : state) {
    if ((frames & (16 * kBlock - 1)) == 0) {
      dir = -dir;
      b.push(cmd(CMD_SCRUB_MOVE, 0, 0, 0, nullptr, nullptr, 3000.0 * dir));
    }
    b.process();
    frames += kBlock;
    if ((frames & (64 * kBlock - 1)) == 0) b.drain();
    benchmark::DoNotOptimize(b.out_l.data());
  }
  report(state, frames);
}
BENCHMARK(BM_CoreScrub);

// The status snapshot as the UI and the audio engine read it, with no publish in the way.
void BM_CoreReadStatus(benchmark::State& state) {
  BenchCore b;
  b.process();
  CoreStatus st;
  for (auto _ : state) {
    core_read_status(b.core, &st);
    benchmark::DoNotOptimize(st);
  }
}
BENCHMARK(BM_CoreReadStatus);

}  // namespace
