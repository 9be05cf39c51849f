// The window's state between actions: panels and their slide, the tabs, the name editor's opening
// and commit, and the confirmation's setup.
#include "app/ui.h"

#include <cmath>
#include <cstring>

#include "app/app.h"
#include "app/rig_panel.h"
#include "app/session.h"
#include "base/log.h"
#include "base/text.h"
#include "base/version.h"
#include "store/library.h"
#include "store/meta.h"

namespace {

void relayout(Ui* ui) {
  if (ui->window.layout) ui->window.layout(ui->window.user);
}

// The slide's easing step toward target; snaps within 0.002.
float ease(float value, float target, double dt, double rate) {
  const double k = std::fmin(1.0, rate * dt);
  double v = value + (target - value) * k;
  if (std::fabs(target - v) < 0.002) v = target;
  return (float)v;
}

}  // namespace

void ui_init(Ui* ui, App* app) {
  memset(ui, 0, sizeof *ui);
  ui->app = app;
  ui->settings_row = -1;
  ui->top_hover = ui->top_pressed = -1;
  ui->confirm.hover = ui->confirm.pressed = -1;
  settings_panel_init(&ui->settings);
  notices_init(&ui->notices);
  share_reset(&ui->share, &ui->share_ui);
  library_list_init(&ui->list);
  help_sheet_init(&ui->help);
  keys_sheet_init(&ui->keys);
  key_hint_init(&ui->key_hint);
  ui->tab = UI_TAB_CANVAS;
}

const char* panel_title(int32_t id) {
  static const char* const kTitles[PANEL_COUNT] = {
      "none", "SETTINGS", "HELP", "TRAINING", "WHAT'S NEW", "SHARE / EXPORT", "CONFIRM", "KEYS", "RIG"};
  return id >= 0 && id < PANEL_COUNT ? kTitles[id] : "none";
}

void panel_open(Ui* ui, int32_t id) {
  if (id <= PANEL_NONE || id >= PANEL_COUNT) {
    panel_close(ui);
    relayout(ui);
    log_line("ui: panel %s", panel_title(PANEL_NONE));
    return;
  }
  if (id == PANEL_RIG && !ui->rig_panel_this_run) return;
  ui_rename_commit(ui);
  ui->drawer_open = false;
  if (ui->panel == id) return;
  if (ui->capture == CAPTURE_PANEL) ui->capture = CAPTURE_NONE;
  panel_close(ui);
  ui->panel = id;
  ui->panel_progress = 0.0f;
  if (id == PANEL_RIG && ui->rig_panel) rig_panel_open(ui->rig_panel, ui->now);
  if (id == PANEL_HELP) {
    ui->help.training_total = 6;
    help_sheet_open(&ui->help);
  }
  if (id == PANEL_KEYS) keys_sheet_open(&ui->keys, ui->now);
  if (id == PANEL_TRAINING) training_panel_open(&ui->training_panel, &ui->training, ui->now);
  if (id == PANEL_WHATS_NEW && ui->app && ui->app->whats_new.card.entry < 0)
    whatsnew_turn(&ui->app->whats_new.card, whatsnew_find(KELP_VERSION_TEXT), true);
  if (id == PANEL_SHARE) share_reset(&ui->share, &ui->share_ui);
  if (id == PANEL_CONFIRM) ui->confirm.hover = ui->confirm.pressed = -1;
  relayout(ui);
  log_line("ui: panel %s", panel_title(id));
}

void panel_close(Ui* ui) {
  if (ui->panel == PANEL_NONE) return;
  if (ui->capture == CAPTURE_PANEL) ui->capture = CAPTURE_NONE;
  if (ui->panel == PANEL_RIG && ui->rig_panel) rig_panel_close(ui->rig_panel, ui->now);
  // An auto-opened card has been seen once it closes; the settings write keeps the stamp.
  if (ui->panel == PANEL_WHATS_NEW && ui->app) {
    Settings* st = &ui->app->settings;
    whatsnew_closed(&ui->app->whats_new, st->whatsnew_seen, sizeof st->whatsnew_seen,
                    KELP_VERSION_TEXT);
  }
  ui->closing_panel = ui->panel;
  ui->closing_progress = ui->panel_progress;
  ui->panel = PANEL_NONE;
  relayout(ui);
}

void panel_tick(Ui* ui, double dt) {
  if (!(dt > 0)) dt = 1.0 / 60.0;
  if (ui->panel != PANEL_NONE) ui->panel_progress = ease(ui->panel_progress, 1.0f, dt, 16.0);
  if (ui->closing_panel != PANEL_NONE) {
    ui->closing_progress = ease(ui->closing_progress, 0.0f, dt, 16.0);
    if (ui->closing_progress < 0.005f) ui->closing_panel = PANEL_NONE;
  }
  keys_sheet_tick(&ui->keys, dt);
  ui->console_progress = ease(ui->console_progress, ui->console_open ? 1.0f : 0.0f, dt, 14.0);
  // The library tab slides out of the left edge.
  ui->list_progress = ease(ui->list_progress, ui->tab == UI_TAB_LIBRARY ? 1.0f : 0.0f, dt, 15.0);
  // The XY stick's way back to the centre.
  Session* s = ui->app ? ui->app->session : nullptr;
  if (ui->xy_returning && s && !ui->xy_held) {
    const float k = (float)std::fmin(1.0, 10.0 * dt);
    float x = s->xy_x - s->xy_x * k, y = s->xy_y - s->xy_y * k;
    const bool home = std::fabs(x) < 0.002f && std::fabs(y) < 0.002f;
    if (home) x = y = 0.0f, ui->xy_returning = false;
    session_set_xy(s, x, y, home);
  }
}

void ui_settings_select(Ui* ui, int32_t row) {
  settings_select(&ui->settings, row >= 0 && row < UI_SETTINGS_ROWS ? row : -1);
  ui->settings_row = ui->settings.selected;
}

void ui_switch_tab(Ui* ui, int32_t tab) {
  if (tab == ui->tab) return;
  ui_rename_commit(ui);
  ui->drawer_open = false;
  if (tab == UI_TAB_LIBRARY) {
    library_list_reset_view(&ui->list);
    App* a = ui->app;
    Session* s = a ? a->session : nullptr;
    if (a && !a->quitting) {
      const SessionSnapshot* snap = s ? session_snapshot(s) : nullptr;
      if (snap && snap->loaded) app_flush(a);
      if (a->lib_made) library_refresh(&a->lib, a->jobs, snap ? snap->id : "");
    }
  } else {
    library_list_close_menu(&ui->list);
    library_list_rename_cancel(&ui->list);
    if (ui->app && ui->app->lib_made) library_preview_stop(&ui->app->lib);
  }
  ui->tab = tab;
  relayout(ui);
  log_line("ui: %s", tab == UI_TAB_LIBRARY ? "library" : "canvas");
}

void ui_rename_open(Ui* ui) {
  Session* s = ui->app ? ui->app->session : nullptr;
  const SessionSnapshot* snap = s ? session_snapshot(s) : nullptr;
  if (!snap || !snap->id[0] || ui->name.open) return;
  // The field starts with the name as shown.
  const char* name = snap->meta && snap->meta->name[0] ? snap->meta->name : snap->title;
  name_edit_open(&ui->name, name, ui->now);
}

void ui_rename_commit(Ui* ui) {
  if (!ui->name.open) return;
  char text[NAME_EDIT_MAX + 1];
  name_edit_trimmed(&ui->name, text, sizeof text);
  name_edit_close(&ui->name);
  Session* s = ui->app ? ui->app->session : nullptr;
  const SessionSnapshot* snap = s ? session_snapshot(s) : nullptr;
  if (!snap || !snap->loaded || !text[0]) return;
  const char* now_named = snap->meta && snap->meta->name[0] ? snap->meta->name : snap->title;
  if (strcmp(text, now_named) == 0) return;
  Action a;
  memset(&a, 0, sizeof a);
  a.kind = ACT_RENAME_COMMIT;
  actions_cut_utf8(a.text, sizeof a.text, text);
  actions_dispatch(ui, &a);
}

void confirm_setup(Ui* ui, int32_t kind, const char* id, const char* name) {
  UiConfirm* c = &ui->confirm;
  c->kind = kind == CONFIRM_DELETE ? CONFIRM_DELETE : CONFIRM_CLEAR;
  actions_cut_utf8(c->id, sizeof c->id, id ? id : "");
  actions_cut_utf8(c->name, sizeof c->name, name ? name : "");
  c->hover = c->pressed = -1;
}
