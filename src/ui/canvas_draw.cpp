// One frame of the canvas: the sky, the leaves texture slid to where the camera is between two
// ticks, the loop, the marks (spawn glows and sparks) and the gem on the cursor.
#include <algorithm>
#include <cmath>

#include "ui/canvas_internal.h"

namespace {

constexpr double kGlowLife = 0.15;
constexpr float kFollowStiffness = 42.25f;
constexpr float kFollowDamping = 7.15f;
constexpr float kGemSize = 7.0f;     // half height, points
constexpr float kGemKeepOff = 29.0f;  // from the canvas's top and bottom
constexpr float kHandle = 18.0f;

// 4x4 ordered dither thresholds.
constexpr int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

float next_unit(uint32_t* state) {
  uint32_t x = *state ? *state : 32285u;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  *state = x;
  return (float)(x >> 8) / 16777216.0f;
}

double frame_dt(double now, double last) {
  double dt = now - last;
  return dt > 0 && dt <= 0.25 ? dt : 1.0 / 60.0;
}

DrawPoint spark_at(const CanvasSpark& s, float a, float zoom) {
  const float k = (1 - std::exp(-4.5f * a)) / 4.5f;
  return DrawPoint{s.x + s.vx * k, s.y + s.vy * k + 80.0f * a * a / zoom};
}

// The pointer follower: a damped spring toward the pointer while it is over the canvas.
void follow_pointer(Canvas* c, const CanvasInput* in, double dt) {
  if (in->pointer_in && std::isfinite(in->pointer_x) && std::isfinite(in->pointer_y)) {
    if (!c->follow_set) {
      c->follow_x = in->pointer_x;
      c->follow_y = in->pointer_y;
      c->follow_vx = c->follow_vy = 0;
      c->follow_set = true;
    }
    const int steps = std::max(1, (int)std::ceil(dt * 240.0));
    const float h = (float)(dt / steps);
    for (int i = 0; i < steps; i++) {
      c->follow_vx += (kFollowStiffness * (in->pointer_x - c->follow_x) - kFollowDamping * c->follow_vx) * h;
      c->follow_vy += (kFollowStiffness * (in->pointer_y - c->follow_y) - kFollowDamping * c->follow_vy) * h;
      c->follow_x += c->follow_vx * h;
      c->follow_y += c->follow_vy * h;
    }
    c->presence += (float)(1 - std::exp(-3.5 * dt)) * (1 - c->presence);
  } else {
    const float decay = (float)std::exp(-4.0 * dt);
    c->follow_vx *= decay;
    c->follow_vy *= decay;
    c->follow_x += c->follow_vx * (float)dt;
    c->follow_y += c->follow_vy * (float)dt;
    c->presence += (float)(1 - std::exp(-3.5 * dt)) * (0 - c->presence);
    if (c->presence < 0.002f) c->presence = 0;
  }
}

// The gem: a faceted figure in the sketch's colour, each facet's light quantised to four levels
// through the ordered dither, drawn as runs of device pixels.
void draw_gem(Painter* p, float cx, float cy, DrawColour colour, float alpha) {
  const float q = std::fmax(draw_pixel_scale(p), 1.0f);
  const float s = kGemSize;
  const DrawPoint top{0, -s}, bottom{0, s * 1.15f}, left{-0.8f * s, 0}, right{0.8f * s, 0},
      front{0.18f * s, -0.12f * s};
  struct Facet {
    DrawPoint a, b, c;
    float light;
  };
  const Facet facets[4] = {{top, left, front, 0.95f},
                           {top, front, right, 0.62f},
                           {left, bottom, front, 0.40f},
                           {front, bottom, right, 0.18f}};
  auto inside = [](DrawPoint a, DrawPoint b, DrawPoint c, float x, float y) {
    const float d1 = (x - b.x) * (a.y - b.y) - (a.x - b.x) * (y - b.y);
    const float d2 = (x - c.x) * (b.y - c.y) - (b.x - c.x) * (y - c.y);
    const float d3 = (x - a.x) * (c.y - a.y) - (c.x - a.x) * (y - a.y);
    const bool neg = d1 < 0 || d2 < 0 || d3 < 0, pos = d1 > 0 || d2 > 0 || d3 > 0;
    return !(neg && pos);
  };
  // Device pixels, so the dither stays crisp at any scale.
  const int x0 = (int)std::floor((cx - s) * q), x1 = (int)std::ceil((cx + s) * q);
  const int y0 = (int)std::floor((cy - s) * q), y1 = (int)std::ceil((cy + 1.15f * s) * q);
  for (int py = y0; py < y1; py++) {
    int run_start = 0, run_level = -1;
    auto flush = [&](int end) {
      if (run_level < 0) return;
      const float k = 0.28f + 0.3f * (float)run_level;
      const float w = run_level == 3 ? 0.35f : 0.0f;  // the brightest facet catches white
      DrawColour c{std::fmin(colour.r * k + w, 1.0f), std::fmin(colour.g * k + w, 1.0f),
                   std::fmin(colour.b * k + w, 1.0f), alpha};
      draw_rect(p, (float)run_start / q, (float)py / q, (float)(end - run_start) / q, 1.0f / q, c);
      run_level = -1;
    };
    for (int px = x0; px < x1; px++) {
      const float x = ((float)px + 0.5f) / q - cx, y = ((float)py + 0.5f) / q - cy;
      int level = -1;
      for (const Facet& f : facets) {
        if (!inside(f.a, f.b, f.c, x, y)) continue;
        const float t = f.light * 3.0f;
        level = (int)t;
        if (t - (float)level > ((float)kBayer[py & 3][px & 3] + 0.5f) / 16.0f) level++;
        level = std::min(level, 3);
        break;
      }
      if (level != run_level) {
        flush(px);
        if (level >= 0) {
          run_start = px;
          run_level = level;
        }
      }
    }
    flush(x1);
  }
}

}  // namespace

void canvas_spawn_marks(Canvas* c, const LeafShape* leaf, const CanvasItem* item, int32_t b,
                        float zoom) {
  const float r = std::clamp(leaf->level, 0.0f, 1.0f);
  if (r < 0.06f) return;
  const double now = item->now;
  if (c->glow_count < CANVAS_GLOWS)
    c->glows[c->glow_count++] =
        CanvasGlow{leaf->tip.x, leaf->tip.y, 8 * r + 4, 0.55f * r + 0.45f, leaf->colour, now};
  if (!leaf->major || r < 0.5f) return;
  const int n = 2 + (int)((r - 0.5f) * 5.998f);
  const float away = b % 2 == 1 ? 1.0f : -1.0f;  // standing leaves throw upward
  for (int i = 0; i < n && c->spark_count < CANVAS_SPARKS; i++) {
    const float u1 = next_unit(&c->rng), u2 = next_unit(&c->rng), u3 = next_unit(&c->rng),
                u4 = next_unit(&c->rng);
    const float theta = 0.45f + 2.0f * (u1 - 0.5f);
    const float speed = (90 + 130 * u2) * (0.6f + 0.4f * r);
    CanvasSpark s;
    s.x = leaf->tip.x;
    s.y = leaf->tip.y;
    s.vx = std::sin(theta) * speed / zoom;
    s.vy = away * std::cos(theta) * speed / zoom;
    s.life = 0.32f + 0.3f * u3;
    s.size = 1.5f + 1.2f * u4;
    s.time = now;
    s.colour = leaf->colour;
    c->sparks[c->spark_count++] = s;
  }
}

void canvas_draw(Canvas* c, const CanvasInput* in, DrawRect rect) {
  if (!c || !in || !(rect.w > 0) || !(rect.h > 0)) return;
  Painter* p = c->painter;
  const double now = in->now;
  const double dt = frame_dt(now, c->last_frame);
  const bool first_frame = c->last_frame == 0;
  c->last_frame = now;
  follow_pointer(c, in, dt);
  const CanvasFrame f = canvas_frame(c, in, rect);

  draw_reset_transform(p);
  DrawRect clip = rect;
  if (in->shown.w > 0 && in->shown.h > 0) {
    const float x0 = std::max(rect.x, in->shown.x), y0 = std::max(rect.y, in->shown.y);
    const float x1 = std::min(rect.x + rect.w, in->shown.x + in->shown.w);
    const float y1 = std::min(rect.y + rect.h, in->shown.y + in->shown.h);
    if (x1 <= x0 || y1 <= y0) return;  // all of it is hidden
    clip = DrawRect{x0, y0, x1 - x0, y1 - y0};
  }
  draw_set_clip(p, &clip);
  sky_draw(&c->sky, p, rect, f.centre_x, f.centre_y, in->reduced_motion ? 0.0 : now,
           in->accent);

  // Between ticks the picture slides from the camera of the last tick toward the current one.
  const float zoom = c->texture_ok ? c->rendered_zoom : f.zoom;
  const float centre_y = c->texture_ok ? c->rendered_centre_y : f.centre_y;
  float offset = 0;
  if (c->texture_ok && c->has_cam) {
    const float k = (float)std::clamp((now - c->last_tick) / CANVAS_TICK, 0.0, 1.0);
    const float cam = c->cam_prev + (c->cam_last - c->cam_prev) * k;
    offset = std::clamp((c->rendered_centre_x - cam) * f.W * zoom, -c->margin, c->margin);
  }
  if (c->texture_ok) {
    draw_set_alpha(p, 1.0f);
    target_draw(p, &c->texture, DrawRect{rect.x - c->margin + offset, rect.y, c->tex_w, c->tex_h});
  }
  const float centre_x = c->texture_ok ? c->rendered_centre_x : f.centre_x;
  const float ox = f.screen_left + 0.5f * f.W - centre_x * f.W * zoom + offset;
  const float oy = rect.y + 0.5f * f.H - centre_y * f.H * zoom;
  auto screen_x = [&](float x) { return ox + x * zoom; };
  auto screen_y = [&](float y) { return oy + y * zoom; };

  // The loop.
  if (in->loop.on && in->loop.in < in->loop.out && in->span > 0) {
    const float a = screen_x((float)(in->loop.in / in->span) * f.W);
    const float b = screen_x((float)(in->loop.out / in->span) * f.W);
    DrawColour band = in->loop_colour;
    band.a = 0.1f;
    const float l = std::fmax(a, rect.x), r = std::fmin(b, rect.x + rect.w);
    if (r > l) draw_rect(p, l, rect.y, r - l, rect.h, band);
    DrawColour line = in->loop_colour;
    line.a = 0.75f;
    for (float x : {a, b}) {
      if (x < rect.x - kHandle || x > rect.x + rect.w + kHandle) continue;
      draw_rect(p, x - 0.75f, rect.y, 1.5f, rect.h, line);
      draw_rect(p, x - kHandle / 2, rect.y + 0.66f * rect.h - kHandle / 2, kHandle, kHandle, line);
    }
  }

  // The marks: compacted as they expire.
  int kept = 0;
  for (int i = 0; i < c->glow_count; i++) {
    const CanvasGlow& g = c->glows[i];
    const double age = now - g.time;
    if (age >= kGlowLife || age < -1) continue;
    c->glows[kept++] = g;
    DrawColour col = g.colour;
    col.a = g.alpha * (float)(1 - std::fmax(age, 0.0) / kGlowLife);
    draw_set_additive(p, true);
    draw_glow(p, screen_x(g.x), screen_y(g.y), g.size, col);
    draw_set_additive(p, false);
  }
  c->glow_count = kept;
  kept = 0;
  for (int i = 0; i < c->spark_count; i++) {
    const CanvasSpark& s = c->sparks[i];
    const float a = (float)(now - s.time);
    if (a >= s.life || a < -1) continue;
    c->sparks[kept++] = s;
    const DrawPoint at = spark_at(s, std::fmax(a, 0.0f), zoom);
    const DrawPoint from = spark_at(s, std::fmax(a - 0.05f, 0.0f), zoom);
    const float fade = 1.1f * (1 - a / s.life) * (1 - a / s.life);
    DrawColour col{s.colour.r + 0.6f * (1 - s.colour.r), s.colour.g + 0.6f * (1 - s.colour.g),
                   s.colour.b + 0.6f * (1 - s.colour.b), 0.8f * std::clamp(fade, 0.0f, 1.0f)};
    const DrawPoint streak[2] = {{screen_x(from.x), screen_y(from.y)}, {screen_x(at.x), screen_y(at.y)}};
    draw_polyline(p, streak, 2, 0.45f * s.size, col, false);
  }
  c->spark_count = kept;

  // The gem: on the cursor, at the lane the next take lands in.
  if (in->has_cursor) {
    const float q = std::fmax(draw_pixel_scale(p), 1.0f);
    const float x = std::floor(screen_x((float)((double)in->position / f.frames) * f.W) * q + 0.5f) / q;
    float y;
    if (in->recording && in->live_pinned) {
      y = screen_y(in->live_y * f.H);
    } else {
      const LaneLayout lay = canvas_lane_layout(f.H, c->lanes.count + 1);
      y = screen_y(canvas_lane_y(&lay, c->lanes.count));
    }
    if (rect.h > 2 * kGemKeepOff) y = std::clamp(y, rect.y + kGemKeepOff, rect.y + rect.h - kGemKeepOff);
    if (!c->gem_set || first_frame || in->reduced_motion || now - c->gem_last > 0.25) {
      c->gem_y = y;
      c->gem_set = true;
    } else {
      c->gem_y += (y - c->gem_y) * (float)(1 - std::exp(-14.0 * dt));
    }
    c->gem_last = now;
    if (x >= rect.x - kGemSize && x <= rect.x + rect.w + kGemSize)
      draw_gem(p, x, c->gem_y, in->accent, 1.0f);
  }
  draw_set_clip(p, nullptr);
}
