// The dispatcher: the one place an action becomes calls on the session, the library, the audio
// engine and the window. The flush before it raises the busy notices that must show before a slow
// audio change starts, and runs the save retry at once.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/app.h"
#include "app/session.h"
#include "app/session_lifecycle.h"
#include "app/ui.h"
#include "audio/audio_engine.h"
#include "base/log.h"
#include "base/text.h"
#include "base/version.h"
#include "platform/fsys.h"
#include "platform/shell.h"
#include "rig/rig_controller.h"
#include "store/library.h"
#include "store/paths.h"

namespace {

constexpr int32_t kIdMax = 36;  // bytes of a sketch id handed to the session

Session* session_of(Ui* ui) {
  return ui->app ? ui->app->session : nullptr;
}

const SessionSnapshot* snap_of(Ui* ui) {
  Session* s = session_of(ui);
  return s ? session_snapshot(s) : nullptr;
}

bool loaded(Ui* ui) {
  const SessionSnapshot* snap = snap_of(ui);
  return snap && snap->loaded && snap->id[0];
}

Library* library_of(Ui* ui) {
  return ui->app && ui->app->lib_made ? &ui->app->lib : nullptr;
}

const LibraryCard* card_of(Ui* ui, const char* id) {
  Library* lib = library_of(ui);
  if (!lib || !id || !*id) return nullptr;
  const int32_t i = library_find(lib, id);
  return i >= 0 && i < lib->count ? &lib->rows[i] : nullptr;
}

void training_tick(Ui* ui, const char* task) {
  if (ui->app && ui->app->training) ui->app->training(ui->app->user, task);
}

void midi_tick(Ui* ui, const Action* a) {
  if (a->value == ACTION_FROM_MIDI) training_tick(ui, "midi-hands");
}

// The engine as the session sees it (the session may stand between), else the engine itself.
bool engine_status(Ui* ui, AudioStatus* out) {
  Session* s = session_of(ui);
  if (s && s->audio.status) return s->audio.status(s->audio.user, out) > 0;
  return ui->app && ui->app->engine && audio_engine_status(ui->app->engine, out) > 0;
}

void stop_preview(Ui* ui) {
  if (Library* lib = library_of(ui)) library_preview_stop(lib);
}

void busy_notice(Ui* ui, const char* text) {
  UiBusy* b = &ui->busy;
  actions_cut_utf8(b->text, sizeof b->text, text);
  b->at = ui->now;
  AudioStatus st;
  b->switch_counter = engine_status(ui, &st) ? st.change_counter : 0;
  b->active = true;
  ui_toast(ui, b->text);
}

// The device a step lands on: 0 with the target, -1 none, -2 only the current one.
int device_target(Ui* ui, int32_t step, int32_t* target, AudioStatus* st) {
  if (!engine_status(ui, st)) st->row_count = 0, st->row = -1;
  return actions_device_target(st->row_count, st->row, step, target);
}

void exports_folder(Ui* ui, char* out, size_t size) {
  text_copy(out, size, ui->app ? ui->app->paths.exports : "");
}

bool file_exists(const char* path) {
  FsysInfo info;
  return path && *path && fsys_info(path, &info) == 0;
}

void open_exports(Ui* ui) {
  char folder[1024];
  exports_folder(ui, folder, sizeof folder);
  if (folder[0]) shell_open_folder(folder);
}

void copy_export(Ui* ui, const char* given) {
  UiShare* sh = &ui->share;
  const char* path = given && *given ? given : sh->last_export;
  auto fail = [&](const char* message, const char* toast) {
    text_copy(sh->message, sizeof sh->message, message);
    sh->state[SHARE_COPY] = SHARE_FAILED;
    sh->until[SHARE_COPY] = ui->now + 6.0;
    ui_toast(ui, toast);
  };
  if (!path[0]) return fail("EXPORT SOMETHING FIRST", "EXPORT SOMETHING FIRST");
  if (!file_exists(path))
    return fail("THE EXPORT IS GONE - EXPORT AGAIN", "THE EXPORT IS GONE - EXPORT AGAIN");
  if (clipboard_copy_file(ui->window.native, path) != 0)
    return fail("THE CLIPBOARD IS BUSY - TRY AGAIN", "COULDN'T COPY - CLIPBOARD BUSY");
  sh->state[SHARE_COPY] = SHARE_DONE;
  sh->until[SHARE_COPY] = ui->now + 3.0;
  ui_toast(ui, "FILE COPIED - READY TO PASTE");
}

void library_export(Ui* ui, const char* id) {
  const LibraryCard* card = card_of(ui, id);
  if (!card) return;
  if (card->damaged || card->legacy) return ui_toast(ui, "COULDN'T READ IT - AUDIO IS SAFE");
  if (card->empty || card->length_samples <= 0)
    return ui_toast(ui, "NOTHING TO EXPORT - IT'S EMPTY");
  char folder[1024];
  exports_folder(ui, folder, sizeof folder);
  if (fsys_make_folders(folder) != 0) log_line("actions: couldn't make %s", folder);
  library_export(library_of(ui), ui->app->jobs, card->id, folder);
}

void delete_sketch(Ui* ui, const char* id) {
  if (ui->panel == PANEL_CONFIRM) panel_close(ui);
  if (!id || !*id) return;
  Library* lib = library_of(ui);
  if (lib && strcmp(lib->preview_id, id) == 0) library_preview_stop(lib);
  Session* s = session_of(ui);
  const SessionSnapshot* snap = snap_of(ui);
  if (snap && snap->id[0] && library_same_text(snap->id, id) && snap->state != SESSION_NONE) {
    ui_rename_commit(ui);
    if (snap->saving) return ui_toast(ui, "STILL SAVING - TRY AGAIN IN A MOMENT");
    session_close(s);
  }
  if (!lib || library_find(lib, id) < 0) return;
  char kept[UI_ID_BYTES];
  actions_cut_utf8(kept, sizeof kept, id);
  if (library_delete(lib, ui->app->jobs, kept) != 0) return;
  Settings* st = &ui->app->settings;
  if (library_same_text(st->last_opened, kept)) st->last_opened[0] = 0;
  app_flush(ui->app);
  log_line("actions: deleted %s", kept);
}

void import_files(Ui* ui) {
  char (*paths)[DIALOG_PATH_BYTES] =
      (char (*)[DIALOG_PATH_BYTES])malloc((size_t)LIBRARY_IMPORT_MAX * DIALOG_PATH_BYTES);
  if (!paths) return ui_toast(ui, "NOT ENOUGH MEMORY TO IMPORT");
  actions_flush_saves(ui);
  const int n = dialog_pick_audio_files(ui->window.native, paths, LIBRARY_IMPORT_MAX);
  if (n > 0 && library_of(ui)) {
    const char* list[LIBRARY_IMPORT_MAX];
    for (int i = 0; i < n; i++) list[i] = paths[i];
    library_import(library_of(ui), ui->app->jobs, list, n);
    log_line("actions: importing %d file%s", n, n == 1 ? "" : "s");
    if (n == LIBRARY_IMPORT_MAX) ui_toast(ui, "BRINGING IN THE FIRST 64 FILES");
  }
  free(paths);
}

void library_folder(Ui* ui, bool pick) {
  App* a = ui->app;
  const SessionSnapshot* snap = snap_of(ui);
  if (snap && (snap->saving || snap->closing)) return ui_toast(ui, "WAIT FOR THE TAKE TO SAVE");
  char chosen[DIALOG_PATH_BYTES] = "";
  if (pick) {
    actions_flush_saves(ui);
    if (!dialog_pick_folder(ui->window.native, chosen, sizeof chosen) || !chosen[0]) return;
  }
  char before[sizeof a->paths.library];
  text_copy(before, sizeof before, a->paths.library);
  if (paths_set_library(&a->paths, chosen) != 0) return ui_toast(ui, "COULDN'T USE THAT FOLDER");
  text_copy(a->settings.library_dir, sizeof a->settings.library_dir, chosen);
  if (library_same_text(before, a->paths.library)) {
    return ui_toast(ui, chosen[0] ? "THAT'S THE LIBRARY ALREADY" : "LIBRARY FOLDER BACK TO DEFAULT");
  }
  stop_preview(ui);
  ui_rename_commit(ui);
  if (Session* s = session_of(ui)) session_close(s);
  if (Library* lib = library_of(ui)) {
    library_set_folder(lib, a->paths.library);
    library_refresh(lib, a->jobs, "");
  }
  log_line("actions: the library is now %s", a->paths.library);
  ui_toast(ui, chosen[0] ? "LIBRARY FOLDER CHANGED" : "LIBRARY FOLDER BACK TO DEFAULT");
}

void back_to_sketch(Ui* ui) {
  Session* s = session_of(ui);
  const SessionSnapshot* snap = snap_of(ui);
  if (loaded(ui)) {
    if (snap->closing) {
      char id[UI_ID_BYTES];
      actions_cut_utf8(id, sizeof id, snap->id);
      session_open_id(s, id);
    } else {
      ui_switch_tab(ui, UI_TAB_CANVAS);
    }
    return;
  }
  stop_preview(ui);
  if (!s) return;
  const Settings* st = &ui->app->settings;
  if (st->last_opened[0]) {
    const LibraryCard* card = card_of(ui, st->last_opened);
    bool openable = card && !card->damaged && !card->legacy;
    if (!card && library_of(ui)) {
      char meta[2048];
      snprintf(meta, sizeof meta, "%s/%s/meta.json", ui->app->paths.library, st->last_opened);
      openable = file_exists(meta);
    }
    if (openable) {
      char id[UI_ID_BYTES];
      actions_cut_utf8(id, sizeof id, st->last_opened);
      session_open_id(s, id);
      ui_switch_tab(ui, UI_TAB_CANVAS);
      return;
    }
  }
  char folder[1024];
  Library* lib = library_of(ui);
  if (lib && library_openable_at(lib, library_first_openable(lib), folder, sizeof folder))
    session_open(s, folder);
  else
    session_new_sketch(s);
  ui_switch_tab(ui, UI_TAB_CANVAS);
}

void escape_order(Ui* ui) {
  if (ui->name.open) {
    name_edit_close(&ui->name);
  } else if (ui->tab == UI_TAB_LIBRARY && library_list_menu_open(&ui->list)) {
    library_list_close_menu(&ui->list);
  } else if (ui->drawer_open) {
    ui->drawer_open = false;
  } else if (ui->panel != PANEL_NONE) {
    panel_close(ui);
  } else if (ui->tab == UI_TAB_LIBRARY && library_list_renaming(&ui->list)) {
    library_list_rename_cancel(&ui->list);
  } else if (ui->console_open) {
    ui->console_open = false;
  }
}

void preview(Ui* ui, const char* id) {
  Library* lib = library_of(ui);
  if (!id || !*id || !lib) return;
  AudioStatus st;
  const bool running = engine_status(ui, &st) && st.state == AUDIO_RUNNING &&
                       (st.duplex || st.output_latency_ms > 0);
  if (strcmp(lib->preview_id, id) == 0 || running) {
    const double rate = running && st.rate > 0 ? st.rate : 48000.0;
    library_preview_toggle(lib, ui->app->jobs, id, rate);
  } else {
    ui_toast(ui, "NO AUDIO OUTPUT RIGHT NOW");
  }
}

void library_rename_row(Ui* ui, const char* text) {
  const char* tab = strchr(text, '\t');
  if (!tab) return;
  const size_t id_len = (size_t)(tab - text);
  if (id_len < 1 || id_len > (size_t)kIdMax) return;
  char id[UI_ID_BYTES];
  memcpy(id, text, id_len);
  id[id_len] = 0;
  const SessionSnapshot* snap = snap_of(ui);
  if (loaded(ui) && library_same_text(snap->id, id)) {
    session_rename(session_of(ui), tab + 1);
  } else if (Library* lib = library_of(ui)) {
    library_rename(lib, ui->app->jobs, id, tab + 1);
  }
}

void audio_device(Ui* ui, const Action* a) {
  AudioStatus st;
  int32_t target = 0;
  const int r = device_target(ui, a->value, &target, &st);
  if (r == -1) return ui_toast(ui, "NO AUDIO DEVICES - TRY RESCAN");
  if (r == -2) return ui_toast(ui, "THAT'S THE ONLY DEVICE");
  actions_request_audio(ui, AUDIO_SET_DEVICE, target);
}

void rig_toggle(Ui* ui) {
  ui->app->settings.rig_open = 0;
  if (!ui->rig_panel_this_run) {
    ui_toast(ui, ui->app->rig ? "THE RIG COULDN'T OPEN - IT STILL MIXES"
                              : "NO RIG THIS RUN - INPUTS 1 AND 2 GO STRAIGHT IN");
    return;
  }
  if (ui->panel == PANEL_RIG)
    panel_close(ui);
  else
    panel_open(ui, PANEL_RIG);
}

void rig_scene(Ui* ui, int32_t scene) {
  RigController* rc = ui->app->rig_ctl;
  if (!rc || scene < 0 || scene > 3) return;
  RigControllerStatus st;
  rig_controller_status(rc, &st);
  if (st.state == RIG_UNBOUND || !st.bound) return ui_toast(ui, "NO INTERFACE");
  if (st.state == RIG_LOADING) return ui_toast(ui, "LOADING RIG\u2026");
  if (st.state == RIG_READ_ONLY) return ui_toast(ui, "RIG MADE BY A NEWER APP - READ ONLY");
  if (scene != st.active_scene) rig_select_scene(rc, scene);
}

void dispatch_list(Ui* ui, ActionList* list) {
  if (ui->depth == 0) {
    const int32_t n = list->count < ACTION_LIST_MAX ? list->count : ACTION_LIST_MAX;
    memcpy(ui->running, list->items, sizeof(Action) * (size_t)n);
    list->count = 0;
    ui->depth++;
    for (int32_t i = 0; i < n; i++) actions_dispatch(ui, &ui->running[i]);
    ui->depth--;
    return;
  }
  // A flush from inside an action: one at a time from the front, so nothing runs twice.
  while (list->count > 0) {
    Action a = list->items[0];
    list->count--;
    memmove(&list->items[0], &list->items[1], sizeof(Action) * (size_t)list->count);
    actions_dispatch(ui, &a);
  }
}

}  // namespace

void ui_toast(Ui* ui, const char* text) {
  actions_cut_utf8(ui->toast, sizeof ui->toast, text ? text : "");
  ui->toast_at = ui->now;
  if (ui->app)
    app_toast(ui->app, ui->toast);
  else
    log_line("toast: %s", ui->toast);
}

void actions_flush_saves(Ui* ui) {
  if (ui->app) app_flush(ui->app);
}

void actions_request_audio(Ui* ui, int32_t kind, int32_t value) {
  App* a = ui->app;
  if (!a) return;
  SessionAudioRequest req;
  memset(&req, 0, sizeof req);
  req.kind = kind;
  req.value = value;
  AudioStatus st;
  if (kind == AUDIO_SET_DEVICE && engine_status(ui, &st) && value >= 0 && value < st.row_count)
    actions_cut_utf8(req.device, sizeof req.device, st.rows[value].name);
  else
    actions_cut_utf8(req.device, sizeof req.device, a->settings.device);
  if (a->session) {
    session_audio_request(a->session, &req);
    return;
  }
  if (!a->engine) return ui_toast(ui, "NO AUDIO ENGINE");
  AudioCommand cmd;
  memset(&cmd, 0, sizeof cmd);
  cmd.kind = kind;
  cmd.value = value;
  memcpy(cmd.device, req.device, sizeof cmd.device);
  if (audio_engine_post(a->engine, &cmd) == 0) ui_toast(ui, "AUDIO IS STILL SWITCHING - TRY AGAIN");
}

void actions_flush(Ui* ui) {
  if (ui->pending.count <= 0) return;
  ActionList* out = &ui->flushing;
  out->count = 0;
  const int32_t n = ui->pending.count < ACTION_LIST_MAX ? ui->pending.count : ACTION_LIST_MAX;
  for (int32_t i = 0; i < n; i++) {
    const Action* a = &ui->pending.items[i];
    const SessionSnapshot* snap = snap_of(ui);
    switch (a->kind) {
      case ACT_RENAME:
        if (ui->tab == UI_TAB_CANVAS && snap && snap->id[0] && !ui->name.open) ui_rename_open(ui);
        break;
      case ACT_AUDIO_DEVICE: {
        AudioStatus st;
        int32_t target = 0;
        if (a->value != 0 && device_target(ui, a->value, &target, &st) == 0) {
          char name[128], line[UI_BUSY_TEXT + 32];
          actions_upper_ascii(name, sizeof name, st.rows[target].name);
          snprintf(line, sizeof line, "SWITCHING TO %s\u2026", name);
          busy_notice(ui, line);
        }
        break;
      }
      case ACT_RESCAN:
        busy_notice(ui, "RESCANNING DEVICES\u2026");
        break;
      case ACT_AUDIO_RETRY:
        if (a->value == ACTION_RETRY_SAVE) {
          log_line("ui: retrying the save");
          actions_flush_saves(ui);
          continue;  // done here; never reaches the audio engine
        }
        busy_notice(ui, "REOPENING AUDIO\u2026");
        break;
      case ACT_AUDIO_BUFFER:
      case ACT_SAMPLE_RATE:
      case ACT_EXCLUSIVE:
        busy_notice(ui, "REOPENING AUDIO\u2026");
        break;
      default:
        break;
    }
    out->items[out->count++] = *a;
  }
  ui->pending.count = 0;
  dispatch_list(ui, out);
  out->count = 0;
}

void actions_dispatch(Ui* ui, const Action* a) {
  if (!a || a->kind < 1 || a->kind >= ACTION_KINDS) return;
  if (!ui->table_checked) {
    ui->table_checked = true;
    for (int32_t k = 0; k < ACTION_KINDS; k++) {
      const ActionRow* row = actions_row(k);
      if (!row || !row->name) log_line("actions: action %d has no row in the table", k);
    }
  }
  const ActionRow* row = actions_row(a->kind);
  if (row && row->name && !row->quiet)
    log_line("action: %s%s", row->name, a->value == ACTION_FROM_MIDI ? " (midi)" : "");

  App* app = ui->app;
  Session* s = session_of(ui);
  const SessionSnapshot* snap = snap_of(ui);
  Settings* st = app ? &app->settings : nullptr;
  switch (a->kind) {
    case ACT_PLAY_PAUSE:
      midi_tick(ui, a);
      session_play_pause(s);
      break;
    case ACT_RECORD:
      midi_tick(ui, a);
      session_record(s);
      break;
    case ACT_REWIND:
      midi_tick(ui, a);
      session_rewind(s);
      break;
    case ACT_STOP:
      session_stop(s);
      break;
    case ACT_LOOP:
      midi_tick(ui, a);
      session_loop_toggle(s);
      break;
    case ACT_LOOP_IN:
      midi_tick(ui, a);
      session_loop_in(s);
      break;
    case ACT_LOOP_OUT:
      midi_tick(ui, a);
      session_loop_out(s);
      break;
    case ACT_MONITOR_TOGGLE:
      midi_tick(ui, a);
      if (snap) session_set_monitor(s, !snap->monitor);
      break;
    case ACT_MONITOR_SET:
      session_set_monitor(s, a->value != 0);
      break;
    case ACT_TAP:
      session_tap(s, a->x, a->y);
      break;
    case ACT_SCRUB_BEGIN:
      session_scrub_begin(s, a->x, a->y);
      break;
    case ACT_SCRUB_MOVE:
      session_scrub_move(s, a->x, a->y);
      break;
    case ACT_SCRUB_END:
      session_scrub_end(s);
      break;
    case ACT_LOOP_HANDLE_DRAG:
      if (a->value == 1 || a->value == 2) session_loop_drag(s, a->value - 1, a->x);
      break;
    case ACT_ZOOM:
      if (a->x == 0.0f || !std::isfinite(a->x)) break;
      session_zoom(s, a->x);
      if (loaded(ui)) training_tick(ui, "zoom-in");
      break;
    case ACT_ZOOM_BACK:
      session_back_to_camera(s);
      break;
    case ACT_PAN:
      session_pan(s, a->x);
      break;
    case ACT_SCROLL:
      session_scroll(s, a->x, a->y);
      break;
    case ACT_STRIP_SCRUB:
      session_strip_scrub(s, a->x);
      break;
    case ACT_STRIP_FLAG:
      session_strip_flag(s, a->value, a->x);
      break;
    case ACT_VIEW_WINDOW:
      session_view_window(s, a->x, a->y);
      break;
    case ACT_XY:
      session_set_xy(s, a->x, a->y, a->value == 1);
      break;
    case ACT_XY_NUDGE:
      if (ui->xy_held || !s) break;
      ui->xy_returning = false;
      session_set_xy(s, std::fmax(-1.0f, std::fmin(1.0f, s->xy_x + a->x)),
                     std::fmax(-1.0f, std::fmin(1.0f, s->xy_y + a->y)), false);
      ui->xy_pad_until = ui->now + 0.5;
      break;
    case ACT_XY_CENTRE:
      if (!ui->xy_held) ui->xy_returning = true;
      break;
    case ACT_NORM_RAW:
      session_set_raw(s, a->value != 0);
      break;
    case ACT_ZEN_FULL:
      if (!st) break;
      st->full_ui = st->full_ui ? 0 : 1;
      if (st->full_ui && ui->window.too_short && ui->window.too_short(ui->window.user))
        ui_toast(ui, "FULL NEEDS A TALLER WINDOW");
      if (ui->window.layout) ui->window.layout(ui->window.user);
      break;
    case ACT_TRIANGLE_DENSITY:
      if (!st || a->value < 1 || a->value > 8) break;
      st->triangle_stride = a->value;
      if (ui->window.canvas_rebuild) ui->window.canvas_rebuild(ui->window.user);
      break;
    case ACT_EDGES:
      if (!st) break;
      st->canvas_2x = a->value != 0 ? 1 : 0;
      if (ui->window.canvas_rebuild) ui->window.canvas_rebuild(ui->window.user);
      break;
    case ACT_PAINT_MODE:
      if (st) session_set_paint_mode(s, !st->paint_mode);
      break;
    case ACT_PAINT_COLOUR:
      if (a->value >= 0 && a->value < SESSION_PAINT_COLOURS) session_paint_colour(s, a->value);
      break;
    case ACT_NEW_SKETCH:
      ui_rename_commit(ui);
      stop_preview(ui);
      if (s) session_new_sketch(s);
      break;
    case ACT_OPEN_SKETCH: {
      if (!a->text[0]) break;
      const LibraryCard* card = card_of(ui, a->text);
      if (card && card->damaged) {
        ui_toast(ui, "COULDN'T READ IT - AUDIO IS SAFE");
      } else if (card && card->legacy) {
        ui_toast(ui, "OLD FORMAT - OPEN IT ON IPHONE FIRST");
      } else if (s) {
        ui_rename_commit(ui);
        stop_preview(ui);
        char id[UI_ID_BYTES];
        actions_cut_utf8(id, sizeof id, a->text);
        session_open_id(s, id);
      }
      break;
    }
    case ACT_RENAME:
      break;  // the flush opened the editor
    case ACT_RENAME_COMMIT:
      name_edit_close(&ui->name);
      if (s) session_rename(s, a->text);
      break;
    case ACT_RENAME_CANCEL:
      name_edit_close(&ui->name);
      break;
    case ACT_EXPORT_WAV:
      if (ui->tab == UI_TAB_LIBRARY && !loaded(ui)) {
        if (ui->list.selected >= 0 && ui->list.selected_id[0])
          library_export(ui, ui->list.selected_id);
        else
          ui_toast(ui, "PICK A SKETCH TO EXPORT");
      } else if (loaded(ui)) {
        session_export(s);
      } else {
        ui_toast(ui, "OPEN A SKETCH FIRST");
      }
      break;
    case ACT_NORMALISE_EXPORTS:
      if (st) st->export_normalize = st->export_normalize ? 0 : 1;
      break;
    case ACT_OPEN_EXPORTS:
      open_exports(ui);
      ui->share.state[SHARE_FOLDER] = SHARE_DONE;
      ui->share.until[SHARE_FOLDER] = ui->now + 3.0;
      break;
    case ACT_COPY_EXPORT:
      copy_export(ui, a->text);
      break;
    case ACT_SHOW_FILE: {
      const char* path = a->text[0] ? a->text : ui->share.last_export;
      if (path[0])
        shell_reveal(path);
      else
        open_exports(ui);
      break;
    }
    case ACT_CLEAR_ASK:
      if (!loaded(ui)) {
        ui_toast(ui, "OPEN A SKETCH FIRST");
        break;
      }
      confirm_setup(ui, CONFIRM_CLEAR, snap->id, snap->title);
      panel_open(ui, PANEL_CONFIRM);
      break;
    case ACT_CLEAR:
      if (ui->panel == PANEL_CONFIRM) panel_close(ui);
      if (!loaded(ui)) break;
      session_clear(s);
      if (ui->window.canvas_clear) ui->window.canvas_clear(ui->window.user);
      log_line("actions: sketch cleared");
      break;
    case ACT_DELETE_ASK: {
      const LibraryCard* card = card_of(ui, a->text);
      if (!card) break;
      confirm_setup(ui, CONFIRM_DELETE, card->id, card->name[0] ? card->name : card->title);
      panel_open(ui, PANEL_CONFIRM);
      break;
    }
    case ACT_DELETE:
      delete_sketch(ui, a->text);
      break;
    case ACT_LIBRARY_RENAME:
      library_rename_row(ui, a->text);
      break;
    case ACT_PREVIEW:
      preview(ui, a->text);
      break;
    case ACT_LIBRARY_EXPORT:
      library_export(ui, a->text);
      break;
    case ACT_LIBRARY_TAB:
      // The library's page: 0 the list, 1 the import page.
      if (st) st->lib_tab = a->value != 0 ? 1 : 0;
      break;
    case ACT_IMPORT:
      import_files(ui);
      break;
    case ACT_LIBRARY_FOLDER:
      library_folder(ui, true);
      break;
    case ACT_LIBRARY_FOLDER_RESET:
      library_folder(ui, false);
      break;
    case ACT_LIBRARY:
      if (ui->tab == UI_TAB_LIBRARY) {
        back_to_sketch(ui);
      } else {
        ui_rename_commit(ui);
        ui_switch_tab(ui, UI_TAB_LIBRARY);
      }
      break;
    case ACT_BACK_TO_SKETCH:
      if (ui->tab == UI_TAB_LIBRARY) back_to_sketch(ui);
      break;
    case ACT_SETTINGS: {
      const bool row = a->value >= 0 && a->value < UI_SETTINGS_ROWS;
      if (ui->panel == PANEL_SETTINGS && !row) {
        panel_close(ui);
        break;
      }
      ui_settings_select(ui, row ? a->value : -1);
      panel_open(ui, PANEL_SETTINGS);
      break;
    }
    case ACT_HELP:
    case ACT_KEYS: {
      const int32_t id = a->kind == ACT_HELP ? PANEL_HELP : PANEL_KEYS;
      if (ui->panel == id)
        panel_close(ui);
      else
        panel_open(ui, id);
      break;
    }
    case ACT_TRAINING:
      panel_open(ui, PANEL_TRAINING);
      break;
    case ACT_WHATS_NEW:
      if (!ui->app) break;
      whatsnew_open_by_user(&ui->app->whats_new.card, KELP_VERSION_TEXT,
                            ui->panel == PANEL_WHATS_NEW);
      panel_open(ui, PANEL_WHATS_NEW);
      break;
    case ACT_MIDI_IN:
      if (!st || !ui->app) break;
      st->midi_off = st->midi_off ? 0 : 1;
      app_midi_start(ui->app, st->midi_off == 0);
      break;
    case ACT_RIG_SCENE:
      rig_scene(ui, a->value);
      break;
    case ACT_SHARE:
      if (!loaded(ui)) {
        ui_toast(ui, "OPEN A SKETCH FIRST");
        break;
      }
      panel_open(ui, PANEL_SHARE);
      break;
    case ACT_WHATS_NEW_PAGE:
      if (ui->app) whatsnew_page(&ui->app->whats_new.card, a->value, ui->panel == PANEL_WHATS_NEW);
      break;
    case ACT_CLOSE_PANEL:
      panel_close(ui);
      break;
    case ACT_ESCAPE:
      escape_order(ui);
      break;
    case ACT_CONSOLE:
      ui->console_open = !ui->console_open;
      break;
    case ACT_FULLSCREEN: {
      char error[256] = "";
      if (ui->window.fullscreen_toggle &&
          ui->window.fullscreen_toggle(ui->window.user, error, sizeof error) != 0)
        log_line("actions: fullscreen refused (%s)", error);
      break;
    }
    case ACT_MINIMISE:
      if (ui->window.minimise) ui->window.minimise(ui->window.user);
      break;
    case ACT_MAXIMISE:
      if (ui->window.maximise_toggle) ui->window.maximise_toggle(ui->window.user);
      break;
    case ACT_QUIT:
      ui_rename_commit(ui);
      ui->quit = true;
      break;
    case ACT_OPEN_LINK:
      if (a->text[0]) shell_open_link(a->text);
      break;
    case ACT_COPY_TEXT:
      if (!a->text[0]) break;
      if (clipboard_copy_text(ui->window.native, a->text) != 0)
        ui_toast(ui, "COULDN'T COPY - CLIPBOARD BUSY");
      else
        ui_toast(ui, strncasecmp(a->text, "http", 4) == 0 ? "LINK COPIED" : "COPIED");
      break;
    case ACT_AUDIO_DEVICE:
      audio_device(ui, a);
      break;
    case ACT_AUDIO_BUFFER:
      if (st) actions_request_audio(ui, AUDIO_SET_BUFFER, actions_buffer_step(st->buffer_frames, a->value));
      break;
    case ACT_SAMPLE_RATE:
      if (st) actions_request_audio(ui, AUDIO_SET_RATE, actions_rate_step(st->sample_rate, a->value));
      break;
    case ACT_EXCLUSIVE:
      if (st) actions_request_audio(ui, AUDIO_SET_EXCLUSIVE, st->exclusive ? 0 : 1);
      break;
    case ACT_DRIVER_PANEL: {
      // The running sound server's own settings tool stands in for a driver's panel.
      AudioStatus au;
      const bool running = app && app->engine && audio_engine_status(app->engine, &au) > 0;
      const char* host = running ? au.host_api : "";
      if (shell_sound_tool(host, nullptr, 0))
        shell_open_sound_tool(host);
      else
        ui_toast(ui, "NO DRIVER PANEL IN THIS BUILD");
      break;
    }
    case ACT_RESCAN:
      actions_request_audio(ui, AUDIO_RESCAN, 0);
      break;
    case ACT_AUDIO_RETRY:
      if (a->value == ACTION_RETRY_SAVE)
        actions_flush_saves(ui);
      else
        actions_request_audio(ui, AUDIO_RETRY, a->value);
      break;
    case ACT_MIC_PRIVACY:
      shell_open_sound_settings();
      break;
    case ACT_CURSOR_STEP:
      if (std::isfinite(a->x)) session_cursor_step(s, a->x, a->value != 0);
      break;
    case ACT_CURSOR_TO_TAKE:
      session_cursor_to_take(s, a->value < 0 ? -1 : 1, a->y != 0.0f);
      break;
    case ACT_CURSOR_TO_END:
      session_cursor_to_end(s, a->value != 0);
      break;
    case ACT_RIG:
      if (app) rig_toggle(ui);
      break;
    case ACT_BROADCAST:
      if (!app) break;
      switch (app_broadcast_toggle(app)) {
        case 1:
          ui_toast(ui, "ON AIR - THE SKETCH IS ON THE SEAGLASS STREAM");
          break;
        case 0:
          ui_toast(ui, "OFF AIR");
          break;
        case -1:
          ui_toast(ui, "BROADCAST REFUSED - PORT 47481 BUSY");
          break;
        default:
          ui_toast(ui, "NO BROADCAST IN THIS BUILD");
          break;
      }
      break;
    default:
      break;
  }
}
