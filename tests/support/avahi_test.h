// A private mDNS responder for tests: a forked child in a network and mount namespace of its own
// (a veth pair, sg0 at 10.77.0.1, and a tmpfs over /run), a private D-Bus system bus named by
// DBUS_SYSTEM_BUS_ADDRESS, and avahi-daemon on it. The machine's interfaces and bus are never
// touched. Needs root, unshare, ip, dbus-daemon and avahi-daemon.
#pragma once
#include <functional>
#include <string>

// "" when the responder can be made here, else why not (for GTEST_SKIP).
std::string avahi_lab_unavailable();

// Runs fn in the child with the responder running and answers what fn answered ("" passes), or
// "lab: ..." when the responder could not be brought up. Bounded: a child that takes longer than
// timeout_s is killed, and its daemons with it.
std::string avahi_lab_run(const std::function<std::string()>& fn, double timeout_s = 30);

// The `avahi-browse -rpt type` lines inside the lab (run from fn).
std::string avahi_lab_browse(const char* type);
