// The window's heaviest overlays, one whole frame each through OpenGL on a private X server
// (Mesa) at 1120x720: the library tab scrolling over 1,000 cards beside a 20-take canvas, and the
// SETTINGS panel sliding in over a 200-take canvas. The target is a frame under 8 ms.
#include <benchmark/benchmark.h>

#include <SDL2/SDL.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/app.h"
#include "app/library_list.h"
#include "app/settings_panel.h"
#include "store/library.h"
#include "ui/canvas.h"
#include "ui/text.h"
#include "ui/view.h"

#include "bench_display.h"
#include "bench_sketch.h"

namespace {

constexpr float kW = 1120, kH = 720;
constexpr DrawColour kAccent = {0.18f, 0.78f, 0.72f, 1};

// A canvas of the given takes at the camera's own zoom, drawn between ticks as the window does.
struct BenchCanvas {
  BenchSketch sk;
  View view;
  Canvas* c;
  CanvasInput in{};
  double now = 100;

  BenchCanvas(Painter* p, int takes) : sk(takes) {
    view_reset(&view);
    const double span = (double)sk.meta.lengthSamples / kBenchSketchRate;
    for (int i = 0; i < 400; i++) view_tick(&view, span, 0.3);
    c = canvas_new(p);
    in.meta = &sk.meta;
    in.rate = kBenchSketchRate;
    in.span = span;
    in.position = (int64_t)(0.3 * span * kBenchSketchRate);
    in.has_cursor = true;
    in.view = &view;
    in.accent = kAccent;
    in.loop_colour = DrawColour{0.55f, 0.85f, 1, 1};
    in.triangle_stride = 3;
    in.supersample = true;
    in.inset = 24;
    in.wall = 1e9;
    for (int i = 0; i < 2; i++) {
      now += 2.0;
      in.now = now;
      canvas_tick(c, &in);
      canvas_rebuild(c);
      canvas_render(c, &in, DrawRect{0, 44, kW, kH - 108});
    }
  }
  ~BenchCanvas() { canvas_free(c); }
  void draw() {
    now += 1.0 / 60;
    in.now = now;
    canvas_draw(c, &in, DrawRect{0, 44, kW, kH - 108});
  }
};

// A library of 1,000 cards, each with two layers' thumbnails, straight in memory.
struct BenchCards {
  Library lib{};
  BenchCards() {
    library_init(&lib, "/tmp/kelp-bench-library");
    lib.rows = (LibraryCard*)library_malloc(1000 * sizeof(LibraryCard));
    if (lib.rows) memset(lib.rows, 0, 1000 * sizeof(LibraryCard));
    lib.capacity = 1000;
    for (int k = 0; k < 1000 && lib.rows; k++) {
      SketchMeta m{};
      meta_new(&m, 48000);
      m.createdAt = 1000.0 + k;
      snprintf(m.name, sizeof m.name, "sketch %d", k);
      m.lengthSamples = 48000 * 30;
      for (int j = 0; j < 2; j++) {
        LayerTemplate lt{};
        lt.startSample = j * m.lengthSamples / 2;
        lt.lengthSamples = m.lengthSamples / 2;
        lt.sampleRate = 48000;
        lt.createdAt = m.createdAt;
        float levels[400];
        for (int s = 0; s < 400; s++) levels[s] = (float)((s * 7 + k) % 50) / 50.0f;
        meta_add_layer(&m, layer_from_take(&lt, levels, 400));
      }
      meta_refresh_waveform(&m);
      if (library_card_from_meta(&lib.rows[lib.count], &m, "/tmp/kelp-bench-library/x") == 0)
        lib.count++;
      meta_free(&m);
    }
  }
  ~BenchCards() { library_free(&lib); }
};

struct Window {
  BenchGlWindow gl{"panels bench", (int)kW, (int)kH};
  bool text = false;
  Window() { text = gl.p && text_init(gl.renderer) == 0; }
  ~Window() {
    if (text) text_free();
  }
  void begin() {
    SDL_SetRenderDrawColor(gl.renderer, 6, 8, 20, 255);
    SDL_RenderClear(gl.renderer);
  }
  // Waits for the GPU to finish what was sent.
  void finish() {
    draw_flush(gl.p);
    uint32_t pixel = 0;
    SDL_Rect one{0, 0, 1, 1};
    SDL_RenderReadPixels(gl.renderer, &one, SDL_PIXELFORMAT_ARGB8888, &pixel, 4);
    benchmark::DoNotOptimize(pixel);
  }
};

// range(0): 1 with the canvas beside the list, 0 the list alone.
void BM_LibraryTabScrollingOver1000Cards(benchmark::State& state) {
  Window w;
  if (!w.gl.p || !w.text) {
    state.SkipWithError(w.gl.error ? w.gl.error : "no text");
    return;
  }
  BenchCards cards;
  BenchCanvas canvas(w.gl.p, 20);
  LibraryList list;
  library_list_init(&list);
  const DrawRect rect{0, 44, 504, kH - 108};
  const float max_scroll = library_list_max_scroll(cards.lib.count, rect.h);
  // The canvas draws only beside the list, as the window has it.
  canvas.in.shown = DrawRect{rect.x + rect.w, 0, kW - rect.x - rect.w, kH};
  double now = 100;
  // Warm: the glyphs of the first screens are in the text cache.
  for (int i = 0; i < 3; i++) {
    w.begin();
    library_list_draw(&list, &cards.lib, 0, rect, "", false, kAccent, w.gl.p, now);
    w.finish();
  }
  for (auto _ : state) {
    now += 1.0 / 60;
    // Three wheel notches a frame, down the whole list and back up.
    list.scroll += 144.0f;
    if (list.scroll > max_scroll) list.scroll = 0;
    w.begin();
    if (state.range(0)) canvas.draw();
    draw_rect(w.gl.p, rect.x, rect.y, rect.w, rect.h, DrawColour{0.06f, 0.08f, 0.13f, 0.96f});
    library_list_draw(&list, &cards.lib, 0, rect, "", false, kAccent, w.gl.p, now);
    w.finish();
  }
  state.counters["cards"] = cards.lib.count;
}

// range(0): 1 with the canvas under the panel, 0 the panel alone.
void BM_SettingsSlidingOver200Takes(benchmark::State& state) {
  Window w;
  if (!w.gl.p || !w.text) {
    state.SkipWithError(w.gl.error ? w.gl.error : "no text");
    return;
  }
  BenchCanvas canvas(w.gl.p, 200);
  App app{};
  settings_defaults(&app.settings);
  SettingsContext ctx;
  settings_context_fill(&ctx, &app);
  ctx.version = KELP_VERSION;
  ctx.whats_new_version = KELP_VERSION;
  ctx.training_total = 6;
  SettingsPanel sp;
  settings_panel_init(&sp);
  settings_select(&sp, 9);
  const float pw = 440, ph = kH - 44 - 32;
  float progress = 0;
  for (int i = 0; i < 3; i++) {
    w.begin();
    canvas.draw();
    settings_panel_draw(&sp, &app, &ctx, w.gl.p, DrawRect{kW - pw - 16, 60, pw, ph}, 1, kAccent,
                        canvas.now);
    w.finish();
  }
  for (auto _ : state) {
    // The slide in, again and again: 16 per second of the distance left, a frame at 60 Hz.
    progress += (1.0f - progress) * (16.0f / 60.0f);
    if (progress > 0.998f) progress = 0;
    const float eased = 1.0f - std::pow(1.0f - progress, 3.0f);
    const DrawRect r{kW - pw - 16 + (1 - eased) * (pw + 16), 60, pw, ph};
    // The canvas draws only left of the panel, as the window has it.
    canvas.in.shown = DrawRect{0, 0, r.x, kH};
    w.begin();
    if (state.range(0)) canvas.draw();
    settings_panel_draw(&sp, &app, &ctx, w.gl.p, r, eased, kAccent, canvas.now);
    w.finish();
  }
  state.counters["leaves"] = canvas_leaves_drawn(canvas.c);
}

}  // namespace

BENCHMARK(BM_LibraryTabScrollingOver1000Cards)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SettingsSlidingOver200Takes)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
