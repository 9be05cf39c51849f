// Offscreen targets, their registry, and the cached shadow textures.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "ui/draw.h"
#include "ui/draw_internal.h"

namespace {

// Every live target texture with the generation and factor it was made under. A target whose
// texture is not here (a copy already freed, or never made) is never destroyed twice.
struct Live {
  SDL_Texture* texture;
  uint64_t generation;
  int factor;
};
Live* g_live = nullptr;
int g_live_count = 0, g_live_cap = 0;

int live_find(const SDL_Texture* t) {
  for (int i = 0; i < g_live_count; i++)
    if (g_live[i].texture == t) return i;
  return -1;
}

bool live_add(SDL_Texture* t, uint64_t generation, int factor) {
  if (g_live_count == g_live_cap) {
    int c = g_live_cap ? g_live_cap * 2 : 16;
    Live* n = (Live*)realloc(g_live, sizeof(Live) * (size_t)c);
    if (!n) return false;
    g_live = n;
    g_live_cap = c;
  }
  g_live[g_live_count++] = Live{t, generation, factor};
  return true;
}

void live_destroy(SDL_Texture* t) {
  int i = live_find(t);
  if (i < 0) return;
  SDL_DestroyTexture(t);
  g_live[i] = g_live[--g_live_count];
}

void target_clear(RenderTarget* t) {
  t->texture = nullptr;
  t->width = t->height = t->factor = t->pixel_width = t->pixel_height = 0;
  t->generation = 0;
}

SDL_FRect rect_px(const Painter* p, DrawRect r) {
  DrawPoint a = draw_px(p, r.x, r.y), b = draw_px(p, r.x + r.w, r.y + r.h);
  return SDL_FRect{std::fmin(a.x, b.x), std::fmin(a.y, b.y), std::fabs(b.x - a.x),
                   std::fabs(b.y - a.y)};
}

bool usable(const Painter* p, const RenderTarget* t) {
  return p && t && t->texture && t->generation == p->generation && live_find(t->texture) >= 0;
}

void draw_part(Painter* p, const RenderTarget* t, const SDL_Rect* src, DrawRect rect) {
  if (!draw_open(p) || !usable(p, t) || !draw_finite4(rect.x, rect.y, rect.w, rect.h) ||
      rect.w <= 0 || rect.h <= 0)
    return;
  uint8_t k = draw_channel(p->alpha);
  if (k == 0) return;
  draw_flush(p);
  // Premultiplied: fading takes all four channels alike. Blending straight, alpha alone.
  uint8_t cm = p->premul_native ? k : 255;
  SDL_SetTextureColorMod(t->texture, cm, cm, cm);
  SDL_SetTextureAlphaMod(t->texture, k);
  SDL_FRect dst = rect_px(p, rect);
  SDL_RenderCopyF(p->renderer, t->texture, src, &dst);
}

}  // namespace

int target_ensure(Painter* p, RenderTarget* t, int width, int height, int factor) {
  if (!p || !t) return -1;
  int maxw = p->max_texture_w, maxh = p->max_texture_h;
  width = width < 1 ? 1 : width > maxw ? maxw : width;
  height = height < 1 ? 1 : height > maxh ? maxh : height;
  factor = factor < 1 ? 1 : factor > 4 ? 4 : factor;
  while (factor > 1 && (factor * width > maxw || factor * height > maxh)) factor--;
  if (t->texture && t->width == width && t->height == height && t->factor == factor &&
      t->generation == p->generation && live_find(t->texture) >= 0)
    return 0;
  if (t->texture) live_destroy(t->texture);
  target_clear(t);
  int pw = width * factor, ph = height * factor;
  SDL_Texture* tex =
      SDL_CreateTexture(p->renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_TARGET, pw, ph);
  if (!tex) {
    log_line("ui: can't make a %dx%d target: %s", pw, ph, SDL_GetError());
    return -1;
  }
  SDL_SetTextureBlendMode(tex, p->premul);
  SDL_SetTextureScaleMode(tex, SDL_ScaleModeLinear);
  if (!live_add(tex, p->generation, factor)) {
    log_line("ui: out of memory for a %dx%d target", pw, ph);
    SDL_DestroyTexture(tex);
    return -1;
  }
  t->texture = tex;
  t->width = width;
  t->height = height;
  t->factor = factor;
  t->pixel_width = pw;
  t->pixel_height = ph;
  t->generation = p->generation;
  return 0;
}

void target_begin(Painter* p, RenderTarget* t, DrawColour clear) {
  if (!p) return;
  draw_flush(p);
  if (p->depth == DRAW_TARGET_DEPTH) {
    p->overflow++;
    return;
  }
  DrawSaved& s = p->saved[p->depth++];
  s.real = false;
  if (!usable(p, t)) return;
  // A texture already in the stack can't be drawn into again until its level ends.
  if (SDL_GetRenderTarget(p->renderer) == t->texture) return;
  for (int i = 0; i < p->depth - 1; i++)
    if (p->saved[i].real && p->saved[i].target == t->texture) return;
  s.target = SDL_GetRenderTarget(p->renderer);
  if (SDL_SetRenderTarget(p->renderer, t->texture) != 0) return;
  s.real = true;
  s.pixel_scale = p->pixel_scale;
  s.ox = p->ox;
  s.oy = p->oy;
  s.sx = p->sx;
  s.sy = p->sy;
  s.alpha = p->alpha;
  s.has_clip = p->has_clip;
  s.clip = p->clip;
  p->ox = p->oy = 0;
  p->sx = p->sy = 1;
  p->alpha = 1;
  p->pixel_scale = p->base_scale * t->factor;
  p->has_clip = false;
  p->clip_empty = false;
  SDL_RenderSetClipRect(p->renderer, nullptr);
  float a = clear.a < 0 ? 0 : clear.a > 1 ? 1 : clear.a;
  SDL_SetRenderDrawBlendMode(p->renderer, SDL_BLENDMODE_NONE);
  SDL_SetRenderDrawColor(p->renderer, draw_channel(clear.r * a), draw_channel(clear.g * a),
                         draw_channel(clear.b * a), draw_channel(a));
  SDL_RenderClear(p->renderer);
}

namespace {

// Drawn over a clear target with the plain blend, colours come out premultiplied; a renderer that
// can't draw them back premultiplied would multiply by alpha twice and dim every translucent
// pixel. So there the target is turned back to straight alpha before it is used.
void straighten(Painter* p) {
  SDL_Texture* tex = SDL_GetRenderTarget(p->renderer);
  int w = 0, h = 0;
  if (!tex || SDL_QueryTexture(tex, nullptr, nullptr, &w, &h) != 0 || w <= 0 || h <= 0) return;
  const size_t n = (size_t)w * (size_t)h;
  if (n > p->cap_readback) {
    auto* grown = (uint32_t*)realloc(p->readback, n * sizeof(uint32_t));
    if (!grown) return;  // left dim rather than not drawn
    p->readback = grown;
    p->cap_readback = n;
  }
  if (SDL_RenderReadPixels(p->renderer, nullptr, SDL_PIXELFORMAT_ARGB8888, p->readback, w * 4) != 0)
    return;
  for (size_t i = 0; i < n; i++) {
    const uint32_t v = p->readback[i], a = v >> 24;
    if (a == 0 || a == 255) continue;
    auto up = [&](uint32_t c) { return std::min<uint32_t>(255, (c * 255 + a / 2) / a); };
    p->readback[i] = (a << 24) | (up(v >> 16 & 255) << 16) | (up(v >> 8 & 255) << 8) | up(v & 255);
  }
  SDL_UpdateTexture(tex, nullptr, p->readback, w * 4);
}

}  // namespace

void target_end(Painter* p) {
  if (!p) return;
  draw_flush(p);
  if (!p->premul_native && p->overflow == 0 && p->depth > 0 && p->saved[p->depth - 1].real)
    straighten(p);
  if (p->overflow > 0) {
    p->overflow--;
    return;
  }
  if (p->depth == 0) return;
  DrawSaved& s = p->saved[--p->depth];
  if (!s.real) return;
  SDL_SetRenderTarget(p->renderer, s.target);
  p->pixel_scale = s.pixel_scale;
  p->ox = s.ox;
  p->oy = s.oy;
  p->sx = s.sx;
  p->sy = s.sy;
  p->alpha = s.alpha;
  p->has_clip = s.has_clip;
  p->clip = s.clip;
  p->clip_empty = false;
  if (p->has_clip)
    SDL_RenderSetClipRect(p->renderer, &p->clip);
  else
    SDL_RenderSetClipRect(p->renderer, nullptr);
}

void target_draw(Painter* p, const RenderTarget* t, DrawRect rect) {
  draw_part(p, t, nullptr, rect);
}

void target_draw_part(Painter* p, const RenderTarget* t, DrawRect source, DrawRect rect) {
  if (!t || !draw_finite4(source.x, source.y, source.w, source.h) || source.w <= 0 ||
      source.h <= 0)
    return;
  // The source is in the target's logical units; the texture holds factor pixels per unit.
  float f = (float)t->factor;
  SDL_Rect src{(int)std::lround(source.x * f), (int)std::lround(source.y * f),
               (int)std::lround(source.w * f), (int)std::lround(source.h * f)};
  if (src.w <= 0 || src.h <= 0) return;
  draw_part(p, t, &src, rect);
}

void target_free(RenderTarget* t) {
  if (!t) return;
  if (t->texture) live_destroy(t->texture);
  target_clear(t);
}

// --- Shadows -------------------------------------------------------------------------------------

namespace {

// Coverage of a rounded rectangle at pixel centre (x, y): inside is 1, with a one-pixel ramp.
float rrect_cover(float x, float y, float x0, float y0, float x1, float y1, float r) {
  float cx = std::fmin(std::fmax(x, x0 + r), x1 - r);
  float cy = std::fmin(std::fmax(y, y0 + r), y1 - r);
  float dx = x - cx, dy = y - cy;
  float d;
  if (r > 0)
    d = std::sqrt(dx * dx + dy * dy) - r;
  else
    d = std::fmax(std::fmax(x0 - x, x - x1), std::fmax(y0 - y, y - y1));
  return std::fmin(1.0f, std::fmax(0.0f, 0.5f - d));
}

// One running box average of width 2k + 1 along a line of n values (step apart), zero outside.
// Three in a row come close to a gaussian at the cost of a few additions per pixel.
void box_line(float* line, float* tmp, int n, int step, int k) {
  float sum = 0, inv = 1.0f / (2 * k + 1);
  for (int i = 0; i < k && i < n; i++) sum += line[(size_t)i * step];
  for (int i = 0; i < n; i++) {
    if (i + k < n) sum += line[(size_t)(i + k) * step];
    if (i - k - 1 >= 0) sum -= line[(size_t)(i - k - 1) * step];
    tmp[i] = sum * inv;
  }
  for (int i = 0; i < n; i++) line[(size_t)i * step] = tmp[i];
}

// Half-width of each of the three boxes for a blur of sigma: three boxes of width w have
// variance 3 (w^2 - 1) / 12. The blur reaches 3k pixels.
int box_half(float sigma) {
  return sigma > 0 ? (int)std::lround((std::sqrt(4 * sigma * sigma + 1) - 1) * 0.5f) : 0;
}

void blur_shape(float* v, float* tmp, int size, int k) {
  if (k < 1) return;
  for (int pass = 0; pass < 3; pass++) {
    for (int y = 0; y < size; y++) box_line(v + (size_t)y * size, tmp, size, 1, k);
    for (int x = 0; x < size; x++) box_line(v + x, tmp, size, size, k);
  }
}

SDL_Texture* make_shadow(Painter* p, int radius, int blur, int* size_out, int* corner_out,
                         int* margin_out) {
  // Corner part: the margin the blur spreads into, the radius, and the blur reaching inward.
  int k = box_half(blur * 0.5f), margin = 3 * k;
  int corner = radius + 2 * margin + 1;
  int size = 2 * corner + 2;
  float* v = (float*)calloc((size_t)size * size + size, sizeof(float));
  uint32_t* px = (uint32_t*)malloc((size_t)size * size * 4);
  if (!v || !px) {
    free(v);
    free(px);
    return nullptr;
  }
  float* tmp = v + (size_t)size * size;
  float m = (float)margin;
  for (int y = 0; y < size; y++)
    for (int x = 0; x < size; x++)
      v[(size_t)y * size + x] =
          rrect_cover(x + 0.5f, y + 0.5f, m, m, (float)size - m, (float)size - m, (float)radius);
  blur_shape(v, tmp, size, k);
  for (int i = 0; i < size * size; i++)
    px[i] = (uint32_t)draw_channel(v[i]) << 24 | 0x00FFFFFFu;
  free(v);
  SDL_Texture* t =
      SDL_CreateTexture(p->renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STATIC, size, size);
  if (t && SDL_UpdateTexture(t, nullptr, px, size * 4) != 0) {
    SDL_DestroyTexture(t);
    t = nullptr;
  }
  free(px);
  if (!t) return nullptr;
  SDL_SetTextureBlendMode(t, SDL_BLENDMODE_BLEND);
  SDL_SetTextureScaleMode(t, SDL_ScaleModeLinear);
  *size_out = size;
  *corner_out = corner;
  *margin_out = margin;
  return t;
}

DrawShadow* shadow_get(Painter* p, int radius, int blur) {
  DrawShadow* slot = &p->shadows[0];
  for (int i = 0; i < DRAW_SHADOW_CACHE; i++) {
    DrawShadow* s = &p->shadows[i];
    if (s->texture && s->radius == radius && s->blur == blur) {
      s->used = ++p->shadow_clock;
      return s;
    }
    if (!s->texture || (slot->texture && s->used < slot->used)) slot = s;
  }
  int size, corner, margin;
  SDL_Texture* t = make_shadow(p, radius, blur, &size, &corner, &margin);
  if (!t) {
    log_line("ui: can't make a shadow texture: %s", SDL_GetError());
    return nullptr;
  }
  if (slot->texture) SDL_DestroyTexture(slot->texture);
  *slot = DrawShadow{t, radius, blur, size, corner, margin, ++p->shadow_clock};
  return slot;
}

}  // namespace

void draw_shadow_release(Painter* p) {
  for (int i = 0; i < DRAW_SHADOW_CACHE; i++) {
    if (p->shadows[i].texture) SDL_DestroyTexture(p->shadows[i].texture);
    p->shadows[i] = DrawShadow{};
  }
}

namespace {

void shadow(Painter* p, DrawRect r, float radius, float blur, float alpha, bool middle) {
  if (!draw_open(p) || !draw_finite4(r.x, r.y, r.w, r.h) || !(r.w > 0) || !(r.h > 0) || !draw_finite(radius) || !draw_finite(blur) ||
      !draw_finite(alpha))
    return;
  uint8_t a8 = draw_channel(alpha * p->alpha);
  if (a8 == 0) return;
  SDL_FRect px = rect_px(p, r);
  if (!(px.w > 0) || !(px.h > 0)) return;
  float b = std::fmin(std::fmax(blur, 0.0f), (float)DRAW_MAX_SHADOW_BLUR);
  int bi = 2 * (int)std::lround(b * 0.5f);
  float rpx = std::fmax(radius, 0.0f) * draw_len_scale(p);
  int limit = (int)(std::fmin(px.w, px.h) * 0.5f);
  int ri = 2 * (int)std::lround(rpx * 0.5f);
  if (ri > limit) ri = limit & ~1;
  DrawShadow* s = shadow_get(p, ri, bi);
  if (!s) return;
  draw_flush(p);
  // The texture's rectangle sits margin pixels in from its edge; so does the picture's.
  float m = (float)s->margin;
  float x0 = px.x - m, y0 = px.y - m, x1 = px.x + px.w + m, y1 = px.y + px.h + m;
  float cw = std::fmin((float)s->corner, (x1 - x0) * 0.5f);
  float ch = std::fmin((float)s->corner, (y1 - y0) * 0.5f);
  const float xs[4] = {x0, x0 + cw, x1 - cw, x1};
  const float ys[4] = {y0, y0 + ch, y1 - ch, y1};
  // Corners cut short keep their outer part one to one, so the falloff keeps its width.
  float sz = (float)s->size;
  const float us[4] = {0, cw < s->corner ? cw / sz : s->corner / sz,
                       cw < s->corner ? 1 - cw / sz : (s->corner + 2) / sz, 1};
  const float vs[4] = {0, ch < s->corner ? ch / sz : s->corner / sz,
                       ch < s->corner ? 1 - ch / sz : (s->corner + 2) / sz, 1};
  SDL_Vertex v[16];
  SDL_Color black{0, 0, 0, a8};
  for (int j = 0; j < 4; j++)
    for (int i = 0; i < 4; i++)
      v[j * 4 + i] = SDL_Vertex{{xs[i], ys[j]}, black, {us[i], vs[j]}};
  int idx[54];
  int n = 0;
  for (int j = 0; j < 3; j++)
    for (int i = 0; i < 3; i++) {
      if (i == 1 && j == 1 && !middle) continue;
      int a = j * 4 + i;
      const int quad[6] = {a, a + 1, a + 5, a, a + 5, a + 4};
      for (int q : quad) idx[n++] = q;
    }
  SDL_RenderGeometry(p->renderer, s->texture, v, 16, idx, n);
}

}  // namespace

void draw_shadow(Painter* p, DrawRect r, float radius, float blur, float alpha) {
  shadow(p, r, radius, blur, alpha, true);
}

void draw_shadow_around(Painter* p, DrawRect r, float radius, float blur, float alpha) {
  shadow(p, r, radius, blur, alpha, false);
}
