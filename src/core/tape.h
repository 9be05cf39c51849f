// A sketch's audio in memory: interleaved stereo float frames in 4 MiB chunks that a
// housekeeping thread allocates ahead of need, so the audio thread never allocates. Chunks are
// aligned for huge pages and kept for reuse when a tape is freed, since touching fresh memory
// costs more than most work done on it.
#pragma once
#include <atomic>
#include <cstdint>

enum : int64_t { TAPE_CHUNK_FRAMES = 524288 };  // 2^19
enum { TAPE_CHUNK_SHIFT = 19, TAPE_RETIRED_MAX = 64 };
constexpr int64_t TAPE_CHUNK_MASK = TAPE_CHUNK_FRAMES - 1;
// Floats in one chunk (two per frame) and its size in bytes (4 MiB).
constexpr int64_t TAPE_CHUNK_FLOATS = TAPE_CHUNK_FRAMES * 2;
constexpr int64_t TAPE_CHUNK_BYTES = TAPE_CHUNK_FLOATS * (int64_t)sizeof(float);
// The rate a stream or a sketch takes when none is known.
constexpr double TAPE_DEFAULT_RATE = 48000.0;
// A released chunk stays untouched until this long has passed and this many callbacks have
// begun since its release, so a callback that loaded its pointer just before the release (even
// one stalled far past the time) finishes with valid memory.
enum { TAPE_RECYCLE_MS = 250, TAPE_RECYCLE_CALLBACKS = 2 };
// Chunks freed tapes leave for the next ones (256 MiB at most), each handed back to the system
// once it has waited this long unused.
enum { TAPE_CACHE_MAX = 64, TAPE_CACHE_MS = 20000 };
// Highest sample rate a tape accepts.
constexpr double TAPE_RATE_MAX = 10000000.0;

struct JobProgress;  // frames done, total and a cancel flag; owned by the job system

struct TapeRetired {
  float* chunk;
  uint64_t stamp_ms;
  uint64_t callbacks;  // callbacks begun, read just after the pointer was cleared
};

struct Tape {
  double rate;
  int32_t max_chunks;
  // Chunk pointers are stored by the housekeeping thread and loaded by the audio thread.
  std::atomic<float*>* chunks;
  int64_t capacity_end;
  // Written by the audio thread while recording, read by the collector.
  std::atomic<int64_t> length;
  bool out_of_memory;
  bool ram_cap_reached;
  std::atomic<int32_t> refs;
  std::atomic<int64_t> release_request;
  int64_t release_floor;
  float** pool;
  int32_t pool_target;
  int32_t pool_count;
  int32_t resident;
  int32_t ram_cap;
  TapeRetired retired[TAPE_RETIRED_MAX];
  int32_t retired_count;
};

// Threads: tape_maintain runs on the collector; tape_ensure, tape_write and tape_resample's
// output belong to whoever owns the tape before it reaches the core. Never run tape_ensure
// and tape_maintain on one tape at the same time. Reads may run anywhere.

// Null (with a log line) for a rate not in (0, 10 MHz]; max_minutes <= 0 means 24 hours.
Tape* tape_new(double rate, double max_minutes, int32_t pool_target);
// tape_new with its first chunk present, so recording can start at once; null when memory runs out.
Tape* tape_new_ready(double rate, double max_minutes, int32_t pool_target);
void tape_free(Tape* tape);
int tape_ensure(Tape* tape, int64_t frames);
// Makes frames [0, frames) present for a caller that writes every one of them before anyone reads
// the tape (a file load): chunks taken from the cache are not cleared first.
int tape_ensure_fill(Tape* tape, int64_t frames);
// Hands every cached chunk back to the system; the number handed back.
int tape_cache_release();
int tape_write(Tape* tape, int64_t at, const float* frames, int64_t n);
void tape_read_planar(const Tape* tape, int64_t at, int64_t n, int64_t limit, float* left,
                      float* right);
float tape_peak(const Tape* tape, int64_t from, int64_t to);
// Largest |sample| of n floats; NaN is passed over.
float tape_span_peak(const float* samples, int64_t n);
int tape_peaks(const Tape* tape, int64_t from, int64_t to, double frames_per_bin, float* out,
               int32_t most_bins);
// `callbacks` counts the audio callbacks begun that may read this tape (the core's published
// count); null for a tape no callback reads, whose released chunks wait for the time alone.
// The count must be stored seq_cst before the callback loads any chunk pointer.
void tape_maintain(Tape* tape, int64_t end, int32_t lookahead_chunks, uint64_t now_ms,
                   const std::atomic<uint64_t>* callbacks = nullptr);
void tape_release_below(Tape* tape, int64_t frame);
Tape* tape_resample(const Tape* source, double new_rate, JobProgress* progress);

// Audio-thread helpers: one shift, one mask, one pointer load. Null when the chunk is absent.
// The load is seq_cst (a plain move on x86, like acquire) so that, with the callback count and
// the release both seq_cst too, housekeeping can tell which callback could still hold a chunk.
inline float* tape_frame_ptr(const Tape* t, int64_t frame) {
  int64_t c = frame >> TAPE_CHUNK_SHIFT;
  if (frame < 0 || c >= t->max_chunks) return nullptr;
  float* chunk = t->chunks[c].load(std::memory_order_seq_cst);
  return chunk ? chunk + ((frame & TAPE_CHUNK_MASK) << 1) : nullptr;
}
inline int64_t tape_length(const Tape* t) {
  return t ? t->length.load(std::memory_order_relaxed) : 0;
}
