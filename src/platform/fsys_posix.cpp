#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <cstring>

#include "platform/fsys.h"

static_assert(FSYS_ERROR_INVALID == EINVAL, "error numbers");

namespace {

int sys_open(const char* path, int flags, mode_t mode) {
  return open(path, flags, mode);
}

int sys_fcntl(int fd, int cmd, int arg) {
  return fcntl(fd, cmd, arg);
}

ssize_t sys_copy_range(int in, int out, size_t size) {
  return copy_file_range(in, nullptr, out, nullptr, size, 0);
}

const FsysCalls kSystem = {
    sys_open,  close, read,   write,  fsync, fstat, ftruncate,
    sys_fcntl, flock, rename, unlink, mkdir, rmdir, sys_copy_range, pwrite, pread,
};

FsysCalls g_calls = kSystem;

constexpr size_t kPiece = (size_t)1 << 30;

unsigned long err() {
  return errno ? (unsigned long)errno : (unsigned long)EIO;
}

int kind_of(mode_t m) {
  if (S_ISREG(m)) return FSYS_FILE;
  if (S_ISDIR(m)) return FSYS_DIR;
  if (S_ISLNK(m)) return FSYS_LINK;
  return FSYS_OTHER;
}

// Copies the folder part of path ("." for a bare name, "/" for the root).
void parent_of(const char* path, char* out, size_t size) {
  const char* slash = strrchr(path, '/');
  if (!slash) {
    snprintf(out, size, ".");
  } else if (slash == path) {
    snprintf(out, size, "/");
  } else {
    size_t n = (size_t)(slash - path);
    if (n >= size) n = size - 1;
    memcpy(out, path, n);
    out[n] = 0;
  }
}

// A flush that fails means the new name may not survive a power cut. A folder we may not read
// can't be flushed by us at all, which says nothing about the move; volumes that can't flush a
// folder (EINVAL) or never write (EROFS) have nothing to flush.
unsigned long sync_folder(const char* folder) {
  int fd = g_calls.open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return errno == EACCES || errno == EPERM ? 0 : err();
  unsigned long e = 0;
  if (g_calls.fsync(fd) != 0 && errno != EINVAL && errno != EROFS) e = err();
  g_calls.close(fd);
  return e;
}

}  // namespace

FsysCalls* fsys_calls() {
  return &g_calls;
}

const FsysCalls* fsys_calls_system() {
  return &kSystem;
}

void fsys_calls_reset() {
  g_calls = kSystem;
}

bool fsys_error_missing(unsigned long e) {
  return e == ENOENT || e == ENOTDIR;
}

bool fsys_error_transient(unsigned long e) {
  // The kinds of error a short-lived holder (sync client, scanner, indexer) causes; a folder that
  // is still emptying counts too.
  return e == EBUSY || e == EACCES || e == EPERM || e == ETXTBSY || e == EAGAIN || e == ENOTEMPTY ||
         e == EEXIST;
}

bool fsys_error_denied(unsigned long e) {
  return e == EACCES;
}

const char* fsys_error_text(unsigned long e) {
  return strerror((int)e);
}

unsigned long fsys_info(const char* path, FsysInfo* out) {
  memset(out, 0, sizeof *out);
  struct statx sx;
  if (statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS, &sx) != 0) {
    return err();
  }
  out->kind = kind_of(sx.stx_mode);
  out->target_kind = out->kind;
  out->device = ((uint64_t)sx.stx_dev_major << 32) | sx.stx_dev_minor;
  out->mount_root = out->kind == FSYS_DIR && (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) &&
                    (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
  mode_t mode = sx.stx_mode;
  out->size = (int64_t)sx.stx_size;
  out->mtime = (int64_t)sx.stx_mtime.tv_sec;
  if (out->kind == FSYS_LINK) {
    struct stat st;
    if (stat(path, &st) == 0) {
      out->target_kind = kind_of(st.st_mode);
      mode = st.st_mode;
      out->size = (int64_t)st.st_size;
      out->mtime = (int64_t)st.st_mtime;
    } else {
      out->target_kind = FSYS_MISSING;
    }
  }
  out->readonly = (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  return 0;
}

unsigned long fsys_create(const char* path, FsysFile* out) {
  *out = FSYS_NO_FILE;
  // The lock stands in for "no sharing": a second writer of the same temporary file fails
  // instead of truncating a file another writer is about to move into place.
  for (int attempt = 0; attempt < 3; attempt++) {
    int fd = g_calls.open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == ELOOP && attempt == 0) {
        // A link where the temporary file goes: replace the link, never write through it.
        if (g_calls.unlink(path) == 0) continue;
      }
      return err();
    }
    if (g_calls.flock(fd, LOCK_EX | LOCK_NB) != 0) {
      unsigned long e = errno == EWOULDBLOCK ? (unsigned long)EBUSY : err();
      g_calls.close(fd);
      return e;
    }
    struct stat mine, now;
    if (g_calls.fstat(fd, &mine) != 0) {
      unsigned long e = err();
      g_calls.close(fd);
      return e;
    }
    bool same = lstat(path, &now) == 0 && now.st_dev == mine.st_dev && now.st_ino == mine.st_ino;
    if (!same || mine.st_nlink > 1 || !S_ISREG(mine.st_mode)) {
      // Moved away by its previous writer, or shared with another name: start a fresh file.
      g_calls.close(fd);
      if (same) g_calls.unlink(path);
      continue;
    }
    if (g_calls.ftruncate(fd, 0) != 0 || g_calls.fcntl(fd, F_SETFL, 0) != 0) {
      // Ours (locked, checked): take it away rather than leave a stray file behind.
      unsigned long e = err();
      g_calls.unlink(path);
      g_calls.close(fd);
      return e;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    *out = fd;
    return 0;
  }
  return EBUSY;
}

unsigned long fsys_open_read(const char* path, FsysFile* out) {
  *out = FSYS_NO_FILE;
  // Non-blocking open: a pipe or device named like one of our files must not hang a worker.
  int fd = g_calls.open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
  if (fd < 0) return err();
  struct stat st;
  if (g_calls.fstat(fd, &st) != 0) {
    unsigned long e = err();
    g_calls.close(fd);
    return e;
  }
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    g_calls.close(fd);
    return EINVAL;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) g_calls.fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  *out = fd;
  return 0;
}

unsigned long fsys_size(FsysFile f, int64_t* out) {
  struct stat st;
  if (g_calls.fstat((int)f, &st) != 0) return err();
  if (S_ISDIR(st.st_mode)) return EISDIR;
  *out = (int64_t)st.st_size;
  return 0;
}

unsigned long fsys_write(FsysFile f, const void* data, size_t size) {
  const char* p = (const char*)data;
  while (size > 0) {
    size_t piece = size < kPiece ? size : kPiece;
    ssize_t r = g_calls.write((int)f, p, piece);
    if (r < 0) {
      if (errno == EINTR) continue;
      return err();
    }
    if (r == 0) return ENOSPC;
    p += r;
    size -= (size_t)r;
  }
  return 0;
}

unsigned long fsys_write_at(FsysFile f, int64_t offset, const void* data, size_t size) {
  if (offset < 0) return EINVAL;
  const char* p = (const char*)data;
  while (size > 0) {
    size_t piece = size < kPiece ? size : kPiece;
    ssize_t r = g_calls.pwrite((int)f, p, piece, (off_t)offset);
    if (r < 0) {
      if (errno == EINTR) continue;
      return err();
    }
    if (r == 0) return ENOSPC;
    p += r;
    offset += r;
    size -= (size_t)r;
  }
  return 0;
}

unsigned long fsys_read_at(FsysFile f, int64_t offset, void* data, size_t size, size_t* got) {
  *got = 0;
  if (offset < 0) return EINVAL;
  if (size > kPiece) size = kPiece;
  for (;;) {
    ssize_t r = g_calls.pread((int)f, data, size, (off_t)offset);
    if (r < 0) {
      if (errno == EINTR) continue;
      return err();
    }
    *got = (size_t)r;
    return 0;
  }
}

unsigned long fsys_read(FsysFile f, void* data, size_t size, size_t* got) {
  *got = 0;
  if (size > kPiece) size = kPiece;
  for (;;) {
    ssize_t r = g_calls.read((int)f, data, size);
    if (r < 0) {
      if (errno == EINTR) continue;
      return err();
    }
    *got = (size_t)r;
    return 0;
  }
}

unsigned long fsys_copy(FsysFile in, FsysFile out, size_t size, size_t* got) {
  *got = 0;
  if (size > kPiece) size = kPiece;
  for (;;) {
    ssize_t r = g_calls.copy_range((int)in, (int)out, size);
    if (r >= 0) {
      *got = (size_t)r;
      return 0;
    }
    if (errno == EINTR) continue;
    // Kernels, file systems and file kinds that can't: the caller reads and writes instead.
    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
        errno == EBADF)
      return FSYS_ERROR_UNSUPPORTED;
    return err();
  }
}

void fsys_start_writeback(FsysFile f, int64_t offset, int64_t length) {
  if (f == FSYS_NO_FILE || offset < 0 || length <= 0) return;
  sync_file_range((int)f, offset, length, SYNC_FILE_RANGE_WRITE);
}

unsigned long fsys_flush(FsysFile f) {
  if (g_calls.fsync((int)f) != 0) return err();
  return 0;
}

unsigned long fsys_close(FsysFile f) {
  if (f == FSYS_NO_FILE) return 0;
  // The descriptor is gone even when close reports an error; never retry it.
  if (g_calls.close((int)f) != 0 && errno != EINTR) return err();
  return 0;
}

unsigned long fsys_rename(const char* from, const char* to, bool* moved) {
  if (moved) *moved = false;
  if (g_calls.rename(from, to) != 0) return err();
  if (moved) *moved = true;
  // The new name is only durable once its folder is (and the old one's, when it moved across).
  char a[PATH_MAX], b[PATH_MAX];
  parent_of(to, a, sizeof a);
  parent_of(from, b, sizeof b);
  unsigned long e = sync_folder(a);
  if (strcmp(a, b) != 0) {
    unsigned long e2 = sync_folder(b);
    if (!e) e = e2;
  }
  return e;
}

unsigned long fsys_unlink(const char* path) {
  if (g_calls.unlink(path) != 0) return err();
  return 0;
}

unsigned long fsys_unlink_unheld(const char* path) {
  int fd = g_calls.open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
  if (fd < 0) {
    // A link or an unreadable file is no writer's temporary file.
    if (errno == ELOOP || errno == EACCES) return fsys_unlink(path);
    return err();
  }
  if (g_calls.flock(fd, LOCK_EX | LOCK_NB) != 0) {
    unsigned long e = errno == EWOULDBLOCK ? (unsigned long)EBUSY : err();
    g_calls.close(fd);
    return e;
  }
  // Delete under the lock, and only the file that was checked: a writer that opened it
  // meanwhile sees its name gone once it gets the lock, and starts a fresh file.
  struct stat mine, now;
  unsigned long e = ENOENT;
  if (g_calls.fstat(fd, &mine) == 0 && lstat(path, &now) == 0 && now.st_dev == mine.st_dev &&
      now.st_ino == mine.st_ino) {
    e = fsys_unlink(path);
  }
  g_calls.close(fd);
  return e;
}

unsigned long fsys_rmdir(const char* path) {
  if (g_calls.rmdir(path) != 0) return err();
  return 0;
}

unsigned long fsys_mkdir(const char* path) {
  if (g_calls.mkdir(path, 0777) != 0) return err();
  return 0;
}

int fsys_make_folders(const char* path) {
  if (!path || !*path) return -1;
  std::string p = path;
  size_t root = fsys_root_length(path);
  while (p.size() > root && fsys_is_separator(p.back())) p.pop_back();
  if (p.empty()) return -1;
  for (size_t i = root + 1; i < p.size(); i++) {
    if (fsys_is_separator(p[i]) && !fsys_is_separator(p[i - 1])) {
      fsys_mkdir(p.substr(0, i).c_str());  // an existing one is fine; the end result decides
    }
  }
  fsys_mkdir(p.c_str());
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 0 : -1;
}

bool fsys_clear_readonly(const char* path) {
  // Here the mark is a folder its owner may not write into: it blocks the removal of its
  // contents. Files have none (their own permissions never block a delete or a replace), and a
  // link is never followed.
  struct stat st;
  if (!path || !*path || lstat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if ((st.st_mode & S_IRWXU) == S_IRWXU) return false;
  return chmod(path, (st.st_mode & 07777) | S_IRWXU) == 0;
}

unsigned long fsys_probe_writable(const char* folder, const char* name) {
  int fd = g_calls.open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    g_calls.close(fd);
    return 0;
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return err();
  // The volume has no unnamed files: make a named one and take it away at once.
  char path[PATH_MAX];
  if (snprintf(path, sizeof path, "%s/%s", folder, name) >= (int)sizeof path) return ENAMETOOLONG;
  g_calls.unlink(path);
  fd = g_calls.open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return err();
  g_calls.unlink(path);
  g_calls.close(fd);
  return 0;
}

unsigned long fsys_free_space(const char* path, uint64_t* out) {
  struct statvfs v;
  if (statvfs(path, &v) != 0) return err();
  *out = (uint64_t)v.f_bavail * (uint64_t)(v.f_frsize ? v.f_frsize : v.f_bsize);
  return 0;
}

unsigned long fsys_current_folder(char* out, size_t size) {
  if (!getcwd(out, size)) return err();
  return 0;
}

unsigned long fsys_real_path(const char* path, char* out, size_t size) {
  char buf[PATH_MAX];
  if (!realpath(path, buf)) return err();
  size_t n = strlen(buf);
  if (n >= size) return ENAMETOOLONG;
  memcpy(out, buf, n + 1);
  return 0;
}

struct FsysDir {
  DIR* dir;
  int fd;
  int error;  // from readdir, which ends a listing early the same way it ends a whole one
};

FsysDir* fsys_dir_open(const char* path, bool no_follow, unsigned long* error) {
  int fd = g_calls.open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (no_follow ? O_NOFOLLOW : 0), 0);
  if (fd < 0) {
    if (error) *error = err();
    return nullptr;
  }
  DIR* dir = fdopendir(fd);
  if (!dir) {
    if (error) *error = err();
    g_calls.close(fd);
    return nullptr;
  }
  FsysDir* d = (FsysDir*)malloc(sizeof(FsysDir));
  if (!d) {
    closedir(dir);
    if (error) *error = ENOMEM;
    return nullptr;
  }
  d->dir = dir;
  d->fd = fd;
  d->error = 0;
  if (error) *error = 0;
  return d;
}

bool fsys_dir_next(FsysDir* d, FsysEntry* out) {
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(d->dir);
    if (!e) {
      d->error = errno;
      return false;
    }
    const char* n = e->d_name;
    if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
    size_t len = strlen(n);
    if (len >= sizeof out->name) continue;
    memcpy(out->name, n, len + 1);
    struct stat st;
    switch (e->d_type) {
      case DT_REG:
        out->kind = FSYS_FILE;
        break;
      case DT_DIR:
        out->kind = FSYS_DIR;
        break;
      case DT_LNK:
        out->kind = FSYS_LINK;
        break;
      case DT_UNKNOWN:
        out->kind =
            fstatat(d->fd, n, &st, AT_SYMLINK_NOFOLLOW) == 0 ? kind_of(st.st_mode) : FSYS_MISSING;
        break;
      default:
        out->kind = FSYS_OTHER;
        break;
    }
    out->target_kind = out->kind;
    if (out->kind == FSYS_LINK) {
      out->target_kind = fstatat(d->fd, n, &st, 0) == 0 ? kind_of(st.st_mode) : FSYS_MISSING;
    }
    if (out->kind == FSYS_MISSING) continue;  // vanished while listing
    return true;
  }
}

bool fsys_dir_ok(const FsysDir* d) {
  return d && d->error == 0;
}

void fsys_dir_close(FsysDir* d) {
  if (!d) return;
  closedir(d->dir);
  free(d);
}
