// Pieces shared by the shell's files. UI thread only.
#pragma once
#include <cstdint>

#include "app/shell.h"
#include "ui/draw.h"
#include "ui/pointer_glyph.h"

struct SDL_Window;
struct SDL_Renderer;
struct Painter;
struct Canvas;

struct Shell {
  App app;
  SDL_Window* window;
  SDL_Renderer* renderer;
  Painter* painter;
  bool sdl_up;
  bool text_up;
  bool watch_installed;
  bool desktop_up;
  bool leaked;  // sanitizer builds: our own leak check found some

  float scale;          // pixels per point
  int px_w, px_h;       // output size in pixels
  float pt_w, pt_h;     // and in points
  bool minimized, maximized, focused, shown_once, fullscreen;
  bool in_frame;        // a frame step is running (the event watch must not start another)
  bool presented;       // the last frame step presented a frame
  bool quit_requested;
  uint64_t frame_count;
  double started_at;     // monotonic seconds at the start
  bool first_presented;  // the start-to-first-frame time is logged once

  double next_screenshot_look;
  bool screenshot_pending;
  char screenshot_request[512];
  char screenshot_file[512];

  // Display throttle: presents that take too long pause drawing.
  int slow_presents, fast_presents;
  bool throttled;
  double next_draw;

  // The picture: the canvas, the pointer glyph and what they follow.
  Canvas* canvas;
  PointerGlyph glyph;
  bool motion_up;
  bool reduced_motion;
  DrawRect canvas_rect;
  float mouse_x, mouse_y;  // points
  bool mouse_in;           // the pointer is inside the window
  bool mouse_held;         // a button is down
  double last_glyph;
  char sketch_id[40];      // the sketch the canvas shows (a new one clears it)

  char title[320];
  char toast[256];
  double toast_until;
};

// shell.cpp: one frame step, with or without pumping the window's events.
void shell_frame_step(Shell* sh, bool pump);
// shell_icon.cpp: the window icon, drawn from code so no file has to be found.
void shell_set_icon(SDL_Window* window);
// shell_draw.cpp: the frame's picture (theme background, the sketch, the session's state).
void shell_draw_frame(Shell* sh);
// shell_present.cpp: draw and present one frame (and a pending screenshot); true when presented.
bool shell_present(Shell* sh);
void shell_layout(Shell* sh);
// shell_canvas.cpp: the canvas and pointer glyph's start, 24 Hz tick, frame and stop.
void shell_canvas_start(Shell* sh);
void shell_canvas_stop(Shell* sh);
void shell_canvas_event(Shell* sh, const union SDL_Event& e);
// Draws the canvas into its rectangle (sky, leaves, loop, marks, gem).
void shell_canvas_draw(Shell* sh);
// After the draw layer's last flush: the pointer glyph, straight on the renderer.
void shell_glyph_draw(Shell* sh);
