// Between the queue (jobs.cpp) and the job kinds (job_kinds*.cpp).
#pragma once
#include <cstddef>
#include <cstdint>

#include "store/jobs.h"
#include "store/library.h"

// Side-car names are made in the buffer the library and the session use, so every writer, the
// clear, the rename and the card all name the same file (a long title is cut the same way).
constexpr size_t JOB_SIDECAR_BYTES = LIBRARY_SIDECAR_MAX + 1;

// JOB_NONE: nothing, unless a test holds it (jobs_debug_hold).
void job_none(Job* job);

// The kinds, by file.
void job_save_commit(Job* job);
void job_save_meta(Job* job);
void job_load_meta(Job* job);
void job_clear_files(Job* job);
void job_delete_dir(Job* job);
void job_rename(Job* job);
void job_patch_spectral(Job* job);
void job_write_file(Job* job);
void job_copy_file(Job* job);
void job_load_tape(Job* job);
void job_export_wav(Job* job);
void job_load_preview(Job* job);
void job_spectral(Job* job);
void job_hop_levels(Job* job);

// folder joined with name into out (JOB_PATH_MAX + 1 bytes); false when it doesn't fit, so a
// shortened name is never written or deleted.
bool job_join(char* out, const char* folder, const char* name);
// The folder part of path ("" when it has none) into out (JOB_PATH_MAX + 1 bytes).
void job_parent(char* out, const char* path);
// True for a regular file (a link to one counts). Pipes and devices are never opened by a job:
// reading one could hold a worker forever.
bool job_is_file(const char* path);
// The last component of path.
// "DISK FULL" when the volume holding where lacks needed bytes (plus the reserve), else
// "CAN'T WRITE <what>".
void job_fail_write(Job* job, const char* where, int64_t needed, const char* what);
void job_cancelled(Job* job);
