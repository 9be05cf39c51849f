// The draw layer filling a canvas-sized frame with leaves: 100,000 six-point polygons per frame
// into a 1120x720 software-renderer surface, with and without smooth edges, and through the
// OpenGL renderer into a window on a private X server (Mesa there: a CPU rasteriser too).
#include <benchmark/benchmark.h>

#include <SDL2/SDL.h>

#include <cmath>
#include <random>
#include <vector>

#include "ui/draw.h"
#include "ui/draw_internal.h"

#include "bench_display.h"
#include "support/soft_canvas.h"

namespace {

constexpr int kLeaves = 100000;
constexpr int kWidth = 1120, kHeight = 720;

struct Leaf {
  DrawPoint pts[6];
  DrawColour colour;
};

// Pointed leaves of 4 to 20 points, at random places, angles and colours.
std::vector<Leaf> make_leaves() {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(0, 1);
  std::vector<Leaf> leaves(kLeaves);
  const float shape[6][2] = {{0, 0}, {0.3f, -0.18f}, {0.7f, -0.2f}, {1, 0}, {0.7f, 0.2f},
                             {0.3f, 0.18f}};
  for (Leaf& l : leaves) {
    float x = u(rng) * kWidth, y = u(rng) * kHeight, len = 4 + 16 * u(rng);
    float a = u(rng) * 6.2832f, c = std::cos(a) * len, s = std::sin(a) * len;
    for (int i = 0; i < 6; i++)
      l.pts[i] = DrawPoint{x + shape[i][0] * c - shape[i][1] * s, y + shape[i][0] * s + shape[i][1] * c};
    l.colour = DrawColour{0.2f + 0.6f * u(rng), 0.5f + 0.5f * u(rng), 0.3f * u(rng), 0.85f};
  }
  return leaves;
}

void BM_DrawLeavesFrame(benchmark::State& state) {
  SoftCanvas canvas(kWidth, kHeight);
  Painter* p = canvas.p;
  SDL_Renderer* renderer = canvas.renderer;
  if (!p) {
    state.SkipWithError("no software renderer");
    return;
  }
  draw_set_smooth(p, state.range(0) != 0);
  std::vector<Leaf> leaves = make_leaves();
  for (auto _ : state) {
    SDL_SetRenderDrawColor(renderer, 8, 12, 30, 255);
    SDL_RenderClear(renderer);
    for (const Leaf& l : leaves) draw_polygon(p, l.pts, 6, l.colour);
    draw_flush(p);
    SDL_RenderFlush(renderer);
    benchmark::DoNotOptimize(canvas.surface->pixels);
  }
  state.SetItemsProcessed(state.iterations() * kLeaves);
}
BENCHMARK(BM_DrawLeavesFrame)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DrawLeavesOpenGL(benchmark::State& state) {
  BenchGlWindow gl("draw bench", kWidth, kHeight);
  if (gl.error) {
    state.SkipWithError(gl.error);
    return;
  }
  std::vector<Leaf> leaves = make_leaves();
  uint32_t pixel = 0;
  SDL_Rect one{0, 0, 1, 1};
  for (auto _ : state) {
    SDL_SetRenderDrawColor(gl.renderer, 8, 12, 30, 255);
    SDL_RenderClear(gl.renderer);
    for (const Leaf& l : leaves) draw_polygon(gl.p, l.pts, 6, l.colour);
    draw_flush(gl.p);
    // Reading a pixel waits for the GL to finish the frame.
    SDL_RenderReadPixels(gl.renderer, &one, SDL_PIXELFORMAT_ARGB8888, &pixel, 4);
    benchmark::DoNotOptimize(pixel);
  }
  state.SetItemsProcessed(state.iterations() * kLeaves);
}
BENCHMARK(BM_DrawLeavesOpenGL)->Unit(benchmark::kMillisecond)->UseRealTime();

// The layer's own share: the same leaves tessellated into the batch, which is then emptied
// instead of being rasterised.
void BM_DrawLeavesTessellate(benchmark::State& state) {
  SoftCanvas canvas(kWidth, kHeight);
  Painter* p = canvas.p;
  if (!p) {
    state.SkipWithError("no software renderer");
    return;
  }
  std::vector<Leaf> leaves = make_leaves();
  for (auto _ : state) {
    for (const Leaf& l : leaves) draw_polygon(p, l.pts, 6, l.colour);
    int v = 0;
    draw_batch_counts(p, &v, nullptr);
    benchmark::DoNotOptimize(v);
    p->nverts = p->nidx = 0;
  }
  state.SetItemsProcessed(state.iterations() * kLeaves);
}
BENCHMARK(BM_DrawLeavesTessellate)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
