// The library: one card per sketch folder in the library folder, newest first, kept on the UI
// thread. A background scan (the SCAN_LIBRARY job) reads every folder's meta.json, quietly
// migrates old sketches and builds the cards; the UI thread merges them so that nothing done
// while the scan ran is lost. Imports, renames and deletions update the list in place through
// their jobs. Folders that can't be read, and copies of another sketch's folder (same id), are
// listed read-only and never rewritten. A card can be previewed through the player's preview
// channel.
//
// Everything here runs on the UI thread except library_scan_job, library_scan_folder and the
// card builders, which the IO worker runs while building a scan's cards. Log prefix "library:".
#pragma once
#include <cstddef>
#include <cstdint>

#include "store/meta.h"
#include "store/uuid.h"

struct Tape;

// Where previews play: the program hands them to the audio (app/preview.h); the library never
// talks to the audio itself. Each call returns false when it couldn't be given.
struct LibraryPlayer {
  void* user;
  bool (*play)(void* user, Tape* tape);  // takes the tape when it returns true
  bool (*stop)(void* user);
  bool (*seek)(void* user, int64_t frame);
};
struct Job;
struct JobQueue;

enum {
  LIBRARY_PATH_MAX = 1023,
  LIBRARY_NAME_MAX = 255,
  LIBRARY_TITLE_MAX = 255,
  LIBRARY_SIDECAR_MAX = 95,
  LIBRARY_MESSAGE_MAX = 127,
  LIBRARY_THUMB_STROKES = 80,
  LIBRARY_IMPORT_MAX = 64,      // files taken by one import (the file dialog's limit)
  LIBRARY_FIRST_ROWS = 64,      // the list grows to this, then doubles
  LIBRARY_LABEL_NAME_MAX = 47,  // bytes of a file name in an import's busy label
  LIBRARY_TRACKED_JOBS = 128,   // delete, rename and export jobs remembered until they return
};

// A layer's drawing on a card: its place on the tape and at most 80 of its strokes.
struct LayerThumb {
  int64_t start_sample;
  int64_t length_samples;
  float strokes[LIBRARY_THUMB_STROKES];
  int32_t stroke_count;
  bool has_explicit_y;
  double explicit_y;
  bool has_explicit_color;
  MetaRgb explicit_color;
};

// One sketch folder as the list shows it. Plain data apart from thumbs and waveform (malloc'd,
// released by library_card_free), so cards move by copying the bytes.
struct LibraryCard {
  Uuid uuid;
  char id[UUID_TEXT_BYTES];
  char folder[LIBRARY_PATH_MAX + 1];
  char name[LIBRARY_NAME_MAX + 1];
  char title[LIBRARY_TITLE_MAX + 1];  // meta_title; a damaged card's folder name
  char sidecar_name[LIBRARY_SIDECAR_MAX + 1];
  double created_at;  // seconds since 2001
  double duration;   // seconds
  double sample_rate;
  int64_t length_samples;
  int32_t channels;
  bool has_picked_color;
  MetaRgb picked_color;
  uint8_t empty;    // no audio (a damaged card: no tape.f32)
  uint8_t damaged;  // read-only: meta.json unreadable, or a copy of another sketch (same id)
  uint8_t legacy;   // the phone's old "layers" list and no tape.f32
  char message[LIBRARY_MESSAGE_MAX + 1];  // why it is damaged
  LayerThumb* thumbs;
  int32_t thumb_count;
  float* waveform;
  int32_t waveform_count;
};
using SketchCard = LibraryCard;

struct Library {
  LibraryCard* rows;
  int32_t count;
  int32_t capacity;
  char folder[LIBRARY_PATH_MAX + 1];
  uint64_t version;   // grows with every visible change
  bool scanning;      // a SCAN_LIBRARY job is out
  double last_scan_at;  // monotonic seconds of the last scan posted or finished; 0 before the first
  char preview_id[UUID_TEXT_BYTES];  // the card being previewed, "" when none
  bool preview_pending;              // its LOAD_PREVIEW job is still out
  uint32_t preview_job;              // that job's sequence number
  LibraryPlayer player;             // where previews play (none: they don't start)
  // Delete, rename and export jobs posted here and not yet back (sequence numbers, 0 free).
  uint32_t tracked[LIBRARY_TRACKED_JOBS];
};

// What a scan counts for its log line.
struct LibraryScanCounters {
  int32_t damaged;
  int32_t legacy;
  int32_t migrated;
  int32_t stray;  // .tmp files removed
};

// ---- the list ----

// Zeroes library and takes folder (may be null or empty: no library yet).
void library_init(Library* library, const char* folder);
// Frees every row, takes folder, version + 1, scanning off, last_scan_at 0.
void library_set_folder(Library* library, const char* folder);
void library_free(Library* library);

// Posts a SCAN_LIBRARY job that marks openSketchId (may be null or empty) as open. Nothing
// without a folder or while scanning. 0 posted, 1 nothing to do, -1 the job couldn't be posted.
int library_refresh(Library* library, JobQueue* queue, const char* openSketchId);
// library_refresh when not scanning and no scan was ever posted or more than 2 s passed since
// last_scan_at. now is monotonic seconds (clock_monotonic).
int library_refresh_soon(Library* library, JobQueue* queue, const char* openSketchId, double now);
// The scan job library_refresh posts, with scanning and last_scan_at (now) set; null when it can't
// be made (nothing changed). For callers that post it themselves.
Job* library_scan_begin(Library* library, const char* openSketchId, double now);

// Takes the results of a finished job of kinds IMPORT_AUDIO, SCAN_LIBRARY, DELETE_DIR, RENAME,
// LOAD_PREVIEW and COPY_FILE (rows removed, renamed, added, merged; a preview started). Returns
// true when the job was the library's: its scans, imports and previews, and the deletes, renames
// and exports it posted. The caller still frees the job; a tape it started playing is the player's.
bool library_on_job(Library* library, Job* job);
// Where previews play from now on (null: nowhere).
void library_set_player(Library* library, const LibraryPlayer* player);

// Adds or replaces the card of meta's sketch. folder may be null or empty (the existing row's,
// else the library folder joined with the id). Also what the session calls after a save.
void library_upsert(Library* library, const SketchMeta* meta, const char* folder);

// Index of the card with id (case-insensitive), or -1.
int32_t library_find(const Library* library, const char* id);
// The folder of the card with id into out; false when there is none or it doesn't fit.
bool library_folder_for(const Library* library, const char* id, char* out, size_t size);
// Index of the newest card that can be opened (neither damaged nor legacy), or -1.
int32_t library_first_openable(const Library* library);
// The folder of the index-th card that can be opened (newest first); false past the end.
bool library_openable_at(const Library* library, int32_t index, char* out, size_t size);

// ---- operations (actions) ----

// Posts DELETE_DIR for the card's folder and removes the row at once. 0, or -1 (no such card,
// or the job couldn't be posted: the row stays).
int library_delete(Library* library, JobQueue* queue, const char* id);
// Renames the card's sketch (RENAME job) and updates its row. 0 (also when the name is
// unchanged), -1 no such card or the job couldn't be posted, -2 damaged or legacy.
int library_rename(Library* library, JobQueue* queue, const char* id, const char* newName);
// Copies the card's side-car WAV into exportsFolder (COPY_FILE). 0, -1 no such card or the job
// couldn't be posted, -2 empty, damaged or legacy (the caller tells the user why).
int library_export(Library* library, JobQueue* queue, const char* id, const char* exportsFolder);
// One IMPORT_AUDIO job per non-empty path, at most LIBRARY_IMPORT_MAX. The number posted, -1
// without a library folder.
int library_import(Library* library, JobQueue* queue, const char* const* paths, int32_t count);

// ---- preview ----

// Starts the card's preview (stopping another one), or stops it when it is the one previewing.
// target_rate is the device's rate.
void library_preview_toggle(Library* library, JobQueue* queue, const char* id, double targetRate);
// Stops a preview: the player lets go of a playing tape; the state clears.
void library_preview_stop(Library* library);
// Moves a playing preview to frame. False when none plays or the player can't take it.
bool library_preview_seek(Library* library, int64_t frame);
// The core's EV_PREVIEW_ENDED: the preview played out.
void library_preview_ended(Library* library);
// A preview is playing (set and loaded).
bool library_preview_playing(const Library* library);

// ---- sketches ----

// lengthSamples is 0, no legacy "layers" list, and folder's tape.f32 missing or empty: an
// untouched sketch.
bool library_sketch_is_blank(const SketchMeta* meta, const char* folder);

// ---- cards (also on the IO worker) ----

// Fills card from meta (folder cut at a character boundary). 0, or -1 when the thumbs or the
// waveform couldn't be allocated (the card is complete without them). card's old contents are
// not released.
int library_card_from_meta(LibraryCard* card, const SketchMeta* meta, const char* folder);
// A read-only card for a folder whose meta.json can't be read. reason may be null.
void library_card_damaged(LibraryCard* card, const char* folderPath, const char* folderName,
                          const char* reason, int64_t tapeSize);
// Releases the card's thumbs and waveform and zeroes it.
void library_card_free(LibraryCard* card);
// Frees count cards and the malloc'd array (the Job's cards_free).
void library_cards_free(LibraryCard* cards, int32_t count);
// The card's colour: its picked colour, else the palette entry of its id.
MetaColour library_card_colour(const LibraryCard* card);

// Newest first (equal dates: the folder named by its id first, then by folder without regard to
// case); then every later card with the id of an earlier one is marked a read-only copy with an
// id derived from its folder.
void library_sort(LibraryCard* cards, int32_t count);

// ---- the scan (IO worker) ----

// The SCAN_LIBRARY job: job->folder is the library folder, job->sketch_id the open sketch.
// Leaves the sorted cards in job->cards (job->cards_free set); result 3 when cancelled.
void library_scan_job(Job* job);
// Reads one sketch folder into card, migrating it when that is safe. False when no card was
// made (no meta.json).
bool library_scan_folder(const char* libraryFolder, const char* folderName, const char* openId,
                         LibraryCard* card, LibraryScanCounters* counters);

// ---- shared by the library's files ----

// Texts equal, ASCII letters compared without regard to case (ids, folders).
bool library_same_text(const char* a, const char* b);
// Copies src into dst (size bytes), cut at a character boundary. False when cut.
bool library_copy_text(char* dst, size_t size, const char* src);
// malloc, failing on demand in tests.
void* library_malloc(size_t bytes);

// Tests only: after `after` more successful allocations every allocation of the library fails;
// -1 turns it off.
void library_debug_fail_allocations(int64_t after);
