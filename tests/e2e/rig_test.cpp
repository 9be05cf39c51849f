// The rig from the window: A opens it over the sketch, its keys switch scenes and mute, the edits
// land in the shared rig file, and a rig left open at quit opens again at the next start.
#include <dirent.h>

#include "e2e/shell_fixture.h"

namespace {

using namespace shell_fixture;

class RigWindowTest : public ShellTest {
 protected:
  std::string rigs() { return home + "/.config/SeaGlass/rigs"; }
  // The one rig file the program made ("" while none).
  std::string rig_text() {
    DIR* d = opendir(rigs().c_str());
    if (!d) return "";
    std::string found;
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0) found = rigs() + "/" + n;
    }
    closedir(d);
    return found.empty() ? "" : tmpdir_read(found);
  }
  void start_and_wait() {
    start_program();
    win = window();
    ASSERT_FALSE(win.empty());
    ASSERT_TRUE(wait_log("audio: RUNNING", 20.0)) << log();
    ASSERT_TRUE(wait_log("rig: bound ", 10.0)) << log();
    xdotool("windowactivate --sync " + win);
    move(300, 400);
  }
};

TEST_F(RigWindowTest, KeysEditTheSharedFileAndTheOpenPanelComesBack) {
  start_servers(1280, 800);
  start_and_wait();
  ASSERT_TRUE(wait_for([&] { return rig_text().find("\"format\":\"seaglass.rig\"") != std::string::npos; },
                       10.0))
      << log();

  key("a");
  ASSERT_TRUE(wait_log("ui: panel RIG", 5.0));
  // Scene 2, then Enter mutes the first row (inputs 1-2) there.
  key("2");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  key("Return");
  ASSERT_TRUE(wait_for(
      [&] {
        const std::string t = rig_text();
        return t.find("\"activeScene\":1") != std::string::npos &&
               t.find("\"kelp\":{\"scene\":1") != std::string::npos &&
               t.find("\"muted\":true,\"link\":true") != std::string::npos;
      },
      10.0))
      << rig_text();
  // Every input of scene 2 is muted now: nothing would record.
  ASSERT_TRUE(wait_log("ALL INPUTS MUTED - NOTHING WILL RECORD", 5.0)) << log();

  kill(pid, SIGTERM);
  ASSERT_EQ(wait_exit(), 0);
  EXPECT_NE(tmpdir_read(ini).find("rig_open = 1"), std::string::npos) << tmpdir_read(ini);

  start_and_wait();
  ASSERT_TRUE(wait_log("main: the rig was open at quit - it opens again", 10.0)) << log();
  ASSERT_TRUE(wait_log("ui: panel RIG", 5.0));
  // The scene chosen last time is still this program's scene.
  key("1");
  ASSERT_TRUE(wait_for([&] { return rig_text().find("\"activeScene\":0") != std::string::npos; }, 10.0))
      << rig_text();
  // A closes it again; the mark is cleared for the next start.
  key("a");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(pid, SIGTERM);
  ASSERT_EQ(wait_exit(), 0);
  EXPECT_NE(tmpdir_read(ini).find("rig_open = 0"), std::string::npos) << tmpdir_read(ini);
}

}  // namespace
