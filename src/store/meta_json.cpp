// meta.json: the reader that repairs instead of refusing and keeps what it does not understand,
// and the compact writer.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "store/files.h"
#include "store/json.h"
#include "base/log.h"
#include "store/meta.h"
#include "store/meta_internal.h"
#include "base/text.h"

namespace {

const char* const kTopKeys[] = {
    "id",          "name",           "createdAt",         "sampleRate", "lengthSamples",
    "channels",    "space",          "loopStart",         "loopEnd",    "loopActive",
    "pickedColor", "vibe",           "viewZoom",          "viewPanY",   "viewZoomY",
    "viewPanX",    "layerSnapshots", "waveformSnapshots", "layers",     "waveform",
};

const char* const kLayerKeys[] = {
    "startSample", "lengthSamples", "sampleRate", "createdAt", "strokes",
    "explicitY",   "explicitColor", "peak",       "spectral",
};

template <size_t N>
bool key_is_known(const JsonValue* member, const char* const (&keys)[N]) {
  for (const char* k : keys)
    if (json_key_is(member, k, strlen(k))) return true;
  return false;
}

bool same_key(const JsonValue* a, const JsonValue* b) {
  size_t n;
  const char* k = json_key(b, &n);
  return json_key_is(a, k, n);
}

// An earlier member of the same object carries the same key.
bool key_seen_before(const JsonValue* object, const JsonValue* member) {
  for (const JsonValue* c = json_first(object); c && c != member; c = json_next(object, c))
    if (same_key(c, member)) return true;
  return false;
}

// Which members of object repeat an earlier member's key (only the first one is read): a
// malloc'd flag per member in order, found by sorting so that a file with very many keys stays
// fast. Null when the object is empty or memory ran out (then ask key_seen_before).
struct KeyRef {
  const JsonValue* member;
  uint32_t index;
};

bool key_less(const KeyRef& a, const KeyRef& b) {
  size_t na, nb;
  const char* ka = json_key(a.member, &na);
  const char* kb = json_key(b.member, &nb);
  if (na != nb) return na < nb;
  int c = memcmp(ka, kb, na);
  return c != 0 ? c < 0 : a.index < b.index;
}

bool* repeated_keys(const JsonValue* object) {
  uint32_t n = json_count(object);
  if (n == 0) return nullptr;
  bool* repeated = (bool*)meta_calloc(n, sizeof(bool));
  KeyRef* refs = (KeyRef*)meta_malloc(sizeof(KeyRef) * n);
  if (!repeated || !refs) {
    free(repeated);
    free(refs);
    return nullptr;
  }
  uint32_t k = 0;
  for (const JsonValue* c = json_first(object); c && k < n; c = json_next(object, c), k++)
    refs[k] = {c, k};
  std::sort(refs, refs + k, key_less);
  for (uint32_t i = 1; i < k; i++)
    if (same_key(refs[i - 1].member, refs[i].member)) repeated[refs[i].index] = true;
  free(refs);
  return repeated;
}

struct Reader {
  const JsonDoc* doc;
  SketchMeta* meta;
  char* message;
  size_t message_size;
  int repairs;
};

void repair(Reader* r, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void repair(Reader* r, const char* fmt, ...) {
  if (r->repairs++ > 0 || !r->message || r->message_size == 0) return;
  // Formatted in full first so that the cut to the caller's buffer never splits a character.
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  meta_copy_text(r->message, r->message_size, text);
}

bool absent(const JsonValue* v) {
  return json_type(v) == JSON_NULL;
}

// A JSON number whose value is finite.
bool is_number(const JsonValue* v) {
  return json_is(v, JSON_NUMBER) && std::isfinite(json_number(v, 0));
}

// A number whose single-precision value (read from its own text) is finite.
bool read_float(const JsonDoc* doc, const JsonValue* v, float* out) {
  if (!json_is(v, JSON_NUMBER)) return false;
  float f = json_float(doc, v);
  if (!std::isfinite(f)) return false;
  *out = f;
  return true;
}

// A number with an integral value >= 0 that fits. Otherwise *out is the truncation of a
// non-negative number that fits, else 0.
bool read_frames(const JsonValue* v, int64_t* out) {
  *out = 0;
  if (!is_number(v)) return false;
  if (json_is_integer(v)) {
    int64_t i = json_int(v, -1);
    if (i < 0) return false;
    *out = i;
    return true;
  }
  double d = json_number(v, 0);
  if (d < 0 || d >= 9223372036854775808.0) return false;
  double t = std::trunc(d);
  *out = (int64_t)t;
  return t == d;
}

bool read_rgb(const JsonValue* v, MetaRgb* out) {
  if (!json_is(v, JSON_OBJECT)) return false;
  const JsonValue* r = json_get(v, "r");
  const JsonValue* g = json_get(v, "g");
  const JsonValue* b = json_get(v, "b");
  if (!is_number(r) || !is_number(g) || !is_number(b)) return false;
  *out = {json_number(r, 0), json_number(g, 0), json_number(b, 0)};
  return true;
}

enum TextFix {
  TEXT_CUT = 1,      // the rest did not fit
  TEXT_ZERO = 2,     // a zero character (\u0000) became U+FFFD
  TEXT_INVALID = 4,  // a byte that starts no UTF-8 character became U+FFFD
};

// Copies a decoded string into out, which holds max bytes and a terminator, with zero characters
// and invalid bytes as U+FFFD (a zero would silently end the text there), stopping before the
// first character that does not fit. Returns the TextFix flags of what was changed.
int copy_repaired(const JsonValue* v, char* out, size_t max) {
  const char* s = json_string(v, "");
  size_t n = json_string_length(v);
  size_t o = 0;
  int fixes = 0;
  for (size_t i = 0; i < n;) {
    int k = s[i] ? text_utf8_sequence(s + i, n - i) : 0;
    if (!k) fixes |= s[i] ? TEXT_INVALID : TEXT_ZERO;
    const char* piece = k ? s + i : "\xEF\xBF\xBD";
    size_t len = k ? (size_t)k : 3;
    if (o + len > max) {
      out[o] = 0;
      return fixes | TEXT_CUT;
    }
    memcpy(out + o, piece, len);
    o += len;
    i += k ? (size_t)k : 1;
  }
  out[o] = 0;
  return fixes;
}

// Reads a text field; every change to it is a repair, so a scan never writes the changed text
// back in place of the user's.
void read_text(Reader* r, const JsonValue* v, const char* key, char* out, size_t max) {
  int fixes = copy_repaired(v, out, max);
  if (fixes & TEXT_ZERO)
    repair(r, "%s holds a zero character - replaced", key);
  else if (fixes & TEXT_CUT)
    repair(r, "%s longer than %d bytes - shortened", key, (int)max);
  else if (fixes & TEXT_INVALID)
    repair(r, "invalid UTF-8 in %s - replaced", key);
}

// A growing text of kept members.
struct Text {
  char* data;
  size_t length;
  size_t capacity;
  bool failed;
};

bool text_reserve(Text* t, size_t extra) {
  if (t->failed) return false;
  size_t need = t->length + extra + 1;
  if (need <= t->capacity) return true;
  size_t cap = t->capacity < 64 ? 64 : t->capacity;
  while (cap < need) cap *= 2;
  char* d = (char*)meta_realloc(t->data, cap);
  if (!d) {
    t->failed = true;
    return false;
  }
  t->data = d;
  t->capacity = cap;
  return true;
}

void text_put(Text* t, const char* s, size_t n) {
  if (!text_reserve(t, n)) return;
  memcpy(t->data + t->length, s, n);
  t->length += n;
  t->data[t->length] = 0;
}

// Appends s[0..n) with every byte that does not start a valid UTF-8 sequence as U+FFFD.
// Returns whether anything was replaced.
bool text_put_repaired(Text* t, const char* s, size_t n) {
  bool replaced = false;
  size_t run = 0;  // start of the valid bytes not yet copied
  for (size_t i = 0; i < n;) {
    int k = text_utf8_sequence(s + i, n - i);
    if (k > 0) {
      i += (size_t)k;
      continue;
    }
    text_put(t, s + run, i - run);
    text_put(t, "\xEF\xBF\xBD", 3);
    replaced = true;
    run = ++i;
  }
  text_put(t, s + run, n - run);
  return replaced;
}

const char* source_of(const JsonDoc* doc, const JsonValue* v, size_t* n) {
  const char* s = json_source(doc, v, n);
  return s ? s : "";
}

// One value's exact source text, sanitised, as a fresh kept text; null when memory ran out
// (with a message).
char* keep_value(Reader* r, const JsonValue* v) {
  size_t n;
  const char* s = source_of(r->doc, v, &n);
  Text t = {};
  bool replaced = text_put_repaired(&t, s, n);
  if (t.failed || !t.data) {
    free(t.data);
    repair(r, "out of memory for a kept value - dropped");
    return nullptr;
  }
  if (replaced) repair(r, "invalid UTF-8 in a kept value - replaced");
  return t.data;
}

// Appends "key":value (the key as written, the value's exact text) to a kept-members text.
void keep_member(Reader* r, Text* t, const JsonValue* member) {
  size_t keyLength;
  const char* keySource = json_key_source(r->doc, member, &keyLength);
  size_t mark = t->length;
  if (t->length > 0) text_put(t, ",", 1);
  bool replaced;
  if (keySource) {
    replaced = text_put_repaired(t, keySource, keyLength);
  } else {
    // Not reached for text the parser accepted; write the decoded key quoted instead.
    text_put(t, "\"", 1);
    replaced = false;
    size_t n;
    const char* key = json_key(member, &n);
    for (size_t i = 0; i < n; i++) {
      unsigned char c = (unsigned char)key[i];
      char esc[8];
      if (c == '"' || c == '\\') {
        esc[0] = '\\';
        esc[1] = (char)c;
        text_put(t, esc, 2);
      } else if (c < 0x20) {
        snprintf(esc, sizeof esc, "\\u%04x", c);
        text_put(t, esc, 6);
      } else {
        replaced |= text_put_repaired(t, key + i, 1);
      }
    }
    text_put(t, "\"", 1);
  }
  text_put(t, ":", 1);
  size_t n;
  const char* s = source_of(r->doc, member, &n);
  replaced |= text_put_repaired(t, s, n);
  if (t->failed) {
    // Drop only this member: go back to what was kept before it.
    t->failed = false;
    t->length = mark;
    if (t->data) t->data[mark] = 0;
    repair(r, "out of memory for a kept value - dropped");
    return;
  }
  if (replaced) repair(r, "invalid UTF-8 in a kept value - replaced");
}

char* text_finish(Text* t) {
  if (t->length == 0) {
    free(t->data);
    return nullptr;
  }
  return t->data;
}

// Every number is a float with a finite value (an empty list passes).
bool all_floats(const JsonDoc* doc, const JsonValue* list) {
  float f;
  for (const JsonValue* c = json_first(list); c; c = json_next(list, c))
    if (!read_float(doc, c, &f)) return false;
  return true;
}

void read_layer(Reader* r, const JsonValue* v, int index) {
  SketchMeta* meta = r->meta;
  if (!json_is(v, JSON_OBJECT)) {
    repair(r, "layer %d is not an object - skipped", index);
    return;
  }
  Layer* l = meta_layer_alloc();
  if (!l) {
    repair(r, "layer %d: out of memory - skipped", index);
    return;
  }
  const JsonDoc* doc = r->doc;

  if (!read_frames(json_get(v, "startSample"), &l->startSample))
    repair(r, "layer %d: startSample missing or not an integer", index);
  if (!read_frames(json_get(v, "lengthSamples"), &l->lengthSamples))
    repair(r, "layer %d: lengthSamples missing or not an integer", index);

  const JsonValue* x = json_get(v, "sampleRate");
  if (is_number(x)) {
    l->sampleRate = json_number(x, 0);
  } else {
    l->sampleRate = meta->sampleRate;
    repair(r, "layer %d: sampleRate missing", index);
  }
  x = json_get(v, "createdAt");
  if (is_number(x)) {
    l->createdAt = json_number(x, 0);
  } else {
    l->createdAt = meta->createdAt;
    repair(r, "layer %d: createdAt missing", index);
  }

  const JsonValue* strokes = json_get(v, "strokes");
  if (!json_is(strokes, JSON_ARRAY)) {
    repair(r, "layer %d: strokes missing", index);
  } else if (json_count(strokes) > 0) {
    uint32_t n = json_count(strokes);
    if (n <= (uint32_t)INT32_MAX) l->strokes = (float*)meta_malloc(sizeof(float) * n);
    if (!l->strokes) {
      repair(r, "layer %d: out of memory for %d strokes", index,
             (int)(n > INT32_MAX ? INT32_MAX : n));
    } else {
      bool unusable = false, otherKeys = false;
      int32_t k = 0;
      for (const JsonValue* c = json_first(strokes); c && k < (int32_t)n;
           c = json_next(strokes, c)) {
        float f = 0;
        const JsonValue* a = json_is(c, JSON_OBJECT) ? json_get(c, "amplitude") : nullptr;
        if (!read_float(doc, a, &f)) {
          unusable = true;
          f = 0;
        } else if (json_count(c) > 1) {
          otherKeys = true;  // another key, or a second amplitude: keep the list as written
        }
        l->strokes[k++] = f;
      }
      l->strokeCount = k;
      if (unusable)
        repair(r, "layer %d: a stroke has no usable amplitude - written back as 0", index);
      else if (otherKeys)
        l->strokesText = keep_value(r, strokes);
    }
  }

  x = json_get(v, "explicitY");
  if (is_number(x)) {
    l->hasExplicitY = true;
    l->explicitY = json_number(x, 0);
  } else if (!absent(x)) {
    repair(r, "layer %d: explicitY is not a number - dropped", index);
  }
  x = json_get(v, "explicitColor");
  if (read_rgb(x, &l->explicitColor)) {
    l->hasExplicitColor = true;
  } else if (!absent(x)) {
    repair(r, "layer %d: explicitColor is not {r,g,b} - dropped", index);
  }
  x = json_get(v, "peak");
  if (read_float(doc, x, &l->peak)) {
    l->hasPeak = true;
  } else if (!absent(x)) {
    repair(r, "layer %d: peak is not a Float - dropped", index);
  }

  const JsonValue* spectral = json_get(v, "spectral");
  bool spectralKept = false;  // a list of another length travels among the kept members
  if (json_is(spectral, JSON_ARRAY) && all_floats(doc, spectral)) {
    if (json_count(spectral) == LAYER_SPECTRAL_VALUES) {
      float* values = (float*)meta_malloc(sizeof(float) * LAYER_SPECTRAL_VALUES);
      if (values) {
        int k = 0;
        for (const JsonValue* c = json_first(spectral); c; c = json_next(spectral, c))
          read_float(doc, c, &values[k++]);
        l->spectral.store(values, std::memory_order_relaxed);
      } else {
        repair(r, "layer %d: out of memory for the spectral record - dropped", index);
      }
    } else {
      spectralKept = true;
    }
  } else if (!absent(spectral)) {
    repair(r, "layer %d: spectral is not a list of Floats - dropped", index);
  }

  Text kept = {};
  bool* repeated = repeated_keys(v);
  uint32_t k = 0;
  for (const JsonValue* c = json_first(v); c; c = json_next(v, c), k++) {
    bool keep = c == spectral ? spectralKept
                              : !key_is_known(c, kLayerKeys) &&
                                    !(repeated ? repeated[k] : key_seen_before(v, c));
    if (keep) keep_member(r, &kept, c);
  }
  free(repeated);
  l->extras = text_finish(&kept);

  meta_add_layer(meta, l);
}

void read_layers(Reader* r, const JsonValue* list) {
  SketchMeta* meta = r->meta;
  uint32_t n = json_count(list);
  if (n == 0) return;
  if (n <= (uint32_t)INT32_MAX) meta->layers = (Layer**)meta_malloc(sizeof(Layer*) * n);
  if (!meta->layers) {
    repair(r, "out of memory for %d layers", (int)(n > INT32_MAX ? INT32_MAX : n));
    return;
  }
  meta->layerCapacity = (int32_t)n;
  int index = 0;
  for (const JsonValue* c = json_first(list); c; c = json_next(list, c)) read_layer(r, c, index++);
}

void set_defaults(SketchMeta* meta) {
  memset(meta, 0, sizeof *meta);
  meta->sampleRate = 44100;
  meta->channels = 1;
  memcpy(meta->space, "dry", 4);
  memcpy(meta->vibe, "kelp", 5);
}

void set_message(char* message, size_t size, const char* fmt, const char* detail) {
  if (!message || size == 0) return;
  char text[512];
  snprintf(text, sizeof text, fmt, detail);
  meta_copy_text(message, size, text);
}

void read_number(Reader* r, const JsonValue* root, const char* key, double* out, bool* present) {
  const JsonValue* v = json_get(root, key);
  if (is_number(v)) {
    *out = json_number(v, 0);
    if (present) *present = true;
  } else if (!absent(v)) {
    repair(r, "%s is not a number", key);
  }
}

}  // namespace

MetaStatus meta_parse_ex(const char* text, size_t length, SketchMeta* meta, char* message,
                         size_t messageSize, bool* idFromFile) {
  if (idFromFile) *idFromFile = false;
  if (message && messageSize) message[0] = 0;
  if (!meta) {
    set_message(message, messageSize, "%s", "no sketch to read into");
    return META_UNREADABLE;
  }
  set_defaults(meta);
  char parseMessage[160];
  JsonDoc* doc = json_parse(text, length, parseMessage, sizeof parseMessage);
  const JsonValue* root = json_root(doc);
  if (!doc || !json_is(root, JSON_OBJECT)) {
    uuid_new(&meta->uuid);
    uuid_format(&meta->uuid, meta->id);
    meta->createdAt = clock_now();
    if (doc)
      set_message(message, messageSize, "%s", "not a JSON object");
    else
      set_message(message, messageSize, "not JSON (%s)", parseMessage);
    json_free(doc);
    return META_UNREADABLE;
  }
  Reader rd = {doc, meta, message, messageSize, 0};
  Reader* r = &rd;

  const JsonValue* v = json_get(root, "id");
  if (json_is(v, JSON_STRING) &&
      uuid_parse_n(json_string(v, ""), json_string_length(v), &meta->uuid)) {
    if (idFromFile) *idFromFile = true;
  } else {
    uuid_new(&meta->uuid);
    if (!absent(v)) repair(r, "id is not a UUID - given a new one");
  }

  v = json_get(root, "name");
  if (json_is(v, JSON_STRING)) {
    read_text(r, v, "name", meta->name, META_NAME_MAX);
  } else if (!absent(v)) {
    repair(r, "name is not a string");
  }

  v = json_get(root, "createdAt");
  if (is_number(v)) {
    meta->createdAt = json_number(v, 0);
  } else {
    meta->createdAt = clock_now();
    if (!absent(v)) repair(r, "createdAt is not a date");
  }

  v = json_get(root, "sampleRate");
  if (is_number(v)) {
    meta->sampleRate = json_number(v, 0);
  } else if (!absent(v)) {
    repair(r, "sampleRate is not a number");
  }

  v = json_get(root, "lengthSamples");
  if (!read_frames(v, &meta->lengthSamples) && !absent(v))
    repair(r, "lengthSamples is not a frame count");

  v = json_get(root, "channels");
  double channels = json_number(v, 0);
  if (is_number(v) && std::trunc(channels) == channels && channels >= -2147483647.0 &&
      channels <= 2147483647.0) {
    meta->channels = (int32_t)channels;
  } else if (!absent(v)) {
    repair(r, "channels is not an integer");
  }

  v = json_get(root, "space");
  if (json_is(v, JSON_STRING)) {
    const char* s = json_string(v, "");
    size_t n = json_string_length(v);
    if ((n == 3 && memcmp(s, "dry", 3) == 0) || (n == 5 && memcmp(s, "tight", 5) == 0) ||
        (n == 4 && memcmp(s, "deep", 4) == 0)) {
      memcpy(meta->space, s, n + 1);
    } else {
      char shown[17];
      copy_repaired(v, shown, 16);
      repair(r, "space \"%.16s\" is unknown - dry", shown);
    }
  } else if (!absent(v)) {
    repair(r, "space is not a string - dry");
  }

  read_number(r, root, "loopStart", &meta->loopStart, nullptr);
  read_number(r, root, "loopEnd", &meta->loopEnd, nullptr);

  v = json_get(root, "loopActive");
  if (json_is(v, JSON_BOOL)) {
    meta->loopActive = json_bool(v, false);
  } else if (!absent(v)) {
    repair(r, "loopActive is not a bool");
  }

  v = json_get(root, "pickedColor");
  if (read_rgb(v, &meta->pickedColor)) {
    meta->hasPickedColor = true;
  } else if (!absent(v)) {
    repair(r, "pickedColor is not {r,g,b}");
  }

  v = json_get(root, "vibe");
  if (json_is(v, JSON_STRING)) {
    read_text(r, v, "vibe", meta->vibe, META_VIBE_MAX);
  } else if (!absent(v)) {
    repair(r, "vibe is not a string - kelp");
  }

  read_number(r, root, "viewZoom", &meta->viewZoom, &meta->hasViewZoom);
  read_number(r, root, "viewPanY", &meta->viewPanY, &meta->hasViewPanY);
  read_number(r, root, "viewZoomY", &meta->viewZoomY, &meta->hasViewZoomY);
  read_number(r, root, "viewPanX", &meta->viewPanX, &meta->hasViewPanX);

  v = json_get(root, "layerSnapshots");
  if (json_is(v, JSON_ARRAY)) {
    read_layers(r, v);
  } else if (!absent(v)) {
    repair(r, "layerSnapshots is not a list - no layers");
  }

  v = json_get(root, "waveformSnapshots");
  if (json_is(v, JSON_ARRAY)) {
    bool ok = true;
    for (const JsonValue* c = json_first(v); c && ok; c = json_next(v, c))
      ok = json_is(c, JSON_ARRAY) && all_floats(doc, c);
    if (!ok)
      repair(r, "waveformSnapshots is not [[Float]] - dropped");
    else if (json_count(v) > 0)
      meta->waveformSnapshots = keep_value(r, v);
  } else if (!absent(v)) {
    repair(r, "waveformSnapshots is not [[Float]] - dropped");
  }

  v = json_get(root, "layers");
  if (json_is(v, JSON_ARRAY)) {
    if (json_count(v) > 0) {
      meta->legacyLayers = keep_value(r, v);
      meta->hasLegacyLayers = meta->legacyLayers != nullptr;
    }
  } else if (!absent(v)) {
    repair(r, "layers is not a list - dropped");
  }

  v = json_get(root, "waveform");
  if (json_is(v, JSON_ARRAY)) {
    if (!all_floats(doc, v)) {
      repair(r, "waveform is not a list of Floats - dropped");
    } else if (json_count(v) > 0) {
      if (json_count(v) <= (uint32_t)INT32_MAX)
        meta->waveform = (float*)meta_malloc(sizeof(float) * json_count(v));
      if (meta->waveform) {
        int32_t k = 0;
        for (const JsonValue* c = json_first(v); c; c = json_next(v, c))
          read_float(doc, c, &meta->waveform[k++]);
        meta->waveformCount = k;
      } else {
        repair(r, "out of memory for the waveform - dropped");
      }
    }
  } else if (!absent(v)) {
    repair(r, "waveform is not a list - dropped");
  }

  Text kept = {};
  bool* repeated = repeated_keys(root);
  uint32_t k = 0;
  for (const JsonValue* c = json_first(root); c; c = json_next(root, c), k++)
    if (!key_is_known(c, kTopKeys) && !(repeated ? repeated[k] : key_seen_before(root, c)))
      keep_member(r, &kept, c);
  free(repeated);
  meta->extras = text_finish(&kept);

  uuid_format(&meta->uuid, meta->id);
  json_free(doc);
  if (rd.repairs == 0) return META_OK;
  return META_REPAIRED;
}

MetaStatus meta_parse(const char* text, size_t length, SketchMeta* meta, char* message,
                      size_t messageSize) {
  return meta_parse_ex(text, length, meta, message, messageSize, nullptr);
}

// ---- writing ----

namespace {

void write_rgb(JsonWriter* w, const char* key, const MetaRgb& c) {
  jw_key(w, key);
  jw_begin_object(w);
  jw_key(w, "r");
  jw_double(w, c.r);
  jw_key(w, "g");
  jw_double(w, c.g);
  jw_key(w, "b");
  jw_double(w, c.b);
  jw_end_object(w);
}

void write_kept_list(JsonWriter* w, const char* key, const char* text) {
  jw_key(w, key);
  if (text && *text) {
    jw_raw(w, text);
  } else {
    jw_begin_array(w);
    jw_end_array(w);
  }
}

void write_layer(JsonWriter* w, const Layer* l) {
  jw_begin_object(w);
  jw_key(w, "startSample");
  jw_int(w, l->startSample);
  jw_key(w, "lengthSamples");
  jw_int(w, l->lengthSamples);
  jw_key(w, "sampleRate");
  jw_double(w, l->sampleRate);
  jw_key(w, "strokes");
  if (l->strokesText && *l->strokesText) {
    jw_raw(w, l->strokesText);
  } else {
    jw_begin_array(w);
    for (int32_t i = 0; i < l->strokeCount && !w->failed; i++) {
      jw_begin_object(w);
      jw_key(w, "amplitude");
      jw_float(w, l->strokes[i]);
      jw_end_object(w);
    }
    jw_end_array(w);
  }
  jw_key(w, "createdAt");
  jw_double(w, l->createdAt);
  if (l->hasExplicitY) {
    jw_key(w, "explicitY");
    jw_double(w, l->explicitY);
  }
  if (l->hasExplicitColor) write_rgb(w, "explicitColor", l->explicitColor);
  const float* spectral = layer_spectral(l);
  if (spectral) {
    jw_key(w, "spectral");
    jw_begin_array(w);
    for (int i = 0; i < LAYER_SPECTRAL_VALUES; i++) jw_float(w, spectral[i]);
    jw_end_array(w);
  }
  if (l->hasPeak) {
    jw_key(w, "peak");
    jw_float(w, l->peak);
  }
  jw_raw_members(w, l->extras);
  jw_end_object(w);
}

bool is_space_word(const char* s) {
  return strcmp(s, "dry") == 0 || strcmp(s, "tight") == 0 || strcmp(s, "deep") == 0;
}

}  // namespace

int meta_serialise(const SketchMeta* m, JsonWriter* w) {
  if (!w) return -1;
  if (!m) return -1;
  bool earlier = w->non_finite;
  w->non_finite = false;
  char id[UUID_TEXT_BYTES];
  uuid_format(&m->uuid, id);

  jw_begin_object(w);
  jw_key(w, "id");
  jw_string(w, id);
  jw_key(w, "name");
  jw_string_n(w, m->name, strnlen(m->name, sizeof m->name));
  jw_key(w, "createdAt");
  jw_double(w, m->createdAt);
  jw_key(w, "sampleRate");
  jw_double(w, m->sampleRate);
  jw_key(w, "lengthSamples");
  jw_int(w, m->lengthSamples);
  jw_key(w, "channels");
  jw_int(w, m->channels);
  char space[META_SPACE_MAX + 1] = {};
  memcpy(space, m->space, strnlen(m->space, META_SPACE_MAX));
  jw_key(w, "space");
  jw_string(w, is_space_word(space) ? space : "dry");
  jw_key(w, "loopStart");
  jw_double(w, m->loopStart);
  jw_key(w, "loopEnd");
  jw_double(w, m->loopEnd);
  jw_key(w, "loopActive");
  jw_bool(w, m->loopActive);
  if (m->hasPickedColor) write_rgb(w, "pickedColor", m->pickedColor);
  size_t vibeLength = strnlen(m->vibe, sizeof m->vibe - 1);
  jw_key(w, "vibe");
  if (vibeLength > 0)
    jw_string_n(w, m->vibe, vibeLength);
  else
    jw_string(w, "kelp");
  const struct {
    const char* key;
    bool present;
    double value;
  } views[] = {{"viewZoom", m->hasViewZoom, m->viewZoom},
               {"viewPanY", m->hasViewPanY, m->viewPanY},
               {"viewZoomY", m->hasViewZoomY, m->viewZoomY},
               {"viewPanX", m->hasViewPanX, m->viewPanX}};
  for (const auto& view : views) {
    if (!view.present) continue;
    jw_key(w, view.key);
    jw_double(w, view.value);
  }

  jw_key(w, "layerSnapshots");
  jw_begin_array(w);
  for (int32_t i = 0; i < m->layerCount && !w->failed; i++)
    if (m->layers[i]) write_layer(w, m->layers[i]);
  jw_end_array(w);

  write_kept_list(w, "waveformSnapshots", m->waveformSnapshots);
  write_kept_list(w, "layers", m->legacyLayers);

  jw_key(w, "waveform");
  jw_begin_array(w);
  if (m->layerCount > 0) {
    if (m->lengthSamples > 0) {
      float values[META_WAVEFORM_POINTS];
      meta_compute_waveform(m, values);
      for (float v : values) jw_float(w, v);
    }
  } else {
    for (int32_t i = 0; i < m->waveformCount && m->waveform; i++) jw_float(w, m->waveform[i]);
  }
  jw_end_array(w);

  jw_raw_members(w, m->extras);
  jw_end_object(w);

  if (w->non_finite && !w->failed)
    log_line("meta: sketch %s had a NaN/Inf value - written as 0 so the iPhone can still read it",
             id);
  w->non_finite = w->non_finite || earlier;
  return w->failed ? -1 : 0;
}
