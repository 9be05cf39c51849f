// The program driven the way a user drives it: real keys and a real pointer from xdotool on a
// private X server, a tone on a private JACK server, and what lands on disk read back.
#include <dirent.h>

#include <cmath>
#include <functional>

#include "e2e/shell_fixture.h"

namespace {

using namespace shell_fixture;

class KeysTest : public ShellTest {
 protected:
  // The one sketch folder in the library.
  std::string sketch_folder() {
    const std::string lib = home + "/Music/kelp";
    DIR* d = opendir(lib.c_str());
    std::string found;
    if (!d) return found;
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() == 36) found = lib + "/" + name;
    }
    closedir(d);
    return found;
  }
  std::string meta() { return tmpdir_read(sketch_folder() + "/meta.json"); }
  // A number in meta.json by key ("viewZoom": 2.5).
  double meta_number(const std::string& key) {
    const std::string m = meta();
    const size_t at = m.find("\"" + key + "\"");
    if (at == std::string::npos) return NAN;
    return atof(m.c_str() + m.find(':', at) + 1);
  }
  // The sketch's cursor as kelp.ini keeps it (seconds), NaN when none.
  double ini_cursor() {
    const std::string ini_text = tmpdir_read(ini);
    const size_t at = ini_text.find("cursors = ");
    if (at == std::string::npos) return NAN;
    const size_t colon = ini_text.find(':', at);
    return colon == std::string::npos ? NAN : atof(ini_text.c_str() + colon + 1);
  }
};

// The canvas in window points at 96 dpi: below the 44-pt top bar, above the 64-pt status bar, the
// sketch 24 pt in from each side.
struct CanvasAt {
  int w, h;
  int x(double fraction) const { return (int)std::lround(24 + fraction * (w - 48)); }
  int mid_y() const { return (44 + h - 64) / 2; }
};

TEST_F(KeysTest, RecordLoopScrubZoomRenameExportAndClearFromKeysAndPointer) {
  start_servers();
  start_program();
  win = window();
  ASSERT_FALSE(win.empty()) << "no window";
  ASSERT_TRUE(wait_log(" ready (", 20.0));
  ASSERT_TRUE(wait_log("audio: RUNNING", 20.0));
  pid_t tone = spawn({std::string(KELP_BINARY_DIR) + "/tools/jack_tone", "--level", "0.4", "--freq",
                      "330", "--to", "PortAudio", "--ports", "2"},
                     env(), dir / "tone.out");
  ASSERT_GT(tone, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  xdotool("windowactivate --sync " + win);
  move(500, 20);

  // R records, R again stops: the take lands and stands as leaves.
  key("r");
  ASSERT_TRUE(wait_log("action: record", 5.0));
  std::this_thread::sleep_for(std::chrono::milliseconds(4000));
  key("r");
  ASSERT_TRUE(wait_log("session: committed ", 10.0));
  kill(tone, SIGTERM);
  waitpid(tone, nullptr, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(4500));  // the leaves grow back in
  Shot shot = screenshot();
  ASSERT_GT(shot.w, 0);
  const CanvasAt c{shot.w, shot.h};
  EXPECT_GT(shot.reach(c.x(0.1), c.x(0.4), c.mid_y()), 30) << "no leaves on the canvas";

  // Space plays; S stops.
  key("space");
  ASSERT_TRUE(wait_log("action: play/pause", 5.0));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  key("s");
  ASSERT_TRUE(wait_log("action: stop", 5.0));

  // Home, "]" one second on, I; "]" again, O; L turns the loop off and on.
  key("Home");
  key("bracketright");
  key("i");
  key("bracketright");
  key("o");
  ASSERT_TRUE(wait_log("action: loop out", 5.0));
  // Each step is a second from where the cursor is shown, so a step may start a hop late.
  ASSERT_TRUE(wait_for([&] { return meta_number("loopEnd") - meta_number("loopStart") > 0.75; }, 10.0))
      << meta();
  EXPECT_NEAR(meta_number("loopStart"), 1.0, 0.25);
  EXPECT_NEAR(meta_number("loopEnd") - meta_number("loopStart"), 1.0, 0.25);
  key("l");
  ASSERT_TRUE(wait_log("action: loop\n", 5.0));
  key("s");

  // A click on the canvas moves the cursor there (the sketch spans 7.5 s at zoom 1).
  click(c.x(0.2), c.mid_y());
  ASSERT_TRUE(wait_for([&] { return std::fabs(ini_cursor() - 1.5) < 0.1; }, 10.0))
      << tmpdir_read(ini);
  // A drag sideways scrubs: the cursor leaves the clicked place.
  move(c.x(0.2), c.mid_y());
  xdotool("mousedown 1");
  for (int i = 1; i <= 12; i++) {
    move(c.x(0.2) + i * 12, c.mid_y());
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  xdotool("mouseup 1");
  key("s");  // stop whatever the scrub's end resumed
  ASSERT_TRUE(wait_for([&] { return std::fabs(ini_cursor() - 1.5) > 0.1; }, 10.0))
      << tmpdir_read(ini);

  // Ctrl + wheel zooms in, and the sketch remembers it.
  move(c.x(0.3), c.mid_y());
  for (int i = 0; i < 6; i++) xdotool("keydown ctrl click 4 keyup ctrl");
  ASSERT_TRUE(wait_for([&] { return meta_number("viewZoom") > 1.3; }, 10.0)) << meta();

  // Ctrl+E exports a WAV sox can read.
  key("ctrl+e");
  ASSERT_TRUE(wait_log("session: exported ", 10.0));
  const std::string wav = test_output("ls " + home + "/Music/kelp/exports/*.wav 2>/dev/null");
  ASSERT_FALSE(wav.empty());
  const std::string rate = test_output("sox --i -r '" + wav.substr(0, wav.find('\n')) + "' 2>&1");
  EXPECT_EQ(atoi(rate.c_str()), 48000) << rate;

  // F2, a new name with CJK characters, Enter: the side-car WAV follows the name.
  move(500, 20);
  key("F2");
  for (int i = 0; i < 70; i++) key("BackSpace");
  // The CJK part comes in through the clipboard (Ctrl+V): xdotool's typing of characters outside
  // the keymap remaps keys on the fly and races a busy program. The rest is typed.
  test_output("printf '夜の歌' | DISPLAY=" + display + " xclip -selection clipboard >/dev/null 2>&1");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  key("ctrl+v");
  xdotool("type --window " + win + " --delay 60 ' take'");
  key("Return");
  ASSERT_TRUE(wait_for([&] { return meta().find("夜の歌 take") != std::string::npos; }, 10.0))
      << meta();
  ASSERT_TRUE(wait_for(
      [&] {
        return test_output("ls '" + sketch_folder() + "' 2>/dev/null").find("夜の歌") != std::string::npos;
      },
      10.0))
      << test_output("ls '" + sketch_folder() + "'");

  // Alt+` shows the console of log lines over the top of the canvas; Escape hides it.
  auto lit_top = [&](const Shot& s) {
    int lit = 0;
    for (int y = 60; y < 200; y++)
      for (int x = 10; x < 400; x++) lit += s.brightness(x, y) > 300;
    return lit;
  };
  const int before = lit_top(screenshot());
  key("alt+grave");
  ASSERT_TRUE(wait_log("action: console", 5.0));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const int shown = lit_top(screenshot());
  EXPECT_GT(shown, before + 500) << before << " -> " << shown;
  key("Escape");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(lit_top(screenshot()), shown);

  // Ctrl+C asks; the danger button clears.
  key("ctrl+c");
  ASSERT_TRUE(wait_log("ui: panel CONFIRM", 5.0));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the panel slides in
  const int panel_x = c.w - 380 - 16;
  click(panel_x + 18 + 60, 60 + 236 - 18 - 18);
  ASSERT_TRUE(wait_log("actions: sketch cleared", 5.0));
  ASSERT_TRUE(wait_log("session: cleared ", 10.0));

  kill(pid, SIGTERM);
  EXPECT_EQ(wait_exit(), 0);
}

}  // namespace
