// The engine on a real device: its JACK driver talking to a private jackd with the dummy
// backend (48 kHz, 8 capture and 2 playback ports). A server that cannot start fails.
#include <signal.h>

#include <atomic>
#include <cmath>

#include "audio/audio_driver.h"
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
  // The driver hears of the shutdown itself, before any heartbeat would notice.
  int64_t lost =
      log_wait(from, "audio: LOST system [JACK Audio Connection Kit] - the stream stopped", 3000);
  ASSERT_GE(lost, 0);
  EXPECT_LT(log_stamp(lost) - killed_at, 0.6);
  ASSERT_GE(log_wait(from, "audio: RECOVERING - the stream stopped", 3000), 0);
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

// A server that dies (tidily or by SIGKILL, which leaves its socket file behind) is noticed by
// the device watch both when it goes and when it is back, so the stream returns soon after.
TEST_F(JackEngineTest, ServerBackAfterTermOrKillRunsAgainWithinSeconds) {
  struct Case {
    const char* name;
    bool hard;
  };
  const Case cases[] = {{"SIGTERM", false}, {"SIGKILL", true}};
  ASSERT_EQ(open(0).state, AUDIO_RUNNING);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int64_t from = log_console_count();
    ASSERT_TRUE(c.hard ? jack_server_kill_hard(server) : jack_server_kill(server));
    ASSERT_GE(log_wait(from, "audio: LOST system [JACK Audio Connection Kit]", 3000), 0);
    // Gone long enough for the watch to look at least once (a retry may list the devices first).
    platform_sleep_ms(1500);
    AudioStatus s;
    audio_engine_status(engine, &s);
    EXPECT_NE(s.state, AUDIO_RUNNING);

    ASSERT_TRUE(jack_server_restart(server));
    uint64_t back = platform_tick_ms();
    ASSERT_TRUE(audio_wait(
        engine, [](const AudioStatus& st) { return st.state == AUDIO_RUNNING; }, 8000, &s));
    uint64_t took = platform_tick_ms() - back;
    printf("measured: running again %.2f s after the server was back (%s)\n", took / 1000.0,
           c.name);
    RecordProperty(std::string("recovery_ms_") + c.name, (int)took);
    EXPECT_LT(took, 4000u);
    EXPECT_EQ(s.inputs, 8);
    EXPECT_EQ(s.cause, AUDIO_CAUSE_NONE);
  }
}

// The JACK driver on its own, through the driver table.
struct Seen {
  std::atomic<int> calls{0};
  std::atomic<int> frames{0};
  std::atomic<bool> buffers{true};
  std::atomic<int> finished{0};
  int inputs = 0, outputs = 0;
};

int seen_callback(const void* input, void* output, unsigned long frames,
                  const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void* user) {
  Seen* s = (Seen*)user;
  const float* const* in = (const float* const*)input;
  float** out = (float**)output;
  bool ok = in && out;
  for (int c = 0; ok && c < s->inputs; c++) ok = in[c] != nullptr;
  for (int c = 0; ok && c < s->outputs; c++) {
    ok = out[c] != nullptr;
    if (ok) memset(out[c], 0, frames * sizeof(float));
  }
  if (!ok) s->buffers.store(false);
  s->frames.store((int)frames);
  s->calls.fetch_add(1);
  return paContinue;
}

void seen_finished(void* user) {
  ((Seen*)user)->finished.fetch_add(1);
}

class JackDriverTest : public ::testing::Test {
 protected:
  JackServer* server = nullptr;
  const AudioDriver* d = nullptr;

  void SetUp() override {
    server = jack_server_start();
    ASSERT_NE(server, nullptr) << "jackd (package jackd2) must be installed and startable";
    d = audio_driver_named("jack");
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->initialize(d->user), paNoError);
  }
  void TearDown() override {
    if (d) d->terminate(d->user);
    jack_server_stop(server);
  }

  static PaStreamParameters params(int device, int channels, PaSampleFormat format) {
    PaStreamParameters p;
    memset(&p, 0, sizeof p);
    p.device = device;
    p.channelCount = channels;
    p.sampleFormat = format;
    return p;
  }
};

TEST_F(JackDriverTest, NamedTableListsTheSystemClientAndChecksFormats) {
  EXPECT_EQ(audio_driver_named("system"), audio_driver_system());
  EXPECT_EQ(audio_driver_named("portaudio"), audio_driver_portaudio());
  EXPECT_EQ(audio_driver_named("asio"), nullptr);

  ASSERT_EQ(d->device_count(d->user), 1);
  const PaDeviceInfo* info = d->device_info(d->user, 0);
  ASSERT_NE(info, nullptr);
  EXPECT_STREQ(info->name, "system");
  EXPECT_EQ(info->maxInputChannels, 8);
  EXPECT_EQ(info->maxOutputChannels, 2);
  EXPECT_DOUBLE_EQ(info->defaultSampleRate, 48000.0);
  const PaHostApiInfo* api = d->host_api_info(d->user, info->hostApi);
  ASSERT_NE(api, nullptr);
  EXPECT_STREQ(api->name, "JACK Audio Connection Kit");
  EXPECT_EQ(api->type, paJACK);
  EXPECT_EQ(d->default_input_device(d->user), 0);

  const PaSampleFormat planar = paFloat32 | paNonInterleaved;
  struct Case {
    int inputs, outputs;
    PaSampleFormat format;
    double rate;
    PaError want;
  };
  const Case cases[] = {
      {8, 2, planar, 48000, paFormatIsSupported},
      {1, 0, planar, 48000, paFormatIsSupported},
      {8, 2, planar, 44100, paInvalidSampleRate},
      {9, 2, planar, 48000, paInvalidChannelCount},
      {8, 3, planar, 48000, paInvalidChannelCount},
      {2, 2, paFloat32, 48000, paSampleFormatNotSupported},
  };
  for (const Case& c : cases) {
    PaStreamParameters in = params(0, c.inputs, c.format);
    PaStreamParameters out = params(0, c.outputs, c.format);
    EXPECT_EQ(d->is_format_supported(d->user, &in, c.outputs ? &out : nullptr, c.rate), c.want)
        << c.inputs << " in, " << c.outputs << " out at " << c.rate;
  }
  PaStreamParameters in = params(0, 8, planar);
  PaStream* s = nullptr;
  EXPECT_EQ(d->open_stream(d->user, &s, &in, nullptr, 44100, 256, paClipOff, seen_callback, nullptr),
            paInvalidSampleRate);
  EXPECT_EQ(s, nullptr);
}

TEST_F(JackDriverTest, KilledServerFinishesTheStreamAndClosingDoesNotHang) {
  Seen seen;
  seen.inputs = 8;
  seen.outputs = 2;
  PaStreamParameters in = params(0, 8, paFloat32 | paNonInterleaved);
  PaStreamParameters out = params(0, 2, paFloat32 | paNonInterleaved);
  PaStream* s = nullptr;
  ASSERT_EQ(d->open_stream(d->user, &s, &in, &out, 48000, 256, paClipOff, seen_callback, &seen),
            paNoError);
  ASSERT_EQ(d->set_finished_callback(d->user, s, seen_finished), paNoError);
  ASSERT_EQ(d->start_stream(d->user, s), paNoError);
  for (int i = 0; i < 400 && seen.calls.load() < 20; i++) platform_sleep_ms(5);
  EXPECT_GE(seen.calls.load(), 20);
  EXPECT_EQ(seen.frames.load(), 256);
  EXPECT_TRUE(seen.buffers.load());
  const PaStreamInfo* si = d->stream_info(d->user, s);
  ASSERT_NE(si, nullptr);
  EXPECT_GT(si->inputLatency, 0.0);
  EXPECT_DOUBLE_EQ(si->sampleRate, 48000.0);

  ASSERT_TRUE(jack_server_kill_hard(server));
  for (int i = 0; i < 400 && seen.finished.load() == 0; i++) platform_sleep_ms(5);
  EXPECT_EQ(seen.finished.load(), 1);
  uint64_t start = platform_tick_ms();
  EXPECT_EQ(d->abort_stream(d->user, s), paNoError);
  EXPECT_EQ(d->close_stream(d->user, s), paNoError);
  EXPECT_LT(platform_tick_ms() - start, 1600u);
  EXPECT_EQ(seen.finished.load(), 1);

  // With the server gone a stream can't open; once it is back the list is whole again.
  EXPECT_EQ(d->initialize(d->user), paNoError);
  EXPECT_EQ(d->device_count(d->user), 0);
  ASSERT_TRUE(jack_server_restart(server));
  EXPECT_EQ(d->initialize(d->user), paNoError);
  EXPECT_EQ(d->device_count(d->user), 1);
}

}  // namespace
