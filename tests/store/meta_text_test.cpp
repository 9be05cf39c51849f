// The sketch's title and date as the user reads them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "store/meta.h"
#include "store/meta_test_util.h"

using namespace meta_test;

TEST(MetaText, TitleFromNameOrTime) {
  SketchMeta m;
  meta_new(&m, 0);
  char buf[300];
  m.createdAt = 755412780;  // 2024-12-09 04:53 UTC
  EXPECT_GT(meta_title(&m, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "Recording \xC2\xB7 Dec 9 \xC2\xB7 4:53AM");
  m.createdAt = 755395500;  // 00:05
  meta_title(&m, buf, sizeof buf);
  EXPECT_STREQ(buf, "Recording \xC2\xB7 Dec 9 \xC2\xB7 12:05AM");
  m.createdAt = 728398800;  // 2024-01-31 13:00
  meta_title(&m, buf, sizeof buf);
  EXPECT_STREQ(buf, "Recording \xC2\xB7 Jan 31 \xC2\xB7 1:00PM");
  for (double bad : {(double)NAN, (double)INFINITY, -978307201.0, 32503680001.0 - 978307200.0}) {
    m.createdAt = bad;
    meta_title(&m, buf, sizeof buf);
    EXPECT_STREQ(buf, "Recording") << bad;
  }
  m.createdAt = -978307200;  // 1970-01-01 itself is still a date
  meta_title(&m, buf, sizeof buf);
  EXPECT_STREQ(buf, "Recording \xC2\xB7 Jan 1 \xC2\xB7 12:00AM");

  strcpy(m.name, "\xC3\xA9t\xC3\xA9");  // été
  EXPECT_EQ(meta_title(&m, buf, sizeof buf), 5);
  EXPECT_STREQ(buf, "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(meta_title(&m, buf, 2), 0);  // "é" needs 2 bytes + terminator
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(meta_title(&m, buf, 5), 3);
  EXPECT_STREQ(buf, "\xC3\xA9t");
  m.name[0] = 0;
  m.createdAt = 755412780;
  EXPECT_EQ(meta_title(&m, buf, 13), 12);  // "Recording ·" cut before a split
  EXPECT_STREQ(buf, "Recording \xC2\xB7");
  EXPECT_EQ(meta_title(&m, buf, 12), 10);
  meta_free(&m);
}

TEST(MetaText, DateInTheUsersLocale) {
  SketchMeta m;
  meta_new(&m, 0);
  char buf[128];
  m.createdAt = 755412780;
  EXPECT_GT(meta_date_text(&m, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "Dec 9, 2024, 04:53");  // the C locale: 24-hour time without seconds
  EXPECT_EQ(meta_date_text(&m, buf, 8), 7);
  EXPECT_STREQ(buf, "Dec 9, ");
  m.createdAt = NAN;
  EXPECT_EQ(meta_date_text(&m, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  meta_free(&m);
}
