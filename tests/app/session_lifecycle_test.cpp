// The sketch's lifecycle on real folders: start and its fall-backs, resample on open, clear,
// export, rename, close, saves that fail and retry, and device changes around the open sketch.
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "app/session_fixture.h"
#include "app/session_internal.h"
#include "store/filenames.h"
#include "store/wav.h"

using session_fixture::Rig;
using session_fixture::write_sketch;

namespace {

std::string base_name(const std::string& folder) {
  return folder.substr(folder.rfind('/') + 1);
}

void remember_last(Rig& r, const std::string& folder) {
  std::string id = base_name(folder);
  std::transform(id.begin(), id.end(), id.begin(), ::toupper);
  snprintf(r.settings.last_opened, sizeof r.settings.last_opened, "%s", id.c_str());
}

std::vector<std::string> wavs_in(const std::string& folder) {
  char names[8][LIST_FILE_BYTES];
  int n = list_files_with_suffix(folder.c_str(), ".wav", names, 8);
  std::vector<std::string> out;
  for (int i = 0; i < n; i++) out.push_back(names[i]);
  return out;
}

TEST(Lifecycle, StartFallsBackOverADamagedLastSketch) {
  Rig r;
  std::string good = write_sketch(r.library, 48000.0, 48000, 2, 7e8);
  std::string bad = write_sketch(r.library, 48000.0, 24000, 1, 7e8 + 100);
  tmpdir_write(bad + "/meta.json", "{not json");
  remember_last(r, bad);
  r.create();
  r.scan();  // the shell's first scan, still out when the session starts
  session_start(r.s);
  ASSERT_TRUE(r.pump_until([&] { return r.ready(); }));
  EXPECT_TRUE(session_same_folder(r.s->folder, good.c_str()));
  EXPECT_EQ(r.notice_count(NOTICE_ERROR, "COULDN'T OPEN THAT SKETCH - "), 1);
  ASSERT_GE(r.notice_count(NOTICE_SKETCH_CLOSED), 1);
  // The damaged sketch keeps its audio.
  EXPECT_EQ(file_size((bad + "/tape.f32").c_str()), 24000 * 8);
  EXPECT_EQ(r.s->meta->layerCount, 2);
  // The one that opened is now the last sketch.
  EXPECT_TRUE(session_same_folder(r.settings.last_opened, base_name(good).c_str()));
}

TEST(Lifecycle, StartWithTheLastSketchGoneOpensTheNewestOrANewOne) {
  {
    Rig r;
    write_sketch(r.library, 48000.0, 48000, 1, 7e8);
    std::string newest = write_sketch(r.library, 48000.0, 24000, 1, 7e8 + 50);
    snprintf(r.settings.last_opened, sizeof r.settings.last_opened,
             "0A0B0C0D-0000-4000-8000-000000000000");
    r.create();
    session_start(r.s);
    EXPECT_TRUE(
        r.logged("session: the last sketch (0A0B0C0D-0000-4000-8000-000000000000) is gone"));
    ASSERT_TRUE(r.pump_until([&] { return r.ready(); }));
    EXPECT_TRUE(session_same_folder(r.s->folder, newest.c_str()));
    EXPECT_EQ(r.s->meta->lengthSamples, 24000);
  }
  {
    Rig r;
    r.create();
    session_start(r.s);
    ASSERT_TRUE(r.pump_until([&] { return r.ready(); }));
    EXPECT_EQ(r.s->meta->lengthSamples, 0);
    EXPECT_TRUE(r.logged("session: new sketch "));
    ASSERT_TRUE(r.settle());
    EXPECT_GE(file_size(r.file("meta.json").c_str()), 10);
  }
}

TEST(Lifecycle, A44kSketchOpenedAt48kIsResampledAndCommitted) {
  Rig r;
  std::string folder = write_sketch(r.library, 44100.0, 44100, 2);
  r.create();
  session_open(r.s, folder.c_str());
  ASSERT_TRUE(r.pump_until([&] { return r.ready(); }));
  EXPECT_DOUBLE_EQ(r.s->rate, 48000.0);
  EXPECT_DOUBLE_EQ(r.s->meta->sampleRate, 48000.0);
  EXPECT_EQ(r.s->meta->lengthSamples, 48000);
  EXPECT_EQ(r.s->meta->layers[1]->startSample, 24000);
  EXPECT_DOUBLE_EQ(r.s->meta->layers[1]->sampleRate, 48000.0);
  EXPECT_TRUE(r.logged("resampled to 48000 Hz on open (x1.08844)"));
  ASSERT_TRUE(r.settle());
  EXPECT_FALSE(r.s->resampled_on_open);
  EXPECT_EQ(file_size((folder + "/tape.f32").c_str()), 48000 * 8);
  SketchMeta disk;
  ASSERT_TRUE(r.disk_meta(folder, &disk));
  EXPECT_DOUBLE_EQ(disk.sampleRate, 48000.0);
  EXPECT_EQ(disk.lengthSamples, 48000);
  EXPECT_EQ(disk.layers[1]->startSample, 24000);
  meta_free(&disk);
  // Recording goes on at the stream's rate.
  r.record_frames(4800);
  ASSERT_TRUE(r.settle());
  EXPECT_EQ(r.s->meta->layerCount, 3);
}

TEST(Lifecycle, ClearWipesTheAudioAndTheTakes) {
  Rig r;
  r.create();
  session_new_sketch(r.s);
  session_clear(r.s);  // still attaching
  r.update();
  EXPECT_EQ(r.notice_count(NOTICE_ERROR, "STILL LOADING - CLEAR IN A MOMENT"), 1);
  ASSERT_TRUE(r.pump_until([&] { return r.ready(); }));
  r.record_frames(24000);
  ASSERT_TRUE(r.settle());
  ASSERT_TRUE(path_exists(r.file("tape.f32").c_str()));
  ASSERT_EQ(wavs_in(r.folder()).size(), 1u);
  session_loop_toggle(r.s);
  ASSERT_TRUE(r.s->loop.on);

  session_clear(r.s);
  EXPECT_EQ(r.s->state, SESSION_LOADING);
  ASSERT_TRUE(r.pump_until([&] { return r.ready(); }));
  ASSERT_TRUE(r.settle());
  EXPECT_TRUE(r.logged("session: cleared "));
  EXPECT_EQ(r.s->meta->layerCount, 0);
  EXPECT_FALSE(r.s->loop.on);
  EXPECT_EQ(r.s->committed_peak, 0.0f);
  EXPECT_FALSE(path_exists(r.file("tape.f32").c_str()));
  EXPECT_TRUE(wavs_in(r.folder()).empty());
  SketchMeta disk;
  ASSERT_TRUE(r.disk_meta(r.folder(), &disk));
  EXPECT_EQ(disk.lengthSamples, 0);
  EXPECT_EQ(disk.layerCount, 0);
  EXPECT_FALSE(disk.loopActive);
  meta_free(&disk);
  // The cleared sketch records again from the start.
  r.record_frames(9600);
  ASSERT_TRUE(r.settle());
  ASSERT_EQ(r.s->meta->layerCount, 1);
  EXPECT_EQ(r.s->meta->layers[0]->startSample, 0);
}

TEST(Lifecycle, ExportWritesTheTapeOrTheLoopAndWaitsForARunningTake) {
  Rig r;
  r.create();
  r.new_sketch();
  session_export(r.s);
  r.update();
  EXPECT_EQ(r.notice_count(NOTICE_EXPORT_ERROR, "NOTHING TO EXPORT - RECORD SOMETHING FIRST"), 1);
  r.record_frames(24000);
  ASSERT_TRUE(r.settle());
  const int64_t frames = r.s->meta->lengthSamples;

  session_export(r.s);
  ASSERT_TRUE(r.pump_until([&] { return r.notice_count(NOTICE_EXPORT_DONE) == 1; }));
  std::string whole = r.notices.back().path;
  EXPECT_EQ(whole.rfind(r.paths.exports, 0), 0u);
  EXPECT_EQ(file_size(whole.c_str()), WAV_HEADER_BYTES + frames * 4);
  EXPECT_TRUE(r.logged("session: exported "));

  // With the loop on only the loop goes out, under its own name.
  r.s->loop = LoopRegion{0.1, 0.3, true};
  session_send_loop(r.s);
  session_export(r.s);
  ASSERT_TRUE(r.pump_until([&] { return r.notice_count(NOTICE_EXPORT_DONE) == 2; }));
  std::string loop = r.notices.back().path;
  EXPECT_NE(loop, whole);
  TransportRange range = transport_export_range(&r.s->loop, 48000.0, frames);
  EXPECT_EQ(file_size(loop.c_str()), WAV_HEADER_BYTES + (range.end - range.start) * 4);
  r.s->loop = LoopRegion{0.0, 0.0, false};
  session_send_loop(r.s);

  // Export during a take: the take stops, lands, and then the whole tape goes out.
  session_record(r.s);
  r.frames(20);
  ASSERT_TRUE(r.s->take.active);
  session_export(r.s);
  EXPECT_TRUE(r.s->take.stop_requested);
  EXPECT_TRUE(r.s->export_pending);
  ASSERT_TRUE(r.pump_until([&] { return r.notice_count(NOTICE_EXPORT_DONE) == 3; }));
  ASSERT_TRUE(r.settle());
  EXPECT_EQ(file_size(r.notices.back().path), WAV_HEADER_BYTES + r.s->meta->lengthSamples * 4);
  EXPECT_GT(r.s->meta->lengthSamples, frames);
}

TEST(Lifecycle, RenameTrimsAndMovesTheSideCar) {
  Rig r;
  r.create();
  r.new_sketch();
  r.record_frames(12000);
  ASSERT_TRUE(r.settle());
  ASSERT_EQ(wavs_in(r.folder()).size(), 1u);
  const std::string old_wav = wavs_in(r.folder())[0];

  session_rename(r.s, "  Kelp Song \r\n");
  EXPECT_STREQ(r.s->meta->name, "Kelp Song");
  ASSERT_TRUE(r.settle());
  char expected[96];
  ASSERT_EQ(sidecar_wav_name("Kelp Song", expected, sizeof expected), 0);
  std::vector<std::string> now = wavs_in(r.folder());
  ASSERT_EQ(now.size(), 1u);
  EXPECT_EQ(now[0], expected);
  EXPECT_NE(now[0], old_wav);
  SketchMeta disk;
  ASSERT_TRUE(r.disk_meta(r.folder(), &disk));
  EXPECT_STREQ(disk.name, "Kelp Song");
  meta_free(&disk);

  // Only trailing spaces more: nothing changes, nothing is written.
  const int32_t owned = r.s->owned_count;
  session_rename(r.s, "Kelp Song   ");
  EXPECT_EQ(r.s->owned_count, owned);
  EXPECT_FALSE(r.s->meta_dirty);

  // A name past 255 bytes is cut before the character that would not fit whole.
  std::string long_name = " ";
  for (int i = 0; i < 130; i++) long_name += "\xC3\xA9";
  session_rename(r.s, long_name.c_str());
  EXPECT_EQ(std::string(r.s->meta->name), long_name.substr(1, 254));
  ASSERT_TRUE(r.settle());
}

TEST(Lifecycle, AViewChangeIsSavedTwoSecondsAfterTheLastOne) {
  Rig r;
  r.create();
  r.new_sketch();
  ASSERT_TRUE(r.settle());
  session_zoom(r.s, 2.0);
  r.frames(60);
  session_zoom(r.s, 1.0);  // a later change restarts the wait
  r.frames(100);
  EXPECT_FALSE(r.s->meta->hasViewZoom);
  r.frames(30);
  ASSERT_TRUE(r.s->meta->hasViewZoom);
  EXPECT_NEAR(r.s->meta->viewZoom, 1.331, 1e-4);
  ASSERT_TRUE(r.settle());
  SketchMeta disk;
  ASSERT_TRUE(r.disk_meta(r.folder(), &disk));
  EXPECT_TRUE(disk.hasViewZoom);
  EXPECT_NEAR(disk.viewZoom, 1.331, 1e-4);
  meta_free(&disk);
}

TEST(Lifecycle, CloseRemovesAnEmptySketchAndKeepsOneWithAudio) {
  Rig r;
  r.create();
  r.new_sketch();
  ASSERT_TRUE(r.settle());
  const std::string empty = r.folder();
  ASSERT_TRUE(path_is_dir(empty.c_str()));
  session_close(r.s);
  EXPECT_EQ(r.s->state, SESSION_CLOSING);
  ASSERT_TRUE(r.pump_until([&] { return !session_busy(r.s) && r.idle(); }));
  EXPECT_FALSE(path_exists(empty.c_str()));
  EXPECT_TRUE(r.logged("was empty - removed"));
  EXPECT_EQ(r.settings.last_opened[0], 0);
  ASSERT_GE(r.notice_count(NOTICE_SKETCH_CLOSED), 1);
  EXPECT_FALSE(r.notices.back().flag);

  // A sketch with a take stays, its cursor is remembered and comes back when it is reopened.
  r.new_sketch();
  r.record_frames(48000);
  ASSERT_TRUE(r.settle());
  const std::string kept = r.folder();
  session_cursor_step(r.s, -0.5, false);
  r.frames(5);
  const int64_t cursor = r.s->status.cursor;
  EXPECT_GT(cursor, 0);
  session_close(r.s);
  ASSERT_TRUE(r.pump_until([&] { return !session_busy(r.s) && r.idle(); }));
  EXPECT_TRUE(path_is_dir(kept.c_str()));
  session_open(r.s, kept.c_str());
  ASSERT_TRUE(r.pump_until([&] { return r.ready(); }));
  EXPECT_TRUE(r.logged("session: the cursor is back at "));
  EXPECT_EQ(r.s->status.cursor, cursor);

  // A stored cursor past the tape's end, even one beyond any frame count, lands at the end.
  const int64_t tape_frames = r.s->meta->lengthSamples;
  for (double stored : {1e15, -3.0}) {
    session_close(r.s);
    ASSERT_TRUE(r.pump_until([&] { return !session_busy(r.s) && r.idle(); }));
    ASSERT_TRUE(cursors_set(&r.settings, base_name(kept).c_str(), stored));
    session_open(r.s, kept.c_str());
    ASSERT_TRUE(r.pump_until([&] { return r.ready(); }));
    r.frame();
    EXPECT_EQ(r.s->status.cursor, stored > 0 ? tape_frames : 0);
  }

  // Opening the open sketch only shows it.
  const int shown = r.notice_count(NOTICE_SKETCH_SHOWN);
  session_open(r.s, kept.c_str());
  EXPECT_EQ(r.s->state, SESSION_READY);
  EXPECT_EQ(r.notice_count(NOTICE_SKETCH_SHOWN), shown);
  r.frame();
  EXPECT_EQ(r.notice_count(NOTICE_SKETCH_SHOWN), shown + 1);
}

TEST(Lifecycle, QuitWhileRecordingLandsTheTake) {
  Rig r;
  r.create();
  r.new_sketch();
  session_record(r.s);
  r.frames(30);
  ASSERT_TRUE(r.s->take.active);
  const std::string folder = r.folder();
  // What the shell does at quit: stop the take, close, wait for the session to let go.
  session_stop_take(r.s);
  session_close(r.s);
  EXPECT_EQ(r.s->state, SESSION_CLOSING);
  ASSERT_TRUE(r.pump_until([&] { return !session_busy(r.s) && r.idle(); }));
  EXPECT_EQ(r.s->state, SESSION_NONE);
  SketchMeta disk;
  ASSERT_TRUE(r.disk_meta(folder, &disk));
  EXPECT_EQ(disk.layerCount, 1);
  EXPECT_GT(disk.lengthSamples, 24000);
  EXPECT_EQ(file_size((folder + "/tape.f32").c_str()), disk.lengthSamples * 8);
  meta_free(&disk);

  // With the audio gone silent mid-take the close waits 3 s, then lands what the tape holds.
  session_open(r.s, folder.c_str());
  ASSERT_TRUE(r.pump_until([&] { return r.ready(); }));
  session_record(r.s);
  r.frames(30);
  ASSERT_TRUE(r.s->take.active);
  r.audio_on = false;
  session_close(r.s);
  r.frames(170);
  EXPECT_EQ(r.s->state, SESSION_CLOSING);
  ASSERT_TRUE(r.pump_until([&] { return !session_busy(r.s) && r.idle(); }));
  EXPECT_TRUE(r.logged("session: ending the take without its event"));
  ASSERT_TRUE(r.disk_meta(folder, &disk));
  EXPECT_EQ(disk.layerCount, 2);
  EXPECT_EQ(file_size((folder + "/tape.f32").c_str()), disk.lengthSamples * 8);
  meta_free(&disk);
}

TEST(Lifecycle, AFailedCommitShowsItAndRetriesWithBackOff) {
  Rig r;
  r.create();
  r.new_sketch();
  ASSERT_TRUE(r.settle());
  // Something stands where the tape's temporary file goes.
  const std::string blocker = r.file("tape.f32.tmp");
  ASSERT_EQ(mkdir(blocker.c_str(), 0755), 0);
  r.record_frames(9600);
  ASSERT_TRUE(r.pump_until([&] { return r.s->banners[BANNER_SAVE_FAILED].shown; }));
  const double failed_at = r.now;
  EXPECT_EQ(strncmp(r.s->banners[BANNER_SAVE_FAILED].text, "COULDN'T SAVE - ", 16), 0);
  EXPECT_TRUE(r.s->save_retry);
  EXPECT_DOUBLE_EQ(r.s->retry_delay, 5.0);
  EXPECT_TRUE(r.logged("session: commit of "));
  EXPECT_FALSE(path_exists(r.file("tape.f32").c_str()));
  ASSERT_EQ(rmdir(blocker.c_str()), 0);
  ASSERT_TRUE(r.pump_until([&] { return !r.s->banners[BANNER_SAVE_FAILED].shown && r.idle(); }));
  EXPECT_FALSE(r.s->save_retry);
  EXPECT_EQ(file_size(r.file("tape.f32").c_str()), r.s->meta->lengthSamples * 8);
  EXPECT_TRUE(r.logged("session: committed "));
  // The retry waited for its delay.
  EXPECT_GE(r.now - failed_at, 5.0);
  EXPECT_DOUBLE_EQ(r.s->retry_delay, 0.0);
}

// A commit that still fails when the sketch is let go (here for a new sketch) has nobody left to
// retry it: its audio is rescued and the session counts it as not landed.
TEST(Lifecycle, AFailingSketchLetGoIsRescued) {
  Rig r;
  setenv("XDG_DATA_HOME", (r.dir / "data").c_str(), 1);
  r.create();
  r.new_sketch();
  ASSERT_TRUE(r.settle());
  const std::string folder = r.folder();
  ASSERT_EQ(mkdir(r.file("tape.f32.tmp").c_str(), 0755), 0);
  r.record_frames(9600);
  ASSERT_TRUE(r.pump_until([&] { return r.s->banners[BANNER_SAVE_FAILED].shown; }));
  session_new_sketch(r.s);
  ASSERT_TRUE(r.pump_until([&] { return r.ready() && r.idle() && r.folder() != folder; }));
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(r.s->rescued_count, 1);
  EXPECT_EQ(r.s->lost_count, 0);
  const std::string rescue = r.s->last_rescue;
  EXPECT_EQ(rescue.find(r.dir / "data/kelp/rescued/"), 0u) << rescue;
  SketchMeta disk;
  ASSERT_TRUE(r.disk_meta(rescue, &disk));
  EXPECT_EQ(disk.layerCount, 1);
  EXPECT_GE(disk.lengthSamples, 9600);
  EXPECT_EQ(file_size((rescue + "/tape.f32").c_str()), disk.lengthSamples * 8);
  meta_free(&disk);
  EXPECT_EQ(r.notice_count(NOTICE_ERROR, "COULDN'T SAVE - THE AUDIO IS RESCUED"), 1);
}

TEST(Lifecycle, ARateChangeReopensTheSketchAtTheNewRate) {
  Rig r;
  r.create();
  r.new_sketch();
  r.record_frames(48000);
  ASSERT_TRUE(r.settle());
  const std::string folder = r.folder();
  const int64_t frames = r.s->meta->lengthSamples;

  SessionAudioRequest req;
  memset(&req, 0, sizeof req);
  req.kind = AUDIO_SET_RATE;
  req.value = 44100;
  ASSERT_EQ(session_audio_request(r.s, &req), 0);
  EXPECT_EQ(r.s->state, SESSION_CLOSING);
  ASSERT_TRUE(r.pump_until([&] { return !r.posted.empty(); }));
  EXPECT_EQ(r.s->state, SESSION_NONE);
  EXPECT_EQ(r.posted.back().kind, AUDIO_SET_RATE);
  EXPECT_EQ(r.posted.back().value, 44100);
  // The engine switches.
  r.device.rate = 44100.0;
  r.audio_rate = 44100.0;
  core_set_rate(r.core, 44100.0, 2);
  r.device.last_command_id = r.next_id - 1;
  r.device.last_command_result = AUDIO_DONE;
  r.device.last_command_kind = AUDIO_SET_RATE;
  ASSERT_TRUE(r.pump_until([&] { return r.ready(); }));
  EXPECT_TRUE(session_same_folder(r.s->folder, folder.c_str()));
  EXPECT_DOUBLE_EQ(r.s->rate, 44100.0);
  EXPECT_EQ(r.settings.sample_rate, 44100);
  EXPECT_EQ(r.s->meta->lengthSamples, (int64_t)std::llround(frames * 44100.0 / 48000.0));
  ASSERT_TRUE(r.settle());

  // A buffer change asked for during a take waits for it to land; a refusal is told.
  session_record(r.s);
  r.frames(10);
  req.kind = AUDIO_SET_BUFFER;
  req.value = 512;
  const size_t posted = r.posted.size();
  ASSERT_EQ(session_audio_request(r.s, &req), 0);
  EXPECT_TRUE(r.s->take.stop_requested);
  EXPECT_EQ(r.posted.size(), posted);
  ASSERT_TRUE(r.pump_until([&] { return r.posted.size() == posted + 1; }));
  EXPECT_EQ(r.s->commit_count, 0);
  r.device.last_command_id = r.next_id - 1;
  r.device.last_command_result = AUDIO_REFUSED;
  r.frame();
  EXPECT_EQ(r.notice_count(NOTICE_ERROR, "BUFFER REFUSED - KEPT OLD SIZE"), 1);
  EXPECT_EQ(r.settings.buffer_frames, 256);
  r.refuse_posts = true;
  req.kind = AUDIO_SET_EXCLUSIVE;
  req.value = 1;
  EXPECT_EQ(session_audio_request(r.s, &req), -1);
  r.update();
  EXPECT_EQ(r.notice_count(NOTICE_ERROR, "AUDIO IS STILL SWITCHING - TRY AGAIN"), 1);
}

TEST(Lifecycle, AnEmptySketchFollowsTheStreamRate) {
  Rig r;
  r.create();
  r.new_sketch();
  ASSERT_DOUBLE_EQ(r.s->rate, 48000.0);
  r.device.rate = 44100.0;
  r.audio_rate = 44100.0;
  core_set_rate(r.core, 44100.0, 2);
  r.frame();
  EXPECT_TRUE(r.logged("session: the stream runs at 44100 Hz - the empty sketch follows"));
  ASSERT_TRUE(r.pump_until([&] { return r.ready(); }));
  EXPECT_DOUBLE_EQ(r.s->rate, 44100.0);
  EXPECT_DOUBLE_EQ(r.s->meta->sampleRate, 44100.0);
  r.record_frames(4410);
  ASSERT_TRUE(r.settle());
  SketchMeta disk;
  ASSERT_TRUE(r.disk_meta(r.folder(), &disk));
  EXPECT_DOUBLE_EQ(disk.sampleRate, 44100.0);
  meta_free(&disk);
}

}  // namespace

TEST(Lifecycle, ALongMultibyteNameStillRenamesAndClearsItsSideCar) {
  Rig r;
  r.create();
  r.new_sketch();
  // Forty three-byte letters: a side-car name longer than the side-car's byte budget.
  std::string long_name;
  for (int i = 0; i < 40; i++) long_name += "\xE9\x8C\xB2";
  session_rename(r.s, long_name.c_str());
  r.record_frames(12000);
  ASSERT_TRUE(r.settle());
  char expected[LIBRARY_SIDECAR_MAX + 1];
  ASSERT_EQ(sidecar_wav_name(long_name.c_str(), expected, sizeof expected), 0);
  system(("ls -la " + r.folder() + "").c_str());
  ASSERT_EQ(wavs_in(r.folder()), std::vector<std::string>{expected});

  session_rename(r.s, "Short");
  ASSERT_TRUE(r.settle());
  char renamed[LIBRARY_SIDECAR_MAX + 1];
  ASSERT_EQ(sidecar_wav_name("Short", renamed, sizeof renamed), 0);
  EXPECT_EQ(wavs_in(r.folder()), std::vector<std::string>{renamed});

  session_rename(r.s, long_name.c_str());
  ASSERT_TRUE(r.settle());
  ASSERT_EQ(wavs_in(r.folder()), std::vector<std::string>{expected});
  session_clear(r.s);
  ASSERT_TRUE(r.pump_until([&] { return r.ready(); }));
  ASSERT_TRUE(r.settle());
  EXPECT_TRUE(wavs_in(r.folder()).empty());
}
