// The library list on the UI thread: refresh and merge of scans, the results of imports, renames
// and deletions, the operations the actions call, and the card preview through its player.
#include "store/library.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "store/filenames.h"
#include "store/files.h"
#include "store/jobs.h"
#include "base/log.h"
#include "store/meta.h"

namespace {

// A scan is asked for again only after this long (the library tab shown repeatedly).
constexpr double kRefreshSpacing = 2.0;

std::string lower_key(const char* s) {
  std::string k(s ? s : "");
  for (char& c : k)
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
  return k;
}


void free_rows(Library* library) {
  for (int32_t i = 0; i < library->count; i++) library_card_free(&library->rows[i]);
  free(library->rows);
  library->rows = nullptr;
  library->count = library->capacity = 0;
}

void remove_row(Library* library, int32_t index) {
  library_card_free(&library->rows[index]);
  memmove(&library->rows[index], &library->rows[index + 1],
          sizeof(LibraryCard) * (size_t)(library->count - index - 1));
  library->count--;
  library->version++;
}

int32_t find_folder(const Library* library, const char* folder) {
  for (int32_t i = 0; i < library->count; i++)
    if (library_same_text(library->rows[i].folder, folder)) return i;
  return -1;
}

// Delete, rename and export jobs are remembered so their results can be told apart from the
// session's jobs of the same kinds.
void track(Library* library, uint32_t sequence) {
  int32_t oldest = 0;
  for (int32_t i = 0; i < LIBRARY_TRACKED_JOBS; i++) {
    if (library->tracked[i] == 0) {
      library->tracked[i] = sequence;
      return;
    }
    if (library->tracked[i] < library->tracked[oldest]) oldest = i;
  }
  library->tracked[oldest] = sequence;
}

bool untrack(Library* library, uint32_t sequence) {
  if (sequence == 0) return false;
  for (int32_t i = 0; i < LIBRARY_TRACKED_JOBS; i++) {
    if (library->tracked[i] == sequence) {
      library->tracked[i] = 0;
      return true;
    }
  }
  return false;
}

uint32_t post_tracked(Library* library, JobQueue* queue, Job* job) {
  const uint32_t sequence = jobs_post(queue, job);
  if (sequence) track(library, sequence);
  return sequence;
}

// The characters a name never starts or ends with: space, tab to carriage return, U+00A0 and
// U+3000. Their length in bytes at s, 0 for anything else.
size_t blank_at(const unsigned char* s) {
  if (s[0] == ' ' || (s[0] >= 0x09 && s[0] <= 0x0D)) return 1;
  if (s[0] == 0xC2 && s[1] == 0xA0) return 2;
  if (s[0] == 0xE3 && s[1] == 0x80 && s[2] == 0x80) return 3;
  return 0;
}

// The blank character that ends s[0, n), its length, or 0.
size_t blank_before(const unsigned char* s, size_t n) {
  if (n >= 1 && (s[n - 1] == ' ' || (s[n - 1] >= 0x09 && s[n - 1] <= 0x0D))) return 1;
  if (n >= 2 && s[n - 2] == 0xC2 && s[n - 1] == 0xA0) return 2;
  if (n >= 3 && s[n - 3] == 0xE3 && s[n - 2] == 0x80 && s[n - 1] == 0x80) return 3;
  return 0;
}

void trim_name(const char* in, char* out, size_t size) {
  const unsigned char* s = (const unsigned char*)(in ? in : "");
  for (size_t k; (k = blank_at(s)) > 0;) s += k;
  library_copy_text(out, size, (const char*)s);
  size_t n = strlen(out);
  for (size_t k; (k = blank_before((const unsigned char*)out, n)) > 0;) n -= k;
  out[n] = 0;
}

void clear_preview(Library* library) {
  if (library->preview_id[0] || library->preview_pending) library->version++;
  library->preview_id[0] = 0;
  library->preview_pending = false;
  library->preview_job = 0;
}

void preview_loaded(Library* library, Job* job) {
  // Only the job of the preview asked for last: an earlier one that was stopped or switched
  // away from is dropped (its tape goes with the job).
  if (!library->preview_pending || job->sequence != library->preview_job ||
      !library_same_text(job->sketch_id, library->preview_id))
    return;
  if (job->result != JOB_DONE || !job->tape_out) {
    clear_preview(library);
    return;
  }
  const LibraryPlayer* p = &library->player;
  if (!p->play || !p->play(p->user, job->tape_out)) {
    log_line("library: %s - the preview of %s didn't start",
             p->play ? "the command ring is full" : "no audio core", job->sketch_id);
    clear_preview(library);
    return;
  }
  job->tape_out = nullptr;  // the player's now
  library->preview_pending = false;
  library->version++;
}

void merge(Library* library, Job* job) {
  // A scan of a folder the library has since left is of no use.
  if (!library_same_text(job->folder, library->folder)) return;
  library->scanning = false;
  library->last_scan_at = clock_monotonic();
  if (job->result != JOB_DONE) return;

  const int32_t scanned = job->cards ? job->card_count : 0;
  LibraryCard* cards = job->cards;

  // Folders listed when the scan began.
  std::unordered_set<std::string> start;
  if (job->data) {
    size_t at = 0;
    while (at < job->data_size) {
      const char* s = (const char*)job->data + at;
      size_t n = strnlen(s, job->data_size - at);
      start.insert(lower_key(std::string(s, n).c_str()));
      at += n + 1;
    }
  }
  std::unordered_map<std::string, int32_t> scannedAt;
  for (int32_t i = 0; i < scanned; i++) scannedAt.emplace(lower_key(cards[i].folder), i);
  std::unordered_set<std::string> current;
  for (int32_t i = 0; i < library->count; i++) current.insert(lower_key(library->rows[i].folder));

  const size_t capacity = (size_t)scanned + (size_t)library->count + 1;
  LibraryCard* rows = (LibraryCard*)library_malloc(sizeof(LibraryCard) * capacity);
  if (!rows) {
    log_line("library: out of memory applying a scan - keeping the old list");
    return;
  }

  std::vector<uint8_t> superseded((size_t)scanned);
  std::unordered_set<std::string> taken;
  int32_t n = 0, kept = 0, gone = 0, deleted = 0;
  for (int32_t i = 0; i < library->count; i++) {
    LibraryCard* row = &library->rows[i];
    const std::string key = lower_key(row->folder);
    auto it = scannedAt.find(key);
    bool keep;
    if (it != scannedAt.end()) {
      // The sketch open when the scan began is the session's: its row stays as the session
      // last set it.
      keep = job->sketch_id[0] && library_same_text(cards[it->second].id, job->sketch_id);
      if (keep) superseded[(size_t)it->second] = 1;
    } else if (start.count(key)) {
      keep = false;  // gone from the disk
      gone++;
    } else {
      keep = true;  // added after the scan began
      kept++;
    }
    if (keep) {
      memcpy(&rows[n++], row, sizeof *row);
      taken.insert(key);
    } else {
      library_card_free(row);
    }
  }
  for (int32_t i = 0; i < scanned; i++) {
    LibraryCard* card = &cards[i];
    const std::string key = lower_key(card->folder);
    bool take = !superseded[(size_t)i];
    if (take && start.count(key) && !current.count(key) && !taken.count(key)) {
      take = false;  // deleted while the scan ran
      deleted++;
    }
    if (take) {
      memcpy(&rows[n++], card, sizeof *card);
      taken.insert(key);
    } else {
      library_card_free(card);
    }
  }
  // Every card now lives in rows or is freed.
  free(job->cards);
  job->cards = nullptr;
  job->card_count = 0;
  free(library->rows);
  library->rows = rows;
  library->count = n;
  library->capacity = (int32_t)capacity;
  library_sort(library->rows, library->count);
  library->version++;
  if (kept || gone || deleted)
    log_line(
        "library: scan merged (%d rows, %d kept from after the scan began, %d gone, %d deleted "
        "meanwhile)",
        n, kept, gone, deleted);
}

int refresh(Library* library, JobQueue* queue, const char* openSketchId, double now) {
  if (!library || !library->folder[0] || library->scanning) return 1;
  Job* job = library_scan_begin(library, openSketchId, now);
  if (!job) return -1;
  if (jobs_post(queue, job) == 0) {
    // Dropped (and logged): a later refresh may try again.
    library->scanning = false;
    return -1;
  }
  return 0;
}

// A folder cut to fit would name another folder, whose sketches a scan would then clean and
// migrate: one that doesn't fit leaves no library instead.
void take_folder(Library* library, const char* folder) {
  if (!library_copy_text(library->folder, sizeof library->folder, folder)) {
    log_line("library: the folder %s is too long - no library", folder);
    library->folder[0] = 0;
  }
}

}  // namespace

// ---- the list ----

void library_init(Library* library, const char* folder) {
  if (!library) return;
  memset(library, 0, sizeof *library);
  take_folder(library, folder);
}

void library_set_folder(Library* library, const char* folder) {
  if (!library) return;
  free_rows(library);
  take_folder(library, folder);
  library->version++;
  library->scanning = false;
  library->last_scan_at = 0;
}

void library_free(Library* library) {
  if (!library) return;
  free_rows(library);
  memset(library, 0, sizeof *library);
}

Job* library_scan_begin(Library* library, const char* openSketchId, double now) {
  if (!library || !library->folder[0] || library->scanning) return nullptr;
  Job* job = job_new(JOB_SCAN_LIBRARY);
  size_t bytes = 0;
  for (int32_t i = 0; i < library->count; i++) bytes += strlen(library->rows[i].folder) + 1;
  uint8_t* data = bytes ? (uint8_t*)library_malloc(bytes) : nullptr;
  if (!job || (bytes && !data)) {
    log_line("library: out of memory starting a scan of %s", library->folder);
    free(data);
    job_free(job);
    return nullptr;
  }
  library_copy_text(job->folder, sizeof job->folder, library->folder);
  library_copy_text(job->sketch_id, sizeof job->sketch_id, openSketchId);
  size_t at = 0;
  for (int32_t i = 0; i < library->count; i++) {
    size_t n = strlen(library->rows[i].folder) + 1;
    memcpy(data + at, library->rows[i].folder, n);
    at += n;
  }
  job->data = data;
  job->data_size = bytes;
  library->scanning = true;
  library->last_scan_at = now;
  return job;
}

int library_refresh(Library* library, JobQueue* queue, const char* openSketchId) {
  return refresh(library, queue, openSketchId, clock_monotonic());
}

int library_refresh_soon(Library* library, JobQueue* queue, const char* openSketchId, double now) {
  if (!library || library->scanning) return 1;
  if (library->last_scan_at != 0 && !(now - library->last_scan_at > kRefreshSpacing)) return 1;
  return refresh(library, queue, openSketchId, now);
}

void library_set_player(Library* library, const LibraryPlayer* player) {
  if (!library) return;
  library->player = player ? *player : LibraryPlayer{};
}

bool library_on_job(Library* library, Job* job) {
  if (!library || !job) return false;
  switch (job->kind) {
    case JOB_IMPORT_AUDIO:
      if (job->result == JOB_DONE && job->meta_out && library->folder[0] &&
          library_same_text(job->folder, library->folder)) {
        char folder[LIBRARY_PATH_MAX + 1];
        if (job->result_path[0])
          library_copy_text(folder, sizeof folder, job->result_path);
        else
          path_join(folder, sizeof folder, library->folder, job->meta_out->id);
        library_upsert(library, job->meta_out, folder);
      }
      return true;
    case JOB_SCAN_LIBRARY:
      merge(library, job);
      return true;
    case JOB_DELETE_DIR: {
      const bool mine = untrack(library, job->sequence);
      if (job->result == JOB_DONE) {
        int32_t i = find_folder(library, job->folder);
        if (i >= 0) remove_row(library, i);
      }
      return mine;
    }
    case JOB_RENAME: {
      const bool mine = untrack(library, job->sequence);
      if (job->result == JOB_DONE) {
        int32_t i = find_folder(library, job->folder);
        if (i >= 0) {
          if (job->result_path[0])
            library_copy_text(library->rows[i].sidecar_name, sizeof library->rows[i].sidecar_name,
                              path_base_name(job->result_path));
          library->version++;
        }
      }
      return mine;
    }
    case JOB_LOAD_PREVIEW:
      preview_loaded(library, job);
      return true;
    case JOB_COPY_FILE:
      return untrack(library, job->sequence);
    default:
      return false;
  }
}

void library_upsert(Library* library, const SketchMeta* meta, const char* folder) {
  if (!library || !meta) return;
  const int32_t at = library_find(library, meta->id);
  char path[LIBRARY_PATH_MAX + 1];
  if (folder && folder[0])
    library_copy_text(path, sizeof path, folder);
  else if (at >= 0)
    library_copy_text(path, sizeof path, library->rows[at].folder);
  else
    path_join(path, sizeof path, library->folder, meta->id);

  LibraryCard card;
  if (library_card_from_meta(&card, meta, path) != 0)
    log_line("library: out of memory building the card for %s - the row shows without its drawing",
             path);
  if (at >= 0) {
    library_card_free(&library->rows[at]);
    memcpy(&library->rows[at], &card, sizeof card);
  } else {
    if (library->count >= library->capacity) {
      const int32_t grown =
          library->capacity < LIBRARY_FIRST_ROWS ? LIBRARY_FIRST_ROWS : library->capacity * 2;
      LibraryCard* rows = (LibraryCard*)library_malloc(sizeof(LibraryCard) * (size_t)grown);
      if (!rows) {
        log_line("library: out of memory growing the list to %d rows", grown);
        library_card_free(&card);
        return;
      }
      if (library->count) memcpy(rows, library->rows, sizeof(LibraryCard) * (size_t)library->count);
      free(library->rows);
      library->rows = rows;
      library->capacity = grown;
    }
    memmove(&library->rows[1], &library->rows[0], sizeof(LibraryCard) * (size_t)library->count);
    memcpy(&library->rows[0], &card, sizeof card);
    library->count++;
  }
  library->version++;
}

int32_t library_find(const Library* library, const char* id) {
  if (!library || !id || !id[0]) return -1;
  for (int32_t i = 0; i < library->count; i++)
    if (library_same_text(library->rows[i].id, id)) return i;
  return -1;
}

bool library_folder_for(const Library* library, const char* id, char* out, size_t size) {
  const int32_t i = library_find(library, id);
  if (i < 0 || !out || size == 0) return false;
  return library_copy_text(out, size, library->rows[i].folder);
}

int32_t library_first_openable(const Library* library) {
  if (!library) return -1;
  for (int32_t i = 0; i < library->count; i++)
    if (!library->rows[i].damaged && !library->rows[i].legacy) return i;
  return -1;
}

bool library_openable_at(const Library* library, int32_t index, char* out, size_t size) {
  if (!library || index < 0 || !out || size == 0) return false;
  for (int32_t i = 0; i < library->count; i++) {
    const LibraryCard* row = &library->rows[i];
    if (row->damaged || row->legacy) continue;
    if (index-- == 0) return library_copy_text(out, size, row->folder);
  }
  return false;
}

// ---- operations ----

int library_delete(Library* library, JobQueue* queue, const char* id) {
  const int32_t i = library_find(library, id);
  if (i < 0) return -1;
  const LibraryCard* row = &library->rows[i];
  Job* job = job_new(JOB_DELETE_DIR);
  if (!job) {
    log_line("library: out of memory deleting %s - it stays", row->folder);
    return -1;
  }
  library_copy_text(job->folder, sizeof job->folder, row->folder);
  library_copy_text(job->sketch_id, sizeof job->sketch_id, row->id);
  // A delete that never runs leaves the card where the user can still see the sketch.
  if (!post_tracked(library, queue, job)) return -1;
  remove_row(library, i);
  return 0;
}

int library_rename(Library* library, JobQueue* queue, const char* id, const char* newName) {
  const int32_t i = library_find(library, id);
  if (i < 0) return -1;
  LibraryCard* row = &library->rows[i];
  if (row->damaged || row->legacy) return -2;
  char name[LIBRARY_NAME_MAX + 1];
  trim_name(newName, name, sizeof name);
  if (strcmp(name, row->name) == 0) return 0;

  Job* job = job_new(JOB_RENAME);
  if (!job) {
    log_line("library: out of memory renaming %s", row->folder);
    return -1;
  }
  library_copy_text(job->folder, sizeof job->folder, row->folder);
  library_copy_text(job->name, sizeof job->name, name);
  library_copy_text(job->path2, sizeof job->path2, row->sidecar_name);
  library_copy_text(job->sketch_id, sizeof job->sketch_id, row->id);
  if (!post_tracked(library, queue, job)) return -1;

  library_copy_text(row->name, sizeof row->name, name);
  SketchMeta titled{};
  library_copy_text(titled.name, sizeof titled.name, name);
  titled.createdAt = row->created_at;
  meta_title(&titled, row->title, sizeof row->title);
  if (sidecar_wav_name(row->title, row->sidecar_name, sizeof row->sidecar_name) != 0)
    row->sidecar_name[0] = 0;
  library->version++;
  return 0;
}

int library_export(Library* library, JobQueue* queue, const char* id, const char* exportsFolder) {
  const int32_t i = library_find(library, id);
  if (i < 0) return -1;
  const LibraryCard* row = &library->rows[i];
  if (row->empty || row->damaged || row->legacy) return -2;
  // Without an exports folder the copy would land wherever the program happens to run.
  if (!exportsFolder || !exportsFolder[0]) {
    log_line("library: no exports folder - %s isn't exported", row->folder);
    return -1;
  }
  char sidecar[LIBRARY_SIDECAR_MAX + 1];
  char exportName[LIBRARY_PATH_MAX + 1];
  Job* job = job_new(JOB_COPY_FILE);
  if (!job || sidecar_wav_name(row->title, sidecar, sizeof sidecar) != 0 ||
      export_wav_name(row->title, false, exportName, sizeof exportName) != 0 ||
      path_join(job->path, sizeof job->path, row->folder, sidecar) < 0 ||
      path_join(job->path2, sizeof job->path2, exportsFolder, exportName) < 0) {
    log_line("library: couldn't start the export of %s", row->folder);
    job_free(job);
    return -1;
  }
  library_copy_text(job->folder, sizeof job->folder, row->folder);
  library_copy_text(job->sketch_id, sizeof job->sketch_id, row->id);
  return post_tracked(library, queue, job) ? 0 : -1;
}

int library_import(Library* library, JobQueue* queue, const char* const* paths, int32_t count) {
  if (!library || !library->folder[0]) return -1;
  if (!paths || count <= 0) return 0;
  int32_t posted = 0, taken = 0;
  for (int32_t i = 0; i < count; i++) {
    const char* path = paths[i];
    if (!path || !path[0]) continue;
    // A cut path could name another file: refuse it whole.
    if (strlen(path) > LIBRARY_PATH_MAX) {
      log_line("library: a path of %zu bytes is too long to import", strlen(path));
      continue;
    }
    if (taken == LIBRARY_IMPORT_MAX) {
      log_line("library: import takes %d files at a time - the rest stay out", LIBRARY_IMPORT_MAX);
      break;
    }
    taken++;
    Job* job = job_new(JOB_IMPORT_AUDIO);
    if (!job) {
      log_line("library: out of memory importing %s", path);
      continue;
    }
    library_copy_text(job->path, sizeof job->path, path);
    library_copy_text(job->folder, sizeof job->folder, library->folder);
    // The label names the file without its folder and extension.
    char name[LIBRARY_PATH_MAX + 1];
    library_copy_text(name, sizeof name, path_base_name(path));
    char* dot = strrchr(name, '.');
    if (dot && dot != name) *dot = 0;
    char shortName[LIBRARY_LABEL_NAME_MAX + 1];
    library_copy_text(shortName, sizeof shortName, name);
    snprintf(job->label, sizeof job->label, "IMPORTING %s…", shortName);
    if (jobs_post(queue, job)) posted++;
  }
  return posted;
}

// ---- preview ----

void library_preview_stop(Library* library) {
  if (!library) return;
  if (library_preview_playing(library)) {
    const LibraryPlayer* p = &library->player;
    if (!p->stop || !p->stop(p->user))
      log_line("library: the command ring is full - the preview plays out on its own");
  }
  clear_preview(library);
}

void library_preview_toggle(Library* library, JobQueue* queue, const char* id,
                            double targetRate) {
  if (!library || !id || !id[0]) return;
  if (library->preview_id[0] && library_same_text(library->preview_id, id)) {
    library_preview_stop(library);  // a second press stops
    return;
  }
  if (library->preview_id[0]) library_preview_stop(library);
  const int32_t i = library_find(library, id);
  if (i < 0 || library->rows[i].legacy) return;
  const LibraryCard* row = &library->rows[i];
  Job* job = job_new(JOB_LOAD_PREVIEW);
  if (!job) {
    log_line("library: out of memory starting the preview of %s", row->folder);
    return;
  }
  library_copy_text(job->folder, sizeof job->folder, row->folder);
  // A damaged card's side-car name is unknown: the job looks for any WAV, then tape.f32.
  if (!row->damaged) library_copy_text(job->name, sizeof job->name, row->sidecar_name);
  library_copy_text(job->sketch_id, sizeof job->sketch_id, row->id);
  job->target_rate = targetRate;
  const uint32_t sequence = jobs_post(queue, job);
  if (!sequence) return;
  library_copy_text(library->preview_id, sizeof library->preview_id, row->id);
  library->preview_pending = true;
  library->preview_job = sequence;
  library->version++;
}

bool library_preview_seek(Library* library, int64_t frame) {
  const LibraryPlayer* p = library ? &library->player : nullptr;
  if (!library_preview_playing(library) || !p->seek) return false;
  return p->seek(p->user, frame);
}

void library_preview_ended(Library* library) {
  // An end that arrives while the next card's preview still loads belongs to the one before.
  if (!library || library->preview_pending) return;
  clear_preview(library);
}

bool library_preview_playing(const Library* library) {
  return library && library->preview_id[0] && !library->preview_pending;
}

// ---- sketches ----

bool library_sketch_is_blank(const SketchMeta* meta, const char* folder) {
  if (!meta || meta->lengthSamples != 0 || meta->hasLegacyLayers) return false;
  char tapePath[PATH_JOIN_MAX + 1];
  if (!folder || path_join(tapePath, sizeof tapePath, folder, "tape.f32") < 0) return true;
  return file_size(tapePath) <= 0;
}
