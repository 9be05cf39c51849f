// Rig files against RapidJSON: decoding a full rig (64 inputs, 4 scenes, labels, names, app
// scenes and foreign members) beside RapidJSON parsing the same text into a Document, and
// encoding it beside RapidJSON's Writer writing that Document back. One rig file is small, so
// each timed sample is a batch of 100; the two sides run in turns (ABBA) in the same run.
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_ratio.h"
#include "rig/rig_format.h"

namespace {

constexpr int kBatch = 100;

struct DocFree {
  RigDoc* doc;
  ~DocFree() { rig_doc_free(doc); }
};

void set_text(RigText* t, const char* s) {
  rig_text_set(t, s, strlen(s));
}

const std::string& full_rig() {
  static std::string text = [] {
    DocFree d{rig_doc_new()};
    RigDoc* doc = d.doc;
    char names[RIG_MAX_CHANNELS][RIG_NAME_BYTES];
    for (int i = 0; i < RIG_MAX_CHANNELS; i++) snprintf(names[i], RIG_NAME_BYTES, "Analog %d", i + 1);
    rig_doc_init_for_device(doc, "", "alsa", "Studio Interface 64", 64, names, 64, "kelp", 7.25e8);
    doc->rev = 1234;
    doc->app_scene_count = 3;
    doc->app_scenes[0] = {"kelp", 1, 7.5e8 + 0.25};
    doc->app_scenes[1] = {"driftwood", 2, 7.5e8 + 3.5};
    doc->app_scenes[2] = {"tidepool", 0, 7.4e8};
    for (int s = 0; s < RIG_SCENES; s++) {
      RigScene& sc = doc->scenes[s];
      snprintf(sc.name, sizeof sc.name, "Band night %d", s + 1);
      sc.master_gain = 0.8912509f;
      for (int c = 0; c < RIG_MAX_CHANNELS; c++) {
        RigChannel& ch = sc.channels[c];
        snprintf(ch.label, sizeof ch.label, "Mic \"%d\" \xE2\x80\x94 stage", c + 1);
        ch.gain = 0.01f * (float)(c + 7 * s + 3);
        ch.pan = (float)(c % 9 - 4) / 4.0f;
        ch.muted = c % 3 == 0;
        ch.link = c % 4 == 0;
        if (c % 8 == 1) set_text(&ch.extra, "\"fx\":{\"eq\":[0.5,1.25,-3],\"on\":true}");
      }
      set_text(&sc.extra_scene, "\"color\":\"#3a7\",\"tags\":[\"live\",\"loud\"]");
      set_text(&sc.extra_channels, "{\"kind\":{\"midi\":{\"channel\":2}},\"cc\":7}");
    }
    set_text(&doc->extra_root, "\"sync\":{\"peer\":\"driftwood\",\"seq\":[1,2,3]}");
    set_text(&doc->extra_device, "\"clock\":\"internal\"");
    strcpy(doc->writer_app, "kelp");
    strcpy(doc->writer_platform, "linux");
    strcpy(doc->writer_version, "1.0.5");
    strcpy(doc->writer_instance, "00000000deadbeef");
    doc->writer_at = 7.5e8 + 0.125;
    std::string out(rig_encode(doc, nullptr, 0), '\0');
    rig_encode(doc, out.data(), out.size() + 1);
    return out;
  }();
  return text;
}

struct Sides {
  const std::string& text = full_rig();
  DocFree doc{rig_doc_new()};
  std::vector<char> out = std::vector<char>(text.size() + 1);
  rapidjson::Document parsed;
  rapidjson::StringBuffer sb;

  Sides() { parsed.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(), text.size()); }

  bool decode_ours() {
    bool ok = true;
    for (int i = 0; i < kBatch; i++) {
      char msg[128];
      ok &= rig_decode(text.data(), text.size(), doc.doc, msg, sizeof msg) == RIG_DECODE_OK;
    }
    benchmark::DoNotOptimize(doc.doc);
    return ok;
  }
  bool decode_rapid() {
    bool ok = true;
    for (int i = 0; i < kBatch; i++) {
      rapidjson::Document d;
      d.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(), text.size());
      ok &= !d.HasParseError();
      benchmark::DoNotOptimize(&d);
    }
    return ok;
  }
  bool encode_ours() {
    size_t n = 0;
    for (int i = 0; i < kBatch; i++) n = rig_encode(doc.doc, out.data(), out.size());
    benchmark::DoNotOptimize(out.data());
    return n == text.size();
  }
  bool encode_rapid() {
    for (int i = 0; i < kBatch; i++) {
      sb.Clear();
      rapidjson::Writer<rapidjson::StringBuffer> w(sb);
      parsed.Accept(w);
      benchmark::DoNotOptimize(sb.GetString());
    }
    return sb.GetSize() > 0;
  }
};

// Ours and RapidJSON in turns; one row each for decoding and encoding.
void BM_RigFormatVsRapidJson(benchmark::State& state) {
  Sides s;
  BenchPair dec, enc, both;
  bool ok = s.decode_ours() && s.decode_rapid() && s.encode_ours() && s.encode_rapid();  // warm
  const int kRuns = 21;
  for (auto _ : state) {
    for (int i = 0; i < kRuns && ok; i++) {
      for (int side = 0; side < 2; side++) {
        bool ours = (side == 0) == (i % 2 == 0);
        double t = bench_now();
        ok &= ours ? s.decode_ours() : s.decode_rapid();
        (ours ? dec.ours : dec.anchor).push_back(bench_now() - t);
        double t2 = bench_now();
        ok &= ours ? s.encode_ours() : s.encode_rapid();
        (ours ? enc.ours : enc.anchor).push_back(bench_now() - t2);
        (ours ? both.ours : both.anchor).push_back(bench_now() - t);
      }
    }
  }
  if (!ok) {
    state.SkipWithError("decode, parse or write failed");
    return;
  }
  double per = 1e6 / kBatch;
  state.counters["KB"] = (double)s.text.size() / 1e3;
  state.counters["decode_us"] = bench_median(dec.ours) * per;
  state.counters["rapid_parse_us"] = bench_median(dec.anchor) * per;
  state.counters["encode_us"] = bench_median(enc.ours) * per;
  state.counters["rapid_write_us"] = bench_median(enc.anchor) * per;
  bench_ratio("rig file decode x100, 64 inputs x 4 scenes", dec,
              "RapidJSON full-precision parse to a Document x100", 1.5);
  bench_ratio("rig file encode x100, 64 inputs x 4 scenes", enc,
              "RapidJSON Writer of that Document x100", 1.5);
  bench_ratio("rig file decode + encode x100, 64 inputs x 4 scenes", both,
              "RapidJSON parse + Writer x100", 1.5);
}
BENCHMARK(BM_RigFormatVsRapidJson)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_RigDecode(benchmark::State& state) {
  Sides s;
  char msg[128];
  for (auto _ : state) {
    if (rig_decode(s.text.data(), s.text.size(), s.doc.doc, msg, sizeof msg) != RIG_DECODE_OK)
      state.SkipWithError(msg);
    benchmark::DoNotOptimize(s.doc.doc);
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)s.text.size());
}
BENCHMARK(BM_RigDecode)->Unit(benchmark::kMicrosecond);

void BM_RigEncode(benchmark::State& state) {
  Sides s;
  s.decode_ours();
  for (auto _ : state) {
    benchmark::DoNotOptimize(rig_encode(s.doc.doc, s.out.data(), s.out.size()));
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)s.text.size());
}
BENCHMARK(BM_RigEncode)->Unit(benchmark::kMicrosecond);

}  // namespace
