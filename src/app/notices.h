// Notices: the toast, the status pill, the standing banners with their buttons, and the SHARE /
// EXPORT panel. The session and the actions raise them; this keeps them, times them, lays them
// out, draws them and turns presses on them into actions. Log prefixes "toast:" and "banner:".
// UI thread only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "app/ui_notice_state.h"
#include "control/actions.h"
#include "ui/draw.h"
#include "ui/text.h"

struct App;
struct Painter;

enum : int32_t {
  NOTICE_BANNER_SLOTS = 11,
  NOTICE_TOAST_BYTES = 128,   // 127 and a terminator
  NOTICE_PILL_BYTES = 64,     // 63 and a terminator
  NOTICE_BANNER_BYTES = 160,  // 159 and a terminator
  NOTICE_BANNER_LINES = 8,
  NOTICE_LABEL_BYTES = 64,
};

constexpr double NOTICE_TOAST_SECONDS = 2.5;
constexpr double NOTICE_TOAST_FILE_SECONDS = 4.0;  // a toast naming a path or a .wav
constexpr double NOTICE_BUSY_DUE = 0.12;           // a busy source shows once it lasted this
constexpr float NOTICE_BANNER_GAP = 6.0f;

// The faces: the pill (and the TAPE FULL pill), a banner's message and its buttons.
constexpr TextStyle NOTICE_PILL_STYLE = {TEXT_MONO, 10.0f, 700, 2.0f};
constexpr TextStyle NOTICE_BANNER_STYLE = {TEXT_MONO, 11.0f, 700, 0.0f};
constexpr TextStyle NOTICE_BUTTON_STYLE = {TEXT_MONO, 11.0f, 700, 0.0f};

// Pill progress values besides a 0..1 fraction.
constexpr float NOTICE_WORKING = -1.0f;  // a sweeping bar
constexpr float NOTICE_NO_BAR = -2.0f;

struct NoticeBanner {
  bool shown;
  char text[NOTICE_BANNER_BYTES];
  // Laid out each frame (zero while hidden).
  DrawRect rect;
  DrawRect buttons[2];
  int32_t button_count;
  bool one_line;
  int32_t lines;
  int32_t line_starts[NOTICE_BANNER_LINES];
  float hover;            // the banner
  float button_hover[2];  // each of its buttons
};

struct NoticeArea {
  char toast[NOTICE_TOAST_BYTES];
  double toast_until;

  char pill[NOTICE_PILL_BYTES];
  float pill_progress;  // 0..1, NOTICE_WORKING or NOTICE_NO_BAR
  float pill_opacity;
  double busy_since;  // 0: no busy source
  double now;         // the last status_update's clock (the sweep runs on it)

  NoticeBanner banners[NOTICE_BANNER_SLOTS];
  int32_t pressed_slot, pressed_button;  // -1 none
  int32_t hover_slot, hover_button;      // -1 none
  bool pointer_in;
  float pointer_x, pointer_y;

  bool audio_ran;  // the audio engine has run once: a later open is a reopen
};

// What is busy this frame; the caller (or notices_gather) fills it.
struct NoticeBusy {
  bool job_busy;  // a job is queued or running
  char job_label[NOTICE_LABEL_BYTES];  // the first one's ("" gives "WORKING…")
  double job_done, job_total;          // total 0: no measure
  bool export_running;  // an export job is out or the session exports, commits or saves
  bool saving, closing;
  bool loading_tape, resampling;
  double sketch_rate, stream_rate;  // Hz, 0 unknown
  char session_job[NOTICE_LABEL_BYTES];  // the session's own running job label, "" none
  bool loading_meta;
  bool audio_opening;    // first start
  bool audio_reopening;  // recovering, or opening after it once ran
  char status_line[NOTICE_PILL_BYTES];  // the session's standing status line, "" none
};

void notices_init(NoticeArea* area);

// ---- toast ----
// Shows text (cut to 127 bytes on a whole character) until now + 4 s when it names a path or a
// .wav, else now + 2.5 s; replaces the current toast. Logs "toast: %s".
void toast_show(NoticeArea* area, const char* text, double now);
// The same without the log line, for the toast hook behind app_toast / ui_toast (which log it).
void toast_accept(NoticeArea* area, const char* text, double now);
bool toast_live(const NoticeArea* area, double now);
// A slow audio change's notice: its toast is kept alive (now + 0.3 s) until the engine's change
// counter moves (more than 0.1 s after the notice, the session not loading) or 15 s pass; then
// the toast ends at once and the notice is over.
void notices_busy_hold(NoticeArea* area, UiBusy* busy, uint64_t change_counter,
                       bool session_loading, double now);

// ---- banners ----
// Slots above 10 are ignored; an empty or null text means the slot's default. A change of the
// shown flag (or of a shown banner's text) is stored and logged "banner: %s %s".
void banner_set(NoticeArea* area, int32_t slot, bool shown, const char* text);
const char* banner_default_text(int32_t slot);
// The slot's button count (0..2) and the label of one of them (null past the count).
int32_t banner_button_count(int32_t slot);
const char* banner_button_label(int32_t slot, int32_t button);

// ---- status pill ----
// Rate as kilohertz: "%.0fK" within 0.05 of a whole number, else "%.1fK"; "?" for no rate.
void notices_khz(double rate, char* out, size_t size);
// The first busy source that applies: its text and progress (0..1 or NOTICE_WORKING). False
// when nothing is busy.
bool notices_busy_source(const NoticeBusy* busy, char* text, size_t size, float* progress);
// Each frame: the busy source's due time, the toast's precedence, the fade. dt <= 0 means 1/60.
void status_update(NoticeArea* area, const NoticeBusy* busy, double now, double dt);
// Fills busy from the application's jobs, session and audio engine (notes in area whether the
// engine has run, so a later open reads as a reopen).
void notices_gather(NoticeArea* area, const App* app, NoticeBusy* busy);

// ---- banners on screen ----
// Stacks the shown banners from banner_top, centred on the window, and eases the hover values.
// Measures text: call after text_init (and the frame's pixel scale).
void notices_layout(NoticeArea* area, float window_w, float banner_top, double dt);
// kind 1 press, 2 move, 3 release, 0 the pointer left the window; button 1 is the left one. Press: true when it landed on a
// banner (consumed; a left press on a banner button captures it). Move: true while a banner
// button is held. Release: true when it ended a held press; over the same button of a banner
// still shown, the button's action is appended to out.
bool notices_pointer(NoticeArea* area, int32_t kind, int32_t button, float x, float y,
                     ActionList* out);
// The pill at status_rect and the banners where notices_layout put them.
void notices_draw(NoticeArea* area, Painter* p, DrawRect status_rect, DrawColour accent);

// ---- SHARE / EXPORT (panel 5) ----
enum : int32_t { SHARE_CLOSE = 3 };  // the close button, beside the three ShareButtons

// The panel's pointer state that UiShare does not keep.
struct ShareUi {
  int32_t hover, pressed;  // -1 none, 0..2 a ShareButton, SHARE_CLOSE
  float close_hover;
};

// The panel's places inside its rectangle.
struct ShareGeometry {
  DrawRect buttons[3];
  bool shown[3];  // a button that would not fit above the foot is not shown
  DrawRect close;
  float foot_y;  // the foot line's top
};
void share_geometry(DrawRect panel, ShareGeometry* out);

// The panel opens: every button idle, no message, nothing hovered or pressed.
void share_reset(UiShare* share, ShareUi* ui);
// An export finished: ok with the file's path, or failed with the error text (null or "" gives
// "EXPORT FAILED").
void share_export_result(UiShare* share, bool ok, const char* path_or_error, double now);
// Each frame: a busy EXPORT WAV stays busy while an export runs; done and failed marks expire;
// the message clears once nothing is failed. dt <= 0 means 1/60.
void share_tick(UiShare* share, ShareUi* ui, double now, double dt, bool export_running);
// kind 1 press, 2 move, 3 release (the left button). The three buttons act only while
// sketch_ready; last_export_exists says whether the file at share->last_export is still there.
// True when the pointer was inside the panel.
bool share_pointer(UiShare* share, ShareUi* ui, DrawRect panel, int32_t kind, float x, float y,
                   bool sketch_ready, bool last_export_exists, double now, ActionList* out);
// The whole panel in its rectangle; exports_folder is the library's "exports" folder and
// normalise the export mode.
void share_draw(const UiShare* share, const ShareUi* ui, Painter* p, DrawRect panel,
                DrawColour accent, const char* exports_folder, bool normalise, bool sketch_ready);
