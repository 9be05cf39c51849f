#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "core/tape.h"

namespace {

Tape* sine_tape(double rate, double seconds) {
  int64_t n = (int64_t)(rate * seconds);
  Tape* t = tape_new(rate, 0, 0);
  if (!t || tape_ensure(t, n - 1) != 0) return t;
  std::vector<float> v((size_t)n * 2);
  for (int64_t i = 0; i < n; i++) {
    v[2 * i] = 0.5f * (float)std::sin(2 * M_PI * 440.0 * i / rate);
    v[2 * i + 1] = 0.5f * (float)std::sin(2 * M_PI * 660.0 * i / rate);
  }
  tape_write(t, 0, v.data(), n);
  return t;
}

// 60 s of stereo at 44.1 kHz to 48 kHz; the counter is output frames per second.
void BM_TapeResample44to48(benchmark::State& state) {
  Tape* src = sine_tape(44100, 60);
  int64_t frames = 0;
  for (auto _ : state) {
    Tape* out = tape_resample(src, 48000, nullptr);
    if (!out) {
      state.SkipWithError("resample failed");
      break;
    }
    frames += tape_length(out);
    tape_free(out);
  }
  state.counters["frames_per_s"] = benchmark::Counter((double)frames, benchmark::Counter::kIsRate);
  tape_free(src);
}
BENCHMARK(BM_TapeResample44to48)->Unit(benchmark::kMillisecond);

// Peaks of 10 minutes at 48 kHz, one bin per hop (256 frames), as a canvas redraw asks. A bin
// looks at every 8th frame, so the counters say what was read (frames examined) and how much
// tape that covers, apart.
void BM_TapePeaks10Min(benchmark::State& state) {
  Tape* t = sine_tape(48000, 600);
  int64_t n = tape_length(t);
  std::vector<float> out((size_t)(n / 256 + 2));
  for (auto _ : state) {
    int bins = tape_peaks(t, 0, n, 256.0, out.data(), (int32_t)out.size());
    benchmark::DoNotOptimize(bins);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["frames_read_per_s"] =
      benchmark::Counter((double)(n / 8) * state.iterations(), benchmark::Counter::kIsRate);
  state.counters["tape_frames_per_s"] =
      benchmark::Counter((double)n * state.iterations(), benchmark::Counter::kIsRate);
  tape_free(t);
}
BENCHMARK(BM_TapePeaks10Min)->Unit(benchmark::kMillisecond);

}  // namespace
