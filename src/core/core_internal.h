// Pieces of the real-time core shared by core.cpp, scrub.cpp, render.cpp and collector.cpp.
#pragma once
#include <cstring>

#include "core/core.h"

struct CoreDeferred {
  Tape* tape;
  uint64_t callbacks;  // callback count when retired
  uint64_t stamp_ms;   // when retired
};

// Fields without a note belong to the audio thread (or to quiesce/set_rate while no callback runs).
struct Core {
  SpscRing<CoreCommand, CORE_COMMAND_SLOTS> commands;  // UI -> audio
  SpscRing<CoreEvent, CORE_EVENT_SLOTS> events;        // audio -> UI
  SpscRing<float, CORE_LEVEL_SLOTS> levels;            // audio -> UI, one hop peak each
  SpscRing<Tape*, CORE_RETIRE_SLOTS> retire;           // audio -> collector
  Tape* overflow[CORE_RETIRE_OVERFLOW];
  int32_t overflow_count;
  std::atomic<int32_t> leaked;  // the only read-modify-write atomic

  // Settings: one aligned store by other threads, read once per callback.
  std::atomic<bool> running;
  std::atomic<bool> free_immediately;
  std::atomic<bool> monitor;
  std::atomic<float> x, y;
  std::atomic<float> playback_gain;
  std::atomic<float> scrub_scale;

  // Published for the collector at every status publish.
  std::atomic<Tape*> pub_main;
  std::atomic<Tape*> pub_capture;
  std::atomic<int64_t> pub_cursor;
  std::atomic<int64_t> pub_capture_pos;
  std::atomic<uint64_t> pub_callbacks;

  // Status snapshot: written at every publish, copied by any thread.
  SeqLock<CoreStatus> status;

  alignas(64) CoreRates rates;
  int32_t channels;

  Tape* main;
  Tape* capture;
  Tape* preview;

  int64_t cursor;
  int64_t seek_target;
  int64_t loop_in, loop_out;
  int64_t segment_start;
  int64_t segment_length;
  int64_t capture_pos;
  int64_t capture_start;
  int64_t preview_pos;

  double hop_acc;
  int32_t hop_frames;
  float hop_peak;
  int32_t segment_dropped;

  float fade;

  uint8_t playing, recording, loop_on, stopping, seek_pending, fast_fade, command_held, tape_full,
      events_overflowed, scrubbing, coasting, was_playing;

  double scrub_pos, scrub_target;
  double scrub_velocity;
  double coast_velocity;
  float scrub_gain;

  int32_t take_id;

  XyMixer xy;
  LevelMeter meter;
  float input_level, input_peak, output_peak, gain_in_use;

  uint64_t n_callbacks, n_oversize, n_nonfinite, n_events_dropped, n_levels_dropped, n_missing,
      n_flagged;

  // Six blocks of CORE_MAX_FRAMES floats: input l/r, conditioned l/r, spare outputs l/r.
  float* scratch;

  // Collector thread only.
  CoreDeferred deferred[CORE_DEFERRED_MAX];
  int32_t deferred_count;
  int32_t leaked_reported;
};

constexpr float CORE_FADE_OFF = 0.0005f;   // below this the envelope counts as closed
constexpr float CORE_FADE_JUMP = 0.02f;    // a jump while recording waits for this
constexpr double CORE_SCRUB_STILL = 0.05;  // frames per frame that count as not moving

// Posting (audio thread or quiesce). Losses are counted and answered with EV_RESYNC.
void core_post_event(Core* c, const CoreEvent* ev);
void core_post_value(Core* c, int32_t kind, uint64_t value);
// Closes the running segment (flushing a partial hop) and starts the next one at next_start.
void core_post_segment(Core* c, int32_t kind, int64_t next_start);
// Clears the tail and posts EV_TAIL_DONE.
void core_end_tail(Core* c);
inline void core_push_level(Core* c, float peak) {
  if (!spsc_push(&c->levels, peak)) {
    c->segment_dropped++;
    c->n_levels_dropped++;
  }
}
// The idle output of frames [from, n): the conditioned input when monitoring, else silence.
inline void core_idle_output(const float* cl, const float* cr, float* out_l, float* out_r,
                             int from, int n, bool monitor) {
  if (monitor) {
    std::memcpy(out_l + from, cl + from, sizeof(float) * (size_t)(n - from));
    std::memcpy(out_r + from, cr + from, sizeof(float) * (size_t)(n - from));
  } else {
    std::memset(out_l + from, 0, sizeof(float) * (size_t)(n - from));
    std::memset(out_r + from, 0, sizeof(float) * (size_t)(n - from));
  }
}

// Plays, overdubs and records one block at the cursor (render.cpp).
void core_render_tape(Core* c, const float* cl, const float* cr, float* out_l, float* out_r, int n,
                      bool monitor, float gain);

// Hands a tape to the collector through the retire ring, its overflow list, or leaks it.
void core_retire_tape(Core* c, Tape* t);
void core_drain_overflow(Core* c);

// `pos` floored and clamped to [0, length].
int64_t core_floor_clamp(double pos, int64_t length);

void core_scrub_begin(Core* c);
void core_scrub_move(Core* c, double delta);
void core_scrub_end(Core* c, uint8_t flags);
// Ends a scrub or coast at once; a coast posts EV_CURSOR_SETTLED.
void core_scrub_stop_now(Core* c);
void core_scrub_render(Core* c, const float* cond_l, const float* cond_r, float* out_l,
                       float* out_r, int n, bool monitor, float playback_gain, float scrub_scale);
