// Pieces shared by the shell's files. UI thread only.
#pragma once
#include <cstdint>

#include "app/shell.h"
#include "app/ui.h"
#include "ui/draw.h"
#include "ui/pointer_glyph.h"
#include "ui/text.h"

struct SDL_Window;
struct SDL_Renderer;
struct Painter;
struct Canvas;

// The window's layout, points.
constexpr float SHELL_TOP_BAR = 44.0f;       // the title and the window's own controls
constexpr float SHELL_STATUS_BAR = 64.0f;    // the strip, the transport line and the XY stick
constexpr float SHELL_CANVAS_INSET = 24.0f;  // between the canvas's sides and the sketch's ends
constexpr TextStyle SHELL_TOP_LABEL = {TEXT_MONO, 11.0f, 700, 2.0f};  // the top bar's buttons

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
  KeyHintScene hint_scene;  // the controls with keys, this frame
  float mouse_x, mouse_y;  // points
  bool mouse_in;           // the pointer is inside the window
  bool mouse_held;         // a button is down
  double last_glyph;
  char sketch_id[40];      // the sketch the canvas shows (a new one clears it)

  // Actions and input: what the user asked for, and where things are on screen.
  Ui ui;
  UiLayout ui_layout;
  void* controls;  // the strip and the XY stick (shell_controls.cpp)

  char title[320];
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
// The theme's accent: the sketch's picked colour, else the first paint colour.
DrawColour shell_accent(const struct SketchMeta* meta);
// shell_ui.cpp: actions and input for the window.
void shell_ui_start(Shell* sh);
void shell_ui_stop(Shell* sh);
void shell_ui_layout(Shell* sh);
// A panel's size in points (it slides in from the right, under the top bar).
void shell_panel_size(const Shell* sh, int32_t panel, float* w, float* h);
// Each frame after the events: the wheel, then everything pending.
void shell_ui_frame(Shell* sh, double now);
bool shell_ui_event(Shell* sh, const union SDL_Event& e);
// Over the canvas: the strip and stick, the name editor, the confirmation, the console.
void shell_ui_draw(Shell* sh);
// The library tab beside the sketch, when it shows.
void shell_library_draw(Shell* sh);
// shell_controls.cpp: the strip under the canvas and the XY stick.
void shell_controls_start(Shell* sh);
void shell_controls_stop(Shell* sh);
void shell_controls_draw(Shell* sh);
// Where the XY stick stands: the status bar's right end.
DrawRect shell_stick_rect(const Shell* sh);
// After the draw layer's last flush: the pointer glyph, straight on the renderer.
void shell_glyph_draw(Shell* sh);
