#include "app/keys_sheet.h"

#include <SDL_keycode.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/rig_panel.h"
#include "app/theme.h"
#include "base/text.h"

namespace {

#define R(caps, icon, label) \
  KeysRow {                  \
    caps, icon, label        \
  }

KeysGroup g_groups[KEYS_GROUPS] = {
    {"TRANSPORT",
     8,
     {R("\u2423", 0, "play"), R("R", 1, "rec"), R("S", 2, "stop"), R("W", 3, "rewind"),
      R("[\t]", 4, "1 s"), R("\u21E7\t[\t]", 4, "5 s"), R("Ctrl\t\u2190\t\u2192", 4, "take"),
      R("Home\tEnd", 4, "start \u00B7 end")}},
    {"LOOP", 3, {R("L", 5, "loop"), R("I", 6, "in"), R("O", 7, "out")}},
    {"VIEW",
     10,
     {R("Z", 8, "zen \u00B7 full"), R("Ctrl\t+\t\u2212", 9, "zoom"), R("Ctrl\t0", 9, "follow"),
      R("F11", 10, "fullscreen"), R("\u21B5", 11, "settings"), R("Ctrl\t,", 11, "settings"),
      R("F1", 12, "help"), R("?", 13, "keys"), R("Esc", 14, "close"), R("Alt\t`", 15, "console")}},
    {"SKETCH",
     7,
     {R("B", 16, "library"), R("\u232B", 16, "back"), R("Ctrl\tN", 17, "new"),
      R("F2", 18, "rename"), R("E", 19, "export"), R("Ctrl\tE", 19, "export"),
      R("Ctrl\tC", 20, "clear")}},
    {"XY",
     3,
     {R("\u2190\t\u2191\t\u2193\t\u2192", 21, "nudge"), R("X", 22, "centre"),
      R("M", 23, "monitor")}},
    {"PAINT", 2, {R("P", 24, "paint"), R("1\t\u2026\t=", 25, "colour")}},
    {"RIG", 1, {R("A", KEYS_ICON_RIG, "rig")}},
};
#undef R
bool g_rig_built = false;

constexpr float kPad = 16.0f;       // the cards' margin in the panel
constexpr float kGap = 12.0f;       // between cards
constexpr float kMinCard = 200.0f;  // a column's narrowest card
constexpr float kCardHead = 30.0f;
constexpr float kCardFoot = 8.0f;
constexpr float kInset = 10.0f;
constexpr float kCapGap = 3.0f;
constexpr float kIcon = 18.0f;
constexpr float kClose = 28.0f;
constexpr int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};

float clampf(float v, float lo, float hi) {
  return std::max(lo, std::min(hi, v));
}

DrawColour with_alpha(DrawColour c, float a) {
  c.a *= a;
  return c;
}

// text cut to whole characters with an ellipsis so it fits width.
void fit(TextStyle s, const char* text, float width, char* out, size_t size) {
  text_copy(out, size, text);
  if (text_measure(s, out) <= width) return;
  size_t n = strlen(out);
  while (n > 0) {
    do n--;
    while (n > 0 && ((unsigned char)out[n] & 0xC0) == 0x80);
    char tmp[256];
    snprintf(tmp, sizeof tmp, "%.*s\u2026", (int)n, out);
    if (text_measure(s, tmp) <= width || n == 0) {
      text_copy(out, size, tmp);
      return;
    }
  }
}

void build_rig_rows() {
  if (g_rig_built) return;
  g_rig_built = true;
  KeysGroup& rig = g_groups[KEYS_GROUPS - 1];
  rig.count = 1 + keys_rig_rows(KEYS_RIG_KEYS, KEYS_RIG_KEY_COUNT, rig.rows + 1, KEYS_MAX_ROWS - 1);
}

}  // namespace

// The rig panel's keys, in the words its footer uses.
const KeysRigKey KEYS_RIG_KEYS[] = {
    {"1\t..\t4", "scene", RIG_KEYS_SCENES}, {"SHIFT\t1\t..\t4", "copy scene", RIG_KEYS_SCENES},
    {"UP\tDOWN", "input", RIG_KEYS_ROWS},   {"LEFT\tRIGHT", "level", RIG_KEYS_GAIN},
    {"ENTER", "mute", RIG_KEYS_MUTE},       {"ESC", "close", RIG_KEYS_CLOSE},
};
const int32_t KEYS_RIG_KEY_COUNT = (int32_t)(sizeof KEYS_RIG_KEYS / sizeof KEYS_RIG_KEYS[0]);

const char* keys_cap_word(const char* w) {
  static const char* const kWords[][2] = {
      {"SHIFT", "\u21E7"}, {"UP", "\u2191"},    {"DOWN", "\u2193"}, {"LEFT", "\u2190"},
      {"RIGHT", "\u2192"}, {"ENTER", "\u21B5"}, {"ESC", "Esc"},     {"..", "\u2026"},
  };
  for (const auto& p : kWords)
    if (strcmp(w, p[0]) == 0) return p[1];
  return w;
}

int32_t keys_rig_rows(const KeysRigKey* keys, int32_t count, KeysRow* out, int32_t max) {
  int32_t n = 0;
  for (int32_t i = 0; i < count && n < max && n < KEYS_RIG_ROWS; i++) {
    KeysRow& row = out[n];
    row.caps[0] = 0;
    row.icon = KEYS_ICON_RIG + 1 + n;
    row.label = keys[i].label;
    const char* s = keys[i].keys;
    size_t used = 0;
    while (*s) {
      const char* tab = strchr(s, '\t');
      const size_t len = tab ? (size_t)(tab - s) : strlen(s);
      char word[32];
      const size_t wl = std::min(len, sizeof word - 1);
      memcpy(word, s, wl);
      word[wl] = 0;
      const char* cap = keys_cap_word(word);
      const size_t need = strlen(cap) + (used ? 1 : 0);
      if (used + need > (size_t)KEYS_CAPS_BYTES - 1) break;
      if (used) row.caps[used++] = '\t';
      memcpy(row.caps + used, cap, strlen(cap));
      used += strlen(cap);
      row.caps[used] = 0;
      s += len;
      if (*s == '\t') s++;
    }
    n++;
  }
  return n;
}

const KeysGroup* keys_group(int32_t i) {
  build_rig_rows();
  return i >= 0 && i < KEYS_GROUPS ? &g_groups[i] : nullptr;
}

int32_t keys_split_caps(const char* caps, char (*out)[KEYS_CAPS_BYTES], int32_t max) {
  int32_t n = 0;
  const char* s = caps;
  while (*s && n < max) {
    const char* tab = strchr(s, '\t');
    const size_t len = std::min(tab ? (size_t)(tab - s) : strlen(s), (size_t)KEYS_CAPS_BYTES - 1);
    memcpy(out[n], s, len);
    out[n][len] = 0;
    n++;
    if (!tab) break;
    s = tab + 1;
  }
  return n;
}

void keys_sheet_init(KeysSheet* k) {
  memset(k, 0, sizeof *k);
  k->hover = KEYS_HIT_NONE;
  k->pressed = KEYS_HIT_NONE;
}

void keys_sheet_open(KeysSheet* k, double now) {
  k->scroll = k->shown_scroll = 0;
  k->hover = k->pressed = KEYS_HIT_NONE;
  k->pressing = false;
  k->opened_at = now;
}

DrawRect keys_sheet_view(DrawRect panel) {
  return DrawRect{panel.x, panel.y + KEYS_HEADER_H, panel.w,
                  std::max(0.0f, panel.h - KEYS_HEADER_H - KEYS_FOOT_PAD)};
}

DrawRect keys_sheet_close_rect(DrawRect panel) {
  return DrawRect{panel.x + panel.w - 14.0f - kClose, panel.y + 12.0f, kClose, kClose};
}

const KeysLayout* keys_sheet_layout(KeysSheet* k, DrawRect panel, float scale) {
  KeysLayout* l = &k->layout;
  if (!(l->valid && l->width == panel.w && l->scale == scale)) {
    memset(l, 0, sizeof *l);
    l->valid = true;
    l->width = panel.w;
    l->scale = scale;
    const float room = panel.w - 2.0f * kPad;
    l->columns = std::clamp((int32_t)std::floor((room + kGap) / (kMinCard + kGap)), 1, 3);
    const float cw = (room - kGap * (float)(l->columns - 1)) / (float)l->columns;
    float bottom[3] = {0, 0, 0};
    for (int32_t i = 0; i < KEYS_GROUPS; i++) {
      // Each card goes to the shortest column, so the page ends as evenly as it can.
      int32_t c = 0;
      for (int32_t j = 1; j < l->columns; j++)
        if (bottom[j] < bottom[c]) c = j;
      const float h = kCardHead + (float)keys_group(i)->count * KEYS_ROW_H + kCardFoot;
      l->cards[i] = DrawRect{kPad + (float)c * (cw + kGap), bottom[c], cw, h};
      bottom[c] += h + kGap;
    }
    for (float b : bottom) l->content_h = std::max(l->content_h, b);
    l->content_h += kPad - kGap;
  }
  k->view_h = keys_sheet_view(panel).h;
  k->scroll = clampf(k->scroll, 0.0f, keys_sheet_max_scroll(k));
  k->shown_scroll = clampf(k->shown_scroll, 0.0f, keys_sheet_max_scroll(k));
  return l;
}

void keys_row_geometry(const KeysLayout* l, int32_t group, int32_t row, KeysRowGeometry* g) {
  memset(g, 0, sizeof *g);
  const KeysGroup* kg = keys_group(group);
  if (!kg || row < 0 || row >= kg->count) return;
  const float y = kCardHead + (float)row * KEYS_ROW_H;
  char caps[KEYS_MAX_CAPS][KEYS_CAPS_BYTES];
  g->caps = keys_split_caps(kg->rows[row].caps, caps, KEYS_MAX_CAPS);
  float x = kInset;
  for (int32_t i = 0; i < g->caps; i++) {
    const float w = std::max(KEYS_CAP_H, std::ceil(text_measure(KEYS_CAP_STYLE, caps[i])) + 10.0f);
    g->cap[i] = DrawRect{x, y + (KEYS_ROW_H - KEYS_CAP_H) * 0.5f, w, KEYS_CAP_H};
    x += w + kCapGap;
  }
  x += 6.0f - kCapGap;
  g->icon = DrawRect{x, y + (KEYS_ROW_H - kIcon) * 0.5f, kIcon, kIcon};
  g->label_x = x + kIcon + 8.0f;
  g->label_w = std::max(0.0f, l->cards[group].w - kInset - g->label_x);
}

float keys_sheet_max_scroll(const KeysSheet* k) {
  return std::max(0.0f, k->layout.content_h - k->view_h);
}

int32_t keys_sheet_hit(const KeysSheet*, DrawRect panel, float x, float y) {
  auto in = [&](DrawRect r) { return x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h; };
  if (!in(panel)) return KEYS_HIT_NONE;
  if (in(keys_sheet_close_rect(panel))) return KEYS_HIT_CLOSE;
  return KEYS_HIT_NONE;
}

bool keys_sheet_key(KeysSheet* k, int32_t key) {
  const float page = std::max(40.0f, k->view_h - 40.0f);
  float to = k->scroll;
  switch (key) {
    case SDLK_HOME:
      to = 0;
      break;
    case SDLK_END:
      to = keys_sheet_max_scroll(k);
      break;
    case SDLK_PAGEUP:
      to -= page;
      break;
    case SDLK_PAGEDOWN:
      to += page;
      break;
    case SDLK_UP:
      to -= KEYS_KEY_STEP;
      break;
    case SDLK_DOWN:
      to += KEYS_KEY_STEP;
      break;
    default:
      return false;
  }
  k->scroll = clampf(to, 0.0f, keys_sheet_max_scroll(k));
  return true;
}

void keys_sheet_wheel(KeysSheet* k, float dy) {
  k->scroll = clampf(k->scroll - dy * KEYS_WHEEL_STEP, 0.0f, keys_sheet_max_scroll(k));
}

void keys_sheet_tick(KeysSheet* k, double dt) {
  const float f = (float)std::min(1.0, 18.0 * std::max(0.0, dt));
  k->shown_scroll += (k->scroll - k->shown_scroll) * f;
  if (std::fabs(k->scroll - k->shown_scroll) < 0.5f) k->shown_scroll = k->scroll;
}

bool keys_sheet_pointer(KeysSheet* k, DrawRect panel, int32_t kind, float x, float y,
                        ActionList* out) {
  const int32_t hit = keys_sheet_hit(k, panel, x, y);
  const bool inside =
      x >= panel.x && x < panel.x + panel.w && y >= panel.y && y < panel.y + panel.h;
  if (kind == 1) {
    if (!inside) return false;
    k->pressing = true;
    k->pressed = hit;
    return true;
  }
  k->hover = hit;
  if (kind == 2) return inside || k->pressing;
  if (!k->pressing) return inside;
  k->pressing = false;
  const int32_t was = k->pressed;
  k->pressed = KEYS_HIT_NONE;
  if (was == KEYS_HIT_CLOSE && hit == KEYS_HIT_CLOSE)
    actions_push(out, ACT_CLOSE_PANEL, 0, nullptr);
  return true;
}

int32_t keys_reveal_step(double opened_at, double now, int32_t group, int32_t row,
                         bool reduced_motion) {
  if (reduced_motion) return KEYS_STEPS;
  const double start = 0.04 + 0.045 * group + 0.012 * std::max(0, row);
  const double t = now - opened_at - start;
  if (t < 0) return 0;
  // One step a frame at 60 Hz.
  return (int32_t)std::min<double>(KEYS_STEPS, std::floor(t * 60.0) + 1.0);
}

void keys_icon_draw(Painter* p, int32_t icon, float cx, float cy, DrawColour c) {
  constexpr TextStyle kGlyph = {TEXT_HEAD, 13.0f, 400, 0.0f};
  auto glyph = [&](const char* s) {
    text_draw(p, kGlyph, cx, cy - text_line_height(kGlyph) * 0.5f, TEXT_CENTRE, c, s, false);
  };
  switch (icon) {
    case 0:
      draw_triangle(p, {cx - 4, cy - 6}, {cx - 4, cy + 6}, {cx + 6, cy}, c);
      break;
    case 1:
      draw_disc(p, cx, cy, 6.0f, DrawColour{0.90f, 0.22f, 0.20f, c.a});
      break;
    case 2:
      draw_rect(p, cx - 5, cy - 5, 10, 10, c);
      break;
    case 3:
      draw_rect(p, cx - 6, cy - 6, 2, 12, c);
      draw_triangle(p, {cx + 6, cy - 6}, {cx + 6, cy + 6}, {cx - 3, cy}, c);
      break;
    case 4:
      draw_regular(p, cx, cy, 6.0f, 4, 0.0f, c);
      break;
    case 5:
      draw_ring(p, cx, cy, 5.5f, 1.8f, c);
      break;
    case 6:
      draw_rect(p, cx - 5, cy - 6, 2, 12, c);
      draw_triangle(p, {cx - 2, cy - 4}, {cx - 2, cy + 4}, {cx + 5, cy}, c);
      break;
    case 7:
      draw_rect(p, cx + 3, cy - 6, 2, 12, c);
      draw_triangle(p, {cx + 2, cy - 4}, {cx + 2, cy + 4}, {cx - 5, cy}, c);
      break;
    case 8:
      draw_rrect_frame(p, DrawRect{cx - 6, cy - 5, 12, 10}, 2.0f, 1.5f, c);
      break;
    case 9:
      glyph("\u2316");
      break;
    case 10:
      draw_rect_frame(p, cx - 6, cy - 5, 12, 10, 1.5f, c);
      draw_rect(p, cx - 3, cy - 2, 6, 4, c);
      break;
    case 11:
      draw_text_5x7(p, cx - 11.5f, cy - 3.5f, 1.0f, c, c, 0.0f, "KELP");
      break;
    case 12:
      glyph("?");
      break;
    case 13:
      glyph("\u2328");
      break;
    case 14:
      glyph("\u2715");
      break;
    case 15:
      glyph(">_");
      break;
    case 16:
      glyph("\u623B");
      break;
    case 17:
      glyph("+");
      break;
    case 18:
      glyph("Aa");
      break;
    case 19:
      glyph("\u2191");
      break;
    case 20:
      glyph("\u2715");
      break;
    case 21:
      glyph("\u2726");
      break;
    case 22:
      draw_ring(p, cx, cy, 5.0f, 1.5f, c);
      draw_disc(p, cx, cy, 1.8f, c);
      break;
    case 23:
      glyph("\u805E");
      break;
    case 24:
      glyph("\u270E");
      break;
    case 25:
      for (int i = 0; i < 9; i++) {
        const float h = (float)i / 9.0f;
        const DrawColour sw{0.5f + 0.5f * std::cos(6.2832f * h),
                            0.5f + 0.5f * std::cos(6.2832f * (h - 0.333f)),
                            0.5f + 0.5f * std::cos(6.2832f * (h - 0.667f)), c.a};
        draw_rect(p, cx - 6 + (float)(i % 3) * 4.2f, cy - 6 + (float)(i / 3) * 4.2f, 3.4f, 3.4f,
                  sw);
      }
      break;
    default:
      glyph("\u26C1");
      break;
  }
}

void keys_sheet_draw(KeysSheet* k, Painter* p, DrawRect panel, float scale, float eased,
                     DrawColour accent, double now, bool reduced_motion) {
  const KeysLayout* l = keys_sheet_layout(k, panel, scale);
  draw_set_alpha(p, clampf(eased, 0.0f, 1.0f));
  draw_shadow_around(p, panel, 14.0f, 18.0f, 0.5f);
  draw_rrect(p, panel, 14.0f, THEME_PANEL);
  draw_rrect_frame(p, panel, 14.0f, 1.0f, THEME_EDGE);
  text_draw(p, KEYS_GROUP_STYLE, panel.x + 22.0f, panel.y + 20.0f, TEXT_LEFT, THEME_DIM, "KEYS",
            false);
  const DrawRect close = keys_sheet_close_rect(panel);
  if (k->hover == KEYS_HIT_CLOSE) draw_rrect(p, close, 8.0f, THEME_BUTTON);
  constexpr TextStyle kX = {TEXT_HEAD, 14.0f, 700, 0.0f};
  text_draw(p, kX, close.x + close.w * 0.5f, close.y + (close.h - text_line_height(kX)) * 0.5f,
            TEXT_CENTRE, THEME_INK, "\u2715", false);

  const DrawRect v = keys_sheet_view(panel);
  draw_set_clip(p, &v);
  const float ox = panel.x, oy = v.y - k->shown_scroll;
  const float base = draw_alpha(p);
  const float cap_lh = text_line_height(KEYS_CAP_STYLE);
  const float label_lh = text_line_height(KEYS_LABEL_STYLE);
  for (int32_t gi = 0; gi < KEYS_GROUPS; gi++) {
    const DrawRect c{ox + l->cards[gi].x, oy + l->cards[gi].y, l->cards[gi].w, l->cards[gi].h};
    if (c.y > v.y + v.h || c.y + c.h < v.y) continue;
    const int32_t step = keys_reveal_step(k->opened_at, now, gi, -1, reduced_motion);
    if (step <= 0) continue;
    if (step >= KEYS_STEPS) {
      draw_rrect(p, c, 10.0f, THEME_BUTTON);
      draw_rrect_frame(p, c, 10.0f, 1.0f, THEME_EDGE);
    } else {
      // The card comes in through an ordered dither of 6-point cells.
      const int shown = step * 16 / KEYS_STEPS;
      const int cols = (int)std::ceil(c.w / 6.0f), rows = (int)std::ceil(c.h / 6.0f);
      for (int r = 0; r < rows; r++)
        for (int cc = 0; cc < cols; cc++)
          if (kBayer[r & 3][cc & 3] < shown)
            draw_rect(p, c.x + (float)cc * 6.0f, c.y + (float)r * 6.0f,
                      std::min(6.0f, c.w - (float)cc * 6.0f), std::min(6.0f, c.h - (float)r * 6.0f),
                      THEME_BUTTON);
    }
    draw_set_alpha(p, base * (float)step / KEYS_STEPS);
    text_draw(p, KEYS_GROUP_STYLE, c.x + kInset, c.y + 9.0f, TEXT_LEFT, accent, g_groups[gi].title,
              false);
    draw_set_alpha(p, base);
    for (int32_t ri = 0; ri < g_groups[gi].count; ri++) {
      const int32_t rs = keys_reveal_step(k->opened_at, now, gi, ri, reduced_motion);
      if (rs <= 0) continue;
      draw_set_alpha(p, base * (float)rs / KEYS_STEPS);
      KeysRowGeometry g;
      keys_row_geometry(l, gi, ri, &g);
      char caps[KEYS_MAX_CAPS][KEYS_CAPS_BYTES];
      keys_split_caps(g_groups[gi].rows[ri].caps, caps, KEYS_MAX_CAPS);
      for (int32_t i = 0; i < g.caps; i++) {
        const DrawRect cr{c.x + g.cap[i].x, c.y + g.cap[i].y, g.cap[i].w, g.cap[i].h};
        draw_rrect(p, cr, 4.0f, THEME_PANEL);
        draw_rrect_frame(p, cr, 4.0f, 1.0f, THEME_EDGE);
        text_draw(p, KEYS_CAP_STYLE, cr.x + cr.w * 0.5f, cr.y + (cr.h - cap_lh) * 0.5f, TEXT_CENTRE,
                  THEME_INK, caps[i], false);
      }
      keys_icon_draw(p, g_groups[gi].rows[ri].icon, c.x + g.icon.x + g.icon.w * 0.5f,
                     c.y + g.icon.y + g.icon.h * 0.5f, with_alpha(THEME_INK, 0.9f));
      char label[128];
      fit(KEYS_LABEL_STYLE, g_groups[gi].rows[ri].label, g.label_w, label, sizeof label);
      text_draw(p, KEYS_LABEL_STYLE, c.x + g.label_x,
                c.y + g.cap[0].y + (KEYS_CAP_H - label_lh) * 0.5f, TEXT_LEFT,
                with_alpha(THEME_INK, 0.82f), label, false);
    }
    draw_set_alpha(p, base);
  }
  draw_set_clip(p, nullptr);
  draw_set_alpha(p, 1.0f);
}
