#include "support/avahi_test.h"

#include <avahi-client/client.h>
#include <avahi-common/simple-watch.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/process.h"
#include "support/tmpdir.h"

namespace {

bool on_path(const char* prog) {
  return !test_output(std::string("command -v ") + prog + " 2>/dev/null").empty();
}

// Starts a daemon that dies with the child that started it.
pid_t spawn(std::vector<const char*> argv, const std::string& log) {
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    argv.push_back(nullptr);
    execvp(argv[0], (char* const*)argv.data());
    _exit(127);
  }
  return pid;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; i++, usleep(20000)) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

bool responder_running() {
  AvahiSimplePoll* p = avahi_simple_poll_new();
  int error = 0;
  AvahiClient* c = avahi_client_new(avahi_simple_poll_get(p), (AvahiClientFlags)0, nullptr,
                                    nullptr, &error);
  bool ok = c && avahi_client_get_state(c) == AVAHI_CLIENT_S_RUNNING;
  if (c) avahi_client_free(c);
  avahi_simple_poll_free(p);
  return ok;
}

const char kBus[] = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%s</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

const char kAvahi[] = R"([server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=sg0
enable-dbus=yes
disallow-other-stacks=no
ratelimit-interval-usec=0
[publish]
publish-hinfo=no
publish-workstation=no
[rlimits]
)";

// In the child: the namespace, the bus and the responder. "" when all are up.
std::string bring_up(const std::string& dir, pid_t* bus, pid_t* avahi) {
  if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) return std::string("unshare: ") + strerror(errno);
  // Nothing mounted here may leak out, and /run hides the machine's bus and responder sockets.
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return "mount private";
  if (mount("none", "/run", "tmpfs", 0, "mode=0755") != 0) return "tmpfs on /run";
  if (system("ip link set lo up && ip link add sg0 type veth peer name sg1 && "
             "ip addr add 10.77.0.1/24 dev sg0 && ip link set sg1 up && "
             "ip link set sg0 up multicast on") != 0)
    return "ip link setup failed";
  char conf[2048];
  std::string sock = dir + "/bus";
  snprintf(conf, sizeof conf, kBus, sock.c_str());
  tmpdir_write(dir + "/bus.conf", conf);
  tmpdir_write(dir + "/avahi.conf", kAvahi);
  setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + sock).c_str(), 1);
  std::string bus_conf = "--config-file=" + dir + "/bus.conf";
  *bus = spawn({"dbus-daemon", bus_conf.c_str(), "--nofork", "--nopidfile"}, dir + "/bus.log");
  struct stat st;
  for (int i = 0; i < 100 && stat(sock.c_str(), &st) != 0; i++) usleep(20000);
  if (stat(sock.c_str(), &st) != 0) return "dbus-daemon did not start";
  std::string avahi_conf = dir + "/avahi.conf";
  *avahi = spawn({"avahi-daemon", "--no-drop-root", "--no-chroot", "--no-rlimits", "-f",
                  avahi_conf.c_str()},
                 dir + "/avahi.log");
  for (int i = 0; i < 100; i++, usleep(50000)) {
    if (responder_running()) return "";
  }
  return "avahi-daemon did not start: " + tmpdir_read(dir + "/avahi.log");
}

}  // namespace

std::string avahi_lab_unavailable() {
  if (geteuid() != 0) return "needs root for a network namespace of its own";
  for (const char* p : {"ip", "dbus-daemon", "avahi-daemon", "avahi-browse", "avahi-publish"}) {
    if (!on_path(p)) return std::string(p) + " is not installed";
  }
  return "";
}

std::string avahi_lab_browse(const char* type) {
  return test_output(std::string("timeout 5 avahi-browse -rpt ") + type + " 2>/dev/null");
}

std::string avahi_lab_run(const std::function<std::string()>& fn, double timeout_s) {
  TmpDir dir("avahi");
  if (dir.path.empty()) return "lab: no scratch folder";
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return "lab: pipe";
  pid_t child = fork();
  if (child < 0) return "lab: fork";
  if (child == 0) {
    close(p[0]);
    pid_t bus = -1, avahi = -1;
    std::string r = bring_up(dir.path, &bus, &avahi);
    r = r.empty() ? fn() : "lab: " + r;
    stop(avahi);
    stop(bus);
    if (write(p[1], r.data(), r.size()) < 0) _exit(2);
    _exit(0);
  }
  close(p[1]);
  std::string out;
  double end = test_seconds() + timeout_s;
  bool done = false;
  while (!done) {
    int left = (int)((end - test_seconds()) * 1000);
    if (left <= 0) break;
    struct pollfd pf = {p[0], POLLIN, 0};
    if (poll(&pf, 1, left) <= 0) break;
    char buf[512];
    ssize_t n = read(p[0], buf, sizeof buf);
    if (n <= 0) done = true;
    else out.append(buf, (size_t)n);
  }
  close(p[0]);
  if (!done) {
    kill(child, SIGKILL);
    out = "lab: timed out after " + std::to_string(timeout_s) + " s; " + out;
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (done && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) out += " (child died)";
  return out;
}
