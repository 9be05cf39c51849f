// The sky: its state machine (lean, meteors, rocks, debris) directly, and its pictures through
// SDL's software renderer over a plain surface.
#include "ui/sky.h"

#include <SDL2/SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/soft_canvas.h"

namespace {

const DrawColour kTheme{0.3f, 0.9f, 0.7f, 1};
constexpr double kFrame = 1.0 / 60;

struct Canvas : SoftCanvas {
  int w, h;
  Canvas(int width, int height) : SoftCanvas(width, height), w(width), h(height) {}
  DrawRect rect() const { return DrawRect{0, 0, (float)w, (float)h}; }
  void paint(Sky* sky, double clock, unsigned layers = SKY_LAYER_ALL) {
    SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
    SDL_RenderClear(renderer);
    sky_paint_layers(sky, p, rect(), 0.5f, 0.5f, clock, kTheme, layers);
    draw_flush(p);
    SDL_RenderFlush(renderer);
  }
  // Sum of the three channels at a pixel.
  int light(int x, int y) const {
    uint32_t v = ((const uint32_t*)((const uint8_t*)surface->pixels + y * surface->pitch))[x];
    return (int)(v >> 16 & 255) + (int)(v >> 8 & 255) + (int)(v & 255);
  }
  std::vector<uint8_t> pixels() const {
    const uint8_t* b = (const uint8_t*)surface->pixels;
    return std::vector<uint8_t>(b, b + (size_t)surface->pitch * h);
  }
  // Light-weighted x centre of a box; the total light in *mass.
  float centroid_x(int x0, int y0, int x1, int y1, double* mass) const {
    double sum = 0, sx = 0;
    for (int y = std::max(0, y0); y < std::min(h, y1); y++)
      for (int x = std::max(0, x0); x < std::min(w, x1); x++) {
        sum += light(x, y);
        sx += (double)light(x, y) * x;
      }
    *mass = sum;
    return sum > 0 ? (float)(sx / sum) : -1;
  }
};

std::unique_ptr<Sky> fresh_sky() {
  std::unique_ptr<Sky> sky(new Sky);
  sky_init(sky.get());
  return sky;
}

// Steps at 60 frames a second from `from` to `to`.
void run(Sky* sky, DrawRect rect, double from, double to) {
  for (double t = from; t <= to + 1e-9; t += kFrame) sky_step(sky, rect, t);
}

float scale_of(float w, float h) { return std::clamp(std::min(w, h) / 720.0f, 0.6f, 1.7f); }

// The biggest rock (its index), and a clock from `start` on at which it is well inside a w x h
// canvas with no other sizeable rock within `clear` px, so a meteor sees it alone.
int lonely_big_rock(float w, float h, double start, float clear, double* clock) {
  int big = 0;
  SkyRock r;
  float best = -1;
  for (int i = 0; i < SKY_ROCKS; i++) {
    sky_rock(nullptr, i, 1, w, h, &r);
    if (r.depth > best) best = r.depth, big = i;
  }
  for (double t = start; t < start + 4000; t += 1.3) {
    SkyRock b;
    sky_rock(nullptr, big, t, w, h, &b);
    if (b.x < 250 || b.x > w - 250 || b.y < 120 || b.y > h - 120) continue;
    bool alone = true;
    for (int i = 0; i < SKY_ROCKS && alone; i++) {
      if (i == big) continue;
      sky_rock(nullptr, i, t, w, h, &r);
      alone = std::hypot(r.x - b.x, r.y - b.y) > clear + r.size;
    }
    if (alone) {
      *clock = t;
      return big;
    }
  }
  return -1;
}

// --- Pure pieces ---------------------------------------------------------------------------------

TEST(SkyStars, BandsHaveTheirCountsDepthsAndRanges) {
  auto sky = fresh_sky();
  struct Band {
    int first, count;
    float depth, b_lo, b_hi, s_lo, s_hi;
  };
  const Band bands[] = {{0, 90, 0.25f, 0.3f, 0.65f, 0.5f, 0.9f},
                        {90, 55, 0.55f, 0.45f, 0.85f, 0.7f, 1.2f},
                        {145, 28, 0.88f, 0.6f, 1.0f, 1.0f, 1.7f}};
  for (const Band& b : bands) {
    float bmin = 9, bmax = -9;
    for (int i = b.first; i < b.first + b.count; i++) {
      const SkyStar& s = sky->stars[i];
      EXPECT_FLOAT_EQ(s.depth, b.depth) << i;
      EXPECT_GE(s.brightness, b.b_lo) << i;
      EXPECT_LT(s.brightness, b.b_hi) << i;
      EXPECT_GE(s.size, b.s_lo) << i;
      EXPECT_LT(s.size, b.s_hi) << i;
      EXPECT_TRUE(s.x >= 0 && s.x < 1 && s.y >= 0 && s.y < 1) << i;
      bmin = std::min(bmin, s.brightness);
      bmax = std::max(bmax, s.brightness);
    }
    // Spread over the range, not stuck at one value.
    EXPECT_GT(bmax - bmin, 0.5f * (b.b_hi - b.b_lo)) << b.depth;
  }
  // Generated once from a fixed state: a second field is the same.
  auto again = fresh_sky();
  EXPECT_EQ(std::memcmp(sky->stars, again->stars, sizeof sky->stars), 0);
}

TEST(SkyNoise, ZeroOnTheLatticeBoundedAndDeterministic) {
  // The gradient noise vanishes at whole coordinates; with one octave so does the sum.
  for (int i = -3; i <= 3; i++) EXPECT_FLOAT_EQ(sky_noise((float)i, (float)(2 * i), 911, 1), 0);
  float lo = 9, hi = -9;
  for (int i = 0; i < 4000; i++) {
    float x = 0.173f * i - 300, y = 0.311f * i + 20;
    float n = sky_noise(x, y, 101, 4);
    ASSERT_EQ(n, sky_noise(x, y, 101, 4));
    lo = std::min(lo, n);
    hi = std::max(hi, n);
  }
  EXPECT_GE(lo, -1.42f);
  EXPECT_LE(hi, 1.42f);
  EXPECT_LT(lo, -0.3f);
  EXPECT_GT(hi, 0.3f);
  EXPECT_NE(sky_hash(1), sky_hash(2));
}

// --- Reduced motion --------------------------------------------------------------------------------

TEST(SkyStill, ClockZeroFreezesEverything) {
  Canvas c(320, 240);
  ASSERT_NE(c.p, nullptr);
  auto sky = fresh_sky();
  sky_set_lean_target(sky.get(), 1, -1);
  // A meteor in flight is stopped too.
  ASSERT_GE(sky_spawn_meteor(sky.get(), 10, 10, 200, 0), 0);
  for (int i = 0; i < 600; i++) sky_step(sky.get(), c.rect(), 0);
  float lx = 1, ly = 1;
  sky_lean(sky.get(), &lx, &ly);
  EXPECT_EQ(lx, 0);
  EXPECT_EQ(ly, 0);
  EXPECT_EQ(sky_active_meteors(sky.get()), 0);
  c.paint(sky.get(), 0);
  std::vector<uint8_t> first = c.pixels();
  for (int i = 0; i < 100; i++) sky_step(sky.get(), c.rect(), 0);
  c.paint(sky.get(), 0);
  EXPECT_TRUE(first == c.pixels());
  EXPECT_EQ(sky_active_meteors(sky.get()), 0);
}

// --- Gas -------------------------------------------------------------------------------------------

TEST(SkyGas, NarrowCanvasStillGetsAColumn) {
  Canvas c(20, 720);
  ASSERT_NE(c.p, nullptr);
  auto sky = fresh_sky();
  c.paint(sky.get(), 500, SKY_LAYER_GAS);
  for (int x = 0; x < c.w; x++) {
    int lit = 0;
    for (int y = 0; y < c.h; y++) lit += c.light(x, y) > 0;
    EXPECT_GT(lit, 20) << "column " << x;
  }
}

// The horizontal shift that best maps picture a onto picture b (b(x) ~ a(x - shift)).
int best_shift(const Canvas& a, const std::vector<uint8_t>& b_pixels, int range) {
  auto at = [&](const uint8_t* px, int x, int y) {
    uint32_t v = ((const uint32_t*)(px + y * a.surface->pitch))[x];
    return (int)(v >> 16 & 255) + (int)(v >> 8 & 255) + (int)(v & 255);
  };
  const uint8_t* pa = (const uint8_t*)a.surface->pixels;
  int best = 0;
  double best_err = 1e300;
  for (int s = -range; s <= range; s++) {
    double err = 0;
    for (int y = 0; y < a.h; y += 3)
      for (int x = range; x < a.w - range; x++) {
        double d = at(pa, x - s, y) - at(b_pixels.data(), x, y);
        err += d * d;
      }
    if (err < best_err) best_err = err, best = s;
  }
  return best;
}

// --- Lean ------------------------------------------------------------------------------------------

TEST(SkyLean, FullLeanMovesEachLayerByItsDepth) {
  struct Case {
    float w, h, k;
  };
  const Case cases[] = {{1120, 720, 1.0f}, {2560, 1440, 1.7f}, {300, 200, 0.6f}, {900, 540, 0.75f}};
  for (const Case& cs : cases) {
    auto sky = fresh_sky();
    sky_set_lean_target(sky.get(), 1, 0);
    run(sky.get(), DrawRect{0, 0, cs.w, cs.h}, 10, 14);
    float lx = 0, ly = 1;
    sky_lean(sky.get(), &lx, &ly);
    EXPECT_NEAR(lx, 1, 1e-3) << cs.w;
    EXPECT_NEAR(ly, 0, 1e-6) << cs.w;
    EXPECT_NEAR(scale_of(cs.w, cs.h), cs.k, 1e-6);
    EXPECT_NEAR(-46 * sky_depth_factor(SKY_LAYER_ROCKS, cs.w, cs.h, 0) * lx, -39.1f * cs.k, 0.1f);
    EXPECT_NEAR(-46 * sky_depth_factor(SKY_LAYER_GAS, cs.w, cs.h, 0) * lx, -4.6f, 0.01f);
  }
  // Letting go eases back to the middle.
  auto sky = fresh_sky();
  sky_set_lean_target(sky.get(), 5, -5);  // clamped to 1, -1
  run(sky.get(), DrawRect{0, 0, 800, 600}, 1, 5);
  float lx = 0, ly = 0;
  sky_lean(sky.get(), &lx, &ly);
  EXPECT_NEAR(lx, 1, 1e-3);
  EXPECT_NEAR(ly, -1, 1e-3);
  sky_set_lean_target(sky.get(), 0, 0);
  run(sky.get(), DrawRect{0, 0, 800, 600}, 5, 5.2);
  sky_lean(sky.get(), &lx, &ly);
  EXPECT_GT(lx, 0.3f);  // eased, not snapped
  run(sky.get(), DrawRect{0, 0, 800, 600}, 5.2, 9);
  sky_lean(sky.get(), &lx, &ly);
  EXPECT_NEAR(lx, 0, 1e-3);
}

TEST(SkyLean, PictureMovesGasAndRocksByTheirDepths) {
  Canvas still(1120, 720), leaning(1120, 720);
  ASSERT_NE(still.p, nullptr);
  ASSERT_NE(leaning.p, nullptr);
  double t = 0;
  int big = lonely_big_rock(1120, 720, 100, 90, &t);
  ASSERT_GE(big, 0);
  auto a = fresh_sky(), b = fresh_sky();
  sky_set_lean_target(b.get(), 1, 0);
  run(a.get(), still.rect(), t - 4, t);
  run(b.get(), still.rect(), t - 4, t);

  still.paint(a.get(), t, SKY_LAYER_GAS);
  leaning.paint(b.get(), t, SKY_LAYER_GAS);
  int shift = best_shift(still, leaning.pixels(), 8);
  EXPECT_TRUE(shift == -4 || shift == -5) << shift;

  SkyRock r;
  sky_rock(a.get(), big, t, 1120, 720, &r);
  ASSERT_FALSE(r.destroyed);
  still.paint(a.get(), t, SKY_LAYER_ROCKS);
  leaning.paint(b.get(), t, SKY_LAYER_ROCKS);
  int half = (int)r.size + 4, x = (int)r.x, y = (int)r.y, moved = (int)std::lround(-39.1f);
  double m0 = 0, m1 = 0;
  float c0 = still.centroid_x(x - half, y - half, x + half, y + half, &m0);
  float c1 = leaning.centroid_x(x + moved - half, y - half, x + moved + half, y + half, &m1);
  EXPECT_GT(m0, 0);
  EXPECT_NEAR(m1, m0, 0.05 * m0);
  EXPECT_NEAR(c1 - c0, -39.1f, 1.0f);
}

// --- Meteors and rocks ---------------------------------------------------------------------------

TEST(SkyMeteors, HitOrBendAroundABigRock) {
  const float w = 1120, h = 720;
  const DrawRect rect{0, 0, w, h};
  double t0 = 0;
  int big = lonely_big_rock(w, h, 300, 140, &t0);
  ASSERT_GE(big, 0);
  SkyRock rock;
  sky_rock(nullptr, big, t0, w, h, &rock);
  struct Case {
    const char* name;
    float dy;  // the meteor's start height against the rock's centre
    bool hits;
  };
  const Case cases[] = {{"dead centre", 0, true},
                        {"passes above", -(3 * rock.size + 26), false},
                        {"passes below", 3 * rock.size + 26, false}};
  for (const Case& cs : cases) {
    auto sky = fresh_sky();
    sky_step(sky.get(), rect, t0);
    ASSERT_EQ(sky_spawn_meteor(sky.get(), rock.x - 160, rock.y + cs.dy, 420, 0), 0);
    double t = t0;
    float vy = 0, x = 0;
    for (int i = 0; i < 36 && sky_active_meteors(sky.get()); i++) {
      t += kFrame;
      sky_step(sky.get(), rect, t);
      vy = sky->meteors[0].vy;
      x = sky->meteors[0].x;
    }
    SkyRock now;
    sky_rock(sky.get(), big, t, w, h, &now);
    if (cs.hits) {
      EXPECT_EQ(sky_active_meteors(sky.get()), 0) << cs.name;
      EXPECT_EQ(sky_active_debris(sky.get()), 7) << cs.name;
      EXPECT_TRUE(now.destroyed) << cs.name;
      EXPECT_TRUE(sky->flashes[0].active) << cs.name;
      // Gone from the picture, and stays gone for the rest of the crossing.
      Canvas c((int)w, (int)h);
      c.paint(sky.get(), t, SKY_LAYER_ROCKS);
      double mass = 0;
      int half = (int)rock.size + 3;
      c.centroid_x((int)now.x - half, (int)now.y - half, (int)now.x + half, (int)now.y + half, &mass);
      EXPECT_EQ(mass, 0) << cs.name;
      // The cycle ends when phase / period + 0.23 i reaches the next whole number.
      double period = 5.0 * (big % 3) + 110 - 60 * now.depth;
      double end = ((double)now.cycle + 1 - 0.23 * big) * period;
      SkyRock before, after;
      sky_rock(sky.get(), big, end - 0.05, w, h, &before);
      sky_rock(sky.get(), big, end + 0.05, w, h, &after);
      EXPECT_TRUE(before.destroyed) << cs.name;
      EXPECT_EQ(before.cycle, now.cycle);
      EXPECT_FALSE(after.destroyed) << cs.name;
      EXPECT_EQ(after.cycle, now.cycle + 1);
      sky->spawn_timer = 1e9f;  // no new meteors to make new debris
      run(sky.get(), rect, t + kFrame, t + 3.6);  // debris burns out
      EXPECT_EQ(sky_active_debris(sky.get()), 0);
    } else {
      EXPECT_EQ(sky_active_meteors(sky.get()), 1) << cs.name;
      EXPECT_GT(x, rock.x + 40) << cs.name;  // went past
      EXPECT_FALSE(now.destroyed) << cs.name;
      EXPECT_EQ(sky_active_debris(sky.get()), 0) << cs.name;
      // Bent toward the rock: downward when passing above, upward when below.
      EXPECT_GT(vy * (cs.dy < 0 ? 1 : -1), 10) << cs.name << " vy " << vy;
    }
  }
}

TEST(SkyMeteors, SpawnFromTheEdgesAtMostThreeAndLeave) {
  auto sky = fresh_sky();
  const DrawRect rect{0, 0, 1120, 720};
  int most = 0;
  for (double t = 50; t < 170; t += kFrame) {
    sky_step(sky.get(), rect, t);
    most = std::max(most, sky_active_meteors(sky.get()));
    for (const SkyMeteor& m : sky->meteors) {
      if (!m.active) continue;
      ASSERT_TRUE(m.x >= -80 && m.x <= 1200 && m.y >= -80 && m.y <= 800) << m.x << "," << m.y;
    }
  }
  // One every 2.5..6.5 s over two minutes.
  EXPECT_GE(sky->spawn_count, 120u / 7);
  EXPECT_LE(sky->spawn_count, 120u / 2);
  EXPECT_GE(most, 1);
  EXPECT_LE(most, SKY_METEORS);
  // Slots run out at three.
  auto full = fresh_sky();
  for (int i = 0; i < SKY_METEORS; i++) EXPECT_EQ(sky_spawn_meteor(full.get(), 100, 100, 1, 0), i);
  EXPECT_EQ(sky_spawn_meteor(full.get(), 100, 100, 1, 0), -1);
}

// --- Determinism -----------------------------------------------------------------------------------

TEST(SkyPicture, SameClockSamePictureOnFreshSkies) {
  Canvas c(640, 400);
  ASSERT_NE(c.p, nullptr);
  auto a = fresh_sky(), b = fresh_sky();
  // Long enough for meteors, hits and debris to be part of the picture.
  run(a.get(), c.rect(), 200, 230);
  run(b.get(), c.rect(), 200, 230);
  c.paint(a.get(), 230);
  std::vector<uint8_t> first = c.pixels();
  c.paint(b.get(), 230);
  EXPECT_TRUE(first == c.pixels());
  // And the sky does move: a later clock differs.
  run(b.get(), c.rect(), 230 + kFrame, 231);
  c.paint(b.get(), 231);
  EXPECT_FALSE(first == c.pixels());
  // Every layer draws something on its own.
  for (unsigned layer = SKY_LAYER_GAS; layer <= SKY_LAYER_ROCKS; layer <<= 1) {
    c.paint(a.get(), 230, layer);
    long total = 0;
    for (int y = 0; y < c.h; y += 2)
      for (int x = 0; x < c.w; x += 2) total += c.light(x, y);
    EXPECT_GT(total, 0) << "layer " << layer;
  }
}

}  // namespace
