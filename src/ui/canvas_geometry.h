// The canvas's arithmetic, apart from any renderer: lanes, the lane layout, take colours, the
// draw items, one leaf's shape and colour, the live stroke clock, the brush field and the column
// profile. Everything here is a pure function of its inputs (and the records it is handed), so
// the picture can be checked without a window.
//
// Canvas units: the sketch spans the canvas width W (x from 0 to W) and the canvas height H
// (y from 0 at the top to H); the view's zoom scales both axes about its centre.
#pragma once
#include <cstdint>

#include "ui/draw.h"

struct Layer;
struct SketchMeta;

constexpr int CANVAS_COLUMNS = 240;  // brush field and column profile
constexpr int CANVAS_FLASH_SLOTS = 4;
constexpr int CANVAS_GLOWS = 64;
constexpr int CANVAS_SPARKS = 256;
constexpr int CANVAS_RING = 48;           // live stroke-time pairs
constexpr int CANVAS_RING_RESTART = 64;   // strokes that may arrive between two renders
constexpr int CANVAS_MAX_SEGMENTS = 10;   // per leaf edge
constexpr double CANVAS_TICK = 1.0 / 24.0;
constexpr double CANVAS_SPRING_TIME = 0.6;   // a leaf's spring settles
constexpr double CANVAS_FRESH_TIME = 4.0;    // a landed take's leaves regrow
constexpr double CANVAS_FLASH_TIME = 0.48;   // the landing band's run
constexpr double CANVAS_REVEAL_TIME = 1.2;
constexpr double CANVAS_SPAWN_AGE = 0.25;    // a live leaf younger than this spawns marks
constexpr float CANVAS_MINOR_HEIGHT = 0.42f;

// --- Lanes ---------------------------------------------------------------------------------------
struct CanvasLanes {
  int* lane;  // per layer; -1 for a layer with a pinned height
  int capacity;
  int layers;
  int count;  // lanes used
};
// Greedy interval colouring in layer order. 0, or -1 when the array can't grow (lanes left as
// they were).
int canvas_lanes(CanvasLanes* lanes, const SketchMeta* meta);
void canvas_lanes_free(CanvasLanes* lanes);

struct LaneLayout {
  float height;   // H
  float leaf;     // A: a full leaf's height
  float spacing;  // S
  float base;     // B: the lowest lane's line
};
LaneLayout canvas_lane_layout(float height, int lanes);
float canvas_lane_y(const LaneLayout* l, int lane);

// --- Takes ---------------------------------------------------------------------------------------
DrawColour canvas_palette(int row);  // row mod 5
// explicitColor, else the palette row (index - 1) mod 5, else (index 0) the accent.
DrawColour canvas_take_colour(const Layer* layer, int index, DrawColour accent);
float canvas_tone(int index);
// Strokes per leaf: the density (1..8, else 3), plus one in a tall canvas.
int canvas_step(int triangle_stride, bool tall);
int canvas_leaf_count(int strokes, int step);

// spring(t): 0 before, 1 after 0.6 s, a damped spring (23 rad/s, ratio 0.53) between.
double canvas_spring(double t);
// (1 - age/4)^3 between 0 and 4 s; 1 before, 0 after.
double canvas_freshness(double age);
// The landing band's light at u (0..1 across the take on screen), `since` seconds after it began.
double canvas_flash_glow(double u, double since);
// The breeze's smooth value noise.
double canvas_noise(double q);

struct CanvasItem {
  const Layer* layer;  // null for the live take
  const float* strokes;
  int32_t count;
  float peak;  // the live take's running peak
  bool live;
  int64_t start, length;  // frames
  double born, now;       // the freshness clock pair
  double seconds;
  int32_t index;
  int32_t lane;
  float y;  // the lane's line, canvas units
  DrawColour colour;
  float tone;
  double flash;  // the landing band's start, 0 for none
  int32_t first, last;  // leaves that can show
  // Placement, canvas units.
  float x0, width, pitch, half_width;
  int32_t step, leaves;
  // Leaves closer together on screen than a device pixel are drawn one per group of this many,
  // at the group's loudest stroke (1: every leaf).
  int32_t group;
};

// Where a take sits across the canvas: x0, width, pitch and half-width for a sketch of
// `frames` frames across W.
void canvas_place(CanvasItem* item, double frames, float width, float leaf_height, bool tall);

// --- One leaf ------------------------------------------------------------------------------------
// What a frame knows that every leaf needs.
struct LeafContext {
  float W, H;             // canvas units
  float zoom;             // both axes
  float centre_x, centre_y;  // the view's centre, fractions
  float screen_left;      // window x (points) where the sketch starts at zoom 1
  float screen_top;       // window y of the canvas's top
  float visible_lo, visible_hi;  // canvas x the texture can show
  float visible_top, visible_bottom;  // canvas y the texture can show (0, 0: no limit)
  float leaf;             // A
  bool tall;
  float minor_fade;       // f_z
  double now;             // monotonic
  double clock;           // the breeze's clock
  double reveal_start;    // 0: no wave
  bool reduced_motion;
  const float* push;      // per column, canvas units (brush displacement scaled)
  const float* light;     // per column
  int columns;
  // The pointer follower, screen points; presence 0 when away.
  float follow_x, follow_y, follow_vx, presence;
  float pixel_scale;
};

struct LeafShape {
  DrawPoint left[CANVAS_MAX_SEGMENTS + 1];
  DrawPoint right[CANVAS_MAX_SEGMENTS + 1];
  int points;  // per edge
  DrawPoint tip;
  float level;  // E
  float height;
  bool major;
  DrawColour colour;  // straight alpha
};

// Screen x (points) of a canvas x.
float leaf_screen_x(const LeafContext* ctx, float x);
float leaf_screen_y(const LeafContext* ctx, float y);
// Leaf b of an item. spring_time: the live stroke's time (ignored otherwise). false when the leaf
// is not drawn (below the spring, no height, invisible, or a minor leaf while zoomed out).
bool canvas_leaf(const LeafContext* ctx, const CanvasItem* item, int32_t b, double stroke_time,
                 bool spawning, LeafShape* out);

// --- Live stroke clock ---------------------------------------------------------------------------
struct LiveRing {
  int32_t index[CANVAS_RING];
  double time[CANVAS_RING];
  int count;
  int64_t start;
  int32_t last_count;
  bool active;
};
// One render while recording: a new take, another start or fewer strokes restart the ring; growth
// appends (count, now). spawned: the highest stroke already spawned (raised on a long gap, set to
// -1 by a restart).
void live_ring_update(LiveRing* ring, int64_t start, int32_t count, double now, int32_t* spawned);
// When stroke e arrived: -1e9 (long ago) before the first entry, now at or past the last.
double live_ring_time(const LiveRing* ring, int32_t e, double now);

// --- Brush field ---------------------------------------------------------------------------------
struct BrushField {
  float x[CANVAS_COLUMNS];  // displacement, columns
  float v[CANVAS_COLUMNS];
  float l[CANVAS_COLUMNS];  // light
  float r[CANVAS_COLUMNS];  // fixed stiffness variation
  float w[CANVAS_COLUMNS];  // weight from the profile
  bool grabbed[CANVAS_COLUMNS];
  int columns;
  float gain, decay;
  double prev;  // the previous cursor column
  bool has_prev;
  bool reset;   // the next step is a jump
  double last;  // time of the last step
  bool stepped;
};
void brush_init(BrushField* b, float light_gain, float light_decay);
// Drops every grab and motion.
void brush_clear(BrushField* b);
// One tick. cursor: 0..1 of the sketch, negative for none.
void brush_step(BrushField* b, const float* profile, double cursor, double now);
float brush_max_displacement(const BrushField* b);

// --- Column profile ------------------------------------------------------------------------------
// The loudest stroke of any layer at each of the columns across a sketch of `frames` frames.
void canvas_profile_layers(float* out, int columns, const SketchMeta* meta, double frames);
// Adds a live take (strokes over their running peak) covering [start, start + length).
void canvas_profile_add(float* out, int columns, const float* strokes, int32_t count, float peak,
                        int64_t start, int64_t length, double frames);
