// The rig store's parts shared between its files: the store itself, its requests and the file
// work the thread does.
#pragma once
#include <condition_variable>
#include <cstdarg>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/fsys.h"
#include "platform/watch.h"
#include "rig/rig_store.h"
#include "store/files.h"

enum { RIG_WATCHES = 8, RIG_READ_ONLY_KEYS = 8, RIG_ENCODE_FIRST = 98304 };

struct RigRequest {
  int32_t kind;  // RigRequestKind
  char key[RIG_KEY_BYTES];
  uint32_t ids[RIG_MAX_IDS];
  int32_t id_count;
  RigDoc* doc;  // template (may be null) or the edited document
  RigChanges changes;
  double posted;
};

struct RigWatch {
  bool in_use;
  uint64_t used;
  char key[RIG_KEY_BYTES];
  bool known;
  int64_t rev;
  char instance[RIG_INSTANCE_BYTES];
  bool last_ok;
  FileStamp stamp;
  bool bad_logged;
};

struct RigStore {
  char folder[PATH_UTF8_MAX + 1];
  char app_name[RIG_APP_BYTES];
  char app_version[RIG_VERSION_BYTES];
  void (*log)(void* user, const char* line);
  void* log_user;
  double (*clock)(void* user);
  void* clock_user;
  int poll_ms;
  bool no_watch;
  char instance[RIG_INSTANCE_BYTES];

  std::mutex mu;  // everything down to the flags; never held during file work
  std::condition_variable idle;
  std::condition_variable ended_cv;
  std::deque<RigRequest*> requests;
  RigRequest* running;
  std::deque<RigResult> results;
  uint32_t next_id;
  char watch_key[RIG_KEY_BYTES];
  uint32_t watch_changes;
  char read_only_keys[RIG_READ_ONLY_KEYS][RIG_KEY_BYTES];
  int read_only_count;
  bool quit, ended, detached;

  // The thread's own.
  FolderWatch* watch;
  RigWatch watches[RIG_WATCHES];
  uint64_t watch_uses;
  char watched[RIG_KEY_BYTES];
  uint32_t watched_changes;
  char* enc;
  size_t enc_cap;
  std::thread thread;
};

void rig_store_logf(RigStore* s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
double rig_store_clock(RigStore* s);
bool rig_store_key_read_only(RigStore* s, const char* key);
void rig_store_mark_read_only(RigStore* s, const char* key, bool read_only);

// --- File work (rig_store_files.cpp) ------------------------------------------------------

// The error's text as messages show it ("the disk is full", "error 5").
void rig_error_text(unsigned long e, char* out, size_t size);
// Makes the folder and its parents; 0 or the system error.
unsigned long rig_make_folder(const char* folder);
// The lock file's path for a rig file name.
int rig_lock_path(const RigStore* s, const char* file_name, char* out, size_t size);

enum RigRead : int {
  RIG_READ_OK = 0,
  RIG_READ_MISSING = 1,
  RIG_READ_FAILED = -1,
  RIG_READ_TOO_BIG = -2,
  RIG_READ_NO_MEMORY = -3
};
// The whole file into *text (malloc'd, zero-terminated). Failures carry their message.
int rig_read_file(const char* path, char** text, size_t* length, char* msg, size_t msg_size);
// Encodes doc and writes it over path through "<path>.tmp". 0, or -1 with the message.
int rig_write_file(RigStore* s, const char* path, const RigDoc* doc, char* msg, size_t msg_size);
// Moves a damaged file aside under a dated name. 0 with the new path, or -1 with the message.
int rig_set_aside(RigStore* s, const char* path, char* out, size_t out_size, char* msg,
                  size_t msg_size);
// Removes "*.json.tmp" left by writers that died, when no one holds their rig's lock.
void rig_remove_strays(RigStore* s);

// --- Requests (rig_store_work.cpp) ----------------------------------------------------------

void rig_run_load(RigStore* s, RigRequest* r, RigResult* out);
void rig_run_save(RigStore* s, RigRequest* r, RigResult* out);
// The watched key's check, at a change notice or a poll: posts CHANGED_ON_DISK for another
// writer's new version.
void rig_watch_check(RigStore* s);
