// The record key's way to the tape: in process, an SDL key event through the key map, the pending
// list and the dispatcher to the record command in the core's ring (microseconds); and the whole
// program under a private X server and JACK server, xdotool's "r" to the first leaf of the take
// drawn, as the program logs it ("main: the take's first leaf drawn %.1f ms after its key").
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>

#include <SDL2/SDL.h>

#include <chrono>
#include <string>
#include <thread>

#include "app/session_fixture.h"
#include "app/ui.h"
#include "bench_display.h"
#include "e2e/shell_fixture.h"
#include "support/jack_server.h"

namespace {

void BM_RecordKeyToCoreRing(benchmark::State& state) {
  session_fixture::Rig r;
  r.create();
  r.new_sketch();
  Ui ui;
  ui_init(&ui, &r.app);
  UiLayout l{};
  l.to_points = 1.0f;
  SDL_Event e{};
  e.type = SDL_KEYDOWN;
  e.key.keysym.sym = SDLK_r;
  e.key.keysym.scancode = SDL_SCANCODE_R;
  for (auto _ : state) {
    r.frames(6);
    const auto t0 = std::chrono::steady_clock::now();
    input_event(&ui, &l, &e);
    actions_flush(&ui);
    const auto t1 = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    if (!r.s->take.requested) {
      state.SkipWithError("the key didn't ask for a take");
      break;
    }
    r.frames(30);  // the take starts; the next key stops it
    input_event(&ui, &l, &e);
    actions_flush(&ui);
    if (!r.settle()) {
      state.SkipWithError("the take didn't land");
      break;
    }
  }
}
BENCHMARK(BM_RecordKeyToCoreRing)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(20);

struct Program : shell_fixture::ShellTest {
  using ShellTest::dir;
  using ShellTest::env;
  using ShellTest::jack;
  using ShellTest::log;
  using ShellTest::start_program;
  using ShellTest::wait_log;
  using ShellTest::window;
  using ShellTest::xdotool;
  void TestBody() override {}
  void open(const std::string& shared_display) {
    display = shared_display;
    SetUp();
    jack = jack_server_start();
  }
  void close() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      wait_exit();
    }
    jack_server_stop(jack);
    jack = nullptr;
  }
};

void BM_RecordKeyToFirstLeaf(benchmark::State& state) {
  BenchDisplay& x = bench_display();
  if (x.display.empty()) {
    state.SkipWithError("no Xvfb");
    return;
  }
  Program p;
  p.open(x.display);
  if (!p.jack) {
    state.SkipWithError("no JACK server");
    return;
  }
  p.start_program();
  const std::string win = p.window();
  if (win.empty() || !p.wait_log("audio: RUNNING", 20.0)) {
    state.SkipWithError("the program didn't start");
    p.close();
    return;
  }
  pid_t tone = shell_fixture::spawn(
      {std::string(KELP_BINARY_DIR) + "/tools/jack_tone", "--level", "0.4", "--to", "PortAudio",
       "--ports", "2"},
      p.env(), p.dir / "tone.out");
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  p.xdotool("windowactivate --sync " + win);
  const std::string needle = "main: the take's first leaf drawn ";
  size_t seen = 0;
  for (auto _ : state) {
    p.xdotool("key --window " + win + " r");
    double ms = -1;
    const double end = test_seconds() + 10.0;
    while (ms < 0 && test_seconds() < end) {
      const std::string text = p.log();
      size_t at = 0, n = 0, last = std::string::npos;
      while ((at = text.find(needle, at)) != std::string::npos) last = at, at++, n++;
      if (n > seen) {
        seen = n;
        ms = atof(text.c_str() + last + needle.size());
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    if (ms < 0) {
      state.SkipWithError("no leaf drawn");
      break;
    }
    state.SetIterationTime(ms / 1000.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    p.xdotool("key --window " + win + " r");
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
  }
  if (tone > 0) {
    kill(tone, SIGTERM);
    waitpid(tone, nullptr, 0);
  }
  p.close();
}
BENCHMARK(BM_RecordKeyToFirstLeaf)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);

}  // namespace
