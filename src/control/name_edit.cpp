// The name editor's text handling. The text is UTF-8 from SDL; the caret only ever stops where a
// byte is not a continuation byte, so moving and deleting never split a character.
#include "control/name_edit.h"

#include <SDL_keycode.h>

#include <cstring>

#include "control/actions.h"

namespace {

bool continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

int32_t prev_char(const NameEditor* ed, int32_t at) {
  if (at <= 0) return 0;
  at--;
  while (at > 0 && continuation(ed->text[at])) at--;
  return at;
}

int32_t next_char(const NameEditor* ed, int32_t at) {
  if (at >= ed->len) return ed->len;
  at++;
  while (at < ed->len && continuation(ed->text[at])) at++;
  return at;
}

void erase(NameEditor* ed, int32_t from, int32_t to) {
  if (to <= from) return;
  memmove(ed->text + from, ed->text + to, static_cast<size_t>(ed->len - to + 1));
  ed->len -= to - from;
  ed->caret = from;
}

// Backward from the caret: the spaces right before it, then the word up to the previous space.
int32_t word_start(const NameEditor* ed) {
  int32_t at = ed->caret;
  while (at > 0 && ed->text[at - 1] == ' ') at--;
  while (at > 0 && ed->text[at - 1] != ' ') at--;
  return at;
}

}  // namespace

void name_edit_open(NameEditor* ed, const char* text, double now) {
  memset(ed, 0, sizeof *ed);
  ed->open = true;
  ed->len = static_cast<int32_t>(actions_cut_utf8(ed->text, sizeof ed->text, text));
  ed->caret = ed->len;
  ed->blink_start = now;
}

void name_edit_close(NameEditor* ed) {
  ed->open = false;
  ed->composing = false;
  ed->composition[0] = '\0';
  ed->comp_cursor = 0;
  ed->comp_length = 0;
}

int32_t name_edit_insert(NameEditor* ed, const char* utf8, double now) {
  if (!ed->open || !utf8) return 0;
  ed->blink_start = now;
  // Committed text replaces whatever the input method was showing.
  ed->composing = false;
  ed->composition[0] = '\0';
  char clean[NAME_EDIT_MAX + 2];
  int32_t free_bytes = NAME_EDIT_MAX - ed->len;
  int32_t n = 0;
  // Control characters are single bytes in UTF-8, so dropping them byte by byte is safe. One byte
  // beyond the free space is kept so the cut below can tell a split character from a whole one.
  for (const char* p = utf8; *p && n <= free_bytes; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 32 || c == 127) continue;
    clean[n++] = *p;
  }
  if (n > free_bytes) {
    n = free_bytes;
    while (n > 0 && continuation(clean[n])) n--;
  }
  if (n <= 0) return 0;
  memmove(ed->text + ed->caret + n, ed->text + ed->caret, static_cast<size_t>(ed->len - ed->caret + 1));
  memcpy(ed->text + ed->caret, clean, static_cast<size_t>(n));
  ed->len += n;
  ed->caret += n;
  return n;
}

void name_edit_compose(NameEditor* ed, const char* text, int32_t cursor, int32_t length) {
  if (!text || !text[0]) {
    ed->composing = false;
    ed->composition[0] = '\0';
    ed->comp_cursor = 0;
    ed->comp_length = 0;
    return;
  }
  ed->composing = true;
  actions_cut_utf8(ed->composition, sizeof ed->composition, text);
  ed->comp_cursor = cursor;
  ed->comp_length = length;
}

int32_t name_edit_key(NameEditor* ed, int32_t keycode, uint32_t mods, bool repeat, double now) {
  if (!ed->open) return NAME_KEY_IGNORED;
  ed->blink_start = now;
  // The input method owns the keys until its composition ends.
  if (ed->composing) return NAME_KEY_USED;
  const bool ctrl = (mods & KEYMOD_CTRL) != 0;
  switch (keycode) {
    case SDLK_BACKSPACE:
      erase(ed, ctrl ? word_start(ed) : prev_char(ed, ed->caret), ed->caret);
      return NAME_KEY_USED;
    case SDLK_DELETE:
      erase(ed, ed->caret, next_char(ed, ed->caret));
      return NAME_KEY_USED;
    case SDLK_LEFT:
      ed->caret = prev_char(ed, ed->caret);
      return NAME_KEY_USED;
    case SDLK_RIGHT:
      ed->caret = next_char(ed, ed->caret);
      return NAME_KEY_USED;
    case SDLK_HOME:
    case SDLK_UP:
      ed->caret = 0;
      return NAME_KEY_USED;
    case SDLK_END:
    case SDLK_DOWN:
      ed->caret = ed->len;
      return NAME_KEY_USED;
    case SDLK_v:
      return ctrl ? NAME_KEY_PASTE : NAME_KEY_USED;
    case SDLK_RETURN:
    case SDLK_KP_ENTER:
    case SDLK_TAB:
      return repeat ? NAME_KEY_USED : NAME_KEY_COMMIT;
    case SDLK_ESCAPE:
      return repeat ? NAME_KEY_USED : NAME_KEY_CANCEL;
    default:
      return NAME_KEY_USED;
  }
}

void name_edit_trimmed(const NameEditor* ed, char* out, size_t size) {
  if (!out || size == 0) return;
  int32_t a = 0, b = ed->len;
  while (a < b && (ed->text[a] == ' ' || ed->text[a] == '\t')) a++;
  while (b > a && (ed->text[b - 1] == ' ' || ed->text[b - 1] == '\t')) b--;
  char tmp[NAME_EDIT_MAX + 1];
  memcpy(tmp, ed->text + a, static_cast<size_t>(b - a));
  tmp[b - a] = '\0';
  actions_cut_utf8(out, size, tmp);
}
