#include "store/jobs.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <thread>

#include "core/tape.h"
#include "platform/thread.h"
#include "store/files.h"
#include "store/jobs_internal.h"
#include "base/log.h"
#include "store/import.h"
#include "store/jobs_internal.h"
#include "store/library.h"
#include "store/meta.h"

namespace {

void import_job(Job* job) {
  import_audio_job(job);  // its own result code repeats the job's result
}

// One row a kind: a new kind is a new row and its handler.
const JobKindInfo kKinds[JOB_KIND_COUNT] = {
    {"NONE", JOB_WORKER_IO, 0, "", job_none},
    {"SAVE_COMMIT", JOB_WORKER_IO, 0, "SAVING…", job_save_commit},
    {"SAVE_META", JOB_WORKER_IO, 0, "SAVING…", job_save_meta},
    {"LOAD_META", JOB_WORKER_IO, 1, "LOADING…", job_load_meta},
    {"LOAD_TAPE", JOB_WORKER_IO, 1, "LOADING TAPE…", job_load_tape},
    {"CLEAR_FILES", JOB_WORKER_IO, 0, "CLEARING…", job_clear_files},
    {"EXPORT_WAV", JOB_WORKER_IO, 0, "EXPORTING…", job_export_wav},
    {"IMPORT_AUDIO", JOB_WORKER_IO, 0, "IMPORTING…", import_job},
    {"SCAN_LIBRARY", JOB_WORKER_IO, 2, "LOADING…", library_scan_job},
    {"DELETE_DIR", JOB_WORKER_IO, 0, "DELETING…", job_delete_dir},
    {"RENAME", JOB_WORKER_IO, 0, "RENAMING…", job_rename},
    {"PATCH_SPECTRAL", JOB_WORKER_IO, 0, "SAVING…", job_patch_spectral},
    {"LOAD_PREVIEW", JOB_WORKER_IO, 2, "LOADING PREVIEW…", job_load_preview},
    {"WRITE_FILE", JOB_WORKER_IO, 0, "SAVING SETTINGS…", job_write_file},
    {"COPY_FILE", JOB_WORKER_IO, 0, "EXPORTING…", job_copy_file},
    {"SPECTRAL", JOB_WORKER_COMPUTE, 0, "ANALYSING…", job_spectral},
    {"HOP_LEVELS", JOB_WORKER_COMPUTE, 1, "ANALYSING…", job_hop_levels},
};
void job_unknown(Job* job) {
  job_fail(job, "UNKNOWN JOB");
}
const JobKindInfo kUnknownKind = {"UNKNOWN", JOB_WORKER_IO, 0, "", job_unknown};

constexpr double kSlowJobSeconds = 0.25;

std::atomic<int32_t> g_fail_start{-1};
std::atomic<bool> g_hold{false};

struct Worker {
  Job* head = nullptr;
  Job* tail = nullptr;
  Job* running = nullptr;
  PlatformThread* thread = nullptr;
  std::condition_variable_any work;
  std::condition_variable_any idle;
};

struct WorkerStart {
  JobQueue* queue;
  int32_t index;
};

void list_append(Job** head, Job** tail, Job* job) {
  job->next = nullptr;
  if (*tail)
    (*tail)->next = job;
  else
    *head = job;
  *tail = job;
}

// Formats into a field of size bytes, cut at a character boundary.
void format_text(char* dst, size_t size, const char* fmt, va_list ap) {
  char buf[1024];
  vsnprintf(buf, sizeof buf, fmt, ap);
  text_utf8_cut(buf, size - 1);
  memcpy(dst, buf, strlen(buf) + 1);
}

}  // namespace

struct JobQueue {
  std::shared_mutex lock;
  Worker workers[JOB_WORKERS];
  WorkerStart starts[JOB_WORKERS];
  Job* done_head = nullptr;
  Job* done_tail = nullptr;
  uint32_t generation[JOB_GROUPS] = {0, 0, 0};
  uint32_t counter = 0;
  bool shutting_down = false;
  bool paused = false;
};

// ---- kinds and jobs ----

const JobKindInfo* job_kind_info(int32_t kind) {
  return kind >= 0 && kind < JOB_KIND_COUNT ? &kKinds[kind] : &kUnknownKind;
}

const char* job_kind_name(int32_t kind) {
  return job_kind_info(kind)->name;
}

bool job_copy_text(char* dst, size_t size, const char* src) {
  return text_copy(dst, size, src);
}

Job* job_new(JobKind kind) {
  Job* job = new (std::nothrow) Job{};
  if (!job) return nullptr;
  const JobKindInfo* info = job_kind_info(kind);
  job->kind = kind;
  job->worker = info->worker;
  job->cancel_group = info->group;
  job_copy_text(job->label, sizeof job->label, info->label);
  job->rate_ratio = 1.0;
  return job;
}

void job_hold_tape(Job* job, Tape* tape) {
  if (!job) return;
  if (tape) tape->refs.fetch_add(1, std::memory_order_acq_rel);
  if (job->tape) job->tape->refs.fetch_sub(1, std::memory_order_acq_rel);
  job->tape = tape;
}

void job_free(Job* job) {
  if (!job) return;
  job_hold_tape(job, nullptr);
  layer_release(job->layer);
  meta_destroy(job->meta);
  meta_destroy(job->meta_out);
  tape_free(job->tape_out);
  tape_free(job->tape_out2);
  free(job->levels);
  if (job->cards && job->cards_free) job->cards_free(job->cards, job->card_count);
  free(job->data);
  delete job;
}

// ---- inside a running job ----

void job_fail(Job* job, const char* fmt, ...) {
  if (!job) return;
  va_list ap;
  va_start(ap, fmt);
  format_text(job->message, sizeof job->message, fmt, ap);
  va_end(ap);
  job->result = JOB_FAILED;
}

void job_set_label(Job* job, const char* fmt, ...) {
  if (!job) return;
  char label[JOB_LABEL_MAX + 1];
  va_list ap;
  va_start(ap, fmt);
  format_text(label, sizeof label, fmt, ap);
  va_end(ap);
  // The busy snapshot reads the label under the lock.
  if (job->queue) {
    std::unique_lock<std::shared_mutex> lk(job->queue->lock);
    memcpy(job->label, label, sizeof label);
  } else {
    memcpy(job->label, label, sizeof label);
  }
}

void job_progress_phase(Job* job, double start, double span, double scale) {
  if (!job) return;
  job_progress_set(&job->progress, 0, 0);
  if (job->queue) {
    std::unique_lock<std::shared_mutex> lk(job->queue->lock);
    job->phase_start = start;
    job->phase_span = span;
    job->phase_scale = scale;
  } else {
    job->phase_start = start;
    job->phase_span = span;
    job->phase_scale = scale;
  }
}

void job_run(Job* job) {
  if (!job) return;
  job->result = JOB_PENDING;
  job->message[0] = 0;
  double started = clock_monotonic();
  job_kind_info(job->kind)->run(job);
  if (job->result == JOB_PENDING) job->result = JOB_DONE;
  const char* name = job_kind_name(job->kind);
  const char* where = job->folder[0] ? job->folder : job->path;
  if (job->result == JOB_FAILED) log_line("jobs: %s failed - %s (%s)", name, job->message, where);
  double took = clock_monotonic() - started;
  if (took > kSlowJobSeconds) log_line("%s  %s (%.1fms)", name, where, took * 1000.0);
}

// ---- the queue ----

namespace {

void worker_loop(JobQueue* q, int32_t index) {
  Worker& w = q->workers[index];
  std::unique_lock<std::shared_mutex> lk(q->lock);
  for (;;) {
    while (!w.head || q->paused) {
      if (!w.head && q->shutting_down) {
        w.idle.notify_all();
        return;
      }
      w.work.wait(lk);
    }
    Job* job = w.head;
    w.head = job->next;
    if (!w.head) w.tail = nullptr;
    job->next = nullptr;
    job->phase_start = job->phase_span = job->phase_scale = 0;
    w.running = job;
    const int32_t g = job->cancel_group;
    if (g != 0 && q->generation[g] != job->generation) {
      job->result = JOB_CANCELLED;
    } else {
      lk.unlock();
      job_run(job);
      lk.lock();
      // Cancelled while it ran: whatever it produced belongs to a sketch that is gone.
      if (g != 0 && q->generation[g] != job->generation) job->result = JOB_CANCELLED;
    }
    w.running = nullptr;
    job->queue = nullptr;
    list_append(&q->done_head, &q->done_tail, job);
    w.idle.notify_all();
  }
}

void worker_main(void* arg) {
  WorkerStart* s = static_cast<WorkerStart*>(arg);
  if (s->index == JOB_WORKER_COMPUTE) {
    unsigned long e = platform_thread_lower_priority();
    if (e) log_line("jobs: couldn't lower the COMPUTE worker's priority (error %lu)", e);
  }
  worker_loop(s->queue, s->index);
}

// Moves pending jobs that match to the done list as cancelled. Caller holds the lock.
template <typename Match>
void cancel_pending(JobQueue* q, Worker& w, Match match) {
  Job* keepHead = nullptr;
  Job* keepTail = nullptr;
  for (Job* j = w.head; j;) {
    Job* next = j->next;
    if (match(j)) {
      j->result = JOB_CANCELLED;
      j->queue = nullptr;
      list_append(&q->done_head, &q->done_tail, j);
    } else {
      list_append(&keepHead, &keepTail, j);
    }
    j = next;
  }
  w.head = keepHead;
  w.tail = keepTail;
}

void free_list(Job* j) {
  while (j) {
    Job* next = j->next;
    job_free(j);
    j = next;
  }
}

bool worker_idle(JobQueue* q, int32_t index) {
  const Worker& w = q->workers[index];
  return !w.head && !w.running;
}

}  // namespace

JobQueue* jobs_start() {
  JobQueue* q = new (std::nothrow) JobQueue;
  if (!q) {
    log_line("jobs: out of memory starting the workers");
    return nullptr;
  }
  const int32_t failAt = g_fail_start.exchange(-1);
  for (int32_t i = 0; i < JOB_WORKERS; i++) {
    q->starts[i] = WorkerStart{q, i};
    unsigned long e = i == failAt
                          ? 11ul  // EAGAIN, as when the system is out of threads
                          : platform_thread_start(&q->workers[i].thread, worker_main, &q->starts[i]);
    if (e) {
      log_line("jobs: couldn't start the %s worker (error %lu)", i == 0 ? "IO" : "COMPUTE", e);
      jobs_stop(q);
      return nullptr;
    }
  }
  return q;
}

uint32_t jobs_post(JobQueue* q, Job* job) {
  if (!job) return 0;
  if (!q) {
    log_line("jobs: no workers - %s dropped", job_kind_name(job->kind));
    job_free(job);
    return 0;
  }
  std::unique_lock<std::shared_mutex> lk(q->lock);
  if (q->shutting_down) {
    lk.unlock();
    log_line("jobs: shutting down - %s dropped", job_kind_name(job->kind));
    job_free(job);
    return 0;
  }
  const JobKindInfo* info = job_kind_info(job->kind);
  if (job->worker != JOB_WORKER_IO && job->worker != JOB_WORKER_COMPUTE) job->worker = info->worker;
  if (job->cancel_group < 0 || job->cancel_group >= JOB_GROUPS) job->cancel_group = info->group;
  job->generation = q->generation[job->cancel_group];
  if (++q->counter == 0) q->counter = 1;
  job->sequence = q->counter;
  job->result = JOB_PENDING;
  job->next = nullptr;
  job->queue = q;
  job->phase_start = job->phase_span = job->phase_scale = 0;
  job->progress.done.store(0, std::memory_order_relaxed);
  job->progress.total.store(0, std::memory_order_relaxed);
  job->progress.cancel.store(false, std::memory_order_relaxed);
  Worker& w = q->workers[job->worker];
  list_append(&w.head, &w.tail, job);
  uint32_t seq = job->sequence;
  w.work.notify_one();
  return seq;
}

uint32_t jobs_cancel_group(JobQueue* q, int32_t group) {
  if (!q || group < 0 || group >= JOB_GROUPS) return 0;
  std::unique_lock<std::shared_mutex> lk(q->lock);
  uint32_t gen = ++q->generation[group];
  if (group != 0) {
    for (Worker& w : q->workers) {
      cancel_pending(q, w, [group](const Job* j) { return j->cancel_group == group; });
      if (w.running && w.running->cancel_group == group)
        w.running->progress.cancel.store(true, std::memory_order_relaxed);
      w.idle.notify_all();
    }
  }
  return gen;
}

Job* jobs_take_done(JobQueue* q) {
  if (!q) return nullptr;
  std::unique_lock<std::shared_mutex> lk(q->lock);
  Job* job = q->done_head;
  if (!job) return nullptr;
  q->done_head = job->next;
  if (!q->done_head) q->done_tail = nullptr;
  job->next = nullptr;
  return job;
}

bool jobs_idle(JobQueue* q, int32_t worker) {
  if (!q) return true;
  std::shared_lock<std::shared_mutex> lk(q->lock);
  if (worker == JOB_WORKER_IO || worker == JOB_WORKER_COMPUTE) return worker_idle(q, worker);
  return worker_idle(q, 0) && worker_idle(q, 1);
}

bool jobs_wait_idle(JobQueue* q, int32_t worker, uint32_t ms) {
  if (!q) return true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  std::unique_lock<std::shared_mutex> lk(q->lock);
  for (int32_t i = 0; i < JOB_WORKERS; i++) {
    if (worker != JOB_WORKER_ANY && worker != i) continue;
    Worker& w = q->workers[i];
    if (!w.idle.wait_until(lk, deadline, [&] { return worker_idle(q, i); })) return false;
  }
  // Waiting on the second worker may have let new work into the first.
  if (worker == JOB_WORKER_ANY) return worker_idle(q, 0) && worker_idle(q, 1);
  return true;
}

int jobs_busy_snapshot(JobQueue* q, JobBusyEntry* out, int max) {
  if (!q || !out || max <= 0) return 0;
  std::shared_lock<std::shared_mutex> lk(q->lock);
  // Each worker's list is in sequence order (running first, then its FIFO); merge the two.
  const Job* cur[JOB_WORKERS];
  bool onRunning[JOB_WORKERS];
  for (int i = 0; i < JOB_WORKERS; i++) {
    onRunning[i] = q->workers[i].running != nullptr;
    cur[i] = onRunning[i] ? q->workers[i].running : q->workers[i].head;
  }
  int n = 0;
  while (n < max && (cur[0] || cur[1])) {
    int pick = !cur[1] ? 0 : !cur[0] ? 1 : (cur[0]->sequence <= cur[1]->sequence ? 0 : 1);
    const Job* j = cur[pick];
    JobBusyEntry& e = out[n++];
    memset(&e, 0, sizeof e);
    memcpy(e.label, j->label, sizeof e.label);
    e.kind = j->kind;
    e.worker = pick;
    e.sequence = j->sequence;
    e.running = onRunning[pick];
    if (e.running) {
      double done = (double)j->progress.done.load(std::memory_order_relaxed);
      double total = (double)j->progress.total.load(std::memory_order_relaxed);
      e.scale = j->phase_scale;
      if (e.scale > 0) {
        double f = total > 0 ? std::clamp(done / total, 0.0, 1.0) : 0.0;
        e.progress = (j->phase_start + j->phase_span * f) / e.scale;
      } else {
        e.scale = 0;
        e.progress = done;
      }
      onRunning[pick] = false;
      cur[pick] = q->workers[pick].head;
    } else {
      cur[pick] = j->next;
    }
  }
  return n;
}

void jobs_stop_begin(JobQueue* q) {
  if (!q) return;
  std::unique_lock<std::shared_mutex> lk(q->lock);
  if (q->shutting_down) return;
  for (uint32_t& g : q->generation) g++;
  q->shutting_down = true;
  q->paused = false;
  Worker& io = q->workers[JOB_WORKER_IO];
  Worker& compute = q->workers[JOB_WORKER_COMPUTE];
  cancel_pending(q, io, [](const Job* j) { return j->cancel_group != 0; });
  cancel_pending(q, compute, [](const Job*) { return true; });
  if (compute.running) compute.running->progress.cancel.store(true, std::memory_order_relaxed);
  if (io.running && io.running->cancel_group != 0)
    io.running->progress.cancel.store(true, std::memory_order_relaxed);
  for (Worker& w : q->workers) {
    w.work.notify_all();
    w.idle.notify_all();
  }
}

void jobs_stop(JobQueue* q) {
  if (!q) return;
  jobs_stop_begin(q);
  // No time limit: queued saves, exports, deletes and settings writes must land.
  for (Worker& w : q->workers) {
    platform_thread_join(w.thread);
    w.thread = nullptr;
  }
  free_list(q->done_head);
  for (Worker& w : q->workers) free_list(w.head);
  delete q;
}

void jobs_debug_fail_start(int32_t worker) {
  g_fail_start.store(worker);
}

void jobs_debug_hold(bool on) {
  g_hold.store(on);
}

void job_none(Job* job) {
  while (g_hold.load() && !job_progress_cancelled(&job->progress))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void jobs_debug_pause(JobQueue* q, bool paused) {
  if (!q) return;
  std::unique_lock<std::shared_mutex> lk(q->lock);
  if (q->shutting_down) return;
  q->paused = paused;
  if (!paused)
    for (Worker& w : q->workers) w.work.notify_all();
}
