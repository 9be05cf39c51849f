// Advisory locks between programs: an exclusive flock on a small lock file that stands for
// another file. Only programs that take the same lock file are held back; the lock file stays
// behind after release (tiny, and removing it would race with the next taker).
#pragma once
#include "platform/fsys.h"

// Takes the lock on path (made when missing), waiting up to timeout_ms. 0 with *out held;
// -1 when someone else still held it at the timeout; -2 when the lock file can't be opened or
// locked (the system error in *error).
int filelock_take(const char* path, int timeout_ms, FsysFile* out, unsigned long* error);
// filelock_take without waiting.
int filelock_try(const char* path, FsysFile* out, unsigned long* error);
// Releases and closes a held lock. FSYS_NO_FILE does nothing.
void filelock_release(FsysFile lock);
