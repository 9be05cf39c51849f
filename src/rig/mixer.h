// The rig mixer: folds up to 64 device inputs into the stereo pair the core records.
//
// Threads: the engine's control thread binds the mixer to each new stream (rig_bind_stream,
// while no callback runs); the audio callback mixes (rig_mix: no allocation, lock, log or
// system call); the UI thread publishes plans (rig_publish_plan) and takes the meters
// (rig_read_meters). Plans cross in a sequence-numbered mailbox, meters come back through
// atomic max / OR / exchange, so neither side ever waits for the other.
#pragma once
#include <cstdint>

#include "rig/rig_doc.h"

enum { RIG_MAX_FRAMES = 4096 };

constexpr double RIG_DEFAULT_RAMP_SECONDS = 0.02;
constexpr double RIG_MAX_RAMP_SECONDS = 10.0;

struct RigMixer;  // one per program, 64-byte aligned

struct RigMeters {
  int32_t bound_channels;
  uint32_t bound_tag;
  float input_peak[RIG_MAX_CHANNELS];
  float post_gain_peak[RIG_MAX_CHANNELS];  // input peak times the largest gain applied
  uint64_t clip_mask;                      // inputs whose peak reached 0.999
  uint64_t bad_mask;                       // inputs that delivered NaN or infinity
  float output_peak_left;
  float output_peak_right;
  bool output_clipped;  // an output peak reached 1.0
  bool waiting;         // no plan for the bound stream yet: silent
  bool on_fallback;     // playing the device's default plan
  uint64_t bad_total;   // bad samples since creation, inputs and outputs
};

// --- Plans (any thread; pure) -----------------------------------------------------------

// The plan of a scene for a stream with `channels` inputs. Channels past the scene's
// channel_count stay silent. A null scene gives a silent plan.
void rig_plan_from_scene(const RigScene* scene, int channels, RigPlan* out);
// The device's fallback: inputs 1 and 2 (a stereo pair unless api is "asio"), the rest muted.
void rig_default_plan(const char* api, int channels, RigPlan* out);
bool rig_plan_equal(const RigPlan* a, const RigPlan* b);
// The pan law: left and right gain of a single channel at pan p (unity at the centre).
void rig_pan_gains(float pan, float* left, float* right);

// --- Mixer ------------------------------------------------------------------------------

RigMixer* rig_mixer_new();
void rig_mixer_free(RigMixer* m);

// Control thread, before a new stream starts. Every gain starts at 0: the stream stays
// silent until a plan with `tag` arrives, or plays `fallback` (may be null) after 1 s.
void rig_bind_stream(RigMixer* m, double rate, int channels, uint32_t tag, const RigPlan* fallback);

// Audio callback. inputs[i] may be null (no such input). Fills left and right with the mix of
// min(frames, RIG_MAX_FRAMES) frames and returns that count; without a mixer input 1 goes
// left and input 2 right. Never allocates, locks, logs or calls the system.
int rig_mix(RigMixer* m, const float* const* inputs, int input_count, float* left, float* right,
            int frames);

// UI thread. A null plan silences the mixer (and keeps it from falling back). ramp_seconds
// not positive means 20 ms; at most 10 s.
void rig_publish_plan(RigMixer* m, const RigPlan* plan, uint32_t tag, double ramp_seconds);
// UI thread: takes the peaks and masks since the last call and resets them.
void rig_read_meters(RigMixer* m, RigMeters* out);

// --- Meters as shown (UI) ---------------------------------------------------------------

constexpr float RIG_LEVEL_FLOOR_DB = -200.0f;

struct RigShownLevel {
  float level;     // dB, falls 24 dB/s
  float hold;      // dB, peak hold
  float hold_age;  // seconds since the hold last rose
};

// 20 log10(peak), RIG_LEVEL_FLOOR_DB for no signal.
float rig_level_db(float peak);
void rig_shown_level_reset(RigShownLevel* s);
// One UI frame: dt seconds since the previous one (at most 1), peak since then.
void rig_shown_level_update(RigShownLevel* s, float peak, double dt);
