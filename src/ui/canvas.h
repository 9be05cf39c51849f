// The canvas: every take of the open sketch as a row of leaves under the sky. The leaves are
// rendered into an offscreen texture at the fixed 24 Hz tick and slid sideways between ticks, so
// a smooth camera costs one textured quad a frame; the sky, the loop, the marks (spawn glows and
// sparks) and the gem are drawn fresh every frame. The canvas reads the sketch and the view and
// changes neither. UI thread only.
#pragma once
#include <cstdint>

#include "core/transport.h"
#include "ui/canvas_geometry.h"
#include "ui/draw.h"
#include "ui/sky.h"
#include "ui/view.h"

struct SketchMeta;

constexpr float CANVAS_MARGIN = 32.0f;  // points the leaves texture reaches past each side

// What the canvas draws from, filled by the shell each frame from the session's snapshot.
struct CanvasInput {
  const SketchMeta* meta;  // null: no sketch (the layout is the one-lane one)
  double rate;             // the tape's rate, frames per second
  double span;             // seconds the canvas shows at zoom 1 (the sketch's width)
  int64_t position;        // the cursor, frames
  bool has_cursor;         // a sketch is open and its cursor can be followed
  bool playing;
  bool recording;  // a take is being recorded (the live take is drawn when it has strokes)
  const float* live_strokes;
  int32_t live_count;
  float live_peak;
  int64_t live_start;  // frames
  bool live_pinned;    // paint mode placed the take at a height
  float live_y;        // that height, 0..1 of the canvas
  LoopRegion loop;
  const View* view;       // null: the initial view
  float inset;            // points each side between the canvas's edge and the sketch's ends
  DrawColour accent;      // the sketch's colour (take 0, the gem, the gas)
  DrawColour loop_colour; // the theme's loop colour
  bool paint_mode;        // the live take takes the sketch's colour
  int triangle_stride;    // 1..8, anything else 3
  bool supersample;       // the texture at twice the size
  bool reduced_motion;
  bool pointer_in;        // the pointer is over the canvas
  float pointer_x, pointer_y;  // points, window coordinates
  double now;   // monotonic seconds
  double wall;  // seconds since 2001 (freshness of takes loaded from disk)
  // The part of the canvas not hidden under an opaque panel or the library (w 0: all of it):
  // nothing is drawn outside it.
  DrawRect shown;
};

struct CanvasFlashSlot {
  double born_at;
  double start_seconds;
  double flash_start;
  bool used;
};

struct CanvasGlow {
  float x, y, size, alpha;
  DrawColour colour;
  double time;
};

struct CanvasSpark {
  float x, y, vx, vy, life, size;
  double time;
  DrawColour colour;
};

struct Canvas {
  Painter* painter;
  Sky sky;

  RenderTarget texture;
  bool texture_ok;      // the texture holds a finished picture
  bool dirty;
  double next_render;   // monotonic: a slow render waits for this before the next
  float tex_w, tex_h;   // logical size the texture was rendered at (points)
  int tex_factor;
  float margin;         // points each side of the canvas the texture also covers
  float rendered_centre_x, rendered_centre_y, rendered_zoom;  // the camera the texture was rendered with

  BrushField brush;
  float base_profile[CANVAS_COLUMNS];  // the landed takes
  float profile[CANVAS_COLUMNS];       // and the live one
  uint64_t profile_sig;  // what the profile was built from
  int64_t last_cursor;   // frames, the last tick's cursor
  bool has_last_cursor;

  CanvasLanes lanes;
  uint64_t layers_sig;  // the layer list the lanes and the flash scan were made for

  CanvasItem* items;
  int item_count, item_capacity;
  int leaves_drawn;

  CanvasFlashSlot flashes[CANVAS_FLASH_SLOTS];
  LiveRing ring;
  int32_t live_spawned;  // highest stroke of the live take that has spawned

  bool reveal_armed;
  double reveal_armed_at;
  double reveal_start;  // 0: no wave

  CanvasGlow glows[CANVAS_GLOWS];
  int glow_count;
  CanvasSpark sparks[CANVAS_SPARKS];
  int spark_count;
  uint32_t rng;  // xorshift32 for the sparks

  double tick_clock;   // advanced 1/24 s per tick
  double last_tick;    // monotonic time of the last tick
  float cam_prev, cam_last;  // the view's centre x at the last two ticks
  bool has_cam;

  // The pointer follower (pulls the leaf tips) and its presence.
  float follow_x, follow_y, follow_vx, follow_vy, presence;
  bool follow_set;
  double last_frame;

  float gem_y;  // points in the window
  bool gem_set;
  double gem_last;
};

// Null when the canvas can't be made (the drawing stays blank; the shell logs it).
Canvas* canvas_new(Painter* painter);
void canvas_free(Canvas* c);
// The fixed 24 Hz step: column profile, brush field, camera history; marks the texture dirty.
void canvas_tick(Canvas* c, const CanvasInput* in);
// Re-renders the leaves texture when it is dirty, its size changed or it was lost.
void canvas_render(Canvas* c, const CanvasInput* in, DrawRect rect);
// Sky, leaves texture, loop, marks and gem into the window, in points.
void canvas_draw(Canvas* c, const CanvasInput* in, DrawRect rect);
// After a graphics device reset: the new draw layer; the texture is made again.
void canvas_set_painter(Canvas* c, Painter* painter);
// A full re-render at the next frame (density or edges changed), however long the last took.
void canvas_rebuild(Canvas* c);
// Drops the marks, the flash slots and the brush state and arms the reveal wave (a sketch was
// opened or cleared).
void canvas_clear(Canvas* c, double now);

// For tests and the benchmarks: the draw items of the last render.
int canvas_item_count(const Canvas* c);
const CanvasItem* canvas_item(const Canvas* c, int i);
// Leaves drawn by the last render.
int canvas_leaves_drawn(const Canvas* c);
