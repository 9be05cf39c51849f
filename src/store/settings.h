// Preferences and small state mirrored to kelp.ini: a flat "key = value" file a person can edit.
// Unknown keys and malformed values are ignored and every value is clamped on reading, so a
// hand-edited file can't break the program. Belongs to the UI thread.
#pragma once
#include <cstddef>

enum {
  SETTINGS_ID_BYTES = 36,
  SETTINGS_CURSORS_BYTES = 1663,
  SETTINGS_CURSORS_MAX = 32,
  SETTINGS_SAVE_BYTES = 8192,
  SETTINGS_LIVE_BYTES = 16384,  // buffer for the text of a live (queued) save
};

// Named by the file's keys. Text fields are terminated and zero-filled after the terminator, so
// two records compare byte for byte.
struct Settings {
  int win_x, win_y;  // -100000..100000
  int win_w, win_h;  // 0..32768, 0: not saved
  int win_max;
  int fullscreen;
  char last_opened[SETTINGS_ID_BYTES + 1];   // a sketch id in upper case, or empty
  char cursors[SETTINGS_CURSORS_BYTES + 1];  // "ID:seconds,ID:seconds", most recent first
  int triangle_stride;                       // 1..8
  int raw_playback;
  int full_ui;
  int paint_mode;
  float input_pan, input_distance;  // -1..1
  char device[128];
  int buffer_frames;  // 32..4096
  int sample_rate;    // 0 (the device's own) or 8000..384000
  int exclusive;
  int broadcast;
  int midi_off;
  int export_normalize;
  int canvas_2x;
  int lib_tab;  // 0..1
  char library_dir[1024];
  char whatsnew_seen[24];
  char training_done[512];
  char training_unseen[512];
  char training_found[1024];
  int rig_open;
  float rig_scroll;  // 0..64
  int rig_sel;       // -1..63
};

void settings_defaults(Settings* s);
// 0 when the file was read, 1 when defaults are used (missing file, or unreadable: logged).
int settings_load(Settings* s, const char* path);
// Applies the lines of text over s; malformed lines and values leave fields as they were.
void settings_parse(Settings* s, const char* text);
// Clamps every field to its valid values and puts the texts in normal form.
void settings_sanitise(Settings* s);
// The file's text (terminated); its length, or -1 when it does not fit size.
int settings_serialise(const Settings* s, char* out, size_t size);
// Writes the file safely, making its folder when missing. 0 or -1 (logged).
int settings_save(const Settings* s, const char* path);
// True, with s copied into saved, when the two differ.
bool settings_changed(const Settings* s, Settings* saved);

// The number ini files use: optional sign, decimal digits with an optional fraction and
// exponent, spaces or tabs around. False for anything else or a non-finite result.
bool ini_number(const char* text, double* out);

// Where each recent sketch's cursor was (ids in either case). get: true when id has an entry.
bool cursors_get(const Settings* s, const char* id, double* seconds);
// Puts id first with its seconds; true when the stored list changed.
bool cursors_set(Settings* s, const char* id, double seconds);
// True when id's entry was removed.
bool cursors_remove(Settings* s, const char* id);
