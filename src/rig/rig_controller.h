// The rig controller: the UI thread's owner of the rig. It binds a rig document to each stream
// the engine opens, loads and saves it through the store, merges other programs' edits,
// applies the user's edits and scene switches, keeps the mixer's plan in step with the active
// scene, and turns the mixer's meters into what the panel and the session show.
// UI thread only; the mixer is reached through rig_publish_plan / rig_read_meters.
#pragma once
#include <cstddef>
#include <cstdint>

#include "rig/mixer.h"
#include "rig/rig_binding.h"
#include "rig/rig_doc.h"
#include "rig/rig_events.h"
#include "rig/rig_store.h"

enum RigState : int {
  RIG_UNBOUND = 0,
  RIG_LOADING = 1,
  RIG_READY = 2,
  RIG_READ_ONLY = 3,
};

enum { RIG_EVENT_TEXT_BYTES = 520, RIG_EVENT_RING = 32, RIG_MAX_IN_FLIGHT = 8 };

struct RigEvent {
  int32_t kind;  // RigEventKind
  int32_t value;
  int32_t value2;
  bool flag;
  char text[RIG_EVENT_TEXT_BYTES];
};

struct RigControllerConfig {
  const char* app_name;     // "kelp" for this program
  const char* app_version;
  const char* folder;       // rigs folder; null: the default
  void (*log)(void* user, const char* line);  // null: the program's log
  void* log_user;
  double (*clock)(void* user);  // monotonic seconds; null: the system's
  void* clock_user;
  int poll_ms;  // the store's poll; 0: 1000
  bool no_watch;
};

struct RigControllerStatus {
  int32_t state;  // RigState
  bool bound;     // a binding exists and the stream runs
  char key[RIG_KEY_BYTES];
  char device_name[RIG_DEVICE_BYTES];
  char api[RIG_API_BYTES];
  int32_t inputs;
  int32_t device_inputs;
  double rate;
  int32_t active_scene;
  int32_t audible_inputs;  // unmuted with gain above 0; a linked pair counts 2
  bool all_muted;
  int64_t rev;
  int32_t muted_with_signal;  // channel, -1 none
  bool saving;                // the store has had work waiting for more than 0.12 s
  bool waiting_for_rig;       // the mixer plays its fallback while LOADING or mismatched
  bool fresh_defaults;
  bool tag_mismatch;
  bool save_failed;
  char save_failure[RIG_MESSAGE_BYTES];  // upper case
  char last_merged[RIG_APP_BYTES];
  double last_merged_at;  // monotonic seconds, -1 none
  bool mixer_waiting;
  bool on_fallback;  // the mixer plays the device's default plan
  char fallback_inputs[16];  // what that plan plays: "1-2", "3", "3-4" or a count
};

// Meters as the panel shows them (dB, falling, with holds and latched markers).
struct RigShownMeters {
  int32_t channels;
  RigShownLevel input[RIG_MAX_CHANNELS];
  RigShownLevel post_gain[RIG_MAX_CHANNELS];
  RigShownLevel out_left, out_right;
  uint64_t clip_latched;
  uint64_t bad_latched;
  bool out_clip_latched;
};

struct RigController;

RigController* rig_controller_new(const RigControllerConfig* config);
// Forced saves of both slots, waits up to 1 s for the store, closes it and frees.
void rig_controller_free(RigController* c);
// Forced saves, then waits up to ms for the store. Whether nothing is left unsaved.
bool rig_controller_flush(RigController* c, int ms);
RigMixer* rig_controller_mixer(RigController* c);
// With the engine's rig lock held, whenever the engine's binding generation changed.
void rig_controller_bind(RigController* c, const StreamBinding* binding);
// Once per frame: monotonic seconds, wall seconds since 2001-01-01 UTC (NaN: the clock).
void rig_controller_frame(RigController* c, double now, double wall);
void rig_controller_set_stream_running(RigController* c, bool running);

// Edits: only while bound, with a document, READY; ignored when they change nothing.
void rig_set_gain(RigController* c, int channel, float gain);
void rig_nudge_gain(RigController* c, int channel, double db);
void rig_set_pan(RigController* c, int channel, float pan);
void rig_set_muted(RigController* c, int channel, bool muted);
void rig_set_link(RigController* c, int channel, bool link);
void rig_set_master(RigController* c, float gain);
void rig_nudge_master(RigController* c, double db);
void rig_set_glyph(RigController* c, int scene, const char* glyph);
void rig_select_scene(RigController* c, int scene);
void rig_copy_scene(RigController* c, int from, int to);
// -1: every channel and the output marker.
void rig_clear_clip(RigController* c, int channel);

void rig_controller_status(RigController* c, RigControllerStatus* out);
bool rig_next_event(RigController* c, RigEvent* out);
// The active scene's label, else the device's channel name, else the binding's ("" none).
const char* rig_channel_label(RigController* c, int channel);
// The current document while READY or READ_ONLY, else null. Read only; valid until the
// next controller call.
const RigDoc* rig_controller_doc(RigController* c);
void rig_controller_meters(RigController* c, RigShownMeters* out);
// Whether a load or a save of either slot is still out with the store.
bool rig_controller_busy(RigController* c);
// The binding in use (null while unbound).
const StreamBinding* rig_controller_binding(RigController* c);
