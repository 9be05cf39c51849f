// The engine on the scripted driver: opening with its fallbacks, commands, losses and recovery,
// hung driver calls and shutdown.
#include <cerrno>
#include <cmath>

#include "audio_harness.h"
#include "core/tape.h"
#include "support/log_capture.h"

namespace {

std::vector<int32_t> pop_events(Core* core) {
  std::vector<int32_t> kinds;
  CoreEvent ev;
  while (core_pop_event(core, &ev)) kinds.push_back(ev.kind);
  return kinds;
}

bool has(const std::vector<int32_t>& v, int32_t k) {
  for (int32_t x : v) {
    if (x == k) return true;
  }
  return false;
}

using EngineTest = FakeEngineTest;

// What a test leaves to a driver call that never returns stays reachable from here.
void* g_left_behind[4];

TEST_F(EngineTest, AutoRateOpensAt48kWithEveryInputAndPublishesTheBinding) {
  add_device("USB Interface", 8, 2, 44100, {44100, 48000});
  start_engine();
  AudioStatus s = open("", 256, 0);
  EXPECT_EQ(s.last_command_result, AUDIO_DONE);
  EXPECT_EQ(s.last_command_kind, AUDIO_OPEN);
  EXPECT_EQ(s.state, AUDIO_RUNNING);
  EXPECT_EQ(s.cause, AUDIO_CAUSE_NONE);
  EXPECT_DOUBLE_EQ(s.rate, 48000.0);
  EXPECT_EQ(s.inputs, 8);
  EXPECT_EQ(s.device_inputs, 8);
  EXPECT_EQ(s.frames, 256);
  EXPECT_TRUE(s.duplex);
  EXPECT_STREQ(s.device, "USB Interface [ALSA]");
  EXPECT_STREQ(s.host_api, "ALSA");
  EXPECT_STREQ(s.raw_name, "USB Interface");
  EXPECT_STREQ(s.wanted, "");
  EXPECT_STREQ(s.message, "");
  EXPECT_EQ(s.row_count, 1);
  EXPECT_EQ(s.row, 0);
  EXPECT_EQ(s.rows[0].inputs, 8);
  EXPECT_NEAR(s.input_latency_ms, 10.7, 0.01);

  StreamBinding b;
  EXPECT_EQ(audio_engine_binding(engine, &b), 1u);
  EXPECT_EQ(s.binding_generation, 1u);
  EXPECT_STREQ(b.api, "alsa");
  EXPECT_STREQ(b.device_name, "USB Interface");
  EXPECT_STREQ(b.key, "alsa:USB Interface");
  EXPECT_EQ(b.inputs, 8);
  EXPECT_EQ(b.device_inputs, 8);
  EXPECT_DOUBLE_EQ(b.rate, 48000.0);

  EXPECT_GE(log_find(log_from, "audio: open - device '(auto)'  256 frames  rate AUTO  shared"), 0);
  EXPECT_GE(log_find(log_from, "audio: opening USB Interface [ALSA]  (256 frames, 8 inputs)"), 0);
  EXPECT_GE(log_find(log_from, "audio: dev  0: USB Interface [ALSA]"), 0);
  EXPECT_GE(log_find(log_from,
                     "audio: RUNNING [ALSA] USB Interface [ALSA]  48000 Hz  256 frames  "
                     "in 8 of 8 ch  duplex  (in 10.7 ms, out 10.7 ms)"),
            0);
}

// The rig is bound under the rig lock only: a UI that holds it delays the binding (and the
// start) however long it takes, and the wait is logged once.
TEST_F(EngineTest, BindingWaitsForTheRigLockHoweverLongTheUiHoldsIt) {
  add_device("USB Interface", 8, 2, 48000);
  start_engine();
  audio_engine_lock_rig(engine);
  AudioEngineConfig cfg = audio_config("", 256, 0);
  uint32_t id = audio_engine_open(engine, &cfg);
  ASSERT_NE(id, 0u);
  platform_sleep_ms(600);  // well past the old 250 ms give-up
  AudioStatus s;
  audio_engine_status(engine, &s);
  EXPECT_NE(s.last_command_id, id);
  EXPECT_NE(s.state, AUDIO_RUNNING);
  EXPECT_EQ(audio_engine_binding_generation(engine), 0u);
  audio_engine_unlock_rig(engine);
  ASSERT_TRUE(audio_wait_command(engine, id, 5000, &s));
  EXPECT_EQ(s.state, AUDIO_RUNNING);
  EXPECT_EQ(audio_engine_binding_generation(engine), 1u);
  EXPECT_EQ(log_count(log_from, "audio: the UI held the rig for "), 1);
}

TEST_F(EngineTest, RatesFallBackToTheDeviceDefaultAndReportARefusedFixedRate) {
  add_device("Old Card", 2, 2, 44100, {44100});
  start_engine();
  AudioStatus s = open("", 256, 0);
  EXPECT_EQ(s.state, AUDIO_RUNNING);
  EXPECT_DOUBLE_EQ(s.rate, 44100.0);
  EXPECT_STREQ(s.message, "");
  EXPECT_GE(log_find(log_from, "audio:   refused - duplex at 48000 Hz: Invalid sample rate"), 0);

  // A fixed rate the device refuses: another rate of the list, and a message saying so.
  int64_t from = log_console_count();
  s = run(audio_command(AUDIO_CLOSE, 0));
  EXPECT_EQ(s.state, AUDIO_CLOSED);
  s = open("", 256, 96000);
  EXPECT_EQ(s.state, AUDIO_RUNNING);
  EXPECT_DOUBLE_EQ(s.rate, 44100.0);
  EXPECT_EQ(s.cause, AUDIO_CAUSE_NONE);
  EXPECT_STREQ(s.message, "96000 Hz refused - running 44100 Hz");
  EXPECT_GE(log_find(from, "audio: 96000 Hz refused - running 44100 Hz"), 0);
  EXPECT_GE(log_find(from, "audio: open - device '(auto)'  256 frames  rate fixed  shared"), 0);
}

TEST_F(EngineTest, RefusedInputCountRetriesWithTwoInputs) {
  FakeAudioDevice d;
  memset(&d, 0, sizeof d);
  d.name = "Eight In";
  d.host_api = alsa;
  d.max_inputs = 8;
  d.max_outputs = 2;
  d.default_rate = 48000;
  d.max_open_inputs = 2;
  d.present = true;
  fake_audio_add_device(fake, &d);
  start_engine();
  AudioStatus s = open("");
  EXPECT_EQ(s.state, AUDIO_RUNNING);
  EXPECT_EQ(s.inputs, 2);
  EXPECT_EQ(s.device_inputs, 8);
  EXPECT_GE(log_find(log_from, "audio: 8 inputs refused - opening 2 instead"), 0);
  EXPECT_GE(log_find(log_from, "in 2 of 8 ch"), 0);
  StreamBinding b;
  audio_engine_binding(engine, &b);
  EXPECT_EQ(b.inputs, 2);
  EXPECT_EQ(b.device_inputs, 8);
}

TEST_F(EngineTest, DeviceWithoutOutputRunsInputOnly) {
  add_device("Mic", 1, 0, 48000);
  start_engine();
  AudioStatus s = open("");
  EXPECT_EQ(s.state, AUDIO_RUNNING);
  EXPECT_FALSE(s.duplex);
  EXPECT_EQ(s.output_latency_ms, 0.0);
  EXPECT_STREQ(s.message, "no output - input only");
  EXPECT_GE(log_find(log_from, "in 1 of 1 ch  INPUT ONLY (no output)  (in 10.7 ms, out 0.0 ms)"),
            0);
  EXPECT_GE(log_find(log_from, "audio: no output - input only"), 0);
}

TEST_F(EngineTest, NoDeviceAndNoPortAudioAreReported) {
  fake_audio_fail_initialize(fake, paInternalError);
  start_engine();
  AudioStatus s = open("");
  EXPECT_EQ(s.last_command_result, AUDIO_FAILED);
  EXPECT_EQ(s.state, AUDIO_RECOVERING);
  EXPECT_EQ(s.cause, AUDIO_CAUSE_NO_DEVICE);
  EXPECT_STREQ(s.message, "PortAudio would not start: Internal PortAudio error");
  EXPECT_GE(log_find(log_from, "audio: PortAudio would not start: Internal PortAudio error"), 0);

  // PortAudio starts but lists nothing.
  fake_audio_fail_initialize(fake, paNoError);
  int64_t from = log_console_count();
  s = run(audio_command(AUDIO_RETRY, 0));
  EXPECT_EQ(s.last_command_result, AUDIO_FAILED);
  EXPECT_EQ(s.cause, AUDIO_CAUSE_NO_DEVICE);
  EXPECT_STREQ(s.message, "no input device - plug one in");
  EXPECT_GE(log_find(from, "audio: RETRY"), 0);
  EXPECT_GE(log_find(from, "audio: no input devices"), 0);
}

TEST_F(EngineTest, AnEmptyListIsLookedAtAgainWithoutAHardwareChange) {
  // A sound server that was slow to answer when PortAudio started: nothing listed, and the device
  // counts never change when it does answer. Recovery must still find it.
  start_engine();
  AudioStatus s = open("");
  EXPECT_EQ(s.cause, AUDIO_CAUSE_NO_DEVICE);
  int64_t from = log_console_count();
  add_device("Late Server", 2, 2, 48000);
  ASSERT_TRUE(audio_wait_state(engine, AUDIO_RUNNING, 20000, &s));
  EXPECT_STREQ(s.device, "Late Server [ALSA]");
  EXPECT_GE(log_find(from, "audio: back after "), 0);
}

TEST_F(EngineTest, BusyWantedDeviceFallsBackAndReturnsWhenFree) {
  int studio = add_device("Studio", 2, 2, 48000);
  add_device("Laptop Mic", 2, 0, 48000);
  fake_audio_set_open_error(fake, studio, paUnanticipatedHostError, -EBUSY);
  start_engine();
  AudioStatus s = open("studio");
  EXPECT_EQ(s.state, AUDIO_RUNNING);
  EXPECT_STREQ(s.device, "Laptop Mic [ALSA]");
  EXPECT_STREQ(s.wanted, "Studio [ALSA]");
  EXPECT_EQ(s.cause, AUDIO_CAUSE_IN_USE);
  EXPECT_STREQ(s.message, "'Studio [ALSA]' would not open - listening on 'Laptop Mic [ALSA]'");
  EXPECT_GE(log_find(log_from,
                     "audio:   refused - duplex at 48000 Hz: Unanticipated host error "
                     "(host 0xFFFFFFF0)"),
            0);
  EXPECT_GE(log_find(log_from,
                     "audio: 'Studio [ALSA]' would not open - listening on 'Laptop Mic "
                     "[ALSA]' instead"),
            0);

  // Freed: the next check (every 3 s while the core is idle) goes back to it.
  fake_audio_set_open_error(fake, studio, paNoError, 0);
  int64_t from = log_console_count();
  ASSERT_TRUE(audio_wait(
      engine,
      [](const AudioStatus& st) {
        return st.state == AUDIO_RUNNING && strcmp(st.device, "Studio [ALSA]") == 0;
      },
      5000, &s));
  EXPECT_EQ(s.cause, AUDIO_CAUSE_NONE);
  EXPECT_STREQ(s.wanted, "");
  EXPECT_STREQ(s.message, "");
  EXPECT_GE(log_find(from, "audio: 'Studio [ALSA]' is free again - going back to it"), 0);
  StreamBinding b;
  EXPECT_EQ(audio_engine_binding(engine, &b), 2u);
  EXPECT_STREQ(b.key, "alsa:Studio");
}

TEST_F(EngineTest, AWholeNameMatchBeatsABetterDeviceThatContainsIt) {
  add_device("USB Mic", 2, 0, 48000);  // the default input: the highest priority
  add_device("Mic", 2, 0, 48000);
  start_engine();
  AudioStatus s = open("mic [alsa]");
  EXPECT_EQ(s.state, AUDIO_RUNNING);
  EXPECT_STREQ(s.device, "Mic [ALSA]");
  EXPECT_STREQ(s.wanted, "");
  // Only part of a name: the device of highest priority among those containing it.
  s = run(audio_command(AUDIO_CLOSE, 0));
  s = open("MIC");
  EXPECT_STREQ(s.device, "USB Mic [ALSA]");
  EXPECT_EQ(s.cause, AUDIO_CAUSE_NONE);
}

TEST_F(EngineTest, FallbackPrefersTheDefaultHostApi) {
  int oss = fake_audio_add_host_api(fake, "OSS", paOSS);
  int busy = add_device("Default In", 2, 2, 48000);  // 25
  add_device("Other API", 2, 2, 48000, {}, oss);     // 10, listed first
  add_device("Same API", 2, 0, 48000);               // 20
  fake_audio_set_open_error(fake, busy, paUnanticipatedHostError, -EBUSY);
  start_engine();
  AudioStatus s = open("");
  EXPECT_EQ(s.state, AUDIO_RUNNING);
  EXPECT_STREQ(s.device, "Same API [ALSA]");
  EXPECT_STREQ(s.wanted, "Default In [ALSA]");
  EXPECT_EQ(s.cause, AUDIO_CAUSE_IN_USE);
  EXPECT_EQ(log_find(log_from, "audio: opening Other API"), -1);
}

TEST_F(EngineTest, CloseOnAFallbackDeviceShowsNoWantedDevice) {
  int studio = add_device("Studio", 2, 2, 48000);
  add_device("Laptop Mic", 2, 0, 48000);
  fake_audio_set_open_error(fake, studio, paUnanticipatedHostError, -EBUSY);
  start_engine();
  AudioStatus s = open("Studio");
  ASSERT_STREQ(s.wanted, "Studio [ALSA]");
  EXPECT_EQ(s.row, 1);
  s = run(audio_command(AUDIO_CLOSE, 0));
  EXPECT_EQ(s.state, AUDIO_CLOSED);
  EXPECT_EQ(s.cause, AUDIO_CAUSE_NONE);
  EXPECT_STREQ(s.wanted, "");
  EXPECT_STREQ(s.message, "");
  EXPECT_EQ(s.row, 0);  // not running: the row of the wanted device
  EXPECT_EQ(s.attempt, 0);
}

TEST_F(EngineTest, RefusedChangesPutTheRunningSetupBack) {
  FakeAudioDevice d;
  memset(&d, 0, sizeof d);
  d.name = "USB Interface";
  d.host_api = alsa;
  d.max_inputs = 4;
  d.max_outputs = 2;
  d.default_rate = 48000;
  d.rates[0] = 48000;
  d.rate_count = 1;
  d.max_frames = 1024;
  d.present = true;
  fake_audio_add_device(fake, &d);
  add_device("Second", 2, 0, 48000);
  start_engine();
  ASSERT_EQ(open("USB").state, AUDIO_RUNNING);

  int64_t from = log_console_count();
  AudioStatus s = run(audio_command(AUDIO_SET_RATE, 44100));
  EXPECT_EQ(s.last_command_result, AUDIO_REFUSED);
  EXPECT_EQ(s.state, AUDIO_RUNNING);
  EXPECT_DOUBLE_EQ(s.rate, 48000.0);
  EXPECT_EQ(s.cause, AUDIO_CAUSE_RATE_REFUSED);
  EXPECT_STREQ(s.message, "44100 Hz refused - kept 48000 Hz");
  EXPECT_GE(log_find(from, "audio: rate 48000 -> fixed"), 0);
  EXPECT_GE(log_find(from,
                     "audio: refused (input only at 44100 Hz: Invalid sample rate) - "
                     "putting back USB Interface [ALSA]"),
            0);

  // The next command clears the refusal first.
  s = run(audio_command(AUDIO_DRIVER_PANEL, 0));
  EXPECT_EQ(s.last_command_result, AUDIO_REFUSED);
  EXPECT_EQ(s.cause, AUDIO_CAUSE_NONE);
  EXPECT_STREQ(s.message, "the driver panel is for ASIO devices only");
  EXPECT_GE(log_find(from, "audio: driver panel asked for - this build has no ASIO"), 0);

  from = log_console_count();
  s = run(audio_command(AUDIO_SET_BUFFER, 2048));
  EXPECT_EQ(s.last_command_result, AUDIO_REFUSED);
  EXPECT_EQ(s.frames, 256);
  EXPECT_EQ(s.cause, AUDIO_CAUSE_BUFFER_REFUSED);
  EXPECT_STREQ(s.message, "buffer 2048 refused - kept 256");
  EXPECT_GE(log_find(from, "audio: buffer 256 -> 2048 frames"), 0);

  s = run(audio_command(AUDIO_SET_BUFFER, 512));
  EXPECT_EQ(s.last_command_result, AUDIO_DONE);
  EXPECT_EQ(s.frames, 512);
  EXPECT_EQ(s.cause, AUDIO_CAUSE_NONE);

  // Switching devices, and a row that is not there.
  from = log_console_count();
  s = run(audio_command(AUDIO_SET_DEVICE, 1));
  EXPECT_EQ(s.last_command_result, AUDIO_DONE);
  EXPECT_STREQ(s.device, "Second [ALSA]");
  EXPECT_EQ(s.cause, AUDIO_CAUSE_NONE);
  EXPECT_GE(log_find(from, "audio: switching to Second [ALSA]"), 0);
  s = run(audio_command(AUDIO_SET_DEVICE, 7));
  EXPECT_EQ(s.last_command_result, AUDIO_REFUSED);
  EXPECT_STREQ(s.message, "that device is gone - rescan");
  EXPECT_STREQ(s.device, "Second [ALSA]");

  // A switch the target refuses puts the running device back, as the wanted one too.
  fake_audio_set_open_error(fake, 0, paDeviceUnavailable, 0);
  from = log_console_count();
  s = run(audio_command(AUDIO_SET_DEVICE, 0));
  EXPECT_EQ(s.last_command_result, AUDIO_REFUSED);
  EXPECT_EQ(s.state, AUDIO_RUNNING);
  EXPECT_STREQ(s.device, "Second [ALSA]");
  EXPECT_STREQ(s.wanted, "");
  EXPECT_EQ(s.cause, AUDIO_CAUSE_NONE);
  EXPECT_STREQ(s.message, "'USB Interface [ALSA]' would not open - kept 'Second [ALSA]'");
  EXPECT_GE(log_find(from, "- putting back Second [ALSA]"), 0);
}

TEST_F(EngineTest, QueuedCommandsCollapseAndTheRingHoldsSixteen) {
  add_device("USB Interface", 2, 2, 48000);
  start_engine();
  ASSERT_EQ(open("").state, AUDIO_RUNNING);

  // Keep the control thread inside a device listing while commands pile up.
  fake_audio_hang(fake, FAKE_LIST, true);
  int lists = fake_audio_calls(fake, FAKE_LIST);
  AudioCommand list = audio_command(AUDIO_LIST_DEVICES, 0);
  ASSERT_NE(audio_engine_post(engine, &list), 0u);
  for (int i = 0; i < 500 && fake_audio_calls(fake, FAKE_LIST) == lists; i++) platform_sleep_ms(2);
  ASSERT_GT(fake_audio_calls(fake, FAKE_LIST), lists);

  int64_t from = log_console_count();
  AudioCommand b1 = audio_command(AUDIO_SET_BUFFER, 512);
  AudioCommand b2 = audio_command(AUDIO_SET_BUFFER, 768);
  AudioCommand b3 = audio_command(AUDIO_SET_BUFFER, 1024);
  uint32_t id1 = audio_engine_post(engine, &b1);
  uint32_t id2 = audio_engine_post(engine, &b2);
  uint32_t id3 = audio_engine_post(engine, &b3);
  EXPECT_EQ(id2, id1 + 1);
  EXPECT_EQ(id3, id2 + 1);
  AudioCommand retry = audio_command(AUDIO_RETRY, 0);
  for (int i = 3; i < AUDIO_COMMANDS_WAITING; i++) {
    EXPECT_NE(audio_engine_post(engine, &retry), 0u) << "command " << i + 1;
  }
  EXPECT_EQ(audio_engine_post(engine, &retry), 0u);  // the seventeenth

  fake_audio_hang(fake, FAKE_LIST, false);
  AudioStatus s;
  ASSERT_TRUE(audio_wait_command(engine, id3 + 13, 5000, &s));
  EXPECT_EQ(log_count(from, "audio: buffer "), 1);
  EXPECT_GE(log_find(from, "audio: buffer 256 -> 1024 frames"), 0);
  EXPECT_EQ(s.frames, 1024);
  EXPECT_EQ(s.last_command_kind, AUDIO_RETRY);
  EXPECT_EQ(s.last_command_result, AUDIO_DONE);
  EXPECT_EQ(log_count(from, "audio: RETRY"), 0);  // running: nothing to retry
}

TEST_F(EngineTest, LossRetriesOnTheScheduleThenFallsBackAndReturns) {
  int usb = add_device("USB Interface", 2, 2, 48000);
  add_device("Backup Mic", 2, 0, 48000);
  start_engine();
  ASSERT_EQ(open("").state, AUDIO_RUNNING);

  // A take in progress when the stream is lost must end.
  Tape* main_tape = tape_new(48000, 1.0, 0);
  Tape* capture = tape_new(48000, 1.0, 0);
  ASSERT_TRUE(main_tape && capture);
  ASSERT_EQ(tape_ensure(main_tape, 48000), 0);
  ASSERT_EQ(tape_ensure(capture, 48000), 0);
  CoreCommand attach{};
  attach.kind = CMD_ATTACH;
  attach.tape = main_tape;
  attach.tape2 = capture;
  ASSERT_TRUE(core_push_command(core, &attach));
  CoreCommand rec{};
  rec.kind = CMD_RECORD;
  rec.b = 7;
  ASSERT_TRUE(core_push_command(core, &rec));
  std::vector<int32_t> ev;
  for (int i = 0; i < 200 && !has(ev, EV_TAKE_STARTED); i++) {
    platform_sleep_ms(5);
    std::vector<int32_t> more = pop_events(core);
    ev.insert(ev.end(), more.begin(), more.end());
  }
  ASSERT_TRUE(has(ev, EV_TAKE_STARTED));

  // From here the test moves the clock: every deadline below comes exactly when it says.
  int64_t from = log_console_count();
  fake_audio_clock_hold(fake);
  settle();
  fake_audio_set_present(fake, usb, false);
  fake_audio_stall_streams(fake);
  settle();
  AudioStatus s;
  audio_engine_status(engine, &s);
  ASSERT_EQ(s.state, AUDIO_RUNNING);
  const uint64_t stalled = clock();
  clock_to(stalled + 299);
  audio_engine_status(engine, &s);
  EXPECT_EQ(s.state, AUDIO_RUNNING) << "lost before 300 ms without callbacks";
  clock_to(stalled + 300);
  ASSERT_TRUE(audio_wait_state(engine, AUDIO_RECOVERING, 2000, &s));
  EXPECT_GE(log_find(from, "audio: LOST USB Interface [ALSA] - no audio callbacks for 300 ms"), 0);
  ev.clear();
  for (int i = 0; i < 200 && !has(ev, EV_TAIL_DONE); i++) {
    platform_sleep_ms(5);
    std::vector<int32_t> more = pop_events(core);
    ev.insert(ev.end(), more.begin(), more.end());
  }
  EXPECT_TRUE(has(ev, EV_TAKE_ENDED));
  EXPECT_TRUE(has(ev, EV_TAIL_DONE));

  // Attempts 1 to 5 try the wanted device alone: 300 ms after the loss, then 600, 900, 1200
  // and 1500 ms after each failure; the fifth failure is DOWN. None comes a millisecond early.
  uint64_t due = stalled + 300;
  const uint64_t gaps[] = {300, 600, 900, 1200, 1500};
  for (int k = 1; k <= 5; k++) {
    due += gaps[k - 1];
    clock_to(due - 1);
    audio_engine_status(engine, &s);
    EXPECT_EQ(s.attempt, k - 1) << "attempt " << k << " came early";
    clock_to(due);
    ASSERT_TRUE(audio_wait(
        engine, [k](const AudioStatus& st) { return st.attempt == k; }, 2000, &s))
        << "attempt " << k;
    settle();
  }
  ASSERT_TRUE(audio_wait_state(engine, AUDIO_DOWN, 1000, &s));
  EXPECT_EQ(s.cause, AUDIO_CAUSE_OTHER);
  EXPECT_EQ(s.attempt, 5);
  EXPECT_STREQ(s.message, "'USB Interface [ALSA]' isn't connected");
  EXPECT_GE(log_find(from, "audio: attempt 4 failed - 'USB Interface [ALSA]' isn't connected"), 0);
  EXPECT_EQ(log_count(from, "audio: DOWN - "), 1);

  // The sixth attempt, 2 s later, may use another device.
  clock_to(due + 1999);
  audio_engine_status(engine, &s);
  EXPECT_EQ(s.state, AUDIO_DOWN);
  clock_to(due + 2000);
  ASSERT_TRUE(audio_wait_state(engine, AUDIO_RUNNING, 2000, &s));
  EXPECT_GE(log_find(from, "audio: back after 6 attempts"), 0);
  EXPECT_STREQ(s.device, "Backup Mic [ALSA]");
  EXPECT_STREQ(s.wanted, "USB Interface [ALSA]");
  EXPECT_EQ(s.cause, AUDIO_CAUSE_OTHER);
  EXPECT_STREQ(s.message,
               "'USB Interface [ALSA]' would not open - listening on 'Backup Mic [ALSA]'");

  // The wanted device comes back with the hardware change that announces it.
  from = log_console_count();
  fake_audio_set_present(fake, usb, true);
  fake_audio_set_counts(fake, (1u << 16) | 1u);
  clock_to(clock() + 1000);  // the next poll
  ASSERT_TRUE(audio_wait(
      engine,
      [](const AudioStatus& st) {
        return st.state == AUDIO_RUNNING && strcmp(st.device, "USB Interface [ALSA]") == 0;
      },
      3000, &s));
  EXPECT_GE(log_find(from, "audio: hardware changed (1 inputs, 1 outputs)"), 0);
  EXPECT_GE(log_find(from, "audio: rescanning devices (hardware changed)"), 0);
  EXPECT_EQ(s.cause, AUDIO_CAUSE_NONE);
  EXPECT_STREQ(s.message, "");
}

TEST_F(EngineTest, FinishedStreamIsLostAndReopened) {
  add_device("USB Interface", 2, 2, 48000);
  start_engine();
  ASSERT_EQ(open("").state, AUDIO_RUNNING);
  int64_t from = log_console_count();
  fake_audio_finish_streams(fake);
  ASSERT_GE(log_wait(from, "audio: LOST USB Interface [ALSA] - the stream stopped", 1000), 0);
  ASSERT_GE(log_wait(from, "audio: back after 1 attempt", 2000), 0);
  AudioStatus s;
  ASSERT_TRUE(audio_wait_state(engine, AUDIO_RUNNING, 1000, &s));
  EXPECT_EQ(audio_engine_binding_generation(engine), 2u);
}

TEST_F(EngineTest, StreamThatNeverDeliversAudioIsLostAfterItsGrace) {
  add_device("USB Interface", 2, 2, 48000);
  fake_audio_set_stream_mode(fake, FAKE_STREAM_SILENT);
  fake_audio_clock_hold(fake);
  const uint64_t started = clock();
  start_engine();
  ASSERT_EQ(open("").state, AUDIO_RUNNING);
  clock_to(started + 1499);
  AudioStatus s;
  audio_engine_status(engine, &s);
  EXPECT_EQ(s.state, AUDIO_RUNNING) << "lost before its 1.5 s grace";
  clock_to(started + 1500);
  ASSERT_TRUE(audio_wait_state(engine, AUDIO_RECOVERING, 2000, &s));
  EXPECT_GE(
      log_find(log_from, "audio: LOST USB Interface [ALSA] - the device never delivered audio"),
      0);
}

TEST_F(EngineTest, HostStateErrorsAreLossesWithTheirCause) {
  int wasapi = fake_audio_add_host_api(fake, "Windows WASAPI", paWASAPI);
  FakeAudioDevice d;
  memset(&d, 0, sizeof d);
  d.name = "Headset";
  d.host_api = wasapi;
  d.max_inputs = 2;
  d.max_outputs = 2;
  d.default_rate = 48000;
  d.refuse_exclusive = true;
  d.present = true;
  fake_audio_add_device(fake, &d);
  fake_audio_set_default_input(fake, 0);
  fake_audio_enable_state_handler(fake, true);
  start_engine();
  AudioEngineConfig cfg = audio_config("", 256, 0);
  cfg.exclusive = true;
  AudioStatus s;
  ASSERT_TRUE(audio_wait_command(engine, audio_engine_open(engine, &cfg), 5000, &s));
  EXPECT_EQ(s.state, AUDIO_RUNNING);
  EXPECT_FALSE(s.exclusive);
  EXPECT_STREQ(s.message, "exclusive refused - running shared");
  EXPECT_GE(log_find(log_from,
                     "audio: opening Headset [Windows WASAPI]  (256 frames, 2 inputs, "
                     "exclusive wanted)"),
            0);
  EXPECT_GE(log_find(log_from, "audio: RUNNING [WASAPI] Headset [Windows WASAPI]"), 0);
  StreamBinding b;
  audio_engine_binding(engine, &b);
  EXPECT_STREQ(b.key, "wasapi:Headset");

  int64_t from = log_console_count();
  fake_audio_report_error(fake, 0x88890004u);
  ASSERT_GE(
      log_wait(from, "audio: LOST Headset [Windows WASAPI] - the driver reported 0x88890004", 1000),
      0);
  ASSERT_GE(log_wait(from, "audio: back after 1 attempt", 2000), 0);

  from = log_console_count();
  fake_audio_set_open_error(fake, 0, paUnanticipatedHostError, (long)0x80070005u);
  fake_audio_report_error(fake, 0x80070005u);
  ASSERT_GE(
      log_wait(from, "audio: LOST Headset [Windows WASAPI] - the driver reported 0x80070005", 1000),
      0);
  ASSERT_TRUE(audio_wait(
      engine, [](const AudioStatus& st) { return st.attempt >= 1; }, 2000, &s));
  ASSERT_TRUE(audio_wait(
      engine, [](const AudioStatus& st) { return st.attempt >= 1 && st.state == AUDIO_RECOVERING; },
      2000, &s));
  EXPECT_EQ(s.cause, AUDIO_CAUSE_ACCESS_DENIED);
}

TEST_F(EngineTest, RescanCommandReportsThroughTheSupervisionStep) {
  add_device("USB Interface", 2, 2, 48000);
  start_engine();
  ASSERT_EQ(open("").state, AUDIO_RUNNING);
  int inits = fake_audio_calls(fake, FAKE_INITIALIZE);
  int64_t from = log_console_count();
  AudioStatus s = run(audio_command(AUDIO_RESCAN, 0));
  EXPECT_EQ(s.last_command_kind, AUDIO_RESCAN);
  EXPECT_EQ(s.last_command_result, AUDIO_DONE);
  EXPECT_EQ(s.state, AUDIO_RUNNING);
  EXPECT_GT(fake_audio_calls(fake, FAKE_INITIALIZE), inits);
  EXPECT_GE(log_find(from, "audio: rescan asked for"), 0);
  int64_t line = log_find(from, "audio: rescanning devices");
  ASSERT_GE(line, 0);
  char buf[LOG_FULL_LINE_BYTES];
  log_line_full(line, buf, sizeof buf);
  EXPECT_EQ(strstr(buf, "(hardware changed)"), nullptr);

  // CLOSE shuts PortAudio down; OPEN brings it all back.
  from = log_console_count();
  s = run(audio_command(AUDIO_CLOSE, 0));
  EXPECT_EQ(s.state, AUDIO_CLOSED);
  EXPECT_EQ(s.last_command_result, AUDIO_DONE);
  EXPECT_GE(log_find(from, "audio: closed"), 0);
  EXPECT_EQ(fake_audio_open_streams(fake), 0);
  EXPECT_EQ(run(audio_command(AUDIO_SET_BUFFER, 128)).last_command_result, AUDIO_DONE);
  s = open("", 128);
  EXPECT_EQ(s.state, AUDIO_RUNNING);
  EXPECT_EQ(s.frames, 128);
}

TEST_F(EngineTest, HungOpenMakesTheEngineHungAndKeepsTheCoreServiced) {
  add_device("USB Interface", 2, 2, 48000);
  start_engine();
  AudioStatus s;
  ASSERT_TRUE(audio_wait(
      engine, [](const AudioStatus& st) { return st.row_count == 1; }, 2000, &s));
  fake_audio_hang(fake, FAKE_OPEN, true);
  AudioEngineConfig cfg = audio_config("", 256, 0);
  uint32_t id = audio_engine_open(engine, &cfg);
  ASSERT_TRUE(audio_wait_state(engine, AUDIO_HUNG, 10000, &s));
  EXPECT_EQ(s.cause, AUDIO_CAUSE_DRIVER_HUNG);
  EXPECT_STREQ(s.message,
               "audio driver stopped answering (opening the stream) - restart Kelp NOVA");
  EXPECT_GE(log_find(log_from, "audio: HUNG - opening the stream hasn't returned after 8."), 0);

  // Commands sent to the core still take effect while the driver is stuck.
  Tape* main_tape = tape_new(48000, 1.0, 0);
  ASSERT_NE(main_tape, nullptr);
  CoreCommand attach{};
  attach.kind = CMD_ATTACH;
  attach.tape = main_tape;
  ASSERT_TRUE(core_push_command(core, &attach));
  std::vector<int32_t> ev;
  for (int i = 0; i < 60 && !has(ev, EV_ATTACHED); i++) {
    platform_sleep_ms(5);
    ev = pop_events(core);
  }
  EXPECT_TRUE(has(ev, EV_ATTACHED));

  int64_t from = log_console_count();
  fake_audio_hang(fake, FAKE_OPEN, false);
  ASSERT_TRUE(audio_wait_command(engine, id, 3000, &s));
  EXPECT_GE(log_find(from, "audio: opening the stream came back after"), 0);
  EXPECT_GE(log_find(from, "audio: RECOVERING - the driver took too long to open"), 0);
  EXPECT_EQ(s.last_command_result, AUDIO_FAILED);
  // The late stream was closed, not used; the next attempt opens afresh.
  ASSERT_TRUE(audio_wait_state(engine, AUDIO_RUNNING, 3000, &s));
  EXPECT_EQ(s.cause, AUDIO_CAUSE_NONE);
  EXPECT_STREQ(s.message, "");
  EXPECT_EQ(fake_audio_open_streams(fake), 1);
}

TEST_F(EngineTest, StreamStallingWhileACallHangsSealsTheTake) {
  add_device("USB Interface", 2, 2, 48000);
  start_engine();
  ASSERT_EQ(open("").state, AUDIO_RUNNING);
  Tape* main_tape = tape_new(48000, 1.0, 0);
  Tape* capture = tape_new(48000, 1.0, 0);
  ASSERT_TRUE(main_tape && capture);
  CoreCommand attach{};
  attach.kind = CMD_ATTACH;
  attach.tape = main_tape;
  attach.tape2 = capture;
  ASSERT_TRUE(core_push_command(core, &attach));
  CoreCommand rec{};
  rec.kind = CMD_RECORD;
  rec.b = 3;
  ASSERT_TRUE(core_push_command(core, &rec));

  // A listing that never finishes while the stream runs on.
  fake_audio_hang(fake, FAKE_LIST, true);
  AudioCommand list = audio_command(AUDIO_LIST_DEVICES, 0);
  uint32_t id = audio_engine_post(engine, &list);
  ASSERT_NE(id, 0u);
  AudioStatus s;
  ASSERT_TRUE(audio_wait_state(engine, AUDIO_HUNG, 7000, &s));
  EXPECT_STREQ(s.message, "audio driver stopped answering (listing devices) - restart Kelp NOVA");
  std::vector<int32_t> ev = pop_events(core);
  EXPECT_TRUE(has(ev, EV_TAKE_STARTED));
  EXPECT_FALSE(has(ev, EV_TAKE_ENDED));  // the stream still runs: the take goes on

  int64_t from = log_console_count();
  fake_audio_stall_streams(fake);
  ASSERT_GE(log_wait(from,
                     "audio: the stream stalled while the driver is stuck - sealing without "
                     "it",
                     1000),
            0);
  ev.clear();
  for (int i = 0; i < 100 && !has(ev, EV_TAIL_DONE); i++) {
    platform_sleep_ms(5);
    std::vector<int32_t> more = pop_events(core);
    ev.insert(ev.end(), more.begin(), more.end());
  }
  EXPECT_TRUE(has(ev, EV_TAKE_ENDED));
  EXPECT_TRUE(has(ev, EV_TAIL_DONE));

  // A command waiting behind the stuck call runs only after the sealed stream was let go: it
  // must not open a second stream over the one still open.
  AudioCommand buffer = audio_command(AUDIO_SET_BUFFER, 512);
  uint32_t buffer_id = audio_engine_post(engine, &buffer);
  ASSERT_NE(buffer_id, 0u);
  fake_audio_hang(fake, FAKE_LIST, false);
  ASSERT_GE(log_wait(from, "audio: listing devices came back after", 1000), 0);
  ASSERT_GE(log_wait(from,
                     "audio: LOST USB Interface [ALSA] - the stream stalled while a driver "
                     "call was stuck",
                     1000),
            0);
  ASSERT_TRUE(audio_wait_command(engine, buffer_id, 3000, &s));
  EXPECT_EQ(s.last_command_result, AUDIO_DONE);
  EXPECT_EQ(s.state, AUDIO_RUNNING);
  EXPECT_EQ(s.frames, 512);
  EXPECT_EQ(fake_audio_open_streams(fake), 1);
}

TEST_F(EngineTest, ShutdownLeavesAStuckEngineInPlace) {
  add_device("USB Interface", 2, 2, 48000);
  start_engine();
  ASSERT_EQ(open("").state, AUDIO_RUNNING);
  fake_audio_hang(fake, FAKE_STOP, true);  // released only after the engine gave up on it
  uint64_t t = platform_tick_ms();
  audio_engine_destroy(engine);
  uint64_t took = platform_tick_ms() - t;
  EXPECT_GE(took, 2000u);
  EXPECT_LT(took, 3500u);
  EXPECT_GE(log_find(log_from,
                     "audio: the audio thread didn't finish in 2 s - leaving the driver "
                     "behind"),
            0);
  EXPECT_GE(log_find(log_from, "audio: giving up on stopping the stream - quitting without it"), 0);
  EXPECT_GE(log_find(log_from, "audio: a driver call never returned - the engine is left in place"),
            0);
  // When the driver finally answers, the worker finishes the call on its own copy of the
  // request: the stream it closes is the real one, not whatever the control thread left behind.
  int closes = fake_audio_calls(fake, FAKE_CLOSE);
  fake_audio_hang(fake, FAKE_STOP, false);
  uint64_t end = platform_tick_ms() + 2000;
  while (fake_audio_calls(fake, FAKE_CLOSE) == closes && platform_tick_ms() < end) {
    platform_sleep_ms(5);
  }
  EXPECT_EQ(fake_audio_calls(fake, FAKE_CLOSE), closes + 1);
  EXPECT_EQ(fake_audio_open_streams(fake), 0);
  // The engine stays where it was left, with the driver, the core and the rig.
  g_left_behind[0] = engine;
  g_left_behind[1] = fake;
  g_left_behind[2] = core;
  g_left_behind[3] = rig;
  leak = true;
}

TEST(AudioNames, RanksLabelsCodesAndNames) {
  EXPECT_GT(audio_cause_rank(AUDIO_CAUSE_ACCESS_DENIED), audio_cause_rank(AUDIO_CAUSE_IN_USE));
  EXPECT_GT(audio_cause_rank(AUDIO_CAUSE_IN_USE), audio_cause_rank(AUDIO_CAUSE_DRIVER_HUNG));
  EXPECT_GT(audio_cause_rank(AUDIO_CAUSE_OTHER), audio_cause_rank(AUDIO_CAUSE_NO_DEVICE));
  EXPECT_GT(audio_cause_rank(AUDIO_CAUSE_NO_DEVICE), audio_cause_rank(AUDIO_CAUSE_RATE_REFUSED));
  EXPECT_GT(audio_cause_rank(AUDIO_CAUSE_RATE_REFUSED),
            audio_cause_rank(AUDIO_CAUSE_BUFFER_REFUSED));
  EXPECT_EQ(audio_cause_rank(AUDIO_CAUSE_NONE), 0);

  EXPECT_STREQ(audio_host_label(paWDMKS, "Windows WDM-KS"), "WDM-KS");
  EXPECT_STREQ(audio_host_label(paJACK, "JACK Audio Connection Kit"), "JACK");
  EXPECT_STREQ(audio_host_label(paOSS, "OSS"), "OSS");
  EXPECT_STREQ(audio_host_label(paOSS, nullptr), "?");
  char code[AUDIO_API_BYTES];
  audio_api_code(paDirectSound, code);
  EXPECT_STREQ(code, "ds");
  audio_api_code(paJACK, code);
  EXPECT_STREQ(code, "jack");
  audio_api_code(paOSS, code);
  EXPECT_STREQ(code, "api7");

  char name[AUDIO_NAME_BYTES];
  audio_device_name_utf8("  Microphone (USB)\t\n", name);
  EXPECT_STREQ(name, "Microphone (USB)");
  audio_device_name_utf8("Caf\xE9 Mic", name);  // not UTF-8
  EXPECT_STREQ(name, "Caf\xEF\xBF\xBD Mic");
  std::string longname(125, 'a');
  longname += "\xC3\xA9\xC3\xA9  ";  // the second character no longer fits
  audio_device_name_utf8(longname.c_str(), name);
  EXPECT_EQ(std::string(name), std::string(125, 'a') + "\xC3\xA9");
}

TEST(AudioNames, RateLists) {
  double r[6];
  // AUTO: 48000 first, then the device defaults, without near-duplicates.
  ASSERT_EQ(audio_rate_list(0, 0, false, 44100, 48000.2, r), 2);
  EXPECT_EQ(r[0], 48000);
  EXPECT_EQ(r[1], 44100);
  // Reopening: the running rate first, the configured rate next.
  ASSERT_EQ(audio_rate_list(96000, 44100, false, 48000, 0, r), 3);
  EXPECT_EQ(r[0], 96000);
  EXPECT_EQ(r[1], 44100);
  EXPECT_EQ(r[2], 48000);
  // A rate change to a fixed rate tries that rate alone; out-of-range rates are dropped.
  ASSERT_EQ(audio_rate_list(0, 22050, true, 48000, 44100, r), 1);
  EXPECT_EQ(r[0], 22050);
  ASSERT_EQ(audio_rate_list(500000, 0, false, 4000, 0, r), 1);
  EXPECT_EQ(r[0], 48000);
}

}  // namespace
