// The session's frame: command backlog, status and event intake, overrides, banners, notices,
// capture release and the published snapshot.
#include "app/session.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/session_lifecycle.h"
#include "app/session_internal.h"
#include "core/analysis.h"
#include "core/tape.h"
#include "base/log.h"
#include "store/meta.h"
#include "store/settings.h"

const float SESSION_PALETTE[SESSION_PAINT_COLOURS][3] = {
    {0.18f, 0.78f, 0.72f}, {0.42f, 0.90f, 0.88f}, {0.30f, 0.65f, 0.88f}, {0.30f, 0.80f, 0.55f},
    {0.70f, 0.85f, 0.40f}, {0.90f, 0.72f, 0.28f}, {0.85f, 0.50f, 0.18f}, {0.92f, 0.26f, 0.30f},
    {0.88f, 0.45f, 0.65f}, {0.80f, 0.25f, 0.45f}, {0.78f, 0.55f, 0.92f}, {0.55f, 0.18f, 0.75f},
};

namespace {

uint64_t engine_status(void* user, AudioStatus* out) {
  return audio_engine_status((AudioEngine*)user, out);
}
uint32_t engine_post(void* user, const AudioCommand* cmd) {
  return audio_engine_post((AudioEngine*)user, cmd);
}


// Puts the backlog's records at the front of the array so it can grow at the back.
bool backlog_push(Session* s, const CoreCommand* cmd) {
  if (s->backlog_head + s->backlog_count == s->backlog_capacity) {
    if (s->backlog_head > 0) {
      memmove(s->backlog, s->backlog + s->backlog_head,
              sizeof(CoreCommand) * (size_t)s->backlog_count);
      s->backlog_head = 0;
    } else {
      int32_t cap = s->backlog_capacity > 0 ? s->backlog_capacity * 2 : SESSION_BACKLOG_FIRST;
      CoreCommand* grown = (CoreCommand*)realloc(s->backlog, sizeof(CoreCommand) * (size_t)cap);
      if (!grown) return false;
      s->backlog = grown;
      s->backlog_capacity = cap;
    }
  }
  s->backlog[s->backlog_head + s->backlog_count] = *cmd;
  s->backlog_count++;
  return true;
}

void backlog_retry(Session* s) {
  while (s->backlog_count > 0 && core_push_command(s->core, &s->backlog[s->backlog_head])) {
    s->backlog_head++;
    s->backlog_count--;
  }
  if (s->backlog_count == 0) s->backlog_head = 0;
}

void read_audio(Session* s) {
  if (s->audio.status) {
    s->audio.status(s->audio.user, &s->audio_status);
    s->have_audio_status = true;
  } else {
    memset(&s->audio_status, 0, sizeof s->audio_status);
    s->have_audio_status = false;
  }
}

// ASCII letters in upper case; everything else as it is.
void upper_ascii(char* text) {
  for (char* p = text; *p; p++)
    if (*p >= 'a' && *p <= 'z') *p = (char)(*p - 'a' + 'A');
}

void lapse_overrides(Session* s) {
  const uint32_t callbacks = s->status.callbacks;
  const bool running = (s->status.flags & CORE_STATUS_RUNNING) != 0;
  // Two callbacks after the send the command has certainly been applied.
  if (s->play_override >= 0) {
    bool passed = (uint32_t)(callbacks - s->play_override_callbacks) >= 2;
    if (passed || s->now >= s->play_override_until || !running) s->play_override = -1;
  }
  if (s->locate_override) {
    bool passed = (uint32_t)(callbacks - s->locate_callbacks) >= 2;
    bool seeking = (s->status.flags & CORE_STATUS_SEEK_PENDING) != 0;
    if ((passed && !seeking) || s->now >= s->locate_until) s->locate_override = false;
  }
}

void deferred_locate_step(Session* s) {
  if (!s->mid_locate_deferred) return;
  if (!session_take_runs(s)) {
    s->mid_locate_deferred = false;
    return;
  }
  if (s->now - s->mid_locate_at >= SESSION_MID_LOCATE_S) {
    s->mid_locate_deferred = false;
    s->mid_locate_at = s->now;
    session_send_cmd(s, CMD_LOCATE_MID_TAKE, s->mid_locate_target);
  }
}

void record_timeouts(Session* s) {
  if (s->take.requested && !s->take.active &&
      s->now - s->record_request_at > SESSION_RECORD_START_S && session_device_running(s) &&
      (s->status.flags & CORE_STATUS_RUNNING) && !(s->status.flags & CORE_STATUS_RECORDING)) {
    log_line("session: the audio never started the take - giving up on it");
    s->take.requested = false;
    s->take.stop_requested = false;
    if (s->play_override == 1) s->play_override = -1;
    // An export asked for during that take would otherwise wait for a commit that never comes.
    if (s->export_pending && !session_take_outstanding(s)) {
      s->export_pending = false;
      session_export_now(s);
    }
  }
  if (s->punch_pending && s->now - s->punch_at > SESSION_TAIL_S &&
      (!session_device_running(s) || !(s->status.flags & CORE_STATUS_TAIL))) {
    log_line("session: the punch-out tail never closed - committing what the tape holds");
    s->punch_pending = false;
    session_commit(s, s->status.main_length, true, false);
    if (s->export_pending && !s->punch_pending && !session_take_outstanding(s)) {
      s->export_pending = false;
      session_export_now(s);
    }
  }
}

void rig_step(Session* s) {
  SessionRigState rs;
  memset(&rs, 0, sizeof rs);
  rs.muted_with_signal = -1;
  s->rig_present = s->host.rig_state && s->host.rig_state(s->host.user, &rs) && rs.present;
  s->rig = rs;
  if (!s->host.rig_next_event) return;
  SessionRigEvent ev;
  int guard = 0;
  while (guard++ < 64 && s->host.rig_next_event(s->host.user, &ev)) {
    ev.text[sizeof ev.text - 1] = 0;
    const bool mid_take = session_take_runs(s) || s->take.active;
    switch (ev.kind) {
      case RIG_EVENT_READY:
        if (mid_take)
          session_banner_set(s, BANNER_RIG_MID_TAKE, true,
                             "YOUR RIG LOADED - THE MIX CHANGED MID-TAKE");
        break;
      case RIG_EVENT_SCENE_CHANGED:
        if (ev.second == 1 && ev.flag) session_tip(s, "rig-scene");
        if (mid_take && ev.second == 0 && ev.flag)
          session_banner_set(s, BANNER_RIG_MID_TAKE, true, "SCENE CHANGED IN ANOTHER KELP NOVA");
        break;
      case RIG_EVENT_MERGED: {
        char t[SESSION_NOTICE_TEXT];
        snprintf(t, sizeof t, "MIX UPDATED FROM %.100s", ev.text[0] ? ev.text : "ANOTHER APP");
        upper_ascii(t);
        session_notice(s, NOTICE_TOAST, 0, false, t, nullptr);
        break;
      }
      case RIG_EVENT_SAVE_FAILED: {
        char t[SESSION_NOTICE_TEXT];
        snprintf(t, sizeof t, "RIG NOT SAVED - %.120s", ev.text[0] ? ev.text : "DISK ERROR");
        upper_ascii(t);
        session_notice(s, NOTICE_ERROR, 0, false, t, nullptr);
        break;
      }
      case RIG_EVENT_SAVED_AGAIN:
        session_notice(s, NOTICE_TOAST, 0, false, "RIG SAVED AGAIN", nullptr);
        break;
      case RIG_EVENT_DAMAGED:
        session_notice(s, NOTICE_ERROR, 0, false, "RIG FILE DAMAGED - SET ASIDE", nullptr);
        break;
      case RIG_EVENT_READ_ONLY:
        session_notice(s, NOTICE_ERROR, 0, false, "RIG MADE BY A NEWER APP - READ ONLY", nullptr);
        break;
      case RIG_EVENT_MORE_INPUTS: {
        char t[SESSION_NOTICE_TEXT];
        snprintf(t, sizeof t, "%d INPUTS NOW", (int)ev.value);
        session_notice(s, NOTICE_TOAST, 0, false, t, nullptr);
        break;
      }
      default:
        break;
    }
  }
}

void rec_waiting_step(Session* s) {
  if (!s->rec_waiting) return;
  // A sketch still reading its meta.json is on its way, not gone.
  const bool closing_or_gone = s->state == SESSION_CLOSING || s->state == SESSION_NONE;
  if (closing_or_gone || s->tape_unreadable || !session_have_engine(s) ||
      session_device_failed(s)) {
    s->rec_waiting = false;
    return;
  }
  if (!session_ready_to_record(s)) return;
  const bool fresh = s->rig_present && s->rig.fresh_defaults;
  log_line("session: REC waited %.2f s - recording now%s", s->now - s->rec_waiting_at,
           fresh ? " (on the rig's fresh defaults while it loads)" : "");
  s->rec_waiting = false;
  session_start_recording(s);
}

void banners_step(Session* s) {
  const AudioStatus& a = s->audio_status;
  const bool engine = session_have_engine(s);
  const bool privacy = engine && a.cause == AUDIO_CAUSE_ACCESS_DENIED;
  const bool running = engine && a.state == AUDIO_RUNNING;
  session_banner_set(s, BANNER_MIC_PRIVACY, privacy, "MIC ACCESS IS OFF FOR DESKTOP APPS");

  const bool busy = engine && a.cause == AUDIO_CAUSE_IN_USE;
  if (busy && running && a.device[0]) {
    char name[128];
    text_copy(name, sizeof name, a.device);
    upper_ascii(name);
    char t[SESSION_BANNER_TEXT];
    snprintf(t, sizeof t, "MIC BUSY - LISTENING ON %s", name);
    session_banner_set(s, BANNER_MIC_BUSY, true, t);
  } else {
    session_banner_set(s, BANNER_MIC_BUSY, busy, "MIC BUSY");
  }
  const bool down = engine && (a.state == AUDIO_RECOVERING || a.state == AUDIO_DOWN) && !privacy;
  session_banner_set(s, BANNER_AUDIO_DOWN, down, "AUDIO DOWN - RECONNECTING\xE2\x80\xA6");
  session_banner_set(s, BANNER_NO_OUTPUT, running && !a.duplex,
                     "NO OUTPUT - YOU WON'T HEAR PLAYBACK");

  bool silent = false;
  if (running && a.inputs > 0 && s->status.input_peak == 0.0f) {
    if (s->no_signal_since <= 0.0) s->no_signal_since = s->now > 0.0 ? s->now : 1e-9;
    silent = s->now - s->no_signal_since >= SESSION_NO_SIGNAL_S;
  } else {
    s->no_signal_since = 0.0;
  }
  session_banner_set(s, BANNER_NO_SIGNAL, silent, "NO INPUT SIGNAL");
  session_banner_set(s, BANNER_DRIVER_HUNG, engine && a.state == AUDIO_HUNG,
                     "AUDIO DRIVER STOPPED ANSWERING - RESTART KELP NOVA");

  session_banner_set(s, BANNER_ALL_MUTED, s->rig_present && s->rig.all_muted,
                     "ALL INPUTS MUTED - NOTHING WILL RECORD");
  if (s->rig_present && s->rig.muted_with_signal >= 0) {
    char t[SESSION_BANNER_TEXT];
    snprintf(t, sizeof t, "INPUT %d HAS SIGNAL - IT'S MUTED", (int)s->rig.muted_with_signal + 1);
    session_banner_set(s, BANNER_MUTED_SIGNAL, true, t);
  } else {
    session_banner_set(s, BANNER_MUTED_SIGNAL, false, "");
  }
}

void capture_release(Session* s) {
  if (!s->main || !s->capture || !session_attached(s)) return;
  int64_t floor = s->take.active ? s->take.capture_start : s->status.capture_pos;
  int64_t pending = session_analysis_floor(s);
  if (pending < floor) floor = pending;
  if (floor > 0) tape_release_below(s->capture, floor);
}

void publish(Session* s) {
  SessionSnapshot& p = s->snap;
  p.state = s->state;
  p.loaded = s->meta != nullptr && s->state != SESSION_NONE;
  p.saving = s->commit_count > 0 || s->punch_pending || s->state == SESSION_CLOSING;
  p.closing = s->state == SESSION_CLOSING;
  p.loading_meta = s->state == SESSION_LOADING && !s->meta && s->load_meta_job != 0;
  p.loading_tape = s->state == SESSION_LOADING && s->load_tape_job != 0;
  p.resampling = p.loading_tape && s->resample_expected;
  p.sketch_rate = s->resample_from;
  p.stream_rate = s->resample_to;
  p.exporting = s->export_job != 0 || s->export_pending;
  p.tape_unreadable = s->tape_unreadable;
  if (s->meta) {
    memcpy(p.id, s->meta->id, sizeof p.id);
    p.id[sizeof p.id - 1] = 0;
    session_title(s, p.title, sizeof p.title);
  } else {
    p.id[0] = 0;
    p.title[0] = 0;
  }
  text_copy(p.folder, sizeof p.folder, s->meta ? s->folder : "");
  p.rate = s->rate;
  p.status = s->status;
  p.position = session_displayed_frames(s);
  p.position_seconds = session_displayed_seconds(s);
  p.playing =
      s->play_override >= 0 ? s->play_override == 1 : (s->status.flags & CORE_STATUS_PLAYING) != 0;
  p.recording = (s->status.flags & CORE_STATUS_RECORDING) != 0;
  p.take_running = session_take_runs(s);
  p.rec_waiting = s->rec_waiting;
  p.monitor = s->monitor;
  p.tape_frames = session_tape_frames(s);
  p.span = session_span(s);
  p.loop = s->loop;
  p.meta = s->meta;
  p.live_strokes = s->take.active ? s->take.strokes : nullptr;
  p.live_count = s->take.active ? s->take.count : 0;
  p.live_peak = s->take.peak;
  p.live_start = s->take.segment_start;
  p.xy_x = s->xy_x;
  p.xy_y = s->xy_y;
  p.paint_mode = s->settings && s->settings->paint_mode != 0;
  p.raw_playback = s->settings && s->settings->raw_playback != 0;
  if (s->tape_unreadable && s->meta)
    text_copy(p.status_line, sizeof p.status_line, "TAPE UNREADABLE - RECORDING IS OFF");
  else if (s->rec_waiting)
    text_copy(p.status_line, sizeof p.status_line, "REC ARMED - WAITING FOR AUDIO\xE2\x80\xA6");
  else if (s->state == SESSION_NONE && !s->meta)
    text_copy(p.status_line, sizeof p.status_line, "NO SKETCH OPEN");
  else
    p.status_line[0] = 0;
}

}  // namespace

// ---- creation ----

Session* session_create(Core* core, AudioEngine* engine, JobQueue* jobs, Settings* settings,
                        const AppPaths* paths, const SessionHost* host) {
  if (!core || !settings || !paths) {
    log_line("session: can't start without %s", !core       ? "a core"
                                                : !settings ? "settings"
                                                            : "paths");
    return nullptr;
  }
  Session* s = (Session*)calloc(1, sizeof(Session));
  if (!s) {
    log_line("session: out of memory starting the session");
    return nullptr;
  }
  s->core = core;
  s->jobs = jobs;
  s->settings = settings;
  s->paths = paths;
  if (host) s->host = *host;
  if (engine) {
    s->audio.user = engine;
    s->audio.status = engine_status;
    s->audio.post = engine_post;
  }
  s->started_at = -1.0;
  s->state = SESSION_NONE;
  s->rate = SESSION_DEFAULT_RATE;
  s->play_override = -1;
  s->take.strokes = (float*)malloc(sizeof(float) * SESSION_STROKES_FIRST);
  s->take.capacity = s->take.strokes ? SESSION_STROKES_FIRST : 0;
  s->xy_x =
      std::isfinite(settings->input_pan) ? fminf(1.0f, fmaxf(-1.0f, settings->input_pan)) : 0.0f;
  s->xy_y = std::isfinite(settings->input_distance)
                ? fminf(1.0f, fmaxf(-1.0f, settings->input_distance))
                : 0.0f;
  core_set_xy(core, s->xy_x, s->xy_y);
  core_set_monitor(core, false);
  view_reset(&s->view);
  session_apply_playback_gain(s);
  core_read_status(core, &s->status);
  s->events_dropped_seen = s->status.events_dropped;
  s->rig.muted_with_signal = -1;
  publish(s);
  return s;
}

void session_free(Session* s) {
  if (!s) return;
  // Tapes in attach commands that never reached the core are still ours.
  for (int32_t i = 0; i < s->backlog_count; i++) {
    const CoreCommand& c = s->backlog[s->backlog_head + i];
    if (c.kind == CMD_ATTACH) {
      if (c.tape) tape_free(c.tape);
      if (c.tape2 && c.tape2 != c.tape) tape_free(c.tape2);
    }
  }
  free(s->backlog);
  if (s->meta) meta_destroy(s->meta);
  free(s->take.strokes);
  free(s->owned);
  free(s);
}

void session_set_audio(Session* s, const SessionAudio* audio) {
  if (!s) return;
  if (audio)
    s->audio = *audio;
  else
    memset(&s->audio, 0, sizeof s->audio);
}

// ---- commands ----

bool session_send(Session* s, const CoreCommand* cmd) {
  if (!s || !cmd) return false;
  backlog_retry(s);
  if (s->backlog_count == 0 && core_push_command(s->core, cmd)) return true;
  if (backlog_push(s, cmd)) return true;
  log_line("session: out of memory queueing command %d - it is lost", (int)cmd->kind);
  return false;
}

void session_send_cmd(Session* s, uint32_t kind, int64_t a, int64_t b, uint8_t flags, double value,
                      Tape* tape, Tape* tape2) {
  CoreCommand c;
  memset(&c, 0, sizeof c);
  c.kind = kind;
  c.flags = flags;
  c.a = a;
  c.b = b;
  c.value = value;
  c.tape = tape;
  c.tape2 = tape2;
  session_send(s, &c);
}

// ---- state helpers ----

bool session_attached(const Session* s) {
  return s->attach_sent == s->attach_confirmed;
}

bool session_have_engine(const Session* s) {
  return s->audio.status != nullptr;
}

bool session_device_running(const Session* s) {
  return s->have_audio_status && s->audio_status.state == AUDIO_RUNNING;
}

bool session_device_failed(const Session* s) {
  if (!s->have_audio_status) return false;
  const AudioStatus& a = s->audio_status;
  return a.state == AUDIO_DOWN || a.state == AUDIO_HUNG || a.cause == AUDIO_CAUSE_NO_DEVICE;
}

bool session_rates_match(const Session* s) {
  if (!session_device_running(s) || !(s->audio_status.rate > 0.0)) return true;
  return fabs(s->audio_status.rate - s->rate) <= SESSION_RATE_SAME;
}

int64_t session_frames_of(const Session* s, double seconds) {
  if (!std::isfinite(seconds)) return 0;
  double f = seconds * s->rate;
  if (f >= 9e18) return (int64_t)9e18;
  if (f <= -9e18) return -(int64_t)9e18;
  return (int64_t)llround(f);
}

int64_t session_displayed_frames(const Session* s) {
  if (s->locate_override) return s->locate_target;
  double p = s->status.display_pos;
  if (!std::isfinite(p) || p < 0.0) return 0;
  return (int64_t)llround(p);
}

double session_displayed_seconds(const Session* s) {
  return (double)session_displayed_frames(s) / session_rate(s);
}

int64_t session_tape_frames(const Session* s) {
  if (!s) return 0;
  if (s->main && session_attached(s)) {
    int64_t len = s->status.main_length;
    int64_t own = tape_length(s->main);
    return len > own ? len : own;
  }
  return s->meta ? s->meta->lengthSamples : 0;
}

double session_span(const Session* s) {
  if (!s) return TRANSPORT_MIN_SPAN;
  const double rate = session_rate(s);
  double tape_len = (double)session_tape_frames(s) / rate;
  double last_end = -1.0;
  if (s->meta) {
    for (int32_t i = 0; i < s->meta->layerCount; i++) {
      const Layer* l = s->meta->layers[i];
      double lr = l->sampleRate > 0.0 ? l->sampleRate : rate;
      double e = (double)(l->startSample + l->lengthSamples) / lr;
      if (e > last_end) last_end = e;
    }
  }
  if (s->take.active) {
    double e = (double)(s->take.segment_start + s->status.segment_length) / rate;
    if (e > last_end) last_end = e;
  }
  return transport_canvas_span(tape_len, last_end);
}

bool session_take_runs(const Session* s) {
  return s && ((s->take.active && !s->take.stop_requested) || s->take.requested);
}

bool session_take_outstanding(const Session* s) {
  return s && (s->take.active || s->take.requested || s->punch_pending);
}

void session_read_status(Session* s) {
  core_read_status(s->core, &s->status);
}

// ---- overrides and shared transport pieces ----

void session_set_play_override(Session* s, int32_t value) {
  CoreStatus st = s->status;  // the last snapshot stands when no whole one can be had
  core_read_status(s->core, &st);
  s->play_override = value;
  s->play_override_callbacks = st.callbacks;
  s->play_override_until = s->now + SESSION_OVERRIDE_S;
}

void session_set_locate_override(Session* s, int64_t target) {
  CoreStatus st = s->status;
  core_read_status(s->core, &st);
  s->locate_override = true;
  s->locate_target = target;
  s->locate_callbacks = st.callbacks;
  s->locate_until = s->now + SESSION_OVERRIDE_S;
}

void session_locate(Session* s, int64_t target) {
  if (target < 0) target = 0;
  session_set_locate_override(s, target);
  if (!session_take_runs(s)) {
    session_send_cmd(s, CMD_LOCATE, target);
    return;
  }
  if (!s->mid_locate_sent || s->now - s->mid_locate_at >= SESSION_MID_LOCATE_S) {
    s->mid_locate_sent = true;
    s->mid_locate_at = s->now;
    s->mid_locate_deferred = false;
    session_send_cmd(s, CMD_LOCATE_MID_TAKE, target);
  } else {
    s->mid_locate_deferred = true;
    s->mid_locate_target = target;
  }
  session_tip(s, "move-mid-take");
}

void session_send_loop(Session* s) {
  TransportLoopFrames f = transport_loop_to_frames(&s->loop, s->rate);
  session_send_cmd(s, CMD_LOOP, f.in, f.out, f.on ? CMD_FLAG_LOOP_ON : 0);
  SketchMeta* m = s->meta;
  if (!m) return;
  if (m->loopStart != s->loop.in || m->loopEnd != s->loop.out || m->loopActive != s->loop.on) {
    m->loopStart = s->loop.in;
    m->loopEnd = s->loop.out;
    m->loopActive = s->loop.on;
    session_schedule_save(s);
  }
}

void session_apply_playback_gain(Session* s) {
  float gain = 1.0f;
  const bool raw = s->settings && s->settings->raw_playback != 0;
  if (!raw && s->committed_peak > 0.001f) gain = fminf(16.0f, 0.95f / s->committed_peak);
  core_set_playback_gain(s->core, gain);
}

void session_tip(Session* s, const char* tip) {
  if (s->host.tip_seen) s->host.tip_seen(s->host.user, tip);
}

void session_notice_error(Session* s, const char* fmt, ...) {
  char t[SESSION_NOTICE_TEXT];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(t, sizeof t, fmt, ap);
  va_end(ap);
  text_utf8_cut(t, sizeof t - 1);
  session_notice(s, NOTICE_ERROR, 0, false, t, nullptr);
}

// ---- notices and banners ----

void session_notice(Session* s, int32_t kind, int32_t value, bool flag, const char* text,
                    const char* path) {
  if (!s) return;
  if (s->notice_count == SESSION_NOTICES) {  // the oldest goes
    s->notice_head = (s->notice_head + 1) % SESSION_NOTICES;
    s->notice_count--;
  }
  SessionNotice& n = s->notices[(s->notice_head + s->notice_count) % SESSION_NOTICES];
  memset(&n, 0, sizeof n);
  n.kind = kind;
  n.value = value;
  n.flag = flag;
  text_copy(n.text, sizeof n.text, text);
  text_copy(n.path, sizeof n.path, path);
  s->notice_count++;
}

bool session_next_notice(Session* s, SessionNotice* out) {
  if (!s || s->notice_count == 0) return false;
  if (out) *out = s->notices[s->notice_head];
  s->notice_head = (s->notice_head + 1) % SESSION_NOTICES;
  s->notice_count--;
  return true;
}

void session_banner_set(Session* s, int32_t slot, bool shown, const char* text) {
  if (!s || slot < 0 || slot >= SESSION_BANNERS) return;
  // What each slot says when the caller gives no text of its own.
  static const char* const kDefault[SESSION_BANNERS] = {
      "TAPE FULL",
      "MIC ACCESS IS OFF FOR DESKTOP APPS",
      "MIC BUSY",
      "AUDIO DOWN - RECONNECTING\xE2\x80\xA6",
      "NO OUTPUT - YOU WON'T HEAR PLAYBACK",
      "NO INPUT SIGNAL",
      "AUDIO DRIVER STOPPED ANSWERING - RESTART KELP NOVA",
      "COULDN'T SAVE - DISK ERROR",
      "ALL INPUTS MUTED - NOTHING WILL RECORD",
      "INPUT 1 HAS SIGNAL - IT'S MUTED",
      "YOUR RIG LOADED - THE MIX CHANGED MID-TAKE",
  };
  SessionBanner& b = s->banners[slot];
  char t[SESSION_BANNER_TEXT];
  text_copy(t, sizeof t, !shown ? "" : (text && text[0]) ? text : kDefault[slot]);
  if (b.shown == shown && strcmp(b.text, t) == 0) return;
  b.shown = shown;
  memcpy(b.text, t, sizeof t);
  session_notice(s, NOTICE_BANNER, slot, shown, t, nullptr);
}

const SessionSnapshot* session_snapshot(const Session* s) {
  return s ? &s->snap : nullptr;
}

// ---- the frame ----

void session_update(Session* s, double now, double wall) {
  if (!s) return;
  s->now = now;
  s->wall = wall;
  if (s->started_at < 0.0) s->started_at = now;

  // Backlog first, then what the device and the transport say now.
  backlog_retry(s);
  read_audio(s);
  session_read_status(s);

  // Events, each after the levels written before it.
  CoreEvent ev;
  int guard = 0;
  while (guard++ < 4 * CORE_EVENT_SLOTS && core_pop_event(s->core, &ev)) {
    session_read_levels(s, ev.levels_written);
    session_handle_event(s, &ev);
  }
  session_read_levels(s, INT64_MAX);
  session_read_status(s);

  // Rig notices, overrides, the throttled locate, time limits.
  rig_step(s);
  lapse_overrides(s);
  deferred_locate_step(s);
  record_timeouts(s);

  // Device switches, loading, rate following, closing; the start's scan.
  session_lifecycle_step(s);
  session_start_step(s);

  // REC waiting, banners, saves, cursor memory, capture release.
  rec_waiting_step(s);
  banners_step(s);
  session_meta_save_step(s);
  session_cursor_step(s);
  capture_release(s);

  publish(s);
}

bool session_ready_to_record(const Session* s) {
  if (s->state != SESSION_READY || !s->main || !session_attached(s)) return false;
  if (s->take.active || s->take.requested || s->punch_pending) return false;
  if (s->status.flags & CORE_STATUS_TAIL) return false;
  if (s->commit_count > 0 || s->tape_unreadable) return false;
  if (!session_device_running(s) || !session_rates_match(s)) return false;
  if (s->device.phase != 0) return false;
  if (s->rig_present && s->rig.loading && !s->rig.fresh_defaults) return false;
  return true;
}
