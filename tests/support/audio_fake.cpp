#include "support/audio_fake.h"

#include "platform/platform.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct FakeStream {
  FakeAudio* owner;
  PaStreamCallback* callback;
  void* user;
  PaStreamFinishedCallback* finished;
  AudioStateHandler handler;
  void* handler_user;
  int inputs, outputs;
  double rate;
  unsigned long frames;
  std::thread thread;
  std::atomic<bool> stop{false};
  std::atomic<bool> stalled{false};
  std::atomic<bool> started{false};
  PaStreamInfo info;
};

}  // namespace

struct FakeAudio {
  std::mutex m;
  std::condition_variable cv;
  bool hang[FAKE_CALLS] = {};
  int calls[FAKE_CALLS] = {};
  std::vector<FakeAudioDevice> devices;
  std::vector<std::string> names;
  std::vector<PaHostApiInfo> apis;
  std::vector<std::string> api_names;
  // What the last initialize listed: a snapshot, as PortAudio keeps its list until it restarts.
  std::vector<PaDeviceInfo> listed;
  std::vector<int> listed_index;  // listed position -> device index
  bool initialized = false;
  PaError init_error = paNoError;
  int default_input = 0;
  bool state_handler = false;
  FakeStreamMode mode = FAKE_STREAM_THREAD;
  std::atomic<float> level{0.0f};
  std::vector<FakeStream*> streams;
  double last_rate = 0;
  int last_inputs = 0;
  PaHostErrorInfo host_error = {paInDevelopment, 0, "fake host error"};
  std::atomic<uint32_t> counts{0};
  std::atomic<bool> denied{false};
  std::atomic<bool> manual_clock{false};
  std::atomic<uint64_t> clock_ms{0};
  std::atomic<uint64_t> clock_reads{0};
  AudioDriver driver;
  AudioProbe probe;
  std::vector<PaHostApiInfo> listed_apis;
};

namespace {

FakeAudio* F(void* u) {
  return (FakeAudio*)u;
}

// Counts the call and blocks while it is told to hang. Returns with the lock held.
std::unique_lock<std::mutex> enter(FakeAudio* f, FakeAudioCall call) {
  std::unique_lock<std::mutex> g(f->m);
  f->calls[call]++;
  f->cv.wait(g, [&] { return !f->hang[call]; });
  return g;
}

PaError f_initialize(void* u) {
  FakeAudio* f = F(u);
  auto g = enter(f, FAKE_INITIALIZE);
  if (f->init_error != paNoError) return f->init_error;
  f->listed.clear();
  f->listed_index.clear();
  f->listed_apis = f->apis;
  for (auto& a : f->listed_apis) {
    a.deviceCount = 0;
    a.defaultInputDevice = paNoDevice;
    a.defaultOutputDevice = paNoDevice;
  }
  for (size_t i = 0; i < f->devices.size(); i++) {
    const FakeAudioDevice& d = f->devices[i];
    if (!d.present) continue;
    PaDeviceInfo info;
    memset(&info, 0, sizeof info);
    info.structVersion = 2;
    info.name = f->names[i].c_str();
    info.hostApi = d.host_api;
    info.maxInputChannels = d.max_inputs;
    info.maxOutputChannels = d.max_outputs;
    info.defaultLowInputLatency = 0.005;
    info.defaultLowOutputLatency = 0.005;
    info.defaultHighInputLatency = 0.02;
    info.defaultHighOutputLatency = 0.02;
    info.defaultSampleRate = d.default_rate;
    int index = (int)f->listed.size();
    PaHostApiInfo& api = f->listed_apis[d.host_api];
    api.deviceCount++;
    if (d.max_inputs > 0 && api.defaultInputDevice == paNoDevice) api.defaultInputDevice = index;
    if (d.max_outputs > 0 && api.defaultOutputDevice == paNoDevice) {
      api.defaultOutputDevice = index;
    }
    f->listed.push_back(info);
    f->listed_index.push_back((int)i);
  }
  f->initialized = true;
  return paNoError;
}

PaError f_terminate(void* u) {
  FakeAudio* f = F(u);
  auto g = enter(f, FAKE_TERMINATE);
  f->initialized = false;
  return paNoError;
}

const char* f_error_text(void*, PaError e) {
  switch (e) {
    case paInvalidSampleRate:
      return "Invalid sample rate";
    case paInvalidChannelCount:
      return "Invalid number of channels";
    case paBufferTooBig:
      return "Buffer too big";
    case paBufferTooSmall:
      return "Buffer too small";
    case paUnanticipatedHostError:
      return "Unanticipated host error";
    case paDeviceUnavailable:
      return "Device unavailable";
    case paInvalidDevice:
      return "Invalid device";
    default:
      return Pa_GetErrorText(e);
  }
}

int f_device_count(void* u) {
  FakeAudio* f = F(u);
  auto g = enter(f, FAKE_LIST);
  return f->initialized ? (int)f->listed.size() : paNotInitialized;
}

const PaDeviceInfo* f_device_info(void* u, int d) {
  FakeAudio* f = F(u);
  std::lock_guard<std::mutex> g(f->m);
  if (!f->initialized || d < 0 || d >= (int)f->listed.size()) return nullptr;
  return &f->listed[d];
}

const PaHostApiInfo* f_host_api_info(void* u, int h) {
  FakeAudio* f = F(u);
  std::lock_guard<std::mutex> g(f->m);
  if (!f->initialized || h < 0 || h >= (int)f->listed_apis.size()) return nullptr;
  return &f->listed_apis[h];
}

int f_default_input(void* u) {
  FakeAudio* f = F(u);
  std::lock_guard<std::mutex> g(f->m);
  for (size_t i = 0; i < f->listed_index.size(); i++) {
    if (f->listed_index[i] == f->default_input) return (int)i;
  }
  return paNoDevice;
}

int f_default_host_api(void* u) {
  FakeAudio* f = F(u);
  std::lock_guard<std::mutex> g(f->m);
  if (f->default_input >= 0 && f->default_input < (int)f->devices.size()) {
    return f->devices[f->default_input].host_api;
  }
  return 0;
}

// The device behind a listed index, with the lock held.
const FakeAudioDevice* device_of(FakeAudio* f, int listed) {
  if (!f->initialized || listed < 0 || listed >= (int)f->listed_index.size()) return nullptr;
  return &f->devices[f->listed_index[listed]];
}

PaError check(FakeAudio* f, const PaStreamParameters* in, const PaStreamParameters* out,
              double rate, unsigned long frames, bool with_frames) {
  const FakeAudioDevice* d = in ? device_of(f, in->device) : nullptr;
  if (!d || !d->present) return paInvalidDevice;
  if (in->channelCount > d->max_inputs) return paInvalidChannelCount;
  if (d->refuse_exclusive && in->hostApiSpecificStreamInfo) {
    return paIncompatibleHostApiSpecificStreamInfo;
  }
  if (d->max_open_inputs > 0 && in->channelCount > d->max_open_inputs) {
    return paInvalidChannelCount;
  }
  if (out) {
    const FakeAudioDevice* o = device_of(f, out->device);
    if (!o || out->channelCount > o->max_outputs) return paInvalidChannelCount;
  }
  if (d->rate_count > 0) {
    bool ok = false;
    for (int i = 0; i < d->rate_count; i++) ok = ok || std::fabs(d->rates[i] - rate) < 0.5;
    if (!ok) return paInvalidSampleRate;
  }
  if (with_frames) {
    if (d->min_frames > 0 && (long)frames < d->min_frames) return paBufferTooSmall;
    if (d->max_frames > 0 && (long)frames > d->max_frames) return paBufferTooBig;
    if (d->open_error != paNoError) {
      if (d->open_error == paUnanticipatedHostError) {
        f->host_error.hostApiType = f->apis[d->host_api].type;
        f->host_error.errorCode = d->host_error;
      }
      return d->open_error;
    }
  }
  return paNoError;
}

PaError f_is_format_supported(void* u, const PaStreamParameters* in, const PaStreamParameters* out,
                              double rate) {
  FakeAudio* f = F(u);
  auto g = enter(f, FAKE_FORMAT);
  return check(f, in, out, rate, 0, false);
}

PaError f_open(void* u, PaStream** s, const PaStreamParameters* in, const PaStreamParameters* out,
               double rate, unsigned long frames, PaStreamFlags, PaStreamCallback* cb,
               void* cb_user) {
  FakeAudio* f = F(u);
  auto g = enter(f, FAKE_OPEN);
  PaError e = check(f, in, out, rate, frames, true);
  if (e != paNoError) return e;
  FakeStream* st = new FakeStream;
  st->owner = f;
  st->callback = cb;
  st->user = cb_user;
  st->finished = nullptr;
  st->handler = nullptr;
  st->handler_user = nullptr;
  st->inputs = in ? in->channelCount : 0;
  st->outputs = out ? out->channelCount : 0;
  st->rate = rate;
  st->frames = frames;
  memset(&st->info, 0, sizeof st->info);
  st->info.structVersion = 1;
  st->info.inputLatency = 0.0107;
  st->info.outputLatency = out ? 0.0107 : 0;
  st->info.sampleRate = rate;
  f->streams.push_back(st);
  f->last_rate = rate;
  f->last_inputs = st->inputs;
  *s = (PaStream*)st;
  return paNoError;
}

PaError f_set_finished(void* u, PaStream* s, PaStreamFinishedCallback* cb) {
  std::lock_guard<std::mutex> g(F(u)->m);
  ((FakeStream*)s)->finished = cb;
  return paNoError;
}

PaError f_set_state_handler(void* u, PaStream* s, AudioStateHandler h, void* user) {
  std::lock_guard<std::mutex> g(F(u)->m);
  ((FakeStream*)s)->handler = h;
  ((FakeStream*)s)->handler_user = user;
  return paNoError;
}

void stream_thread(FakeStream* st) {
  FakeAudio* f = st->owner;
  unsigned long n = st->frames ? st->frames : 256;
  std::vector<float> in_data((size_t)(st->inputs > 0 ? st->inputs : 1) * n, 0.0f);
  std::vector<float> out_data((size_t)(st->outputs > 0 ? st->outputs : 1) * n, 0.0f);
  std::vector<const float*> in_ptr(st->inputs > 0 ? st->inputs : 1);
  std::vector<float*> out_ptr(st->outputs > 0 ? st->outputs : 1);
  for (int c = 0; c < st->inputs; c++) in_ptr[c] = &in_data[(size_t)c * n];
  for (int c = 0; c < st->outputs; c++) out_ptr[c] = &out_data[(size_t)c * n];
  auto period = std::chrono::microseconds((long long)(1e6 * (double)n / st->rate));
  auto next = std::chrono::steady_clock::now();
  double phase = 0;
  while (!st->stop.load()) {
    next += period;
    std::this_thread::sleep_until(next);
    if (st->stop.load()) break;
    if (st->stalled.load()) continue;
    float level = f->level.load();
    for (unsigned long i = 0; i < n; i++) {
      float v = level * (float)std::sin(phase);
      phase += 2 * M_PI * 440.0 / st->rate;
      for (int c = 0; c < st->inputs; c++) in_data[(size_t)c * n + i] = v;
    }
    st->callback(st->inputs ? in_ptr.data() : nullptr, st->outputs ? out_ptr.data() : nullptr, n,
                 nullptr, 0, st->user);
  }
}

PaError f_start(void* u, PaStream* s) {
  FakeAudio* f = F(u);
  auto g = enter(f, FAKE_START);
  FakeStream* st = (FakeStream*)s;
  if (st->started) return paStreamIsNotStopped;
  st->started = true;
  st->stop.store(false);
  if (f->mode == FAKE_STREAM_THREAD) st->thread = std::thread(stream_thread, st);
  if (f->mode == FAKE_STREAM_SILENT) st->stalled.store(true);
  return paNoError;
}

void halt(FakeStream* st) {
  st->stop.store(true);
  if (st->thread.joinable()) st->thread.join();
  if (st->started && st->finished) st->finished(st->user);
  st->started = false;
}

PaError f_stop(void* u, PaStream* s) {
  FakeAudio* f = F(u);
  { auto g = enter(f, FAKE_STOP); }
  halt((FakeStream*)s);
  return paNoError;
}

PaError f_abort(void* u, PaStream* s) {
  FakeAudio* f = F(u);
  { auto g = enter(f, FAKE_ABORT); }
  halt((FakeStream*)s);
  return paNoError;
}

PaError f_close(void* u, PaStream* s) {
  FakeAudio* f = F(u);
  FakeStream* st = (FakeStream*)s;
  {
    auto g = enter(f, FAKE_CLOSE);
    for (size_t i = 0; i < f->streams.size(); i++) {
      if (f->streams[i] == st) {
        f->streams.erase(f->streams.begin() + (long)i);
        break;
      }
    }
  }
  halt(st);
  delete st;
  return paNoError;
}

const PaStreamInfo* f_stream_info(void*, PaStream* s) {
  return &((FakeStream*)s)->info;
}

const PaHostErrorInfo* f_last_host_error(void* u) {
  return &F(u)->host_error;
}

uint32_t f_counts(void* u) {
  return F(u)->counts.load();
}
bool f_denied(void* u) {
  return F(u)->denied.load();
}

uint64_t f_now(void* u) {
  F(u)->clock_reads.fetch_add(1);
  return F(u)->manual_clock.load() ? F(u)->clock_ms.load() : platform_tick_ms();
}

}  // namespace

FakeAudio* fake_audio_new() {
  FakeAudio* f = new FakeAudio;
  f->driver = AudioDriver{f,
                          f_initialize,
                          f_terminate,
                          f_error_text,
                          f_device_count,
                          f_device_info,
                          f_host_api_info,
                          f_default_input,
                          f_default_host_api,
                          f_is_format_supported,
                          f_open,
                          f_set_finished,
                          nullptr,
                          f_start,
                          f_stop,
                          f_abort,
                          f_close,
                          f_stream_info,
                          f_last_host_error};
  f->probe = AudioProbe{f, f_counts, f_denied, f_now};
  return f;
}

void fake_audio_free(FakeAudio* f) {
  if (!f) return;
  std::vector<FakeStream*> left;
  {
    std::lock_guard<std::mutex> g(f->m);
    left.swap(f->streams);
  }
  for (FakeStream* st : left) {
    halt(st);
    delete st;
  }
  delete f;
}

const AudioDriver* fake_audio_driver(FakeAudio* f) {
  return &f->driver;
}
const AudioProbe* fake_audio_probe(FakeAudio* f) {
  return &f->probe;
}

int fake_audio_add_host_api(FakeAudio* f, const char* name, PaHostApiTypeId type) {
  std::lock_guard<std::mutex> g(f->m);
  f->api_names.push_back(name);
  PaHostApiInfo info;
  memset(&info, 0, sizeof info);
  info.structVersion = 1;
  info.type = type;
  f->apis.push_back(info);
  // Names are re-pointed here since the vector of strings may have moved.
  for (size_t i = 0; i < f->apis.size(); i++) f->apis[i].name = f->api_names[i].c_str();
  return (int)f->apis.size() - 1;
}

int fake_audio_add_device(FakeAudio* f, const FakeAudioDevice* d) {
  std::lock_guard<std::mutex> g(f->m);
  f->devices.push_back(*d);
  f->names.push_back(d->name ? d->name : "");
  return (int)f->devices.size() - 1;
}

void fake_audio_set_present(FakeAudio* f, int device, bool present) {
  std::lock_guard<std::mutex> g(f->m);
  f->devices[device].present = present;
}

void fake_audio_set_open_error(FakeAudio* f, int device, PaError error, long host_error) {
  std::lock_guard<std::mutex> g(f->m);
  f->devices[device].open_error = error;
  f->devices[device].host_error = host_error;
}

void fake_audio_set_default_input(FakeAudio* f, int device) {
  std::lock_guard<std::mutex> g(f->m);
  f->default_input = device;
}

void fake_audio_fail_initialize(FakeAudio* f, PaError error) {
  std::lock_guard<std::mutex> g(f->m);
  f->init_error = error;
}

void fake_audio_enable_state_handler(FakeAudio* f, bool on) {
  f->driver.set_state_handler = on ? f_set_state_handler : nullptr;
}

void fake_audio_set_stream_mode(FakeAudio* f, FakeStreamMode mode) {
  std::lock_guard<std::mutex> g(f->m);
  f->mode = mode;
}

void fake_audio_set_input_level(FakeAudio* f, float peak) {
  f->level.store(peak);
}

void fake_audio_hang(FakeAudio* f, FakeAudioCall call, bool on) {
  {
    std::lock_guard<std::mutex> g(f->m);
    f->hang[call] = on;
  }
  f->cv.notify_all();
}

int fake_audio_calls(FakeAudio* f, FakeAudioCall call) {
  std::lock_guard<std::mutex> g(f->m);
  return f->calls[call];
}

void fake_audio_stall_streams(FakeAudio* f) {
  std::lock_guard<std::mutex> g(f->m);
  for (FakeStream* st : f->streams) st->stalled.store(true);
}

void fake_audio_finish_streams(FakeAudio* f) {
  std::vector<FakeStream*> running;
  {
    std::lock_guard<std::mutex> g(f->m);
    running = f->streams;
  }
  for (FakeStream* st : running) {
    st->stalled.store(true);
    if (st->started && st->finished) st->finished(st->user);
  }
}

void fake_audio_report_error(FakeAudio* f, unsigned int error_id) {
  std::lock_guard<std::mutex> g(f->m);
  for (FakeStream* st : f->streams) {
    if (st->started && st->handler) {
      st->handler((PaStream*)st, AUDIO_STREAM_STATE_ERROR, error_id, st->handler_user);
    }
  }
}

bool fake_audio_stream_callback(FakeAudio* f, PaStreamCallback** callback, void** user, int* inputs,
                                int* outputs) {
  std::lock_guard<std::mutex> g(f->m);
  for (FakeStream* st : f->streams) {
    if (!st->started || !st->callback) continue;
    *callback = st->callback;
    *user = st->user;
    *inputs = st->inputs;
    *outputs = st->outputs;
    return true;
  }
  return false;
}

double fake_audio_last_rate(FakeAudio* f) {
  std::lock_guard<std::mutex> g(f->m);
  return f->last_rate;
}

int fake_audio_last_inputs(FakeAudio* f) {
  std::lock_guard<std::mutex> g(f->m);
  return f->last_inputs;
}

int fake_audio_open_streams(FakeAudio* f) {
  std::lock_guard<std::mutex> g(f->m);
  return (int)f->streams.size();
}

void fake_audio_set_counts(FakeAudio* f, uint32_t counts) {
  f->counts.store(counts);
}
void fake_audio_set_denied(FakeAudio* f, bool denied) {
  f->denied.store(denied);
}

void fake_audio_clock_hold(FakeAudio* f) {
  f->clock_ms.store(platform_tick_ms());
  f->manual_clock.store(true);
}

uint64_t fake_audio_clock(FakeAudio* f) {
  return f->manual_clock.load() ? f->clock_ms.load() : platform_tick_ms();
}

uint64_t fake_audio_clock_reads(FakeAudio* f) {
  return f->clock_reads.load();
}

void fake_audio_clock_advance(FakeAudio* f, uint64_t ms) {
  f->clock_ms.fetch_add(ms);
}
