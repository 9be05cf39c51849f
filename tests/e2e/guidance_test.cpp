// The guidance in the window: after an update the what's-new card opens by itself once and closing
// it stamps the version; a key cap shows under a top-bar control the pointer rests on.
#include "e2e/shell_fixture.h"

namespace {

using namespace shell_fixture;

class GuidanceTest : public ShellTest {
 protected:
  void start_and_wait() {
    start_program();
    win = window();
    ASSERT_FALSE(win.empty());
    ASSERT_TRUE(wait_log("main: first frame after", 20.0)) << log();
    xdotool("windowactivate --sync " + win);
  }
  // Lit pixels in a box (brightness is r + g + b).
  static int lit(const Shot& s, int x0, int y0, int x1, int y1) {
    int n = 0;
    for (int y = y0; y < y1; y++)
      for (int x = x0; x < x1; x++) n += s.brightness(x, y) > 300;
    return n;
  }
};

TEST_F(GuidanceTest, WhatsNewOnceAfterAnUpdateAndAKeyHint) {
  start_servers(1280, 800);
  tmpdir_write(ini, "device = system\nwhatsnew_seen = 1.0.0\n");
  start_and_wait();
  ASSERT_TRUE(wait_log("main: what's new in 1.0.5 shows after launch", 1.0)) << log();
  ASSERT_TRUE(wait_log("ui: panel WHAT'S NEW", 5.0)) << log();
  key("Escape");
  ASSERT_TRUE(wait_log("ui: what's new 1.0.5 seen", 5.0)) << log();

  // The LIBRARY button stands third from the right; resting on it shows its key, "B", below it.
  move(300, 400);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  const Shot before = screenshot();
  ASSERT_GT(before.w, 0);
  // SETTINGS, SHARE, then LIBRARY from the right edge: labels of about 8.6 px a letter + 24.
  const int library_x = before.w - 16 - 93 - 6 - 67 - 6 - 42;
  move(library_x, 22);
  std::this_thread::sleep_for(std::chrono::milliseconds(900));
  const Shot after = screenshot();
  ASSERT_GT(after.w, 0);
  const int box[4] = {library_x - 20, 44, library_x + 20, 66};
  EXPECT_GT(lit(after, box[0], box[1], box[2], box[3]),
            lit(before, box[0], box[1], box[2], box[3]) + 8)
      << "no key cap under LIBRARY";

  kill(pid, SIGTERM);
  ASSERT_EQ(wait_exit(), 0) << log();
  EXPECT_NE(tmpdir_read(ini).find("whatsnew_seen = 1.0.5"), std::string::npos) << tmpdir_read(ini);
  // Seen: the next start opens nothing by itself.
  start_and_wait();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(count_of("ui: panel WHAT'S NEW"), 1u) << log();
  kill(pid, SIGTERM);
  ASSERT_EQ(wait_exit(), 0);
}

}  // namespace
