// The session on a real core and real workers: takes become layers, layers get their analysis,
// commands keep their order, lost events are rebuilt, and the transport's throttles and gains.
#include <algorithm>
#include <atomic>
#include <thread>

#include "app/session_fixture.h"
#include "app/session_internal.h"
#include "core/spsc_ring.h"

using session_fixture::Rig;

namespace {

int count_kind(const std::vector<CoreCommand>& cmds, uint32_t kind) {
  int n = 0;
  for (const CoreCommand& c : cmds) n += c.kind == kind;
  return n;
}

TEST(Session, OneSecondTakeBecomesOneLayerAndLandsOnDisk) {
  Rig r;
  r.create();
  r.new_sketch();
  r.record_frames(48000);
  ASSERT_TRUE(
      r.pump_until([&] { return !session_take_outstanding(r.s) && r.s->commit_count == 0; }));

  ASSERT_EQ(r.s->meta->layerCount, 1);
  const Layer* l = r.s->meta->layers[0];
  EXPECT_EQ(l->startSample, 0);
  EXPECT_EQ(l->lengthSamples, 48000);
  EXPECT_EQ(l->strokeCount, 188);  // 187 full hops and a partial one
  EXPECT_TRUE(l->hasPeak);
  EXPECT_GT(l->peak, 0.05f);
  ASSERT_FALSE(r.tips.empty());
  EXPECT_EQ(r.tips.back(), "first-note");

  // The commit wrote the tape (take and tail), the side-car and meta.json.
  const int64_t tape_bytes = file_size(r.file("tape.f32").c_str());
  EXPECT_GE(tape_bytes, 48000 * 8);
  EXPECT_EQ(tape_bytes % 8, 0);
  char wavs[4][LIST_FILE_BYTES];
  EXPECT_EQ(list_files_with_suffix(r.folder().c_str(), ".wav", wavs, 4), 1);
  EXPECT_TRUE(r.logged("session: committed"));

  // The spectral colours arrive from the COMPUTE worker and are saved with the layer.
  ASSERT_TRUE(r.pump_until([&] { return layer_spectral(r.s->meta->layers[0]) != nullptr; }));
  ASSERT_TRUE(r.settle());
  SketchMeta disk;
  ASSERT_TRUE(r.disk_meta(r.folder(), &disk));
  EXPECT_EQ(disk.lengthSamples, tape_bytes / 8);
  ASSERT_EQ(disk.layerCount, 1);
  const float* spectral = layer_spectral(disk.layers[0]);
  ASSERT_NE(spectral, nullptr);
  float top = 0.0f;
  for (int i = 0; i < LAYER_SPECTRAL_VALUES; i++) top = std::max(top, spectral[i]);
  EXPECT_FLOAT_EQ(top, 1.0f);
  EXPECT_EQ(disk.layers[0]->strokeCount, 188);
  meta_free(&disk);
  // Nothing is left waiting on the capture; it was released behind the take.
  EXPECT_EQ(r.s->analysis_count, 0);
  EXPECT_GT(r.s->capture->release_request.load(), 0);
}

TEST(Session, TakeShorterThanAHopMakesNoLayerButIsCommitted) {
  Rig r;
  r.create();
  r.new_sketch();
  r.record_frames(200);
  ASSERT_TRUE(r.settle());
  EXPECT_EQ(r.s->meta->layerCount, 0);
  EXPECT_GT(r.s->meta->lengthSamples, 0);
  EXPECT_EQ(file_size(r.file("tape.f32").c_str()), r.s->meta->lengthSamples * 8);
}

TEST(Session, SegmentsBecomeLayersAtLoopWrapsAndJumps) {
  Rig r;
  r.create();
  r.new_sketch();
  r.record_frames(48000);
  ASSERT_TRUE(r.settle());
  ASSERT_EQ(r.s->meta->layerCount, 1);

  // Loop the whole first take and record 2.5 s over it: two wraps, three segments.
  session_rewind(r.s);
  r.frames(5);
  session_loop_toggle(r.s);
  EXPECT_TRUE(r.s->loop.on);
  const int64_t loop_out = transport_loop_to_frames(&r.s->loop, 48000.0).out;
  r.frames(2);
  r.record_frames(120000);
  ASSERT_TRUE(r.settle());
  ASSERT_EQ(r.s->meta->layerCount, 4);
  int64_t total = 0;
  for (int i = 1; i < 4; i++) {
    EXPECT_EQ(r.s->meta->layers[i]->startSample, 0) << i;
    total += r.s->meta->layers[i]->lengthSamples;
  }
  EXPECT_EQ(r.s->meta->layers[1]->lengthSamples, loop_out);
  EXPECT_EQ(total, 120000);

  // Three jumps during one more take: four layers, each with its own start and strokes.
  session_loop_toggle(r.s);
  EXPECT_FALSE(r.s->loop.on);
  session_record(r.s);
  r.frames(20);
  for (int jump = 0; jump < 3; jump++) {
    session_cursor_step(r.s, -0.2, false);
    r.frames(20);
  }
  session_record(r.s);
  ASSERT_TRUE(r.settle());
  ASSERT_EQ(r.s->meta->layerCount, 8);
  for (int i = 4; i < 8; i++) {
    const Layer* l = r.s->meta->layers[i];
    EXPECT_GT(l->lengthSamples, 256) << i;
    EXPECT_GT(l->strokeCount, 0) << i;
    if (i > 4) {
      EXPECT_NE(l->startSample, r.s->meta->layers[i - 1]->startSample) << i;
    }
  }
  EXPECT_NE(std::find(r.tips.begin(), r.tips.end(), "move-mid-take"), r.tips.end());
}

TEST(Session, BacklogKeepsTheOrderWhenTheRingIsFull) {
  Rig r;
  r.create();
  r.audio_on = false;
  auto locate = [](int64_t a) {
    CoreCommand c;
    memset(&c, 0, sizeof c);
    c.kind = CMD_LOCATE;
    c.a = a;
    return c;
  };
  for (int i = 0; i < 300; i++) {
    CoreCommand c = locate(i);
    ASSERT_TRUE(session_send(r.s, &c));
  }
  EXPECT_EQ(r.queued().size(), 256u);
  EXPECT_EQ(r.s->backlog_count, 44);

  std::vector<int64_t> seen;
  CoreCommand out;
  for (int i = 0; i < 5; i++) {
    ASSERT_TRUE(spsc_pop(&r.core->commands, &out));
    seen.push_back(out.a);
  }
  // The ring has room again, but the backlog goes first: the new command waits behind it.
  CoreCommand c = locate(300);
  ASSERT_TRUE(session_send(r.s, &c));
  EXPECT_EQ(r.s->backlog_count, 40);
  for (int round = 0; round < 10 && (r.s->backlog_count > 0 || !r.queued().empty()); round++) {
    while (spsc_pop(&r.core->commands, &out)) seen.push_back(out.a);
    r.frame();
  }
  ASSERT_EQ(seen.size(), 301u);
  for (int i = 0; i <= 300; i++) EXPECT_EQ(seen[(size_t)i], i);
}

TEST(Session, LostEventsAreRebuiltFromTheStatus) {
  Rig r;
  r.create();
  r.new_sketch();
  session_record(r.s);
  r.frames(3);
  ASSERT_TRUE(r.s->take.active);

  // 300 jumps the session doesn't read in time: the event ring overflows.
  for (int i = 0; i < 300; i++) {
    CoreCommand c;
    memset(&c, 0, sizeof c);
    c.kind = CMD_LOCATE_MID_TAKE;
    c.a = (i % 2) ? 4000 : 100;
    ASSERT_TRUE(core_push_command(r.core, &c));
    r.audio(200);
  }
  CoreStatus st;
  core_read_status(r.core, &st);
  EXPECT_GT(st.events_dropped, 0u);

  r.frames(10);
  EXPECT_TRUE(r.logged("session: RESYNC - "));
  EXPECT_TRUE(r.s->take.active);
  EXPECT_TRUE(r.s->take.rebuild);
  r.frames(30);
  session_record(r.s);
  ASSERT_TRUE(r.settle());
  ASSERT_GE(r.s->meta->layerCount, 1);
  EXPECT_TRUE(r.logged("rebuilt from the capture"));
  const Layer* last = r.s->meta->layers[r.s->meta->layerCount - 1];
  EXPECT_GT(last->strokeCount, 50);
}

TEST(Session, LostTakeEndIsLandedWithoutItsEvent) {
  Rig r;
  r.create();
  r.new_sketch();
  session_record(r.s);
  r.frames(20);
  ASSERT_TRUE(r.s->take.active);
  // The session looks away while jumps flood the event ring; the stop's events are lost.
  for (int i = 0; i < 300; i++) {
    CoreCommand c;
    memset(&c, 0, sizeof c);
    c.kind = CMD_LOCATE_MID_TAKE;
    c.a = (i % 2) ? 4000 : 100;
    ASSERT_TRUE(core_push_command(r.core, &c));
    r.audio(200);
  }
  CoreCommand stop;
  memset(&stop, 0, sizeof stop);
  stop.kind = CMD_RECORD_STOP;
  ASSERT_TRUE(core_push_command(r.core, &stop));
  r.audio(8000);
  r.frames(5);
  EXPECT_TRUE(r.logged("session: RESYNC - "));
  EXPECT_TRUE(r.logged("session: ending the take without its event"));
  EXPECT_FALSE(r.s->take.active);
  ASSERT_TRUE(r.settle());
  EXPECT_TRUE(r.logged("rebuilt from the capture"));
  ASSERT_GE(r.s->meta->layerCount, 1);
  EXPECT_EQ(r.s->meta->lengthSamples, r.s->status.main_length);
  EXPECT_EQ(file_size(r.file("tape.f32").c_str()), r.s->meta->lengthSamples * 8);
}

TEST(Session, RecordWaitsForTheDeviceAndRefusesWithoutOne) {
  Rig r;
  r.device.state = AUDIO_OPENING;
  r.create();
  r.new_sketch();
  session_record(r.s);
  EXPECT_TRUE(r.s->rec_waiting);
  EXPECT_FALSE(r.s->take.requested);
  r.frames(30);
  EXPECT_TRUE(r.s->rec_waiting);
  r.device.state = AUDIO_RUNNING;
  r.frames(3);
  EXPECT_FALSE(r.s->rec_waiting);
  EXPECT_TRUE(r.s->take.active);
  EXPECT_TRUE(r.logged("session: REC waited 0.5"));
  // "play/pause" during a take ends the take instead of pausing.
  session_play_pause(r.s);
  EXPECT_TRUE(r.s->take.stop_requested);
  // A quick second press while that take lands arms no new one.
  session_record(r.s);
  EXPECT_FALSE(r.s->rec_waiting);
  EXPECT_FALSE(r.s->take.requested);
  ASSERT_TRUE(r.settle());
  EXPECT_EQ(r.s->meta->layerCount, 1);

  // Pressing record again while waiting cancels the wait.
  r.device.state = AUDIO_OPENING;
  r.frame();
  session_record(r.s);
  EXPECT_TRUE(r.s->rec_waiting);
  session_record(r.s);
  EXPECT_FALSE(r.s->rec_waiting);

  r.device.state = AUDIO_DOWN;
  r.frame();
  session_record(r.s);
  EXPECT_FALSE(r.s->rec_waiting);
  r.update();
  EXPECT_EQ(r.notice_count(NOTICE_ERROR, "NO AUDIO INPUT - CHECK THE DEVICE"), 1);
  session_set_audio(r.s, nullptr);
  r.frame();
  session_record(r.s);
  r.update();
  EXPECT_EQ(r.notice_count(NOTICE_ERROR, "NO AUDIO INPUT - CHECK THE DEVICE"), 2);
}

TEST(Session, RecordPressedWhileTheSketchOpensStartsOnceItIsReady) {
  Rig r;
  std::string folder = session_fixture::write_sketch(r.library, 48000.0, 48000, 1);
  r.create();
  session_open(r.s, folder.c_str());
  ASSERT_EQ(r.s->state, SESSION_LOADING);
  ASSERT_EQ(r.s->meta, nullptr);  // meta.json is still being read
  session_record(r.s);
  EXPECT_TRUE(r.s->rec_waiting);
  ASSERT_TRUE(r.pump_until([&] { return r.s->take.active; }));
  EXPECT_TRUE(r.logged("session: REC waited "));
  r.frames(30);
  session_record(r.s);
  ASSERT_TRUE(r.settle());
  EXPECT_EQ(r.s->meta->layerCount, 2);
}

TEST(Session, ATakeTheAudioNeverStartsIsDroppedAndAnExportWaitingOnItRuns) {
  Rig r;
  r.create();
  r.new_sketch();
  r.audio_on = false;  // the device says running, but no callback comes
  session_record(r.s);
  ASSERT_TRUE(r.s->take.requested);
  session_export(r.s);  // stops the take and waits for its commit
  EXPECT_TRUE(r.s->export_pending);
  r.frames(12, 0.1);
  EXPECT_TRUE(r.s->take.requested);
  r.frames(10, 0.1);
  EXPECT_FALSE(r.s->take.requested);
  EXPECT_TRUE(r.logged("session: the audio never started the take - giving up on it"));
  EXPECT_FALSE(r.s->export_pending);
  EXPECT_EQ(r.notice_count(NOTICE_EXPORT_ERROR, "NOTHING TO EXPORT - RECORD SOMETHING FIRST"), 1);
}

TEST(Session, MidTakeLocatesAreThrottled) {
  Rig r;
  r.create();
  r.new_sketch();
  session_record(r.s);
  r.frames(40);
  ASSERT_TRUE(r.s->take.active);
  r.audio_on = false;
  ASSERT_TRUE(r.queued().empty());
  const double span = session_span(r.s);
  for (int i = 1; i <= 20; i++) session_strip_scrub(r.s, 0.003 * i);
  const int64_t last = (int64_t)std::llround(0.06 * span * 48000.0);
  ASSERT_LT(last, session_tape_frames(r.s));
  EXPECT_EQ(count_kind(r.queued(), CMD_LOCATE_MID_TAKE), 1);
  r.frame(0.05);
  EXPECT_EQ(count_kind(r.queued(), CMD_LOCATE_MID_TAKE), 1);
  r.frame(0.06);
  std::vector<CoreCommand> q = r.queued();
  ASSERT_EQ(count_kind(q, CMD_LOCATE_MID_TAKE), 2);
  EXPECT_EQ(q.back().a, last);
  // The locate shows at once, before the audio moves.
  EXPECT_EQ(session_snapshot(r.s)->position, last);
  r.audio_on = true;
  session_record(r.s);
  ASSERT_TRUE(r.settle());
}

TEST(Session, PlaybackGainFollowsTheCommittedPeak) {
  Rig r;
  r.create();
  auto gain = [&] { return r.core->playback_gain.load(); };
  r.s->committed_peak = 0.5f;
  session_set_raw(r.s, false);
  EXPECT_NEAR(gain(), 1.9f, 1e-6);
  r.s->committed_peak = 0.01f;
  session_set_raw(r.s, false);
  EXPECT_FLOAT_EQ(gain(), 16.0f);
  session_set_raw(r.s, true);
  EXPECT_FLOAT_EQ(gain(), 1.0f);
  EXPECT_EQ(r.settings.raw_playback, 1);
  r.s->committed_peak = 0.0005f;
  session_set_raw(r.s, false);
  EXPECT_FLOAT_EQ(gain(), 1.0f);

  // After a take the commit's peak sets it.
  r.new_sketch();
  r.record_frames(24000);
  ASSERT_TRUE(r.settle());
  ASSERT_GT(r.s->committed_peak, 0.001f);
  EXPECT_NEAR(gain(), std::min(16.0f, 0.95f / r.s->committed_peak), 1e-5);
}

TEST(Session, PlayStopAndOverridesShowTheIntentAtOnce) {
  Rig r;
  r.create();
  r.new_sketch();
  r.record_frames(48000);
  ASSERT_TRUE(r.settle());
  session_rewind(r.s);  // playing from the end would only rewind
  r.frames(3);
  r.audio_on = false;
  session_play_pause(r.s);
  r.update();
  EXPECT_TRUE(session_snapshot(r.s)->playing);  // shown before any callback
  r.audio_on = true;
  r.frames(3);
  EXPECT_TRUE(r.s->status.flags & CORE_STATUS_PLAYING);
  EXPECT_EQ(r.s->play_override, -1);
  session_play_pause(r.s);
  EXPECT_EQ(r.s->play_override, 0);
  r.frames(3);
  EXPECT_FALSE(r.s->status.flags & CORE_STATUS_PLAYING);

  // An override the audio never confirms lapses after 0.5 s.
  r.audio_on = false;
  session_play_pause(r.s);
  r.frame(0.3);
  EXPECT_EQ(r.s->play_override, 1);
  r.frame(0.3);
  EXPECT_EQ(r.s->play_override, -1);
  r.audio_on = true;
  session_stop(r.s);
  r.frames(3);

  // Cursor keys: a step shorter than a hop sends nothing; the end of the tape is a target.
  size_t before = r.queued().size();
  session_cursor_step(r.s, 0.001, false);
  EXPECT_EQ(r.queued().size(), before);
  session_cursor_to_end(r.s, true);
  r.frames(3);
  EXPECT_EQ(r.s->status.cursor, session_tape_frames(r.s));
  session_cursor_to_take(r.s, -1, false);
  r.frames(3);
  EXPECT_EQ(r.s->status.cursor, 0);
}

TEST(Session, BannersFollowTheDeviceAndNoticesKeepTheNewest) {
  Rig r;
  r.create();
  r.frame();
  r.device.state = AUDIO_RECOVERING;
  r.frame();
  EXPECT_TRUE(r.s->banners[BANNER_AUDIO_DOWN].shown);
  r.frames(3);
  EXPECT_EQ(r.notice_count(NOTICE_BANNER, "AUDIO DOWN"), 1);  // unchanged: no repeat
  r.device.cause = AUDIO_CAUSE_ACCESS_DENIED;
  r.frame();
  EXPECT_TRUE(r.s->banners[BANNER_MIC_PRIVACY].shown);
  EXPECT_FALSE(r.s->banners[BANNER_AUDIO_DOWN].shown);  // privacy says it better
  r.device.state = AUDIO_RUNNING;
  r.device.cause = AUDIO_CAUSE_IN_USE;
  snprintf(r.device.device, sizeof r.device.device, "Usb mic [WASAPI]");
  r.device.duplex = false;
  r.frame();
  EXPECT_STREQ(r.s->banners[BANNER_MIC_BUSY].text, "MIC BUSY - LISTENING ON USB MIC [WASAPI]");
  EXPECT_TRUE(r.s->banners[BANNER_NO_OUTPUT].shown);
  r.device.state = AUDIO_HUNG;
  r.frame();
  EXPECT_TRUE(r.s->banners[BANNER_DRIVER_HUNG].shown);
  EXPECT_STREQ(r.s->banners[BANNER_MIC_BUSY].text, "MIC BUSY");
  // A long name is cut to 127 bytes on a character boundary; only ASCII letters change case.
  r.device.state = AUDIO_RUNNING;
  std::string name(124, 'x');
  name += "\xC3\xA9\xC3\xA9";
  snprintf(r.device.device, sizeof r.device.device, "%s", name.c_str());
  r.frame();
  EXPECT_EQ(std::string(r.s->banners[BANNER_MIC_BUSY].text),
            "MIC BUSY - LISTENING ON " + std::string(124, 'X') + "\xC3\xA9");
  r.device.state = AUDIO_HUNG;
  r.frame();
  // A slot set without a text of its own says its usual words.
  session_banner_set(r.s, BANNER_TAPE_FULL, true, "");
  EXPECT_STREQ(r.s->banners[BANNER_TAPE_FULL].text, "TAPE FULL");
  session_banner_set(r.s, BANNER_SAVE_FAILED, true, nullptr);
  EXPECT_STREQ(r.s->banners[BANNER_SAVE_FAILED].text, "COULDN'T SAVE - DISK ERROR");

  // Silence on a running input for 2 s.
  r.device.state = AUDIO_RUNNING;
  r.device.cause = AUDIO_CAUSE_NONE;
  r.level = 0.0f;
  r.frames(60);
  EXPECT_FALSE(r.s->banners[BANNER_NO_SIGNAL].shown);
  r.frames(70);
  EXPECT_TRUE(r.s->banners[BANNER_NO_SIGNAL].shown);
  r.level = 0.5f;
  r.frame();
  EXPECT_FALSE(r.s->banners[BANNER_NO_SIGNAL].shown);

  // The queue holds 32; the 33rd drops the oldest.
  for (int i = 0; i < 40; i++) {
    char t[16];
    snprintf(t, sizeof t, "N%d", i);
    session_notice(r.s, NOTICE_TOAST, i, false, t, nullptr);
  }
  SessionNotice n;
  ASSERT_TRUE(session_next_notice(r.s, &n));
  EXPECT_STREQ(n.text, "N8");
  int left = 1;
  while (session_next_notice(r.s, &n)) left++;
  EXPECT_EQ(left, 32);
  EXPECT_STREQ(n.text, "N39");
}

// The program's threads: the callback and the collector run on their own threads while the UI
// thread records a take and lands it.
TEST(Session, TakeLandsWithTheAudioOnItsOwnThread) {
  Rig r;
  r.create();
  r.audio_on = false;
  core_set_free_immediately(r.core, false);
  std::atomic<bool> stop{false};
  std::thread audio([&] {
    std::vector<float> l(256), rr(256), o1(256), o2(256);
    double ph = 0.0;
    while (!stop.load()) {
      for (int i = 0; i < 256; i++) {
        l[(size_t)i] = rr[(size_t)i] = 0.4f * (float)std::sin(ph);
        ph += 2.0 * M_PI * 330.0 / 48000.0;
      }
      core_process(r.core, l.data(), rr.data(), 2, o1.data(), o2.data(), 256, 0);
      std::this_thread::sleep_for(std::chrono::microseconds(1500));
    }
  });
  std::thread collector([&] {
    uint64_t ms = 0;
    while (!stop.load()) {
      ms += 20;
      core_collect(r.core, ms);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  auto wall_frames = [&](double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
      r.frame(0.005);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  };
  session_new_sketch(r.s);
  wall_frames(0.3);
  ASSERT_EQ(r.s->state, SESSION_READY);
  session_record(r.s);
  wall_frames(0.5);
  EXPECT_TRUE(r.s->take.active);
  session_record(r.s);
  bool landed = r.pump_until([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return r.idle() && !session_take_outstanding(r.s) && r.s->meta->layerCount == 1 &&
           layer_spectral(r.s->meta->layers[0]);
  });
  stop.store(true);
  audio.join();
  collector.join();
  core_set_free_immediately(r.core, true);
  ASSERT_TRUE(landed);
  EXPECT_GT(r.s->meta->layers[0]->strokeCount, 10);
  EXPECT_GT(file_size(r.file("tape.f32").c_str()), 0);
}

}  // namespace
