// A library of 1,000 sketch folders for the benchmarks: each a meta.json with two layers of 400
// strokes and a 1-second tape.f32, made once under KELP_BENCH_TMP (default /tmp) and removed at
// exit.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "store/files.h"
#include "store/meta.h"

constexpr int kBenchSketches = 1000;
constexpr int64_t kBenchFrames = 48000;

struct BenchLibrary {
  std::string dir;
  BenchLibrary() {
    const char* base = getenv("KELP_BENCH_TMP");
    std::string t = std::string(base && *base ? base : "/tmp") + "/kelp-librarybench-XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) return;
    dir = buf.data();
    std::vector<float> tape((size_t)kBenchFrames * 2);
    for (size_t i = 0; i < tape.size(); i++) tape[i] = (float)(i % 100) / 200.0f;
    for (int k = 0; k < kBenchSketches; k++) {
      SketchMeta m{};
      meta_new(&m, 48000);
      m.createdAt = 1000.0 + k;
      snprintf(m.name, sizeof m.name, "sketch %d", k);
      m.lengthSamples = kBenchFrames;
      for (int j = 0; j < 2; j++) {
        LayerTemplate lt{};
        lt.startSample = j * kBenchFrames / 2;
        lt.lengthSamples = kBenchFrames / 2;
        lt.sampleRate = 48000;
        lt.createdAt = m.createdAt;
        float levels[400];
        for (int s = 0; s < 400; s++) levels[s] = (float)((s * 7 + k) % 50) / 50.0f;
        meta_add_layer(&m, layer_from_take(&lt, levels, 400));
      }
      const std::string folder = dir + "/" + m.id;
      meta_save_folder(folder.c_str(), &m);
      file_write_atomic((folder + "/tape.f32").c_str(), tape.data(), tape.size() * sizeof(float));
      meta_free(&m);
    }
  }
  ~BenchLibrary() {
    if (!dir.empty()) tree_delete(dir.c_str());
  }
};

inline BenchLibrary& library_folder() {
  static BenchLibrary b;
  return b;
}
