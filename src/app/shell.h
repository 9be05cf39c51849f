// The application shell: the program's window, its frame loop and its pacing, on top of the
// engine room that app/app.h starts and stops. Window, events and renderer come from SDL2.
// UI thread only.
#pragma once
#include <cstdint>

#include "app/app.h"

constexpr float SHELL_DEFAULT_W = 1120.0f;  // points
constexpr float SHELL_DEFAULT_H = 720.0f;
constexpr float SHELL_MIN_W = 720.0f;
constexpr float SHELL_MIN_H = 480.0f;
constexpr int SHELL_MAX_DISPLAYS = 16;
constexpr double SHELL_SCREENSHOT_POLL = 0.25;  // seconds between looks for the request file
constexpr double SHELL_SLOW_PRESENT = 0.1;      // a present slower than this is slow
constexpr double SHELL_THROTTLE_STEP = 0.5;     // next draw while the display is throttled
constexpr double SHELL_LIVE_REDRAW_GAP = 0.03;

struct ShellRect {
  int x, y, w, h;
};

// Where the window opens.
struct ShellPlacement {
  ShellRect rect;  // x, y: SHELL_CENTRED when centred
  bool centred;
};
constexpr int SHELL_CENTRED = -0x7FFF;

// Pixels per point for a display's DPI: dpi / 96, or 1 when the DPI is below 48 (or unknown).
float shell_scale_for_dpi(float dpi);
// The default window size in pixels: 1,120 x 720 points at scale, at most 9/10 of the display.
ShellRect shell_default_size(float scale, ShellRect display);
// The saved placement when its size is 1..16,384 and some display holds it well enough (at least
// 100 pixels across, the title strip reachable); else the default size, centred.
ShellPlacement shell_placement(int x, int y, int w, int h, const ShellRect* displays, int count,
                               float scale, ShellRect primary);

// Runs the whole program with its window: start, loop, shutdown, teardown. The exit code.
int shell_run();
