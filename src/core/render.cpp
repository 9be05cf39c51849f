// The tape renderer: plays, overdubs and records one block at the cursor, in stretches of
// frames that decide nothing and frame by frame around the ones that do.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#include "core/core_internal.h"

#include "core/simd.h"

namespace {

inline bool same_bits(float a, float b) {
  uint32_t x, y;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}

// Smallest integer >= x, for 0 < x < 2^52.
inline int64_t ceil_pos(double x) {
  int64_t t = (int64_t)x;
  return (double)t < x ? t + 1 : t;
}

// Adds 1.0 to the hop accumulator once per frame for at most `limit` frames, stopping after the
// frame that makes it reach `hop`; *reached tells whether it did. Rounds exactly as the frame by
// frame sums: within one binade every sum is exact, so only a frame that crosses into the next
// binade needs its own addition. Returns the frames taken.
int hop_advance(double* acc, double hop, int limit, bool* reached) {
  double a = *acc;
  int steps = 0;
  *reached = false;
  // A whole number (every hop at rates that divide by 187.5) stays whole and every sum is exact:
  // the frame that reaches the hop follows from one subtraction, which is exact as well.
  if (a >= 0.0 && a < 4503599627370496.0 - (double)limit && a == (double)(int64_t)a) {
    const int64_t need = hop > a ? ceil_pos(hop - a) : 1;
    if (need <= limit) {
      *acc = a + (double)need;
      *reached = true;
      return (int)need;
    }
    *acc = a + (double)limit;
    return limit;
  }
  while (steps < limit) {
    int64_t j = 0;
    if (a >= 1.0 && a < 4503599627370496.0) {  // 2^52: whole numbers are still exact
      uint64_t bits;
      std::memcpy(&bits, &a, sizeof bits);
      uint64_t top_bits = ((bits >> 52) + 1) << 52;  // 2^(exponent + 1)
      double top;
      std::memcpy(&top, &top_bits, sizeof top);
      j = ceil_pos(top - a) - 1;  // frames that stay below the next binade
      if (limit - steps < j) j = limit - steps;
      if (hop < top) {
        int64_t to_hop = hop > a ? ceil_pos(hop - a) : 1;  // hop - a is exact here
        if (to_hop < j) j = to_hop;
      }
    }
    if (j >= 1) {
      a += (double)j;
      steps += (int)j;
    } else {
      a += 1.0;
      steps++;
    }
    if (a >= hop) {
      *reached = true;
      break;
    }
  }
  *acc = a;
  return steps;
}

// A stretch of the tape renderer: tape frames contiguous, nothing to decide. The envelope is
// either constant (`fades` null) or given per frame. The same arithmetic as the frame by frame
// loop, four frames at a time.
template <bool kPlay, bool kOverdub, bool kCapture, bool kRamp>
void tape_stretch(const float* cl, const float* cr, float* out_l, float* out_r, int m, float* p,
                  float* q, float fade, const float* fades, float gain, bool monitor) {
  int j = 0;
#if CORE_SSE
  const __m128 vg = _mm_set1_ps(gain);
  const __m128 mon = _mm_castsi128_ps(_mm_set1_epi32(monitor ? -1 : 0));
  for (; j + 4 <= m; j += 4) {
    __m128 L = _mm_loadu_ps(cl + j), R = _mm_loadu_ps(cr + j);
    __m128 t0 = _mm_setzero_ps(), t1 = _mm_setzero_ps();
    if (kPlay || kOverdub) {
      t0 = _mm_loadu_ps(p + 2 * j);      // l0 r0 l1 r1
      t1 = _mm_loadu_ps(p + 2 * j + 4);  // l2 r2 l3 r3
    }
    __m128 pl = _mm_setzero_ps(), pr = _mm_setzero_ps();
    if (kPlay) {
      pl = _mm_mul_ps(_mm_shuffle_ps(t0, t1, _MM_SHUFFLE(2, 0, 2, 0)), vg);
      pr = _mm_mul_ps(_mm_shuffle_ps(t0, t1, _MM_SHUFFLE(3, 1, 3, 1)), vg);
    }
    _mm_storeu_ps(out_l + j, _mm_add_ps(pl, _mm_and_ps(L, mon)));
    _mm_storeu_ps(out_r + j, _mm_add_ps(pr, _mm_and_ps(R, mon)));
    if (kOverdub || kCapture) {
      __m128 vf = kRamp ? _mm_loadu_ps(fades + j) : _mm_set1_ps(fade);
      __m128 dl = _mm_mul_ps(vf, L), dr = _mm_mul_ps(vf, R);
      __m128 d0 = _mm_unpacklo_ps(dl, dr), d1 = _mm_unpackhi_ps(dl, dr);
      if (kOverdub) {
        _mm_storeu_ps(p + 2 * j, _mm_add_ps(t0, d0));
        _mm_storeu_ps(p + 2 * j + 4, _mm_add_ps(t1, d1));
      }
      if (kCapture) {
        _mm_storeu_ps(q + 2 * j, d0);
        _mm_storeu_ps(q + 2 * j + 4, d1);
      }
    }
  }
#endif
  for (; j < m; j++) {
    const float L = cl[j], R = cr[j];
    const float g = kRamp ? fades[j] : fade;
    float pl = 0.0f, pr = 0.0f;
    if (kPlay) {
      pl = p[2 * j] * gain;
      pr = p[2 * j + 1] * gain;
    }
    if (kOverdub) {
      p[2 * j] += g * L;
      p[2 * j + 1] += g * R;
    }
    if (kCapture) {
      q[2 * j] = g * L;
      q[2 * j + 1] = g * R;
    }
    out_l[j] = pl + (monitor ? L : 0.0f);
    out_r[j] = pr + (monitor ? R : 0.0f);
  }
}

using StretchFn = void (*)(const float*, const float*, float*, float*, int, float*, float*, float,
                           const float*, float, bool);

#if CORE_AVX512
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// tape_stretch sixteen frames at a time, the tape's interleaved pairs split and joined by
// permutes; the frames past the last sixteen go the four-lane way. The same operations on the
// same values, so the same bits.
template <bool kPlay, bool kOverdub, bool kCapture, bool kRamp>
CORE_AVX512_FN void tape_stretch16(const float* cl, const float* cr, float* out_l, float* out_r,
                                   int m, float* p, float* q, float fade, const float* fades,
                                   float gain, bool monitor) {
  const __m512 vg = _mm512_set1_ps(gain);
  const __m512 mon = _mm512_castsi512_ps(_mm512_set1_epi32(monitor ? -1 : 0));
  const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  const __m512i odd = _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
  const __m512i low = _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
  const __m512i high =
      _mm512_setr_epi32(8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
  int j = 0;
  for (; j + 16 <= m; j += 16) {
    __m512 L = _mm512_loadu_ps(cl + j), R = _mm512_loadu_ps(cr + j);
    __m512 t0 = _mm512_setzero_ps(), t1 = _mm512_setzero_ps();
    if (kPlay || kOverdub) {
      t0 = _mm512_loadu_ps(p + 2 * j);       // l0 r0 .. l7 r7
      t1 = _mm512_loadu_ps(p + 2 * j + 16);  // l8 r8 .. l15 r15
    }
    __m512 pl = _mm512_setzero_ps(), pr = _mm512_setzero_ps();
    if (kPlay) {
      pl = _mm512_mul_ps(_mm512_permutex2var_ps(t0, even, t1), vg);
      pr = _mm512_mul_ps(_mm512_permutex2var_ps(t0, odd, t1), vg);
    }
    _mm512_storeu_ps(out_l + j,
                     _mm512_add_round_ps(pl, _mm512_and_ps(L, mon), _MM_FROUND_CUR_DIRECTION));
    _mm512_storeu_ps(out_r + j,
                     _mm512_add_round_ps(pr, _mm512_and_ps(R, mon), _MM_FROUND_CUR_DIRECTION));
    if (kOverdub || kCapture) {
      __m512 vf = kRamp ? _mm512_loadu_ps(fades + j) : _mm512_set1_ps(fade);
      __m512 dl = _mm512_mul_ps(vf, L), dr = _mm512_mul_ps(vf, R);
      __m512 d0 = _mm512_permutex2var_ps(dl, low, dr), d1 = _mm512_permutex2var_ps(dl, high, dr);
      if (kOverdub) {
        _mm512_storeu_ps(p + 2 * j, _mm512_add_round_ps(t0, d0, _MM_FROUND_CUR_DIRECTION));
        _mm512_storeu_ps(p + 2 * j + 16, _mm512_add_round_ps(t1, d1, _MM_FROUND_CUR_DIRECTION));
      }
      if (kCapture) {
        _mm512_storeu_ps(q + 2 * j, d0);
        _mm512_storeu_ps(q + 2 * j + 16, d1);
      }
    }
  }
  _mm256_zeroupper();
  if (j < m)
    tape_stretch<kPlay, kOverdub, kCapture, kRamp>(
        cl + j, cr + j, out_l + j, out_r + j, m - j, p ? p + 2 * j : nullptr,
        q ? q + 2 * j : nullptr, fade, fades ? fades + j : nullptr, gain, monitor);
}
// hop_peak_every_eighth sixteen frames at a time: lanes start and start + 8 take part.
CORE_AVX512_FN float hop_peak_every_eighth16(const float* cl, const float* cr, int start, int m,
                                             float peak) {
  const __m512 abs_mask = _mm512_castsi512_ps(_mm512_set1_epi32(0x7FFFFFFF));
  const __mmask16 lanes = (__mmask16)((1u << start) | (1u << (start + 8)));
  __m512 pk = _mm512_set1_ps(peak);
  for (int j = 0; j < m; j += 16) {
    const __mmask16 k = m - j >= 16 ? lanes : (__mmask16)(lanes & core_tail_mask(m - j));
    __m512 a = _mm512_and_ps(_mm512_maskz_loadu_ps(k, cl + j), abs_mask);
    __m512 b = _mm512_and_ps(_mm512_maskz_loadu_ps(k, cr + j), abs_mask);
    pk = _mm512_mask_max_ps(pk, k, _mm512_max_ps(b, a), pk);
  }
  alignas(64) float v[16];
  _mm512_store_ps(v, pk);
  _mm256_zeroupper();
  return v[start] > v[start + 8] ? v[start] : v[start + 8];
}
#pragma GCC diagnostic pop
#endif

// Every variant, indexed by play * 8 + overdub * 4 + capture * 2 + ramp; the sixteen-lane ones
// follow.
template <size_t... I>
constexpr std::array<StretchFn, 2 * sizeof...(I)> stretch_table(std::index_sequence<I...>) {
#if CORE_AVX512
  return {&tape_stretch<(I & 8) != 0, (I & 4) != 0, (I & 2) != 0, (I & 1) != 0>...,
          &tape_stretch16<(I & 8) != 0, (I & 4) != 0, (I & 2) != 0, (I & 1) != 0>...};
#else
  return {&tape_stretch<(I & 8) != 0, (I & 4) != 0, (I & 2) != 0, (I & 1) != 0>...,
          &tape_stretch<(I & 8) != 0, (I & 4) != 0, (I & 2) != 0, (I & 1) != 0>...};
#endif
}
constexpr std::array<StretchFn, 32> kStretch = stretch_table(std::make_index_sequence<16>());

// The hop peak over frames start, start + 8, ... below m: a = |L|, then |R| if larger, then the
// peak if a is larger. A NaN never wins a comparison and, with denormals read as zero, a
// denormal never does either, so the order the frames are taken in does not matter.
float hop_peak_every_eighth(const float* cl, const float* cr, int start, int m, float peak) {
#if CORE_AVX512
  if (core_lanes == 16) return hop_peak_every_eighth16(cl, cr, start, m, peak);
#endif
  for (int j = start; j < m; j += 8) {
    float a = std::fabs(cl[j]);
    float b = std::fabs(cr[j]);
    if (b > a) a = b;
    if (a > peak) peak = a;
  }
  return peak;
}

// Whether the frame whose envelope step ends on `fade` has to go through the frame loop body:
// it clears fast_fade, ends the tail, or comes to rest.
inline bool frame_decides(const Core* c, bool rec, float fade) {
  return (c->fast_fade && fade > 0.9f) || (c->stopping && !rec && fade < CORE_FADE_OFF) ||
         (!c->playing && !rec && fade <= CORE_FADE_OFF);
}

constexpr int kRampStretch = 256;  // envelope steps worked out ahead at most

}  // namespace

// Plays, overdubs and records one block at the cursor. Hot numbers live in locals and go back
// to the core around every event post (rare), which reads and resets them.
void core_render_tape(Core* c, const float* cl, const float* cr, float* out_l, float* out_r, int n,
                      bool monitor, float gain) {
  Tape* const main = c->main;
  Tape* const cap = c->capture;
  const float slow = c->rates.slow_fade;
  const float fast = c->rates.fast_fade;
  const double hop = c->rates.hop_size;
  int64_t len = tape_length(main);
  int64_t cap_len = tape_length(cap);
  int64_t f = c->cursor;
  float fade = c->fade;
  int64_t capture_pos = c->capture_pos;
  int64_t segment_length = c->segment_length;
  double hop_acc = c->hop_acc;
  int32_t hop_frames = c->hop_frames;
  float hop_peak = c->hop_peak;

  auto sync_out = [&]() {
    c->cursor = f;
    c->fade = fade;
    c->capture_pos = capture_pos;
    c->segment_length = segment_length;
    c->hop_acc = hop_acc;
    c->hop_frames = hop_frames;
    c->hop_peak = hop_peak;
  };
  auto sync_in = [&]() {
    segment_length = c->segment_length;
    hop_acc = c->hop_acc;
    hop_frames = c->hop_frames;
    hop_peak = c->hop_peak;
  };

  int i = 0;
  while (i < n) {
    // Most frames change nothing but numbers. Take every frame up to the next one that decides
    // something (a pending seek, loop out, the end of a chunk or of the old tape length, a full
    // hop, an envelope threshold) in one stretch; such a frame goes through the loop body.
    if (!c->seek_pending && f >= 0 && !(c->loop_on && f >= c->loop_out)) {
      const bool rec = c->recording;
      const float target = rec ? 1.0f : 0.0f;
      const float rate = (c->fast_fade || c->command_held) ? fast : slow;
      const float first = fade + (target - fade) * rate;  // this frame's envelope step
      const bool od = first > CORE_FADE_OFF;
      const bool capture = od && rec && cap;
      float* p = tape_frame_ptr(main, f);
      float* q = capture ? tape_frame_ptr(cap, capture_pos) : nullptr;
      if (!frame_decides(c, rec, first) && (p || !od || c->tape_full) &&
          !(capture && cap == main)) {
        int64_t lim = n - i;
        lim = std::min<int64_t>(lim, TAPE_CHUNK_FRAMES - (f & TAPE_CHUNK_MASK));
        if (c->loop_on) lim = std::min<int64_t>(lim, c->loop_out - f);
        const bool play = p && f < len;
        if (play) lim = std::min<int64_t>(lim, len - f);
        if (capture)
          lim = std::min<int64_t>(lim, TAPE_CHUNK_FRAMES - (capture_pos & TAPE_CHUNK_MASK));
        int k = (int)lim;
        // Once the envelope sits on its fixed point (a few thousand frames after a change) it is
        // constant; until then its steps are worked out ahead, as far as no threshold is crossed.
        float ramp[kRampStretch];
        const bool ramping = !same_bits(first, fade);
        if (ramping) {
          if (k > kRampStretch) k = kRampStretch;
          ramp[0] = first;
          int j = 1;
          if (rec) {
            for (float x = first; j < k; j++) {
              x = x + (1.0f - x) * rate;
              if ((x > CORE_FADE_OFF) != od || frame_decides(c, rec, x)) break;
              ramp[j] = x;
            }
          } else {
            // x + (0 - x) * rate, one operation shorter: the same value for every x >= +0.
            for (float x = first; j < k; j++) {
              x = x - x * rate;
              if ((x > CORE_FADE_OFF) != od || frame_decides(c, rec, x)) break;
              ramp[j] = x;
            }
          }
          k = j;
        }
        bool hop_full = false;
        double acc = hop_acc;
        const int m = rec ? hop_advance(&acc, hop, k, &hop_full) : k;

        const bool overdub = od && p;
        // The envelope only matters for what goes onto tape.
        const bool per_frame = ramping && (overdub || q);
        kStretch[(core_lanes == 16 ? 16 : 0) | (play ? 8 : 0) | (overdub ? 4 : 0) | (q ? 2 : 0) |
                 (per_frame ? 1 : 0)](cl + i, cr + i, out_l + i, out_r + i, m, p, q, first, ramp,
                                      gain, monitor);
        if (ramping) fade = ramp[m - 1];
        if (od && !p) c->n_missing += (uint64_t)m;  // TAPE FULL was posted already
        if (capture && !q) c->n_missing += (uint64_t)m;
        if (od && p && f + m > len) {
          len = f + m;
          main->length.store(len, std::memory_order_relaxed);
        }
        if (q && capture_pos + m > cap_len) {
          cap_len = capture_pos + m;
          cap->length.store(cap_len, std::memory_order_relaxed);
        }
        if (rec) {
          capture_pos += m;
          segment_length += m;
          hop_peak = hop_peak_every_eighth(cl + i, cr + i, (-hop_frames) & 7, m, hop_peak);
          hop_frames += m;
          hop_acc = acc;
          if (hop_full) {
            core_push_level(c, hop_peak);
            hop_frames = 0;
            hop_peak = 0.0f;
            hop_acc -= hop;
          }
        }
        f += m;
        i += m;
        continue;
      }
    }

    const float L = cl[i];
    const float R = cr[i];

    if (c->seek_pending) {
      if (c->recording) {
        if (fade < CORE_FADE_JUMP) {
          sync_out();
          core_post_segment(c, EV_SPLIT_JUMP, c->seek_target);
          sync_in();
          f = c->seek_target;
          c->seek_pending = 0;
          c->fast_fade = 1;
        }
      } else if (fade < CORE_FADE_OFF) {
        f = c->seek_target;
        c->seek_pending = 0;
        fade = 0.0f;
        if (c->stopping) {
          c->command_held = 0;
          sync_out();
          core_end_tail(c);
        }
      }
    }

    if (c->loop_on && f >= c->loop_out) {
      if (c->recording) {
        sync_out();
        core_post_segment(c, EV_SPLIT_LOOP, c->loop_in);
        sync_in();
      }
      f = c->loop_in;
    }

    const float target = (c->recording && !c->seek_pending) ? 1.0f : 0.0f;
    const float rate = (c->seek_pending || c->fast_fade || c->command_held) ? fast : slow;
    fade += (target - fade) * rate;

    // Playback reads before this frame's overdub: the output carries what the tape held.
    float* p = tape_frame_ptr(main, f);
    float pl = 0.0f, pr = 0.0f;
    if (f < len && p) {
      pl = p[0] * gain;
      pr = p[1] * gain;
    }

    if (fade > CORE_FADE_OFF) {
      if (p) {
        p[0] += fade * L;
        p[1] += fade * R;
        if (f >= len) {
          len = f + 1;
          main->length.store(len, std::memory_order_relaxed);
        }
      } else {
        c->n_missing++;
        if (!c->tape_full) {
          c->tape_full = 1;
          sync_out();
          core_post_value(c, EV_TAPE_FULL, (uint64_t)f);
        }
      }
      if (c->recording && cap) {
        float* q = tape_frame_ptr(cap, capture_pos);
        if (q) {
          q[0] = fade * L;
          q[1] = fade * R;
          if (capture_pos >= cap_len) {
            cap_len = capture_pos + 1;
            cap->length.store(cap_len, std::memory_order_relaxed);
          }
        } else {
          c->n_missing++;
        }
      }
    }

    if (c->recording) {
      capture_pos++;
      segment_length++;
      // Every 8th frame of the hop is enough for a peak that only draws a leaf.
      if ((hop_frames & 7) == 0) {
        float m = std::fabs(L);
        float r = std::fabs(R);
        if (r > m) m = r;
        if (m > hop_peak) hop_peak = m;
      }
      hop_frames++;
      hop_acc += 1.0;
      if (hop_acc >= hop) {
        core_push_level(c, hop_peak);
        hop_frames = 0;
        hop_peak = 0.0f;
        hop_acc -= hop;
      }
    }

    out_l[i] = pl + (monitor ? L : 0.0f);
    out_r[i] = pr + (monitor ? R : 0.0f);

    if (c->fast_fade && fade > 0.9f) c->fast_fade = 0;

    if (c->stopping && !c->recording && !c->seek_pending && fade < CORE_FADE_OFF) {
      c->command_held = 0;
      sync_out();
      core_end_tail(c);
    }

    if (!c->playing && !c->recording && !c->seek_pending && fade <= CORE_FADE_OFF) {
      // At rest: the cursor stays on this frame and the rest of the block is idle.
      fade = 0.0f;
      core_idle_output(cl, cr, out_l, out_r, i + 1, n, monitor);
      break;
    }
    f++;
    i++;
  }
  sync_out();
}
