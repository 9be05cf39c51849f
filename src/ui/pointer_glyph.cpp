#include "ui/pointer_glyph.h"

#include <SDL2/SDL.h>

#include <cmath>

namespace {

constexpr float kPi = 3.14159265358979f;
constexpr float kTwoPi = 2.0f * kPi;
constexpr float kStartRotation = 0.7f;
constexpr float kStartLie[3] = {1.0f, 0.82f, 0.30f};
// Darkest first.
constexpr float kTones[4][3] = {{0.2588f, 0.2118f, 0.0784f},
                                {0.5608f, 0.4588f, 0.1686f},
                                {1.0f, 0.8196f, 0.302f},
                                {1.0f, 0.8941f, 0.5922f}};
constexpr int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

constexpr double kSparkLife = 0.55;
constexpr float kSparkSpacing = 3.0f;  // pixels of travel per spark
constexpr int kSparksPerFrame = 8;
constexpr float kGoldenAngle = 2.399963f;
constexpr float kTurnPerSecond = kTwoPi / 10.0f;
// A frame hitch must not fling the glyph round.
constexpr double kMaxStep = 0.1;

float clamp01(float v) {
  return v < 0 ? 0 : (v > 1 ? 1 : v);
}

float wrap_angle(float a) {
  a = std::fmod(a, kTwoPi);
  if (a < 0) a += kTwoPi;
  // fmod of a tiny negative number plus 2π rounds up to 2π itself.
  return a >= kTwoPi ? 0 : a;
}

void show_system_cursor(bool show) {
  if (SDL_WasInit(SDL_INIT_VIDEO)) SDL_ShowCursor(show ? SDL_ENABLE : SDL_DISABLE);
}

void add_spark(PointerGlyph* g, float x, float y, double now) {
  if (g->spark_count == POINTER_SPARKS) {
    for (int i = 1; i < POINTER_SPARKS; i++) g->sparks[i - 1] = g->sparks[i];
    g->spark_count--;
  }
  g->sparks[g->spark_count++] =
      PointerSpark{x, y, now, (float)g->spark_counter * kGoldenAngle};
  g->spark_counter++;
}

void drop_old_sparks(PointerGlyph* g, double now) {
  int kept = 0;
  for (int i = 0; i < g->spark_count; i++)
    if (now - g->sparks[i].born < kSparkLife) g->sparks[kept++] = g->sparks[i];
  g->spark_count = kept;
}

void update_sparks(PointerGlyph* g, int kind, float x, float y, double now, bool reduced) {
  if (kind == POINTER_SYSTEM || reduced) {
    g->spark_count = 0;
  } else if (g->has_last) {
    const float dx = x - g->last_x, dy = y - g->last_y;
    g->travel += std::sqrt(dx * dx + dy * dy);
    // A long jump makes a few sparks, not a line of them, and keeps only the remainder.
    int n = (int)std::fmin(std::floor(g->travel / kSparkSpacing), (float)kSparksPerFrame);
    g->travel = std::fmod(g->travel, kSparkSpacing);
    for (int k = 1; k <= n; k++) {
      const float f = (float)k / (float)n;
      add_spark(g, g->last_x + dx * f, g->last_y + dy * f, now);
    }
    drop_old_sparks(g, now);
  }
  g->has_last = true;
  g->last_x = x;
  g->last_y = y;
}

// --- Drawing ---------------------------------------------------------------------------------

struct Rgba8 {
  Uint8 r, g, b, a;
};

Uint8 to_byte(float v) {
  return (Uint8)std::lround(clamp01(v) * 255.0f);
}

// Tone k as drawn: tinted toward the lie colour as the glyph lies down, and grey until it lies
// or turns into the arrow.
Rgba8 tone_colour(const PointerGlyph* g, int k, float alpha) {
  const float* t = kTones[k];
  float c[3] = {t[0], t[1], t[2]};
  const float lie = clamp01(g->lie);
  if (lie > 0) {
    // The bright tones keep a floor so the lit faces stay light in a dark take colour.
    const float floor = t[2] > 0.392f ? 0.25f : 0.0f;
    const float take[3] = {g->lie_r, g->lie_g, g->lie_b};
    for (int i = 0; i < 3; i++) {
      const float want = floor + t[0] * clamp01(take[i]) * (1 - floor);
      c[i] += (want - c[i]) * lie;
    }
  }
  const float y = 0.2126f * c[0] + 0.7152f * c[1] + 0.0722f * c[2];
  const float sat = 0.22f + 0.78f * clamp01(g->lie + g->arrow);
  for (float& v : c) v = y + (v - y) * sat;
  return Rgba8{to_byte(c[0]), to_byte(c[1]), to_byte(c[2]), to_byte(alpha)};
}

// Logical rectangle to device pixels: edges rounded on their own, so neighbouring runs meet
// without gaps or overlaps at any scale; never thinner than a pixel.
void fill_snapped(SDL_Renderer* r, float x0, float y0, float x1, float y1, float scale) {
  const int dx0 = (int)std::lround(x0 * scale), dy0 = (int)std::lround(y0 * scale);
  int dx1 = (int)std::lround(x1 * scale), dy1 = (int)std::lround(y1 * scale);
  if (dx1 <= dx0) dx1 = dx0 + 1;
  if (dy1 <= dy0) dy1 = dy0 + 1;
  const SDL_Rect rect{dx0, dy0, dx1 - dx0, dy1 - dy0};
  SDL_RenderFillRect(r, &rect);
}

void set_colour(SDL_Renderer* r, Rgba8 c) {
  SDL_SetRenderDrawColor(r, c.r, c.g, c.b, c.a);
}

void draw_sparks(SDL_Renderer* r, const PointerGlyph* g, float scale, double now) {
  for (int i = 0; i < g->spark_count; i++) {
    const PointerSpark& s = g->sparks[i];
    const float a = (float)(now - s.born);
    if (!(a >= 0 && a < (float)kSparkLife)) continue;
    const float e = 1 - a / (float)kSparkLife;
    const float side = 1 + 1.5f * e * e;
    const float x = s.x + std::sin(s.phase) * a * 14 - side / 2;
    const float y = s.y + a * 12 - side / 2;
    set_colour(r, tone_colour(g, 2, e * e));
    fill_snapped(r, x, y, x + side, y + side, scale);
  }
}

struct Point {
  float x, y;
};

float cross(Point a, Point b) {
  return a.x * b.y - a.y * b.x;
}

// One face (apex, b, c) on the glyph's own pixel grid: sample (col, row) sits `col, row` pixels
// from the tip and is drawn as the pixel whose top-left corner is that far from the pointer, so
// the tip pixel is the pointer's own and the dither stays put on the glyph as it moves.
void draw_face(SDL_Renderer* r, const Rgba8 tones[4], int face, float rotation, Point b, Point c,
               float px, float py, float scale) {
  const float area2 = cross(b, c);
  if (std::fabs(area2) < 0.5f) return;
  const float sign = area2 > 0 ? 1.0f : -1.0f;
  const int left = (int)std::ceil(std::fmin(0.0f, std::fmin(b.x, c.x)));
  const int right = (int)std::floor(std::fmax(0.0f, std::fmax(b.x, c.x)));
  const int top = (int)std::ceil(std::fmin(0.0f, std::fmin(b.y, c.y)));
  const int bottom = (int)std::floor(std::fmax(0.0f, std::fmax(b.y, c.y)));
  const float height = (float)(bottom - top + 1);
  const float light = (std::cos(((float)face + 0.5f) * kPi / 2 + rotation - 0.8f) + 1) / 2;
  const Point bc{c.x - b.x, c.y - b.y}, ca{-c.x, -c.y};
  // Samples on an edge count as inside: the tip itself lies on two.
  constexpr float kEdge = -1e-4f;
  for (int row = top; row <= bottom; row++) {
    float t = (float)(row - top) / height * 0.25f + 2.45f * light + 0.2f;
    t = t < 0 ? 0 : (t > 3 ? 3 : t);
    const int base = (int)t;
    const float frac = t - (float)base;
    int run_start = 0, run_level = -1;
    for (int col = left; col <= right + 1; col++) {
      int level = -1;
      if (col <= right) {
        const Point p{(float)col, (float)row};
        const bool inside = sign * cross(b, p) >= kEdge &&
                            sign * cross(bc, Point{p.x - b.x, p.y - b.y}) >= kEdge &&
                            sign * cross(ca, Point{p.x - c.x, p.y - c.y}) >= kEdge;
        if (inside) {
          level = base;
          if (frac > ((float)kBayer[row & 3][col & 3] + 0.5f) / 16.0f) level++;
          if (level > 3) level = 3;
        }
      }
      if (level == run_level) continue;
      if (run_level >= 0) {
        set_colour(r, tones[run_level]);
        fill_snapped(r, px + (float)run_start, py + (float)row, px + (float)col,
                     py + (float)row + 1, scale);
      }
      run_level = level;
      run_start = col;
    }
  }
}

}  // namespace

void pointer_glyph_init(PointerGlyph* g) {
  *g = PointerGlyph{};
  g->rotation = kStartRotation;
  g->lie_r = kStartLie[0];
  g->lie_g = kStartLie[1];
  g->lie_b = kStartLie[2];
  // SDL shows its cursor until told otherwise; the first update decides.
  g->system_shown = true;
  g->kind = -1;
}

void pointer_glyph_update(PointerGlyph* g, double dt, int kind, float take_r, float take_g,
                          float take_b, float x, float y, double now, bool reduced_motion) {
  if (kind < POINTER_IDLE || kind > POINTER_SYSTEM) kind = POINTER_IDLE;
  if (!std::isfinite(dt)) dt = 0;
  const bool system = kind == POINTER_SYSTEM;
  if (g->kind == -1 || system != g->system_shown) show_system_cursor(system);
  g->system_shown = system;
  g->kind = kind;

  const double step = std::fmin(std::fmax(dt, 0.0), kMaxStep);
  const float rate = reduced_motion ? 1.0f : (float)(1.0 - std::exp(-12.0 * step));
  g->arrow += ((kind == POINTER_CONTROL ? 1.0f : 0.0f) - g->arrow) * rate;
  if (kind == POINTER_CANVAS) {
    g->lie += (1 - g->lie) * rate;
    if (std::isfinite(take_r) && std::isfinite(take_g) && std::isfinite(take_b)) {
      g->lie_r += (clamp01(take_r) - g->lie_r) * rate;
      g->lie_g += (clamp01(take_g) - g->lie_g) * rate;
      g->lie_b += (clamp01(take_b) - g->lie_b) * rate;
    }
  } else {
    g->lie -= g->lie * rate;
  }

  if (kind == POINTER_CONTROL) {
    const float to = kPi / 4 - g->rotation;
    g->rotation += rate * std::atan2(std::sin(to), std::cos(to));
  } else if (!reduced_motion) {
    g->rotation += kTurnPerSecond * (float)step;
  }
  g->rotation = wrap_angle(g->rotation);

  if (std::isfinite(x) && std::isfinite(y)) update_sparks(g, kind, x, y, now, reduced_motion);
}

void pointer_glyph_draw(SDL_Renderer* r, const PointerGlyph* g, float x, float y, float scale,
                        double now) {
  if (!r || g->system_shown) return;
  if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(scale) || scale <= 0) return;
  Uint8 old_r, old_g, old_b, old_a;
  SDL_BlendMode old_blend;
  SDL_GetRenderDrawColor(r, &old_r, &old_g, &old_b, &old_a);
  SDL_GetRenderDrawBlendMode(r, &old_blend);
  SDL_SetRenderDrawBlendMode(r, SDL_BLENDMODE_BLEND);

  draw_sparks(r, g, scale, now);

  const float lie = clamp01(g->lie), arrow = clamp01(g->arrow);
  const float q = -(3 * kPi / 4) * arrow, f = 1 - 0.22f * arrow;
  const float cq = std::cos(q), sq = std::sin(q);
  Point corner[4];
  float depth_key[4];  // sin part of each corner: larger is nearer the viewer
  for (int i = 0; i < 4; i++) {
    const float th = g->rotation + (float)i * kPi / 2;
    const float cx = 12 * std::cos(th), sy = 12 * std::sin(th);
    const float v = 22 - 0.36f * sy;
    const Point stand{cq * cx * f - sq * v, sq * cx * f + cq * v};
    const Point lying{0.36f * v - 0.06f * cx, 0.42f * v + 1.9f * cx};
    corner[i] = Point{stand.x + (lying.x - stand.x) * lie, stand.y + (lying.y - stand.y) * lie};
    depth_key[i] = sy;
  }
  // Back faces first.
  int order[4] = {0, 1, 2, 3};
  float key[4];
  for (int i = 0; i < 4; i++) key[i] = depth_key[i] + depth_key[(i + 1) % 4];
  for (int i = 1; i < 4; i++)
    for (int j = i; j > 0 && key[order[j]] < key[order[j - 1]]; j--) {
      const int t = order[j];
      order[j] = order[j - 1];
      order[j - 1] = t;
    }
  Rgba8 tones[4];
  for (int k = 0; k < 4; k++) tones[k] = tone_colour(g, k, 1);
  for (int n = 0; n < 4; n++) {
    const int i = order[n];
    draw_face(r, tones, i, g->rotation, corner[i], corner[(i + 1) % 4], x, y, scale);
  }

  SDL_SetRenderDrawColor(r, old_r, old_g, old_b, old_a);
  SDL_SetRenderDrawBlendMode(r, old_blend);
}
