#include "ui/draw.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "ui/draw_internal.h"

namespace {

uint64_t g_generation = 0;

// Batches stop growing well before an int index or byte count could overflow.
constexpr int kMaxBatch = 1 << 26;

bool grow(void** block, int* cap, int need, size_t item, int first) {
  if (need <= *cap) return true;
  if (need > kMaxBatch) return false;
  int c = *cap > 0 ? *cap : first;
  while (c < need) c *= 2;
  void* n = realloc(*block, (size_t)c * item);
  if (!n) return false;
  *block = n;
  *cap = c;
  return true;
}

SDL_Texture* make_white(SDL_Renderer* r) {
  SDL_Texture* t = SDL_CreateTexture(r, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STATIC, 1, 1);
  if (!t) return nullptr;
  uint32_t white = 0xFFFFFFFFu;
  if (SDL_UpdateTexture(t, nullptr, &white, 4) != 0 ||
      SDL_SetTextureBlendMode(t, SDL_BLENDMODE_BLEND) != 0) {
    SDL_DestroyTexture(t);
    return nullptr;
  }
  SDL_SetTextureScaleMode(t, SDL_ScaleModeNearest);
  return t;
}

void apply_clip(Painter* p) {
  if (p->has_clip)
    SDL_RenderSetClipRect(p->renderer, &p->clip);
  else
    SDL_RenderSetClipRect(p->renderer, nullptr);
}

}  // namespace

bool draw_reserve(Painter* p, int vertices, int indices) {
  if (vertices < 0 || indices < 0 || vertices > kMaxBatch - p->nverts ||
      indices > kMaxBatch - p->nidx)
    return false;
  return grow((void**)&p->verts, &p->cap_verts, p->nverts + vertices, sizeof(SDL_Vertex), 64) &&
         grow((void**)&p->idx, &p->cap_idx, p->nidx + indices, sizeof(int), 64);
}

bool draw_scratch(Painter* p, int points) {
  if (points <= p->cap_scratch) return true;
  if (points > kMaxBatch / 8) return false;
  int c = p->cap_scratch > 0 ? p->cap_scratch : 256;
  while (c < points) c *= 2;
  DrawPoint* block = (DrawPoint*)malloc(sizeof(DrawPoint) * 6 * (size_t)c);
  if (!block) return false;
  free(p->scratch);
  p->scratch = block;
  p->cap_scratch = c;
  p->pts = block;
  p->left = block + c;
  p->right = block + 2 * c;
  p->loop = block + 3 * c;
  p->enorm = block + 4 * c;
  p->vnorm = block + 5 * c;
  return true;
}

Painter* draw_new(SDL_Renderer* renderer, float base_scale) {
  if (!renderer) {
    log_line("ui: no renderer to draw with");
    return nullptr;
  }
  Painter* p = (Painter*)calloc(1, sizeof(Painter));
  if (!p) {
    log_line("ui: out of memory for the draw layer");
    return nullptr;
  }
  p->renderer = renderer;
  p->white = make_white(renderer);
  if (!p->white) {
    log_line("ui: can't make the white texture: %s", SDL_GetError());
    draw_free(p);
    return nullptr;
  }
  if (!draw_reserve(p, DRAW_FIRST_VERTICES, DRAW_FIRST_INDICES) || !draw_scratch(p, 256)) {
    log_line("ui: out of memory for the draw batches");
    draw_free(p);
    return nullptr;
  }
  p->premul = SDL_ComposeCustomBlendMode(SDL_BLENDFACTOR_ONE, SDL_BLENDFACTOR_ONE_MINUS_SRC_ALPHA,
                                         SDL_BLENDOPERATION_ADD, SDL_BLENDFACTOR_ONE,
                                         SDL_BLENDFACTOR_ONE_MINUS_SRC_ALPHA,
                                         SDL_BLENDOPERATION_ADD);
  // The software renderer knows only the fixed modes; there textures blend straight.
  p->premul_native = SDL_SetTextureBlendMode(p->white, p->premul) == 0;
  SDL_SetTextureBlendMode(p->white, SDL_BLENDMODE_BLEND);
  if (!p->premul_native) {
    log_line("ui: the renderer can't blend premultiplied - textures blend straight");
    p->premul = SDL_BLENDMODE_BLEND;
  }
  SDL_RendererInfo info;
  if (SDL_GetRendererInfo(renderer, &info) != 0) info = SDL_RendererInfo{};
  p->max_texture_w = info.max_texture_width > 0 ? info.max_texture_width : DRAW_MAX_TEXTURE;
  p->max_texture_h = info.max_texture_height > 0 ? info.max_texture_height : DRAW_MAX_TEXTURE;
  p->base_scale = std::isfinite(base_scale) && base_scale > 0 ? base_scale : 1.0f;
  p->pixel_scale = p->base_scale;
  p->sx = p->sy = 1;
  p->alpha = 1;
  p->smooth = true;
  p->generation = ++g_generation;
  return p;
}

void draw_free(Painter* p) {
  if (!p) return;
  // Freed mid-target: hand the renderer back to where the outermost begin found it.
  for (int i = 0; i < p->depth; i++) {
    if (p->saved[i].real) {
      SDL_SetRenderTarget(p->renderer, p->saved[i].target);
      break;
    }
  }
  draw_shadow_release(p);
  if (p->white) SDL_DestroyTexture(p->white);
  free(p->verts);
  free(p->idx);
  free(p->scratch);
  free(p->readback);
  free(p);
}

SDL_Renderer* draw_renderer(const Painter* p) { return p ? p->renderer : nullptr; }
uint64_t draw_generation(const Painter* p) { return p ? p->generation : 0; }
int draw_premultiplied_blend(const Painter* p) {
  return p ? (int)p->premul : (int)SDL_BLENDMODE_BLEND;
}

void draw_batch_counts(const Painter* p, int* vertices, int* indices) {
  if (vertices) *vertices = p ? p->nverts : 0;
  if (indices) *indices = p ? p->nidx : 0;
}

void draw_set_base_scale(Painter* p, float base_scale) {
  if (!p || !std::isfinite(base_scale) || base_scale <= 0) return;
  // Inside a target the pixel scale carries the target's factor on top.
  float factor = p->pixel_scale / p->base_scale;
  p->base_scale = base_scale;
  p->pixel_scale = base_scale * factor;
}

void draw_set_transform(Painter* p, float offset_x, float offset_y, float scale_x, float scale_y) {
  if (!p || !draw_finite4(offset_x, offset_y, scale_x, scale_y)) return;
  p->ox = offset_x;
  p->oy = offset_y;
  p->sx = scale_x;
  p->sy = scale_y;
}

void draw_reset_transform(Painter* p) { draw_set_transform(p, 0, 0, 1, 1); }

void draw_set_additive(Painter* p, bool on) {
  if (!p || p->additive == on) return;
  draw_flush(p);
  p->additive = on;
}

void draw_set_clip(Painter* p, const DrawRect* clip) {
  if (!p) return;
  if (!clip) {
    if (!p->has_clip && !p->clip_empty) return;
    draw_flush(p);
    p->has_clip = p->clip_empty = false;
    apply_clip(p);
    return;
  }
  if (!draw_finite4(clip->x, clip->y, clip->w, clip->h)) return;
  DrawPoint a = draw_px(p, clip->x, clip->y);
  DrawPoint b = draw_px(p, clip->x + clip->w, clip->y + clip->h);
  float x0 = std::fmin(a.x, b.x), x1 = std::fmax(a.x, b.x);
  float y0 = std::fmin(a.y, b.y), y1 = std::fmax(a.y, b.y);
  // Whole pixels a shape may touch; far values are held inside int range.
  x0 = std::fmax(std::floor(x0), -1e9f);
  y0 = std::fmax(std::floor(y0), -1e9f);
  x1 = std::fmin(std::ceil(x1), 1e9f);
  y1 = std::fmin(std::ceil(y1), 1e9f);
  SDL_Rect r{(int)x0, (int)y0, (int)(x1 - x0), (int)(y1 - y0)};
  bool empty = clip->w <= 0 || clip->h <= 0 || r.w <= 0 || r.h <= 0;
  if (empty) {
    if (p->clip_empty) return;
    draw_flush(p);
    p->clip_empty = true;
    return;
  }
  if (p->has_clip && !p->clip_empty && memcmp(&r, &p->clip, sizeof r) == 0) return;
  draw_flush(p);
  p->has_clip = true;
  p->clip_empty = false;
  p->clip = r;
  apply_clip(p);
}

void draw_set_alpha(Painter* p, float alpha) {
  if (!p || !std::isfinite(alpha)) return;
  p->alpha = alpha < 0 ? 0 : alpha > 1 ? 1 : alpha;
}

float draw_alpha(const Painter* p) { return p ? p->alpha : 1.0f; }
void draw_set_smooth(Painter* p, bool on) {
  if (p) p->smooth = on;
}
float draw_pixel_scale(const Painter* p) { return p ? p->pixel_scale : 1.0f; }

void draw_flush(Painter* p) {
  if (!p) return;
  if (p->nidx > 0 && !p->clip_empty) {
    SDL_SetTextureBlendMode(p->white, p->additive ? SDL_BLENDMODE_ADD : SDL_BLENDMODE_BLEND);
    SDL_RenderGeometry(p->renderer, p->white, p->verts, p->nverts, p->idx, p->nidx);
  }
  p->nverts = 0;
  p->nidx = 0;
}

DrawPoint draw_to_pixels(const Painter* p, float x, float y) {
  if (!p) return DrawPoint{x, y};
  return draw_px(p, x, y);
}

uint32_t draw_pack(const Painter* p, DrawColour c) {
  float ga = p ? p->alpha : 1.0f;
  return (uint32_t)draw_channel(c.r) | (uint32_t)draw_channel(c.g) << 8 |
         (uint32_t)draw_channel(c.b) << 16 | (uint32_t)draw_channel(c.a * ga) << 24;
}

int draw_segments(float r_px) {
  if (!(r_px >= 1)) return 8;
  double n = std::ceil(M_PI / std::acos(1.0 - 0.25 / (double)r_px));
  if (!(n >= 8)) return 8;  // acos of ~1 on huge radii gives 0 -> inf, caught below too
  return n > 256 ? 256 : (int)n;
}

void draw_texture(Painter* p, SDL_Texture* texture, const DrawRect* src, DrawRect rect,
                  DrawColour tint) {
  if (!draw_open(p) || !texture || !draw_finite4(rect.x, rect.y, rect.w, rect.h) ||
      rect.w <= 0 || rect.h <= 0)
    return;
  float a = tint.a * p->alpha;
  uint8_t a8 = draw_channel(a);
  if (a8 == 0) return;
  draw_flush(p);
  SDL_BlendMode mode = SDL_BLENDMODE_NONE;
  SDL_GetTextureBlendMode(texture, &mode);
  // A premultiplied texture takes the tint premultiplied, or its colour would outshine its alpha.
  float k = p->premul_native && mode == p->premul ? a : 1.0f;
  SDL_SetTextureColorMod(texture, draw_channel(tint.r * k), draw_channel(tint.g * k),
                         draw_channel(tint.b * k));
  SDL_SetTextureAlphaMod(texture, a8);
  DrawPoint p0 = draw_px(p, rect.x, rect.y);
  DrawPoint p1 = draw_px(p, rect.x + rect.w, rect.y + rect.h);
  SDL_FRect dst{std::fmin(p0.x, p1.x), std::fmin(p0.y, p1.y), std::fabs(p1.x - p0.x),
                std::fabs(p1.y - p0.y)};
  SDL_Rect s;
  const SDL_Rect* sp = nullptr;
  if (src) {
    if (!draw_finite4(src->x, src->y, src->w, src->h) || src->w <= 0 || src->h <= 0) return;
    s = SDL_Rect{(int)std::lround(src->x), (int)std::lround(src->y), (int)std::lround(src->w),
                 (int)std::lround(src->h)};
    if (s.w <= 0 || s.h <= 0) return;
    sp = &s;
  }
  SDL_RenderCopyF(p->renderer, texture, sp, &dst);
}
