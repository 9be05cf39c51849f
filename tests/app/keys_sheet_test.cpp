// The KEYS sheet: its groups, the rig's rows made from the rig's key words, every row fitting its
// card at the smallest window, the scroll's bounds and smoothing, and the staggered reveal.
#include "app/keys_sheet.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <string>

#include "support/fontconfig_leaks.h"
#include "support/soft_canvas.h"
#include "ui/text.h"

namespace {

constexpr DrawRect kPanel = {720.0f - 380.0f - 16.0f, 60.0f, 380.0f, 480.0f - 44.0f - 32.0f};

struct Fonts {
  SoftCanvas canvas{720, 480};
  Fonts() {
    EXPECT_EQ(text_init(canvas.renderer), 0);
    text_set_pixel_scale(1.0f);
  }
  ~Fonts() { text_free(); }
};

TEST(KeysSheet, GroupsHoldTheirRowsAndTheRigsComeFromItsKeyWords) {
  struct G {
    const char* title;
    int32_t count;
    const char* first_caps;
  } groups[] = {{"TRANSPORT", 8, "\u2423"},
                {"LOOP", 3, "L"},
                {"VIEW", 10, "Z"},
                {"SKETCH", 7, "B"},
                {"XY", 3, "\u2190\t\u2191\t\u2193\t\u2192"},
                {"PAINT", 2, "P"},
                {"RIG", 7, "A"}};
  for (int32_t i = 0; i < KEYS_GROUPS; i++) {
    const KeysGroup* g = keys_group(i);
    ASSERT_NE(g, nullptr);
    EXPECT_STREQ(g->title, groups[i].title);
    EXPECT_EQ(g->count, groups[i].count) << g->title;
    EXPECT_STREQ(g->rows[0].caps, groups[i].first_caps);
  }
  const char* rig[][2] = {{"1\t\u2026\t4", "scene"},   {"\u21E7\t1\t\u2026\t4", "copy scene"},
                          {"\u2191\t\u2193", "input"}, {"\u2190\t\u2192", "level"},
                          {"\u21B5", "mute"},          {"Esc", "close"}};
  const KeysGroup* g = keys_group(KEYS_GROUPS - 1);
  for (int32_t i = 0; i < 6; i++) {
    EXPECT_STREQ(g->rows[i + 1].caps, rig[i][0]);
    EXPECT_STREQ(g->rows[i + 1].label, rig[i][1]);
    EXPECT_GT(g->rows[i + 1].icon, KEYS_ICON_RIG);
  }
}

TEST(KeysSheet, RigRowsKeepToTheirLimits) {
  // Seventeen arrows (3 bytes each, tab-joined) make 67 bytes: sixteen fill the 63 exactly.
  // Twelve rows become eleven.
  std::string many;
  for (int i = 0; i < 17; i++) many += i ? "\tLEFT" : "LEFT";
  KeysRigKey keys[12];
  for (auto& k : keys) k = KeysRigKey{many.c_str(), "x", 0};
  KeysRow rows[12];
  EXPECT_EQ(keys_rig_rows(keys, 12, rows, 12), KEYS_RIG_ROWS);
  EXPECT_EQ(strlen(rows[0].caps), 63u);
  char split[KEYS_MAX_CAPS * 4][KEYS_CAPS_BYTES];
  const int32_t n = keys_split_caps(rows[0].caps, split, KEYS_MAX_CAPS * 4);
  EXPECT_EQ(n, 16);
  for (int32_t i = 0; i < n; i++) EXPECT_STREQ(split[i], "\u2190");
  EXPECT_STREQ(keys_cap_word("PGUP"), "PGUP");
}

TEST(KeysSheet, EveryRowFitsItsCardAtTheSmallestWindowAndDraws) {
  Fonts f;
  KeysSheet k;
  keys_sheet_init(&k);
  keys_sheet_open(&k, 0.0);
  const KeysLayout* l = keys_sheet_layout(&k, kPanel, 1.0f);
  EXPECT_EQ(l->columns, 1);
  for (int32_t gi = 0; gi < KEYS_GROUPS; gi++) {
    const DrawRect& c = l->cards[gi];
    EXPECT_GE(c.x, 0.0f);
    EXPECT_LE(c.x + c.w, kPanel.w);
    for (int32_t ri = 0; ri < keys_group(gi)->count; ri++) {
      KeysRowGeometry g;
      keys_row_geometry(l, gi, ri, &g);
      ASSERT_GT(g.caps, 0);
      EXPECT_LE(text_measure(KEYS_LABEL_STYLE, keys_group(gi)->rows[ri].label), g.label_w)
          << keys_group(gi)->rows[ri].label;
      EXPECT_LE(g.cap[g.caps - 1].x + g.cap[g.caps - 1].w, g.icon.x);
      EXPECT_LE(g.cap[0].y + g.cap[0].h, c.h);
    }
  }
  // A wide window puts the cards side by side.
  KeysSheet wide;
  keys_sheet_init(&wide);
  EXPECT_EQ(keys_sheet_layout(&wide, DrawRect{0, 0, 900, 600}, 1.0f)->columns, 3);

  keys_sheet_draw(&k, f.canvas.p, kPanel, 1.0f, 1.0f, DrawColour{0.9f, 0.6f, 0.1f, 1.0f}, 5.0,
                  false);
  const DrawRect v = keys_sheet_view(kPanel);
  const DrawRect card = l->cards[0];
  EXPECT_NE(f.canvas.pixel((int)(kPanel.x + card.x + card.w - 4), (int)(v.y + card.y + 20)),
            f.canvas.pixel((int)(kPanel.x + 4), (int)(v.y + 40)));
  EXPECT_EQ(f.canvas.pixel(100, 300) & 0xFFFFFF, 0u);
}

TEST(KeysSheet, ScrollingKeepsInsideAndEases) {
  Fonts f;
  KeysSheet k;
  keys_sheet_init(&k);
  keys_sheet_layout(&k, kPanel, 1.0f);
  const float max = keys_sheet_max_scroll(&k);
  ASSERT_GT(max, 0.0f);
  struct Case {
    float from;
    int32_t key;
    float want;
  } cases[] = {{0, SDLK_PAGEDOWN, std::min(max, k.view_h - 40.0f)},
               {0, SDLK_UP, 0},
               {10, SDLK_END, max},
               {max, SDLK_PAGEDOWN, max},
               {max, SDLK_HOME, 0},
               {50, SDLK_DOWN, std::min(max, 90.0f)}};
  for (const Case& c : cases) {
    k.scroll = c.from;
    EXPECT_TRUE(keys_sheet_key(&k, c.key));
    EXPECT_FLOAT_EQ(k.scroll, c.want) << c.from << " key " << c.key;
  }
  k.scroll = 0;
  keys_sheet_wheel(&k, -1.0f);
  EXPECT_FLOAT_EQ(k.scroll, std::min(max, 48.0f));

  // The shown offset covers 18*dt of the way a frame and snaps within half a point.
  k.scroll = 100.0f;
  k.shown_scroll = 0.0f;
  keys_sheet_tick(&k, 1.0 / 36.0);
  EXPECT_NEAR(k.shown_scroll, 50.0f, 0.01f);
  k.shown_scroll = 99.6f;
  keys_sheet_tick(&k, 0.001);
  EXPECT_EQ(k.shown_scroll, 100.0f);
  keys_sheet_tick(&k, 1.0);  // a long frame lands, never overshoots
  EXPECT_EQ(k.shown_scroll, 100.0f);
  keys_sheet_open(&k, 2.0);
  EXPECT_EQ(k.scroll, 0.0f);
  EXPECT_EQ(k.shown_scroll, 0.0f);

  KeysSheet tall;
  keys_sheet_init(&tall);
  keys_sheet_layout(&tall, DrawRect{0, 0, 380, 5000}, 1.0f);
  EXPECT_TRUE(keys_sheet_key(&tall, SDLK_PAGEDOWN));
  EXPECT_EQ(tall.scroll, 0.0f);
}

TEST(KeysSheet, CardsAndRowsRevealInTurn) {
  struct Case {
    double at;
    int32_t group, row;
    bool reduced;
    int32_t want;
  } cases[] = {
      {0.039, 0, -1, false, 0}, {0.040, 0, -1, false, 1}, {0.040, 0, 0, false, 1},
      {0.050, 0, 1, false, 0},  {0.0855, 1, 0, false, 1}, {0.084, 1, 0, false, 0},
      {1.0, 6, 6, false, 12},   {0.0, 6, 6, true, 12},    {0.040 + 5.5 / 60, 0, 0, false, 6},
  };
  for (const Case& c : cases)
    EXPECT_EQ(keys_reveal_step(0.0, c.at, c.group, c.row, c.reduced), c.want)
        << c.at << " " << c.group << "/" << c.row;
}

}  // namespace
