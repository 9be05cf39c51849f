// Device changes asked for from the settings panel: they wait for a take to land, close the
// sketch around a rate change and reopen it, and turn the engine's answer into a notice.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/session_lifecycle.h"
#include "app/session_internal.h"
#include "base/log.h"
#include "store/settings.h"

namespace {

enum { DEVICE_IDLE = 0, DEVICE_WAIT_TAKE = 1, DEVICE_WAIT_CLOSE = 2, DEVICE_POSTED = 3 };

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
        (r.value <= 0 ? fabs(running - SESSION_DEFAULT_RATE) < 0.5 : fabs(running - (double)r.value) < 0.5);
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
        size_t n = text_utf8_boundary(r.device, strnlen(r.device, sizeof st->device - 1));
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

void session_device_step(Session* s) {
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
