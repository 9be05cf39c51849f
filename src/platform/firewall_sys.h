// The host firewall as an ordinary desktop user can see it: firewalld over the system bus, else
// ufw's own files, else nothing that would stop a listener. Also starts the elevated command that
// opens the ports and follows it without blocking.
#pragma once
#include <cstddef>

// Which firewall is in charge.
enum { FWSYS_NONE = 0, FWSYS_FIREWALLD = 1, FWSYS_UFW = 2 };
// What it does to inbound TCP on a port range.
enum { FWSYS_OPEN = 1, FWSYS_OFF = 2, FWSYS_CLOSED = 3, FWSYS_BLOCKED = 4 };

// Looks at the firewall in use for inbound TCP on first..last: a verdict, with *kind set. CLOSED
// also stands for "could not tell"; then problem says why (it is "" otherwise). Talks to firewalld
// with a short timeout, so it may take up to about a second when firewalld hangs.
//  - firewalld (org.fedoraproject.FirewallD1 owned on the system bus): OPEN when the range is
//    open in every active zone (the default zone when none is active), by its ports, an accepting
//    rich rule or an ACCEPT target; BLOCKED when a rich rule for every source rejects or drops it.
//  - ufw (ufw.conf ENABLED=yes): OPEN when allow rules in user.rules/user6.rules, or an ACCEPT
//    input policy, cover the range; BLOCKED when deny/reject rules for every source cover it
//    (these win); CLOSED when the rules can't be read. ENABLED=no is OFF.
//  - neither: kind NONE, OFF.
int fwsys_check(int first, int last, int* kind, char* problem, size_t size);

// ufw's files are read under root (root + "/etc/ufw/..."); "" or null is the real "/".
void fwsys_set_root(const char* root);

// Starts argv (argv[0] looked up on PATH) with this process's environment, standard input from
// /dev/null and default signal handling: its pid, or -1 with errno set.
int fwsys_spawn(const char* const* argv);
// Never blocks: 1 when pid has ended (*status: its exit status, 128 + signal when killed), 0
// while it runs, -1 with errno when it is not a child of this process (any more).
int fwsys_wait(int pid, int* status);
