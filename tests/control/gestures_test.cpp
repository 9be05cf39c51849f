#include "control/gestures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

struct Got {
  int32_t kind, value;
  float x, y;
};

// A canvas at (100, 50), 840 x 400 with 20 px margins: 800 px of sketch, its middle at x 520.
// Loop handles at x 320 (in, 0.25) and 720 (out, 0.75), y 50 + 0.66 * 400 = 314; span 10 s.
class Gestures : public ::testing::Test {
 protected:
  GestureFrame f{100, 50, 840, 400, 20, 1, 1, 0.5f, 0.5f, true, 0.25f, 0.75f, 10.0, false};
  CanvasGesture g{};
  ActionList list{};

  std::vector<Got> take() {
    std::vector<Got> v;
    for (int i = 0; i < list.count; i++)
      v.push_back({list.items[i].kind, list.items[i].value, list.items[i].x, list.items[i].y});
    list.count = 0;
    return v;
  }
  std::vector<Got> press(int b, float x, float y, double t = 0) {
    EXPECT_TRUE(gesture_press(&g, &f, b, x, y, t, &list));
    return take();
  }
  std::vector<Got> move(float x, float y, double t) {
    gesture_move(&g, &f, x, y, t, &list);
    return take();
  }
  std::vector<Got> release(int b, float x, float y, double t) {
    gesture_release(&g, &f, b, x, y, t, &list);
    return take();
  }
};

void expect(const std::vector<Got>& got, const std::vector<Got>& want, const char* what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < got.size(); i++) {
    EXPECT_EQ(got[i].kind, want[i].kind) << what << " #" << i;
    EXPECT_EQ(got[i].value, want[i].value) << what << " #" << i;
    EXPECT_NEAR(got[i].x, want[i].x, 1e-4) << what << " #" << i;
    EXPECT_NEAR(got[i].y, want[i].y, 1e-4) << what << " #" << i;
  }
}

}  // namespace

TEST_F(Gestures, FractionsUnderAPoint) {
  const struct {
    float x, y, zoom, centre_x, fx, fy;
  } cases[] = {
      {520, 250, 1, 0.5f, 0.5f, 0.5f},    {20, -100, 1, 0.5f, 0.0f, 0.0f},  // clamped
      {920, 450, 1, 0.5f, 1.0f, 1.0f},    {720, 250, 2, 0.5f, 0.625f, 0.5f},
      {520, 250, 4, 0.2f, 0.2f, 0.5f},    {NAN, NAN, 1, 0.5f, 0.0f, 0.5f},
      {INFINITY, -INFINITY, 1, 0.5f, 0.0f, 0.5f},
  };
  for (const auto& c : cases) {
    f.zoom = c.zoom;
    f.centre_x = c.centre_x;
    float fx = -1, fy = -1;
    gesture_fractions(&f, c.x, c.y, &fx, &fy);
    EXPECT_FLOAT_EQ(fx, c.fx) << c.x << " zoom " << c.zoom;
    EXPECT_FLOAT_EQ(fy, c.fy) << c.y;
    if (c.fx > 0 && c.fx < 1) {
      EXPECT_NEAR(gesture_screen_x(&f, fx), c.x, 1e-3);  // the inverse
    }
  }
}

TEST_F(Gestures, SmallSidewaysMovesStayATap) {
  const float moves[][2] = {{0, 0}, {3, 0}, {-4, 0}, {4, 60}};  // only sideways counts
  for (const auto& m : moves) {
    EXPECT_TRUE(press(1, 520, 150).empty());
    EXPECT_TRUE(move(520 + m[0], 150 + m[1], 0.1).empty());
    float fx, fy;
    gesture_fractions(&f, 520 + m[0], 150 + m[1], &fx, &fy);
    expect(release(1, 520 + m[0], 150 + m[1], 0.2), {{ACT_TAP, 0, fx, fy}}, "tap");
    EXPECT_FALSE(gesture_active(&g));
  }
}

TEST_F(Gestures, ScrubBeginsPast4PxAndThinsItsMoves) {
  press(1, 520, 150, 0.0);
  expect(move(525, 150, 0.010), {{ACT_SCRUB_BEGIN, 0, 405 / 800.0f, 0.25f}}, "begin");
  expect(move(530, 150, 0.011), {{ACT_SCRUB_MOVE, 0, 410 / 800.0f, 0.25f}}, "first move");
  EXPECT_TRUE(move(540, 150, 0.020).empty());  // 9 ms on: held back
  EXPECT_TRUE(move(560, 250, 0.026).empty());
  expect(move(580, 250, 0.028), {{ACT_SCRUB_MOVE, 0, 460 / 800.0f, 0.5f}}, "17 ms on");
  EXPECT_TRUE(move(600, 350, 0.030).empty());
  // The release sends the held-back position, not its own.
  expect(release(1, 900, 400, 0.031),
         {{ACT_SCRUB_MOVE, 0, 480 / 800.0f, 0.75f}, {ACT_SCRUB_END, 0, 0, 0}}, "release");

  press(1, 520, 150, 1.0);
  move(530, 150, 1.01);
  move(540, 150, 1.02);
  take();
  expect(release(1, 540, 150, 1.5), {{ACT_SCRUB_END, 0, 0, 0}}, "nothing unsent");

  f.recording = true;  // no scrub over a take being written, and no tap either
  press(1, 520, 150, 2.0);
  EXPECT_TRUE(move(560, 150, 2.1).empty());
  EXPECT_TRUE(move(600, 150, 2.2).empty());
  EXPECT_TRUE(release(1, 600, 150, 2.3).empty());
}

TEST_F(Gestures, LoopHandleDrag) {
  const struct {
    const char* what;
    float in, out, px, py;
    int32_t handle;  // 0: an ordinary press
  } presses[] = {
      {"near out", 0.25f, 0.75f, 730, 320, 2},      {"near in", 0.25f, 0.75f, 305, 300, 1},
      {"at the reach", 0.25f, 0.75f, 702, 332, 2},  {"too high", 0.25f, 0.75f, 720, 295, 0},
      {"too far", 0.25f, 0.75f, 739, 314, 0},       {"both: out first", 0.5f, 0.51f, 518, 314, 2},
  };
  for (const auto& p : presses) {
    f.loop_in = p.in;
    f.loop_out = p.out;
    press(1, p.px, p.py);
    EXPECT_EQ(g.mode, p.handle ? GESTURE_HANDLE : GESTURE_PENDING) << p.what;
    EXPECT_EQ(p.handle ? g.handle : 0, p.handle) << p.what;
    release(1, p.px, p.py, 1);
  }
  f.loop_in = 0.25f;
  f.loop_out = 0.75f;
  f.loop_set = false;
  press(1, 720, 314);
  EXPECT_EQ(g.mode, GESTURE_PENDING);
  release(1, 720, 314, 0);

  f.loop_set = true;
  f.zoom = 2;  // handles where the zoomed view draws them; 80 px is 0.05 of the span
  ASSERT_FLOAT_EQ(gesture_screen_x(&f, f.loop_out), 920);
  press(1, 910, 314);
  expect(move(990, 314, 0.1), {{ACT_LOOP_HANDLE_DRAG, 2, 8.0f, 0}}, "drag out");
  EXPECT_TRUE(move(990, 330, 0.2).empty());  // same position: nothing
  expect(move(3000, 314, 0.3), {{ACT_LOOP_HANDLE_DRAG, 2, 10.0f, 0}}, "clamped");
  EXPECT_TRUE(move(4000, 314, 0.4).empty());
  EXPECT_TRUE(release(1, 4000, 314, 0.5).empty());

  f.zoom = 0.5f;  // below 1 the drag is not magnified
  press(1, gesture_screen_x(&f, f.loop_in), 314);
  expect(move(gesture_screen_x(&f, f.loop_in) - 80, 314, 0.1), {{ACT_LOOP_HANDLE_DRAG, 1, 1.5f, 0}},
         "drag in");
}

TEST_F(Gestures, MiddleDragScrollsAndPans) {
  press(2, 500, 200);
  expect(move(510, 200, 0.1), {{ACT_SCROLL, 0, 10, 800}}, "sideways");
  expect(move(507, 190, 0.2), {{ACT_SCROLL, 0, -3, 800}, {ACT_PAN, 0, -10, 0}}, "both");
  EXPECT_TRUE(move(507, 190, 0.3).empty());
  EXPECT_TRUE(release(1, 507, 190, 0.5).empty());  // not its button
  EXPECT_TRUE(gesture_active(&g));
  release(2, 507, 190, 0.5);
  EXPECT_FALSE(gesture_active(&g));

  f.width = 30;  // narrower than its margins: the width still divides safely
  press(2, 100, 100);
  expect(move(101, 100, 0.1), {{ACT_SCROLL, 0, 1, 1}}, "narrow");
}

TEST_F(Gestures, OtherButtonsLostReleasesAndCancel) {
  press(1, 520, 150, 0.0);
  EXPECT_FALSE(gesture_press(&g, &f, 2, 300, 150, 0.01, &list));  // ignored mid-gesture
  EXPECT_FALSE(gesture_press(&g, &f, 3, 300, 150, 0.01, &list));
  move(530, 150, 0.02);  // begin
  move(540, 150, 0.03);  // first move
  move(545, 150, 0.04);  // held back
  take();
  // The release never came: a new left press first closes the scrub.
  expect(press(1, 600, 150, 1.0), {{ACT_SCRUB_MOVE, 0, 425 / 800.0f, 0.25f}, {ACT_SCRUB_END, 0, 0, 0}},
         "re-press");
  EXPECT_EQ(g.mode, GESTURE_PENDING);
  EXPECT_EQ(release(1, 600, 150, 1.1).size(), 1u);

  // A lost capture drops a pending press without a tap and closes a scrub.
  press(1, 520, 150, 0.0);
  gesture_cancel(&g, &f, 0.1, &list);
  EXPECT_TRUE(take().empty());
  press(1, 520, 150, 0.0);
  move(530, 150, 0.01);
  take();
  gesture_cancel(&g, &f, 0.1, &list);
  expect(take(), {{ACT_SCRUB_END, 0, 0, 0}}, "cancelled scrub");
  EXPECT_FALSE(gesture_active(&g));
}

TEST_F(Gestures, Wheel) {
  const struct {
    const char* what;
    float wx, wy;
    uint32_t mods;
    std::vector<Got> want;
  } cases[] = {
      {"ctrl zooms by y", 0.5f, -0.25f, KEYMOD_CTRL, {{ACT_ZOOM, 0, -0.25f, 0}}},
      {"ctrl, sideways only", 2, 0, KEYMOD_CTRL, {}},
      {"ctrl+shift is ctrl", 0, 2, KEYMOD_CTRL | KEYMOD_SHIFT, {{ACT_ZOOM, 0, 2, 0}}},
      {"shift turns y sideways", 1, 3, KEYMOD_SHIFT, {{ACT_SCROLL, 0, 80, 800}}},
      {"shift cancelling", 1, 1, KEYMOD_SHIFT, {}},
      {"plain down", 0, -1, 0, {{ACT_PAN, 0, -40, 0}}},
      {"plain both", -1.5f, 1, KEYMOD_ALT, {{ACT_SCROLL, 0, 60, 800}, {ACT_PAN, 0, 40, 0}}},
  };
  for (const auto& c : cases) {
    gesture_wheel(&f, c.wx, c.wy, c.mods, &list);
    expect(take(), c.want, c.what);
  }
}
