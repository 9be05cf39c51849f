#include "store/tapefile.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/tape.h"
#include "platform/fsys.h"
#include "platform/thread.h"
#include "store/files.h"
#include "base/log.h"
#include "store/meta.h"
#include "base/progress.h"
#include "store/wav.h"

namespace {

constexpr int64_t kWaveformBlockFrames = 65536;

// Reads until size bytes arrived, the file ended or an error; the bytes read.
size_t read_full(FsysFile f, void* data, size_t size) {
  char* p = (char*)data;
  size_t total = 0;
  while (total < size) {
    size_t got = 0;
    if (fsys_read(f, p + total, size - total, &got) != 0 || got == 0) break;
    total += got;
  }
  return total;
}

const float* chunk_at(const Tape* t, int64_t k) {
  return k < t->max_chunks ? t->chunks[k].load(std::memory_order_acquire) : nullptr;
}

// Frames [from, to) of a stereo file, read in place a chunk's span at a time (the file's bytes
// are the chunk's layout). The chunks were not cleared (tape_ensure_fill): whatever a failure
// leaves unread is, so no other sketch's audio stays behind in reused chunks.
struct LoadPart {
  Tape* tape;
  FsysFile file;
  const char* path;
  int64_t from, to, frames;
  JobProgress* progress;
  std::atomic<bool>* stop;  // set by a part that failed: the other gives up too
  float peak;
  int rc;
  bool stopped;  // gave up because the other part failed
};

void load_part(LoadPart* p) {
  int64_t done = p->from;
  p->rc = 0;
  while (done < p->to) {
    if (job_progress_cancelled(p->progress)) {
      p->rc = -3;
      break;
    }
    if (p->stop->load(std::memory_order_relaxed)) {
      p->rc = -3;
      p->stopped = true;
      break;
    }
    const int64_t off = done & TAPE_CHUNK_MASK;
    const int64_t n = std::min<int64_t>(p->to - done, TAPE_CHUNK_FRAMES - off);
    float* c = (float*)chunk_at(p->tape, done >> TAPE_CHUNK_SHIFT);
    if (!c) {
      log_line("tape: no room on the tape for %s at frame %lld", p->path, (long long)done);
      p->rc = -2;
      break;
    }
    const size_t want = (size_t)(n * TAPE_FILE_FRAME_BYTES);
    size_t got = 0;
    while (got < want) {
      size_t piece = 0;
      if (fsys_read_at(p->file, (done * TAPE_FILE_FRAME_BYTES) + (int64_t)got,
                       (char*)(c + off * 2) + got, want - got, &piece) != 0 ||
          piece == 0)
        break;
      got += piece;
    }
    if (got < want) {
      log_line("tape: couldn't read %s (%lld of %lld frames)", p->path,
               (long long)(done + (int64_t)got / TAPE_FILE_FRAME_BYTES), (long long)p->frames);
      p->rc = -1;
      break;
    }
    // While the chunk is still in the cache.
    p->peak = std::max(p->peak, tape_span_peak(c + off * 2, n * 2));
    done += n;
    if (p->progress) p->progress->done.fetch_add(n * TAPE_FILE_FRAME_BYTES, std::memory_order_relaxed);
  }
  if (p->rc != 0 && !p->stopped) p->stop->store(true, std::memory_order_relaxed);
  for (int64_t at = done; p->rc != 0 && at < p->to;) {
    const int64_t off = at & TAPE_CHUNK_MASK;
    const int64_t n = std::min<int64_t>(p->to - at, TAPE_CHUNK_FRAMES - off);
    float* c = (float*)chunk_at(p->tape, at >> TAPE_CHUNK_SHIFT);
    if (c) memset(c + off * 2, 0, (size_t)(n * TAPE_FILE_FRAME_BYTES));
    at += n;
  }
}

void load_part_main(void* arg) {
  load_part(static_cast<LoadPart*>(arg));
}

// Long tapes load in two halves at once: most of the time goes to the system handing over
// fresh memory, which a second core does alongside the first.
constexpr int64_t kSplitFrames = 8 * TAPE_CHUNK_FRAMES;

int load_stereo(Tape* tape, FsysFile f, const char* path, int64_t frames, JobProgress* progress,
                float* peak) {
  std::atomic<bool> stop{false};
  LoadPart first{tape, f, path, 0, frames, frames, progress, &stop, 0.0f, 0, false};
  LoadPart second = first;
  PlatformThread* helper = nullptr;
  if (frames >= kSplitFrames) {
    const int64_t mid = (frames / 2) & ~TAPE_CHUNK_MASK;
    second.from = mid;
    first.to = mid;
    if (platform_thread_start(&helper, load_part_main, &second) != 0) {
      helper = nullptr;
      first.to = frames;
    }
  }
  load_part(&first);
  platform_thread_join(helper);
  int rc = first.rc;
  if (helper && (rc == 0 || first.stopped)) rc = second.rc;
  if (peak) *peak = std::max(first.peak, helper ? second.peak : 0.0f);
  return rc;
}

int load_mono(Tape* tape, FsysFile f, const char* path, int64_t frames, JobProgress* progress) {
  float* in = (float*)malloc(TAPE_FILE_BLOCK_FRAMES * sizeof(float));
  float* st = (float*)malloc(TAPE_FILE_BLOCK_FRAMES * 2 * sizeof(float));
  int rc = 0;
  if (!in || !st) {
    log_line("tape: out of memory reading %s", path);
    rc = -2;
  }
  for (int64_t done = 0; rc == 0 && done < frames;) {
    if (job_progress_cancelled(progress)) {
      rc = -3;
      break;
    }
    const int64_t n = std::min<int64_t>(TAPE_FILE_BLOCK_FRAMES, frames - done);
    const size_t want = (size_t)(n * TAPE_FILE_MONO_FRAME_BYTES);
    const size_t got = read_full(f, in, want);
    if (got < want) {
      log_line("tape: couldn't read %s (%lld of %lld frames)", path,
               (long long)(done + (int64_t)got / TAPE_FILE_MONO_FRAME_BYTES), (long long)frames);
      rc = -1;
      break;
    }
    for (int64_t i = 0; i < n; i++) st[2 * i] = st[2 * i + 1] = in[i];
    if (tape_write(tape, done, st, n) != 0) {
      log_line("tape: no room on the tape for %s at frame %lld", path, (long long)done);
      rc = -2;
      break;
    }
    done += n;
    if (progress) progress->done.store(done * TAPE_FILE_MONO_FRAME_BYTES, std::memory_order_relaxed);
  }
  free(in);
  free(st);
  return rc;
}

}  // namespace

int tape_load(Tape* tape, const char* path, bool mono, JobProgress* progress, float* peakOut) {
  if (peakOut) *peakOut = 0.0f;
  if (!tape || !path || !*path) {
    log_line("tape: nothing to load (%s)", path && *path ? path : "no file named");
    return -1;
  }
  const int64_t size = file_size(path);
  if (size < 0) {
    log_line("tape: couldn't find %s", path);
    return -1;
  }
  const int64_t bpf = mono ? 4 : 8;
  const int64_t frames = size / bpf;
  job_progress_set(progress, 0, frames * bpf);
  if ((mono ? tape_ensure(tape, frames - 1) : tape_ensure_fill(tape, frames)) != 0) {
    log_line("tape: no room for %lld frames of %s", (long long)frames, path);
    return -2;
  }
  tape_ensure(tape, frames);  // the next chunk is a convenience for recording on
  if (frames == 0) {
    tape->length.store(0, std::memory_order_relaxed);
    return 0;
  }
  FsysFile f;
  unsigned long e = fsys_open_read(path, &f);
  if (e) {
    log_line("tape: couldn't open %s (error %lu)", path, e);
    return -1;
  }
  int rc = mono ? load_mono(tape, f, path, frames, progress)
                : load_stereo(tape, f, path, frames, progress, peakOut);
  if (rc == 0 && mono && peakOut) *peakOut = tape_peak(tape, 0, frames);
  fsys_close(f);
  if (rc == 0) tape->length.store(frames, std::memory_order_relaxed);
  return rc;
}

int tape_save(const Tape* tape, const char* path, int64_t frames, float* peakOut,
              JobProgress* progress) {
  if (!tape || !path || !*path) {
    log_line("tape: nothing to save (%s)", path && *path ? path : "no file named");
    return -1;
  }
  frames = std::max<int64_t>(0, frames);
  job_progress_set(progress, 0, frames * TAPE_FILE_FRAME_BYTES);
  SafeWriter w{};
  if (safe_writer_open(&w, path) != 0) {
    log_line("tape: couldn't open %s for writing", path);
    return -1;
  }
  float* zeros = nullptr;  // 1 MiB of silence for absent chunks, made on first need
  float peak = 0.0f;
  int rc = 0;
  for (int64_t done = 0; done < frames;) {
    if (job_progress_cancelled(progress)) {
      rc = -3;
      break;
    }
    const int64_t off = done & TAPE_CHUNK_MASK, k = done >> TAPE_CHUNK_SHIFT;
    const float* c = chunk_at(tape, k);
    // Straight from a chunk in one write; absent chunks as silence a block at a time.
    const int64_t n = std::min<int64_t>(
        {c ? TAPE_CHUNK_FRAMES : TAPE_FILE_BLOCK_FRAMES, frames - done, TAPE_CHUNK_FRAMES - off});
    const float* src;
    if (c) {
      src = c + off * 2;
      if (peakOut) peak = std::max(peak, tape_span_peak(src, n * 2));
    } else {
      if (!zeros) zeros = (float*)calloc(TAPE_FILE_BLOCK_FRAMES * 2, sizeof(float));
      src = zeros;
    }
    if (!src || safe_writer_write(&w, src, (size_t)(n * TAPE_FILE_FRAME_BYTES)) != 0) {
      log_line("tape: write failed on %s", path);
      rc = -1;
      break;
    }
    done += n;
    if (progress) progress->done.store(done * TAPE_FILE_FRAME_BYTES, std::memory_order_relaxed);
  }
  free(zeros);
  if (rc != 0) {
    safe_writer_discard(&w);
    return rc;
  }
  if (safe_writer_commit(&w) != 0) {
    log_line("tape: couldn't commit %s", path);
    return -1;
  }
  if (peakOut) *peakOut = peak;
  return 0;
}

int tape_file_waveform(const char* path, bool mono, float* out96) {
  if (!path || !out96) return 0;
  const int64_t size = file_size(path);
  const int64_t bpf = mono ? 4 : 8;
  const int64_t frames = size > 0 ? size / bpf : 0;
  if (frames == 0) return 0;
  const int64_t bucket = std::max<int64_t>(1, frames / TAPE_WAVEFORM_POINTS);
  FsysFile f;
  unsigned long e = fsys_open_read(path, &f);
  if (e) {
    log_line("tape: couldn't open %s (error %lu)", path, e);
    return 0;
  }
  float* buf = (float*)malloc(kWaveformBlockFrames * 2 * sizeof(float));
  if (!buf) {
    fsys_close(f);
    log_line("tape: out of memory reading %s", path);
    return 0;
  }
  const int ch = mono ? 1 : 2;
  int stored = 0;
  float largest = 0.0f;
  double sum = 0.0;
  int64_t inBucket = 0;
  bool shortRead = false;
  // The frames past the 96th bucket (fewer than 96) are read too: their buckets are not kept
  // but still count towards the largest value the kept ones are scaled by.
  for (int64_t done = 0; done < frames;) {
    const int64_t n = std::min(kWaveformBlockFrames, frames - done);
    const size_t want = (size_t)(n * bpf);
    const size_t got = read_full(f, buf, want);
    if (got < want) {
      log_line("tape: couldn't read %s (%lld of %lld frames)", path,
               (long long)(done + (int64_t)got / bpf), (long long)frames);
      shortRead = true;
      break;
    }
    for (int64_t i = 0; i < n; i++) {
      float v = fabsf(buf[i * ch]);
      if (ch == 2) v = std::max(v, fabsf(buf[i * 2 + 1]));
      // A NaN or infinite sample must not poison the whole summary (it ends up in meta.json).
      if (!std::isfinite(v)) v = 0.0f;
      sum += v;
      inBucket++;
      if (inBucket == bucket || done + i == frames - 1) {
        float value = (float)(sum / (double)inBucket);
        if (stored < TAPE_WAVEFORM_POINTS) out96[stored++] = value;
        largest = std::max(largest, value);
        sum = 0.0;
        inBucket = 0;
      }
    }
    done += n;
  }
  free(buf);
  fsys_close(f);
  if (shortRead) return 0;
  if (largest > 0.0f)
    for (int i = 0; i < stored; i++) out96[i] /= largest;
  return stored;
}

int wav_from_tape_file(JobProgress* progress, const char* folder, const char* destination) {
  if (!folder || !*folder || !destination || !*destination) {
    log_line("wav: nothing to rebuild (%s)",
             destination && *destination ? destination : "no file named");
    return -1;
  }
  SketchMeta meta{};
  bool dirty = false;
  char message[256];
  const MetaStatus status = meta_load_folder(folder, &meta, &dirty, message, sizeof message);
  const int channels = meta.channels;
  const double rate = meta.sampleRate > 0 ? meta.sampleRate : 44100.0;
  meta_free(&meta);
  if (status == META_UNREADABLE || status == META_MISSING) {
    log_line("wav: can't rebuild %s - %s: %s", destination, folder, message);
    return -2;
  }
  char path[PATH_UTF8_MAX + 1];
  if (path_join(path, sizeof path, folder, "tape.f32") < 0) {
    log_line("wav: path too long: %s", folder);
    return -1;
  }
  const bool mono = channels < 2;
  const int64_t size = file_size(path);
  const int64_t frames = size > 0 ? size / (mono ? 4 : 8) : 0;
  if (frames <= 0) {
    log_line("wav: can't rebuild %s - %s has no audio", destination, path);
    return -2;
  }
  Tape* tape = tape_new(rate, std::max(1440.0, (double)frames / rate / 60.0 + 60.0), 0);
  if (!tape) {
    log_line("wav: no memory for a tape to rebuild %s", destination);
    return -1;
  }
  int rc = tape_load(tape, path, mono, progress);
  // Out of memory is a failure here, not "no audio to copy".
  if (rc == -2) rc = -1;
  if (rc == 0) rc = wav_write(destination, tape, 0, tape_length(tape), 1.0f, progress);
  tape_free(tape);
  return rc;
}
