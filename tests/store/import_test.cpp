// Import of real files made at test time by the ffmpeg command line.
#include "store/import.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "store/filenames.h"
#include "store/jobs.h"
#include "store/meta.h"
#include "base/progress.h"
#include "store/wav.h"
#include "support/tmpdir.h"
#include "support/tmpfs.h"

namespace {

bool have_ffmpeg() {
  static int have = -1;
  if (have < 0) have = system("ffmpeg -hide_banner -version >/dev/null 2>&1") == 0;
  return have == 1;
}

#define NEED_FFMPEG()                                                                         \
  ASSERT_TRUE(have_ffmpeg()) << "the ffmpeg command line is missing: these tests make their " \
                                "audio files with it (install the ffmpeg package)"

// Runs ffmpeg with a lavfi source and output arguments, writing out.
void make_audio(const std::string& source, const std::string& args, const std::string& out) {
  std::string cmd = "ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i \"" + source +
                    "\" " + args + " '" + out + "' 2>&1";
  ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
}

std::string sine(int rate, double seconds, double freq = 440) {
  char s[128];
  snprintf(s, sizeof s, "sine=frequency=%g:sample_rate=%d:duration=%g", freq, rate, seconds);
  return s;
}

std::vector<std::string> entries(const std::string& folder) {
  std::vector<std::string> out;
  DIR* d = opendir(folder.c_str());
  if (!d) return out;
  while (dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) out.push_back(e->d_name);
  closedir(d);
  return out;
}

int64_t size_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (int64_t)st.st_size : -1;
}

std::vector<float> read_floats(const std::string& path) {
  std::vector<float> v((size_t)std::max<int64_t>(0, size_of(path)) / 4);
  FILE* f = fopen(path.c_str(), "rb");
  if (f) {
    EXPECT_EQ(fread(v.data(), 4, v.size(), f), v.size());
    fclose(f);
  }
  return v;
}

struct Decoded {
  DecodedAudio a{};
  int rc = 0;
  std::string message;
  std::string log;
  Decoded(const std::string& path, JobProgress* progress = nullptr) {
    char msg[256] = "?";
    testing::internal::CaptureStderr();
    rc = decode_audio_file(path.c_str(), &a, progress, msg, sizeof msg);
    log = testing::internal::GetCapturedStderr();
    message = msg;
  }
  ~Decoded() { decoded_audio_free(&a); }
  double rms(int channel) const {
    double s = 0;
    for (int64_t i = 0; i < a.frames; i++) {
      double v = a.samples[i * a.channels + channel];
      s += v * v;
    }
    return a.frames ? std::sqrt(s / (double)a.frames) : 0;
  }
};

struct JobHolder {
  Job* job;
  explicit JobHolder(const std::string& file, const std::string& library)
      : job(job_new(JOB_IMPORT_AUDIO)) {
    snprintf(job->path, sizeof job->path, "%s", file.c_str());
    snprintf(job->folder, sizeof job->folder, "%s", library.c_str());
  }
  ~JobHolder() { job_free(job); }
  int run() { return import_audio_job(job); }
};

// The decoded samples equal the ffmpeg program's own float output of the same file.
void expect_same_as_ffmpeg(const Decoded& d, const std::string& path, const std::string& raw) {
  std::string cmd =
      "ffmpeg -hide_banner -loglevel error -nostdin -y -i '" + path + "' -f f32le '" + raw + "'";
  ASSERT_EQ(system(cmd.c_str()), 0);
  std::vector<float> ref = read_floats(raw);
  ASSERT_EQ((int64_t)ref.size(), d.a.frames * d.a.channels);
  for (size_t i = 0; i < ref.size(); i++) ASSERT_NEAR(d.a.samples[i], ref[i], 1e-6) << i;
}

// lavfi's sine source: amplitude 1/8.
constexpr double kSineRms = 0.125 / M_SQRT2;

// ---- names, extensions and the waveform ----

TEST(ImportNames, ExtensionsAndSketchNames) {
  for (const char* ok : {"take.MP3", "/a/b.wav", "x.m4a", "x.AAC", "x.Flac", "x.wma", "a.b.wav"})
    EXPECT_TRUE(import_extension_accepted(ok)) << ok;
  for (const char* no : {"x.ogg", "x.opus", "noext", "/dir.mp3/file", "x.", "x.wav.bak", ""})
    EXPECT_FALSE(import_extension_accepted(no)) << no;

  char name[300];
  struct {
    const char* path;
    const char* name;
  } cases[] = {{"/m/.hidden.wav", ".hidden"}, {"song.final.flac", "song.final"},
               {"/m/.wav", ".wav"},           {"/a.b/take", "take"},
               {"/m/take.MP3", "take"},       {"/m/bad\xff.wav", "bad\xef\xbf\xbd"}};
  for (auto& c : cases) {
    import_sketch_name(c.path, name, sizeof name);
    EXPECT_STREQ(name, c.name) << c.path;
  }
  // 100 three-byte characters: cut to 255 bytes without splitting one.
  std::string longName;
  for (int i = 0; i < 100; i++) longName += "\xe6\xb5\xb7";
  EXPECT_EQ(import_sketch_name(("/m/" + longName + ".wav").c_str(), name, sizeof name), 255u);
  EXPECT_EQ(std::string(name), longName.substr(0, 255));
  // A small buffer still ends on a character boundary.
  EXPECT_EQ(import_sketch_name(("/m/" + longName + ".wav").c_str(), name, 8), 6u);
}

TEST(ImportWaveform, BucketsAndScaling) {
  double sums[96] = {};
  float out[96];
  // 50 frames: bucket 1, 50 points.
  for (int i = 0; i < 50; i++) sums[i] = i < 25 ? 0.5 : 0.25;
  ASSERT_EQ(import_waveform(sums, 50, out), 50);
  EXPECT_FLOAT_EQ(out[0], 1.0f);
  EXPECT_FLOAT_EQ(out[49], 0.5f);
  // 1000 frames: bucket 10, 96 points; the last 40 frames fall in no bin.
  for (int i = 0; i < 96; i++) sums[i] = 10.0 * (i + 1) / 96.0;
  ASSERT_EQ(import_waveform(sums, 1000, out), 96);
  EXPECT_FLOAT_EQ(out[95], 1.0f);
  EXPECT_NEAR(out[47], 0.5f, 1e-6);
  // 200 frames: bucket 2, 96 points; silence stays 0.
  for (double& s : sums) s = 0;
  ASSERT_EQ(import_waveform(sums, 200, out), 96);
  for (float v : out) EXPECT_EQ(v, 0.0f);
  EXPECT_EQ(import_waveform(sums, 0, out), 0);
}

// ---- decoding ----

class ImportFiles : public testing::Test {
 protected:
  TmpDir dir{"import"};
  std::string library;
  void SetUp() override {
    NEED_FFMPEG();
    library = dir / "library";
    ASSERT_EQ(mkdir(library.c_str(), 0755), 0);
  }
};

TEST_F(ImportFiles, EveryFormatDecodes) {
  struct Case {
    const char* file;
    const char* args;
    int64_t low, high;  // frames: lossy codecs pad or trim a little
    double rmsTolerance;
  } cases[] = {
      {"a.mp3", "-c:a libmp3lame -b:a 128k", 44100, 44100 + 2304, 0.08},
      {"a.flac", "-c:a flac", 44100, 44100, 0.001},
      {"a.m4a", "-c:a aac", 44100, 44100 + 2048, 0.05},
      {"a.aac", "-c:a aac -f adts", 44100, 44100 + 3072, 0.05},
      {"a.wma", "-c:a wmav2", 44100 - 2048, 44100 + 2048, 0.05},
      {"take.MP3", "-c:a libmp3lame -f mp3", 44100, 44100 + 2304, 0.08},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::string path = dir / c.file;
    make_audio(sine(44100, 1.0), c.args, path);
    JobProgress progress;
    Decoded d(path, &progress);
    ASSERT_EQ(d.rc, 0) << d.message << d.log;
    EXPECT_EQ(d.a.channels, 1);
    EXPECT_EQ(d.a.rate, 44100.0);
    EXPECT_GE(d.a.frames, c.low);
    EXPECT_LE(d.a.frames, c.high);
    EXPECT_NEAR(d.rms(0), kSineRms, kSineRms * c.rmsTolerance);
    EXPECT_EQ(progress.done.load(), size_of(path));
    EXPECT_EQ(progress.total.load(), size_of(path));
    expect_same_as_ffmpeg(d, path, dir / "out.raw");
  }
}

TEST_F(ImportFiles, WavReaderFirstFFmpegForTheRest) {
  // 24-bit: our own reader, exact, no fallback.
  std::string w24 = dir / "a24.wav";
  make_audio("aevalsrc=0.3*sin(2*PI*440*t):s=48000:d=0.5", "-c:a pcm_s24le", w24);
  {
    Decoded d(w24);
    ASSERT_EQ(d.rc, 0) << d.message;
    EXPECT_EQ(d.a.frames, 24000);
    EXPECT_EQ(d.a.rate, 48000.0);
    EXPECT_EQ(d.log.find("trying"), std::string::npos) << d.log;
    for (int64_t i = 0; i < d.a.frames; i += 997)
      EXPECT_NEAR(d.a.samples[i], 0.3 * sin(2 * M_PI * 440 * i / 48000.0), 2e-7) << i;
  }
  // ADPCM: our reader refuses it, FFmpeg takes it, and the log says so.
  std::string adpcm = dir / "adpcm.wav";
  make_audio("aevalsrc=0.125*sin(2*PI*440*t)|0.125*sin(2*PI*440*t):s=44100:d=1", "-c:a adpcm_ms",
             adpcm);
  {
    Decoded d(adpcm);
    ASSERT_EQ(d.rc, 0) << d.message << d.log;
    EXPECT_EQ(d.a.channels, 2);
    EXPECT_GE(d.a.frames, 44100);
    EXPECT_LE(d.a.frames, 44100 + 2048);
    EXPECT_NEAR(d.rms(1), kSineRms, kSineRms * 0.05);
    expect_same_as_ffmpeg(d, adpcm, dir / "out.raw");
    EXPECT_NE(d.log.find("decode: " + adpcm +
                         " - unsupported WAV (format 0x0002, 4-bit, 2 ch); trying FFmpeg"),
              std::string::npos)
        << d.log;
  }
  // A WAV our reader fails on for other reasons is not handed on.
  std::string shortWav = dir / "short.wav";
  tmpdir_write(shortWav, std::string("RIFF\x24\0\0\0WAVEfmt ", 16));
  {
    Decoded d(shortWav);
    EXPECT_EQ(d.rc, -2);
  }
  {
    Decoded d(dir / "missing.flac");
    EXPECT_EQ(d.rc, -1);
    EXPECT_EQ(d.message, "file not found");
  }
}

TEST_F(ImportFiles, RefusedFilesTryNoDecoder) {
  std::string ogg = dir / "a.ogg";
  make_audio(sine(44100, 0.2), "-c:a libvorbis", ogg);
  Decoded d(ogg);
  EXPECT_EQ(d.rc, -2);
  EXPECT_EQ(d.message, "Couldn't import that file.");
  EXPECT_EQ(d.log.find("decode:"), std::string::npos) << d.log;

  JobHolder j(ogg, library);
  testing::internal::CaptureStderr();
  EXPECT_EQ(j.run(), -1);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(j.job->result, JOB_FAILED);
  EXPECT_STREQ(j.job->message, "Couldn't import that file.");
  EXPECT_TRUE(entries(library).empty());

  // Nothing to work with.
  JobHolder none("", library);
  EXPECT_EQ(none.run(), -1);
  EXPECT_STREQ(none.job->message, "Couldn't import that file.");
}

// A pipe named like audio (dropped by mistake) is refused at once instead of holding the IO
// worker in open() until something writes to it.
TEST_F(ImportFiles, PipesAreRefusedWithoutOpening) {
  for (const char* name : {"pipe.wav", "pipe.mp3"}) {
    SCOPED_TRACE(name);
    std::string path = dir / name;
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    std::atomic<bool> finished{false};
    int rc = 0;
    std::string message, log;
    std::thread t([&] {
      Decoded d(path);
      rc = d.rc;
      message = d.message;
      log = d.log;
      finished = true;
    });
    for (int i = 0; i < 500 && !finished; i++) usleep(10000);
    const bool blocked = !finished;
    if (blocked) {  // let the stuck open() go so the test ends
      int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) close(fd);
    }
    t.join();
    EXPECT_FALSE(blocked);
    EXPECT_EQ(rc, -2);
    EXPECT_EQ(message, "Couldn't import that file.");
    EXPECT_NE(log.find("decode: " + path + " isn't a regular file"), std::string::npos) << log;
  }
}

// A 16-bit mono PCM WAV at rate with bytes of sample data, written by hand so that any rate can
// be named in its header.
void write_wav(const std::string& path, uint32_t rate, uint32_t bytes) {
  std::string w;
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; i++) w += (char)((v >> (8 * i)) & 0xFF);
  };
  auto u16 = [&](uint16_t v) {
    w += (char)(v & 0xFF);
    w += (char)(v >> 8);
  };
  w += "RIFF";
  u32(36 + bytes);
  w += "WAVEfmt ";
  u32(16);
  u16(1);  // PCM
  u16(1);  // mono
  u32(rate);
  u32(rate * 2);
  u16(2);
  u16(16);
  w += "data";
  u32(bytes);
  for (uint32_t i = 0; i < bytes; i++) w += (char)((i * 37) & 0xFF);
  tmpdir_write(path, w);
}

// Opening a sketch resamples it to the device's rate: a few kilobytes claiming 1 Hz would become
// gigabytes. Such files are refused at import, by either decoder, and nothing is left behind.
TEST_F(ImportFiles, RatesNoRecordingHasAreRefused) {
  struct Case {
    const char* file;
    uint32_t rate;
    bool ffmpeg;  // made by the ffmpeg program as FLAC, else a hand-made WAV
    bool ok;
  } cases[] = {
      {"one-hertz.wav", 1, false, false},
      {"just-below.wav", 999, false, false},
      {"lowest.wav", 1000, false, true},
      {"highest.wav", 768000, false, true},
      {"just-above.wav", 768001, false, false},
      {"huge.wav", 4000000000u, false, false},
      {"slow.flac", 800, true, false},
      {"fine.flac", 8000, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = dir / c.file;
    if (c.ffmpeg)
      make_audio(sine((int)c.rate, 2.0, 100), "-c:a flac", path);
    else
      write_wav(path, c.rate, 9000);
    Decoded d(path);
    EXPECT_EQ(d.rc, c.ok ? 0 : -2);
    if (!c.ok) {
      EXPECT_EQ(d.message, IMPORT_RATE_REFUSED);
      EXPECT_EQ(d.a.samples, nullptr);
    }
    JobHolder j(path, library);
    testing::internal::CaptureStderr();
    EXPECT_EQ(j.run(), c.ok ? 0 : -1);
    testing::internal::GetCapturedStderr();
    if (c.ok) {
      EXPECT_EQ(j.job->result, JOB_DONE);
      ASSERT_NE(j.job->meta_out, nullptr);
      EXPECT_EQ(j.job->meta_out->sampleRate, (double)c.rate);
      tmpdir_remove(j.job->result_path);
    } else {
      EXPECT_EQ(j.job->result, JOB_FAILED);
      EXPECT_STREQ(j.job->message, IMPORT_RATE_REFUSED);
    }
    EXPECT_TRUE(entries(library).empty());
  }
}

TEST_F(ImportFiles, DamagedFilesFailCleanly) {
  std::string good = dir / "good.mp3";
  make_audio(sine(44100, 2.0), "-c:a libmp3lame", good);
  std::string bytes = tmpdir_read(good);
  ASSERT_GT(bytes.size(), 4000u);

  std::string noise(20000, 0);
  uint32_t x = 12345;
  for (char& c : noise) c = (char)((x = x * 1664525u + 1013904223u) >> 24);
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"garbage.mp3", noise},
      {"empty.mp3", ""},
      {"header-only.mp3", bytes.substr(0, 200)},
      {"text.flac", "this is not audio at all"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir / c.name;
    tmpdir_write(path, c.bytes);
    JobHolder j(path, library);
    testing::internal::CaptureStderr();
    EXPECT_EQ(j.run(), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(j.job->result, JOB_FAILED);
    EXPECT_STREQ(j.job->message, "Couldn't import that file.");
    EXPECT_NE(log.find("import: " + path + " - "), std::string::npos) << log;
    EXPECT_TRUE(entries(library).empty());
  }

  // Contents, not the name, decide the decoder: an mp3 named .wma imports.
  std::string renamed = dir / "renamed.wma";
  tmpdir_write(renamed, bytes);
  {
    Decoded d(renamed);
    ASSERT_EQ(d.rc, 0) << d.message << d.log;
    EXPECT_EQ(d.a.frames, 88200);
  }

  // Damage in the middle of a lossless file: the damaged frame is skipped, the rest comes in.
  std::string flac = dir / "damaged.flac";
  make_audio(sine(44100, 2.0), "-c:a flac", flac);
  std::string fbytes = tmpdir_read(flac);
  for (size_t i = 0; i < 300; i++) fbytes[fbytes.size() / 2 + i] = noise[i];
  tmpdir_write(flac, fbytes);
  {
    Decoded d(flac);
    ASSERT_EQ(d.rc, 0) << d.message << d.log;
    EXPECT_GE(d.a.frames, 88200 - 8192);
    EXPECT_LE(d.a.frames, 88200);
    EXPECT_NE(d.log.find("damaged packet"), std::string::npos) << d.log;
  }

  // Cut mid-stream: what was there comes in, nothing after it.
  std::string cut = dir / "cut.mp3";
  tmpdir_write(cut, bytes.substr(0, bytes.size() / 2 + 77));
  Decoded d(cut);
  ASSERT_EQ(d.rc, 0) << d.message << d.log;
  EXPECT_GT(d.a.frames, 30000);
  EXPECT_LT(d.a.frames, 60000);
}

// ---- whole imports ----

struct Sketch {
  SketchMeta meta{};
  MetaStatus status = META_MISSING;
  std::string folder;
  std::vector<float> tape;
  explicit Sketch(const std::string& f) : folder(f) {
    bool dirty = false;
    char msg[256];
    status = meta_load_folder(f.c_str(), &meta, &dirty, msg, sizeof msg);
    tape = read_floats(f + "/tape.f32");
  }
  ~Sketch() { meta_free(&meta); }
};

TEST_F(ImportFiles, ImportMakesACompleteSketch) {
  // Stereo, lossless: left a sine, right a constant, so the mix is known exactly.
  std::string src = dir / "Song Two.final.flac";
  make_audio("aevalsrc=0.5*sin(2*PI*330*t)|0.25:s=32000:d=1.5", "-c:a flac", src);
  Decoded d(src);
  ASSERT_EQ(d.rc, 0);
  ASSERT_EQ(d.a.channels, 2);
  ASSERT_EQ(d.a.frames, 48000);

  JobHolder j(src, library);
  testing::internal::CaptureStderr();
  ASSERT_EQ(j.run(), 0) << j.job->message;
  std::string log = testing::internal::GetCapturedStderr();
  Job* job = j.job;
  EXPECT_EQ(job->result, JOB_DONE);
  EXPECT_EQ(job->frames_out, 48000);
  ASSERT_NE(job->meta_out, nullptr);
  EXPECT_STREQ(job->result_id, job->meta_out->id);
  EXPECT_EQ(std::string(job->result_path), library + "/" + job->result_id);
  EXPECT_NE(log.find("import: " + src + " -> " + job->result_path + " (48000 frames at 32000 Hz)"),
            std::string::npos)
      << log;

  Sketch s(job->result_path);
  ASSERT_EQ(s.status, META_OK);
  EXPECT_STREQ(s.meta.id, job->result_id);
  EXPECT_STREQ(s.meta.name, "Song Two.final");
  EXPECT_EQ(s.meta.sampleRate, 32000.0);
  EXPECT_EQ(s.meta.lengthSamples, 48000);
  EXPECT_EQ(s.meta.channels, 2);
  ASSERT_EQ(s.meta.waveformCount, 96);
  float top = 0;
  for (int i = 0; i < 96; i++) top = std::max(top, s.meta.waveform[i]);
  EXPECT_FLOAT_EQ(top, 1.0f);

  // tape.f32: every frame is the mean of the file's channels, on both sides.
  ASSERT_EQ(s.tape.size(), 48000u * 2);
  for (int64_t i = 0; i < 48000; i++) {
    float m = (d.a.samples[2 * i] + d.a.samples[2 * i + 1]) * 0.5f;
    ASSERT_EQ(s.tape[2 * i], m) << i;
    ASSERT_EQ(s.tape[2 * i + 1], m) << i;
  }

  // The side-car WAV, named from the title.
  char sidecar[96];
  ASSERT_EQ(sidecar_wav_name("Song Two.final", sidecar, sizeof sidecar), 0);
  EXPECT_STREQ(sidecar, "Song_Two_final.wav");
  std::string wav = std::string(job->result_path) + "/" + sidecar;
  DecodedAudio side{};
  char msg[128];
  ASSERT_EQ(wav_read(wav.c_str(), &side, nullptr, msg, sizeof msg), 0) << msg;
  EXPECT_EQ(side.channels, 2);
  EXPECT_EQ(side.rate, 32000.0);
  EXPECT_EQ(side.frames, 48000);
  for (int64_t i = 0; i < side.frames; i += 1001)
    EXPECT_NEAR(side.samples[2 * i], s.tape[2 * i], 1e-4);
  decoded_audio_free(&side);

  // Exactly three files, and no stray temporary ones.
  EXPECT_EQ(entries(job->result_path).size(), 3u);
}

TEST_F(ImportFiles, AcceptedFormatsBecomeSketches) {
  struct Case {
    const char* file;
    const char* args;
    int64_t low, high;
  } cases[] = {
      {"one.mp3", "-c:a libmp3lame", 22050, 22050 + 2304},
      {"two.m4a", "-c:a aac", 22050, 22050 + 2048},
      {"three.wma", "-c:a wmav2", 22050 - 2048, 22050 + 2048},
      {"four.wav", "-c:a pcm_s24le", 22050, 22050},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::string src = dir / c.file;
    make_audio(sine(44100, 0.5), c.args, src);
    JobHolder j(src, library);
    testing::internal::CaptureStderr();
    ASSERT_EQ(j.run(), 0) << j.job->message;
    testing::internal::GetCapturedStderr();
    Sketch s(j.job->result_path);
    ASSERT_EQ(s.status, META_OK);
    EXPECT_EQ(s.meta.sampleRate, 44100.0);
    EXPECT_GE(s.meta.lengthSamples, c.low);
    EXPECT_LE(s.meta.lengthSamples, c.high);
    EXPECT_EQ((int64_t)s.tape.size(), 2 * s.meta.lengthSamples);
    EXPECT_EQ(s.meta.waveformCount, 96);
    EXPECT_EQ(entries(j.job->result_path).size(), 3u);
  }
  EXPECT_EQ(entries(library).size(), 4u);
}

TEST_F(ImportFiles, CancellingChannelsImportSilence) {
  // Float WAV with channels 1 and -1 (our reader), and a lossless pair through FFmpeg.
  std::string wav = dir / "cancel.wav";
  make_audio("aevalsrc=1|-1:s=8000:d=0.5", "-c:a pcm_f32le", wav);
  std::string flac = dir / "cancel.flac";
  make_audio("aevalsrc=0.5*sgn(sin(2*PI*440*t))|-0.5*sgn(sin(2*PI*440*t)):s=44100:d=0.5",
             "-c:a flac", flac);
  for (const std::string& src : {wav, flac}) {
    SCOPED_TRACE(src);
    JobHolder j(src, library);
    testing::internal::CaptureStderr();
    ASSERT_EQ(j.run(), 0) << j.job->message;
    testing::internal::GetCapturedStderr();
    Sketch s(j.job->result_path);
    ASSERT_EQ(s.status, META_OK);
    ASSERT_GT(s.tape.size(), 0u);
    for (float v : s.tape) ASSERT_EQ(v, 0.0f);
    // A silent file's waveform is 96 zeros: nothing to scale by.
    ASSERT_EQ(s.meta.waveformCount, 96);
    for (int i = 0; i < 96; i++) EXPECT_EQ(s.meta.waveform[i], 0.0f);
  }
}

TEST_F(ImportFiles, NonFiniteSamplesImportAsSilence) {
  // A mono float WAV: 0.5, NaN, +inf, -inf, -0.25.
  const float v[5] = {0.5f, NAN, INFINITY, -INFINITY, -0.25f};
  unsigned char h[44] = {'R', 'I', 'F', 'F', 56, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                         16,  0,   0,   0,   3,  0, 1, 0, 0x40, 0x1F, 0, 0, 0, 0x7D, 0, 0,
                         4,   0,   32,  0,   'd', 'a', 't', 'a', 20, 0, 0, 0};
  std::string src = dir / "odd.wav";
  FILE* f = fopen(src.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(h, 1, sizeof h, f);
  fwrite(v, 4, 5, f);
  fclose(f);

  JobHolder j(src, library);
  testing::internal::CaptureStderr();
  ASSERT_EQ(j.run(), 0) << j.job->message;
  testing::internal::GetCapturedStderr();
  Sketch s(j.job->result_path);
  ASSERT_EQ(s.status, META_OK);
  const float want[5] = {0.5f, 0.0f, 0.0f, 0.0f, -0.25f};
  ASSERT_EQ(s.tape.size(), 10u);
  for (int i = 0; i < 5; i++) {
    EXPECT_EQ(s.tape[2 * i], want[i]) << i;
    EXPECT_EQ(s.tape[2 * i + 1], want[i]) << i;
  }
  ASSERT_EQ(s.meta.waveformCount, 5);
  EXPECT_FLOAT_EQ(s.meta.waveform[0], 1.0f);
  EXPECT_EQ(s.meta.waveform[1], 0.0f);
  EXPECT_FLOAT_EQ(s.meta.waveform[4], 0.5f);
}

TEST_F(ImportFiles, CancelLeavesNothingBehind) {
  std::string src = dir / "long.flac";
  make_audio(sine(44100, 300.0), "-c:a flac", src);

  {  // Set before it starts.
    JobProgress p;
    p.cancel = true;
    Decoded d(src, &p);
    EXPECT_EQ(d.rc, -3);
    EXPECT_EQ(d.a.samples, nullptr);
  }
  {  // Mid-decode.
    JobHolder j(src, library);
    std::atomic<bool> stop{false};
    std::thread watcher([&] {
      while (!stop && j.job->progress.done.load() == 0) std::this_thread::yield();
      j.job->progress.cancel = true;
    });
    int rc = j.run();
    stop = true;
    watcher.join();
    EXPECT_EQ(rc, -3);
    EXPECT_EQ(j.job->result, JOB_CANCELLED);
    EXPECT_EQ(j.job->meta_out, nullptr);
    EXPECT_TRUE(entries(library).empty());
  }
  {  // While the sketch folder is being written.
    JobHolder j(src, library);
    std::atomic<bool> stop{false};
    std::thread watcher([&] {
      while (!stop && entries(library).empty()) std::this_thread::yield();
      j.job->progress.cancel = true;
    });
    int rc = j.run();
    stop = true;
    watcher.join();
    EXPECT_EQ(rc, -3);
    EXPECT_EQ(j.job->result, JOB_CANCELLED);
    EXPECT_TRUE(entries(library).empty());
  }
}

TEST_F(ImportFiles, DiskFullWhileWritingTheSidecar) {
  std::string src = dir / "big.flac";
  make_audio(sine(44100, 200000 / 44100.0), "-c:a flac", src);
  // tape.f32 (1.6 MB) fits, the side-car (0.8 MB more) does not.
  ScratchVolume vol(2u << 20);
  if (!vol.mounted) GTEST_SKIP() << vol.why;
  JobHolder j(src, vol.path);
  testing::internal::CaptureStderr();
  EXPECT_EQ(j.run(), -1);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_STREQ(j.job->message, "DISK FULL");
  EXPECT_NE(log.find("wav: "), std::string::npos) << log;
  EXPECT_TRUE(entries(vol.path).empty());
}

}  // namespace
