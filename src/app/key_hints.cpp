#include "app/key_hints.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/keys_sheet.h"
#include "app/theme.h"
#include "base/text.h"

namespace {

constexpr float kCapGap = 2.0f;
constexpr float kCell = 2.0f;  // the reveal's dither cell
constexpr int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

// Rows the library tab keeps: the door, the name, the menu, the rig and the new buttons.
bool on_library_tab(int32_t c) {
  return c <= HINT_LIBRARY_NEW;
}

float cap_width(const char* cap) {
  return std::max(KEY_HINT_H, std::ceil(text_measure(KEY_HINT_STYLE, cap)) + 8.0f);
}

}  // namespace

const char* key_hint_caps(const KeyHintScene* s, int32_t c) {
  if (c < 0 || c >= HINT_CONTROLS) return nullptr;
  if (s->library_tab && !on_library_tab(c)) return nullptr;
  switch (c) {
    case HINT_LIBRARY_DOOR:
      return "B";
    case HINT_SKETCH_NAME:
      return !s->library_tab && s->sketch_named ? "F2" : nullptr;
    case HINT_MENU:
      return s->library_tab ? "Ctrl\t," : "\u21B5";
    case HINT_RIG:
      return s->rig_panel ? "A" : nullptr;
    case HINT_NEW:
    case HINT_LIBRARY_NEW:
      return "Ctrl\tN";
    case HINT_REWIND:
      return s->full_layout ? "W" : nullptr;
    case HINT_STOP:
      return s->full_layout ? "S" : nullptr;
    case HINT_LOOP_IN:
      return s->full_layout ? "I" : nullptr;
    case HINT_LOOP:
      return s->full_layout ? "L" : nullptr;
    case HINT_LOOP_OUT:
      return s->full_layout ? "O" : nullptr;
    case HINT_PLAY:
      return s->full_layout ? "\u2423" : nullptr;
    case HINT_RECORD:
      return s->full_layout ? "R" : nullptr;
    case HINT_MONITOR:
      return s->full_layout ? "M" : nullptr;
    case HINT_ZEN_PLAY:
      return s->full_layout ? nullptr : "\u2423";
    case HINT_ZEN_RECORD:
      return s->full_layout ? nullptr : "R";
    case HINT_XY:
      return "\u2190\t\u2191\t\u2193\t\u2192\tX";
  }
  return nullptr;
}

int32_t key_hint_find(const KeyHintScene* s, float x, float y) {
  for (int32_t c = 0; c < HINT_CONTROLS; c++) {
    if (!s->showing[c] || !key_hint_caps(s, c)) continue;
    const DrawRect& r = s->rect[c];
    if (x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h) return c;
  }
  return HINT_NONE;
}

void key_hint_init(KeyHint* h) {
  memset(h, 0, sizeof *h);
  h->id = HINT_NONE;
}

void key_hint_update(KeyHint* h, int32_t id, const char* caps, double now) {
  if (id != h->id) {
    h->id = id;
    h->since = now;
  }
  text_copy(h->caps, sizeof h->caps, id == HINT_NONE || !caps ? "" : caps);
}

bool key_hint_visible(const KeyHint* h, double now) {
  return h->id != HINT_NONE && h->caps[0] && now - h->since >= KEY_HINT_REST;
}

int32_t key_hint_reveal_step(const KeyHint* h, double now, bool reduced_motion) {
  if (!key_hint_visible(h, now)) return 0;
  if (reduced_motion) return KEY_HINT_STEPS;
  const double t = now - h->since - KEY_HINT_REST;
  return (int32_t)std::min<double>(KEY_HINT_STEPS, std::floor(t * 60.0) + 1.0);
}

DrawRect key_hint_place(DrawRect control, float w, bool in_top_bar, float window_w,
                        float window_h) {
  float x = control.x + (control.w - w) * 0.5f;
  float y =
      in_top_bar ? control.y + control.h + KEY_HINT_GAP : control.y - KEY_HINT_GAP - KEY_HINT_H;
  x = std::max(KEY_HINT_MARGIN, std::min(x, window_w - KEY_HINT_MARGIN - w));
  y = std::max(KEY_HINT_MARGIN, std::min(y, window_h - KEY_HINT_MARGIN - KEY_HINT_H));
  return DrawRect{x, y, w, KEY_HINT_H};
}

float key_hint_width(const char* caps) {
  char split[KEYS_MAX_CAPS][KEYS_CAPS_BYTES];
  const int32_t n = keys_split_caps(caps, split, KEYS_MAX_CAPS);
  float w = 0;
  for (int32_t i = 0; i < n; i++) w += cap_width(split[i]) + (i ? kCapGap : 0.0f);
  return w;
}

void key_hint_draw(Painter* p, const KeyHint* h, DrawRect control, bool in_top_bar, float window_w,
                   float window_h, double now, bool reduced_motion) {
  const int32_t step = key_hint_reveal_step(h, now, reduced_motion);
  if (step <= 0) return;
  const DrawRect at =
      key_hint_place(control, key_hint_width(h->caps), in_top_bar, window_w, window_h);
  char split[KEYS_MAX_CAPS][KEYS_CAPS_BYTES];
  const int32_t n = keys_split_caps(h->caps, split, KEYS_MAX_CAPS);
  const float lh = text_line_height(KEY_HINT_STYLE);
  const DrawColour face{0.10f, 0.12f, 0.18f, 0.96f};
  float x = at.x;
  for (int32_t i = 0; i < n; i++) {
    const float w = cap_width(split[i]);
    if (step >= KEY_HINT_STEPS) {
      draw_rrect(p, DrawRect{x, at.y, w, at.h}, 4.0f, face);
      draw_rrect_frame(p, DrawRect{x, at.y, w, at.h}, 4.0f, 1.0f, THEME_EDGE);
      text_draw(p, KEY_HINT_STYLE, x + w * 0.5f, at.y + (at.h - lh) * 0.5f, TEXT_CENTRE, THEME_INK,
                split[i], false);
    } else {
      // Cells of the cap come in through an ordered dither, in window cells so neighbours agree.
      const int shown = step * 16 / KEY_HINT_STEPS;
      for (float cy = std::floor(at.y / kCell) * kCell; cy < at.y + at.h; cy += kCell)
        for (float cx = std::floor(x / kCell) * kCell; cx < x + w; cx += kCell) {
          const int r = (int)(cy / kCell) & 3, c = (int)(cx / kCell) & 3;
          if (kBayer[r][c] >= shown) continue;
          const float x0 = std::max(cx, x), y0 = std::max(cy, at.y);
          const float x1 = std::min(cx + kCell, x + w), y1 = std::min(cy + kCell, at.y + at.h);
          draw_rect(p, x0, y0, x1 - x0, y1 - y0, THEME_INK);
        }
    }
    x += w + kCapGap;
  }
}
