// The mixer's state and what its files share: mixer.cpp (the plan mailbox, binding, meters and
// the callback's entry), mixer_kernels.cpp (the mix kernels) and mixer_plan.cpp (plans).
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/seqlock.h"
#include "rig/mixer.h"

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

// And a sixteen-lane kernel on processors with AVX-512 (F and DQ): half the instructions again,
// the same products and sums in the same order, so the same bits as the narrower kernels.
#if RIG_AVX
#define RIG_AVX512 1
#define RIG_AVX512_FN __attribute__((target("avx512f,avx512dq")))
#else
#define RIG_AVX512 0
#endif

constexpr int kRampMax = 16777216;  // 2^24: sample indexes stay exact in a float
constexpr int kMaster = RIG_MAX_CHANNELS;

// One gain pair moving linearly to its target: gain at ramp sample k = start + k * step.
struct RigRamp {
  float cur_l, cur_r;
  float target_l, target_r;
  float start_l, start_r;
  float step_l, step_r;
  int32_t done;
  int32_t len;  // 0: no ramp running
};

// What the settled mix takes from the gains: the audible inputs in channel order with their
// gains, and the inputs only metered. Kept from one settled callback to the next; any change of
// a gain's target, and any callback that goes the exact way, clears `ready`.
// The audible inputs go through the widest kernels in passes (groups) of up to eight, in channel
// order: as a general pair of gains, as one gain for both sides (a channel in the centre: one
// product added to both sums) or, when every audible input is in the centre, into the left sum
// alone (the right sum would take the same operations on the same values).
enum : int8_t { RIG_PASS_GENERAL, RIG_PASS_SAME, RIG_PASS_MONO };
struct RigPass {
  int8_t start, size, kind;
};

struct RigSettled {
  bool ready;
  int32_t input_count;  // what it was made for
  uint64_t present;     // the inputs that were there
  int32_t count, metered_count, pass_count;
  int8_t channel[RIG_MAX_CHANNELS];
  int8_t metered[RIG_MAX_CHANNELS];
  float gl[RIG_MAX_CHANNELS], gr[RIG_MAX_CHANNELS], gain_max[RIG_MAX_CHANNELS];
  RigPass passes[RIG_MAX_CHANNELS];
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
  // Samples the settled mix takes at a time: 4, 8 (AVX) or 16 (AVX-512); the processor's widest.
  int32_t lanes;
  RigSettled settled;
};

// The callback may only touch atomics that never fall back to a lock.
static_assert(std::atomic<uint64_t>::is_always_lock_free &&
              std::atomic<uint32_t>::is_always_lock_free &&
              std::atomic<float>::is_always_lock_free && std::atomic<double>::is_always_lock_free);

// Plain max for values already cleaned of NaN; std::fmax's NaN rules keep it from vectorising.
inline float mixer_vmax(float a, float b) {
  return a > b ? a : b;
}
inline double mixer_vmax(double a, double b) {
  return a > b ? a : b;
}

inline int mixer_clamp_int(int64_t v, int64_t lo, int64_t hi) {
  return (int)(v < lo ? lo : v > hi ? hi : v);
}

inline uint32_t mixer_float_bits(float v) {
  uint32_t b;
  memcpy(&b, &v, sizeof b);
  return b;
}

// NaN and infinity have every exponent bit set; they count as silence.
inline float mixer_sanitize(float v, uint32_t* bad) {
  uint32_t nonfinite = (mixer_float_bits(v) & 0x7F800000u) == 0x7F800000u;
  *bad += nonfinite;
  return nonfinite ? 0.0f : v;
}

// Steps 3 to 5 of a callback over frames [offset, offset + n) of the outputs, which hold zeros.
void mixer_mix_part(RigMixer* m, const float* const* inputs, int input_count, float* L, float* R,
                    int offset, int n);
// mixer_mix_part for the steady state, where every gain has settled: writes every frame of the
// part, over whatever the outputs held. False when the callback has to take the exact path
// (mixer_mix_part, over cleared outputs) instead.
bool mixer_mix_part_settled(RigMixer* m, const float* const* inputs, int input_count, float* L,
                            float* R, int offset, int n);
