#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/core.h"
#include "core/core_fixture.h"
#include "base/log.h"
#include "support/log_capture.h"

using namespace core_fixture;

namespace {

Tape* small_tape() {
  return tape_new(48000.0, 0.01, 0);
}

std::string last_log_line() {
  char buf[LOG_FULL_LINE_BYTES];
  if (!log_line_full(log_console_count() - 1, buf, sizeof buf)) return "";
  return buf;
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Sends `n` empty preview tapes and a clear in one callback: all n reach the retire path.
std::vector<Tape*> retire_previews(Harness& s, int n, bool clear = true) {
  std::vector<Tape*> tapes;
  for (int i = 0; i < n; i++) {
    tapes.push_back(small_tape());
    send(s.core, make_cmd(CMD_PREVIEW_SET, 0, 0, 0, 0.0, tapes.back()));
  }
  if (clear) s.cmd(CMD_PREVIEW_CLEAR);
  s.blk.run(s.core, 16);
  drain(s.core);
  return tapes;
}

TEST(CoreCollector, TwentyOneRetiredTapesFillRingAndOverflowAndLeakOne) {
  Harness s;
  s.init(make_tape(1000), make_tape(1000));
  core_set_free_immediately(s.core, false);
  // 21 previews: 20 replaced by the next, the last (empty) plays out in the same callback.
  std::vector<Tape*> tapes = retire_previews(s, 21, false);
  EXPECT_EQ(spsc_outstanding(&s.core->retire), 16);
  EXPECT_EQ(s.core->overflow_count, 4);
  EXPECT_EQ(s.core->leaked.load(), 1);
  for (int i = 0; i < 16; i++) EXPECT_EQ(s.core->retire.slots[i], tapes[(size_t)i]);

  int64_t lines = log_console_count();
  core_collect(s.core, 10000);
  EXPECT_EQ(log_console_count(), lines + 1);
  EXPECT_TRUE(ends_with(last_log_line(), "core: the retire ring overflowed - 1 tape leaked"))
      << last_log_line();
  EXPECT_EQ(s.core->deferred_count, 16);

  // The next callback moves the overflow into the ring in order; the count is not logged again.
  s.blk.run(s.core, 16);
  EXPECT_EQ(s.core->overflow_count, 0);
  ASSERT_EQ(spsc_outstanding(&s.core->retire), 4);
  for (int i = 0; i < 4; i++)
    EXPECT_EQ(s.core->retire.slots[(16 + i) & 15], tapes[(size_t)(16 + i)]);
  core_collect(s.core, 10000);
  EXPECT_EQ(log_console_count(), lines + 1);
  EXPECT_EQ(s.core->deferred_count, 20);

  core_set_free_immediately(s.core, true);
  core_collect(s.core, 10000);
  EXPECT_EQ(s.core->deferred_count, 0);
  tape_free(tapes[20]);  // the leaked one
}

TEST(CoreCollector, LeakCountIsPluralAboveOne) {
  Harness s;
  s.init(make_tape(1000), nullptr);
  std::vector<Tape*> tapes = retire_previews(s, 22, false);
  EXPECT_EQ(s.core->leaked.load(), 2);
  core_collect(s.core, 10000);
  EXPECT_TRUE(ends_with(last_log_line(), "core: the retire ring overflowed - 2 tapes leaked"));
  tape_free(tapes[20]);
  tape_free(tapes[21]);
}

TEST(CoreCollector, WaitsTwoCallbacksAndHalfASecondUnlessFreeImmediately) {
  Harness s;
  s.init(make_tape(1000), nullptr);
  core_set_free_immediately(s.core, false);
  retire_previews(s, 1);
  core_collect(s.core, 1000);
  ASSERT_EQ(s.core->deferred_count, 1);

  s.blk.run(s.core, 16);
  core_collect(s.core, 2000);  // long enough, but only one callback since
  EXPECT_EQ(s.core->deferred_count, 1);
  s.blk.run(s.core, 16);
  core_collect(s.core, 1499);  // two callbacks, 499 ms
  EXPECT_EQ(s.core->deferred_count, 1);
  core_collect(s.core, 1500);
  EXPECT_EQ(s.core->deferred_count, 0);

  // A stamp in the future waits.
  retire_previews(s, 1);
  core_collect(s.core, 5000);
  s.blk.run_frames(s.core, 64, 16);
  core_collect(s.core, 100);
  EXPECT_EQ(s.core->deferred_count, 1);
  core_collect(s.core, 5500);
  EXPECT_EQ(s.core->deferred_count, 0);

  // With the stream stopped, the next collector step frees it.
  core_set_free_immediately(s.core, true);
  retire_previews(s, 3);
  core_collect(s.core, 6000);
  EXPECT_EQ(s.core->deferred_count, 0);
  EXPECT_EQ(spsc_outstanding(&s.core->retire), 0);
}

TEST(CoreCollector, TapeHeldByAJobWaitsUntilReleased) {
  Harness s;
  s.init(make_tape(1000), nullptr);
  std::vector<Tape*> tapes = retire_previews(s, 2);
  tapes[0]->refs.fetch_add(1);
  core_collect(s.core, 1000);
  ASSERT_EQ(s.core->deferred_count, 1);
  EXPECT_EQ(s.core->deferred[0].tape, tapes[0]);
  core_collect(s.core, 99999);
  EXPECT_EQ(s.core->deferred_count, 1);
  tapes[0]->refs.fetch_sub(1);
  core_collect(s.core, 99999);
  EXPECT_EQ(s.core->deferred_count, 0);
}

TEST(CoreCollector, FullDeferredListLeavesTapesInTheRing) {
  Harness s;
  s.init(make_tape(1000), nullptr);
  core_set_free_immediately(s.core, false);
  for (int round = 0; round < 4; round++) {
    retire_previews(s, 16);
    core_collect(s.core, 1000);
  }
  EXPECT_EQ(s.core->deferred_count, 64);
  retire_previews(s, 16);
  core_collect(s.core, 1000);
  EXPECT_EQ(s.core->deferred_count, 64);
  EXPECT_EQ(spsc_outstanding(&s.core->retire), 16);
  core_set_free_immediately(s.core, true);
  core_collect(s.core, 1000);
  EXPECT_EQ(s.core->deferred_count, 0);
  EXPECT_EQ(spsc_outstanding(&s.core->retire), 16);
  core_collect(s.core, 1000);
  EXPECT_EQ(s.core->deferred_count, 0);
  EXPECT_EQ(spsc_outstanding(&s.core->retire), 0);
  EXPECT_EQ(s.core->leaked.load(), 0);
}

TEST(CoreCollector, MaintainsChunksAheadOfTheLiveTapes) {
  Harness s;
  Tape* main = tape_new(48000.0, 10.0, 0);
  Tape* cap = tape_new(48000.0, 10.0, 0);
  s.init(main, cap);
  core_collect(s.core, 1000);
  EXPECT_EQ(main->capacity_end, 4 * TAPE_CHUNK_FRAMES);
  EXPECT_EQ(cap->capacity_end, 4 * TAPE_CHUNK_FRAMES);
  // Recording now has room without the audio thread allocating.
  s.cmd(CMD_RECORD, 0, 1, CMD_FLAG_PLAY);
  s.blk.run(s.core, 256, 0.1f, 0.1f);
  EXPECT_EQ(status(s.core).missing_chunk_frames, 0u);
  EXPECT_EQ(tape_length(cap), 256);
}

// The collector counts callbacks for the live tapes' released chunks: with no callback running
// after the release, no amount of time frees the chunk; two callbacks later it goes.
TEST(CoreCollector, ReleasedCaptureChunkWaitsForCallbacks) {
  Harness s;
  Tape* main = tape_new(48000.0, 10.0, 0);
  Tape* cap = tape_new(48000.0, 10.0, 0);
  s.init(main, cap);
  core_collect(s.core, 1000);
  ASSERT_EQ(cap->resident, 4);
  tape_release_below(cap, TAPE_CHUNK_FRAMES);
  core_collect(s.core, 2000);
  ASSERT_EQ(cap->retired_count, 1);
  core_collect(s.core, 2000 + 86400000);  // a day, and no callback
  EXPECT_EQ(cap->retired_count, 1);
  s.blk.run(s.core, 16);
  core_collect(s.core, 2000 + 86400001);
  EXPECT_EQ(cap->retired_count, 1);
  s.blk.run(s.core, 16);
  core_collect(s.core, 2000 + 86400002);
  EXPECT_EQ(cap->retired_count, 0);
}

TEST(CoreCollector, FreeReachesEveryTapeOnce) {
  Harness s;
  Tape* a = make_tape(1000, 100);
  s.init(a, a);  // one tape as both main and capture
  core_set_free_immediately(s.core, false);
  std::vector<Tape*> deferred = retire_previews(s, 8);
  deferred[3]->refs.fetch_add(1);  // a job still holds it
  core_collect(s.core, 1000);
  ASSERT_EQ(s.core->deferred_count, 8);
  retire_previews(s, 20);
  ASSERT_EQ(spsc_outstanding(&s.core->retire), 16);
  ASSERT_EQ(s.core->overflow_count, 4);
  Tape* p = make_tape(1000, 500);
  send(s.core, make_cmd(CMD_PREVIEW_SET, 0, 0, 0, 0.0, p));
  s.blk.run(s.core, 16);
  ASSERT_EQ(s.core->preview, p);
  // Commands the core never applies still hand their tapes over; duplicates are freed once.
  Tape* b = small_tape();
  Tape* q = small_tape();
  send(s.core, make_cmd(CMD_ATTACH, 0, 0, 0, 0.0, b, a));
  send(s.core, make_cmd(CMD_PREVIEW_SET, 0, 0, 0, 0.0, p));
  send(s.core, make_cmd(CMD_PREVIEW_SET, 0, 0, 0, 0.0, q));
  send(s.core, make_cmd(CMD_ATTACH, 0, 0, 0, 0.0, b, nullptr));

  int64_t lines = log_console_count();
  core_free(s.core);
  s.core = nullptr;
  EXPECT_EQ(log_console_count(), lines + 1);
  EXPECT_TRUE(
      ends_with(last_log_line(), "core: freeing a tape a job still holds (1 refs) at shutdown"));
  // AddressSanitizer checks that every tape was freed exactly once.
}

}  // namespace
