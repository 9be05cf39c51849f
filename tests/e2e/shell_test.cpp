// The program with its window, for real: a private X server (Xvfb) and a private JACK server,
// kelp-nova started as a child with HOME in a scratch folder, keys sent with xdotool, the window
// read back with xdotool and the screenshot request.
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
#include <string>
#include <thread>
#include <vector>

#include "platform/fsys.h"
#include "support/jack_server.h"
#include "support/tmpdir.h"
#include "support/xvfb.h"

extern char** environ;

namespace {

double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string output_of(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) out += buf;
  pclose(p);
  return out;
}

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
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
    const double end = now_s() + timeout;
    while (now_s() < end) {
      if (log().find(needle) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  std::string xdotool(const std::string& args) {
    return output_of("DISPLAY=" + display + " xdotool " + args + " 2>/dev/null");
  }

  // The program's window id once it is mapped.
  std::string window(double timeout = 20.0) {
    const double end = now_s() + timeout;
    while (now_s() < end) {
      std::string id = xdotool("search --onlyvisible --name '^Kelp NOVA'");
      if (!id.empty()) return id.substr(0, id.find('\n'));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "";
  }

  int wait_exit(double timeout = 60.0) {
    const double end = now_s() + timeout;
    int st = 0;
    while (pid > 0 && now_s() < end) {
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

TEST_F(ShellTest, ShowsAfterTheFirstFrameTakesAScreenshotAndRecordsUntilSigterm) {
  start_servers();
  start_program();
  std::string win = window();
  ASSERT_FALSE(win.empty()) << "no window";
  // Hidden until a frame was drawn.
  std::string text = log();
  EXPECT_NE(text.find("main: first frame after"), std::string::npos);
  ASSERT_TRUE(wait_log("session: ", 20.0));
  ASSERT_TRUE(wait_log(" ready (", 20.0));
  EXPECT_EQ(xdotool("getwindowname " + win).rfind("Kelp NOVA - ", 0), 0u);

  // The screenshot request.
  tmpdir_write(shots + "/kelp_screenshot_request", "");
  ASSERT_TRUE(wait_log("main: screenshot ", 5.0));
  std::string bmp = tmpdir_read(shots + "/kelp_screenshot.bmp");
  ASSERT_GT(bmp.size(), 54u);
  EXPECT_EQ(bmp.substr(0, 2), "BM");
  FsysInfo info;
  EXPECT_NE(fsys_info((shots + "/kelp_screenshot_request").c_str(), &info), 0u);

  // A take with real keys, then the desktop ends the session while it rolls.
  xdotool("windowactivate --sync " + win);
  xdotool("key --window " + win + " r");
  ASSERT_TRUE(wait_log("action: record", 5.0));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  kill(pid, SIGTERM);
  EXPECT_EQ(wait_exit(), 0);
  text = log();
  EXPECT_NE(text.find("main: the desktop session is ending - closing the sketch"),
            std::string::npos);
  EXPECT_NE(text.find("main: a take is rolling - stopping it so it lands"), std::string::npos);
  EXPECT_NE(text.find("main: everything landed in"), std::string::npos);
  // The take is on disk: one sketch folder with a tape of audio.
  std::string tapes = output_of("ls " + home + "/Music/kelp/*/tape.f32 2>/dev/null");
  EXPECT_FALSE(tapes.empty());
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
};

TEST_F(ShellTest, ATakeRecordedFromAToneStandsAsLeavesTallerWhereItWasLouder) {
  start_servers();
  start_program();
  std::string win = window();
  ASSERT_FALSE(win.empty()) << "no window";
  ASSERT_TRUE(wait_log(" ready (", 20.0));
  ASSERT_TRUE(wait_log("audio: RUNNING", 20.0));
  // Quiet, then (on SIGUSR1) six times louder.
  pid_t tone = spawn({std::string(KELP_BINARY_DIR) + "/tools/jack_tone", "--level", "0.08",
                      "--level2", "0.5", "--freq", "220", "--to", "PortAudio", "--ports", "2"},
                     env(), dir / "tone.out");
  ASSERT_GT(tone, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  xdotool("windowactivate --sync " + win);
  xdotool("mousemove --window " + win + " 500 20");  // the top bar: no glyph, no pull
  xdotool("key --window " + win + " r");
  ASSERT_TRUE(wait_log("action: record", 5.0));
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  kill(tone, SIGUSR1);
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  xdotool("key --window " + win + " r");
  // Landed leaves grow back over four seconds.
  std::this_thread::sleep_for(std::chrono::milliseconds(5500));
  tmpdir_write(shots + "/kelp_screenshot_request", "");
  ASSERT_TRUE(wait_log("main: screenshot ", 5.0));
  Shot shot;
  ASSERT_TRUE(shot.load(tmpdir_read(shots + "/kelp_screenshot.bmp")));
  kill(tone, SIGTERM);
  waitpid(tone, nullptr, 0);

  // The take lies along the lane line in the middle of the canvas: its extent is the longest
  // unbroken run of lit columns there (a star on the line is a short one).
  const int lane = shot.h / 2 - 6;  // the canvas sits between the top bar and the status line
  int first = -1, last = -1, run_start = -1, gap = 0;
  for (int x = 0; x <= shot.w; x++) {
    bool lit = false;
    for (int y = lane - 3; y <= lane + 3 && x < shot.w && !lit; y++) lit = shot.brightness(x, y) > 120;
    if (lit) {
      if (run_start < 0) run_start = x;
      gap = 0;
      if (x - run_start > last - first) {
        first = run_start;
        last = x;
      }
    } else if (run_start >= 0 && ++gap > 4) {
      run_start = -1;
    }
  }
  ASSERT_GE(first, 0) << "no leaves on the lane line";
  const int len = last - first;
  ASSERT_GT(len, 200) << first << ".." << last;
  const int quiet = shot.reach(first + len / 10, first + 4 * len / 10, lane);
  const int loud = shot.reach(first + 6 * len / 10, first + 9 * len / 10, lane);
  EXPECT_GT(loud, 60);
  EXPECT_GT(loud, 2 * quiet) << "quiet " << quiet << ", loud " << loud;
  if (last + 60 < shot.w - 30) {
    // Past the take: the sky (a rock or a far body may cross the line, never a leaf's reach).
    EXPECT_LT(shot.reach(last + 40, shot.w - 30, lane), loud / 2);
  }

  kill(pid, SIGTERM);
  EXPECT_EQ(wait_exit(), 0);
}

TEST_F(ShellTest, DefaultSizeFollowsTheDisplayScaleAndALostPlacementOpensCentred) {
  // 150 %: 1,680 x 1,080 pixels, which this 2,400 x 1,600 screen holds whole.
  start_servers(2400, 1600, 144);
  // Saved on a display that is gone.
  tmpdir_write(ini, "device = system\nwin_x = 5000\nwin_y = 4000\nwin_w = 900\nwin_h = 600\n");
  start_program();
  std::string win = window();
  ASSERT_FALSE(win.empty());
  std::string geo = xdotool("getwindowgeometry " + win);
  int x0 = 0, y0 = 0, w = 0, h = 0;
  const char* pos = strstr(geo.c_str(), "Position: ");
  const char* size = strstr(geo.c_str(), "Geometry: ");
  ASSERT_TRUE(pos && size) << geo;
  sscanf(pos, "Position: %d,%d", &x0, &y0);
  sscanf(size, "Geometry: %dx%d", &w, &h);
  EXPECT_EQ(w, 1680) << geo;
  EXPECT_EQ(h, 1080) << geo;
  EXPECT_NEAR(x0 + w / 2, 1200, 40) << geo;  // centred (a window manager would add nothing)
  EXPECT_NEAR(y0 + h / 2, 800, 40) << geo;
  kill(pid, SIGINT);
  EXPECT_EQ(wait_exit(), 0);
}

TEST_F(ShellTest, AnUnusableLibraryFallsBackAndNoDisplayStopsWithExitOne) {
  start_servers();
  const std::string file = dir / "a-file";
  tmpdir_write(file, "not a folder");
  tmpdir_write(ini, "device = system\nlibrary_dir = " + file + "/kelp\n");
  start_program(false);  // no display at all
  EXPECT_EQ(wait_exit(), 1);
  std::string text = log();
  EXPECT_NE(text.find("isn't usable - using the default this time"), std::string::npos);
  EXPECT_NE(text.find("main: SDL_Init failed: "), std::string::npos);
  EXPECT_NE(text.find("main: SDL_Init failed - Kelp NOVA can't start"), std::string::npos);
}

}  // namespace
