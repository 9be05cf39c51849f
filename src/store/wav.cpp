#include "store/wav.h"

#include <algorithm>
#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/tape.h"
#include "store/files.h"
#include "base/log.h"
#include "base/progress.h"

static_assert(std::endian::native == std::endian::little, "samples are copied as little-endian");

namespace {

// ---- little-endian fields ----

void put16(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  put16(p, v);
  put16(p + 2, v >> 16);
}
uint32_t get16(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8);
}
uint32_t get32(const uint8_t* p) {
  return get16(p) | (get16(p + 2) << 16);
}
uint64_t get64(const uint8_t* p) {
  return (uint64_t)get32(p) | ((uint64_t)get32(p + 4) << 32);
}

// ---- writer ----

void header_fill(uint8_t* h, double rate, int64_t frames) {
  uint32_t r = (rate >= 0.0 && rate <= 4294967295.0) ? (uint32_t)rate : 0;
  uint32_t bytes = (uint32_t)(frames * 4);
  memcpy(h, "RIFF", 4);
  put32(h + 4, 36 + bytes);
  memcpy(h + 8, "WAVEfmt ", 8);
  put32(h + 16, 16);
  put16(h + 20, 1);
  put16(h + 22, 2);
  put32(h + 24, r);
  put32(h + 28, r <= 0xFFFFFFFFu / 4 ? r * 4 : 0);
  put16(h + 32, 4);
  put16(h + 34, 16);
  memcpy(h + 36, "data", 4);
  put32(h + 40, bytes);
}

// Clamp, scale by 32767 and truncate toward zero. NaN is silence, not full scale.
inline int16_t pcm16(float s, float gain) {
  float v = s * gain;
  if (!(v == v)) return 0;
  v = v < 1.0f ? v : 1.0f;
  v = v > -1.0f ? v : -1.0f;
  return (int16_t)(v * 32767.0f);
}

// ---- samples to floats ----

template <int K>
inline float sample_of(const uint8_t* p) {
  if constexpr (K == AUDIO_U8) {
    return ((int)*p - 128) * (1.0f / 128.0f);
  } else if constexpr (K == AUDIO_S16) {
    int16_t x;
    memcpy(&x, p, 2);
    return x * (1.0f / 32768.0f);
  } else if constexpr (K == AUDIO_S24) {
    int32_t x = (int32_t)(((uint32_t)p[0] << 8) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 24));
    return (float)((x >> 8) * (1.0 / 8388608.0));
  } else if constexpr (K == AUDIO_S32) {
    int32_t x;
    memcpy(&x, p, 4);
    return (float)(x * (1.0 / 2147483648.0));
  } else if constexpr (K == AUDIO_F32) {
    float x;
    memcpy(&x, p, 4);
    return x;
  } else {
    double x;
    memcpy(&x, p, 8);
    return (float)x;
  }
}

template <int K>
constexpr int kBytes = K == AUDIO_U8    ? 1
                       : K == AUDIO_S16 ? 2
                       : K == AUDIO_S24 ? 3
                       : K == AUDIO_F64 ? 8
                                        : 4;

template <int K>
void block_to_float(const AudioBlock* b, int64_t from, int64_t n, float* out) {
  const size_t ch = (size_t)b->channels;
  if (!b->planar) {
    const uint8_t* in = b->planes[0] + (size_t)from * ch * kBytes<K>;
    const size_t count = (size_t)n * ch;
    if constexpr (K == AUDIO_F32) {
      memcpy(out, in, count * sizeof(float));
    } else {
      for (size_t i = 0; i < count; i++) out[i] = sample_of<K>(in + i * kBytes<K>);
    }
    return;
  }
  for (size_t c = 0; c < ch; c++) {
    const uint8_t* in = b->planes[c] + (size_t)from * kBytes<K>;
    for (int64_t i = 0; i < n; i++)
      out[(size_t)i * ch + c] = sample_of<K>(in + (size_t)i * kBytes<K>);
  }
}

// ---- reader ----

void say(char* message, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void say(char* message, size_t size, const char* fmt, ...) {
  if (!message || size == 0) return;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(message, size, fmt, ap);
  va_end(ap);
}

bool seek_to(FILE* f, int64_t pos) {
#ifdef _WIN32
  return _fseeki64(f, pos, SEEK_SET) == 0;
#else
  return fseeko(f, (off_t)pos, SEEK_SET) == 0;
#endif
}

int64_t size_of(FILE* f) {
#ifdef _WIN32
  if (_fseeki64(f, 0, SEEK_END) != 0) return -1;
  return _ftelli64(f);
#else
  if (fseeko(f, 0, SEEK_END) != 0) return -1;
  return (int64_t)ftello(f);
#endif
}

bool read_at(FILE* f, int64_t pos, void* buf, size_t n) {
  return seek_to(f, pos) && fread(buf, 1, n, f) == n;
}

// KSDATAFORMAT_SUBTYPE_PCM without its first two bytes (the format tag).
const uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                               0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

enum { TAG_PCM = 1, TAG_FLOAT = 3, TAG_EXTENSIBLE = 0xFFFE };

struct Format {
  uint32_t tag, channels, rate, block_align, bits;
};

// Hands the data of an open, validated WAV to sink.
int decode(FILE* f, const Format& fmt, int64_t dataStart, int64_t dataSize, AudioSink* sink,
           JobProgress* progress, char* message, size_t messageSize) {
  uint32_t bps = (fmt.bits + 7) / 8;
  if (fmt.block_align != 0 && fmt.channels != 0 && fmt.block_align % fmt.channels == 0 &&
      fmt.block_align / fmt.channels > bps)
    bps = fmt.block_align / fmt.channels;
  bool ok = fmt.channels >= 1 && fmt.channels <= 1024 && fmt.rate != 0 &&
            ((fmt.tag == TAG_PCM && bps >= 1 && bps <= 4) ||
             (fmt.tag == TAG_FLOAT && (bps == 4 || bps == 8)));
  if (!ok) {
    say(message, messageSize, "unsupported WAV (format 0x%04X, %u-bit, %u ch)", fmt.tag, fmt.bits,
        fmt.channels);
    return -2;
  }
  const int32_t kind = fmt.tag == TAG_FLOAT ? (bps == 4 ? AUDIO_F32 : AUDIO_F64)
                       : bps == 1           ? AUDIO_U8
                       : bps == 2           ? AUDIO_S16
                       : bps == 3           ? AUDIO_S24
                                            : AUDIO_S32;
  const int64_t frameSize = (int64_t)fmt.channels * bps;
  const int64_t frames = dataSize / frameSize;
  job_progress_set(progress, 0, frames * frameSize);

  int rc = sink->start(sink, (int32_t)fmt.channels, (double)fmt.rate, frames);
  if (rc != 0) {
    say(message, messageSize, "%s", sink->reason);
    return rc;
  }
  uint8_t* buf = (uint8_t*)malloc(WAV_READ_BLOCK_BYTES);
  if (!buf) {
    say(message, messageSize, "out of memory");
    return -1;
  }
  if (!seek_to(f, dataStart)) {
    say(message, messageSize, "couldn't read the audio");
    rc = -1;
  }
  const int64_t blockFrames = WAV_READ_BLOCK_BYTES / frameSize;
  const uint8_t* planes[1] = {buf};
  for (int64_t done = 0; rc == 0 && done < frames;) {
    if (job_progress_cancelled(progress)) {
      say(message, messageSize, "cancelled");
      rc = -3;
      break;
    }
    int64_t n = std::min(blockFrames, frames - done);
    size_t bytes = (size_t)(n * frameSize);
    if (fread(buf, 1, bytes, f) != bytes) {
      say(message, messageSize, "the file ends early");
      rc = -1;
      break;
    }
    AudioBlock b{planes, n, (int32_t)fmt.channels, kind, false};
    rc = sink->block(sink, &b);
    if (rc != 0) {
      say(message, messageSize, "%s", sink->reason);
      break;
    }
    done += n;
    if (progress) progress->done.store(done * frameSize, std::memory_order_relaxed);
  }
  free(buf);
  return rc;
}

int read_open(FILE* f, AudioSink* sink, JobProgress* progress, char* message, size_t messageSize) {
  const int64_t size = size_of(f);
  uint8_t head[12];
  if (size < 0) {
    say(message, messageSize, "couldn't open the file");
    return -1;
  }
  if (size < 12 || !read_at(f, 0, head, 12) ||
      (memcmp(head, "RIFF", 4) != 0 && memcmp(head, "RF64", 4) != 0 &&
       memcmp(head, "BW64", 4) != 0) ||
      memcmp(head + 8, "WAVE", 4) != 0) {
    say(message, messageSize, "not a WAV file");
    return -2;
  }
  const bool wide = memcmp(head, "RIFF", 4) != 0;

  Format fmt{};
  bool fmtSeen = false, dataFound = false;
  int64_t dataStart = 0, dataSize = 0;
  int64_t ds64Data = -1;  // the real data size of an RF64/BW64 file, when it says
  int64_t pos = 12;
  while (size >= 20 && pos + 8 <= size) {
    uint8_t h[8];
    if (!read_at(f, pos, h, 8)) break;
    const uint32_t csize = get32(h + 4);
    const int64_t body = pos + 8, end = body + csize;
    // The pad byte after an odd-sized last chunk may be missing.
    const int64_t next = std::min(end + (csize & 1), size);
    if (memcmp(h, "fmt ", 4) == 0) {
      uint8_t b[40];
      const uint32_t want = std::min<uint32_t>(csize, 40);
      if (csize < 16 || body + want > size || !read_at(f, body, b, want)) {
        say(message, messageSize, "broken fmt chunk");
        return -2;
      }
      fmt.tag = get16(b);
      fmt.channels = get16(b + 2);
      fmt.rate = get32(b + 4);
      fmt.block_align = get16(b + 12);
      fmt.bits = get16(b + 14);
      if (fmt.tag == TAG_EXTENSIBLE) {
        if (csize < 40 || memcmp(b + 26, kGuidTail, 14) != 0) {
          say(message, messageSize, "unsupported WAV (extensible sub-format)");
          return -2;
        }
        fmt.tag = get16(b + 24);
      }
      fmtSeen = true;
      if (end > size) break;
      pos = next;
    } else if (memcmp(h, "data", 4) == 0) {
      dataStart = body;
      dataFound = true;
      if (csize == 0 || csize == 0xFFFFFFFFu || end > size) {
        dataSize = size - body;
        // A recorder that never finished its file leaves 0 in ds64: then the rest is the audio.
        if (csize == 0xFFFFFFFFu && ds64Data > 0 && ds64Data <= dataSize) dataSize = ds64Data;
        break;
      }
      dataSize = csize;
      if (fmtSeen) break;
      pos = next;
    } else {
      if (end > size) break;
      if (wide && memcmp(h, "ds64", 4) == 0 && csize >= 16) {
        uint8_t d[16];
        if (read_at(f, body, d, 16) && get64(d + 8) <= (uint64_t)INT64_MAX)
          ds64Data = (int64_t)get64(d + 8);
      }
      pos = next;
    }
  }
  if (!fmtSeen || !dataFound) {
    say(message, messageSize, fmtSeen ? "WAV has no audio data" : "WAV has no format chunk");
    return -2;
  }
  return decode(f, fmt, dataStart, dataSize, sink, progress, message, messageSize);
}

}  // namespace

void decoded_audio_free(DecodedAudio* audio) {
  if (!audio) return;
  free(audio->samples);
  *audio = DecodedAudio{};
}

int audio_sample_bytes(int32_t kind) {
  switch (kind) {
    case AUDIO_U8:
      return 1;
    case AUDIO_S16:
      return 2;
    case AUDIO_S24:
      return 3;
    case AUDIO_S32:
    case AUDIO_F32:
      return 4;
    case AUDIO_F64:
      return 8;
    default:
      return 0;
  }
}

void audio_block_to_float(const AudioBlock* b, int64_t from, int64_t n, float* out) {
  if (!b || n <= 0) return;
  switch (b->kind) {
    case AUDIO_U8:
      return block_to_float<AUDIO_U8>(b, from, n, out);
    case AUDIO_S16:
      return block_to_float<AUDIO_S16>(b, from, n, out);
    case AUDIO_S24:
      return block_to_float<AUDIO_S24>(b, from, n, out);
    case AUDIO_S32:
      return block_to_float<AUDIO_S32>(b, from, n, out);
    case AUDIO_F32:
      return block_to_float<AUDIO_F32>(b, from, n, out);
    case AUDIO_F64:
      return block_to_float<AUDIO_F64>(b, from, n, out);
    default:
      return;
  }
}

namespace {

// Room for need frames in the collector's array. False when memory runs out.
bool collector_grow(AudioCollector* c, int64_t need, bool exact) {
  if (need <= c->capacity) return true;
  const int64_t ch = c->out->channels;
  const int64_t most = (int64_t)(SIZE_MAX / sizeof(float)) / ch;
  if (need > most) return false;
  int64_t want = exact ? need : std::max({need, c->capacity + c->capacity / 2, (int64_t)4096});
  if (want > most) want = need;
  float* p =
      (float*)realloc(c->out->samples, (size_t)std::max<int64_t>(want * ch, 1) * sizeof(float));
  if (!p) return false;
  c->out->samples = p;
  c->capacity = want;
  return true;
}

int collector_start(AudioSink* sink, int32_t channels, double rate, int64_t expected) {
  AudioCollector* c = (AudioCollector*)sink->user;
  decoded_audio_free(c->out);
  c->out->channels = channels;
  c->out->rate = rate;
  c->capacity = 0;
  // The whole file in one allocation when its length is known. A length read from a damaged
  // header may be absurd: past 4 GiB the array grows as frames come instead.
  const double bytes = (double)std::max<int64_t>(expected, 1) * channels * sizeof(float);
  if (channels <= 0 ||
      (bytes < (double)(1ull << 32) && !collector_grow(c, std::max<int64_t>(expected, 1), true))) {
    if (c->path) log_line("decode: out of memory decoding %s at 0 frames", c->path);
    snprintf(sink->reason, sizeof sink->reason, "out of memory");
    return -1;
  }
  return 0;
}

int collector_block(AudioSink* sink, const AudioBlock* b) {
  AudioCollector* c = (AudioCollector*)sink->user;
  DecodedAudio* out = c->out;
  if (!collector_grow(c, out->frames + b->frames, false)) {
    if (c->path)
      log_line("decode: out of memory decoding %s at %lld frames", c->path, (long long)out->frames);
    snprintf(sink->reason, sizeof sink->reason, "out of memory");
    return -1;
  }
  float* to = out->samples + (size_t)out->frames * (size_t)out->channels;
  audio_block_to_float(b, 0, b->frames, to);
  out->frames += b->frames;
  return 0;
}

}  // namespace

void audio_collector_init(AudioCollector* c, DecodedAudio* out, const char* path) {
  *c = AudioCollector{};
  c->sink.start = collector_start;
  c->sink.block = collector_block;
  c->sink.user = c;
  c->out = out;
  c->path = path;
  *out = DecodedAudio{};
}
int wav_sidecar_info(const char* path, double* rate, int64_t* frames) {
  FILE* f = path && *path ? fopen(path, "rb") : nullptr;
  if (!f) return -1;
  uint8_t h[WAV_HEADER_BYTES];
  const bool read = fread(h, 1, sizeof h, f) == sizeof h;
  const int64_t size = size_of(f);
  fclose(f);
  if (!read || memcmp(h, "RIFF", 4) != 0 || memcmp(h + 8, "WAVEfmt ", 8) != 0 ||
      get32(h + 16) != 16 || get16(h + 20) != 1 || get16(h + 22) != 2 || get16(h + 34) != 16 ||
      memcmp(h + 36, "data", 4) != 0)
    return -1;
  const int64_t bytes = get32(h + 40);
  if (get32(h + 24) == 0 || bytes % 4 != 0 || size != WAV_HEADER_BYTES + bytes) return -1;
  *rate = (double)get32(h + 24);
  *frames = bytes / 4;
  return 0;
}

int wav_write(const char* path, const Tape* tape, int64_t startFrame, int64_t endFrame, float gain,
              JobProgress* progress) {
  if (!path || !*path || !tape) {
    log_line("wav: nothing to write (%s)", path && *path ? path : "no file named");
    return -1;
  }
  const int64_t length = tape_length(tape);
  const int64_t start = std::max<int64_t>(0, std::min(startFrame, length));
  const int64_t end = std::min(length, endFrame);
  int64_t frames = end > start ? end - start : 0;  // no subtraction that could overflow
  if (frames > WAV_MAX_FRAMES) {
    log_line("wav: %s is past the 4 GB WAV limit - keeping the first %lld frames", path,
             (long long)WAV_MAX_FRAMES);
    frames = WAV_MAX_FRAMES;
  }
  job_progress_set(progress, 0, frames);

  SafeWriter w{};
  if (safe_writer_open(&w, path) != 0) {
    log_line("wav: couldn't open %s for writing", path);
    return -1;
  }
  uint8_t header[WAV_HEADER_BYTES];
  header_fill(header, tape->rate, frames);
  int16_t* pcm = (int16_t*)malloc(WAV_WRITE_BLOCK_FRAMES * 2 * sizeof(int16_t));
  if (!pcm || safe_writer_write(&w, header, sizeof header) != 0) {
    safe_writer_discard(&w);
    free(pcm);
    log_line("wav: write failed on %s", path);
    return -1;
  }
  for (int64_t done = 0; done < frames;) {
    if (job_progress_cancelled(progress)) {
      safe_writer_discard(&w);
      free(pcm);
      return -3;
    }
    const int64_t f = start + done, off = f & TAPE_CHUNK_MASK, k = f >> TAPE_CHUNK_SHIFT;
    const int64_t n =
        std::min<int64_t>({WAV_WRITE_BLOCK_FRAMES, frames - done, TAPE_CHUNK_FRAMES - off});
    const float* c =
        k < tape->max_chunks ? tape->chunks[k].load(std::memory_order_acquire) : nullptr;
    if (c) {
      const float* s = c + off * 2;
      for (int64_t i = 0; i < n * 2; i++) pcm[i] = pcm16(s[i], gain);
    } else {
      memset(pcm, 0, (size_t)n * 2 * sizeof(int16_t));
    }
    if (safe_writer_write(&w, pcm, (size_t)n * 2 * sizeof(int16_t)) != 0) {
      safe_writer_discard(&w);
      free(pcm);
      log_line("wav: write failed on %s", path);
      return -1;
    }
    done += n;
    if (progress) progress->done.store(done, std::memory_order_relaxed);
  }
  free(pcm);
  if (safe_writer_commit(&w) != 0) {
    log_line("wav: couldn't commit %s", path);
    return -1;
  }
  return 0;
}

int wav_stream_open(WavStream* w, const char* path, double rate) {
  if (!w) return -1;
  *w = WavStream{};
  w->rate = rate;
  if (!path || !*path) {
    log_line("wav: nothing to write (no file named)");
    return -1;
  }
  if (safe_writer_open(&w->out, path) != 0) {
    log_line("wav: couldn't open %s for writing", path);
    return -1;
  }
  // Sizes of 0 for now: wav_stream_finish writes the real ones.
  uint8_t header[WAV_HEADER_BYTES];
  header_fill(header, rate, 0);
  w->pcm = (int16_t*)malloc(WAV_WRITE_BLOCK_FRAMES * 2 * sizeof(int16_t));
  if (!w->pcm || safe_writer_write(&w->out, header, sizeof header) != 0) {
    log_line("wav: write failed on %s", path);
    return -1;
  }
  return 0;
}

int wav_stream_write(WavStream* w, const float* frames, int64_t n) {
  if (!w || !w->out.open || !w->pcm || (n > 0 && !frames)) return -1;
  if (n > WAV_MAX_FRAMES - w->frames) {
    if (!w->capped)
      log_line("wav: %s is past the 4 GB WAV limit - keeping the first %lld frames", w->out.path,
               (long long)WAV_MAX_FRAMES);
    w->capped = true;
    n = WAV_MAX_FRAMES - w->frames;
  }
  for (int64_t done = 0; done < n;) {
    const int64_t k = std::min<int64_t>(WAV_WRITE_BLOCK_FRAMES, n - done);
    const float* s = frames + done * 2;
    for (int64_t i = 0; i < k * 2; i++) w->pcm[i] = pcm16(s[i], 1.0f);
    if (safe_writer_write(&w->out, w->pcm, (size_t)k * 2 * sizeof(int16_t)) != 0) {
      log_line("wav: write failed on %s", w->out.path);
      return -1;
    }
    done += k;
  }
  w->frames += n;
  return 0;
}

int wav_stream_finish(WavStream* w) {
  if (!w || !w->out.open) return -1;
  free(w->pcm);
  w->pcm = nullptr;
  uint8_t header[WAV_HEADER_BYTES];
  header_fill(header, w->rate, w->frames);
  if (safe_writer_write_at(&w->out, 0, header, sizeof header) != 0) {
    log_line("wav: write failed on %s", w->out.path);
    safe_writer_discard(&w->out);
    return -1;
  }
  if (safe_writer_commit(&w->out) != 0) {
    log_line("wav: couldn't commit %s", w->out.path);
    return -1;
  }
  return 0;
}

void wav_stream_discard(WavStream* w) {
  if (!w) return;
  free(w->pcm);
  w->pcm = nullptr;
  safe_writer_discard(&w->out);
}

int wav_read_stream(const char* path, AudioSink* sink, JobProgress* progress, char* message,
                    size_t messageSize) {
  say(message, messageSize, "%s", "");
  if (!sink) {
    say(message, messageSize, "couldn't open the file");
    return -1;
  }
  sink->reason[0] = 0;
  if (!path || !*path || path_attributes(path) == PATH_ATTR_INVALID) {
    say(message, messageSize, "file not found");
    return -1;
  }
  FILE* f = path_is_dir(path) ? nullptr : file_open_stdio(path, "rb");
  if (!f) {
    say(message, messageSize, "couldn't open the file");
    return -1;
  }
  int rc = read_open(f, sink, progress, message, messageSize);
  fclose(f);
  return rc;
}

int wav_read(const char* path, DecodedAudio* out, JobProgress* progress, char* message,
             size_t messageSize) {
  if (!out) {
    say(message, messageSize, "couldn't open the file");
    return -1;
  }
  AudioCollector c;
  audio_collector_init(&c, out, path);
  int rc = wav_read_stream(path, &c.sink, progress, message, messageSize);
  if (rc != 0) decoded_audio_free(out);
  return rc;
}
