// The two things the audio engine asks the outside world: the audio driver (PortAudio's calls,
// one function pointer each) and the device watch's probe (device counts, microphone
// privacy). The engine only ever goes through these tables, so a scripted driver can stand in
// for the real ones: one that hangs, refuses rates, never delivers callbacks or ends a stream.
// The table speaks PortAudio's types; drivers that are not PortAudio translate to them.
#pragma once
#include <portaudio.h>

#include <cstdint>

// The WASAPI stream-state handler's shape; a driver without WASAPI leaves set_state_handler null.
typedef void (*AudioStateHandler)(PaStream* stream, unsigned int state_flags, unsigned int error_id,
                                  void* user);
enum { AUDIO_STREAM_STATE_ERROR = 1 };

// Every call runs on the engine's worker thread (one at a time), except none: the control
// thread never calls the driver itself. `user` is the table's own user pointer.
struct AudioDriver {
  void* user;
  PaError (*initialize)(void* user);
  PaError (*terminate)(void* user);
  const char* (*error_text)(void* user, PaError error);
  int (*device_count)(void* user);
  const PaDeviceInfo* (*device_info)(void* user, int device);
  const PaHostApiInfo* (*host_api_info)(void* user, int host_api);
  int (*default_input_device)(void* user);
  int (*default_host_api)(void* user);
  PaError (*is_format_supported)(void* user, const PaStreamParameters* in,
                                 const PaStreamParameters* out, double rate);
  PaError (*open_stream)(void* user, PaStream** stream, const PaStreamParameters* in,
                         const PaStreamParameters* out, double rate, unsigned long frames,
                         PaStreamFlags flags, PaStreamCallback* callback, void* callback_user);
  PaError (*set_finished_callback)(void* user, PaStream* stream,
                                   PaStreamFinishedCallback* callback);
  // May be null (no WASAPI on this platform).
  PaError (*set_state_handler)(void* user, PaStream* stream, AudioStateHandler handler,
                               void* handler_user);
  PaError (*start_stream)(void* user, PaStream* stream);
  PaError (*stop_stream)(void* user, PaStream* stream);
  PaError (*abort_stream)(void* user, PaStream* stream);
  PaError (*close_stream)(void* user, PaStream* stream);
  const PaStreamInfo* (*stream_info)(void* user, PaStream* stream);
  const PaHostErrorInfo* (*last_host_error)(void* user);
};

// What changes what the engine can open, read once a second on the control thread.
struct AudioProbe {
  void* user;
  // Capture device count in the high 16 bits, playback count in the low 16 bits.
  uint32_t (*device_counts)(void* user);
  // True when the system refuses microphone access to desktop programs.
  bool (*microphone_denied)(void* user);
  // Milliseconds of a monotonic clock: every supervision decision (heartbeat, retries, polls,
  // rescans, resume) reads time here, so a test can drive it. Null: the system's tick clock.
  uint64_t (*now_ms)(void* user);
};

// The drivers this build has, by name: "system" (what audio_engine_create uses: PortAudio for
// ALSA and OSS, the native JACK driver for JACK), "portaudio" and "jack" on their own. Null for
// an unknown name. The tables are static; the pointers stay valid for the program's life.
const AudioDriver* audio_driver_named(const char* name);
// PortAudio without its JACK host API (JACK goes through audio_driver_jack).
const AudioDriver* audio_driver_portaudio();
// JACK through libjack: one host API "JACK Audio Connection Kit", one device per client that
// owns physical ports ("system" on jackd), served by a client named "PortAudio" whose ports
// are in_N and out_N, so connections made by name keep working.
const AudioDriver* audio_driver_jack();
// Both, PortAudio's devices first.
const AudioDriver* audio_driver_system();
// This system's probe: ALSA's capture and playback devices plus the default JACK server;
// microphone privacy has no source here and always reads as allowed.
const AudioProbe* audio_probe_system();

// libjack reports to stderr by default; the drivers keep it quiet and log what matters.
void audio_jack_quiet();
// A JACK server answers (none is started): MIDI then goes through JACK too.
bool audio_jack_running();

// The engine's stream callback, which a driver calls with the stream's ticket as user data.
// Never allocates, locks or logs.
int audio_engine_callback(const void* input, void* output, unsigned long frames,
                          const PaStreamCallbackTimeInfo* time, PaStreamCallbackFlags status,
                          void* ticket);
