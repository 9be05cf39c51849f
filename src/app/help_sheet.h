// The HELP sheet: a scrolling document of short sections, one per control or idea, ending in four
// links (KEYS, TRAINING, WHAT'S NEW, DISCORD). Layout and hit-testing are pure and cached per
// width, scale and the texts that change; drawing goes through the draw layer. UI thread only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "control/actions.h"
#include "ui/draw.h"
#include "ui/text.h"

struct Painter;

constexpr int32_t HELP_SECTIONS = 22;
constexpr int32_t HELP_LINKS = 4;
constexpr int32_t HELP_MAX_LINES = 32;  // wrapped lines kept per text
constexpr int32_t HELP_LINK_TEXT = 256;
constexpr float HELP_HEADER_H = 52.0f;  // the title and close button above the scrolled part
constexpr float HELP_FOOT_PAD = 10.0f;  // below the scrolled part
constexpr float HELP_WHEEL_STEP = 48.0f;
constexpr float HELP_KEY_STEP = 40.0f;
constexpr float HELP_GLYPH_X = 38.0f;  // a glyph's centre, from the panel's left
constexpr float HELP_TEXT_X = 64.0f;   // a section's title and text

constexpr TextStyle HELP_TEXT_STYLE = {TEXT_MONO, 12.0f, 400, 0.0f};
constexpr TextStyle HELP_GLYPH_STYLE = {TEXT_HEAD, 20.0f, 400, 0.0f};
constexpr TextStyle HELP_TITLE_STYLE = {TEXT_HEAD, 14.0f, 700, 1.5f};

struct HelpSection {
  const char* glyph;
  const char* title;
  const char* text;
};
struct HelpLink {
  const char* glyph;
  const char* title;
  int32_t action;  // ActionKind appended on a click
};

const char* help_tagline();
const HelpSection* help_section(int32_t i);  // null outside 0..21
const HelpLink* help_link(int32_t i);        // null outside 0..3
extern const char* const HELP_COMMUNITY_LINK;
// A link's text with the training count and the WHAT'S NEW version filled in (version null or
// empty: "this version").
void help_link_text(int32_t i, int32_t done, int32_t total, const char* version, char* out,
                    size_t size);

// Where each text's lines start and where each block sits, in content coordinates (0 = the top
// of the scrolled part).
struct HelpLayout {
  bool valid;
  float width, scale;
  int32_t done, total;
  char version[32];
  float text_lh, title_lh, glyph_lh;
  int32_t tagline_lines;
  int32_t tagline_starts[HELP_MAX_LINES];
  float section_y[HELP_SECTIONS], section_h[HELP_SECTIONS];
  int32_t section_lines[HELP_SECTIONS];
  int32_t section_starts[HELP_SECTIONS][HELP_MAX_LINES];
  float link_y[HELP_LINKS], link_h[HELP_LINKS];
  int32_t link_lines[HELP_LINKS];
  int32_t link_starts[HELP_LINKS][HELP_MAX_LINES];
  char link_text[HELP_LINKS][HELP_LINK_TEXT];
  float content_h;
};

// The width a text block wraps at for a panel of content width x.
float help_tagline_wrap(float x);
float help_section_wrap(float x);
float help_link_wrap(int32_t link, float x);

enum : int32_t { HELP_HIT_NONE = -1, HELP_HIT_CLOSE = 100 };  // 0..3: a link

struct HelpSheet {
  HelpLayout layout;
  float scroll;
  float view_h;  // the scrolled part's height at the last layout
  int32_t hover;
  bool pressing;
  int32_t pressed;
  // What the links show; the window sets them before a layout.
  int32_t training_done, training_total;
  char whats_new_version[32];
};

void help_sheet_init(HelpSheet* h);
// Opening puts the sheet back at its top.
void help_sheet_open(HelpSheet* h);
// Lays the sheet out for panel (cached) and clamps the scroll.
const HelpLayout* help_sheet_layout(HelpSheet* h, DrawRect panel, float scale);
float help_sheet_max_scroll(const HelpSheet* h);
// The scrolled part of the panel.
DrawRect help_sheet_view(DrawRect panel);
DrawRect help_sheet_close_rect(DrawRect panel);
// A link's rectangle on screen (scroll applied).
DrawRect help_sheet_link_rect(const HelpSheet* h, DrawRect panel, int32_t link);
// HELP_HIT_* or a link under (x, y); a link only counts inside the scrolled part.
int32_t help_sheet_hit(const HelpSheet* h, DrawRect panel, float x, float y);
// Home, End, Page Up/Down, Up/Down (SDL keycodes): true when used.
bool help_sheet_key(HelpSheet* h, int32_t sdl_keycode);
// The wheel: dy > 0 (away from the user) shows earlier text.
void help_sheet_wheel(HelpSheet* h, float dy);
// kind 1 press, 2 move, 3 release. A link or the close button acts when the press and the
// release are over the same item. True when the sheet took the event.
bool help_sheet_pointer(HelpSheet* h, DrawRect panel, int32_t kind, float x, float y,
                        ActionList* out);
void help_sheet_draw(HelpSheet* h, Painter* p, DrawRect panel, float scale, float eased,
                     DrawColour accent);
