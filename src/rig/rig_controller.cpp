#include "rig/rig_controller.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"
#include "base/log.h"
#include "base/text.h"
#include "rig/rig_controller_internal.h"

namespace {

constexpr double kSaveQuietSeconds = 0.15;   // after the last edit
constexpr double kSaveAtLeastSeconds = 1.0;  // while edits continue
constexpr double kSavingShownAfter = 0.12;

void slot_reset(RigSlot* s) {
  rig_doc_free(s->doc);
  memset(s, 0, sizeof *s);
  rig_changes_clear(&s->changes);
}

RigScene* active_scene(RigController* c) {
  return c->cur.doc ? &c->cur.doc->scenes[c->active] : nullptr;
}

bool editable(const RigController* c) {
  return c->has_binding && c->cur.doc && c->state == RIG_READY;
}

// --- Saves -------------------------------------------------------------------------------

void save_slot(RigController* c, RigSlot* s, bool current, bool forced) {
  if (!s->doc || !s->dirty || s->doc->read_only) return;
  if (current && c->state != RIG_READY) return;
  if (s->in_flight >= RIG_MAX_IN_FLIGHT) return;
  double now = ctl_now(c);
  if (!forced) {
    if (s->failed) {
      if (now < s->retry_at) return;
    } else if (now - s->last_edit < kSaveQuietSeconds &&
               now - s->first_edit < kSaveAtLeastSeconds) {
      return;
    }
  }
  uint32_t id = rig_store_save(c->store, s->doc, &s->changes);
  if (id == 0) {
    s->failed = true;
    s->retry_at = now + RIG_CTL_RETRY_SECONDS;
    return;
  }
  s->ids[s->in_flight] = id;
  s->sent[s->in_flight] = s->changes;
  s->in_flight++;
  rig_changes_clear(&s->changes);
  s->dirty = false;
}

// --- Binding -----------------------------------------------------------------------------

void clean_binding(const StreamBinding* in, StreamBinding* b) {
  memset(b, 0, sizeof *b);
  ctl_copy_text(b->key, sizeof b->key, in->key);
  ctl_copy_text(b->api, sizeof b->api, in->api);
  ctl_copy_text(b->device_name, sizeof b->device_name, in->device_name);
  b->inputs = in->inputs < 1 ? 1 : in->inputs > RIG_MAX_CHANNELS ? RIG_MAX_CHANNELS : in->inputs;
  b->device_inputs = in->device_inputs < b->inputs          ? b->inputs
                     : in->device_inputs > RIG_MAX_CHANNELS ? RIG_MAX_CHANNELS
                                                            : in->device_inputs;
  b->rate = in->rate;
  for (int i = 0; i < RIG_MAX_CHANNELS; i++) {
    text_copy_valid(b->channel_names[i], RIG_NAME_BYTES, in->channel_names[i], RIG_NAME_BYTES,
                    nullptr, nullptr);
  }
  if (!b->key[0]) rig_key(b->api, b->device_name, b->key);
  if (!b->api[0]) {
    const char* colon = strchr(b->key, ':');
    size_t n = colon ? (size_t)(colon - b->key) : 0;
    if (n >= sizeof b->api) n = text_utf8_boundary(b->key, sizeof b->api - 1);
    memcpy(b->api, b->key, n);
    b->api[n] = 0;
  }
}

}  // namespace

// --- Shared helpers ------------------------------------------------------------------------

void ctl_copy_text(char* dst, size_t size, const char* src) {
  text_copy_valid(dst, size, src ? src : "", SIZE_MAX, nullptr, nullptr);
}

bool ctl_slot_has_work(const RigSlot* s) {
  return s->doc && (s->dirty || s->in_flight > 0);
}

void ctl_drop_prev_when_done(RigController* c) {
  if (c->prev.doc && !ctl_slot_has_work(&c->prev)) slot_reset(&c->prev);
}

void ctl_log(RigController* c, const char* fmt, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (c->log)
    c->log(c->log_user, line);
  else
    log_line("%s", line);
}

double ctl_now(const RigController* c) {
  if (c->clock) return c->clock(c->clock_user);
  return clock_monotonic();
}

void ctl_event(RigController* c, int kind, int value, int value2, bool flag, const char* text) {
  if (c->event_count == RIG_EVENT_RING) {
    c->event_head = (c->event_head + 1) % RIG_EVENT_RING;
    c->event_count--;
  }
  RigEvent* e = &c->events[(c->event_head + c->event_count) % RIG_EVENT_RING];
  memset(e, 0, sizeof *e);
  e->kind = kind;
  e->value = value;
  e->value2 = value2;
  e->flag = flag;
  ctl_copy_text(e->text, sizeof e->text, text);
  c->event_count++;
}

int ctl_inputs(const RigController* c) {
  return c->has_binding ? c->binding.inputs : 0;
}

double ctl_load_ramp(const RigController* c) {
  return c->meters.on_fallback ? RIG_CTL_MERGE_RAMP : 0.0;
}

void ctl_publish(RigController* c, double ramp_seconds) {
  if (!c->has_binding || !c->cur.doc) return;
  RigPlan p;
  rig_plan_from_scene(&c->cur.doc->scenes[c->active], ctl_inputs(c), &p);
  if (c->published && c->plan_tag == c->tag && rig_plan_equal(&p, &c->plan)) return;
  rig_publish_plan(c->mixer, &p, c->tag, ramp_seconds);
  c->plan = p;
  c->plan_tag = c->tag;
  c->published = true;
}

// --- Life ----------------------------------------------------------------------------------

RigController* rig_controller_new(const RigControllerConfig* config) {
  RigController* c = (RigController*)calloc(1, sizeof(RigController));
  if (!c) {
    log_line("rig: out of memory making the rig controller");
    return nullptr;
  }
  const char* app = config && config->app_name && config->app_name[0] ? config->app_name : "kelp";
  ctl_copy_text(c->app, sizeof c->app, app);
  ctl_copy_text(c->version, sizeof c->version, config ? config->app_version : nullptr);
  if (config) {
    c->log = config->log;
    c->log_user = config->log_user;
    c->clock = config->clock;
    c->clock_user = config->clock_user;
  }
  slot_reset(&c->cur);
  slot_reset(&c->prev);
  c->state = RIG_UNBOUND;
  c->own_choice_at = -1;
  c->last_merged_at = -1;
  c->meters_at = -1;
  ctl_meters_reset(c);
  c->mixer = rig_mixer_new();
  c->base = rig_doc_new();
  RigStoreConfig sc;
  memset(&sc, 0, sizeof sc);
  sc.folder = config ? config->folder : nullptr;
  sc.app_name = c->app;
  sc.app_version = c->version[0] ? c->version : nullptr;
  sc.log = c->log;
  sc.log_user = c->log_user;
  // The store's thread keeps the system's clock: ours is the UI thread's, which may be a test's.
  sc.poll_ms = config ? config->poll_ms : 0;
  sc.no_watch = config ? config->no_watch : false;
  if (c->mixer && c->base) c->store = rig_store_new(&sc);
  if (!c->mixer || !c->base || !c->store) {
    if (!c->mixer || !c->base) log_line("rig: out of memory making the rig controller");
    rig_mixer_free(c->mixer);
    rig_doc_free(c->base);
    free(c);
    return nullptr;
  }
  return c;
}

void rig_controller_free(RigController* c) {
  if (!c) return;
  save_slot(c, &c->cur, true, true);
  save_slot(c, &c->prev, false, true);
  rig_store_flush(c->store, 1000);
  ctl_take_results(c);
  ctl_drop_prev_when_done(c);
  rig_store_close(c->store, 1000);
  slot_reset(&c->cur);
  slot_reset(&c->prev);
  rig_doc_free(c->base);
  rig_mixer_free(c->mixer);
  free(c);
}

bool rig_controller_flush(RigController* c, int ms) {
  if (!c) return true;
  save_slot(c, &c->cur, true, true);
  save_slot(c, &c->prev, false, true);
  if (ms > 0) {
    rig_store_flush(c->store, ms);
    ctl_take_results(c);
    ctl_drop_prev_when_done(c);
  }
  bool cur_left = c->cur.doc && !c->cur.doc->read_only && ctl_slot_has_work(&c->cur);
  return !cur_left && !ctl_slot_has_work(&c->prev);
}

RigMixer* rig_controller_mixer(RigController* c) {
  return c ? c->mixer : nullptr;
}

void rig_controller_set_stream_running(RigController* c, bool running) {
  if (c) c->running = running;
}

void rig_controller_bind(RigController* c, const StreamBinding* binding) {
  if (!c || !binding) return;
  StreamBinding b;
  clean_binding(binding, &b);
  // The engine has just rebound the mixer: whatever was published is gone.
  c->published = false;
  if (c->has_binding && strcmp(b.key, c->key) == 0) {
    int before = c->binding.inputs;
    c->binding = b;
    c->tag = rig_tag(c->key);
    if (c->cur.doc) {
      ctl_grow_scenes(c->cur.doc, b.inputs);
      if (!c->cur.doc->read_only && ctl_refresh_device(c->cur.doc, &b))
        c->cur.changes.device = true;
      ctl_publish(c, 0.0);
    }
    if (b.inputs > before) ctl_event(c, RIG_EVENT_MORE_INPUTS, b.inputs, 0, false, nullptr);
    return;
  }
  bool unsaved =
      c->cur.doc && !c->cur.doc->read_only && c->state == RIG_READY && ctl_slot_has_work(&c->cur);
  if (unsaved) {
    if (c->prev.doc) {
      ctl_log(c, "rig: dropped the unsaved changes of %s (another device came along first)",
              c->prev_key);
      slot_reset(&c->prev);
    }
    c->prev = c->cur;
    memcpy(c->prev_key, c->key, sizeof c->prev_key);
    memset(&c->cur, 0, sizeof c->cur);
    rig_changes_clear(&c->cur.changes);
    save_slot(c, &c->prev, false, true);
  } else {
    slot_reset(&c->cur);
  }
  c->has_binding = true;
  c->binding = b;
  memcpy(c->key, b.key, sizeof c->key);
  c->tag = rig_tag(c->key);
  c->state = RIG_LOADING;
  c->active = 0;
  c->own_choice_at = -1;
  c->published = false;
  memset(&c->plan, 0, sizeof c->plan);
  c->plan_tag = 0;
  ctl_meters_reset(c);
  c->load_id = 0;
  c->load_failed = false;
  c->load_failures = 0;
  c->load_retry_at = 0;
  c->fresh_defaults = false;
  c->tag_mismatch = false;
  c->mismatch_logged = false;
  c->save_failure[0] = 0;
  c->failure_told = false;
  c->bound_at = ctl_now(c);
  rig_store_watch(c->store, c->key);
  ctl_post_load(c);
  ctl_log(c, "rig: bound %s (%d of %d inputs, %.0f Hz)", c->key, b.inputs, b.device_inputs, b.rate);
}

void rig_controller_frame(RigController* c, double now, double wall) {
  if (!c) return;
  rig_set_frame_time(wall);
  ctl_take_results(c);
  ctl_meters_frame(c, now);
  if (c->has_binding) ctl_loading_frame(c, now);
  save_slot(c, &c->cur, true, false);
  save_slot(c, &c->prev, false, false);
  ctl_drop_prev_when_done(c);
  ctl_tracker_frame(c, now);
  ctl_tag_check(c);
}

// --- Edits ---------------------------------------------------------------------------------

namespace {

// The head of a linked pair takes edits of either channel; -1 for a channel out of reach.
int head_of(RigController* c, int ch) {
  const RigScene* sc = active_scene(c);
  if (!sc || ch < 0 || ch >= RIG_MAX_CHANNELS || ch >= sc->channel_count) return -1;
  if ((ch & 1) && sc->channels[ch - 1].link && ch < ctl_inputs(c)) return ch - 1;
  return ch;
}

void mark(RigController* c, int scene, int ch, uint8_t ch_flag, uint8_t scene_flag) {
  RigSlot* s = &c->cur;
  RigScene* sc = &s->doc->scenes[scene];
  if (ch >= 0 && ch_flag) s->changes.channel[scene][ch] |= ch_flag;
  s->changes.scene[scene] |= scene_flag;
  if (sc->fresh) {
    sc->fresh = false;
    s->changes.scene[scene] |= RIG_SC_FRESH;
  }
  sc->updated_at = rig_now();
  ctl_copy_text(sc->author, sizeof sc->author, c->app);
  s->changes.any = true;
  double now = ctl_now(c);
  if (!s->dirty) s->first_edit = now;
  s->last_edit = now;
  s->dirty = true;
}

float clamp_gain(float g) {
  return g < 0.0f ? 0.0f : g > RIG_MAX_GAIN ? RIG_MAX_GAIN : g;
}

void copy_mix(RigScene* to, const RigScene* from) {
  int n = from->channel_count;
  for (int i = 0; i < n; i++) {
    RigChannel* d = &to->channels[i];
    const RigChannel* o = &from->channels[i];
    d->gain = o->gain;
    d->pan = o->pan;
    d->muted = o->muted;
    d->link = o->link;
    if (!d->id[0]) rig_uuid(d->id);
  }
  if (to->channel_count < n) to->channel_count = n;
  to->master_gain = from->master_gain;
}

void mark_whole(RigController* c, int scene) {
  mark(c, scene, -1, 0, RIG_SC_WHOLE | RIG_SC_FRESH | RIG_SC_MASTER);
}

}  // namespace

void rig_set_gain(RigController* c, int channel, float gain) {
  if (!c || !editable(c) || std::isnan(gain)) return;
  int h = head_of(c, channel);
  if (h < 0) return;
  RigChannel* ch = &active_scene(c)->channels[h];
  gain = clamp_gain(gain);
  if (ch->gain == gain) return;
  ch->gain = gain;
  mark(c, c->active, h, RIG_CH_GAIN, 0);
  ctl_publish(c, 0.0);
}

void rig_nudge_gain(RigController* c, int channel, double db) {
  if (!c || !editable(c)) return;
  int h = head_of(c, channel);
  if (h < 0) return;
  rig_set_gain(c, h, rig_gain_nudge(active_scene(c)->channels[h].gain, db));
}

void rig_set_pan(RigController* c, int channel, float pan) {
  if (!c || !editable(c) || std::isnan(pan)) return;
  int h = head_of(c, channel);
  if (h < 0) return;
  RigChannel* ch = &active_scene(c)->channels[h];
  pan = pan < -1.0f ? -1.0f : pan > 1.0f ? 1.0f : pan;
  if (ch->pan == pan) return;
  ch->pan = pan;
  mark(c, c->active, h, RIG_CH_PAN, 0);
  ctl_publish(c, 0.0);
}

void rig_set_muted(RigController* c, int channel, bool muted) {
  if (!c || !editable(c)) return;
  int h = head_of(c, channel);
  if (h < 0) return;
  RigChannel* ch = &active_scene(c)->channels[h];
  if (ch->muted == muted) return;
  ch->muted = muted;
  mark(c, c->active, h, RIG_CH_MUTED, 0);
  ctl_publish(c, 0.0);
}

void rig_set_link(RigController* c, int channel, bool link) {
  if (!c || !editable(c)) return;
  int h = head_of(c, channel);
  RigScene* sc = active_scene(c);
  if (h < 0 || (h & 1) || h + 1 >= ctl_inputs(c) || h + 1 >= sc->channel_count) return;
  RigChannel* ch = &sc->channels[h];
  if (ch->link == link) return;
  ch->link = link;
  mark(c, c->active, h, RIG_CH_LINK, 0);
  ctl_publish(c, 0.0);
}

void rig_set_master(RigController* c, float gain) {
  if (!c || !editable(c) || std::isnan(gain)) return;
  RigScene* sc = active_scene(c);
  gain = clamp_gain(gain);
  if (sc->master_gain == gain) return;
  sc->master_gain = gain;
  mark(c, c->active, -1, 0, RIG_SC_MASTER);
  ctl_publish(c, 0.0);
}

void rig_nudge_master(RigController* c, double db) {
  if (!c || !editable(c)) return;
  rig_set_master(c, rig_gain_nudge(active_scene(c)->master_gain, db));
}

void rig_set_glyph(RigController* c, int scene, const char* glyph) {
  if (!c || !editable(c) || !glyph || scene < 0 || scene >= RIG_SCENES) return;
  char cut[RIG_GLYPH_BYTES];
  text_copy(cut, sizeof cut, glyph);
  size_t len = strlen(cut);
  int n = len ? text_utf8_sequence(cut, len) : 0;
  if (n <= 0) return;
  const unsigned char* u = (const unsigned char*)cut;
  uint32_t cp = n == 1   ? u[0]
                : n == 2 ? (uint32_t)(u[0] & 0x1F) << 6 | (u[1] & 0x3F)
                : n == 3
                    ? (uint32_t)(u[0] & 0x0F) << 12 | (uint32_t)(u[1] & 0x3F) << 6 | (u[2] & 0x3F)
                    : (uint32_t)(u[0] & 0x07) << 18 | (uint32_t)(u[1] & 0x3F) << 12 |
                          (uint32_t)(u[2] & 0x3F) << 6 | (u[3] & 0x3F);
  if (cp < 0x20 || cp == 0xFE0E || cp == 0xFE0F || cp == 0xFFFD) return;
  cut[n] = 0;
  RigScene* sc = &c->cur.doc->scenes[scene];
  if (strcmp(sc->glyph, cut) == 0) return;
  memset(sc->glyph, 0, sizeof sc->glyph);
  memcpy(sc->glyph, cut, (size_t)n);
  mark(c, scene, -1, 0, RIG_SC_GLYPH);
}

void rig_select_scene(RigController* c, int scene) {
  if (!c || !editable(c) || scene < 0 || scene >= RIG_SCENES || scene == c->active) return;
  RigDoc* d = c->cur.doc;
  RigScene* to = &d->scenes[scene];
  if (to->fresh) {
    copy_mix(to, &d->scenes[c->active]);
    to->fresh = false;
    mark_whole(c, scene);
  }
  // The newest choice wins when programs compare app scenes, so ours never goes back in time.
  double at = rig_now();
  RigAppScene* own = nullptr;
  for (int i = 0; i < d->app_scene_count; i++)
    if (strcmp(d->app_scenes[i].app, c->app) == 0) own = &d->app_scenes[i];
  if (own && own->at + 0.001 > at) at = own->at + 0.001;
  if (c->own_choice_at >= 0 && c->own_choice_at + 0.001 > at) at = c->own_choice_at + 0.001;
  if (!own) {
    if (d->app_scene_count < RIG_APP_SCENES) {
      own = &d->app_scenes[d->app_scene_count++];
    } else {
      own = &d->app_scenes[0];  // the stalest entry gives way
      for (int i = 1; i < RIG_APP_SCENES; i++)
        if (d->app_scenes[i].at < own->at) own = &d->app_scenes[i];
    }
    memset(own, 0, sizeof *own);
    ctl_copy_text(own->app, sizeof own->app, c->app);
  }
  own->scene = scene;
  own->at = at;
  c->own_choice_at = at;
  d->active_scene = scene;
  c->cur.changes.active_scene = true;
  c->cur.changes.any = true;
  double now = ctl_now(c);
  if (!c->cur.dirty) c->cur.first_edit = now;
  c->cur.last_edit = now;
  c->cur.dirty = true;
  RigPlan before = c->plan;
  bool had = c->published;
  c->active = scene;
  ctl_publish(c, 0.0);
  bool mix_changed = !had || !rig_plan_equal(&before, &c->plan);
  ctl_event(c, RIG_EVENT_SCENE_CHANGED, scene, 1, mix_changed, nullptr);
}

void rig_copy_scene(RigController* c, int from, int to) {
  if (!c || !editable(c) || from == to || from < 0 || from >= RIG_SCENES || to < 0 ||
      to >= RIG_SCENES)
    return;
  RigDoc* d = c->cur.doc;
  copy_mix(&d->scenes[to], &d->scenes[from]);
  d->scenes[to].fresh = false;
  mark_whole(c, to);
  // The copy lands in the other scene; the active one stays (Shift on a scene key).
  if (to == c->active) ctl_publish(c, 0.0);
}

void rig_clear_clip(RigController* c, int channel) {
  if (!c) return;
  if (channel < 0) {
    c->shown.clip_latched = 0;
    c->shown.bad_latched = 0;
    c->shown.out_clip_latched = false;
  } else if (channel < RIG_MAX_CHANNELS) {
    c->shown.clip_latched &= ~(1ull << channel);
    c->shown.bad_latched &= ~(1ull << channel);
  }
}

// --- Queries -------------------------------------------------------------------------------

void rig_controller_status(RigController* c, RigControllerStatus* out) {
  if (!out) return;
  memset(out, 0, sizeof *out);
  out->muted_with_signal = -1;
  out->last_merged_at = -1;
  if (!c) return;
  out->state = c->state;
  out->bound = c->has_binding && c->running;
  memcpy(out->key, c->key, sizeof out->key);
  if (c->has_binding) {
    memcpy(out->device_name, c->binding.device_name, sizeof out->device_name);
    memcpy(out->api, c->binding.api, sizeof out->api);
    out->inputs = c->have_meters && c->meters.bound_channels > 0 ? c->meters.bound_channels
                                                                 : c->binding.inputs;
    out->device_inputs = c->binding.device_inputs;
    out->rate = c->binding.rate;
  }
  out->active_scene = c->active;
  const RigDoc* d = c->cur.doc;
  if (d && c->has_binding) {
    const RigScene* sc = &d->scenes[c->active];
    int n = c->binding.inputs < sc->channel_count ? c->binding.inputs : sc->channel_count;
    int audible = 0;
    for (int i = 0; i < n; i++) {
      const RigChannel* ch = &sc->channels[i];
      bool pair = !(i & 1) && ch->link && i + 1 < n;
      if (!ch->muted && ch->gain > 0.0f) audible += pair ? 2 : 1;
      if (pair) i++;
    }
    out->audible_inputs = audible;
    out->all_muted = audible == 0;
    out->rev = d->rev;
  }
  out->muted_with_signal = c->muted_signal;
  double waited = 0;
  out->saving = rig_store_busy(c->store, &waited) && waited > kSavingShownAfter;
  out->waiting_for_rig =
      c->has_binding && c->meters.on_fallback && (c->state == RIG_LOADING || c->tag_mismatch);
  out->fresh_defaults = c->fresh_defaults;
  out->tag_mismatch = c->tag_mismatch;
  out->save_failed = c->cur.failed && c->save_failure[0];
  memcpy(out->save_failure, c->save_failure, sizeof out->save_failure);
  memcpy(out->last_merged, c->last_merged, sizeof out->last_merged);
  out->last_merged_at = c->last_merged_at;
  out->mixer_waiting = c->meters.waiting;
  out->on_fallback = c->meters.on_fallback;
  ctl_fallback_inputs(c, out->fallback_inputs);
}

bool rig_next_event(RigController* c, RigEvent* out) {
  if (!c || !out || c->event_count == 0) return false;
  *out = c->events[c->event_head];
  c->event_head = (c->event_head + 1) % RIG_EVENT_RING;
  c->event_count--;
  return true;
}

const char* rig_channel_label(RigController* c, int channel) {
  if (!c || channel < 0 || channel >= RIG_MAX_CHANNELS) return "";
  const RigDoc* d = c->cur.doc;
  if (d) {
    const RigScene* sc = &d->scenes[c->active];
    if (channel < sc->channel_count && sc->channels[channel].label[0])
      return sc->channels[channel].label;
    if (d->channel_names[channel][0]) return d->channel_names[channel];
  }
  if (c->has_binding) return c->binding.channel_names[channel];
  return "";
}

const RigDoc* rig_controller_doc(RigController* c) {
  if (!c || (c->state != RIG_READY && c->state != RIG_READ_ONLY)) return nullptr;
  return c->cur.doc;
}

void rig_controller_meters(RigController* c, RigShownMeters* out) {
  if (!c || !out) return;
  *out = c->shown;
}

const StreamBinding* rig_controller_binding(RigController* c) {
  return c && c->has_binding ? &c->binding : nullptr;
}

bool rig_controller_busy(RigController* c) {
  return c && (c->load_id != 0 || c->cur.in_flight > 0 || c->prev.in_flight > 0);
}
