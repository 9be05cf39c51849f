// A real full volume: saves, exports, copies and settings writes fail with "DISK FULL" and every
// earlier file stays exactly as it was.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/tape.h"
#include "store/files.h"
#include "store/jobs.h"
#include "store/jobs_test_util.h"
#include "store/meta.h"
#include "support/tmpfs.h"

using namespace jobs_test;

namespace {

constexpr int64_t kFrames = 65536;

bool has_tmp(const std::string& folder) {
  DIR* d = opendir(folder.c_str());
  if (!d) return false;
  bool found = false;
  while (dirent* e = readdir(d)) {
    size_t n = strlen(e->d_name);
    if (n > 4 && strcmp(e->d_name + n - 4, ".tmp") == 0) found = true;
  }
  closedir(d);
  return found;
}

Job* commit_job(const std::string& folder, Tape* tape, const char* name) {
  Job* j = make_job(JOB_SAVE_COMMIT, folder);
  j->meta = make_meta(48000, name);
  job_hold_tape(j, tape);
  j->frames = kFrames;
  return j;
}

Job* export_job(const std::string& path, Tape* tape) {
  Job* j = job_new(JOB_EXPORT_WAV);
  job_hold_tape(j, tape);
  job_copy_text(j->path, sizeof j->path, path.c_str());
  j->range_end = kFrames;
  j->normalize = true;
  return j;
}

}  // namespace

TEST(DiskFull, FailuresSayDiskFullAndKeepTheOldFiles) {
  ScratchVolume vol(8u << 20, "diskfull");
  if (!vol.mounted) GTEST_SKIP() << vol.why;
  const std::string folder = vol / "lib/sketch";
  const std::string exported = vol / "lib/exports/Song.wav";
  Tape* before = make_tape(48000, kFrames, [](int64_t f, int) { return (f % 50) / 100.0f; });
  Tape* after = make_tape(48000, kFrames, [](int64_t f, int) { return -(f % 70) / 100.0f; });

  Job* j = commit_job(folder, before, "Song");
  job_run(j);
  ASSERT_EQ(j->result, JOB_DONE) << j->message;
  job_free(j);
  j = export_job(exported, before);
  job_run(j);
  ASSERT_EQ(j->result, JOB_DONE) << j->message;
  job_free(j);
  const std::string files[] = {folder + "/tape.f32", folder + "/meta.json", folder + "/Song.wav",
                               exported};
  std::string saved[4];
  for (int i = 0; i < 4; i++) {
    saved[i] = tmpdir_read(files[i]);
    ASSERT_FALSE(saved[i].empty()) << files[i];
  }

  ASSERT_EQ(tmpfs_fill(vol.path, 64 << 10), 0);
  int64_t mark = log_console_count();
  j = commit_job(folder, after, "Song");
  job_run(j);
  EXPECT_EQ(j->result, JOB_FAILED);
  EXPECT_STREQ(j->message, "DISK FULL");
  job_free(j);
  EXPECT_TRUE(log_has(mark, "jobs: SAVE_COMMIT failed - DISK FULL (" + folder));

  j = export_job(exported, after);
  job_run(j);
  EXPECT_EQ(j->result, JOB_FAILED);
  EXPECT_STREQ(j->message, "DISK FULL");
  job_free(j);

  j = make_job(JOB_COPY_FILE, folder);
  job_copy_text(j->path, sizeof j->path, (folder + "/Song.wav").c_str());
  job_copy_text(j->path2, sizeof j->path2, (vol / "lib/exports/copy.wav").c_str());
  job_run(j);
  EXPECT_STREQ(j->message, "DISK FULL");
  job_free(j);

  j = job_new(JOB_WRITE_FILE);
  job_copy_text(j->path, sizeof j->path, (vol / "kelp.ini").c_str());
  j->data_size = 256 << 10;
  j->data = (uint8_t*)calloc(1, j->data_size);
  job_run(j);
  EXPECT_STREQ(j->message, "DISK FULL");
  job_free(j);

  for (int i = 0; i < 4; i++) EXPECT_TRUE(tmpdir_read(files[i]) == saved[i]) << files[i];
  EXPECT_FALSE(has_tmp(folder));
  EXPECT_FALSE(has_tmp(vol / "lib/exports"));
  EXPECT_FALSE(path_exists((vol / "lib/exports/copy.wav").c_str()));
  EXPECT_FALSE(path_exists((vol / "kelp.ini").c_str()));
  tape_free(before);
  tape_free(after);
}
