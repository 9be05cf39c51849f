// Start to first presented frame of the whole program under a private X server (Xvfb), as the
// program logs it ("main: first frame after %.0f ms"): with an empty library and with 1,000
// sketches. No audio server: the engine's first open runs on its own thread and is not waited
// for. Skipped where Xvfb is missing.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_library.h"

extern char** environ;

namespace {

double seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string read_all(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

pid_t spawn(std::vector<std::string> args, std::vector<std::string> env, const char* out,
            int pass_fd = -1) {
  std::vector<char*> argv, envp;
  for (std::string& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  (void)pass_fd;
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

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

void BM_StartToFirstFrame(benchmark::State& state) {
  static BenchDisplay x;
  if (x.display.empty()) {
    state.SkipWithError("no Xvfb");
    return;
  }
  const bool full = state.range(0) > 0;
  const std::string library = full ? library_folder().dir : std::string();
  char tmpl[] = "/tmp/kelp-shellbench-XXXXXX";
  if (!mkdtemp(tmpl)) {
    state.SkipWithError("no scratch folder");
    return;
  }
  const std::string home = tmpl;
  const std::string config = home + "/.config/SeaGlass";
  fsys_make_folders(config.c_str());
  std::string ini = "device = none\n";
  if (full) ini += "library_dir = " + library + "\n";
  file_write_atomic((config + "/kelp.ini").c_str(), ini.data(), ini.size());
  std::vector<std::string> env;
  for (char** e = environ; *e; e++)
    if (strncmp(*e, "HOME=", 5) && strncmp(*e, "XDG_", 4) && strncmp(*e, "DISPLAY=", 8))
      env.push_back(*e);
  env.push_back("HOME=" + home);
  env.push_back("XDG_CONFIG_HOME=" + home + "/.config");
  env.push_back("DISPLAY=" + x.display);
  env.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + home + "/no-bus");
  env.push_back("JACK_NO_START_SERVER=1");
  const std::string out = home + "/kelp.out";
  for (auto _ : state) {
    pid_t pid = spawn({std::string(KELP_BINARY_DIR) + "/kelp-nova"}, env, out.c_str());
    double ms = -1;
    const double end = seconds() + 30.0;
    while (pid > 0 && seconds() < end && ms < 0) {
      std::string log = read_all(out);
      size_t at = log.find("main: first frame after ");
      if (at != std::string::npos) ms = atof(log.c_str() + at + 24);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    if (ms < 0) {
      state.SkipWithError("no first frame");
      break;
    }
    state.SetIterationTime(ms / 1000.0);
  }
  state.counters["sketches"] = full ? kBenchSketches : 0;
  tree_delete(home.c_str());
}
BENCHMARK(BM_StartToFirstFrame)
    ->Arg(0)
    ->Arg(1000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace
