// MIDI in for real: RtMidi on a private JACK server, with tools/jack_midi_pad as the controller.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>


#include "base/clock.h"
#include "control/midi_fake.h"
#include "support/jack_server.h"
#include "support/tmpdir.h"

namespace {

struct JackMidi : ::testing::Test {
  JackServer* jack = jack_server_start();
  TmpDir dir{"midi"};
  std::string fifo = dir / "commands", pad_log = dir / "pad.log";
  JackTool* pad = nullptr;
  MidiState* m = nullptr;
  ActionList out{};
  MidiSnapshot snap{0, 0, 10, 20, false, 0, 0};

  void SetUp() override {
    ASSERT_NE(jack, nullptr);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  }
  void TearDown() override {
    midi_free(m);
    jack_tool_stop(pad);
    jack_server_stop(jack);
  }
  void start_pad(bool lcxl) {
    std::vector<std::string> args = {"--commands", fifo, "--log", pad_log, "--name", "pad"};
    if (lcxl) args.push_back("--lcxl");
    pad = jack_tool_start(jack_tool_path("jack_midi_pad"), args, 10000);
    ASSERT_NE(pad, nullptr);
  }
  void say(const std::string& line) {
    int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    std::string l = line + "\n";
    ASSERT_EQ(write(fd, l.data(), l.size()), (ssize_t)l.size());
    close(fd);
  }
  // Polls like the UI thread for up to seconds or until done says so; actions are gathered.
  template <typename Done>
  bool poll_until(double seconds, std::vector<Action>* seen, Done done) {
    double end = clock_monotonic() + seconds;
    while (clock_monotonic() < end) {
      out.count = 0;
      midi_poll(m, clock_monotonic(), &snap, &out);
      if (seen) seen->insert(seen->end(), out.items, out.items + out.count);
      if (done()) return true;
      usleep(16000);
    }
    return false;
  }
  int inputs() {
    MidiStatus st;
    midi_status(m, &st);
    return st.input_count;
  }
  std::string pad_said() { return tmpdir_read(pad_log); }
  // A plain controller, and MIDI in on JACK listening to it.
  void start_listening_to_a_plain_pad() {
    start_pad(false);
    MidiBackend* be = midi_backend_rtmidi(true);
    ASSERT_NE(be, nullptr);
    m = midi_new(be, true, clock_monotonic());
    ASSERT_TRUE(poll_until(5, nullptr, [&] { return inputs() == 1; }));
  }
};

bool has_kind(const std::vector<Action>& v, int32_t kind) {
  for (const Action& a : v)
    if (a.kind == kind && a.value == ACTION_FROM_MIDI) return true;
  return false;
}

}  // namespace

TEST_F(JackMidi, NotesBurstsAndAPortThatComesBack) {
  ASSERT_NO_FATAL_FAILURE(start_listening_to_a_plain_pad());

  std::vector<Action> seen;
  say("note 36 100");
  say("note 38 100");
  say("note 41 100");
  ASSERT_TRUE(poll_until(5, &seen, [&] {
    return has_kind(seen, ACT_RECORD) && has_kind(seen, ACT_PLAY_PAUSE) && has_kind(seen, ACT_LOOP);
  }));

  // Far more than a ring holds, faster than a frame: dropped, counted, reported; the poll goes on.
  int64_t mark = log_console_count();
  say("burst 10000");
  EXPECT_TRUE(poll_until(10, nullptr, [&] {
    return pad_said().find("burst done") != std::string::npos && logged(mark, "messages dropped");
  }));
  say("note 40 100");
  seen.clear();
  EXPECT_TRUE(poll_until(5, &seen, [&] { return has_kind(seen, ACT_REWIND); }));

  // The controller goes away and comes back: picked up at the next scan.
  jack_tool_stop(pad);
  pad = nullptr;
  EXPECT_TRUE(poll_until(5, nullptr, [&] { return inputs() == 0; }));
  start_pad(false);
  EXPECT_TRUE(poll_until(5, nullptr, [&] { return inputs() == 1; }));
  say("note 36 100");
  seen.clear();
  EXPECT_TRUE(poll_until(5, &seen, [&] { return has_kind(seen, ACT_RECORD); }));
}

TEST_F(JackMidi, LaunchControlStandInGetsDawModeAndGoodbye) {
  start_pad(true);
  MidiBackend* be = midi_backend_rtmidi(true);
  ASSERT_NE(be, nullptr);
  m = midi_new(be, true, clock_monotonic());
  MidiStatus st{};
  ASSERT_TRUE(poll_until(5, nullptr, [&] {
    midi_status(m, &st);
    return st.daw_on;
  }));
  EXPECT_STREQ(st.daw_out, "LCXL3:LCXL3 DAW In");
  MidiFeedback f{};
  f.recording = true;
  f.scene = 0;
  f.title = "Harbour";
  midi_set_feedback(m, &f);
  // Port 1 of the pad is its DAW port: "DAW In" receives, "DAW Out" plays.
  const std::string greeting = "1 F0 00 20 29 02 15 02 7F F7\n1 B6 48 7F\n1 B6 49 7F\n";
  const std::string record_lit = "1 F0 00 20 29 02 15 01 26 78 0A 00 F7\n";
  const std::string screen = "1 F0 00 20 29 02 15 06 35 00 4B 65 6C 70 20 4E 4F 56 41 00 01 48 61 72 62 6F 75 72 F7\n";
  EXPECT_TRUE(poll_until(5, nullptr, [&] {
    std::string s = pad_said();
    return s.find(greeting) == 0 && s.find(record_lit) != std::string::npos &&
           s.find(screen) != std::string::npos;
  })) << pad_said();
  std::vector<Action> seen;
  say("port 1");
  say("cc 44 127 1");  // the loop button
  say("cc 13 1 16");   // knob 1 to the left
  EXPECT_TRUE(poll_until(5, &seen, [&] { return has_kind(seen, ACT_LOOP); }));
  bool xy = false;
  for (const Action& a : seen) xy = xy || (a.kind == ACT_XY && a.x == -1.0f);
  EXPECT_TRUE(xy);
  midi_free(m);
  m = nullptr;
  // The goodbye, whole and in order: lights off, an empty screen, then DAW mode off.
  std::string goodbye;
  char line[64];
  for (int cc = 37; cc <= 52; cc++) {
    snprintf(line, sizeof line, "1 F0 00 20 29 02 15 01 %02X 00 00 00 F7\n", cc);
    goodbye += line;
  }
  goodbye += "1 F0 00 20 29 02 15 04 35 01 F7\n1 F0 00 20 29 02 15 06 35 00 00 01 F7\n";
  goodbye += "1 B6 48 7F\n1 B6 49 7F\n1 F0 00 20 29 02 15 02 00 F7\n";
  double end = clock_monotonic() + 3;
  std::string s;
  while ((s = pad_said()).find(goodbye) == std::string::npos && clock_monotonic() < end) usleep(10000);
  EXPECT_EQ(s.substr(s.size() > goodbye.size() ? s.size() - goodbye.size() : 0), goodbye);
}

// The server dies under open ports: nothing of its life is closed (libjack would crash), the
// ports are gone, and a server and controller that come back are heard again.
TEST_F(JackMidi, AServerThatDiesAndComesBack) {
  ASSERT_NO_FATAL_FAILURE(start_listening_to_a_plain_pad());
  jack_tool_stop(pad);
  pad = nullptr;
  ASSERT_TRUE(jack_server_kill_hard(jack));
  EXPECT_TRUE(poll_until(5, nullptr, [&] { return inputs() == 0; }));
  ASSERT_TRUE(jack_server_restart(jack));
  start_pad(false);
  EXPECT_TRUE(poll_until(8, nullptr, [&] { return inputs() == 1; }));
  std::vector<Action> seen;
  say("note 36 100");
  EXPECT_TRUE(poll_until(5, &seen, [&] { return has_kind(seen, ACT_RECORD); }));
}
