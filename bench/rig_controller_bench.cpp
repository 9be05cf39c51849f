// The callback's rig_mix while the controller keeps switching scenes: 64 inputs, a new scene
// every 20 ms of audio, so a crossfade is always running. The controller, its store and its
// mixer are the real ones; only the mix is timed (this thread's processor time, four callbacks
// at a time between switches, so other work on a busy machine does not count).
#include <benchmark/benchmark.h>
#include <time.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "base/clock.h"
#include "bench_ratio.h"
#include "platform/platform.h"
#include "rig/mixer.h"
#include "rig/rig_controller.h"
#include "support/tmpdir.h"

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = 256;
constexpr int kInputs = 64;

double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

struct CrossfadeBench {
  TmpDir dir{"rigctlbench"};
  RigController* ctl = nullptr;
  RigMixer* mixer = nullptr;
  std::vector<std::vector<float>> inputs;
  std::vector<const float*> ptrs;
  std::vector<float> left, right;
  bool ok = false;

  CrossfadeBench() {
    RigControllerConfig cfg = {};
    cfg.app_name = "kelp";
    cfg.folder = dir.path.c_str();
    cfg.no_watch = true;
    ctl = rig_controller_new(&cfg);
    if (!ctl) return;
    mixer = rig_controller_mixer(ctl);
    StreamBinding b = {};
    snprintf(b.api, sizeof b.api, "alsa");
    snprintf(b.device_name, sizeof b.device_name, "bench");
    rig_key(b.api, b.device_name, b.key);
    b.inputs = b.device_inputs = kInputs;
    b.rate = kRate;
    RigPlan fallback;
    rig_default_plan(b.api, kInputs, &fallback);
    rig_bind_stream(mixer, kRate, kInputs, rig_tag(b.key), &fallback);
    rig_controller_bind(ctl, &b);
    RigControllerStatus s = {};
    for (int i = 0; i < 2000 && s.state != RIG_READY; i++) {
      rig_controller_frame(ctl, clock_monotonic(), NAN);
      rig_controller_status(ctl, &s);
      platform_sleep_ms(1);
    }
    if (s.state != RIG_READY) return;
    // Scene 1: every input audible, panned across; scene 2: every input at another gain.
    for (int i = 0; i < kInputs; i++) {
      rig_set_muted(ctl, i, false);
      rig_set_pan(ctl, i, (float)(i % 9) / 4.0f - 1.0f);
    }
    rig_set_link(ctl, 0, false);
    rig_select_scene(ctl, 1);
    for (int i = 0; i < kInputs; i++) rig_set_gain(ctl, i, 0.25f + (float)(i % 7) * 0.1f);
    uint32_t noise = 12345;
    inputs.assign(kInputs, std::vector<float>(kBlock));
    for (auto& ch : inputs) {
      for (float& v : ch) {
        noise = noise * 1664525u + 1013904223u;
        v = (float)(noise >> 8) / 16777216.0f - 0.5f;
      }
      ptrs.push_back(ch.data());
    }
    left.assign(kBlock, 0.0f);
    right.assign(kBlock, 0.0f);
    ok = true;
  }
  ~CrossfadeBench() { rig_controller_free(ctl); }

  // The UI switches scene, then four callbacks (21 ms of audio) mix through the crossfade.
  double run(int64_t n) {
    rig_select_scene(ctl, (int)(n % 2));
    rig_controller_frame(ctl, clock_monotonic(), NAN);
    double t0 = thread_seconds();
    for (int i = 0; i < 4; i++)
      rig_mix(mixer, ptrs.data(), kInputs, left.data(), right.data(), kBlock);
    return thread_seconds() - t0;
  }
};

void BM_RigMixSceneCrossfade(benchmark::State& state) {
  constexpr int kRuns = 9, kBatches = 1000;
  CrossfadeBench b;
  if (!b.ok) {
    state.SkipWithError("the controller did not get its rig ready");
    return;
  }
  double rtf = 0;
  int64_t n = 0;
  for (auto _ : state) {
    std::vector<double> runs;
    for (int r = 0; r < kRuns; r++) {
      double mixing = 0;
      for (int i = 0; i < kBatches; i++) mixing += b.run(n++);
      runs.push_back(mixing > 0 ? 4.0 * kBatches * kBlock / kRate / mixing : 0.0);
    }
    rtf = bench_median(runs);
    benchmark::DoNotOptimize(b.left.data());
  }
  state.counters["rtf"] = rtf;
  // A crossfade lasts 20 ms, so what counts is its share of each callback's period: at 100x it
  // takes 1% of it. The settled mix, which runs all the rest of the time, has its own 2000x row.
  bench_at_least("rig mix, 64 inputs, a scene crossfade always running", rtf, "x", 100);
}
BENCHMARK(BM_RigMixSceneCrossfade)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
