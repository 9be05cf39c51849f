// The RIG panel over a real rig controller bound to a hand-made stream on a scratch rigs folder:
// its size, zones, drags, double clicks, wheel and keys as edits the controller's document shows,
// the footer line, and one drawing on a software canvas.
#include "app/rig_panel.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "support/fontconfig_leaks.h"
#include "support/soft_canvas.h"
#include "support/tmpdir.h"
#include "ui/text.h"

namespace {

StreamBinding binding_of(int inputs, const char* api = "jack") {
  StreamBinding b{};
  snprintf(b.api, sizeof b.api, "%s", api);
  snprintf(b.device_name, sizeof b.device_name, "Test Card %d", inputs);
  rig_key(b.api, b.device_name, b.key);
  b.inputs = inputs;
  b.device_inputs = inputs;
  b.rate = 48000.0;
  return b;
}

// A controller framed until its rig is READY, a software canvas with text, and an open panel
// drawn without motion at (20, 20).
struct Desk {
  TmpDir dir{"rigpanel"};
  SoftCanvas canvas{1000, 800};
  RigController* rc = nullptr;
  RigPanel* panel = nullptr;
  StreamBinding binding{};
  RigPanelFrame f{};
  double t = 100.0;

  explicit Desk(int inputs, const char* api = "jack", int32_t saved_sel = -1) {
    EXPECT_EQ(text_init(canvas.renderer), 0);
    text_set_pixel_scale(1.0f);
    RigControllerConfig cfg{};
    cfg.app_name = "kelp";
    cfg.app_version = "test";
    cfg.folder = dir.path.c_str();
    cfg.no_watch = true;
    cfg.poll_ms = 50;
    rc = rig_controller_new(&cfg);
    binding = binding_of(inputs, api);
    // As the engine does for a new stream: the mixer first, then the binding.
    RigPlan fallback;
    rig_default_plan(api, inputs, &fallback);
    rig_bind_stream(rig_controller_mixer(rc), binding.rate, inputs, rig_tag(binding.key),
                    &fallback);
    rig_controller_bind(rc, &binding);
    rig_controller_set_stream_running(rc, true);
    RigControllerStatus st{};
    for (int i = 0; i < 500 && st.state != RIG_READY; i++) {
      rig_controller_frame(rc, t += 0.01, NAN);
      rig_controller_status(rc, &st);
      if (st.state != RIG_READY) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(st.state, RIG_READY);
    panel = rig_panel_new(canvas.p, rc, 0.0f, saved_sel);
    const RigPanelSize s = rig_panel_size(panel, 900, 760);
    f = RigPanelFrame{{20, 20, s.w, s.h}, 1.0f, t, 1.0 / 60, true, RIG_KEYS_ALL};
    rig_panel_open(panel, t);
    frame();
  }
  ~Desk() {
    rig_panel_free(panel);
    rig_controller_free(rc);
    text_free();
  }
  void frame(double dt = 1.0 / 60) {
    t += dt;
    f.now = t;
    f.dt = dt;
    rig_controller_frame(rc, t, NAN);
    rig_panel_draw(panel, &f);
  }
  const RigScene& scene() { return doc()->scenes[doc()->active_scene]; }
  const RigDoc* doc() { return rig_controller_doc(rc); }
  const RigChannel& ch(int c) { return scene().channels[c]; }
  bool send(SDL_Event e) { return rig_panel_event(panel, &e, &f); }
  bool move(float x, float y) {
    SDL_Event e{};
    e.type = SDL_MOUSEMOTION;
    e.motion.x = (int)std::lround(f.rect.x + x);
    e.motion.y = (int)std::lround(f.rect.y + y);
    return send(e);
  }
  bool button(bool down, float x, float y, int which = SDL_BUTTON_LEFT, int clicks = 1) {
    move(x, y);
    SDL_Event e{};
    e.type = down ? SDL_MOUSEBUTTONDOWN : SDL_MOUSEBUTTONUP;
    e.button.button = (Uint8)which;
    e.button.clicks = (Uint8)clicks;
    e.button.x = (int)std::lround(f.rect.x + x);
    e.button.y = (int)std::lround(f.rect.y + y);
    return send(e);
  }
  void click(float x, float y, int which = SDL_BUTTON_LEFT, int clicks = 1) {
    button(true, x, y, which, clicks);
    button(false, x, y, which, clicks);
  }
  bool wheel(float notches) {
    SDL_Event e{};
    e.type = SDL_MOUSEWHEEL;
    e.wheel.y = (int)notches;
    e.wheel.preciseY = notches;
    e.wheel.direction = SDL_MOUSEWHEEL_NORMAL;
    return send(e);
  }
  bool key(SDL_Keycode sym, uint16_t mod = 0, bool repeat = false) {
    SDL_Event e{};
    e.type = SDL_KEYDOWN;
    e.key.keysym.sym = sym;
    e.key.keysym.mod = mod;
    e.key.repeat = repeat;
    return send(e);
  }
  void settle() {  // lets the controller take what the panel asked for
    for (int i = 0; i < 3; i++) frame();
  }
  float row_y(int channel) {  // the middle of a row, panel-local
    RigPanelShape s;
    rig_panel_shape(panel, &s);
    return RIG_PANEL_LIST_Y + RIG_PANEL_LIST_PAD + s.rows[channel].y - s.scroll + 16.0f;
  }
  float bus_y() {  // the middle of the bus, panel-local
    RigPanelShape s;
    rig_panel_shape(panel, &s);
    return s.list_h + 64.0f + 26.0f;
  }
  float fader_x(float gain) {
    float x0, x1;
    rig_panel_fader_span(f.rect.w, false, &x0, &x1);
    return x0 + (x1 - x0) * (float)rig_taper_position(rig_gain_to_db(gain));
  }
  int32_t selected() {
    int32_t s;
    rig_panel_view(panel, nullptr, &s);
    return s;
  }
  float scroll_rows() {
    float r;
    rig_panel_view(panel, &r, nullptr);
    return r;
  }
};

// ---- pure helpers ----

TEST(RigPanelRules, SizeFollowsTheInputsAndTheRoom) {
  struct Case {
    float aw, ah;
    int inputs;
    float list_h;
    float w, h;
  } cases[] = {
      {900, 900, 2, -1, 440, 3 * 34 - 2 + 8 + 152},    // 2 inputs: three rows' height
      {900, 900, 20, -1, 440, 12 * 34 - 2 + 8 + 152},  // 20 inputs: twelve rows
      {900, 900, 5, 200, 440, 352},                    // the animated height of the same device
      {360, 900, 4, -1, 360, 4 * 34 + 6 + 152},
      {300, 900, 4, -1, 300, 4 * 34 + 6 + 152},  // under 340 available
      {900, 300, 20, -1, 440, 300},              // the room limits the height
      {900, 200, 20, -1, 440, 260},              // but the list keeps 108
  };
  for (const Case& c : cases) {
    const RigPanelSize s = rig_panel_size_rule(c.aw, c.ah, c.inputs, c.list_h);
    EXPECT_EQ(s.w, c.w) << c.aw << " " << c.inputs;
    EXPECT_EQ(s.h, c.h) << c.ah << " " << c.inputs;
  }
}

TEST(RigPanelRules, ZonesInPanelCoordinates) {
  RigPanelRow rows[3] = {{0, 0, 1, true}, {1, 34, 0, false}, {2, 34, 1, true}};
  const RigPanelShape s{440, 412, 108, rows, 3, 0, false};
  struct Case {
    float x, y;
    int32_t zone, index;
  } cases[] = {
      {20, 20, RIG_ZONE_SCENE, 0},       {160, 40, RIG_ZONE_SCENE, 3},
      {420, 20, RIG_ZONE_CLOSE, -1},     {300, 20, RIG_ZONE_DEVICE, -1},
      {50, 70, RIG_ZONE_MUTE, 0},        {200, 70, RIG_ZONE_FADER, 0},
      {73, 70, RIG_ZONE_FADER, 0},       {340, 70, RIG_ZONE_PAN, 0},
      {380, 70, RIG_ZONE_LINK, 0},       {400, 70, RIG_ZONE_CLIP, 0},
      {20, 70, RIG_ZONE_ROW, 0},         {200, 104, RIG_ZONE_FADER, 2},
      {200, 150, RIG_ZONE_LIST, -1},     {200, 190, RIG_ZONE_MASTER, -1},
      {390, 190, RIG_ZONE_BUS_CLIP, -1}, {40, 190, RIG_ZONE_BUS, -1},
      {200, 400, RIG_ZONE_FOOTER, -1},   {200, 50, RIG_ZONE_PANEL, -1},
      {500, 50, RIG_ZONE_NONE, -1},
  };
  for (const Case& c : cases) {
    const RigZoneHit h = rig_panel_zone(&s, c.x, c.y);
    EXPECT_EQ(h.zone, c.zone) << c.x << "," << c.y;
    EXPECT_EQ(h.index, c.index) << c.x << "," << c.y;
  }
  // Scrolled by a row, the third row sits where the first did; a row without a partner has no
  // link.
  RigPanelShape scrolled = s;
  scrolled.scroll = 34;
  EXPECT_EQ(rig_panel_zone(&scrolled, 380, 70).zone, RIG_ZONE_LINK);
  EXPECT_EQ(rig_panel_zone(&scrolled, 380, 70).index, 2);
  rows[2].can_link = false;
  EXPECT_EQ(rig_panel_zone(&scrolled, 380, 70).zone, RIG_ZONE_ROW);
}

TEST(RigPanelRules, DetentHoldsZeroDbUntilSixPixelsBeyond) {
  // From 2 px below 0 dB, one pixel at a time: caught at 0 dB, held through 6 px, then free.
  for (bool fine : {false, true}) {
    const double per_px = (fine ? 0.1 : 1.0) / 256.0;
    RigFaderDrag d;
    rig_panel_fader_begin(&d, RIG_PANEL_DETENT - 2.5 * per_px);
    std::vector<double> pos;
    for (int i = 0; i < 12; i++) pos.push_back(rig_panel_fader_step(&d, 1.0f, 256.0f, fine));
    EXPECT_NEAR(pos[0], RIG_PANEL_DETENT - 1.5 * per_px, 1e-9) << fine;
    for (int i = 2; i <= 7; i++) EXPECT_EQ(pos[i], RIG_PANEL_DETENT) << fine << " " << i;
    EXPECT_NEAR(pos[11], RIG_PANEL_DETENT + 3.5 * per_px, 1e-9) << fine;
    // Back down through it: caught again.
    for (int i = 0; i < 5; i++) rig_panel_fader_step(&d, -1.0f, 256.0f, fine);
    EXPECT_EQ(d.pos, RIG_PANEL_DETENT) << fine;
  }
  RigFaderDrag d;
  rig_panel_fader_begin(&d, 0.1);
  EXPECT_EQ(rig_panel_fader_step(&d, -500.0f, 256.0f, false), 0.0);
  rig_panel_fader_begin(&d, 0.9);
  EXPECT_EQ(rig_panel_fader_step(&d, 500.0f, 256.0f, false), 1.0);
}

TEST(RigPanelRules, PanStepsGainTextAndReveal) {
  struct Pan {
    float pan;
    int notches;
    bool fine;
    float want;
  } pans[] = {{0, 1, false, 0.05f}, {0.02f, -1, false, 0}, {-0.03f, 1, false, 0},
              {0.98f, 2, false, 1}, {0, -3, true, -0.03f}, {0.00005f, 0, false, 0}};
  for (const Pan& p : pans)
    EXPECT_NEAR(rig_panel_pan_wheel(p.pan, p.notches, p.fine), p.want, 1e-6) << p.pan;
  double raw = 0.0;
  EXPECT_EQ(rig_panel_pan_drag(&raw, 4.0f, true), 0.0f);  // 0.02: still centred
  EXPECT_NEAR(rig_panel_pan_drag(&raw, 4.0f, true), 0.04f, 1e-6);
  EXPECT_EQ(rig_panel_pan_drag(&raw, 100.0f, false), 1.0f);

  struct Gain {
    float gain;
    const char* text;
  } gains[] = {{1.0f, "0.0 DB"}, {0.5f, "\u22126.0 DB"}, {2.0f, "+6.0 DB"},
               {0.0f, "OFF"},    {1e-11f, "OFF"},        {0.9999f, "0.0 DB"}};
  for (const Gain& g : gains) {
    char out[32];
    rig_panel_gain_text(g.gain, out, sizeof out);
    EXPECT_STREQ(out, g.text) << g.gain;
  }

  struct Step {
    RigReveal r;
    double now;
    bool reduced;
    int32_t want;
  } steps[] = {{{true, 0, 0}, 0.0, false, 1},    {{true, 0, 0}, 0.16, false, 6},
               {{true, 0, 0}, 0.5, false, 12},   {{false, 0, 12}, 0.0, false, 11},
               {{false, 0, 12}, 0.25, false, 0}, {{true, 0, 5}, 0.031, false, 7},
               {{true, 0, 0}, 0.0, true, 12},    {{false, 0, 12}, 0.0, true, 0}};
  for (const Step& s : steps)
    EXPECT_EQ(rig_panel_reveal_step(&s.r, s.now, s.reduced), s.want) << s.now << " " << s.r.from;
}

TEST(RigPanelRules, GlyphStepSkipsTakenAndUndrawable) {
  const char* const* G = RIG_PANEL_GLYPHS;
  const char* others[3] = {G[1], G[2], G[3]};
  EXPECT_STREQ(rig_panel_next_glyph(G[0], others, 3, nullptr, nullptr), G[4]);
  auto no_tent = [](const char* g, void*) { return strcmp(g, RIG_PANEL_GLYPHS[4]) != 0; };
  EXPECT_STREQ(rig_panel_next_glyph(G[0], others, 3, no_tent, nullptr), G[5]);
  const char* wrap[3] = {G[0], G[5], G[6]};
  EXPECT_STREQ(rig_panel_next_glyph(G[12], wrap, 3, nullptr, nullptr), G[1]);
  auto none = [](const char*, void*) { return false; };
  EXPECT_EQ(rig_panel_next_glyph(G[0], others, 3, none, nullptr), nullptr);
}

TEST(RigPanelRules, FooterLine) {
  RigDoc* doc = rig_doc_new();
  rig_doc_init_for_device(doc, "", "jack", "Card", 4, nullptr, 0, "kelp", 0);
  RigScene& s = doc->scenes[0];
  s.channels[0].pan = -0.5f;
  s.channels[2].muted = false;
  s.channels[2].gain = 0.5f;
  RigControllerStatus ready{};
  ready.state = RIG_READY;
  ready.bound = true;
  ready.inputs = ready.device_inputs = 4;
  ready.muted_with_signal = -1;
  ready.last_merged_at = -1;
  snprintf(ready.device_name, sizeof ready.device_name, "Card");
  RigShownMeters m{};
  m.out_clip_latched = true;
  m.bad_latched = 1u << 3;
  struct Case {
    void (*tweak)(RigControllerStatus*);
    int32_t zone, index, drag;
    const char* label;
    float width;
    const char* want;
  } cases[] = {
      {nullptr, RIG_ZONE_PAN, 0, 0, "mic", 440, "1-2 \u00b7 MIC \u00b7 BAL L 50"},
      {nullptr, RIG_ZONE_FADER, 2, 0, "", 440, "3 \u00b7 \u22126.0 DB"},
      {nullptr, RIG_ZONE_MUTE, 3, 0, "", 440, "4 \u00b7 MUTED"},
      {nullptr, RIG_ZONE_CLIP, 3, 0, "", 440, "4 \u00b7 BAD SAMPLES"},
      {nullptr, RIG_ZONE_MASTER, -1, 0, "", 440, "BUS \u00b7 0.0 DB \u00b7 OVER"},
      {nullptr, RIG_ZONE_DEVICE, -1, 0, "", 360, "Card"},
      {nullptr, RIG_ZONE_DEVICE, -1, 0, "", 440, ""},
      {[](RigControllerStatus* st) { st->all_muted = true; }, RIG_ZONE_SCENE, 1, 0, "", 440,
       "ALL INPUTS MUTED - NOTHING WILL RECORD"},
      {[](RigControllerStatus* st) { st->muted_with_signal = 5; }, 0, -1, 0, "", 440,
       "INPUT 6 HAS SIGNAL - IT'S MUTED"},
      {[](RigControllerStatus* st) { st->device_inputs = 8; }, 0, -1, 0, "", 440,
       "ONLY 4 OF 8 INPUTS OPENED"},
      {[](RigControllerStatus* st) { st->saving = true; }, 0, -1, 0, "", 440,
       "\u2726 SAVING\u2026"},
      {[](RigControllerStatus* st) { st->state = RIG_READ_ONLY, st->save_failed = true; }, 0, -1, 0,
       "", 440, "\u25a0 READ ONLY - MADE BY A NEWER APP"},
      {[](RigControllerStatus* st) { st->save_failed = true; }, 0, -1, 0, "", 440,
       "\u2717 COULDN'T SAVE - RETRYING"},
      {[](RigControllerStatus* st) { st->state = RIG_LOADING, st->on_fallback = true; }, 0, -1, 0,
       "", 440, "\u25cc LOADING RIG - PLAYING 1-2 MEANWHILE"},
      {[](RigControllerStatus* st) { st->state = RIG_LOADING; }, 0, -1, 0, "", 440, ""},
      {[](RigControllerStatus* st) { st->state = RIG_UNBOUND, st->bound = false; }, 0, -1, 0, "",
       440, "\u25cc NO INTERFACE"},
      // Another program's edit shows for 2.5 s, over a hover but not over a fader drag.
      {[](RigControllerStatus* st) {
         snprintf(st->last_merged, 16, "daw"), st->last_merged_at = 9;
       },
       RIG_ZONE_MUTE, 3, 0, "", 440, "\u2727 CHANGED IN DAW"},
      {[](RigControllerStatus* st) {
         snprintf(st->last_merged, 16, "daw"), st->last_merged_at = 9;
       },
       RIG_ZONE_FADER, 2, RIG_DRAG_GAIN, "", 440, "3 \u00b7 \u22126.0 DB"},
      {[](RigControllerStatus* st) {
         snprintf(st->last_merged, 16, "daw"), st->last_merged_at = 7;
       },
       0, -1, 0, "", 440, ""},
  };
  for (const Case& c : cases) {
    RigControllerStatus st = ready;
    if (c.tweak) c.tweak(&st);
    RigFooterInput in{&st, doc, &m, c.width, c.zone, c.index, c.drag, c.index, c.label, 10.0};
    char out[320];
    rig_panel_footer_text(&in, out, sizeof out);
    EXPECT_STREQ(out, c.want);
  }
  rig_doc_free(doc);
}

// ---- the panel on a controller ----

TEST(RigPanel, SizeAndScrollingFollowTheDevice) {
  struct Case {
    int inputs;
    float h;
    bool scrolls;
    int32_t last;  // the last row shown (inputs 1-2 form one)
  } cases[] = {{2, 108 + 152, false, 0}, {20, 414 + 152, true, 19}};
  for (const Case& c : cases) {
    Desk d(c.inputs);
    EXPECT_EQ(d.f.rect.h, c.h) << c.inputs;
    for (int i = 0; i < 30; i++) d.key(SDLK_DOWN);
    EXPECT_EQ(d.selected(), c.last);
    EXPECT_EQ(d.scroll_rows() > 0.0f, c.scrolls) << c.inputs;
    const float y = d.row_y(c.last);  // the selection was brought into view
    EXPECT_LE(y + 16.0f, RIG_PANEL_LIST_Y + d.f.rect.h - 152.0f);
  }
}

TEST(RigPanel, RowKeysSkipTheHiddenHalfOfAPair) {
  Desk d(6, "jack", 1);  // saved on the hidden half of the 1-2 pair
  ASSERT_TRUE(d.ch(0).link);
  EXPECT_EQ(d.selected(), 0);
  struct Step {
    SDL_Keycode key;
    int32_t want;
  } steps[] = {{SDLK_DOWN, 2}, {SDLK_UP, 0},   {SDLK_UP, 0},   {SDLK_DOWN, 2}, {SDLK_DOWN, 3},
               {SDLK_DOWN, 4}, {SDLK_DOWN, 5}, {SDLK_DOWN, 5}, {SDLK_UP, 4}};
  for (const Step& s : steps) {
    EXPECT_TRUE(d.key(s.key));
    EXPECT_EQ(d.selected(), s.want);
  }
  // Unlinking shows the second input again; Enter mutes the selected row.
  d.click(380, d.row_y(0));
  d.settle();
  EXPECT_FALSE(d.ch(0).link);
  EXPECT_EQ(d.selected(), 0);
  d.key(SDLK_DOWN);
  EXPECT_EQ(d.selected(), 1);
  const bool was = d.ch(1).muted;
  d.key(SDLK_RETURN);
  d.key(SDLK_RETURN, 0, true);  // a repeat is ignored
  d.settle();
  EXPECT_EQ(d.ch(1).muted, !was);
}

TEST(RigPanel, DoubleClicksResetFaderPanAndMaster) {
  Desk d(4);
  rig_set_gain(d.rc, 0, 0.3f);
  rig_set_pan(d.rc, 2, 0.6f);
  rig_set_master(d.rc, 0.5f);
  d.settle();
  struct Case {
    float x, y;
    float (*value)(Desk&);
    float want;
  } cases[] = {
      {0, d.row_y(0), [](Desk& k) { return k.ch(0).gain; }, 1.0f},
      {340, d.row_y(2), [](Desk& k) { return k.ch(2).pan; }, 0.0f},
      {200, d.bus_y(), [](Desk& k) { return k.scene().master_gain; }, 1.0f},
  };
  cases[0].x = d.fader_x(0.3f);
  for (const Case& c : cases) {
    EXPECT_NE(c.value(d), c.want);
    d.click(c.x, c.y, SDL_BUTTON_LEFT, 1);
    d.click(c.x, c.y, SDL_BUTTON_LEFT, 2);
    d.settle();
    EXPECT_EQ(c.value(d), c.want) << c.x << "," << c.y;
  }
}

TEST(RigPanel, FaderDragStopsAtZeroDb) {
  Desk d(4);
  float x0, x1;
  rig_panel_fader_span(d.f.rect.w, false, &x0, &x1);
  const float width = x1 - x0;
  for (bool fine : {false, true}) {
    const double per_px = (fine ? 0.1 : 1.0) / width;
    rig_set_gain(d.rc, 2, rig_taper_gain(RIG_PANEL_DETENT - 3.5 * per_px));
    rig_set_muted(d.rc, 2, false);
    d.settle();
    const float y = d.row_y(2);
    float x = d.fader_x(d.ch(2).gain);
    SDL_SetModState(fine ? KMOD_LSHIFT : KMOD_NONE);
    d.button(true, x, y);
    std::vector<float> gains;
    for (int i = 0; i < 14; i++) {
      d.move(x += 1.0f, y);
      d.settle();
      gains.push_back(d.ch(2).gain);
    }
    d.button(false, x, y);
    SDL_SetModState(KMOD_NONE);
    EXPECT_LT(gains[1], 1.0f) << fine;
    // Caught half a pixel past 0 dB, held through 5.5 px, free at 6.5.
    for (int i = 3; i <= 8; i++) EXPECT_EQ(gains[i], 1.0f) << fine << " " << i;
    EXPECT_GT(gains[9], 1.0f) << fine;
    // 4.5 px past the detent's edge at the end: a tenth as far with Shift.
    EXPECT_NEAR(rig_taper_position(rig_gain_to_db(gains[13])), RIG_PANEL_DETENT + 4.5 * per_px,
                0.2 * per_px)
        << fine;
  }
}

TEST(RigPanel, ScenesFromKeysAndClicks) {
  Desk d(4);
  rig_set_gain(d.rc, 0, 0.25f);
  d.settle();
  const int64_t rev = d.doc()->rev;
  EXPECT_TRUE(d.key(SDLK_1));  // the active scene: nothing
  d.settle();
  EXPECT_EQ(d.doc()->rev, rev);
  EXPECT_TRUE(d.key(SDLK_3, KMOD_LSHIFT));  // copies scene 1 into 3, scene 1 stays
  d.settle();
  EXPECT_EQ(d.doc()->active_scene, 0);
  EXPECT_EQ(d.doc()->scenes[2].channels[0].gain, 0.25f);
  EXPECT_TRUE(d.key(SDLK_KP_2));
  d.settle();
  EXPECT_EQ(d.doc()->active_scene, 1);
  d.click(12 + 48 * 2 + 20, 20);  // the third symbol
  d.settle();
  EXPECT_EQ(d.doc()->active_scene, 2);
  EXPECT_EQ(d.scene().channels[0].gain, 0.25f);

  // Right clicks step a glyph, never onto another scene's.
  std::string first = d.doc()->scenes[0].glyph;
  int changes = 0;
  for (int i = 0; i < 16; i++) {
    d.click(12 + 20, 20, SDL_BUTTON_RIGHT);
    d.settle();
    const RigDoc* doc = d.doc();
    for (int k = 1; k < RIG_SCENES; k++)
      EXPECT_STRNE(doc->scenes[0].glyph, doc->scenes[k].glyph) << i;
    changes += first != doc->scenes[0].glyph;
    first = doc->scenes[0].glyph;
  }
  EXPECT_GE(changes, 8);  // the fonts here draw most of the thirteen
}

TEST(RigPanel, WheelScrollsFirstThenChangesTheRestedFader) {
  Desk d(20);
  for (int c = 0; c < 20; c++) rig_set_muted(d.rc, c, false);
  d.settle();
  const int row = 4;
  d.move(200, d.row_y(row));
  EXPECT_TRUE(d.wheel(-1.0f));  // right after arriving: the list scrolls
  EXPECT_EQ(d.scroll_rows(), 1.0f);
  d.frame(0.1);
  EXPECT_TRUE(d.wheel(-1.0f));  // still moving: it keeps scrolling
  EXPECT_EQ(d.scroll_rows(), 2.0f);
  d.settle();
  const int under = row + 2;  // two rows on now sit under the pointer
  const double before = rig_gain_to_db(d.ch(under).gain);
  d.frame(0.5);
  EXPECT_TRUE(d.wheel(0.5f));  // half a notch waits for the rest
  EXPECT_TRUE(d.wheel(0.5f));
  d.settle();
  EXPECT_EQ(d.scroll_rows(), 2.0f);
  EXPECT_NEAR(rig_gain_to_db(d.ch(under).gain) - before, 0.5, 1e-3);
  // The bus away from its fader takes no wheel.
  d.move(40, d.bus_y());
  const float master = d.scene().master_gain;
  d.wheel(3.0f);
  d.settle();
  EXPECT_EQ(d.scene().master_gain, master);
}

TEST(RigPanel, MutePaintingAndTheKeyMask) {
  Desk d(8);
  // Channels 3.. start muted: painting down from row 3 unmutes every row passed.
  d.button(true, 50, d.row_y(3));
  for (int c = 4; c <= 6; c++) d.move(120, d.row_y(c));  // off the glyphs: the height counts
  d.button(false, 120, d.row_y(6));
  d.settle();
  for (int c = 3; c <= 6; c++) EXPECT_FALSE(d.ch(c).muted) << c;
  EXPECT_TRUE(d.ch(2).muted);
  EXPECT_TRUE(d.ch(7).muted);

  d.f.key_mask = 0;
  EXPECT_FALSE(d.key(SDLK_ESCAPE));
  EXPECT_FALSE(d.key(SDLK_DOWN));
  EXPECT_EQ(rig_panel_take_close_request(d.panel), 0);
  d.f.key_mask = RIG_KEYS_ALL;
  EXPECT_TRUE(d.key(SDLK_ESCAPE));
  EXPECT_EQ(rig_panel_take_close_request(d.panel), 1);
  EXPECT_EQ(rig_panel_take_close_request(d.panel), 0);
  rig_panel_close(d.panel, d.t);
  EXPECT_FALSE(rig_panel_is_visible(d.panel));  // reduced motion: at once
}

TEST(RigPanel, DrawsRowsMetersAndTheWholeFooter) {
  Desk d(8);
  for (int c = 0; c < 8; c++) rig_set_muted(d.rc, c, false);
  d.settle();
  // Play the mixer as the engine's callback would: input 3 at -12 dB, silence elsewhere.
  RigMixer* mx = rig_controller_mixer(d.rc);
  std::vector<float> loud(256, 0.25f), quiet(256, 0.0f), l(256), r(256);
  const float* ins[8];
  for (int c = 0; c < 8; c++) ins[c] = c == 2 ? loud.data() : quiet.data();
  for (int i = 0; i < 10; i++) {
    rig_mix(mx, ins, 8, l.data(), r.data(), 256);
    d.frame();
  }
  const DrawRect& rc = d.f.rect;
  const float y2 = rc.y + d.row_y(2), y3 = rc.y + d.row_y(3);
  float x0, x1;
  rig_panel_fader_span(rc.w, false, &x0, &x1);
  const int mx_ = (int)(rc.x + x0 + 20);
  auto green = [](uint32_t px) { return (int)((px >> 8) & 0xFF) - (int)((px >> 16) & 0xFF); };
  EXPECT_GT(green(d.canvas.pixel(mx_, (int)y2)), 40);  // the loud input's meter
  EXPECT_LT(green(d.canvas.pixel(mx_, (int)y3)), 20);
  EXPECT_EQ(d.canvas.pixel(5, 5) & 0xFFFFFF, 0u);  // nothing outside the panel
  // The footer's text lies inside the panel's bottom strip.
  d.move(40, d.bus_y());
  d.frame();
  EXPECT_STREQ(rig_panel_footer(d.panel), "BUS \u00b7 0.0 DB");
  EXPECT_GT(strlen(rig_panel_footer(d.panel)), 0u);
  int ink = 0;
  for (int y = (int)(rc.y + rc.h - 22); y < (int)(rc.y + rc.h - 2); y++)
    for (int x = (int)rc.x + 12; x < (int)(rc.x + rc.w - 12); x++)
      ink += (d.canvas.pixel(x, y) & 0xFF) > 0x60;
  EXPECT_GT(ink, 20);
  // Half way through the reveal, some cells show and some don't.
  rig_panel_close(d.panel, d.t);
  d.f.reduced_motion = false;
  rig_panel_open(d.panel, d.t);
  SDL_SetRenderDrawColor(d.canvas.renderer, 0, 0, 0, 255);
  SDL_RenderClear(d.canvas.renderer);
  d.frame(0.15);
  int on = 0, off = 0;
  for (int y = 0; y < 16; y++)
    for (int x = 0; x < 32; x++)
      (d.canvas.pixel((int)rc.x + 40 + x, (int)rc.y + rc.h - 60 + y) & 0xFFFFFF ? on : off)++;
  EXPECT_GT(on, 64);
  EXPECT_GT(off, 64);
}

}  // namespace
