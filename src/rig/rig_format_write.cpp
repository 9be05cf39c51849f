// Rig files as they are written: the repair every document gets before it is saved (and after
// it is read), and the compact encoding with its fixed member order.
#include <cmath>
#include <cstring>

#include "base/text.h"
#include "rig/rig_format.h"

namespace {

// --- Repair -------------------------------------------------------------------------------

// Makes a fixed field valid UTF-8 within its width; whether it changed.
bool fix_text(char* field, size_t size) {
  size_t i = 0;
  while (i < size && field[i] > 0) i++;  // the plain ASCII part (char is signed)
  if (i < size && field[i] == 0) return false;
  bool valid = true;
  for (; i < size && field[i] && valid;) {
    if ((unsigned char)field[i] < 0x80) {
      i++;
      continue;
    }
    int k = text_utf8_sequence(field + i, strnlen(field + i, size - i));
    if (k == 0) valid = false;
    i += (size_t)k;
  }
  if (valid && i < size) return false;
  char tmp[RIG_KEY_BYTES];
  text_copy_valid(tmp, size, field, size, nullptr, nullptr);
  memcpy(field, tmp, size);
  return true;
}

bool is_variation_selector(const char* s, size_t n) {
  return n == 3 && (unsigned char)s[0] == 0xEF && (unsigned char)s[1] == 0xB8 &&
         ((unsigned char)s[2] == 0x8E || (unsigned char)s[2] == 0x8F);
}

bool fix_glyph(char* glyph, int index) {
  char before[RIG_GLYPH_BYTES];
  memcpy(before, glyph, sizeof before);
  fix_text(glyph, RIG_GLYPH_BYTES);
  size_t n = strlen(glyph);
  while (n >= 3 && is_variation_selector(glyph + n - 3, 3)) n -= 3;
  size_t first = n ? (size_t)text_utf8_sequence(glyph, n) : 0;
  if (first == 0 || (unsigned char)glyph[0] < 0x20 || is_variation_selector(glyph, first)) {
    text_copy(glyph, RIG_GLYPH_BYTES, rig_default_glyph(index));
  } else {
    memset(glyph + first, 0, RIG_GLYPH_BYTES - first);
  }
  return strncmp(before, glyph, RIG_GLYPH_BYTES) != 0;
}

template <typename T>
bool set_if(T* field, T value) {
  if (*field == value) return false;
  *field = value;
  return true;
}

bool fix_gain(float* g) {
  if (!std::isfinite(*g)) {
    *g = 1.0f;
    return true;
  }
  if (*g < 0.0f) return set_if(g, 0.0f);
  if (*g > RIG_MAX_GAIN) return set_if(g, RIG_MAX_GAIN);
  return false;
}

bool fix_id(char* id) {
  if (!id[0]) {
    rig_uuid(id);
    return true;
  }
  return fix_text(id, RIG_UUID_BYTES);
}

bool fix_app_scenes(RigDoc* doc) {
  bool changed = false;
  if (doc->app_scene_count < 0) changed |= set_if(&doc->app_scene_count, 0);
  if (doc->app_scene_count > RIG_APP_SCENES) changed |= set_if(&doc->app_scene_count, (int)RIG_APP_SCENES);
  for (int i = 0; i < doc->app_scene_count; i++) {
    RigAppScene& a = doc->app_scenes[i];
    changed |= fix_text(a.app, sizeof a.app);
    if (a.scene < 0 || a.scene >= RIG_SCENES) changed |= set_if(&a.scene, 0);
    if (!std::isfinite(a.at)) changed |= set_if(&a.at, 0.0);
  }
  // Equal names merge into the first, which keeps the later "at" when that is larger.
  for (int i = 1; i < doc->app_scene_count;) {
    int j = 0;
    while (j < i && strcmp(doc->app_scenes[j].app, doc->app_scenes[i].app) != 0) j++;
    if (j == i) {
      i++;
      continue;
    }
    if (doc->app_scenes[i].at > doc->app_scenes[j].at) {
      doc->app_scenes[j].scene = doc->app_scenes[i].scene;
      doc->app_scenes[j].at = doc->app_scenes[i].at;
    }
    memmove(&doc->app_scenes[i], &doc->app_scenes[i + 1],
            sizeof(RigAppScene) * (size_t)(doc->app_scene_count - i - 1));
    doc->app_scene_count--;
    memset(&doc->app_scenes[doc->app_scene_count], 0, sizeof(RigAppScene));
    changed = true;
  }
  return changed;
}

bool fix_scene(RigScene* sc, int index) {
  bool changed = false;
  if (sc->channel_count < 0) changed |= set_if(&sc->channel_count, 0);
  if (sc->channel_count > RIG_MAX_CHANNELS) changed |= set_if(&sc->channel_count, (int)RIG_MAX_CHANNELS);
  changed |= fix_id(sc->id);
  changed |= fix_text(sc->name, sizeof sc->name);
  changed |= fix_text(sc->author, sizeof sc->author);
  changed |= fix_glyph(sc->glyph, index);
  changed |= fix_gain(&sc->master_gain);
  if (!std::isfinite(sc->updated_at)) changed |= set_if(&sc->updated_at, 0.0);
  for (int c = 0; c < sc->channel_count; c++) {
    RigChannel& ch = sc->channels[c];
    changed |= fix_gain(&ch.gain);
    if (!std::isfinite(ch.pan)) changed |= set_if(&ch.pan, 0.0f);
    if (ch.pan < -1.0f) changed |= set_if(&ch.pan, -1.0f);
    if (ch.pan > 1.0f) changed |= set_if(&ch.pan, 1.0f);
    if (c % 2 == 1) changed |= set_if(&ch.link, false);
    changed |= fix_text(ch.label, sizeof ch.label);
    changed |= fix_id(ch.id);
  }
  return changed;
}

// --- Encoding -----------------------------------------------------------------------------

// A comma, the quoted name and a colon; names are plain ASCII.
inline void key_out(RigJsonOut* o, const char* quoted_with_comma, size_t n) {
  rigjson_raw(o, quoted_with_comma, n);
}
#define KEY(o, lit) key_out(o, lit, sizeof lit - 1)

// A fixed field, bounded even when it lost its terminator.
void field_out(RigJsonOut* o, const char* field, size_t size) {
  if (memchr(field, 0, size)) {
    rigjson_string_out(o, field);
    return;
  }
  char tmp[RIG_KEY_BYTES + 1];
  memcpy(tmp, field, size);
  tmp[size] = 0;
  rigjson_string_out(o, tmp);
}
#define FIELD(o, f) field_out(o, f, sizeof f)

void extra_out(RigJsonOut* o, const RigText* t, bool comma) {
  if (!t->len) return;
  if (comma) rigjson_char(o, ',');
  rigjson_raw(o, t->data, t->len);
}

void channel_out(RigJsonOut* o, const RigChannel* ch, int i) {
  KEY(o, "{\"id\":");
  FIELD(o, ch->id);
  KEY(o, ",\"kind\":{\"input\":{\"channel\":");
  rigjson_int_out(o, i);
  KEY(o, "}}");
  KEY(o, ",\"label\":");
  FIELD(o, ch->label);
  KEY(o, ",\"gain\":");
  rigjson_float_out(o, std::isfinite(ch->gain) ? ch->gain : 1.0f);
  KEY(o, ",\"pan\":");
  rigjson_float_out(o, ch->pan);  // non-finite goes out as 0
  KEY(o, ",\"muted\":");
  rigjson_bool_out(o, ch->muted);
  KEY(o, ",\"link\":");
  rigjson_bool_out(o, ch->link);
  extra_out(o, &ch->extra, true);
  rigjson_char(o, '}');
}

void scene_out(RigJsonOut* o, const RigScene* sc) {
  KEY(o, "{\"id\":");
  FIELD(o, sc->id);
  KEY(o, ",\"name\":");
  FIELD(o, sc->name);
  KEY(o, ",\"glyph\":");
  FIELD(o, sc->glyph);
  if (sc->fresh) KEY(o, ",\"fresh\":true");
  KEY(o, ",\"masterGain\":");
  rigjson_float_out(o, std::isfinite(sc->master_gain) ? sc->master_gain : 1.0f);
  KEY(o, ",\"updatedAt\":");
  rigjson_double_out(o, sc->updated_at);
  KEY(o, ",\"author\":");
  FIELD(o, sc->author);
  KEY(o, ",\"channels\":[");
  int n = sc->channel_count < 0 ? 0 : sc->channel_count > RIG_MAX_CHANNELS ? RIG_MAX_CHANNELS
                                                                            : sc->channel_count;
  for (int c = 0; c < n; c++) {
    if (c) rigjson_char(o, ',');
    channel_out(o, &sc->channels[c], c);
  }
  extra_out(o, &sc->extra_channels, n > 0);
  rigjson_char(o, ']');
  extra_out(o, &sc->extra_scene, true);
  rigjson_char(o, '}');
}

}  // namespace

size_t rig_encode(const RigDoc* doc, char* out, size_t size) {
  if (!doc) return 0;
  RigJsonOut o{out, out ? size : 0, 0};
  KEY(&o, "{\"format\":\"" RIG_FORMAT_NAME "\"");
  KEY(&o, ",\"version\":");
  rigjson_int_out(&o, doc->version);
  KEY(&o, ",\"rev\":");
  rigjson_int_out(&o, doc->rev);
  KEY(&o, ",\"key\":");
  FIELD(&o, doc->key);

  KEY(&o, ",\"device\":{\"api\":");
  FIELD(&o, doc->api);
  KEY(&o, ",\"name\":");
  FIELD(&o, doc->device_name);
  KEY(&o, ",\"channels\":");
  rigjson_int_out(&o, doc->channels);
  KEY(&o, ",\"channelNames\":[");
  int names = doc->channels < 0 ? 0 : doc->channels > RIG_MAX_CHANNELS ? RIG_MAX_CHANNELS
                                                                        : doc->channels;
  for (int i = RIG_MAX_CHANNELS - 1; i >= names; i--) {
    if (doc->channel_names[i][0]) {
      names = i + 1;
      break;
    }
  }
  for (int i = 0; i < names; i++) {
    if (i) rigjson_char(&o, ',');
    FIELD(&o, doc->channel_names[i]);
  }
  rigjson_char(&o, ']');
  extra_out(&o, &doc->extra_device, true);
  rigjson_char(&o, '}');

  KEY(&o, ",\"activeScene\":");
  rigjson_int_out(&o, doc->active_scene);
  int apps = doc->app_scene_count > RIG_APP_SCENES ? RIG_APP_SCENES : doc->app_scene_count;
  if (apps > 0) {
    KEY(&o, ",\"appScenes\":{");
    for (int i = 0; i < apps; i++) {
      if (i) rigjson_char(&o, ',');
      FIELD(&o, doc->app_scenes[i].app);
      KEY(&o, ":{\"scene\":");
      rigjson_int_out(&o, doc->app_scenes[i].scene);
      KEY(&o, ",\"at\":");
      rigjson_double_out(&o, doc->app_scenes[i].at);
      rigjson_char(&o, '}');
    }
    rigjson_char(&o, '}');
  }

  KEY(&o, ",\"scenes\":[");
  for (int s = 0; s < RIG_SCENES; s++) {
    if (s) rigjson_char(&o, ',');
    scene_out(&o, &doc->scenes[s]);
  }
  extra_out(&o, &doc->extra_scenes, true);
  rigjson_char(&o, ']');

  KEY(&o, ",\"writer\":{\"app\":");
  FIELD(&o, doc->writer_app);
  KEY(&o, ",\"platform\":");
  FIELD(&o, doc->writer_platform);
  KEY(&o, ",\"version\":");
  FIELD(&o, doc->writer_version);
  KEY(&o, ",\"instance\":");
  FIELD(&o, doc->writer_instance);
  KEY(&o, ",\"at\":");
  rigjson_double_out(&o, doc->writer_at);
  rigjson_char(&o, '}');
  extra_out(&o, &doc->extra_root, true);
  rigjson_char(&o, '}');
  if (out && o.pos < size) out[o.pos] = 0;
  return o.pos;
}

bool rig_doc_repair(RigDoc* doc) {
  if (!doc) return false;
  bool changed = false;
  if (doc->version < 1) changed |= set_if(&doc->version, 1);
  changed |= set_if(&doc->read_only, doc->version > RIG_FORMAT_VERSION);
  if (doc->rev < 0) changed |= set_if(&doc->rev, (int64_t)0);
  changed |= fix_text(doc->key, sizeof doc->key);
  changed |= fix_text(doc->api, sizeof doc->api);
  changed |= fix_text(doc->device_name, sizeof doc->device_name);
  for (auto& name : doc->channel_names) changed |= fix_text(name, RIG_NAME_BYTES);
  if (doc->active_scene < 0 || doc->active_scene >= RIG_SCENES)
    changed |= set_if(&doc->active_scene, 0);
  changed |= fix_app_scenes(doc);
  int most = 1;
  for (int s = 0; s < RIG_SCENES; s++) {
    changed |= fix_scene(&doc->scenes[s], s);
    if (doc->scenes[s].channel_count > most) most = doc->scenes[s].channel_count;
  }
  if (doc->channels < 1) changed |= set_if(&doc->channels, most);
  if (doc->channels > RIG_MAX_CHANNELS) changed |= set_if(&doc->channels, (int)RIG_MAX_CHANNELS);
  changed |= fix_text(doc->writer_app, sizeof doc->writer_app);
  changed |= fix_text(doc->writer_platform, sizeof doc->writer_platform);
  changed |= fix_text(doc->writer_version, sizeof doc->writer_version);
  changed |= fix_text(doc->writer_instance, sizeof doc->writer_instance);
  if (!std::isfinite(doc->writer_at)) changed |= set_if(&doc->writer_at, 0.0);
  return changed;
}
