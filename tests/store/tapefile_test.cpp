#include "store/tapefile.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/tape.h"
#include "platform/fsys.h"
#include "base/log.h"
#include "store/meta.h"
#include "base/progress.h"
#include "store/wav.h"
#include "support/log_capture.h"
#include "support/tmpdir.h"

namespace {

// A fresh scratch folder per test, removed afterwards.
using Scratch = TmpDir;

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void spit_floats(const std::string& path, const std::vector<float>& v, size_t extraBytes = 0) {
  unlink(path.c_str());
  std::ofstream f(path, std::ios::binary);
  f.write((const char*)v.data(), (std::streamsize)(v.size() * sizeof(float)));
  for (size_t i = 0; i < extraBytes; i++) f.put('\x7f');
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool logged_since(int64_t mark, const std::string& text) {
  char buf[LOG_FULL_LINE_BYTES];
  for (int64_t n = mark; n < log_console_count(); n++)
    if (log_line_full(n, buf, sizeof buf) && strstr(buf, text.c_str())) return true;
  return false;
}

float frame_value(int64_t i) {
  return (float)((i * 7919) % 20001 - 10000) / 10000.0f;
}

Tape* filled_tape(int64_t frames) {
  Tape* t = tape_new(48000, 0, 0);
  EXPECT_EQ(tape_ensure(t, frames - 1), 0);
  std::vector<float> buf(2 * (size_t)frames);
  for (size_t i = 0; i < buf.size(); i++) buf[i] = frame_value((int64_t)i);
  EXPECT_EQ(tape_write(t, 0, buf.data(), frames), 0);
  return t;
}

void expect_frame(const Tape* t, int64_t f, float l, float r) {
  const float* p = tape_frame_ptr(t, f);
  ASSERT_NE(p, nullptr) << f;
  EXPECT_EQ(p[0], l) << f;
  EXPECT_EQ(p[1], r) << f;
}

// Runs op while a second thread sets the cancel flag once `after` units are done. On a fast or
// busy machine the operation may finish before the flag lands; it is then run again.
template <class Op>
int cancel_midway(JobProgress& p, int64_t after, Op op) {
  int rc = 0;
  for (int attempt = 0; attempt < 50; attempt++) {
    p.done = 0;
    p.total = 0;
    p.cancel = false;
    std::atomic<bool> over{false};
    std::thread canceller([&] {
      while (!over && p.done.load() < after) std::this_thread::yield();
      p.cancel = true;
    });
    rc = op();
    over = true;
    canceller.join();
    if (rc != 0) break;
  }
  return rc;
}

}  // namespace

TEST(TapeLoad, EmptyPartialAndMissingFiles) {
  Scratch s;
  Tape* t = tape_new(48000, 0, 0);
  spit_floats(s / "empty.f32", {});
  JobProgress p;
  EXPECT_EQ(tape_load(t, (s / "empty.f32").c_str(), false, &p), 0);
  EXPECT_EQ(tape_length(t), 0);
  tape_free(t);

  // 12 bytes: one frame and half of another, which is ignored.
  t = tape_new(48000, 0, 0);
  spit_floats(s / "twelve.f32", {0.25f, -0.5f, 0.75f});
  EXPECT_EQ(tape_load(t, (s / "twelve.f32").c_str(), false, &p), 0);
  EXPECT_EQ(tape_length(t), 1);
  expect_frame(t, 0, 0.25f, -0.5f);
  EXPECT_EQ(p.total.load(), 8);
  EXPECT_EQ(p.done.load(), 8);
  tape_free(t);

  t = tape_new(48000, 0, 0);
  int64_t mark = log_console_count();
  EXPECT_EQ(tape_load(t, (s / "missing.f32").c_str(), false, nullptr), -1);
  EXPECT_TRUE(logged_since(mark, "tape: "));
  mkdir((s / "dir.f32").c_str(), 0755);
  EXPECT_EQ(tape_load(t, (s / "dir.f32").c_str(), false, nullptr), -1);
  EXPECT_EQ(tape_length(t), 0);
  tape_free(t);
}

TEST(TapeLoad, LegacyMonoGoesOnBothChannels) {
  Scratch s;
  Tape* t = tape_new(44100, 0, 0);
  spit_floats(s / "mono.f32", {0.5f, -0.25f}, 3);
  EXPECT_EQ(tape_load(t, (s / "mono.f32").c_str(), true, nullptr), 0);
  EXPECT_EQ(tape_length(t), 2);
  expect_frame(t, 0, 0.5f, 0.5f);
  expect_frame(t, 1, -0.25f, -0.25f);
  tape_free(t);

  // Past one block and across a chunk boundary.
  const int64_t n = TAPE_CHUNK_FRAMES + TAPE_FILE_BLOCK_FRAMES + 17;
  std::vector<float> v((size_t)n);
  for (int64_t i = 0; i < n; i++) v[(size_t)i] = frame_value(i);
  spit_floats(s / "long.f32", v);
  t = tape_new(44100, 0, 0);
  JobProgress p;
  EXPECT_EQ(tape_load(t, (s / "long.f32").c_str(), true, &p), 0);
  EXPECT_EQ(tape_length(t), n);
  EXPECT_EQ(p.total.load(), n * 4);
  EXPECT_EQ(p.done.load(), n * 4);
  for (int64_t f :
       {int64_t{0}, int64_t{TAPE_FILE_BLOCK_FRAMES - 1}, int64_t{TAPE_FILE_BLOCK_FRAMES},
        int64_t{TAPE_CHUNK_FRAMES - 1}, int64_t{TAPE_CHUNK_FRAMES}, n - 1})
    expect_frame(t, f, frame_value(f), frame_value(f));
  tape_free(t);
}

TEST(TapeLoad, TapeTooSmallIsOutOfMemory) {
  Scratch s;
  std::vector<float> v((size_t)(TAPE_CHUNK_FRAMES + 1) * 2, 0.5f);
  spit_floats(s / "big.f32", v);
  Tape* t = tape_new(48000, 0.001, 0);  // a single chunk
  ASSERT_EQ(t->max_chunks, 1);
  int64_t mark = log_console_count();
  EXPECT_EQ(tape_load(t, (s / "big.f32").c_str(), false, nullptr), -2);
  EXPECT_TRUE(logged_since(mark, "tape: "));
  EXPECT_EQ(tape_load(t, (s / "big.f32").c_str(), true, nullptr), -2);
  EXPECT_EQ(tape_length(t), 0);
  // Exactly one chunk of mono fits.
  v.resize(TAPE_CHUNK_FRAMES);
  spit_floats(s / "fits.f32", v);
  EXPECT_EQ(tape_load(t, (s / "fits.f32").c_str(), true, nullptr), 0);
  EXPECT_EQ(tape_length(t), TAPE_CHUNK_FRAMES);
  tape_free(t);
}

TEST(TapeSave, RoundTripWithPeakAndAbsentChunks) {
  Scratch s;
  const int64_t n = TAPE_CHUNK_FRAMES * 2 + 12345;
  Tape* t = filled_tape(n);
  const std::string path = s / "tape.f32";
  JobProgress p;
  float peak = -1;
  ASSERT_EQ(tape_save(t, path.c_str(), n, &peak, &p), 0);
  EXPECT_EQ(peak, 1.0f);
  EXPECT_EQ(p.total.load(), n * 8);
  EXPECT_EQ(p.done.load(), n * 8);
  EXPECT_FALSE(exists(path + ".tmp"));
  std::string bytes = slurp(path);
  ASSERT_EQ(bytes.size(), (size_t)n * 8);
  for (int64_t i = 0; i < 2 * n; i += 101) {
    float x;
    memcpy(&x, bytes.data() + 4 * i, 4);
    ASSERT_EQ(x, frame_value(i)) << i;
  }

  Tape* back = tape_new(48000, 0, 0);
  ASSERT_EQ(tape_load(back, path.c_str(), false, nullptr), 0);
  EXPECT_EQ(tape_length(back), n);
  for (int64_t k = 0; k <= n >> TAPE_CHUNK_SHIFT; k++) {
    int64_t frames = std::min<int64_t>(TAPE_CHUNK_FRAMES, n - (k << TAPE_CHUNK_SHIFT));
    ASSERT_EQ(memcmp(back->chunks[k].load(), t->chunks[k].load(), (size_t)frames * 8), 0) << k;
  }
  tape_free(back);

  // Chunk 0 given back (a capture tape) and frames past the last chunk: both silence, and the
  // peak comes only from what was there.
  tape_release_below(t, TAPE_CHUNK_FRAMES);
  tape_maintain(t, n, 0, 1000);
  ASSERT_EQ(t->chunks[0].load(), nullptr);
  float* c1 = t->chunks[1].load();
  for (int64_t i = 0; i < TAPE_CHUNK_FRAMES * 2; i++) c1[i] = 0.125f;
  c1[777] = -0.5f;
  Tape* small = tape_new(48000, 0.001, 0);
  ASSERT_EQ(tape_ensure(small, 10), 0);
  for (Tape* x : {t, small}) {
    const int64_t frames = x == t ? TAPE_CHUNK_FRAMES * 2 : TAPE_CHUNK_FRAMES + 10;
    ASSERT_EQ(tape_save(x, path.c_str(), frames, &peak, nullptr), 0);
    bytes = slurp(path);
    ASSERT_EQ(bytes.size(), (size_t)frames * 8);
    const std::string zeros(TAPE_CHUNK_FRAMES * 8, '\0');
    if (x == t) {
      EXPECT_EQ(bytes.compare(0, zeros.size(), zeros), 0);
      EXPECT_EQ(peak, 0.5f);
    } else {
      EXPECT_EQ(bytes.compare(TAPE_CHUNK_FRAMES * 8, 80, zeros, 0, 80), 0);
      EXPECT_EQ(peak, 0.0f);
    }
  }
  tape_free(small);

  // Zero and negative frame counts write an empty file.
  ASSERT_EQ(tape_save(t, path.c_str(), -5, &peak, nullptr), 0);
  EXPECT_EQ(slurp(path).size(), 0u);
  EXPECT_EQ(peak, 0.0f);
  tape_free(t);
}

TEST(TapeSave, CancelAndFailureKeepTheOldFile) {
  Scratch s;
  const int64_t n = TAPE_CHUNK_FRAMES * 8;  // 32 MiB, many blocks
  Tape* t = filled_tape(n);
  const std::string path = s / "tape.f32";
  spit_floats(path, {1.0f, 2.0f});
  const std::string before = slurp(path);

  JobProgress p;
  float peak = -7;
  EXPECT_EQ(cancel_midway(p, 2 * TAPE_FILE_BLOCK_FRAMES * 8,
                          [&] {
                            spit_floats(path, {1.0f, 2.0f});
                            return tape_save(t, path.c_str(), n, &peak, &p);
                          }),
            -3);
  EXPECT_GT(p.done.load(), 0);
  EXPECT_LT(p.done.load(), n * 8);
  EXPECT_EQ(peak, -7);
  EXPECT_EQ(slurp(path), before);
  EXPECT_FALSE(exists(path + ".tmp"));

  int64_t mark = log_console_count();
  EXPECT_EQ(tape_save(t, (s / "none/tape.f32").c_str(), n, nullptr, nullptr), -1);
  EXPECT_TRUE(logged_since(mark, "tape: couldn't open "));

  // A load cancelled part way leaves the tape's length alone.
  ASSERT_EQ(tape_save(t, path.c_str(), n, nullptr, nullptr), 0);
  Tape* back = nullptr;
  JobProgress lp;
  EXPECT_EQ(cancel_midway(lp, 2 * TAPE_FILE_BLOCK_FRAMES * 8,
                          [&] {
                            tape_free(back);
                            back = tape_new(48000, 0, 0);
                            return tape_load(back, path.c_str(), false, &lp);
                          }),
            -3);
  EXPECT_EQ(tape_length(back), 0);
  tape_free(back);
  tape_free(t);
}

TEST(TapeFileWaveform, BucketsAndNormalising) {
  Scratch s;
  float out[TAPE_WAVEFORM_POINTS];
  // 50 frames: bucket 1, one point per frame, the louder channel counts.
  std::vector<float> v;
  for (int i = 0; i < 50; i++) {
    v.push_back(i == 20 ? -2.0f : 0.5f);
    v.push_back(i == 30 ? 1.0f : -0.25f);
  }
  spit_floats(s / "a.f32", v);
  ASSERT_EQ(tape_file_waveform((s / "a.f32").c_str(), false, out), 50);
  EXPECT_FLOAT_EQ(out[0], 0.25f);
  EXPECT_FLOAT_EQ(out[20], 1.0f);
  EXPECT_FLOAT_EQ(out[30], 0.5f);

  // 1000 mono frames: bucket 10, 96 points of the means of the first 960 frames.
  v.assign(1000, 0.0f);
  for (int i = 0; i < 1000; i++) v[(size_t)i] = (i / 10) % 2 ? -0.2f : 0.1f;
  v[5] = 2.1f;  // bucket 0's mean becomes 0.3, the largest
  spit_floats(s / "m.f32", v);
  ASSERT_EQ(tape_file_waveform((s / "m.f32").c_str(), true, out), 96);
  EXPECT_FLOAT_EQ(out[0], 1.0f);
  EXPECT_FLOAT_EQ(out[1], 2.0f / 3.0f);
  EXPECT_FLOAT_EQ(out[2], 1.0f / 3.0f);
  EXPECT_FLOAT_EQ(out[95], 2.0f / 3.0f);

  // 200 frames: bucket 2, so frames 192-199 fall past the 96 points; they are not kept, but the
  // largest bucket among them still scales the points that are.
  v.assign(2 * 200, 0.0f);
  for (int i = 0; i < 200; i++) v[(size_t)(2 * i)] = i < 192 ? 0.5f : 1.0f;
  spit_floats(s / "r.f32", v);
  ASSERT_EQ(tape_file_waveform((s / "r.f32").c_str(), false, out), 96);
  EXPECT_FLOAT_EQ(out[0], 0.5f);
  EXPECT_FLOAT_EQ(out[95], 0.5f);
  // 289 mono frames: bucket 3 and a last bucket of the single frame 288, read to its end.
  v.assign(289, 0.25f);
  v[288] = 1.0f;
  spit_floats(s / "t.f32", v);
  ASSERT_EQ(tape_file_waveform((s / "t.f32").c_str(), true, out), 96);
  EXPECT_FLOAT_EQ(out[0], 0.25f);
  EXPECT_FLOAT_EQ(out[95], 0.25f);

  // NaN and infinity don't poison the summary; silence stays 0.
  v.assign(2 * 96, 0.0f);
  v[0] = NAN;
  v[3] = INFINITY;
  v[10] = 0.5f;
  spit_floats(s / "n.f32", v);
  ASSERT_EQ(tape_file_waveform((s / "n.f32").c_str(), false, out), 96);
  for (int i = 0; i < 96; i++) EXPECT_TRUE(std::isfinite(out[i])) << i;
  EXPECT_FLOAT_EQ(out[5], 1.0f);
  EXPECT_FLOAT_EQ(out[0], 0.0f);

  spit_floats(s / "e.f32", {}, 7);
  EXPECT_EQ(tape_file_waveform((s / "e.f32").c_str(), false, out), 0);
  EXPECT_EQ(tape_file_waveform((s / "missing.f32").c_str(), false, out), 0);
}

TEST(WavFromTapeFile, RebuildsStereoAndLegacyMono) {
  Scratch s;
  const std::string folder = s / "sketch";
  mkdir(folder.c_str(), 0755);
  const std::string dest = s / "copy.wav";
  auto save_meta = [&](int channels, int64_t length, double rate) {
    SketchMeta m{};
    meta_new(&m, rate);
    m.channels = channels;
    m.lengthSamples = length;
    EXPECT_EQ(meta_save_folder(folder.c_str(), &m), 0);
    meta_free(&m);
  };
  auto read_back = [&](DecodedAudio* a) {
    char msg[128];
    return wav_read(dest.c_str(), a, nullptr, msg, sizeof msg);
  };

  // No meta.json: nothing to copy from.
  EXPECT_EQ(wav_from_tape_file(nullptr, folder.c_str(), dest.c_str()), -2);

  save_meta(2, 3, 32000);
  EXPECT_EQ(wav_from_tape_file(nullptr, folder.c_str(), dest.c_str()), -2);  // no tape.f32
  spit_floats(folder + "/tape.f32", {});
  EXPECT_EQ(wav_from_tape_file(nullptr, folder.c_str(), dest.c_str()), -2);  // empty
  EXPECT_FALSE(exists(dest));

  spit_floats(folder + "/tape.f32", {0.5f, -0.5f, 0.25f, 1.5f, 0.0f, -1.0f});
  JobProgress p;
  ASSERT_EQ(wav_from_tape_file(&p, folder.c_str(), dest.c_str()), 0);
  DecodedAudio a{};
  ASSERT_EQ(read_back(&a), 0);
  EXPECT_EQ(a.rate, 32000);
  EXPECT_EQ(a.channels, 2);
  ASSERT_EQ(a.frames, 3);
  EXPECT_FLOAT_EQ(a.samples[1], -16383.0f / 32768.0f);
  EXPECT_FLOAT_EQ(a.samples[3], 32767.0f / 32768.0f);
  decoded_audio_free(&a);

  // A legacy mono tape.f32 of 4 samples becomes 4 stereo frames.
  save_meta(1, 4, 22050);
  spit_floats(folder + "/tape.f32", {0.5f, -0.25f, 0.125f, 0.0f});
  ASSERT_EQ(wav_from_tape_file(&p, folder.c_str(), dest.c_str()), 0);
  ASSERT_EQ(read_back(&a), 0);
  EXPECT_EQ(a.rate, 22050);
  ASSERT_EQ(a.frames, 4);
  for (int i = 0; i < 4; i++) EXPECT_EQ(a.samples[2 * i], a.samples[2 * i + 1]);
  EXPECT_FLOAT_EQ(a.samples[2], -8191.0f / 32768.0f);
  decoded_audio_free(&a);

  // Cancelled: the earlier copy stays.
  const std::string before = slurp(dest);
  p.cancel = true;
  EXPECT_EQ(wav_from_tape_file(&p, folder.c_str(), dest.c_str()), -3);
  EXPECT_EQ(slurp(dest), before);
  EXPECT_FALSE(exists(dest + ".tmp"));
}

namespace {
int64_t g_fail_from = -1;  // byte offset from which the fake pread fails
ssize_t failing_pread(int fd, void* data, size_t size, off_t offset) {
  if (g_fail_from >= 0 && offset + (off_t)size > g_fail_from) {
    errno = EIO;
    return -1;
  }
  return fsys_calls_system()->pread(fd, data, size, offset);
}
}  // namespace

// A long tape loads in two halves at once: whole and exact, with its peak; and when a read fails
// in either half, the load fails and nothing past the failure keeps what reused chunks held.
TEST(TapeLoad, LongTapesInTwoHalvesWholeOrCleanlyFailed) {
  TmpDir dir("tapefile-halves");
  const int64_t frames = 9 * TAPE_CHUNK_FRAMES + 1234;
  Tape* src = filled_tape(frames);
  const std::string path = dir / "tape.f32";
  ASSERT_EQ(tape_save(src, path.c_str(), frames, nullptr, nullptr), 0);
  const int64_t mid = (frames / 2) & ~TAPE_CHUNK_MASK;
  struct Case {
    const char* name;
    int64_t fail_frame;  // -1: no failure
  };
  for (Case k : {Case{"whole", -1}, Case{"first half", 1000}, Case{"second half", mid + 77}}) {
    SCOPED_TRACE(k.name);
    // A freed tape's chunks, full of another sketch's audio, are what the load gets.
    const float kOld = 0.12345678f;  // no value the file holds
    Tape* old = tape_new(48000, 0, 0);
    ASSERT_EQ(tape_ensure(old, frames + TAPE_CHUNK_FRAMES), 0);
    std::vector<float> loud(2 * (size_t)TAPE_CHUNK_FRAMES, kOld);
    for (int64_t at = 0; at < frames; at += TAPE_CHUNK_FRAMES)
      ASSERT_EQ(tape_write(old, at, loud.data(), TAPE_CHUNK_FRAMES), 0);
    tape_free(old);

    g_fail_from = k.fail_frame < 0 ? -1 : k.fail_frame * TAPE_FILE_FRAME_BYTES;
    fsys_calls()->pread = failing_pread;
    JobProgress progress;
    Tape* t = tape_new(48000, 0, 0);
    float peak = -1;
    int rc = tape_load(t, path.c_str(), false, &progress, &peak);
    fsys_calls_reset();
    if (k.fail_frame < 0) {
      ASSERT_EQ(rc, 0);
      EXPECT_EQ(tape_length(t), frames);
      EXPECT_EQ(progress.done.load(), frames * TAPE_FILE_FRAME_BYTES);
      EXPECT_EQ(peak, tape_peak(src, 0, frames));
      for (int64_t f : {int64_t{0}, mid - 1, mid, frames - 1})
        expect_frame(t, f, frame_value(2 * f), frame_value(2 * f + 1));
    } else {
      EXPECT_EQ(rc, -1);
      int64_t stale = 0;
      for (int64_t f = 0; f < frames; f += 1024) {
        const float* p = tape_frame_ptr(t, f);
        stale += p && (p[0] == kOld || p[1] == kOld);
      }
      EXPECT_EQ(stale, 0) << "another sketch's audio left behind";
    }
    tape_free(t);
  }
  tape_free(src);
}
