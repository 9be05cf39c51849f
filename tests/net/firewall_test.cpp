// The firewall step's request: when it asks, what it runs, how the prompt's answer shows, and
// when it checks again. The firewall's answers come from a stand-in (no test may change this
// machine's firewall); the elevated command runs for real with a script in pkexec's place.
#include "net/firewall.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/firewall_sys.h"
#include "platform/platform.h"
#include "support/log_search.h"
#include "support/tmpdir.h"

namespace {

// The stand-in system: what the check says, and the commands started and how they end.
struct StandIn {
  int state = FIREWALL_NOT_ALLOWED;
  int kind = FIREWALL_KIND_UFW;
  std::string problem;
  int checks = 0;
  std::vector<std::vector<std::string>> started;
  int start_errno = 0;  // nonzero: the start fails with it
  int poll_result = 0;  // 0 running, 1 ended, -1 lost
  int exit_status = 0;
  std::string program;  // real runs: what runs in pkexec's place
} s;

int check(int first, int last, int* kind, char* problem, size_t size) {
  EXPECT_EQ(first, 47480);
  EXPECT_EQ(last, 47499);
  s.checks++;
  *kind = s.kind;
  snprintf(problem, size, "%s", s.problem.c_str());
  return s.state;
}
int start(const char* const* argv) {
  s.started.emplace_back();
  for (; *argv; argv++) s.started.back().push_back(*argv);
  errno = s.start_errno;
  return s.start_errno ? -1 : 4242;
}
int poll(int pid, int* status) {
  EXPECT_EQ(pid, 4242);
  *status = s.exit_status;
  return s.poll_result;
}
// The real runner with a harmless program in pkexec's place.
int start_real(const char* const* argv) {
  std::vector<const char*> v = {s.program.c_str()};
  for (const char* const* a = argv + 1; *a; a++) v.push_back(*a);
  v.push_back(nullptr);
  return fwsys_spawn(v.data());
}

const FirewallSystem kStandIn = {check, start, poll};

class Firewall : public ::testing::Test {
 protected:
  void SetUp() override {
    s = StandIn{};
    firewall_set_system(&kStandIn);
  }
  void TearDown() override { firewall_set_system(nullptr); }
};

struct Label {
  std::string text;
  bool attention;
};
Label label() {
  bool attention = false;
  const char* t = firewall_label(&attention);
  return {t, attention};
}
const Label kNone = {"", false};
const Label kAsking = {"ASKING FOR PERMISSION...", true};
const Label kShut = {"BLOCKED BY THE FIREWALL - ALLOW", true};
bool operator==(const Label& a, const Label& b) {
  return a.text == b.text && a.attention == b.attention;
}
std::ostream& operator<<(std::ostream& o, const Label& l) {
  return o << '"' << l.text << '"' << (l.attention ? " attention" : "");
}

const std::vector<std::string> kUfw = {"pkexec",          "ufw",     "allow",
                                       "47480:47499/tcp", "comment", "SeaGlass stream"};
const std::vector<std::string> kFirewalld = {
    "pkexec", "sh", "-c",
    "firewall-cmd --add-port=47480-47499/tcp && firewall-cmd --permanent "
    "--add-port=47480-47499/tcp"};

}  // namespace

TEST_F(Firewall, ReachablePortsNeverAsk) {
  for (int state : {FIREWALL_ALLOWED, FIREWALL_NO_FIREWALL}) {
    for (int kind : {FIREWALL_KIND_NONE, FIREWALL_KIND_UFW, FIREWALL_KIND_FIREWALLD}) {
      SetUp();
      s.state = state;
      s.kind = kind;
      firewall_request(100);
      EXPECT_TRUE(firewall_wanted());
      EXPECT_EQ(firewall_last_check(), state);
      firewall_poll(200);
      EXPECT_EQ(s.checks, 1) << "no re-checks once reachable";
      EXPECT_TRUE(s.started.empty()) << state << kind;
      EXPECT_EQ(firewall_request_state(), FIREWALL_REQ_NONE);
      EXPECT_EQ(label(), kNone) << state << kind;
    }
  }
}

TEST_F(Firewall, ShutPortsAskOnceWithTheFirewallsOwnCommand) {
  const struct {
    int state, kind;
    const std::vector<std::string>* argv;
  } cases[] = {{FIREWALL_NOT_ALLOWED, FIREWALL_KIND_UFW, &kUfw},
               {FIREWALL_BLOCKED, FIREWALL_KIND_UFW, &kUfw},
               {FIREWALL_NOT_ALLOWED, FIREWALL_KIND_FIREWALLD, &kFirewalld},
               {FIREWALL_BLOCKED, FIREWALL_KIND_FIREWALLD, &kFirewalld}};
  for (const auto& c : cases) {
    SetUp();
    s.state = c.state;
    s.kind = c.kind;
    const int64_t mark = log_console_count();
    firewall_request(10);
    ASSERT_EQ(s.started.size(), 1u);
    EXPECT_EQ(s.started[0], *c.argv);
    EXPECT_TRUE(logged(mark, c.kind == FIREWALL_KIND_UFW
                                 ? "firewall: asking to allow TCP 47480-47499 through ufw"
                                 : "firewall: asking to allow TCP 47480-47499 through firewalld"));
    EXPECT_EQ(firewall_request_state(), FIREWALL_REQ_ASKING);
    EXPECT_EQ(label(), kAsking);
    // While the prompt is up nothing is checked, however long it stays.
    firewall_poll(30);
    EXPECT_EQ(s.checks, 1);
    EXPECT_EQ(firewall_request_state(), FIREWALL_REQ_ASKING);
    // Asked in this period: a second request checks but doesn't ask again, even after it ended.
    firewall_request(31);
    s.poll_result = 1;
    s.exit_status = 126;
    firewall_poll(32);
    firewall_request(33);
    EXPECT_EQ(s.started.size(), 1u);
    EXPECT_EQ(label(), kShut);
  }
}

TEST_F(Firewall, ThePromptsAnswerShows) {
  const struct {
    const char* what;
    int start_errno, poll_result, exit_status;
    int after;  // what the check says once the command has ended
    int req;
    Label label;
    const char* line;  // null: no line
  } cases[] = {
      {"allowed", 0, 1, 0, FIREWALL_ALLOWED, FIREWALL_REQ_DONE, kNone, nullptr},
      {"ran, still shut", 0, 1, 0, FIREWALL_NOT_ALLOWED, FIREWALL_REQ_DONE, kShut, nullptr},
      {"dismissed", 0, 1, 126, FIREWALL_NOT_ALLOWED, FIREWALL_REQ_CANCELLED, kShut,
       "firewall: the permission prompt was dismissed"},
      {"not authorized", 0, 1, 127, FIREWALL_NOT_ALLOWED, FIREWALL_REQ_FAILED, kShut,
       "firewall: pkexec failed (exit 127)"},
      {"command failed", 0, 1, 1, FIREWALL_BLOCKED, FIREWALL_REQ_FAILED, kShut,
       "firewall: pkexec failed (exit 1)"},
      {"lost the child", 0, -1, 0, FIREWALL_ALLOWED, FIREWALL_REQ_DONE, kNone,
       "firewall: lost track of pkexec"},
      {"no pkexec", ENOENT, 0, 0, FIREWALL_NOT_ALLOWED, FIREWALL_REQ_FAILED, kShut,
       "firewall: could not start pkexec (No such file or directory)"},
  };
  for (const auto& c : cases) {
    SetUp();
    s.start_errno = c.start_errno;
    const int64_t mark = log_console_count();
    firewall_request(10);
    s.poll_result = c.poll_result;
    s.exit_status = c.exit_status;
    s.state = c.after;
    firewall_poll(11);
    EXPECT_EQ(firewall_request_state(), c.req) << c.what;
    // Checked again at once when the command ended; a start that failed waits its 4 s.
    EXPECT_EQ(s.checks, c.start_errno ? 1 : 2) << c.what;
    EXPECT_EQ(firewall_last_check(), c.start_errno ? FIREWALL_NOT_ALLOWED : c.after) << c.what;
    EXPECT_EQ(label(), c.label) << c.what;
    if (c.line) {
      EXPECT_TRUE(logged(mark + 1, c.line)) << c.what;
    } else {
      EXPECT_EQ(log_console_count(), mark + 1) << c.what << ": only the request";
    }
  }
}

TEST_F(Firewall, ChecksAgainEveryFourSecondsUntilReachable) {
  s.poll_result = 1;
  s.exit_status = 126;
  firewall_request(100);
  firewall_poll(100.5);  // dismissed, checked
  ASSERT_EQ(s.checks, 2);
  const struct {
    double now;
    int state;  // what the check would say
    int checks;
    Label label;
  } steps[] = {
      {104.4, FIREWALL_NOT_ALLOWED, 2, kShut}, {104.5, FIREWALL_NOT_ALLOWED, 3, kShut},
      {108.4, FIREWALL_NOT_ALLOWED, 3, kShut}, {108.5, FIREWALL_ALLOWED, 4, kNone},
      {200.0, FIREWALL_NOT_ALLOWED, 4, kNone},  // reachable: nothing more is checked
  };
  for (const auto& st : steps) {
    s.state = st.state;
    firewall_poll(st.now);
    EXPECT_EQ(s.checks, st.checks) << st.now;
    EXPECT_EQ(label(), st.label) << st.now;
  }
  EXPECT_EQ(s.started.size(), 1u);
}

TEST_F(Firewall, GoingOffAirLetsTheNextPeriodAskAgain) {
  s.poll_result = 1;
  s.exit_status = 126;
  firewall_request(10);
  firewall_poll(11);
  ASSERT_EQ(label(), kShut);
  firewall_clear();
  EXPECT_FALSE(firewall_wanted());
  EXPECT_EQ(label(), kNone) << "off air the row shows nothing";
  firewall_poll(100);
  EXPECT_EQ(s.checks, 2) << "nothing is checked off air";
  firewall_request(200);
  EXPECT_EQ(s.started.size(), 2u);

  // A prompt still up from the last period is followed, and not asked over.
  s.poll_result = 0;
  firewall_clear();
  firewall_poll(201);
  EXPECT_EQ(label(), kNone);
  firewall_request(202);
  EXPECT_EQ(s.started.size(), 2u);
  EXPECT_EQ(label(), kAsking);
  s.poll_result = 1;
  s.exit_status = 0;
  firewall_poll(203);
  EXPECT_EQ(firewall_request_state(), FIREWALL_REQ_DONE);
  firewall_clear();
  firewall_request(204);
  EXPECT_EQ(s.started.size(), 3u);
}

TEST_F(Firewall, AnUnreadableFirewallIsSaidOncePerPeriod) {
  s.problem = "cannot read /etc/ufw/user.rules (Permission denied)";
  s.start_errno = EACCES;
  const int64_t mark = log_console_count();
  firewall_request(0);
  for (double t = 4; t <= 20; t += 4) firewall_poll(t);
  ASSERT_EQ(s.checks, 6);
  firewall_clear();
  firewall_request(30);
  int said = 0;
  char line[LOG_FULL_LINE_BYTES];
  for (int64_t i = mark; i < log_console_count(); i++)
    said += log_line_full(i, line, sizeof line) &&
            strstr(line, "firewall: cannot read /etc/ufw/user.rules (Permission denied)");
  EXPECT_EQ(said, 2);
}

// The real runner, with a script in pkexec's place: it records its arguments and answers as
// pkexec would.
TEST_F(Firewall, TheElevatedCommandRunsAndIsFollowed) {
  TmpDir dir("pkexec");
  const struct {
    const char* what;
    int exit_status;
    int req;
  } cases[] = {{"allowed", 0, FIREWALL_REQ_DONE},
               {"dismissed", 126, FIREWALL_REQ_CANCELLED},
               {"not authorized", 127, FIREWALL_REQ_FAILED}};
  for (const auto& c : cases) {
    SetUp();
    s.program = dir / "pkexec";
    tmpdir_write(s.program, "#!/bin/sh\nsleep 0.2\nprintf '%s\\n' \"$@\" > '" + dir.path +
                                "/args'\nexit " + std::to_string(c.exit_status) + "\n");
    ASSERT_EQ(chmod(s.program.c_str(), 0755), 0);
    FirewallSystem real = firewall_real_system();
    real.check = check;
    real.start = start_real;
    firewall_set_system(&real);
    firewall_request(1);
    EXPECT_EQ(firewall_request_state(), FIREWALL_REQ_ASKING) << c.what;
    double now = 1;
    for (int i = 0; i < 500 && firewall_request_state() == FIREWALL_REQ_ASKING; i++) {
      firewall_poll(now += 0.001);
      platform_sleep_ms(10);
    }
    EXPECT_EQ(firewall_request_state(), c.req) << c.what;
    EXPECT_EQ(tmpdir_read(dir / "args"), "ufw\nallow\n47480:47499/tcp\ncomment\nSeaGlass stream\n");
    EXPECT_EQ(s.checks, 2) << c.what << ": checked again when it ended";
  }
  // Nothing to run: the real start fails at once.
  SetUp();
  s.program = dir / "missing";
  FirewallSystem real = firewall_real_system();
  real.check = check;
  real.start = start_real;
  firewall_set_system(&real);
  firewall_request(1);
  EXPECT_EQ(firewall_request_state(), FIREWALL_REQ_FAILED);
}
