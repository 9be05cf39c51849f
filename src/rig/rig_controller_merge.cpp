// Documents that reach the controller from outside: the store's answers to loads and saves, a
// re-read file, another program's save, or our own save coming back with what the store merged
// into it.
#include <cstring>

#include "base/text.h"
#include "rig/rig_controller_internal.h"

namespace {

int find_in_flight(const RigSlot* s, uint32_t id) {
  for (int i = 0; i < s->in_flight; i++)
    if (s->ids[i] == id) return i;
  return -1;
}

void forget_in_flight(RigSlot* s, int i, RigChanges* out) {
  if (out) *out = s->sent[i];
  for (int k = i + 1; k < s->in_flight; k++) {
    s->ids[k - 1] = s->ids[k];
    s->sent[k - 1] = s->sent[k];
  }
  s->in_flight--;
}

void upper_ascii(char* s) {
  for (; *s; s++)
    if (*s >= 'a' && *s <= 'z') *s = (char)(*s - 'a' + 'A');
}

// --- Loading -----------------------------------------------------------------------------

// The active scene a document gives this program: its own app scene, else the document's.
void take_app_scene(RigController* c) {
  const RigAppScene* a = ctl_app_scene(c->cur.doc, c->app);
  if (a && a->scene >= 0 && a->scene < RIG_SCENES) {
    c->active = a->scene;
    c->own_choice_at = a->at;
  } else {
    int s = c->cur.doc->active_scene;
    c->active = s >= 0 && s < RIG_SCENES ? s : 0;
  }
}

void install_doc(RigController* c, RigDoc* doc) {
  rig_doc_free(c->cur.doc);
  c->cur.doc = doc;
  ctl_grow_scenes(doc, ctl_inputs(c));
}

void enter_read_only(RigController* c, RigDoc* doc) {
  bool was = c->state == RIG_READ_ONLY;
  if (doc) install_doc(c, doc);
  if (!c->cur.doc) return;
  c->cur.doc->read_only = true;
  rig_changes_clear(&c->cur.changes);
  c->cur.dirty = false;
  c->cur.failed = false;
  c->state = RIG_READ_ONLY;
  take_app_scene(c);
  ctl_publish(c, RIG_CTL_MERGE_RAMP);
  if (!was) {
    ctl_event(c, RIG_EVENT_READ_ONLY, 0, 0, false, nullptr);
    ctl_log(c, "rig: %s was made by a newer app - read only", c->key);
  }
}

void loaded(RigController* c, RigResult* r) {
  bool on_fallback = c->meters.on_fallback;
  install_doc(c, r->doc);
  r->doc = nullptr;
  RigDoc* d = c->cur.doc;
  if (ctl_refresh_device(d, &c->binding)) c->cur.changes.device = true;
  c->state = d->read_only ? RIG_READ_ONLY : RIG_READY;
  take_app_scene(c);
  c->published = false;
  ctl_publish(c, ctl_load_ramp(c));
  bool damaged = r->kind == RIG_RESULT_LOADED_AFTER_DAMAGE;
  // A file our own store instance wrote as its first revision was made by this load.
  bool created = d->rev <= 1 && strcmp(d->writer_instance, rig_store_instance(c->store)) == 0;
  if (damaged) ctl_event(c, RIG_EVENT_DAMAGED, 0, 0, false, r->message);
  if (d->read_only) {
    ctl_event(c, RIG_EVENT_READ_ONLY, 0, 0, false, nullptr);
    ctl_log(c, "rig: %s was made by a newer app - read only", c->key);
  }
  ctl_event(c, RIG_EVENT_READY, damaged || created, on_fallback, false, nullptr);
}

void go_fresh(RigController* c) {
  RigDoc* d = rig_doc_new();
  if (!d) return;
  const StreamBinding* b = &c->binding;
  rig_doc_init_for_device(d, c->key, b->api, b->device_name, b->device_inputs, b->channel_names,
                          RIG_MAX_CHANNELS, c->app, rig_now());
  bool on_fallback = c->meters.on_fallback;
  install_doc(c, d);
  c->state = RIG_READY;
  c->fresh_defaults = true;
  c->active = 0;
  c->published = false;
  ctl_publish(c, ctl_load_ramp(c));
  ctl_event(c, RIG_EVENT_READY, 0, on_fallback, false, nullptr);
  ctl_log(c,
          "rig: can't read the rig file for %.0f s - running on the fresh defaults; changes stay "
          "in this session until it can be read",
          RIG_CTL_FRESH_AFTER_SECONDS);
}

// --- Store results -----------------------------------------------------------------------

void on_saved(RigController* c, RigResult* r) {
  bool current = true;
  int i = find_in_flight(&c->cur, r->id);
  if (i < 0) {
    current = false;
    i = find_in_flight(&c->prev, r->id);
    if (i < 0) return;
  }
  RigSlot* s = current ? &c->cur : &c->prev;
  forget_in_flight(s, i, nullptr);
  if (!current) {
    s->failed = false;
    ctl_drop_prev_when_done(c);
    return;
  }
  c->failure_told = false;
  c->save_failure[0] = 0;
  if (s->failed) {
    s->failed = false;
    ctl_event(c, RIG_EVENT_SAVED_AGAIN, 0, 0, false, nullptr);
    ctl_log(c, "rig: saved %s again", c->key);
  }
  if (c->fresh_defaults) {
    c->fresh_defaults = false;
    ctl_log(c, "rig: the rig file can be read again - our edits landed on it");
  }
  if (r->doc && c->state == RIG_READY) {
    RigDoc* d = r->doc;
    r->doc = nullptr;
    ctl_merge_outside(c, d, 2, nullptr);
  }
}

void on_save_failed(RigController* c, RigResult* r) {
  bool current = true;
  int i = find_in_flight(&c->cur, r->id);
  if (i < 0) {
    current = false;
    i = find_in_flight(&c->prev, r->id);
    if (i < 0) return;
  }
  RigSlot* s = current ? &c->cur : &c->prev;
  RigChanges sent;
  forget_in_flight(s, i, &sent);
  double now = ctl_now(c);
  if (r->code == 2) {
    rig_changes_clear(&s->changes);
    s->dirty = false;
    s->failed = false;
    if (current) {
      RigDoc* d = r->doc;
      r->doc = nullptr;
      enter_read_only(c, d);
    } else {
      ctl_drop_prev_when_done(c);
    }
    return;
  }
  rig_changes_or(&s->changes, &sent);
  if (!s->dirty) s->first_edit = now;
  s->dirty = true;
  s->failed = true;
  s->retry_at = now + RIG_CTL_RETRY_SECONDS;
  if (!current) return;
  ctl_copy_text(c->save_failure, sizeof c->save_failure, r->message);
  upper_ascii(c->save_failure);
  if (!c->failure_told) {
    c->failure_told = true;
    ctl_event(c, RIG_EVENT_SAVE_FAILED, 0, 0, false, r->message);
  }
}

void on_changed_on_disk(RigController* c, RigResult* r) {
  if (!c->has_binding || !r->doc || strcmp(r->key, c->key) != 0) return;
  if (c->state != RIG_READY && c->state != RIG_READ_ONLY) return;
  RigDoc* d = r->doc;
  r->doc = nullptr;
  const char* writer = r->writer_app[0] ? r->writer_app : d->writer_app;
  if (d->read_only) {
    enter_read_only(c, d);
  } else if (c->state == RIG_READ_ONLY) {
    char name[RIG_APP_BYTES];
    ctl_copy_text(name, sizeof name, writer);
    install_doc(c, d);
    c->state = RIG_READY;
    take_app_scene(c);
    ctl_publish(c, RIG_CTL_MERGE_RAMP);
    ctl_copy_text(c->last_merged, sizeof c->last_merged, name);
    c->last_merged_at = ctl_now(c);
    ctl_event(c, RIG_EVENT_MERGED, 0, 0, false, name);
  } else {
    ctl_merge_outside(c, d, 1, writer);
  }
}

void on_result(RigController* c, RigResult* r) {
  switch (r->kind) {
    case RIG_RESULT_LOAD_FAILED:
      if (r->id == 0 || r->id != c->load_id) return;
      c->load_id = 0;
      c->load_failed = true;
      c->load_retry_at = ctl_now(c) + RIG_CTL_RETRY_SECONDS;
      if (!(c->fresh_defaults && c->load_failures > 0))
        ctl_log(c, "rig: can't read the rig file (%s) - retrying every %.0f s", r->message,
                RIG_CTL_RETRY_SECONDS);
      c->load_failures++;
      return;
    case RIG_RESULT_LOADED:
    case RIG_RESULT_LOADED_AFTER_DAMAGE:
      if (r->id == 0 || r->id != c->load_id || !r->doc) return;
      c->load_id = 0;
      c->load_failed = false;
      if (c->state == RIG_LOADING) {
        loaded(c, r);
      } else if (c->state == RIG_READY && c->fresh_defaults) {
        c->fresh_defaults = false;
        RigDoc* d = r->doc;
        r->doc = nullptr;
        if (d->read_only) {
          enter_read_only(c, d);
        } else {
          ctl_merge_outside(c, d, 0, nullptr);
          ctl_log(c, "rig: the rig file can be read again - merged it in");
        }
      }
      return;
    case RIG_RESULT_SAVED:
      on_saved(c, r);
      return;
    case RIG_RESULT_SAVE_FAILED:
      on_save_failed(c, r);
      return;
    case RIG_RESULT_CHANGED_ON_DISK:
      on_changed_on_disk(c, r);
      return;
    default:
      return;
  }
}

}  // namespace

void ctl_post_load(RigController* c) {
  RigDoc* templ = rig_doc_new();
  uint32_t id = 0;
  if (templ) {
    const StreamBinding* b = &c->binding;
    rig_doc_init_for_device(templ, c->key, b->api, b->device_name, b->device_inputs,
                            b->channel_names, RIG_MAX_CHANNELS, c->app, rig_now());
    id = rig_store_load(c->store, c->key, templ);
    rig_doc_free(templ);
  }
  c->load_id = id;
  if (id == 0) {
    // A refusal counts as a failure, so fresh defaults still come after 5 s.
    c->load_failed = true;
    c->load_failures++;
    c->load_retry_at = ctl_now(c) + RIG_CTL_RETRY_SECONDS;
  }
}

void ctl_take_results(RigController* c) {
  RigResult r;
  memset(&r, 0, sizeof r);
  while (rig_store_next_result(c->store, &r)) {
    on_result(c, &r);
    rig_result_clear(&r);
  }
}

void ctl_loading_frame(RigController* c, double now) {
  if (c->state == RIG_LOADING) {
    if (c->load_failures > 0 && now - c->bound_at >= RIG_CTL_FRESH_AFTER_SECONDS) {
      go_fresh(c);
      return;
    }
    if (c->load_failed && c->load_id == 0 && now >= c->load_retry_at) {
      c->load_failed = false;
      ctl_post_load(c);
    }
  } else if (c->state == RIG_READY && c->fresh_defaults && c->cur.in_flight == 0 &&
             c->load_id == 0 && now >= c->load_retry_at) {
    c->load_retry_at = now + RIG_CTL_RETRY_SECONDS;
    ctl_post_load(c);
  }
}

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
  bool changed =
      !have_base || ctl_docs_differ(c->base, outside, scene_changed) || c->active != was_active;
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
