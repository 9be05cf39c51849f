// The transport handlers: user actions turned into core commands, with the requested state shown
// at once (overrides) until the audio confirms it.
#include <cmath>
#include <cstring>
#include <vector>

#include "app/session.h"
#include "app/session_internal.h"
#include "core/analysis.h"
#include "core/tape.h"
#include "base/log.h"
#include "store/meta.h"
#include "store/settings.h"

namespace {

bool ready(const Session* s) {
  return s && s->state == SESSION_READY && s->main;
}

double tape_seconds(const Session* s) {
  return (double)session_tape_frames(s) / session_rate(s);
}

void end_scrub(Session* s, uint8_t flags) {
  if (!s->scrubbing) return;
  s->scrubbing = false;
  session_send_cmd(s, CMD_SCRUB_END, 0, 0, flags);
}

// A cursor key's target: clamped to the tape; nothing when within one hop of where it shows.
void seek_to(Session* s, double seconds, bool repeat) {
  if (!ready(s)) return;
  if (repeat && session_take_runs(s)) return;
  if (!std::isfinite(seconds)) return;
  const int64_t len = session_tape_frames(s);
  int64_t target = session_frames_of(s, seconds);
  if (target > len) target = len;
  if (target < 0) target = 0;
  const int64_t here = session_displayed_frames(s);
  const double hop = analysis_hop_size(s->rate);
  if ((double)llabs(target - here) < hop) return;
  session_locate(s, target);
  view_follow_again(&s->view);
}

}  // namespace

// ---- recording ----

void session_start_recording(Session* s) {
  end_scrub(s, 0);
  s->take.id_counter++;
  if (s->take.id_counter == 0) s->take.id_counter = 1;
  const bool play_along = session_tape_frames(s) > 0;
  session_send_cmd(s, CMD_RECORD, 0, (int64_t)s->take.id_counter, play_along ? CMD_FLAG_PLAY : 0);
  if (play_along) session_set_play_override(s, 1);
  s->take.requested = true;
  s->take.stop_requested = false;
  s->record_request_at = s->now;
  view_back_to_camera(&s->view);
  session_banner_set(s, BANNER_TAPE_FULL, false, "");
}

void session_stop_recording(Session* s) {
  session_send_cmd(s, CMD_RECORD_STOP);
  if (s->take.active || s->take.requested) s->take.stop_requested = true;
  s->mid_locate_deferred = false;
}

void session_stop_take(Session* s) {
  if (session_take_runs(s)) session_stop_recording(s);
  if (s) s->rec_waiting = false;
}

void session_record(Session* s) {
  if (!s) return;
  if (session_take_runs(s)) {
    session_stop_recording(s);
    return;
  }
  // A take already told to stop is still landing: a quick second press must not arm another.
  if (s->take.active) return;
  if (s->rec_waiting) {
    s->rec_waiting = false;
    return;
  }
  if (s->state == SESSION_NONE || s->state == SESSION_CLOSING) return;
  if (s->tape_unreadable) {
    session_notice(s, NOTICE_ERROR, 0, false,
                   "THIS SKETCH'S TAPE COULDN'T BE READ - RECORDING IS OFF", nullptr);
    return;
  }
  if (!session_have_engine(s) || session_device_failed(s)) {
    session_notice(s, NOTICE_ERROR, 0, false, "NO AUDIO INPUT - CHECK THE DEVICE", nullptr);
    return;
  }
  if (session_ready_to_record(s)) {
    session_start_recording(s);
  } else {
    s->rec_waiting = true;
    s->rec_waiting_at = s->now;
  }
}

// ---- play, stop, rewind ----

void session_play_pause(Session* s) {
  if (!ready(s)) return;
  if (session_take_runs(s)) {
    session_stop_recording(s);
    return;
  }
  const bool playing =
      s->play_override >= 0 ? s->play_override == 1 : (s->status.flags & CORE_STATUS_PLAYING) != 0;
  if (playing) {
    session_send_cmd(s, CMD_STOP);
    session_set_play_override(s, 0);
  } else if (session_tape_frames(s) > 0 && session_rates_match(s)) {
    session_send_cmd(s, CMD_PLAY_FROM, -1);
    session_set_play_override(s, 1);
    view_follow_again(&s->view);
  }
}

void session_stop(Session* s) {
  if (!s) return;
  s->rec_waiting = false;
  if (!ready(s)) return;
  if (session_take_runs(s)) session_stop_recording(s);
  session_send_cmd(s, CMD_STOP);
  session_set_play_override(s, 0);
}

void session_rewind(Session* s) {
  if (!ready(s)) return;
  int64_t target = session_frames_of(s, transport_loop_rewind_target(&s->loop));
  if (target < 0) target = 0;
  if (session_take_runs(s)) {
    session_set_locate_override(s, target);
    s->mid_locate_sent = true;
    s->mid_locate_at = s->now;
    s->mid_locate_deferred = false;
    session_send_cmd(s, CMD_LOCATE_MID_TAKE, target);
  } else {
    session_send_cmd(s, CMD_STOP);
    session_set_locate_override(s, target);
    session_send_cmd(s, CMD_LOCATE, target);
    session_set_play_override(s, 0);
  }
  view_follow_again(&s->view);
}

// ---- pointer and keys ----

void session_tap(Session* s, double span_fraction, double height) {
  if (!ready(s) || !std::isfinite(span_fraction)) return;
  double t = transport_click_time(span_fraction, session_span(s), tape_seconds(s));
  if (s->settings && s->settings->paint_mode && std::isfinite(height)) {
    s->has_click_height = true;
    s->click_height = height < 0.0 ? 0.0 : (height > 1.0 ? 1.0 : height);
  }
  int64_t target = session_frames_of(s, t);
  int64_t len = session_tape_frames(s);
  if (len > 0 && target > len) target = len;
  session_locate(s, target);
  if (session_take_runs(s)) view_follow_again(&s->view);
}

void session_strip_scrub(Session* s, double fraction) {
  if (!ready(s) || !std::isfinite(fraction)) return;
  double f = fraction < 0.0 ? 0.0 : (fraction > 1.0 ? 1.0 : fraction);
  int64_t target = session_frames_of(s, f * session_span(s));
  int64_t len = session_tape_frames(s);
  if (target > len) target = len;
  session_locate(s, target);
}

void session_cursor_step(Session* s, double seconds, bool repeat) {
  if (!ready(s) || !std::isfinite(seconds)) return;
  seek_to(s, session_displayed_seconds(s) + seconds, repeat);
}

void session_cursor_to_take(Session* s, int32_t direction, bool repeat) {
  if (!ready(s) || direction == 0) return;
  std::vector<double> starts;
  if (s->meta) {
    for (int32_t i = 0; i < s->meta->layerCount; i++) {
      const Layer* l = s->meta->layers[i];
      starts.push_back(transport_take_start_seconds(l->startSample, l->sampleRate, s->rate));
    }
  }
  if (s->take.active)
    starts.push_back(transport_take_start_seconds(s->take.start, s->rate, s->rate));
  const double x = session_displayed_seconds(s);
  const bool rolling = (s->status.flags & (CORE_STATUS_PLAYING | CORE_STATUS_RECORDING)) != 0;
  double target =
      direction < 0
          ? transport_step_previous(starts.data(), (int32_t)starts.size(), x, rolling)
          : transport_step_next(starts.data(), (int32_t)starts.size(), x, tape_seconds(s));
  seek_to(s, target, repeat);
}

void session_cursor_to_end(Session* s, bool end) {
  if (!ready(s)) return;
  seek_to(s, end ? tape_seconds(s) : 0.0, false);
}

void session_scrub_begin(Session* s, double x, double y) {
  if (!ready(s) || session_take_runs(s) || s->scrubbing) return;
  session_send_cmd(s, CMD_SCRUB_BEGIN);
  core_set_scrub_scale(s->core, (float)transport_scrub_speed_limit(y));
  s->scrubbing = true;
  s->scrub_x = std::isfinite(x) ? x : 0.0;
}

void session_scrub_move(Session* s, double x, double y) {
  if (!ready(s) || !s->scrubbing || !std::isfinite(x)) return;
  double delta = transport_scrub_delta(x - s->scrub_x, s->rate);
  s->scrub_x = x;
  core_set_scrub_scale(s->core, (float)transport_scrub_speed_limit(y));
  if (delta != 0.0) session_send_cmd(s, CMD_SCRUB_MOVE, 0, 0, 0, delta);
}

void session_scrub_end(Session* s) {
  if (!s || !s->scrubbing) return;
  end_scrub(s, CMD_FLAG_PLAY);
}

// ---- loop ----

void session_loop_toggle(Session* s) {
  if (!ready(s)) return;
  if (session_take_runs(s) && !s->loop.on) {
    const double x = session_displayed_seconds(s);
    session_stop_recording(s);
    transport_loop_just_recorded(&s->loop, x);
    session_send_loop(s);
    session_set_locate_override(s, 0);
    session_send_cmd(s, CMD_LOCATE, 0);
    session_send_cmd(s, CMD_PLAY_FROM, -1);
    session_set_play_override(s, 1);
    session_tip(s, "let-it-loop");
    return;
  }
  const bool was = s->loop.on;
  transport_loop_toggle(&s->loop, tape_seconds(s));
  session_send_loop(s);
  if (!was && s->loop.on) session_tip(s, "let-it-loop");
}

void session_loop_in(Session* s) {
  if (!ready(s)) return;
  transport_loop_set_in(&s->loop, session_displayed_seconds(s), tape_seconds(s));
  session_send_loop(s);
}

void session_loop_out(Session* s) {
  if (!ready(s)) return;
  transport_loop_set_out(&s->loop, session_displayed_seconds(s), tape_seconds(s));
  session_send_loop(s);
}

void session_loop_drag(Session* s, int32_t handle, double seconds) {
  if (!ready(s)) return;
  if (handle == 0)
    transport_loop_drag_in(&s->loop, seconds, tape_seconds(s));
  else
    transport_loop_drag_out(&s->loop, seconds, tape_seconds(s));
  session_send_loop(s);
}

void session_strip_flag(Session* s, int32_t which, double seconds) {
  if (!ready(s)) return;
  if (which == 1)
    transport_loop_strip_in(&s->loop, seconds, tape_seconds(s));
  else if (which == 2)
    transport_loop_strip_out(&s->loop, seconds, tape_seconds(s));
  else
    return;
  session_send_loop(s);
}

// ---- settings-like controls ----

void session_set_monitor(Session* s, bool on) {
  if (!s) return;
  s->monitor = on;
  core_set_monitor(s->core, on);
}

void session_set_xy(Session* s, float x, float y, bool store) {
  if (!s) return;
  x = std::isfinite(x) ? fminf(1.0f, fmaxf(-1.0f, x)) : 0.0f;
  y = std::isfinite(y) ? fminf(1.0f, fmaxf(-1.0f, y)) : 0.0f;
  s->xy_x = x;
  s->xy_y = y;
  core_set_xy(s->core, x, y);
  if (store && s->settings) {
    s->settings->input_pan = x;
    s->settings->input_distance = y;
  }
}

void session_set_raw(Session* s, bool raw) {
  if (!s) return;
  if (s->settings) s->settings->raw_playback = raw ? 1 : 0;
  session_apply_playback_gain(s);
}

void session_set_paint_mode(Session* s, bool on) {
  if (!s || !s->settings) return;
  s->settings->paint_mode = on ? 1 : 0;
}

void session_paint_colour(Session* s, int32_t colour) {
  if (!s || colour < 0 || colour >= SESSION_PAINT_COLOURS) return;
  session_set_paint_mode(s, true);
  SketchMeta* m = s->meta;
  if (!m) return;
  MetaRgb c = {SESSION_PALETTE[colour][0], SESSION_PALETTE[colour][1], SESSION_PALETTE[colour][2]};
  if (m->hasPickedColor && m->pickedColor.r == c.r && m->pickedColor.g == c.g &&
      m->pickedColor.b == c.b)
    return;
  m->hasPickedColor = true;
  m->pickedColor = c;
  session_schedule_save(s);
}

// ---- view ----

void session_pan(Session* s, double dy) {
  if (s) view_pan_y(&s->view, dy);
}
void session_scroll(Session* s, double dx, double width) {
  if (s) view_scroll(&s->view, dx, width);
}
void session_view_window(Session* s, double a, double b) {
  if (s) view_window(&s->view, a, b);
}
void session_zoom(Session* s, double steps) {
  if (s) view_zoom_by(&s->view, steps);
}
void session_back_to_camera(Session* s) {
  if (s) view_back_to_camera(&s->view);
}

void session_view_tick(Session* s) {
  if (!s) return;
  double span = session_span(s);
  double cursor = -1.0;
  if (s->meta && span > 0.0) cursor = session_displayed_seconds(s) / span;
  view_tick(&s->view, span, cursor);
}
