// Import of a 10-minute stereo mp3 (44.1 kHz, 192 kb/s), made once with the ffmpeg program from a
// generated signal, beside the ffmpeg program decoding the same file:
//   ffmpeg -hide_banner -loglevel error -nostdin -y -i x -f f32le -ar 48000 -ac 2 /dev/null
// (-y because without it ffmpeg won't "overwrite" /dev/null under -nostdin and exits at once
// having decoded nothing). The program is timed whole, start-up included, and its peak memory is
// read with wait4. Ours and ffmpeg take turns, at least 7 runs each, so that load from elsewhere
// on the machine falls on both alike; the rows compare medians.
//   - import decode: the file decoded onto tape chunks as import lays it, no files written.
//   - whole import job: decode, tape.f32, side-car WAV and meta.json, in a fresh process
//     (kelp_bench run again) so that its peak memory is the job's own; goal for the peak: the
//     tape's bytes + 64 MB.
// KELP_BENCH_TMP picks the folder (default /tmp).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "core/tape.h"
#include "store/files.h"
#include "store/import.h"
#include "store/jobs.h"
#include "store/tapefile.h"

namespace {

constexpr int kRuns = 7;
constexpr const char* kFileVar = "KELP_IMPORT_BENCH_FILE";
constexpr const char* kLibraryVar = "KELP_IMPORT_BENCH_LIBRARY";
constexpr const char* kAnchor = "ffmpeg -i x -f f32le -ar 48000 -ac 2 /dev/null";

// kelp_bench run again with both variables set is the job's own process: it imports the file and
// leaves before the benchmarks start.
struct JobChild {
  JobChild() {
    const char* file = getenv(kFileVar);
    const char* library = getenv(kLibraryVar);
    if (!file || !library) return;
    Job* job = job_new(JOB_IMPORT_AUDIO);
    snprintf(job->path, sizeof job->path, "%s", file);
    snprintf(job->folder, sizeof job->folder, "%s", library);
    int rc = import_audio_job(job);
    job_free(job);
    _exit(rc == 0 ? 0 : 1);
  }
} g_job_child;

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

// A finished child process: how long from fork to its end, its peak memory, and whether it
// succeeded.
struct ChildRun {
  double seconds = 0;
  long long peak_bytes = 0;
  bool ok = false;
};

// Runs argv (argv[0] a path) with env through tools/plain_peak, which reads the peak with wait4:
// a child of this process would report at least this process's own peak.
ChildRun run_child(const char* const* argv, const char* const* env) {
  ChildRun r;
  const std::string peakFile = source().dir + "/peak.txt";
  const std::string launcher = std::string(KELP_BINARY_DIR) + "/tools/plain_peak";
  std::vector<const char*> args = {launcher.c_str(), peakFile.c_str()};
  for (const char* const* a = argv; *a; a++) args.push_back(*a);
  args.push_back(nullptr);
  unlink(peakFile.c_str());
  double t0 = bench_now();
  pid_t pid = fork();
  if (pid == 0) {
    execve(args[0], const_cast<char* const*>(args.data()), const_cast<char* const*>(env));
    _exit(127);
  }
  if (pid < 0) return r;
  int status = 0;
  pid_t got = waitpid(pid, &status, 0);
  r.seconds = bench_now() - t0;
  FILE* f = fopen(peakFile.c_str(), "r");
  long kb = 0;
  if (f) {
    if (fscanf(f, "%ld", &kb) != 1) kb = 0;
    fclose(f);
  }
  r.peak_bytes = (long long)kb * 1024;
  r.ok = got == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && kb > 0;
  return r;
}

std::string ffmpeg_path() {
  static std::string path;
  if (path.empty()) {
    FILE* p = popen("command -v ffmpeg", "r");
    char buf[1024] = "";
    if (p) {
      if (fgets(buf, sizeof buf, p)) buf[strcspn(buf, "\n")] = 0;
      pclose(p);
    }
    path = buf[0] ? buf : "/usr/bin/ffmpeg";
  }
  return path;
}

ChildRun run_ffmpeg() {
  const std::string exe = ffmpeg_path();
  const char* argv[] = {
      exe.c_str(),          "-hide_banner", "-loglevel", "error", "-nostdin", "-y",  "-i",
      source().mp3.c_str(), "-f",           "f32le",     "-ar",   "48000",    "-ac", "2",
      "/dev/null",          nullptr};
  return run_child(argv, environ);
}

// One import job in a fresh kelp_bench process, into a library of its own that goes afterwards.
ChildRun run_job(int run) {
  const std::string library = source().library + "/run-" + std::to_string(run);
  mkdir(library.c_str(), 0755);
  char self[1024];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return ChildRun{};
  self[n] = 0;
  const std::string fileVar = std::string(kFileVar) + "=" + source().mp3;
  const std::string libraryVar = std::string(kLibraryVar) + "=" + library;
  const char* argv[] = {self, nullptr};
  std::vector<const char*> env = {fileVar.c_str(), libraryVar.c_str()};
  for (char** e = environ; *e; e++) env.push_back(*e);
  env.push_back(nullptr);
  ChildRun r = run_child(argv, env.data());
  tree_delete(library.c_str());
  return r;
}

// The import's decode on its own: the file onto tape chunks, mixed as import mixes it.
double decode_ours(int64_t* frames) {
  char msg[256];
  Tape* tape = nullptr;
  double t0 = bench_now();
  int rc = import_decode_to_tape(source().mp3.c_str(), &tape, nullptr, msg, sizeof msg);
  double t = bench_now() - t0;
  *frames = rc == 0 ? tape_length(tape) : -1;
  tape_free(tape);
  return t;
}

void BM_ImportDecodeVsFfmpegProgram(benchmark::State& state) {
  if (!source().ok) return state.SkipWithError("couldn't make the mp3 with ffmpeg");
  BenchPair p;
  int64_t frames = 0;
  for (auto _ : state) {
    for (int i = 0; i < kRuns; i++) {
      // Turns alternate who goes first, so neither always runs on a cache the other warmed.
      ChildRun ff;
      if (i % 2) ff = run_ffmpeg();
      p.ours.push_back(decode_ours(&frames));
      if (i % 2 == 0) ff = run_ffmpeg();
      if (frames <= 0) return state.SkipWithError("decode failed");
      if (!ff.ok) return state.SkipWithError("the ffmpeg program failed");
      p.anchor.push_back(ff.seconds);
    }
  }
  const double ours = bench_median(p.ours), theirs = bench_median(p.anchor);
  state.counters["ours_ms"] = ours * 1e3;
  state.counters["ffmpeg_ms"] = theirs * 1e3;
  state.counters["ratio"] = ours / theirs;
  state.counters["frames"] = (double)frames;
  bench_ratio("import decode, 10-min mp3", p, kAnchor, 1.2);
}
BENCHMARK(BM_ImportDecodeVsFfmpegProgram)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_ImportJobVsFfmpegProgram(benchmark::State& state) {
  if (!source().ok) return state.SkipWithError("couldn't make the mp3 with ffmpeg");
  BenchPair p;
  std::vector<double> ourPeaks, theirPeaks;
  for (auto _ : state) {
    for (int i = 0; i < kRuns; i++) {
      ChildRun ff, job;
      if (i % 2) ff = run_ffmpeg();
      job = run_job(i);
      if (i % 2 == 0) ff = run_ffmpeg();
      if (!job.ok) return state.SkipWithError("import failed");
      if (!ff.ok) return state.SkipWithError("the ffmpeg program failed");
      p.ours.push_back(job.seconds);
      p.anchor.push_back(ff.seconds);
      ourPeaks.push_back((double)job.peak_bytes);
      theirPeaks.push_back((double)ff.peak_bytes);
    }
  }
  const double ours = bench_median(p.ours), theirs = bench_median(p.anchor);
  // The tape as tape.f32 holds it: 10 minutes at 44.1 kHz, two floats a frame.
  const double tapeBytes = 600.0 * 44100.0 * (double)TAPE_FILE_FRAME_BYTES;
  const double goalPeak = tapeBytes + 64.0 * 1e6;
  const double ourPeak = bench_median(ourPeaks), theirPeak = bench_median(theirPeaks);
  state.counters["ours_ms"] = ours * 1e3;
  state.counters["ffmpeg_ms"] = theirs * 1e3;
  state.counters["ratio"] = ours / theirs;
  state.counters["peak_MB"] = ourPeak / 1e6;
  state.counters["ffmpeg_peak_MB"] = theirPeak / 1e6;
  state.counters["peak_goal_MB"] = goalPeak / 1e6;
  bench_ratio("whole import job, mp3", p, kAnchor, 1.5);
  BenchPair goal, ffmpeg;
  goal.ours.push_back(ourPeak);
  goal.anchor.push_back(goalPeak);
  ffmpeg.ours.push_back(ourPeak);
  ffmpeg.anchor.push_back(theirPeak);
  bench_ratio_bytes("whole import job, peak memory", goal, "tape bytes + 64 MB", 1.0);
  bench_ratio_bytes("whole import job, peak memory beside ffmpeg's", ffmpeg,
                    "the ffmpeg program's peak", 0);
  printf(
      "import job peak memory: ours %.1f MB, ffmpeg %.1f MB, goal <= %.1f MB (tape %.1f MB + "
      "64 MB): %s\n",
      ourPeak / 1e6, theirPeak / 1e6, goalPeak / 1e6, tapeBytes / 1e6,
      ourPeak <= goalPeak ? "met" : "MISSED");
}
BENCHMARK(BM_ImportJobVsFfmpegProgram)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
