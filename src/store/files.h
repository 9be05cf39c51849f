// Everything that touches the file system: paths, safe writes that never leave a half-written
// file where a good one was, moves and deletes that retry through the short locks of sync
// clients and indexers, a guarded tree removal, stray temporary file clean-up, and the clocks.
// Paths are UTF-8 of at most PATH_UTF8_MAX bytes. Failures are logged and returned as -1/false.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/clock.h"  // the clocks lived here once; their callers still find them
#include "platform/fsys.h"

enum {
  PATH_UTF8_MAX = 1023,    // bytes of a path inside the program
  PATH_SYSTEM_MAX = 1039,  // a path as the system takes it
  PATH_JOIN_MAX = 2047,    // path_join's working limit
  PATH_TREE_MAX = 32767,   // paths while deleting a tree
  TREE_DEPTH_MAX = 64,
  LIST_FOLDER_BYTES = 128,  // one name from list_subfolders
  LIST_FILE_BYTES = 260,    // one name from list_files_with_suffix
  SAFE_WRITER_BUFFER = 1 << 20,
  SAFE_WRITER_KICK = 16 << 20,  // bytes between requests to start writing out
};

// ---- paths ----

// The absolute, normalised form of utf8 ("." and ".." folded, no doubled or trailing separator
// beyond the root); links are not resolved. The length, or -1 (empty input, or out too small).
int path_full(const char* utf8, char* out, size_t size);
// path_full, in the form handed to the system. The length or -1.
int path_to_system(const char* utf8, char* out, size_t size);
// Bytes of the root at the start of path ("/" here), 0 for a relative path.
size_t path_root_length(const char* path);
// folder + separator + name (leading separators of name dropped; no separator after an empty
// folder, one ending in a separator, or before an empty name). Always terminated and cut at a
// character boundary to fit; the length, or -1 when anything had to be cut.
int path_join(char* out, size_t size, const char* folder, const char* name);
// What follows the last separator that has something after it: "b" of "a/b", "b/" of "a/b/".
const char* path_base_name(const char* path);

enum : uint32_t {
  PATH_ATTR_READONLY = 0x1,
  PATH_ATTR_DIRECTORY = 0x10,  // also set for a link that leads to a directory
  PATH_ATTR_LINK = 0x400,
  PATH_ATTR_INVALID = 0xFFFFFFFFu,  // missing
};
uint32_t path_attributes(const char* path);
bool path_exists(const char* path);
bool path_is_dir(const char* path);
// -1 for a missing file or a directory.
int64_t file_size(const char* path);
// Last write time in Unix seconds, -1 on failure.
int64_t file_mtime(const char* path);
// Subfolder names (links to folders included), sorted by byte value, at most max; the count.
// With a null out, only counts (all of them). A missing folder has none; one that is there but
// can't be read gives -1 (both listings).
int list_subfolders(const char* folder, char (*out)[LIST_FOLDER_BYTES], int max);
// Names of non-folders ending in suffix (any letter case), sorted, at most max; the count.
int list_files_with_suffix(const char* folder, const char* suffix, char (*out)[LIST_FILE_BYTES],
                           int max);
// True when the volume that holds path (or its nearest existing folder) has less than needed
// bytes plus 4 MiB left for the user; false when that can't be told.
bool disk_too_full(const char* path, int64_t needed);

// ---- reading and writing ----

// The whole file, terminated with a zero byte (free() it), and its size; null on failure.
char* file_read_all(const char* path, size_t* size_out);
// file_read_all of a file no larger than max bytes; a larger one is refused unread (null).
char* file_read_all_max(const char* path, size_t max, size_t* size_out);
// A C stream, others may still read, write and delete the file. mode is at most 15 characters.
FILE* file_open_stdio(const char* path, const char* mode);
// Writes "<path>.tmp", flushes it to the disk and moves it over path. 0, or -1 with path as it
// was; or, when only the final flush of the folder failed, with path holding the new text.
int file_write_atomic(const char* path, const void* data, size_t size);

// Streamed form of the safe write, for large files. Zero-initialise, then open; finish with
// commit or discard (both are harmless on a writer that failed to open).
struct SafeWriter {
  char path[PATH_UTF8_MAX + 1];
  char tmp_path[PATH_UTF8_MAX + 1];
  FsysFile file;
  char* buffer;  // SAFE_WRITER_BUFFER bytes, or null: every write goes to the file
  size_t buffered;
  uint64_t written;  // bytes handed to write, in total
  uint64_t kicked;   // bytes the disk was asked to start on (fsys_start_writeback)
  bool open;         // a temporary file exists and is ours
  bool failed;
};
int safe_writer_open(SafeWriter* w, const char* path);
int safe_writer_write(SafeWriter* w, const void* data, size_t size);
// Copies size bytes of in (from its position) into the file inside the system, as
// safe_writer_write would write them. 0 with *copied == size; -1 (logged, failed set) when a
// copy fails; -2 when the system can't copy between the two (nothing of this call copied, the
// writer still good: read and write the rest). *copied may fall short at -1 or when in ends.
int safe_writer_copy(SafeWriter* w, FsysFile in, uint64_t size, uint64_t* copied);
// Overwrites bytes already written (offset + size <= written), such as a header whose sizes are
// known only at the end. 0 or -1 (logged; the writer has then failed).
int safe_writer_write_at(SafeWriter* w, uint64_t offset, const void* data, size_t size);
// Writes out, flushes, and moves the temporary file over the target. 0 or -1 (nothing replaced,
// unless only the final flush of the folder failed, as with file_write_atomic).
int safe_writer_commit(SafeWriter* w);
// Drops the temporary file.
void safe_writer_discard(SafeWriter* w);

// Replaces to with from (durably), retrying while someone holds either. 0 or -1 (logged). -1
// also when the move was made but its folder couldn't be flushed to the disk: to then holds
// from's file, which a power cut may still undo.
int file_move(const char* from, const char* to);
// Deletes a file; a missing one counts as deleted. Retries up to retries times while it is held.
// 0 or -1 with the system error in *error (when given); not logged.
int file_delete(const char* path, int retries, unsigned long* error = nullptr);
// file_delete with 4 retries for a caller that wants one file gone; the failure is logged.
int file_remove(const char* path);
// Removes an empty folder (missing counts as removed), with up to 4 retries. 0 or -1.
int dir_remove(const char* path);
// Deletes a folder and everything in it. Links and other volumes inside are removed as entries,
// never entered. 0, or -1 when anything remained (the rest is still deleted).
int tree_delete(const char* path);
// The only way a sketch folder or any other tree is deleted: refuses the root, volume roots, the
// user's own folders (home, Music, Documents, Desktop, Downloads, config and data), any folder
// holding one of them, and the system's folders. A link is removed as a link. 0 or -1 (logged).
int tree_remove_guarded(const char* path);
// Removes stray "*.tmp" files (not folders) in folder, one attempt each; the number removed.
int tmp_cleanup(const char* folder);

