// Opening a 10-minute sketch (a 230 MB tape) as the user waits for it: the program started
// whole (tools/kelp_headless: settings, library scan, audio on a private JACK server, the session
// loading the newest sketch) until it says it is ready, beside dd reading the file into one
// fresh buffer. And the sketch's own share of that wait (the same program opening a two-second
// sketch instead, subtracted), beside a process that only reads the file into memory made the
// way tape chunks are (tools/plain_read): what opening adds to holding the bytes. The file is in
// the page cache for all, as after a save.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "support/jack_server.h"
#include "support/tmpdir.h"

extern char** environ;

namespace {

std::string tool(const char* name) {
  return std::string(KELP_BINARY_DIR) + "/tools/" + name;
}

// The bench's environment with HOME moved to home and the XDG folders left to follow it.
std::vector<std::string> env_with_home(const std::string& home) {
  std::vector<std::string> env;
  for (char** e = environ; *e; e++) {
    if (!strncmp(*e, "HOME=", 5) || !strncmp(*e, "XDG_", 4)) continue;
    env.push_back(*e);
  }
  env.push_back("HOME=" + home);
  return env;
}

// Starts argv with the given environment; its stdin and stdout on pipes when asked.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int* to,
            int* from) {
  int in[2] = {-1, -1}, out[2] = {-1, -1};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (to && pipe2(in, O_CLOEXEC) == 0) posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  if (from && pipe2(out, O_CLOEXEC) == 0) posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  if (!from) posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  std::vector<char*> a, e;
  for (const std::string& s : argv) a.push_back(const_cast<char*>(s.c_str()));
  a.push_back(nullptr);
  for (const std::string& s : env) e.push_back(const_cast<char*>(s.c_str()));
  e.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, a[0], &fa, nullptr, a.data(), e.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  if (to) {
    close(in[0]);
    *to = in[1];
  }
  if (from) {
    close(out[1]);
    *from = out[0];
  }
  return pid;
}

bool exited_well(pid_t pid) {
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

struct OpenBench {
  TmpDir dir{"openbench"};
  std::string home, small_home, tape;
  JackServer* jack = nullptr;
  bool ok = false;

  OpenBench() {
    home = dir / "home";
    small_home = dir / "small";
    std::string id = make(home, 600);
    if (id.empty() || make(small_home, 2).empty()) return;
    tape = home + "/Music/kelp/" + id + "/tape.f32";
    jack = jack_server_start();
    ok = jack != nullptr;
  }
  ~OpenBench() { jack_server_stop(jack); }

  // A library under home with one sketch of the given length; its id, or "" on failure.
  static std::string make(const std::string& in, int seconds) {
    std::string library = in + "/Music/kelp";
    if (system(("mkdir -p '" + library + "'").c_str()) != 0) return "";
    std::string cmd = tool("kelp_make_sketch") + " '" + library + "' --takes 20 --seconds 1 --length " +
                      std::to_string(seconds);
    FILE* p = popen(cmd.c_str(), "r");
    char id[128] = "";
    if (!p || !fgets(id, sizeof id, p)) id[0] = 0;
    if (p && pclose(p) != 0) id[0] = 0;
    id[strcspn(id, "\n")] = 0;
    return id;
  }

  // Seconds from the start to the program's "ok wait-ready"; -1 when it never got there.
  double program(const std::string& in) {
    int to = -1, from = -1;
    double t0 = bench_now();
    pid_t pid = spawn({tool("kelp_headless"), "-"}, env_with_home(in), &to, &from);
    if (pid < 0) return -1;
    const char* script = "wait-ready 60\n";
    if (write(to, script, strlen(script)) < 0) {
    }
    std::string seen;
    double ready = -1;
    char buf[4096];
    while (ready < 0) {
      struct pollfd pfd = {from, POLLIN, 0};
      if (poll(&pfd, 1, 60000) <= 0) break;
      ssize_t n = read(from, buf, sizeof buf);
      if (n <= 0) break;
      seen.append(buf, (size_t)n);
      if (seen.find("ok wait-ready") != std::string::npos) ready = bench_now() - t0;
      if (seen.find("error wait-ready") != std::string::npos) break;
    }
    close(to);  // the script ends: it quits
    while (read(from, buf, sizeof buf) > 0) {
    }
    close(from);
    return exited_well(pid) ? ready : -1;
  }

  double run(const std::vector<std::string>& argv) {
    double t0 = bench_now();
    pid_t pid = spawn(argv, env_with_home(home), nullptr, nullptr);
    return exited_well(pid) ? bench_now() - t0 : -1;
  }
};

void BM_OpenTenMinuteSketch(benchmark::State& state) {
  OpenBench b;
  if (!b.ok) return state.SkipWithError("couldn't make the sketches or start JACK");
  BenchPair whole, share;
  // The page cache holds the files from here on, for every side alike.
  b.program(b.home);
  b.program(b.small_home);
  for (auto _ : state) {
    double ours = b.program(b.home);
    double plain = b.run({tool("plain_read"), b.tape});
    double small = b.program(b.small_home);
    double dd = b.run({"/bin/dd", "if=" + b.tape, "of=/dev/null", "bs=230400000", "count=1",
                       "status=none"});
    if (ours < 0 || plain < 0 || small < 0 || dd < 0) return state.SkipWithError("a run failed");
    whole.ours.push_back(ours);
    whole.anchor.push_back(dd);
    share.ours.push_back(ours - small);
    share.anchor.push_back(plain);
  }
  state.counters["ours_ms"] = bench_median(whole.ours) * 1e3;
  state.counters["two_second_sketch_ms"] = (bench_median(whole.ours) - bench_median(share.ours)) * 1e3;
  state.counters["plain_ms"] = bench_median(share.anchor) * 1e3;
  state.counters["dd_ms"] = bench_median(whole.anchor) * 1e3;
  bench_ratio("open a 10-min sketch, whole process to ready", whole,
              "dd into one fresh 230 MB buffer", 0);
  bench_ratio("open a 10-min sketch, its share (minus a 2-s sketch)", share,
              "plain read into the same memory (a process)", 1.1);
}
BENCHMARK(BM_OpenTenMinuteSketch)->Unit(benchmark::kMillisecond)->Iterations(11);

}  // namespace
