// Pieces shared by the session's files: the model and transport (session.cpp), takes
// (session_take.cpp), the flows that open, save and close a sketch (session_lifecycle.cpp) with its
// file operations (session_files.cpp) and device switches (session_device.cpp). One module: every
// function carries the session_ prefix. UI thread only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "app/session.h"

struct Job;

// Rates within this many Hz count as the same.
constexpr double SESSION_RATE_SAME = 0.5;
constexpr double SESSION_OVERRIDE_S = 0.5;
constexpr double SESSION_MID_LOCATE_S = 0.1;
constexpr double SESSION_RECORD_START_S = 2.0;
constexpr double SESSION_TAIL_S = 3.0;
constexpr double SESSION_CLOSE_WAIT_S = 3.0;
constexpr double SESSION_NO_SIGNAL_S = 2.0;
constexpr double SESSION_SAVE_DELAY_S = 0.25;
constexpr double SESSION_VIEW_SAVE_S = 2.0;
constexpr double SESSION_RETRY_FIRST_S = 5.0;
constexpr double SESSION_RETRY_MAX_S = 60.0;
constexpr double SESSION_STREAM_WAIT_S = 6.0;
constexpr double SESSION_DEVICE_ANSWER_S = 20.0;
constexpr double SESSION_TAPE_MINUTES = 1440.0;
constexpr int32_t SESSION_TAPE_POOL = 4;

// ---- session.cpp ----
void session_send_cmd(Session* s, uint32_t kind, int64_t a = 0, int64_t b = 0, uint8_t flags = 0,
                      double value = 0.0, Tape* tape = nullptr, Tape* tape2 = nullptr);
// The attach is confirmed (every attach sent has come back).
bool session_attached(const Session* s);
bool session_have_engine(const Session* s);
bool session_device_running(const Session* s);
// Failed for good enough to refuse recording: no device, down or hung.
bool session_device_failed(const Session* s);
bool session_rates_match(const Session* s);
int64_t session_frames_of(const Session* s, double seconds);  // rounded to nearest
int64_t session_displayed_frames(const Session* s);
double session_displayed_seconds(const Session* s);
void session_set_play_override(Session* s, int32_t value);
void session_set_locate_override(Session* s, int64_t target);
// CMD_LOCATE, or under a take the throttled CMD_LOCATE_MID_TAKE; shows the target at once.
void session_locate(Session* s, int64_t target);
void session_send_loop(Session* s);
void session_apply_playback_gain(Session* s);
void session_stop_recording(Session* s);
void session_start_recording(Session* s);
bool session_ready_to_record(const Session* s);
void session_tip(Session* s, const char* tip);
void session_notice_error(Session* s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void session_read_status(Session* s);

// ---- session_take.cpp ----
void session_take_reset(Session* s);
// Reads levels up to (not including) up_to into the running segment.
void session_read_levels(Session* s, int64_t up_to);
void session_handle_event(Session* s, const CoreEvent* ev);
void session_end_take_without_event(Session* s, int64_t capture_end);
// Drops analysis entries of other capture tapes and returns the lowest capture start pending for
// the current one (INT64_MAX when none).
int64_t session_analysis_floor(Session* s);
bool session_on_analysis_job(Session* s, Job* job);

// ---- session_lifecycle.cpp ----
uint32_t session_post_job(Session* s, Job* job);
bool session_owns_job(Session* s, uint32_t id, bool remove);
void session_schedule_save(Session* s);
void session_back_off(Session* s);
// Commits the model and the main tape (SAVE_COMMIT); runs when punch is set or length differs
// from the model's, or when force is set.
// rescue: the sketch is being let go, so a failure is not retried: the job rescues the audio.
void session_commit(Session* s, int64_t length, bool punch, bool force, bool rescue = false);
void session_attach(Session* s, Tape* main, Tape* capture, int64_t cursor);
// The stream rate for loading a tape or making a new sketch; false while it is not known yet.
bool session_stream_rate(const Session* s, double* rate);
double session_best_rate(const Session* s);
void session_store_cursor(Session* s);
void session_cancel_sketch_jobs(Session* s);
void session_export_now(Session* s);
// Per frame: device changes, loading the tape, following the stream rate, closing.
void session_lifecycle_step(Session* s);
void session_start_step(Session* s);      // the start's library scan came back
void session_meta_save_step(Session* s);  // scheduled saves
void session_cursor_step(Session* s);     // cursor memory

// ---- session_device.cpp ----
void session_device_step(Session* s);  // device changes waiting or answered

// ---- session_files.cpp ----
void session_on_file_job(Session* s, Job* job);  // CLEAR_FILES, EXPORT_WAV, RENAME
// The tape's rate, or the default while none is known.
inline double session_rate(const Session* s) {
  return s->rate > 0.0 ? s->rate : SESSION_DEFAULT_RATE;
}
// Title of the open sketch (meta_title), "" without one.
void session_title(const Session* s, char* out, size_t size);
// The side-car WAV's file name for the sketch's title ("" when none can be made).
void session_sidecar_name(const Session* s, char* out, size_t size);
bool session_same_folder(const char* a, const char* b);
