// Progress of one worker job: frames (or steps) done, the total, and a cancel flag any thread may set.
#pragma once
#include <atomic>
#include <cstdint>

struct JobProgress {
  std::atomic<int64_t> done{0};
  std::atomic<int64_t> total{0};
  std::atomic<bool> cancel{false};
};

inline bool job_progress_cancelled(const JobProgress* p) {
  return p && p->cancel.load(std::memory_order_relaxed);
}
inline void job_progress_set(JobProgress* p, int64_t done, int64_t total) {
  if (!p) return;
  p->total.store(total, std::memory_order_relaxed);
  p->done.store(done, std::memory_order_relaxed);
}
