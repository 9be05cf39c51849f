#include <systemd/sd-bus.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "platform/motion.h"
#include "platform/platform.h"

namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kSettings = "org.freedesktop.portal.Settings";
constexpr const char* kNamespace = "org.gnome.desktop.interface";
constexpr const char* kKey = "enable-animations";
constexpr const char* kChangedRule =
    "type='signal',sender='org.freedesktop.portal.Desktop',"
    "path='/org/freedesktop/portal/desktop',interface='org.freedesktop.portal.Settings',"
    "member='SettingChanged',arg0='org.gnome.desktop.interface',arg1='enable-animations'";
// The first call may start the portal; a hung one must not hold the window for sd-bus's 25 s.
constexpr uint64_t kCallTimeoutUsec = 2'000'000;
constexpr double kPollInterval = 1.0;

struct Motion {
  bool started = false;
  bool overridden = false;  // KELP_REDUCED_MOTION decides; no bus
  bool reduced = false;
  bool answered = false;  // the result of the last start, for a repeated start
  sd_bus* bus = nullptr;
  sd_bus_slot* changed = nullptr;
  double last_poll = 0;
  bool polled = false;
};
Motion g_motion;

const char* error_text(const sd_bus_error* error, int r) {
  if (error && error->message && *error->message) return error->message;
  return strerror(-r);
}

// The switch's boolean, however many variants the portal wrapped it in (Read adds one).
int read_switch(sd_bus_message* m, bool* on) {
  for (int depth = 0;; depth++) {
    char type = 0;
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(m, &type, &contents);
    if (r < 0) return r;
    if (r == 0) return -EBADMSG;
    if (type != SD_BUS_TYPE_VARIANT || depth == 4) break;
    r = sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, contents);
    if (r < 0) return r;
  }
  int value = 0;
  int r = sd_bus_message_read_basic(m, SD_BUS_TYPE_BOOLEAN, &value);
  if (r < 0) return r;
  if (r == 0) return -EBADMSG;
  *on = value != 0;
  return 0;
}

int on_setting_changed(sd_bus_message* m, void*, sd_bus_error*) {
  const char* ns = nullptr;
  const char* key = nullptr;
  if (sd_bus_message_read(m, "ss", &ns, &key) < 0) return 0;
  // The bus filters on both already; a daemon without arg matches would not.
  if (strcmp(ns, kNamespace) != 0 || strcmp(key, kKey) != 0) return 0;
  bool on = true;
  if (read_switch(m, &on) == 0) g_motion.reduced = !on;
  return 0;
}

void drop_bus() {
  Motion& w = g_motion;
  w.changed = sd_bus_slot_unref(w.changed);
  w.bus = sd_bus_flush_close_unref(w.bus);
}

// KELP_REDUCED_MOTION: 1 when set to anything but an off word, 0 when off, -1 when unset.
int env_override() {
  const char* v = getenv("KELP_REDUCED_MOTION");
  if (!v || !*v) return -1;
  static const char* const kOff[] = {"0", "false", "no", "off"};
  for (const char* off : kOff)
    if (strcasecmp(v, off) == 0) return 0;
  return 1;
}

// ReadOne where the portal has it (version 2 on), else the older Read.
int read_setting(sd_bus_error* error, sd_bus_message** reply) {
  Motion& w = g_motion;
  int r = sd_bus_call_method(w.bus, kPortal, kPortalPath, kSettings, "ReadOne", error, reply, "ss",
                             kNamespace, kKey);
  if (r >= 0 || !sd_bus_error_has_name(error, SD_BUS_ERROR_UNKNOWN_METHOD)) return r;
  sd_bus_error_free(error);
  return sd_bus_call_method(w.bus, kPortal, kPortalPath, kSettings, "Read", error, reply, "ss",
                            kNamespace, kKey);
}

int connect_portal() {
  Motion& w = g_motion;
  int r = sd_bus_open_user(&w.bus);
  if (r < 0) {
    w.bus = nullptr;
    platform_report("desktop: no session bus (%s) - animations stay on", strerror(-r));
    return -1;
  }
  sd_bus_set_method_call_timeout(w.bus, kCallTimeoutUsec);
  // Watch before reading, so a change between the two is not lost.
  r = sd_bus_add_match(w.bus, &w.changed, kChangedRule, on_setting_changed, nullptr);
  if (r < 0) {
    platform_report("desktop: couldn't watch the session bus (%s) - animations stay on",
                    strerror(-r));
    drop_bus();
    return -1;
  }
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  r = read_setting(&error, &reply);
  if (r < 0 && !sd_bus_error_has_name(&error, "org.freedesktop.portal.Error.NotFound")) {
    platform_report("desktop: no settings portal (%s) - animations stay on",
                    error_text(&error, r));
    sd_bus_error_free(&error);
    drop_bus();
    return -1;
  }
  bool on = true;
  if (r >= 0) r = read_switch(reply, &on);
  if (r < 0) {
    // A desktop without the switch (not GNOME) may still grow one; keep watching.
    platform_report("desktop: no animations switch in the settings portal (%s) - animations stay on",
                    error_text(&error, r));
  } else {
    w.reduced = !on;
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  return 0;
}

void pump_bus() {
  Motion& w = g_motion;
  for (int i = 0; i < 64 && w.bus; i++) {
    int r = sd_bus_process(w.bus, nullptr);
    if (r < 0) {
      platform_report("desktop: lost the session bus (%s) - the animations switch goes unwatched",
                      strerror(-r));
      drop_bus();
      return;
    }
    if (r == 0) return;
  }
}

}  // namespace

int motion_watch_start() {
  Motion& w = g_motion;
  if (w.started) return w.answered ? 0 : -1;
  w.started = true;
  w.reduced = false;
  w.polled = false;
  const int override = env_override();
  w.overridden = override >= 0;
  if (w.overridden) {
    w.reduced = override == 1;
    w.answered = true;
    return 0;
  }
  w.answered = connect_portal() == 0;
  return w.answered ? 0 : -1;
}

void motion_watch_stop() {
  Motion& w = g_motion;
  drop_bus();
  w = Motion{};
}

bool motion_reduced(double now) {
  Motion& w = g_motion;
  if (!w.started) return false;
  if (w.bus && std::isfinite(now)) {
    // A clock that went back (another source of `now`) polls at once rather than never.
    if (!w.polled || now - w.last_poll >= kPollInterval || now < w.last_poll) {
      w.polled = true;
      w.last_poll = now;
      pump_bus();
    }
  }
  return w.reduced;
}
