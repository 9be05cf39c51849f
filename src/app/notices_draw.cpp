// Drawing the notices: the status pill with its track, the banners with their buttons, and the
// SHARE / EXPORT panel. The look follows the CONFIRM panel: dark panel, dim mono labels, the
// theme's accent for what is lit.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/notices.h"
#include "app/theme.h"
#include "base/text.h"
#include "ui/draw.h"
#include "ui/text.h"

namespace {

constexpr DrawColour kPanel = {0.06f, 0.08f, 0.13f, 1.0f};
constexpr DrawColour kEdge = {0.35f, 0.45f, 0.60f, 1.0f};
constexpr DrawColour kTrack = {1.0f, 1.0f, 1.0f, 0.12f};

constexpr TextStyle kTitle = {TEXT_MONO, 11.0f, 700, 2.0f};
constexpr TextStyle kShareLabel = {TEXT_MONO, 12.0f, 700, 1.0f};
constexpr TextStyle kShareLine = {TEXT_HEAD, 11.0f, 400, 0.0f};
constexpr TextStyle kMark = {TEXT_HEAD, 14.0f, 700, 0.0f};
constexpr TextStyle kFoot = {TEXT_MONO, 10.0f, 400, 1.0f};

constexpr const char* kShareLabels[3] = {"EXPORT WAV", "OPEN FOLDER", "COPY FILE"};
constexpr const char* kShareLines[3] = {
    "the sketch as a wav \u2014 just the loop when one is set",
    "the exports folder in the file manager",
    "the last export, ready to paste into Discord or a folder",
};

DrawColour with_alpha(DrawColour c, float a) {
  c.a = a;
  return c;
}

DrawColour mix(DrawColour a, DrawColour b, float t) {
  t = std::clamp(t, 0.0f, 1.0f);
  return DrawColour{a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t,
                    a.a + (b.a - a.a) * t};
}

// Text cut at a whole character so it is no wider than width.
void fit_text(TextStyle style, const char* text, float width, char* out, size_t size) {
  text_copy(out, size, text);
  size_t n = strlen(out);
  while (n > 0 && text_measure(style, out) > width) {
    n = text_utf8_boundary(out, n - 1);
    out[n] = 0;
  }
}

void draw_pill(NoticeArea* a, Painter* p, DrawRect r, DrawColour accent) {
  const float op = a->pill_opacity;
  if (op < 0.005f || r.w <= 0 || r.h <= 0) return;
  const float radius = std::min(r.h * 0.5f, 10.0f);
  draw_rrect(p, r, radius, with_alpha(kPanel, 0.35f * op));
  draw_rrect_frame(p, r, radius, 1.0f, with_alpha(kEdge, 0.5f * op));
  char line[NOTICE_PILL_BYTES];
  fit_text(NOTICE_PILL_STYLE, a->pill, r.w - 16.0f, line, sizeof line);
  const float lh = text_line_height(NOTICE_PILL_STYLE);
  const float ty = r.y + (r.h - 4.0f - lh) * 0.5f;
  text_draw(p, NOTICE_PILL_STYLE, r.x + r.w * 0.5f, ty, TEXT_CENTRE, with_alpha(THEME_INK, op), line,
            false);
  if (a->pill_progress <= NOTICE_NO_BAR) return;
  const float tx = r.x + 1.0f, tw = r.w - 2.0f, ty3 = r.y + r.h - 5.0f;
  draw_rect(p, tx, ty3, tw, 3.0f, with_alpha(kTrack, kTrack.a * op));
  const DrawColour fill = with_alpha(accent, op);
  if (a->pill_progress >= 0) {
    draw_rect(p, tx, ty3, tw * std::min(1.0f, a->pill_progress), 3.0f, fill);
    return;
  }
  // Working without a measure: a segment runs across once every 1.2 s.
  const float seg = tw * 0.28f;
  const float phase = (float)(std::fmod(a->now, 1.2) / 1.2);
  const float x0 = std::max(tx, tx - seg + phase * (tw + seg));
  const float x1 = std::min(tx + tw, tx + phase * (tw + seg));
  if (x1 > x0) draw_rect(p, x0, ty3, x1 - x0, 3.0f, fill);
}

void draw_banner(const NoticeBanner* b, int32_t slot, Painter* p, DrawColour accent) {
  const DrawRect r = b->rect;
  if (r.w <= 0 || r.h <= 0) return;
  const float radius = slot == 0 ? r.h * 0.5f : 10.0f;
  draw_rrect(p, r, radius, with_alpha(kPanel, 0.95f));
  draw_rrect_frame(p, r, radius, 1.0f, with_alpha(mix(kEdge, accent, 0.4f * b->hover), 0.7f));
  if (slot == 0) {
    const float lh = text_line_height(NOTICE_PILL_STYLE);
    text_draw(p, NOTICE_PILL_STYLE, r.x + r.w * 0.5f, r.y + (r.h - lh) * 0.5f, TEXT_CENTRE, THEME_INK,
              b->text, false);
    return;
  }
  const float lh = text_line_height(NOTICE_BANNER_STYLE);
  if (b->one_line) {
    text_draw(p, NOTICE_BANNER_STYLE, r.x + 12.0f, r.y + (r.h - lh) * 0.5f, TEXT_LEFT, THEME_INK,
              b->text, false);
  } else {
    const size_t len = strlen(b->text);
    for (int32_t i = 0; i < b->lines; i++) {
      const size_t from = (size_t)b->line_starts[i];
      size_t to = i + 1 < b->lines ? (size_t)b->line_starts[i + 1] : len;
      while (to > from && (b->text[to - 1] == ' ' || b->text[to - 1] == '\n')) to--;
      char line[NOTICE_BANNER_BYTES];
      snprintf(line, sizeof line, "%.*s", (int)(to - from), b->text + from);
      text_draw(p, NOTICE_BANNER_STYLE, r.x + 12.0f, r.y + 8.0f + lh * (float)i, TEXT_LEFT, THEME_INK,
                line, false);
    }
  }
  const float blh = text_line_height(NOTICE_BUTTON_STYLE);
  for (int32_t k = 0; k < b->button_count; k++) {
    const DrawRect br = b->buttons[k];
    const float lit = b->button_hover[k];
    draw_rrect(p, br, 6.0f, mix(THEME_BUTTON, with_alpha(accent, 1.0f), 0.45f * lit));
    draw_rrect_frame(p, br, 6.0f, 1.0f, with_alpha(accent, 0.35f + 0.5f * lit));
    text_draw(p, NOTICE_BUTTON_STYLE, br.x + br.w * 0.5f, br.y + (br.h - blh) * 0.5f,
              TEXT_CENTRE, THEME_INK, banner_button_label(slot, k), false);
  }
}

}  // namespace

void notices_draw(NoticeArea* a, Painter* p, DrawRect status_rect, DrawColour accent) {
  for (int32_t s = 0; s < NOTICE_BANNER_SLOTS; s++)
    if (a->banners[s].shown) draw_banner(&a->banners[s], s, p, accent);
  draw_pill(a, p, status_rect, accent);
}

void share_draw(const UiShare* sh, const ShareUi* ui, Painter* p, DrawRect r, DrawColour accent,
                const char* exports_folder, bool normalise, bool sketch_ready) {
  ShareGeometry g;
  share_geometry(r, &g);
  draw_shadow_around(p, r, 14.0f, 18.0f, 0.5f);
  draw_rrect(p, r, 14.0f, with_alpha(kPanel, 0.96f));
  draw_rrect_frame(p, r, 14.0f, 1.0f, with_alpha(kEdge, 0.7f));
  text_draw(p, kTitle, r.x + 18.0f, r.y + 18.0f, TEXT_LEFT, THEME_DIM, "SHARE / EXPORT", false);

  const DrawColour x = mix(THEME_DIM, THEME_INK, ui ? ui->close_hover : 0.0f);
  const float cx = g.close.x + g.close.w * 0.5f, cy = g.close.y + g.close.h * 0.5f;
  const DrawPoint d1[2] = {{cx - 6, cy - 6}, {cx + 6, cy + 6}};
  const DrawPoint d2[2] = {{cx + 6, cy - 6}, {cx - 6, cy + 6}};
  draw_polyline(p, d1, 2, 1.5f, x, false);
  draw_polyline(p, d2, 2, 1.5f, x, false);

  for (int i = 0; i < 3; i++) {
    if (!g.shown[i]) continue;
    const DrawRect b = g.buttons[i];
    const bool hover = ui && ui->hover == i && sketch_ready;
    DrawColour fill = hover ? mix(THEME_BUTTON, accent, 0.3f) : THEME_BUTTON;
    if (!sketch_ready) fill.a = 0.35f;
    draw_rrect(p, b, 8.0f, fill);
    const float ink = sketch_ready ? 1.0f : 0.5f;
    text_draw(p, kShareLabel, b.x + 14.0f, b.y + 8.0f, TEXT_LEFT, with_alpha(THEME_INK, ink),
              kShareLabels[i], false);
    const int32_t state = sh->state[i];
    const char* mark = state == SHARE_BUSY     ? "\u2026"
                       : state == SHARE_DONE   ? "\u2713"
                       : state == SHARE_FAILED ? "\u2717"
                                               : nullptr;
    if (mark) {
      const DrawColour mc = state == SHARE_FAILED ? THEME_DANGER : state == SHARE_DONE ? accent : THEME_INK;
      text_draw(p, kMark, b.x + b.w - 14.0f, b.y + (b.h - text_line_height(kMark)) * 0.5f,
                TEXT_RIGHT, with_alpha(mc, 1.0f), mark, false);
    }
    const bool failed = state == SHARE_FAILED;
    const char* beneath = failed ? (sh->message[0] ? sh->message : "FAILED") : kShareLines[i];
    char line[256];
    fit_text(kShareLine, beneath, b.w - 28.0f - 16.0f, line, sizeof line);
    text_draw(p, kShareLine, b.x + 14.0f, b.y + 28.0f, TEXT_LEFT,
              failed ? THEME_DANGER : with_alpha(THEME_DIM, ink), line, false);
  }

  char foot[1200];
  snprintf(foot, sizeof foot, "SAVES TO %s \u00b7 %s", exports_folder ? exports_folder : "",
           normalise ? "NORMALISED" : "AS RECORDED");
  if (text_measure(kFoot, foot) > r.w - 36.0f) {
    // A long folder keeps its tail (the part that names it) and the mode.
    const char* folder = exports_folder ? exports_folder : "";
    const char* mode = normalise ? "NORMALISED" : "AS RECORDED";
    size_t skip = 0;
    const size_t len = strlen(folder);
    while (skip < len) {
      skip++;
      while (skip < len && ((unsigned char)folder[skip] & 0xC0) == 0x80) skip++;
      snprintf(foot, sizeof foot, "SAVES TO \u2026%s \u00b7 %s", folder + skip, mode);
      if (text_measure(kFoot, foot) <= r.w - 36.0f) break;
    }
  }
  text_draw(p, kFoot, r.x + 18.0f, g.foot_y, TEXT_LEFT, THEME_DIM, foot, false);
}
