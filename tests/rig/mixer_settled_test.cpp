// The mixer takes a faster way once every gain has settled (no per-sample cleaning; a NaN or
// infinity sends the callback back the exact way). Whichever way a callback goes, and however
// the stream is cut into callbacks, the outputs and meters must come out the same.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "rig/mixer.h"

namespace {

constexpr uint32_t kTag = 0x5E77;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct Rng {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double uni() { return (double)(next() >> 11) / 9007199254740992.0; }
  int range(int lo, int hi) { return lo + (int)(next() % (uint64_t)(hi - lo + 1)); }
};

struct Mixer {
  RigMixer* m;
  explicit Mixer(int channels) : m(rig_mixer_new()) {
    RigPlan fallback;
    rig_default_plan("wasapi", channels, &fallback);
    rig_bind_stream(m, 48000, channels, kTag, &fallback);
  }
  ~Mixer() { rig_mixer_free(m); }
};

// A plan with varied gains: some channels silent, some one-sided, one negative.
RigPlan varied_plan(int channels, uint64_t seed, float master) {
  Rng r{seed};
  RigPlan p = {};
  p.channel_count = channels;
  p.master = master;
  for (int i = 0; i < channels; i++) {
    int q = r.range(0, 9);
    float g = (float)r.uni() * 2.0f;
    p.left[i] = q == 0 ? 0.0f : g;
    p.right[i] = q == 0 || q == 1 ? 0.0f : g * 0.6f;
  }
  p.left[channels / 2] = -0.4f;
  return p;
}

struct Stream {
  std::vector<std::vector<float>> in;
  std::vector<float> left, right;
};

Stream noise(int channels, int frames, uint64_t seed) {
  Rng r{seed};
  Stream s;
  s.in.assign((size_t)channels, std::vector<float>((size_t)frames));
  for (auto& ch : s.in)
    for (float& v : ch) v = (float)(r.uni() * 1.6 - 0.8);
  return s;
}

// Mixes frames [from, to) in callbacks of `block` frames (0: random sizes up to 4,096).
void mix(RigMixer* m, Stream* s, int from, int to, int block, Rng* cuts, int inputs = -1) {
  if (inputs < 0) inputs = (int)s->in.size();
  std::vector<const float*> ptrs((size_t)inputs);
  std::vector<float> l(RIG_MAX_FRAMES), r(RIG_MAX_FRAMES);
  for (int at = from; at < to;) {
    int n = block > 0 ? block : (cuts->range(0, 2) == 0 ? cuts->range(1, 9) : cuts->range(1, 4096));
    if (n > to - at) n = to - at;
    for (int i = 0; i < inputs; i++) ptrs[(size_t)i] = s->in[(size_t)i].data() + at;
    ptrs[3] = nullptr;  // a stream without input 4
    ASSERT_EQ(rig_mix(m, ptrs.data(), inputs, l.data(), r.data(), n), n);
    s->left.insert(s->left.end(), l.begin(), l.begin() + n);
    s->right.insert(s->right.end(), r.begin(), r.begin() + n);
    at += n;
  }
}

void expect_same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); i++) {
    ASSERT_EQ(std::memcmp(&a[i], &b[i], sizeof(float)), 0)
        << "sample " << i << ": " << a[i] << " vs " << b[i];
  }
}

void expect_same_meters(const RigMeters& a, const RigMeters& b, bool post_gain = true) {
  for (int i = 0; i < RIG_MAX_CHANNELS; i++) {
    EXPECT_EQ(a.input_peak[i], b.input_peak[i]) << i;
    if (post_gain) {
      EXPECT_EQ(a.post_gain_peak[i], b.post_gain_peak[i]) << i;
    }
  }
  EXPECT_EQ(a.clip_mask, b.clip_mask);
  EXPECT_EQ(a.bad_mask, b.bad_mask);
  EXPECT_EQ(a.bad_total, b.bad_total);
  EXPECT_EQ(a.output_peak_left, b.output_peak_left);
  EXPECT_EQ(a.output_peak_right, b.output_peak_right);
  EXPECT_EQ(a.output_clipped, b.output_clipped);
}

TEST(RigMixerSettled, CallbackSizesDoNotChangeOutputsOrMeters) {
  constexpr int kChannels = 64, kSection = 24000;
  Stream base = noise(kChannels, 5 * kSection, 7);
  const RigPlan plans[] = {varied_plan(kChannels, 1, 1.0f), varied_plan(kChannels, 2, 0.7f)};
  Stream fixed = base, cut = base;
  Mixer a(kChannels), b(kChannels);
  Rng cuts{99};
  // Sections: settle on a plan, ramp to another over 0.3 s, settle, ramp back, settle. Meters
  // are read where both runs have a callback boundary.
  for (int k = 0; k < 5; k++) {
    if (k % 2 == 0) {
      rig_publish_plan(a.m, &plans[k / 2 % 2], kTag, 0.3);
      rig_publish_plan(b.m, &plans[k / 2 % 2], kTag, 0.3);
    }
    mix(a.m, &fixed, k * kSection, (k + 1) * kSection, 256, nullptr);
    mix(b.m, &cut, k * kSection, (k + 1) * kSection, 0, &cuts);
    RigMeters ma, mb;
    rig_read_meters(a.m, &ma);
    rig_read_meters(b.m, &mb);
    // The post-gain peak is a callback's peak times its largest gain, so it depends on the
    // cuts while a ramp runs (sections 0 and 2 start with one).
    expect_same_meters(ma, mb, k % 2 == 1);
    EXPECT_GT(ma.input_peak[5], 0.5f);
    EXPECT_EQ(ma.input_peak[3], 0.0f);  // no input 4
  }
  expect_same_bits(fixed.left, cut.left);
  expect_same_bits(fixed.right, cut.right);

  // Fewer inputs than bound channels, and single samples.
  Stream few_a = base, few_b = base;
  mix(a.m, &few_a, 0, 3000, 256, nullptr, 40);
  mix(b.m, &few_b, 0, 3000, 1, nullptr, 40);
  expect_same_bits(few_a.left, few_b.left);
  expect_same_bits(few_a.right, few_b.right);
}

TEST(RigMixerSettled, ANonFiniteInputCostsOnlyItsOwnSample) {
  constexpr int kChannels = 16, kFrames = 4096;
  for (float master : {1.0f, 0.0f}) {
    for (float bad : {kNaN, kInf, -kInf}) {
      for (int channel : {2, 5, 9}) {  // audible both sides, left only, silent
        SCOPED_TRACE(testing::Message()
                     << "master " << master << " value " << bad << " channel " << channel);
        RigPlan plan = varied_plan(kChannels, 3, master);
        plan.left[2] = 0.5f;
        plan.right[2] = 0.8f;
        plan.left[5] = 0.9f;
        plan.right[5] = 0.0f;
        plan.left[9] = plan.right[9] = 0.0f;
        Stream clean = noise(kChannels, kFrames, 11), dirty = clean;
        clean.in[(size_t)channel][1000] = 0.0f;
        dirty.in[(size_t)channel][1000] = bad;
        Mixer a(kChannels), b(kChannels);
        rig_publish_plan(a.m, &plan, kTag, 0.0);
        rig_publish_plan(b.m, &plan, kTag, 0.0);
        Stream warm = noise(kChannels, 2048, 5), warm2 = warm;
        mix(a.m, &warm, 0, 2048, 256, nullptr);  // past the first 20 ms ramp
        mix(b.m, &warm2, 0, 2048, 256, nullptr);
        RigMeters skip;
        rig_read_meters(a.m, &skip);
        rig_read_meters(b.m, &skip);

        // Meters after every callback: the one holding the bad sample went the exact way.
        for (int at = 0; at < kFrames; at += 256) {
          mix(a.m, &clean, at, at + 256, 256, nullptr);
          mix(b.m, &dirty, at, at + 256, 256, nullptr);
          RigMeters ma, mb;
          rig_read_meters(a.m, &ma);
          rig_read_meters(b.m, &mb);
          EXPECT_EQ(ma.bad_mask, 0u);
          EXPECT_EQ(mb.bad_total, ma.bad_total + (at >= 768 ? 1 : 0));
          if (at == 768) {
            EXPECT_EQ(mb.bad_mask, 1ull << channel);
            mb.bad_mask = 0;
          }
          mb.bad_total = ma.bad_total;
          expect_same_meters(ma, mb);
        }
        expect_same_bits(clean.left, dirty.left);
        expect_same_bits(clean.right, dirty.right);
      }
    }
  }
}

TEST(RigMixerSettled, InputsThatComeAndGoBetweenCallbacksAreMixedAsTheyAre) {
  // The settled way keeps its list of channels between callbacks; a stream that drops an input
  // for a callback, or hands over fewer inputs, must still be mixed as it is. Expected: each
  // frame's products summed in channel order, times the master.
  constexpr int kChannels = 8, kBlock = 64;
  RigPlan plan = varied_plan(kChannels, 9, 0.8f);
  Mixer a(kChannels);
  rig_publish_plan(a.m, &plan, kTag, 0.0);
  Stream warm = noise(kChannels, 2048, 5);
  mix(a.m, &warm, 0, 2048, 256, nullptr);  // past the first ramp
  Stream s = noise(kChannels, 40 * kBlock, 17);
  Rng r{23};
  std::vector<const float*> ptrs(kChannels);
  std::vector<float> l(kBlock), rr(kBlock);
  for (int k = 0; k < 40; k++) {
    const int inputs = r.range(0, 3) == 0 ? r.range(1, kChannels) : kChannels;
    for (int i = 0; i < kChannels; i++)
      ptrs[(size_t)i] = r.range(0, 4) == 0 ? nullptr : s.in[(size_t)i].data() + k * kBlock;
    ASSERT_EQ(rig_mix(a.m, ptrs.data(), inputs, l.data(), rr.data(), kBlock), kBlock);
    for (int f = 0; f < kBlock; f++) {
      float want_l = 0.0f, want_r = 0.0f;
      for (int i = 0; i < inputs; i++) {
        if (!ptrs[(size_t)i] || (plan.left[i] == 0.0f && plan.right[i] == 0.0f)) continue;
        want_l += ptrs[(size_t)i][f] * plan.left[i];
        want_r += ptrs[(size_t)i][f] * plan.right[i];
      }
      ASSERT_EQ(l[(size_t)f], want_l * plan.master) << "callback " << k << " frame " << f;
      ASSERT_EQ(rr[(size_t)f], want_r * plan.master) << "callback " << k << " frame " << f;
    }
  }
}

TEST(RigMixerSettled, AnOverflowingSumIsZeroedAndCounted) {
  constexpr int kChannels = 4, kFrames = 512;
  RigPlan plan = {};
  plan.channel_count = kChannels;
  plan.master = 1.0f;
  for (int i = 0; i < kChannels; i++) plan.left[i] = plan.right[i] = 3.0f;
  Mixer a(kChannels);
  rig_publish_plan(a.m, &plan, kTag, 0.0);
  Stream warm = noise(kChannels, 2048, 5);
  mix(a.m, &warm, 0, 2048, 256, nullptr);
  RigMeters m;
  rig_read_meters(a.m, &m);

  Stream s = noise(kChannels, kFrames, 13);
  for (auto& ch : s.in) ch[100] = 3.0e38f;  // finite, but the sum is not
  mix(a.m, &s, 0, kFrames, 256, nullptr);
  rig_read_meters(a.m, &m);
  EXPECT_EQ(s.left[100], 0.0f);
  EXPECT_EQ(s.right[100], 0.0f);
  EXPECT_NE(s.left[101], 0.0f);
  EXPECT_EQ(m.bad_mask, 0u);     // no input was bad
  EXPECT_EQ(m.bad_total, 2u);    // the two outputs were
  EXPECT_EQ(m.clip_mask, 0x7u);  // input 4 is missing
  EXPECT_EQ(m.input_peak[0], 3.0e38f);
}

}  // namespace
