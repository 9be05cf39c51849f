// The console overlay: a sheet that drops from the top of the window with the latest log lines
// (the log's ring), newest at the bottom. Toggled by the "console" action (Alt+`). UI thread only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ui/draw.h"
#include "ui/text.h"

struct Painter;

constexpr int32_t CONSOLE_MAX_ROWS = 256;
constexpr int32_t CONSOLE_LINE_BYTES = 168;
constexpr float CONSOLE_LINES_TOP = 30.0f;  // below the sheet's top
constexpr float CONSOLE_FOOT = 8.0f;
constexpr float CONSOLE_MIN_OPEN = 0.005f;  // nothing is drawn below this
constexpr TextStyle CONSOLE_TITLE_STYLE = {TEXT_MONO, 12.0f, 700, 2.0f};
constexpr TextStyle CONSOLE_COUNT_STYLE = {TEXT_MONO, 9.0f, 400, 0.0f};
constexpr TextStyle CONSOLE_LINE_STYLE = {TEXT_MONO, 10.0f, 400, 0.0f};

struct ConsoleGeometry {
  float height;  // the sheet's, two thirds of the window's
  float top;     // where it stands at this open fraction (negative while sliding)
  float pitch;   // from one line to the next
  int32_t rows;  // lines that fit
};
// line_h: the line style's height. open: 0 (hidden) .. 1 (down).
void console_geometry(float window_h, float open, float line_h, ConsoleGeometry* g);
// The first line number shown when count lines were logged and rows fit: the newest rows.
int64_t console_first_line(int64_t count, int32_t rows);
// "%lld LINES - ALT+` TO CLOSE".
void console_count_text(int64_t count, char* out, size_t size);
// text cut at a character boundary to the longest prefix no wider than width points.
void console_cut(const char* text, float width, char* out, size_t size);
void console_draw(Painter* p, float window_w, float window_h, float open);
// A press while the console is open: in the top two thirds of the window it closes the console
// and is consumed (true).
bool console_pointer(bool* open, float y, float window_h);
