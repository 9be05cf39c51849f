// firewalld is asked over the system bus; ufw keeps its rules in files, read directly (it has no
// service to ask). The elevated command is an ordinary child process, followed with waitpid.
#include "platform/firewall_sys.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/shell.h"

namespace {

constexpr const char* kFirewalld = "org.fedoraproject.FirewallD1";
constexpr const char* kFirewalldPath = "/org/fedoraproject/FirewallD1";
constexpr const char* kZoneIface = "org.fedoraproject.FirewallD1.zone";
// firewalld answers in milliseconds; a hung one must not hold the caller's frame for long.
constexpr uint64_t kCallTimeoutUsec = 800'000;

std::string g_root;  // touched by tests only, before any check

void say(char* problem, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void say(char* problem, size_t size, const char* fmt, ...) {
  if (!problem || size == 0) return;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(problem, size, fmt, ap);
  va_end(ap);
}

// Which ports of first..last (at most 64) a set of rules reaches: bit i is port first + i.
struct Cover {
  int first = 0, last = -1;
  uint64_t bits = 0;
  void add(long a, long b) {
    for (long p = a < first ? first : a; p <= b && p <= last; p++)
      bits |= uint64_t{1} << (p - first);
  }
  void add_all() { add(first, last); }
  bool whole() const {
    const int n = last - first + 1;
    return n > 0 && bits == (n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1);
  }
};

// One port "n" or a range "a<sep>b" (the whole text); false when it is neither.
bool parse_range(const char* s, size_t len, char sep, long* a, long* b) {
  std::string t(s, len);
  char* end = nullptr;
  errno = 0;
  *a = strtol(t.c_str(), &end, 10);
  if (end == t.c_str() || errno) return false;
  *b = *a;
  if (*end == sep) {
    const char* from = end + 1;
    *b = strtol(from, &end, 10);
    if (end == from || errno) return false;
  }
  return *end == 0 && *a >= 0 && *a <= *b;
}

// --- firewalld -------------------------------------------------------------------------------

struct Zone {
  Cover open, blocked;
};

int call(sd_bus* bus, const char* iface, const char* member, sd_bus_message** reply,
         sd_bus_error* error, const char* types, ...) {
  sd_bus_message* m = nullptr;
  int r = sd_bus_message_new_method_call(bus, &m, kFirewalld, kFirewalldPath, iface, member);
  if (r >= 0 && types) {
    va_list ap;
    va_start(ap, types);
    r = sd_bus_message_appendv(m, types, ap);
    va_end(ap);
  }
  if (r >= 0) r = sd_bus_call(bus, m, kCallTimeoutUsec, error, reply);
  sd_bus_message_unref(m);
  return r;
}

// The reason a call failed, for the one line the caller logs.
const char* why(int r, const sd_bus_error* e) {
  if (e && sd_bus_error_is_set(e)) return e->message ? e->message : e->name;
  return strerror(r < 0 ? -r : r);
}

// A rich rule's words, quotes removed: `rule family="ipv4" port port="1-2" protocol="tcp" drop`.
std::vector<std::string> words(const char* s) {
  std::vector<std::string> out;
  std::string w;
  bool quoted = false, any = false;
  for (; *s; s++) {
    if (*s == '"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && (*s == ' ' || *s == '\t')) {
      if (any) out.push_back(w);
      w.clear();
      any = false;
    } else {
      w += *s;
      any = true;
    }
  }
  if (any) out.push_back(w);
  return out;
}

// Adds what one rich rule does to the range. Only rules with a TCP port element count; a rule
// limited to some sources can open the range to them but does not block everyone.
void rich_rule(const char* text, Zone* z) {
  const std::vector<std::string> w = words(text);
  std::string element, port, protocol, action;
  bool source = false;
  for (const std::string& x : w) {
    const size_t eq = x.find('=');
    if (eq == std::string::npos) {
      if (x == "accept" || x == "reject" || x == "drop") action = x;
      if (x == "source") source = true;
      if (x != "not") element = x;
    } else if (element == "port") {
      if (x.compare(0, eq, "port") == 0) port = x.substr(eq + 1);
      if (x.compare(0, eq, "protocol") == 0) protocol = x.substr(eq + 1);
    }
  }
  long a, b;
  if (protocol != "tcp" || !parse_range(port.data(), port.size(), '-', &a, &b)) return;
  if (action == "accept") z->open.add(a, b);
  if ((action == "reject" || action == "drop") && !source) z->blocked.add(a, b);
}

// Reads one zone's ports, rich rules and target. <0 when firewalld didn't answer.
int read_zone(sd_bus* bus, const char* zone, int first, int last, Zone* z, char* problem,
              size_t size) {
  sd_bus_error e = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  char range[32];
  snprintf(range, sizeof range, "%d-%d", first, last);
  int r = call(bus, kZoneIface, "queryPort", &reply, &e, "sss", zone, range, "tcp");
  int yes = 0;
  if (r >= 0) r = sd_bus_message_read(reply, "b", &yes);
  reply = sd_bus_message_unref(reply);
  if (r >= 0 && yes) z->open.add_all();

  // Open ports and ranges together may cover what no single entry does.
  if (r >= 0) r = call(bus, kZoneIface, "getPorts", &reply, &e, "s", zone);
  if (r >= 0) r = sd_bus_message_enter_container(reply, 'a', "as");
  while (r >= 0 && (r = sd_bus_message_enter_container(reply, 'a', "s")) > 0) {
    // [port, protocol]
    std::string entry[2];
    const char* s = nullptr;
    for (int i = 0; (r = sd_bus_message_read(reply, "s", &s)) > 0; i++)
      if (i < 2) entry[i] = s;
    long a, b;
    if (r >= 0 && entry[1] == "tcp" && parse_range(entry[0].data(), entry[0].size(), '-', &a, &b))
      z->open.add(a, b);
    if (r >= 0) r = sd_bus_message_exit_container(reply);
  }
  reply = sd_bus_message_unref(reply);

  if (r >= 0) r = call(bus, kZoneIface, "getRichRules", &reply, &e, "s", zone);
  if (r >= 0) r = sd_bus_message_enter_container(reply, 'a', "s");
  const char* rule = nullptr;
  while (r >= 0 && (r = sd_bus_message_read(reply, "s", &rule)) > 0) rich_rule(rule, z);
  reply = sd_bus_message_unref(reply);
  if (r < 0) {
    say(problem, size, "firewalld did not answer for zone %s (%s)", zone, why(r, &e));
    sd_bus_error_free(&e);
    return r;
  }

  // A zone whose target accepts everything (firewalld's "trusted") is open; older firewalld has
  // no getZoneSettings2, and then only the ports tell.
  if (call(bus, kZoneIface, "getZoneSettings2", &reply, nullptr, "s", zone) >= 0 &&
      sd_bus_message_enter_container(reply, 'a', "{sv}") >= 0) {
    while (sd_bus_message_enter_container(reply, 'e', "sv") > 0) {
      const char* key = nullptr;
      const char* target = nullptr;
      if (sd_bus_message_read(reply, "s", &key) < 0) break;
      if (strcmp(key, "target") == 0 && sd_bus_message_read(reply, "v", "s", &target) >= 0) {
        if (strcmp(target, "ACCEPT") == 0) z->open.add_all();
      } else if (sd_bus_message_skip(reply, "v") < 0) {
        break;
      }
      if (sd_bus_message_exit_container(reply) < 0) break;
    }
  }
  sd_bus_message_unref(reply);
  sd_bus_error_free(&e);
  return 0;
}

// -1 when firewalld isn't on the system bus (or there is no bus), else a verdict.
int check_firewalld(int first, int last, char* problem, size_t size) {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return -1;
  sd_bus_set_method_call_timeout(bus, kCallTimeoutUsec);
  sd_bus_error e = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int running = 0;
  int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "NameHasOwner", &e, &reply, "s", kFirewalld);
  if (r >= 0) r = sd_bus_message_read(reply, "b", &running);
  reply = sd_bus_message_unref(reply);
  sd_bus_error_free(&e);
  if (r < 0 || !running) {
    sd_bus_flush_close_unref(bus);
    return -1;
  }

  std::vector<std::string> zones;
  r = call(bus, kZoneIface, "getActiveZones", &reply, &e, nullptr);
  if (r >= 0) r = sd_bus_message_enter_container(reply, 'a', "{sa{sas}}");
  while (r >= 0 && (r = sd_bus_message_enter_container(reply, 'e', "sa{sas}")) > 0) {
    const char* zone = nullptr;
    r = sd_bus_message_read(reply, "s", &zone);
    if (r >= 0) zones.push_back(zone);
    if (r >= 0) r = sd_bus_message_skip(reply, "a{sas}");
    if (r >= 0) r = sd_bus_message_exit_container(reply);
  }
  reply = sd_bus_message_unref(reply);
  if (r >= 0 && zones.empty()) {
    const char* zone = nullptr;
    r = call(bus, kFirewalld, "getDefaultZone", &reply, &e, nullptr);
    if (r >= 0) r = sd_bus_message_read(reply, "s", &zone);
    if (r >= 0) zones.push_back(zone);
    reply = sd_bus_message_unref(reply);
  }
  if (r < 0) say(problem, size, "firewalld did not name its zones (%s)", why(r, &e));
  sd_bus_error_free(&e);

  bool open = r >= 0, blocked = false;
  for (size_t i = 0; r >= 0 && i < zones.size(); i++) {
    Zone z;
    z.open.first = z.blocked.first = first;
    z.open.last = z.blocked.last = last;
    r = read_zone(bus, zones[i].c_str(), first, last, &z, problem, size);
    open = open && r >= 0 && z.open.whole();
    blocked = blocked || (r >= 0 && z.blocked.whole());
  }
  sd_bus_flush_close_unref(bus);
  if (blocked) return FWSYS_BLOCKED;
  return r >= 0 && open ? FWSYS_OPEN : FWSYS_CLOSED;
}

// --- ufw ---------------------------------------------------------------------------------------

std::string under_root(const char* path) {
  return g_root + path;
}

// The value of NAME=value in a shell-style settings file, quotes removed; false when the file
// can't be read (*readable false) or has no such line.
bool setting(const char* path, const char* name, std::string* value, bool* readable) {
  FILE* f = fopen(under_root(path).c_str(), "r");
  *readable = f != nullptr;
  if (!f) return false;
  char line[512];
  const size_t n = strlen(name);
  bool found = false;
  while (fgets(line, sizeof line, f)) {
    const char* s = line + strspn(line, " \t");
    if (strncmp(s, name, n) != 0 || s[n] != '=') continue;
    std::string v(s + n + 1);
    v.erase(v.find_last_not_of(" \t\r\n") + 1);
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
      v = v.substr(1, v.size() - 2);
    *value = v;
    found = true;
  }
  fclose(f);
  return found;
}

bool any_source(const std::string& src) {
  return src == "0.0.0.0/0" || src == "::/0";
}

// Reads the "### tuple ###" lines ufw writes above each rule:
//   action protocol dport dst sport src [dapp sapp] direction [comment=hex]
// 0, or -errno when the file can't be read.
int ufw_rules(const char* path, Cover* allow, Cover* deny) {
  FILE* f = fopen(under_root(path).c_str(), "r");
  if (!f) return -errno;
  char line[1024];
  while (fgets(line, sizeof line, f)) {
    static const char kTuple[] = "### tuple ### ";
    if (strncmp(line, kTuple, sizeof kTuple - 1) != 0) continue;
    std::vector<std::string> t;
    for (char* w = strtok(line + sizeof kTuple - 1, " \t\r\n"); w; w = strtok(nullptr, " \t\r\n"))
      t.push_back(w);
    if (t.size() < 7) continue;
    const std::string& dir = t.size() >= 9 && t[6].compare(0, 2, "in") != 0 ? t[8] : t[6];
    if (dir != "in" && dir.compare(0, 3, "in_") != 0) continue;  // outbound or routed
    std::string action = t[0].substr(0, t[0].find('_'));         // "allow_log" logs as well
    if (t[1] != "tcp" && t[1] != "any") continue;
    Cover* c = action == "allow" || action == "limit"                         ? allow
               : (action == "deny" || action == "reject") && any_source(t[5]) ? deny
                                                                              : nullptr;
    if (!c) continue;
    if (t[2] == "any") {
      c->add_all();
      continue;
    }
    // "80,443,47480:47499": ufw's multiport form.
    for (size_t at = 0; at <= t[2].size();) {
      size_t end = t[2].find(',', at);
      if (end == std::string::npos) end = t[2].size();
      long a, b;
      if (parse_range(t[2].data() + at, end - at, ':', &a, &b)) c->add(a, b);
      at = end + 1;
    }
  }
  fclose(f);
  return 0;
}

int check_ufw(int first, int last, int* kind, char* problem, size_t size) {
  std::string enabled;
  bool readable = false;
  const bool set = setting("/etc/ufw/ufw.conf", "ENABLED", &enabled, &readable);
  if (!readable) return FWSYS_OFF;  // ufw isn't installed
  *kind = FWSYS_UFW;
  if (!set || enabled != "yes") return FWSYS_OFF;

  Cover allow, deny;
  allow.first = deny.first = first;
  allow.last = deny.last = last;
  std::string policy;
  if (setting("/etc/default/ufw", "DEFAULT_INPUT_POLICY", &policy, &readable) && policy == "ACCEPT")
    allow.add_all();
  int r = ufw_rules("/etc/ufw/user.rules", &allow, &deny);
  if (r < 0) {
    say(problem, size, "cannot read %s/etc/ufw/user.rules (%s)", g_root.c_str(), strerror(-r));
  } else if ((r = ufw_rules("/etc/ufw/user6.rules", &allow, &deny)) == -ENOENT) {
    r = 0;  // IPv6 switched off in ufw
  } else if (r < 0) {
    say(problem, size, "cannot read %s/etc/ufw/user6.rules (%s)", g_root.c_str(), strerror(-r));
  }
  if (deny.whole()) return FWSYS_BLOCKED;
  return r == 0 && allow.whole() ? FWSYS_OPEN : FWSYS_CLOSED;
}

}  // namespace

int fwsys_check(int first, int last, int* kind, char* problem, size_t size) {
  if (problem && size) problem[0] = 0;
  *kind = FWSYS_NONE;
  if (last < first || last - first >= 64) {
    say(problem, size, "port range %d-%d not supported", first, last);
    return FWSYS_CLOSED;
  }
  const int v = check_firewalld(first, last, problem, size);
  if (v > 0) {
    *kind = FWSYS_FIREWALLD;
    return v;
  }
  return check_ufw(first, last, kind, problem, size);
}

void fwsys_set_root(const char* root) {
  g_root = root ? root : "";
  while (!g_root.empty() && g_root.back() == '/') g_root.pop_back();
}

int fwsys_spawn(const char* const* argv) {
  return shell_spawn(argv, SHELL_INHERIT);
}

int fwsys_wait(int pid, int* status) {
  int st = 0;
  pid_t r;
  while ((r = waitpid(pid, &st, WNOHANG)) < 0 && errno == EINTR) {
  }
  if (r < 0) return -1;
  if (r == 0) return 0;
  *status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
  return 1;
}
