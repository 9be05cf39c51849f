// The desktop portal's file chooser (org.freedesktop.portal.FileChooser) over the session bus:
// the dialog of sandboxed and Wayland desktops, used where zenity isn't installed.
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/portal.h"

namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kChooser = "org.freedesktop.portal.FileChooser";
constexpr uint64_t kCallTimeoutUsec = 5'000'000;

std::atomic<uint32_t> g_token{0};

struct Answer {
  bool done = false;
  uint32_t response = 2;
  std::vector<std::string> uris;
};

int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int on_response(sd_bus_message* m, void* user, sd_bus_error*) {
  Answer* a = (Answer*)user;
  a->done = true;
  if (sd_bus_message_read(m, "u", &a->response) < 0) return 0;
  if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return 0;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    if (sd_bus_message_read(m, "s", &key) < 0) break;
    if (key && strcmp(key, "uris") == 0 && sd_bus_message_enter_container(m, 'v', "as") >= 0) {
      if (sd_bus_message_enter_container(m, 'a', "s") >= 0) {
        const char* uri = nullptr;
        while (sd_bus_message_read(m, "s", &uri) > 0) a->uris.push_back(uri);
        sd_bus_message_exit_container(m);
      }
      sd_bus_message_exit_container(m);
    } else {
      sd_bus_message_skip(m, "v");
    }
    sd_bus_message_exit_container(m);
  }
  return 0;
}

// The options: a token for the request's path, one or many, files or a folder, the audio filter.
int append_options(sd_bus_message* m, const char* token, const PortalPick* pick) {
  int r = sd_bus_message_open_container(m, 'a', "{sv}");
  if (r >= 0) r = sd_bus_message_append(m, "{sv}", "handle_token", "s", token);
  if (r >= 0) r = sd_bus_message_append(m, "{sv}", "multiple", "b", (int)pick->multiple);
  if (r >= 0) r = sd_bus_message_append(m, "{sv}", "directory", "b", (int)pick->folder);
  if (r >= 0 && pick->filter_name && pick->patterns && pick->pattern_count > 0) {
    r = sd_bus_message_open_container(m, 'e', "sv");
    if (r >= 0) r = sd_bus_message_append(m, "s", "filters");
    if (r >= 0) r = sd_bus_message_open_container(m, 'v', "a(sa(us))");
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "(sa(us))");
    if (r >= 0) r = sd_bus_message_open_container(m, 'r', "sa(us)");
    if (r >= 0) r = sd_bus_message_append(m, "s", pick->filter_name);
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "(us)");
    for (int i = 0; r >= 0 && i < pick->pattern_count; i++)
      r = sd_bus_message_append(m, "(us)", 0u, pick->patterns[i]);
    for (int i = 0; r >= 0 && i < 5; i++) r = sd_bus_message_close_container(m);
  }
  if (r >= 0) r = sd_bus_message_close_container(m);
  return r;
}

}  // namespace

bool portal_uri_to_path(const char* uri, std::string* path) {
  if (!uri || strncmp(uri, "file://", 7) != 0) return false;
  const char* p = uri + 7;
  if (strncmp(p, "localhost/", 10) == 0) p += 9;
  if (*p != '/') return false;
  std::string out;
  for (; *p; p++) {
    if (*p == '%') {
      const int hi = hex(p[1]), lo = hi >= 0 ? hex(p[2]) : -1;
      if (hi < 0 || lo < 0) return false;
      const char c = (char)(hi * 16 + lo);
      if (c == 0) return false;
      out += c;
      p += 2;
    } else {
      out += *p;
    }
  }
  *path = out;
  return true;
}

int portal_pick(const PortalPick* pick, std::vector<std::string>* paths, char* error,
                size_t size) {
  paths->clear();
  sd_bus* bus = nullptr;
  int r = sd_bus_open_user(&bus);
  if (r < 0) {
    snprintf(error, size, "no session bus (%s)", strerror(-r));
    return -1;
  }
  const char* unique = nullptr;
  r = sd_bus_get_unique_name(bus, &unique);
  if (r < 0 || !unique) {
    snprintf(error, size, "no name on the session bus (%s)", strerror(-r));
    sd_bus_flush_close_unref(bus);
    return -1;
  }
  // The request's object path is known before the call, so the answer can't be missed.
  char token[48];
  snprintf(token, sizeof token, "kelp%d_%u", (int)getpid(), g_token.fetch_add(1) + 1);
  std::string sender = unique + 1;
  for (char& c : sender)
    if (c == '.') c = '_';
  const std::string handle = std::string(kPortalPath) + "/request/" + sender + "/" + token;
  Answer answer;
  sd_bus_slot* slot = nullptr;
  r = sd_bus_match_signal(bus, &slot, kPortal, handle.c_str(), "org.freedesktop.portal.Request",
                          "Response", on_response, &answer);
  sd_bus_message* m = nullptr;
  if (r >= 0) r = sd_bus_message_new_method_call(bus, &m, kPortal, kPortalPath, kChooser, "OpenFile");
  if (r >= 0) r = sd_bus_message_append(m, "ss", "", pick->title ? pick->title : "");
  if (r >= 0) r = append_options(m, token, pick);
  sd_bus_error berr = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  if (r >= 0) r = sd_bus_call(bus, m, kCallTimeoutUsec, &berr, &reply);
  if (r < 0) {
    snprintf(error, size, "%s", berr.message ? berr.message : strerror(-r));
    sd_bus_error_free(&berr);
    sd_bus_message_unref(m);
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
    return -1;
  }
  sd_bus_message_unref(reply);
  sd_bus_message_unref(m);
  // The user may take as long as they like; a bus that goes away ends the wait.
  while (!answer.done) {
    r = sd_bus_process(bus, nullptr);
    if (r < 0) break;
    if (r > 0) continue;
    if (sd_bus_wait(bus, 1'000'000) < 0) break;
  }
  sd_bus_slot_unref(slot);
  sd_bus_flush_close_unref(bus);
  if (!answer.done) {
    snprintf(error, size, "the portal went away");
    return -1;
  }
  if (answer.response != 0) return 0;  // cancelled
  for (const std::string& uri : answer.uris) {
    std::string path;
    if (portal_uri_to_path(uri.c_str(), &path)) paths->push_back(path);
  }
  return paths->empty() ? 0 : 1;
}
