// kelp_headless: the program without its window, for tests and for trying takes by hand.
//
//   kelp_headless [SCRIPT]        (no SCRIPT, or "-": commands come from standard input)
//
// It brings the subsystems up in the application's order (log, paths and settings, core, audio
// engine with the rig mixer, the first audio open, job workers, library and its first scan,
// session), runs the frame (session update, job results, the frame's command, the 24 Hz camera)
// at about 60 Hz, and shuts down in the application's order, so a rolling take lands before exit
// and the log ends with "main: everything landed in %.2f s". The log goes to kelp.log in
// ~/.seaglass and to standard error; the library, settings and log follow HOME and the XDG
// variables, so a test points them at a scratch folder. There is no rig controller: the mixer
// plays each device's default plan (inputs 1 and 2) a second after the stream starts.
//
// One command per line, carried out in order, at most one per frame ('#' at the start of a line
// or after a blank starts a comment):
//   record, play/pause, stop, loop, loop in, loop out, rewind, previous, next, start, end,
//   export wav, clear, new sketch, quit             the actions of the same names
//   open sketch ID        open a library sketch by id
//   import PATH           import an audio file as a new sketch
//   locate SECONDS        move the cursor there (a mid-take jump while a take runs)
//   wait SECONDS          let the frames run
//   wait-audio SECONDS    let the frames run until the stream has played that long (its own
//                         clock, which a loaded machine's dummy JACK server runs slow)
//   wait-idle [LIMIT]     until the workers are idle and nothing is due to be saved (120 s)
//   wait-ready [LIMIT]    until a sketch is ready and the device runs (30 s)
//   wait-signal [LIMIT]   until the input carries signal (10 s; the mixer starts silent)
//   audio retry           the "audio retry" action: the engine starts over on every device
//   status                print a status line
// After each command a line "ok COMMAND" (or "error COMMAND: why") goes to standard output;
// "status ..." lines go there too. The end of the script quits, and so do SIGINT and SIGTERM.
// Exit code: 0 after an orderly shutdown, 1 when an essential part couldn't start, 2 when the
// shutdown was orderly but a command failed, 3 when something didn't land in the library (a
// failed save whose audio was rescued elsewhere or lost, or a wait that ran out).
#include <signal.h>
#include <sys/utsname.h>

#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "app/session_lifecycle.h"
#include "app/preview.h"
#include "app/session.h"
#include "audio/audio_engine.h"
#include "core/core.h"
#include "platform/platform.h"
#include "rig/mixer.h"
#include "store/files.h"
#include "store/jobs.h"
#include "store/library.h"
#include "base/log.h"
#include "base/version.h"
#include "store/meta.h"
#include "store/paths.h"
#include "store/settings.h"

namespace {

constexpr double kFrameSeconds = 1.0 / 60.0;
constexpr double kTickSeconds = 1.0 / 24.0;
constexpr double kIdleTimeout = 120.0;
constexpr double kReadyTimeout = 30.0;
constexpr double kSignalTimeout = 10.0;
constexpr float kSignalPeak = 0.05f;

std::atomic<bool> g_signalled{false};

void on_signal(int) {
  g_signalled.store(true);
}

// ---- the script: read on its own thread so the frames never wait for input ----

struct Script {
  std::mutex lock;
  std::deque<std::string> lines;
  bool ended = false;
};

void trim(std::string* s) {
  size_t a = 0, b = s->size();
  while (a < b && isspace((unsigned char)(*s)[a])) a++;
  while (b > a && isspace((unsigned char)(*s)[b - 1])) b--;
  *s = s->substr(a, b - a);
}

// The reader may still be waiting for a line when the program ends, so the script lives on.
Script* g_script = nullptr;

// A '#' at the start or after a blank starts a comment; one inside a path does not.
void strip_comment(std::string* s) {
  for (size_t i = 0; i < s->size(); i++) {
    if ((*s)[i] == '#' && (i == 0 || (*s)[i - 1] == ' ' || (*s)[i - 1] == '\t')) {
      s->resize(i);
      return;
    }
  }
}

void read_script(Script* script, FILE* in) {
  char* buf = nullptr;
  size_t size = 0;
  while (getline(&buf, &size, in) >= 0) {
    std::string line = buf;
    strip_comment(&line);
    trim(&line);
    if (line.empty()) continue;
    std::lock_guard<std::mutex> g(script->lock);
    script->lines.push_back(line);
  }
  free(buf);
  std::lock_guard<std::mutex> g(script->lock);
  script->ended = true;
}

// ---- the application record ----

struct App {
  AppPaths paths;
  Settings settings;
  Settings saved;  // as last written to kelp.ini
  bool ini_queue_failed = false;
  Core* core = nullptr;
  RigMixer* rig = nullptr;
  AudioEngine* engine = nullptr;
  JobQueue* jobs = nullptr;
  Library lib;
  bool lib_made = false;
  Session* session = nullptr;

  double last_frame = 0;
  double anim = 0;
  double next_settings_write = 0;

  // The command being carried out.
  bool busy = false;
  std::string command;
  double command_at = 0;
  double wait_until = 0;
  int kind = 0;  // WAIT_* while a wait runs
  int idle_frames = 0;
  uint32_t callbacks_from = 0;  // WAIT_AUDIO: the core's callback count at the start
  uint32_t callbacks_needed = 0;
  bool quit = false;
  int failures = 0;
  bool unlanded = false;  // the shutdown couldn't land everything
};

enum { WAIT_TIME = 1, WAIT_AUDIO, WAIT_IDLE, WAIT_READY, WAIT_SIGNAL };

App* of(void* user) {
  return (App*)user;
}

const char* state_name(int32_t state) {
  switch (state) {
    case SESSION_NONE:
      return "NONE";
    case SESSION_LOADING:
      return "LOADING";
    case SESSION_READY:
      return "READY";
    case SESSION_CLOSING:
      return "CLOSING";
  }
  return "?";
}

const char* base_name(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

// ---- settings: written through the IO worker, once a second when they changed ----

void settings_write_step(App* a, double now) {
  if (now < a->next_settings_write || !a->jobs || !a->paths.ini_path[0]) return;
  a->next_settings_write = now + 1.0;
  Settings copy = a->saved;
  if (!settings_changed(&a->settings, &copy)) return;
  char text[SETTINGS_SAVE_BYTES];
  int n = settings_serialise(&a->settings, text, sizeof text);
  Job* job = n >= 0 ? job_new(JOB_WRITE_FILE) : nullptr;
  uint8_t* data = job ? (uint8_t*)malloc((size_t)n) : nullptr;
  uint32_t id = 0;
  if (job && data) {
    memcpy(data, text, (size_t)n);
    job->data = data;
    job->data_size = (size_t)n;
    job_copy_text(job->path, sizeof job->path, a->paths.ini_path);
    id = jobs_post(a->jobs, job);  // frees the job when it is dropped
  } else {
    job_free(job);
  }
  if (id == 0) {
    if (!a->ini_queue_failed)
      log_line("main: couldn't queue the kelp.ini write - trying again every second");
    a->ini_queue_failed = true;
    return;
  }
  a->ini_queue_failed = false;
  a->saved = copy;
}

// ---- one frame ----

void report_notice(const SessionNotice& n) {
  switch (n.kind) {
    case NOTICE_ERROR:
    case NOTICE_EXPORT_ERROR:
    case NOTICE_TOAST:
      log_line("toast: %s", n.text);
      break;
    case NOTICE_EXPORT_DONE:
      log_line("toast: EXPORTED %s", base_name(n.path));
      break;
    case NOTICE_BANNER:
      log_line("headless: banner %d %s%s%s", n.value, n.flag ? "shown" : "cleared",
               n.flag ? " - " : "", n.flag ? n.text : "");
      break;
    default:
      break;
  }
}

// The shell's own reactions to finished jobs, after the library and the session saw them.
void shell_job_reaction(const Job* j) {
  if (j->result != JOB_FAILED) {
    if (j->kind == JOB_COPY_FILE && j->result == JOB_DONE)
      log_line("toast: EXPORTED %s", base_name(j->path2));
    return;
  }
  switch (j->kind) {
    case JOB_IMPORT_AUDIO:
      log_line("toast: %s", j->message[0] ? j->message : "Couldn't import that file.");
      break;
    case JOB_DELETE_DIR:
      log_line("toast: COULDN'T DELETE THAT SKETCH - %s", j->message);
      break;
    case JOB_RENAME:
      log_line("toast: COULDN'T RENAME - %s", j->message);
      break;
    case JOB_WRITE_FILE:
      log_line("main: settings didn't save - %s", j->message);
      break;
    case JOB_COPY_FILE:
      log_line("toast: COULDN'T EXPORT - %s", j->message[0] ? j->message : "DISK ERROR");
      break;
    default:
      break;
  }
}

void drain_jobs(App* a) {
  if (!a->jobs) return;
  while (Job* j = jobs_take_done(a->jobs)) {
    if (!library_on_job(&a->lib, j) && a->session) session_on_job(a->session, j);
    shell_job_reaction(j);
    job_free(j);
  }
}

void session_step(App* a, double now) {
  if (!a->session) return;
  session_update(a->session, now, clock_now());
  SessionNotice n;
  while (session_next_notice(a->session, &n)) report_notice(n);
}

// Session update and job results: what every wait runs between its polls.
void poll_step(App* a) {
  double now = clock_monotonic();
  session_step(a, now);
  drain_jobs(a);
}

// ---- commands ----

bool starts_with(const std::string& s, const char* prefix, std::string* rest) {
  size_t n = strlen(prefix);
  if (s.compare(0, n, prefix) != 0) return false;
  if (s.size() > n && s[n] != ' ') return false;
  if (rest) {
    *rest = s.substr(n);
    trim(rest);
  }
  return true;
}

bool parse_seconds(const std::string& text, double* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  double v = strtod(text.c_str(), &end);
  if (!end || *end || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

void print_status(App* a) {
  Session* s = a->session;
  const SessionSnapshot* snap = session_snapshot(s);
  AudioStatus au;
  audio_engine_status(a->engine, &au);
  printf(
      "status state=%s id=%s rate=%.0f frames=%lld layers=%d position=%.4f recording=%d "
      "playing=%d loop=%.4f-%.4f%s audio=%s audio_rate=%.0f folder=%s\n",
      state_name(s->state), s->meta ? s->meta->id : "-", s->rate, (long long)session_tape_frames(s),
      s->meta ? s->meta->layerCount : 0, snap->position_seconds, snap->recording ? 1 : 0,
      snap->playing ? 1 : 0, s->loop.in, s->loop.out, s->loop.on ? "(on)" : "",
      audio_state_name(au.state), au.rate, s->folder[0] ? s->folder : "-");
  fflush(stdout);
}

void finish(App* a, const char* error) {
  if (error) {
    a->failures++;
    log_line("headless: %s failed - %s", a->command.c_str(), error);
    printf("error %s: %s\n", a->command.c_str(), error);
  } else {
    printf("ok %s\n", a->command.c_str());
  }
  fflush(stdout);
  a->busy = false;
}

// Nothing is left to land: the workers are idle and the session waits for nothing.
bool quiet(App* a) {
  Session* s = a->session;
  return jobs_idle(a->jobs, JOB_WORKER_ANY) && !a->lib.scanning && !a->lib.preview_pending &&
         (s->state == SESSION_READY || s->state == SESSION_NONE) && s->commit_count == 0 &&
         !s->meta_dirty && !s->save_retry && !session_take_outstanding(s) && s->owned_count == 0 &&
         !s->export_pending && s->backlog_count == 0;
}

// Starts the command in a->command; finish() ends it now or a later wait_step.
void start_command(App* a, double now) {
  Session* s = a->session;
  const std::string& c = a->command;
  std::string arg;
  a->command_at = now;
  a->kind = 0;
  // Named actions (logged as the action layer does).
  struct Named {
    const char* name;
    const char* logged;
    void (*run)(Session*);
  };
  static const Named named[] = {
      {"record", "record", [](Session* x) { session_record(x); }},
      {"play/pause", "play/pause", [](Session* x) { session_play_pause(x); }},
      {"stop", "stop", [](Session* x) { session_stop(x); }},
      {"loop", "loop", [](Session* x) { session_loop_toggle(x); }},
      {"loop in", "loop in", [](Session* x) { session_loop_in(x); }},
      {"loop out", "loop out", [](Session* x) { session_loop_out(x); }},
      {"rewind", "rewind", [](Session* x) { session_rewind(x); }},
      {"previous", "cursor to a take", [](Session* x) { session_cursor_to_take(x, -1, false); }},
      {"next", "cursor to a take", [](Session* x) { session_cursor_to_take(x, 1, false); }},
      {"start", "cursor to an end", [](Session* x) { session_cursor_to_end(x, false); }},
      {"end", "cursor to an end", [](Session* x) { session_cursor_to_end(x, true); }},
  };
  for (const Named& n : named) {
    if (c == n.name) {
      log_line("action: %s", n.logged);
      n.run(s);
      return finish(a, nullptr);
    }
  }
  const bool loaded = session_snapshot(s)->loaded;
  if (c == "export wav") {
    log_line("action: export wav");
    if (loaded)
      session_export(s);
    else
      log_line("toast: OPEN A SKETCH FIRST");
    return finish(a, nullptr);
  }
  if (c == "clear") {
    log_line("action: clear");
    if (loaded) {
      session_clear(s);
      log_line("actions: sketch cleared");
    }
    return finish(a, nullptr);
  }
  if (c == "new sketch") {
    log_line("action: new sketch");
    library_preview_stop(&a->lib);
    session_new_sketch(s);
    return finish(a, nullptr);
  }
  if (starts_with(c, "open sketch", &arg)) {
    if (arg.empty()) return finish(a, "no sketch id");
    log_line("action: open sketch");
    int32_t row = library_find(&a->lib, arg.c_str());
    if (row >= 0 && a->lib.rows[row].damaged) {
      log_line("toast: COULDN'T READ IT - AUDIO IS SAFE");
      return finish(a, nullptr);
    }
    if (row >= 0 && a->lib.rows[row].legacy) {
      log_line("toast: OLD FORMAT - OPEN IT ON IPHONE FIRST");
      return finish(a, nullptr);
    }
    library_preview_stop(&a->lib);
    session_open_id(s, arg.c_str());
    return finish(a, nullptr);
  }
  if (starts_with(c, "import", &arg)) {
    if (arg.empty()) return finish(a, "no file");
    log_line("action: import");
    const char* paths[1] = {arg.c_str()};
    int posted = library_import(&a->lib, a->jobs, paths, 1);
    if (posted < 1) return finish(a, "the import couldn't be queued");
    log_line("actions: importing %d file%s", posted, posted == 1 ? "" : "s");
    return finish(a, nullptr);
  }
  if (starts_with(c, "locate", &arg)) {
    double t;
    if (!parse_seconds(arg, &t)) return finish(a, "locate needs seconds");
    log_line("headless: locate %.3f s", t);
    session_cursor_step(s, t - session_snapshot(s)->position_seconds, false);
    return finish(a, nullptr);
  }
  if (c == "quit") {
    log_line("action: quit");
    a->quit = true;
    return finish(a, nullptr);
  }
  if (c == "status") {
    print_status(a);
    return finish(a, nullptr);
  }
  if (c == "audio retry") {
    log_line("action: audio retry");
    SessionAudioRequest r;
    memset(&r, 0, sizeof r);
    r.kind = AUDIO_RETRY;
    session_audio_request(s, &r);
    return finish(a, nullptr);
  }
  if (starts_with(c, "wait", &arg) && !arg.empty()) {
    double t;
    if (!parse_seconds(arg, &t) || t < 0) return finish(a, "wait needs seconds");
    a->kind = WAIT_TIME;
    a->wait_until = now + t;
    return;
  }
  if (starts_with(c, "wait-audio", &arg)) {
    double t;
    if (!parse_seconds(arg, &t) || t < 0) return finish(a, "wait-audio needs seconds");
    AudioStatus au;
    audio_engine_status(a->engine, &au);
    if (au.state != AUDIO_RUNNING || au.rate <= 0 || au.frames <= 0)
      return finish(a, "the stream isn't running");
    CoreStatus cs{};
    core_read_status(a->core, &cs);
    a->kind = WAIT_AUDIO;
    a->callbacks_from = cs.callbacks;
    a->callbacks_needed = (uint32_t)std::ceil(t * au.rate / au.frames);
    a->wait_until = now + 10.0 + 10.0 * t;
    return;
  }
  // The conditional waits, each with its own time limit or the one given.
  struct Until {
    const char* name;
    int kind;
    double limit;
  };
  static const Until until[] = {{"wait-idle", WAIT_IDLE, kIdleTimeout},
                                {"wait-ready", WAIT_READY, kReadyTimeout},
                                {"wait-signal", WAIT_SIGNAL, kSignalTimeout}};
  for (const Until& u : until) {
    if (!starts_with(c, u.name, &arg)) continue;
    double limit = u.limit;
    if (!arg.empty() && (!parse_seconds(arg, &limit) || limit < 0))
      return finish(a, "the time limit must be seconds");
    a->kind = u.kind;
    a->idle_frames = 0;
    a->wait_until = now + limit;
    return;
  }
  finish(a, "unknown command");
}

// One frame of a waiting command; finish() ends it, well or badly.
void wait_step(App* a, double now, bool idle_before) {
  Session* s = a->session;
  switch (a->kind) {
    case WAIT_TIME:
      if (now >= a->wait_until) finish(a, nullptr);
      return;
    case WAIT_AUDIO: {
      CoreStatus cs{};
      core_read_status(a->core, &cs);
      if ((uint32_t)(cs.callbacks - a->callbacks_from) >= a->callbacks_needed)
        return finish(a, nullptr);
      break;
    }
    case WAIT_IDLE:
      // Three frames in a row, so a result that was still on its way back is seen.
      a->idle_frames = idle_before && quiet(a) ? a->idle_frames + 1 : 0;
      if (a->idle_frames >= 3) {
        log_line("headless: idle after %.2f s", now - a->command_at);
        return finish(a, nullptr);
      }
      break;
    case WAIT_READY: {
      AudioStatus au;
      audio_engine_status(a->engine, &au);
      if (s->state == SESSION_READY && au.state == AUDIO_RUNNING) {
        log_line("headless: ready after %.2f s (%s at %.0f Hz)", now - a->command_at, au.device,
                 au.rate);
        return finish(a, nullptr);
      }
      break;
    }
    case WAIT_SIGNAL: {
      CoreStatus cs{};
      core_read_status(a->core, &cs);
      if (cs.input_peak >= kSignalPeak) {
        log_line("headless: input signal after %.2f s (peak %.3f)", now - a->command_at,
                 cs.input_peak);
        return finish(a, nullptr);
      }
      break;
    }
  }
  if (a->busy && now >= a->wait_until) finish(a, "timed out");
}

// The frame's command: the one waiting, else the next line of the script.
void command_step(App* a, Script* script, double now, bool idle_before) {
  if (a->busy) {
    wait_step(a, now, idle_before);
    return;
  }
  std::string line;
  {
    std::lock_guard<std::mutex> g(script->lock);
    if (script->lines.empty()) {
      if (script->ended && !a->quit) {
        log_line("headless: the script ended - quitting");
        a->quit = true;
      }
      return;
    }
    line = script->lines.front();
    script->lines.pop_front();
  }
  a->busy = true;
  a->command = line;
  start_command(a, now);
}

void frame(App* a, Script* script) {
  const double now = clock_monotonic();
  double dt = now - a->last_frame;
  if (dt < 0) dt = 0;
  if (dt > 0.1) dt = 0.1;
  a->last_frame = now;

  const bool idle_before = jobs_idle(a->jobs, JOB_WORKER_ANY);
  session_step(a, now);
  drain_jobs(a);
  command_step(a, script, now, idle_before);

  a->anim += dt;
  for (int i = 0; i < 3 && a->anim >= kTickSeconds; i++) {
    session_view_tick(a->session);
    a->anim -= kTickSeconds;
  }
  if (a->anim >= kTickSeconds) a->anim = 0;

  settings_write_step(a, now);
}

// ---- shutdown ----

double job_progress_sum(JobQueue* q) {
  JobBusyEntry e[64];
  int n = jobs_busy_snapshot(q, e, 64);
  double sum = 0;
  for (int i = 0; i < n; i++)
    if (e[i].running) sum += e[i].progress;
  return sum;
}

// Polls until done() holds or the deadline passes; moving job progress extends the deadline to
// at least 10 s after the change, never beyond 600 s from the start. True when done in time.
template <typename Done>
bool wait_landing(App* a, double seconds, Done done) {
  const double start = clock_monotonic();
  double deadline = start + seconds;
  double progress = job_progress_sum(a->jobs);
  for (;;) {
    poll_step(a);
    if (done()) return true;
    double now = clock_monotonic();
    double p = job_progress_sum(a->jobs);
    if (p != progress) {
      progress = p;
      deadline = std::fmin(std::fmax(deadline, now + 10.0), start + 600.0);
    }
    if (now >= deadline) return false;
    platform_sleep_ms(5);
  }
}

void shutdown(App* a) {
  const double t0 = clock_monotonic();
  log_line("main: quitting - letting the sketch land");
  Session* s = a->session;

  jobs_cancel_group(a->jobs, JOB_GROUP_LIBRARY);
  library_preview_stop(&a->lib);

  if (session_take_runs(s)) {
    log_line("main: a take is rolling - stopping it so it lands");
    session_stop_take(s);
    const double start = clock_monotonic();
    while (session_take_outstanding(s) && clock_monotonic() - start < 0.3) {
      platform_sleep_ms(2);
      session_step(a, clock_monotonic());
    }
    if (session_take_outstanding(s))
      log_line("main: the take's tail didn't close in %.0f ms - the close waits for it",
               (clock_monotonic() - start) * 1000.0);
  }

  session_close(s);
  bool landed = true;
  if (!wait_landing(a, 30.0, [&] { return s->state == SESSION_NONE && !session_busy(s); })) {
    log_line("main: the sketch didn't finish closing in %.0f s - going on anyway", 30.0);
    landed = false;
  }
  if (!wait_landing(a, 10.0, [&] { return jobs_idle(a->jobs, JOB_WORKER_ANY); })) {
    log_line("main: the workers were still busy after %.0f s - going on anyway", 10.0);
    landed = false;
  }

  jobs_stop_begin(a->jobs);
  jobs_wait_idle(a->jobs, JOB_WORKER_ANY, 5000);
  drain_jobs(a);

  if (a->paths.ini_path[0] && settings_save(&a->settings, a->paths.ini_path) != 0)
    log_line("main: kelp.ini didn't save");

  // "Everything landed" only when it did.
  if (s->rescued_count > 0)
    log_line("main: %d save%s didn't land in the library - the audio is rescued in %s",
             s->rescued_count, s->rescued_count == 1 ? "" : "s", s->last_rescue);
  if (s->lost_count > 0)
    log_line("main: %d save%s didn't land and couldn't be rescued", s->lost_count,
             s->lost_count == 1 ? "" : "s");
  if (landed && s->rescued_count == 0 && s->lost_count == 0) {
    log_line("main: everything landed in %.2f s", clock_monotonic() - t0);
  } else {
    a->unlanded = true;
    log_line("main: not everything landed - stopped after %.2f s", clock_monotonic() - t0);
  }
}

void teardown(App* a) {
  if (a->session) session_free(a->session);
  a->session = nullptr;
  if (a->engine) audio_engine_destroy(a->engine);
  a->engine = nullptr;
  if (a->jobs) {
    drain_jobs(a);
    jobs_stop(a->jobs);
  }
  a->jobs = nullptr;
  if (a->core) core_free(a->core);
  a->core = nullptr;
  if (a->lib_made) library_free(&a->lib);
  a->lib_made = false;
  if (a->rig) rig_mixer_free(a->rig);
  a->rig = nullptr;
}

int cannot_start(App* a, const char* reason) {
  log_line("main: %s - Kelp NOVA can't start", reason);
  teardown(a);
  log_close();
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  static App app;
  App* a = &app;
  log_clock();
  log_open(nullptr);
  struct utsname u;
  log_line("main: Kelp NOVA %s for %s (headless) - starting", KELP_VERSION_TEXT,
           uname(&u) == 0 ? u.sysname : "unknown");

  FILE* in = stdin;
  if (argc > 1 && strcmp(argv[1], "-") != 0) {
    in = fopen(argv[1], "r");
    if (!in) {
      log_line("headless: can't read the script %s", argv[1]);
      log_close();
      return 1;
    }
  }
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  signal(SIGPIPE, SIG_IGN);

  // Paths and settings.
  paths_init(&a->paths);
  if (settings_load(&a->settings, a->paths.ini_path) != 0) {
    if (a->paths.ini_path[0] && path_exists(a->paths.ini_path))
      log_line("main: kelp.ini couldn't be read - starting from the defaults");
    else
      log_line("main: no kelp.ini yet - starting from the defaults");
  }
  a->saved = a->settings;
  if (paths_set_library(&a->paths, a->settings.library_dir) != 0 && a->settings.library_dir[0])
    log_line("main: the library folder %s isn't usable - using the default this time",
             a->settings.library_dir);

  // The rig mixer without its controller.
  a->rig = rig_mixer_new();
  if (!a->rig)
    log_line("main: no rig - inputs 1 and 2 go straight to the tape this run");
  else
    log_line("headless: no rig controller - the mixer plays each device's default plan");

  a->core = core_new();
  if (!a->core) return cannot_start(a, "no audio core");

  a->engine = audio_engine_create(a->core, a->rig);
  if (a->engine) {
    AudioEngineConfig cfg;
    memset(&cfg, 0, sizeof cfg);
    memcpy(cfg.device, a->settings.device, strnlen(a->settings.device, sizeof cfg.device - 1));
    cfg.buffer_frames = a->settings.buffer_frames;
    cfg.sample_rate = a->settings.sample_rate;
    cfg.exclusive = a->settings.exclusive != 0;
    audio_engine_open(a->engine, &cfg);
  } else {
    log_line("main: no audio engine - running silent");
  }

  a->jobs = jobs_start();
  if (!a->jobs) return cannot_start(a, "no worker threads");

  library_init(&a->lib, a->paths.library);
  a->lib_made = true;
  const LibraryPlayer player = preview_player(a->core);
  library_set_player(&a->lib, &player);
  library_refresh(&a->lib, a->jobs, "");

  SessionHost host;
  memset(&host, 0, sizeof host);
  host.user = a;
  host.library_sketch_at = [](void* u, int32_t i, char* out, size_t n) {
    return library_openable_at(&of(u)->lib, i, out, n);
  };
  host.library_folder_for = [](void* u, const char* id, char* out, size_t n) {
    return library_folder_for(&of(u)->lib, id, out, n);
  };
  host.library_refresh = [](void* u) {
    App* x = of(u);
    library_refresh(&x->lib, x->jobs, x->session && x->session->meta ? x->session->meta->id : "");
  };
  host.library_scanning = [](void* u) { return of(u)->lib.scanning; };
  host.library_card = [](void* u, const SketchMeta* m, const char* folder) {
    library_upsert(&of(u)->lib, m, folder);
  };
  host.library_preview_ended = [](void* u) { library_preview_ended(&of(u)->lib); };
  a->session = session_create(a->core, a->engine, a->jobs, &a->settings, &a->paths, &host);
  if (!a->session) return cannot_start(a, "no session");
  session_start(a->session);

  // Never freed: a read of standard input that still blocks must not hold up the exit.
  Script* script = g_script = new Script;
  std::thread reader(read_script, script, in);
  reader.detach();

  a->last_frame = clock_monotonic();
  a->next_settings_write = a->last_frame + 1.0;
  while (!a->quit) {
    const double t = clock_monotonic();
    frame(a, script);
    if (g_signalled.load() && !a->quit) {
      log_line("headless: signalled - quitting");
      a->quit = true;
    }
    const double left = kFrameSeconds - (clock_monotonic() - t);
    if (left > 0.001) platform_sleep_ms((uint32_t)(left * 1000.0));
  }

  shutdown(a);
  teardown(a);
  log_line("main: bye");
  log_close();
  fflush(stdout);
  return a->unlanded ? 3 : a->failures > 0 ? 2 : 0;
}
