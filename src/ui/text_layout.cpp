// Laying a string out: decode, drop what has no width, pick a role per character, shape runs of
// one role, and measure; and the measuring, wrapping and inspection built on it.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/text.h"
#include "ui/text_internal.h"

namespace {

bool zero_width(uint32_t c) {
  return c <= 0x1F || (c >= 0x7F && c <= 0x9F) || (c >= 0x200B && c <= 0x200F) ||
         (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFEFF;
}

int range_role(uint32_t c, int requested) {
  if ((c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF) ||
      (c >= 0xFF00 && c <= 0xFFEF))
    return TEXT_CJK;
  if (c >= 0x2190 && c <= 0x2BFF) return TEXT_SYMBOL;
  return requested;
}

uint32_t decode(const unsigned char* s, int n) {
  if (n == 1) return s[0];
  if (n == 2) return ((s[0] & 0x1Fu) << 6) | (s[1] & 0x3Fu);
  if (n == 3) return ((s[0] & 0x0Fu) << 12) | ((s[1] & 0x3Fu) << 6) | (s[2] & 0x3Fu);
  return ((s[0] & 0x07u) << 18) | ((s[1] & 0x3Fu) << 12) | ((s[2] & 0x3Fu) << 6) | (s[3] & 0x3Fu);
}

template <typename T>
bool grow(T** items, int* cap, int need) {
  if (need <= *cap) return true;
  int n = *cap ? *cap : 64;
  while (n < need) n *= 2;
  T* p = static_cast<T*>(realloc(*items, sizeof(T) * static_cast<size_t>(n)));
  if (!p) return false;
  *items = p;
  *cap = n;
  return true;
}

// Width in pixels of length bytes of text.
int measure_px(TextStyle style, float ps, const char* text, size_t length) {
  TextKey key;
  if (!text_key_make(style, ps, text, length, &key) || text_layout(&key) != 0) return 0;
  return g_text.layout.width;
}

bool is_break_space(char c) {
  return c == ' ';
}

}  // namespace

int text_role_of(int role) {
  return role >= 0 && role < TEXT_ROLES ? role : TEXT_MONO;
}

int text_weight_of(int weight) {
  if (weight < 100) return 400;
  return weight > 900 ? 900 : weight;
}

bool text_key_make(TextStyle style, float pixel_scale, const char* text, size_t length,
                   TextKey* key) {
  float px = style.size * pixel_scale + 0.5f;
  if (!std::isfinite(px) || !std::isfinite(style.tracking * pixel_scale)) return false;
  key->role = text_role_of(style.role);
  key->size_px = px >= 400.0f ? 400 : px < 1.0f ? 1 : static_cast<int>(px);
  key->weight = text_weight_of(style.weight);
  float t = style.tracking * pixel_scale;
  if (t > 4096.0f) t = 4096.0f;
  if (t < -4096.0f) t = -4096.0f;
  key->tracking_px = static_cast<int>(std::round(t));  // half away from zero
  key->bytes = text ? text : "";
  key->length = text ? length : 0;
  return true;
}

bool text_shape_run(const TextRun* r) {
  hb_buffer_t* buf = g_text.hb_buf;
  hb_buffer_clear_contents(buf);
  hb_buffer_pre_allocate(buf, static_cast<unsigned>(r->count));
  hb_buffer_set_content_type(buf, HB_BUFFER_CONTENT_TYPE_UNICODE);
  for (int i = 0; i < r->count; i++)
    hb_buffer_add(buf, g_text.layout.chars[r->first + i].cp, static_cast<unsigned>(i));
  hb_buffer_guess_segment_properties(buf);
  // Labels are laid out left to right, one run after another.
  hb_buffer_set_direction(buf, HB_DIRECTION_LTR);
  hb_shape(r->font->hb, buf, nullptr, 0);
  return hb_buffer_allocation_successful(buf) &&
         hb_buffer_get_length(buf) > 0;
}

int text_layout(const TextKey* key) {
  TextLayout& L = g_text.layout;
  L.nchars = L.nruns = 0;
  L.width = L.ascent = L.descent = 0;
  L.tracking = key->tracking_px;
  if (!g_text.ready) return -1;
  TextFont* base = text_font_get(key->role, key->size_px, key->weight);
  if (!base) return -1;
  L.ascent = base->ascent;
  L.descent = base->descent;
  if (!grow(&L.chars, &L.char_cap, static_cast<int>(key->length) + 1)) {
    log_line("text: out of memory laying out %zu bytes", key->length);
    return -1;
  }
  // 1-3: decode, drop the zero-width characters, pick roles.
  const char* s = key->bytes;
  size_t i = 0;
  while (i < key->length) {
    int n = text_utf8_sequence(s + i, key->length - i);
    uint32_t c = 0xFFFD;
    if (n > 0) {
      c = decode(reinterpret_cast<const unsigned char*>(s + i), n);
      i += static_cast<size_t>(n);
    } else {
      i++;
    }
    if (zero_width(c)) continue;
    int role = key->role;
    if (c != ' ') {
      role = range_role(c, key->role);
      if (!text_has_glyph(role, c)) {
        const int order[3] = {TEXT_CJK, TEXT_SYMBOL, TEXT_MONO};
        int found = -1;
        for (int o : order) {
          if (o != role && text_has_glyph(o, c)) {
            found = o;
            break;
          }
        }
        if (found < 0) {
          c = '?';
          found = TEXT_MONO;
        }
        role = found;
      }
    }
    L.chars[L.nchars++] = TextChar{c, role};
  }
  // 4: runs of one role, shaped and measured, placed one after another.
  if (!grow(&L.runs, &L.run_cap, L.nchars + 1)) {
    log_line("text: out of memory laying out %d characters", L.nchars);
    return -1;
  }
  int x = 0;
  for (int a = 0; a < L.nchars;) {
    int b = a + 1;
    while (b < L.nchars && L.chars[b].role == L.chars[a].role) b++;
    TextRun& r = L.runs[L.nruns];
    r.role = L.chars[a].role;
    r.font = r.role == key->role ? base : text_font_get(r.role, key->size_px, key->weight);
    if (!r.font) return -1;
    r.first = a;
    r.count = b - a;
    r.x = x;
    if (text_shape_run(&r)) {
      unsigned n = 0;
      hb_glyph_position_t* pos = hb_buffer_get_glyph_positions(g_text.hb_buf, &n);
      int64_t adv = 0;
      for (unsigned k = 0; k < n; k++) adv += pos[k].x_advance;
      r.width = static_cast<int>((adv + 32) >> 6) + key->tracking_px * r.count;
    } else {
      r.width = (key->size_px / 2) * r.count;
    }
    // 5: the line is as tall as its tallest font.
    if (r.font->ascent > L.ascent) L.ascent = r.font->ascent;
    if (r.font->descent > L.descent) L.descent = r.font->descent;
    x += r.width;
    L.nruns++;
    a = b;
  }
  L.width = x;
  return 0;
}

void text_layout_release() {
  free(g_text.layout.chars);
  free(g_text.layout.runs);
  memset(&g_text.layout, 0, sizeof g_text.layout);
}

float text_measure(TextStyle style, const char* text) {
  if (!text) return 0.0f;
  float ps = g_text.pixel_scale;
  return static_cast<float>(measure_px(style, ps, text, strlen(text))) / ps;
}

float text_line_height(TextStyle style) {
  TextKey key;
  float ps = g_text.pixel_scale;
  if (!text_key_make(style, ps, "", 0, &key) || text_layout(&key) != 0) return 0.0f;
  return static_cast<float>(g_text.layout.ascent + g_text.layout.descent) / ps;
}

void text_set_pixel_scale(float pixel_scale) {
  if (std::isfinite(pixel_scale) && pixel_scale > 0.0f) g_text.pixel_scale = pixel_scale;
}

int text_wrap(TextStyle style, const char* text, float width, int* line_starts, int capacity) {
  if (!text || !line_starts || capacity <= 0 || !*text) return 0;
  float ps = g_text.pixel_scale;
  float limit = width * ps;
  int len = static_cast<int>(strlen(text));
  int lines = 0;
  int start = 0;
  while (lines < capacity) {
    line_starts[lines++] = start;
    // Grow the line a word at a time; `fit` is the end of the last word that fit.
    int fit = -1;
    int end = start;
    int next = len;
    while (true) {
      int e = end;
      while (e < len && is_break_space(text[e])) e++;
      while (e < len && !is_break_space(text[e]) && text[e] != '\n') e++;
      // A hair of slack so a width measured from the same words keeps them on one line.
      bool over =
          measure_px(style, ps, text + start, static_cast<size_t>(e - start)) > limit + 0.01f;
      if (over && fit >= 0) {
        end = fit;
        break;
      }
      end = e;  // fits, or the first word, which stands alone however long
      if (over || e >= len || text[e] == '\n') break;
      fit = e;
    }
    next = end;
    while (next < len && is_break_space(text[next])) next++;
    if (next < len && text[next] == '\n') {
      next++;
    } else if (next >= len) {
      break;
    }
    start = next;
    if (start >= len && text[len - 1] != '\n') break;
  }
  return lines;
}

int text_layout_query(TextStyle style, float pixel_scale, const char* text, TextLayoutInfo* info,
                      TextRunInfo* runs, int capacity) {
  TextKey key;
  if (!text_key_make(style, pixel_scale, text, text ? strlen(text) : 0, &key) ||
      text_layout(&key) != 0)
    return -1;
  const TextLayout& L = g_text.layout;
  if (info) *info = TextLayoutInfo{L.width, L.ascent, L.descent, L.nchars, L.nruns};
  for (int i = 0; runs && i < L.nruns && i < capacity; i++) {
    const TextRun& r = L.runs[i];
    runs[i].role = r.role;
    runs[i].first = r.first;
    runs[i].count = r.count;
    runs[i].x = r.x;
    runs[i].width = r.width;
    text_copy(runs[i].face, sizeof runs[i].face, r.font->name);
  }
  return 0;
}
