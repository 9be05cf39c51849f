// A private X server for the benchmarks that need a display, started on first use and ended at
// exit. display is "" without Xvfb.
#pragma once
#include <SDL2/SDL.h>

#include <cstdlib>
#include <string>

#include "support/xvfb.h"
#include "ui/draw.h"

struct BenchDisplay {
  Xvfb* x = xvfb_start(1600, 1000, 96);
  std::string display = xvfb_display(x);
  ~BenchDisplay() { xvfb_stop(x); }
};

inline BenchDisplay& bench_display() {
  static BenchDisplay x;
  return x;
}

// A hidden window on that server drawn through OpenGL (Mesa), with a painter; error says why not.
struct BenchGlWindow {
  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
  Painter* p = nullptr;
  const char* error = nullptr;
  bool video = false;

  BenchGlWindow(const char* title, int w, int h) {
    BenchDisplay& x = bench_display();
    if (x.display.empty()) {
      error = "no Xvfb";
      return;
    }
    setenv("DISPLAY", x.display.c_str(), 1);
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "x11");
    SDL_SetHint(SDL_HINT_RENDER_DRIVER, "opengl");
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
      error = "no video";
      return;
    }
    video = true;
    window = SDL_CreateWindow(title, 0, 0, w, h, SDL_WINDOW_HIDDEN);
    renderer = window ? SDL_CreateRenderer(window, -1, SDL_RENDERER_ACCELERATED) : nullptr;
    p = renderer ? draw_new(renderer, 1) : nullptr;
    if (!p) error = "no OpenGL renderer";
  }
  ~BenchGlWindow() {
    draw_free(p);
    if (renderer) SDL_DestroyRenderer(renderer);
    if (window) SDL_DestroyWindow(window);
    if (video) SDL_QuitSubSystem(SDL_INIT_VIDEO);
  }
};
