// Canvas gestures and the canvas's wheel: presses, moves and releases over the canvas become taps,
// scrubs, loop-handle drags and hand drags (scroll and pan); the wheel becomes zoom, scroll and
// pan. Positions are points; the frame says where the canvas is and what it shows. Pure: the
// results are actions appended to a list. UI thread only.
#pragma once
#include <cstdint>

#include "control/actions.h"

constexpr float GESTURE_SCRUB_SLOP = 4.0f;         // px sideways before a press becomes a scrub
constexpr double GESTURE_SCRUB_GAP = 0.95 / 60.0;  // s between scrub moves
constexpr float GESTURE_HANDLE_REACH = 18.0f;      // px around a loop handle
constexpr float GESTURE_HANDLE_HEIGHT = 0.66f;     // of the canvas height
constexpr float GESTURE_WHEEL_PX = 40.0f;          // px per wheel notch

// What the canvas shows this frame.
struct GestureFrame {
  float left, top, width, height;  // the canvas rectangle, points
  float margin;                    // between the canvas's sides and the sketch's ends
  float zoom, zoom_y;              // the view's scale (at least 1 is used for handle drags)
  float centre_x, centre_y;        // the view's centres, fractions
  bool loop_set;
  float loop_in, loop_out;  // fractions of the span
  double span;              // seconds the canvas shows at zoom 1
  bool recording;           // a take is recording: no scrub
};

enum GestureMode : int32_t {
  GESTURE_NONE = 0,
  GESTURE_PENDING = 1,  // a left press that may still be a tap
  GESTURE_SCRUB = 2,
  GESTURE_HANDLE = 3,
  GESTURE_HAND = 4,  // middle-button drag
};

struct CanvasGesture {
  int32_t mode;    // GestureMode
  int32_t button;  // the button that started it
  float press_x, press_y;
  float last_x, last_y;
  int32_t handle;  // 1 in, 2 out
  float handle_fraction;
  double handle_last;  // last position sent, seconds (NaN: none)
  bool scrub_unsent;   // the last (fx, fy) was not sent yet
  float scrub_fx, scrub_fy;
  double scrub_last_sent;  // time of the last "scrub move"
  bool scrub_begun;        // "scrub begin" went out (not when the drag started while recording)
};

// Sketch fractions under a point: fx clamped to 0..1 (0 when not finite), fy to 0..1 (0.5).
void gesture_fractions(const GestureFrame* f, float x, float y, float* fx, float* fy);
// Screen x of a sketch fraction (the inverse of fx, unclamped).
float gesture_screen_x(const GestureFrame* f, float fraction);
// A press inside the canvas (button 1 left, 2 middle, others ignored). True when taken.
bool gesture_press(CanvasGesture* g, const GestureFrame* f, int32_t button, float x, float y,
                   double now, ActionList* out);
void gesture_move(CanvasGesture* g, const GestureFrame* f, float x, float y, double now,
                  ActionList* out);
void gesture_release(CanvasGesture* g, const GestureFrame* f, int32_t button, float x, float y,
                     double now, ActionList* out);
// Ends whatever runs (the capture was lost): a scrub sends its last move and its end, a pending
// press is dropped without a tap.
void gesture_cancel(CanvasGesture* g, const GestureFrame* f, double now, ActionList* out);
bool gesture_active(const CanvasGesture* g);
// The canvas's share of a frame's wheel (accumulated notches, KEYMOD_* bits).
void gesture_wheel(const GestureFrame* f, float wheel_x, float wheel_y, uint32_t mods,
                   ActionList* out);
