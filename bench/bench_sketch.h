// A sketch of many takes for the drawing benchmarks.
#pragma once
#include <algorithm>
#include <cmath>
#include <vector>

#include "core/analysis.h"
#include "store/meta.h"

constexpr double kBenchSketchRate = 48000;

// takes of 60 s spread over a sketch of 60 s per ten takes (at least 60 s): neighbours overlap.
struct BenchSketch {
  SketchMeta meta;
  explicit BenchSketch(int takes) {
    meta_new(&meta, kBenchSketchRate);
    const double length = 60.0 * std::max(1, takes / 10);
    meta.lengthSamples = (int64_t)(length * kBenchSketchRate);
    const int strokes = (int)(60 * ANALYSIS_HOPS_PER_SECOND);
    std::vector<float> levels((size_t)strokes);
    for (int t = 0; t < takes; t++) {
      for (int i = 0; i < strokes; i++)
        levels[(size_t)i] = (float)(0.5 + 0.5 * std::sin(i * 0.05 + t) * std::sin(i * 0.0031));
      LayerTemplate tmpl{};
      tmpl.startSample = (int64_t)(std::fmod(t * 0.618034, 1.0) * (length - 60) * kBenchSketchRate);
      tmpl.lengthSamples = (int64_t)(60 * kBenchSketchRate);
      tmpl.sampleRate = kBenchSketchRate;
      tmpl.createdAt = 1000 + t;
      meta_add_layer(&meta, layer_from_take(&tmpl, levels.data(), strokes));
    }
  }
  ~BenchSketch() { meta_free(&meta); }
};
