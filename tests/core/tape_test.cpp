#include "core/tape.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "base/log.h"
#include "base/progress.h"
#include "support/log_capture.h"

namespace {

constexpr int64_t C = TAPE_CHUNK_FRAMES;

// Log lines written since `since`, joined by newlines.
std::string log_since(int64_t since) {
  std::string all;
  char buf[LOG_FULL_LINE_BYTES];
  for (int64_t n = since; n < log_console_count(); n++)
    if (log_line_full(n, buf, sizeof buf)) all += std::string(buf) + "\n";
  return all;
}

bool present(const Tape* t, int64_t chunk) {
  return t->chunks[chunk].load(std::memory_order_acquire) != nullptr;
}

void frame_at(const Tape* t, int64_t f, float* l, float* r) {
  tape_read_planar(t, f, 1, tape_length(t), l, r);
}

// Interleaved frames whose left is the frame number (plus base) and right its negation.
std::vector<float> ramp(int64_t n, float base) {
  std::vector<float> v((size_t)n * 2);
  for (int64_t i = 0; i < n; i++) {
    v[2 * i] = base + (float)i;
    v[2 * i + 1] = -(base + (float)i);
  }
  return v;
}

Tape* filled(double rate, int64_t n, double f_left, double f_right, float amp) {
  Tape* t = tape_new(rate, 0, 0);
  if (!t || tape_ensure(t, n - 1) != 0) return t;
  std::vector<float> v((size_t)n * 2);
  for (int64_t i = 0; i < n; i++) {
    v[2 * i] = amp * (float)std::sin(2 * M_PI * f_left * i / rate);
    v[2 * i + 1] = amp * (float)std::cos(2 * M_PI * f_right * i / rate);
  }
  tape_write(t, 0, v.data(), n);
  return t;
}

// Error of a resampled tone against the ideal one, in dB below the signal, away from the edges.
double tone_error_db(const Tape* t, double f_left, double f_right, float amp) {
  int64_t n = tape_length(t);
  std::vector<float> l((size_t)n), r((size_t)n);
  tape_read_planar(t, 0, n, n, l.data(), r.data());
  double err = 0, sig = 0;
  for (int64_t i = 64; i < n - 64; i++) {
    double el = amp * std::sin(2 * M_PI * f_left * i / t->rate);
    double er = amp * std::cos(2 * M_PI * f_right * i / t->rate);
    err += (l[i] - el) * (l[i] - el) + (r[i] - er) * (r[i] - er);
    sig += el * el + er * er;
  }
  return 10 * std::log10(err / sig);
}

}  // namespace

TEST(TapeNew, RefusesBadRatesWithOneLogLine) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double rate : {0.0, -48000.0, nan, 10000001.0}) {
    int64_t before = log_console_count();
    EXPECT_EQ(tape_new(rate, 1, 0), nullptr) << rate;
    std::string logged = log_since(before);
    EXPECT_NE(logged.find("tape: refused a tape at "), std::string::npos) << logged;
    EXPECT_EQ(log_console_count(), before + 1);
  }
  EXPECT_NE(log_since(log_console_count() - 1).find("tape: refused a tape at 10000001.0 Hz"),
            std::string::npos);
  Tape* top = tape_new(10000000.0, 1, 0);
  ASSERT_NE(top, nullptr);
  tape_free(top);
}

TEST(TapeNew, SizesChunksPoolAndRamCap) {
  Tape* day = tape_new(48000, 0, 2);  // 0 minutes means a whole day
  ASSERT_NE(day, nullptr);
  EXPECT_EQ(day->max_chunks, 7911);
  EXPECT_EQ(day->pool_count, 2);
  EXPECT_GE(day->ram_cap, 6);
  EXPECT_LE(day->ram_cap, day->max_chunks);
  EXPECT_EQ(tape_length(day), 0);
  EXPECT_EQ(day->resident, 0);
  tape_free(day);

  Tape* tiny = tape_new(48000, 0.001, 0);
  ASSERT_NE(tiny, nullptr);
  EXPECT_EQ(tiny->max_chunks, 1);
  EXPECT_EQ(tiny->ram_cap, 1);
  tape_free(tiny);

  Tape* huge = tape_new(10000000.0, 1e12, 0);  // capped at 2^20 slots
  ASSERT_NE(huge, nullptr);
  EXPECT_EQ(huge->max_chunks, 1 << 20);
  tape_free(huge);
  tape_free(nullptr);
}

TEST(TapeWrite, LandsAcrossChunksAndRefusesGapsWithoutWriting) {
  Tape* t = tape_new(48000, 0, 1);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tape_ensure(t, C), 0);  // chunks 0 and 1
  EXPECT_TRUE(present(t, 0) && present(t, 1) && !present(t, 2));
  EXPECT_EQ(t->capacity_end, 2 * C);
  EXPECT_EQ(t->pool_count, 1);  // refilled after taking from it

  std::vector<float> v = ramp(100, 1.0f);
  ASSERT_EQ(tape_write(t, C - 50, v.data(), 100), 0);
  EXPECT_EQ(tape_length(t), C + 50);
  float l, r;
  frame_at(t, C - 1, &l, &r);
  EXPECT_EQ(l, 50.0f);
  EXPECT_EQ(r, -50.0f);
  frame_at(t, C, &l, &r);
  EXPECT_EQ(l, 51.0f);

  // Chunk 2 is absent: nothing is written, not even the part before the gap.
  std::vector<float> w = ramp(C + 10, 1000.0f);
  EXPECT_EQ(tape_write(t, 2 * C - 10, w.data(), C + 10), -1);
  EXPECT_EQ(tape_length(t), C + 50);
  float raw = t->chunks[1].load()[2 * (C - 10)];
  EXPECT_EQ(raw, 0.0f);

  EXPECT_EQ(tape_write(nullptr, 0, v.data(), 1), -1);
  EXPECT_EQ(tape_write(t, -1, v.data(), 1), -1);
  EXPECT_EQ(tape_write(t, 0, v.data(), -1), -1);
  EXPECT_EQ(tape_write(t, 0, nullptr, 1), -1);
  EXPECT_EQ(tape_write(t, (int64_t)t->max_chunks * C, v.data(), 1), -1);
  EXPECT_EQ(tape_write(t, INT64_MAX, v.data(), 2), -1);
  EXPECT_EQ(tape_write(t, 5, v.data(), 0), 0);
  EXPECT_EQ(tape_length(t), C + 50);

  // A write below the high-water mark leaves the length alone.
  EXPECT_EQ(tape_write(t, 0, v.data(), 10), 0);
  EXPECT_EQ(tape_length(t), C + 50);
  tape_free(t);
}

TEST(TapeEnsure, FailsPastTheLastSlotButFillsUpToIt) {
  Tape* t = tape_new(48000, 0.001, 0);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(tape_ensure(t, -5), 0);
  EXPECT_TRUE(present(t, 0));
  EXPECT_EQ(tape_ensure(t, C), -1);  // one slot only
  EXPECT_EQ(t->capacity_end, C);
  EXPECT_EQ(tape_ensure(nullptr, 0), -1);
  tape_free(t);

  Tape* capped = tape_new(48000, 10, 0);
  ASSERT_NE(capped, nullptr);
  capped->ram_cap = 2;
  EXPECT_EQ(tape_ensure(capped, 3 * C), -1);
  EXPECT_TRUE(capped->ram_cap_reached);
  EXPECT_EQ(capped->resident, 2);
  EXPECT_EQ(capped->capacity_end, 2 * C);
  tape_free(capped);
}

TEST(TapeRead, SilenceOutsideWrittenPresentFrames) {
  Tape* t = tape_new(48000, 0, 0);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(tape_ensure(t, 2 * C), 0);
  std::vector<float> v(2 * C * 2 + 200, 0.5f);
  v[0] = v[1] = 0.25f;
  ASSERT_EQ(tape_write(t, 0, v.data(), 2 * C + 100), 0);

  float l = 9, r = 9;
  frame_at(t, -1, &l, &r);
  EXPECT_EQ(l + r, 0.0f);
  l = r = 9;
  tape_read_planar(t, tape_length(t), 1, INT64_MAX, &l, &r);  // past length despite the limit
  EXPECT_EQ(l + r, 0.0f);

  // Straddling frame 0 and the limit: zeros, data, zeros.
  float L[6], R[6];
  tape_read_planar(t, -2, 6, 2, L, R);
  EXPECT_EQ(L[0], 0.0f);
  EXPECT_EQ(L[1], 0.0f);
  EXPECT_EQ(L[2], 0.25f);
  EXPECT_EQ(R[3], 0.5f);
  EXPECT_EQ(L[4], 0.0f);
  EXPECT_EQ(R[5], 0.0f);

  EXPECT_EQ(tape_peak(t, -100, 10), 0.5f);
  EXPECT_EQ(tape_peak(t, 0, 1), 0.25f);
  EXPECT_EQ(tape_peak(t, 5, 5), 0.0f);
  EXPECT_EQ(tape_peak(nullptr, 0, 10), 0.0f);

  tape_release_below(t, 1000000);
  tape_maintain(t, 0, 0, 1000);
  EXPECT_FALSE(present(t, 0));
  l = r = 9;
  frame_at(t, 10, &l, &r);
  EXPECT_EQ(l + r, 0.0f);
  EXPECT_EQ(tape_peak(t, 0, C), 0.0f);  // released chunk is skipped
  EXPECT_EQ(tape_peak(t, 0, C + 1), 0.5f);
  tape_read_planar(nullptr, 0, 6, 6, L, R);
  EXPECT_EQ(L[5] + R[0], 0.0f);
  tape_free(t);
}

TEST(TapePeaks, BinsExamineEveryEighthFrameAndCarryFractions) {
  Tape* t = tape_new(48000, 0, 0);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(tape_ensure(t, 100), 0);
  std::vector<float> v(2 * 40, 0.0f);
  v[2 * 0] = 0.1f;
  v[2 * 8 + 1] = -0.2f;
  v[2 * 16] = 0.3f;
  v[2 * 1] = 0.9f;  // frames 1, 9, 17 are never examined
  v[2 * 9] = 0.9f;
  v[2 * 17 + 1] = 0.9f;
  v[2 * 5] = 0.4f;
  ASSERT_EQ(tape_write(t, 0, v.data(), 40), 0);

  float out[8] = {};
  ASSERT_EQ(tape_peaks(t, 0, 20, 8.0, out, 8), 3);
  EXPECT_EQ(out[0], 0.1f);
  EXPECT_EQ(out[1], 0.2f);
  EXPECT_EQ(out[2], 0.3f);

  // 2.5 frames per bin: bins of 3, 2, 3, 2 frames.
  EXPECT_EQ(tape_peaks(t, 0, 10, 2.5, out, 8), 4);
  EXPECT_EQ(tape_peaks(t, 6, 10, 2.5, out, 8), 2);
  EXPECT_EQ(out[0], 0.0f);  // frame 6 of the tape (0 at the range start)
  EXPECT_EQ(out[1], 0.9f);  // frame 9 opens the second bin
  EXPECT_EQ(tape_peaks(t, 0, 10, 2.5, out, 3), 3);
  EXPECT_EQ(tape_peaks(t, 0, 10, 0.5, out, 8), 8);  // one bin per frame at most

  // A range before frame 0 keeps its grid: frame 0 is examined from -8, not from -3.
  EXPECT_EQ(tape_peaks(t, -8, 8, 16.0, out, 8), 1);
  EXPECT_EQ(out[0], 0.1f);
  EXPECT_EQ(tape_peaks(t, -3, 13, 16.0, out, 8), 1);
  EXPECT_EQ(out[0], 0.4f);  // examined -3 and 5

  EXPECT_EQ(tape_peaks(nullptr, 0, 10, 2, out, 8), 0);
  EXPECT_EQ(tape_peaks(t, 0, 10, 2, nullptr, 8), 0);
  EXPECT_EQ(tape_peaks(t, 0, 10, 2, out, 0), 0);
  EXPECT_EQ(tape_peaks(t, 10, 10, 2, out, 8), 0);
  EXPECT_EQ(tape_peaks(t, 0, 10, 0, out, 8), 0);
  EXPECT_EQ(tape_peaks(t, 0, 10, std::nan(""), out, 8), 0);
  // A huge range past the data costs nothing per frame.
  EXPECT_EQ(tape_peaks(t, 0, INT64_MAX, 1e18, out, 8), 8);
  tape_free(t);
}

TEST(TapeMaintain, GrowsReleasesAndRecyclesAfterTheQuietTime) {
  Tape* t = tape_new(48000, 0, 2);
  ASSERT_NE(t, nullptr);
  tape_maintain(t, 100, 3, 0);
  for (int k = 0; k < 4; k++) EXPECT_TRUE(present(t, k)) << k;
  EXPECT_FALSE(present(t, 4));
  EXPECT_EQ(t->capacity_end, 4 * C);
  EXPECT_EQ(t->pool_count, 2);
  EXPECT_EQ(t->resident, 4);

  std::vector<float> v(2 * 16, 0.7f);
  ASSERT_EQ(tape_write(t, 10, v.data(), 16), 0);
  tape_release_below(t, 1000000);
  tape_release_below(t, 5);  // never lowers the request
  tape_release_below(t, -1);
  EXPECT_EQ(t->release_request.load(), 1000000);

  int64_t before = log_console_count();
  tape_maintain(t, 0, 3, 1000);
  EXPECT_NE(log_since(before).find("tape: released 1 chunk (4 MB) below frame 524288"),
            std::string::npos)
      << log_since(before);
  EXPECT_FALSE(present(t, 0));
  EXPECT_TRUE(present(t, 1));
  EXPECT_EQ(t->release_floor, C);
  EXPECT_EQ(t->retired_count, 1);
  EXPECT_EQ(t->capacity_end, 4 * C);  // from the floor; chunk 0 is never made present again
  float* old = t->retired[0].chunk;

  tape_maintain(t, 0, 3, 1249);
  EXPECT_EQ(t->retired_count, 1);
  tape_maintain(t, 0, 3, 999);  // a stamp in the future stays too
  EXPECT_EQ(t->retired_count, 1);
  t->pool_count--;  // make room so the recycled chunk is pooled
  float* taken = t->pool[t->pool_count];
  tape_maintain(t, 0, 3, 1250);
  EXPECT_EQ(t->retired_count, 0);
  ASSERT_EQ(t->pool_count, 2);
  EXPECT_EQ(t->pool[1], old);
  EXPECT_EQ(old[20], 0.0f);  // zeroed before reuse
  t->retired[t->retired_count++] = TapeRetired{taken, 0, 0};  // tape_free gives it back
  tape_free(t);
}

TEST(TapeMaintain, FullRetiredListPausesReleaseUntilEntriesAge) {
  Tape* t = tape_new(48000, 13, 0);  // 72 slots
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(tape_ensure(t, 70 * C - 1), 0);
  tape_release_below(t, 70 * C);
  tape_maintain(t, 0, 0, 0);
  EXPECT_EQ(t->retired_count, TAPE_RETIRED_MAX);
  EXPECT_EQ(t->release_floor, 64 * C);
  EXPECT_TRUE(present(t, 64));
  tape_maintain(t, 0, 0, 100);  // full and young: nothing moves
  EXPECT_EQ(t->release_floor, 64 * C);
  tape_maintain(t, 0, 0, 300);  // aged out and freed (no pool)
  EXPECT_EQ(t->retired_count, 0);
  tape_maintain(t, 0, 0, 400);
  EXPECT_EQ(t->release_floor, 70 * C);
  EXPECT_EQ(t->retired_count, 6);
  EXPECT_EQ(t->resident, 0);
  tape_free(t);  // frees the retired entries too
}

// Released chunks of a tape that callbacks read wait for two callbacks begun since the release
// and the quiet time, whichever comes last: a callback that never ends holds its chunk for good.
TEST(TapeMaintain, ReleasedChunkWaitsForCallbacksAndTheTime) {
  struct Case {
    uint64_t begun_since;
    uint64_t ms_since;
    bool recycled;
  };
  const Case cases[] = {
      {0, 0, false},
      {0, 1000000000, false},
      {1, 1000000000, false},
      {2, TAPE_RECYCLE_MS - 1, false},
      {2, TAPE_RECYCLE_MS, true},
      {40, 5000, true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << k.begun_since << " callbacks, " << k.ms_since << " ms");
    Tape* t = tape_new(48000, 0, 1);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(tape_ensure(t, 2 * C - 1), 0);
    std::vector<float> v(2 * 16, 0.7f);
    ASSERT_EQ(tape_write(t, 10, v.data(), 16), 0);
    std::atomic<uint64_t> begun{7};
    tape_release_below(t, C);
    tape_maintain(t, 0, 0, 1000, &begun);
    ASSERT_EQ(t->retired_count, 1);
    EXPECT_EQ(t->retired[0].callbacks, 7u);
    float* old = t->retired[0].chunk;
    // Room in the pool: a recycled chunk is zeroed there.
    platform_block_free(t->pool[--t->pool_count], (size_t)TAPE_CHUNK_BYTES);

    begun.store(7 + k.begun_since);
    tape_maintain(t, 0, 0, 1000 + k.ms_since, &begun);
    if (k.recycled) {
      EXPECT_EQ(t->retired_count, 0);
      ASSERT_EQ(t->pool_count, 1);
      EXPECT_EQ(t->pool[0], old);
      EXPECT_EQ(old[20], 0.0f);
    } else {
      EXPECT_EQ(t->retired_count, 1);
      EXPECT_EQ(old[20], 0.7f);  // untouched: a callback may still read it
    }
    tape_free(t);
  }
}

// A callback stalls holding a chunk pointer while the collector releases that chunk and hours
// pass: the chunk keeps its audio until later callbacks have begun. Under ThreadSanitizer a
// recycle during the stall would also show as a race with the callback's reads.
TEST(TapeConcurrency, StalledCallbackKeepsItsReleasedChunk) {
  Tape* t = tape_new(48000, 0, 1);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(tape_ensure(t, 2 * C - 1), 0);
  std::vector<float> v(2 * 4096, 0.5f);
  for (int64_t f = 0; f < C; f += 4096) ASSERT_EQ(tape_write(t, f, v.data(), 4096), 0);
  std::atomic<uint64_t> begun{0};
  std::atomic<int> phase{0};
  auto wait_for = [&](int p) {
    while (phase.load(std::memory_order_acquire) < p) platform_sleep_ms(1);
  };
  int64_t wrong = -1;
  std::thread audio([&] {
    begun.store(1, std::memory_order_seq_cst);  // the callback begins
    const float* p = tape_frame_ptr(t, 0);
    phase.store(1, std::memory_order_release);
    wait_for(2);  // stalled while the collector works
    int64_t bad = p ? 0 : -2;
    for (int64_t i = 0; p && i < 2 * C; i += 1024) bad += p[i] != 0.5f;
    wrong = bad;
    begun.store(2, std::memory_order_seq_cst);  // two more callbacks
    begun.store(3, std::memory_order_seq_cst);
    phase.store(3, std::memory_order_release);
  });
  wait_for(1);
  tape_release_below(t, C);
  tape_maintain(t, 0, 0, 1000, &begun);
  ASSERT_EQ(t->retired_count, 1);
  float* old = t->retired[0].chunk;
  for (uint64_t hours = 1; hours <= 3; hours++) {
    platform_block_free(t->pool[--t->pool_count], (size_t)TAPE_CHUNK_BYTES);
    tape_maintain(t, 0, 0, 1000 + hours * 3600000, &begun);
    EXPECT_EQ(t->retired_count, 1);
  }
  phase.store(2, std::memory_order_release);
  wait_for(3);
  audio.join();
  EXPECT_EQ(wrong, 0);
  platform_block_free(t->pool[--t->pool_count], (size_t)TAPE_CHUNK_BYTES);
  tape_maintain(t, 0, 0, 1000 + 4 * 3600000, &begun);
  EXPECT_EQ(t->retired_count, 0);
  ASSERT_EQ(t->pool_count, 1);
  EXPECT_EQ(t->pool[0], old);
  tape_free(t);
}

TEST(TapeMaintain, LogsRamCapOnce) {
  Tape* t = tape_new(48000, 0, 0);
  ASSERT_NE(t, nullptr);
  t->ram_cap = 2;
  int64_t before = log_console_count();
  tape_maintain(t, 0, 3, 0);
  tape_maintain(t, 0, 3, 100);
  std::string logged = log_since(before);
  EXPECT_NE(logged.find("tape: RAM cap reached (2 chunks resident) - the tape stops at 21.8 s"),
            std::string::npos)
      << logged;
  EXPECT_EQ(log_console_count(), before + 1);
  EXPECT_EQ(t->capacity_end, 2 * C);
  tape_free(t);
}

TEST(TapeResample, LengthsAndExactCopy) {
  Tape* a = filled(48000, 48000, 1000, 1000, 0.5f);
  JobProgress p;
  Tape* b = tape_resample(a, 44100, &p);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(tape_length(b), 44100);
  EXPECT_EQ(b->rate, 44100);
  EXPECT_EQ(p.done.load(), 44100);
  EXPECT_EQ(p.total.load(), 44100);
  Tape* c = tape_resample(b, 48000, nullptr);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(tape_length(c), 48000);
  tape_free(b);
  tape_free(c);

  // Halves round away from zero: 3 frames at half the rate give 2.
  Tape* three = filled(48000, 3, 1000, 1000, 0.5f);
  Tape* half = tape_resample(three, 24000, nullptr);
  ASSERT_NE(half, nullptr);
  EXPECT_EQ(tape_length(half), 2);
  tape_free(half);
  tape_free(three);

  // Equal rates: bit for bit, across a chunk boundary.
  Tape* big = tape_new(48000, 0, 0);
  ASSERT_EQ(tape_ensure(big, C + 999), 0);
  std::vector<float> v((size_t)(C + 1000) * 2);
  uint32_t seed = 12345;
  for (auto& x : v) {
    seed = seed * 1664525u + 1013904223u;
    x = (float)((int32_t)seed) / 2147483648.0f;
  }
  ASSERT_EQ(tape_write(big, 0, v.data(), C + 1000), 0);
  Tape* copy = tape_resample(big, 48000, nullptr);
  ASSERT_NE(copy, nullptr);
  ASSERT_EQ(tape_length(copy), C + 1000);
  std::vector<float> l(C + 1000), r(C + 1000);
  tape_read_planar(copy, 0, C + 1000, C + 1000, l.data(), r.data());
  bool same = true;
  for (int64_t i = 0; i < C + 1000 && same; i++)
    same = std::memcmp(&l[i], &v[2 * i], 4) == 0 && std::memcmp(&r[i], &v[2 * i + 1], 4) == 0;
  EXPECT_TRUE(same);
  tape_free(copy);
  tape_free(big);

  EXPECT_EQ(tape_resample(nullptr, 48000, nullptr), nullptr);
  EXPECT_EQ(tape_resample(a, 0, nullptr), nullptr);
  EXPECT_EQ(tape_resample(a, std::nan(""), nullptr), nullptr);
  EXPECT_EQ(tape_resample(a, 20000000.0, nullptr), nullptr);  // refused by tape_new
  tape_free(a);
}

TEST(TapeResample, AnOutputBeyondTheRamCapFailsAtOnce) {
  // A sketch that claims a rate of 1 Hz, opened on a 48 kHz stream, would need more chunks than
  // memory allows: nothing is allocated on the way to that failure.
  Tape* probe = tape_new(48000, 1440, 0);
  ASSERT_NE(probe, nullptr);
  int64_t cap = probe->ram_cap;
  tape_free(probe);
  int64_t frames = 2 * (cap + 2) * C / 48000 + 1;
  Tape* src = filled(1.0, frames, 0, 0, 0.5f);
  ASSERT_NE(src, nullptr);
  JobProgress p;
  EXPECT_EQ(tape_resample(src, 48000, &p), nullptr);
  EXPECT_EQ(p.done.load(), 0);
  tape_free(src);
}

TEST(TapeResample, TonesKeepFrequencyAndLevel) {
  const float amp = 0.5f;
  struct Case {
    double from, to;
  };
  for (Case cs : {Case{48000, 44100}, Case{44100, 48000}, Case{44100, 48000.5}}) {
    Tape* a = filled(cs.from, (int64_t)cs.from, 1000, 3000, amp);
    Tape* b = tape_resample(a, cs.to, nullptr);
    ASSERT_NE(b, nullptr);
    double db = tone_error_db(b, 1000, 3000, amp);
    EXPECT_LT(db, -80.0) << cs.from << " -> " << cs.to;
    tape_free(a);
    tape_free(b);
  }
  // Above the new Nyquist frequency a tone is filtered out, not folded back.
  Tape* a = filled(48000, 48000, 20000, 20000, amp);
  Tape* b = tape_resample(a, 22050, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_LT(tape_peak(b, 64, tape_length(b) - 64), amp * 0.01f);
  tape_free(a);
  tape_free(b);
}

TEST(TapeResample, CancelReturnsNullAndLeavesNothing) {
  Tape* a = filled(44100, 44100 * 60, 1000, 1000, 0.5f);
  JobProgress before;
  before.cancel = true;
  EXPECT_EQ(tape_resample(a, 48000, &before), nullptr);
  EXPECT_EQ(tape_resample(a, 44100, &before), nullptr);

  JobProgress p;
  std::thread watcher([&p] {
    while (p.done.load() == 0) std::this_thread::yield();
    p.cancel = true;
  });
  EXPECT_EQ(tape_resample(a, 48000, &p), nullptr);
  watcher.join();
  EXPECT_LT(p.done.load(), p.total.load());
  tape_free(a);
}

// The collector grows and releases while an audio-like thread overdubs through tape_frame_ptr and
// publishes a pass count after each pass, as the core does.
TEST(TapeConcurrency, AudioThreadWritesWhileTheCollectorGrowsAndReleases) {
  Tape* t = tape_new(48000, 0, 2);
  ASSERT_NE(t, nullptr);
  tape_maintain(t, 0, 3, platform_tick_ms());
  const int64_t target = 10 * C;
  std::atomic<int64_t> cursor{0}, passes{0}, missing{0};
  std::thread audio([&] {
    for (int64_t f = 0; f < target; f += 4096) {
      for (int64_t i = f; i < f + 4096; i++) {
        float* p;
        while (!(p = tape_frame_ptr(t, i))) {  // the collector is behind: wait for it
          missing.fetch_add(1, std::memory_order_relaxed);
          platform_sleep_ms(1);
        }
        p[0] += 1.0f;
        p[1] += 1.0f;
        if (t->length.load(std::memory_order_relaxed) < i + 1)
          t->length.store(i + 1, std::memory_order_relaxed);
      }
      cursor.store(f + 4096, std::memory_order_relaxed);
      passes.fetch_add(1, std::memory_order_release);
      platform_sleep_ms(1);
    }
  });
  while (cursor.load(std::memory_order_relaxed) < target) {
    passes.load(std::memory_order_acquire);
    int64_t at = cursor.load(std::memory_order_relaxed);
    tape_release_below(t, at - 2 * C);
    tape_maintain(t, std::max(tape_length(t), at), 3, platform_tick_ms());
    platform_sleep_ms(10);
  }
  audio.join();
  EXPECT_GE(t->release_floor, 6 * C);
  // Every frame still held was written exactly once, into a zeroed chunk.
  int64_t from = t->release_floor, n = target - from;
  std::vector<float> l((size_t)n), r((size_t)n);
  tape_read_planar(t, from, n, target, l.data(), r.data());
  int64_t wrong = 0;
  for (int64_t i = 0; i < n; i++) wrong += l[i] != 1.0f || r[i] != 1.0f;
  EXPECT_EQ(wrong, 0) << "waits for the collector: " << missing.load();
  tape_free(t);
}

// Chunks a freed tape leaves are the next tape's, cleared; a fill leaves them as they are (its
// caller writes every frame). Both with and without huge pages asked for.
TEST(TapeChunks, AlignedReusedAndClearedWithOrWithoutHugePages) {
  for (bool huge : {true, false}) {
    SCOPED_TRACE(huge ? "huge pages asked" : "plain pages");
    platform_block_huge_pages(huge);
    tape_cache_release();
    Tape* a = tape_new(48000, 0, 0);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(tape_ensure(a, 3 * C - 1), 0);
    std::vector<float> v(2 * C, 0.25f);
    for (int k = 0; k < 3; k++) ASSERT_EQ(tape_write(a, k * C, v.data(), C), 0);
    std::vector<float*> had;
    for (int k = 0; k < 3; k++) {
      had.push_back(a->chunks[k].load());
      EXPECT_EQ((uintptr_t)had.back() % PLATFORM_HUGE_PAGE, 0u) << k;
    }
    tape_free(a);

    Tape* b = tape_new(48000, 0, 0);
    ASSERT_EQ(tape_ensure(b, C - 1), 0);
    // A cached chunk comes back, cleared.
    EXPECT_NE(std::find(had.begin(), had.end(), b->chunks[0].load()), had.end());
    EXPECT_EQ(tape_peak(b, 0, C), 0.0f);
    Tape* c = tape_new(48000, 0, 0);
    ASSERT_EQ(tape_ensure_fill(c, C + 10), 0);
    // Whole chunks below the fill's end come as they were; the chunk it ends in is cleared.
    EXPECT_EQ(c->chunks[0].load()[5], 0.25f);
    EXPECT_EQ(tape_peak(c, C, 2 * C), 0.0f);
    tape_free(b);
    tape_free(c);
    EXPECT_GE(tape_cache_release(), 3);
    EXPECT_EQ(tape_cache_release(), 0);
  }
  platform_block_huge_pages(true);
}

// Where the kernel offers huge pages on request, chunk memory is marked for them.
TEST(TapeChunks, AskForHugePagesWhereTheKernelOffersThem) {
#ifdef KELP_SANITIZED
  GTEST_SKIP() << "sanitized builds take blocks from the heap, where overruns show";
#endif
  FILE* mode = fopen("/sys/kernel/mm/transparent_hugepage/enabled", "r");
  char text[128] = "";
  if (mode) {
    if (!fgets(text, sizeof text, mode)) text[0] = 0;
    fclose(mode);
  }
  if (strstr(text, "[never]") || !text[0]) GTEST_SKIP() << "no transparent huge pages here";
  tape_cache_release();
  Tape* t = tape_new(48000, 0, 0);
  ASSERT_EQ(tape_ensure(t, 0), 0);
  uintptr_t at = (uintptr_t)t->chunks[0].load();
  FILE* maps = fopen("/proc/self/smaps", "r");
  ASSERT_NE(maps, nullptr);
  char line[512];
  bool inside = false, eligible = false;
  while (fgets(line, sizeof line, maps)) {
    unsigned long lo, hi;
    if (sscanf(line, "%lx-%lx ", &lo, &hi) == 2 && strchr(line, '-') < strchr(line, ' ')) {
      inside = at >= lo && at < hi;
    } else if (inside && strncmp(line, "THPeligible:", 12) == 0) {
      eligible = atoi(line + 12) == 1;
    }
  }
  fclose(maps);
  EXPECT_TRUE(eligible);
  tape_free(t);
  tape_cache_release();
}
