// The audio kinds: loading the open sketch's tapes (with the legacy mono upgrade and resampling
// to the device's rate), exports, library previews, and the take analyses.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/analysis.h"
#include "core/tape.h"
#include "platform/fsys.h"
#include "store/filenames.h"
#include "store/files.h"
#include "store/jobs.h"
#include "store/jobs_internal.h"
#include "base/log.h"
#include "store/meta.h"
#include "store/tapefile.h"
#include "store/wav.h"

namespace {

constexpr double kFallbackRate = 44100.0;
constexpr double kTapeMinutes = 1440.0;
constexpr int32_t kTapePool = 4;
constexpr int64_t kPreviewBlockFrames = 65536;
constexpr int64_t kMiBytes = 1 << 20;

// A tape with room for frames at rate: a day, or the frames plus an hour when longer.
double minutes_for(int64_t frames, double rate) {
  return std::max(kTapeMinutes, (double)frames / rate / 60.0 + 60.0);
}


// "44.1K", "48K", "22.05K".
void rate_label(double rate, char* out, size_t size) {
  char num[64];
  snprintf(num, sizeof num, "%.2f", rate / 1000.0);
  if (strchr(num, '.')) {
    size_t n = strlen(num);
    while (n > 0 && num[n - 1] == '0') num[--n] = 0;
    if (n > 0 && num[n - 1] == '.') num[--n] = 0;
  }
  snprintf(out, size, "%sK", num);
}

bool sidecar_path(const SketchMeta* meta, const char* folder, char* out) {
  char title[META_NAME_MAX * 2 + 64];
  char name[JOB_SIDECAR_BYTES];
  meta_title(meta, title, sizeof title);
  return sidecar_wav_name(title, name, sizeof name) == 0 && name[0] && job_join(out, folder, name);
}

// Rewrites a legacy mono tape.f32 as stereo, with its side-car and meta.json following. True once
// tape.f32 on disk is stereo.
bool upgrade_mono(Job* job, const Tape* tape, const char* tapePath, double base, double scale) {
  const char* folder = job->folder;
  SketchMeta meta{};
  bool dirty = false;
  char message[256];
  if (meta_load_folder(folder, &meta, &dirty, message, sizeof message) > META_REPAIRED) {
    log_line("jobs: %s stays mono on disk - its meta.json can't be read to follow the upgrade",
             folder);
    meta_free(&meta);
    return false;
  }
  const int64_t frames = tape_length(tape);
  job_progress_phase(job, base, (double)(frames * TAPE_FILE_FRAME_BYTES), scale);
  if (tape_save(tape, tapePath, frames, nullptr, &job->progress) != 0) {
    log_line("jobs: %s - couldn't rewrite tape.f32 as stereo; it stays mono on disk", folder);
    meta_free(&meta);
    return false;
  }
  char wavPath[JOB_PATH_MAX + 1];
  job_progress_phase(job, base + (double)(frames * TAPE_FILE_FRAME_BYTES), (double)(frames * WAV_FRAME_BYTES), scale);
  if (!sidecar_path(&meta, folder, wavPath) ||
      wav_write(wavPath, tape, 0, frames, 1.0f, &job->progress) != 0)
    log_line("jobs: %s - the side-car WAV didn't write during the stereo upgrade", folder);
  meta.channels = 2;
  meta.lengthSamples = frames;
  if (meta_save_folder(folder, &meta) == 0)
    log_line("jobs: %s upgraded from legacy mono to stereo", folder);
  else
    log_line(
        "jobs: %s - tape.f32 is stereo but meta.json didn't save; the next open reads it "
        "right anyway",
        folder);
  meta_free(&meta);
  return true;
}

// Ends a job whose tape_resample gave nothing: cancelled when asked to, else out of memory.
void resample_failed(Job* job) {
  if (job_progress_cancelled(&job->progress))
    job_cancelled(job);
  else
    job_fail(job, "NOT ENOUGH MEMORY");
}

}  // namespace

// ---- LOAD_TAPE: the open sketch's main tape and an empty capture tape ----

namespace {

constexpr int64_t kResampleDiskMargin = kMiBytes;  // meta.json

// The rate tape.f32 holds. meta.json says rate, but a commit that changed the rate (a resample on
// open) and was cut short between tape.f32 and meta.json leaves a new tape beside the old meta
// (whose length the reader has already taken from the tape). Such a commit wrote its side-car
// first, from the same tape: a side-car of another rate holding exactly the tape's frames names
// the tape's true rate. Side-car headers hold whole hertz, hence the tolerance.
double tape_rate_on_disk(const Job* job, double rate, int64_t fileFrames) {
  if (fileFrames <= 0 || !job->name[0]) return rate;
  char wavPath[JOB_PATH_MAX + 1];
  double wavRate = 0;
  int64_t wavFrames = 0;
  if (!job_join(wavPath, job->folder, job->name) ||
      wav_sidecar_info(wavPath, &wavRate, &wavFrames) != 0)
    return rate;
  if (std::fabs(wavRate - rate) <= 1.0 || wavFrames != std::min(fileFrames, WAV_MAX_FRAMES))
    return rate;
  if (!meta_rate_usable(wavRate)) return rate;
  log_line("jobs: %s - tape.f32 runs at %.0f Hz though meta.json says %.0f Hz (a save was cut "
           "short) - read at %.0f Hz",
           job->folder, wavRate, rate, wavRate);
  return wavRate;
}

// A side-car left behind by a save that was cut short (shorter than the tape, or of another rate)
// is written again from the tape that was just read.
void refresh_sidecar(Job* job, const Tape* tape) {
  char wavPath[JOB_PATH_MAX + 1];
  if (!job->name[0] || !job_join(wavPath, job->folder, job->name)) return;
  double wavRate = 0;
  int64_t wavFrames = 0;
  if (wav_sidecar_info(wavPath, &wavRate, &wavFrames) != 0) return;  // none, or not ours
  const int64_t frames = std::min(tape_length(tape), WAV_MAX_FRAMES);
  if (wavFrames == frames && std::fabs(wavRate - std::round(tape->rate)) <= 0.5) return;
  if (wav_write(wavPath, tape, 0, frames, 1.0f, nullptr) == 0)
    log_line("jobs: %s - the side-car held %lld frames at %.0f Hz, the tape %lld at %.0f Hz - "
             "written again",
             job->folder, (long long)wavFrames, wavRate, (long long)frames, tape->rate);
}

}  // namespace

void job_load_tape(Job* job) {
  const char* folder = job->folder;
  double rate = job->sample_rate > 0 ? job->sample_rate : kFallbackRate;
  const double target = job->target_rate > 0 ? job->target_rate : rate;
  const bool mono = job->mono;
  char tapePath[JOB_PATH_MAX + 1];
  if (!folder[0] || !job_join(tapePath, folder, "tape.f32"))
    return job_fail(job, "COULDN'T READ THE TAPE");
  if (!meta_rate_usable(rate) || !meta_rate_usable(target)) {
    log_line("jobs: %s - a tape at %.0f Hz for a stream at %.0f Hz is no real recording", folder,
             rate, target);
    return job_fail(job, "DAMAGED - ITS SAMPLE RATE IS %.0f HZ", rate);
  }

  const int64_t found = file_size(tapePath);
  const int64_t size = std::max<int64_t>(found, 0);
  const int64_t fileFrames = size / (mono ? 4 : 8);
  if (!mono) rate = tape_rate_on_disk(job, rate, fileFrames);
  job->tape_rate = rate;
  const bool resampling = fileFrames > 0 && target != rate;
  const int64_t resampledFrames =
      resampling ? (int64_t)std::llround((double)fileFrames * target / rate) : 0;
  const double scale = (mono ? (double)(fileFrames * (TAPE_FILE_FRAME_BYTES + WAV_FRAME_BYTES)) : 0.0) +
                       (resampling ? (double)resampledFrames * 16.0 : 0.0) +
                       std::max(1.0, (double)size + 1.0);
  // The resampled tape is committed again at once: tape.f32 and its side-car written anew
  // beside the old ones.
  if (resampling && disk_too_full(folder, resampledFrames * (TAPE_FILE_FRAME_BYTES + WAV_FRAME_BYTES) + kResampleDiskMargin)) {
    log_line("jobs: %s - no room to resample %lld frames to %.0f Hz", folder,
             (long long)fileFrames, target);
    return job_fail(job, "DISK FULL - CAN'T RESAMPLE");
  }

  Tape* tape = nullptr;
  float loadedPeak = 0.0f;  // of the tape as loaded, until a resample replaces it
  if (fileFrames == 0) {
    if (found < 0 && job->frames > 0)
      log_line("jobs: %s has no tape.f32 - it opens silent", folder);
    tape = tape_new_ready(target, kTapeMinutes, kTapePool);
    if (!tape) return job_fail(job, "NOT ENOUGH MEMORY");
  } else {
    tape = tape_new(rate, minutes_for(fileFrames, rate), kTapePool);
    if (!tape) return job_fail(job, "NOT ENOUGH MEMORY");
    job_progress_phase(job, 0, (double)size, scale);
    int rc = tape_load(tape, tapePath, mono, &job->progress, &loadedPeak);
    if (rc != 0) {
      tape_free(tape);
      if (rc == -3) return job_cancelled(job);
      return job_fail(job, rc == -2 ? "NOT ENOUGH MEMORY" : "COULDN'T READ THE TAPE");
    }
    double doneSoFar = (double)size;
    if (mono) {
      // A sketch nobody waits for any more is not rewritten.
      if (job_progress_cancelled(&job->progress)) {
        tape_free(tape);
        return job_cancelled(job);
      }
      job->upgraded = upgrade_mono(job, tape, tapePath, doneSoFar, scale);
      doneSoFar += (double)(fileFrames * (TAPE_FILE_FRAME_BYTES + WAV_FRAME_BYTES));
    } else if (!resampling) {
      refresh_sidecar(job, tape);
    }
    if (resampling) {
      char from[32], to[32];
      rate_label(rate, from, sizeof from);
      rate_label(target, to, sizeof to);
      job_set_label(job, "RESAMPLING %s → %s…", from, to);
      job_progress_phase(job, doneSoFar, (double)resampledFrames * 16.0, scale);
      Tape* resampled = tape_resample(tape, target, &job->progress);
      tape_free(tape);
      if (!resampled) return resample_failed(job);
      tape = resampled;
      job->resampled = true;
      job->rate_ratio = target / rate;
    }
  }
  const int64_t length = tape_length(tape);
  job->peak = resampling ? tape_peak(tape, 0, length) : loadedPeak;
  job->tape_out2 = tape_new_ready(target, kTapeMinutes, kTapePool);
  if (!job->tape_out2) {
    tape_free(tape);
    return job_fail(job, "NOT ENOUGH MEMORY");
  }
  job->tape_out = tape;
  job->frames_out = length;
}

// ---- EXPORT_WAV: a range of the tape as a WAV, normalised on request ----

void job_export_wav(Job* job) {
  const Tape* tape = job->tape;
  if (!tape || !job->path[0]) return job_fail(job, "NOTHING TO EXPORT");
  const int64_t length = tape_length(tape);
  const int64_t start = std::clamp<int64_t>(job->range_start, 0, length);
  const int64_t end = std::min(job->range_end, length);
  if (end <= start) return job_fail(job, "NOTHING TO EXPORT");
  const int64_t frames = end - start;
  const float peak = tape_peak(tape, start, end);
  const float gain = job->normalize && peak > 0.0001f ? std::min(64.0f, 0.89f / peak) : 1.0f;

  char parent[JOB_PATH_MAX + 1];
  job_parent(parent, job->path);
  if (parent[0] && fsys_make_folders(parent) != 0)
    return job_fail_write(job, parent, frames * WAV_FRAME_BYTES, "THE EXPORTS FOLDER");
  job_progress_phase(job, 0, (double)(frames * WAV_FRAME_BYTES), (double)(frames * WAV_FRAME_BYTES) + 1.0);
  int rc = wav_write(job->path, tape, start, end, gain, &job->progress);
  if (rc == -3) return job_cancelled(job);
  if (rc != 0) return job_fail_write(job, job->path, frames * WAV_FRAME_BYTES, "THE WAV");
  job_copy_text(job->result_path, sizeof job->result_path, job->path);
  job->peak = peak;
  job->frames_out = std::min(frames, WAV_MAX_FRAMES);
}

// ---- LOAD_PREVIEW: a library card's audio, from its side-car or else from tape.f32 ----

namespace {

// A tape holding decoded audio: the first two channels, a mono file on both sides. 0, -1 when
// the audio's rate can't make a tape, -2 out of memory.
int tape_from_decoded(Job* job, const DecodedAudio* audio, double base, double span, double scale,
                      Tape** out) {
  *out = nullptr;
  // A rate no recording has would only be resampled into something enormous.
  if (!meta_rate_usable(audio->rate) || audio->rate > TAPE_RATE_MAX) return -1;
  const int64_t frames = std::max<int64_t>(audio->frames, 0);
  Tape* tape = tape_new(audio->rate, minutes_for(frames, audio->rate), 0);
  if (!tape) return -2;
  if (frames > 0 && tape_ensure(tape, frames - 1) != 0) {
    tape_free(tape);
    return -2;
  }
  std::vector<float> block;
  block.resize((size_t)std::min(frames, kPreviewBlockFrames) * 2);
  const int32_t ch = std::max(audio->channels, 1);
  job_progress_phase(job, base, span, scale);
  job_progress_set(&job->progress, 0, frames);
  for (int64_t at = 0; at < frames; at += kPreviewBlockFrames) {
    const int64_t n = std::min(kPreviewBlockFrames, frames - at);
    const float* s = audio->samples + at * ch;
    for (int64_t i = 0; i < n; i++) {
      block[2 * i] = s[i * ch];
      block[2 * i + 1] = ch > 1 ? s[i * ch + 1] : s[i * ch];
    }
    if (tape_write(tape, at, block.data(), n) != 0) {
      tape_free(tape);
      return -2;
    }
    job->progress.done.store(at + n, std::memory_order_relaxed);
  }
  *out = tape;
  return 0;
}

// The preview's WAV: folder/name when that is a file, else the first ".wav" in the folder.
bool preview_wav(const Job* job, char* out) {
  if (job->name[0]) return job_join(out, job->folder, job->name) && job_is_file(out);
  char names[4][LIST_FILE_BYTES];
  int n = list_files_with_suffix(job->folder, ".wav", names, 4);
  for (int i = 0; i < n; i++)
    if (job_join(out, job->folder, names[i]) && job_is_file(out)) return true;
  return false;
}

}  // namespace

void job_load_preview(Job* job) {
  const char* folder = job->folder;
  if (!folder[0]) return job_fail(job, "NO AUDIO");
  Tape* tape = nullptr;

  char wavPath[JOB_PATH_MAX + 1];
  if (preview_wav(job, wavPath)) {
    const double size = (double)std::max<int64_t>(file_size(wavPath), 0);
    const double scale = size * 3.0 + 1.0;
    job_progress_phase(job, 0, size, scale);
    DecodedAudio audio{};
    char message[256] = "";
    int rc = wav_read(wavPath, &audio, &job->progress, message, sizeof message);
    int made = 0;
    if (rc == 0) made = tape_from_decoded(job, &audio, size, size * 2.0, scale, &tape);
    decoded_audio_free(&audio);
    if (rc == -3) return job_cancelled(job);
    if (made == -2) return job_fail(job, "NOT ENOUGH MEMORY");
    if (made == -1) snprintf(message, sizeof message, "its rate can't make a tape");
    if (rc != 0 || made != 0)
      log_line("jobs: preview of %s - %s; trying tape.f32", folder, message);
  }

  if (!tape) {
    SketchMeta meta{};
    bool dirty = false;
    char message[256];
    MetaStatus status = meta_load_folder(folder, &meta, &dirty, message, sizeof message);
    const bool mono = meta.channels < 2;
    const double rate = meta.sampleRate > 0 ? meta.sampleRate : kFallbackRate;
    meta_free(&meta);
    char tapePath[JOB_PATH_MAX + 1];
    const int64_t size = job_join(tapePath, folder, "tape.f32") ? file_size(tapePath) : -1;
    if (status > META_REPAIRED || size <= 0) return job_fail(job, "NO AUDIO");
    const int64_t frames = size / (mono ? 4 : 8);
    tape = tape_new(rate, minutes_for(frames, rate), 0);
    if (!tape) return job_fail(job, "NOT ENOUGH MEMORY");
    job_progress_phase(job, 0, (double)size, (double)size * 2.0 + 1.0);
    int rc = tape_load(tape, tapePath, mono, &job->progress);
    if (rc != 0) {
      tape_free(tape);
      if (rc == -3) return job_cancelled(job);
      return job_fail(job, rc == -2 ? "NOT ENOUGH MEMORY" : "COULDN'T READ THE TAPE");
    }
  }

  if (tape_length(tape) <= 0) {
    tape_free(tape);
    return job_fail(job, "NO AUDIO");
  }
  if (job->target_rate > 0 && job->target_rate != tape->rate) {
    Tape* resampled = tape_resample(tape, job->target_rate, &job->progress);
    tape_free(tape);
    if (!resampled) return resample_failed(job);
    tape = resampled;
  }
  job->tape_out = tape;
  job->frames_out = tape_length(tape);
}

// ---- SPECTRAL and HOP_LEVELS: a take's colours and strokes from the capture tape ----

void job_spectral(Job* job) {
  const Tape* tape = job->tape;
  if (!tape) return job_fail(job, "NO CAPTURE");
  const double rate = job->sample_rate > 0 ? job->sample_rate : tape->rate;
  job_progress_phase(job, 0, 1, 1);
  const char* message = nullptr;
  int rc = analysis_spectral_map(tape, rate, job->range_start, job->range_end, &job->progress,
                                 job->spectral_out, &message);
  if (rc == -3) return job_cancelled(job);
  if (rc != 0) job_fail(job, "%s", message ? message : "ANALYSIS FAILED");
}

void job_hop_levels(Job* job) {
  const Tape* tape = job->tape;
  if (!tape) return job_fail(job, "NO CAPTURE");
  // A hop that was given but makes no sense measures nothing (0 means: from the rate).
  if (job->hop < 0) return;
  float* levels = nullptr;
  int32_t count = 0;
  const char* message = nullptr;
  int rc = analysis_hop_levels(tape, job->range_start, job->range_end, job->hop, job->sample_rate,
                               &levels, &count, &message);
  if (rc != 0) return job_fail(job, "%s", message ? message : "ANALYSIS FAILED");
  free(job->levels);
  job->levels = levels;
  job->level_count = count;
  if (job_progress_cancelled(&job->progress)) job_cancelled(job);
}
