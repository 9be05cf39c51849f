// Waiting on a folder's changes and a wake-up at once: a worker thread sleeps in
// folder_watch_wait until another thread wakes it, an entry in the watched folder changes, or
// its time is up. Without change notices (none armed, or the system refused) it only wakes
// and times out, and the caller polls.
#pragma once
#include <cstdint>

struct FolderWatch;

enum : int { FOLDER_WATCH_WOKEN = 1, FOLDER_WATCH_CHANGED = 2 };

// Null when the wake-up can't be made (the system error in *error).
FolderWatch* folder_watch_new(unsigned long* error);
void folder_watch_free(FolderWatch* w);
// Watches folder for files written, moved in, made, deleted or changed in their attributes.
// 0, or the system error (then nothing is armed). Re-arming replaces the folder.
unsigned long folder_watch_arm(FolderWatch* w, const char* folder);
void folder_watch_disarm(FolderWatch* w);
// Whether change notices are armed (a removed folder disarms them).
bool folder_watch_armed(const FolderWatch* w);
// Any thread.
void folder_watch_wake(FolderWatch* w);
// Waits up to ms (0 returns at once). 0 for the timeout, else FOLDER_WATCH_* bits; -1 when the
// wait itself failed (error in *error).
int folder_watch_wait(FolderWatch* w, int ms, unsigned long* error);

// What identifies one version of a file without reading it.
struct FileStamp {
  bool exists;
  int64_t mtime_ns;
  int64_t size;
  uint64_t inode;
  uint64_t device;
};
// Links are followed. 0 (a missing file is exists = false), or the system error.
unsigned long file_stamp(const char* path, FileStamp* out);
bool file_stamp_equal(const FileStamp* a, const FileStamp* b);
