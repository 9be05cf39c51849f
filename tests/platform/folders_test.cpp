// The user's known folders (XDG and user-dirs.dirs), the executable's path, and system folders.
#include "platform/folders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "support/tmpdir.h"

namespace {

std::string music() {
  char out[1024];
  return folders_known(FOLDER_MUSIC, out, sizeof out) == 0 ? out : "";
}

}  // namespace

TEST(Folders, KnownFoldersFollowXdg) {
  ScratchHome f("folders");
  char out[1024];
  ASSERT_EQ(folders_known(FOLDER_ROAMING_DATA, out, sizeof out), 0);
  EXPECT_EQ(std::string(out), f.home + "/.config");
  ASSERT_EQ(folders_known(FOLDER_LOCAL_DATA, out, sizeof out), 0);
  EXPECT_EQ(std::string(out), f.home + "/.local/share");
  EXPECT_EQ(music(), f.home + "/Music");
  ASSERT_EQ(folders_known(FOLDER_DOWNLOADS, out, sizeof out), 0);
  EXPECT_EQ(std::string(out), f.home + "/Downloads");

  setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
  folders_known(FOLDER_ROAMING_DATA, out, sizeof out);
  EXPECT_EQ(std::string(out), f.home + "/.config");
  std::string conf = f.dir / "conf";
  mkdir(conf.c_str(), 0755);
  setenv("XDG_CONFIG_HOME", (conf + "/").c_str(), 1);
  folders_known(FOLDER_ROAMING_DATA, out, sizeof out);
  EXPECT_EQ(std::string(out), conf);

  // user-dirs.dirs lives in the config folder; the last assignment wins.
  tmpdir_write(conf + "/user-dirs.dirs",
               "# written by xdg-user-dirs-update\n"
               "XDG_DESKTOP_DIR=\"$HOME/Bureau\"\n"
               "XDG_MUSIC_DIR=\"$HOME/Old\"\n"
               "  XDG_MUSIC_DIR=\"$HOME/M\\\"usik\"\n"
               "XDG_DOWNLOAD_DIR=\"/srv/dl/\"\n"
               "XDG_DOCUMENTS_DIR=\"${HOME}/Docs\"\n");
  EXPECT_EQ(music(), f.home + "/M\"usik");
  folders_known(FOLDER_DESKTOP, out, sizeof out);
  EXPECT_EQ(std::string(out), f.home + "/Bureau");
  folders_known(FOLDER_DOWNLOADS, out, sizeof out);
  EXPECT_EQ(std::string(out), "/srv/dl");
  folders_known(FOLDER_DOCUMENTS, out, sizeof out);
  EXPECT_EQ(std::string(out), f.home + "/Docs");

  // Set to the home folder itself means "not used"; relative values are not folders.
  tmpdir_write(conf + "/user-dirs.dirs", "XDG_MUSIC_DIR=\"$HOME/\"\nXDG_DESKTOP_DIR=\"Desk\"\n");
  EXPECT_EQ(music(), f.home + "/Music");
  folders_known(FOLDER_DESKTOP, out, sizeof out);
  EXPECT_EQ(std::string(out), f.home + "/Desktop");

  // A home that is the root folder gives no doubled separators.
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", "/", 1);
  folders_known(FOLDER_ROAMING_DATA, out, sizeof out);
  EXPECT_STREQ(out, "/.config");
  EXPECT_EQ(music(), "/Music");
  setenv("HOME", f.home.c_str(), 1);

  char small[4];
  EXPECT_EQ(folders_known(FOLDER_PROFILE, small, sizeof small), -1);
  EXPECT_EQ(folders_exe_path(out, sizeof out, nullptr), 0);
  EXPECT_NE(strstr(out, "folders"), nullptr);  // this test program
  struct stat st;
  EXPECT_EQ(stat(out, &st), 0);
}

TEST(Folders, SystemFolders) {
  for (const char* p :
       {"/", "/usr", "/etc", "/usr/local/bin", "/var", "/var/lib/x", "/home", "/home/someone",
        "/media/me", "/run/media/me", "/opt/app", "/tmp", "/data", "/srv/x", "/var/tmp"}) {
    EXPECT_TRUE(folders_is_system(p)) << p;
  }
  for (const char* p : {"/tmp/x", "/var/tmp/x", "/home/me/Music/kelp", "/media/me/disk/kelp",
                        "/kelp/sketch", "/data/kelp"}) {
    EXPECT_FALSE(folders_is_system(p)) << p;
  }
}
