// The canvas's life, tick and render: the draw items and the leaves texture. Drawing a frame
// (the slide, the loop, the marks and the gem) is in canvas_draw.cpp.
#include "ui/canvas.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"
#include "base/log.h"
#include "core/analysis.h"
#include "store/meta.h"
#include "ui/canvas_internal.h"

namespace {

constexpr float kLightGain = 0.15f;
constexpr float kLightDecay = 0.961f;
constexpr int kFirstItems = 16;
constexpr double kFlashWindowBefore = 0.75;
constexpr double kFlashWindowAfter = 0.05;
constexpr double kFlashSlotFree = 1.05;
constexpr float kLeafPixels = 1.5f;  // leaves closer than this on the texture are grouped

uint64_t mix(uint64_t h, uint64_t v) {
  h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
  return h;
}

uint64_t bits_of(double d) {
  uint64_t u;
  memcpy(&u, &d, sizeof u);
  return u;
}

// What the lanes, the profile and the flash scan depend on: the layers' identity, place, pinned
// height and strokes.
uint64_t layers_signature(const SketchMeta* meta) {
  uint64_t h = 1469598103934665603ull;
  const int n = meta ? meta->layerCount : 0;
  h = mix(h, (uint64_t)n);
  for (int i = 0; i < n; i++) {
    const Layer* l = meta->layers[i];
    h = mix(h, (uint64_t)(uintptr_t)l);
    h = mix(h, (uint64_t)(uintptr_t)l->strokes);
    h = mix(h, (uint64_t)l->strokeCount);
    h = mix(h, (uint64_t)l->startSample);
    h = mix(h, (uint64_t)l->lengthSamples);
    h = mix(h, l->hasExplicitY ? bits_of(l->explicitY) : 7);
  }
  return h;
}

void register_flashes(Canvas* c, const SketchMeta* meta, double now) {
  const int n = meta ? meta->layerCount : 0;
  for (int i = 0; i < n; i++) {
    const Layer* l = meta->layers[i];
    if (!(l->bornAt > 0) || l->bornAt < now - kFlashWindowBefore ||
        l->bornAt >= now + kFlashWindowAfter)
      continue;
    const double start = (double)l->startSample / std::fmax(l->sampleRate, 1.0);
    bool known = false;
    for (auto& s : c->flashes)
      if (s.used && s.born_at == l->bornAt && std::fabs(s.start_seconds - start) < 0.001) known = true;
    if (known) continue;
    CanvasFlashSlot* slot = nullptr;
    for (auto& s : c->flashes)
      if (!s.used) { slot = &s; break; }
    if (!slot)
      for (auto& s : c->flashes)
        if (now - s.flash_start > kFlashSlotFree) { slot = &s; break; }
    if (!slot) {
      slot = &c->flashes[0];
      for (auto& s : c->flashes)
        if (s.flash_start < slot->flash_start) slot = &s;
    }
    *slot = CanvasFlashSlot{l->bornAt, start, now, true};
  }
}

double flash_of(const Canvas* c, const Layer* l, double now) {
  if (!(l->bornAt > 0)) return 0;
  const double start = (double)l->startSample / std::fmax(l->sampleRate, 1.0);
  for (const auto& s : c->flashes) {
    if (!s.used || s.born_at != l->bornAt || std::fabs(s.start_seconds - start) >= 0.001) continue;
    const double since = now - s.flash_start;
    if (since >= 0 && since < CANVAS_FLASH_TIME) return s.flash_start;
  }
  return 0;
}

bool grow_items(Canvas* c, int need) {
  if (need <= c->item_capacity) return true;
  int cap = c->item_capacity ? c->item_capacity : kFirstItems;
  while (cap < need) cap *= 2;
  auto* grown = (CanvasItem*)realloc(c->items, sizeof(CanvasItem) * (size_t)cap);
  if (!grown) return false;
  c->items = grown;
  c->item_capacity = cap;
  return true;
}

// Keeps an item when some of its leaves can show, with one leaf more each side.
bool clip_item(CanvasItem* t, float lo, float hi, float pad) {
  const float p = std::fmax(t->pitch, 1e-9f);
  const double first = std::floor((lo - pad - t->x0) / p - 0.5) - 1;
  const double last = std::ceil((hi + pad - t->x0) / p - 0.5) + 1;
  if (!(last >= 0) || !(first <= t->leaves - 1)) return false;
  t->first = (int32_t)std::max(first, 0.0);
  t->last = (int32_t)std::min(last, (double)(t->leaves - 1));
  return t->first <= t->last;
}

}  // namespace

// --- Frame geometry ------------------------------------------------------------------------------

CanvasFrame canvas_frame(const Canvas* c, const CanvasInput* in, DrawRect rect) {
  CanvasFrame f{};
  f.rect = rect;
  f.inset = std::fmax(0.0f, std::fmin(in->inset, rect.w * 0.25f));
  f.W = std::fmax(rect.w - 2 * f.inset, 1.0f);
  f.H = std::fmax(rect.h, 1.0f);
  f.tall = rect.h > rect.w;
  f.frames = std::fmax(in->span * in->rate, 1.0);
  View initial;
  view_reset(&initial);
  ViewTransform t;
  view_transform(in->view ? in->view : &initial, ViewRect{rect.x, rect.y, rect.w, rect.h}, &t);
  f.zoom = std::fmax(t.scale_x, 1.0f);
  f.centre_x = t.centre_x;
  f.centre_y = t.centre_y;
  f.screen_left = rect.x + f.inset;
  f.margin = c ? c->margin : CANVAS_MARGIN;
  return f;
}

// --- Life ----------------------------------------------------------------------------------------

Canvas* canvas_new(Painter* painter) {
  if (!painter) return nullptr;
  auto* c = (Canvas*)calloc(1, sizeof(Canvas));
  if (!c) {
    log_line("ui: out of memory for the canvas");
    return nullptr;
  }
  c->painter = painter;
  sky_init(&c->sky);
  brush_init(&c->brush, kLightGain, kLightDecay);
  c->rng = 0x2545F491u;
  c->margin = CANVAS_MARGIN;
  c->live_spawned = -1;
  c->reveal_armed = true;
  c->reveal_armed_at = clock_monotonic();
  c->dirty = true;
  return c;
}

void canvas_free(Canvas* c) {
  if (!c) return;
  target_free(&c->texture);
  canvas_lanes_free(&c->lanes);
  free(c->items);
  free(c);
}

void canvas_set_painter(Canvas* c, Painter* painter) {
  if (!c) return;
  target_free(&c->texture);
  c->texture_ok = false;
  if (painter) c->painter = painter;
  c->dirty = true;
}

void canvas_rebuild(Canvas* c) {
  if (!c) return;
  c->dirty = true;
  c->next_render = 0;
}

void canvas_clear(Canvas* c, double now) {
  if (!c) return;
  c->glow_count = 0;
  c->spark_count = 0;
  for (auto& s : c->flashes) s = CanvasFlashSlot{};
  brush_clear(&c->brush);
  c->has_last_cursor = false;
  c->ring = LiveRing{};
  c->live_spawned = -1;
  c->layers_sig = 0;
  c->profile_sig = 0;
  c->reveal_armed = true;
  c->reveal_armed_at = now;
  c->reveal_start = 0;
  c->gem_set = false;
  sky_init(&c->sky);
  c->dirty = true;
}

int canvas_item_count(const Canvas* c) { return c ? c->item_count : 0; }
const CanvasItem* canvas_item(const Canvas* c, int i) {
  return c && i >= 0 && i < c->item_count ? &c->items[i] : nullptr;
}
int canvas_leaves_drawn(const Canvas* c) { return c ? c->leaves_drawn : 0; }

// --- Tick ----------------------------------------------------------------------------------------

void canvas_tick(Canvas* c, const CanvasInput* in) {
  if (!c || !in) return;
  const double frames = std::fmax(in->span * in->rate, 1.0);
  const uint64_t sig = mix(layers_signature(in->meta), bits_of(frames));
  if (sig != c->profile_sig) {
    canvas_profile_layers(c->base_profile, CANVAS_COLUMNS, in->meta, frames);
    c->profile_sig = sig;
  }
  memcpy(c->profile, c->base_profile, sizeof c->profile);
  if (in->recording && in->live_count > 0) {
    const int64_t length = live_length(in);
    canvas_profile_add(c->profile, CANVAS_COLUMNS, in->live_strokes, in->live_count, in->live_peak,
                       in->live_start, length, frames);
  }

  // The cursor brushes only the leaves it travels over: a locate, a step while stopped or a jump
  // back is a reset, so nothing it skipped bends.
  double cursor = -1;
  if (in->has_cursor && in->span > 0 && in->rate > 0) {
    cursor = std::clamp((double)in->position / frames, 0.0, 1.0);
    if (c->has_last_cursor) {
      const double moved = (double)(in->position - c->last_cursor) / frames;
      const bool rolling = in->playing || in->recording;
      if (moved < -0.0001) c->brush.reset = true;
      else if (rolling && moved > 4.0 * CANVAS_TICK / in->span + 0.0001) c->brush.reset = true;
      else if (!rolling && std::fabs(moved) > 0.000001) c->brush.reset = true;
    }
    c->last_cursor = in->position;
    c->has_last_cursor = true;
  } else {
    c->has_last_cursor = false;
  }
  brush_step(&c->brush, c->profile, cursor, in->now);

  c->tick_clock += CANVAS_TICK;
  View initial;
  view_reset(&initial);
  const float cam = in->view ? in->view->centre_x : initial.centre_x;
  c->cam_prev = c->has_cam ? c->cam_last : cam;
  c->cam_last = cam;
  c->has_cam = true;
  c->last_tick = in->now;
  c->dirty = true;
}

// --- Render --------------------------------------------------------------------------------------

int64_t live_length(const CanvasInput* in) {
  if (in->live_count <= 0 || !(in->rate > 0)) return 0;
  return (int64_t)std::llround((double)in->live_count * in->rate / ANALYSIS_HOPS_PER_SECOND);
}

namespace {

bool build_items(Canvas* c, const CanvasInput* in, const CanvasFrame& f, const LaneLayout& lay,
                 float lo, float hi) {
  const SketchMeta* meta = in->meta;
  const int n = meta ? meta->layerCount : 0;
  const bool live = in->recording && in->live_count > 0 && in->live_strokes;
  if (!grow_items(c, n + 1)) return false;
  const float disp = brush_max_displacement(&c->brush) * (f.W / CANVAS_COLUMNS);
  c->item_count = 0;
  for (int i = 0; i <= n; i++) {
    const bool is_live = i == n;
    if (is_live && !live) break;
    CanvasItem t{};
    t.index = i;
    if (!is_live) {
      const Layer* l = meta->layers[i];
      if (!l->strokes || l->strokeCount <= 0) continue;
      t.layer = l;
      t.strokes = l->strokes;
      t.count = l->strokeCount;
      t.start = l->startSample;
      t.length = l->lengthSamples;
      if (l->bornAt > 0) {
        t.born = l->bornAt;
        t.now = in->now;
      } else {
        t.born = l->createdAt;
        t.now = in->wall;
      }
      t.seconds = (double)l->lengthSamples / std::fmax(l->sampleRate, 1.0);
      t.lane = c->lanes.layers > i ? c->lanes.lane[i] : 0;
      t.y = l->hasExplicitY ? (float)(l->explicitY * f.H)
                            : canvas_lane_y(&lay, t.lane);
      t.colour = canvas_take_colour(l, i, in->accent);
      t.flash = flash_of(c, l, in->now);
    } else {
      t.strokes = in->live_strokes;
      t.count = in->live_count;
      t.peak = in->live_peak;
      t.live = true;
      t.start = in->live_start;
      t.length = live_length(in);
      t.born = in->now;
      t.now = in->now;
      t.seconds = (double)t.length / std::fmax(in->rate, 1.0);
      t.lane = in->live_pinned ? -1 : c->lanes.count;
      t.y = in->live_pinned ? in->live_y * f.H : canvas_lane_y(&lay, t.lane);
      // The live take already wears the colour it will land in.
      if (in->paint_mode || n == 0) t.colour = in->accent;
      else t.colour = canvas_palette(n - 1);
    }
    t.tone = canvas_tone(i);
    t.step = canvas_step(in->triangle_stride, f.tall);
    canvas_place(&t, f.frames, f.W, lay.leaf, f.tall);
    const float pad = t.half_width * 1.15f + 9.0f + 0.7f * disp;
    if (!clip_item(&t, lo, hi, pad)) continue;
    c->items[c->item_count++] = t;
  }
  std::stable_sort(c->items, c->items + c->item_count, [](const CanvasItem& a, const CanvasItem& b) {
    if (a.y != b.y) return a.y < b.y;
    return a.index < b.index;
  });
  return true;
}

}  // namespace

void canvas_render(Canvas* c, const CanvasInput* in, DrawRect rect) {
  if (!c || !in || !(rect.w > 0) || !(rect.h > 0)) return;
  Painter* p = c->painter;
  const int factor = in->supersample ? 2 : 1;
  const float tex_w = std::ceil(rect.w + 2 * c->margin), tex_h = std::ceil(rect.h);
  const bool resized = tex_w != c->tex_w || tex_h != c->tex_h || factor != c->tex_factor;
  const bool lost = !c->texture.texture || c->texture.generation != draw_generation(p);
  if (!c->dirty && !resized && !lost && c->texture_ok) return;
  // A renderer that takes long over the leaves (software, a dense sketch zoomed in) re-renders
  // less often rather than holding up the frames: at most a third of the time goes to it.
  const double started = clock_monotonic();
  if (!resized && !lost && c->texture_ok && started < c->next_render) return;
  if (target_ensure(p, &c->texture, (int)tex_w, (int)tex_h, factor) != 0) {
    c->texture_ok = false;  // the sky alone this frame
    return;
  }
  c->tex_w = tex_w;
  c->tex_h = tex_h;
  c->tex_factor = factor;

  const CanvasFrame f = canvas_frame(c, in, rect);
  const uint64_t sig = layers_signature(in->meta);
  if (sig != c->layers_sig) {
    if (canvas_lanes(&c->lanes, in->meta) != 0) return;  // tried again next frame
    register_flashes(c, in->meta, in->now);
    c->layers_sig = sig;
  }

  // The reveal wave: a sketch that opens with takes grows them left to right once.
  if (c->reveal_armed) {
    const int n = in->meta ? in->meta->layerCount : 0;
    bool strokes = false, fresh = false;
    for (int i = 0; i < n; i++) {
      const Layer* l = in->meta->layers[i];
      if (l->strokeCount > 0) strokes = true;
      if (l->bornAt >= c->reveal_armed_at) fresh = true;
    }
    if (strokes && !in->recording && !fresh) c->reveal_start = in->now > 0 ? in->now : 1e-9;
    c->reveal_armed = false;
  }
  if (c->reveal_start > 0 && in->now - c->reveal_start >= CANVAS_REVEAL_TIME) c->reveal_start = 0;

  const bool live = in->recording && in->live_count > 0 && in->live_strokes;
  if (live) live_ring_update(&c->ring, in->live_start, in->live_count, in->now, &c->live_spawned);
  else c->ring.active = false;

  const int lanes = c->lanes.count + (in->recording && !in->live_pinned ? 1 : 0);
  const LaneLayout lay = canvas_lane_layout(f.H, std::max(lanes, 1));
  const float lo = f.centre_x * f.W + (-c->margin - f.inset - 0.5f * f.W) / f.zoom;
  const float hi = f.centre_x * f.W + (rect.w + c->margin - f.inset - 0.5f * f.W) / f.zoom;
  if (!build_items(c, in, f, lay, lo, hi)) return;

  float push[CANVAS_COLUMNS];
  for (int k = 0; k < CANVAS_COLUMNS; k++) push[k] = c->brush.x[k] * (f.W / CANVAS_COLUMNS);
  LeafContext ctx{};
  ctx.W = f.W;
  ctx.H = f.H;
  ctx.zoom = f.zoom;
  ctx.centre_x = f.centre_x;
  ctx.centre_y = f.centre_y;
  ctx.screen_left = f.screen_left;
  ctx.screen_top = rect.y;
  ctx.visible_lo = lo;
  ctx.visible_hi = hi;
  ctx.visible_top = f.centre_y * f.H - 0.5f * f.H / f.zoom;
  ctx.visible_bottom = f.centre_y * f.H + 0.5f * f.H / f.zoom;
  ctx.leaf = lay.leaf;
  ctx.tall = f.tall;
  ctx.minor_fade = std::clamp((f.zoom - 1.3f) / 1.3f, 0.0f, 1.0f);
  ctx.now = in->now;
  ctx.clock = c->tick_clock;
  ctx.reveal_start = c->reveal_start;
  ctx.reduced_motion = in->reduced_motion;
  ctx.push = push;
  ctx.light = c->brush.l;
  ctx.columns = CANVAS_COLUMNS;
  ctx.follow_x = c->follow_x;
  ctx.follow_y = c->follow_y;
  ctx.follow_vx = c->follow_vx;
  ctx.presence = c->presence;
  ctx.pixel_scale = draw_pixel_scale(p);

  target_begin(p, &c->texture, DrawColour{0, 0, 0, 0});
  draw_set_transform(p, c->margin + f.inset + 0.5f * f.W - f.centre_x * f.W * f.zoom,
                     0.5f * f.H - f.centre_y * f.H * f.zoom, f.zoom, f.zoom);
  // The leaf context's screen positions are the window's; inside the texture the same
  // transform applies, so only the pointer pull and the reveal read them.
  LeafShape shape;
  int drawn = 0;
  const float device = ctx.pixel_scale * (float)factor;  // texture pixels per point
  for (int i = 0; i < c->item_count; i++) {
    CanvasItem* t = &c->items[i];
    // Leaves closer than a pixel and a half can't be told apart: one per group, at the group's
    // loudest stroke, keeping the major leaves' cadence.
    const float pitch_px = t->pitch * f.zoom * device;
    t->group = 1;
    if (!t->live && pitch_px * 3 < kLeafPixels) t->group = 3 * (int32_t)std::ceil(kLeafPixels / (3 * pitch_px));
    else if (!t->live && ctx.minor_fade > 0.01f && pitch_px < kLeafPixels) t->group = 3;
    const int32_t g = t->group;
    for (int32_t b = t->first - t->first % g; b <= t->last; b += g) {
      const int32_t e = b * t->step;
      double when = 0;
      bool spawning = false;
      if (t->live) {
        when = live_ring_time(&c->ring, e, in->now);
        if (!in->reduced_motion && e > c->live_spawned && in->now - when < CANVAS_SPAWN_AGE) {
          spawning = true;
          c->live_spawned = e;
        }
      }
      if (canvas_leaf(&ctx, t, b, when, spawning, &shape)) {
        draw_band(p, shape.left, shape.right, shape.points, shape.colour);
        drawn++;
        if (spawning) canvas_spawn_marks(c, &shape, t, b, f.zoom);
      }
    }
  }
  draw_reset_transform(p);
  target_end(p);
  c->leaves_drawn = drawn;
  c->rendered_centre_x = f.centre_x;
  c->rendered_centre_y = f.centre_y;
  c->rendered_zoom = f.zoom;
  c->dirty = false;
  c->texture_ok = true;
  const double took = clock_monotonic() - started;
  c->next_render = took > CANVAS_TICK / 2 ? started + 3 * took : 0;
}
