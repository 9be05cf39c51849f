// Level and spectral analysis of takes: hop levels rebuilt from the capture tape, strokes
// normalised from levels, the 6-band x 96-column spectral map, the sketch's 96-column overview
// and the colour ramp for a level. Runs on job workers and the UI thread, never the audio thread.
#pragma once
#include <cstdint>

struct Tape;
struct JobProgress;

constexpr int ANALYSIS_SPECTRAL_BANDS = 6;
constexpr int ANALYSIS_SPECTRAL_COLUMNS = 96;
constexpr int ANALYSIS_SPECTRAL_VALUES = ANALYSIS_SPECTRAL_BANDS * ANALYSIS_SPECTRAL_COLUMNS;
constexpr int ANALYSIS_FFT_SIZE = 2048;
constexpr int ANALYSIS_OVERVIEW_COLUMNS = 96;

// Hops per second at any rate: 256 frames at 48 kHz.
constexpr double ANALYSIS_HOPS_PER_SECOND = 187.5;
// Most levels one rebuild may produce.
constexpr int64_t ANALYSIS_MAX_LEVELS = 2000000000;

// rate / 187.5 frames (fractions carry from hop to hop); 0 when the rate is not positive.
double analysis_hop_size(double rate);

// Room for the levels of frames at hop: ceil(frames / hop) + 2 (0 for no frames or no hop;
// INT64_MAX when it does not fit).
int64_t analysis_hop_room(int64_t frames, double hop);

// Per-hop peaks of a capture tape over [start, end), the same as the ones measured live.
// hop > 0 is used as given; otherwise rate / 187.5, or the tape's rate / 187.5 when rate is not
// positive. An empty range or an unusable hop succeeds with no levels. On success *levels is a
// malloc'd array of *count floats (null when 0), freed with free().
// Returns 0; -1 with *message "NO CAPTURE" (null tape) or "SEGMENT TOO LONG"; -2 with
// "NOT ENOUGH MEMORY". message may be null.
int analysis_hop_levels(const Tape* tape, int64_t start, int64_t end, double hop, double rate,
                        float** levels, int32_t* count, const char** message);

// Normalises levels into strokes 0..1 by their peak (the largest finite level above 0) and
// returns that peak (0 when none). Non-finite or non-positive levels, and every level when the
// peak is 0, give 0. strokes may be the levels array itself.
float analysis_strokes_from_levels(const float* levels, int32_t count, float* strokes);

// One band of the spectral map at a rate: 40 Hz .. min(16 kHz, rate / 2) in six logarithmic
// steps, FFT bins [bin_lo, bin_hi) of the 2048-point transform, and the +4.5 dB per octave tilt
// around 1 kHz applied to its value.
struct AnalysisBand {
  double low_hz;
  double high_hz;
  double centre_hz;
  int32_t bin_lo;
  int32_t bin_hi;
  double tilt;
};
// Fills six bands; -1 when the rate is not positive and finite.
int analysis_spectral_bands(double rate, AnalysisBand bands[ANALYSIS_SPECTRAL_BANDS]);

// The 6 x 96 loudness map (index = band * 96 + column, each 0..1, loudest cell 1, -46 dB and
// below 0) of [start, end) of a capture tape. rate is used when positive, else the tape's; no
// usable rate or an empty range gives an all-zero map. progress (may be null) gets total 96 and
// done per column, and its cancel flag is polled before each column.
// Returns 0; -1 with *message "NO CAPTURE" (null tape) or "ANALYSIS FAILED"; -3 when cancelled.
// On any failure the map is all zero.
int analysis_spectral_map(const Tape* tape, double rate, int64_t start, int64_t end,
                          JobProgress* progress, float map[ANALYSIS_SPECTRAL_VALUES],
                          const char** message);

// What the overview needs of one layer: its frames [start, start + length) and its strokes.
struct AnalysisLayerSpan {
  int64_t start;
  int64_t length;
  const float* strokes;
  int32_t stroke_count;
};

// The sketch's 96-column overview over total_frames: each column keeps the largest stroke any
// layer has under the column's centre. Returns false (overview all zero) when it is absent:
// no layer with strokes and a positive length, or no positive total.
bool analysis_overview(const AnalysisLayerSpan* layers, int32_t count, int64_t total_frames,
                       float overview[ANALYSIS_OVERVIEW_COLUMNS]);

struct AnalysisColour {
  float r, g, b;
};
// Blue (quiet) through amber (0.85) to white (full); level clamped to 0..1; every channel
// scaled by 1 + boost (boost below 0 or NaN counts as 0) and capped at 1.
AnalysisColour analysis_level_colour(float level, float boost);
