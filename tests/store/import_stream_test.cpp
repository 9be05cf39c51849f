// The streamed import against the whole-buffer way it was done before: the file decoded whole,
// mixed in one pass, the tape saved and the side-car written from the tape afterwards.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/progress.h"
#include "core/tape.h"
#include "platform/fsys.h"
#include "store/import.h"
#include "store/jobs.h"
#include "store/meta.h"
#include "store/wav.h"
#include "support/tmpdir.h"
#include "support/tmpfs.h"

namespace {

bool have_ffmpeg() {
  static int have = -1;
  if (have < 0) have = system("ffmpeg -hide_banner -version >/dev/null 2>&1") == 0;
  return have == 1;
}

void make_audio(const std::string& source, const std::string& args, const std::string& out) {
  std::string cmd = "ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i \"" + source +
                    "\" " + args + " '" + out + "' 2>&1";
  ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
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

std::string bytes_of(const std::vector<float>& v) {
  return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(float));
}

// What the whole-buffer import made of a file.
struct Expected {
  int64_t frames = 0;
  std::string tape;  // tape.f32
  std::string wav;   // the side-car
  std::vector<float> wave;
};

// The import as it was: decode whole, mix in one pass summing the waveform, then tape_save's and
// wav_write's bytes from the finished tape.
void whole_buffer_import(const std::string& path, const std::string& scratch, Expected* out) {
  DecodedAudio a{};
  char msg[256];
  ASSERT_EQ(decode_audio_file(path.c_str(), &a, nullptr, msg, sizeof msg), 0) << msg;
  const int64_t frames = a.frames;
  const int32_t channels = a.channels;
  std::vector<float> stereo((size_t)frames * 2);
  double sums[IMPORT_WAVEFORM_POINTS] = {};
  const int64_t bucket = std::max<int64_t>(1, frames / IMPORT_WAVEFORM_POINTS);
  const float scale = channels > 1 ? 1.0f / (float)channels : 1.0f;
  for (int64_t i = 0; i < frames; i++) {
    const float* src = a.samples + (size_t)i * channels;
    float m;
    if (channels == 1) {
      m = src[0];
    } else {
      float s = 0;
      for (int32_t c = 0; c < channels; c++) s += src[c];
      m = s * scale;
    }
    if (!std::isfinite(m)) m = 0.0f;
    stereo[(size_t)i * 2] = m;
    stereo[(size_t)i * 2 + 1] = m;
    if (i / bucket < IMPORT_WAVEFORM_POINTS) sums[i / bucket] += std::fabs(m);
  }
  Tape* tape = tape_new(a.rate, 0, 0);
  ASSERT_NE(tape, nullptr);
  ASSERT_EQ(tape_ensure(tape, frames - 1), 0);
  ASSERT_EQ(tape_write(tape, 0, stereo.data(), frames), 0);
  ASSERT_EQ(wav_write(scratch.c_str(), tape, 0, frames, 1.0f, nullptr), 0);
  tape_free(tape);
  decoded_audio_free(&a);
  out->frames = frames;
  out->tape = bytes_of(stereo);
  out->wav = tmpdir_read(scratch);
  float wave[IMPORT_WAVEFORM_POINTS];
  out->wave.assign(wave, wave + import_waveform(sums, frames, wave));
}

struct JobHolder {
  Job* job;
  JobHolder(const std::string& file, const std::string& library) : job(job_new(JOB_IMPORT_AUDIO)) {
    snprintf(job->path, sizeof job->path, "%s", file.c_str());
    snprintf(job->folder, sizeof job->folder, "%s", library.c_str());
  }
  ~JobHolder() { job_free(job); }
  int run() {
    testing::internal::CaptureStderr();
    int rc = import_audio_job(job);
    log = testing::internal::GetCapturedStderr();
    return rc;
  }
  std::string log;
};

class ImportStream : public testing::Test {
 protected:
  TmpDir dir{"import-stream"};
  std::string library;
  void SetUp() override {
    ASSERT_TRUE(have_ffmpeg()) << "the ffmpeg command line is missing: these tests make their "
                                  "audio files with it (install the ffmpeg package)";
    library = dir / "library";
    ASSERT_EQ(mkdir(library.c_str(), 0755), 0);
  }
};

TEST_F(ImportStream, SameFilesAsTheWholeBufferImport) {
  const char* two = "aevalsrc=0.5*sin(2*PI*330*t)|0.25+0.1*sin(2*PI*50*t):s=48000:d=1.7";
  const char* six =
      "aevalsrc=0.3*sin(2*PI*100*t)|0.2*sin(2*PI*200*t)|0.1|-0.4*sin(2*PI*300*t)|"
      "0.6*sin(2*PI*77*t)|0.05*random(0):s=44100:d=2.1";
  // Loud enough to clip in the side-car, and longer than a tape chunk, a tape.f32 block and the
  // safe writer's buffer, so that the side-car's header is patched in the file.
  const char* loud = "aevalsrc=1.2*sin(2*PI*220*t)|0.3*random(1)-0.15:s=44100:d=13";
  struct Case {
    const char* file;
    const char* source;
    const char* args;
  } cases[] = {
      {"mono16.wav", "sine=frequency=440:sample_rate=44100:duration=1.3", "-c:a pcm_s16le"},
      {"stereo24.wav", two, "-c:a pcm_s24le"},
      {"stereo-u8.wav", two, "-c:a pcm_u8"},
      {"six32.wav", six, "-c:a pcm_s32le"},
      {"three64.wav", "aevalsrc=0.1|0.2*sin(2*PI*5*t)|-0.3:s=22050:d=0.9", "-c:a pcm_f64le"},
      {"loud.wav", loud, "-c:a pcm_f32le"},
      {"adpcm.wav", two, "-c:a adpcm_ms"},  // our reader refuses it: FFmpeg's
      {"mono.mp3", "sine=frequency=440:sample_rate=44100:duration=1.3", "-c:a libmp3lame"},
      {"loud.mp3", loud, "-c:a libmp3lame -b:a 192k"},
      {"stereo16.flac", two, "-c:a flac"},
      {"six24.flac", six, "-c:a flac -sample_fmt s32"},
      {"six.m4a", six, "-c:a aac"},
      {"tiny.flac", "aevalsrc=0.5*sin(2*PI*3*t)|0.1:s=8000:d=0.0125", "-c:a flac"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string src = dir / c.file;
    make_audio(c.source, c.args, src);
    Expected want;
    whole_buffer_import(src, dir / "expected.wav", &want);
    if (HasFatalFailure()) return;

    JobHolder j(src, library);
    ASSERT_EQ(j.run(), 0) << j.job->message << j.log;
    const std::string folder = j.job->result_path;
    EXPECT_EQ(j.job->frames_out, want.frames);
    EXPECT_TRUE(tmpdir_read(folder + "/tape.f32") == want.tape);
    std::string wav;
    for (const std::string& name : entries(folder))
      if (name.size() > 4 && name.substr(name.size() - 4) == ".wav") wav = name;
    ASSERT_FALSE(wav.empty());
    EXPECT_TRUE(tmpdir_read(folder + "/" + wav) == want.wav);
    const SketchMeta* meta = j.job->meta_out;
    ASSERT_NE(meta, nullptr);
    EXPECT_EQ(meta->lengthSamples, want.frames);
    ASSERT_EQ(meta->waveformCount, (int)want.wave.size());
    EXPECT_EQ(memcmp(meta->waveform, want.wave.data(), want.wave.size() * sizeof(float)), 0);
    EXPECT_EQ(entries(folder).size(), 3u);  // no temporary file left over
    tmpdir_remove(folder);

    // The decode alone lays the same tape.
    Tape* tape = nullptr;
    char msg[256];
    ASSERT_EQ(import_decode_to_tape(src.c_str(), &tape, nullptr, msg, sizeof msg), 0) << msg;
    ASSERT_EQ(tape_length(tape), want.frames);
    std::vector<float> frames((size_t)want.frames * 2);
    for (int64_t f = 0; f < want.frames; f++)
      memcpy(&frames[(size_t)f * 2], tape_frame_ptr(tape, f), 2 * sizeof(float));
    EXPECT_TRUE(bytes_of(frames) == want.tape);
    tape_free(tape);
  }
  EXPECT_TRUE(entries(library).empty());
}

// A NaN or infinite sample in a float file is silence on the tape, in the side-car and in the
// waveform, as it always was.
TEST_F(ImportStream, NonFiniteSamplesMatchTheWholeBufferImport) {
  const float v[5] = {0.5f, NAN, INFINITY, -INFINITY, -0.25f};
  unsigned char h[44] = {'R', 'I', 'F', 'F', 56, 0, 0,   0,   'W', 'A',  'V',  'E', 'f', 'm', 't',
                         ' ', 16,  0,   0,   0,  3, 0,   1,   0,   0x40, 0x1F, 0,   0,   0,   0x7D,
                         0,   0,   4,   0,   32, 0, 'd', 'a', 't', 'a',  20,   0,   0,   0};
  const std::string src = dir / "odd.wav";
  tmpdir_write(src, std::string((const char*)h, sizeof h) + std::string((const char*)v, sizeof v));
  Expected want;
  whole_buffer_import(src, dir / "expected.wav", &want);
  JobHolder j(src, library);
  ASSERT_EQ(j.run(), 0) << j.job->message;
  EXPECT_TRUE(tmpdir_read(std::string(j.job->result_path) + "/tape.f32") == want.tape);
  ASSERT_EQ(j.job->meta_out->waveformCount, 5);
  EXPECT_EQ(memcmp(j.job->meta_out->waveform, want.wave.data(), 5 * sizeof(float)), 0);
}

// The streaming writer gives wav_write's bytes whatever the pieces it is fed in, for a file that
// stays in the safe writer's buffer and for one whose header is patched on the disk.
TEST_F(ImportStream, WavStreamWritesWavWritesBytes) {
  struct Case {
    int64_t frames;
    int64_t piece;
  } cases[] = {{0, 1}, {1, 1}, {5, 2}, {4097, 4096}, {300001, 7919}, {300001, 300001}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frames);
    std::vector<float> frames((size_t)c.frames * 2);
    for (size_t i = 0; i < frames.size(); i++) frames[i] = 1.3f * std::sin(0.001f * (float)i);
    if (c.frames > 2) frames[3] = NAN;
    Tape* tape = tape_new(32000, 0, 0);
    ASSERT_NE(tape, nullptr);
    if (c.frames > 0) {
      ASSERT_EQ(tape_ensure(tape, c.frames - 1), 0);
      ASSERT_EQ(tape_write(tape, 0, frames.data(), c.frames), 0);
    }
    const std::string want = dir / "want.wav", got = dir / "got.wav";
    ASSERT_EQ(wav_write(want.c_str(), tape, 0, c.frames, 1.0f, nullptr), 0);
    tape_free(tape);

    WavStream w{};
    ASSERT_EQ(wav_stream_open(&w, got.c_str(), 32000), 0);
    for (int64_t at = 0; at < c.frames; at += c.piece)
      ASSERT_EQ(wav_stream_write(&w, frames.data() + at * 2, std::min(c.piece, c.frames - at)), 0);
    ASSERT_EQ(wav_stream_finish(&w), 0);
    EXPECT_TRUE(tmpdir_read(got) == tmpdir_read(want));
  }
  // Discarded, it leaves nothing.
  WavStream w{};
  ASSERT_EQ(wav_stream_open(&w, (dir / "dropped.wav").c_str(), 44100), 0);
  const float two[4] = {0.1f, 0.1f, 0.2f, 0.2f};
  ASSERT_EQ(wav_stream_write(&w, two, 2), 0);
  wav_stream_discard(&w);
  for (const std::string& name : entries(dir.path))
    EXPECT_EQ(name.find("dropped"), std::string::npos) << name;
}

// A sink that counts what reaches it.
struct CountingSink {
  AudioSink sink{};
  int starts = 0;
  int64_t frames = 0;
};

int count_start(AudioSink* s, int32_t, double, int64_t) {
  static_cast<CountingSink*>(s->user)->starts++;
  return 0;
}
int count_block(AudioSink* s, const AudioBlock* b) {
  static_cast<CountingSink*>(s->user)->frames += b->frames;
  return 0;
}

// A rate no recording has is refused before the sink hears of the file, by either decoder.
TEST_F(ImportStream, RefusedRatesNeverReachTheSink) {
  struct Case {
    const char* file;
    const char* source;
    const char* args;
    int rc;
  } cases[] = {
      {"slow.wav", "sine=frequency=100:sample_rate=800:duration=1", "-c:a pcm_s16le", -2},
      {"slow.flac", "sine=frequency=100:sample_rate=800:duration=1", "-c:a flac", -2},
      {"fine.wav", "sine=frequency=100:sample_rate=8000:duration=1", "-c:a pcm_s16le", 0},
      {"fine.flac", "sine=frequency=100:sample_rate=8000:duration=1", "-c:a flac", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string src = dir / c.file;
    make_audio(c.source, c.args, src);
    CountingSink k;
    k.sink.start = count_start;
    k.sink.block = count_block;
    k.sink.user = &k;
    char msg[256];
    testing::internal::CaptureStderr();
    int rc = decode_audio_stream(src.c_str(), &k.sink, nullptr, msg, sizeof msg);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(k.starts, c.rc == 0 ? 1 : 0);
    EXPECT_EQ(k.frames, c.rc == 0 ? 8000 : 0);
    if (c.rc != 0) {
      EXPECT_STREQ(msg, IMPORT_RATE_REFUSED);
    }
  }
}

// Cancelled while tape.f32 and the side-car are half-written: the folder and both go.
TEST_F(ImportStream, CancelWhileWritingLeavesNothing) {
  for (const char* name : {"long.flac", "long.wav"}) {
    SCOPED_TRACE(name);
    const std::string src = dir / name;
    make_audio("sine=frequency=440:sample_rate=44100:duration=300", "", src);
    JobHolder j(src, library);
    std::atomic<bool> stop{false};
    std::thread watcher([&] {
      // Both files are open once the folder holds two entries.
      for (;;) {
        if (stop) return;
        std::vector<std::string> sketches = entries(library);
        if (!sketches.empty() && entries(library + "/" + sketches[0]).size() >= 2) break;
        std::this_thread::yield();
      }
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
}

// The disk fills while tape.f32 is still being streamed: the same message as ever, and nothing
// is left on the volume.
TEST_F(ImportStream, DiskFullMidStreamLeavesNothing) {
  const std::string src = dir / "big.flac";
  make_audio("sine=frequency=440:sample_rate=44100:duration=10", "-c:a flac", src);
  ScratchVolume vol(2u << 20);
  if (!vol.mounted) GTEST_SKIP() << vol.why;
  JobHolder j(src, vol.path);
  EXPECT_EQ(j.run(), -1);
  EXPECT_STREQ(j.job->message, "DISK FULL");
  EXPECT_NE(j.log.find("write failed on"), std::string::npos) << j.log;
  EXPECT_TRUE(entries(vol.path).empty());
}

// The writer pushes what it has written to the disk every so often during a long import; a
// flush that fails there fails the import (the system may not report it again at the commit).
int failing_fsync(int fd) {
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    errno = EIO;
    return -1;
  }
  return fsys_calls_system()->fsync(fd);
}

TEST_F(ImportStream, FailedFlushMidStreamFailsTheImport) {
  const std::string src = dir / "long.wav";
  make_audio("sine=frequency=440:sample_rate=44100:duration=120", "", src);
  JobHolder j(src, library);
  fsys_calls()->fsync = failing_fsync;
  int rc = j.run();
  fsys_calls_reset();
  EXPECT_EQ(rc, -1);
  EXPECT_STREQ(j.job->message, "CAN'T WRITE THE TAPE");
  // Mid-stream when the writer keeps up with the decode; at the commit when it falls behind (a
  // busy machine): either way the import fails whole.
  EXPECT_TRUE(j.log.find("tape: flushing") != std::string::npos ||
              j.log.find("tape: couldn't commit") != std::string::npos)
      << j.log;
  EXPECT_TRUE(entries(library).empty());
}

}  // namespace
