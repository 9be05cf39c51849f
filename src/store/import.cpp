#include "store/import.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/tape.h"
#include "platform/fsys.h"
#include "platform/thread.h"
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

int cancelled(Job* job) {
  job->result = JOB_CANCELLED;
  return -3;
}

// Refuses a WAV whose rate no recording has before any of its audio (our reader takes any rate),
// and tells whether the reader got as far as the audio.
struct RateGate {
  AudioSink sink;
  AudioSink* next;
  const char* path;
  bool started;
  bool refused;
};

int gate_start(AudioSink* sink, int32_t channels, double rate, int64_t expected) {
  RateGate* g = static_cast<RateGate*>(sink->user);
  g->started = true;
  if (!meta_rate_usable(rate)) {
    // Opening would resample it to the device's rate: a few kilobytes at 1 Hz become gigabytes.
    log_line("decode: %s is at %g Hz - not a recording's rate", g->path, rate);
    g->refused = true;
    say(sink->reason, sizeof sink->reason, IMPORT_RATE_REFUSED);
    return -2;
  }
  int rc = g->next->start(g->next, channels, rate, expected);
  if (rc != 0) say(sink->reason, sizeof sink->reason, g->next->reason);
  return rc;
}

int gate_block(AudioSink* sink, const AudioBlock* b) {
  RateGate* g = static_cast<RateGate*>(sink->user);
  int rc = g->next->block(g->next, b);
  if (rc != 0) say(sink->reason, sizeof sink->reason, g->next->reason);
  return rc;
}

// What stopped an import inside its sink, for the job's message.
enum ImportFailure { FAIL_NONE, FAIL_MEMORY, FAIL_FOLDER, FAIL_TAPE, FAIL_WAV };

constexpr int64_t kScratchSamples = 16384;
// Frames between the writer's flushes to the disk (32 MiB of tape.f32).
constexpr int64_t kSyncFrames = TAPE_FILE_BLOCK_FRAMES * 32;

// The import's sink: mixes each block to one channel, lays it centred on both channels of the
// tape and, for a job, appends it to tape.f32 and the side-car as it comes. The files are written
// from the tape on a thread of their own, so that the system's copying into them (as long as the
// decode, on this machine) goes on beside the decode rather than after it. Everything it holds is
// released on every way out, and nothing half-made stays in the library.
struct ImportSink {
  AudioSink sink{};
  Job* job = nullptr;  // null: onto the tape only, no files
  const char* file = nullptr;
  int64_t file_bytes = 0;
  int32_t channels = 0;
  double rate = 0;
  int64_t expected = 0;
  int64_t frames = 0;        // mixed onto the tape so far
  int64_t piece = 0;         // frames converted to floats at a time
  float* mixed = nullptr;    // IMPORT_BLOCK_FRAMES stereo frames
  float* scratch = nullptr;  // piece frames of the file's own channels
  Tape* tape = nullptr;
  SketchMeta* meta = nullptr;
  char folder[PATH_UTF8_MAX + 1] = {};
  char tape_path[PATH_UTF8_MAX + 1] = {};
  bool made_folder = false;
  bool writing = false;  // tape.f32 and the side-car are open
  SafeWriter tape_file{};
  WavStream wav{};
  int64_t written = 0;  // frames in both files; the writer's while it runs
  ImportFailure failure = FAIL_NONE;

  // The writer thread follows ready, the frames on the tape it may take. Without it (it couldn't
  // start) the files are written here, between blocks.
  PlatformThread* writer = nullptr;
  std::mutex lock;
  std::condition_variable wake;
  std::atomic<int64_t> ready{0};
  bool finishing = false;  // under lock: no more frames come; stopping: and those there don't count
  bool stopping = false;
  std::atomic<int> writer_failure{FAIL_NONE};

  ~ImportSink() {
    writer_stop(true);
    discard_files();
    free(mixed);
    free(scratch);
    if (meta) meta_destroy(meta);
    tape_free(tape);
    if (made_folder) tree_remove_guarded(folder);
  }
  // Tells the writer no more frames come: it writes those there and ends, or ends at once when
  // dropping them.
  void writer_release(bool drop) {
    if (!writer) return;
    {
      std::lock_guard<std::mutex> lk(lock);
      ready.store(frames, std::memory_order_release);
      finishing = true;
      stopping = stopping || drop;
    }
    wake.notify_one();
  }
  void writer_stop(bool drop) {
    if (!writer) return;
    writer_release(drop);
    platform_thread_join(writer);
    writer = nullptr;
  }
  void discard_files() {
    if (!writing) return;
    safe_writer_discard(&tape_file);
    wav_stream_discard(&wav);
    writing = false;
  }
  int fail(ImportFailure why, const char* reason) {
    failure = why;
    say(sink.reason, sizeof sink.reason, reason);
    return -1;
  }
  // The room the finished sketch takes, for telling a full disk.
  int64_t bytes_needed() const {
    return std::max(frames, expected) * (TAPE_FILE_FRAME_BYTES + WAV_FRAME_BYTES);
  }
};

int sink_start(AudioSink* sink, int32_t channels, double rate, int64_t expected) {
  ImportSink* s = static_cast<ImportSink*>(sink->user);
  if (channels <= 0 || !(rate > 0)) {
    say(sink->reason, sizeof sink->reason, "decoded to nothing");
    return -2;
  }
  if (!meta_rate_usable(rate) || rate > TAPE_RATE_MAX) {
    say(sink->reason, sizeof sink->reason, IMPORT_RATE_REFUSED);
    return -2;
  }
  s->channels = channels;
  s->rate = rate;
  s->expected = std::max<int64_t>(expected, 0);
  s->piece = std::clamp<int64_t>(kScratchSamples / channels, 1, IMPORT_BLOCK_FRAMES);
  s->mixed = static_cast<float*>(malloc(sizeof(float) * 2 * IMPORT_BLOCK_FRAMES));
  s->scratch = static_cast<float*>(malloc(sizeof(float) * (size_t)(s->piece * channels)));
  // The tape's length is set now: room for twice the announced length (a guess for most formats),
  // a day, or what the file could hold at 4 kbit/s, whichever is most.
  double minutes = std::max({1440.0, 2.0 * (double)s->expected / rate / 60.0 + 60.0,
                             (double)s->file_bytes / 500.0 / 60.0});
  s->tape = tape_new(rate, minutes, 0);
  if (!s->mixed || !s->scratch || !s->tape) return s->fail(FAIL_MEMORY, "out of memory");
  return 0;
}

// Hands the tape's frames from written up to upto to tape.f32 and the side-car, straight from
// the tape's chunks: whole blocks of TAPE_FILE_BLOCK_FRAMES only, or everything when all is set.
ImportFailure write_files(ImportSink* s, int64_t upto, bool all) {
  while (s->written < upto) {
    const int64_t at = s->written;
    const int64_t n = std::min<int64_t>(
        {TAPE_FILE_BLOCK_FRAMES, upto - at, TAPE_CHUNK_FRAMES - (at & TAPE_CHUNK_MASK)});
    if (!all && n < TAPE_FILE_BLOCK_FRAMES) break;
    const float* src = tape_frame_ptr(s->tape, at);
    if (!src || safe_writer_write(&s->tape_file, src, (size_t)(n * TAPE_FILE_FRAME_BYTES)) != 0) {
      log_line("tape: write failed on %s", s->tape_path);
      return FAIL_TAPE;
    }
    if (wav_stream_write(&s->wav, src, n) != 0) return FAIL_WAV;
    s->written += n;
  }
  return FAIL_NONE;
}

void writer_main(void* arg) {
  ImportSink* s = static_cast<ImportSink*>(arg);
  int64_t synced = 0;
  for (;;) {
    int64_t upto;
    bool last;
    {
      std::unique_lock<std::mutex> lk(s->lock);
      s->wake.wait(lk, [s] {
        return s->finishing ||
               s->ready.load(std::memory_order_relaxed) - s->written >= TAPE_FILE_BLOCK_FRAMES;
      });
      if (s->stopping) return;
      upto = s->ready.load(std::memory_order_acquire);
      last = s->finishing;
    }
    ImportFailure f = write_files(s, upto, last);
    if (f != FAIL_NONE) {
      s->writer_failure.store(f, std::memory_order_release);
      return;
    }
    if (last) return;
    // What is written so far goes to the disk now, while the decode goes on, rather than all in
    // the commit's flush at the end. A failed flush fails the import at once: the system may not
    // report it again at the commit.
    if (s->written - synced >= kSyncFrames) {
      unsigned long e = fsys_flush(s->tape_file.file);
      if (e) {
        log_line("tape: flushing %s failed (error %lu)", s->tape_path, e);
        s->writer_failure.store(FAIL_TAPE, std::memory_order_release);
        return;
      }
      e = fsys_flush(s->wav.out.file);
      if (e) {
        log_line("wav: flushing %s failed (error %lu)", s->wav.out.path, e);
        s->writer_failure.store(FAIL_WAV, std::memory_order_release);
        return;
      }
      synced = s->written;
    }
  }
}

// Frames up to s->frames are on the tape: the files may have them.
int files_follow(ImportSink* s) {
  if (!s->writer) {
    ImportFailure f = write_files(s, s->frames, false);
    return f == FAIL_NONE ? 0 : s->fail(f, "couldn't write the sketch");
  }
  int f = s->writer_failure.load(std::memory_order_acquire);
  if (f != FAIL_NONE) return s->fail((ImportFailure)f, "couldn't write the sketch");
  if (s->frames - s->ready.load(std::memory_order_relaxed) >= TAPE_FILE_BLOCK_FRAMES) {
    {
      std::lock_guard<std::mutex> lk(s->lock);
      s->ready.store(s->frames, std::memory_order_release);
    }
    s->wake.notify_one();
  }
  return 0;
}

// The rest of the frames into the files, the writer ended. 0, or -1 with failure set.
int files_finish(ImportSink* s) {
  if (s->writer) {
    s->writer_stop(false);
    int f = s->writer_failure.load(std::memory_order_acquire);
    if (f != FAIL_NONE) return s->fail((ImportFailure)f, "couldn't write the sketch");
  }
  ImportFailure f = write_files(s, s->frames, true);
  return f == FAIL_NONE ? 0 : s->fail(f, "couldn't write the sketch");
}

// The sketch's folder, named by a fresh id, with tape.f32 and the side-car open in it.
int open_files(ImportSink* s) {
  Job* job = s->job;
  s->meta = static_cast<SketchMeta*>(calloc(1, sizeof(SketchMeta)));
  if (!s->meta) return s->fail(FAIL_MEMORY, "out of memory");
  meta_new(s->meta, s->rate);
  import_sketch_name(s->file, s->meta->name, sizeof s->meta->name);
  if (path_join(s->folder, sizeof s->folder, job->folder, s->meta->id) < 0) {
    log_line("import: %s - the library folder's path is too long", s->file);
    return s->fail(FAIL_FOLDER, "couldn't make the folder");
  }
  bool existed = path_exists(s->folder);
  if (existed || fsys_make_folders(s->folder) != 0) {
    // A fresh id naming a folder that is already there is never written over.
    if (existed) log_line("import: %s already exists - not touched", s->folder);
    return s->fail(FAIL_FOLDER, "couldn't make the folder");
  }
  s->made_folder = true;

  // The side-car, named as the library names it (a 96-byte name), so its card finds it.
  char title[META_NAME_MAX + 1];
  char sidecar[96];
  char wav_path[PATH_UTF8_MAX + 1];
  meta_title(s->meta, title, sizeof title);
  if (path_join(s->tape_path, sizeof s->tape_path, s->folder, "tape.f32") < 0)
    return s->fail(FAIL_TAPE, "couldn't write the tape");
  if (sidecar_wav_name(title, sidecar, sizeof sidecar) != 0 ||
      path_join(wav_path, sizeof wav_path, s->folder, sidecar) < 0)
    return s->fail(FAIL_WAV, "couldn't write the side-car");
  s->writing = true;
  if (safe_writer_open(&s->tape_file, s->tape_path) != 0) {
    log_line("tape: couldn't open %s for writing", s->tape_path);
    return s->fail(FAIL_TAPE, "couldn't write the tape");
  }
  if (wav_stream_open(&s->wav, wav_path, s->rate) != 0)
    return s->fail(FAIL_WAV, "couldn't write the side-car");
  // Without a thread the files are written between blocks instead, as fast as one core allows.
  if (platform_thread_start(&s->writer, writer_main, s) != 0) s->writer = nullptr;
  return 0;
}

// n frames of channels interleaved floats, mixed to one channel onto both sides of out.
void mix_packed(const float* src, int64_t n, int32_t channels, float* out) {
  const float scale = channels > 1 ? 1.0f / (float)channels : 1.0f;
  for (int64_t i = 0; i < n; i++) {
    float m;
    if (channels == 1) {
      m = src[i];
    } else if (channels == 2) {
      float s = 0;
      s += src[(size_t)i * 2];
      s += src[(size_t)i * 2 + 1];
      m = s * scale;
    } else {
      float s = 0;
      for (int32_t c = 0; c < channels; c++) s += src[(size_t)i * channels + c];
      m = s * scale;
    }
    // A NaN or infinite sample (a damaged float file) would poison playback: silence it.
    if (!std::isfinite(m)) m = 0.0f;
    out[(size_t)i * 2] = m;
    out[(size_t)i * 2 + 1] = m;
  }
}

// The same for float planes (most lossy codecs give these), read in place from frame from on.
void mix_planar(const AudioBlock* b, int64_t from, int64_t n, float* out) {
  const int32_t channels = b->channels;
  const float scale = channels > 1 ? 1.0f / (float)channels : 1.0f;
  const float* p0 = reinterpret_cast<const float*>(b->planes[0]) + from;
  const float* p1 = channels > 1 ? reinterpret_cast<const float*>(b->planes[1]) + from : nullptr;
  for (int64_t i = 0; i < n; i++) {
    float m;
    if (channels == 1) {
      m = p0[i];
    } else {
      float s = 0;
      s += p0[i];
      s += p1[i];
      for (int32_t c = 2; c < channels; c++)
        s += reinterpret_cast<const float*>(b->planes[c])[from + i];
      m = s * scale;
    }
    if (!std::isfinite(m)) m = 0.0f;
    out[(size_t)i * 2] = m;
    out[(size_t)i * 2 + 1] = m;
  }
}

int sink_block(AudioSink* sink, const AudioBlock* b) {
  ImportSink* s = static_cast<ImportSink*>(sink->user);
  if (b->frames <= 0) return 0;
  if (b->channels != s->channels) {
    say(sink->reason, sizeof sink->reason, "the channel count changed");
    return -2;
  }
  if (s->job && !s->made_folder && open_files(s) != 0) return -1;
  for (int64_t from = 0; from < b->frames;) {
    // Float samples are mixed where they lie; others are converted a piece at a time first.
    const bool floats = b->kind == AUDIO_F32;
    const int64_t n = std::min(b->frames - from, floats ? (int64_t)IMPORT_BLOCK_FRAMES : s->piece);
    if (floats && b->planar) {
      mix_planar(b, from, n, s->mixed);
    } else if (floats) {
      const float* src = reinterpret_cast<const float*>(b->planes[0]) + (size_t)from * s->channels;
      mix_packed(src, n, s->channels, s->mixed);
    } else {
      audio_block_to_float(b, from, n, s->scratch);
      mix_packed(s->scratch, n, s->channels, s->mixed);
    }
    const int64_t at = s->frames;
    if (at + n > s->tape->capacity_end && tape_ensure(s->tape, at + n - 1) != 0)
      return s->fail(FAIL_MEMORY, "out of memory");
    if (tape_write(s->tape, at, s->mixed, n) != 0) return s->fail(FAIL_MEMORY, "out of memory");
    s->frames = at + n;
    if (s->writing && files_follow(s) != 0) return -1;
    from += n;
  }
  return 0;
}

void sink_init(ImportSink* s, Job* job, const char* file) {
  s->sink.start = sink_start;
  s->sink.block = sink_block;
  s->sink.user = s;
  s->job = job;
  s->file = file;
  s->file_bytes = std::max<int64_t>(0, file_size(file));
}

// The 96-point waveform of the first frames of the tape's left channel, summed in frame order
// into doubles as the frames were mixed.
int tape_waveform(const Tape* tape, int64_t frames, float* out96) {
  double sums[IMPORT_WAVEFORM_POINTS] = {};
  const int64_t bucket = std::max<int64_t>(1, frames / IMPORT_WAVEFORM_POINTS);
  const int64_t end = std::min<int64_t>(frames, bucket * IMPORT_WAVEFORM_POINTS);
  for (int64_t f = 0; f < end;) {
    const int64_t bin = f / bucket;
    const int64_t n = std::min({(bin + 1) * bucket, end, (f | TAPE_CHUNK_MASK) + 1}) - f;
    const float* p = tape_frame_ptr(tape, f);
    double sum = sums[bin];
    if (p)
      for (int64_t i = 0; i < n; i++) sum += std::fabs(p[(size_t)i * 2]);
    sums[bin] = sum;
    f += n;
  }
  return import_waveform(sums, frames, out96);
}

// The job's failure from its sink, told once tape.f32 and the side-car are gone.
int sink_failed(Job* job, ImportSink* s) {
  s->writer_stop(true);
  s->discard_files();
  const char* where = s->made_folder ? s->folder : job->folder;
  switch (s->failure) {
    case FAIL_FOLDER:
      fail_write(job, job->folder, s->bytes_needed(), "THE FOLDER");
      break;
    case FAIL_TAPE:
      fail_write(job, where, s->bytes_needed(), "THE TAPE");
      break;
    case FAIL_WAV:
      fail_write(job, where, s->bytes_needed(), "THE WAV");
      break;
    default:
      job_fail(job, "NOT ENOUGH MEMORY");
      break;
  }
  return -1;
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

int decode_audio_stream(const char* path, AudioSink* sink, JobProgress* progress, char* message,
                        size_t messageSize) {
  if (!path || !sink || !import_extension_accepted(path)) {
    say(message, messageSize, IMPORT_REFUSED);
    return -2;
  }
  if (!is_wav(path))
    return decode_stream_with_platform_decoder(path, sink, progress, message, messageSize);
  // A pipe or device named like a WAV would hold the IO worker in open() for good.
  FsysInfo info;
  if (fsys_info(path, &info) == 0 && info.target_kind == FSYS_OTHER) {
    log_line("decode: %s isn't a regular file", path);
    say(message, messageSize, IMPORT_REFUSED);
    return -2;
  }
  char reason[256] = "";
  RateGate g{{gate_start, gate_block, nullptr, ""}, sink, path, false, false};
  g.sink.user = &g;
  int rc = wav_read_stream(path, &g.sink, progress, reason, sizeof reason);
  if (g.refused) {
    say(message, messageSize, IMPORT_RATE_REFUSED);
    return -2;
  }
  // Only a file our reader turns down before its audio goes on to FFmpeg.
  if (rc != -2 || g.started) {
    say(message, messageSize, reason);
    return rc;
  }
  log_line("decode: %s - %s; trying FFmpeg", path, reason);
  return decode_stream_with_platform_decoder(path, sink, progress, message, messageSize);
}

int decode_audio_file(const char* path, DecodedAudio* out, JobProgress* progress, char* message,
                      size_t messageSize) {
  if (!out) {
    say(message, messageSize, IMPORT_REFUSED);
    return -2;
  }
  AudioCollector c;
  audio_collector_init(&c, out, path);
  int rc = decode_audio_stream(path, &c.sink, progress, message, messageSize);
  if (rc != 0) decoded_audio_free(out);
  return rc;
}

int import_decode_to_tape(const char* path, Tape** out, JobProgress* progress, char* message,
                          size_t messageSize) {
  if (!out) {
    say(message, messageSize, IMPORT_REFUSED);
    return -2;
  }
  *out = nullptr;
  ImportSink s;
  sink_init(&s, nullptr, path ? path : "");
  int rc = decode_audio_stream(path, &s.sink, progress, message, messageSize);
  if (rc == 0 && s.frames <= 0) {
    say(message, messageSize, "decoded to nothing");
    rc = -2;
  }
  if (rc != 0) return rc;
  *out = s.tape;
  s.tape = nullptr;
  return 0;
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
  ImportSink s;
  sink_init(&s, job, file);

  // Decode, mix and write as the file comes.
  job_progress_phase(job, 0, 950000, 1000000);
  char reason[256] = "";
  int rc = decode_audio_stream(file, &s.sink, &job->progress, reason, sizeof reason);
  if (rc == -3) return cancelled(job);
  if (s.failure != FAIL_NONE) return sink_failed(job, &s);
  if (rc == 0 && s.frames <= 0) {
    snprintf(reason, sizeof reason, "decoded to nothing");
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
  const int64_t frames = s.frames;
  const double rate = s.rate;

  // The rest of tape.f32 and the side-car (the writer takes it while the waveform is summed),
  // then each put in place whole.
  job_progress_phase(job, 950000, 40000, 1000000);
  job_progress_set(&job->progress, 0, 2);
  s.writer_release(false);
  float wave[IMPORT_WAVEFORM_POINTS];
  int points = tape_waveform(s.tape, frames, wave);
  if (job_progress_cancelled(&job->progress)) return cancelled(job);
  if (files_finish(&s) != 0) return sink_failed(job, &s);
  if (safe_writer_commit(&s.tape_file) != 0) {
    log_line("tape: couldn't commit %s", s.tape_path);
    s.failure = FAIL_TAPE;
    return sink_failed(job, &s);
  }
  job->progress.done.store(1, std::memory_order_relaxed);
  if (job_progress_cancelled(&job->progress)) return cancelled(job);
  if (wav_stream_finish(&s.wav) != 0) {
    s.failure = FAIL_WAV;
    return sink_failed(job, &s);
  }
  s.writing = false;
  job->progress.done.store(2, std::memory_order_relaxed);

  SketchMeta* meta = s.meta;
  meta->lengthSamples = frames;
  meta->channels = 2;
  if (points > 0) {
    meta->waveform = static_cast<float*>(malloc(sizeof(float) * (size_t)points));
    if (!meta->waveform) {
      job_fail(job, "NOT ENOUGH MEMORY");
      return -1;
    }
    memcpy(meta->waveform, wave, sizeof(float) * (size_t)points);
    meta->waveformCount = points;
  }
  job_progress_phase(job, 990000, 10000, 1000000);
  if (meta_save_folder(s.folder, meta) != 0) {
    fail_write(job, s.folder, 1 << 20, "META.JSON");
    return -1;
  }

  log_line("import: %s -> %s (%lld frames at %.0f Hz)", file, s.folder, (long long)frames, rate);
  snprintf(job->result_id, sizeof job->result_id, "%s", meta->id);
  snprintf(job->result_path, sizeof job->result_path, "%s", s.folder);
  job->frames_out = frames;
  if (job->meta_out) meta_destroy(job->meta_out);
  job->meta_out = meta;
  s.meta = nullptr;
  s.made_folder = false;
  job->result = JOB_DONE;
  return 0;
}
