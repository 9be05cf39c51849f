// Canvas gestures. A left press waits to see whether it is a tap or a scrub; a press on a loop
// handle drags it; the middle button carries the view. Scrub moves are thinned to about one per
// frame so a fast mouse does not flood the session.
#include "control/gestures.h"

#include <cmath>

namespace {

float inner_width(const GestureFrame* f) {
  return std::fmax(1.0f, f->width - 2.0f * f->margin);
}

float clamp01(float v) {
  return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v);
}

void reset(CanvasGesture* g) {
  g->mode = GESTURE_NONE;
  g->button = 0;
  g->scrub_unsent = false;
  g->scrub_begun = false;
}

// A scrub ends with the position it has not sent yet, then its end.
void finish_scrub(CanvasGesture* g, ActionList* out) {
  if (g->mode == GESTURE_SCRUB && g->scrub_begun) {
    if (g->scrub_unsent) actions_push_xy(out, ACT_SCRUB_MOVE, 0, g->scrub_fx, g->scrub_fy);
    actions_push(out, ACT_SCRUB_END, 0, nullptr);
  }
  reset(g);
}

}  // namespace

void gesture_fractions(const GestureFrame* f, float x, float y, float* fx, float* fy) {
  float a = ((x - f->left - f->margin) / inner_width(f) - 0.5f) / f->zoom + f->centre_x;
  float b = ((y - f->top) / f->height - 0.5f) / f->zoom_y + f->centre_y;
  if (fx) *fx = std::isfinite(a) ? clamp01(a) : 0.0f;
  if (fy) *fy = std::isfinite(b) ? clamp01(b) : 0.5f;
}

float gesture_screen_x(const GestureFrame* f, float fraction) {
  return f->left + f->margin + inner_width(f) * ((fraction - f->centre_x) * f->zoom + 0.5f);
}

bool gesture_press(CanvasGesture* g, const GestureFrame* f, int32_t button, float x, float y,
                   double now, ActionList* out) {
  (void)now;
  if (button != 1 && button != 2) return false;
  if (g->mode != GESTURE_NONE) {
    if (button != g->button) return false;
    // The release of the earlier press never came: close what it started first.
    finish_scrub(g, out);
  }
  g->button = button;
  g->press_x = x;
  g->press_y = y;
  g->last_x = x;
  g->last_y = y;
  g->scrub_unsent = false;
  g->scrub_begun = false;
  if (button == 2) {
    g->mode = GESTURE_HAND;
    return true;
  }
  if (f->loop_set) {
    float hy = f->top + GESTURE_HANDLE_HEIGHT * f->height;
    if (std::fabs(y - hy) <= GESTURE_HANDLE_REACH) {
      // Out first: with a short loop both handles are in reach and out is the one drawn on top.
      int32_t handle = 0;
      float fraction = 0.0f;
      if (std::fabs(x - gesture_screen_x(f, f->loop_out)) <= GESTURE_HANDLE_REACH) {
        handle = 2;
        fraction = f->loop_out;
      } else if (std::fabs(x - gesture_screen_x(f, f->loop_in)) <= GESTURE_HANDLE_REACH) {
        handle = 1;
        fraction = f->loop_in;
      }
      if (handle) {
        g->mode = GESTURE_HANDLE;
        g->handle = handle;
        g->handle_fraction = fraction;
        g->handle_last = NAN;
        return true;
      }
    }
  }
  g->mode = GESTURE_PENDING;
  return true;
}

void gesture_move(CanvasGesture* g, const GestureFrame* f, float x, float y, double now,
                  ActionList* out) {
  switch (g->mode) {
    case GESTURE_PENDING: {
      if (!(std::fabs(x - g->press_x) > GESTURE_SCRUB_SLOP)) break;
      g->mode = GESTURE_SCRUB;
      // Scrubbing would fight the take being written; the drag still stops being a tap.
      if (f->recording) break;
      float fx, fy;
      gesture_fractions(f, x, y, &fx, &fy);
      actions_push_xy(out, ACT_SCRUB_BEGIN, 0, fx, fy);
      g->scrub_begun = true;
      g->scrub_last_sent = -INFINITY;
      break;
    }
    case GESTURE_SCRUB: {
      if (!g->scrub_begun || f->recording) break;
      gesture_fractions(f, x, y, &g->scrub_fx, &g->scrub_fy);
      g->scrub_unsent = true;
      if (now - g->scrub_last_sent >= GESTURE_SCRUB_GAP) {
        actions_push_xy(out, ACT_SCRUB_MOVE, 0, g->scrub_fx, g->scrub_fy);
        g->scrub_last_sent = now;
        g->scrub_unsent = false;
      }
      break;
    }
    case GESTURE_HANDLE: {
      float fraction = (x - g->press_x) / inner_width(f) / std::fmax(f->zoom, 1.0f) +
                       g->handle_fraction;
      if (!std::isfinite(fraction)) break;
      double position = static_cast<double>(clamp01(fraction)) * f->span;
      if (position == g->handle_last) break;
      g->handle_last = position;
      actions_push_xy(out, ACT_LOOP_HANDLE_DRAG, g->handle, static_cast<float>(position), 0.0f);
      break;
    }
    case GESTURE_HAND: {
      float dx = x - g->last_x, dy = y - g->last_y;
      if (dx != 0.0f) actions_push_xy(out, ACT_SCROLL, 0, dx, inner_width(f));
      if (dy != 0.0f) actions_push_xy(out, ACT_PAN, 0, dy, 0.0f);
      break;
    }
    default:
      return;
  }
  g->last_x = x;
  g->last_y = y;
}

void gesture_release(CanvasGesture* g, const GestureFrame* f, int32_t button, float x, float y,
                     double now, ActionList* out) {
  (void)now;
  if (g->mode == GESTURE_NONE || button != g->button) return;
  if (g->mode == GESTURE_PENDING) {
    float fx, fy;
    gesture_fractions(f, x, y, &fx, &fy);
    actions_push_xy(out, ACT_TAP, 0, fx, fy);
  }
  finish_scrub(g, out);
}

void gesture_cancel(CanvasGesture* g, const GestureFrame* f, double now, ActionList* out) {
  (void)f;
  (void)now;
  finish_scrub(g, out);
}

bool gesture_active(const CanvasGesture* g) {
  return g->mode != GESTURE_NONE;
}

void gesture_wheel(const GestureFrame* f, float wheel_x, float wheel_y, uint32_t mods,
                   ActionList* out) {
  if (mods & KEYMOD_CTRL) {
    if (wheel_y != 0.0f) actions_push_xy(out, ACT_ZOOM, 0, wheel_y, 0.0f);
    return;
  }
  if (mods & KEYMOD_SHIFT) {
    // Shift turns the vertical wheel sideways; a sideways wheel keeps its own sense.
    float amount = (wheel_y - wheel_x) * GESTURE_WHEEL_PX;
    if (amount != 0.0f) actions_push_xy(out, ACT_SCROLL, 0, amount, inner_width(f));
    return;
  }
  if (wheel_x != 0.0f) actions_push_xy(out, ACT_SCROLL, 0, -GESTURE_WHEEL_PX * wheel_x, inner_width(f));
  if (wheel_y != 0.0f) actions_push_xy(out, ACT_PAN, 0, GESTURE_WHEEL_PX * wheel_y, 0.0f);
}
