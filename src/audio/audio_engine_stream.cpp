// PortAudio's start and the device rows, then opening, starting and stopping one stream, and
// the open with fallback that tries the wanted device and then the others.
#include "audio/audio_engine_internal.h"

#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <strings.h>

#include "rig/mixer.h"
#include "rig/rig_doc.h"
#include "base/log.h"

// --- PortAudio start, device rows and rates ---------------------------------------------

bool engine_pa_start(AudioEngine* e) {
  // An empty list is not trusted for long: a sound server that was slow to answer when PortAudio
  // started stays invisible until PortAudio starts again, and the counts need not change.
  bool stale_empty =
      e->pa_init && e->row_count == 0 && engine_now_ms(e) - e->pa_started_ms >= kEmptyListRetryMs;
  if (e->pa_init && !e->force_reinit && !stale_empty && e->counts == e->counts_at_start)
    return true;
  if (e->stream) return true;
  int r;
  if (e->pa_init) {
    if (engine_guarded(e, "shutting PortAudio down", kLimitStopPa, engine_w_terminate, nullptr,
                       &r) == ENGINE_CALL_GIVEN_UP)
      return false;
    e->pa_init = false;
  }
  e->cur_row = -1;
  e->row_count = 0;
  e->counts_at_start = e->counts;
  e->pa_started_ms = engine_now_ms(e);
  char text[96] = {0};
  if (engine_guarded(e, "starting PortAudio", kLimitStartPa, engine_w_initialize, text, &r,
                     sizeof text) == ENGINE_CALL_GIVEN_UP)
    return false;
  e->force_reinit = false;
  if (r != paNoError) {
    e->cause = AUDIO_CAUSE_NO_DEVICE;
    engine_set_message(e, "PortAudio would not start: %s", text);
    log_line("audio: PortAudio would not start: %s", text);
    engine_publish_rows(e);
    e->st.row = -1;
    engine_publish(e);
    return false;
  }
  e->pa_init = true;
  if (engine_guarded(e, "listing devices", kLimitList, engine_w_list, nullptr, &r) ==
      ENGINE_CALL_GIVEN_UP) {
    return false;
  }
  engine_publish_rows(e);
  // Row indexes changed with the new list; the shown row follows the wanted name.
  e->st.row = engine_find_row(e, e->set.resolved);
  engine_publish(e);
  return true;
}

namespace {

bool contains_nocase(const char* hay, const char* needle) {
  size_t n = strlen(needle);
  if (n == 0) return true;
  for (const char* p = hay; *p; p++) {
    if (strncasecmp(p, needle, n) == 0) return true;
  }
  return false;
}

int best_row(AudioEngine* e, const bool* skip) {
  int best = -1;
  for (int i = 0; i < e->row_count; i++) {
    if (skip && skip[i]) continue;
    if (best < 0 || e->rows[i].priority > e->rows[best].priority) best = i;
  }
  return best;
}

int resolve_wanted(AudioEngine* e, bool* matched) {
  *matched = false;
  const char* w = e->set.wanted;
  if (*w) {
    for (int i = 0; i < e->row_count; i++) {
      if (strcasecmp(e->rows[i].name, w) == 0) {
        *matched = true;
        engine_copy_text(e->set.resolved, sizeof e->set.resolved, e->rows[i].name);
        return i;
      }
    }
    int best = -1;
    for (int i = 0; i < e->row_count; i++) {
      if (!contains_nocase(e->rows[i].name, w)) continue;
      if (best < 0 || e->rows[i].priority > e->rows[best].priority) best = i;
    }
    if (best >= 0) {
      *matched = true;
      engine_copy_text(e->set.resolved, sizeof e->set.resolved, e->rows[best].name);
      return best;
    }
  }
  if (e->set.resolved[0]) return engine_find_row(e, e->set.resolved);
  int best = best_row(e, nullptr);
  if (best >= 0) engine_copy_text(e->set.resolved, sizeof e->set.resolved, e->rows[best].name);
  return best;
}

}  // namespace

int engine_rates_for(AudioEngine* e, int row, double preferred, bool rate_change, double out[6]) {
  const EngineDeviceRow* r = &e->rows[row];
  return audio_rate_list(preferred, e->set.rate, rate_change, r->input_rate, r->output_rate, out);
}

// --- Opening, starting, stopping ---------------------------------------------------------

namespace {

struct Opened {
  int row;
  PaStream* stream;
  StreamTicket* ticket;
  double rate;
  int inputs;
  bool duplex;
  bool exclusive_on;
};

uint32_t next_generation(AudioEngine* e) {
  e->generation = e->generation == UINT32_MAX ? 1 : e->generation + 1;
  return e->generation;
}

// One guarded "opening the stream" call; a late success is closed and not used.
bool open_attempt(AudioEngine* e, int row, const double* rates, int nrates, bool quiet,
                  int want_inputs, Opened* o, EngineFailure* f, int* inputs_tried) {
  *inputs_tried = 0;
  StreamTicket* t = new (std::nothrow) StreamTicket;
  if (!t) {
    engine_fail(f, AUDIO_CAUSE_OTHER, "out of memory");
    return false;
  }
  t->engine = e;
  t->generation = next_generation(e);
  t->channels = 0;
  t->outputs = 0;
  EngineOpenRequest* q = new (std::nothrow) EngineOpenRequest;
  if (!q) {
    delete t;
    engine_fail(f, AUDIO_CAUSE_OTHER, "out of memory");
    return false;
  }
  memset(q, 0, sizeof *q);
  q->row = e->rows[row];
  q->frames = e->set.frames;
  q->exclusive = e->set.exclusive;
  q->quiet = quiet;
  q->nrates = nrates;
  for (int i = 0; i < nrates; i++) q->rates[i] = rates[i];
  q->want_inputs = want_inputs;
  q->ticket = t;
  int r;
  EngineCallOutcome out = engine_guarded(e, "opening the stream", kLimitOpen, engine_w_open, q, &r);
  if (out == ENGINE_CALL_GIVEN_UP) {
    // The worker may still write into both: they stay with the engine left behind.
    engine_fail(f, AUDIO_CAUSE_OTHER, "the driver took too long to open");
    return false;
  }
  *inputs_tried = q->inputs_tried;
  if (out == ENGINE_CALL_LATE && q->ok) {
    EngineStopRequest s = {q->stream, true};
    if (engine_guarded(e, "closing a late stream", kLimitStop, engine_w_stop, &s, &r, sizeof s) !=
        ENGINE_CALL_GIVEN_UP) {
      delete t;
    }
    delete q;
    engine_fail(f, AUDIO_CAUSE_OTHER, "the driver took too long to open");
    return false;
  }
  if (!q->ok) {
    *f = q->failure;
    delete t;
    delete q;
    return false;
  }
  o->row = row;
  o->stream = q->stream;
  o->ticket = t;
  o->rate = q->rate;
  o->inputs = q->inputs;
  o->duplex = q->duplex;
  o->exclusive_on = q->exclusive_on;
  delete q;
  return true;
}

bool open_device(AudioEngine* e, int row, const double* rates, int nrates, bool quiet, Opened* o,
                 EngineFailure* f) {
  f->cause = AUDIO_CAUSE_NONE;
  f->message[0] = 0;
  if (row < 0 || row >= e->row_count) {
    engine_fail(f, AUDIO_CAUSE_OTHER, "no such device");
    return false;
  }
  char name[AUDIO_NAME_BYTES];
  memcpy(name, e->rows[row].name, sizeof name);
  if (!quiet) {
    int inputs = e->rows[row].inputs < AUDIO_MAX_INPUTS ? e->rows[row].inputs : AUDIO_MAX_INPUTS;
    log_line("audio: opening %s  (%d frames, %d inputs%s)", name, e->set.frames, inputs,
             e->set.exclusive ? ", exclusive wanted" : "");
  }
  int tried = 0;
  bool ok = open_attempt(e, row, rates, nrates, quiet, 0, o, f, &tried);
  if (!ok && !e->gave_up.load() && tried > 2 && f->cause != AUDIO_CAUSE_ACCESS_DENIED) {
    int again = engine_find_row(e, name);
    if (again >= 0) {
      log_line("audio: %d inputs refused - opening %d instead", tried, 2);
      ok = open_attempt(e, again, rates, nrates, quiet, 2, o, f, &tried);
    }
  }
  if (!ok && !f->message[0]) engine_fail(f, AUDIO_CAUSE_OTHER, "the device refused every format");
  return ok;
}

}  // namespace

void engine_free_ticket(AudioEngine* e) {
  delete e->ticket;
  e->ticket = nullptr;
}

namespace {

// The rig is configured only under the rig lock, however long the UI holds it (it holds it over
// one frame); a quit ends the wait and the stream goes unbound.
bool lock_rig_for_binding(AudioEngine* e) {
  uint64_t start = platform_tick_ms();
  while (!e->rig_lock.try_lock()) {
    if (e->quit.load() || e->abandon.load()) return false;
    platform_sleep_ms(1);
  }
  uint64_t waited = platform_tick_ms() - start;
  if (waited >= kRigLockMs) {
    log_line("audio: the UI held the rig for %d ms - configured once it let go", (int)waited);
  }
  return true;
}

void bind_stream(AudioEngine* e, const Opened* o) {
  if (!lock_rig_for_binding(e)) return;
  const EngineDeviceRow* row = &e->rows[o->row];
  StreamBinding* b = new (std::nothrow) StreamBinding;
  if (b) {
    memset(b, 0, sizeof *b);
    audio_api_code(row->host_type, b->api);
    audio_device_name_utf8(row->raw, b->device_name);
    if (rig_key(b->api, b->device_name, b->key) != 0) memset(b->key, 0, sizeof b->key);
    b->inputs = o->inputs;
    int dev_in = row->inputs < AUDIO_MAX_INPUTS ? row->inputs : AUDIO_MAX_INPUTS;
    b->device_inputs = dev_in > o->inputs ? dev_in : o->inputs;
    b->rate = o->rate;
    if (e->rig) {
      RigPlan plan;
      rig_default_plan(b->api, o->inputs, &plan);
      rig_bind_stream(e->rig, o->rate, o->inputs, rig_tag(b->key), &plan);
    }
    e->binding_gen = e->binding_gen == UINT32_MAX ? 1 : e->binding_gen + 1;
    {
      std::unique_lock<std::shared_mutex> g(e->status_lock);
      memcpy(&e->binding, b, sizeof *b);
      e->binding_gen_pub = e->binding_gen;
    }
    e->st.binding_generation = e->binding_gen;
    delete b;
  }
  e->rig_lock.unlock();
}

bool start_stream(AudioEngine* e, Opened* o, bool quiet, EngineFailure* f) {
  e->ticket = o->ticket;
  e->stream = o->stream;
  bind_stream(e, o);
  if (o->rate != e->core_rate || e->core_channels != 2) {
    core_set_rate(e->core, o->rate, 2);
    e->core_rate = o->rate;
    e->core_channels = 2;
  }
  core_set_free_immediately(e->core, false);
  e->hb_last = e->hb_start = e->callbacks.load(std::memory_order_relaxed);
  e->cb_rate.store(o->rate);
  e->accepted.store(o->ticket->generation);
  EngineStartRequest q;
  memset(&q, 0, sizeof q);
  q.stream = o->stream;
  q.host_type = e->rows[o->row].host_type;
  int r;
  EngineCallOutcome out =
      engine_guarded(e, "starting the stream", kLimitStart, engine_w_start, &q, &r, sizeof q);
  if (out == ENGINE_CALL_GIVEN_UP) {
    engine_fail(f, AUDIO_CAUSE_OTHER, "the driver took too long to start");
    return false;
  }
  if (out == ENGINE_CALL_LATE && q.ok) {
    engine_drain(e, kDrainMs);
    EngineStopRequest s = {o->stream, true};
    if (engine_guarded(e, "closing a late stream", kLimitStop, engine_w_stop, &s, &r, sizeof s) ==
        ENGINE_CALL_GIVEN_UP) {
      engine_fail(f, AUDIO_CAUSE_OTHER, "the driver took too long to start");
      return false;
    }
    core_set_free_immediately(e->core, true);
    engine_free_ticket(e);
    e->stream = nullptr;
    engine_fail(f, AUDIO_CAUSE_OTHER, "the driver took too long to start");
    if (!quiet) log_line("audio:   refused - %s", f->message);
    return false;
  }
  if (!q.ok) {
    engine_drain(e, kDrainMs);
    core_set_free_immediately(e->core, true);
    engine_free_ticket(e);
    e->stream = nullptr;
    *f = q.failure;
    if (!quiet) log_line("audio:   refused - %s", f->message);
    return false;
  }
  core_set_running(e->core, true);
  const EngineDeviceRow* row = &e->rows[o->row];
  e->rate = o->rate;
  e->frames = e->set.frames;
  e->inputs = o->inputs;
  e->duplex = o->duplex;
  e->exclusive_on = o->exclusive_on;
  e->device_inputs = row->inputs < AUDIO_MAX_INPUTS ? row->inputs : AUDIO_MAX_INPUTS;
  if (e->device_inputs < o->inputs) e->device_inputs = o->inputs;
  e->in_latency_ms = q.in_latency;
  e->out_latency_ms = o->duplex ? q.out_latency : 0;
  e->running = true;
  e->cur_row = o->row;
  e->hb_deadline = engine_now_ms(e) + kHeartbeatGraceMs;
  return true;
}

}  // namespace

bool engine_open_and_start(AudioEngine* e, int row, const double* rates, int nrates, bool quiet,
                           EngineFailure* f) {
  Opened o;
  if (!open_device(e, row, rates, nrates, quiet, &o, f)) return false;
  return start_stream(e, &o, quiet, f);
}

// Stops and closes the stream. False when the driver call was given up (shutdown).
bool engine_stop_stream(AudioEngine* e, bool from_loss) {
  if (!e->stream) {
    e->running = false;
    return true;
  }
  CoreStatus cs{};
  if (!core_read_status(e->core, &cs)) cs.flags = kCoreNeedsQuiesce;  // unknown: tidy up anyway
  e->running = false;
  core_set_running(e->core, false);
  engine_drain(e, kDrainMs);
  EngineStopRequest q = {e->stream, from_loss};
  int r;
  if (engine_guarded(e, from_loss ? "aborting the stream" : "stopping the stream", kLimitStop,
                     engine_w_stop, &q, &r, sizeof q) == ENGINE_CALL_GIVEN_UP)
    return false;
  engine_free_ticket(e);
  e->stream = nullptr;
  e->stalled_while_stuck = false;
  core_set_free_immediately(e->core, true);
  if (from_loss || (cs.flags & kCoreNeedsQuiesce)) core_quiesce(e->core);
  return true;
}

// --- States -------------------------------------------------------------------------------

void engine_go_running(AudioEngine* e) {
  const EngineDeviceRow* row = &e->rows[e->cur_row];
  bool other = strcmp(row->name, e->set.resolved) != 0;
  e->attempts = 0;
  e->next_attempt = 0;
  e->stalled_while_stuck = false;
  e->down_logged = false;
  if (other) {
    e->cause =
        e->wanted_first_failure != AUDIO_CAUSE_NONE ? e->wanted_first_failure : AUDIO_CAUSE_IN_USE;
  } else {
    e->cause = AUDIO_CAUSE_NONE;
  }
  e->last_running_rate = e->rate;
  AudioStatus* s = &e->st;
  engine_set_state(e, AUDIO_RUNNING);
  s->row = e->cur_row;
  memset(s->device, 0, sizeof s->device);
  memcpy(s->device, row->name, sizeof s->device);
  memset(s->host_api, 0, sizeof s->host_api);
  memcpy(s->host_api, row->label, sizeof s->host_api);
  memset(s->wanted, 0, sizeof s->wanted);
  if (other) memcpy(s->wanted, e->set.resolved, sizeof s->wanted);
  memset(s->raw_name, 0, sizeof s->raw_name);
  memcpy(s->raw_name, row->raw, sizeof s->raw_name);
  s->rate = e->rate;
  s->frames = e->frames;
  s->inputs = e->inputs;
  s->duplex = e->duplex;
  s->asio = row->asio;
  s->exclusive = e->exclusive_on;
  s->input_latency_ms = e->in_latency_ms;
  s->output_latency_ms = e->out_latency_ms;
  s->attempt = 0;
  s->device_inputs = e->device_inputs;
  if (other) {
    engine_set_message(e, "'%s' would not open - listening on '%s'", e->set.resolved, row->name);
  } else if (e->set.exclusive && row->host_type == paWASAPI && !e->exclusive_on) {
    engine_set_message(e, "exclusive refused - running shared");
  } else if (e->set.rate > 0 && (long)std::lround(e->rate) != e->set.rate) {
    engine_set_message(e, "%d Hz refused - running %.0f Hz", e->set.rate, e->rate);
  } else if (e->duplex) {
    engine_clear_message(e);
  } else {
    engine_set_message(e, "no output - input only");
  }
  e->next_wanted_check = engine_now_ms(e) + kWantedCheckMs;
  log_line(
      "audio: RUNNING [%s] %s  %.0f Hz  %d frames  in %d of %d ch  %s%s  (in %.1f ms, out %.1f ms)",
      row->label, row->name, e->rate, e->frames, e->inputs, e->device_inputs,
      e->duplex ? "duplex" : "INPUT ONLY (no output)", e->exclusive_on ? "  exclusive" : "",
      e->in_latency_ms, e->out_latency_ms);
  if (other) {
    log_line("audio: '%s' would not open - listening on '%s' instead", e->set.resolved, row->name);
  } else if (s->message[0]) {
    log_line("audio: %s", s->message);
  }
  engine_publish(e);
}

// Open with fallback: the wanted device first, then up to `others` more (-1 = all).
bool engine_open_with_fallback(AudioEngine* e, int others, double preferred, bool quiet,
                               EngineFailure* f) {
  f->cause = AUDIO_CAUSE_NONE;
  f->message[0] = 0;
  if (e->row_count == 0) {
    engine_fail(f, AUDIO_CAUSE_NO_DEVICE, "no input device - plug one in");
    return false;
  }
  bool matched;
  int wanted = resolve_wanted(e, &matched);
  if (e->set.wanted[0] && !matched && !quiet) {
    log_line("audio: device '%s' not found - falling back", e->set.wanted);
  }
  bool tried[AUDIO_MAX_ROWS] = {};
  double rates[6];
  if (wanted < 0) {
    engine_fail(f, AUDIO_CAUSE_OTHER, "'%s' isn't connected", e->set.resolved);
  } else {
    tried[wanted] = true;
    int n = engine_rates_for(e, wanted, preferred, false, rates);
    if (engine_open_and_start(e, wanted, rates, n, quiet, f)) {
      e->wanted_first_failure = AUDIO_CAUSE_NONE;
      return true;
    }
    if (e->quit.load() || f->cause == AUDIO_CAUSE_ACCESS_DENIED) return false;
  }
  e->wanted_first_failure = f->cause;
  if (e->mic_off) return false;
  for (int count = 0; others < 0 || count < others; count++) {
    if (e->quit.load()) break;
    int r = best_row(e, tried);
    if (r < 0) break;
    tried[r] = true;
    int n = engine_rates_for(e, r, preferred, false, rates);
    if (engine_open_and_start(e, r, rates, n, quiet, f)) return true;
    if (f->cause == AUDIO_CAUSE_ACCESS_DENIED) break;
  }
  return false;
}
