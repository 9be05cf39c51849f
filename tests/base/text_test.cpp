#include "base/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

TEST(Text, ValidSequencesAndRepair) {
  // the edges of each lead byte's range: overlongs, surrogates, above U+10FFFF, cut short
  EXPECT_EQ(text_utf8_sequence("\0", 1), 1);
  EXPECT_EQ(text_utf8_sequence("\xC1\xBF", 2), 0);
  EXPECT_EQ(text_utf8_sequence("\xC2\x80", 2), 2);
  EXPECT_EQ(text_utf8_sequence("\xDF", 1), 0);
  EXPECT_EQ(text_utf8_sequence("\xE0\x9F\xBF", 3), 0);
  EXPECT_EQ(text_utf8_sequence("\xE0\xA0\x80", 3), 3);
  EXPECT_EQ(text_utf8_sequence("\xED\x9F\xBF", 3), 3);
  EXPECT_EQ(text_utf8_sequence("\xED\xA0\x80", 3), 0);
  EXPECT_EQ(text_utf8_sequence("\xEF\xBF\xBD", 2), 0);
  EXPECT_EQ(text_utf8_sequence("\xF0\x8F\xBF\xBF", 4), 0);
  EXPECT_EQ(text_utf8_sequence("\xF0\x90\x80\x80", 4), 4);
  EXPECT_EQ(text_utf8_sequence("\xF4\x8F\xBF\xBF", 4), 4);
  EXPECT_EQ(text_utf8_sequence("\xF4\x90\x80\x80", 4), 0);
  EXPECT_EQ(text_utf8_sequence("\xF5\x80\x80\x80", 4), 0);
  EXPECT_EQ(text_utf8_sequence("\x80", 1), 0);
  EXPECT_EQ(text_utf8_sequence(nullptr, 4), 0);

  size_t n = 0;
  bool replaced = false;
  char* fixed = text_utf8_repair("a\xFF\xC3\xA9\xE2\x82", 6, &n, &replaced);
  EXPECT_EQ(std::string(fixed, n), "a\xEF\xBF\xBD\xC3\xA9\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_TRUE(replaced);
  free(fixed);
  fixed = text_utf8_repair("ok", 2, &n, &replaced);
  EXPECT_STREQ(fixed, "ok");
  EXPECT_FALSE(replaced);
  free(fixed);
}

TEST(Text, ValidCopyReplacesAndCutsAtCharacters) {
  char out[6];
  bool cut = false, replaced = false;
  // "aé" plus "€" (3 bytes) does not fit 5 bytes: the euro sign goes whole.
  EXPECT_EQ(text_copy_valid(out, sizeof out, "a\xC3\xA9\xE2\x82\xAC", SIZE_MAX, &cut, &replaced), 3u);
  EXPECT_TRUE(cut);
  EXPECT_FALSE(replaced);
  EXPECT_EQ(out[3] | out[4] | out[5], 0);
  EXPECT_EQ(text_copy_valid(out, sizeof out, "\xE2\x82x", 3, &cut, &replaced), 4u);
  EXPECT_STREQ(out, "\xEF\xBF\xBDx");  // a truncated sequence becomes one U+FFFD
  EXPECT_TRUE(replaced);
  EXPECT_EQ(text_copy_valid(out, sizeof out, "\xED\xA0\x80", 3, &cut, &replaced), 3u * 1);
  EXPECT_TRUE(replaced);  // surrogates are not text
}

TEST(Text, BoundedCopyAndCutEndOnWholeCharacters) {
  struct Case {
    const char* src;
    size_t size;
    const char* want;
    bool fits;
  } cases[] = {
      {"abc", 8, "abc", true},
      {"abcdef", 4, "abc", false},
      {"a\xC3\xA9", 3, "a", false},         // é does not fit whole
      {"a\xE2\x82", 8, "a", true},          // a broken end is dropped
      {nullptr, 4, "", true},
  };
  for (const Case& c : cases) {
    char out[8];
    memset(out, 'x', sizeof out);
    EXPECT_EQ(text_copy(out, c.size, c.src), c.fits) << c.want;
    EXPECT_STREQ(out, c.want);
    for (size_t i = strlen(out); i < c.size; i++) EXPECT_EQ(out[i], 0);
  }
  char s[] = "ab\xE2\x82\xACz";
  EXPECT_EQ(text_utf8_cut(s, 4), 2u);
  EXPECT_STREQ(s, "ab");
}
