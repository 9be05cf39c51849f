// The program with its window: start (the engine room through app/app, then SDL, the window,
// the draw layer, text and the session), the frame loop and its pacing, the session end and
// power events of the desktop, and the shutdown that lets a take land.
#include "app/shell.h"

#include <SDL.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/rig_panel.h"
#include "app/session.h"
#include "app/session_lifecycle.h"
#include "app/shell_internal.h"
#include "audio/audio_engine.h"
#include "base/clock.h"
#include "base/log.h"
#include "base/text.h"
#include "platform/desktop.h"
#include "platform/fsys.h"
#include "platform/platform.h"
#include "store/library.h"
#include "ui/canvas.h"
#include "ui/draw.h"
#include "ui/text.h"

namespace {

constexpr const char* kWindowTitle = "Kelp NOVA";

Shell* g_shell = nullptr;

// Leaks are checked once everything of ours is gone but before SDL lets go of the desktop's
// libraries: what D-Bus and the input method keep at SDL_Quit is theirs, not ours. True when the
// check found some (the report is on standard error).
bool leaked_before_sdl_quit() {
#if defined(__SANITIZE_ADDRESS__)
  return __lsan_do_recoverable_leak_check() != 0;
#else
  return false;
#endif
}

// --- Start ------------------------------------------------------------------------------------

void show_fatal(void* user, const char* message) {
  Shell* sh = (Shell*)user;
  // Without a display the box can't show; the log line has said it already.
  SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, kWindowTitle, message, sh ? sh->window : nullptr);
}

// The toast was logged by whoever raised it; the notices keep and time it.
void remember_toast(void* user, const char* text) {
  Shell* sh = (Shell*)user;
  toast_accept(&sh->ui.notices, text, clock_monotonic());
}

void remember_banner(void* user, int32_t slot, bool shown, const char* text) {
  banner_set(&((Shell*)user)->ui.notices, slot, shown, text);
}

void remember_export(void* user, bool ok, const char* text) {
  share_export_result(&((Shell*)user)->ui.share, ok, text, clock_monotonic());
}

void draw_while_waiting(void* user) {
  Shell* sh = (Shell*)user;
  if (sh->window && !sh->minimized) shell_present(sh);
}

void screenshot_paths(Shell* sh) {
  const char* dir = getenv("KELP_SCREENSHOT_DIR");
  if (!dir || !*dir) dir = "/tmp";
  snprintf(sh->screenshot_request, sizeof sh->screenshot_request, "%s/kelp_screenshot_request",
           dir);
  snprintf(sh->screenshot_file, sizeof sh->screenshot_file, "%s/kelp_screenshot.bmp", dir);
}

// The desktop's own scale: Xft.dpi on X11, the output scale on Wayland, else the display's DPI
// as SDL or the X screen reports it.
float desktop_scale(SDL_Window* window) {
  float dpi = desktop_xft_dpi();
  if (dpi >= 48.0f) return shell_scale_for_dpi(dpi);
  if (window) {
    int w = 0, h = 0, pw = 0, ph = 0;
    SDL_GetWindowSize(window, &w, &h);
    SDL_GetRendererOutputSize(SDL_GetRenderer(window), &pw, &ph);
    if (w > 0 && pw > w) return (float)pw / (float)w;  // a scaled Wayland output
  }
  float ddpi = 0;
  if (SDL_GetDisplayDPI(window ? SDL_GetWindowDisplayIndex(window) : 0, &ddpi, nullptr,
                        nullptr) == 0)
    return shell_scale_for_dpi(ddpi);
  return shell_scale_for_dpi(desktop_screen_dpi());
}

int open_window(Shell* sh) {
  App* a = &sh->app;
  ShellRect displays[SHELL_MAX_DISPLAYS];
  int count = SDL_GetNumVideoDisplays();
  if (count > SHELL_MAX_DISPLAYS) count = SHELL_MAX_DISPLAYS;
  for (int i = 0; i < count; i++) {
    SDL_Rect r{0, 0, 0, 0};
    SDL_GetDisplayBounds(i, &r);
    displays[i] = ShellRect{r.x, r.y, r.w, r.h};
  }
  ShellRect primary = count > 0 ? displays[0] : ShellRect{0, 0, 0, 0};
  const float scale = desktop_scale(nullptr);
  ShellPlacement place = shell_placement(a->settings.win_x, a->settings.win_y, a->settings.win_w,
                                         a->settings.win_h, displays, count < 0 ? 0 : count,
                                         scale, primary);
  int x = place.centred ? (int)SDL_WINDOWPOS_CENTERED : place.rect.x;
  int y = place.centred ? (int)SDL_WINDOWPOS_CENTERED : place.rect.y;
  sh->window = SDL_CreateWindow(kWindowTitle, x, y, place.rect.w, place.rect.h,
                                SDL_WINDOW_HIDDEN | SDL_WINDOW_RESIZABLE |
                                    SDL_WINDOW_ALLOW_HIGHDPI);
  if (!sh->window) {
    log_line("main: SDL_CreateWindow failed: %s", SDL_GetError());
    return -1;
  }
  shell_set_icon(sh->window);
  sh->scale = scale;
  SDL_SetWindowMinimumSize(sh->window, (int)std::lround(SHELL_MIN_W * scale),
                           (int)std::lround(SHELL_MIN_H * scale));
  sh->renderer = SDL_CreateRenderer(sh->window, -1,
                                    SDL_RENDERER_ACCELERATED | SDL_RENDERER_PRESENTVSYNC);
  if (!sh->renderer) {
    log_line("main: no accelerated renderer (%s) - trying any", SDL_GetError());
    sh->renderer = SDL_CreateRenderer(sh->window, -1, 0);
  }
  if (!sh->renderer) {
    log_line("main: SDL_CreateRenderer failed: %s", SDL_GetError());
    return -1;
  }
  SDL_RendererInfo info;
  if (SDL_GetRendererInfo(sh->renderer, &info) == 0)
    log_line("main: drawing with the %s renderer on %s at %.0f%%", info.name,
             SDL_GetCurrentVideoDriver(), scale * 100.0);
  return 0;
}

int start(Shell* sh) {
  App* a = &sh->app;
  a->user = sh;
  // The window's state exists before the engine room starts, so its first notices are kept.
  ui_init(&sh->ui, a);
  a->toast = remember_toast;
  a->banner = remember_banner;
  a->export_result = remember_export;
  a->fatal = show_fatal;
  sh->started_at = clock_monotonic();
  a->window = true;
  if (app_start(a, "") != 0) return 1;

  desktop_watch_start();
  sh->desktop_up = true;

  // A desktop or nothing: SDL would otherwise fall back to drawing offscreen, unseen.
  SDL_SetHint(SDL_HINT_VIDEODRIVER, "x11,wayland");
#ifdef KELP_SANITIZED
  // The sanitizer builds draw in software: the GL driver's own threads and leaks are not ours.
  SDL_SetHint(SDL_HINT_RENDER_DRIVER, "software");
#else
  SDL_SetHint(SDL_HINT_RENDER_DRIVER, "opengl");
#endif
  SDL_SetHint(SDL_HINT_RENDER_BATCHING, "1");
  SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
  SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");
  if (SDL_Init(SDL_INIT_TIMER | SDL_INIT_VIDEO) != 0) {
    log_line("main: SDL_Init failed: %s", SDL_GetError());
    return app_cannot_start(a, "SDL_Init failed", "Kelp NOVA couldn't start its graphics.");
  }
  sh->sdl_up = true;
  if (open_window(sh) != 0)
    return app_cannot_start(a, "no window", "Kelp NOVA couldn't open its window.");
  shell_layout(sh);
  sh->painter = draw_new(sh->renderer, sh->scale);
  if (!sh->painter)
    return app_cannot_start(a, "no draw layer", "Kelp NOVA couldn't start its drawing layer.");
  if (text_init(sh->renderer) != 0)
    return app_cannot_start(a, "no text", "Kelp NOVA couldn't start its text renderer.");
  sh->text_up = true;
  text_set_pixel_scale(sh->scale);
  if (a->rig_ctl) {
    sh->ui.rig_panel =
        rig_panel_new(sh->painter, a->rig_ctl, a->settings.rig_scroll, a->settings.rig_sel);
    if (!sh->ui.rig_panel)
      log_line("main: the rig panel couldn't be made - the rig still mixes, unseen");
  }
  sh->ui.rig_panel_this_run = sh->ui.rig_panel != nullptr;
  if (app_start_session(a) != 0) return 1;
  shell_canvas_start(sh);
  shell_ui_start(sh);
  if (a->settings.rig_open && sh->ui.rig_panel_this_run) {
    log_line("main: the rig was open at quit - it opens again");
    panel_open(&sh->ui, PANEL_RIG);
  }
  a->draw = draw_while_waiting;
  SDL_AddEventWatch(
      [](void* u, SDL_Event* e) -> int {
        Shell* s = (Shell*)u;
        if (e->type != SDL_WINDOWEVENT) return 0;
        const Uint8 w = e->window.event;
        if (w != SDL_WINDOWEVENT_EXPOSED && w != SDL_WINDOWEVENT_MOVED &&
            w != SDL_WINDOWEVENT_SIZE_CHANGED)
          return 0;
        // Live redraw while the window is moved or resized (the loop may be held up meanwhile).
        if (!s->shown_once || s->in_frame || s->app.quitting ||
            clock_monotonic() - s->app.last_frame <= SHELL_LIVE_REDRAW_GAP)
          return 0;
        shell_frame_step(s, false);
        return 0;
      },
      sh);
  sh->watch_installed = true;
  screenshot_paths(sh);
  return 0;
}

// --- Frame ------------------------------------------------------------------------------------

void save_placement(Shell* sh) {
  Settings* st = &sh->app.settings;
  if (!sh->window) return;
  const Uint32 flags = SDL_GetWindowFlags(sh->window);
  const bool full = (flags & SDL_WINDOW_FULLSCREEN) != 0;
  const bool maxed = (flags & SDL_WINDOW_MAXIMIZED) != 0;
  const bool mini = (flags & SDL_WINDOW_MINIMIZED) != 0;
  if (!full && !maxed && !mini) {
    SDL_GetWindowPosition(sh->window, &st->win_x, &st->win_y);
    SDL_GetWindowSize(sh->window, &st->win_w, &st->win_h);
  }
  if (!full) st->win_max = maxed ? 1 : 0;
  st->fullscreen = full ? 1 : 0;
}

void flush(Shell* sh) {
  save_placement(sh);
  app_flush(&sh->app);
}

// The window's close button and the desktop's quit go through the quit action like Ctrl+Q
// would; with the list full, the program quits at once.
void request_quit(Shell* sh) {
  if (sh->quit_requested) return;  // a second request is ignored
  if (!actions_push(&sh->ui.pending, ACT_QUIT, 0, nullptr)) sh->quit_requested = true;
}

void on_event(Shell* sh, const SDL_Event& e) {
  shell_canvas_event(sh, e);
  if (e.type == SDL_WINDOWEVENT) shell_ui_event(sh, e);
  switch (e.type) {
    case SDL_QUIT:
      request_quit(sh);
      break;
    case SDL_WINDOWEVENT:
      switch (e.window.event) {
        case SDL_WINDOWEVENT_CLOSE:
          request_quit(sh);
          break;
        case SDL_WINDOWEVENT_SIZE_CHANGED:
        case SDL_WINDOWEVENT_DISPLAY_CHANGED:
          shell_layout(sh);
          break;
        case SDL_WINDOWEVENT_MINIMIZED:
          sh->minimized = true;
          flush(sh);
          break;
        case SDL_WINDOWEVENT_MAXIMIZED:
          sh->maximized = true;
          sh->minimized = false;
          break;
        case SDL_WINDOWEVENT_RESTORED:
          sh->minimized = false;
          sh->maximized = false;
          break;
        case SDL_WINDOWEVENT_FOCUS_GAINED:
          sh->focused = true;
          break;
        case SDL_WINDOWEVENT_FOCUS_LOST:
          sh->focused = false;
          flush(sh);
          break;
        default:
          break;
      }
      break;
    case SDL_DROPFILE: {
      app_import_dropped(&sh->app, e.drop.file);
      SDL_free(e.drop.file);
      break;
    }
    case SDL_RENDER_TARGETS_RESET:
    case SDL_RENDER_DEVICE_RESET:
      log_line("main: the graphics device was reset - rebuilding textures");
      draw_free(sh->painter);
      sh->painter = draw_new(sh->renderer, sh->scale);
      text_init(sh->renderer);
      if (sh->canvas) canvas_set_painter(sh->canvas, sh->painter);
      if (sh->ui.rig_panel) rig_panel_device_reset(sh->ui.rig_panel, sh->painter);
      break;
    default:
      shell_ui_event(sh, e);
      break;
  }
}

void desktop_step(Shell* sh) {
  for (;;) {
    DesktopEvent ev = desktop_next_event();
    if (ev == DESKTOP_NONE) break;
    if (ev == DESKTOP_SESSION_END) {
      if (!sh->app.quitting) {
        log_line("main: the desktop session is ending - closing the sketch");
        sh->app.session_ending = true;
        sh->quit_requested = true;
      }
    } else if (ev == DESKTOP_SUSPEND) {
      log_line("main: suspending - flushing");
      flush(sh);
    } else if (ev == DESKTOP_RESUME) {
      if (sh->app.engine) audio_engine_notify_resume(sh->app.engine);
    }
  }
  // While something must land, the session end and suspend wait for it.
  desktop_inhibit(app_busy(&sh->app));
}

void screenshot_look(Shell* sh, double now) {
  if (now < sh->next_screenshot_look) return;
  sh->next_screenshot_look = now + SHELL_SCREENSHOT_POLL;
  FsysInfo info;
  if (fsys_info(sh->screenshot_request, &info) != 0) return;
  fsys_unlink(sh->screenshot_request);
  sh->screenshot_pending = true;
}

void title_step(Shell* sh) {
  const SessionSnapshot* snap = sh->app.session ? session_snapshot(sh->app.session) : nullptr;
  char title[sizeof sh->title];
  if (snap && snap->title[0])
    snprintf(title, sizeof title, "%s - %s", kWindowTitle, snap->title);
  else
    snprintf(title, sizeof title, "%s", kWindowTitle);
  if (strcmp(title, sh->title) == 0) return;
  memcpy(sh->title, title, sizeof title);
  SDL_SetWindowTitle(sh->window, title);
}

}  // namespace

void shell_frame_step(Shell* sh, bool pump) {
  if (sh->in_frame) return;
  sh->in_frame = true;
  if (pump) {
    SDL_Event e;
    while (SDL_PollEvent(&e)) on_event(sh, e);
  }
  const double now = clock_monotonic();
  desktop_step(sh);
  shell_ui_frame(sh, now);
  app_frame(&sh->app, now);
  screenshot_look(sh, now);
  bool draw = !sh->minimized;
  if (draw && !sh->screenshot_pending && !sh->focused && (sh->frame_count & 1)) draw = false;
  if (draw && sh->throttled && now < sh->next_draw) draw = false;
  sh->frame_count++;
  sh->presented = draw && shell_present(sh);
  if (sh->presented && !sh->shown_once) {
    // Shown only now, so the first thing seen is a drawn frame.
    if (sh->app.settings.win_max) SDL_MaximizeWindow(sh->window);
    SDL_ShowWindow(sh->window);
    if (sh->app.settings.fullscreen &&
        SDL_SetWindowFullscreen(sh->window, SDL_WINDOW_FULLSCREEN_DESKTOP) != 0)
      log_line("main: couldn't go back to full screen (%s)", SDL_GetError());
    sh->shown_once = true;
    sh->focused = true;
    log_line("main: first frame after %.0f ms", (clock_monotonic() - sh->started_at) * 1000.0);
  }
  title_step(sh);
  sh->in_frame = false;
}

namespace {

void run_loop(Shell* sh) {
  while (!sh->quit_requested) {
    const double t = clock_monotonic();
    shell_frame_step(sh, true);
    if (sh->quit_requested) break;
    if (sh->minimized) {
      platform_sleep_ms(50);
    } else if (sh->presented) {
      if (clock_monotonic() - t < 0.003) platform_sleep_ms(4);
    } else {
      platform_sleep_ms(sh->throttled ? 50 : 16);
    }
  }
}

void teardown(Shell* sh) {
  App* a = &sh->app;
  if (sh->ui.rig_panel) rig_panel_free(sh->ui.rig_panel);
  sh->ui.rig_panel = nullptr;
  sh->ui.rig_panel_this_run = false;
  app_teardown(a);
  shell_ui_stop(sh);
  shell_controls_stop(sh);
  shell_canvas_stop(sh);
  if (sh->text_up) text_free();
  sh->text_up = false;
  draw_free(sh->painter);
  sh->painter = nullptr;
  if (sh->watch_installed) SDL_DelEventWatch(nullptr, sh);
  if (sh->renderer) SDL_DestroyRenderer(sh->renderer);
  sh->renderer = nullptr;
  if (sh->window) SDL_DestroyWindow(sh->window);
  sh->window = nullptr;
  if (leaked_before_sdl_quit()) sh->leaked = true;
  if (sh->sdl_up) SDL_Quit();
  sh->sdl_up = false;
  if (sh->desktop_up) desktop_watch_stop();
  sh->desktop_up = false;
}

}  // namespace

int shell_run() {
  static Shell shell;
  Shell* sh = g_shell = &shell;
  if (start(sh) != 0) {
    teardown(sh);
    return 1;
  }
  run_loop(sh);
  save_placement(sh);
  // Open at quit: it opens again next time.
  sh->app.settings.rig_open = sh->ui.panel == PANEL_RIG ? 1 : 0;
  if (sh->app.session_ending) {
    // No drawing: the desktop is going away.
    sh->app.draw = nullptr;
    app_shutdown(&sh->app, &APP_WAITS_SESSION_END);
  } else {
    app_shutdown(&sh->app, &APP_WAITS_QUIT);
  }
  desktop_inhibit(false);
  teardown(sh);
  log_line("main: bye");
  log_close();
  return sh->leaked ? 23 : 0;  // 23: what the sanitizer's own exit check would say
}
