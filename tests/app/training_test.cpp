// Training: the three kelp.ini texts in and out, ticking (once each, full lists), the task card's
// show, the TRAINING panel's replay of new ticks, and the panel drawn at the smallest window.
#include "app/training.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "support/fontconfig_leaks.h"
#include "support/soft_canvas.h"
#include "ui/text.h"

namespace {

// The TRAINING panel at the smallest window (720 x 480): 440 wide, below the top bar.
constexpr DrawRect kSmallPanel = {264, 60, 440, 404};

struct Saved {
  char done[TRAINING_LIST_TEXT], unseen[TRAINING_LIST_TEXT], found[TRAINING_FOUND_TEXT];
};
Saved save(const TrainingLog& log) {
  Saved s;
  training_save(&log, s.done, sizeof s.done, s.unseen, sizeof s.unseen, s.found, sizeof s.found);
  return s;
}

TEST(TrainingLoad, SkipsWhatCannotBeAnIdAndKeepsUnknownOnes) {
  struct Case {
    const char* text;
    const char* saved;
  } cases[] = {
      {"", ""},
      {" first-note ,\tzoom-in\r\n", "first-note,zoom-in"},
      {"first-note,,first-note, ,", "first-note"},
      {"from-a-later-version,zoom-in", "from-a-later-version,zoom-in"},
      {"abcdefghijklmnopqrstuvw,abcdefghijklmnopqrstuvwx", "abcdefghijklmnopqrstuvw"},  // 23, 24
  };
  for (const Case& c : cases) {
    TrainingLog log;
    training_load(&log, c.text, c.text, "");
    const Saved s = save(log);
    EXPECT_STREQ(s.done, c.saved) << c.text;
    EXPECT_STREQ(s.unseen, c.saved) << c.text;
  }
  std::string many;
  for (int i = 0; i < 40; i++) many += "x" + std::to_string(i) + ",";
  TrainingLog log;
  training_load(&log, many.c_str(), nullptr, nullptr);
  EXPECT_EQ(log.done_count, TRAINING_LIST_MAX);
  EXPECT_STREQ(log.done[31], "x31");
}

TEST(TrainingLoad, FoundKeepsOnlyTheWellFormedPair) {
  TrainingLog log;
  training_load(&log, "", "",
                "  zoom-in  :  1.0.4  ,no-colon, :1.0.3,abcdefghijklmnopqrstuvwx:1.0.2,"
                "first-note:,zoom-in:9");
  ASSERT_EQ(log.found_count, 1);
  EXPECT_STREQ(log.found[0].id, "zoom-in");
  EXPECT_STREQ(log.found[0].version, "1.0.4");
  training_load(&log, "", "", "first-note:1.0.5.123456789012345");
  EXPECT_STREQ(log.found[0].version, "1.0.5.123456789");  // 15 bytes
}

TEST(TrainingTick, EachTaskOnceAndOnlyKnownOnes) {
  TrainingLog log;
  training_load(&log, "", "", "");
  EXPECT_FALSE(training_tick(nullptr, "first-note", "1.0.5"));
  EXPECT_TRUE(training_tick(&log, "first-note", "1.0.5"));
  EXPECT_FALSE(training_tick(&log, "first-note", "1.0.5"));
  EXPECT_FALSE(training_tick(&log, "not-a-task", "1.0.5"));
  EXPECT_TRUE(training_tick(&log, "zoom-in", ""));
  EXPECT_EQ(log.ticks, 2u);
  EXPECT_STREQ(log.last, "zoom-in");
  EXPECT_EQ(training_done_count(&log), 2);
  EXPECT_TRUE(training_is_unseen(&log, "zoom-in"));

  // What was ticked survives the next start.
  const Saved s = save(log);
  EXPECT_STREQ(s.found, "first-note:1.0.5,zoom-in:?");
  TrainingLog again;
  training_load(&again, s.done, s.unseen, s.found);
  EXPECT_TRUE(training_is_done(&again, "first-note"));
  EXPECT_FALSE(training_tick(&again, "zoom-in", "1.0.5"));
  training_clear_unseen(&again);
  EXPECT_FALSE(training_is_unseen(&again, "first-note"));
  EXPECT_TRUE(training_is_done(&again, "first-note"));
}

TEST(TrainingTick, AFullListGivesUpItsLastUnknownEntry) {
  std::string ids, pairs;
  for (int i = 0; i < 32; i++) {
    ids += "old-" + std::to_string(i) + ",";
    pairs += "old-" + std::to_string(i) + ":0.9,";
  }
  TrainingLog log;
  training_load(&log, ids.c_str(), ids.c_str(), pairs.c_str());
  ASSERT_TRUE(training_tick(&log, "rig-scene", "1.0.5"));
  EXPECT_EQ(log.done_count, 32);
  EXPECT_STREQ(log.done[30], "old-30");
  EXPECT_STREQ(log.done[31], "rig-scene");
  EXPECT_STREQ(log.unseen[31], "rig-scene");
  EXPECT_STREQ(training_found_version(&log, "rig-scene"), "1.0.5");
  EXPECT_EQ(training_found_version(&log, "old-31"), nullptr);
}

TEST(TrainingSave, AListStopsAtTheFirstEntryThatDoesNotFit) {
  TrainingLog log;
  training_load(&log, "first-note,let-it-loop,zoom-in", "", "");
  char done[24], unseen[8], found[8];
  training_save(&log, done, sizeof done, unseen, sizeof unseen, found, sizeof found);
  EXPECT_STREQ(done, "first-note,let-it-loop");  // 22 bytes and the terminator
}

TEST(Spring, SettlesOnItsTargetAndSurvivesNonsense) {
  Spring s = spring_make(0.4f, 0.6f, 0.0f);
  s.target = 1;
  for (int i = 0; i < 120; i++) spring_step(&s, 1.0 / 60);
  EXPECT_NEAR(s.value, 1.0f, 0.01f);
  s.value = NAN;
  spring_step(&s, 1.0 / 60);
  EXPECT_EQ(s.value, 1.0f);
  EXPECT_EQ(s.velocity, 0.0f);
}

struct Drawn {
  SoftCanvas canvas{720, 480};
  Drawn() {
    EXPECT_EQ(text_init(canvas.renderer), 0);
    text_set_pixel_scale(1.0f);
  }
  ~Drawn() { text_free(); }
};

TEST(TaskCard, ShowsANewTickForAMomentAndOpensTrainingWhenClicked) {
  Drawn d;
  TrainingLog log;
  training_load(&log, "first-note", "", "");
  log.ticks = 7;  // a counter from earlier in the run shows nothing
  TaskCard card;
  task_card_init(&card, &log);
  double t = 0;
  auto run = [&](double seconds) {
    for (double end = t + seconds; t < end; t += 1.0 / 60) task_card_step(&card, &log, t, 1.0 / 60);
  };
  run(1);
  EXPECT_FALSE(task_card_visible(&card));
  EXPECT_FALSE(training_tick(&log, "first-note", "1.0.5"));
  run(1);
  EXPECT_FALSE(task_card_visible(&card));

  ASSERT_TRUE(training_tick(&log, "move-mid-take", "1.0.5"));
  run(1);
  EXPECT_TRUE(task_card_visible(&card));
  EXPECT_STREQ(card.text, "THROW THE CURSOR MID-TAKE");
  task_card_draw(&card, d.canvas.p, 720, DrawColour{1, 1, 1, 1});
  EXPECT_NE(d.canvas.pixel(715, 130) & 0xFFFFFF, 0u);
  const DrawRect r = task_card_rect(&card, 720);
  EXPECT_LE(r.x + r.w, 720.5f);
  EXPECT_GE(r.h, 48.0f);
  run(5);
  EXPECT_FALSE(task_card_visible(&card));
  EXPECT_EQ(card.until, 0.0);

  ASSERT_TRUE(training_tick(&log, "zoom-in", "1.0.5"));
  run(1);
  const DrawRect c = task_card_rect(&card, 720);
  ActionList out{};
  EXPECT_TRUE(task_card_pointer(&card, 720, 1, 1, c.x + 10, c.y + 10, &out));
  EXPECT_TRUE(task_card_pointer(&card, 720, 3, 1, c.x + 12, c.y + 10, &out));
  ASSERT_EQ(out.count, 1);
  EXPECT_EQ(out.items[0].kind, ACT_TRAINING);
  EXPECT_EQ(card.until, 0.0);
}

TEST(TrainingPanel, ReplaysNewTicksOneAfterTheOther) {
  Drawn d;
  TrainingLog log;
  training_load(&log, "first-note", "", "first-note:1.0.3");
  ASSERT_TRUE(training_tick(&log, "zoom-in", "1.0.5"));
  ASSERT_TRUE(training_tick(&log, "rig-scene", "1.0.5"));
  TrainingPanel tp;
  std::memset(&tp, 0, sizeof tp);
  training_panel_layout(&tp, kSmallPanel);
  training_panel_open(&tp, &log, 0.0);
  EXPECT_EQ(training_panel_shown_count(&tp), 1);

  double ticked[TRAINING_TASKS] = {};
  double finished = -1;
  const int zoom = training_task_index("zoom-in"), scene = training_task_index("rig-scene");
  float scroll_at_scene_tick = -1;
  for (double t = 0; t < 4; t += 1.0 / 60) {
    if (training_panel_step(&tp, &log, t, 1.0 / 60)) {
      EXPECT_LT(finished, 0) << "reported twice";
      finished = t;
      training_clear_unseen(&log);
    }
    training_panel_layout(&tp, kSmallPanel);
    for (int i = 0; i < TRAINING_TASKS; i++)
      if (tp.shown[i] > 0 && ticked[i] == 0) {
        ticked[i] = t;
        if (i == scene) scroll_at_scene_tick = tp.scroll;
      }
  }
  EXPECT_NEAR(ticked[zoom], 0.42 + 0.3, 0.02);
  EXPECT_NEAR(ticked[scene], 0.42 + 0.3 + 0.56 + 0.3, 0.04);
  EXPECT_NEAR(finished, ticked[scene] + 0.56, 0.04);
  EXPECT_EQ(training_panel_shown_count(&tp), 3);
  EXPECT_EQ(log.unseen_count, 0);
  // The last row was brought into view before it ticked.
  const DrawRect row = tp.g.rows[scene];
  EXPECT_GT(scroll_at_scene_tick, 0.0f);
  EXPECT_LE(row.y + row.h, tp.g.body.y + tp.g.body.h + 1);

  // A tick while it is open plays at once; a reopened panel has nothing left to replay.
  ASSERT_TRUE(training_tick(&log, "midi-hands", "1.0.5"));
  for (double t = 4; t < 6; t += 1.0 / 60) training_panel_step(&tp, &log, t, 1.0 / 60);
  EXPECT_EQ(training_panel_shown_count(&tp), 4);
  training_clear_unseen(&log);
  training_panel_open(&tp, &log, 6.0);
  EXPECT_EQ(tp.phase, TRAIN_FINISHED);
  EXPECT_FALSE(training_panel_step(&tp, &log, 6.1, 0));
}

TEST(TrainingPanel, FitsTheSmallestWindowAndItsButtonsClose) {
  Drawn d;
  TrainingLog log;
  training_load(&log, "first-note,let-it-loop", "", "first-note:1.0.5");
  TrainingPanel tp;
  std::memset(&tp, 0, sizeof tp);
  training_panel_open(&tp, &log, 0);
  training_panel_draw(&tp, &log, d.canvas.p, kSmallPanel, 1.0f, DrawColour{0.2f, 0.9f, 0.5f, 1});
  const TrainingGeometry& g = tp.g;
  EXPECT_GT(g.body.h, 100.0f);
  const TextStyle label = {TEXT_HEAD, 16.0f, 600, 0.0f};
  const TextStyle hint = {TEXT_HEAD, 14.0f, 400, 0.0f};
  for (int i = 0; i < TRAINING_TASKS; i++) {
    const TrainingTask* t = training_task(i);
    EXPECT_LE(text_measure(label, t->label), g.text_w) << t->label;
    EXPECT_LT(g.hint_lines[i], 12) << t->hint;
    int starts[12];
    const int n = text_wrap(hint, t->hint, g.text_w, starts, 12);
    for (int k = 0; k < n; k++) {
      const int end = k + 1 < n ? starts[k + 1] : (int)strlen(t->hint);
      std::string line(t->hint + starts[k], t->hint + end);
      while (!line.empty() && line.back() == ' ') line.pop_back();
      EXPECT_LE(text_measure(hint, line.c_str()), g.text_w + 0.5f) << line;
    }
  }
  // The first done row's disc is filled, the panel's corner outside it is not drawn on.
  const DrawRect r0 = g.rows[0];
  EXPECT_NE(d.canvas.pixel((int)(r0.x + 13), (int)(r0.y + 13)) & 0xFFFFFF, 0u);
  EXPECT_EQ(d.canvas.pixel(5, 5) & 0xFFFFFF, 0u);

  for (int hit : {TRAIN_HIT_CLOSE, TRAIN_HIT_DONE}) {
    const DrawRect b = hit == TRAIN_HIT_CLOSE ? g.close : g.done_button;
    ActionList out{};
    EXPECT_TRUE(training_panel_pointer(&tp, kSmallPanel, 1, 1, b.x + 5, b.y + 5, &out));
    EXPECT_TRUE(training_panel_pointer(&tp, kSmallPanel, 3, 1, b.x + 6, b.y + 6, &out));
    ASSERT_EQ(out.count, 1);
    EXPECT_EQ(out.items[0].kind, ACT_CLOSE_PANEL);
    training_panel_pointer(&tp, kSmallPanel, 1, 1, b.x + 5, b.y + 5, &out);
    training_panel_pointer(&tp, kSmallPanel, 3, 1, kSmallPanel.x + 100, kSmallPanel.y + 150, &out);
    EXPECT_EQ(out.count, 1) << "released elsewhere";
  }
  // The wheel never scrolls past the content.
  training_panel_wheel(&tp, -100);
  for (int i = 0; i < 60; i++) training_panel_step(&tp, &log, 1 + i / 60.0, 1.0 / 60);
  EXPECT_NEAR(tp.scroll, std::fmax(0.0f, g.content_h - g.body.h), 0.5f);
}

}  // namespace
