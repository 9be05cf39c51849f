// The worker thread and the guarded driver calls: everything that may touch the driver runs
// here, one call at a time, while the control thread waits for it in 50 ms slices.
#include "audio/audio_engine_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/log.h"

namespace {

void drain_after_hang(AudioEngine* e) {
  if (engine_drain(e, kDrainMs)) {
    core_set_free_immediately(e->core, true);
    core_quiesce(e->core);
  } else {
    e->drain_pending = true;
  }
}

}  // namespace

// --- Guarded driver calls ----------------------------------------------------------------

void engine_worker_main(AudioEngine* e) {
  for (;;) {
    bool asked = e->request.wait(1000);
    if (e->worker_stop.load()) break;
    if (!asked) continue;
    EngineWorkerFn fn = e->call_fn;
    if (!fn) continue;
    e->call_fn = nullptr;
    e->call_result = fn(e, e->call_arg);
    e->done.signal();
  }
  e->worker_ended.store(true);
  e->worker_ended_event.signal();
}

// arg_size > 0: *arg is copied to the worker and back, so it may live on the caller's stack.
EngineCallOutcome engine_guarded(AudioEngine* e, const char* label, uint64_t limit_ms,
                                 EngineWorkerFn fn, void* arg, int* result, size_t arg_size) {
  *result = -1;
  if (e->gave_up.load()) return ENGINE_CALL_GIVEN_UP;
  {
    // The done event may still hold a signal from nothing; a call always starts clean.
    std::lock_guard<std::mutex> g(e->done.m);
    e->done.set = false;
  }
  bool copied = arg && arg_size > 0 && arg_size <= sizeof e->call_buf;
  if (copied) memcpy(e->call_buf, arg, arg_size);
  e->call_arg = copied ? (void*)e->call_buf : arg;
  {
    std::lock_guard<std::mutex> g(e->request.m);
    e->call_fn = fn;
    e->request.set = true;
  }
  e->request.cv.notify_all();
  uint64_t start = platform_tick_ms();
  uint64_t next_quiesce = start + kQuiesceMs;
  uint64_t stall_deadline = 0, stall_count = 0;
  bool hung = false;
  for (;;) {
    if (e->done.wait(kSliceMs)) break;
    uint64_t now = platform_tick_ms();
    if (e->abandon.load()) {
      e->gave_up.store(true);
      log_line("audio: giving up on %s - quitting without it", label);
      return ENGINE_CALL_GIVEN_UP;
    }
    if (!hung && now - start >= limit_ms) {
      hung = true;
      e->hung = true;
      e->saved_state = e->st.state;
      engine_set_state(e, AUDIO_HUNG);
      engine_set_message(e, "audio driver stopped answering (%s) - restart Kelp NOVA", label);
      log_line("audio: HUNG - %s hasn't returned after %.1f s", label, (now - start) / 1000.0);
      if (!e->running) {
        core_set_running(e->core, false);
        drain_after_hang(e);
      } else {
        stall_count = e->callbacks.load(std::memory_order_relaxed);
        stall_deadline = now + kHeartbeatMs;
      }
      engine_publish(e);
    }
    if (hung && e->running) {
      uint64_t c = e->callbacks.load(std::memory_order_relaxed);
      if (c != stall_count) {
        stall_count = c;
        stall_deadline = now + kHeartbeatMs;
      } else if (now >= stall_deadline) {
        log_line("audio: the stream stalled while the driver is stuck - sealing without it");
        e->running = false;
        e->stalled_while_stuck = true;
        core_set_running(e->core, false);
        drain_after_hang(e);
        engine_publish(e);
      }
    }
    if (e->drain_pending && e->in_flight.load() == 0) {
      e->drain_pending = false;
      core_set_free_immediately(e->core, true);
      core_quiesce(e->core);
    }
    if (now >= next_quiesce) {
      next_quiesce = now + kQuiesceMs;
      if (engine_core_unreachable(e)) core_quiesce(e->core);
    }
  }
  *result = e->call_result;
  if (copied) memcpy(arg, e->call_buf, arg_size);
  if (!hung) return ENGINE_CALL_DONE;
  engine_set_state(e, e->saved_state);
  e->hung = false;
  e->drain_pending = false;
  engine_clear_message(e);
  log_line("audio: %s came back after %.1f s", label, (platform_tick_ms() - start) / 1000.0);
  engine_publish(e);
  return ENGINE_CALL_LATE;
}

// --- Worker-side driver work -------------------------------------------------------------

int engine_w_initialize(AudioEngine* e, void* arg) {
  PaError r = e->drv->initialize(e->drv->user);
  if (r != paNoError) {
    const char* text = e->drv->error_text(e->drv->user, r);
    engine_copy_text((char*)arg, 96, text ? text : "?");  // the message keeps 95 bytes of it
  }
  return r;
}

int engine_w_terminate(AudioEngine* e, void*) {
  return e->drv->terminate(e->drv->user);
}

int engine_w_list(AudioEngine* e, void*) {
  const AudioDriver* d = e->drv;
  void* u = d->user;
  e->row_count = 0;
  memset(e->rows, 0, sizeof e->rows);
  int n = d->device_count(u);
  int def_in = d->default_input_device(u);
  int def_api = d->default_host_api(u);
  for (int i = 0; i < n && e->row_count < AUDIO_MAX_ROWS; i++) {
    const PaDeviceInfo* info = d->device_info(u, i);
    if (!info || info->maxInputChannels < 1) continue;
    const PaHostApiInfo* api = d->host_api_info(u, info->hostApi);
    if (!api || api->type == paASIO) continue;
    int out = -1;
    if (api->defaultOutputDevice >= 0 && api->defaultOutputDevice < n) {
      out = api->defaultOutputDevice;
    } else {
      for (int j = 0; j < n; j++) {
        const PaDeviceInfo* o = d->device_info(u, j);
        if (o && o->hostApi == info->hostApi && o->maxOutputChannels >= 2) {
          out = j;
          break;
        }
      }
    }
    const PaDeviceInfo* oinfo = out >= 0 ? d->device_info(u, out) : nullptr;
    EngineDeviceRow* r = &e->rows[e->row_count++];
    char name[512];
    snprintf(name, sizeof name, "%s [%s]", info->name ? info->name : "?",
             api->name ? api->name : "?");
    engine_copy_text(r->name, sizeof r->name, name);
    r->input_device = i;
    r->output_device = oinfo ? out : -1;
    r->asio = api->type == paASIO;
    r->inputs = info->maxInputChannels;
    r->host_type = api->type;
    r->priority = i == def_in ? 25 : info->hostApi == def_api ? 20 : 10;
    r->input_rate = info->defaultSampleRate;
    r->output_rate = oinfo ? oinfo->defaultSampleRate : 0;
    engine_copy_text(r->raw, sizeof r->raw, info->name ? info->name : "");
    engine_copy_text(r->label, sizeof r->label, audio_host_label(api->type, api->name));
  }
  for (int i = 0; i < e->row_count; i++) {
    const EngineDeviceRow* r = &e->rows[i];
    const PaDeviceInfo* o = r->output_device >= 0 ? d->device_info(u, r->output_device) : nullptr;
    log_line("audio: dev %2d: %-44s in %d ch @%.0f | out %s %d ch", i, r->name, r->inputs,
             r->input_rate, o && o->name ? o->name : "(none)", o ? o->maxOutputChannels : 0);
  }
  if (e->row_count == 0) log_line("audio: no input devices");
  return 0;
}

namespace {

// Fails with the host error's verdict, or by the PortAudio error's class.
void classify(AudioEngine* e, PaError err, int host_type, int* cause, char suffix[32]) {
  suffix[0] = 0;
  if (err == paUnanticipatedHostError || (host_type == paWASAPI && err == paInvalidDevice)) {
    const PaHostErrorInfo* h = e->drv->last_host_error(e->drv->user);
    long code = h ? h->errorCode : 0;
    int type = h ? (int)h->hostApiType : -1;
    uint32_t c = (uint32_t)(unsigned long)code;
    if (c == kAccessDenied) {
      *cause = AUDIO_CAUSE_ACCESS_DENIED;
    } else if (c == kDeviceInvalidated || c == kResourcesInvalidated) {
      *cause = AUDIO_CAUSE_OTHER;
    } else if (c == kDeviceInUse) {
      *cause = AUDIO_CAUSE_IN_USE;
    } else if (type == paMME && code == kMmeAllocated) {
      *cause = AUDIO_CAUSE_IN_USE;
    } else if (type == paALSA && code == -EBUSY) {
      *cause = AUDIO_CAUSE_IN_USE;  // ALSA's "device or resource busy"
    } else {
      *cause = AUDIO_CAUSE_OTHER;
    }
    snprintf(suffix, 32, " (host 0x%08lX)", (unsigned long)c);
  } else if (err == paInvalidSampleRate) {
    *cause = AUDIO_CAUSE_RATE_REFUSED;
  } else if (err == paBufferTooBig || err == paBufferTooSmall) {
    *cause = AUDIO_CAUSE_BUFFER_REFUSED;
  } else {
    *cause = AUDIO_CAUSE_OTHER;
  }
}

// The exclusive-mode stream information WASAPI reads (its layout on 64-bit Windows).
struct WasapiStreamInfo {
  uint32_t size;
  int32_t host_api_type;
  uint32_t version;
  uint32_t flags;
  uint32_t channel_mask;
  uint32_t pad;
  void* host_processor_output;
  void* host_processor_input;
  int32_t thread_priority;
  int32_t stream_category;
  int32_t stream_option;
  uint32_t pad2;
};
static_assert(sizeof(WasapiStreamInfo) == 56, "WASAPI stream information is 56 bytes");

int no_op_callback(const void*, void*, unsigned long, const PaStreamCallbackTimeInfo*,
                   PaStreamCallbackFlags, void*) {
  return paContinue;
}

}  // namespace

int engine_w_open(AudioEngine* e, void* arg) {
  EngineOpenRequest* q = (EngineOpenRequest*)arg;
  const AudioDriver* d = e->drv;
  void* u = d->user;
  q->ok = false;
  q->failure.cause = AUDIO_CAUSE_NONE;
  q->failure.message[0] = 0;
  const PaDeviceInfo* info = d->device_info(u, q->row.input_device);
  if (!info || info->maxInputChannels < 1) {
    engine_fail(&q->failure, AUDIO_CAUSE_OTHER, "the device is gone");
    return -1;
  }
  int inputs =
      info->maxInputChannels < AUDIO_MAX_INPUTS ? info->maxInputChannels : (int)AUDIO_MAX_INPUTS;
  if (q->want_inputs > 0 && q->want_inputs < inputs) inputs = q->want_inputs;
  q->inputs_tried = inputs;
  const PaDeviceInfo* oinfo =
      q->row.output_device >= 0 ? d->device_info(u, q->row.output_device) : nullptr;
  bool can_duplex = oinfo && oinfo->maxOutputChannels >= 2;
  bool wasapi = q->row.host_type == paWASAPI;

  WasapiStreamInfo wi;
  memset(&wi, 0, sizeof wi);
  wi.size = sizeof wi;
  wi.host_api_type = paWASAPI;
  wi.version = 1;
  wi.flags = 1;  // exclusive

  for (int m = 0; m < 4; m++) {
    bool duplex = m < 2;
    bool excl = (m % 2) == 0;
    if (duplex && !can_duplex) continue;
    if (excl && !(wasapi && q->exclusive)) continue;
    const char* label = duplex ? (excl ? "duplex, exclusive" : "duplex")
                               : (excl ? "input only, exclusive" : "input only");
    PaStreamParameters in;
    memset(&in, 0, sizeof in);
    in.device = q->row.input_device;
    in.channelCount = inputs;
    in.sampleFormat = paFloat32 | paNonInterleaved;
    in.suggestedLatency = info->defaultLowInputLatency * (excl ? 0.5 : 1.0);
    in.hostApiSpecificStreamInfo = excl ? &wi : nullptr;
    PaStreamParameters out;
    memset(&out, 0, sizeof out);
    if (duplex) {
      out.device = q->row.output_device;
      out.channelCount = 2;
      out.sampleFormat = paFloat32 | paNonInterleaved;
      out.suggestedLatency = oinfo->defaultLowOutputLatency * (excl ? 0.5 : 1.0);
      out.hostApiSpecificStreamInfo = excl ? &wi : nullptr;
    }
    q->ticket->outputs = duplex ? 2 : 0;
    for (int k = 0; k < q->nrates; k++) {
      double rate = q->rates[k];
      PaError err = d->is_format_supported(u, &in, duplex ? &out : nullptr, rate);
      if (err == paFormatIsSupported) {
        PaStream* s = nullptr;
        err = d->open_stream(u, &s, &in, duplex ? &out : nullptr, rate, (unsigned long)q->frames,
                             paClipOff, audio_engine_callback, q->ticket);
        if (err == paNoError) {
          q->ok = true;
          q->stream = s;
          q->rate = rate;
          q->inputs = inputs;
          q->duplex = duplex;
          q->exclusive_on = excl;
          q->ticket->channels = inputs;
          return 0;
        }
      }
      int cause;
      char suffix[32];
      classify(e, err, q->row.host_type, &cause, suffix);
      const char* text = d->error_text(u, err);
      if (!text) text = "?";
      if (audio_cause_rank(cause) >= audio_cause_rank(q->failure.cause)) {
        engine_fail(&q->failure, cause, "%s at %.0f Hz: %s%s", label, rate, text, suffix);
      }
      if (!q->quiet) log_line("audio:   refused - %s at %.0f Hz: %s%s", label, rate, text, suffix);
      if (cause == AUDIO_CAUSE_ACCESS_DENIED) return -1;
      if (err == paInvalidDevice || err == paDeviceUnavailable) break;
    }
  }
  return -1;
}

namespace {

void finished_callback(void* user) {
  StreamTicket* t = (StreamTicket*)user;
  t->engine->finished_gen.store(t->generation, std::memory_order_relaxed);
}

void state_handler(PaStream*, unsigned int flags, unsigned int error_id, void* user) {
  if (!(flags & AUDIO_STREAM_STATE_ERROR)) return;
  StreamTicket* t = (StreamTicket*)user;
  t->engine->host_error_code.store(error_id, std::memory_order_relaxed);
  t->engine->host_error_gen.store(t->generation, std::memory_order_relaxed);
}

}  // namespace

int engine_w_start(AudioEngine* e, void* arg) {
  EngineStartRequest* q = (EngineStartRequest*)arg;
  const AudioDriver* d = e->drv;
  void* u = d->user;
  q->ok = false;
  d->set_finished_callback(u, q->stream, finished_callback);
  if (q->host_type == paWASAPI && d->set_state_handler) {
    d->set_state_handler(u, q->stream, state_handler, e->ticket);
  }
  PaError err = d->start_stream(u, q->stream);
  if (err != paNoError) {
    int cause;
    char suffix[32];
    classify(e, err, q->host_type, &cause, suffix);
    const char* text = d->error_text(u, err);
    engine_fail(&q->failure, cause, "start: %s%s", text ? text : "?", suffix);
    d->close_stream(u, q->stream);
    return -1;
  }
  const PaStreamInfo* si = d->stream_info(u, q->stream);
  q->in_latency = si ? si->inputLatency * 1000.0 : 0;
  q->out_latency = si ? si->outputLatency * 1000.0 : 0;
  q->ok = true;
  return 0;
}

int engine_w_stop(AudioEngine* e, void* arg) {
  EngineStopRequest* q = (EngineStopRequest*)arg;
  const AudioDriver* d = e->drv;
  if (q->abort) {
    d->abort_stream(d->user, q->stream);
  } else {
    d->stop_stream(d->user, q->stream);
  }
  return d->close_stream(d->user, q->stream);
}

int engine_w_probe(AudioEngine* e, void* arg) {
  EngineProbeRequest* q = (EngineProbeRequest*)arg;
  const AudioDriver* d = e->drv;
  void* u = d->user;
  const PaDeviceInfo* info = d->device_info(u, q->row.input_device);
  if (!info || info->maxInputChannels < 1) return -1;
  PaStreamParameters in;
  memset(&in, 0, sizeof in);
  in.device = q->row.input_device;
  in.channelCount = info->maxInputChannels >= 2 ? 2 : 1;
  in.sampleFormat = paFloat32 | paNonInterleaved;
  in.suggestedLatency = info->defaultLowInputLatency;
  double rates[2] = {q->rate, info->defaultSampleRate};
  for (double r : rates) {
    if (!(r > 0)) continue;
    PaStream* s = nullptr;
    if (d->open_stream(u, &s, &in, nullptr, r, (unsigned long)AUDIO_DEFAULT_FRAMES, paClipOff,
                       no_op_callback, nullptr) == paNoError) {
      d->close_stream(u, s);
      return 0;
    }
  }
  return -1;
}
