// Saves killed at random moments: a child process saves one sketch over and over, alternating
// between two versions, and is killed with SIGKILL. Each time meta.json must still read and
// tape.f32 must be exactly one of the two versions; stray temporary files go at the next clean-up.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <string>

#include "core/tape.h"
#include "store/files.h"
#include "store/jobs.h"
#include "store/jobs_test_util.h"
#include "store/meta.h"
#include "support/tmpdir.h"

using namespace jobs_test;

namespace {

constexpr int64_t kFrames = 65536;  // tape.f32 of 512 KiB, side-car of 256 KiB
constexpr int kKills = 300;

int count_tmp(const std::string& folder) {
  int n = 0;
  DIR* d = opendir(folder.c_str());
  if (!d) return 0;
  while (dirent* e = readdir(d)) {
    size_t len = strlen(e->d_name);
    if (len > 4 && strcmp(e->d_name + len - 4, ".tmp") == 0) n++;
  }
  closedir(d);
  return n;
}

// One full save the way the session does it: the commit job, then meta.json alone.
void save_version(const std::string& folder, const SketchMeta* meta, Tape* tape) {
  Job* j = make_job(JOB_SAVE_COMMIT, folder);
  j->meta = meta_clone(meta);
  job_hold_tape(j, tape);
  j->frames = kFrames;
  job_run(j);
  job_free(j);
  meta_save_folder(folder.c_str(), meta);
}

}  // namespace

TEST(CrashSafety, KilledSavesLeaveTheOldOrTheNewFiles) {
  TmpDir dir("crash");
  const std::string folder = dir / "sketch";
  Tape* tapes[2] = {
      make_tape(48000, kFrames, [](int64_t f, int ch) { return (f % 97) / 97.0f - ch * 0.5f; }),
      make_tape(48000, kFrames, [](int64_t f, int ch) { return -(f % 89) / 89.0f + ch * 0.25f; }),
  };
  const std::string bytes[2] = {tape_bytes(tapes[0]), tape_bytes(tapes[1])};
  ASSERT_NE(bytes[0], bytes[1]);
  SketchMeta metas[2];
  meta_new(&metas[0], 48000);
  snprintf(metas[0].name, sizeof metas[0].name, "Alpha");
  metas[0].lengthSamples = kFrames;
  metas[1] = metas[0];  // the same sketch (no layers or kept texts to share)
  snprintf(metas[1].name, sizeof metas[1].name, "Beta");
  metas[1].loopActive = true;
  save_version(folder, &metas[0], tapes[0]);
  // The kills spread over two saves as long as they take here (a sanitizer build is slower).
  auto t0 = std::chrono::steady_clock::now();
  save_version(folder, &metas[0], tapes[0]);
  const unsigned spread = std::max(
      30000u, (unsigned)(2e6 * std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
                                   .count()));

  std::mt19937 rng(12345);
  int sawTmp = 0, sawTape[2] = {0, 0}, sawMeta[2] = {0, 0};
  auto started = std::chrono::steady_clock::now();
  for (int kill_no = 0; kill_no < kKills; kill_no++) {
    const int first = (int)(rng() % 2);
    const unsigned delayUs = rng() % (spread + 1);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int i = first;; i ^= 1) save_version(folder, &metas[i], tapes[i]);
    }
    usleep(delayUs);
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));

    SketchMeta m{};
    bool dirty = false;
    char msg[256] = "";
    ASSERT_EQ(meta_load_folder(folder.c_str(), &m, &dirty, msg, sizeof msg), META_OK)
        << "kill " << kill_no << ": " << msg;
    bool alpha = strcmp(m.name, "Alpha") == 0;
    ASSERT_TRUE(alpha || strcmp(m.name, "Beta") == 0) << m.name;
    ASSERT_EQ(m.loopActive, !alpha);
    sawMeta[alpha ? 0 : 1]++;
    meta_free(&m);

    std::string tape = tmpdir_read(folder + "/tape.f32");
    ASSERT_TRUE(tape == bytes[0] || tape == bytes[1])
        << "kill " << kill_no << ": torn tape.f32 of " << tape.size() << " bytes";
    sawTape[tape == bytes[0] ? 0 : 1]++;
    for (const char* wav : {"/Alpha.wav", "/Beta.wav"}) {
      int64_t size = file_size((folder + wav).c_str());
      ASSERT_TRUE(size < 0 || size == 44 + kFrames * 4) << wav << " of " << size << " bytes";
    }

    int stray = count_tmp(folder);
    if (stray > 0) sawTmp++;
    ASSERT_EQ(tmp_cleanup(folder.c_str()), stray);
    ASSERT_EQ(count_tmp(folder), 0);
  }
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  printf("crash safety: %d kills in %.1f s; stray .tmp after %d; tapes %d/%d; metas %d/%d\n",
         kKills, seconds, sawTmp, sawTape[0], sawTape[1], sawMeta[0], sawMeta[1]);
  // The kills landed in the middle of writes, and the saves got somewhere between them.
  EXPECT_GT(sawTmp, 0);
  EXPECT_GT(sawMeta[0], 0);
  EXPECT_GT(sawMeta[1], 0);
  meta_free(&metas[0]);
  tape_free(tapes[0]);
  tape_free(tapes[1]);
}
