#include "ui/view.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "store/meta.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Ticks until zoom and centres stop moving, checking each moves monotonically toward where it
// settles (no overshoot). Returns the ticks taken.
int settle(View* v, double span, double cursor) {
  for (int i = 0; i < 5000; i++) {
    View before = *v;
    view_tick(v, span, cursor);
    if (v->zoom == before.zoom && v->centre_x == before.centre_x && v->centre_y == before.centre_y)
      return i;
    float zt = v->zoom_target;
    if (before.zoom < zt) {
      EXPECT_TRUE(v->zoom > before.zoom && v->zoom <= zt);
    } else if (before.zoom > zt) {
      EXPECT_TRUE(v->zoom < before.zoom && v->zoom >= zt);
    }
  }
  ADD_FAILURE() << "view never settled";
  return -1;
}

View fresh() {
  View v;
  view_reset(&v);
  return v;
}

TEST(View, FitsTheSpanAndEasesWithoutOvershoot) {
  View v = fresh();
  EXPECT_GT(settle(&v, 60, -1), 10);  // eases, does not jump
  EXPECT_EQ(v.zoom, 8.0f);            // lands exactly
  EXPECT_FALSE(v.zoom_held);
  settle(&v, 3, -1);
  EXPECT_EQ(v.zoom, 1.0f);
  settle(&v, 1e9, -1);
  EXPECT_EQ(v.zoom, 64.0f);
  EXPECT_EQ(v.centre_x, 0.5f);
  settle(&v, kNaN, kNaN);  // a broken span fits zoom 1 and nothing goes NaN
  EXPECT_EQ(v.zoom, 1.0f);
}

TEST(View, UserZoomIsHeldAndClamped) {
  View v = fresh();
  settle(&v, 30, -1);  // auto 4
  view_zoom_by(&v, 1);
  view_zoom_by(&v, 1);
  EXPECT_NEAR(v.zoom_target, 4 * 1.21, 1e-5);
  EXPECT_TRUE(v.zoom_held && v.changed);
  settle(&v, 120, -1);  // the sketch grew: no refit
  EXPECT_NEAR(v.zoom, 4 * 1.21, 1e-5);
  view_zoom_by(&v, 1000);
  EXPECT_EQ(v.zoom_target, 64.0f);
  view_zoom_by(&v, -kInf);
  view_zoom_by(&v, kNaN);
  EXPECT_EQ(v.zoom_target, 64.0f);
  view_zoom_by(&v, -1000);
  EXPECT_EQ(v.zoom_target, 1.0f);
  view_back_to_camera(&v);
  settle(&v, 120, -1);
  EXPECT_EQ(v.zoom, 16.0f);

  View w = fresh();
  view_zoom_by(&w, 0);
  EXPECT_FALSE(w.zoom_held || w.changed);
  // Many notches land where 1.1^n does, with no drift from a rounded step.
  view_zoom_by(&w, 40);
  EXPECT_EQ(w.zoom_target, (float)std::pow(1.1, 40));
}

TEST(View, StripBoxSetsZoomAndCentre) {
  View v = fresh();
  view_window(&v, 0.2, 0.3);
  EXPECT_NEAR(v.zoom, 10, 1e-4);
  EXPECT_NEAR(v.centre_x, 0.25, 1e-6);
  EXPECT_TRUE(v.zoom_held && v.panned && v.changed);
  view_window(&v, 0.5, 0.501);
  EXPECT_EQ(v.zoom, 64.0f);
  view_window(&v, 0.99999, 1.5);  // clamped to the end: zoom 64, centre kept inside
  EXPECT_EQ(v.centre_x, 1 - 1 / 128.0f);
  View before = v;
  view_window(&v, 0.4, 0.4);
  view_window(&v, 0.6, 0.3);
  view_window(&v, kNaN, 0.5);
  EXPECT_EQ(v.centre_x, before.centre_x);
  EXPECT_EQ(v.zoom, before.zoom);

  View w = fresh();  // the whole span at zoom 1 does not take the zoom from the camera
  view_window(&w, -1, 2);
  EXPECT_FALSE(w.zoom_held);
  EXPECT_TRUE(w.panned);
}

TEST(View, FollowMovesOnlyNearAnEdge) {
  View v = fresh();
  view_restore(&v, true, 4, false, 0, false, 0, 30);  // zoom 4 = the fit of 30 s, h = 0.125
  ASSERT_FALSE(v.zoom_held);
  view_tick(&v, 30, 0.5);
  view_tick(&v, 30, 0.575);
  EXPECT_EQ(v.centre_x, 0.5f);
  EXPECT_EQ(v.anchor, 0.5f);
  view_tick(&v, 30, 0.6);
  EXPECT_NEAR(v.anchor, 0.525, 1e-6);
  EXPECT_GT(v.centre_x, 0.5f);
  settle(&v, 30, 0.6);
  EXPECT_NEAR(v.centre_x, 0.525, 1e-6);
  view_tick(&v, 30, 0.455);  // back within the dead zone: still
  EXPECT_NEAR(v.centre_x, 0.525, 1e-6);
  settle(&v, 30, 1.0);  // end of the sketch: stops at the edge
  EXPECT_EQ(v.centre_x, 0.875f);
  settle(&v, 30, 0.0);
  EXPECT_EQ(v.centre_x, 0.125f);
  settle(&v, 30, -1);  // nothing to follow: back to the middle, anchor forgotten
  EXPECT_EQ(v.centre_x, 0.5f);
  EXPECT_FALSE(v.has_anchor);

  // The anchor trails the cursor by exactly 0.6 h (0.075 at zoom 4), not a rounded 0.6.
  View w = fresh();
  view_restore(&w, true, 4, false, 0, false, 0, 30);
  view_tick(&w, 30, 0.5);
  view_tick(&w, 30, 0.67);
  EXPECT_EQ(w.anchor, 0.595f);
}

TEST(View, PannedStopsFollowingUntilHandedBack) {
  View v = fresh();
  settle(&v, 30, -1);
  view_scroll(&v, 100, 400);  // a quarter width right-drag at zoom 4: the window moves left
  EXPECT_NEAR(v.centre_x, 0.5 - 0.25 / 4, 1e-6);
  EXPECT_TRUE(v.panned && v.changed);
  settle(&v, 30, 0.95);
  EXPECT_NEAR(v.centre_x, 0.4375, 1e-6);
  view_follow_again(&v);
  EXPECT_FALSE(v.panned);
  settle(&v, 30, 0.95);
  EXPECT_EQ(v.centre_x, 0.875f);

  view_scroll(&v, -1e9, 1);  // both ends clamp to the half window
  EXPECT_EQ(v.centre_x, 0.875f);
  view_scroll(&v, 1e9, 1);
  EXPECT_EQ(v.centre_x, 0.125f);
  view_scroll(&v, kNaN, 400);
  view_scroll(&v, 10, kNaN);  // a broken width counts as 1 px
  EXPECT_EQ(v.centre_x, 0.125f);

  View w = fresh();  // zoom 1: nothing to scroll or pan
  view_scroll(&w, 300, 400);
  view_pan_y(&w, 500);
  EXPECT_EQ(w.centre_x, 0.5f);
  EXPECT_EQ(w.centre_y_target, 0.5f);
}

TEST(View, VerticalPanClampsAndEases) {
  View v = fresh();
  view_window(&v, 0, 0.5);  // zoom 2, h = 0.25
  view_pan_y(&v, 175);
  EXPECT_NEAR(v.centre_y_target, 0.25, 1e-6);
  EXPECT_EQ(v.centre_y, 0.5f);  // eases, not jumps
  settle(&v, 30, -1);
  EXPECT_NEAR(v.centre_y, 0.25, 1e-6);
  view_pan_y(&v, -1e9);
  EXPECT_EQ(v.centre_y_target, 0.75f);
  view_pan_y(&v, kInf);
  EXPECT_EQ(v.centre_y_target, 0.75f);
}

TEST(View, RestoreIgnoresDamagedValues) {
  View v = fresh();
  view_restore(&v, true, 0.5, false, 0, false, 0, 60);
  EXPECT_EQ(v.zoom, 1.0f);
  EXPECT_FALSE(v.zoom_held || v.panned || v.changed);

  view_restore(&v, true, kNaN, true, kNaN, true, kInf, kNaN);
  EXPECT_EQ(v.zoom, 1.0f);
  EXPECT_EQ(v.centre_x, 0.5f);
  EXPECT_EQ(v.centre_y, 0.5f);
  EXPECT_FALSE(v.zoom_held || v.panned);
  settle(&v, kNaN, kNaN);
  EXPECT_EQ(v.zoom, 1.0f);

  view_restore(&v, true, 1e6, true, -3, true, 7, 60);  // capped and clamped
  EXPECT_EQ(v.zoom, 64.0f);
  EXPECT_TRUE(v.zoom_held && v.panned);
  EXPECT_EQ(v.centre_y, 1 / 128.0f);
  EXPECT_EQ(v.centre_x, 1 - 1 / 128.0f);

  view_restore(&v, true, 8.0004, false, 0, false, 0, 60);  // the fit, give or take: not held
  EXPECT_FALSE(v.zoom_held);

  v.zoom = (float)kNaN;  // hand-filled garbage is repaired, not spread
  v.centre_x = (float)kNaN;
  v.centre_y_target = (float)kInf;
  view_tick(&v, 60, 0.3);
  ViewTransform t;
  view_transform(&v, {0, 0, 800, 400}, &t);
  EXPECT_TRUE(std::isfinite(t.scale_x) && std::isfinite(t.centre_x) && std::isfinite(t.centre_y));
}

TEST(View, StoreAndRestoreRoundTrip) {
  SketchMeta m{};
  m.hasViewZoomY = true;
  m.viewZoomY = 3;
  View v = fresh();
  settle(&v, 60, -1);
  view_zoom_by(&v, 3);
  view_scroll(&v, -50, 500);
  view_pan_y(&v, 40);
  settle(&v, 60, -1);
  EXPECT_TRUE(view_store_meta(&v, &m));
  EXPECT_FALSE(view_store_meta(&v, &m));  // unchanged view: nothing to save
  EXPECT_TRUE(m.hasViewPanX);
  EXPECT_EQ(m.viewZoomY, 3);  // not the view's to change

  View r;
  view_restore_meta(&r, &m, 60);
  EXPECT_EQ(r.zoom_target, v.zoom_target);
  EXPECT_EQ(r.centre_x_target, v.centre_x_target);
  EXPECT_EQ(r.centre_y_target, v.centre_y_target);
  EXPECT_TRUE(r.zoom_held && r.panned);
  EXPECT_FALSE(r.changed);

  view_back_to_camera(&v);  // handed back: reopening follows again
  EXPECT_TRUE(v.changed);
  settle(&v, 60, -1);
  EXPECT_TRUE(view_store_meta(&v, &m));
  EXPECT_FALSE(m.hasViewPanX);
  view_restore_meta(&r, &m, 60);
  EXPECT_FALSE(r.zoom_held || r.panned);
  EXPECT_EQ(r.zoom, 8.0f);
}

TEST(View, ConvertsBetweenScreenAndSketch) {
  View v = fresh();
  view_window(&v, 0.2, 0.3);
  ViewTransform t;
  view_transform(&v, {10, 20, 800, 400}, &t);
  EXPECT_EQ(t.scale_x, t.scale_y);
  EXPECT_NEAR(view_fraction_at(&t, 0), 0.2, 1e-6);
  EXPECT_NEAR(view_fraction_at(&t, 1), 0.3, 1e-6);
  EXPECT_NEAR(view_screen_x(&t, 0.27), 0.7, 1e-5);
  EXPECT_NEAR(view_fraction_at(&t, view_screen_x(&t, 0.27)), 0.27, 1e-6);
  EXPECT_NEAR(view_time_at(&t, 0.5, 60, 100), 15, 1e-4);
  EXPECT_EQ(view_time_at(&t, 1, 60, 16), 16);  // never past the tape's end
  EXPECT_NEAR(view_screen_x_of_time(&t, 15, 60), 0.5, 1e-5);
  EXPECT_EQ(view_fraction_at(&t, kNaN), 0);
  EXPECT_EQ(view_fraction_y_at(&t, kNaN), 0.5);
  EXPECT_EQ(view_fraction_at(&t, -100), 0);
  EXPECT_EQ(t.rect.w, 800);
}

}  // namespace
