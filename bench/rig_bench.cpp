// The rig mixer as the audio callback runs it: 256-frame blocks at 48 kHz.
// "rtf" is seconds of audio mixed per second of processor time (real-time factor).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "rig/mixer.h"

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = 256;
constexpr uint32_t kTag = 0xBE7C4;

struct RigBenchSetup {
  RigMixer* mixer = nullptr;
  std::vector<std::vector<float>> inputs;
  std::vector<const float*> ptrs;
  std::vector<float> left, right;

  RigBenchSetup(int channels, bool all_audible) {
    mixer = rig_mixer_new();
    RigPlan fallback;
    rig_default_plan("wasapi", channels, &fallback);
    rig_bind_stream(mixer, kRate, channels, kTag, &fallback);
    RigPlan plan = fallback;  // inputs 1 and 2, the rest muted
    if (all_audible) {
      for (int i = 0; i < channels; i++) plan.left[i] = plan.right[i] = 0.5f;
    }
    rig_publish_plan(mixer, &plan, kTag, 0.0);
    uint32_t noise = 12345;
    inputs.assign(channels, std::vector<float>(kBlock));
    for (auto& ch : inputs) {
      for (float& v : ch) {
        noise = noise * 1664525u + 1013904223u;
        v = (float)(noise >> 8) / 16777216.0f - 0.5f;
      }
      ptrs.push_back(ch.data());
    }
    left.assign(kBlock, 0.0f);
    right.assign(kBlock, 0.0f);
    for (int i = 0; i < 20; i++) mix();  // past the first ramp
  }
  ~RigBenchSetup() { rig_mixer_free(mixer); }

  void mix() { rig_mix(mixer, ptrs.data(), (int)ptrs.size(), left.data(), right.data(), kBlock); }
};

void report(benchmark::State& state) {
  state.counters["rtf"] =
      benchmark::Counter((double)kBlock / kRate, benchmark::Counter::kIsIterationInvariantRate);
}

// Args: input count, every input audible (1) or the default plan (0: inputs 1 and 2 only).
void BM_RigMix(benchmark::State& state) {
  RigBenchSetup s((int)state.range(0), state.range(1) != 0);
  for (auto _ : state) {
    s.mix();
    benchmark::DoNotOptimize(s.left.data());
    benchmark::DoNotOptimize(s.right.data());
    benchmark::ClobberMemory();
  }
  report(state);
}
BENCHMARK(BM_RigMix)->Args({2, 1})->Args({64, 1})->Args({64, 0});

// Every gain and the master in a ramp all the time (a scene crossfade that never ends).
void BM_RigMixRamping(benchmark::State& state) {
  int channels = (int)state.range(0);
  RigBenchSetup s(channels, true);
  RigPlan a = {}, b = {};
  a.channel_count = b.channel_count = channels;
  a.master = 1.0f;
  b.master = 0.5f;
  for (int i = 0; i < channels; i++) {
    a.left[i] = a.right[i] = 0.25f;
    b.left[i] = b.right[i] = 0.75f;
  }
  int64_t n = 0;
  bool flip = false;
  for (auto _ : state) {
    // A new 10 s ramp every second of audio: ramps never settle.
    if (n++ % (kRate / kBlock) == 0) {
      flip = !flip;
      rig_publish_plan(s.mixer, flip ? &a : &b, kTag, 10.0);
    }
    s.mix();
    benchmark::DoNotOptimize(s.left.data());
    benchmark::ClobberMemory();
  }
  report(state);
}
BENCHMARK(BM_RigMixRamping)->Arg(2)->Arg(64);

}  // namespace
