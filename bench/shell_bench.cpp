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

#include "bench_display.h"
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

pid_t spawn(std::vector<std::string> args, std::vector<std::string> env, const char* out) {
  std::vector<char*> argv, envp;
  for (std::string& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

// A scratch home with kelp.ini holding ini, and the program's environment pointing at it and at
// the display; "" when no scratch folder could be made.
std::string scratch_home(const std::string& ini, const std::string& display,
                         std::vector<std::string>* env) {
  char tmpl[] = "/tmp/kelp-shellbench-XXXXXX";
  if (!mkdtemp(tmpl)) return "";
  const std::string home = tmpl;
  const std::string config = home + "/.config/SeaGlass";
  fsys_make_folders(config.c_str());
  file_write_atomic((config + "/kelp.ini").c_str(), ini.data(), ini.size());
  for (char** e = environ; *e; e++)
    if (strncmp(*e, "HOME=", 5) && strncmp(*e, "XDG_", 4) && strncmp(*e, "DISPLAY=", 8))
      env->push_back(*e);
  env->push_back("HOME=" + home);
  env->push_back("XDG_CONFIG_HOME=" + home + "/.config");
  env->push_back("DISPLAY=" + display);
  env->push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + home + "/no-bus");
  env->push_back("JACK_NO_START_SERVER=1");
  return home;
}

void BM_StartToFirstFrame(benchmark::State& state) {
  BenchDisplay& x = bench_display();
  if (x.display.empty()) {
    state.SkipWithError("no Xvfb");
    return;
  }
  const bool full = state.range(0) > 0;
  const std::string library = full ? library_folder().dir : std::string();
  std::string ini = "device = none\n";
  if (full) ini += "library_dir = " + library + "\n";
  std::vector<std::string> env;
  const std::string home = scratch_home(ini, x.display, &env);
  if (home.empty()) {
    state.SkipWithError("no scratch folder");
    return;
  }
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

// CPU time of a process (user + system), seconds, from /proc.
double cpu_seconds(pid_t pid) {
  std::string stat = read_all("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream in(stat.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && in >> field; i++) {
    if (i == 14) utime = atoll(field.c_str());
    if (i == 15) stime = atoll(field.c_str());
  }
  return (double)(utime + stime) / (double)sysconf(_SC_CLK_TCK);
}

// The whole program idle (a new empty sketch, no audio server, focused window): what its frame
// loop costs the machine, as CPU milliseconds per second.
void BM_IdleShellCpu(benchmark::State& state) {
  BenchDisplay& x = bench_display();
  if (x.display.empty()) {
    state.SkipWithError("no Xvfb");
    return;
  }
  std::vector<std::string> env;
  const std::string home = scratch_home("device = none\n", x.display, &env);
  if (home.empty()) {
    state.SkipWithError("no scratch folder");
    return;
  }
  const std::string out = home + "/kelp.out";
  pid_t pid = spawn({std::string(KELP_BINARY_DIR) + "/kelp-nova"}, env, out.c_str());
  const double end = seconds() + 30.0;
  while (pid > 0 && seconds() < end && read_all(out).find("first frame") == std::string::npos)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  double per_second = 0;
  for (auto _ : state) {
    const double c0 = cpu_seconds(pid), t0 = seconds();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    per_second = (cpu_seconds(pid) - c0) / (seconds() - t0);
    state.SetIterationTime(per_second);
  }
  state.counters["cpu_ms_per_s"] = per_second * 1000.0;
  if (pid > 0) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  tree_delete(home.c_str());
}
BENCHMARK(BM_IdleShellCpu)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
