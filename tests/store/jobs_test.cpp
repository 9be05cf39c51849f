// The job queue: posting, workers, cancel groups, shutdown, busy snapshot, labels.
#include "store/jobs.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/tape.h"
#include "store/files.h"
#include "store/jobs_test_util.h"
#include "store/meta.h"
#include "support/tmpdir.h"

using namespace jobs_test;

namespace {

std::vector<Job*> take_all(JobQueue* q) {
  std::vector<Job*> out;
  while (Job* j = jobs_take_done(q)) out.push_back(j);
  return out;
}

// Waits until a snapshot row satisfies pred (up to 20 s).
template <typename Pred>
bool wait_for_busy(JobQueue* q, Pred pred) {
  for (int i = 0; i < 4000; i++) {
    JobBusyEntry rows[8];
    int n = jobs_busy_snapshot(q, rows, 8);
    for (int k = 0; k < n; k++)
      if (pred(rows[k])) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

bool valid_utf8(const char* s) {
  const unsigned char* p = (const unsigned char*)s;
  while (*p) {
    int n = *p < 0x80 ? 0 : (*p >> 5) == 6 ? 1 : (*p >> 4) == 14 ? 2 : (*p >> 3) == 30 ? 3 : -1;
    if (n < 0) return false;
    p++;
    for (int i = 0; i < n; i++, p++)
      if ((*p & 0xC0) != 0x80) return false;
  }
  return true;
}

Job* write_file_job(const std::string& path, const std::string& text) {
  Job* j = job_new(JOB_WRITE_FILE);
  job_copy_text(j->path, sizeof j->path, path.c_str());
  j->data = (uint8_t*)malloc(text.size() + 1);
  memcpy(j->data, text.data(), text.size());
  j->data_size = text.size();
  return j;
}

}  // namespace

TEST(JobsQueue, KindTableAndNewJobs) {
  struct Row {
    JobKind kind;
    const char* name;
    int worker, group;
    const char* label;
  } rows[] = {
      {JOB_SAVE_COMMIT, "SAVE_COMMIT", 0, 0, "SAVING…"},
      {JOB_LOAD_META, "LOAD_META", 0, 1, "LOADING…"},
      {JOB_LOAD_TAPE, "LOAD_TAPE", 0, 1, "LOADING TAPE…"},
      {JOB_SCAN_LIBRARY, "SCAN_LIBRARY", 0, 2, "LOADING…"},
      {JOB_LOAD_PREVIEW, "LOAD_PREVIEW", 0, 2, "LOADING PREVIEW…"},
      {JOB_WRITE_FILE, "WRITE_FILE", 0, 0, "SAVING SETTINGS…"},
      {JOB_SPECTRAL, "SPECTRAL", 1, 0, "ANALYSING…"},
      {JOB_HOP_LEVELS, "HOP_LEVELS", 1, 1, "ANALYSING…"},
  };
  for (const Row& r : rows) {
    Job* j = job_new(r.kind);
    ASSERT_NE(j, nullptr);
    EXPECT_STREQ(job_kind_name(r.kind), r.name);
    EXPECT_EQ(j->worker, r.worker) << r.name;
    EXPECT_EQ(j->cancel_group, r.group) << r.name;
    EXPECT_STREQ(j->label, r.label);
    EXPECT_EQ(j->rate_ratio, 1.0);
    EXPECT_EQ(j->result, JOB_PENDING);
    EXPECT_EQ(j->sequence, 0u);
    job_free(j);
  }
  EXPECT_STREQ(job_kind_name(99), "UNKNOWN");
  job_free(nullptr);
}

TEST(JobsQueue, RunsJobsInOrderAndReturnsThem) {
  TmpDir dir("jobs-q");
  JobQueue* q = jobs_start();
  ASSERT_NE(q, nullptr);
  std::vector<uint32_t> seqs;
  for (int i = 0; i < 5; i++) {
    uint32_t s = jobs_post(q, write_file_job(dir / ("f" + std::to_string(i)), "x"));
    EXPECT_NE(s, 0u);
    if (!seqs.empty()) {
      EXPECT_GT(s, seqs.back());
    }
    seqs.push_back(s);
  }
  // A bad group is reset to the kind's.
  Job* odd = write_file_job(dir / "odd", "y");
  odd->cancel_group = 7;
  seqs.push_back(jobs_post(q, odd));
  ASSERT_TRUE(jobs_wait_idle(q, JOB_WORKER_ANY, 10000));
  EXPECT_TRUE(jobs_idle(q, JOB_WORKER_IO));
  std::vector<Job*> done = take_all(q);
  ASSERT_EQ(done.size(), seqs.size());
  for (size_t i = 0; i < done.size(); i++) {
    EXPECT_EQ(done[i]->sequence, seqs[i]);
    EXPECT_EQ(done[i]->result, JOB_DONE) << done[i]->message;
    EXPECT_EQ(done[i]->queue, nullptr);
    if (done[i]->sequence == seqs.back()) {
      EXPECT_EQ(done[i]->cancel_group, 0);
    }
    job_free(done[i]);
  }
  EXPECT_EQ(tmpdir_read(dir / "f3"), "x");
  EXPECT_EQ(jobs_take_done(q), nullptr);
  jobs_stop(q);
}

TEST(JobsQueue, PostsAfterStopOrWithoutQueueAreDropped) {
  int64_t mark = log_console_count();
  EXPECT_EQ(jobs_post(nullptr, job_new(JOB_SAVE_META)), 0u);
  EXPECT_TRUE(log_has(mark, "jobs: no workers - SAVE_META dropped"));
  EXPECT_EQ(jobs_post(nullptr, nullptr), 0u);

  JobQueue* q = jobs_start();
  ASSERT_NE(q, nullptr);
  jobs_stop_begin(q);
  mark = log_console_count();
  EXPECT_EQ(jobs_post(q, job_new(JOB_SAVE_META)), 0u);
  EXPECT_TRUE(log_has(mark, "jobs: shutting down - SAVE_META dropped"));
  jobs_stop(q);
}

TEST(JobsQueue, StartFailureStopsWhatStarted) {
  for (int w = 0; w < 2; w++) {
    int64_t mark = log_console_count();
    jobs_debug_fail_start(w);
    EXPECT_EQ(jobs_start(), nullptr);
    EXPECT_TRUE(log_has(mark, std::string("jobs: couldn't start the ") +
                                  (w == 0 ? "IO" : "COMPUTE") + " worker (error 11)"));
  }
  JobQueue* q = jobs_start();  // the failure was for one start only
  ASSERT_NE(q, nullptr);
  jobs_stop(q);
}

#ifdef __linux__
TEST(JobsQueue, ComputeWorkerRunsBelowNormalPriority) {
  errno = 0;
  int base = getpriority(PRIO_PROCESS, 0);
  JobQueue* q = jobs_start();
  ASSERT_NE(q, nullptr);
  int lowered = 0;
  for (int tries = 0; tries < 200 && lowered == 0; tries++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    lowered = 0;
    DIR* d = opendir("/proc/self/task");
    ASSERT_NE(d, nullptr);
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      errno = 0;
      int nice = getpriority(PRIO_PROCESS, (id_t)atoi(e->d_name));
      if (errno == 0 && nice == std::min(base + 5, 19)) lowered++;
    }
    closedir(d);
  }
  EXPECT_EQ(lowered, 1);  // COMPUTE only; IO and this thread keep the normal priority
  jobs_stop(q);
}
#endif

TEST(JobsQueue, LabelsAndMessagesAreCutAtCharacterBoundaries) {
  Job* j = job_new(JOB_SAVE_META);
  std::string e;
  for (int i = 0; i < 70; i++) e += "é";
  job_set_label(j, "%s", e.c_str());
  EXPECT_EQ(strlen(j->label), 62u);
  EXPECT_TRUE(valid_utf8(j->label));
  job_set_label(j, "RESAMPLING %s → %s…", "44.1K", "48K");
  EXPECT_STREQ(j->label, "RESAMPLING 44.1K → 48K…");
  std::string long_text(300, 'A');
  long_text += "€€€";
  job_fail(j, "%s", long_text.c_str());
  EXPECT_EQ(j->result, JOB_FAILED);
  EXPECT_EQ(strlen(j->message), 255u);
  char name[8];
  EXPECT_FALSE(job_copy_text(name, sizeof name, "abcdeé€"));
  EXPECT_STREQ(name, "abcdeé");
  char shorter[7];  // the é would be split: it goes whole
  EXPECT_FALSE(job_copy_text(shorter, sizeof shorter, "abcdeé"));
  EXPECT_STREQ(shorter, "abcde");
  job_free(j);
}

TEST(JobsQueue, UnknownAndLibraryKindsFailCleanly) {
  int64_t mark = log_console_count();
  Job* j = job_new((JobKind)42);
  job_run(j);
  EXPECT_EQ(j->result, JOB_FAILED);
  EXPECT_STREQ(j->message, "UNKNOWN JOB");
  job_free(j);
  // An import of a file that isn't there fails with its own text and leaves the library alone.
  j = make_job(JOB_IMPORT_AUDIO, "/nowhere/lib");
  job_copy_text(j->path, sizeof j->path, "/nowhere/take.mp3");
  job_run(j);
  EXPECT_EQ(j->result, JOB_FAILED);
  EXPECT_STRNE(j->message, "");
  job_free(j);
  EXPECT_TRUE(log_has(mark, "jobs: IMPORT_AUDIO failed - "));
  j = job_new(JOB_NONE);
  job_run(j);
  EXPECT_EQ(j->result, JOB_DONE);
  job_free(j);
}

// The worker's two log lines: a failure names the folder, else the path; a job that took more
// than a quarter second is timed to a tenth of a millisecond.
TEST(JobsQueue, FailureAndSlowJobLogLines) {
  int64_t mark = log_console_count();
  Job* j = job_new((JobKind)42);
  job_copy_text(j->path, sizeof j->path, "/some/file.wav");
  job_run(j);
  EXPECT_TRUE(log_has(mark, "jobs: UNKNOWN failed - UNKNOWN JOB (/some/file.wav)"));
  job_free(j);

  j = make_job(JOB_NONE, "/held/folder");
  job_copy_text(j->path, sizeof j->path, "/not/this");
  mark = log_console_count();
  job_run(j);  // quick: not timed
  EXPECT_FALSE(log_has(mark, "NONE  "));
  jobs_debug_hold(true);
  std::thread release([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    jobs_debug_hold(false);
  });
  job_run(j);
  release.join();
  EXPECT_EQ(j->result, JOB_DONE);
  job_free(j);
  char line[LOG_FULL_LINE_BYTES + 8];
  bool timed = false;
  for (int64_t i = mark; i < log_console_count(); i++) {
    if (!log_line_full(i, line, sizeof line)) continue;
    const char* at = strstr(line, "NONE  /held/folder (");
    double ms = 0;
    char tail[8] = "";
    if (at && sscanf(at, "NONE  /held/folder (%lf%7s", &ms, tail) == 2) {
      timed = ms >= 250 && strcmp(tail, "ms)") == 0;
      const char* dot = strchr(at, '.');
      EXPECT_TRUE(dot && dot[1] >= '0' && dot[1] <= '9' && dot[2] == 'm') << line;
    }
  }
  EXPECT_TRUE(timed);
}

// Opening another sketch while its tape loads: the load is told to stop and comes back
// cancelled, a LOAD_META queued behind it never runs, a save behind it still does.
TEST(JobsQueue, CancelGroupDuringLoadTape) {
  TmpDir dir("jobs-cancel");
  std::string big = dir / "big", other = dir / "other";
  ASSERT_EQ(fsys_make_folders(big.c_str()), 0);
  ASSERT_EQ(fsys_make_folders(other.c_str()), 0);
  // 4M frames of silence: long enough to still be resampling when the cancel comes.
  int fd = open((big + "/tape.f32").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, (off_t)4194304 * 8), 0);
  close(fd);
  tmpdir_write(other + "/stray.tmp", "half");  // LOAD_META would clean it up if it ran
  SketchMeta* m = make_meta(48000, "keep");

  JobQueue* q = jobs_start();
  ASSERT_NE(q, nullptr);
  Job* load = make_job(JOB_LOAD_TAPE, big);
  load->sample_rate = 44100;
  load->target_rate = 48000;
  uint32_t sLoad = jobs_post(q, load);
  uint32_t sMeta = jobs_post(q, make_job(JOB_LOAD_META, other));
  Job* save = make_job(JOB_SAVE_META, other);
  save->meta = m;
  uint32_t sSave = jobs_post(q, save);
  ASSERT_TRUE(wait_for_busy(q, [&](const JobBusyEntry& e) {
    return e.sequence == sLoad && e.running && strstr(e.label, "RESAMPLING");
  }));
  EXPECT_EQ(jobs_cancel_group(q, JOB_GROUP_SKETCH), 1u);
  // The queued LOAD_META is back at once, before the running load ends.
  Job* first = jobs_take_done(q);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->sequence, sMeta);
  EXPECT_EQ(first->result, JOB_CANCELLED);
  job_free(first);
  ASSERT_TRUE(jobs_wait_idle(q, JOB_WORKER_IO, 30000));
  std::vector<Job*> rest = take_all(q);
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_EQ(rest[0]->sequence, sLoad);
  EXPECT_EQ(rest[0]->result, JOB_CANCELLED);
  EXPECT_EQ(rest[0]->tape_out, nullptr);
  EXPECT_EQ(rest[1]->sequence, sSave);
  EXPECT_EQ(rest[1]->result, JOB_DONE);
  for (Job* j : rest) job_free(j);
  EXPECT_TRUE(path_exists((other + "/stray.tmp").c_str()));
  EXPECT_TRUE(path_exists((other + "/meta.json").c_str()));
  jobs_stop(q);
}

// Shutdown: queued saves and deletes still land; queued analysis and sketch loads come back
// cancelled; the tape's job reference is given back.
TEST(JobsQueue, ShutdownRunsQueuedSavesAndCancelsTheRest) {
  TmpDir dir("jobs-stop");
  std::string folder = dir / "sketch";
  Tape* tape = make_tape(48000, 2000, [](int64_t f, int) { return (f % 100) / 100.0f; });
  JobQueue* q = jobs_start();
  ASSERT_NE(q, nullptr);
  jobs_debug_pause(q, true);
  Job* commit = make_job(JOB_SAVE_COMMIT, folder);
  commit->meta = make_meta(48000, "Stop");
  job_hold_tape(commit, tape);
  commit->frames = 2000;
  uint32_t sCommit = jobs_post(q, commit);
  Job* spectral = job_new(JOB_SPECTRAL);
  job_hold_tape(spectral, tape);
  spectral->range_end = 2000;
  uint32_t sSpectral = jobs_post(q, spectral);
  uint32_t sMeta = jobs_post(q, make_job(JOB_LOAD_META, folder));
  EXPECT_EQ(tape->refs.load(), 2);

  jobs_stop_begin(q);
  ASSERT_TRUE(jobs_wait_idle(q, JOB_WORKER_ANY, 20000));
  std::vector<Job*> done = take_all(q);
  ASSERT_EQ(done.size(), 3u);
  for (Job* j : done) {
    if (j->sequence == sCommit) {
      EXPECT_EQ(j->result, JOB_DONE) << j->message;
    } else {
      EXPECT_TRUE(j->sequence == sSpectral || j->sequence == sMeta);
      EXPECT_EQ(j->result, JOB_CANCELLED) << job_kind_name(j->kind);
    }
    job_free(j);
  }
  EXPECT_EQ(file_size((folder + "/tape.f32").c_str()), 16000);
  EXPECT_TRUE(path_exists((folder + "/meta.json").c_str()));
  EXPECT_EQ(tape->refs.load(), 0);
  jobs_stop(q);
  tape_free(tape);
}

// The busy list: running job first, then pending ones, across both workers in sequence order,
// with the running job's progress mapped through its phase.
TEST(JobsQueue, BusySnapshotOrderAndProgress) {
  TmpDir dir("jobs-busy");
  Tape* tape = make_tape(48000, 4800, [](int64_t, int) { return 0.25f; });
  JobQueue* q = jobs_start();
  ASSERT_NE(q, nullptr);

  // A held job keeps the IO worker busy; the rest wait behind the pause.
  jobs_debug_hold(true);
  Job* held = make_job(JOB_NONE, dir.path);
  job_copy_text(held->label, sizeof held->label, "HOLDING…");
  uint32_t s1 = jobs_post(q, held);
  ASSERT_TRUE(wait_for_busy(q, [&](const JobBusyEntry& e) { return e.running; }));
  jobs_debug_pause(q, true);
  Job* a = job_new(JOB_SPECTRAL);
  job_hold_tape(a, tape);
  Job* b = make_job(JOB_SAVE_META, dir / "s");
  b->meta = make_meta(48000, "b");
  Job* c = job_new(JOB_HOP_LEVELS);
  job_hold_tape(c, tape);
  uint32_t s2 = jobs_post(q, a), s3 = jobs_post(q, b), s4 = jobs_post(q, c);
  EXPECT_FALSE(jobs_wait_idle(q, JOB_WORKER_IO, 50));
  EXPECT_FALSE(jobs_idle(q, JOB_WORKER_COMPUTE));

  job_progress_phase(held, 100, 50, 200);
  job_progress_set(&held->progress, 5, 10);
  JobBusyEntry rows[8];
  ASSERT_EQ(jobs_busy_snapshot(q, rows, 8), 4);
  uint32_t want[] = {s1, s2, s3, s4};
  int workers[] = {0, 1, 0, 1};
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(rows[i].sequence, want[i]);
    EXPECT_EQ(rows[i].worker, workers[i]);
    EXPECT_EQ(rows[i].running, i == 0);
  }
  EXPECT_STREQ(rows[0].label, "HOLDING…");
  EXPECT_EQ(rows[0].kind, JOB_NONE);
  EXPECT_DOUBLE_EQ(rows[0].progress, 0.625);
  EXPECT_DOUBLE_EQ(rows[0].scale, 200);
  EXPECT_STREQ(rows[1].label, "ANALYSING…");
  EXPECT_STREQ(rows[2].label, "SAVING…");
  EXPECT_EQ(rows[2].progress, 0.0);
  // done past total is clamped; without a scale the raw count shows.
  job_progress_set(&held->progress, 50, 10);
  jobs_busy_snapshot(q, rows, 8);
  EXPECT_DOUBLE_EQ(rows[0].progress, 0.75);
  job_progress_phase(held, 0, 0, 0);
  held->progress.done.store(7);
  ASSERT_EQ(jobs_busy_snapshot(q, rows, 2), 2);
  EXPECT_DOUBLE_EQ(rows[0].progress, 7.0);
  EXPECT_EQ(rows[0].scale, 0.0);
  EXPECT_EQ(rows[1].sequence, s2);

  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int64_t mark = log_console_count();
  jobs_debug_hold(false);
  jobs_debug_pause(q, false);
  ASSERT_TRUE(jobs_wait_idle(q, JOB_WORKER_ANY, 20000));
  std::vector<Job*> done = take_all(q);
  ASSERT_EQ(done.size(), 4u);
  for (Job* j : done) {
    EXPECT_EQ(j->result, JOB_DONE) << job_kind_name(j->kind) << " " << j->message;
    job_free(j);
  }
  EXPECT_TRUE(log_has(mark, "NONE  " + dir.path + " ("));  // the slow-job line
  jobs_stop(q);
  tape_free(tape);
}

// A pipe named like a WAV must not hold the IO worker: only regular files are opened.
TEST(JobsQueue, PipesAreNeverOpened) {
  TmpDir dir("jobs-pipe");
  ASSERT_EQ(mkfifo((dir / "a.wav").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo((dir / "b.wav").c_str(), 0644), 0);
  JobQueue* q = jobs_start();
  ASSERT_NE(q, nullptr);
  jobs_post(q, make_job(JOB_LOAD_PREVIEW, dir.path));
  Job* named = make_job(JOB_LOAD_PREVIEW, dir.path);
  job_copy_text(named->name, sizeof named->name, "b.wav");
  jobs_post(q, named);
  Job* copy = make_job(JOB_COPY_FILE, dir.path);
  job_copy_text(copy->path, sizeof copy->path, (dir / "a.wav").c_str());
  job_copy_text(copy->path2, sizeof copy->path2, (dir / "out.wav").c_str());
  jobs_post(q, copy);
  ASSERT_TRUE(jobs_wait_idle(q, JOB_WORKER_IO, 10000));
  std::vector<Job*> done = take_all(q);
  ASSERT_EQ(done.size(), 3u);
  EXPECT_STREQ(done[0]->message, "NO AUDIO");
  EXPECT_STREQ(done[1]->message, "NO AUDIO");
  EXPECT_STREQ(done[2]->message, "NO AUDIO TO COPY");
  for (Job* j : done) job_free(j);
  jobs_stop(q);
}

// Many posts, cancels, snapshots and takes at once: every job comes back exactly once.
TEST(JobsQueue, ConcurrentTraffic) {
  TmpDir dir("jobs-traffic");
  Tape* tape = make_tape(48000, 48000, [](int64_t f, int) { return (f % 480) / 480.0f; });
  JobQueue* q = jobs_start();
  ASSERT_NE(q, nullptr);
  std::atomic<bool> stop{false};
  std::thread watcher([&] {
    JobBusyEntry rows[16];
    while (!stop.load()) jobs_busy_snapshot(q, rows, 16);
  });
  std::set<uint32_t> posted, returned;
  const int kJobs = 300;
  for (int i = 0; i < kJobs; i++) {
    Job* j;
    if (i % 3 == 0) {
      j = write_file_job(dir / ("w" + std::to_string(i % 7)), std::to_string(i));
    } else if (i % 3 == 1) {
      j = job_new(JOB_HOP_LEVELS);
      job_hold_tape(j, tape);
      j->range_end = 48000;
    } else {
      j = make_job(JOB_LOAD_META, dir.path);
    }
    uint32_t s = jobs_post(q, j);
    ASSERT_NE(s, 0u);
    posted.insert(s);
    if (i % 17 == 0) jobs_cancel_group(q, JOB_GROUP_SKETCH);
    while (Job* d = jobs_take_done(q)) {
      EXPECT_TRUE(returned.insert(d->sequence).second);
      EXPECT_NE(d->result, JOB_PENDING);
      job_free(d);
    }
  }
  ASSERT_TRUE(jobs_wait_idle(q, JOB_WORKER_ANY, 60000));
  while (Job* d = jobs_take_done(q)) {
    EXPECT_TRUE(returned.insert(d->sequence).second);
    job_free(d);
  }
  stop = true;
  watcher.join();
  EXPECT_EQ(posted, returned);
  EXPECT_EQ(tape->refs.load(), 0);
  jobs_stop(q);
  tape_free(tape);
}
