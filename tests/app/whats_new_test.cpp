// What's new: the version comparison, which entry a version finds, the once-after-update opening
// and its stamp over two starts, paging and the card's buttons, and every entry laid out and drawn
// at the smallest window without a line running past its column.
#include "app/whats_new.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/fontconfig_leaks.h"
#include "support/soft_canvas.h"
#include "ui/text.h"

namespace {

// The card at the smallest window (720 x 480): 440 wide, below the top bar.
constexpr DrawRect kSmallCard = {264, 60, 440, 404};

TEST(VersionCompare, ReadsPartByPart) {
  struct Case {
    const char* a;
    const char* b;
    int want;
  } cases[] = {
      {"1.0.10", "1.0.9", 1},
      {"1.0", "1.0.0", 0},
      {"1.x", "1.0", 0},
      {"1.0.4", "1.0.5", -1},
      {"..1.2", "1.2", 0},
      {"1.-1", "1.0", -1},
      {"1.+", "1.0", 0},
      {"2", "1.99.99", 1},
      {"", "0", 0},
      {"0.9", "1.0.5", -1},
      {"1.0.5a", "1", 0},
      {"1.0.5", "1.0.5", 0},
      {"99999999999999999999", "99999999999999999", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(version_compare(c.a, c.b), c.want) << c.a << " vs " << c.b;
    EXPECT_EQ(version_compare(c.b, c.a), -c.want) << c.b << " vs " << c.a;
  }
}

TEST(WhatsNewFind, TheNewestEntryNotAboveTheVersion) {
  struct Case {
    const char* version;
    int want;
  } cases[] = {{"1.0.5", 0}, {"2.0", 0}, {"1.0.4.1", 1}, {"1.0.2", 3}, {"1.0", 5}, {"0.9", -1}};
  for (const Case& c : cases) EXPECT_EQ(whatsnew_find(c.version), c.want) << c.version;
}

TEST(WhatsNewEntries, SayThisPlatformAndItsFolders) {
  for (int i = 0; i < WHATSNEW_ENTRIES; i++) {
    const WhatsNewEntry* e = whatsnew_entry(i);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(whatsnew_find(e->version), i);  // newest first, one per version
    std::string all = std::string(e->title) + e->link_label;
    for (int k = 0; k < e->item_count; k++) all += e->items[k].text;
    EXPECT_EQ(all.find("indows"), std::string::npos) << i;
    EXPECT_EQ(all.find('\\'), std::string::npos) << i;
  }
  EXPECT_EQ(whatsnew_entry(6), nullptr);
}

struct Start {
  WhatsNew w;
  char seen[24];
  explicit Start(const char* stamp) {
    whatsnew_init(&w);
    snprintf(seen, sizeof seen, "%s", stamp);
  }
};

TEST(WhatsNewStart, ShowsOnceAfterAnUpdate) {
  struct Case {
    const char* seen;
    bool saves;
    int pending;
    const char* after;
  } cases[] = {
      {"", true, -1, "1.0.5"},       // first run: stamped, nothing shows
      {"1.0.4", false, 0, "1.0.4"},  // an update: the running version's entry
      {"0.9", false, 0, "0.9"},     {"1.0.5", false, -1, "1.0.5"},  // already seen
      {"1.1", false, -1, "1.1"},                                    // a newer program ran here
  };
  for (const Case& c : cases) {
    Start s(c.seen);
    EXPECT_EQ(whatsnew_start(&s.w, s.seen, sizeof s.seen, "1.0.5"), c.saves) << c.seen;
    EXPECT_EQ(s.w.pending, c.pending) << c.seen;
    EXPECT_STREQ(s.seen, c.after) << c.seen;
  }
  // A running version older than every entry has nothing to show: stamped at once.
  Start old("0.1");
  EXPECT_TRUE(whatsnew_start(&old.w, old.seen, sizeof old.seen, "0.5"));
  EXPECT_STREQ(old.seen, "0.5");
}

TEST(WhatsNewStart, OpensAfterTheFirstFrameAndStampsWhenClosed) {
  Start s("1.0.4");
  whatsnew_start(&s.w, s.seen, sizeof s.seen, "1.0.5");
  EXPECT_FALSE(whatsnew_auto_open(&s.w, 10.0, false, false));  // the first frame
  EXPECT_FALSE(whatsnew_auto_open(&s.w, 10.55, false, false));
  EXPECT_FALSE(whatsnew_auto_open(&s.w, 10.7, true, false));  // another panel is open
  EXPECT_FALSE(whatsnew_auto_open(&s.w, 10.7, false, true));  // the name is being edited
  EXPECT_TRUE(whatsnew_auto_open(&s.w, 10.7, false, false));
  EXPECT_EQ(s.w.card.entry, 0);
  EXPECT_FALSE(s.w.card.by_user);
  EXPECT_FALSE(whatsnew_auto_open(&s.w, 11.0, false, false));  // once
  EXPECT_TRUE(whatsnew_closed(&s.w, s.seen, sizeof s.seen, "1.0.5"));
  EXPECT_STREQ(s.seen, "1.0.5");
  EXPECT_FALSE(whatsnew_closed(&s.w, s.seen, sizeof s.seen, "1.0.5"));

  Start next(s.seen);
  EXPECT_FALSE(whatsnew_start(&next.w, next.seen, sizeof next.seen, "1.0.5"));
  EXPECT_FALSE(whatsnew_auto_open(&next.w, 0.0, false, false));
  EXPECT_FALSE(whatsnew_auto_open(&next.w, 5.0, false, false));

  // Opened by the user, the card stamps nothing.
  Start user("1.0.4");
  whatsnew_open_by_user(&user.w.card, "1.0.5", false);
  EXPECT_EQ(user.w.card.entry, 0);
  EXPECT_FALSE(whatsnew_closed(&user.w, user.seen, sizeof user.seen, "1.0.5"));
  EXPECT_STREQ(user.seen, "1.0.4");
}

TEST(WhatsNewCard, PagesWithinTheListOnly) {
  WhatsNewCard c{};
  whatsnew_turn(&c, 0, true);
  EXPECT_FALSE(whatsnew_page(&c, -1, true));  // the right arrow on the newest
  EXPECT_FALSE(whatsnew_page(&c, 1, false));  // the panel is closed
  EXPECT_FALSE(whatsnew_page(&c, 0, true));
  for (int i = 1; i < WHATSNEW_ENTRIES; i++) EXPECT_TRUE(whatsnew_page(&c, 3, true));
  EXPECT_EQ(c.entry, 5);
  EXPECT_FALSE(whatsnew_page(&c, 1, true));  // the left arrow on the oldest
  EXPECT_TRUE(whatsnew_page(&c, -1, true));
  EXPECT_EQ(c.entry, 4);
  whatsnew_turn(&c, 9, true);
  EXPECT_EQ(c.entry, -1);
  EXPECT_FALSE(whatsnew_page(&c, 1, true));

  ActionList out{};
  EXPECT_TRUE(whatsnew_key(SDLK_LEFT, &out));
  EXPECT_TRUE(whatsnew_key(SDLK_RIGHT, &out));
  EXPECT_FALSE(whatsnew_key(SDLK_UP, &out));
  ASSERT_EQ(out.count, 2);
  EXPECT_EQ(out.items[0].value, 1);
  EXPECT_EQ(out.items[1].value, -1);
}

struct Drawn {
  SoftCanvas canvas{720, 480};
  Drawn() {
    EXPECT_EQ(text_init(canvas.renderer), 0);
    text_set_pixel_scale(1.0f);
  }
  ~Drawn() { text_free(); }
};

TEST(WhatsNewCard, ButtonsActWhenPressedAndReleasedOverThem) {
  Drawn d;
  WhatsNewCard c{};
  whatsnew_turn(&c, 4, true);  // short enough that its link row shows
  whatsnew_wheel(&c, kSmallCard, 1, 0);
  struct Case {
    int button;
    int kind, value;
  } cases[] = {
      {WHATSNEW_HIT_LINK, ACT_OPEN_LINK, 0},        {WHATSNEW_HIT_SHARE, ACT_COPY_TEXT, 0},
      {WHATSNEW_HIT_GOT_IT, ACT_CLOSE_PANEL, 0},    {WHATSNEW_HIT_OLDER, ACT_WHATS_NEW_PAGE, 1},
      {WHATSNEW_HIT_NEWER, ACT_WHATS_NEW_PAGE, -1},
  };
  for (const Case& k : cases) {
    const DrawRect b = whatsnew_button(&c, kSmallCard, 1, k.button);
    ActionList out{};
    EXPECT_TRUE(whatsnew_pointer(&c, kSmallCard, 1, 1, 1, b.x + 4, b.y + 4, 20.0, &out));
    EXPECT_TRUE(whatsnew_pointer(&c, kSmallCard, 1, 3, 1, b.x + 5, b.y + 5, 20.0, &out));
    ASSERT_EQ(out.count, 1) << k.button;
    EXPECT_EQ(out.items[0].kind, k.kind);
    EXPECT_EQ(out.items[0].value, k.value);
    if (k.kind != ACT_WHATS_NEW_PAGE && k.kind != ACT_CLOSE_PANEL) {
      EXPECT_STREQ(out.items[0].text, WHATSNEW_LINK);
    }
    whatsnew_pointer(&c, kSmallCard, 1, 1, 1, b.x + 4, b.y + 4, 20.0, &out);
    whatsnew_pointer(&c, kSmallCard, 1, 3, 1, kSmallCard.x + 2, kSmallCard.y + 200, 20.0, &out);
    EXPECT_EQ(out.count, 1) << "released elsewhere";
  }
  EXPECT_DOUBLE_EQ(c.copied_until, 21.5);
}

TEST(WhatsNewCard, EveryEntryFitsTheSmallestWindow) {
  Drawn d;
  const TextStyle item = {TEXT_HEAD, 16.0f, 400, 0.0f};
  const TextStyle title = {TEXT_HEAD, 19.0f, 600, 0.0f};
  const TextStyle headline = {TEXT_HEAD, 23.0f, 700, 0.0f};
  const TextStyle date = {TEXT_HEAD, 11.0f, 400, 2.0f};
  for (int i = 0; i < WHATSNEW_ENTRIES; i++) {
    WhatsNewCard c{};
    whatsnew_turn(&c, i, true);
    whatsnew_draw(&c, d.canvas.p, kSmallCard, 1, 1, DrawColour{0.3f, 0.8f, 1, 1}, 0);
    const WhatsNewLayout* l = whatsnew_layout(&c, kSmallCard.w, 1);
    const WhatsNewEntry* e = whatsnew_entry(i);
    EXPECT_FALSE(l->cut) << i;
    EXPECT_GT(l->body_h, 150.0f);
    auto width = [](TextStyle s, const char* text, WhatsNewLine line) {
      return text_measure(s, std::string(text + line.start, (size_t)line.length).c_str());
    };
    for (int k = 0; k < l->title_lines; k++)
      EXPECT_LE(width(title, e->title, l->title[k]), l->text_w + 0.5f) << i;
    int bytes = 0;
    for (int n = 0; n < e->item_count; n++)
      for (int k = 0; k < l->item_lines[n]; k++) {
        EXPECT_LE(width(item, e->items[n].text, l->lines[n][k]), l->text_w - 19 + 0.5f) << i;
        bytes += l->lines[n][k].length;
      }
    int spaces = 0, all = 0;
    for (int n = 0; n < e->item_count; n++) {
      all += (int)strlen(e->items[n].text);
      for (const char* s = e->items[n].text; *s; s++) spaces += *s == ' ';
    }
    EXPECT_GE(bytes, all - spaces) << "a line went missing in entry " << i;
    // The headline and its date fit the card, below the arrows and the page count.
    const std::string head = "KELP NOVA " + std::string(e->version);
    const DrawRect older = whatsnew_button(&c, kSmallCard, 1, WHATSNEW_HIT_OLDER);
    EXPECT_GE(kSmallCard.y + l->headline_y, older.y + older.h) << i;
    EXPECT_LT(18 + text_measure(headline, head.c_str()) + 12 + text_measure(date, e->date),
              kSmallCard.w - 18)
        << i;
    // Every scrolled line can be reached.
    whatsnew_wheel(&c, kSmallCard, 1, -1000);
    EXPECT_FLOAT_EQ(c.scroll, std::max(0.0f, l->content_h - l->body_h)) << i;
  }
  EXPECT_NE(d.canvas.pixel((int)kSmallCard.x + 30, (int)kSmallCard.y + 30) & 0xFFFFFF, 0u);
  EXPECT_EQ(d.canvas.pixel(5, 5) & 0xFFFFFF, 0u);
}

}  // namespace
