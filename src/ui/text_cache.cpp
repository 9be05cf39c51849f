// Whole strings as textures: rasterising, the soft shadow, the string cache, and drawing.
#include <SDL.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "ui/text_internal.h"

TextState g_text;

namespace {

struct Entry {
  bool used;
  int role, size_px, weight, tracking_px;
  char* bytes;
  size_t length;
  uint32_t hash;
  int next;  // next entry in the same bucket, -1 at the end
  int width, ascent, descent;
  int bmp_w, bmp_h, margin_x, margin_y;
  SDL_Texture* texture;  // null when the string is too big to draw
  SDL_Texture* shadow;
  int shadow_w, shadow_h, shadow_margin;
  uint64_t stamp;
};

struct Cache {
  Entry entries[TEXT_CACHE_ENTRIES];
  int buckets[TEXT_CACHE_BUCKETS];
  int count;
  // Raster scratch shared by every string, grown to the largest needed.
  uint8_t* coverage;
  size_t coverage_cap;
  uint32_t* pixels;
  size_t pixels_cap;
  float* blur[2];
  size_t blur_cap;
};

Cache g_cache;

struct Warm {
  const char* text;
  int role;
  float size;
  int weight;
};
const Warm kWarm[] = {
    {"戻", TEXT_CJK, 22, 400},      {"聞", TEXT_CJK, 22, 400},        {"録", TEXT_CJK, 22, 400},
    {"練", TEXT_CJK, 22, 400},      {"新", TEXT_CJK, 22, 400},        {"話", TEXT_CJK, 22, 400},
    {"SAVING…", TEXT_MONO, 12, 700}, {"Untitled", TEXT_HEAD, 15, 600},
};

template <typename T>
bool reserve(T** buf, size_t* cap, size_t need) {
  if (need <= *cap) return true;
  T* p = static_cast<T*>(malloc(sizeof(T) * need));
  if (!p) return false;
  free(*buf);
  *buf = p;
  *cap = need;
  return true;
}

void entry_release(Entry* e, bool destroy_textures) {
  if (destroy_textures) {
    if (e->texture) SDL_DestroyTexture(e->texture);
    if (e->shadow) SDL_DestroyTexture(e->shadow);
  }
  free(e->bytes);
  memset(e, 0, sizeof *e);
}

void cache_reset(bool destroy_textures) {
  for (Entry& e : g_cache.entries)
    if (e.used) entry_release(&e, destroy_textures);
  for (int& b : g_cache.buckets) b = -1;
  g_cache.count = 0;
}

void unlink(int index) {
  Entry& e = g_cache.entries[index];
  int* link = &g_cache.buckets[e.hash & (TEXT_CACHE_BUCKETS - 1)];
  while (*link >= 0 && *link != index) link = &g_cache.entries[*link].next;
  if (*link == index) *link = e.next;
}

int find(const TextKey* k, uint32_t hash) {
  if (g_cache.count == 0) return -1;  // the buckets are set up by the first text_init
  for (int i = g_cache.buckets[hash & (TEXT_CACHE_BUCKETS - 1)]; i >= 0;
       i = g_cache.entries[i].next) {
    const Entry& e = g_cache.entries[i];
    if (e.hash == hash && e.role == k->role && e.size_px == k->size_px &&
        e.weight == k->weight && e.tracking_px == k->tracking_px && e.length == k->length &&
        memcmp(e.bytes, k->bytes, k->length) == 0)
      return i;
  }
  return -1;
}

// A free slot, evicting the least recently stamped entry when all are taken.
int take_slot() {
  int oldest = -1;
  for (int i = 0; i < TEXT_CACHE_ENTRIES; i++) {
    const Entry& e = g_cache.entries[i];
    if (!e.used) return i;
    if (oldest < 0 || e.stamp < g_cache.entries[oldest].stamp) oldest = i;
  }
  unlink(oldest);
  entry_release(&g_cache.entries[oldest], true);
  g_cache.count--;
  return oldest;
}

void blit(const FT_Bitmap& bm, int x0, int y0, int w, int h) {
  for (unsigned row = 0; row < bm.rows; row++) {
    int y = y0 + static_cast<int>(row);
    if (y < 0 || y >= h) continue;
    const uint8_t* src = bm.buffer + static_cast<ptrdiff_t>(row) * bm.pitch;
    uint8_t* dst = g_cache.coverage + static_cast<size_t>(y) * static_cast<size_t>(w);
    for (unsigned col = 0; col < bm.width; col++) {
      int x = x0 + static_cast<int>(col);
      if (x < 0 || x >= w) continue;
      uint8_t v = 0;
      if (bm.pixel_mode == FT_PIXEL_MODE_GRAY)
        v = src[col];
      else if (bm.pixel_mode == FT_PIXEL_MODE_MONO)
        v = (src[col >> 3] & (0x80 >> (col & 7))) ? 255 : 0;
      else if (bm.pixel_mode == FT_PIXEL_MODE_BGRA)
        v = src[col * 4 + 3];
      if (v > dst[x]) dst[x] = v;
    }
  }
}

// Draws the laid-out string white into the coverage buffer (w by h, the margins around it).
bool rasterise(int w, int h, int margin_x, int margin_y) {
  size_t need = static_cast<size_t>(w + 64) * static_cast<size_t>(h + 16);
  if (!reserve(&g_cache.coverage, &g_cache.coverage_cap, need)) return false;
  memset(g_cache.coverage, 0, static_cast<size_t>(w) * static_cast<size_t>(h));
  const TextLayout& L = g_text.layout;
  int baseline = margin_y + L.ascent;
  for (int ri = 0; ri < L.nruns; ri++) {
    const TextRun& r = L.runs[ri];
    if (!text_shape_run(&r)) continue;
    unsigned n = 0;
    hb_glyph_info_t* info = hb_buffer_get_glyph_infos(g_text.hb_buf, &n);
    hb_glyph_position_t* pos = hb_buffer_get_glyph_positions(g_text.hb_buf, &n);
    FT_Face face = r.font->face;
    int64_t pen = 0;  // 26.6
    for (unsigned k = 0; k < n; k++) {
      if (FT_Load_Glyph(face, info[k].codepoint, FT_LOAD_DEFAULT) == 0 &&
          FT_Render_Glyph(face->glyph, FT_RENDER_MODE_NORMAL) == 0) {
        FT_GlyphSlot g = face->glyph;
        int gx = margin_x + r.x + static_cast<int>((pen + pos[k].x_offset + 32) >> 6) +
                 g->bitmap_left;
        int gy = baseline - static_cast<int>((pos[k].y_offset + 32) >> 6) - g->bitmap_top;
        blit(g->bitmap, gx, gy, w, h);
      }
      pen += pos[k].x_advance;
      // Tracking follows each character, counted by the clusters a glyph closes.
      bool closes = k + 1 >= n || info[k + 1].cluster != info[k].cluster;
      if (closes) {
        int next = k + 1 < n ? static_cast<int>(info[k + 1].cluster) : r.count;
        int chars = next - static_cast<int>(info[k].cluster);
        pen += static_cast<int64_t>(L.tracking) * 64 * (chars > 0 ? chars : 1);
      }
    }
  }
  return true;
}

SDL_Texture* make_texture(const uint8_t* alpha, int w, int h, bool linear) {
  if (!g_text.renderer) return nullptr;
  size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
  if (!reserve(&g_cache.pixels, &g_cache.pixels_cap, n)) {
    log_line("text: out of memory for a %dx%d texture", w, h);
    return nullptr;
  }
  for (size_t i = 0; i < n; i++) g_cache.pixels[i] = (uint32_t{alpha[i]} << 24) | 0xFFFFFFu;
  SDL_Texture* t = SDL_CreateTexture(g_text.renderer, SDL_PIXELFORMAT_ARGB8888,
                                     SDL_TEXTUREACCESS_STATIC, w, h);
  if (!t) {
    log_line("text: can't make a %dx%d texture (%s)", w, h, SDL_GetError());
    return nullptr;
  }
  if (SDL_UpdateTexture(t, nullptr, g_cache.pixels, w * 4) != 0) {
    log_line("text: can't fill a %dx%d texture (%s)", w, h, SDL_GetError());
    SDL_DestroyTexture(t);
    return nullptr;
  }
  SDL_SetTextureBlendMode(t, SDL_BLENDMODE_BLEND);
  SDL_SetTextureScaleMode(t, linear ? SDL_ScaleModeLinear : SDL_ScaleModeNearest);
  return t;
}

// One box pass of radius r along rows (stride 1) or columns (stride w), edges reading zero.
void box(const float* src, float* dst, int w, int h, int r, bool rows) {
  int lines = rows ? h : w, len = rows ? w : h;
  size_t step = rows ? 1 : static_cast<size_t>(w);
  float scale = 1.0f / static_cast<float>(2 * r + 1);
  for (int l = 0; l < lines; l++) {
    size_t base = rows ? static_cast<size_t>(l) * static_cast<size_t>(w) : static_cast<size_t>(l);
    float sum = 0.0f;
    for (int i = 0; i <= r && i < len; i++) sum += src[base + static_cast<size_t>(i) * step];
    for (int i = 0; i < len; i++) {
      dst[base + static_cast<size_t>(i) * step] = sum * scale;
      int add = i + r + 1, drop = i - r;
      if (add < len) sum += src[base + static_cast<size_t>(add) * step];
      if (drop >= 0) sum -= src[base + static_cast<size_t>(drop) * step];
    }
  }
}

// The shadow texture: the coverage with m pixels around it, three box passes each way (close to
// a Gaussian, reaching 3r), linear scaling.
bool make_shadow(Entry* e, const TextKey* key) {
  if (text_layout(key) != 0 || !rasterise(e->bmp_w, e->bmp_h, e->margin_x, e->margin_y))
    return false;
  int r = std::max(1, static_cast<int>(std::floor(g_text.pixel_scale * 10.0f / 3.0f + 0.5f)));
  int m = 3 * r + 1;
  int w = e->bmp_w + 2 * m, h = e->bmp_h + 2 * m;
  size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
  if (n > g_cache.blur_cap) {
    float* a = static_cast<float*>(malloc(n * sizeof(float)));
    float* b = static_cast<float*>(malloc(n * sizeof(float)));
    if (!a || !b) {
      free(a);
      free(b);
      log_line("text: out of memory for a %dx%d shadow", w, h);
      return false;
    }
    free(g_cache.blur[0]);
    free(g_cache.blur[1]);
    g_cache.blur[0] = a;
    g_cache.blur[1] = b;
    g_cache.blur_cap = n;
  }
  float* a = g_cache.blur[0];
  float* b = g_cache.blur[1];
  std::fill(a, a + n, 0.0f);
  for (int y = 0; y < e->bmp_h; y++)
    for (int x = 0; x < e->bmp_w; x++)
      a[static_cast<size_t>(y + m) * static_cast<size_t>(w) + static_cast<size_t>(x + m)] =
          g_cache.coverage[static_cast<size_t>(y) * static_cast<size_t>(e->bmp_w) +
                           static_cast<size_t>(x)] /
          255.0f;
  for (int pass = 0; pass < 3; pass++) {
    box(a, b, w, h, r, true);
    box(b, a, w, h, r, false);
  }
  // The blurred alpha goes back into the coverage scratch, now sized for the shadow.
  if (!reserve(&g_cache.coverage, &g_cache.coverage_cap, n)) return false;
  for (size_t i = 0; i < n; i++)
    g_cache.coverage[i] =
        static_cast<uint8_t>(std::floor(std::clamp(a[i], 0.0f, 1.0f) * 255.0f + 0.5f));
  e->shadow = make_texture(g_cache.coverage, w, h, true);
  e->shadow_w = w;
  e->shadow_h = h;
  e->shadow_margin = m;
  return e->shadow != nullptr;
}

// The cached string for key, made when missing; null when it can't be (width_px still tells the
// layout's width when that much worked).
Entry* cache_get(const TextKey* key, int* width_px) {
  *width_px = 0;
  uint32_t hash = text_cache_hash(key->role, key->size_px, key->weight, key->tracking_px,
                                  key->bytes, key->length);
  int found = find(key, hash);
  if (found >= 0) {
    Entry* e = &g_cache.entries[found];
    e->stamp = g_text.frame;
    *width_px = e->width;
    return e;
  }
  if (text_layout(key) != 0) return nullptr;
  const TextLayout& L = g_text.layout;
  *width_px = L.width;
  int mx = key->size_px / 6 + 2, my = key->size_px / 10 + 1;
  int w = L.width + 2 * mx, h = L.ascent + L.descent + 2 * my;
  bool too_big = w > TEXT_MAX_WIDTH || h > TEXT_MAX_HEIGHT || w <= 0 || h <= 0;
  char* copy = static_cast<char*>(malloc(key->length + 1));
  if (!copy) {
    log_line("text: out of memory caching %zu bytes", key->length);
    return nullptr;
  }
  memcpy(copy, key->bytes, key->length);
  copy[key->length] = 0;
  SDL_Texture* tex = nullptr;
  if (!too_big) {
    if (!rasterise(w, h, mx, my)) {
      log_line("text: out of memory rasterising %dx%d", w, h);
      free(copy);
      return nullptr;
    }
    tex = make_texture(g_cache.coverage, w, h, false);
    if (!tex) {
      free(copy);
      return nullptr;
    }
  }
  int slot = take_slot();
  Entry* e = &g_cache.entries[slot];
  *e = Entry{};
  e->used = true;
  e->role = key->role;
  e->size_px = key->size_px;
  e->weight = key->weight;
  e->tracking_px = key->tracking_px;
  e->bytes = copy;
  e->length = key->length;
  e->hash = hash;
  e->width = L.width;
  e->ascent = L.ascent;
  e->descent = L.descent;
  e->bmp_w = w;
  e->bmp_h = h;
  e->margin_x = mx;
  e->margin_y = my;
  e->texture = tex;
  e->stamp = g_text.frame;
  int bucket = static_cast<int>(hash & (TEXT_CACHE_BUCKETS - 1));
  e->next = g_cache.buckets[bucket];
  g_cache.buckets[bucket] = slot;
  g_cache.count++;
  return e;
}

void release_all(bool destroy_textures) {
  cache_reset(destroy_textures);
  text_fonts_stop();
  text_layout_release();
  if (g_text.hb_buf) hb_buffer_destroy(g_text.hb_buf);
  g_text.hb_buf = nullptr;
  if (g_text.ft) FT_Done_FreeType(g_text.ft);
  g_text.ft = nullptr;
  free(g_cache.coverage);
  free(g_cache.pixels);
  free(g_cache.blur[0]);
  free(g_cache.blur[1]);
  g_cache.coverage = nullptr;
  g_cache.pixels = nullptr;
  g_cache.blur[0] = g_cache.blur[1] = nullptr;
  g_cache.coverage_cap = g_cache.pixels_cap = g_cache.blur_cap = 0;
  g_text.ready = false;
}

}  // namespace

uint32_t text_cache_hash(int role, int size_px, int weight, int tracking_px, const char* bytes,
                         size_t length) {
  uint32_t h = (static_cast<uint32_t>(tracking_px) + 1024u) * 0x27D4EB2Fu ^
               static_cast<uint32_t>(weight) * 0xC2B2AE3Du ^
               static_cast<uint32_t>(size_px) * 0x85EBCA77u ^
               static_cast<uint32_t>(role) * 0x9E3779B1u ^ 0x811C9DC5u;
  for (size_t i = 0; i < length; i++)
    h = (h ^ static_cast<unsigned char>(bytes[i])) * 0x01000193u;
  return h;
}

int text_init(SDL_Renderer* renderer) {
  // After a device reset with a new renderer the old textures went with the old one.
  release_all(renderer == g_text.renderer);
  g_text.renderer = renderer;
  if (!(g_text.pixel_scale > 0.0f)) g_text.pixel_scale = 1.0f;
  FT_Error err = FT_Init_FreeType(&g_text.ft);
  if (err) {
    g_text.ft = nullptr;
    log_line("text: FreeType failed to start (%d) - no text", err);
    return -1;
  }
  g_text.hb_buf = hb_buffer_create();
  if (!hb_buffer_allocation_successful(g_text.hb_buf) || text_fonts_start() != 0) {
    release_all(true);
    return -1;
  }
  g_text.ready = true;
  for (int r = 0; r < TEXT_ROLES; r++) text_font_get(r, 32, 400);
  for (const Warm& w : kWarm) {
    TextKey key;
    int width = 0;
    if (text_key_make(TextStyle{w.role, w.size, w.weight, 0.0f}, g_text.pixel_scale, w.text,
                      strlen(w.text), &key))
      cache_get(&key, &width);
  }
  return 0;
}

void text_frame() {
  g_text.frame++;
}

void text_free() {
  release_all(true);
  g_text.renderer = nullptr;
}

int text_cache_count() {
  return g_cache.count;
}

bool text_cache_has(TextStyle style, float pixel_scale, const char* text) {
  TextKey key;
  if (!text || !text_key_make(style, pixel_scale, text, strlen(text), &key)) return false;
  return find(&key, text_cache_hash(key.role, key.size_px, key.weight, key.tracking_px, key.bytes,
                                    key.length)) >= 0;
}

float text_draw(Painter* p, TextStyle style, float x, float y, int align, DrawColour colour,
                const char* text, bool shadow) {
  if (!p || !text || !g_text.ready) return 0.0f;
  float ps = draw_pixel_scale(p);
  if (!std::isfinite(ps) || ps <= 0.0f) return 0.0f;
  g_text.pixel_scale = ps;
  if (!g_text.renderer) g_text.renderer = draw_renderer(p);
  TextKey key;
  if (!text_key_make(style, ps, text, strlen(text), &key)) return 0.0f;
  int width_px = 0;
  Entry* e = cache_get(&key, &width_px);
  float width = static_cast<float>(width_px) / ps;
  if (!e || !e->texture || !std::isfinite(x) || !std::isfinite(y)) return width;
  if (std::floor(colour.a * draw_alpha(p) * 255.0f + 0.5f) <= 0.0f) return width;

  float left = align == TEXT_CENTRE ? x - width * 0.5f : align == TEXT_RIGHT ? x - width : x;
  DrawPoint o = draw_to_pixels(p, left, y);
  float ox = std::floor(o.x + 0.5f), oy = std::floor(o.y + 0.5f);
  // Back from whole pixels to points through the layer's transform.
  DrawPoint p0 = draw_to_pixels(p, 0.0f, 0.0f), p1 = draw_to_pixels(p, 1.0f, 1.0f);
  float sx = p1.x - p0.x, sy = p1.y - p0.y;
  if (std::fabs(sx) < 1e-6f || std::fabs(sy) < 1e-6f) return width;
  auto rect_at = [&](float px, float py, int w, int h) {
    return DrawRect{(px - p0.x) / sx, (py - p0.y) / sy, static_cast<float>(w) / ps,
                    static_cast<float>(h) / ps};
  };
  if (shadow && (e->shadow || make_shadow(e, &key))) {
    float drop = std::floor(4.0f * ps + 0.5f);
    int m = e->shadow_margin;
    draw_texture(p, e->shadow, nullptr,
                 rect_at(ox - static_cast<float>(e->margin_x + m),
                         oy - static_cast<float>(e->margin_y + m) + drop, e->shadow_w, e->shadow_h),
                 DrawColour{0.0f, 0.0f, 0.0f, colour.a * 0.65f});
  }
  draw_texture(p, e->texture, nullptr,
               rect_at(ox - static_cast<float>(e->margin_x), oy - static_cast<float>(e->margin_y),
                       e->bmp_w, e->bmp_h),
               colour);
  return width;
}
