// The window's picture of the sketch: the canvas fed from the session's snapshot (ticked with the
// camera at 24 Hz, drawn every frame), the sky's lean, the desktop's reduced motion and the
// pointer glyph with the hover kind under the pointer.
#include <SDL.h>

#include <cmath>
#include <cstring>

#include "app/session.h"
#include "app/shell_internal.h"
#include "base/clock.h"
#include "base/log.h"
#include "base/text.h"
#include "core/tape.h"
#include "platform/motion.h"
#include "store/meta.h"
#include "ui/canvas.h"

namespace {

constexpr float kTopBar = SHELL_TOP_BAR;  // the system cursor there, no glyph
constexpr float kStatusBar = SHELL_STATUS_BAR;
constexpr float kEdge = 5.0f;  // near the window's edge the system cursor comes back
constexpr float kInset = SHELL_CANVAS_INSET;
constexpr DrawColour kLoopColour = {0.55f, 0.85f, 1.0f, 1.0f};

}  // namespace

DrawColour shell_accent(const SketchMeta* meta) {
  if (meta && meta->hasPickedColor)
    return DrawColour{(float)meta->pickedColor.r, (float)meta->pickedColor.g,
                      (float)meta->pickedColor.b, 1.0f};
  return DrawColour{SESSION_PALETTE[0][0], SESSION_PALETTE[0][1], SESSION_PALETTE[0][2], 1.0f};
}

namespace {

void fill_input(Shell* sh, CanvasInput* in, double now) {
  memset(in, 0, sizeof *in);
  const Session* s = sh->app.session;
  const Settings* st = &sh->app.settings;
  in->now = now;
  in->wall = clock_now();
  in->triangle_stride = st->triangle_stride;
  in->supersample = st->canvas_2x != 0;
  in->reduced_motion = sh->reduced_motion;
  in->loop_colour = kLoopColour;
  in->inset = kInset;
  in->rate = TAPE_DEFAULT_RATE;
  in->span = 1;
  in->accent = shell_accent(nullptr);
  const DrawRect& r = sh->canvas_rect;
  in->pointer_in = sh->mouse_in && sh->mouse_x >= r.x && sh->mouse_x < r.x + r.w &&
                   sh->mouse_y >= r.y && sh->mouse_y < r.y + r.h;
  in->pointer_x = sh->mouse_x;
  in->pointer_y = sh->mouse_y;
  // What the library tab or the settings panel hides needs no drawing: the library covers the
  // canvas's whole height; the settings panel all but a thin band, where the window's own
  // background shows instead of the sky.
  const Ui* ui = &sh->ui;
  const UiLayout* l = &sh->ui_layout;
  if (ui->tab == UI_TAB_LIBRARY && ui->list_progress >= 0.999f) {
    const float right = l->list_x + l->list_w;
    in->shown = DrawRect{right, 0, std::fmax(0.0f, sh->pt_w - right), sh->pt_h};
  } else if (ui->panel == PANEL_SETTINGS && ui->closing_panel == PANEL_NONE &&
             l->panel_x < sh->pt_w) {
    in->shown = DrawRect{0, 0, std::fmax(0.0f, l->panel_x), sh->pt_h};
  }
  if (!s) return;
  const SessionSnapshot* snap = session_snapshot(s);
  in->meta = snap->meta;
  in->rate = snap->rate > 0 ? snap->rate : in->rate;
  in->span = snap->span > 0 ? snap->span : 1;
  in->position = snap->position;
  in->has_cursor = snap->loaded;
  in->playing = snap->playing;
  in->recording = snap->recording;
  in->live_strokes = snap->live_strokes;
  in->live_count = snap->live_count;
  in->live_peak = snap->live_peak;
  in->live_start = snap->live_start;
  in->live_pinned = snap->paint_mode && s->has_click_height;
  in->live_y = (float)s->click_height;
  in->loop = snap->loop;
  in->view = &s->view;
  in->accent = shell_accent(snap->meta);
  in->paint_mode = snap->paint_mode;
}

void canvas_tick_hook(void* user) {
  Shell* sh = (Shell*)user;
  if (!sh->canvas) return;
  CanvasInput in;
  fill_input(sh, &in, clock_monotonic());
  canvas_tick(sh->canvas, &in);
}

// What the pointer is over: the system cursor near the edges, in the top bar, while a button
// is held or the window isn't focused; the lying glyph over the canvas; the pyramid elsewhere.
int hover_kind(const Shell* sh) {
  if (!sh->mouse_in || !sh->focused || sh->mouse_held) return POINTER_SYSTEM;
  const Ui* ui = &sh->ui;
  if (ui->name.open || library_list_renaming(&ui->list) || ui->console_open) return POINTER_SYSTEM;
  const float x = sh->mouse_x, y = sh->mouse_y;
  if (x < kEdge || y < kEdge || x > sh->pt_w - kEdge || y > sh->pt_h - kEdge) return POINTER_SYSTEM;
  const UiLayout* l = &sh->ui_layout;
  const auto in = [&](float rx, float ry, float rw, float rh) {
    return x >= rx && y >= ry && x < rx + rw && y < ry + rh;
  };
  // Controls: the top bar's buttons, an open panel, the library list, the strip and the stick.
  for (int32_t i = 0; i < UI_TOP_BUTTONS; i++)
    if (y < kTopBar && in(l->top_x[i], 0, l->top_w[i], kTopBar)) return POINTER_CONTROL;
  if (y < kTopBar) return POINTER_SYSTEM;
  if (ui->panel != PANEL_NONE && in(l->panel_x, l->panel_y, l->panel_w, l->panel_h))
    return ui->panel == PANEL_RIG ? POINTER_SYSTEM : POINTER_CONTROL;
  if (ui->tab == UI_TAB_LIBRARY && in(l->list_x, l->list_y, l->list_w, l->list_h))
    return POINTER_CONTROL;
  if (ui->tab == UI_TAB_CANVAS && y >= sh->pt_h - kStatusBar) return POINTER_CONTROL;
  const DrawRect& r = sh->canvas_rect;
  if (x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h) return POINTER_CANVAS;
  return POINTER_IDLE;
}

}  // namespace

void shell_canvas_start(Shell* sh) {
  sh->canvas = canvas_new(sh->painter);
  if (!sh->canvas) log_line("main: no canvas - the drawing stays blank this run");
  sh->app.tick = canvas_tick_hook;
  pointer_glyph_init(&sh->glyph);
  sh->motion_up = motion_watch_start() == 0;
  sh->reduced_motion = motion_reduced(clock_monotonic());
}

void shell_canvas_stop(Shell* sh) {
  sh->app.tick = nullptr;
  canvas_free(sh->canvas);
  sh->canvas = nullptr;
  motion_watch_stop();
  sh->motion_up = false;
}

void shell_canvas_event(Shell* sh, const SDL_Event& e) {
  switch (e.type) {
    case SDL_MOUSEMOTION: {
      // Window coordinates to points: X11 gives pixels, Wayland's scaled outputs give points.
      int ww = 0, wh = 0;
      SDL_GetWindowSize(sh->window, &ww, &wh);
      const float to_pt = ww > 0 ? (float)sh->px_w / (float)ww / sh->scale : 1.0f / sh->scale;
      sh->mouse_x = (float)e.motion.x * to_pt;
      sh->mouse_y = (float)e.motion.y * to_pt;
      sh->mouse_in = true;
      break;
    }
    case SDL_MOUSEBUTTONDOWN:
      sh->mouse_held = true;
      break;
    case SDL_MOUSEBUTTONUP:
      sh->mouse_held = SDL_GetMouseState(nullptr, nullptr) != 0;
      break;
    case SDL_WINDOWEVENT:
      if (e.window.event == SDL_WINDOWEVENT_LEAVE) sh->mouse_in = false;
      if (e.window.event == SDL_WINDOWEVENT_ENTER) sh->mouse_in = true;
      break;
    default:
      break;
  }
}

void shell_canvas_draw(Shell* sh) {
  const double now = clock_monotonic();
  sh->canvas_rect = DrawRect{0, kTopBar, sh->pt_w, std::fmax(sh->pt_h - kTopBar - kStatusBar, 1.0f)};
  sh->reduced_motion = motion_reduced(now);
  // A newly opened sketch starts clean, with its leaves rising left to right.
  const Session* s = sh->app.session;
  const char* id = s ? session_snapshot(s)->id : "";
  if (strcmp(id, sh->sketch_id) != 0) {
    text_copy(sh->sketch_id, sizeof sh->sketch_id, id);
    if (sh->canvas) canvas_clear(sh->canvas, now);
  }
  CanvasInput in;
  fill_input(sh, &in, now);
  if (!sh->canvas) return;
  // The sky leans away from the pointer, and settles when it leaves.
  const DrawRect& r = sh->canvas_rect;
  float lx = 0, ly = 0;
  if (sh->mouse_in) {
    lx = std::fmax(-1.0f, std::fmin(1.0f, (sh->mouse_x - (r.x + r.w * 0.5f)) / (r.w * 0.5f)));
    ly = std::fmax(-1.0f, std::fmin(1.0f, (sh->mouse_y - (r.y + r.h * 0.5f)) / (r.h * 0.5f)));
  }
  sky_set_lean_target(&sh->canvas->sky, lx, ly);
  canvas_render(sh->canvas, &in, r);
  canvas_draw(sh->canvas, &in, r);
}

void shell_glyph_draw(Shell* sh) {
  const double now = clock_monotonic();
  const double dt = sh->last_glyph > 0 ? now - sh->last_glyph : 1.0 / 60.0;
  sh->last_glyph = now;
  const Session* s = sh->app.session;
  const DrawColour take = shell_accent(s ? session_snapshot(s)->meta : nullptr);
  pointer_glyph_update(&sh->glyph, dt, hover_kind(sh), take.r, take.g, take.b, sh->mouse_x,
                       sh->mouse_y, now, sh->reduced_motion);
  pointer_glyph_draw(sh->renderer, &sh->glyph, sh->mouse_x, sh->mouse_y, sh->scale, now);
}
