// File-system primitives: the only place that makes file system calls. Paths are UTF-8 as the
// system takes them; errors are system error numbers (errno here, GetLastError on Windows), 0 for
// none. A Windows side would implement the same functions over wide long-path names.
#pragma once
#include <cstddef>
#include <cstdint>

// An open file: a descriptor here, a HANDLE on Windows.
typedef intptr_t FsysFile;
constexpr FsysFile FSYS_NO_FILE = -1;
// Whether a file may replace another while it is still open. Here the open file keeps its lock
// until it has replaced the target; on Windows it must be closed first.
constexpr bool FSYS_MOVE_WHILE_OPEN = true;

enum FsysKind { FSYS_MISSING = 0, FSYS_FILE = 1, FSYS_DIR = 2, FSYS_LINK = 3, FSYS_OTHER = 4 };

struct FsysInfo {
  int kind;         // the entry itself, links not followed
  int target_kind;  // what a link leads to (FSYS_MISSING when dangling); kind for non-links
  bool mount_root;  // a directory that is the root of another mounted volume
  bool readonly;    // nobody may write it
  int64_t size;     // of the target
  int64_t mtime;    // last write, Unix seconds, of the target
  uint64_t device;  // volume of the entry itself
};

struct FsysEntry {
  char name[256];
  int kind;         // links not followed
  int target_kind;  // links followed
};

struct FsysDir;

// A path separator on this system: '/' here; '/' and '\\' on Windows.
inline bool fsys_is_separator(char c) {
#ifdef _WIN32
  return c == '/' || c == '\\';
#else
  return c == '/';
#endif
}

// Length of the root at the start of path ("/" here; "C:\\" or "\\\\server\\share\\" on Windows).
inline size_t fsys_root_length(const char* path) {
  return path && fsys_is_separator(path[0]) ? 1 : 0;
}

// Makes a folder and every missing folder above it. 0 when the folder is there at the end.
int fsys_make_folders(const char* path);

// Classes of errors the callers treat alike.
bool fsys_error_missing(unsigned long e);    // the entry or a folder on its way does not exist
bool fsys_error_transient(unsigned long e);  // someone else may hold it for a moment: retry
bool fsys_error_denied(unsigned long e);     // access denied (maybe a read-only mark)
// The error callers report for a bad argument.
#ifdef _WIN32
constexpr unsigned long FSYS_ERROR_INVALID = 87;  // ERROR_INVALID_PARAMETER
constexpr unsigned long FSYS_ERROR_UNSUPPORTED = 50;  // ERROR_NOT_SUPPORTED
#else
constexpr unsigned long FSYS_ERROR_INVALID = 22;  // EINVAL
constexpr unsigned long FSYS_ERROR_UNSUPPORTED = 95;  // EOPNOTSUPP
#endif
const char* fsys_error_text(unsigned long e);

// Looks at path without following a final link. 0, or the error with out->kind FSYS_MISSING.
unsigned long fsys_info(const char* path, FsysInfo* out);

// Creates a fresh file for writing, held exclusively until closed: whatever stood at path (a stale
// file or a link) is replaced, never written through; a file another writer holds gives EBUSY.
// Hints sequential access.
unsigned long fsys_create(const char* path, FsysFile* out);
unsigned long fsys_open_read(const char* path, FsysFile* out);
unsigned long fsys_size(FsysFile f, int64_t* out);
// Writes all of data in pieces of at most 1 GiB; a write that makes no progress is an error.
unsigned long fsys_write(FsysFile f, const void* data, size_t size);
// Writes all of data at offset, leaving the file position where it was (a header whose sizes are
// known only once the rest is written).
unsigned long fsys_write_at(FsysFile f, int64_t offset, const void* data, size_t size);
// Reads up to size bytes; *got is 0 at the end of the file.
unsigned long fsys_read(FsysFile f, void* data, size_t size, size_t* got);
// The same at offset, leaving the file position alone (threads may read one file at once).
unsigned long fsys_read_at(FsysFile f, int64_t offset, void* data, size_t size, size_t* got);
// Copies up to size bytes from in to out at their positions (both advance) inside the system,
// without a trip through this process's memory. *got is 0 at the end of in.
// FSYS_ERROR_UNSUPPORTED when the system can't copy between these two files (nothing copied):
// read and write instead.
unsigned long fsys_copy(FsysFile in, FsysFile out, size_t size, size_t* got);
// Asks the system to start writing [offset, offset + length) of f out to the disk now, so a
// later flush has less to wait for. A hint: nothing is promised and nothing fails.
void fsys_start_writeback(FsysFile f, int64_t offset, int64_t length);
// Flushes the file's data and metadata to the disk.
unsigned long fsys_flush(FsysFile f);
unsigned long fsys_close(FsysFile f);

// Replaces to with from and makes the change durable (write-through). *moved (when given) tells
// whether to now names from's file: it is set with an error when the move was made but could not
// be made durable.
unsigned long fsys_rename(const char* from, const char* to, bool* moved = nullptr);
unsigned long fsys_unlink(const char* path);
// Deletes a file unless a writer still holds it (see fsys_create): EBUSY then.
unsigned long fsys_unlink_unheld(const char* path);
unsigned long fsys_rmdir(const char* path);
unsigned long fsys_mkdir(const char* path);
// Clears a read-only mark on path that would block deleting it or what it holds: here a folder
// without full access for its owner. False when there was none to clear.
bool fsys_clear_readonly(const char* path);
// Makes a temporary file in folder that disappears when closed, and closes it: proves the folder
// is writable. name is used where the system needs one.
unsigned long fsys_probe_writable(const char* folder, const char* name);

// Bytes the current user may still write on the volume holding path.
unsigned long fsys_free_space(const char* path, uint64_t* out);
unsigned long fsys_current_folder(char* out, size_t size);
// path with every link resolved; the path must exist.
unsigned long fsys_real_path(const char* path, char* out, size_t size);

// Lists a folder. A folder reached through a final link is refused when no_follow is set.
FsysDir* fsys_dir_open(const char* path, bool no_follow, unsigned long* error);
// The next entry other than "." and "..", false at the end.
bool fsys_dir_next(FsysDir* d, FsysEntry* out);
// False when the listing ended on a read error rather than at its end.
bool fsys_dir_ok(const FsysDir* d);
void fsys_dir_close(FsysDir* d);

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/types.h>

// The system calls the functions above make, as one table. A test replaces an entry to produce a
// failure no machine gives on demand (EIO, a failed fsync, a full disk mid-write) and resets the
// table afterwards; the program itself never changes it. Change it only while no other thread
// uses these functions.
struct FsysCalls {
  int (*open)(const char* path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*read)(int fd, void* data, size_t size);
  ssize_t (*write)(int fd, const void* data, size_t size);
  int (*fsync)(int fd);
  int (*fstat)(int fd, struct stat* st);
  int (*ftruncate)(int fd, off_t size);
  int (*fcntl)(int fd, int cmd, int arg);
  int (*flock)(int fd, int op);
  int (*rename)(const char* from, const char* to);
  int (*unlink)(const char* path);
  int (*mkdir)(const char* path, mode_t mode);
  int (*rmdir)(const char* path);
  ssize_t (*copy_range)(int in, int out, size_t size);  // copy_file_range at both positions
  ssize_t (*pwrite)(int fd, const void* data, size_t size, off_t offset);
  ssize_t (*pread)(int fd, void* data, size_t size, off_t offset);
};
// The live table.
FsysCalls* fsys_calls();
// The system's own calls, for a replacement that passes most calls through.
const FsysCalls* fsys_calls_system();
// Puts every entry back to the system's own.
void fsys_calls_reset();
#endif
