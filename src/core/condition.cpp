#include "core/condition.h"

#include <cmath>
#include <cstring>

namespace {

constexpr double kBaseRate = 48000.0;

inline float clampf(float v, float lo, float hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

}  // namespace

double core_rate_coef(double c, double ratio) {
  if (ratio == 1.0) return c;
  return 1.0 - std::pow(1.0 - c, ratio);
}

CoreRates core_rates_for(double rate) {
  if (!(rate > 1000.0 && rate < 10000000.0)) rate = kBaseRate;
  CoreRates r;
  r.rate = rate;
  r.ratio = kBaseRate / rate;
  r.slow_fade = (float)core_rate_coef(0.0015, r.ratio);
  r.fast_fade = (float)core_rate_coef(0.02, r.ratio);
  r.scrub_gain = (float)core_rate_coef(0.0015, r.ratio);
  r.hp_decay = (float)core_rate_coef(0.005, r.ratio);
  r.hop_size = rate / 187.5;
  return r;
}

void xy_mixer_reset(XyMixer* m) {
  m->smooth_x = 0.0f;
  m->smooth_y = 0.0f;
  m->gain = 1.0f;
  m->dead_zone = 0.1f;
  m->ratio = 1.0;
  m->hp_decay = 0.005f;
  xy_mixer_clear_filters(m);
}

void xy_mixer_clear_filters(XyMixer* m) {
  m->tone_l = m->tone_r = 0.0f;
  m->hp_l = m->hp_r = 0.0f;
}

float xy_dead_zone(float v, float dead_zone) {
  float c = clampf(dead_zone, 0.0f, 0.99f);
  float a = std::fabs(v);
  if (a <= c) return 0.0f;
  float m = (a - c) / (1.0f - c);
  if (m > 1.0f) m = 1.0f;
  return v < 0.0f ? -m : m;
}

void xy_mixer_process(XyMixer* m, const CoreRates* rates, const float* in_l, const float* in_r,
                      int channels, float x, float y, float* out_l, float* out_r, int n) {
  m->ratio = rates->ratio;
  m->hp_decay = rates->hp_decay;
  const double ratio = m->ratio;
  if (!std::isfinite(x)) x = 0.0f;
  if (!std::isfinite(y)) y = 0.0f;

  // Block-rate smoothing keeps sweeps click-free: about 18 % of a jump per 256 frames at 48 kHz.
  float k = (float)std::pow(0.82, (double)n * ratio / 256.0);
  m->smooth_x += (x - m->smooth_x) * (1.0f - k);
  m->smooth_y += (y - m->smooth_y) * (1.0f - k);
  float xs = xy_dead_zone(m->smooth_x, m->dead_zone);
  float ys = xy_dead_zone(m->smooth_y, m->dead_zone);

  float A = clampf(ys + 1.0f, 0.0f, 2.0f);
  float M = 1.0f - 0.75f * std::fmin(1.0f, std::fabs(xs));
  float gl = m->gain * (1.0f - std::fmax(0.0f, xs)) * A * M;
  float gr = m->gain * (1.0f + std::fmin(0.0f, xs)) * A * M;

  // The side the sound moves away from gets darker.
  float G = ys >= 0.0f ? 1.0f : 1.0f - 0.94f * std::fmin(1.0f, -ys);
  float H = 1.0f - 0.6f * std::fabs(xs);
  float al = xs > 0.0f ? std::fmin(G, H) : G;
  float ar = xs < 0.0f ? std::fmin(G, H) : G;
  float K = 0.18f * clampf(ys, 0.0f, 1.0f);
  if (ratio != 1.0) {
    al = (float)core_rate_coef(al, ratio);
    ar = (float)core_rate_coef(ar, ratio);
    K = (float)core_rate_coef(K, ratio);
  }

  const float* src_l = in_l;
  const float* src_r = channels >= 2 ? in_r : in_l;
  float tl = m->tone_l, tr = m->tone_r, hl = m->hp_l, hr = m->hp_r;
  const float decay = m->hp_decay;
  for (int i = 0; i < n; i++) {
    tl = gl * src_l[i] * al + tl * (1.0f - al);
    tr = gr * src_r[i] * ar + tr * (1.0f - ar);
    if (K > 0.0f) {
      hl = hl * (1.0f - K) + tl * K;
      hr = hr * (1.0f - K) + tr * K;
    } else {
      hl -= decay * hl;
      hr -= decay * hr;
    }
    out_l[i] = tl - hl;
    out_r[i] = tr - hr;
  }
  m->tone_l = std::isfinite(tl) ? tl : 0.0f;
  m->tone_r = std::isfinite(tr) ? tr : 0.0f;
  m->hp_l = std::isfinite(hl) ? hl : 0.0f;
  m->hp_r = std::isfinite(hr) ? hr : 0.0f;
}

void level_meter_reset(LevelMeter* m) {
  m->ref_peak = 0.0f;
  m->ref_env = 1.0f;
}

float level_meter_process(LevelMeter* m, double ratio, const float* left, const float* right,
                          int n) {
  float p = 0.0f;
  for (int i = 0; i < n; i += 8) {
    float a = std::fabs(left[i]);
    float b = std::fabs(right[i]);
    if (a > p) p = a;
    if (b > p) p = b;
  }
  if (!std::isfinite(p) || p < 0.0f) p = 0.0f;
  if (p > m->ref_peak) m->ref_peak = p;
  float target = m->ref_peak >= 0.15f ? m->ref_peak : 1.0f;
  if (n >= 1) {
    float w = (float)(1.0 - std::pow(0.98, (double)n * ratio / 256.0));
    m->ref_env += w * (target - m->ref_env);
  }
  return p / std::fmax(0.1f, m->ref_env);
}

float soft_clip(float x) {
  // Written as selects so the block loop compiles without branches.
  float a = std::fabs(x);
  float t = (4.0f / 3.0f - a) / (2.0f / 3.0f);
  float knee = 1.0f - t * t / 3.0f;
  float y = a < 4.0f / 3.0f ? knee : 1.0f;
  y = a <= 2.0f / 3.0f ? a : y;
  y = std::copysign(y, x);
  return x == x ? y : 0.0f;  // NaN becomes silence
}

float soft_clip_block(float* left, float* right, int n) {
  float peak = 0.0f;
  for (int i = 0; i < n; i++) {
    float l = soft_clip(left[i]);
    float r = soft_clip(right[i]);
    left[i] = l;
    right[i] = r;
    float a = std::fabs(l), b = std::fabs(r);
    float m = a > b ? a : b;
    peak = m > peak ? m : peak;
  }
  return peak;
}

float block_peak(const float* left, const float* right, int n) {
  float peak = 0.0f;
  for (int i = 0; i < n; i++) {
    float a = std::fabs(left[i]), b = std::fabs(right[i]);
    float m = a > b ? a : b;
    peak = m > peak ? m : peak;
  }
  return peak;
}

int block_zero_nonfinite(float* x, int n) {
  int replaced = 0;
  for (int i = 0; i < n; i++) {
    uint32_t bits;
    std::memcpy(&bits, &x[i], sizeof bits);
    bool bad = (bits & 0x7F800000u) == 0x7F800000u;
    replaced += bad;
    bits = bad ? 0u : bits;
    std::memcpy(&x[i], &bits, sizeof bits);
  }
  return replaced;
}
