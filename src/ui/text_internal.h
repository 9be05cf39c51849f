// Shared by text_fonts.cpp, text_layout.cpp and text_cache.cpp; nothing outside text uses it.
#pragma once
#include <cstddef>
#include <cstdint>

#include <ft2build.h>
#include FT_FREETYPE_H
#include <hb.h>

#include "ui/text.h"

struct SDL_Renderer;

constexpr int TEXT_FONT_CACHE = 32;
constexpr int TEXT_FAMILY_BYTES = 96;

struct TextFont {
  bool used;
  int role, size_px, weight;
  FT_Face face;
  hb_font_t* hb;
  int ascent, descent;  // pixels
  uint64_t last_use;
  char name[TEXT_FAMILY_BYTES];  // "family style"
};

// One character after decoding, with the role chosen for it.
struct TextChar {
  uint32_t cp;
  int role;
};

struct TextRun {
  int role;
  TextFont* font;
  int first, count;  // into TextLayout.chars
  int x, width;      // pixels
};

struct TextLayout {
  TextChar* chars;
  int nchars, char_cap;
  TextRun* runs;
  int nruns, run_cap;
  int width, ascent, descent;
  int tracking;  // pixels per character
};

struct TextKey {
  int role, size_px, weight, tracking_px;
  const char* bytes;
  size_t length;
};

struct TextState {
  bool ready;  // a rasteriser exists
  SDL_Renderer* renderer;
  FT_Library ft;
  hb_buffer_t* hb_buf;
  float pixel_scale;
  uint64_t frame;
  uint64_t font_clock;
  // Families per role: the regular face's file and the semibold partner's (empty when none).
  char family[TEXT_ROLES][TEXT_FAMILY_BYTES];
  char partner[TEXT_ROLES][TEXT_FAMILY_BYTES];
  char partner_file[TEXT_ROLES][512];
  int partner_index[TEXT_ROLES];
  void* charset[TEXT_ROLES];  // FcCharSet* of the role's regular face (owned)
  // Glyph presence per BMP code point: 0 not asked yet, 1 present, 2 missing.
  uint8_t* presence[TEXT_ROLES];
  TextFont fonts[TEXT_FONT_CACHE];
  TextLayout layout;  // scratch for the string being laid out
};

extern TextState g_text;

// text_fonts.cpp
int text_fonts_start();  // families, charsets, presence tables; 0 or -1
void text_fonts_stop();
// The cached font for (role, pixel size, weight), made when missing; null on failure (logged).
TextFont* text_font_get(int role, int size_px, int weight);
bool text_has_glyph(int role, uint32_t cp);

// text_layout.cpp
int text_role_of(int role);
int text_weight_of(int weight);
// Key from a style at a pixel scale; false when the size is not a finite positive number.
bool text_key_make(TextStyle style, float pixel_scale, const char* text, size_t length,
                   TextKey* key);
// Lays out key's string into g_text.layout; 0, or -1 (logged) when a font or memory is missing.
int text_layout(const TextKey* key);
void text_layout_release();
// Shapes run r of the current layout into g_text.hb_buf; false when shaping failed.
bool text_shape_run(const TextRun* r);
