// The firewall step's request: when it asks, what it runs, how the prompt's answer shows and when
// it checks again. The firewall's answers come from a stand-in (no test may change this machine's
// firewall); the elevated command also runs for real, with a script in pkexec's place.
#include "net/firewall.h"

#include <errno.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/firewall_sys.h"
#include "platform/platform.h"
#include "support/log_search.h"
#include "support/tmpdir.h"

namespace {

struct StandIn {
  int state = FIREWALL_NOT_ALLOWED, kind = FIREWALL_KIND_UFW;
  const char* problem = "";
  int checks = 0;
  std::vector<std::string> argv;  // the last command started
  int starts = 0, start_errno = 0;
  int poll_result = 0, exit_status = 0;  // 0 running, 1 ended, -1 lost
  std::string program;                   // real runs: what runs in pkexec's place
} s;

int check(int, int, int* kind, char* problem, size_t size) {
  s.checks++;
  *kind = s.kind;
  snprintf(problem, size, "%s", s.problem);
  return s.state;
}
int start(const char* const* argv) {
  for (s.argv.clear(); *argv; argv++) s.argv.push_back(*argv);
  s.starts++;
  errno = s.start_errno;
  return s.start_errno ? -1 : 4242;
}
int poll(int, int* status) {
  *status = s.exit_status;
  return s.poll_result;
}
int start_real(const char* const* argv) {
  std::vector<const char*> v = {s.program.c_str()};
  while (*++argv) v.push_back(*argv);
  v.push_back(nullptr);
  s.starts++;
  return fwsys_spawn(v.data());
}

std::string label() {
  bool attention = false;
  std::string t = firewall_label(&attention);
  return t + (attention ? " !" : "");
}
const char* kAsking = "ASKING LINUX... !";
const char* kShut = "BLOCKED BY LINUX FIREWALL - ALLOW !";
// ufw by its full path where it is installed: pkexec searches the user's PATH.
const std::vector<std::string> kUfw = {"pkexec",
                                       access("/usr/sbin/ufw", X_OK) == 0 ? "/usr/sbin/ufw" : "ufw",
                                       "allow",
                                       "47480:47499/tcp",
                                       "comment",
                                       "SeaGlass stream"};
const std::vector<std::string> kFirewalld = {
    "pkexec", "sh", "-c",
    "firewall-cmd --add-port=47480-47499/tcp && firewall-cmd --permanent "
    "--add-port=47480-47499/tcp"};

void reset(const FirewallSystem& sys = {check, start, poll}) {
  s = StandIn{};
  firewall_set_system(&sys);
}

}  // namespace

TEST(Firewall, AsksOnlyWhenShutAndShowsTheAnswer) {
  const std::vector<std::string> none;
  const struct {
    int state, kind, start_errno, poll_result, exit_status;
    int after;  // what the check says once the command has ended
    const std::vector<std::string>& argv;
    int req;
    std::string label;
    const char* line;  // logged after the request
  } cases[] = {
      // clang-format off
      {FIREWALL_ALLOWED, FIREWALL_KIND_UFW, 0, 0, 0, 0, none, FIREWALL_REQ_NONE, "", nullptr},
      {FIREWALL_NO_FIREWALL, FIREWALL_KIND_NONE, 0, 0, 0, 0, none, FIREWALL_REQ_NONE, "", nullptr},
      {FIREWALL_NOT_ALLOWED, FIREWALL_KIND_UFW, 0, 1, 0, FIREWALL_ALLOWED, kUfw, FIREWALL_REQ_DONE, "", nullptr},
      {FIREWALL_BLOCKED, FIREWALL_KIND_FIREWALLD, 0, 1, 0, FIREWALL_BLOCKED, kFirewalld, FIREWALL_REQ_DONE, kShut, nullptr},
      {FIREWALL_NOT_ALLOWED, FIREWALL_KIND_FIREWALLD, 0, 1, 126, FIREWALL_NOT_ALLOWED, kFirewalld, FIREWALL_REQ_CANCELLED, kShut, "firewall: the permission prompt was dismissed"},
      {FIREWALL_NOT_ALLOWED, FIREWALL_KIND_UFW, 0, 1, 127, FIREWALL_NOT_ALLOWED, kUfw, FIREWALL_REQ_FAILED, kShut, "firewall: pkexec failed (exit 127)"},
      {FIREWALL_NOT_ALLOWED, FIREWALL_KIND_UFW, 0, -1, 0, FIREWALL_ALLOWED, kUfw, FIREWALL_REQ_DONE, "", "firewall: lost track of pkexec"},
      {FIREWALL_NOT_ALLOWED, FIREWALL_KIND_UFW, ENOENT, 0, 0, FIREWALL_NOT_ALLOWED, kUfw, FIREWALL_REQ_FAILED, kShut, "firewall: could not start pkexec (No such file or directory)"},
      // clang-format on
  };
  for (const auto& c : cases) {
    reset();
    s.state = c.state;
    s.kind = c.kind;
    s.start_errno = c.start_errno;
    const int64_t mark = log_console_count();
    firewall_request(10);
    EXPECT_EQ(s.argv, c.argv) << c.state << " " << c.kind;
    const bool asking = !c.argv.empty() && !c.start_errno;
    EXPECT_EQ(label(), asking ? kAsking : c.start_errno ? kShut : "");
    firewall_poll(20);  // while the prompt is up nothing is checked, however long it stays
    EXPECT_EQ(s.checks, c.start_errno ? 2 : 1) << "a failed start waits its 4 s";
    s.poll_result = c.poll_result;
    s.exit_status = c.exit_status;
    s.state = c.after ? c.after : c.state;
    firewall_poll(21);
    EXPECT_EQ(s.checks, (c.start_errno ? 2 : 1) + asking) << "and at once when it ended";
    EXPECT_EQ(firewall_request_state(), c.req);
    EXPECT_EQ(label(), c.label) << c.exit_status;
    EXPECT_TRUE(!c.line || logged(mark + 1, c.line)) << c.line;
    firewall_request(22);  // asked in this period: checked, not asked again
    EXPECT_EQ(s.starts, c.argv.empty() ? 0 : 1);
  }
}

TEST(Firewall, ChecksEveryFourSecondsAndAsksAgainNextPeriod) {
  reset();
  s.problem = "cannot read /etc/ufw/user.rules (Permission denied)";
  const int64_t mark = log_console_count();
  firewall_request(100);
  firewall_poll(101);  // still asking: no re-check
  s.poll_result = 1;
  s.exit_status = 126;
  firewall_poll(102);  // dismissed, checked at once
  const struct {
    double now;
    int state, checks;  // what the check says; checks made so far
    const char* label;
  } steps[] = {{105.9, FIREWALL_NOT_ALLOWED, 2, kShut},
               {106, FIREWALL_NOT_ALLOWED, 3, kShut},
               {110, FIREWALL_ALLOWED, 4, ""},
               {200, FIREWALL_NOT_ALLOWED, 4, ""}};
  for (const auto& st : steps) {
    s.state = st.state;
    firewall_poll(st.now);
    EXPECT_EQ(s.checks, st.checks) << st.now;
    EXPECT_EQ(label(), st.label) << st.now;
  }
  int said = 0;  // the unreadable rules, once for the three checks that met them
  char line[LOG_FULL_LINE_BYTES];
  for (int64_t i = mark; i < log_console_count(); i++)
    said += log_line_full(i, line, sizeof line) && strstr(line, s.problem);
  EXPECT_EQ(said, 1);

  // Off air nothing shows or is checked; a prompt still up is followed, and not asked over.
  s.state = FIREWALL_NOT_ALLOWED;
  s.poll_result = 0;
  firewall_clear();
  firewall_request(300);
  EXPECT_EQ(s.starts, 2);
  firewall_clear();
  EXPECT_EQ(label(), "");
  firewall_poll(400);
  EXPECT_EQ(s.checks, 5);
  firewall_request(401);
  EXPECT_EQ(s.starts, 2);
  EXPECT_EQ(label(), kAsking);
}

// The real runner, with a script in pkexec's place that records its arguments and answers as
// pkexec would.
TEST(Firewall, TheElevatedCommandRunsAndIsFollowed) {
  TmpDir dir("pkexec");
  auto finish = [] {
    for (int i = 0; i < 500 && firewall_request_state() == FIREWALL_REQ_ASKING; i++) {
      firewall_poll(1);
      platform_sleep_ms(10);
    }
    return firewall_request_state();
  };
  const std::pair<int, int> cases[] = {
      {0, FIREWALL_REQ_DONE}, {126, FIREWALL_REQ_CANCELLED}, {127, FIREWALL_REQ_FAILED}};
  for (const auto& [exit_status, req] : cases) {
    FirewallSystem real = firewall_real_system();
    real.check = check;
    real.start = start_real;
    reset(real);
    s.program = dir / "pkexec";
    tmpdir_write(s.program, "#!/bin/sh\nsleep 0.2\nprintf '%s\\n' \"$@\" > '" + dir.path +
                                "/args'\nexit " + std::to_string(exit_status) + "\n");
    ASSERT_EQ(chmod(s.program.c_str(), 0755), 0);
    firewall_request(1);
    EXPECT_EQ(firewall_request_state(), FIREWALL_REQ_ASKING);
    EXPECT_EQ(finish(), req);
    EXPECT_EQ(tmpdir_read(dir / "args"), "ufw\nallow\n47480:47499/tcp\ncomment\nSeaGlass stream\n");
    EXPECT_EQ(s.checks, 2) << exit_status << ": checked again when it ended";
  }
  // Nothing to run: refused at the start, or (where the system can't tell) by the child's exit.
  s.program = dir / "missing";
  firewall_clear();
  firewall_request(2);
  EXPECT_EQ(finish(), FIREWALL_REQ_FAILED);
  firewall_set_system(nullptr);
}

// ufw keeps its rules from ordinary users: an allow command that succeeded holds for the period,
// while firewalld answers for itself.
TEST(Firewall, AGrantedUfwAllowHoldsWhileItsRulesCantBeRead) {
  for (const int kind : {FIREWALL_KIND_UFW, FIREWALL_KIND_FIREWALLD}) {
    reset();
    s.kind = kind;
    s.problem = "cannot read /etc/ufw/user.rules (Permission denied)";
    firewall_request(10);
    EXPECT_EQ(label(), kAsking);
    s.poll_result = 1;
    firewall_poll(11);
    const std::string want = kind == FIREWALL_KIND_UFW ? "" : kShut;
    EXPECT_EQ(label(), want) << kind;
    firewall_poll(20);
    EXPECT_EQ(label(), want) << kind;
    firewall_clear();  // the next period asks again
    s.poll_result = 0;
    firewall_request(30);
    EXPECT_EQ(label(), kAsking) << kind;
    EXPECT_EQ(s.starts, 2);
  }
}
