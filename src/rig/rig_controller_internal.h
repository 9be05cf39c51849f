// The controller's state and what its files share: rig_controller.cpp (binding, frames, store
// results, saves, edits, queries), rig_controller_merge.cpp (documents from outside) and
// rig_controller_meters.cpp (meters as shown, the muted-input tracker, the tag check).
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "rig/rig_controller.h"

// One rig document with its unsaved edits and the saves carrying them.
struct RigSlot {
  RigDoc* doc;  // null: none
  RigChanges changes;
  bool dirty;
  double first_edit;  // monotonic seconds of the first unsaved edit
  double last_edit;
  bool failed;
  double retry_at;
  int32_t in_flight;
  uint32_t ids[RIG_MAX_IN_FLIGHT];
  RigChanges sent[RIG_MAX_IN_FLIGHT];
};

struct RigController {
  char app[RIG_APP_BYTES];
  char version[RIG_VERSION_BYTES];
  void (*log)(void* user, const char* line);
  void* log_user;
  double (*clock)(void* user);
  void* clock_user;

  RigStore* store;
  RigMixer* mixer;
  RigDoc* base;  // the merge base

  bool has_binding;
  bool running;
  StreamBinding binding;
  char key[RIG_KEY_BYTES];
  uint32_t tag;
  int32_t state;

  RigSlot cur;
  RigSlot prev;
  char prev_key[RIG_KEY_BYTES];

  int32_t active;
  double own_choice_at;  // wall seconds, -1 none

  uint32_t load_id;
  bool load_failed;
  double load_retry_at;
  double bound_at;
  bool fresh_defaults;
  int32_t load_failures;

  RigPlan plan;
  uint32_t plan_tag;
  bool published;

  RigMeters meters;
  bool have_meters;
  double meters_at;  // -1: no frame yet
  RigShownMeters shown;
  int32_t muted_signal;
  int32_t candidate;
  double candidate_since;
  double clear_since;  // -1 while a candidate remains

  bool tag_mismatch;
  bool mismatch_logged;

  char last_merged[RIG_APP_BYTES];
  double last_merged_at;
  char save_failure[RIG_MESSAGE_BYTES];
  bool failure_told;  // event 4 queued since the last good save

  RigEvent events[RIG_EVENT_RING];
  int32_t event_head;
  int32_t event_count;
};

constexpr double RIG_CTL_RETRY_SECONDS = 2.0;
constexpr double RIG_CTL_FRESH_AFTER_SECONDS = 5.0;
constexpr double RIG_CTL_MERGE_RAMP =
    0.2;  // plans that come from outside, or while on the fallback

// --- Shared helpers (rig_controller.cpp) -------------------------------------------------

// Valid UTF-8, cut to fit (null counts as empty).
void ctl_copy_text(char* dst, size_t size, const char* src);
bool ctl_slot_has_work(const RigSlot* s);
// A previous slot with nothing left to save goes.
void ctl_drop_prev_when_done(RigController* c);

void ctl_log(RigController* c, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
double ctl_now(const RigController* c);
void ctl_event(RigController* c, int kind, int value, int value2, bool flag, const char* text);
// Publishes the active scene's plan when it differs from the last one (0: the default ramp).
void ctl_publish(RigController* c, double ramp_seconds);
// 0.2 s while the mixer plays its fallback, else the default.
double ctl_load_ramp(const RigController* c);
// Bound inputs (the binding's count).
int ctl_inputs(const RigController* c);

// --- Store results and documents (rig_controller_merge.cpp) -----------------------------

// Asks the store for the bound key's rig (a new rig for the device as the template).
void ctl_post_load(RigController* c);
void ctl_take_results(RigController* c);
// Load retries, and fresh defaults after 5 s of failures.
void ctl_loading_frame(RigController* c, double now);

// Adds channels to every scene up to `inputs` (new ones muted past the second) and raises the
// document's channel count to match.
void ctl_grow_scenes(RigDoc* doc, int inputs);
// The device fields from the binding. Whether anything changed.
bool ctl_refresh_device(RigDoc* doc, const StreamBinding* b);
// This program's app scene, or null.
const RigAppScene* ctl_app_scene(const RigDoc* doc, const char* app);
// Whether what a user sees of two documents differs; *scene_changed per scene.
bool ctl_docs_differ(const RigDoc* a, const RigDoc* b, bool scene_changed[RIG_SCENES]);
// Merges `outside` (taken) into the current document. mode 0 after a re-read, 1 after another
// program's change (writer names it), 2 after our own save.
void ctl_merge_outside(RigController* c, RigDoc* outside, int mode, const char* writer);

// --- Meters (rig_controller_meters.cpp) --------------------------------------------------

void ctl_meters_reset(RigController* c);
// Reads the mixer's meters and moves the shown ones on to `now`.
void ctl_meters_frame(RigController* c, double now);
void ctl_tracker_frame(RigController* c, double now);
void ctl_tag_check(RigController* c);
// "1-2", "3", "3-4" or a count: what the device's fallback plan plays.
void ctl_fallback_inputs(const RigController* c, char out[16]);
