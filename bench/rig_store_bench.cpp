// Rig saves as the controller waits for them: from rig_store_save to the SAVED result, alone
// and while a sibling program (tools/rig_sibling) saves the same rig file over and over, so
// every save of ours waits for its lock and merges its writes. The plain anchor writes the same
// bytes through file_write_atomic: what any safe save of that file costs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "bench_ratio.h"
#include "rig/rig_format.h"
#include "rig/rig_store.h"
#include "store/files.h"
#include "support/tmpdir.h"

extern char** environ;

namespace {

constexpr const char* kKey = "alsa:Bench Interface";
constexpr int kChannels = 16;
constexpr int kRounds = 7;
constexpr int kSavesPerRound = 40;

void quiet(void*, const char*) {}

// One save of a gain edit: seconds from the post to its SAVED result, -1 on failure.
double timed_save(RigStore* s, RigDoc* doc, int n) {
  RigChanges c;
  rig_changes_clear(&c);
  int ch = n % kChannels;
  doc->scenes[0].channels[ch].gain = 0.25f + 0.001f * (float)(n % 500);
  c.channel[0][ch] = RIG_CH_GAIN;
  c.any = true;
  double t0 = bench_now();
  if (!rig_store_save(s, doc, &c)) return -1;
  for (;;) {
    RigResult r = {};
    if (!rig_store_next_result(s, &r)) {
      std::this_thread::yield();
      continue;
    }
    double t = bench_now() - t0;
    bool ok = r.kind == RIG_RESULT_SAVED;
    if (r.kind == RIG_RESULT_CHANGED_ON_DISK) {
      rig_result_clear(&r);
      continue;
    }
    rig_result_clear(&r);
    return ok ? t : -1;
  }
}

// Mean of a round of saves: the saves that wait for the sibling's lock count in full.
double save_round(RigStore* s, RigDoc* doc, int* n) {
  double sum = 0;
  for (int i = 0; i < kSavesPerRound; i++) {
    double t = timed_save(s, doc, (*n)++);
    if (t < 0) return -1;
    sum += t;
  }
  return sum / kSavesPerRound;
}

pid_t start_writer(const std::string& folder) {
  std::string exe = std::string(KELP_BINARY_DIR) + "/tools/rig_sibling";
  std::vector<std::string> args = {exe,      "--folder",   folder,
                                   "--key",  kKey,         "--app",
                                   "hammer", "--channels", std::to_string(kChannels),
                                   "--gain", "1",          "3",
                                   "0.5",    "--saves",    "100000000"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int r = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  return r == 0 ? pid : -1;
}

void stop_writer(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

void BM_RigStoreSave(benchmark::State& state) {
  TmpDir dir("rigbench");
  RigStoreConfig config = {};
  config.folder = dir.path.c_str();
  config.app_name = "kelp";
  config.log = quiet;
  RigStore* s = rig_store_new(&config);
  if (!s) return state.SkipWithError("no store");
  RigDoc* doc = rig_doc_new();
  rig_doc_init_for_device(doc, kKey, "alsa", "Bench Interface", kChannels, nullptr, 0, "kelp",
                          rig_now());
  rig_store_load(s, kKey, doc);
  RigResult loaded = {};
  while (!rig_store_next_result(s, &loaded)) std::this_thread::yield();
  rig_doc_free(doc);
  doc = loaded.doc;
  loaded.doc = nullptr;
  char path[1100];
  rig_store_path(s, kKey, path, sizeof path);
  std::string plain = std::string(path) + ".plain";
  std::vector<char> bytes(rig_encode(doc, nullptr, 0) + 1);
  rig_encode(doc, bytes.data(), bytes.size());

  BenchPair alone, contended, anchor;
  int n = 0;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; round++) {
      double a = save_round(s, doc, &n);
      double t0 = bench_now();
      for (int i = 0; i < kSavesPerRound; i++)
        file_write_atomic(plain.c_str(), bytes.data(), bytes.size() - 1);
      double p = (bench_now() - t0) / kSavesPerRound;
      pid_t writer = start_writer(dir.path);
      if (writer < 0) return state.SkipWithError("build tools/rig_sibling first");
      // Past its start-up: its saves are going once the file's rev moves.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      double c = save_round(s, doc, &n);
      stop_writer(writer);
      if (a < 0 || c < 0) return state.SkipWithError("a save failed");
      alone.ours.push_back(a);
      alone.anchor.push_back(p);
      contended.ours.push_back(c);
      contended.anchor.push_back(a);
    }
  }
  state.counters["alone_ms"] = bench_median(alone.ours) * 1e3;
  state.counters["contended_ms"] = bench_median(contended.ours) * 1e3;
  state.counters["plain_ms"] = bench_median(alone.anchor) * 1e3;
  bench_ratio("rig save, post to SAVED", alone, "file_write_atomic of the same bytes", 1.5);
  bench_ratio("rig save while a sibling saves the same rig", contended, "the same save alone", 3.0);
  rig_doc_free(doc);
  rig_store_close(s, 5000);
}
BENCHMARK(BM_RigStoreSave)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
