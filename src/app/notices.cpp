// The notices' model: the toast's timing, the banner slots, the status pill's busy source and
// fade, the banners' layout and buttons, and the SHARE / EXPORT panel's buttons.
#include "app/notices.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "app/session.h"
#include "app/session_lifecycle.h"
#include "audio/audio_engine.h"
#include "base/log.h"
#include "base/text.h"
#include "store/jobs.h"

namespace {

struct SlotInfo {
  const char* text;
  const char* buttons[2];
};

constexpr const char* kOpenSettings = "OPEN SETTINGS";
constexpr const char* kPickDevice = "PICK DEVICE";
constexpr const char* kRetry = "RETRY";
constexpr const char* kOpenRig = "OPEN RIG";

constexpr SlotInfo kSlots[NOTICE_BANNER_SLOTS] = {
    {"TAPE FULL", {nullptr, nullptr}},
    {"MIC ACCESS IS OFF FOR DESKTOP APPS", {kOpenSettings, nullptr}},
    {"MIC BUSY", {kPickDevice, nullptr}},
    {"AUDIO DOWN - RECONNECTING\u2026", {kRetry, kPickDevice}},
    {"NO OUTPUT - YOU WON'T HEAR PLAYBACK", {kPickDevice, nullptr}},
    {"NO INPUT SIGNAL", {kOpenSettings, nullptr}},
    {"AUDIO DRIVER STOPPED ANSWERING - RESTART KELP NOVA", {nullptr, nullptr}},
    {"COULDN'T SAVE", {kRetry, nullptr}},
    {"ALL INPUTS MUTED - NOTHING WILL RECORD", {kOpenRig, nullptr}},
    {"A MUTED INPUT HAS SIGNAL", {kOpenRig, nullptr}},
    {"YOUR RIG LOADED - THE MIX CHANGED MID-TAKE", {nullptr, nullptr}},
};

constexpr int32_t kSettingsDeviceRow = 6;
constexpr const char kEllipsis[] = "\u2026";

double frame_dt(double dt) {
  return std::isfinite(dt) && dt > 0 ? dt : 1.0 / 60.0;
}

float ease(float value, float target, double dt) {
  const float k = (float)std::min(1.0, 14.0 * frame_dt(dt));
  return value + (target - value) * k;
}

bool inside(DrawRect r, float x, float y) {
  return r.w > 0 && r.h > 0 && x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h;
}

bool ends_with(const char* s, const char* tail) {
  const size_t n = strlen(s), m = strlen(tail);
  return n >= m && memcmp(s + n - m, tail, m) == 0;
}

// A path or a file name keeps the toast up longer.
bool names_a_file(const char* s) {
  return strchr(s, '\\') || strchr(s, '/') || strstr(s, ".wav") || strstr(s, ".WAV");
}

void toast_store(NoticeArea* a, const char* text, double now) {
  text_copy(a->toast, sizeof a->toast, text ? text : "");
  a->toast_until =
      now + (names_a_file(a->toast) ? NOTICE_TOAST_FILE_SECONDS : NOTICE_TOAST_SECONDS);
}

void button_action(int32_t slot, const char* label, ActionList* out) {
  if (label == kOpenSettings)
    actions_push(out, ACT_MIC_PRIVACY, 0, nullptr);
  else if (label == kPickDevice)
    actions_push(out, ACT_SETTINGS, kSettingsDeviceRow, nullptr);
  else if (label == kRetry)
    actions_push(out, ACT_AUDIO_RETRY, slot, nullptr);
  else if (label == kOpenRig)
    actions_push(out, ACT_RIG, 0, nullptr);
}

// The banner button under (x, y): its slot and index, false when none.
bool button_at(const NoticeArea* a, float x, float y, int32_t* slot, int32_t* button) {
  for (int32_t s = 0; s < NOTICE_BANNER_SLOTS; s++) {
    const NoticeBanner& b = a->banners[s];
    if (!b.shown) continue;
    for (int32_t k = 0; k < b.button_count; k++) {
      if (inside(b.buttons[k], x, y)) {
        *slot = s;
        *button = k;
        return true;
      }
    }
  }
  return false;
}

bool on_banner(const NoticeArea* a, float x, float y) {
  for (const NoticeBanner& b : a->banners)
    if (b.shown && inside(b.rect, x, y)) return true;
  return false;
}

void layout_one(NoticeBanner* b, int32_t slot, float window_w, float top) {
  b->button_count = banner_button_count(slot);
  b->lines = 1;
  b->line_starts[0] = 0;
  b->one_line = true;
  if (slot == 0) {
    const float w = text_measure(NOTICE_PILL_STYLE, b->text) + 20.0f;
    const float h = text_line_height(NOTICE_PILL_STYLE) + 10.0f;
    b->rect = DrawRect{(window_w - w) * 0.5f, top, w, h};
    return;
  }
  const float w = std::clamp(window_w - 32.0f, 120.0f, 440.0f);
  const float x = (window_w - w) * 0.5f;
  const float lh = text_line_height(NOTICE_BANNER_STYLE);
  float bw[2] = {0, 0};
  float buttons = 0;
  for (int32_t k = 0; k < b->button_count; k++) {
    bw[k] = text_measure(NOTICE_BUTTON_STYLE, banner_button_label(slot, k)) + 20.0f;
    buttons += bw[k] + (k > 0 ? 6.0f : 0.0f);
  }
  const float message = text_measure(NOTICE_BANNER_STYLE, b->text);
  const float need = message + (b->button_count > 0 ? 12.0f + buttons : 0.0f);
  float h, row_y;
  if (need <= w - 24.0f) {
    h = std::max(lh, b->button_count > 0 ? 24.0f : 0.0f) + 16.0f;
    row_y = top + (h - 24.0f) * 0.5f;
  } else {
    b->one_line = false;
    int starts[NOTICE_BANNER_LINES + 1];
    const int n = text_wrap(NOTICE_BANNER_STYLE, b->text, w - 24.0f, starts,
                            NOTICE_BANNER_LINES + 1);
    b->lines = std::clamp(n, 1, (int)NOTICE_BANNER_LINES);
    for (int i = 0; i < b->lines; i++) b->line_starts[i] = n > 0 ? starts[i] : 0;
    const float body = (float)b->lines * lh + 8.0f;
    h = body + (b->button_count > 0 ? 32.0f : 0.0f) + 8.0f;
    row_y = top + body + 4.0f;
  }
  b->rect = DrawRect{x, top, w, h};
  float right = x + w - 12.0f;
  for (int32_t k = b->button_count - 1; k >= 0; k--) {
    right -= bw[k];
    b->buttons[k] = DrawRect{right, row_y, bw[k], 24.0f};
    right -= 6.0f;
  }
}

}  // namespace

void notices_init(NoticeArea* a) {
  memset(a, 0, sizeof *a);
  for (int32_t s = 0; s < NOTICE_BANNER_SLOTS; s++)
    text_copy(a->banners[s].text, sizeof a->banners[s].text, kSlots[s].text);
  a->pill_progress = NOTICE_NO_BAR;
  a->pressed_slot = a->pressed_button = -1;
  a->hover_slot = a->hover_button = -1;
}

// ---- toast ----

void toast_show(NoticeArea* a, const char* text, double now) {
  toast_store(a, text, now);
  log_line("toast: %s", a->toast);
}

void toast_accept(NoticeArea* a, const char* text, double now) {
  toast_store(a, text, now);
}

bool toast_live(const NoticeArea* a, double now) {
  return a->toast[0] && now < a->toast_until;
}

void notices_busy_hold(NoticeArea* a, UiBusy* busy, uint64_t change_counter,
                       bool session_loading, double now) {
  if (!busy->active) return;
  const double age = now - busy->at;
  const bool changed = change_counter != busy->switch_counter && age > 0.1 && !session_loading;
  if (changed || age >= 15.0) {
    busy->active = false;
    a->toast_until = now;
    return;
  }
  a->toast_until = now + 0.3;
}

// ---- banners ----

const char* banner_default_text(int32_t slot) {
  return slot >= 0 && slot < NOTICE_BANNER_SLOTS ? kSlots[slot].text : "";
}

int32_t banner_button_count(int32_t slot) {
  if (slot < 0 || slot >= NOTICE_BANNER_SLOTS) return 0;
  return (kSlots[slot].buttons[0] ? 1 : 0) + (kSlots[slot].buttons[1] ? 1 : 0);
}

const char* banner_button_label(int32_t slot, int32_t button) {
  if (button < 0 || button >= banner_button_count(slot)) return nullptr;
  return kSlots[slot].buttons[button];
}

void banner_set(NoticeArea* a, int32_t slot, bool shown, const char* text) {
  if (slot < 0 || slot >= NOTICE_BANNER_SLOTS) return;
  NoticeBanner* b = &a->banners[slot];
  char want[NOTICE_BANNER_BYTES];
  text_copy(want, sizeof want, text && *text ? text : kSlots[slot].text);
  if (shown == b->shown && (!shown || strcmp(want, b->text) == 0)) return;
  b->shown = shown;
  text_copy(b->text, sizeof b->text, shown ? want : kSlots[slot].text);
  if (!shown) {
    b->rect = DrawRect{0, 0, 0, 0};
    b->button_count = 0;
    if (a->pressed_slot == slot) a->pressed_slot = a->pressed_button = -1;
  }
  log_line("banner: %s %s", shown ? "ON " : "off", b->text);
}

// ---- status pill ----

void notices_khz(double rate, char* out, size_t size) {
  if (!(rate > 0) || !std::isfinite(rate)) {
    snprintf(out, size, "?");
    return;
  }
  const double k = rate / 1000.0;
  if (std::fabs(k - std::round(k)) < 0.05)
    snprintf(out, size, "%.0fK", k);
  else
    snprintf(out, size, "%.1fK", k);
}

bool notices_busy_source(const NoticeBusy* b, char* text, size_t size, float* progress) {
  *progress = NOTICE_WORKING;
  if (b->job_busy) {
    text_copy(text, size, b->job_label[0] ? b->job_label : "WORKING\u2026");
    if (b->job_total > 0 && std::isfinite(b->job_done / b->job_total))
      *progress = (float)std::clamp(b->job_done / b->job_total, 0.0, 1.0);
    return true;
  }
  if (b->saving || b->closing) {
    text_copy(text, size, "SAVING\u2026");
    return true;
  }
  if (b->loading_tape) {
    if (b->resampling) {
      char from[16], to[16];
      notices_khz(b->sketch_rate, from, sizeof from);
      notices_khz(b->stream_rate, to, sizeof to);
      char line[64];
      snprintf(line, sizeof line, "RESAMPLING %s \u2192 %s\u2026", from, to);
      text_copy(text, size, line);
    } else {
      text_copy(text, size, "LOADING TAPE\u2026");
    }
    return true;
  }
  if (b->session_job[0]) {
    text_copy(text, size, b->session_job);
    return true;
  }
  if (b->loading_meta) {
    text_copy(text, size, "LOADING\u2026");
    return true;
  }
  if (b->audio_opening || b->audio_reopening) {
    text_copy(text, size, b->audio_reopening ? "REOPENING AUDIO\u2026" : "OPENING AUDIO\u2026");
    return true;
  }
  if (size) text[0] = 0;
  return false;
}

void status_update(NoticeArea* a, const NoticeBusy* busy, double now, double dt) {
  dt = frame_dt(dt);
  a->now = now;
  char source[NOTICE_PILL_BYTES];
  float progress = NOTICE_WORKING;
  const bool has = notices_busy_source(busy, source, sizeof source, &progress);
  bool due = false;
  if (has) {
    if (a->busy_since <= 0) a->busy_since = now > 0 ? now : 1e-9;
    due = now - a->busy_since >= NOTICE_BUSY_DUE - 1e-9;
  } else {
    a->busy_since = 0;
  }
  const char* text = nullptr;
  float shown_progress = NOTICE_NO_BAR;
  if (toast_live(a, now)) {
    text = a->toast;
    shown_progress = due ? progress : ends_with(a->toast, kEllipsis) ? NOTICE_WORKING : NOTICE_NO_BAR;
  } else if (due) {
    text = source;
    shown_progress = progress;
  } else if (busy->status_line[0]) {
    text = busy->status_line;
  }
  if (!text) {
    a->pill_opacity -= (float)(dt / 0.2);
    if (a->pill_opacity <= 0) {
      a->pill_opacity = 0;
      a->pill[0] = 0;
      a->pill_progress = NOTICE_NO_BAR;
    }
    return;
  }
  text_copy(a->pill, sizeof a->pill, text);
  a->pill_progress = shown_progress;
  a->pill_opacity = std::min(1.0f, a->pill_opacity + (float)(dt / 0.15));
}

void notices_gather(NoticeArea* a, const App* app, NoticeBusy* b) {
  memset(b, 0, sizeof *b);
  if (app->jobs) {
    JobBusyEntry jobs[16];
    const int n = jobs_busy_snapshot(app->jobs, jobs, 16);
    if (n > 0) {
      b->job_busy = true;
      text_copy(b->job_label, sizeof b->job_label, jobs[0].label);
      // A running job with a scale reports its fraction; anything else has no measure.
      if (jobs[0].running && jobs[0].scale > 0) {
        b->job_done = std::clamp(jobs[0].progress, 0.0, 1.0);
        b->job_total = 1.0;
      }
    }
    for (int i = 0; i < n; i++)
      if (jobs[i].kind == JOB_EXPORT_WAV) b->export_running = true;
  }
  if (const Session* s = app->session) {
    const SessionSnapshot* snap = session_snapshot(s);
    b->saving = snap->saving;
    b->closing = snap->closing;
    b->loading_tape = snap->loading_tape;
    b->resampling = snap->resampling;
    b->sketch_rate = snap->sketch_rate;
    b->stream_rate = snap->stream_rate;
    b->loading_meta = snap->loading_meta;
    text_copy(b->status_line, sizeof b->status_line, snap->status_line);
    if (snap->exporting || snap->saving || session_committing(s)) b->export_running = true;
  }
  if (app->engine) {
    AudioStatus st;
    audio_engine_status(app->engine, &st);
    if (st.state == AUDIO_RUNNING) a->audio_ran = true;
    b->audio_reopening =
        st.state == AUDIO_RECOVERING || (st.state == AUDIO_OPENING && a->audio_ran);
    b->audio_opening = st.state == AUDIO_OPENING && !a->audio_ran;
  }
}

// ---- banners on screen ----

void notices_layout(NoticeArea* a, float window_w, float banner_top, double dt) {
  float top = banner_top;
  for (int32_t s = 0; s < NOTICE_BANNER_SLOTS; s++) {
    NoticeBanner* b = &a->banners[s];
    if (!b->shown || !b->text[0]) {
      b->rect = DrawRect{0, 0, 0, 0};
      b->button_count = 0;
      b->hover = b->button_hover[0] = b->button_hover[1] = 0;
      continue;
    }
    layout_one(b, s, window_w, top);
    top += b->rect.h + NOTICE_BANNER_GAP;
  }
  a->hover_slot = a->hover_button = -1;
  if (a->pointer_in) button_at(a, a->pointer_x, a->pointer_y, &a->hover_slot, &a->hover_button);
  for (int32_t s = 0; s < NOTICE_BANNER_SLOTS; s++) {
    NoticeBanner* b = &a->banners[s];
    if (!b->shown) continue;
    const bool over = a->pointer_in && inside(b->rect, a->pointer_x, a->pointer_y);
    b->hover = ease(b->hover, over ? 1.0f : 0.0f, dt);
    for (int32_t k = 0; k < 2; k++) {
      const bool lit = (a->hover_slot == s && a->hover_button == k) ||
                       (a->pressed_slot == s && a->pressed_button == k);
      b->button_hover[k] = ease(b->button_hover[k], lit ? 1.0f : 0.0f, dt);
    }
  }
}

bool notices_pointer(NoticeArea* a, int32_t kind, int32_t button, float x, float y,
                     ActionList* out) {
  if (kind == 0) {  // the pointer left the window
    a->pointer_in = false;
    a->hover_slot = a->hover_button = -1;
    return false;
  }
  a->pointer_in = true;
  a->pointer_x = x;
  a->pointer_y = y;
  int32_t slot = -1, index = -1;
  const bool over_button = button_at(a, x, y, &slot, &index);
  a->hover_slot = over_button ? slot : -1;
  a->hover_button = over_button ? index : -1;
  switch (kind) {
    case 1:
      if (!on_banner(a, x, y)) return false;
      if (button == 1 && over_button) {
        a->pressed_slot = slot;
        a->pressed_button = index;
      }
      return true;
    case 2:
      return a->pressed_slot >= 0;
    case 3: {
      if (a->pressed_slot < 0) return false;
      const int32_t ps = a->pressed_slot, pb = a->pressed_button;
      a->pressed_slot = a->pressed_button = -1;
      if (button == 1 && over_button && slot == ps && index == pb && a->banners[ps].shown)
        button_action(ps, banner_button_label(ps, pb), out);
      return true;
    }
    default:
      return false;
  }
}

// ---- SHARE / EXPORT ----

void share_geometry(DrawRect panel, ShareGeometry* g) {
  memset(g, 0, sizeof *g);
  g->close = DrawRect{panel.x + panel.w - 40.0f, panel.y + 12.0f, 28.0f, 28.0f};
  g->foot_y = panel.y + panel.h - 18.0f - 14.0f;
  for (int i = 0; i < 3; i++) {
    g->buttons[i] = DrawRect{panel.x + 18.0f, panel.y + 63.0f + 56.0f * (float)i,
                             panel.w - 36.0f, 50.0f};
    g->shown[i] = g->buttons[i].y + g->buttons[i].h <= g->foot_y - 6.0f;
  }
}

void share_reset(UiShare* sh, ShareUi* ui) {
  for (int i = 0; i < 3; i++) {
    sh->state[i] = SHARE_IDLE;
    sh->until[i] = 0;
  }
  sh->message[0] = 0;
  ui->hover = ui->pressed = -1;
  ui->close_hover = 0;
}

namespace {

bool any_failed(const UiShare* sh) {
  for (int i = 0; i < 3; i++)
    if (sh->state[i] == SHARE_FAILED) return true;
  return false;
}

}  // namespace

void share_export_result(UiShare* sh, bool ok, const char* text, double now) {
  if (ok) {
    text_copy(sh->last_export, sizeof sh->last_export, text ? text : "");
    sh->state[SHARE_EXPORT] = SHARE_DONE;
    sh->until[SHARE_EXPORT] = now + 3.0;
    if (sh->state[SHARE_COPY] == SHARE_FAILED) sh->state[SHARE_COPY] = SHARE_IDLE;
    if (!any_failed(sh)) sh->message[0] = 0;
    return;
  }
  sh->state[SHARE_EXPORT] = SHARE_FAILED;
  sh->until[SHARE_EXPORT] = now + 6.0;
  text_copy(sh->message, sizeof sh->message, text && *text ? text : "EXPORT FAILED");
}

void share_tick(UiShare* sh, ShareUi* ui, double now, double dt, bool export_running) {
  for (int i = 0; i < 3; i++) {
    if (sh->state[i] == SHARE_BUSY) {
      if (i == SHARE_EXPORT && export_running)
        sh->until[i] = now + 2.0;
      else if (now >= sh->until[i])
        sh->state[i] = SHARE_IDLE;
    } else if ((sh->state[i] == SHARE_DONE || sh->state[i] == SHARE_FAILED) &&
               now >= sh->until[i]) {
      sh->state[i] = SHARE_IDLE;
    }
  }
  if (!any_failed(sh)) sh->message[0] = 0;
  if (ui) ui->close_hover = ease(ui->close_hover, ui->hover == SHARE_CLOSE ? 1.0f : 0.0f, dt);
}

bool share_pointer(UiShare* sh, ShareUi* ui, DrawRect panel, int32_t kind, float x, float y,
                   bool sketch_ready, bool last_export_exists, double now, ActionList* out) {
  ShareGeometry g;
  share_geometry(panel, &g);
  int32_t over = -1;
  if (inside(g.close, x, y)) {
    over = SHARE_CLOSE;
  } else if (sketch_ready) {
    for (int i = 0; i < 3; i++)
      if (g.shown[i] && inside(g.buttons[i], x, y)) over = i;
  }
  ui->hover = over;
  const bool in_panel = inside(panel, x, y);
  if (kind == 1) {
    ui->pressed = over;
    return in_panel;
  }
  if (kind != 3) return in_panel || ui->pressed >= 0;
  const int32_t pressed = ui->pressed;
  ui->pressed = -1;
  if (pressed < 0 || pressed != over) return in_panel || pressed >= 0;
  switch (pressed) {
    case SHARE_CLOSE:
      actions_push(out, ACT_CLOSE_PANEL, 0, nullptr);
      break;
    case SHARE_EXPORT:
      if (sh->state[SHARE_EXPORT] == SHARE_BUSY) break;
      actions_push(out, ACT_EXPORT_WAV, 0, nullptr);
      sh->state[SHARE_EXPORT] = SHARE_BUSY;
      sh->until[SHARE_EXPORT] = now + 2.0;
      break;
    case SHARE_FOLDER:
      if (last_export_exists && sh->last_export[0])
        actions_push(out, ACT_SHOW_FILE, 0, sh->last_export);
      else
        actions_push(out, ACT_OPEN_EXPORTS, 0, nullptr);
      sh->state[SHARE_FOLDER] = SHARE_DONE;
      sh->until[SHARE_FOLDER] = now + 3.0;
      break;
    case SHARE_COPY:
      actions_push(out, ACT_COPY_EXPORT, 0, sh->last_export);
      break;
    default:
      break;
  }
  return true;
}
