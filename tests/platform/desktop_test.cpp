// Session end, suspend and the desktop's DPI: real signals, a private D-Bus daemon with a small
// logind of our own on it (no machine here runs one for us), and a private Xvfb.
#include "platform/desktop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/log_search.h"

// Last: Xlib defines None, Bool and friends as macros.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

extern char** environ;

namespace {

// A program whose standard output we read; ended with SIGTERM.
struct Child {
  pid_t pid = -1;
  int out = -1;
  Child(std::vector<const char*> argv) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    argv.push_back(nullptr);
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, (char* const*)argv.data(), environ) != 0)
      pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(p[1]);
    out = p[0];
  }
  std::string line() {
    std::string s;
    char c;
    struct pollfd p = {out, POLLIN, 0};
    while (poll(&p, 1, 5000) > 0 && read(out, &c, 1) == 1 && c != '\n') s += c;
    return s;
  }
  ~Child() {
    if (pid > 0 && kill(pid, SIGTERM) == 0) waitpid(pid, nullptr, 0);
    if (out >= 0) close(out);
  }
};

bool hung_up(int fd, int ms) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0 && (p.revents & POLLHUP);
}

DesktopEvent wait_event() {
  for (int i = 0; i < 400; i++, platform_sleep_ms(5))
    if (DesktopEvent e = desktop_next_event()) return e;
  return DESKTOP_NONE;
}

// Exactly one line since mark, and it says this.
bool one_line(int64_t mark, const char* text) {
  return logged(mark, text) && !logged(mark + 1, "");
}

// logind's Manager as far as the program uses it, on its own thread.
struct FakeLogind {
  sd_bus* bus = nullptr;
  std::atomic<bool> stop{false};
  std::mutex lock;
  std::vector<std::array<std::string, 4>> calls;
  std::vector<int> emits;
  int lock_end = -1;  // read end of the last lock handed out: hangs up when released
  std::atomic<bool> refuse{false};
  std::thread thread;

  static int inhibit(sd_bus_message* m, void* self_, sd_bus_error* error) {
    FakeLogind* self = (FakeLogind*)self_;
    const char* a[4];
    sd_bus_message_read(m, "ssss", &a[0], &a[1], &a[2], &a[3]);
    std::lock_guard<std::mutex> g(self->lock);
    self->calls.push_back({a[0], a[1], a[2], a[3]});
    if (self->refuse)
      return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "Permission denied");
    int p[2];
    pipe2(p, O_CLOEXEC);
    int r = sd_bus_reply_method_return(m, "h", p[1]);
    close(p[1]);
    if (self->lock_end >= 0) close(self->lock_end);
    self->lock_end = p[0];
    return r;
  }
  static constexpr sd_bus_vtable kVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Inhibit", "ssss", "h", inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_SIGNAL("PrepareForSleep", "b", 0),
      SD_BUS_VTABLE_END,
  };

  explicit FakeLogind(const std::string& address) {
    if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address.c_str()) < 0 ||
        sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/login1",
                                 "org.freedesktop.login1.Manager", kVtable, this) < 0 ||
        sd_bus_request_name(bus, "org.freedesktop.login1", 0) < 0)
      return;
    thread = std::thread([this] {
      while (!stop) {
        std::vector<int> now;
        {
          std::lock_guard<std::mutex> g(lock);
          now.swap(emits);
        }
        for (int b : now)
          sd_bus_emit_signal(bus, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                             "PrepareForSleep", "b", b);
        while (sd_bus_process(bus, nullptr) > 0) {
        }
        sd_bus_wait(bus, 5000);
      }
    });
  }
  int lock_fd() {
    std::lock_guard<std::mutex> g(lock);
    return lock_end;
  }
  void emit(bool going_down) {
    std::lock_guard<std::mutex> g(lock);
    emits.push_back(going_down);
  }
  ~FakeLogind() {
    stop = true;
    if (thread.joinable()) thread.join();
    sd_bus_flush_close_unref(bus);
    if (lock_end >= 0) close(lock_end);
  }
};

// A private bus standing in for the system bus.
class DesktopBus : public ::testing::Test {
 protected:
  std::unique_ptr<Child> daemon;
  std::string address;
  void SetUp() override {
    daemon = std::make_unique<Child>(
        std::vector<const char*>{"dbus-daemon", "--session", "--print-address", "--nofork"});
    if (daemon->pid < 0) GTEST_SKIP() << "no dbus-daemon";
    address = daemon->line();
    ASSERT_FALSE(address.empty());
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  }
  void TearDown() override {
    desktop_watch_stop();
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }
};

std::atomic<int> g_old_handler_calls{0};

}  // namespace

TEST(DesktopSignals, EachEndsTheSessionEvenWithoutABusAndTheOldHandlersComeBack) {
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/kelp-bus", 1);
  const int signals[] = {SIGTERM, SIGINT, SIGHUP};
  struct sigaction old[3], counting = {};
  counting.sa_handler = [](int) { g_old_handler_calls++; };
  for (int i = 0; i < 3; i++) sigaction(signals[i], &counting, &old[i]);

  int64_t mark = log_console_count();
  ASSERT_EQ(desktop_watch_start(), 0);
  EXPECT_EQ(desktop_watch_start(), -1);
  EXPECT_TRUE(one_line(mark, "main: no system bus - session end and suspend go unwatched"));
  desktop_inhibit(true);
  EXPECT_FALSE(desktop_inhibited());
  for (int sig : signals) {
    raise(sig);
    EXPECT_EQ(desktop_next_event(), DESKTOP_SESSION_END) << strsignal(sig);
    EXPECT_EQ(desktop_next_event(), DESKTOP_NONE) << strsignal(sig);
  }
  EXPECT_EQ(g_old_handler_calls, 0);
  desktop_watch_stop();
  for (int sig : signals) raise(sig);
  EXPECT_EQ(g_old_handler_calls, 3);
  EXPECT_EQ(desktop_next_event(), DESKTOP_NONE);

  signal(SIGHUP, SIG_IGN);  // as under nohup
  ASSERT_EQ(desktop_watch_start(), 0);
  raise(SIGHUP);
  EXPECT_EQ(desktop_next_event(), DESKTOP_NONE);
  desktop_watch_stop();
  for (int i = 0; i < 3; i++) sigaction(signals[i], &old[i], nullptr);
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

TEST_F(DesktopBus, WithoutLogindOneLineAndNoLock) {
  int64_t mark = log_console_count();
  ASSERT_EQ(desktop_watch_start(), 0);
  EXPECT_TRUE(
      one_line(mark, "main: no logind on the system bus - session end and suspend go unwatched"));
  desktop_inhibit(true);
  EXPECT_FALSE(desktop_inhibited());
  EXPECT_EQ(desktop_next_event(), DESKTOP_NONE);
}

TEST_F(DesktopBus, TheDelayLockIsAnFdHeldUntilReleased) {
  FakeLogind logind(address);
  ASSERT_TRUE(logind.thread.joinable());
  int64_t mark = log_console_count();
  ASSERT_EQ(desktop_watch_start(), 0);
  EXPECT_FALSE(logged(mark, ""));

  desktop_inhibit(true);
  desktop_inhibit(true);
  ASSERT_TRUE(desktop_inhibited());
  {
    std::lock_guard<std::mutex> g(logind.lock);
    ASSERT_EQ(logind.calls.size(), 1u);
    EXPECT_EQ(logind.calls[0], (std::array<std::string, 4>{"shutdown:sleep", "Kelp NOVA",
                                                           "Saving your sketch…", "delay"}));
  }
  EXPECT_FALSE(hung_up(logind.lock_fd(), 100));
  desktop_inhibit(false);
  EXPECT_FALSE(desktop_inhibited());
  EXPECT_TRUE(hung_up(logind.lock_fd(), 2000));

  // Stopping the watch lets go of a held lock too.
  desktop_inhibit(true);
  ASSERT_TRUE(desktop_inhibited());
  EXPECT_FALSE(hung_up(logind.lock_fd(), 100));
  desktop_watch_stop();
  EXPECT_TRUE(hung_up(logind.lock_fd(), 2000));

  // A refusal is said once however often the lock is asked for, and a later grant is held.
  logind.refuse = true;
  ASSERT_EQ(desktop_watch_start(), 0);
  mark = log_console_count();
  desktop_inhibit(true);
  desktop_inhibit(true);
  EXPECT_FALSE(desktop_inhibited());
  EXPECT_TRUE(one_line(mark, "main: couldn't hold off shutdown and suspend (Permission denied)"));
  logind.refuse = false;
  desktop_inhibit(true);
  EXPECT_TRUE(desktop_inhibited());
}

TEST_F(DesktopBus, PrepareForSleepIsSuspendThenResumeAfterAPendingSignal) {
  FakeLogind logind(address);
  ASSERT_TRUE(logind.thread.joinable());
  ASSERT_EQ(desktop_watch_start(), 0);
  logind.emit(true);
  EXPECT_EQ(wait_event(), DESKTOP_SUSPEND);
  logind.emit(false);
  EXPECT_EQ(wait_event(), DESKTOP_RESUME);

  logind.emit(true);
  logind.emit(false);
  platform_sleep_ms(200);
  raise(SIGHUP);
  EXPECT_EQ(desktop_next_event(), DESKTOP_SESSION_END);
  EXPECT_EQ(wait_event(), DESKTOP_SUSPEND);
  EXPECT_EQ(wait_event(), DESKTOP_RESUME);
  EXPECT_EQ(desktop_next_event(), DESKTOP_NONE);
}

TEST(DesktopXft, DpiComesFromTheResourceDatabaseOfTheDisplay) {
  // Xvfb picks a free display itself and names it once it listens.
  Child xvfb({"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "320x240x24"});
  if (xvfb.pid < 0) GTEST_SKIP() << "no Xvfb";
  std::string display = ":" + xvfb.line();
  ASSERT_GT(display.size(), 1u);
  Display* dpy = XOpenDisplay(display.c_str());
  ASSERT_NE(dpy, nullptr);
  std::string old_display = getenv("DISPLAY") ? getenv("DISPLAY") : "";
  setenv("DISPLAY", display.c_str(), 1);
  unsetenv("WAYLAND_DISPLAY");

  const struct {
    const char* resources;  // null: no resource database at all
    float dpi;
  } cases[] = {
      {nullptr, 0},
      {"Xft.antialias:\t1\n", 0},
      {"Xft.dpi:\tlarge\n", 0},
      {"Xft.antialias:\t1\nXft.dpi:  120.5\nXcursor.size:\t24\n", 120.5f},
      {"Xft.dpi:\t144\n", 144},
  };
  Window root = DefaultRootWindow(dpy);
  for (const auto& c : cases) {
    if (c.resources)
      XChangeProperty(dpy, root, XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                      (const unsigned char*)c.resources, (int)strlen(c.resources));
    else
      XDeleteProperty(dpy, root, XA_RESOURCE_MANAGER);
    XSync(dpy, False);
    EXPECT_FLOAT_EQ(desktop_xft_dpi(), c.dpi) << (c.resources ? c.resources : "(none)");
  }

  setenv("WAYLAND_DISPLAY", "wayland-0", 1);
  EXPECT_EQ(desktop_xft_dpi(), 0);
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("DISPLAY");
  EXPECT_EQ(desktop_xft_dpi(), 0);
  XCloseDisplay(dpy);
  if (!old_display.empty()) setenv("DISPLAY", old_display.c_str(), 1);
}
