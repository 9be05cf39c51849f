// The real-time core: the transport engine that runs inside the audio callback. It conditions
// the input, overdubs it onto the main tape at the cursor, plays, loops, scrubs, mixes a preview,
// soft-clips the output and publishes levels and a status snapshot. It meets other threads only
// through single-producer single-consumer rings, single-word settings and a sequence-locked
// snapshot, so the callback never allocates, locks, logs or blocks.
//
// Threads: core_process runs on the audio callback; core_quiesce and core_set_rate on the audio
// engine while no callback can run; core_collect on the collector; core_push_command,
// core_pop_event, core_read_levels and the setters on the UI thread; core_read_status anywhere.
#pragma once
#include <atomic>
#include <cstdint>

#include "core/condition.h"
#include "core/seqlock.h"
#include "core/spsc_ring.h"
#include "core/tape.h"

enum : uint32_t {
  CMD_ATTACH = 1,           // tape main, tape2 capture, a cursor
  CMD_PLAY_FROM = 2,        // a frame (negative: play from where it is)
  CMD_STOP = 3,             //
  CMD_LOCATE = 4,           // a frame (negative: frame 0)
  CMD_LOCATE_MID_TAKE = 5,  // as CMD_LOCATE, sent while a take runs
  CMD_RECORD = 6,           // b take id (low 32 bits), flags CMD_FLAG_PLAY
  CMD_RECORD_STOP = 7,      //
  CMD_LOOP = 8,             // a loop in, b loop out, flags CMD_FLAG_LOOP_ON
  CMD_SCRUB_BEGIN = 9,      //
  CMD_SCRUB_MOVE = 10,      // value delta in frames
  CMD_SCRUB_END = 11,       // flags CMD_FLAG_PLAY: resume playing if it was playing
  CMD_PREVIEW_SET = 12,     // tape preview
  CMD_PREVIEW_CLEAR = 13,   //
  CMD_PREVIEW_SEEK = 14,    // a frame
};

enum : uint8_t { CMD_FLAG_LOOP_ON = 1, CMD_FLAG_PLAY = 2 };

enum : int32_t {
  EV_TAKE_STARTED = 1,
  EV_SPLIT_JUMP = 2,
  EV_SPLIT_LOOP = 3,
  EV_TAKE_ENDED = 4,
  EV_TAIL_DONE = 5,
  EV_TAPE_FULL = 6,
  EV_PLAY_END = 7,
  EV_CURSOR_SETTLED = 8,
  EV_ATTACHED = 9,
  EV_PREVIEW_ENDED = 10,
  EV_RESYNC = 11,
};

enum : uint32_t {
  CORE_STATUS_PLAYING = 1,
  CORE_STATUS_RECORDING = 2,
  CORE_STATUS_SCRUBBING = 4,
  CORE_STATUS_COASTING = 8,
  CORE_STATUS_TAIL = 16,  // punch-out tail running
  CORE_STATUS_LOOP_ON = 32,
  CORE_STATUS_TAPE_FULL = 64,  // met in this take
  CORE_STATUS_RUNNING = 128,
  CORE_STATUS_PREVIEW = 256,
  CORE_STATUS_SEEK_PENDING = 512,
  CORE_STATUS_MAIN_TAPE = 1024,
};

enum : int32_t {
  CORE_MAX_FRAMES = 4096,
  CORE_COMMAND_SLOTS = 256,
  CORE_EVENT_SLOTS = 256,
  CORE_LEVEL_SLOTS = 16384,
  CORE_RETIRE_SLOTS = 16,
  CORE_RETIRE_OVERFLOW = 4,
  CORE_DEFERRED_MAX = 64,
  CORE_FREE_MAX = 599,  // every tape core_free can reach
};

struct CoreCommand {
  uint32_t kind;
  uint8_t flags;
  int64_t a;
  int64_t b;
  double value;
  Tape* tape;
  Tape* tape2;
};

struct CoreEvent {
  int32_t kind;
  int32_t take_id;
  int64_t levels_written;  // the level ring's write index when posted
  int64_t segment_start;
  int64_t segment_length;
  int64_t capture_start;
  int64_t capture_pos;
  uint64_t value;
  uint64_t dropped_levels;
};

struct CoreStatus {
  int64_t cursor;
  int64_t main_length;
  int64_t segment_start;
  int64_t segment_length;
  int64_t capture_pos;
  int64_t preview_pos;
  int64_t preview_length;
  int64_t levels_written;
  double display_pos;  // scrub position while scrubbing or coasting, else the cursor
  uint32_t flags;      // CORE_STATUS_*
  uint32_t callbacks;  // low 32 bits
  float input_level;   // normalised
  float input_peak;
  float output_peak;
  float playback_gain;
  double sample_rate;
  int32_t channels;
  int32_t take_id;
  uint64_t oversize_callbacks;
  uint64_t nonfinite_callbacks;
  uint64_t events_dropped;
  uint64_t levels_dropped;
  uint64_t missing_chunk_frames;
  uint64_t flagged_callbacks;
};

// Opaque: only the core's own files see inside (core_internal.h).
struct Core;

Core* core_new();
// At shutdown, after the stream is closed and the collector has stopped: frees every tape the
// core can still reach, once each, then the core.
void core_free(Core* core);

void core_process(Core* core, const float* in_l, const float* in_r, int channels, float* out_l,
                  float* out_r, int frames, uint32_t status_word);

// UI thread. False when 256 commands are outstanding.
bool core_push_command(Core* core, const CoreCommand* cmd);
bool core_pop_event(Core* core, CoreEvent* out);
// Copies hop peaks up to (not including) min(up_to, write index), at most `most`.
int core_read_levels(Core* core, float* out, int32_t most, int64_t up_to);
// Any thread. False when no whole snapshot could be copied (a publish was under way at every
// try); *out is then left as it was.
bool core_read_status(Core* core, CoreStatus* out);

// Collector thread, every 100 ms.
void core_collect(Core* core, uint64_t now_ms);

// Audio engine, only while no callback can run.
void core_quiesce(Core* core);
void core_set_rate(Core* core, double rate, int channels);

void core_set_running(Core* core, bool on);
void core_set_free_immediately(Core* core, bool on);
void core_set_monitor(Core* core, bool on);
// A gain not inside (0, 1,000,000) becomes 1.
void core_set_playback_gain(Core* core, float gain);
// NaN becomes 1; the renderer clamps it to 0.01..3.
void core_set_scrub_scale(Core* core, float scale);
void core_set_xy(Core* core, float x, float y);
