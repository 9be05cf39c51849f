// Drawing and presenting a frame: layout, the picture, a requested screenshot, and the throttle
// that pauses drawing while the display doesn't take frames.
#include <SDL.h>

#include <cmath>

#include "app/shell_internal.h"
#include "base/clock.h"
#include "base/log.h"
#include "ui/draw.h"
#include "ui/text.h"

namespace {

void save_screenshot(Shell* sh) {
  sh->screenshot_pending = false;
  SDL_Surface* shot =
      SDL_CreateRGBSurfaceWithFormat(0, sh->px_w, sh->px_h, 32, SDL_PIXELFORMAT_ARGB8888);
  if (!shot) {
    log_line("main: screenshot failed - %s", SDL_GetError());
    return;
  }
  if (SDL_RenderReadPixels(sh->renderer, nullptr, SDL_PIXELFORMAT_ARGB8888, shot->pixels,
                           shot->pitch) != 0 ||
      SDL_SaveBMP(shot, sh->screenshot_file) != 0) {
    log_line("main: screenshot failed - %s", SDL_GetError());
  } else {
    log_line("main: screenshot %s", sh->screenshot_file);
  }
  SDL_FreeSurface(shot);
}

// Two slow presents in a row throttle drawing; three quick ones end it.
void time_present(Shell* sh, double took, double now) {
  if (took > SHELL_SLOW_PRESENT) {
    sh->fast_presents = 0;
    sh->slow_presents++;
    if (sh->throttled) {
      sh->next_draw = now + SHELL_THROTTLE_STEP;
    } else if (sh->slow_presents >= 2) {
      log_line("main: the display isn't taking frames (%.0f ms a present) - drawing paused "
               "until it does",
               took * 1000.0);
      sh->throttled = true;
      sh->next_draw = now + SHELL_THROTTLE_STEP;
    }
    return;
  }
  sh->slow_presents = 0;
  if (!sh->throttled) return;
  if (++sh->fast_presents >= 3) {
    log_line("main: the display is taking frames again - drawing");
    sh->throttled = false;
    sh->fast_presents = 0;
  }
}

}  // namespace

void shell_layout(Shell* sh) {
  if (!sh->renderer) return;
  int pw = 0, ph = 0;
  SDL_GetRendererOutputSize(sh->renderer, &pw, &ph);
  sh->px_w = pw;
  sh->px_h = ph;
  float scale = sh->scale > 0 ? sh->scale : 1.0f;
  int ww = 0, wh = 0;
  SDL_GetWindowSize(sh->window, &ww, &wh);
  // A scaled Wayland output hands out more pixels than window points: that ratio is the scale.
  if (ww > 0 && pw > ww) scale = (float)pw / (float)ww;
  if (std::fabs(scale - sh->scale) > 0.0001f) {
    if (sh->shown_once) log_line("main: moved to a %.0f%% display", scale * 100.0);
    sh->scale = scale;
    if (sh->painter) draw_set_base_scale(sh->painter, scale);
    text_set_pixel_scale(scale);
    SDL_SetWindowMinimumSize(sh->window, (int)std::lround(SHELL_MIN_W * scale),
                             (int)std::lround(SHELL_MIN_H * scale));
  }
  sh->pt_w = (float)pw / sh->scale;
  sh->pt_h = (float)ph / sh->scale;
}

bool shell_present(Shell* sh) {
  if (!sh->renderer || !sh->painter) return false;
  shell_layout(sh);
  text_frame();
  shell_draw_frame(sh);
  draw_flush(sh->painter);
  shell_glyph_draw(sh);
  if (sh->screenshot_pending) save_screenshot(sh);
  const double t = clock_monotonic();
  SDL_RenderPresent(sh->renderer);
  const double now = clock_monotonic();
  time_present(sh, now - t, now);
  if (!sh->first_presented) {
    sh->first_presented = true;
  }
  return true;
}
