// The SETTINGS panel on a real session: every row's value and note over a few states (one of them
// a real engine on a private JACK server), what adjusting and using rows appends, its keys, the
// two-click rule and the wheel, and one drawing on a software canvas.
#include "app/settings_panel.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/session_fixture.h"
#include "audio/audio_harness.h"
#include "store/meta.h"
#include "support/jack_server.h"
#include "support/soft_canvas.h"
#include "ui/text.h"

using session_fixture::Rig;

#include "support/fontconfig_leaks.h"

namespace {

using Kinds = std::vector<std::pair<int32_t, int32_t>>;  // (kind, value)

Kinds kinds_of(const ActionList& l) {
  Kinds k;
  for (int i = 0; i < l.count; i++) k.emplace_back(l.items[i].kind, l.items[i].value);
  return k;
}

struct Desk {
  Rig r;
  SettingsContext ctx{};
  SettingsMidiInput midi[2] = {{"Launch Control XL 3", false}, {"nanoKEY2", true}};
  JackServer* server = nullptr;
  Core* engine_core = nullptr;
  AudioEngine* engine = nullptr;

  explicit Desk(bool sketch = true) {
    r.create();
    if (sketch) r.new_sketch();
    Settings& s = r.settings;
    s.full_ui = 1;
    s.triangle_stride = 2;
    s.canvas_2x = 0;
    s.raw_playback = 0;
    s.exclusive = 0;
    s.sample_rate = 0;
    s.buffer_frames = 256;
    s.paint_mode = 0;
    s.export_normalize = 0;
    s.broadcast = 0;
    r.device.row_count = 0;
    r.device.row = -1;
  }
  ~Desk() {
    if (engine) audio_engine_destroy(engine);
    if (engine_core) core_free(engine_core);
    if (server) jack_server_stop(server);
  }
  // The context as the window fills it, with the parts no App holds at their quiet values.
  void fill() {
    r.frames(1);
    settings_context_fill(&ctx, &r.app);
    ctx.training_done = 3;
    ctx.training_total = 12;
    ctx.version = "2.4";
    ctx.whats_new_version = "2.4";
  }
  void devices(int count, int row, int state) {
    r.device.row_count = count;
    for (int i = 0; i < count; i++)
      snprintf(r.device.rows[i].name, sizeof r.device.rows[i].name, "Card %c [ALSA]", 'a' + i);
    r.device.row = row;
    r.device.state = state;
    snprintf(r.device.host_api, sizeof r.device.host_api, "ALSA");
  }
  void record_and_settle() {
    r.record_frames(48000);
    ASSERT_TRUE(r.settle());
  }
  // A real engine on JACK's dummy backend: its status stands in for the session's.
  void jack() {
    server = jack_server_start();
    ASSERT_NE(server, nullptr) << "jackd (package jackd2) must be installed and startable";
    engine_core = core_new();
    engine = audio_engine_create(engine_core, nullptr);
    ASSERT_NE(engine, nullptr);
    AudioEngineConfig cfg = audio_config("system", 256, 0);
    AudioStatus st;
    ASSERT_TRUE(audio_wait_command(engine, audio_engine_open(engine, &cfg), 10000, &st));
    ASSERT_EQ(st.state, AUDIO_RUNNING) << st.message;
  }
  std::pair<std::string, std::string> value(int32_t row) {
    char v[1100], n[128];
    settings_value(&r.app, &ctx, row, v, sizeof v, n, sizeof n);
    return {v, n};
  }
  Kinds adjust(int32_t row, int32_t dir) {
    ActionList out{};
    if (dir == 0)
      settings_use(&r.app, &ctx, row, &out);
    else
      settings_adjust(&r.app, &ctx, row, dir, &out);
    return kinds_of(out);
  }
};

void pick_custom_colour(Rig& r) {
  r.s->meta->hasPickedColor = true;
  r.s->meta->pickedColor = MetaRgb{0.1, 0.2, 0.3};
}

// ---- values ----

enum StateId { NO_ENGINE, ON_JACK, CUSTOM, LOOPED, NO_SKETCH, STATES };

void setup_state(Desk& d, int state) {
  Settings& s = d.r.settings;
  switch (state) {
    case NO_ENGINE:
      d.fill();
      d.ctx.has_audio = false;
      break;
    case ON_JACK: {
      d.jack();
      s.full_ui = 0;
      s.triangle_stride = 3;
      s.canvas_2x = 1;
      s.raw_playback = 1;
      s.paint_mode = 1;
      s.exclusive = 1;
      s.sample_rate = 44100;
      s.buffer_frames = 512;
      d.fill();
      audio_engine_status(d.engine, &d.ctx.audio);
      d.ctx.has_audio = true;
      break;
    }
    case CUSTOM:
      d.record_and_settle();
      session_paint_colour(d.r.s, 11);
      s.triangle_stride = 4;
      s.export_normalize = 1;
      d.devices(3, 1, AUDIO_RECOVERING);
      d.r.device.attempt = 2;
      d.fill();
      d.ctx.too_short = true;
      d.ctx.library_default = false;
      d.ctx.library_folder = "/data/sketches";
      d.ctx.rig_present = d.ctx.rig_panel = true;
      d.ctx.rig_live = 3;
      d.ctx.rig_total = 8;
      d.ctx.midi_on = true;
      d.ctx.midi_last = "NOTE C1 ON";
      d.ctx.midi_inputs = d.midi;
      d.ctx.midi_input_count = 2;
      d.ctx.station_built = d.ctx.station_on_air = true;
      d.ctx.station_listeners = 2;
      d.ctx.station_stream = "Kelp NOVA \u00b7 desk";
      d.ctx.sound_tool_installed = true;
      d.ctx.sound_tool_name = "pavucontrol";
      d.ctx.rescan_waiting = true;
      break;
    case LOOPED:
      d.record_and_settle();
      pick_custom_colour(d.r);
      d.r.s->loop = LoopRegion{0.2, 0.6, true};
      s.triangle_stride = 5;
      s.exclusive = 1;
      d.devices(1, 0, AUDIO_RUNNING);
      d.r.device.duplex = false;
      d.r.device.exclusive = false;
      d.r.device.rate = 48000;
      d.r.device.frames = 256;
      d.r.device.input_latency_ms = 5.0;
      d.fill();
      d.ctx.rig_present = d.ctx.rig_loading = d.ctx.rig_panel = true;
      d.ctx.midi_on = true;
      d.ctx.station_built = d.ctx.station_on_air = true;  // on air, but the firewall is in the way
      d.ctx.firewall_message = "BLOCKED BY LINUX FIREWALL - ALLOW";
      break;
    case NO_SKETCH:
      s.full_ui = 0;
      s.triangle_stride = 7;
      s.broadcast = 1;
      d.devices(0, -1, AUDIO_HUNG);
      d.fill();
      d.ctx.too_short = true;
      d.ctx.rig_present = d.ctx.rig_read_only = d.ctx.rig_all_muted = d.ctx.rig_panel = true;
      d.ctx.station_built = true;
      break;
  }
}

struct ValueCase {
  int state;
  int32_t row;
  const char* value;  // a trailing '*' matches a prefix
  const char* note;
};

const ValueCase kValues[] = {
    {NO_ENGINE, SET_ZEN, "OFF", ""},
    {NO_ENGINE, SET_DENSITY, "DENSE", ""},
    {NO_ENGINE, SET_EDGES, "SMOOTH", ""},
    {NO_ENGINE, SET_SCENE, "NO INTERFACE", ""},
    {NO_ENGINE, SET_MONITOR, "OFF", ""},
    {NO_ENGINE, SET_PLAYBACK, "NORM", ""},
    {NO_ENGINE, SET_DEVICE, "NO INPUT DEVICES", "   -/0"},
    {NO_ENGINE, SET_EXCLUSIVE, "OFF", ""},
    {NO_ENGINE, SET_RATE, "AUTO", ""},
    {NO_ENGINE, SET_BUFFER, "256", ""},
    {NO_ENGINE, SET_DRIVER_PANEL, "NO SOUND SETTINGS FOUND", ""},
    {NO_ENGINE, SET_RESCAN, "", ""},
    {NO_ENGINE, SET_AUDIO, "OFF", ""},
    {NO_ENGINE, SET_PAINT_MODE, "OFF", ""},
    {NO_ENGINE, SET_COLOUR, "NONE PICKED", ""},
    {NO_ENGINE, SET_MIDI_IN, "ON", ""},
    {NO_ENGINE, SET_SOURCES, "\u2014", ""},
    {NO_ENGINE, SET_EXPORT, "RECORD SOMETHING FIRST", ""},
    {NO_ENGINE, SET_NORMALISE, "OFF", ""},
    {NO_ENGINE, SET_EXPORTS_FOLDER, "*/library/exports", ""},
    {NO_ENGINE, SET_LIBRARY_FOLDER, "Music/kelp", ""},
    {NO_ENGINE, SET_CLEAR, "", ""},
    {NO_ENGINE, SET_HELP, "F1", ""},
    {NO_ENGINE, SET_TRAINING, "3 / 12", ""},
    {NO_ENGINE, SET_WHATS_NEW, "2.4", ""},
    {NO_ENGINE, SET_DISCORD, "", ""},
    {NO_ENGINE, SET_KEYS, "?", ""},
    {NO_ENGINE, SET_RIG, "UNAVAILABLE", ""},
    {NO_ENGINE, SET_BROADCAST, "NOT BUILT", ""},

    {ON_JACK, SET_ZEN, "ON", ""},
    {ON_JACK, SET_DENSITY, "NORMAL", ""},
    {ON_JACK, SET_EDGES, "SUPERSAMPLED", ""},
    {ON_JACK, SET_PLAYBACK, "RAW", ""},
    {ON_JACK, SET_PAINT_MODE, "ON", ""},
    {ON_JACK, SET_DEVICE, "system [JACK Audio Connection Kit]", "   1/1"},
    {ON_JACK, SET_EXCLUSIVE, "ON   ALSA ONLY", ""},
    {ON_JACK, SET_RATE, "44100 HZ", "  NOW 48000 HZ"},
    {ON_JACK, SET_BUFFER, "256", "   ASKED 512"},
    {ON_JACK, SET_DRIVER_PANEL, "RUNNING ON JACK", ""},
    {ON_JACK, SET_AUDIO, "JACK \u00b7 48000 HZ \u00b7 256 \u00b7 IN *", ""},

    {CUSTOM, SET_ZEN, "OFF", "   ZEN UNTIL THE WINDOW IS TALLER"},
    {CUSTOM, SET_DENSITY, "STRIDE 4", ""},
    {CUSTOM, SET_SCENE, "", ""},
    {CUSTOM, SET_DEVICE, "Card b [ALSA]", "   2/3   RECONNECTING\u2026"},
    {CUSTOM, SET_DRIVER_PANEL, "PAVUCONTROL", ""},
    {CUSTOM, SET_RESCAN, "WAITING FOR QUIET", ""},
    {CUSTOM, SET_AUDIO, "RECONNECTING\u2026   TRY 2", ""},
    {CUSTOM, SET_COLOUR, "KEY =", ""},
    {CUSTOM, SET_SOURCES, "NOTE C1 ON", ""},
    {CUSTOM, SET_EXPORT, "WHOLE SKETCH", ""},
    {CUSTOM, SET_NORMALISE, "ON", ""},
    {CUSTOM, SET_LIBRARY_FOLDER, "/data/sketches", "   \u2190 RESETS"},
    {CUSTOM, SET_RIG, "3 OF 8 LIVE", ""},
    {CUSTOM, SET_BROADCAST, "ON AIR   2 LISTENING   Kelp NOVA \u00b7 desk", ""},

    {LOOPED, SET_DENSITY, "SPARSE", ""},
    {LOOPED, SET_SCENE, "LOADING RIG\u2026", ""},
    {LOOPED, SET_DEVICE, "Card a [ALSA]", "   1/1   NO OUT"},
    {LOOPED, SET_EXCLUSIVE, "ON   REFUSED - RUNNING SHARED", ""},
    {LOOPED, SET_AUDIO, "ALSA \u00b7 48000 HZ \u00b7 256 \u00b7 IN 5.0 MS \u00b7 NO OUT", ""},
    {LOOPED, SET_COLOUR, "CUSTOM", ""},
    {LOOPED, SET_SOURCES, "\u2014", ""},
    {LOOPED, SET_EXPORT, "JUST THE LOOP", ""},
    {LOOPED, SET_RIG, "LOADING RIG\u2026", ""},
    {LOOPED, SET_BROADCAST, "BLOCKED BY LINUX FIREWALL - ALLOW", ""},

    {NO_SKETCH, SET_ZEN, "ON", ""},
    {NO_SKETCH, SET_DENSITY, "STRIDE 7", ""},
    {NO_SKETCH, SET_SCENE, "READ ONLY - MADE BY A NEWER APP", ""},
    {NO_SKETCH, SET_DEVICE, "NO INPUT DEVICES", "   -/0   DRIVER STOPPED ANSWERING"},
    {NO_SKETCH, SET_AUDIO, "DRIVER STOPPED ANSWERING", ""},
    {NO_SKETCH, SET_EXPORT, "RECORD SOMETHING FIRST", ""},
    {NO_SKETCH, SET_CLEAR, "NO SKETCH OPEN", ""},
    {NO_SKETCH, SET_RIG, "ALL INPUTS MUTED", ""},
    {NO_SKETCH, SET_BROADCAST, "ON   (STARTING)", ""},
};

bool matches(const std::string& got, const char* want) {
  const std::string w = want;
  if (!w.empty() && w.front() == '*')
    return got.size() >= w.size() - 1 &&
           got.compare(got.size() - (w.size() - 1), w.size() - 1, w, 1) == 0;
  if (!w.empty() && w.back() == '*') return got.compare(0, w.size() - 1, w, 0, w.size() - 1) == 0;
  return got == w;
}

TEST(SettingsPanel, EveryRowShowsItsValueAndNote) {
  bool seen[SETTINGS_ROW_COUNT] = {};
  for (int state = 0; state < STATES; state++) {
    Desk d(state != NO_SKETCH);
    setup_state(d, state);
    if (HasFatalFailure()) return;
    for (const ValueCase& c : kValues) {
      if (c.state != state) continue;
      seen[c.row] = true;
      const auto [value, note] = d.value(c.row);
      EXPECT_TRUE(matches(value, c.value))
          << "state " << state << " row " << c.row << ": " << value;
      EXPECT_EQ(note, c.note) << "state " << state << " row " << c.row;
    }
  }
  for (int32_t id = 0; id < SETTINGS_ROW_COUNT; id++) EXPECT_TRUE(seen[id]) << id;
}

TEST(SettingsPanel, TheTableHasEveryRowOnceWithItsHelpFilledIn) {
  bool ids[SETTINGS_ROW_COUNT] = {};
  for (int32_t i = 0; i < SETTINGS_ROW_COUNT; i++) {
    const SettingsRow* r = settings_row_at(i);
    ASSERT_NE(r, nullptr);
    ASSERT_FALSE(ids[r->id]) << r->id;
    ids[r->id] = true;
    EXPECT_EQ(settings_row_index(r->id), i);
    EXPECT_TRUE(r->help[0]) << r->id;
    EXPECT_EQ(strstr(r->help, "Windows"), nullptr) << r->id;
  }
  EXPECT_EQ(settings_row_at(29), nullptr);
  SettingsContext c{};
  c.training_done = 4;
  c.training_total = 20;
  c.version = "2.4.1";
  char help[512];
  settings_help(&c, SET_TRAINING, help, sizeof help);
  EXPECT_NE(strstr(help, "\u2014 4 of 20 so far."), nullptr) << help;
  settings_help(&c, SET_WHATS_NEW, help, sizeof help);
  EXPECT_EQ(strncmp(help, "What changed in 2.4.1 \u2014", strlen("What changed in 2.4.1 \u2014")),
            0);
}

// ---- adjust and use ----

struct AdjustCase {
  const char* name;
  int32_t row;
  int32_t dir;  // 0: use
  std::function<void(Desk&)> setup;
  Kinds want;
};

TEST(SettingsPanel, AdjustAndUseAppendTheRowsActions) {
  auto stride = [](int v) { return [v](Desk& d) { d.r.settings.triangle_stride = v; }; };
  auto colour = [](int v) { return [v](Desk& d) { session_paint_colour(d.r.s, v); }; };
  auto none = [](Desk&) {};
  const AdjustCase cases[] = {
      {"density 4 right", SET_DENSITY, 1, stride(4), {{ACT_TRIANGLE_DENSITY, 5}}},
      {"density 5 right", SET_DENSITY, 1, stride(5), {{ACT_TRIANGLE_DENSITY, 2}}},
      {"density 2 left", SET_DENSITY, -1, stride(2), {{ACT_TRIANGLE_DENSITY, 5}}},
      {"density 1 right", SET_DENSITY, 1, stride(1), {{ACT_TRIANGLE_DENSITY, 3}}},
      {"density 7 left", SET_DENSITY, -1, stride(7), {{ACT_TRIANGLE_DENSITY, 3}}},
      {"colour none left", SET_COLOUR, -1, none, {{ACT_PAINT_COLOUR, 11}}},
      {"colour none right", SET_COLOUR, 1, none, {{ACT_PAINT_COLOUR, 0}}},
      {"colour 11 right", SET_COLOUR, 1, colour(11), {{ACT_PAINT_COLOUR, 0}}},
      {"colour 0 left", SET_COLOUR, -1, colour(0), {{ACT_PAINT_COLOUR, 11}}},
      {"colour custom right",
       SET_COLOUR,
       1,
       [](Desk& d) { pick_custom_colour(d.r); },
       {{ACT_PAINT_COLOUR, 0}}},
      {"library default left", SET_LIBRARY_FOLDER, -1, none, {}},
      {"library custom left",
       SET_LIBRARY_FOLDER,
       -1,
       [](Desk& d) { snprintf(d.r.settings.library_dir, sizeof d.r.settings.library_dir, "/x"); },
       {{ACT_LIBRARY_FOLDER_RESET, 0}}},
      {"library custom right",
       SET_LIBRARY_FOLDER,
       1,
       [](Desk& d) { snprintf(d.r.settings.library_dir, sizeof d.r.settings.library_dir, "/x"); },
       {}},
      {"library use", SET_LIBRARY_FOLDER, 0, none, {{ACT_LIBRARY_FOLDER, 0}}},
      {"edges", SET_EDGES, -1, [](Desk& d) { d.r.settings.canvas_2x = 1; }, {{ACT_EDGES, 0}}},
      {"playback", SET_PLAYBACK, 1, none, {{ACT_NORM_RAW, 1}}},
      {"zen used", SET_ZEN, 0, none, {{ACT_ZEN_FULL, 0}}},
      {"monitor", SET_MONITOR, -1, none, {{ACT_MONITOR_TOGGLE, 0}}},
      {"scene without a rig", SET_SCENE, 1, none, {}},
      {"scene 3 right",
       SET_SCENE,
       1,
       [](Desk& d) { d.ctx.rig_present = true, d.ctx.rig_scene = 3; },
       {{ACT_RIG_SCENE, 0}}},
      {"scene 0 left",
       SET_SCENE,
       -1,
       [](Desk& d) { d.ctx.rig_present = true, d.ctx.rig_scene = 0; },
       {{ACT_RIG_SCENE, 3}}},
      {"one device", SET_DEVICE, 1, [](Desk& d) { d.devices(1, 0, AUDIO_RUNNING); }, {}},
      {"three devices left",
       SET_DEVICE,
       -1,
       [](Desk& d) { d.devices(3, 1, AUDIO_RUNNING); },
       {{ACT_AUDIO_DEVICE, -1}}},
      {"exclusive on jack",
       SET_EXCLUSIVE,
       1,
       [](Desk& d) { d.devices(1, 0, AUDIO_RUNNING), snprintf(d.r.device.host_api, 16, "JACK"); },
       {}},
      {"exclusive on alsa",
       SET_EXCLUSIVE,
       1,
       [](Desk& d) { d.devices(1, 0, AUDIO_RUNNING); },
       {{ACT_EXCLUSIVE, 0}}},
      {"rate", SET_RATE, -1, none, {{ACT_SAMPLE_RATE, -1}}},
      {"buffer", SET_BUFFER, 1, none, {{ACT_AUDIO_BUFFER, 1}}},
      {"buffer used", SET_BUFFER, 0, none, {{ACT_AUDIO_BUFFER, 1}}},
      {"driver panel without a tool", SET_DRIVER_PANEL, 0, none, {}},
      {"driver panel",
       SET_DRIVER_PANEL,
       0,
       [](Desk& d) { d.ctx.sound_tool_installed = true; },
       {{ACT_DRIVER_PANEL, 0}}},
      {"rescan waiting", SET_RESCAN, 0, [](Desk& d) { d.ctx.rescan_waiting = true; }, {}},
      {"rescan", SET_RESCAN, 0, none, {{ACT_RESCAN, 0}}},
      {"audio info", SET_AUDIO, 0, none, {}},
      {"sources", SET_SOURCES, 0, none, {}},
      {"paint mode", SET_PAINT_MODE, 1, none, {{ACT_PAINT_MODE, 0}}},
      {"midi in", SET_MIDI_IN, 1, none, {{ACT_MIDI_IN, 0}}},
      {"export", SET_EXPORT, 0, none, {{ACT_EXPORT_WAV, 0}}},
      {"export adjusted", SET_EXPORT, 1, none, {}},
      {"normalise", SET_NORMALISE, 0, none, {{ACT_NORMALISE_EXPORTS, 0}}},
      {"exports folder", SET_EXPORTS_FOLDER, 0, none, {{ACT_OPEN_EXPORTS, 0}}},
      {"clear", SET_CLEAR, 0, none, {{ACT_CLEAR_ASK, 0}}},
      {"clear without a sketch", SET_CLEAR, 0, [](Desk& d) { d.ctx.snap = nullptr; }, {}},
      {"help", SET_HELP, 0, none, {{ACT_HELP, 0}}},
      {"training", SET_TRAINING, 0, none, {{ACT_TRAINING, 0}}},
      {"what's new", SET_WHATS_NEW, 0, none, {{ACT_WHATS_NEW, 0}}},
      {"discord", SET_DISCORD, 0, none, {{ACT_OPEN_LINK, 0}}},
      {"keys", SET_KEYS, 0, none, {{ACT_KEYS, 0}}},
      {"rig without a panel", SET_RIG, 0, none, {}},
      {"rig", SET_RIG, 0, [](Desk& d) { d.ctx.rig_panel = true; }, {{ACT_RIG, 0}}},
      {"broadcast not built", SET_BROADCAST, 1, none, {}},
      {"broadcast",
       SET_BROADCAST,
       0,
       [](Desk& d) { d.ctx.station_built = true; },
       {{ACT_BROADCAST, 0}}},
  };
  Desk d;
  const Settings clean = d.r.settings;
  for (const AdjustCase& c : cases) {
    d.r.settings = clean;
    d.r.s->meta->hasPickedColor = false;
    d.r.device.row_count = 0;
    d.r.device.row = -1;
    d.fill();
    d.ctx.has_audio = true;
    c.setup(d);
    // Changes made to the session or the engine's record reach the context as the window's would.
    const SettingsContext kept = d.ctx;
    settings_context_fill(&d.ctx, &d.r.app);
    d.ctx.rig_present = kept.rig_present;
    d.ctx.rig_scene = kept.rig_scene;
    d.ctx.rig_panel = kept.rig_panel;
    d.ctx.sound_tool_installed = kept.sound_tool_installed;
    d.ctx.rescan_waiting = kept.rescan_waiting;
    d.ctx.station_built = kept.station_built;
    if (!kept.snap) d.ctx.snap = nullptr;
    EXPECT_EQ(d.adjust(c.row, c.dir), c.want) << c.name;
  }
  ActionList out{};
  settings_use(&d.r.app, &d.ctx, SET_DISCORD, &out);
  EXPECT_STREQ(out.items[0].text, SETTINGS_COMMUNITY_LINK);
}

// ---- keys, pointer, wheel ----

constexpr DrawRect kPanelRect = {600, 60, 380, 560};

int32_t row_at_index(int32_t i) {
  return settings_row_at(i)->id;
}

TEST(SettingsPanel, KeysSelectClampAndAct) {
  Desk d(false);
  d.fill();
  SettingsPanel sp;
  settings_panel_init(&sp);
  ActionList out{};
  auto key = [&](int32_t k, bool repeat = false) {
    return settings_panel_key(&sp, &d.r.app, &d.ctx, k, repeat, &out);
  };
  EXPECT_TRUE(key(SDLK_RIGHT));  // nothing chosen yet: the first row, no change
  EXPECT_EQ(sp.selected, row_at_index(0));
  EXPECT_EQ(out.count, 0);
  EXPECT_TRUE(key(SDLK_UP));
  EXPECT_EQ(sp.selected, row_at_index(0));
  EXPECT_TRUE(key(SDLK_DOWN));
  EXPECT_EQ(sp.selected, SET_DENSITY);
  d.r.settings.triangle_stride = 3;
  EXPECT_TRUE(key(SDLK_RIGHT, true));  // held arrows keep stepping
  EXPECT_EQ(kinds_of(out), (Kinds{{ACT_TRIANGLE_DENSITY, 5}}));
  out.count = 0;
  EXPECT_TRUE(key(SDLK_END));
  EXPECT_EQ(sp.selected, row_at_index(SETTINGS_ROW_COUNT - 1));
  EXPECT_TRUE(key(SDLK_DOWN));
  EXPECT_EQ(sp.selected, row_at_index(SETTINGS_ROW_COUNT - 1));
  EXPECT_TRUE(key(SDLK_KP_ENTER, true));  // a held Enter acts once
  EXPECT_EQ(out.count, 0);
  EXPECT_TRUE(key(SDLK_RETURN));
  EXPECT_EQ(kinds_of(out), (Kinds{{ACT_OPEN_LINK, 0}}));
  EXPECT_TRUE(key(SDLK_HOME));
  sp.page_rows = 5;
  EXPECT_TRUE(key(SDLK_PAGEDOWN));
  EXPECT_EQ(sp.selected, row_at_index(5));
  EXPECT_TRUE(key(SDLK_PAGEUP));
  EXPECT_TRUE(key(SDLK_PAGEUP));
  EXPECT_EQ(sp.selected, row_at_index(0));
  EXPECT_FALSE(key(SDLK_z));
  EXPECT_FALSE(key(SDLK_ESCAPE));
  settings_select(&sp, -1);
  EXPECT_EQ(sp.selected, row_at_index(0));  // none keeps the current row
}

TEST(SettingsPanel, AClickSelectsAndASecondClickUses) {
  Desk d;
  d.fill();
  d.ctx.rig_present = true;
  SettingsPanel sp;
  settings_panel_init(&sp);
  ActionList out{};
  auto geometry = [&] {
    SettingsGeometry g;
    settings_panel_layout(&sp, &d.ctx, kPanelRect, &g);
    return g;
  };
  auto click = [&](DrawRect r, double now, float dy = 0) {
    const float x = r.x + r.w * 0.5f, y = r.y + 8 + dy;
    EXPECT_TRUE(settings_panel_pointer(&sp, &d.r.app, &d.ctx, kPanelRect, 1, SDL_BUTTON_LEFT, x, y,
                                       now, &out));
    EXPECT_TRUE(settings_panel_pointer(&sp, &d.r.app, &d.ctx, kPanelRect, 3, SDL_BUTTON_LEFT, x, y,
                                       now, &out));
  };
  SettingsGeometry g = geometry();
  click(g.rows[SET_EDGES], 1.0);
  EXPECT_EQ(sp.selected, SET_EDGES);
  EXPECT_EQ(out.count, 0);
  g = geometry();  // the help line opened under the row
  click(g.rows[SET_EDGES], 3.0);
  EXPECT_EQ(kinds_of(out), (Kinds{{ACT_EDGES, 1}}));
  click(g.rows[SET_EDGES], 3.2);  // a fast third click doesn't act again
  EXPECT_EQ(out.count, 1);
  out.count = 0;

  // A press that leaves its row does nothing; a press outside isn't the panel's.
  g = geometry();
  const DrawRect a = g.rows[SET_ZEN], b = g.rows[SET_DENSITY];
  settings_panel_pointer(&sp, &d.r.app, &d.ctx, kPanelRect, 1, SDL_BUTTON_LEFT, a.x + 20, a.y + 8,
                         5.0, &out);
  settings_panel_pointer(&sp, &d.r.app, &d.ctx, kPanelRect, 3, SDL_BUTTON_LEFT, b.x + 20, b.y + 8,
                         5.0, &out);
  EXPECT_EQ(sp.selected, SET_EDGES);
  EXPECT_FALSE(settings_panel_pointer(&sp, &d.r.app, &d.ctx, kPanelRect, 1, SDL_BUTTON_LEFT, 10, 10,
                                      5.0, &out));

  click(g.scenes[2], 6.0, 0);
  click(g.close, 7.0, 6);
  EXPECT_EQ(kinds_of(out), (Kinds{{ACT_RIG_SCENE, 2}, {ACT_CLOSE_PANEL, 0}}));
  EXPECT_EQ(sp.selected, SET_SCENE);
  out.count = 0;

  // The swatches are further down: the wheel brings them into view.
  settings_panel_wheel(&sp, &d.ctx, kPanelRect, -10.0f);
  EXPECT_GT(sp.scroll, 0.0f);
  g = geometry();
  ASSERT_GE(g.swatches[4].y, g.list.y);
  ASSERT_LE(g.swatches[4].y + g.swatches[4].h, g.list.y + g.list.h);
  click(g.swatches[4], 8.0, 2);
  EXPECT_EQ(kinds_of(out), (Kinds{{ACT_PAINT_COLOUR, 4}}));
  EXPECT_EQ(sp.selected, SET_COLOUR);
}

TEST(SettingsPanel, TheWheelStopsAtTheEndsAndTheSelectionStaysInView) {
  Desk d(false);
  d.fill();
  SettingsPanel sp;
  settings_panel_init(&sp);
  SettingsGeometry g;
  settings_panel_wheel(&sp, &d.ctx, kPanelRect, 3.0f);
  EXPECT_EQ(sp.scroll, 0.0f);
  settings_panel_wheel(&sp, &d.ctx, kPanelRect, -1000.0f);
  settings_panel_layout(&sp, &d.ctx, kPanelRect, &g);
  EXPECT_GT(g.max_scroll, 0.0f);
  EXPECT_EQ(sp.scroll, g.max_scroll);
  for (int32_t i : {0, 12, SETTINGS_ROW_COUNT - 1, 3}) {
    settings_select(&sp, row_at_index(i));
    settings_panel_layout(&sp, &d.ctx, kPanelRect, &g);
    const DrawRect& r = g.rows[row_at_index(i)];
    EXPECT_GE(r.y, g.list.y - 0.01f) << i;
    EXPECT_LE(r.y + r.h, g.list.y + g.list.h + 0.01f) << i;
    EXPECT_EQ(settings_panel_hit(&g, r.x + 30, r.y + 8), row_at_index(i)) << i;
  }
}

TEST(SettingsPanel, DrawsTheSelectedRowInTheAccent) {
  Desk d;
  d.fill();
  SoftCanvas canvas(1000, 700);
  ASSERT_NE(canvas.p, nullptr);
  ASSERT_EQ(text_init(canvas.renderer), 0);
  text_set_pixel_scale(1.0f);
  SettingsPanel sp;
  settings_panel_init(&sp);
  settings_select(&sp, SET_EDGES);
  const DrawColour accent = {0.1f, 0.9f, 0.2f, 1.0f};
  settings_panel_draw(&sp, &d.r.app, &d.ctx, canvas.p, kPanelRect, 1.0f, accent, 1.0);
  SettingsGeometry g;
  settings_panel_layout(&sp, &d.ctx, kPanelRect, &g);
  const DrawRect& row = g.rows[SET_EDGES];
  const uint32_t inside = canvas.pixel((int)(row.x + row.w * 0.5f), (int)(row.y + row.h - 3));
  const uint32_t plain =
      canvas.pixel((int)(kPanelRect.x + 8), (int)(kPanelRect.y + kPanelRect.h - 60));
  const int g_in = (inside >> 8) & 0xFF, r_in = (inside >> 16) & 0xFF;
  EXPECT_GT(g_in, r_in + 8) << std::hex << inside;  // tinted green by the accent
  EXPECT_NE(inside, plain);
  EXPECT_EQ(canvas.pixel(10, 10) & 0xFFFFFF, 0u);  // nothing outside the panel
  text_free();
}

}  // namespace
