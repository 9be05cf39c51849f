// The user's file flows on the open sketch: clear, export, rename, and their job results.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/session_lifecycle.h"
#include "app/session_internal.h"
#include "core/tape.h"
#include "store/filenames.h"
#include "store/files.h"
#include "store/jobs.h"
#include "store/library.h"
#include "base/log.h"
#include "store/meta.h"
#include "store/paths.h"
#include "store/settings.h"

void session_sidecar_name(const Session* s, char* out, size_t size) {
  char title[SESSION_TITLE_BYTES];
  session_title(s, title, sizeof title);
  if (sidecar_wav_name(title, out, size) != 0) out[0] = 0;
}

// ---- clear ----

void session_clear(Session* s) {
  if (!s) return;
  if (s->state == SESSION_LOADING) {
    session_notice(s, NOTICE_ERROR, 0, false, "STILL LOADING - CLEAR IN A MOMENT", nullptr);
    return;
  }
  if (s->state != SESSION_READY || !s->meta || !s->main) return;
  Tape* main = tape_new_ready(s->rate, SESSION_TAPE_MINUTES, SESSION_TAPE_POOL);
  Tape* capture = main ? tape_new_ready(s->rate, SESSION_TAPE_MINUTES, SESSION_TAPE_POOL) : nullptr;
  if (!capture) {
    tape_free(main);
    session_notice(s, NOTICE_ERROR, 0, false, "NOT ENOUGH MEMORY TO CLEAR", nullptr);
    return;
  }
  session_cancel_sketch_jobs(s);
  if (session_take_runs(s)) session_send_cmd(s, CMD_RECORD_STOP);
  if (s->scrubbing) session_send_cmd(s, CMD_SCRUB_END);
  if (s->take.active || s->take.requested) {
    s->take.last_ended = s->take.active ? s->take.id : s->take.id_counter;
    s->take.has_last_ended = true;
  }
  session_take_reset(s);
  s->export_pending = false;
  s->save_retry = false;
  s->retry_delay = 0.0;
  s->resampled_on_open = false;
  s->epoch++;  // results of earlier commits no longer describe this tape
  session_banner_set(s, BANNER_SAVE_FAILED, false, "");
  session_banner_set(s, BANNER_TAPE_FULL, false, "");

  char sidecar[LIBRARY_SIDECAR_MAX + 1];
  session_sidecar_name(s, sidecar, sizeof sidecar);
  session_attach(s, main, capture, 0);
  Job* job = s->jobs ? job_new(JOB_CLEAR_FILES) : nullptr;
  if (job) {
    job_copy_text(job->folder, sizeof job->folder, s->folder);
    job_copy_text(job->name, sizeof job->name, sidecar);
    job_copy_text(job->sketch_id, sizeof job->sketch_id, s->meta->id);
    session_post_job(s, job);
  } else {
    session_notice(s, NOTICE_ERROR, 0, false, "COULDN'T DELETE THE OLD AUDIO FILES", nullptr);
  }

  SketchMeta* m = s->meta;
  meta_clear_audio(m);
  m->lengthSamples = 0;
  m->channels = 2;
  m->loopStart = m->loopEnd = 0.0;
  m->loopActive = false;
  s->committed_peak = 0.0f;
  s->has_click_height = false;
  s->loop = LoopRegion{0.0, 0.0, false};
  s->cursor_stored = true;
  s->cursor_last = 0;
  session_send_loop(s);
  session_apply_playback_gain(s);
  s->state = SESSION_LOADING;
  session_schedule_save(s);
  if (s->host.library_card) s->host.library_card(s->host.user, m, s->folder);
  log_line("session: cleared %s", s->folder);
}

// ---- export ----

void session_export(Session* s) {
  if (!s) return;
  if (s->state == SESSION_LOADING) {
    session_notice(s, NOTICE_EXPORT_ERROR, 0, false, "STILL LOADING - TRY AGAIN IN A MOMENT",
                   nullptr);
    return;
  }
  if (s->state != SESSION_READY || !s->meta || !s->main) return;
  if (session_take_runs(s)) {
    session_stop_recording(s);
    s->export_pending = true;
    return;
  }
  if (s->take.active || s->punch_pending) {
    s->export_pending = true;
    return;
  }
  session_export_now(s);
}

void session_export_now(Session* s) {
  if (!s->meta || !s->main) return;
  int64_t len = s->meta->lengthSamples;
  if (session_attached(s) && s->status.main_length > len) len = s->status.main_length;
  if (len < 1) {
    session_notice(s, NOTICE_EXPORT_ERROR, 0, false, "NOTHING TO EXPORT - RECORD SOMETHING FIRST",
                   nullptr);
    return;
  }
  TransportRange range = transport_export_range(&s->loop, s->rate, len);
  char title[SESSION_TITLE_BYTES], name[300], path[SESSION_PATH];
  session_title(s, title, sizeof title);
  Job* job = s->jobs ? job_new(JOB_EXPORT_WAV) : nullptr;
  if (!job || export_wav_name(title, range.is_loop, name, sizeof name) != 0 ||
      path_join(path, sizeof path, s->paths->exports, name) < 0) {
    job_free(job);
    session_notice(s, NOTICE_EXPORT_ERROR, 0, false, "NOT ENOUGH MEMORY", nullptr);
    return;
  }
  job_hold_tape(job, s->main);
  job->range_start = range.start;
  job->range_end = range.end;
  job->normalize = s->settings && s->settings->export_normalize;
  job->sample_rate = s->rate;
  job_copy_text(job->path, sizeof job->path, path);
  job_copy_text(job->folder, sizeof job->folder, s->folder);
  job_copy_text(job->sketch_id, sizeof job->sketch_id, s->meta->id);
  s->export_job = session_post_job(s, job);
}

// ---- rename ----

void session_rename(Session* s, const char* text) {
  if (!s || !s->meta || s->state == SESSION_NONE || !text) return;
  size_t b = 0, e = strlen(text);
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (b < e && space(text[b])) b++;
  while (e > b && space(text[e - 1])) e--;
  char name[META_NAME_MAX + 1];
  size_t n = e - b;
  if (n > META_NAME_MAX) n = text_utf8_boundary(text + b, META_NAME_MAX);
  memcpy(name, text + b, n);
  name[n] = 0;
  SketchMeta* m = s->meta;
  if (strcmp(name, m->name) == 0) return;

  char old_sidecar[LIBRARY_SIDECAR_MAX + 1], new_sidecar[LIBRARY_SIDECAR_MAX + 1];
  session_sidecar_name(s, old_sidecar, sizeof old_sidecar);
  memset(m->name, 0, sizeof m->name);
  memcpy(m->name, name, strlen(name));
  session_sidecar_name(s, new_sidecar, sizeof new_sidecar);
  if (s->host.library_card) s->host.library_card(s->host.user, m, s->folder);
  if (strcmp(old_sidecar, new_sidecar) == 0) {
    session_schedule_save(s);
    return;
  }
  Job* job = s->jobs ? job_new(JOB_RENAME) : nullptr;
  SketchMeta* copy = job ? meta_clone(m) : nullptr;
  if (!copy) {
    job_free(job);
    session_schedule_save(s);  // the next commit writes the side-car under the new name
    return;
  }
  job->meta = copy;
  job_copy_text(job->folder, sizeof job->folder, s->folder);
  job_copy_text(job->name, sizeof job->name, name);
  job_copy_text(job->path2, sizeof job->path2, old_sidecar);
  job_copy_text(job->sketch_id, sizeof job->sketch_id, m->id);
  if (session_post_job(s, job) != 0)
    s->meta_dirty = false;  // RENAME writes meta.json
  else
    session_schedule_save(s);
}

// ---- results ----

void session_on_file_job(Session* s, Job* job) {
  const bool current = s->meta && session_same_folder(job->folder, s->folder);
  switch (job->kind) {
    case JOB_CLEAR_FILES:
      if (job->result == JOB_FAILED)
        session_notice(s, NOTICE_ERROR, 0, false, "COULDN'T DELETE THE OLD AUDIO FILES", nullptr);
      break;
    case JOB_EXPORT_WAV:
      if (job->sequence == s->export_job) s->export_job = 0;
      if (job->result == JOB_DONE) {
        const char* path = job->result_path[0] ? job->result_path : job->path;
        log_line("session: exported %s", path);
        session_notice(s, NOTICE_EXPORT_DONE, 0, false, "", path);
      } else if (job->result == JOB_FAILED) {
        session_notice(s, NOTICE_EXPORT_ERROR, 0, false,
                       job->message[0] ? job->message : "EXPORT FAILED", nullptr);
      }
      break;
    case JOB_RENAME:
      if (job->result == JOB_FAILED && current) {
        session_notice_error(s, "COULDN'T RENAME - %s",
                             job->message[0] ? job->message : "DISK ERROR");
        session_schedule_save(s);
      }
      break;
    default:
      break;
  }
}
