// The desktop's animations switch: a private session bus with a small settings portal of our own
// on it (a test machine runs no desktop portal), and the environment override.
#include "platform/motion.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "support/log_search.h"

namespace {

// Exactly one line since mark, and it says this.
bool one_line(int64_t mark, const char* text) {
  return logged(mark, text) && !logged(mark + 1, "");
}

enum Switch { SWITCH_MISSING = -1, SWITCH_OFF = 0, SWITCH_ON = 1 };

// The portal's Settings interface, serviced on its own thread, which signals every change of
// `animations`. An older portal has no ReadOne, and its Read wraps the value in one more variant.
struct FakePortal {
  sd_bus* bus = nullptr;
  std::atomic<int> animations;
  bool old;
  std::atomic<bool> stop{false};
  std::thread thread;

  static int reply(sd_bus_message* m, void* self_, sd_bus_error* error) {
    FakePortal* self = (FakePortal*)self_;
    const bool read_one = strcmp(sd_bus_message_get_member(m), "ReadOne") == 0;
    if (read_one && self->old) return sd_bus_error_set(error, SD_BUS_ERROR_UNKNOWN_METHOD, "no");
    const char *ns, *key;
    sd_bus_message_read(m, "ss", &ns, &key);
    const int a = self->animations;
    if (strcmp(ns, "org.gnome.desktop.interface") || strcmp(key, "enable-animations") || a < 0)
      return sd_bus_error_set(error, "org.freedesktop.portal.Error.NotFound", "not found");
    return read_one ? sd_bus_reply_method_return(m, "v", "b", a)
                    : sd_bus_reply_method_return(m, "v", "v", "b", a);
  }
  static constexpr sd_bus_vtable kVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("ReadOne", "ss", "v", reply, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("Read", "ss", "v", reply, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_SIGNAL("SettingChanged", "ssv", 0),
      SD_BUS_VTABLE_END,
  };

  FakePortal(const char* address, int animations_, bool old_ = false)
      : animations(animations_), old(old_) {
    if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address) < 0 ||
        sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/portal/desktop",
                                 "org.freedesktop.portal.Settings", kVtable, this) < 0 ||
        sd_bus_request_name(bus, "org.freedesktop.portal.Desktop", 0) < 0)
      return;
    thread = std::thread([this] {
      for (int sent = animations; !stop;) {
        if (animations != sent)
          sd_bus_emit_signal(bus, "/org/freedesktop/portal/desktop",
                             "org.freedesktop.portal.Settings", "SettingChanged", "ssv",
                             "org.gnome.desktop.interface", "enable-animations", "b",
                             sent = animations);
        while (sd_bus_process(bus, nullptr) > 0) {
        }
        sd_bus_wait(bus, 20'000);
      }
    });
  }
  ~FakePortal() {
    stop = true;
    if (thread.joinable()) thread.join();
    sd_bus_flush_close_unref(bus);
  }
};

// A private dbus-daemon standing in for the session bus.
class MotionBus : public ::testing::Test {
 protected:
  std::string address;
  FILE* daemon = nullptr;
  pid_t pid = -1;
  void SetUp() override {
    unsetenv("KELP_REDUCED_MOTION");
    daemon = popen("exec dbus-daemon --session --nofork --print-address=1 --print-pid=1 2>&-", "r");
    char a[512] = "", p[32] = "";
    if (daemon && fgets(a, sizeof a, daemon) && fgets(p, sizeof p, daemon)) pid = atoi(p);
    if (pid <= 0) GTEST_SKIP() << "no dbus-daemon";
    address.assign(a, strcspn(a, "\n"));
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  }
  void TearDown() override {
    motion_watch_stop();
    if (pid > 0) kill(pid, SIGTERM);
    if (daemon) pclose(daemon);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("KELP_REDUCED_MOTION");
  }
};

}  // namespace

TEST_F(MotionBus, TheSwitchIsReadAtStart) {
  const struct {
    int animations;
    bool old, reduced;
    const char* line;  // null: nothing logged
  } cases[] = {
      {SWITCH_ON, false, false, nullptr},
      {SWITCH_OFF, false, true, nullptr},
      {SWITCH_OFF, true, true, nullptr},
      {SWITCH_MISSING, false, false, "desktop: no animations switch in the settings portal"},
  };
  for (const auto& c : cases) {
    FakePortal portal(address.c_str(), c.animations, c.old);
    ASSERT_TRUE(portal.thread.joinable());
    const int64_t mark = log_console_count();
    EXPECT_EQ(motion_watch_start(), 0) << c.animations << c.old;
    EXPECT_EQ(motion_reduced(0), c.reduced) << c.animations << c.old;
    EXPECT_EQ(c.line ? one_line(mark, c.line) : !logged(mark, ""), true) << c.animations << c.old;
    motion_watch_stop();
    EXPECT_FALSE(motion_reduced(5)) << "stopped";
  }
}

TEST_F(MotionBus, AChangeArrivesWithinTheOnceASecondPoll) {
  FakePortal portal(address.c_str(), SWITCH_ON);
  ASSERT_TRUE(portal.thread.joinable());
  ASSERT_EQ(motion_watch_start(), 0);
  EXPECT_FALSE(motion_reduced(10.0));
  portal.animations = SWITCH_OFF;
  platform_sleep_ms(300);
  EXPECT_FALSE(motion_reduced(10.99)) << "the bus is read at most once a second";
  double now = 11;
  for (bool want : {true, false}) {
    bool seen = !want;
    for (int i = 0; i < 200 && seen != want; i++, now += 1, platform_sleep_ms(10))
      seen = motion_reduced(now);
    EXPECT_EQ(seen, want);
    portal.animations = want;
  }
}

TEST_F(MotionBus, WithoutAPortalOrABusOneLineAndAnimationsStayOn) {
  const struct {
    const char* address;  // null: the private bus, with no portal on it
    const char* line;
  } cases[] = {{nullptr, "desktop: no settings portal ("},
               {"unix:path=/nonexistent/kelp-bus", "desktop: no session bus ("}};
  for (const auto& c : cases) {
    if (c.address) setenv("DBUS_SESSION_BUS_ADDRESS", c.address, 1);
    const int64_t mark = log_console_count();
    EXPECT_EQ(motion_watch_start(), -1);
    EXPECT_EQ(motion_watch_start(), -1) << "said once";
    EXPECT_TRUE(one_line(mark, c.line));
    EXPECT_FALSE(motion_reduced(0));
    motion_watch_stop();
  }
}

TEST_F(MotionBus, TheEnvironmentOverridesTheDesktopWithNoBus) {
  for (bool reduced : {true, false}) {
    FakePortal portal(address.c_str(), reduced ? SWITCH_OFF : SWITCH_ON);
    ASSERT_TRUE(portal.thread.joinable());
    setenv("KELP_REDUCED_MOTION", reduced ? "1" : "0", 1);
    ASSERT_EQ(motion_watch_start(), 0);
    EXPECT_EQ(motion_reduced(0), reduced);
    portal.animations = reduced;  // the desktop now says the opposite
    platform_sleep_ms(100);
    EXPECT_EQ(motion_reduced(5), reduced) << "the desktop's change is not followed";
    motion_watch_stop();
    // Nothing is said without a bus either.
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kelp-bus", 1);
    const int64_t mark = log_console_count();
    ASSERT_EQ(motion_watch_start(), 0);
    EXPECT_EQ(motion_reduced(0), reduced);
    EXPECT_FALSE(logged(mark, ""));
    motion_watch_stop();
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  }
}
