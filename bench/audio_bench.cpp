// The engine's stream callback as the driver calls it: device inputs through the rig mixer into
// the core (recording and playing a loop), 256-frame blocks at 48 kHz, on the scripted driver.
// "rtf" is seconds of audio processed per second of processor time (real-time factor).
#include <benchmark/benchmark.h>
#include <time.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "audio/audio_engine.h"
#include "bench_ratio.h"
#include "support/audio_fake.h"
#include "core/core.h"
#include "core/tape.h"
#include "platform/platform.h"
#include "rig/mixer.h"

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = 256;

struct CallbackBench {
  Core* core = nullptr;
  RigMixer* rig = nullptr;
  FakeAudio* fake = nullptr;
  AudioEngine* engine = nullptr;
  Tape* main = nullptr;
  Tape* capture = nullptr;
  PaStreamCallback* cb = nullptr;
  void* user = nullptr;
  std::vector<std::vector<float>> in;
  std::vector<const float*> in_ptr;
  std::vector<float> out_l, out_r;
  std::vector<float*> out_ptr;
  std::vector<float> levels;
  bool ok = false;

  // panned: every input somewhere else between the sides (the mixer's general kernels);
  // otherwise every input in the centre.
  CallbackBench(int inputs, bool recording, bool panned = false) {
    core = core_new();
    rig = rig_mixer_new();
    fake = fake_audio_new();
    int api = fake_audio_add_host_api(fake, "ALSA", paALSA);
    FakeAudioDevice d = {};
    d.name = "Bench Interface";
    d.host_api = api;
    d.max_inputs = inputs;
    d.max_outputs = 2;
    d.default_rate = kRate;
    d.present = true;
    fake_audio_add_device(fake, &d);
    fake_audio_set_stream_mode(fake, FAKE_STREAM_MANUAL);
    engine = audio_engine_create_with(core, rig, fake_audio_driver(fake), fake_audio_probe(fake));
    AudioEngineConfig cfg = {};
    cfg.buffer_frames = kBlock;
    audio_engine_open(engine, &cfg);
    AudioStatus s;
    for (int i = 0; i < 400; i++) {
      audio_engine_status(engine, &s);
      if (s.state == AUDIO_RUNNING) break;
      platform_sleep_ms(5);
    }
    int ins = 0, outs = 0;
    if (s.state != AUDIO_RUNNING || !fake_audio_stream_callback(fake, &cb, &user, &ins, &outs)) {
      return;
    }
    // Every input audible: the heaviest mix.
    StreamBinding b;
    audio_engine_binding(engine, &b);
    RigPlan plan = {};
    plan.channel_count = inputs;
    plan.master = 1.0f;
    for (int i = 0; i < inputs; i++) plan.left[i] = plan.right[i] = 0.5f / (float)inputs;
    if (panned) {
      for (int i = 0; i < inputs; i++)
        rig_pan_gains(-0.9f + 1.8f * (float)i / (float)inputs, &plan.left[i], &plan.right[i]);
      for (int i = 0; i < inputs; i++) plan.left[i] *= 0.5f / (float)inputs;
      for (int i = 0; i < inputs; i++) plan.right[i] *= 0.5f / (float)inputs;
    }
    rig_publish_plan(rig, &plan, rig_tag(b.key), 0.0);

    if (recording) start_take();
    uint32_t noise = 12345;
    in.assign(inputs, std::vector<float>(kBlock));
    for (auto& ch : in) {
      for (float& v : ch) {
        noise = noise * 1664525u + 1013904223u;
        v = (float)(noise >> 8) / 16777216.0f - 0.5f;
      }
      in_ptr.push_back(ch.data());
    }
    out_l.assign(kBlock, 0.0f);
    out_r.assign(kBlock, 0.0f);
    out_ptr = {out_l.data(), out_r.data()};
    levels.resize(CORE_LEVEL_SLOTS);
    for (int i = 0; i < 20; i++) call();
    ok = true;
  }

  void start_take() {
    // Record and play over a one-second loop, so the tape stays inside its chunks.
    main = tape_new(kRate, 1.0, 0);
    capture = tape_new(kRate, 1.0, 0);
    tape_ensure(main, kRate);
    tape_ensure(capture, kRate * 2);
    // First touches of fresh pages are the tape's business, not the callback's.
    memset(tape_frame_ptr(main, 0), 0, (size_t)TAPE_CHUNK_BYTES);
    memset(tape_frame_ptr(capture, 0), 0, (size_t)TAPE_CHUNK_BYTES);
    attach();
  }

  // The take from the start: the capture tape rewound, so it stays inside its first chunk for
  // the next TAPE_CHUNK_FRAMES frames (about 11 s).
  void attach() {
    capture->length.store(0);
    CoreCommand c = {};
    c.kind = CMD_ATTACH;
    c.tape = main;
    c.tape2 = capture;
    core_push_command(core, &c);
    c = {};
    c.kind = CMD_LOOP;
    c.a = 0;
    c.b = kRate;
    c.flags = CMD_FLAG_LOOP_ON;
    core_push_command(core, &c);
    c = {};
    c.kind = CMD_RECORD;
    c.b = 1;
    c.flags = CMD_FLAG_PLAY;
    core_push_command(core, &c);
  }

  ~CallbackBench() {
    audio_engine_destroy(engine);
    fake_audio_free(fake);
    rig_mixer_free(rig);
    core_free(core);
  }

  void call() { cb(in_ptr.data(), out_ptr.data(), kBlock, nullptr, 0, user); }

  // What the UI thread would take each frame.
  void drain() {
    CoreEvent ev;
    while (core_pop_event(core, &ev)) {
    }
    core_read_levels(core, levels.data(), CORE_LEVEL_SLOTS, INT64_MAX);
  }
};

// Args: device inputs (all audible), the core recording and playing a loop (1) or idle (0).
void BM_AudioCallback(benchmark::State& state) {
  CallbackBench b((int)state.range(0), state.range(1) != 0);
  if (!b.ok) {
    state.SkipWithError("the engine did not start on the scripted driver");
    return;
  }
  CoreStatus before, after;
  core_read_status(b.core, &before);
  int64_t n = 0;
  for (auto _ : state) {
    b.call();
    if ((++n & 63) == 0) b.drain();
    benchmark::DoNotOptimize(b.out_l.data());
    benchmark::ClobberMemory();
  }
  core_read_status(b.core, &after);
  // A stream the engine gave up on would only write silence: make sure the core did the work.
  if ((int64_t)(uint32_t)(after.callbacks - before.callbacks) != (int64_t)(uint32_t)n) {
    state.SkipWithError("the engine dropped the stream during the run");
  }
  state.counters["rtf"] =
      benchmark::Counter((double)kBlock / kRate, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_AudioCallback)->Args({2, 1})->Args({64, 1})->Args({64, 0});

// As BM_AudioCallback at 64 inputs recording, with every input panned.
void BM_AudioCallbackPanned(benchmark::State& state) {
  CallbackBench b(64, true, true);
  if (!b.ok) {
    state.SkipWithError("the engine did not start on the scripted driver");
    return;
  }
  int64_t n = 0;
  for (auto _ : state) {
    b.call();
    if ((++n & 63) == 0) b.drain();
    benchmark::DoNotOptimize(b.out_l.data());
    benchmark::ClobberMemory();
  }
  state.counters["rtf"] =
      benchmark::Counter((double)kBlock / kRate, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_AudioCallbackPanned);

// Processor time of this thread: other builds sharing the machine stretch the wall clock, not
// this.
double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

// The summary rows: 64 inputs recording, the real-time factor as the median of 9 runs of 2,000
// callbacks, each run a take from the start (the capture written all the way, the envelope
// rising at first). Arg: a second process spinning on the other core (1) or not (0).
void BM_AudioCallbackRtf(benchmark::State& state) {
  constexpr int kRuns = 9, kCalls = 2000;
  static_assert((int64_t)kCalls * kBlock < TAPE_CHUNK_FRAMES);
  const bool loaded = state.range(0) != 0;
  CallbackBench b(64, true);
  if (!b.ok) {
    state.SkipWithError("the engine did not start on the scripted driver");
    return;
  }
  std::unique_ptr<BenchLoad> load;
  if (loaded) load = std::make_unique<BenchLoad>();
  CoreStatus before, after;
  core_read_status(b.core, &before);
  double rtf = 0;
  int64_t n = 0;
  for (auto _ : state) {
    std::vector<double> runs;
    for (int run = 0; run < kRuns; run++) {
      b.drain();
      b.attach();
      double t0 = thread_seconds();
      for (int i = 0; i < kCalls; i++) {
        b.call();
        if ((++n & 63) == 0) b.drain();
      }
      double t = thread_seconds() - t0;
      runs.push_back(t > 0 ? (double)kCalls * kBlock / kRate / t : 0.0);
    }
    rtf = bench_median(runs);
  }
  load.reset();
  core_read_status(b.core, &after);
  if ((int64_t)(uint32_t)(after.callbacks - before.callbacks) != (int64_t)(uint32_t)n) {
    state.SkipWithError("the engine dropped the stream during the run");
    return;
  }
  state.counters["rtf"] = rtf;
  bench_at_least(
      loaded ? "callback, 64 inputs recording, other core loaded" : "callback, 64 inputs recording",
      rtf, "x", 2000);
}
BENCHMARK(BM_AudioCallbackRtf)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
