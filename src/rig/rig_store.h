// The rig store: all disk work for rig files, on a thread of its own. Rig files are shared
// with sibling programs that may run at the same time; each save takes the file's lock (a
// flock on ".<name>.lock" beside it), merges our changes into what is on disk by revision and
// writer instance, and replaces the file atomically. The folder is watched with inotify (and
// polled) for other programs' edits. The controller posts requests and takes results.
#pragma once
#include <cstddef>
#include <cstdint>

#include "rig/rig_doc.h"

enum { RIG_MESSAGE_BYTES = 160, RIG_MAX_IDS = 32, RIG_FILE_NAME_BYTES = 64 };

enum RigRequestKind : int { RIG_REQUEST_LOAD = 1, RIG_REQUEST_SAVE = 2 };

enum RigResultKind : int {
  RIG_RESULT_LOADED = 1,
  RIG_RESULT_LOAD_FAILED = 2,
  RIG_RESULT_LOADED_AFTER_DAMAGE = 3,
  RIG_RESULT_SAVED = 4,
  RIG_RESULT_SAVE_FAILED = 5,
  RIG_RESULT_CHANGED_ON_DISK = 6,
};

// Channel flags.
enum : uint8_t {
  RIG_CH_GAIN = 1,
  RIG_CH_PAN = 2,
  RIG_CH_MUTED = 4,
  RIG_CH_LINK = 8,
  RIG_CH_LABEL = 16,
};
// Scene flags.
enum : uint8_t {
  RIG_SC_MASTER = 1,
  RIG_SC_GLYPH = 2,
  RIG_SC_NAME = 4,
  RIG_SC_FRESH = 8,
  RIG_SC_WHOLE = 128,
};

// What the controller changed since the last save.
struct RigChanges {
  uint8_t channel[RIG_SCENES][RIG_MAX_CHANNELS];
  uint8_t scene[RIG_SCENES];
  bool active_scene;
  bool device;
  bool any;
};

void rig_changes_clear(RigChanges* c);
void rig_changes_or(RigChanges* into, const RigChanges* from);

// Copies into disk what ours changed (by the change set), adds channels ours has beyond the
// disk's, merges app scenes (newer "at" wins). Used by the store's save and by the controller.
void rig_merge_changes(RigDoc* disk, const RigDoc* ours, const RigChanges* changes);

// File name of a rig: slug of the key, "-", FNV-1a 32 as 8 hex digits, ".json". 0, or -1
// (out = "") when it would be longer than 63 bytes.
int rig_file_name(const char* key, char out[RIG_FILE_NAME_BYTES]);
// The rigs folder: "$XDG_CONFIG_HOME/SeaGlass/rigs" (XDG_CONFIG_HOME defaults to ~/.config),
// or "rigs" when neither can be read.
int rig_default_folder(char* out, size_t size);

struct RigStoreConfig {
  const char* folder;       // null or "": rig_default_folder
  const char* app_name;     // default "app"
  const char* app_version;  // may be null
  void (*log)(void* user, const char* line);  // null: the program's log
  void* log_user;
  double (*clock)(void* user);  // monotonic seconds; null: the system's
  void* clock_user;
  int poll_ms;    // 0: 1000
  bool no_watch;  // no change notifications (polling only)
};

struct RigResult {
  int32_t kind;  // RigResultKind
  uint32_t id;   // the request it answers (0 for CHANGED_ON_DISK)
  char key[RIG_KEY_BYTES];
  int32_t code;  // RigDecode code, or for saves 0 / 2 (read-only) / -1
  int64_t rev;
  char writer_app[RIG_APP_BYTES];
  char message[RIG_MESSAGE_BYTES];
  RigDoc* doc;  // owned by the result: free with rig_result_clear
  double ms;    // how long the work took
};

void rig_result_clear(RigResult* r);

struct RigStore;

// Makes the store and starts its thread; null on failure (logged).
RigStore* rig_store_new(const RigStoreConfig* config);
// Request ids, 0 when refused. Without a template the store makes a new rig for the key.
uint32_t rig_store_load(RigStore* s, const char* key, const RigDoc* templ);
// A queued save for the same key absorbs this one (up to 32 ids). 0 when the document is
// read-only, has no key, its key is marked read-only, or memory is short.
uint32_t rig_store_save(RigStore* s, const RigDoc* doc, const RigChanges* changes);
void rig_store_watch(RigStore* s, const char* key);
// Takes the next result (out must be zeroed or cleared); whether one was taken.
bool rig_store_next_result(RigStore* s, RigResult* out);
// Whether a request is queued or running; *seconds = how long the oldest has waited.
bool rig_store_busy(RigStore* s, double* seconds);
// Waits until nothing is queued or running, at most ms. Whether it got there.
bool rig_store_flush(RigStore* s, int ms);
// Asks the thread to finish and waits up to ms. A thread still writing finishes in the
// background and frees the store itself.
void rig_store_close(RigStore* s, int ms);
// The store's writer instance (16 hex digits).
const char* rig_store_instance(const RigStore* s);
// The folder in use and a rig's full path ("" when the key has no file name).
const char* rig_store_folder(const RigStore* s);
int rig_store_path(const RigStore* s, const char* key, char* out, size_t size);
