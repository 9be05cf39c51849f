// Commands the UI posted, run one at a time on the control thread.
#include "audio/audio_engine_internal.h"

#include <cmath>
#include <cstring>
#include <mutex>

#include "base/log.h"
#include "core/tape.h"

namespace {

int clamp_frames(int v) {
  if (v < 1) return AUDIO_DEFAULT_FRAMES;
  return v < 32 ? 32 : v > AUDIO_MAX_FRAMES ? AUDIO_MAX_FRAMES : v;
}

int clamp_rate(int v) {
  if (v < 1) return 0;
  return v < 8000 ? 8000 : v > 384000 ? 384000 : v;
}

int try_now(AudioEngine* e) {
  if (e->st.state == AUDIO_CLOSED) return AUDIO_DONE;
  e->attempts = 0;
  return engine_recovery_attempt(e, 0) ? AUDIO_DONE : AUDIO_FAILED;
}

// Reopen with rollback; `old` is the setup to put back when the target refuses.
int reopen(AudioEngine* e, int target, const double* rates, int nrates, const EngineSettings* old) {
  char prev[AUDIO_NAME_BYTES];
  memcpy(prev, e->rows[e->cur_row].name, sizeof prev);
  double prev_rate = e->rate;
  engine_set_state(e, AUDIO_OPENING);
  engine_publish(e);
  if (!engine_stop_stream(e, false)) return AUDIO_FAILED;
  EngineFailure f;
  if (engine_open_and_start(e, target, rates, nrates, false, &f)) {
    engine_go_running(e);
    return AUDIO_DONE;
  }
  if (e->gave_up.load()) return AUDIO_FAILED;
  log_line("audio: refused (%s) - putting back %s", f.message, prev);
  e->set = *old;
  int back = engine_find_row(e, prev);
  if (back < 0) {
    engine_fail(&f, AUDIO_CAUSE_OTHER, "'%s' isn't connected", prev);
    engine_enter_recovering(e, f.cause, f.message, true);
    return AUDIO_FAILED;
  }
  double back_rates[6];
  int n = engine_rates_for(e, back, prev_rate, false, back_rates);
  if (engine_open_and_start(e, back, back_rates, n, false, &f)) {
    engine_go_running(e);
    return AUDIO_REFUSED;
  }
  if (!e->gave_up.load()) engine_enter_recovering(e, f.cause, f.message, true);
  return AUDIO_FAILED;
}

bool on_other_device(AudioEngine* e) {
  return e->running && strcmp(e->rows[e->cur_row].name, e->set.resolved) != 0;
}

// Returns the result, or 1 when the command reports later (RESCAN).
int run_command(AudioEngine* e, const AudioCommand* c, uint32_t id) {
  EngineSettings old = e->set;
  switch (c->kind) {
    case AUDIO_OPEN: {
      char wanted[AUDIO_NAME_BYTES];
      engine_copy_text(wanted, sizeof wanted, c->device);
      if (strcmp(wanted, e->set.wanted) != 0) {
        memcpy(e->set.wanted, wanted, sizeof wanted);
        memset(e->set.resolved, 0, sizeof e->set.resolved);
      }
      e->set.frames = clamp_frames(c->frames);
      e->set.rate = clamp_rate(c->rate);
      e->set.exclusive = c->exclusive != 0;
      if (e->running) return AUDIO_DONE;
      log_line("audio: open - device '%s'  %d frames  rate %s  %s",
               e->set.wanted[0] ? e->set.wanted : "(auto)", e->set.frames,
               e->set.rate > 0 ? "fixed" : "AUTO",
               e->set.exclusive ? "exclusive wanted" : "shared");
      engine_set_state(e, AUDIO_OPENING);
      engine_clear_message(e);
      e->attempts = 0;
      e->st.attempt = 0;
      e->last_running_rate = 0;
      engine_publish(e);
      EngineFailure f;
      if (!engine_pa_start(e)) {
        if (e->gave_up.load()) return AUDIO_FAILED;
        f.cause = e->cause;
        engine_copy_text(f.message, sizeof f.message, e->st.message);
      } else if (engine_open_with_fallback(e, -1, 0, false, &f)) {
        engine_go_running(e);
        return AUDIO_DONE;
      }
      if (!e->gave_up.load()) engine_enter_recovering(e, f.cause, f.message, false);
      return AUDIO_FAILED;
    }
    case AUDIO_SET_DEVICE: {
      int row = c->value;
      if (!e->pa_init || row < 0 || row >= e->row_count) {
        engine_set_message(e, "that device is gone - rescan");
        return AUDIO_REFUSED;
      }
      engine_copy_text(e->set.wanted, sizeof e->set.wanted, e->rows[row].name);
      engine_copy_text(e->set.resolved, sizeof e->set.resolved, e->rows[row].name);
      if (!e->running) return try_now(e);
      if (row == e->cur_row) {
        engine_go_running(e);
        return AUDIO_DONE;
      }
      char target[AUDIO_NAME_BYTES], kept[AUDIO_NAME_BYTES];
      memcpy(target, e->rows[row].name, sizeof target);
      memcpy(kept, e->rows[e->cur_row].name, sizeof kept);
      log_line("audio: switching to %s", target);
      double rates[6];
      int n = engine_rates_for(e, row, e->rate, false, rates);
      int r = reopen(e, row, rates, n, &old);
      if (r == AUDIO_REFUSED)
        engine_set_message(e, "'%s' would not open - kept '%s'", target, kept);
      return r;
    }
    case AUDIO_SET_BUFFER: {
      int frames = clamp_frames(c->value);
      e->set.frames = frames;
      if (!e->running) return try_now(e);
      if (frames == e->frames) return AUDIO_DONE;
      int kept = e->frames;
      log_line("audio: buffer %d -> %d frames", kept, frames);
      double rates[6];
      int n = engine_rates_for(e, e->cur_row, e->rate, false, rates);
      int r = reopen(e, e->cur_row, rates, n, &old);
      if (r == AUDIO_REFUSED) {
        e->cause = AUDIO_CAUSE_BUFFER_REFUSED;
        engine_set_message(e, "buffer %d refused - kept %d", frames, kept);
      }
      return r;
    }
    case AUDIO_SET_RATE: {
      int rate = clamp_rate(c->value);
      e->set.rate = rate;
      if (!e->running) {
        e->last_running_rate = 0;
        return try_now(e);
      }
      bool right = rate == 0 ? std::lround(e->rate) == std::lround(TAPE_DEFAULT_RATE) : (double)rate == e->rate;
      if (right) return AUDIO_DONE;
      double kept = e->rate;
      log_line("audio: rate %.0f -> %s", kept, rate > 0 ? "fixed" : "AUTO");
      double rates[6];
      int n = engine_rates_for(e, e->cur_row, 0, true, rates);
      int r = reopen(e, e->cur_row, rates, n, &old);
      if (r == AUDIO_REFUSED) {
        e->cause = AUDIO_CAUSE_RATE_REFUSED;
        if (rate > 0) {
          engine_set_message(e, "%d Hz refused - kept %.0f Hz", rate, kept);
        } else {
          engine_set_message(e, "AUTO refused - kept %.0f Hz", kept);
        }
      }
      if (r == AUDIO_DONE) e->last_running_rate = e->rate;
      return r;
    }
    case AUDIO_SET_EXCLUSIVE: {
      bool on = c->value != 0;
      bool changed = on != e->set.exclusive;
      e->set.exclusive = on;
      if (!e->running) return try_now(e);
      if (changed && e->rows[e->cur_row].host_type == paWASAPI) {
        log_line("audio: exclusive %s", on ? "ON" : "OFF");
        double rates[6];
        int n = engine_rates_for(e, e->cur_row, e->rate, false, rates);
        return reopen(e, e->cur_row, rates, n, &old);
      }
      return AUDIO_DONE;
    }
    case AUDIO_LIST_DEVICES: {
      if (!e->pa_init) return AUDIO_FAILED;
      char cur[AUDIO_NAME_BYTES] = {0};
      if (e->running) memcpy(cur, e->rows[e->cur_row].name, sizeof cur);
      int r;
      if (engine_guarded(e, "listing devices", kLimitList, engine_w_list, nullptr, &r) ==
          ENGINE_CALL_GIVEN_UP) {
        return AUDIO_FAILED;
      }
      engine_publish_rows(e);
      if (e->running) {
        e->cur_row = engine_find_row(e, cur);
        e->st.row = e->cur_row;
        if (e->cur_row < 0) {
          // Cannot happen with PortAudio (its list is fixed until it restarts); be safe anyway.
          e->cur_row = -1;
          log_line("audio: LOST %s - %s", cur, "the device is gone");
          if (engine_stop_stream(e, true))
            engine_enter_recovering(e, AUDIO_CAUSE_OTHER, "the device is gone", true);
          return AUDIO_FAILED;
        }
      } else {
        e->st.row = engine_find_row(e, e->set.resolved);
      }
      return AUDIO_DONE;
    }
    case AUDIO_RESCAN:
      e->rescan_pending = true;
      e->rescan_by_command = true;
      e->rescan_id = id;
      log_line("audio: rescan asked for");
      return 1;
    case AUDIO_DRIVER_PANEL:
      engine_set_message(e, "the driver panel is for ASIO devices only");
      log_line("audio: driver panel asked for - this build has no ASIO");
      return AUDIO_REFUSED;
    case AUDIO_RETRY:
      if (e->running) return AUDIO_DONE;
      log_line("audio: RETRY");
      e->attempts = 0;
      e->force_reinit = true;
      return engine_recovery_attempt(e, -1) ? AUDIO_DONE : AUDIO_FAILED;
    case AUDIO_CLOSE: {
      if (e->stream && !engine_stop_stream(e, false)) return AUDIO_FAILED;
      if (e->pa_init) {
        int r;
        if (engine_guarded(e, "shutting PortAudio down", kLimitStopPa, engine_w_terminate, nullptr,
                           &r) == ENGINE_CALL_GIVEN_UP)
          return AUDIO_FAILED;
        e->pa_init = false;
      }
      e->running = false;
      e->cur_row = -1;
      e->st.row = engine_find_row(e, e->set.resolved);
      memset(e->st.wanted, 0, sizeof e->st.wanted);
      e->attempts = 0;
      e->st.attempt = 0;
      e->next_attempt = 0;
      e->rescan_pending = false;
      e->rescan_by_command = false;
      e->reopen_pending = false;
      e->cause = AUDIO_CAUSE_NONE;
      engine_set_state(e, AUDIO_CLOSED);
      engine_clear_message(e);
      log_line("audio: closed");
      return AUDIO_DONE;
    }
    default:
      return AUDIO_REFUSED;
  }
}

bool collapsible(int kind) {
  return kind == AUDIO_SET_DEVICE || kind == AUDIO_SET_BUFFER || kind == AUDIO_SET_RATE ||
         kind == AUDIO_SET_EXCLUSIVE || kind == AUDIO_LIST_DEVICES || kind == AUDIO_RETRY;
}

}  // namespace

void engine_run_commands(AudioEngine* e) {
  while (!e->quit.load() && !e->abandon.load()) {
    AudioCommand c;
    uint32_t id;
    {
      std::lock_guard<std::mutex> g(e->ring_lock);
      if (e->ring_count == 0) return;
      c = e->ring[e->ring_head];
      id = e->ring_ids[e->ring_head];
      e->ring_head = (e->ring_head + 1) % AUDIO_COMMANDS_WAITING;
      e->ring_count--;
      while (collapsible(c.kind) && e->ring_count > 0 && e->ring[e->ring_head].kind == c.kind) {
        c = e->ring[e->ring_head];
        id = e->ring_ids[e->ring_head];
        e->ring_head = (e->ring_head + 1) % AUDIO_COMMANDS_WAITING;
        e->ring_count--;
      }
    }
    // A command that came in behind a hung call must not open a stream over the sealed one.
    engine_seal_stalled(e);
    if (e->cause == AUDIO_CAUSE_RATE_REFUSED || e->cause == AUDIO_CAUSE_BUFFER_REFUSED) {
      if (on_other_device(e)) {
        e->cause = e->wanted_first_failure != AUDIO_CAUSE_NONE ? e->wanted_first_failure
                                                               : AUDIO_CAUSE_IN_USE;
      } else {
        e->cause = AUDIO_CAUSE_NONE;
      }
      engine_clear_message(e);
    }
    int r = run_command(e, &c, id);
    if (r != 1 && id != 0) {
      e->st.last_command_id = id;
      e->st.last_command_result = r;
      e->st.last_command_kind = c.kind;
    }
    engine_publish(e);
  }
}
