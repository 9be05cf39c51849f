// The panels, the notices and the library tab driven the way a user drives them: keys and clicks
// from xdotool on a private X server, the program on a private JACK server, and what lands on
// disk read back.
#include <dirent.h>
#include <sys/stat.h>

#include <functional>
#include <set>

#include "e2e/shell_fixture.h"

namespace {

using namespace shell_fixture;

class PanelsTest : public ShellTest {
 protected:
  std::string library() { return home + "/Music/kelp"; }
  std::set<std::string> sketches() {
    std::set<std::string> out;
    DIR* d = opendir(library().c_str());
    if (!d) return out;
    while (dirent* e = readdir(d))
      if (strlen(e->d_name) == 36) out.insert(e->d_name);
    closedir(d);
    return out;
  }
  std::string make_sketch(const std::string& name, int takes) {
    std::string id = test_output(std::string(KELP_BINARY_DIR) + "/tools/kelp_make_sketch '" +
                                 library() + "' --takes " + std::to_string(takes) +
                                 " --seconds 2 --length 8 --name '" + name + "'");
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
    return id;
  }
  void keys(const std::string& key, int times) {
    for (int i = 0; i < times; i++) this->key(key);
  }
};

TEST_F(PanelsTest, SettingsLibraryDeleteAndImportFromTheWindow) {
  ASSERT_EQ(fsys_make_folders(library().c_str()), 0);
  const std::string oldest = make_sketch("Oldest hum", 2);
  const std::string middle = make_sketch("Middle verse", 3);
  const std::string newest = make_sketch("Newest chorus", 4);
  ASSERT_EQ(oldest.size(), 36u);
  ASSERT_EQ(newest.size(), 36u);
  tmpdir_write(ini, "device = system\nbuffer_frames = 256\nlast_opened = " + newest + "\n");
  // The file dialog's stand-in answers with a WAV the test made.
  const std::string bin = dir / "bin";
  ASSERT_EQ(fsys_make_folders(bin.c_str()), 0);
  const std::string wav = dir / "hum take.wav";
  ASSERT_EQ(system(("sox -n -r 48000 -c 2 -b 16 '" + wav + "' synth 1.5 sine 330 2>/dev/null").c_str()), 0);
  tmpdir_write(bin + "/zenity", "#!/bin/sh\nprintf '%s\\n' '" + wav + "'\n");
  chmod((bin + "/zenity").c_str(), 0755);
  setenv("PATH", (bin + ":" + std::string(getenv("PATH"))).c_str(), 1);

  start_servers(1280, 800);
  start_program();
  win = window();
  ASSERT_FALSE(win.empty());
  ASSERT_TRUE(wait_log("session: Newest chorus ready", 20.0)) << log();
  ASSERT_TRUE(wait_log("audio: RUNNING", 20.0));
  xdotool("windowactivate --sync " + win);
  move(600, 20);

  // SETTINGS with Enter; down to BUFFER (the twelfth row shown) and one step right.
  key("Return");
  ASSERT_TRUE(wait_log("ui: panel SETTINGS", 5.0));
  keys("Down", 11);
  key("Right");
  ASSERT_TRUE(wait_log("action: audio buffer", 5.0));
  ASSERT_TRUE(wait_log("toast: REOPENING AUDIO\u2026", 5.0));
  ASSERT_TRUE(wait_log("512 frames  in", 20.0)) << log();
  ASSERT_TRUE(wait_for([&] { return tmpdir_read(ini).find("buffer_frames = 512") != std::string::npos; }, 10.0));
  key("Escape");

  // The library: the newest first; the second card previews with Space and opens with Enter.
  key("b");
  ASSERT_TRUE(wait_log("ui: library", 5.0));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // the tab slides in
  keys("Down", 2);
  key("space");
  ASSERT_TRUE(wait_log("action: preview", 5.0));
  key("Return");
  ASSERT_TRUE(wait_log("session: Middle verse ready", 20.0)) << log();

  // The list stays; delete the oldest through CONFIRM: Delete opens its card, Delete again asks,
  // the click answers.
  keys("Down", 3);
  key("Delete");
  key("Delete");
  ASSERT_TRUE(wait_log("ui: panel CONFIRM", 5.0));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the panel slides in
  // The danger button: the panel's left half, 18 px above its foot (380 x 236 under the top bar).
  const std::string geo = xdotool("getwindowgeometry --shell " + win);
  const int width = atoi(geo.substr(geo.find("WIDTH=") + 6).c_str());
  ASSERT_GT(width, 400);
  click(width - 16 - 380 + 18 + 80, 44 + 16 + 236 - 18 - 18);
  ASSERT_TRUE(wait_log("action: delete", 5.0)) << log();
  ASSERT_TRUE(wait_for([&] { return sketches().count(oldest) == 0; }, 10.0));
  EXPECT_EQ(sketches().count(middle), 1u);
  EXPECT_EQ(sketches().count(newest), 1u);

  // The import page: Right, then Enter asks the dialog and the file comes in as a new sketch.
  key("Right");
  ASSERT_TRUE(wait_log("action: library tab", 5.0));
  key("Return");
  ASSERT_TRUE(wait_log("action: import", 5.0));
  ASSERT_TRUE(wait_log("import: " + wav + " -> ", 20.0)) << log();
  ASSERT_TRUE(wait_for([&] { return sketches().size() == 3; }, 10.0));

  // The audio server goes away: the banner stands and the pill says the audio is reopening.
  ASSERT_TRUE(jack_server_kill(jack));
  ASSERT_TRUE(wait_log("banner: ON  AUDIO DOWN - RECONNECTING…", 20.0)) << log();

  kill(pid, SIGTERM);
  EXPECT_EQ(wait_exit(), 0);
  EXPECT_NE(log().find("main: everything landed in"), std::string::npos);
}

}  // namespace
