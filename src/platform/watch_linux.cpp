#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/watch.h"

struct FolderWatch {
  int wake_fd;
  int notify_fd;  // -1 when not armed
  int wd;
};

namespace {

unsigned long err() {
  return errno ? (unsigned long)errno : (unsigned long)EIO;
}

// Reads every pending notice; false when the folder itself went away (its watch is gone).
bool drain_notices(FolderWatch* w) {
  alignas(struct inotify_event) char buf[4096];
  bool alive = true;
  for (;;) {
    ssize_t n = read(w->notify_fd, buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const struct inotify_event* ev = (const struct inotify_event*)(buf + at);
      if (ev->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) alive = false;
      at += (ssize_t)sizeof *ev + ev->len;
    }
  }
  return alive;
}

}  // namespace

FolderWatch* folder_watch_new(unsigned long* error) {
  if (error) *error = 0;
  int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    if (error) *error = err();
    return nullptr;
  }
  FolderWatch* w = new (std::nothrow) FolderWatch{fd, -1, -1};
  if (!w) {
    close(fd);
    if (error) *error = ENOMEM;
  }
  return w;
}

void folder_watch_free(FolderWatch* w) {
  if (!w) return;
  folder_watch_disarm(w);
  close(w->wake_fd);
  delete w;
}

unsigned long folder_watch_arm(FolderWatch* w, const char* folder) {
  folder_watch_disarm(w);
  int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0) return err();
  int wd = inotify_add_watch(fd, folder,
                             IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_CREATE | IN_ATTRIB |
                                 IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
  if (wd < 0) {
    unsigned long e = err();
    close(fd);
    return e;
  }
  w->notify_fd = fd;
  w->wd = wd;
  return 0;
}

void folder_watch_disarm(FolderWatch* w) {
  if (w->notify_fd >= 0) close(w->notify_fd);
  w->notify_fd = -1;
  w->wd = -1;
}

bool folder_watch_armed(const FolderWatch* w) {
  return w->notify_fd >= 0;
}

void folder_watch_wake(FolderWatch* w) {
  uint64_t one = 1;
  // A full counter already means "woken"; nothing else can go wrong here.
  ssize_t r = write(w->wake_fd, &one, sizeof one);
  (void)r;
}

int folder_watch_wait(FolderWatch* w, int ms, unsigned long* error) {
  if (error) *error = 0;
  struct pollfd fds[2] = {{w->wake_fd, POLLIN, 0}, {w->notify_fd, POLLIN, 0}};
  int n = poll(fds, w->notify_fd >= 0 ? 2 : 1, ms < 0 ? 0 : ms);
  if (n < 0) {
    if (errno == EINTR) return 0;
    if (error) *error = err();
    return -1;
  }
  int got = 0;
  if (fds[0].revents & POLLIN) {
    uint64_t count;
    ssize_t r = read(w->wake_fd, &count, sizeof count);
    (void)r;
    got |= FOLDER_WATCH_WOKEN;
  }
  if (w->notify_fd >= 0 && fds[1].revents) {
    got |= FOLDER_WATCH_CHANGED;
    if (!drain_notices(w)) folder_watch_disarm(w);
  }
  return got;
}

unsigned long file_stamp(const char* path, FileStamp* out) {
  memset(out, 0, sizeof *out);
  struct stat st;
  if (stat(path, &st) != 0) {
    unsigned long e = err();
    return e == ENOENT ? 0 : e;
  }
  out->exists = true;
  out->mtime_ns = (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
  out->size = (int64_t)st.st_size;
  out->inode = (uint64_t)st.st_ino;
  out->device = (uint64_t)st.st_dev;
  return 0;
}

bool file_stamp_equal(const FileStamp* a, const FileStamp* b) {
  return a->exists == b->exists && a->mtime_ns == b->mtime_ns && a->size == b->size &&
         a->inode == b->inode && a->device == b->device;
}
