// PortAudio for ALSA (and OSS). Its JACK host API is kept from ever opening a client: JACK has
// a driver of its own here (audio_driver_jack.cpp), and a PortAudio JACK client whose server
// died can neither be stopped nor terminated safely (its stream close waits ten minutes for a
// process thread that is gone, its terminate asserts on the dead client's errors).
//
// PortAudio's only public handle on that host API is its client name. A name one byte longer
// than libjack accepts passes PortAudio's own length check, and libjack refuses it before it
// looks for a server, so the host API finds "no server" and stays out of the list. Should a
// PortAudio ever get a JACK host API regardless, it is terminated at once, while the server
// that it found still answers, and its devices are not offered.
#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <pa_jack.h>

#include <cstdlib>
#include <cstring>

#include "audio/audio_driver.h"
#include "base/log.h"

namespace {

char g_no_client_name[512];

void keep_jack_out() {
  if (g_no_client_name[0]) return;
  int n = jack_client_name_size();  // counts the terminating zero
  if (n < 1 || n >= (int)sizeof g_no_client_name) n = 256;
  memset(g_no_client_name, 'k', (size_t)n);
  g_no_client_name[n] = 0;
  PaJack_SetClientName(g_no_client_name);
}

PaError pa_initialize(void*) {
  audio_jack_quiet();
  keep_jack_out();
  PaError r = Pa_Initialize();
  if (r != paNoError) return r;
  if (Pa_HostApiTypeIdToHostApiIndex(paJACK) >= 0) {
    // Its client is alive now, so it can still be let go of cleanly.
    Pa_Terminate();
    log_line("audio: PortAudio reached JACK by itself - leaving PortAudio out");
    return paInternalError;
  }
  return paNoError;
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
PaError pa_stop(void*, PaStream* s) {
  return Pa_StopStream(s);
}
PaError pa_abort(void*, PaStream* s) {
  return Pa_AbortStream(s);
}
PaError pa_close(void*, PaStream* s) {
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
