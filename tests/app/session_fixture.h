// A session on a real core, real workers and a real library in a scratch folder. The test thread
// plays the audio callback (core_process with a sine) and the collector between session_update
// calls, the same thread pattern as the program minus the device. The device engine is a record
// the test sets (state, rate) and a list of the commands posted to it.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "app/session_lifecycle.h"
#include "app/preview.h"
#include "app/session.h"
#include "control/midi.h"
#include "core/core.h"
#include "support/core_inside.h"
#include "core/tape.h"
#include "store/files.h"
#include "store/jobs.h"
#include "store/library.h"
#include "base/log.h"
#include "store/meta.h"
#include "store/paths.h"
#include "store/settings.h"
#include "store/tapefile.h"
#include "support/tmpdir.h"
#include "support/log_capture.h"

namespace session_fixture {

struct Rig {
  TmpDir dir{"session"};
  std::string library;
  Core* core = nullptr;
  JobQueue* jobs = nullptr;
  // The application record the session lives in, so the action layer can run on it too.
  App app{};
  Settings& settings = app.settings;
  AppPaths& paths = app.paths;
  Library& lib = app.lib;
  Session* s = nullptr;

  AudioStatus device;  // what the engine reports
  std::vector<AudioCommand> posted;
  uint32_t next_id = 1;
  bool refuse_posts = false;

  std::vector<SessionNotice> notices;
  std::vector<std::string> tips;
  int64_t log_mark = 0;

  double now = 100.0;
  double wall = 7.5e8;
  double phase = 0.0;
  float level = 0.5f;
  double audio_rate = 48000.0;  // the rate the test's callback runs at
  uint64_t ms = 1000;
  int block = 250;
  bool audio_on = true;

  Rig() {
    library = dir / "library";
    fsys_make_folders(library.c_str());
    settings_defaults(&settings);
    memset(&paths, 0, sizeof paths);
    snprintf(paths.library, sizeof paths.library, "%s", library.c_str());
    snprintf(paths.exports, sizeof paths.exports, "%s/exports", library.c_str());
    core = core_new();
    core_set_rate(core, 48000.0, 2);
    core_set_running(core, true);
    jobs = jobs_start();
    library_init(&lib, library.c_str());
    app.lib_made = true;
    whatsnew_init(&app.whats_new);
    app.core = core;
    app.jobs = jobs;
    const LibraryPlayer player = preview_player(core);
    library_set_player(&lib, &player);
    memset(&device, 0, sizeof device);
    device.state = AUDIO_RUNNING;
    device.rate = 48000.0;
    device.duplex = true;
    device.inputs = 2;
    device.frames = 256;
    snprintf(device.device, sizeof device.device, "Test Device [ALSA]");
    log_mark = log_console_count();
  }

  ~Rig() {
    if (pending_scan) job_free(pending_scan);
    pending_scan = nullptr;
    if (jobs) {
      jobs_stop_begin(jobs);
      jobs_wait_idle(jobs, JOB_WORKER_ANY, 10000);
      drain_jobs();
    }
    if (s) session_free(s);
    s = nullptr;
    if (jobs) {
      drain_jobs();
      jobs_stop(jobs);
    }
    if (app.midi) midi_free(app.midi);
    library_free(&lib);
    core_free(core);
  }

  static Rig* of(void* u) { return (Rig*)u; }

  void create() {
    SessionHost host;
    memset(&host, 0, sizeof host);
    host.user = this;
    host.library_sketch_at = [](void* u, int32_t i, char* out, size_t n) {
      return library_openable_at(&of(u)->lib, i, out, n);
    };
    host.library_folder_for = [](void* u, const char* id, char* out, size_t n) {
      return library_folder_for(&of(u)->lib, id, out, n);
    };
    host.library_refresh = [](void* u) { of(u)->scan(); };
    host.library_scanning = [](void* u) { return of(u)->lib.scanning; };
    host.library_card = [](void* u, const SketchMeta* m, const char* folder) {
      library_upsert(&of(u)->lib, m, folder);
    };
    host.library_preview_ended = [](void* u) { library_preview_ended(&of(u)->lib); };
    host.tip_seen = [](void* u, const char* tip) { of(u)->tips.push_back(tip); };
    s = session_create(core, nullptr, jobs, &settings, &paths, &host);
    ASSERT_NE(s, nullptr);
    app.session = s;
    SessionAudio audio;
    audio.user = this;
    audio.status = [](void* u, AudioStatus* out) -> uint64_t {
      *out = of(u)->device;
      return 1;
    };
    audio.post = [](void* u, const AudioCommand* c) -> uint32_t {
      Rig* r = of(u);
      if (r->refuse_posts) return 0;
      r->posted.push_back(*c);
      return r->next_id++;
    };
    session_set_audio(s, &audio);
  }

  // Runs the callback for n frames of a sine, in blocks, with the collector between blocks.
  void audio(int64_t n) {
    std::vector<float> l((size_t)block), r((size_t)block), ol((size_t)block), orr((size_t)block);
    while (n > 0) {
      int k = (int)std::min<int64_t>(n, block);
      for (int i = 0; i < k; i++) {
        float v = level * (float)std::sin(phase);
        phase += 2.0 * M_PI * 440.0 / audio_rate;
        l[(size_t)i] = v;
        r[(size_t)i] = v;
      }
      core_process(core, l.data(), r.data(), 2, ol.data(), orr.data(), k, 0);
      n -= k;
      ms += 5;
      core_collect(core, ms);
    }
  }

  // A library scan that comes back with the next frame's job results. Run here rather than on
  // the IO worker, so the test sees the library as the program will once the scan is wired in.
  Job* pending_scan = nullptr;
  void scan() {
    if (!pending_scan)
      pending_scan = library_scan_begin(&lib, s && s->meta ? s->meta->id : "", now);
  }

  void drain_jobs() {
    if (pending_scan) {
      Job* j = pending_scan;
      pending_scan = nullptr;
      library_scan_job(j);
      if (j->result == JOB_PENDING) j->result = JOB_DONE;
      library_on_job(&lib, j);
      job_free(j);
    }
    while (Job* j = jobs_take_done(jobs)) {
      if (!library_on_job(&lib, j) && s) session_on_job(s, j);
      job_free(j);
    }
  }

  void update() {
    drain_jobs();
    session_update(s, now, wall);
    SessionNotice n;
    while (session_next_notice(s, &n)) notices.push_back(n);
  }

  // One frame of the main loop: dt seconds of audio, job results, the session.
  void frame(double dt = 1.0 / 60.0) {
    if (audio_on) audio((int64_t)std::llround(dt * audio_rate));
    now += dt;
    wall += dt;
    update();
  }

  bool pump_until(const std::function<bool()>& done, double real_seconds = 20.0) {
    auto start = std::chrono::steady_clock::now();
    for (;;) {
      frame();
      if (done()) return true;
      if (std::chrono::steady_clock::now() - start > std::chrono::duration<double>(real_seconds))
        return false;
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  }

  // Frames of quiet time (no job waits).
  void frames(int count, double dt = 1.0 / 60.0) {
    for (int i = 0; i < count; i++) frame(dt);
  }

  bool idle() { return jobs_idle(jobs, JOB_WORKER_ANY) && !s->meta_dirty && s->commit_count == 0; }
  // Until every job is back and nothing is due to be saved.
  bool settle(double real_seconds = 20.0) {
    return pump_until([&] { return idle() && !session_take_outstanding(s); }, real_seconds);
  }

  bool ready() { return s->state == SESSION_READY; }

  void new_sketch() {
    session_new_sketch(s);
    ASSERT_TRUE(pump_until([&] { return ready(); }));
  }

  // Records exactly `frames` frames (applied at block boundaries) and stops.
  void record_frames(int64_t frames) {
    session_record(s);
    ASSERT_TRUE(s->take.requested);
    int64_t left = frames;
    int blocks = 0;
    while (left > 0) {
      int64_t k = std::min<int64_t>(left, block);
      audio(k);
      left -= k;
      if (++blocks % 4 == 0) {
        now += 4.0 * block / audio_rate;
        wall += 4.0 * block / audio_rate;
        update();
      }
    }
    session_record(s);  // stop
  }

  bool logged(const char* needle) {
    char line[LOG_FULL_LINE_BYTES];
    int64_t end = log_console_count();
    for (int64_t i = std::max<int64_t>(log_mark, end - LOG_CONSOLE_LINES); i < end; i++)
      if (log_line_full(i, line, sizeof line) && strstr(line, needle)) return true;
    return false;
  }

  int notice_count(int32_t kind, const char* text = nullptr) {
    int n = 0;
    for (const SessionNotice& x : notices)
      if (x.kind == kind && (!text || strstr(x.text, text))) n++;
    return n;
  }

  std::string folder() { return s->folder; }
  std::string file(const char* name) { return std::string(s->folder) + "/" + name; }

  // meta.json as it is on disk now.
  bool disk_meta(const std::string& folder, SketchMeta* out) {
    bool dirty = false;
    char msg[256];
    return meta_load_folder(folder.c_str(), out, &dirty, msg, sizeof msg) <= META_REPAIRED;
  }

  // Commands waiting in the core's ring (not yet applied), oldest first.
  std::vector<CoreCommand> queued() {
    std::vector<CoreCommand> out;
    int64_t r = core->commands.read_index.load();
    int64_t w = core->commands.write_index.load();
    for (int64_t i = r; i < w; i++)
      out.push_back(core->commands.slots[i & (CORE_COMMAND_SLOTS - 1)]);
    return out;
  }
};

// A sketch folder written straight to disk: meta.json with `layers` layers over the tape, and a
// tape.f32 of `frames` stereo frames of a sine at `rate`.
inline std::string write_sketch(const std::string& library, double rate, int64_t frames, int layers,
                                double created_at = 7e8) {
  SketchMeta m;
  meta_new(&m, rate);
  m.createdAt = created_at;
  m.lengthSamples = frames;
  std::string folder = library + "/" + m.id;
  for (int i = 0; i < layers; i++) {
    LayerTemplate t;
    memset(&t, 0, sizeof t);
    t.startSample = frames * i / (layers > 0 ? layers : 1);
    t.lengthSamples = frames / (layers > 0 ? layers : 1);
    t.sampleRate = rate;
    t.createdAt = created_at + i;
    float levels[20];
    for (int k = 0; k < 20; k++) levels[k] = 0.1f + 0.04f * (float)k;
    meta_add_layer(&m, layer_from_take(&t, levels, 20));
  }
  EXPECT_EQ(meta_save_folder(folder.c_str(), &m), 0);
  if (frames > 0) {
    Tape* t = tape_new(rate, 10.0, 0);
    EXPECT_EQ(tape_ensure(t, frames - 1), 0);
    std::vector<float> buf((size_t)frames * 2);
    for (int64_t i = 0; i < frames; i++) {
      float v = 0.4f * (float)std::sin(2.0 * M_PI * 220.0 * (double)i / rate);
      buf[(size_t)i * 2] = v;
      buf[(size_t)i * 2 + 1] = v;
    }
    EXPECT_EQ(tape_write(t, 0, buf.data(), frames), 0);
    EXPECT_EQ(tape_save(t, (folder + "/tape.f32").c_str(), frames, nullptr, nullptr), 0);
    tape_free(t);
  }
  meta_free(&m);
  return folder;
}

}  // namespace session_fixture
