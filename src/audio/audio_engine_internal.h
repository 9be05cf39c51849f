// The audio engine's state and the pieces its files share: audio_engine.cpp (shared helpers,
// create / destroy and the public calls), _worker (the guarded driver calls), _stream (opening,
// starting, stopping), _watch (the control thread: device watch, supervision, recovery),
// _commands and _callback.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "audio/audio_driver.h"
#include "audio/audio_engine.h"
#include "core/core.h"
#include "core/seqlock.h"
#include "platform/platform.h"
#include "platform/thread.h"
#include "rig/mixer.h"

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
constexpr uint64_t kEmptyListRetryMs =
    10000;  // restart PortAudio at most this often while it lists nothing
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
struct EngineEvent {
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

struct EngineDeviceRow {
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

struct EngineFailure {
  int cause;
  char message[AUDIO_MESSAGE_BYTES];
};

struct EngineSettings {
  char wanted[AUDIO_NAME_BYTES];
  char resolved[AUDIO_NAME_BYTES];
  int frames;
  int rate;  // 0 = AUTO
  bool exclusive;
};

enum EngineCallOutcome { ENGINE_CALL_DONE, ENGINE_CALL_LATE, ENGINE_CALL_GIVEN_UP };

typedef int (*EngineWorkerFn)(AudioEngine* e, void* arg);

struct EngineTapPair {
  AudioTap fn;
  void* user;
};

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
  EngineEvent wake, request, done, collector_stop_event, worker_ended_event, control_ended_event;

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
  EngineWorkerFn call_fn = nullptr;
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
  std::atomic<double> cb_rate{TAPE_DEFAULT_RATE};
  SeqLock<EngineTapPair> tap;
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
  EngineDeviceRow rows[AUDIO_MAX_ROWS];
  int row_count = 0;

  EngineSettings set;

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

// --- Guarded driver calls (audio_engine_worker.cpp) -----------------------------------------

struct EngineOpenRequest {
  // In.
  EngineDeviceRow row;
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
  EngineFailure failure;
};

struct EngineStartRequest {
  PaStream* stream;
  int host_type;
  bool ok;
  double in_latency, out_latency;
  EngineFailure failure;
};

struct EngineStopRequest {
  PaStream* stream;
  bool abort;
};

struct EngineProbeRequest {
  EngineDeviceRow row;
  double rate;
};

static_assert(sizeof(EngineStartRequest) <= kCallArgBytes &&
                  sizeof(EngineStopRequest) <= kCallArgBytes &&
                  sizeof(EngineProbeRequest) <= kCallArgBytes,
              "guarded call arguments fit the worker's copy");

// --- Shared helpers (audio_engine.cpp) ------------------------------------------------------

// The supervision clock (the probe's); driver-call limits run on the system's tick clock, since
// they bound real blocking.
inline uint64_t engine_now_ms(const AudioEngine* e) {
  return e->probe->now_ms ? e->probe->now_ms(e->probe->user) : platform_tick_ms();
}

// Copies src into a fixed field, cut at a character boundary and zero-filled.
void engine_copy_text(char* dst, size_t size, const char* src);
void engine_set_message(AudioEngine* e, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
inline void engine_clear_message(AudioEngine* e) {
  memset(e->st.message, 0, sizeof e->st.message);
}
void engine_fail(EngineFailure* f, int cause, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
void engine_publish(AudioEngine* e);
inline void engine_set_state(AudioEngine* e, int state) {
  e->st.state = state;
}
void engine_publish_rows(AudioEngine* e);
int engine_find_row(AudioEngine* e, const char* display_name);

// Stops the callback from reaching the core and waits for those already inside to leave.
bool engine_drain(AudioEngine* e, uint64_t limit_ms);
// The control thread may service the core itself only while no callback can reach it.
inline bool engine_core_unreachable(AudioEngine* e) {
  return e->accepted.load() == 0 && e->in_flight.load() == 0 && !e->drain_pending;
}

// --- Guarded driver calls (audio_engine_worker.cpp) -----------------------------------------

void engine_worker_main(AudioEngine* e);
// arg_size > 0: *arg is copied to the worker and back, so it may live on the caller's stack.
EngineCallOutcome engine_guarded(AudioEngine* e, const char* label, uint64_t limit_ms,
                                 EngineWorkerFn fn, void* arg, int* result, size_t arg_size = 0);
// Worker-side driver work, run through engine_guarded.
int engine_w_initialize(AudioEngine* e, void* arg);
int engine_w_terminate(AudioEngine* e, void*);
int engine_w_list(AudioEngine* e, void*);
int engine_w_open(AudioEngine* e, void* arg);
int engine_w_start(AudioEngine* e, void* arg);
int engine_w_stop(AudioEngine* e, void* arg);
int engine_w_probe(AudioEngine* e, void* arg);

// --- Opening, starting, stopping (audio_engine_stream.cpp) ----------------------------------

bool engine_pa_start(AudioEngine* e);
int engine_rates_for(AudioEngine* e, int row, double preferred, bool rate_change, double out[6]);
void engine_free_ticket(AudioEngine* e);
bool engine_open_and_start(AudioEngine* e, int row, const double* rates, int nrates, bool quiet,
                           EngineFailure* f);
// Stops and closes the stream. False when the driver call was given up (shutdown).
bool engine_stop_stream(AudioEngine* e, bool from_loss);
void engine_go_running(AudioEngine* e);
// Open with fallback: the wanted device first, then up to `others` more (-1 = all).
bool engine_open_with_fallback(AudioEngine* e, int others, double preferred, bool quiet,
                               EngineFailure* f);

// --- The control thread (audio_engine_watch.cpp) --------------------------------------------

void engine_control_main(AudioEngine* e);
void engine_enter_recovering(AudioEngine* e, int cause, const char* reason, bool force_reinit);
bool engine_recovery_attempt(AudioEngine* e, int others);
// A stream sealed while a driver call hung is still open: it is lost before anything else may
// open another one over it.
bool engine_seal_stalled(AudioEngine* e);

// --- Commands (audio_engine_commands.cpp) ---------------------------------------------------

void engine_run_commands(AudioEngine* e);
