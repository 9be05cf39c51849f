// The rig store in one process: file names and folders, the merge rule, and loads and saves on
// real files in a scratch folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
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

std::vector<std::string> names_with(const std::string& folder, const std::string& part) {
  std::vector<std::string> out;
  FsysDir* d = fsys_dir_open(folder.c_str(), false, nullptr);
  FsysEntry e;
  while (d && fsys_dir_next(d, &e))
    if (std::string(e.name).find(part) != std::string::npos) out.push_back(e.name);
  if (d) fsys_dir_close(d);
  std::sort(out.begin(), out.end());
  return out;
}

std::string lock_path(RigStore* s, const char* key = kKey) {
  char name[RIG_FILE_NAME_BYTES];
  rig_file_name(key, name);
  name[strlen(name) - 5] = 0;
  return std::string(rig_store_folder(s)) + "/." + name + ".lock";
}

struct Env {
  std::string name, old;
  bool had;
  Env(const char* n, const char* value) : name(n) {
    const char* o = getenv(n);
    had = o != nullptr;
    if (o) old = o;
    if (value) {
      setenv(n, value, 1);
    } else {
      unsetenv(n);
    }
  }
  ~Env() {
    if (had) {
      setenv(name.c_str(), old.c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
};

}  // namespace

TEST(RigFileName, SlugHashAndLimits) {
  struct Case {
    const char* key;
    const char* want;  // null: the call fails
  } cases[] = {
      {"a", "a-e40c292c.json"},
      {"foobar", "foobar-bf9cf968.json"},
      {"", "-811c9dc5.json"},
      // Runs of anything else become one dash, none at either end; letters lower-cased.
      {"  ALSA:: USB  Audio ", nullptr},
      {"0123456789012345678901234567890123456789xyz", nullptr},
      // 39 characters, then a gap: the slug stops rather than end in a dash.
      {"abcdefghijabcdefghijabcdefghijabcdefghi-x", nullptr},
  };
  for (const Case& c : cases) {
    char out[RIG_FILE_NAME_BYTES];
    ASSERT_EQ(rig_file_name(c.key, out), 0) << c.key;
    if (c.want) {
      EXPECT_STREQ(out, c.want);
    }
  }
  char out[RIG_FILE_NAME_BYTES];
  rig_file_name("  ALSA:: USB  Audio ", out);
  EXPECT_EQ(std::string(out).substr(0, 15), "alsa-usb-audio-");
  rig_file_name("0123456789012345678901234567890123456789xyz", out);
  EXPECT_EQ(strlen(out), 40u + 1 + 8 + 5);
  rig_file_name("abcdefghijabcdefghijabcdefghijabcdefghi-x", out);
  EXPECT_EQ(std::string(out).substr(0, 40), "abcdefghijabcdefghijabcdefghijabcdefghi-");
  EXPECT_EQ(strlen(out), 39u + 1 + 8 + 5);
  EXPECT_EQ(rig_file_name(nullptr, out), -1);
  EXPECT_STREQ(out, "");
}

TEST(RigDefaultFolder, FollowsXdgThenHome) {
  struct Case {
    const char* xdg;
    const char* home;
    const char* want;
  } cases[] = {
      {"/x/conf", "/h", "/x/conf/SeaGlass/rigs"},
      {"/x/conf//", "/h", "/x/conf/SeaGlass/rigs"},
      {"relative", "/h", "/h/.config/SeaGlass/rigs"},
      {nullptr, "/h", "/h/.config/SeaGlass/rigs"},
      {nullptr, nullptr, "rigs"},
  };
  for (const Case& c : cases) {
    Env xdg("XDG_CONFIG_HOME", c.xdg), home("HOME", c.home);
    char out[256];
    ASSERT_EQ(rig_default_folder(out, sizeof out), 0);
    EXPECT_STREQ(out, c.want) << (c.xdg ? c.xdg : "-");
  }
  Env xdg("XDG_CONFIG_HOME", "/a/long/folder");
  char tiny[8];
  EXPECT_EQ(rig_default_folder(tiny, sizeof tiny), -1);
}

TEST(RigMerge, CopiesOnlyWhatTheChangeSetNames) {
  struct Case {
    const char* name;
    uint8_t channel_flags;
    uint8_t scene_flags;
    bool gain, pan, label, master, stamped;
  } cases[] = {
      {"gain only", RIG_CH_GAIN, 0, true, false, false, false, true},
      {"pan and label", RIG_CH_PAN | RIG_CH_LABEL, 0, false, true, true, false, true},
      {"whole scene: values and master, not labels", 0, RIG_SC_WHOLE, true, true, false, true, true},
      {"master only", 0, RIG_SC_MASTER, false, false, false, true, true},
      {"nothing", 0, 0, false, false, false, false, false},
  };
  for (const Case& c : cases) {
    DocPtr disk = new_rig(kKey, 4, "other"), ours = new_rig(kKey, 4, "kelp");
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
    EXPECT_EQ(dc.gain == 0.5f, c.gain) << c.name;
    EXPECT_EQ(dc.pan == -0.25f, c.pan) << c.name;
    EXPECT_EQ(strcmp(dc.label, "vox") == 0, c.label) << c.name;
    EXPECT_EQ(disk->scenes[1].master_gain == 0.7f, c.master) << c.name;
    EXPECT_EQ(strcmp(disk->scenes[1].author, "kelp") == 0, c.stamped) << c.name;
    EXPECT_EQ(disk->scenes[1].updated_at == 1000, c.stamped) << c.name;
    EXPECT_EQ(disk->scenes[0].channels[2].gain, 1.0f) << c.name;
  }
}

TEST(RigMerge, ExtraChannelsDeviceAndAppScenes) {
  DocPtr disk = new_rig(kKey, 2), ours = new_rig(kKey, 6);
  ours->scenes[0].channels[4].gain = 0.3f;
  rig_text_set(&ours->scenes[0].channels[4].extra, "\"x\":1", 5);
  ours->channels = 6;
  snprintf(ours->channel_names[3], RIG_NAME_BYTES, "Mic 4");
  ours->active_scene = 2;
  // Apps: "a" newer on our side, "b" older on ours, "c" only ours.
  auto app = [](RigDoc* d, const char* name, int scene, double at) {
    RigAppScene& a = d->app_scenes[d->app_scene_count++];
    snprintf(a.app, sizeof a.app, "%s", name);
    a.scene = scene;
    a.at = at;
  };
  app(disk.get(), "a", 0, 10);
  app(disk.get(), "b", 0, 30);
  app(ours.get(), "a", 1, 20);
  app(ours.get(), "b", 1, 25);
  app(ours.get(), "c", 3, 5);
  RigChanges ch;
  rig_changes_clear(&ch);
  ch.device = true;
  ch.active_scene = true;
  rig_merge_changes(disk.get(), ours.get(), &ch);
  EXPECT_EQ(disk->scenes[0].channel_count, 6);
  EXPECT_EQ(disk->scenes[0].channels[4].gain, 0.3f);
  EXPECT_STREQ(rig_text_str(&disk->scenes[0].channels[4].extra), "\"x\":1");
  EXPECT_EQ(disk->channels, 6);
  EXPECT_STREQ(disk->channel_names[3], "Mic 4");
  EXPECT_EQ(disk->active_scene, 2);
  ASSERT_EQ(disk->app_scene_count, 3);
  EXPECT_EQ(disk->app_scenes[0].scene, 1);  // a: ours is newer
  EXPECT_EQ(disk->app_scenes[1].scene, 0);  // b: the disk's is newer
  EXPECT_STREQ(disk->app_scenes[2].app, "c");

  // A full list: a newcomer replaces the oldest only when it is newer than that one.
  DocPtr full = new_rig(kKey, 2), late = new_rig(kKey, 2), early = new_rig(kKey, 2);
  for (int i = 0; i < RIG_APP_SCENES; i++) app(full.get(), ("app" + std::to_string(i)).c_str(), 0, 100 + i);
  app(early.get(), "early", 2, 50);
  app(late.get(), "late", 2, 500);
  rig_merge_changes(full.get(), early.get(), &ch);
  for (int i = 0; i < RIG_APP_SCENES; i++) EXPECT_STRNE(full->app_scenes[i].app, "early");
  rig_merge_changes(full.get(), late.get(), &ch);
  EXPECT_STREQ(full->app_scenes[0].app, "late");
  EXPECT_EQ(full->app_scene_count, RIG_APP_SCENES);
}

TEST(RigChanges, CombineByOr) {
  RigChanges a, b;
  rig_changes_clear(&a);
  rig_changes_clear(&b);
  a.channel[0][1] = RIG_CH_GAIN;
  b.channel[0][1] = RIG_CH_PAN;
  b.channel[3][63] = RIG_CH_LABEL;
  b.scene[2] = RIG_SC_NAME;
  b.device = true;
  rig_changes_or(&a, &b);
  EXPECT_EQ(a.channel[0][1], RIG_CH_GAIN | RIG_CH_PAN);
  EXPECT_EQ(a.channel[3][63], RIG_CH_LABEL);
  EXPECT_EQ(a.scene[2], RIG_SC_NAME);
  EXPECT_TRUE(a.device);
  EXPECT_FALSE(a.active_scene);
}

TEST(RigStore, CreatesLoadsAndSavesWithRisingRevisions) {
  TmpDir dir("rigstore");
  std::string folder = dir / "conf/SeaGlass/rigs";  // made on demand, parents too
  StorePtr s(open_store(folder));
  ASSERT_TRUE(s);
  EXPECT_EQ(strlen(rig_store_instance(s.get())), 16u);
  DocPtr doc = load(s.get());
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->rev, 1);
  std::string path = rig_path(s.get());
  DocPtr onfile = read_rig(path);
  ASSERT_TRUE(onfile);
  EXPECT_STREQ(onfile->writer_instance, rig_store_instance(s.get()));
  EXPECT_STREQ(onfile->writer_platform, "linux");
  EXPECT_STREQ(onfile->writer_app, "kelp");

  for (int i = 0; i < 3; i++) {
    RigResult r = save_gain(s.get(), doc.get(), 0, 1, 0.25f * (float)(i + 1));
    ASSERT_EQ(r.kind, RIG_RESULT_SAVED) << r.message;
    EXPECT_EQ(r.rev, 2 + i);
    EXPECT_EQ(r.code, 0);
    doc.reset(r.doc);
    r.doc = nullptr;
  }
  onfile = read_rig(path);
  ASSERT_TRUE(onfile);
  EXPECT_EQ(onfile->rev, 4);
  EXPECT_EQ(onfile->scenes[0].channels[1].gain, 0.75f);
  EXPECT_FALSE(exists(path + ".tmp"));

  // A second load finds the file as it is; a key without a template gets a one-input rig.
  DocPtr again = load(s.get());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->rev, 4);
  ASSERT_NE(rig_store_load(s.get(), "jack:Other Card", nullptr), 0u);
  RigResult r = {};
  ASSERT_TRUE(take(s.get(), &r));
  ASSERT_EQ(r.kind, RIG_RESULT_LOADED);
  EXPECT_STREQ(r.doc->api, "jack");
  EXPECT_STREQ(r.doc->device_name, "Other Card");
  EXPECT_EQ(r.doc->channels, 1);
  rig_result_clear(&r);
  EXPECT_FALSE(rig_store_busy(s.get(), nullptr));
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
    ASSERT_EQ(r.kind, RIG_RESULT_SAVED);
    rig_result_clear(&r);
    DocPtr theirs = load(other.get());
    r = save_gain(other.get(), theirs.get(), 0, 1, 0.25f);
    ASSERT_EQ(r.kind, RIG_RESULT_SAVED);
    int64_t their_rev = r.rev;
    rig_result_clear(&r);

    ASSERT_TRUE(take(ours.get(), &r, 2000, true));
    EXPECT_EQ(r.kind, RIG_RESULT_CHANGED_ON_DISK);
    EXPECT_EQ(r.id, 0u);
    EXPECT_EQ(r.rev, their_rev);
    EXPECT_STREQ(r.writer_app, "other");
    ASSERT_TRUE(r.doc);
    EXPECT_EQ(r.doc->scenes[0].channels[1].gain, 0.25f);
    EXPECT_EQ(r.doc->scenes[0].channels[0].gain, 0.5f);
    rig_result_clear(&r);
    // Our next save is ours: no notice of it.
    r = save_gain(ours.get(), mine.get(), 0, 2, 0.125f);
    EXPECT_EQ(r.kind, RIG_RESULT_SAVED);
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
  FsysFile held;
  ASSERT_EQ(filelock_take(lock_path(s.get()).c_str(), 0, &held, nullptr), 0);
  RigChanges c;
  rig_changes_clear(&c);
  uint32_t ids[4];
  for (int i = 0; i < 4; i++) {
    doc->scenes[0].channels[i].gain = 0.1f * (float)(i + 1);
    rig_changes_clear(&c);
    c.channel[0][i] = RIG_CH_GAIN;
    ids[i] = rig_store_save(s.get(), doc.get(), &c);
    ASSERT_NE(ids[i], 0u);
    if (i == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the first runs
  }
  double waited = 0;
  EXPECT_TRUE(rig_store_busy(s.get(), &waited));
  filelock_release(held);
  std::vector<uint32_t> answered;
  std::vector<int64_t> revs;
  for (int i = 0; i < 4; i++) {
    RigResult r = {};
    ASSERT_TRUE(take(s.get(), &r));
    EXPECT_EQ(r.kind, RIG_RESULT_SAVED) << r.message;
    answered.push_back(r.id);
    revs.push_back(r.rev);
    rig_result_clear(&r);
  }
  EXPECT_EQ(answered, std::vector<uint32_t>(ids, ids + 4));
  EXPECT_EQ(revs, (std::vector<int64_t>{2, 3, 3, 3}));
  DocPtr onfile = read_rig(rig_path(s.get()));
  for (int i = 0; i < 4; i++) EXPECT_FLOAT_EQ(onfile->scenes[0].channels[i].gain, 0.1f * (i + 1));
  EXPECT_TRUE(rig_store_flush(s.get(), 1000));
}

TEST(RigStore, NewerVersionIsReadOnlyAndNeverWritten) {
  TmpDir dir("rigv2");
  StorePtr s(open_store(dir.path));
  DocPtr doc = load(s.get());
  std::string path = rig_path(s.get());
  std::string text = tmpdir_read(path);
  size_t at = text.find("\"version\":1");
  ASSERT_NE(at, std::string::npos) << text.substr(0, 200);
  text.replace(at, 11, "\"version\":2");
  // A save posted before the store learns of the newer file: answered with code 2.
  tmpdir_write(path, text);
  RigResult r = save_gain(s.get(), doc.get(), 0, 1, 0.5f);
  EXPECT_EQ(r.kind, RIG_RESULT_SAVE_FAILED);
  EXPECT_EQ(r.code, RIG_DECODE_READ_ONLY);
  EXPECT_STREQ(r.message, "read only - a newer app made this file");
  rig_result_clear(&r);
  // Now the key is marked: saves are refused at once, loads say read-only.
  EXPECT_EQ(rig_store_save(s.get(), doc.get(), nullptr), 0u);
  ASSERT_NE(rig_store_load(s.get(), kKey, nullptr), 0u);
  ASSERT_TRUE(take(s.get(), &r));
  EXPECT_EQ(r.kind, RIG_RESULT_LOADED);
  EXPECT_EQ(r.code, RIG_DECODE_READ_ONLY);
  ASSERT_TRUE(r.doc);
  EXPECT_TRUE(r.doc->read_only);
  EXPECT_EQ(rig_store_save(s.get(), r.doc, nullptr), 0u);
  rig_result_clear(&r);
  EXPECT_TRUE(rig_store_flush(s.get(), 1000));
  EXPECT_EQ(tmpdir_read(path), text);
  EXPECT_EQ(LogSink::count("was made by a newer app - read only"), 1);
}

TEST(RigStore, GarbageIsSetAsideWithADatedName) {
  TmpDir dir("rigdamage");
  StorePtr s(open_store(dir.path));
  std::string path = rig_path(s.get());
  std::string base = path.substr(dir.path.size() + 1);
  base = base.substr(0, base.size() - 5);
  // Both within one second: the second copy carries "-2". A run that crosses a second tries
  // again.
  std::vector<std::string> aside;
  for (int attempt = 0; attempt < 3; attempt++) {
    for (int i = 0; i < 2; i++) {
      tmpdir_write(path, "{\"not\": a rig");
      DocPtr doc = load(s.get());
      ASSERT_TRUE(doc);
      EXPECT_EQ(doc->rev, 1);
      ASSERT_TRUE(read_rig(path));
    }
    aside = names_with(dir.path, ".damaged-");
    std::sort(aside.begin(), aside.end(),
              [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
    if (aside.size() == 2 && aside[0].size() + 2 == aside[1].size()) break;
    for (const std::string& n : aside) unlink((dir / n).c_str());
  }
  ASSERT_EQ(aside.size(), 2u);
  EXPECT_EQ(aside[0].substr(0, base.size() + 9), base + ".damaged-");
  EXPECT_EQ(aside[0].size(), base.size() + strlen(".damaged-20260101-120000.json"));
  EXPECT_EQ(aside[1], aside[0].substr(0, aside[0].size() - 5) + "-2.json");
  EXPECT_EQ(tmpdir_read(dir / aside[1]), "{\"not\": a rig");
  EXPECT_GE(LogSink::count("was damaged ("), 2);
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
  LogSink::clear();
  ASSERT_NE(rig_store_load(s.get(), kKey, nullptr), 0u);
  ASSERT_TRUE(take(s.get(), &r));
  fixer.join();
  EXPECT_EQ(r.kind, RIG_RESULT_LOADED);
  EXPECT_EQ(r.rev, 2);
  EXPECT_EQ(r.doc->scenes[0].channels[3].gain, 0.5f);
  rig_result_clear(&r);
  EXPECT_EQ(LogSink::count("doesn't decode ("), 1);
  EXPECT_EQ(LogSink::count("- reading it again"), 1);
  EXPECT_TRUE(names_with(dir.path, ".damaged-").empty());
}

TEST(RigStore, ASaveNeverOverwritesADamagedFile) {
  TmpDir dir("rigsavedamage");
  StorePtr s(open_store(dir.path));
  DocPtr doc = load(s.get());
  std::string path = rig_path(s.get());
  tmpdir_write(path, "garbage");
  RigResult r = save_gain(s.get(), doc.get(), 0, 1, 0.5f);
  EXPECT_EQ(r.kind, RIG_RESULT_SAVE_FAILED);
  EXPECT_EQ(r.code, -1);
  EXPECT_EQ(std::string(r.message).rfind("the rig file on disk is damaged (", 0), 0u) << r.message;
  EXPECT_NE(std::string(r.message).find(") - left as it is"), std::string::npos);
  rig_result_clear(&r);
  EXPECT_EQ(tmpdir_read(path), "garbage");
  EXPECT_EQ(LogSink::count("rig: couldn't save "), 1);
}

TEST(RigStore, StrayTemporaryFilesGoOnlyWhenTheirLockIsFree) {
  TmpDir dir("rigstray");
  std::string held_tmp, free_tmp;
  FsysFile held = FSYS_NO_FILE;
  {
    StorePtr s(open_store(dir.path));
    free_tmp = rig_path(s.get()) + ".tmp";
    held_tmp = rig_path(s.get(), "jack:Busy") + ".tmp";
    ASSERT_EQ(filelock_take(lock_path(s.get(), "jack:Busy").c_str(), 0, &held, nullptr), 0);
  }
  tmpdir_write(free_tmp, "{\"half");
  tmpdir_write(held_tmp, "{\"half");
  tmpdir_write(dir / "notes.tmp", "not ours");
  LogSink::clear();
  StorePtr s(open_store(dir.path));
  ASSERT_TRUE(rig_store_flush(s.get(), 1000));
  DocPtr doc = load(s.get());  // after the thread's start-up work
  EXPECT_FALSE(exists(free_tmp));
  EXPECT_TRUE(exists(held_tmp));
  EXPECT_TRUE(exists(dir / "notes.tmp"));
  EXPECT_EQ(LogSink::count("rig: removed a stray "), 1);
  filelock_release(held);
}

TEST(RigStore, AFullDiskFailsTheSaveUntilSpaceReturns) {
  ScratchVolume vol(1u << 20, "rigfull");
  if (!vol.mounted) GTEST_SKIP() << vol.why;
  StorePtr s(open_store(vol / "rigs"));
  DocPtr doc = load(s.get());
  ASSERT_TRUE(doc);
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
  EXPECT_EQ(r.rev, 2);
  rig_result_clear(&r);
}

TEST(RigStore, ClosingDuringASaveFinishesItInTheBackground) {
  TmpDir dir("rigclose");
  RigStore* s = open_store(dir.path);
  DocPtr doc = load(s);
  std::string path = rig_path(s);
  FsysFile held;
  ASSERT_EQ(filelock_take(lock_path(s).c_str(), 0, &held, nullptr), 0);
  doc->scenes[0].channels[5].gain = 0.5f;
  RigChanges c;
  rig_changes_clear(&c);
  c.channel[0][5] = RIG_CH_GAIN;
  ASSERT_NE(rig_store_save(s, doc.get(), &c), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  LogSink::clear();
  rig_store_close(s, 100);  // s is the thread's now
  EXPECT_EQ(LogSink::count("rig: still writing at close - the store finishes in the background"), 1);
  filelock_release(held);
  DocPtr onfile;
  for (int i = 0; i < 300 && !(onfile && onfile->rev == 2); i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    onfile = read_rig(path);
  }
  ASSERT_TRUE(onfile);
  EXPECT_EQ(onfile->rev, 2);
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
  // A folder that can't be made: the load fails with the reason, logged once.
  tmpdir_write(dir / "file", "x");
  StorePtr bad(open_store(dir / "file/rigs"));
  ASSERT_NE(rig_store_load(bad.get(), kKey, nullptr), 0u);
  RigResult r = {};
  ASSERT_TRUE(take(bad.get(), &r));
  EXPECT_EQ(r.kind, RIG_RESULT_LOAD_FAILED);
  EXPECT_STREQ(r.message, "can't create the rigs folder: the folder can't be reached");
  rig_result_clear(&r);
}
