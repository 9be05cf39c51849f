// The callback's mix kernels: four lanes at a time (SSE2 or plain), an eight-lane AVX path for
// the settled mix, and the meters they raise.
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>

#include "rig/mixer_internal.h"

namespace {

// Raises a peak meter. The callback is its only writer; the UI only takes it (exchange with 0).
// So a plain store does what a compare-exchange loop would: a take between the load and the
// store leaves the new peak for the next take, as the loop's retry from 0 would, and a peak
// not above the loaded value is left out either way. No locked instruction, even on the
// callback after each take, when every meter rises.
inline void raise_bits(std::atomic<uint32_t>* a, uint32_t bits) {
  if (bits > a->load(std::memory_order_relaxed)) a->store(bits, std::memory_order_relaxed);
}

inline void atomic_max(std::atomic<uint32_t>* a, float v) {
  if (v > 0.0f) raise_bits(a, mixer_float_bits(v));
}

// Moves a running ramp on by n samples (n <= samples left) and settles it at its end.
void ramp_advance(RigRamp* r, int n) {
  if (r->len == 0) return;
  int left = r->len - r->done;
  r->done += n < left ? n : left;
  if (r->done >= r->len) {
    r->cur_l = r->target_l;
    r->cur_r = r->target_r;
    r->done = 0;
    r->len = 0;
  } else {
    r->cur_l = r->start_l + (float)r->done * r->step_l;
    r->cur_r = r->start_r + (float)r->done * r->step_r;
  }
}

// Four samples at a time: SSE2 where the processor has it (every x86-64), plain lanes
// elsewhere. Cleaning zeroes NaN and infinite lanes and counts the finite ones.
#if RIG_SSE
struct F4 {
  __m128 v;
};
struct Count4 {
  __m128i v = _mm_setzero_si128();
};
inline F4 f4_load(const float* p) {
  return {_mm_loadu_ps(p)};
}
inline void f4_store(float* p, F4 a) {
  _mm_storeu_ps(p, a.v);
}
inline F4 f4_set(float x) {
  return {_mm_set1_ps(x)};
}
inline F4 f4_index(float t) {
  return {_mm_setr_ps(t, t + 1.0f, t + 2.0f, t + 3.0f)};
}
inline F4 f4_add(F4 a, F4 b) {
  return {_mm_add_ps(a.v, b.v)};
}
inline F4 f4_mul(F4 a, F4 b) {
  return {_mm_mul_ps(a.v, b.v)};
}
inline F4 f4_max(F4 a, F4 b) {
  return {_mm_max_ps(a.v, b.v)};
}
inline F4 f4_abs(F4 a) {
  return {_mm_and_ps(a.v, _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF)))};
}
inline F4 f4_clean(F4 a, Count4* finite) {
  __m128 ok = _mm_cmpeq_ps(_mm_sub_ps(a.v, a.v), _mm_setzero_ps());  // x - x is 0 unless NaN/inf
  finite->v = _mm_sub_epi32(finite->v, _mm_castps_si128(ok));
  return {_mm_and_ps(a.v, ok)};
}
inline float f4_hmax(F4 a) {
  alignas(16) float t[4];
  _mm_store_ps(t, a.v);
  return mixer_vmax(mixer_vmax(t[0], t[1]), mixer_vmax(t[2], t[3]));
}
inline uint32_t c4_sum(Count4 c) {
  alignas(16) uint32_t t[4];
  _mm_store_si128((__m128i*)t, c.v);
  return t[0] + t[1] + t[2] + t[3];
}
#else
struct F4 {
  float v[4];
};
struct Count4 {
  uint32_t v[4] = {0, 0, 0, 0};
};
#define RIG_LANES(expr)         \
  F4 r;                         \
  for (int j = 0; j < 4; j++) { \
    r.v[j] = (expr);            \
  }                             \
  return r
inline F4 f4_load(const float* p) {
  RIG_LANES(p[j]);
}
inline void f4_store(float* p, F4 a) {
  memcpy(p, a.v, sizeof a.v);
}
inline F4 f4_set(float x) {
  RIG_LANES(x);
}
inline F4 f4_index(float t) {
  RIG_LANES(t + (float)j);
}
inline F4 f4_add(F4 a, F4 b) {
  RIG_LANES(a.v[j] + b.v[j]);
}
inline F4 f4_mul(F4 a, F4 b) {
  RIG_LANES(a.v[j] * b.v[j]);
}
inline F4 f4_max(F4 a, F4 b) {
  RIG_LANES(mixer_vmax(a.v[j], b.v[j]));
}
inline F4 f4_abs(F4 a) {
  RIG_LANES(std::fabs(a.v[j]));
}
inline F4 f4_clean(F4 a, Count4* finite) {
  F4 r;
  for (int j = 0; j < 4; j++) {
    uint32_t bad = 0;
    r.v[j] = mixer_sanitize(a.v[j], &bad);
    finite->v[j] += 1 - bad;
  }
  return r;
}
#undef RIG_LANES
inline float f4_hmax(F4 a) {
  return mixer_vmax(mixer_vmax(a.v[0], a.v[1]), mixer_vmax(a.v[2], a.v[3]));
}
inline uint32_t c4_sum(Count4 c) {
  return c.v[0] + c.v[1] + c.v[2] + c.v[3];
}
#endif

struct ChannelScan {
  float peak;
  float gain_max;
  uint32_t bad;
};

// A silent channel: only its meters.
void scan_peak(const float* x, int n, ChannelScan* s) {
  F4 pk = f4_set(0.0f);
  Count4 finite;
  int k = 0;
  for (; k + 4 <= n; k += 4) pk = f4_max(pk, f4_abs(f4_clean(f4_load(x + k), &finite)));
  float peak = f4_hmax(pk);
  uint32_t bad = (uint32_t)k - c4_sum(finite);
  for (; k < n; k++) peak = mixer_vmax(peak, std::fabs(mixer_sanitize(x[k], &bad)));
  s->peak = mixer_vmax(s->peak, peak);
  s->bad += bad;
}

// Adds x into L and R with the gains s + t * d at sample t = t0 + k (d = 0: constant gains).
void mix_kernel(const float* x, float* L, float* R, int n, float sl, float sr, float dl, float dr,
                int t0, ChannelScan* s) {
  F4 pk = f4_set(0.0f);
  Count4 finite;
  int k = 0;
  if (dl == 0.0f && dr == 0.0f) {
    F4 gl = f4_set(sl), gr = f4_set(sr);
    for (; k + 4 <= n; k += 4) {
      F4 v = f4_clean(f4_load(x + k), &finite);
      pk = f4_max(pk, f4_abs(v));
      f4_store(L + k, f4_add(f4_load(L + k), f4_mul(v, gl)));
      f4_store(R + k, f4_add(f4_load(R + k), f4_mul(v, gr)));
    }
  } else {
    F4 bl = f4_set(sl), br = f4_set(sr), ml = f4_set(dl), mr = f4_set(dr), four = f4_set(4.0f);
    F4 t = f4_index((float)t0);
    for (; k + 4 <= n; k += 4) {
      F4 v = f4_clean(f4_load(x + k), &finite);
      pk = f4_max(pk, f4_abs(v));
      f4_store(L + k, f4_add(f4_load(L + k), f4_mul(v, f4_add(bl, f4_mul(t, ml)))));
      f4_store(R + k, f4_add(f4_load(R + k), f4_mul(v, f4_add(br, f4_mul(t, mr)))));
      t = f4_add(t, four);
    }
  }
  float peak = f4_hmax(pk);
  uint32_t bad = (uint32_t)k - c4_sum(finite);
  for (; k < n; k++) {
    float v = mixer_sanitize(x[k], &bad);
    float t = (float)(t0 + k);
    peak = mixer_vmax(peak, std::fabs(v));
    L[k] += v * (sl + t * dl);
    R[k] += v * (sr + t * dr);
  }
  s->peak = mixer_vmax(s->peak, peak);
  s->bad += bad;
}

// One input through its ramp into the outputs (n samples).
void mix_channel(RigRamp* r, const float* x, float* L, float* R, int n, ChannelScan* s) {
  int k = 0;
  if (r->len > 0) {
    int left = r->len - r->done;
    k = n < left ? n : left;
    float sl = r->start_l, sr = r->start_r, dl = r->step_l, dr = r->step_r;
    int d = r->done;
    mix_kernel(x, L, R, k, sl, sr, dl, dr, d, s);
    // Linear, so the largest gain of the stretch is at one of its ends.
    float t0 = (float)d, t1 = (float)(d + k - 1);
    s->gain_max =
        mixer_vmax(s->gain_max, mixer_vmax(std::fabs(sl + t0 * dl), std::fabs(sr + t0 * dr)));
    s->gain_max =
        mixer_vmax(s->gain_max, mixer_vmax(std::fabs(sl + t1 * dl), std::fabs(sr + t1 * dr)));
    ramp_advance(r, k);
  }
  if (k >= n) return;
  float gl = r->cur_l, gr = r->cur_r;
  if (gl == 0.0f && gr == 0.0f) {
    scan_peak(x + k, n - k, s);
    return;
  }
  s->gain_max = mixer_vmax(s->gain_max, mixer_vmax(std::fabs(gl), std::fabs(gr)));
  mix_kernel(x + k, L + k, R + k, n - k, gl, gr, 0.0f, 0.0f, 0, s);
}

struct OutputScan {
  float peak_l, peak_r;
  uint32_t bad;
};

// Scales L and R by the master gain s + t * d at sample t = t0 + k, zeroing what overflowed.
void master_kernel(float* L, float* R, int n, float s0, float d0, int t0, OutputScan* o) {
  F4 pl = f4_set(0.0f), pr = f4_set(0.0f);
  Count4 finite;
  F4 base = f4_set(s0), step = f4_set(d0), four = f4_set(4.0f);
  F4 t = f4_index((float)t0);
  int k = 0;
  for (; k + 4 <= n; k += 4) {
    F4 g = f4_add(base, f4_mul(t, step));
    F4 l = f4_clean(f4_mul(f4_load(L + k), g), &finite);
    F4 r = f4_clean(f4_mul(f4_load(R + k), g), &finite);
    f4_store(L + k, l);
    f4_store(R + k, r);
    pl = f4_max(pl, f4_abs(l));
    pr = f4_max(pr, f4_abs(r));
    t = f4_add(t, four);
  }
  float peak_l = f4_hmax(pl), peak_r = f4_hmax(pr);
  uint32_t bad = 2 * (uint32_t)k - c4_sum(finite);
  for (; k < n; k++) {
    float g = s0 + (float)(t0 + k) * d0;
    float l = mixer_sanitize(L[k] * g, &bad);
    float r = mixer_sanitize(R[k] * g, &bad);
    L[k] = l;
    R[k] = r;
    peak_l = mixer_vmax(peak_l, std::fabs(l));
    peak_r = mixer_vmax(peak_r, std::fabs(r));
  }
  o->peak_l = mixer_vmax(o->peak_l, peak_l);
  o->peak_r = mixer_vmax(o->peak_r, peak_r);
  o->bad += bad;
}

void master_stage(RigRamp* r, float* L, float* R, int n, OutputScan* o) {
  int k = 0;
  if (r->len > 0) {
    int left = r->len - r->done;
    k = n < left ? n : left;
    master_kernel(L, R, k, r->start_l, r->step_l, r->done, o);
    ramp_advance(r, k);
  }
  if (k < n) master_kernel(L + k, R + k, n - k, r->cur_l, 0.0f, 0, o);
}

// Two inputs with settled gains in one pass over the outputs: half the loads and stores.
// Sums in the same order as two single passes, so the result is the same to the bit.
void mix_pair_kernel(const float* x0, const float* x1, float* L, float* R, int n, const RigRamp* r0,
                     const RigRamp* r1, ChannelScan* s0, ChannelScan* s1) {
  F4 pk0 = f4_set(0.0f), pk1 = f4_set(0.0f);
  Count4 fin0, fin1;
  F4 al = f4_set(r0->cur_l), ar = f4_set(r0->cur_r), bl = f4_set(r1->cur_l), br = f4_set(r1->cur_r);
  F4 qk0 = f4_set(0.0f), qk1 = f4_set(0.0f);  // second lanes: shorter dependency chains
  int k = 0;
  for (; k + 8 <= n; k += 8) {
    F4 v0 = f4_clean(f4_load(x0 + k), &fin0);
    F4 v1 = f4_clean(f4_load(x1 + k), &fin1);
    F4 w0 = f4_clean(f4_load(x0 + k + 4), &fin0);
    F4 w1 = f4_clean(f4_load(x1 + k + 4), &fin1);
    pk0 = f4_max(pk0, f4_abs(v0));
    pk1 = f4_max(pk1, f4_abs(v1));
    qk0 = f4_max(qk0, f4_abs(w0));
    qk1 = f4_max(qk1, f4_abs(w1));
    f4_store(L + k, f4_add(f4_add(f4_load(L + k), f4_mul(v0, al)), f4_mul(v1, bl)));
    f4_store(R + k, f4_add(f4_add(f4_load(R + k), f4_mul(v0, ar)), f4_mul(v1, br)));
    f4_store(L + k + 4, f4_add(f4_add(f4_load(L + k + 4), f4_mul(w0, al)), f4_mul(w1, bl)));
    f4_store(R + k + 4, f4_add(f4_add(f4_load(R + k + 4), f4_mul(w0, ar)), f4_mul(w1, br)));
  }
  for (; k + 4 <= n; k += 4) {
    F4 v0 = f4_clean(f4_load(x0 + k), &fin0);
    F4 v1 = f4_clean(f4_load(x1 + k), &fin1);
    pk0 = f4_max(pk0, f4_abs(v0));
    pk1 = f4_max(pk1, f4_abs(v1));
    f4_store(L + k, f4_add(f4_add(f4_load(L + k), f4_mul(v0, al)), f4_mul(v1, bl)));
    f4_store(R + k, f4_add(f4_add(f4_load(R + k), f4_mul(v0, ar)), f4_mul(v1, br)));
  }
  s0->peak = f4_hmax(f4_max(pk0, qk0));
  s1->peak = f4_hmax(f4_max(pk1, qk1));
  s0->bad = (uint32_t)k - c4_sum(fin0);
  s1->bad = (uint32_t)k - c4_sum(fin1);
  for (; k < n; k++) {
    float v0 = mixer_sanitize(x0[k], &s0->bad), v1 = mixer_sanitize(x1[k], &s1->bad);
    s0->peak = mixer_vmax(s0->peak, std::fabs(v0));
    s1->peak = mixer_vmax(s1->peak, std::fabs(v1));
    L[k] = (L[k] + v0 * r0->cur_l) + v1 * r1->cur_l;
    R[k] = (R[k] + v0 * r0->cur_r) + v1 * r1->cur_r;
  }
  s0->gain_max = mixer_vmax(std::fabs(r0->cur_l), std::fabs(r0->cur_r));
  s1->gain_max = mixer_vmax(std::fabs(r1->cur_l), std::fabs(r1->cur_r));
}

inline bool settled_and_audible(const RigRamp* r) {
  return r->len == 0 && (r->cur_l != 0.0f || r->cur_r != 0.0f);
}

struct PartMeters {
  uint64_t clip, bad_bits, bad;
};

inline void meter_channel(RigMixer* m, int i, const ChannelScan& s, PartMeters* pm) {
  atomic_max(&m->input_peak[i], s.peak);
  float post = s.peak * s.gain_max;
  atomic_max(&m->post_gain_peak[i], std::isfinite(post) ? post : 3.4e38f);
  if (s.peak >= 0.999f) pm->clip |= 1ull << i;
  if (s.bad) {
    pm->bad_bits |= 1ull << i;
    pm->bad += s.bad;
  }
}

void publish_part(RigMixer* m, PartMeters* pm, const OutputScan& o) {
  pm->bad += o.bad;
  if (pm->clip) m->clip_mask.fetch_or(pm->clip, std::memory_order_relaxed);
  if (pm->bad_bits) m->bad_mask.fetch_or(pm->bad_bits, std::memory_order_relaxed);
  if (pm->bad) m->bad_total.fetch_add(pm->bad, std::memory_order_relaxed);
  atomic_max(&m->output_peak_left, o.peak_l);
  atomic_max(&m->output_peak_right, o.peak_r);
  if (o.peak_l >= 1.0f || o.peak_r >= 1.0f) m->output_clipped.store(1, std::memory_order_relaxed);
}

}  // namespace

// Steps 3 to 5 of a callback over frames [offset, offset + n) of the outputs.
void mixer_mix_part(RigMixer* m, const float* const* inputs, int input_count, float* L, float* R,
                    int offset, int n) {
  m->settled.ready = false;  // ramps move here
  PartMeters pm = {0, 0, 0};
  int bound = m->bound_channels;
  for (int i = 0; i < bound; i++) {
    RigRamp* r = &m->ramps[i];
    const float* x = i < input_count ? inputs[i] : nullptr;
    if (!x) {
      ramp_advance(r, n);
      continue;
    }
    ChannelScan s = {0.0f, 0.0f, 0};
    const float* y = i + 1 < bound && i + 1 < input_count ? inputs[i + 1] : nullptr;
    if (y && settled_and_audible(r) && settled_and_audible(&m->ramps[i + 1])) {
      ChannelScan t = {0.0f, 0.0f, 0};
      mix_pair_kernel(x + offset, y + offset, L + offset, R + offset, n, r, &m->ramps[i + 1], &s,
                      &t);
      meter_channel(m, i, s, &pm);
      meter_channel(m, i + 1, t, &pm);
      i++;
      continue;
    }
    mix_channel(r, x + offset, L + offset, R + offset, n, &s);
    meter_channel(m, i, s, &pm);
  }
  OutputScan o = {0.0f, 0.0f, 0};
  master_stage(&m->ramps[kMaster], L + offset, R + offset, n, &o);
  publish_part(m, &pm, o);
}

// The peak of a channel that is only metered, in one cheap pass, when the channel holds nothing
// infinite or NaN (an infinity carries into the maximum, a NaN into the running sum, and a sum
// that merely overflowed only sends the channel the exact way). False otherwise.
namespace {

bool scan_peak_finite(const float* x, int n, float* peak) {
  F4 pk0 = f4_set(0.0f), pk1 = f4_set(0.0f), s0 = f4_set(0.0f), s1 = f4_set(0.0f);
  int k = 0;
  for (; k + 8 <= n; k += 8) {
    F4 a = f4_load(x + k), b = f4_load(x + k + 4);
    pk0 = f4_max(f4_abs(a), pk0);
    pk1 = f4_max(f4_abs(b), pk1);
    s0 = f4_add(s0, a);
    s1 = f4_add(s1, b);
  }
  for (; k + 4 <= n; k += 4) {
    F4 a = f4_load(x + k);
    pk0 = f4_max(f4_abs(a), pk0);
    s0 = f4_add(s0, a);
  }
  float p = f4_hmax(f4_max(pk0, pk1));
  alignas(16) float sums[8];
  f4_store(sums, s0);
  f4_store(sums + 4, s1);
  for (float v : sums)
    if (!std::isfinite(v)) return false;
  for (; k < n; k++) {
    if (!std::isfinite(x[k])) return false;
    p = mixer_vmax(p, std::fabs(x[k]));
  }
  if (!std::isfinite(p)) return false;
  *peak = p;
  return true;
}

#if RIG_AVX
// scan_peak_finite, eight samples at a time.
RIG_AVX_FN bool scan_peak_finite_avx(const float* x, int n, float* peak) {
  const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
  __m256 pk0 = _mm256_setzero_ps(), pk1 = _mm256_setzero_ps();
  __m256 s0 = _mm256_setzero_ps(), s1 = _mm256_setzero_ps();
  int k = 0;
  for (; k + 16 <= n; k += 16) {
    __m256 a = _mm256_loadu_ps(x + k), b = _mm256_loadu_ps(x + k + 8);
    pk0 = _mm256_max_ps(_mm256_and_ps(a, abs_mask), pk0);
    pk1 = _mm256_max_ps(_mm256_and_ps(b, abs_mask), pk1);
    s0 = _mm256_add_ps(s0, a);
    s1 = _mm256_add_ps(s1, b);
  }
  alignas(32) float lanes[16];
  _mm256_store_ps(lanes, _mm256_max_ps(pk0, pk1));
  _mm256_store_ps(lanes + 8, _mm256_add_ps(s0, s1));
  _mm256_zeroupper();
  float p = 0.0f;
  for (int j = 0; j < 8; j++) {
    if (!std::isfinite(lanes[8 + j])) return false;
    p = mixer_vmax(p, lanes[j]);
  }
  for (; k < n; k++) {
    if (!std::isfinite(x[k])) return false;
    p = mixer_vmax(p, std::fabs(x[k]));
  }
  if (!std::isfinite(p)) return false;
  *peak = p;
  return true;
}
#endif

struct Settled {
  const float* x;
  float gl, gr;
};

// Adds G channels with settled gains into L and R in one pass over the outputs: each sample
// still takes the channels' products one after the other in channel order, as the exact path
// does, so the sums are the same to the bit. Peaks skip NaN (the master stage catches those).
template <int G>
void mix_settled_group(const Settled* c, float* L, float* R, int n, float* peak) {
  F4 gl[G], gr[G], pk[G];
#pragma GCC unroll 8
  for (int g = 0; g < G; g++) {
    gl[g] = f4_set(c[g].gl);
    gr[g] = f4_set(c[g].gr);
    pk[g] = f4_set(0.0f);
  }
  int k = 0;
  for (; k + 4 <= n; k += 4) {
    F4 l = f4_load(L + k), r = f4_load(R + k);
#pragma GCC unroll 8
    for (int g = 0; g < G; g++) {
      F4 v = f4_load(c[g].x + k);
      pk[g] = f4_max(f4_abs(v), pk[g]);
      l = f4_add(l, f4_mul(v, gl[g]));
      r = f4_add(r, f4_mul(v, gr[g]));
    }
    f4_store(L + k, l);
    f4_store(R + k, r);
  }
#pragma GCC unroll 8
  for (int g = 0; g < G; g++) peak[g] = f4_hmax(pk[g]);
  for (; k < n; k++) {
    float l = L[k], r = R[k];
#pragma GCC unroll 8
    for (int g = 0; g < G; g++) {
      float v = c[g].x[k];
      float a = std::fabs(v);
      peak[g] = a > peak[g] ? a : peak[g];
      l += v * c[g].gl;
      r += v * c[g].gr;
    }
    L[k] = l;
    R[k] = r;
  }
}

#if RIG_AVX
// mix_settled_group, eight samples at a time, for a pass of one kind (RigPass): a centred
// channel's product goes into both sums, and a mono pass leaves the right sum alone (the caller
// copies the left one over it at the end).
template <int G, int kKind>
RIG_AVX_FN void mix_settled_group_avx(const Settled* c, float* L, float* R, int n, float* peak) {
  constexpr bool kRight = kKind != RIG_PASS_MONO;
  const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
  __m256 gl[G], gr[G], pk[G];
#pragma GCC unroll 8
  for (int g = 0; g < G; g++) {
    gl[g] = _mm256_set1_ps(c[g].gl);
    gr[g] = _mm256_set1_ps(c[g].gr);
    pk[g] = _mm256_setzero_ps();
  }
  int k = 0;
  for (; k + 8 <= n; k += 8) {
    __m256 l = _mm256_loadu_ps(L + k);
    __m256 r = kRight ? _mm256_loadu_ps(R + k) : _mm256_setzero_ps();
#pragma GCC unroll 8
    for (int g = 0; g < G; g++) {
      __m256 v = _mm256_loadu_ps(c[g].x + k);
      pk[g] = _mm256_max_ps(_mm256_and_ps(v, abs_mask), pk[g]);
      if (kKind == RIG_PASS_GENERAL) {
        l = _mm256_add_ps(l, _mm256_mul_ps(v, gl[g]));
        r = _mm256_add_ps(r, _mm256_mul_ps(v, gr[g]));
      } else {
        const __m256 p = _mm256_mul_ps(v, gl[g]);
        l = _mm256_add_ps(l, p);
        if (kRight) r = _mm256_add_ps(r, p);
      }
    }
    _mm256_storeu_ps(L + k, l);
    if (kRight) _mm256_storeu_ps(R + k, r);
  }
#pragma GCC unroll 8
  for (int g = 0; g < G; g++) {
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, pk[g]);
    float p = 0.0f;
    for (float v : lanes) p = mixer_vmax(p, v);
    peak[g] = p;
  }
  _mm256_zeroupper();
  for (; k < n; k++) {
    float l = L[k], r = R[k];
#pragma GCC unroll 8
    for (int g = 0; g < G; g++) {
      float v = c[g].x[k];
      float a = std::fabs(v);
      peak[g] = a > peak[g] ? a : peak[g];
      if (kKind == RIG_PASS_GENERAL) {
        l += v * c[g].gl;
        r += v * c[g].gr;
      } else {
        const float p = v * c[g].gl;
        l += p;
        if (kRight) r += p;
      }
    }
    L[k] = l;
    if (kRight) R[k] = r;
  }
}

using GroupAvxFn = void (*)(const Settled*, float*, float*, int, float*);
// [kind][log2 size] for passes of 1, 2 and 4 channels (an eight-channel pass goes as two).
template <int kKind>
constexpr std::array<GroupAvxFn, 3> group_avx_sizes() {
  return {&mix_settled_group_avx<1, kKind>, &mix_settled_group_avx<2, kKind>,
          &mix_settled_group_avx<4, kKind>};
}
constexpr std::array<std::array<GroupAvxFn, 3>, 3> kGroupsAvx = {
    group_avx_sizes<RIG_PASS_GENERAL>(), group_avx_sizes<RIG_PASS_SAME>(),
    group_avx_sizes<RIG_PASS_MONO>()};
#endif

#if RIG_AVX512
// g++ 12's AVX-512 headers start some results from a self-initialised "undefined" vector, which
// its own uninitialised-use checks then report.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// VRANGEPS with this control keeps the larger magnitude with its sign cleared: |x| and the
// running maximum in one instruction. It passes over a NaN, which only a mixed channel may do
// (the NaN reaches the sum).
constexpr int kMaxMagnitude = 0x0B;

// Products and sums without FMA contraction (the target allows it): every product is rounded
// before it is added, as in the narrower kernels.
RIG_AVX512_FN inline __m512 mul16(__m512 a, __m512 b) {
  return _mm512_mul_round_ps(a, b, _MM_FROUND_CUR_DIRECTION);
}
RIG_AVX512_FN inline __m512 add16(__m512 a, __m512 b) {
  return _mm512_add_round_ps(a, b, _MM_FROUND_CUR_DIRECTION);
}

inline __mmask16 tail_mask(int left) {
  return (__mmask16)((1u << left) - 1u);
}

// The largest lane of magnitudes (never NaN: VRANGEPS passes over NaNs).
RIG_AVX512_FN inline float hmax16(__m512 v) {
  return _mm512_reduce_max_ps(v);
}

// The largest lane of each of eight vectors of magnitudes, into peak[0..7]: the eight are
// folded into one vector in halving steps rather than each on its own.
RIG_AVX512_FN inline __m512 fold_pairs(__m512 a, __m512 b) {  // quarters 0, 1 of a, b
  return _mm512_max_ps(_mm512_shuffle_f32x4(a, b, 0x44), _mm512_shuffle_f32x4(a, b, 0xEE));
}
RIG_AVX512_FN inline __m512 fold_quarters(__m512 a, __m512 b) {  // a quarter per channel
  return _mm512_max_ps(_mm512_shuffle_f32x4(a, b, 0x88), _mm512_shuffle_f32x4(a, b, 0xDD));
}
RIG_AVX512_FN inline void hmax16_eight(__m512 p0, __m512 p1, __m512 p2, __m512 p3, __m512 p4,
                                       __m512 p5, __m512 p6, __m512 p7, float* peak) {
  const __m512 n0 = fold_quarters(fold_pairs(p0, p1), fold_pairs(p2, p3));
  const __m512 n1 = fold_quarters(fold_pairs(p4, p5), fold_pairs(p6, p7));
  // Within each quarter: channel q in lane 0, channel q + 4 in lane 2.
  __m512 w = _mm512_max_ps(_mm512_shuffle_ps(n0, n1, 0x44), _mm512_shuffle_ps(n0, n1, 0xEE));
  w = _mm512_max_ps(w, _mm512_permute_ps(w, 0xB1));
  const __m512i order = _mm512_setr_epi32(0, 4, 8, 12, 2, 6, 10, 14, 0, 0, 0, 0, 0, 0, 0, 0);
  _mm512_mask_storeu_ps(peak, (__mmask16)0xFF, _mm512_permutexvar_ps(order, w));
}

// The largest magnitude (as bits) of each of eight channels only metered, sixteen samples at a
// time in one pass, the eight folded together at the end. Magnitudes as bits order like the
// values, and a NaN or infinity has every exponent bit set: at least 0x7F800000 means the
// channel holds one and goes the exact way.
RIG_AVX512_FN inline __m512i fold_pairs_bits(__m512i a, __m512i b) {
  return _mm512_max_epu32(_mm512_shuffle_i32x4(a, b, 0x44), _mm512_shuffle_i32x4(a, b, 0xEE));
}
RIG_AVX512_FN inline __m512i fold_quarters_bits(__m512i a, __m512i b) {
  return _mm512_max_epu32(_mm512_shuffle_i32x4(a, b, 0x88), _mm512_shuffle_i32x4(a, b, 0xDD));
}
RIG_AVX512_FN void magnitude_bits_eight(const float* const* x, int n, uint32_t* top) {
  const __m512i abs_mask = _mm512_set1_epi32(0x7FFFFFFF);
  __m512i pk[8];
#pragma GCC unroll 8
  for (int g = 0; g < 8; g++) pk[g] = _mm512_setzero_si512();
  for (int k = 0; k < n; k += 16) {
    const __mmask16 mask = n - k >= 16 ? (__mmask16)0xFFFF : tail_mask(n - k);
#pragma GCC unroll 8
    for (int g = 0; g < 8; g++) {
      const __m512i v = _mm512_maskz_loadu_epi32(mask, x[g] + k);
      pk[g] = _mm512_max_epu32(_mm512_and_si512(v, abs_mask), pk[g]);
    }
  }
  const __m512i n0 =
      fold_quarters_bits(fold_pairs_bits(pk[0], pk[1]), fold_pairs_bits(pk[2], pk[3]));
  const __m512i n1 =
      fold_quarters_bits(fold_pairs_bits(pk[4], pk[5]), fold_pairs_bits(pk[6], pk[7]));
  __m512i w = _mm512_max_epu32(_mm512_unpacklo_epi64(n0, n1), _mm512_unpackhi_epi64(n0, n1));
  w = _mm512_max_epu32(w, _mm512_shuffle_epi32(w, (_MM_PERM_ENUM)0xB1));
  const __m512i order = _mm512_setr_epi32(0, 4, 8, 12, 2, 6, 10, 14, 0, 0, 0, 0, 0, 0, 0, 0);
  _mm512_mask_storeu_epi32(top, (__mmask16)0xFF, _mm512_permutexvar_epi32(order, w));
  _mm256_zeroupper();
}

// scan_peak_finite, sixteen samples at a time. Magnitudes as bits order like the values, and a
// NaN or infinity has every exponent bit set, so one unsigned maximum finds both.
RIG_AVX512_FN bool scan_peak_finite_avx512(const float* x, int n, float* peak) {
  const __m512i abs_mask = _mm512_set1_epi32(0x7FFFFFFF);
  __m512i pk0 = _mm512_setzero_si512(), pk1 = _mm512_setzero_si512();
  int k = 0;
  for (; k + 32 <= n; k += 32) {
    pk0 = _mm512_max_epu32(_mm512_and_si512(_mm512_loadu_si512(x + k), abs_mask), pk0);
    pk1 = _mm512_max_epu32(_mm512_and_si512(_mm512_loadu_si512(x + k + 16), abs_mask), pk1);
  }
  for (; k < n; k += 16) {
    __mmask16 m = n - k >= 16 ? (__mmask16)0xFFFF : tail_mask(n - k);
    pk0 = _mm512_max_epu32(_mm512_and_si512(_mm512_maskz_loadu_epi32(m, x + k), abs_mask), pk0);
  }
  uint32_t top = (uint32_t)_mm512_reduce_max_epu32(_mm512_max_epu32(pk0, pk1));
  _mm256_zeroupper();
  if (top >= 0x7F800000u) return false;
  memcpy(peak, &top, sizeof top);
  return true;
}

// A pass of G settled channels over the outputs, sixteen frames at a time (the last vector
// masked): the sums start from the outputs (from +0 for the first pass, whose outputs hold
// nothing yet), take each channel's products in channel order, and the last pass applies the
// master gain and raises the output magnitudes (as bits, so a NaN or infinity shows as the
// largest). A left-only (mono) pass leaves the right output alone until the last pass copies the
// left into it. One loop body, so the gains and peaks stay in registers.
template <int G, int kKind, bool kFirst, bool kLast>
RIG_AVX512_FN void mix_pass_avx512(const Settled* c, float* L, float* R, int n, float master,
                                   float* peak, uint32_t* out_bits) {
  constexpr bool kRight = kKind != RIG_PASS_MONO;
  const __m512i abs_mask = _mm512_set1_epi32(0x7FFFFFFF);
  const float* x[G];
  __m512 gl[G], gr[G], pk[G];
#pragma GCC unroll 8
  for (int g = 0; g < G; g++) {
    x[g] = c[g].x;
    gl[g] = _mm512_set1_ps(c[g].gl);
    gr[g] = _mm512_set1_ps(c[g].gr);
    pk[g] = _mm512_setzero_ps();
  }
  const __m512 vm = _mm512_set1_ps(master);
  __m512i ol = _mm512_setzero_si512(), orr = _mm512_setzero_si512();
  for (int k = 0; k < n; k += 16) {
    const __mmask16 mask = n - k >= 16 ? (__mmask16)0xFFFF : tail_mask(n - k);
    __m512 l = kFirst ? _mm512_setzero_ps() : _mm512_maskz_loadu_ps(mask, L + k);
    __m512 r = kFirst || !kRight ? _mm512_setzero_ps() : _mm512_maskz_loadu_ps(mask, R + k);
#pragma GCC unroll 8
    for (int g = 0; g < G; g++) {
      __m512 v = _mm512_maskz_loadu_ps(mask, x[g] + k);
      pk[g] = _mm512_range_ps(v, pk[g], kMaxMagnitude);
      if (kKind == RIG_PASS_GENERAL) {
        l = add16(l, mul16(v, gl[g]));
        r = add16(r, mul16(v, gr[g]));
      } else {
        const __m512 p = mul16(v, gl[g]);
        l = add16(l, p);
        if (kRight) r = add16(r, p);
      }
    }
    if (kLast) {
      l = mul16(l, vm);
      ol = _mm512_max_epu32(ol, _mm512_and_si512(_mm512_castps_si512(l), abs_mask));
    }
    _mm512_mask_storeu_ps(L + k, mask, l);
    if (kRight) {
      if (kLast) {
        r = mul16(r, vm);
        orr = _mm512_max_epu32(orr, _mm512_and_si512(_mm512_castps_si512(r), abs_mask));
      }
      _mm512_mask_storeu_ps(R + k, mask, r);
    } else if (kLast) {
      _mm512_mask_storeu_ps(R + k, mask, l);
    }
  }
  if constexpr (G == 8) {
    hmax16_eight(pk[0], pk[1], pk[2], pk[3], pk[4], pk[5], pk[6], pk[7], peak);
  } else {
#pragma GCC unroll 8
    for (int g = 0; g < G; g++) peak[g] = hmax16(pk[g]);
  }
  if (kLast) {
    out_bits[0] = (uint32_t)_mm512_reduce_max_epu32(ol);
    out_bits[1] = kKind == RIG_PASS_MONO ? out_bits[0] : (uint32_t)_mm512_reduce_max_epu32(orr);
  }
  _mm256_zeroupper();
}

using Pass16Fn = void (*)(const Settled*, float*, float*, int, float, float*, uint32_t*);

// [kind][log2 size][first][last]; passes are 1, 2, 4 or 8 channels.
template <int G, int kKind>
constexpr std::array<Pass16Fn, 4> pass16_ends() {
  return {&mix_pass_avx512<G, kKind, false, false>, &mix_pass_avx512<G, kKind, false, true>,
          &mix_pass_avx512<G, kKind, true, false>, &mix_pass_avx512<G, kKind, true, true>};
}
template <int kKind>
constexpr std::array<std::array<Pass16Fn, 4>, 4> pass16_sizes() {
  return {pass16_ends<1, kKind>(), pass16_ends<2, kKind>(), pass16_ends<4, kKind>(),
          pass16_ends<8, kKind>()};
}
constexpr std::array<std::array<std::array<Pass16Fn, 4>, 4>, 3> kPasses16 = {
    pass16_sizes<RIG_PASS_GENERAL>(), pass16_sizes<RIG_PASS_SAME>(), pass16_sizes<RIG_PASS_MONO>()};

// The whole settled mix and its master stage, sixteen frames at a time, pass by pass. False
// (outputs as they are) when an output came out NaN or infinite.
bool settled_mix_avx512(const Settled* mix, const RigSettled& p, float* L, float* R, int n,
                        float master, float* peaks, OutputScan* o) {
  // As the master stage's gain base + t * 0: -0 comes out +0.
  const float g = master + 0.0f;
  uint32_t out_bits[2] = {0, 0};
  if (p.count == 0) {
    // Silence through the master gain: +0, or -0 when it is negative.
    const float z = 0.0f * g;
    for (int k = 0; k < n; k++) L[k] = R[k] = z;
  }
  for (int i = 0; i < p.pass_count; i++) {
    const RigPass& q = p.passes[i];
    const int size_index = q.size == 8 ? 3 : q.size == 4 ? 2 : q.size == 2 ? 1 : 0;
    const bool first = i == 0, last = i + 1 == p.pass_count;
    kPasses16[q.kind][size_index][(first ? 2 : 0) | (last ? 1 : 0)](mix + q.start, L, R, n, g,
                                                                    peaks + q.start, out_bits);
  }
  if (out_bits[0] >= 0x7F800000u || out_bits[1] >= 0x7F800000u) return false;
  memcpy(&o->peak_l, &out_bits[0], sizeof(float));
  memcpy(&o->peak_r, &out_bits[1], sizeof(float));
  o->bad = 0;
  return true;
}
#pragma GCC diagnostic pop
#endif

inline bool scan_finite(const RigMixer* m, const float* x, int n, float* peak) {
#if RIG_AVX512
  if (m->lanes == 16) return scan_peak_finite_avx512(x, n, peak);
#endif
#if RIG_AVX
  if (m->lanes == 8) return scan_peak_finite_avx(x, n, peak);
#else
  (void)m;
#endif
  return scan_peak_finite(x, n, peak);
}
}  // namespace

namespace {

// Runs of centred and of other channels, each cut into passes of 8, 4, 2 and 1; every pass mono
// when all audible channels are centred.
void plan_passes(RigSettled* p) {
  bool mono = true;
  for (int s = 0; s < p->count; s++) mono = mono && p->gl[s] == p->gr[s];
  int passes = 0;
  for (int at = 0; at < p->count;) {
    const bool same = p->gl[at] == p->gr[at];
    int run = 1;
    while (at + run < p->count && (p->gl[at + run] == p->gr[at + run]) == same) run++;
    const int8_t kind = mono ? RIG_PASS_MONO : same ? RIG_PASS_SAME : RIG_PASS_GENERAL;
    for (int size = 8; size >= 1; size /= 2) {
      for (; run >= size; run -= size, at += size)
        p->passes[passes++] = RigPass{(int8_t)at, (int8_t)size, kind};
    }
  }
  p->pass_count = passes;
}

// Remakes the settled plan from the ramps. False when a ramp runs or a gain is -0 (the exact
// path's tails turn that into +0): the callback goes the exact way.
bool make_settled(RigMixer* m, const float* const* inputs, int input_count, uint64_t present) {
  RigSettled* p = &m->settled;
  const int bound = m->bound_channels < input_count ? m->bound_channels : input_count;
  uint32_t odd = 0;  // a ramp running or a gain of -0
  for (int i = bound; i < m->bound_channels; i++) odd |= (uint32_t)m->ramps[i].len;
  int count = 0, metered = 0;
  for (int i = 0; i < bound; i++) {
    const RigRamp* r = &m->ramps[i];
    const uint32_t bl = mixer_float_bits(r->cur_l), br = mixer_float_bits(r->cur_r);
    odd |= (uint32_t)r->len;
    if (!inputs[i]) continue;
    if (((bl | br) & 0x7FFFFFFFu) == 0) {  // both +0 or -0: silent
      p->metered[metered++] = (int8_t)i;
      continue;
    }
    odd |= (uint32_t)(bl == 0x80000000u) | (uint32_t)(br == 0x80000000u);
    p->channel[count] = (int8_t)i;
    p->gl[count] = r->cur_l;
    p->gr[count] = r->cur_r;
    p->gain_max[count] = mixer_vmax(std::fabs(r->cur_l), std::fabs(r->cur_r));
    count++;
  }
  p->count = count;
  p->metered_count = metered;
  p->input_count = input_count;
  p->present = present;
  plan_passes(p);
  p->ready = odd == 0;
  return p->ready;
}

// Raises a meter to a non-negative, non-NaN value.
inline void raise_meter(std::atomic<uint32_t>* a, float v) {
  raise_bits(a, mixer_float_bits(v));
}

// The meters of a settled part: the mixed channels' peaks as the kernels measured them (every
// one finite, or the sum would not be), the metered-only ones scanned here.
void meter_settled(RigMixer* m, const float* const* inputs, int offset, int n, const RigSettled& p,
                   const float* peaks, const OutputScan& o) {
  PartMeters pm = {0, 0, 0};
  for (int s = 0; s < p.count; s++) {
    const int i = p.channel[s];
    const float peak = peaks[s];
    const float post = peak * p.gain_max[s];
    raise_meter(&m->input_peak[i], peak);
    raise_meter(&m->post_gain_peak[i], std::isfinite(post) ? post : 3.4e38f);
    pm.clip |= (uint64_t)(peak >= 0.999f) << i;
  }
  int s = 0;
#if RIG_AVX512
  // Eight metered-only channels at a time.
  for (; m->lanes == 16 && s + 8 <= p.metered_count; s += 8) {
    const float* x[8];
    for (int g = 0; g < 8; g++) x[g] = inputs[p.metered[s + g]] + offset;
    uint32_t top[8];
    magnitude_bits_eight(x, n, top);
    for (int g = 0; g < 8; g++) {
      ChannelScan c = {0.0f, 0.0f, 0};
      if (top[g] < 0x7F800000u)
        memcpy(&c.peak, &top[g], sizeof c.peak);
      else
        scan_peak(x[g], n, &c);
      meter_channel(m, p.metered[s + g], c, &pm);
    }
  }
#endif
  for (; s < p.metered_count; s++) {
    const int i = p.metered[s];
    ChannelScan c = {0.0f, 0.0f, 0};
    if (!scan_finite(m, inputs[i] + offset, n, &c.peak)) {
      c.peak = 0.0f;
      scan_peak(inputs[i] + offset, n, &c);
    }
    meter_channel(m, i, c, &pm);
  }
  publish_part(m, &pm, o);
}

}  // namespace

// mixer_mix_part for the steady state, where every gain has settled: the inputs go into the sum
// without cleaning each sample. A NaN or infinity in an audible input leaves a NaN or infinity
// in the sum, which the master stage counts; then (or when a ramp runs, or a gain is -0, which
// the exact path's tails turn into +0) false is returned and the caller clears the outputs and
// takes the exact path. Nothing is metered before success.
bool mixer_mix_part_settled(RigMixer* m, const float* const* inputs, int input_count, float* L,
                            float* R, int offset, int n) {
  const RigRamp* master = &m->ramps[kMaster];
  if (master->len != 0) return false;
  const int bound = m->bound_channels < input_count ? m->bound_channels : input_count;
  uint64_t present = 0;
  for (int i = 0; i < bound; i++) present |= (uint64_t)(inputs[i] != nullptr) << i;
  const RigSettled& p = m->settled;
  if (!(p.ready && p.input_count == input_count && p.present == present) &&
      !make_settled(m, inputs, input_count, present))
    return false;
  const int count = p.count;
  Settled mix[RIG_MAX_CHANNELS];
  for (int s = 0; s < count; s++) mix[s] = Settled{inputs[p.channel[s]] + offset, p.gl[s], p.gr[s]};

  float* l = L + offset;
  float* r = R + offset;
  float peaks[RIG_MAX_CHANNELS];
  OutputScan o = {0.0f, 0.0f, 0};
#if RIG_AVX512
  if (m->lanes == 16) {
    if (!settled_mix_avx512(mix, p, l, r, n, master->cur_l, peaks, &o)) return false;
    meter_settled(m, inputs, offset, n, p, peaks, o);
    return true;
  }
#endif
  memset(l, 0, sizeof(float) * (size_t)n);
  memset(r, 0, sizeof(float) * (size_t)n);
  int g = 0;
#if RIG_AVX
  if (m->lanes == 8) {
    for (int i = 0; i < p.pass_count; i++) {
      const RigPass& q = p.passes[i];
      for (int at = q.start; at < q.start + q.size; at += 4) {
        const int size = q.size < 4 ? q.size : 4;
        kGroupsAvx[q.kind][size == 4 ? 2 : size - 1](mix + at, l, r, n, peaks + at);
      }
    }
    if (p.pass_count > 0 && p.passes[0].kind == RIG_PASS_MONO)
      memcpy(r, l, sizeof(float) * (size_t)n);
    g = count;
  }
#endif
  for (; g + 4 <= count; g += 4) mix_settled_group<4>(mix + g, l, r, n, peaks + g);
  if (count - g == 3) mix_settled_group<3>(mix + g, l, r, n, peaks + g);
  if (count - g == 2) mix_settled_group<2>(mix + g, l, r, n, peaks + g);
  if (count - g == 1) mix_settled_group<1>(mix + g, l, r, n, peaks + g);

  master_kernel(l, r, n, master->cur_l, 0.0f, 0, &o);
  if (o.bad) return false;
  meter_settled(m, inputs, offset, n, p, peaks, o);
  return true;
}
