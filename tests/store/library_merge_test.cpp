// The merge of a finished scan into the list: what happened while it ran survives, the open
// sketch keeps its row, out of memory keeps the old list, and a threaded scan under the user.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "core/core.h"
#include "core/tape.h"
#include "store/filenames.h"
#include "store/files.h"
#include "store/import.h"
#include "store/jobs.h"
#include "store/library.h"
#include "store/library_test_util.h"
#include "store/meta.h"
#include "store/uuid.h"
#include "store/wav.h"
#include "support/log_capture.h"
#include "support/tmpdir.h"

using namespace library_test;

TEST(LibraryMerge, AnImportAndADeleteMadeDuringAScanSurvive) {
  TmpDir dir("library");
  const std::string lib = dir.path;
  const std::string keep = make_sketch(lib, Recipe().at(10).frames(10));
  const std::string doomed = make_sketch(lib, Recipe().at(20).frames(10));
  const std::string vanish = make_sketch(lib, Recipe().at(30).frames(10));
  Library l;
  library_init(&l, lib.c_str());
  scan_now(&l);
  ASSERT_EQ(l.count, 3);
  JobQueue* q = jobs_start();
  ASSERT_NE(q, nullptr);

  // A scan starts; a folder vanishes behind the program's back before it is listed.
  Job* scan = library_scan_begin(&l, "", clock_monotonic());
  ASSERT_NE(scan, nullptr);
  EXPECT_EQ(library_refresh(&l, q, ""), 1);  // one scan at a time
  tree_delete((lib + "/" + vanish).c_str());
  library_scan_job(scan);
  scan->result = JOB_DONE;

  // Before its result is merged the user deletes a card and an import lands.
  ASSERT_EQ(library_delete(&l, q, doomed.c_str()), 0);
  EXPECT_EQ(l.count, 2);
  Tape* t = make_tape(4800, 0.5f);
  const std::string wav = dir / "take one.wav";
  ASSERT_EQ(wav_write(wav.c_str(), t, 0, 4800, 1.0f, nullptr), 0);
  tape_free(t);
  Job* imp = job_new(JOB_IMPORT_AUDIO);
  job_copy_text(imp->path, sizeof imp->path, wav.c_str());
  job_copy_text(imp->folder, sizeof imp->folder, lib.c_str());
  ASSERT_EQ(import_audio_job(imp), 0);
  imp->result = JOB_DONE;
  EXPECT_TRUE(library_on_job(&l, imp));
  const std::string imported = imp->result_id;
  job_free(imp);
  ASSERT_EQ(l.count, 3);
  EXPECT_STREQ(l.rows[0].id, imported.c_str());  // new cards go on top
  EXPECT_STREQ(l.rows[0].name, "take one");

  std::vector<Job*> done = finish(q, &l);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0]->result, JOB_DONE);
  EXPECT_FALSE(path_exists((lib + "/" + doomed).c_str()));
  free_jobs(done);

  const uint64_t version = l.version;
  int64_t mark = log_console_count();
  EXPECT_TRUE(library_on_job(&l, scan));
  job_free(scan);
  EXPECT_GT(l.version, version);
  EXPECT_TRUE(log_has(mark,
                      "library: scan merged (2 rows, 1 kept from after the scan began, "
                      "1 gone, 1 deleted meanwhile)"));
  ASSERT_EQ(l.count, 2);
  EXPECT_STREQ(l.rows[0].id, imported.c_str());
  EXPECT_STREQ(l.rows[1].id, keep.c_str());
  EXPECT_LT(library_find(&l, doomed.c_str()), 0);
  EXPECT_LT(library_find(&l, vanish.c_str()), 0);
  jobs_stop(q);
  library_free(&l);
}

TEST(LibraryMerge, TheOpenSketchKeepsItsRowAndOtherFoldersScansAreIgnored) {
  TmpDir dir("library");
  const std::string lib = dir.path;
  const std::string open = make_sketch(lib, Recipe().at(10).name("on disk").frames(10));
  const std::string other = make_sketch(lib, Recipe().at(5).name("other").frames(10));
  Library l;
  library_init(&l, lib.c_str());
  scan_now(&l);
  ASSERT_EQ(l.count, 2);

  // The session renamed the open sketch in memory; the disk still has the old name.
  SketchMeta m{};
  bool d;
  char msg[256];
  ASSERT_EQ(meta_load_folder((lib + "/" + open).c_str(), &m, &d, msg, sizeof msg), META_OK);
  snprintf(m.name, sizeof m.name, "in memory");
  library_upsert(&l, &m, nullptr);
  meta_free(&m);
  EXPECT_EQ(l.count, 2);
  EXPECT_STREQ(l.rows[0].name, "in memory");
  EXPECT_EQ(std::string(l.rows[0].folder), lib + "/" + open);

  scan_now(&l, open.c_str());
  ASSERT_EQ(l.count, 2);
  EXPECT_STREQ(l.rows[library_find(&l, open.c_str())].name, "in memory");
  EXPECT_STREQ(l.rows[library_find(&l, other.c_str())].name, "other");

  // A scan for a folder the library has left changes nothing but its own state.
  Job* stale = library_scan_begin(&l, "", 1.0);
  ASSERT_NE(stale, nullptr);
  library_scan_job(stale);
  stale->result = JOB_DONE;
  TmpDir elsewhere("library2");
  library_set_folder(&l, elsewhere.path.c_str());
  EXPECT_EQ(l.count, 0);
  Job* fresh = library_scan_begin(&l, "", 1.0);
  ASSERT_NE(fresh, nullptr);
  library_on_job(&l, stale);
  EXPECT_EQ(l.count, 0);
  EXPECT_TRUE(l.scanning);  // the new folder's scan is still out
  fresh->result = JOB_FAILED;
  library_on_job(&l, fresh);
  EXPECT_FALSE(l.scanning);
  job_free(stale);
  job_free(fresh);
  library_free(&l);
}

TEST(LibraryMerge, OutOfMemoryKeepsTheOldList) {
  TmpDir dir("library");
  make_sketch(dir.path, Recipe().at(10).frames(10));
  Library l;
  library_init(&l, dir.path.c_str());
  scan_now(&l);
  ASSERT_EQ(l.count, 1);
  make_sketch(dir.path, Recipe().at(20).frames(10));
  Job* job = library_scan_begin(&l, "", 1.0);
  library_scan_job(job);
  job->result = JOB_DONE;
  ASSERT_EQ(job->card_count, 2);
  int64_t mark = log_console_count();
  library_debug_fail_allocations(0);
  library_on_job(&l, job);
  library_debug_fail_allocations(-1);
  EXPECT_TRUE(log_has(mark, "library: out of memory applying a scan - keeping the old list"));
  EXPECT_EQ(l.count, 1);
  EXPECT_FALSE(l.scanning);
  job_free(job);  // the scanned cards go with the job

  // A card that can't get its drawing is still listed.
  SketchMeta m{};
  meta_new(&m, 48000);
  m.lengthSamples = 10;
  LayerTemplate t{};
  t.lengthSamples = 10;
  meta_add_layer(&m, layer_new(&t, 3));
  mark = log_console_count();
  library_debug_fail_allocations(0);
  library_upsert(&l, &m, nullptr);  // the list has room; only the thumbs fail
  library_debug_fail_allocations(-1);
  EXPECT_TRUE(log_has(mark, "- the row shows without its drawing"));
  ASSERT_EQ(l.count, 2);
  EXPECT_STREQ(l.rows[0].id, m.id);
  EXPECT_EQ(l.rows[0].thumbs, nullptr);
  EXPECT_EQ(std::string(l.rows[0].folder), dir.path + "/" + m.id);
  char folder[LIBRARY_PATH_MAX + 1];
  ASSERT_TRUE(library_folder_for(&l, m.id, folder, sizeof folder));
  EXPECT_EQ(std::string(folder), dir.path + "/" + m.id);
  meta_free(&m);

  // A full list that can't grow leaves the new card out.
  library_set_folder(&l, dir.path.c_str());
  meta_new(&m, 48000);
  mark = log_console_count();
  library_debug_fail_allocations(0);
  library_upsert(&l, &m, nullptr);
  library_debug_fail_allocations(-1);
  EXPECT_TRUE(log_has(mark, "library: out of memory growing the list to 64 rows"));
  EXPECT_EQ(l.count, 0);
  library_upsert(&l, &m, nullptr);
  EXPECT_EQ(l.count, 1);
  EXPECT_EQ(l.capacity, 64);
  meta_free(&m);
  library_free(&l);
}

// The scan on its own thread while the UI thread keeps working on the list (run under TSan).
TEST(LibraryMerge, ThreadedScanWhileTheUserWorks) {
  TmpDir dir("library");
  const std::string lib = dir.path;
  std::vector<std::string> ids;
  for (int i = 0; i < 40; i++) ids.push_back(make_sketch(lib, Recipe().at((double)i).frames(50)));
  Library l;
  library_init(&l, lib.c_str());
  scan_now(&l);
  ASSERT_EQ(l.count, 40);
  JobQueue* q = jobs_start();
  ASSERT_NE(q, nullptr);

  Job* scan = library_scan_begin(&l, "", clock_monotonic());
  ASSERT_NE(scan, nullptr);
  std::thread worker([scan] {
    library_scan_job(scan);
    if (scan->result == JOB_PENDING) scan->result = JOB_DONE;
  });
  std::vector<std::string> added;
  for (int i = 0; i < 10; i++) {
    ASSERT_EQ(library_delete(&l, q, ids[(size_t)i].c_str()), 0);
    SketchMeta m{};
    meta_new(&m, 48000);
    m.createdAt = 1000 + i;
    ASSERT_EQ(meta_save_folder((lib + "/" + m.id).c_str(), &m), 0);
    library_upsert(&l, &m, (lib + "/" + m.id).c_str());
    added.push_back(m.id);
    meta_free(&m);
  }
  worker.join();
  std::vector<Job*> done = finish(q, &l);
  free_jobs(done);
  library_on_job(&l, scan);
  job_free(scan);

  EXPECT_EQ(l.count, 40);
  for (int i = 0; i < 10; i++) EXPECT_LT(library_find(&l, ids[(size_t)i].c_str()), 0);
  for (const std::string& id : added) {
    int n = 0;
    for (int32_t r = 0; r < l.count; r++) n += library_same_text(l.rows[r].id, id.c_str());
    EXPECT_EQ(n, 1) << id;
  }
  EXPECT_STREQ(l.rows[0].id, added.back().c_str());
  jobs_stop(q);
  library_free(&l);
}
