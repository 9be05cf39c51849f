// Input conditioning that runs on the audio thread: rate coefficients, the XY performance mixer,
// the input level meter and the output soft clipper. Allocation-free; planar float blocks.
#pragma once
#include <cstdint>

// Per-frame smoothing constants tuned at 48 kHz, converted as 1 - (1 - c)^(48000 / rate).
struct CoreRates {
  double rate;       // the rate in use (48,000 when the requested one was unusable)
  double ratio;      // 48000 / rate
  float slow_fade;   // record envelope
  float fast_fade;   // record envelope around jumps
  float scrub_gain;  // scrub output envelope
  float hp_decay;    // XY mixer high-pass state decay
  double hop_size;   // frames per level hop: rate / 187.5
};

// A rate outside (1,000, 10,000,000) is treated as 48,000.
CoreRates core_rates_for(double rate);
// 1 - (1 - c)^ratio, or c itself when ratio is exactly 1.
double core_rate_coef(double c, double ratio);

// X pans and pushes the sound away, Y makes it louder and brighter (up) or quieter and darker.
struct XyMixer {
  float smooth_x, smooth_y;
  float tone_l, tone_r;  // one-pole low-pass states
  float hp_l, hp_r;      // high-pass (subtracted low-pass) states
  float gain;            // 1.0
  float dead_zone;       // 0.1
  double ratio;          // copied from the rates every block
  float hp_decay;
  double smooth_span;  // the block length (in 48 kHz blocks of 256) smooth_k was worked out for
  float smooth_k;
};

void xy_mixer_reset(XyMixer* m);
// Clears the filter states only; the smoothed X and Y carry on.
void xy_mixer_clear_filters(XyMixer* m);
// channels 1: both sides take in_l. Writes n frames to out_l and out_r.
void xy_mixer_process(XyMixer* m, const CoreRates* rates, const float* in_l, const float* in_r,
                      int channels, float x, float y, float* out_l, float* out_r, int n);
// As xy_mixer_process, for a caller that already knows whether both sources are plain (every
// sample +0 or a finite normal number; see BlockScan).
void xy_mixer_process_known(XyMixer* m, const CoreRates* rates, const float* in_l,
                            const float* in_r, int channels, float x, float y, float* out_l,
                            float* out_r, int n, bool plain);
// As xy_mixer_process_known, except that a block passing through unchanged is not copied: true
// then, and the conditioned block is the input itself (channels 1: in_l for both sides).
bool xy_mixer_process_or_pass(XyMixer* m, const CoreRates* rates, const float* in_l,
                              const float* in_r, int channels, float x, float y, float* out_l,
                              float* out_r, int n, bool plain);
// The dead-zone map used on the smoothed X and Y.
float xy_dead_zone(float v, float dead_zone);

// Input level normalised against the loudest peak since the last reset.
struct LevelMeter {
  float ref_peak;  // 0 after reset
  float ref_env;   // 1 after reset
  double env_span;  // the block length (in 48 kHz blocks of 256) env_w was worked out for
  float env_w;
};

void level_meter_reset(LevelMeter* m);
float level_meter_process(LevelMeter* m, double ratio, const float* left, const float* right,
                          int n);

// Unity below 2/3, a parabola to 1 at 4/3, flat above; NaN becomes 0.
float soft_clip(float x);
// Clips both blocks in place; returns the largest absolute clipped sample.
float soft_clip_block(float* left, float* right, int n);

// Largest absolute sample of both blocks.
float block_peak(const float* left, const float* right, int n);
// Replaces infinities and NaNs (all exponent bits set) by 0; returns how many were replaced.
int block_zero_nonfinite(float* x, int n);

struct BlockScan {
  int replaced;  // infinities and NaNs that became 0
  float peak;    // largest absolute sample afterwards
  bool plain;    // every sample afterwards is +0 or a finite normal number
};
// One pass of what the callback does to an input channel: copies src (zeros when null) into
// dst with block_zero_nonfinite's replacement, and measures the result.
BlockScan block_take(float* dst, const float* src, int n);
// block_take's measures of src without the copy (replaced counts what would be replaced).
BlockScan block_scan(const float* src, int n);
