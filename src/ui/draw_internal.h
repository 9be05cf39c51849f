// Private to the draw layer's files: the Painter record and the shared tessellation helpers.
#pragma once
#include <SDL2/SDL.h>

#include <cmath>
#include <cstdint>

#include "ui/draw.h"

enum { DRAW_TARGET_DEPTH = 8, DRAW_SHADOW_CACHE = 8, DRAW_CURVE_MAX = 512 };

struct DrawSaved {
  bool real;  // false: the begin was ignored, so its end restores nothing
  SDL_Texture* target;
  float pixel_scale;
  float ox, oy, sx, sy;
  float alpha;
  bool has_clip;
  SDL_Rect clip;
};

struct DrawShadow {
  SDL_Texture* texture;
  int radius, blur;  // even pixels
  int size, corner;  // texture side and corner part side, pixels
  int margin;        // how far the blur reaches past the rectangle
  uint64_t used;
};

struct Painter {
  SDL_Renderer* renderer;
  SDL_Texture* white;
  SDL_BlendMode premul;      // what textures drawn premultiplied use
  bool premul_native;        // false: the renderer refused the custom mode
  int max_texture_w, max_texture_h;
  float base_scale, pixel_scale;
  float ox, oy, sx, sy;
  float alpha;
  bool smooth, additive;
  bool has_clip, clip_empty;
  SDL_Rect clip;  // pixels

  SDL_Vertex* verts;
  int nverts, cap_verts;
  int* idx;
  int nidx, cap_idx;

  // Per-shape work arrays, one block of six equal parts.
  DrawPoint* scratch;
  int cap_scratch;
  uint32_t* readback;  // a target's pixels, on renderers without the premultiplied blend
  size_t cap_readback;
  DrawPoint *pts, *left, *right, *loop, *enorm, *vnorm;
  DrawPoint curve[DRAW_CURVE_MAX + 1];

  DrawSaved saved[DRAW_TARGET_DEPTH];
  int depth;
  int overflow;  // begins past the stack, ignored along with their ends

  DrawShadow shadows[DRAW_SHADOW_CACHE];
  uint64_t shadow_clock;
  uint64_t generation;
};

inline bool draw_finite(float v) { return std::isfinite(v); }
inline bool draw_finite4(float a, float b, float c, float d) {
  return std::isfinite(a) && std::isfinite(b) && std::isfinite(c) && std::isfinite(d);
}

inline uint8_t draw_channel(float c) {
  if (!(c > 0)) return 0;
  if (c >= 1) return 255;
  return (uint8_t)std::floor(c * 255.0f + 0.5f);
}

// The colour as vertices carry it, global alpha applied; alpha 0 means "draw nothing".
inline SDL_Color draw_colour(const Painter* p, DrawColour c) {
  SDL_Color out;
  out.r = draw_channel(c.r);
  out.g = draw_channel(c.g);
  out.b = draw_channel(c.b);
  out.a = draw_channel(c.a * p->alpha);
  return out;
}

inline DrawPoint draw_px(const Painter* p, float x, float y) {
  return DrawPoint{(x * p->sx + p->ox) * p->pixel_scale, (y * p->sy + p->oy) * p->pixel_scale};
}

// Pixels per point along the larger axis, for tessellating by on-screen size.
inline float draw_len_scale(const Painter* p) {
  return p->pixel_scale * std::fmax(std::fabs(p->sx), std::fabs(p->sy));
}

// True when there is a painter and the clip leaves something to draw into.
inline bool draw_open(const Painter* p) { return p && !p->clip_empty; }

bool draw_reserve(Painter* p, int vertices, int indices);
bool draw_scratch(Painter* p, int points);

inline void draw_vertex(Painter* p, DrawPoint at, SDL_Color c) {
  SDL_Vertex& v = p->verts[p->nverts++];
  v.position.x = at.x;
  v.position.y = at.y;
  v.color = c;
  v.tex_coord.x = 0.5f;
  v.tex_coord.y = 0.5f;
}

inline void draw_tri(Painter* p, int a, int b, int c) {
  int* i = p->idx + p->nidx;
  i[0] = a;
  i[1] = b;
  i[2] = c;
  p->nidx += 3;
}

// A convex polygon of n pixel points: a fan, plus the anti-aliasing rim when smooth.
void draw_emit_convex(Painter* p, const DrawPoint* q, int n, SDL_Color c);
// The strip between two pixel polylines of n points each; closed joins the last to the first.
void draw_emit_strip(Painter* p, const DrawPoint* upper, const DrawPoint* lower, int n,
                     bool closed, SDL_Color c);
// A stroke of pixel width w along n pixel points (duplicates already dropped).
void draw_emit_stroke(Painter* p, const DrawPoint* q, int n, float w, bool closed, SDL_Color c);

void draw_shadow_release(Painter* p);
