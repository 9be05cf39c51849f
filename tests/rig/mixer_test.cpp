// The mixer: scene plans, binding and fallback, ramps, meters, and plans crossing threads.
#include "rig/mixer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rig/rig_test_util.h"

using rig_test::DocPtr;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr uint32_t kTag = 0x1234;

struct MixerDeleter {
  void operator()(RigMixer* m) const { rig_mixer_free(m); }
};
using MixerPtr = std::unique_ptr<RigMixer, MixerDeleter>;

MixerPtr bound_mixer(int channels, const char* api = "wasapi", bool with_fallback = true) {
  MixerPtr m(rig_mixer_new());
  RigPlan fallback;
  rig_default_plan(api, channels, &fallback);
  rig_bind_stream(m.get(), 48000, channels, kTag, with_fallback ? &fallback : nullptr);
  return m;
}

// Per-channel input signals; an empty vector means the stream has no such input.
struct Signal {
  std::vector<std::vector<float>> in;
  std::vector<float> left, right;
};

Signal constant_inputs(const std::vector<float>& values, int frames) {
  Signal s;
  for (float v : values) s.in.push_back(std::vector<float>(frames, v));
  return s;
}

// Mixes frames [from, to) of s in blocks, appending to its outputs.
void run(RigMixer* m, Signal* s, int from, int to, int block = 256) {
  for (int at = from; at < to; at += block) {
    int n = std::min(block, to - at);
    std::vector<const float*> ptrs;
    for (auto& ch : s->in) ptrs.push_back(ch.empty() ? nullptr : ch.data() + at);
    std::vector<float> l(n), r(n);
    ASSERT_EQ(rig_mix(m, ptrs.data(), (int)ptrs.size(), l.data(), r.data(), n), n);
    s->left.insert(s->left.end(), l.begin(), l.end());
    s->right.insert(s->right.end(), r.begin(), r.end());
  }
}

RigPlan plan_of(int channels, std::initializer_list<std::pair<float, float>> pairs,
                float master = 1.0f) {
  RigPlan p = {};
  p.channel_count = channels;
  p.master = master;
  int i = 0;
  for (auto& lr : pairs) {
    p.left[i] = lr.first;
    p.right[i] = lr.second;
    i++;
  }
  return p;
}

RigScene* scene_of(RigDoc* doc, int channels) {
  RigScene* s = &doc->scenes[0];
  s->channel_count = channels;
  for (int i = 0; i < channels; i++)
    s->channels[i] = RigChannel{1.0f, 0.0f, false, false, "", "", {}};
  return s;
}

float max_step(const std::vector<float>& v, size_t from, size_t to) {
  float worst = 0;
  for (size_t k = from + 1; k < to && k < v.size(); k++)
    worst = std::max(worst, std::fabs(v[k] - v[k - 1]));
  return worst;
}

}  // namespace

// --- Plan rule --------------------------------------------------------------------------

void expect_pairs(const RigPlan& p, std::initializer_list<std::pair<float, float>> want) {
  int i = 0;
  for (auto& lr : want) {
    EXPECT_NEAR(p.left[i], lr.first, 1e-6) << "left " << i;
    EXPECT_NEAR(p.right[i], lr.second, 1e-6) << "right " << i;
    i++;
  }
}

constexpr float kRoot2 = 1.4142135f;

TEST(RigPlan, PanLawAndLinks) {
  DocPtr doc(rig_doc_new());
  RigScene* s = scene_of(doc.get(), 5);
  s->channels[0] = RigChannel{0.5f, -1.0f, false, false, "", "", {}};  // hard left
  s->channels[2].pan = 1.0f;
  s->channels[3].pan = kNaN;  // centre
  s->channels[4].pan = 7.0f;  // hard right
  RigPlan p;
  rig_plan_from_scene(s, 5, &p);
  expect_pairs(p, {{kRoot2 * 0.5f, 0}, {1, 1}, {0, kRoot2}, {1, 1}, {0, kRoot2}});
  EXPECT_EQ(p.left[1], 1.0f);  // exactly unity in the centre

  // A linked pair: the pan is a balance that only attenuates; the partner's settings are unused.
  s->channels[0] = RigChannel{1.0f, 0.5f, false, true, "", "", {}};
  s->channels[1] = RigChannel{3.0f, -1.0f, true, false, "", "", {}};
  rig_plan_from_scene(s, 2, &p);
  expect_pairs(p, {{0.5411961f, 0}, {0, 1}});

  // Links on an odd or the last channel, or towards a partner past the scene, are ignored.
  s = scene_of(doc.get(), 3);
  s->channels[1].link = true;
  s->channels[2].link = true;
  rig_plan_from_scene(s, 3, &p);
  expect_pairs(p, {{1, 1}, {1, 1}, {1, 1}});
  s->channel_count = 1;
  s->channels[0].link = true;
  rig_plan_from_scene(s, 4, &p);
  EXPECT_EQ(p.channel_count, 4);
  expect_pairs(p, {{1, 1}, {0, 0}, {0, 0}, {0, 0}});
}

TEST(RigPlan, BadValuesAreClampedOrSilenced) {
  DocPtr doc(rig_doc_new());
  RigScene* s = scene_of(doc.get(), 4);
  s->channels[0].gain = kNaN;
  s->channels[1].gain = 10.0f;
  s->channels[2].gain = -1.0f;
  s->channels[3].muted = true;
  s->master_gain = kNaN;
  RigPlan a, b;
  rig_plan_from_scene(s, 4, &a);
  EXPECT_EQ(a.master, 0.0f);
  expect_pairs(a, {{0, 0}, {RIG_MAX_GAIN, RIG_MAX_GAIN}, {0, 0}, {0, 0}});
  s->master_gain = 100.0f;
  rig_plan_from_scene(s, 400, &b);
  EXPECT_EQ(b.master, RIG_MAX_GAIN);
  EXPECT_EQ(b.channel_count, 64);

  rig_plan_from_scene(s, 4, &a);
  rig_plan_from_scene(s, 4, &b);
  EXPECT_TRUE(rig_plan_equal(&a, &b));
  s->channels[3].muted = false;
  rig_plan_from_scene(s, 4, &b);
  EXPECT_FALSE(rig_plan_equal(&a, &b));
}

TEST(RigPlan, DefaultPlanPlaysInputsOneAndTwo) {
  RigPlan p;
  rig_default_plan("wasapi", 4, &p);
  EXPECT_EQ(p.master, 1.0f);
  expect_pairs(p, {{1, 0}, {0, 1}, {0, 0}, {0, 0}});
  rig_default_plan("asio", 2, &p);  // no pair on asio: two centred singles
  expect_pairs(p, {{1, 1}, {1, 1}});
  rig_default_plan("mme", 1, &p);
  expect_pairs(p, {{1, 1}});

  // A new rig for a device means the same mix as the device's fallback.
  DocPtr doc(rig_doc_new());
  ASSERT_EQ(rig_doc_init_for_device(doc.get(), "", "wasapi", "Mic", 6, nullptr, 0, "kelp", 1.0), 0);
  RigPlan fresh;
  rig_plan_from_scene(&doc->scenes[0], 6, &fresh);
  rig_default_plan("wasapi", 6, &p);
  EXPECT_TRUE(rig_plan_equal(&fresh, &p));
}

// --- Mixer ------------------------------------------------------------------------------

TEST(RigMixer, SilentUntilAPlanWithTheBoundTagArrives) {
  MixerPtr m = bound_mixer(2);
  Signal s = constant_inputs({0.5f, 0.25f}, 48000);
  run(m.get(), &s, 0, 4800);
  for (size_t k = 0; k < s.left.size(); k++) ASSERT_EQ(s.left[k] + s.right[k], 0.0f) << k;
  RigMeters mt;
  rig_read_meters(m.get(), &mt);
  EXPECT_TRUE(mt.waiting);
  EXPECT_FALSE(mt.on_fallback);
  EXPECT_EQ(mt.bound_channels, 2);
  EXPECT_EQ(mt.bound_tag, kTag);
  EXPECT_EQ(mt.input_peak[0], 0.5f);  // inputs are metered even while silent
  EXPECT_EQ(mt.post_gain_peak[0], 0.0f);

  // The first plan after binding ramps in at most 20 ms, whatever ramp it asked for.
  RigPlan p = plan_of(2, {{1.0f, 0.0f}, {0.0f, 2.0f}});
  rig_publish_plan(m.get(), &p, kTag, 5.0);
  run(m.get(), &s, 4800, 4800 + 960 + 256);
  EXPECT_EQ(s.left.back(), 0.5f);
  EXPECT_EQ(s.right.back(), 0.5f);
  EXPECT_LT(s.left[4800 + 480], 0.5f);  // still ramping halfway
  rig_read_meters(m.get(), &mt);
  EXPECT_FALSE(mt.waiting);
  EXPECT_FALSE(mt.on_fallback);
}

class RigFallback : public ::testing::TestWithParam<int> {};

TEST_P(RigFallback, FadesToTheDevicePlanAfterOneSecond) {
  int block = GetParam();
  MixerPtr m = bound_mixer(4);
  Signal s = constant_inputs({0.25f, 0.5f, 0.9f, 0.9f}, 52000);
  run(m.get(), &s, 0, 47999, block);
  RigMeters mt;
  rig_read_meters(m.get(), &mt);
  EXPECT_TRUE(mt.waiting);
  EXPECT_FALSE(mt.on_fallback);
  run(m.get(), &s, 47999, 52000, block);
  ASSERT_EQ(s.left.size(), 52000u);
  // Silent for exactly one second, then a 20 ms (960 samples) ramp, then inputs 1 and 2.
  for (int k = 0; k <= 48000; k++) ASSERT_EQ(s.left[k] + s.right[k], 0.0f) << k;
  EXPECT_GT(s.left[48001], 0.0f);
  EXPECT_LT(s.left[48000 + 959], 0.25f);
  for (int k = 48000 + 960; k < 52000; k++) {
    ASSERT_EQ(s.left[k], 0.25f) << k;
    ASSERT_EQ(s.right[k], 0.5f) << k;
  }
  // Channel and master gains both rise from 0, so the fade is their product.
  EXPECT_LE(max_step(s.left, 48000, 49000), 2 * 0.25f / 960 + 1e-6f);
  rig_read_meters(m.get(), &mt);
  EXPECT_FALSE(mt.waiting);
  EXPECT_TRUE(mt.on_fallback);

  // A plan for the stream takes over from the fallback.
  RigPlan p = plan_of(4, {{0, 0}, {0, 0}, {1, 1}});
  rig_publish_plan(m.get(), &p, kTag, 0.0);
  s.left.clear();
  s.right.clear();
  run(m.get(), &s, 0, 2000, block);
  EXPECT_EQ(s.left.back(), 0.9f);
  rig_read_meters(m.get(), &mt);
  EXPECT_FALSE(mt.on_fallback);
}

INSTANTIATE_TEST_SUITE_P(Blocks, RigFallback, ::testing::Values(1, 256, 1000, 4096));

TEST(RigMixer, NoFallbackWithoutOneOrAfterASilencedPlan) {
  MixerPtr none = bound_mixer(2, "wasapi", false);
  Signal a = constant_inputs({0.5f, 0.5f}, 2 * 48000);
  run(none.get(), &a, 0, 2 * 48000);
  EXPECT_EQ(a.left.back(), 0.0f);

  MixerPtr m = bound_mixer(2);
  rig_publish_plan(m.get(), nullptr, 0, 0.0);
  Signal s = constant_inputs({0.5f, 0.5f}, 2 * 48000);
  run(m.get(), &s, 0, 2 * 48000);
  for (float v : s.left) ASSERT_EQ(v, 0.0f);
  RigMeters mt;
  rig_read_meters(m.get(), &mt);
  EXPECT_TRUE(mt.waiting);
  EXPECT_FALSE(mt.on_fallback);
}

TEST(RigMixer, StaleTagRampsToSilenceThenFallsBack) {
  MixerPtr m = bound_mixer(2);
  RigPlan p = plan_of(2, {{1, 1}, {1, 1}});
  rig_publish_plan(m.get(), &p, kTag, 0.0);
  Signal s = constant_inputs({0.25f, 0.25f}, 3 * 48000);
  run(m.get(), &s, 0, 2000);
  EXPECT_EQ(s.left.back(), 0.5f);

  rig_publish_plan(m.get(), &p, kTag + 1, 0.1);  // meant for another stream
  run(m.get(), &s, 2000, 2000 + 4801);
  EXPECT_EQ(s.left.back(), 0.0f);
  EXPECT_GT(s.left[2000 + 4799], 0.0f);  // the last ramp sample; the target comes after it
  EXPECT_LE(max_step(s.left, 2000, 6801), 2 * 0.5f / 4800 + 1e-6f);  // channel and master
  RigMeters mt;
  rig_read_meters(m.get(), &mt);
  EXPECT_TRUE(mt.waiting);

  run(m.get(), &s, 6801, 2000 + 48000 + 2000);
  EXPECT_EQ(s.left.back(), 0.25f);  // fallback: input 1 left, input 2 right
  EXPECT_EQ(s.right.back(), 0.25f);
  rig_read_meters(m.get(), &mt);
  EXPECT_TRUE(mt.on_fallback);
}

TEST(RigMixer, RebindingTheSameDevicePicksUpItsPlanQuickly) {
  MixerPtr m = bound_mixer(2);
  RigPlan p = plan_of(2, {{2, 0}, {0, 2}});
  rig_publish_plan(m.get(), &p, kTag, 3.0);
  Signal s = constant_inputs({0.25f, 0.25f}, 2000);
  run(m.get(), &s, 0, 2000);
  EXPECT_EQ(s.left.back(), 0.5f);
  RigPlan fallback;
  rig_default_plan("wasapi", 2, &fallback);
  rig_bind_stream(m.get(), 48000, 2, kTag, &fallback);  // the stream came back
  Signal t = constant_inputs({0.25f, 0.25f}, 2000);
  run(m.get(), &t, 0, 1000);
  EXPECT_EQ(t.left[0], 0.0f);
  EXPECT_EQ(t.left.back(), 0.5f);
}

TEST(RigMixer, TimesFollowTheBoundRate) {
  // 44.1 kHz: the fallback comes after 44,100 samples and fades in over 882.
  MixerPtr m(rig_mixer_new());
  RigPlan fallback;
  rig_default_plan("wasapi", 2, &fallback);
  rig_bind_stream(m.get(), 44100, 2, kTag, &fallback);
  Signal s = constant_inputs({0.25f, 0.5f}, 46000);
  run(m.get(), &s, 0, 46000, 1000);
  for (int k = 0; k <= 44100; k++) ASSERT_EQ(s.left[k], 0.0f) << k;
  EXPECT_LT(s.left[44100 + 881], 0.25f);
  EXPECT_EQ(s.left[44100 + 882], 0.25f);

  // A rate out of range counts as 48 kHz.
  for (double rate : {0.0, -1.0, std::nan(""), 2e7}) {
    rig_bind_stream(m.get(), rate, 2, kTag, &fallback);
    Signal t = constant_inputs({0.25f, 0.5f}, 49000);
    run(m.get(), &t, 0, 49000, 4096);
    EXPECT_EQ(t.left[48000], 0.0f) << rate;
    EXPECT_GT(t.left[48001], 0.0f) << rate;
  }

  // Ramps are cut at 10 s; the first plan after binding ramps in at most 20 ms.
  rig_bind_stream(m.get(), 48000, 1, kTag, nullptr);
  RigPlan unity = plan_of(1, {{1, 1}});
  rig_publish_plan(m.get(), &unity, kTag, 1e9);
  Signal u = constant_inputs({1.0f}, 482000);
  run(m.get(), &u, 0, 1000, 1000);
  EXPECT_LT(u.left[959], 1.0f);
  EXPECT_EQ(u.left[960], 1.0f);
  RigPlan half = plan_of(1, {{0.5f, 0.5f}});
  rig_publish_plan(m.get(), &half, kTag, 1e9);
  run(m.get(), &u, 1000, 481001, 4096);
  EXPECT_GT(u.left[1000 + 479999], 0.5f);
  EXPECT_EQ(u.left[1000 + 480000], 0.5f);
}

TEST(RigMixer, NonFiniteInputsAreCountedAndNeverReachTheOutput) {
  MixerPtr m = bound_mixer(3);
  RigPlan p = plan_of(3, {{1, 1}, {1, 1}, {RIG_MAX_GAIN, RIG_MAX_GAIN}});
  rig_publish_plan(m.get(), &p, kTag, 0.05);  // still ramping over the first samples
  Signal s = constant_inputs({0.25f, 0.25f, 0.0f}, 4096);
  s.in[0][10] = kNaN;
  s.in[0][3000] = kInf;
  s.in[1][3001] = -kInf;
  run(m.get(), &s, 0, 4096, 512);
  for (size_t k = 0; k < s.left.size(); k++) {
    ASSERT_TRUE(std::isfinite(s.left[k])) << k;
    ASSERT_TRUE(std::isfinite(s.right[k])) << k;
  }
  EXPECT_EQ(s.left[3000], 0.25f);  // only the good input is heard
  EXPECT_EQ(s.left[3001], 0.25f);
  RigMeters mt;
  rig_read_meters(m.get(), &mt);
  EXPECT_EQ(mt.bad_mask, 0b011u);
  EXPECT_EQ(mt.bad_total, 3u);
  EXPECT_EQ(mt.input_peak[0], 0.25f);

  // Finite but huge inputs overflow the sum: the output is zeroed and counted, not passed on.
  Signal big = constant_inputs({3e38f, 3e38f, 3e38f}, 256);
  run(m.get(), &big, 0, 256);
  for (float v : big.left) ASSERT_TRUE(std::isfinite(v));
  rig_read_meters(m.get(), &mt);
  EXPECT_EQ(mt.bad_mask, 0u);
  EXPECT_GT(mt.bad_total, 3u);
  EXPECT_TRUE(std::isfinite(mt.post_gain_peak[2]));

  // Without a rig the inputs go straight through, still cleaned.
  float in1[4] = {0.5f, kNaN, -kInf, 0.25f};
  const float* one[1] = {in1};
  float l[4], r[4];
  ASSERT_EQ(rig_mix(nullptr, one, 1, l, r, 4), 4);
  EXPECT_EQ(l[0], 0.5f);
  EXPECT_EQ(r[0], 0.5f);
  EXPECT_EQ(l[1], 0.0f);
  EXPECT_EQ(r[2], 0.0f);
  EXPECT_EQ(l[3], 0.25f);
  float in2[4] = {1, 2, 3, 4};
  const float* two[2] = {in1, in2};
  rig_mix(nullptr, two, 2, l, r, 4);
  EXPECT_EQ(l[0], 0.5f);
  EXPECT_EQ(r[0], 1.0f);
  rig_mix(nullptr, nullptr, 0, l, r, 4);
  EXPECT_EQ(l[0] + r[0], 0.0f);
}

TEST(RigMixer, RampsAreLinearAndClickFree) {
  MixerPtr m = bound_mixer(1);
  RigPlan unity = plan_of(1, {{1, 1}});
  rig_publish_plan(m.get(), &unity, kTag, 0.0);
  Signal s = constant_inputs({1.0f}, 48000);
  run(m.get(), &s, 0, 1000);
  ASSERT_EQ(s.left.back(), 1.0f);

  // Up to +12 dB over 50 ms (2400 samples), then down to silence from halfway up.
  RigPlan loud = plan_of(1, {{RIG_MAX_GAIN, RIG_MAX_GAIN}});
  rig_publish_plan(m.get(), &loud, kTag, 0.05);
  run(m.get(), &s, 1000, 2200, 100);
  float up = (RIG_MAX_GAIN - 1.0f) / 2400;
  EXPECT_NEAR(s.left.back(), 1.0f + up * 1199, 1e-4);
  // Asking again for the same target does not restart or slow the ramp.
  rig_publish_plan(m.get(), &loud, kTag, 9.0);
  run(m.get(), &s, 2200, 3400, 100);
  EXPECT_NEAR(s.left[3399], RIG_MAX_GAIN - up, 1e-5);  // ramp samples 1000..3399
  run(m.get(), &s, 3400, 3401, 100);
  EXPECT_EQ(s.left.back(), RIG_MAX_GAIN);
  EXPECT_LE(max_step(s.left, 1000, 3401), up * 1.001f);

  RigPlan quiet = plan_of(1, {{0, 0}});
  rig_publish_plan(m.get(), &quiet, kTag, 0.1);
  run(m.get(), &s, 3401, 3400 + 2400, 333);
  rig_publish_plan(m.get(), &loud, kTag, 0.1);  // reverse mid-ramp
  run(m.get(), &s, 5800, 5800 + 6000, 333);
  EXPECT_LE(max_step(s.left, 3400, 11800), RIG_MAX_GAIN / 4800 * 1.001f);
  EXPECT_EQ(s.left.back(), RIG_MAX_GAIN);

  // The master stage ramps the same way.
  RigPlan master = plan_of(1, {{RIG_MAX_GAIN, RIG_MAX_GAIN}}, 2.0f);
  rig_publish_plan(m.get(), &master, kTag, 0.02);
  run(m.get(), &s, 11800, 13800, 256);
  EXPECT_LE(max_step(s.left, 11800, 13800), RIG_MAX_GAIN / 960 * 1.001f);
  EXPECT_EQ(s.left.back(), 2.0f * RIG_MAX_GAIN);
}

TEST(RigMixer, MissingInputsStillAdvanceTheirRamps) {
  MixerPtr m = bound_mixer(2);
  RigPlan p = plan_of(2, {{0, 0}, {1, 1}});
  rig_publish_plan(m.get(), &p, kTag, 0.0);
  Signal s = constant_inputs({0.5f, 0.5f}, 4000);
  s.in[1].clear();  // the stream does not deliver input 2 for now
  run(m.get(), &s, 0, 2000);
  EXPECT_EQ(s.left.back(), 0.0f);
  s.in[1].assign(4000, 0.5f);
  run(m.get(), &s, 2000, 2001);
  EXPECT_EQ(s.left.back(), 0.5f);  // the ramp ran while the input was absent
}

TEST(RigMixer, MetersTakeMaxAndAreResetOnRead) {
  MixerPtr m = bound_mixer(3);
  RigPlan p = plan_of(3, {{2, 0}, {0, 1}, {0, 0}});
  rig_publish_plan(m.get(), &p, kTag, 0.0);
  Signal s = constant_inputs({0.0f, 0.0f, 0.0f}, 4000);
  s.in[0][1500] = -0.5f;
  s.in[1][1700] = 0.9995f;
  s.in[2][1800] = 0.3f;
  run(m.get(), &s, 0, 2000);
  RigMeters mt;
  rig_read_meters(m.get(), &mt);
  EXPECT_EQ(mt.input_peak[0], 0.5f);
  EXPECT_EQ(mt.post_gain_peak[0], 1.0f);
  EXPECT_EQ(mt.input_peak[1], 0.9995f);
  EXPECT_EQ(mt.input_peak[2], 0.3f);
  EXPECT_EQ(mt.post_gain_peak[2], 0.0f);  // muted
  EXPECT_EQ(mt.clip_mask, 0b010u);
  EXPECT_EQ(mt.output_peak_left, 1.0f);
  EXPECT_EQ(mt.output_peak_right, 0.9995f);
  EXPECT_TRUE(mt.output_clipped);
  EXPECT_EQ(mt.bad_mask, 0u);

  rig_read_meters(m.get(), &mt);
  EXPECT_EQ(mt.input_peak[0], 0.0f);
  EXPECT_EQ(mt.clip_mask, 0u);
  EXPECT_FALSE(mt.output_clipped);
  EXPECT_EQ(mt.bound_channels, 3);
  EXPECT_EQ(mt.bound_tag, kTag);

  // A callback larger than the mixer handles is cut, never overrun.
  std::vector<float> in(5000, 0.1f), l(5000, 7.0f), r(5000, 7.0f);
  const float* ptrs[1] = {in.data()};
  EXPECT_EQ(rig_mix(m.get(), ptrs, 1, l.data(), r.data(), 5000), RIG_MAX_FRAMES);
  EXPECT_EQ(l[RIG_MAX_FRAMES], 7.0f);
  EXPECT_EQ(rig_mix(m.get(), ptrs, 1, l.data(), r.data(), 0), 0);
}

TEST(RigMixer, ShownMetersFallAndHold) {
  RigShownLevel lv;
  rig_shown_level_reset(&lv);
  EXPECT_EQ(rig_level_db(0.0f), -200.0f);
  rig_shown_level_update(&lv, 1.0f, 0.016);
  EXPECT_EQ(lv.level, 0.0f);
  EXPECT_EQ(lv.hold, 0.0f);
  rig_shown_level_update(&lv, 0.0f, 0.5);
  EXPECT_FLOAT_EQ(lv.level, -12.0f);
  EXPECT_EQ(lv.hold, 0.0f);
  rig_shown_level_update(&lv, 0.0f, 5.0);  // dt counts at most 1 s
  EXPECT_FLOAT_EQ(lv.level, -36.0f);
  EXPECT_FLOAT_EQ(lv.hold, -36.0f);
  rig_shown_level_update(&lv, 1e6f, 0.1);
  EXPECT_EQ(lv.level, 24.0f);
}

// Plans published on one thread while another mixes: every callback sees whole plans only.
// Plan k gives inputs 1 and 64 the same gain k, so a plan torn between them would show up as
// an output that is not a multiple of 1 + 1000.
TEST(RigMixerThreads, PlansCrossWithoutTearing) {
  MixerPtr m = bound_mixer(64, "wasapi", false);  // no fallback mix before the first plan
  std::atomic<bool> stop{false};
  std::atomic<int> published{0};
  std::thread ui([&] {
    RigPlan p = {};
    p.channel_count = 64;
    p.master = 1.0f;
    for (int k = 1; !stop.load(std::memory_order_relaxed); k = k % 1000 + 1) {
      for (int i = 0; i < 64; i++) p.left[i] = p.right[i] = (float)k;
      rig_publish_plan(m.get(), &p, kTag, 1e-9);  // one-sample ramps
      RigMeters mt;
      rig_read_meters(m.get(), &mt);
      published.fetch_add(1, std::memory_order_relaxed);
    }
  });

  std::vector<float> one(64, 1.0f), thousand(64, 1000.0f), l(64), r(64);
  std::vector<const float*> ptrs(64, nullptr);
  ptrs[0] = one.data();
  ptrs[63] = thousand.data();
  int bad = 0, nonzero = 0;
  auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(300) ||
         published.load() < 1000) {
    rig_mix(m.get(), ptrs.data(), 64, l.data(), r.data(), 64);
    float v = l[63] / 1001.0f;
    if (v != std::floor(v) || l[63] != r[63]) bad++;
    if (l[63] != 0.0f) nonzero++;
  }
  stop = true;
  ui.join();
  EXPECT_EQ(bad, 0);
  EXPECT_GT(nonzero, 0);

  // Once the publisher is quiet the last plan is the one heard.
  RigPlan last = plan_of(64, {{3, 3}});
  rig_publish_plan(m.get(), &last, kTag, 0.0);
  for (int i = 0; i < 20; i++) rig_mix(m.get(), ptrs.data(), 64, l.data(), r.data(), 64);
  EXPECT_EQ(l[63], 3.0f);
}

// Meters taken on one thread while another mixes: with a peak that rises every callback, each
// take holds the latest peak since the one before, and the last peak is never lost.
TEST(RigMixerThreads, MetersTakenWhileMixingLoseNoPeak) {
  MixerPtr m = bound_mixer(2);
  std::atomic<bool> stop{false};
  std::atomic<int> found{0};
  std::vector<float> taken;
  std::thread ui([&] {
    while (!stop.load(std::memory_order_acquire)) {
      RigMeters mt;
      rig_read_meters(m.get(), &mt);
      if (mt.input_peak[1] > 0.0f) {
        taken.push_back(mt.input_peak[1]);
        found.fetch_add(1, std::memory_order_relaxed);
      }
    }
  });
  std::vector<float> quiet(16, 0.0f), rising(16), l(16), r(16);
  const float* ptrs[2] = {quiet.data(), rising.data()};
  int k = 0;
  // Until many takes have found a peak, or the peaks would stop being exact (2^24).
  while (k < 4000000 && found.load(std::memory_order_relaxed) < 300) {
    rising.assign(16, (float)++k);
    rig_mix(m.get(), ptrs, 2, l.data(), r.data(), 16);
  }
  stop.store(true, std::memory_order_release);
  ui.join();
  RigMeters mt;
  rig_read_meters(m.get(), &mt);
  if (mt.input_peak[1] > 0.0f) taken.push_back(mt.input_peak[1]);
  ASSERT_FALSE(taken.empty());
  for (size_t i = 1; i < taken.size(); i++) ASSERT_LT(taken[i - 1], taken[i]) << i;
  EXPECT_EQ(taken.back(), (float)k);
}
