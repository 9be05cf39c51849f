// The audio engine: owns the program's one audio stream. It lists the devices, opens the
// wanted one with every input it offers, supervises the running stream and brings it back when
// it is lost. The UI thread only posts commands and reads the published status; every driver
// call runs on the engine's worker thread under a time limit, so a stuck driver makes the
// engine HUNG instead of freezing the program. Log prefix "audio:".
//
// Threads: control (every decision), worker (one guarded driver call at a time), collector
// (core_collect every 100 ms), and the driver's callback thread (audio_engine_callback).
#pragma once

#include <cstdint>

#include "rig/rig_binding.h"

struct Core;
struct RigMixer;
struct AudioDriver;
struct AudioProbe;
struct AudioEngine;

enum {
  AUDIO_MAX_ROWS = 32,
  AUDIO_NAME_BYTES = 128,
  AUDIO_LABEL_BYTES = 32,
  AUDIO_MESSAGE_BYTES = 160,
  AUDIO_API_BYTES = 16,
  AUDIO_KEY_BYTES = 200,
  AUDIO_MAX_INPUTS = 64,
  AUDIO_CHANNEL_NAME_BYTES = 64,
  AUDIO_COMMANDS_WAITING = 16,
  AUDIO_MAX_FRAMES = 4096,
  AUDIO_DEFAULT_FRAMES = 256,
};

enum AudioCommandKind {
  AUDIO_OPEN = 1,
  AUDIO_SET_DEVICE = 2,
  AUDIO_SET_BUFFER = 3,
  AUDIO_SET_RATE = 4,
  AUDIO_SET_EXCLUSIVE = 5,
  AUDIO_LIST_DEVICES = 6,
  AUDIO_RESCAN = 7,
  AUDIO_DRIVER_PANEL = 8,
  AUDIO_RETRY = 9,
  AUDIO_CLOSE = 10,
};

// Results of a command: 0 done; -1 refused (the previous setup runs again); -2 failed or not
// running now (recovering or closed).
enum { AUDIO_DONE = 0, AUDIO_REFUSED = -1, AUDIO_FAILED = -2 };

enum AudioEngineState {
  AUDIO_CLOSED = 0,
  AUDIO_OPENING = 1,
  AUDIO_RUNNING = 2,
  AUDIO_RECOVERING = 3,
  AUDIO_DOWN = 4,
  AUDIO_HUNG = 5,
};

// Why the engine is not where it was asked to be; audio_cause_rank orders an attempt's failures.
enum AudioCause {
  AUDIO_CAUSE_NONE = 0,
  AUDIO_CAUSE_NO_DEVICE = 1,
  AUDIO_CAUSE_IN_USE = 2,
  AUDIO_CAUSE_ACCESS_DENIED = 3,
  AUDIO_CAUSE_RATE_REFUSED = 4,
  AUDIO_CAUSE_BUFFER_REFUSED = 5,
  AUDIO_CAUSE_OTHER = 6,
  AUDIO_CAUSE_DRIVER_HUNG = 7,
};

struct AudioCommand {
  int32_t kind;  // AudioCommandKind
  int32_t value;
  char device[AUDIO_NAME_BYTES];  // OPEN: wanted device name, "" for automatic
  int32_t frames;                 // OPEN
  int32_t rate;                   // OPEN: Hz, 0 = AUTO
  int32_t exclusive;              // OPEN
};

// The engine's four settings, as the settings file holds them.
struct AudioEngineConfig {
  char device[AUDIO_NAME_BYTES];  // remembered by display name; "" = automatic
  int32_t buffer_frames;
  int32_t sample_rate;  // 0 = AUTO (48000 Hz first)
  bool exclusive;
};

struct AudioStatusRow {
  char name[AUDIO_NAME_BYTES];  // display name "device [host API]"
  int32_t input_device;
  int32_t output_device;
  int32_t asio;
  int32_t inputs;
};

// What the UI reads; copied whole. change_counter grows whenever anything else changed.
struct AudioStatus {
  uint64_t change_counter;
  int32_t state;  // AudioEngineState
  int32_t cause;  // shown: DRIVER_HUNG while hung, ACCESS_DENIED while the microphone is off
  AudioStatusRow rows[AUDIO_MAX_ROWS];
  int32_t row_count;
  int32_t row;  // the running row, else the row of the resolved wanted name (-1: none)
  char device[AUDIO_NAME_BYTES];
  char host_api[AUDIO_LABEL_BYTES];
  char wanted[AUDIO_NAME_BYTES];  // the wanted device while running on another one
  char raw_name[AUDIO_NAME_BYTES];
  double rate;
  int32_t frames;
  int32_t inputs;
  bool duplex;
  bool asio;
  bool exclusive;
  double input_latency_ms;
  double output_latency_ms;  // 0 when input only
  int32_t attempt;
  bool rescan_pending;
  uint32_t last_command_id;
  int32_t last_command_result;
  int32_t last_command_kind;
  char message[AUDIO_MESSAGE_BYTES];
  uint32_t binding_generation;
  int32_t device_inputs;
};

// Receives the core's output: interleaved stereo, at most AUDIO_MAX_FRAMES frames.
typedef void (*AudioTap)(void* user, const float* interleaved, int frames, int rate);

// Null without a core. Without a rig, inputs 1 and 2 go straight to the core.
AudioEngine* audio_engine_create(Core* core, RigMixer* rig);
// The same on another driver and probe (both must outlive the engine).
AudioEngine* audio_engine_create_with(Core* core, RigMixer* rig, const AudioDriver* driver,
                                      const AudioProbe* probe);
// Closes everything; an engine whose driver call never returned is left allocated.
void audio_engine_destroy(AudioEngine* engine);

// Queues a command; returns its sequence id, or 0 when 16 are already waiting.
uint32_t audio_engine_post(AudioEngine* engine, const AudioCommand* command);
// Posts OPEN with the given settings.
uint32_t audio_engine_open(AudioEngine* engine, const AudioEngineConfig* config);
// Copies the published status; returns its change counter (0 and zeros without an engine).
uint64_t audio_engine_status(AudioEngine* engine, AudioStatus* out);
// Copies the published binding; returns its generation (0 = none yet).
uint32_t audio_engine_binding(AudioEngine* engine, StreamBinding* out);
uint32_t audio_engine_binding_generation(AudioEngine* engine);
// The UI holds the rig lock while it edits or binds the rig.
void audio_engine_lock_rig(AudioEngine* engine);
void audio_engine_unlock_rig(AudioEngine* engine);
// Installs the output tap (null: none). Returns once no callback is still calling the previous
// one, so its user data may be freed; it stops waiting when the stream is being given up on.
void audio_engine_set_tap(AudioEngine* engine, AudioTap tap, void* user);
// A resume from suspend: the next control pass checks the stream.
void audio_engine_notify_resume(AudioEngine* engine);


// --- Helpers shared with the device rows (pure) -------------------------------------------

int audio_cause_rank(int cause);
const char* audio_cause_name(int cause);
const char* audio_state_name(int state);
// "DirectSound", "MME", "ASIO", "WDM-KS", "WASAPI", "ALSA", "JACK" by type, else host_name or "?".
const char* audio_host_label(int host_type, const char* host_name);
// The rig's API code: "ds", "mme", "asio", "coreaudio", "alsa", "wdmks", "jack", "wasapi",
// else "api%d".
void audio_api_code(int host_type, char out[AUDIO_API_BYTES]);
// A device name as UTF-8 for the binding and the rig: trimmed, at most 4096 bytes read,
// invalid sequences replaced, cut at a character boundary to fit 128 bytes.
void audio_device_name_utf8(const char* raw, char out[AUDIO_NAME_BYTES]);
// Rates to try for a device, in order, at most 6: preferred (0 = none), configured (0 = AUTO;
// a fixed rate ends the list when rate_change is set), 48000, then the device defaults.
int audio_rate_list(double preferred, int configured, bool rate_change, double input_default,
                    double output_default, double out[6]);
