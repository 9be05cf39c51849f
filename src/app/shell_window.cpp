// Window geometry: the scale, the default size and the check of a saved placement. Plain
// arithmetic, so it is tested without a display.
#include "app/shell.h"

#include <cmath>

float shell_scale_for_dpi(float dpi) {
  if (!std::isfinite(dpi) || dpi < 48.0f) return 1.0f;
  return dpi / 96.0f;
}

ShellRect shell_default_size(float scale, ShellRect display) {
  if (!std::isfinite(scale) || scale <= 0.0f) scale = 1.0f;
  int w = (int)std::lround(SHELL_DEFAULT_W * scale);
  int h = (int)std::lround(SHELL_DEFAULT_H * scale);
  if (display.w > 0 && w > display.w * 9 / 10) w = display.w * 9 / 10;
  if (display.h > 0 && h > display.h * 9 / 10) h = display.h * 9 / 10;
  return ShellRect{SHELL_CENTRED, SHELL_CENTRED, w, h};
}

namespace {

// Enough of the window is on this display to reach and move it.
bool holds(ShellRect d, int x, int y, int w, int h) {
  return x > d.x - w + 100 && x < d.x + d.w - 100 && y > d.y - 10 && y < d.y + d.h - 100 &&
         y + h > d.y + 50;
}

}  // namespace

ShellPlacement shell_placement(int x, int y, int w, int h, const ShellRect* displays, int count,
                               float scale, ShellRect primary) {
  if (w >= 1 && w <= 16384 && h >= 1 && h <= 16384) {
    for (int i = 0; i < count; i++) {
      if (holds(displays[i], x, y, w, h)) return ShellPlacement{ShellRect{x, y, w, h}, false};
    }
  }
  return ShellPlacement{shell_default_size(scale, primary), true};
}
