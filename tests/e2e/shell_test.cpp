// The program with its window: the first frame, the screenshot request, a take from a tone, the
// window's placement and the failures at start.
#include "e2e/shell_fixture.h"

namespace {

using namespace shell_fixture;

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
  std::string tapes = test_output("ls " + home + "/Music/kelp/*/tape.f32 2>/dev/null");
  EXPECT_FALSE(tapes.empty());
}

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
  const int lane = (44 + shot.h - 64) / 2;  // the canvas sits between the top bar and the status bar
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
  ASSERT_GE(first, 0) << "no leaves on the lane line" << tmpdir_read(dir / "tone.out");
  const int len = last - first;
  ASSERT_GT(len, 200) << first << ".." << last << "\n" << tmpdir_read(dir / "tone.out");
  // A far body crossing the lane line may add to the tallest column, so the quiet part is judged
  // by its middle column and the loud part by its tallest.
  const int quiet = shot.median_reach(first + len / 10, first + 4 * len / 10, lane);
  const int loud = shot.reach(first + 6 * len / 10, first + 9 * len / 10, lane);
  EXPECT_GT(loud, 60);
  EXPECT_GT(loud, 2 * quiet) << "quiet " << quiet << ", loud " << loud;
  if (last + 60 < shot.w - 30) {
    // Past the take: the sky. A rock or a far body may cross the line anywhere, so the middle
    // column stands for the stretch.
    EXPECT_LT(shot.median_reach(last + 40, shot.w - 30, lane), loud / 2);
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
