// Transport arithmetic: the small pure rules that turn gestures into tape positions (loop
// region and its handles, seconds to frames, seeking, canvas span and zoom, cursor steps
// between take starts, scrub speed, export range, strip lanes). UI thread; no state beyond
// the loop region record. Times are seconds (double) unless a name says frames.
#pragma once
#include <cstdint>

// Frame counts saturate here rather than overflow int64.
constexpr double TRANSPORT_FRAMES_MAX = 9e18;
// Shortest loop when set by key, and when dragged.
constexpr double TRANSPORT_LOOP_MIN_KEY = 0.1;
constexpr double TRANSPORT_LOOP_MIN_DRAG = 0.05;
// "Previous" skips a take start this close behind the cursor while the tape rolls.
constexpr double TRANSPORT_STEP_GUARD = 0.25;
// The canvas shows at least this many seconds at zoom 1; zoom stays within 1..64.
constexpr double TRANSPORT_MIN_SPAN = 7.5;
constexpr double TRANSPORT_MAX_ZOOM = 64.0;

struct LoopRegion {
  double in;   // seconds, >= 0
  double out;  // seconds
  bool on;
};

// A loop region as the core takes it (CMD_LOOP). on is set only when the region is on and
// in < out in frames.
struct TransportLoopFrames {
  int64_t in;
  int64_t out;
  bool on;
};

// Frames [start, end) to export; is_loop tells the loop apart from the whole tape.
struct TransportRange {
  int64_t start;
  int64_t end;
  bool is_loop;
};

// One take on the strip: frames [start, start + length); excluded takes (pinned height)
// get no lane.
struct TransportTakeSpan {
  int64_t start;
  int64_t length;
  bool excluded;
};

// max(seconds, 0) * rate truncated; NaN gives 0; saturates at +-9e18. A rate below 1 (or NaN)
// counts as 1.
int64_t transport_frames_from_seconds(double seconds, double rate);

// Loop region operations. tape_len is the tape's length in seconds (NaN or negative counts as 0).
// A NaN or infinite position leaves the region untouched, so a bad gesture never reaches the
// sketch file.
void transport_loop_toggle(LoopRegion* loop, double tape_len);
void transport_loop_set_in(LoopRegion* loop, double p, double tape_len);
void transport_loop_set_out(LoopRegion* loop, double p, double tape_len);
void transport_loop_drag_in(LoopRegion* loop, double x, double tape_len);
void transport_loop_drag_out(LoopRegion* loop, double x, double tape_len);
void transport_loop_strip_in(LoopRegion* loop, double x, double tape_len);
void transport_loop_strip_out(LoopRegion* loop, double x, double tape_len);
// Loops 0..x after a take that ran to x (at least 0.1 s).
void transport_loop_just_recorded(LoopRegion* loop, double x);
// Where "rewind" goes: the loop's in point when it is on, else 0.
double transport_loop_rewind_target(const LoopRegion* loop);
TransportLoopFrames transport_loop_to_frames(const LoopRegion* loop, double rate);

// NaN gives 0; else clamp(t, 0, limit) with limit = tape_len when > 0, else fallback when > 0,
// else 0.
double transport_seek_clamp(double t, double tape_len, double fallback);

// Seconds the canvas shows at zoom 1: max(tape_len, 7.5, last_take_end + 1); last_take_end
// counts only when >= 0.
double transport_canvas_span(double tape_len, double last_take_end);
// clamp(span / 7.5, 1, 64); NaN gives 1.
double transport_zoom_factor(double span);
// Time under a click at fraction of the span, never past the tape's end when there is a tape.
double transport_click_time(double fraction, double span, double tape_len);

// A take's start in seconds: frames over the take's own rate, or the sketch rate when the take
// has none. 0 when neither rate is usable.
double transport_take_start_seconds(int64_t start_frames, double take_rate, double sketch_rate);
// Largest take start before x (less the 0.25 s guard while playing or recording), else 0.
double transport_step_previous(const double* starts, int32_t count, double x, bool rolling);
// Smallest take start after x + 0.01 and before the tape's end, else the end (x when the end
// is NaN).
double transport_step_next(const double* starts, int32_t count, double x, double tape_end);

// Scrub delta in frames for a horizontal pointer movement m: 3 s per unit, accelerating past
// |m| = 0.006. NaN gives 0.
double transport_scrub_delta(double m, double rate);
// Scrub speed limit from the pointer's height (0 top .. 1 bottom): 2 at the top, 1 in the
// middle, 0.5 at the bottom. NaN gives 1.
double transport_scrub_speed_limit(double y);

// The loop's frames when the loop is on and holds more than one frame, else the whole tape.
TransportRange transport_export_range(const LoopRegion* loop, double rate, int64_t length);

// One lane per take, in order: excluded takes get -1, the rest the lowest lane not used by an
// earlier take whose span overlaps. Writes count entries to lanes; returns the lanes used.
int32_t transport_strip_lanes(const TransportTakeSpan* takes, int32_t count, int32_t* lanes);
