// The dispatcher on a real session: guards, toasts, the audio requests it builds, the flush's
// pre-screen and its re-entry rule.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "app/session_fixture.h"
#include "app/ui.h"
#include "base/version.h"
#include "platform/fsys.h"

using session_fixture::Rig;

namespace {

struct Desk {
  Rig r;
  Ui ui;
  std::vector<std::string> toasts;
  std::vector<std::string> ticks;
  // Training hook's extra work (the re-entry test).
  std::function<void(const char*)> on_tick;

  explicit Desk(bool sketch = true) {
    r.create();
    ui_init(&ui, &r.app);
    r.app.user = this;
    r.app.toast = [](void* u, const char* t) { ((Desk*)u)->toasts.push_back(t); };
    r.app.training = [](void* u, const char* task) {
      Desk* d = (Desk*)u;
      d->ticks.push_back(task);
      if (d->on_tick) d->on_tick(task);
    };
    if (sketch) {
      r.new_sketch();
      EXPECT_TRUE(r.ready());
    }
  }

  void push(int32_t kind, int32_t value = 0, const char* text = nullptr, float x = 0, float y = 0) {
    Action a{};
    a.kind = kind;
    a.value = value;
    a.x = x;
    a.y = y;
    actions_cut_utf8(a.text, sizeof a.text, text ? text : "");
    actions_append(&ui.pending, &a);
  }
  void run(int32_t kind, int32_t value = 0, const char* text = nullptr, float x = 0, float y = 0) {
    push(kind, value, text, x, y);
    ui.now = r.now;
    actions_flush(&ui);
  }
  bool toasted(const char* t) const {
    for (const auto& s : toasts)
      if (s == t) return true;
    return false;
  }
  // Three devices, the middle one running.
  void three_devices() {
    r.device.row_count = 3;
    for (int i = 0; i < 3; i++)
      snprintf(r.device.rows[i].name, sizeof r.device.rows[i].name, "Card %c [ALSA]", 'a' + i);
    r.device.row = 1;
  }
};

TEST(Actions, TheSixtyFifthActionOfAFrameIsDroppedAndTheRestRunInOrder) {
  Desk d;
  for (int i = 0; i < 64; i++) d.push(ACT_TRIANGLE_DENSITY, i % 8 + 1);
  d.push(ACT_TRIANGLE_DENSITY, 3);  // the 65th
  EXPECT_EQ(d.ui.pending.count, 64);
  actions_flush(&d.ui);
  EXPECT_EQ(d.r.settings.triangle_stride, 8);
  EXPECT_EQ(d.ui.pending.count, 0);
}

TEST(Actions, IgnoredArgumentsChangeNothing) {
  struct Case {
    int32_t kind, value;
    float x;
  };
  const Case cases[] = {{ACT_ZOOM, 0, 0.0f},          {ACT_ZOOM, 0, INFINITY},
                        {ACT_ZOOM, 0, NAN},           {ACT_TRIANGLE_DENSITY, 0, 0},
                        {ACT_TRIANGLE_DENSITY, 9, 0}, {ACT_PAINT_COLOUR, 12, 0},
                        {ACT_CURSOR_STEP, 0, NAN},    {ACT_LOOP_HANDLE_DRAG, 3, 1.0f}};
  for (const Case& c : cases) {
    Desk d;
    const View before = d.r.s->view;
    const Settings settings = d.r.settings;
    const LoopRegion loop = d.r.s->loop;
    d.run(c.kind, c.value, nullptr, c.x);
    d.r.frames(2);
    EXPECT_EQ(before.zoom_target, d.r.s->view.zoom_target) << c.kind;
    EXPECT_EQ(settings.triangle_stride, d.r.settings.triangle_stride) << c.kind;
    EXPECT_EQ(settings.paint_mode, d.r.settings.paint_mode) << c.kind;
    EXPECT_EQ(loop.in, d.r.s->loop.in) << c.kind;
    EXPECT_TRUE(d.ticks.empty()) << c.kind;
  }
}

TEST(Actions, ZoomTicksTheTrainingTaskOnlyWithASketch) {
  Desk d;
  d.run(ACT_ZOOM, 0, nullptr, 1.0f);
  EXPECT_GT(d.r.s->view.zoom_target, 1.0f);
  EXPECT_EQ(d.ticks, std::vector<std::string>{"zoom-in"});
}

TEST(Actions, MidiActionsAreMarkedAndTickTheHandsTask) {
  Desk d;
  d.run(ACT_PLAY_PAUSE, ACTION_FROM_MIDI);
  d.run(ACT_STOP, ACTION_FROM_MIDI);
  d.run(ACT_LOOP);
  EXPECT_TRUE(d.r.logged("action: play/pause (midi)"));
  EXPECT_TRUE(d.r.logged("action: stop (midi)"));
  EXPECT_EQ(d.ticks, std::vector<std::string>{"midi-hands"});
}

TEST(Actions, DeviceBufferAndRateRequests) {
  struct Case {
    int32_t kind, value;
    int setting;  // buffer_frames or sample_rate before
    int32_t posted_kind, posted_value;  // 0: nothing posted
    const char* toast;
  };
  const Case cases[] = {
      {ACT_AUDIO_DEVICE, 0, 0, AUDIO_SET_DEVICE, 2, nullptr},  // a step of 0 raises no notice
      {ACT_AUDIO_DEVICE, 1, 0, AUDIO_SET_DEVICE, 2, "SWITCHING TO CARD C [ALSA]\u2026"},
      {ACT_AUDIO_DEVICE, -1, 0, AUDIO_SET_DEVICE, 0, "SWITCHING TO CARD A [ALSA]\u2026"},
      {ACT_AUDIO_DEVICE, 3, 0, 0, 0, "THAT'S THE ONLY DEVICE"},
      {ACT_AUDIO_BUFFER, 1, 1024, AUDIO_SET_BUFFER, 64, "REOPENING AUDIO\u2026"},
      {ACT_AUDIO_BUFFER, -1, 64, AUDIO_SET_BUFFER, 1024, "REOPENING AUDIO\u2026"},
      {ACT_SAMPLE_RATE, 1, 96000, AUDIO_SET_RATE, 0, "REOPENING AUDIO\u2026"},
      {ACT_SAMPLE_RATE, -1, 0, AUDIO_SET_RATE, 96000, "REOPENING AUDIO\u2026"},
      {ACT_RESCAN, 0, 0, AUDIO_RESCAN, 0, "RESCANNING DEVICES\u2026"},
      {ACT_AUDIO_RETRY, 3, 0, AUDIO_RETRY, 3, "REOPENING AUDIO\u2026"},
      {ACT_AUDIO_RETRY, ACTION_RETRY_SAVE, 0, 0, 0, nullptr},
  };
  for (const Case& c : cases) {
    Desk d(false);  // no sketch: nothing waits for a take or a close
    d.three_devices();
    d.r.settings.buffer_frames = c.kind == ACT_AUDIO_BUFFER ? c.setting : 256;
    d.r.settings.sample_rate = c.kind == ACT_SAMPLE_RATE ? c.setting : 0;
    d.run(c.kind, c.value);
    d.r.frames(3);
    std::vector<AudioCommand> sent;
    for (const AudioCommand& cmd : d.r.posted)
      if (cmd.kind != AUDIO_OPEN) sent.push_back(cmd);
    if (c.posted_kind) {
      ASSERT_EQ(sent.size(), 1u) << c.kind << " " << c.value;
      EXPECT_EQ(sent[0].kind, c.posted_kind);
      EXPECT_EQ(sent[0].value, c.posted_value) << c.kind << " " << c.value;
    } else {
      EXPECT_TRUE(sent.empty()) << c.kind << " " << c.value;
    }
    if (c.toast) {
      EXPECT_TRUE(d.toasted(c.toast)) << c.toast;
    }
  }
}

TEST(Actions, OneDeviceOrNoneSaysSoAndSendsNothing) {
  Desk d(false);
  d.r.device.row_count = 1;
  d.r.device.row = 0;
  d.run(ACT_AUDIO_DEVICE, 0);
  d.r.device.row_count = 0;
  d.run(ACT_AUDIO_DEVICE, 1);
  EXPECT_TRUE(d.toasted("THAT'S THE ONLY DEVICE"));
  EXPECT_TRUE(d.toasted("NO AUDIO DEVICES - TRY RESCAN"));
  EXPECT_TRUE(d.r.posted.empty());
}

TEST(Actions, TheSaveRetryRunsInTheFlushAndNeverReachesTheEngine) {
  Desk d;
  d.run(ACT_AUDIO_RETRY, ACTION_RETRY_SAVE);
  EXPECT_TRUE(d.r.logged("ui: retrying the save"));
  EXPECT_FALSE(d.r.logged("action: audio retry"));
  EXPECT_TRUE(d.r.posted.empty());
}

TEST(Actions, RefusalsWithoutASketch) {
  Desk d(false);
  for (int32_t kind : {ACT_CLEAR_ASK, ACT_SHARE, ACT_EXPORT_WAV}) d.run(kind);
  EXPECT_EQ(std::count(d.toasts.begin(), d.toasts.end(), "OPEN A SKETCH FIRST"), 3);
  EXPECT_EQ(d.ui.panel, PANEL_NONE);
}

TEST(Actions, AnActionThatFlushesAgainRunsTheRestOnceInOrder) {
  Desk d;
  d.on_tick = [&](const char*) {
    d.push(ACT_NORMALISE_EXPORTS);
    actions_flush(&d.ui);
  };
  const int before = d.r.settings.export_normalize;
  d.push(ACT_ZOOM, 0, nullptr, 1.0f);
  d.push(ACT_TRIANGLE_DENSITY, 2);
  d.push(ACT_TRIANGLE_DENSITY, 5);
  actions_flush(&d.ui);
  EXPECT_EQ(d.r.settings.export_normalize, before ? 0 : 1);  // toggled once, not twice
  EXPECT_EQ(d.r.settings.triangle_stride, 5);
  EXPECT_EQ(d.ui.pending.count, 0);
}

TEST(Actions, EscapeClosesOnlyTheFirstThingInItsOrder) {
  Desk d;
  d.run(ACT_CLEAR_ASK);
  ASSERT_EQ(d.ui.panel, PANEL_CONFIRM);
  d.ui.console_open = true;
  d.run(ACT_RENAME);
  ASSERT_TRUE(d.ui.name.open);
  d.run(ACT_ESCAPE);
  EXPECT_FALSE(d.ui.name.open);
  EXPECT_EQ(d.ui.panel, PANEL_CONFIRM);
  d.run(ACT_ESCAPE);
  EXPECT_EQ(d.ui.panel, PANEL_NONE);
  EXPECT_TRUE(d.ui.console_open);
  d.run(ACT_ESCAPE);
  EXPECT_FALSE(d.ui.console_open);
}

TEST(Actions, ClearAsksThenClears) {
  Desk d;
  d.r.record_frames(48000);
  ASSERT_TRUE(d.r.settle());
  ASSERT_GT(d.r.s->meta->layerCount, 0);
  d.run(ACT_CLEAR_ASK);
  EXPECT_EQ(d.ui.panel, PANEL_CONFIRM);
  EXPECT_EQ(d.ui.confirm.kind, CONFIRM_CLEAR);
  d.run(ACT_CLEAR);
  EXPECT_EQ(d.ui.panel, PANEL_NONE);
  ASSERT_TRUE(d.r.pump_until([&] { return d.r.ready() && d.r.s->meta->layerCount == 0; }));
  EXPECT_TRUE(d.r.logged("actions: sketch cleared"));
}

TEST(Actions, RenamingARowNeedsATabAndAShortId) {
  Desk d;
  d.r.s->meta->name[0] = 0;
  const std::string id = d.r.s->meta->id;
  const std::string long_id(37, 'A');
  for (const std::string& text : {id + "no tab", long_id + "\tNew", std::string("\tNew")}) {
    d.run(ACT_LIBRARY_RENAME, 0, text.c_str());
    d.r.frames(2);
    EXPECT_STREQ(d.r.s->meta->name, "") << text;
  }
  d.run(ACT_LIBRARY_RENAME, 0, (id + "\tMorning").c_str());
  d.r.frames(2);
  EXPECT_STREQ(d.r.s->meta->name, "Morning");
}

TEST(Actions, DeletingASketchNotOpenRemovesOnlyItsFolder) {
  Desk d;
  const std::string open_folder = d.r.folder();
  const std::string open_id = d.r.s->meta->id;
  d.r.record_frames(24000);  // an empty sketch would go by itself when closed
  ASSERT_TRUE(d.r.settle());
  d.run(ACT_NEW_SKETCH);
  ASSERT_TRUE(d.r.pump_until([&] { return d.r.ready() && d.r.s->meta->id != open_id; }));
  d.r.scan();
  d.r.frames(2);
  ASSERT_GE(library_find(&d.r.lib, open_id.c_str()), 0);
  snprintf(d.r.settings.last_opened, sizeof d.r.settings.last_opened, "%s", open_id.c_str());
  d.run(ACT_DELETE_ASK, 0, open_id.c_str());
  EXPECT_EQ(d.ui.panel, PANEL_CONFIRM);
  EXPECT_EQ(d.ui.confirm.kind, CONFIRM_DELETE);
  d.run(ACT_DELETE, 0, open_id.c_str());
  EXPECT_EQ(d.ui.panel, PANEL_NONE);
  ASSERT_TRUE(d.r.pump_until([&] {
    FsysInfo info;
    return fsys_info(open_folder.c_str(), &info) != 0;
  }));
  EXPECT_EQ(d.r.settings.last_opened[0], 0);
  FsysInfo info;
  EXPECT_EQ(fsys_info(d.r.folder().c_str(), &info), 0);  // the open sketch stays
}

TEST(Actions, SettingsOpensOnARowAndClosesWithoutOne) {
  Desk d;
  struct Step {
    int32_t value;
    int32_t panel, row;
  } steps[] = {
      {-1, PANEL_SETTINGS, 0},  // the first opening selects the first row
      {3, PANEL_SETTINGS, 3},   // open: stays open on the new row
      {29, PANEL_NONE, 3},      // open, no row: closes and keeps the row
      {-1, PANEL_SETTINGS, 3},  // reopens where it was
  };
  for (const Step& st : steps) {
    d.run(ACT_SETTINGS, st.value);
    EXPECT_EQ(d.ui.panel, st.panel) << st.value;
    EXPECT_EQ(d.ui.settings_row, st.row) << st.value;
  }
  // The library's page is a setting of its own; the tab is not.
  d.run(ACT_LIBRARY_TAB, 1);
  EXPECT_EQ(d.r.settings.lib_tab, 1);
  EXPECT_EQ(d.ui.tab, UI_TAB_CANVAS);
  d.run(ACT_LIBRARY);
  EXPECT_EQ(d.ui.tab, UI_TAB_LIBRARY);
  EXPECT_EQ(d.r.settings.lib_tab, 1);
  d.run(ACT_LIBRARY);
  EXPECT_EQ(d.ui.tab, UI_TAB_CANVAS);
}

TEST(Actions, GuidancePanelsAndTheMidiSwitch) {
  Desk d;
  // MIDI in off and on again: the setting flips; switching off with no MIDI made makes none.
  d.run(ACT_MIDI_IN);
  EXPECT_EQ(d.r.app.settings.midi_off, 1);
  EXPECT_EQ(d.r.app.midi, nullptr);
  d.run(ACT_MIDI_IN);
  EXPECT_EQ(d.r.app.settings.midi_off, 0);
  d.run(ACT_TRAINING);
  EXPECT_EQ(d.ui.panel, PANEL_TRAINING);
  d.run(ACT_CLOSE_PANEL);
  // HELP and KEYS toggle their panels.
  for (int32_t kind : {ACT_HELP, ACT_KEYS}) {
    d.run(kind);
    EXPECT_EQ(d.ui.panel, kind == ACT_HELP ? PANEL_HELP : PANEL_KEYS);
    d.run(kind);
    EXPECT_EQ(d.ui.panel, PANEL_NONE);
  }
  // WHAT'S NEW opens on this version's entry and pages within the six, only while it is open.
  const WhatsNewCard* card = &d.r.app.whats_new.card;
  d.run(ACT_WHATS_NEW);
  EXPECT_EQ(d.ui.panel, PANEL_WHATS_NEW);
  EXPECT_EQ(card->entry, whatsnew_find(KELP_VERSION_TEXT));
  for (int i = 0; i < 8; i++) d.run(ACT_WHATS_NEW_PAGE, 1);
  EXPECT_EQ(card->entry, WHATSNEW_ENTRIES - 1);
  d.run(ACT_WHATS_NEW_PAGE, -1);
  EXPECT_EQ(card->entry, WHATSNEW_ENTRIES - 2);
  d.run(ACT_CLOSE_PANEL);
  d.run(ACT_WHATS_NEW_PAGE, -1);
  EXPECT_EQ(card->entry, WHATSNEW_ENTRIES - 2);
  // Opened by the user: closing stamps nothing.
  EXPECT_EQ(d.r.app.settings.whatsnew_seen[0], 0);
  d.run(ACT_RIG);
  EXPECT_TRUE(d.toasted("NO RIG THIS RUN - INPUTS 1 AND 2 GO STRAIGHT IN"));
}

}  // namespace

namespace {

TEST(Actions, ADroppedPathTooLongToKeepWholeIsRefusedCleanly) {
  Desk d;
  const std::string path = "/" + std::string(4999, 'a');
  EXPECT_EQ(app_import_dropped(&d.r.app, path.c_str()), -1);
  EXPECT_TRUE(d.toasted("THAT FILE'S PATH IS TOO LONG TO IMPORT"));
  const char* paths[1] = {path.c_str()};
  EXPECT_EQ(library_import(&d.r.lib, d.r.jobs, paths, 1), 0);  // the library refuses it too
}

}  // namespace
