// The Launch Control XL 3: which ports are its DAW ports, and the bytes it gets in DAW mode.
#include <gtest/gtest.h>

#include "control/midi_fake.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kGreeting[] = {{0xF0, 0x00, 0x20, 0x29, 0x02, 0x15, 0x02, 0x7F, 0xF7},
                           {0xB6, 0x48, 0x7F},
                           {0xB6, 0x49, 0x7F}};
const Bytes kPrelude = {0xF0, 0x00, 0x20, 0x29, 0x02, 0x15, 0x04, 0x35, 0x01, 0xF7};

Bytes light(int cc, int r, int g, int b) {
  return {0xF0, 0x00, 0x20, 0x29, 0x02, 0x15, 0x01, (uint8_t)cc, (uint8_t)r, (uint8_t)g, (uint8_t)b, 0xF7};
}

Bytes display(const std::string& a, const std::string& b) {
  Bytes m = {0xF0, 0x00, 0x20, 0x29, 0x02, 0x15, 0x06, 0x35, 0x00};
  m.insert(m.end(), a.begin(), a.end());
  m.push_back(0x00);
  m.push_back(0x01);
  m.insert(m.end(), b.begin(), b.end());
  m.push_back(0xF7);
  return m;
}

struct Lcxl {
  FakeMidi fake;
  MidiState* m = nullptr;
  ActionList out{};
  MidiSnapshot snap{0, 0, 30.0, 60.0, false, 0, 0};
  double now = 50.0;
  Lcxl() {
    fake.ins = {"Launch Control XL 3:LCXL3 MIDI 28:0", "Launch Control XL 3:LCXL3 DAW 28:1"};
    fake.outs = {"Launch Control XL 3:LCXL3 MIDI 28:0", "Launch Control XL 3:LCXL3 DAW 28:1"};
  }
  void start() { m = midi_new(fake_midi_backend(&fake), true, now); }
  ~Lcxl() { midi_free(m); }
  int poll(double dt = 0.016) {
    now += dt;
    out.count = 0;
    return midi_poll(m, now, &snap, &out);
  }
};

}  // namespace

TEST(MidiLcxl, DawPortsByName) {
  const struct {
    std::vector<const char*> names;
    bool output;
    int pick;
  } cases[] = {
      // Names as the reference driver gives them: MIDIIN2 / MIDIOUT2, the last output wins.
      {{"LCXL3 1 MIDIIN", "LCXL3 1 MIDIIN2"}, false, 1},
      {{"MIDIIN2 (LCXL3 1)", "LCXL3 1 MIDIIN"}, false, 0},
      {{"LCXL3 1 MIDIOUT2", "Launch Control XL 3 MIDIOUT2"}, true, 1},
      {{"LCXL3 1 MIDIOUT2", "LCXL3 1 MIDIIN2"}, true, 0},
      {{"Keys MIDIIN2"}, false, -1},  // not a Launch Control
      // ALSA: one client, several ports; the second is the DAW port...
      {{"Launch Control XL 3:Launch Control XL 3 MIDI 1 28:0",
        "Launch Control XL 3:Launch Control XL 3 MIDI 2 28:1"}, false, 1},
      {{"Midi Through:Port-0 14:0", "LCXL3:LCXL3 A 24:0", "LCXL3:LCXL3 B 24:1"}, true, 2},
      {{"LCXL3:LCXL3 MIDI 28:0", "LCXL3:LCXL3 MIDI 2 28:1"}, false, 1},
      {{"LCXL3:LCXL3 MIDI 2 28:0", "LCXL3:LCXL3 MIDI 1 28:1"}, false, 0},
      // ...unless a port says DAW.
      {{"LCXL3:LCXL3 DAW In 24:0", "LCXL3:LCXL3 MIDI In 24:1"}, false, 0},
      {{"LCXL3:LCXL3 Main 24:0", "LCXL3:LCXL3 Other 24:1", "LCXL3:LCXL3 DAW 24:2"}, false, 2},
      // A lone port of a client is no DAW port; another client's second port is not ours.
      {{"LCXL3:LCXL3 only 24:0"}, false, -1},
      {{"Keys:Keys 1 20:0", "Keys:Keys 2 20:1"}, false, -1},
      // JACK names: client:port with no numbers.
      {{"lcxl3:midi_out_1", "lcxl3:midi_out_2"}, false, -1},
      {{"LCXL3:midi_out_1", "LCXL3:midi_out_2"}, false, 1},
      // Two controllers: the first input, the last output.
      {{"LCXL3 A:p 24:0", "LCXL3 A:p 24:1", "LCXL3 B:p 25:0", "LCXL3 B:p 25:1"}, false, 1},
      {{"LCXL3 A:p 24:0", "LCXL3 A:p 24:1", "LCXL3 B:p 25:0", "LCXL3 B:p 25:1"}, true, 3},
      {{}, false, -1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(midi_lcxl_pick(c.names.data(), (int)c.names.size(), c.output), c.pick)
        << (c.names.empty() ? "" : c.names[0]);
}

TEST(MidiLcxl, GreetingLightsAndDisplayThenOnlyChanges) {
  Lcxl x;
  int64_t mark = log_console_count();
  x.start();
  EXPECT_TRUE(logged(mark, "midi: LCXL3 DAW mode on (out 'Launch Control XL 3:LCXL3 DAW 28:1')"));
  MidiFeedback f{};
  f.playing = true;
  f.scene = 2;
  f.title = "Tide";
  midi_set_feedback(x.m, &f);
  x.poll();
  std::vector<Bytes> want(std::begin(kGreeting), std::end(kGreeting));
  uint8_t rgb[MIDI_BUTTONS][3];
  midi_lcxl_colours(&f, rgb);
  for (int b = 0; b < MIDI_BUTTONS; b++) want.push_back(light(37 + b, rgb[b][0], rgb[b][1], rgb[b][2]));
  want.push_back(kPrelude);
  want.push_back(display("Kelp NOVA", "Tide"));
  EXPECT_EQ(x.fake.sent, want);
  EXPECT_EQ(x.fake.sent[3], light(37, 0, 100, 10));   // playing
  EXPECT_EQ(x.fake.sent[4], light(38, 30, 5, 0));     // not recording
  EXPECT_EQ(x.fake.sent[12], light(46, 5, 5, 8));     // scene 2 off
  EXPECT_EQ(x.fake.sent[13], light(47, 0, 70, 100));  // scene 3 on
  x.poll();
  EXPECT_EQ(x.fake.sent.size(), 21u);  // nothing changed, nothing sent
  f.recording = true;
  f.title = "Tide\t2 · café 日本 and a long tail";  // 23 characters, one each
  midi_set_feedback(x.m, &f);
  x.poll();
  ASSERT_EQ(x.fake.sent.size(), 24u);
  EXPECT_EQ(x.fake.sent[21], light(38, 120, 10, 0));
  EXPECT_EQ(x.fake.sent[22], kPrelude);
  EXPECT_EQ(x.fake.sent[23], display("Kelp NOVA", "Tide 2 ? caf? ?? and a "));
}

TEST(MidiLcxl, DawLayoutToActions) {
  const struct {
    Bytes msg;
    int32_t kind;
    int32_t value;
    float x, y;
  } cases[] = {
      {{0xB0, 116, 127}, ACT_PLAY_PAUSE, ACTION_FROM_MIDI, 0, 0},
      {{0xB0, 37, 127}, ACT_PLAY_PAUSE, ACTION_FROM_MIDI, 0, 0},
      {{0xB0, 38, 127}, ACT_RECORD, ACTION_FROM_MIDI, 0, 0},
      {{0xB0, 40, 127}, ACT_MONITOR_TOGGLE, ACTION_FROM_MIDI, 0, 0},
      {{0xB0, 41, 127}, ACT_CLEAR_ASK, ACTION_FROM_MIDI, 0, 0},
      {{0xB0, 42, 127}, ACT_LOOP_IN, ACTION_FROM_MIDI, 0, 0},
      {{0xB0, 44, 127}, ACT_LOOP, ACTION_FROM_MIDI, 0, 0},
      {{0xB0, 48, 127}, ACT_RIG_SCENE, 3, 0, 0},
      {{0xB0, 51, 127}, ACT_RIG, ACTION_FROM_MIDI, 0, 0},
      {{0xB0, 52, 127}, ACT_SETTINGS, -1, 0, 0},
      {{0xBF, 13, 64}, ACT_XY, 0, 0, 0},  // knob 1 centred is 0, not 0.0079
      {{0xBF, 5, 127}, ACT_XY, 0, 0, 1},
      // Knob 8 covers the recorded 30 s of a 60-s span.
      {{0xBF, 20, 127}, ACT_STRIP_SCRUB, 0, 0.5f, 0},
      // Encoders: 0.5% of the tape per step from the ends when no loop is set.
      {{0xBF, 92, 66}, ACT_STRIP_FLAG, 1, 0.3f, 0},
      {{0xBF, 100, 60}, ACT_STRIP_FLAG, 2, 29.4f, 0},
      {{0xBF, 92, 64}, ACT_NONE, 0, 0, 0},
      {{0xB0, 45, 10}, ACT_NONE, 0, 0, 0},  // below 64: no press
      {{0x90, 36, 100}, ACT_NONE, 0, 0, 0},  // notes mean nothing in DAW mode
  };
  for (const auto& c : cases) {
    Lcxl x;
    x.start();
    x.poll();
    fake_midi_in(&x.fake, 1, c.msg);
    x.poll();
    if (c.kind == ACT_NONE) {
      EXPECT_EQ(x.out.count, 0) << (int)c.msg[1];
      continue;
    }
    ASSERT_EQ(x.out.count, 1) << (int)c.msg[1];
    EXPECT_EQ(x.out.items[0].kind, c.kind) << (int)c.msg[1];
    EXPECT_EQ(x.out.items[0].value, c.value) << (int)c.msg[1];
    EXPECT_NEAR(x.out.items[0].x, c.x, 1e-4) << (int)c.msg[1];
    EXPECT_NEAR(x.out.items[0].y, c.y, 1e-4) << (int)c.msg[1];
  }
}

TEST(MidiLcxl, EncoderStepsSumFromTheLoopAndScrubLands) {
  Lcxl x;
  x.snap.loop_set = true;
  x.snap.loop_in = 10;
  x.snap.loop_out = 20;
  x.start();
  x.poll();
  for (int i = 0; i < 3; i++) fake_midi_in(&x.fake, 1, {0xBF, 92, 65});
  fake_midi_in(&x.fake, 1, {0xBF, 100, 63});
  fake_midi_in(&x.fake, 1, {0xBF, 20, 0});
  fake_midi_in(&x.fake, 1, {0xBF, 20, 64});
  x.poll();
  ASSERT_EQ(x.out.count, 3);
  EXPECT_EQ(x.out.items[0].kind, ACT_STRIP_SCRUB);
  EXPECT_NEAR(x.out.items[0].x, 64.0 / 127 * 0.5, 1e-5);
  EXPECT_EQ(x.out.items[1].kind, ACT_STRIP_FLAG);
  EXPECT_NEAR(x.out.items[1].x, 10 + 3 * 0.005 * 30, 1e-4);
  EXPECT_NEAR(x.out.items[2].x, 20 - 0.005 * 30, 1e-4);
  x.poll(0.6);
  ASSERT_EQ(x.out.count, 1);
  EXPECT_EQ(x.out.items[0].kind, ACT_STRIP_SCRUB);
  EXPECT_EQ(x.out.items[0].value, 1);
}

TEST(MidiLcxl, BusyDawPortKeepsTheDefaultMapUntilFreed) {
  Lcxl x;
  x.fake.out_error = MIDI_ERROR_BUSY;
  int64_t mark = log_console_count();
  x.start();
  fake_midi_in(&x.fake, 0, {0x90, 36, 100});
  x.poll();
  ASSERT_EQ(x.out.count, 1);
  EXPECT_EQ(x.out.items[0].kind, ACT_RECORD);
  x.poll(2.0);
  x.poll(2.0);
  int busy = 0;
  for (const std::string& s : log_since(mark)) busy += s.find("is busy - another app has it (the default map") != std::string::npos;
  EXPECT_EQ(busy, 1);
  x.fake.out_error = 0;
  x.poll(2.0);
  MidiStatus st;
  midi_status(x.m, &st);
  EXPECT_TRUE(st.daw_on);
  EXPECT_STREQ(st.daw_out, "Launch Control XL 3:LCXL3 DAW 28:1");
}

TEST(MidiLcxl, AStuckSysExOrAFailedSendEndsDawMode) {
  for (int stuck = 0; stuck < 2; stuck++) {
    Lcxl x;
    x.start();
    if (stuck) x.fake.long_stuck = true;
    else x.fake.send_error = 9;
    int64_t mark = log_console_count();
    x.poll();
    if (stuck) {
      EXPECT_EQ(x.fake.sent.size(), 1u);  // one SysEx in flight, nothing after it
      x.poll(0.3);
      EXPECT_EQ(x.fake.sent.size(), 1u);
      x.poll(0.3);
      EXPECT_TRUE(logged(mark, "midi: LCXL3 DAW mode off - a message never finished (FAKE error 0)"));
    } else {
      EXPECT_TRUE(logged(mark, "midi: LCXL3 DAW mode off - a message couldn't be sent (FAKE error 9)"));
    }
    MidiStatus st;
    midi_status(x.m, &st);
    EXPECT_FALSE(st.daw_on);
    // Given up: the controller still plays through the generic map, and no new attempt is made.
    x.poll(2.1);
    midi_status(x.m, &st);
    EXPECT_FALSE(st.daw_on);
    fake_midi_in(&x.fake, 1, {0x90, 38, 100});
    x.poll();
    ASSERT_EQ(x.out.count, 1);
    EXPECT_EQ(x.out.items[0].kind, ACT_PLAY_PAUSE);
  }
}
