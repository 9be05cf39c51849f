// The settled mix has a kernel per vector width (4, 8 and 16 samples) and takes the processor's
// widest. Every width must give the same bits and the same meters as the four-lane one, so a
// recording never depends on the machine it was made on beyond that.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "rig/mixer.h"
#include "rig/mixer_internal.h"

namespace {

constexpr uint32_t kTag = 0x1A7E;
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
  float uni() { return (float)((double)(next() >> 11) / 9007199254740992.0); }
  int range(int lo, int hi) { return lo + (int)(next() % (uint64_t)(hi - lo + 1)); }
};

struct Case {
  const char* name;
  int channels;
  float master;
  int audible;   // channels 0 .. audible - 1 have gains, the rest are metered only
  int missing;   // an input the stream does not have (-1: none)
  float oddity;  // written into channel `odd_channel` at one frame (0: nothing)
  int odd_channel;
  bool negative_zero_gain;
  int centred = 0;  // 0: gains as they come; 1: every input in the centre; 2: runs of both
};

struct Mixed {
  std::vector<float> left, right;
  std::vector<RigMeters> meters;
};

// The same stream through a mixer forced to `lanes`, in callbacks of varied sizes.
Mixed mix_with(int lanes, const Case& c) {
  RigMixer* m = rig_mixer_new();
  m->lanes = lanes;
  rig_bind_stream(m, 48000, c.channels, kTag, nullptr);
  RigPlan plan = {};
  plan.channel_count = c.channels;
  plan.master = c.master;
  Rng r{(uint64_t)c.channels * 31 + (uint64_t)c.audible};
  for (int i = 0; i < c.audible; i++) {
    plan.left[i] = r.range(0, 4) == 0 ? 0.0f : r.uni() * 2.0f - 0.5f;
    plan.right[i] = r.range(0, 4) == 0 ? 0.0f : r.uni() * 1.5f;
    // Runs of 1 to 11 centred inputs between runs of others.
    if (c.centred == 1 || (c.centred == 2 && (i * 7 / 5) % 3 != 1) || (c.centred == 2 && i > 40))
      plan.right[i] = plan.left[i] = plan.left[i] == 0.0f ? 0.3f : plan.left[i];
  }
  if (c.negative_zero_gain) plan.left[0] = -0.0f;

  const int frames = 8000;
  std::vector<std::vector<float>> in((size_t)c.channels, std::vector<float>(frames));
  for (auto& ch : in)
    for (float& v : ch) v = r.uni() * 2.4f - 1.2f;  // some above 0.999: clip bits
  if (c.oddity != 0.0f) in[(size_t)c.odd_channel][300 + 3600] = c.oddity;

  Mixed out;
  std::vector<const float*> ptrs((size_t)c.channels);
  std::vector<float> l(RIG_MAX_FRAMES), rr(RIG_MAX_FRAMES);
  // The plan at unity master first, then the master ramps (20 ms) to the case's, which a ramp
  // can leave at -0; then blocks of every shape.
  RigPlan unity = plan;
  unity.master = 1.0f;
  rig_publish_plan(m, &unity, kTag, 0.0);
  const int blocks[] = {256, 960, 256, 960, 256, 255, 1, 7, 16, 17, 33, 1000, 64, 2048, 4, 256};
  int at = 0;
  for (int b : blocks) {
    if (at + b > frames) break;
    if (at == 1216) rig_publish_plan(m, &plan, kTag, 0.0);
    for (int i = 0; i < c.channels; i++)
      ptrs[(size_t)i] = i == c.missing ? nullptr : in[(size_t)i].data() + at;
    EXPECT_EQ(rig_mix(m, ptrs.data(), c.channels, l.data(), rr.data(), b), b);
    out.left.insert(out.left.end(), l.begin(), l.begin() + b);
    out.right.insert(out.right.end(), rr.begin(), rr.begin() + b);
    RigMeters mt;
    rig_read_meters(m, &mt);
    out.meters.push_back(mt);
    at += b;
  }
  rig_mixer_free(m);
  return out;
}

void expect_same(const Mixed& a, const Mixed& b) {
  ASSERT_EQ(a.left.size(), b.left.size());
  for (size_t i = 0; i < a.left.size(); i++) {
    ASSERT_EQ(std::memcmp(&a.left[i], &b.left[i], sizeof(float)), 0)
        << "left " << i << ": " << a.left[i] << " vs " << b.left[i];
    ASSERT_EQ(std::memcmp(&a.right[i], &b.right[i], sizeof(float)), 0)
        << "right " << i << ": " << a.right[i] << " vs " << b.right[i];
  }
  ASSERT_EQ(a.meters.size(), b.meters.size());
  for (size_t k = 0; k < a.meters.size(); k++) {
    const RigMeters &x = a.meters[k], &y = b.meters[k];
    for (int i = 0; i < RIG_MAX_CHANNELS; i++) {
      EXPECT_EQ(x.input_peak[i], y.input_peak[i]) << "callback " << k << " input " << i;
      EXPECT_EQ(x.post_gain_peak[i], y.post_gain_peak[i]) << "callback " << k << " input " << i;
    }
    EXPECT_EQ(x.clip_mask, y.clip_mask) << k;
    EXPECT_EQ(x.bad_mask, y.bad_mask) << k;
    EXPECT_EQ(x.bad_total, y.bad_total) << k;
    EXPECT_EQ(x.output_peak_left, y.output_peak_left) << k;
    EXPECT_EQ(x.output_peak_right, y.output_peak_right) << k;
    EXPECT_EQ(x.output_clipped, y.output_clipped) << k;
  }
}

TEST(RigMixerLanes, EveryWidthGivesTheSameBitsAndMeters) {
  RigMixer* probe = rig_mixer_new();
  const int widest = probe->lanes;
  rig_mixer_free(probe);
  ASSERT_TRUE(widest == 4 || widest == 8 || widest == 16);

  const Case cases[] = {
      {"one input", 1, 1.0f, 1, -1, 0.0f, 0, false},
      {"three inputs, one missing", 3, 0.8f, 3, 1, 0.0f, 0, false},
      {"nine inputs: a pass and one left over", 9, 1.0f, 9, -1, 0.0f, 0, false},
      {"thirteen: the passes share out", 13, 1.0f, 13, -1, 0.0f, 0, false},
      {"sixty-four audible", 64, 0.5f, 64, 7, 0.0f, 0, false},
      {"sixty-four, most metered only", 64, 1.0f, 2, -1, 0.0f, 0, false},
      {"nothing audible, negative master", 8, -0.5f, 0, -1, 0.0f, 0, false},
      {"negative master", 12, -0.7f, 12, -1, 0.0f, 0, false},
      {"a master of -0", 5, -0.0f, 5, -1, 0.0f, 0, false},
      {"NaN in a mixed input", 10, 1.0f, 10, -1, kNaN, 4, false},
      {"infinity in a metered-only input", 10, 1.0f, 3, -1, kInf, 6, false},
      {"infinity among many metered only", 24, 1.0f, 3, -1, -kInf, 12, false},
      {"NaN in a metered-only input", 20, 1.0f, 3, -1, kNaN, 17, false},
      {"a sum that overflows", 4, 1.0f, 4, -1, 3.0e38f, 2, false},
      {"a gain of -0", 6, 1.0f, 6, -1, 0.0f, 0, true},
      {"every input in the centre", 64, 0.7f, 64, 9, 0.0f, 0, false, 1},
      {"one centred input", 1, 1.0f, 1, -1, 0.0f, 0, false, 1},
      {"centred ones and NaN", 12, 1.0f, 12, -1, kNaN, 5, false, 1},
      {"centred, most metered only", 30, -0.5f, 11, -1, 0.0f, 0, false, 1},
      {"runs of centred and panned", 64, 0.9f, 64, -1, 0.0f, 0, false, 2},
      {"runs with a missing input", 50, 1.0f, 50, 20, 0.0f, 0, false, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Mixed four = mix_with(4, c);
    for (int lanes = 8; lanes <= widest; lanes *= 2) {
      SCOPED_TRACE(testing::Message() << lanes << " lanes");
      expect_same(four, mix_with(lanes, c));
    }
  }
}

}  // namespace
