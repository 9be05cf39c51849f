// Painting the sky's objects: galaxies, stars, far bodies, ships, rocks, meteors, debris and hit
// flashes. Shapes are fixed-size arrays on the stack; nothing allocates.
#include <cmath>

#include "ui/sky_internal.h"

namespace {

constexpr float kTau = 6.2831853f;

constexpr uint32_t kGalaxyX = 0x0C2BA0D1u, kGalaxyY = 0x2A9F61E3u, kGalaxySize = 0x44D5B1C7u;
constexpr uint32_t kGalaxyTilt = 0x6F1E8A25u, kGalaxyRatio = 0x19B7C3E9u;
constexpr uint32_t kGalaxySpin = 0x5E2D9F07u, kGalaxyTint = 0x37A4C6B1u, kGalaxyKind = 0x7D81E5F3u;
constexpr uint32_t kBodyX = 0x23C5A7E9u, kBodyY = 0x4B9D1F63u, kBodyBob = 0x6E0F3A85u;
constexpr uint32_t kBodyShape = 0x15B3D7F9u;
constexpr uint32_t kShipDir = 0x3F6A2C8Du, kShipY = 0x58B1E4A7u, kShipSize = 0x0E7C9B35u;
constexpr uint32_t kShipWobble = 0x72D4F1A9u, kShipTint = 0x2B8E6C13u;

// A soft ellipse: full colour at the centre fading to nothing at the rim (a fan of
// colour-per-corner quads, so there is no hard edge).
void soft_ellipse(Painter* p, float cx, float cy, float rx, float ry, float angle, DrawColour c) {
  constexpr int kSides = 20;
  if (!(c.a > 0) || !(rx > 0) || !(ry > 0)) return;
  DrawColour rim = c;
  rim.a = 0;
  float ca = std::cos(angle), sa = std::sin(angle);
  DrawPoint centre{cx, cy}, prev{};
  for (int i = 0; i <= kSides; i++) {
    float t = kTau * (float)i / kSides, ex = rx * std::cos(t), ey = ry * std::sin(t);
    DrawPoint pt{cx + ex * ca - ey * sa, cy + ex * sa + ey * ca};
    if (i > 0) {
      const DrawPoint corners[4] = {centre, prev, pt, centre};
      const DrawColour colours[4] = {c, rim, rim, c};
      draw_quad_colours(p, corners, colours);
    }
    prev = pt;
  }
}

// A lumpy convex rock: a dark body and a lighter face nudged toward the upper left.
void rock_shape(Painter* p, float cx, float cy, float r, int sides, float rotation, uint32_t seed,
                DrawColour light, DrawColour dark) {
  DrawPoint body[8], face[8];
  if (sides > 8) sides = 8;
  for (int v = 0; v < sides; v++) {
    // Radii within 0.86..1 keep the outline convex for 5 to 8 sides.
    float rr = r * (0.86f + 0.14f * sky_u(seed + (uint32_t)v * 0x9E3779B9u));
    float a = rotation + kTau * (float)v / (float)sides;
    float dx = std::cos(a) * rr, dy = std::sin(a) * rr;
    body[v] = DrawPoint{cx + dx, cy + dy};
    face[v] = DrawPoint{cx - 0.1f * r + 0.7f * dx, cy - 0.1f * r + 0.7f * dy};
  }
  draw_polygon(p, body, sides, dark);
  draw_polygon(p, face, sides, light);
}

struct Ellipse {
  float scale, alpha, squash, along;  // along: centre offset on the major axis, in sizes
};
struct GalaxyKind {
  Ellipse parts[3];
  int count, arms;
  float arm_alpha;
};
// Kinds 0-2 are spirals (halo, core, arms); 3-6 are stacks of ellipses.
const GalaxyKind kKinds[7] = {
    {{{1.1f, 0.06f, 1, 0}, {0.36f, 0.3f, 1, 0}}, 2, 2, 0.22f},
    {{{1.15f, 0.07f, 1, 0}, {0.28f, 0.32f, 1, 0}}, 2, 4, 0.18f},
    {{{1.0f, 0.05f, 1, 0}, {0.62f, 0.16f, 1, 0}}, 2, 2, 0.1f},
    {{{1.0f, 0.05f, 1, 0}, {0.5f, 0.12f, 1, 0}, {0.2f, 0.3f, 1, 0}}, 3, 0, 0},
    {{{0.9f, 0.06f, 1, 0}, {0.3f, 0.28f, 1, 0}}, 2, 0, 0},
    {{{1.2f, 0.05f, 0.45f, 0}, {0.6f, 0.12f, 0.45f, 0}, {0.18f, 0.35f, 0.6f, 0}}, 3, 0, 0},
    {{{0.8f, 0.05f, 1, 0}, {0.22f, 0.25f, 1, -0.3f}, {0.2f, 0.25f, 1, 0.32f}}, 3, 0, 0},
};
const DrawColour kGalaxyTints[2] = {{0.72f, 0.8f, 1.0f, 1}, {1.0f, 0.84f, 0.7f, 1}};

DrawPoint lean_offset(const SkyFrame& f, float factor) {
  return DrawPoint{-46 * factor * f.lx, -46 * factor * f.ly};
}

struct Ship {
  float x, y, size, angle;
  DrawColour colour;
};

Ship ship_at(const SkyFrame& f, int i) {
  float w = f.rect.w, h = f.rect.h;
  double period = 70.0 + 23.0 * i, v = f.phase / period + 0.37 * i;
  int64_t n = (int64_t)std::floor(v);
  float progress = (float)(v - (double)n);
  uint32_t seed = (uint32_t)n * 104729u + 7919u * (uint32_t)i + 700u;
  bool rightward = sky_hash(seed + kShipDir) & 1;
  float from = -0.05f * w, to = 1.05f * w;
  Ship s;
  s.x = rightward ? from + (to - from) * progress : to + (from - to) * progress;
  float wobble = 14 * f.k, t = (float)(0.08 * f.phase);
  s.y = (0.05f + 0.75f * sky_u(seed + kShipY)) * h + wobble * sky_noise1(t, seed + kShipWobble);
  s.size = (1.3f + 1.7f * sky_u(seed + kShipSize)) * f.k;
  // Heading along the path: the crossing speed and the wobble's slope per second.
  float vx = (rightward ? 1.1f : -1.1f) * w / (float)period;
  float vy = wobble * 0.08f *
             (sky_noise1(t + 0.05f, seed + kShipWobble) - sky_noise1(t - 0.05f, seed + kShipWobble)) /
             0.1f;
  s.angle = std::atan2(vy, vx);
  s.colour = (sky_hash(seed + kShipTint) & 1) ? f.theme : DrawColour{0.86f, 0.9f, 1.0f, 1};
  return s;
}

}  // namespace

void sky_paint_galaxies(Painter* p, const SkyFrame& f) {
  DrawPoint off = lean_offset(f, 0.2f * f.k);
  draw_set_additive(p, true);
  for (int j = 0; j < SKY_GALAXIES; j++) {
    int kind = j <= 6 ? j : (int)(sky_hash(sky_seed(j, kGalaxyKind)) % 7);
    const GalaxyKind& g = kKinds[kind];
    float u = sky_u(sky_seed(j, kGalaxyX)), u2 = sky_u(sky_seed(j, kGalaxyY));
    float x = f.rect.x + off.x + (float)(u + 0.012f * f.c - std::floor(u + 0.012f * f.c)) * f.rect.w;
    float yy = 0.04f + 0.86f * u2 + 0.012f * f.d;
    float y = f.rect.y + off.y + (yy - std::floor(yy)) * f.rect.h;
    float size = (9 + 13 * sky_u(sky_seed(j, kGalaxySize))) * f.k;
    float tilt = sky_u(sky_seed(j, kGalaxyTilt)) * 3.14159265f;
    float ratio = 0.34f + 0.36f * sky_u(sky_seed(j, kGalaxyRatio));
    float speed = (0.006f + 0.01f * sky_u(sky_seed(j, kGalaxySpin))) * (j % 2 ? -1 : 1);
    float spin = (float)(speed * f.phase);
    DrawColour tint = kGalaxyTints[sky_hash(sky_seed(j, kGalaxyTint)) & 1];
    float ct = std::cos(tilt), st = std::sin(tilt);
    for (int e = 0; e < g.count; e++) {
      const Ellipse& part = g.parts[e];
      DrawColour c = tint;
      c.a = part.alpha;
      float r = part.scale * size;
      soft_ellipse(p, x + ct * part.along * size, y + st * part.along * size, r,
                   r * ratio * part.squash, tilt, c);
    }
    // Arms: dots on trailing spirals, turning with the spin, flattened like the disc.
    for (int a = 0; a < g.arms; a++) {
      for (int d = 1; d <= 9; d++) {
        float t = (float)d / 10, r = size * (0.18f + 0.9f * t);
        float theta = spin + kTau * (float)a / (float)g.arms + 2.4f * t;
        float lx = r * std::cos(theta), ly = r * std::sin(theta) * ratio;
        DrawColour c = tint;
        c.a = g.arm_alpha * (1.15f - t);
        draw_disc(p, x + lx * ct - ly * st, y + lx * st + ly * ct, (0.5f + 0.5f * (1 - t)) * f.k, c);
      }
    }
  }
}

void sky_paint_stars(const Sky* sky, Painter* p, const SkyFrame& f) {
  draw_set_additive(p, false);
  for (const SkyStar& s : sky->stars) {
    DrawPoint off = lean_offset(f, 0.22f + 0.16f * sky_clamp(s.size / 2, 0, 1));
    float fx = s.x + s.depth * f.c, fy = s.y + s.depth * f.d;
    float x = f.rect.x + off.x + (fx - std::floor(fx)) * f.rect.w;
    float y = f.rect.y + off.y + (fy - std::floor(fy)) * f.rect.h;
    const DrawPoint diamond[4] = {{x, y - s.size}, {x + s.size, y}, {x, y + s.size}, {x - s.size, y}};
    draw_polygon(p, diamond, 4, DrawColour{1, 1, 1, 0.85f * s.brightness});
  }
}

void sky_paint_bodies(Painter* p, const SkyFrame& f) {
  static const DrawColour kLight[2] = {{0.40f, 0.43f, 0.55f, 0.95f}, {0.55f, 0.42f, 0.37f, 0.95f}};
  static const DrawColour kDark[2] = {{0.11f, 0.12f, 0.19f, 0.95f}, {0.17f, 0.11f, 0.11f, 0.95f}};
  static const DrawColour kHalo[2] = {{0.6f, 0.7f, 1.0f, 0.05f}, {1.0f, 0.75f, 0.6f, 0.05f}};
  float w = f.rect.w, h = f.rect.h;
  float x[2], y[2], r[2];
  for (int i = 0; i < 2; i++) {
    float pan = i ? 0.03f : 0.05f;
    float drift = (float)((i ? -0.00025 : 0.0004) * f.phase);
    float fx = 0.1f + 0.8f * sky_u(sky_seed(i, kBodyX)) + pan * f.c + drift;
    DrawPoint off = lean_offset(f, (i ? 0.36f : 0.46f) * f.k);
    x[i] = f.rect.x + off.x + (fx - std::floor(fx)) * 1.2f * w - 0.1f * w;
    float bob = 5 * f.k * sky_noise1((float)(0.01 * f.phase), sky_seed(i, kBodyBob));
    y[i] = f.rect.y + off.y + (0.1f + 0.32f * sky_u(sky_seed(i, kBodyY)) + 0.5f * pan * f.d) * h + bob;
    r[i] = (i ? 5 : 11) * f.k;
  }
  draw_set_additive(p, true);
  for (int i = 0; i < 2; i++) soft_ellipse(p, x[i], y[i], 2.2f * r[i], 2.2f * r[i], 0, kHalo[i]);
  draw_set_additive(p, false);
  for (int i = 0; i < 2; i++)
    rock_shape(p, x[i], y[i], r[i], i ? 8 : 10, (float)((i ? -0.01 : 0.006) * f.phase),
               sky_seed(i, kBodyShape), kLight[i], kDark[i]);
}

void sky_paint_ships(Painter* p, const SkyFrame& f) {
  Ship ships[SKY_SHIPS];
  DrawPoint off = lean_offset(f, 0.62f * f.k);
  for (int i = 0; i < SKY_SHIPS; i++) {
    ships[i] = ship_at(f, i);
    ships[i].x += f.rect.x + off.x;
    ships[i].y += f.rect.y + off.y;
  }
  // Engine streaks first, all additive, then the hulls over them.
  draw_set_additive(p, true);
  for (int i = 0; i < SKY_SHIPS; i++) {
    const Ship& s = ships[i];
    float ca = std::cos(s.angle) * s.size, sa = std::sin(s.angle) * s.size;
    auto at = [&](float lx, float ly) { return DrawPoint{s.x + lx * ca - ly * sa, s.y + lx * sa + ly * ca}; };
    DrawColour hot = s.colour, cold = s.colour;
    hot.a = 0.3f * (0.75f + 0.25f * (float)std::sin(23 * f.phase + i));
    cold.a = 0;
    const DrawPoint corners[4] = {at(-1, -0.35f), at(-1, 0.35f), at(-12, 0.05f), at(-12, -0.05f)};
    const DrawColour colours[4] = {hot, hot, cold, cold};
    draw_quad_colours(p, corners, colours);
  }
  draw_set_additive(p, false);
  for (const Ship& s : ships) {
    float ca = std::cos(s.angle) * s.size, sa = std::sin(s.angle) * s.size;
    auto at = [&](float lx, float ly) { return DrawPoint{s.x + lx * ca - ly * sa, s.y + lx * sa + ly * ca}; };
    DrawColour c = s.colour;
    c.a = 0.8f;
    // The dart is concave: a body and two swept wings.
    draw_quad(p, at(1.5f, 0), at(-0.9f, 0.42f), at(-1, 0), at(-0.9f, -0.42f), c);
    draw_triangle(p, at(-0.9f, 0.42f), at(-1.15f, 1.05f), at(-1, 0), c);
    draw_triangle(p, at(-0.9f, -0.42f), at(-1, 0), at(-1.15f, -1.05f), c);
  }
}

void sky_paint_rocks(const Sky* sky, Painter* p, const SkyFrame& f, double clock) {
  DrawPoint off = lean_offset(f, 0.85f * f.k);
  draw_set_additive(p, false);
  for (int i = 0; i < SKY_ROCKS; i++) {
    SkyRock r;
    sky_rock(sky, i, clock, f.rect.w, f.rect.h, &r);
    if (r.destroyed) continue;
    DrawColour light, dark;
    sky_rock_colours(r.depth, &light, &dark);
    rock_shape(p, f.rect.x + off.x + r.x, f.rect.y + off.y + r.y, r.size, r.sides, r.spin,
               sky_rock_shape_seed(r, i), light, dark);
  }
}

void sky_paint_meteors(const Sky* sky, Painter* p, const SkyFrame& f) {
  DrawPoint off = lean_offset(f, 0.85f * f.k);
  float ox = f.rect.x + off.x, oy = f.rect.y + off.y;
  // Fragments tumble and fade over the last 40% of their life.
  draw_set_additive(p, false);
  for (const auto& group : sky->debris) {
    for (const SkyFragment& d : group) {
      if (!d.active) continue;
      DrawColour c = d.colour;
      c.a *= sky_clamp((d.life - d.age) / (0.4f * d.life), 0, 1);
      draw_regular(p, ox + d.x, oy + d.y, d.size, 3 + (int)(d.seed % 3), d.spin * d.age, c);
    }
  }
  draw_set_additive(p, true);
  const DrawColour tail{1.0f, 0.82f, 0.58f, 1};
  for (const SkyMeteor& m : sky->meteors) {
    if (!m.active) continue;
    // The trail thins and fades from the head back: one strip of colour-per-corner quads, so
    // additive segments don't double up where they meet.
    DrawPoint pts[SKY_TRAIL + 1];
    int n = 0;
    pts[n++] = DrawPoint{ox + m.x, oy + m.y};
    for (int i = 0; i < m.trail_count; i++) pts[n++] = DrawPoint{ox + m.trail[i].x, oy + m.trail[i].y};
    DrawPoint left[SKY_TRAIL + 1], right[SKY_TRAIL + 1];
    DrawColour col[SKY_TRAIL + 1];
    for (int i = 0; i < n; i++) {
      const DrawPoint& a = pts[i > 0 ? i - 1 : 0];
      const DrawPoint& b = pts[i < n - 1 ? i + 1 : n - 1];
      float dx = b.x - a.x, dy = b.y - a.y, len = std::sqrt(dx * dx + dy * dy);
      float t = (float)i / SKY_TRAIL, half = (1.1f * (1 - t) + 0.15f) * f.k;
      float nx = len > 1e-4f ? -dy / len * half : 0, ny = len > 1e-4f ? dx / len * half : 0;
      left[i] = DrawPoint{pts[i].x + nx, pts[i].y + ny};
      right[i] = DrawPoint{pts[i].x - nx, pts[i].y - ny};
      col[i] = tail;
      col[i].a = 0.55f * (1 - t) * (1 - t);
    }
    for (int i = 0; i + 1 < n; i++) {
      const DrawPoint corners[4] = {left[i], left[i + 1], right[i + 1], right[i]};
      const DrawColour colours[4] = {col[i], col[i + 1], col[i + 1], col[i]};
      draw_quad_colours(p, corners, colours);
    }
    draw_glow(p, ox + m.x, oy + m.y, 6 * f.k, DrawColour{1.0f, 0.9f, 0.7f, 0.7f});
    draw_disc(p, ox + m.x, oy + m.y, 1.3f * f.k, DrawColour{1, 1, 1, 0.9f});
  }
  for (const SkyFlash& fl : sky->flashes) {
    if (!fl.active) continue;
    float t = sky_clamp(fl.age / 0.6f, 0, 1);
    draw_glow(p, ox + fl.x, oy + fl.y, (10 + 34 * t) * f.k, DrawColour{1.0f, 0.85f, 0.6f, 1 - t});
  }
}
