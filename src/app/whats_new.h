// What's new: six version entries, newest first, shown on a card (the WHAT'S NEW panel) that
// leafs through them. After an update the card opens by itself once, shortly after launch, and
// closing it stamps the running version as seen in kelp.ini. UI thread only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "control/actions.h"
#include "ui/draw.h"

struct Painter;

constexpr int32_t WHATSNEW_ENTRIES = 6;
constexpr int32_t WHATSNEW_ITEMS_MAX = 24;
constexpr int32_t WHATSNEW_LINES_MAX = 16;
constexpr double WHATSNEW_AUTO_DELAY = 0.6;  // after the first frame
// The product's web page: every entry's link, what SHARE copies.
extern const char* const WHATSNEW_LINK;

enum WhatsNewKind : int32_t { WHATSNEW_NEW = 0, WHATSNEW_BETTER = 1, WHATSNEW_FIXED = 2 };

struct WhatsNewItem {
  int32_t kind;
  const char* text;
};
struct WhatsNewEntry {
  const char* version;
  const char* date;
  const char* title;
  const WhatsNewItem* items;
  int32_t item_count;
  const char* link;
  const char* link_label;  // null: "WATCH →"
};

// Entry 0 is the newest; null outside 0..5.
const WhatsNewEntry* whatsnew_entry(int32_t index);
const char* whatsnew_kind_tag(int32_t kind);

// -1, 0 or 1 as a is below, equal to or above b, read part by part at the dots.
int32_t version_compare(const char* a, const char* b);
// The newest entry whose version is at most this one, or -1.
int32_t whatsnew_find(const char* version);

// ---- the card ----
enum : int32_t {
  WHATSNEW_HIT_NONE = -1,
  WHATSNEW_HIT_LINK = 0,
  WHATSNEW_HIT_SHARE = 1,
  WHATSNEW_HIT_GOT_IT = 2,
  WHATSNEW_HIT_OLDER = 3,  // the left arrow
  WHATSNEW_HIT_NEWER = 4,  // the right arrow
  WHATSNEW_BUTTONS = 5,
};

struct WhatsNewLine {
  int32_t start, length;  // bytes of the text
};

// Where everything is, relative to the card's top left; the body's y is before scrolling.
struct WhatsNewLayout {
  int32_t entry;
  float width, scale;
  bool valid;
  float text_w;
  float headline_y;        // the product name and version, below the arrows
  float body_top, body_h;  // the scrolled area
  int32_t title_lines;
  WhatsNewLine title[WHATSNEW_LINES_MAX];
  float item_y[WHATSNEW_ITEMS_MAX];
  int32_t item_lines[WHATSNEW_ITEMS_MAX];
  WhatsNewLine lines[WHATSNEW_ITEMS_MAX][WHATSNEW_LINES_MAX];
  bool cut;       // some text needed more lines than a block holds
  float links_y;  // the link row, -1 without a link
  float content_h;
};

struct WhatsNewCard {
  int32_t entry;  // -1 none
  bool by_user;   // opened by the user: closing stamps nothing
  int32_t hover, pressed;
  float scroll;
  double copied_until;
  WhatsNewLayout layout;
};

// The application's part: the pending auto-open and when the first frame was drawn.
struct WhatsNew {
  WhatsNewCard card;
  int32_t pending;     // entry, -1 none
  double first_frame;  // -1 until the first frame was drawn
};

void whatsnew_init(WhatsNew* w);
// At start, with kelp.ini's seen stamp (rewritten in place) and the running version: stamps a
// first run, or leaves an older stamp's entry pending. True when seen changed (save it).
bool whatsnew_start(WhatsNew* w, char* seen, size_t seen_size, const char* version);
// Each frame: true when the card should open now (the caller opens the WHAT'S NEW panel). The
// card was turned to the pending entry, as not opened by the user.
bool whatsnew_auto_open(WhatsNew* w, double now, bool panel_open, bool name_editing);
// The panel closed or was replaced: an auto-opened card that shows an entry stamps the version.
// True when seen changed (save it).
bool whatsnew_closed(WhatsNew* w, char* seen, size_t seen_size, const char* version);

// Shows an entry (outside 0..5: none), scrolled to the top.
void whatsnew_turn(WhatsNewCard* c, int32_t entry, bool by_user);
// The "what's new" action: the entry of the running version, unless the panel is already open.
void whatsnew_open_by_user(WhatsNewCard* c, const char* version, bool panel_open);
// The "what's new page" action: v > 0 an older entry, v < 0 a newer one. False when nothing moved.
bool whatsnew_page(WhatsNewCard* c, int32_t v, bool panel_open);
// A key while the panel is open: left and right append "what's new page". True when used.
bool whatsnew_key(int32_t sdl_keycode, ActionList* out);

// Builds the layout for a card this wide (cached on entry, width and scale).
const WhatsNewLayout* whatsnew_layout(WhatsNewCard* c, float width, float scale);
// A button's rectangle in the card at rect; empty when the button is not there.
DrawRect whatsnew_button(WhatsNewCard* c, DrawRect rect, float scale, int32_t button);
// kind 1 press, 2 move, 3 release (SDL's button numbers). True when the card took the event.
bool whatsnew_pointer(WhatsNewCard* c, DrawRect rect, float scale, int32_t kind, int32_t button,
                      float x, float y, double now, ActionList* out);
// dy > 0 (away from the user) shows earlier text; 48 points a notch.
void whatsnew_wheel(WhatsNewCard* c, DrawRect rect, float scale, float dy);
void whatsnew_draw(WhatsNewCard* c, Painter* p, DrawRect rect, float scale, float eased,
                   DrawColour accent, double now);
