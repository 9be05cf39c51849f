// Plans: what a scene, or a device's fallback, asks of the mixer (any thread; pure).
#include <cmath>
#include <cstring>

#include "rig/mixer_internal.h"

namespace {

constexpr double kSqrt2 = 1.41421356237309504880;
constexpr double kPi = 3.14159265358979323846;

inline float clamp_gain(float g) {
  if (!(g > 0.0f)) return 0.0f;  // NaN and negatives
  return g < RIG_MAX_GAIN ? g : RIG_MAX_GAIN;
}

struct PlanEntry {
  float gain, pan;
  bool muted, link, in_use;
};

void plan_rule(const PlanEntry* e, int n, float master, RigPlan* out) {
  n = mixer_clamp_int(n, 0, RIG_MAX_CHANNELS);
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
    *left = (float)mixer_vmax(0.0, kSqrt2 * std::cos((p + 1.0) * kPi / 4.0));
    *right = (float)mixer_vmax(0.0, kSqrt2 * std::cos((1.0 - p) * kPi / 4.0));
  }
}

void rig_plan_from_scene(const RigScene* scene, int channels, RigPlan* out) {
  if (!out) return;
  int c = mixer_clamp_int(channels, 0, RIG_MAX_CHANNELS);
  PlanEntry e[RIG_MAX_CHANNELS] = {};
  if (!scene) {
    plan_rule(e, c, 0.0f, out);
    return;
  }
  int used = mixer_clamp_int(scene->channel_count, 0, c);
  for (int i = 0; i < used; i++) {
    const RigChannel& ch = scene->channels[i];
    e[i] = PlanEntry{ch.gain, ch.pan, ch.muted, ch.link, true};
  }
  plan_rule(e, c, scene->master_gain, out);
}

void rig_default_plan(const char* api, int channels, RigPlan* out) {
  if (!out) return;
  int n = mixer_clamp_int(channels, 0, RIG_MAX_CHANNELS);
  bool asio = api && strcmp(api, "asio") == 0;
  PlanEntry e[RIG_MAX_CHANNELS] = {};
  for (int i = 0; i < n; i++) e[i] = PlanEntry{1.0f, 0.0f, i > 1, i == 0 && n >= 2 && !asio, true};
  plan_rule(e, n, 1.0f, out);
}

bool rig_plan_equal(const RigPlan* a, const RigPlan* b) {
  if (!a || !b) return a == b;
  if (a->channel_count != b->channel_count || a->master != b->master) return false;
  int n = mixer_clamp_int(a->channel_count, 0, RIG_MAX_CHANNELS);
  for (int i = 0; i < n; i++)
    if (a->left[i] != b->left[i] || a->right[i] != b->right[i]) return false;
  return true;
}
