// The sky's state and motion: hash and noise, the star field, lean, rocks, meteors, hits and
// debris, plus the gas layer and the paint order. The far objects are in sky_objects.cpp.
#include "ui/sky.h"

#include <cmath>
#include <cstring>

#include "ui/sky_internal.h"

namespace {

// Per-property seed offsets: each property of each object draws from its own stream.
constexpr uint32_t kRockDepth = 0x1B873593u;
constexpr uint32_t kRockSize = 0x2545F491u, kRockDir = 0x68E31DA4u, kRockY = 0x5F356495u;
constexpr uint32_t kRockSlope = 0x4CF5AD43u, kRockBob = 0x7A1B2C3Du, kRockSides = 0x3C6EF372u;
constexpr uint32_t kRockSpinRate = 0x0B4611A5u, kRockSpinStart = 0x6C8E9CF5u;
constexpr uint32_t kRockShape = 0x1D8E4E27u;
constexpr uint32_t kSpawnSide = 0x2F0A1B7Du, kSpawnY = 0x41C64E6Du, kSpawnHeading = 0x12345679u;
constexpr uint32_t kSpawnSpeed = 0x7B3A5C91u, kSpawnTimer = 0x5851F42Du, kSpawnSeed = 0x3A8F05C5u;
constexpr uint32_t kDebrisSeed = 0x51ED2701u, kDebrisHeading = 0x0D2F4A61u;
constexpr uint32_t kDebrisSpeed = 0x6A09E667u, kDebrisSize = 0x3C6EF373u;
constexpr uint32_t kDebrisSpin = 0x510E527Fu, kDebrisLife = 0x1F83D9ABu;

constexpr float kStep = 1.0f / 60.0f;  // trail spacing and the fallback frame time
constexpr float kFlashLife = 0.6f;

// The five gas colour stops; the second is the theme colour.
constexpr float kGasStops[5][3] = {
    {0.20f, 0.36f, 0.92f}, {0, 0, 0}, {0.60f, 0.30f, 0.88f}, {0.92f, 0.32f, 0.58f},
    {0.96f, 0.58f, 0.26f}};

uint64_t xorshift(uint64_t* s) {
  uint64_t x = *s;
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  *s = x;
  return x;
}

float star_u(uint64_t* s) { return (float)(xorshift(s) >> 40) / 16777216.0f; }

float gradient(uint32_t hash, float dx, float dy) {
  switch (hash & 7) {
    case 0: return dx + dy;
    case 1: return dx - dy;
    case 2: return -dx + dy;
    case 3: return -dx - dy;
    case 4: return dx;
    case 5: return -dx;
    case 6: return dy;
    default: return -dy;
  }
}

float fade(float s) { return s * s * s * (s * (s * 6 - 15) + 10); }

float gradient_noise(float x, float y, uint32_t seed) {
  float fx = std::floor(x), fy = std::floor(y);
  float sx = x - fx, sy = y - fy;
  uint32_t base = seed + 374761393u * (uint32_t)(int32_t)fx + 668265263u * (uint32_t)(int32_t)fy;
  float n00 = gradient(sky_hash(base), sx, sy);
  float n10 = gradient(sky_hash(base + 374761393u), sx - 1, sy);
  float n01 = gradient(sky_hash(base + 668265263u), sx, sy - 1);
  float n11 = gradient(sky_hash(base + 1043026656u), sx - 1, sy - 1);
  float a = fade(sx), b = fade(sy);
  float top = n00 + (n10 - n00) * a, bottom = n01 + (n11 - n01) * a;
  return top + (bottom - top) * b;
}

float rock_depth(int i) { return sky_u(sky_seed(i, kRockDepth)); }

uint32_t rock_cycle_seed(int64_t n, int i) {
  return (uint32_t)n * 15485863u + 6151u * (uint32_t)i + 900u;
}

// The rock's light face colour (alpha included) and its dark rim.
DrawColour rock_light(float h) {
  return DrawColour{0.34f + 0.16f * h, 0.38f + 0.02f * h, 0.46f - 0.13f * h, 0.4f + 0.4f * h};
}
DrawColour rock_dark(float h) {
  return DrawColour{0.1f - 0.01f * h, 0.11f - 0.04f * h, 0.14f - 0.08f * h, 0.4f + 0.4f * h};
}

bool frozen(double clock) { return !(clock > 0) || !std::isfinite(clock); }

void clear_motion(Sky* sky) {
  for (SkyMeteor& m : sky->meteors) m.active = false;
  for (SkyFlash& f : sky->flashes) f.active = false;
  for (auto& group : sky->debris)
    for (SkyFragment& f : group) f.active = false;
}

void start_flash(Sky* sky, float x, float y) {
  SkyFlash* slot = &sky->flashes[0];
  for (SkyFlash& f : sky->flashes) {
    if (!f.active) {
      slot = &f;
      break;
    }
    if (f.age > slot->age) slot = &f;  // all busy: the oldest gives way
  }
  *slot = SkyFlash{true, x, y, 0};
}

void rock_hit(Sky* sky, int i, const SkyRock& rock, const SkyMeteor& m, float k) {
  sky->destroyed_cycle[i] = rock.cycle;
  start_flash(sky, rock.x, rock.y);
  uint32_t base = sky_hash(rock_cycle_seed(rock.cycle, i) + kDebrisSeed);
  DrawColour colour = rock_light(rock.depth);
  int thrown = 0;
  for (auto& group : sky->debris) {
    for (SkyFragment& f : group) {
      if (f.active || thrown == 7) continue;
      uint32_t s = base + (uint32_t)thrown * 0x9E3779B9u;
      float heading = 6.2831853f * sky_u(s + kDebrisHeading);
      float speed = (14 + 50 * sky_u(s + kDebrisSpeed)) * k;
      f = SkyFragment{};
      f.active = true;
      f.x = rock.x;
      f.y = rock.y;
      f.vx = std::cos(heading) * speed + 0.16f * m.vx;
      f.vy = std::sin(heading) * speed + 0.16f * m.vy;
      f.size = std::fmax(0.8f, (0.22f + 0.28f * sky_u(s + kDebrisSize)) * rock.size);
      f.spin = 8 * sky_u(s + kDebrisSpin) - 4;
      f.life = 1.6f + 1.8f * sky_u(s + kDebrisLife);
      f.colour = colour;
      f.seed = s;
      thrown++;
    }
  }
}

void shift_trail(SkyMeteor* m) {
  std::memmove(&m->trail[1], &m->trail[0], sizeof(DrawPoint) * (SKY_TRAIL - 1));
  m->trail[0] = DrawPoint{m->x, m->y};
  if (m->trail_count < SKY_TRAIL) m->trail_count++;
}

// Sub-stepped flight through the rocks' pull; ends on a hit or far outside the canvas.
void fly(Sky* sky, SkyMeteor* m, const SkyRock* rocks, float w, float h, float k, float dt) {
  int steps = (int)std::ceil(120 * dt);
  if (steps < 1) steps = 1;
  float hs = dt / (float)steps, max_speed = 560 * k;
  for (int s = 0; s < steps && m->active; s++) {
    float ax = 0, ay = 0;
    for (int i = 0; i < SKY_ROCKS; i++) {
      const SkyRock& r = rocks[i];
      if (r.destroyed) continue;
      float dx = r.x - m->x, dy = r.y - m->y, d2 = dx * dx + dy * dy;
      float reach = r.size + 1.5f;
      if (d2 < reach * reach) {
        rock_hit(sky, i, r, *m, k);
        m->active = false;
        return;
      }
      float a = r.size * r.size * 9000 / (d2 + 70), d = std::sqrt(d2);
      ax += a * dx / d;
      ay += a * dy / d;
    }
    float a = std::sqrt(ax * ax + ay * ay);
    if (a > 1500) {
      ax *= 1500 / a;
      ay *= 1500 / a;
    }
    m->vx += ax * hs;
    m->vy += ay * hs;
    float v = std::sqrt(m->vx * m->vx + m->vy * m->vy);
    if (v > max_speed) {
      m->vx *= max_speed / v;
      m->vy *= max_speed / v;
    }
    m->x += m->vx * hs;
    m->y += m->vy * hs;
    m->trail_timer += hs;
    while (m->trail_timer >= kStep) {
      m->trail_timer -= kStep;
      shift_trail(m);
    }
    if (m->x < -80 || m->y < -80 || m->x > w + 80 || m->y > h + 80) m->active = false;
  }
}

void spawn_next(Sky* sky, float w, float h, float k) {
  uint32_t seed = sky_seed((int)sky->spawn_count, kSpawnSeed);
  sky->spawn_count++;
  sky->spawn_timer = 2.5f + 4 * sky_u(seed + kSpawnTimer);
  float x, y, heading;
  switch (sky_hash(seed + kSpawnSide) % 3) {
    case 0:
      x = -12;
      y = (0.02f + 0.73f * sky_u(seed + kSpawnY)) * h;
      heading = 0.7f * sky_u(seed + kSpawnHeading) - 0.25f;
      break;
    case 1:
      x = w + 12;
      y = (0.02f + 0.73f * sky_u(seed + kSpawnY)) * h;
      heading = 3.14159265f - (0.7f * sky_u(seed + kSpawnHeading) - 0.25f);
      break;
    default:
      y = -12;
      x = (0.1f + 0.8f * sky_u(seed + kSpawnY)) * w;
      heading = 1.5707963f + 1.4f * sky_u(seed + kSpawnHeading) - 0.7f;
      break;
  }
  float speed = (170 + 130 * sky_u(seed + kSpawnSpeed)) * k;
  sky_spawn_meteor(sky, x, y, std::cos(heading) * speed, std::sin(heading) * speed);
}

// Gas at one grid point (pixels from the rect's corner, lean already applied).
DrawColour gas_at(float x, float y, float c, float d, double phase, const float stops[5][3]) {
  float ph = (float)phase;
  float p = 0.6f * c + x / 360 + (float)(0.0035 * phase);
  float q = 0.6f * d + y / 360 - (float)(0.0012 * phase);
  float f = sky_noise(0.7f * p + 31.4f, 0.7f * q - 0.004f * ph, 911, 2);
  float g = sky_noise(0.7f * p - 12.9f, 0.7f * q + 0.003f * ph, 577, 2);
  float hh = sky_noise(2.6f * p - g, 2.6f * q + f, 333, 2);
  float m = sky_noise(0.45f * p + 5, 0.45f * q + 0.002f * ph, 707, 2);
  float w = sky_clamp(1.9f * (sky_noise(0.9f * f + p, 0.9f * g + q, 101, 4) + 0.1f), 0, 1);
  float s = sky_clamp(1.25f * (0.5f * m + 0.5f) - 0.12f, 0, 0.999f) * 4;
  int i = (int)s;
  float t = s - (float)i;
  DrawColour out;
  out.r = stops[i][0] + (stops[i + 1][0] - stops[i][0]) * t;
  out.g = stops[i][1] + (stops[i + 1][1] - stops[i][1]) * t;
  out.b = stops[i][2] + (stops[i + 1][2] - stops[i][2]) * t;
  out.a = 0.2f * w * w * (0.55f + 0.45f * sky_clamp(1.6f * hh + 0.5f, 0, 1));
  return out;
}

// The gas grid, two rows of corner colours at a time; nearly empty cells are skipped.
void paint_gas(Painter* p, DrawRect rect, float c, float d, double phase, float lx, float ly,
               DrawColour theme) {
  float stops[5][3];
  std::memcpy(stops, kGasStops, sizeof stops);
  stops[1][0] = theme.r;
  stops[1][1] = theme.g;
  stops[1][2] = theme.b;
  int cols = (int)std::ceil(rect.w / 30), rows = (int)std::ceil(rect.h / 30);
  cols = cols < 1 ? 1 : cols > 96 ? 96 : cols;
  rows = rows < 1 ? 1 : rows > 96 ? 96 : rows;
  float cw = rect.w / (float)cols, ch = rect.h / (float)rows;
  // The grid moves rigidly with the lean (sliding samples through the noise would make the gas
  // shimmer); only the edge vertices stay on the rect's edges, so it is always covered. Cells
  // are at least 15 px and the lean moves at most 4.6 px, so the vertices keep their order.
  float ox = -46 * 0.1f * lx, oy = -46 * 0.1f * ly;
  float xs[97];
  for (int i = 0; i <= cols; i++) xs[i] = i == 0 ? 0 : i == cols ? rect.w : i * cw + ox;
  auto row_y = [&](int j) { return j == 0 ? 0 : j == rows ? rect.h : j * ch + oy; };
  DrawColour upper[97], lower[97];
  for (int i = 0; i <= cols; i++) upper[i] = gas_at(xs[i] - ox, row_y(0) - oy, c, d, phase, stops);
  draw_set_additive(p, true);
  for (int j = 1; j <= rows; j++) {
    float y0 = rect.y + row_y(j - 1), y1 = rect.y + row_y(j);
    for (int i = 0; i <= cols; i++) lower[i] = gas_at(xs[i] - ox, row_y(j) - oy, c, d, phase, stops);
    for (int i = 0; i < cols; i++) {
      if (upper[i].a + upper[i + 1].a + lower[i].a + lower[i + 1].a < 0.004f) continue;
      float x0 = rect.x + xs[i], x1 = rect.x + xs[i + 1];
      const DrawPoint corners[4] = {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
      const DrawColour colours[4] = {upper[i], upper[i + 1], lower[i + 1], lower[i]};
      draw_quad_colours(p, corners, colours);
    }
    std::memcpy(upper, lower, sizeof(DrawColour) * (cols + 1));
  }
}

}  // namespace

// --- Shared pieces ------------------------------------------------------------------------------

float sky_u(uint32_t seed) { return (float)(sky_hash(seed) & 0xFFFFFFu) / 16777216.0f; }

uint32_t sky_seed(int i, uint32_t offset) { return (uint32_t)i * 0x9E3779B9u + offset; }

float sky_clamp(float v, float lo, float hi) { return v < lo ? lo : v > hi ? hi : v; }

float sky_scale(float w, float h) { return sky_clamp(std::fmin(w, h) / 720, 0.6f, 1.7f); }

double sky_phase(double clock) { return frozen(clock) ? 0 : std::fmod(clock, 86400.0); }

float sky_noise1(float x, uint32_t seed) {
  float fx = std::floor(x), t = fade(x - fx);
  uint32_t i = (uint32_t)(int64_t)fx;
  float a = sky_u(seed + i * 0x9E3779B9u), b = sky_u(seed + (i + 1) * 0x9E3779B9u);
  return 2 * (a + (b - a) * t) - 1;
}

void sky_rock_colours(float depth, DrawColour* light, DrawColour* dark) {
  *light = rock_light(depth);
  *dark = rock_dark(depth);
}

uint32_t sky_rock_shape_seed(const SkyRock& rock, int i) {
  return rock_cycle_seed(rock.cycle, i) + kRockShape;
}

// --- Public -------------------------------------------------------------------------------------

uint32_t sky_hash(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

float sky_noise(float x, float y, uint32_t seed, int octaves) {
  float sum = 0, amp = 0.5f, total = 0;
  for (int o = 0; o < octaves; o++) {
    sum += 1.41f * amp * gradient_noise(x, y, seed + 1013u * (uint32_t)o);
    total += amp;
    x = 2.03f * x + 17.1f;
    y = 2.03f * y - 9.7f;
    amp *= 0.5f;
  }
  return total > 0 ? sum / total : 0;
}

void sky_init(Sky* sky) {
  if (!sky) return;
  std::memset(sky, 0, sizeof *sky);
  uint64_t state = 12648431;
  static const struct {
    int count;
    float depth, b0, b1, s0, s1;
  } kBands[3] = {{90, 0.25f, 0.3f, 0.35f, 0.5f, 0.4f},
                 {55, 0.55f, 0.45f, 0.4f, 0.7f, 0.5f},
                 {28, 0.88f, 0.6f, 0.4f, 1.0f, 0.7f}};
  int n = 0;
  for (const auto& band : kBands) {
    for (int i = 0; i < band.count; i++, n++) {
      SkyStar& s = sky->stars[n];
      s.x = star_u(&state);
      s.y = star_u(&state);
      s.brightness = band.b0 + band.b1 * star_u(&state);
      s.size = band.s0 + band.s1 * star_u(&state);
      s.depth = band.depth;
    }
  }
  for (int64_t& c : sky->destroyed_cycle) c = INT64_MIN;
  sky->spawn_timer = 1.5f;
}

void sky_set_lean_target(Sky* sky, float x, float y) {
  if (!sky) return;
  sky->lean_target_x = std::isfinite(x) ? sky_clamp(x, -1, 1) : 0;
  sky->lean_target_y = std::isfinite(y) ? sky_clamp(y, -1, 1) : 0;
}

void sky_lean(const Sky* sky, float* x, float* y) {
  if (x) *x = sky ? sky->lean_x : 0;
  if (y) *y = sky ? sky->lean_y : 0;
}

float sky_depth_factor(unsigned layer, float w, float h, float star_size) {
  float k = sky_scale(w, h);
  switch (layer) {
    case SKY_LAYER_GAS: return 0.1f;
    case SKY_LAYER_GALAXIES: return 0.2f * k;
    case SKY_LAYER_STARS: return 0.22f + 0.16f * sky_clamp(star_size / 2, 0, 1);
    case SKY_LAYER_BODIES: return 0.46f * k;
    case SKY_LAYER_SHIPS: return 0.62f * k;
    case SKY_LAYER_ROCKS:
    case SKY_LAYER_METEORS: return 0.85f * k;
    default: return 0;
  }
}

void sky_rock(const Sky* sky, int i, double clock, float w, float h, SkyRock* out) {
  if (!out) return;
  *out = SkyRock{};
  if (i < 0 || i >= SKY_ROCKS) return;
  double phase = sky_phase(clock);
  float k = sky_scale(w, h), depth = rock_depth(i);
  double period = 5.0 * (i % 3) + 110 - 60 * depth;
  double v = phase / period + 0.23 * i;
  int64_t n = (int64_t)std::floor(v);
  float progress = (float)(v - (double)n);
  uint32_t seed = rock_cycle_seed(n, i);
  float size = (0.7f + 0.55f * sky_u(seed + kRockSize)) * (1.2f + 7.5f * depth * depth) * k;
  bool rightward = (sky_hash(seed + kRockDir) & 3) != 0;  // three crossings in four
  float from = -2 * size, to = w + 2 * size;
  out->x = rightward ? from + (to - from) * progress : to + (from - to) * progress;
  float slope = (2 * sky_u(seed + kRockSlope) - 1) * 0.18f * h;
  out->y = sky_u(seed + kRockY) * h + slope * (progress - 0.5f) +
           22 * k * sky_noise1((float)(0.05 * phase) + 3.7f * (float)i, seed + kRockBob);
  out->size = size;
  out->sides = 5 + (int)(sky_hash(seed + kRockSides) % 4);
  out->spin = (float)((0.7 * sky_u(seed + kRockSpinRate) - 0.35) * phase) +
              6.2831853f * sky_u(seed + kRockSpinStart);
  out->cycle = n;
  out->destroyed = sky && sky->destroyed_cycle[i] == n;
  out->depth = depth;
}

int sky_spawn_meteor(Sky* sky, float x, float y, float vx, float vy) {
  if (!sky) return -1;
  for (int i = 0; i < SKY_METEORS; i++) {
    SkyMeteor& m = sky->meteors[i];
    if (m.active) continue;
    m = SkyMeteor{};
    m.active = true;
    m.x = x;
    m.y = y;
    m.vx = vx;
    m.vy = vy;
    for (DrawPoint& t : m.trail) t = DrawPoint{x, y};
    m.trail_count = 1;
    return i;
  }
  return -1;
}

int sky_active_meteors(const Sky* sky) {
  int n = 0;
  if (sky)
    for (const SkyMeteor& m : sky->meteors) n += m.active;
  return n;
}

int sky_active_debris(const Sky* sky) {
  int n = 0;
  if (sky)
    for (const auto& group : sky->debris)
      for (const SkyFragment& f : group) n += f.active;
  return n;
}

void sky_step(Sky* sky, DrawRect rect, double clock) {
  if (!sky) return;
  if (frozen(clock)) {
    sky->lean_x = sky->lean_y = 0;
    clear_motion(sky);
    sky->previous_clock = 0;
    return;
  }
  double elapsed = clock - sky->previous_clock;
  float dt = elapsed > 0 && elapsed <= 0.25 ? (float)elapsed : kStep;
  sky->previous_clock = clock;
  float ease = 1 - std::exp(-5 * dt);
  sky->lean_x += ease * (sky->lean_target_x - sky->lean_x);
  sky->lean_y += ease * (sky->lean_target_y - sky->lean_y);
  float w = rect.w, h = rect.h;
  if (!(w > 0) || !(h > 0) || !std::isfinite(w) || !std::isfinite(h)) return;
  float k = sky_scale(w, h);

  for (auto& group : sky->debris) {
    for (SkyFragment& f : group) {
      if (!f.active) continue;
      f.age += dt;
      f.x += f.vx * dt;
      f.y += f.vy * dt;
      if (f.age >= f.life) f.active = false;
    }
  }
  for (SkyFlash& f : sky->flashes)
    if (f.active && (f.age += dt) >= kFlashLife) f.active = false;

  sky->spawn_timer -= dt;
  if (sky->spawn_timer <= 0) spawn_next(sky, w, h, k);

  SkyRock rocks[SKY_ROCKS];
  for (int i = 0; i < SKY_ROCKS; i++) sky_rock(sky, i, clock, w, h, &rocks[i]);
  for (SkyMeteor& m : sky->meteors) {
    if (!m.active) continue;
    fly(sky, &m, rocks, w, h, k, dt);
    // A hit changes the field for the meteors after it.
    for (int i = 0; i < SKY_ROCKS; i++) rocks[i].destroyed = sky->destroyed_cycle[i] == rocks[i].cycle;
  }
}

void sky_paint_layers(Sky* sky, Painter* p, DrawRect rect, float view_centre_x,
                      float view_centre_y, double clock, DrawColour theme, unsigned layers) {
  if (!sky || !p || !(rect.w > 0) || !(rect.h > 0) || !std::isfinite(rect.w) ||
      !std::isfinite(rect.h))
    return;
  SkyFrame f;
  f.rect = rect;
  f.c = std::isfinite(view_centre_x) ? 0.5f - view_centre_x : 0;
  f.d = std::isfinite(view_centre_y) ? 0.5f - view_centre_y : 0;
  f.phase = sky_phase(clock);
  f.k = sky_scale(rect.w, rect.h);
  f.lx = frozen(clock) ? 0 : sky->lean_x;
  f.ly = frozen(clock) ? 0 : sky->lean_y;
  f.theme = theme;
  if (layers & SKY_LAYER_GAS) paint_gas(p, rect, f.c, f.d, f.phase, f.lx, f.ly, theme);
  if (layers & SKY_LAYER_GALAXIES) sky_paint_galaxies(p, f);
  if (layers & SKY_LAYER_STARS) sky_paint_stars(sky, p, f);
  if (layers & SKY_LAYER_BODIES) sky_paint_bodies(p, f);
  if (layers & SKY_LAYER_SHIPS) sky_paint_ships(p, f);
  if (layers & SKY_LAYER_ROCKS) sky_paint_rocks(sky, p, f, clock);
  if (layers & SKY_LAYER_METEORS) sky_paint_meteors(sky, p, f);
  draw_set_additive(p, false);
}

void sky_paint(Sky* sky, Painter* p, DrawRect rect, float view_centre_x, float view_centre_y,
               double clock, DrawColour theme) {
  sky_paint_layers(sky, p, rect, view_centre_x, view_centre_y, clock, theme, SKY_LAYER_ALL);
}

void sky_draw(Sky* sky, Painter* p, DrawRect rect, float view_centre_x, float view_centre_y,
              double clock, DrawColour theme) {
  sky_step(sky, rect, clock);
  sky_paint(sky, p, rect, view_centre_x, view_centre_y, clock, theme);
}
