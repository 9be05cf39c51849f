// The fixed key map: a key press (SDL keycode and scancode, modifiers, repeat) to the action it
// gives, with the layout fallbacks by physical key for keyboards that move "[", "]" and "/".
// Pure; UI thread.
#pragma once
#include <cstdint>

#include "control/actions.h"

// SDL's modifier state as the bits above.
uint32_t keymap_mods_from_sdl(uint32_t sdl_mod);
// The cursor nudge of the XY stick per arrow press: 1/3, or 0.1 with Shift.
float keymap_nudge_step(uint32_t mods);
// Fills out (kind, value, x, y; text empty) and returns true when the key gives an action.
bool keymap_lookup(int32_t keycode, int32_t scancode, uint32_t mods, bool repeat, Action* out);
