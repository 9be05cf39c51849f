// The system driver: PortAudio's devices (ALSA, OSS) followed by the native JACK driver's, as
// one table. Device and host API indexes are the parts' own, shifted past the part before; a
// stream goes to the part that owns its device and is remembered there, so every later call
// reaches the same part. One part may fail to start while the other runs. Like the parts, it is
// only ever called from the engine's worker thread.
#include <cstring>

#include "audio/audio_driver.h"

namespace {

constexpr int kParts = 2;
constexpr int kMaxDevices = 256;
constexpr int kMaxApis = 16;
constexpr int kMaxJackStreams = 16;

struct Part {
  const AudioDriver* drv;
  bool up;
  int dev_base, dev_count;
  int api_base, api_count;
};

struct SystemDriver {
  Part parts[kParts];
  PaDeviceInfo devices[kMaxDevices];
  int device_count;
  PaHostApiInfo apis[kMaxApis];
  int api_count;
  int default_input;
  int default_api;
  int last_part;
  // Streams whose device belongs to a part other than the first, with their part.
  PaStream* streams[kMaxJackStreams];
  int stream_part[kMaxJackStreams];
};

SystemDriver g_sys;

void* U(const Part* p) {
  return p->drv->user;
}

int part_of_device(int device) {
  for (int i = 0; i < kParts; i++) {
    const Part* p = &g_sys.parts[i];
    if (p->up && device >= p->dev_base && device < p->dev_base + p->dev_count) return i;
  }
  return -1;
}

int part_of_stream(PaStream* s) {
  for (int i = 0; i < kMaxJackStreams; i++) {
    if (g_sys.streams[i] == s) return g_sys.stream_part[i];
  }
  return 0;
}

void forget_stream(PaStream* s) {
  for (int i = 0; i < kMaxJackStreams; i++) {
    if (g_sys.streams[i] == s) g_sys.streams[i] = nullptr;
  }
}

int shift(int index, int base) {
  return index >= 0 ? index + base : index;
}

PaError s_terminate(void*) {
  PaError first = paNoError;
  for (Part& p : g_sys.parts) {
    if (!p.up) continue;
    PaError r = p.drv->terminate(U(&p));
    if (first == paNoError) first = r;
    p.up = false;
  }
  g_sys.device_count = 0;
  g_sys.api_count = 0;
  return first;
}

PaError s_initialize(void*) {
  s_terminate(nullptr);
  g_sys.parts[0].drv = audio_driver_portaudio();
  g_sys.parts[1].drv = audio_driver_jack();
  PaError first_error = paNoError;
  g_sys.default_input = paNoDevice;
  g_sys.default_api = -1;
  for (Part& p : g_sys.parts) {
    p.dev_base = g_sys.device_count;
    p.api_base = g_sys.api_count;
    p.dev_count = 0;
    p.api_count = 0;
    PaError r = p.drv->initialize(U(&p));
    if (r != paNoError) {
      if (first_error == paNoError) first_error = r;
      continue;
    }
    p.up = true;
    int n = p.drv->device_count(U(&p));
    int apis = p.drv->default_host_api(U(&p)) + 1;
    for (int d = 0; d < n && g_sys.device_count < kMaxDevices; d++) {
      const PaDeviceInfo* info = p.drv->device_info(U(&p), d);
      PaDeviceInfo* copy = &g_sys.devices[g_sys.device_count++];
      if (info) {
        *copy = *info;
        if (info->hostApi + 1 > apis) apis = info->hostApi + 1;
        copy->hostApi = info->hostApi + p.api_base;
      } else {
        memset(copy, 0, sizeof *copy);
        copy->name = "?";
        copy->hostApi = p.api_base;
      }
      p.dev_count++;
    }
    for (int h = 0; h < apis && g_sys.api_count < kMaxApis; h++) {
      const PaHostApiInfo* info = p.drv->host_api_info(U(&p), h);
      PaHostApiInfo* copy = &g_sys.apis[g_sys.api_count++];
      if (info) {
        *copy = *info;
        copy->defaultInputDevice = shift(info->defaultInputDevice, p.dev_base);
        copy->defaultOutputDevice = shift(info->defaultOutputDevice, p.dev_base);
      } else {
        memset(copy, 0, sizeof *copy);
        copy->defaultInputDevice = copy->defaultOutputDevice = paNoDevice;
      }
      p.api_count++;
    }
    // The first part with an input device gives the defaults.
    int def_in = p.drv->default_input_device(U(&p));
    if (g_sys.default_input == paNoDevice && def_in >= 0 && def_in < p.dev_count) {
      g_sys.default_input = def_in + p.dev_base;
      g_sys.default_api = p.drv->default_host_api(U(&p)) + p.api_base;
    }
  }
  if (g_sys.default_api < 0) g_sys.default_api = 0;
  bool any = false;
  for (const Part& p : g_sys.parts) any = any || p.up;
  return any ? paNoError : first_error;
}

const char* s_error_text(void*, PaError e) {
  return Pa_GetErrorText(e);
}

int s_device_count(void*) {
  return g_sys.device_count;
}

const PaDeviceInfo* s_device_info(void*, int d) {
  return d >= 0 && d < g_sys.device_count ? &g_sys.devices[d] : nullptr;
}

const PaHostApiInfo* s_host_api_info(void*, int h) {
  return h >= 0 && h < g_sys.api_count ? &g_sys.apis[h] : nullptr;
}

int s_default_input(void*) {
  return g_sys.default_input;
}

int s_default_host_api(void*) {
  return g_sys.default_api;
}

// The part both sides of a stream belong to, with their indexes made the part's own.
int local_params(const PaStreamParameters* in, const PaStreamParameters* out,
                 PaStreamParameters* lin, PaStreamParameters* lout, PaError* err) {
  int pin = in ? part_of_device(in->device) : -1;
  int pout = out ? part_of_device(out->device) : -1;
  *err = paNoError;
  if ((in && pin < 0) || (out && pout < 0) || (!in && !out)) {
    *err = paInvalidDevice;
    return -1;
  }
  if (in && out && pin != pout) {
    *err = paBadIODeviceCombination;
    return -1;
  }
  int part = in ? pin : pout;
  int base = g_sys.parts[part].dev_base;
  if (in) {
    *lin = *in;
    lin->device -= base;
  }
  if (out) {
    *lout = *out;
    lout->device -= base;
  }
  return part;
}

PaError s_is_format_supported(void*, const PaStreamParameters* in, const PaStreamParameters* out,
                              double rate) {
  PaStreamParameters lin, lout;
  PaError err;
  int part = local_params(in, out, &lin, &lout, &err);
  if (part < 0) return err;
  const Part* p = &g_sys.parts[part];
  g_sys.last_part = part;
  return p->drv->is_format_supported(U(p), in ? &lin : nullptr, out ? &lout : nullptr, rate);
}

PaError s_open(void*, PaStream** s, const PaStreamParameters* in, const PaStreamParameters* out,
               double rate, unsigned long frames, PaStreamFlags flags, PaStreamCallback* cb,
               void* cb_user) {
  *s = nullptr;
  PaStreamParameters lin, lout;
  PaError err;
  int part = local_params(in, out, &lin, &lout, &err);
  if (part < 0) return err;
  const Part* p = &g_sys.parts[part];
  g_sys.last_part = part;
  if (part != 0) {
    int slot = -1;
    for (int i = 0; i < kMaxJackStreams && slot < 0; i++) {
      if (!g_sys.streams[i]) slot = i;
    }
    if (slot < 0) return paInsufficientMemory;
    err = p->drv->open_stream(U(p), s, in ? &lin : nullptr, out ? &lout : nullptr, rate, frames,
                              flags, cb, cb_user);
    if (err == paNoError) {
      g_sys.streams[slot] = *s;
      g_sys.stream_part[slot] = part;
    }
    return err;
  }
  return p->drv->open_stream(U(p), s, in ? &lin : nullptr, out ? &lout : nullptr, rate, frames,
                             flags, cb, cb_user);
}

const Part* stream_part(PaStream* s) {
  g_sys.last_part = part_of_stream(s);
  return &g_sys.parts[g_sys.last_part];
}

PaError s_set_finished(void*, PaStream* s, PaStreamFinishedCallback* cb) {
  const Part* p = stream_part(s);
  return p->drv->set_finished_callback(U(p), s, cb);
}
PaError s_start(void*, PaStream* s) {
  const Part* p = stream_part(s);
  return p->drv->start_stream(U(p), s);
}
PaError s_stop(void*, PaStream* s) {
  const Part* p = stream_part(s);
  return p->drv->stop_stream(U(p), s);
}
PaError s_abort(void*, PaStream* s) {
  const Part* p = stream_part(s);
  return p->drv->abort_stream(U(p), s);
}
PaError s_close(void*, PaStream* s) {
  const Part* p = stream_part(s);
  PaError r = p->drv->close_stream(U(p), s);
  forget_stream(s);  // a stream that would not close stays with its part, never reused here
  return r;
}
const PaStreamInfo* s_stream_info(void*, PaStream* s) {
  const Part* p = stream_part(s);
  return p->drv->stream_info(U(p), s);
}
const PaHostErrorInfo* s_last_host_error(void*) {
  const Part* p = &g_sys.parts[g_sys.last_part];
  return p->drv ? p->drv->last_host_error(U(p)) : nullptr;
}

const AudioDriver kSystem = {
    nullptr,
    s_initialize,
    s_terminate,
    s_error_text,
    s_device_count,
    s_device_info,
    s_host_api_info,
    s_default_input,
    s_default_host_api,
    s_is_format_supported,
    s_open,
    s_set_finished,
    nullptr,
    s_start,
    s_stop,
    s_abort,
    s_close,
    s_stream_info,
    s_last_host_error,
};

struct NamedDriver {
  const char* name;
  const AudioDriver* (*get)();
};

const NamedDriver kDrivers[] = {
    {"system", audio_driver_system},
    {"portaudio", audio_driver_portaudio},
    {"jack", audio_driver_jack},
};

}  // namespace

const AudioDriver* audio_driver_system() {
  audio_driver_portaudio();  // its one-time setup
  return &kSystem;
}

const AudioDriver* audio_driver_named(const char* name) {
  if (!name) return nullptr;
  for (const NamedDriver& d : kDrivers) {
    if (strcmp(d.name, name) == 0) return d.get();
  }
  return nullptr;
}
