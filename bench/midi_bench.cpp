// MIDI in at the UI thread's poll: from a message in an input's ring to its action in the frame's
// list (microseconds), and what a frame pays for 16 inputs that say nothing. Anchors: the ring's
// own push and pop of one message, and 16 reads of an empty ring.
#include <benchmark/benchmark.h>

#include <chrono>

#include "bench_ratio.h"
#include "control/midi_fake.h"

namespace {

struct Inputs {
  FakeMidi fake;
  MidiState* m = nullptr;
  ActionList out{};
  MidiSnapshot snap{0, 0, 10, 20, false, 0, 0};
  explicit Inputs(int n) {
    for (int i = 0; i < n; i++) fake.ins.push_back("Pad " + std::to_string(i) + ":out 20:" + std::to_string(i));
    m = midi_new(fake_midi_backend(&fake), true, 0);
  }
  ~Inputs() { midi_free(m); }
};

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_MidiMessageToAction(benchmark::State& state) {
  Inputs in(1);
  static MidiInput ring;
  BenchPair pair;
  const uint8_t note[3] = {0x90, 36, 100};
  for (auto _ : state) {
    in.out.count = 0;
    auto t0 = std::chrono::steady_clock::now();
    midi_input_feed(in.fake.open_in[0], note, 3);
    midi_poll(in.m, 1.0, &in.snap, &in.out);
    double ours = seconds_since(t0);
    if (in.out.count != 1) {
      state.SkipWithError("no action");
      break;
    }
    t0 = std::chrono::steady_clock::now();
    uint32_t msg;
    midi_input_feed(&ring, note, 3);
    benchmark::DoNotOptimize(spsc_pop(&ring.ring, &msg));
    pair.anchor.push_back(seconds_since(t0));
    pair.ours.push_back(ours);
    state.SetIterationTime(ours);
  }
  bench_ratio("MIDI note to its action at the poll", pair, "the ring's push and pop of one message", 0);
}
BENCHMARK(BM_MidiMessageToAction)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(20000);

void BM_MidiIdlePoll16(benchmark::State& state) {
  Inputs in(MIDI_MAX_INPUTS);
  static MidiInput rings[MIDI_MAX_INPUTS];
  BenchPair pair;
  double now = 1.0;
  for (auto _ : state) {
    in.out.count = 0;
    now += 0.001;  // no rescan: the next is 2 s away
    auto t0 = std::chrono::steady_clock::now();
    midi_poll(in.m, now, &in.snap, &in.out);
    double ours = seconds_since(t0);
    t0 = std::chrono::steady_clock::now();
    uint32_t msg;
    for (MidiInput& r : rings) benchmark::DoNotOptimize(spsc_pop(&r.ring, &msg));
    pair.anchor.push_back(seconds_since(t0));
    pair.ours.push_back(ours);
    state.SetIterationTime(ours);
  }
  bench_ratio("MIDI poll, 16 idle inputs", pair, "16 reads of an empty ring", 0);
}
BENCHMARK(BM_MidiIdlePoll16)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(1000);

}  // namespace
