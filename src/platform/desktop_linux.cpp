#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <fcntl.h>
#include <signal.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/desktop.h"
#include "platform/platform.h"

namespace {

constexpr const char* kLogin1 = "org.freedesktop.login1";
constexpr const char* kLogin1Path = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
// A hung logind must not freeze the window for the library's default 25 s.
constexpr uint64_t kCallTimeoutUsec = 2'000'000;

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int kSignalCount = (int)(sizeof kSignals / sizeof kSignals[0]);

static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");
std::atomic<bool> g_session_end{false};

struct Watch {
  bool started = false;
  struct sigaction old_actions[kSignalCount];
  sd_bus* bus = nullptr;
  sd_bus_slot* sleep_match = nullptr;
  int inhibit_fd = -1;
  bool inhibit_failure_reported = false;
  // Bus events waiting for desktop_next_event; a suspend and its resume fit many times over.
  DesktopEvent queue[16];
  int head = 0;
  int count = 0;
};
Watch g_watch;

void on_signal(int) {
  g_session_end.store(true, std::memory_order_relaxed);
}

void push_event(DesktopEvent e) {
  Watch& w = g_watch;
  if (w.count == (int)(sizeof w.queue / sizeof w.queue[0])) return;
  w.queue[(w.head + w.count) % (int)(sizeof w.queue / sizeof w.queue[0])] = e;
  w.count++;
}

DesktopEvent pop_event() {
  Watch& w = g_watch;
  if (w.count == 0) return DESKTOP_NONE;
  DesktopEvent e = w.queue[w.head];
  w.head = (w.head + 1) % (int)(sizeof w.queue / sizeof w.queue[0]);
  w.count--;
  return e;
}

int on_prepare_for_sleep(sd_bus_message* m, void*, sd_bus_error*) {
  int going_down = 0;
  if (sd_bus_message_read(m, "b", &going_down) < 0) return 0;
  push_event(going_down ? DESKTOP_SUSPEND : DESKTOP_RESUME);
  return 0;
}

const char* bus_error_text(const sd_bus_error* error, int r) {
  if (error && error->message && *error->message) return error->message;
  return strerror(-r);
}

void drop_bus() {
  Watch& w = g_watch;
  w.sleep_match = sd_bus_slot_unref(w.sleep_match);
  w.bus = sd_bus_flush_close_unref(w.bus);
}

void connect_bus() {
  Watch& w = g_watch;
  int r = sd_bus_open_system(&w.bus);
  if (r < 0) {
    w.bus = nullptr;
    platform_report("main: no system bus - session end and suspend go unwatched (%s)",
                    strerror(-r));
    return;
  }
  sd_bus_set_method_call_timeout(w.bus, kCallTimeoutUsec);
  // Ping first: a bus without logind answers every later call with an error, so say it once here.
  sd_bus_error error = SD_BUS_ERROR_NULL;
  r = sd_bus_call_method(w.bus, kLogin1, kLogin1Path, "org.freedesktop.DBus.Peer", "Ping", &error,
                         nullptr, "");
  if (r < 0) {
    platform_report("main: no logind on the system bus - session end and suspend go unwatched (%s)",
                    bus_error_text(&error, r));
    sd_bus_error_free(&error);
    drop_bus();
    return;
  }
  r = sd_bus_match_signal(w.bus, &w.sleep_match, kLogin1, kLogin1Path, kManager, "PrepareForSleep",
                          on_prepare_for_sleep, nullptr);
  if (r < 0) {
    platform_report("main: couldn't watch for suspend - it goes unwatched (%s)", strerror(-r));
    drop_bus();
  }
}

// Dispatches what the bus has without waiting, until an event is queued.
void pump_bus() {
  Watch& w = g_watch;
  for (int i = 0; i < 64 && w.bus && w.count == 0; i++) {
    int r = sd_bus_process(w.bus, nullptr);
    if (r < 0) {
      // A held lock lives in its fd, not the connection, so it stays until released.
      platform_report("main: lost the system bus - suspend goes unwatched (%s)", strerror(-r));
      drop_bus();
      return;
    }
    if (r == 0) return;
  }
}

// Locale-free: the shell may have set one that writes "96,5".
float parse_dpi(const char* s) {
  double v = 0;
  bool digits = false;
  for (; *s >= '0' && *s <= '9'; s++, digits = true) v = v * 10 + (*s - '0');
  if (*s == '.') {
    double f = 0.1;
    for (s++; *s >= '0' && *s <= '9'; s++, f *= 0.1, digits = true) v += (*s - '0') * f;
  }
  while (*s == ' ' || *s == '\t') s++;
  if (!digits || *s != '\0') return 0;
  return v >= 24 && v <= 1000 ? (float)v : 0;
}

}  // namespace

int desktop_watch_start() {
  Watch& w = g_watch;
  if (w.started) return -1;
  g_session_end.store(false);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int i = 0; i < kSignalCount; i++) {
    sigaction(kSignals[i], nullptr, &w.old_actions[i]);
    // Started under nohup, a hangup stays ignored.
    if (w.old_actions[i].sa_handler != SIG_IGN) sigaction(kSignals[i], &sa, nullptr);
  }
  w.started = true;
  w.head = w.count = 0;
  w.inhibit_failure_reported = false;
  connect_bus();
  return 0;
}

void desktop_watch_stop() {
  Watch& w = g_watch;
  if (!w.started) return;
  desktop_inhibit(false);
  drop_bus();
  for (int i = 0; i < kSignalCount; i++) sigaction(kSignals[i], &w.old_actions[i], nullptr);
  w.head = w.count = 0;
  w.started = false;
  g_session_end.store(false);
}

DesktopEvent desktop_next_event() {
  if (g_session_end.exchange(false, std::memory_order_relaxed)) return DESKTOP_SESSION_END;
  pump_bus();
  return pop_event();
}

void desktop_inhibit(bool on) {
  Watch& w = g_watch;
  if (on == (w.inhibit_fd >= 0)) return;
  if (!on) {
    close(w.inhibit_fd);
    w.inhibit_fd = -1;
    return;
  }
  if (!w.bus) return;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(w.bus, kLogin1, kLogin1Path, kManager, "Inhibit", &error, &reply,
                             "ssss", "shutdown:sleep", "Kelp NOVA", "Saving your sketch…", "delay");
  int fd = -1;
  if (r >= 0) {
    r = sd_bus_message_read(reply, "h", &fd);
    // The reply owns its fd; keep a copy of our own, not inherited by programs we start.
    if (r >= 0) {
      fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
      if (fd < 0) r = -errno;
    }
  }
  if (r < 0) {
    // Asked for again with every piece of work; one line until it works.
    if (!w.inhibit_failure_reported)
      platform_report("main: couldn't hold off shutdown and suspend (%s)",
                      bus_error_text(&error, r));
    w.inhibit_failure_reported = true;
  } else {
    w.inhibit_fd = fd;
    w.inhibit_failure_reported = false;
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
}

bool desktop_inhibited() {
  return g_watch.inhibit_fd >= 0;
}

namespace {

// The X display in $DISPLAY; null on Wayland (its scale comes from the windowing layer) and
// without one.
Display* open_x_display() {
  const char* wayland = getenv("WAYLAND_DISPLAY");
  if (wayland && *wayland) return nullptr;
  const char* name = getenv("DISPLAY");
  if (!name || !*name) return nullptr;
  return XOpenDisplay(name);
}

}  // namespace

float desktop_xft_dpi() {
  Display* dpy = open_x_display();
  if (!dpy) return 0;
  // The string was read when the display opened: no round trip that could lose the connection.
  float dpi = 0;
  const char* resources = XResourceManagerString(dpy);
  if (resources) {
    XrmInitialize();
    XrmDatabase db = XrmGetStringDatabase(resources);
    char* type = nullptr;
    XrmValue value;
    if (db && XrmGetResource(db, "Xft.dpi", "Xft.Dpi", &type, &value) && value.addr)
      dpi = parse_dpi((const char*)value.addr);
    if (db) XrmDestroyDatabase(db);
  }
  XCloseDisplay(dpy);
  return dpi;
}

float desktop_screen_dpi() {
  Display* dpy = open_x_display();
  if (!dpy) return 0;
  const int screen = DefaultScreen(dpy);
  const int px = DisplayWidth(dpy, screen), mm = DisplayWidthMM(dpy, screen);
  XCloseDisplay(dpy);
  if (px <= 0 || mm <= 0) return 0;
  // Millimetres are whole numbers, so the quotient is a little off: DPIs are whole too.
  const float dpi = std::round((float)px * 25.4f / (float)mm);
  return dpi >= 24.0f && dpi <= 1000.0f ? dpi : 0;
}
