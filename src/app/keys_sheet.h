// The KEYS sheet: every key on one scrolling page in seven groups drawn as cards, each row its
// key caps, the icon of the control it works and a label. The RIG group's rows after the first
// come from the rig panel's own key list, turned into caps at first use. Layout and hit-testing
// are pure; the scroll is smoothed towards the wanted offset. UI thread only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "control/actions.h"
#include "ui/draw.h"
#include "ui/text.h"

struct Painter;

constexpr int32_t KEYS_GROUPS = 7;
constexpr int32_t KEYS_MAX_ROWS = 12;
constexpr int32_t KEYS_CAPS_BYTES = 64;  // a row's caps, tab-separated, terminator included
constexpr int32_t KEYS_MAX_CAPS = 8;
constexpr int32_t KEYS_RIG_ROWS = 11;  // taken from the rig's key list at most
constexpr int32_t KEYS_ICON_RIG = 26;  // icons from here on are the rig's
constexpr float KEYS_ROW_H = 23.0f;
constexpr float KEYS_CAP_H = 19.0f;
constexpr float KEYS_HEADER_H = 52.0f;
constexpr float KEYS_FOOT_PAD = 10.0f;
constexpr float KEYS_WHEEL_STEP = 48.0f;
constexpr float KEYS_KEY_STEP = 40.0f;
constexpr int32_t KEYS_STEPS = 12;  // the reveal's dither steps

constexpr TextStyle KEYS_CAP_STYLE = {TEXT_MONO, 10.0f, 600, 0.0f};
constexpr TextStyle KEYS_LABEL_STYLE = {TEXT_HEAD, 11.0f, 400, 0.0f};
constexpr TextStyle KEYS_GROUP_STYLE = {TEXT_MONO, 11.0f, 700, 2.0f};

struct KeysRow {
  char caps[KEYS_CAPS_BYTES];  // caps joined by tabs
  int32_t icon;                // the on-screen control the row stands for
  const char* label;
};
struct KeysGroup {
  const char* title;
  int32_t count;
  KeysRow rows[KEYS_MAX_ROWS];
};

// A rig key as the rig panel lists it: key words joined by tabs ("SHIFT\t1\t..\t4").
struct KeysRigKey {
  const char* keys;
  const char* label;
  int32_t mask;
};
extern const KeysRigKey KEYS_RIG_KEYS[];
extern const int32_t KEYS_RIG_KEY_COUNT;

// One key word as a cap ("SHIFT" -> "⇧", ".." -> "…"; others stay as they are).
const char* keys_cap_word(const char* word);
// Rows from a rig key list: each word turned into a cap, caps joined into at most 63 bytes (a cap
// that would cross it is left off), at most max rows (and KEYS_RIG_ROWS). Returns the rows made.
int32_t keys_rig_rows(const KeysRigKey* keys, int32_t count, KeysRow* out, int32_t max);
// The groups (the RIG rows are built on the first call).
const KeysGroup* keys_group(int32_t i);
// Splits a row's caps at its tabs; returns how many (at most max).
int32_t keys_split_caps(const char* caps, char (*out)[KEYS_CAPS_BYTES], int32_t max);

// Cards in content coordinates (0, 0 = the scrolled part's top left).
struct KeysLayout {
  bool valid;
  float width, scale;
  int32_t columns;
  DrawRect cards[KEYS_GROUPS];
  float content_h;
};
// Where a row's parts are inside its card (card at 0, 0).
struct KeysRowGeometry {
  int32_t caps;
  DrawRect cap[KEYS_MAX_CAPS];
  DrawRect icon;
  float label_x, label_w;  // the room the label has
};

struct KeysSheet {
  KeysLayout layout;
  float scroll;        // wanted
  float shown_scroll;  // drawn, easing towards scroll
  float view_h;
  int32_t hover;  // KEYS_HIT_*
  bool pressing;
  int32_t pressed;
  double opened_at;
};
enum : int32_t { KEYS_HIT_NONE = -1, KEYS_HIT_CLOSE = 100 };

void keys_sheet_init(KeysSheet* k);
// Opening resets the scroll and starts the reveal.
void keys_sheet_open(KeysSheet* k, double now);
DrawRect keys_sheet_view(DrawRect panel);
DrawRect keys_sheet_close_rect(DrawRect panel);
// Lays the cards out for the panel's width (cached) and clamps the scroll.
const KeysLayout* keys_sheet_layout(KeysSheet* k, DrawRect panel, float scale);
void keys_row_geometry(const KeysLayout* l, int32_t group, int32_t row, KeysRowGeometry* g);
float keys_sheet_max_scroll(const KeysSheet* k);
int32_t keys_sheet_hit(const KeysSheet* k, DrawRect panel, float x, float y);
bool keys_sheet_key(KeysSheet* k, int32_t sdl_keycode);
void keys_sheet_wheel(KeysSheet* k, float dy);
// Each frame: the shown offset approaches the wanted one.
void keys_sheet_tick(KeysSheet* k, double dt);
bool keys_sheet_pointer(KeysSheet* k, DrawRect panel, int32_t kind, float x, float y,
                        ActionList* out);
// Reveal steps shown (0..12) for a group's card (row -1) or one of its rows.
int32_t keys_reveal_step(double opened_at, double now, int32_t group, int32_t row,
                         bool reduced_motion);
void keys_sheet_draw(KeysSheet* k, Painter* p, DrawRect panel, float scale, float eased,
                     DrawColour accent, double now, bool reduced_motion);
// A control's icon centred at (cx, cy) about 16 points across.
void keys_icon_draw(Painter* p, int32_t icon, float cx, float cy, DrawColour c);
