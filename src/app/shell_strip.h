// The strip under the canvas: the whole sketch in one thin band. One lane per take (newest on
// top), the loop and its two flags, the cursor, and a box marking what the canvas shows. Its
// pointer handling only appends actions: a press or drag scrubs ("strip scrub"), a flag drag
// moves a loop end ("strip flag"), dragging a box end or carrying the box with the middle button
// sets the canvas's window ("view window"). Positions along it are fractions 0..1 of the span
// the canvas shows at zoom 1. UI thread only.
#pragma once
#include <cstdint>

#include "control/actions.h"
#include "core/transport.h"
#include "ui/draw.h"

struct Painter;
struct SketchMeta;

// Grab distances in points.
constexpr float STRIP_FLAG_GRAB = 6.0f;
constexpr float STRIP_BOX_GRAB = 5.0f;
// The narrowest view box: the canvas zooms to 64 at most.
constexpr double STRIP_BOX_MIN = 1.0 / 64.0;

enum StripDrag : int32_t {
  STRIP_DRAG_NONE = 0,
  STRIP_DRAG_SCRUB = 1,
  STRIP_DRAG_FLAG_IN = 2,
  STRIP_DRAG_FLAG_OUT = 3,
  STRIP_DRAG_BOX_START = 4,
  STRIP_DRAG_BOX_END = 5,
  STRIP_DRAG_BOX_CARRY = 6,
};

// What the strip shows this frame.
struct StripFrame {
  DrawRect rect;           // points
  double span;             // seconds across the whole strip (session_span)
  double tape_seconds;     // the tape's length
  const SketchMeta* meta;  // the takes; may be null
  double rate;             // the sketch's rate, for takes that carry none
  LoopRegion loop;
  float zoom;      // the canvas view's zoom (1 shows the whole span)
  float centre_x;  // and its centre, fraction of the span
  double cursor_seconds;
  DrawColour accent;  // takes without a colour of their own
};

// One drag, from a press to its release.
struct StripState {
  int32_t drag;               // StripDrag
  int32_t button;             // the button that started it
  float press_x;              // points
  double grab;                // fraction: the dragged mark minus the pointer at the press
  double box_start, box_end;  // the box when the drag started
  double last_x, last_y;      // the last fractions appended
};

void strip_reset(StripState* st);

// Where the view box sits: [centre - 0.5/zoom, centre + 0.5/zoom] kept inside 0..1.
void strip_box(const StripFrame* f, double* start, double* end);
// The fraction under x (clamped to 0..1; 0 when the strip has no width).
double strip_fraction_at(const StripFrame* f, float x);

void strip_draw(Painter* p, const StripFrame* f, const StripState* st);

// True when the strip took the press (it then owns the pointer until the release).
bool strip_press(StripState* st, const StripFrame* f, int32_t button, float x, float y,
                 ActionList* out);
void strip_move(StripState* st, const StripFrame* f, float x, float y, ActionList* out);
void strip_release(StripState* st, const StripFrame* f, int32_t button, float x, float y,
                   ActionList* out);
