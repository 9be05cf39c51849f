#include "core/analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/fft.h"
#include "core/tape.h"
#include "base/progress.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// A tape holding the given interleaved frames from frame 0.
Tape* make_tape(double rate, const std::vector<float>& frames) {
  Tape* t = tape_new(rate, 5, 0);
  if (!t) return nullptr;
  int64_t n = (int64_t)frames.size() / 2;
  if (n > 0) {
    EXPECT_EQ(tape_ensure(t, n - 1), 0);
    tape_ensure(t, n);
    EXPECT_EQ(tape_write(t, 0, frames.data(), n), 0);
  }
  return t;
}

std::vector<float> noise(int64_t frames, uint32_t seed, float amp = 1) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-amp, amp);
  std::vector<float> v((size_t)frames * 2);
  for (float& x : v) x = d(rng);
  return v;
}

// A sine in both channels over [from, to) of a silent buffer.
std::vector<float> tone(int64_t frames, double rate, double hz, int64_t from, int64_t to) {
  std::vector<float> v((size_t)frames * 2, 0.0f);
  for (int64_t i = from; i < to; i++) {
    float s = (float)(0.5 * std::sin(2 * kPi * hz * (double)i / rate));
    v[(size_t)i * 2] = v[(size_t)i * 2 + 1] = s;
  }
  return v;
}

// Per-hop peaks written out plainly: every 8th frame of a hop, fractions carried.
std::vector<float> reference_levels(const std::vector<float>& f, int64_t start, int64_t end,
                                    double hop) {
  std::vector<float> out;
  double acc = 0;
  int64_t i = 0;
  float peak = 0;
  for (int64_t k = start; k < end; k++, i++) {
    if (i % 8 == 0) peak = std::max(peak, std::max(std::fabs(f[k * 2]), std::fabs(f[k * 2 + 1])));
    acc += 1;
    if (acc >= hop) {
      out.push_back(peak);
      acc -= hop;
      peak = 0;
      i = -1;
    }
  }
  if (i > 0) out.push_back(peak);
  return out;
}

float cell(const float* map, int band, int col) {
  return map[band * ANALYSIS_SPECTRAL_COLUMNS + col];
}

TEST(AnalysisHopLevels, MatchTheLivePeaksPerHop) {
  EXPECT_DOUBLE_EQ(analysis_hop_size(48000), 256);
  EXPECT_DOUBLE_EQ(analysis_hop_size(44100), 235.2);
  EXPECT_EQ(analysis_hop_size(0), 0);
  EXPECT_EQ(analysis_hop_room(1000, 256), 6);

  std::vector<float> f = noise(60000, 1);
  Tape* t = make_tape(48000, f);
  ASSERT_NE(t, nullptr);
  float* levels = nullptr;
  int32_t count = -1;
  const char* msg = nullptr;
  // One second: 187 full hops and one of 128 frames. The hop comes from the tape's rate.
  ASSERT_EQ(analysis_hop_levels(t, 1000, 49000, 0, 0, &levels, &count, &msg), 0);
  std::vector<float> want = reference_levels(f, 1000, 49000, 256);
  ASSERT_EQ(count, 188);
  ASSERT_EQ(want.size(), 188u);
  for (int i = 0; i < count; i++) EXPECT_EQ(levels[i], want[i]) << i;
  free(levels);

  // A fractional hop carries from hop to hop (44.1 kHz sketch rate given by the job).
  ASSERT_EQ(analysis_hop_levels(t, 0, 44100, 0, 44100, &levels, &count, &msg), 0);
  want = reference_levels(f, 0, 44100, 235.2);
  ASSERT_EQ((size_t)count, want.size());
  EXPECT_EQ(count, 188);
  for (int i = 0; i < count; i++) EXPECT_EQ(levels[i], want[i]) << i;
  free(levels);

  // Empty ranges succeed with nothing.
  EXPECT_EQ(analysis_hop_levels(t, 500, 500, 256, 0, &levels, &count, &msg), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(levels, nullptr);
  EXPECT_EQ(analysis_hop_levels(t, 900, 500, 256, 0, &levels, &count, &msg), 0);
  EXPECT_EQ(count, 0);

  // A hop so small the levels would not fit.
  EXPECT_EQ(analysis_hop_levels(t, 0, 40000, 1e-5, 0, &levels, &count, &msg), -1);
  EXPECT_STREQ(msg, "SEGMENT TOO LONG");
  EXPECT_EQ(analysis_hop_levels(t, INT64_MIN, INT64_MAX, 256, 0, &levels, &count, &msg), -1);
  EXPECT_STREQ(msg, "SEGMENT TOO LONG");
  EXPECT_EQ(analysis_hop_levels(nullptr, 0, 100, 256, 0, &levels, &count, &msg), -1);
  EXPECT_STREQ(msg, "NO CAPTURE");
  tape_free(t);
}

TEST(AnalysisStrokes, NormaliseByTheLargestFiniteLevel) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> v = {0.1f, nan, -0.8f, 0.4f, inf, 0.2f, 0.0f};
  float peak = analysis_strokes_from_levels(v.data(), (int32_t)v.size(), v.data());  // in place
  EXPECT_FLOAT_EQ(peak, 0.4f);
  std::vector<float> want = {0.25f, 0, 0, 1, 0, 0.5f, 0};
  for (size_t i = 0; i < v.size(); i++) EXPECT_FLOAT_EQ(v[i], want[i]) << i;

  std::vector<float> silent = {0, 0, -1, nan};
  std::vector<float> out(4, 9.0f);
  EXPECT_EQ(analysis_strokes_from_levels(silent.data(), 4, out.data()), 0.0f);
  for (float s : out) EXPECT_EQ(s, 0.0f);
}

TEST(AnalysisSpectral, BandsFollowTheRate) {
  AnalysisBand b[ANALYSIS_SPECTRAL_BANDS];
  ASSERT_EQ(analysis_spectral_bands(48000, b), 0);
  EXPECT_DOUBLE_EQ(b[0].low_hz, 40);
  EXPECT_NEAR(b[5].high_hz, 16000, 1e-9);
  EXPECT_EQ(b[0].bin_lo, 1);    // 40 Hz * 2048 / 48000 = 1.7
  EXPECT_EQ(b[5].bin_hi, 682);  // 16000 * 2048 / 48000 = 682.7
  EXPECT_NEAR(b[3].low_hz, 800, 1e-9);
  // +4.5 dB per octave around 1 kHz, taken at each band's geometric centre.
  EXPECT_NEAR(b[3].centre_hz, 1318.0392, 1e-3);
  EXPECT_NEAR(b[3].tilt, 1.229245, 1e-6);
  EXPECT_NEAR(b[5].tilt, 5.469249, 1e-6);
  for (int i = 0; i < ANALYSIS_SPECTRAL_BANDS; i++) EXPECT_LT(b[i].bin_lo, b[i].bin_hi);

  ASSERT_EQ(analysis_spectral_bands(22050, b), 0);
  EXPECT_DOUBLE_EQ(b[5].high_hz, 11025);
  EXPECT_EQ(b[5].bin_hi, 1024);

  // A very low rate still gives every band at least one bin inside the spectrum.
  ASSERT_EQ(analysis_spectral_bands(100, b), 0);
  for (int i = 0; i < ANALYSIS_SPECTRAL_BANDS; i++) {
    EXPECT_LT(b[i].bin_lo, b[i].bin_hi);
    EXPECT_LE(b[i].bin_hi, 1024);
  }
  EXPECT_EQ(analysis_spectral_bands(0, b), -1);
}

TEST(AnalysisSpectral, ToneLandsInItsBandAndColumns) {
  const double rate = 48000;
  const int64_t n = 3 * 48000;
  Tape* t = make_tape(rate, tone(n, rate, 1000, 48000, 96000));  // 1 kHz in the middle second
  ASSERT_NE(t, nullptr);
  float map[ANALYSIS_SPECTRAL_VALUES];
  JobProgress progress;
  ASSERT_EQ(analysis_spectral_map(t, 0, 0, n, &progress, map, nullptr), 0);
  EXPECT_EQ(progress.done.load(), 96);
  EXPECT_EQ(progress.total.load(), 96);

  float top = 0;
  int top_band = -1;
  for (int b = 0; b < ANALYSIS_SPECTRAL_BANDS; b++)
    for (int c = 0; c < ANALYSIS_SPECTRAL_COLUMNS; c++) {
      float v = cell(map, b, c);
      EXPECT_GE(v, 0.0f);
      EXPECT_LE(v, 1.0f);
      if (v > top) top = v, top_band = b;
    }
  EXPECT_EQ(top, 1.0f);
  EXPECT_EQ(top_band, 3);  // 800 .. 2171 Hz

  for (int c = 0; c < ANALYSIS_SPECTRAL_COLUMNS; c++) {
    int64_t centre = (int64_t)((c + 0.5) / 96 * n);
    bool inside = centre - 1024 >= 48000 && centre + 1024 <= 96000;
    bool outside = centre + 1024 <= 48000 || centre - 1024 >= 96000;
    if (inside) {
      EXPECT_GT(cell(map, 3, c), 0.95f) << c;
      for (int b : {0, 1, 2, 4, 5}) EXPECT_LT(cell(map, b, c), 0.2f) << b << "," << c;
    }
    if (outside) {
      for (int b = 0; b < ANALYSIS_SPECTRAL_BANDS; b++) EXPECT_EQ(cell(map, b, c), 0.0f) << c;
    }
  }
  tape_free(t);
}

// Band holding the loudest cell of column c.
int loudest_band(const float* map, int c) {
  int best = 0;
  for (int b = 1; b < ANALYSIS_SPECTRAL_BANDS; b++)
    if (cell(map, b, c) > cell(map, best, c)) best = b;
  return best;
}

TEST(AnalysisSpectral, TopBandAtLowRatesAndTheJobsRate) {
  const double rate = 22050;
  const int64_t n = 22050;
  // 10 kHz sits near the top of the band that ends at 11,025 Hz.
  Tape* t = make_tape(rate, tone(n, rate, 10000, 0, n));
  ASSERT_NE(t, nullptr);
  float map[ANALYSIS_SPECTRAL_VALUES];
  ASSERT_EQ(analysis_spectral_map(t, 0, 0, n, nullptr, map, nullptr), 0);
  for (int c = 0; c < ANALYSIS_SPECTRAL_COLUMNS; c++) {
    EXPECT_GT(cell(map, 5, c), 0.9f) << c;
    EXPECT_EQ(loudest_band(map, c), 5) << c;
  }
  tape_free(t);

  // 3 kHz is band 4 at the tape's 22,050 Hz, but a job rate of 48 kHz reads it as 6.5 kHz.
  t = make_tape(rate, tone(n, rate, 3000, 0, n));
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(analysis_spectral_map(t, 0, 0, n, nullptr, map, nullptr), 0);
  EXPECT_EQ(loudest_band(map, 50), 4);
  ASSERT_EQ(analysis_spectral_map(t, 48000, 0, n, nullptr, map, nullptr), 0);
  EXPECT_EQ(loudest_band(map, 50), 5);
  tape_free(t);
}

TEST(AnalysisSpectral, ShortSilentEmptyAndMissing) {
  float map[ANALYSIS_SPECTRAL_VALUES];
  std::vector<float> f = noise(3000, 7, 0.3f);
  Tape* t = make_tape(48000, f);
  ASSERT_NE(t, nullptr);
  // 1000 frames: every column reads the same (shorter, zero-padded) window.
  ASSERT_EQ(analysis_spectral_map(t, 0, 500, 1500, nullptr, map, nullptr), 0);
  for (int c = 0; c < ANALYSIS_SPECTRAL_COLUMNS; c++) {
    float col_max = 0;
    for (int b = 0; b < ANALYSIS_SPECTRAL_BANDS; b++) {
      col_max = std::max(col_max, cell(map, b, c));
      EXPECT_EQ(cell(map, b, c), cell(map, b, 0));
    }
    EXPECT_GT(col_max, 0.5f) << c;
  }
  // Just past 2048 frames the end columns read shorter windows, yet all are filled.
  ASSERT_EQ(analysis_spectral_map(t, 0, 0, 2500, nullptr, map, nullptr), 0);
  for (int c = 0; c < ANALYSIS_SPECTRAL_COLUMNS; c++) EXPECT_GT(cell(map, 3, c), 0.0f) << c;
  tape_free(t);

  // Silence, damaged samples, an empty range and a range with no chunks behind it: all zero.
  std::vector<float> quiet(48000 * 2, 0.0f);
  quiet[1000] = std::numeric_limits<float>::quiet_NaN();
  quiet[2001] = std::numeric_limits<float>::infinity();
  t = make_tape(48000, quiet);
  ASSERT_NE(t, nullptr);
  for (int i = 0; i < ANALYSIS_SPECTRAL_VALUES; i++) map[i] = 7;
  EXPECT_EQ(analysis_spectral_map(t, 0, 0, 48000, nullptr, map, nullptr), 0);
  for (float v : map) EXPECT_EQ(v, 0.0f);
  map[10] = 7;
  EXPECT_EQ(analysis_spectral_map(t, 0, 100, 100, nullptr, map, nullptr), 0);
  for (float v : map) EXPECT_EQ(v, 0.0f);
  EXPECT_EQ(analysis_spectral_map(t, 0, 4000000, 4100000, nullptr, map, nullptr), 0);
  for (float v : map) EXPECT_EQ(v, 0.0f);
  tape_free(t);

  const char* msg = nullptr;
  map[3] = 7;
  EXPECT_EQ(analysis_spectral_map(nullptr, 48000, 0, 100, nullptr, map, &msg), -1);
  EXPECT_STREQ(msg, "NO CAPTURE");
  EXPECT_EQ(map[3], 0.0f);
}

TEST(AnalysisSpectral, CancelLeavesAZeroMap) {
  Tape* t = make_tape(48000, noise(48000, 3));
  ASSERT_NE(t, nullptr);
  float map[ANALYSIS_SPECTRAL_VALUES];
  for (float& v : map) v = 7;
  JobProgress progress;
  progress.cancel = true;
  EXPECT_EQ(analysis_spectral_map(t, 0, 0, 48000, &progress, map, nullptr), -3);
  for (float v : map) EXPECT_EQ(v, 0.0f);
  EXPECT_EQ(progress.done.load(), 0);
  tape_free(t);
}

// Plain O(n^2) transform in double precision.
std::vector<std::complex<double>> dft(const std::vector<float>& re, const std::vector<float>& im,
                                      int sign) {
  size_t n = re.size();
  std::vector<std::complex<double>> tw(n), out(n);
  for (size_t k = 0; k < n; k++) tw[k] = std::polar(1.0, sign * 2 * kPi * (double)k / (double)n);
  for (size_t k = 0; k < n; k++) {
    std::complex<double> s = 0;
    for (size_t j = 0; j < n; j++) s += std::complex<double>(re[j], im[j]) * tw[(j * k) % n];
    out[k] = s;
  }
  return out;
}

TEST(Fft, MatchesTheDirectTransform) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> d(-1, 1);
  for (int n : {1, 2, 4, 8, 64, 2048}) {
    FftPlan* plan = fft_plan_new(n);
    ASSERT_NE(plan, nullptr) << n;
    std::vector<float> re(n), im(n);
    for (int i = 0; i < n; i++) re[i] = d(rng), im[i] = d(rng);
    std::vector<float> r2 = re, i2 = im;
    for (int sign : {-1, 1}) {
      std::vector<std::complex<double>> want = dft(re, im, sign);
      std::vector<float> r = re, i = im;
      if (sign < 0)
        fft_forward(plan, r.data(), i.data());
      else
        fft_inverse(plan, r.data(), i.data());
      double worst = 0, scale = std::sqrt((double)n);
      for (int k = 0; k < n; k++)
        worst = std::max(worst, std::abs(want[k] - std::complex<double>(r[k], i[k])));
      EXPECT_LT(worst / scale, 2e-5) << "n " << n << " sign " << sign;
    }
    // Forward then inverse, scaled by 1/n, gives the input back.
    fft_forward(plan, r2.data(), i2.data());
    fft_inverse(plan, r2.data(), i2.data());
    for (int k = 0; k < n; k++) {
      EXPECT_NEAR(r2[k] / n, re[k], 1e-5);
      EXPECT_NEAR(i2[k] / n, im[k], 1e-5);
    }
    fft_plan_free(plan);
  }
  EXPECT_EQ(fft_plan_new(0), nullptr);
  EXPECT_EQ(fft_plan_new(3), nullptr);
  EXPECT_EQ(fft_plan_new(2047), nullptr);
  fft_plan_free(nullptr);
}

TEST(AnalysisOverview, CoversEachLayersSpan) {
  const float a[] = {0.2f, 0.4f, 0.6f, 0.8f};
  const float b[] = {0.5f};
  float ov[ANALYSIS_OVERVIEW_COLUMNS];
  // The second half of a 960-frame sketch.
  AnalysisLayerSpan late = {480, 480, a, 4};
  ASSERT_TRUE(analysis_overview(&late, 1, 960, ov));
  for (int i = 0; i < 48; i++) EXPECT_EQ(ov[i], 0.0f) << i;
  for (int i = 48; i < 96; i++) EXPECT_EQ(ov[i], a[(i - 48) / 12]) << i;

  // Overlapping layers: each column keeps the largest stroke.
  AnalysisLayerSpan both[] = {late, {0, 960, b, 1}};
  ASSERT_TRUE(analysis_overview(both, 2, 960, ov));
  for (int i = 0; i < 72; i++) EXPECT_EQ(ov[i], 0.5f) << i;
  for (int i = 72; i < 96; i++) EXPECT_EQ(ov[i], a[(i - 48) / 12]) << i;

  // A layer reaching past the sketch's end fills up to the last column only.
  AnalysisLayerSpan past = {900, 1000000, b, 1};
  ASSERT_TRUE(analysis_overview(&past, 1, 960, ov));
  EXPECT_EQ(ov[89], 0.0f);
  EXPECT_EQ(ov[90], 0.5f);
  EXPECT_EQ(ov[95], 0.5f);

  // No usable layer, or no sketch length: absent.
  AnalysisLayerSpan unusable[] = {{0, 960, nullptr, 0}, {0, 0, b, 1}, {0, -5, b, 1}};
  EXPECT_FALSE(analysis_overview(unusable, 3, 960, ov));
  for (float v : ov) EXPECT_EQ(v, 0.0f);
  EXPECT_FALSE(analysis_overview(&late, 1, 0, ov));
  EXPECT_FALSE(analysis_overview(nullptr, 0, 960, ov));
}

TEST(AnalysisColour, RampEndsAndBoost) {
  auto expect = [](AnalysisColour c, float r, float g, float b) {
    EXPECT_NEAR(c.r, r, 1e-6);
    EXPECT_NEAR(c.g, g, 1e-6);
    EXPECT_NEAR(c.b, b, 1e-6);
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  expect(analysis_level_colour(0, 0), 0.16f, 0.47f, 0.98f);
  expect(analysis_level_colour(0.85f, 0), 0.84f, 0.65f, 0.18f);
  expect(analysis_level_colour(1, 0), 1, 1, 1);
  expect(analysis_level_colour(0.425f, 0), 0.50f, 0.56f, 0.58f);
  expect(analysis_level_colour(nan, 0), 0.16f, 0.47f, 0.98f);
  // Boost scales by 1 + g and caps each channel at 1; a negative boost counts as none.
  expect(analysis_level_colour(0, 1), 0.32f, 0.94f, 1);
  expect(analysis_level_colour(0, -3), 0.16f, 0.47f, 0.98f);
  expect(analysis_level_colour(0, nan), 0.16f, 0.47f, 0.98f);
}

}  // namespace
