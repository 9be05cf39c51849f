// Spectral map cost per take, and the raw 2048-point transform under it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "core/analysis.h"
#include "core/fft.h"
#include "core/tape.h"

namespace {

void BM_AnalysisSpectralMap60s(benchmark::State& state) {
  const double rate = 48000;
  const int64_t frames = 60 * 48000;
  Tape* tape = tape_new(rate, 2, 0);
  if (!tape || tape_ensure(tape, frames - 1) != 0) {
    state.SkipWithError("no tape");
    tape_free(tape);
    return;
  }
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> d(-0.5f, 0.5f);
  std::vector<float> block(2 * 65536);
  for (int64_t at = 0; at < frames; at += 65536) {
    int64_t n = std::min<int64_t>(65536, frames - at);
    for (int64_t i = 0; i < 2 * n; i++) block[(size_t)i] = d(rng);
    tape_write(tape, at, block.data(), n);
  }
  float map[ANALYSIS_SPECTRAL_VALUES];
  for (auto _ : state) {
    analysis_spectral_map(tape, 0, 0, frames, nullptr, map, nullptr);
    benchmark::DoNotOptimize(map);
  }
  tape_free(tape);
}
BENCHMARK(BM_AnalysisSpectralMap60s)->Unit(benchmark::kMillisecond);

void BM_Fft2048(benchmark::State& state) {
  FftPlan* plan = fft_plan_new(2048);
  std::vector<float> re(2048), im(2048);
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> d(-1, 1);
  for (int i = 0; i < 2048; i++) re[i] = d(rng), im[i] = d(rng);
  for (auto _ : state) {
    fft_forward(plan, re.data(), im.data());
    benchmark::DoNotOptimize(re.data());
    benchmark::ClobberMemory();
  }
  fft_plan_free(plan);
}
BENCHMARK(BM_Fft2048)->Unit(benchmark::kMicrosecond);

}  // namespace
