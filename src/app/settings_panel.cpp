// The SETTINGS panel's rows and rules: the table, the values and notes, what a row's adjust and
// use append, and the panel's keys, pointer, wheel and geometry. Its drawing is in
// settings_panel_draw.cpp.
#include "app/settings_panel.h"

#include <SDL.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "app/session.h"
#include "net/advert.h"
#include "net/firewall.h"
#include "net/station.h"
#include "base/text.h"
#include "core/transport.h"
#include "rig/rig_controller.h"
#include "store/meta.h"

const char* const SETTINGS_COMMUNITY_LINK = "https://discord.gg/seaglass";

namespace {

const SettingsRow kRows[SETTINGS_ROW_COUNT] = {
    {SET_ZEN, SETTINGS_SWITCH, "VIEW", "ZEN MODE",
     "Zen keeps the canvas as the show \u2014 play, the XY stick and record. Everything else lives "
     "here. Z switches."},
    {SET_DENSITY, SETTINGS_CHOICE, "VIEW", "TRIANGLE DENSITY",
     "How many leaves each take draws. Dense shows every other one, sparse every fifth."},
    {SET_EDGES, SETTINGS_CHOICE, "VIEW", "EDGES",
     "Smooth softens every edge cheaply. Supersampled draws the canvas at twice the size \u2014 "
     "the cleanest look, but four times the work for the graphics chip."},
    {SET_SCENE, SETTINGS_SCENE_PICKER, "SOUND", "SCENE",
     "Four setups of your inputs, each with its own levels, mutes and pan. Click one and the take "
     "hears it at once \u2014 even mid-take."},
    {SET_RIG, SETTINGS_BUTTON, "SOUND", "RIG",
     "Opens the rig: every input on your interface \u2014 level, mute, pan and stereo pairs, with "
     "meters. A opens it too."},
    {SET_MONITOR, SETTINGS_SWITCH, "SOUND", "\u805e MONITOR",
     "Hear yourself live through the XY mixer. Off every time Kelp NOVA starts \u2014 on laptop "
     "speakers it feeds back. M toggles it."},
    {SET_PLAYBACK, SETTINGS_CHOICE, "SOUND", "PLAYBACK",
     "NORM plays takes loud, so a quiet one is still easy to hear. RAW plays them exactly as "
     "recorded. The file never changes either way."},
    {SET_BROADCAST, SETTINGS_SWITCH, "SOUND", "BROADCAST",
     "Puts the sketch's output on the family's stream, where the family's other apps on the same "
     "wifi can record or play it. Nobody outside the network can hear it."},
    {SET_DEVICE, SETTINGS_CHOICE, "AUDIO", "DEVICE",
     "The mic or interface Kelp NOVA records from, and the output on the same driver. Every input "
     "on it opens; the rig picks what reaches the take. Remembered by name, so it survives "
     "plugging things in."},
    {SET_EXCLUSIVE, SETTINGS_SWITCH, "AUDIO", "EXCLUSIVE",
     "Takes the device from the sound server (PipeWire or PulseAudio) and opens the ALSA hardware "
     "directly \u2014 lowest latency, but no other app can play or record while Kelp NOVA is "
     "open."},
    {SET_RATE, SETTINGS_CHOICE, "AUDIO", "SAMPLE RATE",
     "AUTO asks for 48 kHz, the rate the iPhone uses. Changing it reopens the sketch at the new "
     "rate."},
    {SET_BUFFER, SETTINGS_CHOICE, "AUDIO", "BUFFER",
     "Smaller responds faster but works the processor harder. 256 is a good start."},
    {SET_DRIVER_PANEL, SETTINGS_BUTTON, "AUDIO", "DRIVER PANEL",
     "Opens the sound server's own settings."},
    {SET_RESCAN, SETTINGS_BUTTON, "AUDIO", "RESCAN DEVICES",
     "Looks again for devices plugged in since Kelp NOVA started. Waits until nothing is playing "
     "or recording."},
    {SET_AUDIO, SETTINGS_INFO, "AUDIO", "AUDIO",
     "What actually opened \u2014 driver, rate, buffer and the latency the driver reports."},
    {SET_PAINT_MODE, SETTINGS_SWITCH, "PAINT", "PAINT MODE",
     "Paint mode places each take at the height you click, instead of stacking automatically. P "
     "toggles it."},
    {SET_COLOUR, SETTINGS_COLOUR_PICKER, "PAINT", "COLOUR",
     "The sketch's colour. The takes, the cursor and the controls follow it. Keys 1\u20139, 0, - "
     "and = pick one."},
    {SET_MIDI_IN, SETTINGS_SWITCH, "MIDI", "MIDI IN",
     "Any controller drives the tape, no setup. The C1 row is the transport, and CC 10 and CC 74 "
     "move the XY mixer. A Launch Control XL 3 goes into DAW mode: its buttons light up as the "
     "transport and the scenes."},
    {SET_SOURCES, SETTINGS_INFO, "MIDI", "SOURCES",
     "Controllers Kelp NOVA can hear. One a DAW is holding shows as busy."},
    {SET_EXPORT, SETTINGS_BUTTON, "EXPORT", "EXPORT WAV",
     "Saves the sketch as a WAV in the exports folder \u2014 just the loop when one is set. E "
     "does the same."},
    {SET_NORMALISE, SETTINGS_SWITCH, "EXPORT", "NORMALISE EXPORTS",
     "Makes exports as loud as they can go without clipping."},
    {SET_EXPORTS_FOLDER, SETTINGS_BUTTON, "EXPORT", "OPEN EXPORTS FOLDER",
     "Shows the exports folder in the file manager."},
    {SET_LIBRARY_FOLDER, SETTINGS_BUTTON, "LIBRARY", "LIBRARY FOLDER",
     "Where sketches live. Each sketch is a folder \u2014 copy one in from your iPhone and it "
     "opens with its takes, loop and zoom as you left them."},
    {SET_CLEAR, SETTINGS_DANGER, "SESSION", "CLEAR SKETCH",
     "Wipes this sketch's audio AND every take's drawing \u2014 the two are separate, so clearing "
     "one alone would leave ghost paint over silence. There's no undo."},
    {SET_HELP, SETTINGS_BUTTON, "MORE", "HELP",
     "How Kelp NOVA works \u2014 every control, click and key. F1 opens it too."},
    {SET_KEYS, SETTINGS_BUTTON, "MORE", "KEYS", "Every key on one sheet. ? opens it anywhere."},
    {SET_TRAINING, SETTINGS_BUTTON, "MORE", "TRAINING",
     "Little lists of things to try. They tick themselves off as you do them \u2014 {done} of "
     "{total} so far."},
    {SET_WHATS_NEW, SETTINGS_BUTTON, "MORE", "WHAT'S NEW",
     "What changed in {version} \u2014 and, with the arrows at its top right (or \u2190 \u2192), "
     "in every version before it."},
    {SET_DISCORD, SETTINGS_BUTTON, "MORE", "DISCORD",
     "Support, bug reports, feature talk \u2014 the SeaGlass server."},
};

const char* const kColourKeys[SETTINGS_SWATCHES] = {"1", "2", "3", "4", "5", "6",
                                                    "7", "8", "9", "0", "-", "="};
const int32_t kStrides[3] = {2, 3, 5};

// Geometry (points).
constexpr float kTop = 54.0f;  // the title band
constexpr float kFooter = 36.0f;
constexpr float kSide = 14.0f;  // the list's inset from the panel's sides
constexpr float kSection = 28.0f;
constexpr float kRow = 32.0f;
constexpr float kInset = 10.0f;  // a row's contents from its edges
constexpr float kHelpLine = 16.0f;
constexpr float kSourceLine = 16.0f;
constexpr float kSceneH = 26.0f;
constexpr float kWheelStep = 40.0f;

const char* or_empty(const char* s) {
  return s ? s : "";
}

bool running(const SettingsContext* c) {
  return c->has_audio && c->audio.state == AUDIO_RUNNING;
}

// The engine's state as the rows say it; null for a state with nothing to add.
const char* state_text(int32_t state) {
  switch (state) {
    case AUDIO_OPENING:
      return "OPENING\u2026";
    case AUDIO_RECOVERING:
      return "RECONNECTING\u2026";
    case AUDIO_DOWN:
      return "DOWN";
    case AUDIO_HUNG:
      return "DRIVER STOPPED ANSWERING";
    default:
      return nullptr;
  }
}

// Exclusive needs the hardware itself: only the ALSA host can hand it over.
bool exclusive_possible(const SettingsContext* c) {
  return !running(c) || strcmp(c->audio.host_api, "ALSA") == 0;
}

bool rig_usable(const SettingsContext* c) {
  return c->rig_present && !c->rig_loading;
}

bool sketch_open(const SettingsContext* c) {
  return c->snap && c->snap->loaded && c->snap->id[0];
}

const char* on_off(bool on) {
  return on ? "ON" : "OFF";
}

// Replaces every {name} in text by its value.
void fill_help(const char* text, const SettingsContext* c, char* out, size_t size) {
  if (!out || size == 0) return;
  char done[16], total[16];
  snprintf(done, sizeof done, "%d", (int)c->training_done);
  snprintf(total, sizeof total, "%d", (int)c->training_total);
  struct Field {
    const char* key;
    const char* value;
  };
  const Field fields[] = {
      {"{done}", done}, {"{total}", total}, {"{version}", or_empty(c->version)}};
  size_t n = 0;
  out[0] = 0;
  for (const char* p = text; *p && n + 1 < size;) {
    bool replaced = false;
    for (const Field& f : fields) {
      const size_t k = strlen(f.key);
      if (strncmp(p, f.key, k) != 0) continue;
      for (const char* v = f.value; *v && n + 1 < size; v++) out[n++] = *v;
      p += k;
      replaced = true;
      break;
    }
    if (!replaced) out[n++] = *p++;
  }
  out[n] = 0;
  text_utf8_cut(out, n);
}

int32_t sources_lines(const SettingsContext* c) {
  int32_t n = 1;
  if (c->midi_on && c->midi_input_count > 1)
    n = c->midi_input_count < SETTINGS_MIDI_LINES ? c->midi_input_count : SETTINGS_MIDI_LINES;
  return n + (c->midi_daw_mode ? 1 : 0);
}

float swatch_size(float width) {
  const float s = (width - 2.0f * kInset - 11.0f * 6.0f) / 12.0f;
  return std::fmax(8.0f, std::fmin(24.0f, s));
}

bool inside(const DrawRect& r, float x, float y) {
  return x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h;
}

int32_t clamp_index(int32_t i) {
  return i < 0 ? 0 : i >= SETTINGS_ROW_COUNT ? SETTINGS_ROW_COUNT - 1 : i;
}

}  // namespace

const SettingsRow* settings_row_at(int32_t index) {
  return index >= 0 && index < SETTINGS_ROW_COUNT ? &kRows[index] : nullptr;
}

int32_t settings_row_index(int32_t id) {
  for (int32_t i = 0; i < SETTINGS_ROW_COUNT; i++)
    if (kRows[i].id == id) return i;
  return -1;
}

const SettingsRow* settings_row(int32_t id) {
  return settings_row_at(settings_row_index(id));
}

void settings_context_fill(SettingsContext* ctx, const App* app) {
  if (!ctx) return;
  memset(ctx, 0, sizeof *ctx);
  ctx->library_default = true;
  if (!app) return;
  Session* s = app->session;
  if (s) ctx->snap = session_snapshot(s);
  if (s && s->audio.status)
    ctx->has_audio = s->audio.status(s->audio.user, &ctx->audio) > 0;
  else if (app->engine)
    ctx->has_audio = audio_engine_status(app->engine, &ctx->audio) > 0;
  ctx->library_folder = app->paths.library;
  ctx->library_default = app->settings.library_dir[0] == 0;
  ctx->exports_folder = app->paths.exports;
  ctx->midi_on = app->settings.midi_off == 0;
  if (app->station) {
    static StationStatus ss;
    static char stream[80];
    station_status(app->station, &ss);
    ctx->station_built = true;
    ctx->station_on_air = ss.on_air;
    ctx->station_listeners = ss.listeners;
    advert_instance_name(ss.an, ss.dev, stream, sizeof stream);
    ctx->station_stream = stream;
    bool attention = false;
    const char* label = firewall_label(&attention);
    ctx->firewall_message = attention ? label : "";
  }
  if (app->rig_ctl) {
    RigControllerStatus st;
    rig_controller_status(app->rig_ctl, &st);
    // "Present" means an interface is bound: the rows speak of the interface, not the code.
    ctx->rig_present = st.bound && st.state != RIG_UNBOUND;
    ctx->rig_loading = st.state == RIG_LOADING;
    ctx->rig_read_only = st.state == RIG_READ_ONLY;
    ctx->rig_all_muted = st.all_muted;
    ctx->rig_live = st.audible_inputs;
    ctx->rig_total = st.inputs;
    ctx->rig_scene = st.active_scene;
  }
}

void settings_help(const SettingsContext* ctx, int32_t id, char* out, size_t size) {
  const SettingsRow* row = settings_row(id);
  if (!out || size == 0) return;
  out[0] = 0;
  if (row && ctx) fill_help(row->help, ctx, out, size);
}

int32_t settings_colour_index(const SessionSnapshot* snap) {
  if (!snap || !snap->meta || !snap->meta->hasPickedColor) return -1;
  const MetaRgb& c = snap->meta->pickedColor;
  // The file keeps a few decimals: near enough is the palette's colour.
  for (int32_t i = 0; i < SETTINGS_SWATCHES; i++) {
    const float* p = SESSION_PALETTE[i];
    if (std::fabs(c.r - p[0]) < 1e-3 && std::fabs(c.g - p[1]) < 1e-3 &&
        std::fabs(c.b - p[2]) < 1e-3)
      return i;
  }
  return -2;
}

void settings_value(const App* app, const SettingsContext* c, int32_t row, char* value, size_t vs,
                    char* note, size_t ns) {
  if (value && vs) value[0] = 0;
  if (note && ns) note[0] = 0;
  if (!app || !c || !value || !note || vs == 0 || ns == 0) return;
  const Settings& st = app->settings;
  const AudioStatus& a = c->audio;
  auto set = [&](const char* text) { text_copy(value, vs, text); };
  switch (row) {
    case SET_ZEN:
      set(st.full_ui ? "OFF" : "ON");
      if (st.full_ui && c->too_short) text_copy(note, ns, "   ZEN UNTIL THE WINDOW IS TALLER");
      break;
    case SET_DENSITY:
      if (st.triangle_stride == 2)
        set("DENSE");
      else if (st.triangle_stride == 3)
        set("NORMAL");
      else if (st.triangle_stride == 5)
        set("SPARSE");
      else
        snprintf(value, vs, "STRIDE %d", st.triangle_stride);
      break;
    case SET_EDGES:
      set(st.canvas_2x ? "SUPERSAMPLED" : "SMOOTH");
      break;
    case SET_SCENE:
      if (!c->rig_present)
        set("NO INTERFACE");
      else if (c->rig_loading)
        set("LOADING RIG\u2026");
      else if (c->rig_read_only)
        set("READ ONLY - MADE BY A NEWER APP");
      break;
    case SET_MONITOR:
      set(on_off(c->snap && c->snap->monitor));
      break;
    case SET_PLAYBACK:
      set(st.raw_playback ? "RAW" : "NORM");
      break;
    case SET_DEVICE: {
      const bool scanning =
          c->has_audio && (a.rescan_pending || (a.state == AUDIO_OPENING && a.row_count == 0));
      if (scanning)
        set("LOOKING\u2026");
      else if (!c->has_audio || a.row_count <= 0)
        set("NO INPUT DEVICES");
      else if (a.row >= 0 && a.row < a.row_count)
        set(a.rows[a.row].name);
      else if (a.device[0])
        set(a.device);
      else
        set("(none)");
      char index[32];
      if (c->has_audio && a.row >= 0 && a.row < a.row_count)
        snprintf(index, sizeof index, "%d/%d", (int)a.row + 1, (int)a.row_count);
      else
        snprintf(index, sizeof index, "-/%d", c->has_audio ? (int)a.row_count : 0);
      const char* state = c->has_audio ? state_text(a.state) : nullptr;
      snprintf(note, ns, "   %s%s%s%s", index, running(c) && !a.duplex ? "   NO OUT" : "",
               state ? "   " : "", state ? state : "");
      break;
    }
    case SET_EXCLUSIVE:
      if (!exclusive_possible(c))
        snprintf(value, vs, "%s   ALSA ONLY", on_off(st.exclusive));
      else if (running(c) && st.exclusive && !a.exclusive)
        set("ON   REFUSED - RUNNING SHARED");
      else
        set(on_off(running(c) ? a.exclusive : st.exclusive != 0));
      break;
    case SET_RATE: {
      if (st.sample_rate == 0)
        set("AUTO");
      else
        snprintf(value, vs, "%d HZ", st.sample_rate);
      const double asked = st.sample_rate ? st.sample_rate : 48000.0;
      if (running(c) && a.rate > 0 && std::lround(a.rate) != std::lround(asked))
        snprintf(note, ns, "  NOW %.0f HZ", a.rate);
      break;
    }
    case SET_BUFFER: {
      const int asked = st.buffer_frames > 0 ? st.buffer_frames : AUDIO_DEFAULT_FRAMES;
      const bool live = running(c) && a.frames > 0;
      snprintf(value, vs, "%d", live ? (int)a.frames : asked);
      if (live && a.frames != asked) snprintf(note, ns, "   ASKED %d", asked);
      break;
    }
    case SET_DRIVER_PANEL:
      if (c->sound_tool_installed) {
        char name[64];
        actions_upper_ascii(name, sizeof name, or_empty(c->sound_tool_name));
        set(name);
      } else if (c->has_audio && a.host_api[0] && a.state != AUDIO_CLOSED) {
        char host[AUDIO_LABEL_BYTES];
        actions_upper_ascii(host, sizeof host, a.host_api);
        snprintf(value, vs, "RUNNING ON %s", host);
      } else {
        set("NO SOUND SETTINGS FOUND");
      }
      break;
    case SET_RESCAN:
      if (c->rescan_waiting) set("WAITING FOR QUIET");
      break;
    case SET_AUDIO:
      if (!c->has_audio) {
        set("OFF");
      } else if (a.state == AUDIO_RUNNING) {
        char out[32];
        if (a.duplex || a.output_latency_ms > 0)
          snprintf(out, sizeof out, "OUT %.1f MS", a.output_latency_ms);
        else
          snprintf(out, sizeof out, "NO OUT");
        char driver[AUDIO_LABEL_BYTES];
        actions_upper_ascii(driver, sizeof driver, a.host_api[0] ? a.host_api : "AUDIO");
        snprintf(value, vs, "%s%s \u00b7 %.0f HZ \u00b7 %d \u00b7 IN %.1f MS \u00b7 %s", driver,
                 a.exclusive ? " EXCL" : "", a.rate, (int)a.frames, a.input_latency_ms, out);
      } else if (a.state == AUDIO_RECOVERING && a.attempt > 0) {
        snprintf(value, vs, "%s   TRY %d", state_text(a.state), (int)a.attempt);
      } else {
        const char* s = state_text(a.state);
        set(s ? s : audio_state_name(a.state));
      }
      break;
    case SET_PAINT_MODE:
      set(on_off(st.paint_mode != 0));
      break;
    case SET_COLOUR: {
      const int32_t i = settings_colour_index(c->snap);
      if (i >= 0)
        snprintf(value, vs, "KEY %s", kColourKeys[i]);
      else
        set(i == -2 ? "CUSTOM" : "NONE PICKED");
      break;
    }
    case SET_MIDI_IN:
      set(on_off(c->midi_on));
      break;
    case SET_SOURCES:
      set(c->midi_on && c->midi_last && c->midi_last[0] ? c->midi_last : "\u2014");
      break;
    case SET_EXPORT:
      if (!sketch_open(c) || c->snap->tape_frames < 1) {
        set("RECORD SOMETHING FIRST");
      } else {
        const TransportRange r =
            transport_export_range(&c->snap->loop, c->snap->rate, c->snap->tape_frames);
        set(r.is_loop ? "JUST THE LOOP" : "WHOLE SKETCH");
      }
      break;
    case SET_NORMALISE:
      set(on_off(st.export_normalize != 0));
      break;
    case SET_EXPORTS_FOLDER:
      set(or_empty(c->exports_folder));
      break;
    case SET_LIBRARY_FOLDER:
      if (c->library_default) {
        set("Music/kelp");
      } else {
        set(or_empty(c->library_folder));
        text_copy(note, ns, "   \u2190 RESETS");
      }
      break;
    case SET_CLEAR:
      if (!sketch_open(c)) set("NO SKETCH OPEN");
      break;
    case SET_HELP:
      set("F1");
      break;
    case SET_TRAINING:
      snprintf(value, vs, "%d / %d", (int)c->training_done, (int)c->training_total);
      break;
    case SET_WHATS_NEW:
      set(or_empty(c->whats_new_version));
      break;
    case SET_KEYS:
      set("?");
      break;
    case SET_RIG:
      if (!c->rig_panel)
        set("UNAVAILABLE");
      else if (!c->rig_present)
        set("NO INTERFACE");
      else if (c->rig_loading)
        set("LOADING RIG\u2026");
      else if (c->rig_all_muted)
        set("ALL INPUTS MUTED");
      else
        snprintf(value, vs, "%d OF %d LIVE", (int)c->rig_live, (int)c->rig_total);
      break;
    case SET_BROADCAST:
      if (!c->station_built) {
        set("NOT BUILT");
      } else if (c->station_on_air && c->firewall_message && c->firewall_message[0]) {
        set(c->firewall_message);  // listeners can't reach the station yet
      } else if (c->station_on_air) {
        if (c->station_listeners > 0)
          snprintf(value, vs, "ON AIR   %d LISTENING   %s", (int)c->station_listeners,
                   or_empty(c->station_stream));
        else
          snprintf(value, vs, "ON AIR   %s", or_empty(c->station_stream));
      } else {
        set(st.broadcast ? "ON   (STARTING)" : "OFF");
      }
      break;
    default:
      break;
  }
}

void settings_adjust(const App* app, const SettingsContext* c, int32_t row, int32_t dir,
                     ActionList* out) {
  if (!app || !c || !out || dir == 0) return;
  const Settings& st = app->settings;
  const int32_t d = dir > 0 ? 1 : -1;
  switch (row) {
    case SET_ZEN:
      actions_push(out, ACT_ZEN_FULL, 0, nullptr);
      break;
    case SET_DENSITY: {
      const int32_t s = st.triangle_stride;
      const int32_t at = s <= 2 ? 0 : s <= 4 ? 1 : 2;
      actions_push(out, ACT_TRIANGLE_DENSITY, kStrides[(at + d + 3) % 3], nullptr);
      break;
    }
    case SET_EDGES:
      actions_push(out, ACT_EDGES, st.canvas_2x ? 0 : 1, nullptr);
      break;
    case SET_SCENE:
      if (rig_usable(c))
        actions_push(out, ACT_RIG_SCENE, ((c->rig_scene + d) % 4 + 4) % 4, nullptr);
      break;
    case SET_MONITOR:
      actions_push(out, ACT_MONITOR_TOGGLE, 0, nullptr);
      break;
    case SET_PLAYBACK:
      actions_push(out, ACT_NORM_RAW, st.raw_playback ? 0 : 1, nullptr);
      break;
    case SET_DEVICE:
      if (c->has_audio && c->audio.row_count > 1) actions_push(out, ACT_AUDIO_DEVICE, d, nullptr);
      break;
    case SET_EXCLUSIVE:
      if (exclusive_possible(c)) actions_push(out, ACT_EXCLUSIVE, 0, nullptr);
      break;
    case SET_RATE:
      actions_push(out, ACT_SAMPLE_RATE, d, nullptr);
      break;
    case SET_BUFFER:
      actions_push(out, ACT_AUDIO_BUFFER, d, nullptr);
      break;
    case SET_PAINT_MODE:
      actions_push(out, ACT_PAINT_MODE, 0, nullptr);
      break;
    case SET_COLOUR: {
      const int32_t i = settings_colour_index(c->snap);
      const int32_t next = i >= 0 ? (i + d + SETTINGS_SWATCHES) % SETTINGS_SWATCHES
                                  : (d > 0 ? 0 : SETTINGS_SWATCHES - 1);
      actions_push(out, ACT_PAINT_COLOUR, next, nullptr);
      break;
    }
    case SET_MIDI_IN:
      actions_push(out, ACT_MIDI_IN, 0, nullptr);
      break;
    case SET_NORMALISE:
      actions_push(out, ACT_NORMALISE_EXPORTS, 0, nullptr);
      break;
    case SET_LIBRARY_FOLDER:
      if (d < 0 && !c->library_default) actions_push(out, ACT_LIBRARY_FOLDER_RESET, 0, nullptr);
      break;
    case SET_BROADCAST:
      if (c->station_built) actions_push(out, ACT_BROADCAST, 0, nullptr);
      break;
    default:
      break;
  }
}

void settings_use(const App* app, const SettingsContext* c, int32_t row, ActionList* out) {
  if (!app || !c || !out) return;
  switch (row) {
    case SET_DRIVER_PANEL:
      if (c->sound_tool_installed) actions_push(out, ACT_DRIVER_PANEL, 0, nullptr);
      break;
    case SET_RESCAN:
      if (!c->rescan_waiting) actions_push(out, ACT_RESCAN, 0, nullptr);
      break;
    case SET_EXPORT:
      actions_push(out, ACT_EXPORT_WAV, 0, nullptr);
      break;
    case SET_EXPORTS_FOLDER:
      actions_push(out, ACT_OPEN_EXPORTS, 0, nullptr);
      break;
    case SET_LIBRARY_FOLDER:
      actions_push(out, ACT_LIBRARY_FOLDER, 0, nullptr);
      break;
    case SET_CLEAR:
      if (sketch_open(c)) actions_push(out, ACT_CLEAR_ASK, 0, nullptr);
      break;
    case SET_HELP:
      actions_push(out, ACT_HELP, 0, nullptr);
      break;
    case SET_TRAINING:
      actions_push(out, ACT_TRAINING, 0, nullptr);
      break;
    case SET_WHATS_NEW:
      actions_push(out, ACT_WHATS_NEW, 0, nullptr);
      break;
    case SET_DISCORD:
      actions_push(out, ACT_OPEN_LINK, 0, SETTINGS_COMMUNITY_LINK);
      break;
    case SET_KEYS:
      actions_push(out, ACT_KEYS, 0, nullptr);
      break;
    case SET_RIG:
      if (c->rig_panel) actions_push(out, ACT_RIG, 0, nullptr);
      break;
    case SET_AUDIO:
    case SET_SOURCES:
      break;
    default:
      if (row >= 0 && row < SETTINGS_ROW_COUNT) settings_adjust(app, c, row, 1, out);
      break;
  }
}

const char* settings_hint(int32_t row) {
  const SettingsRow* r = settings_row(row);
  const int32_t kind = r ? r->kind : SETTINGS_BUTTON;
  if (kind == SETTINGS_SWITCH)
    return "CLICK A ROW TWICE TO USE IT  \u00b7  \u2190 \u2192 ADJUST  \u00b7  ENTER ACTS  \u00b7  "
           "ESC CLOSES";
  if (kind == SETTINGS_CHOICE || kind == SETTINGS_SCENE_PICKER || kind == SETTINGS_COLOUR_PICKER)
    return "CLICK A ROW TWICE TO USE IT  \u00b7  \u2190 \u2192 ADJUST  \u00b7  ESC CLOSES";
  return "CLICK TWICE TO USE  \u00b7  ESC CLOSES";
}

// ---- the panel ----

void settings_panel_init(SettingsPanel* sp) {
  if (!sp) return;
  memset(sp, 0, sizeof *sp);
  sp->selected = -1;
  sp->hover = SETTINGS_HIT_NONE;
  sp->pressed = SETTINGS_HIT_NONE;
  sp->last_use_row = -1;
  sp->page_rows = 8;
}

void settings_select(SettingsPanel* sp, int32_t row) {
  if (!sp) return;
  if (row >= 0 && row < SETTINGS_ROW_COUNT)
    sp->selected = row;
  else if (sp->selected < 0)
    sp->selected = settings_row_at(0)->id;
  sp->hover = SETTINGS_HIT_NONE;
  sp->pressing = false;
  sp->pressed = SETTINGS_HIT_NONE;
  sp->follow = true;
}

void settings_panel_layout(SettingsPanel* sp, const SettingsContext* ctx, DrawRect panel,
                           SettingsGeometry* g) {
  memset(g, 0, sizeof *g);
  g->panel = panel;
  g->close = DrawRect{panel.x + panel.w - 44.0f, panel.y + 12.0f, 30.0f, 30.0f};
  g->list = DrawRect{panel.x + kSide, panel.y + kTop, panel.w - 2.0f * kSide,
                     std::fmax(0.0f, panel.h - kTop - kFooter)};
  g->footer = DrawRect{panel.x, panel.y + panel.h - kFooter, panel.w, kFooter};
  const float w = g->list.w;
  const float help_w = w - 2.0f * kInset;
  const float swatch = swatch_size(w);

  // Content coordinates first (0 at the list's top), then moved by the scroll.
  float y = 0.0f;
  const char* section = nullptr;
  for (int32_t i = 0; i < SETTINGS_ROW_COUNT; i++) {
    const SettingsRow* r = &kRows[i];
    g->section_y[r->id] = -1e9f;
    if (!section || strcmp(section, r->section) != 0) {
      g->section_y[r->id] = y;
      y += kSection;
      section = r->section;
    }
    float h = kRow;
    if (r->id == SET_SCENE) h += kSceneH + 6.0f;
    if (r->id == SET_COLOUR) h += swatch + 10.0f;
    if (r->id == SET_SOURCES && ctx) h += kSourceLine * (float)sources_lines(ctx);
    if (sp && r->id == sp->selected) {
      char help[512];
      settings_help(ctx, r->id, help, sizeof help);
      int starts[12];
      int lines = text_wrap(SETTINGS_HELP_STYLE, help, help_w, starts, 12);
      if (lines < 1) lines = 1;
      g->help_lines = lines;
      g->help_y = y + h;  // content coordinates until the scroll is known
      h += kHelpLine * (float)lines + 8.0f;
    }
    g->rows[r->id] = DrawRect{g->list.x, y, w, h};
    y += h;
  }
  g->content_h = y + 8.0f;
  g->max_scroll = std::fmax(0.0f, g->content_h - g->list.h);

  float scroll = sp ? sp->scroll : 0.0f;
  if (sp && sp->follow && sp->selected >= 0) {
    const DrawRect& r = g->rows[sp->selected];
    // A section's first row brings its header along.
    const float top = g->section_y[sp->selected] > -1e8f ? g->section_y[sp->selected] : r.y;
    if (top < scroll) scroll = top;
    if (r.y + r.h > scroll + g->list.h) scroll = std::fmin(top, r.y + r.h - g->list.h);
    sp->follow = false;
  }
  if (!std::isfinite(scroll)) scroll = 0.0f;
  scroll = std::fmax(0.0f, std::fmin(g->max_scroll, scroll));
  if (sp) {
    sp->scroll = scroll;
    const int32_t rows = (int32_t)(g->list.h / kRow);
    sp->page_rows = rows > 1 ? rows : 1;
  }

  const float base = g->list.y - scroll;
  for (int32_t id = 0; id < SETTINGS_ROW_COUNT; id++) {
    g->rows[id].y += base;
    if (g->section_y[id] > -1e8f) g->section_y[id] += base;
  }
  g->help_y += base;

  const DrawRect& scene = g->rows[SET_SCENE];
  const float bw = (w - 2.0f * kInset - 3.0f * 8.0f) / 4.0f;
  for (int32_t k = 0; k < SETTINGS_SCENES; k++)
    g->scenes[k] = DrawRect{scene.x + kInset + (float)k * (bw + 8.0f), scene.y + kRow, bw, kSceneH};
  const DrawRect& colour = g->rows[SET_COLOUR];
  for (int32_t k = 0; k < SETTINGS_SWATCHES; k++)
    g->swatches[k] = DrawRect{colour.x + kInset + (float)k * (swatch + 6.0f),
                              colour.y + kRow + 2.0f, swatch, swatch};
}

int32_t settings_panel_hit(const SettingsGeometry* g, float x, float y) {
  if (!g || !inside(g->panel, x, y)) return SETTINGS_HIT_NONE;
  if (inside(g->close, x, y)) return SETTINGS_HIT_CLOSE;
  if (!inside(g->list, x, y)) return SETTINGS_HIT_NONE;
  for (int32_t k = 0; k < SETTINGS_SCENES; k++)
    if (inside(g->scenes[k], x, y)) return SETTINGS_HIT_SCENE + k;
  for (int32_t k = 0; k < SETTINGS_SWATCHES; k++)
    if (inside(g->swatches[k], x, y)) return SETTINGS_HIT_SWATCH + k;
  for (int32_t id = 0; id < SETTINGS_ROW_COUNT; id++)
    if (inside(g->rows[id], x, y)) return id;
  return SETTINGS_HIT_NONE;
}

bool settings_panel_key(SettingsPanel* sp, const App* app, const SettingsContext* ctx, int32_t key,
                        bool repeat, ActionList* out) {
  if (!sp) return false;
  const int32_t at = sp->selected >= 0 ? settings_row_index(sp->selected) : -1;
  auto go = [&](int32_t index) { settings_select(sp, settings_row_at(clamp_index(index))->id); };
  switch (key) {
    case SDLK_UP:
      go(at < 0 ? 0 : at - 1);
      return true;
    case SDLK_DOWN:
      go(at < 0 ? 0 : at + 1);
      return true;
    case SDLK_HOME:
      go(0);
      return true;
    case SDLK_END:
      go(SETTINGS_ROW_COUNT - 1);
      return true;
    case SDLK_PAGEUP:
      go(at < 0 ? 0 : at - sp->page_rows);
      return true;
    case SDLK_PAGEDOWN:
      go(at < 0 ? 0 : at + sp->page_rows);
      return true;
    case SDLK_LEFT:
    case SDLK_RIGHT:
      if (at < 0)
        settings_select(sp, -1);
      else
        settings_adjust(app, ctx, sp->selected, key == SDLK_LEFT ? -1 : 1, out);
      return true;
    case SDLK_RETURN:
    case SDLK_KP_ENTER:
      if (at < 0)
        settings_select(sp, -1);
      else if (!repeat)
        settings_use(app, ctx, sp->selected, out);
      return true;
    default:
      return false;
  }
}

bool settings_panel_pointer(SettingsPanel* sp, const App* app, const SettingsContext* ctx,
                            DrawRect panel, int32_t kind, int32_t button, float x, float y,
                            double now, ActionList* out) {
  if (!sp) return false;
  SettingsGeometry g;
  settings_panel_layout(sp, ctx, panel, &g);
  const bool in = inside(panel, x, y);
  const int32_t hit = settings_panel_hit(&g, x, y);
  if (kind == 2) {
    sp->hover = hit;
    return in || sp->pressing;
  }
  if (kind == 1) {
    if (!in) return false;
    if (button != SDL_BUTTON_LEFT) return true;
    sp->pressing = true;
    sp->pressed = hit;
    sp->pressed_was_selected = hit >= 0 && hit < SETTINGS_ROW_COUNT && hit == sp->selected;
    return true;
  }
  if (kind != 3 || !sp->pressing) return in;
  if (button != SDL_BUTTON_LEFT) return true;
  sp->pressing = false;
  const int32_t began = sp->pressed;
  sp->pressed = SETTINGS_HIT_NONE;
  if (hit != began || hit == SETTINGS_HIT_NONE) return true;
  if (hit == SETTINGS_HIT_CLOSE) {
    actions_push(out, ACT_CLOSE_PANEL, 0, nullptr);
  } else if (hit >= SETTINGS_HIT_SWATCH && hit < SETTINGS_HIT_SWATCH + SETTINGS_SWATCHES) {
    actions_push(out, ACT_PAINT_COLOUR, hit - SETTINGS_HIT_SWATCH, nullptr);
    if (sp->selected != SET_COLOUR) settings_select(sp, SET_COLOUR);
  } else if (hit >= SETTINGS_HIT_SCENE && hit < SETTINGS_HIT_SCENE + SETTINGS_SCENES) {
    if (ctx && rig_usable(ctx)) actions_push(out, ACT_RIG_SCENE, hit - SETTINGS_HIT_SCENE, nullptr);
    if (sp->selected != SET_SCENE) settings_select(sp, SET_SCENE);
  } else if (hit >= 0 && hit < SETTINGS_ROW_COUNT) {
    if (!sp->pressed_was_selected) {
      settings_select(sp, hit);
    } else if (!(sp->last_use_row == hit && now - sp->last_use_at < 0.4)) {
      settings_use(app, ctx, hit, out);
      sp->last_use_row = hit;
      sp->last_use_at = now;
    }
  }
  sp->hover = hit;
  return true;
}

void settings_panel_wheel(SettingsPanel* sp, const SettingsContext* ctx, DrawRect panel, float dy) {
  if (!sp || !std::isfinite(dy)) return;
  sp->scroll -= dy * kWheelStep;
  sp->follow = false;
  SettingsGeometry g;
  settings_panel_layout(sp, ctx, panel, &g);  // clamps the scroll
}
