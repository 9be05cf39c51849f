#include "app/whats_new.h"

#include <SDL.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/theme.h"
#include "base/log.h"
#include "ui/text.h"

const char* const WHATSNEW_LINK = "https://seaglass.audio/kelp-nova";

namespace {

#define N(text) \
  { WHATSNEW_NEW, text }

const WhatsNewItem k105[] = {
    N("Launch Control XL 3 in DAW mode: play, record, rewind, monitor, clear and the loop on the "
      "top buttons; the four scenes, zen, library, inputs and settings below; fader 1 is volume, "
      "knob 1 pan, knob 8 the cursor. its lights and screen follow along"),
    N("a cursor jump never moves the leaves: click somewhere else, or let the loop come round, and "
      "they stay put. only real travel brushes them. the CURSOR PHYSICS setting is gone — nothing "
      "left to switch"),
    N("this card leafs through every version: the two arrows at its top right, or the left and "
      "right keys"),
};
const WhatsNewItem k104[] = {
    N("the picture holds still while you play: the camera only moves when the cursor nears an "
      "edge"),
    N("the strip: drag either end of the box to show more or less of the sketch. the middle button "
      "carries the box along"),
    N("the gem sits on the lane your next take will land in"),
    N("your pointer draws the peaks toward it as it passes, and they ease back"),
    N("the cursor lights the leaves but no longer pushes them about — KELP → CURSOR PHYSICS turns "
      "that back on. and they never flinch when the loop comes round"),
};
const WhatsNewItem k103[] = {
    N("the XY stick: left and right still pan; up and down is now volume — the middle is as it "
      "came in, the top twice as loud and brighter, the bottom fades out and warmer"),
    N("its knob is a small dithered orb in your take's colour: it goes low-poly as you push up and "
      "square as you pull down. hold the stick and the big pad shows it large"),
    N("the leaves lean half as far when the cursor jumps over them — a click, a seek or a loop "
      "wrap no longer throws them about"),
};
const WhatsNewItem k102[] = {
    N("the pointer is now a small dithered pyramid that turns gently — over anything clickable it "
      "swings into a gold pointer, over the canvas it lies down in your take's colour"),
    N("move it and it leaves sparks. its tip is always the exact spot you click"),
    N("a maximise button, between minimise and close — click it again to come back"),
};
const WhatsNewItem k101[] = {
    N("the sky is a shadow box: move the pointer over the canvas and it leans — the gas barely, "
      "the "
      "stars a little, the rocks and meteors most. leave, and it settles back"),
};
const WhatsNewItem k100[] = {
    N("Kelp NOVA runs on linux — the same sketches, drawn as leaves under the stars. copy a sketch "
      "folder from your iphone into Music/kelp and it opens with its takes, loop and zoom as you "
      "left them"),
    N("click KELP (or press enter) for every setting, each with a line on what it does"),
    N("mouse and keys: space plays, R records, drag the canvas to scratch, ctrl + wheel zooms. "
      "press ? for every key"),
    N("EXPORT WAV — just the loop when one is set — into Music/kelp/exports"),
    N("MIDI in — the C1 row is the transport, CC 10 and CC 74 move the XY mixer"),
    N("the rig: every input on your interface in one panel (A) — levels, mutes, pan, stereo pairs, "
      "and four scenes you switch with a click. Kelp NOVA records the one mix it makes"),
    N("LIBRARY and INPUTS slide out of the left edge and sit beside your sketch — their two doors "
      "are left of the name, lit while they're open"),
    N("in the library: play on the left of a row, load on the right, click the name to rename it"),
    N("ctrl + , opens settings from anywhere. ctrl + C clears the sketch (it asks first). the "
      "arrows move the XY stick a third at a time"),
    N("the sky behind the leaves is alive: nebulae, galaxies, ships a long way off, rocks drifting "
      "past — and meteors that bend round them, or don't make it"),
};
#undef N

template <size_t n>
constexpr int32_t count_of(const WhatsNewItem (&)[n]) {
  return (int32_t)n;
}

const WhatsNewEntry kEntries[WHATSNEW_ENTRIES] = {
    {"1.0.5", "OCT 2026", "hands on", k105, count_of(k105), WHATSNEW_LINK, "KELP NOVA →"},
    {"1.0.4", "OCT 2026", "a steadier picture", k104, count_of(k104), WHATSNEW_LINK, "KELP NOVA →"},
    {"1.0.3", "OCT 2026", "the stick is volume", k103, count_of(k103), WHATSNEW_LINK,
     "KELP NOVA →"},
    {"1.0.2", "OCT 2026", "a pointer with a shape", k102, count_of(k102), WHATSNEW_LINK,
     "KELP NOVA →"},
    {"1.0.1", "OCT 2026", "the sky leans", k101, count_of(k101), WHATSNEW_LINK, "KELP NOVA →"},
    {"1.0.0", "OCT 2026", "Kelp NOVA on linux", k100, count_of(k100), WHATSNEW_LINK,
     "THE LINUX BUILD →"},
};

constexpr int64_t kPartCeiling = 99999999999999LL;

// One part at *s (moved past it and its dot).
int64_t read_part(const char** s) {
  const char* p = *s;
  bool negative = false, bad = false;
  int64_t v = 0;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  for (; *p && *p != '.'; p++) {
    if (*p < '0' || *p > '9') {
      bad = true;
      continue;
    }
    if (v <= kPartCeiling) v = v * 10 + (*p - '0');
  }
  *s = *p == '.' ? p + 1 : p;
  if (bad) return 0;
  return negative ? -v : v;
}

}  // namespace

const WhatsNewEntry* whatsnew_entry(int32_t index) {
  return index >= 0 && index < WHATSNEW_ENTRIES ? &kEntries[index] : nullptr;
}

const char* whatsnew_kind_tag(int32_t kind) {
  switch (kind) {
    case WHATSNEW_BETTER:
      return "BETTER";
    case WHATSNEW_FIXED:
      return "FIXED";
    default:
      return "NEW";
  }
}

int32_t version_compare(const char* a, const char* b) {
  a = a ? a : "";
  b = b ? b : "";
  while (*a == '.') a++;
  while (*b == '.') b++;
  while (*a || *b) {
    const int64_t x = *a ? read_part(&a) : 0;
    const int64_t y = *b ? read_part(&b) : 0;
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

int32_t whatsnew_find(const char* version) {
  int32_t best = -1;
  for (int32_t i = 0; i < WHATSNEW_ENTRIES; i++) {
    if (version_compare(kEntries[i].version, version) > 0) continue;
    if (best < 0 || version_compare(kEntries[i].version, kEntries[best].version) > 0) best = i;
  }
  return best;
}

// ---- the application's part ----

namespace {
bool stamp(char* seen, size_t size, const char* version) {
  snprintf(seen, size, "%s", version);
  return true;
}
}  // namespace

void whatsnew_init(WhatsNew* w) {
  std::memset(w, 0, sizeof *w);
  w->pending = -1;
  w->first_frame = -1;
  whatsnew_turn(&w->card, -1, false);
}

bool whatsnew_start(WhatsNew* w, char* seen, size_t seen_size, const char* version) {
  w->pending = -1;
  if (seen[0] && version_compare(seen, version) >= 0) return false;
  if (seen[0]) {
    w->pending = whatsnew_find(version);
    if (w->pending >= 0) {
      log_line("main: what's new in %s shows after launch", kEntries[w->pending].version);
      return false;
    }
  }
  stamp(seen, seen_size, version);
  log_line("main: what's new - nothing to show, %s stamped", version);
  return true;
}

bool whatsnew_auto_open(WhatsNew* w, double now, bool panel_open, bool name_editing) {
  if (w->first_frame < 0) w->first_frame = now;  // the first frame is being drawn
  if (w->pending < 0 || now < w->first_frame + WHATSNEW_AUTO_DELAY || panel_open || name_editing)
    return false;
  whatsnew_turn(&w->card, w->pending, false);
  w->pending = -1;
  return true;
}

bool whatsnew_closed(WhatsNew* w, char* seen, size_t seen_size, const char* version) {
  WhatsNewCard* c = &w->card;
  if (c->by_user || c->entry < 0) return false;
  stamp(seen, seen_size, version);
  c->by_user = true;  // stamped once
  log_line("ui: what's new %s seen", version);
  return true;
}

// ---- the card ----

void whatsnew_turn(WhatsNewCard* c, int32_t entry, bool by_user) {
  c->entry = entry >= 0 && entry < WHATSNEW_ENTRIES ? entry : -1;
  c->by_user = by_user;
  c->hover = WHATSNEW_HIT_NONE;
  c->pressed = WHATSNEW_HIT_NONE;
  c->scroll = 0;
}

void whatsnew_open_by_user(WhatsNewCard* c, const char* version, bool panel_open) {
  if (!panel_open) whatsnew_turn(c, whatsnew_find(version), true);
}

bool whatsnew_page(WhatsNewCard* c, int32_t v, bool panel_open) {
  if (!panel_open || c->entry < 0 || v == 0) return false;
  const int32_t to = c->entry + (v > 0 ? 1 : -1);
  if (to < 0 || to >= WHATSNEW_ENTRIES) return false;
  c->entry = to;
  c->scroll = 0;
  c->pressed = WHATSNEW_HIT_NONE;
  return true;
}

bool whatsnew_key(int32_t sdl_keycode, ActionList* out) {
  if (sdl_keycode == SDLK_LEFT) return actions_push(out, ACT_WHATS_NEW_PAGE, 1, nullptr), true;
  if (sdl_keycode == SDLK_RIGHT) return actions_push(out, ACT_WHATS_NEW_PAGE, -1, nullptr), true;
  return false;
}

namespace {
constexpr TextStyle kKicker = {TEXT_HEAD, 11.0f, 700, 3.0f};
constexpr TextStyle kHeadline = {TEXT_HEAD, 23.0f, 700, 0.0f};
constexpr TextStyle kDate = {TEXT_HEAD, 11.0f, 400, 2.0f};
constexpr TextStyle kPage = {TEXT_HEAD, 11.0f, 400, 1.0f};
constexpr TextStyle kTitle = {TEXT_HEAD, 19.0f, 600, 0.0f};
constexpr TextStyle kTag = {TEXT_HEAD, 9.0f, 700, 1.5f};
constexpr TextStyle kItem = {TEXT_HEAD, 16.0f, 400, 0.0f};
constexpr TextStyle kButton = {TEXT_HEAD, 12.0f, 700, 2.0f};
constexpr float kPad = 18.0f;
constexpr float kArrow = 28.0f;
constexpr float kTitleLine = 25.0f;
constexpr float kItemLine = 21.0f;
constexpr float kBullet = 19.0f;
constexpr int32_t kWrapRoom = 64;

// Wraps text into at most WHATSNEW_LINES_MAX lines; true when it needed more.
int32_t wrap(TextStyle style, const char* text, float width, WhatsNewLine* out, bool* cut) {
  int starts[kWrapRoom];
  const int n = text_wrap(style, text, width, starts, kWrapRoom);
  const int kept = std::min(n, (int)WHATSNEW_LINES_MAX);
  if (n > WHATSNEW_LINES_MAX) *cut = true;
  const int len = (int)std::strlen(text);
  for (int i = 0; i < kept; i++) {
    int end = i + 1 < n ? starts[i + 1] : len;
    while (end > starts[i] && (text[end - 1] == ' ' || text[end - 1] == '\n')) end--;
    out[i] = WhatsNewLine{starts[i], end - starts[i]};
  }
  return kept;
}

// The headline sits below both the kicker and the arrows, so a long version never runs under them.
float headline_top() {
  return std::fmax(kPad + text_line_height(kKicker) + 6, kPad - 6 + kArrow + 4);
}
float header_bottom() {
  return headline_top() + text_line_height(kHeadline) + 14;
}

bool inside(const DrawRect& r, float x, float y) {
  return r.w > 0 && x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h;
}

void headline(const WhatsNewEntry* e, char* out, size_t size) {
  snprintf(out, size, "%s %s", "Kelp NOVA", e->version);
  for (char* s = out; *s; s++)
    if (*s >= 'a' && *s <= 'z') *s = (char)(*s - 'a' + 'A');
}

float max_scroll(const WhatsNewLayout* l) {
  return std::fmax(0.0f, l->content_h - l->body_h);
}
}  // namespace

const WhatsNewLayout* whatsnew_layout(WhatsNewCard* c, float width, float scale) {
  WhatsNewLayout* l = &c->layout;
  if (l->valid && l->entry == c->entry && l->width == width && l->scale == scale) return l;
  std::memset(l, 0, sizeof *l);
  l->entry = c->entry;
  l->width = width;
  l->scale = scale;
  l->valid = true;
  l->links_y = -1;
  l->text_w = std::fmax(1.0f, width - 36);
  l->headline_y = headline_top();
  l->body_top = header_bottom();
  const WhatsNewEntry* e = whatsnew_entry(c->entry);
  if (!e) return l;
  l->title_lines = wrap(kTitle, e->title, l->text_w, l->title, &l->cut);
  float y = (float)std::max(1, (int)l->title_lines) * kTitleLine + 14 + 18;
  const int32_t items = std::min(e->item_count, WHATSNEW_ITEMS_MAX);
  for (int32_t i = 0; i < items; i++) {
    if (i > 0) y += 10;
    l->item_y[i] = y;
    l->item_lines[i] = wrap(kItem, e->items[i].text, l->text_w - kBullet, l->lines[i], &l->cut);
    y += (float)l->item_lines[i] * kItemLine + 14;
  }
  if (e->link && e->link[0]) {
    y += 18;
    l->links_y = y;
    y += 40;
  }
  l->content_h = y + 18;
  return l;
}

DrawRect whatsnew_button(WhatsNewCard* c, DrawRect r, float scale, int32_t button) {
  const WhatsNewLayout* l = whatsnew_layout(c, r.w, scale);
  switch (button) {
    case WHATSNEW_HIT_NEWER:
      return DrawRect{r.x + r.w - kPad - kArrow, r.y + kPad - 6, kArrow, kArrow};
    case WHATSNEW_HIT_OLDER:
      return DrawRect{r.x + r.w - kPad - 2 * kArrow - 6, r.y + kPad - 6, kArrow, kArrow};
    case WHATSNEW_HIT_GOT_IT:
      return DrawRect{r.x + kPad, r.y + r.h - kPad - 40, r.w - 2 * kPad, 40};
    case WHATSNEW_HIT_LINK:
    case WHATSNEW_HIT_SHARE: {
      if (l->links_y < 0) return DrawRect{0, 0, 0, 0};
      const float y = r.y + l->body_top + l->links_y - c->scroll;
      const float share_w = 110;
      if (button == WHATSNEW_HIT_SHARE) return DrawRect{r.x + r.w - kPad - share_w, y, share_w, 40};
      return DrawRect{r.x + kPad, y, r.w - 2 * kPad - share_w - 10, 40};
    }
    default:
      return DrawRect{0, 0, 0, 0};
  }
}

namespace {
DrawRect body_rect(const WhatsNewCard* c, DrawRect r) {
  const float top = c->layout.body_top;
  return DrawRect{r.x, r.y + top, r.w, std::fmax(0.0f, r.h - 76 - top)};
}

int32_t hit(WhatsNewCard* c, DrawRect r, float scale, float x, float y) {
  for (int32_t b = 0; b < WHATSNEW_BUTTONS; b++) {
    if (!inside(whatsnew_button(c, r, scale, b), x, y)) continue;
    // The link row scrolls under the header and the foot: only its visible part answers.
    if ((b == WHATSNEW_HIT_LINK || b == WHATSNEW_HIT_SHARE) && !inside(body_rect(c, r), x, y))
      continue;
    return b;
  }
  return WHATSNEW_HIT_NONE;
}
}  // namespace

bool whatsnew_pointer(WhatsNewCard* c, DrawRect rect, float scale, int32_t kind, int32_t button,
                      float x, float y, double now, ActionList* out) {
  const int32_t h = hit(c, rect, scale, x, y);
  const bool in = inside(rect, x, y);
  if (kind == 2) {
    c->hover = h;
    return in || c->pressed != WHATSNEW_HIT_NONE;
  }
  if (button != 1) return in;
  if (kind == 1) {
    c->pressed = h;
    return in;
  }
  const int32_t was = c->pressed;
  c->pressed = WHATSNEW_HIT_NONE;
  if (was == WHATSNEW_HIT_NONE) return in;
  if (h != was) return true;
  const WhatsNewEntry* e = whatsnew_entry(c->entry);
  switch (h) {
    case WHATSNEW_HIT_LINK:
      if (e) actions_push(out, ACT_OPEN_LINK, 0, e->link);
      break;
    case WHATSNEW_HIT_SHARE:
      if (e) {
        actions_push(out, ACT_COPY_TEXT, 0, e->link);
        c->copied_until = now + 1.5;
      }
      break;
    case WHATSNEW_HIT_GOT_IT:
      actions_push(out, ACT_CLOSE_PANEL, 0, nullptr);
      break;
    case WHATSNEW_HIT_OLDER:
      actions_push(out, ACT_WHATS_NEW_PAGE, 1, nullptr);
      break;
    case WHATSNEW_HIT_NEWER:
      actions_push(out, ACT_WHATS_NEW_PAGE, -1, nullptr);
      break;
    default:
      break;
  }
  return true;
}

void whatsnew_wheel(WhatsNewCard* c, DrawRect rect, float scale, float dy) {
  whatsnew_layout(c, rect.w, scale);
  c->layout.body_h = body_rect(c, rect).h;
  c->scroll = std::clamp(c->scroll - 48.0f * dy, 0.0f, max_scroll(&c->layout));
}

namespace {
DrawColour alpha_of(DrawColour c, float a) {
  return DrawColour{c.r, c.g, c.b, c.a * a};
}

void draw_line(Painter* p, TextStyle s, float x, float y, DrawColour colour, const char* text,
               WhatsNewLine line) {
  char buf[512];
  const size_t n = std::min((size_t)line.length, sizeof buf - 1);
  std::memcpy(buf, text + line.start, n);
  buf[n] = '\0';
  text_draw(p, s, x, y, TEXT_LEFT, colour, buf, false);
}

void draw_arrow(Painter* p, DrawRect b, bool left, bool hover, bool dim) {
  const float a = draw_alpha(p);
  if (dim) draw_set_alpha(p, a * 0.35f);
  draw_rrect(p, b, 7, hover && !dim ? DrawColour{1, 1, 1, 0.12f} : THEME_BUTTON);
  const float cx = b.x + b.w / 2, cy = b.y + b.h / 2, k = left ? 1.0f : -1.0f;
  const DrawPoint pts[3] = {{cx + 3 * k, cy - 6}, {cx - 3 * k, cy}, {cx + 3 * k, cy + 6}};
  draw_polyline(p, pts, 3, 1.8f, THEME_INK, false);
  draw_set_alpha(p, a);
}

void draw_button(Painter* p, DrawRect b, const char* label, DrawColour fill) {
  draw_rrect(p, b, 10, fill);
  text_draw(p, kButton, b.x + b.w / 2, b.y + (b.h - text_line_height(kButton)) / 2, TEXT_CENTRE,
            THEME_INK, label, false);
}
}  // namespace

void whatsnew_draw(WhatsNewCard* c, Painter* p, DrawRect r, float scale, float eased,
                   DrawColour accent, double now) {
  const WhatsNewLayout* l = whatsnew_layout(c, r.w, scale);
  const DrawRect body = body_rect(c, r);
  c->layout.body_h = body.h;
  c->scroll = std::clamp(c->scroll, 0.0f, max_scroll(l));
  const float alpha = draw_alpha(p);
  draw_set_alpha(p, alpha * std::clamp(eased, 0.0f, 1.0f));
  draw_shadow_around(p, r, 14, 24, 0.5f);
  draw_rrect(p, r, 14, THEME_PANEL);
  draw_rrect_frame(p, r, 14, 1, THEME_EDGE);

  const WhatsNewEntry* e = whatsnew_entry(c->entry);
  float y = r.y + kPad;
  text_draw(p, kKicker, r.x + kPad, y, TEXT_LEFT, accent, "WHAT'S NEW", false);
  const DrawRect older = whatsnew_button(c, r, scale, WHATSNEW_HIT_OLDER);
  const DrawRect newer = whatsnew_button(c, r, scale, WHATSNEW_HIT_NEWER);
  if (e) {
    char page[32];
    snprintf(page, sizeof page, "%d / %d", (int)(WHATSNEW_ENTRIES - c->entry),
             (int)WHATSNEW_ENTRIES);
    text_draw(p, kPage, older.x - 10, y, TEXT_RIGHT, THEME_DIM, page, false);
    y = r.y + l->headline_y;
    char head[64];
    headline(e, head, sizeof head);
    const float hw = text_draw(p, kHeadline, r.x + kPad, y, TEXT_LEFT, THEME_INK, head, false);
    text_draw(p, kDate, r.x + kPad + hw + 12,
              y + text_line_height(kHeadline) - text_line_height(kDate) - 3, TEXT_LEFT, THEME_DIM,
              e->date, false);
  }
  draw_arrow(p, older, true, c->hover == WHATSNEW_HIT_OLDER,
             c->entry < 0 || c->entry >= WHATSNEW_ENTRIES - 1);
  draw_arrow(p, newer, false, c->hover == WHATSNEW_HIT_NEWER, c->entry <= 0);

  if (e) {
    draw_set_clip(p, &body);
    const float top = body.y - c->scroll;
    for (int32_t i = 0; i < l->title_lines; i++)
      draw_line(p, kTitle, r.x + kPad, top + kTitleLine * (float)i, THEME_INK, e->title,
                l->title[i]);
    const int32_t items = std::min(e->item_count, WHATSNEW_ITEMS_MAX);
    for (int32_t i = 0; i < items; i++) {
      const float iy = top + l->item_y[i];
      draw_disc(p, r.x + kPad + 4.5f, iy + 6, 4.5f, accent);
      text_draw(p, kTag, r.x + kPad + kBullet, iy, TEXT_LEFT, accent,
                whatsnew_kind_tag(e->items[i].kind), false);
      for (int32_t k = 0; k < l->item_lines[i]; k++)
        draw_line(p, kItem, r.x + kPad + kBullet, iy + 14 + kItemLine * (float)k, THEME_INK,
                  e->items[i].text, l->lines[i][k]);
    }
    if (l->links_y >= 0) {
      const DrawRect link = whatsnew_button(c, r, scale, WHATSNEW_HIT_LINK);
      const DrawRect share = whatsnew_button(c, r, scale, WHATSNEW_HIT_SHARE);
      draw_button(
          p, link, e->link_label ? e->link_label : "WATCH →",
          c->hover == WHATSNEW_HIT_LINK ? alpha_of(accent, 0.45f) : alpha_of(accent, 0.25f));
      draw_button(p, share, now < c->copied_until ? "COPIED" : "SHARE",
                  c->hover == WHATSNEW_HIT_SHARE ? DrawColour{1, 1, 1, 0.12f} : THEME_BUTTON);
    }
    draw_set_clip(p, nullptr);
  }
  draw_button(p, whatsnew_button(c, r, scale, WHATSNEW_HIT_GOT_IT), "GOT IT",
              c->hover == WHATSNEW_HIT_GOT_IT ? alpha_of(accent, 0.45f) : THEME_BUTTON);
  draw_set_alpha(p, alpha);
}
