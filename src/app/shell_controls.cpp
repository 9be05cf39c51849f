// The controls under the canvas: the strip (the whole sketch, the loop flags, the view's box) and
// the XY stick, placed in the status bar and fed from the session's snapshot each frame.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "app/session.h"
#include "app/shell_internal.h"
#include "app/shell_stick.h"
#include "app/shell_strip.h"
#include "base/clock.h"
#include "store/meta.h"

namespace {

constexpr float kStickSize = 44.0f;
constexpr float kStripHeight = 16.0f;

struct Controls {
  StripState strip;
  StickState stick;
};

Controls* of(Shell* sh) {
  return (Controls*)sh->controls;
}

void strip_frame(const Shell* sh, StripFrame* f) {
  memset(f, 0, sizeof *f);
  const DrawRect stick = shell_stick_rect(sh);
  f->rect = DrawRect{SHELL_CANVAS_INSET, sh->pt_h - SHELL_STATUS_BAR + 4.0f,
                     std::fmax(1.0f, stick.x - 16.0f - SHELL_CANVAS_INSET), kStripHeight};
  f->span = 1.0;
  f->zoom = 1.0f;
  f->centre_x = 0.5f;
  f->rate = 48000.0;
  const Session* s = sh->app.session;
  const SessionSnapshot* snap = s ? session_snapshot(s) : nullptr;
  f->accent = shell_accent(snap ? snap->meta : nullptr);
  if (!snap) return;
  f->span = snap->span > 0 ? snap->span : 1.0;
  f->rate = snap->rate > 0 ? snap->rate : 48000.0;
  f->tape_seconds = (double)snap->tape_frames / f->rate;
  f->meta = snap->loaded ? snap->meta : nullptr;
  f->loop = snap->loop;
  f->cursor_seconds = snap->loaded ? snap->position_seconds : -1.0;
  ViewTransform t;
  view_transform(&s->view, ViewRect{sh->canvas_rect.x, sh->canvas_rect.y, sh->canvas_rect.w,
                                    sh->canvas_rect.h},
                 &t);
  f->zoom = t.scale_x;
  f->centre_x = t.centre_x;
}

void stick_frame(const Shell* sh, StickFrame* f) {
  memset(f, 0, sizeof *f);
  f->rect = shell_stick_rect(sh);
  f->window_w = sh->pt_w;
  f->window_h = sh->pt_h;
  const Session* s = sh->app.session;
  const SessionSnapshot* snap = s ? session_snapshot(s) : nullptr;
  f->accent = shell_accent(snap ? snap->meta : nullptr);
  f->x = snap ? snap->xy_x : 0.0f;
  f->y = snap ? snap->xy_y : 0.0f;
  f->now = clock_monotonic();
  f->pad_until = sh->ui.xy_pad_until;
}

int32_t press(void* user, int32_t button, float x, float y) {
  Shell* sh = (Shell*)user;
  Controls* c = of(sh);
  if (!c) return CAPTURE_NONE;
  StickFrame sf;
  stick_frame(sh, &sf);
  if (stick_press(&c->stick, &sf, button, x, y, &sh->ui.pending)) {
    sh->ui.xy_held = true;
    sh->ui.xy_returning = false;
    return CAPTURE_STICK;
  }
  StripFrame f;
  strip_frame(sh, &f);
  if (strip_press(&c->strip, &f, button, x, y, &sh->ui.pending)) return CAPTURE_STRIP;
  return CAPTURE_NONE;
}

void move(void* user, int32_t capture, float x, float y) {
  Shell* sh = (Shell*)user;
  Controls* c = of(sh);
  if (!c) return;
  if (capture == CAPTURE_STICK) {
    StickFrame sf;
    stick_frame(sh, &sf);
    stick_move(&c->stick, &sf, x, y, &sh->ui.pending);
  } else {
    StripFrame f;
    strip_frame(sh, &f);
    strip_move(&c->strip, &f, x, y, &sh->ui.pending);
  }
}

void release(void* user, int32_t capture, int32_t button, float x, float y) {
  Shell* sh = (Shell*)user;
  Controls* c = of(sh);
  if (!c) return;
  if (capture == CAPTURE_STICK) {
    StickFrame sf;
    stick_frame(sh, &sf);
    stick_release(&c->stick, &sf, button, x, y, &sh->ui.pending);
    sh->ui.xy_held = stick_held(&c->stick);
  } else {
    StripFrame f;
    strip_frame(sh, &f);
    strip_release(&c->strip, &f, button, x, y, &sh->ui.pending);
  }
}

}  // namespace

DrawRect shell_stick_rect(const Shell* sh) {
  return DrawRect{sh->pt_w - SHELL_CANVAS_INSET - kStickSize,
                  sh->pt_h - SHELL_STATUS_BAR + (SHELL_STATUS_BAR - kStickSize) * 0.5f, kStickSize,
                  kStickSize};
}

void shell_controls_start(Shell* sh) {
  Controls* c = (Controls*)calloc(1, sizeof(Controls));
  sh->controls = c;
  if (!c) return;  // without them the canvas still plays
  strip_reset(&c->strip);
  stick_reset(&c->stick);
  sh->ui.window.control_press = press;
  sh->ui.window.control_move = move;
  sh->ui.window.control_release = release;
}

void shell_controls_stop(Shell* sh) {
  free(sh->controls);
  sh->controls = nullptr;
}

void shell_controls_draw(Shell* sh) {
  Controls* c = of(sh);
  if (!c || !sh->app.session) return;
  StripFrame f;
  strip_frame(sh, &f);
  strip_draw(sh->painter, &f, &c->strip);
  StickFrame sf;
  stick_frame(sh, &sf);
  stick_draw(sh->painter, &sf, &c->stick);
}
