// Interchange with the tools people open our files with (sox, ffmpeg): what we write, they read;
// what they write in any format we support, we read.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/tape.h"
#include "store/wav.h"

namespace {

struct Scratch {
  std::string dir;
  Scratch() {
    const char* base = getenv("KELP_TEST_TMP");
    std::string t = std::string(base && *base ? base : "/tmp") + "/kelp-wavtools-XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back(0);
    dir = mkdtemp(buf.data()) ? buf.data() : "";
  }
  ~Scratch() {
    if (!dir.empty()) {
      std::string cmd = "rm -rf '" + dir + "'";
      if (system(cmd.c_str()) != 0) {
      }
    }
  }
  std::string operator/(const std::string& name) const { return dir + "/" + name; }
};

bool have(const char* tool) {
  std::string cmd = std::string("command -v ") + tool + " >/dev/null 2>&1";
  return system(cmd.c_str()) == 0;
}

#define REQUIRE_TOOL(t)                                                                          \
  if (!have(t)) {                                                                                \
    FAIL() << t << " is not installed; the project's setup scripts install it (apt-get install " \
           << (std::string(t) == "sox" ? "sox" : "ffmpeg") << ")";                               \
  }

// Runs a shell command and returns what it printed; *rc gets its exit status.
std::string run(const std::string& cmd, int* rc = nullptr) {
  std::string out;
  FILE* p = popen((cmd + " 2>/dev/null").c_str(), "r");
  if (!p) {
    if (rc) *rc = -1;
    return out;
  }
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  if (rc) *rc = st;
  return out;
}

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

std::string head(const std::string& path, size_t n) {
  std::ifstream f(path, std::ios::binary);
  std::string s(n, '\0');
  f.read(s.data(), (std::streamsize)n);
  s.resize((size_t)f.gcount());
  return s;
}

// Test signal: a different sine per channel, within +-0.9.
float signal(int64_t frame, int ch) {
  return (float)(0.9 * std::sin((double)frame * (0.013 + 0.007 * ch) + ch));
}

std::string write_source(const Scratch& s, int64_t frames, int channels) {
  std::vector<float> v((size_t)(frames * channels));
  for (int64_t f = 0; f < frames; f++)
    for (int c = 0; c < channels; c++) v[(size_t)(f * channels + c)] = signal(f, c);
  std::string path = s / "src.raw";
  std::ofstream o(path, std::ios::binary | std::ios::trunc);
  o.write((const char*)v.data(), (std::streamsize)(v.size() * sizeof(float)));
  return path;
}

struct Made {
  const char* tool;
  std::string args;  // what turns raw float input into the file
  int channels;
  double tolerance;
  bool rf64;
};

}  // namespace

TEST(WavTools, SoxAndFfprobeReadWhatWeWrite) {
  REQUIRE_TOOL("sox");
  REQUIRE_TOOL("ffprobe");
  Scratch s;
  const int64_t frames = 12345;
  Tape* t = tape_new(44100, 0, 0);
  ASSERT_EQ(tape_ensure(t, frames - 1), 0);
  std::vector<float> v((size_t)frames * 2);
  for (int64_t f = 0; f < frames; f++) {
    v[(size_t)(2 * f)] = signal(f, 0);
    v[(size_t)(2 * f + 1)] = f == 7 ? 1.5f : f == 8 ? -1.5f : signal(f, 1);
  }
  ASSERT_EQ(tape_write(t, 0, v.data(), frames), 0);
  const std::string path = s / "ours.wav";
  ASSERT_EQ(wav_write(path.c_str(), t, 0, frames, 1.0f, nullptr), 0);
  tape_free(t);

  EXPECT_EQ(trim(run("sox --i -r '" + path + "'")), "44100");
  EXPECT_EQ(trim(run("sox --i -c '" + path + "'")), "2");
  EXPECT_EQ(trim(run("sox --i -s '" + path + "'")), "12345");
  EXPECT_EQ(trim(run("sox --i -b '" + path + "'")), "16");
  EXPECT_EQ(trim(run("sox --i -e '" + path + "'")), "Signed Integer PCM");

  int rc = 0;
  std::string raw = run("sox '" + path + "' -t f32 -", &rc);
  ASSERT_EQ(rc, 0);
  ASSERT_EQ(raw.size(), (size_t)frames * 2 * 4);
  const float* got = (const float*)raw.data();
  for (int64_t i = 0; i < frames * 2; i++) {
    float x = std::max(-1.0f, std::min(1.0f, v[(size_t)i]));
    float want = (float)(int)(x * 32767.0f) / 32768.0f;  // truncated toward zero
    ASSERT_EQ(got[i], want) << "sample " << i;
  }

  std::string probe =
      run("ffprobe -v error -select_streams a:0 -show_entries "
          "stream=codec_name,sample_rate,channels,duration_ts "
          "-of default=noprint_wrappers=1 '" +
          path + "'");
  EXPECT_NE(probe.find("codec_name=pcm_s16le"), std::string::npos) << probe;
  EXPECT_NE(probe.find("sample_rate=44100"), std::string::npos) << probe;
  EXPECT_NE(probe.find("channels=2"), std::string::npos) << probe;
  EXPECT_NE(probe.find("duration_ts=12345"), std::string::npos) << probe;
}

TEST(WavTools, WeReadWhatSoxAndFfmpegWrite) {
  REQUIRE_TOOL("sox");
  REQUIRE_TOOL("ffmpeg");
  Scratch s;
  const int64_t frames = 40000;  // more than one 1 MiB read block for the wider formats
  const double lsb8 = 1.0 / 128, lsb16 = 1.0 / 32768, lsb24 = 1.0 / 8388608;
  const Made made[] = {
      {"sox", "-e unsigned-integer -b 8", 1, lsb8, false},
      {"sox", "-e signed-integer -b 16", 2, lsb16, false},
      {"sox", "-e signed-integer -b 24", 2, lsb24, false},
      {"sox", "-e signed-integer -b 24", 3, lsb24, false},  // extensible
      {"sox", "-e signed-integer -b 32", 4, 1e-7, false},
      // sox carries samples as 32-bit integers inside, so its floats are close, not exact.
      {"sox", "-e floating-point -b 32", 2, 1e-7, false},
      {"sox", "-e floating-point -b 64", 6, 1e-7, false},
      {"sox", "-e signed-integer -b 16", 8, lsb16, false},
      {"ffmpeg", "-c:a pcm_u8", 2, lsb8, false},
      {"ffmpeg", "-c:a pcm_s16le", 1, lsb16, false},
      {"ffmpeg", "-c:a pcm_s24le", 2, lsb24, false},
      {"ffmpeg", "-c:a pcm_s32le", 3, 1e-7, false},
      {"ffmpeg", "-c:a pcm_f32le", 6, 0, false},
      {"ffmpeg", "-c:a pcm_f64le", 2, 0, false},
      {"ffmpeg", "-c:a pcm_s16le -rf64 always", 2, lsb16, true},
      {"ffmpeg", "-c:a pcm_s24le -rf64 always", 3, lsb24, true},
      {"ffmpeg", "-c:a pcm_f32le -rf64 always", 1, 0, true},
  };
  int extensible = 0;
  for (const Made& m : made) {
    const std::string src = write_source(s, frames, m.channels);
    const std::string out = s / "made.wav";
    unlink(out.c_str());
    const std::string ch = std::to_string(m.channels);
    std::string cmd =
        std::string(m.tool) == "sox"
            ? "sox -D -t f32 -r 22050 -c " + ch + " '" + src + "' " + m.args + " '" + out + "'"
            : "ffmpeg -v error -nostdin -y -f f32le -ar 22050 -ac " + ch + " -i '" + src + "' " +
                  m.args + " '" + out + "'";
    int rc = 0;
    run(cmd, &rc);
    ASSERT_EQ(rc, 0) << cmd;
    const std::string h = head(out, 64);
    EXPECT_EQ(h.substr(0, 4), m.rf64 ? "RF64" : "RIFF") << cmd;
    if (h.find(std::string("\xFE\xFF", 2)) != std::string::npos) extensible++;

    DecodedAudio a{};
    char msg[128];
    ASSERT_EQ(wav_read(out.c_str(), &a, nullptr, msg, sizeof msg), 0) << cmd << ": " << msg;
    EXPECT_EQ(a.channels, m.channels) << cmd;
    EXPECT_EQ(a.rate, 22050) << cmd;
    ASSERT_EQ(a.frames, frames) << cmd;
    double worst = 0;
    for (int64_t f = 0; f < frames; f++)
      for (int c = 0; c < m.channels; c++)
        worst = std::max(worst, std::fabs((double)a.samples[f * m.channels + c] - signal(f, c)));
    EXPECT_LE(worst, m.tolerance * 1.01 + 1e-9) << cmd;
    decoded_audio_free(&a);
  }
  EXPECT_GE(extensible, 3) << "the extensible format chunk was never exercised";
}
