// The library list's state, keys, pointer and geometry. Drawing is in library_list_draw.cpp and
// uses the same geometry, so what is drawn is what the pointer hits.
#include "app/library_list.h"

#include <SDL_keycode.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/clock.h"
#include "base/text.h"
#include "store/library.h"

namespace {

const LibraryCard* card_of(const Library* lib, int32_t row) {
  if (!lib || row < 0 || row >= lib->count) return nullptr;
  return &lib->rows[row];
}

int32_t count_of(const Library* lib) {
  return lib ? lib->count : 0;
}

bool contains(DrawRect r, float x, float y) {
  return r.w > 0 && r.h > 0 && x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h;
}

float clampf(float v, float lo, float hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

bool read_only(const LibraryCard* c) {
  return c->damaged || c->legacy;
}

void set_id(char* dst, const LibraryCard* c) {
  text_copy(dst, LIBLIST_ID_BYTES, c ? c->id : "");
}

// The row now holding the sketch id, trying its old index first (the usual case costs nothing).
int32_t relocate(const Library* lib, int32_t row, const char* id) {
  if (!lib || !id[0]) return -1;
  if (row >= 0 && row < lib->count && library_same_text(lib->rows[row].id, id)) return row;
  return library_find(lib, id);
}

void push_id(ActionList* out, int32_t kind, const LibraryCard* c) {
  if (out && c) actions_push(out, kind, 0, c->id);
}

void select_row(LibraryList* l, const Library* lib, int32_t row) {
  const LibraryCard* c = card_of(lib, row);
  l->selected = c ? row : -1;
  set_id(l->selected_id, c);
}

void open_card(LibraryList* l, const Library* lib, int32_t row) {
  const LibraryCard* c = card_of(lib, row);
  if (!c) return;
  if (l->slide_row != row) {
    l->slide = 0;  // another card's slide gives way at once
    l->slide_row = row;
    set_id(l->slide_id, c);
  }
  l->open_row = row;
  set_id(l->open_id, c);
  l->slide_target = LIBLIST_OPEN_SLIDE;
}

void close_card(LibraryList* l) {
  l->open_row = -1;
  l->open_id[0] = 0;
  l->slide_target = 0;
}

void end_press(LibraryList* l) {
  l->pressed_row = -1;
  l->pressed_part = LIBPART_NONE;
  l->pressed_id[0] = 0;
  l->pressed_button = 0;
  l->swipe_candidate = false;
  l->swiping = false;
}

bool is_menu_key(int32_t keycode, uint32_t mods) {
  return keycode == SDLK_APPLICATION || keycode == SDLK_MENU ||
         (keycode == SDLK_F10 && (mods & KEYMOD_SHIFT));
}

bool is_enter(int32_t keycode) {
  return keycode == SDLK_RETURN || keycode == SDLK_KP_ENTER;
}

void open_menu(LibraryList* l, const Library* lib, int32_t row, bool at_card, float x, float y) {
  const LibraryCard* c = card_of(lib, row);
  if (!c) return;
  l->menu_open = true;
  l->menu_row = row;
  set_id(l->menu_id, c);
  l->menu_at_card = at_card;
  l->menu_x = x;
  l->menu_y = y;
  l->menu_item = -1;
  l->menu_pressed = -1;
}

// From none, forward starts at the first item and backward at the last; disabled items are
// skipped and the ends wrap.
int32_t menu_step(const LibraryCard* c, int32_t from, int32_t dir) {
  int32_t i = from;
  for (int32_t k = 0; k < LIBLIST_MENU_ITEMS; k++) {
    if (i < 0)
      i = dir > 0 ? 0 : LIBLIST_MENU_ITEMS - 1;
    else
      i = (i + dir + LIBLIST_MENU_ITEMS) % LIBLIST_MENU_ITEMS;
    if (library_list_menu_enabled(c, i)) return i;
  }
  return from;
}

void menu_use(LibraryList* l, const Library* lib, int32_t item, double now, ActionList* out) {
  const int32_t row = l->menu_row;
  const LibraryCard* c = card_of(lib, row);
  library_list_close_menu(l);
  if (!c || !library_list_menu_enabled(c, item)) return;
  switch (item) {
    case LIBMENU_RENAME:
      library_list_rename_start(l, lib, row, now);
      break;
    case LIBMENU_EXPORT:
      push_id(out, ACT_LIBRARY_EXPORT, c);
      break;
    case LIBMENU_SHOW:
      if (out) actions_push(out, ACT_SHOW_FILE, 0, c->folder);
      break;
    case LIBMENU_DELETE:
      select_row(l, lib, row);
      open_card(l, lib, row);
      library_list_reveal(l, row, l->visible_h, count_of(lib));
      break;
    default:
      break;
  }
}

// A page change commits a rename and closes the menu and any open card.
void set_page(LibraryList* l, const Library* lib, int32_t page, int32_t target, ActionList* out) {
  if (page == target) return;
  library_list_rename_commit(l, lib, out);
  library_list_close_menu(l);
  close_card(l);
  end_press(l);
  if (out) actions_push(out, ACT_LIBRARY_TAB, target, nullptr);
}

void menu_anchor(const LibraryList* l, DrawRect rect, float* ax, float* ay) {
  if (l->menu_at_card) {
    const DrawRect slot = library_list_card_rect(l, rect, l->menu_row);
    *ax = slot.x + slot.w - 54.0f;
    *ay = slot.y + slot.h * 0.5f;
  } else {
    *ax = rect.x + l->menu_x;
    *ay = rect.y + l->menu_y;
  }
}

void list_keys_move(LibraryList* l, const Library* lib, int32_t delta, float visible_h) {
  const int32_t n = count_of(lib);
  if (n == 0) return;
  int32_t target = l->selected < 0 ? 0 : l->selected + delta;
  if (target < 0) target = 0;
  if (target > n - 1) target = n - 1;
  if (l->open_row >= 0 && target != l->open_row) close_card(l);
  select_row(l, lib, target);
  library_list_reveal(l, target, visible_h, n);
}

void act_on_part(LibraryList* l, const Library* lib, int32_t row, int32_t part, double now,
                 ActionList* out) {
  const LibraryCard* c = card_of(lib, row);
  if (!c) return;
  switch (part) {
    case LIBPART_PLAY:
      push_id(out, ACT_PREVIEW, c);
      break;
    case LIBPART_HOVER_BIN:
      open_card(l, lib, row);
      break;
    case LIBPART_BIN:
      push_id(out, ACT_DELETE_ASK, c);
      break;
    case LIBPART_NAME:
      library_list_rename_start(l, lib, row, now);
      break;
    case LIBPART_OPEN:
      push_id(out, ACT_OPEN_SKETCH, c);
      break;
    case LIBPART_BODY:
      if (l->open_row == row) {
        close_card(l);
        l->closed_at = now;
      }
      break;
    default:
      break;
  }
}

}  // namespace

// ---- state ----

void library_list_init(LibraryList* list) {
  memset(list, 0, sizeof *list);
  list->selected = -1;
  list->open_row = -1;
  list->slide_row = -1;
  list->menu_row = -1;
  list->menu_item = -1;
  list->menu_pressed = -1;
  list->rename_row = -1;
  list->hover_row = -1;
  list->pressed_row = -1;
  list->last_click_row = -1;
  list->last_click_at = -1e9;
  list->closed_at = -1e9;
}

void library_list_track(LibraryList* list, const Library* lib) {
  const int32_t n = count_of(lib);
  if (list->selected_id[0]) {
    const int32_t r = relocate(lib, list->selected, list->selected_id);
    if (r >= 0) {
      list->selected = r;
    } else {
      // The sketch went: the row that took its place (the next older), or the new last row.
      select_row(list, lib, n == 0 ? -1 : (list->selected < n ? list->selected : n - 1));
    }
  } else if (list->selected >= n) {
    select_row(list, lib, n - 1);
  }
  if (list->open_id[0] || list->open_row >= 0) {
    const int32_t r = relocate(lib, list->open_row, list->open_id);
    if (r >= 0)
      list->open_row = r;
    else
      close_card(list);
  }
  if (list->slide_row >= 0) {
    const int32_t r = relocate(lib, list->slide_row, list->slide_id);
    if (r >= 0) {
      list->slide_row = r;
    } else {
      list->slide_row = -1;
      list->slide_id[0] = 0;
      list->slide = list->slide_target = 0;
      list->swiping = false;
    }
  }
  if (list->menu_open) {
    const int32_t r = relocate(lib, list->menu_row, list->menu_id);
    if (r >= 0)
      list->menu_row = r;
    else
      library_list_close_menu(list);
  }
  if (list->rename_row >= 0) {
    const int32_t r = relocate(lib, list->rename_row, list->rename_id);
    if (r >= 0)
      list->rename_row = r;
    else
      library_list_rename_cancel(list);
  }
  if (list->pressed_row >= 0) {
    const int32_t r = relocate(lib, list->pressed_row, list->pressed_id);
    if (r >= 0)
      list->pressed_row = r;
    else
      end_press(list);
  }
  if (list->hover_row >= n) list->hover_row = -1;
  if (list->last_click_row >= n) list->last_click_row = -1;
}

float library_list_max_scroll(int32_t count, float visible_h) {
  if (count <= 0) return 0;
  const float content = (float)(count - 1) * LIBLIST_PITCH + LIBLIST_CARD_H + LIBLIST_END_PAD;
  return content > visible_h ? content - visible_h : 0;
}

void library_list_reveal(LibraryList* list, int32_t row, float visible_h, int32_t count) {
  if (row < 0 || row >= count) return;
  const float top = (float)row * LIBLIST_PITCH;
  const float bottom = top + LIBLIST_CARD_H;
  if (top < list->scroll)
    list->scroll = top;
  else if (bottom > list->scroll + visible_h)
    list->scroll = bottom - visible_h + (row == count - 1 ? LIBLIST_END_PAD : 0);
  list->scroll = clampf(list->scroll, 0, library_list_max_scroll(count, visible_h));
}

void library_list_tick(LibraryList* list, double dt) {
  if (list->swiping || dt <= 0) return;
  const float k = (float)(1.0 - std::exp(-dt * 16.0));
  list->slide += (list->slide_target - list->slide) * k;
  if (std::fabs(list->slide_target - list->slide) < 0.5f) list->slide = list->slide_target;
  // A closed card that finished easing back lets go of the slide.
  if (list->slide == 0 && list->slide_target == 0 && list->open_row != list->slide_row) {
    list->slide_row = -1;
    list->slide_id[0] = 0;
  }
}

void library_list_reset_view(LibraryList* list) {
  list->scroll = 0;
  library_list_close_menu(list);
  library_list_rename_cancel(list);
  close_card(list);
  list->slide = 0;
  list->slide_row = -1;
  list->slide_id[0] = 0;
  end_press(list);
}

void library_list_clear_selection(LibraryList* list) {
  list->selected = -1;
  list->selected_id[0] = 0;
}

bool library_list_menu_open(const LibraryList* list) {
  return list->menu_open;
}

bool library_list_renaming(const LibraryList* list) {
  return list->rename_row >= 0;
}

void library_list_close_menu(LibraryList* list) {
  list->menu_open = false;
  list->menu_row = -1;
  list->menu_id[0] = 0;
  list->menu_item = -1;
  list->menu_pressed = -1;
  list->menu_at_card = false;
}

void library_list_rename_cancel(LibraryList* list) {
  list->rename_row = -1;
  list->rename_id[0] = 0;
  list->paste_wanted = false;
  name_edit_close(&list->editor);
}

void library_list_rename_commit(LibraryList* list, const Library* lib, ActionList* out) {
  if (list->rename_row < 0) return;
  const LibraryCard* c = card_of(lib, list->rename_row);
  const char* ws = " \t\r\n";
  const char* a = list->editor.text;
  while (*a && strchr(ws, *a)) a++;
  size_t n = strlen(a);
  while (n > 0 && strchr(ws, a[n - 1])) n--;
  char name[NAME_EDIT_MAX + 1];
  if (n > NAME_EDIT_MAX) n = NAME_EDIT_MAX;
  memcpy(name, a, n);
  name[n] = 0;
  text_utf8_cut(name, NAME_EDIT_MAX);
  if (c && strcmp(name, c->name) != 0 && out) {
    char text[LIBLIST_ID_BYTES + NAME_EDIT_MAX + 2];
    snprintf(text, sizeof text, "%s\t%s", c->id, name);
    actions_push(out, ACT_LIBRARY_RENAME, 0, text);
  }
  library_list_rename_cancel(list);
}

bool library_list_rename_start(LibraryList* list, const Library* lib, int32_t row, double now) {
  const LibraryCard* c = card_of(lib, row);
  if (!c || read_only(c)) return false;
  library_list_close_menu(list);
  close_card(list);
  name_edit_open(&list->editor, c->name, now);
  list->rename_row = row;
  set_id(list->rename_id, c);
  list->paste_wanted = false;
  select_row(list, lib, row);
  library_list_reveal(list, row, list->visible_h, count_of(lib));
  return true;
}

bool library_list_take_paste(LibraryList* list) {
  const bool wanted = list->paste_wanted;
  list->paste_wanted = false;
  return wanted;
}

// ---- keys ----

bool library_list_keys(LibraryList* list, const Library* lib, int32_t page, int32_t keycode,
                       uint32_t mods, bool repeat, bool animating, float visible_h, double now,
                       ActionList* out) {
  if (animating) return false;
  list->visible_h = visible_h;
  if (list->rename_row >= 0) {
    switch (name_edit_key(&list->editor, keycode, mods, repeat, now)) {
      case NAME_KEY_COMMIT:
        library_list_rename_commit(list, lib, out);
        break;
      case NAME_KEY_CANCEL:
        library_list_rename_cancel(list);
        break;
      case NAME_KEY_PASTE:
        list->paste_wanted = true;
        break;
      default:
        break;
    }
    return true;
  }
  const bool action_key = is_enter(keycode) || keycode == SDLK_SPACE ||
                          keycode == SDLK_DELETE || keycode == SDLK_F2 ||
                          is_menu_key(keycode, mods);
  if (list->menu_open) {
    const LibraryCard* c = card_of(lib, list->menu_row);
    if (!c) {
      library_list_close_menu(list);
      return true;
    }
    if (repeat && action_key) return true;
    if (keycode == SDLK_UP || keycode == SDLK_DOWN) {
      list->menu_item = menu_step(c, list->menu_item, keycode == SDLK_DOWN ? 1 : -1);
    } else if (is_enter(keycode) || keycode == SDLK_SPACE) {
      if (list->menu_item >= 0) menu_use(list, lib, list->menu_item, now, out);
    } else if (keycode == SDLK_DELETE) {
      const int32_t row = list->menu_row;
      library_list_close_menu(list);
      if (!read_only(c)) open_card(list, lib, row);
    } else if (keycode == SDLK_F2) {
      const int32_t row = list->menu_row;
      library_list_close_menu(list);
      library_list_rename_start(list, lib, row, now);
    } else if (is_menu_key(keycode, mods) || keycode == SDLK_ESCAPE) {
      library_list_close_menu(list);
    }
    return true;  // an open menu holds the keyboard
  }
  const bool plain = (mods & (KEYMOD_CTRL | KEYMOD_ALT)) == 0;
  if (plain && (keycode == SDLK_LEFT || keycode == SDLK_RIGHT)) {
    set_page(list, lib, page, keycode == SDLK_LEFT ? 0 : 1, out);
    return true;
  }
  if (page != 0) {
    if (!is_enter(keycode)) return false;
    if (!repeat && out) actions_push(out, ACT_IMPORT, 0, nullptr);
    return true;
  }
  if (!plain) return false;
  const int32_t step = std::max(1, (int32_t)std::lround(visible_h / LIBLIST_PITCH));
  switch (keycode) {
    case SDLK_UP:
      list_keys_move(list, lib, -1, visible_h);
      return true;
    case SDLK_DOWN:
      list_keys_move(list, lib, 1, visible_h);
      return true;
    case SDLK_PAGEUP:
      list_keys_move(list, lib, -step, visible_h);
      return true;
    case SDLK_PAGEDOWN:
      list_keys_move(list, lib, step, visible_h);
      return true;
    default:
      break;
  }
  const LibraryCard* c = card_of(lib, list->selected);
  if (!action_key || !c) return false;
  if (repeat) return true;
  const int32_t row = list->selected;
  if (is_enter(keycode)) {
    if (!read_only(c)) push_id(out, ACT_OPEN_SKETCH, c);
  } else if (keycode == SDLK_SPACE) {
    if (!c->legacy && !c->empty) push_id(out, ACT_PREVIEW, c);
  } else if (keycode == SDLK_DELETE) {
    if (read_only(c)) return true;
    if (list->open_row != row)
      open_card(list, lib, row);
    else
      push_id(out, ACT_DELETE_ASK, c);
  } else if (keycode == SDLK_F2) {
    library_list_rename_start(list, lib, row, now);
  } else if (is_menu_key(keycode, mods)) {
    open_menu(list, lib, row, true, 0, 0);
  }
  return true;
}

bool library_list_text(LibraryList* list, const char* utf8, double now) {
  if (list->rename_row < 0) return false;
  name_edit_insert(&list->editor, utf8 ? utf8 : "", now);
  return true;
}

bool library_list_compose(LibraryList* list, const char* utf8, int32_t cursor, int32_t length) {
  if (list->rename_row < 0) return false;
  name_edit_compose(&list->editor, utf8 ? utf8 : "", cursor, length);
  return true;
}

// ---- pointer ----

bool library_list_pointer(LibraryList* list, const Library* lib, int32_t page, DrawRect rect,
                          int32_t kind, int32_t button, int32_t clicks, float x, float y,
                          float wheel_dy, double now, ActionList* out) {
  list->visible_h = rect.h;
  const int32_t n = count_of(lib);
  const bool inside = contains(rect, x, y);
  list->scroll = clampf(list->scroll, 0, library_list_max_scroll(n, rect.h));

  if (kind == 4) {
    if (!inside) return false;
    library_list_close_menu(list);
    if (page == 0)
      list->scroll = clampf(list->scroll - wheel_dy * LIBLIST_WHEEL_STEP, 0,
                            library_list_max_scroll(n, rect.h));
    return true;
  }

  if (kind == 2) {
    if (page == 0) {
      const int32_t row = library_list_row_at(list, n, rect, x, y);
      list->hover_row = row;
      list->hover_part =
          row < 0 ? LIBPART_NONE
                  : library_list_part_at(card_of(lib, row), library_list_card_rect(list, rect, row),
                                         library_list_row_slide(list, row), list->open_row == row,
                                         x, y);
    } else {
      list->hover_row = -1;
      list->hover_part =
          contains(library_list_import_button(rect), x, y) ? LIBPART_IMPORT : LIBPART_NONE;
    }
    if (list->menu_open) {
      const int32_t item = library_list_menu_item_at(list, rect, x, y);
      if (item >= 0) list->menu_item = item;
    }
    if (list->pressed_row >= 0 && list->pressed_button == 1) {
      const float dx = x - list->press_x, dy = y - list->press_y;
      if (!list->swiping && list->swipe_candidate) {
        if (std::fabs(dy) > LIBLIST_SWIPE_SLOP) {
          list->swipe_candidate = false;
        } else if (std::fabs(dx) > LIBLIST_SWIPE_SLOP && std::fabs(dx) > std::fabs(dy)) {
          list->swiping = true;
          const int32_t row = list->pressed_row;
          list->swipe_base = library_list_row_slide(list, row);
          if (list->open_row >= 0 && list->open_row != row) close_card(list);
          if (list->slide_row != row) {
            list->slide_row = row;
            set_id(list->slide_id, card_of(lib, row));
          }
        }
      }
      if (list->swiping) {
        list->slide = clampf(list->swipe_base + dx, LIBLIST_OPEN_SLIDE, 0);
        list->slide_target = list->slide;
      }
      return true;
    }
    return inside || list->menu_open || list->pressed_part == LIBPART_IMPORT;
  }

  if (kind == 1) {
    if (list->menu_open) {
      const int32_t item = library_list_menu_item_at(list, rect, x, y);
      if (item >= 0) {
        list->menu_pressed = item;
        return true;
      }
      library_list_close_menu(list);  // a press elsewhere only ends the menu
      return true;
    }
    if (list->rename_row >= 0) {
      const DrawRect field = library_list_part_rect(
          card_of(lib, list->rename_row), library_list_card_rect(list, rect, list->rename_row), 0,
          LIBPART_NAME);
      if (contains(field, x, y)) return true;
      library_list_rename_commit(list, lib, out);
      return true;
    }
    if (page != 0) {
      if (button == 1 && contains(library_list_import_button(rect), x, y)) {
        end_press(list);
        list->pressed_part = LIBPART_IMPORT;
        list->pressed_button = 1;
      }
      return inside;
    }
    if (!inside) return false;
    const int32_t row = library_list_row_at(list, n, rect, x, y);
    if (row < 0) {
      if (button == 1 && list->open_row >= 0) close_card(list);
      return true;
    }
    const LibraryCard* c = card_of(lib, row);
    const bool open = list->open_row == row;
    const int32_t part = library_list_part_at(c, library_list_card_rect(list, rect, row),
                                              library_list_row_slide(list, row), open, x, y);
    if (button == 3) {
      open_menu(list, lib, row, false, x - rect.x, y - rect.y);
      return true;
    }
    if (button != 1) return true;
    const bool twice = clicks >= 2 && list->last_click_row == row;
    list->last_click_at = now;
    list->last_click_row = row;
    if (twice && part == LIBPART_BODY && row != list->rename_row && !open &&
        now - list->closed_at >= LIBLIST_CLOSE_GUARD)
      push_id(out, ACT_OPEN_SKETCH, c);
    select_row(list, lib, row);
    if (list->open_row >= 0 && !open) close_card(list);
    list->pressed_row = row;
    list->pressed_part = part;
    set_id(list->pressed_id, c);
    list->pressed_button = 1;
    list->press_x = x;
    list->press_y = y;
    list->swipe_candidate = !read_only(c);
    list->swiping = false;
    return true;
  }

  if (kind == 3) {
    if (list->menu_open) {
      const int32_t item = library_list_menu_item_at(list, rect, x, y);
      if (item >= 0 && item == list->menu_pressed)
        menu_use(list, lib, item, now, out);
      else
        list->menu_pressed = -1;
      return true;
    }
    if (list->pressed_part == LIBPART_IMPORT) {
      if (page == 1 && contains(library_list_import_button(rect), x, y) && out)
        actions_push(out, ACT_IMPORT, 0, nullptr);
      end_press(list);
      return true;
    }
    if (list->pressed_row < 0) return inside;
    const int32_t pressed = list->pressed_row;
    if (list->swiping) {
      if (list->slide < LIBLIST_SNAP)
        open_card(list, lib, pressed);
      else
        close_card(list);
      end_press(list);
      return true;
    }
    if (button == 1 && page == 0) {
      const int32_t row = library_list_row_at(list, n, rect, x, y);
      if (row == pressed) {
        const int32_t part = library_list_part_at(card_of(lib, row),
                                                  library_list_card_rect(list, rect, row),
                                                  library_list_row_slide(list, row),
                                                  list->open_row == row, x, y);
        if (part == list->pressed_part) {
          end_press(list);
          act_on_part(list, lib, row, part, now, out);
          return true;
        }
      }
    }
    end_press(list);
    return true;
  }
  return false;
}

// ---- geometry ----

DrawRect library_list_card_rect(const LibraryList* list, DrawRect rect, int32_t row) {
  return DrawRect{rect.x + LIBLIST_MARGIN, rect.y + (float)row * LIBLIST_PITCH - list->scroll,
                  std::max(0.0f, rect.w - 2 * LIBLIST_MARGIN), LIBLIST_CARD_H};
}

int32_t library_list_row_at(const LibraryList* list, int32_t count, DrawRect rect, float x,
                            float y) {
  if (!contains(rect, x, y)) return -1;
  const float local = y - rect.y + list->scroll;
  const int32_t row = (int32_t)std::floor(local / LIBLIST_PITCH);
  if (row < 0 || row >= count) return -1;
  if (local - (float)row * LIBLIST_PITCH >= LIBLIST_CARD_H) return -1;
  if (x < rect.x + LIBLIST_MARGIN || x >= rect.x + rect.w - LIBLIST_MARGIN) return -1;
  return row;
}

bool library_list_visible_rows(const LibraryList* list, int32_t count, DrawRect rect,
                               int32_t* first, int32_t* last) {
  if (count <= 0 || rect.h <= 0) return false;
  int32_t a = (int32_t)std::floor(list->scroll / LIBLIST_PITCH);
  int32_t b = (int32_t)std::floor((list->scroll + rect.h) / LIBLIST_PITCH);
  if (a < 0) a = 0;
  if (b > count - 1) b = count - 1;
  if (a > b) return false;
  *first = a;
  *last = b;
  return true;
}

float library_list_row_slide(const LibraryList* list, int32_t row) {
  return row >= 0 && row == list->slide_row ? list->slide : 0.0f;
}

DrawRect library_list_part_rect(const LibraryCard* c, DrawRect slot, float slide, int32_t part) {
  const DrawRect none{slot.x, slot.y, 0, 0};
  if (!c) return none;
  const float fx = slot.x + slide, w = slot.w, y = slot.y;
  switch (part) {
    case LIBPART_BODY:
      return DrawRect{fx, y, w, slot.h};
    case LIBPART_PLAY:
      if (c->legacy || c->empty) return none;
      return DrawRect{fx + 10, y + 19, 44, 44};
    case LIBPART_NAME:
      if (read_only(c)) return none;
      return DrawRect{fx + 64, y + 8, std::max(0.0f, w - 64 - 108), 28};
    case LIBPART_OPEN:
      if (read_only(c)) return none;
      return DrawRect{fx + w - 54, y + 19, 44, 44};
    case LIBPART_HOVER_BIN:
      if (read_only(c)) return none;
      return DrawRect{fx + w - 98, y + 21, 40, 40};
    case LIBPART_BIN:
      if (read_only(c)) return none;
      return DrawRect{slot.x + w + LIBLIST_OPEN_SLIDE, y, -LIBLIST_OPEN_SLIDE, slot.h};
    default:
      return none;
  }
}

int32_t library_list_part_at(const LibraryCard* c, DrawRect slot, float slide, bool open, float x,
                             float y) {
  if (!c || !contains(slot, x, y)) return LIBPART_NONE;
  if (open) {
    // An open card answers only to its bin; anywhere else closes it.
    if (contains(library_list_part_rect(c, slot, slide, LIBPART_BIN), x, y)) return LIBPART_BIN;
    return LIBPART_BODY;
  }
  static const int32_t order[] = {LIBPART_PLAY, LIBPART_OPEN, LIBPART_HOVER_BIN, LIBPART_NAME};
  for (int32_t part : order)
    if (contains(library_list_part_rect(c, slot, slide, part), x, y)) return part;
  return LIBPART_BODY;
}

DrawRect library_list_menu_rect(const LibraryList* list, DrawRect rect) {
  if (!list->menu_open) return DrawRect{0, 0, 0, 0};
  const float w = LIBLIST_MENU_W;
  const float h = LIBLIST_MENU_ITEMS * LIBLIST_MENU_ITEM_H + 2 * LIBLIST_MENU_PAD;
  float ax, ay;
  menu_anchor(list, rect, &ax, &ay);
  // Kept inside the list: pushed left at the right edge, flipped above the anchor at the bottom.
  if (ax + w > rect.x + rect.w) ax = rect.x + rect.w - w;
  if (ax < rect.x) ax = rect.x;
  if (ay + h > rect.y + rect.h) ay -= h;
  if (ay < rect.y) ay = rect.y;
  return DrawRect{ax, ay, w, h};
}

DrawRect library_list_menu_item_rect(DrawRect menu, int32_t item) {
  return DrawRect{menu.x + LIBLIST_MENU_PAD,
                  menu.y + LIBLIST_MENU_PAD + (float)item * LIBLIST_MENU_ITEM_H,
                  menu.w - 2 * LIBLIST_MENU_PAD, LIBLIST_MENU_ITEM_H};
}

int32_t library_list_menu_item_at(const LibraryList* list, DrawRect rect, float x, float y) {
  const DrawRect menu = library_list_menu_rect(list, rect);
  if (!contains(menu, x, y)) return -1;
  for (int32_t i = 0; i < LIBLIST_MENU_ITEMS; i++)
    if (contains(library_list_menu_item_rect(menu, i), x, y)) return i;
  return -1;
}

bool library_list_menu_enabled(const LibraryCard* c, int32_t item) {
  if (!c) return false;
  switch (item) {
    case LIBMENU_RENAME:
    case LIBMENU_DELETE:
      return !read_only(c);
    case LIBMENU_EXPORT:
      return !read_only(c) && !c->empty;
    case LIBMENU_SHOW:
      return c->folder[0] != 0;
    default:
      return false;
  }
}

const char* library_list_menu_label(int32_t item) {
  switch (item) {
    case LIBMENU_RENAME:
      return "Rename";
    case LIBMENU_EXPORT:
      return "Export WAV";
    case LIBMENU_SHOW:
      return "Show in file manager";
    case LIBMENU_DELETE:
      return "Delete";
    default:
      return "";
  }
}

DrawRect library_list_import_button(DrawRect rect) {
  const float w = std::min(240.0f, std::max(0.0f, rect.w - 32));
  return DrawRect{rect.x + (rect.w - w) * 0.5f, rect.y + 64, w, 48};
}

void library_list_card_line(const LibraryCard* c, char* out, size_t size) {
  if (!out || size == 0) return;
  out[0] = 0;
  if (!c) return;
  if (c->damaged) {
    text_copy(out, size, "COULDN'T READ \u2014 AUDIO IS SAFE");
    return;
  }
  if (c->legacy) {
    text_copy(out, size, "OLD FORMAT \u2014 OPEN IT ON YOUR IPHONE FIRST");
    return;
  }
  char date[32] = "";
  if (c->created_at > 0) {
    const time_t t = (time_t)(c->created_at + CLOCK_UNIX_TO_2001);
    struct tm tm;
    if (localtime_r(&t, &tm) && strftime(date, sizeof date, "%d %b %Y", &tm) > 0) {
      for (char* q = date; *q; q++)
        if (*q >= 'a' && *q <= 'z') *q = (char)(*q - 'a' + 'A');
    } else {
      date[0] = 0;
    }
  }
  char length[24];
  if (c->empty) {
    snprintf(length, sizeof length, "EMPTY");
  } else {
    const double d = c->duration > 0 && std::isfinite(c->duration) ? c->duration : 0;
    const long long s = (long long)std::floor(d);
    snprintf(length, sizeof length, "%lld:%02lld", s / 60, s % 60);
  }
  if (date[0])
    snprintf(out, size, "%s \u00b7 %s", date, length);
  else
    snprintf(out, size, "%s", length);
}
