#include "core/transport.h"

#include <cmath>
#include <vector>

namespace {

// A length that is NaN or negative means "no tape".
double tape_len_or_zero(double len) {
  return len > 0 ? len : 0.0;
}

double clampd(double v, double lo, double hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

// Saturating int64 add for span ends; lengths below 0 count as 0.
int64_t span_end(const TransportTakeSpan& t) {
  int64_t len = t.length > 0 ? t.length : 0;
  int64_t end;
  if (__builtin_add_overflow(t.start, len, &end)) return INT64_MAX;
  return end;
}

}  // namespace

int64_t transport_frames_from_seconds(double seconds, double rate) {
  if (!(rate >= 1)) rate = 1;
  if (std::isnan(seconds)) return 0;
  double v = (seconds > 0 ? seconds : 0.0) * rate;
  if (std::isnan(v)) return 0;
  if (v >= TRANSPORT_FRAMES_MAX) return (int64_t)TRANSPORT_FRAMES_MAX;
  if (v <= -TRANSPORT_FRAMES_MAX) return -(int64_t)TRANSPORT_FRAMES_MAX;
  return (int64_t)v;  // truncates toward zero
}

void transport_loop_toggle(LoopRegion* loop, double tape_len) {
  double len = tape_len_or_zero(tape_len);
  if (!loop->on && len <= 0) return;
  loop->on = !loop->on;
  if (!loop->on) return;
  // A stale or broken region (from an older, longer tape or a damaged file) becomes the tape.
  bool broken = !std::isfinite(loop->in) || !std::isfinite(loop->out) || loop->in < 0;
  if (broken || loop->out <= loop->in || len < loop->out) {
    loop->in = 0;
    loop->out = len;
  }
}

void transport_loop_set_in(LoopRegion* loop, double p, double tape_len) {
  if (!std::isfinite(p)) return;
  double len = tape_len_or_zero(tape_len);
  loop->in = std::fmax(0.0, p);
  if (!(loop->out > loop->in + TRANSPORT_LOOP_MIN_KEY)) loop->out = std::fmax(len, loop->in + 0.5);
  loop->on = true;
}

void transport_loop_set_out(LoopRegion* loop, double p, double tape_len) {
  (void)tape_len;
  if (!std::isfinite(p)) return;
  loop->on = true;
  loop->out = std::fmax(p, loop->in + TRANSPORT_LOOP_MIN_KEY);
}

void transport_loop_drag_in(LoopRegion* loop, double x, double tape_len) {
  (void)tape_len;
  if (!std::isfinite(x)) return;
  loop->in = std::fmax(0.0, std::fmin(x, loop->out - TRANSPORT_LOOP_MIN_DRAG));
}

void transport_loop_drag_out(LoopRegion* loop, double x, double tape_len) {
  if (!std::isfinite(x) || !(tape_len > 0)) return;
  loop->out = std::fmax(std::fmin(x, tape_len), loop->in + TRANSPORT_LOOP_MIN_DRAG);
}

void transport_loop_strip_in(LoopRegion* loop, double x, double tape_len) {
  if (!std::isfinite(x)) return;
  double len = tape_len_or_zero(tape_len);
  if (!loop->on) loop->out = std::fmax(len, TRANSPORT_LOOP_MIN_KEY);
  loop->on = true;
  loop->in = std::fmax(0.0, std::fmin(x, loop->out - TRANSPORT_LOOP_MIN_DRAG));
}

void transport_loop_strip_out(LoopRegion* loop, double x, double tape_len) {
  if (!std::isfinite(x) || !(tape_len > 0)) return;
  if (!loop->on) loop->in = 0;
  loop->on = true;
  loop->out = std::fmax(std::fmin(x, tape_len), loop->in + TRANSPORT_LOOP_MIN_DRAG);
}

void transport_loop_just_recorded(LoopRegion* loop, double x) {
  loop->in = 0;
  loop->out = std::isfinite(x) ? std::fmax(x, TRANSPORT_LOOP_MIN_KEY) : TRANSPORT_LOOP_MIN_KEY;
  loop->on = true;
}

double transport_loop_rewind_target(const LoopRegion* loop) {
  return loop->on ? loop->in : 0.0;
}

TransportLoopFrames transport_loop_to_frames(const LoopRegion* loop, double rate) {
  TransportLoopFrames f;
  f.in = transport_frames_from_seconds(loop->in, rate);
  f.out = transport_frames_from_seconds(loop->out, rate);
  f.on = loop->on && f.in < f.out;
  return f;
}

double transport_seek_clamp(double t, double tape_len, double fallback) {
  if (std::isnan(t)) return 0;
  double limit = tape_len > 0 ? tape_len : (fallback > 0 ? fallback : 0.0);
  return clampd(t, 0, limit);
}

double transport_canvas_span(double tape_len, double last_take_end) {
  double span = std::fmax(tape_len, TRANSPORT_MIN_SPAN);  // fmax drops a NaN length
  if (last_take_end >= 0) span = std::fmax(span, last_take_end + 1);
  return span;
}

double transport_zoom_factor(double span) {
  double z = span / TRANSPORT_MIN_SPAN;
  if (std::isnan(z)) return 1;
  return clampd(z, 1, TRANSPORT_MAX_ZOOM);
}

double transport_click_time(double fraction, double span, double tape_len) {
  double t = fraction * span;
  if (!(t > 0)) t = 0;  // also NaN
  if (tape_len > 0 && t >= tape_len) t = tape_len;
  return t;
}

double transport_take_start_seconds(int64_t start_frames, double take_rate, double sketch_rate) {
  double rate = take_rate > 0 ? take_rate : sketch_rate;
  if (!(rate > 0) || std::isinf(rate)) return 0;
  return (double)start_frames / rate;
}

double transport_step_previous(const double* starts, int32_t count, double x, bool rolling) {
  double guard = rolling ? TRANSPORT_STEP_GUARD : 0.0;
  double best = 0;
  for (int32_t i = 0; i < count; i++) {
    double s = starts[i];
    if (s < x - guard && s > best) best = s;
  }
  return best;
}

double transport_step_next(const double* starts, int32_t count, double x, double tape_end) {
  double best = std::isnan(tape_end) ? x : tape_end;
  for (int32_t i = 0; i < count; i++) {
    double s = starts[i];
    if (s > x + 0.01 && s < best) best = s;
  }
  return best;
}

double transport_scrub_delta(double m, double rate) {
  if (!std::isfinite(m) || !std::isfinite(rate)) return 0;
  double a = std::fabs(m);
  double g = a <= 0.006 ? 1.0 : (a / 0.006 - 1) * 1.4 + 1;
  return rate * 3 * m * g;
}

double transport_scrub_speed_limit(double y) {
  if (std::isnan(y)) return 1;
  y = clampd(y, 0, 1);
  return y <= 0.5 ? 2 - 2 * y : 1 - (y - 0.5);
}

TransportRange transport_export_range(const LoopRegion* loop, double rate, int64_t length) {
  if (length < 0) length = 0;
  TransportRange r = {0, length, false};
  if (!loop->on) return r;
  int64_t f = transport_frames_from_seconds(loop->in, rate);
  if (f < 0) f = 0;
  if (f > length) f = length;
  int64_t e = transport_frames_from_seconds(loop->out, rate);
  if (e > length) e = length;
  if (e > f + 1) r = {f, e, true};
  return r;
}

int32_t transport_strip_lanes(const TransportTakeSpan* takes, int32_t count, int32_t* lanes) {
  if (count <= 0) return 0;
  int32_t used_lanes = 0;
  std::vector<uint8_t> taken((size_t)count + 1);
  for (int32_t i = 0; i < count; i++) {
    if (takes[i].excluded) {
      lanes[i] = -1;
      continue;
    }
    int64_t s = takes[i].start, e = span_end(takes[i]);
    std::fill(taken.begin(), taken.begin() + used_lanes + 1, 0);
    for (int32_t j = 0; j < i; j++) {
      if (lanes[j] < 0) continue;
      if (takes[j].start < e && s < span_end(takes[j])) taken[(size_t)lanes[j]] = 1;
    }
    int32_t lane = 0;
    while (taken[(size_t)lane]) lane++;
    lanes[i] = lane;
    if (lane + 1 > used_lanes) used_lanes = lane + 1;
  }
  return used_lanes;
}
