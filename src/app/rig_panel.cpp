// The RIG panel's state, layout, zones and input. Drawing is in rig_panel_draw.cpp.
#include "app/rig_panel.h"

#include <SDL.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "ui/text.h"

const char* const RIG_PANEL_GLYPHS[RIG_PANEL_GLYPH_COUNT] = {
    "\u2657", "\u2766", "\u2668", "\u262f", "\u26fa", "\u2664", "\u262e",
    "\u238b", "\u2f5e", "\u2604", "\u2684", "\u2660", "\u1b6a"};

namespace {

constexpr float kMinW = 340.0f, kMaxW = 440.0f;
constexpr float kMinList = 108.0f;
constexpr float kChrome = 152.0f;  // everything above, below and around the list
constexpr float kFooterH = 24.0f;
constexpr double kFadeSeconds = 0.16;
constexpr double kRestSeconds = 0.25;  // on a control before the wheel changes it
constexpr double kScrollHold = 0.4;    // no value changes this long after a scroll
constexpr double kMaxSpringDt = 0.033;

bool in_rect(float x, float y, float x0, float y0, float w, float h) {
  return x >= x0 && x < x0 + w && y >= y0 && y < y0 + h;
}

double clampd(double v, double lo, double hi) {
  return v < lo ? lo : v > hi ? hi : v;
}

// A spring: stiffness as its natural frequency (rad/s), damping as its ratio.
void spring(float* x, float* v, float target, float stiffness, float damping, double dt) {
  const float step = (float)std::fmin(dt, kMaxSpringDt);
  if (!(step > 0.0f)) return;
  const float a = stiffness * stiffness * (target - *x) - 2.0f * damping * stiffness * *v;
  *v += a * step;
  *x += *v * step;
  if (std::fabs(target - *x) < 0.05f && std::fabs(*v) < 0.5f) {
    *x = target;
    *v = 0.0f;
  }
}

bool shift_held(uint32_t mods) {
  return (mods & KMOD_SHIFT) != 0;
}

bool is_row_zone(int32_t z) {
  return z >= RIG_ZONE_ROW && z <= RIG_ZONE_CLIP;
}

void upper(char* s) {
  for (; *s; s++)
    if (*s >= 'a' && *s <= 'z') *s = (char)(*s - 'a' + 'A');
}

}  // namespace

// ---- pure helpers ----

float rig_panel_list_target(int32_t inputs) {
  const int32_t rows = inputs < 3 ? 3 : inputs > 12 ? 12 : inputs;
  return (float)rows * RIG_PANEL_PITCH - 2.0f + 8.0f;
}

RigPanelSize rig_panel_size_rule(float avail_w, float avail_h, int32_t inputs, float list_h) {
  RigPanelSize s;
  s.w = std::fmin(avail_w, kMaxW);
  if (avail_w >= kMinW) s.w = std::fmax(s.w, kMinW);
  const float list = list_h >= 0.0f ? list_h : rig_panel_list_target(inputs);
  s.h = std::fmax(kMinList, list) + kChrome;
  if (s.h > avail_h) s.h = std::fmax(kMinList, avail_h - kChrome) + kChrome;
  return s;
}

void rig_panel_fader_span(float w, bool master, float* x0, float* x1) {
  *x0 = master ? 88.0f : 76.0f;
  *x1 = master ? w - 64.0f : w - 128.0f;
}

RigZoneHit rig_panel_zone(const RigPanelShape* s, float x, float y) {
  RigZoneHit none{RIG_ZONE_NONE, -1};
  if (!s || !in_rect(x, y, 0, 0, s->w, s->h)) return none;
  const float W = s->w;
  for (int32_t i = 0; i < RIG_SCENES; i++)
    if (in_rect(x, y, 12.0f + 48.0f * (float)i, 4.0f, 44.0f, 44.0f)) return {RIG_ZONE_SCENE, i};
  if (s->driver_button && in_rect(x, y, W - 72.0f, 12.0f, 28.0f, 28.0f))
    return {RIG_ZONE_DRIVER, -1};
  if (in_rect(x, y, W - 40.0f, 12.0f, 28.0f, 28.0f)) return {RIG_ZONE_CLOSE, -1};
  const float device_end = s->driver_button ? W - 72.0f : W - 40.0f;
  if (x >= 208.0f && x < device_end && y >= 8.0f && y < 44.0f) return {RIG_ZONE_DEVICE, -1};
  if (in_rect(x, y, 12.0f, RIG_PANEL_LIST_Y, W - 24.0f, s->list_h)) {
    for (int32_t i = 0; i < s->row_count; i++) {
      const RigPanelRow& r = s->rows[i];
      if (r.visibility < 0.5f) continue;
      const float top = RIG_PANEL_LIST_Y + RIG_PANEL_LIST_PAD + r.y - s->scroll;
      if (!in_rect(x, y, 12.0f, top, W - 24.0f, RIG_PANEL_ROW_H)) continue;
      const int32_t ch = r.channel;
      if (x >= 38.0f && x < 70.0f) return {RIG_ZONE_MUTE, ch};
      if (x >= 72.0f && x < W - 124.0f) return {RIG_ZONE_FADER, ch};
      if (x >= W - 120.0f && x < W - 72.0f) return {RIG_ZONE_PAN, ch};
      if (r.can_link && x >= W - 68.0f && x < W - 48.0f) return {RIG_ZONE_LINK, ch};
      if (x >= W - 48.0f && x < W - 28.0f) return {RIG_ZONE_CLIP, ch};
      return {RIG_ZONE_ROW, ch};
    }
    return {RIG_ZONE_LIST, -1};
  }
  const float bus_y = s->list_h + 64.0f;
  if (in_rect(x, y, 12.0f, bus_y, W - 24.0f, 52.0f)) {
    if (x >= 88.0f && x < W - 64.0f) return {RIG_ZONE_MASTER, -1};
    if (x >= W - 60.0f && x < W - 32.0f) return {RIG_ZONE_BUS_CLIP, -1};
    return {RIG_ZONE_BUS, -1};
  }
  if (in_rect(x, y, 12.0f, s->h - kFooterH, W - 24.0f, kFooterH)) return {RIG_ZONE_FOOTER, -1};
  return {RIG_ZONE_PANEL, -1};
}

void rig_panel_fader_begin(RigFaderDrag* d, double pos) {
  d->pos = clampd(pos, 0.0, 1.0);
  d->held = d->pos == RIG_PANEL_DETENT;
  d->held_px = 0.0;
}

double rig_panel_fader_step(RigFaderDrag* d, float dx, float fader_w, bool fine) {
  const double per_px = (fine ? 0.1 : 1.0) / std::fmax((double)fader_w, 1.0);
  if (!std::isfinite(dx)) return d->pos;
  constexpr double kHoldPx = 6.0;
  if (d->held) {
    d->held_px += dx;
    if (std::fabs(d->held_px) <= kHoldPx) return d->pos = RIG_PANEL_DETENT;
    // Out of the detent: carry on from its edge so the fader doesn't jump.
    const double beyond = d->held_px - std::copysign(kHoldPx, d->held_px);
    d->held = false;
    return d->pos = clampd(RIG_PANEL_DETENT + beyond * per_px, 0.0, 1.0);
  }
  const double next = d->pos + dx * per_px;
  const bool crossed = (d->pos < RIG_PANEL_DETENT && next >= RIG_PANEL_DETENT) ||
                       (d->pos > RIG_PANEL_DETENT && next <= RIG_PANEL_DETENT);
  if (crossed) {
    d->held = true;
    d->held_px = (next - RIG_PANEL_DETENT) / per_px;
    return rig_panel_fader_step(d, 0.0f, fader_w, fine);
  }
  return d->pos = clampd(next, 0.0, 1.0);
}

float rig_panel_pan_drag(double* raw, float dx, bool fine) {
  if (std::isfinite(dx)) *raw = clampd(*raw + dx / 20.0 * (fine ? 0.1 : 1.0), -1.0, 1.0);
  return std::fabs(*raw) < 0.03 ? 0.0f : (float)*raw;
}

float rig_panel_pan_wheel(float pan, int32_t notches, bool fine) {
  const double step = fine ? 0.01 : 0.05;
  double p = pan;
  for (int32_t i = 0; i < std::abs(notches); i++) {
    const double next = p + (notches > 0 ? step : -step);
    p = (p < 0.0 && next > 0.0) || (p > 0.0 && next < 0.0) ? 0.0 : next;
  }
  p = clampd(p, -1.0, 1.0);
  return std::fabs(p) < 0.0001 ? 0.0f : (float)p;
}

void rig_panel_gain_text(float gain, char* out, size_t size) {
  const double db = rig_gain_to_db(gain);
  if (!(gain > 0.0f) || !(db >= -200.0)) {
    snprintf(out, size, "OFF");
    return;
  }
  const long tenths = std::lround(db * 10.0);
  if (tenths == 0)
    snprintf(out, size, "0.0 DB");
  else if (tenths < 0)
    snprintf(out, size, "\u2212%.1f DB", (double)-tenths / 10.0);
  else
    snprintf(out, size, "+%.1f DB", (double)tenths / 10.0);
}

const char* rig_panel_next_glyph(const char* current, const char* const* others,
                                 int32_t other_count, bool (*drawable)(const char*, void*),
                                 void* user) {
  int32_t at = -1;
  for (int32_t i = 0; current && i < RIG_PANEL_GLYPH_COUNT; i++)
    if (strcmp(current, RIG_PANEL_GLYPHS[i]) == 0) at = i;
  for (int32_t k = 1; k <= RIG_PANEL_GLYPH_COUNT; k++) {
    const char* g = RIG_PANEL_GLYPHS[(at + k + RIG_PANEL_GLYPH_COUNT) % RIG_PANEL_GLYPH_COUNT];
    if (current && strcmp(g, current) == 0) continue;
    bool taken = false;
    for (int32_t o = 0; o < other_count; o++) taken |= others[o] && strcmp(others[o], g) == 0;
    if (taken || (drawable && !drawable(g, user))) continue;
    return g;
  }
  return nullptr;
}

bool rig_panel_glyph_drawable(const char* glyph, void*) {
  // The symbol role is asked first; a glyph that ends up with the mono face was one no symbol
  // or CJK face has, which is where the layout puts "?" too.
  TextLayoutInfo info;
  TextRunInfo runs[4];
  const TextStyle style = {TEXT_SYMBOL, 20.0f, 400, 0.0f};
  if (text_layout_query(style, 1.0f, glyph, &info, runs, 4) != 0) return false;
  if (info.runs < 1 || info.chars < 1) return false;
  for (int i = 0; i < info.runs && i < 4; i++)
    if (runs[i].role == TEXT_MONO) return false;
  return true;
}

int32_t rig_panel_reveal_step(const RigReveal* r, double now, bool reduced_motion) {
  if (reduced_motion) return r->open ? RIG_PANEL_STEPS : 0;
  const double t = std::fmax(0.0, now - r->at);
  if (r->open) {
    if (r->from >= RIG_PANEL_STEPS) return RIG_PANEL_STEPS;
    const double n = r->from + 1 + std::floor(t / 0.03);
    return n >= RIG_PANEL_STEPS ? RIG_PANEL_STEPS : (int32_t)n;
  }
  if (r->from <= 0) return 0;
  const double n = r->from - 1 - std::floor(t / 0.02);
  return n <= 0 ? 0 : (int32_t)n;
}

namespace {

bool pair_head(const RigScene* s, int32_t ch, int32_t inputs) {
  return s && ch % 2 == 0 && ch + 1 < inputs && ch < s->channel_count && s->channels[ch].link;
}

void row_label(const RigFooterInput* in, const RigScene* s, int32_t ch, char* out, size_t size) {
  char label[RIG_NAME_BYTES + 8];
  text_copy(label, sizeof label, in->label ? in->label : "");
  upper(label);
  const bool pair = pair_head(s, ch, in->status->inputs);
  if (pair && label[0])
    snprintf(out, size, "%d-%d \u00b7 %s", ch + 1, ch + 2, label);
  else if (pair)
    snprintf(out, size, "%d-%d", ch + 1, ch + 2);
  else if (label[0])
    snprintf(out, size, "%d \u00b7 %s", ch + 1, label);
  else
    snprintf(out, size, "%d", ch + 1);
}

bool hover_text(const RigFooterInput* in, char* out, size_t size) {
  int32_t zone = in->zone, index = in->index;
  if (in->drag == RIG_DRAG_GAIN) zone = RIG_ZONE_FADER, index = in->drag_channel;
  if (in->drag == RIG_DRAG_PAN) zone = RIG_ZONE_PAN, index = in->drag_channel;
  if (in->drag == RIG_DRAG_MASTER) zone = RIG_ZONE_MASTER, index = -1;
  const RigControllerStatus* st = in->status;
  if (zone == RIG_ZONE_DEVICE) {
    if (in->width >= 400.0f || !st->device_name[0]) return false;
    snprintf(out, size, "%s", st->device_name);
    return true;
  }
  const RigScene* s = in->doc ? &in->doc->scenes[in->doc->active_scene & 3] : nullptr;
  if (is_row_zone(zone) && index >= 0 && index < RIG_MAX_CHANNELS) {
    char label[RIG_NAME_BYTES + 32];
    row_label(in, s, index, label, sizeof label);
    const RigChannel* c = s && index < s->channel_count ? &s->channels[index] : nullptr;
    const bool pair = pair_head(s, index, st->inputs);
    char what[64] = "";
    if (zone == RIG_ZONE_PAN && c) {
      const long p = std::lround(std::fabs((double)c->pan) * 100.0);
      if (p == 0)
        snprintf(what, sizeof what, "%s C", pair ? "BAL" : "PAN");
      else
        snprintf(what, sizeof what, "%s %c %ld", pair ? "BAL" : "PAN", c->pan < 0 ? 'L' : 'R', p);
    }
    if (zone == RIG_ZONE_CLIP && in->meters) {
      uint64_t bits = 1ull << index;
      if (pair) bits |= 1ull << (index + 1);
      if (in->meters->bad_latched & bits)
        snprintf(what, sizeof what, "BAD SAMPLES");
      else if (in->meters->clip_latched & bits)
        snprintf(what, sizeof what, "CLIPPED");
    }
    if (!what[0] && c) {
      if (c->muted)
        snprintf(what, sizeof what, "MUTED");
      else
        rig_panel_gain_text(c->gain, what, sizeof what);
    }
    if (what[0])
      snprintf(out, size, "%s \u00b7 %s", label, what);
    else
      snprintf(out, size, "%s", label);
    return true;
  }
  if (zone == RIG_ZONE_BUS || zone == RIG_ZONE_MASTER || zone == RIG_ZONE_BUS_CLIP) {
    char gain[32];
    rig_panel_gain_text(s ? s->master_gain : 1.0f, gain, sizeof gain);
    snprintf(out, size, "BUS \u00b7 %s%s", gain,
             in->meters && in->meters->out_clip_latched ? " \u00b7 OVER" : "");
    return true;
  }
  return false;
}

void status_text(const RigControllerStatus* st, char* out, size_t size) {
  out[0] = 0;
  if (st->state == RIG_READ_ONLY) {
    snprintf(out, size, "\u25a0 READ ONLY - MADE BY A NEWER APP");
  } else if (st->save_failed) {
    snprintf(out, size, "\u2717 COULDN'T SAVE - %s",
             st->save_failure[0] ? st->save_failure : "RETRYING");
  } else if (st->fresh_defaults) {
    snprintf(out, size, "CAN'T READ THE RIG FILE - CHANGES STAY IN THIS SESSION");
  } else if (st->state == RIG_LOADING) {
    if (st->on_fallback)
      snprintf(out, size, "\u25cc LOADING RIG - PLAYING %s MEANWHILE",
               st->fallback_inputs[0] ? st->fallback_inputs : "1-2");
    else if (st->saving)
      snprintf(out, size, "\u25cc LOADING RIG\u2026");
  } else if (st->state == RIG_UNBOUND || !st->bound) {
    snprintf(out, size, "\u25cc NO INTERFACE");
  } else if (st->all_muted) {
    snprintf(out, size, "ALL INPUTS MUTED - NOTHING WILL RECORD");
  } else if (st->muted_with_signal >= 0) {
    snprintf(out, size, "INPUT %d HAS SIGNAL - IT'S MUTED", st->muted_with_signal + 1);
  } else if (st->tag_mismatch) {
    snprintf(out, size, "RIG DOESN'T MATCH THE STREAM");
  } else if (st->inputs < st->device_inputs) {
    snprintf(out, size, "ONLY %d OF %d INPUTS OPENED", st->inputs, st->device_inputs);
  } else if (st->saving) {
    snprintf(out, size, "\u2726 SAVING\u2026");
  }
}

}  // namespace

void rig_panel_footer_text(const RigFooterInput* in, char* out, size_t size) {
  if (!out || size == 0) return;
  out[0] = 0;
  if (!in || !in->status) return;
  const RigControllerStatus* st = in->status;
  const bool value_drag =
      in->drag == RIG_DRAG_GAIN || in->drag == RIG_DRAG_PAN || in->drag == RIG_DRAG_MASTER;
  if (!value_drag && st->last_merged[0] && st->last_merged_at >= 0.0 &&
      in->now - st->last_merged_at < 2.5 && in->now >= st->last_merged_at) {
    char app[RIG_APP_BYTES];
    text_copy(app, sizeof app, st->last_merged);
    upper(app);
    snprintf(out, size, "\u2727 CHANGED IN %s", app);
    return;
  }
  if ((in->zone != RIG_ZONE_NONE || in->drag != RIG_DRAG_NONE) && hover_text(in, out, size)) return;
  status_text(st, out, size);
}

// ---- the panel ----

RigPanel* rig_panel_new(Painter* painter, RigController* controller, float scroll_rows,
                        int32_t selected) {
  if (!painter || !controller) return nullptr;
  RigPanel* p = (RigPanel*)calloc(1, sizeof(RigPanel));
  if (!p) return nullptr;
  p->painter = painter;
  p->rc = controller;
  p->cursor = -1;
  p->cursors[RIG_CURSOR_ARROW] = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_ARROW);
  p->cursors[RIG_CURSOR_MOVE] = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_SIZEALL);
  p->cursors[RIG_CURSOR_HAND] = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_HAND);
  p->scroll = std::isfinite(scroll_rows) && scroll_rows > 0.0f
                  ? std::fmin(scroll_rows, (float)RIG_MAX_CHANNELS) * RIG_PANEL_PITCH
                  : 0.0f;
  p->selected = selected >= 0 && selected < RIG_MAX_CHANNELS ? selected : -1;
  p->hover = {RIG_ZONE_NONE, -1};
  p->scrolled_at = -1e9;
  p->scale = 1.0f;
  return p;
}

namespace {

void set_cursor(RigPanel* p, int32_t which) {
  if (p->cursor == which) return;
  if (which < 0) {
    SDL_SetCursor(SDL_GetDefaultCursor());
  } else if (p->cursors[which]) {
    SDL_SetCursor(p->cursors[which]);
  }
  p->cursor = which;
}

void end_drag(RigPanel* p) {
  if (p->drag != RIG_DRAG_NONE) SDL_CaptureMouse(SDL_FALSE);
  p->drag = RIG_DRAG_NONE;
  p->drag_channel = -1;
}

}  // namespace

void rig_panel_free(RigPanel* p) {
  if (!p) return;
  if (p->drag != RIG_DRAG_NONE) SDL_CaptureMouse(SDL_FALSE);
  if (p->cursor >= 0) SDL_SetCursor(SDL_GetDefaultCursor());
  for (SDL_Cursor* c : p->cursors)
    if (c) SDL_FreeCursor(c);
  target_free(&p->target);
  free(p);
}

void rig_panel_device_reset(RigPanel* p, Painter* painter) {
  if (!p) return;
  // The draw layer knows whether the old texture still lives; the next reveal makes a new one.
  target_free(&p->target);
  if (painter) p->painter = painter;
}

void rig_panel_open(RigPanel* p, double now) {
  if (!p || p->open) return;
  p->reveal.from = p->visible ? p->step : 0;
  p->reveal.open = true;
  p->reveal.at = now;
  p->open = p->visible = true;
  p->step = rig_panel_reveal_step(&p->reveal, now, p->reduced);
}

void rig_panel_close(RigPanel* p, double now) {
  if (!p || !p->open) return;
  end_drag(p);
  set_cursor(p, -1);
  p->open = false;
  p->reveal.from = p->step;
  p->reveal.open = false;
  p->reveal.at = now;
  p->step = rig_panel_reveal_step(&p->reveal, now, p->reduced);
  p->visible = p->step > 0;
  p->hover = {RIG_ZONE_NONE, -1};
}

bool rig_panel_is_open(const RigPanel* p) {
  return p && p->open;
}
bool rig_panel_is_visible(const RigPanel* p) {
  return p && p->visible;
}

bool rig_panel_hit(const RigPanel* p, float x, float y) {
  return p && p->visible && in_rect(x, y, p->rect.x, p->rect.y, p->rect.w, p->rect.h);
}

int32_t rig_panel_take_close_request(RigPanel* p) {
  if (!p) return 0;
  const int32_t r = p->close_request;
  p->close_request = 0;
  return r;
}

RigPanelSize rig_panel_size(RigPanel* p, float avail_w, float avail_h) {
  if (!p) return rig_panel_size_rule(avail_w, avail_h, 0, -1.0f);
  RigControllerStatus st;
  rig_controller_status(p->rc, &st);
  const int32_t inputs = st.bound ? st.inputs : 0;
  const bool same = p->placed && strcmp(st.key, p->device) == 0;
  return rig_panel_size_rule(avail_w, avail_h, inputs, same ? p->list_h : -1.0f);
}

void rig_panel_view(const RigPanel* p, float* scroll_rows, int32_t* selected) {
  if (scroll_rows) *scroll_rows = p ? p->scroll / RIG_PANEL_PITCH : 0.0f;
  if (selected) *selected = p ? p->selected : -1;
}

void rig_panel_shape(const RigPanel* p, RigPanelShape* out) {
  memset(out, 0, sizeof *out);
  if (!p) return;
  out->w = p->w;
  out->h = p->h;
  out->list_h = p->list_h;
  out->rows = p->rows;
  out->row_count = p->row_count;
  out->scroll = p->scroll;
  out->driver_button = false;  // this program never shows it once a stream is bound
}

const char* rig_panel_footer(const RigPanel* p) {
  return p ? p->footer : "";
}

const RigScene* rig_panel_scene(RigPanel* p) {
  const RigDoc* d = rig_controller_doc(p->rc);
  if (!d || d->active_scene < 0 || d->active_scene >= RIG_SCENES) return nullptr;
  return &d->scenes[d->active_scene];
}

float rig_panel_row_top(const RigPanel* p, const RigPanelRow* r) {
  return RIG_PANEL_LIST_Y + RIG_PANEL_LIST_PAD + r->y - p->scroll;
}

namespace {

int32_t row_of(const RigPanel* p, int32_t channel) {
  for (int32_t i = 0; i < p->row_count; i++)
    if (p->rows[i].channel == channel) return i;
  return -1;
}

bool shown(const RigPanelRow& r) {
  return r.visibility >= 0.5f;
}

void clamp_scroll(RigPanel* p) {
  if (!std::isfinite(p->scroll)) p->scroll = 0.0f;
  p->scroll = std::fmax(0.0f, std::fmin(p->max_scroll, p->scroll));
}

void measure_rows(RigPanel* p) {
  float y = 0.0f;
  for (int32_t i = 0; i < p->row_count; i++) {
    p->rows[i].y = y;
    y += p->rows[i].visibility * RIG_PANEL_PITCH;
  }
  p->content_h = y > 0.0f ? y - 2.0f + 2.0f * RIG_PANEL_LIST_PAD : 0.0f;
  p->max_scroll = std::fmax(0.0f, p->content_h - p->list_h);
}

}  // namespace

void rig_panel_layout(RigPanel* p, const RigPanelFrame* f, bool animate) {
  if (!p || !f) return;
  p->rect = f->rect;
  p->scale = f->scale > 0.0f && std::isfinite(f->scale) ? f->scale : 1.0f;
  p->now = f->now;
  p->reduced = f->reduced_motion;
  p->w = f->rect.w;
  p->h = f->rect.h;
  const double dt = animate && std::isfinite(f->dt) ? std::fmax(0.0, f->dt) : 0.0;

  RigControllerStatus st;
  rig_controller_status(p->rc, &st);
  const int32_t inputs =
      st.bound ? (st.inputs < RIG_MAX_CHANNELS ? st.inputs : RIG_MAX_CHANNELS) : 0;
  const bool fresh = !p->placed || strcmp(st.key, p->device) != 0 || inputs != p->row_count;
  const bool snap = fresh || f->reduced_motion;
  const RigScene* s = rig_panel_scene(p);

  p->row_count = inputs;
  for (int32_t ch = 0; ch < inputs; ch++) {
    RigPanelRow& r = p->rows[ch];
    r.channel = ch;
    r.can_link = ch % 2 == 0 && ch + 1 < inputs;
    const bool hidden = ch % 2 == 1 && pair_head(s, ch - 1, inputs);
    const float target = hidden ? 0.0f : 1.0f;
    if (snap) {
      r.visibility = target;
    } else {
      const float step = (float)(dt / kFadeSeconds);
      r.visibility = r.visibility < target ? std::fmin(target, r.visibility + step)
                                           : std::fmax(target, r.visibility - step);
    }
  }

  const float list_max = std::fmax(kMinList, p->h - kChrome);
  const float list_target = std::fmax(kMinList, std::fmin(list_max, rig_panel_list_target(inputs)));
  const float scene_target = 12.0f + 48.0f * (float)(st.active_scene & 3);
  if (snap) {
    p->list_h = list_target;
    p->list_v = 0.0f;
  } else {
    spring(&p->list_h, &p->list_v, list_target, 20.0f, 0.9f, dt);
  }
  if (!p->placed || f->reduced_motion) {
    p->scene_x = scene_target;
    p->scene_v = 0.0f;
  } else {
    spring(&p->scene_x, &p->scene_v, scene_target, 26.0f, 0.8f, dt);
  }
  p->list_h = std::fmax(kMinList, std::fmin(list_max, p->list_h));
  text_copy(p->device, sizeof p->device, st.key);
  p->placed = true;

  measure_rows(p);
  // Without a device yet (starting, loading) the saved view waits for the rows.
  if (inputs == 0) return;
  clamp_scroll(p);
  // Only existing, shown rows stay selected; a pair's hidden half gives way to its head.
  if (p->selected >= inputs) p->selected = -1;
  if (p->selected >= 0 && !shown(p->rows[p->selected]))
    p->selected = p->selected > 0 && shown(p->rows[p->selected - 1]) ? p->selected - 1 : -1;
}

namespace {

RigZoneHit zone_at(const RigPanel* p, float x, float y) {
  RigPanelShape s;
  rig_panel_shape(p, &s);
  return rig_panel_zone(&s, x, y);
}

bool ready(RigPanel* p) {
  RigControllerStatus st;
  rig_controller_status(p->rc, &st);
  const RigDoc* d = rig_controller_doc(p->rc);
  return st.state == RIG_READY && d && !d->read_only;
}

const RigChannel* channel(RigPanel* p, int32_t ch) {
  const RigScene* s = rig_panel_scene(p);
  return s && ch >= 0 && ch < s->channel_count ? &s->channels[ch] : nullptr;
}

double position_of(float gain) {
  return rig_taper_position(rig_gain_to_db(gain));
}

void set_hover(RigPanel* p, RigZoneHit h) {
  if (h.zone != p->hover.zone || h.index != p->hover.index) {
    p->hover = h;
    p->hover_at = p->now;
  }
}

int32_t idle_cursor(int32_t zone) {
  switch (zone) {
    case RIG_ZONE_FADER:
    case RIG_ZONE_PAN:
    case RIG_ZONE_MASTER:
      return RIG_CURSOR_MOVE;
    case RIG_ZONE_SCENE:
    case RIG_ZONE_CLOSE:
    case RIG_ZONE_DRIVER:
    case RIG_ZONE_MUTE:
    case RIG_ZONE_LINK:
    case RIG_ZONE_CLIP:
    case RIG_ZONE_BUS_CLIP:
      return RIG_CURSOR_HAND;
    default:
      return RIG_CURSOR_ARROW;
  }
}

void update_cursor(RigPanel* p) {
  if (p->drag == RIG_DRAG_MUTE)
    set_cursor(p, RIG_CURSOR_HAND);
  else if (p->drag != RIG_DRAG_NONE)
    set_cursor(p, RIG_CURSOR_MOVE);
  else if (p->hover.zone != RIG_ZONE_NONE)
    set_cursor(p, idle_cursor(p->hover.zone));
  else
    set_cursor(p, -1);
}

void scroll_to_row(RigPanel* p, int32_t row) {
  if (row < 0) return;
  const float y = p->rows[row].y;
  const float lo = y + RIG_PANEL_ROW_H + 2.0f * RIG_PANEL_LIST_PAD - p->list_h;
  p->scroll = std::fmax(lo, std::fmin(y, p->scroll));
  clamp_scroll(p);
}

// The first shown row from `from` stepping by dir, or -1.
int32_t shown_row(const RigPanel* p, int32_t from, int32_t dir) {
  for (int32_t i = from; i >= 0 && i < p->row_count; i += dir)
    if (shown(p->rows[i])) return i;
  return -1;
}

void select_first_if_none(RigPanel* p) {
  if (p->selected < 0) p->selected = shown_row(p, 0, 1);
}

void scene_key(RigPanel* p, int32_t scene, bool shift) {
  if (!ready(p)) return;
  const RigDoc* d = rig_controller_doc(p->rc);
  if (!d || scene == d->active_scene) return;
  if (shift)
    rig_copy_scene(p->rc, d->active_scene, scene);
  else
    rig_select_scene(p->rc, scene);
}

void step_glyph(RigPanel* p, int32_t scene) {
  if (!ready(p)) return;
  const RigDoc* d = rig_controller_doc(p->rc);
  const char* others[RIG_SCENES];
  int32_t n = 0;
  for (int32_t i = 0; i < RIG_SCENES; i++)
    if (i != scene) others[n++] = d->scenes[i].glyph;
  const char* g =
      rig_panel_next_glyph(d->scenes[scene].glyph, others, n, rig_panel_glyph_drawable, nullptr);
  if (g) rig_set_glyph(p->rc, scene, g);
}

// Sets every shown row from the last painted one to the one at the pointer's height.
void paint_mutes(RigPanel* p) {
  int32_t at = -1;
  for (int32_t i = 0; i < p->row_count; i++) {
    if (!shown(p->rows[i])) continue;
    if (p->py >= rig_panel_row_top(p, &p->rows[i]) || at < 0) at = i;
  }
  if (at < 0 || p->drag_row < 0) return;
  const int32_t lo = at < p->drag_row ? at : p->drag_row;
  const int32_t hi = at < p->drag_row ? p->drag_row : at;
  for (int32_t i = lo; i <= hi; i++) {
    if (!shown(p->rows[i])) continue;
    const RigChannel* c = channel(p, p->rows[i].channel);
    if (c && c->muted != p->mute_target) rig_set_muted(p->rc, p->rows[i].channel, p->mute_target);
  }
  p->drag_row = at;
}

void drag_move(RigPanel* p, float x) {
  const bool fine = shift_held(SDL_GetModState());
  const float dx = x - p->drag_x;
  p->drag_x = x;
  if (p->drag == RIG_DRAG_MUTE) {
    paint_mutes(p);
  } else if (p->drag == RIG_DRAG_GAIN || p->drag == RIG_DRAG_MASTER) {
    const bool master = p->drag == RIG_DRAG_MASTER;
    float x0, x1;
    rig_panel_fader_span(p->w, master, &x0, &x1);
    const double pos = rig_panel_fader_step(&p->fader, dx, x1 - x0, fine);
    if (pos == p->sent) return;
    p->sent = pos;
    if (master)
      rig_set_master(p->rc, rig_taper_gain(pos));
    else
      rig_set_gain(p->rc, p->drag_channel, rig_taper_gain(pos));
  } else if (p->drag == RIG_DRAG_PAN) {
    const float pan = rig_panel_pan_drag(&p->pan_raw, dx, fine);
    if (pan == (float)p->sent) return;
    p->sent = pan;
    rig_set_pan(p->rc, p->drag_channel, pan);
  }
}

void begin_drag(RigPanel* p, int32_t mode, int32_t ch) {
  p->drag = mode;
  p->drag_channel = ch;
  p->drag_x = p->px;
  SDL_CaptureMouse(SDL_TRUE);
}

bool press(RigPanel* p, const SDL_MouseButtonEvent& b) {
  const RigZoneHit h = zone_at(p, p->px, p->py);
  if (h.zone == RIG_ZONE_NONE) return false;
  const bool shift = shift_held(SDL_GetModState());
  if (b.button == SDL_BUTTON_RIGHT) {
    if (h.zone == RIG_ZONE_SCENE) step_glyph(p, h.index);
    return true;
  }
  if (b.button != SDL_BUTTON_LEFT) return true;
  if (is_row_zone(h.zone)) p->selected = h.index;
  const bool twice = b.clicks >= 2;
  switch (h.zone) {
    case RIG_ZONE_SCENE:
      scene_key(p, h.index, shift);
      return true;
    case RIG_ZONE_DRIVER:
      p->close_request = 2;
      return true;
    case RIG_ZONE_CLOSE:
      p->close_request = 1;
      return true;
    default:
      break;
  }
  if (!ready(p)) return true;
  const RigChannel* c = channel(p, h.index);
  switch (h.zone) {
    case RIG_ZONE_MUTE:
      if (!c) break;
      p->mute_target = !c->muted;
      rig_set_muted(p->rc, h.index, p->mute_target);
      begin_drag(p, RIG_DRAG_MUTE, h.index);
      p->drag_row = row_of(p, h.index);
      break;
    case RIG_ZONE_FADER:
      if (!c) break;
      if (twice) {
        end_drag(p);
        rig_set_gain(p->rc, h.index, rig_taper_gain(RIG_PANEL_DETENT));
        break;
      }
      rig_panel_fader_begin(&p->fader, position_of(c->gain));
      p->sent = p->fader.pos;
      begin_drag(p, RIG_DRAG_GAIN, h.index);
      break;
    case RIG_ZONE_PAN:
      if (!c) break;
      if (twice) {
        end_drag(p);
        rig_set_pan(p->rc, h.index, 0.0f);
        break;
      }
      p->pan_raw = c->pan;
      p->sent = c->pan;
      begin_drag(p, RIG_DRAG_PAN, h.index);
      break;
    case RIG_ZONE_LINK:
      if (c) rig_set_link(p->rc, h.index, !c->link);
      break;
    case RIG_ZONE_CLIP:
      rig_clear_clip(p->rc, h.index);
      if (pair_head(rig_panel_scene(p), h.index, p->row_count)) rig_clear_clip(p->rc, h.index + 1);
      break;
    case RIG_ZONE_MASTER: {
      const RigScene* s = rig_panel_scene(p);
      if (!s) break;
      if (twice) {
        end_drag(p);
        rig_set_master(p->rc, 1.0f);
        break;
      }
      rig_panel_fader_begin(&p->fader, position_of(s->master_gain));
      p->sent = p->fader.pos;
      begin_drag(p, RIG_DRAG_MASTER, -1);
      break;
    }
    case RIG_ZONE_BUS_CLIP:
      rig_clear_clip(p->rc, -1);
      break;
    default:
      break;
  }
  return true;
}

bool wheel(RigPanel* p, const SDL_MouseWheelEvent& w) {
  const RigZoneHit h = zone_at(p, p->px, p->py);
  if (h.zone == RIG_ZONE_NONE) return false;
  float dy = w.preciseY;
  if (w.direction == SDL_MOUSEWHEEL_FLIPPED) dy = -dy;
  if (!std::isfinite(dy)) return true;
  p->wheel_acc += dy;
  const int32_t notches = (int32_t)p->wheel_acc;  // whole notches; the rest waits
  p->wheel_acc -= (float)notches;
  if (notches == 0) return true;
  const bool fine = shift_held(SDL_GetModState());
  const bool on_list = h.zone == RIG_ZONE_LIST || is_row_zone(h.zone);
  const bool value_zone =
      h.zone == RIG_ZONE_FADER || h.zone == RIG_ZONE_PAN || h.zone == RIG_ZONE_MASTER;
  if (on_list && p->max_scroll > 0.0f) {
    const bool rested = value_zone && p->now - p->hover_at >= kRestSeconds &&
                        p->now - p->scrolled_at >= kScrollHold;
    if (!rested) {
      p->scroll -= (float)notches * RIG_PANEL_PITCH;
      clamp_scroll(p);
      p->scrolled_at = p->now;
      set_hover(p, zone_at(p, p->px, p->py));
      return true;
    }
  }
  if (!value_zone || !ready(p)) return true;
  if (h.zone == RIG_ZONE_MASTER) {
    rig_nudge_master(p->rc, notches * (fine ? 0.1 : 0.5));
  } else if (h.zone == RIG_ZONE_FADER) {
    rig_nudge_gain(p->rc, h.index, notches * (fine ? 0.1 : 0.5));
  } else if (const RigChannel* c = channel(p, h.index)) {
    const float pan = rig_panel_pan_wheel(c->pan, notches, fine);
    if (pan != c->pan) rig_set_pan(p->rc, h.index, pan);
  }
  return true;
}

bool key(RigPanel* p, const SDL_KeyboardEvent& k, int32_t mask) {
  const SDL_Keycode sym = k.keysym.sym;
  const bool shift = shift_held(k.keysym.mod);
  const bool repeat = k.repeat != 0;
  int32_t scene = -1;
  if (sym >= SDLK_1 && sym <= SDLK_4) scene = sym - SDLK_1;
  if (sym >= SDLK_KP_1 && sym <= SDLK_KP_4) scene = sym - SDLK_KP_1;
  if (scene >= 0) {
    if (!(mask & RIG_KEYS_SCENES)) return false;
    if (!repeat) scene_key(p, scene, shift);
    return true;
  }
  switch (sym) {
    case SDLK_UP:
    case SDLK_DOWN: {
      if (!(mask & RIG_KEYS_ROWS)) return false;
      const int32_t dir = sym == SDLK_UP ? -1 : 1;
      int32_t row = p->selected >= 0 ? row_of(p, p->selected) : -1;
      if (row < 0) {
        row = dir > 0 ? shown_row(p, 0, 1) : shown_row(p, p->row_count - 1, -1);
      } else {
        const int32_t next = shown_row(p, row + dir, dir);
        if (next >= 0) row = next;
      }
      if (row >= 0) {
        p->selected = p->rows[row].channel;
        scroll_to_row(p, row);
      }
      return true;
    }
    case SDLK_LEFT:
    case SDLK_RIGHT: {
      if (!(mask & RIG_KEYS_GAIN)) return false;
      select_first_if_none(p);
      const double db = (shift ? 3.0 : 0.5) * (sym == SDLK_LEFT ? -1.0 : 1.0);
      if (p->selected >= 0 && ready(p)) rig_nudge_gain(p->rc, p->selected, db);
      return true;
    }
    case SDLK_RETURN:
    case SDLK_KP_ENTER: {
      if (!(mask & RIG_KEYS_MUTE)) return false;
      select_first_if_none(p);
      const RigChannel* c = channel(p, p->selected);
      if (!repeat && c && ready(p)) rig_set_muted(p->rc, p->selected, !c->muted);
      return true;
    }
    case SDLK_ESCAPE:
      if (!(mask & RIG_KEYS_CLOSE)) return false;
      p->close_request = 1;
      return true;
    default:
      return false;
  }
}

}  // namespace

bool rig_panel_event(RigPanel* p, const SDL_Event* e, const RigPanelFrame* f) {
  if (!p || !e || !f || !p->visible) return false;
  rig_panel_layout(p, f, false);
  auto local = [&](int32_t x, int32_t y) {
    p->px = (float)x / p->scale - p->rect.x;
    p->py = (float)y / p->scale - p->rect.y;
  };
  switch (e->type) {
    case SDL_WINDOWEVENT:
      if (e->window.event == SDL_WINDOWEVENT_LEAVE && p->drag == RIG_DRAG_NONE) {
        p->hover = {RIG_ZONE_NONE, -1};
        update_cursor(p);
      }
      if (e->window.event == SDL_WINDOWEVENT_FOCUS_LOST) {
        end_drag(p);
        update_cursor(p);
      }
      return false;
    case SDL_MOUSEMOTION: {
      local(e->motion.x, e->motion.y);
      if (!p->open) return false;
      if (p->drag != RIG_DRAG_NONE) {
        drag_move(p, p->px);
        set_hover(p, zone_at(p, p->px, p->py));
        update_cursor(p);
        return true;
      }
      set_hover(p, zone_at(p, p->px, p->py));
      update_cursor(p);
      return p->hover.zone != RIG_ZONE_NONE;
    }
    case SDL_MOUSEBUTTONDOWN:
      local(e->button.x, e->button.y);
      if (!p->open) return false;
      set_hover(p, zone_at(p, p->px, p->py));
      {
        const bool used = press(p, e->button);
        update_cursor(p);
        return used;
      }
    case SDL_MOUSEBUTTONUP: {
      local(e->button.x, e->button.y);
      const bool dragging = p->drag != RIG_DRAG_NONE;
      if (dragging && e->button.button == SDL_BUTTON_LEFT) {
        end_drag(p);
        set_hover(p, zone_at(p, p->px, p->py));
        update_cursor(p);
        return true;
      }
      return p->open && zone_at(p, p->px, p->py).zone != RIG_ZONE_NONE;
    }
    case SDL_MOUSEWHEEL:
      if (!p->open) return false;
      return wheel(p, e->wheel);
    case SDL_KEYDOWN:
      if (!p->open || f->key_mask == 0) return false;
      return key(p, e->key, f->key_mask);
    default:
      return false;
  }
}
