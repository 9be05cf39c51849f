// The library list: the cards of the library tab (page 0) and the import page (page 1). Keys,
// clicks, double-clicks, a row menu, a rename field and a sideways swipe that opens a card to its
// bin; everything the list starts is an action appended to the caller's list, carrying the
// sketch's id. The geometry is pure functions shared by drawing and the pointer, so the pointer
// can be driven without a window. Rows are remembered by index and id; library_list_track keeps
// them on the same sketches after the library changed. UI thread only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "control/actions.h"
#include "control/name_edit.h"
#include "ui/draw.h"

struct Library;
struct LibraryCard;
struct Painter;

constexpr float LIBLIST_PITCH = 96.0f;       // row pitch
constexpr float LIBLIST_CARD_H = 82.0f;      // card height
constexpr float LIBLIST_END_PAD = 16.0f;     // room under the last card
constexpr float LIBLIST_MARGIN = 12.0f;      // card inset from the list's sides
constexpr float LIBLIST_OPEN_SLIDE = -112.0f;  // an open card's face, moved left to show the bin
constexpr float LIBLIST_SNAP = -56.0f;       // a swipe released past this opens the card
constexpr float LIBLIST_SWIPE_SLOP = 25.0f;  // travel before a drag counts as a swipe
constexpr float LIBLIST_WHEEL_STEP = 48.0f;  // pixels a wheel notch scrolls
constexpr double LIBLIST_CLOSE_GUARD = 0.6;  // no double-click this soon after a click closed a card
constexpr int32_t LIBLIST_ID_BYTES = 37;
constexpr int32_t LIBLIST_MENU_ITEMS = 4;
constexpr float LIBLIST_MENU_W = 208.0f;
constexpr float LIBLIST_MENU_ITEM_H = 32.0f;
constexpr float LIBLIST_MENU_PAD = 6.0f;

// The parts of a card a click can land on.
enum LibListPart : int32_t {
  LIBPART_NONE = 0,
  LIBPART_BODY = 1,   // the card, none of the parts below
  LIBPART_PLAY = 2,   // the play glyph at the left: preview
  LIBPART_NAME = 3,   // the title: rename
  LIBPART_OPEN = 4,   // the arrow at the right: open the sketch
  LIBPART_HOVER_BIN = 5,  // the bin a hovered closed card shows: open the card
  LIBPART_BIN = 6,    // the bin an open card shows: delete (ask)
  LIBPART_IMPORT = 7,  // the import page's button
};

enum LibListMenuItem : int32_t {
  LIBMENU_RENAME = 0,
  LIBMENU_EXPORT = 1,
  LIBMENU_SHOW = 2,
  LIBMENU_DELETE = 3,
};

struct LibraryList {
  float scroll;  // pixels, >= 0
  float visible_h;  // the last view height handed in (reveal on rename from the pointer)

  int32_t selected;  // -1 none
  char selected_id[LIBLIST_ID_BYTES];

  // The open card (logical) and the card whose face is slid (it eases closed after a close).
  int32_t open_row;
  char open_id[LIBLIST_ID_BYTES];
  int32_t slide_row;
  char slide_id[LIBLIST_ID_BYTES];
  float slide, slide_target;
  bool swiping;
  bool swipe_candidate;
  float swipe_base;

  bool menu_open;
  int32_t menu_row;
  char menu_id[LIBLIST_ID_BYTES];
  bool menu_at_card;          // keyboard: anchored at the card's right part
  float menu_x, menu_y;       // pointer anchor, relative to the list's rectangle
  int32_t menu_item;          // highlighted, -1 none
  int32_t menu_pressed;       // item under the press, -1 none

  int32_t rename_row;  // -1 none
  char rename_id[LIBLIST_ID_BYTES];
  NameEditor editor;
  bool paste_wanted;  // Ctrl+V in the rename field: the caller inserts the clipboard
  DrawRect caret;     // where the rename caret was last drawn (the input method's spot), points

  int32_t hover_row, hover_part;
  int32_t pressed_row, pressed_part;
  char pressed_id[LIBLIST_ID_BYTES];
  int32_t pressed_button;
  float press_x, press_y;
  double last_click_at;
  int32_t last_click_row;
  double closed_at;  // when a click last closed a card (-1e9: never)
};

// ---- state ----
void library_list_init(LibraryList* list);
// Keeps the selected, open, menu and renamed rows on their sketches after the library changed.
// Call before keys, pointer and drawing each frame.
void library_list_track(LibraryList* list, const Library* lib);
// Scrolls so that row's card is fully visible in a view visible_h tall.
void library_list_reveal(LibraryList* list, int32_t row, float visible_h, int32_t count);
// The largest scroll offset for count rows in a view visible_h tall.
float library_list_max_scroll(int32_t count, float visible_h);
// Each frame: the slid card eases toward its target.
void library_list_tick(LibraryList* list, double dt);
// Resets the view (entering the tab): scroll to the top, menu, swipe and rename closed.
void library_list_reset_view(LibraryList* list);

// No row selected (after a delete).
void library_list_clear_selection(LibraryList* list);
bool library_list_menu_open(const LibraryList* list);
bool library_list_renaming(const LibraryList* list);
void library_list_close_menu(LibraryList* list);
// Ends the rename field without renaming.
void library_list_rename_cancel(LibraryList* list);
// Ends the rename field; a changed name appends "library rename" ("id\tname").
void library_list_rename_commit(LibraryList* list, const Library* lib, ActionList* out);
// Starts renaming row (not damaged or legacy); false when it can't.
bool library_list_rename_start(LibraryList* list, const Library* lib, int32_t row, double now);
// True once after Ctrl+V in the rename field: the caller hands the clipboard to library_list_text.
bool library_list_take_paste(LibraryList* list);

// ---- input ----
// A key press (SDL keycode, KEYMOD_* bits). True when the list took it.
bool library_list_keys(LibraryList* list, const Library* lib, int32_t page, int32_t keycode,
                       uint32_t mods, bool repeat, bool animating, float visible_h, double now,
                       ActionList* out);
// SDL_TEXTINPUT for the rename field; false when no rename is open.
bool library_list_text(LibraryList* list, const char* utf8, double now);
// SDL_TEXTEDITING for the rename field (an empty text ends the composition).
bool library_list_compose(LibraryList* list, const char* utf8, int32_t cursor, int32_t length);
// kind 1 press, 2 move, 3 release, 4 wheel (wheel_dy notches, positive away from the user).
// button: SDL button (1 left, 3 right). clicks: SDL's click count of a press. True when used.
bool library_list_pointer(LibraryList* list, const Library* lib, int32_t page, DrawRect rect,
                          int32_t kind, int32_t button, int32_t clicks, float x, float y,
                          float wheel_dy, double now, ActionList* out);

// ---- geometry (points; rect is the list's rectangle) ----
// The card's slot of row (its face moves by the slide).
DrawRect library_list_card_rect(const LibraryList* list, DrawRect rect, int32_t row);
// The row whose card is under (x, y), or -1 (gaps, outside).
int32_t library_list_row_at(const LibraryList* list, int32_t count, DrawRect rect, float x,
                            float y);
// Rows [*first, *last] that touch the view; false when none.
bool library_list_visible_rows(const LibraryList* list, int32_t count, DrawRect rect,
                               int32_t* first, int32_t* last);
// How far row's face is slid (0 for all but the slid card).
float library_list_row_slide(const LibraryList* list, int32_t row);
// A part's rectangle on a card slot with the face slid by slide; w 0 when the card lacks it.
DrawRect library_list_part_rect(const LibraryCard* card, DrawRect slot, float slide, int32_t part);
// The part of the card in slot under (x, y); open: the card is open (only its bin and body).
int32_t library_list_part_at(const LibraryCard* card, DrawRect slot, float slide, bool open,
                             float x, float y);
// The row menu's rectangle (w 0 when closed) and its items.
DrawRect library_list_menu_rect(const LibraryList* list, DrawRect rect);
DrawRect library_list_menu_item_rect(DrawRect menu, int32_t item);
int32_t library_list_menu_item_at(const LibraryList* list, DrawRect rect, float x, float y);
bool library_list_menu_enabled(const LibraryCard* card, int32_t item);
const char* library_list_menu_label(int32_t item);
// The import page's button.
DrawRect library_list_import_button(DrawRect rect);
// The card's second line: its date and m:ss length (or why it can't be opened).
void library_list_card_line(const LibraryCard* card, char* out, size_t size);

// ---- drawing (library_list_draw.cpp) ----
// Draws page (0 the cards, 1 the import page) clipped to rect; loaded_id is the open sketch
// ("" none). Leaves the painter without a clip.
void library_list_draw(LibraryList* list, const Library* lib, int32_t page, DrawRect rect,
                       const char* loaded_id, bool importing, DrawColour accent, Painter* p,
                       double now);
