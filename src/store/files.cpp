#include "store/files.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/folders.h"
#include "platform/platform.h"
#include "base/log.h"

namespace {

constexpr char kSep = '/';
constexpr int kMoveAttempts = 5;
constexpr int kDeleteRetries = 4;
constexpr uint64_t kDiskReserve = 4ull << 20;

bool is_sep(char c) {
  return fsys_is_separator(c);
}

char fold(char c) {
  return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

bool equal_nocase(const char* a, const char* b) {
  for (; *a && *b; a++, b++) {
    if (fold(*a) != fold(*b)) return false;
  }
  return *a == *b;
}

// True when folder holds inner somewhere below it.
bool holds_nocase(const char* folder, const char* inner) {
  size_t n = strlen(folder);
  if (strlen(inner) <= n) return false;
  for (size_t i = 0; i < n; i++) {
    if (fold(folder[i]) != fold(inner[i])) return false;
  }
  return n > 0 && (is_sep(folder[n - 1]) || is_sep(inner[n]));
}

bool ends_with_nocase(const char* s, const char* suffix) {
  size_t n = strlen(s), m = strlen(suffix);
  if (m > n) return false;
  return equal_nocase(s + n - m, suffix);
}

bool valid_utf8(const char* s) {
  const unsigned char* p = (const unsigned char*)s;
  while (*p) {
    unsigned c = *p;
    if (c < 0x80) {
      p++;
      continue;
    }
    int need;
    unsigned cp;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3, cp = c & 0x07;
    } else {
      return false;
    }
    for (int i = 1; i <= need; i++) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((need == 2 && cp < 0x800) || (need == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    p += need + 1;
  }
  return true;
}

bool copy_out(const std::string& s, char* out, size_t size) {
  if (!out || s.size() >= size) return false;
  memcpy(out, s.c_str(), s.size() + 1);
  return true;
}

std::string full_or_same(const char* path) {
  std::string r(PATH_TREE_MAX + 1, '\0');
  int n = path_full(path, &r[0], r.size());
  if (n < 0) return path;
  r.resize((size_t)n);
  return r;
}

std::string parent_of(const std::string& p) {
  size_t root = path_root_length(p.c_str());
  size_t cut = p.size();
  while (cut > root && is_sep(p[cut - 1])) cut--;
  while (cut > root && !is_sep(p[cut - 1])) cut--;
  while (cut > root && is_sep(p[cut - 1])) cut--;
  return p.substr(0, cut);
}

void sleep_backoff(int i) {
  platform_sleep_ms(5u << i);
}

// Clears the read-only mark of a file that blocks replacing or deleting it. Never a folder's:
// opening one up is only for folders being deleted whole.
bool clear_readonly_file(const char* path) {
  FsysInfo info;
  if (fsys_info(path, &info) != 0 || info.kind == FSYS_DIR || info.kind == FSYS_LINK) return false;
  return fsys_clear_readonly(path);
}

// ---- safe write helpers ----

// Checks the target and forms "<path>.tmp". Logs a refusal.
bool target_ok(const char* path, bool missing_data, char* tmp) {
  if (!path || !*path) {
    log_line("write: no file named to write");
    return false;
  }
  size_t n = strlen(path);
  if (n + 4 > PATH_UTF8_MAX) {
    log_line("write: path too long to write safely (%zu bytes)", n);
    return false;
  }
  if (missing_data) {
    log_line("write: %s failed (error %lu)", path, FSYS_ERROR_INVALID);
    return false;
  }
  memcpy(tmp, path, n);
  memcpy(tmp + n, ".tmp", 5);
  return true;
}

// Takes a temporary file away after a failure.
void drop_tmp(FsysFile f, const char* tmp) {
  if (FSYS_MOVE_WHILE_OPEN) {
    file_delete(tmp, kDeleteRetries);
    fsys_close(f);
  } else {
    fsys_close(f);
    file_delete(tmp, kDeleteRetries);
  }
}

// The flushed temporary file replaces the target; on any failure it is removed.
int finish(FsysFile f, const char* tmp, const char* path) {
  if (!FSYS_MOVE_WHILE_OPEN) {
    unsigned long e = fsys_close(f);
    f = FSYS_NO_FILE;
    if (e) {
      log_line("write: %s failed (error %lu)", path, e);
      file_delete(tmp, kDeleteRetries);
      return -1;
    }
  }
  if (file_move(tmp, path) != 0) {
    drop_tmp(f, tmp);
    return -1;
  }
  // Already flushed and in place; a late close error can't undo that.
  fsys_close(f);
  return 0;
}

bool writer_flush_buffer(SafeWriter* w) {
  if (w->buffered == 0) return true;
  unsigned long e = fsys_write(w->file, w->buffer, w->buffered);
  w->buffered = 0;
  if (e) {
    log_line("write: %s failed (error %lu)", w->path, e);
    w->failed = true;
    return false;
  }
  return true;
}

// Long files: once another SAFE_WRITER_KICK bytes are on the file, the disk starts on them, so
// the flush at the end waits for the last stretch rather than for everything.
void writer_kick(SafeWriter* w, uint64_t on_file) {
  if (on_file - w->kicked < SAFE_WRITER_KICK) return;
  fsys_start_writeback(w->file, (int64_t)w->kicked, (int64_t)(on_file - w->kicked));
  w->kicked = on_file;
}

void writer_release(SafeWriter* w) {
  free(w->buffer);
  w->buffer = nullptr;
  w->buffered = 0;
  w->file = FSYS_NO_FILE;
  w->open = false;
}

// ---- tree delete ----

// Deletes everything below p and then p. device is the volume being cleared: another volume
// mounted inside is never entered.
bool delete_tree(const std::string& p, int depth, uint64_t device) {
  if (depth > TREE_DEPTH_MAX || p.size() >= PATH_TREE_MAX) return false;
  unsigned long e = 0;
  // A folder being deleted whole may be opened up: a read-only one would keep its contents.
  fsys_clear_readonly(p.c_str());
  FsysDir* d = fsys_dir_open(p.c_str(), true, &e);
  if (!d) return fsys_error_missing(e) || dir_remove(p.c_str()) == 0;
  // Listed first, deleted after: removing entries while reading the folder may skip some.
  std::vector<FsysEntry> entries;
  FsysEntry ent;
  while (fsys_dir_next(d, &ent)) entries.push_back(ent);
  fsys_dir_close(d);

  bool ok = true;
  for (const FsysEntry& en : entries) {
    std::string c = p;
    if (!is_sep(c.back())) c += kSep;
    c += en.name;
    if (c.size() >= PATH_TREE_MAX) {
      ok = false;
      continue;
    }
    if (en.kind != FSYS_DIR) {
      if (file_delete(c.c_str(), kDeleteRetries) != 0) ok = false;
      continue;
    }
    FsysInfo info;
    unsigned long ie = fsys_info(c.c_str(), &info);
    if (ie) {
      if (!fsys_error_missing(ie)) ok = false;
    } else if (info.kind != FSYS_DIR) {
      if (file_delete(c.c_str(), kDeleteRetries) != 0) ok = false;  // became a link meanwhile
    } else if (info.mount_root || info.device != device) {
      if (dir_remove(c.c_str()) != 0) ok = false;
    } else if (!delete_tree(c, depth + 1, device)) {
      ok = false;
    }
  }
  // Something below stayed: the folder can't go, and waiting for it to empty would not help.
  if (!ok) return false;
  return dir_remove(p.c_str()) == 0;
}

// Whether full (absolute, normalised) must never be deleted.
bool protected_path(const char* full) {
  if (strlen(full) <= path_root_length(full)) return true;
  if (folders_is_system(full)) return true;
  FsysInfo info;
  bool exists = fsys_info(full, &info) == 0;
  if (exists && info.kind == FSYS_DIR && info.mount_root) return true;  // a volume's root
  // Where it really is, unless it is a link (which is only ever removed as a link).
  std::string real(4096, '\0');
  bool have_real =
      exists && info.kind != FSYS_LINK && fsys_real_path(full, &real[0], real.size()) == 0;
  if (have_real) {
    real.resize(strlen(real.c_str()));
    if (real.size() <= path_root_length(real.c_str()) || folders_is_system(real.c_str())) {
      return true;
    }
  }
  auto guarded = std::make_unique<char[][1024]>(16);
  int count = folders_guarded(guarded.get(), 16);
  for (int k = 0; k < count; k++) {
    std::string kf = full_or_same(guarded[k]);
    if (equal_nocase(full, kf.c_str()) || holds_nocase(full, kf.c_str())) return true;
    if (!have_real) continue;
    char kreal[4096];
    if (fsys_real_path(kf.c_str(), kreal, sizeof kreal) != 0) continue;
    if (equal_nocase(real.c_str(), kreal) || holds_nocase(real.c_str(), kreal)) return true;
  }
  return false;
}

}  // namespace

// ---- paths ----

int path_full(const char* utf8, char* out, size_t size) {
  if (!utf8 || !*utf8 || !out || size == 0) return -1;
  std::string src;
  if (!is_sep(utf8[0])) {
    char cwd[4096];
    if (fsys_current_folder(cwd, sizeof cwd) != 0) return -1;
    src = cwd;
    src += kSep;
  }
  src += utf8;
  // Fold "." and ".." by name, as the system's own full-path function does.
  std::vector<std::pair<size_t, size_t>> parts;
  size_t i = 0;
  while (i < src.size()) {
    while (i < src.size() && is_sep(src[i])) i++;
    size_t s = i;
    while (i < src.size() && !is_sep(src[i])) i++;
    size_t len = i - s;
    if (len == 0 || (len == 1 && src[s] == '.')) continue;
    if (len == 2 && src[s] == '.' && src[s + 1] == '.') {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.emplace_back(s, len);
  }
  std::string r;
  for (auto& pr : parts) {
    r += kSep;
    r.append(src, pr.first, pr.second);
  }
  if (r.empty()) r = kSep;
  if (!copy_out(r, out, size)) return -1;
  return (int)r.size();
}

int path_to_system(const char* utf8, char* out, size_t size) {
  // Here the system takes the full path as it is; a Windows side adds the long-path prefix.
  return path_full(utf8, out, size);
}

size_t path_root_length(const char* path) {
  return fsys_root_length(path);
}

int path_join(char* out, size_t size, const char* folder, const char* name) {
  if (!out || size == 0) return -1;
  if (!folder) folder = "";
  if (!name) name = "";
  while (is_sep(*name)) name++;
  bool cut = false;
  std::string f = folder;
  if (f.size() > PATH_JOIN_MAX) {
    f.resize(text_utf8_cut(&f[0], PATH_JOIN_MAX));
    cut = true;
  }
  std::string r = f;
  if (!f.empty() && !is_sep(f.back()) && *name) r += kSep;
  r += name;
  if (r.size() > PATH_JOIN_MAX) {
    r.resize(text_utf8_cut(&r[0], PATH_JOIN_MAX));
    cut = true;
  }
  if (r.size() > size - 1) {
    r.resize(text_utf8_cut(&r[0], size - 1));
    cut = true;
  }
  memcpy(out, r.c_str(), r.size() + 1);
  return cut ? -1 : (int)r.size();
}

uint32_t path_attributes(const char* path) {
  FsysInfo info;
  if (!path || !*path || fsys_info(path, &info) != 0) return PATH_ATTR_INVALID;
  uint32_t a = 0;
  if (info.readonly) a |= PATH_ATTR_READONLY;
  if (info.target_kind == FSYS_DIR) a |= PATH_ATTR_DIRECTORY;
  if (info.kind == FSYS_LINK) a |= PATH_ATTR_LINK;
  return a;
}

bool path_exists(const char* path) {
  return path_attributes(path) != PATH_ATTR_INVALID;
}

bool path_is_dir(const char* path) {
  uint32_t a = path_attributes(path);
  return a != PATH_ATTR_INVALID && (a & PATH_ATTR_DIRECTORY);
}

int64_t file_size(const char* path) {
  FsysInfo info;
  if (!path || !*path || fsys_info(path, &info) != 0) return -1;
  if (info.target_kind == FSYS_DIR || info.target_kind == FSYS_MISSING) return -1;
  return info.size;
}

int64_t file_mtime(const char* path) {
  FsysInfo info;
  if (!path || !*path || fsys_info(path, &info) != 0) return -1;
  return info.mtime;
}

namespace {

// Names in folder that pass keep, sorted by byte value; all of them. False when the folder is
// there but can't be read: an empty answer would look like a folder whose contents were deleted.
bool list_names(const char* folder, bool (*keep)(const FsysEntry&, const void*), const void* ctx,
                size_t slot, std::vector<std::string>* names) {
  if (!folder || !*folder) return true;
  unsigned long err = 0;
  FsysDir* d = fsys_dir_open(folder, false, &err);
  if (!d) return fsys_error_missing(err);
  FsysEntry e;
  while (fsys_dir_next(d, &e)) {
    if (strlen(e.name) >= slot || !valid_utf8(e.name) || !keep(e, ctx)) continue;
    names->emplace_back(e.name);
  }
  bool ok = fsys_dir_ok(d);
  fsys_dir_close(d);
  std::sort(names->begin(), names->end());
  return ok;
}

template <size_t N>
int hand_out(bool listed, const std::vector<std::string>& names, char (*out)[N], int max) {
  if (!listed) return -1;
  if (!out) return (int)names.size();
  int n = 0;
  for (const std::string& s : names) {
    if (n >= max) break;
    memcpy(out[n], s.c_str(), s.size() + 1);
    memset(out[n] + s.size() + 1, 0, N - s.size() - 1);
    n++;
  }
  return n;
}

}  // namespace

int list_subfolders(const char* folder, char (*out)[LIST_FOLDER_BYTES], int max) {
  auto keep = [](const FsysEntry& e, const void*) { return e.target_kind == FSYS_DIR; };
  std::vector<std::string> names;
  bool listed = list_names(folder, keep, nullptr, LIST_FOLDER_BYTES, &names);
  return hand_out(listed, names, out, max);
}

int list_files_with_suffix(const char* folder, const char* suffix, char (*out)[LIST_FILE_BYTES],
                           int max) {
  auto keep = [](const FsysEntry& e, const void* s) {
    return e.target_kind != FSYS_DIR && ends_with_nocase(e.name, (const char*)s);
  };
  std::vector<std::string> names;
  bool listed = list_names(folder, keep, suffix ? suffix : "", LIST_FILE_BYTES, &names);
  return hand_out(listed, names, out, max);
}

bool disk_too_full(const char* path, int64_t needed) {
  if (!path || !*path) return false;
  std::string cut = path;
  if (cut.size() > PATH_UTF8_MAX) cut.resize(text_utf8_boundary(cut.c_str(), PATH_UTF8_MAX));
  std::string p = full_or_same(cut.c_str());
  for (int step = 0; step < 32 && !path_is_dir(p.c_str()); step++) {
    std::string up = parent_of(p);
    if (up.empty() || up == p) break;
    p = up;
  }
  uint64_t avail = 0;
  if (fsys_free_space(p.c_str(), &avail) != 0) return false;
  uint64_t need = needed > 0 ? (uint64_t)needed : 0;
  return avail < need + kDiskReserve;
}

// ---- reading and writing ----

char* file_read_all(const char* path, size_t* size_out) {
  return file_read_all_max(path, SIZE_MAX - 1, size_out);
}

char* file_read_all_max(const char* path, size_t max, size_t* size_out) {
  if (size_out) *size_out = 0;
  if (!path || !*path) return nullptr;
  FsysFile f;
  if (fsys_open_read(path, &f) != 0) return nullptr;
  int64_t size = 0;
  if (fsys_size(f, &size) != 0 || size < 0 || (uint64_t)size >= (uint64_t)SIZE_MAX ||
      (uint64_t)size > (uint64_t)max) {
    fsys_close(f);
    return nullptr;
  }
  char* buf = (char*)malloc((size_t)size + 1);
  if (!buf) {
    fsys_close(f);
    return nullptr;
  }
  size_t got = 0;
  while (got < (size_t)size) {
    size_t n = 0;
    if (fsys_read(f, buf + got, (size_t)size - got, &n) != 0) {
      free(buf);
      fsys_close(f);
      return nullptr;
    }
    if (n == 0) break;
    got += n;
  }
  buf[got] = 0;
  fsys_close(f);
  if (size_out) *size_out = got;
  return buf;
}

FILE* file_open_stdio(const char* path, const char* mode) {
  if (!path || !*path || !mode || strlen(mode) > 15) return nullptr;
  char m[20];
  snprintf(m, sizeof m, "%se", mode);  // not inherited by programs we start
  return fopen(path, m);
}

int file_write_atomic(const char* path, const void* data, size_t size) {
  char tmp[PATH_UTF8_MAX + 1];
  if (!target_ok(path, !data && size > 0, tmp)) return -1;
  FsysFile f;
  unsigned long e = fsys_create(tmp, &f);
  if (e) {
    log_line("write: can't create %s (error %lu)", tmp, e);
    return -1;
  }
  e = size ? fsys_write(f, data, size) : 0;
  if (!e) e = fsys_flush(f);
  if (e) {
    log_line("write: %s failed (error %lu)", path, e);
    drop_tmp(f, tmp);
    return -1;
  }
  return finish(f, tmp, path);
}

int safe_writer_open(SafeWriter* w, const char* path) {
  if (!w) return -1;
  memset(w, 0, sizeof *w);
  w->file = FSYS_NO_FILE;
  w->failed = true;
  if (!target_ok(path, false, w->tmp_path)) return -1;
  snprintf(w->path, sizeof w->path, "%s", path);
  unsigned long e = fsys_create(w->tmp_path, &w->file);
  if (e) {
    log_line("write: can't create %s (error %lu)", w->tmp_path, e);
    w->file = FSYS_NO_FILE;
    return -1;
  }
  w->buffer = (char*)malloc(SAFE_WRITER_BUFFER);
  w->open = true;
  w->failed = false;
  return 0;
}

int safe_writer_write(SafeWriter* w, const void* data, size_t size) {
  if (!w || !w->open || w->failed) return -1;
  if (size == 0) return 0;
  if (!data) {
    log_line("write: %s failed (error %lu)", w->path, FSYS_ERROR_INVALID);
    w->failed = true;
    return -1;
  }
  if (w->buffer && size < SAFE_WRITER_BUFFER) {
    if (w->buffered + size > SAFE_WRITER_BUFFER && !writer_flush_buffer(w)) return -1;
    memcpy(w->buffer + w->buffered, data, size);
    w->buffered += size;
  } else {
    if (!writer_flush_buffer(w)) return -1;
    unsigned long e = fsys_write(w->file, data, size);
    if (e) {
      log_line("write: %s failed (error %lu)", w->path, e);
      w->failed = true;
      return -1;
    }
    writer_kick(w, w->written + size);
  }
  w->written += size;
  return 0;
}

int safe_writer_copy(SafeWriter* w, FsysFile in, uint64_t size, uint64_t* copied) {
  if (copied) *copied = 0;
  if (!w || !w->open || w->failed) return -1;
  if (!writer_flush_buffer(w)) return -1;
  uint64_t done = 0;
  while (done < size) {
    size_t got = 0;
    unsigned long e = fsys_copy(in, w->file, (size_t)std::min<uint64_t>(size - done, 1u << 30), &got);
    if (e == FSYS_ERROR_UNSUPPORTED && done == 0) return -2;
    if (e) {
      log_line("write: %s failed (error %lu)", w->path, e);
      w->failed = true;
      if (copied) *copied = done;
      return -1;
    }
    if (got == 0) break;  // the source ended early: the caller sees the short count
    done += got;
    w->written += got;
    writer_kick(w, w->written);
  }
  if (copied) *copied = done;
  return 0;
}

int safe_writer_write_at(SafeWriter* w, uint64_t offset, const void* data, size_t size) {
  if (!w || !w->open || w->failed) return -1;
  if (!data || offset > w->written || size > w->written - offset) {
    log_line("write: %s failed (error %lu)", w->path, FSYS_ERROR_INVALID);
    w->failed = true;
    return -1;
  }
  if (size == 0) return 0;
  // Still in the buffer (a small file): patched there, no system call.
  const uint64_t inFile = w->written - w->buffered;
  if (offset >= inFile) {
    memcpy(w->buffer + (offset - inFile), data, size);
    return 0;
  }
  if (!writer_flush_buffer(w)) return -1;
  unsigned long e = fsys_write_at(w->file, (int64_t)offset, data, size);
  if (e) {
    log_line("write: %s failed (error %lu)", w->path, e);
    w->failed = true;
    return -1;
  }
  return 0;
}

int safe_writer_commit(SafeWriter* w) {
  if (!w || !w->open) return -1;
  if (!w->failed && writer_flush_buffer(w)) {
    unsigned long e = fsys_flush(w->file);
    if (e) {
      log_line("write: flushing %s failed (error %lu)", w->path, e);
      w->failed = true;
    }
  }
  FsysFile f = w->file;
  writer_release(w);
  if (w->failed) {
    drop_tmp(f, w->tmp_path);
    return -1;
  }
  if (finish(f, w->tmp_path, w->path) != 0) {
    w->failed = true;
    return -1;
  }
  return 0;
}

void safe_writer_discard(SafeWriter* w) {
  if (!w || !w->open) return;
  FsysFile f = w->file;
  writer_release(w);
  w->failed = true;
  drop_tmp(f, w->tmp_path);
}

int file_move(const char* from, const char* to) {
  if (!from || !*from || !to || !*to) {
    log_line("move: %s -> %s failed (error %lu)", from ? from : "", to ? to : "",
             FSYS_ERROR_INVALID);
    return -1;
  }
  unsigned long e = 0;
  for (int i = 0; i < kMoveAttempts; i++) {
    bool moved = false;
    e = fsys_rename(from, to, &moved);
    if (e == 0) return 0;
    if (moved) {
      // In place but maybe not on the disk: a power cut could still undo it. Never retried (the
      // source is gone) and never reported as done.
      log_line("move: %s -> %s made but not flushed to the disk (error %lu)", from, to, e);
      return -1;
    }
    if (fsys_error_denied(e)) clear_readonly_file(to);
    if (!fsys_error_transient(e) || i == kMoveAttempts - 1) break;
    sleep_backoff(i);
  }
  log_line("move: %s -> %s failed (error %lu)", from, to, e);
  return -1;
}

int file_delete(const char* path, int retries, unsigned long* error) {
  if (error) *error = 0;
  if (!path || !*path) {
    if (error) *error = FSYS_ERROR_INVALID;
    return -1;
  }
  unsigned long e = fsys_unlink(path);
  if (fsys_error_denied(e) && clear_readonly_file(path)) e = fsys_unlink(path);
  for (int i = 0; e && !fsys_error_missing(e) && fsys_error_transient(e) && i < retries; i++) {
    sleep_backoff(i);
    e = fsys_unlink(path);
  }
  if (e == 0 || fsys_error_missing(e)) return 0;
  if (error) *error = e;
  return -1;
}

int file_remove(const char* path) {
  unsigned long e = 0;
  if (file_delete(path, kDeleteRetries, &e) == 0) return 0;
  log_line("remove: couldn't delete %s (error %lu)", path ? path : "", e);
  return -1;
}

int dir_remove(const char* path) {
  if (!path || !*path) return -1;
  unsigned long e = fsys_rmdir(path);
  // "Not a folder" may mean a folder on the way is gone, or that path is a file: look.
  if (fsys_error_missing(e)) return path_exists(path) ? -1 : 0;
  if (fsys_error_denied(e) && fsys_clear_readonly(path)) e = fsys_rmdir(path);
  for (int i = 0; e && !fsys_error_missing(e) && fsys_error_transient(e) && i < kDeleteRetries;
       i++) {
    sleep_backoff(i);
    e = fsys_rmdir(path);
  }
  return e == 0 || fsys_error_missing(e) ? 0 : -1;
}

int tree_delete(const char* path) {
  if (!path || !*path) return -1;
  // Without its trailing separator: "link/" would be looked at through the link.
  std::string p = path;
  while (p.size() > path_root_length(p.c_str()) && is_sep(p.back())) p.pop_back();
  FsysInfo info;
  unsigned long e = fsys_info(p.c_str(), &info);
  if (e) return fsys_error_missing(e) ? 0 : -1;
  if (info.kind != FSYS_DIR) return file_delete(p.c_str(), kDeleteRetries);
  return delete_tree(p, 0, info.device) ? 0 : -1;
}

int tree_remove_guarded(const char* path) {
  std::string full(PATH_TREE_MAX + 1, '\0');
  int n = path_full(path, &full[0], full.size());
  if (n < 0 || protected_path(full.c_str())) {
    log_line("remove: REFUSED to delete %s (a drive or a system folder)",
             n < 0 ? (path ? path : "") : full.c_str());
    return -1;
  }
  full.resize((size_t)n);
  std::string sys(PATH_TREE_MAX + 1, '\0');
  n = path_to_system(full.c_str(), &sys[0], sys.size());
  if (n < 0) {
    log_line("remove: couldn't fully delete %s", full.c_str());
    return -1;
  }
  sys.resize((size_t)n);
  FsysInfo info;
  unsigned long e = fsys_info(sys.c_str(), &info);
  int r;
  if (e) {
    r = fsys_error_missing(e) ? 0 : -1;
  } else if (info.kind != FSYS_DIR) {
    r = file_delete(sys.c_str(), kDeleteRetries);  // a file, or a link removed as a link
  } else {
    r = tree_delete(sys.c_str());
  }
  if (r != 0) log_line("remove: couldn't fully delete %s", full.c_str());
  return r;
}

int tmp_cleanup(const char* folder) {
  if (!folder || !*folder) return 0;
  unsigned long e = 0;
  FsysDir* d = fsys_dir_open(folder, false, &e);
  if (!d) {
    if (!fsys_error_missing(e)) log_line("cleanup: can't list %s (error %lu)", folder, e);
    return 0;
  }
  std::vector<std::string> doomed;
  FsysEntry ent;
  while (fsys_dir_next(d, &ent)) {
    if (ent.target_kind == FSYS_DIR) continue;
    if (strlen(ent.name) > 3 && ends_with_nocase(ent.name, ".tmp")) doomed.emplace_back(ent.name);
  }
  fsys_dir_close(d);
  int removed = 0;
  char p[PATH_JOIN_MAX + 1];
  for (const std::string& name : doomed) {
    if (path_join(p, sizeof p, folder, name.c_str()) < 0) continue;
    // One attempt, and never a file a writer is still filling.
    if (fsys_unlink_unheld(p) == 0) removed++;
  }
  if (removed > 0) {
    log_line("cleanup: removed %d stray .tmp file%s in %s", removed, removed == 1 ? "" : "s",
             folder);
  }
  return removed;
}

// ---- clocks ----

const char* path_base_name(const char* path) {
  const char* base = path;
  for (const char* p = path; *p; p++)
    if (fsys_is_separator(*p) && p[1]) base = p + 1;
  return base;
}
