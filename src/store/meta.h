// The sketch model: SketchMeta (one per sketch) and Layer (one reference-counted drawing record
// per take), meta.json's reader (which repairs what is malformed with a named message and keeps
// every key it does not understand) and writer, and the folder-level load and save.
//
// A SketchMeta belongs to one thread at a time; jobs get clones. Layers are shared between
// threads: the count is atomic, every other field is read-only once the layer sits in a
// SketchMeta, and layer_attach_spectral is the only later writer. Every function tolerates null
// arguments (it then does nothing or returns a neutral value).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/analysis.h"
#include "store/uuid.h"

struct JsonWriter;

enum {
  META_NAME_MAX = 255,                               // bytes of a name
  META_SPACE_MAX = 7,                                // bytes of a space word
  META_VIBE_MAX = 23,                                // bytes of a vibe word
  META_WAVEFORM_POINTS = ANALYSIS_OVERVIEW_COLUMNS,  // 96
  LAYER_SPECTRAL_VALUES = ANALYSIS_SPECTRAL_VALUES,  // 576: 6 bands x 96 columns, band-major
};

// Sample rates a real recording has. A sketch with audio at any other rate is damaged: opening
// it would resample it into something enormous.
constexpr double META_RATE_MIN = 1000.0;
constexpr double META_RATE_MAX = 768000.0;
// The largest meta.json read. A four-hour sketch's is about 50 MB; a larger file is damaged and
// is refused unread, so one stray file can't stall the scan.
constexpr int64_t META_JSON_MAX_BYTES = (int64_t)256 << 20;

// True for a rate from META_RATE_MIN to META_RATE_MAX.
bool meta_rate_usable(double rate);

enum MetaStatus {
  META_OK = 0,          // read as written
  META_REPAIRED = 1,    // read, with repairs (message names the first)
  META_UNREADABLE = 2,  // not JSON, not an object, or the file couldn't be read
  META_MISSING = 3,     // the folder has no meta.json
};

struct MetaRgb {
  double r, g, b;
};

struct MetaColour {
  float r, g, b;
};

struct Layer {
  std::atomic<int32_t> refs;  // the maker holds 1; every holder owns one
  int64_t startSample;
  int64_t lengthSamples;
  double sampleRate;
  double createdAt;  // seconds since 2001-01-01 UTC
  double bornAt;     // monotonic seconds when the session made it; 0 from disk; never written
  float* strokes;    // strokeCount values 0..1, one per hop, normalised to the take's peak
  int32_t strokeCount;
  char* strokesText;  // the "strokes" list's source text when its objects carry other keys
  bool hasExplicitY;
  double explicitY;
  bool hasExplicitColor;
  MetaRgb explicitColor;
  bool hasPeak;
  float peak;  // the take's true peak before normalisation
  // LAYER_SPECTRAL_VALUES floats or null; set once (layer_attach_spectral), read with acquire.
  std::atomic<float*> spectral;
  char* extras;  // kept members: unknown layer keys, and a spectral list of another length
};

// What layer_new copies into a fresh Layer.
struct LayerTemplate {
  int64_t startSample;
  int64_t lengthSamples;
  double sampleRate;
  double createdAt;
  double bornAt;
  bool hasExplicitY;
  double explicitY;
  bool hasExplicitColor;
  MetaRgb explicitColor;
};

// Kept texts are malloc'd, terminated and valid UTF-8. "Kept members" are the inner text of an
// object ("a":1,"b":[2] without braces) in source order; other kept texts are one value's exact
// source text.
struct SketchMeta {
  Uuid uuid;
  char id[UUID_TEXT_BYTES];      // uuid as lower-case text
  char name[META_NAME_MAX + 1];  // empty: unnamed
  double createdAt;              // seconds since 2001-01-01 UTC
  double sampleRate;
  int64_t lengthSamples;
  int32_t channels;                // 1 = legacy mono tape.f32, 2 = stereo
  char space[META_SPACE_MAX + 1];  // "dry", "tight" or "deep"
  double loopStart;
  double loopEnd;
  bool loopActive;
  bool hasPickedColor;
  MetaRgb pickedColor;
  char vibe[META_VIBE_MAX + 1];
  bool hasViewZoom, hasViewPanY, hasViewZoomY, hasViewPanX;
  double viewZoom, viewPanY, viewZoomY, viewPanX;
  Layer** layers;  // one reference per slot, in take order
  int32_t layerCount;
  int32_t layerCapacity;
  float* waveform;  // summary values 0..1 (96 when computed here, any count when read)
  int32_t waveformCount;
  char* waveformSnapshots;  // the phone's list of float lists, passed through
  char* legacyLayers;       // the phone's old "layers" list, passed through
  bool hasLegacyLayers;     // with no tape.f32 it marks a legacy sketch
  char* extras;             // kept members: unknown top-level keys
};

// ---- model ----

// Fills meta as a new sketch: fresh id, now, rate (48000 when not above 0), stereo, "dry",
// "kelp". meta's previous contents are not released.
void meta_new(SketchMeta* meta, double rate);
// A deep copy on the heap sharing the layers (each retained); null when memory runs out (nothing
// taken). Release with meta_destroy.
SketchMeta* meta_clone(const SketchMeta* meta);
// Releases every layer and text and zeroes the structure (the structure itself stays).
void meta_free(SketchMeta* meta);
// meta_free, then frees the structure of a meta_clone result.
void meta_destroy(SketchMeta* meta);
// Drops the layers, waveform and waveformSnapshots; keeps legacyLayers and extras.
void meta_clear_audio(SketchMeta* meta);
// Takes over one reference to layer. On allocation failure the layer is released (logged).
// 0 or -1.
int meta_add_layer(SketchMeta* meta, Layer* layer);
// Takes over one reference and releases the old layer at index; out of range releases layer.
// 0 or -1.
int meta_replace_layer(SketchMeta* meta, int32_t index, Layer* layer);
// After the tape was resampled: layer positions scaled by newRate / sampleRate (rounded half
// away from zero), then sampleRate = newRate and lengthSamples = newFrames. Nothing when newRate
// is not above 0. 0, or -1 when a layer couldn't be copied (it stays as it was; logged).
int meta_rescale(SketchMeta* meta, double newRate, int64_t newFrames);
// Recomputes the 96-point waveform from the layers (all zero when none contributes); frees it
// when lengthSamples <= 0. Returns true when a layer contributed.
bool meta_refresh_waveform(SketchMeta* meta);
// Renormalises legacy layers (no peak, largest stroke between 0 and 0.999) to full scale.
// Returns how many layers were replaced.
int meta_upgrade_strokes(SketchMeta* meta);

// The display title: the name, else "Recording · Mon d · h:mmAM" from createdAt in local time,
// else "Recording". Cut at a character boundary; returns its length in bytes.
int meta_title(const SketchMeta* meta, char* buffer, size_t size);
// "MMM d, yyyy, <time without seconds>" in the user's locale (LC_TIME from the environment),
// UTF-8; empty when createdAt is no showable date. Returns the length in bytes.
int meta_date_text(const SketchMeta* meta, char* buffer, size_t size);
// Seconds: lengthSamples / max(sampleRate, 1).
double meta_duration(const SketchMeta* meta);
bool meta_is_empty(const SketchMeta* meta);
// pickedColor when present, else the palette entry chosen by the id.
MetaColour meta_colour(const SketchMeta* meta);
// Palette entry 0..7 for an id (|uuid_hash| mod 8).
int meta_palette_index(const Uuid* uuid);

// ---- layers ----

// A fresh layer (refs 1) from template with strokeCount zero strokes; null on failure.
Layer* layer_new(const LayerTemplate* tmpl, int32_t strokeCount);
// A layer whose strokes are levels normalised by their peak (largest finite level above 0), the
// peak recorded; null on failure.
Layer* layer_from_take(const LayerTemplate* tmpl, const float* levels, int32_t count);
// A copy (refs 1) with strokeCount strokes: the first ones copied, the rest 0. The stroke
// source text is kept only when the count is unchanged. Null on failure.
Layer* layer_copy(const Layer* layer, int32_t strokeCount);
// A copy with new strokes from levels as in layer_from_take; no levels clears the peak.
Layer* layer_with_strokes(const Layer* layer, const float* levels, int32_t count);
Layer* layer_retain(Layer* layer);
// Drops one reference; the last frees the layer.
void layer_release(Layer* layer);
// Whether layer is the take that started at start, ran length samples and was made at createdAt
// (a copy loaded again from disk is the same take).
bool layer_is(const Layer* layer, int64_t start, int64_t length, double createdAt);
// Sets the spectral record once (a copy of values); false when one was already set or memory
// ran out.
bool layer_attach_spectral(Layer* layer, const float* values);
// The spectral record or null.
const float* layer_spectral(const Layer* layer);

// ---- meta.json ----

// Reads meta.json text into meta (always filled, even on failure; previous contents are not
// released). message receives the first repair message, the failure text, or "" for META_OK.
MetaStatus meta_parse(const char* text, size_t length, SketchMeta* meta, char* message,
                      size_t messageSize);
// Appends the sketch as one compact object. 0, or -1 when the writer failed.
int meta_serialise(const SketchMeta* meta, JsonWriter* writer);
// Loads folder/meta.json and reconciles it with the folder's name and tape.f32. *dirty is set
// when the result differs from the file (repairs, an id that was not in the file, a length or
// channel count taken from tape.f32) so the caller should save it. A meta.json larger than
// META_JSON_MAX_BYTES (refused unread), and a sketch with audio whose rate is not usable, are
// META_UNREADABLE with the reason in message (logged).
MetaStatus meta_load_folder(const char* folder, SketchMeta* meta, bool* dirty, char* message,
                            size_t messageSize);
// Writes folder/meta.json through a temporary file, making the folder if needed. 0, or -1 with
// the old file left in place.
int meta_save_folder(const char* folder, const SketchMeta* meta);

// Tests only: after `after` more successful allocations every allocation of this module fails;
// -1 turns it off.
void meta_debug_fail_allocations(int64_t after);
