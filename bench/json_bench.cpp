// meta.json reading and writing against RapidJSON on a large sketch: 200 layers, each with
// 2,000 strokes and a 576-value spectral record.
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <random>
#include <string>

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

void BM_JsonParse(benchmark::State& state) {
  const std::string& text = big_sketch();
  for (auto _ : state) {
    JsonDoc* doc = json_parse(text.data(), text.size(), nullptr, 0);
    if (!doc) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(doc);
    json_free(doc);
  }
  report(state, text.size());
}
BENCHMARK(BM_JsonParse)->Unit(benchmark::kMillisecond);

void BM_JsonParseWrite(benchmark::State& state) {
  const std::string& text = big_sketch();
  size_t written = 0;
  for (auto _ : state) {
    JsonDoc* doc = json_parse(text.data(), text.size(), nullptr, 0);
    if (!doc) state.SkipWithError("parse failed");
    JsonWriter w;
    jw_init(&w, 1024);
    jw_value(&w, json_root(doc));
    if (w.failed) state.SkipWithError("write failed");
    written = w.length;
    benchmark::DoNotOptimize(w.data);
    jw_free(&w);
    json_free(doc);
  }
  report(state, text.size());
  state.counters["outMB"] = (double)written / 1e6;
}
BENCHMARK(BM_JsonParseWrite)->Unit(benchmark::kMillisecond);

void BM_RapidJsonParse(benchmark::State& state) {
  const std::string& text = big_sketch();
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse(text.data(), text.size());
    if (d.HasParseError()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(&d);
  }
  report(state, text.size());
}
BENCHMARK(BM_RapidJsonParse)->Unit(benchmark::kMillisecond);

void BM_RapidJsonParseWrite(benchmark::State& state) {
  const std::string& text = big_sketch();
  size_t written = 0;
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse(text.data(), text.size());
    if (d.HasParseError()) state.SkipWithError("parse failed");
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> writer(sb);
    d.Accept(writer);
    written = sb.GetSize();
    benchmark::DoNotOptimize(sb.GetString());
  }
  report(state, text.size());
  state.counters["outMB"] = (double)written / 1e6;
}
BENCHMARK(BM_RapidJsonParseWrite)->Unit(benchmark::kMillisecond);

// RapidJSON reading numbers exactly, as our reader always does.
void BM_RapidJsonFullPrecisionParseWrite(benchmark::State& state) {
  const std::string& text = big_sketch();
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(), text.size());
    if (d.HasParseError()) state.SkipWithError("parse failed");
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> writer(sb);
    d.Accept(writer);
    benchmark::DoNotOptimize(sb.GetString());
  }
  report(state, text.size());
}
BENCHMARK(BM_RapidJsonFullPrecisionParseWrite)->Unit(benchmark::kMillisecond);

}  // namespace
