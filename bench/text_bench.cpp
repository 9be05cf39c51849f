// Text: what a frame pays for a label. A cache hit should cost one textured quad; a miss lays
// out, shapes and rasterises the whole string.
#include <SDL.h>
#include <benchmark/benchmark.h>

#include <cstdio>

#include "ui/draw.h"
#include "ui/text.h"

namespace {

struct Screen {
  SDL_Surface* surface = nullptr;
  SDL_Renderer* renderer = nullptr;
  Painter* painter = nullptr;
  Screen() {
    surface = SDL_CreateRGBSurfaceWithFormat(0, 640, 240, 32, SDL_PIXELFORMAT_ARGB8888);
    renderer = surface ? SDL_CreateSoftwareRenderer(surface) : nullptr;
    painter = renderer ? draw_new(renderer, 1.0f) : nullptr;
    if (renderer) text_init(renderer);
  }
  ~Screen() {
    text_free();
    if (painter) draw_free(painter);
    if (renderer) SDL_DestroyRenderer(renderer);
    if (surface) SDL_FreeSurface(surface);
  }
};

const TextStyle kLabel{TEXT_HEAD, 15, 600, 0};
const char* const kText = "Untitled sketch 録 — 3 takes";

void BM_TextMeasure(benchmark::State& state) {
  Screen s;
  for (auto _ : state) benchmark::DoNotOptimize(text_measure(kLabel, kText));
}
BENCHMARK(BM_TextMeasure);

void BM_TextDrawCached(benchmark::State& state) {
  Screen s;
  if (!s.painter) return state.SkipWithError("no painter");
  for (auto _ : state) {
    text_frame();
    benchmark::DoNotOptimize(
        text_draw(s.painter, kLabel, 10, 10, TEXT_LEFT, DrawColour{1, 1, 1, 1}, kText, false));
    draw_flush(s.painter);
  }
}
BENCHMARK(BM_TextDrawCached);

void BM_TextDrawMiss(benchmark::State& state) {
  Screen s;
  if (!s.painter) return state.SkipWithError("no painter");
  char buf[64];
  int n = 0;
  for (auto _ : state) {
    snprintf(buf, sizeof buf, "Sketch %d 録", n++);  // a new string every time
    benchmark::DoNotOptimize(
        text_draw(s.painter, kLabel, 10, 10, TEXT_LEFT, DrawColour{1, 1, 1, 1}, buf, true));
    draw_flush(s.painter);
  }
}
BENCHMARK(BM_TextDrawMiss);

}  // namespace
