// The window's state that actions change and input reads: the pending actions, the tab, the open
// panel, the console, the inputs drawer, the name editor, the confirmation, the share panel's
// buttons, the busy notice and the pointer's capture. The dispatcher (app/actions) is the only
// place that turns an action into calls on the session, the library, the audio engine and the
// window; input (app/input) turns SDL events into actions. The window itself is reached through
// hooks, so tests run the dispatcher on a session without one. UI thread only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "app/library_list.h"
#include "app/notices.h"
#include "app/help_sheet.h"
#include "app/key_hints.h"
#include "app/keys_sheet.h"
#include "app/settings_panel.h"
#include "app/training.h"
#include "app/ui_notice_state.h"
#include "control/actions.h"
#include "control/gestures.h"
#include "control/name_edit.h"

struct App;
union SDL_Event;

enum UiTab : int32_t { UI_TAB_CANVAS = 0, UI_TAB_LIBRARY = 1 };

enum UiPanel : int32_t {
  PANEL_NONE = 0,
  PANEL_SETTINGS = 1,
  PANEL_HELP = 2,
  PANEL_TRAINING = 3,
  PANEL_WHATS_NEW = 4,
  PANEL_SHARE = 5,
  PANEL_CONFIRM = 6,
  PANEL_KEYS = 7,
  PANEL_RIG = 8,
  PANEL_COUNT = 9,
};

// Who owns the pointer between a press and its release.
enum UiCapture : int32_t {
  CAPTURE_NONE = 0,
  CAPTURE_CANVAS = 1,
  CAPTURE_STRIP = 2,  // the strip, toasts and banners
  CAPTURE_STICK = 3,  // the XY stick, the key bar
  CAPTURE_DRAWER = 4,
  CAPTURE_TOP_BAR = 5,
  CAPTURE_NOTICE = 6,  // a banner's button
  CAPTURE_PANEL = 7,
  CAPTURE_LIBRARY = 8,  // the library list (a swipe, a card's part, the row menu)
};

constexpr int32_t UI_SETTINGS_ROWS = 29;
constexpr int32_t UI_TOAST_TEXT = 128;
constexpr int32_t UI_ID_BYTES = 37;  // a sketch id and its terminator

enum ConfirmKind : int32_t { CONFIRM_CLEAR = 0, CONFIRM_DELETE = 1 };

struct UiConfirm {
  int32_t kind;  // ConfirmKind
  char id[UI_ID_BYTES];
  char name[256];
  int32_t hover, pressed;  // -1 none, 0 danger, 1 keep, 2 close
};

// The window operations actions ask for; each may be null (no window).
struct UiWindow {
  void* user;
  void* native;  // handed to dialogs and the clipboard
  // 0, or -1 with the window system's error text.
  int (*fullscreen_toggle)(void* user, char* error, size_t size);
  void (*minimise)(void* user);
  void (*maximise_toggle)(void* user);
  // The clipboard's text into out; false when there is none.
  bool (*clipboard_text)(void* user, char* out, size_t size);
  // Recomputes the layout (after tab, panel and zen changes).
  void (*layout)(void* user);
  // True when the window is too short for the full layout.
  bool (*too_short)(void* user);
  void (*canvas_rebuild)(void* user);
  void (*canvas_clear)(void* user);
  // Turns SDL's mouse capture on while a press is held, so the release arrives outside too.
  void (*mouse_capture)(void* user, bool on);
  // The canvas tab's controls below the canvas (the XY stick, the strip): a press they take
  // returns its capture (CAPTURE_STICK, CAPTURE_STRIP), else CAPTURE_NONE; moves and the release
  // follow to the capture.
  int32_t (*control_press)(void* user, int32_t button, float x, float y);
  void (*control_move)(void* user, int32_t capture, float x, float y);
  void (*control_release)(void* user, int32_t capture, int32_t button, float x, float y);
};

// Wheel movement gathered between frames.
struct UiWheel {
  float x, y;
  uint32_t mods;
  float px, py;  // the pointer, points
};

struct Ui {
  App* app;
  UiWindow window;
  double now;  // the frame's clock (monotonic seconds)

  ActionList pending;
  ActionList flushing;  // the pre-screened copy a flush dispatches
  Action running[ACTION_LIST_MAX];
  int32_t depth;        // dispatches in progress
  bool table_checked;   // the table's rows were checked once this run

  int32_t tab;    // UiTab
  int32_t panel;  // UiPanel
  int32_t closing_panel;
  float panel_progress, closing_progress;
  int32_t settings_row;  // -1 none chosen yet (the SETTINGS panel's selection)
  float list_progress;   // the library tab's slide (0 hidden .. 1 shown)
  float console_progress;  // the console overlay's drop
  int32_t top_hover, top_pressed;  // UiTopButton, -1 none
  bool console_open;
  bool drawer_open;
  bool quit;
  bool rig_panel_this_run;  // a rig panel exists this run
  struct RigPanel* rig_panel;
  HelpSheet help;
  TrainingLog training;
  TaskCard task_card;
  TrainingPanel training_panel;
  KeysSheet keys;
  KeyHint key_hint;
  double xy_pad_until;      // the big XY pad shows until then
  bool xy_held;             // the pointer holds the XY stick
  bool xy_returning;        // the stick eases back to the centre

  NameEditor name;
  UiConfirm confirm;
  UiShare share;
  ShareUi share_ui;
  SettingsPanel settings;
  SettingsContext settings_ctx;  // refreshed each frame and before a key reaches the panel
  NoticeArea notices;
  LibraryList list;
  uint64_t list_version;  // the library's version the list last tracked
  UiBusy busy;
  double record_key_at;  // when a key last asked to record (0: none): the first leaf's delay
  char toast[UI_TOAST_TEXT];  // the last toast (the shell shows it)
  double toast_at;

  // Pointer.
  int32_t capture;  // UiCapture
  int32_t capture_button;
  CanvasGesture gesture;
  bool pointer_in;
  float pointer_x, pointer_y;  // points
  UiWheel wheel;
};

// Sets up the state for a run (nothing pending, the canvas tab unless the settings say otherwise).
void ui_init(Ui* ui, App* app);

// Shows a toast: logged as "toast: %s" and handed to the application's toast hook.
void ui_toast(Ui* ui, const char* text);

// ---- actions (app/actions.cpp) ----
// Pre-screens and dispatches everything pending. Once per frame and before a key is interpreted.
void actions_flush(Ui* ui);
// Carries out one action.
void actions_dispatch(Ui* ui, const Action* action);
// Sends an audio request of kind AudioCommandKind with the settings' values for the rest.
void actions_request_audio(Ui* ui, int32_t kind, int32_t value);
// The save retry's flush: pending session saves and the settings file.
void actions_flush_saves(Ui* ui);

// ---- panels, tabs and the name editor (app/actions_ui.cpp) ----
void panel_open(Ui* ui, int32_t id);
void panel_close(Ui* ui);
const char* panel_title(int32_t id);
// Each frame: the slide of the open and the closing panel.
void panel_tick(Ui* ui, double dt);
void ui_switch_tab(Ui* ui, int32_t tab);
// Selects a settings row (-1 keeps the current one; the first selection is row 0) and clears the
// panel's hover and press.
void ui_settings_select(Ui* ui, int32_t row);
// Opens the name editor over the sketch title.
void ui_rename_open(Ui* ui);
// Commits an open name edit (a changed name renames the sketch) and closes the editor.
void ui_rename_commit(Ui* ui);
void confirm_setup(Ui* ui, int32_t kind, const char* id, const char* name);

// ---- input (app/input.cpp) ----
// The top bar's buttons, right to left from the window's edge.
enum UiTopButton : int32_t {
  TOP_SETTINGS = 0,
  TOP_SHARE = 1,
  TOP_LIBRARY = 2,
  TOP_RIG = 3,
  UI_TOP_BUTTONS = 4
};
const char* ui_top_label(int32_t button);
// Where things are on screen this frame (points); the shell fills it from its layout.
struct UiLayout {
  float to_points;  // SDL's event coordinates to points
  float scale;      // the display scale (pixels per point)
  float width, height;
  float top_bar;  // the top bar's height
  GestureFrame canvas;
  bool has_canvas;
  float panel_x, panel_y, panel_w, panel_h;  // the open panel's rectangle
  float console_h;                           // the console overlay's height when open
  float title_x, title_y, title_w, title_h;  // the sketch title (the name editor's field)
  // The top bar's buttons (UiTopButton order), the status pill, the banners' top edge and the
  // library tab's rectangle.
  float top_x[UI_TOP_BUTTONS], top_w[UI_TOP_BUTTONS];
  float status_x, status_y, status_w, status_h;
  float banner_top;
  float list_x, list_y, list_w, list_h;
};
// Every SDL event; true when it was used.
bool input_event(Ui* ui, const UiLayout* layout, const SDL_Event* e);
// Once per frame: the gathered wheel to the region under the pointer.
void input_wheel_flush(Ui* ui, const UiLayout* layout);
// A key press as the key map sees it (after the editor, panels and library had their chance).
void input_key(Ui* ui, const UiLayout* layout, int32_t keycode, int32_t scancode, uint32_t mods,
               bool repeat);
// The confirmation panel: its buttons' rectangles in the panel, and its pointer and keys.
struct UiButton {
  float x, y, w, h;
};
void confirm_buttons(const UiLayout* layout, UiButton* danger, UiButton* keep, UiButton* close);
// kind 1 press, 2 move, 3 release (left button).
void confirm_pointer(Ui* ui, const UiLayout* layout, int32_t kind, float x, float y);
// A key while CONFIRM is open: true when it used it.
bool confirm_key(Ui* ui, int32_t keycode, bool repeat);
