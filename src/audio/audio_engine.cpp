// The audio engine: one stream, opened with fallbacks, supervised and brought back.
//
// Everything that may touch the driver runs on the worker thread, one call at a time, while the
// control thread waits for it in 50 ms slices (a guarded call). The control thread makes every
// decision; the UI thread only posts commands and reads what the control thread publishes.
// The callback reaches the core only while its stream's generation is the accepted one, and the
// control thread drains callbacks in flight before it touches the core itself.
#include "audio/audio_engine.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <thread>

#include "audio/audio_driver.h"
#include "core/core.h"
#include "core/seqlock.h"
#include "platform/platform.h"
#include "platform/thread.h"
#include "rig/mixer.h"
#include "rig/rig_doc.h"
#include "base/log.h"

namespace {

// Time limits of the guarded driver calls, ms.
constexpr uint64_t kLimitStartPa = 10000;
constexpr uint64_t kLimitStopPa = 10000;
constexpr uint64_t kLimitList = 5000;
constexpr uint64_t kLimitOpen = 8000;
constexpr uint64_t kLimitStart = 5000;
constexpr uint64_t kLimitStop = 2000;
constexpr uint64_t kLimitProbe = 5000;

constexpr uint64_t kSliceMs = 50;
constexpr uint64_t kQuiesceMs = 100;
constexpr uint64_t kRetryStepMs = 300;  // attempt n waits (n + 1) x 300 ms
constexpr uint64_t kDownRetryMs = 2000;
constexpr uint64_t kDownRelogMs = 60000;
constexpr uint64_t kHeartbeatMs = 300;
constexpr uint64_t kHeartbeatGraceMs = 1500;  // after a start or a resume
constexpr uint64_t kWantedCheckMs = 3000;
constexpr uint64_t kRescanHoldoffMs = 5000;
constexpr uint64_t kPollMs = 1000;
constexpr uint64_t kResumeGapMs = 1500;
constexpr uint64_t kEmptyListRetryMs = 10000;  // restart PortAudio at most this often while it lists nothing
static_assert((int)AUDIO_MAX_FRAMES == (int)CORE_MAX_FRAMES &&
                  (int)AUDIO_MAX_FRAMES == (int)RIG_MAX_FRAMES,
              "the engine, the core and the mixer take the same largest callback");

constexpr uint64_t kDrainMs = 250;
constexpr uint64_t kDrainShutdownMs = 1000;
constexpr uint64_t kRigLockMs = 250;  // a wait for the rig longer than this is logged
constexpr uint64_t kTapSliceMs = 1;
constexpr uint64_t kShutdownWaitMs = 2000;
constexpr uint64_t kAbandonWaitMs = 500;
constexpr uint64_t kWorkerWaitMs = 1000;
constexpr size_t kCallArgBytes = 1024;

constexpr uint32_t kCoreBusy = CORE_STATUS_PLAYING | CORE_STATUS_RECORDING | CORE_STATUS_SCRUBBING |
                               CORE_STATUS_COASTING | CORE_STATUS_TAIL | CORE_STATUS_PREVIEW |
                               CORE_STATUS_SEEK_PENDING;
constexpr uint32_t kCoreNeedsQuiesce =
    CORE_STATUS_RECORDING | CORE_STATUS_SCRUBBING | CORE_STATUS_COASTING | CORE_STATUS_TAIL;

// Host error codes that decide a failure's cause.
constexpr uint32_t kAccessDenied = 0x80070005u;
constexpr uint32_t kDeviceInvalidated = 0x88890004u;
constexpr uint32_t kResourcesInvalidated = 0x88890026u;
constexpr uint32_t kDeviceInUse = 0x8889000Au;
constexpr long kMmeAllocated = 4;

// An auto-reset event.
struct Event {
  std::mutex m;
  std::condition_variable cv;
  bool set = false;
  void signal() {
    {
      std::lock_guard<std::mutex> g(m);
      set = true;
    }
    cv.notify_all();
  }
  bool wait(uint64_t ms) {
    std::unique_lock<std::mutex> g(m);
    if (!cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return set; })) return false;
    set = false;
    return true;
  }
};

struct DeviceRow {
  char name[AUDIO_NAME_BYTES];  // "%s [%s]", the key devices are remembered by
  int input_device;
  int output_device;  // paired output, -1 if none
  bool asio;
  int inputs;
  int host_type;
  int priority;
  double input_rate;
  double output_rate;
  char raw[AUDIO_NAME_BYTES];
  char label[AUDIO_LABEL_BYTES];
};

struct Failure {
  int cause;
  char message[AUDIO_MESSAGE_BYTES];
};

struct Settings {
  char wanted[AUDIO_NAME_BYTES];
  char resolved[AUDIO_NAME_BYTES];
  int frames;
  int rate;  // 0 = AUTO
  bool exclusive;
};

enum CallOutcome { CALL_DONE, CALL_LATE, CALL_GIVEN_UP };

typedef int (*WorkerFn)(AudioEngine* e, void* arg);

struct TapPair {
  AudioTap fn;
  void* user;
};

}  // namespace

struct StreamTicket {
  AudioEngine* engine;
  uint32_t generation;
  int32_t channels;
  int32_t outputs;
};

struct AudioEngine {
  // References.
  Core* core;
  RigMixer* rig;
  const AudioDriver* drv;
  const AudioProbe* probe;

  // Threads and events.
  PlatformThread* control_thread = nullptr;
  PlatformThread* worker_thread = nullptr;
  PlatformThread* collector_thread = nullptr;
  Event wake, request, done, collector_stop_event, worker_ended_event, control_ended_event;

  std::atomic<bool> quit{false};
  std::atomic<bool> abandon{false};
  std::atomic<bool> collector_stop{false};
  std::atomic<bool> worker_stop{false};
  std::atomic<bool> gave_up{false};
  std::atomic<bool> control_ended{false};
  std::atomic<bool> worker_ended{false};
  std::atomic<bool> resume_pending{false};

  // Command ring.
  std::mutex ring_lock;
  AudioCommand ring[AUDIO_COMMANDS_WAITING];
  uint32_t ring_ids[AUDIO_COMMANDS_WAITING];
  int ring_head = 0;
  int ring_count = 0;
  uint32_t next_id = 0;

  // Status: the working copy (control thread) and the published one.
  std::shared_mutex status_lock;
  AudioStatus st;
  AudioStatus pub;
  StreamBinding binding;         // published under status_lock
  uint32_t binding_gen_pub = 0;  // its generation, under status_lock
  uint32_t binding_gen = 0;
  int cause = AUDIO_CAUSE_NONE;

  // Driver-call slot.
  WorkerFn call_fn = nullptr;
  void* call_arg = nullptr;
  // The worker's copy of a call's arguments: a call given up at quit may still return and write
  // here, long after the control thread's frame that asked for it is gone.
  alignas(std::max_align_t) unsigned char call_buf[kCallArgBytes];
  int call_result = 0;
  bool hung = false;
  bool drain_pending = false;
  int saved_state = AUDIO_CLOSED;

  // Callback bookkeeping.
  std::atomic<uint32_t> accepted{0};
  std::atomic<int32_t> in_flight{0};
  std::atomic<uint64_t> callbacks{0};
  std::atomic<uint32_t> finished_gen{0};
  std::atomic<uint32_t> host_error_code{0};
  std::atomic<uint32_t> host_error_gen{0};
  uint32_t generation = 0;
  std::atomic<double> cb_rate{48000.0};
  SeqLock<TapPair> tap;
  // Callbacks between reading the tap and leaving it; a setter waits for them.
  std::atomic<int32_t> in_tap{0};
  std::mutex tap_writer;

  // Buffers made at creation.
  float* silence = nullptr;
  float* scratch_l = nullptr;
  float* scratch_r = nullptr;
  float* mix_l = nullptr;
  float* mix_r = nullptr;
  float* tap_buf = nullptr;  // 4096 stereo frames

  std::mutex rig_lock;

  // Device table.
  DeviceRow rows[AUDIO_MAX_ROWS];
  int row_count = 0;

  Settings set;

  // Running stream.
  bool pa_init = false;
  PaStream* stream = nullptr;
  StreamTicket* ticket = nullptr;
  bool running = false;
  int cur_row = -1;
  double rate = 0;
  double last_running_rate = 0;
  int frames = 0;
  int inputs = 0;
  bool duplex = false;
  bool exclusive_on = false;
  int device_inputs = 0;
  double in_latency_ms = 0, out_latency_ms = 0;
  double core_rate = 0;
  int core_channels = 0;

  // Supervision.
  int wanted_first_failure = AUDIO_CAUSE_NONE;
  int attempts = 0;
  uint64_t next_attempt = 0;
  bool force_reinit = false;
  uint64_t pa_started_ms = 0;
  bool stalled_while_stuck = false;
  int last_down_cause = -1;
  uint64_t last_down_log = 0;
  bool down_logged = false;
  uint64_t hb_last = 0, hb_start = 0, hb_deadline = 0;
  uint64_t last_loop = 0;
  uint64_t next_quiesce = 0;
  uint64_t next_poll = 0;
  uint64_t next_wanted_check = 0;
  uint32_t counts = 0, counts_at_start = 0;
  bool mic_off = false;
  bool rescan_pending = false;
  bool reopen_pending = false;
  uint32_t rescan_id = 0;
  bool rescan_by_command = false;
  uint64_t rescan_holdoff = 0;
};

namespace {

uint64_t now_ms() {
  return platform_tick_ms();
}

// Copies src into a fixed field, cut at a character boundary and zero-filled.
void copy_text(char* dst, size_t size, const char* src) {
  size_t n = src ? strnlen(src, size - 1) : 0;
  memmove(dst, src ? src : "", n);
  if (src && src[n] != 0) {
    // Cut short: drop a character whose bytes did not all fit.
    size_t i = n;
    while (i > 0 && ((unsigned char)dst[i - 1] & 0xC0) == 0x80) i--;
    if (i > 0) {
      unsigned char lead = (unsigned char)dst[i - 1];
      size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      if (n - (i - 1) < need) n = i - 1;
    }
  }
  memset(dst + n, 0, size - n);
}

void set_message(AudioEngine* e, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void set_message(AudioEngine* e, const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  memset(e->st.message, 0, sizeof e->st.message);
  copy_text(e->st.message, sizeof e->st.message, buf);
}

void clear_message(AudioEngine* e) {
  memset(e->st.message, 0, sizeof e->st.message);
}

void fail(Failure* f, int cause, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void fail(Failure* f, int cause, const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  f->cause = cause;
  copy_text(f->message, sizeof f->message, buf);
}

void publish(AudioEngine* e) {
  AudioStatus s;
  memcpy(&s, &e->st, sizeof s);
  s.cause = e->hung ? AUDIO_CAUSE_DRIVER_HUNG : e->mic_off ? AUDIO_CAUSE_ACCESS_DENIED : e->cause;
  s.rescan_pending = e->rescan_pending;
  std::unique_lock<std::shared_mutex> g(e->status_lock);
  s.change_counter = e->pub.change_counter;
  if (memcmp(&s, &e->pub, sizeof s) != 0) {
    s.change_counter++;
    memcpy(&e->pub, &s, sizeof s);
  }
}

void set_state(AudioEngine* e, int state) {
  e->st.state = state;
}

void publish_rows(AudioEngine* e) {
  memset(e->st.rows, 0, sizeof e->st.rows);
  for (int i = 0; i < e->row_count; i++) {
    AudioStatusRow* r = &e->st.rows[i];
    memcpy(r->name, e->rows[i].name, sizeof r->name);
    r->input_device = e->rows[i].input_device;
    r->output_device = e->rows[i].output_device;
    r->asio = e->rows[i].asio ? 1 : 0;
    r->inputs = e->rows[i].inputs;
  }
  e->st.row_count = e->row_count;
}

int find_row(AudioEngine* e, const char* display_name) {
  if (!display_name || !*display_name) return -1;
  for (int i = 0; i < e->row_count; i++) {
    if (strcmp(e->rows[i].name, display_name) == 0) return i;
  }
  return -1;
}

bool core_busy(AudioEngine* e) {
  CoreStatus cs{};
  // No whole snapshot: the core is publishing flat out, so count it busy.
  if (!core_read_status(e->core, &cs)) return true;
  return (cs.flags & kCoreBusy) != 0;
}

// --- Callbacks in flight ---------------------------------------------------------------

// Stops the callback from reaching the core and waits for those already inside to leave.
bool drain(AudioEngine* e, uint64_t limit_ms) {
  e->accepted.store(0);
  uint64_t start = now_ms();
  int spins = 0;
  while (e->in_flight.load() != 0) {
    if (now_ms() - start >= limit_ms) return false;
    if (++spins < 64) {
      platform_thread_yield();
    } else {
      platform_sleep_ms(1);
    }
  }
  return true;
}

// The control thread may service the core itself only while no callback can reach it.
bool core_unreachable(AudioEngine* e) {
  return e->accepted.load() == 0 && e->in_flight.load() == 0 && !e->drain_pending;
}

void drain_after_hang(AudioEngine* e) {
  if (drain(e, kDrainMs)) {
    core_set_free_immediately(e->core, true);
    core_quiesce(e->core);
  } else {
    e->drain_pending = true;
  }
}

// --- Guarded driver calls ----------------------------------------------------------------

void worker_main(AudioEngine* e) {
  for (;;) {
    bool asked = e->request.wait(1000);
    if (e->worker_stop.load()) break;
    if (!asked) continue;
    WorkerFn fn = e->call_fn;
    if (!fn) continue;
    e->call_fn = nullptr;
    e->call_result = fn(e, e->call_arg);
    e->done.signal();
  }
  e->worker_ended.store(true);
  e->worker_ended_event.signal();
}

// arg_size > 0: *arg is copied to the worker and back, so it may live on the caller's stack.
CallOutcome guarded(AudioEngine* e, const char* label, uint64_t limit_ms, WorkerFn fn, void* arg,
                    int* result, size_t arg_size = 0) {
  *result = -1;
  if (e->gave_up.load()) return CALL_GIVEN_UP;
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
  uint64_t start = now_ms();
  uint64_t next_quiesce = start + kQuiesceMs;
  uint64_t stall_deadline = 0, stall_count = 0;
  bool hung = false;
  for (;;) {
    if (e->done.wait(kSliceMs)) break;
    uint64_t now = now_ms();
    if (e->abandon.load()) {
      e->gave_up.store(true);
      log_line("audio: giving up on %s - quitting without it", label);
      return CALL_GIVEN_UP;
    }
    if (!hung && now - start >= limit_ms) {
      hung = true;
      e->hung = true;
      e->saved_state = e->st.state;
      set_state(e, AUDIO_HUNG);
      set_message(e, "audio driver stopped answering (%s) - restart Kelp NOVA", label);
      log_line("audio: HUNG - %s hasn't returned after %.1f s", label, (now - start) / 1000.0);
      if (!e->running) {
        core_set_running(e->core, false);
        drain_after_hang(e);
      } else {
        stall_count = e->callbacks.load(std::memory_order_relaxed);
        stall_deadline = now + kHeartbeatMs;
      }
      publish(e);
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
        publish(e);
      }
    }
    if (e->drain_pending && e->in_flight.load() == 0) {
      e->drain_pending = false;
      core_set_free_immediately(e->core, true);
      core_quiesce(e->core);
    }
    if (now >= next_quiesce) {
      next_quiesce = now + kQuiesceMs;
      if (core_unreachable(e)) core_quiesce(e->core);
    }
  }
  *result = e->call_result;
  if (copied) memcpy(arg, e->call_buf, arg_size);
  if (!hung) return CALL_DONE;
  set_state(e, e->saved_state);
  e->hung = false;
  e->drain_pending = false;
  clear_message(e);
  log_line("audio: %s came back after %.1f s", label, (now_ms() - start) / 1000.0);
  publish(e);
  return CALL_LATE;
}

// --- Worker-side driver work -------------------------------------------------------------

int w_initialize(AudioEngine* e, void* arg) {
  PaError r = e->drv->initialize(e->drv->user);
  if (r != paNoError) {
    const char* text = e->drv->error_text(e->drv->user, r);
    copy_text((char*)arg, 96, text ? text : "?");  // the message keeps 95 bytes of it
  }
  return r;
}

int w_terminate(AudioEngine* e, void*) {
  return e->drv->terminate(e->drv->user);
}

int w_list(AudioEngine* e, void*) {
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
    DeviceRow* r = &e->rows[e->row_count++];
    char name[512];
    snprintf(name, sizeof name, "%s [%s]", info->name ? info->name : "?",
             api->name ? api->name : "?");
    copy_text(r->name, sizeof r->name, name);
    r->input_device = i;
    r->output_device = oinfo ? out : -1;
    r->asio = api->type == paASIO;
    r->inputs = info->maxInputChannels;
    r->host_type = api->type;
    r->priority = i == def_in ? 25 : info->hostApi == def_api ? 20 : 10;
    r->input_rate = info->defaultSampleRate;
    r->output_rate = oinfo ? oinfo->defaultSampleRate : 0;
    copy_text(r->raw, sizeof r->raw, info->name ? info->name : "");
    copy_text(r->label, sizeof r->label, audio_host_label(api->type, api->name));
  }
  for (int i = 0; i < e->row_count; i++) {
    const DeviceRow* r = &e->rows[i];
    const PaDeviceInfo* o = r->output_device >= 0 ? d->device_info(u, r->output_device) : nullptr;
    log_line("audio: dev %2d: %-44s in %d ch @%.0f | out %s %d ch", i, r->name, r->inputs,
             r->input_rate, o && o->name ? o->name : "(none)", o ? o->maxOutputChannels : 0);
  }
  if (e->row_count == 0) log_line("audio: no input devices");
  return 0;
}

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

struct OpenRequest {
  // In.
  DeviceRow row;
  int frames;
  bool exclusive;
  bool quiet;
  double rates[6];
  int nrates;
  int want_inputs;
  StreamTicket* ticket;
  // Out.
  bool ok;
  PaStream* stream;
  double rate;
  int inputs;
  bool duplex;
  bool exclusive_on;
  int inputs_tried;
  Failure failure;
};

int no_op_callback(const void*, void*, unsigned long, const PaStreamCallbackTimeInfo*,
                   PaStreamCallbackFlags, void*) {
  return paContinue;
}

int w_open(AudioEngine* e, void* arg) {
  OpenRequest* q = (OpenRequest*)arg;
  const AudioDriver* d = e->drv;
  void* u = d->user;
  q->ok = false;
  q->failure.cause = AUDIO_CAUSE_NONE;
  q->failure.message[0] = 0;
  const PaDeviceInfo* info = d->device_info(u, q->row.input_device);
  if (!info || info->maxInputChannels < 1) {
    fail(&q->failure, AUDIO_CAUSE_OTHER, "the device is gone");
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
        fail(&q->failure, cause, "%s at %.0f Hz: %s%s", label, rate, text, suffix);
      }
      if (!q->quiet) log_line("audio:   refused - %s at %.0f Hz: %s%s", label, rate, text, suffix);
      if (cause == AUDIO_CAUSE_ACCESS_DENIED) return -1;
      if (err == paInvalidDevice || err == paDeviceUnavailable) break;
    }
  }
  return -1;
}

struct StartRequest {
  PaStream* stream;
  int host_type;
  bool ok;
  double in_latency, out_latency;
  Failure failure;
};

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

int w_start(AudioEngine* e, void* arg) {
  StartRequest* q = (StartRequest*)arg;
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
    fail(&q->failure, cause, "start: %s%s", text ? text : "?", suffix);
    d->close_stream(u, q->stream);
    return -1;
  }
  const PaStreamInfo* si = d->stream_info(u, q->stream);
  q->in_latency = si ? si->inputLatency * 1000.0 : 0;
  q->out_latency = si ? si->outputLatency * 1000.0 : 0;
  q->ok = true;
  return 0;
}

struct StopRequest {
  PaStream* stream;
  bool abort;
};

int w_stop(AudioEngine* e, void* arg) {
  StopRequest* q = (StopRequest*)arg;
  const AudioDriver* d = e->drv;
  if (q->abort) {
    d->abort_stream(d->user, q->stream);
  } else {
    d->stop_stream(d->user, q->stream);
  }
  return d->close_stream(d->user, q->stream);
}

struct ProbeRequest {
  DeviceRow row;
  double rate;
};

static_assert(sizeof(StartRequest) <= kCallArgBytes && sizeof(StopRequest) <= kCallArgBytes &&
                  sizeof(ProbeRequest) <= kCallArgBytes,
              "guarded call arguments fit the worker's copy");

int w_probe(AudioEngine* e, void* arg) {
  ProbeRequest* q = (ProbeRequest*)arg;
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

// --- PortAudio start, device rows and rates ---------------------------------------------

bool pa_start(AudioEngine* e) {
  // An empty list is not trusted for long: a sound server that was slow to answer when PortAudio
  // started stays invisible until PortAudio starts again, and the counts need not change.
  bool stale_empty = e->pa_init && e->row_count == 0 && now_ms() - e->pa_started_ms >= kEmptyListRetryMs;
  if (e->pa_init && !e->force_reinit && !stale_empty && e->counts == e->counts_at_start) return true;
  if (e->stream) return true;
  int r;
  if (e->pa_init) {
    if (guarded(e, "shutting PortAudio down", kLimitStopPa, w_terminate, nullptr, &r) ==
        CALL_GIVEN_UP)
      return false;
    e->pa_init = false;
  }
  e->cur_row = -1;
  e->row_count = 0;
  e->counts_at_start = e->counts;
  e->pa_started_ms = now_ms();
  char text[96] = {0};
  if (guarded(e, "starting PortAudio", kLimitStartPa, w_initialize, text, &r,
              sizeof text) == CALL_GIVEN_UP)
    return false;
  e->force_reinit = false;
  if (r != paNoError) {
    e->cause = AUDIO_CAUSE_NO_DEVICE;
    set_message(e, "PortAudio would not start: %s", text);
    log_line("audio: PortAudio would not start: %s", text);
    publish_rows(e);
    e->st.row = -1;
    publish(e);
    return false;
  }
  e->pa_init = true;
  if (guarded(e, "listing devices", kLimitList, w_list, nullptr, &r) == CALL_GIVEN_UP) {
    return false;
  }
  publish_rows(e);
  // Row indexes changed with the new list; the shown row follows the wanted name.
  e->st.row = find_row(e, e->set.resolved);
  publish(e);
  return true;
}

bool contains_nocase(const char* hay, const char* needle) {
  size_t n = strlen(needle);
  if (n == 0) return true;
  for (const char* p = hay; *p; p++) {
    if (strncasecmp(p, needle, n) == 0) return true;
  }
  return false;
}

int best_row(AudioEngine* e, const bool* skip) {
  int best = -1;
  for (int i = 0; i < e->row_count; i++) {
    if (skip && skip[i]) continue;
    if (best < 0 || e->rows[i].priority > e->rows[best].priority) best = i;
  }
  return best;
}

int resolve_wanted(AudioEngine* e, bool* matched) {
  *matched = false;
  const char* w = e->set.wanted;
  if (*w) {
    for (int i = 0; i < e->row_count; i++) {
      if (strcasecmp(e->rows[i].name, w) == 0) {
        *matched = true;
        copy_text(e->set.resolved, sizeof e->set.resolved, e->rows[i].name);
        return i;
      }
    }
    int best = -1;
    for (int i = 0; i < e->row_count; i++) {
      if (!contains_nocase(e->rows[i].name, w)) continue;
      if (best < 0 || e->rows[i].priority > e->rows[best].priority) best = i;
    }
    if (best >= 0) {
      *matched = true;
      copy_text(e->set.resolved, sizeof e->set.resolved, e->rows[best].name);
      return best;
    }
  }
  if (e->set.resolved[0]) return find_row(e, e->set.resolved);
  int best = best_row(e, nullptr);
  if (best >= 0) copy_text(e->set.resolved, sizeof e->set.resolved, e->rows[best].name);
  return best;
}

int rates_for(AudioEngine* e, int row, double preferred, bool rate_change, double out[6]) {
  const DeviceRow* r = &e->rows[row];
  return audio_rate_list(preferred, e->set.rate, rate_change, r->input_rate, r->output_rate, out);
}

// --- Opening, starting, stopping ---------------------------------------------------------

struct Opened {
  int row;
  PaStream* stream;
  StreamTicket* ticket;
  double rate;
  int inputs;
  bool duplex;
  bool exclusive_on;
};

uint32_t next_generation(AudioEngine* e) {
  e->generation = e->generation == UINT32_MAX ? 1 : e->generation + 1;
  return e->generation;
}

// One guarded "opening the stream" call; a late success is closed and not used.
bool open_attempt(AudioEngine* e, int row, const double* rates, int nrates, bool quiet,
                  int want_inputs, Opened* o, Failure* f, int* inputs_tried) {
  *inputs_tried = 0;
  StreamTicket* t = new (std::nothrow) StreamTicket;
  if (!t) {
    fail(f, AUDIO_CAUSE_OTHER, "out of memory");
    return false;
  }
  t->engine = e;
  t->generation = next_generation(e);
  t->channels = 0;
  t->outputs = 0;
  OpenRequest* q = new (std::nothrow) OpenRequest;
  if (!q) {
    delete t;
    fail(f, AUDIO_CAUSE_OTHER, "out of memory");
    return false;
  }
  memset(q, 0, sizeof *q);
  q->row = e->rows[row];
  q->frames = e->set.frames;
  q->exclusive = e->set.exclusive;
  q->quiet = quiet;
  q->nrates = nrates;
  for (int i = 0; i < nrates; i++) q->rates[i] = rates[i];
  q->want_inputs = want_inputs;
  q->ticket = t;
  int r;
  CallOutcome out = guarded(e, "opening the stream", kLimitOpen, w_open, q, &r);
  if (out == CALL_GIVEN_UP) {
    // The worker may still write into both: they stay with the engine left behind.
    fail(f, AUDIO_CAUSE_OTHER, "the driver took too long to open");
    return false;
  }
  *inputs_tried = q->inputs_tried;
  if (out == CALL_LATE && q->ok) {
    StopRequest s = {q->stream, true};
    if (guarded(e, "closing a late stream", kLimitStop, w_stop, &s, &r, sizeof s) !=
        CALL_GIVEN_UP) {
      delete t;
    }
    delete q;
    fail(f, AUDIO_CAUSE_OTHER, "the driver took too long to open");
    return false;
  }
  if (!q->ok) {
    *f = q->failure;
    delete t;
    delete q;
    return false;
  }
  o->row = row;
  o->stream = q->stream;
  o->ticket = t;
  o->rate = q->rate;
  o->inputs = q->inputs;
  o->duplex = q->duplex;
  o->exclusive_on = q->exclusive_on;
  delete q;
  return true;
}

bool open_device(AudioEngine* e, int row, const double* rates, int nrates, bool quiet, Opened* o,
                 Failure* f) {
  f->cause = AUDIO_CAUSE_NONE;
  f->message[0] = 0;
  if (row < 0 || row >= e->row_count) {
    fail(f, AUDIO_CAUSE_OTHER, "no such device");
    return false;
  }
  char name[AUDIO_NAME_BYTES];
  memcpy(name, e->rows[row].name, sizeof name);
  if (!quiet) {
    int inputs = e->rows[row].inputs < AUDIO_MAX_INPUTS ? e->rows[row].inputs : AUDIO_MAX_INPUTS;
    log_line("audio: opening %s  (%d frames, %d inputs%s)", name, e->set.frames, inputs,
             e->set.exclusive ? ", exclusive wanted" : "");
  }
  int tried = 0;
  bool ok = open_attempt(e, row, rates, nrates, quiet, 0, o, f, &tried);
  if (!ok && !e->gave_up.load() && tried > 2 && f->cause != AUDIO_CAUSE_ACCESS_DENIED) {
    int again = find_row(e, name);
    if (again >= 0) {
      log_line("audio: %d inputs refused - opening %d instead", tried, 2);
      ok = open_attempt(e, again, rates, nrates, quiet, 2, o, f, &tried);
    }
  }
  if (!ok && !f->message[0]) fail(f, AUDIO_CAUSE_OTHER, "the device refused every format");
  return ok;
}

void free_ticket(AudioEngine* e) {
  delete e->ticket;
  e->ticket = nullptr;
}

// The rig is configured only under the rig lock, however long the UI holds it (it holds it over
// one frame); a quit ends the wait and the stream goes unbound.
bool lock_rig_for_binding(AudioEngine* e) {
  uint64_t start = now_ms();
  while (!e->rig_lock.try_lock()) {
    if (e->quit.load() || e->abandon.load()) return false;
    platform_sleep_ms(1);
  }
  uint64_t waited = now_ms() - start;
  if (waited >= kRigLockMs) {
    log_line("audio: the UI held the rig for %d ms - configured once it let go", (int)waited);
  }
  return true;
}

void bind_stream(AudioEngine* e, const Opened* o) {
  if (!lock_rig_for_binding(e)) return;
  const DeviceRow* row = &e->rows[o->row];
  StreamBinding* b = new (std::nothrow) StreamBinding;
  if (b) {
    memset(b, 0, sizeof *b);
    audio_api_code(row->host_type, b->api);
    audio_device_name_utf8(row->raw, b->device_name);
    if (rig_key(b->api, b->device_name, b->key) != 0) memset(b->key, 0, sizeof b->key);
    b->inputs = o->inputs;
    int dev_in = row->inputs < AUDIO_MAX_INPUTS ? row->inputs : AUDIO_MAX_INPUTS;
    b->device_inputs = dev_in > o->inputs ? dev_in : o->inputs;
    b->rate = o->rate;
    if (e->rig) {
      RigPlan plan;
      rig_default_plan(b->api, o->inputs, &plan);
      rig_bind_stream(e->rig, o->rate, o->inputs, rig_tag(b->key), &plan);
    }
    e->binding_gen = e->binding_gen == UINT32_MAX ? 1 : e->binding_gen + 1;
    {
      std::unique_lock<std::shared_mutex> g(e->status_lock);
      memcpy(&e->binding, b, sizeof *b);
      e->binding_gen_pub = e->binding_gen;
    }
    e->st.binding_generation = e->binding_gen;
    delete b;
  }
  e->rig_lock.unlock();
}

bool start_stream(AudioEngine* e, Opened* o, bool quiet, Failure* f) {
  e->ticket = o->ticket;
  e->stream = o->stream;
  bind_stream(e, o);
  if (o->rate != e->core_rate || e->core_channels != 2) {
    core_set_rate(e->core, o->rate, 2);
    e->core_rate = o->rate;
    e->core_channels = 2;
  }
  core_set_free_immediately(e->core, false);
  e->hb_last = e->hb_start = e->callbacks.load(std::memory_order_relaxed);
  e->cb_rate.store(o->rate);
  e->accepted.store(o->ticket->generation);
  StartRequest q;
  memset(&q, 0, sizeof q);
  q.stream = o->stream;
  q.host_type = e->rows[o->row].host_type;
  int r;
  CallOutcome out = guarded(e, "starting the stream", kLimitStart, w_start, &q, &r, sizeof q);
  if (out == CALL_GIVEN_UP) {
    fail(f, AUDIO_CAUSE_OTHER, "the driver took too long to start");
    return false;
  }
  if (out == CALL_LATE && q.ok) {
    drain(e, kDrainMs);
    StopRequest s = {o->stream, true};
    if (guarded(e, "closing a late stream", kLimitStop, w_stop, &s, &r, sizeof s) ==
        CALL_GIVEN_UP) {
      fail(f, AUDIO_CAUSE_OTHER, "the driver took too long to start");
      return false;
    }
    core_set_free_immediately(e->core, true);
    free_ticket(e);
    e->stream = nullptr;
    fail(f, AUDIO_CAUSE_OTHER, "the driver took too long to start");
    if (!quiet) log_line("audio:   refused - %s", f->message);
    return false;
  }
  if (!q.ok) {
    drain(e, kDrainMs);
    core_set_free_immediately(e->core, true);
    free_ticket(e);
    e->stream = nullptr;
    *f = q.failure;
    if (!quiet) log_line("audio:   refused - %s", f->message);
    return false;
  }
  core_set_running(e->core, true);
  const DeviceRow* row = &e->rows[o->row];
  e->rate = o->rate;
  e->frames = e->set.frames;
  e->inputs = o->inputs;
  e->duplex = o->duplex;
  e->exclusive_on = o->exclusive_on;
  e->device_inputs = row->inputs < AUDIO_MAX_INPUTS ? row->inputs : AUDIO_MAX_INPUTS;
  if (e->device_inputs < o->inputs) e->device_inputs = o->inputs;
  e->in_latency_ms = q.in_latency;
  e->out_latency_ms = o->duplex ? q.out_latency : 0;
  e->running = true;
  e->cur_row = o->row;
  e->hb_deadline = now_ms() + kHeartbeatGraceMs;
  return true;
}

bool open_and_start(AudioEngine* e, int row, const double* rates, int nrates, bool quiet,
                    Failure* f) {
  Opened o;
  if (!open_device(e, row, rates, nrates, quiet, &o, f)) return false;
  return start_stream(e, &o, quiet, f);
}

// Stops and closes the stream. False when the driver call was given up (shutdown).
bool stop_stream(AudioEngine* e, bool from_loss) {
  if (!e->stream) {
    e->running = false;
    return true;
  }
  CoreStatus cs{};
  if (!core_read_status(e->core, &cs)) cs.flags = kCoreNeedsQuiesce;  // unknown: tidy up anyway
  e->running = false;
  core_set_running(e->core, false);
  drain(e, kDrainMs);
  StopRequest q = {e->stream, from_loss};
  int r;
  if (guarded(e, from_loss ? "aborting the stream" : "stopping the stream", kLimitStop, w_stop, &q,
              &r, sizeof q) == CALL_GIVEN_UP)
    return false;
  free_ticket(e);
  e->stream = nullptr;
  e->stalled_while_stuck = false;
  core_set_free_immediately(e->core, true);
  if (from_loss || (cs.flags & kCoreNeedsQuiesce)) core_quiesce(e->core);
  return true;
}

// --- States -------------------------------------------------------------------------------

void go_running(AudioEngine* e) {
  const DeviceRow* row = &e->rows[e->cur_row];
  bool other = strcmp(row->name, e->set.resolved) != 0;
  e->attempts = 0;
  e->next_attempt = 0;
  e->stalled_while_stuck = false;
  e->down_logged = false;
  if (other) {
    e->cause =
        e->wanted_first_failure != AUDIO_CAUSE_NONE ? e->wanted_first_failure : AUDIO_CAUSE_IN_USE;
  } else {
    e->cause = AUDIO_CAUSE_NONE;
  }
  e->last_running_rate = e->rate;
  AudioStatus* s = &e->st;
  set_state(e, AUDIO_RUNNING);
  s->row = e->cur_row;
  memset(s->device, 0, sizeof s->device);
  memcpy(s->device, row->name, sizeof s->device);
  memset(s->host_api, 0, sizeof s->host_api);
  memcpy(s->host_api, row->label, sizeof s->host_api);
  memset(s->wanted, 0, sizeof s->wanted);
  if (other) memcpy(s->wanted, e->set.resolved, sizeof s->wanted);
  memset(s->raw_name, 0, sizeof s->raw_name);
  memcpy(s->raw_name, row->raw, sizeof s->raw_name);
  s->rate = e->rate;
  s->frames = e->frames;
  s->inputs = e->inputs;
  s->duplex = e->duplex;
  s->asio = row->asio;
  s->exclusive = e->exclusive_on;
  s->input_latency_ms = e->in_latency_ms;
  s->output_latency_ms = e->out_latency_ms;
  s->attempt = 0;
  s->device_inputs = e->device_inputs;
  if (other) {
    set_message(e, "'%s' would not open - listening on '%s'", e->set.resolved, row->name);
  } else if (e->set.exclusive && row->host_type == paWASAPI && !e->exclusive_on) {
    set_message(e, "exclusive refused - running shared");
  } else if (e->set.rate > 0 && (long)std::lround(e->rate) != e->set.rate) {
    set_message(e, "%d Hz refused - running %.0f Hz", e->set.rate, e->rate);
  } else if (e->duplex) {
    clear_message(e);
  } else {
    set_message(e, "no output - input only");
  }
  e->next_wanted_check = now_ms() + kWantedCheckMs;
  log_line(
      "audio: RUNNING [%s] %s  %.0f Hz  %d frames  in %d of %d ch  %s%s  (in %.1f ms, out %.1f ms)",
      row->label, row->name, e->rate, e->frames, e->inputs, e->device_inputs,
      e->duplex ? "duplex" : "INPUT ONLY (no output)", e->exclusive_on ? "  exclusive" : "",
      e->in_latency_ms, e->out_latency_ms);
  if (other) {
    log_line("audio: '%s' would not open - listening on '%s' instead", e->set.resolved, row->name);
  } else if (s->message[0]) {
    log_line("audio: %s", s->message);
  }
  publish(e);
}

void enter_recovering(AudioEngine* e, int cause, const char* reason, bool force_reinit) {
  e->running = false;
  e->cause = cause != AUDIO_CAUSE_NONE ? cause : AUDIO_CAUSE_OTHER;
  e->attempts = 0;
  e->st.attempt = 0;
  set_state(e, AUDIO_RECOVERING);
  e->next_attempt = now_ms() + kRetryStepMs;
  char msg[AUDIO_MESSAGE_BYTES];
  copy_text(msg, sizeof msg, reason && *reason ? reason : "reconnecting");
  set_message(e, "%s", msg);
  e->cur_row = -1;
  e->st.row = find_row(e, e->set.resolved);
  memset(e->st.wanted, 0, sizeof e->st.wanted);
  if (force_reinit) e->force_reinit = true;
  e->down_logged = false;
  log_line("audio: RECOVERING - %s", msg);
  publish(e);
}

void lose(AudioEngine* e, int cause, const char* reason) {
  log_line("audio: LOST %s - %s", e->cur_row >= 0 ? e->rows[e->cur_row].name : "the stream",
           reason);
  if (!stop_stream(e, true)) return;
  enter_recovering(e, cause, reason, true);
}

// Open with fallback: the wanted device first, then up to `others` more (-1 = all).
bool open_with_fallback(AudioEngine* e, int others, double preferred, bool quiet, Failure* f) {
  f->cause = AUDIO_CAUSE_NONE;
  f->message[0] = 0;
  if (e->row_count == 0) {
    fail(f, AUDIO_CAUSE_NO_DEVICE, "no input device - plug one in");
    return false;
  }
  bool matched;
  int wanted = resolve_wanted(e, &matched);
  if (e->set.wanted[0] && !matched && !quiet) {
    log_line("audio: device '%s' not found - falling back", e->set.wanted);
  }
  bool tried[AUDIO_MAX_ROWS] = {};
  double rates[6];
  if (wanted < 0) {
    fail(f, AUDIO_CAUSE_OTHER, "'%s' isn't connected", e->set.resolved);
  } else {
    tried[wanted] = true;
    int n = rates_for(e, wanted, preferred, false, rates);
    if (open_and_start(e, wanted, rates, n, quiet, f)) {
      e->wanted_first_failure = AUDIO_CAUSE_NONE;
      return true;
    }
    if (e->quit.load() || f->cause == AUDIO_CAUSE_ACCESS_DENIED) return false;
  }
  e->wanted_first_failure = f->cause;
  if (e->mic_off) return false;
  for (int count = 0; others < 0 || count < others; count++) {
    if (e->quit.load()) break;
    int r = best_row(e, tried);
    if (r < 0) break;
    tried[r] = true;
    int n = rates_for(e, r, preferred, false, rates);
    if (open_and_start(e, r, rates, n, quiet, f)) return true;
    if (f->cause == AUDIO_CAUSE_ACCESS_DENIED) break;
  }
  return false;
}

bool recovery_attempt(AudioEngine* e, int others) {
  int n = e->attempts;
  e->attempts++;
  e->st.attempt = e->attempts;
  publish(e);
  Failure f;
  f.cause = AUDIO_CAUSE_NONE;
  f.message[0] = 0;
  bool ok = false;
  if (pa_start(e)) {
    ok = open_with_fallback(e, others, e->last_running_rate, n >= 1, &f);
  } else {
    f.cause = e->cause;
    copy_text(f.message, sizeof f.message, e->st.message);
  }
  if (e->gave_up.load()) return false;
  if (ok) {
    log_line("audio: back after %d attempt%s", e->attempts, e->attempts == 1 ? "" : "s");
    go_running(e);
    return true;
  }
  uint64_t now = now_ms();
  e->cause = f.cause != AUDIO_CAUSE_NONE ? f.cause : AUDIO_CAUSE_OTHER;
  set_message(e, "%s", f.message[0] ? f.message : "reconnecting");
  e->cur_row = -1;
  e->st.row = find_row(e, e->set.resolved);
  if (e->attempts <= 4) {
    set_state(e, AUDIO_RECOVERING);
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
    set_state(e, AUDIO_DOWN);
  }
  publish(e);
  return false;
}

// --- Watching and supervision -------------------------------------------------------------

// A stream sealed while a driver call hung is still open: it is lost before anything else may
// open another one over it.
bool seal_stalled(AudioEngine* e) {
  if (!e->stream || !e->stalled_while_stuck) return false;
  e->stalled_while_stuck = false;
  lose(e, AUDIO_CAUSE_OTHER, "the stream stalled while a driver call was stuck");
  return true;
}

void watch(AudioEngine* e) {
  if (!e->stream) return;
  if (seal_stalled(e)) return;
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
  uint64_t now = now_ms();
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
    set_state(e, AUDIO_OPENING);
    publish(e);
    stopped = stop_stream(e, false);
  }
  if (stopped) {
    e->force_reinit = true;
    bool ok = pa_start(e);
    Failure f;
    if (ok && active) {
      if (open_with_fallback(e, -1, e->last_running_rate, false, &f)) {
        go_running(e);
      } else if (!e->gave_up.load()) {
        enter_recovering(e, f.cause, f.message, false);
        result = AUDIO_FAILED;
      }
    } else if (!ok) {
      result = AUDIO_FAILED;
      if (active && !e->gave_up.load()) {
        char msg[AUDIO_MESSAGE_BYTES];
        memcpy(msg, e->st.message, sizeof msg);
        enter_recovering(e, e->cause, msg, false);
      }
    }
  } else {
    result = AUDIO_FAILED;
  }
  e->rescan_holdoff = now_ms() + kRescanHoldoffMs;
  if (by_command && id) {
    e->st.last_command_id = id;
    e->st.last_command_result = result;
    e->st.last_command_kind = AUDIO_RESCAN;
  }
  publish(e);
}

void return_to_wanted(AudioEngine* e) {
  int row = find_row(e, e->set.resolved);
  if (row < 0 || row == e->cur_row || e->rows[row].asio) return;
  ProbeRequest q;
  q.row = e->rows[row];
  q.rate = e->rate;
  int r;
  if (guarded(e, "checking the device", kLimitProbe, w_probe, &q, &r, sizeof q) == CALL_GIVEN_UP)
    return;
  if (r != 0) return;
  log_line("audio: '%s' is free again - going back to it", e->set.resolved);
  char prev[AUDIO_NAME_BYTES];
  memcpy(prev, e->rows[e->cur_row].name, sizeof prev);
  double prev_rate = e->rate;
  set_state(e, AUDIO_OPENING);
  publish(e);
  if (!stop_stream(e, false)) return;
  double rates[6];
  int n = rates_for(e, row, e->last_running_rate, false, rates);
  Failure f;
  if (open_and_start(e, row, rates, n, false, &f)) {
    e->wanted_first_failure = AUDIO_CAUSE_NONE;
    go_running(e);
    return;
  }
  e->wanted_first_failure = f.cause;
  int back = find_row(e, prev);
  if (back >= 0) {
    n = rates_for(e, back, prev_rate, false, rates);
    if (open_and_start(e, back, rates, n, false, &f)) {
      go_running(e);
      return;
    }
  } else {
    fail(&f, AUDIO_CAUSE_OTHER, "'%s' isn't connected", prev);
  }
  if (!e->gave_up.load()) enter_recovering(e, f.cause, f.message, false);
}

void supervise(AudioEngine* e) {
  if (e->running && core_busy(e)) return;
  uint64_t now = now_ms();
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
    set_state(e, AUDIO_OPENING);
    publish(e);
    if (!stop_stream(e, false)) return;
    Failure f;
    int row = find_row(e, name);
    double rates[6];
    if (row >= 0) {
      int n = rates_for(e, row, rate, false, rates);
      if (open_and_start(e, row, rates, n, false, &f)) {
        go_running(e);
        return;
      }
    } else {
      fail(&f, AUDIO_CAUSE_OTHER, "'%s' isn't connected", name);
    }
    if (!e->gave_up.load()) enter_recovering(e, f.cause, f.message, true);
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
    set_message(e, "microphone access is off for desktop apps");
  } else if (!denied && e->mic_off) {
    e->mic_off = false;
    log_line("audio: microphone access is back on");
    if (e->cause == AUDIO_CAUSE_ACCESS_DENIED) {
      e->cause = e->running ? AUDIO_CAUSE_NONE : AUDIO_CAUSE_OTHER;
    }
    clear_message(e);
    if (e->running) e->reopen_pending = true;
    if (e->st.state == AUDIO_RECOVERING || e->st.state == AUDIO_DOWN) e->next_attempt = now;
  }
  publish(e);
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

// --- Commands -----------------------------------------------------------------------------

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
  return recovery_attempt(e, 0) ? AUDIO_DONE : AUDIO_FAILED;
}

// Reopen with rollback; `old` is the setup to put back when the target refuses.
int reopen(AudioEngine* e, int target, const double* rates, int nrates, const Settings* old) {
  char prev[AUDIO_NAME_BYTES];
  memcpy(prev, e->rows[e->cur_row].name, sizeof prev);
  double prev_rate = e->rate;
  set_state(e, AUDIO_OPENING);
  publish(e);
  if (!stop_stream(e, false)) return AUDIO_FAILED;
  Failure f;
  if (open_and_start(e, target, rates, nrates, false, &f)) {
    go_running(e);
    return AUDIO_DONE;
  }
  if (e->gave_up.load()) return AUDIO_FAILED;
  log_line("audio: refused (%s) - putting back %s", f.message, prev);
  e->set = *old;
  int back = find_row(e, prev);
  if (back < 0) {
    fail(&f, AUDIO_CAUSE_OTHER, "'%s' isn't connected", prev);
    enter_recovering(e, f.cause, f.message, true);
    return AUDIO_FAILED;
  }
  double back_rates[6];
  int n = rates_for(e, back, prev_rate, false, back_rates);
  if (open_and_start(e, back, back_rates, n, false, &f)) {
    go_running(e);
    return AUDIO_REFUSED;
  }
  if (!e->gave_up.load()) enter_recovering(e, f.cause, f.message, true);
  return AUDIO_FAILED;
}

bool on_other_device(AudioEngine* e) {
  return e->running && strcmp(e->rows[e->cur_row].name, e->set.resolved) != 0;
}

// Returns the result, or 1 when the command reports later (RESCAN).
int run_command(AudioEngine* e, const AudioCommand* c, uint32_t id) {
  Settings old = e->set;
  switch (c->kind) {
    case AUDIO_OPEN: {
      char wanted[AUDIO_NAME_BYTES];
      copy_text(wanted, sizeof wanted, c->device);
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
      set_state(e, AUDIO_OPENING);
      clear_message(e);
      e->attempts = 0;
      e->st.attempt = 0;
      e->last_running_rate = 0;
      publish(e);
      Failure f;
      if (!pa_start(e)) {
        if (e->gave_up.load()) return AUDIO_FAILED;
        f.cause = e->cause;
        copy_text(f.message, sizeof f.message, e->st.message);
      } else if (open_with_fallback(e, -1, 0, false, &f)) {
        go_running(e);
        return AUDIO_DONE;
      }
      if (!e->gave_up.load()) enter_recovering(e, f.cause, f.message, false);
      return AUDIO_FAILED;
    }
    case AUDIO_SET_DEVICE: {
      int row = c->value;
      if (!e->pa_init || row < 0 || row >= e->row_count) {
        set_message(e, "that device is gone - rescan");
        return AUDIO_REFUSED;
      }
      copy_text(e->set.wanted, sizeof e->set.wanted, e->rows[row].name);
      copy_text(e->set.resolved, sizeof e->set.resolved, e->rows[row].name);
      if (!e->running) return try_now(e);
      if (row == e->cur_row) {
        go_running(e);
        return AUDIO_DONE;
      }
      char target[AUDIO_NAME_BYTES], kept[AUDIO_NAME_BYTES];
      memcpy(target, e->rows[row].name, sizeof target);
      memcpy(kept, e->rows[e->cur_row].name, sizeof kept);
      log_line("audio: switching to %s", target);
      double rates[6];
      int n = rates_for(e, row, e->rate, false, rates);
      int r = reopen(e, row, rates, n, &old);
      if (r == AUDIO_REFUSED) set_message(e, "'%s' would not open - kept '%s'", target, kept);
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
      int n = rates_for(e, e->cur_row, e->rate, false, rates);
      int r = reopen(e, e->cur_row, rates, n, &old);
      if (r == AUDIO_REFUSED) {
        e->cause = AUDIO_CAUSE_BUFFER_REFUSED;
        set_message(e, "buffer %d refused - kept %d", frames, kept);
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
      bool right = rate == 0 ? std::lround(e->rate) == 48000 : (double)rate == e->rate;
      if (right) return AUDIO_DONE;
      double kept = e->rate;
      log_line("audio: rate %.0f -> %s", kept, rate > 0 ? "fixed" : "AUTO");
      double rates[6];
      int n = rates_for(e, e->cur_row, 0, true, rates);
      int r = reopen(e, e->cur_row, rates, n, &old);
      if (r == AUDIO_REFUSED) {
        e->cause = AUDIO_CAUSE_RATE_REFUSED;
        if (rate > 0) {
          set_message(e, "%d Hz refused - kept %.0f Hz", rate, kept);
        } else {
          set_message(e, "AUTO refused - kept %.0f Hz", kept);
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
        int n = rates_for(e, e->cur_row, e->rate, false, rates);
        return reopen(e, e->cur_row, rates, n, &old);
      }
      return AUDIO_DONE;
    }
    case AUDIO_LIST_DEVICES: {
      if (!e->pa_init) return AUDIO_FAILED;
      char cur[AUDIO_NAME_BYTES] = {0};
      if (e->running) memcpy(cur, e->rows[e->cur_row].name, sizeof cur);
      int r;
      if (guarded(e, "listing devices", kLimitList, w_list, nullptr, &r) == CALL_GIVEN_UP) {
        return AUDIO_FAILED;
      }
      publish_rows(e);
      if (e->running) {
        e->cur_row = find_row(e, cur);
        e->st.row = e->cur_row;
        if (e->cur_row < 0) {
          // Cannot happen with PortAudio (its list is fixed until it restarts); be safe anyway.
          e->cur_row = -1;
          log_line("audio: LOST %s - %s", cur, "the device is gone");
          if (stop_stream(e, true))
            enter_recovering(e, AUDIO_CAUSE_OTHER, "the device is gone", true);
          return AUDIO_FAILED;
        }
      } else {
        e->st.row = find_row(e, e->set.resolved);
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
      set_message(e, "the driver panel is for ASIO devices only");
      log_line("audio: driver panel asked for - this build has no ASIO");
      return AUDIO_REFUSED;
    case AUDIO_RETRY:
      if (e->running) return AUDIO_DONE;
      log_line("audio: RETRY");
      e->attempts = 0;
      e->force_reinit = true;
      return recovery_attempt(e, -1) ? AUDIO_DONE : AUDIO_FAILED;
    case AUDIO_CLOSE: {
      if (e->stream && !stop_stream(e, false)) return AUDIO_FAILED;
      if (e->pa_init) {
        int r;
        if (guarded(e, "shutting PortAudio down", kLimitStopPa, w_terminate, nullptr, &r) ==
            CALL_GIVEN_UP)
          return AUDIO_FAILED;
        e->pa_init = false;
      }
      e->running = false;
      e->cur_row = -1;
      e->st.row = find_row(e, e->set.resolved);
      memset(e->st.wanted, 0, sizeof e->st.wanted);
      e->attempts = 0;
      e->st.attempt = 0;
      e->next_attempt = 0;
      e->rescan_pending = false;
      e->rescan_by_command = false;
      e->reopen_pending = false;
      e->cause = AUDIO_CAUSE_NONE;
      set_state(e, AUDIO_CLOSED);
      clear_message(e);
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

void run_commands(AudioEngine* e) {
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
    seal_stalled(e);
    if (e->cause == AUDIO_CAUSE_RATE_REFUSED || e->cause == AUDIO_CAUSE_BUFFER_REFUSED) {
      if (on_other_device(e)) {
        e->cause = e->wanted_first_failure != AUDIO_CAUSE_NONE ? e->wanted_first_failure
                                                               : AUDIO_CAUSE_IN_USE;
      } else {
        e->cause = AUDIO_CAUSE_NONE;
      }
      clear_message(e);
    }
    int r = run_command(e, &c, id);
    if (r != 1 && id != 0) {
      e->st.last_command_id = id;
      e->st.last_command_result = r;
      e->st.last_command_kind = c.kind;
    }
    publish(e);
  }
}

// --- Threads ------------------------------------------------------------------------------

void control_main(AudioEngine* e) {
  uint64_t started = now_ms();
  core_set_running(e->core, false);
  core_set_free_immediately(e->core, true);
  e->counts = e->probe->device_counts(e->probe->user);
  if (e->probe->microphone_denied(e->probe->user)) {
    e->mic_off = true;
    log_line("audio: microphone access is OFF for desktop apps (Settings > Privacy > Microphone)");
  }
  set_state(e, AUDIO_OPENING);
  publish(e);
  pa_start(e);
  if (e->st.state == AUDIO_OPENING) set_state(e, AUDIO_CLOSED);
  publish(e);
  e->last_loop = now_ms();
  // The first poll is due a second after the thread started, however long PortAudio took.
  e->next_poll = started + kPollMs;
  e->next_quiesce = e->last_loop + kQuiesceMs;

  while (!e->quit.load() && !e->abandon.load()) {
    uint64_t wait = e->running ? 50 : 100;
    if (!e->running && (e->st.state == AUDIO_RECOVERING || e->st.state == AUDIO_DOWN)) {
      // Wake for a due attempt rather than up to a pass late, so the schedule holds.
      uint64_t now = now_ms();
      uint64_t due = e->next_attempt > now ? e->next_attempt - now : 0;
      if (due < wait) wait = due;
    }
    e->wake.wait(wait);
    if (e->quit.load() || e->abandon.load()) break;
    uint64_t now = now_ms();
    resume_check(e, now);
    run_commands(e);
    watch(e);
    now = now_ms();
    if (now >= e->next_poll) {
      e->next_poll = now + kPollMs;
      poll_devices(e, now);
    }
    supervise(e);
    now = now_ms();
    if (!e->running && !e->hung && (e->st.state == AUDIO_RECOVERING || e->st.state == AUDIO_DOWN) &&
        now >= e->next_attempt && !e->quit.load()) {
      recovery_attempt(e, e->attempts >= 5 ? 2 : 0);
    }
    now = now_ms();
    if (!e->running && !e->stream &&
        (e->st.state == AUDIO_RECOVERING || e->st.state == AUDIO_DOWN) && now >= e->next_quiesce) {
      e->next_quiesce = now + kQuiesceMs;
      if (core_unreachable(e)) core_quiesce(e->core);
    }
    publish(e);
    e->last_loop = now_ms();
  }

  if (!e->abandon.load()) {
    if (!e->stream || stop_stream(e, false)) {
      if (e->pa_init) {
        int r;
        if (guarded(e, "shutting PortAudio down", kLimitStopPa, w_terminate, nullptr, &r) !=
            CALL_GIVEN_UP)
          e->pa_init = false;
      }
    }
  }
  e->running = false;
  set_state(e, AUDIO_CLOSED);
  publish(e);
  if (!e->gave_up.load()) {
    e->worker_stop.store(true);
    e->request.signal();
    uint64_t start = now_ms();
    for (uint64_t waited = 0; !e->worker_ended.load() && waited < kWorkerWaitMs;
         waited = now_ms() - start) {
      e->worker_ended_event.wait(kWorkerWaitMs - waited);
    }
  }
  e->control_ended.store(true);
  e->control_ended_event.signal();
}

void collector_main(AudioEngine* e) {
  while (!e->collector_stop.load()) {
    if (e->collector_stop_event.wait(kQuiesceMs) && e->collector_stop.load()) break;
    core_collect(e->core, now_ms());
  }
}

void free_buffers(AudioEngine* e) {
  free(e->silence);
  free(e->scratch_l);
  free(e->scratch_r);
  free(e->mix_l);
  free(e->mix_r);
  free(e->tap_buf);
}

}  // namespace

// --- Public ---------------------------------------------------------------------------------

AudioEngine* audio_engine_create(Core* core, RigMixer* rig) {
  return audio_engine_create_with(core, rig, audio_driver_system(), audio_probe_system());
}

static void worker_trampoline(void* arg) { worker_main((AudioEngine*)arg); }
static void collector_trampoline(void* arg) { collector_main((AudioEngine*)arg); }
static void control_trampoline(void* arg) { control_main((AudioEngine*)arg); }

AudioEngine* audio_engine_create_with(Core* core, RigMixer* rig, const AudioDriver* driver,
                                      const AudioProbe* probe) {
  if (!core) {
    log_line("audio: no core - the engine can't start");
    return nullptr;
  }
  if (!driver || !probe) {
    log_line("audio: no driver - the engine can't start");
    return nullptr;
  }
  if (!rig) log_line("audio: no rig - inputs 1 and 2 go straight to the tape");
  AudioEngine* e = new (std::nothrow) AudioEngine;
  if (!e) {
    log_line("audio: out of memory for the engine");
    return nullptr;
  }
  e->core = core;
  e->rig = rig;
  e->drv = driver;
  e->probe = probe;
  e->silence = (float*)calloc(AUDIO_MAX_FRAMES, sizeof(float));
  e->scratch_l = (float*)calloc(AUDIO_MAX_FRAMES, sizeof(float));
  e->scratch_r = (float*)calloc(AUDIO_MAX_FRAMES, sizeof(float));
  e->mix_l = (float*)calloc(AUDIO_MAX_FRAMES, sizeof(float));
  e->mix_r = (float*)calloc(AUDIO_MAX_FRAMES, sizeof(float));
  e->tap_buf = (float*)calloc(AUDIO_MAX_FRAMES * 2, sizeof(float));
  if (!e->silence || !e->scratch_l || !e->scratch_r || !e->mix_l || !e->mix_r || !e->tap_buf) {
    log_line("audio: out of memory for the engine");
    free_buffers(e);
    delete e;
    return nullptr;
  }
  memset(e->ring, 0, sizeof e->ring);
  memset(e->ring_ids, 0, sizeof e->ring_ids);
  memset(&e->st, 0, sizeof e->st);
  memset(&e->pub, 0, sizeof e->pub);
  memset(&e->binding, 0, sizeof e->binding);
  memset(e->rows, 0, sizeof e->rows);
  memset(&e->set, 0, sizeof e->set);
  e->set.frames = AUDIO_DEFAULT_FRAMES;
  e->st.state = AUDIO_CLOSED;
  e->st.row = -1;
  publish(e);
  unsigned long err = platform_thread_start(&e->worker_thread, worker_trampoline, e);
  if (err == 0) err = platform_thread_start(&e->collector_thread, collector_trampoline, e);
  if (err == 0) err = platform_thread_start(&e->control_thread, control_trampoline, e);
  if (err != 0) {
    // Tell whatever started to stop, and wait for it: nothing is left running.
    e->quit.store(true);
    e->wake.signal();
    e->worker_stop.store(true);
    e->request.signal();
    e->collector_stop.store(true);
    e->collector_stop_event.signal();
    platform_thread_join(e->collector_thread);
    platform_thread_join(e->worker_thread);
    log_line("audio: couldn't start the engine threads");
    free_buffers(e);
    delete e;
    return nullptr;
  }
  return e;
}

void audio_engine_destroy(AudioEngine* e) {
  if (!e) return;
  e->quit.store(true);
  e->wake.signal();
  uint64_t start = now_ms();
  for (uint64_t waited = 0; !e->control_ended.load() && waited < kShutdownWaitMs;
       waited = now_ms() - start) {
    e->control_ended_event.wait(kShutdownWaitMs - waited);
  }
  if (!e->control_ended.load()) {
    log_line("audio: the audio thread didn't finish in %d s - leaving the driver behind",
             (int)(kShutdownWaitMs / 1000));
    e->abandon.store(true);
    e->wake.signal();
    start = now_ms();
    for (uint64_t waited = 0; !e->control_ended.load() && waited < kAbandonWaitMs;
         waited = now_ms() - start) {
      e->control_ended_event.wait(kAbandonWaitMs - waited);
    }
  }
  core_set_running(e->core, false);
  drain(e, kDrainShutdownMs);
  e->collector_stop.store(true);
  e->collector_stop_event.signal();
  platform_thread_join(e->collector_thread);
  e->collector_thread = nullptr;
  // Threads that ended are joined either way; a stuck one stays with the engine.
  if (e->control_ended.load()) {
    platform_thread_join(e->control_thread);
    e->control_thread = nullptr;
  }
  if (e->worker_ended.load()) {
    platform_thread_join(e->worker_thread);
    e->worker_thread = nullptr;
  }
  if (e->control_ended.load() && !e->gave_up.load() && e->worker_ended.load()) {
    free_ticket(e);
    free_buffers(e);
    delete e;
    return;
  }
  log_line("audio: a driver call never returned - the engine is left in place");
}

uint32_t audio_engine_post(AudioEngine* e, const AudioCommand* c) {
  if (!e || !c) return 0;
  uint32_t id;
  {
    std::lock_guard<std::mutex> g(e->ring_lock);
    if (e->ring_count >= AUDIO_COMMANDS_WAITING) return 0;
    e->next_id = e->next_id == UINT32_MAX ? 1 : e->next_id + 1;
    id = e->next_id;
    int slot = (e->ring_head + e->ring_count) % AUDIO_COMMANDS_WAITING;
    e->ring[slot] = *c;
    e->ring[slot].device[AUDIO_NAME_BYTES - 1] = 0;
    e->ring_ids[slot] = id;
    e->ring_count++;
  }
  e->wake.signal();
  return id;
}

uint32_t audio_engine_open(AudioEngine* e, const AudioEngineConfig* config) {
  if (!config) return 0;
  AudioCommand c;
  memset(&c, 0, sizeof c);
  c.kind = AUDIO_OPEN;
  copy_text(c.device, sizeof c.device, config->device);
  c.frames = config->buffer_frames;
  c.rate = config->sample_rate;
  c.exclusive = config->exclusive ? 1 : 0;
  return audio_engine_post(e, &c);
}

uint64_t audio_engine_status(AudioEngine* e, AudioStatus* out) {
  if (!out) return 0;
  if (!e) {
    memset(out, 0, sizeof *out);
    return 0;
  }
  std::shared_lock<std::shared_mutex> g(e->status_lock);
  memcpy(out, &e->pub, sizeof *out);
  return out->change_counter;
}

uint32_t audio_engine_binding(AudioEngine* e, StreamBinding* out) {
  if (!out) return 0;
  if (!e) {
    memset(out, 0, sizeof *out);
    return 0;
  }
  std::shared_lock<std::shared_mutex> g(e->status_lock);
  memcpy(out, &e->binding, sizeof *out);
  return e->binding_gen_pub;
}

uint32_t audio_engine_binding_generation(AudioEngine* e) {
  if (!e) return 0;
  std::shared_lock<std::shared_mutex> g(e->status_lock);
  return e->binding_gen_pub;
}

void audio_engine_lock_rig(AudioEngine* e) {
  if (e) e->rig_lock.lock();
}

void audio_engine_unlock_rig(AudioEngine* e) {
  if (e) e->rig_lock.unlock();
}

void audio_engine_set_tap(AudioEngine* e, AudioTap tap, void* user) {
  if (!e) return;
  std::lock_guard<std::mutex> g(e->tap_writer);
  seqlock_write(&e->tap, TapPair{tap, user});
  // A read-modify-write sees the callback's latest entry; a callback that enters after it
  // synchronises with it and so reads the new pair.
  int32_t inside = e->in_tap.fetch_add(0);
  // A callback may still be calling the old tap: wait until it leaves, unless the stream is
  // being given up on (the engine waits for callbacks itself then), so this never waits forever.
  for (; inside != 0; inside = e->in_tap.load()) {
    int state;
    {
      std::shared_lock<std::shared_mutex> sg(e->status_lock);
      state = e->pub.state;
    }
    if (state != AUDIO_RUNNING && state != AUDIO_OPENING) {
      log_line("audio: the output tap is still busy on a stream that is going - not waiting");
      break;
    }
    platform_sleep_ms(kTapSliceMs);
  }
}

void audio_engine_notify_resume(AudioEngine* e) {
  if (!e) return;
  e->resume_pending.store(true);
  e->wake.signal();
}

int audio_engine_callback(const void* input, void* output, unsigned long frames,
                          const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags status,
                          void* user) {
  StreamTicket* t = (StreamTicket*)user;
  if (!t) return paContinue;
  AudioEngine* e = t->engine;
  e->in_flight.fetch_add(1);
  float** out = (float**)output;
  if (t->generation != e->accepted.load()) {
    if (out) {
      for (int c = 0; c < t->outputs; c++) {
        if (out[c]) memset(out[c], 0, frames * sizeof(float));
      }
    }
    e->in_flight.fetch_sub(1);
    return paContinue;
  }
  if (!out && frames > AUDIO_MAX_FRAMES) {
    e->in_flight.fetch_sub(1);
    return paContinue;
  }
  e->callbacks.store(e->callbacks.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  int n = (int)(frames > (unsigned long)INT32_MAX ? INT32_MAX : frames);
  const float* const* in = (const float* const*)input;
  const float* l;
  const float* r;
  int channels;
  if (in && t->channels > 0 && frames <= AUDIO_MAX_FRAMES) {
    rig_mix(e->rig, in, t->channels, e->mix_l, e->mix_r, n);
    l = e->mix_l;
    r = e->mix_r;
    channels = 2;
  } else {
    l = e->silence;
    r = nullptr;
    channels = 1;
  }
  float* ol = out && t->outputs >= 2 ? out[0] : e->scratch_l;
  float* orr = out && t->outputs >= 2 ? out[1] : e->scratch_r;
  if (ol == e->scratch_l && frames > AUDIO_MAX_FRAMES) {
    e->in_flight.fetch_sub(1);
    return paContinue;
  }
  core_process(e->core, l, r, channels, ol, orr, n, (uint32_t)status);
  e->in_tap.fetch_add(1);
  TapPair tap;
  // A pair being written is skipped for this callback.
  if (seqlock_try_read(&e->tap, &tap) >= 0 && tap.fn) {
    int m = n < AUDIO_MAX_FRAMES ? n : AUDIO_MAX_FRAMES;
    float* b = e->tap_buf;
    for (int i = 0; i < m; i++) {
      b[2 * i] = ol[i];
      b[2 * i + 1] = orr[i];
    }
    tap.fn(tap.user, b, m, (int)e->cb_rate.load(std::memory_order_relaxed));
  }
  e->in_tap.fetch_sub(1);
  e->in_flight.fetch_sub(1);
  return paContinue;
}
