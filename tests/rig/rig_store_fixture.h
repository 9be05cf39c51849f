// Shared by the rig store tests: a store on a scratch folder, its log lines, results with a
// deadline, and rig files read back.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rig/rig_format.h"
#include "rig/rig_store.h"
#include "rig_test_util.h"
#include "support/tmpdir.h"

namespace rig_store_test {

using rig_test::DocPtr;

constexpr const char* kKey = "alsa:USB Audio";

// Every store's lines; static, as a store finishing in the background after close still logs.
inline std::mutex g_log_mu;
inline std::vector<std::string> g_log;
inline void log_sink(void*, const char* line) {
  std::lock_guard<std::mutex> g(g_log_mu);
  g_log.push_back(line);
}
inline int logged(const std::string& part) {
  std::lock_guard<std::mutex> g(g_log_mu);
  int n = 0;
  for (const std::string& l : g_log) n += l.find(part) != std::string::npos;
  return n;
}
inline void log_clear() {
  std::lock_guard<std::mutex> g(g_log_mu);
  g_log.clear();
}

inline RigStore* open_store(const std::string& folder, const char* app = "kelp", int poll_ms = 0,
                            bool no_watch = false) {
  RigStoreConfig c = {};
  c.folder = folder.c_str();
  c.app_name = app;
  c.log = log_sink;
  c.poll_ms = poll_ms;
  c.no_watch = no_watch;
  return rig_store_new(&c);
}

struct StoreCloser {
  void operator()(RigStore* s) const { rig_store_close(s, 5000); }
};
using StorePtr = std::unique_ptr<RigStore, StoreCloser>;

// The next result within ms, passing over CHANGED_ON_DISK unless changes_too.
inline bool take(RigStore* s, RigResult* out, int ms = 5000, bool changes_too = false) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (!rig_store_next_result(s, out)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } else if (out->kind == RIG_RESULT_CHANGED_ON_DISK && !changes_too) {
      rig_result_clear(out);
    } else {
      return true;
    }
  }
  return false;
}

inline DocPtr new_rig(int channels = 8, const char* author = "kelp") {
  DocPtr d(rig_doc_new());
  rig_doc_init_for_device(d.get(), kKey, "alsa", "USB Audio", channels, nullptr, 0, author,
                          rig_now());
  return d;
}

inline std::string rig_path(RigStore* s, const char* key = kKey) {
  char p[1100];
  rig_store_path(s, key, p, sizeof p);
  return p;
}

// The file decoded; null when it does not decode.
inline DocPtr read_rig(const std::string& path) {
  std::string text = tmpdir_read(path);
  DocPtr d(rig_doc_new());
  char msg[160];
  int c = rig_decode(text.data(), text.size(), d.get(), msg, sizeof msg);
  if (c > RIG_DECODE_READ_ONLY) d.reset();
  return d;
}

// Loads kKey (creating it from a new rig); the loaded document.
inline DocPtr load(RigStore* s, int channels = 8) {
  DocPtr templ = new_rig(channels);
  EXPECT_NE(rig_store_load(s, kKey, templ.get()), 0u);
  RigResult r = {};
  if (!take(s, &r)) return nullptr;
  EXPECT_TRUE(r.kind == RIG_RESULT_LOADED || r.kind == RIG_RESULT_LOADED_AFTER_DAMAGE) << r.message;
  return DocPtr(r.doc);
}

// Sets one channel's gain and saves; the result (the caller clears it).
inline RigResult save_gain(RigStore* s, RigDoc* doc, int scene, int ch, float gain) {
  doc->scenes[scene].channels[ch].gain = gain;
  RigChanges c;
  rig_changes_clear(&c);
  c.channel[scene][ch] = RIG_CH_GAIN;
  RigResult r = {};
  EXPECT_NE(rig_store_save(s, doc, &c), 0u);
  EXPECT_TRUE(take(s, &r));
  return r;
}

}  // namespace rig_store_test
