// A MIDI driver with no devices for the MIDI tests: the port lists, open failures, a SysEx that
// stays in flight, and every message sent, are the test's to set and read.
#pragma once
#include <cstring>
#include <string>
#include <vector>

#include "base/log.h"
#include "control/midi_internal.h"

struct FakeMidi {
  std::vector<std::string> ins, outs;
  std::vector<int> in_error;   // per input: the error its open returns (0: opens)
  int out_error = 0;
  bool long_stuck = false;     // SysEx never finishes
  int send_error = 0;
  std::vector<std::vector<uint8_t>> sent;
  MidiInput* open_in[MIDI_MAX_INPUTS] = {};
  int opens = 0, out_opens = 0, out_closes = 0;
  MidiBackend be{};
};

inline int fake_list(const std::vector<std::string>& v, char (*names)[MIDI_NAME_BYTES], int max) {
  for (int i = 0; i < (int)v.size() && i < max; i++) {
    memset(names[i], 0, MIDI_NAME_BYTES);
    strncpy(names[i], v[i].c_str(), MIDI_NAME_BYTES - 1);
  }
  return (int)v.size();
}

inline MidiBackend* fake_midi_backend(FakeMidi* f) {
  f->be.ctx = f;
  f->be.api = "FAKE";
  f->be.list_inputs = [](void* c, char (*n)[MIDI_NAME_BYTES], int max) {
    return fake_list(((FakeMidi*)c)->ins, n, max);
  };
  f->be.list_outputs = [](void* c, char (*n)[MIDI_NAME_BYTES], int max) {
    return fake_list(((FakeMidi*)c)->outs, n, max);
  };
  f->be.open_input = [](void* c, int i, const char*, MidiInput* in, void** h) {
    FakeMidi* f = (FakeMidi*)c;
    if (i < (int)f->in_error.size() && f->in_error[i]) return f->in_error[i];
    f->open_in[i] = in;
    f->opens++;
    *h = &f->open_in[i];
    return 0;
  };
  f->be.close_input = [](void*, void* h) { *(MidiInput**)h = nullptr; };
  f->be.open_output = [](void* c, int, const char*, void** h) {
    FakeMidi* f = (FakeMidi*)c;
    if (f->out_error) return f->out_error;
    f->out_opens++;
    *h = f;
    return 0;
  };
  f->be.close_output = [](void* c, void*) { ((FakeMidi*)c)->out_closes++; };
  f->be.send = [](void* c, void*, const uint8_t* b, int n) {
    FakeMidi* f = (FakeMidi*)c;
    if (f->send_error) return f->send_error;
    f->sent.emplace_back(b, b + n);
    return 0;
  };
  f->be.long_pending = [](void* c, void*) { return ((FakeMidi*)c)->long_stuck; };
  f->be.free = nullptr;
  return &f->be;
}

// Sends bytes into input i as its driver would.
inline void fake_midi_in(FakeMidi* f, int i, std::vector<uint8_t> bytes) {
  midi_input_feed(f->open_in[i], bytes.data(), bytes.size());
}

// Log lines from mark on (each after its time stamp).
inline std::vector<std::string> log_since(int64_t mark) {
  std::vector<std::string> out;
  char buf[256];
  for (int64_t n = mark; n < log_console_count(); n++)
    if (log_console_line(n, buf, sizeof buf)) out.push_back(buf);
  return out;
}

inline bool logged(int64_t mark, const char* part) {
  for (const std::string& s : log_since(mark))
    if (s.find(part) != std::string::npos) return true;
  return false;
}
