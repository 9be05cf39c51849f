// Pieces of the real-time core shared by core.cpp, scrub.cpp and collector.cpp.
#pragma once
#include "core/core.h"

constexpr float CORE_FADE_OFF = 0.0005f;   // below this the envelope counts as closed
constexpr float CORE_FADE_JUMP = 0.02f;    // a jump while recording waits for this
constexpr double CORE_SCRUB_STILL = 0.05;  // frames per frame that count as not moving

// Posting (audio thread or quiesce). Losses are counted and answered with EV_RESYNC.
void core_post_event(Core* c, const CoreEvent* ev);
void core_post_value(Core* c, int32_t kind, uint64_t value);
// Closes the running segment (flushing a partial hop) and starts the next one at next_start.
void core_post_segment(Core* c, int32_t kind, int64_t next_start);

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
