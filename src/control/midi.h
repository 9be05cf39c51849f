// MIDI in: any controller drives the transport with no setup (white keys from C1, CC 10 / CC 74
// for the XY stick), and a Launch Control XL 3 is put into its DAW mode with lit buttons and its
// two-line screen. Each input has one lock-free ring written on the driver's thread; the UI
// thread polls once per frame and appends actions to the frame's list. The driver sits behind a
// small table of functions (MidiBackend) so everything above it runs without devices.
#pragma once
#include <cstddef>
#include <cstdint>

#include "control/actions.h"

enum {
  MIDI_MAX_INPUTS = 16,
  MIDI_NAME_BYTES = 64,        // 63 bytes of UTF-8 and the terminator
  MIDI_RING = 256,             // messages per input
  MIDI_MONITOR_BYTES = 48,
  MIDI_BUTTONS = 16,
  MIDI_LINE_CHARS = 23,
  MIDI_ERROR_BUSY = 4,         // a backend's "another program holds the port"
};

struct MidiInput;

// The driver. Every function runs on the UI thread; only the sink is called on the driver's own
// thread. Error codes are positive (MIDI_ERROR_BUSY for a busy port), 0 is success.
struct MidiBackend {
  void* ctx;
  const char* api;  // shown in log lines: "ALSA", "JACK"
  // Fills up to max names (63 bytes of UTF-8; "" for a nameless port); returns how many there are
  // in all (may exceed max).
  int (*list_inputs)(void* ctx, char (*names)[MIDI_NAME_BYTES], int max);
  int (*list_outputs)(void* ctx, char (*names)[MIDI_NAME_BYTES], int max);
  // Opens input port index (name as listed); every message goes to midi_input_feed(input, ...)
  // until close_input returns. 0 with *handle set, or an error code.
  int (*open_input)(void* ctx, int index, const char* name, MidiInput* input, void** handle);
  void (*close_input)(void* ctx, void* handle);
  int (*open_output)(void* ctx, int index, const char* name, void** handle);
  void (*close_output)(void* ctx, void* handle);
  // Sends one whole message (short or SysEx); 0 or an error code.
  int (*send)(void* ctx, void* handle, const uint8_t* bytes, int count);
  // True while the last SysEx sent is still going out (may be null: never).
  bool (*long_pending)(void* ctx, void* handle);
  void (*free)(void* ctx);
};

// The RtMidi backend: JACK MIDI when the program runs on JACK, else the ALSA sequencer. Null
// (logged) when RtMidi can't start.
MidiBackend* midi_backend_rtmidi(bool jack);

// What the session shows this frame, for the stick and the strip (seconds of tape).
struct MidiSnapshot {
  float stick_x, stick_y;  // the XY stick now, -1..1
  double tape_seconds;     // the tape's length
  double span_seconds;     // the canvas span
  bool loop_set;
  double loop_in, loop_out;
};

// What the Launch Control's lights and screen follow, set by the shell every frame.
struct MidiFeedback {
  bool playing, recording, monitor, loop_set;
  int scene;  // the rig's current scene 0..3, -1 none
  bool zen, library, rig_open, settings_open;
  const char* title;  // the open sketch's title (UTF-8), null for none
};

struct MidiStatus {
  bool enabled;
  double activity_until;  // the monitor lamp is lit until then
  char last[MIDI_MONITOR_BYTES];
  int input_count;
  char names[MIDI_MAX_INPUTS][MIDI_NAME_BYTES];
  bool busy[MIDI_MAX_INPUTS];  // failed to open
  bool daw_on;
  char daw_out[MIDI_NAME_BYTES];
};

struct MidiState;

// Takes ownership of backend (null: MIDI stays quiet). When enabled, scans and opens inputs.
// Null when out of memory (logged).
MidiState* midi_new(MidiBackend* backend, bool enabled, double now);
void midi_free(MidiState* m);  // leaves DAW mode with its goodbye, closes everything
void midi_set_enabled(MidiState* m, bool on, double now);
// Once per frame on the UI thread: reads the rings, maps, coalesces and appends actions to out;
// reports drops, rescans every 2 s and pumps the Launch Control's output. Returns the number of
// actions appended.
int midi_poll(MidiState* m, double now, const MidiSnapshot* snap, ActionList* out);
void midi_status(const MidiState* m, MidiStatus* out);
void midi_set_feedback(MidiState* m, const MidiFeedback* f);

// The driver's thread: one message from input. Keeps channel messages only; a full ring counts
// the message as dropped. Never blocks or allocates.
void midi_input_feed(MidiInput* input, const uint8_t* bytes, size_t count);

// Launch Control XL 3 DAW-port rule over a list of port names (inputs or outputs): the index of
// the DAW port, or -1. Inputs take the first, outputs the last in list order.
int midi_lcxl_pick(const char* const* names, int count, bool output);
// Lights (r, g, b 0..127 per button) for a state.
void midi_lcxl_colours(const MidiFeedback* f, uint8_t rgb[MIDI_BUTTONS][3]);
// The display text message for two UTF-8 lines; returns its length (at most 64).
int midi_lcxl_display(const char* line1, const char* line2, uint8_t out[64]);
