// The rig document as it lives in memory (four scenes of up to 64 inputs), the plan a
// scene turns into, and the small value helpers shared by the rig's parts: decibels, the
// fader taper, keys and tags, UUIDs, the random generator and the wall clock.
// Documents belong to the UI thread; hand other threads copies (rig_doc_copy).
#pragma once
#include <cstddef>
#include <cstdint>

enum {
  RIG_MAX_CHANNELS = 64,
  RIG_SCENES = 4,
  RIG_APP_SCENES = 16,
  RIG_KEY_BYTES = 200,
  RIG_API_BYTES = 16,
  RIG_DEVICE_BYTES = 128,
  RIG_NAME_BYTES = 64,  // channel names, labels and scene names
  RIG_APP_BYTES = 48,
  RIG_PLATFORM_BYTES = 16,
  RIG_VERSION_BYTES = 24,
  RIG_INSTANCE_BYTES = 17,
  RIG_UUID_BYTES = 37,
  RIG_GLYPH_BYTES = 8,
};

constexpr float RIG_MAX_GAIN = 3.9810717f;  // +12 dB
constexpr double RIG_MAX_DB = 12.0;
constexpr double RIG_MIN_DB = -72.0;  // quietest gain a fader or nudge lands on

// Owned, growable text kept verbatim for writing back (members this program does not
// know). data is null while empty; free with rig_text_clear.
struct RigText {
  char* data;
  size_t len;
  size_t cap;
};

struct RigChannel {
  float gain;  // linear, 0..RIG_MAX_GAIN
  float pan;   // -1 left .. +1 right
  bool muted;
  bool link;  // on an even channel: this one and the next form a stereo pair
  char label[RIG_NAME_BYTES];
  char id[RIG_UUID_BYTES];
  RigText extra;
};

struct RigAppScene {
  char app[RIG_APP_BYTES];
  int32_t scene;
  double at;  // seconds since 2001-01-01 UTC
};

struct RigScene {
  char id[RIG_UUID_BYTES];
  char name[RIG_NAME_BYTES];
  char glyph[RIG_GLYPH_BYTES];
  bool fresh;  // never edited; takes the active scene's settings when first selected
  float master_gain;
  double updated_at;
  char author[RIG_APP_BYTES];
  int32_t channel_count;
  RigChannel channels[RIG_MAX_CHANNELS];
  RigText extra_scene;
  RigText extra_channels;
};

struct RigDoc {
  int32_t version;
  bool read_only;
  char key[RIG_KEY_BYTES];
  char api[RIG_API_BYTES];
  char device_name[RIG_DEVICE_BYTES];
  int32_t channels;
  char channel_names[RIG_MAX_CHANNELS][RIG_NAME_BYTES];
  int32_t active_scene;
  int32_t app_scene_count;
  RigAppScene app_scenes[RIG_APP_SCENES];
  RigScene scenes[RIG_SCENES];
  int64_t rev;
  char writer_app[RIG_APP_BYTES];
  char writer_platform[RIG_PLATFORM_BYTES];
  char writer_version[RIG_VERSION_BYTES];
  char writer_instance[RIG_INSTANCE_BYTES];
  double writer_at;
  RigText extra_root;
  RigText extra_device;
  RigText extra_scenes;
};

// Per-input gains one scene means for the mixer. Entries past channel_count are 0.
struct RigPlan {
  int32_t channel_count;
  float left[RIG_MAX_CHANNELS];
  float right[RIG_MAX_CHANNELS];
  float master;
};

// --- Owned text -------------------------------------------------------------------------

// 0, or -2 when out of memory (the text is left as it was).
int rig_text_append(RigText* t, const char* s, size_t n);
int rig_text_set(RigText* t, const char* s, size_t n);
void rig_text_clear(RigText* t);
// "" while empty.
const char* rig_text_str(const RigText* t);


// --- Documents --------------------------------------------------------------------------

// A heap document in the empty state; null when out of memory.
RigDoc* rig_doc_new();
// Frees the owned texts and the document.
void rig_doc_free(RigDoc* doc);
// Frees the owned texts and makes doc the empty document (version 1, default scenes).
// doc must be zeroed or a document made by these functions.
void rig_doc_reset(RigDoc* doc);
// Deep copy, owned texts included. 0, or -2 when out of memory (dst is then empty).
int rig_doc_copy(RigDoc* dst, const RigDoc* src);
// The default scene of the empty document for index 0..3: zeroed, master 1, "scene %d",
// the index's glyph. Frees the scene's owned texts first.
void rig_scene_reset(RigScene* scene, int index);
// UTF-8 bytes of the default glyph of scene index 0..3 ("" otherwise).
const char* rig_default_glyph(int index);
// A new rig for a device: inputs 1 and 2 as a stereo pair (not on "asio"), the rest muted,
// every scene and channel with a new UUID. An empty key is built from api and name.
// names may be null; name_count of them are copied (each cut to 63 bytes).
// 0, or -1 without a document.
int rig_doc_init_for_device(RigDoc* doc, const char* key, const char* api, const char* device_name,
                            int channels, const char (*names)[RIG_NAME_BYTES], int name_count,
                            const char* author, double now);

// --- Values -----------------------------------------------------------------------------

float rig_db_to_gain(double db);    // 0 for NaN or <= -144 dB, exactly 1 at 0 dB
double rig_gain_to_db(float gain);  // -inf for gain <= 0 (or NaN), exactly 0 at 1
// Moves gain by db decibels as a wheel or key step does: snaps to exactly 1 when the step
// crosses 0 dB, stops at +12 dB, drops to 0 below -72 dB, and wakes 0 up at -72 dB.
float rig_gain_nudge(float gain, double db);
// The fader taper: dB to a position 0..1 and a position back to a gain.
double rig_taper_position(double db);
float rig_taper_gain(double position);

// Rig key "api:device name" with the name trimmed, made valid and freed of Windows'
// "(2- " renumbering. 0, or -1 (out = "") when it does not fit RIG_KEY_BYTES.
int rig_key(const char* api, const char* device_name, char out[RIG_KEY_BYTES]);
// Stream tag: FNV-1a 32 of the key's bytes, never 0.
uint32_t rig_tag(const char* key);

// Version 4 UUID text, upper-case hex, 36 characters.
void rig_uuid(char out[RIG_UUID_BYTES]);
// 16 lower-case hex digits of one random 64-bit value.
void rig_instance_id(char out[RIG_INSTANCE_BYTES]);

// The process's random generator (splitmix64). The first seed wins; a value asked for
// before any seed seeds it from the clocks. Returns whether this call seeded it.
bool rig_random_seed(uint64_t seed);
uint64_t rig_random_next();
// One splitmix64 step on an explicit state.
uint64_t rig_splitmix64(uint64_t* state);

// Wall-clock seconds since 2001-01-01 00:00 UTC, or the frame's wall time when one is set.
double rig_now();
// Pins rig_now to the frame's wall time; NaN goes back to the system clock.
void rig_set_frame_time(double wall_seconds);
