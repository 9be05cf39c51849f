// The strip: drawing and pointer handling. Everything is recomputed from the frame each call,
// so the strip holds no copy of the sketch; the only state is the running drag.
#include "app/shell_strip.h"

#include <cmath>
#include <cstdlib>

#include "base/log.h"
#include "store/meta.h"

namespace {

constexpr DrawColour kBack = {0.02f, 0.03f, 0.06f, 0.78f};
constexpr DrawColour kLoopFill = {0.95f, 0.80f, 0.35f, 0.16f};
constexpr DrawColour kFlag = {0.98f, 0.82f, 0.38f, 1.0f};
constexpr DrawColour kBoxFill = {0.85f, 0.92f, 1.0f, 0.10f};
constexpr DrawColour kBoxEdge = {0.88f, 0.93f, 1.0f, 0.95f};
constexpr DrawColour kCursor = {1.0f, 1.0f, 1.0f, 1.0f};

// Lanes for this many takes live on the stack; more are rare enough to allocate.
constexpr int32_t kLanesOnStack = 256;

double clamp01(double v) {
  if (!std::isfinite(v)) return 0.0;
  return v < 0.0 ? 0.0 : (v > 1.0 ? 1.0 : v);
}

DrawColour with_alpha(DrawColour c, float a) {
  c.a *= a;
  return c;
}

float screen_x(const StripFrame* f, double fraction) {
  return f->rect.x + (float)(clamp01(fraction) * f->rect.w);
}

double fraction_of(const StripFrame* f, double seconds) {
  return f->span > 0 && std::isfinite(f->span) ? clamp01(seconds / f->span) : 0.0;
}

// Flags sit at the loop's ends; with the loop off they wait at the tape's ends, so dragging one
// sets a loop. With no tape and no loop there is nothing to flag.
bool flag_fractions(const StripFrame* f, double* in, double* out) {
  if (f->loop.on) {
    *in = fraction_of(f, f->loop.in);
    *out = fraction_of(f, f->loop.out);
    return true;
  }
  if (!(f->tape_seconds > 0)) return false;
  *in = 0.0;
  *out = fraction_of(f, f->tape_seconds);
  return true;
}

bool inside(const StripFrame* f, float x, float y) {
  return x >= f->rect.x && x <= f->rect.x + f->rect.w && y >= f->rect.y &&
         y <= f->rect.y + f->rect.h;
}

// Of two marks within reach, the nearer; on a tie the one on the pointer's side (a flag pair
// at one spot opens toward where it is pulled).
int32_t nearer(float x, float xa, float xb, float reach, int32_t a, int32_t b) {
  const float da = std::fabs(x - xa), db = std::fabs(x - xb);
  if (da > reach && db > reach) return STRIP_DRAG_NONE;
  if (da > reach) return b;
  if (db > reach) return a;
  if (da < db) return a;
  if (db < da) return b;
  return x <= xa ? a : b;
}

void draw_flag(Painter* p, const StripFrame* f, float x, bool in, float alpha) {
  const DrawColour c = with_alpha(kFlag, alpha);
  const float top = f->rect.y, h = f->rect.h;
  draw_rect(p, x - 0.75f, top, 1.5f, h, c);
  // The pennant points into the loop.
  const float s = std::fmin(6.0f, h * 0.45f), dir = in ? 1.0f : -1.0f;
  draw_triangle(p, DrawPoint{x, top}, DrawPoint{x + dir * s, top + s * 0.5f}, DrawPoint{x, top + s},
                c);
}

void draw_takes(Painter* p, const StripFrame* f) {
  const SketchMeta* m = f->meta;
  if (!m || m->layerCount <= 0 || !m->layers) return;
  const int32_t n = m->layerCount;
  TransportTakeSpan spans_stack[kLanesOnStack];
  int32_t lanes_stack[kLanesOnStack];
  TransportTakeSpan* spans = spans_stack;
  int32_t* lanes = lanes_stack;
  if (n > kLanesOnStack) {
    spans = (TransportTakeSpan*)malloc(sizeof(TransportTakeSpan) * (size_t)n);
    lanes = (int32_t*)malloc(sizeof(int32_t) * (size_t)n);
    if (!spans || !lanes) {
      log_line("ui: strip: no memory for %d takes", (int)n);
      free(spans);
      free(lanes);
      return;
    }
  }
  for (int32_t i = 0; i < n; i++) {
    const Layer* l = m->layers[i];
    spans[i] =
        TransportTakeSpan{l ? l->startSample : 0, l ? l->lengthSamples : 0, !l || l->hasExplicitY};
  }
  const int32_t used = transport_strip_lanes(spans, n, lanes);
  const float pad = f->rect.h > 8.0f ? 2.0f : 0.0f;
  const float inner_top = f->rect.y + pad, inner_h = f->rect.h - 2.0f * pad;
  const float lane_h = inner_h / (float)(used > 0 ? used : 1);
  const float gap = std::fmin(1.0f, lane_h * 0.2f);
  for (int32_t i = 0; i < n; i++) {
    const Layer* l = m->layers[i];
    if (!l) continue;
    const double start = transport_take_start_seconds(l->startSample, l->sampleRate, f->rate);
    const double len = transport_take_start_seconds(l->lengthSamples, l->sampleRate, f->rate);
    const float x0 = screen_x(f, fraction_of(f, start));
    const float x1 = screen_x(f, fraction_of(f, start + len));
    const float w = std::fmax(1.0f, x1 - x0);
    DrawColour c = f->accent;
    if (l->hasExplicitColor)
      c = DrawColour{(float)l->explicitColor.r, (float)l->explicitColor.g,
                     (float)l->explicitColor.b, 1.0f};
    c.a = 0.9f;
    float y, h;
    if (lanes[i] < 0) {
      // A take pinned to a height sits at that height, as on the canvas.
      h = std::fmax(1.5f, std::fmin(lane_h, inner_h * 0.15f));
      y = inner_top + (float)clamp01(l->explicitY) * inner_h - h * 0.5f;
      y = std::fmax(inner_top, std::fmin(y, inner_top + inner_h - h));
    } else {
      // Lane 0 at the bottom: later takes that overlap stack above it.
      y = inner_top + inner_h - (float)(lanes[i] + 1) * lane_h + gap * 0.5f;
      h = lane_h - gap;
    }
    draw_rect(p, x0, y, w, h, c);
  }
  if (spans != spans_stack) {
    free(spans);
    free(lanes);
  }
}

void set_last(StripState* st, double x, double y) {
  st->last_x = x;
  st->last_y = y;
}

// Appends "view window" when the box moved since the last one sent.
void push_window(StripState* st, double a, double b, ActionList* out) {
  if (a == st->last_x && b == st->last_y) return;
  set_last(st, a, b);
  actions_push_xy(out, ACT_VIEW_WINDOW, 0, (float)a, (float)b);
}

}  // namespace

void strip_reset(StripState* st) {
  *st = StripState{};
  st->last_x = st->last_y = -1.0;
}

void strip_box(const StripFrame* f, double* start, double* end) {
  double zoom = std::isfinite(f->zoom) && f->zoom > 1.0f ? f->zoom : 1.0;
  if (zoom > TRANSPORT_MAX_ZOOM) zoom = TRANSPORT_MAX_ZOOM;
  const double half = 0.5 / zoom;
  double c = std::isfinite(f->centre_x) ? f->centre_x : 0.5;
  c = c < half ? half : (c > 1.0 - half ? 1.0 - half : c);
  *start = c - half;
  *end = c + half;
}

double strip_fraction_at(const StripFrame* f, float x) {
  if (!(f->rect.w > 0)) return 0.0;
  return clamp01(((double)x - f->rect.x) / f->rect.w);
}

void strip_draw(Painter* p, const StripFrame* f, const StripState* st) {
  if (!p || !f || !(f->rect.w > 0) || !(f->rect.h > 0)) return;
  const DrawRect r = f->rect;
  draw_rrect(p, r, std::fmin(3.0f, r.h * 0.5f), kBack);

  double in = 0, out = 0;
  const bool flags = flag_fractions(f, &in, &out);
  if (f->loop.on && out > in)
    draw_rect(p, screen_x(f, in), r.y, screen_x(f, out) - screen_x(f, in), r.h, kLoopFill);

  draw_takes(p, f);

  double a, b;
  strip_box(f, &a, &b);
  const float bx = screen_x(f, a), bw = std::fmax(2.0f, screen_x(f, b) - bx);
  const bool box_dragged = st && st->drag >= STRIP_DRAG_BOX_START;
  draw_rect(p, bx, r.y, bw, r.h, with_alpha(kBoxFill, box_dragged ? 1.8f : 1.0f));
  draw_rect_frame(p, bx, r.y, bw, r.h, 1.5f, kBoxEdge);

  if (flags) {
    const float alpha = f->loop.on ? 1.0f : 0.45f;
    draw_flag(p, f, screen_x(f, in), true, alpha);
    draw_flag(p, f, screen_x(f, out), false, alpha);
  }

  if (std::isfinite(f->cursor_seconds) && f->span > 0) {
    const float cx = std::round(screen_x(f, fraction_of(f, f->cursor_seconds)));
    draw_rect(p, cx - 0.75f, r.y - 1.0f, 1.5f, r.h + 2.0f, kCursor);
  }
}

bool strip_press(StripState* st, const StripFrame* f, int32_t button, float x, float y,
                 ActionList* out) {
  if (!st || !f || !(f->rect.w > 0) || !inside(f, x, y)) return false;
  if (button != 1 && button != 2) return false;
  // A second button while one drags belongs to the drag.
  if (st->drag != STRIP_DRAG_NONE && st->button != button) return true;

  const double fx = strip_fraction_at(f, x);
  double a, b;
  strip_box(f, &a, &b);
  strip_reset(st);
  st->button = button;
  st->press_x = x;
  st->box_start = a;
  st->box_end = b;

  if (button == 2) {
    const float xa = screen_x(f, a), xb = screen_x(f, b);
    if (x < xa - STRIP_BOX_GRAB || x > xb + STRIP_BOX_GRAB) {
      strip_reset(st);
      return false;
    }
    st->drag = STRIP_DRAG_BOX_CARRY;
    set_last(st, a, b);
    return true;
  }

  double in, out_f;
  if (flag_fractions(f, &in, &out_f)) {
    const int32_t which = nearer(x, screen_x(f, in), screen_x(f, out_f), STRIP_FLAG_GRAB,
                                 STRIP_DRAG_FLAG_IN, STRIP_DRAG_FLAG_OUT);
    if (which != STRIP_DRAG_NONE) {
      const double at = which == STRIP_DRAG_FLAG_IN ? in : out_f;
      st->drag = which;
      st->grab = at - fx;
      set_last(st, at, 0);
      return true;
    }
  }

  const int32_t end = nearer(x, screen_x(f, a), screen_x(f, b), STRIP_BOX_GRAB,
                             STRIP_DRAG_BOX_START, STRIP_DRAG_BOX_END);
  if (end != STRIP_DRAG_NONE) {
    st->drag = end;
    st->grab = (end == STRIP_DRAG_BOX_START ? a : b) - fx;
    set_last(st, a, b);
    return true;
  }

  st->drag = STRIP_DRAG_SCRUB;
  set_last(st, fx, 0);
  actions_push_xy(out, ACT_STRIP_SCRUB, 1, (float)fx, 0.0f);
  return true;
}

void strip_move(StripState* st, const StripFrame* f, float x, float /*y*/, ActionList* out) {
  if (!st || !f || st->drag == STRIP_DRAG_NONE || !(f->rect.w > 0) || !std::isfinite(x)) return;
  const double fx = strip_fraction_at(f, x);
  switch (st->drag) {
    case STRIP_DRAG_SCRUB:
      if (fx == st->last_x) return;
      set_last(st, fx, 0);
      actions_push_xy(out, ACT_STRIP_SCRUB, 0, (float)fx, 0.0f);
      return;
    case STRIP_DRAG_FLAG_IN:
    case STRIP_DRAG_FLAG_OUT: {
      const double at = clamp01(fx + st->grab);
      if (at == st->last_x) return;
      set_last(st, at, 0);
      actions_push_xy(out, ACT_STRIP_FLAG, st->drag == STRIP_DRAG_FLAG_IN ? 1 : 2,
                      (float)(at * f->span), 0.0f);
      return;
    }
    case STRIP_DRAG_BOX_START: {
      // The other end stays put; the box never gets narrower than the deepest zoom shows.
      double a = clamp01(fx + st->grab);
      if (a > st->box_end - STRIP_BOX_MIN) a = st->box_end - STRIP_BOX_MIN;
      push_window(st, a < 0.0 ? 0.0 : a, st->box_end, out);
      return;
    }
    case STRIP_DRAG_BOX_END: {
      double b = clamp01(fx + st->grab);
      if (b < st->box_start + STRIP_BOX_MIN) b = st->box_start + STRIP_BOX_MIN;
      push_window(st, st->box_start, b > 1.0 ? 1.0 : b, out);
      return;
    }
    case STRIP_DRAG_BOX_CARRY: {
      double d = (x - st->press_x) / f->rect.w;
      if (d < -st->box_start) d = -st->box_start;
      if (d > 1.0 - st->box_end) d = 1.0 - st->box_end;
      push_window(st, st->box_start + d, st->box_end + d, out);
      return;
    }
    default:
      return;
  }
}

void strip_release(StripState* st, const StripFrame* /*f*/, int32_t button, float /*x*/,
                   float /*y*/, ActionList* /*out*/) {
  if (!st || st->drag == STRIP_DRAG_NONE || button != st->button) return;
  strip_reset(st);
}
