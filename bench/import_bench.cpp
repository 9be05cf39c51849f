// Import of a 10-minute stereo mp3 (44.1 kHz, 192 kb/s), made once with the ffmpeg program from
// a generated signal: our decode into memory beside the ffmpeg program decoding the same file to
// 32-bit float on a pipe (the subprocess timed whole, start-up included). The ratio counter is
// ours / ffmpeg's. The full import job (decode, mix, tape.f32, side-car WAV, meta.json) is shown
// too, for scale. KELP_BENCH_TMP picks the folder (default /tmp).
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "store/files.h"
#include "store/import.h"
#include "store/jobs.h"
#include "store/wav.h"

namespace {

struct BenchMp3 {
  std::string dir, mp3, library;
  bool ok = false;
  BenchMp3() {
    const char* base = getenv("KELP_BENCH_TMP");
    std::string t = std::string(base && *base ? base : "/tmp") + "/kelp-importbench-XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) return;
    dir = buf.data();
    mp3 = dir + "/ten-minutes.mp3";
    library = dir + "/library";
    mkdir(library.c_str(), 0755);
    std::string cmd =
        "ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "
        "\"sine=frequency=220:sample_rate=44100:duration=600\" -f lavfi -i "
        "\"anoisesrc=color=pink:sample_rate=44100:amplitude=0.1:duration=600\" -filter_complex "
        "\"[0][1]amerge=inputs=2\" -c:a libmp3lame -b:a 192k '" +
        mp3 + "'";
    ok = system(cmd.c_str()) == 0;
  }
  ~BenchMp3() {
    if (dir.empty()) return;
    tree_delete(dir.c_str());
  }
};

BenchMp3& source() {
  static BenchMp3 s;
  return s;
}

double decode_ours(int64_t* frames) {
  auto t0 = std::chrono::steady_clock::now();
  DecodedAudio a{};
  char msg[256];
  int rc = decode_audio_file(source().mp3.c_str(), &a, nullptr, msg, sizeof msg);
  auto t1 = std::chrono::steady_clock::now();
  *frames = rc == 0 ? a.frames : -1;
  decoded_audio_free(&a);
  return std::chrono::duration<double>(t1 - t0).count();
}

double decode_cli(int64_t* bytes) {
  std::string cmd =
      "ffmpeg -hide_banner -loglevel error -nostdin -i '" + source().mp3 + "' -f f32le -";
  auto t0 = std::chrono::steady_clock::now();
  FILE* p = popen(cmd.c_str(), "r");
  int64_t total = 0;
  if (p) {
    static char buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) total += (int64_t)n;
    if (pclose(p) != 0) total = -1;
  }
  auto t1 = std::chrono::steady_clock::now();
  *bytes = p ? total : -1;
  return std::chrono::duration<double>(t1 - t0).count();
}

void BM_ImportDecodeMp3(benchmark::State& state) {
  if (!source().ok) return state.SkipWithError("couldn't make the mp3 with ffmpeg");
  int64_t frames = 0;
  for (auto _ : state) {
    state.SetIterationTime(decode_ours(&frames));
    if (frames <= 0) return state.SkipWithError("decode failed");
  }
  state.counters["frames"] = (double)frames;
}
BENCHMARK(BM_ImportDecodeMp3)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_FfmpegProgramDecodeMp3(benchmark::State& state) {
  if (!source().ok) return state.SkipWithError("couldn't make the mp3 with ffmpeg");
  int64_t bytes = 0;
  for (auto _ : state) {
    state.SetIterationTime(decode_cli(&bytes));
    if (bytes <= 0) return state.SkipWithError("ffmpeg failed");
  }
  state.counters["frames"] = (double)bytes / 8;
}
BENCHMARK(BM_FfmpegProgramDecodeMp3)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// Both, alternating, so that load from elsewhere on the machine falls on both alike.
void BM_ImportDecodeVsFfmpegProgram(benchmark::State& state) {
  if (!source().ok) return state.SkipWithError("couldn't make the mp3 with ffmpeg");
  double ours = 0, theirs = 0;
  int runs = 0;
  for (auto _ : state) {
    int64_t frames = 0, bytes = 0;
    ours += decode_ours(&frames);
    theirs += decode_cli(&bytes);
    if (frames <= 0 || bytes <= 0) return state.SkipWithError("decode failed");
    runs++;
  }
  state.counters["ours_ms"] = ours / runs * 1e3;
  state.counters["ffmpeg_ms"] = theirs / runs * 1e3;
  state.counters["ratio"] = ours / theirs;
}
BENCHMARK(BM_ImportDecodeVsFfmpegProgram)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ImportJobMp3(benchmark::State& state) {
  if (!source().ok) return state.SkipWithError("couldn't make the mp3 with ffmpeg");
  for (auto _ : state) {
    Job* job = job_new(JOB_IMPORT_AUDIO);
    snprintf(job->path, sizeof job->path, "%s", source().mp3.c_str());
    snprintf(job->folder, sizeof job->folder, "%s", source().library.c_str());
    int rc = import_audio_job(job);
    state.PauseTiming();
    if (rc == 0) tree_delete(job->result_path);
    job_free(job);
    state.ResumeTiming();
    if (rc != 0) return state.SkipWithError("import failed");
  }
}
BENCHMARK(BM_ImportJobMp3)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
