#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "platform/filelock.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kPollMaxMs = 10;

unsigned long open_lock_file(const char* path, int* fd) {
  *fd = fsys_calls()->open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (*fd < 0) return errno ? (unsigned long)errno : (unsigned long)EIO;
  return 0;
}

}  // namespace

int filelock_take(const char* path, int timeout_ms, FsysFile* out, unsigned long* error) {
  *out = FSYS_NO_FILE;
  if (error) *error = 0;
  if (!path || !*path) {
    if (error) *error = FSYS_ERROR_INVALID;
    return -2;
  }
  int fd;
  unsigned long e = open_lock_file(path, &fd);
  if (e) {
    if (error) *error = e;
    return -2;
  }
  // Polled rather than a blocking flock: a blocking one can't be given a deadline without a
  // signal. Holders keep it for a write of a small file, so the first tries come quickly.
  uint64_t start = platform_tick_ms();
  uint32_t pause = 1;
  for (;;) {
    if (fsys_calls()->flock(fd, LOCK_EX | LOCK_NB) == 0) {
      *out = fd;
      return 0;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      e = errno ? (unsigned long)errno : (unsigned long)EIO;
      fsys_calls()->close(fd);
      if (error) *error = e;
      return -2;
    }
    if (timeout_ms <= 0 || platform_tick_ms() - start >= (uint64_t)timeout_ms) break;
    platform_sleep_ms(pause);
    pause = pause * 2 > kPollMaxMs ? kPollMaxMs : pause * 2;
  }
  fsys_calls()->close(fd);
  return -1;
}

int filelock_try(const char* path, FsysFile* out, unsigned long* error) {
  return filelock_take(path, 0, out, error);
}

void filelock_release(FsysFile lock) {
  if (lock == FSYS_NO_FILE) return;
  // Closing the only descriptor of the open file drops the lock with it.
  fsys_calls()->close((int)lock);
}
