// The draw layer against SDL's software renderer on a plain surface: real pixels, no display.
#include "ui/draw.h"

#include <SDL2/SDL.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "support/soft_canvas.h"

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

const DrawColour kWhite{1, 1, 1, 1};
const DrawColour kRed{1, 0, 0, 1};
const DrawColour kGreen{0, 1, 0, 1};
const DrawColour kBlue{0, 0, 1, 1};

struct Rgba {
  int r, g, b, a;
};

// The software canvas with the checks these tests make.
struct Canvas : SoftCanvas {
  explicit Canvas(int w = 64, int h = 64) : SoftCanvas(w, h) {}
  void clear(int r, int g, int b) {
    SDL_SetRenderDrawColor(renderer, (Uint8)r, (Uint8)g, (Uint8)b, 255);
    SDL_RenderClear(renderer);
  }
  Rgba at(int x, int y) {
    uint32_t v = pixel(x, y);
    return Rgba{(int)(v >> 16 & 255), (int)(v >> 8 & 255), (int)(v & 255), (int)(v >> 24)};
  }
  int vertices() {
    int v = 0;
    draw_batch_counts(p, &v, nullptr);
    return v;
  }
};

void expect_near(Rgba got, Rgba want, int tol, const std::string& what) {
  EXPECT_NEAR(got.r, want.r, tol) << what;
  EXPECT_NEAR(got.g, want.g, tol) << what;
  EXPECT_NEAR(got.b, want.b, tol) << what;
}

// Reads one pixel of whatever target is bound.
Rgba read_bound(Canvas& c, int x, int y) {
  draw_flush(c.p);
  SDL_RenderFlush(c.renderer);
  uint32_t v = 0;
  SDL_Rect r{x, y, 1, 1};
  EXPECT_EQ(SDL_RenderReadPixels(c.renderer, &r, SDL_PIXELFORMAT_ARGB8888, &v, 4), 0);
  return Rgba{(int)(v >> 16 & 255), (int)(v >> 8 & 255), (int)(v & 255), (int)(v >> 24)};
}

// --- State -----------------------------------------------------------------------------------

TEST(DrawState, NullPainterAndRendererAreIgnored) {
  EXPECT_EQ(draw_new(nullptr, 1), nullptr);
  Painter* n = nullptr;
  DrawPoint pts[3] = {{0, 0}, {1, 0}, {0, 1}};
  RenderTarget t{};
  draw_free(n);
  draw_set_transform(n, 1, 1, 2, 2);
  draw_set_additive(n, true);
  draw_set_clip(n, nullptr);
  draw_flush(n);
  draw_rect(n, 0, 0, 5, 5, kRed);
  draw_polygon(n, pts, 3, kRed);
  draw_disc(n, 1, 1, 1, kRed);
  draw_shadow(n, DrawRect{0, 0, 5, 5}, 1, 4, 1);
  draw_texture(n, nullptr, nullptr, DrawRect{0, 0, 1, 1}, kRed);
  EXPECT_EQ(target_ensure(n, &t, 10, 10, 1), -1);
  target_begin(n, &t, kRed);
  target_end(n);
  target_draw(n, &t, DrawRect{0, 0, 1, 1});
  target_free(&t);
  EXPECT_EQ(draw_generation(n), 0u);
  // Measuring needs no painter.
  EXPECT_FLOAT_EQ(draw_text_5x7(n, 0, 0, 1, kRed, kRed, 0, "ab"), 11);
}

TEST(DrawState, EachPainterHasAHigherGeneration) {
  Canvas a;
  ASSERT_TRUE(a.p);
  Painter* b = draw_new(a.renderer, 1);
  ASSERT_TRUE(b);
  EXPECT_GT(draw_generation(b), draw_generation(a.p));
  draw_free(b);
}

TEST(DrawState, PackRoundsEachChannelAndAppliesGlobalAlpha) {
  struct Case {
    DrawColour c;
    float global;
    uint32_t want;
  } cases[] = {
      {{1, 0, 0, 1}, 1, 0xFF0000FFu},
      {{0.5f, 0.5f, 0.5f, 0.5f}, 1, 0x80808080u},       // 127.5 rounds up
      {{0.2f, 0.002f, 0.001f, 1}, 1, 0xFF000133u},      // 51; 0.51 -> 1; 0.255 -> 0
      {{-1, 2, kNaN, 1}, 1, 0xFF00FF00u},               // clamped, NaN as 0
      {{1, 1, 1, 1}, 0.5f, 0x80FFFFFFu},                // only alpha takes the global alpha
      {{1, 1, 1, 0.5f}, 0.5f, 0x40FFFFFFu},             // 63.75 -> 64
      {{1, 1, 1, 1}, 0.001f, 0x00FFFFFFu},              // packs to 0: not drawn
  };
  Canvas cv;
  for (const Case& c : cases) {
    draw_set_alpha(cv.p, c.global);
    EXPECT_EQ(draw_pack(cv.p, c.c), c.want) << std::hex << c.want;
    draw_rect(cv.p, 0, 0, 4, 4, c.c);
    EXPECT_EQ(cv.vertices() > 0, (c.want >> 24) != 0) << std::hex << c.want;
    draw_flush(cv.p);
  }
}

TEST(DrawState, PointsBecomePixelsThroughTransformAndScale) {
  struct Case {
    float base, ox, oy, sx, sy, x, y, px, py;
  } cases[] = {
      {1, 0, 0, 1, 1, 3, 4, 3, 4},
      {2, 0, 0, 1, 1, 3, 4, 6, 8},
      {1, 10, 20, 2, 3, 1, 1, 12, 23},
      {1.5f, 10, 20, 2, -1, 1, 1, 18, 28.5f},
  };
  Canvas cv;
  for (const Case& c : cases) {
    draw_set_base_scale(cv.p, c.base);
    draw_set_transform(cv.p, c.ox, c.oy, c.sx, c.sy);
    DrawPoint q = draw_to_pixels(cv.p, c.x, c.y);
    EXPECT_FLOAT_EQ(q.x, c.px);
    EXPECT_FLOAT_EQ(q.y, c.py);
    EXPECT_FLOAT_EQ(draw_pixel_scale(cv.p), c.base);
  }
  draw_set_transform(cv.p, kNaN, 0, 1, 1);  // refused, the last one stands
  EXPECT_FLOAT_EQ(draw_to_pixels(cv.p, 1, 1).x, 18);
}

// --- Shapes ----------------------------------------------------------------------------------

TEST(DrawShapes, DegenerateInputsDrawNothing) {
  Canvas cv;
  Painter* p = cv.p;
  DrawPoint same[4] = {{5, 5}, {5, 5}, {5.00001f, 5}, {5, 5}};
  DrawPoint closing[4] = {{1, 1}, {9, 1}, {1, 1}, {1, 1}};  // two points once the repeat goes
  DrawPoint line[3] = {{0, 0}, {5, 5}, {10, 10}};
  DrawPoint bad[3] = {{0, 0}, {kInf, 5}, {10, 0}};
  DrawPoint one[1] = {{3, 3}};
  struct Case {
    const char* name;
    std::function<void()> draw;
  } cases[] = {
      {"rect 0 wide", [&] { draw_rect(p, 10, 10, 0, 10, kWhite); }},
      {"rect negative", [&] { draw_rect(p, 10, 10, 5, -1, kWhite); }},
      {"rect NaN", [&] { draw_rect(p, kNaN, 10, 5, 5, kWhite); }},
      {"rect clear", [&] { draw_rect(p, 10, 10, 5, 5, DrawColour{1, 1, 1, 0.001f}); }},
      {"coincident polygon", [&] { draw_polygon(p, same, 4, kWhite); }},
      {"closing repeat", [&] { draw_polygon(p, closing, 4, kWhite); }},
      {"collinear", [&] { draw_polygon(p, line, 3, kWhite); }},
      {"infinite point", [&] { draw_polygon(p, bad, 3, kWhite); }},
      {"null points", [&] { draw_polygon(p, nullptr, 3, kWhite); }},
      {"disc r 0", [&] { draw_disc(p, 5, 5, 0, kWhite); }},
      {"disc inf", [&] { draw_disc(p, kInf, 5, 2, kWhite); }},
      {"ring NaN width", [&] { draw_ring(p, 5, 5, 3, kNaN, kWhite); }},
      {"rrect NaN radius", [&] { draw_rrect(p, DrawRect{0, 0, 9, 9}, kNaN, kWhite); }},
      {"polyline one point", [&] { draw_polyline(p, one, 1, 2, kWhite, false); }},
      {"polyline 0 wide", [&] { draw_polyline(p, line, 3, 0, kWhite, false); }},
      {"band of one", [&] { draw_band(p, one, one, 1, kWhite); }},
      {"regular of 2", [&] { draw_regular(p, 5, 5, 3, 2, 0, kWhite); }},
      {"curve NaN", [&] { draw_curve(p, {0, 0}, {kNaN, 1}, {5, 5}, 8, 1, kWhite); }},
      {"frame 0 thick", [&] { draw_rect_frame(p, 0, 0, 9, 9, 0, kWhite); }},
      {"text NaN cell", [&] { draw_text_5x7(p, 0, 0, kNaN, kWhite, kWhite, 0, "A"); }},
      {"shadow clear", [&] { draw_shadow(p, DrawRect{0, 0, 9, 9}, 2, 4, 0); }},
  };
  for (const Case& c : cases) {
    c.draw();
    EXPECT_EQ(cv.vertices(), 0) << c.name;
    draw_flush(p);
  }
}

TEST(DrawShapes, CircleSegmentsFollowTheOnScreenRadius) {
  struct Case {
    float r_px;
    int want;
  } cases[] = {
      {kNaN, 8}, {0, 8}, {0.5f, 8}, {1, 8}, {10, 15}, {100, 45},
      {1000, 141},  // the quarter-pixel chord rule; 256 takes about 3,300 pixels
      {5000, 256}, {1e9f, 256},
  };
  for (const Case& c : cases) EXPECT_EQ(draw_segments(c.r_px), c.want) << c.r_px;

  // The disc takes its count from its radius after transform and pixel scale.
  struct Disc {
    float r, scale;
    bool smooth;
    int vertices;
  } discs[] = {
      {0.5f, 1, false, 8}, {0.5f, 1, true, 16}, {5000, 1, false, 256},
      {10, 100, false, 141}, {10, 1, true, 30},
  };
  Canvas cv;
  for (const Disc& d : discs) {
    draw_set_transform(cv.p, 0, 0, d.scale, d.scale);
    draw_set_smooth(cv.p, d.smooth);
    draw_disc(cv.p, 0, 0, d.r, kWhite);
    EXPECT_EQ(cv.vertices(), d.vertices) << d.r << " x" << d.scale;
    draw_flush(cv.p);
  }
}

TEST(DrawShapes, ThinSmoothRectsTurnCoverageIntoAlpha) {
  struct Case {
    float w;
    bool smooth;
    int want;  // white over black at pixel 10
  } cases[] = {
      {0.5f, true, 128}, {0.25f, true, 64}, {1, true, 255}, {0.5f, false, 255},
  };
  for (const Case& c : cases) {
    Canvas cv;
    cv.clear(0, 0, 0);
    draw_set_smooth(cv.p, c.smooth);
    draw_rect(cv.p, 10.5f - c.w / 2, 5, c.w, 10, kWhite);  // centred on pixel 10
    EXPECT_NEAR(cv.at(10, 8).g, c.want, 1) << c.w;
    EXPECT_EQ(cv.at(9, 8).g, 0) << c.w;
    EXPECT_EQ(cv.at(11, 8).g, 0) << c.w;
  }
}

// The fringe shows as partly covered pixels along a slanted edge, alike for either winding.
TEST(DrawShapes, SmoothEdgesFringeTheSameForEitherWinding) {
  DrawPoint ccw[3] = {{8, 8}, {8, 56}, {56, 8}};
  DrawPoint cw[3] = {{8, 8}, {56, 8}, {8, 56}};
  struct Case {
    const DrawPoint* shape;
    bool smooth;
    bool partial;
  } cases[] = {{ccw, true, true}, {cw, true, true}, {ccw, false, false}};
  std::vector<int> first;
  for (const Case& c : cases) {
    Canvas cv;
    cv.clear(0, 0, 0);
    draw_set_smooth(cv.p, c.smooth);
    draw_polygon(cv.p, c.shape, 3, kWhite);
    std::vector<int> row;
    int partial = 0, sum = 0;
    for (int x = 0; x < 64; x++) {
      row.push_back(cv.at(x, 30).g);
      partial += row.back() > 0 && row.back() < 255;
      sum += row.back();
    }
    EXPECT_EQ(partial > 0, c.partial) << c.smooth;
    // The fringe straddles the edge, so the row's coverage is its true width: 8 to 33.5.
    EXPECT_NEAR(sum / 255.0, 25.5, 0.6) << c.smooth;
    EXPECT_EQ(row[20], 255);
    EXPECT_EQ(row[40], 0);
    if (first.empty()) {
      first = row;
    } else if (c.smooth) {
      EXPECT_EQ(row, first) << "winding changed the picture";
    }
  }
}

TEST(DrawShapes, EachShapeCoversItsInsideAndNotItsOutside) {
  DrawPoint tri[3] = {{8, 8}, {56, 8}, {8, 56}};
  DrawPoint zig[4] = {{4, 20}, {20, 40}, {40, 20}, {60, 40}};
  DrawPoint up[3] = {{4, 20}, {32, 10}, {60, 20}};
  DrawPoint down[3] = {{4, 30}, {32, 40}, {60, 30}};
  struct Case {
    const char* name;
    std::function<void(Painter*)> draw;
    int in_x, in_y, out_x, out_y;
  } cases[] = {
      {"rrect", [](Painter* p) { draw_rrect(p, DrawRect{8, 8, 48, 48}, 12, kWhite); }, 32, 32, 9, 9},
      {"rrect frame", [](Painter* p) { draw_rrect_frame(p, DrawRect{8, 8, 48, 48}, 8, 4, kWhite); },
       32, 10, 32, 32},
      {"rect frame", [](Painter* p) { draw_rect_frame(p, 8, 8, 48, 48, 3, kWhite); }, 9, 32, 32, 32},
      {"disc", [](Painter* p) { draw_disc(p, 32, 32, 20, kWhite); }, 32, 32, 14, 14},
      {"ring", [](Painter* p) { draw_ring(p, 32, 32, 20, 4, kWhite); }, 32, 12, 32, 32},
      {"regular", [](Painter* p) { draw_regular(p, 32, 32, 20, 4, 0, kWhite); }, 32, 32, 16, 16},
      {"triangle", [&](Painter* p) { draw_triangle(p, tri[0], tri[1], tri[2], kWhite); }, 16, 16,
       48, 48},
      {"quad", [](Painter* p) { draw_quad(p, {8, 8}, {56, 8}, {56, 56}, {8, 56}, kWhite); }, 32, 32,
       4, 4},
      {"polyline", [&](Painter* p) { draw_polyline(p, zig, 4, 4, kWhite, false); }, 20, 39, 20, 30},
      {"closed polyline", [&](Painter* p) { draw_polyline(p, tri, 3, 4, kWhite, true); }, 32, 32, 20,
       20},
      {"curve", [](Painter* p) { draw_curve(p, {4, 50}, {32, 0}, {60, 50}, 0, 4, kWhite); }, 32, 25,
       32, 45},
      {"band", [&](Painter* p) { draw_band(p, up, down, 3, kWhite); }, 32, 25, 32, 5},
      {"glow", [](Painter* p) { draw_glow(p, 32, 32, 20, kWhite); }, 32, 32, 5, 5},
      {"text", [](Painter* p) { draw_text_5x7(p, 10, 10, 4, kWhite, kWhite, 0, "|"); }, 19, 20, 14,
       20},
  };
  for (const Case& c : cases) {
    Canvas cv;
    cv.clear(0, 0, 0);
    c.draw(cv.p);
    EXPECT_GT(cv.at(c.in_x, c.in_y).g, 200) << c.name;
    EXPECT_EQ(cv.at(c.out_x, c.out_y).g, 0) << c.name;
  }
}

TEST(DrawShapes, SplitDiscPutsTheLowerColourBelowTheChord) {
  struct Case {
    float fraction, angle;
    int lower_x, lower_y, upper_x, upper_y;
  } cases[] = {
      {0.5f, (float)-M_PI / 2, 32, 48, 32, 16},  // pointing up: bottom half lower
      {0.25f, (float)-M_PI / 2, 32, 50, 32, 38},
      {0.5f, 0, 16, 32, 48, 32},  // pointing right: left half lower
  };
  for (const Case& c : cases) {
    Canvas cv;
    cv.clear(0, 0, 0);
    draw_split_disc(cv.p, 32, 32, 20, c.fraction, c.angle, kRed, kBlue);
    Rgba lo = cv.at(c.lower_x, c.lower_y), hi = cv.at(c.upper_x, c.upper_y);
    EXPECT_TRUE(lo.r == 255 && lo.b == 0) << c.fraction << " " << c.angle;
    EXPECT_TRUE(hi.b == 255 && hi.r == 0) << c.fraction << " " << c.angle;
  }
}

TEST(DrawShapes, BatchGrowsAndKeepsEveryShape) {
  Canvas cv;
  cv.clear(0, 0, 0);
  draw_rect(cv.p, 0, 0, 4, 4, kRed);
  for (int i = 0; i < DRAW_FIRST_VERTICES; i++) draw_rect(cv.p, 20, 20, 1, 1, kGreen);
  draw_rect(cv.p, 60, 60, 4, 4, kBlue);
  EXPECT_EQ(cv.vertices(), 4 * (DRAW_FIRST_VERTICES + 2));
  EXPECT_EQ(cv.at(1, 1).r, 255);
  EXPECT_EQ(cv.at(20, 20).g, 255);
  EXPECT_EQ(cv.at(62, 62).b, 255);
  EXPECT_EQ(cv.vertices(), 0);
}

TEST(DrawShapes, ModeAndClipChangesFlushButRepeatsDoNot) {
  Canvas cv;
  DrawRect clip{0, 0, 32, 64};
  struct Step {
    const char* name;
    std::function<void()> change;
    bool flushes;
  } steps[] = {
      {"additive on", [&] { draw_set_additive(cv.p, true); }, true},
      {"additive again", [&] { draw_set_additive(cv.p, true); }, false},
      {"additive off", [&] { draw_set_additive(cv.p, false); }, true},
      {"clip", [&] { draw_set_clip(cv.p, &clip); }, true},
      {"same clip", [&] { draw_set_clip(cv.p, &clip); }, false},
      {"no clip", [&] { draw_set_clip(cv.p, nullptr); }, true},
      {"alpha", [&] { draw_set_alpha(cv.p, 0.5f); }, false},
      {"transform", [&] { draw_set_transform(cv.p, 1, 1, 1, 1); }, false},
  };
  for (const Step& s : steps) {
    draw_rect(cv.p, 0, 0, 4, 4, kRed);
    ASSERT_GT(cv.vertices(), 0);
    s.change();
    EXPECT_EQ(cv.vertices() == 0, s.flushes) << s.name;
  }
}

TEST(DrawShapes, ClipAndAdditiveReachThePixels) {
  Canvas cv;
  cv.clear(100, 0, 0);
  DrawRect clip{0, 0, 32, 64};
  draw_set_clip(cv.p, &clip);
  draw_rect(cv.p, 0, 0, 64, 64, kGreen);
  DrawRect nothing{10, 10, 0, 5};
  draw_set_clip(cv.p, &nothing);
  draw_rect(cv.p, 0, 0, 64, 64, kBlue);  // clipped away entirely
  draw_set_clip(cv.p, nullptr);
  draw_set_additive(cv.p, true);
  // A disc: the software renderer drops additive blending on rectangle-shaped geometry.
  draw_disc(cv.p, 52, 32, 10, DrawColour{100 / 255.0f, 0, 0, 1});
  draw_set_additive(cv.p, false);
  expect_near(cv.at(10, 10), Rgba{0, 255, 0, 0}, 0, "clipped in");
  expect_near(cv.at(35, 10), Rgba{100, 0, 0, 0}, 0, "clipped out");
  expect_near(cv.at(52, 32), Rgba{200, 0, 0, 0}, 1, "added");
}

// The batch is flushed before anything that draws outside it, so shapes stay in order.
TEST(DrawShapes, OrderHoldsAcrossTexturesAndTargets) {
  for (int kind = 0; kind < 2; kind++) {
    Canvas cv;
    cv.clear(0, 0, 0);
    SDL_Texture* tex = nullptr;
    RenderTarget t{};
    if (kind == 0) {
      tex = SDL_CreateTexture(cv.renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STATIC, 1, 1);
      uint32_t blue = 0xFF0000FFu;
      SDL_UpdateTexture(tex, nullptr, &blue, 4);
    } else {
      ASSERT_EQ(target_ensure(cv.p, &t, 8, 8, 1), 0);
      target_begin(cv.p, &t, kBlue);
      target_end(cv.p);
    }
    draw_rect(cv.p, 0, 0, 64, 64, kRed);
    if (kind == 0)
      draw_texture(cv.p, tex, nullptr, DrawRect{0, 0, 32, 64}, kWhite);
    else
      target_draw(cv.p, &t, DrawRect{0, 0, 32, 64});
    draw_rect(cv.p, 8, 8, 8, 8, kGreen);
    expect_near(cv.at(48, 30), Rgba{255, 0, 0, 0}, 0, "red under nothing");
    expect_near(cv.at(20, 30), Rgba{0, 0, 255, 0}, 0, "picture over red");
    expect_near(cv.at(10, 10), Rgba{0, 255, 0, 0}, 0, "green over picture");
    if (tex) SDL_DestroyTexture(tex);
    target_free(&t);
  }
}

// --- Blending --------------------------------------------------------------------------------

TEST(DrawBlend, ShapesBlendStraightOverTheBackground) {
  struct Case {
    DrawColour c;
    float global;
    Rgba bg;
  } cases[] = {
      {{1, 0, 0, 0.5f}, 1, {0, 0, 255, 0}},
      {{0.2f, 0.4f, 0.6f, 0.75f}, 1, {200, 100, 50, 0}},
      {{1, 1, 1, 1}, 0.25f, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    Canvas cv;
    cv.clear(c.bg.r, c.bg.g, c.bg.b);
    draw_set_alpha(cv.p, c.global);
    draw_rect(cv.p, 0, 0, 64, 64, c.c);
    float a = std::floor(c.c.a * c.global * 255 + 0.5f) / 255;
    auto over = [&](float s, int d) { return (int)std::lround(s * 255 * a + d * (1 - a)); };
    expect_near(cv.at(5, 5), Rgba{over(c.c.r, c.bg.r), over(c.c.g, c.bg.g), over(c.c.b, c.bg.b), 0},
                1, "blend");
  }
}

TEST(DrawBlend, TargetsClearToThePremultipliedColour) {
  struct Case {
    DrawColour clear;
    Rgba want;
  } cases[] = {
      {{1, 0.5f, 0, 0.5f}, {128, 64, 0, 128}},
      {{0.2f, 0.4f, 1, 1}, {51, 102, 255, 255}},
      {{1, 1, 1, 0}, {0, 0, 0, 0}},
  };
  Canvas cv;
  RenderTarget t{};
  ASSERT_EQ(target_ensure(cv.p, &t, 16, 16, 1), 0);
  for (const Case& c : cases) {
    target_begin(cv.p, &t, c.clear);
    Rgba got = read_bound(cv, 3, 3);
    target_end(cv.p);
    expect_near(got, c.want, 0, "clear");
    EXPECT_EQ(got.a, c.want.a);
  }
  target_free(&t);
}

TEST(DrawBlend, PremultipliedModeIsComposedOrFallsBackToBlend) {
  Canvas cv;
  SDL_BlendMode premul = SDL_ComposeCustomBlendMode(
      SDL_BLENDFACTOR_ONE, SDL_BLENDFACTOR_ONE_MINUS_SRC_ALPHA, SDL_BLENDOPERATION_ADD,
      SDL_BLENDFACTOR_ONE, SDL_BLENDFACTOR_ONE_MINUS_SRC_ALPHA, SDL_BLENDOPERATION_ADD);
  SDL_Texture* probe =
      SDL_CreateTexture(cv.renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STATIC, 1, 1);
  bool native = SDL_SetTextureBlendMode(probe, premul) == 0;
  SDL_DestroyTexture(probe);
  EXPECT_EQ(draw_premultiplied_blend(cv.p), native ? (int)premul : (int)SDL_BLENDMODE_BLEND);
  // Targets carry the mode, so a faded target loses brightness and alpha alike.
  RenderTarget t{};
  ASSERT_EQ(target_ensure(cv.p, &t, 8, 8, 1), 0);
  SDL_BlendMode mode;
  SDL_GetTextureBlendMode(t.texture, &mode);
  EXPECT_EQ((int)mode, draw_premultiplied_blend(cv.p));
  cv.clear(0, 0, 200);
  target_begin(cv.p, &t, DrawColour{1, 0.5f, 0, 1});
  target_end(cv.p);
  draw_set_alpha(cv.p, 0.5f);
  target_draw(cv.p, &t, DrawRect{0, 0, 8, 8});
  // 0.5 * (255, 128, 0) + 0.5 * (0, 0, 200)
  expect_near(cv.at(4, 4), Rgba{128, 64, 100, 0}, 1, "faded target");
  target_free(&t);
}

// The custom premultiplied mode needs a GPU renderer: SDL's offscreen video driver gives one over
// EGL (Mesa's software rasteriser here) without a display.
TEST(DrawBlend, PremultipliedIsExactOnAGlRenderer) {
#ifdef KELP_SANITIZED
  // Mesa's driver leaves allocations behind when it is unloaded, where LeakSanitizer can no
  // longer name (or suppress) it.
  GTEST_SKIP() << "the GL driver leaks under the leak checker";
#endif
  SDL_SetHint(SDL_HINT_VIDEODRIVER, "offscreen");
  SDL_SetHint(SDL_HINT_RENDER_DRIVER, "opengl");
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) GTEST_SKIP() << SDL_GetError();
  SDL_Window* win = SDL_CreateWindow("draw", 0, 0, 64, 64, SDL_WINDOW_HIDDEN);
  SDL_Renderer* r = win ? SDL_CreateRenderer(win, -1, SDL_RENDERER_ACCELERATED) : nullptr;
  if (!r) {
    if (win) SDL_DestroyWindow(win);
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    GTEST_SKIP() << "no GL renderer: " << SDL_GetError();
  }
  Painter* p = draw_new(r, 1);
  ASSERT_TRUE(p);
  EXPECT_EQ(draw_premultiplied_blend(p),
            (int)SDL_ComposeCustomBlendMode(
                SDL_BLENDFACTOR_ONE, SDL_BLENDFACTOR_ONE_MINUS_SRC_ALPHA, SDL_BLENDOPERATION_ADD,
                SDL_BLENDFACTOR_ONE, SDL_BLENDFACTOR_ONE_MINUS_SRC_ALPHA, SDL_BLENDOPERATION_ADD));
  // Target cleared to (1, 0.5, 0) at alpha 0.5, i.e. (128, 64, 0, 128), over (0, 0, 200):
  // src + dst * (1 - src alpha); faded by global alpha, all four channels alike.
  struct Case {
    float global;
    Rgba want;
  } cases[] = {{1, {128, 64, 100, 0}}, {0.5f, {64, 32, 150, 0}}, {0.25f, {32, 16, 175, 0}}};
  RenderTarget t{};
  ASSERT_EQ(target_ensure(p, &t, 16, 16, 2), 0);
  for (const Case& c : cases) {
    SDL_SetRenderDrawColor(r, 0, 0, 200, 255);
    SDL_RenderClear(r);
    target_begin(p, &t, DrawColour{1, 0.5f, 0, 0.5f});
    target_end(p);
    draw_set_alpha(p, c.global);
    target_draw(p, &t, DrawRect{0, 0, 16, 16});
    draw_flush(p);
    uint32_t v = 0;
    SDL_Rect at{8, 8, 1, 1};
    ASSERT_EQ(SDL_RenderReadPixels(r, &at, SDL_PIXELFORMAT_ARGB8888, &v, 4), 0);
    expect_near(Rgba{(int)(v >> 16 & 255), (int)(v >> 8 & 255), (int)(v & 255), 0}, c.want, 1,
                "global " + std::to_string(c.global));
  }
  target_free(&t);
  draw_free(p);
  SDL_DestroyRenderer(r);
  SDL_DestroyWindow(win);
  SDL_QuitSubSystem(SDL_INIT_VIDEO);
}

// --- Targets ---------------------------------------------------------------------------------

TEST(DrawTarget, EnsureClampsFactorAndSizeToTheLargestTexture) {
  Canvas cv;
  SDL_RendererInfo info;
  ASSERT_EQ(SDL_GetRendererInfo(cv.renderer, &info), 0);
  int maxw = info.max_texture_width > 0 ? info.max_texture_width : DRAW_MAX_TEXTURE;
  EXPECT_EQ(info.max_texture_width, 0);  // the software renderer reports no limit
  struct Case {
    int w, h, f;
    int want_w, want_h, want_f;
  } cases[] = {
      {100, 50, 3, 100, 50, 3}, {100, 50, 9, 100, 50, 4},  {100, 50, 0, 100, 50, 1},
      {0, -3, 2, 1, 1, 2},      {maxw + 3616, 4, 2, maxw, 4, 1}, {maxw / 2 + 1, 4, 2, maxw / 2 + 1, 4, 1},
      {maxw / 4, 2, 4, maxw / 4, 2, 4},
  };
  for (const Case& c : cases) {
    RenderTarget t{};
    ASSERT_EQ(target_ensure(cv.p, &t, c.w, c.h, c.f), 0) << c.w;
    EXPECT_EQ(t.width, c.want_w) << c.w;
    EXPECT_EQ(t.height, c.want_h) << c.w;
    EXPECT_EQ(t.factor, c.want_f) << c.w;
    EXPECT_EQ(t.pixel_width, c.want_w * c.want_f);
    int tw = 0, th = 0;
    SDL_QueryTexture(t.texture, nullptr, nullptr, &tw, &th);
    EXPECT_EQ(tw, t.pixel_width);
    EXPECT_EQ(th, t.pixel_height);
    target_free(&t);
    EXPECT_EQ(t.texture, nullptr);
  }
}

TEST(DrawTarget, ReusedUntilSizeFactorOrGenerationChanges) {
  Canvas cv;
  RenderTarget t{};
  ASSERT_EQ(target_ensure(cv.p, &t, 20, 10, 2), 0);
  SDL_Texture* first = t.texture;
  ASSERT_EQ(target_ensure(cv.p, &t, 20, 10, 2), 0);
  EXPECT_EQ(t.texture, first);
  ASSERT_EQ(target_ensure(cv.p, &t, 20, 10, 1), 0);
  EXPECT_EQ(t.pixel_width, 20);
  // A copy of a freed target can be freed again without touching the texture twice.
  RenderTarget copy = t;
  target_free(&t);
  target_free(&copy);

  // After a device reset the layer is made again; every target remakes on its next ensure.
  ASSERT_EQ(target_ensure(cv.p, &t, 16, 16, 1), 0);
  draw_free(cv.p);
  cv.p = draw_new(cv.renderer, 1);
  ASSERT_TRUE(cv.p);
  EXPECT_NE(t.generation, draw_generation(cv.p));
  target_begin(cv.p, &t, kRed);  // stale: ignored
  target_end(cv.p);
  ASSERT_EQ(target_ensure(cv.p, &t, 16, 16, 1), 0);
  EXPECT_EQ(t.generation, draw_generation(cv.p));
  cv.clear(0, 0, 0);
  target_begin(cv.p, &t, kGreen);
  target_end(cv.p);
  target_draw(cv.p, &t, DrawRect{0, 0, 16, 16});
  EXPECT_EQ(cv.at(8, 8).g, 255);
  target_free(&t);
}

TEST(DrawTarget, DrawnBackAtItsPlaceAtEveryFactor) {
  for (int factor : {1, 2, 4}) {
    Canvas cv;
    cv.clear(50, 50, 50);
    RenderTarget t{};
    ASSERT_EQ(target_ensure(cv.p, &t, 64, 64, factor), 0);
    target_begin(cv.p, &t, DrawColour{0, 0, 0, 0});
    EXPECT_FLOAT_EQ(draw_pixel_scale(cv.p), (float)factor);
    draw_rect(cv.p, 10, 10, 20, 20, kRed);
    draw_disc(cv.p, 48, 48, 8, kGreen);
    target_end(cv.p);
    target_draw(cv.p, &t, DrawRect{0, 0, 64, 64});
    expect_near(cv.at(15, 15), Rgba{255, 0, 0, 0}, 1, "rect");
    expect_near(cv.at(48, 48), Rgba{0, 255, 0, 0}, 1, "disc");
    expect_near(cv.at(5, 5), Rgba{50, 50, 50, 0}, 0, "transparent");
    expect_near(cv.at(35, 15), Rgba{50, 50, 50, 0}, 0, "transparent");
    // A quarter of it, drawn over the whole window.
    target_draw_part(cv.p, &t, DrawRect{0, 0, 32, 32}, DrawRect{0, 0, 64, 64});
    expect_near(cv.at(40, 40), Rgba{255, 0, 0, 0}, 1, "part");
    target_free(&t);
  }
}

TEST(DrawTarget, TranslucentContentKeepsItsStrengthWhereThereIsNoPremultipliedBlend) {
  // The software renderer: a half-transparent red drawn through a target lands as it would
  // directly, not dimmed twice.
  Canvas cv;
  cv.clear(0, 0, 0);
  RenderTarget t{};
  ASSERT_EQ(target_ensure(cv.p, &t, 64, 64, 1), 0);
  target_begin(cv.p, &t, DrawColour{0, 0, 0, 0});
  draw_rect(cv.p, 10, 10, 20, 20, DrawColour{1, 0, 0, 0.5f});
  target_end(cv.p);
  target_draw(cv.p, &t, DrawRect{0, 0, 64, 64});
  expect_near(cv.at(15, 15), Rgba{128, 0, 0, 0}, 3, "half red");
  target_free(&t);
}

TEST(DrawTarget, BeginAndEndRestoreStateInReverseOrder) {
  Canvas cv;
  RenderTarget a{}, b{}, never{};
  ASSERT_EQ(target_ensure(cv.p, &a, 16, 16, 2), 0);
  ASSERT_EQ(target_ensure(cv.p, &b, 16, 16, 3), 0);
  DrawRect clip{0, 0, 32, 32};
  draw_set_clip(cv.p, &clip);
  draw_set_transform(cv.p, 5, 6, 2, 2);
  draw_set_alpha(cv.p, 0.5f);
  auto check = [&](float scale, float px, float alpha, const char* where) {
    EXPECT_FLOAT_EQ(draw_pixel_scale(cv.p), scale) << where;
    EXPECT_FLOAT_EQ(draw_to_pixels(cv.p, 1, 1).x, px) << where;
    EXPECT_FLOAT_EQ(draw_alpha(cv.p), alpha) << where;
  };
  check(1, 7, 0.5f, "window");
  target_begin(cv.p, &a, kRed);
  check(2, 2, 1, "in a");
  draw_set_alpha(cv.p, 0.25f);
  target_begin(cv.p, &never, kRed);  // never made: ignored, and so is its end
  target_begin(cv.p, &a, kRed);      // already being drawn into: ignored
  check(2, 2, 0.25f, "still a");
  target_begin(cv.p, &b, kRed);
  check(3, 3, 1, "in b");
  target_end(cv.p);
  check(2, 2, 0.25f, "back in a");
  target_end(cv.p);
  target_end(cv.p);
  check(2, 2, 0.25f, "ignored ends");
  target_end(cv.p);
  check(1, 7, 0.5f, "back in the window");
  EXPECT_EQ(SDL_GetRenderTarget(cv.renderer), nullptr);
  target_end(cv.p);  // unpaired: nothing
  check(1, 7, 0.5f, "unpaired end");
  // The window's clip came back too.
  cv.clear(0, 0, 0);
  draw_reset_transform(cv.p);
  draw_set_alpha(cv.p, 1);
  draw_rect(cv.p, 0, 0, 64, 64, kWhite);
  EXPECT_EQ(cv.at(20, 20).g, 255);
  EXPECT_EQ(cv.at(40, 40).g, 0);
  target_free(&a);
  target_free(&b);
}

// --- Shadow ----------------------------------------------------------------------------------

TEST(DrawShadow, DarkUnderneathFadingOutward) {
  // White background; green channel read at the centre, just outside the left edge, far out.
  struct Case {
    float radius, blur;
    int centre_max, edge_lo, edge_hi, far_min;
  } cases[] = {
      {4, 8, 10, 40, 230, 250},
      {0, 0, 0, 255, 255, 255},  // blur 0: a hard edge
      {30, 96, 250, 0, 255, 0},  // blur and radius cut down to fit a small rectangle
  };
  for (const Case& c : cases) {
    Canvas cv;
    cv.clear(255, 255, 255);
    draw_shadow(cv.p, DrawRect{16, 16, 32, 32}, c.radius, c.blur, 1);
    int centre = cv.at(32, 32).g, edge = cv.at(15, 32).g, far = cv.at(0, 0).g;
    EXPECT_LE(centre, c.centre_max) << c.blur;
    EXPECT_GE(edge, c.edge_lo) << c.blur;
    EXPECT_LE(edge, c.edge_hi) << c.blur;
    EXPECT_GE(far, c.far_min) << c.blur;
    EXPECT_LE(centre, edge) << c.blur;
    EXPECT_LE(edge, far) << c.blur;
    EXPECT_LE(cv.at(32, 32).g, cv.at(20, 20).g) << "darkest in the middle";
  }
}

TEST(DrawShadow, AroundLeavesTheMiddleForTheShapeOverIt) {
  Canvas full(160, 160), around(160, 160);
  full.clear(255, 255, 255);
  around.clear(255, 255, 255);
  draw_shadow(full.p, DrawRect{16, 16, 128, 128}, 4, 8, 1);
  draw_shadow_around(around.p, DrawRect{16, 16, 128, 128}, 4, 8, 1);
  EXPECT_LE(full.at(80, 80).g, 10);
  EXPECT_EQ(around.at(80, 80).g, 255);  // the middle untouched
  for (const auto& at : {std::pair{15, 80}, std::pair{80, 15}, std::pair{17, 17}, std::pair{0, 0}})
    EXPECT_EQ(around.at(at.first, at.second).g, full.at(at.first, at.second).g) << at.first;
}

// --- 5x7 text --------------------------------------------------------------------------------

TEST(DrawText, WidthIsSixCellsPerCharacterLessOne) {
  struct Case {
    const char* text;
    float c, want;
  } cases[] = {
      {"", 2, 0}, {"A", 2, 10}, {"AB", 2, 22}, {"kelp nova", 1, 53},
      {"\xC3\xA9", 1, 11},  // two bytes, each a "?"
      {"A", -1, 0},
  };
  Canvas cv;
  for (const Case& c : cases)
    EXPECT_FLOAT_EQ(draw_text_5x7(cv.p, 0, 0, c.c, kWhite, kWhite, 0, c.text), c.want) << c.text;
}

TEST(DrawText, RowRunsAreRectsWithGradientAndFlash) {
  struct Case {
    const char* text;
    float flash;
    int rects;
  } cases[] = {
      {"-", 0, 1},  // one run of five
      {"|", 0, 7},  // one dot in each row
      {"|", 0.5f, 14},
      {"|", 0.0005f, 7},
      {" ", 1, 0},
  };
  Canvas cv;
  draw_set_smooth(cv.p, false);
  for (const Case& c : cases) {
    draw_text_5x7(cv.p, 0, 0, 2, kWhite, kWhite, c.flash, c.text);
    EXPECT_EQ(cv.vertices(), 4 * c.rects) << c.text << " " << c.flash;
    draw_flush(cv.p);
  }
  // Top row near the top colour, bottom row near the bottom one; flash whitens.
  cv.clear(0, 0, 0);
  draw_text_5x7(cv.p, 10, 10, 4, kRed, kBlue, 0, "|");
  Rgba top = cv.at(18, 10), bottom = cv.at(18, 37);
  EXPECT_GT(top.r, 200);
  EXPECT_LT(top.b, 40);
  EXPECT_GT(bottom.b, 200);
  EXPECT_LT(bottom.r, 40);
  draw_text_5x7(cv.p, 30, 10, 4, kRed, kRed, 2, "|");
  expect_near(cv.at(38, 20), Rgba{255, 255, 255, 0}, 0, "flash");
}

TEST(DrawText, UnprintableBytesDrawAsQuestionMarks) {
  Canvas a, b;
  a.clear(0, 0, 0);
  b.clear(0, 0, 0);
  draw_text_5x7(a.p, 2, 2, 2, kWhite, kWhite, 0, "\x01\x7F\xFF");
  draw_text_5x7(b.p, 2, 2, 2, kWhite, kWhite, 0, "???");
  a.at(0, 0);
  b.at(0, 0);
  int lit = 0;
  for (int y = 0; y < 20; y++)
    for (int x = 0; x < 40; x++) {
      ASSERT_EQ(a.at(x, y).g, b.at(x, y).g) << x << "," << y;
      lit += a.at(x, y).g > 0;
    }
  EXPECT_GT(lit, 30);
}

}  // namespace
