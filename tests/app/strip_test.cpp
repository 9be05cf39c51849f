// The strip under the canvas: pointer sequences against the actions they append, and real pixels
// through the software renderer for where the lanes, the box, the flags and the cursor land.
#include <SDL2/SDL.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/shell_strip.h"
#include "store/meta.h"
#include "support/soft_canvas.h"

namespace {

// Strip 400 pt wide from x = 10: fraction f sits at x = 10 + 400 f. 40 s across, so a fraction
// of 0.1 is 4 s. Loop 8..20 s puts the flags at x = 90 and 210; zoom 4 around 0.75 puts the box
// at 0.625..0.875, x = 260..360.
StripFrame base_frame() {
  StripFrame f{};
  f.rect = DrawRect{10, 100, 400, 30};
  f.span = 40;
  f.tape_seconds = 30;
  f.rate = 48000;
  f.loop = LoopRegion{8, 20, true};
  f.zoom = 4;
  f.centre_x = 0.75f;
  f.cursor_seconds = 4;
  f.accent = DrawColour{0, 0, 1, 1};
  return f;
}

struct Want {
  int kind, value;
  float x, y;
};

struct Case {
  const char* name;
  void (*setup)(StripFrame*);
  // "P1:50" presses button 1 at x = 50 (lower case: the strip must not take it), "M:70" moves,
  // "R1:70" releases; "@99" gives a y other than the strip's middle (115).
  const char* events;
  std::vector<Want> want;
};

void loop_off(StripFrame* f) {
  f->loop.on = false;
}
void out_on_box(StripFrame* f) {
  f->loop.out = 25;
}  // the out flag on the box's left end

const float B = 1.0f / 64.0f;

// clang-format off
const Case kCases[] = {
    {"scrub: value 1 on the press, 0 on moves that change it", nullptr,
     "P1:50 M:70 M:70 M:500 R1:500 M:60",
     {{ACT_STRIP_SCRUB, 1, 0.1f, 0}, {ACT_STRIP_SCRUB, 0, 0.15f, 0}, {ACT_STRIP_SCRUB, 0, 1, 0}}},
    {"in flag grabbed 3 pt off: seconds, clamped at 0", nullptr, "P1:93 M:133 M:133 M:-50 R1:-50",
     {{ACT_STRIP_FLAG, 1, 12, 0}, {ACT_STRIP_FLAG, 1, 0, 0}}},
    {"out flag", nullptr, "P1:207 M:247 R1:247", {{ACT_STRIP_FLAG, 2, 24, 0}}},
    {"a flag pressed and not moved appends nothing", nullptr, "P1:90 M:90 R1:90", {}},
    {"box start: the end stays, 1/64 at least", nullptr, "P1:262 M:202 M:400 R1:400",
     {{ACT_VIEW_WINDOW, 0, 0.475f, 0.875f}, {ACT_VIEW_WINDOW, 0, 0.875f - B, 0.875f}}},
    {"box end: clamped at 1 and at start + 1/64", nullptr, "P1:358 M:398 M:420 M:0 R1:0",
     {{ACT_VIEW_WINDOW, 0, 0.625f, 0.975f}, {ACT_VIEW_WINDOW, 0, 0.625f, 1},
      {ACT_VIEW_WINDOW, 0, 0.625f, 0.625f + B}}},
    {"middle carries the box inside 0..1", nullptr, "P2:300 M:340 M:400 M:410 M:-200 R2:-200",
     {{ACT_VIEW_WINDOW, 0, 0.725f, 0.975f}, {ACT_VIEW_WINDOW, 0, 0.75f, 1},
      {ACT_VIEW_WINDOW, 0, 0, 0.25f}}},
    {"not taken: middle off the box, right, off the strip", nullptr,
     "p2:100 p3:100 p1:100@99 p1:411", {}},
    {"box end within 5 pt, scrub at 6", nullptr, "P1:265 M:275 R1:275 P1:266",
     {{ACT_VIEW_WINDOW, 0, 0.65f, 0.875f}, {ACT_STRIP_SCRUB, 1, 0.64f, 0}}},
    {"a flag on a box end wins", out_on_box, "P1:261 M:271 R1:271", {{ACT_STRIP_FLAG, 2, 26, 0}}},
    {"loop off: the flags wait at the tape's ends", loop_off, "P1:311 M:271 R1:271 P1:12 M:50",
     {{ACT_STRIP_FLAG, 2, 26, 0}, {ACT_STRIP_FLAG, 1, 3.8f, 0}}},
    {"another button while dragging is swallowed", nullptr,
     "P1:50 P2:300 M:70 R2:70 M:90 R1:90 M:100",
     {{ACT_STRIP_SCRUB, 1, 0.1f, 0}, {ACT_STRIP_SCRUB, 0, 0.15f, 0},
      {ACT_STRIP_SCRUB, 0, 0.2f, 0}}},
};
// clang-format on

TEST(Strip, PointerSequencesAppendTheirActions) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    StripFrame f = base_frame();
    if (c.setup) c.setup(&f);
    StripState st;
    strip_reset(&st);
    ActionList out{};
    for (const char* e = c.events; *e;) {
      char ev = *e++;
      int button = 0, n = 0;
      float x = 0, y = 115;
      if (ev != 'M') sscanf(e, "%d", &button), e++;
      sscanf(e, ":%f%n", &x, &n), e += n;
      if (*e == '@') sscanf(e, "@%f%n", &y, &n), e += n;
      while (*e == ' ') e++;
      if (ev == 'P' || ev == 'p')
        EXPECT_EQ(strip_press(&st, &f, button, x, y, &out), ev == 'P') << "press at " << x;
      else if (ev == 'M')
        strip_move(&st, &f, x, y, &out);
      else
        strip_release(&st, &f, button, x, y, &out);
    }
    ASSERT_EQ(out.count, (int)c.want.size());
    for (int i = 0; i < out.count; i++) {
      EXPECT_EQ(out.items[i].kind, c.want[i].kind) << i;
      EXPECT_EQ(out.items[i].value, c.want[i].value) << i;
      EXPECT_NEAR(out.items[i].x, c.want[i].x, 1e-4) << i;
      EXPECT_NEAR(out.items[i].y, c.want[i].y, 1e-4) << i;
    }
  }
}

// ---- pixels ----

// Each channel of the pixel at (x, y) within lo..hi; a thin line may light x - 1 instead.
struct Probe {
  const char* what;
  int x, y;
  int lo[3], hi[3];
  bool thin = false;
};

void check(SoftCanvas& c, const Probe& pr) {
  std::string seen;
  for (int x = pr.thin ? pr.x - 1 : pr.x; x <= pr.x; x++) {
    const uint32_t v = c.pixel(x, pr.y);
    const int rgb[3] = {(int)(v >> 16 & 255), (int)(v >> 8 & 255), (int)(v & 255)};
    bool ok = true;
    for (int k = 0; k < 3; k++) ok = ok && rgb[k] >= pr.lo[k] && rgb[k] <= pr.hi[k];
    if (ok) return;
    seen +=
        " " + std::to_string(rgb[0]) + "," + std::to_string(rgb[1]) + "," + std::to_string(rgb[2]);
  }
  ADD_FAILURE() << pr.what << " at " << pr.x << "," << pr.y << ":" << seen;
}

Layer* take(double start_s, double len_s, bool coloured, MetaRgb rgb) {
  LayerTemplate t{};
  t.startSample = (int64_t)(start_s * 48000);
  t.lengthSamples = (int64_t)(len_s * 48000);
  t.sampleRate = 48000;
  t.hasExplicitColor = coloured;
  t.explicitColor = rgb;
  return layer_new(&t, 4);
}

// The strip at (10, 10, 400, 40) on black: lane 1 at y 12..30, lane 0 at y 30..48.
struct Drawn {
  SketchMeta m{};
  SoftCanvas c{420, 60};
  StripFrame f = base_frame();
  Drawn() {
    meta_new(&m, 48000);
    SDL_SetRenderDrawColor(c.renderer, 0, 0, 0, 255);
    SDL_RenderClear(c.renderer);
    f.rect = DrawRect{10, 10, 400, 40};
    f.meta = &m;
  }
  ~Drawn() { meta_free(&m); }
  void draw() {
    StripState st;
    strip_reset(&st);
    strip_draw(c.p, &f, &st);
  }
};

TEST(Strip, LanesBoxFlagsAndCursorLandWhereTheyShould) {
  Drawn d;
  ASSERT_NE(d.c.p, nullptr);
  // 0..10 s red on lane 0; 5..15 s green overlaps it, lane 1 above; 20..30 s in the accent.
  ASSERT_EQ(meta_add_layer(&d.m, take(0, 10, true, MetaRgb{1, 0, 0})), 0);
  ASSERT_EQ(meta_add_layer(&d.m, take(5, 10, true, MetaRgb{0, 1, 0})), 0);
  ASSERT_EQ(meta_add_layer(&d.m, take(20, 10, false, MetaRgb{})), 0);
  d.f.zoom = 2;
  d.f.centre_x = 0.75f;       // box x 210..410; flags at 90 and 210
  d.f.cursor_seconds = 17.5;  // x 185
  d.draw();
  // clang-format off
  const Probe probes[] = {
      {"first take, lower lane", 40, 40, {200, 0, 0}, {255, 60, 60}},
      {"first take is not on the upper lane", 40, 20, {0, 0, 0}, {60, 60, 60}},
      {"second take, upper lane", 130, 20, {0, 200, 0}, {60, 255, 60}},
      {"under the overlap: first take below", 70, 40, {200, 0, 0}, {255, 60, 60}},
      {"past the first take, lower lane empty", 130, 40, {0, 0, 0}, {60, 60, 60}},
      {"third take in the accent", 260, 40, {0, 0, 200}, {80, 80, 255}},
      {"box's left edge", 210, 20, {180, 180, 180}, {255, 255, 255}, true},
      {"box's right edge", 409, 20, {180, 180, 180}, {255, 255, 255}, true},
      {"inside the box, empty lane", 300, 20, {0, 0, 0}, {60, 60, 70}},
      {"in flag's pennant", 91, 13, {200, 150, 0}, {255, 255, 160}},
      {"cursor", 185, 25, {170, 170, 170}, {255, 255, 255}, true},
      {"above the strip", 200, 5, {0, 0, 0}, {0, 0, 0}},
  };
  // clang-format on
  for (const Probe& pr : probes) check(d.c, pr);
}

// More takes than the lanes kept on the stack; back to back, so one lane of the accent.
TEST(Strip, ManyTakesShareOneLane) {
  Drawn d;
  ASSERT_NE(d.c.p, nullptr);
  for (int i = 0; i < 400; i++) ASSERT_EQ(meta_add_layer(&d.m, take(i * 0.1, 0.1, false, {})), 0);
  d.f.loop.on = false;
  d.f.zoom = 1;
  d.f.cursor_seconds = NAN;
  d.draw();
  for (int x : {20, 200, 390}) check(d.c, Probe{"accent", x, 40, {0, 0, 200}, {80, 80, 255}});
}

}  // namespace
