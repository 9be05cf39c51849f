// The engine on a real device: PortAudio's JACK host API talking to a private jackd with the
// dummy backend (48 kHz, 8 capture and 2 playback ports). A server that cannot start fails.
#include <cmath>

#include "audio_harness.h"
#include "core/tape.h"
#include "rig/mixer.h"
#include "support/jack_server.h"

namespace {

class JackEngineTest : public ::testing::Test {
 protected:
  JackServer* server = nullptr;
  Core* core = nullptr;
  RigMixer* rig = nullptr;
  AudioEngine* engine = nullptr;
  int64_t log_from = 0;

  void SetUp() override {
    log_from = log_console_count();
    server = jack_server_start();
    ASSERT_NE(server, nullptr) << "jackd (package jackd2) must be installed and startable";
    core = core_new();
    rig = rig_mixer_new();
    ASSERT_TRUE(core && rig);
    engine = audio_engine_create(core, rig);
    ASSERT_NE(engine, nullptr);
  }

  void TearDown() override {
    audio_engine_destroy(engine);
    rig_mixer_free(rig);
    core_free(core);
    jack_server_stop(server);
  }

  AudioStatus open(int rate) {
    AudioEngineConfig cfg = audio_config("system", 256, rate);
    AudioStatus s;
    uint32_t id = audio_engine_open(engine, &cfg);
    EXPECT_TRUE(audio_wait_command(engine, id, 10000, &s));
    return s;
  }

  // The largest input peak the core publishes over ms.
  float core_peak_over(int ms) {
    float peak = 0;
    uint64_t end = platform_tick_ms() + (uint64_t)ms;
    while (platform_tick_ms() < end) {
      CoreStatus cs;
      core_read_status(core, &cs);
      peak = std::max(peak, cs.input_peak);
      platform_sleep_ms(2);
    }
    return peak;
  }
};

std::vector<int32_t> pop_kinds(Core* core) {
  std::vector<int32_t> kinds;
  CoreEvent ev;
  while (core_pop_event(core, &ev)) kinds.push_back(ev.kind);
  return kinds;
}

bool contains(const std::vector<int32_t>& v, int32_t k) {
  return std::find(v.begin(), v.end(), k) != v.end();
}

TEST_F(JackEngineTest, AutoRunsAtTheServerRateAndTheToneReachesTheCoreAfterASecond) {
  AudioStatus s = open(0);
  uint64_t running_at = platform_tick_ms();
  ASSERT_EQ(s.state, AUDIO_RUNNING) << s.message;
  EXPECT_EQ(s.last_command_result, AUDIO_DONE);
  EXPECT_DOUBLE_EQ(s.rate, 48000.0);
  EXPECT_EQ(s.inputs, 8);
  EXPECT_EQ(s.device_inputs, 8);
  EXPECT_TRUE(s.duplex);
  EXPECT_STREQ(s.device, "system [JACK Audio Connection Kit]");
  EXPECT_STREQ(s.host_api, "JACK");
  EXPECT_STREQ(s.message, "");
  EXPECT_EQ(s.cause, AUDIO_CAUSE_NONE);
  EXPECT_GE(log_find(log_from,
                     "audio: RUNNING [JACK] system [JACK Audio Connection Kit]  48000 Hz"
                     "  256 frames  in 8 of 8 ch  duplex  (in "),
            0);

  StreamBinding b;
  EXPECT_EQ(audio_engine_binding(engine, &b), 1u);
  EXPECT_STREQ(b.api, "jack");
  EXPECT_STREQ(b.device_name, "system");
  EXPECT_STREQ(b.key, "jack:system");
  EXPECT_EQ(b.inputs, 8);
  EXPECT_EQ(b.device_inputs, 8);
  EXPECT_DOUBLE_EQ(b.rate, 48000.0);

  // A 440 Hz tone at 0.5 into inputs 1 and 2: silent until the fallback plan after 1 s.
  JackTool* tone = jack_tool_start(jack_tool_path("jack_tone"),
                                   {"--level", "0.5", "--to", "PortAudio", "--ports", "2"}, 5000);
  ASSERT_NE(tone, nullptr);
  uint64_t ready = platform_tick_ms() - running_at;
  if (ready < 700) {
    EXPECT_LT(core_peak_over((int)(800 - ready)), 0.01f);
  }
  uint64_t since = platform_tick_ms() - running_at;
  if (since < 1300) platform_sleep_ms((uint32_t)(1300 - since));
  float peak = core_peak_over(300);
  EXPECT_NEAR(peak, 0.5f, 0.03f);
  RigMeters m;
  rig_read_meters(rig, &m);
  EXPECT_TRUE(m.on_fallback);
  EXPECT_EQ(m.bound_channels, 8);
  EXPECT_NEAR(m.input_peak[0], 0.5f, 0.03f);
  EXPECT_LT(m.input_peak[2], 0.001f);
  jack_tool_stop(tone);
}

TEST_F(JackEngineTest, RefusedFixedRateRunsAtTheServerRate) {
  AudioStatus s = open(44100);
  ASSERT_EQ(s.state, AUDIO_RUNNING) << s.message;
  EXPECT_DOUBLE_EQ(s.rate, 48000.0);
  EXPECT_EQ(s.cause, AUDIO_CAUSE_NONE);
  EXPECT_STREQ(s.message, "44100 Hz refused - running 48000 Hz");
  EXPECT_GE(log_find(log_from, "audio:   refused - duplex at 44100 Hz: Invalid sample rate"), 0);
  EXPECT_GE(log_find(log_from, "audio: 44100 Hz refused - running 48000 Hz"), 0);
}

TEST_F(JackEngineTest, KilledServerIsLostRetriedDownAndBackWhenItReturns) {
  ASSERT_EQ(open(0).state, AUDIO_RUNNING);

  // A take in progress.
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
  rec.b = 1;
  ASSERT_TRUE(core_push_command(core, &rec));
  std::vector<int32_t> ev;
  for (int i = 0; i < 400 && !contains(ev, EV_TAKE_STARTED); i++) {
    platform_sleep_ms(5);
    std::vector<int32_t> more = pop_kinds(core);
    ev.insert(ev.end(), more.begin(), more.end());
  }
  ASSERT_TRUE(contains(ev, EV_TAKE_STARTED));

  int64_t from = log_console_count();
  double killed_at = log_clock();
  ASSERT_TRUE(jack_server_kill(server));
  int64_t lost = log_wait(
      from, "audio: LOST system [JACK Audio Connection Kit] - no audio callbacks for 300 ms", 3000);
  ASSERT_GE(lost, 0);
  EXPECT_LT(log_stamp(lost) - killed_at, 0.6);
  ASSERT_GE(log_wait(from, "audio: RECOVERING - no audio callbacks for 300 ms", 3000), 0);
  ev.clear();
  for (int i = 0; i < 200 && !contains(ev, EV_TAIL_DONE); i++) {
    platform_sleep_ms(5);
    std::vector<int32_t> more = pop_kinds(core);
    ev.insert(ev.end(), more.begin(), more.end());
  }
  EXPECT_TRUE(contains(ev, EV_TAKE_ENDED));
  EXPECT_TRUE(contains(ev, EV_TAIL_DONE));

  // Without the server there is no input device; the fifth failure is DOWN. (The server's
  // disappearance counts as a hardware change and may bring one attempt forward.)
  for (int k = 1; k <= 4; k++) {
    char needle[80];
    snprintf(needle, sizeof needle, "audio: attempt %d failed - no input device - plug one in", k);
    EXPECT_GE(log_wait(from, needle, 3000), 0) << needle;
  }
  int64_t down =
      log_wait(from, "audio: DOWN - no input device - plug one in (retrying every 2 s)", 4000);
  ASSERT_GE(down, 0);
  EXPECT_GT(log_stamp(down) - log_stamp(lost), 3.3);
  EXPECT_LT(log_stamp(down) - log_stamp(lost), 6.5);  // PortAudio restarts add to it
  // The DOWN line comes before the state that goes with it is published.
  AudioStatus s;
  ASSERT_TRUE(audio_wait_state(engine, AUDIO_DOWN, 1000, &s));
  EXPECT_EQ(s.cause, AUDIO_CAUSE_NO_DEVICE);

  from = log_console_count();
  ASSERT_TRUE(jack_server_restart(server));
  ASSERT_TRUE(audio_wait(
      engine, [](const AudioStatus& st) { return st.state == AUDIO_RUNNING; }, 6000, &s));
  EXPECT_GE(log_find(from, "audio: back after "), 0);
  EXPECT_GE(log_find(from, " attempts"), 0);
  EXPECT_DOUBLE_EQ(s.rate, 48000.0);
  EXPECT_EQ(s.inputs, 8);
  EXPECT_EQ(s.cause, AUDIO_CAUSE_NONE);
  EXPECT_EQ(audio_engine_binding_generation(engine), 2u);
  // And audio flows again.
  uint32_t before = 0;
  CoreStatus cs;
  core_read_status(core, &cs);
  before = cs.callbacks;
  platform_sleep_ms(200);
  core_read_status(core, &cs);
  EXPECT_GT(cs.callbacks, before);
}

}  // namespace
