// The device watch through scripted probes: hardware changes, microphone privacy and resume.
#include "audio_harness.h"

namespace {

using WatchTest = FakeEngineTest;

TEST_F(WatchTest, HardwareChangeOnTheWantedDeviceLeavesTheStreamAlone) {
  add_device("USB Interface", 2, 2, 48000);
  start_engine();
  ASSERT_EQ(open("").state, AUDIO_RUNNING);
  int opens = fake_audio_calls(fake, FAKE_OPEN);
  int64_t from = log_console_count();
  fake_audio_set_counts(fake, (3u << 16) | 2u);
  ASSERT_GE(log_wait(from, "audio: hardware changed (3 inputs, 2 outputs)", 2000), 0);
  settle(3);
  AudioStatus s;
  audio_engine_status(engine, &s);
  EXPECT_EQ(s.state, AUDIO_RUNNING);
  EXPECT_EQ(fake_audio_calls(fake, FAKE_OPEN), opens);
  EXPECT_EQ(log_find(from, "audio: rescanning"), -1);
  EXPECT_EQ(log_find(from, "audio: LOST"), -1);
}

TEST_F(WatchTest, FirstPollIsASecondAfterTheStartHoweverLongPortAudioTakes) {
  add_device("USB Interface", 2, 2, 48000);
  fake_audio_hang(fake, FAKE_INITIALIZE, true);
  fake_audio_clock_hold(fake);
  const uint64_t created = clock();
  start_engine();
  // Once PortAudio is starting, the counts of the start have been read.
  for (int i = 0; i < 400 && fake_audio_calls(fake, FAKE_INITIALIZE) == 0; i++) {
    platform_sleep_ms(5);
  }
  ASSERT_EQ(fake_audio_calls(fake, FAKE_INITIALIZE), 1);
  fake_audio_set_counts(fake, (1u << 16) | 1u);
  clock_to(created + 700);  // PortAudio took 0.7 s
  fake_audio_hang(fake, FAKE_INITIALIZE, false);
  clock_to(created + 999);
  EXPECT_EQ(log_find(log_from, "audio: hardware changed"), -1) << "polled before a second";
  clock_to(created + 1000);
  EXPECT_GE(log_wait(log_from, "audio: hardware changed (1 inputs, 1 outputs)", 2000), 0);
}

TEST_F(WatchTest, MicrophoneOffWhileRunningThenBackReopens) {
  add_device("USB Interface", 2, 2, 48000);
  start_engine();
  ASSERT_EQ(open("").state, AUDIO_RUNNING);
  int64_t from = log_console_count();
  fake_audio_clock_hold(fake);
  fake_audio_set_denied(fake, true);
  clock_to(clock() + 1000);  // the next poll is at most a second away
  AudioStatus s;
  ASSERT_TRUE(audio_wait(
      engine, [](const AudioStatus& st) { return st.cause == AUDIO_CAUSE_ACCESS_DENIED; }, 1000,
      &s));
  EXPECT_EQ(s.state, AUDIO_RUNNING);  // the stream is left alone
  EXPECT_STREQ(s.message, "microphone access is off for desktop apps");
  EXPECT_GE(log_find(from,
                     "audio: microphone access is OFF for desktop apps (Settings > Privacy > "
                     "Microphone)"),
            0);

  from = log_console_count();
  fake_audio_set_denied(fake, false);
  clock_to(clock() + 1000);
  ASSERT_GE(log_wait(from, "audio: microphone access is back on", 2000), 0);
  ASSERT_GE(log_wait(from, "audio: reopening USB Interface [ALSA]", 1000), 0);
  ASSERT_GE(log_wait(from, "audio: RUNNING", 1000), 0);
  // The RUNNING line comes before the status that goes with it is published.
  ASSERT_TRUE(audio_wait(
      engine,
      [](const AudioStatus& st) { return st.state == AUDIO_RUNNING && st.binding_generation == 2; },
      1000, &s));
  EXPECT_EQ(s.cause, AUDIO_CAUSE_NONE);
  EXPECT_STREQ(s.message, "");
  EXPECT_EQ(audio_engine_binding_generation(engine), 2u);
}

TEST_F(WatchTest, MicrophoneOffAtStartKeepsToTheWantedDevice) {
  int studio = add_device("Studio", 2, 2, 48000);
  add_device("Laptop Mic", 2, 0, 48000);
  fake_audio_set_open_error(fake, studio, paUnanticipatedHostError, -16);  // busy
  fake_audio_set_denied(fake, true);
  start_engine();
  AudioStatus s = open("Studio");
  EXPECT_EQ(s.last_command_result, AUDIO_FAILED);
  EXPECT_EQ(s.state, AUDIO_RECOVERING);
  EXPECT_EQ(s.cause, AUDIO_CAUSE_ACCESS_DENIED);
  EXPECT_GE(log_find(log_from, "audio: microphone access is OFF for desktop apps"), 0);
  EXPECT_EQ(log_find(log_from, "audio: opening Laptop Mic"), -1);
}

TEST_F(WatchTest, DownLogsOnceAndMicrophoneBackBringsAnAttemptAtOnce) {
  add_device("USB Interface", 2, 2, 48000);
  start_engine();
  ASSERT_EQ(open("").state, AUDIO_RUNNING);
  int64_t from = log_console_count();
  // Access goes off, and the driver then refuses the device as a privacy-blocked one does.
  fake_audio_set_denied(fake, true);
  ASSERT_GE(log_wait(from, "audio: microphone access is OFF", 2000), 0);
  fake_audio_set_open_error(fake, 0, paUnanticipatedHostError, (long)0x80070005u);
  fake_audio_stall_streams(fake);
  AudioStatus s;
  ASSERT_TRUE(audio_wait_state(engine, AUDIO_DOWN, 7000, &s));
  int opens = fake_audio_calls(fake, FAKE_OPEN);  // the sixth attempt is 2 s away
  EXPECT_EQ(s.cause, AUDIO_CAUSE_ACCESS_DENIED);
  EXPECT_STREQ(s.message, "duplex at 48000 Hz: Unanticipated host error (host 0x80070005)");
  // The sixth attempt must meet the error before it clears: the count is shown as an attempt
  // starts, so wait for its open call instead (one per attempt: access denied ends it).
  ASSERT_TRUE(audio_wait(
      engine, [](const AudioStatus& st) { return st.attempt == 6; }, 3000, &s));
  for (int i = 0; i < 400 && fake_audio_calls(fake, FAKE_OPEN) == opens; i++) {
    platform_sleep_ms(5);
  }
  ASSERT_GT(fake_audio_calls(fake, FAKE_OPEN), opens);

  // Access back on while DOWN: the attempt follows at the poll that sees it, not at the next
  // retry 2 s after the sixth attempt.
  fake_audio_clock_hold(fake);
  settle();
  fake_audio_set_open_error(fake, 0, paNoError, 0);
  fake_audio_set_denied(fake, false);
  clock_to(clock() + 1000);
  ASSERT_GE(log_wait(from, "audio: microphone access is back on", 1000), 0);
  EXPECT_GE(log_wait(from, "audio: back after 7 attempts", 1000), 0);
  EXPECT_EQ(log_count(from, "audio: DOWN - "), 1);
  ASSERT_TRUE(audio_wait_state(engine, AUDIO_RUNNING, 1000, &s));
  EXPECT_EQ(s.cause, AUDIO_CAUSE_NONE);
}

TEST_F(WatchTest, ResumeGivesTheStreamItsGraceThenDeclaresItLost) {
  // A stream that never calls back: no callback can race the resume and cut its grace short.
  add_device("USB Interface", 2, 2, 48000);
  fake_audio_set_stream_mode(fake, FAKE_STREAM_SILENT);
  fake_audio_clock_hold(fake);
  const uint64_t started = clock();
  start_engine();
  ASSERT_EQ(open("").state, AUDIO_RUNNING);
  clock_to(started + 500);
  int64_t from = log_console_count();
  audio_engine_notify_resume(engine);
  ASSERT_GE(log_wait(from, "audio: resumed - checking the stream", 1000), 0);
  // 1.5 s from the resume, not from the start.
  clock_to(started + 1999);
  AudioStatus s;
  audio_engine_status(engine, &s);
  EXPECT_EQ(s.state, AUDIO_RUNNING) << "lost before the grace that follows the resume";
  clock_to(started + 2000);
  ASSERT_TRUE(audio_wait_state(engine, AUDIO_RECOVERING, 2000, &s));
  EXPECT_GE(
      log_find(from, "audio: LOST USB Interface [ALSA] - the device never delivered audio"), 0);
}

}  // namespace
