// tape.f32 save and load of 10 minutes of stereo at 48 kHz (230.4 MB), each beside a plain
// write or read of the same bytes in the same folder, so the overhead of the chunked tape and
// the safe writer shows as a ratio. Both sides of each pair flush to the disk the same way:
// the file, then its folder. Reads are measured warm (the file in the page cache, as just after
// a save) and cold (the file's pages dropped with posix_fadvise before each run).
// KELP_BENCH_TMP picks the folder (default /tmp).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/tape.h"
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
    for (const char* n : {"tape.f32", "tape.f32.tmp", "plain.f32"}) unlink((dir + "/" + n).c_str());
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

void sync_folder(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

void drop_cache(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  fdatasync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}

void report(benchmark::State& state) {
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)kBytes);
}

int save_once(Tape* t, const std::string& path) {
  float peak = 0;
  int rc = tape_save(t, path.c_str(), kFrames, &peak, nullptr);
  benchmark::DoNotOptimize(peak);
  return rc;
}

bool plain_write_once(Tape* t, const std::string& path);

// The first few hundred MB written in a run cost the kernel extra (fresh page-cache pages), so
// both kinds of write run twice untimed before either is measured.
void warm_up_writes() {
  static bool done = [] {
    for (int i = 0; i < 2; i++) {
      save_once(source_tape(), folder().file("tape.f32"));
      plain_write_once(source_tape(), folder().file("plain.f32"));
    }
    return true;
  }();
  (void)done;
}

void BM_TapeFileSave(benchmark::State& state) {
  Tape* t = source_tape();
  const std::string path = folder().file("tape.f32");
  warm_up_writes();
  for (auto _ : state) {
    if (save_once(t, path) != 0) {
      state.SkipWithError("tape_save failed");
      break;
    }
  }
  report(state);
}

// write() of the same bytes, 1 MiB at a time from the same chunks, to a fresh file (the old one
// unlinked, as the safe writer's rename drops it), then fsync of the file and the folder.
bool plain_write_once(Tape* t, const std::string& path) {
  unlink(path.c_str());
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0;
  for (int64_t at = 0; ok && at < kFrames; at += (int64_t)kBlock / 8) {
    const float* c = tape_frame_ptr(t, at);
    ok = write(fd, c, kBlock) == (ssize_t)kBlock;
  }
  ok = ok && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  sync_folder(folder().dir);
  return ok;
}

void BM_TapeFilePlainWrite(benchmark::State& state) {
  Tape* t = source_tape();
  const std::string path = folder().file("plain.f32");
  warm_up_writes();
  for (auto _ : state) {
    if (!plain_write_once(t, path)) {
      state.SkipWithError("plain write failed");
      break;
    }
  }
  report(state);
}

// Loads into a fresh tape each time (chunk allocation included, as a job does).
void load_bench(benchmark::State& state, bool cold) {
  const std::string path = folder().file("tape.f32");
  if (tape_save(source_tape(), path.c_str(), kFrames, nullptr, nullptr) != 0) {
    state.SkipWithError("tape_save failed");
    return;
  }
  for (auto _ : state) {
    if (cold) {
      state.PauseTiming();
      drop_cache(path);
      state.ResumeTiming();
    }
    Tape* t = tape_new(48000, 0, 0);
    int rc = tape_load(t, path.c_str(), false, nullptr);
    benchmark::DoNotOptimize(t->chunks[0].load()[0]);
    tape_free(t);
    if (rc != 0) {
      state.SkipWithError("tape_load failed");
      break;
    }
  }
  report(state);
}

// read() of the same file, 1 MiB at a time, into fresh memory of the same size.
void plain_read_bench(benchmark::State& state, bool cold) {
  const std::string path = folder().file("plain.f32");
  if (tape_save(source_tape(), path.c_str(), kFrames, nullptr, nullptr) != 0) {
    state.SkipWithError("tape_save failed");
    return;
  }
  for (auto _ : state) {
    if (cold) {
      state.PauseTiming();
      drop_cache(path);
      state.ResumeTiming();
    }
    char* mem = (char*)malloc(kBytes);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    size_t total = 0;
    while (fd >= 0 && mem && total < kBytes) {
      ssize_t r = read(fd, mem + total, std::min(kBlock, kBytes - total));
      if (r <= 0) break;
      total += (size_t)r;
    }
    if (fd >= 0) close(fd);
    if (mem) benchmark::DoNotOptimize(mem[0]);
    free(mem);
    if (total != kBytes) {
      state.SkipWithError("plain read failed");
      break;
    }
  }
  report(state);
}

void BM_TapeFileLoadWarm(benchmark::State& s) {
  load_bench(s, false);
}
void BM_TapeFilePlainReadWarm(benchmark::State& s) {
  plain_read_bench(s, false);
}
void BM_TapeFileLoadCold(benchmark::State& s) {
  load_bench(s, true);
}
void BM_TapeFilePlainReadCold(benchmark::State& s) {
  plain_read_bench(s, true);
}

}  // namespace

BENCHMARK(BM_TapeFileSave)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_TapeFilePlainWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_TapeFileLoadWarm)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_TapeFilePlainReadWarm)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_TapeFileLoadCold)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_TapeFilePlainReadCold)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
