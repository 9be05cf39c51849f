// What the controller makes of the mixer's meters: the levels the panel shows, the muted input
// that carries signal, the check that the mixer runs the stream the rig is bound to, and what
// the fallback plan plays.
#include <cstdio>
#include <cstring>

#include "rig/rig_controller_internal.h"

namespace {

constexpr float kSignalDb = -40.0f;   // a muted input louder than this is worth a word
constexpr float kAudibleDb = -50.0f;  // unless something audible is this loud after its gain
constexpr double kReportAfter = 1.5;  // seconds a candidate must hold
constexpr double kClearAfter = 0.5;   // seconds without one before the report goes

float max2(float a, float b) {
  return a > b ? a : b;
}

}  // namespace

void ctl_meters_reset(RigController* c) {
  memset(&c->meters, 0, sizeof c->meters);
  c->have_meters = false;
  c->meters_at = -1;
  memset(&c->shown, 0, sizeof c->shown);
  for (int i = 0; i < RIG_MAX_CHANNELS; i++) {
    rig_shown_level_reset(&c->shown.input[i]);
    rig_shown_level_reset(&c->shown.post_gain[i]);
  }
  rig_shown_level_reset(&c->shown.out_left);
  rig_shown_level_reset(&c->shown.out_right);
  c->muted_signal = -1;
  c->candidate = -1;
  c->candidate_since = 0;
  c->clear_since = -1;
}

void ctl_meters_frame(RigController* c, double now) {
  RigMeters m;
  rig_read_meters(c->mixer, &m);
  c->meters = m;
  c->have_meters = true;
  double dt = c->meters_at < 0 ? 0.0 : now - c->meters_at;
  dt = dt < 0 ? 0 : dt > 1 ? 1 : dt;
  c->meters_at = now;
  RigShownMeters* s = &c->shown;
  s->channels = m.bound_channels > 0 ? m.bound_channels : ctl_inputs(c);
  for (int i = 0; i < RIG_MAX_CHANNELS; i++) {
    rig_shown_level_update(&s->input[i], m.input_peak[i], dt);
    rig_shown_level_update(&s->post_gain[i], m.post_gain_peak[i], dt);
  }
  rig_shown_level_update(&s->out_left, m.output_peak_left, dt);
  rig_shown_level_update(&s->out_right, m.output_peak_right, dt);
  s->clip_latched |= m.clip_mask;
  s->bad_latched |= m.bad_mask;
  s->out_clip_latched |= m.output_clipped;
}

void ctl_tracker_frame(RigController* c, double now) {
  const RigDoc* d = c->cur.doc;
  if (!c->has_binding || !d) {
    c->muted_signal = -1;
    c->candidate = -1;
    c->clear_since = -1;
    return;
  }
  const RigScene* sc = &d->scenes[c->active];
  int n = ctl_inputs(c) < sc->channel_count ? ctl_inputs(c) : sc->channel_count;
  const RigShownMeters* s = &c->shown;
  int best = -1;
  float best_level = kSignalDb;
  bool heard = false;
  for (int i = 0; i < n; i++) {
    const RigChannel* ch = &sc->channels[i];
    bool pair = !(i & 1) && ch->link && i + 1 < n;
    float level = s->input[i].level, post = s->post_gain[i].level;
    if (pair) {
      level = max2(level, s->input[i + 1].level);
      post = max2(post, s->post_gain[i + 1].level);
    }
    if (ch->muted) {
      if (level > best_level) {
        best = i;
        best_level = level;
      }
    } else if (ch->gain > 0.0f && post >= kAudibleDb) {
      heard = true;
    }
    if (pair) i++;
  }
  int cand = heard ? -1 : best;
  if (cand >= 0) {
    c->clear_since = -1;
    if (cand != c->candidate) {
      c->candidate = cand;
      c->candidate_since = now;
    }
    if (c->muted_signal >= 0 || now - c->candidate_since >= kReportAfter) c->muted_signal = cand;
    return;
  }
  c->candidate = -1;
  if (c->muted_signal < 0) return;
  if (c->clear_since < 0) c->clear_since = now;
  if (now - c->clear_since >= kClearAfter) {
    c->muted_signal = -1;
    c->clear_since = -1;
  }
}

void ctl_tag_check(RigController* c) {
  const RigMeters* m = &c->meters;
  if (!c->has_binding || m->bound_channels <= 0) return;
  if (m->bound_tag != c->tag || m->bound_channels != c->binding.inputs) {
    c->tag_mismatch = true;
    if (!c->mismatch_logged) {
      c->mismatch_logged = true;
      ctl_log(c,
              "rig: the stream (tag %08x, %d in) doesn't match the rig bound for it (%s: tag "
              "%08x, %d in)",
              m->bound_tag, m->bound_channels, c->key, c->tag, c->binding.inputs);
    }
  } else {
    c->tag_mismatch = false;
    c->mismatch_logged = false;
  }
}

void ctl_fallback_inputs(const RigController* c, char out[16]) {
  snprintf(out, 16, "1-2");
  if (!c->has_binding) return;
  int n = c->meters.bound_channels > 0 ? c->meters.bound_channels : c->binding.inputs;
  RigPlan p;
  rig_default_plan(c->binding.api, n, &p);
  int first = -1, last = -1, count = 0;  // at most 64: the texts fit
  bool run = true;
  for (int i = 0; i < p.channel_count; i++) {
    if (p.left[i] == 0.0f && p.right[i] == 0.0f) continue;
    if (last >= 0 && i != last + 1) run = false;
    if (first < 0) first = i;
    last = i;
    count++;
  }
  if (count == 0 || (first == 0 && last == 1 && count == 2)) return;
  if (count == 1)
    snprintf(out, 16, "%d", (first + 1) & 127);
  else if (run)
    snprintf(out, 16, "%d-%d", (first + 1) & 127, (last + 1) & 127);
  else
    snprintf(out, 16, "%d", count & 127);
}
