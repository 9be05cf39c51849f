// What a library scan lists and how (cards, damaged copies, legacy read-only folders), what it
// migrates and never rewrites, and when a refresh posts one.
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
#include "support/unprivileged.h"

using namespace library_test;

namespace {

std::vector<std::string> folder_names(const Library& lib) {
  std::vector<std::string> out;
  for (int32_t i = 0; i < lib.count; i++) {
    const char* f = lib.rows[i].folder;
    const char* slash = strrchr(f, '/');
    out.push_back(slash ? slash + 1 : f);
  }
  return out;
}

}  // namespace

// ---- what a scan lists ----

TEST(LibraryScan, ListsDamagedCopiesAndLegacyReadOnlyAndSkipsTheRest) {
  TmpDir dir("library");
  const std::string lib = dir.path;
  const std::string plain =
      make_sketch(lib, Recipe().at(500).name("plain").frames(200).layers({{0.2f, 1.0f}}));
  // An unreadable meta.json, in a folder named by no id and in one named by an id.
  fsys_make_folders((lib + "/broken").c_str());
  tmpdir_write(lib + "/broken/meta.json", "{not json");
  write_tape_file(lib + "/broken/tape.f32", 2);
  const std::string brokenId = "0f0e0d0c-0b0a-4908-8706-050403020100";
  fsys_make_folders((lib + "/" + brokenId).c_str());
  tmpdir_write(lib + "/" + brokenId + "/meta.json", "");
  // Never listed: exports folders (any case) and folders without meta.json.
  make_sketch(lib, Recipe().folder("exports").at(900));
  make_sketch(lib, Recipe().folder("Exports").at(900));
  fsys_make_folders((lib + "/no-meta").c_str());
  write_tape_file(lib + "/no-meta/tape.f32", 10);
  // The phone's old format: a "layers" list and no tape.f32.
  const std::string legacyId = "11111111-2222-4333-8444-555555555555";
  fsys_make_folders((lib + "/" + legacyId).c_str());
  const std::string legacyText = "{\"id\":\"" + legacyId +
                                 "\",\"createdAt\":300,\"sampleRate\":44100,\"lengthSamples\":"
                                 "4410,\"channels\":1,\"layers\":[{\"samples\":[0.1,0.2]}]}";
  tmpdir_write(lib + "/" + legacyId + "/meta.json", legacyText);
  // A copy of a sketch's folder next to the original: same id, same date.
  const std::string orig = make_sketch(lib, Recipe().at(700).name("orig").frames(10));
  fsys_make_folders((lib + "/orig copy").c_str());
  tmpdir_write(lib + "/orig copy/meta.json", read(lib + "/" + orig + "/meta.json"));

  Library l;
  library_init(&l, lib.c_str());
  int64_t mark = log_console_count();
  scan_now(&l);
  EXPECT_EQ(l.count, 6);
  EXPECT_FALSE(l.scanning);
  EXPECT_TRUE(log_has(mark, "library: 6 sketches in " + lib +
                                " (2 damaged, 1 legacy, 1 migrated, 0 stray .tmp removed)"));
  EXPECT_TRUE(log_has(mark, "library: " + lib + "/broken is DAMAGED (not JSON"));
  EXPECT_TRUE(log_has(mark, "- shown read-only, never deleted"));
  // (console lines are cut at 160 bytes)
  EXPECT_TRUE(log_has(
      mark, "library: " + lib + "/orig copy has the same id as " + lib + "/" + orig.substr(0, 8)));

  // The damaged ones carry meta.json's date (now), so they come first.
  std::vector<std::string> names = folder_names(l);
  ASSERT_EQ(names.size(), 6u);
  EXPECT_EQ(names[2], orig);
  EXPECT_EQ(names[3], "orig copy");
  EXPECT_EQ(names[4], plain);
  EXPECT_EQ(names[5], legacyId);

  const LibraryCard* broken = nullptr;
  for (int32_t i = 0; i < l.count; i++)
    if (std::string(l.rows[i].folder) == lib + "/broken") broken = &l.rows[i];
  ASSERT_NE(broken, nullptr);
  Uuid fromPath;
  uuid_from_path((lib + "/broken").c_str(), &fromPath);
  char fromPathId[UUID_TEXT_BYTES];
  uuid_format(&fromPath, fromPathId);
  EXPECT_STREQ(broken->id, fromPathId);
  EXPECT_STREQ(broken->title, "broken");
  EXPECT_TRUE(broken->damaged);
  EXPECT_FALSE(broken->empty);  // it has a tape.f32
  EXPECT_EQ(broken->channels, 2);
  EXPECT_EQ(std::string(broken->message).rfind("couldn't read meta.json: not JSON", 0), 0u);
  EXPECT_GT(broken->created_at, 700000000.0);  // meta.json's write time, seconds since 2001

  const int32_t named = library_find(&l, brokenId.c_str());
  ASSERT_GE(named, 0);
  EXPECT_TRUE(l.rows[named].damaged);
  EXPECT_TRUE(l.rows[named].empty);

  const LibraryCard& copy = l.rows[3];
  Uuid copyPath;
  uuid_from_path(copy.folder, &copyPath);
  char copyId[UUID_TEXT_BYTES];
  uuid_format(&copyPath, copyId);
  EXPECT_STREQ(copy.id, copyId);
  EXPECT_TRUE(copy.damaged);
  EXPECT_STREQ(copy.message, "a copy of another sketch's folder (same id)");
  EXPECT_FALSE(l.rows[2].damaged);
  EXPECT_STREQ(l.rows[2].id, orig.c_str());

  const LibraryCard& legacy = l.rows[5];
  EXPECT_TRUE(legacy.legacy);
  EXPECT_FALSE(legacy.damaged);
  EXPECT_EQ(read(lib + "/" + legacyId + "/meta.json"), legacyText);
  EXPECT_EQ(library_first_openable(&l), 2);
  char folder[LIBRARY_PATH_MAX + 1];
  ASSERT_TRUE(library_openable_at(&l, 1, folder, sizeof folder));
  EXPECT_EQ(std::string(folder), lib + "/" + plain);
  EXPECT_FALSE(library_openable_at(&l, 2, folder, sizeof folder));

  // Damaged meta.json files are never rewritten.
  EXPECT_EQ(read(lib + "/broken/meta.json"), "{not json");
  library_free(&l);
}

TEST(LibraryScan, MissingFolderGivesNoCardsAndCancelStops) {
  TmpDir dir("library");
  Library l;
  library_init(&l, (dir.path + "/nowhere").c_str());
  scan_now(&l);
  EXPECT_EQ(l.count, 0);

  library_set_folder(&l, dir.path.c_str());
  make_sketch(dir.path, Recipe().frames(10));
  Job* job = library_scan_begin(&l, "", 1.0);
  ASSERT_NE(job, nullptr);
  job->progress.cancel.store(true);
  library_scan_job(job);
  EXPECT_EQ(job->result, JOB_CANCELLED);
  EXPECT_EQ(job->cards, nullptr);
  library_on_job(&l, job);
  EXPECT_FALSE(l.scanning);
  EXPECT_EQ(l.count, 0);
  job_free(job);
  library_free(&l);
}

TEST(LibraryScan, LabelsEachFolderAndCountsMetaBytes) {
  TmpDir dir("library");
  const std::string lib = dir.path;
  const std::string first = make_sketch(lib, Recipe().at(10).frames(10));
  make_sketch(lib, Recipe().folder("EXPORTS").at(20));
  fsys_make_folders((lib + "/no-meta").c_str());
  // Sizes as listed: the scan's migration grows the files afterwards.
  const int64_t size = file_size((lib + "/" + first + "/meta.json").c_str());
  Library l;
  library_init(&l, lib.c_str());
  int64_t mark = log_console_count();
  Job* job = library_scan_begin(&l, "", 1.0);
  ASSERT_NE(job, nullptr);
  library_scan_job(job);
  EXPECT_STREQ(job->label, "LOADING 1 / 1");
  EXPECT_EQ(job->progress.total.load(), size);
  EXPECT_EQ(job->progress.done.load(), size);
  EXPECT_TRUE(log_has(mark, "library: 1 sketch in " + lib + " (0 damaged,"));
  job->result = JOB_DONE;
  library_on_job(&l, job);
  job_free(job);

  const std::string second = make_sketch(lib, Recipe().at(30).frames(10));
  const int64_t both = file_size((lib + "/" + first + "/meta.json").c_str()) +
                       file_size((lib + "/" + second + "/meta.json").c_str());
  job = library_scan_begin(&l, "", 2.0);
  ASSERT_NE(job, nullptr);
  library_scan_job(job);
  EXPECT_STREQ(job->label, "LOADING 2 / 2");
  EXPECT_EQ(job->progress.done.load(), both);
  EXPECT_EQ(job->card_count, 2);
  job_free(job);
  library_free(&l);

  // A folder that doesn't fit is no library at all, never a cut one that names another folder.
  const std::string tooLong = lib + "/" + std::string(LIBRARY_PATH_MAX, 'k');
  library_init(&l, tooLong.c_str());
  EXPECT_STREQ(l.folder, "");
  library_init(&l, lib.c_str());
  library_set_folder(&l, tooLong.c_str());
  EXPECT_STREQ(l.folder, "");
  EXPECT_EQ(library_scan_begin(&l, "", 3.0), nullptr);
  library_free(&l);
}

TEST(LibraryScan, AFolderThatCantBeListedKeepsTheList) {
  std::string top = unprivileged_tmpdir("library");
  ASSERT_FALSE(top.empty());
  int r = run_unprivileged([&]() {
    std::string folder = top + "/kelp";
    mkdir(folder.c_str(), 0755);
    make_sketch(folder, Recipe().frames(10));
    make_sketch(folder, Recipe().frames(20));
    Library l;
    library_init(&l, folder.c_str());
    scan_now(&l);
    if (l.count != 2) return 10;
    chmod(folder.c_str(), 0300);  // can enter, can't list
    int64_t mark = log_console_count();
    Job* job = library_scan_begin(&l, "", 2.0);
    if (!job) return 11;
    library_scan_job(job);
    int result = job->result;
    library_on_job(&l, job);
    job_free(job);
    chmod(folder.c_str(), 0755);
    if (result != JOB_FAILED) return 12;
    if (l.count != 2 || l.scanning) return 13;
    if (!log_has(mark, "library: can't list " + folder + " - keeping the list as it is")) return 14;
    library_free(&l);
    return 0;
  });
  tmpdir_remove(top);
  if (r == -2) GTEST_SKIP() << "can't run as an ordinary user here";
  EXPECT_EQ(r, 0);
}

// ---- migration ----

TEST(LibraryScan, MigratesWhatItShouldAndNothingElse) {
  TmpDir dir("library");
  const std::string lib = dir.path;
  // Old strokes (no peak, loudest 0.5) are brought to full scale.
  const std::string strokes =
      make_sketch(lib, Recipe().at(10).frames(100).layers({{0.25f, 0.5f}}).peaks(false));
  // No layers and no waveform: the waveform comes from tape.f32.
  const std::string wave = make_sketch(lib, Recipe().at(20).frames(960));
  tmpdir_write(lib + "/" + wave + "/meta.json.tmp", "stray");
  // Read with repairs: listed, never rewritten.
  const std::string repaired =
      make_sketch(lib, Recipe().at(30).frames(100).layers({{0.5f}}).peaks(false));
  {
    std::string text = read(lib + "/" + repaired + "/meta.json");
    size_t at = text.find("\"space\":\"dry\"");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 13, "\"space\":\"cathedral\"");
    tmpdir_write(lib + "/" + repaired + "/meta.json", text);
  }
  // The open sketch: not cleaned, not migrated.
  const std::string open =
      make_sketch(lib, Recipe().at(40).frames(100).layers({{0.5f}}).peaks(false));
  tmpdir_write(lib + "/" + open + "/tape.f32.tmp", "being written");
  // Only a length taken from tape.f32: that alone is no migration.
  const std::string dirty = make_sketch(lib, Recipe().at(50).frames(100));
  write_tape_file(lib + "/" + dirty + "/tape.f32", 150);
  {
    // Give it a waveform so that only the length differs.
    std::string text = read(lib + "/" + dirty + "/meta.json");
    size_t at = text.find("\"waveform\":[]");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 13, "\"waveform\":[0.5,1]");
    tmpdir_write(lib + "/" + dirty + "/meta.json", text);
  }

  const std::string before[] = {
      read(lib + "/" + strokes + "/meta.json"), read(lib + "/" + wave + "/meta.json"),
      read(lib + "/" + repaired + "/meta.json"), read(lib + "/" + open + "/meta.json"),
      read(lib + "/" + dirty + "/meta.json")};
  Library l;
  library_init(&l, lib.c_str());
  int64_t mark = log_console_count();
  scan_now(&l, open.c_str());
  ASSERT_EQ(l.count, 5);
  EXPECT_TRUE(log_has(mark, "(0 damaged, 0 legacy, 2 migrated, 1 stray .tmp removed)"));
  EXPECT_TRUE(log_has(mark, repaired + " read with gaps (space \"cathedral\" is unknown - dry)"));

  EXPECT_NE(read(lib + "/" + strokes + "/meta.json"), before[0]);
  EXPECT_NE(read(lib + "/" + wave + "/meta.json"), before[1]);
  EXPECT_EQ(read(lib + "/" + repaired + "/meta.json"), before[2]);
  EXPECT_EQ(read(lib + "/" + open + "/meta.json"), before[3]);
  EXPECT_EQ(read(lib + "/" + dirty + "/meta.json"), before[4]);
  EXPECT_FALSE(path_exists((lib + "/" + wave + "/meta.json.tmp").c_str()));
  EXPECT_TRUE(path_exists((lib + "/" + open + "/tape.f32.tmp").c_str()));

  // What the migrations wrote reads back as expected.
  SketchMeta m{};
  bool d = false;
  char msg[256];
  ASSERT_EQ(meta_load_folder((lib + "/" + strokes).c_str(), &m, &d, msg, sizeof msg), META_OK);
  ASSERT_EQ(m.layerCount, 1);
  EXPECT_FLOAT_EQ(m.layers[0]->strokes[0], 0.5f);
  EXPECT_FLOAT_EQ(m.layers[0]->strokes[1], 1.0f);
  meta_free(&m);
  ASSERT_EQ(meta_load_folder((lib + "/" + wave).c_str(), &m, &d, msg, sizeof msg), META_OK);
  EXPECT_EQ(m.waveformCount, 96);
  float top = 0;
  for (int i = 0; i < m.waveformCount; i++) top = std::max(top, m.waveform[i]);
  EXPECT_FLOAT_EQ(top, 1.0f);
  meta_free(&m);

  // The cards show what was read: the dirty sketch's length from its tape.f32.
  const LibraryCard& dirtyCard = l.rows[library_find(&l, dirty.c_str())];
  EXPECT_EQ(dirtyCard.length_samples, 150);
  const LibraryCard& waveCard = l.rows[library_find(&l, wave.c_str())];
  EXPECT_EQ(waveCard.waveform_count, 96);

  // A second scan finds nothing left to migrate.
  mark = log_console_count();
  scan_now(&l, open.c_str());
  EXPECT_TRUE(log_has(mark, "(0 damaged, 0 legacy, 0 migrated, 0 stray .tmp removed)"));
  library_free(&l);
}

// Folders the reader refuses or repairs: a meta.json too large to read, a rate no recording has,
// a zero character in the name. None is ever rewritten, by the scan or by opening it.
TEST(LibraryScan, RefusedAndRepairedFoldersAreNeverRewritten) {
  TmpDir dir("library");
  const std::string lib = dir.path;
  auto edit = [&](const std::string& id, const std::string& from, const std::string& to) {
    std::string text = read(lib + "/" + id + "/meta.json");
    size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    tmpdir_write(lib + "/" + id + "/meta.json", text);
  };
  // Every one would otherwise be migrated: legacy strokes without a peak.
  auto recipe = [](double at) { return Recipe().at(at).frames(100).layers({{0.5f}}).peaks(false); };
  const std::string huge = make_sketch(lib, recipe(10));
  ASSERT_EQ(truncate((lib + "/" + huge + "/meta.json").c_str(), ((int64_t)1 << 30) + 7), 0);
  const std::string slow = make_sketch(lib, recipe(20));
  edit(slow, "\"sampleRate\":48000", "\"sampleRate\":1");
  const std::string zero = make_sketch(lib, recipe(30).name("zero"));
  edit(zero, "\"name\":\"zero\"", "\"name\":\"ab\\u0000cd\"");

  struct Case {
    const std::string& id;
    bool damaged;
    const char* message;  // the start of the card's message
    const char* name;
  } cases[] = {
      {huge, true, "couldn't read meta.json: meta.json is too large", ""},
      {slow, true, "couldn't read meta.json: sampleRate 1 Hz is outside 1000..768000", ""},
      {zero, false, "", "ab\uFFFDcd"},
  };
  // What a file holds; the sparse gigabyte by its size, which reading whole would take seconds.
  auto snapshot = [&](const std::string& id) {
    const std::string path = lib + "/" + id + "/meta.json";
    const int64_t size = file_size(path.c_str());
    return size > (1 << 20) ? "bytes: " + std::to_string(size) : read(path);
  };
  std::vector<std::string> before;
  for (const Case& c : cases) before.push_back(snapshot(c.id));

  Library l;
  library_init(&l, lib.c_str());
  int64_t mark = log_console_count();
  const double t0 = clock_monotonic();
  scan_now(&l);
  EXPECT_LT(clock_monotonic() - t0, 2.0);
  EXPECT_TRUE(log_has(mark, "(2 damaged, 0 legacy, 0 migrated, 0 stray .tmp removed)"));
  ASSERT_EQ(l.count, 3);
  for (size_t i = 0; i < 3; i++) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.message);
    const int32_t at = library_find(&l, c.id.c_str());
    ASSERT_GE(at, 0);
    const LibraryCard& card = l.rows[at];
    EXPECT_EQ((bool)card.damaged, c.damaged);
    EXPECT_EQ(std::string(card.message).rfind(c.message, 0), 0u) << card.message;
    EXPECT_STREQ(card.name, c.name);

    // Opening it: refused when damaged, and the file stays as it was either way.
    Job* job = job_new(JOB_LOAD_META);
    job_copy_text(job->folder, sizeof job->folder, card.folder);
    job_run(job);
    EXPECT_EQ(job->result, c.damaged ? JOB_FAILED : JOB_DONE) << job->message;
    job_free(job);
    EXPECT_EQ(snapshot(c.id), before[i]);
  }
  EXPECT_EQ(file_size((lib + "/" + huge + "/meta.json").c_str()), ((int64_t)1 << 30) + 7);
  library_free(&l);
}

TEST(LibraryRefresh, PostsOnceAndWaitsTwoSeconds) {
  TmpDir dir("library");
  make_sketch(dir.path, Recipe().frames(10));
  JobQueue* q = jobs_start();
  ASSERT_NE(q, nullptr);
  Library l;
  library_init(&l, "");
  EXPECT_EQ(library_refresh(&l, q, ""), 1);  // no folder yet
  library_set_folder(&l, dir.path.c_str());
  const double now = clock_monotonic();
  EXPECT_EQ(library_refresh_soon(&l, q, "", now), 0);
  EXPECT_TRUE(l.scanning);
  EXPECT_EQ(library_refresh_soon(&l, q, "", now + 10), 1);
  std::vector<Job*> done = finish(q, &l);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0]->kind, JOB_SCAN_LIBRARY);
  free_jobs(done);
  EXPECT_FALSE(l.scanning);
  EXPECT_EQ(library_refresh_soon(&l, q, "", clock_monotonic() + 1.0), 1);
  EXPECT_EQ(library_refresh_soon(&l, q, "", clock_monotonic() + 2.5), 0);
  done = finish(q, &l);
  free_jobs(done);

  // A scan the queue drops leaves the library free to ask again.
  jobs_stop_begin(q);
  EXPECT_EQ(library_refresh(&l, q, ""), -1);
  EXPECT_FALSE(l.scanning);
  jobs_stop(q);
  library_free(&l);
}
