#include "ui/canvas_geometry.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "store/meta.h"

namespace {

constexpr DrawColour kPalette[5] = {
    {0.55f, 0.18f, 0.75f, 1.0f}, {0.80f, 0.25f, 0.45f, 1.0f}, {0.85f, 0.50f, 0.18f, 1.0f},
    {0.50f, 0.75f, 0.30f, 1.0f}, {0.30f, 0.65f, 0.85f, 1.0f}};

// The damped spring: 23 rad/s, damping ratio 0.53.
constexpr double kSpringDecay = 12.19;
const double kSpringOmega = 23.0 * std::sqrt(0.7191);

// Brush field constants.
constexpr float kRestStiffness = 64.0f;
constexpr float kGrabStiffness = 200.0f;
constexpr float kDamping = 4.0f;
constexpr float kGrabRadius = 1.0f;
constexpr float kRelease = 10.0f;
constexpr float kWeightMix = 0.88f;
constexpr float kLightCap = 1.5f;
constexpr float kStill = 0.001f;

template <typename T>
T clampv(T v, T lo, T hi) {
  return v < lo ? lo : v > hi ? hi : v;
}

float finite_or(float v, float fallback) { return std::isfinite(v) ? v : fallback; }

bool overlaps(const Layer* a, const Layer* b) {
  return a->startSample < b->startSample + b->lengthSamples &&
         b->startSample < a->startSample + a->lengthSamples;
}

DrawPoint bezier(DrawPoint a, DrawPoint b, DrawPoint c, DrawPoint d, float t) {
  float u = 1.0f - t;
  float w0 = u * u * u, w1 = 3 * u * u * t, w2 = 3 * u * t * t, w3 = t * t * t;
  return DrawPoint{w0 * a.x + w1 * b.x + w2 * c.x + w3 * d.x,
                   w0 * a.y + w1 * b.y + w2 * c.y + w3 * d.y};
}

}  // namespace

// --- Lanes ---------------------------------------------------------------------------------------

int canvas_lanes(CanvasLanes* lanes, const SketchMeta* meta) {
  const int n = meta ? meta->layerCount : 0;
  if (n > lanes->capacity) {
    int cap = lanes->capacity ? lanes->capacity : 16;
    while (cap < n) cap *= 2;
    int* grown = (int*)realloc(lanes->lane, sizeof(int) * (size_t)cap);
    if (!grown) return -1;
    lanes->lane = grown;
    lanes->capacity = cap;
  }
  lanes->layers = n;
  lanes->count = 0;
  // Lanes in use by earlier overlapping layers: at most n lanes, so a bitmap of n bits per
  // layer would do; a scan is fine for the few hundred takes a sketch holds.
  for (int i = 0; i < n; i++) {
    const Layer* l = meta->layers[i];
    if (l->hasExplicitY) {
      lanes->lane[i] = -1;
      continue;
    }
    int lane = 0;
    for (bool taken = true; taken; ) {
      taken = false;
      for (int j = 0; j < i; j++) {
        if (lanes->lane[j] == lane && overlaps(meta->layers[j], l)) {
          taken = true;
          lane++;
          break;
        }
      }
    }
    lanes->lane[i] = lane;
    lanes->count = std::max(lanes->count, lane + 1);
  }
  return 0;
}

void canvas_lanes_free(CanvasLanes* lanes) {
  free(lanes->lane);
  *lanes = CanvasLanes{};
}

LaneLayout canvas_lane_layout(float height, int lanes) {
  const int k = std::max(lanes - 1, 0);
  LaneLayout l;
  l.height = height;
  l.leaf = std::fmin(height / 3.0f / (0.25f * (float)k + 2.0f), height / 6.0f);
  l.spacing = 0.25f * l.leaf;
  l.base = 0.5f * height + 0.5f * (float)k * l.spacing;
  return l;
}

float canvas_lane_y(const LaneLayout* l, int lane) {
  if (lane < 0) return 0.5f * l->height;
  return l->base - (float)lane * l->spacing;
}

// --- Takes ---------------------------------------------------------------------------------------

DrawColour canvas_palette(int row) { return kPalette[((row % 5) + 5) % 5]; }

DrawColour canvas_take_colour(const Layer* layer, int index, DrawColour accent) {
  if (layer && layer->hasExplicitColor) {
    const MetaRgb& c = layer->explicitColor;
    return DrawColour{clampv((float)c.r, 0.0f, 1.0f), clampv((float)c.g, 0.0f, 1.0f),
                      clampv((float)c.b, 0.0f, 1.0f), 1.0f};
  }
  if (index >= 1) return canvas_palette(index - 1);
  return accent;
}

float canvas_tone(int index) {
  if (index <= 0) return 0.68f;
  return std::fmin(0.3f + 0.06f * (float)(index - 1), 0.55f);
}

int canvas_step(int triangle_stride, bool tall) {
  int s = triangle_stride >= 1 && triangle_stride <= 8 ? triangle_stride : 3;
  return s + (tall ? 1 : 0);
}

int canvas_leaf_count(int strokes, int step) {
  if (step < 1) step = 1;
  return std::max((strokes + step - 1) / step, 1);
}

double canvas_spring(double t) {
  if (!(t > 0)) return 0;
  if (t >= CANVAS_SPRING_TIME) return 1;
  return 1.0 - std::exp(-kSpringDecay * t) *
                   (std::cos(kSpringOmega * t) + kSpringDecay / kSpringOmega * std::sin(kSpringOmega * t));
}

double canvas_freshness(double age) {
  if (!(age > 0)) return std::isnan(age) ? 0 : 1;
  if (age >= CANVAS_FRESH_TIME) return 0;
  double f = 1.0 - age / CANVAS_FRESH_TIME;
  return f * f * f;
}

double canvas_flash_glow(double u, double since) {
  double k = since * 1.72 / 0.3 - 0.36;
  double g = (u - k) / 0.12;
  if (!(std::fabs(g) < 4)) return 0;
  return std::exp(-g * g / 2);
}

double canvas_noise(double q) {
  if (!std::isfinite(q)) return 0;
  double i = std::floor(q), f = q - i;
  auto sign = [](int64_t n) {
    uint64_t bits = (uint64_t)(n * 6971) ^ (uint64_t)(n * 1619);
    return (bits & 1) ? 1.0 : -1.0;
  };
  int64_t n = (int64_t)i;
  double a = sign(n) * f, b = sign(n + 1) * (f - 1);
  return a + (b - a) * f * f * (3 - 2 * f);
}

void canvas_place(CanvasItem* item, double frames, float width, float leaf_height, bool tall) {
  const double T = frames >= 1 ? frames : 1;
  const double s = (double)item->start / T;
  const double e = std::fmin(1.0, (double)(item->start + item->length) / T);
  item->x0 = (float)(width * s);
  item->width = (float)(width * std::fmax(e - s, 0.0001));
  item->leaves = canvas_leaf_count(item->count, item->step);
  item->pitch = item->width / (float)item->leaves;
  item->half_width = std::fmax(std::fmax(0.055f * leaf_height, tall ? 6.0f : 2.0f), 1.9f * item->pitch);
}

// --- One leaf ------------------------------------------------------------------------------------

float leaf_screen_x(const LeafContext* ctx, float x) {
  return ctx->screen_left + (x - ctx->centre_x * ctx->W) * ctx->zoom + 0.5f * ctx->W;
}

float leaf_screen_y(const LeafContext* ctx, float y) {
  return ctx->screen_top + (y - ctx->centre_y * ctx->H) * ctx->zoom + 0.5f * ctx->H;
}

bool canvas_leaf(const LeafContext* ctx, const CanvasItem* t, int32_t b, double stroke_time,
                 bool spawning, LeafShape* out) {
  const int32_t e = b * t->step;
  if (b < 0 || e >= t->count) return false;
  const bool major = b % 3 == 0;
  if (!major && !(ctx->minor_fade > 0.01f)) return false;

  float E;
  float stroke = t->strokes[e];
  if (t->group > 1) {
    const int32_t end = std::min(e + t->group * t->step, t->count);
    for (int32_t i = e + 1; i < end; i++)
      if (std::isfinite(t->strokes[i]) && !(t->strokes[i] <= stroke)) stroke = t->strokes[i];
  }
  if (!std::isfinite(stroke)) E = 0;
  else if (t->live) E = t->peak > 0 ? clampv(stroke / t->peak, 0.0f, 1.0f) : 0.0f;
  else E = clampv(stroke, 0.0f, 1.0f);

  const float x = t->x0 + (float)b * t->pitch + 0.5f * t->pitch;
  const float sx = leaf_screen_x(ctx, x);
  const float screen_w = std::fmax(ctx->W, 1.0f);

  double s = 1;
  if (!ctx->reduced_motion) {
    if (t->live) {
      s = canvas_spring(ctx->now - stroke_time);
    } else if (ctx->reveal_start > 0) {
      double across = clampv((double)(sx - ctx->screen_left) / screen_w, 0.0, 1.0);
      s = canvas_spring(ctx->now - (ctx->reveal_start + 0.6 * across));
    }
  }
  if (s < 0.02 && !spawning) return false;

  const double tau = t->born - (1.0 - (double)e / std::max(t->count - 1, 1)) * t->seconds;
  const double phi = canvas_freshness(t->now - tau);

  double g = 0;
  if (t->flash > 0) {
    const float start = leaf_screen_x(ctx, t->x0);
    const float width = std::fmax(t->width * ctx->zoom, 1e-6f);
    g = canvas_flash_glow((sx - start) / width, ctx->now - t->flash);
  }

  const double v = t->live ? E : E * (1 - phi);
  const float A = ctx->leaf;
  const float height =
      (float)(std::fmax(v, 0.0) * A * (major ? 1.0 : CANVAS_MINOR_HEIGHT) * (1 + 0.1 * g) * s);
  const bool hang = b % 2 == 1;
  const float N = hang ? height * (ctx->tall ? 1.0f / 3.0f : 1.0f) : -height;

  // The brush field and the pointer lean the leaf.
  const int col = (int)clampv(x / std::fmax(ctx->W, 1e-6f) * (float)ctx->columns, 0.0f,
                              (float)(ctx->columns - 1));
  float push = 0, light = 0;
  if (ctx->push && ctx->columns > 0) {
    push = 0.5f * std::fmax(0.7f * std::pow(1.0f - E, 1.3f), 0.05f) * finite_or(ctx->push[col], 0);
    light = finite_or(ctx->light[col], 0);
  }
  const float tip_y = t->y + N;
  if (ctx->presence > 0 && !ctx->reduced_motion) {
    const float dx = sx - ctx->follow_x;
    const float dy = leaf_screen_y(ctx, tip_y) - ctx->follow_y;
    const float r2 = (dx * dx + dy * dy) / 12100.0f;
    if (r2 < 36.0f) {
      const float pull = (-dx / std::sqrt(dx * dx + 1764.0f)) * 10.0f +
                         clampv(0.02f * ctx->follow_vx, -9.0f, 9.0f);
      push += (1 - 0.35f * E) * pull * ctx->presence / ((r2 + 1) * std::sqrt(r2 + 1)) /
              std::fmax(ctx->zoom, 1.0f);
    }
  }

  const double q = 0.6 * std::fmod(ctx->clock, 100000.0) + 0.14 * e;
  const float strength = 7.0f * E;
  const float wobble = (float)canvas_noise(q + 50) * strength * 0.05f;
  const float sway = (float)canvas_noise(q + 100) * strength * 0.5f;
  const float h = t->half_width;
  const float K = (float)canvas_noise(q) * strength + 0.15f * h * std::sin(13.37f * (float)e + 7.0f) + push;
  if (height == 0 && wobble == 0) return false;
  if (!std::isfinite(K) || !std::isfinite(height)) return false;

  // The leaf's box against what the texture can show.
  const float box_lo = x - h + std::fmin(K, 0.0f), box_hi = x + h + std::fmax(K, 0.0f);
  if (box_hi < ctx->visible_lo || box_lo > ctx->visible_hi) return false;
  if (ctx->visible_bottom > ctx->visible_top) {
    const float reach = std::fabs(wobble) + 1.0f;
    const float y_lo = std::fmin(t->y, tip_y) - reach, y_hi = std::fmax(t->y, tip_y) + reach;
    if (y_hi < ctx->visible_top || y_lo > ctx->visible_bottom) return false;
  }

  const float cprime = std::fabs(K) < std::fabs(K * 0.85f + sway) ? K : K * 0.85f + sway;
  const float ly = t->y;
  const DrawPoint tip{x + K, tip_y + (N < 0 ? -wobble : wobble)};
  const DrawPoint l0{x - h, ly}, l1{x - 0.7f * h + 0.08f * K, ly + 0.3f * N},
      l2{x - 0.25f * h + cprime, ly + 0.85f * N};
  const DrawPoint r0{x + h, ly}, r1{x + 0.7f * h + 0.08f * K, ly + 0.3f * N},
      r2{x + 0.25f * h + cprime, ly + 0.85f * N};
  const float on_screen = std::sqrt(N * ctx->zoom * N * ctx->zoom + K * ctx->zoom * K * ctx->zoom);
  const int seg = clampv((int)(on_screen * ctx->pixel_scale * 0.25f), 3, CANVAS_MAX_SEGMENTS);
  for (int i = 0; i <= seg; i++) {
    const float u = (float)i / (float)seg;
    out->left[i] = bezier(l0, l1, l2, tip, u);
    out->right[i] = bezier(r0, r1, r2, tip, u);
  }
  out->points = seg + 1;
  out->tip = tip;
  out->level = E;
  out->height = height;
  out->major = major;

  // Colour: the take's tone, fresher and lit leaves whiter.
  float a0 = (float)((0.72 * E + 0.28) * ((0.85 - t->tone) * phi + t->tone) *
                     (major ? 1.0 : ctx->minor_fade));
  a0 = clampv(a0, 0.0f, 1.0f);
  a0 += 0.35f * (float)g * (1 - a0);
  const float w = std::fmin(0.35f * (float)phi + 0.55f * light + 0.7f * (float)g, 0.9f);
  const float u = clampv(w * a0, 0.0f, 1.0f);
  const float alpha = 1 - (1 - a0) * (1 - u);
  if (alpha * 255.0f < 0.5f) return false;
  auto mix = [&](float c) { return clampv((a0 * (1 - u) * c + u) / alpha, 0.0f, 1.0f); };
  out->colour = DrawColour{mix(t->colour.r), mix(t->colour.g), mix(t->colour.b), alpha};
  return true;
}

// --- Live stroke clock ---------------------------------------------------------------------------

void live_ring_update(LiveRing* ring, int64_t start, int32_t count, double now, int32_t* spawned) {
  auto restart = [&](int32_t index) {
    ring->count = 1;
    ring->index[0] = index;
    ring->time[0] = now - CANVAS_TICK;
    ring->last_count = index;
  };
  if (!ring->active || start != ring->start || count < ring->last_count) {
    ring->active = true;
    ring->start = start;
    restart(0);
    *spawned = -1;
  }
  if (count <= ring->last_count) return;
  if (count - ring->last_count > CANVAS_RING_RESTART) {
    restart(count - CANVAS_RING_RESTART);
    *spawned = std::max(*spawned, count - CANVAS_RING_RESTART - 1);
  }
  if (ring->count >= CANVAS_RING - 1) {
    memmove(ring->index, ring->index + 1, sizeof(int32_t) * (size_t)(ring->count - 1));
    memmove(ring->time, ring->time + 1, sizeof(double) * (size_t)(ring->count - 1));
    ring->count--;
  }
  ring->index[ring->count] = count;
  ring->time[ring->count] = now;
  ring->count++;
  ring->last_count = count;
}

double live_ring_time(const LiveRing* ring, int32_t e, double now) {
  if (!ring->active || ring->count == 0 || e < ring->index[0]) return -1e9;
  if (e >= ring->index[ring->count - 1]) return now;
  int k = 1;
  while (k < ring->count && ring->index[k] <= e) k++;
  const int32_t i0 = ring->index[k - 1], i1 = ring->index[k];
  const double t0 = ring->time[k - 1], t1 = ring->time[k];
  if (i0 >= i1) return t1;
  return t0 + (double)(e - i0 + 1) * (t1 - t0) / (double)(i1 - i0);
}

// --- Brush field ---------------------------------------------------------------------------------

void brush_init(BrushField* b, float light_gain, float light_decay) {
  memset(b, 0, sizeof *b);
  b->columns = CANVAS_COLUMNS;
  b->gain = light_gain;
  b->decay = light_decay;
  for (int k = 0; k < b->columns; k++) {
    double s = std::sin(12.9898 * k + 78.233) * 43758.547;
    b->r[k] = (float)(1.0 + 0.36 * ((s - std::floor(s)) - 0.5));
  }
}

void brush_clear(BrushField* b) {
  for (int k = 0; k < b->columns; k++) {
    b->x[k] = b->v[k] = b->l[k] = 0;
    b->grabbed[k] = false;
  }
  b->has_prev = false;
  b->reset = false;
  b->stepped = false;
}

void brush_step(BrushField* b, const float* profile, double cursor, double now) {
  const int m = b->columns;
  double dt = b->stepped ? clampv(now - b->last, 0.001, 0.05) : CANVAS_TICK;
  if (!std::isfinite(dt)) dt = CANVAS_TICK;
  b->last = now;
  b->stepped = true;
  for (int k = 0; k < m; k++) {
    float w = profile ? profile[k] : 0;
    b->w[k] = std::isfinite(w) && w > 0 ? std::fmin(w, 1.0f) : 0.0f;
  }
  const bool has = cursor >= 0 && std::isfinite(cursor);
  double c = has ? cursor * m : 0;
  double lo = 1, hi = 0;  // the swept window; empty unless the cursor travelled
  if (has) {
    const bool jump = b->reset || (b->has_prev && std::fabs(c - b->prev) > m / 4.0);
    if (jump) {
      for (int k = 0; k < m; k++) b->grabbed[k] = false;
    } else {
      const double prev = b->has_prev ? b->prev : c;
      lo = std::fmin(c, prev) - kGrabRadius;
      hi = std::fmax(c, prev) + kGrabRadius;
    }
  }
  b->reset = false;
  const float decay = std::pow(b->decay, (float)(60.0 * dt));
  for (int k = 0; k < m; k++) {
    const bool inside = k >= lo && k <= hi;
    if (!inside && std::fabs(b->x[k]) <= kStill && std::fabs(b->v[k]) <= kStill &&
        b->l[k] <= kStill)
      continue;
    if (inside) b->grabbed[k] = true;
    if (b->grabbed[k] && std::fabs(b->x[k]) > ((1 - kWeightMix) + kWeightMix * b->w[k]) * kRelease)
      b->grabbed[k] = false;
    float target = 0, K = kRestStiffness;
    if (b->grabbed[k] && has) {
      target = (float)(c - k);
      K = kGrabStiffness;
    }
    b->v[k] += (float)((-K * b->r[k] * (b->x[k] - target) - kDamping * b->v[k]) * dt);
    b->x[k] += (float)(b->v[k] * dt);
    b->l[k] = std::fmax(b->l[k] * decay, std::fmin(b->gain * std::fabs(b->v[k]), kLightCap));
    if (b->l[k] < kStill) b->l[k] = 0;
  }
  if (has) {
    b->prev = c;
    b->has_prev = true;
  } else {
    b->has_prev = false;
  }
}

float brush_max_displacement(const BrushField* b) {
  float m = 0;
  for (int k = 0; k < b->columns; k++) m = std::fmax(m, std::fabs(b->x[k]));
  return m;
}

// --- Column profile ------------------------------------------------------------------------------

namespace {

void spread(float* out, int columns, const float* strokes, int32_t count, float scale,
            int64_t start, int64_t length, double frames) {
  if (!strokes || count <= 0 || length <= 0) return;
  const double T = frames >= 1 ? frames : 1;
  const double x0 = (double)start / T * columns, x1 = (double)(start + length) / T * columns;
  const double per = (x1 - x0) / count;
  for (int32_t i = 0; i < count; i++) {
    float v = strokes[i] * scale;
    if (!std::isfinite(v) || v <= 0) continue;
    int a = (int)std::floor(x0 + per * i), z = (int)std::floor(x0 + per * (i + 1));
    a = clampv(a, 0, columns - 1);
    z = clampv(z, a, columns - 1);
    for (int k = a; k <= z; k++) out[k] = std::fmax(out[k], v);
  }
}

}  // namespace

void canvas_profile_layers(float* out, int columns, const SketchMeta* meta, double frames) {
  for (int k = 0; k < columns; k++) out[k] = 0;
  const int n = meta ? meta->layerCount : 0;
  for (int i = 0; i < n; i++) {
    const Layer* l = meta->layers[i];
    spread(out, columns, l->strokes, l->strokeCount, 1.0f, l->startSample, l->lengthSamples,
           frames);
  }
}

void canvas_profile_add(float* out, int columns, const float* strokes, int32_t count, float peak,
                        int64_t start, int64_t length, double frames) {
  if (!(peak > 0)) return;
  spread(out, columns, strokes, count, 1.0f / peak, start, length, frames);
}
