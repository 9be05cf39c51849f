// The control thread: its loop, recovery, the device watch and the supervision of the running
// stream (heartbeat, rescans, going back to the wanted device).
#include "audio/audio_engine_internal.h"

#include <cstdio>
#include <cstring>

#include "base/log.h"

void engine_enter_recovering(AudioEngine* e, int cause, const char* reason, bool force_reinit) {
  e->running = false;
  e->cause = cause != AUDIO_CAUSE_NONE ? cause : AUDIO_CAUSE_OTHER;
  e->attempts = 0;
  e->st.attempt = 0;
  engine_set_state(e, AUDIO_RECOVERING);
  e->next_attempt = engine_now_ms(e) + kRetryStepMs;
  char msg[AUDIO_MESSAGE_BYTES];
  engine_copy_text(msg, sizeof msg, reason && *reason ? reason : "reconnecting");
  engine_set_message(e, "%s", msg);
  e->cur_row = -1;
  e->st.row = engine_find_row(e, e->set.resolved);
  memset(e->st.wanted, 0, sizeof e->st.wanted);
  if (force_reinit) e->force_reinit = true;
  e->down_logged = false;
  log_line("audio: RECOVERING - %s", msg);
  engine_publish(e);
}

namespace {

void lose(AudioEngine* e, int cause, const char* reason) {
  log_line("audio: LOST %s - %s", e->cur_row >= 0 ? e->rows[e->cur_row].name : "the stream",
           reason);
  if (!engine_stop_stream(e, true)) return;
  engine_enter_recovering(e, cause, reason, true);
}

}  // namespace

bool engine_recovery_attempt(AudioEngine* e, int others) {
  int n = e->attempts;
  e->attempts++;
  e->st.attempt = e->attempts;
  engine_publish(e);
  EngineFailure f;
  f.cause = AUDIO_CAUSE_NONE;
  f.message[0] = 0;
  bool ok = false;
  if (engine_pa_start(e)) {
    ok = engine_open_with_fallback(e, others, e->last_running_rate, n >= 1, &f);
  } else {
    f.cause = e->cause;
    engine_copy_text(f.message, sizeof f.message, e->st.message);
  }
  if (e->gave_up.load()) return false;
  if (ok) {
    log_line("audio: back after %d attempt%s", e->attempts, e->attempts == 1 ? "" : "s");
    engine_go_running(e);
    return true;
  }
  uint64_t now = engine_now_ms(e);
  e->cause = f.cause != AUDIO_CAUSE_NONE ? f.cause : AUDIO_CAUSE_OTHER;
  engine_set_message(e, "%s", f.message[0] ? f.message : "reconnecting");
  e->cur_row = -1;
  e->st.row = engine_find_row(e, e->set.resolved);
  if (e->attempts <= 4) {
    engine_set_state(e, AUDIO_RECOVERING);
    e->next_attempt = now + (uint64_t)(e->attempts + 1) * kRetryStepMs;
    log_line("audio: attempt %d failed - %s", e->attempts, e->st.message);
  } else {
    e->next_attempt = now + kDownRetryMs;
    if (e->st.state != AUDIO_DOWN || !e->down_logged || e->cause != e->last_down_cause ||
        now - e->last_down_log >= kDownRelogMs) {
      log_line("audio: DOWN - %s (retrying every %d s)", e->st.message, (int)(kDownRetryMs / 1000));
      e->last_down_cause = e->cause;
      e->last_down_log = now;
      e->down_logged = true;
    }
    engine_set_state(e, AUDIO_DOWN);
  }
  engine_publish(e);
  return false;
}

// --- Watching and supervision -------------------------------------------------------------

// A stream sealed while a driver call hung is still open: it is lost before anything else may
// open another one over it.
bool engine_seal_stalled(AudioEngine* e) {
  if (!e->stream || !e->stalled_while_stuck) return false;
  e->stalled_while_stuck = false;
  lose(e, AUDIO_CAUSE_OTHER, "the stream stalled while a driver call was stuck");
  return true;
}

namespace {

bool core_busy(AudioEngine* e) {
  CoreStatus cs{};
  // No whole snapshot: the core is publishing flat out, so count it busy.
  if (!core_read_status(e->core, &cs)) return true;
  return (cs.flags & kCoreBusy) != 0;
}

void watch(AudioEngine* e) {
  if (!e->stream) return;
  if (engine_seal_stalled(e)) return;
  if (!e->running || !e->ticket) return;
  uint32_t gen = e->ticket->generation;
  if (e->host_error_gen.load(std::memory_order_relaxed) == gen) {
    uint32_t code = e->host_error_code.load(std::memory_order_relaxed);
    e->host_error_gen.store(0, std::memory_order_relaxed);
    int cause = code == kAccessDenied  ? AUDIO_CAUSE_ACCESS_DENIED
                : code == kDeviceInUse ? AUDIO_CAUSE_IN_USE
                                       : AUDIO_CAUSE_OTHER;
    char reason[64];
    snprintf(reason, sizeof reason, "the driver reported 0x%08lX", (unsigned long)code);
    lose(e, cause, reason);
    return;
  }
  if (e->finished_gen.load(std::memory_order_relaxed) == gen) {
    lose(e, AUDIO_CAUSE_OTHER, "the stream stopped");
    return;
  }
  uint64_t now = engine_now_ms(e);
  uint64_t c = e->callbacks.load(std::memory_order_relaxed);
  if (c != e->hb_last) {
    e->hb_last = c;
    e->hb_deadline = now + kHeartbeatMs;
  } else if (now >= e->hb_deadline) {
    lose(e, AUDIO_CAUSE_OTHER,
         c == e->hb_start ? "the device never delivered audio" : "no audio callbacks for 300 ms");
  }
}

void rescan(AudioEngine* e) {
  bool by_command = e->rescan_by_command;
  uint32_t id = e->rescan_id;
  e->rescan_pending = false;
  e->rescan_by_command = false;
  e->rescan_id = 0;
  log_line("audio: rescanning devices%s", by_command ? "" : " (hardware changed)");
  bool active =
      e->running || e->stream || e->st.state == AUDIO_RECOVERING || e->st.state == AUDIO_DOWN;
  int result = AUDIO_DONE;
  bool stopped = true;
  if (e->running) {
    engine_set_state(e, AUDIO_OPENING);
    engine_publish(e);
    stopped = engine_stop_stream(e, false);
  }
  if (stopped) {
    e->force_reinit = true;
    bool ok = engine_pa_start(e);
    EngineFailure f;
    if (ok && active) {
      if (engine_open_with_fallback(e, -1, e->last_running_rate, false, &f)) {
        engine_go_running(e);
      } else if (!e->gave_up.load()) {
        engine_enter_recovering(e, f.cause, f.message, false);
        result = AUDIO_FAILED;
      }
    } else if (!ok) {
      result = AUDIO_FAILED;
      if (active && !e->gave_up.load()) {
        char msg[AUDIO_MESSAGE_BYTES];
        memcpy(msg, e->st.message, sizeof msg);
        engine_enter_recovering(e, e->cause, msg, false);
      }
    }
  } else {
    result = AUDIO_FAILED;
  }
  e->rescan_holdoff = engine_now_ms(e) + kRescanHoldoffMs;
  if (by_command && id) {
    e->st.last_command_id = id;
    e->st.last_command_result = result;
    e->st.last_command_kind = AUDIO_RESCAN;
  }
  engine_publish(e);
}

void return_to_wanted(AudioEngine* e) {
  int row = engine_find_row(e, e->set.resolved);
  if (row < 0 || row == e->cur_row || e->rows[row].asio) return;
  EngineProbeRequest q;
  q.row = e->rows[row];
  q.rate = e->rate;
  int r;
  if (engine_guarded(e, "checking the device", kLimitProbe, engine_w_probe, &q, &r, sizeof q) ==
      ENGINE_CALL_GIVEN_UP)
    return;
  if (r != 0) return;
  log_line("audio: '%s' is free again - going back to it", e->set.resolved);
  char prev[AUDIO_NAME_BYTES];
  memcpy(prev, e->rows[e->cur_row].name, sizeof prev);
  double prev_rate = e->rate;
  engine_set_state(e, AUDIO_OPENING);
  engine_publish(e);
  if (!engine_stop_stream(e, false)) return;
  double rates[6];
  int n = engine_rates_for(e, row, e->last_running_rate, false, rates);
  EngineFailure f;
  if (engine_open_and_start(e, row, rates, n, false, &f)) {
    e->wanted_first_failure = AUDIO_CAUSE_NONE;
    engine_go_running(e);
    return;
  }
  e->wanted_first_failure = f.cause;
  int back = engine_find_row(e, prev);
  if (back >= 0) {
    n = engine_rates_for(e, back, prev_rate, false, rates);
    if (engine_open_and_start(e, back, rates, n, false, &f)) {
      engine_go_running(e);
      return;
    }
  } else {
    engine_fail(&f, AUDIO_CAUSE_OTHER, "'%s' isn't connected", prev);
  }
  if (!e->gave_up.load()) engine_enter_recovering(e, f.cause, f.message, false);
}

void supervise(AudioEngine* e) {
  if (e->running && core_busy(e)) return;
  uint64_t now = engine_now_ms(e);
  if (e->rescan_pending) {
    if (e->rescan_by_command || !e->running || now >= e->rescan_holdoff) rescan(e);
    return;
  }
  if (!e->running) return;
  if (e->reopen_pending) {
    e->reopen_pending = false;
    char name[AUDIO_NAME_BYTES];
    memcpy(name, e->rows[e->cur_row].name, sizeof name);
    double rate = e->rate;
    log_line("audio: reopening %s", name);
    engine_set_state(e, AUDIO_OPENING);
    engine_publish(e);
    if (!engine_stop_stream(e, false)) return;
    EngineFailure f;
    int row = engine_find_row(e, name);
    double rates[6];
    if (row >= 0) {
      int n = engine_rates_for(e, row, rate, false, rates);
      if (engine_open_and_start(e, row, rates, n, false, &f)) {
        engine_go_running(e);
        return;
      }
    } else {
      engine_fail(&f, AUDIO_CAUSE_OTHER, "'%s' isn't connected", name);
    }
    if (!e->gave_up.load()) engine_enter_recovering(e, f.cause, f.message, true);
    return;
  }
  if (strcmp(e->rows[e->cur_row].name, e->set.resolved) != 0 && now >= e->next_wanted_check) {
    e->next_wanted_check = now + kWantedCheckMs;
    return_to_wanted(e);
  }
}

// --- Device watch -------------------------------------------------------------------------

void poll_devices(AudioEngine* e, uint64_t now) {
  uint32_t counts = e->probe->device_counts(e->probe->user);
  bool denied = e->probe->microphone_denied(e->probe->user);
  if (counts != e->counts) {
    e->counts = counts;
    log_line("audio: hardware changed (%u inputs, %u outputs)", counts >> 16, counts & 0xFFFFu);
    if (e->running && strcmp(e->rows[e->cur_row].name, e->set.resolved) != 0) {
      e->rescan_pending = true;
    }
    if (e->st.state == AUDIO_RECOVERING || e->st.state == AUDIO_DOWN) {
      if (e->next_attempt > now + kRetryStepMs) e->next_attempt = now + kRetryStepMs;
    }
  }
  if (denied && !e->mic_off) {
    e->mic_off = true;
    log_line("audio: microphone access is OFF for desktop apps (Settings > Privacy > Microphone)");
    engine_set_message(e, "microphone access is off for desktop apps");
  } else if (!denied && e->mic_off) {
    e->mic_off = false;
    log_line("audio: microphone access is back on");
    if (e->cause == AUDIO_CAUSE_ACCESS_DENIED) {
      e->cause = e->running ? AUDIO_CAUSE_NONE : AUDIO_CAUSE_OTHER;
    }
    engine_clear_message(e);
    if (e->running) e->reopen_pending = true;
    if (e->st.state == AUDIO_RECOVERING || e->st.state == AUDIO_DOWN) e->next_attempt = now;
  }
  engine_publish(e);
}

void resume_check(AudioEngine* e, uint64_t now) {
  bool flagged = e->resume_pending.exchange(false);
  if (!flagged && now - e->last_loop <= kResumeGapMs) return;
  log_line("audio: resumed - checking the stream");
  e->force_reinit = true;
  if (e->running) {
    e->hb_last = e->callbacks.load(std::memory_order_relaxed);
    e->hb_deadline = now + kHeartbeatGraceMs;
  }
  if (e->st.state == AUDIO_RECOVERING || e->st.state == AUDIO_DOWN) e->next_attempt = now;
}

}  // namespace

// --- Threads ------------------------------------------------------------------------------

void engine_control_main(AudioEngine* e) {
  uint64_t started = engine_now_ms(e);
  core_set_running(e->core, false);
  core_set_free_immediately(e->core, true);
  e->counts = e->probe->device_counts(e->probe->user);
  if (e->probe->microphone_denied(e->probe->user)) {
    e->mic_off = true;
    log_line("audio: microphone access is OFF for desktop apps (Settings > Privacy > Microphone)");
  }
  engine_set_state(e, AUDIO_OPENING);
  engine_publish(e);
  engine_pa_start(e);
  if (e->st.state == AUDIO_OPENING) engine_set_state(e, AUDIO_CLOSED);
  engine_publish(e);
  e->last_loop = engine_now_ms(e);
  // The first poll is due a second after the thread started, however long PortAudio took.
  e->next_poll = started + kPollMs;
  e->next_quiesce = e->last_loop + kQuiesceMs;

  while (!e->quit.load() && !e->abandon.load()) {
    uint64_t wait = e->running ? 50 : 100;
    if (!e->running && (e->st.state == AUDIO_RECOVERING || e->st.state == AUDIO_DOWN)) {
      // Wake for a due attempt rather than up to a pass late, so the schedule holds.
      uint64_t now = engine_now_ms(e);
      uint64_t due = e->next_attempt > now ? e->next_attempt - now : 0;
      if (due < wait) wait = due;
    }
    e->wake.wait(wait);
    if (e->quit.load() || e->abandon.load()) break;
    uint64_t now = engine_now_ms(e);
    resume_check(e, now);
    engine_run_commands(e);
    watch(e);
    now = engine_now_ms(e);
    if (now >= e->next_poll) {
      e->next_poll = now + kPollMs;
      poll_devices(e, now);
    }
    supervise(e);
    now = engine_now_ms(e);
    if (!e->running && !e->hung && (e->st.state == AUDIO_RECOVERING || e->st.state == AUDIO_DOWN) &&
        now >= e->next_attempt && !e->quit.load()) {
      engine_recovery_attempt(e, e->attempts >= 5 ? 2 : 0);
    }
    now = engine_now_ms(e);
    if (!e->running && !e->stream &&
        (e->st.state == AUDIO_RECOVERING || e->st.state == AUDIO_DOWN) && now >= e->next_quiesce) {
      e->next_quiesce = now + kQuiesceMs;
      if (engine_core_unreachable(e)) core_quiesce(e->core);
    }
    engine_publish(e);
    e->last_loop = engine_now_ms(e);
  }

  if (!e->abandon.load()) {
    if (!e->stream || engine_stop_stream(e, false)) {
      if (e->pa_init) {
        int r;
        if (engine_guarded(e, "shutting PortAudio down", kLimitStopPa, engine_w_terminate, nullptr,
                           &r) != ENGINE_CALL_GIVEN_UP)
          e->pa_init = false;
      }
    }
  }
  e->running = false;
  engine_set_state(e, AUDIO_CLOSED);
  engine_publish(e);
  if (!e->gave_up.load()) {
    e->worker_stop.store(true);
    e->request.signal();
    uint64_t start = platform_tick_ms();
    for (uint64_t waited = 0; !e->worker_ended.load() && waited < kWorkerWaitMs;
         waited = platform_tick_ms() - start) {
      e->worker_ended_event.wait(kWorkerWaitMs - waited);
    }
  }
  e->control_ended.store(true);
  e->control_ended_event.signal();
}
