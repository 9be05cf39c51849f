// The name editor: the in-place field over the sketch's title. At most 255 bytes of UTF-8, a caret
// kept on character boundaries, control characters dropped, an input-method composition shown at
// the caret. Pure text handling; the caller draws it and turns its answers into actions.
// UI thread only.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int32_t NAME_EDIT_MAX = 255;        // bytes of text
constexpr int32_t NAME_EDIT_COMPOSITION = 64;  // bytes of a composition in progress

struct NameEditor {
  bool open;
  char text[NAME_EDIT_MAX + 1];
  int32_t len;
  int32_t caret;  // byte offset, on a character boundary
  bool composing;  // an input-method composition is in progress
  char composition[NAME_EDIT_COMPOSITION];
  int32_t comp_cursor, comp_length;
  double blink_start;  // every key restarts the caret's blink
};

// What a key did.
enum NameEditKey : int32_t {
  NAME_KEY_IGNORED = 0,  // not the editor's (never happens while open: it takes every key)
  NAME_KEY_USED = 1,
  NAME_KEY_COMMIT = 2,  // Enter, keypad Enter or Tab
  NAME_KEY_CANCEL = 3,  // Escape
  NAME_KEY_PASTE = 4,   // Ctrl+V: the caller inserts the clipboard's text
};

// Opens with text (cut to 255 bytes on a character boundary), caret at the end.
void name_edit_open(NameEditor* ed, const char* text, double now);
void name_edit_close(NameEditor* ed);
// Inserts at the caret: control characters (below 32, and 127) dropped, cut to the free space and
// back to a whole character. Returns the bytes inserted.
int32_t name_edit_insert(NameEditor* ed, const char* utf8, double now);
// The composition in progress (SDL_TEXTEDITING); an empty text ends it.
void name_edit_compose(NameEditor* ed, const char* text, int32_t cursor, int32_t length);
// A key press (SDL keycode, KEYMOD_* bits). While composing, keys do not edit (USED).
int32_t name_edit_key(NameEditor* ed, int32_t keycode, uint32_t mods, bool repeat, double now);
// The text without spaces and tabs at either end.
void name_edit_trimmed(const NameEditor* ed, char* out, size_t size);
