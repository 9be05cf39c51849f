// The program with its window, for real: a private X server (Xvfb) and a private JACK server,
// kelp-nova started as a child with HOME in a scratch folder, keys and the pointer sent with
// xdotool, the window read back with xdotool and the screenshot request.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/fsys.h"
#include "support/jack_server.h"
#include "support/process.h"
#include "support/tmpdir.h"
#include "support/xvfb.h"

extern char** environ;

namespace shell_fixture {

inline pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& out_file) {
  std::vector<char*> argv, envp;
  std::vector<std::string> a = args, e = env;
  for (std::string& s : a) argv.push_back(s.data());
  argv.push_back(nullptr);
  for (std::string& s : e) envp.push_back(s.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  pid_t pid = -1;
  int r = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  return r == 0 ? pid : -1;
}

// A screenshot's pixels (the BMP the program saves: 32-bit, bottom-up rows).
struct Shot {
  int w = 0, h = 0;
  std::string data;
  size_t offset = 0;
  bool top_down = false;
  bool load(const std::string& bmp) {
    if (bmp.size() < 54 || bmp.compare(0, 2, "BM") != 0) return false;
    auto i32 = [&](size_t at) {
      int32_t v;
      memcpy(&v, bmp.data() + at, 4);
      return v;
    };
    offset = (size_t)i32(10);
    w = i32(18);
    h = i32(22);
    top_down = h < 0;
    if (h < 0) h = -h;
    data = bmp;
    return w > 0 && h > 0 && offset + (size_t)w * (size_t)h * 4 <= bmp.size();
  }
  int brightness(int x, int y) const {
    const int row = top_down ? y : h - 1 - y;
    const uint8_t* p = (const uint8_t*)data.data() + offset + ((size_t)row * (size_t)w + (size_t)x) * 4;
    return p[0] + p[1] + p[2];
  }
  // How far leaves reach up and down from a lane line in columns [x0, x1): the tallest unbroken
  // run of lit pixels through the line (stars and gas are not joined to it).
  int reach(int x0, int x1, int lane) const {
    int best = 0;
    for (int x = x0; x < x1; x++) {
      int up = 0, down = 0;
      while (lane - up - 1 >= 0 && brightness(x, lane - up - 1) > 100) up++;
      while (lane + down + 1 < h && brightness(x, lane + down + 1) > 100) down++;
      best = std::max(best, up + down);
    }
    return best;
  }
  // The same, but the middle column's reach: one sky body crossing the line does not move it.
  int median_reach(int x0, int x1, int lane) const {
    std::vector<int> r;
    for (int x = x0; x < x1; x++) r.push_back(reach(x, x + 1, lane));
    if (r.empty()) return 0;
    std::nth_element(r.begin(), r.begin() + r.size() / 2, r.end());
    return r[r.size() / 2];
  }
};


class ShellTest : public ::testing::Test {
 protected:
  TmpDir dir{"shell"};
  std::string home, ini, shots, log_file;
  Xvfb* x = nullptr;
  std::string display;
  JackServer* jack = nullptr;
  pid_t pid = -1;
  int exit_code = -1;

  void SetUp() override {
    home = dir / "home";
    ini = home + "/.config/SeaGlass/kelp.ini";
    shots = dir / "shots";
    log_file = dir / "kelp.out";
    ASSERT_EQ(fsys_make_folders((home + "/.config/SeaGlass").c_str()), 0);
    ASSERT_EQ(fsys_make_folders(shots.c_str()), 0);
    tmpdir_write(ini, "device = system\n");
  }

  void TearDown() override {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      ADD_FAILURE() << "the program had to be killed";
    }
    if (HasFailure()) printf("---- the program's log ----\n%s\n", log().c_str());
    jack_server_stop(jack);
    xvfb_stop(x);
  }

  void start_servers(int width = 1600, int height = 1000, int dpi = 96) {
    x = xvfb_start(width, height, dpi);
    ASSERT_NE(x, nullptr) << "Xvfb (package xvfb) must be installed";
    display = xvfb_display(x);
    jack = jack_server_start();
    ASSERT_NE(jack, nullptr);
  }

  std::vector<std::string> env(bool with_display = true) {
    std::vector<std::string> e;
    for (char** p = environ; *p; p++) {
      if (strncmp(*p, "HOME=", 5) == 0 || strncmp(*p, "XDG_", 4) == 0 ||
          strncmp(*p, "DISPLAY=", 8) == 0 || strncmp(*p, "WAYLAND_DISPLAY=", 16) == 0 ||
          strncmp(*p, "DBUS_", 5) == 0)
        continue;
      e.push_back(*p);
    }
    e.push_back("HOME=" + home);
    e.push_back("XDG_CONFIG_HOME=" + home + "/.config");
    e.push_back("KELP_SCREENSHOT_DIR=" + shots);
    e.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (dir / "no-bus"));
    if (with_display) e.push_back("DISPLAY=" + display);
    return e;
  }

  void start_program(bool with_display = true) {
    pid = spawn({std::string(KELP_BINARY_DIR) + "/kelp-nova"}, env(with_display), log_file);
    ASSERT_GT(pid, 0);
  }

  std::string log() { return tmpdir_read(log_file); }

  bool wait_log(const std::string& needle, double timeout) {
    const double end = test_seconds() + timeout;
    while (test_seconds() < end) {
      if (log().find(needle) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  std::string xdotool(const std::string& args) {
    return test_output("DISPLAY=" + display + " xdotool " + args + " 2>/dev/null");
  }

  // The program's window id once it is mapped.
  std::string window(double timeout = 20.0) {
    const double end = test_seconds() + timeout;
    while (test_seconds() < end) {
      std::string id = xdotool("search --onlyvisible --name '^Kelp NOVA'");
      if (!id.empty()) return id.substr(0, id.find('\n'));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "";
  }

  std::string win;  // the window the helpers below send to

  void key(const std::string& keys) { xdotool("key --window " + win + " " + keys); }
  void move(int x, int y) { xdotool("mousemove --window " + win + " " + std::to_string(x) + " " + std::to_string(y)); }
  void click(int x, int y) {
    move(x, y);
    xdotool("click 1");
  }
  Shot screenshot() {
    Shot shot;
    const size_t before = count_of("main: screenshot ");
    tmpdir_write(shots + "/kelp_screenshot_request", "");
    const double end = test_seconds() + 5.0;
    while (test_seconds() < end && count_of("main: screenshot ") == before)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    shot.load(tmpdir_read(shots + "/kelp_screenshot.bmp"));
    return shot;
  }
  size_t count_of(const std::string& needle) {
    const std::string text = log();
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) n++;
    return n;
  }
  bool wait_count(const std::string& needle, size_t n, double timeout) {
    const double end = test_seconds() + timeout;
    while (test_seconds() < end) {
      if (count_of(needle) >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // Polls until done() or the timeout.
  bool wait_for(const std::function<bool()>& done, double timeout) {
    const double end = test_seconds() + timeout;
    while (test_seconds() < end) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  int wait_exit(double timeout = 60.0) {
    const double end = test_seconds() + timeout;
    int st = 0;
    while (pid > 0 && test_seconds() < end) {
      if (waitpid(pid, &st, WNOHANG) == pid) {
        pid = -1;
        exit_code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return exit_code;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }
};

}  // namespace shell_fixture
