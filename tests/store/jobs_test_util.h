// Small helpers shared by the job tests: tapes with known frames, heap metas for jobs, log search.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/tape.h"
#include "store/jobs.h"
#include "base/log.h"
#include "store/meta.h"
#include "support/log_capture.h"

namespace jobs_test {

// True when a log line written since mark holds needle.
inline bool log_has(int64_t mark, const std::string& needle) {
  char line[LOG_FULL_LINE_BYTES + 8];
  for (int64_t i = mark; i < log_console_count(); i++)
    if (log_line_full(i, line, sizeof line) && strstr(line, needle.c_str())) return true;
  return false;
}

// A tape of frames frames at rate, sample(frame, channel) on each side.
inline Tape* make_tape(double rate, int64_t frames,
                       const std::function<float(int64_t, int)>& sample) {
  Tape* t = tape_new(rate, 0, 0);
  if (!t) return nullptr;
  tape_ensure(t, frames > 0 ? frames - 1 : 0);
  std::vector<float> buf(2 * 65536);
  for (int64_t at = 0; at < frames; at += 65536) {
    int64_t n = std::min<int64_t>(65536, frames - at);
    for (int64_t i = 0; i < n; i++) {
      buf[2 * i] = sample(at + i, 0);
      buf[2 * i + 1] = sample(at + i, 1);
    }
    tape_write(t, at, buf.data(), n);
  }
  return t;
}

// A fresh sketch on the heap (released by job_free through meta_destroy).
inline SketchMeta* make_meta(double rate, const char* name) {
  SketchMeta* m = (SketchMeta*)calloc(1, sizeof(SketchMeta));
  meta_new(m, rate);
  if (name) snprintf(m->name, sizeof m->name, "%s", name);
  return m;
}

inline Job* make_job(JobKind kind, const std::string& folder = "") {
  Job* job = job_new(kind);
  job_copy_text(job->folder, sizeof job->folder, folder.c_str());
  return job;
}

// The tape's frames as the bytes tape.f32 holds.
inline std::string tape_bytes(const Tape* t) {
  int64_t n = tape_length(t);
  std::string out((size_t)n * 8, '\0');
  std::vector<float> l((size_t)n), r((size_t)n);
  tape_read_planar(t, 0, n, n, l.data(), r.data());
  for (int64_t i = 0; i < n; i++) {
    memcpy(&out[(size_t)i * 8], &l[(size_t)i], 4);
    memcpy(&out[(size_t)i * 8 + 4], &r[(size_t)i], 4);
  }
  return out;
}

}  // namespace jobs_test
