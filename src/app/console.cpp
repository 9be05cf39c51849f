#include "app/console.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/theme.h"
#include "base/log.h"
#include "base/text.h"

void console_geometry(float window_h, float open, float line_h, ConsoleGeometry* g) {
  const float a = std::max(0.0f, std::min(1.0f, open));
  g->height = std::round(window_h * 2.0f / 3.0f);
  const float hidden = 1.0f - a;
  g->top = -g->height * hidden * hidden * hidden;
  g->pitch = line_h + 1.0f;
  const float room = g->height - CONSOLE_FOOT - CONSOLE_LINES_TOP;
  g->rows = room > 0 && g->pitch > 0
                ? std::min(CONSOLE_MAX_ROWS, (int32_t)std::floor(room / g->pitch))
                : 0;
}

int64_t console_first_line(int64_t count, int32_t rows) {
  return std::max<int64_t>(0, count - std::max(0, rows));
}

void console_count_text(int64_t count, char* out, size_t size) {
  snprintf(out, size, "%lld LINES - ALT+` TO CLOSE", (long long)count);
}

void console_cut(const char* text, float width, char* out, size_t size) {
  text_copy(out, size, text);
  if (text_measure(CONSOLE_LINE_STYLE, out) <= width) return;
  // The widest prefix that fits: the width grows with the prefix, so halve the range.
  size_t lo = 0, hi = strlen(out);
  while (lo < hi) {
    size_t mid = (lo + hi + 1) / 2;
    while (mid > lo && ((unsigned char)out[mid] & 0xC0) == 0x80) mid--;
    if (mid == lo) break;
    const char keep = out[mid];
    out[mid] = 0;
    const bool fits = text_measure(CONSOLE_LINE_STYLE, out) <= width;
    out[mid] = keep;
    if (fits)
      lo = mid;
    else
      hi = mid - 1;
  }
  while (lo > 0 && ((unsigned char)out[lo] & 0xC0) == 0x80) lo--;
  out[lo] = 0;
}

void console_draw(Painter* p, float window_w, float window_h, float open) {
  if (open < CONSOLE_MIN_OPEN) return;
  ConsoleGeometry g;
  console_geometry(window_h, open, text_line_height(CONSOLE_LINE_STYLE), &g);
  draw_rect(p, 0, g.top, window_w, g.height, DrawColour{0.02f, 0.03f, 0.05f, 0.94f});
  draw_rect(p, 0, g.top + g.height - 1.0f, window_w, 1.0f, THEME_EDGE);
  text_draw(p, CONSOLE_TITLE_STYLE, 12.0f, g.top + 8.0f, TEXT_LEFT, THEME_INK, "CONSOLE", false);
  const int64_t count = log_console_count();
  char text[64];
  console_count_text(count, text, sizeof text);
  text_draw(p, CONSOLE_COUNT_STYLE, window_w - 12.0f, g.top + 11.0f, TEXT_RIGHT, THEME_DIM, text,
            false);
  DrawColour ink = THEME_INK;
  ink.a = 0.92f;
  char line[CONSOLE_LINE_BYTES], cut[CONSOLE_LINE_BYTES];
  float y = g.top + CONSOLE_LINES_TOP;
  for (int64_t n = console_first_line(count, g.rows); n < count; n++, y += g.pitch) {
    if (!log_console_line(n, line, sizeof line)) continue;
    console_cut(line, window_w - 24.0f, cut, sizeof cut);
    text_draw(p, CONSOLE_LINE_STYLE, 12.0f, y, TEXT_LEFT, ink, cut, false);
  }
}

bool console_pointer(bool* open, float y, float window_h) {
  if (!*open || y >= window_h * (2.0f / 3.0f)) return false;
  *open = false;
  return true;
}
