// The XY stick: drawing and pointer handling. The position shown is always the session's (the
// frame's x and y); the stick only remembers the running drag.
#include "app/shell_stick.h"

#include <cmath>

namespace {

constexpr DrawColour kPadBack = {0.03f, 0.05f, 0.09f, 0.82f};
constexpr DrawColour kPadEdge = {0.55f, 0.62f, 0.72f, 0.55f};
constexpr DrawColour kGuide = {0.55f, 0.62f, 0.72f, 0.22f};
constexpr DrawColour kHome = {0.75f, 0.80f, 0.88f, 0.45f};

float clamp1(float v) {
  if (!std::isfinite(v)) return 0.0f;
  return v < -1.0f ? -1.0f : (v > 1.0f ? 1.0f : v);
}

float side_of(DrawRect r) {
  return std::fmin(r.w, r.h);
}

float knob_radius(DrawRect r) {
  return std::fmax(3.0f, std::fmin(10.0f, side_of(r) * 0.16f));
}

// Half the knob's travel: the knob stays wholly inside the pad.
float travel(DrawRect r) {
  return std::fmax(1.0f, side_of(r) * 0.5f - knob_radius(r) - 1.0f);
}

DrawPoint knob_in(DrawRect r, float x, float y) {
  const float t = travel(r);
  return DrawPoint{r.x + r.w * 0.5f + clamp1(x) * t, r.y + r.h * 0.5f - clamp1(y) * t};
}

DrawColour lighten(DrawColour c, float k, float a) {
  return DrawColour{c.r + (1.0f - c.r) * k, c.g + (1.0f - c.g) * k, c.b + (1.0f - c.b) * k, a};
}

// The knob is an orb in the accent colour: it turns low-poly as it is pushed up (louder,
// brighter) and square as it is pulled down (quieter, warmer).
void draw_knob(Painter* p, DrawPoint c, float r, float y, DrawColour accent, bool held) {
  const float up = std::fmax(0.0f, clamp1(y)), down = std::fmax(0.0f, -clamp1(y));
  const DrawColour body = lighten(accent, held ? 0.25f : 0.1f, 1.0f);
  draw_disc(p, c.x, c.y, r * 1.45f, lighten(accent, 0.0f, held ? 0.28f : 0.16f));
  if (down > 0.5f) {
    draw_regular(p, c.x, c.y, r * 1.15f, 4, 0.78539816f, body);
  } else if (up > 0.1f) {
    const int sides = (int)std::lround(14.0f - 8.0f * up);
    draw_regular(p, c.x, c.y, r * 1.05f, sides, -1.5707963f, body);
  } else {
    draw_disc(p, c.x, c.y, r, body);
  }
  draw_disc(p, c.x - r * 0.3f, c.y - r * 0.3f, r * 0.3f, lighten(accent, 0.7f, 0.55f));
}

void draw_pad(Painter* p, DrawRect r, float x, float y, DrawColour accent, bool held,
              float radius) {
  draw_rrect(p, r, radius, kPadBack);
  const float cx = r.x + r.w * 0.5f, cy = r.y + r.h * 0.5f;
  draw_rect(p, r.x + 2.0f, cy - 0.5f, r.w - 4.0f, 1.0f, kGuide);
  draw_rect(p, cx - 0.5f, r.y + 2.0f, 1.0f, r.h - 4.0f, kGuide);
  draw_rrect_frame(p, r, radius, 1.0f, kPadEdge);
  const float k = knob_radius(r);
  draw_ring(p, cx, cy, k * 0.6f, 1.0f, kHome);
  draw_knob(p, knob_in(r, x, y), k, y, accent, held);
}

bool inside(DrawRect r, float x, float y) {
  return x >= r.x && x <= r.x + r.w && y >= r.y && y <= r.y + r.h;
}

void push_position(StickState* st, float x, float y, int32_t value, ActionList* out) {
  st->last_x = x;
  st->last_y = y;
  actions_push_xy(out, ACT_XY, value, x, y);
}

}  // namespace

void stick_reset(StickState* st) {
  *st = StickState{};
}

bool stick_held(const StickState* st) {
  return st && st->held;
}

DrawPoint stick_knob_at(const StickFrame* f, float x, float y) {
  return knob_in(f->rect, x, y);
}

void stick_position_at(const StickFrame* f, float px, float py, float* x, float* y) {
  const float t = travel(f->rect);
  *x = clamp1((px - (f->rect.x + f->rect.w * 0.5f)) / t);
  *y = clamp1(((f->rect.y + f->rect.h * 0.5f) - py) / t);
}

bool stick_pad_shown(const StickFrame* f, const StickState* st) {
  return stick_held(st) || f->pad_until > f->now;
}

DrawRect stick_pad_rect(const StickFrame* f) {
  float s = STICK_PAD_SIZE;
  if (f->window_w > 0) s = std::fmin(s, f->window_w);
  if (f->window_h > 0) s = std::fmin(s, f->window_h);
  float x = f->rect.x + f->rect.w * 0.5f - s * 0.5f;
  float y = f->rect.y - STICK_PAD_GAP - s;
  // Off the window's edges by up to STICK_PAD_MARGIN, less when the window is tight.
  const float mx = std::fmax(0.0f, std::fmin(STICK_PAD_MARGIN, (f->window_w - s) * 0.5f));
  const float my = std::fmax(0.0f, std::fmin(STICK_PAD_MARGIN, (f->window_h - s) * 0.5f));
  x = std::fmax(mx, std::fmin(x, f->window_w - s - mx));
  y = std::fmax(my, std::fmin(y, f->window_h - s - my));
  return DrawRect{x, y, s, s};
}

void stick_draw(Painter* p, const StickFrame* f, const StickState* st) {
  if (!p || !f || !(f->rect.w > 0) || !(f->rect.h > 0)) return;
  const bool held = stick_held(st);
  draw_pad(p, f->rect, f->x, f->y, f->accent, held, std::fmin(6.0f, side_of(f->rect) * 0.2f));
  if (!stick_pad_shown(f, st)) return;
  const DrawRect pad = stick_pad_rect(f);
  draw_shadow(p, pad, 14.0f, 24.0f, 0.5f);
  draw_pad(p, pad, f->x, f->y, f->accent, held, 14.0f);
}

bool stick_press(StickState* st, const StickFrame* f, int32_t button, float x, float y,
                 ActionList* out) {
  if (!st || !f || button != 1 || !inside(f->rect, x, y)) return false;
  stick_reset(st);
  st->held = true;
  st->button = button;
  st->press_x = x;
  st->press_y = y;
  const float kx = clamp1(f->x), ky = clamp1(f->y);
  st->last_x = kx;
  st->last_y = ky;
  const DrawPoint knob = knob_in(f->rect, kx, ky);
  const float r = knob_radius(f->rect) + 2.0f;
  float px, py;
  stick_position_at(f, x, y, &px, &py);
  if ((x - knob.x) * (x - knob.x) + (y - knob.y) * (y - knob.y) <= r * r) {
    // Caught the knob: it moves with the pointer from where it was, no jump.
    st->on_knob = true;
    const float t = travel(f->rect);
    st->grab_x = kx - (x - (f->rect.x + f->rect.w * 0.5f)) / t;
    st->grab_y = ky - ((f->rect.y + f->rect.h * 0.5f) - y) / t;
    return true;
  }
  if (px != kx || py != ky) push_position(st, px, py, 0, out);
  return true;
}

void stick_move(StickState* st, const StickFrame* f, float x, float y, ActionList* out) {
  if (!st || !f || !st->held || !std::isfinite(x) || !std::isfinite(y)) return;
  const float dx = x - st->press_x, dy = y - st->press_y;
  if (dx * dx + dy * dy > STICK_DRAG_MIN * STICK_DRAG_MIN) st->dragged = true;
  const float t = travel(f->rect);
  const float nx = clamp1((x - (f->rect.x + f->rect.w * 0.5f)) / t + st->grab_x);
  const float ny = clamp1(((f->rect.y + f->rect.h * 0.5f) - y) / t + st->grab_y);
  if (nx == st->last_x && ny == st->last_y) return;
  push_position(st, nx, ny, 0, out);
}

void stick_release(StickState* st, const StickFrame* f, int32_t button, float x, float y,
                   ActionList* out) {
  if (!st || !st->held || button != st->button) return;
  if (f) stick_move(st, f, x, y, out);
  push_position(st, st->last_x, st->last_y, 1, out);
  // A click on the knob (no drag) sends it home.
  if (st->on_knob && !st->dragged) actions_push(out, ACT_XY_CENTRE, 0, nullptr);
  stick_reset(st);
}
