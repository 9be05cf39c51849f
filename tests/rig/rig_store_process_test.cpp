// The rig store against other processes on the same rig file (tools/rig_sibling): edits of
// both sides land, a writer killed mid-save never leaves a torn file, a held lock fails a save.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "rig_store_fixture.h"
#include "support/process.h"

using namespace rig_store_test;

extern char** environ;

namespace {

std::string sibling() {
  return std::string(KELP_BINARY_DIR) + "/tools/rig_sibling";
}

bool have_sibling() {
  struct stat st;
  return stat(sibling().c_str(), &st) == 0;
}

// Starts the sibling with its output into out_path; the pid.
pid_t start(const std::vector<std::string>& args, const std::string& out_path) {
  std::vector<std::string> all = {sibling()};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int r = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  return r == 0 ? pid : -1;
}

int finish(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> lines(const std::string& text, const std::string& prefix) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string l = text.substr(at, end - at);
    if (l.rfind(prefix, 0) == 0) out.push_back(l);
    at = end + 1;
  }
  return out;
}

bool wait_for_line(const std::string& path, const std::string& line, int ms) {
  for (int i = 0; i < ms / 5; i++) {
    if (tmpdir_read(path).find(line) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

}  // namespace

// Two siblings and this process edit three channels of one scene at the same moment.
TEST(RigStoreProcess, EveryonesEditsLandAndOwnWritesAreIgnored) {
  if (!have_sibling()) GTEST_SKIP() << "build tools/rig_sibling first";
  TmpDir dir("rigsiblings");
  StorePtr s(open_store(dir.path, "kelp", 100));
  DocPtr doc = load(s.get());
  ASSERT_TRUE(doc);
  rig_store_watch(s.get(), kKey);
  std::string go = dir / "go";
  pid_t a = start({"--folder", dir.path, "--key", kKey, "--app", "alpha", "--gain", "0", "1", "0.5",
                   "--wait-file", go, "--watch", "1500"},
                  dir / "alpha.out");
  pid_t b = start({"--folder", dir.path, "--key", kKey, "--app", "beta", "--gain", "0", "2", "0.25",
                   "--wait-file", go, "--watch", "1500"},
                  dir / "beta.out");
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  ASSERT_TRUE(wait_for_line(dir / "alpha.out", "loaded", 5000));
  ASSERT_TRUE(wait_for_line(dir / "beta.out", "loaded", 5000));
  tmpdir_write(go, "");
  RigResult r = save_gain(s.get(), doc.get(), 0, 3, 0.125f);
  EXPECT_EQ(r.kind, RIG_RESULT_SAVED) << r.message;
  int64_t our_rev = r.rev;
  rig_result_clear(&r);
  EXPECT_EQ(finish(a), 0);
  EXPECT_EQ(finish(b), 0);

  DocPtr onfile = read_rig(rig_path(s.get()));
  ASSERT_TRUE(onfile);
  EXPECT_EQ(onfile->scenes[0].channels[1].gain, 0.5f);
  EXPECT_EQ(onfile->scenes[0].channels[2].gain, 0.25f);
  EXPECT_EQ(onfile->scenes[0].channels[3].gain, 0.125f);
  EXPECT_EQ(onfile->rev, 4);  // created at 1, one up for each of the three saves

  // Each side hears of the others' writes, never of its own. The last writer merged the others'
  // edits into its own write, so only those before it must hear of a later one.
  std::vector<int64_t> revs = {our_rev};
  for (const char* who : {"alpha", "beta"}) {
    std::string out = tmpdir_read(dir / (std::string(who) + ".out"));
    std::vector<std::string> saved = lines(out, "saved ");
    ASSERT_EQ(saved.size(), 1u) << out;
    int64_t rev = atoll(saved[0].c_str() + 6);
    revs.push_back(rev);
    std::vector<std::string> changed = lines(out, "changed ");
    if (rev < 4) {
      EXPECT_FALSE(changed.empty()) << out;
    }
    for (const std::string& l : changed) EXPECT_EQ(l.find(who), std::string::npos) << l;
  }
  std::sort(revs.begin(), revs.end());
  EXPECT_EQ(revs, (std::vector<int64_t>{2, 3, 4}));
  std::vector<std::string> seen;
  while (take(s.get(), &r, 300, true)) {
    EXPECT_EQ(r.kind, RIG_RESULT_CHANGED_ON_DISK);
    seen.push_back(r.writer_app);
    rig_result_clear(&r);
  }
  if (our_rev < 4) {
    EXPECT_FALSE(seen.empty());
  }
  for (const std::string& w : seen) EXPECT_NE(w, "kelp");
}

// Writers killed at random points of their saves: the rig file always decodes whole, and the
// temporary file a killed writer leaves goes at the next start.
TEST(RigStoreProcess, AWriterKilledMidSaveNeverTearsTheFile) {
  if (!have_sibling()) GTEST_SKIP() << "build tools/rig_sibling first";
  TmpDir dir("rigkill");
  std::string path;
  {
    StorePtr s(open_store(dir.path));
    ASSERT_TRUE(load(s.get(), 64));
    path = rig_path(s.get());
  }
  std::mt19937 rng(7);
  int64_t last_rev = 1;
  for (int i = 0; i < 100; i++) {
    const std::string out = dir / "writer.out";
    pid_t pid = start({"--folder", dir.path, "--key", kKey, "--channels", "64", "--gain", "1", "5",
                       "0.5", "--saves", "100000"},
                      out);
    ASSERT_GT(pid, 0);
    // The kill lands somewhere in its saves, however slowly this build starts a process.
    for (int w = 0; w < 5000 && tmpdir_read(out).find("loaded ") == std::string::npos; w++)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::microseconds(1000 + rng() % 20000));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    DocPtr d = read_rig(path);
    ASSERT_TRUE(d) << "round " << i;
    EXPECT_GE(d->rev, last_rev);
    last_rev = d->rev;
  }
  EXPECT_GT(last_rev, 1);  // some saves landed between the kills
  // Whether or not a kill hit a write, a half-written temporary file is gone after a start.
  tmpdir_write(path + ".tmp", "{\"version\":1,\"ke");
  log_clear();
  StorePtr s(open_store(dir.path));
  DocPtr d = load(s.get(), 64);
  ASSERT_TRUE(d);
  struct stat st;
  EXPECT_NE(stat((path + ".tmp").c_str(), &st), 0);
  EXPECT_EQ(logged("rig: removed a stray "), 1);
}

TEST(RigStoreProcess, ALockHeldElsewhereFailsTheSaveThenItLands) {
  if (!have_sibling()) GTEST_SKIP() << "build tools/rig_sibling first";
  TmpDir dir("riglock");
  StorePtr s(open_store(dir.path));
  DocPtr doc = load(s.get());
  pid_t holder = start({"--folder", dir.path, "--key", kKey, "--hold-lock", "3000"}, dir / "h.out");
  ASSERT_TRUE(wait_for_line(dir / "h.out", "locked", 5000));
  RigResult r = save_gain(s.get(), doc.get(), 0, 1, 0.5f);
  EXPECT_EQ(r.kind, RIG_RESULT_SAVE_FAILED);
  EXPECT_EQ(r.code, -1);
  EXPECT_STREQ(r.message, "the rig file is locked by another app");
  rig_result_clear(&r);
  EXPECT_EQ(read_rig(rig_path(s.get()))->rev, 1);
  EXPECT_EQ(finish(holder), 0);
  r = save_gain(s.get(), doc.get(), 0, 1, 0.5f);
  EXPECT_EQ(r.kind, RIG_RESULT_SAVED) << r.message;
  EXPECT_EQ(r.rev, 2);
  rig_result_clear(&r);
}
