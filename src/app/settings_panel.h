// The SETTINGS panel: its 29 rows (section, label, kind, help line), the value and note each row
// shows, what adjusting or using a row appends to the pending actions, and the panel's own keys,
// pointer, wheel and drawing. Rows are named by their id (0..28) everywhere; the display order is
// the table's. Nothing here changes a setting itself: every change goes through an action.
// UI thread only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "audio/audio_engine.h"
#include "control/actions.h"
#include "ui/draw.h"
#include "ui/text.h"

struct App;
struct Painter;
struct SessionSnapshot;

constexpr int32_t SETTINGS_ROW_COUNT = 29;
constexpr int32_t SETTINGS_SCENES = 4;
constexpr int32_t SETTINGS_SWATCHES = 12;
constexpr int32_t SETTINGS_MIDI_LINES = 16;  // MIDI inputs listed under SOURCES at most
// The help line under the selected row: the layout wraps it in this style, the drawing draws it.
constexpr TextStyle SETTINGS_HELP_STYLE = {TEXT_HEAD, 12.0f, 400, 0.0f};

enum SettingsKind : int32_t {
  SETTINGS_SWITCH = 0,
  SETTINGS_CHOICE = 1,
  SETTINGS_SCENE_PICKER = 2,
  SETTINGS_COLOUR_PICKER = 3,
  SETTINGS_BUTTON = 4,
  SETTINGS_INFO = 5,
  SETTINGS_DANGER = 6,
};

// Row ids.
enum SettingsRowId : int32_t {
  SET_ZEN = 0,
  SET_DENSITY = 1,
  SET_EDGES = 2,
  SET_SCENE = 3,
  SET_MONITOR = 4,
  SET_PLAYBACK = 5,
  SET_DEVICE = 6,
  SET_EXCLUSIVE = 7,
  SET_RATE = 8,
  SET_BUFFER = 9,
  SET_DRIVER_PANEL = 10,
  SET_RESCAN = 11,
  SET_AUDIO = 12,
  SET_PAINT_MODE = 13,
  SET_COLOUR = 14,
  SET_MIDI_IN = 15,
  SET_SOURCES = 16,
  SET_EXPORT = 17,
  SET_NORMALISE = 18,
  SET_EXPORTS_FOLDER = 19,
  SET_LIBRARY_FOLDER = 20,
  SET_CLEAR = 21,
  SET_HELP = 22,
  SET_TRAINING = 23,
  SET_WHATS_NEW = 24,
  SET_DISCORD = 25,
  SET_KEYS = 26,
  SET_RIG = 27,
  SET_BROADCAST = 28,
};

struct SettingsRow {
  int32_t id;
  int32_t kind;  // SettingsKind
  const char* section;
  const char* label;
  const char* help;  // may hold {done}, {total}, {version}
};

// The community invite link DISCORD opens.
extern const char* const SETTINGS_COMMUNITY_LINK;

// The row shown at display position index (0..28), or null.
const SettingsRow* settings_row_at(int32_t index);
// The row with this id, or null.
const SettingsRow* settings_row(int32_t id);
// The display position of a row id, or -1.
int32_t settings_row_index(int32_t id);

struct SettingsMidiInput {
  char name[128];
  bool busy;  // a DAW holds it
};

// Everything the values need that is not on the App. The caller fills it each frame:
// settings_context_fill sets the session, audio and folder fields from the App and clears the
// rest, which the window then sets from its own parts. Text pointers may be null (empty).
struct SettingsContext {
  const SessionSnapshot* snap;  // null without a session
  bool has_audio;               // false without an engine
  AudioStatus audio;
  const char* library_folder;
  bool library_default;  // no custom folder is set
  const char* exports_folder;

  bool too_short;  // the window is too short for the full layout
  int32_t training_done, training_total;
  const char* version;            // the program's version
  const char* whats_new_version;  // the entry WHAT'S NEW shows on opening

  bool rig_present, rig_loading, rig_read_only, rig_all_muted;
  int32_t rig_live, rig_total;
  int32_t rig_scene;  // 0..3
  bool rig_panel;     // a rig panel exists this run

  bool midi_on;
  const char* midi_last;  // the last MIDI message's text
  double midi_activity_until;  // the monitor lamp is lit until then (the frame's clock)
  const SettingsMidiInput* midi_inputs;
  int32_t midi_input_count;
  bool midi_daw_mode;  // a Launch Control XL 3 is in DAW mode
  const char* midi_daw_port;

  bool station_built, station_on_air;
  int32_t station_listeners;
  const char* station_stream;
  const char* firewall_message;  // "" when the rule has nothing to say

  bool sound_tool_installed;  // the sound server's own settings tool
  const char* sound_tool_name;

  bool rescan_waiting;  // a rescan waits for the transport to stop
};

// Clears ctx and fills the session snapshot, the engine's status (through the session when it
// stands between), the library and exports folders and the default-library flag from the App.
void settings_context_fill(SettingsContext* ctx, const App* app);

// The help line of a row with {done}, {total} and {version} filled in.
void settings_help(const SettingsContext* ctx, int32_t id, char* out, size_t size);
// The texts at a row's right: its value and the note after it (either may be empty).
void settings_value(const App* app, const SettingsContext* ctx, int32_t row, char* value,
                    size_t value_size, char* note, size_t note_size);
// The picked colour: 0..11, -1 none picked, -2 a colour that is not one of the twelve.
int32_t settings_colour_index(const SessionSnapshot* snap);
// Left (dir < 0) or right (dir > 0) on a row; appends nothing when the row can't change now.
void settings_adjust(const App* app, const SettingsContext* ctx, int32_t row, int32_t dir,
                     ActionList* out);
// Enter, or a second click on the selected row.
void settings_use(const App* app, const SettingsContext* ctx, int32_t row, ActionList* out);
// The footer's hint for a row (by its kind).
const char* settings_hint(int32_t row);

// ---- the panel ----
enum : int32_t {
  SETTINGS_HIT_NONE = -1,
  // 0..28: a row
  SETTINGS_HIT_CLOSE = 100,
  SETTINGS_HIT_SCENE = 110,   // + scene 0..3
  SETTINGS_HIT_SWATCH = 120,  // + colour 0..11
};

struct SettingsPanel {
  int32_t selected;           // row id, -1 none
  float scroll;               // points the rows are moved up
  bool follow;                // bring the selection into view at the next layout
  int32_t hover;              // SETTINGS_HIT_*
  bool pressing;              // a press that began in the panel is held
  int32_t pressed;            // what it began on
  bool pressed_was_selected;  // the press began on the row already selected
  double last_use_at;  // the last click that used a row: a fast third click doesn't use it again
  int32_t last_use_row;
  int32_t page_rows;  // rows in view at the last layout (Page Up/Down)
};

void settings_panel_init(SettingsPanel* sp);
// Selects a row: -1 keeps the current one (row 0 when none was chosen yet). Clears hover and
// press, and brings the row into view.
void settings_select(SettingsPanel* sp, int32_t row);

// Where everything is this frame (points). Rows outside the list are still placed (clipped).
struct SettingsGeometry {
  DrawRect panel;
  DrawRect close;
  DrawRect list;  // the scrolled rows' viewport
  DrawRect footer;
  DrawRect rows[SETTINGS_ROW_COUNT];    // by id, scroll applied
  float section_y[SETTINGS_ROW_COUNT];  // a section's header above the row (-1e9: none)
  DrawRect scenes[SETTINGS_SCENES];
  DrawRect swatches[SETTINGS_SWATCHES];
  float help_y;  // the selected row's help lines start here
  int32_t help_lines;
  float content_h;
  float max_scroll;
};
// Clamps the scroll (following the selection when asked) and fills g. Drawing and the pointer
// both place things through this.
void settings_panel_layout(SettingsPanel* sp, const SettingsContext* ctx, DrawRect panel,
                           SettingsGeometry* g);
// What is under (x, y): SETTINGS_HIT_*, or a row id.
int32_t settings_panel_hit(const SettingsGeometry* g, float x, float y);

// A key while the panel is open: true when the panel used it (Up/Down, Home/End, Page Up/Down,
// Left/Right, Enter). Other keys are left to the key map.
bool settings_panel_key(SettingsPanel* sp, const App* app, const SettingsContext* ctx,
                        int32_t sdl_keycode, bool repeat, ActionList* out);
// kind 1 press, 2 move, 3 release; button as SDL numbers it. True when the panel took the event
// (inside it, or the release of a press it began).
bool settings_panel_pointer(SettingsPanel* sp, const App* app, const SettingsContext* ctx,
                            DrawRect panel, int32_t kind, int32_t button, float x, float y,
                            double now, ActionList* out);
// The wheel over the panel: dy > 0 (away from the user) shows earlier rows.
void settings_panel_wheel(SettingsPanel* sp, const SettingsContext* ctx, DrawRect panel, float dy);

// Draws the panel in rect (already at its slid position); eased is the slide's eased progress
// (it fades the panel in), accent the sketch's colour.
void settings_panel_draw(SettingsPanel* sp, const App* app, const SettingsContext* ctx, Painter* p,
                         DrawRect panel, float eased, DrawColour accent, double now);
