// The console overlay: its drop, how many lines fit, the newest lines shown from the log's real
// ring, lines cut to the width, and a press above closing it.
#include "app/console.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "base/log.h"
#include "support/fontconfig_leaks.h"
#include "support/soft_canvas.h"
#include "ui/text.h"

namespace {

TEST(Console, TheSheetDropsAndHoldsTheLinesThatFit) {
  struct Case {
    float window_h, open, line_h;
    float height, top;
    int32_t rows;
  } cases[] = {
      {480, 1.0f, 12, 320, 0, 21},                                  // (320 - 38) / 13
      {480, 0.5f, 12, 320, -40, 21},                                // the top eases in as (1 - a)^3
      {480, 0.0f, 12, 320, -320, 21}, {481, 1.0f, 12, 321, 0, 21},  // 320.67 rounds up
      {8000, 1.0f, 12, 5333, 0, 256},                               // never more than the ring
      {40, 1.0f, 12, 27, 0, 0},                                     // no room at all
  };
  for (const Case& c : cases) {
    ConsoleGeometry g;
    console_geometry(c.window_h, c.open, c.line_h, &g);
    EXPECT_FLOAT_EQ(g.height, c.height) << c.window_h;
    EXPECT_FLOAT_EQ(g.top, c.top) << c.window_h << " at " << c.open;
    EXPECT_EQ(g.rows, c.rows) << c.window_h;
  }
}

TEST(Console, TheNewestLinesShowAndTheCountSaysHowMany) {
  struct Case {
    int64_t count;
    int32_t rows;
    int64_t first;
  } cases[] = {{300, 40, 260}, {10, 40, 0}, {40, 40, 0}, {0, 40, 0}, {300, 0, 300}};
  for (const Case& c : cases) EXPECT_EQ(console_first_line(c.count, c.rows), c.first) << c.count;
  char text[64];
  console_count_text(300, text, sizeof text);
  EXPECT_STREQ(text, "300 LINES - ALT+` TO CLOSE");
}

TEST(Console, APressAboveTwoThirdsClosesIt) {
  struct Case {
    bool open;
    float y;
    bool consumed, open_after;
  } cases[] = {{true, 10, true, false},
               {true, 319, true, false},
               {true, 320, false, true},
               {false, 10, false, false}};
  for (const Case& c : cases) {
    bool open = c.open;
    EXPECT_EQ(console_pointer(&open, c.y, 480), c.consumed) << c.y;
    EXPECT_EQ(open, c.open_after) << c.y;
  }
}

// Any pixel in the row band [y, y + h) that is brighter than the sheet.
bool inked(SoftCanvas& cv, int y, int h, int w) {
  for (int yy = y; yy < y + h; yy++)
    for (int x = 12; x < w - 12; x++)
      if ((cv.pixel(x, yy) & 0xFF) > 0x60) return true;
  return false;
}

TEST(Console, DrawsTheRingsNewestLinesCutToTheWidth) {
  SoftCanvas cv(720, 480);
  ASSERT_EQ(text_init(cv.renderer), 0);
  text_set_pixel_scale(1.0f);
  for (int i = 0; i < 300; i++)
    log_line("console test line %d %s", i, std::string(200, 'W').c_str());
  ASSERT_GE(log_console_count(), 300);

  char cut[CONSOLE_LINE_BYTES];
  console_cut("\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9", 30.0f, cut, sizeof cut);
  EXPECT_LE(text_measure(CONSOLE_LINE_STYLE, cut), 30.0f);
  EXPECT_GT(strlen(cut), 0u);
  EXPECT_EQ(strlen(cut) % 2, 0u);  // whole characters only

  console_draw(cv.p, 720, 480, 0.004f);
  EXPECT_EQ(cv.pixel(360, 5) & 0xFFFFFF, 0u);  // not yet open: nothing

  console_draw(cv.p, 720, 480, 1.0f);
  ConsoleGeometry g;
  console_geometry(480, 1.0f, text_line_height(CONSOLE_LINE_STYLE), &g);
  ASSERT_GT(g.rows, 2);
  const int last = (int)(g.top + CONSOLE_LINES_TOP + (float)(g.rows - 1) * g.pitch);
  const int after = (int)(g.top + CONSOLE_LINES_TOP + (float)g.rows * g.pitch);
  EXPECT_TRUE(inked(cv, last, (int)g.pitch - 1, 720));
  EXPECT_FALSE(inked(cv, after, (int)(g.height - CONSOLE_FOOT) - after, 720));
  EXPECT_EQ(cv.pixel(360, (int)g.height + 4) & 0xFFFFFF, 0u);  // below the sheet
  text_free();
}

}  // namespace
