// The HELP sheet at the smallest window: every line of every section and link fits its column,
// the links answer a press and release over the same one, and the scroll keeps inside its ends.
#include "app/help_sheet.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <string>

#include "support/fontconfig_leaks.h"
#include "support/soft_canvas.h"
#include "ui/text.h"

namespace {

// The panel as the window places it at 720 x 480 points.
constexpr DrawRect kPanel = {720.0f - 380.0f - 16.0f, 60.0f, 380.0f, 480.0f - 44.0f - 32.0f};

struct Fonts {
  SoftCanvas canvas{720, 480};
  Fonts() {
    EXPECT_EQ(text_init(canvas.renderer), 0);
    text_set_pixel_scale(1.0f);
  }
  ~Fonts() { text_free(); }
};

std::string line(const char* text, const int32_t* starts, int32_t n, int32_t i) {
  size_t to = i + 1 < n ? (size_t)starts[i + 1] : strlen(text);
  while (to > (size_t)starts[i] && text[to - 1] == ' ') to--;
  return std::string(text + starts[i], to - (size_t)starts[i]);
}

// Every line no wider than width, and the lines together hold every character but the spaces.
void expect_fits(const char* what, const char* text, const int32_t* starts, int32_t n,
                 float width) {
  ASSERT_GT(n, 0) << what;
  ASSERT_LT(n, HELP_MAX_LINES) << what;
  std::string joined, plain;
  for (int32_t i = 0; i < n; i++) {
    const std::string l = line(text, starts, n, i);
    EXPECT_LE(text_measure(HELP_TEXT_STYLE, l.c_str()), width + 0.01f) << what << ": " << l;
    joined += l;
  }
  for (const char* c = text; *c; c++)
    if (*c != ' ') plain += *c;
  std::string packed;
  for (char c : joined)
    if (c != ' ') packed += c;
  EXPECT_EQ(packed, plain) << what;
}

TEST(HelpSheet, TheContentSpeaksLinux) {
  for (int32_t i = 0; i < HELP_SECTIONS; i++) {
    ASSERT_NE(help_section(i), nullptr);
    const std::string t = help_section(i)->text;
    EXPECT_EQ(t.find("Windows"), std::string::npos) << i;
    EXPECT_EQ(t.find("Explorer"), std::string::npos) << i;
    EXPECT_EQ(t.find('\\'), std::string::npos) << i;
  }
  EXPECT_EQ(help_section(HELP_SECTIONS), nullptr);
  EXPECT_NE(std::string(help_section(17)->text).find("Music/kelp/exports"), std::string::npos);
  EXPECT_NE(std::string(help_section(20)->text).find("file manager"), std::string::npos);
}

TEST(HelpSheet, LinkTextsFillInTheirCounts) {
  struct Case {
    int32_t link, done, total;
    const char* version;
    const char* want;
  } cases[] = {
      {1, 2, 6, nullptr,
       "Little lists of things to try. They tick themselves off as you do them \u2014 2 of 6 so "
       "far."},
      {2, 0, 6, "1.0.4", "What changed in 1.0.4."},
      {2, 0, 6, nullptr, "What changed in this version."},
      {2, 0, 6, "", "What changed in this version."},
      {3, 0, 6, nullptr, "Support, bug reports, feature talk \u2014 the SeaGlass server."},
  };
  for (const Case& c : cases) {
    char out[HELP_LINK_TEXT];
    help_link_text(c.link, c.done, c.total, c.version, out, sizeof out);
    EXPECT_STREQ(out, c.want);
  }
}

TEST(HelpSheet, EveryLineFitsAtTheSmallestWindowAndDraws) {
  Fonts f;
  HelpSheet h;
  help_sheet_init(&h);
  h.training_done = 3;
  const HelpLayout* l = help_sheet_layout(&h, kPanel, 1.0f);
  expect_fits("tagline", help_tagline(), l->tagline_starts, l->tagline_lines,
              help_tagline_wrap(kPanel.w));
  for (int32_t i = 0; i < HELP_SECTIONS; i++) {
    expect_fits(help_section(i)->title, help_section(i)->text, l->section_starts[i],
                l->section_lines[i], help_section_wrap(kPanel.w));
    if (i) {
      EXPECT_GE(l->section_y[i], l->section_y[i - 1] + l->section_h[i - 1] + 18.0f - 0.01f);
    }
  }
  // Each glyph stays in its column, clear of the titles beside it.
  for (int32_t i = 0; i < HELP_SECTIONS + HELP_LINKS; i++) {
    const char* g =
        i < HELP_SECTIONS ? help_section(i)->glyph : help_link(i - HELP_SECTIONS)->glyph;
    EXPECT_LE(text_measure(HELP_GLYPH_STYLE, g) * 0.5f, HELP_TEXT_X - HELP_GLYPH_X - 2.0f) << g;
  }
  for (int32_t i = 0; i < HELP_LINKS; i++)
    expect_fits(help_link(i)->title, l->link_text[i], l->link_starts[i], l->link_lines[i],
                help_link_wrap(i, kPanel.w));
  EXPECT_GT(help_sheet_max_scroll(&h), 0.0f);

  // Drawn at its end: the DISCORD card shows inside the panel and nothing lands outside it.
  h.scroll = 1e9f;
  help_sheet_draw(&h, f.canvas.p, kPanel, 1.0f, 1.0f, DrawColour{0.2f, 0.8f, 0.4f, 1.0f});
  const DrawRect discord = help_sheet_link_rect(&h, kPanel, 3);
  const DrawRect view = help_sheet_view(kPanel);
  EXPECT_LE(discord.y + discord.h, view.y + view.h);
  EXPECT_GE(discord.y, view.y);
  EXPECT_NE(f.canvas.pixel((int)(discord.x + 2), (int)(discord.y + discord.h * 0.5f)),
            f.canvas.pixel((int)(kPanel.x + 4), (int)(view.y + 4)));
  EXPECT_EQ(f.canvas.pixel(100, 300) & 0xFFFFFF, 0u);
}

TEST(HelpSheet, LinksActOnPressAndReleaseOverTheSameItem) {
  Fonts f;
  HelpSheet h;
  help_sheet_init(&h);
  help_sheet_layout(&h, kPanel, 1.0f);
  h.scroll = help_sheet_max_scroll(&h);
  auto centre = [&](int32_t item) {
    const DrawRect r = item == HELP_HIT_CLOSE ? help_sheet_close_rect(kPanel)
                                              : help_sheet_link_rect(&h, kPanel, item);
    return std::pair<float, float>{r.x + r.w * 0.5f, r.y + r.h * 0.5f};
  };
  struct Case {
    int32_t press, release;
    int32_t kind;  // -1: nothing appended
    const char* text;
  } cases[] = {
      {0, 0, ACT_KEYS, ""},
      {1, 1, ACT_TRAINING, ""},
      {2, 2, ACT_WHATS_NEW, ""},
      {3, 3, ACT_OPEN_LINK, HELP_COMMUNITY_LINK},
      {HELP_HIT_CLOSE, HELP_HIT_CLOSE, ACT_CLOSE_PANEL, ""},
      {0, 1, -1, ""},
      {HELP_HIT_CLOSE, 2, -1, ""},
  };
  for (const Case& c : cases) {
    ActionList out{};
    const auto [px, py] = centre(c.press);
    const auto [rx, ry] = centre(c.release);
    EXPECT_EQ(help_sheet_hit(&h, kPanel, px, py), c.press);
    EXPECT_TRUE(help_sheet_pointer(&h, kPanel, 1, px, py, &out));
    EXPECT_TRUE(help_sheet_pointer(&h, kPanel, 3, rx, ry, &out));
    if (c.kind < 0) {
      EXPECT_EQ(out.count, 0) << c.press << "->" << c.release;
    } else {
      ASSERT_EQ(out.count, 1) << c.press;
      EXPECT_EQ(out.items[0].kind, c.kind);
      EXPECT_STREQ(out.items[0].text, c.text);
    }
  }
  // At the top the links lie below the view: a press where one would be finds nothing.
  h.scroll = 0;
  const DrawRect r = help_sheet_link_rect(&h, kPanel, 0);
  EXPECT_GT(r.y, kPanel.y + kPanel.h);
  ActionList out{};
  EXPECT_FALSE(help_sheet_pointer(&h, kPanel, 1, 10.0f, 10.0f, &out));  // outside the panel
}

TEST(HelpSheet, ScrollingStaysWithinItsEnds) {
  Fonts f;
  HelpSheet h;
  help_sheet_init(&h);
  help_sheet_layout(&h, kPanel, 1.0f);
  const float max = help_sheet_max_scroll(&h), page = h.view_h - 40.0f;
  struct Case {
    float from;
    int32_t key;  // 0: one wheel notch towards the user
    float want;
  } cases[] = {
      {0, SDLK_PAGEDOWN, page}, {0, SDLK_PAGEUP, 0}, {0, SDLK_END, max},        {max, SDLK_HOME, 0},
      {max, SDLK_DOWN, max},    {100, SDLK_UP, 60},  {max, SDLK_PAGEDOWN, max}, {0, 0, 48},
      {max - 10, 0, max},
  };
  for (const Case& c : cases) {
    h.scroll = c.from;
    if (c.key)
      EXPECT_TRUE(help_sheet_key(&h, c.key));
    else
      help_sheet_wheel(&h, -1.0f);
    EXPECT_FLOAT_EQ(h.scroll, c.want) << c.from << " key " << c.key;
  }
  EXPECT_FALSE(help_sheet_key(&h, SDLK_a));
  help_sheet_open(&h);
  EXPECT_EQ(h.scroll, 0.0f);

  // A sheet shorter than its view never scrolls.
  HelpSheet tall;
  help_sheet_init(&tall);
  help_sheet_layout(&tall, DrawRect{0, 0, 900, 20000}, 1.0f);
  EXPECT_TRUE(help_sheet_key(&tall, SDLK_PAGEDOWN));
  EXPECT_EQ(tall.scroll, 0.0f);
}

}  // namespace
