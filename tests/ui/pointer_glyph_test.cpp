// The pointer glyph's motion, and its pixels through SDL's software renderer over a plain surface.
#include "ui/pointer_glyph.h"

#include <SDL2/SDL.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr float kPi = 3.14159265358979f;
constexpr double kFrame = 1.0 / 60;

struct Pixel {
  int x, y, r, g, b;
};

// Draws g at (x, y) on a black 96x96 surface; every pixel no longer black.
std::vector<Pixel> render(const PointerGlyph& g, float x, float y, float scale, double now = 0) {
  SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, 96, 96, 32, SDL_PIXELFORMAT_ARGB8888);
  SDL_Renderer* r = SDL_CreateSoftwareRenderer(s);
  SDL_SetRenderDrawColor(r, 0, 0, 0, 255);
  SDL_RenderClear(r);
  SDL_SetRenderDrawColor(r, 1, 2, 3, 4);
  pointer_glyph_draw(r, &g, x, y, scale, now);
  Uint8 c[4];
  SDL_GetRenderDrawColor(r, &c[0], &c[1], &c[2], &c[3]);
  EXPECT_EQ(c[0] + c[1] * 10 + c[2] * 100 + c[3] * 1000, 4321) << "draw colour restored";
  SDL_RenderFlush(r);
  std::vector<Pixel> out;
  for (int py = 0; py < s->h; py++)
    for (int px = 0; px < s->w; px++) {
      uint32_t v = ((const uint32_t*)((const uint8_t*)s->pixels + py * s->pitch))[px];
      if (v & 0xffffff)
        out.push_back({px, py, (int)(v >> 16 & 255), (int)(v >> 8 & 255), (int)(v & 255)});
    }
  SDL_DestroyRenderer(r);
  SDL_FreeSurface(s);
  return out;
}

// Settled over `kind` at (x, y): with reduced motion the shape snaps at once.
PointerGlyph settled(int kind, float x, float y, float rotation = 0.7f) {
  PointerGlyph g;
  pointer_glyph_init(&g);
  g.rotation = rotation;
  pointer_glyph_update(&g, kFrame, kind, 0.1f, 0.3f, 0.9f, x, y, 0, true);
  return g;
}

}  // namespace

TEST(PointerGlyph, ReducedMotionSnapsTheShapeWithNoTurnAndNoSparks) {
  const struct {
    int kind;
    float rotation, arrow, lie;
  } cases[] = {{POINTER_IDLE, 0.7f, 0, 0},
               {POINTER_CANVAS, 0.7f, 0, 1},
               {POINTER_CONTROL, kPi / 4, 1, 0}};
  for (const auto& c : cases) {
    PointerGlyph g;
    pointer_glyph_init(&g);
    pointer_glyph_update(&g, kFrame, POINTER_IDLE, 0, 0, 0, 0, 0, 0, false);
    pointer_glyph_update(&g, 0, POINTER_IDLE, 0, 0, 0, 30, 0, 0, false);
    ASSERT_EQ(g.spark_count, 8);
    g.rotation = 0.7f;
    for (int i = 1; i <= 3; i++)
      pointer_glyph_update(&g, kFrame, c.kind, 0.1f, 0.3f, 0.9f, 30 + 10.0f * i, 0, i, true);
    EXPECT_NEAR(g.rotation, c.rotation, 1e-5) << c.kind;
    EXPECT_FLOAT_EQ(g.arrow, c.arrow) << c.kind;
    EXPECT_FLOAT_EQ(g.lie, c.lie) << c.kind;
    EXPECT_EQ(g.spark_count, 0) << c.kind;
  }
}

TEST(PointerGlyph, SparksEveryThreePixelsAtMostEightAFrameForALittleOverHalfASecond) {
  const struct {
    float move;
    int sparks;
    float carried;
  } cases[] = {{10, 3, 1}, {40, 8, 1}, {2, 0, 2}};
  for (const auto& c : cases) {
    PointerGlyph g;
    pointer_glyph_init(&g);
    pointer_glyph_update(&g, kFrame, POINTER_IDLE, 1, 1, 1, 5, 20, 1, false);
    pointer_glyph_update(&g, kFrame, POINTER_CANVAS, 1, 1, 1, 5 + c.move, 20, 1, false);
    ASSERT_EQ(g.spark_count, c.sparks) << c.move;
    EXPECT_NEAR(g.travel, c.carried, 1e-4) << c.move;
    for (int k = 0; k < c.sparks; k++) {  // evenly along the move, the last at the pointer
      EXPECT_NEAR(g.sparks[k].x, 5 + c.move * (k + 1) / c.sparks, 1e-4) << c.move;
      EXPECT_NEAR(g.sparks[k].phase, 2.399963f * k, 1e-4) << c.move;
    }
    pointer_glyph_update(&g, kFrame, POINTER_IDLE, 1, 1, 1, 5 + c.move, 20, 1.54, false);
    EXPECT_EQ(g.spark_count, c.sparks) << c.move;
    pointer_glyph_update(&g, kFrame, POINTER_IDLE, 1, 1, 1, 5 + c.move, 20, 1.55, false);
    EXPECT_EQ(g.spark_count, 0) << c.move;
  }
  // Eleven fast frames make 88; the trail keeps the newest 80.
  PointerGlyph g;
  pointer_glyph_init(&g);
  for (int i = 0; i < 12; i++)
    pointer_glyph_update(&g, kFrame, POINTER_IDLE, 1, 1, 1, 24.0f * i, 0, 2, false);
  ASSERT_EQ(g.spark_count, POINTER_SPARKS);
  EXPECT_NEAR(g.sparks[0].phase, 2.399963f * 8, 1e-3);
}

TEST(PointerGlyph, OverAControlItBecomesTheArrowThenLiesDownOverTheCanvas) {
  PointerGlyph g;
  pointer_glyph_init(&g);
  for (float start : {3.0f, 5.0f}) {  // back to π/4, and forward through 2π
    g.rotation = start;
    pointer_glyph_update(&g, kFrame, POINTER_CONTROL, 0.2f, 0.4f, 1, 10, 10, 0, false);
    EXPECT_EQ(g.rotation < start, start < 4) << start;
    for (int i = 0; i < 90; i++)
      pointer_glyph_update(&g, kFrame, POINTER_CONTROL, 0.2f, 0.4f, 1, 10, 10, 0, false);
    EXPECT_NEAR(g.rotation, kPi / 4, 1e-3) << start;
    EXPECT_NEAR(g.arrow, 1, 1e-3) << start;
  }
  for (int i = 0; i < 90; i++)
    pointer_glyph_update(&g, kFrame, POINTER_CANVAS, 0.2f, 0.4f, 1, 10, 10, 0, false);
  EXPECT_NEAR(g.lie, 1, 1e-3);
  EXPECT_NEAR(g.arrow, 0, 1e-3);
  EXPECT_NEAR(g.lie_g, 0.4f, 1e-3);
  EXPECT_NEAR(g.rotation, kPi / 4 + 2 * kPi / 10 * 1.5f, 1e-3) << "one turn in ten seconds";
}

TEST(PointerGlyphDraw, TheTipIsThePointerAtEveryScale) {
  const struct {
    float x, y, scale, rotation;
  } cases[] = {{30, 12, 1, 0.7f}, {30, 12, 1, 0}, {15, 6, 2, 2.5f}, {20, 8, 1.5f, 4.0f}};
  for (const auto& c : cases) {
    const std::vector<Pixel> px = render(settled(POINTER_IDLE, c.x, c.y, c.rotation), c.x, c.y,
                                         c.scale);
    ASSERT_FALSE(px.empty());
    const int tip_x = (int)(c.x * c.scale), tip_y = (int)(c.y * c.scale);
    EXPECT_EQ(px.front().y, tip_y) << c.scale << " " << c.rotation;
    bool tip = false;
    for (const Pixel& p : px) tip |= p.x == tip_x && p.y == tip_y;
    EXPECT_TRUE(tip) << c.scale << " " << c.rotation;
    EXPECT_NEAR(px.back().y - tip_y, 24 * c.scale, 3 * c.scale) << "hangs below its tip";
  }
}

TEST(PointerGlyphDraw, GoldForTheArrowTakeColouredLyingNothingUnderTheSystemCursor) {
  const int tones[4][3] = {{66, 54, 20}, {143, 117, 43}, {255, 209, 77}, {255, 228, 151}};
  int used = 0;
  const std::vector<Pixel> arrow = render(settled(POINTER_CONTROL, 40, 60), 40, 60, 1);
  ASSERT_GT(arrow.size(), 100u);
  for (const Pixel& p : arrow) {
    int k = 0;
    while (k < 4 && (std::abs(p.r - tones[k][0]) > 1 || std::abs(p.g - tones[k][1]) > 1 ||
                     std::abs(p.b - tones[k][2]) > 1))
      k++;
    ASSERT_LT(k, 4) << p.x << "," << p.y << ": " << p.r << " " << p.g << " " << p.b;
    used |= 1 << k;
  }
  EXPECT_GE(__builtin_popcount(used), 2) << "shaded through the dither";

  const std::vector<Pixel> lying = render(settled(POINTER_CANVAS, 20, 30), 20, 30, 1);
  ASSERT_GT(lying.size(), 50u);
  for (const Pixel& p : lying)
    ASSERT_TRUE(p.b > p.g && p.g > p.r) << p.x << "," << p.y << ": " << p.r << " " << p.g;

  EXPECT_TRUE(render(settled(POINTER_SYSTEM, 40, 20), 40, 20, 1).empty());

  // A spark at the pointer's old place falls and fades, and is gone after its life.
  PointerGlyph g = settled(POINTER_IDLE, 10, 10);
  pointer_glyph_update(&g, kFrame, POINTER_IDLE, 1, 1, 1, 13, 10, 0, false);
  for (double age : {0.0, 0.3, 0.56}) {
    int brightest_row = -1, brightest = 0;
    for (const Pixel& p : render(g, 80, 80, 1, age))
      if (p.y < 40 && p.r > brightest) brightest = p.r, brightest_row = p.y;
    EXPECT_EQ(brightest_row, age == 0 ? 9 : age < 0.5 ? 13 : -1) << age;
  }
}
