// The rig controller over a real store in a scratch folder and a real mixer, bound to streams
// made by hand. A test clock drives the controller; the store works in real time, so each step
// waits (really) for the store's answers before the clock moves on.
#include "rig/rig_controller.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "rig/mixer.h"
#include "rig/rig_format.h"
#include "rig/rig_test_util.h"
#include "support/log_search.h"
#include "support/tmpdir.h"
#include "support/tmpfs.h"

namespace {

StreamBinding binding(const char* device, int inputs, const char* api = "alsa") {
  StreamBinding b = {};
  snprintf(b.api, sizeof b.api, "%s", api);
  snprintf(b.device_name, sizeof b.device_name, "%s", device);
  rig_key(b.api, b.device_name, b.key);
  b.inputs = b.device_inputs = inputs;
  b.rate = 48000;
  return b;
}

int log_count(int64_t since, const std::string& needle) {
  char line[LOG_FULL_LINE_BYTES];
  int n = 0;
  for (int64_t i = since; i < log_console_count(); i++)
    n += log_line_full(i, line, sizeof line) && strstr(line, needle.c_str());
  return n;
}

std::string rig_path(const std::string& folder, const StreamBinding& b) {
  char name[RIG_FILE_NAME_BYTES];
  rig_file_name(b.key, name);
  return folder + "/" + name;
}

rig_test::DocPtr read_rig(const std::string& path) {
  std::string text = tmpdir_read(path);
  rig_test::DocPtr d(rig_doc_new());
  char msg[RIG_MESSAGE_BYTES];
  int code = rig_decode(text.data(), text.size(), d.get(), msg, sizeof msg);
  if (code > RIG_DECODE_READ_ONLY) d.reset();
  return d;
}

// One controller on its own test clock.
struct Ctl {
  double t = 1000.0, wall = NAN;
  RigController* c = nullptr;
  std::vector<RigEvent> ev;  // every event so far

  Ctl(const std::string& folder, const char* app = "kelp", bool no_watch = true) {
    RigControllerConfig cfg = {};
    cfg.app_name = app;
    cfg.folder = folder.c_str();
    cfg.clock = [](void* u) { return ((Ctl*)u)->t; };
    cfg.clock_user = this;
    cfg.no_watch = no_watch;
    c = rig_controller_new(&cfg);
  }
  ~Ctl() { rig_controller_free(c); }

  void frame() {
    rig_controller_frame(c, t, wall);
    RigEvent e;
    while (rig_next_event(c, &e)) ev.push_back(e);
  }
  // Frames (real time passing, the clock standing) until pred holds.
  bool wait_for(const std::function<bool()>& pred, int ms = 5000) {
    for (uint64_t end = platform_tick_ms() + (uint64_t)ms;; platform_sleep_ms(2)) {
      frame();
      if (pred()) return true;
      if (platform_tick_ms() >= end) return false;
    }
  }
  bool settle() {
    return wait_for([&] { return !rig_controller_busy(c); });
  }
  // Moves the clock on and frames; whether that frame sent a save.
  bool step(double dt = 0.01) {
    t += dt;
    bool before = rig_controller_busy(c);
    frame();
    bool posted = !before && rig_controller_busy(c);
    settle();
    return posted;
  }
  RigControllerStatus status() {
    RigControllerStatus s;
    rig_controller_status(c, &s);
    return s;
  }
  int count(int kind) {
    int n = 0;
    for (const RigEvent& e : ev) n += e.kind == kind;
    return n;
  }
  const RigEvent* last(int kind) {
    for (size_t i = ev.size(); i-- > 0;)
      if (ev[i].kind == kind) return &ev[i];
    return nullptr;
  }
  bool bind(const StreamBinding& b) {
    rig_controller_set_stream_running(c, true);
    rig_controller_bind(c, &b);
    return wait_for([&] { return status().state != RIG_LOADING; }) && settle();
  }
  const RigScene& scene(int s) { return rig_controller_doc(c)->scenes[s]; }
  float gain(int s, int i) { return scene(s).channels[i].gain; }
};

class RigControllerTest : public ::testing::Test {
 protected:
  TmpDir dir{"rigctl"};
};

TEST_F(RigControllerTest, SavesAfterAQuietMomentOrOnceASecondWhileEditsContinue) {
  struct Case {
    const char* name;
    int edits, every;           // edits, 10 ms steps apart
    std::vector<double> saves;  // seconds after the first edit at which a save goes out
  };
  const Case cases[] = {
      {"ten quick edits", 10, 1, {0.09 + 0.15}},
      {"held for three seconds", 61, 5, {1.0, 2.05, 3.10}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Ctl ctl(dir.path);
    StreamBinding b = binding(k.name, 2);
    ASSERT_TRUE(ctl.bind(b));
    int64_t rev0 = ctl.status().rev;
    double first = ctl.t;
    std::vector<double> posted;
    for (int e = 0; e < (k.edits - 1) * k.every + 60; e++) {
      ctl.t = first + e * 0.01;
      if (e % k.every == 0 && e / k.every < k.edits)
        rig_set_gain(ctl.c, 0, 0.1f + 0.01f * (float)(e / k.every % 50));
      if (ctl.step(0)) posted.push_back(ctl.t - first);
    }
    ASSERT_EQ(posted.size(), k.saves.size());
    for (size_t i = 0; i < posted.size(); i++) EXPECT_NEAR(posted[i], k.saves[i], 0.011) << i;
    rig_test::DocPtr disk = read_rig(rig_path(dir.path, b));
    ASSERT_TRUE(disk);
    EXPECT_EQ(disk->rev, rev0 + (int64_t)k.saves.size());
    EXPECT_EQ(ctl.status().rev, disk->rev);
    EXPECT_EQ(disk->scenes[0].channels[0].gain, ctl.gain(0, 0));
  }
}

TEST_F(RigControllerTest, SceneChoiceCopyAndOrdering) {
  Ctl ctl(dir.path);
  ASSERT_TRUE(ctl.bind(binding("scenes", 4)));
  rig_set_gain(ctl.c, 0, 0.5f);
  rig_set_pan(ctl.c, 2, -0.25f);
  rig_set_muted(ctl.c, 2, false);
  rig_set_master(ctl.c, 0.7f);
  RigPlan before, after;
  rig_plan_from_scene(&ctl.scene(0), 4, &before);
  // Each choice: the scene, the wall clock, the app scene's "at" it must give, whether the mix
  // changes. A fresh scene takes the current mix; "at" never goes back.
  struct Case {
    int scene;
    double wall, at;
    bool mix_changes;
  };
  const Case cases[] = {{1, 1000.0, 1000.0, false},
                        {2, 500.0, 1000.001, false},
                        {3, 1000.0, 1000.002, false},
                        {0, 2000.0, 2000.0, false}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.scene);
    ctl.wall = k.wall;
    ctl.frame();
    rig_select_scene(ctl.c, k.scene);
    ctl.frame();
    const RigDoc* d = rig_controller_doc(ctl.c);
    ASSERT_EQ(d->app_scene_count, 1);
    EXPECT_STREQ(d->app_scenes[0].app, "kelp");
    EXPECT_EQ(d->app_scenes[0].scene, k.scene);
    EXPECT_NEAR(d->app_scenes[0].at, k.at, 1e-6);
    EXPECT_EQ(ctl.status().active_scene, k.scene);
    const RigEvent* e = ctl.last(RIG_EVENT_SCENE_CHANGED);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->value, k.scene);
    EXPECT_EQ(e->value2, 1);
    EXPECT_EQ(e->flag, k.mix_changes);
    EXPECT_FALSE(ctl.scene(k.scene).fresh);
    rig_plan_from_scene(&ctl.scene(k.scene), 4, &after);
    EXPECT_TRUE(rig_plan_equal(&before, &after));
  }
  ctl.wall = NAN;
  // The active one again: nothing. An edited scene: the mix changes.
  size_t seen = ctl.ev.size();
  rig_select_scene(ctl.c, 0);
  ctl.frame();
  EXPECT_EQ(ctl.ev.size(), seen);
  rig_set_gain(ctl.c, 0, 1.5f);
  rig_select_scene(ctl.c, 1);
  ctl.frame();
  EXPECT_TRUE(ctl.last(RIG_EVENT_SCENE_CHANGED)->flag);
  // Copy (Shift on a scene key): from the active scene into another; the active one stays.
  seen = ctl.ev.size();
  rig_copy_scene(ctl.c, 1, 3);
  ctl.frame();
  EXPECT_EQ(ctl.ev.size(), seen);
  EXPECT_EQ(ctl.status().active_scene, 1);
  EXPECT_EQ(ctl.gain(3, 0), 0.5f);
  EXPECT_EQ(ctl.scene(3).master_gain, 0.7f);
  rig_copy_scene(ctl.c, 0, 1);  // into the active one: it plays at once
  EXPECT_EQ(ctl.gain(1, 0), 1.5f);
}

TEST_F(RigControllerTest, TwoProgramsKeepTheirOwnScenesAndMergeEachOthersEdits) {
  Ctl a(dir.path, "kelp", false), b(dir.path, "sibling", false);
  StreamBinding bind = binding("shared", 4);
  ASSERT_TRUE(a.bind(bind));
  ASSERT_TRUE(b.bind(bind));
  // a chooses scene 2, b later chooses scene 3: each keeps its own, the file has b's last.
  a.wall = 5000.0;
  a.frame();
  rig_select_scene(a.c, 1);
  ASSERT_TRUE(rig_controller_flush(a.c, 2000));
  b.wall = 5001.0;
  b.frame();
  rig_select_scene(b.c, 2);
  ASSERT_TRUE(rig_controller_flush(b.c, 2000));
  ASSERT_TRUE(a.wait_for([&] { return rig_controller_doc(a.c)->app_scene_count == 2; }));
  EXPECT_EQ(a.status().active_scene, 1);
  EXPECT_EQ(b.status().active_scene, 2);
  rig_test::DocPtr disk = read_rig(rig_path(dir.path, bind));
  ASSERT_TRUE(disk);
  EXPECT_EQ(disk->active_scene, 2);
  ASSERT_EQ(disk->app_scene_count, 2);
  for (int i = 0; i < 2; i++) {
    const RigAppScene& s = disk->app_scenes[i];
    EXPECT_EQ(s.scene, strcmp(s.app, "kelp") == 0 ? 1 : 2) << s.app;
  }

  // b holds an unsaved edit of its own when a's edit arrives.
  b.ev.clear();
  rig_set_gain(b.c, 3, 0.5f);
  rig_set_gain(a.c, 0, 0.125f);
  ASSERT_TRUE(rig_controller_flush(a.c, 2000));
  ASSERT_TRUE(b.wait_for([&] { return b.last(RIG_EVENT_MERGED) != nullptr; }));
  EXPECT_STREQ(b.last(RIG_EVENT_MERGED)->text, "kelp");
  EXPECT_STREQ(b.status().last_merged, "kelp");
  EXPECT_EQ(b.gain(1, 0), 0.125f);
  EXPECT_EQ(b.gain(2, 3), 0.5f);
  EXPECT_EQ(b.status().active_scene, 2);
  ASSERT_TRUE(rig_controller_flush(b.c, 2000));
  ASSERT_TRUE(a.wait_for([&] { return a.gain(2, 3) == 0.5f; }));
  EXPECT_EQ(a.gain(1, 0), 0.125f);
  EXPECT_EQ(a.status().active_scene, 1);
  EXPECT_EQ(a.count(RIG_EVENT_SCENE_CHANGED), 1);  // only its own choice
}

TEST_F(RigControllerTest, AFailedSaveShowsTheMessageRetriesEveryTwoSecondsAndLandsLater) {
  ScratchVolume vol(1u << 20, "rigfull");
  if (!vol.mounted) GTEST_SKIP() << vol.why;
  Ctl ctl(vol.path);
  StreamBinding b = binding("full", 2);
  ASSERT_TRUE(ctl.bind(b));
  ASSERT_EQ(tmpfs_fill(vol.path, 0), 0);
  rig_set_gain(ctl.c, 0, 0.5f);
  std::vector<double> posted;
  const double start = ctl.t;
  for (int i = 1; i <= 450; i++) {
    ctl.t = start + i * 0.01;
    if (ctl.step(0)) posted.push_back(i * 0.01);
  }
  ASSERT_EQ(posted.size(), 3u);  // after 150 ms, then every 2 s
  EXPECT_NEAR(posted[0], 0.15, 0.011);
  EXPECT_NEAR(posted[1] - posted[0], 2.0, 0.011);
  EXPECT_NEAR(posted[2] - posted[1], 2.0, 0.011);
  EXPECT_EQ(ctl.count(RIG_EVENT_SAVE_FAILED), 1);
  EXPECT_NE(strstr(ctl.last(RIG_EVENT_SAVE_FAILED)->text, "the disk is full"), nullptr);
  RigControllerStatus s = ctl.status();
  EXPECT_TRUE(s.save_failed);
  EXPECT_NE(strstr(s.save_failure, "THE DISK IS FULL"), nullptr) << s.save_failure;
  EXPECT_FALSE(rig_controller_flush(ctl.c, 1000));

  ASSERT_EQ(unlink((vol.path + "/filler").c_str()), 0);
  for (int i = 0; i < 210 && ctl.status().save_failed; i++) ctl.step();
  EXPECT_FALSE(ctl.status().save_failed);
  EXPECT_STREQ(ctl.status().save_failure, "");
  EXPECT_EQ(ctl.count(RIG_EVENT_SAVED_AGAIN), 1);
  rig_test::DocPtr disk = read_rig(rig_path(vol.path, b));
  ASSERT_TRUE(disk);
  EXPECT_EQ(disk->scenes[0].channels[0].gain, 0.5f);
}

TEST_F(RigControllerTest, ADeviceChangeSavesToTheOldFileAndAThirdBeforeThatLandsDropsIt) {
  ScratchVolume vol(1u << 20, "rigdev");
  if (!vol.mounted) GTEST_SKIP() << vol.why;
  Ctl ctl(vol.path);
  StreamBinding one = binding("one", 2), two = binding("two", 4), three = binding("three", 2);
  ASSERT_TRUE(ctl.bind(one));
  rig_set_gain(ctl.c, 0, 0.375f);
  ASSERT_TRUE(ctl.bind(two));  // at once: the edit goes to one's file
  EXPECT_EQ(ctl.gain(0, 0), 1.0f);
  EXPECT_EQ(read_rig(rig_path(vol.path, one))->scenes[0].channels[0].gain, 0.375f);

  // With the disk full, one's save can't land before three comes along after two.
  ASSERT_TRUE(ctl.bind(one));
  ASSERT_EQ(tmpfs_fill(vol.path, 0), 0);
  rig_set_gain(ctl.c, 0, 0.5f);
  ASSERT_TRUE(ctl.bind(two));
  rig_set_gain(ctl.c, 0, 0.25f);
  int64_t from = log_console_count();
  rig_controller_bind(ctl.c, &three);
  ctl.settle();
  EXPECT_EQ(log_count(from, std::string("rig: dropped the unsaved changes of ") + one.key +
                                " (another device came along first)"),
            1);
  ASSERT_EQ(unlink((vol.path + "/filler").c_str()), 0);
  ASSERT_TRUE(rig_controller_flush(ctl.c, 2000));
  EXPECT_EQ(read_rig(rig_path(vol.path, one))->scenes[0].channels[0].gain, 0.375f);
  EXPECT_EQ(read_rig(rig_path(vol.path, two))->scenes[0].channels[0].gain, 0.25f);
}

TEST_F(RigControllerTest, AnUnreadableFileGivesFreshDefaultsAfterFiveSecondsAndMergesLater) {
  StreamBinding b = binding("unreadable", 2);
  const std::string path = rig_path(dir.path, b);
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);  // a folder where the file should be
  Ctl ctl(dir.path);
  int64_t from = log_console_count();
  rig_controller_bind(ctl.c, &b);
  double bound = ctl.t;
  while (ctl.status().state == RIG_LOADING && ctl.t - bound < 10) ctl.step(0.1);
  EXPECT_NEAR(ctl.t - bound, 5.0, 0.11);
  EXPECT_TRUE(ctl.status().fresh_defaults);
  EXPECT_FALSE(ctl.scene(0).channels[0].muted);  // a new rig's inputs 1-2
  rig_set_gain(ctl.c, 0, 0.5f);
  for (int i = 0; i < 40; i++) ctl.step(0.1);
  EXPECT_EQ(log_count(from,
                      "rig: can't read the rig file for 5 s - running on the fresh "
                      "defaults; changes stay in this session until it can be read"),
            1);
  EXPECT_EQ(log_count(from, "rig: can't read the rig file ("), 3);  // 0, 2 and 4 s; then quiet
  EXPECT_TRUE(ctl.status().fresh_defaults);

  ASSERT_EQ(rmdir(path.c_str()), 0);
  for (int i = 0; i < 40 && ctl.status().fresh_defaults; i++) ctl.step(0.1);
  EXPECT_FALSE(ctl.status().fresh_defaults);
  ASSERT_TRUE(rig_controller_flush(ctl.c, 2000));
  EXPECT_EQ(read_rig(path)->scenes[0].channels[0].gain, 0.5f);
}

TEST_F(RigControllerTest, ANewerProgramsFileIsShownReadOnlyAndNeverWritten) {
  StreamBinding b = binding("newer", 4);
  const std::string path = rig_path(dir.path, b);
  rig_test::DocPtr d(rig_doc_new());
  rig_doc_init_for_device(d.get(), b.key, b.api, b.device_name, 4, nullptr, 0, "future", 0);
  d->version = 2;
  d->scenes[0].channels[0].gain = 0.75f;
  std::string text(rig_encode(d.get(), nullptr, 0), '\0');
  rig_encode(d.get(), text.data(), text.size() + 1);
  tmpdir_write(path, text);

  Ctl ctl(dir.path);
  ASSERT_TRUE(ctl.bind(b));
  EXPECT_EQ(ctl.status().state, RIG_READ_ONLY);
  EXPECT_EQ(ctl.count(RIG_EVENT_READ_ONLY), 1);
  EXPECT_EQ(ctl.gain(0, 0), 0.75f);
  rig_set_gain(ctl.c, 0, 0.1f);
  rig_set_muted(ctl.c, 2, false);
  rig_select_scene(ctl.c, 1);
  rig_copy_scene(ctl.c, 0, 3);
  for (int i = 0; i < 30; i++) ctl.step(0.1);
  EXPECT_EQ(ctl.gain(0, 0), 0.75f);
  EXPECT_TRUE(ctl.scene(3).fresh);
  EXPECT_EQ(ctl.status().active_scene, 0);
  EXPECT_TRUE(rig_controller_flush(ctl.c, 1000));
  EXPECT_EQ(tmpdir_read(path), text);  // a rewrite would carry a new rev and writer
}

TEST_F(RigControllerTest, EditsReachThePairHeadAndAreClamped) {
  Ctl ctl(dir.path);
  ASSERT_TRUE(ctl.bind(binding("pairs", 5)));
  rig_set_muted(ctl.c, 2, false);
  rig_set_link(ctl.c, 3, true);  // an odd channel never heads a pair
  rig_set_link(ctl.c, 4, true);  // nor the last of an odd count
  rig_set_link(ctl.c, 2, true);
  auto ch = [&](int i) { return ctl.scene(0).channels[i]; };
  struct Case {
    const char* name;
    std::function<void()> edit;
    std::function<float()> read;
    float want;
  };
  const Case cases[] = {
      {"second of 0-1", [&] { rig_set_gain(ctl.c, 1, 0.5f); }, [&] { return ch(0).gain; }, 0.5f},
      {"second of 2-3", [&] { rig_set_pan(ctl.c, 3, 0.5f); }, [&] { return ch(2).pan; }, 0.5f},
      {"past the scene", [&] { rig_set_gain(ctl.c, 5, 0.1f); }, [&] { return ch(4).gain; }, 1.0f},
      {"gain clamped", [&] { rig_set_gain(ctl.c, 4, 10.0f); }, [&] { return ch(4).gain; },
       RIG_MAX_GAIN},
      {"NaN ignored", [&] { rig_set_gain(ctl.c, 4, NAN); }, [&] { return ch(4).gain; },
       RIG_MAX_GAIN},
      {"unlinked by the second", [&] { rig_set_link(ctl.c, 1, false); },
       [&] { return (float)ch(0).link; }, 0.0f},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    k.edit();
    EXPECT_FLOAT_EQ(k.read(), k.want);
  }
  EXPECT_EQ(ctl.status().audible_inputs, 4);  // 0, 1 and the pair 2-3 (4 muted)
}

TEST_F(RigControllerTest, TheSameDeviceRestartedGetsItsPlanAgainAndGrowsForMoreInputs) {
  Ctl ctl(dir.path);
  StreamBinding b = binding("restart", 2);
  RigMixer* m = rig_controller_mixer(ctl.c);
  std::vector<float> one(64, 0.5f), l(64), r(64);
  const float* in[4] = {one.data(), one.data(), one.data(), one.data()};
  for (int inputs : {2, 2, 4}) {  // as the engine does: the mixer is bound afresh each time
    SCOPED_TRACE(inputs);
    b.inputs = b.device_inputs = inputs;
    rig_bind_stream(m, 48000, inputs, rig_tag(b.key), nullptr);
    ASSERT_TRUE(ctl.bind(b));
    rig_mix(m, in, inputs, l.data(), r.data(), 64);
    RigMeters meters;
    rig_read_meters(m, &meters);
    EXPECT_FALSE(meters.waiting);  // the plan reached the new stream
  }
  EXPECT_EQ(ctl.count(RIG_EVENT_MORE_INPUTS), 1);
  EXPECT_EQ(ctl.last(RIG_EVENT_MORE_INPUTS)->value, 4);
  EXPECT_EQ(ctl.scene(0).channel_count, 4);
  EXPECT_TRUE(ctl.scene(0).channels[3].muted);
}

// Signal on a muted input while nothing audible carries any: reported after it held 1.5 s,
// cleared 0.5 s after the audible pair carries sound again.
TEST_F(RigControllerTest, AMutedInputWithSignalIsReportedAfterItHeld) {
  Ctl ctl(dir.path);
  StreamBinding b = binding("muted signal", 4);
  RigMixer* m = rig_controller_mixer(ctl.c);
  rig_bind_stream(m, 48000, 4, rig_tag(b.key), nullptr);
  ASSERT_TRUE(ctl.bind(b));
  std::vector<float> tone(256), quiet(256, 0.0f), l(256), r(256);
  for (int i = 0; i < 256; i++) tone[i] = 0.5f * std::sin(0.1f * (float)i);
  struct Phase {
    bool pair_sounds;  // inputs 1-2 (audible) carry the tone too
    double until;      // seconds from the start
    int reported_at_end;
  };
  const Phase phases[] = {{false, 1.4, -1}, {false, 1.7, 2}, {true, 2.1, 2}, {true, 2.4, -1}};
  const double start = ctl.t;
  for (const Phase& p : phases) {
    while (ctl.t - start < p.until - 1e-9) {
      const float* in[4] = {p.pair_sounds ? tone.data() : quiet.data(),
                            p.pair_sounds ? tone.data() : quiet.data(), tone.data(), quiet.data()};
      rig_mix(m, in, 4, l.data(), r.data(), 256);
      ctl.t += 0.05;
      ctl.frame();
    }
    EXPECT_EQ(ctl.status().muted_with_signal, p.reported_at_end) << p.until;
  }
  EXPECT_FALSE(ctl.status().all_muted);
}

}  // namespace
