// MIDI state shared by midi.cpp (inputs, maps, poll) and midi_lcxl.cpp (the DAW port).
#pragma once
#include <atomic>

#include "control/midi.h"
#include "core/spsc_ring.h"

struct MidiInput {
  SpscRing<uint32_t, MIDI_RING> ring;  // low 24 bits of channel messages
  std::atomic<uint64_t> dropped{0};
  void* handle = nullptr;
  bool open = false;
  bool failed = false;    // the last open failed (shown as busy)
  bool ever_open = false; // a success after a failure says "free now"
  int last_error = 0;     // each distinct error is logged once
  char name[MIDI_NAME_BYTES] = {};
};

enum { MIDI_QUEUE = 32, MIDI_MSG_BYTES = 64 };

struct MidiOutMsg {
  uint8_t bytes[MIDI_MSG_BYTES];
  int count;
};

struct DawPort {
  void* out = nullptr;
  char out_name[MIDI_NAME_BYTES] = {};
  int input = -1;  // index of the DAW input
  bool on = false;
  bool given_up = false;
  bool no_output_logged = false;
  int last_error = 0;
  MidiOutMsg queue[MIDI_QUEUE];
  int queue_head = 0, queue_count = 0;
  bool long_in_flight = false;
  double long_sent = 0;
  uint8_t want[MIDI_BUTTONS][3] = {};
  int16_t sent[MIDI_BUTTONS][3] = {};  // -1: send again
  char want_lines[2][MIDI_LINE_CHARS + 1] = {};
  char sent_lines[2][MIDI_LINE_CHARS + 1] = {};
  bool lines_sent = false;
};

// One control event from a message.
enum { MEV_PRESS = 1, MEV_CONTINUOUS = 2, MEV_PROGRAM = 3, MEV_DAW = 4 };
struct MidiEvent {
  int kind;
  int index;  // press: binding 0..6; continuous: 7 x, 8 y; program: 9
  float value;
  int code;   // program number or DAW code
};

struct MidiBinding {
  int kind;     // 0 note, 1 CC
  int number;   // 0..127
  int channel;  // 0..15, -1 any
};

struct MidiState {
  MidiBackend* backend = nullptr;
  bool enabled = false;
  MidiInput inputs[MIDI_MAX_INPUTS];
  int input_count = 0;
  MidiBinding bindings[9];
  uint8_t generic_cc[16][128] = {};
  uint8_t daw_cc[16][128] = {};
  DawPort daw;
  double activity_until = 0;
  char last[MIDI_MONITOR_BYTES] = {};
  uint64_t dropped_reported = 0;
  double next_drop_report = 0;
  double next_scan = 0;
  bool had_inputs = false;
  // Coalescing across polls.
  float stick_x = 0, stick_y = 0;
  double xy_until = 0;  // 0: no timer
  float scrub_x = 0;
  double scrub_until = 0;
};

// midi_lcxl.cpp
void midi_daw_attach(MidiState* m);
void midi_daw_leave(MidiState* m, bool goodbye);
void midi_daw_pump(MidiState* m, double now);
bool midi_daw_map(MidiState* m, uint32_t msg, MidiEvent* ev);
bool midi_daw_queue(DawPort* d, const uint8_t* bytes, int count);
// midi.cpp
int midi_open_input(MidiState* m, int i, bool quiet);
void midi_close_input(MidiState* m, int i);
