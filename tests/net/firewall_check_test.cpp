// What the check makes of the firewall in use: ufw's own files in a stand-in /etc tree, and a small
// firewalld of our own on a private D-Bus daemon standing in for the system bus.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net/firewall.h"
#include "platform/firewall_sys.h"
#include "support/log_search.h"
#include "support/tmpdir.h"
#include "support/unprivileged.h"

namespace {

constexpr const char* kNoBus = "unix:path=/nonexistent/kelp-system-bus";

// ufw's line above each rule: action protocol dport dst sport src direction.
std::string tuple(const char* action, const char* proto, const char* port,
                  const char* src = "0.0.0.0/0", const char* dir = "in") {
  return std::string("### tuple ### ") + action + " " + proto + " " + port + " 0.0.0.0/0 any " +
         src + " " + dir + "\n-A ufw-user-input -j ACCEPT\n\n";
}

// A stand-in root with etc/ufw (and etc/default) filled as given; null leaves a file out.
void write_ufw(const std::string& root, const char* conf, const char* defaults, const char* v4,
               const char* v6) {
  mkdir((root + "/etc").c_str(), 0755);
  mkdir((root + "/etc/ufw").c_str(), 0755);
  mkdir((root + "/etc/default").c_str(), 0755);
  const struct {
    const char* path;
    const char* text;
  } files[] = {{"/etc/ufw/ufw.conf", conf},
               {"/etc/default/ufw", defaults},
               {"/etc/ufw/user.rules", v4},
               {"/etc/ufw/user6.rules", v6}};
  for (const auto& f : files) {
    unlink((root + f.path).c_str());
    if (f.text) tmpdir_write(root + f.path, std::string("# ufw\n") + f.text);
  }
}

class FirewallUfw : public ::testing::Test {
 protected:
  void SetUp() override { setenv("DBUS_SYSTEM_BUS_ADDRESS", kNoBus, 1); }
  void TearDown() override {
    fwsys_set_root(nullptr);
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }
};

}  // namespace

TEST_F(FirewallUfw, TheRuleFilesDecide) {
  const std::string on = "ENABLED=yes\n";
  const std::string allow = tuple("allow", "tcp", "47480:47499");
  const std::string deny = tuple("deny", "tcp", "47000:48000");
  const struct {
    const char* what;
    const char* conf;
    const char* defaults;
    std::string v4;
    const char* v6;
    int state, kind;
    bool problem;
  } cases[] = {
      {"not installed", nullptr, nullptr, "", nullptr, FWSYS_OFF, FWSYS_NONE, false},
      {"disabled", "ENABLED=no\n", nullptr, allow, nullptr, FWSYS_OFF, FWSYS_UFW, false},
      {"no rules", on.c_str(), nullptr, "", nullptr, FWSYS_CLOSED, FWSYS_UFW, false},
      {"quoted switch", "ENABLED=\"yes\"\n", nullptr, allow, nullptr, FWSYS_OPEN, FWSYS_UFW, false},
      {"the range", on.c_str(), nullptr, allow, nullptr, FWSYS_OPEN, FWSYS_UFW, false},
      {"47481 only", on.c_str(), nullptr, tuple("allow", "tcp", "47481"), nullptr, FWSYS_CLOSED,
       FWSYS_UFW, false},
      {"any port, any protocol", on.c_str(), nullptr, tuple("allow", "any", "any"), nullptr,
       FWSYS_OPEN, FWSYS_UFW, false},
      {"two halves", on.c_str(), nullptr,
       tuple("allow", "tcp", "47480:47489") + tuple("allow", "tcp", "47490:47499"), nullptr,
       FWSYS_OPEN, FWSYS_UFW, false},
      {"multiport", on.c_str(), nullptr, tuple("limit_log", "tcp", "80,47470:47499"), nullptr,
       FWSYS_OPEN, FWSYS_UFW, false},
      {"udp", on.c_str(), nullptr, tuple("allow", "udp", "47480:47499"), nullptr, FWSYS_CLOSED,
       FWSYS_UFW, false},
      {"outbound", on.c_str(), nullptr, tuple("allow", "tcp", "47480:47499", "0.0.0.0/0", "out"),
       nullptr, FWSYS_CLOSED, FWSYS_UFW, false},
      {"from the LAN, on one interface", on.c_str(), nullptr,
       tuple("allow", "tcp", "47480:47499", "192.168.1.0/24", "in_wlan0"), nullptr, FWSYS_OPEN,
       FWSYS_UFW, false},
      {"an app's rule", on.c_str(), nullptr,
       "### tuple ### allow tcp 47480:47499 0.0.0.0/0 any 0.0.0.0/0 SeaGlass - in\n", nullptr,
       FWSYS_OPEN, FWSYS_UFW, false},
      {"deny wins over allow", on.c_str(), nullptr, allow + deny, nullptr, FWSYS_BLOCKED, FWSYS_UFW,
       false},
      {"reject everything", on.c_str(), nullptr, tuple("reject", "any", "any"), nullptr,
       FWSYS_BLOCKED, FWSYS_UFW, false},
      {"deny for one host only", on.c_str(), nullptr,
       tuple("deny", "tcp", "any", "10.0.0.9") + allow, nullptr, FWSYS_OPEN, FWSYS_UFW, false},
      {"accepting policy", on.c_str(), "DEFAULT_INPUT_POLICY=\"ACCEPT\"\n", "", nullptr, FWSYS_OPEN,
       FWSYS_UFW, false},
      {"dropping policy", on.c_str(), "DEFAULT_INPUT_POLICY=\"DROP\"\n", "", nullptr, FWSYS_CLOSED,
       FWSYS_UFW, false},
      {"allowed in v6", on.c_str(), nullptr, "", allow.c_str(), FWSYS_OPEN, FWSYS_UFW, false},
      {"denied in v6", on.c_str(), nullptr, allow, deny.c_str(), FWSYS_BLOCKED, FWSYS_UFW, false},
  };
  TmpDir root("ufw");
  fwsys_set_root((root.path + "/").c_str());
  for (const auto& c : cases) {
    write_ufw(root.path, c.conf, c.defaults, c.v4.c_str(), c.v6);
    int kind = -1;
    char problem[160] = "x";
    EXPECT_EQ(fwsys_check(47480, 47499, &kind, problem, sizeof problem), c.state) << c.what;
    EXPECT_EQ(kind, c.kind) << c.what;
    EXPECT_EQ(problem[0] != 0, c.problem) << c.what << ": " << problem;
  }
}

TEST_F(FirewallUfw, RulesThatCannotBeReadAreNotAllowed) {
  // user.rules is root's alone on a real system, as here for the ordinary user the child becomes.
  const std::string root = unprivileged_tmpdir("ufw");
  ASSERT_FALSE(root.empty());
  const std::string allow = tuple("allow", "tcp", "47480:47499");
  write_ufw(root, "ENABLED=yes\n", nullptr, allow.c_str(), nullptr);
  ASSERT_EQ(chmod((root + "/etc/ufw/user.rules").c_str(), 0600), 0);
  fwsys_set_root(root.c_str());
  const int r = run_unprivileged([] {
    int kind = 0;
    char problem[160] = "";
    const int state = fwsys_check(47480, 47499, &kind, problem, sizeof problem);
    return state * 10 + kind + (strstr(problem, "user.rules (Permission denied)") ? 100 : 0);
  });
  EXPECT_EQ(r, 100 + FWSYS_CLOSED * 10 + FWSYS_UFW);
  // A missing rules file is as good as an unreadable one.
  unlink((root + "/etc/ufw/user.rules").c_str());
  int kind = 0;
  char problem[160] = "";
  EXPECT_EQ(fwsys_check(47480, 47499, &kind, problem, sizeof problem), FWSYS_CLOSED);
  EXPECT_NE(strstr(problem, "user.rules"), nullptr) << problem;
  tmpdir_remove(root);
}

namespace {

// A firewalld of our own: zones with their ports ("47480-47499/tcp 80/tcp"), rich rules ('|'
// between them) and target, serviced on its own thread.
struct StandInZone {
  const char* name;
  const char* ports;
  const char* rich;
  const char* target;  // null: no getZoneSettings2 (an older firewalld)
};
struct StandInFirewalld {
  sd_bus* bus = nullptr;
  std::vector<std::string> active;
  std::string fallback;
  std::vector<StandInZone> zones;
  bool broken = false;  // getPorts fails
  std::atomic<bool> stop{false};
  std::thread thread;

  static StandInFirewalld* self(void* p) { return (StandInFirewalld*)p; }
  const StandInZone* zone(sd_bus_message* m, sd_bus_error* error) {
    const char* name = nullptr;
    sd_bus_message_read(m, "s", &name);
    for (const StandInZone& z : zones)
      if (name && strcmp(z.name, name) == 0) return &z;
    sd_bus_error_set(error, "org.fedoraproject.FirewallD1.Exception", "INVALID_ZONE");
    return nullptr;
  }
  static std::vector<std::string> split(const char* s, char sep) {
    std::vector<std::string> out;
    for (std::string t = s ? s : ""; !t.empty();) {
      const size_t at = t.find(sep);
      if (at) out.push_back(t.substr(0, at));
      t = at == std::string::npos ? "" : t.substr(at + 1);
    }
    return out;
  }

  static int active_zones(sd_bus_message* m, void* p, sd_bus_error*) {
    sd_bus_message* reply = nullptr;
    sd_bus_message_new_method_return(m, &reply);
    sd_bus_message_open_container(reply, 'a', "{sa{sas}}");
    for (const std::string& z : self(p)->active)
      sd_bus_message_append(reply, "{sa{sas}}", z.c_str(), 1, "interfaces", 1, "eth0");
    sd_bus_message_close_container(reply);
    int r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
  }
  static int default_zone(sd_bus_message* m, void* p, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "s", self(p)->fallback.c_str());
  }
  static int query_port(sd_bus_message* m, void* p, sd_bus_error* error) {
    const StandInZone* z = self(p)->zone(m, error);
    if (!z) return -EINVAL;
    const char *port = nullptr, *proto = nullptr;
    sd_bus_message_read(m, "ss", &port, &proto);
    int yes = 0;
    for (const std::string& e : split(z->ports, ' ')) yes |= e == std::string(port) + "/" + proto;
    return sd_bus_reply_method_return(m, "b", yes);
  }
  static int ports(sd_bus_message* m, void* p, sd_bus_error* error) {
    const StandInZone* z = self(p)->zone(m, error);
    if (!z) return -EINVAL;
    if (self(p)->broken) return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "not today");
    sd_bus_message* reply = nullptr;
    sd_bus_message_new_method_return(m, &reply);
    sd_bus_message_open_container(reply, 'a', "as");
    for (const std::string& e : split(z->ports, ' ')) {
      const size_t slash = e.find('/');
      sd_bus_message_append(reply, "as", 2, e.substr(0, slash).c_str(), e.c_str() + slash + 1);
    }
    sd_bus_message_close_container(reply);
    int r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
  }
  static int rich_rules(sd_bus_message* m, void* p, sd_bus_error* error) {
    const StandInZone* z = self(p)->zone(m, error);
    if (!z) return -EINVAL;
    sd_bus_message* reply = nullptr;
    sd_bus_message_new_method_return(m, &reply);
    sd_bus_message_open_container(reply, 'a', "s");
    for (const std::string& e : split(z->rich, '|')) sd_bus_message_append(reply, "s", e.c_str());
    sd_bus_message_close_container(reply);
    int r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
  }
  static int settings(sd_bus_message* m, void* p, sd_bus_error* error) {
    const StandInZone* z = self(p)->zone(m, error);
    if (!z) return -EINVAL;
    if (!z->target) return sd_bus_error_set(error, SD_BUS_ERROR_UNKNOWN_METHOD, "old");
    return sd_bus_reply_method_return(m, "a{sv}", 2, "short", "s", z->name, "target", "s",
                                      z->target);
  }
  static constexpr sd_bus_vtable kMain[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("getDefaultZone", "", "s", default_zone, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END,
  };
  static constexpr sd_bus_vtable kZone[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("getActiveZones", "", "a{sa{sas}}", active_zones, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("queryPort", "sss", "b", query_port, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("getPorts", "s", "aas", ports, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("getRichRules", "s", "as", rich_rules, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("getZoneSettings2", "s", "a{sv}", settings, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END,
  };

  bool start(const char* address) {
    if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address) < 0 ||
        sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/org/fedoraproject/FirewallD1",
                                 "org.fedoraproject.FirewallD1", kMain, this) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/org/fedoraproject/FirewallD1",
                                 "org.fedoraproject.FirewallD1.zone", kZone, this) < 0 ||
        sd_bus_request_name(bus, "org.fedoraproject.FirewallD1", 0) < 0)
      return false;
    thread = std::thread([this] {
      while (!stop) {
        while (sd_bus_process(bus, nullptr) > 0) {
        }
        sd_bus_wait(bus, 20'000);
      }
    });
    return true;
  }
  ~StandInFirewalld() {
    stop = true;
    if (thread.joinable()) thread.join();
    sd_bus_flush_close_unref(bus);
  }
};

// A private dbus-daemon standing in for the system bus.
class FirewallBus : public ::testing::Test {
 protected:
  FILE* daemon = nullptr;
  pid_t pid = -1;
  std::string address;
  void SetUp() override {
    daemon = popen("exec dbus-daemon --session --nofork --print-address=1 --print-pid=1 2>&-", "r");
    char a[512] = "", p[32] = "";
    if (daemon && fgets(a, sizeof a, daemon) && fgets(p, sizeof p, daemon)) pid = atoi(p);
    if (pid <= 0) GTEST_SKIP() << "no dbus-daemon";
    address.assign(a, strcspn(a, "\n"));
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  }
  void TearDown() override {
    fwsys_set_root(nullptr);
    if (pid > 0) kill(pid, SIGTERM);
    if (daemon) pclose(daemon);
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }
};

}  // namespace

TEST_F(FirewallBus, FirewalldZonesDecide) {
  const char* kRange = "47480-47499/tcp";
  const char* kReject = "rule family=\"ipv4\" port port=\"47000-48000\" protocol=\"tcp\" reject";
  const struct {
    const char* what;
    std::vector<std::string> active;
    const char* fallback;
    std::vector<StandInZone> zones;
    bool broken;
    int state;
  } cases[] = {
      {"open in the active zone",
       {"public"},
       "public",
       {{"public", kRange, "", "default"}},
       false,
       FWSYS_OPEN},
      {"none active: the default zone",
       {},
       "home",
       {{"home", kRange, "", "default"}},
       false,
       FWSYS_OPEN},
      {"none active, default shut",
       {},
       "home",
       {{"home", "22/tcp", "", "default"}, {"work", kRange, "", "default"}},
       false,
       FWSYS_CLOSED},
      {"47481 only",
       {"public"},
       "public",
       {{"public", "47481/tcp", "", "default"}},
       false,
       FWSYS_CLOSED},
      {"two ranges together",
       {"public"},
       "public",
       {{"public", "47480-47490/tcp 47491-47499/tcp", "", nullptr}},
       false,
       FWSYS_OPEN},
      {"udp only",
       {"public"},
       "public",
       {{"public", "47480-47499/udp", "", "default"}},
       false,
       FWSYS_CLOSED},
      {"one of two active zones shut",
       {"public", "home"},
       "public",
       {{"public", kRange, "", "default"}, {"home", "", "", "default"}},
       false,
       FWSYS_CLOSED},
      {"a trusted zone", {"trusted"}, "public", {{"trusted", "", "", "ACCEPT"}}, false, FWSYS_OPEN},
      {"an accepting rich rule",
       {"public"},
       "public",
       {{"public", "", "rule port port=\"47480-47499\" protocol=\"tcp\" accept", "default"}},
       false,
       FWSYS_OPEN},
      {"a rejecting rich rule wins",
       {"public"},
       "public",
       {{"public", kRange, kReject, "default"}},
       false,
       FWSYS_BLOCKED},
      {"a drop for one source only",
       {"public"},
       "public",
       {{"public", kRange,
         "rule family=\"ipv4\" source address=\"10.0.0.9\" port port=\"47000-48000\" "
         "protocol=\"tcp\" drop",
         "default"}},
       false,
       FWSYS_OPEN},
      {"ports unreadable",
       {"public"},
       "public",
       {{"public", kRange, "", "default"}},
       true,
       FWSYS_CLOSED},
  };
  for (const auto& c : cases) {
    StandInFirewalld fw;
    fw.active = c.active;
    fw.fallback = c.fallback;
    fw.zones = c.zones;
    fw.broken = c.broken;
    ASSERT_TRUE(fw.start(address.c_str())) << c.what;
    int kind = -1;
    char problem[160] = "x";
    EXPECT_EQ(fwsys_check(47480, 47499, &kind, problem, sizeof problem), c.state) << c.what;
    EXPECT_EQ(kind, FWSYS_FIREWALLD) << c.what;
    EXPECT_EQ(problem[0] != 0, c.broken) << c.what << ": " << problem;
  }
}

TEST_F(FirewallBus, WithoutFirewalldOnTheBusUfwIsRead) {
  TmpDir root("ufw");
  write_ufw(root.path, "ENABLED=yes\n", nullptr, tuple("allow", "tcp", "47480:47499").c_str(),
            nullptr);
  fwsys_set_root(root.path.c_str());
  int kind = -1;
  char problem[160] = "";
  EXPECT_EQ(fwsys_check(47480, 47499, &kind, problem, sizeof problem), FWSYS_OPEN);
  EXPECT_EQ(kind, FWSYS_UFW);
  // The real check behind the firewall step reads the same.
  firewall_set_system(nullptr);
  EXPECT_EQ(firewall_check(), FIREWALL_ALLOWED);
}
