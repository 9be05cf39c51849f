#include "rig/mixer.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <new>

#include "core/core.h"
#include "core/seqlock.h"
#include "platform/platform.h"
#include "rig/mixer_internal.h"
#include "base/log.h"

// The engine hands the mixer's output to the core in one piece.
static_assert((int)RIG_MAX_FRAMES == (int)CORE_MAX_FRAMES,
              "the mixer and the core take the same largest callback");

namespace {

inline float finite_or_zero(float v) {
  return std::isfinite(v) ? v : 0.0f;
}

inline float bits_float(uint32_t b) {
  float v;
  memcpy(&v, &b, sizeof v);
  return v;
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

int ramp_samples(const RigMixer* m, double seconds) {
  if (!(seconds > 0.0)) seconds = RIG_DEFAULT_RAMP_SECONDS;
  if (seconds > RIG_MAX_RAMP_SECONDS) seconds = RIG_MAX_RAMP_SECONDS;
  return mixer_clamp_int(std::llround(m->rate * seconds), 1, kRampMax);
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
  m->settled.ready = false;
}

void go_to_fallback(RigMixer* m) {
  for (int i = 0; i < RIG_MAX_CHANNELS; i++)
    ramp_set_target(&m->ramps[i], m->fallback_left[i], m->fallback_right[i], m->samples_20ms);
  ramp_set_target(&m->ramps[kMaster], m->fallback_master, m->fallback_master, m->samples_20ms);
  m->waiting = false;
  m->on_fallback = true;
  m->samples_waited = 0;
  m->settled.ready = false;
}

int mix_without_rig(const float* const* inputs, int input_count, float* L, float* R, int n) {
  const float* a = input_count > 0 ? inputs[0] : nullptr;
  const float* b = input_count > 1 && inputs[1] ? inputs[1] : a;
  uint32_t bad = 0;
  for (int k = 0; k < n; k++) {
    L[k] = a ? mixer_sanitize(a[k], &bad) : 0.0f;
    R[k] = b ? mixer_sanitize(b[k], &bad) : 0.0f;
  }
  return n;
}

// The settled way when it can, else the exact way over outputs cleared first.
void mix_part(RigMixer* m, const float* const* inputs, int input_count, float* L, float* R,
              int offset, int n) {
  if (mixer_mix_part_settled(m, inputs, input_count, L, R, offset, n)) return;
  memset(L + offset, 0, sizeof(float) * (size_t)n);
  memset(R + offset, 0, sizeof(float) * (size_t)n);
  mixer_mix_part(m, inputs, input_count, L, R, offset, n);
}

}  // namespace

// --- Mixer ------------------------------------------------------------------------------

RigMixer* rig_mixer_new() {
  RigMixer* m = new (std::nothrow) RigMixer();
  if (!m) {
    log_line("rig: out of memory for the mixer");
    return nullptr;
  }
  m->lanes = 4;
#if RIG_AVX
  if (platform_cpu_has_avx()) m->lanes = 8;
#endif
#if RIG_AVX512
  __builtin_cpu_init();
  if (m->lanes == 8 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq"))
    m->lanes = 16;
#endif
  m->rate = TAPE_DEFAULT_RATE;
  m->samples_20ms = 960;
  m->samples_1s = (int)TAPE_DEFAULT_RATE;
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
  if (!(rate > 0.0 && rate <= 10000000.0)) rate = TAPE_DEFAULT_RATE;
  m->rate = rate;
  m->bound_channels = mixer_clamp_int(channels, 1, RIG_MAX_CHANNELS);
  m->bound_tag = tag;
  m->samples_20ms = mixer_clamp_int(std::llround(rate * 0.02), 1, kRampMax);
  m->samples_1s = mixer_clamp_int(std::llround(rate), 1, kRampMax);
  memset(m->ramps, 0, sizeof m->ramps);
  m->settled.ready = false;
  memset(m->fallback_left, 0, sizeof m->fallback_left);
  memset(m->fallback_right, 0, sizeof m->fallback_right);
  m->fallback_master = 0.0f;
  m->has_fallback = fallback != nullptr;
  if (fallback) {
    int n = mixer_clamp_int(fallback->channel_count, 0, RIG_MAX_CHANNELS);
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

  if (split > 0) mix_part(m, inputs, input_count, left, right, 0, split);
  if (split < n) {
    go_to_fallback(m);
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
  // Written here only: no locked add.
  m->callbacks.store(m->callbacks.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
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
    int n = mixer_clamp_int(plan->channel_count, 0, RIG_MAX_CHANNELS);
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
  float level = mixer_vmax(rig_level_db(peak), fallen);
  s->level = std::fmin(kCeilingDb, mixer_vmax(RIG_LEVEL_FLOOR_DB, level));
  if (s->level >= s->hold) {
    s->hold = s->level;
    s->hold_age = 0.0f;
  } else {
    s->hold_age += (float)dt;
    if (s->hold_age >= kHoldSeconds) s->hold = s->level;
  }
}
