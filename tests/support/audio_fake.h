// A scripted stand-in for PortAudio and the device watch's probe, for tests and benchmarks:
// devices and host APIs made up by the caller, and drivers that misbehave on request (hang in a
// call, refuse rates, buffers or channel counts, report host errors, never call back, end or
// stall a stream). Streams either run on their own thread (one callback per buffer period) or
// are driven by the caller.
#pragma once
#include <portaudio.h>

#include <cstdint>

#include "audio/audio_driver.h"

struct FakeAudio;

enum FakeAudioCall {
  FAKE_INITIALIZE,
  FAKE_TERMINATE,
  FAKE_LIST,  // device_count
  FAKE_FORMAT,
  FAKE_OPEN,
  FAKE_START,
  FAKE_STOP,
  FAKE_ABORT,
  FAKE_CLOSE,
  FAKE_CALLS
};

enum FakeStreamMode {
  FAKE_STREAM_THREAD,  // a thread calls back every buffer period
  FAKE_STREAM_SILENT,  // started, but never calls back
  FAKE_STREAM_MANUAL,  // the caller calls back (fake_audio_stream_callback)
};

struct FakeAudioDevice {
  const char* name;
  int host_api;  // index from fake_audio_add_host_api
  int max_inputs;
  int max_outputs;
  double default_rate;
  double rates[8];  // accepted rates; none listed = any rate
  int rate_count;
  int max_open_inputs;  // > 0: opening more inputs is refused (invalid channel count)
  int min_frames;       // > 0: fewer frames per buffer refused (buffer too small)
  int max_frames;       // > 0: more refused (buffer too big)
  PaError open_error;   // forced error of every open (paUnanticipatedHostError uses host_error)
  long host_error;
  bool refuse_exclusive;  // host-specific (exclusive) stream information is refused
  bool present;           // listed by the next initialize
};

FakeAudio* fake_audio_new();
// Only when no engine uses it any more (a hung call keeps using it: leak it then).
void fake_audio_free(FakeAudio* f);
const AudioDriver* fake_audio_driver(FakeAudio* f);
const AudioProbe* fake_audio_probe(FakeAudio* f);

// The probe's clock runs with the system's until held; then it moves only when advanced, so a
// test decides when every supervision deadline comes.
void fake_audio_clock_hold(FakeAudio* f);
uint64_t fake_audio_clock(FakeAudio* f);
void fake_audio_clock_advance(FakeAudio* f, uint64_t ms);
// How often the engine has read the clock: a control pass reads it several times.
uint64_t fake_audio_clock_reads(FakeAudio* f);

// Host APIs and devices; devices appear at the next initialize. Return the new index.
int fake_audio_add_host_api(FakeAudio* f, const char* name, PaHostApiTypeId type);
int fake_audio_add_device(FakeAudio* f, const FakeAudioDevice* device);
void fake_audio_set_present(FakeAudio* f, int device, bool present);
void fake_audio_set_open_error(FakeAudio* f, int device, PaError error, long host_error);
void fake_audio_set_default_input(FakeAudio* f, int device);
// The next initialize fails with this error (paNoError: succeeds again).
void fake_audio_fail_initialize(FakeAudio* f, PaError error);
// Gives the table a WASAPI state-handler hook (Windows only in real life).
void fake_audio_enable_state_handler(FakeAudio* f, bool on);

void fake_audio_set_stream_mode(FakeAudio* f, FakeStreamMode mode);
// Fills every input of the streams with a sine of this peak (0 = silence).
void fake_audio_set_input_level(FakeAudio* f, float peak);
// While on, every call of that kind blocks until it is turned off again.
void fake_audio_hang(FakeAudio* f, FakeAudioCall call, bool on);
int fake_audio_calls(FakeAudio* f, FakeAudioCall call);

// Running streams: stop calling back without a word / call the finished callback and stop /
// report an error state through the state handler.
void fake_audio_stall_streams(FakeAudio* f);
void fake_audio_finish_streams(FakeAudio* f);
void fake_audio_report_error(FakeAudio* f, unsigned int error_id);
// The callback and user data of the started stream in manual mode (false without one).
bool fake_audio_stream_callback(FakeAudio* f, PaStreamCallback** callback, void** user, int* inputs,
                                int* outputs);
// The parameters of the last successful open.
double fake_audio_last_rate(FakeAudio* f);
int fake_audio_last_inputs(FakeAudio* f);
int fake_audio_open_streams(FakeAudio* f);

// Probe values.
void fake_audio_set_counts(FakeAudio* f, uint32_t counts);
void fake_audio_set_denied(FakeAudio* f, bool denied);
