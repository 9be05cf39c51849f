// Documents that reach the controller from outside: a re-read file, another program's save, or
// our own save coming back with what the store merged into it.
#include <cstring>

#include "base/text.h"
#include "rig/rig_controller_internal.h"

void ctl_grow_scenes(RigDoc* doc, int inputs) {
  if (!doc) return;
  if (inputs > RIG_MAX_CHANNELS) inputs = RIG_MAX_CHANNELS;
  for (int s = 0; s < RIG_SCENES; s++) {
    RigScene* sc = &doc->scenes[s];
    for (int i = sc->channel_count; i < inputs; i++) {
      RigChannel* ch = &sc->channels[i];
      rig_text_clear(&ch->extra);
      memset(ch, 0, sizeof *ch);
      ch->gain = 1.0f;
      ch->muted = i > 1;  // as a new rig: inputs past the first two start muted
      rig_uuid(ch->id);
    }
    if (sc->channel_count < inputs) sc->channel_count = inputs;
  }
  if (doc->channels < inputs) doc->channels = inputs;
}

bool ctl_refresh_device(RigDoc* doc, const StreamBinding* b) {
  if (!doc || !b) return false;
  bool changed = false;
  auto set = [&changed](char* field, size_t size, const char* v) {
    if (strncmp(field, v, size) == 0) return;
    text_copy(field, size, v);
    changed = true;
  };
  set(doc->api, sizeof doc->api, b->api);
  set(doc->device_name, sizeof doc->device_name, b->device_name);
  if (doc->channels != b->device_inputs) {
    doc->channels = b->device_inputs;
    changed = true;
  }
  for (int i = 0; i < RIG_MAX_CHANNELS; i++) {
    if (b->channel_names[i][0]) set(doc->channel_names[i], RIG_NAME_BYTES, b->channel_names[i]);
  }
  return changed;
}

const RigAppScene* ctl_app_scene(const RigDoc* doc, const char* app) {
  if (!doc) return nullptr;
  const RigAppScene* found = nullptr;
  int n = doc->app_scene_count < RIG_APP_SCENES ? doc->app_scene_count : RIG_APP_SCENES;
  for (int i = 0; i < n; i++) {
    const RigAppScene* a = &doc->app_scenes[i];
    if (strcmp(a->app, app) == 0 && (!found || a->at > found->at)) found = a;
  }
  return found;
}

bool ctl_docs_differ(const RigDoc* a, const RigDoc* b, bool scene_changed[RIG_SCENES]) {
  bool any = false;
  for (int s = 0; s < RIG_SCENES; s++) {
    const RigScene* x = &a->scenes[s];
    const RigScene* y = &b->scenes[s];
    bool d = x->master_gain != y->master_gain || strcmp(x->glyph, y->glyph) != 0 ||
             strcmp(x->name, y->name) != 0 || x->fresh != y->fresh ||
             x->channel_count != y->channel_count;
    int n = x->channel_count > y->channel_count ? x->channel_count : y->channel_count;
    if (n > RIG_MAX_CHANNELS) n = RIG_MAX_CHANNELS;
    for (int i = 0; i < n && !d; i++) {
      const RigChannel* p = &x->channels[i];
      const RigChannel* q = &y->channels[i];
      d = p->gain != q->gain || p->pan != q->pan || p->muted != q->muted || p->link != q->link ||
          strcmp(p->label, q->label) != 0;
    }
    if (scene_changed) scene_changed[s] = d;
    any |= d;
  }
  any |= a->active_scene != b->active_scene;
  any |= strcmp(a->api, b->api) != 0 || strcmp(a->device_name, b->device_name) != 0 ||
         a->channels != b->channels;
  for (int i = 0; i < RIG_MAX_CHANNELS && !any; i++)
    any = strcmp(a->channel_names[i], b->channel_names[i]) != 0;
  return any;
}

void ctl_merge_outside(RigController* c, RigDoc* outside, int mode, const char* writer) {
  if (!outside) return;
  RigDoc* cur = c->cur.doc;
  if (!cur) {
    rig_doc_free(outside);
    return;
  }
  bool have_base = rig_doc_copy(c->base, cur) == 0;
  // What we changed and have not seen land yet keeps our values; the rest comes from outside.
  RigChanges ours = c->cur.changes;
  for (int i = 0; i < c->cur.in_flight; i++) rig_changes_or(&ours, &c->cur.sent[i]);
  rig_merge_changes(outside, cur, &ours);
  outside->read_only = false;
  rig_doc_free(cur);
  c->cur.doc = outside;
  ctl_grow_scenes(outside, ctl_inputs(c));

  int was_active = c->active;
  const RigAppScene* own = ctl_app_scene(outside, c->app);
  if (own && own->at > c->own_choice_at && own->scene >= 0 && own->scene < RIG_SCENES) {
    c->active = own->scene;
    c->own_choice_at = own->at;
  }
  RigPlan before = c->plan;
  bool had_plan = c->published;
  ctl_publish(c, 0.2);
  if (c->active != was_active) {
    bool mix_changed = !had_plan || !rig_plan_equal(&before, &c->plan);
    ctl_event(c, RIG_EVENT_SCENE_CHANGED, c->active, 0, mix_changed, nullptr);
  }

  bool scene_changed[RIG_SCENES] = {};
  bool changed = !have_base || ctl_docs_differ(c->base, outside, scene_changed) ||
                 c->active != was_active;
  if (!changed || mode == 0) return;
  const char* name = writer;
  if (mode == 2) {
    name = nullptr;
    for (int s = 0; s < RIG_SCENES && !name; s++) {
      if (scene_changed[s] && outside->scenes[s].author[0] &&
          strcmp(outside->scenes[s].author, c->app) != 0)
        name = outside->scenes[s].author;
    }
  }
  text_copy(c->last_merged, sizeof c->last_merged, name ? name : "");
  c->last_merged_at = ctl_now(c);
  ctl_event(c, RIG_EVENT_MERGED, 0, 0, false, c->last_merged);
}
