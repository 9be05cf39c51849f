// The library's operations and their jobs: delete, rename, export and import.
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

TEST(LibraryOps, DeleteRemovesSketchesAndRefusesOtherFolders) {
  TmpDir dir("library");
  const std::string lib = dir.path;
  const std::string sketch = make_sketch(lib, Recipe().frames(10));
  Library l;
  library_init(&l, lib.c_str());
  scan_now(&l);
  JobQueue* q = jobs_start();
  ASSERT_NE(q, nullptr);

  // A row whose folder is no sketch (no meta.json): its files stay.
  fsys_make_folders((lib + "/notes").c_str());
  tmpdir_write(lib + "/notes/precious.txt", "keep me");
  SketchMeta m{};
  meta_new(&m, 48000);
  library_upsert(&l, &m, (lib + "/notes").c_str());
  ASSERT_EQ(l.count, 2);
  int64_t mark = log_console_count();
  EXPECT_EQ(library_delete(&l, q, m.id), 0);
  EXPECT_EQ(library_delete(&l, q, sketch.c_str()), 0);
  EXPECT_EQ(library_delete(&l, q, "00000000-0000-4000-8000-000000000000"), -1);
  EXPECT_EQ(l.count, 0);
  std::vector<Job*> done = finish(q, &l);
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[0]->result, JOB_FAILED);
  EXPECT_STREQ(done[0]->message, "NOT A SKETCH FOLDER");
  EXPECT_TRUE(log_has(mark, "jobs: REFUSED to delete " + lib + "/notes"));
  EXPECT_EQ(read(lib + "/notes/precious.txt"), "keep me");
  EXPECT_EQ(done[1]->result, JOB_DONE);
  EXPECT_FALSE(path_exists((lib + "/" + sketch).c_str()));
  free_jobs(done);

  // A delete the session posted (not the library's) still takes the row away.
  const std::string empty = make_sketch(lib, Recipe());
  scan_now(&l);
  ASSERT_EQ(l.count, 1);
  Job* job = job_new(JOB_DELETE_DIR);
  job_copy_text(job->folder, sizeof job->folder, (lib + "/" + empty).c_str());
  ASSERT_NE(jobs_post(q, job), 0u);
  done = finish(q, &l);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_FALSE(library_on_job(&l, done[0]));  // not the library's own
  EXPECT_EQ(l.count, 0);
  free_jobs(done);
  meta_free(&m);
  jobs_stop(q);
  library_free(&l);
}

TEST(LibraryOps, RenameMovesTheSidecarAndRefusesReadOnlyCards) {
  TmpDir dir("library");
  const std::string lib = dir.path;
  const std::string id = make_sketch(lib, Recipe().name("Old").frames(480).sidecar(true));
  fsys_make_folders((lib + "/broken").c_str());
  tmpdir_write(lib + "/broken/meta.json", "nope");
  Library l;
  library_init(&l, lib.c_str());
  scan_now(&l);
  ASSERT_EQ(l.count, 2);
  JobQueue* q = jobs_start();
  ASSERT_NE(q, nullptr);
  const int32_t i = library_find(&l, id.c_str());
  ASSERT_GE(i, 0);
  EXPECT_STREQ(l.rows[i].sidecar_name, "Old.wav");
  const std::string wavBytes = read(lib + "/" + id + "/Old.wav");
  ASSERT_FALSE(wavBytes.empty());

  EXPECT_EQ(library_rename(&l, q, id.c_str(), " \t Old\xC2\xA0"), 0);  // unchanged once trimmed
  EXPECT_TRUE(jobs_idle(q, JOB_WORKER_ANY));
  const uint64_t version = l.version;
  EXPECT_EQ(library_rename(&l, q, id.c_str(), "\xE3\x80\x80New name\r\n "), 0);
  EXPECT_GT(l.version, version);
  EXPECT_STREQ(l.rows[i].name, "New name");
  EXPECT_STREQ(l.rows[i].title, "New name");
  EXPECT_STREQ(l.rows[i].sidecar_name, "New_name.wav");
  std::vector<Job*> done = finish(q, &l);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0]->result, JOB_DONE);
  EXPECT_TRUE(library_on_job(&l, done[0]) == false);  // already taken
  free_jobs(done);
  EXPECT_FALSE(path_exists((lib + "/" + id + "/Old.wav").c_str()));
  EXPECT_EQ(read(lib + "/" + id + "/New_name.wav"), wavBytes);
  EXPECT_STREQ(l.rows[i].sidecar_name, "New_name.wav");
  SketchMeta m{};
  bool d;
  char msg[256];
  ASSERT_EQ(meta_load_folder((lib + "/" + id).c_str(), &m, &d, msg, sizeof msg), META_OK);
  EXPECT_STREQ(m.name, "New name");
  meta_free(&m);

  // A name is cut to 255 bytes without splitting a character.
  std::string longName = "\xC3\xA9";
  for (int k = 0; k < 100; k++) longName += "\xE2\x82\xAC";
  EXPECT_EQ(library_rename(&l, q, id.c_str(), longName.c_str()), 0);
  EXPECT_EQ(strlen(l.rows[i].name), 254u);
  done = finish(q, &l);
  free_jobs(done);

  const int32_t b = library_find(&l, l.rows[1 - i].id);
  EXPECT_EQ(library_rename(&l, q, l.rows[b].id, "x"), -2);
  EXPECT_EQ(library_rename(&l, q, "nope", "x"), -1);
  EXPECT_EQ(read(lib + "/broken/meta.json"), "nope");
  jobs_stop(q);
  library_free(&l);
}

TEST(LibraryOps, ExportCopiesTheSidecarIntoExports) {
  TmpDir dir("library");
  const std::string lib = dir.path;
  const std::string id = make_sketch(lib, Recipe().name("a/b:c").frames(480).sidecar(true));
  const std::string empty = make_sketch(lib, Recipe().at(1));
  Library l;
  library_init(&l, lib.c_str());
  scan_now(&l);
  JobQueue* q = jobs_start();
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(library_export(&l, q, empty.c_str(), (lib + "/exports").c_str()), -2);
  // No exports folder: nothing is written into the working folder.
  EXPECT_EQ(library_export(&l, q, id.c_str(), ""), -1);
  EXPECT_EQ(library_export(&l, q, id.c_str(), nullptr), -1);
  ASSERT_EQ(library_export(&l, q, id.c_str(), (lib + "/exports").c_str()), 0);
  std::vector<Job*> done = finish(q, &l);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0]->result, JOB_DONE);
  EXPECT_EQ(std::string(done[0]->path), lib + "/" + id + "/a_b_c.wav");
  EXPECT_EQ(std::string(done[0]->result_path), lib + "/exports/a-b-c.wav");
  free_jobs(done);
  EXPECT_EQ(read(lib + "/exports/a-b-c.wav"), read(lib + "/" + id + "/a_b_c.wav"));
  // The exports folder never becomes a card.
  scan_now(&l);
  EXPECT_EQ(l.count, 2);
  jobs_stop(q);
  library_free(&l);
}

TEST(LibraryOps, ImportPostsOneLabelledJobPerFileUpTo64) {
  TmpDir dir("library");
  JobQueue* q = jobs_start();
  ASSERT_NE(q, nullptr);
  Library l;
  library_init(&l, "");
  const char* one[] = {"/x/a.wav"};
  EXPECT_EQ(library_import(&l, q, one, 1), -1);  // no library folder
  library_set_folder(&l, dir.path.c_str());

  std::vector<std::string> paths = {"/music/song.final.flac", "", "/music/.hidden",
                                    "/music/" + std::string(60, 'x') + ".mp3"};
  for (int k = 0; k < 70; k++) paths.push_back("/music/t" + std::to_string(k) + ".wav");
  std::vector<const char*> ptrs;
  for (const std::string& p : paths) ptrs.push_back(p.c_str());
  jobs_debug_pause(q, true);
  int64_t mark = log_console_count();
  EXPECT_EQ(library_import(&l, q, ptrs.data(), (int32_t)ptrs.size()), 64);
  EXPECT_TRUE(log_has(mark, "library: import takes 64 files at a time"));
  JobBusyEntry rows[80];
  ASSERT_EQ(jobs_busy_snapshot(q, rows, 80), 64);
  EXPECT_STREQ(rows[0].label, "IMPORTING song.final…");
  EXPECT_STREQ(rows[1].label, "IMPORTING .hidden…");
  EXPECT_EQ(std::string(rows[2].label), "IMPORTING " + std::string(47, 'x') + "…");
  EXPECT_STREQ(rows[63].label, "IMPORTING t60…");
  jobs_debug_pause(q, false);
  std::vector<Job*> done = finish(q, &l);
  EXPECT_EQ(done.size(), 64u);
  for (Job* j : done) {
    EXPECT_EQ(j->kind, JOB_IMPORT_AUDIO);
    EXPECT_STREQ(j->folder, dir.path.c_str());
    EXPECT_NE(j->result, JOB_DONE);  // none of these files exist
  }
  free_jobs(done);
  EXPECT_EQ(l.count, 0);
  jobs_stop(q);
  library_free(&l);
}
