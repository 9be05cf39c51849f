#include "store/wav.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/tape.h"
#include "base/log.h"
#include "base/progress.h"
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

void spit(const std::string& path, const std::string& bytes) {
  unlink(path.c_str());  // truncating in place makes ext4 flush on close, which is slow
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), (std::streamsize)bytes.size());
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

std::string le16(uint32_t v) {
  return std::string{(char)v, (char)(v >> 8)};
}
std::string le32(uint32_t v) {
  return le16(v) + le16(v >> 16);
}
std::string le64(uint64_t v) {
  return le32((uint32_t)v) + le32((uint32_t)(v >> 32));
}

std::string chunk(const char* id, const std::string& body) {
  std::string c = std::string(id, 4) + le32((uint32_t)body.size()) + body;
  if (body.size() & 1) c += '\0';
  return c;
}
// A chunk header that claims size but carries body as it is.
std::string chunk_sized(const char* id, uint32_t size, const std::string& body) {
  return std::string(id, 4) + le32(size) + body;
}
std::string fmt_body(uint32_t tag, uint32_t ch, uint32_t rate, uint32_t bits, uint32_t align = 0) {
  if (!align) align = ch * ((bits + 7) / 8);
  return le16(tag) + le16(ch) + le32(rate) + le32(rate * align) + le16(align) + le16(bits);
}
const char kPcmGuidTail[] = "\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71";
std::string ext_body(uint32_t subTag, uint32_t ch, uint32_t rate, uint32_t bits, uint32_t valid,
                     bool goodGuid = true) {
  std::string guid = le16(subTag) + std::string(kPcmGuidTail, 14);
  if (!goodGuid) guid[15] = 0x72;
  return fmt_body(0xFFFE, ch, rate, bits) + le16(22) + le16(valid) + le32(0) + guid;
}
std::string wav(const std::string& chunks, const char* riff = "RIFF") {
  return std::string(riff, 4) + le32((uint32_t)(4 + chunks.size())) + "WAVE" + chunks;
}

struct ReadResult {
  int rc;
  std::string message;
  DecodedAudio audio;
};

ReadResult read_wav(const std::string& path, JobProgress* progress = nullptr) {
  ReadResult r{};
  char msg[128];
  memset(msg, 'x', sizeof msg);
  r.rc = wav_read(path.c_str(), &r.audio, progress, msg, sizeof msg);
  r.message = msg;
  return r;
}

ReadResult read_bytes(const Scratch& s, const std::string& bytes) {
  spit(s / "t.wav", bytes);
  return read_wav(s / "t.wav");
}

// A tape of n frames whose sample i (interleaved) is f(i).
template <class F>
Tape* make_tape(int64_t n, F f, double rate = 48000) {
  Tape* t = tape_new(rate, 0, 0);
  if (!t || (n > 0 && tape_ensure(t, n - 1) != 0)) return t;
  std::vector<float> buf(2 * (size_t)n);
  for (int64_t i = 0; i < 2 * n; i++) buf[(size_t)i] = f(i);
  tape_write(t, 0, buf.data(), n);
  return t;
}

int16_t sample16(const std::string& file, size_t i) {
  return (int16_t)((uint8_t)file[44 + 2 * i] | ((uint8_t)file[45 + 2 * i] << 8));
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

// ---- writer ----

TEST(WavWrite, HeaderScalingAndClipping) {
  Scratch s;
  const float v[] = {1.5f, -1.5f, 0.99999f, -0.99999f, 0.5f, NAN, 0.0f, -1.0f, 1e-6f, -1e-6f};
  Tape* t = make_tape(
      5, [&](int64_t i) { return v[i]; }, 44100.7);
  ASSERT_EQ(wav_write((s / "a.wav").c_str(), t, 0, 5, 1.0f, nullptr), 0);
  std::string f = slurp(s / "a.wav");
  ASSERT_EQ(f.size(), 44u + 20u);
  std::string want = "RIFF" + le32(36 + 20) + "WAVEfmt " + le32(16) + le16(1) + le16(2) +
                     le32(44100) + le32(44100 * 4) + le16(4) + le16(16) + "data" + le32(20);
  EXPECT_EQ(f.substr(0, 44), want);
  const int16_t expect[] = {32767, -32767, 32766, -32766, 16383, 0, 0, -32767, 0, 0};
  for (size_t i = 0; i < 10; i++) EXPECT_EQ(sample16(f, i), expect[i]) << "sample " << i;

  // The gain applies before the clip; a range is clipped to the tape.
  ASSERT_EQ(wav_write((s / "b.wav").c_str(), t, 2, 1000, 0.5f, nullptr), 0);
  f = slurp(s / "b.wav");
  ASSERT_EQ(f.size(), 44u + 12u);
  EXPECT_EQ(sample16(f, 0), 8191);    // 0.5 * 0.5
  EXPECT_EQ(sample16(f, 1), 0);       // NaN
  EXPECT_EQ(sample16(f, 3), -16383);  // -1 * 0.5
  tape_free(t);
}

TEST(WavWrite, EmptyAndBackwardRangesWriteZeroFrames) {
  Scratch s;
  Tape* t = make_tape(200, [](int64_t) { return 0.25f; });
  for (auto r : {std::pair<int64_t, int64_t>{100, 50}, {-10, -5}, {500, 900}, {0, 0},
                 {5, INT64_MIN}, {INT64_MAX, INT64_MIN}}) {
    ASSERT_EQ(wav_write((s / "z.wav").c_str(), t, r.first, r.second, 1.0f, nullptr), 0);
    std::string f = slurp(s / "z.wav");
    ASSERT_EQ(f.size(), 44u);
    EXPECT_EQ(f.substr(4, 4), le32(36));
    EXPECT_EQ(f.substr(40, 4), le32(0));
  }
  // A negative start counts from 0.
  ASSERT_EQ(wav_write((s / "n.wav").c_str(), t, -10, 3, 1.0f, nullptr), 0);
  EXPECT_EQ(slurp(s / "n.wav").size(), 44u + 12u);
  tape_free(t);
}

TEST(WavWrite, CrossesChunksAndWritesAbsentChunksAsSilence) {
  Scratch s;
  const int64_t n = TAPE_CHUNK_FRAMES * 2 + 100;
  Tape* t = make_tape(n, [](int64_t i) { return (float)((i % 2000) - 1000) / 1000.0f; });
  // Give back chunk 0, as the capture tape does.
  tape_release_below(t, TAPE_CHUNK_FRAMES);
  tape_maintain(t, n, 0, 1000);
  ASSERT_EQ(t->chunks[0].load(), nullptr);
  JobProgress p;
  const int64_t start = TAPE_CHUNK_FRAMES - 70000;
  ASSERT_EQ(wav_write((s / "c.wav").c_str(), t, start, n, 1.0f, &p), 0);
  EXPECT_EQ(p.total.load(), n - start);
  EXPECT_EQ(p.done.load(), n - start);
  std::string f = slurp(s / "c.wav");
  ASSERT_EQ(f.size(), 44u + 4u * (size_t)(n - start));
  for (int64_t fr = start; fr < n; fr += 997) {
    for (int c = 0; c < 2; c++) {
      int64_t i = fr * 2 + c;
      int16_t want =
          fr < TAPE_CHUNK_FRAMES ? 0 : (int16_t)((float)((i % 2000) - 1000) / 1000.0f * 32767.0f);
      ASSERT_EQ(sample16(f, (size_t)((fr - start) * 2 + c)), want) << fr;
    }
  }
  tape_free(t);
}

TEST(WavWrite, FailuresAndCancelLeaveTheOldFile) {
  Scratch s;
  Tape* t = make_tape(TAPE_CHUNK_FRAMES * 3, [](int64_t) { return 0.1f; });
  const std::string path = s / "keep.wav";
  spit(path, "old contents");

  int64_t mark = log_console_count();
  EXPECT_EQ(wav_write((s / "no/such/dir/x.wav").c_str(), t, 0, 10, 1, nullptr), -1);
  EXPECT_TRUE(logged_since(mark, "wav: couldn't open "));

  JobProgress pre;
  pre.cancel = true;
  EXPECT_EQ(wav_write(path.c_str(), t, 0, TAPE_CHUNK_FRAMES * 3, 1, &pre), -3);
  EXPECT_EQ(slurp(path), "old contents");
  EXPECT_FALSE(exists(path + ".tmp"));

  // Cancel once a few blocks have gone out.
  JobProgress p;
  EXPECT_EQ(cancel_midway(p, 3 * WAV_WRITE_BLOCK_FRAMES,
                          [&] {
                            spit(path, "old contents");
                            return wav_write(path.c_str(), t, 0, TAPE_CHUNK_FRAMES * 3, 1, &p);
                          }),
            -3);
  EXPECT_GT(p.done.load(), 0);
  EXPECT_LT(p.done.load(), TAPE_CHUNK_FRAMES * 3);
  EXPECT_EQ(slurp(path), "old contents");
  EXPECT_FALSE(exists(path + ".tmp"));
  tape_free(t);
}

TEST(WavWrite, TapesPastFourGigabytesAreCut) {
  Scratch s;
  Tape* t = tape_new(48000, 0, 0);
  t->length = WAV_MAX_FRAMES + 1000;  // no chunks: silence all the way
  JobProgress p;
  p.cancel = true;  // stop before writing gigabytes of silence
  int64_t mark = log_console_count();
  EXPECT_EQ(wav_write((s / "big.wav").c_str(), t, 0, INT64_MAX, 1, &p), -3);
  EXPECT_EQ(p.total.load(), WAV_MAX_FRAMES);
  EXPECT_TRUE(
      logged_since(mark, "is past the 4 GB WAV limit - keeping the first 1073741814 frames"));
  EXPECT_FALSE(exists(s / "big.wav.tmp"));
  tape_free(t);
}

// ---- reader ----

TEST(WavRead, ReadsWhatTheWriterWrote) {
  Scratch s;
  Tape* t = make_tape(100000, [](int64_t i) { return std::sin((double)i * 0.001) * 0.9; });
  ASSERT_EQ(wav_write((s / "r.wav").c_str(), t, 0, 100000, 1, nullptr), 0);
  JobProgress p;
  ReadResult r = read_wav(s / "r.wav", &p);
  ASSERT_EQ(r.rc, 0) << r.message;
  EXPECT_EQ(r.message, "");
  EXPECT_EQ(r.audio.channels, 2);
  EXPECT_EQ(r.audio.rate, 48000);
  EXPECT_EQ(r.audio.frames, 100000);
  EXPECT_EQ(p.total.load(), 400000);
  EXPECT_EQ(p.done.load(), 400000);
  for (int64_t i = 0; i < 200000; i += 13) {
    float x = (float)(std::sin((double)i * 0.001) * 0.9);
    ASSERT_NEAR(r.audio.samples[i], x * 32767.0f / 32768.0f, 1.0f / 32768.0f) << i;
  }
  decoded_audio_free(&r.audio);
  EXPECT_EQ(r.audio.samples, nullptr);
  EXPECT_EQ(r.audio.frames, 0);
  tape_free(t);
}

TEST(WavRead, EveryIntegerAndFloatWidth) {
  Scratch s;
  // 8-bit unsigned: 0, 128, 255.
  ReadResult r = read_bytes(s, wav(chunk("fmt ", fmt_body(1, 1, 8000, 8)) +
                                   chunk("data", std::string("\x00\x80\xFF", 3))));
  ASSERT_EQ(r.rc, 0) << r.message;
  ASSERT_EQ(r.audio.frames, 3);
  EXPECT_FLOAT_EQ(r.audio.samples[0], -1.0f);
  EXPECT_FLOAT_EQ(r.audio.samples[1], 0.0f);
  EXPECT_FLOAT_EQ(r.audio.samples[2], 127.0f / 128.0f);
  decoded_audio_free(&r.audio);

  // 16-bit: -32768, 32767 in stereo.
  r = read_bytes(s, wav(chunk("fmt ", fmt_body(1, 2, 44100, 16)) +
                        chunk("data", le16(0x8000) + le16(0x7FFF))));
  ASSERT_EQ(r.rc, 0) << r.message;
  ASSERT_EQ(r.audio.frames, 1);
  EXPECT_FLOAT_EQ(r.audio.samples[0], -1.0f);
  EXPECT_FLOAT_EQ(r.audio.samples[1], 32767.0f / 32768.0f);
  decoded_audio_free(&r.audio);

  // 24-bit: FF FF 7F is the largest, 00 00 80 the smallest, FF FF FF is -1.
  r = read_bytes(s, wav(chunk("fmt ", fmt_body(1, 1, 96000, 24)) +
                        chunk("data", std::string("\xFF\xFF\x7F\x00\x00\x80\xFF\xFF\xFF", 9))));
  ASSERT_EQ(r.rc, 0) << r.message;
  ASSERT_EQ(r.audio.frames, 3);
  EXPECT_FLOAT_EQ(r.audio.samples[0], 8388607.0f / 8388608.0f);
  EXPECT_FLOAT_EQ(r.audio.samples[1], -1.0f);
  EXPECT_FLOAT_EQ(r.audio.samples[2], -1.0f / 8388608.0f);
  decoded_audio_free(&r.audio);

  // 32-bit integer.
  r = read_bytes(s, wav(chunk("fmt ", fmt_body(1, 1, 48000, 32)) +
                        chunk("data", le32(0x80000000u) + le32(0x40000000u))));
  ASSERT_EQ(r.rc, 0) << r.message;
  EXPECT_FLOAT_EQ(r.audio.samples[0], -1.0f);
  EXPECT_FLOAT_EQ(r.audio.samples[1], 0.5f);
  decoded_audio_free(&r.audio);

  // 32- and 64-bit float, unclamped.
  float f32[2] = {1.25f, -0.125f};
  double f64[2] = {-2.5, 0.375};
  r = read_bytes(s, wav(chunk("fmt ", fmt_body(3, 2, 48000, 32)) +
                        chunk("data", std::string((const char*)f32, 8))));
  ASSERT_EQ(r.rc, 0) << r.message;
  EXPECT_EQ(r.audio.samples[0], 1.25f);
  EXPECT_EQ(r.audio.samples[1], -0.125f);
  decoded_audio_free(&r.audio);
  r = read_bytes(s, wav(chunk("fmt ", fmt_body(3, 1, 48000, 64)) +
                        chunk("data", std::string((const char*)f64, 16))));
  ASSERT_EQ(r.rc, 0) << r.message;
  EXPECT_EQ(r.audio.frames, 2);
  EXPECT_EQ(r.audio.samples[0], -2.5f);
  EXPECT_EQ(r.audio.samples[1], 0.375f);
  decoded_audio_free(&r.audio);

  // 12-bit samples in 16-bit containers: the block align decides.
  r = read_bytes(s, wav(chunk("fmt ", fmt_body(1, 2, 48000, 12, 4)) +
                        chunk("data", le16(0x4000) + le16(0xC000))));
  ASSERT_EQ(r.rc, 0) << r.message;
  EXPECT_FLOAT_EQ(r.audio.samples[0], 0.5f);
  EXPECT_FLOAT_EQ(r.audio.samples[1], -0.5f);
  decoded_audio_free(&r.audio);
}

TEST(WavRead, ExtensibleFormats) {
  Scratch s;
  ReadResult r =
      read_bytes(s, wav(chunk("fmt ", ext_body(1, 3, 48000, 24, 24)) +
                        chunk("data", std::string("\x00\x00\x40\x00\x00\xC0\xFF\xFF\x7F", 9))));
  ASSERT_EQ(r.rc, 0) << r.message;
  EXPECT_EQ(r.audio.channels, 3);
  EXPECT_EQ(r.audio.frames, 1);
  EXPECT_FLOAT_EQ(r.audio.samples[0], 0.5f);
  EXPECT_FLOAT_EQ(r.audio.samples[1], -0.5f);
  decoded_audio_free(&r.audio);

  float f[1] = {0.75f};
  r = read_bytes(s, wav(chunk("fmt ", ext_body(3, 1, 22050, 32, 32)) +
                        chunk("data", std::string((const char*)f, 4))));
  ASSERT_EQ(r.rc, 0) << r.message;
  EXPECT_EQ(r.audio.samples[0], 0.75f);
  decoded_audio_free(&r.audio);

  r = read_bytes(s,
                 wav(chunk("fmt ", ext_body(1, 2, 48000, 16, 16, false)) + chunk("data", "abcd")));
  EXPECT_EQ(r.rc, -2);
  EXPECT_EQ(r.message, "unsupported WAV (extensible sub-format)");
  // Too short to hold the sub-format.
  r = read_bytes(
      s, wav(chunk("fmt ", ext_body(1, 2, 48000, 16, 16).substr(0, 24)) + chunk("data", "abcd")));
  EXPECT_EQ(r.rc, -2);
  EXPECT_EQ(r.message, "unsupported WAV (extensible sub-format)");
  // An extensible ADPCM sub-format is refused by its tag.
  r = read_bytes(s, wav(chunk("fmt ", ext_body(2, 2, 48000, 4, 4)) + chunk("data", "abcd")));
  EXPECT_EQ(r.rc, -2);
  EXPECT_EQ(r.message, "unsupported WAV (format 0x0002, 4-bit, 2 ch)");
}

TEST(WavRead, ChunkOrderAndSizes) {
  Scratch s;
  const std::string fmt = chunk("fmt ", fmt_body(1, 1, 48000, 16));
  const std::string audio = le16(1000) + le16(2000) + le16(3000);

  // data before fmt, with an odd-sized chunk (and its pad byte) between.
  ReadResult r = read_bytes(s, wav(chunk("data", audio) + chunk("LIST", "abc") + fmt));
  ASSERT_EQ(r.rc, 0) << r.message;
  EXPECT_EQ(r.audio.frames, 3);
  EXPECT_FLOAT_EQ(r.audio.samples[2], 3000.0f / 32768.0f);
  decoded_audio_free(&r.audio);

  // 0xFFFFFFFF (streamed / RF64 style) reads to the end of the file when fmt came first...
  r = read_bytes(s, wav(fmt + chunk_sized("data", 0xFFFFFFFFu, audio + "\x01"), "RF64"));
  ASSERT_EQ(r.rc, 0) << r.message;
  EXPECT_EQ(r.audio.frames, 3);  // the odd byte is not a frame
  decoded_audio_free(&r.audio);
  // ... size 0 and a size past the end likewise ...
  r = read_bytes(s, wav(fmt + chunk_sized("data", 0, audio)));
  EXPECT_EQ(r.audio.frames, 3);
  decoded_audio_free(&r.audio);
  r = read_bytes(s, wav(fmt + chunk_sized("data", 1000, audio)));
  EXPECT_EQ(r.audio.frames, 3);
  decoded_audio_free(&r.audio);
  // ... and walking stops there, so a later fmt is never found.
  r = read_bytes(s, wav(chunk_sized("data", 0xFFFFFFFFu, audio) + fmt));
  EXPECT_EQ(r.rc, -2);
  EXPECT_EQ(r.message, "WAV has no format chunk");

  // An RF64 file's ds64 chunk gives the true data size, so a trailing chunk is not audio.
  r = read_bytes(s, wav(chunk("ds64", le64(0) + le64(6) + le64(3) + le32(0)) + fmt +
                            chunk_sized("data", 0xFFFFFFFFu, audio) + chunk("LIST", "trailing"),
                        "RF64"));
  ASSERT_EQ(r.rc, 0) << r.message;
  EXPECT_EQ(r.audio.frames, 3);
  decoded_audio_free(&r.audio);

  // An unfinished RF64 file (ds64 data size still 0) reads to the end, as without a ds64.
  r = read_bytes(s, wav(chunk("ds64", le64(0) + le64(0) + le64(0) + le32(0)) + fmt +
                            chunk_sized("data", 0xFFFFFFFFu, audio),
                        "RF64"));
  ASSERT_EQ(r.rc, 0) << r.message;
  EXPECT_EQ(r.audio.frames, 3);
  decoded_audio_free(&r.audio);

  // Data of a sized chunk ends at its size even when more chunks follow.
  r = read_bytes(s, wav(fmt + chunk("data", audio) + chunk("junk", std::string(100, 'j'))));
  EXPECT_EQ(r.audio.frames, 3);
  decoded_audio_free(&r.audio);

  // A chunk running past the end stops the walk.
  r = read_bytes(s, wav(fmt + chunk_sized("LIST", 500, "abc") + chunk("data", audio)));
  EXPECT_EQ(r.rc, -2);
  EXPECT_EQ(r.message, "WAV has no audio data");

  // A fmt chunk larger than 40 bytes is read and skipped whole.
  r = read_bytes(s, wav(chunk("fmt ", fmt_body(1, 1, 48000, 16) + std::string(30, 'z')) +
                        chunk("data", audio)));
  ASSERT_EQ(r.rc, 0) << r.message;
  EXPECT_EQ(r.audio.frames, 3);
  decoded_audio_free(&r.audio);

  // A data chunk of zero frames decodes to nothing, with a sample array still there.
  r = read_bytes(s, wav(fmt + chunk("data", "")));
  ASSERT_EQ(r.rc, 0) << r.message;
  EXPECT_EQ(r.audio.frames, 0);
  EXPECT_NE(r.audio.samples, nullptr);
  decoded_audio_free(&r.audio);
}

TEST(WavRead, RefusalsCarryTheirReasons) {
  Scratch s;
  const std::string audio = "abcd";
  struct Case {
    std::string bytes;
    int rc;
    const char* message;
  } cases[] = {
      {"", -2, "not a WAV file"},
      {"RIFF", -2, "not a WAV file"},
      {"RIFX" + le32(4) + "WAVE", -2, "not a WAV file"},
      {"RIFF" + le32(4) + "AVI ", -2, "not a WAV file"},
      {"RIFF" + le32(4) + "WAVE", -2, "WAV has no format chunk"},
      {"RIFF" + le32(4) + "WAVEfmt ", -2, "WAV has no format chunk"},  // 16 bytes
      {"BW64" + le32(4) + "WAVE" + chunk("data", audio), -2, "WAV has no format chunk"},
      {wav(chunk("fmt ", fmt_body(1, 2, 48000, 16))), -2, "WAV has no audio data"},
      {wav(chunk("fmt ", fmt_body(1, 2, 48000, 16).substr(0, 14)) + chunk("data", audio)), -2,
       "broken fmt chunk"},
      {wav(chunk_sized("fmt ", 16, fmt_body(1, 2, 48000, 16).substr(0, 10))), -2,
       "broken fmt chunk"},
      {wav(chunk("fmt ", fmt_body(2, 2, 44100, 4, 2048)) + chunk("data", audio)), -2,
       "unsupported WAV (format 0x0002, 4-bit, 2 ch)"},
      {wav(chunk("fmt ", fmt_body(1, 0, 44100, 16)) + chunk("data", audio)), -2,
       "unsupported WAV (format 0x0001, 16-bit, 0 ch)"},
      {wav(chunk("fmt ", fmt_body(1, 1025, 44100, 16)) + chunk("data", audio)), -2,
       "unsupported WAV (format 0x0001, 16-bit, 1025 ch)"},
      {wav(chunk("fmt ", fmt_body(1, 2, 0, 16)) + chunk("data", audio)), -2,
       "unsupported WAV (format 0x0001, 16-bit, 2 ch)"},
      {wav(chunk("fmt ", fmt_body(3, 2, 48000, 16)) + chunk("data", audio)), -2,
       "unsupported WAV (format 0x0003, 16-bit, 2 ch)"},
      {wav(chunk("fmt ", fmt_body(1, 1, 48000, 40)) + chunk("data", audio)), -2,
       "unsupported WAV (format 0x0001, 40-bit, 1 ch)"},
      {wav(chunk("fmt ", fmt_body(0x55, 2, 48000, 0)) + chunk("data", audio)), -2,
       "unsupported WAV (format 0x0055, 0-bit, 2 ch)"},
  };
  for (const Case& c : cases) {
    ReadResult r = read_bytes(s, c.bytes);
    EXPECT_EQ(r.rc, c.rc) << c.message;
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(r.audio.samples, nullptr);
  }
  ReadResult r = read_wav(s / "missing.wav");
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.message, "file not found");
  mkdir((s / "dir.wav").c_str(), 0755);
  r = read_wav(s / "dir.wav");
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.message, "couldn't open the file");
  if (geteuid() != 0) {
    spit(s / "locked.wav", wav(chunk("fmt ", fmt_body(1, 1, 8000, 8)) + chunk("data", "a")));
    chmod((s / "locked.wav").c_str(), 0);
    r = read_wav(s / "locked.wav");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.message, "couldn't open the file");
  }
}

TEST(WavRead, CancelDiscardsTheAudio) {
  Scratch s;
  spit(s / "c.wav",
       wav(chunk("fmt ", fmt_body(1, 2, 48000, 16)) + chunk("data", std::string(3 << 20, '\x01'))));
  JobProgress p;
  p.cancel = true;
  ReadResult r = read_wav(s / "c.wav", &p);
  EXPECT_EQ(r.rc, -3);
  EXPECT_EQ(r.audio.samples, nullptr);
  EXPECT_EQ(r.audio.frames, 0);
  EXPECT_EQ(p.total.load(), 3 << 20);
}

// Every truncation of a valid file, and random damage to its header, ends in a result and a
// reason, never a crash (the sanitizer build checks the memory side).
TEST(WavRead, TruncatedAndHostileHeadersNeverCrash) {
  Scratch s;
  std::vector<std::string> seeds = {
      wav(chunk("fmt ", fmt_body(1, 2, 48000, 16)) + chunk("LIST", "abcde") +
          chunk("data", std::string(64, '\x11'))),
      wav(chunk("ds64", le64(0) + le64(48) + le64(3) + le32(0)) +
              chunk("fmt ", ext_body(1, 3, 48000, 24, 24)) +
              chunk_sized("data", 0xFFFFFFFFu, std::string(48, 'x')),
          "RF64"),
      wav(chunk("data", std::string(30, '\x22')) + chunk("fmt ", fmt_body(3, 1, 8000, 64))),
  };
  auto check = [&](const std::string& bytes) {
    ReadResult r = read_bytes(s, bytes);
    EXPECT_TRUE(r.rc == 0 || r.rc == -1 || r.rc == -2) << r.rc;
    if (r.rc == 0) {
      EXPECT_NE(r.audio.samples, nullptr);
      EXPECT_GE(r.audio.channels, 1);
      EXPECT_LE((size_t)(r.audio.frames * r.audio.channels), bytes.size());
      EXPECT_EQ(r.message, "");
    } else {
      EXPECT_FALSE(r.message.empty());
      EXPECT_LT(r.message.size(), 127u);
      EXPECT_EQ(r.audio.samples, nullptr);
    }
    decoded_audio_free(&r.audio);
  };
  for (const std::string& seed : seeds) {
    for (size_t n = 0; n <= seed.size(); n++) check(seed.substr(0, n));
  }
  std::mt19937 rng(1234);
  for (int iter = 0; iter < 3000; iter++) {
    std::string b = seeds[(size_t)iter % seeds.size()];
    int edits = 1 + (int)(rng() % 4);
    for (int e = 0; e < edits; e++) {
      size_t at = rng() % std::min<size_t>(b.size(), 100);
      switch (rng() % 4) {
        case 0:
          b[at] = (char)rng();
          break;
        case 1:  // a size field set to something extreme
          if (at + 4 <= b.size()) {
            static const uint32_t extremes[] = {0,  1,          15,         16,        39,
                                                40, 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFF8};
            b.replace(at, 4, le32(extremes[rng() % 9]));
          }
          break;
        case 2:
          b.resize(rng() % (b.size() + 1));
          break;
        default:
          b.insert(at, std::string(1 + rng() % 9, (char)rng()));
          break;
      }
      if (b.empty()) break;
    }
    check(b);
  }
}
