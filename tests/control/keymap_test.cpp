#include "control/keymap.h"

#include <SDL_keycode.h>
#include <gtest/gtest.h>

namespace {

constexpr uint32_t C = KEYMOD_CTRL, S = KEYMOD_SHIFT, A = KEYMOD_ALT;
constexpr float N = 1.0f / 3.0f;
// US positions of "[", "]" and "/"; 0 where the position does not matter.
constexpr int32_t LB = SDL_SCANCODE_LEFTBRACKET, RB = SDL_SCANCODE_RIGHTBRACKET,
                  SL = SDL_SCANCODE_SLASH;

struct KeyCase {
  const char* what;
  int32_t key, scancode;
  uint32_t mods;
  bool repeat;
  int32_t kind;  // ACT_NONE: nothing
  int32_t value;
  float x, y;
};

const KeyCase kCases[] = {
    // Repeats only where the map says so.
    {"]", SDLK_RIGHTBRACKET, RB, 0, false, ACT_CURSOR_STEP, 0, 1, 0},
    {"] held", SDLK_RIGHTBRACKET, RB, 0, true, ACT_CURSOR_STEP, 1, 1, 0},
    {"Shift+[ held", SDLK_LEFTBRACKET, LB, S, true, ACT_CURSOR_STEP, 1, -5, 0},
    {"R", SDLK_r, 0, S, false, ACT_RECORD, 0, 0, 0},
    {"R held", SDLK_r, 0, 0, true, ACT_NONE, 0, 0, 0},
    {"Left held", SDLK_LEFT, 0, 0, true, ACT_XY_NUDGE, 0, -N, 0},
    {"Shift+Up", SDLK_UP, 0, S, false, ACT_XY_NUDGE, 0, 0, 0.1f},
    {"Down", SDLK_DOWN, 0, 0, false, ACT_XY_NUDGE, 0, 0, -N},
    // Ctrl.
    {"Ctrl+C", SDLK_c, 0, C, false, ACT_CLEAR_ASK, 0, 0, 0},
    {"Ctrl+Shift+Backspace", SDLK_BACKSPACE, 0, C | S, false, ACT_CLEAR_ASK, 0, 0, 0},
    {"Ctrl+Backspace", SDLK_BACKSPACE, 0, C, false, ACT_NONE, 0, 0, 0},
    {"Backspace", SDLK_BACKSPACE, 0, 0, false, ACT_LIBRARY, 0, 0, 0},
    {"Ctrl+keypad + held", SDLK_KP_PLUS, 0, C, true, ACT_ZOOM, 0, 1, 0},
    {"Ctrl+-", SDLK_MINUS, 0, C, false, ACT_ZOOM, 0, -1, 0},
    {"Ctrl+,", SDLK_COMMA, 0, C, false, ACT_SETTINGS, -1, 0, 0},
    {"Ctrl+0 held", SDLK_KP_0, 0, C, true, ACT_NONE, 0, 0, 0},
    {"Ctrl+Right", SDLK_RIGHT, 0, C, false, ACT_CURSOR_TO_TAKE, 1, 0, 0},
    {"Ctrl+Left held", SDLK_LEFT, 0, C, true, ACT_CURSOR_TO_TAKE, -1, 0, 1},
    {"Ctrl+1 is no colour", SDLK_1, 0, C, false, ACT_NONE, 0, 0, 0},
    {"Ctrl+[ no fallback", SDLK_LEFTBRACKET, LB, C, false, ACT_NONE, 0, 0, 0},
    // Alt: the backquote only, and not with Ctrl.
    {"Alt+`", SDLK_BACKQUOTE, 0, A, false, ACT_CONSOLE, 0, 0, 0},
    {"Ctrl+Alt+`", SDLK_BACKQUOTE, 0, C | A, false, ACT_NONE, 0, 0, 0},
    {"`", SDLK_BACKQUOTE, 0, 0, false, ACT_NONE, 0, 0, 0},
    {"Alt+R", SDLK_r, 0, A, false, ACT_NONE, 0, 0, 0},
    // Numbers and signs.
    {"keypad Enter", SDLK_KP_ENTER, 0, 0, false, ACT_SETTINGS, -1, 0, 0},
    {"1", SDLK_1, 0, 0, false, ACT_PAINT_COLOUR, 0, 0, 0},
    {"keypad 9", SDLK_KP_9, 0, 0, false, ACT_PAINT_COLOUR, 8, 0, 0},
    {"0", SDLK_0, 0, 0, false, ACT_PAINT_COLOUR, 9, 0, 0},
    {"keypad -", SDLK_KP_MINUS, 0, 0, false, ACT_PAINT_COLOUR, 10, 0, 0},
    {"=", SDLK_EQUALS, 0, 0, false, ACT_PAINT_COLOUR, 11, 0, 0},
    {"/", SDLK_SLASH, SL, 0, false, ACT_NONE, 0, 0, 0},
    {"Shift+/", SDLK_SLASH, SL, S, false, ACT_KEYS, 0, 0, 0},
    {"End", SDLK_END, 0, 0, false, ACT_CURSOR_TO_END, 1, 0, 0},
    // Other layouts, by physical position.
    {"German ü (US [)", 252, LB, 0, false, ACT_CURSOR_STEP, 0, -1, 0},
    {"German Shift+ü held", 252, LB, S, true, ACT_CURSOR_STEP, 1, -5, 0},
    {"German + (US ])", SDLK_PLUS, RB, 0, false, ACT_CURSOR_STEP, 0, 1, 0},
    {"German Shift+- (US /)", SDLK_MINUS, SL, S, false, ACT_KEYS, 0, 0, 0},
    {"German - (US /)", SDLK_MINUS, SL, 0, false, ACT_PAINT_COLOUR, 10, 0, 0},
    {"a mapped letter at the [ position", SDLK_p, LB, 0, true, ACT_NONE, 0, 0, 0},
};

}  // namespace

TEST(Keymap, Table) {
  for (const KeyCase& c : kCases) {
    Action a;
    a.text[0] = 'x';
    EXPECT_EQ(keymap_lookup(c.key, c.scancode, c.mods, c.repeat, &a), c.kind != ACT_NONE) << c.what;
    EXPECT_EQ(a.kind, c.kind) << c.what;
    EXPECT_EQ(a.value, c.value) << c.what;
    EXPECT_FLOAT_EQ(a.x, c.x) << c.what;
    EXPECT_FLOAT_EQ(a.y, c.y) << c.what;
    EXPECT_STREQ(a.text, "") << c.what;
  }
}

TEST(Keymap, ModifiersFromSdl) {
  const struct {
    uint32_t sdl, want;
  } cases[] = {{KMOD_RCTRL, C}, {KMOD_RSHIFT | KMOD_LALT, S | A}, {KMOD_NUM | KMOD_CAPS | KMOD_LGUI, 0},
               {KMOD_CTRL | KMOD_SHIFT | KMOD_ALT, C | S | A}};
  for (const auto& c : cases) EXPECT_EQ(keymap_mods_from_sdl(c.sdl), c.want) << c.sdl;
}
