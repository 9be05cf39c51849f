#include "rig/mixer.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <new>

#include "core/core.h"
#include "core/seqlock.h"
#include "base/log.h"

// The engine hands the mixer's output to the core in one piece.
static_assert((int)RIG_MAX_FRAMES == (int)CORE_MAX_FRAMES,
              "the mixer and the core take the same largest callback");

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define RIG_SSE 1
#else
#define RIG_SSE 0
#endif

// The steady-state mix also has an eight-lane kernel, chosen at run time on processors with
// AVX. GCC and Clang compile it for AVX alone (no FMA, so every product is still rounded
// before it is added, exactly as the four-lane code does).
#if RIG_SSE && (defined(__GNUC__) || defined(__clang__)) && \
    (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define RIG_AVX 1
#define RIG_AVX_FN __attribute__((target("avx")))
#else
#define RIG_AVX 0
#endif

namespace {

constexpr int kRampMax = 16777216;  // 2^24: sample indexes stay exact in a float
constexpr int kMaster = RIG_MAX_CHANNELS;
constexpr double kSqrt2 = 1.41421356237309504880;
constexpr double kPi = 3.14159265358979323846;

}  // namespace

// One gain pair moving linearly to its target: gain at ramp sample k = start + k * step.
struct RigRamp {
  float cur_l, cur_r;
  float target_l, target_r;
  float start_l, start_r;
  float step_l, step_r;
  int32_t done;
  int32_t len;  // 0: no ramp running
};

// A published plan as the callback takes it.
struct RigPlanMail {
  double ramp_seconds;
  uint32_t tag;
  uint32_t silent;
  float master;
  float pairs[RIG_MAX_CHANNELS * 2];  // left, right per channel
};

struct alignas(64) RigMixer {
  // Plan mailbox: the UI thread writes, the callback reads. Counter 0: nothing published yet.
  SeqLock<RigPlanMail> plan;

  // Meters: the callback raises them (max / OR), the UI takes them (exchange). Peaks are
  // non-negative floats kept as their bits, which order like the values.
  alignas(64) std::atomic<uint32_t> input_peak[RIG_MAX_CHANNELS];
  std::atomic<uint32_t> post_gain_peak[RIG_MAX_CHANNELS];
  std::atomic<uint64_t> clip_mask;
  std::atomic<uint64_t> bad_mask;
  std::atomic<uint64_t> bad_total;
  std::atomic<uint32_t> output_peak_left;
  std::atomic<uint32_t> output_peak_right;
  std::atomic<uint32_t> output_clipped;
  std::atomic<uint32_t> reported_waiting;
  std::atomic<uint32_t> reported_on_fallback;
  std::atomic<int32_t> meter_channels;
  std::atomic<uint32_t> meter_tag;
  std::atomic<uint64_t> callbacks;

  // The callback's own state (written by rig_bind_stream while no callback runs).
  alignas(64) RigRamp ramps[RIG_MAX_CHANNELS + 1];  // the last one is the master's
  float fallback_left[RIG_MAX_CHANNELS];
  float fallback_right[RIG_MAX_CHANNELS];
  float fallback_master;
  float plan_pairs[RIG_MAX_CHANNELS * 2];
  int64_t last_seq;
  double rate;
  uint32_t bound_tag;
  int32_t bound_channels;
  int32_t samples_20ms;
  int32_t samples_1s;
  int64_t samples_waited;
  bool has_fallback;
  bool waiting;
  bool on_fallback;
  bool fallback_allowed;
  bool first_plan_quick;
  bool last_waiting;
  bool last_on_fallback;
  bool wide;  // the processor has AVX: the settled mix takes eight samples at a time
};

// The callback may only touch atomics that never fall back to a lock.
static_assert(std::atomic<uint64_t>::is_always_lock_free &&
              std::atomic<uint32_t>::is_always_lock_free &&
              std::atomic<float>::is_always_lock_free && std::atomic<double>::is_always_lock_free);

namespace {

// Plain max for values already cleaned of NaN; std::fmax's NaN rules keep it from vectorising.
inline float vmax(float a, float b) {
  return a > b ? a : b;
}
inline double vmax(double a, double b) {
  return a > b ? a : b;
}

inline float finite_or_zero(float v) {
  return std::isfinite(v) ? v : 0.0f;
}

inline float clamp_gain(float g) {
  if (!(g > 0.0f)) return 0.0f;  // NaN and negatives
  return g < RIG_MAX_GAIN ? g : RIG_MAX_GAIN;
}

int clamp_int(int64_t v, int64_t lo, int64_t hi) {
  return (int)(v < lo ? lo : v > hi ? hi : v);
}

inline uint32_t float_bits(float v) {
  uint32_t b;
  memcpy(&b, &v, sizeof b);
  return b;
}

inline float bits_float(uint32_t b) {
  float v;
  memcpy(&v, &b, sizeof v);
  return v;
}

// NaN and infinity have every exponent bit set; they count as silence.
inline float sanitize(float v, uint32_t* bad) {
  uint32_t nonfinite = (float_bits(v) & 0x7F800000u) == 0x7F800000u;
  *bad += nonfinite;
  return nonfinite ? 0.0f : v;
}

void atomic_max(std::atomic<uint32_t>* a, float v) {
  if (!(v > 0.0f)) return;
  uint32_t bits = float_bits(v);
  uint32_t cur = a->load(std::memory_order_relaxed);
  while (bits > cur && !a->compare_exchange_weak(cur, bits, std::memory_order_relaxed)) {
  }
}

void ramp_set_target(RigRamp* r, float a, float b, int len) {
  bool same =
      r->len > 0 ? (r->target_l == a && r->target_r == b) : (r->cur_l == a && r->cur_r == b);
  r->target_l = a;
  r->target_r = b;
  if (same) return;
  r->start_l = r->cur_l;
  r->start_r = r->cur_r;
  r->done = 0;
  r->len = len < 1 ? 1 : len;
  r->step_l = (a - r->start_l) / (float)r->len;
  r->step_r = (b - r->start_r) / (float)r->len;
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
  return vmax(vmax(t[0], t[1]), vmax(t[2], t[3]));
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
  RIG_LANES(vmax(a.v[j], b.v[j]));
}
inline F4 f4_abs(F4 a) {
  RIG_LANES(std::fabs(a.v[j]));
}
inline F4 f4_clean(F4 a, Count4* finite) {
  F4 r;
  for (int j = 0; j < 4; j++) {
    uint32_t bad = 0;
    r.v[j] = sanitize(a.v[j], &bad);
    finite->v[j] += 1 - bad;
  }
  return r;
}
#undef RIG_LANES
inline float f4_hmax(F4 a) {
  return vmax(vmax(a.v[0], a.v[1]), vmax(a.v[2], a.v[3]));
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
  for (; k < n; k++) peak = vmax(peak, std::fabs(sanitize(x[k], &bad)));
  s->peak = vmax(s->peak, peak);
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
    float v = sanitize(x[k], &bad);
    float t = (float)(t0 + k);
    peak = vmax(peak, std::fabs(v));
    L[k] += v * (sl + t * dl);
    R[k] += v * (sr + t * dr);
  }
  s->peak = vmax(s->peak, peak);
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
    s->gain_max = vmax(s->gain_max, vmax(std::fabs(sl + t0 * dl), std::fabs(sr + t0 * dr)));
    s->gain_max = vmax(s->gain_max, vmax(std::fabs(sl + t1 * dl), std::fabs(sr + t1 * dr)));
    ramp_advance(r, k);
  }
  if (k >= n) return;
  float gl = r->cur_l, gr = r->cur_r;
  if (gl == 0.0f && gr == 0.0f) {
    scan_peak(x + k, n - k, s);
    return;
  }
  s->gain_max = vmax(s->gain_max, vmax(std::fabs(gl), std::fabs(gr)));
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
    float l = sanitize(L[k] * g, &bad);
    float r = sanitize(R[k] * g, &bad);
    L[k] = l;
    R[k] = r;
    peak_l = vmax(peak_l, std::fabs(l));
    peak_r = vmax(peak_r, std::fabs(r));
  }
  o->peak_l = vmax(o->peak_l, peak_l);
  o->peak_r = vmax(o->peak_r, peak_r);
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
    float v0 = sanitize(x0[k], &s0->bad), v1 = sanitize(x1[k], &s1->bad);
    s0->peak = vmax(s0->peak, std::fabs(v0));
    s1->peak = vmax(s1->peak, std::fabs(v1));
    L[k] = (L[k] + v0 * r0->cur_l) + v1 * r1->cur_l;
    R[k] = (R[k] + v0 * r0->cur_r) + v1 * r1->cur_r;
  }
  s0->gain_max = vmax(std::fabs(r0->cur_l), std::fabs(r0->cur_r));
  s1->gain_max = vmax(std::fabs(r1->cur_l), std::fabs(r1->cur_r));
}

inline bool settled_and_audible(const RigRamp* r) {
  return r->len == 0 && (r->cur_l != 0.0f || r->cur_r != 0.0f);
}

struct PartMeters {
  uint64_t clip, bad_bits, bad;
};

void meter_channel(RigMixer* m, int i, const ChannelScan& s, PartMeters* pm) {
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

// Steps 3 to 5 of a callback over frames [offset, offset + n) of the outputs.
void mix_part(RigMixer* m, const float* const* inputs, int input_count, float* L, float* R,
              int offset, int n) {
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
    p = vmax(p, std::fabs(x[k]));
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
    p = vmax(p, lanes[j]);
  }
  for (; k < n; k++) {
    if (!std::isfinite(x[k])) return false;
    p = vmax(p, std::fabs(x[k]));
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
  for (int g = 0; g < G; g++) {
    gl[g] = f4_set(c[g].gl);
    gr[g] = f4_set(c[g].gr);
    pk[g] = f4_set(0.0f);
  }
  int k = 0;
  for (; k + 4 <= n; k += 4) {
    F4 l = f4_load(L + k), r = f4_load(R + k);
    for (int g = 0; g < G; g++) {
      F4 v = f4_load(c[g].x + k);
      pk[g] = f4_max(f4_abs(v), pk[g]);
      l = f4_add(l, f4_mul(v, gl[g]));
      r = f4_add(r, f4_mul(v, gr[g]));
    }
    f4_store(L + k, l);
    f4_store(R + k, r);
  }
  for (int g = 0; g < G; g++) peak[g] = f4_hmax(pk[g]);
  for (; k < n; k++) {
    float l = L[k], r = R[k];
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
// mix_settled_group, eight samples at a time.
template <int G>
RIG_AVX_FN void mix_settled_group_avx(const Settled* c, float* L, float* R, int n, float* peak) {
  const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
  __m256 gl[G], gr[G], pk[G];
  for (int g = 0; g < G; g++) {
    gl[g] = _mm256_set1_ps(c[g].gl);
    gr[g] = _mm256_set1_ps(c[g].gr);
    pk[g] = _mm256_setzero_ps();
  }
  int k = 0;
  for (; k + 8 <= n; k += 8) {
    __m256 l = _mm256_loadu_ps(L + k), r = _mm256_loadu_ps(R + k);
    for (int g = 0; g < G; g++) {
      __m256 v = _mm256_loadu_ps(c[g].x + k);
      pk[g] = _mm256_max_ps(_mm256_and_ps(v, abs_mask), pk[g]);
      l = _mm256_add_ps(l, _mm256_mul_ps(v, gl[g]));
      r = _mm256_add_ps(r, _mm256_mul_ps(v, gr[g]));
    }
    _mm256_storeu_ps(L + k, l);
    _mm256_storeu_ps(R + k, r);
  }
  for (int g = 0; g < G; g++) {
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, pk[g]);
    float p = 0.0f;
    for (float v : lanes) p = vmax(p, v);
    peak[g] = p;
  }
  _mm256_zeroupper();
  for (; k < n; k++) {
    float l = L[k], r = R[k];
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
#endif

inline bool scan_finite(const RigMixer* m, const float* x, int n, float* peak) {
#if RIG_AVX
  if (m->wide) return scan_peak_finite_avx(x, n, peak);
#else
  (void)m;
#endif
  return scan_peak_finite(x, n, peak);
}

// mix_part for the steady state, where every gain has settled: the inputs go into the sum
// without cleaning each sample. A NaN or infinity in an audible input leaves a NaN or infinity
// in the sum, which the master stage counts; then (or when a ramp runs, or a gain is -0, which
// the exact path's tails turn into +0) the outputs are silenced again and false returned, and
// the caller takes the exact path. Nothing is changed or metered before success.
bool mix_part_settled(RigMixer* m, const float* const* inputs, int input_count, float* L, float* R,
                      int offset, int n) {
  const RigRamp* master = &m->ramps[kMaster];
  if (master->len != 0) return false;
  const int bound = m->bound_channels;
  Settled mix[RIG_MAX_CHANNELS];
  int8_t slot[RIG_MAX_CHANNELS];  // index into mix, -1 for metered only, -2 for no input
  int count = 0;
  for (int i = 0; i < bound; i++) {
    const RigRamp* r = &m->ramps[i];
    if (r->len != 0) return false;
    const float* x = i < input_count ? inputs[i] : nullptr;
    slot[i] = -2;
    if (!x) continue;
    slot[i] = -1;
    if (r->cur_l == 0.0f && r->cur_r == 0.0f) continue;
    if (float_bits(r->cur_l) == 0x80000000u || float_bits(r->cur_r) == 0x80000000u) return false;
    slot[i] = (int8_t)count;
    mix[count++] = Settled{x + offset, r->cur_l, r->cur_r};
  }

  float* l = L + offset;
  float* r = R + offset;
  float peaks[RIG_MAX_CHANNELS];
  int g = 0;
#if RIG_AVX
  if (m->wide) {
    for (; g + 4 <= count; g += 4) mix_settled_group_avx<4>(mix + g, l, r, n, peaks + g);
    if (count - g == 3) mix_settled_group_avx<3>(mix + g, l, r, n, peaks + g);
    if (count - g == 2) mix_settled_group_avx<2>(mix + g, l, r, n, peaks + g);
    if (count - g == 1) mix_settled_group_avx<1>(mix + g, l, r, n, peaks + g);
    g = count;
  }
#endif
  for (; g + 4 <= count; g += 4) mix_settled_group<4>(mix + g, l, r, n, peaks + g);
  if (count - g == 3) mix_settled_group<3>(mix + g, l, r, n, peaks + g);
  if (count - g == 2) mix_settled_group<2>(mix + g, l, r, n, peaks + g);
  if (count - g == 1) mix_settled_group<1>(mix + g, l, r, n, peaks + g);

  OutputScan o = {0.0f, 0.0f, 0};
  master_kernel(l, r, n, master->cur_l, 0.0f, 0, &o);
  if (o.bad) {
    memset(l, 0, sizeof(float) * (size_t)n);
    memset(r, 0, sizeof(float) * (size_t)n);
    return false;
  }

  PartMeters pm = {0, 0, 0};
  for (int i = 0; i < bound; i++) {
    if (slot[i] == -2) continue;
    ChannelScan s = {0.0f, 0.0f, 0};
    if (slot[i] >= 0) {
      s.peak = peaks[slot[i]];
      s.gain_max = vmax(std::fabs(m->ramps[i].cur_l), std::fabs(m->ramps[i].cur_r));
    } else if (!scan_finite(m, inputs[i] + offset, n, &s.peak)) {
      s.peak = 0.0f;
      scan_peak(inputs[i] + offset, n, &s);
    }
    meter_channel(m, i, s, &pm);
  }
  publish_part(m, &pm, o);
  return true;
}

int ramp_samples(const RigMixer* m, double seconds) {
  if (!(seconds > 0.0)) seconds = RIG_DEFAULT_RAMP_SECONDS;
  if (seconds > RIG_MAX_RAMP_SECONDS) seconds = RIG_MAX_RAMP_SECONDS;
  return clamp_int(std::llround(m->rate * seconds), 1, kRampMax);
}

// Start of every callback: pick up a newly published plan, if a whole one is there. One try:
// a copy torn by a publish is left for the next callback.
void take_plan(RigMixer* m) {
  // 0: nothing was ever published, which is no plan (and must not use up the quick first ramp).
  const uint64_t now = seqlock_sequence(&m->plan);
  if (now == 0 || (now & 1) || (int64_t)now == m->last_seq) return;
  RigPlanMail mail;
  const int64_t seq = seqlock_try_read(&m->plan, &mail);
  if (seq <= 0) return;  // torn: next callback
  memcpy(m->plan_pairs, mail.pairs, sizeof mail.pairs);
  m->last_seq = seq;
  const bool silent = mail.silent != 0;
  const uint32_t tag = mail.tag;
  const float master = mail.master;
  const double ramp = mail.ramp_seconds;

  bool accepted = !silent && tag != 0 && tag == m->bound_tag;
  int len = ramp_samples(m, ramp);
  if (m->first_plan_quick && len > m->samples_20ms) len = m->samples_20ms;
  m->first_plan_quick = false;
  for (int i = 0; i < RIG_MAX_CHANNELS; i++) {
    float a = accepted ? m->plan_pairs[2 * i] : 0.0f;
    float b = accepted ? m->plan_pairs[2 * i + 1] : 0.0f;
    ramp_set_target(&m->ramps[i], a, b, len);
  }
  float g = accepted ? master : 0.0f;
  ramp_set_target(&m->ramps[kMaster], g, g, len);
  m->on_fallback = false;
  m->waiting = !accepted;
  m->samples_waited = 0;
  m->fallback_allowed = !silent;
}

void go_to_fallback(RigMixer* m) {
  for (int i = 0; i < RIG_MAX_CHANNELS; i++)
    ramp_set_target(&m->ramps[i], m->fallback_left[i], m->fallback_right[i], m->samples_20ms);
  ramp_set_target(&m->ramps[kMaster], m->fallback_master, m->fallback_master, m->samples_20ms);
  m->waiting = false;
  m->on_fallback = true;
  m->samples_waited = 0;
}

int mix_without_rig(const float* const* inputs, int input_count, float* L, float* R, int n) {
  const float* a = input_count > 0 ? inputs[0] : nullptr;
  const float* b = input_count > 1 && inputs[1] ? inputs[1] : a;
  uint32_t bad = 0;
  for (int k = 0; k < n; k++) {
    L[k] = a ? sanitize(a[k], &bad) : 0.0f;
    R[k] = b ? sanitize(b[k], &bad) : 0.0f;
  }
  return n;
}

}  // namespace

// --- Plans ------------------------------------------------------------------------------

namespace {

struct PlanEntry {
  float gain, pan;
  bool muted, link, in_use;
};

void plan_rule(const PlanEntry* e, int n, float master, RigPlan* out) {
  n = clamp_int(n, 0, RIG_MAX_CHANNELS);
  memset(out, 0, sizeof *out);
  out->channel_count = n;
  out->master = clamp_gain(master);
  for (int i = 0; i < n; i++) {
    if (!e[i].in_use) continue;
    float g = e[i].muted ? 0.0f : clamp_gain(e[i].gain);
    float l, r;
    rig_pan_gains(e[i].pan, &l, &r);
    // A partner past the scene's channels is silent, so the pair falls back to a single.
    if (i % 2 == 0 && e[i].link && i + 1 < n && e[i + 1].in_use) {
      out->left[i] = g * std::fmin(1.0f, l);
      out->right[i + 1] = g * std::fmin(1.0f, r);
      i++;
    } else {
      out->left[i] = g * l;
      out->right[i] = g * r;
    }
  }
}

}  // namespace

void rig_pan_gains(float pan, float* left, float* right) {
  double p = std::isnan(pan) ? 0.0 : pan < -1.0f ? -1.0 : pan > 1.0f ? 1.0 : (double)pan;
  // Exact at the centre and the ends, where the cosines would leave rounding dust.
  if (p == 0.0) {
    *left = *right = 1.0f;
  } else if (p == -1.0) {
    *left = (float)kSqrt2;
    *right = 0.0f;
  } else if (p == 1.0) {
    *left = 0.0f;
    *right = (float)kSqrt2;
  } else {
    *left = (float)vmax(0.0, kSqrt2 * std::cos((p + 1.0) * kPi / 4.0));
    *right = (float)vmax(0.0, kSqrt2 * std::cos((1.0 - p) * kPi / 4.0));
  }
}

void rig_plan_from_scene(const RigScene* scene, int channels, RigPlan* out) {
  if (!out) return;
  int c = clamp_int(channels, 0, RIG_MAX_CHANNELS);
  PlanEntry e[RIG_MAX_CHANNELS] = {};
  if (!scene) {
    plan_rule(e, c, 0.0f, out);
    return;
  }
  int used = clamp_int(scene->channel_count, 0, c);
  for (int i = 0; i < used; i++) {
    const RigChannel& ch = scene->channels[i];
    e[i] = PlanEntry{ch.gain, ch.pan, ch.muted, ch.link, true};
  }
  plan_rule(e, c, scene->master_gain, out);
}

void rig_default_plan(const char* api, int channels, RigPlan* out) {
  if (!out) return;
  int n = clamp_int(channels, 0, RIG_MAX_CHANNELS);
  bool asio = api && strcmp(api, "asio") == 0;
  PlanEntry e[RIG_MAX_CHANNELS] = {};
  for (int i = 0; i < n; i++) e[i] = PlanEntry{1.0f, 0.0f, i > 1, i == 0 && n >= 2 && !asio, true};
  plan_rule(e, n, 1.0f, out);
}

bool rig_plan_equal(const RigPlan* a, const RigPlan* b) {
  if (!a || !b) return a == b;
  if (a->channel_count != b->channel_count || a->master != b->master) return false;
  int n = clamp_int(a->channel_count, 0, RIG_MAX_CHANNELS);
  for (int i = 0; i < n; i++)
    if (a->left[i] != b->left[i] || a->right[i] != b->right[i]) return false;
  return true;
}

// --- Mixer ------------------------------------------------------------------------------

RigMixer* rig_mixer_new() {
  RigMixer* m = new (std::nothrow) RigMixer();
  if (!m) {
    log_line("rig: out of memory for the mixer");
    return nullptr;
  }
#if RIG_AVX
  __builtin_cpu_init();
  m->wide = __builtin_cpu_supports("avx");
#endif
  m->rate = 48000.0;
  m->samples_20ms = 960;
  m->samples_1s = 48000;
  m->last_seq = -1;
  m->waiting = true;
  m->last_waiting = true;
  m->reported_waiting.store(1, std::memory_order_relaxed);
  return m;
}

void rig_mixer_free(RigMixer* m) {
  delete m;
}

void rig_bind_stream(RigMixer* m, double rate, int channels, uint32_t tag,
                     const RigPlan* fallback) {
  if (!m) return;
  if (!(rate > 0.0 && rate <= 10000000.0)) rate = 48000.0;
  m->rate = rate;
  m->bound_channels = clamp_int(channels, 1, RIG_MAX_CHANNELS);
  m->bound_tag = tag;
  m->samples_20ms = clamp_int(std::llround(rate * 0.02), 1, kRampMax);
  m->samples_1s = clamp_int(std::llround(rate), 1, kRampMax);
  memset(m->ramps, 0, sizeof m->ramps);
  memset(m->fallback_left, 0, sizeof m->fallback_left);
  memset(m->fallback_right, 0, sizeof m->fallback_right);
  m->fallback_master = 0.0f;
  m->has_fallback = fallback != nullptr;
  if (fallback) {
    int n = clamp_int(fallback->channel_count, 0, RIG_MAX_CHANNELS);
    for (int i = 0; i < n; i++) {
      m->fallback_left[i] = finite_or_zero(fallback->left[i]);
      m->fallback_right[i] = finite_or_zero(fallback->right[i]);
    }
    m->fallback_master = finite_or_zero(fallback->master);
  }
  m->last_seq = -1;
  m->waiting = true;
  m->on_fallback = false;
  m->fallback_allowed = true;
  m->first_plan_quick = true;
  m->samples_waited = 0;
  m->last_waiting = true;
  m->last_on_fallback = false;
  m->reported_waiting.store(1, std::memory_order_relaxed);
  m->reported_on_fallback.store(0, std::memory_order_relaxed);
  m->meter_channels.store(m->bound_channels, std::memory_order_relaxed);
  m->meter_tag.store(tag, std::memory_order_relaxed);
}

int rig_mix(RigMixer* m, const float* const* inputs, int input_count, float* left, float* right,
            int frames) {
  if (!left || !right || frames <= 0) return 0;
  int n = frames < RIG_MAX_FRAMES ? frames : RIG_MAX_FRAMES;
  if (!inputs || input_count < 0) input_count = 0;
  if (!m) return mix_without_rig(inputs, input_count, left, right, n);

  take_plan(m);

  int split = n;  // where the fallback plan takes over; n for not in this callback
  if (m->waiting && m->fallback_allowed && m->has_fallback &&
      m->samples_waited + n > m->samples_1s) {
    int64_t s = m->samples_1s - m->samples_waited;
    split = s < 0 ? 0 : (int)s;
  } else if (m->waiting) {
    m->samples_waited += n;
  }

  memset(left, 0, sizeof(float) * n);
  memset(right, 0, sizeof(float) * n);
  if (split > 0 && !mix_part_settled(m, inputs, input_count, left, right, 0, split))
    mix_part(m, inputs, input_count, left, right, 0, split);
  if (split < n) {
    go_to_fallback(m);
    if (!mix_part_settled(m, inputs, input_count, left, right, split, n - split))
      mix_part(m, inputs, input_count, left, right, split, n - split);
  }

  if (m->waiting != m->last_waiting) {
    m->last_waiting = m->waiting;
    m->reported_waiting.store(m->waiting, std::memory_order_relaxed);
  }
  if (m->on_fallback != m->last_on_fallback) {
    m->last_on_fallback = m->on_fallback;
    m->reported_on_fallback.store(m->on_fallback, std::memory_order_relaxed);
  }
  m->callbacks.fetch_add(1, std::memory_order_relaxed);
  return n;
}

void rig_publish_plan(RigMixer* m, const RigPlan* plan, uint32_t tag, double ramp_seconds) {
  if (!m) return;
  RigPlanMail mail;
  memset(&mail, 0, sizeof mail);
  mail.ramp_seconds = RIG_DEFAULT_RAMP_SECONDS;
  if (plan) {
    double ramp = ramp_seconds > 0.0 ? ramp_seconds : RIG_DEFAULT_RAMP_SECONDS;
    if (ramp > RIG_MAX_RAMP_SECONDS) ramp = RIG_MAX_RAMP_SECONDS;
    int n = clamp_int(plan->channel_count, 0, RIG_MAX_CHANNELS);
    mail.ramp_seconds = ramp;
    mail.tag = tag;
    mail.master = finite_or_zero(plan->master);
    for (int i = 0; i < n; i++) {
      mail.pairs[2 * i] = finite_or_zero(plan->left[i]);
      mail.pairs[2 * i + 1] = finite_or_zero(plan->right[i]);
    }
  } else {
    mail.silent = 1;
  }
  seqlock_write(&m->plan, mail);
}

void rig_read_meters(RigMixer* m, RigMeters* out) {
  if (!out) return;
  memset(out, 0, sizeof *out);
  if (!m) return;
  constexpr auto relaxed = std::memory_order_relaxed;
  out->bound_channels = m->meter_channels.load(relaxed);
  out->bound_tag = m->meter_tag.load(relaxed);
  for (int i = 0; i < RIG_MAX_CHANNELS; i++) {
    out->input_peak[i] = bits_float(m->input_peak[i].exchange(0, relaxed));
    out->post_gain_peak[i] = bits_float(m->post_gain_peak[i].exchange(0, relaxed));
  }
  out->clip_mask = m->clip_mask.exchange(0, relaxed);
  out->bad_mask = m->bad_mask.exchange(0, relaxed);
  out->output_peak_left = bits_float(m->output_peak_left.exchange(0, relaxed));
  out->output_peak_right = bits_float(m->output_peak_right.exchange(0, relaxed));
  out->output_clipped = m->output_clipped.exchange(0, relaxed) != 0;
  out->waiting = m->reported_waiting.load(relaxed) != 0;
  out->on_fallback = m->reported_on_fallback.load(relaxed) != 0;
  out->bad_total = m->bad_total.load(relaxed);
}

// --- Meters as shown --------------------------------------------------------------------

float rig_level_db(float peak) {
  if (!(peak > 0.0f)) return RIG_LEVEL_FLOOR_DB;
  float db = 20.0f * std::log10(peak);
  return db > RIG_LEVEL_FLOOR_DB ? db : RIG_LEVEL_FLOOR_DB;
}

void rig_shown_level_reset(RigShownLevel* s) {
  if (!s) return;
  s->level = RIG_LEVEL_FLOOR_DB;
  s->hold = RIG_LEVEL_FLOOR_DB;
  s->hold_age = 0.0f;
}

void rig_shown_level_update(RigShownLevel* s, float peak, double dt) {
  if (!s) return;
  if (!(dt > 0.0)) dt = 0.0;
  if (dt > 1.0) dt = 1.0;
  constexpr float kCeilingDb = 24.0f, kFallDbPerSecond = 24.0f, kHoldSeconds = 1.5f;
  float fallen = s->level - kFallDbPerSecond * (float)dt;
  float level = vmax(rig_level_db(peak), fallen);
  s->level = std::fmin(kCeilingDb, vmax(RIG_LEVEL_FLOOR_DB, level));
  if (s->level >= s->hold) {
    s->hold = s->level;
    s->hold_age = 0.0f;
  } else {
    s->hold_age += (float)dt;
    if (s->hold_age >= kHoldSeconds) s->hold = s->level;
  }
}
