// The view: which part of the sketch the canvas shows. A zoom and a centre, each easing toward a
// target, and two marks saying whether the user took the zoom (zoom_held) or the position
// (panned) into their own hands. While they have not, the camera follows: the zoom fits the
// sketch's span and the centre moves only when the cursor nears an edge of the window, so the
// picture holds still while you play.
//
// Positions are fractions of the canvas span (the seconds the canvas shows at zoom 1,
// transport_canvas_span). At zoom z the window is 1/z of the span wide; every centre stays
// within [h, 1 - h] with the half window h = 0.5 / max(z, 1). Both axes zoom together.
//
// Plain arithmetic on the UI thread; owned by the session. Every entry point ignores NaN and
// infinite inputs, so a damaged meta.json or a bad gesture never reaches the picture.
#pragma once

struct SketchMeta;

constexpr float VIEW_ZOOM_MIN = 1.0f;
constexpr float VIEW_ZOOM_MAX = 64.0f;
// Arithmetic runs in double: float constants (1.1f is 1.1000000238...) would drift the results.
// One zoom step (a wheel notch) multiplies the zoom target by this.
constexpr double VIEW_ZOOM_STEP = 1.1;
// Per-tick easing: fraction of the remaining distance, and the smallest move (times the zoom for
// the zoom, divided by it for the centres) below which the value snaps.
constexpr double VIEW_ZOOM_EASE = 0.1;
constexpr double VIEW_ZOOM_SNAP = 0.0002;
constexpr double VIEW_CENTRE_EASE = 0.07;
constexpr double VIEW_CENTRE_SNAP = 0.0002;
// While following, the cursor may wander this fraction of the half window from the anchor before
// the picture moves.
constexpr double VIEW_DEAD_ZONE = 0.6;
// Vertical pan: pixels that move the centre by the whole span at zoom 1.
constexpr double VIEW_PAN_Y_PIXELS = 350.0;
// Relative difference below which two zooms count as the same.
constexpr double VIEW_ZOOM_SAME = 0.0001;
// view_tick runs at the canvas's fixed rate.
constexpr double VIEW_TICK_HZ = 24.0;

struct View {
  float zoom;             // displayed, 1..64 (1 shows the whole span)
  float zoom_target;      // where the zoom eases to
  bool zoom_held;         // the user chose the zoom; the camera does not refit it
  float centre_x;         // displayed horizontal centre, fraction of the span
  bool panned;            // the user moved the view; the camera does not follow the cursor
  float centre_x_target;  // where the centre eases to while panned
  float centre_y;         // displayed vertical centre, 0..1
  float centre_y_target;
  bool changed;     // set by every user change; the session clears it once the view is saved
  bool has_anchor;  // following: anchor is set
  float anchor;     // the centre the camera holds while following
};

// The values written to the sketch.
struct ViewSaved {
  double zoom;   // zoom target
  double pan_y;  // centre y target
  bool panned;
  double pan_x;  // centre x target; 0 when not panned
};

struct ViewRect {
  float x, y, w, h;
};

// What the canvas draws with.
struct ViewTransform {
  float scale_x;   // max(zoom, 1)
  float scale_y;   // same as scale_x: both axes zoom together
  float centre_x;  // clamped to the half window
  float centre_y;
  ViewRect rect;  // the canvas rectangle
};

// Half window at zoom z: 0.5 / max(z, 1).
float view_half_window(float zoom);
// The zoom that fits a span in seconds: clamp(span / 7.5, 1, 64).
float view_auto_zoom(double span);

void view_reset(View* view);
// On opening a sketch: reset, then take a stored zoom >= 1 (capped at 64; held when it is not the
// span's auto zoom), a stored vertical pan and a stored horizontal pan (which sets panned).
// Non-finite values count as absent. Clears changed.
void view_restore(View* view, bool has_zoom, double zoom, bool has_pan_y, double pan_y,
                  bool has_pan_x, double pan_x, double span);
ViewSaved view_saved(const View* view);
// The same against the sketch's viewZoom, viewPanY and viewPanX (viewZoomY is left as it is).
void view_restore_meta(View* view, const SketchMeta* meta, double span);
// Writes the saved values into the sketch: viewZoom and viewPanY always, viewPanX only while
// panned (absent otherwise, so reopening follows the cursor). Returns true when a stored value
// changed.
bool view_store_meta(const View* view, SketchMeta* meta);

// User changes (actions "zoom", "scroll", "pan", "view window"); each sets changed.
void view_zoom_by(View* view, double steps);
// dx and width in pixels: dragging the whole width moves the window by its own width.
void view_scroll(View* view, double dx, double width);
void view_pan_y(View* view, double dy);
// Show [a, b] of the span (from the strip box): zoom to fit it, at most 64.
void view_window(View* view, double a, double b);
// Hand the position back to the camera (keeps the zoom).
void view_follow_again(View* view);
// Hand zoom and position back to the camera.
void view_back_to_camera(View* view);

// One 24 Hz step: refit the zoom unless held, ease zoom and centres. span in seconds; cursor as a
// fraction of the span, negative (or NaN) when there is nothing to follow.
void view_tick(View* view, double span, double cursor);

void view_transform(const View* view, ViewRect rect, ViewTransform* out);

// Conversions between a position across the canvas (0 left edge .. 1 right edge, the caller's
// margins already taken off) and a fraction of the span. The span fraction is clamped to 0..1
// (0 when not finite, 0.5 vertically).
double view_fraction_at(const ViewTransform* t, double screen_x);
double view_screen_x(const ViewTransform* t, double fraction);
double view_fraction_y_at(const ViewTransform* t, double screen_y);
double view_screen_y(const ViewTransform* t, double fraction_y);
// Time in seconds under a position across the canvas (never past the tape's end when there is
// a tape), and where a time sits across the canvas.
double view_time_at(const ViewTransform* t, double screen_x, double span, double tape_len);
double view_screen_x_of_time(const ViewTransform* t, double seconds, double span);
