#include "rig/rig_doc.h"
#include "store/uuid.h"
#include "base/text.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <new>

#include "platform/platform.h"
#include "base/clock.h"
#include "base/log.h"

// --- Owned text -------------------------------------------------------------------------

int rig_text_append(RigText* t, const char* s, size_t n) {
  if (!t) return -1;
  if (n == 0) return 0;
  if (!s) return -1;
  if (t->len + n + 1 > t->cap) {
    size_t cap = t->cap ? t->cap : 64;
    while (cap < t->len + n + 1) cap *= 2;
    // s may point into the text itself, which the realloc can move.
    uintptr_t from = (uintptr_t)t->data, at = (uintptr_t)s - from;
    bool inside = t->data && (uintptr_t)s >= from && at < t->len;
    char* p = (char*)realloc(t->data, cap);
    if (!p) return -2;
    t->data = p;
    t->cap = cap;
    if (inside) s = p + at;
  }
  memcpy(t->data + t->len, s, n);
  t->len += n;
  t->data[t->len] = 0;
  return 0;
}

int rig_text_set(RigText* t, const char* s, size_t n) {
  if (!t) return -1;
  if (n == 0) {
    rig_text_clear(t);
    return 0;
  }
  if (!s) return -1;
  if (n + 1 > t->cap) {
    char* p = (char*)malloc(n + 1);
    if (!p) return -2;
    free(t->data);
    t->data = p;
    t->cap = n + 1;
  }
  memmove(t->data, s, n);
  t->len = n;
  t->data[n] = 0;
  return 0;
}

void rig_text_clear(RigText* t) {
  if (!t) return;
  free(t->data);
  t->data = nullptr;
  t->len = 0;
  t->cap = 0;
}

const char* rig_text_str(const RigText* t) {
  return t && t->data ? t->data : "";
}


// --- Documents --------------------------------------------------------------------------

namespace {

const char* const kGlyphs[RIG_SCENES] = {
    "\xE2\x99\x97",  // U+2657 white chess bishop
    "\xE2\x9D\xA6",  // U+2766 floral heart
    "\xE2\x99\xA8",  // U+2668 hot springs
    "\xE2\x98\xAF",  // U+262F yin yang
};

void scene_free_texts(RigScene* s) {
  rig_text_clear(&s->extra_scene);
  rig_text_clear(&s->extra_channels);
  for (RigChannel& c : s->channels) rig_text_clear(&c.extra);
}

void doc_free_texts(RigDoc* d) {
  rig_text_clear(&d->extra_root);
  rig_text_clear(&d->extra_device);
  rig_text_clear(&d->extra_scenes);
  for (RigScene& s : d->scenes) scene_free_texts(&s);
}

void copy_cstr(char* dst, size_t size, const char* src) {
  text_copy_valid(dst, size, src, SIZE_MAX, nullptr, nullptr);
}

int dup_text(RigText* dst, const RigText* src) {
  *dst = RigText{nullptr, 0, 0};
  return src->len ? rig_text_set(dst, src->data, src->len) : 0;
}

}  // namespace

const char* rig_default_glyph(int index) {
  return index >= 0 && index < RIG_SCENES ? kGlyphs[index] : "";
}

void rig_scene_reset(RigScene* scene, int index) {
  if (!scene) return;
  scene_free_texts(scene);
  memset((void*)scene, 0, sizeof *scene);
  scene->master_gain = 1.0f;
  snprintf(scene->name, sizeof scene->name, "scene %d", index + 1);
  copy_cstr(scene->glyph, sizeof scene->glyph, rig_default_glyph(index));
}

void rig_doc_reset(RigDoc* doc) {
  if (!doc) return;
  doc_free_texts(doc);
  memset((void*)doc, 0, sizeof *doc);
  doc->version = 1;
  for (int i = 0; i < RIG_SCENES; i++) rig_scene_reset(&doc->scenes[i], i);
}

RigDoc* rig_doc_new() {
  RigDoc* doc = (RigDoc*)calloc(1, sizeof(RigDoc));
  if (!doc) {
    log_line("rig: out of memory for a rig document");
    return nullptr;
  }
  rig_doc_reset(doc);
  return doc;
}

void rig_doc_free(RigDoc* doc) {
  if (!doc) return;
  doc_free_texts(doc);
  free(doc);
}

int rig_doc_copy(RigDoc* dst, const RigDoc* src) {
  if (!dst || !src) return -1;
  if (dst == src) return 0;
  doc_free_texts(dst);
  memcpy((void*)dst, (const void*)src, sizeof *dst);
  // The raw copy shares src's texts; give dst its own before anything can fail.
  int rc = 0;
  rc |= dup_text(&dst->extra_root, &src->extra_root);
  rc |= dup_text(&dst->extra_device, &src->extra_device);
  rc |= dup_text(&dst->extra_scenes, &src->extra_scenes);
  for (int s = 0; s < RIG_SCENES; s++) {
    RigScene* d = &dst->scenes[s];
    const RigScene* o = &src->scenes[s];
    rc |= dup_text(&d->extra_scene, &o->extra_scene);
    rc |= dup_text(&d->extra_channels, &o->extra_channels);
    for (int c = 0; c < RIG_MAX_CHANNELS; c++)
      rc |= dup_text(&d->channels[c].extra, &o->channels[c].extra);
  }
  if (rc != 0) {
    rig_doc_reset(dst);
    log_line("rig: out of memory copying a rig document");
    return -2;
  }
  return 0;
}

int rig_doc_init_for_device(RigDoc* doc, const char* key, const char* api, const char* device_name,
                            int channels, const char (*names)[RIG_NAME_BYTES], int name_count,
                            const char* author, double now) {
  if (!doc) return -1;
  rig_doc_reset(doc);
  copy_cstr(doc->api, sizeof doc->api, api);
  copy_cstr(doc->device_name, sizeof doc->device_name, device_name);
  if (key && key[0]) {
    copy_cstr(doc->key, sizeof doc->key, key);
  } else {
    rig_key(api, device_name, doc->key);
  }
  int n = channels < 1 ? 1 : channels > RIG_MAX_CHANNELS ? RIG_MAX_CHANNELS : channels;
  doc->channels = n;
  if (names) {
    int count = name_count < 0 ? 0 : name_count > RIG_MAX_CHANNELS ? RIG_MAX_CHANNELS : name_count;
    for (int i = 0; i < count; i++)
      text_copy_valid(doc->channel_names[i], RIG_NAME_BYTES, names[i], RIG_NAME_BYTES, nullptr,
                    nullptr);
  }
  doc->active_scene = 0;
  bool asio = api && strcmp(api, "asio") == 0;
  for (int s = 0; s < RIG_SCENES; s++) {
    RigScene* sc = &doc->scenes[s];
    rig_uuid(sc->id);
    sc->fresh = s > 0;
    sc->updated_at = now;
    copy_cstr(sc->author, sizeof sc->author, author);
    sc->channel_count = n;
    for (int c = 0; c < n; c++) {
      RigChannel* ch = &sc->channels[c];
      ch->gain = 1.0f;
      ch->pan = 0.0f;
      ch->muted = c > 1;
      ch->link = c == 0 && n >= 2 && !asio;
      rig_uuid(ch->id);
    }
  }
  return 0;
}

// --- Values -----------------------------------------------------------------------------

float rig_db_to_gain(double db) {
  if (std::isnan(db) || db <= -144.0) return 0.0f;
  if (db == 0.0) return 1.0f;
  return (float)std::pow(10.0, db / 20.0);
}

double rig_gain_to_db(float gain) {
  if (!(gain > 0.0f)) return -std::numeric_limits<double>::infinity();
  if (gain == 1.0f) return 0.0;
  return 20.0 * std::log10((double)gain);
}

float rig_gain_nudge(float gain, double db) {
  if (std::isnan(db) || db == 0.0) return gain;
  if (!(gain > 0.0f)) return db > 0.0 ? rig_db_to_gain(RIG_MIN_DB) : 0.0f;
  double x = rig_gain_to_db(gain < RIG_MAX_GAIN ? gain : RIG_MAX_GAIN);
  double y = x + db;
  if ((x < 0.0 && y > 0.0) || (x > 0.0 && y < 0.0)) return 1.0f;
  if (y >= RIG_MAX_DB) return RIG_MAX_GAIN;
  if (y < -72.001) return 0.0f;
  return rig_db_to_gain(y < RIG_MIN_DB ? RIG_MIN_DB : y);
}

namespace {

struct TaperPoint {
  double db, pos;
};
const TaperPoint kTaper[] = {{-72.0, 0.02}, {-30.0, 0.25}, {-12.0, 0.5}, {0.0, 0.75}, {12.0, 1.0}};
constexpr int kTaperPoints = sizeof kTaper / sizeof kTaper[0];

}  // namespace

double rig_taper_position(double db) {
  if (std::isnan(db) || db < kTaper[0].db) return 0.0;
  if (db >= kTaper[kTaperPoints - 1].db) return 1.0;
  for (int i = 1; i < kTaperPoints; i++) {
    if (db <= kTaper[i].db) {
      const TaperPoint& a = kTaper[i - 1];
      const TaperPoint& b = kTaper[i];
      return a.pos + (db - a.db) * (b.pos - a.pos) / (b.db - a.db);
    }
  }
  return 1.0;
}

float rig_taper_gain(double position) {
  if (std::isnan(position) || position < kTaper[0].pos) return 0.0f;
  if (position >= 1.0) return RIG_MAX_GAIN;
  double db = kTaper[kTaperPoints - 1].db;
  for (int i = 1; i < kTaperPoints; i++) {
    if (position <= kTaper[i].pos) {
      const TaperPoint& a = kTaper[i - 1];
      const TaperPoint& b = kTaper[i];
      db = a.db + (position - a.pos) * (b.db - a.db) / (b.pos - a.pos);
      break;
    }
  }
  float g = rig_db_to_gain(db);
  return g < RIG_MAX_GAIN ? g : RIG_MAX_GAIN;
}

int rig_key(const char* api, const char* device_name, char out[RIG_KEY_BYTES]) {
  if (!out) return -1;
  out[0] = 0;
  const char* name = device_name ? device_name : "";
  size_t begin = 0, end = strlen(name);
  auto space = [](unsigned char c) { return c == ' ' || (c >= 9 && c <= 13); };
  while (begin < end && space((unsigned char)name[begin])) begin++;
  while (end > begin && space((unsigned char)name[end - 1])) end--;
  char clean[400];
  text_copy_valid(clean, sizeof clean, name + begin, end - begin, nullptr, nullptr);

  // Windows renumbers duplicates as "Microphone (2- USB Audio)"; the key keeps "(USB Audio)".
  char renamed[400];
  size_t n = 0;
  for (size_t i = 0; clean[i];) {
    renamed[n++] = clean[i];
    if (clean[i] == '(') {
      size_t j = i + 1;
      while (clean[j] >= '0' && clean[j] <= '9') j++;
      if (j > i + 1 && clean[j] == '-' && clean[j + 1] == ' ') {
        i = j + 2;
        continue;
      }
    }
    i++;
  }
  renamed[n] = 0;

  // Whole, not cut to the api field: a cut code would key a different rig.
  char api_clean[RIG_KEY_BYTES];
  text_copy_valid(api_clean, sizeof api_clean, api ? api : "", SIZE_MAX, nullptr, nullptr);
  size_t a = strlen(api_clean);
  if (a + 1 + n + 1 > RIG_KEY_BYTES) return -1;
  memcpy(out, api_clean, a);
  out[a] = ':';
  memcpy(out + a + 1, renamed, n + 1);
  return 0;
}

uint32_t rig_tag(const char* key) {
  uint32_t h = 0x811C9DC5u;
  if (key) {
    for (const unsigned char* p = (const unsigned char*)key; *p; p++) {
      h ^= *p;
      h *= 16777619u;
    }
  }
  return h ? h : 1u;
}

// --- Random and clock -------------------------------------------------------------------

namespace {

constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;

uint64_t splitmix_finish(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::atomic<uint64_t> g_random_state{0};
std::atomic<int> g_random_seeded{0};  // 0 not yet, 1 being seeded, 2 seeded

bool seed_once(uint64_t seed) {
  int expected = 0;
  if (g_random_seeded.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
    g_random_state.store(seed, std::memory_order_relaxed);
    g_random_seeded.store(2, std::memory_order_release);
    return true;
  }
  while (g_random_seeded.load(std::memory_order_acquire) != 2) platform_cpu_pause();
  return false;
}

uint64_t clock_seed() {
  // No system generator was handed to us yet: mix what differs between runs and processes.
  static int anchor;
  int local = 0;
  uint64_t wall = (uint64_t)std::chrono::system_clock::now().time_since_epoch().count();
  uint64_t mono = (uint64_t)std::chrono::steady_clock::now().time_since_epoch().count();
  uint64_t cpu = (uint64_t)std::clock();
  uint64_t s = splitmix_finish(wall + kGolden);
  s = splitmix_finish(s ^ mono);
  s = splitmix_finish(s ^ (cpu << 17));
  s = splitmix_finish(s ^ (uint64_t)(uintptr_t)&anchor);
  s = splitmix_finish(s ^ ((uint64_t)(uintptr_t)&local << 7));
  return s;
}

std::atomic<double> g_frame_time{std::numeric_limits<double>::quiet_NaN()};

}  // namespace

uint64_t rig_splitmix64(uint64_t* state) {
  *state += kGolden;
  return splitmix_finish(*state);
}

bool rig_random_seed(uint64_t seed) {
  return seed_once(seed);
}

uint64_t rig_random_next() {
  if (g_random_seeded.load(std::memory_order_acquire) != 2) seed_once(clock_seed());
  uint64_t s = g_random_state.fetch_add(kGolden, std::memory_order_relaxed) + kGolden;
  return splitmix_finish(s);
}

void rig_uuid(char out[RIG_UUID_BYTES]) {
  uint8_t b[16];
  uint64_t hi = rig_random_next(), lo = rig_random_next();
  for (int i = 0; i < 8; i++) {
    b[i] = (uint8_t)(hi >> (8 * i));
    b[8 + i] = (uint8_t)(lo >> (8 * i));
  }
  Uuid u;
  uuid_from_bytes(b, &u);
  uuid_format_upper(&u, out);
}

void rig_instance_id(char out[RIG_INSTANCE_BYTES]) {
  snprintf(out, RIG_INSTANCE_BYTES, "%016llx", (unsigned long long)rig_random_next());
}

double rig_now() {
  double pinned = g_frame_time.load(std::memory_order_relaxed);
  if (!std::isnan(pinned)) return pinned;
  return clock_now();
}

void rig_set_frame_time(double wall_seconds) {
  g_frame_time.store(
      std::isfinite(wall_seconds) ? wall_seconds : std::numeric_limits<double>::quiet_NaN(),
      std::memory_order_relaxed);
}
