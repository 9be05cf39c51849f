// The app's own paths: normal and portable layouts, and a library folder proved writable.
#include "store/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/log.h"
#include "platform/folders.h"
#include "support/log_capture.h"
#include "support/log_search.h"
#include "support/tmpdir.h"

TEST(AppPathsLayout, NormalUsesConfigAndMusic) {
  ScratchHome f("paths");
  std::string exe_dir = f.dir / "bin";
  mkdir(exe_dir.c_str(), 0755);
  AppPaths p;
  int64_t mark = log_console_count();
  ASSERT_EQ(paths_init_at(&p, (exe_dir + "/kelp-nova").c_str()), 0);
  EXPECT_FALSE(p.portable);
  EXPECT_EQ(std::string(p.exe_folder), exe_dir);
  EXPECT_EQ(std::string(p.ini_path), f.home + "/.config/SeaGlass/kelp.ini");
  struct stat st;
  EXPECT_EQ(stat((f.home + "/.config/SeaGlass").c_str(), &st), 0);
  EXPECT_EQ(std::string(p.library), f.home + "/Music/kelp");
  EXPECT_EQ(std::string(p.exports), f.home + "/Music/kelp/exports");
  EXPECT_TRUE(logged(mark, "paths: normal  ini " + f.home + "/.config/SeaGlass/kelp.ini  library " +
                               f.home + "/Music/kelp"));

  // A kelp.ini folder beside the executable is not a settings file.
  mkdir((exe_dir + "/kelp.ini").c_str(), 0755);
  ASSERT_EQ(paths_init_at(&p, (exe_dir + "/kelp-nova").c_str()), 0);
  EXPECT_FALSE(p.portable);

  // The config folder can't be made: settings go unsaved, with a line saying so.
  std::string conf = f.dir / "conf-file";
  tmpdir_write(conf, "");
  setenv("XDG_CONFIG_HOME", conf.c_str(), 1);
  mark = log_console_count();
  paths_init_at(&p, (exe_dir + "/kelp-nova").c_str());
  EXPECT_TRUE(logged(mark, "paths: can't create " + conf + "/SeaGlass - settings may not save"));

  EXPECT_EQ(paths_init_at(&p, "no-folder"), -1);
  // An executable's folder longer than a path may be is refused, not copied.
  std::string deep = "/" + std::string(1500, 'd') + "/kelp-nova";
  mark = log_console_count();
  EXPECT_EQ(paths_init_at(&p, deep.c_str()), -1);
  EXPECT_TRUE(logged(mark, "paths: can't read the exe path (error "));
}

TEST(AppPathsLayout, PortableKeepsEverythingBesideTheExecutable) {
  ScratchHome f("paths");
  std::string exe_dir = f.dir / "usb stick";
  mkdir(exe_dir.c_str(), 0755);
  tmpdir_write(exe_dir + "/kelp.ini", "");
  AppPaths p;
  int64_t mark = log_console_count();
  ASSERT_EQ(paths_init_at(&p, (exe_dir + "/kelp-nova").c_str()), 0);
  EXPECT_TRUE(p.portable);
  EXPECT_EQ(std::string(p.ini_path), exe_dir + "/kelp.ini");
  EXPECT_EQ(std::string(p.library), exe_dir + "/kelp");
  EXPECT_EQ(std::string(p.exports), exe_dir + "/kelp/exports");
  EXPECT_TRUE(
      logged(mark, "paths: PORTABLE  ini " + exe_dir + "/kelp.ini  library " + exe_dir + "/kelp"));
  // Nothing was made in the user's config folder.
  struct stat st;
  EXPECT_NE(stat((f.home + "/.config").c_str(), &st), 0);

  // The running program itself.
  AppPaths real;
  EXPECT_EQ(paths_init(&real), 0);
  char exe[1024];
  ASSERT_EQ(folders_exe_path(exe, sizeof exe, nullptr), 0);
  EXPECT_EQ(std::string(real.exe_folder), std::string(exe).substr(0, strrchr(exe, '/') - exe));
}

TEST(AppPathsLayout, SetLibraryProvesTheFolderWritable) {
  ScratchHome f("paths");
  AppPaths p;
  ASSERT_EQ(paths_init_at(&p, (f.dir / "kelp-nova").c_str()), 0);
  std::string chosen = f.dir / "Sketches";
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(f.dir.path.c_str()), 0);
  int64_t mark = log_console_count();
  EXPECT_EQ(paths_set_library(&p, "./x/../Sketches/"), 0);
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(std::string(p.library), chosen);
  EXPECT_EQ(std::string(p.exports), chosen + "/exports");
  struct stat st;
  EXPECT_EQ(stat(p.exports, &st), 0);
  EXPECT_TRUE(logged(mark, "library: " + chosen));
  // The probe leaves nothing behind.
  char names[4][LIST_FILE_BYTES];
  EXPECT_EQ(list_files_with_suffix(chosen.c_str(), "", names, 4), 0);

  // Unusable: the current library stays.
  std::string blocked = f.dir / "file";
  tmpdir_write(blocked, "");
  mark = log_console_count();
  EXPECT_EQ(paths_set_library(&p, (blocked + "/lib").c_str()), -1);
  EXPECT_TRUE(logged(mark, "library: folder not usable: " + blocked + "/lib"));
  EXPECT_EQ(std::string(p.library), chosen);
  std::string too_long = "/" + std::string(1020, 'x');
  EXPECT_EQ(paths_set_library(&p, too_long.c_str()), -1);
  EXPECT_EQ(std::string(p.library), chosen);

  // Without a current library an unusable choice falls back to the default.
  p.library[0] = 0;
  EXPECT_EQ(paths_set_library(&p, (blocked + "/lib").c_str()), -1);
  EXPECT_EQ(std::string(p.library), f.home + "/Music/kelp");
  EXPECT_EQ(stat((f.home + "/Music/kelp/exports").c_str(), &st), 0);

  EXPECT_EQ(paths_set_library(&p, chosen.c_str()), 0);
  EXPECT_EQ(paths_set_library(&p, ""), 0);
  EXPECT_EQ(std::string(p.library), f.home + "/Music/kelp");
}
