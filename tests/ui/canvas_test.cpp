// The canvas: its geometry and animation as functions of the sketch, the view and the clock, and
// its rendered pixels through SDL's software renderer.
#include "ui/canvas.h"

#include <SDL2/SDL.h>
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "store/meta.h"
#include "support/soft_canvas.h"

namespace {

constexpr double kRate = 48000;

struct Sketch {
  SketchMeta meta;
  Sketch() { meta_new(&meta, kRate); }
  ~Sketch() { meta_free(&meta); }
  Layer* add(double start_s, double len_s, std::vector<float> strokes, double born = 0,
             double pinned = -1) {
    LayerTemplate t{};
    t.startSample = (int64_t)(start_s * kRate);
    t.lengthSamples = (int64_t)(len_s * kRate);
    t.sampleRate = kRate;
    t.createdAt = 1000;  // long ago: fully grown
    t.bornAt = born;
    if (pinned >= 0) {
      t.hasExplicitY = true;
      t.explicitY = pinned;
    }
    Layer* l = layer_new(&t, (int32_t)strokes.size());
    for (size_t i = 0; i < strokes.size(); i++) l->strokes[i] = strokes[i];
    meta_add_layer(&meta, l);
    meta.lengthSamples = std::max<int64_t>(meta.lengthSamples, t.startSample + t.lengthSamples);
    return l;
  }
};

// A context for a canvas of w x h at zoom z, everything still.
LeafContext still_context(float w, float h, float zoom, double now = 100) {
  LeafContext c{};
  c.W = w;
  c.H = h;
  c.zoom = zoom;
  c.centre_x = c.centre_y = 0.5f;
  c.visible_lo = -1e9f;
  c.visible_hi = 1e9f;
  c.leaf = canvas_lane_layout(h, 1).leaf;
  c.tall = h > w;
  c.minor_fade = std::clamp((zoom - 1.3f) / 1.3f, 0.0f, 1.0f);
  c.now = now;
  c.pixel_scale = 1;
  return c;
}

CanvasItem item_for(const Layer* l, const LeafContext& ctx, int stride, double now, double wall) {
  CanvasItem t{};
  t.layer = l;
  t.strokes = l->strokes;
  t.count = l->strokeCount;
  t.start = l->startSample;
  t.length = l->lengthSamples;
  t.born = l->bornAt > 0 ? l->bornAt : l->createdAt;
  t.now = l->bornAt > 0 ? now : wall;
  t.seconds = (double)l->lengthSamples / kRate;
  const LaneLayout lay = canvas_lane_layout(ctx.H, 1);
  t.y = canvas_lane_y(&lay, 0);
  t.colour = DrawColour{0.5f, 0.5f, 0.5f, 1};
  t.tone = canvas_tone(0);
  t.step = canvas_step(stride, ctx.tall);
  canvas_place(&t, (double)l->lengthSamples, ctx.W, ctx.leaf, ctx.tall);
  t.first = 0;
  t.last = t.leaves - 1;
  return t;
}

std::vector<int> drawn_leaves(const LeafContext& ctx, const CanvasItem& t) {
  std::vector<int> out;
  LeafShape s;
  for (int b = 0; b < t.leaves; b++)
    if (canvas_leaf(&ctx, &t, b, 0, false, &s)) out.push_back(b);
  return out;
}

TEST(CanvasLeaves, StrideDensityAndTheMinorLeavesOfAZoom) {
  Sketch sk;
  const Layer* l = sk.add(0, 1, std::vector<float>(30, 0.8f));
  struct Case {
    float w, h, zoom;
    int leaves;
    std::vector<int> drawn;
  } cases[] = {
      {1000, 600, 1, 10, {0, 3, 6, 9}},                       // wide, zoomed out: majors only
      {1000, 600, 4, 10, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},      // zoomed in: all of them
      {600, 1000, 1, 8, {0, 3, 6}},                            // tall: step 4
  };
  for (const Case& c : cases) {
    LeafContext ctx = still_context(c.w, c.h, c.zoom);
    CanvasItem t = item_for(l, ctx, 3, 100, 5000);
    EXPECT_EQ(t.leaves, c.leaves) << c.w << "x" << c.h;
    EXPECT_EQ(drawn_leaves(ctx, t), c.drawn) << c.w << "x" << c.h << " zoom " << c.zoom;
  }
}

TEST(CanvasLeaves, TallCanvasHangsOddLeavesAThirdAsDeepAndSilenceDrawsNothing) {
  Sketch sk;
  const Layer* loud = sk.add(0, 1, std::vector<float>(30, 0.9f));
  const Layer* silent = sk.add(0, 1, std::vector<float>(30, 0.0f));
  LeafContext ctx = still_context(600, 1000, 1);
  ctx.clock = 0;  // the breeze at rest
  CanvasItem t = item_for(loud, ctx, 3, 100, 5000);
  LeafShape even, odd;
  ASSERT_TRUE(canvas_leaf(&ctx, &t, 0, 0, false, &even));
  ASSERT_TRUE(canvas_leaf(&ctx, &t, 3, 0, false, &odd));  // major and odd
  const float up = t.y - even.tip.y, down = odd.tip.y - t.y;
  EXPECT_GT(up, 0);
  EXPECT_NEAR(down, up / 3, up * 0.05f);

  CanvasItem quiet = item_for(silent, ctx, 3, 100, 5000);
  EXPECT_TRUE(drawn_leaves(ctx, quiet).empty());
}

TEST(CanvasLeaves, AGroupOfLeavesTooCloseToTellApartStandsAtItsLoudestStroke) {
  Sketch sk;
  std::vector<float> strokes(60, 0.0f);
  strokes[13] = 1.0f;  // inside the group that starts at leaf 3 (stroke 9), six leaves wide
  const Layer* l = sk.add(0, 1, strokes);
  LeafContext ctx = still_context(1000, 600, 1);
  CanvasItem t = item_for(l, ctx, 3, 100, 5000);
  LeafShape s;
  EXPECT_FALSE(canvas_leaf(&ctx, &t, 3, 0, false, &s));  // alone, leaf 3's own stroke is silent
  t.group = 6;
  ASSERT_TRUE(canvas_leaf(&ctx, &t, 3, 0, false, &s));
  EXPECT_NEAR(s.height, ctx.leaf, 1e-3);
  EXPECT_FALSE(canvas_leaf(&ctx, &t, 9, 0, false, &s));  // the next group is silent
}

TEST(CanvasLanes, OverlapsStackAndAPinnedHeightStandsApart) {
  Sketch sk;
  sk.add(0, 2, {0.5f});
  sk.add(1, 2, {0.5f});
  sk.add(4, 1, {0.5f});
  sk.add(0.5, 3, {0.5f}, 0, 0.25);
  CanvasLanes lanes{};
  ASSERT_EQ(canvas_lanes(&lanes, &sk.meta), 0);
  EXPECT_EQ(std::vector<int>(lanes.lane, lanes.lane + 4), (std::vector<int>{0, 1, 0, -1}));
  EXPECT_EQ(lanes.count, 2);
  canvas_lanes_free(&lanes);

  // Lanes climb by a quarter leaf from below the middle.
  const LaneLayout one = canvas_lane_layout(600, 1), three = canvas_lane_layout(600, 3);
  EXPECT_FLOAT_EQ(one.leaf, 100);
  EXPECT_FLOAT_EQ(canvas_lane_y(&one, 0), 300);
  EXPECT_FLOAT_EQ(canvas_lane_y(&three, 0) - canvas_lane_y(&three, 2), 2 * three.spacing);
  EXPECT_FLOAT_EQ(canvas_lane_y(&three, -1), 300);
}

TEST(CanvasAnimation, LandingBandCrossesAndFreshLeavesRegrow) {
  // The band's peak runs from the left end to the right within the flash's 0.48 s.
  double left_peak = -1, right_peak = -1;
  for (int i = 0; i <= 480; i++) {
    const double t = i / 1000.0;
    if (left_peak < 0 && canvas_flash_glow(0.0, t) > 0.99) left_peak = t;
    if (right_peak < 0 && canvas_flash_glow(1.0, t) > 0.99) right_peak = t;
  }
  EXPECT_GE(left_peak, 0);
  EXPECT_GT(right_peak, left_peak);
  EXPECT_LT(right_peak, CANVAS_FLASH_TIME);
  EXPECT_EQ(canvas_flash_glow(1.0, CANVAS_FLASH_TIME + 0.2), 0);

  // A take born now: its last leaf starts flat and is full height 4 s later.
  Sketch sk;
  const double born = 50;
  const Layer* l = sk.add(0, 1, std::vector<float>(28, 1.0f), born);  // leaf 9 is the last stroke
  LeafContext ctx = still_context(1000, 600, 4);
  double heights[3];
  const double ages[3] = {0.05, 2, 4};
  for (int i = 0; i < 3; i++) {
    ctx.now = born + ages[i];
    CanvasItem t = item_for(l, ctx, 3, ctx.now, 0);
    LeafShape s;
    heights[i] = canvas_leaf(&ctx, &t, 9, 0, false, &s) ? s.height : 0;
  }
  EXPECT_LT(heights[0], 0.06 * ctx.leaf);
  EXPECT_GT(heights[1], heights[0]);
  EXPECT_NEAR(heights[2], ctx.leaf, 1e-3);
}

TEST(CanvasAnimation, LiveLeavesSpringUnlessMotionIsReduced) {
  std::vector<float> strokes(12, 0.5f);
  CanvasItem t{};
  t.strokes = strokes.data();
  t.count = 12;
  t.peak = 0.5f;
  t.live = true;
  t.born = t.now = 100;
  t.seconds = 12 / 187.5;
  t.colour = DrawColour{1, 0, 0, 1};
  t.tone = 0.3f;
  LeafContext ctx = still_context(1000, 600, 1, 100);
  t.step = 3;
  t.length = 12 * 256;
  canvas_place(&t, 48000, ctx.W, ctx.leaf, false);
  LeafShape s;
  EXPECT_FALSE(canvas_leaf(&ctx, &t, 3, 100.0, false, &s));  // just arrived: not yet up
  ASSERT_TRUE(canvas_leaf(&ctx, &t, 3, 99.9, false, &s));
  const float rising = s.height;
  ASSERT_TRUE(canvas_leaf(&ctx, &t, 3, 99.0, false, &s));
  EXPECT_LT(rising, s.height * 1.3f);
  const float settled = s.height;
  ctx.reduced_motion = true;
  ASSERT_TRUE(canvas_leaf(&ctx, &t, 3, 100.0, false, &s));
  EXPECT_FLOAT_EQ(s.height, settled);
  EXPECT_NEAR(settled, ctx.leaf, 1e-3);  // E = stroke over the running peak
}

TEST(CanvasAnimation, SpringAndFreshnessCurves) {
  EXPECT_EQ(canvas_spring(0), 0);
  EXPECT_EQ(canvas_spring(0.6), 1);
  double peak = 0;
  for (double t = 0; t < 0.6; t += 0.005) peak = std::max(peak, canvas_spring(t));
  EXPECT_GT(peak, 1.05);  // it overshoots
  EXPECT_EQ(canvas_freshness(-1), 1);
  EXPECT_NEAR(canvas_freshness(2), 0.125, 1e-12);
  EXPECT_EQ(canvas_freshness(4), 0);
}

TEST(CanvasLiveRing, StrokeTimesInterpolateAndRestart) {
  LiveRing r{};
  int32_t spawned = 7;
  live_ring_update(&r, 1000, 0, 10.0, &spawned);
  EXPECT_EQ(spawned, -1);
  live_ring_update(&r, 1000, 4, 10.1, &spawned);
  live_ring_update(&r, 1000, 8, 10.2, &spawned);
  struct {
    int e;
    double want;
  } cases[] = {{-1, -1e9}, {0, 10.0 - CANVAS_TICK + 0.25 * (10.1 - (10.0 - CANVAS_TICK))},
               {5, 10.1 + 2 * 0.025}, {8, 10.3}, {20, 10.3}};
  for (auto& c : cases) EXPECT_NEAR(live_ring_time(&r, c.e, 10.3), c.want, 1e-9) << c.e;

  // A long gap: strokes before the last 64 count as spawned, and are long grown.
  live_ring_update(&r, 1000, 200, 11.0, &spawned);
  EXPECT_EQ(spawned, 200 - 65);
  EXPECT_EQ(live_ring_time(&r, 100, 11.0), -1e9);
  // A new take restarts.
  live_ring_update(&r, 5000, 3, 12.0, &spawned);
  EXPECT_EQ(spawned, -1);
  EXPECT_EQ(r.index[0], 0);
  // The ring never holds more than its size.
  for (int i = 1; i <= 100; i++) live_ring_update(&r, 5000, 3 + i, 12.0 + i * 0.01, &spawned);
  EXPECT_LE(r.count, CANVAS_RING);
  EXPECT_EQ(r.index[r.count - 1], 103);
}

TEST(CanvasBrush, AJumpLeavesLeavesStillWhilePlayingBendsAndLightsThem) {
  float profile[CANVAS_COLUMNS];
  for (float& v : profile) v = 0.5f;
  BrushField b;
  brush_init(&b, 0.15f, 0.961f);
  double now = 0;
  brush_step(&b, profile, 0.1, now);
  b.reset = true;  // a click far away
  brush_step(&b, profile, 0.6, now += CANVAS_TICK);
  for (int i = 0; i < 10; i++) brush_step(&b, profile, 0.6, now += CANVAS_TICK);
  for (int k = 30; k < 140; k++) EXPECT_EQ(b.x[k], 0) << k;  // nothing it jumped over moved

  // Playing sweeps a column or so a tick: the swept columns bend and light up.
  for (int i = 1; i <= 24; i++) brush_step(&b, profile, 0.6 + i * 0.004, now += CANVAS_TICK);
  EXPECT_GT(brush_max_displacement(&b), 0.1f);
  float lit = 0;
  for (int k = 144; k < 168; k++) lit = std::max(lit, b.l[k]);
  EXPECT_GT(lit, 0.01f);
  for (int k = 30; k < 140; k++) EXPECT_EQ(b.x[k], 0) << k;
}

TEST(CanvasNoise, ValueNoiseIsSmoothAndZeroOnTheGrid) {
  for (int i = -3; i < 4; i++) EXPECT_NEAR(canvas_noise(i), 0, 1e-12);
  for (double q = -2; q < 2; q += 0.01) {
    EXPECT_LE(std::fabs(canvas_noise(q)), 1.0);
    EXPECT_LT(std::fabs(canvas_noise(q + 0.001) - canvas_noise(q)), 0.01);
  }
}

// --- Pixels ------------------------------------------------------------------------------------

struct Screen : SoftCanvas {
  Screen(int w, int h) : SoftCanvas(w, h) {}
  std::vector<uint32_t> pixels() {
    SDL_RenderFlush(renderer);
    std::vector<uint32_t> out;
    for (int y = 0; y < surface->h; y++) {
      const uint32_t* row = (const uint32_t*)((const uint8_t*)surface->pixels + y * surface->pitch);
      out.insert(out.end(), row, row + surface->w);
    }
    return out;
  }
};

int sum_rgb(uint32_t v) { return (int)(v >> 16 & 255) + (int)(v >> 8 & 255) + (int)(v & 255); }

// Rows where a column band differs from the sky alone (a leaf's reach), and the band's total
// brightness. Quiet leaves are faint: the threshold is low.
int lit_rows(const std::vector<uint32_t>& shot, const std::vector<uint32_t>& sky, int w, int x0,
             int x1) {
  int rows = 0;
  for (size_t y = 0; y < shot.size() / (size_t)w; y++)
    for (int x = x0; x < x1; x++)
      if (std::abs(sum_rgb(shot[y * w + x]) - sum_rgb(sky[y * w + x])) > 10) {
        rows++;
        break;
      }
  return rows;
}

long brightness(const std::vector<uint32_t>& shot, int w, int x0, int x1) {
  long total = 0;
  for (size_t y = 0; y < shot.size() / (size_t)w; y++)
    for (int x = x0; x < x1; x++) total += sum_rgb(shot[y * w + x]);
  return total;
};

CanvasInput input_for(const SketchMeta* meta, double now) {
  CanvasInput in{};
  in.meta = meta;
  in.rate = kRate;
  in.span = (double)meta->lengthSamples / kRate;
  in.triangle_stride = 3;
  in.reduced_motion = true;  // no sky drift, leaves at once
  in.accent = DrawColour{0.2f, 0.9f, 0.3f, 1};
  in.now = now;
  in.wall = 1e9;
  return in;
}

// One frame of a canvas over a black screen.
std::vector<uint32_t> frame(Screen& s, const SketchMeta* meta, double born_at, double now) {
  Canvas* c = canvas_new(s.p);
  CanvasInput in = input_for(meta, born_at > 0 ? born_at + 0.001 : now);
  const DrawRect rect{0, 0, (float)s.surface->w, (float)s.surface->h};
  canvas_tick(c, &in);
  canvas_render(c, &in, rect);  // a fresh take's flash is registered here
  in.now = now;
  canvas_rebuild(c);
  canvas_render(c, &in, rect);
  SDL_SetRenderDrawColor(s.renderer, 0, 0, 0, 255);
  SDL_RenderClear(s.renderer);
  canvas_draw(c, &in, rect);
  draw_flush(s.p);
  canvas_free(c);
  return s.pixels();
}

TEST(CanvasPixels, LeavesStandWhereTheTakeIsAndTallerWhereItIsLouder) {
  Screen s(400, 300);
  ASSERT_NE(s.p, nullptr);
  Sketch sky_only, sk;
  sky_only.meta.lengthSamples = (int64_t)(8 * kRate);
  // Quiet over the first quarter of the sketch, loud over the second; the rest is empty.
  std::vector<float> strokes(120, 0.2f);
  for (int i = 60; i < 120; i++) strokes[i] = 1.0f;
  sk.add(0, 4, strokes);
  sk.meta.lengthSamples = (int64_t)(8 * kRate);
  const auto sky = frame(s, &sky_only.meta, 0, 10), shot = frame(s, &sk.meta, 0, 10);
  const int quiet = lit_rows(shot, sky, 400, 20, 90), loud = lit_rows(shot, sky, 400, 110, 190),
            empty = lit_rows(shot, sky, 400, 230, 390);
  EXPECT_GT(quiet, 5);
  EXPECT_GT(loud, 2 * quiet);
  EXPECT_EQ(empty, 0);
}

TEST(CanvasPixels, TheLandingFlashBrightensTheColumnsItCrosses) {
  Screen s(400, 300);
  Sketch sk;
  const double born = 20;
  sk.add(0, 8, std::vector<float>(240, 0.6f), born);
  // The band over the take's middle, against the same columns once it has passed.
  const double mid = (0.5 + 0.36) * 0.3 / 1.72;
  const auto during = frame(s, &sk.meta, born, born + mid);
  const auto after = frame(s, &sk.meta, born, born + 0.6);
  const long lit_mid = brightness(during, 400, 190, 210), calm_mid = brightness(after, 400, 190, 210);
  const long lit_end = brightness(during, 400, 360, 380), calm_end = brightness(after, 400, 360, 380);
  EXPECT_GT(lit_mid, calm_mid * 11 / 10);
  EXPECT_LT(std::abs(lit_end - calm_end), calm_end / 20 + 1);
}

}  // namespace
