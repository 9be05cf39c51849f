// The sketch's lifecycle: start, open, load, new sketch, following the stream rate, commits and
// meta saves with their back-off, cursor memory, close, and the job results that drive them.
#include "app/session_lifecycle.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/session_internal.h"
#include "core/tape.h"
#include "store/files.h"
#include "store/jobs.h"
#include "base/log.h"
#include "store/meta.h"
#include "store/paths.h"
#include "store/settings.h"

namespace {


void set_last_opened(Session* s) {
  if (!s->meta || !s->settings) return;
  char id[SETTINGS_ID_BYTES + 1];
  memset(id, 0, sizeof id);
  memcpy(id, s->meta->id, SETTINGS_ID_BYTES);
  for (char* p = id; *p; p++)
    if (*p >= 'a' && *p <= 'z') *p = (char)(*p - 'a' + 'A');
  memset(s->settings->last_opened, 0, sizeof s->settings->last_opened);
  memcpy(s->settings->last_opened, id, SETTINGS_ID_BYTES);
}

bool same_id(const char* a, const char* b) {
  for (; *a && *b; a++, b++) {
    char x = (*a >= 'A' && *a <= 'Z') ? (char)(*a - 'A' + 'a') : *a;
    char y = (*b >= 'A' && *b <= 'Z') ? (char)(*b - 'A' + 'a') : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

// Everything that belongs to one open sketch goes back to its starting values.
void reset_sketch_fields(Session* s) {
  s->load_meta_job = 0;
  s->load_tape_job = 0;
  s->load_tape_next = false;
  s->tape_unreadable = false;
  s->resampled_on_open = false;
  s->resample_expected = false;
  s->resample_from = s->resample_to = 0.0;
  s->meta_dirty = false;
  s->save_retry = false;
  s->retry_delay = 0.0;
  s->committed_peak = 0.0f;
  s->cursor_stored = false;
  s->export_pending = false;
  s->has_click_height = false;
  s->view_pending = false;
  s->loop = LoopRegion{0.0, 0.0, false};
  view_reset(&s->view);
  s->epoch++;
}

void commit_add(Session* s, uint32_t id) {
  if (s->commit_count == SESSION_PENDING_COMMITS) {
    // The IO worker runs in order: the newest commit finishing means the oldest finished too.
    memmove(&s->commits[0], &s->commits[1], sizeof s->commits[0] * (SESSION_PENDING_COMMITS - 1));
    s->commit_count--;
  }
  s->commits[s->commit_count].id = id;
  s->commits[s->commit_count].epoch = s->epoch;
  s->commit_count++;
}

// Removes the commit; true when it belonged to the sketch as it is open now.
bool commit_remove(Session* s, uint32_t id, bool* found) {
  *found = false;
  for (int32_t i = 0; i < s->commit_count; i++) {
    if (s->commits[i].id != id) continue;
    bool current = s->commits[i].epoch == s->epoch;
    memmove(&s->commits[i], &s->commits[i + 1],
            sizeof s->commits[0] * (size_t)(s->commit_count - i - 1));
    s->commit_count--;
    *found = true;
    return current;
  }
  return false;
}

bool tried_before(const Session* s, const char* folder) {
  for (int32_t i = 0; i < s->tried_count; i++)
    if (session_same_folder(s->tried[i], folder)) return true;
  return false;
}

void note_tried(Session* s, const char* folder) {
  if (tried_before(s, folder) || s->tried_count == SESSION_FALLBACK_TRIED) return;
  text_copy(s->tried[s->tried_count++], SESSION_PATH, folder);
}

void new_sketch_now(Session* s);
void open_now(Session* s, const char* folder, bool fall_back);

// The next newest sketch nobody tried in this round; a new sketch when none is left.
void open_newest(Session* s) {
  // The list is only worth reading once the scan that fills it is back.
  if (s->host.library_scanning && s->host.library_scanning(s->host.user)) {
    s->start_waits_for_scan = true;
    return;
  }
  char folder[SESSION_PATH];
  if (s->host.library_sketch_at) {
    for (int32_t i = 0; i < 100000; i++) {
      if (!s->host.library_sketch_at(s->host.user, i, folder, sizeof folder)) break;
      if (!folder[0] || tried_before(s, folder)) continue;
      open_now(s, folder, true);
      return;
    }
  }
  new_sketch_now(s);
}

void run_follow(Session* s) {
  const int32_t follow = s->follow;
  char folder[SESSION_PATH];
  text_copy(folder, sizeof folder, s->follow_folder);
  const bool fall_back = s->follow_fall_back;
  s->follow = SESSION_FOLLOW_NOTHING;
  s->follow_folder[0] = 0;
  s->follow_fall_back = false;
  if (follow == SESSION_FOLLOW_OPEN || follow == SESSION_FOLLOW_REOPEN) {
    if (fall_back)
      open_now(s, folder, true);
    else {
      s->tried_count = 0;
      open_now(s, folder, false);
    }
  } else if (follow == SESSION_FOLLOW_NEW) {
    new_sketch_now(s);
  }
}

void begin_close(Session* s, int32_t follow, const char* folder, bool fall_back) {
  s->follow = follow;
  text_copy(s->follow_folder, sizeof s->follow_folder, folder);
  s->follow_fall_back = fall_back;
  if (s->state == SESSION_NONE) {
    run_follow(s);
    return;
  }
  if (s->state == SESSION_CLOSING) return;
  s->state = SESSION_CLOSING;
  s->close_at = s->now;
  s->close_cursor_stored = false;
  s->rec_waiting = false;
  s->mid_locate_deferred = false;
  if (s->scrubbing) {
    s->scrubbing = false;
    session_send_cmd(s, CMD_SCRUB_END);
  }
  if (session_take_runs(s)) session_stop_recording(s);
  if (!s->meta || !s->main) {
    // Still loading: what loads it is of no use any more.
    session_cancel_sketch_jobs(s);
    s->load_meta_job = s->load_tape_job = 0;
    s->load_tape_next = false;
  }
}

bool sketch_is_empty(const Session* s) {
  const SketchMeta* m = s->meta;
  if (!m || m->layerCount > 0 || m->lengthSamples > 0 || m->hasLegacyLayers) return false;
  if (s->tape_unreadable) return false;
  if (s->main && tape_length(s->main) > 0) return false;
  char tape[SESSION_PATH];
  if (path_join(tape, sizeof tape, s->folder, "tape.f32") < 0) return false;
  return file_size(tape) <= 0;
}

void save_meta_now(Session* s) {
  if (!s->meta || !s->jobs) return;
  Job* job = job_new(JOB_SAVE_META);
  SketchMeta* copy = job ? meta_clone(s->meta) : nullptr;
  if (!job || !copy) {
    job_free(job);
    log_line("session: out of memory saving %s - will retry", s->folder);
    session_back_off(s);
    return;
  }
  job->meta = copy;
  job_copy_text(job->folder, sizeof job->folder, s->folder);
  job_copy_text(job->sketch_id, sizeof job->sketch_id, s->meta->id);
  s->meta_dirty = false;
  if (session_post_job(s, job) == 0) session_back_off(s);
}

void finish_close(Session* s) {
  if (s->meta) {
    if (sketch_is_empty(s)) {
      Job* job = s->jobs ? job_new(JOB_DELETE_DIR) : nullptr;
      if (job) {
        job_copy_text(job->folder, sizeof job->folder, s->folder);
        job_copy_text(job->sketch_id, sizeof job->sketch_id, s->meta->id);
        session_post_job(s, job);
      }
      if (s->settings) {
        if (same_id(s->settings->last_opened, s->meta->id))
          memset(s->settings->last_opened, 0, sizeof s->settings->last_opened);
        cursors_remove(s->settings, s->meta->id);
      }
      log_line("session: %s was empty - removed", s->folder);
    } else {
      if ((s->view_pending || s->view.changed) && view_store_meta(&s->view, s->meta))
        s->meta_dirty = true;
      if ((s->save_retry || s->resampled_on_open) && s->main && !s->tape_unreadable) {
        int64_t len = tape_length(s->main);
        if (s->status.main_length > len && session_attached(s)) len = s->status.main_length;
        // The last try: the model and the tape go with the close.
        session_commit(s, len, false, true, true);
      } else if (s->meta_dirty) {
        save_meta_now(s);
      }
    }
  }
  if (s->main || s->capture) session_attach(s, nullptr, nullptr, 0);
  session_cancel_sketch_jobs(s);
  if (s->meta) meta_destroy(s->meta);
  s->meta = nullptr;
  s->state = SESSION_NONE;
  session_take_reset(s);
  reset_sketch_fields(s);
  s->folder[0] = 0;
  s->rate = session_best_rate(s);
  session_banner_set(s, BANNER_SAVE_FAILED, false, "");
  session_banner_set(s, BANNER_TAPE_FULL, false, "");
  session_notice(s, NOTICE_SKETCH_CLOSED, 0, s->follow != SESSION_FOLLOW_NOTHING, "", nullptr);
  run_follow(s);
}

void open_now(Session* s, const char* folder, bool fall_back) {
  if (!folder || !folder[0]) return;
  if (s->state != SESSION_NONE) {
    if (s->state != SESSION_CLOSING && session_same_folder(folder, s->folder)) {
      char title[SESSION_TITLE_BYTES];
      session_title(s, title, sizeof title);
      session_notice(s, NOTICE_SKETCH_SHOWN, 0, false, title, s->folder);
      return;
    }
    begin_close(s, SESSION_FOLLOW_OPEN, folder, fall_back);
    return;
  }
  session_take_reset(s);
  session_cancel_sketch_jobs(s);
  reset_sketch_fields(s);
  s->fall_back = fall_back;
  if (fall_back) note_tried(s, folder);
  text_copy(s->folder, sizeof s->folder, folder);
  s->state = SESSION_LOADING;
  Job* job = s->jobs ? job_new(JOB_LOAD_META) : nullptr;
  if (!job) {
    session_notice(s, NOTICE_ERROR, 0, false, "NOT ENOUGH MEMORY TO OPEN THAT SKETCH", nullptr);
    s->state = SESSION_NONE;
    s->folder[0] = 0;
    return;
  }
  job_copy_text(job->folder, sizeof job->folder, s->folder);
  log_line("session: opening %s", s->folder);
  s->load_meta_job = session_post_job(s, job);
  if (s->load_meta_job == 0) {
    session_notice(s, NOTICE_ERROR, 0, false, "NOT ENOUGH MEMORY TO OPEN THAT SKETCH", nullptr);
    s->state = SESSION_NONE;
    s->folder[0] = 0;
  }
}

void new_sketch_fail(Session* s) {
  session_notice(s, NOTICE_ERROR, 0, false, "NOT ENOUGH MEMORY FOR A NEW SKETCH", nullptr);
  s->state = SESSION_NONE;
  s->folder[0] = 0;
  session_notice(s, NOTICE_SKETCH_CLOSED, 0, false, "", nullptr);
}

void new_sketch_now(Session* s) {
  if (s->state != SESSION_NONE) {
    begin_close(s, SESSION_FOLLOW_NEW, "", false);
    return;
  }
  s->tried_count = 0;
  const double rate = session_best_rate(s);
  session_take_reset(s);
  session_cancel_sketch_jobs(s);
  reset_sketch_fields(s);
  Tape* main = tape_new_ready(rate, SESSION_TAPE_MINUTES, SESSION_TAPE_POOL);
  Tape* capture = main ? tape_new_ready(rate, SESSION_TAPE_MINUTES, SESSION_TAPE_POOL) : nullptr;
  SketchMeta* meta = capture ? (SketchMeta*)calloc(1, sizeof(SketchMeta)) : nullptr;
  if (!meta) {
    tape_free(main);
    tape_free(capture);
    new_sketch_fail(s);
    return;
  }
  meta_new(meta, rate);
  char folder[SESSION_PATH];
  if (path_join(folder, sizeof folder, s->paths->library, meta->id) < 0) {
    log_line("session: the library folder's path is too long for a new sketch");
    meta_destroy(meta);
    tape_free(main);
    tape_free(capture);
    new_sketch_fail(s);
    return;
  }
  s->meta = meta;
  text_copy(s->folder, sizeof s->folder, folder);
  s->rate = rate;
  s->state = SESSION_LOADING;
  session_attach(s, main, capture, 0);
  session_send_loop(s);
  session_apply_playback_gain(s);
  s->meta_dirty = true;
  s->meta_due = s->now;
  s->cursor_stored = true;
  s->cursor_last = 0;
  if (s->host.library_card) s->host.library_card(s->host.user, s->meta, s->folder);
  set_last_opened(s);
  char title[SESSION_TITLE_BYTES];
  session_title(s, title, sizeof title);
  session_notice(s, NOTICE_SKETCH_SHOWN, 0, false, title, s->folder);
  log_line("session: new sketch %s at %.0f Hz", s->meta->id, rate);
}

void on_load_meta(Session* s, Job* job) {
  if (job->sequence != s->load_meta_job || s->state != SESSION_LOADING || s->meta) return;
  s->load_meta_job = 0;
  if (job->result == JOB_CANCELLED) return;
  if (job->result == JOB_DONE && job->meta_out) {
    s->meta = job->meta_out;
    job->meta_out = nullptr;
    SketchMeta* m = s->meta;
    if (m->loopEnd > m->loopStart)
      s->loop = LoopRegion{m->loopStart < 0.0 ? 0.0 : m->loopStart, m->loopEnd, m->loopActive};
    else
      s->loop = LoopRegion{0.0, 0.0, false};
    s->rate = m->sampleRate > 0.0 ? m->sampleRate : 44100.0;
    view_restore_meta(&s->view, m, session_span(s));
    set_last_opened(s);
    if (job->meta_dirty) session_schedule_save(s);
    s->load_tape_next = true;
    char title[SESSION_TITLE_BYTES];
    session_title(s, title, sizeof title);
    session_notice(s, NOTICE_SKETCH_SHOWN, 0, false, title, s->folder);
    return;
  }
  const char* why = job->message[0] ? job->message : "UNREADABLE";
  session_notice_error(s, "COULDN'T OPEN THAT SKETCH - %s", why);
  log_line("session: %s", why);
  char failed[SESSION_PATH];
  text_copy(failed, sizeof failed, s->folder);
  s->state = SESSION_NONE;
  s->folder[0] = 0;
  if (s->fall_back) {
    session_notice(s, NOTICE_SKETCH_CLOSED, 0, true, "", nullptr);
    note_tried(s, failed);
    open_newest(s);
  }
}

void on_load_tape(Session* s, Job* job) {
  if (job->sequence != s->load_tape_job || s->state != SESSION_LOADING || !s->meta) return;
  s->load_tape_job = 0;
  s->resample_expected = false;
  if (job->result == JOB_CANCELLED) return;
  SketchMeta* m = s->meta;
  if (job->result != JOB_DONE || !job->tape_out) {
    const char* why = job->result == JOB_FAILED && job->message[0] ? job->message : "UNKNOWN";
    session_notice_error(s, "COULDN'T READ THE TAPE - %s", why);
    log_line("session: %s (%s)", why, s->folder);
    s->tape_unreadable = true;
    return;
  }
  Tape* main = job->tape_out;
  Tape* capture = job->tape_out2;
  job->tape_out = job->tape_out2 = nullptr;
  if (!capture) capture = tape_new_ready(main->rate, SESSION_TAPE_MINUTES, SESSION_TAPE_POOL);
  if (!capture) {
    tape_free(main);
    session_notice(s, NOTICE_ERROR, 0, false, "NOT ENOUGH MEMORY TO LOAD THE TAPE", nullptr);
    s->tape_unreadable = true;
    return;
  }
  s->rate = main->rate;
  s->committed_peak = job->peak;
  if (job->upgraded && m->channels < 2) m->channels = 2;
  char title[SESSION_TITLE_BYTES];
  session_title(s, title, sizeof title);
  if (job->resampled) {
    meta_rescale(m, main->rate, job->frames_out);
    s->resampled_on_open = true;
    session_schedule_save(s);
    log_line("session: %s resampled to %.0f Hz on open (x%.5f)", title, main->rate, job->rate_ratio);
  } else if (fabs(m->sampleRate - main->rate) > SESSION_RATE_SAME) {
    double frames = m->sampleRate > 0.0 ? (double)m->lengthSamples * main->rate / m->sampleRate
                                        : (double)m->lengthSamples;
    // A tape found at another rate than meta.json says (a save cut short) holds its own length.
    if (fabs(job->tape_rate - main->rate) <= SESSION_RATE_SAME) frames = (double)job->frames_out;
    meta_rescale(m, main->rate, (int64_t)llround(frames));
    session_schedule_save(s);
  }
  const int64_t frames = tape_length(main);
  int64_t cursor = 0;
  double seconds = 0.0;
  if (s->settings && cursors_get(s->settings, m->id, &seconds)) {
    const double f = seconds * s->rate;
    // Clamped as a double first: a wild stored value must not overflow the conversion.
    if (!(f > 0.0))
      cursor = 0;
    else if (f >= (double)frames)
      cursor = frames;
    else
      cursor = (int64_t)llround(f);
    if (cursor > frames) cursor = frames;
    log_line("session: the cursor is back at %.3f s (%lld / %lld frames)", (double)cursor / s->rate,
             (long long)cursor, (long long)frames);
  }
  s->cursor_stored = true;
  s->cursor_last = cursor;
  session_attach(s, main, capture, cursor);
  session_send_loop(s);
  session_apply_playback_gain(s);
}

void start_load_tape(Session* s) {
  double rate = 0.0;
  if (!session_stream_rate(s, &rate)) return;
  s->load_tape_next = false;
  SketchMeta* m = s->meta;
  Job* job = s->jobs ? job_new(JOB_LOAD_TAPE) : nullptr;
  if (!job) {
    session_notice(s, NOTICE_ERROR, 0, false, "NOT ENOUGH MEMORY TO LOAD THE TAPE", nullptr);
    s->tape_unreadable = true;
    return;
  }
  const double sketch_rate = m->sampleRate > 0.0 ? m->sampleRate : 44100.0;
  // Rates this close play the same; a resample would only cost time.
  const bool differ = fabs(sketch_rate - rate) > SESSION_RATE_SAME;
  job_copy_text(job->folder, sizeof job->folder, s->folder);
  job_copy_text(job->sketch_id, sizeof job->sketch_id, m->id);
  job->sample_rate = sketch_rate;
  job->target_rate = differ ? rate : sketch_rate;
  job->frames = m->lengthSamples;
  job->mono = m->channels < 2;
  // The side-car tells the tape's true rate after a cut-short save, and is refreshed when stale.
  session_sidecar_name(s, job->name, sizeof job->name);
  s->resample_expected = m->lengthSamples > 0 && differ;
  s->resample_from = sketch_rate;
  s->resample_to = rate;
  s->load_tape_job = session_post_job(s, job);
  if (s->load_tape_job == 0) {
    session_notice(s, NOTICE_ERROR, 0, false, "NOT ENOUGH MEMORY TO LOAD THE TAPE", nullptr);
    s->tape_unreadable = true;
    s->resample_expected = false;
  }
}

void follow_stream_rate(Session* s) {
  if (s->state != SESSION_READY || !s->main || !session_attached(s) || !session_device_running(s))
    return;
  const double stream = s->audio_status.rate;
  if (!(stream > 0.0) || fabs(stream - s->rate) <= SESSION_RATE_SAME) return;
  if (session_take_outstanding(s) || s->commit_count > 0 || s->device.phase != 0) return;
  SketchMeta* m = s->meta;
  const bool empty = m && m->layerCount == 0 && m->lengthSamples <= 0 &&
                     tape_length(s->main) <= 0 && tape_length(s->capture) <= 0;
  if (!empty) {
    log_line("session: the stream runs at %.0f Hz, the tape at %.0f Hz - reopening to resample",
             stream, s->rate);
    begin_close(s, SESSION_FOLLOW_REOPEN, s->folder, false);
    return;
  }
  Tape* main = tape_new_ready(stream, SESSION_TAPE_MINUTES, SESSION_TAPE_POOL);
  Tape* capture = main ? tape_new_ready(stream, SESSION_TAPE_MINUTES, SESSION_TAPE_POOL) : nullptr;
  if (!capture) {
    tape_free(main);
    return;  // tried again next frame
  }
  s->rate = stream;
  if (m) {
    m->sampleRate = stream;
    session_schedule_save(s);
  }
  s->state = SESSION_LOADING;
  session_attach(s, main, capture, 0);
  session_send_loop(s);
  session_apply_playback_gain(s);
  log_line("session: the stream runs at %.0f Hz - the empty sketch follows", stream);
}

void closing_step(Session* s) {
  if (s->state != SESSION_CLOSING) return;
  if (s->take.active || s->take.requested || s->punch_pending) {
    if (s->now - s->close_at < SESSION_CLOSE_WAIT_S) return;
    if (s->take.active) {
      int64_t end = s->status.capture_pos > s->take.capture_start ? s->status.capture_pos
                                                                  : s->take.capture_start;
      session_end_take_without_event(s, end);
    }
    s->take.requested = false;
    if (s->punch_pending) {
      s->punch_pending = false;
      session_commit(s, s->status.main_length, true, false);
    }
    if (s->export_pending) {
      s->export_pending = false;
      session_export_now(s);
    }
  }
  if (!s->close_cursor_stored) {
    session_store_cursor(s);
    s->close_cursor_stored = true;
  }
  if (s->commit_count > 0) return;
  finish_close(s);
}

}  // namespace

// ---- shared helpers ----

bool session_same_folder(const char* a, const char* b) {
  if (!a || !b) return false;
  size_t la = strlen(a), lb = strlen(b);
  while (la > 1 && (a[la - 1] == '/' || a[la - 1] == '\\')) la--;
  while (lb > 1 && (b[lb - 1] == '/' || b[lb - 1] == '\\')) lb--;
  if (la != lb) return false;
  for (size_t i = 0; i < la; i++) {
    char x = a[i], y = b[i];
    if (x == '\\') x = '/';
    if (y == '\\') y = '/';
    if (x >= 'A' && x <= 'Z') x = (char)(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = (char)(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

void session_title(const Session* s, char* out, size_t size) {
  if (!out || size == 0) return;
  out[0] = 0;
  if (s && s->meta) meta_title(s->meta, out, size);
}

uint32_t session_post_job(Session* s, Job* job) {
  if (!job) return 0;
  if (!s->jobs) {
    log_line("session: no workers - %s dropped", job_kind_name(job->kind));
    job_free(job);
    return 0;
  }
  uint32_t id = jobs_post(s->jobs, job);
  if (id == 0) return 0;
  if (s->owned_count == s->owned_capacity) {
    int32_t cap = s->owned_capacity > 0 ? s->owned_capacity * 2 : 64;
    uint32_t* grown = (uint32_t*)realloc(s->owned, sizeof(uint32_t) * (size_t)cap);
    if (!grown) return id;  // still runs; its result is just not claimed
    s->owned = grown;
    s->owned_capacity = cap;
  }
  s->owned[s->owned_count++] = id;
  return id;
}

bool session_owns_job(Session* s, uint32_t id, bool remove) {
  for (int32_t i = 0; i < s->owned_count; i++) {
    if (s->owned[i] != id) continue;
    if (remove) s->owned[i] = s->owned[--s->owned_count];
    return true;
  }
  return false;
}

void session_schedule_save(Session* s) {
  if (!s->meta) return;
  if (!s->meta_dirty) {
    s->meta_dirty = true;
    s->meta_due = s->now + SESSION_SAVE_DELAY_S;
  }
}

void session_back_off(Session* s) {
  s->retry_delay = s->retry_delay <= 0.0 ? SESSION_RETRY_FIRST_S : s->retry_delay * 2.0;
  if (s->retry_delay > SESSION_RETRY_MAX_S) s->retry_delay = SESSION_RETRY_MAX_S;
  s->meta_dirty = true;
  s->meta_due = s->now + s->retry_delay;
}

void session_attach(Session* s, Tape* main, Tape* capture, int64_t cursor) {
  s->main = main;
  s->capture = capture;
  s->attach_sent++;
  session_send_cmd(s, CMD_ATTACH, cursor, 0, 0, 0.0, main, capture);
}

bool session_stream_rate(const Session* s, double* rate) {
  const AudioStatus& a = s->audio_status;
  if (session_device_running(s) && a.rate > 0.0) {
    *rate = a.rate;
    return true;
  }
  const bool waited = s->started_at >= 0.0 && s->now - s->started_at >= SESSION_STREAM_WAIT_S;
  if (!session_have_engine(s) || session_device_failed(s) || waited) {
    *rate = session_best_rate(s);
    return true;
  }
  return false;
}

double session_best_rate(const Session* s) {
  const AudioStatus& a = s->audio_status;
  if (s->have_audio_status && a.rate > 0.0) return a.rate;
  if (s->settings && s->settings->sample_rate > 0) return (double)s->settings->sample_rate;
  return SESSION_DEFAULT_RATE;
}

void session_store_cursor(Session* s) {
  if (!s->meta || !s->main || s->tape_unreadable || !s->settings) return;
  const int64_t pos = session_displayed_frames(s);
  cursors_set(s->settings, s->meta->id, (double)pos / s->rate);
  s->cursor_stored = true;
  s->cursor_last = pos;
}

void session_cancel_sketch_jobs(Session* s) {
  if (s->jobs) jobs_cancel_group(s->jobs, JOB_GROUP_SKETCH);
}

void session_commit(Session* s, int64_t length, bool punch, bool force, bool rescue) {
  SketchMeta* m = s->meta;
  if (!m || !s->main) return;
  if (length < 0) length = 0;
  if (!punch && !force && length == m->lengthSamples) return;
  m->lengthSamples = length;
  double rate = s->main->rate > 0.0 ? s->main->rate : session_rate(s);
  m->sampleRate = rate;
  m->channels = 2;
  Job* job = s->jobs ? job_new(JOB_SAVE_COMMIT) : nullptr;
  SketchMeta* copy = job ? meta_clone(m) : nullptr;
  if (!job || !copy) {
    job_free(job);
    log_line("session: out of memory starting the commit of %s - will retry", s->folder);
    s->save_retry = true;
    session_back_off(s);
    return;
  }
  job->meta = copy;
  job_hold_tape(job, s->main);
  job->frames = length;
  job->sample_rate = rate;
  job_copy_text(job->folder, sizeof job->folder, s->folder);
  job_copy_text(job->sketch_id, sizeof job->sketch_id, m->id);
  job->rescue = rescue;
  uint32_t id = session_post_job(s, job);
  if (id == 0) {
    if (rescue) {
      log_line("session: the last commit of %s couldn't start - its unsaved audio is lost",
               s->folder);
      s->lost_count++;
    }
    s->save_retry = true;
    session_back_off(s);
    return;
  }
  commit_add(s, id);
  // The commit writes meta.json as well.
  s->meta_dirty = false;
  s->resampled_on_open = false;
  if (s->host.library_card) s->host.library_card(s->host.user, m, s->folder);
}

// ---- per frame ----

void session_lifecycle_step(Session* s) {
  session_device_step(s);
  if (s->state == SESSION_LOADING && s->meta && s->load_tape_next) start_load_tape(s);
  follow_stream_rate(s);
  closing_step(s);
}

void session_start_step(Session* s) {
  if (!s->start_waits_for_scan) return;
  if (s->host.library_scanning && s->host.library_scanning(s->host.user)) return;
  s->start_waits_for_scan = false;
  if (s->state != SESSION_NONE) return;  // the user opened something meanwhile
  open_newest(s);
}

void session_meta_save_step(Session* s) {
  if (!s->meta || s->state == SESSION_NONE) return;
  // Only the user's changes count; the camera refitting itself is not worth a save.
  if (s->view.changed) {
    s->view.changed = false;
    s->view_pending = true;
    s->view_changed_at = s->now;
  }
  if (s->view_pending && s->now - s->view_changed_at >= SESSION_VIEW_SAVE_S) {
    s->view_pending = false;
    if (view_store_meta(&s->view, s->meta)) {
      if (!s->meta_dirty) s->meta_due = s->now;
      s->meta_dirty = true;
    }
  }
  if (!s->meta_dirty || s->now < s->meta_due) return;
  if (s->save_retry || s->resampled_on_open) {
    // The tape must be written again: a full commit once nothing records.
    if (session_take_outstanding(s) || !s->main || !session_attached(s) || s->tape_unreadable)
      return;
    int64_t len = tape_length(s->main);
    if (s->status.main_length > len) len = s->status.main_length;
    session_commit(s, len, false, true);
    return;
  }
  save_meta_now(s);
}

void session_cursor_step(Session* s) {
  if (s->state != SESSION_READY || !s->main || !session_attached(s) || s->tape_unreadable) return;
  if (session_take_outstanding(s) || !s->settings || !s->meta) return;
  const uint32_t busy = CORE_STATUS_PLAYING | CORE_STATUS_RECORDING | CORE_STATUS_SCRUBBING |
                        CORE_STATUS_COASTING | CORE_STATUS_TAIL | CORE_STATUS_SEEK_PENDING;
  if (s->status.flags & busy) return;
  if (s->play_override >= 0 || s->locate_override || s->scrubbing || s->mid_locate_deferred ||
      s->backlog_count > 0)
    return;
  const double p = s->status.display_pos;
  const int64_t pos = std::isfinite(p) && p > 0.0 ? (int64_t)llround(p) : 0;
  if (s->cursor_stored && pos == s->cursor_last) return;
  cursors_set(s->settings, s->meta->id, (double)pos / s->rate);
  s->cursor_stored = true;
  s->cursor_last = pos;
}

// ---- the flows ----

void session_start(Session* s) {
  if (!s) return;
  s->tried_count = 0;
  const char* last = s->settings ? s->settings->last_opened : "";
  if (last[0]) {
    char id[UUID_TEXT_BYTES];
    memset(id, 0, sizeof id);
    memcpy(id, last, strnlen(last, UUID_TEXT_LENGTH));
    char folder[SESSION_PATH] = "";
    char probe[SESSION_PATH];
    bool found = false;
    if (s->host.library_folder_for &&
        s->host.library_folder_for(s->host.user, id, folder, sizeof folder) && folder[0]) {
      found = path_join(probe, sizeof probe, folder, "meta.json") >= 0 && file_size(probe) >= 0;
    }
    for (int pass = 0; pass < 2 && !found; pass++) {
      // Folders are named by the lower-case id; one written by hand may keep the upper case.
      char name[UUID_TEXT_BYTES];
      memcpy(name, id, sizeof name);
      if (pass == 0)
        for (char* p = name; *p; p++)
          if (*p >= 'A' && *p <= 'Z') *p = (char)(*p - 'A' + 'a');
      if (path_join(folder, sizeof folder, s->paths->library, name) < 0) continue;
      found = path_join(probe, sizeof probe, folder, "meta.json") >= 0 && file_size(probe) >= 0;
    }
    if (found) {
      open_now(s, folder, true);
      return;
    }
    log_line("session: the last sketch (%s) is gone - opening the newest", id);
  }
  if (s->host.library_refresh) s->host.library_refresh(s->host.user);
  s->start_waits_for_scan = true;
}

void session_open(Session* s, const char* folder) {
  if (!s || !folder || !folder[0]) return;
  if (s->state == SESSION_NONE) s->tried_count = 0;
  open_now(s, folder, false);
}

void session_open_id(Session* s, const char* id) {
  if (!s || !id || !id[0]) return;
  char cut[UUID_TEXT_BYTES];
  memset(cut, 0, sizeof cut);
  memcpy(cut, id, strnlen(id, UUID_TEXT_LENGTH));
  char folder[SESSION_PATH] = "";
  if (!(s->host.library_folder_for &&
        s->host.library_folder_for(s->host.user, cut, folder, sizeof folder) && folder[0])) {
    if (path_join(folder, sizeof folder, s->paths->library, cut) < 0) return;
  }
  session_open(s, folder);
}

void session_new_sketch(Session* s) {
  if (!s) return;
  new_sketch_now(s);
}

void session_close(Session* s) {
  if (!s || s->state == SESSION_NONE) return;
  begin_close(s, SESSION_FOLLOW_NOTHING, "", false);
}

void session_flush(Session* s) {
  if (!s || !s->meta || s->state == SESSION_NONE) return;
  if ((s->view_pending || s->view.changed) && view_store_meta(&s->view, s->meta))
    s->meta_dirty = true;
  s->view_pending = false;
  s->view.changed = false;
  if (s->save_retry) s->meta_dirty = true;
  if (!s->meta_dirty) return;
  s->meta_due = s->now;
  session_meta_save_step(s);
}

bool session_busy(const Session* s) {
  return s && (s->state != SESSION_NONE || s->commit_count > 0);
}

bool session_committing(const Session* s) {
  return s && s->commit_count > 0;
}

// ---- job results ----

namespace {

void on_commit(Session* s, Job* job) {
  bool found = false;
  const bool current = commit_remove(s, job->sequence, &found) && s->meta &&
                       session_same_folder(job->folder, s->folder);
  if (job->result == JOB_DONE) {
    log_line("session: committed %lld frames to %s (peak %.3f)", (long long)job->frames_out,
             job->folder, job->peak);
    if (current) {
      s->committed_peak = job->peak;
      session_apply_playback_gain(s);
      s->save_retry = false;
      s->retry_delay = 0.0;
      session_banner_set(s, BANNER_SAVE_FAILED, false, "");
    }
    return;
  }
  const char* why = job->message[0] ? job->message : "DISK ERROR";
  log_line("session: commit of %s failed: %s", job->folder, why);
  if (job->rescue && job->result == JOB_FAILED) {
    // Nobody retries this one: say where its audio went.
    if (job->rescued) {
      s->rescued_count++;
      text_copy(s->last_rescue, sizeof s->last_rescue, job->result_path);
      log_line("session: %s didn't land - its audio is rescued in %s", job->folder,
               job->result_path);
      session_notice(s, NOTICE_ERROR, 0, false, "COULDN'T SAVE - THE AUDIO IS RESCUED",
                     job->result_path);
    } else {
      s->lost_count++;
      log_line("session: %s didn't land and its audio couldn't be rescued", job->folder);
      session_notice(s, NOTICE_ERROR, 0, false, "COULDN'T SAVE OR RESCUE THE TAKE", nullptr);
    }
  }
  if (current) {
    s->save_retry = true;
    session_back_off(s);
    char t[SESSION_BANNER_TEXT];
    snprintf(t, sizeof t, "COULDN'T SAVE - %.140s", why);
    session_banner_set(s, BANNER_SAVE_FAILED, true, t);
  }
}

void on_save_meta(Session* s, Job* job) {
  const bool current = s->meta && session_same_folder(job->folder, s->folder);
  if (job->result == JOB_DONE) {
    if (current && !s->save_retry) session_banner_set(s, BANNER_SAVE_FAILED, false, "");
    return;
  }
  if (job->result == JOB_CANCELLED) return;
  const char* why = job->message[0] ? job->message : "DISK ERROR";
  log_line("session: meta save of %s failed: %s", job->folder, why);
  if (!current && !session_same_folder(job->folder, s->folder)) {
    // The sketch was let go: nothing will save these changes again.
    s->lost_count++;
    log_line("session: %s closed with its last changes unsaved", job->folder);
  }
  if (current) {
    session_back_off(s);
    char t[SESSION_BANNER_TEXT];
    snprintf(t, sizeof t, "COULDN'T SAVE - %.140s", why);
    session_banner_set(s, BANNER_SAVE_FAILED, true, t);
  }
}

}  // namespace

bool session_on_job(Session* s, Job* job) {
  if (!s || !job || !session_owns_job(s, job->sequence, true)) return false;
  switch (job->kind) {
    case JOB_LOAD_META:
      on_load_meta(s, job);
      break;
    case JOB_LOAD_TAPE:
      on_load_tape(s, job);
      break;
    case JOB_SAVE_COMMIT:
      on_commit(s, job);
      break;
    case JOB_SAVE_META:
      on_save_meta(s, job);
      break;
    case JOB_SPECTRAL:
    case JOB_HOP_LEVELS:
      session_on_analysis_job(s, job);
      break;
    case JOB_PATCH_SPECTRAL:
      if (job->result == JOB_FAILED)
        log_line("session: spectral patch of %s: %s", job->folder,
                 job->message[0] ? job->message : "FAILED");
      break;
    case JOB_DELETE_DIR:
      if (job->result == JOB_FAILED)
        log_line("session: couldn't remove the empty sketch %s: %s", job->folder,
                 job->message[0] ? job->message : "FAILED");
      break;
    default:
      session_on_file_job(s, job);
      break;
  }
  return true;
}
