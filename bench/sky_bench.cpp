// The sky behind the canvas, one frame per iteration (step and paint, the clock advancing by
// 1/60 s): on the software renderer at 1120x720 and 2560x1440, the gas grid on its own (the
// biggest share), the step on its own, and through OpenGL into a window on a private X server.
#include <benchmark/benchmark.h>

#include <SDL2/SDL.h>

#include <cstdlib>
#include <memory>

#include "ui/draw.h"
#include "ui/sky.h"

#include "bench_display.h"
#include "support/soft_canvas.h"

namespace {

const DrawColour kTheme{0.3f, 0.9f, 0.7f, 1};

// A sky that has run for a while, so meteors and debris are part of the picture.
std::unique_ptr<Sky> warm_sky(DrawRect rect, double* clock) {
  std::unique_ptr<Sky> sky(new Sky);
  sky_init(sky.get());
  sky_set_lean_target(sky.get(), 0.4f, -0.2f);
  for (double t = 600; t < 660; t += 1.0 / 60) sky_step(sky.get(), rect, t);
  *clock = 660;
  return sky;
}

void sky_frames(benchmark::State& state, SDL_Renderer* renderer, Painter* p, DrawRect rect,
                unsigned layers, bool read_back) {
  double clock = 0;
  std::unique_ptr<Sky> sky = warm_sky(rect, &clock);
  uint32_t pixel = 0;
  SDL_Rect one{0, 0, 1, 1};
  for (auto _ : state) {
    clock += 1.0 / 60;
    SDL_SetRenderDrawColor(renderer, 6, 8, 20, 255);
    SDL_RenderClear(renderer);
    sky_step(sky.get(), rect, clock);
    sky_paint_layers(sky.get(), p, rect, 0.47f, 0.52f, clock, kTheme, layers);
    draw_flush(p);
    // Reading a pixel waits for the GL to finish the frame.
    if (read_back) SDL_RenderReadPixels(renderer, &one, SDL_PIXELFORMAT_ARGB8888, &pixel, 4);
    SDL_RenderFlush(renderer);
    benchmark::DoNotOptimize(pixel);
  }
}

void BM_SkyFrameSoftware(benchmark::State& state) {
  int w = (int)state.range(0), h = (int)state.range(1);
  SoftCanvas canvas(w, h);
  if (!canvas.p) {
    state.SkipWithError("no software renderer");
    return;
  }
  sky_frames(state, canvas.renderer, canvas.p, DrawRect{0, 0, (float)w, (float)h},
             (unsigned)state.range(2), false);
}
BENCHMARK(BM_SkyFrameSoftware)
    ->Args({1120, 720, SKY_LAYER_ALL})
    ->Args({2560, 1440, SKY_LAYER_ALL})
    ->Args({1120, 720, SKY_LAYER_GAS})
    ->Args({2560, 1440, SKY_LAYER_GAS})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The state alone: lean, rocks, meteor sub-steps, debris.
void BM_SkyStep(benchmark::State& state) {
  DrawRect rect{0, 0, 1120, 720};
  double clock = 0;
  std::unique_ptr<Sky> sky = warm_sky(rect, &clock);
  for (auto _ : state) {
    clock += 1.0 / 60;
    sky_step(sky.get(), rect, clock);
    benchmark::DoNotOptimize(sky->meteors[0].x);
  }
}
BENCHMARK(BM_SkyStep)->Unit(benchmark::kMicrosecond);

void BM_SkyFrameOpenGL(benchmark::State& state) {
  int w = (int)state.range(0), h = (int)state.range(1);
  BenchGlWindow gl("sky bench", w, h);
  if (gl.error) {
    state.SkipWithError(gl.error);
    return;
  }
  sky_frames(state, gl.renderer, gl.p, DrawRect{0, 0, (float)w, (float)h}, SKY_LAYER_ALL, true);
}
BENCHMARK(BM_SkyFrameOpenGL)
    ->Args({1120, 720})
    ->Args({2560, 1440})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
