// The real driver: PortAudio, plus two guards for its JACK host API.
//
// When the JACK server goes away under an open stream, PortAudio's JACK code cannot recover by
// itself: aborting or closing that stream waits ten minutes for a process thread that no
// longer exists, and Pa_Terminate then fails an assertion (the dead client's deactivate and
// close report errors) and takes the whole program down. We therefore
//   - never hand a stream whose server died to PortAudio's stop, abort or close: PortAudio is
//     made to forget it (its stream records begin with a magic word that Pa_CloseStream
//     checks), which leaks a few hundred bytes per lost server;
//   - interpose jack_deactivate and jack_client_close, so that a dead client's errors are not
//     fatal inside PortAudio's terminate.
#include <alsa/asoundlib.h>
#include <dlfcn.h>

#include <cstdarg>

#include "audio/audio_driver.h"

struct _jack_client;

namespace {

PaError pa_initialize(void*) {
  return Pa_Initialize();
}
PaError pa_terminate(void*) {
  return Pa_Terminate();
}
const char* pa_error_text(void*, PaError e) {
  return Pa_GetErrorText(e);
}
int pa_device_count(void*) {
  return Pa_GetDeviceCount();
}
const PaDeviceInfo* pa_device_info(void*, int d) {
  return Pa_GetDeviceInfo(d);
}
const PaHostApiInfo* pa_host_api_info(void*, int h) {
  return Pa_GetHostApiInfo(h);
}
int pa_default_input(void*) {
  return Pa_GetDefaultInputDevice();
}
int pa_default_host_api(void*) {
  return Pa_GetDefaultHostApi();
}
PaError pa_is_format_supported(void*, const PaStreamParameters* in, const PaStreamParameters* out,
                               double rate) {
  return Pa_IsFormatSupported(in, out, rate);
}
PaError pa_open(void*, PaStream** s, const PaStreamParameters* in, const PaStreamParameters* out,
                double rate, unsigned long frames, PaStreamFlags flags, PaStreamCallback* cb,
                void* cb_user) {
  return Pa_OpenStream(s, in, out, rate, frames, flags, cb, cb_user);
}
PaError pa_set_finished(void*, PaStream* s, PaStreamFinishedCallback* cb) {
  return Pa_SetStreamFinishedCallback(s, cb);
}
PaError pa_start(void*, PaStream* s) {
  return Pa_StartStream(s);
}

// A JACK stream that is neither active nor stopped has lost its server: the engine's callback
// never ends a stream, so only JACK's shutdown notice clears the active flag.
bool jack_stream_orphaned(PaStream* s) {
  return Pa_GetStreamHostApiType(s) == paJACK && Pa_IsStreamActive(s) == 0 &&
         Pa_IsStreamStopped(s) == 0;
}

// Streams PortAudio was made to forget. Their memory stays PortAudio's (there is no safe way to
// free it); the record keeps it accounted for. Written only on the engine's worker thread.
PaStream* g_orphans[64];
int g_orphan_count;

void forget_orphan(PaStream* s) {
  // PaUtilStreamRepresentation starts with its magic word; without it Pa_CloseStream (and so
  // Pa_Terminate) only unlinks the stream from PortAudio's list of open streams.
  *(volatile unsigned long*)s = 0;
  Pa_CloseStream(s);
  if (g_orphan_count < 64) g_orphans[g_orphan_count++] = s;
}

PaError pa_stop(void*, PaStream* s) {
  if (jack_stream_orphaned(s)) return paNoError;
  return Pa_StopStream(s);
}
PaError pa_abort(void*, PaStream* s) {
  if (jack_stream_orphaned(s)) return paNoError;
  return Pa_AbortStream(s);
}
PaError pa_close(void*, PaStream* s) {
  if (jack_stream_orphaned(s)) {
    forget_orphan(s);
    return paNoError;
  }
  return Pa_CloseStream(s);
}
const PaStreamInfo* pa_stream_info(void*, PaStream* s) {
  return Pa_GetStreamInfo(s);
}
const PaHostErrorInfo* pa_last_host_error(void*) {
  return Pa_GetLastHostErrorInfo();
}

const AudioDriver kPortAudio = {
    nullptr,
    pa_initialize,
    pa_terminate,
    pa_error_text,
    pa_device_count,
    pa_device_info,
    pa_host_api_info,
    pa_default_input,
    pa_default_host_api,
    pa_is_format_supported,
    pa_open,
    pa_set_finished,
    nullptr,  // no WASAPI here
    pa_start,
    pa_stop,
    pa_abort,
    pa_close,
    pa_stream_info,
    pa_last_host_error,
};

// ALSA prints every probe of an absent card to stderr; the engine logs what matters itself.
void alsa_quiet(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

const AudioDriver* audio_driver_portaudio() {
  static bool quieted = [] {
    snd_lib_error_set_handler(alsa_quiet);
    return true;
  }();
  (void)quieted;
  return &kPortAudio;
}

// Interposed for PortAudio's JACK host API (see the top of this file). Both forward to libjack;
// a client whose server is gone reports failure, which PortAudio would assert on.
extern "C" int jack_deactivate(_jack_client* client) {
  typedef int (*Fn)(_jack_client*);
  static Fn real = (Fn)dlsym(RTLD_NEXT, "jack_deactivate");
  if (real) real(client);
  return 0;
}

extern "C" int jack_client_close(_jack_client* client) {
  typedef int (*Fn)(_jack_client*);
  static Fn real = (Fn)dlsym(RTLD_NEXT, "jack_client_close");
  if (real) real(client);
  return 0;
}
