#include "store/import.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/tape.h"
#include "platform/fsys.h"
#include "store/filenames.h"
#include "store/files.h"
#include "store/jobs.h"
#include "store/json.h"
#include "base/log.h"
#include "store/meta.h"
#include "base/progress.h"
#include "store/tapefile.h"
#include "store/wav.h"
#include "base/text.h"

namespace {


// The extension after the last '.' of the file name, or null when it has none.
const char* extension_of(const char* path) {
  const char* dot = strrchr(path_base_name(path), '.');
  return dot ? dot + 1 : nullptr;
}

bool ascii_iequal(const char* a, const char* b) {
  for (; *a && *b; a++, b++) {
    char x = (*a >= 'A' && *a <= 'Z') ? (char)(*a + 32) : *a;
    if (x != *b) return false;
  }
  return *a == *b;
}

bool is_wav(const char* path) {
  const char* ext = extension_of(path);
  return ext && ascii_iequal(ext, "wav");
}

void say(char* message, size_t size, const char* text) {
  if (message && size) snprintf(message, size, "%s", text);
}

// The failure text of a write that didn't happen: "DISK FULL" when the volume lacks the room,
// else what couldn't be written.
void fail_write(Job* job, const char* where, int64_t needed, const char* what) {
  if (disk_too_full(where, needed)) {
    job_fail(job, "DISK FULL");
  } else {
    job_fail(job, "CAN'T WRITE %s", what);
  }
}

// What a job leaves behind while it runs; released on every way out.
struct ImportWork {
  DecodedAudio audio{};
  SketchMeta* meta = nullptr;
  Tape* tape = nullptr;
  float* block = nullptr;  // one block of mixed stereo frames
  char folder[PATH_UTF8_MAX + 1] = {};
  bool made_folder = false;

  ~ImportWork() {
    free(block);
    decoded_audio_free(&audio);
    if (meta) meta_destroy(meta);
    tape_free(tape);
    // Nothing half-made stays in the library.
    if (made_folder) tree_remove_guarded(folder);
  }
};

int cancelled(Job* job) {
  job->result = JOB_CANCELLED;
  return -3;
}

}  // namespace

bool import_extension_accepted(const char* path) {
  if (!path) return false;
  const char* ext = extension_of(path);
  if (!ext) return false;
  for (const char* ok : {"wav", "mp3", "m4a", "aac", "flac", "wma"})
    if (ascii_iequal(ext, ok)) return true;
  return false;
}

size_t import_sketch_name(const char* path, char* out, size_t size) {
  if (!out || size == 0) return 0;
  out[0] = 0;
  if (!path) return 0;
  const char* base = path_base_name(path);
  const char* dot = strrchr(base, '.');
  size_t n = (dot && dot != base) ? (size_t)(dot - base) : strlen(base);
  // File names on this system are bytes; the name is shown and written as UTF-8.
  size_t fixedLength = 0;
  char* fixed = text_utf8_repair(base, n, &fixedLength, nullptr);
  if (!fixed) return 0;
  size_t limit = std::min<size_t>(IMPORT_NAME_MAX, size - 1);
  text_utf8_cut(fixed, limit);
  size_t len = strlen(fixed);
  memcpy(out, fixed, len + 1);
  free(fixed);
  return len;
}

int decode_audio_file(const char* path, DecodedAudio* out, JobProgress* progress, char* message,
                      size_t messageSize) {
  if (out) *out = DecodedAudio{};
  if (!path || !out || !import_extension_accepted(path)) {
    say(message, messageSize, IMPORT_REFUSED);
    return -2;
  }
  if (!is_wav(path)) return decode_with_platform_decoder(path, out, progress, message, messageSize);
  // A pipe or device named like a WAV would hold the IO worker in open() for good.
  FsysInfo info;
  if (fsys_info(path, &info) == 0 && info.target_kind == FSYS_OTHER) {
    log_line("decode: %s isn't a regular file", path);
    say(message, messageSize, IMPORT_REFUSED);
    return -2;
  }
  char reason[256] = "";
  int rc = wav_read(path, out, progress, reason, sizeof reason);
  if (rc == 0 && !meta_rate_usable(out->rate)) {
    // Opening would resample it to the device's rate: a few kilobytes at 1 Hz become gigabytes.
    log_line("decode: %s is at %g Hz - not a recording's rate", path, out->rate);
    decoded_audio_free(out);
    *out = DecodedAudio{};
    say(message, messageSize, IMPORT_RATE_REFUSED);
    return -2;
  }
  if (rc != -2) {
    say(message, messageSize, reason);
    return rc;
  }
  log_line("decode: %s - %s; trying FFmpeg", path, reason);
  return decode_with_platform_decoder(path, out, progress, message, messageSize);
}

int import_waveform(const double* sums, int64_t frames, float* out96) {
  if (!sums || !out96 || frames <= 0) return 0;
  const int64_t bucket = std::max<int64_t>(1, frames / IMPORT_WAVEFORM_POINTS);
  const int64_t bins = std::min<int64_t>(IMPORT_WAVEFORM_POINTS, (frames + bucket - 1) / bucket);
  float top = 0;
  for (int64_t k = 0; k < bins; k++) {
    int64_t count = std::min((k + 1) * bucket, frames) - k * bucket;
    out96[k] = count > 0 ? (float)(sums[k] / (double)count) : 0.0f;
    top = std::max(top, out96[k]);
  }
  if (top > 0)
    for (int64_t k = 0; k < bins; k++) out96[k] /= top;
  return (int)bins;
}

int import_audio_job(Job* job) {
  if (!job) return -1;
  if (!job->path[0] || !job->folder[0]) {
    job_fail(job, "%s", IMPORT_REFUSED);
    return -1;
  }
  const char* file = job->path;
  ImportWork w;

  // Decode the whole file.
  job_progress_phase(job, 0, 600000, 1000000);
  char reason[256] = "";
  int rc = decode_audio_file(file, &w.audio, &job->progress, reason, sizeof reason);
  if (rc == -3) return cancelled(job);
  const DecodedAudio& a = w.audio;
  if (rc == 0 && (a.frames <= 0 || a.channels <= 0 || !a.samples || !(a.rate > 0))) {
    snprintf(reason, sizeof reason, "decoded to nothing");
    rc = -2;
  } else if (rc == 0 && (!meta_rate_usable(a.rate) || a.rate > TAPE_RATE_MAX)) {
    snprintf(reason, sizeof reason, "%s", IMPORT_RATE_REFUSED);
    rc = -2;
  }
  if (rc != 0) {
    const bool badRate = strcmp(reason, IMPORT_RATE_REFUSED) == 0;
    const char* why = reason[0] ? reason : "unreadable";
    if (badRate) why = "its sample rate isn't a recording's";
    log_line("import: %s - %s", file, why);
    job_fail(job, "%s", badRate ? IMPORT_RATE_REFUSED : IMPORT_REFUSED);
    return -1;
  }
  const int64_t frames = a.frames;
  const double rate = a.rate;
  const int32_t channels = a.channels;

  // The sketch and its tape, at the file's own rate.
  w.meta = static_cast<SketchMeta*>(calloc(1, sizeof(SketchMeta)));
  if (!w.meta) {
    job_fail(job, "NOT ENOUGH MEMORY");
    return -1;
  }
  meta_new(w.meta, rate);
  import_sketch_name(file, w.meta->name, sizeof w.meta->name);
  double minutes = std::max(1440.0, (double)frames / rate / 60.0 + 60.0);
  w.tape = tape_new(rate, minutes, 0);
  if (!w.tape || tape_ensure(w.tape, frames - 1) != 0) {
    job_fail(job, "NOT ENOUGH MEMORY");
    return -1;
  }

  // Mix to one channel, centred on both sides of the tape, summing the waveform as it goes.
  job_progress_phase(job, 600000, 50000, 1000000);
  job_progress_set(&job->progress, 0, frames);
  w.block = static_cast<float*>(malloc(sizeof(float) * 2 * IMPORT_BLOCK_FRAMES));
  if (!w.block) {
    job_fail(job, "NOT ENOUGH MEMORY");
    return -1;
  }
  float* block = w.block;
  double sums[IMPORT_WAVEFORM_POINTS] = {};
  const int64_t bucket = std::max<int64_t>(1, frames / IMPORT_WAVEFORM_POINTS);
  const float scale = channels > 1 ? 1.0f / (float)channels : 1.0f;
  for (int64_t at = 0; at < frames; at += IMPORT_BLOCK_FRAMES) {
    if (job_progress_cancelled(&job->progress)) return cancelled(job);
    const int64_t n = std::min<int64_t>(IMPORT_BLOCK_FRAMES, frames - at);
    const float* src = a.samples + (size_t)at * (size_t)channels;
    for (int64_t i = 0; i < n; i++) {
      float m;
      if (channels == 1) {
        m = src[i];
      } else {
        float s = 0;
        for (int32_t c = 0; c < channels; c++) s += src[(size_t)i * channels + c];
        m = s * scale;
      }
      // A NaN or infinite sample (a damaged float file) would poison playback: silence it.
      if (!std::isfinite(m)) m = 0.0f;
      block[(size_t)i * 2] = m;
      block[(size_t)i * 2 + 1] = m;
      int64_t bin = (at + i) / bucket;
      if (bin < IMPORT_WAVEFORM_POINTS) sums[bin] += std::fabs(m);
    }
    if (tape_write(w.tape, at, block, n) != 0) {
      job_fail(job, "NOT ENOUGH MEMORY");
      return -1;
    }
    job->progress.done.store(at + n, std::memory_order_relaxed);
  }
  decoded_audio_free(&w.audio);
  free(w.block);
  w.block = nullptr;

  float wave[IMPORT_WAVEFORM_POINTS];
  int points = import_waveform(sums, frames, wave);

  // The sketch folder, named by the new id.
  if (path_join(w.folder, sizeof w.folder, job->folder, w.meta->id) < 0) {
    log_line("import: %s - the library folder's path is too long", file);
    fail_write(job, job->folder, frames * (TAPE_FILE_FRAME_BYTES + WAV_FRAME_BYTES), "THE FOLDER");
    return -1;
  }
  bool existed = path_exists(w.folder);
  if (existed || fsys_make_folders(w.folder) != 0) {
    // A fresh id naming a folder that is already there is never written over.
    if (existed) log_line("import: %s already exists - not touched", w.folder);
    fail_write(job, job->folder, frames * (TAPE_FILE_FRAME_BYTES + WAV_FRAME_BYTES), "THE FOLDER");
    return -1;
  }
  w.made_folder = true;

  char target[PATH_UTF8_MAX + 1];
  job_progress_phase(job, 650000, 200000, 1000000);
  if (path_join(target, sizeof target, w.folder, "tape.f32") < 0) {
    fail_write(job, w.folder, frames * TAPE_FILE_FRAME_BYTES, "THE TAPE");
    return -1;
  }
  rc = tape_save(w.tape, target, frames, nullptr, &job->progress);
  if (rc == -3) return cancelled(job);
  if (rc != 0) {
    fail_write(job, w.folder, frames * TAPE_FILE_FRAME_BYTES, "THE TAPE");
    return -1;
  }

  // The side-car, named as the library names it (a 96-byte name), so its card finds it.
  job_progress_phase(job, 850000, 140000, 1000000);
  char title[META_NAME_MAX + 1];
  char sidecar[96];
  meta_title(w.meta, title, sizeof title);
  if (sidecar_wav_name(title, sidecar, sizeof sidecar) != 0 ||
      path_join(target, sizeof target, w.folder, sidecar) < 0) {
    fail_write(job, w.folder, frames * WAV_FRAME_BYTES, "THE WAV");
    return -1;
  }
  rc = wav_write(target, w.tape, 0, frames, 1.0f, &job->progress);
  if (rc == -3) return cancelled(job);
  if (rc != 0) {
    fail_write(job, w.folder, frames * WAV_FRAME_BYTES, "THE WAV");
    return -1;
  }

  w.meta->lengthSamples = frames;
  w.meta->channels = 2;
  if (points > 0) {
    w.meta->waveform = static_cast<float*>(malloc(sizeof(float) * (size_t)points));
    if (!w.meta->waveform) {
      job_fail(job, "NOT ENOUGH MEMORY");
      return -1;
    }
    memcpy(w.meta->waveform, wave, sizeof(float) * (size_t)points);
    w.meta->waveformCount = points;
  }
  job_progress_phase(job, 990000, 10000, 1000000);
  if (meta_save_folder(w.folder, w.meta) != 0) {
    fail_write(job, w.folder, 1 << 20, "META.JSON");
    return -1;
  }

  log_line("import: %s -> %s (%lld frames at %.0f Hz)", file, w.folder, (long long)frames, rate);
  snprintf(job->result_id, sizeof job->result_id, "%s", w.meta->id);
  snprintf(job->result_path, sizeof job->result_path, "%s", w.folder);
  job->frames_out = frames;
  if (job->meta_out) meta_destroy(job->meta_out);
  job->meta_out = w.meta;
  w.meta = nullptr;
  w.made_folder = false;
  job->result = JOB_DONE;
  return 0;
}
