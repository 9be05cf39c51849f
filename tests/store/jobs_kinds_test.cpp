// Every job kind, run for real on real folders.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/analysis.h"
#include "core/tape.h"
#include "store/filenames.h"
#include "store/files.h"
#include "store/jobs.h"
#include "store/jobs_test_util.h"
#include "store/library.h"
#include "store/meta.h"
#include "store/tapefile.h"
#include "store/wav.h"
#include "support/tmpdir.h"

using namespace jobs_test;

namespace {

Job* run(Job* job) {
  job_run(job);
  return job;
}

float ramp(int64_t f, int ch) {
  return ((f % 1000) / 1000.0f) * (ch ? -1.0f : 1.0f);
}

int16_t wav_sample(const std::string& wav, int64_t index) {
  int16_t v = 0;
  memcpy(&v, wav.data() + 44 + index * 2, 2);
  return v;
}

// A saved sketch: meta.json named name at rate, and tape.f32 from tape when given.
void write_sketch(const std::string& folder, const char* name, double rate, const Tape* tape) {
  ASSERT_EQ(fsys_make_folders(folder.c_str()), 0);
  SketchMeta m{};
  meta_new(&m, rate);
  snprintf(m.name, sizeof m.name, "%s", name);
  if (tape) {
    m.lengthSamples = tape_length(tape);
    ASSERT_EQ(tape_save(tape, (folder + "/tape.f32").c_str(), m.lengthSamples, nullptr, nullptr),
              0);
  }
  ASSERT_EQ(meta_save_folder(folder.c_str(), &m), 0);
  meta_free(&m);
}

SketchMeta load(const std::string& folder) {
  SketchMeta m{};
  bool dirty = false;
  char msg[256];
  EXPECT_LE(meta_load_folder(folder.c_str(), &m, &dirty, msg, sizeof msg), META_REPAIRED) << msg;
  return m;
}

// Saves a sketch with one layer at 48 kHz into folder.
void save_one_layer(const std::string& folder, int64_t start, int64_t length, double createdAt,
                    int64_t sketchLength, int32_t strokes) {
  SketchMeta m{};
  meta_new(&m, 48000);
  LayerTemplate t{};
  t.startSample = start;
  t.lengthSamples = length;
  t.sampleRate = 48000;
  t.createdAt = createdAt;
  meta_add_layer(&m, layer_new(&t, strokes));
  m.lengthSamples = sketchLength;
  ASSERT_EQ(meta_save_folder(folder.c_str(), &m), 0);
  meta_free(&m);
}

}  // namespace

TEST(JobKinds, SaveCommitWritesTapeSidecarAndMeta) {
  TmpDir dir("kinds-commit");
  std::string folder = dir / "lib/sketch";  // made on the way
  Tape* tape = make_tape(48000, 3000, ramp);
  Job* j = make_job(JOB_SAVE_COMMIT, folder);
  j->meta = make_meta(44100, "Song");
  job_hold_tape(j, tape);
  j->frames = 3000;
  int64_t mark = log_console_count();
  run(j);
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  EXPECT_EQ(j->frames_out, 3000);
  EXPECT_FLOAT_EQ(j->peak, 0.999f);
  EXPECT_EQ(std::string(j->result_path), folder + "/Song.wav");
  EXPECT_EQ(tmpdir_read(folder + "/tape.f32"), tape_bytes(tape));
  EXPECT_EQ(file_size((folder + "/Song.wav").c_str()), 44 + 3000 * 4);
  EXPECT_TRUE(log_has(mark, "Hz but its tape runs at 48000 Hz - meta.json follows the tape"));
  SketchMeta m = load(folder);
  EXPECT_EQ(m.lengthSamples, 3000);
  EXPECT_EQ(m.channels, 2);
  EXPECT_EQ(m.sampleRate, 48000);
  meta_free(&m);
  job_free(j);
  EXPECT_EQ(tape->refs.load(), 0);

  j = run(make_job(JOB_SAVE_COMMIT, folder));
  EXPECT_STREQ(j->message, "NOTHING TO SAVE");
  job_free(j);
  tape_free(tape);
}

TEST(JobKinds, SaveCommitSurvivesAMissingSidecarButNotAMissingTape) {
  TmpDir dir("kinds-commit-fail");
  Tape* tape = make_tape(48000, 500, ramp);
  // The side-car's place is taken by a folder: the save still lands.
  std::string folder = dir / "a";
  ASSERT_EQ(fsys_make_folders((folder + "/Song.wav/x").c_str()), 0);
  Job* j = make_job(JOB_SAVE_COMMIT, folder);
  j->meta = make_meta(48000, "Song");
  job_hold_tape(j, tape);
  j->frames = 500;
  int64_t mark = log_console_count();
  run(j);
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  EXPECT_STREQ(j->result_path, "");
  EXPECT_TRUE(log_has(mark, "save: the side-car Song.wav didn't write - tape.f32 and meta.json"));
  EXPECT_EQ(file_size((folder + "/tape.f32").c_str()), 4000);
  EXPECT_TRUE(path_exists((folder + "/meta.json").c_str()));
  job_free(j);

  // tape.f32 can't be replaced: the job fails and meta.json is not written.
  folder = dir / "b";
  ASSERT_EQ(fsys_make_folders((folder + "/tape.f32/x").c_str()), 0);
  j = make_job(JOB_SAVE_COMMIT, folder);
  j->meta = make_meta(48000, "Song");
  job_hold_tape(j, tape);
  j->frames = 500;
  mark = log_console_count();
  run(j);
  EXPECT_EQ(j->result, JOB_FAILED);
  EXPECT_STREQ(j->message, "CAN'T WRITE THE TAPE");
  EXPECT_TRUE(log_has(mark, "jobs: SAVE_COMMIT failed - CAN'T WRITE THE TAPE (" + folder));
  EXPECT_FALSE(path_exists((folder + "/meta.json").c_str()));
  EXPECT_FALSE(path_exists((folder + "/tape.f32.tmp").c_str()));
  job_free(j);

  // A file where the folder should be.
  tmpdir_write(dir / "file", "x");
  j = make_job(JOB_SAVE_COMMIT, dir / "file/c");
  j->meta = make_meta(48000, "Song");
  job_hold_tape(j, tape);
  run(j);
  EXPECT_STREQ(j->message, "CAN'T WRITE THE FOLDER");
  job_free(j);
  tape_free(tape);
}

TEST(JobKinds, SaveMetaFollowsAStereoTape) {
  TmpDir dir("kinds-meta");
  SketchMeta* m = make_meta(48000, "Old");
  m->channels = 1;
  m->lengthSamples = 100;
  tmpdir_write(dir / "tape.f32", std::string(800, '\0'));
  Job* j = make_job(JOB_SAVE_META, dir.path);
  j->meta = m;
  int64_t mark = log_console_count();
  run(j);
  EXPECT_EQ(j->result, JOB_DONE);
  EXPECT_TRUE(log_has(mark, "its tape.f32 is stereo now; meta.json says so"));
  SketchMeta back = load(dir.path);
  EXPECT_EQ(back.channels, 2);
  EXPECT_STREQ(back.name, "Old");
  meta_free(&back);
  job_free(j);
  j = run(make_job(JOB_SAVE_META, dir.path));
  EXPECT_STREQ(j->message, "NOTHING TO SAVE");
  job_free(j);
}

TEST(JobKinds, LoadMetaOutcomes) {
  TmpDir dir("kinds-loadmeta");
  std::string good = dir / "good", bad = dir / "bad", none = dir / "none", old = dir / "old";
  write_sketch(good, "Good", 48000, nullptr);
  tmpdir_write(good + "/meta.json.tmp", "{half");
  Job* j = run(make_job(JOB_LOAD_META, good));
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  ASSERT_NE(j->meta_out, nullptr);
  EXPECT_STREQ(j->meta_out->name, "Good");
  EXPECT_FALSE(j->meta_dirty);
  EXPECT_FALSE(path_exists((good + "/meta.json.tmp").c_str()));
  job_free(j);

  fsys_make_folders(bad.c_str());
  tmpdir_write(bad + "/meta.json", "not json");
  int64_t mark = log_console_count();
  j = run(make_job(JOB_LOAD_META, bad));
  EXPECT_STREQ(j->message, "COULDN'T READ - AUDIO IS SAFE");
  EXPECT_EQ(j->meta_out, nullptr);
  EXPECT_TRUE(log_has(mark, "jobs: " + bad + " - not JSON"));
  job_free(j);

  fsys_make_folders(none.c_str());
  j = run(make_job(JOB_LOAD_META, none));
  EXPECT_STREQ(j->message, "NO META.JSON");
  job_free(j);

  // A phone sketch with quiet legacy strokes and a bad space: repaired and renormalised.
  fsys_make_folders(old.c_str());
  tmpdir_write(old + "/meta.json",
               "{\"id\":\"0f5a2c1e-3b4d-4e6f-8a9b-0c1d2e3f4a5b\",\"sampleRate\":48000,"
               "\"channels\":2,\"space\":\"hall\",\"layerSnapshots\":[{\"startSample\":0,"
               "\"lengthSamples\":512,\"sampleRate\":48000,\"createdAt\":1,"
               "\"strokes\":[{\"amplitude\":0.5},{\"amplitude\":0.25}]}]}");
  mark = log_console_count();
  j = run(make_job(JOB_LOAD_META, old));
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  EXPECT_TRUE(log_has(mark, "read with gaps (space"));
  EXPECT_TRUE(j->meta_dirty);
  ASSERT_EQ(j->meta_out->layerCount, 1);
  EXPECT_FLOAT_EQ(j->meta_out->layers[0]->strokes[0], 1.0f);
  EXPECT_FLOAT_EQ(j->meta_out->layers[0]->strokes[1], 0.5f);
  job_free(j);
}

TEST(JobKinds, LoadTapeAtItsOwnRate) {
  TmpDir dir("kinds-tape");
  Tape* src = make_tape(48000, 5000, ramp);
  write_sketch(dir.path, "T", 48000, src);
  Job* j = make_job(JOB_LOAD_TAPE, dir.path);
  j->sample_rate = 48000;
  j->target_rate = 48000;
  j->frames = 5000;
  run(j);
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  ASSERT_NE(j->tape_out, nullptr);
  EXPECT_EQ(tape_bytes(j->tape_out), tape_bytes(src));
  EXPECT_EQ(j->frames_out, 5000);
  EXPECT_FLOAT_EQ(j->peak, 0.999f);
  EXPECT_FALSE(j->resampled);
  EXPECT_EQ(j->rate_ratio, 1.0);
  ASSERT_NE(j->tape_out2, nullptr);
  EXPECT_EQ(j->tape_out2->rate, 48000);
  EXPECT_EQ(tape_length(j->tape_out2), 0);
  EXPECT_NE(j->tape_out2->chunks[0].load(), nullptr);
  job_free(j);
  tape_free(src);
}

TEST(JobKinds, LoadTapeResamplesToTheDeviceRate) {
  TmpDir dir("kinds-resample");
  Tape* src = make_tape(44100, 44100, [](int64_t f, int) { return std::sin(f * 0.05f) * 0.5f; });
  write_sketch(dir.path, "R", 44100, src);
  Job* j = make_job(JOB_LOAD_TAPE, dir.path);
  j->sample_rate = 44100;
  j->target_rate = 48000;
  j->frames = 44100;
  run(j);
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  EXPECT_STREQ(j->label, "RESAMPLING 44.1K → 48K…");
  EXPECT_TRUE(j->resampled);
  EXPECT_DOUBLE_EQ(j->rate_ratio, 48000.0 / 44100.0);
  ASSERT_NE(j->tape_out, nullptr);
  EXPECT_EQ(j->tape_out->rate, 48000);
  EXPECT_EQ(j->frames_out, 48000);
  EXPECT_NEAR(j->peak, 0.5f, 0.02f);
  EXPECT_EQ(j->tape_out2->rate, 48000);
  job_free(j);
  tape_free(src);

  // No tape.f32 at all: an empty tape at the device's rate.
  TmpDir empty("kinds-notape");
  write_sketch(empty.path, "E", 44100, nullptr);
  j = make_job(JOB_LOAD_TAPE, empty.path);
  j->sample_rate = 44100;
  j->target_rate = 48000;
  j->frames = 1000;
  int64_t mark = log_console_count();
  run(j);
  EXPECT_EQ(j->result, JOB_DONE);
  EXPECT_TRUE(log_has(mark, "has no tape.f32 - it opens silent"));
  EXPECT_EQ(j->tape_out->rate, 48000);
  EXPECT_EQ(j->frames_out, 0);
  EXPECT_NE(j->tape_out->chunks[0].load(), nullptr);
  EXPECT_FALSE(j->resampled);
  job_free(j);
}

TEST(JobKinds, LoadTapeUpgradesLegacyMono) {
  TmpDir dir("kinds-mono");
  SketchMeta m{};
  meta_new(&m, 48000);
  snprintf(m.name, sizeof m.name, "Mono");
  m.channels = 1;
  m.lengthSamples = 1000;
  ASSERT_EQ(meta_save_folder(dir.path.c_str(), &m), 0);
  meta_free(&m);
  std::string mono(4000, '\0');
  for (int i = 0; i < 1000; i++) {
    float v = (i - 500) / 1000.0f;
    memcpy(&mono[(size_t)i * 4], &v, 4);
  }
  tmpdir_write(dir / "tape.f32", mono);

  Job* j = make_job(JOB_LOAD_TAPE, dir.path);
  j->sample_rate = 48000;
  j->mono = true;
  j->frames = 1000;
  int64_t mark = log_console_count();
  run(j);
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  EXPECT_TRUE(j->upgraded);
  EXPECT_TRUE(log_has(mark, "upgraded from legacy mono to stereo"));
  std::string stereo = tmpdir_read(dir / "tape.f32");
  ASSERT_EQ(stereo.size(), 8000u);
  for (int i = 0; i < 1000; i += 37) {
    EXPECT_EQ(memcmp(&stereo[(size_t)i * 8], &mono[(size_t)i * 4], 4), 0);
    EXPECT_EQ(memcmp(&stereo[(size_t)i * 8 + 4], &mono[(size_t)i * 4], 4), 0);
  }
  EXPECT_EQ(tape_bytes(j->tape_out), stereo);
  EXPECT_EQ(file_size((dir / "Mono.wav").c_str()), 44 + 4000);
  SketchMeta back = load(dir.path);
  EXPECT_EQ(back.channels, 2);
  EXPECT_EQ(back.lengthSamples, 1000);
  meta_free(&back);
  job_free(j);
}

TEST(JobKinds, ClearFilesDeletesOnlyTheAudio) {
  TmpDir dir("kinds-clear");
  std::string folder = dir / "s";
  write_sketch(folder, "C", 48000, nullptr);
  tmpdir_write(folder + "/tape.f32", "12345678");
  tmpdir_write(folder + "/C.wav", "wav");
  tmpdir_write(dir / "victim", "keep");
  Job* j = make_job(JOB_CLEAR_FILES, folder);
  job_copy_text(j->name, sizeof j->name, "C.wav");
  run(j);
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  EXPECT_FALSE(path_exists((folder + "/tape.f32").c_str()));
  EXPECT_FALSE(path_exists((folder + "/C.wav").c_str()));
  EXPECT_TRUE(path_exists((folder + "/meta.json").c_str()));
  job_free(j);
  j = make_job(JOB_CLEAR_FILES, folder);
  job_copy_text(j->name, sizeof j->name, "../victim");
  run(j);
  EXPECT_STREQ(j->message, "CAN'T DELETE THE AUDIO");
  EXPECT_EQ(tmpdir_read(dir / "victim"), "keep");
  job_free(j);
}

TEST(JobKinds, ExportWavNormalises) {
  TmpDir dir("kinds-export");
  Tape* half = make_tape(48000, 200, [](int64_t, int) { return 0.5f; });
  Job* j = job_new(JOB_EXPORT_WAV);
  job_hold_tape(j, half);
  std::string out = dir / "exports/deep/half.wav";
  job_copy_text(j->path, sizeof j->path, out.c_str());
  j->range_start = -50;
  j->range_end = 1000000;
  j->normalize = true;
  run(j);
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  EXPECT_EQ(j->frames_out, 200);
  EXPECT_FLOAT_EQ(j->peak, 0.5f);
  EXPECT_EQ(std::string(j->result_path), out);
  std::string wav = tmpdir_read(out);
  ASSERT_EQ(wav.size(), 44u + 800u);
  EXPECT_EQ(wav_sample(wav, 0), 29162);  // gain 1.78: 0.89 of full scale
  job_free(j);

  j = job_new(JOB_EXPORT_WAV);
  job_hold_tape(j, half);
  job_copy_text(j->path, sizeof j->path, out.c_str());
  j->range_start = 10;
  j->range_end = 20;
  run(j);  // no normalising: gain 1
  EXPECT_EQ(j->frames_out, 10);
  EXPECT_EQ(wav_sample(tmpdir_read(out), 0), 16383);
  job_free(j);
  j = job_new(JOB_EXPORT_WAV);
  job_hold_tape(j, half);
  job_copy_text(j->path, sizeof j->path, out.c_str());
  j->range_start = 150;
  j->range_end = 150;
  run(j);
  EXPECT_STREQ(j->message, "NOTHING TO EXPORT");
  job_free(j);
  tape_free(half);

  // Below the silence threshold nothing is boosted.
  Tape* quiet = make_tape(48000, 100, [](int64_t, int) { return 0.00005f; });
  j = job_new(JOB_EXPORT_WAV);
  job_hold_tape(j, quiet);
  job_copy_text(j->path, sizeof j->path, (dir / "quiet.wav").c_str());
  j->range_end = 100;
  j->normalize = true;
  run(j);
  EXPECT_EQ(j->result, JOB_DONE);
  EXPECT_EQ(wav_sample(tmpdir_read(dir / "quiet.wav"), 0), 1);
  job_free(j);
  tape_free(quiet);
}

TEST(JobKinds, DeleteDirOnlyDeletesSketches) {
  TmpDir dir("kinds-delete");
  std::string notSketch = dir / "photos", sketch = dir / "sketch";
  ASSERT_EQ(fsys_make_folders(notSketch.c_str()), 0);
  tmpdir_write(notSketch + "/cat.jpg", "meow");
  int64_t mark = log_console_count();
  Job* j = run(make_job(JOB_DELETE_DIR, notSketch));
  EXPECT_STREQ(j->message, "NOT A SKETCH FOLDER");
  EXPECT_TRUE(log_has(mark, "jobs: REFUSED to delete " + notSketch));
  EXPECT_EQ(tmpdir_read(notSketch + "/cat.jpg"), "meow");
  job_free(j);

  write_sketch(sketch, "S", 48000, nullptr);
  tmpdir_write(sketch + "/tape.f32", "12345678");
  j = run(make_job(JOB_DELETE_DIR, sketch));
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  EXPECT_FALSE(path_exists(sketch.c_str()));
  job_free(j);
  j = run(make_job(JOB_DELETE_DIR, sketch));  // already gone
  EXPECT_EQ(j->result, JOB_DONE);
  job_free(j);
  j = run(make_job(JOB_DELETE_DIR, ""));
  EXPECT_STREQ(j->message, "NOTHING TO DELETE");
  job_free(j);
}

TEST(JobKinds, RenameMovesTheSidecar) {
  TmpDir dir("kinds-rename");
  write_sketch(dir.path, "Old", 48000, nullptr);
  tmpdir_write(dir / "Old.wav", "riff");
  Job* j = make_job(JOB_RENAME, dir.path);
  job_copy_text(j->name, sizeof j->name, "New Name");
  job_copy_text(j->path2, sizeof j->path2, "Old.wav");
  run(j);
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  EXPECT_EQ(std::string(j->result_path), dir / "New_Name.wav");
  EXPECT_EQ(tmpdir_read(dir / "New_Name.wav"), "riff");
  EXPECT_FALSE(path_exists((dir / "Old.wav").c_str()));
  SketchMeta back = load(dir.path);
  EXPECT_STREQ(back.name, "New Name");
  meta_free(&back);
  job_free(j);

  TmpDir empty("kinds-rename-none");
  j = make_job(JOB_RENAME, empty.path);
  job_copy_text(j->name, sizeof j->name, "X");
  run(j);
  EXPECT_STREQ(j->message, "COULDN'T READ META.JSON");
  job_free(j);
}

// A long title's side-car: every job names it as the library and the session do (a 96-byte
// name), so a clear deletes the file the save wrote and a rename moves it.
TEST(JobKinds, SidecarNamesMatchTheLibrarys) {
  TmpDir dir("kinds-sidecar");
  std::string title, title2;
  for (int i = 0; i < 40; i++) title += "\xe6\xb5\xb7", title2 += "\xe5\xb1\xb1";
  auto sidecar = [](const std::string& t) {
    char name[LIBRARY_SIDECAR_MAX + 1];
    EXPECT_EQ(sidecar_wav_name(t.c_str(), name, sizeof name), 0);
    return std::string(name);
  };
  Tape* tape = make_tape(48000, 100, ramp);
  Job* j = make_job(JOB_SAVE_COMMIT, dir.path);
  j->meta = make_meta(48000, title.c_str());
  job_hold_tape(j, tape);
  j->frames = 100;
  run(j);
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  EXPECT_EQ(std::string(j->result_path), dir / sidecar(title));
  job_free(j);

  j = make_job(JOB_RENAME, dir.path);
  job_copy_text(j->name, sizeof j->name, title2.c_str());
  job_copy_text(j->path2, sizeof j->path2, sidecar(title).c_str());
  run(j);
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  EXPECT_EQ(std::string(j->result_path), dir / sidecar(title2));
  EXPECT_EQ(file_size((dir / sidecar(title2)).c_str()), 44 + 400);
  job_free(j);

  j = make_job(JOB_CLEAR_FILES, dir.path);
  job_copy_text(j->name, sizeof j->name, sidecar(title2).c_str());
  run(j);
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  char names[4][LIST_FILE_BYTES];
  EXPECT_EQ(list_files_with_suffix(dir.path.c_str(), ".wav", names, 4), 0);
  tape_free(tape);
  job_free(j);
}

// Memory running out at any step: the patch is either stored and reported done, or reported
// failed with the file untouched, never reported done without the values.
TEST(JobKinds, PatchSpectralUnderMemoryFailure) {
  TmpDir dir("kinds-patch-oom");
  bool sawNoMemory = false;
  for (int64_t after = 0; after < 200; after++) {
    save_one_layer(dir.path, 0, 64, 2.0, 64, 1);
    if (::testing::Test::HasFatalFailure()) return;

    Job* j = make_job(JOB_PATCH_SPECTRAL, dir.path);
    j->layer_length = 64;
    j->layer_created_at = 2.0;
    for (float& v : j->spectral) v = 0.25f;
    meta_debug_fail_allocations(after);
    run(j);
    meta_debug_fail_allocations(-1);
    SketchMeta back = load(dir.path);
    ASSERT_EQ(back.layerCount, 1);
    const bool stored = layer_spectral(back.layers[0]) != nullptr;
    meta_free(&back);
    if (j->result == JOB_FAILED && !strcmp(j->message, "NOT ENOUGH MEMORY")) sawNoMemory = true;
    const bool done = j->result == JOB_DONE;
    job_free(j);
    EXPECT_EQ(done, stored) << "after " << after;
    if (done) break;
  }
  EXPECT_TRUE(sawNoMemory);
}

TEST(JobKinds, PatchSpectralFillsTheLayerOnce) {
  TmpDir dir("kinds-patch");
  save_one_layer(dir.path, 10, 100, 5.25, 200, 2);
  if (::testing::Test::HasFatalFailure()) return;

  auto patch = [&](float value, double createdAt) {
    Job* j = make_job(JOB_PATCH_SPECTRAL, dir.path);
    j->layer_start = 10;
    j->layer_length = 100;
    j->layer_created_at = createdAt;
    for (float& v : j->spectral) v = value;
    return run(j);
  };
  Job* j = patch(0.5f, 5.25 + 5e-7);
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  job_free(j);
  j = patch(0.75f, 5.25);  // already has one: kept
  EXPECT_EQ(j->result, JOB_DONE);
  job_free(j);
  j = patch(0.75f, 6.0);
  EXPECT_STREQ(j->message, "LAYER NOT FOUND");
  job_free(j);
  SketchMeta back = load(dir.path);
  ASSERT_EQ(back.layerCount, 1);
  const float* s = layer_spectral(back.layers[0]);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s[0], 0.5f);
  EXPECT_EQ(s[575], 0.5f);
  meta_free(&back);
  j = run(make_job(JOB_PATCH_SPECTRAL, dir / "missing"));
  EXPECT_STREQ(j->message, "SKETCH NOT FOUND");
  job_free(j);
}

TEST(JobKinds, LoadPreviewFromSidecarOrTape) {
  TmpDir dir("kinds-preview");
  Tape* src = make_tape(48000, 1000, [](int64_t, int ch) { return ch ? -0.5f : 0.5f; });
  write_sketch(dir.path, "P", 48000, src);
  ASSERT_EQ(wav_write((dir / "P.wav").c_str(), src, 0, 600, 1.0f, nullptr), 0);
  tmpdir_write(dir / "Z.wav", "junk");

  Job* j = make_job(JOB_LOAD_PREVIEW, dir.path);
  job_copy_text(j->name, sizeof j->name, "P.wav");
  run(j);
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  EXPECT_EQ(j->frames_out, 600);  // the side-car, not tape.f32
  float l, r;
  tape_read_planar(j->tape_out, 10, 1, 600, &l, &r);
  EXPECT_NEAR(l, 0.5f, 1e-4f);
  EXPECT_NEAR(r, -0.5f, 1e-4f);
  job_free(j);

  // The damaged WAV named: tape.f32 steps in, resampled to the device's rate.
  j = make_job(JOB_LOAD_PREVIEW, dir.path);
  job_copy_text(j->name, sizeof j->name, "Z.wav");
  j->target_rate = 96000;
  int64_t mark = log_console_count();
  run(j);
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  EXPECT_TRUE(log_has(mark, "jobs: preview of " + dir.path));
  EXPECT_EQ(j->tape_out->rate, 96000);
  EXPECT_EQ(j->frames_out, 2000);
  job_free(j);

  // No name: the first WAV by name order.
  j = run(make_job(JOB_LOAD_PREVIEW, dir.path));
  EXPECT_EQ(j->frames_out, 600);
  job_free(j);

  TmpDir empty("kinds-preview-none");
  write_sketch(empty.path, "N", 48000, nullptr);
  j = run(make_job(JOB_LOAD_PREVIEW, empty.path));
  EXPECT_STREQ(j->message, "NO AUDIO");
  job_free(j);
  tape_free(src);
}

TEST(JobKinds, WriteFileAndCopyFile) {
  TmpDir dir("kinds-write");
  Job* j = job_new(JOB_WRITE_FILE);
  std::string ini = dir / "cfg/kelp.ini";
  job_copy_text(j->path, sizeof j->path, ini.c_str());
  j->data = (uint8_t*)strdup("[audio]\nbuffer_frames=256\n");
  j->data_size = strlen((char*)j->data);
  run(j);
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  EXPECT_EQ(tmpdir_read(ini), "[audio]\nbuffer_frames=256\n");
  job_free(j);
  tmpdir_write(dir / "plain", "x");
  j = job_new(JOB_WRITE_FILE);
  job_copy_text(j->path, sizeof j->path, (dir / "plain/kelp.ini").c_str());
  run(j);
  EXPECT_STREQ(j->message, "CAN'T WRITE kelp.ini");
  job_free(j);
  j = run(job_new(JOB_WRITE_FILE));
  EXPECT_STREQ(j->message, "NOTHING TO WRITE");
  job_free(j);

  // A side-car copied byte for byte, and rebuilt from tape.f32 when it is missing.
  std::string sketch = dir / "sketch";
  Tape* src = make_tape(48000, 3000, ramp);
  write_sketch(sketch, "Cp", 48000, src);
  ASSERT_EQ(wav_write((sketch + "/Cp.wav").c_str(), src, 0, 3000, 1.0f, nullptr), 0);
  j = make_job(JOB_COPY_FILE, sketch);
  job_copy_text(j->path, sizeof j->path, (sketch + "/Cp.wav").c_str());
  job_copy_text(j->path2, sizeof j->path2, (dir / "out/copy.wav").c_str());
  run(j);
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  EXPECT_EQ(tmpdir_read(dir / "out/copy.wav"), tmpdir_read(sketch + "/Cp.wav"));
  job_free(j);

  j = make_job(JOB_COPY_FILE, sketch);
  job_copy_text(j->path, sizeof j->path, (sketch + "/Gone.wav").c_str());
  job_copy_text(j->path2, sizeof j->path2, (dir / "out/rebuilt.wav").c_str());
  int64_t mark = log_console_count();
  run(j);
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  EXPECT_TRUE(log_has(mark, "is missing - rebuilding it from tape.f32 for the copy"));
  EXPECT_EQ(tmpdir_read(dir / "out/rebuilt.wav"), tmpdir_read(sketch + "/Cp.wav"));
  job_free(j);

  std::string silent = dir / "silent";
  write_sketch(silent, "S", 48000, nullptr);
  j = make_job(JOB_COPY_FILE, silent);
  job_copy_text(j->path, sizeof j->path, (silent + "/S.wav").c_str());
  job_copy_text(j->path2, sizeof j->path2, (dir / "out/s.wav").c_str());
  run(j);
  EXPECT_STREQ(j->message, "NO AUDIO TO COPY");
  job_free(j);
  tape_free(src);
}

TEST(JobKinds, SpectralAndHopLevels) {
  Tape* tone = make_tape(48000, 1000, [](int64_t f, int) { return 0.8f * std::sin(f * 0.1309f); });
  Job* j = job_new(JOB_SPECTRAL);
  job_hold_tape(j, tone);
  j->range_end = 1000;
  run(j);
  EXPECT_EQ(j->result, JOB_DONE) << j->message;
  float top = 0;
  for (float v : j->spectral_out) top = std::max(top, v);
  EXPECT_EQ(top, 1.0f);
  job_free(j);
  j = job_new(JOB_SPECTRAL);
  job_hold_tape(j, tone);
  j->range_end = 1000;
  j->progress.cancel = true;
  run(j);
  EXPECT_EQ(j->result, JOB_CANCELLED);
  job_free(j);
  j = run(job_new(JOB_SPECTRAL));
  EXPECT_STREQ(j->message, "NO CAPTURE");
  job_free(j);

  // 1000 frames at a hop of 256: four levels, room for six.
  j = job_new(JOB_HOP_LEVELS);
  job_hold_tape(j, tone);
  j->range_end = 1000;
  j->hop = 256;
  run(j);
  EXPECT_EQ(j->result, JOB_DONE);
  EXPECT_EQ(analysis_hop_room(1000, 256), 6);
  ASSERT_EQ(j->level_count, 4);
  float want[6];
  ASSERT_EQ(tape_peaks(tone, 0, 1000, 256, want, 6), 4);
  for (int i = 0; i < 4; i++) EXPECT_EQ(j->levels[i], want[i]);
  job_free(j);
  j = job_new(JOB_HOP_LEVELS);  // hop from the tape's rate: 256 at 48 kHz
  job_hold_tape(j, tone);
  j->range_start = 500;
  j->range_end = 500;
  run(j);
  EXPECT_EQ(j->result, JOB_DONE);
  EXPECT_EQ(j->level_count, 0);
  job_free(j);
  j = job_new(JOB_HOP_LEVELS);  // a negative hop is not "from the rate"
  job_hold_tape(j, tone);
  j->range_end = 1000;
  j->hop = -256;
  run(j);
  EXPECT_EQ(j->result, JOB_DONE);
  EXPECT_EQ(j->level_count, 0);
  EXPECT_EQ(j->levels, nullptr);
  job_free(j);
  j = job_new(JOB_HOP_LEVELS);
  job_hold_tape(j, tone);
  j->range_end = 1000;
  j->progress.cancel = true;
  run(j);
  EXPECT_EQ(j->result, JOB_CANCELLED);
  job_free(j);
  j = run(job_new(JOB_HOP_LEVELS));
  EXPECT_STREQ(j->message, "NO CAPTURE");
  job_free(j);
  EXPECT_EQ(tone->refs.load(), 0);
  tape_free(tone);
}
