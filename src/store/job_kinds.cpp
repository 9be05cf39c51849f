// The file kinds: saves, meta.json loads and patches, clears, deletes, renames, settings writes
// and copies. Every write goes through a temporary file moved over the target, so a failed or
// interrupted job leaves the earlier file complete.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/tape.h"
#include "platform/fsys.h"
#include "store/filenames.h"
#include "store/files.h"
#include "store/import.h"
#include "store/library.h"
#include "store/jobs.h"
#include "store/jobs_internal.h"
#include "base/log.h"
#include "store/meta.h"
#include "store/paths.h"
#include "store/uuid.h"
#include "store/tapefile.h"
#include "store/wav.h"

namespace {

constexpr int64_t kMiB = 1 << 20;
constexpr size_t kCopyBlock = 1 << 20;
constexpr int64_t kCopyStep = 8 << 20;  // copied inside the system between cancel checks

bool has_separator(const char* s) {
  for (; *s; s++)
    if (fsys_is_separator(*s)) return true;
  return false;
}

// A plain name inside a folder: no separator, not "." or "..".
bool is_plain_name(const char* s) {
  return *s && !has_separator(s) && strcmp(s, ".") != 0 && strcmp(s, "..") != 0;
}

// The side-car WAV's name for meta's title; false when none can be made.
bool sidecar_name(const SketchMeta* meta, char* out, size_t size) {
  char title[META_NAME_MAX * 2 + 64];
  meta_title(meta, title, sizeof title);
  return sidecar_wav_name(title, out, size) == 0 && out[0];
}

}  // namespace

// ---- shared helpers ----

bool job_join(char* out, const char* folder, const char* name) {
  return path_join(out, JOB_PATH_MAX + 1, folder, name) >= 0;
}

void job_parent(char* out, const char* path) {
  size_t n = strlen(path);
  while (n > 0 && !fsys_is_separator(path[n - 1])) n--;
  // Keep a lone root separator; drop the one before the name otherwise.
  while (n > 1 && fsys_is_separator(path[n - 1])) n--;
  n = std::min<size_t>(n, JOB_PATH_MAX);
  memcpy(out, path, n);
  out[n] = 0;
}

bool job_is_file(const char* path) {
  FsysInfo info;
  return fsys_info(path, &info) == 0 && info.target_kind == FSYS_FILE;
}


void job_fail_write(Job* job, const char* where, int64_t needed, const char* what) {
  if (disk_too_full(where, needed))
    job_fail(job, "DISK FULL");
  else
    job_fail(job, "CAN'T WRITE %s", what);
}

void job_cancelled(Job* job) {
  job->result = JOB_CANCELLED;
}

// ---- SAVE_COMMIT: the side-car WAV, tape.f32 and meta.json ----

namespace {

// "<side-car name without .wav> rescued 2026-12-09 17.42.05": a folder name the user recognises.
bool rescue_folder_name(const SketchMeta* meta, char* out, size_t size) {
  char wav[JOB_SIDECAR_BYTES];
  if (!sidecar_name(meta, wav, sizeof wav)) snprintf(wav, sizeof wav, "Recording.wav");
  size_t n = strlen(wav);
  if (n > 4 && strcmp(wav + n - 4, ".wav") == 0) wav[n - 4] = 0;
  time_t now = time(nullptr);
  struct tm t;
  if (!localtime_r(&now, &t)) memset(&t, 0, sizeof t);
  int w = snprintf(out, size, "%s rescued %04d-%02d-%02d %02d.%02d.%02d", wav, t.tm_year + 1900,
                   t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return w > 0 && (size_t)w < size;
}

// One rescue root: a fresh folder holding the side-car WAV and meta.json (under a new id, so the
// folder can go into the library beside the original) and, room permitting, tape.f32, which
// makes it a whole sketch again. True once the WAV and meta.json are there.
bool rescue_into(const char* root, const char* name, const SketchMeta* meta, const Tape* tape,
                 int64_t frames, char* folder) {
  // A fresh folder: an earlier rescue of the same title in the same second is never written over.
  char unique[JOB_PATH_MAX + 1];
  bool fresh = false;
  for (int n = 1; n < 100 && !fresh; n++) {
    const int w = n == 1 ? snprintf(unique, sizeof unique, "%s", name)
                         : snprintf(unique, sizeof unique, "%s (%d)", name, n);
    if (w < 0 || (size_t)w >= sizeof unique) break;
    fresh = job_join(folder, root, unique) && !path_exists(folder);
  }
  if (!fresh || fsys_make_folders(folder) != 0) return false;
  char wav[JOB_SIDECAR_BYTES], path[JOB_PATH_MAX + 1];
  SketchMeta* copy = meta_clone(meta);
  bool ok = copy && sidecar_name(meta, wav, sizeof wav) && job_join(path, folder, wav) &&
            wav_write(path, tape, 0, frames, 1.0f, nullptr) == 0;
  if (ok) {
    uuid_new(&copy->uuid);
    uuid_format(&copy->uuid, copy->id);
    ok = meta_save_folder(folder, copy) == 0;
  }
  if (ok && job_join(path, folder, "tape.f32") && tape_save(tape, path, frames, nullptr, nullptr) != 0)
    log_line("save: the rescue in %s holds the WAV but not tape.f32", folder);
  meta_destroy(copy);
  if (!ok) tree_delete(folder);
  return ok;
}

// A commit that failed with nobody left to retry it: its audio goes to the first rescue folder
// that takes it, and the result says where. The result stays a failure: the sketch didn't land.
void rescue_commit(Job* job, const SketchMeta* meta, const Tape* tape, int64_t frames) {
  char roots[2][PATH_UTF8_MAX + 1], name[JOB_PATH_MAX + 1], folder[JOB_PATH_MAX + 1];
  const int count = paths_rescue_roots(roots, 2);
  if (rescue_folder_name(meta, name, sizeof name)) {
    for (int i = 0; i < count; i++) {
      if (!rescue_into(roots[i], name, meta, tape, frames, folder)) continue;
      job->rescued = true;
      job_copy_text(job->result_path, sizeof job->result_path, folder);
      log_line("save: %s couldn't land (%s) - its audio is rescued in %s", job->folder,
               job->message, folder);
      return;
    }
  }
  log_line("save: %s couldn't land (%s) and couldn't be rescued anywhere - its audio is lost",
           job->folder, job->message);
}

// Writes the commit; the result is set on failure.
void save_commit_files(Job* job, SketchMeta* meta, const Tape* tape, int64_t frames) {
  const char* folder = job->folder;
  // Byte counts stay in range: a tape holds far fewer than INT64_MAX / 12 frames.
  if (fsys_make_folders(folder) != 0) return job_fail_write(job, folder, frames * (TAPE_FILE_FRAME_BYTES + WAV_FRAME_BYTES), "THE FOLDER");
  char tapePath[JOB_PATH_MAX + 1];
  if (!job_join(tapePath, folder, "tape.f32"))
    return job_fail_write(job, folder, frames * TAPE_FILE_FRAME_BYTES, "THE TAPE");

  meta->channels = 2;
  meta->lengthSamples = frames;
  const double metaRate = meta->sampleRate;
  if (tape->rate > 0 && tape->rate != meta->sampleRate) meta->sampleRate = tape->rate;

  // The side-car goes first: it carries the tape's rate in its header, so a crash that leaves a
  // new tape.f32 beside an old meta.json of another rate is told apart when the sketch opens.
  // It is a convenience copy; without it the sketch is still whole.
  const double scale = (double)(frames * (TAPE_FILE_FRAME_BYTES + WAV_FRAME_BYTES)) + 1.0;
  char wavName[JOB_SIDECAR_BYTES] = "";
  char wavPath[JOB_PATH_MAX + 1];
  job_progress_phase(job, 0, (double)(frames * WAV_FRAME_BYTES), scale);
  int rc = 0;
  if (!sidecar_name(meta, wavName, sizeof wavName) || !job_join(wavPath, folder, wavName) ||
      (rc = wav_write(wavPath, tape, 0, frames, 1.0f, &job->progress)) != 0) {
    if (rc == -3) return job_cancelled(job);
    log_line("save: the side-car %s didn't write - tape.f32 and meta.json still do", wavName);
  } else {
    job_copy_text(job->result_path, sizeof job->result_path, wavPath);
  }

  job_progress_phase(job, (double)(frames * WAV_FRAME_BYTES), (double)(frames * TAPE_FILE_FRAME_BYTES), scale);
  float peak = 0;
  rc = tape_save(tape, tapePath, frames, &peak, &job->progress);
  if (rc == -3) return job_cancelled(job);
  if (rc != 0) return job_fail_write(job, folder, frames * TAPE_FILE_FRAME_BYTES, "THE TAPE");
  job->peak = peak;
  if (meta->sampleRate != metaRate)
    log_line("save: %s said %.0f Hz but its tape runs at %.0f Hz - meta.json follows the tape",
             folder, metaRate, tape->rate);

  job_progress_phase(job, (double)(frames * (TAPE_FILE_FRAME_BYTES + WAV_FRAME_BYTES)), 1.0, scale);
  if (meta_save_folder(folder, meta) != 0) return job_fail_write(job, folder, kMiB, "META.JSON");
  job_progress_set(&job->progress, 1, 1);
  job->frames_out = frames;
}

}  // namespace

void job_save_commit(Job* job) {
  SketchMeta* meta = job->meta;
  const Tape* tape = job->tape;
  if (!meta || !tape || !job->folder[0]) return job_fail(job, "NOTHING TO SAVE");
  const int64_t frames = std::max<int64_t>(0, job->frames);
  save_commit_files(job, meta, tape, frames);
  if (job->result == JOB_FAILED && job->rescue) rescue_commit(job, meta, tape, frames);
}

// ---- SAVE_META: meta.json alone ----

void job_save_meta(Job* job) {
  SketchMeta* meta = job->meta;
  const char* folder = job->folder;
  if (!meta || !folder[0]) return job_fail(job, "NOTHING TO SAVE");
  char tapePath[JOB_PATH_MAX + 1];
  if (meta->channels < 2 && meta->lengthSamples > 0 && meta->lengthSamples <= INT64_MAX / TAPE_FILE_FRAME_BYTES &&
      job_join(tapePath, folder, "tape.f32") && file_size(tapePath) == meta->lengthSamples * TAPE_FILE_FRAME_BYTES) {
    log_line("save: %s - its tape.f32 is stereo now; meta.json says so", folder);
    meta->channels = 2;
  }
  if (meta_save_folder(folder, meta) != 0) return job_fail_write(job, folder, kMiB, "META.JSON");
}

// ---- LOAD_META ----

void job_load_meta(Job* job) {
  const char* folder = job->folder;
  if (!folder[0]) {
    log_line("jobs: LOAD_META without a folder");
    return job_fail(job, "NO META.JSON");
  }
  tmp_cleanup(folder);
  SketchMeta* meta = (SketchMeta*)calloc(1, sizeof(SketchMeta));
  if (!meta) return job_fail(job, "NOT ENOUGH MEMORY");
  bool dirty = false;
  char message[256] = "";
  MetaStatus status = meta_load_folder(folder, meta, &dirty, message, sizeof message);
  if (status == META_UNREADABLE || status == META_MISSING) {
    log_line("jobs: %s - %s", folder, message);
    meta_destroy(meta);
    char metaPath[JOB_PATH_MAX + 1];
    if (status == META_MISSING) return job_fail(job, "NO META.JSON");
    if (job_join(metaPath, folder, "meta.json") && file_size(metaPath) > META_JSON_MAX_BYTES)
      return job_fail(job, "META.JSON IS TOO LARGE - AUDIO IS SAFE");
    return job_fail(job, "COULDN'T READ - AUDIO IS SAFE");
  }
  if (status == META_REPAIRED)
    log_line("jobs: %s read with gaps (%s) - opened with defaults filled in", folder, message);
  int upgraded = meta_upgrade_strokes(meta);
  job->meta_out = meta;
  job->meta_dirty = dirty || upgraded > 0;
}

// ---- CLEAR_FILES: the audio of a sketch that is being emptied ----

void job_clear_files(Job* job) {
  const char* folder = job->folder;
  if (!folder[0]) return job_fail(job, "NOTHING TO CLEAR");
  bool ok = true;
  char path[JOB_PATH_MAX + 1];
  if (!job_join(path, folder, "tape.f32") || file_remove(path) != 0) ok = false;
  if (job->name[0]) {
    // Only a file of the sketch's own folder is ever deleted here.
    if (!is_plain_name(job->name)) {
      log_line("jobs: refused to delete %s - not a file of %s", job->name, folder);
      ok = false;
    } else if (!job_join(path, folder, job->name) || file_remove(path) != 0) {
      ok = false;
    }
  }
  if (!ok) job_fail(job, "CAN'T DELETE THE AUDIO");
}

// ---- DELETE_DIR: a whole sketch folder, and nothing that isn't one ----

void job_delete_dir(Job* job) {
  const char* folder = job->folder;
  if (!folder[0]) return job_fail(job, "NOTHING TO DELETE");
  if (path_attributes(folder) == PATH_ATTR_INVALID) return;
  char metaPath[JOB_PATH_MAX + 1];
  if (path_is_dir(folder) && job_join(metaPath, folder, "meta.json") && path_exists(metaPath) &&
      !path_is_dir(metaPath)) {
    if (tree_remove_guarded(folder) != 0) job_fail(job, "COULDN'T DELETE THE FOLDER");
    return;
  }
  log_line("jobs: REFUSED to delete %s - it has no meta.json, so it isn't a sketch", folder);
  job_fail(job, "NOT A SKETCH FOLDER");
}

// ---- RENAME: the name in meta.json, then the side-car follows ----

void job_rename(Job* job) {
  const char* folder = job->folder;
  if (!folder[0]) return job_fail(job, "NOTHING TO RENAME");
  SketchMeta loaded{};
  SketchMeta* meta = job->meta;
  if (!meta) {
    bool dirty = false;
    char message[256];
    if (meta_load_folder(folder, &loaded, &dirty, message, sizeof message) > META_REPAIRED) {
      meta_free(&loaded);
      return job_fail(job, "COULDN'T READ META.JSON");
    }
    meta = &loaded;
  }
  job_copy_text(meta->name, sizeof meta->name, job->name);
  char wavName[JOB_SIDECAR_BYTES] = "";
  char newPath[JOB_PATH_MAX + 1] = "";
  bool haveNew = sidecar_name(meta, wavName, sizeof wavName) && job_join(newPath, folder, wavName);

  if (meta_save_folder(folder, meta) != 0) {
    meta_free(&loaded);
    return job_fail_write(job, folder, kMiB, "META.JSON");
  }

  char oldPath[JOB_PATH_MAX + 1] = "";
  if (job->path2[0]) {
    if (has_separator(job->path2))
      job_copy_text(oldPath, sizeof oldPath, job->path2);
    else if (!job_join(oldPath, folder, job->path2))
      oldPath[0] = 0;
  }
  if (haveNew && oldPath[0] && strcmp(oldPath, newPath) != 0 && job_is_file(oldPath) &&
      file_move(oldPath, newPath) != 0)
    log_line("jobs: couldn't move %s to %s - the next commit writes the new side-car", oldPath,
             newPath);
  job_copy_text(job->result_path, sizeof job->result_path, newPath);
  meta_free(&loaded);
}

// ---- PATCH_SPECTRAL: a take's colours, computed after its sketch was saved ----

void job_patch_spectral(Job* job) {
  SketchMeta meta{};
  bool dirty = false;
  char message[256];
  if (!job->folder[0] ||
      meta_load_folder(job->folder, &meta, &dirty, message, sizeof message) > META_REPAIRED) {
    meta_free(&meta);
    return job_fail(job, "SKETCH NOT FOUND");
  }
  Layer* found = nullptr;
  for (int32_t i = 0; i < meta.layerCount && !found; i++) {
    if (layer_is(meta.layers[i], job->layer_start, job->layer_length, job->layer_created_at))
      found = meta.layers[i];
  }
  if (!found) {
    meta_free(&meta);
    return job_fail(job, "LAYER NOT FOUND");
  }
  if (!layer_spectral(found)) {
    // A freshly loaded layer refuses the values only when memory ran out.
    if (!layer_attach_spectral(found, job->spectral)) {
      meta_free(&meta);
      return job_fail(job, "NOT ENOUGH MEMORY");
    }
    if (meta_save_folder(job->folder, &meta) != 0) {
      meta_free(&meta);
      return job_fail_write(job, job->folder, kMiB, "META.JSON");
    }
  }
  meta_free(&meta);
}

// ---- WRITE_FILE: a prepared file such as kelp.ini ----

void job_write_file(Job* job) {
  if (!job->path[0] || (job->data_size > 0 && !job->data)) return job_fail(job, "NOTHING TO WRITE");
  char parent[JOB_PATH_MAX + 1];
  job_parent(parent, job->path);
  const int64_t needed = (int64_t)std::min<size_t>(job->data_size, INT64_MAX);
  if ((parent[0] && fsys_make_folders(parent) != 0) ||
      file_write_atomic(job->path, job->data, job->data_size) != 0)
    return job_fail_write(job, job->path, needed, path_base_name(job->path));
  job_copy_text(job->result_path, sizeof job->result_path, job->path);
}

// ---- COPY_FILE: a sketch's side-car WAV to somewhere else ----

void job_copy_file(Job* job) {
  const char* source = job->path;
  const char* dest = job->path2;
  if (!source[0] || !dest[0]) return job_fail(job, "NOTHING TO COPY");
  char parent[JOB_PATH_MAX + 1];
  job_parent(parent, dest);
  if (parent[0] && fsys_make_folders(parent) != 0) return job_fail_write(job, parent, kMiB, "THE FOLDER");

  const int64_t size = job_is_file(source) ? file_size(source) : -1;
  if (size < 0) {
    log_line("jobs: %s is missing - rebuilding it from tape.f32 for the copy", source);
    char from[JOB_PATH_MAX + 1];
    if (job->folder[0])
      job_copy_text(from, sizeof from, job->folder);
    else
      job_parent(from, source);
    int rc = wav_from_tape_file(&job->progress, from, dest);
    if (rc == -2) return job_fail(job, "NO AUDIO TO COPY");
    if (rc == -3) return job_cancelled(job);
    if (rc != 0) return job_fail_write(job, dest, kMiB, "THE COPY");
  } else {
    job_progress_phase(job, 0, (double)size, (double)size + 1.0);
    job_progress_set(&job->progress, 0, size);
    FsysFile in;
    if (fsys_open_read(source, &in) != 0) return job_fail(job, "CAN'T READ THE WAV");
    SafeWriter w{};
    safe_writer_open(&w, dest);
    int64_t copied = 0;
    bool cancelled = false, ok = !w.failed, inSystem = true;
    char* buffer = nullptr;  // only when the system can't copy by itself
    while (ok && copied < size) {
      if (job_progress_cancelled(&job->progress)) {
        cancelled = true;
        break;
      }
      uint64_t got = 0;
      if (inSystem) {
        int rc = safe_writer_copy(&w, in, (uint64_t)std::min<int64_t>(kCopyStep, size - copied), &got);
        if (rc == -2) {
          inSystem = false;
          continue;
        }
        if (rc != 0) ok = false;
      } else {
        if (!buffer && !(buffer = (char*)malloc(kCopyBlock))) {
          fsys_close(in);
          safe_writer_discard(&w);
          return job_fail(job, "NOT ENOUGH MEMORY");
        }
        size_t n = 0;
        if (fsys_read(in, buffer, kCopyBlock, &n) != 0) break;
        if (n > 0 && safe_writer_write(&w, buffer, n) != 0) ok = false;
        got = n;
      }
      if (got == 0) break;
      copied += (int64_t)got;
      job->progress.done.store(copied, std::memory_order_relaxed);
    }
    int64_t sizeNow = -1;
    if (copied == size && fsys_size(in, &sizeNow) == 0 && sizeNow != size) copied = -1;
    fsys_close(in);
    free(buffer);
    // A source that grew or shrank while it was read is not the file that was asked for.
    if (cancelled || !ok || copied != size) {
      safe_writer_discard(&w);
      if (cancelled) return job_cancelled(job);
      return job_fail_write(job, dest, size, "THE COPY");
    }
    if (safe_writer_commit(&w) != 0) return job_fail_write(job, dest, size, "THE COPY");
  }
  job_copy_text(job->result_path, sizeof job->result_path, dest);
}
