// The key hint: a small key cap that shows after the pointer has rested on an on-screen control
// that has a key. The window says which controls show and where; the hint picks the control
// under the pointer (in a fixed order), its caps, and where the cap stands. UI thread only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "ui/draw.h"
#include "ui/text.h"

struct Painter;

enum KeyHintControl : int32_t {
  HINT_NONE = -1,
  HINT_LIBRARY_DOOR = 0,
  HINT_SKETCH_NAME = 1,
  HINT_MENU = 2,
  HINT_RIG = 3,
  HINT_NEW = 4,          // the new-sketch button
  HINT_LIBRARY_NEW = 5,  // the library's 録 button
  HINT_REWIND = 6,
  HINT_STOP = 7,
  HINT_LOOP_IN = 8,
  HINT_LOOP = 9,
  HINT_LOOP_OUT = 10,
  HINT_PLAY = 11,
  HINT_RECORD = 12,
  HINT_MONITOR = 13,
  HINT_ZEN_PLAY = 14,
  HINT_ZEN_RECORD = 15,
  HINT_XY = 16,
  HINT_CONTROLS = 17,
};

constexpr double KEY_HINT_REST = 0.4;  // seconds of rest before the cap shows
constexpr int32_t KEY_HINT_STEPS = 12;
constexpr float KEY_HINT_H = 18.0f;
constexpr float KEY_HINT_MARGIN = 6.0f;  // kept inside the window
constexpr float KEY_HINT_GAP = 5.0f;     // from the control
constexpr int32_t KEY_HINT_CAPS = 64;
constexpr TextStyle KEY_HINT_STYLE = {TEXT_MONO, 9.0f, 600, 0.0f};

// What shows this frame; the window fills it from its layout.
struct KeyHintScene {
  bool library_tab;
  bool full_layout;   // the full layout's transport and moons (else zen)
  bool sketch_named;  // the sketch name shows a name
  bool rig_panel;     // a rig panel exists this run
  bool showing[HINT_CONTROLS];
  DrawRect rect[HINT_CONTROLS];
  bool in_top_bar[HINT_CONTROLS];
};

// The caps of a control (tab-separated), or null when it has no hint in this scene.
const char* key_hint_caps(const KeyHintScene* s, int32_t control);
// The first control, in the table's order, that shows, has a hint and lies under (x, y).
int32_t key_hint_find(const KeyHintScene* s, float x, float y);

struct KeyHint {
  int32_t id;  // HINT_NONE when none
  char caps[KEY_HINT_CAPS];
  double since;  // when the pointer came to rest on it
};
void key_hint_init(KeyHint* h);
// Each frame: the hovered control and its caps (id HINT_NONE clears). The wait restarts when the
// id changes.
void key_hint_update(KeyHint* h, int32_t id, const char* caps, double now);
bool key_hint_visible(const KeyHint* h, double now);
// Reveal steps shown (0..12): one a frame at 60 Hz once visible; all at once with reduced motion.
int32_t key_hint_reveal_step(const KeyHint* h, double now, bool reduced_motion);
// Where a cap of width w stands for control: centred on it, 5 points below a top-bar control and
// 5 above any other, kept 6 points inside the window.
DrawRect key_hint_place(DrawRect control, float w, bool in_top_bar, float window_w, float window_h);
// The cap's width for caps (every key drawn as its own small key).
float key_hint_width(const char* caps);
void key_hint_draw(Painter* p, const KeyHint* h, DrawRect control, bool in_top_bar, float window_w,
                   float window_h, double now, bool reduced_motion);
