// The user's file flows on the open sketch (clear, export, rename) and device changes asked for
// from the settings panel, which wait for a take to land and reopen the sketch around a rate
// change.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/lifecycle.h"
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

namespace {

enum { DEVICE_IDLE = 0, DEVICE_WAIT_TAKE = 1, DEVICE_WAIT_CLOSE = 2, DEVICE_POSTED = 3 };

Tape* fresh_tape(double rate) {
  Tape* t = tape_new(rate, SESSION_TAPE_MINUTES, SESSION_TAPE_POOL);
  if (t && tape_ensure(t, 0) != 0) {
    tape_free(t);
    t = nullptr;
  }
  return t;
}

const char* kind_label(int32_t kind) {
  switch (kind) {
    case AUDIO_SET_DEVICE:
      return "device";
    case AUDIO_SET_BUFFER:
      return "buffer";
    case AUDIO_SET_RATE:
      return "sample rate";
    case AUDIO_SET_EXCLUSIVE:
      return "exclusive mode";
    default:
      return "audio";
  }
}

void reopen_after_switch(Session* s) {
  if (!s->device.reopen[0]) return;
  char folder[SESSION_PATH];
  memcpy(folder, s->device.reopen, sizeof folder);
  s->device.reopen[0] = 0;
  session_open(s, folder);
}

// 0 posted, -1 the engine is still switching (told).
int device_post(Session* s) {
  AudioCommand cmd;
  memset(&cmd, 0, sizeof cmd);
  cmd.kind = s->device.request.kind;
  cmd.value = s->device.request.value;
  memcpy(cmd.device, s->device.request.device, sizeof cmd.device);
  cmd.device[sizeof cmd.device - 1] = 0;
  uint32_t id = s->audio.post ? s->audio.post(s->audio.user, &cmd) : 0;
  if (id == 0) {
    session_notice(s, NOTICE_ERROR, 0, false, "AUDIO IS STILL SWITCHING - TRY AGAIN", nullptr);
    s->device.phase = DEVICE_IDLE;
    reopen_after_switch(s);
    return -1;
  }
  s->device.id = id;
  s->device.posted_at = s->now;
  s->device.phase = DEVICE_POSTED;
  return 0;
}

// A rate change with a sketch open closes it first (its tape is reopened at the new rate).
int device_go(Session* s) {
  const SessionAudioRequest& r = s->device.request;
  if (r.kind == AUDIO_SET_RATE && s->state != SESSION_NONE && s->meta) {
    const double running = s->audio_status.rate;
    const bool same =
        session_device_running(s) &&
        (r.value <= 0 ? fabs(running - 48000.0) < 0.5 : fabs(running - (double)r.value) < 0.5);
    if (!same) {
      memcpy(s->device.reopen, s->folder, sizeof s->device.reopen);
      s->device.phase = DEVICE_WAIT_CLOSE;
      session_close(s);
      if (s->state == SESSION_NONE) return device_post(s);
      return 0;
    }
  }
  return device_post(s);
}

void device_result(Session* s) {
  const SessionAudioRequest& r = s->device.request;
  const AudioStatus& a = s->audio_status;
  const int32_t result = a.last_command_id == s->device.id ? a.last_command_result : 0;
  Settings* st = s->settings;
  if (result == AUDIO_DONE || result == AUDIO_FAILED) {
    // The engine keeps asked-for settings even while it can't run them.
    if (st) {
      if (r.kind == AUDIO_SET_DEVICE) {
        memset(st->device, 0, sizeof st->device);
        size_t n = log_utf8_boundary(r.device, strnlen(r.device, sizeof st->device - 1));
        memcpy(st->device, r.device, n);
      } else if (r.kind == AUDIO_SET_BUFFER) {
        st->buffer_frames = r.value;
      } else if (r.kind == AUDIO_SET_RATE) {
        st->sample_rate = r.value > 0 ? r.value : 0;
      } else if (r.kind == AUDIO_SET_EXCLUSIVE) {
        st->exclusive = r.value ? 1 : 0;
      }
    }
  }
  if (result == AUDIO_REFUSED) {
    if (r.kind == AUDIO_SET_DEVICE) {
      char kept[AUDIO_NAME_BYTES];
      memcpy(kept, a.device, sizeof kept);
      kept[sizeof kept - 1] = 0;
      for (char* p = kept; *p; p++)
        if (*p >= 'a' && *p <= 'z') *p = (char)(*p - 'a' + 'A');
      session_notice_error(s, "COULDN'T OPEN THAT DEVICE - KEPT %s", kept);
    } else if (r.kind == AUDIO_SET_BUFFER) {
      session_notice(s, NOTICE_ERROR, 0, false, "BUFFER REFUSED - KEPT OLD SIZE", nullptr);
    } else if (r.kind == AUDIO_SET_RATE) {
      session_notice(s, NOTICE_ERROR, 0, false, "RATE REFUSED - KEPT OLD", nullptr);
    }
  }
  if (r.kind == AUDIO_SET_EXCLUSIVE && result != AUDIO_FAILED && a.state == AUDIO_RUNNING) {
    session_notice(
        s, NOTICE_TOAST, 0, false,
        a.exclusive ? "EXCLUSIVE - NO OTHER APP CAN USE IT" : "SHARED - OTHER APPS CAN USE IT",
        nullptr);
  }
  if (result == AUDIO_FAILED && (a.state == AUDIO_DOWN || a.state == AUDIO_RECOVERING))
    session_notice(s, NOTICE_ERROR, 0, false, "AUDIO DOWN - CHECK INPUT DEVICE", nullptr);
}

}  // namespace

void session_sidecar_name(const Session* s, char* out, size_t size) {
  char title[256];
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
  Tape* main = fresh_tape(s->rate);
  Tape* capture = main ? fresh_tape(s->rate) : nullptr;
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
    job_copy_text(job->sketchId, sizeof job->sketchId, s->meta->id);
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
  char title[256], name[300], path[SESSION_PATH];
  session_title(s, title, sizeof title);
  Job* job = s->jobs ? job_new(JOB_EXPORT_WAV) : nullptr;
  if (!job || export_wav_name(title, range.is_loop, name, sizeof name) != 0 ||
      path_join(path, sizeof path, s->paths->exports, name) < 0) {
    job_free(job);
    session_notice(s, NOTICE_EXPORT_ERROR, 0, false, "NOT ENOUGH MEMORY", nullptr);
    return;
  }
  job_hold_tape(job, s->main);
  job->rangeStart = range.start;
  job->rangeEnd = range.end;
  job->normalize = s->settings && s->settings->export_normalize;
  job->sampleRate = s->rate;
  job_copy_text(job->path, sizeof job->path, path);
  job_copy_text(job->folder, sizeof job->folder, s->folder);
  job_copy_text(job->sketchId, sizeof job->sketchId, s->meta->id);
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
  if (n > META_NAME_MAX) n = log_utf8_boundary(text + b, META_NAME_MAX);
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
  job_copy_text(job->sketchId, sizeof job->sketchId, m->id);
  if (session_post_job(s, job) != 0)
    s->meta_dirty = false;  // RENAME writes meta.json
  else
    session_schedule_save(s);
}

// ---- device changes ----

int session_audio_request(Session* s, const SessionAudioRequest* request) {
  if (!s || !request) return -1;
  if (!s->audio.post) {
    session_notice(s, NOTICE_ERROR, 0, false, "NO AUDIO ENGINE", nullptr);
    return -1;
  }
  const int32_t kind = request->kind;
  const bool waits = kind == AUDIO_SET_DEVICE || kind == AUDIO_SET_BUFFER ||
                     kind == AUDIO_SET_RATE || kind == AUDIO_SET_EXCLUSIVE;
  if (!waits) {
    AudioCommand cmd;
    memset(&cmd, 0, sizeof cmd);
    cmd.kind = kind;
    cmd.value = request->value;
    if (s->audio.post(s->audio.user, &cmd) == 0) {
      session_notice(s, NOTICE_ERROR, 0, false, "AUDIO IS STILL SWITCHING - TRY AGAIN", nullptr);
      return -1;
    }
    return 0;
  }
  if (s->device.phase == DEVICE_WAIT_CLOSE || s->device.phase == DEVICE_POSTED) {
    session_notice(s, NOTICE_ERROR, 0, false, "AUDIO IS STILL SWITCHING - TRY AGAIN", nullptr);
    return -1;
  }
  s->device.request = *request;
  s->device.request.device[sizeof s->device.request.device - 1] = 0;
  s->device.reopen[0] = 0;
  if (session_take_outstanding(s) || s->commit_count > 0) {
    if (session_take_runs(s)) session_stop_recording(s);
    s->device.phase = DEVICE_WAIT_TAKE;
    return 0;
  }
  return device_go(s);
}

void lifecycle_device_step(Session* s) {
  switch (s->device.phase) {
    case DEVICE_WAIT_TAKE:
      if (!session_take_outstanding(s) && s->commit_count == 0) device_go(s);
      break;
    case DEVICE_WAIT_CLOSE:
      if (s->state == SESSION_CLOSING) break;
      // Another sketch opened meanwhile: the user moved on, nothing to reopen.
      if (s->state != SESSION_NONE) s->device.reopen[0] = 0;
      device_post(s);
      break;
    case DEVICE_POSTED: {
      const uint32_t last = s->audio_status.last_command_id;
      const bool answered =
          s->have_audio_status && last != 0 && (int32_t)(last - s->device.id) >= 0;
      if (answered) {
        device_result(s);
      } else if (s->now - s->device.posted_at > SESSION_DEVICE_ANSWER_S) {
        log_line("session: the audio engine never answered the %s change",
                 kind_label(s->device.request.kind));
      } else {
        break;
      }
      s->device.phase = DEVICE_IDLE;
      reopen_after_switch(s);
      break;
    }
    default:
      break;
  }
}

// ---- results ----

void lifecycle_on_file_job(Session* s, Job* job) {
  const bool current = s->meta && session_same_folder(job->folder, s->folder);
  switch (job->kind) {
    case JOB_CLEAR_FILES:
      if (job->result == JOB_FAILED)
        session_notice(s, NOTICE_ERROR, 0, false, "COULDN'T DELETE THE OLD AUDIO FILES", nullptr);
      break;
    case JOB_EXPORT_WAV:
      if (job->sequence == s->export_job) s->export_job = 0;
      if (job->result == JOB_DONE) {
        const char* path = job->resultPath[0] ? job->resultPath : job->path;
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
