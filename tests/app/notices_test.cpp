// Notices: toast timing, banner changes and their log, the status pill against the clock, the
// banners' geometry and buttons, and the SHARE / EXPORT panel's buttons and marks.
#include "app/notices.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "app/app.h"
#include "base/log.h"
#include "store/jobs.h"
#include "support/log_capture.h"
#include "support/soft_canvas.h"
#include "ui/text.h"

#include "support/fontconfig_leaks.h"

namespace {

int count_logged(int64_t since, const char* needle) {
  char line[LOG_FULL_LINE_BYTES];
  int n = 0;
  for (int64_t i = since; i < log_console_count(); i++)
    if (log_line_full(i, line, sizeof line) && strstr(line, needle)) n++;
  return n;
}

// ---- toast ----

TEST(Toast, LastsLongerWhenItNamesAFile) {
  struct Case {
    const char* text;
    double seconds;
  } cases[] = {
      {"COPIED", 2.5},
      {"EXPORTED Night bus.wav", 4.0},
      {"EXPORTED TAKE.WAV", 4.0},
      {"SAVED TO /home/me/kelp", 4.0},
      {"SAVED TO C:\\kelp", 4.0},
      {"WAVE", 2.5},
  };
  for (const Case& c : cases) {
    NoticeArea a;
    notices_init(&a);
    toast_show(&a, c.text, 10.0);
    EXPECT_TRUE(toast_live(&a, 10.0 + c.seconds - 0.01)) << c.text;
    EXPECT_FALSE(toast_live(&a, 10.0 + c.seconds)) << c.text;
  }
}

TEST(Toast, IsCutOnAWholeCharacterAndLogged) {
  NoticeArea a;
  notices_init(&a);
  std::string text(126, 'A');
  text += "\u00e9TAIL";  // the two-byte character straddles byte 127
  const int64_t mark = log_console_count();
  toast_show(&a, text.c_str(), 1.0);
  EXPECT_EQ(strlen(a.toast), 126u);
  EXPECT_EQ(count_logged(mark, "toast: AAAA"), 1);
  toast_accept(&a, "QUIET", 2.0);  // the hook path: already logged by its caller
  EXPECT_EQ(count_logged(mark, "toast: QUIET"), 0);
  EXPECT_STREQ(a.toast, "QUIET");
}

TEST(Toast, BusyNoticeStaysUntilTheEngineChangesOrFifteenSeconds) {
  struct Case {
    uint64_t counter;
    bool loading;
    double at;
    bool still;  // the notice still holds the toast
  } cases[] = {
      {5, false, 0.05, true},   // unchanged
      {6, false, 0.05, true},   // changed too soon after the notice
      {6, false, 0.2, false},   // changed
      {6, true, 0.2, true},     // changed, but the session is loading
      {5, false, 15.0, false},  // gave up
  };
  for (const Case& c : cases) {
    NoticeArea a;
    notices_init(&a);
    UiBusy busy{};
    busy.active = true;
    busy.at = 100.0;
    busy.switch_counter = 5;
    toast_show(&a, "REOPENING AUDIO\u2026", 100.0);
    notices_busy_hold(&a, &busy, c.counter, c.loading, 100.0 + c.at);
    EXPECT_EQ(busy.active, c.still) << c.at;
    EXPECT_EQ(toast_live(&a, 100.0 + c.at + 0.2), c.still) << c.at;
  }
}

// ---- banners ----

TEST(Banner, LogsChangesOnceAndHidingRestoresTheDefault) {
  NoticeArea a;
  notices_init(&a);
  const int64_t mark = log_console_count();
  banner_set(&a, 7, true, "COULDN'T SAVE - DISK FULL");
  banner_set(&a, 7, true, "COULDN'T SAVE - DISK FULL");
  EXPECT_EQ(count_logged(mark, "banner: ON  COULDN'T SAVE - DISK FULL"), 1);
  banner_set(&a, 7, true, "COULDN'T SAVE - DISK ERROR");  // a new text is a change
  EXPECT_EQ(count_logged(mark, "banner: ON  COULDN'T SAVE - DISK ERROR"), 1);
  banner_set(&a, 7, false, "ignored when hiding");
  EXPECT_EQ(count_logged(mark, "banner: off COULDN'T SAVE"), 1);
  EXPECT_STREQ(a.banners[7].text, "COULDN'T SAVE");
  banner_set(&a, 7, false, "");  // already hidden
  banner_set(&a, 11, true, "NOT A SLOT");
  banner_set(&a, -1, true, "NOT A SLOT");
  EXPECT_EQ(count_logged(mark, "banner:"), 3);
  banner_set(&a, 3, true, nullptr);
  EXPECT_STREQ(a.banners[3].text, "AUDIO DOWN - RECONNECTING\u2026");
  EXPECT_TRUE(a.banners[3].shown);
}

// ---- status pill ----

struct Clock {
  NoticeArea a;
  NoticeBusy busy{};
  double now = 50.0;
  Clock() { notices_init(&a); }
  void frames(double seconds) {
    const double end = now + seconds;
    while (now < end - 1e-9) {
      now += 1.0 / 60.0;
      status_update(&a, &busy, now, 1.0 / 60.0);
    }
  }
};

TEST(StatusPill, ASaveShowsOnlyOnceItLasted) {
  struct Case {
    double save;
    bool shows;
  } cases[] = {{0.1, false}, {0.5, true}};
  for (const Case& c : cases) {
    Clock k;
    k.frames(0.5);
    const double start = k.now;
    k.busy.saving = true;
    double first = -1;
    while (k.now < start + c.save - 1e-9) {
      k.frames(1.0 / 60.0);
      if (first < 0 && strcmp(k.a.pill, "SAVING\u2026") == 0) first = k.now - start;
    }
    k.busy.saving = false;
    k.frames(0.5);
    EXPECT_EQ(first >= 0, c.shows) << c.save;
    if (c.shows) {
      EXPECT_GE(first, 0.12 - 1e-6);
      EXPECT_LT(first, 0.12 + 2.0 / 60.0 + 1e-6);  // seen on the first frame after it began
    }
    EXPECT_EQ(k.a.pill[0], 0) << "the pill faded out and cleared";
    EXPECT_EQ(k.a.pill_opacity, 0.0f);
  }
}

TEST(StatusPill, AToastTakesTheBusyProgressOnlyWhenDue) {
  struct Case {
    const char* toast;
    bool job;
    float progress;
  } cases[] = {
      {"EXPORTING\u2026", false, NOTICE_WORKING},
      {"EXPORTING\u2026", true, 0.4f},
      {"COPIED", false, NOTICE_NO_BAR},
  };
  for (const Case& c : cases) {
    Clock k;
    k.busy.job_busy = c.job;
    k.busy.job_done = 0.4;
    k.busy.job_total = 1.0;
    toast_show(&k.a, c.toast, k.now);
    k.frames(0.3);
    EXPECT_STREQ(k.a.pill, c.toast);
    EXPECT_FLOAT_EQ(k.a.pill_progress, c.progress) << c.toast;
    EXPECT_FLOAT_EQ(k.a.pill_opacity, 1.0f);
  }
}

TEST(StatusPill, BusySourcesInOrder) {
  struct Case {
    const char* name;
    void (*set)(NoticeBusy*);
    const char* text;
    float progress;
  } cases[] = {
      {"nothing", [](NoticeBusy*) {}, "", NOTICE_WORKING},
      {"job without label",
       [](NoticeBusy* b) {
         b->job_busy = true;
         b->saving = true;
       },
       "WORKING\u2026", NOTICE_WORKING},
      {"job over total",
       [](NoticeBusy* b) {
         b->job_busy = true;
         snprintf(b->job_label, sizeof b->job_label, "EXPORTING");
         b->job_done = 7;
         b->job_total = 5;
       },
       "EXPORTING", 1.0f},
      {"resampling",
       [](NoticeBusy* b) {
         b->loading_tape = b->resampling = true;
         b->sketch_rate = 44100;
         b->stream_rate = 48000;
         b->loading_meta = true;
       },
       "RESAMPLING 44.1K \u2192 48K\u2026", NOTICE_WORKING},
      {"resampling from an unknown rate",
       [](NoticeBusy* b) {
         b->loading_tape = b->resampling = true;
         b->stream_rate = 88200;
       },
       "RESAMPLING ? \u2192 88.2K\u2026", NOTICE_WORKING},
      {"session job",
       [](NoticeBusy* b) {
         snprintf(b->session_job, sizeof b->session_job, "REBUILDING\u2026");
         b->loading_meta = true;
       },
       "REBUILDING\u2026", NOTICE_WORKING},
      {"audio first", [](NoticeBusy* b) { b->audio_opening = true; }, "OPENING AUDIO\u2026",
       NOTICE_WORKING},
      {"audio again", [](NoticeBusy* b) { b->audio_reopening = true; }, "REOPENING AUDIO\u2026",
       NOTICE_WORKING},
  };
  for (const Case& c : cases) {
    NoticeBusy b{};
    c.set(&b);
    char text[NOTICE_PILL_BYTES];
    float progress = 0;
    EXPECT_EQ(notices_busy_source(&b, text, sizeof text, &progress), c.text[0] != 0) << c.name;
    EXPECT_STREQ(text, c.text) << c.name;
    EXPECT_FLOAT_EQ(progress, c.progress) << c.name;
  }
}

TEST(StatusPill, GatherSeesAQueuedJobAndRemembersThatAudioRan) {
  App app{};
  app.jobs = jobs_start();
  ASSERT_NE(app.jobs, nullptr);
  jobs_debug_hold(true);
  Job* j = job_new(JOB_NONE);
  ASSERT_NE(j, nullptr);
  job_set_label(j, "HOLDING");
  ASSERT_NE(jobs_post(app.jobs, j), 0u);
  NoticeArea a;
  notices_init(&a);
  NoticeBusy b;
  notices_gather(&a, &app, &b);
  EXPECT_TRUE(b.job_busy);
  EXPECT_STREQ(b.job_label, "HOLDING");
  EXPECT_EQ(b.job_total, 0.0);  // no measure: a sweep
  EXPECT_FALSE(b.audio_opening || b.audio_reopening);  // no engine
  jobs_debug_hold(false);
  jobs_wait_idle(app.jobs, JOB_WORKER_ANY, 5000);
  while (Job* done = jobs_take_done(app.jobs)) job_free(done);
  notices_gather(&a, &app, &b);
  EXPECT_FALSE(b.job_busy);
  jobs_stop(app.jobs);
}

// ---- banners on screen ----

class BannerScreen : public ::testing::Test {
 protected:
  SoftCanvas canvas{480, 320};
  NoticeArea a;
  NoticeBusy busy_none{};
  ActionList out{};

  void SetUp() override {
    ASSERT_NE(canvas.p, nullptr);
    ASSERT_EQ(text_init(canvas.renderer), 0);
    text_set_pixel_scale(1.0f);
    notices_init(&a);
  }
  void TearDown() override { text_free(); }

  static float cx(DrawRect r) { return r.x + r.w * 0.5f; }
  static float cy(DrawRect r) { return r.y + r.h * 0.5f; }
};

TEST_F(BannerScreen, WidthFollowsTheWindowWithinLimits) {
  struct Case {
    float window, width;
  } cases[] = {{200, 168}, {152, 120}, {100, 120}, {472, 440}, {1000, 440}};
  banner_set(&a, 5, true, "");
  for (const Case& c : cases) {
    notices_layout(&a, c.window, 60.0f, 1.0 / 60.0);
    EXPECT_FLOAT_EQ(a.banners[5].rect.w, c.width) << c.window;
    EXPECT_FLOAT_EQ(a.banners[5].rect.x, (c.window - c.width) * 0.5f) << c.window;
    EXPECT_FLOAT_EQ(a.banners[5].rect.y, 60.0f);
  }
}

TEST_F(BannerScreen, OneLineOrWrappedWithTheButtonsBelowAndStacked) {
  const float lh = text_line_height(NOTICE_BANNER_STYLE);
  banner_set(&a, 0, true, "");
  banner_set(&a, 7, true, "");
  notices_layout(&a, 1000.0f, 50.0f, 1.0 / 60.0);
  const NoticeBanner& pill = a.banners[0];
  EXPECT_FLOAT_EQ(pill.rect.w, text_measure(NOTICE_PILL_STYLE, "TAPE FULL") + 20.0f);
  EXPECT_FLOAT_EQ(pill.rect.h, text_line_height(NOTICE_PILL_STYLE) + 10.0f);
  const NoticeBanner& wide = a.banners[7];
  EXPECT_TRUE(wide.one_line);
  EXPECT_FLOAT_EQ(wide.rect.y, pill.rect.y + pill.rect.h + 6.0f);
  EXPECT_FLOAT_EQ(wide.rect.h, std::fmax(lh, 24.0f) + 16.0f);
  EXPECT_FLOAT_EQ(wide.buttons[0].x + wide.buttons[0].w, wide.rect.x + wide.rect.w - 12.0f);
  EXPECT_FLOAT_EQ(cy(wide.buttons[0]), cy(wide.rect));

  banner_set(&a, 7, true, "COULDN'T SAVE - THE DISK IS FULL, FREE SOME SPACE AND TRY AGAIN");
  notices_layout(&a, 200.0f, 50.0f, 1.0 / 60.0);
  const NoticeBanner& narrow = a.banners[7];
  EXPECT_FALSE(narrow.one_line);
  EXPECT_GT(narrow.lines, 1);
  EXPECT_LE(narrow.lines, NOTICE_BANNER_LINES);
  EXPECT_FLOAT_EQ(narrow.rect.h, (float)narrow.lines * lh + 8.0f + 32.0f + 8.0f);
  EXPECT_GE(narrow.buttons[0].y, narrow.rect.y + 8.0f + (float)narrow.lines * lh);
  EXPECT_LE(narrow.buttons[0].y + 24.0f, narrow.rect.y + narrow.rect.h);

  banner_set(&a, 10, true, std::string(150, 'W').c_str());  // one unbroken word, no buttons
  notices_layout(&a, 200.0f, 50.0f, 1.0 / 60.0);
  EXPECT_EQ(a.banners[10].button_count, 0);
  EXPECT_FLOAT_EQ(a.banners[10].rect.h, (float)a.banners[10].lines * lh + 16.0f);
}

TEST_F(BannerScreen, ButtonsAppendTheirActions) {
  struct Case {
    int32_t slot, button, kind, value;
  } cases[] = {
      {1, 0, ACT_MIC_PRIVACY, 0},  {2, 0, ACT_SETTINGS, 6}, {3, 0, ACT_AUDIO_RETRY, 3},
      {3, 1, ACT_SETTINGS, 6},     {4, 0, ACT_SETTINGS, 6}, {5, 0, ACT_MIC_PRIVACY, 0},
      {7, 0, ACT_AUDIO_RETRY, 7},  {8, 0, ACT_RIG, 0},      {9, 0, ACT_RIG, 0},
  };
  for (const Case& c : cases) {
    notices_init(&a);
    out.count = 0;
    banner_set(&a, c.slot, true, "");
    notices_layout(&a, 800.0f, 40.0f, 1.0 / 60.0);
    const DrawRect b = a.banners[c.slot].buttons[c.button];
    EXPECT_TRUE(notices_pointer(&a, 1, 1, cx(b), cy(b), &out));
    EXPECT_TRUE(notices_pointer(&a, 3, 1, cx(b), cy(b), &out));
    ASSERT_EQ(out.count, 1) << c.slot << "/" << c.button;
    EXPECT_EQ(out.items[0].kind, c.kind);
    EXPECT_EQ(out.items[0].value, c.value);
  }
}

TEST_F(BannerScreen, PressesOnABannerAreConsumedWithoutActing) {
  banner_set(&a, 7, true, "");
  notices_layout(&a, 800.0f, 40.0f, 1.0 / 60.0);
  const NoticeBanner& b = a.banners[7];
  const DrawRect btn = b.buttons[0];
  // On the banner but off its button.
  EXPECT_TRUE(notices_pointer(&a, 1, 1, b.rect.x + 4, cy(b.rect), &out));
  EXPECT_FALSE(notices_pointer(&a, 3, 1, b.rect.x + 4, cy(b.rect), &out));
  // The right button on the button.
  EXPECT_TRUE(notices_pointer(&a, 1, 3, cx(btn), cy(btn), &out));
  EXPECT_FALSE(notices_pointer(&a, 3, 3, cx(btn), cy(btn), &out));
  // Pressed on the button, released off it.
  EXPECT_TRUE(notices_pointer(&a, 1, 1, cx(btn), cy(btn), &out));
  EXPECT_TRUE(notices_pointer(&a, 3, 1, b.rect.x + 4, cy(b.rect), &out));
  // Pressed, then the banner went away.
  EXPECT_TRUE(notices_pointer(&a, 1, 1, cx(btn), cy(btn), &out));
  banner_set(&a, 7, false, "");
  notices_pointer(&a, 3, 1, cx(btn), cy(btn), &out);
  EXPECT_EQ(out.count, 0);
  // Nowhere near a banner.
  EXPECT_FALSE(notices_pointer(&a, 1, 1, 5, 300, &out));
}

TEST_F(BannerScreen, AShownBannerPaintsItsFill) {
  banner_set(&a, 6, true, "");
  notices_layout(&a, 480.0f, 40.0f, 1.0 / 60.0);
  const DrawRect r = a.banners[6].rect;
  const int x = (int)(r.x + 5), y = (int)cy(r);
  const uint32_t before = canvas.pixel(x, y);
  notices_draw(&a, canvas.p, DrawRect{190, 290, 100, 20}, DrawColour{0.3f, 0.8f, 0.6f, 1});
  const uint32_t after = canvas.pixel(x, y);
  EXPECT_NE(before, after);
  EXPECT_GT(after & 0xFF, 20u);  // the panel's blue
  // The pill's sweep and the panel with a failed button and a folder too long for its foot.
  toast_show(&a, "EXPORTING\u2026", 1.0);
  status_update(&a, &busy_none, 1.2, 0.2);
  notices_draw(&a, canvas.p, DrawRect{190, 290, 100, 20}, DrawColour{0.3f, 0.8f, 0.6f, 1});
  UiShare sh{};
  ShareUi ui{};
  share_reset(&sh, &ui);
  share_export_result(&sh, false, "DISK FULL", 1.0);
  const std::string folder = "/home/" + std::string(300, 'x') + "/\u00e9xports";
  share_draw(&sh, &ui, canvas.p, DrawRect{10, 10, 300, 280}, DrawColour{0.3f, 0.8f, 0.6f, 1},
             folder.c_str(), true, true);
  draw_flush(canvas.p);
}

// ---- SHARE / EXPORT ----

constexpr DrawRect kPanel = {600, 60, 380, 300};

struct Share {
  UiShare sh{};
  ShareUi ui{};
  ActionList out{};
  Share() { share_reset(&sh, &ui); }
  // Press and release over a button's centre.
  void click(int32_t button, bool ready, bool exists, double now) {
    ShareGeometry g;
    share_geometry(kPanel, &g);
    const DrawRect r = button == SHARE_CLOSE ? g.close : g.buttons[button];
    const float x = r.x + r.w * 0.5f, y = r.y + r.h * 0.5f;
    share_pointer(&sh, &ui, kPanel, 1, x, y, ready, exists, now, &out);
    share_pointer(&sh, &ui, kPanel, 3, x, y, ready, exists, now, &out);
  }
};

TEST(SharePanel, ExportResultsMarkTheButtonForTheirTime) {
  Share s;
  s.sh.state[SHARE_COPY] = SHARE_FAILED;
  s.sh.until[SHARE_COPY] = 200.0;
  snprintf(s.sh.message, sizeof s.sh.message, "EXPORT SOMETHING FIRST");
  share_export_result(&s.sh, true, "/music/kelp/exports/Night.wav", 10.0);
  EXPECT_STREQ(s.sh.last_export, "/music/kelp/exports/Night.wav");
  EXPECT_EQ(s.sh.state[SHARE_EXPORT], SHARE_DONE);
  EXPECT_EQ(s.sh.state[SHARE_COPY], SHARE_IDLE);
  EXPECT_EQ(s.sh.message[0], 0);
  share_tick(&s.sh, &s.ui, 12.9, 0, false);
  EXPECT_EQ(s.sh.state[SHARE_EXPORT], SHARE_DONE);
  share_tick(&s.sh, &s.ui, 13.0, 0, false);
  EXPECT_EQ(s.sh.state[SHARE_EXPORT], SHARE_IDLE);

  struct Case {
    const char* error;
    const char* message;
  } cases[] = {{"DISK FULL", "DISK FULL"}, {"", "EXPORT FAILED"}, {nullptr, "EXPORT FAILED"}};
  for (const Case& c : cases) {
    share_export_result(&s.sh, false, c.error, 20.0);
    EXPECT_EQ(s.sh.state[SHARE_EXPORT], SHARE_FAILED);
    EXPECT_STREQ(s.sh.message, c.message);
    share_tick(&s.sh, &s.ui, 25.9, 0, false);
    EXPECT_STREQ(s.sh.message, c.message);
    share_tick(&s.sh, &s.ui, 26.0, 0, false);
    EXPECT_EQ(s.sh.state[SHARE_EXPORT], SHARE_IDLE);
    EXPECT_EQ(s.sh.message[0], 0);
  }
  EXPECT_STREQ(s.sh.last_export, "/music/kelp/exports/Night.wav") << "a failure keeps the path";
}

TEST(SharePanel, ButtonsAppendTheirActions) {
  struct Case {
    int32_t button;
    bool ready, exists;
    int32_t kind;
    const char* text;
    int32_t state;  // the button's state after the click (-1: not looked at)
  } cases[] = {
      {SHARE_EXPORT, true, true, ACT_EXPORT_WAV, "", SHARE_BUSY},
      {SHARE_FOLDER, true, true, ACT_SHOW_FILE, "/x/exports/a.wav", SHARE_DONE},
      {SHARE_FOLDER, true, false, ACT_OPEN_EXPORTS, "", SHARE_DONE},
      {SHARE_COPY, true, true, ACT_COPY_EXPORT, "/x/exports/a.wav", SHARE_IDLE},
      {SHARE_CLOSE, true, true, ACT_CLOSE_PANEL, "", -1},
      {SHARE_CLOSE, false, true, ACT_CLOSE_PANEL, "", -1},
      {SHARE_EXPORT, false, true, ACT_NONE, "", SHARE_IDLE},
      {SHARE_COPY, false, true, ACT_NONE, "", SHARE_IDLE},
  };
  for (const Case& c : cases) {
    Share s;
    snprintf(s.sh.last_export, sizeof s.sh.last_export, "/x/exports/a.wav");
    s.click(c.button, c.ready, c.exists, 5.0);
    if (c.kind == ACT_NONE) {
      EXPECT_EQ(s.out.count, 0) << c.button;
    } else {
      ASSERT_EQ(s.out.count, 1) << c.button;
      EXPECT_EQ(s.out.items[0].kind, c.kind);
      EXPECT_STREQ(s.out.items[0].text, c.text);
    }
    if (c.state >= 0) {
      EXPECT_EQ(s.sh.state[c.button], c.state) << c.button;
    }
  }
}

TEST(SharePanel, ABusyExportHoldsWhileTheExportRuns) {
  Share s;
  s.click(SHARE_EXPORT, true, true, 10.0);
  s.click(SHARE_EXPORT, true, true, 10.5);  // busy: no second export
  EXPECT_EQ(s.out.count, 1);
  share_tick(&s.sh, &s.ui, 11.0, 0, true);
  share_tick(&s.sh, &s.ui, 14.0, 0, true);  // well past the first 2 s, still running
  EXPECT_EQ(s.sh.state[SHARE_EXPORT], SHARE_BUSY);
  share_tick(&s.sh, &s.ui, 15.9, 0, false);
  EXPECT_EQ(s.sh.state[SHARE_EXPORT], SHARE_BUSY);
  share_tick(&s.sh, &s.ui, 16.0, 0, false);
  EXPECT_EQ(s.sh.state[SHARE_EXPORT], SHARE_IDLE);
}

TEST(SharePanel, PressAndReleaseMustBeOnTheSameButton) {
  Share s;
  ShareGeometry g;
  share_geometry(kPanel, &g);
  const DrawRect a = g.buttons[SHARE_EXPORT], b = g.buttons[SHARE_COPY];
  EXPECT_TRUE(share_pointer(&s.sh, &s.ui, kPanel, 1, a.x + 5, a.y + 5, true, true, 1.0, &s.out));
  share_pointer(&s.sh, &s.ui, kPanel, 3, b.x + 5, b.y + 5, true, true, 1.0, &s.out);
  EXPECT_EQ(s.out.count, 0);
  EXPECT_EQ(s.sh.state[SHARE_EXPORT], SHARE_IDLE);
  // A panel too short for the third button hides it and it never acts.
  DrawRect shorter = kPanel;
  shorter.h = 230;
  share_geometry(shorter, &g);
  EXPECT_TRUE(g.shown[0] && g.shown[1]);
  EXPECT_FALSE(g.shown[2]);
}

}  // namespace
