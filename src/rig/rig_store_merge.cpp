// The merge rule shared by the store and the controller, change sets, and where rig files live.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "rig/rig_store.h"

namespace {

// A whole channel, its carried-through members too. Those are left as they were when memory
// runs out: the values still land.
void copy_channel(RigChannel* dst, const RigChannel* src) {
  RigText keep = dst->extra;
  *dst = *src;
  dst->extra = keep;
  rig_text_set(&dst->extra, src->extra.data, src->extra.len);
}

void merge_scene(RigScene* d, const RigScene* o, const uint8_t* channel_flags, uint8_t flags) {
  bool whole = (flags & RIG_SC_WHOLE) != 0;
  bool any = flags != 0;
  int both = d->channel_count < o->channel_count ? d->channel_count : o->channel_count;
  for (int c = 0; c < RIG_MAX_CHANNELS; c++) {
    uint8_t f = channel_flags[c];
    if (f) any = true;
    if (c >= both) continue;
    if (whole) f |= RIG_CH_GAIN | RIG_CH_PAN | RIG_CH_MUTED | RIG_CH_LINK;
    RigChannel* dc = &d->channels[c];
    const RigChannel* oc = &o->channels[c];
    if (f & RIG_CH_GAIN) dc->gain = oc->gain;
    if (f & RIG_CH_PAN) dc->pan = oc->pan;
    if (f & RIG_CH_MUTED) dc->muted = oc->muted;
    if (f & RIG_CH_LINK) dc->link = oc->link;
    if (f & RIG_CH_LABEL) memcpy(dc->label, oc->label, sizeof dc->label);
  }
  if (o->channel_count > d->channel_count && o->channel_count <= RIG_MAX_CHANNELS) {
    for (int c = d->channel_count < 0 ? 0 : d->channel_count; c < o->channel_count; c++)
      copy_channel(&d->channels[c], &o->channels[c]);
    d->channel_count = o->channel_count;
  }
  if (flags & (RIG_SC_MASTER | RIG_SC_WHOLE)) d->master_gain = o->master_gain;
  if (flags & RIG_SC_GLYPH) memcpy(d->glyph, o->glyph, sizeof d->glyph);
  if (flags & RIG_SC_NAME) memcpy(d->name, o->name, sizeof d->name);
  if (flags & (RIG_SC_FRESH | RIG_SC_WHOLE)) d->fresh = o->fresh;
  if (any) {
    d->updated_at = o->updated_at;
    memcpy(d->author, o->author, sizeof d->author);
  }
}

void merge_app_scene(RigDoc* disk, const RigAppScene* a) {
  int oldest = -1;
  for (int i = 0; i < disk->app_scene_count; i++) {
    RigAppScene* d = &disk->app_scenes[i];
    if (strcmp(d->app, a->app) == 0) {
      if (a->at > d->at) *d = *a;
      return;
    }
    if (oldest < 0 || d->at < disk->app_scenes[oldest].at) oldest = i;
  }
  if (disk->app_scene_count < RIG_APP_SCENES) {
    disk->app_scenes[disk->app_scene_count++] = *a;
  } else if (oldest >= 0 && a->at > disk->app_scenes[oldest].at) {
    disk->app_scenes[oldest] = *a;
  }
}

}  // namespace

void rig_changes_clear(RigChanges* c) {
  memset(c, 0, sizeof *c);
}

void rig_changes_or(RigChanges* into, const RigChanges* from) {
  for (int s = 0; s < RIG_SCENES; s++) {
    for (int c = 0; c < RIG_MAX_CHANNELS; c++) into->channel[s][c] |= from->channel[s][c];
    into->scene[s] |= from->scene[s];
  }
  into->active_scene |= from->active_scene;
  into->device |= from->device;
  into->any |= from->any;
}

void rig_merge_changes(RigDoc* disk, const RigDoc* ours, const RigChanges* changes) {
  if (!disk || !ours || !changes) return;
  for (int s = 0; s < RIG_SCENES; s++)
    merge_scene(&disk->scenes[s], &ours->scenes[s], changes->channel[s], changes->scene[s]);
  if (changes->active_scene) disk->active_scene = ours->active_scene;
  if (changes->device) {
    if (ours->api[0]) memcpy(disk->api, ours->api, sizeof disk->api);
    if (ours->device_name[0])
      memcpy(disk->device_name, ours->device_name, sizeof disk->device_name);
    if (ours->channels > disk->channels) disk->channels = ours->channels;
    for (int c = 0; c < RIG_MAX_CHANNELS; c++)
      if (ours->channel_names[c][0])
        memcpy(disk->channel_names[c], ours->channel_names[c], RIG_NAME_BYTES);
  }
  int n = ours->app_scene_count < RIG_APP_SCENES ? ours->app_scene_count : RIG_APP_SCENES;
  for (int i = 0; i < n; i++) merge_app_scene(disk, &ours->app_scenes[i]);
}

int rig_file_name(const char* key, char out[RIG_FILE_NAME_BYTES]) {
  out[0] = 0;
  if (!key) return -1;
  enum { kSlugMax = 40 };
  char slug[kSlugMax + 1];
  int n = 0;
  bool gap = false;
  uint32_t hash = 0x811C9DC5u;
  for (const unsigned char* p = (const unsigned char*)key; *p; p++) hash = (hash ^ *p) * 16777619u;
  for (const unsigned char* p = (const unsigned char*)key; *p && n < kSlugMax; p++) {
    unsigned char c = *p;
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    bool digit = c >= '0' && c <= '9';
    if (!letter && !digit) {
      gap = true;
      continue;
    }
    if (gap && n > 0) {
      // A dash only with room for what follows it: a slug never ends in one.
      if (n + 2 > kSlugMax) break;
      slug[n++] = '-';
    }
    gap = false;
    slug[n++] = letter && c <= 'Z' ? (char)(c + 32) : (char)c;
  }
  slug[n] = 0;
  char hex[9];
  snprintf(hex, sizeof hex, "%08x", hash);
  if (hash == 0) hex[7] = '1';
  int len = snprintf(out, RIG_FILE_NAME_BYTES, "%s-%s.json", slug, hex);
  if (len < 0 || len > RIG_FILE_NAME_BYTES - 1) {
    out[0] = 0;
    return -1;
  }
  return 0;
}

int rig_default_folder(char* out, size_t size) {
  if (!out || size == 0) return -1;
  char base[1024];
  const char* xdg = getenv("XDG_CONFIG_HOME");
  int n = -1;
  // Relative values are to be ignored, as the XDG rules say.
  if (xdg && xdg[0] == '/') {
    n = snprintf(base, sizeof base, "%s", xdg);
  } else {
    char home[1024];
    if (platform_profile_folder(home, sizeof home) == 0 && home[0])
      n = snprintf(base, sizeof base, "%s/.config", home);
  }
  if (n < 0 || (size_t)n >= sizeof base) {
    n = snprintf(out, size, "rigs");
    return n >= 0 && (size_t)n < size ? 0 : -1;
  }
  while (n > 0 && base[n - 1] == '/') base[--n] = 0;
  n = snprintf(out, size, "%s/SeaGlass/rigs", base);
  if (n < 0 || (size_t)n >= size) {
    out[0] = 0;
    return -1;
  }
  return 0;
}
