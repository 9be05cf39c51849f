#include "core/core.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/core_internal.h"
#include "platform/platform.h"
#include "base/log.h"

namespace {

enum { BLOCK_IN_L, BLOCK_IN_R, BLOCK_COND_L, BLOCK_COND_R, BLOCK_SPARE_L, BLOCK_SPARE_R, BLOCKS };

inline float* scratch_block(Core* c, int which) {
  return c->scratch + which * CORE_MAX_FRAMES;
}

inline int64_t clamp64(int64_t v, int64_t lo, int64_t hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

CoreEvent event_of(const Core* c, int32_t kind) {
  CoreEvent e;
  std::memset(&e, 0, sizeof e);
  e.kind = kind;
  e.take_id = c->take_id;
  e.levels_written = c->levels.write_index.load(std::memory_order_relaxed);
  return e;
}

bool try_post_resync(Core* c) {
  if (!spsc_has_room(&c->events)) return false;
  CoreEvent e = event_of(c, EV_RESYNC);
  e.segment_start = c->segment_start;
  e.segment_length = c->segment_length;
  e.capture_start = c->capture_start;
  e.capture_pos = c->capture_pos;
  e.value = (uint64_t)c->cursor;
  spsc_push(&c->events, e);
  c->events_overflowed = 0;
  return true;
}

void publish_status(Core* c) {
  CoreStatus s;
  std::memset(&s, 0, sizeof s);
  s.cursor = c->cursor;
  s.main_length = tape_length(c->main);
  s.segment_start = c->segment_start;
  s.segment_length = c->segment_length;
  s.capture_pos = c->capture_pos;
  s.preview_pos = c->preview_pos;
  s.preview_length = tape_length(c->preview);
  s.levels_written = c->levels.write_index.load(std::memory_order_relaxed);
  s.display_pos = (c->scrubbing || c->coasting) ? c->scrub_pos : (double)c->cursor;
  uint32_t f = 0;
  if (c->playing) f |= CORE_STATUS_PLAYING;
  if (c->recording) f |= CORE_STATUS_RECORDING;
  if (c->scrubbing) f |= CORE_STATUS_SCRUBBING;
  if (c->coasting) f |= CORE_STATUS_COASTING;
  if (c->stopping) f |= CORE_STATUS_TAIL;
  if (c->loop_on) f |= CORE_STATUS_LOOP_ON;
  if (c->tape_full) f |= CORE_STATUS_TAPE_FULL;
  if (c->running.load(std::memory_order_relaxed)) f |= CORE_STATUS_RUNNING;
  if (c->preview) f |= CORE_STATUS_PREVIEW;
  if (c->seek_pending) f |= CORE_STATUS_SEEK_PENDING;
  if (c->main) f |= CORE_STATUS_MAIN_TAPE;
  s.flags = f;
  s.callbacks = (uint32_t)c->n_callbacks;
  s.input_level = c->input_level;
  s.input_peak = c->input_peak;
  s.output_peak = c->output_peak;
  s.playback_gain = c->gain_in_use;
  s.sample_rate = c->rates.rate;
  s.channels = c->channels;
  s.take_id = c->take_id;
  s.oversize_callbacks = c->n_oversize;
  s.nonfinite_callbacks = c->n_nonfinite;
  s.events_dropped = c->n_events_dropped;
  s.levels_dropped = c->n_levels_dropped;
  s.missing_chunk_frames = c->n_missing;
  s.flagged_callbacks = c->n_flagged;

  seqlock_write(&c->status, s);

  c->pub_cursor.store(c->cursor, std::memory_order_relaxed);
  c->pub_capture_pos.store(c->capture_pos, std::memory_order_relaxed);
}

// CMD_PLAY_FROM, CMD_LOCATE and CMD_LOCATE_MID_TAKE.
void apply_locate(Core* c, const CoreCommand* cmd, bool play) {
  if (!c->main) return;
  int64_t a = cmd->a;
  if (a < 0 && !play) a = 0;
  if (a >= 0) {
    if (c->recording) {
      int64_t limit = (int64_t)c->main->max_chunks * TAPE_CHUNK_FRAMES - 1;
      int64_t target = a < limit ? a : limit;
      if (c->fade > CORE_FADE_JUMP) {
        c->seek_target = target;
        c->seek_pending = 1;
      } else {
        // A newer jump replaces one still waiting.
        c->seek_pending = 0;
        core_post_segment(c, EV_SPLIT_JUMP, target);
        c->cursor = target;
        c->fast_fade = 1;
      }
    } else {
      int64_t len = tape_length(c->main);
      int64_t target = a < len ? a : len;
      if (c->scrubbing) {
        c->cursor = target;
        c->scrub_pos = c->scrub_target = (double)target;
      } else if (c->coasting) {
        c->coasting = 0;
        c->coast_velocity = 0.0;
        c->cursor = target;
        core_post_value(c, EV_CURSOR_SETTLED, (uint64_t)c->cursor);
      } else if (!c->stopping) {
        c->seek_pending = 0;
        c->cursor = target;
      } else if (c->fade > CORE_FADE_OFF) {
        c->seek_target = target;
        c->seek_pending = 1;
      } else {
        c->seek_pending = 0;
        core_end_tail(c);
        c->cursor = target;
      }
    }
  }
  if (play) c->playing = 1;
}

void apply_attach(Core* c, const CoreCommand* cmd) {
  Tape* old_main = c->main;
  Tape* old_cap = c->capture;
  Tape* new_main = cmd->tape;
  Tape* new_cap = cmd->tape2;
  // Publish the new tapes before the old ones enter the retire ring: once the collector has
  // taken an old tape from the ring it can no longer load it as a live tape and maintain it
  // after freeing it.
  c->pub_main.store(new_main, std::memory_order_release);
  c->pub_capture.store(new_cap, std::memory_order_release);
  if (old_main && old_main != new_main && old_main != new_cap) core_retire_tape(c, old_main);
  if (old_cap && old_cap != old_main && old_cap != new_main && old_cap != new_cap)
    core_retire_tape(c, old_cap);
  c->playing = c->recording = c->stopping = c->seek_pending = c->fast_fade = 0;
  c->command_held = c->tape_full = c->scrubbing = c->coasting = c->was_playing = 0;
  c->fade = 0.0f;
  c->scrub_velocity = c->coast_velocity = 0.0;
  c->scrub_gain = 0.0f;
  c->segment_length = 0;
  c->segment_dropped = 0;
  c->hop_acc = 0.0;
  c->hop_frames = 0;
  c->hop_peak = 0.0f;
  c->main = new_main;
  c->capture = new_cap;
  c->cursor = new_main ? clamp64(cmd->a, 0, tape_length(new_main)) : 0;
  c->capture_pos = c->capture_start = tape_length(new_cap);
  c->segment_start = c->cursor;
  core_post_value(c, EV_ATTACHED, (uint64_t)c->cursor);
}

void apply_record(Core* c, const CoreCommand* cmd) {
  if (c->recording || !c->main) return;
  if (c->scrubbing || c->coasting) core_scrub_stop_now(c);
  if (c->stopping) {
    c->command_held = 0;
    core_end_tail(c);
  }
  if (c->loop_on && c->cursor >= c->loop_out) c->cursor = c->loop_in;
  c->recording = 1;
  c->take_id = (int32_t)(uint32_t)((uint64_t)cmd->b & 0xFFFFFFFFu);
  c->segment_start = c->cursor;
  c->capture_start = c->capture_pos;
  c->segment_length = 0;
  c->hop_acc = 0.0;
  c->hop_frames = 0;
  c->hop_peak = 0.0f;
  c->segment_dropped = 0;
  c->fast_fade = c->command_held = c->tape_full = 0;
  level_meter_reset(&c->meter);
  if (cmd->flags & CMD_FLAG_PLAY) c->playing = 1;
  // fade is left alone: a record during a tail ramps back up from where the envelope is.
  CoreEvent e = event_of(c, EV_TAKE_STARTED);
  e.segment_start = c->cursor;
  e.capture_start = e.capture_pos = c->capture_pos;
  e.value = (uint64_t)c->cursor;
  core_post_event(c, &e);
}

void apply_command(Core* c, const CoreCommand* cmd) {
  switch (cmd->kind) {
    case CMD_ATTACH:
      apply_attach(c, cmd);
      break;
    case CMD_PLAY_FROM:
      apply_locate(c, cmd, true);
      break;
    case CMD_STOP:
      c->playing = 0;
      break;
    case CMD_LOCATE:
    case CMD_LOCATE_MID_TAKE:
      apply_locate(c, cmd, false);
      break;
    case CMD_RECORD:
      apply_record(c, cmd);
      break;
    case CMD_RECORD_STOP:
      if (c->recording) {
        core_post_segment(c, EV_TAKE_ENDED, c->cursor);
        c->recording = 0;
        c->stopping = 1;
        c->fast_fade = 0;
      }
      break;
    case CMD_LOOP:
      c->loop_in = cmd->a < 1 ? 0 : cmd->a;
      c->loop_out = cmd->b < 1 ? 0 : cmd->b;
      c->loop_on = (cmd->flags & CMD_FLAG_LOOP_ON) && c->loop_in < c->loop_out;
      break;
    case CMD_SCRUB_BEGIN:
      core_scrub_begin(c);
      break;
    case CMD_SCRUB_MOVE:
      core_scrub_move(c, cmd->value);
      break;
    case CMD_SCRUB_END:
      core_scrub_end(c, cmd->flags);
      break;
    case CMD_PREVIEW_SET:
      if (!cmd->tape) break;
      if (c->preview && c->preview != cmd->tape) core_retire_tape(c, c->preview);
      c->preview = cmd->tape;
      c->preview_pos = 0;
      break;
    case CMD_PREVIEW_CLEAR:
      if (c->preview) {
        core_retire_tape(c, c->preview);
        c->preview = nullptr;
        c->preview_pos = 0;
      }
      break;
    case CMD_PREVIEW_SEEK:
      if (c->preview) c->preview_pos = clamp64(cmd->a, 0, tape_length(c->preview));
      break;
    default:
      break;
  }
}

bool command_waits(const Core* c, uint32_t kind) {
  if (c->recording) return false;
  if (kind == CMD_RECORD) return c->seek_pending;
  if (kind == CMD_SCRUB_BEGIN) return c->stopping || c->seek_pending;
  return false;
}

// Settles a held state at once (quiesce only: no callback will finish it).
void finish_pending(Core* c) {
  c->fade = 0.0f;
  c->fast_fade = 0;
  c->command_held = 0;
  if (c->seek_pending) {
    c->cursor = clamp64(c->seek_target, 0, tape_length(c->main));
    c->seek_pending = 0;
  }
  if (c->stopping) core_end_tail(c);
}

void apply_commands(Core* c, bool force) {
  CoreCommand cmd;
  while (spsc_peek(&c->commands, &cmd)) {
    if (command_waits(c, cmd.kind)) {
      if (!force) {
        c->command_held = 1;  // hurries the envelope so the wait is short
        return;
      }
      finish_pending(c);
    }
    spsc_drop(&c->commands);
    apply_command(c, &cmd);
  }
}

void render_idle(Core* c, const float* cl, const float* cr, float* out_l, float* out_r, int n,
                 bool monitor) {
  core_idle_output(cl, cr, out_l, out_r, 0, n, monitor);
  c->fade = 0.0f;
  c->fast_fade = 0;
  if (c->seek_pending) {
    c->cursor = clamp64(c->seek_target, 0, tape_length(c->main));
    c->seek_pending = 0;
  }
  if (c->stopping) core_end_tail(c);
}

inline bool apart(const float* a, const float* b, int n) {
  const uintptr_t x = (uintptr_t)a, y = (uintptr_t)b, len = sizeof(float) * (size_t)n;
  return x + len <= y || y + len <= x;
}

// The block of one input channel to read: src itself when no output overlaps it and nothing in
// it needs cleaning, else a cleaned copy (zeros for no input) in the scratch block.
const float* take_input(Core* c, const float* src, const float* out_l, const float* out_r, int n,
                        int block, BlockScan* scan) {
  if (src && apart(src, out_l, n) && apart(src, out_r, n)) {
    *scan = block_scan(src, n);
    if (scan->replaced == 0) return src;
  }
  float* dst = scratch_block(c, block);
  *scan = block_take(dst, src, n);
  return dst;
}

void render_preview(Core* c, float* out_l, float* out_r, int n) {
  Tape* p = c->preview;
  int64_t plen = tape_length(p);
  int64_t pos = c->preview_pos;
  // One chunk pointer per stretch; an absent chunk is silent.
  for (int i = 0; i < n && pos < plen;) {
    int m =
        (int)std::min<int64_t>({n - i, plen - pos, TAPE_CHUNK_FRAMES - (pos & TAPE_CHUNK_MASK)});
    if (const float* fr = tape_frame_ptr(p, pos)) {
      for (int j = 0; j < m; j++) {
        out_l[i + j] += fr[2 * j];
        out_r[i + j] += fr[2 * j + 1];
      }
    }
    i += m;
    pos += m;
  }
  c->preview_pos = pos;
  if (pos >= plen) {
    core_retire_tape(c, p);
    c->preview = nullptr;
    c->preview_pos = 0;
    core_post_value(c, EV_PREVIEW_ENDED, (uint64_t)plen);
  }
}

}  // namespace

void core_post_event(Core* c, const CoreEvent* ev) {
  if (c->events_overflowed) {
    try_post_resync(c);
    if (c->events_overflowed) {
      c->n_events_dropped++;
      return;
    }
  }
  if (!spsc_push(&c->events, *ev)) {
    c->events_overflowed = 1;
    c->n_events_dropped++;
  }
}

void core_post_value(Core* c, int32_t kind, uint64_t value) {
  CoreEvent e = event_of(c, kind);
  e.value = value;
  core_post_event(c, &e);
}

void core_post_segment(Core* c, int32_t kind, int64_t next_start) {
  if (c->hop_frames > 0)
    core_push_level(c, c->hop_peak);  // the partial hop belongs to this segment
  CoreEvent e = event_of(c, kind);
  e.segment_start = c->segment_start;
  e.segment_length = c->segment_length;
  e.capture_start = c->capture_start;
  e.capture_pos = c->capture_pos;
  e.value = (uint64_t)next_start;
  e.dropped_levels = (uint64_t)c->segment_dropped;
  core_post_event(c, &e);
  c->segment_start = next_start;
  c->segment_length = 0;
  c->capture_start = c->capture_pos;
  c->segment_dropped = 0;
  c->hop_acc = 0.0;
  c->hop_frames = 0;
  c->hop_peak = 0.0f;
}

void core_end_tail(Core* c) {
  c->stopping = 0;
  core_post_value(c, EV_TAIL_DONE, (uint64_t)tape_length(c->main));
}

Core* core_new() {
  Core* c = new (std::nothrow) Core();
  if (!c) {
    log_line("core: out of memory creating the core");
    return nullptr;
  }
  c->scratch = (float*)std::calloc((size_t)BLOCKS * CORE_MAX_FRAMES, sizeof(float));
  if (!c->scratch) {
    delete c;
    log_line("core: out of memory creating the core");
    return nullptr;
  }
  c->rates = core_rates_for(TAPE_DEFAULT_RATE);
  c->channels = 2;
  xy_mixer_reset(&c->xy);
  level_meter_reset(&c->meter);
  c->playback_gain.store(1.0f, std::memory_order_relaxed);
  c->scrub_scale.store(1.0f, std::memory_order_relaxed);
  c->x.store(0.0f, std::memory_order_relaxed);
  c->y.store(0.0f, std::memory_order_relaxed);
  c->running.store(false, std::memory_order_relaxed);
  c->free_immediately.store(true, std::memory_order_relaxed);
  c->monitor.store(false, std::memory_order_relaxed);
  c->gain_in_use = 1.0f;
  publish_status(c);
  return c;
}

void core_process(Core* c, const float* in_l, const float* in_r, int channels, float* out_l,
                  float* out_r, int frames, uint32_t status_word) {
  if (!c || frames < 1) return;
  PlatformDenormalGuard denormals;
  const int n = frames;
  const size_t bytes = sizeof(float) * (size_t)n;

  if (n > CORE_MAX_FRAMES) {
    if (out_l) std::memset(out_l, 0, bytes);
    if (out_r) std::memset(out_r, 0, bytes);
    if (c->running.load(std::memory_order_relaxed)) {
      c->n_oversize++;
      publish_status(c);
    }
    return;
  }
  if (!out_l) out_l = scratch_block(c, BLOCK_SPARE_L);
  if (!out_r) out_r = scratch_block(c, BLOCK_SPARE_R);
  if (!c->running.load(std::memory_order_relaxed)) {
    std::memset(out_l, 0, bytes);
    std::memset(out_r, 0, bytes);
    return;
  }

  c->n_callbacks++;
  // Before any chunk pointer is loaded, and seq_cst like those loads: the collector counts the
  // callbacks that could still hold a chunk it released by this number (tape_maintain).
  c->pub_callbacks.store(c->n_callbacks, std::memory_order_seq_cst);
  if (status_word != 0) c->n_flagged++;

  core_drain_overflow(c);
  if (c->events_overflowed) try_post_resync(c);
  apply_commands(c, false);

  const bool monitor = c->monitor.load(std::memory_order_relaxed);
  const float x = c->x.load(std::memory_order_relaxed);
  const float y = c->y.load(std::memory_order_relaxed);
  const float gain = c->playback_gain.load(std::memory_order_relaxed);
  const float scale = c->scrub_scale.load(std::memory_order_relaxed);
  c->gain_in_use = gain;

  // The input is read where it lies unless an output overlaps it (a driver that processes in
  // place) or it holds something to clean: then it is copied before any output is written.
  const bool stereo = in_l && in_r && channels >= 2;
  BlockScan sl, sr;
  const float* il = take_input(c, in_l, out_l, out_r, n, BLOCK_IN_L, &sl);
  const float* ir = il;
  sr = sl;
  if (stereo) ir = take_input(c, in_r, out_l, out_r, n, BLOCK_IN_R, &sr);
  if (sl.replaced + sr.replaced > 0) c->n_nonfinite++;
  c->input_peak = sl.peak > sr.peak ? sl.peak : sr.peak;
  // At the centre the conditioning passes the input through, and it is read from there too.
  float* cond_l = scratch_block(c, BLOCK_COND_L);
  float* cond_r = scratch_block(c, BLOCK_COND_R);
  const float* cl = cond_l;
  const float* cr = cond_r;
  if (xy_mixer_process_or_pass(&c->xy, &c->rates, il, ir, stereo ? 2 : 1, x, y, cond_l, cond_r, n,
                               sl.plain && sr.plain)) {
    cl = il;
    cr = ir;
  }
  c->input_level = level_meter_process(&c->meter, c->rates.ratio, cl, cr, n);

  if ((c->scrubbing || c->coasting) && c->main) {
    core_scrub_render(c, cl, cr, out_l, out_r, n, monitor, gain, scale);
  } else if (c->main &&
             (c->playing || c->recording || c->fade > CORE_FADE_OFF || c->seek_pending)) {
    core_render_tape(c, cl, cr, out_l, out_r, n, monitor, gain);
  } else {
    render_idle(c, cl, cr, out_l, out_r, n, monitor);
  }

  if (c->preview) render_preview(c, out_l, out_r, n);

  c->output_peak = soft_clip_block(out_l, out_r, n);

  if (c->playing && c->main && !c->loop_on && !c->recording && !c->stopping && !c->seek_pending &&
      !c->scrubbing && !c->coasting) {
    int64_t len = tape_length(c->main);
    if (len >= 1 && c->cursor >= len) {
      c->playing = 0;
      c->cursor = 0;
      core_post_value(c, EV_PLAY_END, 0);
    }
  }

  publish_status(c);
}

bool core_push_command(Core* c, const CoreCommand* cmd) {
  if (!c || !cmd) return false;
  return spsc_push(&c->commands, *cmd);
}

bool core_pop_event(Core* c, CoreEvent* out) {
  if (!c || !out) return false;
  return spsc_pop(&c->events, out);
}

int core_read_levels(Core* c, float* out, int32_t most, int64_t up_to) {
  if (!c || !out || most <= 0) return 0;
  return (int)spsc_pop_many(&c->levels, out, (int64_t)most, up_to);
}

bool core_read_status(Core* c, CoreStatus* out) {
  if (!c || !out) return false;
  // After a thousand torn tries a copy would be a guess; no snapshot is better than a torn one.
  if (!seqlock_read(&c->status, out)) return false;
  if (c->running.load(std::memory_order_relaxed))
    out->flags |= CORE_STATUS_RUNNING;
  else
    out->flags &= ~(uint32_t)CORE_STATUS_RUNNING;
  return true;
}

void core_quiesce(Core* c) {
  if (!c) return;
  // No callback runs now, so the overflow and a lost-events notice move on here instead.
  core_drain_overflow(c);
  if (c->events_overflowed) try_post_resync(c);
  apply_commands(c, true);
  if (c->recording) {
    core_post_segment(c, EV_TAKE_ENDED, c->cursor);
    c->recording = 0;
    c->stopping = 1;
  }
  finish_pending(c);
  if (c->scrubbing || c->coasting) core_scrub_stop_now(c);
  c->was_playing = 0;
  c->scrub_gain = 0.0f;
  publish_status(c);
}

void core_set_rate(Core* c, double rate, int channels) {
  if (!c) return;
  c->rates = core_rates_for(rate);
  c->channels = channels > 0 ? channels : 0;
  xy_mixer_clear_filters(&c->xy);
  level_meter_reset(&c->meter);
  c->fade = 0.0f;
  c->scrub_gain = 0.0f;
  c->input_peak = c->output_peak = c->input_level = 0.0f;
  publish_status(c);
}

void core_set_running(Core* c, bool on) {
  if (c) c->running.store(on, std::memory_order_relaxed);
}

void core_set_free_immediately(Core* c, bool on) {
  if (c) c->free_immediately.store(on, std::memory_order_relaxed);
}

void core_set_monitor(Core* c, bool on) {
  if (c) c->monitor.store(on, std::memory_order_relaxed);
}

void core_set_playback_gain(Core* c, float gain) {
  if (!c) return;
  if (!(gain > 0.0f && gain < 1000000.0f)) gain = 1.0f;
  c->playback_gain.store(gain, std::memory_order_relaxed);
}

void core_set_scrub_scale(Core* c, float scale) {
  if (!c) return;
  if (std::isnan(scale)) scale = 1.0f;
  c->scrub_scale.store(scale, std::memory_order_relaxed);
}

void core_set_xy(Core* c, float x, float y) {
  if (!c) return;
  c->x.store(x, std::memory_order_relaxed);
  c->y.store(y, std::memory_order_relaxed);
}
