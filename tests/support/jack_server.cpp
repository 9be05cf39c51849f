#include "support/jack_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

struct JackServer {
  std::string name;
  pid_t pid = -1;
  int slot_lock = -1;  // held while the name is ours, restarts included
};

struct JackTool {
  pid_t pid = -1;
  int out_fd = -1;
};

namespace {

uint64_t ms_now() {
  return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Spawns argv with stdout to out_fd (or /dev/null) and stderr to /dev/null.
pid_t spawn(const std::vector<std::string>& argv, int out_fd) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  if (out_fd >= 0) {
    posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
  } else {
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int r = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (r != 0) {
    fprintf(stderr, "jack_server: can't start %s: %s\n", args[0], strerror(r));
    return -1;
  }
  return pid;
}

bool alive(pid_t pid) {
  int status;
  return waitpid(pid, &status, WNOHANG) == 0;
}

// Sends sig, waits up to ms for the child, then kills it outright.
void end_child(pid_t pid, int sig, int ms) {
  if (pid <= 0) return;
  kill(pid, sig);
  uint64_t end = ms_now() + (uint64_t)ms;
  int status;
  while (ms_now() < end) {
    if (waitpid(pid, &status, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
}

// The server answers once jack_lsp lists its capture ports.
bool answers() {
  FILE* p = popen("jack_lsp 2>/dev/null", "r");
  if (!p) return false;
  char line[256];
  bool found = false;
  while (fgets(line, sizeof line, p)) found = found || strstr(line, "system:capture_8") != nullptr;
  pclose(p);
  return found;
}

bool launch(JackServer* s, bool quiet = false) {
  s->pid = spawn({"jackd", "--no-realtime", "-n", s->name, "-d", "dummy", "-r", "48000", "-p",
                  "256", "-C", "8", "-P", "2"},
                 -1);
  if (s->pid < 0) return false;
  uint64_t end = ms_now() + 10000;
  while (ms_now() < end) {
    if (!alive(s->pid)) {
      if (!quiet) fprintf(stderr, "jack_server: jackd exited at start\n");
      s->pid = -1;
      return false;
    }
    if (answers()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  fprintf(stderr, "jack_server: jackd did not answer within 10 s\n");
  end_child(s->pid, SIGKILL, 1000);
  s->pid = -1;
  return false;
}

}  // namespace

JackServer* jack_server_start() {
  JackServer* s = new JackServer;
  // Names come from a short list rather than from the process id: JACK's registry has only 8
  // server slots, and a server that dies without tidying up keeps its slot until a server of
  // the same name starts again. A lock on each name keeps tests running side by side apart,
  // also while one of them has its server down on purpose.
  setenv("JACK_NO_START_SERVER", "1", 1);
  setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
  for (int slot = 0; slot < 8; slot++) {
    std::string lock = "/tmp/kelp-jack-" + std::to_string((long)getuid()) + "-" +
                       std::to_string(slot) + ".lock";
    int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) continue;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      continue;
    }
    s->name = "kelp_test_" + std::to_string(slot);
    // Everything in this process (PortAudio included) talks to this server and starts no other.
    setenv("JACK_DEFAULT_SERVER", s->name.c_str(), 1);
    if (launch(s, true)) {
      s->slot_lock = fd;
      return s;
    }
    close(fd);  // held by something that isn't a test of ours: try the next name
  }
  fprintf(stderr, "jack_server: jackd would not start under any of the test names\n");
  delete s;
  return nullptr;
}

const char* jack_server_name(const JackServer* s) {
  return s ? s->name.c_str() : "";
}

bool jack_server_kill(JackServer* s) {
  if (!s || s->pid < 0) return false;
  end_child(s->pid, SIGTERM, 5000);
  s->pid = -1;
  return true;
}

bool jack_server_kill_hard(JackServer* s) {
  if (!s || s->pid < 0) return false;
  end_child(s->pid, SIGKILL, 5000);
  s->pid = -1;
  return true;
}

bool jack_server_restart(JackServer* s) {
  if (!s) return false;
  if (s->pid >= 0) jack_server_kill(s);
  return launch(s);
}

void jack_server_stop(JackServer* s) {
  if (!s) return;
  jack_server_kill(s);
  if (s->slot_lock >= 0) close(s->slot_lock);
  delete s;
}

JackTool* jack_tool_start(const std::string& path, const std::vector<std::string>& args,
                          int ready_timeout_ms) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
  std::vector<std::string> argv = {path};
  argv.insert(argv.end(), args.begin(), args.end());
  JackTool* t = new JackTool;
  t->pid = spawn(argv, fds[1]);
  close(fds[1]);
  t->out_fd = fds[0];
  if (t->pid < 0) {
    jack_tool_stop(t);
    return nullptr;
  }
  std::string seen;
  uint64_t end = ms_now() + (uint64_t)ready_timeout_ms;
  while (ms_now() < end) {
    struct pollfd p = {t->out_fd, POLLIN, 0};
    if (poll(&p, 1, 20) > 0) {
      char buf[256];
      ssize_t n = read(t->out_fd, buf, sizeof buf);
      if (n <= 0) break;
      seen.append(buf, (size_t)n);
      if (seen.find("ready\n") != std::string::npos) return t;
    }
  }
  fprintf(stderr, "jack_server: %s did not get ready (said: %s)\n", path.c_str(), seen.c_str());
  jack_tool_stop(t);
  return nullptr;
}

void jack_tool_stop(JackTool* t) {
  if (!t) return;
  end_child(t->pid, SIGTERM, 3000);
  if (t->out_fd >= 0) close(t->out_fd);
  delete t;
}
