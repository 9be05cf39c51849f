// A library scan of 1,000 sketch folders, each a meta.json with two layers of 400 strokes and a
// 1-second tape.f32, generated once (warm page cache: what the scan at start sees after the
// first run). Every folder is read, none needs migrating, so this is the steady cost of a
// refresh. The folders go under KELP_BENCH_TMP (default /tmp) and are removed at exit.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "store/files.h"
#include "store/jobs.h"
#include "store/library.h"
#include "store/meta.h"

#include "bench_library.h"

namespace {

constexpr int kSketches = kBenchSketches;


void BM_LibraryScan1000(benchmark::State& state) {
  const std::string& dir = library_folder().dir;
  if (dir.empty()) {
    state.SkipWithError("no scratch folder");
    return;
  }
  int32_t cards = 0;
  for (auto _ : state) {
    Job* job = job_new(JOB_SCAN_LIBRARY);
    job_copy_text(job->folder, sizeof job->folder, dir.c_str());
    library_scan_job(job);
    cards = job->card_count;
    job_free(job);
  }
  if (cards != kSketches) state.SkipWithError("the scan missed sketches");
  state.counters["sketches"] = cards;
}
BENCHMARK(BM_LibraryScan1000)->Unit(benchmark::kMillisecond)->Iterations(10);

// The UI thread's side of the same scan: merging 1,000 fresh cards over 1,000 rows.
void BM_LibraryMerge1000(benchmark::State& state) {
  const std::string& dir = library_folder().dir;
  if (dir.empty()) {
    state.SkipWithError("no scratch folder");
    return;
  }
  Library lib;
  library_init(&lib, dir.c_str());
  for (auto _ : state) {
    state.PauseTiming();
    Job* job = library_scan_begin(&lib, "", 1.0);
    library_scan_job(job);
    job->result = JOB_DONE;
    state.ResumeTiming();
    library_on_job(&lib, job);
    job_free(job);
  }
  state.counters["rows"] = lib.count;
  library_free(&lib);
}
BENCHMARK(BM_LibraryMerge1000)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
