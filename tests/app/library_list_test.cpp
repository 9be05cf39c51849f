// The library list without a window: libraries built by hand, keys and pointer driven through the
// same geometry the drawing uses, and one pixel check that cards stay inside the list.
#include "app/library_list.h"

#include <SDL2/SDL.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "store/library.h"
#include "support/soft_canvas.h"

namespace {

struct CardSpec {
  const char* id;
  const char* name;
  bool damaged = false;
  bool legacy = false;
  bool empty = false;
  bool no_folder = false;
};

LibraryCard make_card(const CardSpec& s) {
  LibraryCard c{};
  snprintf(c.id, sizeof c.id, "%s", s.id);
  snprintf(c.name, sizeof c.name, "%s", s.name);
  snprintf(c.title, sizeof c.title, "%s", s.name);
  if (!s.no_folder) snprintf(c.folder, sizeof c.folder, "/lib/%s", s.id);
  c.created_at = 7.0e8;
  c.duration = s.empty ? 0 : 83.9;
  c.length_samples = s.empty ? 0 : 4000000;
  c.sample_rate = 48000;
  c.channels = 2;
  c.empty = s.empty;
  c.damaged = s.damaged;
  c.legacy = s.legacy;
  return c;
}

// A library whose rows live in a vector the test owns (never library_free'd).
struct Lib {
  std::vector<LibraryCard> cards;
  Library lib{};
  explicit Lib(const std::vector<CardSpec>& specs) { set(specs); }
  void set(const std::vector<CardSpec>& specs) {
    cards.clear();
    for (const CardSpec& s : specs) cards.push_back(make_card(s));
    lib.rows = cards.data();
    lib.count = (int32_t)cards.size();
    lib.capacity = lib.count;
    lib.version++;
  }
  void names(int n) {
    std::vector<CardSpec> specs;
    static std::vector<std::string> ids;
    ids.clear();
    for (int i = 0; i < n; i++) ids.push_back("id" + std::to_string(i));
    for (int i = 0; i < n; i++) specs.push_back({ids[i].c_str(), "Loop"});
    set(specs);
  }
};

std::vector<CardSpec> abcde() {
  return {{"a", "Alpha"}, {"b", "Bravo"}, {"c", "Charlie"}, {"d", "Delta"}, {"e", "Echo"}};
}

constexpr DrawRect kRect{0, 0, 400, 600};

struct Bench {
  Lib l;
  LibraryList list;
  ActionList out{};
  int32_t page = 0;
  double now = 100.0;

  explicit Bench(const std::vector<CardSpec>& specs = abcde()) : l(specs) {
    library_list_init(&list);
    list.visible_h = kRect.h;
  }
  bool key(int32_t code, uint32_t mods = 0, bool repeat = false, float visible_h = kRect.h) {
    library_list_track(&list, &l.lib);
    return library_list_keys(&list, &l.lib, page, code, mods, repeat, false, visible_h, now, &out);
  }
  bool ptr(int32_t kind, float x, float y, int32_t button = 1, int32_t clicks = 1,
           float wheel = 0) {
    library_list_track(&list, &l.lib);
    return library_list_pointer(&list, &l.lib, page, kRect, kind, button, clicks, x, y, wheel,
                                now, &out);
  }
  void click(float x, float y, int32_t clicks = 1) {
    ptr(1, x, y, 1, clicks);
    ptr(3, x, y, 1);
  }
  // The centre of a part of row's card as the list lays it out now.
  DrawPoint at(int32_t row, int32_t part) {
    const DrawRect slot = library_list_card_rect(&list, kRect, row);
    DrawRect r = library_list_part_rect(&l.cards[row], slot, library_list_row_slide(&list, row),
                                        part);
    if (part == LIBPART_BODY) r = DrawRect{slot.x + slot.w * 0.45f, slot.y + 70, 1, 1};
    return DrawPoint{r.x + r.w * 0.5f, r.y + r.h * 0.5f};
  }
  std::vector<std::string> actions() {
    std::vector<std::string> v;
    for (int i = 0; i < out.count; i++) {
      const ActionRow* row = actions_row(out.items[i].kind);
      v.push_back(std::string(row ? row->name : "?") + ":" + out.items[i].text);
    }
    out.count = 0;
    return v;
  }
};

using Actions = std::vector<std::string>;

TEST(LibraryList, TrackAfterARescanThatRemovesTheSelectedSketch) {
  struct Case {
    int32_t selected;
    std::vector<CardSpec> after;
    int32_t want;
    const char* want_id;
  };
  const Case cases[] = {
      {2, {{"a", "A"}, {"b", "B"}, {"d", "D"}, {"e", "E"}}, 2, "d"},  // the next older sketch
      {4, {{"a", "A"}, {"b", "B"}, {"c", "C"}, {"d", "D"}}, 3, "d"},  // the new last row
      {1, {{"x", "X"}, {"a", "A"}, {"b", "B"}}, 2, "b"},              // still there, moved
      {1, {}, -1, ""},                                                // nothing left
  };
  for (const Case& c : cases) {
    Bench b;
    b.list.selected = c.selected;
    snprintf(b.list.selected_id, sizeof b.list.selected_id, "%s", b.l.cards[c.selected].id);
    b.l.set(c.after);
    library_list_track(&b.list, &b.l.lib);
    EXPECT_EQ(b.list.selected, c.want) << c.selected;
    EXPECT_STREQ(b.list.selected_id, c.want_id) << c.selected;
  }
}

TEST(LibraryList, TrackFollowsOpenMenuAndRenameThroughAReorderAndClosesWhatVanished) {
  Bench b;
  b.key(SDLK_DOWN);
  b.key(SDLK_DOWN);  // row 1, "b"
  b.key(SDLK_DELETE);  // opens b's card
  ASSERT_EQ(b.list.open_row, 1);
  // The menu on c, opened by a right-click.
  const DrawPoint c = b.at(2, LIBPART_BODY);
  b.ptr(1, c.x, c.y, 3);
  ASSERT_TRUE(b.list.menu_open);
  ASSERT_EQ(b.list.menu_row, 2);
  b.l.set({{"e", "E"}, {"c", "C"}, {"d", "D"}, {"b", "B"}, {"a", "A"}});
  library_list_track(&b.list, &b.l.lib);
  EXPECT_EQ(b.list.open_row, 3);
  EXPECT_EQ(b.list.slide_row, 3);
  EXPECT_EQ(b.list.menu_row, 1);
  EXPECT_EQ(b.list.selected, 3);

  // A rename in progress follows too, and ends when its sketch goes.
  library_list_close_menu(&b.list);
  ASSERT_TRUE(library_list_rename_start(&b.list, &b.l.lib, 2, b.now));  // d
  b.l.set({{"d", "D"}, {"e", "E"}});
  library_list_track(&b.list, &b.l.lib);
  EXPECT_EQ(b.list.rename_row, 0);
  b.l.set({{"e", "E"}});
  library_list_track(&b.list, &b.l.lib);
  EXPECT_FALSE(library_list_renaming(&b.list));
}

TEST(LibraryList, ListKeys) {
  struct Case {
    const char* what;
    std::vector<CardSpec> cards;
    std::vector<int32_t> keys;  // after selecting row 0 with Down
    Actions want;
    int32_t want_open;
  };
  const Case cases[] = {
      {"enter opens", {{"a", "A"}}, {SDLK_RETURN}, {"open sketch:a"}, -1},
      {"keypad enter opens", {{"a", "A"}}, {SDLK_KP_ENTER}, {"open sketch:a"}, -1},
      {"enter on legacy", {{"a", "A", false, true}}, {SDLK_RETURN}, {}, -1},
      {"enter on damaged", {{"a", "A", true}}, {SDLK_RETURN}, {}, -1},
      {"space previews", {{"a", "A"}}, {SDLK_SPACE}, {"preview:a"}, -1},
      {"space on empty", {{"a", "A", false, false, true}}, {SDLK_SPACE}, {}, -1},
      {"space on legacy", {{"a", "A", false, true}}, {SDLK_SPACE}, {}, -1},
      {"delete opens", {{"a", "A"}}, {SDLK_DELETE}, {}, 0},
      {"delete twice asks", {{"a", "A"}}, {SDLK_DELETE, SDLK_DELETE}, {"delete (ask):a"}, 0},
      {"delete on damaged", {{"a", "A", true}}, {SDLK_DELETE, SDLK_DELETE}, {}, -1},
      {"delete on legacy", {{"a", "A", false, true}}, {SDLK_DELETE}, {}, -1},
      {"moving away closes", {{"a", "A"}, {"b", "B"}}, {SDLK_DELETE, SDLK_DOWN}, {}, -1},
  };
  for (const Case& c : cases) {
    Bench b(c.cards);
    EXPECT_TRUE(b.key(SDLK_DOWN)) << c.what;
    EXPECT_EQ(b.list.selected, 0) << c.what;
    for (int32_t k : c.keys) EXPECT_TRUE(b.key(k)) << c.what;
    EXPECT_EQ(b.actions(), c.want) << c.what;
    EXPECT_EQ(b.list.open_row, c.want_open) << c.what;
  }
}

TEST(LibraryList, PagingRepeatsAndAnimation) {
  Bench b({{"a", "A"}, {"b", "B"}, {"c", "C"}});
  EXPECT_TRUE(b.key(SDLK_PAGEDOWN, 0, false, 900));
  EXPECT_EQ(b.list.selected, 0);  // from none: the first row
  EXPECT_TRUE(b.key(SDLK_PAGEDOWN, 0, false, 900));
  EXPECT_EQ(b.list.selected, 2);  // three rows in a tall view: the last
  EXPECT_TRUE(b.key(SDLK_PAGEUP, 0, false, 200));
  EXPECT_EQ(b.list.selected, 0);  // round(200 / 96) = 2 rows up
  // Repeats of the action keys do nothing but are still the list's.
  EXPECT_TRUE(b.key(SDLK_RETURN, 0, true));
  EXPECT_TRUE(b.key(SDLK_DELETE, 0, true));
  EXPECT_TRUE(b.key(SDLK_F2, 0, true));
  EXPECT_TRUE(b.actions().empty());
  EXPECT_EQ(b.list.open_row, -1);
  EXPECT_FALSE(library_list_renaming(&b.list));
  // Nothing is taken while the list animates in.
  EXPECT_FALSE(library_list_keys(&b.list, &b.l.lib, 0, SDLK_DOWN, 0, false, true, 600, b.now,
                                 &b.out));
  EXPECT_EQ(b.list.selected, 0);
  // Left and Right switch pages; the import page's Enter imports.
  EXPECT_TRUE(b.key(SDLK_RIGHT));
  ASSERT_EQ(b.out.count, 1);
  EXPECT_EQ(b.out.items[0].value, 1);
  EXPECT_EQ(b.actions(), (Actions{"library tab:"}));
  b.page = 1;
  EXPECT_TRUE(b.key(SDLK_RETURN));
  EXPECT_TRUE(b.key(SDLK_RIGHT));  // already there: nothing
  EXPECT_EQ(b.actions(), (Actions{"import:"}));
  EXPECT_TRUE(b.key(SDLK_LEFT));
  ASSERT_EQ(b.out.count, 1);
  EXPECT_EQ(b.out.items[0].value, 0);
}

TEST(LibraryList, MenuItemsAreDisabledByTheCardsState) {
  struct Case {
    CardSpec card;
    bool rename, export_wav, show, del;
  };
  const Case cases[] = {
      {{"a", "A"}, true, true, true, true},
      {{"a", "A", true}, false, false, true, false},
      {{"a", "A", false, true}, false, false, true, false},
      {{"a", "A", false, false, true}, true, false, true, true},
      {{"a", "A", false, false, false, true}, true, true, false, true},
  };
  for (const Case& c : cases) {
    const LibraryCard card = make_card(c.card);
    EXPECT_EQ(library_list_menu_enabled(&card, LIBMENU_RENAME), c.rename);
    EXPECT_EQ(library_list_menu_enabled(&card, LIBMENU_EXPORT), c.export_wav);
    EXPECT_EQ(library_list_menu_enabled(&card, LIBMENU_SHOW), c.show);
    EXPECT_EQ(library_list_menu_enabled(&card, LIBMENU_DELETE), c.del);
  }
  EXPECT_STREQ(library_list_menu_label(LIBMENU_SHOW), "Show in file manager");
}

TEST(LibraryList, MenuKeysWrapAndSkipDisabledItems) {
  struct Case {
    CardSpec card;
    std::vector<int32_t> keys;
    std::vector<int32_t> highlights;
  };
  const Case cases[] = {
      {{"a", "A"}, {SDLK_DOWN, SDLK_DOWN, SDLK_DOWN, SDLK_DOWN, SDLK_DOWN}, {0, 1, 2, 3, 0}},
      {{"a", "A"}, {SDLK_UP, SDLK_UP}, {3, 2}},
      {{"a", "A", false, false, true}, {SDLK_DOWN, SDLK_DOWN, SDLK_DOWN, SDLK_DOWN}, {0, 2, 3, 0}},
      {{"a", "A", true}, {SDLK_DOWN, SDLK_DOWN, SDLK_UP}, {2, 2, 2}},
  };
  for (const Case& c : cases) {
    Bench b({c.card});
    b.key(SDLK_DOWN);
    EXPECT_TRUE(b.key(SDLK_F10, KEYMOD_SHIFT));
    ASSERT_TRUE(b.list.menu_open);
    EXPECT_TRUE(b.list.menu_at_card);
    for (size_t i = 0; i < c.keys.size(); i++) {
      EXPECT_TRUE(b.key(c.keys[i]));
      EXPECT_EQ(b.list.menu_item, c.highlights[i]) << i;
    }
    // The menu key closes it again; any other key was held by the menu.
    EXPECT_TRUE(b.key(SDLK_APPLICATION));
    EXPECT_FALSE(b.list.menu_open);
  }
}

TEST(LibraryList, MenuKeysUseTheirItem) {
  struct Case {
    std::vector<int32_t> keys;  // after opening the menu on row 1
    Actions want;
    int32_t open, selected;
    bool renaming, menu;
  };
  const Case cases[] = {
      {{SDLK_DOWN, SDLK_DOWN, SDLK_RETURN}, {"library export:b"}, -1, 0, false, false},
      {{SDLK_UP, SDLK_UP, SDLK_SPACE}, {"show in explorer:/lib/b"}, -1, 0, false, false},
      {{SDLK_UP, SDLK_RETURN}, {}, 1, 1, false, false},  // Delete: selects, opens
      {{SDLK_DOWN, SDLK_KP_ENTER}, {}, -1, 1, true, false},  // Rename
      {{SDLK_DELETE}, {}, 1, 0, false, false},
      {{SDLK_F2}, {}, -1, 1, true, false},
      {{SDLK_RETURN}, {}, -1, 0, false, true},  // nothing highlighted
      {{SDLK_x, SDLK_LEFT}, {}, -1, 0, false, true},  // held by the menu
  };
  for (const Case& c : cases) {
    Bench b;
    b.key(SDLK_DOWN);
    const DrawPoint p = b.at(1, LIBPART_BODY);
    b.ptr(1, p.x, p.y, 3);
    b.ptr(3, p.x, p.y, 3);
    ASSERT_TRUE(b.list.menu_open);
    for (int32_t k : c.keys) EXPECT_TRUE(b.key(k));
    EXPECT_EQ(b.list.menu_open, c.menu);
    EXPECT_EQ(b.actions(), c.want);
    EXPECT_EQ(b.list.open_row, c.open);
    EXPECT_EQ(b.list.selected, c.selected);
    EXPECT_EQ(library_list_renaming(&b.list), c.renaming);
  }
}

TEST(LibraryList, RenameCommitsOnlyAChangedName) {
  struct Case {
    const char* typed;
    Actions want;
  };
  const Case cases[] = {
      {"Bravo", {}},
      {"  Bravo \t", {}},
      {"\r\nBravo\n", {}},
      {"Brava", {"library rename:b\tBrava"}},
      {"  Brava ", {"library rename:b\tBrava"}},
      {"\xe9\x8c\xb2\xe9\x9f\xb3", {"library rename:b\t\xe9\x8c\xb2\xe9\x9f\xb3"}},
  };
  for (const Case& c : cases) {
    Bench b;
    b.key(SDLK_DOWN);
    b.key(SDLK_DOWN);
    EXPECT_TRUE(b.key(SDLK_F2));
    ASSERT_TRUE(library_list_renaming(&b.list));
    EXPECT_STREQ(b.list.editor.text, "Bravo");
    // Erase the name and type over it.
    for (int i = 0; i < 5; i++) b.key(SDLK_BACKSPACE);
    EXPECT_TRUE(library_list_text(&b.list, c.typed, b.now));
    // Text input drops control characters; feed the CR/LF cases straight into the editor.
    if (strpbrk(c.typed, "\r\n\t")) snprintf(b.list.editor.text, sizeof b.list.editor.text, "%s", c.typed);
    EXPECT_TRUE(b.key(SDLK_RETURN));
    EXPECT_FALSE(library_list_renaming(&b.list));
    EXPECT_EQ(b.actions(), c.want) << c.typed;
  }
  // Escape cancels; Ctrl+V asks the caller for the clipboard; a page change commits.
  Bench b;
  b.key(SDLK_DOWN);
  b.key(SDLK_F2);
  EXPECT_TRUE(b.key(SDLK_v, KEYMOD_CTRL));
  EXPECT_TRUE(library_list_take_paste(&b.list));
  EXPECT_FALSE(library_list_take_paste(&b.list));
  library_list_text(&b.list, "!", b.now);
  EXPECT_TRUE(b.key(SDLK_ESCAPE));
  EXPECT_TRUE(b.actions().empty());
  b.key(SDLK_F2);
  library_list_text(&b.list, "!", b.now);
  library_list_rename_commit(&b.list, &b.l.lib, &b.out);
  EXPECT_EQ(b.actions(), (Actions{"library rename:a\tAlpha!"}));
  // A damaged card can't be renamed.
  Bench d({{"a", "A", true}});
  d.key(SDLK_DOWN);
  EXPECT_TRUE(d.key(SDLK_F2));
  EXPECT_FALSE(library_list_renaming(&d.list));
}

TEST(LibraryList, ClicksOnTheCardsParts) {
  struct Case {
    int32_t part;
    Actions want;
    int32_t open;
    bool renaming;
  };
  const Case cases[] = {
      {LIBPART_PLAY, {"preview:b"}, -1, false},
      {LIBPART_OPEN, {"open sketch:b"}, -1, false},
      {LIBPART_NAME, {}, -1, true},
      {LIBPART_HOVER_BIN, {}, 1, false},
      {LIBPART_BODY, {}, -1, false},
  };
  for (const Case& c : cases) {
    Bench b;
    const DrawPoint p = b.at(1, c.part);
    ASSERT_EQ(library_list_part_at(&b.l.cards[1], library_list_card_rect(&b.list, kRect, 1), 0,
                                   false, p.x, p.y),
              c.part);
    b.click(p.x, p.y);
    EXPECT_EQ(b.actions(), c.want) << c.part;
    EXPECT_EQ(b.list.open_row, c.open) << c.part;
    EXPECT_EQ(library_list_renaming(&b.list), c.renaming) << c.part;
    EXPECT_EQ(b.list.selected, 1) << c.part;
  }
  // A press and release on different parts does nothing.
  Bench b;
  const DrawPoint play = b.at(1, LIBPART_PLAY), open = b.at(1, LIBPART_OPEN);
  b.ptr(1, play.x, play.y);
  b.ptr(3, open.x, open.y);
  EXPECT_TRUE(b.actions().empty());
  // Parts a read-only card lacks are its body.
  const LibraryCard legacy = make_card({"z", "Z", false, true});
  EXPECT_EQ(library_list_part_at(&legacy, library_list_card_rect(&b.list, kRect, 1), 0, false,
                                 open.x, open.y),
            LIBPART_BODY);
}

TEST(LibraryList, OpenCardBinAndDoubleClicks) {
  Bench b;
  b.key(SDLK_DOWN);
  b.key(SDLK_DELETE);
  library_list_tick(&b.list, 1.0);
  ASSERT_FLOAT_EQ(b.list.slide, LIBLIST_OPEN_SLIDE);
  const DrawPoint bin = b.at(0, LIBPART_BIN);
  b.click(bin.x, bin.y);
  EXPECT_EQ(b.actions(), (Actions{"delete (ask):a"}));
  // A click on the open card's face closes it, and the double-click it starts opens nothing.
  const DrawPoint body = b.at(0, LIBPART_BODY);
  b.click(body.x, body.y, 1);
  EXPECT_EQ(b.list.open_row, -1);
  b.now += 0.3;
  b.click(body.x, body.y, 2);
  EXPECT_TRUE(b.actions().empty());
  // Later, a double-click on the body opens the sketch; on a part it does not.
  b.now += 1.0;
  b.click(body.x, body.y, 1);
  b.click(body.x, body.y, 2);
  EXPECT_EQ(b.actions(), (Actions{"open sketch:a"}));
  const DrawPoint play = b.at(2, LIBPART_PLAY);
  b.click(play.x, play.y, 1);
  b.click(play.x, play.y, 2);
  EXPECT_EQ(b.actions(), (Actions{"preview:c", "preview:c"}));
  // A press in the gap between cards closes an open card; a press outside the list isn't ours.
  b.key(SDLK_DELETE);
  EXPECT_EQ(b.list.open_row, 2);
  EXPECT_TRUE(b.ptr(1, 100, 90));
  EXPECT_EQ(b.list.open_row, -1);
  EXPECT_FALSE(b.ptr(1, 500, 90));
}

TEST(LibraryList, SwipeSnapsAtHalfway) {
  struct Case {
    std::vector<DrawPoint> moves;  // offsets from the press
    bool swiping;
    int32_t open;
  };
  const Case cases[] = {
      {{{-20, 0}, {-70, 4}}, true, 1},
      {{{-30, 2}, {-50, 2}}, true, -1},
      {{{-10, 30}, {-90, 30}}, false, -1},  // went up or down first: not a swipe
      {{{-20, 20}}, false, -1},             // no further sideways than down
  };
  for (const Case& c : cases) {
    Bench b;
    const DrawPoint p = b.at(1, LIBPART_BODY);
    b.ptr(1, p.x, p.y);
    for (DrawPoint m : c.moves) b.ptr(2, p.x + m.x, p.y + m.y);
    EXPECT_EQ(b.list.swiping, c.swiping);
    if (c.swiping) {
      EXPECT_FLOAT_EQ(b.list.slide, c.moves.back().x);
    }
    const DrawPoint last = c.moves.back();
    b.ptr(3, p.x + last.x, p.y + last.y);
    EXPECT_EQ(b.list.open_row, c.open);
    EXPECT_TRUE(b.actions().empty());
    library_list_tick(&b.list, 2.0);
    EXPECT_FLOAT_EQ(b.list.slide, c.open >= 0 ? LIBLIST_OPEN_SLIDE : 0.0f);
  }
  // An open card swiped back closes; the slide never passes the bin's width.
  Bench b;
  b.key(SDLK_DOWN);
  b.key(SDLK_DELETE);
  library_list_tick(&b.list, 2.0);
  const DrawPoint p = b.at(0, LIBPART_BODY);
  b.ptr(1, p.x, p.y);
  b.ptr(2, p.x - 200, p.y);
  EXPECT_FLOAT_EQ(b.list.slide, LIBLIST_OPEN_SLIDE);
  b.ptr(2, p.x + 90, p.y);
  b.ptr(3, p.x + 90, p.y);
  EXPECT_EQ(b.list.open_row, -1);
}

TEST(LibraryList, RightClickMenuAtThePointer) {
  Bench b;
  const DrawPoint p = b.at(3, LIBPART_BODY);
  EXPECT_TRUE(b.ptr(1, p.x, p.y, 3));
  b.ptr(3, p.x, p.y, 3);
  ASSERT_TRUE(b.list.menu_open);
  const DrawRect m = library_list_menu_rect(&b.list, kRect);
  EXPECT_FLOAT_EQ(m.x, p.x);
  EXPECT_FLOAT_EQ(m.y, p.y);
  // Near the bottom right it stays inside the list.
  library_list_close_menu(&b.list);
  b.ptr(1, 385, 4 * 96 + 78, 3);
  ASSERT_TRUE(b.list.menu_open);
  const DrawRect m2 = library_list_menu_rect(&b.list, kRect);
  EXPECT_LE(m2.x + m2.w, kRect.w);
  EXPECT_LE(m2.y + m2.h, kRect.h);
  EXPECT_FLOAT_EQ(m2.y, 4 * 96 + 78 - m2.h);  // flipped above the pointer
  library_list_close_menu(&b.list);
  // A click on a disabled item does nothing; on an enabled one it acts and closes.
  b.l.cards[3].empty = 1;
  b.ptr(1, p.x, p.y, 3);
  const DrawRect exp = library_list_menu_item_rect(m, LIBMENU_EXPORT);
  b.click(exp.x + 10, exp.y + 10);
  EXPECT_TRUE(b.actions().empty());
  EXPECT_FALSE(b.list.menu_open);
  b.ptr(1, p.x, p.y, 3);
  const DrawRect show = library_list_menu_item_rect(m, LIBMENU_SHOW);
  b.click(show.x + 10, show.y + 10);
  EXPECT_EQ(b.actions(), (Actions{"show in explorer:/lib/d"}));
  // A press outside the menu only closes it.
  b.ptr(1, p.x, p.y, 3);
  b.click(5, 5);
  EXPECT_FALSE(b.list.menu_open);
  EXPECT_TRUE(b.actions().empty());
}

TEST(LibraryList, WheelScrollsClampedAndClosesTheMenu) {
  Bench b;
  b.l.names(20);  // 20 rows: 19 * 96 + 82 + 16 = 1922 tall
  EXPECT_TRUE(b.ptr(4, 100, 100, 0, 0, -3));
  EXPECT_FLOAT_EQ(b.list.scroll, 144);
  EXPECT_TRUE(b.ptr(4, 100, 100, 0, 0, -100));
  EXPECT_FLOAT_EQ(b.list.scroll, 1922 - 600);
  EXPECT_TRUE(b.ptr(4, 100, 100, 0, 0, 100));
  EXPECT_FLOAT_EQ(b.list.scroll, 0);
  b.ptr(1, 100, 40, 3);
  ASSERT_TRUE(b.list.menu_open);
  b.ptr(4, 100, 100, 0, 0, -1);
  EXPECT_FALSE(b.list.menu_open);
  EXPECT_FALSE(b.ptr(4, 900, 100, 0, 0, -1));  // outside the list
  b.page = 1;
  b.ptr(4, 100, 100, 0, 0, -1);
  EXPECT_FLOAT_EQ(b.list.scroll, 48);  // not on the import page
  // The import page's button.
  const DrawRect button = library_list_import_button(kRect);
  b.click(button.x + 5, button.y + 5);
  EXPECT_EQ(b.actions(), (Actions{"import:"}));
}

TEST(LibraryList, Reveal) {
  struct Case {
    float scroll;
    int32_t row, count;
    float visible_h, want;
  };
  const Case cases[] = {
      {0, 2, 10, 300, 0},            // already in view
      {0, 5, 10, 300, 5 * 96 + 82 - 300},
      {400, 1, 10, 300, 96},         // above the view: its top
      {0, 9, 10, 300, 9 * 96 + 82 + 16 - 300},  // the last row shows its margin
      {0, 2, 3, 1000, 0},            // clamped to the largest offset
      {500, 0, 10, 300, 0},
      {100, 12, 10, 300, 100},       // no such row
  };
  for (const Case& c : cases) {
    LibraryList l;
    library_list_init(&l);
    l.scroll = c.scroll;
    library_list_reveal(&l, c.row, c.visible_h, c.count);
    EXPECT_FLOAT_EQ(l.scroll, c.want) << c.row;
  }
}

TEST(LibraryList, SecondLineTexts) {
  LibraryCard c = make_card({"a", "A"});
  char line[128];
  c.created_at = 0;
  library_list_card_line(&c, line, sizeof line);
  EXPECT_STREQ(line, "1:23");
  c.created_at = 7.0e8;
  library_list_card_line(&c, line, sizeof line);
  EXPECT_NE(strstr(line, " \u00b7 1:23"), nullptr) << line;
  c.damaged = 1;
  library_list_card_line(&c, line, sizeof line);
  EXPECT_STREQ(line, "COULDN'T READ \u2014 AUDIO IS SAFE");
  c.damaged = 0;
  c.legacy = 1;
  library_list_card_line(&c, line, sizeof line);
  EXPECT_STREQ(line, "OLD FORMAT \u2014 OPEN IT ON YOUR IPHONE FIRST");
}

// Cards never spill outside the list, and only the rows in view are drawn.
TEST(LibraryList, DrawingStaysInsideTheList) {
  SoftCanvas canvas(300, 300);
  if (!canvas.p) GTEST_SKIP() << SDL_GetError();
  Bench b;
  b.l.names(1000);
  b.list.selected = 0;
  const DrawRect rect{0, 0, 300, 200};
  library_list_track(&b.list, &b.l.lib);
  library_list_draw(&b.list, &b.l.lib, 0, rect, "id0", false, DrawColour{0.2f, 0.6f, 1, 1},
                    canvas.p, b.now);
  EXPECT_NE(canvas.pixel(150, 70) & 0xFFFFFF, 0u);   // inside the first card
  EXPECT_EQ(canvas.pixel(150, 200) & 0xFFFFFF, 0u);  // where the third card would spill
  EXPECT_EQ(canvas.pixel(150, 260) & 0xFFFFFF, 0u);
  int32_t first = -1, last = -1;
  ASSERT_TRUE(library_list_visible_rows(&b.list, b.l.lib.count, rect, &first, &last));
  EXPECT_EQ(first, 0);
  EXPECT_EQ(last, 2);
}

}  // namespace
