// Saves that can't land and saves cut short: the rescue of a last commit, the tape's true rate
// after a rate-changing commit was killed at any moment, stale side-cars, and loads refused
// before they fill the disk or the memory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/tape.h"
#include "store/filenames.h"
#include "store/files.h"
#include "store/jobs.h"
#include "store/jobs_test_util.h"
#include "store/meta.h"
#include "store/tapefile.h"
#include "store/wav.h"
#include "support/tmpdir.h"
#include "support/tmpfs.h"

using namespace jobs_test;

namespace {

float tone(int64_t f, int) {
  return 0.5f * (float)std::sin(2.0 * M_PI * 1000.0 * (double)f / 44100.0);
}

std::string sidecar_of(const SketchMeta* m) {
  char title[512], name[128];
  meta_title(m, title, sizeof title);
  sidecar_wav_name(title, name, sizeof name);
  return name;
}

// A whole sketch as a commit writes it: side-car, tape.f32 and meta.json.
void commit(const std::string& folder, const SketchMeta* meta, Tape* tape) {
  Job* j = make_job(JOB_SAVE_COMMIT, folder);
  j->meta = meta_clone(meta);
  job_hold_tape(j, tape);
  j->frames = tape_length(tape);
  job_run(j);
  ASSERT_EQ(j->result, JOB_DONE) << j->message;
  job_free(j);
}

// LOAD_TAPE as the session posts it for the meta.json on disk, at the stream's rate.
Job* load_tape(const std::string& folder, double stream) {
  SketchMeta m{};
  bool dirty = false;
  char msg[256];
  EXPECT_EQ(meta_load_folder(folder.c_str(), &m, &dirty, msg, sizeof msg), META_OK) << msg;
  Job* j = make_job(JOB_LOAD_TAPE, folder);
  j->sample_rate = m.sampleRate;
  j->target_rate = stream;
  j->frames = m.lengthSamples;
  job_copy_text(j->name, sizeof j->name, sidecar_of(&m).c_str());
  meta_free(&m);
  job_run(j);
  return j;
}

int rising_crossings(const Tape* t, int64_t from, int64_t to) {
  std::vector<float> l((size_t)(to - from)), r((size_t)(to - from));
  tape_read_planar(t, from, to - from, to, l.data(), r.data());
  int n = 0;
  for (size_t i = 1; i < l.size(); i++)
    if (l[i - 1] < 0.0f && l[i] >= 0.0f) n++;
  return n;
}

struct Env {
  std::string name, old;
  bool had;
  Env(const char* n, const std::string& v) : name(n) {
    const char* o = getenv(n);
    had = o != nullptr;
    if (had) old = o;
    setenv(n, v.c_str(), 1);
  }
  ~Env() {
    if (had)
      setenv(name.c_str(), old.c_str(), 1);
    else
      unsetenv(name.c_str());
  }
};

}  // namespace

// A 10 s sketch at 44.1 kHz re-committed at 48 kHz (as after a resample on open), killed at a
// random moment each time: whatever is on disk opens at its true length and pitch.
TEST(Landing, ARateChangingCommitKilledAnywhereOpensAtTheTrueLengthAndPitch) {
  TmpDir dir("land-rate");
  const std::string folder = dir / "sketch";
  Tape* old = make_tape(44100, 441000, tone);
  Tape* now = tape_resample(old, 48000, nullptr);
  ASSERT_NE(now, nullptr);
  SketchMeta before;
  meta_new(&before, 44100);
  snprintf(before.name, sizeof before.name, "Gull");
  before.lengthSamples = 441000;
  SketchMeta after = before;
  after.sampleRate = 48000;
  after.lengthSamples = tape_length(now);
  const std::string oldTape = tape_bytes(old);

  // How long one commit takes here, to spread the kills over it.
  commit(folder, &before, old);
  auto t0 = std::chrono::steady_clock::now();
  commit(folder, &after, now);
  const double span = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  // The kill moment walks towards the window between tape.f32 and meta.json: later after a kill
  // that found the old files, earlier after one that found the commit whole.
  std::mt19937 rng(777);
  double delay = span * 1e6;
  int states[3] = {0, 0, 0};  // old tape, new tape beside the old meta, new meta
  for (int k = 0; k < 60; k++) {
    commit(folder, &before, old);
    tmp_cleanup(folder.c_str());
    const double jitter = 0.8 + 0.4 * (double)(rng() % 1001) / 1000.0;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      Job* j = make_job(JOB_SAVE_COMMIT, folder);
      j->meta = meta_clone(&after);
      job_hold_tape(j, now);
      j->frames = tape_length(now);
      job_run(j);
      _exit(0);
    }
    usleep((useconds_t)(delay * jitter));
    kill(pid, SIGKILL);
    int st;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);

    SketchMeta m{};
    bool dirty = false;
    char msg[256];
    ASSERT_EQ(meta_load_folder(folder.c_str(), &m, &dirty, msg, sizeof msg), META_OK) << msg;
    const bool newMeta = m.sampleRate == 48000;
    meta_free(&m);
    const bool newTape = tmpdir_read(folder + "/tape.f32") != oldTape;
    states[newMeta ? 2 : newTape ? 1 : 0]++;
    delay *= newMeta ? 0.8 : newTape ? 1.0 : 1.25;

    Job* j = load_tape(folder, 48000);
    ASSERT_EQ(j->result, JOB_DONE) << j->message;
    ASSERT_NE(j->tape_out, nullptr);
    EXPECT_NEAR((double)j->frames_out / 48000.0, 10.0, 0.001) << "kill " << k;
    EXPECT_NEAR(rising_crossings(j->tape_out, 48000, 96000), 1000, 2) << "kill " << k;
    job_free(j);
  }
  printf("rate-changing commits killed: %d old, %d new tape beside the old meta, %d new\n",
         states[0], states[1], states[2]);
  EXPECT_GT(states[1], 0);
  meta_free(&before);
  tape_free(old);
  tape_free(now);
}

// The side-car is written again when it doesn't match the tape; a matching one, or a WAV that
// isn't a side-car of ours, is left as it is.
TEST(Landing, AStaleSidecarIsWrittenAgainOnOpen) {
  struct Case {
    const char* what;
    int64_t sidecarFrames;  // -1: a 24-bit WAV someone else wrote
    double sidecarRate;
    bool rewritten;
  };
  const Case cases[] = {
      {"shorter", 30000, 44100, true},
      {"another rate", 48000, 48000, true},
      {"matching", 44100, 44100, false},
      {"not ours", -1, 44100, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TmpDir dir("land-sidecar");
    Tape* t = make_tape(44100, 44100, tone);
    SketchMeta m;
    meta_new(&m, 44100);
    snprintf(m.name, sizeof m.name, "Tide");
    commit(dir.path, &m, t);
    const std::string wav = dir / sidecar_of(&m);
    if (c.sidecarFrames < 0) {
      ASSERT_EQ(system(("sox -n -b 24 -r 44100 -c 2 '" + wav + "' synth 0.5 sine 300").c_str()), 0);
    } else {
      Tape* s = make_tape(c.sidecarRate, c.sidecarFrames, tone);
      ASSERT_EQ(wav_write(wav.c_str(), s, 0, c.sidecarFrames, 1.0f, nullptr), 0);
      tape_free(s);
    }
    const std::string before = tmpdir_read(wav);
    Job* j = load_tape(dir.path, 44100);
    EXPECT_EQ(j->result, JOB_DONE) << j->message;
    job_free(j);
    double rate = 0;
    int64_t frames = 0;
    if (c.rewritten) {
      ASSERT_EQ(wav_sidecar_info(wav.c_str(), &rate, &frames), 0);
      EXPECT_EQ(rate, 44100);
      EXPECT_EQ(frames, 44100);
    } else {
      EXPECT_EQ(tmpdir_read(wav), before);
    }
    meta_free(&m);
    tape_free(t);
  }
}

// A last commit that fails is rescued to the first place that takes it, and says where.
TEST(Landing, AFailedLastCommitIsRescuedWhereItCan) {
  struct Case {
    const char* what;
    bool dataUsable, tempUsable;
    const char* landsIn;  // "" for nowhere
  };
  const Case cases[] = {
      {"the data folder", true, true, "data/kelp/rescued/"},
      {"the temp folder", false, true, "temp/kelp-rescued/"},
      {"nowhere", false, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TmpDir dir("land-rescue");
    tmpdir_write(dir / "blocker", "a file where a folder should be");
    Env data("XDG_DATA_HOME", c.dataUsable ? dir / "data" : dir / "blocker/data");
    Env temp("TMPDIR", c.tempUsable ? dir / "temp" : dir / "blocker/temp");
    Tape* t = make_tape(48000, 24000, tone);
    SketchMeta* m = make_meta(48000, "Harbour");
    // The sketch folder can't be made: a file stands on its way.
    Job* j = make_job(JOB_SAVE_COMMIT, dir / "blocker/sketch");
    j->meta = m;
    job_hold_tape(j, t);
    j->frames = 24000;
    j->rescue = true;
    job_run(j);
    EXPECT_EQ(j->result, JOB_FAILED);
    EXPECT_EQ(j->rescued, c.landsIn[0] != 0);
    if (j->rescued) {
      const std::string at = j->result_path;
      EXPECT_EQ(at.find(dir / c.landsIn), 0u) << at;
      EXPECT_NE(at.find("Harbour rescued "), std::string::npos) << at;
      double rate = 0;
      int64_t frames = 0;
      ASSERT_EQ(wav_sidecar_info((at + "/Harbour.wav").c_str(), &rate, &frames), 0);
      EXPECT_EQ(frames, 24000);
      EXPECT_EQ(file_size((at + "/tape.f32").c_str()), 24000 * 8);
      SketchMeta r{};
      bool dirty = false;
      char msg[256];
      ASSERT_EQ(meta_load_folder(at.c_str(), &r, &dirty, msg, sizeof msg), META_OK) << msg;
      EXPECT_STRNE(r.id, m->id);  // it can join the library beside the original
      EXPECT_EQ(r.lengthSamples, 24000);
      meta_free(&r);
    }
    job_free(j);
    tape_free(t);
  }
}

// Two rescues of one title in the same second keep both.
TEST(Landing, RescuesOfOneTitleNeverOverwriteEachOther) {
  TmpDir dir("land-twice");
  tmpdir_write(dir / "blocker", "a file where a folder should be");
  Env data("XDG_DATA_HOME", dir / "data");
  Tape* t = make_tape(48000, 4800, tone);
  std::string at[2];
  for (int i = 0; i < 2; i++) {
    Job* j = make_job(JOB_SAVE_COMMIT, dir / "blocker/sketch");
    j->meta = make_meta(48000, "Pier");
    job_hold_tape(j, t);
    j->frames = 4800 * (i + 1) / 2;
    j->rescue = true;
    job_run(j);
    ASSERT_TRUE(j->rescued);
    at[i] = j->result_path;
    job_free(j);
  }
  EXPECT_NE(at[0], at[1]);
  double rate = 0;
  int64_t frames = 0;
  ASSERT_EQ(wav_sidecar_info((at[0] + "/Pier.wav").c_str(), &rate, &frames), 0);
  EXPECT_EQ(frames, 2400);
  tape_free(t);
}

// Loads that would write or hold far more than any real recording are refused up front, and
// leave the sketch's files as they were.
TEST(Landing, LoadsThatCantFitAreRefusedBeforeTheyStart) {
  ScratchVolume vol(4u << 20);
  if (!vol.mounted) GTEST_SKIP() << vol.why;
  struct Case {
    const char* what;
    double sketchRate, stream;
    const char* message;
  };
  const Case cases[] = {
      {"a 1 Hz sketch", 1.0, 48000, "DAMAGED - ITS SAMPLE RATE IS 1 HZ"},
      {"a resample the volume can't hold", 44100, 48000, "DISK FULL - CAN'T RESAMPLE"},
  };
  Tape* t = make_tape(44100, 44100 * 3, tone);  // 1 MB of tape.f32 on a 4 MB volume
  ASSERT_EQ(tape_save(t, (vol / "tape.f32").c_str(), tape_length(t), nullptr, nullptr), 0);
  ASSERT_EQ(tmpfs_fill(vol.path, 1u << 20), 0);
  const std::string bytes = tmpdir_read(vol / "tape.f32");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Job* j = make_job(JOB_LOAD_TAPE, vol.path);
    j->sample_rate = c.sketchRate;
    j->target_rate = c.stream;
    j->frames = tape_length(t);
    job_run(j);
    EXPECT_EQ(j->result, JOB_FAILED);
    EXPECT_STREQ(j->message, c.message);
    EXPECT_EQ(j->tape_out, nullptr);
    job_free(j);
    EXPECT_EQ(tmpdir_read(vol / "tape.f32"), bytes);
  }
  tape_free(t);
}
