// Scrubbing and coasting: a fractional play head that chases the pointer's target with a
// smoothed velocity, and after a fast release coasts on and slows down by itself.
#include <cmath>

#include "core/core_internal.h"

namespace {

inline double clampd(double v, double lo, double hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

inline void settle_cursor(Core* c) {
  c->cursor = core_floor_clamp(c->scrub_pos, tape_length(c->main));
  core_post_value(c, EV_CURSOR_SETTLED, (uint64_t)c->cursor);
}

}  // namespace

int64_t core_floor_clamp(double pos, int64_t length) {
  if (!(pos > 0.0)) return 0;
  if (pos >= (double)length) return length;
  return (int64_t)std::floor(pos);
}

void core_scrub_begin(Core* c) {
  if (c->recording || !c->main) return;
  int64_t len = tape_length(c->main);
  int64_t start;
  if (c->coasting) {
    start = core_floor_clamp(c->scrub_pos, len);
  } else {
    start = c->cursor < 0 ? 0 : (c->cursor > len ? len : c->cursor);
    // A grab during a coast keeps the head's motion; a fresh grab starts from rest.
    c->scrub_velocity = 0.0;
    c->scrub_gain = 0.0f;
  }
  c->was_playing = c->playing;
  c->playing = 0;
  c->coast_velocity = 0.0;
  c->scrubbing = 1;
  c->coasting = 0;
  c->scrub_pos = c->scrub_target = (double)start;
}

void core_scrub_move(Core* c, double delta) {
  if (!c->scrubbing || !std::isfinite(delta)) return;
  c->scrub_target = clampd(c->scrub_target + delta, 0.0, (double)tape_length(c->main));
}

void core_scrub_end(Core* c, uint8_t flags) {
  if (!c->scrubbing) return;
  c->scrubbing = 0;
  if (std::fabs(c->scrub_velocity) > CORE_SCRUB_STILL) {
    c->coasting = 1;
    c->coast_velocity = c->scrub_velocity;
  } else {
    c->coast_velocity = 0.0;
    c->cursor = core_floor_clamp(c->scrub_pos, tape_length(c->main));
  }
  if ((flags & CMD_FLAG_PLAY) && c->was_playing) c->playing = 1;
  c->was_playing = 0;
}

void core_scrub_stop_now(Core* c) {
  bool was_coasting = c->coasting;
  c->cursor = core_floor_clamp(c->scrub_pos, tape_length(c->main));
  c->scrubbing = 0;
  c->coasting = 0;
  c->coast_velocity = 0.0;
  c->scrub_velocity = 0.0;
  if (was_coasting) core_post_value(c, EV_CURSOR_SETTLED, (uint64_t)c->cursor);
}

void core_scrub_render(Core* c, const float* cond_l, const float* cond_r, float* out_l,
                       float* out_r, int n, bool monitor, float playback_gain, float scrub_scale) {
  const Tape* main = c->main;
  const int64_t len = tape_length(main);
  const double ratio = c->rates.ratio;
  const float c_gain = c->rates.scrub_gain;
  const double s = clampd(std::isnan(scrub_scale) ? 1.0 : (double)scrub_scale, 0.01, 3.0);

  double u;
  if (c->scrubbing) {
    u = clampd(c->scrub_target - c->scrub_pos, -s * n, s * n) / n;
  } else {
    u = c->coast_velocity * std::pow(0.94, (double)n * ratio / 256.0);
    c->coast_velocity = u;
    if (std::fabs(u) < CORE_SCRUB_STILL) {
      c->coasting = 0;
      settle_cursor(c);
    }
  }

  double v = c->scrub_velocity;
  float gain_target = 1.0f;
  if (std::fabs(v) < CORE_SCRUB_STILL && std::fabs(u) < CORE_SCRUB_STILL) {
    if (c->scrub_gain < CORE_FADE_OFF && !monitor) {
      for (int i = 0; i < n; i++) out_l[i] = out_r[i] = 0.0f;
      double w = 1.0 - std::pow(1.0 - (double)c_gain, (double)n);
      c->scrub_velocity = v + w * (u - v);
      return;
    }
    gain_target = 0.0f;
  }

  const bool at_48k = ratio == 1.0;
  const bool coasting = c->coasting;
  double pos = c->scrub_pos;
  float g = c->scrub_gain;
  bool hit_end = false;
  const double last = len > 1 ? (double)(len - 1) : 0.0;
  for (int i = 0; i < n; i++) {
    double a = (std::fabs(u - v) * 0.18 + 1.0) * 0.0015;
    if (a > 0.012) a = 0.012;
    if (!at_48k) a = 1.0 - std::pow(1.0 - a, ratio);
    v += a * (u - v);
    g += (gain_target - g) * c_gain;

    float sl = 0.0f, sr = 0.0f;
    double fl = std::floor(pos);
    int64_t k = (int64_t)fl;
    if (k >= 0 && k + 1 < len) {
      const float* p0 = tape_frame_ptr(main, k);
      const float* p1 = tape_frame_ptr(main, k + 1);
      float l0 = p0 ? p0[0] : 0.0f, r0 = p0 ? p0[1] : 0.0f;
      float l1 = p1 ? p1[0] : 0.0f, r1 = p1 ? p1[1] : 0.0f;
      float t = (float)(pos - fl);
      float scale = playback_gain * g;
      sl = (l0 + (l1 - l0) * t) * scale;
      sr = (r0 + (r1 - r0) * t) * scale;
    }
    out_l[i] = sl + (monitor ? cond_l[i] : 0.0f);
    out_r[i] = sr + (monitor ? cond_r[i] : 0.0f);

    pos += v;
    if (coasting && !hit_end && (pos < 0.0 || pos > (double)len - 1.0)) {
      // Ran into an end of the tape: the head stops there.
      v = 0.0;
      u = 0.0;
      c->coast_velocity = 0.0;
      pos = clampd(pos, 0.0, last);
      hit_end = true;
    }
  }
  c->scrub_velocity = v;
  c->scrub_pos = pos;
  c->scrub_gain = g;
  if (hit_end) {
    c->coasting = 0;
    settle_cursor(c);
  }
}
