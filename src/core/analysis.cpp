#include "core/analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/fft.h"
#include "core/tape.h"
#include "base/progress.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLowestHz = 40.0;
constexpr double kHighestHz = 16000.0;
constexpr double kTiltDbPerOctave = 4.5;
constexpr double kFloorDb = 46.0;

void set_message(const char** message, const char* text) {
  if (message) *message = text;
}

float clamp01(float v) {
  return v < 0 ? 0.0f : (v > 1 ? 1.0f : v);
}

// Rate from the caller when usable, else the tape's; 0 when neither is.
double usable_rate(double rate, const Tape* tape) {
  if (rate > 0 && std::isfinite(rate)) return rate;
  if (tape && tape->rate > 0 && std::isfinite(tape->rate)) return tape->rate;
  return 0;
}

}  // namespace

double analysis_hop_size(double rate) {
  return rate > 0 && std::isfinite(rate) ? rate / ANALYSIS_HOPS_PER_SECOND : 0.0;
}

int64_t analysis_hop_room(int64_t frames, double hop) {
  if (frames <= 0 || !(hop > 0)) return 0;
  double n = std::ceil((double)frames / hop);
  if (!(n < 9e18)) return INT64_MAX;
  return (int64_t)n + 2;
}

int analysis_hop_levels(const Tape* tape, int64_t start, int64_t end, double hop, double rate,
                        float** levels, int32_t* count, const char** message) {
  *levels = nullptr;
  *count = 0;
  if (!tape) {
    set_message(message, "NO CAPTURE");
    return -1;
  }
  if (!(hop > 0) || !std::isfinite(hop)) hop = analysis_hop_size(usable_rate(rate, tape));
  if (!(hop > 0) || end <= start) return 0;
  // end - start may overflow for absurd ranges; such a range is too long anyway.
  int64_t frames;
  if (__builtin_sub_overflow(end, start, &frames)) frames = INT64_MAX;
  int64_t room = analysis_hop_room(frames, hop);
  if (room > ANALYSIS_MAX_LEVELS) {
    set_message(message, "SEGMENT TOO LONG");
    return -1;
  }
  float* out = (float*)malloc(sizeof(float) * (size_t)room);
  if (!out) {
    set_message(message, "NOT ENOUGH MEMORY");
    return -2;
  }
  int n = tape_peaks(tape, start, end, hop, out, (int32_t)room);
  if (n <= 0) {
    free(out);
    return 0;
  }
  *levels = out;
  *count = n;
  return 0;
}

float analysis_strokes_from_levels(const float* levels, int32_t count, float* strokes) {
  float peak = 0;
  for (int32_t i = 0; i < count; i++) {
    float v = levels[i];
    if (std::isfinite(v) && v > peak) peak = v;
  }
  for (int32_t i = 0; i < count; i++) {
    float v = levels[i];
    strokes[i] = (peak > 0 && std::isfinite(v) && v > 0) ? clamp01(v / peak) : 0.0f;
  }
  return peak;
}

int analysis_spectral_bands(double rate, AnalysisBand bands[ANALYSIS_SPECTRAL_BANDS]) {
  if (!(rate > 0) || !std::isfinite(rate)) return -1;
  const double n = ANALYSIS_FFT_SIZE;
  const double top = std::fmin(kHighestHz, rate / 2);
  const double q = top / kLowestHz;
  for (int b = 0; b < ANALYSIS_SPECTRAL_BANDS; b++) {
    AnalysisBand& band = bands[b];
    band.low_hz = kLowestHz * std::pow(q, b / 6.0);
    band.high_hz = kLowestHz * std::pow(q, (b + 1) / 6.0);
    band.centre_hz = kLowestHz * std::pow(q, (b + 0.5) / 6.0);
    // The top edge lands exactly on rate / 2 only up to rounding; keep the Nyquist bin reachable.
    if (b == ANALYSIS_SPECTRAL_BANDS - 1) band.high_hz = top;
    double lo = std::trunc(band.low_hz * n / rate);
    double hi = std::trunc(band.high_hz * n / rate);
    band.bin_lo = (int32_t)std::fmin(std::fmax(lo, 0.0), n / 2);
    band.bin_hi = (int32_t)std::fmin(std::fmax(hi, band.bin_lo + 1.0), n / 2);
    band.tilt = std::pow(10.0, std::log2(band.centre_hz / 1000.0) * kTiltDbPerOctave / 20.0);
  }
  return 0;
}

int analysis_spectral_map(const Tape* tape, double rate, int64_t start, int64_t end,
                          JobProgress* progress, float map[ANALYSIS_SPECTRAL_VALUES],
                          const char** message) {
  memset(map, 0, sizeof(float) * ANALYSIS_SPECTRAL_VALUES);
  if (!tape) {
    set_message(message, "NO CAPTURE");
    return -1;
  }
  const double r = usable_rate(rate, tape);
  AnalysisBand bands[ANALYSIS_SPECTRAL_BANDS];
  if (end <= start || analysis_spectral_bands(r, bands) != 0) return 0;
  int64_t span;
  if (__builtin_sub_overflow(end, start, &span)) {
    set_message(message, "ANALYSIS FAILED");
    return -1;
  }
  FftPlan* plan = fft_plan_new(ANALYSIS_FFT_SIZE);
  if (!plan) {
    set_message(message, "ANALYSIS FAILED");
    return -1;
  }

  constexpr int N = ANALYSIS_FFT_SIZE;
  float window[N], re[N], im[N], left[N], right[N];
  for (int i = 0; i < N; i++) window[i] = (float)((1 - std::cos(2 * kPi * i / N)) / 2);
  const int64_t limit = std::min<int64_t>(end, tape_length(tape));
  job_progress_set(progress, 0, ANALYSIS_SPECTRAL_COLUMNS);

  for (int k = 0; k < ANALYSIS_SPECTRAL_COLUMNS; k++) {
    if (job_progress_cancelled(progress)) {
      fft_plan_free(plan);
      memset(map, 0, sizeof(float) * ANALYSIS_SPECTRAL_VALUES);
      return -3;
    }
    int64_t centre = start + (int64_t)((k + 0.5) / ANALYSIS_SPECTRAL_COLUMNS * (double)span);
    // centre < end, so the window always starts inside the range; written to avoid underflow.
    int64_t first = centre - start > N / 2 ? centre - N / 2 : start;
    int m = (int)std::min<int64_t>(N, end - first);
    tape_read_planar(tape, first, m, limit, left, right);
    for (int i = 0; i < m; i++) {
      float v = (left[i] + right[i]) * 0.5f;
      // One damaged sample must not blank the whole map.
      re[i] = std::isfinite(v) ? v * window[i] : 0.0f;
      im[i] = 0;
    }
    for (int i = m; i < N; i++) re[i] = im[i] = 0;
    fft_forward(plan, re, im);
    for (int b = 0; b < ANALYSIS_SPECTRAL_BANDS; b++) {
      float peak = 0;
      for (int j = bands[b].bin_lo; j < bands[b].bin_hi; j++) {
        float mag = std::sqrt(re[j] * re[j] + im[j] * im[j]) / N;
        if (mag > peak) peak = mag;
      }
      double v = peak * bands[b].tilt;
      map[b * ANALYSIS_SPECTRAL_COLUMNS + k] = std::isfinite(v) ? (float)v : 0.0f;
    }
    job_progress_set(progress, k + 1, ANALYSIS_SPECTRAL_COLUMNS);
  }
  fft_plan_free(plan);

  float top = 0;
  for (int i = 0; i < ANALYSIS_SPECTRAL_VALUES; i++)
    if (map[i] > top) top = map[i];
  if (!(top > 0)) {
    memset(map, 0, sizeof(float) * ANALYSIS_SPECTRAL_VALUES);
    return 0;
  }
  const double denom = std::fmax(top, 1e-9);
  for (int i = 0; i < ANALYSIS_SPECTRAL_VALUES; i++) {
    double ratio = std::fmax(map[i] / denom, 1e-5);
    map[i] = clamp01((float)((20 * std::log10(ratio) + kFloorDb) / kFloorDb));
  }
  return 0;
}

bool analysis_overview(const AnalysisLayerSpan* layers, int32_t count, int64_t total_frames,
                       float overview[ANALYSIS_OVERVIEW_COLUMNS]) {
  memset(overview, 0, sizeof(float) * ANALYSIS_OVERVIEW_COLUMNS);
  if (total_frames <= 0) return false;
  const double t = (double)total_frames;
  const double cols = ANALYSIS_OVERVIEW_COLUMNS;
  bool present = false;
  for (int32_t l = 0; l < count; l++) {
    const AnalysisLayerSpan& layer = layers[l];
    if (!layer.strokes || layer.stroke_count <= 0 || layer.length <= 0) continue;
    present = true;
    const double s = (double)layer.start / t;
    const double len = (double)layer.length / t;
    // Clamp in double before converting: a layer far outside the sketch must not overflow.
    int first = (int)std::fmin(std::fmax(std::trunc(s * cols), 0.0), cols);
    int last = (int)std::fmin(std::fmax(std::trunc((s + len) * cols + 0.999), 0.0), cols);
    for (int i = first; i < last; i++) {
      double u = ((i + 0.5) / cols - s) / len;
      if (!(u >= 0 && u < 1)) continue;
      int64_t idx = (int64_t)(u * layer.stroke_count);
      if (idx > layer.stroke_count - 1) idx = layer.stroke_count - 1;
      float v = layer.strokes[idx];
      if (v > overview[i]) overview[i] = v;
    }
  }
  return present;
}

AnalysisColour analysis_level_colour(float level, float boost) {
  float c = std::isnan(level) ? 0.0f : clamp01(level);
  float g = boost > 0 ? boost : 0.0f;  // also NaN
  float r, gr, b;
  if (c <= 0.85f) {
    float t = c / 0.85f;
    r = 0.16f + 0.68f * t;
    gr = 0.47f + 0.18f * t;
    b = 0.98f - 0.80f * t;
  } else {
    float t = (c - 0.85f) / 0.15f;
    r = 0.84f + 0.16f * t;
    gr = 0.65f + 0.35f * t;
    b = 0.18f + 0.82f * t;
  }
  float f = 1 + g;
  return {std::fmin(r * f, 1.0f), std::fmin(gr * f, 1.0f), std::fmin(b * f, 1.0f)};
}
