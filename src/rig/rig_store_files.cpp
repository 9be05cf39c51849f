// The rig store's file work: reading, the safe write, setting a damaged file aside, the lock
// files and the clean-up of writers that died mid-write.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/filelock.h"
#include "platform/platform.h"
#include "rig/rig_format.h"
#include "rig/rig_store_internal.h"

namespace {

constexpr int kReadTries = 4;
constexpr uint32_t kReadRetryMs = 30;
constexpr int kRenameRetries = 5;

bool ends_with(const char* s, const char* suffix) {
  size_t n = strlen(s), m = strlen(suffix);
  return n >= m && memcmp(s + n - m, suffix, m) == 0;
}

void message(char* msg, size_t size, const char* action, unsigned long e) {
  char text[64];
  rig_error_text(e, text, sizeof text);
  snprintf(msg, size, "%s: %s", action, text);
}

// Renames with the retries a briefly held file needs; the first retry is logged.
unsigned long rename_retrying(RigStore* s, const char* from, const char* to) {
  unsigned long e = 0;
  for (int i = 0;; i++) {
    e = fsys_rename(from, to);
    if (e == 0 || !fsys_error_transient(e) || e == EEXIST || i == kRenameRetries) return e;
    if (i == 0)
      rig_store_logf(s, "rig: the rig file is held open by another program - retrying the rename");
    platform_sleep_ms((uint32_t)((13 * i) % 31 + 20));
  }
}

}  // namespace

void rig_error_text(unsigned long e, char* out, size_t size) {
  const char* t = nullptr;
  switch (e) {
    case ENOENT:
      t = "not found";
      break;
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENOTCONN:
    case ESTALE:
      t = "the folder can't be reached";
      break;
    case EACCES:
    case EPERM:
      t = "access denied";
      break;
    case ENOMEM:
    case EFAULT:
      t = "out of memory";
      break;
    case EROFS:
      t = "the disk is write-protected";
      break;
    case ENOMEDIUM:
      t = "the drive isn't ready";
      break;
    case EBUSY:
    case ETXTBSY:
      t = "in use by another program";
      break;
    case ENOSPC:
    case EDQUOT:
      t = "the disk is full";
      break;
    default:
      break;
  }
  if (t) {
    snprintf(out, size, "%s", t);
  } else {
    snprintf(out, size, "error %lu", e);
  }
}

unsigned long rig_make_folder(const char* folder) {
  if (fsys_make_folders(folder) == 0) return 0;
  // Only a yes or no from above: ask the last step again for its reason.
  unsigned long e = fsys_mkdir(folder);
  if (e == 0) return 0;
  if (e == EEXIST) return ENOTDIR;
  return e;
}

int rig_lock_path(const RigStore* s, const char* file_name, char* out, size_t size) {
  size_t n = strlen(file_name);
  if (ends_with(file_name, ".json")) n -= 5;
  char name[RIG_FILE_NAME_BYTES + 8];
  snprintf(name, sizeof name, ".%.*s.lock", (int)n, file_name);
  return path_join(out, size, s->folder, name) < 0 ? -1 : 0;
}

int rig_read_file(const char* path, char** text, size_t* length, char* msg, size_t msg_size) {
  *text = nullptr;
  *length = 0;
  msg[0] = 0;
  FsysFile f = FSYS_NO_FILE;
  unsigned long e = 0;
  for (int i = 0; i < kReadTries; i++) {
    e = fsys_open_read(path, &f);
    if (e == 0 || !fsys_error_transient(e)) break;
    if (i + 1 < kReadTries) platform_sleep_ms(kReadRetryMs);
  }
  if (e) {
    if (fsys_error_missing(e)) {
      snprintf(msg, msg_size, "not found");
      return RIG_READ_MISSING;
    }
    message(msg, msg_size, "can't read the rig file", e);
    return RIG_READ_FAILED;
  }
  int64_t size = 0;
  e = fsys_size(f, &size);
  if (e) {
    fsys_close(f);
    message(msg, msg_size, "can't read the rig file", e);
    return RIG_READ_FAILED;
  }
  if (size > (int64_t)RIG_FILE_MAX_BYTES) {
    fsys_close(f);
    snprintf(msg, msg_size, "bigger than 1 MB (%lld bytes)", (long long)size);
    return RIG_READ_TOO_BIG;
  }
  // One byte over the size seen: a file that grew since still ends at a read of zero.
  size_t cap = (size_t)size + 1;
  char* buf = (char*)malloc(cap + 1);
  if (!buf) {
    fsys_close(f);
    snprintf(msg, msg_size, "can't read the rig file: out of memory");
    return RIG_READ_NO_MEMORY;
  }
  size_t got = 0;
  for (;;) {
    if (got == cap) {
      if (cap > RIG_FILE_MAX_BYTES) {
        free(buf);
        fsys_close(f);
        snprintf(msg, msg_size, "bigger than 1 MB (%zu bytes)", got);
        return RIG_READ_TOO_BIG;
      }
      size_t grown = cap * 2 > RIG_FILE_MAX_BYTES + 1 ? RIG_FILE_MAX_BYTES + 1 : cap * 2;
      char* more = (char*)realloc(buf, grown + 1);
      if (!more) {
        free(buf);
        fsys_close(f);
        snprintf(msg, msg_size, "can't read the rig file: out of memory");
        return RIG_READ_NO_MEMORY;
      }
      buf = more;
      cap = grown;
    }
    size_t n = 0;
    e = fsys_read(f, buf + got, cap - got, &n);
    if (e) {
      free(buf);
      fsys_close(f);
      message(msg, msg_size, "can't read the rig file", e);
      return RIG_READ_FAILED;
    }
    if (n == 0) break;
    got += n;
  }
  fsys_close(f);
  buf[got] = 0;
  *text = buf;
  *length = got;
  return RIG_READ_OK;
}

int rig_write_file(RigStore* s, const char* path, const RigDoc* doc, char* msg, size_t msg_size) {
  msg[0] = 0;
  size_t need = rig_encode(doc, s->enc, s->enc_cap);
  if (need + 1 > s->enc_cap) {
    size_t cap = need + 4096;
    char* grown = (char*)realloc(s->enc, cap);
    if (!grown) {
      snprintf(msg, msg_size, "can't write the rig file: out of memory");
      return -1;
    }
    s->enc = grown;
    s->enc_cap = cap;
    need = rig_encode(doc, s->enc, s->enc_cap);
  }
  char tmp[PATH_UTF8_MAX + 8];
  snprintf(tmp, sizeof tmp, "%s.tmp", path);
  FsysFile f;
  unsigned long e = fsys_create(tmp, &f);
  if (e) {
    message(msg, msg_size, "can't write the rig file", e);
    return -1;
  }
  e = fsys_write(f, s->enc, need);
  if (!e) e = fsys_flush(f);
  if (e) {
    fsys_unlink(tmp);
    fsys_close(f);
    message(msg, msg_size, "can't write the rig file", e);
    return -1;
  }
  // The temporary file stays open (and locked) until it has replaced the rig file, so no
  // other writer can start over it in between.
  e = rename_retrying(s, tmp, path);
  if (e) {
    fsys_unlink(tmp);
    fsys_close(f);
    message(msg, msg_size, "can't replace the rig file", e);
    return -1;
  }
  fsys_close(f);
  return 0;
}

int rig_set_aside(RigStore* s, const char* path, char* out, size_t out_size, char* msg,
                  size_t msg_size) {
  out[0] = 0;
  msg[0] = 0;
  size_t n = strlen(path);
  if (ends_with(path, ".json")) n -= 5;
  time_t now = time(nullptr);
  struct tm t;
  if (!localtime_r(&now, &t)) memset(&t, 0, sizeof t);
  char stamp[32];
  snprintf(stamp, sizeof stamp, "%04u%02u%02u-%02u%02u%02u", (unsigned)(t.tm_year + 1900),
           (unsigned)(t.tm_mon + 1), (unsigned)t.tm_mday, (unsigned)t.tm_hour, (unsigned)t.tm_min,
           (unsigned)t.tm_sec);
  unsigned long e = EEXIST;
  for (int i = 1; i <= 99; i++) {
    int len = i == 1 ? snprintf(out, out_size, "%.*s.damaged-%s.json", (int)n, path, stamp)
                     : snprintf(out, out_size, "%.*s.damaged-%s-%d.json", (int)n, path, stamp, i);
    if (len < 0 || (size_t)len >= out_size) {
      e = ENAMETOOLONG;
      break;
    }
    FsysInfo info;
    // Under the rig's lock: only another holder of it could take the name in between.
    if (fsys_info(out, &info) == 0) continue;
    e = rename_retrying(s, path, out);
    break;
  }
  if (e) {
    out[0] = 0;
    message(msg, msg_size, "can't set the damaged rig file aside", e);
    return -1;
  }
  return 0;
}

void rig_remove_strays(RigStore* s) {
  unsigned long e = 0;
  FsysDir* d = fsys_dir_open(s->folder, false, &e);
  if (!d) return;
  FsysEntry entry;
  while (fsys_dir_next(d, &entry)) {
    size_t n = strlen(entry.name);
    if (entry.kind != FSYS_FILE || n <= 9 || !ends_with(entry.name, ".json.tmp")) continue;
    char rig_name[256];
    snprintf(rig_name, sizeof rig_name, "%.*s", (int)(n - 4), entry.name);
    char lock_path[PATH_UTF8_MAX + 1], tmp_path[PATH_UTF8_MAX + 1];
    if (rig_lock_path(s, rig_name, lock_path, sizeof lock_path) != 0) continue;
    if (path_join(tmp_path, sizeof tmp_path, s->folder, entry.name) < 0) continue;
    FsysFile lock;
    // A writer that holds the lock may be writing this very file right now.
    if (filelock_try(lock_path, &lock, nullptr) != 0) continue;
    if (fsys_unlink_unheld(tmp_path) == 0)
      rig_store_logf(s, "rig: removed a stray %.*s.json.tmp", (int)(n - 9), entry.name);
    filelock_release(lock);
  }
  fsys_dir_close(d);
}
