// The library on real folders: which folders become cards and how, what a scan migrates, the
// order, the merge that keeps what happened while a scan ran, the operations and their jobs, and
// the preview through a real core.
#include "store/library.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/core.h"
#include "core/tape.h"
#include "store/filenames.h"
#include "store/files.h"
#include "store/import.h"
#include "store/jobs.h"
#include "base/log.h"
#include "store/meta.h"
#include "store/uuid.h"
#include "store/wav.h"
#include "support/tmpdir.h"
#include "support/log_capture.h"
#include "support/unprivileged.h"

namespace {

bool log_has(int64_t mark, const std::string& needle) {
  char line[LOG_FULL_LINE_BYTES + 8];
  for (int64_t i = mark; i < log_console_count(); i++)
    if (log_line_full(i, line, sizeof line) && strstr(line, needle.c_str())) return true;
  return false;
}

// What make_sketch puts in a folder, set by chained calls.
struct Recipe {
  std::string folder_;  // empty: named by the new id
  double createdAt_ = 1000.0;
  std::string name_;
  int64_t frames_ = 0;  // stereo frames written to tape.f32
  std::vector<std::vector<float>> layers_;
  bool peaks_ = true;  // layers carry their peak (no legacy stroke upgrade)
  bool sidecar_ = false;
  Recipe& folder(const std::string& v) {
    folder_ = v;
    return *this;
  }
  Recipe& at(double v) {
    createdAt_ = v;
    return *this;
  }
  Recipe& name(const std::string& v) {
    name_ = v;
    return *this;
  }
  Recipe& frames(int64_t v) {
    frames_ = v;
    return *this;
  }
  Recipe& layers(const std::vector<std::vector<float>>& v) {
    layers_ = v;
    return *this;
  }
  Recipe& peaks(bool v) {
    peaks_ = v;
    return *this;
  }
  Recipe& sidecar(bool v) {
    sidecar_ = v;
    return *this;
  }
};

Tape* make_tape(int64_t frames, float value) {
  Tape* t = tape_new(48000.0, 0, 0);
  tape_ensure(t, frames > 0 ? frames - 1 : 0);
  std::vector<float> buf((size_t)frames * 2);
  for (int64_t i = 0; i < frames; i++) {
    buf[(size_t)i * 2] = value;
    buf[(size_t)i * 2 + 1] = -value;
  }
  if (frames > 0) tape_write(t, 0, buf.data(), frames);
  return t;
}

void write_tape_file(const std::string& path, int64_t frames) {
  std::string bytes((size_t)frames * 8, '\0');
  for (int64_t i = 0; i < frames; i++) {
    float l = 0.25f * (float)((i % 7) + 1) / 7.0f, r = -l;
    memcpy(&bytes[(size_t)i * 8], &l, 4);
    memcpy(&bytes[(size_t)i * 8 + 4], &r, 4);
  }
  tmpdir_write(path, bytes);
}

// A sketch folder in lib; returns its id.
std::string make_sketch(const std::string& lib, const Recipe& recipe) {
  SketchMeta m{};
  meta_new(&m, 48000.0);
  m.createdAt = recipe.createdAt_;
  snprintf(m.name, sizeof m.name, "%s", recipe.name_.c_str());
  m.lengthSamples = recipe.frames_;
  for (const auto& strokes : recipe.layers_) {
    LayerTemplate t{};
    t.startSample = 0;
    t.lengthSamples = recipe.frames_ > 0 ? recipe.frames_ : 1000;
    t.sampleRate = 48000.0;
    t.createdAt = recipe.createdAt_;
    Layer* l = layer_new(&t, (int32_t)strokes.size());
    for (size_t i = 0; i < strokes.size(); i++) l->strokes[i] = strokes[i];
    l->hasPeak = recipe.peaks_;
    l->peak = 0.5f;
    meta_add_layer(&m, l);
  }
  std::string id = m.id;
  std::string folder = lib + "/" + (recipe.folder_.empty() ? id : recipe.folder_);
  EXPECT_EQ(meta_save_folder(folder.c_str(), &m), 0);
  if (recipe.frames_ > 0) write_tape_file(folder + "/tape.f32", recipe.frames_);
  if (recipe.sidecar_) {
    char title[256], wav[96];
    meta_title(&m, title, sizeof title);
    sidecar_wav_name(title, wav, sizeof wav);
    Tape* t = make_tape(recipe.frames_, 0.25f);
    EXPECT_EQ(wav_write((folder + "/" + wav).c_str(), t, 0, recipe.frames_, 1.0f, nullptr), 0);
    tape_free(t);
  }
  meta_free(&m);
  return id;
}

// Runs a scan job on this thread and merges it.
void scan_now(Library* lib, const char* openId = "") {
  Job* job = library_scan_begin(lib, openId, clock_monotonic());
  ASSERT_NE(job, nullptr);
  library_scan_job(job);
  if (job->result == JOB_PENDING) job->result = JOB_DONE;
  EXPECT_TRUE(library_on_job(lib, nullptr, job));
  job_free(job);
}

// Waits for the queue and hands every finished job to the library; the jobs come back for
// inspection (free them with free_jobs).
std::vector<Job*> finish(JobQueue* q, Library* lib, Core* core = nullptr) {
  EXPECT_TRUE(jobs_wait_idle(q, JOB_WORKER_ANY, 10000));
  std::vector<Job*> out;
  while (Job* j = jobs_take_done(q)) {
    library_on_job(lib, core, j);
    out.push_back(j);
  }
  return out;
}

void free_jobs(std::vector<Job*>& jobs) {
  for (Job* j : jobs) job_free(j);
  jobs.clear();
}

std::vector<std::string> folder_names(const Library& lib) {
  std::vector<std::string> out;
  for (int32_t i = 0; i < lib.count; i++) {
    const char* f = lib.rows[i].folder;
    const char* slash = strrchr(f, '/');
    out.push_back(slash ? slash + 1 : f);
  }
  return out;
}

std::string read(const std::string& path) {
  return tmpdir_read(path);
}

}  // namespace

// ---- what a scan lists ----

TEST(LibraryScan, ListsDamagedCopiesAndLegacyReadOnlyAndSkipsTheRest) {
  TmpDir dir("library");
  const std::string lib = dir.path;
  const std::string plain =
      make_sketch(lib, Recipe().at(500).name("plain").frames(200).layers({{0.2f, 1.0f}}));
  // An unreadable meta.json, in a folder named by no id and in one named by an id.
  make_dirs((lib + "/broken").c_str());
  tmpdir_write(lib + "/broken/meta.json", "{not json");
  write_tape_file(lib + "/broken/tape.f32", 2);
  const std::string brokenId = "0f0e0d0c-0b0a-4908-8706-050403020100";
  make_dirs((lib + "/" + brokenId).c_str());
  tmpdir_write(lib + "/" + brokenId + "/meta.json", "");
  // Never listed: exports folders (any case) and folders without meta.json.
  make_sketch(lib, Recipe().folder("exports").at(900));
  make_sketch(lib, Recipe().folder("Exports").at(900));
  make_dirs((lib + "/no-meta").c_str());
  write_tape_file(lib + "/no-meta/tape.f32", 10);
  // The phone's old format: a "layers" list and no tape.f32.
  const std::string legacyId = "11111111-2222-4333-8444-555555555555";
  make_dirs((lib + "/" + legacyId).c_str());
  const std::string legacyText = "{\"id\":\"" + legacyId +
                                 "\",\"createdAt\":300,\"sampleRate\":44100,\"lengthSamples\":"
                                 "4410,\"channels\":1,\"layers\":[{\"samples\":[0.1,0.2]}]}";
  tmpdir_write(lib + "/" + legacyId + "/meta.json", legacyText);
  // A copy of a sketch's folder next to the original: same id, same date.
  const std::string orig = make_sketch(lib, Recipe().at(700).name("orig").frames(10));
  make_dirs((lib + "/orig copy").c_str());
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
  EXPECT_GT(broken->createdAt, 700000000.0);  // meta.json's write time, seconds since 2001

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
  library_on_job(&l, nullptr, job);
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
  make_dirs((lib + "/no-meta").c_str());
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
  library_on_job(&l, nullptr, job);
  job_free(job);

  const std::string second = make_sketch(lib, Recipe().at(30).frames(10));
  const int64_t both = file_size((lib + "/" + first + "/meta.json").c_str()) +
                       file_size((lib + "/" + second + "/meta.json").c_str());
  job = library_scan_begin(&l, "", 2.0);
  ASSERT_NE(job, nullptr);
  library_scan_job(job);
  EXPECT_STREQ(job->label, "LOADING 2 / 2");
  EXPECT_EQ(job->progress.done.load(), both);
  EXPECT_EQ(job->cardCount, 2);
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
    library_on_job(&l, nullptr, job);
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
  EXPECT_EQ(dirtyCard.lengthSamples, 150);
  const LibraryCard& waveCard = l.rows[library_find(&l, wave.c_str())];
  EXPECT_EQ(waveCard.waveformCount, 96);

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

// ---- order and cards ----

TEST(LibrarySort, NewestFirstThenTheFolderNamedByItsIdThenByFolder) {
  auto card = [](double at, const char* folder, const char* id) {
    LibraryCard c{};
    c.createdAt = at;
    snprintf(c.folder, sizeof c.folder, "/lib/%s", folder);
    snprintf(c.id, sizeof c.id, "%s", id);
    uuid_parse(id, &c.uuid);
    return c;
  };
  const char* a = "aaaaaaaa-0000-4000-8000-000000000001";
  const char* b = "bbbbbbbb-0000-4000-8000-000000000002";
  const char* c = "cccccccc-0000-4000-8000-000000000003";
  const char* d = "dddddddd-0000-4000-8000-000000000004";
  const char* e = "eeeeeeee-0000-4000-8000-000000000005";
  LibraryCard cards[] = {
      card(5, "zeta", b),
      card(NAN, "nan", c),
      card(5, "Alpha", d),
      card(9, "newest", e),
      card(5, "AAAAAAAA-0000-4000-8000-000000000001", a),  // named by its id, upper case
      card(5, "beta copy", a),
  };
  int64_t mark = log_console_count();
  library_sort(cards, 6);
  std::vector<std::string> got;
  for (const LibraryCard& x : cards) got.push_back(strrchr(x.folder, '/') + 1);
  EXPECT_EQ(got, (std::vector<std::string>{"newest", "AAAAAAAA-0000-4000-8000-000000000001",
                                           "Alpha", "beta copy", "zeta", "nan"}));
  EXPECT_FALSE(cards[1].damaged);
  EXPECT_TRUE(cards[3].damaged);
  EXPECT_STRNE(cards[3].id, a);
  EXPECT_TRUE(log_has(mark,
                      "library: /lib/beta copy has the same id as "
                      "/lib/AAAAAAAA-0000-4000-8000-000000000001"));
}

TEST(LibraryCard, ThumbsAreThinnedAndTextsCutWhole) {
  SketchMeta m{};
  meta_new(&m, 48000);
  m.lengthSamples = 48000;
  for (int32_t n : {1000, 80, 81, 0}) {
    LayerTemplate t{};
    t.startSample = n;
    t.lengthSamples = 1000;
    t.sampleRate = 48000;
    t.hasExplicitY = n == 80;
    t.explicitY = 0.25;
    Layer* l = layer_new(&t, n);
    for (int32_t i = 0; i < n; i++) l->strokes[i] = (float)i / 1000.0f;
    meta_add_layer(&m, l);
  }
  meta_refresh_waveform(&m);
  LibraryCard card;
  ASSERT_EQ(library_card_from_meta(&card, &m, "/lib/x"), 0);
  ASSERT_EQ(card.thumbCount, 4);
  EXPECT_EQ(card.thumbs[0].strokeCount, 77);  // step 13
  EXPECT_FLOAT_EQ(card.thumbs[0].strokes[76], 988.0f / 1000.0f);
  EXPECT_EQ(card.thumbs[1].strokeCount, 80);
  EXPECT_TRUE(card.thumbs[1].hasExplicitY);
  EXPECT_EQ(card.thumbs[2].strokeCount, 41);  // step 2
  EXPECT_FLOAT_EQ(card.thumbs[2].strokes[40], 80.0f / 1000.0f);
  EXPECT_EQ(card.thumbs[3].strokeCount, 0);
  EXPECT_EQ(card.waveformCount, 96);
  EXPECT_DOUBLE_EQ(card.duration, 1.0);
  EXPECT_FALSE(card.empty);
  EXPECT_STREQ(card.id, m.id);
  library_card_free(&card);

  // Out of memory: the card stands without its drawing.
  library_debug_fail_allocations(0);
  EXPECT_EQ(library_card_from_meta(&card, &m, "/lib/x"), -1);
  library_debug_fail_allocations(-1);
  EXPECT_EQ(card.thumbs, nullptr);
  EXPECT_EQ(card.waveform, nullptr);
  EXPECT_STREQ(card.id, m.id);
  library_card_free(&card);
  meta_free(&m);

  // A reason of three-byte characters is cut to 127 bytes on a character boundary.
  std::string reason = "\xC3\xA9";
  for (int i = 0; i < 60; i++) reason += "\xE2\x82\xAC";
  library_card_damaged(&card, "/lib/Ünïcode", "Ünïcode", reason.c_str(), 0);
  EXPECT_EQ(strlen(card.message), 126u);  // 25 + 2 + 33 x 3: the 34th euro sign didn't fit
  EXPECT_STREQ(card.title, "Ünïcode");
  EXPECT_TRUE(card.empty);
  EXPECT_DOUBLE_EQ(card.createdAt, 0.0);  // no meta.json to date it
  library_card_damaged(&card, "/lib/x", "x", nullptr, 5);
  EXPECT_STREQ(card.message, "couldn't read meta.json: unknown");
}

// ---- merge ----

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
  EXPECT_TRUE(library_on_job(&l, nullptr, imp));
  const std::string imported = imp->resultId;
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
  EXPECT_TRUE(library_on_job(&l, nullptr, scan));
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
  library_on_job(&l, nullptr, stale);
  EXPECT_EQ(l.count, 0);
  EXPECT_TRUE(l.scanning);  // the new folder's scan is still out
  fresh->result = JOB_FAILED;
  library_on_job(&l, nullptr, fresh);
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
  ASSERT_EQ(job->cardCount, 2);
  int64_t mark = log_console_count();
  library_debug_fail_allocations(0);
  library_on_job(&l, nullptr, job);
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
  library_on_job(&l, nullptr, scan);
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

// ---- operations ----

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
  make_dirs((lib + "/notes").c_str());
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
  EXPECT_FALSE(library_on_job(&l, nullptr, done[0]));  // not the library's own
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
  make_dirs((lib + "/broken").c_str());
  tmpdir_write(lib + "/broken/meta.json", "nope");
  Library l;
  library_init(&l, lib.c_str());
  scan_now(&l);
  ASSERT_EQ(l.count, 2);
  JobQueue* q = jobs_start();
  ASSERT_NE(q, nullptr);
  const int32_t i = library_find(&l, id.c_str());
  ASSERT_GE(i, 0);
  EXPECT_STREQ(l.rows[i].sidecarName, "Old.wav");
  const std::string wavBytes = read(lib + "/" + id + "/Old.wav");
  ASSERT_FALSE(wavBytes.empty());

  EXPECT_EQ(library_rename(&l, q, id.c_str(), " \t Old\xC2\xA0"), 0);  // unchanged once trimmed
  EXPECT_TRUE(jobs_idle(q, JOB_WORKER_ANY));
  const uint64_t version = l.version;
  EXPECT_EQ(library_rename(&l, q, id.c_str(), "\xE3\x80\x80New name\r\n "), 0);
  EXPECT_GT(l.version, version);
  EXPECT_STREQ(l.rows[i].name, "New name");
  EXPECT_STREQ(l.rows[i].title, "New name");
  EXPECT_STREQ(l.rows[i].sidecarName, "New_name.wav");
  std::vector<Job*> done = finish(q, &l);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0]->result, JOB_DONE);
  EXPECT_TRUE(library_on_job(&l, nullptr, done[0]) == false);  // already taken
  free_jobs(done);
  EXPECT_FALSE(path_exists((lib + "/" + id + "/Old.wav").c_str()));
  EXPECT_EQ(read(lib + "/" + id + "/New_name.wav"), wavBytes);
  EXPECT_STREQ(l.rows[i].sidecarName, "New_name.wav");
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
  EXPECT_EQ(std::string(done[0]->resultPath), lib + "/exports/a-b-c.wav");
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

TEST(LibrarySketch, BlankMeansNoAudioAnywhere) {
  TmpDir dir("library");
  SketchMeta m{};
  meta_new(&m, 48000);
  EXPECT_TRUE(library_sketch_is_blank(&m, dir.path.c_str()));
  tmpdir_write(dir / "tape.f32", "");
  EXPECT_TRUE(library_sketch_is_blank(&m, dir.path.c_str()));
  write_tape_file(dir / "tape.f32", 1);
  EXPECT_FALSE(library_sketch_is_blank(&m, dir.path.c_str()));
  tmpdir_write(dir / "tape.f32", "");
  m.hasLegacyLayers = true;
  EXPECT_FALSE(library_sketch_is_blank(&m, dir.path.c_str()));
  m.hasLegacyLayers = false;
  m.lengthSamples = 5;
  EXPECT_FALSE(library_sketch_is_blank(&m, dir.path.c_str()));
  meta_free(&m);
}

// ---- preview through a real core ----

namespace {

struct Audio {
  Core* core = core_new();
  float out_l[256], out_r[256];
  Audio() { core_set_running(core, true); }
  ~Audio() { core_free(core); }
  // One 256-frame callback of silence in; the loudest left sample out.
  float run() {
    float in[256] = {};
    core_process(core, in, in, 2, out_l, out_r, 256, 0);
    float top = 0;
    for (float v : out_l) top = std::max(top, std::fabs(v));
    return top;
  }
  bool previewing() {
    CoreStatus s;
    core_read_status(core, &s);
    return s.flags & CORE_STATUS_PREVIEW;
  }
  bool ended() {
    CoreEvent e;
    bool seen = false;
    while (core_pop_event(core, &e)) seen |= e.kind == EV_PREVIEW_ENDED;
    return seen;
  }
};

}  // namespace

TEST(LibraryPreview, PlaysThroughTheCoreAndEnds) {
  TmpDir dir("library");
  const std::string lib = dir.path;
  const std::string a = make_sketch(lib, Recipe().at(20).name("A").frames(4800).sidecar(true));
  const std::string b = make_sketch(lib, Recipe().at(10).name("B").frames(4800).sidecar(true));
  Library l;
  library_init(&l, lib.c_str());
  scan_now(&l);
  JobQueue* q = jobs_start();
  ASSERT_NE(q, nullptr);
  Audio audio;

  library_preview_toggle(&l, audio.core, q, a.c_str(), 48000.0);
  EXPECT_STREQ(l.previewId, a.c_str());
  EXPECT_TRUE(l.previewPending);
  EXPECT_FALSE(library_preview_playing(&l));
  std::vector<Job*> done = finish(q, &l, audio.core);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0]->kind, JOB_LOAD_PREVIEW);
  EXPECT_EQ(done[0]->tapeOut, nullptr);  // handed to the core
  free_jobs(done);
  EXPECT_TRUE(library_preview_playing(&l));
  EXPECT_GT(audio.run(), 0.2f);
  EXPECT_TRUE(audio.previewing());

  // Seek near the end and let it play out.
  EXPECT_TRUE(library_preview_seek(&l, audio.core, 4700));
  bool ended = false;
  for (int k = 0; k < 4 && !ended; k++) {
    audio.run();
    ended = audio.ended();
  }
  ASSERT_TRUE(ended);
  library_preview_ended(&l);
  EXPECT_FALSE(library_preview_playing(&l));
  EXPECT_STREQ(l.previewId, "");
  EXPECT_FALSE(library_preview_seek(&l, audio.core, 0));

  // A second press on the same card stops it; a press on another switches.
  library_preview_toggle(&l, audio.core, q, a.c_str(), 48000.0);
  done = finish(q, &l, audio.core);
  free_jobs(done);
  audio.run();
  EXPECT_TRUE(audio.previewing());
  library_preview_toggle(&l, audio.core, q, a.c_str(), 48000.0);
  EXPECT_STREQ(l.previewId, "");
  EXPECT_TRUE(jobs_idle(q, JOB_WORKER_ANY));
  EXPECT_EQ(audio.run(), 0.0f);
  EXPECT_FALSE(audio.previewing());

  library_preview_toggle(&l, audio.core, q, a.c_str(), 48000.0);
  done = finish(q, &l, audio.core);
  free_jobs(done);
  audio.run();
  library_preview_toggle(&l, audio.core, q, b.c_str(), 48000.0);
  EXPECT_STREQ(l.previewId, b.c_str());
  EXPECT_TRUE(l.previewPending);
  audio.run();
  EXPECT_FALSE(audio.previewing());  // a's tape let go at once
  done = finish(q, &l, audio.core);
  free_jobs(done);
  EXPECT_TRUE(library_preview_playing(&l));
  EXPECT_GT(audio.run(), 0.2f);
  library_preview_stop(&l, audio.core);
  EXPECT_EQ(audio.run(), 0.0f);

  // With the command ring full the stop is logged and the preview plays out by itself.
  library_preview_toggle(&l, audio.core, q, a.c_str(), 48000.0);
  done = finish(q, &l, audio.core);
  free_jobs(done);
  CoreCommand stop{};
  stop.kind = CMD_STOP;
  while (core_push_command(audio.core, &stop)) {
  }
  int64_t mark = log_console_count();
  library_preview_stop(&l, audio.core);
  EXPECT_TRUE(
      log_has(mark, "library: the command ring is full - the preview plays out on its own"));
  EXPECT_STREQ(l.previewId, "");
  jobs_stop(q);
  library_free(&l);
}

TEST(LibraryPreview, StaleLoadsAreDroppedAndReadOnlyCardsFollowTheRules) {
  TmpDir dir("library");
  const std::string lib = dir.path;
  const std::string a = make_sketch(lib, Recipe().at(20).frames(4800).sidecar(true));
  const std::string b = make_sketch(lib, Recipe().at(10).frames(4800).sidecar(true));
  // Damaged: one with any WAV in it plays that; one without has no audio.
  make_dirs((lib + "/damaged-wav").c_str());
  tmpdir_write(lib + "/damaged-wav/meta.json", "{");
  Tape* t = make_tape(960, 0.5f);
  ASSERT_EQ(wav_write((lib + "/damaged-wav/whatever.wav").c_str(), t, 0, 960, 1.0f, nullptr), 0);
  tape_free(t);
  make_dirs((lib + "/damaged-bare").c_str());
  tmpdir_write(lib + "/damaged-bare/meta.json", "{");
  write_tape_file(lib + "/damaged-bare/tape.f32", 100);
  const std::string legacyId = "11111111-2222-4333-8444-555555555555";
  make_dirs((lib + "/" + legacyId).c_str());
  tmpdir_write(lib + "/" + legacyId + "/meta.json",
               "{\"id\":\"" + legacyId + "\",\"layers\":[{\"x\":1}]}");
  Library l;
  library_init(&l, lib.c_str());
  scan_now(&l);
  ASSERT_EQ(l.count, 5);
  JobQueue* q = jobs_start();
  ASSERT_NE(q, nullptr);
  Audio audio;

  // a is asked for, then b before a's tape is back: only b plays.
  jobs_debug_pause(q, true);
  library_preview_toggle(&l, audio.core, q, a.c_str(), 48000.0);
  library_preview_toggle(&l, audio.core, q, b.c_str(), 48000.0);
  jobs_debug_pause(q, false);
  std::vector<Job*> done = finish(q, &l, audio.core);
  ASSERT_EQ(done.size(), 2u);
  EXPECT_NE(done[0]->tapeOut, nullptr);  // a's, dropped with its job
  EXPECT_EQ(done[1]->tapeOut, nullptr);
  free_jobs(done);
  EXPECT_STREQ(l.previewId, b.c_str());
  EXPECT_TRUE(library_preview_playing(&l));
  library_preview_stop(&l, audio.core);

  // A legacy card does nothing.
  library_preview_toggle(&l, audio.core, q, legacyId.c_str(), 48000.0);
  EXPECT_STREQ(l.previewId, "");

  auto id_of = [&](const char* folder) {
    for (int32_t i = 0; i < l.count; i++)
      if (std::string(l.rows[i].folder) == lib + "/" + folder) return std::string(l.rows[i].id);
    return std::string();
  };
  library_preview_toggle(&l, audio.core, q, id_of("damaged-wav").c_str(), 48000.0);
  done = finish(q, &l, audio.core);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0]->result, JOB_DONE);
  EXPECT_STREQ(done[0]->name, "");
  free_jobs(done);
  EXPECT_TRUE(library_preview_playing(&l));
  EXPECT_GT(audio.run(), 0.3f);

  library_preview_toggle(&l, audio.core, q, id_of("damaged-bare").c_str(), 48000.0);
  done = finish(q, &l, audio.core);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_EQ(done[0]->result, JOB_FAILED);
  EXPECT_STREQ(done[0]->message, "NO AUDIO");
  free_jobs(done);
  EXPECT_STREQ(l.previewId, "");
  EXPECT_FALSE(l.previewPending);

  // Without a core nothing plays and nothing leaks.
  library_preview_toggle(&l, nullptr, q, a.c_str(), 48000.0);
  done = finish(q, &l, nullptr);
  free_jobs(done);
  EXPECT_STREQ(l.previewId, "");
  jobs_stop(q);
  library_free(&l);
}
