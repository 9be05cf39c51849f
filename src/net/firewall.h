// Whether listeners on the LAN can reach the station through the firewall in use (firewalld or
// ufw), and, when they can't, one request per on-air period through the desktop's elevation
// prompt (pkexec) to open the station's ports. Every function runs on the UI thread.
#pragma once
#include <cstddef>

// clang-format off
enum FirewallState { FIREWALL_ALLOWED = 1, FIREWALL_NO_FIREWALL = 2, FIREWALL_NOT_ALLOWED = 3,
                     FIREWALL_BLOCKED = 4 };
enum FirewallRequestState { FIREWALL_REQ_NONE = 0, FIREWALL_REQ_ASKING = 1, FIREWALL_REQ_DONE = 2,
                            FIREWALL_REQ_CANCELLED = 3, FIREWALL_REQ_FAILED = 4 };
int firewall_check();                 // a FirewallState
void firewall_request(double now);    // marks wanted, checks, asks once per on-air period
void firewall_poll(double now);       // follows the elevated command, re-checks every 4 s
const char* firewall_label(bool* attention);  // "" when nothing to say
void firewall_clear();                // off air: clears wanted and asked
bool firewall_wanted();
// clang-format on

// The station's inbound port range (the ufw rule that opens it says "SeaGlass stream").
enum { FIREWALL_PORT_FIRST = 47480, FIREWALL_PORT_LAST = 47499 };
// Which firewall the last check found.
enum FirewallKind { FIREWALL_KIND_NONE = 0, FIREWALL_KIND_FIREWALLD = 1, FIREWALL_KIND_UFW = 2 };

int firewall_request_state();  // a FirewallRequestState
int firewall_last_check();     // the FirewallState stored by the last request or poll, 0 before

// What the firewall steps use of the system; tests put stand-ins here.
struct FirewallSystem {
  // A FirewallState for inbound TCP on first..last, *kind a FirewallKind; when the firewall could
  // not be read, NOT_ALLOWED with the reason in problem (else problem is "").
  int (*check)(int first, int last, int* kind, char* problem, size_t size);
  // Starts argv (argv[0] looked up on PATH): a process id, or -1 with errno set.
  int (*start)(const char* const* argv);
  // Never blocks: 1 when pid has ended (*status its exit status), 0 while it runs, -1 when it is
  // not a child any more.
  int (*poll)(int pid, int* status);
};
// Copies sys (null: the real one) and starts over: nothing wanted, asked or checked. A command
// still running is no longer followed.
void firewall_set_system(const FirewallSystem* sys);
// The real system's functions, for stand-ins that change only part of it.
FirewallSystem firewall_real_system();
