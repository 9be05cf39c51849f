// The shell's side of actions and input: the window operations actions ask for, the layout input
// routes by, and the pieces drawn over the canvas (the name editor over the title, the
// confirmation, the console of recent log lines).
#include <SDL.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/console.h"
#include "control/midi.h"
#include "rig/rig_controller.h"
#include "app/rig_panel.h"
#include "app/session.h"
#include "audio/audio_engine.h"
#include "store/jobs.h"
#include "app/shell_internal.h"
#include "app/theme.h"
#include "base/clock.h"
#include "base/log.h"
#include "base/version.h"
#include "base/text.h"
#include "platform/shell.h"
#include "store/meta.h"
#include "ui/canvas.h"
#include "ui/draw.h"
#include "ui/text.h"

namespace {

constexpr TextStyle kTitle = {TEXT_HEAD, 15.0f, 600, 0.0f};
constexpr TextStyle kHead = {TEXT_HEAD, 16.0f, 600, 0.0f};
constexpr TextStyle kBody = {TEXT_HEAD, 12.0f, 400, 0.0f};
constexpr TextStyle kLabel = {TEXT_MONO, 11.0f, 700, 2.0f};
constexpr TextStyle kButton = {TEXT_HEAD, 12.0f, 700, 0.0f};

constexpr float kConfirmW = 380.0f;
constexpr float kConfirmH = 236.0f;

Shell* of(void* user) {
  return (Shell*)user;
}

int fullscreen_toggle(void* user, char* error, size_t size) {
  Shell* sh = of(user);
  const bool full = (SDL_GetWindowFlags(sh->window) & SDL_WINDOW_FULLSCREEN) != 0;
  if (SDL_SetWindowFullscreen(sh->window, full ? 0 : SDL_WINDOW_FULLSCREEN_DESKTOP) != 0) {
    text_copy(error, size, SDL_GetError());
    return -1;
  }
  sh->fullscreen = !full;
  return 0;
}

void minimise(void* user) {
  SDL_MinimizeWindow(of(user)->window);
}

void maximise_toggle(void* user) {
  Shell* sh = of(user);
  if (SDL_GetWindowFlags(sh->window) & SDL_WINDOW_MAXIMIZED)
    SDL_RestoreWindow(sh->window);
  else
    SDL_MaximizeWindow(sh->window);
}

bool clipboard_text(void*, char* out, size_t size) {
  if (!SDL_HasClipboardText()) return false;
  char* t = SDL_GetClipboardText();
  if (!t) return false;
  text_copy(out, size, t);
  SDL_free(t);
  return out[0] != 0;
}

void relayout(void* user) {
  shell_layout(of(user));
  shell_ui_layout(of(user));
}

bool too_short(void* user) {
  return of(user)->pt_h < 560.0f;
}

void canvas_rebuild(void* user) {
  Shell* sh = of(user);
  if (sh->canvas) canvas_rebuild(sh->canvas);
}

void canvas_clear_now(void* user) {
  Shell* sh = of(user);
  if (sh->canvas) canvas_clear(sh->canvas, clock_monotonic());
}

void mouse_capture(void*, bool on) {
  SDL_CaptureMouse(on ? SDL_TRUE : SDL_FALSE);
}

// A task done: ticked once, and kelp.ini keeps it.
void training_done(void* user, const char* task) {
  Shell* sh = (Shell*)user;
  Ui* ui = &sh->ui;
  Settings* st = &sh->app.settings;
  if (!training_tick(&ui->training, task, KELP_VERSION_TEXT)) return;
  training_save(&ui->training, st->training_done, sizeof st->training_done, st->training_unseen,
                sizeof st->training_unseen, st->training_found, sizeof st->training_found);
}

unsigned long set_text(void*, const char* utf8) {
  return SDL_SetClipboardText(utf8) == 0 ? 0ul : CLIPBOARD_BUSY;
}

// A file on the clipboard as a file; without a clipboard tool, its address as text at least.
unsigned long set_file(void*, const char* path) {
  if (clipboard_tool_file(path) == 0) return 0;
  log_line("clipboard: no xclip or wl-copy - the file goes as its address");
  char uri[4200];
  snprintf(uri, sizeof uri, "file://%s", path);
  return SDL_SetClipboardText(uri) == 0 ? 0ul : CLIPBOARD_BUSY;
}

void draw_button(Painter* p, const UiButton& b, const char* label, bool hover, bool danger,
                 bool enabled) {
  DrawColour fill = danger ? THEME_DANGER : DrawColour{0.16f, 0.20f, 0.28f, 1.0f};
  if (!enabled) fill.a = 0.35f;
  if (hover && enabled) fill = DrawColour{fill.r + 0.08f, fill.g + 0.08f, fill.b + 0.08f, 1.0f};
  draw_rrect(p, DrawRect{b.x, b.y, b.w, b.h}, 8.0f, fill);
  text_draw(p, kButton, b.x + b.w * 0.5f, b.y + (b.h - text_line_height(kButton)) * 0.5f,
            TEXT_CENTRE, THEME_INK, label, false);
}

// The question, with a long name cut to whole characters and an ellipsis so the line fits.
void confirm_question(const UiConfirm* c, float width, char* out, size_t size) {
  if (c->kind == CONFIRM_CLEAR) {
    text_copy(out, size, "Clear this sketch?");
    return;
  }
  char name[256];
  text_copy(name, sizeof name, c->name);
  char* start = name;
  while (*start == ' ') start++;
  size_t n = strlen(start);
  while (n > 0 && start[n - 1] == ' ') start[--n] = 0;
  if (!*start) {
    text_copy(out, size, "Delete this sketch?");
    return;
  }
  snprintf(out, size, "Delete \"%s\"?", start);
  if (text_measure(kHead, out) <= width) return;
  // Longest prefix of whole characters that fits with the ellipsis.
  int chars = 0;
  for (const unsigned char* q = (const unsigned char*)start; *q; q++)
    if ((*q & 0xC0) != 0x80) chars++;
  int lo = 0, hi = chars;
  auto prefix_bytes = [&](int count) {
    int seen = 0;
    size_t i = 0;
    for (; start[i]; i++) {
      if (((unsigned char)start[i] & 0xC0) != 0x80) {
        if (seen == count) break;
        seen++;
      }
    }
    return i;
  };
  while (lo < hi) {
    const int mid = (lo + hi + 1) / 2;
    snprintf(out, size, "Delete \"%.*s\u2026\"?", (int)prefix_bytes(mid), start);
    if (text_measure(kHead, out) <= width)
      lo = mid;
    else
      hi = mid - 1;
  }
  snprintf(out, size, "Delete \"%.*s\u2026\"?", (int)prefix_bytes(lo), start);
}

// The panel slides in from the right.
float panel_x(const Shell* sh, float width, float progress) {
  const float eased = 1.0f - std::pow(1.0f - progress, 3.0f);
  return sh->pt_w - width - 16.0f + (1.0f - eased) * (width + 16.0f);
}

void draw_confirm(Shell* sh, float progress) {
  Painter* p = sh->painter;
  UiLayout at = sh->ui_layout;
  at.panel_x = panel_x(sh, at.panel_w, progress);
  const UiLayout* l = &at;
  const UiConfirm* c = &sh->ui.confirm;
  const float eased = 1.0f - std::pow(1.0f - progress, 3.0f);
  draw_set_alpha(p, eased);
  const DrawRect r{l->panel_x, l->panel_y, l->panel_w, l->panel_h};
  draw_shadow_around(p, r, 14.0f, 18.0f, 0.5f);
  draw_rrect(p, r, 14.0f, THEME_PANEL);
  draw_rrect_frame(p, r, 14.0f, 1.0f, THEME_EDGE);
  text_draw(p, kLabel, r.x + 18.0f, r.y + 18.0f, TEXT_LEFT, THEME_DIM,
            c->kind == CONFIRM_CLEAR ? "CLEAR SKETCH" : "DELETE SKETCH", false);
  char question[400];
  confirm_question(c, r.w - 36.0f, question, sizeof question);
  text_draw(p, kHead, r.x + 18.0f, r.y + 46.0f, TEXT_LEFT, THEME_INK, question, false);
  const char* body = c->kind == CONFIRM_CLEAR
                         ? "Wipes the audio AND every take's artwork. There's no undo \u2014 the "
                           "takes can't be rebuilt."
                         : "Removes its folder \u2014 the audio and every take. There's no undo.";
  int starts[8];
  const int lines = text_wrap(kBody, body, r.w - 36.0f, starts, 8);
  const float lh = text_line_height(kBody) + 2.0f;
  for (int i = 0; i < lines; i++) {
    const size_t end = i + 1 < lines ? (size_t)starts[i + 1] : strlen(body);
    char line[256];
    snprintf(line, sizeof line, "%.*s", (int)(end - (size_t)starts[i]), body + starts[i]);
    text_draw(p, kBody, r.x + 18.0f, r.y + 80.0f + lh * (float)i, TEXT_LEFT, THEME_DIM, line, false);
  }
  UiButton danger, keep, close;
  confirm_buttons(l, &danger, &keep, &close);
  draw_button(p, danger, c->kind == CONFIRM_CLEAR ? "Clear everything" : "Delete", c->hover == 0,
              true, !(c->kind == CONFIRM_DELETE && !c->id[0]));
  draw_button(p, keep, "Keep it", c->hover == 1, false, true);
  const DrawColour x = c->hover == 2 ? THEME_INK : THEME_DIM;
  const float cx = close.x + close.w * 0.5f, cy = close.y + close.h * 0.5f;
  const DrawPoint a[2] = {{cx - 6, cy - 6}, {cx + 6, cy + 6}};
  const DrawPoint b[2] = {{cx + 6, cy - 6}, {cx - 6, cy + 6}};
  draw_polyline(p, a, 2, 1.5f, x, false);
  draw_polyline(p, b, 2, 1.5f, x, false);
  draw_set_alpha(p, 1.0f);
}

void draw_name_editor(Shell* sh) {
  Painter* p = sh->painter;
  const NameEditor* ed = &sh->ui.name;
  const UiLayout* l = &sh->ui_layout;
  const DrawRect field{l->title_x - 8.0f, l->title_y - 4.0f, l->title_w + 16.0f, l->title_h + 8.0f};
  draw_rrect(p, field, 6.0f, DrawColour{0.05f, 0.07f, 0.12f, 0.95f});
  draw_rrect_frame(p, field, 6.0f, 1.0f, THEME_EDGE);
  char before[NAME_EDIT_MAX + 1];
  snprintf(before, sizeof before, "%.*s", ed->caret, ed->text);
  const float x0 = l->title_x;
  float caret_x = x0 + text_measure(kTitle, before);
  text_draw(p, kTitle, x0, l->title_y, TEXT_LEFT, THEME_INK, ed->text[0] ? before : "", false);
  if (ed->composing && ed->composition[0]) {
    // The input method's text sits at the caret, underlined, until it is committed.
    const float w = text_draw(p, kTitle, caret_x, l->title_y, TEXT_LEFT, THEME_DIM, ed->composition, false);
    draw_rect(p, caret_x, l->title_y + text_line_height(kTitle), w, 1.0f, THEME_DIM);
    caret_x += w;
  }
  text_draw(p, kTitle, caret_x, l->title_y, TEXT_LEFT, THEME_INK, ed->text + ed->caret, false);
  const double t = clock_monotonic() - ed->blink_start;
  if (std::fmod(t, 1.0) < 0.6)
    draw_rect(p, caret_x, l->title_y, 1.5f, text_line_height(kTitle), THEME_INK);
  // Tell the input method where the caret is, so its candidate window sits beside it.
  SDL_Rect ime{(int)std::lround(caret_x * sh->scale), (int)std::lround(l->title_y * sh->scale), 1,
               (int)std::lround(text_line_height(kTitle) * sh->scale)};
  SDL_SetTextInputRect(&ime);
}

// An import is running or waiting: the import page's button says so.
bool importing(App* a) {
  if (!a->jobs) return false;
  JobBusyEntry busy[16];
  const int n = jobs_busy_snapshot(a->jobs, busy, 16);
  for (int i = 0; i < n; i++)
    if (busy[i].kind == JOB_IMPORT_AUDIO) return true;
  return false;
}

// What the SETTINGS rows show beyond the application's own state. Parts that are not in this
// build (the rig, MIDI, the station, training) report themselves absent.
void fill_settings_context(Shell* sh) {
  Ui* ui = &sh->ui;
  SettingsContext* c = &ui->settings_ctx;
  settings_context_fill(c, &sh->app);
  c->too_short = too_short(sh);
  c->training_total = 6;
  c->training_done = training_done_count(&ui->training);
  ui->help.training_done = c->training_done;
  c->version = KELP_VERSION;
  const WhatsNewEntry* entry = whatsnew_entry(whatsnew_find(KELP_VERSION_TEXT));
  c->whats_new_version = entry ? entry->version : "this version";
  text_copy(ui->help.whats_new_version, sizeof ui->help.whats_new_version,
            entry ? entry->version : "");
  if (sh->app.midi && c->midi_on) {
    static MidiStatus ms;
    static SettingsMidiInput inputs[MIDI_MAX_INPUTS];
    midi_status(sh->app.midi, &ms);
    for (int i = 0; i < ms.input_count && i < MIDI_MAX_INPUTS; i++) {
      text_copy(inputs[i].name, sizeof inputs[i].name, ms.names[i]);
      inputs[i].busy = ms.busy[i];
    }
    c->midi_last = ms.last;
    c->midi_inputs = inputs;
    c->midi_input_count = ms.input_count < MIDI_MAX_INPUTS ? ms.input_count : MIDI_MAX_INPUTS;
    c->midi_daw_mode = ms.daw_on;
    c->midi_daw_port = ms.daw_out;
    c->midi_activity_until = ms.activity_until;
  }
  c->rig_panel = ui->rig_panel_this_run;
  const Session* s = sh->app.session;
  c->rescan_waiting = s && s->device.phase == 1 && s->device.request.kind == AUDIO_RESCAN;
  // Looking for the sound server's tool walks PATH: once per host, then every 5 s at most.
  static char host[64] = "\x01", tool[64] = "";
  static bool installed = false;
  static double looked = -1e9;
  const char* running = c->has_audio ? c->audio.host_api : "";
  if (strcmp(host, running) != 0 || ui->now - looked > 5.0) {
    text_copy(host, sizeof host, running);
    installed = shell_sound_tool(running, tool, sizeof tool);
    looked = ui->now;
  }
  c->sound_tool_installed = installed;
  c->sound_tool_name = tool;
}

// The rig panel does not slide: it stands at the right under the top bar and dithers in.
RigPanelFrame rig_frame_input(Shell* sh) {
  Ui* ui = &sh->ui;
  RigPanelFrame f;
  memset(&f, 0, sizeof f);
  float w = 0, h = 0;
  shell_panel_size(sh, PANEL_RIG, &w, &h);
  f.rect = DrawRect{sh->pt_w - w - 16.0f, SHELL_TOP_BAR + 16.0f, w, h};
  const float k = sh->ui_layout.to_points;
  f.scale = k > 0 ? 1.0f / k : 1.0f;
  f.now = ui->now;
  f.dt = sh->app.dt;
  f.reduced_motion = sh->reduced_motion;
  // The panel has the keys only while it is the open panel and nothing else edits or selects.
  const bool row_selected = ui->tab == UI_TAB_LIBRARY && ui->list.selected >= 0;
  f.key_mask = ui->panel == PANEL_RIG && !ui->name.open && !row_selected ? RIG_KEYS_ALL : 0;
  return f;
}

// A panel at its slide's progress: the shape and place each panel has.
void draw_panel(Shell* sh, int32_t panel, float progress) {
  Ui* ui = &sh->ui;
  if (panel == PANEL_CONFIRM) return draw_confirm(sh, progress);
  if (panel == PANEL_RIG) return;  // drawn on its own: it hides through its own steps
  float w = 0, h = 0;
  shell_panel_size(sh, panel, &w, &h);
  const DrawRect r{panel_x(sh, w, progress), SHELL_TOP_BAR + 16.0f, w, h};
  const float eased = 1.0f - std::pow(1.0f - progress, 3.0f);
  const SessionSnapshot* snap = sh->app.session ? session_snapshot(sh->app.session) : nullptr;
  const DrawColour accent = shell_accent(snap ? snap->meta : nullptr);
  Painter* p = sh->painter;
  if (panel == PANEL_SETTINGS) {
    settings_panel_draw(&ui->settings, &sh->app, &ui->settings_ctx, p, r, eased, accent, ui->now);
  } else if (panel == PANEL_HELP) {
    help_sheet_draw(&ui->help, p, r, sh->scale, eased, accent);
  } else if (panel == PANEL_TRAINING) {
    training_panel_draw(&ui->training_panel, &ui->training, p, r, eased, accent);
  } else if (panel == PANEL_WHATS_NEW) {
    whatsnew_draw(&sh->app.whats_new.card, p, r, sh->scale, eased, accent, ui->now);
  } else if (panel == PANEL_KEYS) {
    keys_sheet_draw(&ui->keys, p, r, sh->scale, eased, accent, ui->now, sh->reduced_motion);
  } else if (panel == PANEL_SHARE) {
    char exports[1100];
    snprintf(exports, sizeof exports, "%s/exports", sh->app.lib.folder);
    draw_set_alpha(p, eased);
    share_draw(&ui->share, &ui->share_ui, p, r, accent, exports,
               sh->app.settings.export_normalize != 0,
               snap && snap->loaded && !snap->loading_meta && !snap->loading_tape);
    draw_set_alpha(p, 1.0f);
  }
}

// MIDI's actions join the frame's before they are dispatched; the stick and the strip's figures
// come from the session as it stands.
void midi_step(Shell* sh, double now) {
  App* a = &sh->app;
  if (!a->midi) return;
  MidiSnapshot m;
  memset(&m, 0, sizeof m);
  if (const Session* s = a->session) {
    const SessionSnapshot* snap = session_snapshot(s);
    m.stick_x = snap->xy_x;
    m.stick_y = snap->xy_y;
    m.tape_seconds = snap->rate > 0 ? (double)snap->tape_frames / snap->rate : 0.0;
    m.span_seconds = snap->span;
    m.loop_set = snap->loop.on && snap->loop.in < snap->loop.out;
    m.loop_in = snap->loop.in;
    m.loop_out = snap->loop.out;
  }
  midi_poll(a->midi, now, &m, &sh->ui.pending);
}

// The controls on screen that have a key, and where they stand.
void key_hint_scene(const Shell* sh, KeyHintScene* k) {
  memset(k, 0, sizeof *k);
  const Ui* ui = &sh->ui;
  const UiLayout* l = &sh->ui_layout;
  const SessionSnapshot* snap = sh->app.session ? session_snapshot(sh->app.session) : nullptr;
  k->library_tab = ui->tab == UI_TAB_LIBRARY;
  k->full_layout = sh->app.settings.full_ui != 0;
  k->sketch_named = snap && snap->loaded && snap->title[0];
  k->rig_panel = ui->rig_panel_this_run;
  auto top = [&](int32_t control, int32_t button) {
    if (l->top_w[button] <= 0) return;
    k->showing[control] = true;
    k->in_top_bar[control] = true;
    k->rect[control] = DrawRect{l->top_x[button], 8.0f, l->top_w[button], l->top_bar - 16.0f};
  };
  top(HINT_LIBRARY_DOOR, TOP_LIBRARY);
  top(HINT_MENU, TOP_SETTINGS);
  top(HINT_RIG, TOP_RIG);
  k->showing[HINT_SKETCH_NAME] = !ui->name.open;
  k->in_top_bar[HINT_SKETCH_NAME] = true;
  k->rect[HINT_SKETCH_NAME] = DrawRect{l->title_x, l->title_y, l->title_w, l->title_h};
  k->showing[HINT_XY] = !k->library_tab;  // the stick shows with the canvas
  k->rect[HINT_XY] = shell_stick_rect(sh);
}

// The hint follows the pointer while it rests on a control and nothing holds it.
void key_hint_step(Shell* sh, double now) {
  Ui* ui = &sh->ui;
  int32_t id = HINT_NONE;
  const char* caps = nullptr;
  KeyHintScene& k = sh->hint_scene;
  key_hint_scene(sh, &k);
  const bool over_panel = ui->panel != PANEL_NONE && ui->pointer_x >= sh->ui_layout.panel_x &&
                          ui->pointer_y >= sh->ui_layout.panel_y &&
                          ui->pointer_y < sh->ui_layout.panel_y + sh->ui_layout.panel_h;
  if (ui->pointer_in && sh->mouse_in && ui->capture == CAPTURE_NONE && !over_panel &&
      ui->console_progress < 0.005f) {
    id = key_hint_find(&k, ui->pointer_x, ui->pointer_y);
    caps = id != HINT_NONE ? key_hint_caps(&k, id) : nullptr;
  }
  key_hint_update(&ui->key_hint, id, caps, now);
}

// What the Launch Control's lights and screen follow.
void midi_feedback(Shell* sh) {
  App* a = &sh->app;
  if (!a->midi) return;
  const Ui* ui = &sh->ui;
  MidiFeedback f;
  memset(&f, 0, sizeof f);
  const SessionSnapshot* snap = a->session ? session_snapshot(a->session) : nullptr;
  if (snap) {
    f.playing = snap->playing;
    f.recording = snap->recording || snap->take_running;
    f.monitor = snap->monitor;
    f.loop_set = snap->loop.on && snap->loop.in < snap->loop.out;
    f.title = snap->loaded ? snap->title : nullptr;
  }
  f.scene = -1;
  if (a->rig_ctl) {
    RigControllerStatus st;
    rig_controller_status(a->rig_ctl, &st);
    if (st.bound && st.state != RIG_UNBOUND) f.scene = st.active_scene;
  }
  f.zen = a->settings.full_ui == 0;
  f.library = ui->tab == UI_TAB_LIBRARY;
  f.rig_open = ui->panel == PANEL_RIG;
  f.settings_open = ui->panel == PANEL_SETTINGS;
  midi_set_feedback(a->midi, &f);
}

}  // namespace

void shell_ui_start(Shell* sh) {
  UiWindow& w = sh->ui.window;
  w.user = sh;
  w.native = sh->window;
  w.fullscreen_toggle = fullscreen_toggle;
  w.minimise = minimise;
  w.maximise_toggle = maximise_toggle;
  w.clipboard_text = clipboard_text;
  w.layout = relayout;
  w.too_short = too_short;
  w.canvas_rebuild = canvas_rebuild;
  w.canvas_clear = canvas_clear_now;
  w.mouse_capture = mouse_capture;
  shell_controls_start(sh);
  {
    const Settings* st = &sh->app.settings;
    training_load(&sh->ui.training, st->training_done, st->training_unseen, st->training_found);
    task_card_init(&sh->ui.task_card, &sh->ui.training);
  }
  sh->app.training = training_done;
  static const ClipboardBackend kClipboard = {set_text, set_file};
  clipboard_set_backend(&kClipboard);
  shell_ui_layout(sh);
}

void shell_ui_stop(Shell* sh) {
  clipboard_set_backend(nullptr);
  (void)sh;
}

void shell_panel_size(const Shell* sh, int32_t panel, float* w, float* h) {
  const float room = std::fmax(120.0f, sh->pt_h - SHELL_TOP_BAR - 32.0f);
  *w = std::fmin(kConfirmW, sh->pt_w - 32.0f);
  switch (panel) {
    case PANEL_CONFIRM:
      *h = kConfirmH;
      break;
    case PANEL_SHARE:
      *h = std::fmin(room, 63.0f + 3.0f * 56.0f + 52.0f);
      break;
    case PANEL_SETTINGS:
    case PANEL_HELP:
    case PANEL_KEYS:
    case PANEL_TRAINING:
    case PANEL_WHATS_NEW:
      *w = std::fmin(440.0f, sh->pt_w - 32.0f);
      *h = room;
      break;
    case PANEL_RIG:
      if (sh->ui.rig_panel) {
        const RigPanelSize s = rig_panel_size(sh->ui.rig_panel, std::fmax(0.0f, sh->pt_w - 32.0f),
                                              std::fmax(0.0f, sh->pt_h - SHELL_TOP_BAR - 32.0f));
        *w = s.w;
        *h = s.h;
      } else {
        *h = room;
      }
      break;
    default:
      *h = room;
      break;
  }
}

void shell_ui_layout(Shell* sh) {
  UiLayout* l = &sh->ui_layout;
  int ww = 0, wh = 0;
  if (sh->window) SDL_GetWindowSize(sh->window, &ww, &wh);
  l->to_points = ww > 0 && sh->scale > 0 ? (float)sh->px_w / (float)ww / sh->scale : 1.0f;
  l->scale = sh->scale > 0 ? sh->scale : 1.0f;
  l->width = sh->pt_w;
  l->height = sh->pt_h;
  l->top_bar = SHELL_TOP_BAR;
  const DrawRect& c = sh->canvas_rect;
  l->has_canvas = c.w > 1.0f && c.h > 1.0f;
  GestureFrame* g = &l->canvas;
  g->left = c.x;
  g->top = c.y;
  g->width = c.w;
  g->height = c.h;
  g->margin = SHELL_CANVAS_INSET;
  g->zoom = g->zoom_y = 1.0f;
  g->centre_x = g->centre_y = 0.5f;
  g->loop_set = false;
  g->span = 1.0;
  g->recording = false;
  if (const Session* s = sh->app.session) {
    const SessionSnapshot* snap = session_snapshot(s);
    ViewTransform t;
    view_transform(&s->view, ViewRect{c.x, c.y, c.w, c.h}, &t);
    g->zoom = t.scale_x;
    g->zoom_y = t.scale_y;
    g->centre_x = t.centre_x;
    g->centre_y = t.centre_y;
    g->span = snap->span > 0 ? snap->span : 1.0;
    g->recording = snap->recording || snap->take_running;
    g->loop_set = snap->loop.on && snap->loop.in < snap->loop.out;
    g->loop_in = (float)(snap->loop.in / g->span);
    g->loop_out = (float)(snap->loop.out / g->span);
  }
  // The open panel's rectangle (or the closing one's while it slides out).
  const int32_t shown = sh->ui.panel != PANEL_NONE ? sh->ui.panel : sh->ui.closing_panel;
  const float progress =
      sh->ui.panel != PANEL_NONE ? sh->ui.panel_progress : sh->ui.closing_progress;
  float pw = 0, ph = 0;
  shell_panel_size(sh, shown, &pw, &ph);
  l->panel_w = pw;
  l->panel_h = ph;
  l->panel_x = shown == PANEL_RIG ? sh->pt_w - pw - 16.0f : panel_x(sh, pw, progress);
  l->panel_y = SHELL_TOP_BAR + 16.0f;
  // The top bar's buttons, right to left.
  float right = sh->pt_w - 16.0f;
  for (int32_t i = 0; i < UI_TOP_BUTTONS; i++) {
    const char* label = i == TOP_LIBRARY && sh->ui.tab == UI_TAB_LIBRARY ? "SKETCH" : ui_top_label(i);
    l->top_w[i] = text_measure(SHELL_TOP_LABEL, label) + 24.0f;
    l->top_x[i] = right - l->top_w[i];
    right = l->top_x[i] - 6.0f;
  }
  // The status pill over the canvas's foot; the banners under the top bar.
  l->status_w = std::fmin(460.0f, std::fmax(120.0f, sh->pt_w - 48.0f));
  l->status_h = 28.0f;
  l->status_x = (sh->pt_w - l->status_w) * 0.5f;
  l->status_y = sh->pt_h - SHELL_STATUS_BAR - l->status_h - 10.0f;
  l->banner_top = SHELL_TOP_BAR + 10.0f;
  // The library tab slides out of the left edge beside the sketch.
  l->list_w = std::fmin(520.0f, std::fmax(300.0f, sh->pt_w * 0.45f));
  l->list_w = std::fmin(l->list_w, sh->pt_w);
  l->list_h = std::fmax(1.0f, sh->pt_h - SHELL_TOP_BAR - SHELL_STATUS_BAR);
  l->list_y = SHELL_TOP_BAR;
  const float eased = 1.0f - std::pow(1.0f - sh->ui.list_progress, 3.0f);
  l->list_x = -l->list_w * (1.0f - eased);
  l->console_h = std::round(sh->pt_h * 2.0f / 3.0f);
  const SessionSnapshot* snap = sh->app.session ? session_snapshot(sh->app.session) : nullptr;
  l->title_x = 24.0f;
  l->title_y = 14.0f;
  l->title_w = std::fmax(180.0f, text_measure(kTitle, snap && snap->title[0] ? snap->title : "Untitled"));
  l->title_w = std::fmin(l->title_w, sh->pt_w * 0.5f);
  l->title_h = text_line_height(kTitle);
}

void shell_ui_frame(Shell* sh, double now) {
  Ui* ui = &sh->ui;
  App* a = &sh->app;
  const double dt = a->dt > 0 ? a->dt : 1.0 / 60.0;
  ui->now = now;
  shell_ui_layout(sh);
  if (a->lib_made) library_list_track(&ui->list, &a->lib);
  fill_settings_context(sh);
  input_wheel_flush(ui, &sh->ui_layout);
  midi_step(sh, now);
  actions_flush(ui);
  midi_feedback(sh);
  key_hint_step(sh, now);
  if (a->window && whatsnew_auto_open(&a->whats_new, now, ui->panel != PANEL_NONE, ui->name.open))
    panel_open(ui, PANEL_WHATS_NEW);
  panel_tick(ui, dt);
  library_list_tick(&ui->list, dt);
  // The notices: what is busy, the toast's hold while audio switches, the banners' places.
  NoticeBusy busy;
  notices_gather(&ui->notices, a, &busy);
  status_update(&ui->notices, &busy, now, dt);
  if (ui->busy.active) {
    AudioStatus st;
    const uint64_t counter =
        a->engine && audio_engine_status(a->engine, &st) > 0 ? st.change_counter : 0;
    const SessionSnapshot* snap = a->session ? session_snapshot(a->session) : nullptr;
    notices_busy_hold(&ui->notices, &ui->busy, counter,
                      snap && (snap->loading_meta || snap->loading_tape), now);
  }
  share_tick(&ui->share, &ui->share_ui, now, dt, busy.export_running);
  notices_layout(&ui->notices, sh->pt_w, sh->ui_layout.banner_top, dt);
  if (RigPanel* rp = ui->rig_panel) {
    const int32_t req = rig_panel_take_close_request(rp);
    if (req == 1 && ui->panel == PANEL_RIG) panel_close(ui);
    if (req == 2) actions_push(&ui->pending, ACT_DRIVER_PANEL, 0, nullptr);
    float rows = 0;
    int32_t sel = -1;
    rig_panel_view(rp, &rows, &sel);
    a->settings.rig_scroll = rows;
    a->settings.rig_sel = sel;
  }
  task_card_step(&ui->task_card, &ui->training, now, dt);
  if (ui->panel == PANEL_TRAINING &&
      training_panel_step(&ui->training_panel, &ui->training, now, dt)) {
    Settings* st = &a->settings;
    training_clear_unseen(&ui->training);
    training_save(&ui->training, st->training_done, sizeof st->training_done, st->training_unseen,
                  sizeof st->training_unseen, st->training_found, sizeof st->training_found);
  }
  if (ui->quit) sh->quit_requested = true;
}

bool shell_ui_event(Shell* sh, const SDL_Event& e) {
  sh->ui.now = clock_monotonic();
  // An open rig panel sees every event first; what it uses goes no further.
  if (sh->ui.rig_panel && rig_panel_is_open(sh->ui.rig_panel)) {
    const RigPanelFrame f = rig_frame_input(sh);
    if (rig_panel_event(sh->ui.rig_panel, &e, &f)) return true;
  }
  return input_event(&sh->ui, &sh->ui_layout, &e);
}

void shell_ui_draw(Shell* sh) {
  Ui* ui = &sh->ui;
  if (ui->tab == UI_TAB_CANVAS || ui->list_progress < 0.999f) shell_controls_draw(sh);
  if (ui->name.open) draw_name_editor(sh);
  // The closing panel under the one sliding in.
  if (ui->closing_panel != PANEL_NONE) draw_panel(sh, ui->closing_panel, ui->closing_progress);
  if (ui->panel != PANEL_NONE) draw_panel(sh, ui->panel, ui->panel_progress);
  if (ui->rig_panel && rig_panel_is_visible(ui->rig_panel)) {
    const RigPanelFrame f = rig_frame_input(sh);
    rig_panel_draw(ui->rig_panel, &f);
  }
  const UiLayout* l = &sh->ui_layout;
  const SessionSnapshot* snap = sh->app.session ? session_snapshot(sh->app.session) : nullptr;
  notices_draw(&ui->notices, sh->painter, DrawRect{l->status_x, l->status_y, l->status_w, l->status_h},
               shell_accent(snap ? snap->meta : nullptr));
  const KeyHint* h = &ui->key_hint;
  if (h->id != HINT_NONE && key_hint_visible(h, ui->now))
    key_hint_draw(sh->painter, h, sh->hint_scene.rect[h->id], sh->hint_scene.in_top_bar[h->id],
                  sh->pt_w, sh->pt_h, ui->now, sh->reduced_motion);
  task_card_draw(&ui->task_card, sh->painter, sh->pt_w, shell_accent(snap ? snap->meta : nullptr));
  console_draw(sh->painter, sh->pt_w, sh->pt_h, ui->console_progress);
}

void shell_library_draw(Shell* sh) {
  Ui* ui = &sh->ui;
  App* a = &sh->app;
  if (ui->list_progress < 0.002f || !a->lib_made) return;
  const UiLayout* l = &sh->ui_layout;
  const DrawRect r{l->list_x, l->list_y, l->list_w, l->list_h};
  Painter* p = sh->painter;
  // The sketch beside the list dims while the library has the keys.
  draw_rect(p, r.x + r.w, r.y, sh->pt_w - r.x - r.w, r.h,
            DrawColour{0.0f, 0.0f, 0.0f, 0.45f * ui->list_progress});
  draw_rect(p, r.x, r.y, r.w, r.h, THEME_PANEL);
  draw_rect(p, r.x + r.w - 1.0f, r.y, 1.0f, r.h, THEME_EDGE);
  const SessionSnapshot* snap = a->session ? session_snapshot(a->session) : nullptr;
  library_list_draw(&ui->list, &a->lib, a->settings.lib_tab ? 1 : 0, r,
                    snap && snap->loaded ? snap->id : "", importing(a),
                    shell_accent(snap ? snap->meta : nullptr), p, ui->now);
  // The input method's candidates sit beside the rename caret.
  if (library_list_renaming(&ui->list)) {
    const DrawRect c = ui->list.caret;
    SDL_Rect ime{(int)std::lround(c.x * sh->scale), (int)std::lround(c.y * sh->scale), 1,
                 (int)std::lround(std::fmax(1.0f, c.h) * sh->scale)};
    SDL_SetTextInputRect(&ime);
  }
}
