#include "app/app.h"

#include <sys/utsname.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/preview.h"
#include "app/session.h"
#include "app/session_lifecycle.h"
#include "audio/audio_driver.h"
#include "audio/audio_engine.h"
#include "control/midi.h"
#include "net/firewall.h"
#include "net/station.h"
#include "base/clock.h"
#include "base/log.h"
#include "base/text.h"
#include "base/version.h"
#include "core/core.h"
#include "platform/folders.h"
#include "platform/fsys.h"
#include "platform/platform.h"
#include "rig/mixer.h"
#include "rig/rig_controller.h"
#include "store/files.h"
#include "store/jobs.h"
#include "store/meta.h"

namespace {

App* of(void* user) {
  return (App*)user;
}

void toast(App* a, const char* fmt, const char* text) {
  char line[400];
  snprintf(line, sizeof line, fmt, text);
  app_toast(a, line);
}

void report_notice(App* a, const SessionNotice& n) {
  switch (n.kind) {
    case NOTICE_ERROR:
    case NOTICE_TOAST:
      toast(a, "%s", n.text);
      break;
    case NOTICE_EXPORT_ERROR:
      toast(a, "%s", n.text);
      if (a->export_result) a->export_result(a->user, false, n.text);
      break;
    case NOTICE_EXPORT_DONE:
      toast(a, "EXPORTED %s", path_base_name(n.path));
      if (a->export_result) a->export_result(a->user, true, n.path);
      break;
    case NOTICE_BANNER:
      if (a->banner) {
        a->banner(a->user, n.value, n.flag, n.text);
        break;
      }
      log_line("main: banner %d %s%s%s", n.value, n.flag ? "shown" : "cleared",
               n.flag ? " - " : "", n.flag ? n.text : "");
      break;
    default:
      break;
  }
}

// The shell's own reactions to finished jobs, after the library and the session saw them.
void job_reaction(App* a, const Job* j) {
  if (j->result != JOB_FAILED) {
    if (j->kind == JOB_COPY_FILE && j->result == JOB_DONE)
      toast(a, "EXPORTED %s", path_base_name(j->path2));
    return;
  }
  switch (j->kind) {
    case JOB_IMPORT_AUDIO:
      toast(a, "%s", j->message[0] ? j->message : "Couldn't import that file.");
      break;
    case JOB_DELETE_DIR:
      toast(a, "COULDN'T DELETE THAT SKETCH - %s", j->message);
      break;
    case JOB_RENAME:
      toast(a, "COULDN'T RENAME - %s", j->message);
      break;
    case JOB_WRITE_FILE:
      log_line("main: settings didn't save - %s", j->message);
      break;
    case JOB_COPY_FILE:
      toast(a, "COULDN'T EXPORT - %s", j->message[0] ? j->message : "DISK ERROR");
      break;
    default:
      break;
  }
}

void drain_jobs(App* a) {
  if (!a->jobs) return;
  while (Job* j = jobs_take_done(a->jobs)) {
    if (!(a->lib_made && library_on_job(&a->lib, j)) && a->session) session_on_job(a->session, j);
    job_reaction(a, j);
    job_free(j);
  }
}

// Binds the rig to each new stream (under the engine's rig lock) and runs its frame.
void rig_frame(App* a, double now) {
  if (!a->rig_ctl) return;
  if (a->engine) {
    const uint32_t gen = audio_engine_binding_generation(a->engine);
    if (gen != 0 && gen != a->rig_generation) {
      StreamBinding b;
      audio_engine_lock_rig(a->engine);
      a->rig_generation = audio_engine_binding(a->engine, &b);
      if (a->rig_generation != 0) rig_controller_bind(a->rig_ctl, &b);
      audio_engine_unlock_rig(a->engine);
    }
    // The session's copy of the engine's status is from its last update: a frame old at most.
    const int state = a->session ? a->session->audio_status.state : AUDIO_CLOSED;
    if (state != AUDIO_OPENING)
      rig_controller_set_stream_running(a->rig_ctl, state == AUDIO_RUNNING);
  }
  rig_controller_frame(a->rig_ctl, now, NAN);
}

void session_step(App* a, double now) {
  rig_frame(a, now);
  if (!a->session) return;
  session_update(a->session, now, clock_now());
  SessionNotice n;
  while (session_next_notice(a->session, &n)) report_notice(a, n);
}

// kelp.ini goes through the IO worker, once a second when it changed.
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
    free(data);
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

double job_progress_sum(JobQueue* q) {
  JobBusyEntry e[64];
  int n = jobs_busy_snapshot(q, e, 64);
  double sum = 0;
  for (int i = 0; i < n; i++)
    if (e[i].running) sum += e[i].progress;
  return sum;
}

// Polls until done() holds or the deadline passes, drawing at most every 0.05 s; moving job
// progress extends the deadline to at least 10 s after the change, never beyond 600 s from the
// start. True when done in time.
template <typename Done>
bool wait_landing(App* a, double seconds, Done done) {
  const double start = clock_monotonic();
  double deadline = start + seconds;
  double progress = job_progress_sum(a->jobs);
  double drawn = 0;
  for (;;) {
    app_poll(a);
    if (done()) return true;
    double now = clock_monotonic();
    if (a->draw && now - drawn >= 0.05) {
      a->draw(a->user);
      drawn = now;
    }
    double p = job_progress_sum(a->jobs);
    if (p != progress) {
      progress = p;
      deadline = std::fmin(std::fmax(deadline, now + 10.0), start + 600.0);
    }
    if (now >= deadline) return false;
    platform_sleep_ms(5);
  }
}

// The station streams what the core plays; it keeps its stream id beside the settings.
void station_setup(App* a) {
  char folder[1100] = ".";
  char roaming[1024];
  if (folders_known(FOLDER_ROAMING_DATA, roaming, sizeof roaming) == 0) {
    snprintf(folder, sizeof folder, "%s/SeaGlass", roaming);
    fsys_make_folders(folder);
  }
  a->station = station_init("kelp", "Kelp NOVA", "mix", "out", STATION_PORT, folder);
  if (!a->station) return;
  audio_engine_set_tap(a->engine, station_tap, a->station);
  if (a->settings.broadcast && station_start(a->station) != 0) a->settings.broadcast = 0;
}

// Each frame: the station follows the engine, and while on air the firewall is asked once.
void station_step(App* a, double now) {
  if (!a->station) return;
  AudioStatus st;
  const bool running = audio_engine_status(a->engine, &st) > 0 && st.state == AUDIO_RUNNING;
  station_set_live(a->station, running);
  station_set_latency(a->station, running ? (int64_t)(st.output_latency_ms * 1e6) : 0);
  StationStatus ss;
  station_status(a->station, &ss);
  if (!ss.on_air && firewall_wanted()) firewall_clear();
  if (ss.on_air && !firewall_wanted()) firewall_request(now);
  firewall_poll(now);
}

}  // namespace

int app_broadcast_toggle(App* a) {
  if (!a->station) return -2;
  StationStatus ss;
  station_status(a->station, &ss);
  if (ss.on_air) {
    station_stop(a->station);
    a->settings.broadcast = 0;
    return 0;
  }
  if (station_start(a->station) != 0) {
    a->settings.broadcast = 0;
    return -1;
  }
  a->settings.broadcast = 1;
  return 1;
}

int app_start(App* a, const char* edition) {
  a->edition = edition ? edition : "";
  log_clock();
  log_open(nullptr);
  struct utsname u;
  log_line("Kelp NOVA %s for %s%s - starting", KELP_VERSION_TEXT,
           uname(&u) == 0 ? u.sysname : "unknown", a->edition);

  paths_init(&a->paths);
  if (settings_load(&a->settings, a->paths.ini_path) != 0) {
    if (a->paths.ini_path[0] && path_exists(a->paths.ini_path))
      log_line("main: kelp.ini couldn't be read - starting from the defaults");
    else
      log_line("main: no kelp.ini yet - starting from the defaults");
  }
  a->saved = a->settings;
  whatsnew_init(&a->whats_new);
  if (a->window) {
    whatsnew_start(&a->whats_new, a->settings.whatsnew_seen, sizeof a->settings.whatsnew_seen,
                   KELP_VERSION_TEXT);  // a new stamp is written with the settings
  }
  if (paths_set_library(&a->paths, a->settings.library_dir) != 0 && a->settings.library_dir[0])
    log_line("main: the library folder %s isn't usable - using the default this time",
             a->settings.library_dir);

  // The rig's mixer plays each device's default plan (inputs 1 and 2) until its rig loads.
  RigControllerConfig rc;
  memset(&rc, 0, sizeof rc);
  rc.app_name = "kelp";
  rc.app_version = KELP_VERSION_TEXT;
  a->rig_ctl = rig_controller_new(&rc);
  a->rig = a->rig_ctl ? rig_controller_mixer(a->rig_ctl) : nullptr;
  if (a->rig)
    log_line("main: the rig keeps its files in %s", "the default rigs folder");
  else
    log_line("main: no rig - inputs 1 and 2 go straight to the tape this run");

  a->core = core_new();
  if (!a->core)
    return app_cannot_start(a, "no audio core", "Kelp NOVA couldn't allocate its audio core.");

  a->engine = audio_engine_create(a->core, a->rig);
  if (a->engine && a->window) station_setup(a);
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
  if (!a->jobs)
    return app_cannot_start(a, "no worker threads",
                            "Kelp NOVA couldn't start its worker threads.");

  library_init(&a->lib, a->paths.library);
  a->lib_made = true;
  const LibraryPlayer player = preview_player(a->core);
  library_set_player(&a->lib, &player);
  library_refresh(&a->lib, a->jobs, "");
  if (a->window) app_midi_start(a, a->settings.midi_off == 0);
  return 0;
}

void app_midi_start(App* a, bool enabled) {
  if (a->midi) return midi_set_enabled(a->midi, enabled, clock_monotonic());
  if (!enabled) return;  // switched off before it ever ran: nothing to make
  // MIDI goes the way the audio does: through JACK when a JACK server runs.
  a->midi = midi_new(midi_backend_rtmidi(audio_jack_running()), enabled, clock_monotonic());
}

int app_start_session(App* a) {
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
  host.rig_state = [](void* u, SessionRigState* out) {
    App* x = of(u);
    if (!x->rig_ctl) return false;
    RigControllerStatus st;
    rig_controller_status(x->rig_ctl, &st);
    out->present = true;
    out->loading = st.state == RIG_LOADING;
    out->fresh_defaults = st.fresh_defaults;
    out->all_muted = st.bound && st.state != RIG_LOADING && st.all_muted;
    out->muted_with_signal = st.muted_with_signal;
    return true;
  };
  host.rig_next_event = [](void* u, SessionRigEvent* out) {
    App* x = of(u);
    RigEvent ev;
    if (!x->rig_ctl || !rig_next_event(x->rig_ctl, &ev)) return false;
    out->kind = ev.kind;
    out->value = ev.value;
    out->second = ev.value2;
    out->flag = ev.flag;
    text_copy(out->text, sizeof out->text, ev.text);
    return true;
  };
  // Training: the session reports the tasks it sees done.
  host.tip_seen = [](void* u, const char* tip) {
    App* x = of(u);
    if (x->training) x->training(x->user, tip);
  };
  a->session = session_create(a->core, a->engine, a->jobs, &a->settings, &a->paths, &host);
  if (!a->session)
    return app_cannot_start(a, "no session", "Kelp NOVA couldn't start its session.");
  session_start(a->session);
  a->last_frame = clock_monotonic();
  a->next_settings_write = a->last_frame + 1.0;
  return 0;
}

int app_cannot_start(App* a, const char* reason, const char* message) {
  log_line("main: %s - Kelp NOVA can't start", reason);
  if (a->fatal) a->fatal(a->user, message);
  app_teardown(a);
  log_close();
  return 1;
}

void app_poll(App* a) {
  session_step(a, clock_monotonic());
  drain_jobs(a);
}

void app_frame(App* a, double now) {
  double dt = now - a->last_frame;
  a->dt = dt < 0 ? 0 : dt > APP_MAX_DT ? APP_MAX_DT : dt;
  a->last_frame = now;
  station_step(a, now);
  session_step(a, now);
  drain_jobs(a);
  a->anim += a->dt;
  for (int i = 0; i < APP_MAX_TICKS && a->anim >= APP_TICK_SECONDS; i++) {
    if (a->session) session_view_tick(a->session);
    if (a->tick) a->tick(a->user);
    a->anim -= APP_TICK_SECONDS;
  }
  if (a->anim >= APP_TICK_SECONDS) a->anim = 0;
  settings_write_step(a, now);
}

void app_toast(App* a, const char* text) {
  log_line("toast: %s", text);
  if (a->toast) a->toast(a->user, text);
}

int app_import_dropped(App* a, const char* path) {
  if (!a->lib_made || !path || !*path) return -1;
  if (strlen(path) > LIBRARY_PATH_MAX) {
    log_line("main: a dropped path is too long to import (%zu bytes)", strlen(path));
    app_toast(a, "THAT FILE'S PATH IS TOO LONG TO IMPORT");
    return -1;
  }
  const char* paths[1] = {path};
  return library_import(&a->lib, a->jobs, paths, 1) > 0 ? 0 : -1;
}

void app_flush(App* a) {
  if (a->session) session_flush(a->session);
  if (a->rig_ctl) rig_controller_flush(a->rig_ctl, 0);
  a->next_settings_write = 0;
  settings_write_step(a, clock_monotonic());
}

bool app_busy(App* a) {
  Session* s = a->session;
  return (s && (session_take_outstanding(s) || session_busy(s) || s->commit_count > 0)) ||
         (a->jobs && !jobs_idle(a->jobs, JOB_WORKER_IO));
}

void app_shutdown(App* a, const AppWaits* waits) {
  if (!waits) waits = &APP_WAITS_QUIT;
  const double t0 = clock_monotonic();
  a->quitting = true;
  log_line("main: quitting - letting the sketch land");
  Session* s = a->session;

  if (a->jobs) jobs_cancel_group(a->jobs, JOB_GROUP_LIBRARY);
  if (a->lib_made) library_preview_stop(&a->lib);

  bool landed = true;
  if (s) {
    if (session_take_runs(s)) {
      log_line("main: a take is rolling - stopping it so it lands");
      session_stop_take(s);
      const double start = clock_monotonic();
      while (session_take_outstanding(s) && clock_monotonic() - start < waits->tail) {
        platform_sleep_ms(2);
        session_step(a, clock_monotonic());
      }
      if (session_take_outstanding(s))
        log_line("main: the take's tail didn't close in %.0f ms - the close waits for it",
                 (clock_monotonic() - start) * 1000.0);
    }
    session_close(s);
    if (!wait_landing(a, waits->close,
                      [&] { return s->state == SESSION_NONE && !session_busy(s); })) {
      log_line("main: the sketch didn't finish closing in %.0f s - going on anyway",
               waits->close);
      landed = false;
    }
  }
  if (a->jobs) {
    if (!wait_landing(a, waits->idle, [&] { return jobs_idle(a->jobs, JOB_WORKER_ANY); })) {
      log_line("main: the workers were still busy after %.0f s - going on anyway", waits->idle);
      landed = false;
    }
    jobs_stop_begin(a->jobs);
    jobs_wait_idle(a->jobs, JOB_WORKER_ANY, 5000);
    drain_jobs(a);
  }

  if (a->rig_ctl && !rig_controller_flush(a->rig_ctl, 1000))
    log_line("main: the rig still had unsaved changes after 1 s");

  if (a->paths.ini_path[0] && settings_save(&a->settings, a->paths.ini_path) != 0)
    log_line("main: kelp.ini didn't save");

  // "Everything landed" only when it did.
  const int rescued = s ? s->rescued_count : 0, lost = s ? s->lost_count : 0;
  if (rescued > 0)
    log_line("main: %d save%s didn't land in the library - the audio is rescued in %s", rescued,
             rescued == 1 ? "" : "s", s->last_rescue);
  if (lost > 0)
    log_line("main: %d save%s didn't land and couldn't be rescued", lost, lost == 1 ? "" : "s");
  if (landed && rescued == 0 && lost == 0) {
    log_line("main: everything landed in %.2f s", clock_monotonic() - t0);
  } else {
    a->unlanded = true;
    log_line("main: not everything landed - stopped after %.2f s", clock_monotonic() - t0);
  }
}

void app_teardown(App* a) {
  // The tap goes before the station: no callback may still be feeding it.
  if (a->station && a->engine) audio_engine_set_tap(a->engine, nullptr, nullptr);
  station_free(a->station);  // off air: goodbye to the listeners
  a->station = nullptr;
  if (a->midi) midi_free(a->midi);  // the Launch Control's goodbye
  a->midi = nullptr;
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
  if (a->rig_ctl) rig_controller_free(a->rig_ctl);
  a->rig_ctl = nullptr;
  a->rig = nullptr;
}
