// Reading rig files: every bad value repaired with a message instead of failing the file,
// members this program does not know carried through verbatim. Writing is in
// rig_format_write.cpp.
#include "rig/rig_format.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/text.h"

namespace {

// --- Decoding state -----------------------------------------------------------------------

// The root is read in one pass, each member decoded as the pass meets it. Each step keeps its
// own first message, so the one reported is the first in step order (repeats, version, rev,
// key, device, active scene, app scenes, scenes, writer, then the rest), whatever order the
// text had.
enum Phase {
  PH_ROOT,
  PH_VERSION,
  PH_REV,
  PH_KEY,
  PH_DEVICE,
  PH_ACTIVE,
  PH_APPS,
  PH_SCENES,
  PH_WRITER,
  PH_AFTER,
  PH_COUNT
};

struct Dec {
  RigDoc* doc;
  int phase;
  bool any;
  bool oom;
  char first[PH_COUNT][512];
};

// Where a value sits, formatted only when a message needs it.
struct Where {
  const char* fmt;
  int a, b;
  const char* s;
};

void where_text(const Where& w, char* buf, size_t size) {
  if (w.s)
    snprintf(buf, size, w.fmt, w.s);
  else
    snprintf(buf, size, w.fmt, w.a, w.b);
}

// Whether a message now would be kept (the step has none yet); counts it either way.
bool keeps(Dec* d) {
  d->any = true;
  return d->first[d->phase][0] == 0;
}

void say(Dec* d, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void say(Dec* d, const char* fmt, ...) {
  if (!keeps(d)) return;
  char* out = d->first[d->phase];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(out, sizeof d->first[0], fmt, ap);
  va_end(ap);
  if (n >= (int)sizeof d->first[0]) out[text_utf8_boundary(out, sizeof d->first[0] - 1)] = 0;
}

// "<where>: <what>"
void say_at(Dec* d, const Where& w, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void say_at(Dec* d, const Where& w, const char* fmt, ...) {
  if (!keeps(d)) return;
  char where[128], what[256];
  where_text(w, where, sizeof where);
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(what, sizeof what, fmt, ap);
  va_end(ap);
  d->any = false;  // say counts it again
  say(d, "%s: %s", where, what);
}

void put_msg(char* msg, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void put_msg(char* msg, size_t size, const char* fmt, ...) {
  if (!msg || size == 0) return;
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(msg, size, fmt, ap);
  va_end(ap);
  if (n >= (int)size) msg[text_utf8_boundary(msg, size - 1)] = 0;
}

void append(Dec* d, RigText* t, const char* s, size_t n) {
  if (!d->oom && rig_text_append(t, s, n) != 0) d->oom = true;
}

void append_value(Dec* d, RigText* t, const RigJsonValue* v) {
  if (t->len) append(d, t, ",", 1);
  append(d, t, v->text + v->start, rigjson_length(v));
}

// A member as its quoted name, a colon and its value.
void append_member(Dec* d, RigText* t, const RigJsonValue* name, const RigJsonValue* v) {
  if (t->len) append(d, t, ",", 1);
  append(d, t, name->text + name->start, name->length);
  append(d, t, ":", 1);
  append(d, t, v->text + v->start, rigjson_length(v));
}

// The index of a member name in names (count of them), or -1. A raw match needs no
// unescaping (names hold no backslash); only a name with escapes is compared unescaped.
int member_index(const RigJsonValue* name, const char* const* names, int count) {
  const char* raw = name->text + name->start + 1;
  size_t len = name->length - 2;
  for (int i = 0; i < count; i++) {
    const char* n = names[i];
    if (n[0] != raw[0]) continue;
    size_t k = 1;
    while (k < len && n[k] == raw[k]) k++;
    if (k == len && n[k] == 0) return i;
  }
  if (!memchr(raw, '\\', len)) return -1;
  for (int i = 0; i < count; i++)
    if (rigjson_string_equals(name, names[i])) return i;
  return -1;
}

// Looks a member up among names; reports and drops a repeat. -1 for other names, -2 for repeats.
int claim(Dec* d, const RigJsonValue* name, const char* const* names, int count, bool* seen,
          const Where& w) {
  int i = member_index(name, names, count);
  if (i < 0) return -1;
  if (seen[i]) {
    say_at(d, w, "\"%s\" appears twice (the first kept)", names[i]);
    return -2;
  }
  seen[i] = true;
  return i;
}

void dec_text(Dec* d, const RigJsonValue* v, const Where& w, const char* what, char* field,
              size_t size) {
  bool cut = false, replaced = false;
  if (!rigjson_string(v, field, size, &cut, &replaced)) {
    say_at(d, w, "%s is not a string", what);
  } else if (cut) {
    say_at(d, w, "%s is longer than %d bytes (cut)", what, (int)size - 1);
  } else if (replaced) {
    say_at(d, w, "%s had invalid text (replaced)", what);
  }
}

bool dec_int(Dec* d, const RigJsonValue* v, const Where& w, const char* what, int64_t lo,
             int64_t hi, int64_t* out) {
  int64_t x;
  if (rigjson_int(v, &x) && x >= lo && x <= hi) {
    *out = x;
    return true;
  }
  say_at(d, w, "%s is not an integer in %lld..%lld", what, (long long)lo, (long long)hi);
  return false;
}

double dec_double(Dec* d, const RigJsonValue* v, const Where& w, const char* what) {
  double x;
  if (rigjson_double(v, &x)) return x;
  say_at(d, w, "%s is not a number", what);
  return 0.0;
}

float dec_clamped(Dec* d, const RigJsonValue* v, const Where& w, const char* what, float lo,
                  float hi, float fallback) {
  float x;
  if (!rigjson_float(v, &x)) {
    say_at(d, w, "%s is not a number", what);
    return fallback;
  }
  if (x < lo || x > hi) {
    say_at(d, w, "%s is out of range (clamped)", what);
    return x < lo ? lo : hi;
  }
  return x;
}

bool dec_bool(Dec* d, const RigJsonValue* v, const Where& w, const char* what, bool fallback) {
  bool x;
  if (rigjson_bool(v, &x)) return x;
  say_at(d, w, "%s is not true / false", what);
  return fallback;
}

// A non-empty string that fits and is valid text, else a new UUID.
void dec_id(Dec* d, const RigJsonValue* v, const Where& w, char out[RIG_UUID_BYTES]) {
  bool cut = false, replaced = false;
  if (!rigjson_string(v, out, RIG_UUID_BYTES, &cut, &replaced) || cut || replaced || !out[0]) {
    say_at(d, w, "id is not a usable UUID (a new one minted)");
    memset(out, 0, RIG_UUID_BYTES);
    rig_uuid(out);
  }
}

const Where kTheRig = {"the rig", 0, 0, nullptr};
const Where kDevice = {"device", 0, 0, nullptr};
const Where kWriter = {"writer", 0, 0, nullptr};

// --- Device -------------------------------------------------------------------------------

// Walks the device object to its end with *it; false when it is not an object.
bool dec_device(Dec* d, const RigJsonValue* dev, RigJsonIter* itp) {
  RigDoc* doc = d->doc;
  if (dev->type != RIGJSON_OBJECT) {
    say(d, "device is not an object");
    return false;
  }
  static const char* const kNames[] = {"api", "name", "channels", "channelNames"};
  bool seen[4] = {};
  RigJsonIter& it = *itp;
  rigjson_iter(dev, &it);
  RigJsonValue name, v;
  while (rigjson_next(&it, &name, &v)) {
    switch (claim(d, &name, kNames, 4, seen, kDevice)) {
      case -1:
        append_member(d, &doc->extra_device, &name, &v);
        break;
      case 0:
        dec_text(d, &v, kDevice, "api", doc->api, sizeof doc->api);
        break;
      case 1:
        dec_text(d, &v, kDevice, "name", doc->device_name, sizeof doc->device_name);
        break;
      case 2: {
        int64_t n;
        if (dec_int(d, &v, kDevice, "channels", 1, RIG_MAX_CHANNELS, &n)) doc->channels = (int)n;
        break;
      }
      case 3: {
        if (v.type != RIGJSON_ARRAY) {
          say(d, "device: channelNames is not an array");
          break;
        }
        RigJsonIter names;
        rigjson_iter(&v, &names);
        RigJsonValue e;
        for (int i = 0; rigjson_next(&names, nullptr, &e); i++) {
          if (i == RIG_MAX_CHANNELS) {
            say(d, "device: more than %d channelNames (the rest dropped)", RIG_MAX_CHANNELS);
            break;
          }
          Where w = {"device channelNames[%d]", i, 0, nullptr};
          dec_text(d, &e, w, "the name", doc->channel_names[i], RIG_NAME_BYTES);
        }
        break;
      }
      default:
        break;
    }
  }
  return true;
}

// A missing api or name from the key around its colon; a missing key from api and name.
void fill_device_from_key(RigDoc* doc, bool had_key) {
  const char* colon = strchr(doc->key, ':');
  if ((!doc->api[0] || !doc->device_name[0]) && colon) {
    size_t before = (size_t)(colon - doc->key);
    if (!doc->api[0] && before < RIG_API_BYTES) {
      memcpy(doc->api, doc->key, before);
      doc->api[before] = 0;
    }
    if (!doc->device_name[0])
      text_copy_valid(doc->device_name, sizeof doc->device_name, colon + 1, SIZE_MAX, nullptr,
                      nullptr);
  }
  if (!had_key && doc->api[0]) rig_key(doc->api, doc->device_name, doc->key);
}

// --- App scenes ---------------------------------------------------------------------------

// Walks the app scenes object to its end with *it; false when it is not an object.
bool dec_app_scenes(Dec* d, const RigJsonValue* apps, RigJsonIter* itp) {
  RigDoc* doc = d->doc;
  if (apps->type != RIGJSON_OBJECT) {
    say(d, "appScenes is not an object");
    return false;
  }
  static const char* const kNames[] = {"scene", "at"};
  bool reported_more = false;
  RigJsonIter& it = *itp;
  rigjson_iter(apps, &it);
  RigJsonValue name, v;
  while (rigjson_next(&it, &name, &v)) {
    RigAppScene a = {};
    bool cut = false;
    rigjson_string(&name, a.app, sizeof a.app, &cut, nullptr);
    Where w = {"appScenes \"%s\"", 0, 0, a.app};
    if (cut) say_at(d, w, "the app name is longer than %d bytes (cut)", RIG_APP_BYTES - 1);
    if (v.type != RIGJSON_OBJECT) {
      say(d, "appScenes \"%s\" is not an object (dropped)", a.app);
      continue;
    }
    bool seen[2] = {}, others = false;
    RigJsonIter members;
    rigjson_iter(&v, &members);
    RigJsonValue mname, mv;
    while (rigjson_next(&members, &mname, &mv)) {
      int i = claim(d, &mname, kNames, 2, seen, w);
      if (i == -1 && !others) {
        say_at(d, w, "members other than scene / at (dropped)");
        others = true;
      } else if (i == 0) {
        int64_t s;
        a.scene = dec_int(d, &mv, w, "scene", 0, RIG_SCENES - 1, &s) ? (int32_t)s : 0;
      } else if (i == 1) {
        a.at = dec_double(d, &mv, w, "at");
      }
    }
    if (doc->app_scene_count < RIG_APP_SCENES) {
      doc->app_scenes[doc->app_scene_count++] = a;
      continue;
    }
    int oldest = 0;
    for (int k = 1; k < RIG_APP_SCENES; k++)
      if (doc->app_scenes[k].at < doc->app_scenes[oldest].at) oldest = k;
    if (a.at > doc->app_scenes[oldest].at) doc->app_scenes[oldest] = a;
    if (!reported_more) {
      say(d, "appScenes has more than %d members (the oldest dropped)", RIG_APP_SCENES);
      reported_more = true;
    }
  }
  return true;
}

// --- Scenes -------------------------------------------------------------------------------

void channel_defaults(RigChannel* ch, int c) {
  ch->gain = 1.0f;
  ch->pan = 0.0f;
  ch->muted = c > 1;
  ch->link = false;
  memset(ch->label, 0, sizeof ch->label);
  memset(ch->id, 0, sizeof ch->id);
}

// An object's only member, or false when it has none or more than one.
bool only_member(const RigJsonValue* obj, RigJsonValue* name, RigJsonValue* value) {
  if (obj->type != RIGJSON_OBJECT) return false;
  RigJsonIter it;
  rigjson_iter(obj, &it);
  return rigjson_next(&it, name, value) && !rigjson_next(&it, nullptr, nullptr);
}

// The channel of a kind exactly as the encoder writes it ({"input":{"channel":N}} with N
// below 64), or -1 for anything else, which takes the general path.
int written_kind(const RigJsonValue* kind) {
  static const char kHead[] = "{\"input\":{\"channel\":";
  const size_t head = sizeof kHead - 1;
  const char* s = kind->text + kind->start;
  size_t n = kind->length;
  if (n < head + 3 || n > head + 4 || memcmp(s, kHead, head) != 0) return -1;
  if (s[n - 1] != '}' || s[n - 2] != '}') return -1;
  int c = 0;
  for (size_t i = head; i < n - 2; i++) {
    if (s[i] < '0' || s[i] > '9' || (i == head && s[i] == '0' && n - 2 - head > 1)) return -1;
    c = c * 10 + (s[i] - '0');
  }
  return c < RIG_MAX_CHANNELS ? c : -1;
}

// A channel entry's members, gathered in one walk.
struct Entry {
  enum { MAX = 24 };
  RigJsonValue names[MAX], values[MAX];
  int count;
  bool more;  // past MAX: walked again member by member
};

// The input number a channel entry configures, or -1 when the entry is kept verbatim. Walks
// the entry to its end with *it.
int64_t entry_channel(Dec* d, const RigJsonValue* e, RigJsonIter* it, Entry* en, int s, int n) {
  if (e->type != RIGJSON_OBJECT) {
    say(d, "scene %d: channel entry %d is not an object (kept verbatim)", s, n);
    return -1;
  }
  en->count = 0;
  en->more = false;
  const RigJsonValue* kind = nullptr;
  rigjson_iter(e, it);
  RigJsonValue name, v;
  while (rigjson_next(it, &name, &v)) {
    if (en->count == Entry::MAX) {
      en->more = true;
      if (!kind && rigjson_string_equals(&name, "kind")) {
        en->names[0] = name;  // kept for the kind only; the members are walked again
        en->values[0] = v;
        kind = &en->values[0];
      }
      continue;
    }
    en->names[en->count] = name;
    en->values[en->count] = v;
    if (!kind && rigjson_string_equals(&name, "kind")) kind = &en->values[en->count];
    en->count++;
  }
  int fast = kind ? written_kind(kind) : -1;
  if (fast >= 0) return fast;
  RigJsonValue kname, input, cname, cv;
  if (!kind || !only_member(kind, &kname, &input)) {
    say(d, "scene %d: channel entry %d has no single-member kind (kept verbatim)", s, n);
    return -1;
  }
  if (!rigjson_string_equals(&kname, "input")) return -1;  // another program's kind of entry
  int64_t channel = -1;
  if (!only_member(&input, &cname, &cv) || !rigjson_string_equals(&cname, "channel") ||
      !rigjson_int(&cv, &channel))
    channel = -1;
  if (channel < 0) {
    say(d, "scene %d: channel entry %d is an input with no usable channel (kept verbatim)", s, n);
    return -1;
  }
  if (channel >= RIG_MAX_CHANNELS) {
    // Unsigned, so even the largest integer prints one past itself.
    say(d, "scene %d: input %llu is past the %d a rig holds (kept verbatim)", s,
        (unsigned long long)channel + 1, RIG_MAX_CHANNELS);
    return -1;
  }
  return channel;
}

void dec_channel_member(Dec* d, const RigJsonValue* name, const RigJsonValue* v, bool* seen,
                        const Where& w, RigChannel* ch, int c) {
  static const char* const kNames[] = {"id", "kind", "label", "gain", "pan", "muted", "link"};
  switch (claim(d, name, kNames, 7, seen, w)) {
    case -1:
      append_member(d, &ch->extra, name, v);
      break;
    case 0:
      dec_id(d, v, w, ch->id);
      break;
    case 2:
      dec_text(d, v, w, "label", ch->label, sizeof ch->label);
      break;
    case 3:
      ch->gain = dec_clamped(d, v, w, "gain", 0.0f, RIG_MAX_GAIN, 1.0f);
      break;
    case 4:
      ch->pan = dec_clamped(d, v, w, "pan", -1.0f, 1.0f, 0.0f);
      break;
    case 5:
      ch->muted = dec_bool(d, v, w, "muted", c > 1);
      break;
    case 6:
      ch->link = dec_bool(d, v, w, "link", false);
      break;
    default:  // kind was read already; repeats were reported
      break;
  }
}

// Fills channel c from the entry's gathered members.
void dec_channel(Dec* d, const RigJsonValue* e, const Entry* en, RigChannel* ch, int s, int c) {
  Where w = {"scene %d input %d", s, c + 1, nullptr};
  channel_defaults(ch, c);
  bool seen[7] = {};
  if (!en->more) {
    for (int i = 0; i < en->count; i++)
      dec_channel_member(d, &en->names[i], &en->values[i], seen, w, ch, c);
  } else {
    RigJsonIter it;
    rigjson_iter(e, &it);
    RigJsonValue name, v;
    while (rigjson_next(&it, &name, &v)) dec_channel_member(d, &name, &v, seen, w, ch, c);
  }
  if (!seen[0]) rig_uuid(ch->id);
}

// Walks the channel array to its end with *it.
void dec_scene_channels(Dec* d, const RigJsonValue* arr, RigJsonIter* it, RigScene* sc, int s) {
  uint64_t filled = 0;
  rigjson_iter(arr, it);
  RigJsonValue e;
  Entry en;
  for (int n = 0; rigjson_next_lazy(it, nullptr, &e); n++) {
    RigJsonIter entry;
    int64_t c = entry_channel(d, &e, &entry, &en, s, n);
    if (e.type == RIGJSON_OBJECT) rigjson_iter_past(it, &entry);  // walked to its end
    if (c < 0) {
      append_value(d, &sc->extra_channels, &e);
      continue;
    }
    if (filled & (1ull << c)) {
      say(d, "scene %d: input %d appears twice (the first kept)", s, (int)c + 1);
      continue;
    }
    filled |= 1ull << c;
    dec_channel(d, &e, &en, &sc->channels[c], s, (int)c);
    if (c + 1 > sc->channel_count) sc->channel_count = (int32_t)c + 1;
  }
  for (int c = 0; c < sc->channel_count; c++) {
    if (filled & (1ull << c)) continue;
    channel_defaults(&sc->channels[c], c);
    rig_uuid(sc->channels[c].id);
    say(d, "scene %d: input %d is missing (defaults)", s, c + 1);
  }
}

// Walks the scene object to its end with *it.
void dec_scene(Dec* d, const RigJsonValue* obj, RigJsonIter* it, RigScene* sc, int index) {
  static const char* const kNames[] = {"id",         "name",      "glyph",  "fresh",
                                       "masterGain", "updatedAt", "author", "channels"};
  int s = index + 1;
  Where w = {"scene %d", s, 0, nullptr};
  rig_scene_reset(sc, index);
  bool seen[8] = {};
  rigjson_iter(obj, it);
  RigJsonValue name, v;
  while (rigjson_next_lazy(it, &name, &v)) {
    switch (claim(d, &name, kNames, 8, seen, w)) {
      case -1:
        append_member(d, &sc->extra_scene, &name, &v);
        break;
      case 0:
        dec_id(d, &v, w, sc->id);
        break;
      case 1:
        dec_text(d, &v, w, "name", sc->name, sizeof sc->name);
        break;
      case 2:
        dec_text(d, &v, w, "glyph", sc->glyph, sizeof sc->glyph);
        break;
      case 3:
        sc->fresh = dec_bool(d, &v, w, "fresh", false);
        break;
      case 4:
        sc->master_gain = dec_clamped(d, &v, w, "masterGain", 0.0f, RIG_MAX_GAIN, 1.0f);
        break;
      case 5:
        sc->updated_at = dec_double(d, &v, w, "updatedAt");
        break;
      case 6:
        dec_text(d, &v, w, "author", sc->author, sizeof sc->author);
        break;
      case 7:
        if (v.type != RIGJSON_ARRAY) {
          say(d, "scene %d: channels is not an array", s);
        } else {
          RigJsonIter channels;
          dec_scene_channels(d, &v, &channels, sc, s);
          rigjson_iter_past(it, &channels);
        }
        break;
      default:
        break;
    }
  }
  if (!seen[0]) rig_uuid(sc->id);
}

// Decodes the scenes array, walking it to its end with *it. The number of entries.
int dec_scenes(Dec* d, const RigJsonValue* arr, RigJsonIter* it, bool* decoded) {
  RigDoc* doc = d->doc;
  rigjson_iter(arr, it);
  RigJsonValue v;
  int entries = 0;
  for (; rigjson_next_lazy(it, nullptr, &v); entries++) {
    if (entries >= RIG_SCENES) {
      append_value(d, &doc->extra_scenes, &v);
    } else if (v.type == RIGJSON_OBJECT) {
      RigJsonIter scene;
      dec_scene(d, &v, &scene, &doc->scenes[entries], entries);
      rigjson_iter_past(it, &scene);
      decoded[entries] = true;
    } else {
      say(d, "scene %d is not an object (defaults)", entries + 1);
    }
  }
  return entries;
}

// --- Writer -------------------------------------------------------------------------------

// Walks the writer object to its end with *it; false when it is not an object.
bool dec_writer(Dec* d, const RigJsonValue* wv, RigJsonIter* itp) {
  RigDoc* doc = d->doc;
  if (wv->type != RIGJSON_OBJECT) {
    say(d, "writer is not an object");
    return false;
  }
  static const char* const kNames[] = {"app", "platform", "version", "instance", "at"};
  const Where& w = kWriter;
  bool seen[5] = {};
  RigJsonIter& it = *itp;
  rigjson_iter(wv, &it);
  RigJsonValue name, v;
  while (rigjson_next(&it, &name, &v)) {
    switch (claim(d, &name, kNames, 5, seen, w)) {
      case 0:
        dec_text(d, &v, w, "app", doc->writer_app, sizeof doc->writer_app);
        break;
      case 1:
        dec_text(d, &v, w, "platform", doc->writer_platform, sizeof doc->writer_platform);
        break;
      case 2:
        dec_text(d, &v, w, "version", doc->writer_version, sizeof doc->writer_version);
        break;
      case 3:
        dec_text(d, &v, w, "instance", doc->writer_instance, sizeof doc->writer_instance);
        break;
      case 4:
        doc->writer_at = dec_double(d, &v, w, "at");
        break;
      default:  // other members are the writer's own business
        break;
    }
  }
  return true;
}

// --- Root ---------------------------------------------------------------------------------

enum RootMember {
  ROOT_FORMAT,
  ROOT_VERSION,
  ROOT_REV,
  ROOT_KEY,
  ROOT_DEVICE,
  ROOT_ACTIVE,
  ROOT_APPS,
  ROOT_SCENES,
  ROOT_WRITER,
  ROOT_MEMBERS
};

const char* const kRootNames[ROOT_MEMBERS] = {"format",      "version",   "rev",
                                              "key",         "device",    "activeScene",
                                              "appScenes",   "scenes",    "writer"};

// Scenes the file did not give become those of a new rig for its device. false without memory.
bool replace_scenes(RigDoc* doc, const bool* decoded) {
  bool any = false;
  for (int i = 0; i < RIG_SCENES; i++) any = any || !decoded[i];
  if (!any) return true;
  // Not rig_doc_new: the decoder reports the failure itself, once.
  RigDoc* fresh = (RigDoc*)calloc(1, sizeof(RigDoc));
  if (!fresh) return false;
  rig_doc_reset(fresh);
  rig_doc_init_for_device(fresh, doc->key, doc->api, doc->device_name, doc->channels,
                          doc->channel_names, RIG_MAX_CHANNELS, "", 0.0);
  for (int i = 0; i < RIG_SCENES; i++) {
    if (decoded[i]) continue;
    rig_scene_reset(&doc->scenes[i], i);
    memcpy((void*)&doc->scenes[i], (const void*)&fresh->scenes[i], sizeof(RigScene));
    memset((void*)&fresh->scenes[i], 0, sizeof(RigScene));  // nothing owned, nothing shared
  }
  rig_doc_free(fresh);
  return true;
}

void decode_root(Dec* d, const RigJsonValue* root) {
  RigDoc* doc = d->doc;
  bool seen[ROOT_MEMBERS] = {};
  bool decoded[RIG_SCENES] = {};
  int entries = -1;  // no scenes array
  RigJsonIter it, sub;
  rigjson_iter(root, &it);
  RigJsonValue name, v;
  int64_t x;
  while (rigjson_next_lazy(&it, &name, &v)) {
    d->phase = PH_ROOT;
    int i = claim(d, &name, kRootNames, ROOT_MEMBERS, seen, kTheRig);
    bool walked = false;
    switch (i) {
      case -1:
        append_member(d, &doc->extra_root, &name, &v);
        break;
      case ROOT_VERSION:
        d->phase = PH_VERSION;
        if (dec_int(d, &v, kTheRig, "version", 1, INT32_MAX, &x)) doc->version = (int32_t)x;
        break;
      case ROOT_REV:
        d->phase = PH_REV;
        if (dec_int(d, &v, kTheRig, "rev", 0, INT64_MAX, &x)) doc->rev = x;
        break;
      case ROOT_KEY:
        d->phase = PH_KEY;
        dec_text(d, &v, kTheRig, "key", doc->key, sizeof doc->key);
        break;
      case ROOT_DEVICE:
        d->phase = PH_DEVICE;
        walked = dec_device(d, &v, &sub);
        break;
      case ROOT_ACTIVE:
        d->phase = PH_ACTIVE;
        if (dec_int(d, &v, kTheRig, "activeScene", 0, RIG_SCENES - 1, &x))
          doc->active_scene = (int32_t)x;
        break;
      case ROOT_APPS:
        d->phase = PH_APPS;
        walked = dec_app_scenes(d, &v, &sub);
        break;
      case ROOT_SCENES:
        d->phase = PH_SCENES;
        if (v.type != RIGJSON_ARRAY) {
          say(d, "scenes is not an array (defaults)");
        } else {
          entries = dec_scenes(d, &v, &sub, decoded);
          walked = true;
        }
        break;
      case ROOT_WRITER:
        d->phase = PH_WRITER;
        walked = dec_writer(d, &v, &sub);
        break;
      default:  // "format", checked already, or a repeat
        break;
    }
    if (walked) rigjson_iter_past(&it, &sub);
  }
  fill_device_from_key(doc, doc->key[0] != 0);
  d->phase = PH_SCENES;
  if (!seen[ROOT_SCENES]) say(d, "no scenes (defaults)");

  d->phase = PH_AFTER;
  if (doc->channels == 0) {
    int most = 1;
    for (const RigScene& sc : doc->scenes)
      if (sc.channel_count > most) most = sc.channel_count;
    doc->channels = most;
  }
  if (!replace_scenes(doc, decoded)) d->oom = true;
  if (entries >= 0 && entries < RIG_SCENES)
    say(d, "only %d of %d scenes (the rest are defaults)", entries, RIG_SCENES);
}

}  // namespace

// --- Public -------------------------------------------------------------------------------

int rig_decode(const char* text, size_t length, RigDoc* doc, char* msg, size_t msg_size) {
  if (msg && msg_size) msg[0] = 0;
  if (!doc) {
    put_msg(msg, msg_size, "no doc to decode into");
    return RIG_DECODE_UNREADABLE;
  }
  rig_doc_reset(doc);
  if (!text) length = 0;
  if (length > RIG_FILE_MAX_BYTES) {
    put_msg(msg, msg_size, "bigger than 1 MB (%llu bytes)", (unsigned long long)length);
    return RIG_DECODE_UNREADABLE;
  }
  RigJsonValue root;
  char why[160];
  if (rigjson_validate(text, length, &root, why, sizeof why) != 0) {
    put_msg(msg, msg_size, "not JSON: %s", why);
    return RIG_DECODE_UNREADABLE;
  }
  if (root.type != RIGJSON_OBJECT) {
    put_msg(msg, msg_size, "not a rig: the JSON is not an object");
    return RIG_DECODE_NOT_A_RIG;
  }
  RigJsonIter it;
  rigjson_iter(&root, &it);
  RigJsonValue name, v;
  bool format_ok = false;
  while (rigjson_next(&it, &name, &v)) {
    if (rigjson_string_equals(&name, "format")) {
      format_ok = rigjson_string_equals(&v, RIG_FORMAT_NAME);
      break;
    }
  }
  if (!format_ok) {
    put_msg(msg, msg_size, "not a rig: \"format\" is not \"%s\"", RIG_FORMAT_NAME);
    return RIG_DECODE_NOT_A_RIG;
  }

  Dec d;
  d.doc = doc;
  d.phase = PH_ROOT;
  d.any = d.oom = false;
  for (auto& m : d.first) m[0] = 0;
  decode_root(&d, &root);
  if (d.oom) {
    rig_doc_reset(doc);
    put_msg(msg, msg_size, "out of memory");
    log_line("rig: out of memory decoding a rig file (%llu bytes)", (unsigned long long)length);
    return RIG_DECODE_NO_MEMORY;
  }
  doc->read_only = doc->version > RIG_FORMAT_VERSION;
  d.phase = PH_AFTER;
  if (rig_doc_repair(doc)) say(&d, "out-of-range values repaired");
  const char* first = "";
  for (int p = 0; p < PH_COUNT && !first[0]; p++) first = d.first[p];
  if (doc->read_only) {
    char also[sizeof d.first[0] + 16] = "";
    if (d.any) snprintf(also, sizeof also, " (and: %s)", first);
    put_msg(msg, msg_size, "version %d is newer than %d - read only%s", doc->version,
            RIG_FORMAT_VERSION, also);
    return RIG_DECODE_READ_ONLY;
  }
  if (!d.any) return RIG_DECODE_OK;
  put_msg(msg, msg_size, "%s", first);
  return RIG_DECODE_REPAIRED;
}
