// A private X server for the benchmarks that need a display: Xvfb on a free display number it
// picks itself (-displayfd), started on first use and ended at exit. display is "" without Xvfb.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

struct BenchDisplay {
  pid_t pid = -1;
  std::string display;
  BenchDisplay() {
    int fds[2];
    if (pipe(fds) != 0) return;
    std::string fd = std::to_string(fds[1]);
    std::vector<std::string> args = {"Xvfb", "-displayfd", fd, "-screen", "0", "1600x1000x24",
                                     "-nolisten", "tcp"};
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    if (posix_spawnp(&pid, "Xvfb", &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    char buf[16] = {0};
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    for (int i = 0; pid > 0 && i < 200 && read(fds[0], buf, sizeof buf - 1) <= 0; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    close(fds[0]);
    if (buf[0]) display = std::string(":") + std::to_string(atoi(buf));
  }
  ~BenchDisplay() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

inline BenchDisplay& bench_display() {
  static BenchDisplay x;
  return x;
}
