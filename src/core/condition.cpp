#include "core/condition.h"

#include <cmath>
#include <cstring>

#include "core/simd.h"

namespace {

constexpr double kBaseRate = 48000.0;

inline float clampf(float v, float lo, float hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

inline uint32_t float_bits(float v) {
  uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

// True when every sample is +0 or a finite normal number: the centre mix then passes the block
// through unchanged. (A -0 takes the sign of the previous tone state, and a denormal becomes 0
// when the callback flushes denormal operands.)
bool plain_block(const float* x, int n) {
  int i = 0;
#if CORE_SSE
  const __m128i exp_mask = _mm_set1_epi32(0x7F800000);
  const __m128i zero = _mm_setzero_si128();
  __m128i bad = zero;
  for (; i + 4 <= n; i += 4) {
    __m128i v = _mm_castps_si128(_mm_loadu_ps(x + i));
    __m128i e = _mm_and_si128(v, exp_mask);
    bad = _mm_or_si128(bad, _mm_cmpeq_epi32(e, exp_mask));
    bad = _mm_or_si128(bad, _mm_andnot_si128(_mm_cmpeq_epi32(v, zero), _mm_cmpeq_epi32(e, zero)));
  }
  if (_mm_movemask_epi8(bad) != 0) return false;
#endif
  for (; i < n; i++) {
    uint32_t b = float_bits(x[i]);
    uint32_t e = b & 0x7F800000u;
    if (e == 0x7F800000u || (e == 0 && b != 0)) return false;
  }
  return true;
}

int detect_lanes() {
#if CORE_AVX512
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")) return 16;
#endif
  return 4;
}

}  // namespace

int core_lanes = detect_lanes();

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
  m->smooth_span = -1.0;
  m->smooth_k = 1.0f;
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
  const float* src_r = channels >= 2 ? in_r : in_l;
  bool plain = n >= 1 && plain_block(in_l, n) && (src_r == in_l || plain_block(src_r, n));
  xy_mixer_process_known(m, rates, in_l, in_r, channels, x, y, out_l, out_r, n, plain);
}

namespace {

// xy_mixer_process_known; with may_pass a block that passes through is not copied, and true
// returned.
bool xy_process(XyMixer* m, const CoreRates* rates, const float* in_l, const float* in_r,
                int channels, float x, float y, float* out_l, float* out_r, int n, bool plain,
                bool may_pass) {
  m->ratio = rates->ratio;
  m->hp_decay = rates->hp_decay;
  const double ratio = m->ratio;
  if (!std::isfinite(x)) x = 0.0f;
  if (!std::isfinite(y)) y = 0.0f;

  // Block-rate smoothing keeps sweeps click-free: about 18 % of a jump per 256 frames at 48 kHz.
  // Callbacks keep their length, so the power is worked out again only when that changes.
  const double span = (double)n * ratio / 256.0;
  if (span != m->smooth_span) {
    m->smooth_span = span;
    m->smooth_k = (float)std::pow(0.82, span);
  }
  const float k = m->smooth_k;
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
  bool passed = false;
  float tl = m->tone_l, tr = m->tone_r, hl = m->hp_l, hr = m->hp_r;
  const float decay = m->hp_decay;
  // At the centre with the high-pass at rest every step is exact: tone = source + tone * 0,
  // high-pass stays +0, so the block passes through (the usual case, and the loop below is
  // one long dependency chain per frame).
  if (plain && n >= 1 && gl == 1.0f && gr == 1.0f && al == 1.0f && ar == 1.0f && !(K > 0.0f) &&
      float_bits(hl) == 0 && float_bits(hr) == 0 && std::isfinite(tl) && std::isfinite(tr)) {
    if (!may_pass && out_l != src_l) std::memmove(out_l, src_l, sizeof(float) * (size_t)n);
    if (!may_pass && out_r != src_r) std::memmove(out_r, src_r, sizeof(float) * (size_t)n);
    tl = src_l[n - 1];
    tr = src_r[n - 1];
    passed = may_pass;
  } else if (K > 0.0f) {
    const float bl = 1.0f - al, br = 1.0f - ar, bk = 1.0f - K;
    for (int i = 0; i < n; i++) {
      tl = gl * src_l[i] * al + tl * bl;
      tr = gr * src_r[i] * ar + tr * br;
      hl = hl * bk + tl * K;
      hr = hr * bk + tr * K;
      out_l[i] = tl - hl;
      out_r[i] = tr - hr;
    }
  } else {
    const float bl = 1.0f - al, br = 1.0f - ar;
    for (int i = 0; i < n; i++) {
      tl = gl * src_l[i] * al + tl * bl;
      tr = gr * src_r[i] * ar + tr * br;
      hl -= decay * hl;
      hr -= decay * hr;
      out_l[i] = tl - hl;
      out_r[i] = tr - hr;
    }
  }
  m->tone_l = std::isfinite(tl) ? tl : 0.0f;
  m->tone_r = std::isfinite(tr) ? tr : 0.0f;
  m->hp_l = std::isfinite(hl) ? hl : 0.0f;
  m->hp_r = std::isfinite(hr) ? hr : 0.0f;
  return passed;
}

}  // namespace

void xy_mixer_process_known(XyMixer* m, const CoreRates* rates, const float* in_l,
                            const float* in_r, int channels, float x, float y, float* out_l,
                            float* out_r, int n, bool plain) {
  xy_process(m, rates, in_l, in_r, channels, x, y, out_l, out_r, n, plain, false);
}

bool xy_mixer_process_or_pass(XyMixer* m, const CoreRates* rates, const float* in_l,
                              const float* in_r, int channels, float x, float y, float* out_l,
                              float* out_r, int n, bool plain) {
  return xy_process(m, rates, in_l, in_r, channels, x, y, out_l, out_r, n, plain, true);
}

void level_meter_reset(LevelMeter* m) {
  m->ref_peak = 0.0f;
  m->ref_env = 1.0f;
  m->env_span = -1.0;
  m->env_w = 0.0f;
}

#if CORE_AVX512
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
namespace {
// The meter's peak of every eighth frame, sixteen frames at a time: lanes 0 and 8 take part.
// A NaN never wins a comparison and (with denormals read as zero) a denormal never does either,
// as in the frame by frame loop, so the largest of the lanes is its answer.
CORE_AVX512_FN float every_eighth_peak16(const float* left, const float* right, int n) {
  const __m512 abs_mask = _mm512_castsi512_ps(_mm512_set1_epi32(0x7FFFFFFF));
  __m512 pk = _mm512_setzero_ps();
  for (int i = 0; i < n; i += 16) {
    __mmask16 m = n - i >= 16 ? (__mmask16)0x0101 : (__mmask16)(0x0101 & core_tail_mask(n - i));
    __m512 a = _mm512_and_ps(_mm512_maskz_loadu_ps(m, left + i), abs_mask);
    __m512 b = _mm512_and_ps(_mm512_maskz_loadu_ps(m, right + i), abs_mask);
    pk = _mm512_mask_max_ps(pk, m, a, pk);
    pk = _mm512_mask_max_ps(pk, m, b, pk);
  }
  alignas(64) float lanes[16];
  _mm512_store_ps(lanes, pk);
  _mm256_zeroupper();
  return lanes[0] > lanes[8] ? lanes[0] : lanes[8];
}
}  // namespace
#pragma GCC diagnostic pop
#endif

float level_meter_process(LevelMeter* m, double ratio, const float* left, const float* right,
                          int n) {
  float p = 0.0f;
#if CORE_AVX512
  if (core_lanes == 16) {
    p = every_eighth_peak16(left, right, n);
  } else
#endif
  {
    for (int i = 0; i < n; i += 8) {
      float a = std::fabs(left[i]);
      float b = std::fabs(right[i]);
      if (a > p) p = a;
      if (b > p) p = b;
    }
  }
  if (!std::isfinite(p) || p < 0.0f) p = 0.0f;
  if (p > m->ref_peak) m->ref_peak = p;
  float target = m->ref_peak >= 0.15f ? m->ref_peak : 1.0f;
  if (n >= 1) {
    const double span = (double)n * ratio / 256.0;
    if (span != m->env_span) {
      m->env_span = span;
      m->env_w = (float)(1.0 - std::pow(0.98, span));
    }
    m->ref_env += m->env_w * (target - m->ref_env);
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

#if CORE_SSE
namespace {

// soft_clip on four lanes. The two divisions by constants are multiplications by the
// reciprocals in double precision: over every input that reaches the knee (2/3 < |x| < 4/3)
// that rounds to the same floats as the divisions, and it is several times cheaper.
inline __m128 mul_double(__m128 x, __m128d r) {
  __m128 lo = _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtps_pd(x), r));
  __m128 hi = _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(x, x)), r));
  return _mm_movelh_ps(lo, hi);
}

inline __m128 soft_clip4(__m128 x, __m128 a) {
  const __m128 knee_lo = _mm_set1_ps(2.0f / 3.0f);
  const __m128 knee_hi = _mm_set1_ps(4.0f / 3.0f);
  const __m128 one = _mm_set1_ps(1.0f);
  __m128 below = _mm_cmplt_ps(a, knee_hi);
  __m128 linear = _mm_cmple_ps(a, knee_lo);
  __m128 y = one;
  if (_mm_movemask_ps(_mm_andnot_ps(linear, below)) != 0) {
    const __m128d inv_lo = _mm_set1_pd(1.0 / (double)(2.0f / 3.0f));
    const __m128d inv_3 = _mm_set1_pd(1.0 / 3.0);
    __m128 t = mul_double(_mm_sub_ps(knee_hi, a), inv_lo);
    __m128 knee = _mm_sub_ps(one, mul_double(_mm_mul_ps(t, t), inv_3));
    y = _mm_or_ps(_mm_and_ps(below, knee), _mm_andnot_ps(below, one));
  }
  // Selected by bit masks, not by arithmetic, so a denormal passes even when denormal operands
  // are being read as zero.
  y = _mm_or_ps(_mm_and_ps(linear, a), _mm_andnot_ps(linear, y));
  y = _mm_or_ps(y, _mm_and_ps(x, _mm_set1_ps(-0.0f)));  // copysign: y has no sign bit here
  return _mm_and_ps(y, _mm_cmpeq_ps(x, x));             // NaN becomes 0
}

// Clips four samples in place; returns their absolute values. Quiet groups (every |x| <= 2/3,
// which also rules out NaN) are left as they are.
inline __m128 soft_clip4_at(float* p) {
  const __m128 abs_mask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  __m128 x = _mm_loadu_ps(p);
  __m128 a = _mm_and_ps(x, abs_mask);
  if (_mm_movemask_ps(_mm_cmple_ps(a, _mm_set1_ps(2.0f / 3.0f))) == 0xF) return a;
  __m128 y = soft_clip4(x, a);
  _mm_storeu_ps(p, y);
  return _mm_and_ps(y, abs_mask);
}

}  // namespace
#endif

#if CORE_AVX512
// g++ 12's AVX-512 headers start some results from a self-initialised "undefined" vector, which
// its own uninitialised-use checks then report.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
namespace {

// The four-lane kernels above, sixteen lanes at a time; comparisons with the same predicates,
// selections by masks. The knee's two divisions by constants are a product by the rounded
// reciprocal and one fused correction step (AVX-512 has FMA): for every input that reaches the
// knee that gives the correctly rounded quotient, the division's own (a test goes through them
// all), at a fraction of the division's cost.
CORE_AVX512_FN inline __m512 divide_by16(__m512 x, __m512 divisor, __m512 reciprocal) {
  const __m512 q = _mm512_mul_ps(x, reciprocal);
  return _mm512_fmadd_ps(_mm512_fnmadd_ps(q, divisor, x), reciprocal, q);
}

CORE_AVX512_FN inline __m512 soft_clip16(__m512 x, __m512 a) {
  const __m512 knee_lo = _mm512_set1_ps(2.0f / 3.0f);
  const __m512 knee_hi = _mm512_set1_ps(4.0f / 3.0f);
  const __m512 one = _mm512_set1_ps(1.0f);
  __mmask16 below = _mm512_cmp_ps_mask(a, knee_hi, _CMP_LT_OS);
  __mmask16 linear = _mm512_cmp_ps_mask(a, knee_lo, _CMP_LE_OS);
  __m512 y = one;
  if ((below & (__mmask16)~linear) != 0) {
    const __m512 inv_lo = _mm512_set1_ps(1.0f / (2.0f / 3.0f));
    const __m512 three = _mm512_set1_ps(3.0f), inv_3 = _mm512_set1_ps(1.0f / 3.0f);
    __m512 t = divide_by16(_mm512_sub_ps(knee_hi, a), knee_lo, inv_lo);
    __m512 knee = _mm512_sub_ps(one, divide_by16(_mm512_mul_ps(t, t), three, inv_3));
    y = _mm512_mask_mov_ps(one, below, knee);
  }
  y = _mm512_mask_mov_ps(y, linear, a);
  y = _mm512_or_ps(y, _mm512_and_ps(x, _mm512_set1_ps(-0.0f)));
  return _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(x, x, _CMP_EQ_OQ), y);
}

// Clips the first `mask` samples of sixteen in place; returns their absolute values (0 past
// the mask).
CORE_AVX512_FN inline __m512 soft_clip16_at(float* p, __mmask16 mask) {
  const __m512 abs_mask = _mm512_castsi512_ps(_mm512_set1_epi32(0x7FFFFFFF));
  __m512 x = _mm512_maskz_loadu_ps(mask, p);
  __m512 a = _mm512_and_ps(x, abs_mask);
  if (_mm512_cmp_ps_mask(a, _mm512_set1_ps(2.0f / 3.0f), _CMP_LE_OS) == 0xFFFF) return a;
  __m512 y = soft_clip16(x, a);
  _mm512_mask_storeu_ps(p, mask, y);
  return _mm512_and_ps(y, abs_mask);
}

// The lanes' largest, taken as the four-lane code takes its lanes: v > peak ? v : peak.
CORE_AVX512_FN inline float lanes_max16(__m512 v) {
  alignas(64) float lanes[16];
  _mm512_store_ps(lanes, v);
  float peak = 0.0f;
  for (float x : lanes) peak = x > peak ? x : peak;
  return peak;
}

CORE_AVX512_FN float soft_clip_block16(float* left, float* right, int n) {
  __m512 pk = _mm512_setzero_ps();
  for (int i = 0; i < n; i += 16) {
    __mmask16 m = n - i >= 16 ? (__mmask16)0xFFFF : core_tail_mask(n - i);
    __m512 a = soft_clip16_at(left + i, m);
    __m512 b = soft_clip16_at(right + i, m);
    pk = _mm512_max_ps(_mm512_max_ps(a, b), pk);
  }
  float peak = lanes_max16(pk);
  _mm256_zeroupper();
  return peak;
}

// block_scan for a block with nothing to replace, without mask registers: the largest exponent
// field tells whether anything is infinite or NaN (then *clean is false and nothing else holds),
// and with the bits rotated left by one (sign into bit 0) -0 and the denormals are exactly the
// values 1 .. 2^24 - 1, so the smallest of them minus one tells whether any is there.
CORE_AVX512_FN BlockScan block_scan16(const float* src, int n, bool* clean) {
  const __m512i exp_mask = _mm512_set1_epi32(0x7F800000);
  const __m512i abs_mask = _mm512_set1_epi32(0x7FFFFFFF);
  const __m512i one = _mm512_set1_epi32(1);
  __m512i top_exp = _mm512_setzero_si512(), low = _mm512_set1_epi32(-1);
  __m512 pk = _mm512_setzero_ps();
  for (int i = 0; i < n; i += 16) {
    __mmask16 m = n - i >= 16 ? (__mmask16)0xFFFF : core_tail_mask(n - i);
    __m512i v = _mm512_maskz_loadu_epi32(m, src + i);  // +0 past the end: neither odd nor bad
    top_exp = _mm512_max_epu32(top_exp, _mm512_and_si512(v, exp_mask));
    low = _mm512_min_epu32(low, _mm512_sub_epi32(_mm512_rol_epi32(v, 1), one));
    pk = _mm512_max_ps(_mm512_castsi512_ps(_mm512_and_si512(v, abs_mask)), pk);
  }
  *clean = (uint32_t)_mm512_reduce_max_epu32(top_exp) != 0x7F800000u;
  const bool odd = (uint32_t)_mm512_reduce_min_epu32(low) < 0x00FFFFFFu;
  BlockScan r = {0, lanes_max16(pk), !odd};
  _mm256_zeroupper();
  return r;
}

template <bool kCopy>
CORE_AVX512_FN BlockScan block_take16(float* dst, const float* src, int n) {
  const __m512i exp_mask = _mm512_set1_epi32(0x7F800000);
  const __m512i abs_mask = _mm512_set1_epi32(0x7FFFFFFF);
  const __m512i zero = _mm512_setzero_si512();
  __mmask16 odd = 0;
  int replaced = 0;
  __m512 pk = _mm512_setzero_ps();
  for (int i = 0; i < n; i += 16) {
    __mmask16 m = n - i >= 16 ? (__mmask16)0xFFFF : core_tail_mask(n - i);
    __m512i v = _mm512_maskz_loadu_epi32(m, src + i);
    __m512i e = _mm512_and_si512(v, exp_mask);
    __mmask16 nonfinite = _mm512_cmpeq_epi32_mask(e, exp_mask);
    v = _mm512_maskz_mov_epi32((__mmask16)~nonfinite, v);
    replaced += __builtin_popcount((unsigned)nonfinite);
    // -0 and denormals (exponent 0, not +0); the replaced samples are +0 by now.
    odd |= _mm512_mask_cmpneq_epi32_mask(_mm512_cmpeq_epi32_mask(e, zero), v, zero);
    if (kCopy) _mm512_mask_storeu_epi32(dst + i, m, v);
    pk = _mm512_max_ps(_mm512_castsi512_ps(_mm512_and_si512(v, abs_mask)), pk);
  }
  BlockScan r = {replaced, lanes_max16(pk), odd == 0};
  _mm256_zeroupper();
  return r;
}

}  // namespace
#pragma GCC diagnostic pop
#endif

float soft_clip_block(float* left, float* right, int n) {
#if CORE_AVX512
  if (core_lanes == 16) return soft_clip_block16(left, right, n);
#endif
  float peak = 0.0f;
  int i = 0;
#if CORE_SSE
  // Maxima of clipped samples (never NaN) do not depend on the order they are taken in.
  __m128 pk = _mm_setzero_ps();
  for (; i + 4 <= n; i += 4) {
    __m128 a = soft_clip4_at(left + i);
    __m128 b = soft_clip4_at(right + i);
    pk = _mm_max_ps(_mm_max_ps(a, b), pk);
  }
  alignas(16) float lanes[4];
  _mm_store_ps(lanes, pk);
  for (float v : lanes) peak = v > peak ? v : peak;
#endif
  for (; i < n; i++) {
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
  int i = 0;
#if CORE_SSE
  // Lane by lane the same selections as below (_mm_max_ps(a, b) is a > b ? a : b), so a NaN
  // is skipped exactly as the scalar loop skips it; the largest of the rest is order-free.
  const __m128 abs_mask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  __m128 pk = _mm_setzero_ps();
  for (; i + 4 <= n; i += 4) {
    __m128 a = _mm_and_ps(_mm_loadu_ps(left + i), abs_mask);
    __m128 b = _mm_and_ps(_mm_loadu_ps(right + i), abs_mask);
    pk = _mm_max_ps(_mm_max_ps(a, b), pk);
  }
  alignas(16) float lanes[4];
  _mm_store_ps(lanes, pk);
  for (float v : lanes) peak = v > peak ? v : peak;
#endif
  for (; i < n; i++) {
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

namespace {

// block_take, or with kCopy false the same measures of src alone (dst unused).
template <bool kCopy>
BlockScan take_block(float* dst, const float* src, int n) {
  BlockScan r = {0, 0.0f, true};
#if CORE_AVX512
  if (core_lanes == 16) return block_take16<kCopy>(dst, src, n);
#endif
  int i = 0;
#if CORE_SSE
  const __m128i exp_mask = _mm_set1_epi32(0x7F800000);
  const __m128i abs_mask = _mm_set1_epi32(0x7FFFFFFF);
  const __m128i zero = _mm_setzero_si128();
  __m128i bad = zero, odd = zero;
  __m128 pk = _mm_setzero_ps();
  for (; i + 4 <= n; i += 4) {
    __m128i v = _mm_castps_si128(_mm_loadu_ps(src + i));
    __m128i e = _mm_and_si128(v, exp_mask);
    __m128i nonfinite = _mm_cmpeq_epi32(e, exp_mask);
    v = _mm_andnot_si128(nonfinite, v);
    bad = _mm_sub_epi32(bad, nonfinite);
    // -0 and denormals (exponent 0, not +0); the replaced samples are +0 by now.
    odd = _mm_or_si128(odd, _mm_andnot_si128(_mm_cmpeq_epi32(v, zero), _mm_cmpeq_epi32(e, zero)));
    if (kCopy) _mm_storeu_ps(dst + i, _mm_castsi128_ps(v));
    pk = _mm_max_ps(_mm_castsi128_ps(_mm_and_si128(v, abs_mask)), pk);
  }
  alignas(16) int32_t counts[4];
  _mm_store_si128((__m128i*)counts, bad);
  r.replaced = counts[0] + counts[1] + counts[2] + counts[3];
  r.plain = _mm_movemask_epi8(odd) == 0;
  alignas(16) float lanes[4];
  _mm_store_ps(lanes, pk);
  for (float v : lanes) r.peak = v > r.peak ? v : r.peak;
#endif
  for (; i < n; i++) {
    uint32_t b = float_bits(src[i]);
    uint32_t e = b & 0x7F800000u;
    if (e == 0x7F800000u) {
      b = 0;
      r.replaced++;
    } else if (e == 0 && b != 0) {
      r.plain = false;
    }
    float v;
    std::memcpy(&v, &b, sizeof v);
    if (kCopy) dst[i] = v;
    float a = std::fabs(v);
    r.peak = a > r.peak ? a : r.peak;
  }
  return r;
}

}  // namespace

BlockScan block_take(float* dst, const float* src, int n) {
  if (!src) {
    std::memset(dst, 0, sizeof(float) * (size_t)n);
    return BlockScan{0, 0.0f, true};
  }
  return take_block<true>(dst, src, n);
}

BlockScan block_scan(const float* src, int n) {
#if CORE_AVX512
  if (core_lanes == 16) {
    bool clean;
    BlockScan r = block_scan16(src, n, &clean);
    if (clean) return r;
  }
#endif
  return take_block<false>(nullptr, src, n);
}
