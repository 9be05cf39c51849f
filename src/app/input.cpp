// The window's keyboard, mouse and wheel become actions: keys after the name editor and the panel
// had their chance, presses to the first region that takes them (which then owns the pointer until
// the release), the wheel once per frame to the region under the pointer.
#include <SDL.h>

#include <cmath>
#include <cstring>

#include "app/app.h"
#include "app/session.h"
#include "app/ui.h"
#include "app/console.h"
#include "base/log.h"
#include "platform/fsys.h"
#include "store/library.h"
#include "control/keymap.h"

namespace {

bool inside(float x, float y, float rx, float ry, float rw, float rh) {
  return x >= rx && y >= ry && x < rx + rw && y < ry + rh;
}

bool inside(const UiButton& b, float x, float y) {
  return inside(x, y, b.x, b.y, b.w, b.h);
}

bool over_canvas(const UiLayout* l, float x, float y) {
  const GestureFrame& c = l->canvas;
  return l->has_canvas && inside(x, y, c.left, c.top, c.width, c.height);
}

bool over_panel(const UiLayout* l, float x, float y) {
  return inside(x, y, l->panel_x, l->panel_y, l->panel_w, l->panel_h);
}

bool over_title(const UiLayout* l, float x, float y) {
  return inside(x, y, l->title_x, l->title_y, l->title_w, l->title_h);
}

int32_t top_button_at(const UiLayout* l, float x, float y) {
  if (y < 0 || y >= l->top_bar) return -1;
  for (int32_t i = 0; i < UI_TOP_BUTTONS; i++)
    if (l->top_w[i] > 0 && x >= l->top_x[i] && x < l->top_x[i] + l->top_w[i]) return i;
  return -1;
}

void top_button_act(Ui* ui, int32_t button) {
  switch (button) {
    case TOP_SETTINGS:
      actions_push(&ui->pending, ACT_SETTINGS, -1, nullptr);
      break;
    case TOP_SHARE:
      actions_push(&ui->pending, ACT_SHARE, 0, nullptr);
      break;
    case TOP_LIBRARY:
      actions_push(&ui->pending, ACT_LIBRARY, 0, nullptr);
      break;
    case TOP_RIG:
      actions_push(&ui->pending, ACT_RIG, 0, nullptr);
      break;
    default:
      break;
  }
}

DrawRect panel_rect(const UiLayout* l) {
  return DrawRect{l->panel_x, l->panel_y, l->panel_w, l->panel_h};
}

DrawRect list_rect(const UiLayout* l) {
  return DrawRect{l->list_x, l->list_y, l->list_w, l->list_h};
}

const Library* lib_of(const Ui* ui) {
  return ui->app && ui->app->lib_made ? &ui->app->lib : nullptr;
}

int32_t lib_page(const Ui* ui) {
  return ui->app && ui->app->settings.lib_tab ? 1 : 0;
}

bool sketch_ready(Ui* ui);

const SessionSnapshot* snap_of(Ui* ui) {
  return ui->app && ui->app->session ? session_snapshot(ui->app->session) : nullptr;
}

void relayout(Ui* ui) {
  if (ui->window.layout) ui->window.layout(ui->window.user);
}

// The editor's keys. Enter commits a changed, non-empty name; Escape cancels.
void editor_key(Ui* ui, int32_t keycode, uint32_t mods, bool repeat) {
  const int32_t r = name_edit_key(&ui->name, keycode, mods, repeat, ui->now);
  if (r == NAME_KEY_PASTE) {
    char clip[1024];
    if (ui->window.clipboard_text && ui->window.clipboard_text(ui->window.user, clip, sizeof clip))
      name_edit_insert(&ui->name, clip, ui->now);
  } else if (r == NAME_KEY_COMMIT) {
    char text[NAME_EDIT_MAX + 1];
    name_edit_trimmed(&ui->name, text, sizeof text);
    name_edit_close(&ui->name);
    const SessionSnapshot* snap = snap_of(ui);
    const char* named = snap && snap->meta && snap->meta->name[0] ? snap->meta->name
                        : snap                                   ? snap->title
                                                                 : "";
    // An empty name (spaces, or only characters that were dropped) keeps the old one.
    if (snap && snap->loaded && text[0] && strcmp(text, named) != 0)
      actions_push(&ui->pending, ACT_RENAME_COMMIT, 0, text);
  } else if (r == NAME_KEY_CANCEL) {
    name_edit_close(&ui->name);
    actions_push(&ui->pending, ACT_RENAME_CANCEL, 0, nullptr);
  }
}

bool swallowed_by_panel(int32_t keycode) {
  switch (keycode) {
    case SDLK_PAGEUP:
    case SDLK_HOME:
    case SDLK_END:
    case SDLK_LEFT:
    case SDLK_RIGHT:
    case SDLK_UP:
    case SDLK_DOWN:
    case SDLK_RETURN:
    case SDLK_KP_ENTER:
    case SDLK_TAB:
      return true;
    default:
      return false;
  }
}

// The open panel's own keys; true when it used the key.
bool panel_key(Ui* ui, int32_t keycode, bool repeat) {
  if (ui->panel == PANEL_CONFIRM) return confirm_key(ui, keycode, repeat);
  if (ui->panel == PANEL_HELP) return help_sheet_key(&ui->help, keycode);
  if (ui->panel == PANEL_KEYS) return keys_sheet_key(&ui->keys, keycode);
  if (ui->panel == PANEL_WHATS_NEW) return whatsnew_key(keycode, &ui->pending);
  if (ui->panel == PANEL_SETTINGS && ui->app) {
    const bool used = settings_panel_key(&ui->settings, ui->app, &ui->settings_ctx, keycode, repeat,
                                         &ui->pending);
    ui->settings_row = ui->settings.selected;
    return used;
  }
  return false;
}

// The library list's keys on its tab (the rename field's keys too).
bool library_key(Ui* ui, const UiLayout* l, int32_t keycode, uint32_t mods, bool repeat) {
  const Library* lib = lib_of(ui);
  if (!lib) return false;
  library_list_track(&ui->list, lib);
  const bool used = library_list_keys(&ui->list, lib, lib_page(ui), keycode, mods, repeat,
                                      ui->list_progress < 0.999f, l->list_h, ui->now, &ui->pending);
  if (library_list_take_paste(&ui->list)) {
    char clip[1024];
    if (ui->window.clipboard_text && ui->window.clipboard_text(ui->window.user, clip, sizeof clip))
      library_list_text(&ui->list, clip, ui->now);
  }
  return used;
}

void escape_key(Ui* ui, bool repeat) {
  if (repeat) return;
  if (ui->drawer_open) {
    ui->drawer_open = false;
    if (ui->capture == CAPTURE_DRAWER) ui->capture = CAPTURE_NONE;
    return;
  }
  if (ui->panel == PANEL_NONE) {
    if (ui->tab == UI_TAB_LIBRARY && library_list_renaming(&ui->list)) {
      library_list_rename_cancel(&ui->list);
    } else if (ui->console_open) {
      ui->console_open = false;
    }
    return;
  }
  if (ui->panel == PANEL_SETTINGS || ui->panel == PANEL_CONFIRM) {
    if (!panel_key(ui, SDLK_ESCAPE, repeat)) panel_close(ui);
    return;
  }
  panel_close(ui);
}

void set_capture(Ui* ui, int32_t capture, int32_t button) {
  ui->capture = capture;
  ui->capture_button = button;
  if (ui->window.mouse_capture) ui->window.mouse_capture(ui->window.user, capture != CAPTURE_NONE);
}

bool sketch_ready(Ui* ui) {
  const SessionSnapshot* snap = snap_of(ui);
  return snap && snap->loaded && !snap->loading_meta && !snap->loading_tape && !snap->closing;
}

bool share_export_exists(Ui* ui) {
  FsysInfo info;
  return ui->share.last_export[0] && fsys_info(ui->share.last_export, &info) == 0 &&
         info.target_kind == FSYS_FILE;
}

// Moves (button 0 for hover) and releases inside the open panel.
void panel_pointer(Ui* ui, const UiLayout* l, int32_t kind, int32_t button, float x, float y) {
  switch (ui->panel) {
    case PANEL_CONFIRM:
      if (kind == 2 || button == SDL_BUTTON_LEFT) confirm_pointer(ui, l, kind, x, y);
      break;
    case PANEL_SETTINGS:
      if (ui->app)
        settings_panel_pointer(&ui->settings, ui->app, &ui->settings_ctx, panel_rect(l), kind,
                               button, x, y, ui->now, &ui->pending);
      ui->settings_row = ui->settings.selected;
      break;
    case PANEL_SHARE:
      if (kind == 2 || button == SDL_BUTTON_LEFT)
        share_pointer(&ui->share, &ui->share_ui, panel_rect(l), kind, x, y, sketch_ready(ui),
                      share_export_exists(ui), ui->now, &ui->pending);
      break;
    case PANEL_HELP:
      if (kind == 2 || button == SDL_BUTTON_LEFT)
        help_sheet_pointer(&ui->help, panel_rect(l), kind, x, y, &ui->pending);
      break;
    case PANEL_KEYS:
      if (kind == 2 || button == SDL_BUTTON_LEFT)
        keys_sheet_pointer(&ui->keys, panel_rect(l), kind, x, y, &ui->pending);
      break;
    case PANEL_TRAINING:
      training_panel_pointer(&ui->training_panel, panel_rect(l), kind, button, x, y, &ui->pending);
      break;
    case PANEL_WHATS_NEW:
      if (ui->app)
        whatsnew_pointer(&ui->app->whats_new.card, panel_rect(l), l->scale, kind, button, x, y,
                         ui->now, &ui->pending);
      break;
    default:
      break;
  }
}

void pointer_press(Ui* ui, const UiLayout* l, int32_t button, int32_t clicks, float x, float y) {
  // A second button while one is held goes to the holder, which ignores it.
  if (ui->capture != CAPTURE_NONE) {
    if (ui->capture == CAPTURE_CANVAS)
      gesture_press(&ui->gesture, &l->canvas, button, x, y, ui->now, &ui->pending);
    return;
  }
  // 1. The name editor's field.
  if (ui->name.open) {
    if (over_title(l, x, y)) return set_capture(ui, CAPTURE_TOP_BAR, button);
    ui_rename_commit(ui);
  }
  // 2. The library's row menu takes presses over the top bar too.
  const Library* lib = lib_of(ui);
  if (ui->tab == UI_TAB_LIBRARY && lib && library_list_menu_open(&ui->list) && y < l->top_bar) {
    library_list_pointer(&ui->list, lib, lib_page(ui), list_rect(l), 1, button, clicks, x, y, 0,
                         ui->now, &ui->pending);
    return set_capture(ui, CAPTURE_LIBRARY, button);
  }
  // The task card stands over everything.
  if (task_card_pointer(&ui->task_card, l->width, 1, button, x, y, &ui->pending)) return;
  // 3. The console overlay.
  if (console_pointer(&ui->console_open, y, l->height)) return;
  // 5. A panel.
  if (ui->panel != PANEL_NONE) {
    if (over_panel(l, x, y)) {
      if (ui->panel == PANEL_CONFIRM && button == SDL_BUTTON_LEFT) confirm_pointer(ui, l, 1, x, y);
      if (ui->panel == PANEL_SETTINGS && ui->app)
        settings_panel_pointer(&ui->settings, ui->app, &ui->settings_ctx, panel_rect(l), 1, button,
                               x, y, ui->now, &ui->pending);
      if (ui->panel == PANEL_SHARE && button == SDL_BUTTON_LEFT)
        share_pointer(&ui->share, &ui->share_ui, panel_rect(l), 1, x, y, sketch_ready(ui),
                      share_export_exists(ui), ui->now, &ui->pending);
      if ((ui->panel == PANEL_HELP || ui->panel == PANEL_KEYS || ui->panel == PANEL_TRAINING) &&
          button == SDL_BUTTON_LEFT)
        panel_pointer(ui, l, 1, button, x, y);
      if (ui->panel == PANEL_WHATS_NEW) panel_pointer(ui, l, 1, button, x, y);
      return set_capture(ui, CAPTURE_PANEL, button);
    }
    if (ui->panel == PANEL_CONFIRM) return;  // the question stays until answered
    if (ui->panel != PANEL_RIG) {
      panel_close(ui);
      return;
    }
  }
  // 6. Toasts and banners.
  if (notices_pointer(&ui->notices, 1, button, x, y, &ui->pending))
    return set_capture(ui, CAPTURE_NOTICE, button);
  // 7. The top bar: its buttons act on a release over the same button.
  if (y < l->top_bar) {
    const int32_t t = top_button_at(l, x, y);
    if (t >= 0 && button == SDL_BUTTON_LEFT) {
      ui->top_pressed = t;
      set_capture(ui, CAPTURE_TOP_BAR, button);
    }
    return;
  }
  // 8. The library tab: the list, and a press beside it goes back to the sketch (unless a rename
  // or the menu is open: that press only ends them).
  if (ui->tab == UI_TAB_LIBRARY) {
    const bool busy = library_list_renaming(&ui->list) || library_list_menu_open(&ui->list);
    if (lib && library_list_pointer(&ui->list, lib, lib_page(ui), list_rect(l), 1, button, clicks,
                                    x, y, 0, ui->now, &ui->pending))
      return set_capture(ui, CAPTURE_LIBRARY, button);
    if (!busy && !inside(x, y, l->list_x, l->list_y, l->list_w, l->list_h))
      actions_push(&ui->pending, ACT_LIBRARY, 0, nullptr);
    return;
  }
  // 9. The controls below the canvas, then the canvas.
  if (ui->window.control_press) {
    const int32_t c = ui->window.control_press(ui->window.user, button, x, y);
    if (c != CAPTURE_NONE) return set_capture(ui, c, button);
  }
  if (over_canvas(l, x, y) &&
      gesture_press(&ui->gesture, &l->canvas, button, x, y, ui->now, &ui->pending))
    set_capture(ui, CAPTURE_CANVAS, button);
}

void pointer_move(Ui* ui, const UiLayout* l, float x, float y) {
  ui->pointer_in = true;
  ui->pointer_x = x;
  ui->pointer_y = y;
  switch (ui->capture) {
    case CAPTURE_CANVAS:
      gesture_move(&ui->gesture, &l->canvas, x, y, ui->now, &ui->pending);
      break;
    case CAPTURE_PANEL:
      panel_pointer(ui, l, 2, ui->capture_button, x, y);
      break;
    case CAPTURE_NOTICE:
      notices_pointer(&ui->notices, 2, ui->capture_button, x, y, &ui->pending);
      break;
    case CAPTURE_LIBRARY:
      if (const Library* lib = lib_of(ui))
        library_list_pointer(&ui->list, lib, lib_page(ui), list_rect(l), 2, ui->capture_button, 0,
                             x, y, 0, ui->now, &ui->pending);
      break;
    case CAPTURE_STICK:
    case CAPTURE_STRIP:
      if (ui->window.control_move) ui->window.control_move(ui->window.user, ui->capture, x, y);
      break;
    case CAPTURE_NONE:
      // Hover.
      panel_pointer(ui, l, 2, 0, x, y);
      notices_pointer(&ui->notices, 2, 0, x, y, &ui->pending);
      if (ui->tab == UI_TAB_LIBRARY)
        if (const Library* lib = lib_of(ui))
          library_list_pointer(&ui->list, lib, lib_page(ui), list_rect(l), 2, 0, 0, x, y, 0,
                               ui->now, &ui->pending);
      ui->top_hover = top_button_at(l, x, y);
      break;
    default:
      break;
  }
}

void pointer_release(Ui* ui, const UiLayout* l, int32_t button, float x, float y) {
  if (ui->capture == CAPTURE_NONE || button != ui->capture_button) return;
  const int32_t c = ui->capture;
  set_capture(ui, CAPTURE_NONE, 0);
  switch (c) {
    case CAPTURE_CANVAS:
      gesture_release(&ui->gesture, &l->canvas, button, x, y, ui->now, &ui->pending);
      break;
    case CAPTURE_PANEL:
      panel_pointer(ui, l, 3, button, x, y);
      break;
    case CAPTURE_NOTICE:
      notices_pointer(&ui->notices, 3, button, x, y, &ui->pending);
      break;
    case CAPTURE_LIBRARY:
      if (const Library* lib = lib_of(ui))
        library_list_pointer(&ui->list, lib, lib_page(ui), list_rect(l), 3, button, 0, x, y, 0,
                             ui->now, &ui->pending);
      break;
    case CAPTURE_TOP_BAR: {
      const int32_t pressed = ui->top_pressed;
      ui->top_pressed = -1;
      if (pressed >= 0 && top_button_at(l, x, y) == pressed) top_button_act(ui, pressed);
      break;
    }
    case CAPTURE_STICK:
    case CAPTURE_STRIP:
      if (ui->window.control_release)
        ui->window.control_release(ui->window.user, c, button, x, y);
      break;
    default:
      break;
  }
}

}  // namespace

void input_key(Ui* ui, const UiLayout* l, int32_t keycode, int32_t scancode, uint32_t mods,
               bool repeat) {
  for (int pass = 0; pass < 2; pass++) {
    // 1. The name editor takes every key.
    if (ui->name.open) return editor_key(ui, keycode, mods, repeat);
    // 2. The library's row menu.
    if (ui->tab == UI_TAB_LIBRARY && library_list_menu_open(&ui->list)) {
      library_key(ui, l, keycode, mods, repeat);
      return;
    }
    // 3. What is pending goes first, so the key sees its effects.
    if (ui->pending.count > 0 && pass == 0) {
      actions_flush(ui);
      relayout(ui);
      if (ui->name.open || library_list_menu_open(&ui->list)) continue;
    }
    break;
  }
  // 4. Escape has its own order and never reaches the key map.
  if (keycode == SDLK_ESCAPE) return escape_key(ui, repeat);
  // 5. The open panel.
  if (ui->panel != PANEL_NONE) {
    if (panel_key(ui, keycode, repeat)) return;
    if (ui->panel != PANEL_KEYS && ui->panel != PANEL_RIG && swallowed_by_panel(keycode)) return;
  }
  // 6. The library tab takes the key first, then swallows the arrows.
  if (ui->tab == UI_TAB_LIBRARY) {
    if (library_key(ui, l, keycode, mods, repeat)) return;
    if (keycode == SDLK_LEFT || keycode == SDLK_RIGHT || keycode == SDLK_UP || keycode == SDLK_DOWN)
      return;
  }
  // 7. The key map.
  Action a;
  if (keymap_lookup(keycode, scancode, mods, repeat, &a) && a.kind != ACT_NONE) {
    const SessionSnapshot* snap = snap_of(ui);
    if (a.kind == ACT_RECORD && !(snap && (snap->recording || snap->take_running)))
      ui->record_key_at = ui->now;  // a start, not the key that stops the take
    actions_append(&ui->pending, &a);
  }
}

bool input_event(Ui* ui, const UiLayout* l, const SDL_Event* e) {
  const float k = l->to_points > 0 ? l->to_points : 1.0f;
  switch (e->type) {
    case SDL_KEYDOWN: {
      if (ui->pending.count > 0 && !ui->name.open && !library_list_menu_open(&ui->list)) {
        actions_flush(ui);
        relayout(ui);
      }
      input_key(ui, l, e->key.keysym.sym, e->key.keysym.scancode,
                keymap_mods_from_sdl(e->key.keysym.mod), e->key.repeat != 0);
      return true;
    }
    case SDL_TEXTINPUT:
      if (!ui->name.open) return library_list_text(&ui->list, e->text.text, ui->now);
      name_edit_insert(&ui->name, e->text.text, ui->now);
      return true;
    case SDL_TEXTEDITING:
      if (!ui->name.open)
        return library_list_compose(&ui->list, e->edit.text, e->edit.start, e->edit.length);
      name_edit_compose(&ui->name, e->edit.text, e->edit.start, e->edit.length);
      return true;
    case SDL_MOUSEMOTION:
      pointer_move(ui, l, (float)e->motion.x * k, (float)e->motion.y * k);
      return true;
    case SDL_MOUSEBUTTONDOWN:
      ui->pointer_in = true;
      pointer_press(ui, l, e->button.button, e->button.clicks, (float)e->button.x * k,
                    (float)e->button.y * k);
      return true;
    case SDL_MOUSEBUTTONUP:
      pointer_release(ui, l, e->button.button, (float)e->button.x * k, (float)e->button.y * k);
      return true;
    case SDL_MOUSEWHEEL: {
      float wx = e->wheel.preciseX, wy = e->wheel.preciseY;
      if (e->wheel.direction == SDL_MOUSEWHEEL_FLIPPED) wx = -wx, wy = -wy;
      ui->wheel.x += wx;
      ui->wheel.y += wy;
      ui->wheel.mods = keymap_mods_from_sdl(SDL_GetModState());
      ui->wheel.px = ui->pointer_x;
      ui->wheel.py = ui->pointer_y;
      return true;
    }
    case SDL_MULTIGESTURE:
      // A touchpad pinch: the fingers' spread zooms like Ctrl + wheel.
      if (e->mgesture.numFingers == 2 && std::fabs(e->mgesture.dDist) > 0.0005f) {
        ui->wheel.y += e->mgesture.dDist * 25.0f;
        ui->wheel.mods = KEYMOD_CTRL;
        ui->wheel.px = ui->pointer_x;
        ui->wheel.py = ui->pointer_y;
      }
      return true;
    case SDL_WINDOWEVENT:
      if (e->window.event == SDL_WINDOWEVENT_LEAVE) ui->pointer_in = false;
      if (e->window.event == SDL_WINDOWEVENT_ENTER) ui->pointer_in = true;
      if (e->window.event == SDL_WINDOWEVENT_FOCUS_LOST && ui->capture == CAPTURE_CANVAS) {
        // The release may never come: end the gesture the way a release would.
        gesture_cancel(&ui->gesture, &l->canvas, ui->now, &ui->pending);
        set_capture(ui, CAPTURE_NONE, 0);
      }
      return false;
    default:
      return false;
  }
}

void input_wheel_flush(Ui* ui, const UiLayout* l) {
  UiWheel w = ui->wheel;
  ui->wheel.x = ui->wheel.y = 0.0f;
  if (w.x == 0.0f && w.y == 0.0f) return;
  // 1. The console, over the top two thirds.
  if (ui->console_open && w.py < l->height * (2.0f / 3.0f)) return;
  // 2. An open panel takes it, else the library list on its tab, else the canvas.
  if (ui->panel != PANEL_NONE && ui->panel != PANEL_RIG) {
    if (ui->panel == PANEL_SETTINGS) settings_panel_wheel(&ui->settings, &ui->settings_ctx,
                                                          panel_rect(l), w.y);
    if (ui->panel == PANEL_HELP) help_sheet_wheel(&ui->help, w.y);
    if (ui->panel == PANEL_KEYS) keys_sheet_wheel(&ui->keys, w.y);
    if (ui->panel == PANEL_TRAINING) training_panel_wheel(&ui->training_panel, w.y);
    if (ui->panel == PANEL_WHATS_NEW && ui->app)
      whatsnew_wheel(&ui->app->whats_new.card, panel_rect(l), l->scale, w.y);
    return;
  }
  if (ui->tab == UI_TAB_LIBRARY) {
    if (const Library* lib = lib_of(ui))
      library_list_pointer(&ui->list, lib, lib_page(ui), list_rect(l), 4, 0, 0, w.px, w.py, w.y,
                           ui->now, &ui->pending);
    return;
  }
  if (!l->has_canvas) return;
  gesture_wheel(&l->canvas, w.x, w.y, w.mods, &ui->pending);
}

const char* ui_top_label(int32_t button) {
  static const char* const kLabels[UI_TOP_BUTTONS] = {"SETTINGS", "SHARE", "LIBRARY", "\u26C1 RIG"};
  return button >= 0 && button < UI_TOP_BUTTONS ? kLabels[button] : "";
}

// ---- CONFIRM ----

void confirm_buttons(const UiLayout* l, UiButton* danger, UiButton* keep, UiButton* close) {
  const float w = (l->panel_w - 36.0f - 10.0f) * 0.5f;
  const float y = l->panel_y + l->panel_h - 18.0f - 36.0f;
  *danger = UiButton{l->panel_x + 18.0f, y, w, 36.0f};
  *keep = UiButton{l->panel_x + 18.0f + w + 10.0f, y, w, 36.0f};
  *close = UiButton{l->panel_x + l->panel_w - 40.0f, l->panel_y + 12.0f, 28.0f, 28.0f};
}

void confirm_pointer(Ui* ui, const UiLayout* l, int32_t kind, float x, float y) {
  UiButton b[3];
  confirm_buttons(l, &b[0], &b[1], &b[2]);
  UiConfirm* c = &ui->confirm;
  int32_t over = -1;
  for (int i = 0; i < 3; i++)
    if (inside(b[i], x, y)) over = i;
  // The danger button does nothing while deleting without an id.
  if (over == 0 && c->kind == CONFIRM_DELETE && !c->id[0]) over = -1;
  c->hover = over;
  if (kind == 1) {
    c->pressed = over;
    return;
  }
  if (kind != 3) return;
  const int32_t pressed = c->pressed;
  c->pressed = -1;
  if (over < 0 || over != pressed) return;
  if (over == 0) {
    if (c->kind == CONFIRM_CLEAR)
      actions_push(&ui->pending, ACT_CLEAR, 0, nullptr);
    else
      actions_push(&ui->pending, ACT_DELETE, 0, c->id);
  }
  actions_push(&ui->pending, ACT_CLOSE_PANEL, 0, nullptr);
}

bool confirm_key(Ui* ui, int32_t keycode, bool repeat) {
  // The keyboard never confirms: Enter and Escape both keep the sketch.
  if (repeat) return false;
  if (keycode == SDLK_RETURN || keycode == SDLK_KP_ENTER || keycode == SDLK_ESCAPE) {
    actions_push(&ui->pending, ACT_CLOSE_PANEL, 0, nullptr);
    return true;
  }
  return false;
}
