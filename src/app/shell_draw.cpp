// The frame's picture until the panels arrive: the theme's background, the canvas (sky and
// leaves), the sketch's title, the transport and the session's banners and toasts as text.
#include <cmath>
#include <cstdio>

#include "app/session.h"
#include "app/shell_internal.h"
#include "app/theme.h"
#include "audio/audio_engine.h"
#include "base/clock.h"
#include "base/log.h"
#include "core/tape.h"
#include "store/meta.h"
#include "ui/draw.h"
#include "ui/text.h"

namespace {

constexpr DrawColour kSkyTop = {0.035f, 0.055f, 0.10f, 1.0f};
constexpr DrawColour kSkyBottom = {0.01f, 0.02f, 0.045f, 1.0f};
constexpr DrawColour kRec = {0.95f, 0.25f, 0.22f, 1.0f};

constexpr TextStyle kTitle = {TEXT_HEAD, 15.0f, 600, 0.0f};
constexpr TextStyle kLabel = {TEXT_MONO, 12.0f, 700, 1.0f};
constexpr TextStyle kSmall = {TEXT_MONO, 11.0f, 400, 0.5f};

void draw_status(Shell* sh, const SessionSnapshot* snap) {
  Painter* p = sh->painter;
  char line[160];
  const int secs = (int)snap->position_seconds;
  snprintf(line, sizeof line, "%s  %02d:%02d.%d", snap->recording ? "REC" : snap->playing ? "PLAY" : "STOP",
           secs / 60, secs % 60, (int)((snap->position_seconds - secs) * 10.0) % 10);
  if (snap->recording) draw_disc(p, 30.0f, sh->pt_h - 19.0f, 6.0f, kRec);
  text_draw(p, kLabel, 44.0f, sh->pt_h - 27.0f, TEXT_LEFT, THEME_INK, line, false);
  AudioStatus au;
  if (sh->app.engine && audio_engine_status(sh->app.engine, &au) > 0) {
    if (au.state == AUDIO_RUNNING)
      snprintf(line, sizeof line, "%s  %.0f HZ", au.device, au.rate);
    else
      snprintf(line, sizeof line, "AUDIO %s", audio_state_name(au.state));
  } else {
    snprintf(line, sizeof line, "NO AUDIO");
  }
  const UiLayout* l = &sh->ui_layout;
  text_draw(p, kSmall, l->top_x[UI_TOP_BUTTONS - 1] - 14.0f, 16.0f, TEXT_RIGHT, THEME_DIM, line, false);
}

// The top bar's buttons: the rig, the library (the sketch when the library shows), share and
// settings.
void draw_top_buttons(Shell* sh) {
  Painter* p = sh->painter;
  const UiLayout* l = &sh->ui_layout;
  const Ui* ui = &sh->ui;
  for (int32_t i = 0; i < UI_TOP_BUTTONS; i++) {
    const bool on = (i == TOP_SETTINGS && ui->panel == PANEL_SETTINGS) ||
                    (i == TOP_SHARE && ui->panel == PANEL_SHARE) ||
                    (i == TOP_RIG && ui->panel == PANEL_RIG) ||
                    (i == TOP_LIBRARY && ui->tab == UI_TAB_LIBRARY);
    const bool hot = ui->top_hover == i || ui->top_pressed == i;
    const DrawRect r{l->top_x[i], 9.0f, l->top_w[i], 26.0f};
    if (on || hot)
      draw_rrect(p, r, 13.0f, on ? DrawColour{0.20f, 0.26f, 0.36f, 1.0f}
                                 : DrawColour{0.14f, 0.18f, 0.26f, 1.0f});
    draw_rrect_frame(p, r, 13.0f, 1.0f, DrawColour{0.35f, 0.45f, 0.60f, 0.6f});
    const char* label = i == TOP_LIBRARY && ui->tab == UI_TAB_LIBRARY ? "SKETCH" : ui_top_label(i);
    text_draw(p, SHELL_TOP_LABEL, r.x + r.w * 0.5f, r.y + (r.h - text_line_height(SHELL_TOP_LABEL)) * 0.5f,
              TEXT_CENTRE, on || hot ? THEME_INK : THEME_DIM, label, false);
  }
}

}  // namespace

void shell_draw_frame(Shell* sh) {
  Painter* p = sh->painter;
  draw_reset_transform(p);
  draw_rect_gradient(p, 0, 0, sh->pt_w, sh->pt_h, kSkyTop, kSkyBottom);
  const Session* s = sh->app.session;
  if (!s) return;
  const SessionSnapshot* snap = session_snapshot(s);
  shell_canvas_draw(sh);
  shell_library_draw(sh);
  // How long the record key took to show as a leaf: what the player feels as the lag.
  if (sh->ui.record_key_at > 0) {
    const double since = clock_monotonic() - sh->ui.record_key_at;
    if (snap->recording && snap->live_count > 0) {
      log_line("main: the take's first leaf drawn %.1f ms after its key", since * 1000.0);
      sh->ui.record_key_at = 0;
    } else if (since > 5.0) {
      sh->ui.record_key_at = 0;
    }
  }
  if (!sh->ui.name.open)
    text_draw(p, kTitle, 24.0f, 14.0f, TEXT_LEFT, THEME_INK, snap->title[0] ? snap->title : "Untitled",
              true);
  draw_status(sh, snap);
  draw_top_buttons(sh);
  shell_ui_draw(sh);
}
