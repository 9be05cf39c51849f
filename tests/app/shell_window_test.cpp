// Window geometry: the scale for a DPI, the default size and the check of a saved placement.
#include <gtest/gtest.h>

#include "app/shell.h"

namespace {

TEST(ShellWindow, ScaleAndDefaultSize) {
  struct Case {
    float dpi;
    ShellRect display;
    float scale;
    int w, h;
  } cases[] = {
      {96, {0, 0, 1920, 1080}, 1.0f, 1120, 720},
      {144, {0, 0, 2400, 1600}, 1.5f, 1680, 1080},
      {144, {0, 0, 1600, 1000}, 1.5f, 1440, 900},  // 9/10 of the display
      {47, {0, 0, 1920, 1080}, 1.0f, 1120, 720},   // below 48: unknown
      {0, {0, 0, 1000, 700}, 1.0f, 900, 630},
      {192, {0, 0, 3840, 2160}, 2.0f, 2240, 1440},
  };
  for (const Case& c : cases) {
    const float scale = shell_scale_for_dpi(c.dpi);
    EXPECT_FLOAT_EQ(scale, c.scale) << c.dpi;
    ShellRect r = shell_default_size(scale, c.display);
    EXPECT_EQ(r.w, c.w) << c.dpi << " on " << c.display.w;
    EXPECT_EQ(r.h, c.h) << c.dpi << " on " << c.display.w;
  }
}

TEST(ShellWindow, ASavedPlacementIsUsedOnlyWhereADisplayHoldsIt) {
  const ShellRect two[] = {{0, 0, 1920, 1080}, {1920, -200, 1280, 1024}};
  const ShellRect primary = two[0];
  struct Case {
    int x, y, w, h;
    bool kept;
  } cases[] = {
      {100, 100, 900, 600, true},
      {2000, 0, 900, 600, true},      // on the second display
      {5000, 4000, 900, 600, false},  // its display is gone
      {-850, 100, 900, 600, false},   // only 50 pixels on screen
      {-790, 100, 900, 600, true},    // 110 pixels on screen
      {100, 1000, 900, 600, false},   // the title strip below the reach
      {100, -15, 900, 600, false},    // above the top
      {100, 100, 0, 600, false},      // never saved
      {100, 100, 20000, 600, false},  // out of range
  };
  for (const Case& c : cases) {
    ShellPlacement p = shell_placement(c.x, c.y, c.w, c.h, two, 2, 1.0f, primary);
    EXPECT_EQ(!p.centred, c.kept) << c.x << "," << c.y << " " << c.w << "x" << c.h;
    if (c.kept) {
      EXPECT_EQ(p.rect.x, c.x);
      EXPECT_EQ(p.rect.w, c.w);
    } else {
      EXPECT_EQ(p.rect.w, 1120);
      EXPECT_EQ(p.rect.h, 720);
    }
  }
  // No displays listed at all: centred at the default size.
  EXPECT_TRUE(shell_placement(100, 100, 900, 600, nullptr, 0, 1.0f, primary).centred);
}

}  // namespace
