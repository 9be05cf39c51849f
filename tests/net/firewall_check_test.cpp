// What the check makes of the firewall in use: ufw's own files in a stand-in /etc tree, and a small
// firewalld of our own on a private D-Bus daemon standing in for the system bus.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/firewall_sys.h"
#include "support/tmpdir.h"
#include "support/unprivileged.h"

namespace {

// ufw's line above each rule: action protocol dport dst sport src direction.
std::string tuple(const char* action, const char* proto, const char* port,
                  const char* src = "0.0.0.0/0", const char* dir = "in") {
  return std::string("### tuple ### ") + action + " " + proto + " " + port + " 0.0.0.0/0 any " +
         src + " " + dir + "\n-A ufw-user-input -j ACCEPT\n";
}

// etc/ufw and etc/default under root, filled as given; null leaves a file out.
void write_ufw(const std::string& root, const char* conf, const char* policy, std::string v4,
               const char* v6) {
  for (const char* d : {"/etc", "/etc/ufw", "/etc/default"}) mkdir((root + d).c_str(), 0755);
  const std::pair<const char*, const char*> files[] = {{"/etc/ufw/ufw.conf", conf},
                                                       {"/etc/default/ufw", policy},
                                                       {"/etc/ufw/user.rules", v4.c_str()},
                                                       {"/etc/ufw/user6.rules", v6}};
  for (const auto& [path, text] : files) {
    unlink((root + path).c_str());
    if (text) tmpdir_write(root + path, std::string("# ufw\n") + text);
  }
}

int check(int* kind, std::string* problem = nullptr) {
  char p[160] = "x";
  const int v = fwsys_check(47480, 47499, kind, p, sizeof p);
  if (problem) *problem = p;
  return v;
}

}  // namespace

TEST(FirewallCheck, UfwRuleFilesDecide) {
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/kelp-bus", 1);  // no firewalld
  const char* on = "ENABLED=yes\n";
  const std::string allow = tuple("allow", "tcp", "47480:47499");
  const std::string deny = tuple("deny", "tcp", "47000:48000");
  const struct {
    const char* what;
    const char *conf, *policy;
    std::string v4;
    const char* v6;
    int state, kind;
  } cases[] = {
      // clang-format off
      {"not installed", nullptr, nullptr, "", nullptr, FWSYS_OFF, FWSYS_NONE},
      {"disabled", "ENABLED=no\n", nullptr, allow, nullptr, FWSYS_OFF, FWSYS_UFW},
      {"no rules", on, nullptr, "", nullptr, FWSYS_CLOSED, FWSYS_UFW},
      {"the range", "ENABLED=\"yes\"\n", nullptr, allow, nullptr, FWSYS_OPEN, FWSYS_UFW},
      {"47481 only", on, nullptr, tuple("allow", "tcp", "47481"), nullptr, FWSYS_CLOSED, FWSYS_UFW},
      {"any port", on, nullptr, tuple("allow", "any", "any"), nullptr, FWSYS_OPEN, FWSYS_UFW},
      {"two halves, multiport", on, nullptr, tuple("allow", "tcp", "47480:47489") + tuple("limit_log", "tcp", "80,47490:47499"), nullptr, FWSYS_OPEN, FWSYS_UFW},
      {"udp", on, nullptr, tuple("allow", "udp", "47480:47499"), nullptr, FWSYS_CLOSED, FWSYS_UFW},
      {"outbound", on, nullptr, tuple("allow", "tcp", "any", "0.0.0.0/0", "out"), nullptr, FWSYS_CLOSED, FWSYS_UFW},
      {"from the LAN on wlan0", on, nullptr, tuple("allow", "tcp", "any", "10.0.0.0/8", "in_wlan0"), nullptr, FWSYS_OPEN, FWSYS_UFW},
      {"deny wins over allow", on, nullptr, allow + deny, nullptr, FWSYS_BLOCKED, FWSYS_UFW},
      {"deny for one host only", on, nullptr, tuple("reject", "any", "any", "10.0.0.9") + allow, nullptr, FWSYS_OPEN, FWSYS_UFW},
      {"accepting policy", on, "DEFAULT_INPUT_POLICY=\"ACCEPT\"\n", "", nullptr, FWSYS_OPEN, FWSYS_UFW},
      {"allowed in v6", on, nullptr, "", allow.c_str(), FWSYS_OPEN, FWSYS_UFW},
      {"denied in v6", on, nullptr, allow, deny.c_str(), FWSYS_BLOCKED, FWSYS_UFW},
      // clang-format on
  };
  TmpDir root("ufw");
  fwsys_set_root((root.path + "/").c_str());
  for (const auto& c : cases) {
    write_ufw(root.path, c.conf, c.policy, c.v4, c.v6);
    int kind = -1;
    std::string problem;
    EXPECT_EQ(check(&kind, &problem), c.state) << c.what;
    EXPECT_EQ(kind, c.kind) << c.what;
    EXPECT_EQ(problem, "") << c.what;
  }

  // user.rules is root's alone on a real system: an ordinary user can't tell.
  const std::string home = unprivileged_tmpdir("ufw");
  ASSERT_FALSE(home.empty());
  write_ufw(home, on, nullptr, allow, nullptr);
  ASSERT_EQ(chmod((home + "/etc/ufw/user.rules").c_str(), 0600), 0);
  fwsys_set_root(home.c_str());
  EXPECT_EQ(run_unprivileged([] {
              int kind;
              std::string problem;
              return check(&kind, &problem) == FWSYS_CLOSED &&
                     problem.find("user.rules (Permission denied)") != std::string::npos;
            }),
            1);
  tmpdir_remove(home);
  fwsys_set_root(nullptr);
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

namespace {

// A firewalld of our own: per zone "port/proto" entries, rich rules and a target (null: an older
// firewalld without getZoneSettings2).
struct Zone {
  std::string name;
  std::vector<std::string> ports, rich;
  const char* target;
};
struct StandIn {
  std::vector<std::string> active;
  std::string fallback;
  std::vector<Zone> zones;
  bool broken;  // getPorts fails
};

int answer(sd_bus_message* m, void* p, sd_bus_error* error) {
  const StandIn& s = *(const StandIn*)p;
  const std::string member = sd_bus_message_get_member(m);
  if (member == "getDefaultZone") return sd_bus_reply_method_return(m, "s", s.fallback.c_str());
  sd_bus_message* r = nullptr;
  sd_bus_message_new_method_return(m, &r);
  const char* name = "";
  sd_bus_message_read(m, "s", &name);
  const Zone* z = nullptr;
  for (const Zone& x : s.zones) z = x.name == name ? &x : z;
  if (member == "getActiveZones") {
    sd_bus_message_open_container(r, 'a', "{sa{sas}}");
    for (const std::string& a : s.active)
      sd_bus_message_append(r, "{sa{sas}}", a.c_str(), 1, "interfaces", 1, "eth0");
    sd_bus_message_close_container(r);
  } else if (!z || (member == "getPorts" && s.broken) || (member[3] == 'Z' && !z->target)) {
    sd_bus_message_unref(r);
    return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "not today");
  } else if (member == "queryPort") {
    const char *port, *proto;
    sd_bus_message_read(m, "ss", &port, &proto);
    int yes = 0;
    for (const std::string& e : z->ports) yes |= e == std::string(port) + "/" + proto;
    sd_bus_message_append(r, "b", yes);
  } else if (member == "getPorts") {
    sd_bus_message_open_container(r, 'a', "as");
    for (const std::string& e : z->ports)
      sd_bus_message_append(r, "as", 2, e.substr(0, e.find('/')).c_str(),
                            e.substr(e.find('/') + 1).c_str());
    sd_bus_message_close_container(r);
  } else if (member == "getRichRules") {
    sd_bus_message_open_container(r, 'a', "s");
    for (const std::string& e : z->rich) sd_bus_message_append(r, "s", e.c_str());
    sd_bus_message_close_container(r);
  } else {
    sd_bus_message_append(r, "a{sv}", 2, "short", "s", name, "target", "s", z->target);
  }
  const int sent = sd_bus_send(nullptr, r, nullptr);
  sd_bus_message_unref(r);
  return sent;
}

// clang-format off
constexpr sd_bus_vtable kMain[] = {SD_BUS_VTABLE_START(0), SD_BUS_METHOD("getDefaultZone", "", "s", answer, 0), SD_BUS_VTABLE_END};
constexpr sd_bus_vtable kZone[] = {
    SD_BUS_VTABLE_START(0), SD_BUS_METHOD("getActiveZones", "", "a{sa{sas}}", answer, 0),
    SD_BUS_METHOD("queryPort", "sss", "b", answer, 0), SD_BUS_METHOD("getPorts", "s", "aas", answer, 0),
    SD_BUS_METHOD("getRichRules", "s", "as", answer, 0), SD_BUS_METHOD("getZoneSettings2", "s", "a{sv}", answer, 0),
    SD_BUS_VTABLE_END};
// clang-format on

}  // namespace

TEST(FirewallCheck, FirewalldZonesDecide) {
  FILE* daemon =
      popen("exec dbus-daemon --session --nofork --print-address=1 --print-pid=1 2>&-", "r");
  char address[512] = "", pid[32] = "";
  if (!daemon || !fgets(address, sizeof address, daemon) || !fgets(pid, sizeof pid, daemon))
    GTEST_SKIP() << "no dbus-daemon";
  address[strcspn(address, "\n")] = 0;
  setenv("DBUS_SYSTEM_BUS_ADDRESS", address, 1);

  const std::vector<std::string> range = {"47480-47499/tcp"}, none;
  const std::string reject = "rule port port=\"47000-48000\" protocol=\"tcp\" reject";
  const std::string drop_one =
      "rule source address=\"10.0.0.9\" port port=\"47000-48000\" "
      "protocol=\"tcp\" drop";
  const std::string accept =
      "rule family=\"ipv4\" port port=\"47480-47499\" protocol=\"tcp\" accept";
  const Zone open = {"public", range, {}, "default"};
  const struct {
    const char* what;
    StandIn fw;
    int state;
  } cases[] = {
      // clang-format off
      {"the active zone", {{"public"}, "home", {open}, false}, FWSYS_OPEN},
      {"none active: the default", {{}, "public", {open}, false}, FWSYS_OPEN},
      {"none active, default shut", {{}, "home", {open, {"home", none, {}, "default"}}, false}, FWSYS_CLOSED},
      {"one of two active zones shut", {{"public", "home"}, "", {open, {"home", none, {}, "default"}}, false}, FWSYS_CLOSED},
      {"47481 only", {{"public"}, "", {{"public", {"47481/tcp"}, {}, "default"}}, false}, FWSYS_CLOSED},
      {"two ranges together", {{"public"}, "", {{"public", {"47480-47490/tcp", "47491-47499/tcp"}, {}, nullptr}}, false}, FWSYS_OPEN},
      {"udp", {{"public"}, "", {{"public", {"47480-47499/udp"}, {}, "default"}}, false}, FWSYS_CLOSED},
      {"trusted", {{"public"}, "", {{"public", none, {}, "ACCEPT"}}, false}, FWSYS_OPEN},
      {"accepting rich rule", {{"public"}, "", {{"public", none, {accept}, "default"}}, false}, FWSYS_OPEN},
      {"rejecting rich rule wins", {{"public"}, "", {{"public", range, {reject}, "default"}}, false}, FWSYS_BLOCKED},
      {"drop for one source", {{"public"}, "", {{"public", range, {drop_one}, "default"}}, false}, FWSYS_OPEN},
      {"ports unreadable", {{"public"}, "", {open}, true}, FWSYS_CLOSED},
      // clang-format on
  };
  for (const auto& c : cases) {
    sd_bus* bus = nullptr;
    const char* path = "/org/fedoraproject/FirewallD1";
    void* fw = (void*)&c.fw;
    ASSERT_TRUE(sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, address) >= 0 &&
                sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0 &&
                sd_bus_add_object_vtable(bus, nullptr, path, "org.fedoraproject.FirewallD1", kMain,
                                         fw) >= 0 &&
                sd_bus_add_object_vtable(bus, nullptr, path, "org.fedoraproject.FirewallD1.zone",
                                         kZone, fw) >= 0 &&
                sd_bus_request_name(bus, "org.fedoraproject.FirewallD1", 0) >= 0);
    std::atomic<bool> stop{false};
    std::thread service([&] {
      while (!stop) {
        while (sd_bus_process(bus, nullptr) > 0) {
        }
        sd_bus_wait(bus, 20'000);
      }
    });
    int kind = -1;
    std::string problem;
    EXPECT_EQ(check(&kind, &problem), c.state) << c.what;
    EXPECT_EQ(kind, FWSYS_FIREWALLD) << c.what;
    EXPECT_EQ(problem.empty(), !c.fw.broken) << c.what << ": " << problem;
    stop = true;
    service.join();
    sd_bus_flush_close_unref(bus);
  }

  // Gone from the bus: ufw is read instead.
  TmpDir root("ufw");
  write_ufw(root.path, "ENABLED=yes\n", nullptr, tuple("allow", "any", "any"), nullptr);
  fwsys_set_root(root.path.c_str());
  int kind = -1;
  EXPECT_EQ(check(&kind), FWSYS_OPEN);
  EXPECT_EQ(kind, FWSYS_UFW);
  fwsys_set_root(nullptr);
  kill(atoi(pid), SIGTERM);
  pclose(daemon);
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}
