// Take tracking: the core's events and hop levels turned into the take in progress, one drawn
// layer per recorded segment, and the analysis jobs that colour and rebuild those layers.
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "app/session_lifecycle.h"
#include "app/session.h"
#include "app/session_internal.h"
#include "core/analysis.h"
#include "core/tape.h"
#include "store/jobs.h"
#include "base/log.h"
#include "store/meta.h"
#include "store/settings.h"

namespace {

void strokes_clear(SessionTake* t) {
  t->count = 0;
  t->peak = 0.0f;
}

// Starts following a take from an event's segment fields (a start event, or a take picked up
// without one).
void take_begin(Session* s, uint32_t id, int64_t segment_start, int64_t capture_start,
                bool rebuild) {
  SessionTake* t = &s->take;
  t->active = true;
  t->requested = false;
  t->id = id;
  t->start = segment_start;
  t->segment_start = segment_start;
  t->capture_start = capture_start;
  t->earlier_frames = 0;
  strokes_clear(t);
  t->rebuild = rebuild;
}

void pending_add(Session* s, uint32_t id, int64_t capture_start) {
  if (s->analysis_count == SESSION_PENDING_ANALYSIS) {
    // The oldest goes; its floor stays with the next so the capture is not released under it.
    if (s->analysis_count > 1 && s->analysis[0].capture_start < s->analysis[1].capture_start)
      s->analysis[1].capture_start = s->analysis[0].capture_start;
    memmove(&s->analysis[0], &s->analysis[1],
            sizeof(SessionPendingJob) * (size_t)(SESSION_PENDING_ANALYSIS - 1));
    s->analysis_count--;
  }
  SessionPendingJob& p = s->analysis[s->analysis_count++];
  p.id = id;
  p.capture_start = capture_start;
  p.capture = s->capture;
}

void pending_remove(Session* s, uint32_t id) {
  for (int32_t i = 0; i < s->analysis_count; i++) {
    if (s->analysis[i].id != id) continue;
    memmove(&s->analysis[i], &s->analysis[i + 1],
            sizeof(SessionPendingJob) * (size_t)(s->analysis_count - i - 1));
    s->analysis_count--;
    return;
  }
}

void post_analysis(Session* s, JobKind kind, Layer* layer, int64_t start, int64_t end) {
  if (!s->jobs || !s->capture) return;
  Job* job = job_new(kind);
  if (!job) {
    log_line("session: out of memory starting %s - the layer stays as it is", job_kind_name(kind));
    return;
  }
  job_hold_tape(job, s->capture);
  job->layer = layer_retain(layer);
  job->range_start = start;
  job->range_end = end;
  job->sample_rate = s->rate;
  if (kind == JOB_HOP_LEVELS) job->hop = analysis_hop_size(s->rate);
  job_copy_text(job->folder, sizeof job->folder, s->folder);
  if (s->meta) job_copy_text(job->sketch_id, sizeof job->sketch_id, s->meta->id);
  job->layer_start = layer->startSample;
  job->layer_length = layer->lengthSamples;
  job->layer_created_at = layer->createdAt;
  uint32_t id = session_post_job(s, job);
  if (id != 0) pending_add(s, id, start);
}

// One layer from a closed segment; true when it was made (a meta save is then due).
bool make_layer(Session* s, const CoreEvent* ev) {
  SketchMeta* m = s->meta;
  if (!m) return false;
  const double hop = analysis_hop_size(s->rate);
  if (hop <= 0.0 || (double)ev->segment_length < hop) return false;

  LayerTemplate t;
  memset(&t, 0, sizeof t);
  t.startSample = ev->segment_start;
  t.lengthSamples = ev->segment_length;
  t.sampleRate = s->rate;
  t.createdAt = s->wall;
  t.bornAt = s->now;
  if (m->hasPickedColor) {
    t.hasExplicitColor = true;
    t.explicitColor = m->pickedColor;
  }
  if (s->settings && s->settings->paint_mode && s->has_click_height) {
    t.hasExplicitY = true;
    t.explicitY = s->click_height;
  }
  Layer* layer = layer_from_take(&t, s->take.strokes, s->take.count);
  if (!layer) {
    log_line(
        "session: out of memory making a layer - the take's audio is safe, its drawing is not");
    return false;
  }
  layer_retain(layer);  // ours while the jobs are posted
  if (meta_add_layer(m, layer) != 0) {
    layer_release(layer);
    return false;
  }
  const int64_t cap_end = ev->capture_pos > ev->capture_start ? ev->capture_pos : ev->capture_start;
  post_analysis(s, JOB_SPECTRAL, layer, ev->capture_start, cap_end);
  if (ev->dropped_levels > 0 || s->take.rebuild || s->take.count == 0)
    post_analysis(s, JOB_HOP_LEVELS, layer, ev->capture_start, cap_end);
  layer_release(layer);
  return true;
}

// Takes picked up without their start event begin from the event with a rebuilt drawing.
bool pickup(Session* s, const CoreEvent* ev) {
  const uint32_t id = (uint32_t)ev->take_id;
  if (s->take.has_last_ended && id == s->take.last_ended) return false;
  if (!s->take.active) {
    log_line("session: picked up take %u without its start event - rebuilding its drawing", id);
    take_begin(s, id, ev->segment_start, ev->capture_start, true);
  }
  return true;
}

void on_split(Session* s, const CoreEvent* ev) {
  if (!pickup(s, ev)) return;
  if (make_layer(s, ev)) session_schedule_save(s);
  s->take.earlier_frames += ev->segment_length;
  s->take.segment_start = (int64_t)ev->value;
  s->take.capture_start = ev->capture_pos;
  strokes_clear(&s->take);
  s->take.rebuild = false;
}

void on_take_ended(Session* s, const CoreEvent* ev) {
  if (!pickup(s, ev)) return;
  if (make_layer(s, ev)) session_schedule_save(s);
  s->take.last_ended = (uint32_t)ev->take_id;
  s->take.has_last_ended = true;
  s->take.active = false;
  s->take.requested = false;
  s->take.stop_requested = false;
  s->take.capture_start = ev->capture_pos;
  strokes_clear(&s->take);
  s->take.rebuild = false;
  s->punch_pending = true;
  s->punch_at = s->now;
  s->mid_locate_deferred = false;
  session_tip(s, "first-note");
}

void on_resync(Session* s, const CoreEvent* ev) {
  session_read_status(s);
  uint64_t lost = s->status.events_dropped - s->events_dropped_seen;
  s->events_dropped_seen = s->status.events_dropped;
  log_line("session: RESYNC - %llu audio events were lost; re-reading the transport",
           (unsigned long long)lost);
  const uint32_t status_take = (uint32_t)s->status.take_id;
  if (s->status.flags & CORE_STATUS_RECORDING) {
    // A different take ended while its events were lost: land what we know of it first.
    if (s->take.active && s->take.id != status_take) {
      int64_t end =
          ev->capture_start > s->take.capture_start ? ev->capture_start : s->take.capture_start;
      session_end_take_without_event(s, end);
    }
    if (!(s->take.active && s->take.id == status_take)) {
      take_begin(s, status_take, ev->segment_start, ev->capture_start, true);
    } else {
      // Splits of this take may have been lost: its running segment starts where the core says.
      s->take.segment_start = ev->segment_start;
      s->take.capture_start = ev->capture_start;
      strokes_clear(&s->take);
      s->take.rebuild = true;
    }
    s->take.stop_requested = false;
  } else if (s->take.active) {
    int64_t end = s->status.capture_pos > s->take.capture_start ? s->status.capture_pos
                                                                : s->take.capture_start;
    session_end_take_without_event(s, end);
  }
  if (s->take.requested && (s->status.flags & CORE_STATUS_RECORDING) &&
      status_take == s->take.id_counter)
    s->take.requested = false;
  if (s->punch_pending && !(s->status.flags & (CORE_STATUS_TAIL | CORE_STATUS_RECORDING))) {
    s->punch_pending = false;
    session_commit(s, s->status.main_length, true, false);
  }
}

}  // namespace

void session_take_reset(Session* s) {
  SessionTake* t = &s->take;
  t->active = false;
  t->requested = false;
  t->stop_requested = false;
  t->earlier_frames = 0;
  t->rebuild = false;
  strokes_clear(t);
  s->punch_pending = false;
  s->rec_waiting = false;
  s->mid_locate_deferred = false;
  s->mid_locate_sent = false;
  s->scrubbing = false;
  s->play_override = -1;
  s->locate_override = false;
}

void session_read_levels(Session* s, int64_t up_to) {
  float batch[SESSION_LEVEL_BATCH];
  for (;;) {
    int n = core_read_levels(s->core, batch, SESSION_LEVEL_BATCH, up_to);
    if (n <= 0) return;
    SessionTake* t = &s->take;
    if (!t->active || !session_attached(s)) continue;
    if (t->count + n > t->capacity) {
      int64_t cap = t->capacity > 0 ? t->capacity : SESSION_STROKES_FIRST;
      while (cap < (int64_t)t->count + n) cap *= 2;
      float* grown =
          cap <= INT32_MAX ? (float*)realloc(t->strokes, sizeof(float) * (size_t)cap) : nullptr;
      if (!grown) {
        t->rebuild = true;  // the capture still holds the audio: HOP_LEVELS redraws it
        continue;
      }
      t->strokes = grown;
      t->capacity = (int32_t)cap;
    }
    for (int i = 0; i < n; i++) {
      float v = batch[i];
      t->strokes[t->count++] = v;
      if (std::isfinite(v) && v > t->peak) t->peak = v;
    }
  }
}

void session_end_take_without_event(Session* s, int64_t capture_end) {
  if (!s->take.active) return;
  CoreEvent ev;
  memset(&ev, 0, sizeof ev);
  ev.kind = EV_TAKE_ENDED;
  ev.take_id = (int32_t)s->take.id;
  ev.segment_start = s->take.segment_start;
  ev.capture_start = s->take.capture_start;
  ev.capture_pos = capture_end > s->take.capture_start ? capture_end : s->take.capture_start;
  ev.segment_length = ev.capture_pos - ev.capture_start;
  ev.value = (uint64_t)(ev.segment_start + ev.segment_length);
  log_line("session: ending the take without its event (%lld frames) - rebuilding its drawing",
           (long long)ev.segment_length);
  s->take.rebuild = true;
  on_take_ended(s, &ev);
}

void session_handle_event(Session* s, const CoreEvent* ev) {
  if (ev->kind == EV_ATTACHED) {
    s->attach_confirmed++;
    if (session_attached(s) && s->state == SESSION_LOADING && s->meta && s->main) {
      s->state = SESSION_READY;
      char title[SESSION_TITLE_BYTES];
      session_title(s, title, sizeof title);
      log_line("session: %s ready (%.0f Hz, %lld frames)", title, s->rate,
               (long long)tape_length(s->main));
    }
    return;
  }
  if (ev->kind == EV_PREVIEW_ENDED) {
    if (s->host.library_preview_ended) s->host.library_preview_ended(s->host.user);
    return;
  }
  if (!session_attached(s)) return;  // events of tapes that are going away

  switch (ev->kind) {
    case EV_TAKE_STARTED: {
      const bool stop_asked = s->take.stop_requested;
      take_begin(s, (uint32_t)ev->take_id, (int64_t)ev->value, ev->capture_start, false);
      s->take.stop_requested = stop_asked;
      view_back_to_camera(&s->view);
      session_banner_set(s, BANNER_TAPE_FULL, false, "");
      session_banner_set(s, BANNER_RIG_MID_TAKE, false, "");
      break;
    }
    case EV_SPLIT_JUMP:
    case EV_SPLIT_LOOP:
      on_split(s, ev);
      break;
    case EV_TAKE_ENDED:
      on_take_ended(s, ev);
      break;
    case EV_TAIL_DONE: {
      const bool punch = s->punch_pending;
      s->punch_pending = false;
      session_commit(s, (int64_t)ev->value, punch, false);
      if (s->export_pending && !session_take_outstanding(s)) {
        s->export_pending = false;
        session_export_now(s);
      }
      break;
    }
    case EV_TAPE_FULL:
      log_line("session: TAPE FULL at frame %lld", (long long)ev->value);
      session_banner_set(s, BANNER_TAPE_FULL, true, "TAPE FULL");
      break;
    case EV_PLAY_END:
      s->play_override = -1;
      view_back_to_camera(&s->view);
      break;
    case EV_RESYNC:
      on_resync(s, ev);
      break;
    default:
      break;
  }
}

int64_t session_analysis_floor(Session* s) {
  int64_t floor = INT64_MAX;
  for (int32_t i = 0; i < s->analysis_count; i++) {
    const SessionPendingJob& p = s->analysis[i];
    if (p.capture == s->capture && p.capture_start < floor) floor = p.capture_start;
  }
  return floor;
}

bool session_on_analysis_job(Session* s, Job* job) {
  pending_remove(s, job->sequence);
  if (job->result != JOB_DONE || !job->layer) return true;
  SketchMeta* m = s->meta;
  const bool open = m && s->state != SESSION_NONE && session_same_folder(job->folder, s->folder);
  int32_t index = -1;
  if (open) {
    for (int32_t i = 0; i < m->layerCount && index < 0; i++)
      if (m->layers[i] == job->layer) index = i;
    for (int32_t i = 0; i < m->layerCount && index < 0; i++) {
      const Layer* l = job->layer;
      if (layer_is(m->layers[i], l->startSample, l->lengthSamples, l->createdAt)) index = i;
    }
  }

  if (job->kind == JOB_SPECTRAL) {
    if (index >= 0) {
      layer_attach_spectral(m->layers[index], job->spectral_out);
      session_schedule_save(s);
    } else if (!open && job->folder[0] && s->jobs) {
      Job* patch = job_new(JOB_PATCH_SPECTRAL);
      if (!patch) {
        log_line("session: spectral patch of %s: %s", job->folder, "NOT ENOUGH MEMORY");
        return true;
      }
      job_copy_text(patch->folder, sizeof patch->folder, job->folder);
      job_copy_text(patch->sketch_id, sizeof patch->sketch_id, job->sketch_id);
      patch->layer_start = job->layer->startSample;
      patch->layer_length = job->layer->lengthSamples;
      patch->layer_created_at = job->layer->createdAt;
      memcpy(patch->spectral, job->spectral_out, sizeof patch->spectral);
      session_post_job(s, patch);
    }
    return true;
  }

  // HOP_LEVELS: the strokes come from the capture instead of the live levels.
  if (index < 0) return true;
  Layer* rebuilt = layer_with_strokes(m->layers[index], job->levels, job->level_count);
  if (!rebuilt) {
    log_line(
        "session: out of memory making a layer - the take's audio is safe, its drawing is not");
    return true;
  }
  if (meta_replace_layer(m, index, rebuilt) == 0) {
    session_schedule_save(s);
    log_line("session: layer %d rebuilt from the capture (%d levels)", (int)index,
             (int)job->level_count);
  }
  return true;
}
