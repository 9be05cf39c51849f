// The XY stick: a small square pad whose knob shows the session's XY mixer (x right = +1 pans
// right, y up = +1 louder; the middle leaves the sound as it came in), and a large pad above it
// while the knob is held or a key nudged it. Dragging appends "xy" with the position (value 0);
// the release appends it once more with value 1 so the settings keep it. A click on the knob
// without dragging appends "xy centre" after that, which sends it back to the middle. UI thread
// only.
#pragma once
#include <cstdint>

#include "control/actions.h"
#include "ui/draw.h"

struct Painter;

constexpr float STICK_PAD_SIZE = 180.0f;  // the large pad, points
constexpr float STICK_PAD_GAP = 10.0f;    // between the large pad and the small one
constexpr float STICK_PAD_MARGIN = 8.0f;  // from the window's edges
constexpr float STICK_DRAG_MIN = 3.0f;    // points a press moves before it counts as a drag

struct StickFrame {
  DrawRect rect;  // the small pad, points
  float window_w, window_h;
  float x, y;  // the session's XY position, -1..1
  DrawColour accent;
  double now;        // the frame's clock
  double pad_until;  // a key nudge shows the large pad until then
};

struct StickState {
  bool held;
  int32_t button;
  bool on_knob;            // the press caught the knob (its offset is kept)
  bool dragged;            // moved further than STICK_DRAG_MIN since the press
  float grab_x, grab_y;    // knob position minus pointer position at the press, -1..1 units
  float press_x, press_y;  // points
  float last_x, last_y;    // the last position appended
};

void stick_reset(StickState* st);
bool stick_held(const StickState* st);

// The knob's centre for a position, and the position under a point (clamped to -1..1).
DrawPoint stick_knob_at(const StickFrame* f, float x, float y);
void stick_position_at(const StickFrame* f, float px, float py, float* x, float* y);
// Whether the large pad shows, and where (centred above the small pad, inside the window).
bool stick_pad_shown(const StickFrame* f, const StickState* st);
DrawRect stick_pad_rect(const StickFrame* f);

void stick_draw(Painter* p, const StickFrame* f, const StickState* st);

// True when the stick took the press (the left button inside the small pad).
bool stick_press(StickState* st, const StickFrame* f, int32_t button, float x, float y,
                 ActionList* out);
void stick_move(StickState* st, const StickFrame* f, float x, float y, ActionList* out);
void stick_release(StickState* st, const StickFrame* f, int32_t button, float x, float y,
                   ActionList* out);
