// meta.json reading and writing against RapidJSON on a large sketch: 200 layers, each with
// 2,000 strokes and a 576-value spectral record.
//
// Two states matter to the user: memory fresh to the process (the first sketch opened after
// start-up, or after the allocator gave memory back), where every page first touched costs a
// fault, and memory reused (a library scan parsing file after file). The paired benchmarks time
// ours and RapidJSON in turns, in one run, so the machine's load falls on both alike.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/resource.h>

#include <cstdio>
#include <random>
#include <string>

#include "bench_ratio.h"
#include "store/json.h"

namespace {

const std::string& big_sketch() {
  static std::string text = [] {
    std::mt19937 rng(99);
    std::string s;
    char buf[256];
    s += "{\"id\":\"a3bb189e-8bf9-4888-9912-ace4e6543002\",\"name\":\"big sketch\",";
    s += "\"createdAt\":786100000.25,\"sampleRate\":48000,\"lengthSamples\":102400000,";
    s += "\"channels\":2,\"space\":\"dry\",\"loopStart\":0,\"loopEnd\":0,\"loopActive\":false,";
    s += "\"vibe\":\"kelp\",\"layerSnapshots\":[";
    for (int layer = 0; layer < 200; layer++) {
      if (layer) s += ',';
      snprintf(buf, sizeof buf,
               "{\"id\":\"%08x-8bf9-4888-9912-ace4e6543002\",\"startSample\":%d,"
               "\"lengthSamples\":512000,\"sampleRate\":48000,\"createdAt\":%.17g,"
               "\"explicitY\":%.4f,\"strokes\":[",
               (unsigned)rng(), layer * 512000, 786100001.5 + layer * 10.7,
               (double)(rng() % 10000) / 10000.0);
      s += buf;
      for (int i = 0; i < 2000; i++) {
        snprintf(buf, sizeof buf, "%s%.4g", i ? "," : "", (double)(rng() % 10000) / 10000.0);
        s += buf;
      }
      s += "],\"spectral\":[";
      for (int i = 0; i < 576; i++) {
        snprintf(buf, sizeof buf, "%s%.6g", i ? "," : "", (double)(rng() % 1000000) / 1e6);
        s += buf;
      }
      s += "]}";
    }
    s += "],\"waveformSnapshots\":[],\"layers\":[],\"waveform\":[]}";
    return s;
  }();
  return text;
}

void report(benchmark::State& state, size_t bytes) {
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)bytes);
  state.counters["MB"] = (double)bytes / 1e6;
}

long minor_faults() {
  struct rusage ru = {};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_minflt;
}

// One parse and compact write of the whole document; the written length, 0 on failure.
size_t ours_round_trip(const std::string& text) {
  JsonDoc* doc = json_parse(text.data(), text.size(), nullptr, 0);
  if (!doc) return 0;
  JsonWriter w;
  jw_init(&w, 1024);
  jw_value(&w, json_root(doc));
  size_t written = w.failed ? 0 : w.length;
  benchmark::DoNotOptimize(w.data);
  jw_free(&w);
  json_free(doc);
  return written;
}

// RapidJSON reading numbers exactly, as our reader always does.
size_t rapid_round_trip(const std::string& text) {
  rapidjson::Document d;
  d.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(), text.size());
  if (d.HasParseError()) return 0;
  rapidjson::StringBuffer sb;
  rapidjson::Writer<rapidjson::StringBuffer> writer(sb);
  d.Accept(writer);
  benchmark::DoNotOptimize(sb.GetString());
  return sb.GetSize();
}

// Memory handed back: our per-thread cache and the allocator's free pages go to the system, so
// the next run faults in every page it touches.
void give_memory_back() {
  json_cache_release();
  malloc_trim(0);
}

// Ours and RapidJSON in turns (ABBA, so neither always runs first), fresh or reused memory.
void paired(benchmark::State& state, bool fresh, const char* row) {
  const std::string& text = big_sketch();
  const int kRuns = 9;
  BenchPair pair;
  long oursFaults = 0, theirFaults = 0;
  bool ok = true;
  for (auto _ : state) {
    if (!fresh) {
      ok = ours_round_trip(text) && rapid_round_trip(text);  // warm both
    }
    for (int i = 0; i < kRuns && ok; i++) {
      for (int side = 0; side < 2; side++) {
        bool ours = (side == 0) == (i % 2 == 0);
        if (fresh) give_memory_back();
        long faults = minor_faults();
        double t = bench_now();
        size_t n = ours ? ours_round_trip(text) : rapid_round_trip(text);
        t = bench_now() - t;
        faults = minor_faults() - faults;
        ok = ok && n > 0;
        (ours ? pair.ours : pair.anchor).push_back(t);
        (ours ? oursFaults : theirFaults) += faults;
      }
    }
  }
  if (!ok) {
    state.SkipWithError("parse or write failed");
    return;
  }
  state.counters["ours_ms"] = bench_median(pair.ours) * 1e3;
  state.counters["rapidjson_ms"] = bench_median(pair.anchor) * 1e3;
  state.counters["ratio"] = bench_median(pair.ours) / bench_median(pair.anchor);
  state.counters["ours_faults"] = (double)oursFaults / kRuns;
  state.counters["rapidjson_faults"] = (double)theirFaults / kRuns;
  bench_ratio(row, pair, "RapidJSON full-precision parse + Writer", fresh ? 1.5 : 0);
}

void BM_JsonRoundTripFreshMemory(benchmark::State& state) {
  paired(state, true, "meta.json parse + write, 200 layers x 2,000 strokes, fresh memory");
}
BENCHMARK(BM_JsonRoundTripFreshMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_JsonRoundTripReusedMemory(benchmark::State& state) {
  paired(state, false, "meta.json parse + write, 200 layers x 2,000 strokes, memory reused");
}
BENCHMARK(BM_JsonRoundTripReusedMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// Each library alone, parse only and parse + write, memory reused between iterations.
void BM_JsonParseReused(benchmark::State& state) {
  const std::string& text = big_sketch();
  for (auto _ : state) {
    JsonDoc* doc = json_parse(text.data(), text.size(), nullptr, 0);
    if (!doc) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(doc);
    json_free(doc);
  }
  report(state, text.size());
}
BENCHMARK(BM_JsonParseReused)->Unit(benchmark::kMillisecond);

void BM_JsonParseWriteReused(benchmark::State& state) {
  const std::string& text = big_sketch();
  size_t written = 0;
  for (auto _ : state) {
    written = ours_round_trip(text);
    if (!written) state.SkipWithError("parse or write failed");
  }
  report(state, text.size());
  state.counters["outMB"] = (double)written / 1e6;
}
BENCHMARK(BM_JsonParseWriteReused)->Unit(benchmark::kMillisecond);

void BM_RapidJsonParseReused(benchmark::State& state) {
  const std::string& text = big_sketch();
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse(text.data(), text.size());
    if (d.HasParseError()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(&d);
  }
  report(state, text.size());
}
BENCHMARK(BM_RapidJsonParseReused)->Unit(benchmark::kMillisecond);

void BM_RapidJsonFullPrecisionParseWriteReused(benchmark::State& state) {
  const std::string& text = big_sketch();
  size_t written = 0;
  for (auto _ : state) {
    written = rapid_round_trip(text);
    if (!written) state.SkipWithError("parse or write failed");
  }
  report(state, text.size());
  state.counters["outMB"] = (double)written / 1e6;
}
BENCHMARK(BM_RapidJsonFullPrecisionParseWriteReused)->Unit(benchmark::kMillisecond);

}  // namespace
