// Actions: every user intent as one record naming a row of a fixed table. The key map, the
// pointer, MIDI and the panels only build records and append them to the application's pending
// list; the application carries them out once per frame. This file holds the record, the list,
// the table of names and the small pure rules the dispatcher follows (device, buffer and rate
// stepping). UI thread only.
#pragma once
#include <cstddef>
#include <cstdint>

// Stored in `value` by the MIDI map for every action that carries no integer of its own.
constexpr int32_t ACTION_FROM_MIDI = 0x4D494449;  // 'MIDI'
constexpr int32_t ACTION_KINDS = 85;
constexpr int32_t ACTION_LIST_MAX = 64;
constexpr int32_t ACTION_TEXT_BYTES = 1024;

enum ActionKind : int32_t {
  ACT_NONE = 0,
  ACT_PLAY_PAUSE = 1,
  ACT_RECORD = 2,
  ACT_REWIND = 3,
  ACT_STOP = 4,
  ACT_LOOP = 5,
  ACT_LOOP_IN = 6,
  ACT_LOOP_OUT = 7,
  ACT_MONITOR_TOGGLE = 8,
  ACT_MONITOR_SET = 9,
  ACT_TAP = 10,
  ACT_SCRUB_BEGIN = 11,
  ACT_SCRUB_MOVE = 12,
  ACT_SCRUB_END = 13,
  ACT_LOOP_HANDLE_DRAG = 14,
  ACT_ZOOM = 15,
  ACT_ZOOM_BACK = 16,
  ACT_PAN = 17,
  ACT_SCROLL = 18,
  ACT_STRIP_SCRUB = 19,
  ACT_STRIP_FLAG = 20,
  ACT_VIEW_WINDOW = 21,
  ACT_XY = 22,
  ACT_XY_NUDGE = 23,
  ACT_XY_CENTRE = 24,
  ACT_NORM_RAW = 25,
  ACT_ZEN_FULL = 26,
  ACT_TRIANGLE_DENSITY = 27,
  ACT_EDGES = 28,
  ACT_PAINT_MODE = 29,
  ACT_PAINT_COLOUR = 30,
  ACT_NEW_SKETCH = 31,
  ACT_OPEN_SKETCH = 32,
  ACT_RENAME = 33,
  ACT_RENAME_COMMIT = 34,
  ACT_RENAME_CANCEL = 35,
  ACT_EXPORT_WAV = 36,
  ACT_NORMALISE_EXPORTS = 37,
  ACT_OPEN_EXPORTS = 38,
  ACT_COPY_EXPORT = 39,
  ACT_SHOW_FILE = 40,
  ACT_CLEAR_ASK = 41,
  ACT_CLEAR = 42,
  ACT_DELETE_ASK = 43,
  ACT_DELETE = 44,
  ACT_LIBRARY_RENAME = 45,
  ACT_PREVIEW = 46,
  ACT_LIBRARY_EXPORT = 47,
  ACT_LIBRARY_TAB = 48,
  ACT_IMPORT = 49,
  ACT_LIBRARY_FOLDER = 50,
  ACT_LIBRARY_FOLDER_RESET = 51,
  ACT_LIBRARY = 52,
  ACT_BACK_TO_SKETCH = 53,
  ACT_SETTINGS = 54,
  ACT_HELP = 55,
  ACT_TRAINING = 56,
  ACT_WHATS_NEW = 57,
  ACT_SHARE = 58,
  ACT_WHATS_NEW_PAGE = 59,
  ACT_CLOSE_PANEL = 60,
  ACT_ESCAPE = 61,
  ACT_CONSOLE = 62,
  ACT_FULLSCREEN = 63,
  ACT_MINIMISE = 64,
  ACT_MAXIMISE = 65,
  ACT_QUIT = 66,
  ACT_OPEN_LINK = 67,
  ACT_COPY_TEXT = 68,
  ACT_AUDIO_DEVICE = 69,
  ACT_AUDIO_BUFFER = 70,
  ACT_SAMPLE_RATE = 71,
  ACT_EXCLUSIVE = 72,
  ACT_DRIVER_PANEL = 73,
  ACT_RESCAN = 74,
  ACT_AUDIO_RETRY = 75,
  ACT_MIC_PRIVACY = 76,
  ACT_MIDI_IN = 77,
  ACT_CURSOR_STEP = 78,
  ACT_CURSOR_TO_TAKE = 79,
  ACT_CURSOR_TO_END = 80,
  ACT_KEYS = 81,
  ACT_RIG = 82,
  ACT_RIG_SCENE = 83,
  ACT_BROADCAST = 84,
};

// Modifier bits of key and wheel events.
enum : uint32_t {
  KEYMOD_CTRL = 1u << 0,   // either Ctrl
  KEYMOD_SHIFT = 1u << 1,  // either Shift
  KEYMOD_ALT = 1u << 2,    // either Alt
};

// "audio retry" with this value retries the save instead of the audio.
constexpr int32_t ACTION_RETRY_SAVE = 7;

struct Action {
  int32_t kind;   // ActionKind
  int32_t value;  // integer argument, or ACTION_FROM_MIDI
  float x, y;     // real arguments
  char text[ACTION_TEXT_BYTES];  // NUL-terminated UTF-8
};

struct ActionList {
  Action items[ACTION_LIST_MAX];
  int32_t count;
};

struct ActionRow {
  const char* name;  // as logged; null for a missing row
  bool quiet;        // high-rate pointer actions are not logged
};

// Appends one record with x = y = 0. A full list drops it silently; a text of 1,024 bytes or more
// is cut to 1,023 without splitting a character; null text is stored empty. False when dropped.
bool actions_push(ActionList* list, int32_t kind, int32_t value, const char* text);
// The same with the real arguments and no text (the key map and the pointer).
bool actions_push_xy(ActionList* list, int32_t kind, int32_t value, float x, float y);
// A whole record (copied; its text is cut as above).
bool actions_append(ActionList* list, const Action* action);

// The table row of a kind; null outside 0..84.
const ActionRow* actions_row(int32_t kind);

// Copies text into out (size bytes with the terminator), cutting at a character boundary.
// Returns the bytes written without the terminator.
size_t actions_cut_utf8(char* out, size_t size, const char* text);
// Upper-cases ASCII a..z only, cut as above.
void actions_upper_ascii(char* out, size_t size, const char* text);

// Device stepping over count devices from current by step (0 means +1). 0 with *target set;
// -1 when there are no devices; -2 when the target is the current device.
int actions_device_target(int32_t count, int32_t current, int32_t step, int32_t* target);
// The next buffer size in 64..1024 (powers of two) from current, up for direction >= 0, wrapping.
int32_t actions_buffer_step(int32_t current, int32_t direction);
// The next rate of 0 (automatic), 44100, 48000, 88200, 96000 from current, wrapping.
int32_t actions_rate_step(int32_t current, int32_t direction);
