#include "support/xvfb.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

extern char** environ;

struct Xvfb {
  pid_t pid;
  std::string display;
};

Xvfb* xvfb_start(int width, int height, int dpi) {
  int fds[2];
  if (pipe(fds) != 0) return nullptr;
  char geometry[64];
  snprintf(geometry, sizeof geometry, "%dx%dx24", width, height);
  std::vector<std::string> args = {"Xvfb",   "-displayfd",          std::to_string(fds[1]),
                                   "-screen", "0",                   geometry,
                                   "-dpi",    std::to_string(dpi),   "-nolisten",
                                   "tcp",     "-noreset",
                                   // A key held by a slow xdotool must not repeat.
                                   "-ardelay", "60000"};
  std::vector<char*> argv;
  for (std::string& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclose(&fa, fds[0]);
  pid_t pid = -1;
  const int r = posix_spawnp(&pid, "Xvfb", &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  // The display number arrives once the server takes clients.
  char buf[32] = {0};
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  for (int i = 0; r == 0 && i < 500 && read(fds[0], buf, sizeof buf - 1) <= 0; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  close(fds[0]);
  if (r != 0) return nullptr;
  if (!buf[0]) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return nullptr;
  }
  return new Xvfb{pid, ":" + std::to_string(atoi(buf))};
}

std::string xvfb_display(const Xvfb* x) {
  return x ? x->display : std::string();
}

void xvfb_stop(Xvfb* x) {
  if (!x) return;
  kill(x->pid, SIGTERM);
  waitpid(x->pid, nullptr, 0);
  delete x;
}
