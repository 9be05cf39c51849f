// End-to-end runs: a private JACK server, the headless driver (tools/kelp_headless) as a child
// process with HOME pointed at a scratch folder, the tone tool playing into its inputs, and
// readers for what lands in the sketch folders. The driver answers every command line with
// "ok ..." or "error ..." on its standard output; the fixture waits for those answers.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "store/files.h"
#include "store/meta.h"
#include "support/jack_server.h"
#include "support/process.h"
#include "support/tmpdir.h"

extern char** environ;

namespace e2e {

inline bool run_ok(const std::string& command) {
  return system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Interleaved stereo floats of a tape.f32.
inline std::vector<float> read_tape(const std::string& path) {
  std::string bytes = tmpdir_read(path);
  std::vector<float> v(bytes.size() / sizeof(float));
  if (!v.empty()) memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
  return v;
}

// Amplitude of a steady sine on one channel over frames [from, to): its RMS times sqrt(2).
inline double sine_amplitude(const std::vector<float>& tape, int64_t from, int64_t to, int ch) {
  double sum = 0;
  int64_t n = 0;
  for (int64_t i = std::max<int64_t>(from, 0); i < to && (size_t)(i * 2 + ch) < tape.size();
       i++, n++)
    sum += (double)tape[(size_t)(i * 2 + ch)] * tape[(size_t)(i * 2 + ch)];
  return n > 0 ? std::sqrt(sum / (double)n) * std::sqrt(2.0) : 0.0;
}

// Upward zero crossings of the left channel over [from, to): a sine's frequency times the span.
inline int rising_crossings(const std::vector<float>& tape, int64_t from, int64_t to) {
  int n = 0;
  for (int64_t i = from + 1; i < to && (size_t)(i * 2) < tape.size(); i++)
    if (tape[(size_t)(i - 1) * 2] < 0.0f && tape[(size_t)i * 2] >= 0.0f) n++;
  return n;
}

// What sox says of a WAV: rate, frames, channels and its largest sample.
struct SoxInfo {
  double rate = 0;
  int64_t frames = -1;
  int channels = 0;
  double max_amplitude = -1;
};

inline SoxInfo sox_info(const std::string& wav) {
  SoxInfo info;
  std::string q = "'" + wav + "'";
  info.rate = atof(test_output("sox --i -r " + q + " 2>/dev/null").c_str());
  std::string s = test_output("sox --i -s " + q + " 2>/dev/null");
  if (!s.empty()) info.frames = atoll(s.c_str());
  info.channels = atoi(test_output("sox --i -c " + q + " 2>/dev/null").c_str());
  std::string stat = test_output("sox " + q + " -n stat 2>&1");
  size_t at = stat.find("Maximum amplitude:");
  if (at != std::string::npos) info.max_amplitude = atof(stat.c_str() + at + 18);
  return info;
}

// ffprobe's sample rate and length in samples of the first audio stream.
inline std::pair<double, int64_t> ffprobe_rate_samples(const std::string& file) {
  std::string out = test_output(
      "ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate,duration_ts "
      "-of default=nw=1 '" +
      file + "' 2>/dev/null");
  double rate = 0;
  int64_t samples = -1;
  size_t a = out.find("sample_rate=");
  if (a != std::string::npos) rate = atof(out.c_str() + a + 12);
  size_t b = out.find("duration_ts=");
  if (b != std::string::npos) samples = atoll(out.c_str() + b + 12);
  return {rate, samples};
}

inline std::vector<std::string> list_dir(const std::string& folder) {
  std::vector<std::string> names;
  std::string out = test_output("ls -1A '" + folder + "' 2>/dev/null");
  size_t start = 0;
  while (start < out.size()) {
    size_t nl = out.find('\n', start);
    if (nl == std::string::npos) nl = out.size();
    if (nl > start) names.push_back(out.substr(start, nl - start));
    start = nl + 1;
  }
  return names;
}

inline std::vector<std::string> files_ending(const std::string& folder, const char* ext) {
  std::vector<std::string> out;
  for (const std::string& n : list_dir(folder))
    if (n.size() > strlen(ext) && n.compare(n.size() - strlen(ext), strlen(ext), ext) == 0)
      out.push_back(folder + "/" + n);
  return out;
}

// meta.json of a sketch folder, read by our own reader; the caller frees it (meta_free).
inline bool load_meta(const std::string& folder, SketchMeta* out) {
  bool dirty = false;
  char msg[256];
  return meta_load_folder(folder.c_str(), out, &dirty, msg, sizeof msg) == META_OK;
}

class E2ETest : public ::testing::Test {
 protected:
  TmpDir dir{"e2e"};
  std::string home;
  std::string library;  // where the driver keeps its sketches
  std::string exports;
  JackServer* server = nullptr;
  JackTool* tone = nullptr;
  pid_t pid = -1;
  int in_fd = -1;
  int out_fd = -1;
  std::string out_buffer;
  std::vector<std::string> statuses;
  std::vector<std::string> output;  // lines read while waiting for the exit
  int exit_code = -1;
  bool ready_retried = false;  // the first wait-ready timed out: the driver counts it as failed

  void SetUp() override {
    ASSERT_FALSE(dir.path.empty());
    home = dir / "home";
    library = home + "/Music/kelp";
    exports = library + "/exports";
    ASSERT_EQ(fsys_make_folders((home + "/.config/SeaGlass").c_str()), 0);
    // The private server's only device.
    tmpdir_write(home + "/.config/SeaGlass/kelp.ini", "device = system\n");
    server = jack_server_start();
    ASSERT_NE(server, nullptr) << "jackd (package jackd2) must be installed and startable";
  }

  void TearDown() override {
    if (pid > 0) {
      kill(pid, SIGKILL);
      int st;
      waitpid(pid, &st, 0);
      pid = -1;
      ADD_FAILURE() << "the driver had to be killed";
    }
    if (HasFailure()) {
      printf("---- the driver's log ----\n%s\n", log().c_str());
      // Anything else it said: sanitizer reports, or a start that never opened the log.
      std::string err = tmpdir_read(dir / "driver.stderr");
      size_t other = err.find("\n=");
      if (other != std::string::npos)
        printf("---- the driver's stderr ----\n%s\n", err.c_str() + other);
    }
    close_pipes();
    jack_tool_stop(tone);
    jack_server_stop(server);
  }

  void close_pipes() {
    if (in_fd >= 0) close(in_fd);
    if (out_fd >= 0) close(out_fd);
    in_fd = out_fd = -1;
  }

  // Starts the driver on script (a file), or on standard input from this test when empty.
  void start_driver(const std::string& script = "") {
    int in[2] = {-1, -1}, out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    if (script.empty()) {
      ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    }
    std::vector<std::string> env;
    for (char** e = environ; *e; e++)
      if (strncmp(*e, "HOME=", 5) != 0 && strncmp(*e, "XDG_", 4) != 0) env.push_back(*e);
    env.push_back("HOME=" + home);
    env.push_back("XDG_CONFIG_HOME=" + home + "/.config");
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = jack_tool_path("kelp_headless");
    std::vector<char*> argv = {exe.data()};
    std::string script_arg = script;
    if (!script.empty()) argv.push_back(script_arg.data());
    argv.push_back(nullptr);
    std::string err = dir / "driver.stderr";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (script.empty())
      posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    else
      posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int r = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    out_fd = out[0];
    if (script.empty()) {
      close(in[0]);
      in_fd = in[1];
    }
    ASSERT_EQ(r, 0) << "can't start " << exe;
  }

  // The next line of the driver's output within timeout seconds; false at its end or timeout.
  bool read_line(std::string* line, double timeout) {
    const double end = test_seconds() + timeout;
    for (;;) {
      size_t nl = out_buffer.find('\n');
      if (nl != std::string::npos) {
        *line = out_buffer.substr(0, nl);
        out_buffer.erase(0, nl + 1);
        return true;
      }
      double left = end - test_seconds();
      if (left <= 0 || out_fd < 0) return false;
      struct pollfd p = {out_fd, POLLIN, 0};
      if (poll(&p, 1, (int)std::min(left * 1000.0 + 1, 100.0)) <= 0) continue;
      char buf[1024];
      ssize_t n = read(out_fd, buf, sizeof buf);
      if (n <= 0) return false;
      out_buffer.append(buf, (size_t)n);
    }
  }

  // Sends one command and waits for its answer: true for "ok". An "error" answer fails the test
  // unless it is allowed.
  bool send(const std::string& command, bool error_allowed = false) {
    std::string line = command + "\n";
    if (in_fd < 0 || write(in_fd, line.data(), line.size()) != (ssize_t)line.size()) {
      ADD_FAILURE() << "the driver isn't listening for '" << command << "'";
      return false;
    }
    const double end = test_seconds() + 150.0;
    std::string got;
    while (read_line(&got, end - test_seconds())) {
      if (got.rfind("status ", 0) == 0) statuses.push_back(got);
      if (got == "ok " + command) return true;
      if (got.rfind("error " + command + ":", 0) == 0) {
        if (!error_allowed) ADD_FAILURE() << got;
        return false;
      }
    }
    ADD_FAILURE() << "no answer to '" << command << "'";
    return false;
  }

  // A sketch ready on a running stream. Under heavy load PortAudio may find no JACK device when
  // the driver starts, and the engine only lists devices again when asked to: do what a user
  // would and press retry once.
  bool wait_ready() {
    if (send("wait-ready 10", true)) return true;
    printf("note: no running stream after 10 s - asking the engine to retry\n");
    ready_retried = true;
    return send("audio retry") && send("wait-ready");
  }

  // The driver's status as key=value pairs.
  std::map<std::string, std::string> status() {
    std::map<std::string, std::string> kv;
    statuses.clear();
    if (!send("status") || statuses.empty()) return kv;
    std::string s = statuses.back().substr(7);
    size_t start = 0;
    while (start < s.size()) {
      size_t sp = s.find(' ', start);
      if (sp == std::string::npos) sp = s.size();
      std::string pair = s.substr(start, sp - start);
      size_t eq = pair.find('=');
      if (eq != std::string::npos) kv[pair.substr(0, eq)] = pair.substr(eq + 1);
      start = sp + 1;
    }
    return kv;
  }

  // The tone into the driver's first two inputs; the driver's stream must be running.
  void start_tone(double level, double freq = 440.0) {
    char l[32], f[32];
    snprintf(l, sizeof l, "%g", level);
    snprintf(f, sizeof f, "%g", freq);
    // The tone source gives up when the driver's ports aren't there within seconds; a script may
    // still be waiting for its stream (and a retry), so it is started again a few times.
    for (int attempt = 0; attempt < 4 && !tone; attempt++) {
      if (attempt > 0) printf("note: the tone source didn't connect - starting it again\n");
      tone = jack_tool_start(jack_tool_path("jack_tone"),
                             {"--level", l, "--freq", f, "--to", "PortAudio", "--ports", "2"}, 8000);
    }
    ASSERT_NE(tone, nullptr);
  }

  // Waits for the driver to exit (after "quit" or the end of its script); its exit code.
  int wait_exit(double timeout = 60.0) {
    const double end = test_seconds() + timeout;
    int st = 0;
    while (pid > 0 && test_seconds() < end) {
      pid_t r = waitpid(pid, &st, WNOHANG);
      if (r == pid) {
        pid = -1;
        exit_code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        break;
      }
      std::string line;
      if (read_line(&line, 0.05)) output.push_back(line);  // keep its output flowing
    }
    std::string line;
    while (read_line(&line, 0.0)) output.push_back(line);
    close_pipes();
    // That timed-out wait is the only failure the driver counts then (others fail in send()).
    if (ready_retried && exit_code == 2) return 0;
    return exit_code;
  }

  int quit() {
    send("quit");
    return wait_exit();
  }

  std::string log() { return tmpdir_read(home + "/.seaglass/kelp.log"); }

  // Sketch folders in the library (exports left out), sorted.
  std::vector<std::string> sketches() {
    std::vector<std::string> out;
    for (const std::string& n : list_dir(library))
      if (n != "exports") out.push_back(library + "/" + n);
    std::sort(out.begin(), out.end());
    return out;
  }

  // The driver with its stream running, a tone at level in its inputs and the signal through.
  void start_with_tone(double level, double freq = 440.0) {
    start_driver();
    ASSERT_TRUE(wait_ready());
    start_tone(level, freq);
    ASSERT_TRUE(send("wait-signal"));
  }
};

// The number after needle in text (the first occurrence), or -1.
inline double number_after(const std::string& text, const std::string& needle) {
  size_t at = text.find(needle);
  return at == std::string::npos ? -1.0 : atof(text.c_str() + at + needle.size());
}

}  // namespace e2e
