// Files on real folders: paths, safe writes, reads, moves, deletes, tree removal, .tmp cleanup.
#include "store/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "platform/platform.h"
#include "support/log_capture.h"
#include "support/log_search.h"
#include "support/tmpdir.h"
#include "support/tmpfs.h"
#include "support/unprivileged.h"

namespace {

bool exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

std::vector<std::string> names_in(const std::string& folder) {
  char names[64][LIST_FILE_BYTES];
  int n = list_files_with_suffix(folder.c_str(), "", names, 64);
  char dirs[64][LIST_FOLDER_BYTES];
  int m = list_subfolders(folder.c_str(), dirs, 64);
  std::vector<std::string> r;
  for (int i = 0; i < n; i++) r.push_back(names[i]);
  for (int i = 0; i < m; i++) r.push_back(std::string(dirs[i]) + "/");
  return r;
}

}  // namespace

TEST(Paths, JoinFullAndRoot) {
  char out[64];
  EXPECT_EQ(path_join(out, sizeof out, "/a/b/", "/c"), 6);
  EXPECT_STREQ(out, "/a/b/c");
  EXPECT_EQ(path_join(out, sizeof out, "/a/b", "//c"), 6);
  EXPECT_STREQ(out, "/a/b/c");
  path_join(out, sizeof out, "", "name");
  EXPECT_STREQ(out, "name");
  path_join(out, sizeof out, "/a", "");
  EXPECT_STREQ(out, "/a");
  path_join(out, sizeof out, "/", "x");
  EXPECT_STREQ(out, "/x");
  // Cut to the buffer at a character boundary, and reported as cut.
  char small[8];
  EXPECT_EQ(path_join(small, sizeof small, "/ab", "\xC3\xA9\xC3\xA9"), -1);
  EXPECT_STREQ(small, "/ab/\xC3\xA9");
  std::string huge(3000, 'x');
  std::vector<char> big(4096);
  EXPECT_EQ(path_join(big.data(), big.size(), "/f", huge.c_str()), -1);
  EXPECT_EQ(strlen(big.data()), (size_t)PATH_JOIN_MAX);

  EXPECT_EQ(path_full("/a/./b//c/../d/", out, sizeof out), 6);
  EXPECT_STREQ(out, "/a/b/d");
  path_full("/..", out, sizeof out);
  EXPECT_STREQ(out, "/");
  EXPECT_EQ(path_full("", out, sizeof out), -1);
  EXPECT_EQ(path_full("/abcdefgh", out, 5), -1);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  char rel[4200];
  ASSERT_GT(path_full("x/../y", rel, sizeof rel), 0);
  EXPECT_EQ(std::string(rel), std::string(cwd == std::string("/") ? "" : cwd) + "/y");
  EXPECT_EQ(path_root_length("/x"), 1u);
  EXPECT_EQ(path_root_length("x"), 0u);
}

TEST(Paths, AttributesSizesAndFolders) {
  TmpDir t("attr");
  ASSERT_FALSE(t.path.empty());
  tmpdir_write(t / "f", "hello");
  ASSERT_EQ(fsys_make_folders((t / "d/e/f/").c_str()), 0);
  EXPECT_TRUE(path_is_dir((t / "d/e/f").c_str()));
  ASSERT_EQ(symlink((t / "d").c_str(), (t / "link").c_str()), 0);
  ASSERT_EQ(symlink((t / "nowhere").c_str(), (t / "dangling").c_str()), 0);

  EXPECT_EQ(path_attributes((t / "missing").c_str()), PATH_ATTR_INVALID);
  EXPECT_EQ(path_attributes((t / "f").c_str()) & (PATH_ATTR_DIRECTORY | PATH_ATTR_LINK), 0u);
  EXPECT_EQ(path_attributes((t / "link").c_str()) & (PATH_ATTR_DIRECTORY | PATH_ATTR_LINK),
            PATH_ATTR_DIRECTORY | PATH_ATTR_LINK);
  EXPECT_TRUE(path_exists((t / "dangling").c_str()));
  EXPECT_FALSE(path_is_dir((t / "dangling").c_str()));
  EXPECT_EQ(file_size((t / "f").c_str()), 5);
  EXPECT_EQ(file_size((t / "d").c_str()), -1);
  EXPECT_EQ(file_size((t / "missing").c_str()), -1);
  EXPECT_LE(std::llabs(file_mtime((t / "f").c_str()) - (long long)time(nullptr)), 5);
  EXPECT_EQ(file_mtime((t / "missing").c_str()), -1);

  // A file where a folder should be.
  EXPECT_EQ(fsys_make_folders((t / "f/sub").c_str()), -1);
  EXPECT_EQ(fsys_make_folders(""), -1);
}

TEST(Paths, ListsAreSortedFilteredAndBounded) {
  TmpDir t("list");
  for (const char* d : {"b", "B", "a", "\xC3\xA9t\xC3\xA9", "x.tmp"}) mkdir((t / d).c_str(), 0755);
  mkdir((t / "bad\xFF").c_str(), 0755);              // not UTF-8: skipped
  mkdir((t / std::string(130, 'n')).c_str(), 0755);  // too long for a slot
  ASSERT_EQ(symlink((t / "a").c_str(), (t / "via").c_str()), 0);
  tmpdir_write(t / "one.WAV", "");
  tmpdir_write(t / "two.wav", "");
  tmpdir_write(t / "three.mp3", "");
  tmpdir_write(t / "wav", "");

  EXPECT_EQ(list_subfolders(t.path.c_str(), nullptr, 0), 6);
  char dirs[8][LIST_FOLDER_BYTES];
  ASSERT_EQ(list_subfolders(t.path.c_str(), dirs, 8), 6);
  std::vector<std::string> got(dirs, dirs + 6);
  EXPECT_EQ(got, (std::vector<std::string>{"B", "a", "b", "via", "x.tmp", "\xC3\xA9t\xC3\xA9"}));
  ASSERT_EQ(list_subfolders(t.path.c_str(), dirs, 2), 2);
  EXPECT_STREQ(dirs[1], "a");

  char files[8][LIST_FILE_BYTES];
  ASSERT_EQ(list_files_with_suffix(t.path.c_str(), ".wav", files, 8), 2);
  EXPECT_STREQ(files[0], "one.WAV");
  EXPECT_STREQ(files[1], "two.wav");
  EXPECT_EQ(list_subfolders((t / "missing").c_str(), dirs, 8), 0);
}

TEST(SafeWrite, WholeBufferReplacesAndCleansUp) {
  TmpDir t("atomic");
  std::string target = t / "meta.json";
  tmpdir_write(target, "old");
  ASSERT_EQ(file_write_atomic(target.c_str(), "new text", 8), 0);
  EXPECT_EQ(tmpdir_read(target), "new text");
  EXPECT_FALSE(exists(target + ".tmp"));
  ASSERT_EQ(file_write_atomic(target.c_str(), nullptr, 0), 0);
  EXPECT_EQ(tmpdir_read(target), "");
  EXPECT_EQ(file_write_atomic(target.c_str(), nullptr, 3), -1);

  // A stale link where the temporary file goes is replaced, never written through.
  std::string victim = t / "victim";
  tmpdir_write(victim, "keep me");
  ASSERT_EQ(symlink(victim.c_str(), (target + ".tmp").c_str()), 0);
  ASSERT_EQ(file_write_atomic(target.c_str(), "x", 1), 0);
  EXPECT_EQ(tmpdir_read(victim), "keep me");
  EXPECT_EQ(tmpdir_read(target), "x");

  // The temporary file can't be made (a folder holds its name): the old file stays.
  tmpdir_write(target, "old");
  mkdir((target + ".tmp").c_str(), 0755);
  tmpdir_write(target + ".tmp/inside", "");
  int64_t mark = log_console_count();
  EXPECT_EQ(file_write_atomic(target.c_str(), "new", 3), -1);
  EXPECT_TRUE(logged(mark, "write: can't create " + target + ".tmp (error "));
  EXPECT_EQ(tmpdir_read(target), "old");

  // The move fails (a folder is where the file goes): the temporary file is removed.
  std::string folder = t / "folder";
  mkdir(folder.c_str(), 0755);
  tmpdir_write(folder + "/x", "");
  mark = log_console_count();
  EXPECT_EQ(file_write_atomic(folder.c_str(), "new", 3), -1);
  EXPECT_TRUE(logged(mark, "move: " + folder + ".tmp -> " + folder + " failed (error "));
  EXPECT_FALSE(exists(folder + ".tmp"));
  EXPECT_TRUE(exists(folder + "/x"));
}

TEST(SafeWrite, PathLimits) {
  TmpDir t("limits");
  // Nested folders up to a target of exactly 1019 bytes: its ".tmp" form is 1023.
  std::string p = t.path;
  while (p.size() + 201 < 1019 - 10) {
    p += "/" + std::string(200, 'd');
    ASSERT_EQ(mkdir(p.c_str(), 0755), 0);
  }
  std::string ok = p + "/" + std::string(1019 - p.size() - 1, 'f');
  ASSERT_EQ(ok.size(), 1019u);
  EXPECT_EQ(file_write_atomic(ok.c_str(), "x", 1), 0);
  EXPECT_EQ(tmpdir_read(ok), "x");

  std::string tooLong = ok + "g";
  ASSERT_EQ(tooLong.size(), 1020u);
  std::vector<std::string> before = names_in(p);
  EXPECT_EQ(file_write_atomic(tooLong.c_str(), "x", 1), -1);
  EXPECT_EQ(names_in(p), before);
  EXPECT_EQ(file_write_atomic("", "x", 1), -1);
  SafeWriter w;
  EXPECT_EQ(safe_writer_open(&w, tooLong.c_str()), -1);
  EXPECT_EQ(safe_writer_write(&w, "x", 1), -1);
  EXPECT_EQ(safe_writer_commit(&w), -1);
  safe_writer_discard(&w);
  EXPECT_EQ(names_in(p), before);
}

TEST(SafeWrite, StreamedWriterBuffersAndCommits) {
  TmpDir t("stream");
  std::string target = t / "tape.f32";
  tmpdir_write(target, "old");
  // Small pieces fill the buffer, a piece larger than it goes straight to the file.
  std::string expect;
  SafeWriter w;
  ASSERT_EQ(safe_writer_open(&w, target.c_str()), 0);
  for (int i = 0; i < 3000; i++) {
    std::string piece(700 + i % 13, (char)('a' + i % 26));
    ASSERT_EQ(safe_writer_write(&w, piece.data(), piece.size()), 0);
    expect += piece;
  }
  std::string large(3u << 20, 'L');
  large[12345] = 'Q';
  ASSERT_EQ(safe_writer_write(&w, large.data(), large.size()), 0);
  expect += large;
  ASSERT_EQ(safe_writer_write(&w, "end", 3), 0);
  expect += "end";
  EXPECT_EQ(w.written, expect.size());
  EXPECT_EQ(tmpdir_read(target), "old");  // nothing replaced before the commit
  ASSERT_EQ(safe_writer_commit(&w), 0);
  EXPECT_EQ(tmpdir_read(target), expect);
  EXPECT_FALSE(exists(target + ".tmp"));
  EXPECT_EQ(safe_writer_commit(&w), -1);  // a finished writer does nothing more
  safe_writer_discard(&w);

  // Discarding leaves the old file and no temporary one.
  ASSERT_EQ(safe_writer_open(&w, target.c_str()), 0);
  ASSERT_EQ(safe_writer_write(&w, "partial", 7), 0);
  safe_writer_discard(&w);
  EXPECT_EQ(tmpdir_read(target), expect);
  EXPECT_FALSE(exists(target + ".tmp"));

  // A second writer of the same file fails instead of spoiling the first one's file.
  SafeWriter a, b;
  ASSERT_EQ(safe_writer_open(&a, target.c_str()), 0);
  ASSERT_EQ(safe_writer_write(&a, "first", 5), 0);
  EXPECT_EQ(safe_writer_open(&b, target.c_str()), -1);
  safe_writer_discard(&b);
  ASSERT_EQ(safe_writer_commit(&a), 0);
  EXPECT_EQ(tmpdir_read(target), "first");

  SafeWriter zero = {};
  safe_writer_discard(&zero);  // never opened: harmless
  EXPECT_EQ(safe_writer_commit(&zero), -1);
}

TEST(SafeWrite, FullDiskKeepsTheOldFile) {
  ScratchVolume vol(2u << 20, "full");
  if (!vol.mounted) GTEST_SKIP() << vol.why;
  std::string target = vol / "meta.json";
  tmpdir_write(target, "good old file");
  std::string big(3u << 20, 'x');

  int64_t mark = log_console_count();
  EXPECT_EQ(file_write_atomic(target.c_str(), big.data(), big.size()), -1);
  EXPECT_TRUE(logged(mark, "write: " + target + " failed (error 28)"));
  EXPECT_EQ(tmpdir_read(target), "good old file");
  EXPECT_FALSE(exists(target + ".tmp"));

  SafeWriter w;
  ASSERT_EQ(safe_writer_open(&w, target.c_str()), 0);
  int r = 0;
  for (int i = 0; i < 6 && r == 0; i++) r = safe_writer_write(&w, big.data(), 512 * 1024);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(safe_writer_write(&w, "x", 1), -1);  // stays failed
  EXPECT_EQ(safe_writer_commit(&w), -1);
  EXPECT_EQ(tmpdir_read(target), "good old file");
  EXPECT_FALSE(exists(target + ".tmp"));

  // Small writes that fit still work once the space is back.
  EXPECT_EQ(file_write_atomic(target.c_str(), "fresh", 5), 0);
  EXPECT_EQ(tmpdir_read(target), "fresh");
}

TEST(SafeWrite, DiskTooFull) {
  ScratchVolume vol(16u << 20, "free");
  if (!vol.mounted) GTEST_SKIP() << vol.why;
  // Walks up from a path that doesn't exist yet to the volume.
  std::string deep = vol / "sketch/not/yet/tape.f32";
  EXPECT_FALSE(disk_too_full(deep.c_str(), 1 << 20));
  EXPECT_TRUE(disk_too_full(deep.c_str(), 13 << 20));  // 13 MiB + 4 MiB reserve > 16 MiB
  ASSERT_EQ(tmpfs_fill(vol.path, 3u << 20), 0);
  EXPECT_TRUE(disk_too_full(deep.c_str(), 0));
  EXPECT_FALSE(disk_too_full("", 0));
}

TEST(Files, ReadAllAndStdio) {
  TmpDir t("read");
  std::string bin("a\0b\xFF", 4);
  tmpdir_write(t / "f", bin);
  size_t n = 99;
  char* buf = file_read_all((t / "f").c_str(), &n);
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(std::string(buf, n), bin);
  EXPECT_EQ(buf[4], 0);
  free(buf);
  tmpdir_write(t / "empty", "");
  buf = file_read_all((t / "empty").c_str(), &n);
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(n, 0u);
  free(buf);
  EXPECT_EQ(file_read_all((t / "missing").c_str(), &n), nullptr);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(file_read_all(t.path.c_str(), &n), nullptr);
  // A pipe named like a sketch file with no writer: refused at once instead of hanging the reader.
  ASSERT_EQ(mkfifo((t / "meta.json").c_str(), 0644), 0);
  EXPECT_EQ(file_read_all((t / "meta.json").c_str(), &n), nullptr);

  FILE* f = file_open_stdio((t / "s").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fputs("stdio", f);
  fclose(f);
  EXPECT_EQ(tmpdir_read(t / "s"), "stdio");
  EXPECT_EQ(file_open_stdio((t / "s").c_str(), "rbbbbbbbbbbbbbbbb"), nullptr);

  EXPECT_NEAR(clock_now(), (double)time(nullptr) - 978307200.0, 2.0);  // since 2001-01-01 UTC
}

TEST(Files, MoveRetriesThroughAShortHold) {
  // A mount point can't be replaced while mounted (EBUSY): a hold that goes away.
  ScratchVolume vol(1u << 20, "hold");
  if (!vol.mounted) GTEST_SKIP() << vol.why;
  std::string from = vol.dir / "from";
  mkdir(from.c_str(), 0755);

  double t0 = platform_seconds();
  int64_t mark = log_console_count();
  EXPECT_EQ(file_move(from.c_str(), vol.path.c_str()), -1);
  double waited = platform_seconds() - t0;
  EXPECT_TRUE(logged(mark, "move: " + from + " -> " + vol.path + " failed (error 16)"));
  EXPECT_GE(waited, 0.070);  // 5 + 10 + 20 + 40 ms between five attempts
  EXPECT_LT(waited, 1.0);

  std::thread release([&] {
    platform_sleep_ms(12);
    vol.mounted = tmpfs_unmount(vol.path) != 0;
  });
  EXPECT_EQ(file_move(from.c_str(), vol.path.c_str()), 0);
  release.join();
  EXPECT_FALSE(exists(from));
  EXPECT_TRUE(path_is_dir(vol.path.c_str()));
}

TEST(Files, DeletesAndMoves) {
  TmpDir t("delete");
  tmpdir_write(t / "f", "x");
  EXPECT_EQ(file_delete((t / "f").c_str(), 4), 0);
  EXPECT_FALSE(exists(t / "f"));
  EXPECT_EQ(file_delete((t / "f").c_str(), 4), 0);  // missing counts as deleted
  EXPECT_EQ(file_delete((t / "no/such/f").c_str(), 0), 0);
  mkdir((t / "d").c_str(), 0755);
  unsigned long e = 0;
  EXPECT_EQ(file_delete((t / "d").c_str(), 0, &e), -1);
  EXPECT_NE(e, 0u);
  int64_t mark = log_console_count();
  EXPECT_EQ(file_remove((t / "d").c_str()), -1);
  EXPECT_TRUE(logged(mark, "remove: couldn't delete " + (t / "d") + " (error "));

  tmpdir_write(t / "d/x", "");
  EXPECT_EQ(dir_remove((t / "d").c_str()), -1);
  unlink((t / "d/x").c_str());
  EXPECT_EQ(dir_remove((t / "d").c_str()), 0);
  EXPECT_EQ(dir_remove((t / "d").c_str()), 0);
  tmpdir_write(t / "file", "");
  EXPECT_EQ(dir_remove((t / "file").c_str()), -1);

  // Replacing a file that a reader holds open: the reader keeps the old contents.
  tmpdir_write(t / "a", "new");
  tmpdir_write(t / "b", "old");
  int fd = open((t / "b").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(file_move((t / "a").c_str(), (t / "b").c_str()), 0);
  char buf[8] = {};
  EXPECT_EQ(read(fd, buf, sizeof buf), 3);
  EXPECT_STREQ(buf, "old");
  close(fd);
  EXPECT_EQ(tmpdir_read(t / "b"), "new");
  mark = log_console_count();
  EXPECT_EQ(file_move((t / "a").c_str(), (t / "b").c_str()), -1);
  EXPECT_TRUE(logged(mark, "move: " + (t / "a") + " -> " + (t / "b") + " failed (error 2)"));
}

TEST(Files, FailedMovesAndDeletesLeaveFoldersAsTheyWere) {
  std::string top = unprivileged_tmpdir("modes");
  ASSERT_FALSE(top.empty());
  int r = run_unprivileged([&]() {
    // A folder the user may not change holds a closed folder and a file.
    std::string shut = top + "/shut";
    if (fsys_make_folders((shut + "/closed").c_str()) != 0) return 10;
    tmpdir_write(shut + "/f", "x");
    chmod((shut + "/closed").c_str(), 0500);
    chmod(shut.c_str(), 0555);
    if (file_delete((shut + "/closed").c_str(), 0) != -1) return 11;
    if (file_move((shut + "/f").c_str(), (shut + "/closed").c_str()) != -1) return 12;
    struct stat st;
    if (lstat((shut + "/closed").c_str(), &st) != 0 || (st.st_mode & 07777) != 0500) return 13;
    if (tmpdir_read(shut + "/f") != "x") return 14;
    chmod(shut.c_str(), 0755);
    return 0;
  });
  tmpdir_remove(top);
  if (r == -2) GTEST_SKIP() << "can't run as an ordinary user here";
  EXPECT_EQ(r, 0);
}

TEST(TreeRemove, RefusesRootsAndTheUsersFolders) {
  ScratchHome fake("guard");
  TmpDir& t = fake.dir;
  std::string home = fake.home;
  mkdir((home + "/.config").c_str(), 0755);
  tmpdir_write(home + "/.config/user-dirs.dirs", "XDG_MUSIC_DIR=\"$HOME/Tunes\"\n");
  for (const char* d :
       {"/Tunes", "/Documents", "/Desktop", "/Downloads", "/.local", "/.local/share"}) {
    mkdir((home + d).c_str(), 0755);
  }
  tmpdir_write(home + "/Tunes/song.wav", "la");
  std::string config = t / "xdgconf";
  mkdir(config.c_str(), 0755);
  tmpdir_write(config + "/user-dirs.dirs", "XDG_MUSIC_DIR=\"$HOME/Tunes\"\n");
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);

  std::vector<std::string> refused = {"/",
                                      "/usr",
                                      "/etc/",
                                      "/bin",
                                      "/boot",
                                      "/dev",
                                      "/lib",
                                      "/proc",
                                      "/sys",
                                      "/var",
                                      "/home",
                                      "/root",
                                      "/opt",
                                      "/usr/lib",
                                      "/usr/share/doc",
                                      "/var/lib",
                                      "/tmp",
                                      "/var/tmp",
                                      home,
                                      home + "/",
                                      home + "/Tunes",
                                      home + "/TUNES/",
                                      home + "/tunes",
                                      home + "/Tunes/..",
                                      home + "/Documents",
                                      home + "/Desktop",
                                      home + "/Downloads",
                                      home + "/.local/share",
                                      home + "/.local",
                                      home + "/.config",
                                      config,
                                      t.path,  // t holds the home folder
                                      "/proc/self/.."};
  for (const std::string& p : refused) {
    int64_t mark = log_console_count();
    EXPECT_EQ(tree_remove_guarded(p.c_str()), -1) << p;
    EXPECT_TRUE(logged(mark, "remove: REFUSED to delete ")) << p;
    EXPECT_TRUE(logged(mark, "(a drive or a system folder)")) << p;
  }
  EXPECT_EQ(tree_remove_guarded(""), -1);
  EXPECT_EQ(tmpdir_read(home + "/Tunes/song.wav"), "la");
  EXPECT_TRUE(path_is_dir((home + "/Documents").c_str()));

  // Reached through a link in the path, the Music folder is still the Music folder.
  ASSERT_EQ(symlink(home.c_str(), (t / "via").c_str()), 0);
  EXPECT_EQ(tree_remove_guarded((t / "via/Tunes").c_str()), -1);
  EXPECT_EQ(tmpdir_read(home + "/Tunes/song.wav"), "la");
  // The link itself is not the home folder: it goes, as a link.
  EXPECT_EQ(tree_remove_guarded((t / "via").c_str()), 0);
  EXPECT_FALSE(exists(t / "via"));
  EXPECT_EQ(tmpdir_read(home + "/Tunes/song.wav"), "la");

  // Folders inside the user's folders are fair game.
  mkdir((home + "/Tunes/kelp").c_str(), 0755);
  EXPECT_EQ(tree_remove_guarded((home + "/Tunes/kelp").c_str()), 0);
  EXPECT_EQ(tree_remove_guarded((t / "never-was").c_str()), 0);
}

TEST(TreeRemove, LinksInsideAreRemovedNotFollowed) {
  ScratchHome fake("tree");
  TmpDir& t = fake.dir;
  tmpdir_write(fake.home + "/precious", "mine");
  std::string outside = t / "outside";
  mkdir(outside.c_str(), 0755);
  tmpdir_write(outside + "/keep.wav", "keep");

  std::string sketch = t / "library/sketch";
  ASSERT_EQ(fsys_make_folders((sketch + "/a/b/c").c_str()), 0);
  tmpdir_write(sketch + "/meta.json", "{}");
  tmpdir_write(sketch + "/a/b/c/deep", "x");
  chmod((sketch + "/a/b/c/deep").c_str(), 0444);  // read-only files go too
  ASSERT_EQ(symlink(fake.home.c_str(), (sketch + "/home-link").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), (sketch + "/a/outside-link").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/keep.wav").c_str(), (sketch + "/a/b/file-link").c_str()), 0);
  ASSERT_EQ(symlink("/nowhere", (sketch + "/dangling").c_str()), 0);

  EXPECT_EQ(tree_remove_guarded((sketch + "/").c_str()), 0);
  EXPECT_FALSE(exists(sketch));
  EXPECT_EQ(tmpdir_read(fake.home + "/precious"), "mine");
  EXPECT_EQ(tmpdir_read(outside + "/keep.wav"), "keep");
  EXPECT_TRUE(path_is_dir((t / "library").c_str()));

  // A single file goes through the file path.
  tmpdir_write(t / "library/loose.wav", "");
  EXPECT_EQ(tree_remove_guarded((t / "library/loose.wav").c_str()), 0);
  EXPECT_FALSE(exists(t / "library/loose.wav"));
}

TEST(TreeRemove, ReadOnlyAndLockedFoldersInsideASketchGoToo) {
  std::string top = unprivileged_tmpdir("readonly");
  ASSERT_FALSE(top.empty());
  int r = run_unprivileged([&]() {
    std::string sketch = top + "/library/sketch";
    if (fsys_make_folders((sketch + "/shut/inner").c_str()) != 0 ||
        fsys_make_folders((sketch + "/locked").c_str()) != 0)
      return 10;
    tmpdir_write(sketch + "/meta.json", "{}");
    tmpdir_write(sketch + "/shut/inner/take.wav", "x");
    tmpdir_write(sketch + "/locked/take.wav", "x");
    chmod((sketch + "/shut/inner").c_str(), 0555);
    chmod((sketch + "/shut").c_str(), 0555);
    chmod((sketch + "/locked").c_str(), 0);
    struct stat before, after;
    if (lstat((top + "/library").c_str(), &before) != 0) return 10;
    if (tree_remove_guarded(sketch.c_str()) != 0) return 12;
    if (exists(sketch)) return 13;
    // Only what was deleted was opened up.
    if (lstat((top + "/library").c_str(), &after) != 0 || after.st_mode != before.st_mode)
      return 11;
    // A folder the user can't list is neither empty nor missing.
    mkdir((top + "/closed").c_str(), 0);
    if (list_subfolders((top + "/closed").c_str(), nullptr, 0) != -1) return 14;
    char names[4][LIST_FILE_BYTES];
    if (list_files_with_suffix((top + "/closed").c_str(), ".wav", names, 4) != -1) return 15;
    if (list_subfolders((top + "/nowhere").c_str(), nullptr, 0) != 0) return 16;
    return 0;
  });
  tmpdir_remove(top);
  if (r == -2) GTEST_SKIP() << "can't run as an ordinary user here";
  EXPECT_EQ(r, 0);
}

TEST(TreeRemove, DepthLimitAndMountsInsideStopTheBranchOnly) {
  TmpDir t("depth");
  std::string top = t / "top";
  std::string p = top;
  for (int i = 0; i < 70; i++) p += "/d";
  ASSERT_EQ(fsys_make_folders(p.c_str()), 0);
  tmpdir_write(top + "/sibling", "");
  mkdir((top + "/other").c_str(), 0755);
  tmpdir_write(top + "/other/x", "");
  int64_t mark = log_console_count();
  EXPECT_EQ(tree_remove_guarded(top.c_str()), -1);
  EXPECT_TRUE(logged(mark, "remove: couldn't fully delete " + top));
  EXPECT_FALSE(exists(top + "/sibling"));
  EXPECT_FALSE(exists(top + "/other"));
  EXPECT_TRUE(exists(p));
  EXPECT_EQ(tree_delete(p.c_str()), 0);
  // A link named with a trailing separator still goes as a link.
  tmpdir_write(top + "/d/kept", "k");
  ASSERT_EQ(symlink((top + "/d").c_str(), (t / "to-d").c_str()), 0);
  EXPECT_EQ(tree_delete((t / "to-d/").c_str()), 0);
  EXPECT_FALSE(exists(t / "to-d"));
  EXPECT_EQ(tmpdir_read(top + "/d/kept"), "k");

  // A folder of the same volume mounted inside (as a bind mount) is never entered.
  std::string outside = t / "outside";
  mkdir(outside.c_str(), 0755);
  tmpdir_write(outside + "/keep", "kept");
  std::string s1 = t / "s1";
  ASSERT_EQ(fsys_make_folders((s1 + "/mnt").c_str()), 0);
  if (mount(outside.c_str(), (s1 + "/mnt").c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "can't bind-mount here (needs root)";
  }
  EXPECT_EQ(tree_remove_guarded(s1.c_str()), -1);
  EXPECT_EQ(tmpdir_read(outside + "/keep"), "kept");
  tmpfs_unmount(s1 + "/mnt");
  EXPECT_EQ(tree_remove_guarded(s1.c_str()), 0);

  // Another volume mounted inside is never entered; its root is refused outright.
  ScratchVolume vol(1u << 20, "inner");
  if (!vol.mounted) GTEST_SKIP() << vol.why;
  tmpdir_write(vol / "on-the-volume", "safe");
  EXPECT_EQ(tree_remove_guarded(vol.path.c_str()), -1);
  std::string sketch = t / "sketch";
  mkdir(sketch.c_str(), 0755);
  mkdir((sketch + "/mnt").c_str(), 0755);
  ASSERT_EQ(mount(vol.path.c_str(), (sketch + "/mnt").c_str(), nullptr, MS_BIND, nullptr), 0);
  tmpdir_write(sketch + "/meta.json", "");
  EXPECT_EQ(tree_remove_guarded(sketch.c_str()), -1);
  EXPECT_EQ(tmpdir_read(vol / "on-the-volume"), "safe");
  EXPECT_FALSE(exists(sketch + "/meta.json"));
  tmpfs_unmount(sketch + "/mnt");
  EXPECT_EQ(tree_remove_guarded(sketch.c_str()), 0);
}

TEST(TmpCleanup, RemovesOnlyStrayTmpFiles) {
  TmpDir t("cleanup");
  for (const char* f : {"meta.json.tmp", "a.TMP", "tmp", "tape.f32", "x.tmpl"})
    tmpdir_write(t / f, "");
  mkdir((t / "x.tmp").c_str(), 0755);
  // A temporary file a writer is still filling is not stray.
  SafeWriter w;
  ASSERT_EQ(safe_writer_open(&w, (t / "tape.f32").c_str()), 0);
  int64_t mark = log_console_count();
  EXPECT_EQ(tmp_cleanup(t.path.c_str()), 2);
  EXPECT_TRUE(logged(mark, "cleanup: removed 2 stray .tmp files in " + t.path));
  EXPECT_FALSE(exists(t / "meta.json.tmp"));
  EXPECT_FALSE(exists(t / "a.TMP"));
  for (const char* f : {"tmp", "tape.f32", "x.tmpl", "x.tmp"}) EXPECT_TRUE(exists(t / f)) << f;
  ASSERT_EQ(safe_writer_write(&w, "take", 4), 0);
  ASSERT_EQ(safe_writer_commit(&w), 0);
  EXPECT_EQ(tmpdir_read(t / "tape.f32"), "take");
  tmpdir_write(t / "one.tmp", "");
  mark = log_console_count();
  EXPECT_EQ(tmp_cleanup(t.path.c_str()), 1);
  EXPECT_TRUE(logged(mark, "cleanup: removed 1 stray .tmp file in "));
  EXPECT_EQ(tmp_cleanup(t.path.c_str()), 0);
  EXPECT_EQ(tmp_cleanup((t / "missing").c_str()), 0);
}
