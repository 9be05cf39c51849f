// The session: the UI thread's owner of the open sketch and of the transport's intent. It turns
// user actions into core commands, reads the core's events, levels and status every frame,
// turns each recorded take segment into a drawn layer, keeps the standing banners and a queue of
// notices for the presentation, and starts the worker jobs that save, load, analyse and rebuild.
// The flows that open, create, save, clear, export and close a sketch: app/session_lifecycle.h.
//
// Everything here runs on the UI thread. The audio thread is met only through the core's rings
// and snapshot; the UI thread never waits for it. Log prefix "session:".
#pragma once
#include <cstddef>
#include <cstdint>

#include "audio/audio_engine.h"
#include "core/core.h"
#include "core/transport.h"
#include "rig/rig_events.h"
#include "store/uuid.h"
#include "ui/view.h"
#include "core/tape.h"

struct Tape;
struct Layer;
struct SketchMeta;
struct Settings;
struct AppPaths;
struct JobQueue;
struct Job;
struct AudioEngine;

enum SessionState : int32_t {
  SESSION_NONE = 0,     // no sketch
  SESSION_LOADING = 1,  // opening, creating or clearing; the tapes are not attached yet
  SESSION_READY = 2,    // open, tapes attached and confirmed
  SESSION_CLOSING = 3,
};

// What follows a close.
enum SessionFollow : int32_t {
  SESSION_FOLLOW_NOTHING = 0,
  SESSION_FOLLOW_OPEN = 1,    // open a remembered folder
  SESSION_FOLLOW_NEW = 2,     // make a new sketch
  SESSION_FOLLOW_REOPEN = 3,  // reopen the same sketch (its tape is resampled on the way)
};

// The rate a session runs at while nothing better is known.
constexpr double SESSION_DEFAULT_RATE = TAPE_DEFAULT_RATE;

enum : int32_t {
  SESSION_TITLE_BYTES = 256,  // a sketch's display title and its terminator
  SESSION_BANNERS = 11,
  SESSION_BANNER_TEXT = 160,  // 159 bytes and a terminator
  SESSION_NOTICES = 32,
  SESSION_NOTICE_TEXT = 160,
  SESSION_PATH = 1024,  // 1023 bytes and a terminator
  SESSION_PENDING_ANALYSIS = 64,
  SESSION_PENDING_COMMITS = 64,
  SESSION_FALLBACK_TRIED = 64,
  SESSION_PAINT_COLOURS = 12,
  SESSION_BACKLOG_FIRST = 32,
  SESSION_STROKES_FIRST = 4096,
  SESSION_LEVEL_BATCH = 1024,
};

// Banner slots.
enum : int32_t {
  BANNER_TAPE_FULL = 0,
  BANNER_MIC_PRIVACY = 1,
  BANNER_MIC_BUSY = 2,
  BANNER_AUDIO_DOWN = 3,
  BANNER_NO_OUTPUT = 4,
  BANNER_NO_SIGNAL = 5,
  BANNER_DRIVER_HUNG = 6,
  BANNER_SAVE_FAILED = 7,
  BANNER_ALL_MUTED = 8,
  BANNER_MUTED_SIGNAL = 9,
  BANNER_RIG_MID_TAKE = 10,
};

// Notice kinds for the presentation.
enum SessionNoticeKind : int32_t {
  NOTICE_ERROR = 1,          // error toast: text
  NOTICE_BANNER = 2,         // value: slot, flag: shown, text
  NOTICE_EXPORT_DONE = 3,    // path: the written file
  NOTICE_EXPORT_ERROR = 4,   // text
  NOTICE_SKETCH_SHOWN = 5,   // text: title, path: folder
  NOTICE_SKETCH_CLOSED = 6,  // flag: something follows
  NOTICE_TOAST = 7,          // a passing message that is no error: text
};

struct SessionNotice {
  int32_t kind;  // SessionNoticeKind
  int32_t value;
  bool flag;
  char text[SESSION_NOTICE_TEXT];
  char path[SESSION_PATH];
};

struct SessionBanner {
  bool shown;
  char text[SESSION_BANNER_TEXT];
};

// What the session needs to know of the rig controller each frame.
struct SessionRigState {
  bool present;
  bool loading;               // no document yet
  bool fresh_defaults;        // running on fresh defaults while the rig file can't be read
  bool all_muted;             // bound and no audible input
  int32_t muted_with_signal;  // 0-based input carrying signal while muted, -1 none
};

// One rig notice (the rig controller's event ring).
struct SessionRigEvent {
  int32_t kind;  // RigEventKind
  int32_t value;
  int32_t second;
  bool flag;
  char text[520];
};

// Hooks into the library, the rig and the shell, which plug in here. Every hook may be null.
struct SessionHost {
  void* user;
  // Library (newest first). The index-th sketch that can be opened (neither damaged nor legacy);
  // false past the end.
  bool (*library_sketch_at)(void* user, int32_t index, char* folder, size_t size);
  // The folder of the sketch with this id, when the library lists it.
  bool (*library_folder_for)(void* user, const char* id, char* folder, size_t size);
  void (*library_refresh)(void* user);   // start a scan
  bool (*library_scanning)(void* user);  // a scan is still out
  // The open sketch's card is current again (library_upsert).
  void (*library_card)(void* user, const SketchMeta* meta, const char* folder);
  void (*library_preview_ended)(void* user);
  // Rig controller.
  bool (*rig_state)(void* user, SessionRigState* out);
  bool (*rig_next_event)(void* user, SessionRigEvent* out);
  // Training: a task was done ("first-note", "move-mid-take", "let-it-loop").
  void (*tip_seen)(void* user, const char* tip);
};

// The device engine as the session sees it; session_create wires it to a real AudioEngine.
struct SessionAudio {
  void* user;
  uint64_t (*status)(void* user, AudioStatus* out);       // null: no audio engine
  uint32_t (*post)(void* user, const AudioCommand* cmd);  // 0 when the engine is still switching
};

// A device change from the settings panel (the fields the action layer fills).
struct SessionAudioRequest {
  int32_t kind;   // AUDIO_SET_DEVICE, AUDIO_SET_BUFFER, AUDIO_SET_RATE, AUDIO_SET_EXCLUSIVE,
                  // AUDIO_RESCAN, AUDIO_RETRY
  int32_t value;  // row, frames, Hz (0 automatic), 0/1
  char device[AUDIO_NAME_BYTES];  // SET_DEVICE: the chosen device's name
};

struct SessionPendingJob {
  uint32_t id;
  int64_t capture_start;
  const Tape* capture;  // the capture tape it reads
};

struct SessionTake {
  bool active;
  bool requested;       // record sent, waiting for EV_TAKE_STARTED
  bool stop_requested;  // record stop sent
  uint32_t id_counter;
  uint32_t id;
  uint32_t last_ended;
  bool has_last_ended;
  int64_t start;          // where the take began on the main tape
  int64_t segment_start;  // main tape
  int64_t capture_start;
  int64_t earlier_frames;  // recorded in earlier segments of this take
  float* strokes;          // hop levels of the running segment
  int32_t count;
  int32_t capacity;
  float peak;
  bool rebuild;  // the live levels of this segment are incomplete
};

// Presentation state, published at the end of every session_update.
struct SessionSnapshot {
  int32_t state;
  bool loaded;  // a sketch is named and the session is not idle
  bool saving;  // a take is being committed or saved
  bool closing;
  bool loading_meta;
  bool loading_tape;
  bool resampling;     // the tape being loaded is resampled
  double sketch_rate;  // rate of the sketch being loaded
  double stream_rate;  // the rate it is loaded at
  bool exporting;
  bool tape_unreadable;
  char id[UUID_TEXT_BYTES];
  char title[SESSION_TITLE_BYTES];
  char folder[SESSION_PATH];
  double rate;
  CoreStatus status;
  int64_t position;  // displayed, frames (a locate shows at once)
  double position_seconds;
  bool playing;  // shown (a play or stop shows at once)
  bool recording;
  bool take_running;
  bool rec_waiting;
  bool monitor;
  int64_t tape_frames;
  double span;  // seconds the canvas shows at zoom 1
  LoopRegion loop;
  const SketchMeta* meta;     // layers for the canvas; valid until the next session call
  const float* live_strokes;  // the running segment's hop levels
  int32_t live_count;
  float live_peak;
  int64_t live_start;  // where the running segment began on the tape
  float xy_x, xy_y;
  bool paint_mode;
  bool raw_playback;
  char status_line[64];
};

struct Session {
  Core* core;
  JobQueue* jobs;
  Settings* settings;
  const AppPaths* paths;
  SessionHost host;
  SessionAudio audio;

  double now;   // monotonic seconds of the current frame
  double wall;  // seconds since 2001 of the current frame
  double started_at;

  int32_t state;  // SessionState
  SketchMeta* meta;
  char folder[SESSION_PATH];
  double rate;  // the tape's rate; 48000 when none is known

  Tape* main;
  Tape* capture;
  uint32_t attach_sent;
  uint32_t attach_confirmed;

  CoreCommand* backlog;
  int32_t backlog_head;
  int32_t backlog_count;
  int32_t backlog_capacity;

  AudioStatus audio_status;
  bool have_audio_status;
  CoreStatus status;
  uint64_t events_dropped_seen;

  SessionTake take;
  bool punch_pending;
  double punch_at;
  bool rec_waiting;
  double rec_waiting_at;
  double record_request_at;

  SessionPendingJob analysis[SESSION_PENDING_ANALYSIS];
  int32_t analysis_count;

  int32_t play_override;  // -1 none, 0 stopped, 1 playing
  uint32_t play_override_callbacks;
  double play_override_until;
  bool locate_override;
  int64_t locate_target;
  uint32_t locate_callbacks;
  double locate_until;

  bool mid_locate_sent;
  double mid_locate_at;
  bool mid_locate_deferred;
  int64_t mid_locate_target;

  SessionBanner banners[SESSION_BANNERS];
  SessionNotice notices[SESSION_NOTICES];
  int32_t notice_head;
  int32_t notice_count;
  double no_signal_since;  // 0: signal seen
  bool rig_present;
  SessionRigState rig;

  float xy_x, xy_y;
  bool monitor;
  bool scrubbing;
  double scrub_x;
  bool has_click_height;
  double click_height;

  LoopRegion loop;
  View view;
  bool view_pending;
  double view_changed_at;

  // ---- lifecycle ----
  int32_t follow;  // SessionFollow
  char follow_folder[SESSION_PATH];
  bool follow_fall_back;
  double close_at;
  bool close_cursor_stored;
  uint32_t load_meta_job;
  uint32_t load_tape_job;
  bool load_tape_next;
  bool tape_unreadable;
  bool resampled_on_open;
  bool resample_expected;
  double resample_from, resample_to;
  bool fall_back;
  char tried[SESSION_FALLBACK_TRIED][SESSION_PATH];
  int32_t tried_count;
  bool start_waits_for_scan;

  uint32_t epoch;  // grows with every open, new sketch and clear
  struct {
    uint32_t id;
    uint32_t epoch;
  } commits[SESSION_PENDING_COMMITS];
  int32_t commit_count;
  bool meta_dirty;
  double meta_due;
  bool save_retry;
  double retry_delay;
  float committed_peak;

  bool cursor_stored;
  int64_t cursor_last;

  bool export_pending;
  uint32_t export_job;
  // Audio that didn't land in its sketch folder: commits of closed sketches that failed, with
  // their audio rescued elsewhere or lost. Nothing here means everything landed.
  int32_t rescued_count;
  int32_t lost_count;
  char last_rescue[SESSION_PATH];

  // A device change waiting for a take, for the sketch to close, or for the engine's answer.
  struct {
    int32_t phase;  // 0 none, 1 waiting for the take, 2 waiting for the close, 3 posted
    SessionAudioRequest request;
    uint32_t id;
    double posted_at;
    char reopen[SESSION_PATH];
  } device;

  // Jobs the session posted and not yet got back.
  uint32_t* owned;
  int32_t owned_count;
  int32_t owned_capacity;

  SessionSnapshot snap;
};

// Paint palette (r, g, b), colours 0..11.
extern const float SESSION_PALETTE[SESSION_PAINT_COLOURS][3];

// Null on failure (logged). engine may be null (no audio); host may be null.
Session* session_create(Core* core, AudioEngine* engine, JobQueue* jobs, Settings* settings,
                        const AppPaths* paths, const SessionHost* host);
// Frees the model and anything still queued; tapes already handed to the core stay the core's.
void session_free(Session* s);
// Replaces how the session reaches the device engine (a fake in tests).
void session_set_audio(Session* s, const SessionAudio* audio);

// Once per frame: now is monotonic seconds, wall seconds since 2001.
void session_update(Session* s, double now, double wall);

// Queues a command for the core: the backlog first, in order, then the ring. False when it was
// lost (out of memory, logged).
bool session_send(Session* s, const CoreCommand* cmd);

// The oldest notice for the presentation; false when none.
bool session_next_notice(Session* s, SessionNotice* out);
// Sets a banner slot (an empty text means its default); a change posts a banner notice.
void session_banner_set(Session* s, int32_t slot, bool shown, const char* text);
void session_notice(Session* s, int32_t kind, int32_t value, bool flag, const char* text,
                    const char* path);
const SessionSnapshot* session_snapshot(const Session* s);

// ---- transport (each a no-op unless a sketch is READY, except where said) ----
void session_record(Session* s);
void session_play_pause(Session* s);
// Also cancels REC waiting when no sketch is ready.
void session_stop(Session* s);
void session_rewind(Session* s);
// A click on the canvas: fraction of the span (0..1) and the click's height (0 top .. 1 bottom).
void session_tap(Session* s, double span_fraction, double height);
// A press or drag along the strip: 0..1 along the sketch.
void session_strip_scrub(Session* s, double fraction);
// Cursor keys: repeat marks a held key, which a running take ignores.
void session_cursor_step(Session* s, double seconds, bool repeat);
void session_cursor_to_take(Session* s, int32_t direction, bool repeat);
void session_cursor_to_end(Session* s, bool end);
// Pointer on the canvas: x across it (the pointer layer's units), y its height 0..1.
void session_scrub_begin(Session* s, double x, double y);
void session_scrub_move(Session* s, double x, double y);
void session_scrub_end(Session* s);
void session_loop_toggle(Session* s);
void session_loop_in(Session* s);
void session_loop_out(Session* s);
// handle 0 the in point, 1 the out point; seconds.
void session_loop_drag(Session* s, int32_t handle, double seconds);
// which 1 the in flag, 2 the out flag; seconds.
void session_strip_flag(Session* s, int32_t which, double seconds);
// These work without a sketch too.
void session_set_monitor(Session* s, bool on);
void session_set_xy(Session* s, float x, float y, bool store);
void session_set_raw(Session* s, bool raw);
void session_set_paint_mode(Session* s, bool on);
void session_paint_colour(Session* s, int32_t colour);
// View gestures (the session owns the view).
void session_pan(Session* s, double dy);
void session_scroll(Session* s, double dx, double width);
void session_view_window(Session* s, double a, double b);
void session_zoom(Session* s, double steps);
void session_back_to_camera(Session* s);
// One 24 Hz camera step.
void session_view_tick(Session* s);

// True while a take runs (active and not stopping, or a record request is outstanding).
bool session_take_runs(const Session* s);
// A take, a record request or a punch-out tail is outstanding.
bool session_take_outstanding(const Session* s);
// Stops a running take (the quit path); nothing when none runs.
void session_stop_take(Session* s);
// Tapes length in frames as the session sees it (the core's while attached, else the model's).
int64_t session_tape_frames(const Session* s);
// Seconds the canvas shows at zoom 1.
double session_span(const Session* s);
