// Shared pieces of the audio tests: waiting for engine states and log lines.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "audio/audio_engine.h"
#include "platform/platform.h"
#include "base/log.h"
#include "support/log_capture.h"

// Polls the status until pred holds or timeout_ms pass; leaves the last status in *out.
template <typename Pred>
bool audio_wait(AudioEngine* e, Pred pred, int timeout_ms, AudioStatus* out) {
  uint64_t end = platform_tick_ms() + (uint64_t)timeout_ms;
  for (;;) {
    audio_engine_status(e, out);
    if (pred(*out)) return true;
    if (platform_tick_ms() >= end) return false;
    platform_sleep_ms(5);
  }
}

inline bool audio_wait_state(AudioEngine* e, int state, int timeout_ms, AudioStatus* out) {
  return audio_wait(
      e, [&](const AudioStatus& s) { return s.state == state; }, timeout_ms, out);
}

inline bool audio_wait_command(AudioEngine* e, uint32_t id, int timeout_ms, AudioStatus* out) {
  return audio_wait(
      e, [&](const AudioStatus& s) { return s.last_command_id == id; }, timeout_ms, out);
}

// Log lines from index `from` on (the console ring keeps the last 256).
inline std::vector<std::string> log_since(int64_t from) {
  std::vector<std::string> out;
  int64_t n = log_console_count();
  if (from < n - LOG_CONSOLE_LINES) from = n - LOG_CONSOLE_LINES;
  for (int64_t i = from < 0 ? 0 : from; i < n; i++) {
    char buf[LOG_FULL_LINE_BYTES];
    if (log_line_full(i, buf, sizeof buf)) out.push_back(buf);
  }
  return out;
}

// Index of the first line at or after `from` that contains needle, or -1.
inline int64_t log_find(int64_t from, const char* needle) {
  int64_t n = log_console_count();
  if (from < n - LOG_CONSOLE_LINES) from = n - LOG_CONSOLE_LINES;
  for (int64_t i = from < 0 ? 0 : from; i < n; i++) {
    char buf[LOG_FULL_LINE_BYTES];
    if (log_line_full(i, buf, sizeof buf) && strstr(buf, needle)) return i;
  }
  return -1;
}

inline int log_count(int64_t from, const char* needle) {
  int c = 0;
  for (const std::string& l : log_since(from)) c += strstr(l.c_str(), needle) != nullptr;
  return c;
}

// Waits for a line containing needle; returns its index or -1.
inline int64_t log_wait(int64_t from, const char* needle, int timeout_ms) {
  uint64_t end = platform_tick_ms() + (uint64_t)timeout_ms;
  for (;;) {
    int64_t i = log_find(from, needle);
    if (i >= 0 || platform_tick_ms() >= end) return i;
    platform_sleep_ms(5);
  }
}

// Seconds-since-start stamp of a console line ("%8.2f  ...").
inline double log_stamp(int64_t index) {
  char buf[LOG_FULL_LINE_BYTES];
  if (!log_line_full(index, buf, sizeof buf)) return -1;
  return atof(buf);
}

inline AudioEngineConfig audio_config(const char* device, int frames, int rate) {
  AudioEngineConfig c;
  memset(&c, 0, sizeof c);
  snprintf(c.device, sizeof c.device, "%s", device);
  c.buffer_frames = frames;
  c.sample_rate = rate;
  c.exclusive = false;
  return c;
}

inline AudioCommand audio_command(int kind, int value) {
  AudioCommand c;
  memset(&c, 0, sizeof c);
  c.kind = kind;
  c.value = value;
  return c;
}

// --- An engine on the scripted driver -------------------------------------------------------

#include "support/audio_fake.h"
#include "core/core.h"
#include "rig/mixer.h"

class FakeEngineTest : public ::testing::Test {
 protected:
  Core* core = nullptr;
  RigMixer* rig = nullptr;
  FakeAudio* fake = nullptr;
  AudioEngine* engine = nullptr;
  int alsa = 0;
  int64_t log_from = 0;
  bool leak = false;  // a test whose driver never returns leaves everything behind

  void SetUp() override {
    log_from = log_console_count();
    core = core_new();
    rig = rig_mixer_new();
    fake = fake_audio_new();
    ASSERT_TRUE(core && rig && fake);
    alsa = fake_audio_add_host_api(fake, "ALSA", paALSA);
  }

  void TearDown() override {
    if (leak) return;
    audio_engine_destroy(engine);
    fake_audio_free(fake);
    rig_mixer_free(rig);
    core_free(core);
  }

  // A present device on host API `api` accepting rates (none: any).
  int add_device(const char* name, int inputs, int outputs, double default_rate,
                 std::initializer_list<double> rates = {}, int api = -1) {
    FakeAudioDevice d;
    memset(&d, 0, sizeof d);
    d.name = name;
    d.host_api = api < 0 ? alsa : api;
    d.max_inputs = inputs;
    d.max_outputs = outputs;
    d.default_rate = default_rate;
    for (double r : rates) d.rates[d.rate_count++] = r;
    d.open_error = paNoError;
    d.present = true;
    return fake_audio_add_device(fake, &d);
  }

  void start_engine() {
    engine = audio_engine_create_with(core, rig, fake_audio_driver(fake), fake_audio_probe(fake));
    ASSERT_NE(engine, nullptr);
  }

  // --- The held clock: supervision deadlines come when the test says ---
  // Passes of the control thread after now: each reads the clock several times.
  void settle(int passes = 2) {
    uint64_t until = fake_audio_clock_reads(fake) + 8u * (uint64_t)passes;
    for (int i = 0; i < 1000 && fake_audio_clock_reads(fake) < until; i++) platform_sleep_ms(2);
  }
  // Moves the clock to t and lets the engine see it. Steps stay under the gap that reads as a
  // resume from sleep.
  void clock_to(uint64_t t) {
    while (fake_audio_clock(fake) < t) {
      uint64_t step = t - fake_audio_clock(fake);
      if (step > 1000) step = 1000;
      fake_audio_clock_advance(fake, step);
      settle();
    }
  }
  uint64_t clock() { return fake_audio_clock(fake); }

  // Posts a command and waits for its result.
  AudioStatus run(const AudioCommand& c, int timeout_ms = 5000) {
    AudioStatus s;
    uint32_t id = audio_engine_post(engine, &c);
    EXPECT_NE(id, 0u);
    EXPECT_TRUE(audio_wait_command(engine, id, timeout_ms, &s)) << "command kind " << c.kind;
    return s;
  }

  AudioStatus open(const char* device, int frames = 256, int rate = 0, int timeout_ms = 5000) {
    AudioEngineConfig cfg = audio_config(device, frames, rate);
    AudioStatus s;
    uint32_t id = audio_engine_open(engine, &cfg);
    EXPECT_NE(id, 0u);
    EXPECT_TRUE(audio_wait_command(engine, id, timeout_ms, &s));
    return s;
  }
};
