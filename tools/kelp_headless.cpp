// kelp_headless: the program without its window, for tests and for trying takes by hand.
//
//   kelp_headless [SCRIPT]        (no SCRIPT, or "-": commands come from standard input)
//
// It brings the subsystems up and down through app/app.h, in the program's own order (log,
// paths and settings, core, audio engine with the rig mixer, the first audio open, job workers,
// library and its first scan, session), runs the frame (session update, job results, the 24 Hz
// camera, the frame's command) at about 60 Hz, and shuts down as the program does, so a rolling
// take lands before exit and the log ends with "main: everything landed in %.2f s". The log goes
// to kelp.log in ~/.seaglass and to standard error; the library, settings and log follow HOME
// and the XDG variables, so a test points them at a scratch folder. There is no rig controller:
// the mixer plays each device's default plan (inputs 1 and 2) a second after the stream starts.
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

#include "app/app.h"
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
// Volatile: the optimiser may drop a store nobody reads, and then the leak checker sees a leak.
Script* volatile g_script = nullptr;

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

struct Headless : App {
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
};

enum { WAIT_TIME = 1, WAIT_AUDIO, WAIT_IDLE, WAIT_READY, WAIT_SIGNAL };

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

void print_status(Headless* a) {
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

void finish(Headless* a, const char* error) {
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
bool quiet(Headless* a) {
  Session* s = a->session;
  return jobs_idle(a->jobs, JOB_WORKER_ANY) && !a->lib.scanning && !a->lib.preview_pending &&
         (s->state == SESSION_READY || s->state == SESSION_NONE) && s->commit_count == 0 &&
         !s->meta_dirty && !s->save_retry && !session_take_outstanding(s) && s->owned_count == 0 &&
         !s->export_pending && s->backlog_count == 0;
}

// Starts the command in a->command; finish() ends it now or a later wait_step.
void start_command(Headless* a, double now) {
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
void wait_step(Headless* a, double now, bool idle_before) {
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
void command_step(Headless* a, Script* script, double now, bool idle_before) {
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

void frame(Headless* a, Script* script) {
  const double now = clock_monotonic();
  const bool idle_before = jobs_idle(a->jobs, JOB_WORKER_ANY);
  app_frame(a, now);
  command_step(a, script, now, idle_before);
}

}  // namespace

int main(int argc, char** argv) {
  static Headless headless;
  Headless* a = &headless;
  FILE* in = stdin;
  if (argc > 1 && strcmp(argv[1], "-") != 0) {
    in = fopen(argv[1], "r");
    if (!in) {
      fprintf(stderr, "headless: can't read the script %s\n", argv[1]);
      return 1;
    }
  }
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  signal(SIGPIPE, SIG_IGN);

  if (app_start(a, " (headless)") != 0) return 1;
  log_line("headless: no rig controller - the mixer plays each device's default plan");
  if (app_start_session(a) != 0) return 1;

  // Never freed: a read of standard input that still blocks must not hold up the exit.
  Script* script = new Script;
  g_script = script;
  std::thread reader(read_script, script, in);
  reader.detach();

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

  app_shutdown(a, &APP_WAITS_QUIT);
  app_teardown(a);
  log_line("main: bye");
  log_close();
  fflush(stdout);
  return a->unlanded ? 3 : a->failures > 0 ? 2 : 0;
}
