// The window icon: a leaf on a dark tile, drawn per pixel so the program needs no image file.
#include <SDL.h>

#include <cmath>

#include "app/shell_internal.h"

namespace {

constexpr int kIconSize = 64;

// Coverage of the leaf at (x, y): the lens between two circles, tilted 35 degrees.
float leaf(float x, float y) {
  const float c = std::cos(0.61f), s = std::sin(0.61f);
  const float u = (x - 32.0f) * c + (y - 32.0f) * s;
  const float v = -(x - 32.0f) * s + (y - 32.0f) * c;
  const float r = 30.0f, off = 19.0f;
  const float d1 = std::hypot(u, v - off) - r;
  const float d2 = std::hypot(u, v + off) - r;
  const float d = std::fmax(d1, d2);
  return std::fmin(std::fmax(0.5f - d, 0.0f), 1.0f);
}

}  // namespace

void shell_set_icon(SDL_Window* window) {
  SDL_Surface* icon =
      SDL_CreateRGBSurfaceWithFormat(0, kIconSize, kIconSize, 32, SDL_PIXELFORMAT_ARGB8888);
  if (!icon) return;
  Uint32* px = (Uint32*)icon->pixels;
  for (int y = 0; y < kIconSize; y++) {
    for (int x = 0; x < kIconSize; x++) {
      // The tile: a rounded square.
      const float dx = std::fmax(std::fabs(x + 0.5f - 32.0f) - 18.0f, 0.0f);
      const float dy = std::fmax(std::fabs(y + 0.5f - 32.0f) - 18.0f, 0.0f);
      const float tile = std::fmin(std::fmax(14.5f - std::hypot(dx, dy), 0.0f), 1.0f);
      const float a = leaf(x + 0.5f, y + 0.5f);
      const float r = 10 + a * (64 - 10), g = 18 + a * (214 - 18), b = 36 + a * (170 - 36);
      const Uint32 alpha = (Uint32)std::lround(tile * 255.0f);
      px[y * (icon->pitch / 4) + x] = alpha << 24 | (Uint32)r << 16 | (Uint32)g << 8 | (Uint32)b;
    }
  }
  SDL_SetWindowIcon(window, icon);
  SDL_FreeSurface(icon);
}
