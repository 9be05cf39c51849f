// The in-memory sketch model: SketchMeta fields and arrays, and reference-counted layers.
#include "store/meta.h"

#include "base/clock.h"
#include "base/text.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/analysis.h"
#include "store/files.h"
#include "base/log.h"
#include "store/meta_internal.h"
#include "core/tape.h"

static_assert(LAYER_SPECTRAL_VALUES == 576 && META_WAVEFORM_POINTS == 96, "meta.json's sizes");

// ---- allocation ----

static std::atomic<int64_t> g_fail_after{-1};

static bool allocation_allowed() {
  int64_t v = g_fail_after.load(std::memory_order_relaxed);
  while (v >= 0) {
    if (v == 0) return false;
    if (g_fail_after.compare_exchange_weak(v, v - 1, std::memory_order_relaxed)) return true;
  }
  return true;
}

void meta_debug_fail_allocations(int64_t after) {
  g_fail_after.store(after < 0 ? -1 : after, std::memory_order_relaxed);
}

void* meta_malloc(size_t size) {
  if (!allocation_allowed()) return nullptr;
  return malloc(size ? size : 1);
}

void* meta_calloc(size_t count, size_t size) {
  if (!allocation_allowed()) return nullptr;
  if (count == 0 || size == 0) return calloc(1, 1);
  return calloc(count, size);
}

void* meta_realloc(void* p, size_t size) {
  if (!allocation_allowed()) return nullptr;
  return realloc(p, size ? size : 1);
}

char* meta_strdup(const char* s) {
  if (!s) return nullptr;
  size_t n = strlen(s);
  char* d = (char*)meta_malloc(n + 1);
  if (d) memcpy(d, s, n + 1);
  return d;
}

// ---- text ----

size_t meta_utf8_cut(char* s, size_t max) {
  if (!s) return 0;
  size_t n = strlen(s);
  if (n <= max) return n;
  size_t k = max;
  while (k > 0 && ((unsigned char)s[k] & 0xC0) == 0x80) k--;
  s[k] = 0;
  return k;
}

size_t meta_copy_text(char* out, size_t size, const char* text) {
  if (!out || size == 0) return 0;
  text_copy(out, size, text);
  return strlen(out);
}

bool meta_unix_time(double createdAt, int64_t* unixSeconds) {
  double u = createdAt + CLOCK_UNIX_TO_2001;
  if (!std::isfinite(u) || u < 0 || u > 32503680000.0) return false;
  if (unixSeconds) *unixSeconds = (int64_t)std::floor(u);
  return true;
}

// ---- layers ----

Layer* meta_layer_alloc() {
  void* p = meta_malloc(sizeof(Layer));
  if (!p) return nullptr;
  Layer* l = new (p) Layer();
  l->refs.store(1, std::memory_order_relaxed);
  return l;
}

static void layer_destroy(Layer* l) {
  free(l->strokes);
  free(l->strokesText);
  free(l->spectral.load(std::memory_order_acquire));
  free(l->extras);
  l->~Layer();
  free(l);
}

Layer* meta_layer_clone(const Layer* src, int32_t strokeCount, bool keepText) {
  if (!src || strokeCount < 0) return nullptr;
  Layer* l = meta_layer_alloc();
  if (!l) return nullptr;
  l->startSample = src->startSample;
  l->lengthSamples = src->lengthSamples;
  l->sampleRate = src->sampleRate;
  l->createdAt = src->createdAt;
  l->bornAt = src->bornAt;
  l->hasExplicitY = src->hasExplicitY;
  l->explicitY = src->explicitY;
  l->hasExplicitColor = src->hasExplicitColor;
  l->explicitColor = src->explicitColor;
  l->hasPeak = src->hasPeak;
  l->peak = src->peak;
  bool ok = true;
  if (strokeCount > 0) {
    l->strokes = (float*)meta_calloc((size_t)strokeCount, sizeof(float));
    if (l->strokes) {
      int32_t n = src->strokeCount < strokeCount ? src->strokeCount : strokeCount;
      if (n > 0 && src->strokes) memcpy(l->strokes, src->strokes, sizeof(float) * (size_t)n);
      l->strokeCount = strokeCount;
    } else {
      ok = false;
    }
  }
  if (ok && keepText && src->strokesText)
    ok = (l->strokesText = meta_strdup(src->strokesText)) != nullptr;
  if (ok && src->extras) ok = (l->extras = meta_strdup(src->extras)) != nullptr;
  const float* spectral = src->spectral.load(std::memory_order_acquire);
  if (ok && spectral) {
    float* copy = (float*)meta_malloc(sizeof(float) * LAYER_SPECTRAL_VALUES);
    if (copy) {
      memcpy(copy, spectral, sizeof(float) * LAYER_SPECTRAL_VALUES);
      l->spectral.store(copy, std::memory_order_relaxed);
    } else {
      ok = false;
    }
  }
  if (!ok) {
    layer_destroy(l);
    return nullptr;
  }
  return l;
}

Layer* layer_new(const LayerTemplate* tmpl, int32_t strokeCount) {
  if (!tmpl || strokeCount < 0) return nullptr;
  Layer* l = meta_layer_alloc();
  if (!l) return nullptr;
  l->startSample = tmpl->startSample;
  l->lengthSamples = tmpl->lengthSamples;
  l->sampleRate = tmpl->sampleRate;
  l->createdAt = tmpl->createdAt;
  l->bornAt = tmpl->bornAt;
  l->hasExplicitY = tmpl->hasExplicitY;
  l->explicitY = tmpl->explicitY;
  l->hasExplicitColor = tmpl->hasExplicitColor;
  l->explicitColor = tmpl->explicitColor;
  if (strokeCount > 0) {
    l->strokes = (float*)meta_calloc((size_t)strokeCount, sizeof(float));
    if (!l->strokes) {
      layer_destroy(l);
      return nullptr;
    }
    l->strokeCount = strokeCount;
  }
  return l;
}

Layer* layer_from_take(const LayerTemplate* tmpl, const float* levels, int32_t count) {
  if (!levels || count < 0) count = 0;
  Layer* l = layer_new(tmpl, count);
  if (!l) return nullptr;
  l->peak = count > 0 ? analysis_strokes_from_levels(levels, count, l->strokes) : 0.0f;
  l->hasPeak = true;
  return l;
}

Layer* layer_copy(const Layer* layer, int32_t strokeCount) {
  if (!layer) return nullptr;
  return meta_layer_clone(layer, strokeCount, strokeCount == layer->strokeCount);
}

Layer* layer_with_strokes(const Layer* layer, const float* levels, int32_t count) {
  if (!layer) return nullptr;
  if (!levels || count < 0) count = 0;
  Layer* l = meta_layer_clone(layer, count, false);
  if (!l) return nullptr;
  if (count > 0) {
    l->peak = analysis_strokes_from_levels(levels, count, l->strokes);
    l->hasPeak = true;
  } else {
    l->peak = 0;
    l->hasPeak = false;
  }
  return l;
}

Layer* layer_retain(Layer* layer) {
  if (layer) layer->refs.fetch_add(1, std::memory_order_relaxed);
  return layer;
}

bool layer_is(const Layer* layer, int64_t start, int64_t length, double createdAt) {
  return layer && layer->startSample == start && layer->lengthSamples == length &&
         std::fabs(layer->createdAt - createdAt) <= 1e-6;
}

void layer_release(Layer* layer) {
  if (!layer) return;
  if (layer->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) layer_destroy(layer);
}

bool layer_attach_spectral(Layer* layer, const float* values) {
  if (!layer || !values) return false;
  if (layer->spectral.load(std::memory_order_acquire)) return false;
  float* copy = (float*)meta_malloc(sizeof(float) * LAYER_SPECTRAL_VALUES);
  if (!copy) return false;
  memcpy(copy, values, sizeof(float) * LAYER_SPECTRAL_VALUES);
  float* expected = nullptr;
  if (layer->spectral.compare_exchange_strong(expected, copy, std::memory_order_acq_rel))
    return true;
  free(copy);  // another thread attached first
  return false;
}

const float* layer_spectral(const Layer* layer) {
  return layer ? layer->spectral.load(std::memory_order_acquire) : nullptr;
}

// ---- the sketch ----

void meta_new(SketchMeta* meta, double rate) {
  if (!meta) return;
  memset(meta, 0, sizeof *meta);
  uuid_new(&meta->uuid);
  uuid_format(&meta->uuid, meta->id);
  meta->createdAt = clock_now();
  meta->sampleRate = rate > 0 ? rate : TAPE_DEFAULT_RATE;  // NaN fails the test too
  meta->channels = 2;
  memcpy(meta->space, "dry", 4);
  memcpy(meta->vibe, "kelp", 5);
}

void meta_free(SketchMeta* meta) {
  if (!meta) return;
  for (int32_t i = 0; i < meta->layerCount; i++) layer_release(meta->layers[i]);
  free(meta->layers);
  free(meta->waveform);
  free(meta->waveformSnapshots);
  free(meta->legacyLayers);
  free(meta->extras);
  memset(meta, 0, sizeof *meta);
}

void meta_destroy(SketchMeta* meta) {
  if (!meta) return;
  meta_free(meta);
  free(meta);
}

SketchMeta* meta_clone(const SketchMeta* src) {
  if (!src) return nullptr;
  SketchMeta* m = (SketchMeta*)meta_malloc(sizeof(SketchMeta));
  if (!m) return nullptr;
  memcpy(m, src, sizeof *m);
  m->layers = nullptr;
  m->layerCount = m->layerCapacity = 0;
  m->waveform = nullptr;
  m->waveformCount = 0;
  m->waveformSnapshots = m->legacyLayers = m->extras = nullptr;
  bool ok = true;
  if (src->layerCount > 0) {
    m->layers = (Layer**)meta_malloc(sizeof(Layer*) * (size_t)src->layerCount);
    if (m->layers) {
      for (int32_t i = 0; i < src->layerCount; i++) m->layers[i] = layer_retain(src->layers[i]);
      m->layerCount = m->layerCapacity = src->layerCount;
    } else {
      ok = false;
    }
  }
  if (ok && src->waveformCount > 0 && src->waveform) {
    m->waveform = (float*)meta_malloc(sizeof(float) * (size_t)src->waveformCount);
    if (m->waveform) {
      memcpy(m->waveform, src->waveform, sizeof(float) * (size_t)src->waveformCount);
      m->waveformCount = src->waveformCount;
    } else {
      ok = false;
    }
  }
  if (ok && src->waveformSnapshots)
    ok = (m->waveformSnapshots = meta_strdup(src->waveformSnapshots)) != nullptr;
  if (ok && src->legacyLayers) ok = (m->legacyLayers = meta_strdup(src->legacyLayers)) != nullptr;
  if (ok && src->extras) ok = (m->extras = meta_strdup(src->extras)) != nullptr;
  if (!ok) {
    meta_destroy(m);
    return nullptr;
  }
  return m;
}

void meta_clear_audio(SketchMeta* meta) {
  if (!meta) return;
  for (int32_t i = 0; i < meta->layerCount; i++) layer_release(meta->layers[i]);
  meta->layerCount = 0;
  free(meta->waveform);
  meta->waveform = nullptr;
  meta->waveformCount = 0;
  free(meta->waveformSnapshots);
  meta->waveformSnapshots = nullptr;
}

int meta_add_layer(SketchMeta* meta, Layer* layer) {
  if (!layer) return -1;
  if (!meta) {
    layer_release(layer);
    return -1;
  }
  if (meta->layerCount >= meta->layerCapacity) {
    int32_t cap = meta->layerCapacity < 8 ? 8 : meta->layerCapacity;
    if (meta->layerCapacity >= 8) cap = meta->layerCapacity > INT32_MAX / 2 ? INT32_MAX : cap * 2;
    Layer** grown = cap > meta->layerCount
                        ? (Layer**)meta_realloc(meta->layers, sizeof(Layer*) * (size_t)cap)
                        : nullptr;
    if (!grown) {
      log_line("kelp_model: out of memory adding layer %d - the take's drawing is lost",
               (int)meta->layerCount);
      layer_release(layer);
      return -1;
    }
    meta->layers = grown;
    meta->layerCapacity = cap;
  }
  meta->layers[meta->layerCount++] = layer;
  return 0;
}

int meta_replace_layer(SketchMeta* meta, int32_t index, Layer* layer) {
  if (!layer) return -1;
  if (!meta || index < 0 || index >= meta->layerCount) {
    layer_release(layer);
    return -1;
  }
  Layer* old = meta->layers[index];
  meta->layers[index] = layer;
  layer_release(old);
  return 0;
}

// Rounds half away from zero, saturating at +-9e18 (NaN gives 0).
static int64_t round_frames(double v) {
  if (!(v == v)) return 0;
  double r = std::round(v);
  if (r >= 9e18) return (int64_t)9e18;
  if (r <= -9e18) return -(int64_t)9e18;
  return (int64_t)r;
}

int meta_rescale(SketchMeta* meta, double newRate, int64_t newFrames) {
  if (!meta || !(newRate > 0)) return 0;
  double ratio = meta->sampleRate > 0 ? newRate / meta->sampleRate : 1.0;
  if (!std::isfinite(ratio)) ratio = 1.0;
  int rc = 0;
  for (int32_t i = 0; i < meta->layerCount; i++) {
    const Layer* old = meta->layers[i];
    Layer* l = meta_layer_clone(old, old->strokeCount, true);
    if (!l) {
      log_line("kelp_model: out of memory rescaling layer %d - it keeps its old position", (int)i);
      rc = -1;
      continue;
    }
    l->startSample = round_frames((double)old->startSample * ratio);
    l->lengthSamples = round_frames((double)old->lengthSamples * ratio);
    l->sampleRate = newRate;
    meta_replace_layer(meta, i, l);
  }
  meta->sampleRate = newRate;
  meta->lengthSamples = newFrames;
  return rc;
}

bool meta_compute_waveform(const SketchMeta* meta, float out[META_WAVEFORM_POINTS]) {
  memset(out, 0, sizeof(float) * META_WAVEFORM_POINTS);
  if (!meta || meta->lengthSamples <= 0) return false;
  bool any = false;
  float one[META_WAVEFORM_POINTS];
  for (int32_t i = 0; i < meta->layerCount; i++) {
    const Layer* l = meta->layers[i];
    AnalysisLayerSpan span = {l->startSample, l->lengthSamples, l->strokes, l->strokeCount};
    if (!analysis_overview(&span, 1, meta->lengthSamples, one)) continue;
    any = true;
    for (int k = 0; k < META_WAVEFORM_POINTS; k++)
      if (one[k] > out[k]) out[k] = one[k];
  }
  return any;
}

bool meta_refresh_waveform(SketchMeta* meta) {
  if (!meta) return false;
  if (meta->lengthSamples <= 0) {
    free(meta->waveform);
    meta->waveform = nullptr;
    meta->waveformCount = 0;
    return false;
  }
  float values[META_WAVEFORM_POINTS];
  bool any = meta_compute_waveform(meta, values);
  if (!meta->waveform || meta->waveformCount != META_WAVEFORM_POINTS) {
    float* w = (float*)meta_malloc(sizeof values);
    if (!w) {
      log_line("kelp_model: out of memory for the sketch's waveform - kept the old one");
      return false;
    }
    free(meta->waveform);
    meta->waveform = w;
    meta->waveformCount = META_WAVEFORM_POINTS;
  }
  memcpy(meta->waveform, values, sizeof values);
  return any;
}

int meta_upgrade_strokes(SketchMeta* meta) {
  if (!meta) return 0;
  int replaced = 0;
  for (int32_t i = 0; i < meta->layerCount; i++) {
    const Layer* old = meta->layers[i];
    if (old->hasPeak || old->strokeCount <= 0) continue;
    float m = 0;
    for (int32_t k = 0; k < old->strokeCount; k++)
      if (old->strokes[k] > m) m = old->strokes[k];  // NaN and negatives never win
    if (!(m > 0 && m < 0.999f)) continue;
    Layer* l = meta_layer_clone(old, old->strokeCount, false);
    if (!l) {
      log_line("kelp_model: out of memory upgrading layer %d - it stays as it was", (int)i);
      continue;
    }
    for (int32_t k = 0; k < l->strokeCount; k++) {
      float v = l->strokes[k] / m;
      l->strokes[k] = std::isfinite(v) ? (v < 0 ? 0.0f : v > 1 ? 1.0f : v) : 0.0f;
    }
    meta_replace_layer(meta, i, l);
    replaced++;
  }
  return replaced;
}

// ---- display ----

static const MetaColour kPalette[8] = {
    {0.07f, 0.07f, 0.07f}, {1.0f, 0.11f, 0.11f}, {0.11f, 1.0f, 0.0f},  {0.0f, 0.0f, 0.55f},
    {0.18f, 0.78f, 0.72f}, {1.0f, 0.42f, 0.90f}, {0.88f, 1.0f, 0.92f}, {0.92f, 0.92f, 1.0f},
};

int meta_palette_index(const Uuid* uuid) {
  int64_t h = uuid_hash(uuid);
  if (h == INT64_MIN) return 0;
  return (int)((h < 0 ? -h : h) % 8);
}

MetaColour meta_colour(const SketchMeta* meta) {
  if (!meta) return kPalette[0];
  if (meta->hasPickedColor)
    return {(float)meta->pickedColor.r, (float)meta->pickedColor.g, (float)meta->pickedColor.b};
  return kPalette[meta_palette_index(&meta->uuid)];
}

double meta_duration(const SketchMeta* meta) {
  if (!meta) return 0;
  return (double)meta->lengthSamples / std::fmax(meta->sampleRate, 1.0);
}

bool meta_is_empty(const SketchMeta* meta) {
  return !meta || meta->lengthSamples == 0;
}

bool meta_rate_usable(double rate) {
  return rate >= META_RATE_MIN && rate <= META_RATE_MAX;  // false for NaN
}
