// The RIG panel's drawing, in the look of the other panels: a dark rounded panel, mono labels,
// faders with their meters underneath. Everything is placed by the same layout the pointer
// uses. While it reveals or hides, the panel is drawn offscreen once and shown through an
// ordered-dither pattern of cells.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/rig_panel.h"
#include "app/theme.h"
#include "base/text.h"
#include "ui/draw.h"
#include "ui/text.h"

namespace {

constexpr TextStyle kName = {TEXT_MONO, 11.0f, 700, 1.0f};
constexpr TextStyle kSmall = {TEXT_MONO, 9.0f, 400, 0.5f};
constexpr TextStyle kNumber = {TEXT_MONO, 10.0f, 700, 0.0f};
constexpr TextStyle kGlyph = {TEXT_SYMBOL, 20.0f, 400, 0.0f};
constexpr TextStyle kFooter = {TEXT_MONO, 9.0f, 400, 0.5f};

constexpr DrawColour kAccent = {0.36f, 0.78f, 0.86f, 1.0f};
constexpr DrawColour kMeter = {0.30f, 0.80f, 0.45f, 1.0f};
constexpr DrawColour kHot = {0.95f, 0.75f, 0.25f, 1.0f};
constexpr DrawColour kClip = {0.95f, 0.25f, 0.22f, 1.0f};
constexpr DrawColour kTrack = {1, 1, 1, 0.07f};
constexpr float kCell = 8.0f;  // the dither's cell, points

// The 4x4 Bayer order: the step at which each cell of a block shows.
constexpr int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

DrawColour alpha(DrawColour c, float a) {
  c.a *= a;
  return c;
}

// text cut to whole characters with an ellipsis so it fits width.
void fit(TextStyle style, const char* text, float width, char* out, size_t size) {
  text_copy(out, size, text);
  if (text_measure(style, out) <= width) return;
  size_t len = strlen(out);
  while (len > 0) {
    len = text_utf8_boundary(text, len - 1);
    snprintf(out, size, "%.*s\u2026", (int)len, text);
    if (text_measure(style, out) <= width) return;
  }
  snprintf(out, size, "\u2026");
}

float meter_x(float x0, float x1, float db) {
  const double pos = rig_taper_position(db);
  return x0 + (x1 - x0) * (float)pos;
}

// One meter bar under a fader: the level as a bar, the hold as a tick.
// A faint bar shows what arrives at the input (heard or not), under what the fader lets through.
void draw_meter(Painter* p, float x0, float x1, float y, float h, const RigShownLevel& m,
                const RigShownLevel* input) {
  if (input && input->level > RIG_LEVEL_FLOOR_DB + 1.0f) {
    const float x = meter_x(x0, x1, input->level);
    draw_rect(p, x0, y, std::fmax(0.0f, x - x0), h, DrawColour{1, 1, 1, 0.16f});
  }
  if (m.level > RIG_LEVEL_FLOOR_DB + 1.0f) {
    const float x = meter_x(x0, x1, m.level);
    const DrawColour c = m.level > -0.1f ? kClip : m.level > -6.0f ? kHot : kMeter;
    draw_rect(p, x0, y, std::fmax(0.0f, x - x0), h, alpha(c, 0.75f));
  }
  if (m.hold > RIG_LEVEL_FLOOR_DB + 1.0f) {
    const float x = meter_x(x0, x1, m.hold);
    draw_rect(p, x - 1.0f, y, 2.0f, h, m.hold > -0.1f ? kClip : THEME_INK);
  }
}

void draw_fader(Painter* p, float x0, float x1, float cy, float gain, const RigShownLevel* meters,
                const RigShownLevel* inputs, int count, bool muted, bool hot) {
  const float h = 14.0f;
  draw_rrect(p, DrawRect{x0, cy - h * 0.5f, x1 - x0, h}, 3.0f, kTrack);
  const float bar = (h - 4.0f) / (float)count;
  for (int i = 0; i < count; i++)
    draw_meter(p, x0 + 1.0f, x1 - 1.0f, cy - h * 0.5f + 2.0f + bar * (float)i, bar - 1.0f,
               meters[i], inputs ? &inputs[i] : nullptr);
  // 0 dB.
  const float zero = x0 + (x1 - x0) * (float)RIG_PANEL_DETENT;
  draw_rect(p, zero - 0.5f, cy - h * 0.5f - 3.0f, 1.0f, h + 6.0f, DrawColour{1, 1, 1, 0.25f});
  const float kx = x0 + (x1 - x0) * (float)rig_taper_position(rig_gain_to_db(gain));
  const DrawColour knob = muted ? THEME_FAINT : hot ? kAccent : THEME_INK;
  draw_rrect(p, DrawRect{kx - 2.5f, cy - 10.0f, 5.0f, 20.0f}, 2.0f, knob);
}

void draw_mute(Painter* p, float x, float cy, bool muted, bool hot) {
  const DrawColour c = muted ? THEME_FAINT : hot ? kAccent : THEME_INK;
  const float cx = x + 16.0f;
  const DrawPoint body[4] = {
      {cx - 9, cy - 3}, {cx - 5, cy - 3}, {cx - 5, cy + 3}, {cx - 9, cy + 3}};
  draw_polygon(p, body, 4, c);
  const DrawPoint cone[4] = {
      {cx - 5, cy - 3}, {cx + 1, cy - 8}, {cx + 1, cy + 8}, {cx - 5, cy + 3}};
  draw_polygon(p, cone, 4, c);
  if (muted) {
    const DrawPoint a[2] = {{cx + 4, cy - 4}, {cx + 10, cy + 4}};
    const DrawPoint b[2] = {{cx + 10, cy - 4}, {cx + 4, cy + 4}};
    draw_polyline(p, a, 2, 1.5f, kClip, false);
    draw_polyline(p, b, 2, 1.5f, kClip, false);
  } else {
    draw_curve(p, DrawPoint{cx + 4, cy - 4}, DrawPoint{cx + 7, cy}, DrawPoint{cx + 4, cy + 4}, 8,
               1.5f, c);
    draw_curve(p, DrawPoint{cx + 7, cy - 7}, DrawPoint{cx + 12, cy}, DrawPoint{cx + 7, cy + 7}, 10,
               1.5f, c);
  }
}

void draw_pan(Painter* p, float x0, float x1, float cy, float pan, bool hot) {
  draw_rect(p, x0, cy - 1.0f, x1 - x0, 2.0f, kTrack);
  const float mid = (x0 + x1) * 0.5f;
  draw_rect(p, mid - 0.5f, cy - 5.0f, 1.0f, 10.0f, DrawColour{1, 1, 1, 0.25f});
  const float x = mid + (x1 - x0 - 8.0f) * 0.5f * pan;
  draw_disc(p, x, cy, 4.0f, hot ? kAccent : THEME_INK);
}

void draw_link(Painter* p, float x, float cy, bool linked, bool hot) {
  const DrawColour c = linked ? kAccent : hot ? THEME_DIM : THEME_FAINT;
  draw_ring(p, x + 7.0f, cy, 4.0f, 1.5f, c);
  draw_ring(p, x + 13.0f, cy, 4.0f, 1.5f, c);
}

void draw_clip(Painter* p, float x, float cy, bool clip, bool bad, bool hot) {
  const DrawRect r{x + 4.0f, cy - 6.0f, 12.0f, 12.0f};
  if (bad)
    draw_rrect(p, r, 3.0f, kHot);
  else if (clip)
    draw_rrect(p, r, 3.0f, kClip);
  else
    draw_rrect_frame(p, r, 3.0f, 1.0f, hot ? THEME_DIM : alpha(THEME_FAINT, 0.6f));
}

void draw_close(Painter* p, float x, float y, bool hover) {
  const DrawRect r{x, y, 28.0f, 28.0f};
  if (hover) draw_rrect(p, r, 8.0f, DrawColour{1, 1, 1, 0.08f});
  const DrawColour c = hover ? THEME_INK : THEME_DIM;
  const float cx = x + 14.0f, cy = y + 14.0f;
  const DrawPoint a[2] = {{cx - 6, cy - 6}, {cx + 6, cy + 6}};
  const DrawPoint b[2] = {{cx + 6, cy - 6}, {cx - 6, cy + 6}};
  draw_polyline(p, a, 2, 1.5f, c, false);
  draw_polyline(p, b, 2, 1.5f, c, false);
}

void device_line(const RigControllerStatus& st, char* out, size_t size) {
  char inputs[32], rate[32], api[RIG_API_BYTES + 4];
  if (st.inputs < st.device_inputs)
    snprintf(inputs, sizeof inputs, "%d/%d IN", st.inputs, st.device_inputs);
  else
    snprintf(inputs, sizeof inputs, "%d IN", st.inputs);
  const double khz = st.rate / 1000.0;
  if (std::fabs(khz - std::round(khz)) <= 0.01)
    snprintf(rate, sizeof rate, "%d KHZ", (int)std::lround(khz));
  else
    snprintf(rate, sizeof rate, "%.1f KHZ", khz);
  text_copy(api, sizeof api, st.api);
  for (char* c = api; *c; c++)
    if (*c >= 'a' && *c <= 'z') *c = (char)(*c - 'a' + 'A');
  if (strcmp(api, "WDMKS") == 0) snprintf(api, sizeof api, "WDM-KS");
  snprintf(out, size, "%s \u00b7 %s \u00b7 %s", inputs, rate, api);
}

// The panel's whole picture at panel-local coordinates.
void draw_body(RigPanel* rp, Painter* p) {
  RigControllerStatus st;
  rig_controller_status(rp->rc, &st);
  RigShownMeters m;
  rig_controller_meters(rp->rc, &m);
  const RigDoc* doc = rig_controller_doc(rp->rc);
  const RigScene* scene = rig_panel_scene(rp);
  const float W = rp->w, H = rp->h;
  const DrawRect panel{0, 0, W, H};
  const RigZoneHit hv = rp->hover;

  draw_shadow_around(p, panel, 14.0f, 18.0f, 0.5f);
  draw_rrect(p, panel, 14.0f, THEME_PANEL);
  draw_rrect_frame(p, panel, 14.0f, 1.0f, THEME_EDGE);

  // Scenes, with the highlight sliding under them.
  draw_rrect(p, DrawRect{rp->scene_x, 4.0f, 44.0f, 44.0f}, 9.0f,
             alpha(kAccent, doc ? 0.28f : 0.1f));
  for (int32_t i = 0; i < RIG_SCENES; i++) {
    const float x = 12.0f + 48.0f * (float)i;
    const bool active = doc && doc->active_scene == i;
    if (hv.zone == RIG_ZONE_SCENE && hv.index == i && !active)
      draw_rrect(p, DrawRect{x, 4.0f, 44.0f, 44.0f}, 9.0f, DrawColour{1, 1, 1, 0.06f});
    const char* glyph = doc ? doc->scenes[i].glyph : rig_default_glyph(i);
    const DrawColour c = active ? THEME_INK : doc ? THEME_DIM : THEME_FAINT;
    text_draw(p, kGlyph, x + 22.0f, 4.0f + (44.0f - text_line_height(kGlyph)) * 0.5f - 2.0f,
              TEXT_CENTRE, c, glyph, false);
    char n[4];
    snprintf(n, sizeof n, "%d", i + 1);
    text_draw(p, kSmall, x + 40.0f, 34.0f, TEXT_RIGHT, alpha(c, 0.7f), n, false);
  }
  draw_close(p, W - 40.0f, 12.0f, hv.zone == RIG_ZONE_CLOSE);

  // The device.
  const float dev_x = 208.0f, dev_end = W - 44.0f;
  float mark_room = 0.0f;
  if (st.saving && st.state == RIG_READY) {
    text_draw(p, kName, dev_end, 10.0f, TEXT_RIGHT, kAccent, "\u2726", false);
    mark_room = 14.0f;
  }
  if (W >= 400.0f && st.bound) {
    char cut[RIG_DEVICE_BYTES + 8], line[96];
    fit(kName, st.device_name, dev_end - dev_x - mark_room, cut, sizeof cut);
    text_draw(p, kName, dev_x, 10.0f, TEXT_LEFT, THEME_INK, cut, false);
    device_line(st, line, sizeof line);
    fit(kSmall, line, dev_end - dev_x, cut, sizeof cut);
    text_draw(p, kSmall, dev_x, 28.0f, TEXT_LEFT, THEME_DIM, cut, false);
  }

  // The rows.
  const DrawRect list{12.0f, RIG_PANEL_LIST_Y, W - 24.0f, rp->list_h};
  draw_rrect(p, list, 10.0f, DrawColour{0, 0, 0, 0.18f});
  draw_set_clip(p, &list);
  float fx0, fx1;
  rig_panel_fader_span(W, false, &fx0, &fx1);
  for (int32_t i = 0; i < rp->row_count; i++) {
    const RigPanelRow& r = rp->rows[i];
    if (r.visibility < 0.01f) continue;
    const float top = rig_panel_row_top(rp, &r);
    if (top > list.y + list.h || top + RIG_PANEL_ROW_H < list.y) continue;
    const int32_t ch = r.channel;
    const RigChannel* c = scene && ch < scene->channel_count ? &scene->channels[ch] : nullptr;
    const bool pair = c && r.can_link && c->link;
    const float a = r.visibility;
    draw_set_alpha(p, a);
    const DrawRect box{list.x + 4.0f, top, list.w - 8.0f, RIG_PANEL_ROW_H};
    const bool hot = (hv.index == ch && hv.zone >= RIG_ZONE_ROW && hv.zone <= RIG_ZONE_CLIP) ||
                     (rp->drag != RIG_DRAG_NONE && rp->drag_channel == ch);
    if (rp->selected == ch)
      draw_rrect(p, box, 7.0f, alpha(kAccent, 0.14f));
    else if (hot)
      draw_rrect(p, box, 7.0f, DrawColour{1, 1, 1, 0.04f});
    const float cy = top + RIG_PANEL_ROW_H * 0.5f;
    char num[32];
    if (pair)
      snprintf(num, sizeof num, "%d-%d", ch + 1, ch + 2);
    else
      snprintf(num, sizeof num, "%d", ch + 1);
    text_draw(p, kNumber, 27.0f, cy - text_line_height(kNumber) * 0.5f, TEXT_CENTRE, THEME_DIM, num,
              false);
    const bool muted = c && c->muted;
    draw_mute(p, 38.0f, cy, muted, hot && hv.zone == RIG_ZONE_MUTE);
    RigShownLevel levels[2] = {m.post_gain[ch & 63], m.post_gain[(ch + 1) & 63]};
    RigShownLevel inputs[2] = {m.input[ch & 63], m.input[(ch + 1) & 63]};
    draw_fader(p, fx0, fx1, cy, c ? c->gain : 0.0f, levels, inputs, pair ? 2 : 1, muted,
               hot && hv.zone == RIG_ZONE_FADER);
    draw_pan(p, W - 120.0f, W - 72.0f, cy, c ? c->pan : 0.0f, hot && hv.zone == RIG_ZONE_PAN);
    if (r.can_link) draw_link(p, W - 68.0f, cy, c && c->link, hot && hv.zone == RIG_ZONE_LINK);
    uint64_t bits = 1ull << (ch & 63);
    if (pair) bits |= 1ull << ((ch + 1) & 63);
    draw_clip(p, W - 48.0f, cy, (m.clip_latched & bits) != 0, (m.bad_latched & bits) != 0,
              hot && hv.zone == RIG_ZONE_CLIP);
  }
  draw_set_alpha(p, 1.0f);
  draw_set_clip(p, nullptr);
  if (rp->max_scroll > 0.0f && rp->content_h > 0.0f) {
    const float track = list.h - 8.0f;
    const float h = std::fmax(20.0f, track * list.h / rp->content_h);
    const float y = list.y + 4.0f + (track - h) * (rp->scroll / rp->max_scroll);
    draw_rrect(p, DrawRect{W - 17.0f, y, 3.0f, h}, 1.5f, DrawColour{1, 1, 1, 0.18f});
  }

  // The bus.
  const DrawRect bus{12.0f, rp->list_h + 64.0f, W - 24.0f, 52.0f};
  draw_rrect(p, bus, 10.0f, DrawColour{1, 1, 1, 0.04f});
  const float by = bus.y + bus.h * 0.5f;
  text_draw(p, kName, 24.0f, by - text_line_height(kName) * 0.5f, TEXT_LEFT, THEME_DIM, "BUS",
            false);
  float mx0, mx1;
  rig_panel_fader_span(W, true, &mx0, &mx1);
  const RigShownLevel out[2] = {m.out_left, m.out_right};
  draw_fader(p, mx0, mx1, by, scene ? scene->master_gain : 1.0f, out, nullptr, 2, false,
             hv.zone == RIG_ZONE_MASTER || rp->drag == RIG_DRAG_MASTER);
  draw_clip(p, W - 56.0f, by, m.out_clip_latched, false, hv.zone == RIG_ZONE_BUS_CLIP);

  // The footer.
  draw_rect(p, 12.0f, H - 24.0f, W - 24.0f, 1.0f, DrawColour{1, 1, 1, 0.08f});
  char cut[sizeof rp->footer + 8];
  fit(kFooter, rp->footer, W - 24.0f, cut, sizeof cut);
  text_draw(p, kFooter, 12.0f, H - 12.0f - text_line_height(kFooter) * 0.5f, TEXT_LEFT, THEME_DIM,
            cut, false);
}

void update_footer(RigPanel* rp) {
  RigControllerStatus st;
  rig_controller_status(rp->rc, &st);
  RigShownMeters m;
  rig_controller_meters(rp->rc, &m);
  RigFooterInput in{};
  in.status = &st;
  in.doc = rig_controller_doc(rp->rc);
  in.meters = &m;
  in.width = rp->w;
  in.zone = rp->hover.zone;
  in.index = rp->hover.index;
  in.drag = rp->drag;
  in.drag_channel = rp->drag_channel;
  const int32_t ch =
      rp->drag == RIG_DRAG_GAIN || rp->drag == RIG_DRAG_PAN ? rp->drag_channel : rp->hover.index;
  in.label = ch >= 0 ? rig_channel_label(rp->rc, ch) : "";
  in.now = rp->now;
  rig_panel_footer_text(&in, rp->footer, sizeof rp->footer);
}

}  // namespace

void rig_panel_draw(RigPanel* rp, const RigPanelFrame* f) {
  if (!rp || !f) return;
  rp->reduced = f->reduced_motion;
  rp->step = rig_panel_reveal_step(&rp->reveal, f->now, f->reduced_motion);
  rp->visible = rp->step > 0;
  if (!rp->visible) return;
  rig_panel_layout(rp, f, true);
  update_footer(rp);
  Painter* p = rp->painter;
  if (rp->w <= 0.0f || rp->h <= 0.0f) return;

  if (rp->step >= RIG_PANEL_STEPS) {
    draw_set_transform(p, f->rect.x, f->rect.y, 1.0f, 1.0f);
    draw_body(rp, p);
    draw_reset_transform(p);
    return;
  }
  // Part way: the picture offscreen, then the cells whose turn has come, row by row in runs.
  const int tw = (int)std::ceil(rp->w), th = (int)std::ceil(rp->h);
  if (target_ensure(p, &rp->target, tw, th, 1) != 0) return;
  target_begin(p, &rp->target, DrawColour{0, 0, 0, 0});
  draw_body(rp, p);
  target_end(p);
  const int shown = (rp->step * 16 + RIG_PANEL_STEPS - 1) / RIG_PANEL_STEPS;  // of 16 per block
  const int cols = (int)std::ceil(rp->w / kCell), rows = (int)std::ceil(rp->h / kCell);
  for (int r = 0; r < rows; r++) {
    int run = -1;
    for (int c = 0; c <= cols; c++) {
      const bool on = c < cols && kBayer[r & 3][c & 3] < shown;
      if (on && run < 0) run = c;
      if (!on && run >= 0) {
        const float x = (float)run * kCell, y = (float)r * kCell;
        const float w = std::fmin((float)(c - run) * kCell, rp->w - x);
        const float h = std::fmin(kCell, rp->h - y);
        target_draw_part(p, &rp->target, DrawRect{x, y, w, h},
                         DrawRect{f->rect.x + x, f->rect.y + y, w, h});
        run = -1;
      }
    }
  }
}
