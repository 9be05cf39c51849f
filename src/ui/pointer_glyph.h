// The program's own pointer: a small dithered gold pyramid turning about its tip (the exact point
// a click lands on), swinging into an arrow over controls, lying down in the take's colour over
// the canvas, trailing falling sparks as it moves. Where the system cursor is wanted instead
// (edges, text fields, a press held) the glyph steps aside. Plain state on the UI thread; the
// spark trail is a fixed pool, so nothing allocates per frame.
#pragma once
#include <cstdint>
struct SDL_Renderer;

constexpr int POINTER_SPARKS = 80;

// From the hover test, each frame.
enum PointerKind { POINTER_IDLE = 0, POINTER_CANVAS = 1, POINTER_CONTROL = 2, POINTER_SYSTEM = 3 };

struct PointerSpark {
  float x, y;    // where it was made, logical pixels
  double born;   // the `now` it was made at
  float phase;   // sideways drift direction
};

struct PointerGlyph {
  float rotation, lie, arrow;  // radians; 0..1; 0..1
  float lie_r, lie_g, lie_b;
  bool system_shown;  // the system cursor is showing (kind 3)
  int kind;           // last kind seen, -1 before the first update
  PointerSpark sparks[POINTER_SPARKS];  // oldest first
  int spark_count;
  uint32_t spark_counter;
  bool has_last;
  float last_x, last_y;
  float travel;  // pixels moved that have not yet made a spark
};

void pointer_glyph_init(PointerGlyph* g);
// Once per frame. x, y: pointer in logical pixels (points). take_*: the current take's colour 0..1.
// Shows/hides the system cursor on a change of kind to/from POINTER_SYSTEM with SDL_ShowCursor, only
// when SDL's video subsystem is up (SDL_WasInit), so tests can run it without a window.
void pointer_glyph_update(PointerGlyph* g, double dt, int kind, float take_r, float take_g,
                          float take_b, float x, float y, double now, bool reduced_motion);
// Last in the frame: plain SDL_RenderFillRect(s) in device pixels = points * scale; saves and
// restores the renderer's draw colour and blend mode. Nothing when the system cursor shows.
void pointer_glyph_draw(SDL_Renderer* r, const PointerGlyph* g, float x, float y, float scale,
                        double now);
