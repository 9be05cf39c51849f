// A software renderer over a 32-bit surface with a painter on it: real pixels with no display,
// for the draw layer's tests and benchmarks.
#pragma once
#include <SDL2/SDL.h>

#include <cstdint>

#include "ui/draw.h"

struct SoftCanvas {
  SDL_Surface* surface = nullptr;
  SDL_Renderer* renderer = nullptr;
  Painter* p = nullptr;

  SoftCanvas(int w, int h) {
    surface = SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_ARGB8888);
    renderer = surface ? SDL_CreateSoftwareRenderer(surface) : nullptr;
    p = renderer ? draw_new(renderer, 1) : nullptr;
  }
  ~SoftCanvas() {
    draw_free(p);
    if (renderer) SDL_DestroyRenderer(renderer);
    if (surface) SDL_FreeSurface(surface);
  }
  SoftCanvas(const SoftCanvas&) = delete;
  SoftCanvas& operator=(const SoftCanvas&) = delete;

  // 0xAARRGGBB at (x, y), after what was drawn reached the surface.
  uint32_t pixel(int x, int y) {
    draw_flush(p);
    SDL_RenderFlush(renderer);
    return ((const uint32_t*)((const uint8_t*)surface->pixels + y * surface->pitch))[x];
  }
};
