// Text: strings rasterised by FreeType (runs shaped by HarfBuzz, families and glyph presence from
// fontconfig) into white textures whose alpha is the coverage, cached per whole string and drawn
// tinted through the draw layer. Four roles cover the interface: mono, head, CJK and symbol; a
// character the role's face lacks falls back to CJK, symbol, then mono, and becomes "?" when none
// has it. UI thread only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ui/draw.h"

struct SDL_Renderer;

enum TextRole { TEXT_MONO = 0, TEXT_HEAD = 1, TEXT_CJK = 2, TEXT_SYMBOL = 3, TEXT_ROLES = 4 };
enum TextAlign { TEXT_LEFT = 0, TEXT_CENTRE = 1, TEXT_RIGHT = 2 };

struct TextStyle {
  int role;        // TextRole; any other value is mono
  float size;      // points
  int weight;      // 100..900; below 100 means 400
  float tracking;  // extra space after every character, points
};

constexpr int TEXT_CACHE_ENTRIES = 512;
constexpr int TEXT_CACHE_BUCKETS = 1024;
constexpr int TEXT_MAX_WIDTH = 16384;  // pixels; wider or taller strings are not drawn
constexpr int TEXT_MAX_HEIGHT = 4096;

// (Re)starts text for a renderer: releases everything made before, chooses the families, makes
// the base fonts and warms the string cache. Called again after a graphics-device reset; when the
// renderer changed, the old textures are taken to have gone with the old renderer. 0, or -1 when
// there is no rasteriser (every text call then draws nothing).
int text_init(SDL_Renderer* renderer);
// Advances the frame counter that stamps the string cache.
void text_frame();
// Draws text with its left edge (TEXT_LEFT), centre or right edge at x and its top at y, snapped
// to whole pixels; with shadow a soft black copy goes underneath first. Width in points.
float text_draw(Painter* p, TextStyle style, float x, float y, int align, DrawColour colour,
                const char* text, bool shadow);
// Width in points at the pixel scale of the last text_draw (or text_set_pixel_scale).
float text_measure(TextStyle style, const char* text);
// Line height (ascent + descent of the role's font) in points at the same scale.
float text_line_height(TextStyle style);
// The scale text_measure and text_wrap use until the next text_draw.
void text_set_pixel_scale(float pixel_scale);
// Breaks text into lines no wider than width points: a line feed always breaks, otherwise the
// line ends at the last space before the first word that would cross the width (a longer word
// stands alone); spaces at a break are skipped. Writes the byte offset where each line starts;
// returns the lines written (at most capacity).
int text_wrap(TextStyle style, const char* text, float width, int* line_starts, int capacity);
// Releases every texture and font; call before the renderer is destroyed.
void text_free();

// --- Inspection (tests, the console) ---------------------------------------------------------
// The family chosen for a role, and its semibold partner ("" when none).
const char* text_family(int role);
const char* text_partner(int role);

struct TextRunInfo {
  int role;         // the role whose face draws the run
  int first, count;  // characters (after the zero-width ones were dropped)
  int x, width;     // pixels
  char face[96];    // "family style" of the face used
};
struct TextLayoutInfo {
  int width, ascent, descent;  // pixels
  int chars;
  int runs;
};
// Lays text out as text_draw would at pixel_scale; fills up to capacity runs. 0, or -1 when the
// string can't be laid out (no fonts, no memory).
int text_layout_query(TextStyle style, float pixel_scale, const char* text, TextLayoutInfo* info,
                      TextRunInfo* runs, int capacity);

// The string cache's hash of a key (pixel size, weight and tracking already in pixels).
uint32_t text_cache_hash(int role, int size_px, int weight, int tracking_px, const char* bytes,
                         size_t length);
int text_cache_count();
// Whether the string is cached for this style at pixel_scale (does not stamp it).
bool text_cache_has(TextStyle style, float pixel_scale, const char* text);
