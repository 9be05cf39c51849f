// JACK through libjack, behind the engine's driver table.
//
// The list is a snapshot taken at initialize with a short-lived client: one device per client
// that owns physical ports (jackd's "system"; a PipeWire device each), with its capture and
// playback ports in server order. A stream is a client of its own named "PortAudio" with ports
// in_N and out_N (the names this program always had, so saved connections keep working),
// connected to the device's ports when it starts. The process callback hands the engine's
// callback JACK's non-interleaved float buffers as they are; a server that goes away marks the
// stream lost and calls its finished callback. A lost stream is never deactivated, and every
// client is closed on a helper thread under a time limit, so a dead or stuck server costs a
// leaked client, never a thread of ours.
#include <jack/jack.h>
#include <pthread.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "audio/audio_driver.h"
#include "platform/platform.h"

namespace {

constexpr int kMaxDevices = 16;
constexpr int kMaxPorts = 256;  // physical ports listed, all devices together
constexpr int kPortName = 320;  // jack_port_name_size() of libjack
constexpr int kMaxChannels = 64;
constexpr uint32_t kCloseLimitMs = 1500;  // under the engine's 2 s limit for a stop
constexpr uint32_t kQuietLimitMs = 1000;  // callbacks leaving after a stop
const char* const kStreamClient = "PortAudio";
const char* const kListClient = "kelp-list";
const char* const kHostApiName = "JACK Audio Connection Kit";

struct JackDevice {
  char name[kPortName];
  int capture_first, captures;    // ports that deliver audio to us (the device's inputs)
  int playback_first, playbacks;  // ports we deliver to (the device's outputs)
};

struct JackSnapshot {
  int count;
  JackDevice dev[kMaxDevices];
  PaDeviceInfo info[kMaxDevices];
  int nports;
  char ports[kMaxPorts][kPortName];
  double rate;
  jack_nframes_t frames;
};

struct JackStream {
  jack_client_t* client;
  int inputs, outputs;
  jack_port_t* in[kMaxChannels];
  jack_port_t* out[kMaxChannels];
  char sources[kMaxChannels][kPortName];  // device ports feeding in_N
  char sinks[kMaxChannels][kPortName];    // device ports fed by out_N
  PaStreamCallback* callback;
  void* user;
  std::atomic<PaStreamFinishedCallback*> finished{nullptr};
  std::atomic<bool> active{false};
  std::atomic<bool> lost{false};
  std::atomic<bool> finished_claimed{false};
  std::atomic<int> inside{0};  // process or shutdown handlers running
  double rate;
  PaStreamInfo info;
};

struct JackDriverState {
  JackSnapshot* snap = nullptr;
  PaHostApiInfo api;
  PaHostErrorInfo host_error = {paJACK, 0, ""};
  char host_text[128] = {0};
};

JackDriverState g_jack;

void set_host_error(long code, const char* text) {
  snprintf(g_jack.host_text, sizeof g_jack.host_text, "%s", text);
  g_jack.host_error.hostApiType = paJACK;
  g_jack.host_error.errorCode = code;
  g_jack.host_error.errorText = g_jack.host_text;
}

void quiet_message(const char*) {}

// --- Closing a client without trusting the server ---------------------------------------------

struct CloseJob {
  jack_client_t* client;
  bool deactivate;
  JackStream* stream;  // freed once the client is closed
  std::atomic<int> refs{2};
  std::atomic<bool> done{false};
};

void release(CloseJob* j) {
  if (j->refs.fetch_sub(1) == 1) delete j;
}

void* close_main(void* arg) {
  CloseJob* j = (CloseJob*)arg;
  if (j->deactivate) jack_deactivate(j->client);
  jack_client_close(j->client);
  delete j->stream;
  j->done.store(true);
  release(j);
  return nullptr;
}

// True when the client closed within the limit; otherwise the helper keeps it (and the stream).
bool close_bounded(jack_client_t* client, bool deactivate, JackStream* stream) {
  CloseJob* j = new (std::nothrow) CloseJob;
  if (!j) {
    if (deactivate) jack_deactivate(client);
    jack_client_close(client);
    delete stream;
    return true;
  }
  j->client = client;
  j->deactivate = deactivate;
  j->stream = stream;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t t;
  int err = pthread_create(&t, &attr, close_main, j);
  pthread_attr_destroy(&attr);
  if (err != 0) {
    j->refs.store(1);
    close_main(j);
    return true;
  }
  uint64_t end = platform_tick_ms() + kCloseLimitMs;
  while (!j->done.load() && platform_tick_ms() < end) platform_sleep_ms(1);
  bool done = j->done.load();
  release(j);
  return done;
}

// --- The list ------------------------------------------------------------------------------

int find_or_add(JackSnapshot* s, const char* port) {
  const char* colon = strchr(port, ':');
  size_t n = colon ? (size_t)(colon - port) : strlen(port);
  if (n >= sizeof s->dev[0].name) n = sizeof s->dev[0].name - 1;
  for (int i = 0; i < s->count; i++) {
    if (strlen(s->dev[i].name) == n && strncmp(s->dev[i].name, port, n) == 0) return i;
  }
  if (s->count >= kMaxDevices) return -1;
  JackDevice* d = &s->dev[s->count];
  memcpy(d->name, port, n);
  d->name[n] = 0;
  return s->count++;
}

// Appends the ports of `list` that belong to device d; returns how many.
int add_ports(JackSnapshot* s, const char** list, const JackDevice* d) {
  int added = 0;
  size_t n = strlen(d->name);
  for (int i = 0; list && list[i]; i++) {
    if (strncmp(list[i], d->name, n) != 0 || list[i][n] != ':') continue;
    if (s->nports >= kMaxPorts) break;
    snprintf(s->ports[s->nports++], kPortName, "%s", list[i]);
    added++;
  }
  return added;
}

void take_snapshot(JackSnapshot* s, jack_client_t* c) {
  s->rate = (double)jack_get_sample_rate(c);
  s->frames = jack_get_buffer_size(c);
  const char** captures =
      jack_get_ports(c, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsOutput);
  const char** playbacks =
      jack_get_ports(c, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsInput);
  for (int i = 0; captures && captures[i]; i++) find_or_add(s, captures[i]);
  for (int i = 0; playbacks && playbacks[i]; i++) find_or_add(s, playbacks[i]);
  double latency = s->rate > 0 ? (double)s->frames / s->rate : 0;
  for (int i = 0; i < s->count; i++) {
    JackDevice* d = &s->dev[i];
    d->capture_first = s->nports;
    d->captures = add_ports(s, captures, d);
    d->playback_first = s->nports;
    d->playbacks = add_ports(s, playbacks, d);
    PaDeviceInfo* info = &s->info[i];
    memset(info, 0, sizeof *info);
    info->structVersion = 2;
    info->name = d->name;
    info->hostApi = 0;
    info->maxInputChannels = d->captures < kMaxChannels ? d->captures : kMaxChannels;
    info->maxOutputChannels = d->playbacks < kMaxChannels ? d->playbacks : kMaxChannels;
    info->defaultLowInputLatency = info->defaultHighInputLatency = latency;
    info->defaultLowOutputLatency = info->defaultHighOutputLatency = latency;
    info->defaultSampleRate = s->rate;
  }
  if (captures) jack_free(captures);
  if (playbacks) jack_free(playbacks);
}

// --- Table entries ---------------------------------------------------------------------------

PaError j_terminate(void*) {
  delete g_jack.snap;
  g_jack.snap = nullptr;
  return paNoError;
}

PaError j_initialize(void*) {
  audio_jack_quiet();
  j_terminate(nullptr);
  JackSnapshot* s = new (std::nothrow) JackSnapshot;
  if (!s) return paInsufficientMemory;
  memset(s, 0, sizeof *s);
  jack_status_t status = (jack_status_t)0;
  jack_client_t* c = nullptr;
  // A server that is there but busy (just started, or a client of ours still closing) may refuse
  // one open; a server that isn't there costs the two short waits.
  for (int attempt = 0; attempt < 3 && !c; attempt++) {
    if (attempt > 0) platform_sleep_ms(150);
    c = jack_client_open(kListClient, JackNoStartServer, &status);
  }
  if (c) {
    take_snapshot(s, c);
    close_bounded(c, false, nullptr);
  }
  g_jack.snap = s;
  memset(&g_jack.api, 0, sizeof g_jack.api);
  g_jack.api.structVersion = 1;
  g_jack.api.type = paJACK;
  g_jack.api.name = kHostApiName;
  g_jack.api.deviceCount = s->count;
  g_jack.api.defaultInputDevice = paNoDevice;
  g_jack.api.defaultOutputDevice = paNoDevice;
  for (int i = 0; i < s->count; i++) {
    if (g_jack.api.defaultInputDevice == paNoDevice && s->info[i].maxInputChannels > 0)
      g_jack.api.defaultInputDevice = i;
    if (g_jack.api.defaultOutputDevice == paNoDevice && s->info[i].maxOutputChannels > 0)
      g_jack.api.defaultOutputDevice = i;
  }
  return paNoError;
}

const char* j_error_text(void*, PaError e) {
  return Pa_GetErrorText(e);
}

int j_device_count(void*) {
  return g_jack.snap ? g_jack.snap->count : 0;
}

const PaDeviceInfo* j_device_info(void*, int d) {
  if (!g_jack.snap || d < 0 || d >= g_jack.snap->count) return nullptr;
  return &g_jack.snap->info[d];
}

const PaHostApiInfo* j_host_api_info(void*, int h) {
  return g_jack.snap && h == 0 ? &g_jack.api : nullptr;
}

int j_default_input(void*) {
  return g_jack.snap ? g_jack.api.defaultInputDevice : paNoDevice;
}

int j_default_host_api(void*) {
  return 0;
}

PaError check_side(const PaStreamParameters* p, bool input) {
  if (!p) return paNoError;
  if (!g_jack.snap || p->device < 0 || p->device >= g_jack.snap->count) return paInvalidDevice;
  const PaDeviceInfo* info = &g_jack.snap->info[p->device];
  int max = input ? info->maxInputChannels : info->maxOutputChannels;
  if (p->channelCount < 1 || p->channelCount > max) return paInvalidChannelCount;
  if (p->sampleFormat != (paFloat32 | paNonInterleaved)) return paSampleFormatNotSupported;
  if (p->hostApiSpecificStreamInfo) return paIncompatibleHostApiSpecificStreamInfo;
  return paNoError;
}

PaError check_format(const PaStreamParameters* in, const PaStreamParameters* out, double rate) {
  if (!in && !out) return paInvalidChannelCount;
  PaError e = check_side(in, true);
  if (e == paNoError) e = check_side(out, false);
  if (e != paNoError) return e;
  if (std::fabs(rate - g_jack.snap->rate) > 1) return paInvalidSampleRate;
  return paNoError;
}

PaError j_is_format_supported(void*, const PaStreamParameters* in, const PaStreamParameters* out,
                              double rate) {
  PaError e = check_format(in, out, rate);
  return e == paNoError ? paFormatIsSupported : e;
}

int process(jack_nframes_t n, void* arg) {
  JackStream* s = (JackStream*)arg;
  s->inside.fetch_add(1);
  if (!s->active.load()) {
    for (int c = 0; c < s->outputs; c++) {
      float* o = (float*)jack_port_get_buffer(s->out[c], n);
      if (o) memset(o, 0, n * sizeof(float));
    }
    s->inside.fetch_sub(1);
    return 0;
  }
  const float* ins[kMaxChannels];
  float* outs[kMaxChannels];
  for (int c = 0; c < s->inputs; c++) ins[c] = (const float*)jack_port_get_buffer(s->in[c], n);
  for (int c = 0; c < s->outputs; c++) outs[c] = (float*)jack_port_get_buffer(s->out[c], n);
  PaStreamCallbackTimeInfo time = {0, 0, 0};
  int r = s->callback(s->inputs ? (const void*)ins : nullptr, s->outputs ? (void*)outs : nullptr,
                      n, &time, 0, s->user);
  if (r != paContinue) s->active.store(false);
  s->inside.fetch_sub(1);
  return 0;
}

void on_shutdown(jack_status_t, const char*, void* arg) {
  JackStream* s = (JackStream*)arg;
  s->inside.fetch_add(1);
  s->lost.store(true);
  s->active.store(false);
  if (!s->finished_claimed.exchange(true)) {
    PaStreamFinishedCallback* f = s->finished.load();
    if (f) f(s->user);
  }
  s->inside.fetch_sub(1);
}

// Waits for the process and shutdown handlers to leave; false when one is still inside.
bool wait_quiet(JackStream* s) {
  uint64_t end = platform_tick_ms() + kQuietLimitMs;
  while (s->inside.load() != 0) {
    if (platform_tick_ms() >= end) return false;
    platform_sleep_ms(1);
  }
  return true;
}

PaError j_open(void*, PaStream** out_stream, const PaStreamParameters* in,
               const PaStreamParameters* out, double rate, unsigned long, PaStreamFlags,
               PaStreamCallback* callback, void* user) {
  *out_stream = nullptr;
  PaError e = check_format(in, out, rate);
  if (e != paNoError) return e;
  JackStream* s = new (std::nothrow) JackStream;
  if (!s) return paInsufficientMemory;
  s->client = nullptr;
  s->inputs = in ? in->channelCount : 0;
  s->outputs = out ? out->channelCount : 0;
  s->callback = callback;
  s->user = user;
  s->rate = rate;
  memset(&s->info, 0, sizeof s->info);
  s->info.structVersion = 1;
  s->info.sampleRate = rate;
  const JackSnapshot* snap = g_jack.snap;
  if (in) {
    const JackDevice* d = &snap->dev[in->device];
    for (int c = 0; c < s->inputs; c++)
      memcpy(s->sources[c], snap->ports[d->capture_first + c], kPortName);
  }
  if (out) {
    const JackDevice* d = &snap->dev[out->device];
    for (int c = 0; c < s->outputs; c++)
      memcpy(s->sinks[c], snap->ports[d->playback_first + c], kPortName);
  }
  jack_status_t status = (jack_status_t)0;
  s->client = jack_client_open(kStreamClient, JackNoStartServer, &status);
  if (!s->client) {
    set_host_error((long)status, "the JACK server isn't running");
    delete s;
    return paDeviceUnavailable;
  }
  if (std::fabs((double)jack_get_sample_rate(s->client) - rate) > 1) {
    close_bounded(s->client, false, s);
    return paInvalidSampleRate;
  }
  bool ok = jack_set_process_callback(s->client, process, s) == 0;
  jack_on_info_shutdown(s->client, on_shutdown, s);
  for (int c = 0; ok && c < s->inputs; c++) {
    char name[32];
    snprintf(name, sizeof name, "in_%d", c + 1);
    s->in[c] = jack_port_register(s->client, name, JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    ok = s->in[c] != nullptr;
  }
  for (int c = 0; ok && c < s->outputs; c++) {
    char name[32];
    snprintf(name, sizeof name, "out_%d", c + 1);
    s->out[c] = jack_port_register(s->client, name, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    ok = s->out[c] != nullptr;
  }
  if (!ok) {
    set_host_error(-1, "JACK refused the stream's ports");
    close_bounded(s->client, false, s);
    return paUnanticipatedHostError;
  }
  *out_stream = (PaStream*)s;
  return paNoError;
}

PaError j_set_finished(void*, PaStream* stream, PaStreamFinishedCallback* cb) {
  ((JackStream*)stream)->finished.store(cb);
  return paNoError;
}

PaError j_start(void*, PaStream* stream) {
  JackStream* s = (JackStream*)stream;
  if (s->lost.load()) return paDeviceUnavailable;
  s->active.store(true);
  if (jack_activate(s->client) != 0) {
    s->active.store(false);
    set_host_error(-1, "JACK would not activate the stream");
    return paUnanticipatedHostError;
  }
  // A connection that fails leaves that channel silent; the stream still runs.
  for (int c = 0; c < s->inputs; c++) jack_connect(s->client, s->sources[c], jack_port_name(s->in[c]));
  for (int c = 0; c < s->outputs; c++) jack_connect(s->client, jack_port_name(s->out[c]), s->sinks[c]);
  jack_nframes_t frames = jack_get_buffer_size(s->client);
  jack_latency_range_t r = {0, 0};
  if (s->inputs > 0) {
    jack_port_get_latency_range(s->in[0], JackCaptureLatency, &r);
    s->info.inputLatency = (double)(r.max ? r.max : frames) / s->rate;
  }
  if (s->outputs > 0) {
    r.min = r.max = 0;
    jack_port_get_latency_range(s->out[0], JackPlaybackLatency, &r);
    s->info.outputLatency = (double)(r.max ? r.max : frames) / s->rate;
  }
  return paNoError;
}

// The client stays active (writing silence) until it is closed; callbacks end here.
PaError j_stop(void*, PaStream* stream) {
  JackStream* s = (JackStream*)stream;
  s->active.store(false);
  return wait_quiet(s) ? paNoError : paTimedOut;
}

PaError j_close(void*, PaStream* stream) {
  JackStream* s = (JackStream*)stream;
  // From here on the finished callback is not called: its user data goes with the stream.
  s->finished_claimed.store(true);
  s->active.store(false);
  if (!wait_quiet(s)) return paTimedOut;  // a handler that never returns keeps the stream
  bool lost = s->lost.load();
  return close_bounded(s->client, !lost, s) ? paNoError : paTimedOut;
}

const PaStreamInfo* j_stream_info(void*, PaStream* stream) {
  return &((JackStream*)stream)->info;
}

const PaHostErrorInfo* j_last_host_error(void*) {
  return &g_jack.host_error;
}

const AudioDriver kJack = {
    nullptr,
    j_initialize,
    j_terminate,
    j_error_text,
    j_device_count,
    j_device_info,
    j_host_api_info,
    j_default_input,
    j_default_host_api,
    j_is_format_supported,
    j_open,
    j_set_finished,
    nullptr,
    j_start,
    j_stop,
    j_stop,  // abort: the same, JACK has nothing to drain
    j_close,
    j_stream_info,
    j_last_host_error,
};

}  // namespace

void audio_jack_quiet() {
  static bool quieted = [] {
    jack_set_error_function(quiet_message);
    jack_set_info_function(quiet_message);
    return true;
  }();
  (void)quieted;
}

bool audio_jack_running() {
  audio_jack_quiet();
  jack_status_t status = (jack_status_t)0;
  jack_client_t* c = jack_client_open("kelp-probe", JackNoStartServer, &status);
  if (!c) return false;
  close_bounded(c, false, nullptr);
  return true;
}

const AudioDriver* audio_driver_jack() {
  return &kJack;
}
