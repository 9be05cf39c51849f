#include "core/condition.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "core/simd.h"
#include "platform/platform.h"

namespace {

struct Mix {
  XyMixer m;
  CoreRates rates = core_rates_for(48000.0);
  std::vector<float> ol, orr;
  Mix() { xy_mixer_reset(&m); }
  void run(const std::vector<float>& l, const std::vector<float>& r, int channels, float x,
           float y) {
    ol.assign(l.size(), 0.0f);
    orr.assign(l.size(), 0.0f);
    xy_mixer_process(&m, &rates, l.data(), r.data(), channels, x, y, ol.data(), orr.data(),
                     (int)l.size());
  }
};

std::vector<float> noise(int n, unsigned seed) {
  std::vector<float> v((size_t)n);
  for (int i = 0; i < n; i++) {
    seed = seed * 1664525u + 1013904223u;
    v[(size_t)i] = (float)((int)(seed >> 9) - (1 << 22)) / (float)(1 << 22) * 0.8f;
  }
  return v;
}

TEST(CoreRates, CoefficientsAt48kAndConvertedForOtherRates) {
  CoreRates r = core_rates_for(48000.0);
  EXPECT_EQ(r.ratio, 1.0);
  EXPECT_EQ(r.slow_fade, 0.0015f);
  EXPECT_EQ(r.fast_fade, 0.02f);
  EXPECT_EQ(r.scrub_gain, 0.0015f);
  EXPECT_EQ(r.hp_decay, 0.005f);
  EXPECT_EQ(r.hop_size, 256.0);

  r = core_rates_for(96000.0);
  EXPECT_DOUBLE_EQ(r.ratio, 0.5);
  EXPECT_FLOAT_EQ(r.slow_fade, (float)(1.0 - std::pow(0.9985, 0.5)));
  EXPECT_FLOAT_EQ(r.fast_fade, (float)(1.0 - std::pow(0.98, 0.5)));
  EXPECT_FLOAT_EQ(r.hp_decay, (float)(1.0 - std::pow(0.995, 0.5)));
  EXPECT_DOUBLE_EQ(r.hop_size, 512.0);
  EXPECT_DOUBLE_EQ(core_rates_for(44100.0).hop_size, 235.2);

  for (double bad : {0.0, 1000.0, -44100.0, (double)NAN, 10000000.0, (double)INFINITY}) {
    r = core_rates_for(bad);
    EXPECT_EQ(r.rate, 48000.0) << bad;
    EXPECT_EQ(r.slow_fade, 0.0015f) << bad;
  }
  EXPECT_EQ(core_rates_for(1001.0).rate, 1001.0);
}

TEST(CoreXyMixer, CentreAndDeadZoneAreTransparent) {
  std::vector<float> l = noise(512, 1), r = noise(512, 2);
  Mix centre, dead;
  for (int b = 0; b < 20; b++) {
    centre.run(l, r, 2, 0.0f, 0.0f);
    dead.run(l, r, 2, 0.05f, 0.05f);
    ASSERT_EQ(centre.ol, l);
    ASSERT_EQ(centre.orr, r);
    ASSERT_EQ(dead.ol, l);
    ASSERT_EQ(dead.orr, r);
  }
  EXPECT_EQ(xy_dead_zone(0.1f, 0.1f), 0.0f);
  EXPECT_FLOAT_EQ(xy_dead_zone(0.55f, 0.1f), 0.5f);
  EXPECT_FLOAT_EQ(xy_dead_zone(-0.55f, 0.1f), -0.5f);
  EXPECT_EQ(xy_dead_zone(3.0f, 0.1f), 1.0f);
  EXPECT_EQ(xy_dead_zone(0.5f, 5.0f), 0.0f);  // the zone is capped at 0.99
  EXPECT_EQ(xy_dead_zone(1.0f, 5.0f), 1.0f);
}

TEST(CoreXyMixer, FullRightSilencesLeftAndQuartersRight) {
  std::vector<float> l = noise(256, 3), r = noise(256, 4);
  Mix m;
  m.m.smooth_x = 1.0f;  // already arrived at the edge
  m.run(l, r, 2, 1.0f, 0.0f);
  for (size_t i = 0; i < l.size(); i++) {
    ASSERT_EQ(m.ol[i], 0.0f);
    ASSERT_FLOAT_EQ(m.orr[i], 0.25f * r[i]);  // right coefficient 1: no filtering
  }
  // Sweeping there from the centre converges on the same result.
  Mix sweep;
  for (int b = 0; b < 300; b++) sweep.run(l, r, 2, 1.0f, 0.0f);
  EXPECT_NEAR(sweep.m.smooth_x, 1.0f, 1e-6);
  for (size_t i = 0; i < l.size(); i++) {
    ASSERT_NEAR(sweep.ol[i], 0.0f, 1e-6);
    ASSERT_NEAR(sweep.orr[i], 0.25f * r[i], 1e-6);
  }
}

TEST(CoreXyMixer, HalfRightDarkensTheFarSide) {
  // x = 0.5 after the dead zone: left gain 0.3125 with coefficient 0.7, right gain 0.625.
  std::vector<float> impulse(8, 0.0f);
  impulse[0] = 1.0f;
  Mix m;
  m.m.smooth_x = 0.55f;
  m.run(impulse, impulse, 2, 0.55f, 0.0f);
  float gl = 0.5f * (1.0f - 0.375f), al = 0.7f;
  EXPECT_NEAR(m.ol[0], gl * al, 1e-6);
  EXPECT_NEAR(m.ol[1], gl * al * (1.0f - al), 1e-6);
  EXPECT_NEAR(m.ol[2], gl * al * (1.0f - al) * (1.0f - al), 1e-6);
  EXPECT_NEAR(m.orr[0], 0.625f, 1e-6);
  EXPECT_NEAR(m.orr[1], 0.0f, 1e-6);
}

TEST(CoreXyMixer, YSilencesDoublesAndHighPasses) {
  std::vector<float> dc(256, 0.5f);
  Mix down;
  down.m.smooth_y = -1.0f;
  down.run(dc, dc, 2, 0.0f, -1.0f);
  for (float v : down.ol) ASSERT_EQ(v, 0.0f);

  Mix up;
  up.m.smooth_y = 1.0f;
  up.run(dc, dc, 2, 0.0f, 1.0f);
  // Gain 2 and a high-pass of strength 0.18: the first sample is 1 - 0.18, DC then fades.
  EXPECT_NEAR(up.ol[0], 1.0f * (1.0f - 0.18f), 1e-6);
  EXPECT_NEAR(up.ol[1], 1.0f * (1.0f - 0.18f) * (1.0f - 0.18f), 1e-6);
  EXPECT_LT(std::fabs(up.ol[255]), 1e-6);
  EXPECT_EQ(up.ol, up.orr);
}

TEST(CoreXyMixer, SmoothingMovesEighteenPercentPerBlockAt48k) {
  std::vector<float> z(256, 0.0f);
  Mix m;
  m.run(z, z, 2, 1.0f, 0.0f);
  EXPECT_NEAR(m.m.smooth_x, 0.18f, 1e-6);
  m.run(z, z, 2, NAN, INFINITY);  // non-finite counts as 0
  EXPECT_NEAR(m.m.smooth_x, 0.18f * 0.82f, 1e-6);
  EXPECT_NEAR(m.m.smooth_y, 0.0f, 1e-9);
  // Half the block at twice the rate moves as far.
  Mix h;
  h.rates = core_rates_for(96000.0);
  std::vector<float> z2(512, 0.0f);
  h.run(z2, z2, 2, 1.0f, 0.0f);
  EXPECT_NEAR(h.m.smooth_x, 0.18f, 1e-6);
  EXPECT_DOUBLE_EQ(h.m.ratio, 0.5);
}

TEST(CoreConditioning, BlockRateStepsFollowEveryChangeOfBlockLength) {
  // The smoothing and envelope steps depend on the block length and the rate; they are kept
  // between blocks, so every change must be picked up. Expected values by the formulas.
  struct Block {
    int n;
    double rate;
  };
  const Block blocks[] = {{256, 48000}, {256, 48000}, {100, 48000}, {256, 48000},
                          {256, 96000}, {1, 96000},   {4096, 44100}};
  XyMixer xy;
  xy_mixer_reset(&xy);
  LevelMeter meter;
  level_meter_reset(&meter);
  float want_x = 0.0f, want_env = 1.0f;
  // Loud enough to be the meter's reference, so the envelope moves from 1 towards 0.5.
  std::vector<float> in(4096, 0.5f), out_l(4096), out_r(4096);
  for (const Block& b : blocks) {
    SCOPED_TRACE(testing::Message() << b.n << " frames at " << b.rate);
    CoreRates rates = core_rates_for(b.rate);
    const double span = (double)b.n * rates.ratio / 256.0;
    const float k = (float)std::pow(0.82, span);
    want_x += (1.0f - want_x) * (1.0f - k);
    xy_mixer_process(&xy, &rates, in.data(), in.data(), 2, 1.0f, 0.0f, out_l.data(), out_r.data(),
                     b.n);
    EXPECT_EQ(xy.smooth_x, want_x);
    const float w = (float)(1.0 - std::pow(0.98, span));
    want_env += w * (0.5f - want_env);
    level_meter_process(&meter, rates.ratio, in.data(), in.data(), b.n);
    EXPECT_EQ(meter.ref_env, want_env);
  }
}

TEST(CoreLevelMeter, EveryKernelWidthTakesTheSamePeak) {
  // Odd samples at the frames the meter looks at and between them, every length to 40, with
  // and without DAZ: the peak and the reference must not depend on the kernel width.
  const int saved = core_lanes;
  const float odd[] = {NAN, INFINITY, -INFINITY, 1e-40f, -0.0f, -0.7f, 0.3f};
  for (int daz = 0; daz < 2; daz++) {
    uint32_t mode = daz ? platform_fpu_denormals_off() : 0;
    for (int n = 1; n <= 40; n++) {
      std::vector<float> l = noise(n, (unsigned)n), r = noise(n, (unsigned)n + 99);
      for (int i = 0; i < n; i += 3) (i % 2 ? l : r)[(size_t)i] = odd[(size_t)(i + n) % 7];
      float got[2];
      LevelMeter ms[2];
      for (int w = 0; w < 2; w++) {
        core_lanes = w == 0 ? 4 : saved;
        level_meter_reset(&ms[w]);
        got[w] = level_meter_process(&ms[w], 1.0, l.data(), r.data(), n);
      }
      core_lanes = saved;
      EXPECT_EQ(std::memcmp(&got[0], &got[1], 4), 0) << n << " daz " << daz;
      EXPECT_EQ(std::memcmp(&ms[0].ref_peak, &ms[1].ref_peak, 4), 0) << n << " daz " << daz;
    }
    if (daz) platform_fpu_restore(mode);
  }
}

TEST(CoreXyMixer, MonoFeedsBothSidesAndBadStateResets) {
  std::vector<float> l = noise(128, 5), garbage(128, 9.0f);
  Mix m;
  m.run(l, garbage, 1, 0.0f, 0.0f);
  EXPECT_EQ(m.ol, l);
  EXPECT_EQ(m.orr, l);

  std::vector<float> bad(16, INFINITY);
  m.m.smooth_y = 1.0f;
  m.run(bad, bad, 2, 0.0f, 1.0f);
  EXPECT_EQ(m.m.tone_l, 0.0f);
  EXPECT_EQ(m.m.hp_l, 0.0f);
  std::vector<float> ok(16, 0.1f);
  m.run(ok, ok, 2, 0.0f, 1.0f);
  for (float v : m.ol) ASSERT_TRUE(std::isfinite(v));
  xy_mixer_clear_filters(&m.m);
  EXPECT_EQ(m.m.hp_r, 0.0f);
  EXPECT_EQ(m.m.smooth_y, 1.0f);
}

TEST(CoreSoftClip, KnownValues) {
  EXPECT_EQ(soft_clip(0.5f), 0.5f);
  EXPECT_EQ(soft_clip(-0.5f), -0.5f);
  EXPECT_NEAR(soft_clip(1.0f), 1.0f - 0.25f / 3.0f, 1e-6);
  EXPECT_NEAR(soft_clip(-1.0f), -(1.0f - 0.25f / 3.0f), 1e-6);
  EXPECT_EQ(soft_clip(2.0f), 1.0f);
  EXPECT_EQ(soft_clip(-2.0f), -1.0f);
  EXPECT_EQ(soft_clip(4.0f / 3.0f), 1.0f);
  EXPECT_EQ(soft_clip(INFINITY), 1.0f);
  EXPECT_EQ(soft_clip(-INFINITY), -1.0f);
  EXPECT_EQ(soft_clip(NAN), 0.0f);
  EXPECT_EQ(soft_clip(0.0f), 0.0f);
  // Continuous and monotonic across both joins.
  float prev = soft_clip(0.0f);
  for (int i = 1; i <= 2000; i++) {
    float v = soft_clip((float)i / 1000.0f);
    ASSERT_GE(v, prev);
    ASSERT_LT(v - prev, 0.0011f);
    prev = v;
  }
  std::vector<float> l = {0.2f, 3.0f, NAN}, r = {-1.0f, 0.1f, 0.0f};
  float peak = soft_clip_block(l.data(), r.data(), 3);
  EXPECT_EQ(peak, 1.0f);
  EXPECT_EQ(l[2], 0.0f);
}

TEST(CoreLevelMeter, NormalisesAgainstTheLoudestPeak) {
  LevelMeter m;
  level_meter_reset(&m);
  std::vector<float> silent(256, 0.0f);
  for (int i = 0; i < 10; i++)
    EXPECT_EQ(level_meter_process(&m, 1.0, silent.data(), silent.data(), 256), 0.0f);

  // Quiet blocks: the reference stays 1 and the level is the peak.
  std::vector<float> quiet(256, 0.1f);
  EXPECT_FLOAT_EQ(level_meter_process(&m, 1.0, quiet.data(), quiet.data(), 256), 0.1f);

  // A loud peak becomes the reference once the envelope has settled on it.
  std::vector<float> loud(256, 0.5f);
  float level = 0.0f;
  for (int i = 0; i < 2000; i++)
    level = level_meter_process(&m, 1.0, loud.data(), loud.data(), 256);
  EXPECT_NEAR(level, 1.0f, 1e-4);
  EXPECT_FLOAT_EQ(m.ref_peak, 0.5f);

  // Only every 8th frame is looked at.
  level_meter_reset(&m);
  std::vector<float> spike(256, 0.0f);
  spike[3] = 0.9f;
  EXPECT_EQ(level_meter_process(&m, 1.0, spike.data(), silent.data(), 256), 0.0f);
  spike[8] = 0.05f;
  EXPECT_FLOAT_EQ(level_meter_process(&m, 1.0, silent.data(), spike.data(), 256), 0.05f);
  std::vector<float> nan(8, NAN);
  EXPECT_EQ(level_meter_process(&m, 1.0, nan.data(), nan.data(), 8), 0.0f);
  EXPECT_EQ(level_meter_process(&m, 1.0, nullptr, nullptr, 0), 0.0f);
}

TEST(CoreBlocks, PeakAndNonFiniteReplacement) {
  std::vector<float> x = {0.1f, NAN, -0.7f, INFINITY, -INFINITY, 1e-40f};
  EXPECT_EQ(block_zero_nonfinite(x.data(), (int)x.size()), 3);
  EXPECT_EQ(x[1], 0.0f);
  EXPECT_EQ(x[3], 0.0f);
  EXPECT_EQ(x[5], 1e-40f);
  std::vector<float> y = {0.2f, 0.0f, 0.0f, -0.9f, 0.0f, 0.0f};
  EXPECT_FLOAT_EQ(block_peak(x.data(), y.data(), 6), 0.9f);
}

}  // namespace
