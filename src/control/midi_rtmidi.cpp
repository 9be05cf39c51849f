// The MIDI driver through RtMidi: the ALSA sequencer, or JACK MIDI when the program runs on JACK.
// The build has no exceptions: objects are made through RtMidi's C interface, which catches what
// a constructor throws, and each then gets an error callback so nothing later throws or prints.
// On JACK a client of our own watches the server: once it has gone, RtMidi's clients can't be
// closed without crashing inside libjack, so they are let go unclosed, and a new set is made
// when a server answers again.
#include <jack/jack.h>
#include <rtmidi/RtMidi.h>
#include <rtmidi/rtmidi_c.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>

#include "base/log.h"
#include "base/text.h"
#include "control/midi.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define KELP_LET_GO(p) __lsan_ignore_object(p)
#else
#define KELP_LET_GO(p) (void)(p)
#endif

namespace {

// Our own clients start with this: they are never listed as anyone's input or output.
const char kClientPrefix[] = "kelp-midi";

struct RtError {
  int code = 0;  // 100 + RtMidi's error type, 0 for none
};

void on_error(RtMidiError::Type type, const std::string&, void* user) {
  if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING) return;
  static_cast<RtError*>(user)->code = 100 + (int)type;
}

struct RtIn {
  RtMidiIn* midi = nullptr;
  RtError err;
  int generation = 0;  // the server's life it was made in
};

struct RtOut {
  RtMidiOut* midi = nullptr;
  RtError err;
  int generation = 0;
};

struct RtCtx {
  RtMidi::Api api;
  RtIn lister_in;
  RtOut lister_out;
  MidiBackend be;
  // JACK only: our watcher, and whether the server it was opened on has gone.
  jack_client_t* watch = nullptr;
  std::atomic<bool> gone{false};
  int generation = 0;
};

// The loopback client the ALSA sequencer always has, and our own ports, are not controllers.
bool skipped(const std::string& name) {
  return name.compare(0, sizeof kClientPrefix - 1, kClientPrefix) == 0 ||
         name.compare(0, 13, "Midi Through:") == 0;
}

// Port numbers of the listed (not skipped) ports, with names.
int list(RtMidi* midi, char (*names)[MIDI_NAME_BYTES], int max, int* ports) {
  unsigned n = midi->getPortCount();
  int count = 0;
  for (unsigned p = 0; p < n; p++) {
    std::string name = midi->getPortName(p);
    if (skipped(name)) continue;
    if (count < max) {
      if (names) text_copy(names[count], MIDI_NAME_BYTES, name.c_str());
      if (ports) ports[count] = (int)p;
    }
    count++;
  }
  return count;
}

// The port whose listed name is name (ports come and go between a scan and an open); a nameless
// port, listed under a made-up name, by its place in the list.
int find_port(RtMidi* midi, int index, const char* name) {
  unsigned n = midi->getPortCount();
  for (unsigned p = 0, k = 0; p < n; p++) {
    std::string s = midi->getPortName(p);
    if (skipped(s)) continue;
    char listed[MIDI_NAME_BYTES];
    text_copy(listed, sizeof listed, s.c_str());  // as list() gave it
    if (strcmp(listed, name) == 0 || ((int)k == index && !listed[0])) return (int)p;
    k++;
  }
  return -1;
}

RtMidiIn* make_in(RtMidi::Api api, const char* client, RtError* err) {
  RtMidiWrapper* w = rtmidi_in_create((RtMidiApi)api, client, 100);
  if (!w) return nullptr;
  RtMidiIn* t = (RtMidiIn*)w->ptr;
  w->ptr = nullptr;  // ours now
  rtmidi_in_free(w);
  if (t) t->setErrorCallback(on_error, err);
  return t;
}

RtMidiOut* make_out(RtMidi::Api api, const char* client, RtError* err) {
  RtMidiWrapper* w = rtmidi_out_create((RtMidiApi)api, client);
  if (!w) return nullptr;
  RtMidiOut* t = (RtMidiOut*)w->ptr;
  w->ptr = nullptr;
  rtmidi_out_free(w);
  if (t) t->setErrorCallback(on_error, err);
  return t;
}

void server_gone(void* arg) {
  static_cast<RtCtx*>(arg)->gone.store(true, std::memory_order_release);
}

// Opens the watcher on the running server; false when none answers.
bool watch_open(RtCtx* c) {
  jack_status_t status = (jack_status_t)0;
  c->watch = jack_client_open("kelp-midi-watch", JackNoStartServer, &status);
  if (!c->watch) return false;
  jack_on_shutdown(c->watch, server_gone, c);
  if (jack_activate(c->watch) != 0) {
    jack_client_close(c->watch);
    c->watch = nullptr;
    return false;
  }
  c->gone.store(false, std::memory_order_release);
  return true;
}

// True while the objects of this generation may be used (always on ALSA).
bool usable(const RtCtx* c, int generation) {
  if (c->api != RtMidi::UNIX_JACK) return true;
  return generation == c->generation && c->watch && !c->gone.load(std::memory_order_acquire);
}

void let_go_in(RtIn* in) {
  KELP_LET_GO(in->midi);
  in->midi = nullptr;
}

void let_go_out(RtOut* out) {
  KELP_LET_GO(out->midi);
  out->midi = nullptr;
}

// On JACK, before a scan: a server that went away leaves everything of its life behind; once
// one answers again, a new watcher and new listers are made on it.
bool listers_ready(RtCtx* c) {
  if (c->api != RtMidi::UNIX_JACK) return c->lister_in.midi && c->lister_out.midi;
  if (c->watch && !c->gone.load(std::memory_order_acquire))
    return c->lister_in.midi && c->lister_out.midi;
  if (c->watch) {
    KELP_LET_GO(c->watch);
    c->watch = nullptr;
    if (c->lister_in.midi) let_go_in(&c->lister_in);
    if (c->lister_out.midi) let_go_out(&c->lister_out);
    c->generation++;
    log_line("midi: the JACK server went away - its ports are gone until it is back");
  }
  if (!watch_open(c)) return false;
  c->lister_in.midi = make_in(c->api, "kelp-midi-list", &c->lister_in.err);
  c->lister_out.midi = make_out(c->api, "kelp-midi-list", &c->lister_out.err);
  return c->lister_in.midi && c->lister_out.midi;
}

int list_inputs(void* ctx, char (*names)[MIDI_NAME_BYTES], int max) {
  RtCtx* c = (RtCtx*)ctx;
  return listers_ready(c) ? list(c->lister_in.midi, names, max, nullptr) : 0;
}

int list_outputs(void* ctx, char (*names)[MIDI_NAME_BYTES], int max) {
  RtCtx* c = (RtCtx*)ctx;
  return listers_ready(c) ? list(c->lister_out.midi, names, max, nullptr) : 0;
}

void on_message(double, std::vector<unsigned char>* msg, void* user) {
  if (msg && !msg->empty()) midi_input_feed((MidiInput*)user, msg->data(), msg->size());
}

int open_input(void* ctx, int index, const char* name, MidiInput* input, void** handle) {
  RtCtx* c = (RtCtx*)ctx;
  if (!usable(c, c->generation)) return 100 + (int)RtMidiError::DRIVER_ERROR;
  RtIn* in = new (std::nothrow) RtIn;
  if (!in) return 100 + (int)RtMidiError::MEMORY_ERROR;
  in->generation = c->generation;
  in->midi = make_in(c->api, "kelp-midi-in", &in->err);
  if (!in->midi) {
    delete in;
    return 100 + (int)RtMidiError::DRIVER_ERROR;
  }
  int port = find_port(in->midi, index, name);
  if (port < 0) {
    delete in->midi;
    delete in;
    return 100 + (int)RtMidiError::INVALID_DEVICE;
  }
  in->midi->ignoreTypes(true, true, true);
  in->midi->setCallback(on_message, input);
  in->err.code = 0;
  in->midi->openPort((unsigned)port, "in");
  if (in->err.code != 0 || !in->midi->isPortOpen()) {
    int code = in->err.code ? in->err.code : 100 + (int)RtMidiError::DRIVER_ERROR;
    delete in->midi;
    delete in;
    return code;
  }
  *handle = in;
  return 0;
}

void close_input(void* ctx, void* handle) {
  RtIn* in = (RtIn*)handle;
  if (!in) return;
  if (!usable((RtCtx*)ctx, in->generation)) {
    let_go_in(in);
    delete in;
    return;
  }
  in->midi->closePort();  // stops the driver's thread: no more messages after this
  delete in->midi;
  delete in;
}

int open_output(void* ctx, int index, const char* name, void** handle) {
  RtCtx* c = (RtCtx*)ctx;
  if (!usable(c, c->generation)) return 100 + (int)RtMidiError::DRIVER_ERROR;
  RtOut* out = new (std::nothrow) RtOut;
  if (!out) return 100 + (int)RtMidiError::MEMORY_ERROR;
  out->generation = c->generation;
  out->midi = make_out(c->api, "kelp-midi-out", &out->err);
  if (!out->midi) {
    delete out;
    return 100 + (int)RtMidiError::DRIVER_ERROR;
  }
  int port = find_port(out->midi, index, name);
  if (port < 0) {
    delete out->midi;
    delete out;
    return 100 + (int)RtMidiError::INVALID_DEVICE;
  }
  out->err.code = 0;
  out->midi->openPort((unsigned)port, "out");
  if (out->err.code != 0 || !out->midi->isPortOpen()) {
    int code = out->err.code ? out->err.code : 100 + (int)RtMidiError::DRIVER_ERROR;
    delete out->midi;
    delete out;
    return code;
  }
  *handle = out;
  return 0;
}

void close_output(void* ctx, void* handle) {
  RtOut* out = (RtOut*)handle;
  if (!out) return;
  if (!usable((RtCtx*)ctx, out->generation)) {
    let_go_out(out);
    delete out;
    return;
  }
  out->midi->closePort();
  delete out->midi;
  delete out;
}

int send(void* ctx, void* handle, const uint8_t* bytes, int count) {
  RtOut* out = (RtOut*)handle;
  if (!usable((RtCtx*)ctx, out->generation)) return 100 + (int)RtMidiError::DRIVER_ERROR;
  out->err.code = 0;
  out->midi->sendMessage(bytes, (size_t)count);
  return out->err.code;
}

void free_ctx(void* ctx) {
  RtCtx* c = (RtCtx*)ctx;
  if (usable(c, c->generation)) {
    delete c->lister_in.midi;
    delete c->lister_out.midi;
    if (c->watch) jack_client_close(c->watch);
  } else {
    KELP_LET_GO(c->lister_in.midi);
    KELP_LET_GO(c->lister_out.midi);
    KELP_LET_GO(c->watch);
  }
  delete c;
}

}  // namespace

MidiBackend* midi_backend_rtmidi(bool jack) {
  RtCtx* c = new (std::nothrow) RtCtx;
  if (!c) {
    log_line("midi: out of memory - MIDI in is off");
    return nullptr;
  }
  c->api = jack ? RtMidi::UNIX_JACK : RtMidi::LINUX_ALSA;
  const char* api = jack ? "JACK" : "ALSA";
  if (jack && !watch_open(c)) {
    log_line("midi: JACK MIDI didn't start - MIDI in is off");
    delete c;
    return nullptr;
  }
  c->lister_in.midi = make_in(c->api, "kelp-midi-list", &c->lister_in.err);
  c->lister_out.midi = make_out(c->api, "kelp-midi-list", &c->lister_out.err);
  if (!c->lister_in.midi || !c->lister_out.midi) {
    log_line("midi: %s MIDI didn't start - MIDI in is off", api);
    free_ctx(c);
    return nullptr;
  }
  c->be = MidiBackend{c,           api,          list_inputs, list_outputs, open_input, close_input,
                      open_output, close_output, send,        nullptr,      free_ctx};
  return &c->be;
}
