// The SETTINGS panel's drawing, in the look of the other panels: a dark rounded panel, mono
// labels, the sketch's accent on the selected row. Everything is placed by
// settings_panel_layout, the same geometry the pointer uses.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/session.h"
#include "app/settings_panel.h"
#include "app/theme.h"
#include "base/text.h"
#include "ui/draw.h"
#include "ui/text.h"

namespace {

constexpr TextStyle kTitle = {TEXT_MONO, 12.0f, 700, 2.0f};
constexpr TextStyle kSectionStyle = {TEXT_MONO, 10.0f, 700, 2.0f};
constexpr TextStyle kLabel = {TEXT_MONO, 11.0f, 700, 1.0f};
constexpr TextStyle kValue = {TEXT_MONO, 11.0f, 400, 0.0f};
constexpr TextStyle kSmall = {TEXT_MONO, 10.0f, 400, 0.0f};
constexpr TextStyle kFooterStyle = {TEXT_MONO, 9.0f, 400, 0.0f};

constexpr float kInset = 10.0f;
constexpr float kRowText = 9.0f;  // a row's text from its top

DrawColour with_alpha(DrawColour c, float a) {
  c.a = a;
  return c;
}

bool visible(const DrawRect& r, const DrawRect& list) {
  return r.y + r.h > list.y && r.y < list.y + list.h;
}

// text cut to whole characters with an ellipsis so it fits width; keep_end keeps the tail (paths).
void fit(TextStyle style, const char* text, float width, bool keep_end, char* out, size_t size) {
  text_copy(out, size, text);
  if (text_measure(style, out) <= width) return;
  int starts[1024];
  int chars = 0;
  for (int i = 0; text[i] && chars < 1024; i++)
    if (((unsigned char)text[i] & 0xC0) != 0x80) starts[chars++] = i;
  const int len = (int)strlen(text);
  auto build = [&](int keep) {
    if (keep_end) {
      const int from = keep >= chars ? 0 : starts[chars - keep];
      snprintf(out, size, "\u2026%s", text + from);
    } else {
      const int to = keep >= chars ? len : starts[keep];
      snprintf(out, size, "%.*s\u2026", to, text);
    }
  };
  int lo = 0, hi = chars;
  while (lo < hi) {
    const int mid = (lo + hi + 1) / 2;
    build(mid);
    if (text_measure(style, out) <= width)
      lo = mid;
    else
      hi = mid - 1;
  }
  build(lo);
}

void draw_close(Painter* p, const DrawRect& r, bool hover) {
  if (hover) draw_rrect(p, r, 8.0f, DrawColour{1, 1, 1, 0.08f});
  const DrawColour x = hover ? THEME_INK : THEME_DIM;
  const float cx = r.x + r.w * 0.5f, cy = r.y + r.h * 0.5f;
  const DrawPoint a[2] = {{cx - 6, cy - 6}, {cx + 6, cy + 6}};
  const DrawPoint b[2] = {{cx + 6, cy - 6}, {cx - 6, cy + 6}};
  draw_polyline(p, a, 2, 1.5f, x, false);
  draw_polyline(p, b, 2, 1.5f, x, false);
}

void draw_scenes(Painter* p, const SettingsPanel* sp, const SettingsContext* c,
                 const SettingsGeometry& g, DrawColour accent) {
  const bool usable = c->rig_present && !c->rig_loading;
  for (int32_t k = 0; k < SETTINGS_SCENES; k++) {
    const DrawRect& b = g.scenes[k];
    const bool current = usable && c->rig_scene == k;
    DrawColour fill = current ? with_alpha(accent, 0.85f) : DrawColour{0.16f, 0.20f, 0.28f, 1.0f};
    if (!usable) fill.a = 0.35f;
    if (usable && sp->hover == SETTINGS_HIT_SCENE + k && !current)
      fill = DrawColour{fill.r + 0.08f, fill.g + 0.08f, fill.b + 0.08f, 1.0f};
    draw_rrect(p, b, 7.0f, fill);
    char label[16];
    snprintf(label, sizeof label, "%d", (int)k + 1);
    text_draw(p, kLabel, b.x + b.w * 0.5f, b.y + (b.h - text_line_height(kLabel)) * 0.5f,
              TEXT_CENTRE, current ? DrawColour{0.05f, 0.07f, 0.10f, 1.0f} : THEME_INK, label, false);
  }
}

void draw_swatches(Painter* p, const SettingsPanel* sp, const SettingsContext* c,
                   const SettingsGeometry& g) {
  const int32_t picked = settings_colour_index(c->snap);
  for (int32_t k = 0; k < SETTINGS_SWATCHES; k++) {
    DrawRect r = g.swatches[k];
    const float* rgb = SESSION_PALETTE[k];
    if (sp->hover == SETTINGS_HIT_SWATCH + k)
      r = DrawRect{r.x - 1.5f, r.y - 1.5f, r.w + 3, r.h + 3};
    draw_rrect(p, r, 5.0f, DrawColour{rgb[0], rgb[1], rgb[2], 1.0f});
    if (k == picked)
      draw_rrect_frame(p, DrawRect{r.x - 3, r.y - 3, r.w + 6, r.h + 6}, 7.0f, 1.5f, THEME_INK);
  }
}

void draw_sources(Painter* p, const SettingsContext* c, const DrawRect& row, DrawColour accent,
                  double now) {
  float y = row.y + 32.0f;
  // The monitor lamp: lit for a moment by every message.
  if (c->midi_on && now < c->midi_activity_until)
    draw_disc(p, row.x + kInset + 4.0f, row.y + 20.0f, 3.0f, accent);
  auto line = [&](const char* text, DrawColour colour) {
    char cut[300];
    fit(kSmall, text, row.w - 2.0f * kInset - 12.0f, false, cut, sizeof cut);
    text_draw(p, kSmall, row.x + kInset + 12.0f, y, TEXT_LEFT, colour, cut, false);
    y += 16.0f;
  };
  if (!c->midi_on) {
    line("MIDI IN is off", THEME_FAINT);
  } else if (c->midi_input_count <= 0 || !c->midi_inputs) {
    line("no sources", THEME_FAINT);
  } else {
    const int32_t n =
        c->midi_input_count < SETTINGS_MIDI_LINES ? c->midi_input_count : SETTINGS_MIDI_LINES;
    for (int32_t i = 0; i < n; i++) {
      char text[160];
      snprintf(text, sizeof text, "%s%s", c->midi_inputs[i].name,
               c->midi_inputs[i].busy ? " (busy)" : "");
      line(text, c->midi_inputs[i].busy ? THEME_FAINT : THEME_DIM);
    }
  }
  if (c->midi_daw_mode) {
    char text[200];
    snprintf(text, sizeof text, "LAUNCH CONTROL XL 3 \u2014 DAW MODE   %s",
             c->midi_daw_port ? c->midi_daw_port : "");
    line(text, THEME_DIM);
  }
}

void draw_help(Painter* p, const SettingsContext* c, int32_t id, const SettingsGeometry& g,
               const DrawRect& row) {
  char help[512];
  settings_help(c, id, help, sizeof help);
  int starts[12];
  const int lines = text_wrap(SETTINGS_HELP_STYLE, help, row.w - 2.0f * kInset, starts, 12);
  const size_t len = strlen(help);
  for (int i = 0; i < lines && i < g.help_lines; i++) {
    const size_t end = i + 1 < lines ? (size_t)starts[i + 1] : len;
    char text[512];
    snprintf(text, sizeof text, "%.*s", (int)(end - (size_t)starts[i]), help + starts[i]);
    text_draw(p, SETTINGS_HELP_STYLE, row.x + kInset, g.help_y + 16.0f * (float)i, TEXT_LEFT, THEME_DIM,
              text, false);
  }
}

void draw_row(Painter* p, const SettingsPanel* sp, const App* app, const SettingsContext* c,
              const SettingsRow* r, const SettingsGeometry& g, DrawColour accent, double now) {
  const DrawRect& rect = g.rows[r->id];
  const bool selected = sp->selected == r->id;
  if (selected) {
    draw_rrect(p, rect, 9.0f, with_alpha(accent, 0.13f));
    draw_rrect_frame(p, rect, 9.0f, 1.0f, with_alpha(accent, 0.55f));
    // A used row flashes briefly.
    const double since = now - sp->last_use_at;
    if (sp->last_use_row == r->id && since >= 0.0 && since < 0.25)
      draw_rrect(p, rect, 9.0f, with_alpha(accent, 0.25f * (float)(1.0 - since / 0.25)));
  } else if (sp->hover == r->id || (sp->pressing && sp->pressed == r->id)) {
    draw_rrect(p, rect, 9.0f, DrawColour{1, 1, 1, sp->pressing ? 0.07f : 0.04f});
  }
  const DrawColour label_colour = r->kind == SETTINGS_DANGER ? THEME_DANGER : THEME_INK;
  const float label_w = text_draw(p, kLabel, rect.x + kInset, rect.y + kRowText, TEXT_LEFT,
                                  label_colour, r->label, false);

  char value[1100], note[128];
  settings_value(app, c, r->id, value, sizeof value, note, sizeof note);
  const float right = rect.x + rect.w - kInset;
  const float note_w = note[0] ? text_measure(kValue, note) : 0.0f;
  const float room = right - (rect.x + kInset + label_w + 16.0f) - note_w;
  char cut[1100];
  const bool path = r->id == SET_EXPORTS_FOLDER || r->id == SET_LIBRARY_FOLDER;
  fit(kValue, value, std::fmax(0.0f, room), path, cut, sizeof cut);
  const float value_w = text_measure(kValue, cut);
  const float x0 = right - note_w - value_w;
  const bool quiet = r->kind == SETTINGS_INFO || r->kind == SETTINGS_BUTTON;
  text_draw(p, kValue, x0, rect.y + kRowText, TEXT_LEFT,
            selected ? THEME_INK
            : quiet  ? THEME_DIM
                     : THEME_INK,
            cut, false);
  if (note[0])
    text_draw(p, kValue, x0 + value_w, rect.y + kRowText, TEXT_LEFT, THEME_FAINT, note, false);

  if (r->id == SET_SCENE) draw_scenes(p, sp, c, g, accent);
  if (r->id == SET_COLOUR) draw_swatches(p, sp, c, g);
  if (r->id == SET_SOURCES) draw_sources(p, c, rect, accent, now);
  if (selected) draw_help(p, c, r->id, g, rect);
}

}  // namespace

void settings_panel_draw(SettingsPanel* sp, const App* app, const SettingsContext* c, Painter* p,
                         DrawRect panel, float eased, DrawColour accent, double now) {
  if (!sp || !c || !p || panel.w <= 0.0f || panel.h <= 0.0f) return;
  SettingsGeometry g;
  settings_panel_layout(sp, c, panel, &g);
  const float alpha = std::fmax(0.0f, std::fmin(1.0f, eased));
  draw_set_alpha(p, alpha);
  draw_shadow_around(p, panel, 14.0f, 18.0f, 0.5f);
  draw_rrect(p, panel, 14.0f, THEME_PANEL);
  draw_rrect_frame(p, panel, 14.0f, 1.0f, THEME_EDGE);
  text_draw(p, kTitle, panel.x + 20.0f, panel.y + 20.0f, TEXT_LEFT, THEME_INK, "SETTINGS", false);
  draw_close(p, g.close, sp->hover == SETTINGS_HIT_CLOSE);

  draw_set_clip(p, &g.list);
  for (int32_t i = 0; i < SETTINGS_ROW_COUNT; i++) {
    const SettingsRow* r = settings_row_at(i);
    if (g.section_y[r->id] > -1e8f) {
      const float y = g.section_y[r->id];
      if (y + 28.0f > g.list.y && y < g.list.y + g.list.h) {
        text_draw(p, kSectionStyle, g.list.x + kInset, y + 11.0f, TEXT_LEFT,
                  with_alpha(accent, 0.9f), r->section, false);
        draw_rect(p, g.list.x + kInset, y + 26.0f, g.list.w - 2.0f * kInset, 1.0f,
                  DrawColour{1, 1, 1, 0.06f});
      }
    }
    if (visible(g.rows[r->id], g.list)) draw_row(p, sp, app, c, r, g, accent, now);
  }
  draw_set_clip(p, nullptr);

  if (g.max_scroll > 0.0f && g.content_h > 0.0f) {
    const float track = g.list.h;
    const float h = std::fmax(24.0f, track * g.list.h / g.content_h);
    const float y = g.list.y + (track - h) * (sp->scroll / g.max_scroll);
    draw_rrect(p, DrawRect{panel.x + panel.w - 7.0f, y, 3.0f, h}, 1.5f, DrawColour{1, 1, 1, 0.18f});
  }

  draw_rect(p, g.footer.x + 14.0f, g.footer.y, g.footer.w - 28.0f, 1.0f,
            DrawColour{1, 1, 1, 0.08f});
  // A narrow panel takes the hint on two lines, broken between its parts.
  const char* hint = settings_hint(sp->selected >= 0 ? sp->selected : SET_ZEN);
  int starts[2];
  const int lines = text_wrap(kFooterStyle, hint, g.footer.w - 28.0f, starts, 2);
  const float lh = text_line_height(kFooterStyle);
  float y = g.footer.y + (g.footer.h - lh * (float)lines) * 0.5f;
  for (int i = 0; i < lines; i++, y += lh) {
    const size_t end = i + 1 < lines ? (size_t)starts[i + 1] : strlen(hint);
    char line[200];
    snprintf(line, sizeof line, "%.*s", (int)(end - (size_t)starts[i]), hint + starts[i]);
    text_draw(p, kFooterStyle, g.footer.x + g.footer.w * 0.5f, y, TEXT_CENTRE, THEME_FAINT, line, false);
  }
  draw_set_alpha(p, 1.0f);
}
