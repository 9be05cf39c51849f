// The RIG panel: every input of the bound device as a row (mute, fader with meters, pan, link,
// clip marker), the four scene symbols, the device lines, the output bus and one footer line.
// It owns only its view state; every change goes through the rig controller's edits, and it
// reads the controller's status, document and shown meters each frame. UI thread only.
//
// Coordinates: the panel lays itself out in points with (0, 0) at its top-left corner; the
// frame's rect places it in the window (points) and its scale turns SDL's event coordinates
// into points (point = event / scale).
#pragma once
#include <cstddef>
#include <cstdint>

#include "rig/rig_controller.h"
#include "ui/draw.h"

union SDL_Event;
struct Painter;
struct RigPanel;

constexpr float RIG_PANEL_PITCH = 34.0f;  // a row's pitch; the saved scroll counts these
constexpr float RIG_PANEL_ROW_H = 32.0f;
constexpr float RIG_PANEL_LIST_Y = 56.0f;
constexpr float RIG_PANEL_LIST_PAD = 4.0f;  // inside the list above the first row
constexpr int32_t RIG_PANEL_STEPS = 12;     // the reveal's dither steps
constexpr int32_t RIG_PANEL_GLYPH_COUNT = 13;
constexpr double RIG_PANEL_DETENT = 0.75;  // the fader position of 0 dB

// Key groups of the frame's key mask.
enum : int32_t {
  RIG_KEYS_SCENES = 1,
  RIG_KEYS_ROWS = 2,
  RIG_KEYS_GAIN = 4,
  RIG_KEYS_MUTE = 8,
  RIG_KEYS_CLOSE = 16,
  RIG_KEYS_ALL = 31,
};

enum RigZone : int32_t {
  RIG_ZONE_NONE = 0,
  RIG_ZONE_PANEL = 1,
  RIG_ZONE_SCENE = 2,  // index: scene
  RIG_ZONE_DEVICE = 3,
  RIG_ZONE_DRIVER = 4,
  RIG_ZONE_CLOSE = 5,
  RIG_ZONE_LIST = 6,
  RIG_ZONE_ROW = 7,  // index: channel, also for 8..12
  RIG_ZONE_MUTE = 8,
  RIG_ZONE_FADER = 9,
  RIG_ZONE_PAN = 10,
  RIG_ZONE_LINK = 11,
  RIG_ZONE_CLIP = 12,
  RIG_ZONE_BUS = 13,
  RIG_ZONE_MASTER = 14,
  RIG_ZONE_BUS_CLIP = 15,
  RIG_ZONE_FOOTER = 16,
};

enum RigDragMode : int32_t {
  RIG_DRAG_NONE = 0,
  RIG_DRAG_MUTE = 1,
  RIG_DRAG_GAIN = 2,
  RIG_DRAG_PAN = 3,
  RIG_DRAG_MASTER = 4,
};

// The scene glyphs a right click steps through, in order.
extern const char* const RIG_PANEL_GLYPHS[RIG_PANEL_GLYPH_COUNT];

// What the application hands the panel with every event and draw.
struct RigPanelFrame {
  DrawRect rect;        // where the panel is, points (its size from rig_panel_size)
  float scale;          // SDL event coordinates per point (1 / the layout's to_points)
  double now;           // monotonic seconds
  double dt;            // seconds since the previous frame
  bool reduced_motion;  // no reveal, no springs
  int32_t key_mask;     // RIG_KEYS_ALL while the panel takes keys, else 0
};

// ---- pure helpers ----

struct RigPanelSize {
  float w, h;
};
// The list height a device with this many inputs asks for (3..12 rows).
float rig_panel_list_target(int32_t inputs);
// The size rule; list_h >= 0 replaces the inputs' list height (the animated one of the device
// the panel last showed).
RigPanelSize rig_panel_size_rule(float avail_w, float avail_h, int32_t inputs, float list_h);

struct RigPanelRow {
  int32_t channel;
  float y;           // from the list's first row, before the scroll
  float visibility;  // 0..1; the hidden half of a linked pair fades to 0
  bool can_link;
};
// Everything hit testing needs, panel-local.
struct RigPanelShape {
  float w, h;
  float list_h;  // the list rectangle's height this frame
  const RigPanelRow* rows;
  int32_t row_count;
  float scroll;  // points
  bool driver_button;
};
struct RigZoneHit {
  int32_t zone;   // RigZone
  int32_t index;  // scene or channel, -1 otherwise
};
// The zone at panel-local (x, y); RIG_ZONE_NONE outside the panel.
RigZoneHit rig_panel_zone(const RigPanelShape* s, float x, float y);
// The fader's track, panel-local x from and to (rows; the bus's master with master = true).
void rig_panel_fader_span(float w, bool master, float* x0, float* x1);

// A fader drag in taper positions with the 0 dB detent.
struct RigFaderDrag {
  double pos;      // 0..1
  bool held;       // resting in the detent
  double held_px;  // pointer travel since it was caught, signed
};
void rig_panel_fader_begin(RigFaderDrag* d, double pos);
// One pointer move of dx points on a fader track fader_w wide; the new position.
double rig_panel_fader_step(RigFaderDrag* d, float dx, float fader_w, bool fine);
// A pan drag keeps its unsnapped value in *raw; returns the pan to send.
float rig_panel_pan_drag(double* raw, float dx, bool fine);
// The pan after whole wheel notches (positive: right).
float rig_panel_pan_wheel(float pan, int32_t notches, bool fine);
// "−3.5 DB", "+1.0 DB", "0.0 DB" or "OFF".
void rig_panel_gain_text(float gain, char* out, size_t size);
// The glyph after current (wrapping) that no other scene uses and drawable accepts (null
// accepts all); null when none is left.
const char* rig_panel_next_glyph(const char* current, const char* const* others,
                                 int32_t other_count, bool (*drawable)(const char*, void*),
                                 void* user);
// Whether the panel's fonts can draw glyph.
bool rig_panel_glyph_drawable(const char* glyph, void* user);

// The reveal: steps shown (0..12) given where it started.
struct RigReveal {
  bool open;
  double at;     // the open or close time
  int32_t from;  // the step it started from
};
int32_t rig_panel_reveal_step(const RigReveal* r, double now, bool reduced_motion);

struct RigFooterInput {
  const RigControllerStatus* status;
  const RigDoc* doc;             // null while none
  const RigShownMeters* meters;  // null: nothing latched
  float width;                   // the panel's
  int32_t zone, index;           // under the pointer (RIG_ZONE_NONE: not hovering)
  int32_t drag, drag_channel;    // RigDragMode
  const char* label;             // the channel label of the row named (may be null)
  double now;
};
void rig_panel_footer_text(const RigFooterInput* in, char* out, size_t size);

// ---- the panel ----

// Null when painter or controller is missing, or out of memory. scroll_rows and selected are the
// saved view (rig_scroll, rig_sel).
RigPanel* rig_panel_new(Painter* painter, RigController* controller, float scroll_rows,
                        int32_t selected);
void rig_panel_free(RigPanel* panel);
// After a render device reset: the new painter; the offscreen picture is made again.
void rig_panel_device_reset(RigPanel* panel, Painter* painter);
void rig_panel_open(RigPanel* panel, double now);
// Ends any drag, releases the mouse and restores the cursor.
void rig_panel_close(RigPanel* panel, double now);
bool rig_panel_is_open(const RigPanel* panel);
bool rig_panel_is_visible(const RigPanel* panel);
// Whether (x, y), points, lies on the visible panel as the last frame placed it.
bool rig_panel_hit(const RigPanel* panel, float x, float y);
// True when the panel used the event.
bool rig_panel_event(RigPanel* panel, const SDL_Event* e, const RigPanelFrame* frame);
void rig_panel_draw(RigPanel* panel, const RigPanelFrame* frame);
// 0 none, 1 close the panel, 2 open the driver's panel; cleared by the call.
int32_t rig_panel_take_close_request(RigPanel* panel);
RigPanelSize rig_panel_size(RigPanel* panel, float avail_w, float avail_h);
// For rig_scroll and rig_sel.
void rig_panel_view(const RigPanel* panel, float* scroll_rows, int32_t* selected);
// The layout as the last event or draw left it (rows stay owned by the panel).
void rig_panel_shape(const RigPanel* panel, RigPanelShape* out);
// The footer line as the last draw showed it.
const char* rig_panel_footer(const RigPanel* panel);

// ---- the panel's state (shared by its logic and its drawing) ----

struct SDL_Cursor;

enum : int32_t { RIG_CURSOR_ARROW = 0, RIG_CURSOR_MOVE = 1, RIG_CURSOR_HAND = 2, RIG_CURSORS = 3 };

struct RigPanel {
  Painter* painter;
  RigController* rc;
  SDL_Cursor* cursors[RIG_CURSORS];  // null where the system has none
  int32_t cursor;                    // the one set, -1 the application's

  bool open, visible, reduced;
  RigReveal reveal;
  int32_t step;  // reveal steps shown at the last draw

  // Layout of the last event or draw.
  DrawRect rect;
  float scale;
  double now;
  float w, h;
  float list_h, list_v;        // spring towards the inputs' list height
  float scene_x, scene_v;      // the highlight's spring
  bool placed;                 // the springs have a value
  char device[RIG_KEY_BYTES];  // the device the rows belong to
  RigPanelRow rows[RIG_MAX_CHANNELS];
  int32_t row_count;
  float content_h, max_scroll;
  int32_t selected;  // channel, -1 none
  float scroll;

  // Pointer.
  bool pointer_in;
  float px, py;  // panel-local
  RigZoneHit hover;
  double hover_at;
  float wheel_acc;
  double scrolled_at;

  // Drag.
  int32_t drag;  // RigDragMode
  int32_t drag_channel;
  int32_t drag_row;  // a mute paint's last row
  float drag_x;
  RigFaderDrag fader;
  double pan_raw;
  double sent;
  bool mute_target;

  int32_t close_request;
  RenderTarget target;  // the panel while the reveal dithers it
  char footer[320];
};

// Lays the panel out for a frame; animate advances the springs and fades by frame->dt.
void rig_panel_layout(RigPanel* panel, const RigPanelFrame* frame, bool animate);
// The current scene of the controller's document (null while none).
const RigScene* rig_panel_scene(RigPanel* panel);
// The panel-local top of a row's box.
float rig_panel_row_top(const RigPanel* panel, const RigPanelRow* row);
