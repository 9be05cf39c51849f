// tape.f32 save and load of 10 minutes of stereo at 48 kHz (230.4 MB), each run in turns with
// its anchor. Save: tape_save (the safe writer: a temporary file, flushed, renamed, its folder
// flushed) beside the cp program copying a file of the same bytes and the sync program flushing
// the copy and its folder. Load, with the file in the page cache as just after a save: into a
// fresh tape beside plain read() calls into memory made the same way (4 MiB blocks aligned for
// huge pages), once with memory fresh from the system for both and once with memory reused
// (the tape's chunk cache; the same blocks again for the plain read).
// KELP_BENCH_TMP picks the folder (default /tmp).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "core/tape.h"
#include "platform/platform.h"
#include "store/tapefile.h"

namespace {

constexpr int64_t kFrames = 48000LL * 600;
constexpr size_t kBytes = (size_t)kFrames * 8;
constexpr size_t kBlock = 1 << 20;

struct BenchFolder {
  std::string dir;
  BenchFolder() {
    const char* base = getenv("KELP_BENCH_TMP");
    std::string t = std::string(base && *base ? base : "/tmp") + "/kelp-tapebench-XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back(0);
    if (mkdtemp(buf.data())) dir = buf.data();
  }
  ~BenchFolder() {
    if (dir.empty()) return;
    for (const char* n : {"tape.f32", "tape.f32.tmp", "plain.f32", "copy.f32"}) unlink((dir + "/" + n).c_str());
    rmdir(dir.c_str());
  }
  std::string file(const char* name) const { return dir + "/" + name; }
};

BenchFolder& folder() {
  static BenchFolder f;
  return f;
}

Tape* source_tape() {
  static Tape* t = [] {
    Tape* tape = tape_new(48000, 0, 0);
    if (!tape || tape_ensure(tape, kFrames - 1) != 0) return tape;
    std::vector<float> v((size_t)TAPE_CHUNK_FRAMES * 2);
    for (int64_t at = 0; at < kFrames; at += TAPE_CHUNK_FRAMES) {
      int64_t n = std::min<int64_t>(TAPE_CHUNK_FRAMES, kFrames - at);
      for (int64_t i = 0; i < n * 2; i++)
        v[(size_t)i] = 0.5f * (float)std::sin((double)(at * 2 + i) * 0.0131);
      tape_write(tape, at, v.data(), n);
    }
    return tape;
  }();
  return t;
}

constexpr int kRuns = 7;

double save_once(Tape* t, const std::string& path) {
  float peak = 0;
  double t0 = bench_now();
  int rc = tape_save(t, path.c_str(), kFrames, &peak, nullptr);
  benchmark::DoNotOptimize(peak);
  return rc == 0 ? bench_now() - t0 : -1;
}

double cp_sync_once() {
  const std::string from = folder().file("plain.f32"), to = folder().file("copy.f32");
  unlink(to.c_str());
  std::string cmd = "cp '" + from + "' '" + to + "' && sync '" + to + "' '" + folder().dir + "'";
  double t0 = bench_now();
  int rc = system(cmd.c_str());
  return rc == 0 ? bench_now() - t0 : -1;
}

void BM_TapeFileSaveVsCpSync(benchmark::State& state) {
  Tape* t = source_tape();
  const std::string path = folder().file("tape.f32");
  if (tape_save(t, folder().file("plain.f32").c_str(), kFrames, nullptr, nullptr) != 0)
    return state.SkipWithError("tape_save failed");
  // The first few hundred MB written in a run cost the kernel extra: both sides warm up first.
  save_once(t, path);
  cp_sync_once();
  BenchPair p;
  for (auto _ : state) {
    for (int i = 0; i < kRuns; i++) {
      // Each side starts with nothing else waiting for the disk (earlier benchmarks write a lot).
      sync();
      double ours = save_once(t, path);
      sync();
      double theirs = cp_sync_once();
      if (ours < 0 || theirs < 0) return state.SkipWithError("a save failed");
      p.ours.push_back(ours);
      p.anchor.push_back(theirs);
    }
  }
  state.counters["ours_ms"] = bench_median(p.ours) * 1e3;
  state.counters["cp_sync_ms"] = bench_median(p.anchor) * 1e3;
  bench_ratio("tape save 230 MB", p, "cp + sync of the same bytes", 1.2);
}
BENCHMARK(BM_TapeFileSaveVsCpSync)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

double load_once(const std::string& path) {
  double t0 = bench_now();
  Tape* t = tape_new(48000, 0, 0);
  int rc = tape_load(t, path.c_str(), false, nullptr);
  double took = bench_now() - t0;
  benchmark::DoNotOptimize(t->chunks[0].load()[0]);
  tape_free(t);
  return rc == 0 ? took : -1;
}

// read() into 4 MiB blocks like a tape's chunks: blocks given (reused) or fresh from the system.
double plain_read_once(const std::string& path, std::vector<char*>* keep) {
  const size_t block = (size_t)TAPE_CHUNK_BYTES;
  double t0 = bench_now();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  size_t total = 0;
  std::vector<char*> fresh;
  for (size_t k = 0; fd >= 0 && total < kBytes; k++) {
    char* b = keep && k < keep->size() ? (*keep)[k] : (char*)platform_block_alloc(block);
    if (!b) break;
    if (!keep || k >= keep->size()) fresh.push_back(b);
    size_t got = 0, want = std::min(block, kBytes - total);
    while (got < want) {
      ssize_t r = read(fd, b + got, want - got);
      if (r <= 0) break;
      got += (size_t)r;
    }
    total += got;
    if (got < want) break;
  }
  double took = bench_now() - t0;
  if (fd >= 0) close(fd);
  for (char* b : fresh) {
    if (keep) {
      keep->push_back(b);
    } else {
      platform_block_free(b, block);
    }
  }
  return total == kBytes ? took : -1;
}

void BM_TapeFileLoadVsPlainRead(benchmark::State& state) {
  const bool reuse = state.range(0) != 0;
  const std::string path = folder().file("tape.f32");
  if (tape_save(source_tape(), path.c_str(), kFrames, nullptr, nullptr) != 0)
    return state.SkipWithError("tape_save failed");
  std::vector<char*> blocks;
  tape_cache_release();
  if (reuse) {
    load_once(path);
    plain_read_once(path, &blocks);
  }
  BenchPair p;
  for (auto _ : state) {
    for (int i = 0; i < kRuns; i++) {
      if (!reuse) tape_cache_release();
      double ours = load_once(path);
      double theirs = plain_read_once(path, reuse ? &blocks : nullptr);
      if (ours < 0 || theirs < 0) return state.SkipWithError("a load failed");
      p.ours.push_back(ours);
      p.anchor.push_back(theirs);
    }
  }
  for (char* b : blocks) platform_block_free(b, (size_t)TAPE_CHUNK_BYTES);
  tape_cache_release();
  state.counters["ours_ms"] = bench_median(p.ours) * 1e3;
  state.counters["plain_ms"] = bench_median(p.anchor) * 1e3;
  if (reuse) {
    bench_ratio("tape load 230 MB, memory reused", p, "plain read into the same blocks again", 1.1);
  } else {
    bench_ratio("tape load 230 MB, fresh memory", p, "plain read into fresh blocks alike", 1.1);
  }
}
BENCHMARK(BM_TapeFileLoadVsPlainRead)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace
