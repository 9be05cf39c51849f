// The fixed key map. Letters arrive as lower-case keycodes whatever Shift does, so Shift only
// matters where a row names it.
#include "control/keymap.h"

#include <SDL_keycode.h>

#include <cstring>

namespace {

// One looked-up key before the repeat rule is applied.
struct KeyHit {
  int32_t kind;
  int32_t value;
  float x, y;
  bool repeats;
};

constexpr KeyHit kNothing = {ACT_NONE, 0, 0.0f, 0.0f, false};

KeyHit hit(int32_t kind, int32_t value = 0, float x = 0.0f, float y = 0.0f, bool repeats = false) {
  return KeyHit{kind, value, x, y, repeats};
}

KeyHit ctrl_key(int32_t key, bool shift, bool repeat) {
  switch (key) {
    case SDLK_BACKSPACE:
      // Plain Ctrl+Backspace is too easy to hit while editing text elsewhere.
      return shift ? hit(ACT_CLEAR_ASK) : kNothing;
    case SDLK_PLUS:
    case SDLK_EQUALS:
    case SDLK_KP_PLUS:
      return hit(ACT_ZOOM, 0, 1.0f, 0.0f, true);
    case SDLK_MINUS:
    case SDLK_KP_MINUS:
      return hit(ACT_ZOOM, 0, -1.0f, 0.0f, true);
    case SDLK_COMMA:
      return hit(ACT_SETTINGS, -1);
    case SDLK_0:
    case SDLK_KP_0:
      return hit(ACT_ZOOM_BACK);
    case SDLK_c:
      return hit(ACT_CLEAR_ASK);
    case SDLK_e:
      return hit(ACT_EXPORT_WAV);
    case SDLK_n:
      return hit(ACT_NEW_SKETCH);
    case SDLK_RIGHT:
      return hit(ACT_CURSOR_TO_TAKE, 1, 0.0f, repeat ? 1.0f : 0.0f, true);
    case SDLK_LEFT:
      return hit(ACT_CURSOR_TO_TAKE, -1, 0.0f, repeat ? 1.0f : 0.0f, true);
    default:
      return kNothing;
  }
}

KeyHit cursor_step(float dir, bool shift, bool repeat) {
  return hit(ACT_CURSOR_STEP, repeat ? 1 : 0, dir * (shift ? 5.0f : 1.0f), 0.0f, true);
}

KeyHit plain_key(int32_t key, uint32_t mods, bool repeat) {
  const bool shift = (mods & KEYMOD_SHIFT) != 0;
  const float n = keymap_nudge_step(mods);
  if (key >= SDLK_1 && key <= SDLK_9) return hit(ACT_PAINT_COLOUR, key - SDLK_1);
  if (key >= SDLK_KP_1 && key <= SDLK_KP_9) return hit(ACT_PAINT_COLOUR, key - SDLK_KP_1);
  switch (key) {
    case SDLK_BACKSPACE:
    case SDLK_b:
      return hit(ACT_LIBRARY);
    case SDLK_RETURN:
    case SDLK_KP_ENTER:
      return hit(ACT_SETTINGS, -1);
    case SDLK_SPACE:
      return hit(ACT_PLAY_PAUSE);
    case SDLK_0:
    case SDLK_KP_0:
      return hit(ACT_PAINT_COLOUR, 9);
    case SDLK_MINUS:
    case SDLK_KP_MINUS:
      return hit(ACT_PAINT_COLOUR, 10);
    case SDLK_EQUALS:
    case SDLK_KP_EQUALS:
      return hit(ACT_PAINT_COLOUR, 11);
    case SDLK_SLASH:
      return shift ? hit(ACT_KEYS) : kNothing;
    case SDLK_QUESTION:
      return hit(ACT_KEYS);
    case SDLK_LEFTBRACKET:
      return cursor_step(-1.0f, shift, repeat);
    case SDLK_RIGHTBRACKET:
      return cursor_step(1.0f, shift, repeat);
    case SDLK_a:
      return hit(ACT_RIG);
    case SDLK_e:
      return hit(ACT_EXPORT_WAV);
    case SDLK_i:
      return hit(ACT_LOOP_IN);
    case SDLK_l:
      return hit(ACT_LOOP);
    case SDLK_m:
      return hit(ACT_MONITOR_TOGGLE);
    case SDLK_o:
      return hit(ACT_LOOP_OUT);
    case SDLK_p:
      return hit(ACT_PAINT_MODE);
    case SDLK_r:
      return hit(ACT_RECORD);
    case SDLK_s:
      return hit(ACT_STOP);
    case SDLK_w:
      return hit(ACT_REWIND);
    case SDLK_x:
      return hit(ACT_XY_CENTRE);
    case SDLK_z:
      return hit(ACT_ZEN_FULL);
    case SDLK_F1:
      return hit(ACT_HELP);
    case SDLK_F2:
      return hit(ACT_RENAME);
    case SDLK_F11:
      return hit(ACT_FULLSCREEN);
    case SDLK_HOME:
      return hit(ACT_CURSOR_TO_END, 0);
    case SDLK_END:
      return hit(ACT_CURSOR_TO_END, 1);
    case SDLK_RIGHT:
      return hit(ACT_XY_NUDGE, 0, n, 0.0f, true);
    case SDLK_LEFT:
      return hit(ACT_XY_NUDGE, 0, -n, 0.0f, true);
    case SDLK_UP:
      return hit(ACT_XY_NUDGE, 0, 0.0f, n, true);
    case SDLK_DOWN:
      return hit(ACT_XY_NUDGE, 0, 0.0f, -n, true);
    default:
      return kNothing;
  }
}

// Keyboards that move "[", "]" and "/" elsewhere still reach these through the US key positions.
// Only for keys the map itself did not claim (and the "/" position's paint colour, which on some
// layouts is what Shift+that key would otherwise give).
KeyHit layout_fallback(KeyHit h, int32_t scancode, uint32_t mods, bool repeat) {
  const bool shift = (mods & KEYMOD_SHIFT) != 0;
  if (scancode == SDL_SCANCODE_SLASH && shift &&
      (h.kind == ACT_NONE || h.kind == ACT_PAINT_COLOUR))
    return hit(ACT_KEYS);
  if (h.kind != ACT_NONE) return h;
  if (scancode == SDL_SCANCODE_LEFTBRACKET) return cursor_step(-1.0f, shift, repeat);
  if (scancode == SDL_SCANCODE_RIGHTBRACKET) return cursor_step(1.0f, shift, repeat);
  return h;
}

}  // namespace

uint32_t keymap_mods_from_sdl(uint32_t sdl_mod) {
  uint32_t m = 0;
  if (sdl_mod & KMOD_CTRL) m |= KEYMOD_CTRL;
  if (sdl_mod & KMOD_SHIFT) m |= KEYMOD_SHIFT;
  if (sdl_mod & KMOD_ALT) m |= KEYMOD_ALT;
  return m;
}

float keymap_nudge_step(uint32_t mods) {
  return (mods & KEYMOD_SHIFT) ? 0.1f : 1.0f / 3.0f;
}

bool keymap_lookup(int32_t keycode, int32_t scancode, uint32_t mods, bool repeat, Action* out) {
  const bool ctrl = (mods & KEYMOD_CTRL) != 0;
  const bool alt = (mods & KEYMOD_ALT) != 0;
  KeyHit h = kNothing;
  if (alt) {
    if (keycode == SDLK_BACKQUOTE && !ctrl) h = hit(ACT_CONSOLE);
  } else if (ctrl) {
    h = ctrl_key(keycode, (mods & KEYMOD_SHIFT) != 0, repeat);
  } else {
    h = layout_fallback(plain_key(keycode, mods, repeat), scancode, mods, repeat);
  }
  if (repeat && !h.repeats) h = kNothing;
  if (out) {
    memset(out, 0, sizeof *out);
    out->kind = h.kind;
    out->value = h.value;
    out->x = h.x;
    out->y = h.y;
  }
  return h.kind != ACT_NONE;
}
