// Solid shapes: everything here turns into triangles in the white-texture batch.
#include <cmath>

#include "ui/draw.h"
#include "ui/draw_internal.h"

namespace {

constexpr float kDropDistance = 0.0001f;  // points closer than this to their predecessor go
constexpr float kShortEdge = 0.00001f;    // pixel edges shorter than this borrow a neighbour's normal
constexpr float kMinArea = 0.001f;        // square pixels

double signed_area(const DrawPoint* q, int n) {
  double a = 0;
  for (int i = 0, j = n - 1; i < n; j = i++) a += (double)q[j].x * q[i].y - (double)q[i].x * q[j].y;
  return a * 0.5;
}

// Vertex normals of a closed loop, half a pixel long on each side of the edge: each edge's unit
// normal points away from the inside (sign: +1 for positive area), a vertex takes the mean of its
// two edges. False when no edge is long enough to have a direction.
bool loop_normals(Painter* p, const DrawPoint* q, int n, float sign, DrawPoint* out) {
  DrawPoint* e = p->enorm;
  int last_valid = -1;
  for (int i = 0; i < n; i++) {
    int j = i + 1 == n ? 0 : i + 1;
    float dx = q[j].x - q[i].x, dy = q[j].y - q[i].y;
    float len = std::sqrt(dx * dx + dy * dy);
    if (len < kShortEdge) {
      e[i] = DrawPoint{NAN, NAN};
      continue;
    }
    e[i] = DrawPoint{sign * dy / len, -sign * dx / len};
    last_valid = i;
  }
  if (last_valid < 0) return false;
  DrawPoint carry = e[last_valid];
  for (int i = 0; i < n; i++) {
    if (std::isnan(e[i].x))
      e[i] = carry;
    else
      carry = e[i];
  }
  for (int i = 0; i < n; i++) {
    const DrawPoint& a = e[i == 0 ? n - 1 : i - 1];
    const DrawPoint& b = e[i];
    DrawPoint m{(a.x + b.x) * 0.5f, (a.y + b.y) * 0.5f};
    // Lengthened to the miter so both edges keep the full half pixel (a plain mean leaves a
    // corner's fringe thin and tilts it along the edges); capped at sharp tips.
    float d = m.x * m.x + m.y * m.y;
    float k = d > 1.0f / 16 ? 1 / d : 16;
    out[i] = DrawPoint{m.x * k, m.y * k};
  }
  return true;
}

// Inner and outer fringe vertices for a loop (inner first, n each); the rim's triangles.
void emit_fringe(Painter* p, const DrawPoint* q, const DrawPoint* nrm, int n, SDL_Color c,
                 int* inner_base) {
  SDL_Color clear = c;
  clear.a = 0;
  int base = p->nverts;
  for (int i = 0; i < n; i++)
    draw_vertex(p, DrawPoint{q[i].x - 0.5f * nrm[i].x, q[i].y - 0.5f * nrm[i].y}, c);
  for (int i = 0; i < n; i++)
    draw_vertex(p, DrawPoint{q[i].x + 0.5f * nrm[i].x, q[i].y + 0.5f * nrm[i].y}, clear);
  for (int i = 0; i < n; i++) {
    int j = i + 1 == n ? 0 : i + 1;
    draw_tri(p, base + i, base + n + i, base + n + j);
    draw_tri(p, base + i, base + n + j, base + j);
  }
  *inner_base = base;
}

// Drops points within kDropDistance of their predecessor (and a last one repeating the first),
// transforming the rest to pixels in p->pts. Returns how many are left, or -1 when a point isn't
// finite.
int gather(Painter* p, const DrawPoint* points, int count, bool drop_closing) {
  if (!draw_scratch(p, count)) return -1;
  int n = 0;
  DrawPoint prev{0, 0};
  for (int i = 0; i < count; i++) {
    DrawPoint q = points[i];
    if (!draw_finite(q.x) || !draw_finite(q.y)) return -1;
    if (n > 0 && std::fabs(q.x - prev.x) < kDropDistance && std::fabs(q.y - prev.y) < kDropDistance)
      continue;
    prev = q;
    p->loop[n++] = q;  // logical copy for the closing check
  }
  if (drop_closing && n > 1 && std::fabs(p->loop[n - 1].x - p->loop[0].x) < kDropDistance &&
      std::fabs(p->loop[n - 1].y - p->loop[0].y) < kDropDistance)
    n--;
  for (int i = 0; i < n; i++) p->pts[i] = draw_px(p, p->loop[i].x, p->loop[i].y);
  return n;
}

void rect_px(Painter* p, DrawPoint a, DrawPoint b, SDL_Color top, SDL_Color bottom) {
  if (!draw_reserve(p, 4, 6)) return;
  int base = p->nverts;
  draw_vertex(p, DrawPoint{a.x, a.y}, top);
  draw_vertex(p, DrawPoint{b.x, a.y}, top);
  draw_vertex(p, DrawPoint{b.x, b.y}, bottom);
  draw_vertex(p, DrawPoint{a.x, b.y}, bottom);
  draw_tri(p, base, base + 1, base + 2);
  draw_tri(p, base, base + 2, base + 3);
}

// A side under one pixel is widened to one pixel about its centre and its coverage moves into
// alpha, so hairlines don't flicker in and out as they slide across pixel centres.
float thin_side(float* lo, float* hi) {
  float w = *hi - *lo;
  if (w >= 1) return 1;
  float mid = (*lo + *hi) * 0.5f;
  *lo = mid - 0.5f;
  *hi = mid + 0.5f;
  return w;
}

void rect_shape(Painter* p, float x, float y, float w, float h, DrawColour top, DrawColour bottom) {
  if (!draw_open(p) || !draw_finite4(x, y, w, h) || !(w > 0) || !(h > 0)) return;
  DrawPoint a = draw_px(p, x, y), b = draw_px(p, x + w, y + h);
  DrawPoint lo{std::fmin(a.x, b.x), std::fmin(a.y, b.y)};
  DrawPoint hi{std::fmax(a.x, b.x), std::fmax(a.y, b.y)};
  if (!(hi.x > lo.x) || !(hi.y > lo.y)) return;
  float cover = 1;
  if (p->smooth) cover = thin_side(&lo.x, &hi.x) * thin_side(&lo.y, &hi.y);
  top.a *= cover;
  bottom.a *= cover;
  SDL_Color ct = draw_colour(p, top), cb = draw_colour(p, bottom);
  if (ct.a == 0 && cb.a == 0) return;
  // A flipped vertical scale puts the top colour at the bottom, as the transform says.
  if (a.y > b.y) rect_px(p, lo, hi, cb, ct);
  else rect_px(p, lo, hi, ct, cb);
}

// The path of a rounded rectangle in pixels: four corners of steps + 1 points each, clockwise on
// screen from the top-left corner's left end.
int rrect_path(Painter* p, DrawRect r, float radius, int steps, DrawPoint* out) {
  const float cx[4] = {r.x + radius, r.x + r.w - radius, r.x + r.w - radius, r.x + radius};
  const float cy[4] = {r.y + radius, r.y + radius, r.y + r.h - radius, r.y + r.h - radius};
  int n = 0;
  for (int k = 0; k < 4; k++) {
    float a0 = (float)M_PI * (1.0f + 0.5f * k);
    for (int i = 0; i <= steps; i++) {
      float a = a0 + (float)M_PI * 0.5f * i / steps;
      out[n++] = draw_px(p, cx[k] + radius * std::cos(a), cy[k] + radius * std::sin(a));
    }
  }
  return n;
}

int corner_steps(const Painter* p, float radius) {
  float r_px = radius * draw_len_scale(p);
  if (r_px < 0.75f) return 1;
  int n = (draw_segments(r_px) + 3) / 4;
  return n < 2 ? 2 : n;
}

bool rect_ok(DrawRect r) { return draw_finite4(r.x, r.y, r.w, r.h) && r.w > 0 && r.h > 0; }

void circle_px(Painter* p, float cx, float cy, float r, int n, float rotation, DrawPoint* out) {
  for (int i = 0; i < n; i++) {
    float a = rotation + 2.0f * (float)M_PI * i / n;
    out[i] = draw_px(p, cx + r * std::cos(a), cy + r * std::sin(a));
  }
}

// A fan from a centre colour out to a rim of alpha 0: a soft round spot.
void radial_spot(Painter* p, float cx, float cy, float r, SDL_Color c) {
  int n = draw_segments(r * draw_len_scale(p));
  if (!draw_scratch(p, n) || !draw_reserve(p, n + 1, 3 * n)) return;
  circle_px(p, cx, cy, r, n, 0, p->pts);
  SDL_Color clear = c;
  clear.a = 0;
  int base = p->nverts;
  draw_vertex(p, draw_px(p, cx, cy), c);
  for (int i = 0; i < n; i++) draw_vertex(p, p->pts[i], clear);
  for (int i = 0; i < n; i++) draw_tri(p, base, base + 1 + i, base + 1 + (i + 1) % n);
}

}  // namespace

void draw_emit_convex(Painter* p, const DrawPoint* q, int n, SDL_Color c) {
  if (n < 3 || c.a == 0) return;
  double area = signed_area(q, n);
  if (!(std::fabs(area) >= kMinArea)) return;
  if (!p->smooth) {
    if (!draw_reserve(p, n, 3 * (n - 2))) return;
    int base = p->nverts;
    for (int i = 0; i < n; i++) draw_vertex(p, q[i], c);
    for (int i = 2; i < n; i++) draw_tri(p, base, base + i - 1, base + i);
    return;
  }
  if (!draw_scratch(p, n) || !draw_reserve(p, 2 * n, 3 * (n - 2) + 6 * n)) return;
  if (!loop_normals(p, q, n, area > 0 ? 1.0f : -1.0f, p->vnorm)) return;
  int inner;
  emit_fringe(p, q, p->vnorm, n, c, &inner);
  for (int i = 2; i < n; i++) draw_tri(p, inner, inner + i - 1, inner + i);
}

void draw_emit_strip(Painter* p, const DrawPoint* upper, const DrawPoint* lower, int n,
                     bool closed, SDL_Color c) {
  if (n < 2 || c.a == 0) return;
  int quads = closed ? n : n - 1;
  if (!p->smooth) {
    if (!draw_reserve(p, 2 * n, 6 * quads)) return;
    int base = p->nverts;
    for (int i = 0; i < n; i++) draw_vertex(p, upper[i], c);
    for (int i = 0; i < n; i++) draw_vertex(p, lower[i], c);
    for (int i = 0; i < quads; i++) {
      int j = i + 1 == n ? 0 : i + 1;
      draw_tri(p, base + i, base + j, base + n + j);
      draw_tri(p, base + i, base + n + j, base + n + i);
    }
    return;
  }
  if (!draw_scratch(p, 2 * n)) return;
  if (!closed) {
    // One outline: along the upper line and back along the lower.
    DrawPoint* loop = p->loop;
    for (int i = 0; i < n; i++) {
      loop[i] = upper[i];
      loop[2 * n - 1 - i] = lower[i];
    }
    double area = signed_area(loop, 2 * n);
    if (!(std::fabs(area) >= kMinArea)) return;
    if (!draw_reserve(p, 4 * n, 6 * quads + 12 * n)) return;
    if (!loop_normals(p, loop, 2 * n, area > 0 ? 1.0f : -1.0f, p->vnorm)) return;
    int inner;
    emit_fringe(p, loop, p->vnorm, 2 * n, c, &inner);
    for (int i = 0; i < quads; i++) {
      int ui = inner + i, uj = inner + i + 1;
      int li = inner + 2 * n - 1 - i, lj = inner + 2 * n - 2 - i;
      draw_tri(p, ui, uj, lj);
      draw_tri(p, ui, lj, li);
    }
    return;
  }
  // A ring: the outer loop's fringe points out of it, the inner loop's into it.
  double au = signed_area(upper, n), al = signed_area(lower, n);
  bool upper_outer = std::fabs(au) >= std::fabs(al);
  float su = (au >= 0 ? 1.0f : -1.0f) * (upper_outer ? 1.0f : -1.0f);
  float sl = (al >= 0 ? 1.0f : -1.0f) * (upper_outer ? -1.0f : 1.0f);
  if (!draw_reserve(p, 4 * n, 6 * quads + 12 * n)) return;
  DrawPoint* nu = p->loop;  // free here: the ring has no single outline
  DrawPoint* nl = p->loop + n;
  if (!loop_normals(p, upper, n, su, nu))
    for (int i = 0; i < n; i++) nu[i] = DrawPoint{0, 0};
  if (!loop_normals(p, lower, n, sl, nl))
    for (int i = 0; i < n; i++) nl[i] = DrawPoint{0, 0};
  int iu, il;
  emit_fringe(p, upper, nu, n, c, &iu);
  emit_fringe(p, lower, nl, n, c, &il);
  for (int i = 0; i < n; i++) {
    int j = i + 1 == n ? 0 : i + 1;
    draw_tri(p, iu + i, iu + j, il + j);
    draw_tri(p, iu + i, il + j, il + i);
  }
}

void draw_emit_stroke(Painter* p, const DrawPoint* q, int n, float w, bool closed, SDL_Color c) {
  if (closed && n < 3) closed = false;
  if (n < 2 || !(w > 0)) return;
  if (p->smooth && w < 1) {
    c.a = draw_channel(c.a / 255.0f * w);
    w = 1;
  }
  if (c.a == 0) return;
  float hw = w * 0.5f;
  DrawPoint* l = p->left;
  DrawPoint* r = p->right;
  for (int i = 0; i < n; i++) {
    bool has_prev = i > 0 || closed, has_next = i + 1 < n || closed;
    DrawPoint a = q[i == 0 ? n - 1 : i - 1], b = q[i], d = q[i + 1 == n ? 0 : i + 1];
    DrawPoint n0{0, 0}, n1{0, 0};
    if (has_prev) {
      float dx = b.x - a.x, dy = b.y - a.y, len = std::sqrt(dx * dx + dy * dy);
      if (len > 0) n0 = DrawPoint{-dy / len, dx / len};
    }
    if (has_next) {
      float dx = d.x - b.x, dy = d.y - b.y, len = std::sqrt(dx * dx + dy * dy);
      if (len > 0) n1 = DrawPoint{-dy / len, dx / len};
    }
    if (!has_prev) n0 = n1;
    if (!has_next) n1 = n0;
    // Miter: along the mean normal, lengthened so both segments keep their width, but no more
    // than four half-widths so hairpin turns don't spike.
    DrawPoint m{n0.x + n1.x, n0.y + n1.y};
    float ml = std::sqrt(m.x * m.x + m.y * m.y);
    float off = hw;
    if (ml < 1e-4f) {
      m = n1;
    } else {
      m.x /= ml;
      m.y /= ml;
      float cosine = m.x * n1.x + m.y * n1.y;
      off = cosine > 0.25f ? hw / cosine : hw * 4;
    }
    l[i] = DrawPoint{b.x + m.x * off, b.y + m.y * off};
    r[i] = DrawPoint{b.x - m.x * off, b.y - m.y * off};
  }
  draw_emit_strip(p, l, r, n, closed, c);
}

void draw_rect(Painter* p, float x, float y, float w, float h, DrawColour c) {
  rect_shape(p, x, y, w, h, c, c);
}

void draw_rect_gradient(Painter* p, float x, float y, float w, float h, DrawColour top,
                        DrawColour bottom) {
  rect_shape(p, x, y, w, h, top, bottom);
}

void draw_rect_frame(Painter* p, float x, float y, float w, float h, float t, DrawColour c) {
  if (!draw_open(p) || !draw_finite4(x, y, w, h) || !draw_finite(t) || !(w > 0) || !(h > 0) ||
      !(t > 0))
    return;
  if (w <= 2 * t || h <= 2 * t) {
    draw_rect(p, x, y, w, h, c);
    return;
  }
  draw_rect(p, x, y, w, t, c);
  draw_rect(p, x, y + h - t, w, t, c);
  draw_rect(p, x, y + t, t, h - 2 * t, c);
  draw_rect(p, x + w - t, y + t, t, h - 2 * t, c);
}

void draw_rrect(Painter* p, DrawRect r, float radius, DrawColour c) {
  if (!draw_open(p) || !rect_ok(r) || !draw_finite(radius)) return;
  radius = std::fmin(radius, 0.5f * std::fmin(r.w, r.h));
  if (!(radius > 0)) {
    draw_rect(p, r.x, r.y, r.w, r.h, c);
    return;
  }
  SDL_Color col = draw_colour(p, c);
  if (col.a == 0) return;
  int steps = corner_steps(p, radius);
  if (!draw_scratch(p, 4 * (steps + 1))) return;
  int n = rrect_path(p, r, radius, steps, p->pts);
  draw_emit_convex(p, p->pts, n, col);
}

void draw_rrect_frame(Painter* p, DrawRect r, float radius, float t, DrawColour c) {
  if (!draw_open(p) || !rect_ok(r) || !draw_finite(radius) || !draw_finite(t) || !(t > 0)) return;
  if (r.w <= 2 * t || r.h <= 2 * t) {
    draw_rrect(p, r, radius, c);
    return;
  }
  SDL_Color col = draw_colour(p, c);
  if (col.a == 0) return;
  radius = std::fmax(0.0f, std::fmin(radius, 0.5f * std::fmin(r.w, r.h)));
  int steps = radius > 0 ? corner_steps(p, radius) : 1;
  if (!draw_scratch(p, 8 * (steps + 1))) return;
  DrawRect in{r.x + t, r.y + t, r.w - 2 * t, r.h - 2 * t};
  int n = rrect_path(p, r, radius, steps, p->left);
  rrect_path(p, in, std::fmax(0.0f, radius - t), steps, p->right);
  draw_emit_strip(p, p->left, p->right, n, true, col);
}

void draw_disc(Painter* p, float cx, float cy, float r, DrawColour c) {
  if (!draw_open(p) || !draw_finite(cx) || !draw_finite(cy) || !draw_finite(r) || !(r > 0)) return;
  SDL_Color col = draw_colour(p, c);
  if (col.a == 0) return;
  int n = draw_segments(r * draw_len_scale(p));
  if (!draw_scratch(p, n)) return;
  circle_px(p, cx, cy, r, n, 0, p->pts);
  draw_emit_convex(p, p->pts, n, col);
}

void draw_ring(Painter* p, float cx, float cy, float r, float width, DrawColour c) {
  if (!draw_open(p) || !draw_finite4(cx, cy, r, width) || !(r > 0) || !(width > 0)) return;
  float outer = r + width * 0.5f, inner = r - width * 0.5f;
  if (inner <= 0) {
    draw_disc(p, cx, cy, outer, c);
    return;
  }
  SDL_Color col = draw_colour(p, c);
  if (col.a == 0) return;
  int n = draw_segments(outer * draw_len_scale(p));
  if (!draw_scratch(p, 2 * n)) return;  // the strip needs twice, and growing moves the arrays
  circle_px(p, cx, cy, outer, n, 0, p->left);
  circle_px(p, cx, cy, inner, n, 0, p->right);
  draw_emit_strip(p, p->left, p->right, n, true, col);
}

void draw_polygon(Painter* p, const DrawPoint* points, int count, DrawColour c) {
  if (!draw_open(p) || !points || count < 3) return;
  SDL_Color col = draw_colour(p, c);
  if (col.a == 0) return;
  int n = gather(p, points, count, true);
  if (n >= 3) draw_emit_convex(p, p->pts, n, col);
}

void draw_triangle(Painter* p, DrawPoint a, DrawPoint b, DrawPoint c, DrawColour colour) {
  DrawPoint q[3] = {a, b, c};
  draw_polygon(p, q, 3, colour);
}

void draw_quad(Painter* p, DrawPoint a, DrawPoint b, DrawPoint c, DrawPoint d, DrawColour colour) {
  DrawPoint q[4] = {a, b, c, d};
  draw_polygon(p, q, 4, colour);
}

void draw_quad_colours(Painter* p, const DrawPoint corners[4], const DrawColour colours[4]) {
  if (!draw_open(p) || !corners || !colours) return;
  SDL_Color c[4];
  int alpha = 0;
  for (int i = 0; i < 4; i++) {
    if (!draw_finite(corners[i].x) || !draw_finite(corners[i].y)) return;
    c[i] = draw_colour(p, colours[i]);
    alpha += c[i].a;
  }
  if (alpha == 0 || !draw_reserve(p, 4, 6)) return;
  int base = p->nverts;
  for (int i = 0; i < 4; i++) draw_vertex(p, draw_px(p, corners[i].x, corners[i].y), c[i]);
  draw_tri(p, base, base + 1, base + 2);
  draw_tri(p, base, base + 2, base + 3);
}

void draw_polyline(Painter* p, const DrawPoint* points, int count, float width, DrawColour c,
                   bool closed) {
  if (!draw_open(p) || !points || count < 2 || !draw_finite(width) || !(width > 0)) return;
  SDL_Color col = draw_colour(p, c);
  if (col.a == 0 || !draw_scratch(p, 2 * count)) return;
  int n = gather(p, points, count, closed);
  if (n < 2) return;
  draw_emit_stroke(p, p->pts, n, width * draw_len_scale(p), closed, col);
}

void draw_curve(Painter* p, DrawPoint a, DrawPoint control, DrawPoint b, int segments, float width,
                DrawColour c) {
  if (!draw_open(p) || !draw_finite4(a.x, a.y, b.x, b.y) || !draw_finite(control.x) ||
      !draw_finite(control.y))
    return;
  if (segments < 1) {
    // About one segment per four pixels of the control polygon.
    float s = draw_len_scale(p);
    float len = (std::hypot(control.x - a.x, control.y - a.y) +
                 std::hypot(b.x - control.x, b.y - control.y)) * s;
    segments = (int)std::fmin(std::ceil(len / 4), (float)DRAW_CURVE_MAX);
    if (segments < 2) segments = 2;
  }
  if (segments > DRAW_CURVE_MAX) segments = DRAW_CURVE_MAX;
  for (int i = 0; i <= segments; i++) {
    float t = (float)i / segments, u = 1 - t;
    p->curve[i] = DrawPoint{u * u * a.x + 2 * u * t * control.x + t * t * b.x,
                            u * u * a.y + 2 * u * t * control.y + t * t * b.y};
  }
  draw_polyline(p, p->curve, segments + 1, width, c, false);
}

void draw_band(Painter* p, const DrawPoint* upper, const DrawPoint* lower, int count,
               DrawColour c) {
  if (!draw_open(p) || !upper || !lower || count < 2) return;
  SDL_Color col = draw_colour(p, c);
  if (col.a == 0 || !draw_scratch(p, 2 * count)) return;
  for (int i = 0; i < count; i++) {
    if (!draw_finite4(upper[i].x, upper[i].y, lower[i].x, lower[i].y)) return;
    p->left[i] = draw_px(p, upper[i].x, upper[i].y);
    p->right[i] = draw_px(p, lower[i].x, lower[i].y);
  }
  draw_emit_strip(p, p->left, p->right, count, false, col);
}

void draw_regular(Painter* p, float cx, float cy, float r, int sides, float rotation,
                  DrawColour c) {
  if (!draw_open(p) || !draw_finite4(cx, cy, r, rotation) || !(r > 0) || sides < 3) return;
  if (sides > 1024) sides = 1024;
  SDL_Color col = draw_colour(p, c);
  if (col.a == 0 || !draw_scratch(p, sides)) return;
  circle_px(p, cx, cy, r, sides, rotation, p->pts);
  draw_emit_convex(p, p->pts, sides, col);
}

void draw_split_disc(Painter* p, float cx, float cy, float r, float fraction, float angle,
                     DrawColour lower, DrawColour upper) {
  if (!draw_open(p) || !draw_finite4(cx, cy, r, angle) || !draw_finite(fraction) || !(r > 0))
    return;
  fraction = std::fmin(std::fmax(fraction, 0.0f), 1.0f);
  // The upper colour fills the disc and the lower part goes over it, so the chord gets one clean
  // anti-aliased edge instead of two half-transparent ones.
  draw_disc(p, cx, cy, r, upper);
  SDL_Color col = draw_colour(p, lower);
  if (col.a == 0 || fraction <= 0) return;
  if (fraction >= 1) {
    draw_disc(p, cx, cy, r, lower);
    return;
  }
  // Lower part: where the distance along the angle is below -r + 2r * fraction; the arc about
  // the opposite direction, cut at the chord.
  float d = r * (2 * fraction - 1);
  float half = std::acos(std::fmax(-1.0f, std::fmin(1.0f, d / r)));  // angle from -u to chord end
  float mid = angle + (float)M_PI;
  int n = draw_segments(r * draw_len_scale(p));
  int steps = (int)std::ceil(n * (M_PI - half) / M_PI);
  if (steps < 2) steps = 2;
  if (!draw_scratch(p, steps + 1)) return;
  float span = (float)M_PI - half;
  for (int i = 0; i <= steps; i++) {
    float a = mid - span + 2 * span * i / steps;
    p->pts[i] = draw_px(p, cx + r * std::cos(a), cy + r * std::sin(a));
  }
  draw_emit_convex(p, p->pts, steps + 1, col);
}

void draw_glow(Painter* p, float cx, float cy, float r, DrawColour c) {
  if (!draw_open(p) || !draw_finite(cx) || !draw_finite(cy) || !draw_finite(r) || !(r > 0)) return;
  bool was = p->additive;
  draw_set_additive(p, true);
  // A wide faint halo, a middle layer and a bright core.
  static const float kRadius[3] = {1.0f, 0.55f, 0.25f};
  static const float kAlpha[3] = {0.35f, 0.5f, 0.8f};
  for (int i = 0; i < 3; i++) {
    DrawColour layer = c;
    layer.a *= kAlpha[i];
    SDL_Color col = draw_colour(p, layer);
    if (col.a) radial_spot(p, cx, cy, r * kRadius[i], col);
  }
  draw_set_additive(p, was);
}
