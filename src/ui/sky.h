// The animated night sky behind the canvas: drifting gas, galaxies, stars, far bodies, ships,
// rocks and meteors that bend around the rocks or hit them and burst. Every layer shifts against
// the pointer by its own depth ("lean") and with the view's pan. All randomness is a pure function
// of fixed seeds, object indices and cycle numbers, so the same clock gives the same picture.
// Positions are in points relative to the rect's top-left. The caller clips to the rect; the
// painter is left with additive blending off. UI thread only; no allocation after sky_init.
#pragma once
#include <cstdint>

#include "ui/draw.h"

constexpr int SKY_STARS = 173;
constexpr int SKY_ROCKS = 16;
constexpr int SKY_METEORS = 3;
constexpr int SKY_TRAIL = 30;
constexpr int SKY_FLASHES = 4;
constexpr int SKY_DEBRIS_GROUPS = 2;
constexpr int SKY_DEBRIS_GROUP = 14;
constexpr int SKY_GALAXIES = 8;
constexpr int SKY_SHIPS = 6;

struct SkyStar { float x, y, brightness, size, depth; };

struct SkyMeteor {
  bool active;
  float x, y, vx, vy;
  DrawPoint trail[SKY_TRAIL];  // newest first
  int trail_count;
  float trail_timer;
};

struct SkyFlash {
  bool active;
  float x, y, age;
};

struct SkyFragment {
  bool active;
  float x, y, vx, vy, size, spin, age, life;
  DrawColour colour;
  uint32_t seed;
};

struct Sky {
  SkyStar stars[SKY_STARS];
  float lean_x, lean_y;                // eased
  float lean_target_x, lean_target_y;  // -1..1
  SkyMeteor meteors[SKY_METEORS];
  float spawn_timer;
  uint32_t spawn_count;
  int64_t destroyed_cycle[SKY_ROCKS];  // the cycle in which a meteor destroyed the rock
  SkyFlash flashes[SKY_FLASHES];
  SkyFragment debris[SKY_DEBRIS_GROUPS][SKY_DEBRIS_GROUP];
  double previous_clock;
};

void sky_init(Sky* sky);                                   // star field + fresh state (no allocation)
void sky_set_lean_target(Sky* sky, float x, float y);      // each -1..1 (clamped); 0,0 = pointer away
// Advances lean, meteors, debris and flashes to `clock` (seconds, monotonic; 0 = reduced motion:
// everything frozen, no lean, no meteors) for a canvas of rect's size. Called by sky_draw.
void sky_step(Sky* sky, DrawRect rect, double clock);
// Draws all layers into rect (points) with the view's centre (0..1 fractions, 0.5 = not panned).
void sky_paint(Sky* sky, Painter* p, DrawRect rect, float view_centre_x, float view_centre_y,
               double clock, DrawColour theme);
// sky_step then sky_paint.
void sky_draw(Sky* sky, Painter* p, DrawRect rect, float view_centre_x, float view_centre_y,
              double clock, DrawColour theme);

// Layers, back to front, for sky_paint_layers (tests and benchmarks paint them one by one).
enum SkyLayer : unsigned {
  SKY_LAYER_GAS = 1u << 0,
  SKY_LAYER_GALAXIES = 1u << 1,
  SKY_LAYER_STARS = 1u << 2,
  SKY_LAYER_BODIES = 1u << 3,
  SKY_LAYER_SHIPS = 1u << 4,
  SKY_LAYER_ROCKS = 1u << 5,
  SKY_LAYER_METEORS = 1u << 6,  // meteors, debris and hit flashes
  SKY_LAYER_ALL = 0x7Fu,
};
void sky_paint_layers(Sky* sky, Painter* p, DrawRect rect, float view_centre_x,
                      float view_centre_y, double clock, DrawColour theme, unsigned layers);

// Pure pieces, exposed for tests:
uint32_t sky_hash(uint32_t x);
float sky_noise(float x, float y, uint32_t seed, int octaves);   // N(x, y, seed, octaves)
struct SkyRock { float x, y, size, spin; int sides; int64_t cycle; bool destroyed; float depth; };
// Rock i's place at this clock for a canvas w x h (before any lean offset).
void sky_rock(const Sky* sky, int i, double clock, float w, float h, SkyRock* out);
// Current lean (eased), the pixel offset of a layer with depth factor f is (-46 f lean_x, -46 f lean_y).
void sky_lean(const Sky* sky, float* x, float* y);
// The depth factor f of a layer (one SKY_LAYER_* bit) for a canvas w x h; stars use their own
// size (SKY_LAYER_BODIES gives the first body's).
float sky_depth_factor(unsigned layer, float w, float h, float star_size);
// For tests: put a meteor at (x, y) px with velocity (vx, vy) px/s into a free slot; -1 when none free.
int sky_spawn_meteor(Sky* sky, float x, float y, float vx, float vy);
int sky_active_meteors(const Sky* sky);
int sky_active_debris(const Sky* sky);
