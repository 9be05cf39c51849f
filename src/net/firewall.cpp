// The firewall step of the broadcast station: checks on going on air, asks once, follows the
// elevated command, and re-checks every few seconds while listeners are still shut out.
#include "net/firewall.h"

#include <errno.h>
#include <unistd.h>

#include <cstring>

#include "base/log.h"
#include "platform/firewall_sys.h"

namespace {

constexpr double kRecheckSeconds = 4;

// The prompt names the rule through ufw's comment; firewalld ports carry no name.
const char* const kUfwArgv[] = {"pkexec",          "ufw",  "allow", "47480:47499/tcp", "comment",
                                "SeaGlass stream", nullptr};
const char* const kFirewalldArgv[] = {"pkexec", "sh", "-c",
                                      "firewall-cmd --add-port=47480-47499/tcp && firewall-cmd "
                                      "--permanent --add-port=47480-47499/tcp",
                                      nullptr};

// The platform's verdicts and kinds carry the same numbers as ours.
static_assert(int{FWSYS_OPEN} == FIREWALL_ALLOWED && int{FWSYS_OFF} == FIREWALL_NO_FIREWALL &&
              int{FWSYS_CLOSED} == FIREWALL_NOT_ALLOWED && int{FWSYS_BLOCKED} == FIREWALL_BLOCKED);
static_assert(int{FWSYS_NONE} == FIREWALL_KIND_NONE && int{FWSYS_UFW} == FIREWALL_KIND_UFW &&
              int{FWSYS_FIREWALLD} == FIREWALL_KIND_FIREWALLD);

struct Firewall {
  FirewallSystem sys = firewall_real_system();
  bool wanted = false;
  bool asked = false;
  int last = 0;  // FirewallState, 0 before any check
  double last_time = 0;
  int kind = FIREWALL_KIND_NONE;
  int req = FIREWALL_REQ_NONE;
  int pid = -1;
  bool granted = false;  // the allow command succeeded this on-air period
  char said[160] = "";  // the check failure already logged this on-air period
};
Firewall g;

bool reachable(int state) {
  return state == FIREWALL_ALLOWED || state == FIREWALL_NO_FIREWALL;
}

void recheck(double now) {
  g.last = firewall_check();
  g.last_time = now;
  // ufw keeps its rules readable by root only: once our allow command succeeded, an unreadable
  // rule set is taken to hold it rather than asking again.
  if (g.granted && g.kind == FIREWALL_KIND_UFW && g.last == FIREWALL_NOT_ALLOWED && g.said[0])
    g.last = FIREWALL_ALLOWED;
}

// How the elevated command ended: 126 is pkexec's "the user dismissed the prompt".
void ended(int r, int status) {
  g.pid = -1;
  if (r < 0) {
    log_line("firewall: lost track of pkexec (%s)", strerror(errno));
    g.req = FIREWALL_REQ_DONE;
  } else if (status == 0) {
    g.req = FIREWALL_REQ_DONE;
    g.granted = true;
  } else if (status == 126) {
    log_line("firewall: the permission prompt was dismissed");
    g.req = FIREWALL_REQ_CANCELLED;
  } else {
    log_line("firewall: pkexec failed (exit %d)", status);
    g.req = FIREWALL_REQ_FAILED;
  }
}

}  // namespace

FirewallSystem firewall_real_system() {
  return {fwsys_check, fwsys_spawn, fwsys_wait};
}

void firewall_set_system(const FirewallSystem* sys) {
  g = Firewall{};
  if (sys) g.sys = *sys;
}

int firewall_check() {
  char problem[sizeof g.said] = "";
  int kind = FIREWALL_KIND_NONE;
  int state = g.sys.check(FIREWALL_PORT_FIRST, FIREWALL_PORT_LAST, &kind, problem, sizeof problem);
  if (state < FIREWALL_ALLOWED || state > FIREWALL_BLOCKED) state = FIREWALL_NOT_ALLOWED;
  g.kind = kind;
  // A firewall that can't be read says so once, not at every re-check.
  if (problem[0] && strcmp(problem, g.said) != 0) log_line("firewall: %s", problem);
  if (problem[0]) memcpy(g.said, problem, sizeof g.said);
  return state;
}

void firewall_request(double now) {
  g.wanted = true;
  recheck(now);
  if (reachable(g.last) || g.asked || g.req == FIREWALL_REQ_ASKING) return;
  g.asked = true;
  // pkexec looks the program up on the user's PATH, which on Debian lacks /usr/sbin.
  const char* ufw_argv[sizeof kUfwArgv / sizeof kUfwArgv[0]];
  memcpy(ufw_argv, kUfwArgv, sizeof ufw_argv);
  if (access("/usr/sbin/ufw", X_OK) == 0) ufw_argv[1] = "/usr/sbin/ufw";
  const char* const* argv = g.kind == FIREWALL_KIND_FIREWALLD ? kFirewalldArgv
                            : g.kind == FIREWALL_KIND_UFW     ? ufw_argv
                                                              : nullptr;
  if (!argv) {
    log_line("firewall: no firewall tool to ask");
    g.req = FIREWALL_REQ_FAILED;
    return;
  }
  log_line("firewall: asking to allow TCP %d-%d through %s", FIREWALL_PORT_FIRST,
           FIREWALL_PORT_LAST, g.kind == FIREWALL_KIND_FIREWALLD ? "firewalld" : "ufw");
  g.pid = g.sys.start(argv);
  if (g.pid < 0) {
    log_line("firewall: could not start pkexec (%s)", strerror(errno));
    g.req = FIREWALL_REQ_FAILED;
    return;
  }
  g.req = FIREWALL_REQ_ASKING;
}

void firewall_poll(double now) {
  if (g.req == FIREWALL_REQ_ASKING) {
    int status = -1;
    const int r = g.sys.poll(g.pid, &status);
    if (r == 0) return;
    ended(r, status);
    if (g.wanted) recheck(now);
  } else if (g.wanted && !reachable(g.last) && now - g.last_time >= kRecheckSeconds) {
    recheck(now);
  }
}

const char* firewall_label(bool* attention) {
  const bool asking = g.req == FIREWALL_REQ_ASKING;
  const bool shut = g.last != 0 && !reachable(g.last);
  if (attention) *attention = g.wanted && (asking || shut);
  if (!g.wanted) return "";
  // The labels name the system that asks and whose firewall blocks.
#ifdef _WIN32
  if (asking) return "ASKING WINDOWS...";
  return shut ? "BLOCKED BY WINDOWS FIREWALL - ALLOW" : "";
#else
  if (asking) return "ASKING LINUX...";
  return shut ? "BLOCKED BY LINUX FIREWALL - ALLOW" : "";
#endif
}

void firewall_clear() {
  g.wanted = false;
  g.asked = false;
  g.granted = false;
  g.said[0] = 0;
}

bool firewall_wanted() {
  return g.wanted;
}
int firewall_request_state() {
  return g.req;
}
int firewall_last_check() {
  return g.last;
}
