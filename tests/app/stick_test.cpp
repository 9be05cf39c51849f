// The XY stick: pointer sequences against the "xy" actions they append (y up positive, clamped
// to -1..1, the release storing with value 1), and where the large pad goes.
#include <gtest/gtest.h>

#include <vector>

#include "app/shell_stick.h"

namespace {

// A 40 pt pad at (100, 300): its middle is (120, 320).
StickFrame base_frame(float x = 0, float y = 0) {
  StickFrame f{};
  f.rect = DrawRect{100, 300, 40, 40};
  f.window_w = 800;
  f.window_h = 600;
  f.x = x;
  f.y = y;
  f.accent = DrawColour{0.3f, 0.65f, 0.85f, 1};
  f.now = 10;
  return f;
}

// Points per unit of position, measured from the knob itself.
float travel(const StickFrame& f) {
  return stick_knob_at(&f, 1, 0).x - stick_knob_at(&f, 0, 0).x;
}

enum Ev { PRESS, MOVE, RELEASE };

struct Event {
  Ev ev;
  int button;
  float dx, dy;  // in units of travel from the pad's middle, y down as on screen
  bool taken = true;
};

struct Want {
  int kind, value;
  float x, y;
};

struct Case {
  const char* name;
  float x, y;  // the session's position
  std::vector<Event> events;
  std::vector<Want> want;
  bool still_held = false;
};

// clang-format off
const Case kCases[] = {
    {"a press off the knob jumps there; up is positive", 0, 0,
     {{PRESS, 1, 0, -0.8f}, {MOVE, 0, -0.5f, -0.8f}, {RELEASE, 1, -0.5f, -0.8f}},
     {{ACT_XY, 0, 0, 0.8f}, {ACT_XY, 0, -0.5f, 0.8f}, {ACT_XY, 1, -0.5f, 0.8f}}},
    {"drags clamp to -1..1 and the release stores", 0, 0,
     {{PRESS, 1, 0.7f, 0.7f}, {MOVE, 0, 3, 5}, {MOVE, 0, 4, 6}, {MOVE, 0, -9, -9}, {RELEASE, 1, -9, -9}},
     {{ACT_XY, 0, 0.7f, -0.7f}, {ACT_XY, 0, 1, -1}, {ACT_XY, 0, -1, 1}, {ACT_XY, 1, -1, 1}}},
    {"a press on the knob keeps its offset: no jump", 0.5f, -0.5f,
     {{PRESS, 1, 0.6f, 0.5f}, {MOVE, 0, 0.9f, 0.5f}, {MOVE, 0, 0.9f, 0.3f}, {RELEASE, 1, 0.9f, 0.3f}},
     {{ACT_XY, 0, 0.8f, -0.5f}, {ACT_XY, 0, 0.8f, -0.3f}, {ACT_XY, 1, 0.8f, -0.3f}}},
    {"a click on the knob stores where it is and sends it home", 0.2f, 0.2f,
     {{PRESS, 1, 0.2f, -0.2f}, {MOVE, 0, 0.25f, -0.2f}, {RELEASE, 1, 0.25f, -0.2f}},
     {{ACT_XY, 0, 0.25f, 0.2f}, {ACT_XY, 1, 0.25f, 0.2f}, {ACT_XY_CENTRE, 0, 0, 0}}},
    {"other buttons and presses outside are not taken", 0, 0,
     {{PRESS, 3, 0, 0, false}, {PRESS, 2, 0, 0, false}, {PRESS, 1, 3, 0, false}}, {}},
    {"the release of another button leaves the drag held", 0, 0,
     {{PRESS, 1, 0.9f, 0}, {RELEASE, 3, 0.9f, 0}}, {{ACT_XY, 0, 0.9f, 0}}, true},
};
// clang-format on

TEST(Stick, PointerSequencesAppendXy) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const StickFrame f = base_frame(c.x, c.y);
    const float t = travel(f);
    ASSERT_GT(t, 5.0f);
    StickState st;
    stick_reset(&st);
    ActionList out{};
    for (const Event& e : c.events) {
      const float px = 120 + e.dx * t, py = 320 + e.dy * t;
      switch (e.ev) {
        case PRESS:
          EXPECT_EQ(stick_press(&st, &f, e.button, px, py, &out), e.taken);
          break;
        case MOVE:
          stick_move(&st, &f, px, py, &out);
          break;
        case RELEASE:
          stick_release(&st, &f, e.button, px, py, &out);
          break;
      }
    }
    EXPECT_EQ(stick_held(&st), c.still_held);
    ASSERT_EQ(out.count, (int)c.want.size());
    for (int i = 0; i < out.count; i++) {
      EXPECT_EQ(out.items[i].kind, c.want[i].kind) << i;
      EXPECT_EQ(out.items[i].value, c.want[i].value) << i;
      EXPECT_NEAR(out.items[i].x, c.want[i].x, 1e-4) << i;
      EXPECT_NEAR(out.items[i].y, c.want[i].y, 1e-4) << i;
    }
  }
}

TEST(Stick, LargePadShowsWhileHeldOrNudgedAndStaysInTheWindow) {
  StickFrame f = base_frame();
  StickState st;
  stick_reset(&st);
  EXPECT_FALSE(stick_pad_shown(&f, &st));
  f.pad_until = 10.5;
  EXPECT_TRUE(stick_pad_shown(&f, &st));
  f.now = 10.5;
  EXPECT_FALSE(stick_pad_shown(&f, &st));
  ActionList out{};
  ASSERT_TRUE(stick_press(&st, &f, 1, 120, 320, &out));
  EXPECT_TRUE(stick_pad_shown(&f, &st));

  const struct {
    DrawRect small;
    float ww, wh;
    DrawRect pad;
  } rows[] = {
      {{400, 500, 40, 40}, 800, 600, {330, 310, 180, 180}},  // centred above
      {{5, 50, 40, 40}, 800, 600, {8, 8, 180, 180}},         // pushed in at the top left
      {{770, 300, 30, 30}, 800, 600, {612, 110, 180, 180}},  // and at the right
      {{10, 100, 40, 40}, 190, 150, {8, 0, 150, 150}},       // a tight window shrinks it
  };
  for (const auto& r : rows) {
    f.rect = r.small;
    f.window_w = r.ww;
    f.window_h = r.wh;
    const DrawRect got = stick_pad_rect(&f);
    EXPECT_FLOAT_EQ(got.x, r.pad.x);
    EXPECT_FLOAT_EQ(got.y, r.pad.y);
    EXPECT_FLOAT_EQ(got.w, r.pad.w);
    EXPECT_FLOAT_EQ(got.h, r.pad.h);
  }
}

}  // namespace
