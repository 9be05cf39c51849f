// The broadcast from the window: a program started on air streams the take it plays to a listener
// on loopback (tools/sg_listen), the BROADCAST row takes it off air and the setting is kept, and
// a listener hears the goodbye when the program quits.
#include <sys/wait.h>

#include <cmath>
#include <cstring>

#include "e2e/shell_fixture.h"

namespace {

using namespace shell_fixture;

struct Heard {
  double rms = 0, hz = 0;
};

// The left channel of a 16-bit stereo WAV at 48 kHz: its level and, from its rising zero
// crossings over the part that sounds, its pitch.
Heard hear(const std::string& wav) {
  Heard h;
  if (wav.size() < 44 + 4 * 4800) return h;
  const size_t frames = (wav.size() - 44) / 4;
  std::vector<double> x(frames);
  for (size_t i = 0; i < frames; i++) {
    int16_t v;
    memcpy(&v, wav.data() + 44 + 4 * i, 2);
    x[i] = v / 32768.0;
  }
  size_t first = 0, last = frames;
  while (first < frames && std::fabs(x[first]) < 0.02) first++;
  while (last > first && std::fabs(x[last - 1]) < 0.02) last--;
  if (last - first < 4800) return h;
  double sum = 0;
  int rises = 0;
  size_t first_rise = 0, last_rise = 0;
  for (size_t i = first + 1; i < last; i++) {
    sum += x[i] * x[i];
    if (x[i - 1] < 0 && x[i] >= 0) {
      if (!rises) first_rise = i;
      last_rise = i;
      rises++;
    }
  }
  h.rms = std::sqrt(sum / (double)(last - first));
  if (rises > 1) h.hz = (rises - 1) * 48000.0 / (double)(last_rise - first_rise);
  return h;
}

class StationWindowTest : public ShellTest {
 protected:
  std::string listen_bin = std::string(KELP_BINARY_DIR) + "/tools/sg_listen";

  pid_t listen(const std::string& out, double seconds, const std::string& name) {
    return spawn({listen_bin, "127.0.0.1:47481", "--seconds", std::to_string(seconds), "--out", out,
                  "--name", name},
                 env(), dir / (name + ".out"));
  }
  static int ended(pid_t p, double timeout) {
    const double end = test_seconds() + timeout;
    int st = 0;
    while (test_seconds() < end) {
      if (waitpid(p, &st, WNOHANG) == p) return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(p, SIGKILL);
    waitpid(p, nullptr, 0);
    return -1;
  }
};

}  // namespace

TEST_F(StationWindowTest, OnAirStreamsWhatPlaysAndTheRowTakesItOff) {
  tmpdir_write(ini, "device = system\nbroadcast = 1\n");
  start_servers(1280, 800);
  start_program();
  win = window();
  ASSERT_FALSE(win.empty());
  ASSERT_TRUE(wait_log("audio: RUNNING", 20.0)) << log();
  ASSERT_TRUE(wait_log("sgstream: station Kelp NOVA on :47481", 10.0)) << log();

  // A 440 Hz take.
  pid_t tone = spawn({std::string(KELP_BINARY_DIR) + "/tools/jack_tone", "--level", "0.4", "--freq",
                      "440", "--to", "PortAudio", "--ports", "2"},
                     env(), dir / "tone.out");
  ASSERT_GT(tone, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  xdotool("windowactivate --sync " + win);
  move(600, 20);
  key("r");
  ASSERT_TRUE(wait_log("action: record", 5.0));
  std::this_thread::sleep_for(std::chrono::milliseconds(4000));
  key("r");
  ASSERT_TRUE(wait_log("session: committed ", 10.0)) << log();
  kill(tone, SIGTERM);
  waitpid(tone, nullptr, 0);

  // Played from the start, it reaches a listener as the same tone.
  key("Home");
  key("space");
  ASSERT_TRUE(wait_log("action: play/pause", 5.0));
  const std::string wav = dir / "heard.wav";
  pid_t ear = listen(wav, 1.5, "e2e-ear");
  ASSERT_EQ(ended(ear, 10.0), 0) << tmpdir_read(dir / "e2e-ear.out") << log();
  EXPECT_TRUE(wait_log("sgstream: E2E-EAR (", 2.0)) << log();  // named as it said, with its host
  const Heard h = hear(tmpdir_read(wav));
  EXPECT_NEAR(h.hz, 440.0, 3.0) << tmpdir_read(dir / "e2e-ear.out");
  EXPECT_GT(h.rms, 0.1);
  key("s");

  // SETTINGS, down to BROADCAST (the eighth row), Enter: off air, and kept so.
  key("Return");
  ASSERT_TRUE(wait_log("ui: panel SETTINGS", 5.0));
  for (int i = 0; i < 7; i++) key("Down");
  key("Return");
  ASSERT_TRUE(wait_log("sgstream: off air", 5.0)) << log();
  EXPECT_TRUE(wait_log("toast: OFF AIR", 2.0)) << log();
  ASSERT_TRUE(wait_for([&] { return tmpdir_read(ini).find("broadcast = 0") != std::string::npos; },
                       10.0))
      << tmpdir_read(ini);
  EXPECT_EQ(ended(listen(dir / "none.wav", 1.0, "late"), 10.0), 1) << "nobody answers off air";

  // On again; a listener still connected when the program quits hears the goodbye.
  key("Return");
  ASSERT_TRUE(wait_count("sgstream: station Kelp NOVA on :47481", 2, 5.0)) << log();
  EXPECT_TRUE(wait_log("toast: ON AIR - THE SKETCH IS ON THE SEAGLASS STREAM", 2.0)) << log();
  ear = listen(dir / "last.wav", 30.0, "last-ear");
  ASSERT_TRUE(wait_log("sgstream: LAST-EAR (", 5.0)) << log();
  kill(pid, SIGTERM);
  EXPECT_EQ(wait_exit(), 0) << log();
  EXPECT_EQ(ended(ear, 5.0), 0) << "the goodbye ends the listener at once: "
                                << tmpdir_read(dir / "last-ear.out");
  EXPECT_NE(tmpdir_read(ini).find("broadcast = 1"), std::string::npos) << tmpdir_read(ini);
}
