// Helpers shared by the sketch model, meta.json and meta folder tests: parsed and written text,
// minimal sketch and layer JSON, layers with known strokes, and log search.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/log.h"
#include "store/json.h"
#include "store/meta.h"
#include "store/meta_internal.h"
#include "support/log_capture.h"

namespace meta_test {

// Times and dates are checked in UTC and the C locale, whatever the machine says; every program
// that includes this header runs so, as the meta tests did in one file.
struct FixedClockEnvironment : ::testing::Environment {
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    setenv("LC_ALL", "C", 1);
  }
};
inline const ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new FixedClockEnvironment);

struct Parsed {
  SketchMeta m{};
  MetaStatus status = META_UNREADABLE;
  std::string message;
  explicit Parsed(const std::string& text) {
    char buf[256];
    strcpy(buf, "untouched");
    status = meta_parse(text.data(), text.size(), &m, buf, sizeof buf);
    message = buf;
  }
  ~Parsed() { meta_free(&m); }
  Parsed(const Parsed&) = delete;
  Parsed& operator=(const Parsed&) = delete;
};

inline std::string serialise(const SketchMeta* m) {
  JsonWriter w;
  jw_init(&w, 0);
  int rc = meta_serialise(m, &w);
  std::string s = rc == 0 ? std::string(w.data, w.length) : "<failed>";
  jw_free(&w);
  return s;
}

// A minimal valid layer object with extra members spliced in.
inline std::string layer_json(const std::string& extra = "") {
  std::string s = R"({"startSample":0,"lengthSamples":512,"sampleRate":48000,"createdAt":5,)"
                  R"("strokes":[{"amplitude":0.5},{"amplitude":1}])";
  if (!extra.empty()) s += "," + extra;
  return s + "}";
}

inline std::string sketch_json(const std::string& extra) {
  std::string s = R"({"id":"5c0ffee0-ab12-4cde-9f00-1234567890ab")";
  if (!extra.empty()) s += "," + extra;
  return s + "}";
}

inline std::string uuid_text(const Uuid& u) {
  char t[UUID_TEXT_BYTES];
  uuid_format(&u, t);
  return t;
}

inline int64_t log_mark() {
  return log_console_count();
}

// Log lines written since mark that contain text.
inline int log_hits(int64_t mark, const char* text) {
  int hits = 0;
  char line[LOG_FULL_LINE_BYTES + 1];
  for (int64_t n = mark; n < log_console_count(); n++)
    if (log_line_full(n, line, sizeof line) && strstr(line, text)) hits++;
  return hits;
}

inline LayerTemplate tmpl(int64_t start, int64_t length, double rate = 48000) {
  LayerTemplate t{};
  t.startSample = start;
  t.lengthSamples = length;
  t.sampleRate = rate;
  t.createdAt = 100;
  return t;
}

inline Layer* layer_of(int64_t start, int64_t length, std::vector<float> strokes,
                       bool peak = true) {
  LayerTemplate t = tmpl(start, length);
  Layer* l = layer_new(&t, (int32_t)strokes.size());
  for (size_t i = 0; i < strokes.size(); i++) l->strokes[i] = strokes[i];
  l->hasPeak = peak;
  l->peak = 1;
  return l;
}

}  // namespace meta_test
