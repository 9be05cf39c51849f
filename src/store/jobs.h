// Worker jobs: every piece of disk work and the heavier analysis runs on one of two threads, IO
// (files) and COMPUTE (analysis, below normal priority), never on the UI or audio thread.
//
// The UI thread fills in a Job (job_new), posts it and keeps the sequence number; once per frame
// it takes finished jobs off the done list (jobs_take_done), reads their results and frees them
// (job_free). A job owns copies of what it reads (a cloned SketchMeta, a held Tape reference) and
// hands its results back in the Job itself. Jobs that load the open sketch (group 1) or serve the
// library (group 2) are cancelled together by group.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/progress.h"

struct Tape;
struct Layer;
struct SketchMeta;
struct LibraryCard;

enum JobKind : int32_t {
  JOB_NONE = 0,
  JOB_SAVE_COMMIT = 1,
  JOB_SAVE_META = 2,
  JOB_LOAD_META = 3,
  JOB_LOAD_TAPE = 4,
  JOB_CLEAR_FILES = 5,
  JOB_EXPORT_WAV = 6,
  JOB_IMPORT_AUDIO = 7,
  JOB_SCAN_LIBRARY = 8,
  JOB_DELETE_DIR = 9,
  JOB_RENAME = 10,
  JOB_PATCH_SPECTRAL = 11,
  JOB_LOAD_PREVIEW = 12,
  JOB_WRITE_FILE = 13,
  JOB_COPY_FILE = 14,
  JOB_SPECTRAL = 15,
  JOB_HOP_LEVELS = 16,
  JOB_KIND_COUNT = 17,
};

enum JobResult : int32_t {
  JOB_PENDING = 0,
  JOB_DONE = 1,
  JOB_FAILED = 2,
  JOB_CANCELLED = 3,
};

enum {
  JOB_WORKER_IO = 0,
  JOB_WORKER_COMPUTE = 1,
  JOB_WORKERS = 2,
  JOB_WORKER_ANY = -1,  // jobs_idle / jobs_wait_idle: both workers
  JOB_GROUPS = 3,       // cancel groups 0 (never cancelled), 1 (open sketch), 2 (library)
  JOB_GROUP_SKETCH = 1,
  JOB_GROUP_LIBRARY = 2,
  JOB_LABEL_MAX = 63,
  JOB_PATH_MAX = 1023,
  JOB_NAME_MAX = 255,
  JOB_MESSAGE_MAX = 255,
  JOB_ID_MAX = 36,
  JOB_SPECTRAL_VALUES = 576,
};

struct Job;

struct JobKindInfo {
  const char* name;   // as the log writes it: "SAVE_COMMIT"
  int32_t worker;     // JOB_WORKER_IO or JOB_WORKER_COMPUTE
  int32_t group;      // cancel group
  const char* label;  // busy label
  void (*run)(Job* job);  // the work, on the worker: leaves the result pending when done,
                          // else fails (job_fail) or cancels
};

// The table row of a kind; an unknown kind gets {"UNKNOWN", IO, 0, ""}.
const JobKindInfo* job_kind_info(int32_t kind);
const char* job_kind_name(int32_t kind);

struct JobQueue;

struct Job {
  JobKind kind;
  int32_t worker;                 // from the kind table
  int32_t cancel_group;            // from the kind table; above 2 is reset to the kind's when posted
  uint32_t generation;            // the group's generation when posted
  uint32_t sequence;              // set by jobs_post, never 0
  char label[JOB_LABEL_MAX + 1];  // busy label; job_set_label while running
  JobProgress progress;

  // ---- inputs ----
  char folder[JOB_PATH_MAX + 1];  // sketch folder (library folder for SCAN_LIBRARY, IMPORT_AUDIO)
  char path[JOB_PATH_MAX + 1];    // source or destination file
  char path2[JOB_PATH_MAX + 1];   // COPY_FILE destination; RENAME old side-car name or path
  char name[JOB_NAME_MAX + 1];    // RENAME new name; CLEAR_FILES, LOAD_PREVIEW side-car name
  char sketch_id[JOB_ID_MAX + 1];  // library bookkeeping
  SketchMeta* meta;               // owned (meta_clone): SAVE_COMMIT, SAVE_META, RENAME
  Tape* tape;                     // one job reference held (job_hold_tape)
  Layer* layer;                   // one reference held
  int64_t range_start, range_end;   // frames: EXPORT_WAV, SPECTRAL, HOP_LEVELS
  int64_t frames;                 // SAVE_COMMIT frames to write; LOAD_TAPE the meta's lengthSamples
  double sample_rate;              // the sketch's rate
  double target_rate;              // the device rate to resample to
  double hop;                     // HOP_LEVELS frames per hop (0: from the rate)
  bool mono;                      // LOAD_TAPE: tape.f32 is legacy mono
  bool normalize;                 // EXPORT_WAV
  bool rescue;                    // SAVE_COMMIT: nobody retries a failure, so rescue the audio
  int64_t layer_start, layer_length;  // PATCH_SPECTRAL: the layer to find
  double layer_created_at;
  float spectral[JOB_SPECTRAL_VALUES];  // PATCH_SPECTRAL values
  uint8_t* data;                        // owned (malloc): WRITE_FILE contents; SCAN_LIBRARY rows
  size_t data_size;

  // ---- results ----
  JobResult result;
  char message[JOB_MESSAGE_MAX + 1];       // the upper-case result text when failed
  float peak;                              // of the exported range or the loaded tape
  SketchMeta* meta_out;                     // owned: LOAD_META, IMPORT_AUDIO
  bool meta_dirty;                          // LOAD_META: differs from the file, save it
  Tape* tape_out;                           // owned: LOAD_TAPE, LOAD_PREVIEW
  Tape* tape_out2;                          // owned: LOAD_TAPE's empty capture tape
  bool resampled, upgraded;                // LOAD_TAPE
  double rate_ratio;                        // LOAD_TAPE: target rate / sketch rate, else 1
  double tape_rate;                         // LOAD_TAPE: the rate tape.f32 was found at
  bool rescued;                            // SAVE_COMMIT failed and result_path holds the rescue
  int64_t frames_out;                       // frames saved, exported, loaded or imported
  float spectral_out[JOB_SPECTRAL_VALUES];  // SPECTRAL
  float* levels;                           // owned (malloc): HOP_LEVELS
  int32_t level_count;
  LibraryCard* cards;  // owned: SCAN_LIBRARY; released through cards_free by job_free
  int32_t card_count;
  void (*cards_free)(LibraryCard* cards, int32_t count);
  char result_path[JOB_PATH_MAX + 1];  // the file or folder written
  char result_id[JOB_ID_MAX + 1];      // IMPORT_AUDIO: the new sketch's id

  // ---- queue bookkeeping ----
  Job* next;
  JobQueue* queue;                           // set while the queue owns the job
  double phase_start, phase_span, phase_scale;  // progress mapping, written under the queue's lock
};

// A zeroed job with worker, group and label from the kind table and rate_ratio 1; null when memory
// runs out.
Job* job_new(JobKind kind);
// Releases the tape reference, the layer, meta, meta_out, both output tapes, levels, the cards and
// data, then the job. Null does nothing.
void job_free(Job* job);
// Holds one job reference on tape for the job (released by job_free); replaces any held one.
void job_hold_tape(Job* job, Tape* tape);
// Copies src into a text field of size bytes, cut at a character boundary. False when cut.
bool job_copy_text(char* dst, size_t size, const char* src);

// ---- the queue (UI thread) ----

// Both workers running, or null (logged).
JobQueue* jobs_start();
// Queues job on its worker and returns its sequence number. 0 when dropped (the queue is shutting
// down or missing; logged): the job has been freed then.
uint32_t jobs_post(JobQueue* queue, Job* job);
// Cancels every job of group 0-2 posted so far: pending ones of groups 1 and 2 come back at once
// as cancelled, a running one has its cancel flag set. Returns the group's new generation.
uint32_t jobs_cancel_group(JobQueue* queue, int32_t group);
// The oldest finished job, or null. The caller owns it.
Job* jobs_take_done(JobQueue* queue);
// True when worker (or JOB_WORKER_ANY) has nothing queued or running.
bool jobs_idle(JobQueue* queue, int32_t worker);
// Waits up to ms for jobs_idle; true when idle in time.
bool jobs_wait_idle(JobQueue* queue, int32_t worker, uint32_t ms);

struct JobBusyEntry {
  char label[JOB_LABEL_MAX + 1];
  JobKind kind;
  int32_t worker;
  uint32_t sequence;
  bool running;
  // Running jobs: (start + span * clamp(done / total, 0, 1)) / scale, or the raw done value when
  // the job set no scale (scale 0). Pending jobs: 0.
  double progress;
  double scale;
};
// Running and pending jobs of both workers in ascending sequence order, at most max; the count.
int jobs_busy_snapshot(JobQueue* queue, JobBusyEntry* out, int max);

// Starts the shutdown: every later post is dropped; pending COMPUTE jobs and pending IO jobs of
// groups 1 and 2 come back cancelled, running ones of those are told to cancel. Pending saves,
// exports, deletes and settings writes still run. The queue stays usable for taking results.
void jobs_stop_begin(JobQueue* queue);
// jobs_stop_begin, then waits for both workers to finish what is left, frees every job not taken
// and the queue.
void jobs_stop(JobQueue* queue);

// ---- inside a running job (its worker thread) ----

// Result 2 with the message (cut at a character boundary).
void job_fail(Job* job, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Replaces the busy label (cut to 63 bytes at a character boundary).
void job_set_label(Job* job, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Starts a phase of the job's progress: done and total back to 0, the UI then shows
// (start + span * done / total) / scale.
void job_progress_phase(Job* job, double start, double span, double scale);
// Runs the job on the calling thread: result 1 done, 2 failed (logged) or 3 cancelled.
void job_run(Job* job);

// ---- tests ----

// The next jobs_start fails to start this worker (-1: none).
void jobs_debug_fail_start(int32_t worker);
// While on, a running JOB_NONE waits until it is turned off or cancelled: keeps a worker busy.
void jobs_debug_hold(bool on);
// While paused, workers take no new job (a running one finishes). jobs_stop_begin unpauses.
void jobs_debug_pause(JobQueue* queue, bool paused);
