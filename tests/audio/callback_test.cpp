// The stream callback driven directly: inputs through the rig mixer into the core, the output
// tap, oversized buffers, and no allocation or system call on the way.
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "audio_harness.h"
#include "support/rt_guard.h"

namespace {

struct TapSeen {
  int calls = 0;
  int frames = 0;
  int rate = 0;
  float first_left = -1, first_right = -1;
};

void tap_fn(void* user, const float* interleaved, int frames, int rate) {
  TapSeen* t = (TapSeen*)user;
  t->calls++;
  t->frames = frames;
  t->rate = rate;
  t->first_left = interleaved[0];
  t->first_right = interleaved[1];
}

// Planar buffers for one callback: `inputs` channels of a sine at `level`, two outputs.
struct Block {
  std::vector<std::vector<float>> in;
  std::vector<const float*> in_ptr;
  std::vector<std::vector<float>> out;
  std::vector<float*> out_ptr;
  Block(int inputs, int frames, float level) {
    in.assign(inputs, std::vector<float>(frames));
    for (int c = 0; c < inputs; c++) {
      for (int i = 0; i < frames; i++) in[c][i] = level * (float)std::sin(0.05 * i);
      in_ptr.push_back(in[c].data());
    }
    out.assign(2, std::vector<float>(frames, 9.0f));
    for (auto& o : out) out_ptr.push_back(o.data());
  }
};

class CallbackTest : public FakeEngineTest {
 protected:
  PaStreamCallback* cb = nullptr;
  void* user = nullptr;
  int inputs = 0, outputs = 0;

  void run_manual(bool with_rig) {
    if (!with_rig) {
      rig_mixer_free(rig);
      rig = nullptr;
    }
    add_device("USB Interface", 4, 2, 48000);
    fake_audio_set_stream_mode(fake, FAKE_STREAM_MANUAL);
    start_engine();
    ASSERT_EQ(open("").state, AUDIO_RUNNING);
    ASSERT_TRUE(fake_audio_stream_callback(fake, &cb, &user, &inputs, &outputs));
    EXPECT_EQ(cb, &audio_engine_callback);
    EXPECT_EQ(inputs, 4);
    EXPECT_EQ(outputs, 2);
  }

  int call(Block& b, int frames) {
    return cb(b.in_ptr.data(), b.out_ptr.data(), (unsigned long)frames, nullptr, 0, user);
  }
};

TEST_F(CallbackTest, WithoutARigInputsOneAndTwoReachTheCoreAndTheTap) {
  run_manual(false);
  EXPECT_GE(log_find(log_from, "audio: no rig - inputs 1 and 2 go straight to the tape"), 0);
  TapSeen seen;
  audio_engine_set_tap(engine, tap_fn, &seen);
  Block b(4, 256, 0.5f);
  b.in[1].assign(256, 0.0f);
  EXPECT_EQ(call(b, 256), paContinue);
  CoreStatus cs;
  core_read_status(core, &cs);
  EXPECT_NEAR(cs.input_peak, 0.5f, 0.01f);
  EXPECT_EQ(cs.callbacks, 1u);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.frames, 256);
  EXPECT_EQ(seen.rate, 48000);
  EXPECT_EQ(seen.first_left, b.out[0][0]);
  EXPECT_EQ(seen.first_right, b.out[1][0]);
  EXPECT_NE(b.out[0][0], 9.0f);  // the core wrote the outputs

  // Larger than the engine's buffers: the core gets silence and outputs silence.
  Block big(4, 5000, 0.5f);
  EXPECT_EQ(call(big, 5000), paContinue);
  core_read_status(core, &cs);
  EXPECT_EQ(cs.oversize_callbacks, 1u);
  EXPECT_EQ(big.out[0][4999], 0.0f);
  EXPECT_EQ(seen.calls, 2);
  EXPECT_EQ(seen.frames, 4096);  // the tap sees at most the engine's buffer

  audio_engine_set_tap(engine, nullptr, nullptr);
  EXPECT_EQ(call(b, 256), paContinue);
  EXPECT_EQ(seen.calls, 2);
}

TEST_F(CallbackTest, TheRigIsSilentUntilItsFallbackPlanAfterOneSecond) {
  run_manual(true);
  Block b(4, 256, 0.5f);
  CoreStatus cs;
  for (int i = 0; i < 150; i++) call(b, 256);  // 0.8 s of audio
  core_read_status(core, &cs);
  EXPECT_LT(cs.input_peak, 1e-6f);
  for (int i = 0; i < 60; i++) call(b, 256);  // past 1 s and the 20 ms fade
  core_read_status(core, &cs);
  EXPECT_NEAR(cs.input_peak, 0.5f, 0.01f);
  RigMeters m;
  rig_read_meters(rig, &m);
  EXPECT_TRUE(m.on_fallback);
  EXPECT_EQ(m.bound_channels, 4);
}

TEST_F(CallbackTest, MixingAndTheCoreNeitherAllocateNorCallTheSystem) {
  const char* why = "";
  if (!rt_guard_available(&why)) GTEST_SKIP() << why;
  run_manual(true);
  TapSeen seen;
  audio_engine_set_tap(engine, tap_fn, &seen);
  CoreStatus before, after;
  core_read_status(core, &before);
  RtGuardReport r;
  int results = 0;
  ASSERT_TRUE(rt_guard_run(
      [&] {
        Block b(4, 256, 0.25f);
        Block other(4, 64, 0.25f);
        RtGuardScope armed;
        // 1.3 s of audio: silence, the fallback fade, then the plan; odd sizes in between.
        for (int i = 0; i < 250; i++) results += call(b, 256);
        for (int i = 0; i < 10; i++) results += call(other, 64);
      },
      &r));
  core_read_status(core, &after);
  EXPECT_EQ(results, 0);  // every callback said continue
  EXPECT_EQ(after.callbacks - before.callbacks, 260u);
  EXPECT_EQ(seen.calls, 260);
  ASSERT_TRUE(r.heap_counted);
  EXPECT_EQ(r.heap_calls, 0u);
  if (r.syscalls_counted) {
    EXPECT_EQ(r.syscalls, 0u) << "first: " << r.first_syscall;
  }
}

// A tap that takes its time: setting another tap (or none) must not return while the old one
// is still running, since its caller frees what the old tap uses right after.
struct SlowTap {
  std::atomic<bool> inside{false};
  std::atomic<bool> left{false};
  std::atomic<int> calls{0};
};

void slow_tap_fn(void* user, const float*, int, int) {
  SlowTap* t = (SlowTap*)user;
  t->calls.fetch_add(1);
  t->inside.store(true);
  platform_sleep_ms(150);
  t->left.store(true);
}

TEST_F(CallbackTest, ChangingTheTapWaitsForACallStillInTheOldOne) {
  run_manual(true);
  SlowTap other;
  struct Case {
    const char* name;
    AudioTap next;
    void* next_user;
  };
  const Case cases[] = {{"cleared", nullptr, nullptr}, {"replaced", slow_tap_fn, &other}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SlowTap old;
    audio_engine_set_tap(engine, slow_tap_fn, &old);
    std::thread audio([&] {
      Block b(4, 256, 0.25f);
      call(b, 256);
    });
    while (!old.inside.load()) platform_sleep_ms(1);
    uint64_t start = platform_tick_ms();
    audio_engine_set_tap(engine, c.next, c.next_user);
    EXPECT_TRUE(old.left.load());
    EXPECT_GE(platform_tick_ms() - start, 100u);
    audio.join();
    // Later callbacks see only the new tap.
    int other_before = other.calls.load();
    Block b(4, 64, 0.25f);
    call(b, 64);
    EXPECT_EQ(old.calls.load(), 1);
    EXPECT_EQ(other.calls.load(), other_before + (c.next ? 1 : 0));
  }
  audio_engine_set_tap(engine, nullptr, nullptr);
}

}  // namespace
