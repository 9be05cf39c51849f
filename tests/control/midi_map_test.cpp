// The generic map, the monitor text, coalescing and the input list, through a driver with no
// devices.
#include <gtest/gtest.h>

#include <cmath>

#include "control/midi_fake.h"

namespace {

struct Rig {
  FakeMidi fake;
  MidiState* m = nullptr;
  ActionList out{};
  MidiSnapshot snap{0.25f, -0.5f, 10.0, 20.0, false, 0, 0};
  double now = 100.0;

  explicit Rig(std::vector<std::string> ins = {"Keys:Keys MIDI 1 20:0"}) {
    fake.ins = std::move(ins);
    m = midi_new(fake_midi_backend(&fake), true, now);
  }
  ~Rig() { midi_free(m); }
  // One frame later; the list holds what it appended.
  int poll(double dt = 0.016) {
    now += dt;
    out.count = 0;
    return midi_poll(m, now, &snap, &out);
  }
};

}  // namespace

TEST(MidiMap, NotesAndProgramChangesToActions) {
  const struct {
    std::vector<uint8_t> msg;
    int32_t kind;  // ACT_NONE: no action
    const char* monitor;
  } cases[] = {
      {{0x90, 36, 1}, ACT_RECORD, "C1 on · ch1"},
      {{0x90, 36, 0}, ACT_NONE, "—"},  // note-off written as note-on
      {{0x80, 36, 64}, ACT_NONE, "—"},
      {{0x95, 38, 90}, ACT_PLAY_PAUSE, "D1 on · ch6"},
      {{0x90, 40, 90}, ACT_REWIND, "E1 on · ch1"},
      {{0x90, 41, 90}, ACT_LOOP, "F1 on · ch1"},
      {{0x90, 43, 90}, ACT_LOOP_IN, "G1 on · ch1"},
      {{0x90, 45, 90}, ACT_LOOP_OUT, "A1 on · ch1"},
      {{0x9F, 50, 90}, ACT_MONITOR_TOGGLE, "D2 on · ch16"},
      {{0x90, 37, 90}, ACT_NONE, "C#1 on · ch1"},  // a black key
      {{0x90, 60, 90}, ACT_NONE, "C3 on · ch1"},
      {{0xC2, 5}, ACT_NONE, "PROGRAM 5"},
      {{0xE0, 0, 64}, ACT_NONE, "—"},  // pitch bend: no text, no action
  };
  for (const auto& c : cases) {
    Rig r;
    fake_midi_in(&r.fake, 0, c.msg);
    r.poll();
    MidiStatus st;
    midi_status(r.m, &st);
    EXPECT_STREQ(st.last, c.monitor);
    EXPECT_GT(st.activity_until, r.now);  // every message lights the lamp
    if (c.kind == ACT_NONE) {
      EXPECT_EQ(r.out.count, 0) << c.monitor;
    } else {
      ASSERT_EQ(r.out.count, 1) << c.monitor;
      EXPECT_EQ(r.out.items[0].kind, c.kind);
      EXPECT_EQ(r.out.items[0].value, ACTION_FROM_MIDI);
    }
  }
}

TEST(MidiMap, StickMovesCoalesceAndSettle) {
  Rig r;
  // Three moves in one frame: one "xy" with the last position; y stays the session's.
  fake_midi_in(&r.fake, 0, {0xB0, 10, 0});
  fake_midi_in(&r.fake, 0, {0xB0, 10, 127});
  fake_midi_in(&r.fake, 0, {0xB3, 10, 64});
  r.poll();
  ASSERT_EQ(r.out.count, 1);
  EXPECT_EQ(r.out.items[0].kind, ACT_XY);
  EXPECT_EQ(r.out.items[0].value, 0);
  EXPECT_NEAR(r.out.items[0].x, 0.0079f, 1e-4);
  EXPECT_FLOAT_EQ(r.out.items[0].y, -0.5f);
  // The session still reports its old position while the move settles: ours is kept.
  r.snap.stick_x = -0.9f;
  fake_midi_in(&r.fake, 0, {0xB0, 74, 127});
  r.poll();
  ASSERT_EQ(r.out.count, 1);
  EXPECT_NEAR(r.out.items[0].x, 0.0079f, 1e-4);
  EXPECT_FLOAT_EQ(r.out.items[0].y, 1.0f);
  EXPECT_EQ(r.poll(0.3), 0);  // quiet, not yet 0.5 s
  ASSERT_EQ(r.poll(0.3), 1);  // settled: stored once
  EXPECT_EQ(r.out.items[0].kind, ACT_XY);
  EXPECT_EQ(r.out.items[0].value, 1);
  EXPECT_FLOAT_EQ(r.out.items[0].y, 1.0f);
  EXPECT_EQ(r.poll(1.0), 0);
}

TEST(MidiMap, CcButtonsPressOnlyOnTheUpwardCrossing) {
  Rig r;
  r.m->bindings[0] = {1, 20, 2};  // record on CC 20, channel 3 only
  const struct {
    uint8_t status, value;
    int records;
  } steps[] = {{0xB2, 127, 1}, {0xB2, 127, 0}, {0xB2, 70, 0}, {0xB2, 63, 0},
               {0xB2, 64, 1},  {0xB0, 0, 0},   {0xB0, 127, 0}, {0xB2, 200, 0}};
  for (const auto& s : steps) {
    fake_midi_in(&r.fake, 0, {s.status, 20, s.value});
    r.poll();
    EXPECT_EQ(r.out.count, s.records) << (int)s.status << " " << (int)s.value;
  }
}

TEST(MidiInputs, NamelessPortsAndMoreThan16) {
  Rig r({"", "Pads:Pads 1 24:0", ""});
  MidiStatus st;
  midi_status(r.m, &st);
  ASSERT_EQ(st.input_count, 3);
  EXPECT_STREQ(st.names[0], "MIDI IN 1");
  EXPECT_STREQ(st.names[2], "MIDI IN 3");
  int64_t mark = log_console_count();
  for (int i = 0; i < 20; i++) r.fake.ins.push_back("Port " + std::to_string(i));
  r.poll(1.0);
  midi_status(r.m, &st);
  EXPECT_EQ(st.input_count, 3);  // the next scan is 2 s after the last
  r.poll(1.1);
  midi_status(r.m, &st);
  EXPECT_EQ(st.input_count, MIDI_MAX_INPUTS);
  EXPECT_TRUE(logged(mark, "midi: 23 inputs - kelp listens to the first 16"));
}

TEST(MidiInputs, ABusyPortIsRetriedAndReportedOncePerError) {
  FakeMidi f;
  f.ins = {"Synth:Synth 1 30:0"};
  f.in_error = {MIDI_ERROR_BUSY};
  int64_t mark = log_console_count();
  MidiState* m = midi_new(fake_midi_backend(&f), true, 0);
  ActionList out{};
  for (int i = 1; i <= 3; i++) midi_poll(m, 2.0 * i, nullptr, &out);
  f.in_error = {7};
  midi_poll(m, 8.0, nullptr, &out);
  MidiStatus st;
  midi_status(m, &st);
  EXPECT_TRUE(st.busy[0]);
  f.in_error = {0};
  midi_poll(m, 10.0, nullptr, &out);
  midi_status(m, &st);
  EXPECT_FALSE(st.busy[0]);
  int busy = 0, other = 0, free_now = 0;
  for (const std::string& s : log_since(mark)) {
    busy += s.find("midi: Synth:Synth 1 30:0 is busy - another app has it open") != std::string::npos;
    other += s.find("(FAKE error 7) - kelp keeps trying") != std::string::npos;
    free_now += s.find("midi: Synth:Synth 1 30:0 is free now - listening") != std::string::npos;
  }
  EXPECT_EQ(busy, 1);
  EXPECT_EQ(other, 1);
  EXPECT_EQ(free_now, 1);
  midi_free(m);
}
