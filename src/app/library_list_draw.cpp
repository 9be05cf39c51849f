// Drawing the library list: only the rows in view (a thousand cards cost what eight do), each from
// the same geometry the pointer uses, clipped to the list's rectangle.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/library_list.h"
#include "app/theme.h"
#include "store/library.h"
#include "ui/draw.h"
#include "ui/text.h"

namespace {

constexpr DrawColour kCard = {0.09f, 0.11f, 0.17f, 0.96f};
constexpr DrawColour kCardHover = {0.12f, 0.15f, 0.22f, 0.98f};
constexpr DrawColour kWarn = {0.95f, 0.70f, 0.30f, 1.0f};
constexpr TextStyle kTitle = {TEXT_HEAD, 15.0f, 600, 0.0f};
constexpr TextStyle kLine = {TEXT_MONO, 10.0f, 700, 1.0f};
constexpr TextStyle kBody = {TEXT_HEAD, 12.0f, 400, 0.0f};
constexpr TextStyle kEmpty = {TEXT_HEAD, 18.0f, 600, 0.0f};
constexpr TextStyle kLabel = {TEXT_MONO, 11.0f, 700, 2.0f};
constexpr TextStyle kMenu = {TEXT_HEAD, 13.0f, 500, 0.0f};

DrawColour with_alpha(DrawColour c, float a) {
  return DrawColour{c.r, c.g, c.b, c.a * a};
}

DrawRect intersect(DrawRect a, DrawRect b) {
  const float x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
  const float x1 = std::min(a.x + a.w, b.x + b.w), y1 = std::min(a.y + a.h, b.y + b.h);
  return DrawRect{x0, y0, std::max(0.0f, x1 - x0), std::max(0.0f, y1 - y0)};
}

DrawColour rgb(MetaRgb c) {
  return DrawColour{(float)c.r, (float)c.g, (float)c.b, 1.0f};
}

void draw_bin(Painter* p, float cx, float cy, DrawColour c) {
  draw_rect(p, cx - 8, cy - 7, 16, 1.6f, c);  // lid
  draw_rect(p, cx - 3, cy - 9.5f, 6, 1.6f, c);  // handle
  const DrawPoint body[4] = {{cx - 6, cy - 4}, {cx - 5, cy + 8}, {cx + 5, cy + 8}, {cx + 6, cy - 4}};
  draw_polyline(p, body, 4, 1.6f, c, false);
  draw_rect(p, cx - 0.7f, cy - 2, 1.4f, 8, c);
}

void draw_play(Painter* p, DrawRect r, bool previewing, DrawColour accent) {
  const float cx = r.x + r.w * 0.5f, cy = r.y + r.h * 0.5f;
  if (previewing) {
    draw_disc(p, cx, cy, 17, accent);
    draw_rect(p, cx - 5, cy - 5, 10, 10, DrawColour{0.05f, 0.06f, 0.10f, 1.0f});  // stop
    return;
  }
  draw_ring(p, cx, cy, 17, 1.5f, with_alpha(THEME_EDGE, 1.2f));
  draw_triangle(p, DrawPoint{cx - 4, cy - 7}, DrawPoint{cx - 4, cy + 7}, DrawPoint{cx + 7, cy},
                THEME_INK);
}

void draw_arrow(Painter* p, DrawRect r, DrawColour c) {
  const float cx = r.x + r.w * 0.5f, cy = r.y + r.h * 0.5f;
  const DrawPoint shaft[2] = {{cx - 8, cy}, {cx + 7, cy}};
  const DrawPoint head[3] = {{cx + 1, cy - 6}, {cx + 7, cy}, {cx + 1, cy + 6}};
  draw_polyline(p, shaft, 2, 1.8f, c, false);
  draw_polyline(p, head, 3, 1.8f, c, false);
}

// Each layer as a run of thin leaves along the card, placed by where it sits on the tape.
void draw_thumbs(Painter* p, const LibraryCard* c, DrawRect band, DrawColour accent) {
  if (!c->thumbs || c->thumb_count <= 0 || band.w <= 4) return;
  double total = (double)c->length_samples;
  for (int32_t i = 0; i < c->thumb_count; i++) {
    const LayerThumb& t = c->thumbs[i];
    total = std::max(total, (double)(t.start_sample + t.length_samples));
  }
  if (total <= 0) return;
  const DrawColour card_colour = c->has_picked_color ? rgb(c->picked_color) : accent;
  const float mid = band.y + band.h * 0.5f;
  for (int32_t i = 0; i < c->thumb_count; i++) {
    const LayerThumb& t = c->thumbs[i];
    const int32_t n = std::min(t.stroke_count, (int32_t)LIBRARY_THUMB_STROKES);
    if (n <= 0) continue;
    const DrawColour colour = t.has_explicit_color ? rgb(t.explicit_color) : card_colour;
    const float x0 = band.x + (float)((double)t.start_sample / total) * band.w;
    const float lw = std::max(2.0f, (float)((double)t.length_samples / total) * band.w);
    const float pitch = lw / (float)n;
    const float bar = std::clamp(pitch * 0.6f, 1.0f, 3.0f);
    for (int32_t k = 0; k < n; k++) {
      const float v = std::isfinite(t.strokes[k]) ? std::clamp(t.strokes[k], 0.0f, 1.0f) : 0.0f;
      const float h = std::max(1.5f, v * band.h);
      draw_rect(p, x0 + pitch * ((float)k + 0.5f) - bar * 0.5f, mid - h * 0.5f, bar, h, colour);
    }
  }
}

void draw_rename_field(LibraryList* l, Painter* p, DrawRect field, DrawRect clip, DrawColour accent,
                       double now) {
  const NameEditor* ed = &l->editor;
  draw_rrect(p, field, 6.0f, DrawColour{0.05f, 0.07f, 0.12f, 0.95f});
  draw_rrect_frame(p, field, 6.0f, 1.0f, accent);
  const float tx = field.x + 8, ty = field.y + (field.h - text_line_height(kTitle)) * 0.5f;
  const DrawRect inner = intersect(clip, DrawRect{field.x + 2, field.y, field.w - 4, field.h});
  draw_set_clip(p, &inner);
  char before[NAME_EDIT_MAX + 1];
  snprintf(before, sizeof before, "%.*s", ed->caret, ed->text);
  float caret_x = tx + text_measure(kTitle, before);
  if (!ed->text[0] && !(ed->composing && ed->composition[0]))
    text_draw(p, kTitle, tx, ty, TEXT_LEFT, with_alpha(THEME_DIM, 0.7f), "Name", false);
  text_draw(p, kTitle, tx, ty, TEXT_LEFT, THEME_INK, before, false);
  if (ed->composing && ed->composition[0]) {
    // The input method's text sits at the caret, underlined, until it is committed.
    const float w = text_draw(p, kTitle, caret_x, ty, TEXT_LEFT, THEME_DIM, ed->composition, false);
    draw_rect(p, caret_x, ty + text_line_height(kTitle), w, 1.0f, THEME_DIM);
    caret_x += w;
  }
  text_draw(p, kTitle, caret_x, ty, TEXT_LEFT, THEME_INK, ed->text + ed->caret, false);
  const float lh = text_line_height(kTitle);
  if (std::fmod(std::max(0.0, now - ed->blink_start), 1.0) < 0.6)
    draw_rect(p, caret_x, ty, 1.5f, lh > 0 ? lh : 16.0f, THEME_INK);
  l->caret = DrawRect{caret_x, ty, 1.5f, lh};
  draw_set_clip(p, &clip);
}

void draw_card(LibraryList* l, const Library* lib, int32_t row, DrawRect rect, const char* loaded_id,
               DrawColour accent, Painter* p, double now) {
  const LibraryCard* c = &lib->rows[row];
  const DrawRect slot = library_list_card_rect(l, rect, row);
  const float slide = library_list_row_slide(l, row);
  const bool open = l->open_row == row;
  const bool hovered = l->hover_row == row;
  if (slide < 0 || open) {
    // The bin lives under the card and shows as the face slides away.
    draw_rrect(p, slot, 12.0f, DrawColour{0.35f, 0.09f, 0.09f, 0.96f});
    const DrawRect bin = library_list_part_rect(c, slot, slide, LIBPART_BIN);
    if (bin.w > 0) {
      const bool hot = hovered && l->hover_part == LIBPART_BIN;
      draw_bin(p, bin.x + bin.w * 0.5f, bin.y + bin.h * 0.5f, hot ? THEME_INK : with_alpha(THEME_INK, 0.8f));
    }
  }
  const DrawRect face{slot.x + slide, slot.y, slot.w, slot.h};
  draw_rrect(p, face, 12.0f, hovered ? kCardHover : kCard);
  const bool selected = l->selected == row;
  const bool previewing = lib->preview_id[0] && library_same_text(lib->preview_id, c->id);
  const bool loaded = loaded_id && loaded_id[0] && library_same_text(loaded_id, c->id);
  if (selected)
    draw_rrect_frame(p, face, 12.0f, 1.5f, accent);
  else
    draw_rrect_frame(p, face, 12.0f, 1.0f, with_alpha(THEME_EDGE, 0.5f));
  if (loaded) draw_rrect(p, DrawRect{face.x + 3, face.y + 16, 3, face.h - 32}, 1.5f, accent);

  const DrawRect play = library_list_part_rect(c, slot, slide, LIBPART_PLAY);
  if (play.w > 0) draw_play(p, play, previewing, accent);

  // The title and the second line share the space between the play glyph and the right parts.
  const float tx = face.x + 64;
  const float tw = std::max(0.0f, face.w - 64 - 108);
  // A read-only card has no arrow or bin: its reason may run to the right edge.
  const float line_w = c->damaged || c->legacy ? std::max(0.0f, face.w - 64 - 16) : tw;
  const DrawRect line_clip = intersect(rect, DrawRect{tx, face.y, line_w, face.h});
  draw_set_clip(p, &line_clip);
  if (l->rename_row != row)
    text_draw(p, kTitle, tx, face.y + 12, TEXT_LEFT, THEME_INK, c->title[0] ? c->title : c->name,
              false);
  char line[128];
  library_list_card_line(c, line, sizeof line);
  text_draw(p, kLine, tx, face.y + 39, TEXT_LEFT, c->damaged || c->legacy ? kWarn : THEME_DIM, line,
            false);
  if (loaded) {
    const float w = text_measure(kLine, line);
    text_draw(p, kLine, tx + w + 10, face.y + 39, TEXT_LEFT, accent, "OPEN", false);
  }
  draw_set_clip(p, &rect);
  if (l->rename_row == row)
    draw_rename_field(l, p, library_list_part_rect(c, slot, 0, LIBPART_NAME), rect, accent, now);
  draw_thumbs(p, c, DrawRect{tx, face.y + 56, tw, 16}, accent);

  const DrawRect arrow = library_list_part_rect(c, slot, slide, LIBPART_OPEN);
  if (arrow.w > 0) {
    const bool hot = hovered && l->hover_part == LIBPART_OPEN;
    draw_arrow(p, arrow, hot ? accent : THEME_INK);
  }
  const DrawRect hover_bin = library_list_part_rect(c, slot, slide, LIBPART_HOVER_BIN);
  if (hovered && !open && slide == 0 && hover_bin.w > 0) {
    const bool hot = l->hover_part == LIBPART_HOVER_BIN;
    draw_bin(p, hover_bin.x + hover_bin.w * 0.5f, hover_bin.y + hover_bin.h * 0.5f,
             hot ? THEME_DANGER : THEME_DIM);
  }
}

void draw_menu(const LibraryList* l, const Library* lib, DrawRect rect, DrawColour accent,
               Painter* p) {
  if (!l->menu_open || l->menu_row < 0 || l->menu_row >= lib->count) return;
  const LibraryCard* c = &lib->rows[l->menu_row];
  const DrawRect m = library_list_menu_rect(l, rect);
  draw_shadow_around(p, m, 10.0f, 14.0f, 0.5f);
  draw_rrect(p, m, 10.0f, THEME_PANEL);
  draw_rrect_frame(p, m, 10.0f, 1.0f, THEME_EDGE);
  for (int32_t i = 0; i < LIBLIST_MENU_ITEMS; i++) {
    const DrawRect r = library_list_menu_item_rect(m, i);
    const bool enabled = library_list_menu_enabled(c, i);
    if (i == l->menu_item && enabled) draw_rrect(p, r, 6.0f, with_alpha(accent, 0.28f));
    DrawColour ink = i == LIBMENU_DELETE ? THEME_DANGER : THEME_INK;
    if (!enabled) ink = with_alpha(THEME_DIM, 0.45f);
    text_draw(p, kMenu, r.x + 12, r.y + (r.h - text_line_height(kMenu)) * 0.5f, TEXT_LEFT, ink,
              library_list_menu_label(i), false);
  }
}

void draw_centred_lines(Painter* p, TextStyle style, const char* text, float cx, float y,
                        float width, DrawColour colour) {
  int starts[12];
  const int lines = text_wrap(style, text, width, starts, 12);
  const float lh = text_line_height(style) + 3.0f;
  const size_t len = strlen(text);
  for (int i = 0; i < lines; i++) {
    const size_t end = i + 1 < lines ? (size_t)starts[i + 1] : len;
    char line[256];
    snprintf(line, sizeof line, "%.*s", (int)(end - (size_t)starts[i]), text + starts[i]);
    text_draw(p, style, cx, y + lh * (float)i, TEXT_CENTRE, colour, line, false);
  }
}

void draw_import_page(const LibraryList* l, DrawRect rect, bool importing, DrawColour accent,
                      Painter* p) {
  const DrawRect b = library_list_import_button(rect);
  const bool hot = l->hover_part == LIBPART_IMPORT;
  DrawColour fill = with_alpha(accent, importing ? 0.35f : (hot ? 1.0f : 0.85f));
  draw_rrect(p, b, 10.0f, fill);
  text_draw(p, kLabel, b.x + b.w * 0.5f, b.y + (b.h - text_line_height(kLabel)) * 0.5f,
            TEXT_CENTRE, THEME_INK, importing ? "IMPORTING\u2026" : "IMPORT FILE", false);
  const float cx = rect.x + rect.w * 0.5f;
  const float width = std::max(40.0f, std::min(rect.w - 48, 380.0f));
  float y = b.y + b.h + 20;
  draw_centred_lines(p, kBody, "or drop audio files anywhere on this window", cx, y, width, THEME_DIM);
  y += 30;
  text_draw(p, kLine, cx, y, TEXT_CENTRE, THEME_DIM, "WAV \u00b7 MP3 \u00b7 M4A \u00b7 AAC \u00b7 FLAC \u00b7 WMA",
            false);
  y += 36;
  draw_centred_lines(p, kBody,
                     "Each file comes in as a new loop at the top of COLLECTIONS. Nothing opens by "
                     "itself \u2014 double-click it there when you want it.",
                     cx, y, width, THEME_DIM);
}

}  // namespace

void library_list_draw(LibraryList* list, const Library* lib, int32_t page, DrawRect rect,
                       const char* loaded_id, bool importing, DrawColour accent, Painter* p,
                       double now) {
  if (!p || rect.w <= 0 || rect.h <= 0) return;
  list->visible_h = rect.h;
  draw_set_clip(p, &rect);
  if (page != 0) {
    draw_import_page(list, rect, importing, accent, p);
    draw_set_clip(p, nullptr);
    return;
  }
  const int32_t n = lib ? lib->count : 0;
  list->scroll = std::clamp(list->scroll, 0.0f, library_list_max_scroll(n, rect.h));
  if (n == 0) {
    const float cx = rect.x + rect.w * 0.5f, cy = rect.y + rect.h * 0.4f;
    text_draw(p, kEmpty, cx, cy - 28, TEXT_CENTRE, THEME_INK, "No loops yet", false);
    draw_centred_lines(p, kBody, "Press \u9332 to record, or drop audio files here.", cx, cy + 6,
                       std::max(40.0f, rect.w - 48), THEME_DIM);
    draw_set_clip(p, nullptr);
    return;
  }
  int32_t first = 0, last = -1;
  if (library_list_visible_rows(list, n, rect, &first, &last))
    for (int32_t row = first; row <= last; row++)
      draw_card(list, lib, row, rect, loaded_id, accent, p, now);
  draw_menu(list, lib, rect, accent, p);
  draw_set_clip(p, nullptr);
}
