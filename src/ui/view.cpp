#include "ui/view.h"

#include <cmath>

#include "core/transport.h"
#include "store/meta.h"

namespace {

// NaN gives lo, so a bad value lands on an edge instead of spreading.
double clampd(double v, double lo, double hi) {
  if (!(v >= lo)) return lo;
  return v > hi ? hi : v;
}

double zoom_of(const View* view) {
  double z = view->zoom;
  return std::isfinite(z) && z > 1 ? std::fmin(z, VIEW_ZOOM_MAX) : 1.0;
}

double half_window(double zoom) {
  return 0.5 / std::fmax(zoom, 1.0);
}

double clamp_centre(double c, double h) {
  return std::isfinite(c) ? clampd(c, h, 1 - h) : 0.5;
}

// Moves cur toward goal by k of the distance but at least snap, and lands exactly on goal once
// within snap; never overshoots because snap < |goal - cur| whenever it steps.
double ease(double cur, double goal, double k, double snap) {
  if (!std::isfinite(cur)) return goal;
  double d = goal - cur;
  if (std::fabs(d) <= snap) return goal;
  double step = d * k;
  if (std::fabs(step) < snap) step = std::copysign(snap, d);
  return cur + step;
}

// Repairs fields a caller may have filled by hand, so one bad value can't poison every tick. A
// lost horizontal centre is left for the tick to replace with its goal.
void make_sane(View* view) {
  if (!std::isfinite(view->zoom) || view->zoom < VIEW_ZOOM_MIN) view->zoom = VIEW_ZOOM_MIN;
  if (view->zoom > VIEW_ZOOM_MAX) view->zoom = VIEW_ZOOM_MAX;
  view->zoom_target = (float)clampd(view->zoom_target, VIEW_ZOOM_MIN, VIEW_ZOOM_MAX);
  if (!std::isfinite(view->centre_x_target)) view->centre_x_target = 0.5f;
  if (!std::isfinite(view->centre_y)) view->centre_y = 0.5f;
  if (!std::isfinite(view->centre_y_target)) view->centre_y_target = 0.5f;
  if (!std::isfinite(view->anchor)) view->has_anchor = false;
}

bool store_value(bool* has, double* value, bool want_has, double want) {
  bool differs = *has != want_has || (want_has && *value != want);
  *has = want_has;
  *value = want_has ? want : 0;
  return differs;
}

}  // namespace

float view_half_window(float zoom) {
  return (float)half_window(std::isfinite(zoom) ? (double)zoom : 1.0);
}

float view_auto_zoom(double span) {
  return (float)transport_zoom_factor(span);
}

void view_reset(View* view) {
  if (!view) return;
  *view = View{};
  view->zoom = 1;
  view->zoom_target = 1;
  view->centre_x = 0.5f;
  view->centre_x_target = 0.5f;
  view->centre_y = 0.5f;
  view->centre_y_target = 0.5f;
}

void view_restore(View* view, bool has_zoom, double zoom, bool has_pan_y, double pan_y,
                  bool has_pan_x, double pan_x, double span) {
  if (!view) return;
  view_reset(view);
  if (has_zoom && std::isfinite(zoom) && zoom >= VIEW_ZOOM_MIN) {
    double z = std::fmin(zoom, VIEW_ZOOM_MAX);
    double fit = view_auto_zoom(span);
    view->zoom = (float)z;
    view->zoom_target = (float)z;
    view->zoom_held = std::fabs(z - fit) > VIEW_ZOOM_SAME * fit;
  }
  double h = half_window(view->zoom);
  if (has_pan_y && std::isfinite(pan_y)) {
    view->centre_y = view->centre_y_target = (float)clampd(pan_y, h, 1 - h);
  }
  if (has_pan_x && std::isfinite(pan_x)) {
    view->centre_x = view->centre_x_target = (float)clampd(pan_x, h, 1 - h);
    view->panned = true;
  }
  view->changed = false;
}

ViewSaved view_saved(const View* view) {
  ViewSaved s = {1, 0.5, false, 0};
  if (!view) return s;
  s.zoom = view->zoom_target;
  s.pan_y = view->centre_y_target;
  s.panned = view->panned;
  s.pan_x = view->panned ? view->centre_x_target : 0;
  return s;
}

void view_restore_meta(View* view, const SketchMeta* meta, double span) {
  if (!meta) {
    view_reset(view);
    return;
  }
  view_restore(view, meta->hasViewZoom, meta->viewZoom, meta->hasViewPanY, meta->viewPanY,
               meta->hasViewPanX, meta->viewPanX, span);
}

bool view_store_meta(const View* view, SketchMeta* meta) {
  if (!view || !meta) return false;
  ViewSaved s = view_saved(view);
  bool differs = store_value(&meta->hasViewZoom, &meta->viewZoom, true, s.zoom);
  differs |= store_value(&meta->hasViewPanY, &meta->viewPanY, true, s.pan_y);
  // An absent pan, not 0: a stored pan reopens the sketch panned.
  differs |= store_value(&meta->hasViewPanX, &meta->viewPanX, s.panned, s.pan_x);
  return differs;
}

void view_zoom_by(View* view, double steps) {
  if (!view || steps == 0 || !std::isfinite(steps)) return;
  double target = std::isfinite(view->zoom_target) ? view->zoom_target : 1.0;
  view->zoom_target =
      (float)clampd(target * std::pow(VIEW_ZOOM_STEP, steps), VIEW_ZOOM_MIN, VIEW_ZOOM_MAX);
  view->zoom_held = true;
  view->changed = true;
}

void view_scroll(View* view, double dx, double width) {
  if (!view || dx == 0 || !std::isfinite(dx)) return;
  double w = std::isfinite(width) ? std::fmax(width, 1.0) : 1.0;
  double z = zoom_of(view);
  double h = half_window(z);
  double from = std::isfinite(view->centre_x) ? view->centre_x : 0.5;
  view->centre_x = view->centre_x_target = (float)clampd(from - dx / w / z, h, 1 - h);
  view->panned = true;
  view->changed = true;
}

void view_pan_y(View* view, double dy) {
  if (!view || dy == 0 || !std::isfinite(dy)) return;
  double z = zoom_of(view);
  double h = half_window(z);
  double from = std::isfinite(view->centre_y_target) ? view->centre_y_target : 0.5;
  view->centre_y_target = (float)clampd(from - dy / (VIEW_PAN_Y_PIXELS * z), h, 1 - h);
  view->changed = true;
}

void view_window(View* view, double a, double b) {
  if (!view || !std::isfinite(a) || !std::isfinite(b)) return;
  a = clampd(a, 0, 1);
  b = clampd(b, 0, 1);
  if (!(b > a)) return;
  double z = clampd(1 / std::fmax(b - a, 1.0 / VIEW_ZOOM_MAX), VIEW_ZOOM_MIN, VIEW_ZOOM_MAX);
  if (std::fabs(z - zoom_of(view)) > VIEW_ZOOM_SAME * z) {
    view->zoom = view->zoom_target = (float)z;
    view->zoom_held = true;
  }
  double h = half_window(zoom_of(view));
  view->centre_x = view->centre_x_target = (float)clampd((a + b) / 2, h, 1 - h);
  view->panned = true;
  view->changed = true;
}

void view_follow_again(View* view) {
  if (!view || !view->panned) return;
  view->panned = false;
  view->changed = true;  // the stored pan no longer holds
}

void view_back_to_camera(View* view) {
  if (!view || (!view->panned && !view->zoom_held)) return;
  view->panned = false;
  view->zoom_held = false;
  view->changed = true;
}

void view_tick(View* view, double span, double cursor) {
  if (!view) return;
  make_sane(view);
  if (!view->zoom_held) view->zoom_target = view_auto_zoom(span);

  double z = zoom_of(view);
  view->zoom = (float)ease(z, view->zoom_target, VIEW_ZOOM_EASE, VIEW_ZOOM_SNAP * z);

  z = zoom_of(view);
  double h = half_window(z);
  double goal;
  if (view->panned) {
    goal = view->centre_x_target;
    view->has_anchor = false;
  } else if (std::isfinite(cursor) && cursor >= 0) {
    double c = std::fmin(cursor, 2.0);  // far past the end is the end; keeps the float finite
    double anchor = view->has_anchor                ? view->anchor
                    : std::isfinite(view->centre_x) ? view->centre_x
                                                    : c;
    double r = VIEW_DEAD_ZONE * h;
    if (c > anchor + r) {
      anchor = c - r;
    } else if (c < anchor - r) {
      anchor = c + r;
    }
    anchor = clampd(anchor, h, 1 - h);
    view->anchor = (float)anchor;
    view->has_anchor = true;
    goal = anchor;
  } else {
    view->has_anchor = false;
    goal = 0.5;
  }

  double g = VIEW_CENTRE_SNAP / z;
  view->centre_x = (float)ease(view->centre_x, clampd(goal, h, 1 - h), VIEW_CENTRE_EASE, g);
  view->centre_y =
      (float)ease(view->centre_y, clampd(view->centre_y_target, h, 1 - h), VIEW_CENTRE_EASE, g);
}

void view_transform(const View* view, ViewRect rect, ViewTransform* out) {
  if (!out) return;
  double z = view ? zoom_of(view) : 1.0;
  double h = half_window(z);
  out->scale_x = (float)z;
  out->scale_y = (float)z;
  out->centre_x = view ? (float)clamp_centre(view->centre_x, h) : 0.5f;
  out->centre_y = view ? (float)clamp_centre(view->centre_y, h) : 0.5f;
  out->rect = rect;
}

double view_fraction_at(const ViewTransform* t, double screen_x) {
  if (!t) return 0;
  double f = (screen_x - 0.5) / std::fmax(t->scale_x, 1.0f) + t->centre_x;
  return std::isfinite(f) ? clampd(f, 0, 1) : 0;
}

double view_screen_x(const ViewTransform* t, double fraction) {
  if (!t) return 0;
  if (!std::isfinite(fraction)) fraction = 0;
  return (fraction - t->centre_x) * std::fmax(t->scale_x, 1.0f) + 0.5;
}

double view_fraction_y_at(const ViewTransform* t, double screen_y) {
  if (!t) return 0.5;
  double f = (screen_y - 0.5) / std::fmax(t->scale_y, 1.0f) + t->centre_y;
  return std::isfinite(f) ? clampd(f, 0, 1) : 0.5;
}

double view_screen_y(const ViewTransform* t, double fraction_y) {
  if (!t) return 0.5;
  if (!std::isfinite(fraction_y)) fraction_y = 0.5;
  return (fraction_y - t->centre_y) * std::fmax(t->scale_y, 1.0f) + 0.5;
}

double view_time_at(const ViewTransform* t, double screen_x, double span, double tape_len) {
  if (!std::isfinite(span) || span < 0) span = 0;
  return transport_click_time(view_fraction_at(t, screen_x), span, tape_len);
}

double view_screen_x_of_time(const ViewTransform* t, double seconds, double span) {
  double f = std::isfinite(span) && span > 0 ? seconds / span : 0;
  return view_screen_x(t, f);
}
