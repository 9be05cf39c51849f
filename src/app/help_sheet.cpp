#include "app/help_sheet.h"

#include <SDL_keycode.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/settings_panel.h"
#include "app/theme.h"
#include "base/text.h"

namespace {

const char* const kTagline = "Capture the idea in its essence and ship it.";

const HelpSection kSections[HELP_SECTIONS] = {
    {"\u25CF", "RECORD",
     "Press R, or click the red button, to start. Press it again to stop. Every take adds onto "
     "the same tape wherever the cursor sits \u2014 destructive by design, there's no undo. Click "
     "the canvas first to choose where the next take lands."},
    {"\u25B6", "PLAY",
     "SPACE plays and pauses. While recording it stops and keeps the take. S (\u25A0) stops. W "
     "(|<) goes back to the start \u2014 or to the loop's in point when the loop is on."},
    {"\u21A6", "MOVE MID-TAKE",
     "While recording, click anywhere on the canvas or the strip and the take keeps rolling from "
     "there. The drawing splits at the jump so you can see each piece."},
    {"\u25C6", "MOVE THE CURSOR",
     "[ and ] step the cursor a second back or on \u2014 hold Shift for five. Where [ ] need AltGr "
     "(German, French), the two keys right of P do it. Ctrl + \u2190 and \u2192 jump to the start "
     "of the take before or after. Home and End go to either end of the tape. Mid-take they work "
     "like a click: the take keeps rolling from where the cursor lands. Each sketch keeps its "
     "cursor: open it again, or restart Kelp NOVA, and it's where you left it."},
    {"\u2194", "SCRUB",
     "Drag the canvas sideways to scratch through the tape. How high you hold the mouse sets the "
     "top speed \u2014 near the top it's twice as fast, in the middle normal, at the bottom half. "
     "Let go and the tape coasts to a stop, then keeps playing if it was."},
    {"\u21BB", "LOOP",
     "Press L (or \u21BB) to loop between the in and out points. I (\u2913) drops the in point at "
     "the cursor, O (\u2912) the out point; drag the square handles on the canvas to move them. "
     "Press L while recording and the take you just made loops straight away \u2014 press R to "
     "play over it. Each pass shows as its own layer."},
    {"\u25AD", "THE STRIP",
     "The thin strip under the canvas is the whole sketch \u2014 one lane per take, newest on top, "
     "coloured by its sound. The box shows what the canvas is looking at: drag either end of it "
     "to show more or less \u2014 the other end stays put \u2014 or hold the middle button to "
     "carry "
     "it along. Drag the strip to jump around. Drag the flags at its ends to set the loop; that "
     "turns the loop on."},
    {"\u2316", "ZOOM & MOVE",
     "Ctrl + wheel, Ctrl + = and \u2212, or a touchpad pinch zoom in on what you are looking at. "
     "The wheel moves the view up and down, Shift + wheel along the take, a middle-drag any way. "
     "The camera follows the cursor until you move it \u2014 play, record, |<, the strip or a "
     "cursor key hand it back. Ctrl + 0 gives the zoom back to the camera. Smaller waves fade in "
     "as you zoom."},
    {"\u2248", "THE DRAWING",
     "Every take grows leaves: taller where it's louder, springing up with a flash, throwing "
     "sparks when it's loud, bright at first and settling over a few seconds. The passing cursor "
     "catches their tips; overdubs stack above in their own colours, and a bright ripple runs "
     "along a take when it finishes. The cursor is the spinning gem: it breathes with the input "
     "and spins faster while recording. Behind it the sky is busy \u2014 nebulae, galaxies, a pale "
     "moon, ships, rocks \u2014 and leans with the pointer like a shadow box, never touching the "
     "take. The cursor's travel brushes the leaves; its jumps don't. The pointer is a dithered "
     "pyramid that turns into a gold pointer over anything you can click and lies down in the "
     "take's colour over the canvas. All of it keeps still when your desktop asks for reduced "
     "animation. KELP \u2192 TRIANGLE DENSITY sets how many leaves show."},
    {"\u2726", "XY MIXER",
     "The small stick places each take. Left and right pan it, and the ear away from the pan gets "
     "a little duller. Up and down is its volume: the middle is as it came in, the top is twice "
     "as loud and brighter (highpass), the bottom fades to silence and warmer (lowpass). Drag it "
     "and it stays where you leave it; click it without dragging and it springs back to the "
     "middle. The arrow keys nudge it (the rig borrows them while it's open) and X centres it. "
     "Where it sits is printed into the take for good."},
    {"\u805E", "MONITOR",
     "Hear yourself live through the XY mixer. It's off every time Kelp NOVA starts \u2014 on "
     "laptop speakers it feeds back. Plug in headphones or an interface, then press M."},
    {"\u2726", "PAINT",
     "Pick a colour (keys 1\u20139, 0, - and =, or KELP \u2192 PAINT \u2014 while the rig is open, "
     "1\u20134 pick scenes instead) and it becomes the sketch's colour \u2014 the takes, the "
     "cursor "
     "and the controls follow it. With paint mode on (P), clicking the canvas also picks the "
     "height the next take paints at."},
    {"\u25CE", "AUDIO SETUP",
     "KELP \u2192 AUDIO picks the device (its output comes with it), the sample rate and the "
     "buffer size, and remembers the device by name. Every input on the device opens \u2014 the "
     "rig (A) decides which ones reach the take. EXCLUSIVE gives Kelp NOVA the device to itself "
     "for the lowest latency \u2014 other apps go quiet while it's on. If the mic is busy or "
     "blocked, a banner says so and how to fix it."},
    {"((\u00B7))", "BROADCAST",
     "KELP \u2192 SOUND \u2192 BROADCAST puts the sketch's output on the family's local stream: "
     "the "
     "family's other apps on the same wifi list it as an input and can record or play it. Nobody "
     "outside your network hears it, and the setting is remembered. If the row reads BLOCKED BY "
     "FIREWALL, let the computer's firewall pass the stream, then turn BROADCAST off and on to "
     "try again."},
    {"\u26C1", "THE RIG",
     "Every input on your interface in one place \u2014 press A or click \u26C1 at the top. Each "
     "row "
     "is an input: \u25C9 means it reaches the take; click it to mute (\u25CC) and keep its hiss "
     "off "
     "the tape, or drag up or down the column to mute several. Drag along a row to set its level "
     "\u2014 the white notch is the level, the dim bar is what's coming in, the bright bar what "
     "reaches the take; double-click for 0 dB. The diamond pans; \u266B joins two inputs into a "
     "stereo pair. \u26C1 at the bottom is the mix Kelp NOVA records \u2014 drag along it to trim "
     "everything. \u25B2 means an input clipped; click to clear. While the rig wears the gold "
     "edge, 1\u20134, the arrows and Enter work the rig. This build sees an interface the way "
     "Linux "
     "offers it \u2014 often as separate two-input devices. If you only see inputs 1 and 2, pick "
     "the device that holds the others in KELP \u2192 AUDIO \u2192 DEVICE."},
    {"\u2657", "SCENES",
     "The symbols along the top of the rig are four scenes: four setups of your inputs, each with "
     "its own levels, mutes and pan. Click one, or press 1\u20134 while the rig is open, to switch "
     "\u2014 even mid-take; the take hears it at once. A scene you haven't touched starts as a "
     "copy "
     "of the one you're on. Shift + click copies this setup into another scene; right-click "
     "changes its symbol. The small symbol on \u26C1 is the scene you're on. Each interface keeps "
     "its own rig, shared by every SeaGlass app \u2014 each app remembers its own scene."},
    {"\u25A2", "ZEN / FULL",
     "ZEN keeps the canvas as the show: play, the XY stick and record. Press Z for FULL \u2014 the "
     "scene and monitor moons, the time, and the whole transport. Click a moon to step it, drag "
     "it up or down to choose, or use the wheel. Everything else is under the KELP menu."},
    {"\u2191", "EXPORT",
     "E saves the sketch as a WAV \u2014 with a loop set, just the loop. \u2191 top right opens "
     "SHARE "
     "/ EXPORT: EXPORT WAV does the same, OPEN FOLDER shows the folder, COPY FILE puts the last "
     "WAV on the clipboard for Discord or a folder. WAVs go to exports in your library: "
     "Music/kelp/exports, or kelp/exports beside the kelp program in a portable copy \u2014 the "
     "sheet's foot says where. KELP \u2192 NORMALISE EXPORTS makes them loud."},
    {"\u270E", "NAME & NEW",
     "Click the name top left, or press F2, to rename the sketch \u2014 Enter keeps it, Esc drops "
     "it. + (or Ctrl + N) starts a new sketch; a take still rolling lands first. F11 fills the "
     "screen, and Kelp NOVA comes back that way next time."},
    {"\u266A", "MIDI",
     "Plug in any controller \u2014 no setup. The C1 row is the transport: C1 records, D1 plays, "
     "E1 "
     "goes to the start, F1 loops, G1 sets in, A1 sets out, D2 is monitor. CC 10 and CC 74 move "
     "the XY mixer. A Launch Control XL 3 goes into DAW mode on its own. Its top button row is "
     "play, record, back to the start, monitor, clear (it asks), loop in, loop out and loop; the "
     "bottom row is the four scenes, then ZEN / FULL, library, inputs and settings. Fader 1 and "
     "the first knob move the XY mixer, the last knob of the top row moves the cursor, and the "
     "last knobs of the second and third rows move the loop's in and out."},
    {"\u2302", "LIBRARY",
     "B, \u232B or \u623B slides the library out of the left edge, newest first \u2014 and back "
     "in; "
     "your sketch stays beside it. On a row: \u25B6 on the left (or SPACE) plays it where it sits, "
     "the arrow on the right (or Enter, or a double-click) loads it, a click on its name (or F2) "
     "renames it. A right-click has Rename, Export WAV, Show in file manager and Delete. Delete, "
     "or the bin on hover, slides the card open; its bin (or Delete again) asks before anything "
     "goes. \u9332 starts a new sketch. FOLDERS \u2192 IMPORT FILE brings in audio \u2014 or drop "
     "files anywhere on the window. Each sketch is a folder in the library (Music/kelp unless you "
     "moved it); copy one in from your iPhone and it opens with its takes, loop and zoom as you "
     "left them."},
    {"\u2715", "CLEAR",
     "Ctrl+C, or KELP \u2192 CLEAR SKETCH, wipes the audio and every take's drawing. There's no "
     "undo."},
};

const HelpLink kLinks[HELP_LINKS] = {
    {"\u2328", "KEYS", ACT_KEYS},
    {"\u7DF4", "TRAINING", ACT_TRAINING},
    {"\u65B0", "WHAT'S NEW", ACT_WHATS_NEW},
    {"\u8A71", "DISCORD", ACT_OPEN_LINK},
};

constexpr float kLinHELP_TEXT_X = 73.0f;
constexpr float kLinkInset = 13.0f;
constexpr float kClose = 28.0f;

float clampf(float v, float lo, float hi) {
  return std::max(lo, std::min(hi, v));
}

int wrap(TextStyle s, const char* text, float width, int32_t* starts) {
  int tmp[HELP_MAX_LINES];
  const int n = text_wrap(s, text, width, tmp, HELP_MAX_LINES);
  for (int i = 0; i < n; i++) starts[i] = tmp[i];
  return n;
}

// Line i of text (without the spaces the wrap skipped at its end) into out.
void line_of(const char* text, const int32_t* starts, int32_t count, int32_t i, char* out,
             size_t size) {
  const size_t from = (size_t)starts[i];
  size_t to = i + 1 < count ? (size_t)starts[i + 1] : strlen(text);
  while (to > from && (text[to - 1] == ' ' || text[to - 1] == '\n')) to--;
  const size_t n = std::min(to - from, size - 1);
  memcpy(out, text + from, n);
  out[n] = 0;
}

void draw_lines(Painter* p, TextStyle s, float x, float y, float lh, const char* text,
                const int32_t* starts, int32_t count, DrawColour c) {
  char line[1024];
  for (int32_t i = 0; i < count; i++) {
    line_of(text, starts, count, i, line, sizeof line);
    text_draw(p, s, x, y + (float)i * lh, TEXT_LEFT, c, line, false);
  }
}

DrawColour with_alpha(DrawColour c, float a) {
  c.a *= a;
  return c;
}

}  // namespace

const char* const HELP_COMMUNITY_LINK = SETTINGS_COMMUNITY_LINK;

const char* help_tagline() {
  return kTagline;
}

const HelpSection* help_section(int32_t i) {
  return i >= 0 && i < HELP_SECTIONS ? &kSections[i] : nullptr;
}

const HelpLink* help_link(int32_t i) {
  return i >= 0 && i < HELP_LINKS ? &kLinks[i] : nullptr;
}

void help_link_text(int32_t i, int32_t done, int32_t total, const char* version, char* out,
                    size_t size) {
  switch (i) {
    case 0:
      snprintf(out, size, "%s",
               "Every key on one sheet \u2014 press ? anywhere. Rest the pointer on a control to "
               "see its key.");
      break;
    case 1:
      snprintf(out, size,
               "Little lists of things to try. They tick themselves off as you do them \u2014 %d "
               "of %d so far.",
               (int)done, (int)total);
      break;
    case 2:
      snprintf(out, size, "What changed in %s.", version && version[0] ? version : "this version");
      break;
    case 3:
      snprintf(out, size, "%s", "Support, bug reports, feature talk \u2014 the SeaGlass server.");
      break;
    default:
      if (size) out[0] = 0;
  }
}

float help_tagline_wrap(float x) {
  return x - 44.0f;
}
float help_section_wrap(float x) {
  return x - 86.0f;
}
float help_link_wrap(int32_t link, float x) {
  return link == 3 ? x - 106.0f : x - 104.0f;
}

void help_sheet_init(HelpSheet* h) {
  memset(h, 0, sizeof *h);
  h->hover = HELP_HIT_NONE;
  h->pressed = HELP_HIT_NONE;
  h->training_total = 6;
}

void help_sheet_open(HelpSheet* h) {
  h->scroll = 0;
  h->hover = HELP_HIT_NONE;
  h->pressing = false;
  h->pressed = HELP_HIT_NONE;
}

DrawRect help_sheet_view(DrawRect panel) {
  return DrawRect{panel.x, panel.y + HELP_HEADER_H, panel.w,
                  std::max(0.0f, panel.h - HELP_HEADER_H - HELP_FOOT_PAD)};
}

DrawRect help_sheet_close_rect(DrawRect panel) {
  return DrawRect{panel.x + panel.w - 14.0f - kClose, panel.y + 12.0f, kClose, kClose};
}

const HelpLayout* help_sheet_layout(HelpSheet* h, DrawRect panel, float scale) {
  HelpLayout* l = &h->layout;
  const float x = panel.w;
  char version[32];
  text_copy(version, sizeof version, h->whats_new_version);
  if (!(l->valid && l->width == x && l->scale == scale && l->done == h->training_done &&
        l->total == h->training_total && strcmp(l->version, version) == 0)) {
    memset(l, 0, sizeof *l);
    l->valid = true;
    l->width = x;
    l->scale = scale;
    l->done = h->training_done;
    l->total = h->training_total;
    text_copy(l->version, sizeof l->version, version);
    text_set_pixel_scale(scale);
    l->text_lh = text_line_height(HELP_TEXT_STYLE);
    l->title_lh = text_line_height(HELP_TITLE_STYLE);
    l->glyph_lh = text_line_height(HELP_GLYPH_STYLE);
    l->tagline_lines = wrap(HELP_TEXT_STYLE, kTagline, help_tagline_wrap(x), l->tagline_starts);
    float y = (float)std::max(1, l->tagline_lines) * l->text_lh + 38.0f;
    for (int32_t i = 0; i < HELP_SECTIONS; i++) {
      l->section_lines[i] =
          wrap(HELP_TEXT_STYLE, kSections[i].text, help_section_wrap(x), l->section_starts[i]);
      l->section_y[i] = y;
      l->section_h[i] =
          std::max(l->glyph_lh, (float)l->section_lines[i] * l->text_lh + l->title_lh + 3.0f);
      y += l->section_h[i] + (i + 1 < HELP_SECTIONS ? 18.0f : 0.0f);
    }
    y += 49.0f;
    for (int32_t i = 0; i < HELP_LINKS; i++) {
      help_link_text(i, l->done, l->total, version, l->link_text[i], HELP_LINK_TEXT);
      l->link_lines[i] =
          wrap(HELP_TEXT_STYLE, l->link_text[i], help_link_wrap(i, x), l->link_starts[i]);
      l->link_y[i] = y;
      l->link_h[i] =
          std::max(l->glyph_lh, (float)l->link_lines[i] * l->text_lh + l->title_lh + 3.0f) + 8.0f;
      y += l->link_h[i] + (i + 1 < HELP_LINKS ? 18.0f : 0.0f);
    }
    l->content_h = y + 30.0f;
  }
  h->view_h = help_sheet_view(panel).h;
  h->scroll = clampf(h->scroll, 0.0f, help_sheet_max_scroll(h));
  return l;
}

float help_sheet_max_scroll(const HelpSheet* h) {
  return std::max(0.0f, h->layout.content_h - h->view_h);
}

DrawRect help_sheet_link_rect(const HelpSheet* h, DrawRect panel, int32_t link) {
  const DrawRect v = help_sheet_view(panel);
  return DrawRect{panel.x + kLinkInset, v.y + h->layout.link_y[link] - h->scroll,
                  panel.w - 2.0f * kLinkInset, h->layout.link_h[link]};
}

int32_t help_sheet_hit(const HelpSheet* h, DrawRect panel, float x, float y) {
  auto in = [&](DrawRect r) { return x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h; };
  if (!in(panel)) return HELP_HIT_NONE;
  if (in(help_sheet_close_rect(panel))) return HELP_HIT_CLOSE;
  if (!in(help_sheet_view(panel)) || !h->layout.valid) return HELP_HIT_NONE;
  for (int32_t i = 0; i < HELP_LINKS; i++)
    if (in(help_sheet_link_rect(h, panel, i))) return i;
  return HELP_HIT_NONE;
}

bool help_sheet_key(HelpSheet* h, int32_t key) {
  const float page = std::max(40.0f, h->view_h - 40.0f);
  float to = h->scroll;
  switch (key) {
    case SDLK_HOME:
      to = 0;
      break;
    case SDLK_END:
      to = help_sheet_max_scroll(h);
      break;
    case SDLK_PAGEUP:
      to -= page;
      break;
    case SDLK_PAGEDOWN:
      to += page;
      break;
    case SDLK_UP:
      to -= HELP_KEY_STEP;
      break;
    case SDLK_DOWN:
      to += HELP_KEY_STEP;
      break;
    default:
      return false;
  }
  h->scroll = clampf(to, 0.0f, help_sheet_max_scroll(h));
  return true;
}

void help_sheet_wheel(HelpSheet* h, float dy) {
  h->scroll = clampf(h->scroll - dy * HELP_WHEEL_STEP, 0.0f, help_sheet_max_scroll(h));
}

bool help_sheet_pointer(HelpSheet* h, DrawRect panel, int32_t kind, float x, float y,
                        ActionList* out) {
  const int32_t hit = help_sheet_hit(h, panel, x, y);
  const bool inside =
      x >= panel.x && x < panel.x + panel.w && y >= panel.y && y < panel.y + panel.h;
  if (kind == 1) {
    if (!inside) return false;
    h->pressing = true;
    h->pressed = hit;
    return true;
  }
  h->hover = hit;
  if (kind == 2) return inside || h->pressing;
  if (!h->pressing) return inside;
  h->pressing = false;
  const int32_t was = h->pressed;
  h->pressed = HELP_HIT_NONE;
  if (was == HELP_HIT_NONE || was != hit) return true;
  if (was == HELP_HIT_CLOSE)
    actions_push(out, ACT_CLOSE_PANEL, 0, nullptr);
  else if (was == 3)
    actions_push(out, kLinks[was].action, 0, HELP_COMMUNITY_LINK);
  else
    actions_push(out, kLinks[was].action, 0, nullptr);
  return true;
}

void help_sheet_draw(HelpSheet* h, Painter* p, DrawRect panel, float scale, float eased,
                     DrawColour accent) {
  const HelpLayout* l = help_sheet_layout(h, panel, scale);
  const float a = clampf(eased, 0.0f, 1.0f);
  draw_set_alpha(p, a);
  draw_shadow_around(p, panel, 14.0f, 18.0f, 0.5f);
  draw_rrect(p, panel, 14.0f, THEME_PANEL);
  draw_rrect_frame(p, panel, 14.0f, 1.0f, THEME_EDGE);
  constexpr TextStyle kHeader = {TEXT_MONO, 11.0f, 700, 2.0f};
  text_draw(p, kHeader, panel.x + 22.0f, panel.y + 20.0f, TEXT_LEFT, THEME_DIM, "HELP", false);
  const DrawRect c = help_sheet_close_rect(panel);
  if (h->hover == HELP_HIT_CLOSE) draw_rrect(p, c, 8.0f, THEME_BUTTON);
  text_draw(p, HELP_TITLE_STYLE, c.x + c.w * 0.5f, c.y + (c.h - l->title_lh) * 0.5f, TEXT_CENTRE,
            THEME_INK, "\u2715", false);

  const DrawRect v = help_sheet_view(panel);
  draw_set_clip(p, &v);
  const float top = v.y - h->scroll;
  draw_lines(p, HELP_TEXT_STYLE, panel.x + 22.0f, top, l->text_lh, kTagline, l->tagline_starts,
             l->tagline_lines, THEME_DIM);
  for (int32_t i = 0; i < HELP_SECTIONS; i++) {
    const float y = top + l->section_y[i];
    if (y > v.y + v.h || y + l->section_h[i] < v.y) continue;
    text_draw(p, HELP_GLYPH_STYLE, panel.x + HELP_GLYPH_X, y, TEXT_CENTRE, accent,
              kSections[i].glyph, false);
    text_draw(p, HELP_TITLE_STYLE, panel.x + HELP_TEXT_X, y, TEXT_LEFT, THEME_INK,
              kSections[i].title, false);
    draw_lines(p, HELP_TEXT_STYLE, panel.x + HELP_TEXT_X, y + l->title_lh + 3.0f, l->text_lh,
               kSections[i].text, l->section_starts[i], l->section_lines[i], THEME_DIM);
  }
  for (int32_t i = 0; i < HELP_LINKS; i++) {
    const DrawRect r = help_sheet_link_rect(h, panel, i);
    if (r.y > v.y + v.h || r.y + r.h < v.y) continue;
    const bool hot = h->hover == i;
    draw_rrect(p, r, 10.0f, hot ? with_alpha(accent, 0.22f) : THEME_BUTTON);
    draw_rrect_frame(p, r, 10.0f, 1.0f, hot ? accent : THEME_EDGE);
    text_draw(p, HELP_GLYPH_STYLE, panel.x + HELP_GLYPH_X, r.y + 4.0f, TEXT_CENTRE, accent,
              kLinks[i].glyph, false);
    text_draw(p, HELP_TITLE_STYLE, panel.x + kLinHELP_TEXT_X, r.y + 4.0f, TEXT_LEFT, THEME_INK,
              kLinks[i].title, false);
    draw_lines(p, HELP_TEXT_STYLE, panel.x + kLinHELP_TEXT_X, r.y + 4.0f + l->title_lh + 3.0f,
               l->text_lh, l->link_text[i], l->link_starts[i], l->link_lines[i], THEME_DIM);
  }
  draw_set_clip(p, nullptr);
  draw_set_alpha(p, 1.0f);
}
