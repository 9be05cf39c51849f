// The canvas at 1120x720 with the texture supersampled twice: one 24 Hz render of the leaves for
// 1, 20 and 200 takes of 60 s each (the camera's own zoom, and zoomed out to the whole sketch),
// the frame between ticks (sky, the slid texture, marks, gem), and the whole frame with the
// pointer glyph — on the software renderer and through OpenGL on a private X server (Mesa).
#include <benchmark/benchmark.h>

#include <SDL2/SDL.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/analysis.h"
#include "store/meta.h"
#include "ui/canvas.h"
#include "ui/pointer_glyph.h"
#include "ui/view.h"

#include "bench_display.h"
#include "bench_sketch.h"
#include "support/soft_canvas.h"

namespace {

constexpr double kRate = kBenchSketchRate;
constexpr float kW = 1120, kH = 720;

// The software canvas or the OpenGL window, whichever the benchmark asks for.
struct Target {
  std::unique_ptr<SoftCanvas> soft;
  std::unique_ptr<BenchGlWindow> gl;
  SDL_Renderer* renderer = nullptr;
  Painter* painter = nullptr;

  explicit Target(bool opengl) {
    if (opengl) {
      gl.reset(new BenchGlWindow("canvas bench", (int)kW, (int)kH));
      renderer = gl->renderer;
      painter = gl->p;
    } else {
      soft.reset(new SoftCanvas((int)kW, (int)kH));
      renderer = soft->renderer;
      painter = soft->p;
    }
  }
  // Waits for the GPU to finish what was sent.
  void finish() {
    uint32_t pixel = 0;
    SDL_Rect one{0, 0, 1, 1};
    if (gl) SDL_RenderReadPixels(renderer, &one, SDL_PIXELFORMAT_ARGB8888, &pixel, 4);
    SDL_RenderFlush(renderer);
    benchmark::DoNotOptimize(pixel);
  }
};

enum Mode { RENDER, BETWEEN, WHOLE };

void run(benchmark::State& state, bool opengl, Mode mode) {
  const int takes = (int)state.range(0);
  const bool zoomed_out = state.range(1) != 0;
  Target target(opengl);
  if (!target.painter) {
    state.SkipWithError(opengl ? "no OpenGL renderer on Xvfb" : "no software renderer");
    return;
  }
  BenchSketch sk(takes);
  View view;
  view_reset(&view);
  const double span = (double)sk.meta.lengthSamples / kRate;
  if (zoomed_out) {
    view_restore(&view, true, 1.0, false, 0, false, 0, span);
  } else {
    for (int i = 0; i < 400; i++) view_tick(&view, span, 0.3);  // the camera settles on its zoom
  }
  Canvas* c = canvas_new(target.painter);
  CanvasInput in{};
  in.meta = &sk.meta;
  in.rate = kRate;
  in.span = span;
  in.position = (int64_t)(0.3 * span * kRate);
  in.has_cursor = true;
  in.playing = true;
  in.view = &view;
  in.accent = DrawColour{0.18f, 0.78f, 0.72f, 1};
  in.loop_colour = DrawColour{0.55f, 0.85f, 1, 1};
  in.triangle_stride = 3;
  in.supersample = true;
  in.inset = 24;
  in.pointer_in = true;
  in.pointer_x = 500;
  in.pointer_y = 360;
  in.wall = 1e9;
  const DrawRect rect{0, 44, kW, kH - 100};
  PointerGlyph glyph;
  pointer_glyph_init(&glyph);
  double now = 100;
  int leaves = 0;
  // Warm: the texture exists and the reveal wave is over.
  for (int i = 0; i < 2; i++) {
    now += 2.0;
    in.now = now;
    canvas_tick(c, &in);
    canvas_rebuild(c);
    canvas_render(c, &in, rect);
  }
  target.finish();
  for (auto _ : state) {
    now += mode == RENDER ? 1.0 / 24 : 1.0 / 60;
    in.now = now;
    in.position += (int64_t)(kRate / 60);
    if (mode == RENDER) {
      canvas_tick(c, &in);
      canvas_rebuild(c);  // every tick, however long the last render took
      canvas_render(c, &in, rect);
      leaves = canvas_leaves_drawn(c);
    } else {
      SDL_SetRenderDrawColor(target.renderer, 6, 8, 20, 255);
      SDL_RenderClear(target.renderer);
      canvas_draw(c, &in, rect);
      draw_flush(target.painter);
      if (mode == WHOLE) {
        pointer_glyph_update(&glyph, 1.0 / 60, POINTER_CANVAS, 0.18f, 0.78f, 0.72f, in.pointer_x,
                             in.pointer_y, now, false);
        pointer_glyph_draw(target.renderer, &glyph, in.pointer_x, in.pointer_y, 1, now);
      }
    }
    target.finish();
  }
  state.counters["leaves"] = leaves;
  canvas_free(c);
}

void BM_CanvasRenderSoftware(benchmark::State& s) { run(s, false, RENDER); }
void BM_CanvasRenderOpenGL(benchmark::State& s) { run(s, true, RENDER); }
void BM_CanvasBetweenTicksSoftware(benchmark::State& s) { run(s, false, BETWEEN); }
void BM_CanvasBetweenTicksOpenGL(benchmark::State& s) { run(s, true, BETWEEN); }
void BM_CanvasWholeFrameOpenGL(benchmark::State& s) { run(s, true, WHOLE); }

#define TAKES ->Args({1, 0})->Args({20, 0})->Args({200, 0})->Args({200, 1})
BENCHMARK(BM_CanvasRenderSoftware) TAKES->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CanvasRenderOpenGL) TAKES->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CanvasBetweenTicksSoftware)->Args({200, 0})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CanvasBetweenTicksOpenGL)->Args({200, 0})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CanvasWholeFrameOpenGL)->Args({200, 0})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
