#include "control/name_edit.h"

#include <SDL_keycode.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "control/actions.h"

namespace {

int32_t key(NameEditor* ed, int32_t k, uint32_t mods = 0, bool repeat = false, double now = 1.0) {
  return name_edit_key(ed, k, mods, repeat, now);
}

std::string text(const NameEditor& ed) {
  EXPECT_EQ(static_cast<size_t>(ed.len), strlen(ed.text));
  return ed.text;
}

}  // namespace

TEST(NameEdit, CaretAndDeletesTakeWholeCharacters) {
  // "aé€🎵b": 1 + 2 + 3 + 4 + 1 bytes.
  const int32_t bounds[] = {0, 1, 3, 6, 10, 11};
  NameEditor ed;
  name_edit_open(&ed, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5" "b", 0.0);
  EXPECT_EQ(ed.caret, 11);
  for (int i = 4; i >= -1; i--) {
    key(&ed, SDLK_LEFT);
    EXPECT_EQ(ed.caret, bounds[i < 0 ? 0 : i]);
  }
  for (int i = 1; i <= 6; i++) {
    key(&ed, SDLK_RIGHT);
    EXPECT_EQ(ed.caret, bounds[i > 5 ? 5 : i]);
  }
  key(&ed, SDLK_UP);
  EXPECT_EQ(ed.caret, 0);
  key(&ed, SDLK_DOWN);
  EXPECT_EQ(ed.caret, 11);

  key(&ed, SDLK_LEFT);
  key(&ed, SDLK_BACKSPACE);  // the note before the caret
  EXPECT_EQ(text(ed), "a\xC3\xA9\xE2\x82\xAC" "b");
  key(&ed, SDLK_HOME);
  key(&ed, SDLK_RIGHT);
  key(&ed, SDLK_DELETE);  // é after it
  EXPECT_EQ(text(ed), "a\xE2\x82\xAC" "b");
  EXPECT_EQ(ed.caret, 1);
  key(&ed, SDLK_HOME);
  key(&ed, SDLK_BACKSPACE);
  key(&ed, SDLK_END);
  key(&ed, SDLK_DELETE);
  EXPECT_EQ(text(ed), "a\xE2\x82\xAC" "b");  // nothing beyond either end
}

TEST(NameEdit, InsertDropsControlsAndKeepsTheCap) {
  NameEditor ed;
  name_edit_open(&ed, "ab", 0.0);
  key(&ed, SDLK_LEFT);
  EXPECT_EQ(name_edit_insert(&ed, "x\ty\n\x7Fz\x1B", 2.0), 3);
  EXPECT_EQ(text(ed), "axyzb");
  EXPECT_EQ(ed.caret, 4);
  EXPECT_EQ(ed.blink_start, 2.0);

  const struct {
    int32_t fill;  // bytes already there
    const char* add;
    int32_t added;
  } cases[] = {
      {252, "\xE2\x82\xAC", 3},          // fills 255 exactly
      {253, "\xE2\x82\xAC", 0},          // 2 free: the 3-byte character goes whole
      {253, "\xC3\xA9\xE2\x82\xAC", 2},  // é fits, € does not
      {250, "\x01\x02\x03\x04\x05\x06" "abcdefg", 5},  // controls take no room
      {255, "a", 0},
  };
  for (const auto& c : cases) {
    name_edit_open(&ed, std::string(c.fill, 'q').c_str(), 0.0);
    EXPECT_EQ(name_edit_insert(&ed, c.add, 0.0), c.added) << c.fill;
    EXPECT_EQ(text(ed).size(), static_cast<size_t>(c.fill + c.added));
    EXPECT_EQ(ed.caret, ed.len);
  }
  name_edit_open(&ed, (std::string(254, 'n') + "\xC3\xA9").c_str(), 0.0);
  EXPECT_EQ(ed.len, 254);  // a long name opens cut before its split character
}

TEST(NameEdit, WordBackspaceAndTrim) {
  const struct {
    const char* start;
    int32_t lefts;  // caret moves from the end first
    const char* want;
  } cases[] = {
      {"hello big world   ", 0, "hello big "},  // spaces first, then the word
      {"hello big world", 3, "hello big rld"},
      {"   ", 0, ""},
      {"caf\xC3\xA9 cr\xC3\xA8me", 0, "caf\xC3\xA9 "},
  };
  for (const auto& c : cases) {
    NameEditor ed;
    name_edit_open(&ed, c.start, 0.0);
    for (int i = 0; i < c.lefts; i++) key(&ed, SDLK_LEFT);
    key(&ed, SDLK_BACKSPACE, KEYMOD_CTRL);
    EXPECT_EQ(text(ed), c.want) << c.start;
  }
  NameEditor ed;
  char out[NAME_EDIT_MAX + 1];
  for (const char* t : {"  \t take  one \t ", "take  one"}) {
    name_edit_open(&ed, t, 0.0);
    name_edit_trimmed(&ed, out, sizeof out);
    EXPECT_STREQ(out, "take  one");
  }
  name_edit_open(&ed, " \t ", 0.0);
  name_edit_trimmed(&ed, out, sizeof out);
  EXPECT_STREQ(out, "");
  name_edit_open(&ed, "  ab\xC3\xA9", 0.0);
  name_edit_trimmed(&ed, out, 4);
  EXPECT_STREQ(out, "ab");  // é would not fit whole
}

TEST(NameEdit, KeyAnswers) {
  const struct {
    int32_t key;
    uint32_t mods;
    bool repeat;
    int32_t want;
  } cases[] = {
      {SDLK_RETURN, 0, false, NAME_KEY_COMMIT}, {SDLK_KP_ENTER, 0, false, NAME_KEY_COMMIT},
      {SDLK_TAB, 0, false, NAME_KEY_COMMIT},    {SDLK_RETURN, 0, true, NAME_KEY_USED},
      {SDLK_ESCAPE, 0, false, NAME_KEY_CANCEL}, {SDLK_ESCAPE, 0, true, NAME_KEY_USED},
      {SDLK_v, KEYMOD_CTRL, false, NAME_KEY_PASTE}, {SDLK_v, 0, false, NAME_KEY_USED},
      {SDLK_F2, 0, false, NAME_KEY_USED},
  };
  for (const auto& c : cases) {
    NameEditor ed;
    name_edit_open(&ed, "take", 0.0);
    EXPECT_EQ(name_edit_key(&ed, c.key, c.mods, c.repeat, 5.0), c.want) << c.key;
    EXPECT_EQ(ed.blink_start, 5.0);
    EXPECT_EQ(text(ed), "take");
  }
  NameEditor ed;
  name_edit_open(&ed, "x", 0.0);
  name_edit_close(&ed);
  EXPECT_EQ(key(&ed, SDLK_RETURN), NAME_KEY_IGNORED);
  EXPECT_EQ(name_edit_insert(&ed, "y", 1.0), 0);
}

TEST(NameEdit, CompositionBlocksEditingKeys) {
  NameEditor ed;
  name_edit_open(&ed, "ab", 0.0);
  name_edit_compose(&ed, "\xE3\x81\x8B", 1, 0);
  for (int32_t k : {SDLK_BACKSPACE, SDLK_LEFT, SDLK_RETURN, SDLK_ESCAPE})
    EXPECT_EQ(key(&ed, k, 0, false, 3.0), NAME_KEY_USED) << k;
  EXPECT_EQ(ed.blink_start, 3.0);
  EXPECT_EQ(text(ed), "ab");
  EXPECT_EQ(ed.caret, 2);
  EXPECT_EQ(name_edit_insert(&ed, "\xE3\x81\x8B", 4.0), 3);  // the commit ends the composition
  EXPECT_FALSE(ed.composing);
  name_edit_compose(&ed, "k", 1, 0);
  name_edit_compose(&ed, "", 0, 0);
  key(&ed, SDLK_BACKSPACE);
  EXPECT_EQ(text(ed), "ab");

  std::string lots = "a";
  for (int i = 0; i < 30; i++) lots += "\xE3\x81\x8B";
  name_edit_compose(&ed, lots.c_str(), 0, 0);
  EXPECT_EQ(strlen(ed.composition), 61u);  // cut before the character that would pass 63
}
