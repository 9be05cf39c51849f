// The rig store in one process: file names and folders, the merge rule, and loads and saves on
// real files in a scratch folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "platform/filelock.h"
#include "rig_store_fixture.h"
#include "support/tmpfs.h"

using namespace rig_store_test;

namespace {

bool exists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

// Names in folder holding part, shortest first.
std::vector<std::string> names_with(const std::string& folder, const std::string& part) {
  std::vector<std::string> out;
  FsysDir* d = fsys_dir_open(folder.c_str(), false, nullptr);
  FsysEntry e;
  while (d && fsys_dir_next(d, &e))
    if (std::string(e.name).find(part) != std::string::npos) out.push_back(e.name);
  if (d) fsys_dir_close(d);
  std::sort(out.begin(), out.end(), [](auto& a, auto& b) { return a.size() < b.size(); });
  return out;
}

FsysFile hold_lock(RigStore* s, const char* key = kKey) {
  std::string p = rig_path(s, key);
  size_t slash = p.rfind('/');
  p = p.substr(0, slash + 1) + "." + p.substr(slash + 1, p.size() - slash - 6) + ".lock";
  FsysFile f = FSYS_NO_FILE;
  EXPECT_EQ(filelock_take(p.c_str(), 0, &f, nullptr), 0);
  return f;
}

void set_env(const char* name, const char* value) {
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

}  // namespace

TEST(RigFileName, SlugHashAndLimits) {
  struct Case {
    const char* key;
    const char* want;
  } cases[] = {
      {"a", "a-e40c292c.json"},
      {"foobar", "foobar-bf9cf968.json"},
      {"", "-811c9dc5.json"},
      // Runs of anything else become one dash, none at either end; letters lower-cased.
      {"  ALSA:: USB  Audio ", "alsa-usb-audio-"},
      {"0123456789012345678901234567890123456789xyz", "0123456789012345678901234567890123456789-"},
      // 39 characters, then a gap: the slug stops rather than end in a dash.
      {"abcdefghijabcdefghijabcdefghijabcdefghi-x", "abcdefghijabcdefghijabcdefghijabcdefghi-"},
  };
  for (const Case& c : cases) {
    char out[RIG_FILE_NAME_BYTES];
    ASSERT_EQ(rig_file_name(c.key, out), 0) << c.key;
    EXPECT_EQ(std::string(out).substr(0, strlen(c.want)), c.want);
    EXPECT_EQ(strlen(out), strlen(c.want) + (strchr(c.want, '.') ? 0 : 13)) << out;
  }
  char out[RIG_FILE_NAME_BYTES];
  EXPECT_EQ(rig_file_name(nullptr, out), -1);
}

TEST(RigDefaultFolder, FollowsXdgThenHome) {
  struct Case {
    const char *xdg, *home, *want;
  } cases[] = {
      {"/x/conf//", "/h", "/x/conf/SeaGlass/rigs"},
      {"relative", "/h", "/h/.config/SeaGlass/rigs"},
      {nullptr, "/h", "/h/.config/SeaGlass/rigs"},
      {nullptr, nullptr, "rigs"},
  };
  std::string xdg = getenv("XDG_CONFIG_HOME") ? getenv("XDG_CONFIG_HOME") : "";
  std::string home = getenv("HOME") ? getenv("HOME") : "";
  for (const Case& c : cases) {
    set_env("XDG_CONFIG_HOME", c.xdg);
    set_env("HOME", c.home);
    char out[256], tiny[8];
    ASSERT_EQ(rig_default_folder(out, sizeof out), 0);
    EXPECT_STREQ(out, c.want);
    EXPECT_EQ(rig_default_folder(tiny, sizeof tiny), strlen(c.want) < 8 ? 0 : -1);
  }
  set_env("XDG_CONFIG_HOME", xdg.empty() ? nullptr : xdg.c_str());
  set_env("HOME", home.empty() ? nullptr : home.c_str());
}

TEST(RigMerge, CopiesOnlyWhatTheChangeSetNames) {
  struct Case {
    uint8_t channel_flags, scene_flags;
    bool gain, pan, label, master, stamped;
  } cases[] = {
      {RIG_CH_GAIN, 0, true, false, false, false, true},
      {RIG_CH_PAN | RIG_CH_LABEL, 0, false, true, true, false, true},
      {0, RIG_SC_WHOLE, true, true, false, true, true},  // values, not labels
      {0, RIG_SC_MASTER, false, false, false, true, true},
      {0, 0, false, false, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.channel_flags) + "/" + std::to_string(c.scene_flags));
    DocPtr disk = new_rig(4, "other"), ours = new_rig(4, "kelp");
    RigChannel& oc = ours->scenes[1].channels[2];
    oc.gain = 0.5f;
    oc.pan = -0.25f;
    snprintf(oc.label, sizeof oc.label, "vox");
    ours->scenes[1].master_gain = 0.7f;
    ours->scenes[1].updated_at = 1000;
    ours->scenes[0].channels[2].gain = 0.1f;  // not flagged anywhere
    RigChanges ch;
    rig_changes_clear(&ch);
    ch.channel[1][2] = c.channel_flags;
    ch.scene[1] = c.scene_flags;
    rig_merge_changes(disk.get(), ours.get(), &ch);
    const RigChannel& dc = disk->scenes[1].channels[2];
    EXPECT_EQ(dc.gain == 0.5f, c.gain);
    EXPECT_EQ(dc.pan == -0.25f, c.pan);
    EXPECT_EQ(strcmp(dc.label, "vox") == 0, c.label);
    EXPECT_EQ(disk->scenes[1].master_gain == 0.7f, c.master);
    EXPECT_EQ(strcmp(disk->scenes[1].author, "kelp") == 0, c.stamped);
    EXPECT_EQ(disk->scenes[1].updated_at == 1000, c.stamped);
    EXPECT_EQ(disk->scenes[0].channels[2].gain, 1.0f);
  }
}

TEST(RigMerge, ExtraChannelsDeviceAndAppScenes) {
  auto app = [](RigDoc* d, const std::string& name, int scene, double at) {
    RigAppScene& a = d->app_scenes[d->app_scene_count++];
    snprintf(a.app, sizeof a.app, "%s", name.c_str());
    a.scene = scene;
    a.at = at;
  };
  DocPtr disk = new_rig(2), ours = new_rig(6);
  ours->scenes[0].channels[4].gain = 0.3f;
  rig_text_set(&ours->scenes[0].channels[4].extra, "\"x\":1", 5);
  snprintf(ours->channel_names[3], RIG_NAME_BYTES, "Mic 4");
  ours->active_scene = 2;
  app(disk.get(), "a", 0, 10);
  app(disk.get(), "b", 0, 30);
  app(ours.get(), "a", 1, 20);  // newer than the disk's
  app(ours.get(), "b", 1, 25);  // older
  app(ours.get(), "c", 3, 5);   // only ours
  RigChanges ch;
  rig_changes_clear(&ch);
  ch.device = ch.active_scene = true;
  rig_merge_changes(disk.get(), ours.get(), &ch);
  EXPECT_EQ(disk->scenes[0].channel_count, 6);
  EXPECT_EQ(disk->scenes[0].channels[4].gain, 0.3f);
  EXPECT_STREQ(rig_text_str(&disk->scenes[0].channels[4].extra), "\"x\":1");
  EXPECT_EQ(disk->channels, 6);
  EXPECT_STREQ(disk->channel_names[3], "Mic 4");
  EXPECT_EQ(disk->active_scene, 2);
  ASSERT_EQ(disk->app_scene_count, 3);
  EXPECT_EQ(disk->app_scenes[0].scene, 1);
  EXPECT_EQ(disk->app_scenes[1].scene, 0);
  EXPECT_STREQ(disk->app_scenes[2].app, "c");
  // A full list: a newcomer replaces the oldest only when it is newer than that one.
  DocPtr full = new_rig(2), late = new_rig(2), early = new_rig(2);
  for (int i = 0; i < RIG_APP_SCENES; i++) app(full.get(), "app" + std::to_string(i), 0, 100 + i);
  app(early.get(), "early", 2, 50);
  app(late.get(), "late", 2, 500);
  rig_merge_changes(full.get(), early.get(), &ch);
  rig_merge_changes(full.get(), late.get(), &ch);
  EXPECT_EQ(full->app_scene_count, RIG_APP_SCENES);
  EXPECT_STREQ(full->app_scenes[0].app, "late");
  for (int i = 1; i < RIG_APP_SCENES; i++) EXPECT_STRNE(full->app_scenes[i].app, "early");
}

TEST(RigStore, CreatesLoadsAndSavesWithRisingRevisions) {
  TmpDir dir("rigstore");
  StorePtr s(open_store(dir / "conf/SeaGlass/rigs"));  // made on demand, parents too
  DocPtr doc = load(s.get());
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->rev, 1);
  std::string path = rig_path(s.get());
  for (int i = 0; i < 3; i++) {
    RigResult r = save_gain(s.get(), doc.get(), 0, 1, 0.25f * (float)(i + 1));
    ASSERT_EQ(r.kind, RIG_RESULT_SAVED) << r.message;
    EXPECT_EQ(r.rev, 2 + i);
    doc.reset(r.doc);
  }
  DocPtr onfile = read_rig(path);
  ASSERT_TRUE(onfile);
  EXPECT_EQ(onfile->rev, 4);
  EXPECT_EQ(onfile->scenes[0].channels[1].gain, 0.75f);
  EXPECT_STREQ(onfile->writer_instance, rig_store_instance(s.get()));
  EXPECT_STREQ(onfile->writer_platform, "linux");
  EXPECT_FALSE(exists(path + ".tmp"));
  EXPECT_EQ(load(s.get())->rev, 4);
  // A file gone since: the save writes ours whole.
  unlink(path.c_str());
  RigResult again = save_gain(s.get(), doc.get(), 0, 2, 0.5f);
  EXPECT_EQ(again.rev, 5);
  rig_result_clear(&again);
  EXPECT_EQ(read_rig(path)->scenes[0].channels[2].gain, 0.5f);
  // A key without a template gets a one-input rig named from the key.
  ASSERT_NE(rig_store_load(s.get(), "jack:Other Card", nullptr), 0u);
  RigResult r = {};
  ASSERT_TRUE(take(s.get(), &r));
  ASSERT_EQ(r.kind, RIG_RESULT_LOADED);
  EXPECT_STREQ(r.doc->api, "jack");
  EXPECT_STREQ(r.doc->device_name, "Other Card");
  EXPECT_EQ(r.doc->channels, 1);
  rig_result_clear(&r);
}

// Another store (another writer instance) edits the watched key: one CHANGED_ON_DISK for its
// write, none for our own, with change notices and with polling alone.
TEST(RigStore, WatchSeesOthersWritesNotOurs) {
  for (bool no_watch : {false, true}) {
    SCOPED_TRACE(no_watch ? "polling" : "notices");
    TmpDir dir("rigwatch");
    // Polling slowly with notices on: a change seen quickly came by notice.
    StorePtr ours(open_store(dir.path, "kelp", no_watch ? 50 : 5000, no_watch));
    StorePtr other(open_store(dir.path, "other", 5000, true));
    DocPtr mine = load(ours.get());
    rig_store_watch(ours.get(), kKey);
    RigResult r = save_gain(ours.get(), mine.get(), 0, 0, 0.5f);
    rig_result_clear(&r);
    DocPtr theirs = load(other.get());
    r = save_gain(other.get(), theirs.get(), 0, 1, 0.25f);
    int64_t their_rev = r.rev;
    rig_result_clear(&r);
    ASSERT_TRUE(take(ours.get(), &r, 2000, true));
    EXPECT_EQ(r.kind, RIG_RESULT_CHANGED_ON_DISK);
    EXPECT_EQ(r.rev, their_rev);
    EXPECT_STREQ(r.writer_app, "other");
    EXPECT_EQ(r.doc->scenes[0].channels[1].gain, 0.25f);
    EXPECT_EQ(r.doc->scenes[0].channels[0].gain, 0.5f);
    rig_result_clear(&r);
    r = save_gain(ours.get(), mine.get(), 0, 2, 0.125f);
    EXPECT_EQ(r.rev, their_rev + 1);
    rig_result_clear(&r);
    EXPECT_FALSE(take(ours.get(), &r, 300, true)) << r.kind;
  }
}

// Saves queued behind a running one fold into one write; every id still hears its answer.
TEST(RigStore, QueuedSavesFoldTogether) {
  TmpDir dir("rigfold");
  StorePtr s(open_store(dir.path));
  DocPtr doc = load(s.get());
  FsysFile held = hold_lock(s.get());
  std::vector<uint32_t> ids, answered;
  std::vector<int64_t> revs;
  for (int i = 0; i < 4; i++) {
    doc->scenes[0].channels[i].gain = 0.1f * (float)(i + 1);
    RigChanges c;
    rig_changes_clear(&c);
    c.channel[0][i] = RIG_CH_GAIN;
    ids.push_back(rig_store_save(s.get(), doc.get(), &c));
    if (i == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the first runs
  }
  EXPECT_TRUE(rig_store_busy(s.get(), nullptr));
  filelock_release(held);
  for (int i = 0; i < 4; i++) {
    RigResult r = {};
    ASSERT_TRUE(take(s.get(), &r));
    EXPECT_EQ(r.kind, RIG_RESULT_SAVED) << r.message;
    answered.push_back(r.id);
    revs.push_back(r.rev);
    rig_result_clear(&r);
  }
  EXPECT_EQ(answered, ids);
  EXPECT_EQ(revs, (std::vector<int64_t>{2, 3, 3, 3}));
  DocPtr onfile = read_rig(rig_path(s.get()));
  for (int i = 0; i < 4; i++) EXPECT_FLOAT_EQ(onfile->scenes[0].channels[i].gain, 0.1f * (i + 1));
}

TEST(RigStore, NewerVersionIsReadOnlyAndNeverWritten) {
  TmpDir dir("rigv2");
  StorePtr s(open_store(dir.path));
  DocPtr doc = load(s.get());
  std::string path = rig_path(s.get());
  std::string text = tmpdir_read(path);
  size_t at = text.find("\"version\":1");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 11, "\"version\":2");
  tmpdir_write(path, text);
  // A save posted before the store knows: answered with code 2.
  RigResult r = save_gain(s.get(), doc.get(), 0, 1, 0.5f);
  EXPECT_EQ(r.kind, RIG_RESULT_SAVE_FAILED);
  EXPECT_EQ(r.code, RIG_DECODE_READ_ONLY);
  EXPECT_STREQ(r.message, "read only - a newer app made this file");
  rig_result_clear(&r);
  // Now the key is marked: saves are refused at once; a load says read-only.
  EXPECT_EQ(rig_store_save(s.get(), doc.get(), nullptr), 0u);
  ASSERT_NE(rig_store_load(s.get(), kKey, nullptr), 0u);
  ASSERT_TRUE(take(s.get(), &r));
  EXPECT_EQ(r.code, RIG_DECODE_READ_ONLY);
  EXPECT_TRUE(r.doc->read_only);
  rig_result_clear(&r);
  EXPECT_TRUE(rig_store_flush(s.get(), 1000));
  EXPECT_EQ(tmpdir_read(path), text);
}

TEST(RigStore, GarbageIsSetAsideWithADatedName) {
  TmpDir dir("rigdamage");
  StorePtr s(open_store(dir.path));
  std::string path = rig_path(s.get());
  std::string base = path.substr(0, path.size() - 5) + ".damaged-";
  tmpdir_write(path, "{\"not\": a rig");
  EXPECT_EQ(load(s.get())->rev, 1);
  std::vector<std::string> aside = names_with(dir.path, ".damaged-");
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(dir / aside[0], base + aside[0].substr(aside[0].size() - 20));
  EXPECT_EQ(tmpdir_read(dir / aside[0]), "{\"not\": a rig");
  // The second damage within the same second finds the name taken; the next seconds' names are
  // taken beforehand so that a run crossing a second boundary takes "-2" all the same.
  time_t now = time(nullptr);
  for (int i = 1; i <= 3; i++) {
    time_t t = now + i;
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", localtime(&t));
    tmpdir_write(base + stamp + ".json", "");
  }
  tmpdir_write(path, "garbage");
  EXPECT_EQ(load(s.get())->rev, 1);
  ASSERT_TRUE(read_rig(path));
  std::vector<std::string> second = names_with(dir.path, "-2.json");
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].size(), aside[0].size() + 2);
  EXPECT_EQ(tmpdir_read(dir / second[0]), "garbage");
}

TEST(RigStore, ALoadReadsAgainWhileTheFileIsRewritten) {
  TmpDir dir("rigreread");
  StorePtr s(open_store(dir.path));
  DocPtr doc = load(s.get());
  RigResult r = save_gain(s.get(), doc.get(), 0, 3, 0.5f);
  rig_result_clear(&r);
  std::string path = rig_path(s.get());
  std::string good = tmpdir_read(path);
  tmpdir_write(path, good.substr(0, good.size() / 2));
  std::thread fixer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    tmpdir_write(path, good);
  });
  log_clear();
  DocPtr again = load(s.get());
  fixer.join();
  EXPECT_EQ(again->rev, 2);
  EXPECT_EQ(again->scenes[0].channels[3].gain, 0.5f);
  EXPECT_EQ(logged("- reading it again"), 1);
  EXPECT_TRUE(names_with(dir.path, ".damaged-").empty());
}

TEST(RigStore, ASaveNeverOverwritesADamagedFile) {
  TmpDir dir("rigsavedamage");
  StorePtr s(open_store(dir.path));
  DocPtr doc = load(s.get());
  tmpdir_write(rig_path(s.get()), "garbage");
  RigResult r = save_gain(s.get(), doc.get(), 0, 1, 0.5f);
  EXPECT_EQ(r.kind, RIG_RESULT_SAVE_FAILED);
  EXPECT_EQ(std::string(r.message).rfind("the rig file on disk is damaged (", 0), 0u) << r.message;
  rig_result_clear(&r);
  EXPECT_EQ(tmpdir_read(rig_path(s.get())), "garbage");
}

TEST(RigStore, StrayTemporaryFilesGoOnlyWhenTheirLockIsFree) {
  TmpDir dir("rigstray");
  StorePtr first(open_store(dir.path));
  std::string free_tmp = rig_path(first.get()) + ".tmp";
  std::string held_tmp = rig_path(first.get(), "jack:Busy") + ".tmp";
  FsysFile held = hold_lock(first.get(), "jack:Busy");
  load(first.get());  // its start-up clean-up is over
  for (const std::string& p : {free_tmp, held_tmp, dir / "notes.tmp"}) tmpdir_write(p, "{\"half");
  log_clear();
  StorePtr s(open_store(dir.path));
  load(s.get());  // after the thread's start-up work
  EXPECT_FALSE(exists(free_tmp));
  EXPECT_TRUE(exists(held_tmp));
  EXPECT_TRUE(exists(dir / "notes.tmp"));
  EXPECT_EQ(logged("rig: removed a stray "), 1);
  filelock_release(held);
}

TEST(RigStore, AFullDiskFailsTheSaveUntilSpaceReturns) {
  ScratchVolume vol(1u << 20, "rigfull");
  if (!vol.mounted) GTEST_SKIP() << vol.why;
  StorePtr s(open_store(vol / "rigs"));
  DocPtr doc = load(s.get());
  std::string path = rig_path(s.get());
  std::string before = tmpdir_read(path);
  ASSERT_EQ(tmpfs_fill(vol.path, 0), 0);
  RigResult r = save_gain(s.get(), doc.get(), 0, 1, 0.5f);
  EXPECT_EQ(r.kind, RIG_RESULT_SAVE_FAILED);
  EXPECT_STREQ(r.message, "can't write the rig file: the disk is full");
  rig_result_clear(&r);
  EXPECT_EQ(tmpdir_read(path), before);
  EXPECT_FALSE(exists(path + ".tmp"));
  ASSERT_EQ(unlink((vol / "filler").c_str()), 0);
  r = save_gain(s.get(), doc.get(), 0, 1, 0.5f);
  EXPECT_EQ(r.kind, RIG_RESULT_SAVED) << r.message;
  rig_result_clear(&r);
}

TEST(RigStore, ClosingDuringASaveFinishesItInTheBackground) {
  TmpDir dir("rigclose");
  RigStore* s = open_store(dir.path);
  DocPtr doc = load(s);
  std::string path = rig_path(s);
  FsysFile held = hold_lock(s);
  doc->scenes[0].channels[5].gain = 0.5f;
  RigChanges c;
  rig_changes_clear(&c);
  c.channel[0][5] = RIG_CH_GAIN;
  ASSERT_NE(rig_store_save(s, doc.get(), &c), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  log_clear();
  rig_store_close(s, 100);  // s belongs to its thread now
  EXPECT_EQ(logged("rig: still writing at close - the store finishes in the background"), 1);
  filelock_release(held);
  DocPtr onfile;
  for (int i = 0; i < 300 && !(onfile && onfile->rev == 2); i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    onfile = read_rig(path);
  }
  ASSERT_TRUE(onfile);
  EXPECT_EQ(onfile->scenes[0].channels[5].gain, 0.5f);
}

TEST(RigStore, RefusesWhatItCanNotSave) {
  TmpDir dir("rigrefuse");
  StorePtr s(open_store(dir.path));
  DocPtr doc = new_rig();
  doc->key[0] = 0;
  EXPECT_EQ(rig_store_save(s.get(), doc.get(), nullptr), 0u);
  doc = new_rig();
  doc->read_only = true;
  EXPECT_EQ(rig_store_save(s.get(), doc.get(), nullptr), 0u);
  EXPECT_EQ(rig_store_load(s.get(), "", nullptr), 0u);
  // A folder that can't be made: the load fails with the reason.
  tmpdir_write(dir / "file", "x");
  StorePtr bad(open_store(dir / "file/rigs"));
  ASSERT_NE(rig_store_load(bad.get(), kKey, nullptr), 0u);
  RigResult r = {};
  ASSERT_TRUE(take(bad.get(), &r));
  EXPECT_EQ(r.kind, RIG_RESULT_LOAD_FAILED);
  EXPECT_STREQ(r.message, "can't create the rigs folder: the folder can't be reached");
  rig_result_clear(&r);
}
