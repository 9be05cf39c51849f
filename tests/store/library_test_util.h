// Helpers shared by the library tests: sketch folders made to a recipe, tapes with known frames,
// a scan run on this thread, the job queue drained into the library, and log search.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/log.h"
#include "core/core.h"
#include "core/tape.h"
#include "store/filenames.h"
#include "store/jobs.h"
#include "store/library.h"
#include "store/meta.h"
#include "store/wav.h"
#include "support/log_capture.h"
#include "support/tmpdir.h"

namespace library_test {

inline bool log_has(int64_t mark, const std::string& needle) {
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

inline Tape* make_tape(int64_t frames, float value) {
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

inline void write_tape_file(const std::string& path, int64_t frames) {
  std::string bytes((size_t)frames * 8, '\0');
  for (int64_t i = 0; i < frames; i++) {
    float l = 0.25f * (float)((i % 7) + 1) / 7.0f, r = -l;
    memcpy(&bytes[(size_t)i * 8], &l, 4);
    memcpy(&bytes[(size_t)i * 8 + 4], &r, 4);
  }
  tmpdir_write(path, bytes);
}

// A sketch folder in lib; returns its id.
inline std::string make_sketch(const std::string& lib, const Recipe& recipe) {
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
inline void scan_now(Library* lib, const char* openId = "") {
  Job* job = library_scan_begin(lib, openId, clock_monotonic());
  ASSERT_NE(job, nullptr);
  library_scan_job(job);
  if (job->result == JOB_PENDING) job->result = JOB_DONE;
  EXPECT_TRUE(library_on_job(lib, job));
  job_free(job);
}

// Waits for the queue and hands every finished job to the library; the jobs come back for
// inspection (free them with free_jobs).
inline std::vector<Job*> finish(JobQueue* q, Library* lib) {
  EXPECT_TRUE(jobs_wait_idle(q, JOB_WORKER_ANY, 10000));
  std::vector<Job*> out;
  while (Job* j = jobs_take_done(q)) {
    library_on_job(lib, j);
    out.push_back(j);
  }
  return out;
}

inline void free_jobs(std::vector<Job*>& jobs) {
  for (Job* j : jobs) job_free(j);
  jobs.clear();
}

inline std::string read(const std::string& path) {
  return tmpdir_read(path);
}

}  // namespace library_test
