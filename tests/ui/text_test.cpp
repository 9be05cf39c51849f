#include "ui/text.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ui/draw.h"

#include "support/fontconfig_leaks.h"

namespace {

constexpr int kW = 400, kH = 160;

TextStyle style(int role, float size = 20, int weight = 400, float tracking = 0) {
  return TextStyle{role, size, weight, tracking};
}

struct Box {
  int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;  // inclusive; empty when x1 < 0
  bool empty() const { return x1 < 0; }
};

// Text on a software renderer over a plain surface: no display needed.
class TextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    surface_ = SDL_CreateRGBSurfaceWithFormat(0, kW, kH, 32, SDL_PIXELFORMAT_ARGB8888);
    ASSERT_NE(surface_, nullptr);
    renderer_ = SDL_CreateSoftwareRenderer(surface_);
    ASSERT_NE(renderer_, nullptr);
    painter_ = draw_new(renderer_, 1.0f);
    ASSERT_NE(painter_, nullptr);
    ASSERT_EQ(text_init(renderer_), 0);
    text_set_pixel_scale(1.0f);
  }
  void TearDown() override {
    text_free();
    if (painter_) draw_free(painter_);
    if (renderer_) SDL_DestroyRenderer(renderer_);
    if (surface_) SDL_FreeSurface(surface_);
  }

  void clear(uint8_t grey) {
    SDL_SetRenderDrawColor(renderer_, grey, grey, grey, 255);
    SDL_RenderClear(renderer_);
  }
  uint32_t pixel(int x, int y) {
    return static_cast<const uint32_t*>(surface_->pixels)[y * (surface_->pitch / 4) + x];
  }
  int green(int x, int y) { return (pixel(x, y) >> 8) & 0xFF; }
  void finish() {
    draw_flush(painter_);
    SDL_RenderFlush(renderer_);
  }
  // Bounding box of pixels whose green differs from the background.
  Box ink(int background) {
    finish();
    Box b;
    for (int y = 0; y < kH; y++)
      for (int x = 0; x < kW; x++)
        if (green(x, y) != background) {
          b.x0 = std::min(b.x0, x);
          b.y0 = std::min(b.y0, y);
          b.x1 = std::max(b.x1, x);
          b.y1 = std::max(b.y1, y);
        }
    return b;
  }
  std::vector<TextRunInfo> runs(TextStyle s, const char* text, TextLayoutInfo* info = nullptr) {
    TextLayoutInfo local{};
    TextLayoutInfo* i = info ? info : &local;
    std::vector<TextRunInfo> out(64);
    EXPECT_EQ(text_layout_query(s, 1.0f, text, i, out.data(), 64), 0) << text;
    out.resize(static_cast<size_t>(i->runs));
    return out;
  }

  SDL_Surface* surface_ = nullptr;
  SDL_Renderer* renderer_ = nullptr;
  Painter* painter_ = nullptr;
};

// --- Families and layout -----------------------------------------------------------------------

TEST_F(TextTest, EveryRoleHasAFamily) {
  for (int r = 0; r < TEXT_ROLES; r++) EXPECT_STRNE(text_family(r), "") << r;
  EXPECT_STREQ(text_family(9), text_family(TEXT_MONO));
  EXPECT_STREQ(text_partner(TEXT_SYMBOL), "");
}

struct RunCase {
  const char* name;
  int role;
  const char* text;
  int chars;
  std::vector<std::pair<int, int>> runs;  // (role, characters)
};

TEST_F(TextTest, CharactersPickRolesAndFormRuns) {
  const RunCase cases[] = {
      {"cjk inside heading", TEXT_HEAD, "KELP録", 5, {{TEXT_HEAD, 4}, {TEXT_CJK, 1}}},
      {"emoji above the BMP", TEXT_HEAD, "a\xF0\x9F\x98\x80" "b", 3,
       {{TEXT_HEAD, 1}, {TEXT_MONO, 1}, {TEXT_HEAD, 1}}},
      {"zero width joiner", TEXT_HEAD, "a\u200D" "b", 2, {{TEXT_HEAD, 2}}},
      {"byte order mark", TEXT_HEAD, "\uFEFF" "ab", 2, {{TEXT_HEAD, 2}}},
      {"controls and variation selector", TEXT_HEAD, "a\x01\x7F\xC2\x85\uFE0F" "b", 2,
       {{TEXT_HEAD, 2}}},
      {"arrow goes to symbols", TEXT_MONO, "a\u2192", 2, {{TEXT_MONO, 1}, {TEXT_SYMBOL, 1}}},
      {"halfwidth katakana is cjk", TEXT_MONO, "\uFF71", 1, {{TEXT_CJK, 1}}},
      {"space keeps the requested role", TEXT_HEAD, "日 本", 3,
       {{TEXT_CJK, 1}, {TEXT_HEAD, 1}, {TEXT_CJK, 1}}},
      {"bad byte is one replacement", TEXT_HEAD, "a\xFF" "b", 3, {}},
      {"cut sequence is one per byte", TEXT_HEAD, "\xE6\x88", 2, {}},
      {"unknown role is mono", 7, "ab", 2, {{TEXT_MONO, 2}}},
      {"empty", TEXT_HEAD, "", 0, {}},
  };
  for (const RunCase& c : cases) {
    SCOPED_TRACE(c.name);
    TextLayoutInfo info{};
    std::vector<TextRunInfo> got = runs(style(c.role), c.text, &info);
    EXPECT_EQ(info.chars, c.chars);
    if (c.runs.empty() && c.chars > 0) continue;
    ASSERT_EQ(got.size(), c.runs.size());
    int x = 0, first = 0;
    for (size_t i = 0; i < got.size(); i++) {
      EXPECT_EQ(got[i].role, c.runs[i].first) << i;
      EXPECT_EQ(got[i].count, c.runs[i].second) << i;
      EXPECT_EQ(got[i].first, first);
      EXPECT_EQ(got[i].x, x);  // runs follow one another
      first += got[i].count;
      x += got[i].width;
    }
    EXPECT_EQ(info.width, x);
  }
}

TEST_F(TextTest, CjkRunUsesItsOwnFaceAndTheLineIsAsTallAsTheTallest) {
  TextLayoutInfo mixed{}, latin{}, cjk{};
  std::vector<TextRunInfo> r = runs(style(TEXT_HEAD), "KELP録", &mixed);
  runs(style(TEXT_HEAD), "KELP", &latin);
  runs(style(TEXT_HEAD), "録", &cjk);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_STRNE(r[0].face, r[1].face);
  EXPECT_EQ(std::string(r[1].face).rfind(text_family(TEXT_CJK), 0), 0u) << r[1].face;
  EXPECT_GT(r[1].width, 0);
  EXPECT_EQ(mixed.ascent, std::max(latin.ascent, cjk.ascent));
  EXPECT_EQ(mixed.descent, std::max(latin.descent, cjk.descent));
}

TEST_F(TextTest, ZeroWidthCharactersTakeNoSpace) {
  float plain = text_measure(style(TEXT_HEAD), "ab");
  ASSERT_GT(plain, 0.0f);
  for (const char* t : {"a\u200D" "b", "\uFEFF" "ab", "a\u200B" "b\n", "\tab\r"})
    EXPECT_EQ(text_measure(style(TEXT_HEAD), t), plain) << t;
}

TEST_F(TextTest, EmojiDrawsAsTheMonoQuestionMark) {
  std::vector<TextRunInfo> emoji = runs(style(TEXT_HEAD), "\xF0\x9F\x98\x80");
  std::vector<TextRunInfo> mark = runs(style(TEXT_MONO), "?");
  ASSERT_EQ(emoji.size(), 1u);
  ASSERT_EQ(mark.size(), 1u);
  EXPECT_EQ(emoji[0].role, TEXT_MONO);
  EXPECT_EQ(emoji[0].width, mark[0].width);
  EXPECT_STREQ(emoji[0].face, mark[0].face);
}

TEST_F(TextTest, TrackingAddsToEveryCharacter) {
  struct {
    float tracking;
    int per_char;
  } cases[] = {{2.0f, 2}, {0.5f, 1}, {-0.5f, -1}, {1.4f, 1}};
  int plain = runs(style(TEXT_HEAD), "KELP録")[0].width;
  for (auto c : cases) {
    std::vector<TextRunInfo> r = runs(style(TEXT_HEAD, 20, 400, c.tracking), "KELP録");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].width, plain + 4 * c.per_char) << c.tracking;
  }
}

TEST_F(TextTest, SemiboldUsesThePartnerOrTheRegularFace) {
  std::string regular = runs(style(TEXT_HEAD, 20, 400), "Untitled")[0].face;
  std::string semibold = runs(style(TEXT_HEAD, 20, 600), "Untitled")[0].face;
  std::string bold = runs(style(TEXT_HEAD, 20, 700), "Untitled")[0].face;
  if (text_partner(TEXT_HEAD)[0])
    EXPECT_EQ(semibold, text_partner(TEXT_HEAD));
  else
    EXPECT_EQ(semibold, regular);  // nothing synthesized
  EXPECT_NE(bold, semibold);
  // Below 100 means regular.
  EXPECT_EQ(std::string(runs(style(TEXT_HEAD, 20, 0), "U")[0].face), regular);
}

// --- Wrapping ------------------------------------------------------------------------------------

struct WrapCase {
  const char* text;
  const char* width_of;  // the width is this text's measure (null: very wide)
  std::vector<int> starts;
};

TEST_F(TextTest, Wrap) {
  const WrapCase cases[] = {
      {"one two three", "one two", {0, 8}},
      {"one two three", "one", {0, 4, 8}},
      {"a extraordinarily b", "a b", {0, 2, 18}},
      {"extraordinarily", "a", {0}},
      {"one\ntwo", nullptr, {0, 4}},
      {"one\n\ntwo", nullptr, {0, 4, 5}},
      {"one\n", nullptr, {0, 4}},
      {"one   two", "one", {0, 6}},
      {"one two\nthree four", "one two", {0, 8, 14}},
      {"", nullptr, {}},
  };
  TextStyle s = style(TEXT_HEAD, 16);
  for (const WrapCase& c : cases) {
    SCOPED_TRACE(c.text);
    float width = c.width_of ? text_measure(s, c.width_of) : 10000.0f;
    int starts[16];
    int n = text_wrap(s, c.text, width, starts, 16);
    EXPECT_EQ(std::vector<int>(starts, starts + n), c.starts);
  }
  int one[1];
  EXPECT_EQ(text_wrap(s, "one two three", text_measure(s, "one"), one, 1), 1);
}

// --- String cache --------------------------------------------------------------------------------

TEST_F(TextTest, HashOfKnownKeys) {
  struct {
    int role, size, weight, tracking;
    const char* text;
    uint32_t hash;
  } cases[] = {
      {1, 20, 400, 0, "KELP", 0xd84aa5c8u},
      {0, 12, 700, -3, "A", 0xc62faf7du},
      {3, 1, 400, 0, "", 0xbacdb9f1u},
  };
  for (auto c : cases)
    EXPECT_EQ(text_cache_hash(c.role, c.size, c.weight, c.tracking, c.text, strlen(c.text)),
              c.hash)
        << c.text;
}

TEST_F(TextTest, InitWarmsTheCache) {
  EXPECT_EQ(text_cache_count(), 8);
  EXPECT_TRUE(text_cache_has(style(TEXT_CJK, 22), 1.0f, "録"));
  EXPECT_TRUE(text_cache_has(style(TEXT_MONO, 12, 700), 1.0f, "SAVING…"));
  EXPECT_TRUE(text_cache_has(style(TEXT_HEAD, 15, 600), 1.0f, "Untitled"));
  // A device reset starts over with the same warm set.
  ASSERT_EQ(text_init(renderer_), 0);
  EXPECT_EQ(text_cache_count(), 8);
}

TEST_F(TextTest, KeysNormaliseStyle) {
  const DrawColour white{1, 1, 1, 1};
  text_draw(painter_, style(TEXT_HEAD, 20, 600), 0, 0, TEXT_LEFT, white, "Same", false);
  text_draw(painter_, style(TEXT_HEAD, 20, 700), 0, 0, TEXT_LEFT, white, "Same", false);
  EXPECT_EQ(text_cache_count(), 10);  // two weights, two entries
  text_draw(painter_, style(9, 12.4f, 50, 0.5f), 0, 0, TEXT_LEFT, white, "k", false);
  struct {
    TextStyle s;
    bool has;
  } cases[] = {
      {style(TEXT_MONO, 12, 400, 1), true},       // role 9 is mono, weight 50 is 400
      {style(TEXT_MONO, 11.6f, 400, 0.6f), true},  // both round to the same pixels
      {style(TEXT_MONO, 13, 400, 1), false},
      {style(TEXT_MONO, 12, 400, 0), false},
      {style(TEXT_MONO, 12, 401, 1), false},
  };
  for (auto c : cases) EXPECT_EQ(text_cache_has(c.s, 1.0f, "k"), c.has) << c.s.size;
  EXPECT_FALSE(text_cache_has(style(TEXT_MONO, 12, 400, 1), 2.0f, "k"));
}

TEST_F(TextTest, EvictsTheLeastRecentlyStamped) {
  const DrawColour white{1, 1, 1, 1};
  char buf[16];
  for (int i = 0; i < TEXT_CACHE_ENTRIES; i++) {
    text_frame();
    snprintf(buf, sizeof buf, "s%d", i);
    text_draw(painter_, style(TEXT_MONO, 8), 0, 0, TEXT_LEFT, white, buf, false);
  }
  EXPECT_EQ(text_cache_count(), TEXT_CACHE_ENTRIES);
  EXPECT_FALSE(text_cache_has(style(TEXT_CJK, 22), 1.0f, "録"));  // the warm ones went first
  text_frame();
  text_draw(painter_, style(TEXT_MONO, 8), 0, 0, TEXT_LEFT, white, "s0", false);  // re-stamped
  text_draw(painter_, style(TEXT_MONO, 8), 0, 0, TEXT_LEFT, white, "fresh", false);
  EXPECT_EQ(text_cache_count(), TEXT_CACHE_ENTRIES);
  EXPECT_TRUE(text_cache_has(style(TEXT_MONO, 8), 1.0f, "s0"));
  EXPECT_FALSE(text_cache_has(style(TEXT_MONO, 8), 1.0f, "s1"));
  EXPECT_TRUE(text_cache_has(style(TEXT_MONO, 8), 1.0f, "s2"));
  EXPECT_TRUE(text_cache_has(style(TEXT_MONO, 8), 1.0f, "fresh"));
}

// --- Drawing -------------------------------------------------------------------------------------

TEST_F(TextTest, CoverageStaysInsideTheMeasuredBox) {
  const DrawColour white{1, 1, 1, 1};
  struct {
    int align;
    const char* text;
    int role;
  } cases[] = {{TEXT_LEFT, "KELP", TEXT_HEAD},
               {TEXT_CENTRE, "KELP録", TEXT_HEAD},
               {TEXT_RIGHT, "mono 42", TEXT_MONO}};
  for (auto c : cases) {
    SCOPED_TRACE(c.text);
    clear(0);
    TextStyle s = style(c.role, 24);
    const float x = 200.3f, y = 40.4f;
    float w = text_draw(painter_, s, x, y, c.align, white, c.text, false);
    EXPECT_FLOAT_EQ(w, text_measure(s, c.text));
    TextLayoutInfo info{};
    ASSERT_EQ(text_layout_query(s, 1.0f, c.text, &info, nullptr, 0), 0);
    float left = c.align == TEXT_LEFT ? x : c.align == TEXT_CENTRE ? x - w / 2 : x - w;
    int bx = static_cast<int>(std::floor(left + 0.5f)), by = 40;
    Box b = ink(0);
    ASSERT_FALSE(b.empty());
    EXPECT_GE(b.x0, bx - 1);
    EXPECT_LE(b.x1, bx + info.width);
    EXPECT_GE(b.y0, by);
    EXPECT_LT(b.y1, by + info.ascent + info.descent);
    EXPECT_GT(b.x1 - b.x0, info.width / 2);
  }
}

TEST_F(TextTest, HighDensityDrawsOneTexelPerPixel) {
  Painter* dense = draw_new(renderer_, 2.0f);
  ASSERT_NE(dense, nullptr);
  clear(0);
  TextStyle s = style(TEXT_HEAD, 12);
  float w = text_draw(dense, s, 50.2f, 20, TEXT_LEFT, DrawColour{1, 1, 1, 1}, "KELP", false);
  draw_flush(dense);
  TextLayoutInfo info{};
  ASSERT_EQ(text_layout_query(s, 2.0f, "KELP", &info, nullptr, 0), 0);
  EXPECT_FLOAT_EQ(w, info.width / 2.0f);           // points
  EXPECT_FLOAT_EQ(text_measure(s, "KELP"), w);     // measures at the scale last drawn
  EXPECT_GT(info.width, runs(s, "KELP")[0].width);  // 24 px, not 12
  Box b = ink(0);
  ASSERT_FALSE(b.empty());
  EXPECT_GE(b.x0, 99);
  EXPECT_LE(b.x1, 100 + info.width);
  EXPECT_GE(b.y0, 40);
  EXPECT_LT(b.y1, 40 + info.ascent + info.descent);
  draw_free(dense);
}

TEST_F(TextTest, ShadowFallsBelowTheText) {
  clear(128);
  TextStyle s = style(TEXT_HEAD, 24);
  text_draw(painter_, s, 20, 20, TEXT_LEFT, DrawColour{1, 1, 1, 1}, "KELP", true);
  finish();
  TextLayoutInfo info{};
  ASSERT_EQ(text_layout_query(s, 1.0f, "KELP", &info, nullptr, 0), 0);
  // Under the baseline, where the letters leave the background, the shadow darkens it.
  int darkest = 255;
  for (int y = 20 + info.ascent; y < 20 + info.ascent + 8; y++)
    for (int x = 20; x < 20 + info.width; x++) darkest = std::min(darkest, green(x, y));
  EXPECT_LT(darkest, 110);
  EXPECT_EQ(green(kW - 1, kH - 1), 128);  // far away it leaves the background alone
  int brightest = 0;  // the text stays on top of its shadow
  for (int y = 20; y < 20 + info.ascent; y++)
    for (int x = 20; x < 20 + info.width; x++) brightest = std::max(brightest, green(x, y));
  EXPECT_GT(brightest, 240);
}

TEST_F(TextTest, WhatCannotBeDrawnIsSkipped) {
  const DrawColour white{1, 1, 1, 1};
  clear(0);
  std::string wide(100, 'M');
  float w = text_draw(painter_, style(TEXT_HEAD, 400), 0, 0, TEXT_LEFT, white, wide.c_str(), false);
  EXPECT_GT(w, static_cast<float>(TEXT_MAX_WIDTH));
  EXPECT_TRUE(ink(0).empty());
  EXPECT_EQ(text_draw(painter_, style(TEXT_HEAD, NAN), 0, 0, TEXT_LEFT, white, "x", false), 0.0f);
  EXPECT_EQ(text_draw(painter_, style(TEXT_HEAD), 0, 0, TEXT_LEFT, white, nullptr, false), 0.0f);
  // Invisible text still measures.
  EXPECT_GT(text_draw(painter_, style(TEXT_HEAD), 5, 5, TEXT_LEFT, DrawColour{1, 1, 1, 0}, "x",
                      true),
            0.0f);
  EXPECT_TRUE(ink(0).empty());
  text_free();
  EXPECT_EQ(text_draw(painter_, style(TEXT_HEAD), 5, 5, TEXT_LEFT, white, "x", false), 0.0f);
  EXPECT_EQ(text_measure(style(TEXT_HEAD), "x"), 0.0f);
  EXPECT_EQ(text_wrap(style(TEXT_HEAD), "x y", 1.0f, nullptr, 0), 0);
}

}  // namespace
