// Key hints: which control's caps show in which layout, the first match winning where controls
// overlap, the rest before the cap shows, and where the cap stands against the window's edges.
#include "app/key_hints.h"

#include <gtest/gtest.h>

#include <string>

namespace {

KeyHintScene scene(bool library, bool full) {
  KeyHintScene s{};
  s.library_tab = library;
  s.full_layout = full;
  s.sketch_named = true;
  s.rig_panel = true;
  for (int32_t c = 0; c < HINT_CONTROLS; c++) {
    s.showing[c] = true;
    s.rect[c] = DrawRect{(float)c * 40.0f, 200.0f, 30.0f, 30.0f};
  }
  return s;
}

std::string caps(const KeyHintScene& s, int32_t c) {
  const char* t = key_hint_caps(&s, c);
  return t ? t : "-";
}

TEST(KeyHints, EachLayoutHintsItsOwnControls) {
  struct Case {
    bool library, full;
    int32_t control;
    const char* want;
  } cases[] = {
      {false, true, HINT_LIBRARY_DOOR, "B"},
      {false, true, HINT_SKETCH_NAME, "F2"},
      {true, true, HINT_SKETCH_NAME, "-"},
      {false, true, HINT_MENU, "\u21B5"},
      {true, false, HINT_MENU, "Ctrl\t,"},
      {true, true, HINT_NEW, "Ctrl\tN"},
      {true, true, HINT_LIBRARY_NEW, "Ctrl\tN"},
      {false, true, HINT_REWIND, "W"},
      {false, true, HINT_PLAY, "\u2423"},
      {false, true, HINT_MONITOR, "M"},
      {false, false, HINT_MONITOR, "-"},
      {false, false, HINT_REWIND, "-"},
      {false, true, HINT_ZEN_PLAY, "-"},
      {false, false, HINT_ZEN_PLAY, "\u2423"},
      {false, false, HINT_ZEN_RECORD, "R"},
      {false, false, HINT_XY, "\u2190\t\u2191\t\u2193\t\u2192\tX"},
      {true, true, HINT_PLAY, "-"},
      {true, false, HINT_XY, "-"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(caps(scene(c.library, c.full), c.control), c.want)
        << c.control << (c.library ? " library" : " canvas") << (c.full ? " full" : " zen");
  KeyHintScene s = scene(false, true);
  s.sketch_named = false;
  s.rig_panel = false;
  EXPECT_EQ(caps(s, HINT_SKETCH_NAME), "-");
  EXPECT_EQ(caps(s, HINT_RIG), "-");
}

TEST(KeyHints, TheFirstShowingControlUnderThePointerWins) {
  KeyHintScene s = scene(false, true);
  s.rect[HINT_PLAY] = s.rect[HINT_RECORD] = DrawRect{500, 400, 40, 40};
  EXPECT_EQ(key_hint_find(&s, 510, 410), HINT_PLAY);
  s.showing[HINT_PLAY] = false;
  EXPECT_EQ(key_hint_find(&s, 510, 410), HINT_RECORD);
  s.full_layout = false;  // the full transport is gone in zen
  EXPECT_EQ(key_hint_find(&s, 510, 410), HINT_NONE);
  EXPECT_EQ(key_hint_find(&s, 5, 5), HINT_NONE);
}

TEST(KeyHints, TheCapWaitsForRestAndRevealsInSteps) {
  KeyHint h;
  key_hint_init(&h);
  key_hint_update(&h, HINT_PLAY, "\u2423", 10.0);
  key_hint_update(&h, HINT_PLAY, "\u2423", 10.375);
  EXPECT_FALSE(key_hint_visible(&h, 10.375));
  key_hint_update(&h, HINT_RECORD, "R", 10.375);  // another control: the wait starts over
  EXPECT_FALSE(key_hint_visible(&h, 10.625));
  EXPECT_TRUE(key_hint_visible(&h, 10.785));
  EXPECT_EQ(key_hint_reveal_step(&h, 10.785, false), 1);
  EXPECT_EQ(key_hint_reveal_step(&h, 10.775 + 5.3 / 60.0, false), 6);
  EXPECT_EQ(key_hint_reveal_step(&h, 12.0, false), KEY_HINT_STEPS);
  EXPECT_EQ(key_hint_reveal_step(&h, 10.785, true), KEY_HINT_STEPS);
  EXPECT_EQ(key_hint_reveal_step(&h, 10.5, true), 0);
  key_hint_update(&h, HINT_NONE, nullptr, 13.0);
  EXPECT_FALSE(key_hint_visible(&h, 20.0));
}

TEST(KeyHints, TheCapStandsBesideItsControlInsideTheWindow) {
  constexpr float W = 720, H = 480, w = 40;
  struct Case {
    DrawRect control;
    bool top_bar;
    float x, y;
  } cases[] = {
      {{300, 10, 40, 24}, true, 300, 39},           // under a top-bar button
      {{300, 400, 40, 40}, false, 300, 377},        // above anything else
      {{0, 10, 10, 24}, true, 6, 39},               // left edge
      {{700, 300, 20, 20}, false, W - 6 - w, 277},  // right edge
      {{300, 2, 40, 10}, false, 300, 6},            // no room above: kept 6 inside
      {{300, 470, 40, 10}, true, 300, H - 6 - 18},  // no room below
  };
  for (const Case& c : cases) {
    const DrawRect r = key_hint_place(c.control, w, c.top_bar, W, H);
    EXPECT_FLOAT_EQ(r.x, c.x) << c.control.x << "," << c.control.y;
    EXPECT_FLOAT_EQ(r.y, c.y) << c.control.x << "," << c.control.y;
    EXPECT_FLOAT_EQ(r.h, KEY_HINT_H);
  }
}

}  // namespace
