// The callback takes shortcuts that must not change a bit of what it does:
// - the tape renderer works in stretches between the frames where something happens (loop out,
//   chunk ends, full hops, envelope thresholds), so how a stream is cut into callbacks must not
//   show in anything defined per frame: outputs, tape contents, events and the frames they
//   report, hop levels and the transport. Each scenario runs the same commands and input twice,
//   in 256-frame callbacks and in random callbacks of 1 to 4,096 frames, and compares bits;
// - the XY mixer passes plain blocks through at the centre, and the soft clipper works on four
//   samples at a time; both must equal the per-sample arithmetic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/condition.h"
#include "core/core.h"
#include "core/simd.h"
#include "support/core_inside.h"
#include "core/tape.h"
#include "platform/platform.h"

namespace {

constexpr int64_t kChunk = TAPE_CHUNK_FRAMES;
constexpr int kSuper = 4096;  // commands go in only at multiples of this

struct Rng {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double uni() { return (double)(next() >> 11) / 9007199254740992.0; }
  int64_t range(int64_t lo, int64_t hi) { return lo + (int64_t)(next() % (uint64_t)(hi - lo + 1)); }
  bool chance(double p) { return uni() < p; }
};

// A tape of at most `chunks` chunks with the first `present` made present.
Tape* tape_with(int chunks, int present, int64_t filled) {
  Tape* t = tape_new(48000.0, (chunks - 0.5) * (double)kChunk / (60.0 * 48000.0), 0);
  EXPECT_NE(t, nullptr);
  if (!t) return nullptr;
  EXPECT_EQ(t->max_chunks, chunks);
  if (present > 0) {
    EXPECT_EQ(tape_ensure(t, present * kChunk - 1), 0);
  }
  if (filled > 0) {
    std::vector<float> buf((size_t)filled * 2);
    for (int64_t i = 0; i < filled; i++) {
      buf[(size_t)i * 2] = 0.4f * std::sin((float)i * 0.0031f);
      buf[(size_t)i * 2 + 1] = 0.3f * std::cos((float)i * 0.0017f) - 0.05f;
    }
    EXPECT_EQ(tape_write(t, 0, buf.data(), filled), 0);
  }
  return t;
}

// A command of the script. Tapes are named by role, so each run gets its own copies.
enum Role { ROLE_NONE, ROLE_SAME_TAPES, ROLE_NEW_PREVIEW };
struct Step {
  CoreCommand cmd;
  Role role;
  int64_t preview_frames;
};

struct Scenario {
  double rate;
  bool monitor;
  int supers;
  std::vector<std::vector<Step>> script;  // one batch per super block
  std::vector<float> in_l, in_r;
};

CoreCommand command(uint32_t kind, int64_t a = 0, int64_t b = 0, uint8_t flags = 0) {
  CoreCommand c{};
  c.kind = kind;
  c.a = a;
  c.b = b;
  c.flags = flags;
  return c;
}

Scenario make_scenario(uint64_t seed, double rate, bool monitor, int supers) {
  Rng r{seed};
  Scenario s{rate, monitor, supers, {}, {}, {}};
  s.script.resize((size_t)supers);
  int64_t loop_in = 0, loop_out = kChunk + kChunk / 3;
  s.script[0].push_back({command(CMD_ATTACH, 1000), ROLE_SAME_TAPES, 0});
  s.script[0].push_back({command(CMD_LOOP, loop_in, loop_out, CMD_FLAG_LOOP_ON), ROLE_NONE, 0});
  s.script[0].push_back({command(CMD_RECORD, 0, 1, CMD_FLAG_PLAY), ROLE_NONE, 0});
  for (int k = 1; k < supers; k++) {
    std::vector<Step>& batch = s.script[(size_t)k];
    if (!r.chance(0.3)) continue;
    // A record goes first in its batch: behind a locate it would wait for the envelope, and
    // that wait ends at a callback boundary.
    if (r.chance(0.3)) {
      batch.push_back({command(CMD_RECORD, 0, r.range(1, 1000), r.chance(0.7) ? CMD_FLAG_PLAY : 0),
                       ROLE_NONE, 0});
    }
    int more = (int)r.range(0, 2);
    for (int j = 0; j < more; j++) {
      int w = (int)r.range(0, 99);
      if (w < 15) {
        batch.push_back({command(CMD_RECORD_STOP), ROLE_NONE, 0});
      } else if (w < 30) {
        int64_t a = r.chance(0.2) ? -1 : r.range(loop_in - 500, loop_out + 500);
        batch.push_back({command(CMD_PLAY_FROM, a), ROLE_NONE, 0});
      } else if (w < 40) {
        batch.push_back({command(CMD_LOCATE, r.range(loop_in, loop_out)), ROLE_NONE, 0});
      } else if (w < 48) {
        batch.push_back({command(CMD_STOP), ROLE_NONE, 0});
      } else if (w < 70) {
        // The loop stays on, so playback never runs off the end (that check is per callback).
        int q = (int)r.range(0, 3);
        if (q == 0) {  // across the first chunk boundary
          loop_in = kChunk - r.range(100, 6000);
          loop_out = kChunk + r.range(1, 6000);
        } else if (q == 1) {  // short, wraps several times a callback
          loop_in = r.range(0, 2 * kChunk - 4000);
          loop_out = loop_in + r.range(100, 3000);
        } else if (q == 2) {  // into the absent third chunk: TAPE FULL
          loop_in = 2 * kChunk - r.range(500, 5000);
          loop_out = 2 * kChunk + r.range(500, 5000);
        } else {
          loop_in = r.range(0, 2000);
          loop_out = loop_in + r.range(20000, kChunk);
        }
        batch.push_back({command(CMD_LOOP, loop_in, loop_out, CMD_FLAG_LOOP_ON), ROLE_NONE, 0});
      } else if (w < 78) {
        batch.push_back({command(CMD_PREVIEW_SET), ROLE_NEW_PREVIEW, r.range(1, 9000)});
      } else if (w < 82) {
        batch.push_back({command(CMD_PREVIEW_SEEK, r.range(0, 4000)), ROLE_NONE, 0});
      } else if (w < 85) {
        batch.push_back({command(CMD_PREVIEW_CLEAR), ROLE_NONE, 0});
      } else if (w < 88) {
        batch.push_back({command(CMD_ATTACH, r.range(loop_in, loop_out)), ROLE_SAME_TAPES, 0});
        batch.push_back({command(CMD_LOOP, loop_in, loop_out, CMD_FLAG_LOOP_ON), ROLE_NONE, 0});
      }
    }
  }
  // Noise with quiet and silent stretches, and now and then a -0, a denormal, an infinity or a
  // NaN (they change which way the conditioning goes, per callback).
  const size_t total = (size_t)supers * kSuper;
  s.in_l.resize(total);
  s.in_r.resize(total);
  float amp = 0.3f;
  for (size_t i = 0; i < total; i++) {
    if (i % 1024 == 0) amp = r.chance(0.15) ? 0.0f : (float)r.uni() * (r.chance(0.2) ? 2.5f : 0.6f);
    s.in_l[i] = amp * (float)(r.uni() * 2.0 - 1.0);
    s.in_r[i] = amp * (float)(r.uni() * 2.0 - 1.0);
    if (r.chance(0.0005)) {
      const float odd[] = {-0.0f, 1e-40f, INFINITY, -INFINITY, NAN};
      (r.chance(0.5) ? s.in_l : s.in_r)[i] = odd[r.range(0, 4)];
    }
  }
  return s;
}

struct Checkpoint {
  CoreStatus st;
  float fade;
  double hop_acc;
  int32_t hop_frames;
  float hop_peak;
};

struct Result {
  std::vector<float> out_l, out_r, levels;
  std::vector<CoreEvent> events;  // all but EV_PREVIEW_ENDED, whose place depends on callbacks
  int previews_ended = 0;
  std::vector<Checkpoint> checkpoints;
  std::vector<float> main_data, cap_data;
  std::vector<int> main_present, cap_present;
  std::vector<float> meters;  // input level, input peak and output peak after each callback
};

// The kernel width for a scope; the widths this processor runs, narrowest first.
struct LanesFor {
  int saved = core_lanes;
  explicit LanesFor(int lanes) { core_lanes = lanes; }
  ~LanesFor() { core_lanes = saved; }
};
std::vector<int> widths() {
  return core_lanes == 4 ? std::vector<int>{4} : std::vector<int>{4, core_lanes};
}

void tape_contents(const Tape* t, std::vector<float>* data, std::vector<int>* present) {
  for (int k = 0; k < t->max_chunks; k++) {
    const float* p = t->chunks[k].load();
    present->push_back(p != nullptr);
    if (p) data->insert(data->end(), p, p + TAPE_CHUNK_FLOATS);
  }
}

// How the callback's input and output buffers lie: apart, the same (a driver that processes in
// place), or each input on the other side's output.
enum Buffers { BUFFERS_APART, BUFFERS_IN_PLACE, BUFFERS_CROSSED };

// block 0: random callback sizes, else that fixed size.
Result run(const Scenario& s, int block, uint64_t cut_seed, Buffers buffers = BUFFERS_APART) {
  Result res;
  Rng cuts{cut_seed};
  Core* core = core_new();
  core_set_rate(core, s.rate, 2);
  core_set_running(core, true);
  core_set_monitor(core, s.monitor);
  Tape* main = tape_with(3, 2, kChunk + kChunk / 2);
  Tape* cap = tape_with(2, 1, 0);
  const size_t total = (size_t)s.supers * kSuper;
  res.out_l.assign(total, 0.0f);
  res.out_r.assign(total, 0.0f);
  std::vector<float> levels(CORE_LEVEL_SLOTS);
  size_t at = 0;
  for (int k = 0; k < s.supers; k++) {
    for (const Step& step : s.script[(size_t)k]) {
      CoreCommand c = step.cmd;
      if (step.role == ROLE_SAME_TAPES) {
        c.tape = main;
        c.tape2 = cap;
      } else if (step.role == ROLE_NEW_PREVIEW) {
        c.tape = tape_with(1, 1, step.preview_frames);
      }
      EXPECT_TRUE(core_push_command(core, &c));
    }
    int left = kSuper;
    while (left > 0) {
      int n = block;
      if (block == 0) {
        int q = (int)cuts.range(0, 9);
        n = q < 3   ? (int)cuts.range(1, 16)
            : q < 8 ? (int)cuts.range(17, 700)
                    : (int)cuts.range(701, 4096);
      }
      if (n > left) n = left;
      float* ol = &res.out_l[at];
      float* orr = &res.out_r[at];
      if (buffers == BUFFERS_APART) {
        core_process(core, &s.in_l[at], &s.in_r[at], 2, ol, orr, n, 0);
      } else {
        const bool crossed = buffers == BUFFERS_CROSSED;
        std::memcpy(crossed ? orr : ol, &s.in_l[at], sizeof(float) * (size_t)n);
        std::memcpy(crossed ? ol : orr, &s.in_r[at], sizeof(float) * (size_t)n);
        core_process(core, crossed ? orr : ol, crossed ? ol : orr, 2, ol, orr, n, 0);
      }
      at += (size_t)n;
      left -= n;
      CoreStatus st;
      core_read_status(core, &st);
      res.meters.insert(res.meters.end(), {st.input_level, st.input_peak, st.output_peak});
      CoreEvent e;
      while (core_pop_event(core, &e)) {
        if (e.kind == EV_PREVIEW_ENDED)
          res.previews_ended++;
        else
          res.events.push_back(e);
      }
      int got = core_read_levels(core, levels.data(), CORE_LEVEL_SLOTS, INT64_MAX);
      res.levels.insert(res.levels.end(), levels.begin(), levels.begin() + got);
      Tape* done;
      while (spsc_pop(&core->retire, &done)) tape_free(done);  // played-out previews
    }
    Checkpoint cp;
    core_read_status(core, &cp.st);
    cp.fade = core->fade;
    cp.hop_acc = core->hop_acc;
    cp.hop_frames = core->hop_frames;
    cp.hop_peak = core->hop_peak;
    res.checkpoints.push_back(cp);
  }
  tape_contents(main, &res.main_data, &res.main_present);
  tape_contents(cap, &res.cap_data, &res.cap_present);
  core_free(core);  // frees the tapes it still holds
  return res;
}

bool same_bits(const void* a, const void* b, size_t n) {
  return std::memcmp(a, b, n) == 0;
}

void expect_same(const Result& a, const Result& b) {
  ASSERT_EQ(a.out_l.size(), b.out_l.size());
  for (size_t i = 0; i < a.out_l.size(); i++) {
    ASSERT_TRUE(same_bits(&a.out_l[i], &b.out_l[i], 4) && same_bits(&a.out_r[i], &b.out_r[i], 4))
        << "output frame " << i << ": " << a.out_l[i] << " " << a.out_r[i] << " vs " << b.out_l[i]
        << " " << b.out_r[i];
  }
  ASSERT_EQ(a.events.size(), b.events.size());
  for (size_t i = 0; i < a.events.size(); i++) {
    const CoreEvent &x = a.events[i], &y = b.events[i];
    EXPECT_TRUE(x.kind == y.kind && x.take_id == y.take_id &&
                x.levels_written == y.levels_written && x.segment_start == y.segment_start &&
                x.segment_length == y.segment_length && x.capture_start == y.capture_start &&
                x.capture_pos == y.capture_pos && x.value == y.value &&
                x.dropped_levels == y.dropped_levels)
        << "event " << i << " kind " << x.kind << "/" << y.kind << " value " << x.value << "/"
        << y.value;
  }
  EXPECT_EQ(a.previews_ended, b.previews_ended);
  ASSERT_EQ(a.levels.size(), b.levels.size());
  EXPECT_TRUE(same_bits(a.levels.data(), b.levels.data(), a.levels.size() * 4));
  ASSERT_EQ(a.checkpoints.size(), b.checkpoints.size());
  for (size_t i = 0; i < a.checkpoints.size(); i++) {
    const Checkpoint &x = a.checkpoints[i], &y = b.checkpoints[i];
    EXPECT_TRUE(
        x.st.cursor == y.st.cursor && x.st.main_length == y.st.main_length &&
        x.st.segment_start == y.st.segment_start && x.st.segment_length == y.st.segment_length &&
        x.st.capture_pos == y.st.capture_pos && x.st.preview_pos == y.st.preview_pos &&
        x.st.levels_written == y.st.levels_written && x.st.flags == y.st.flags &&
        x.st.take_id == y.st.take_id && x.st.missing_chunk_frames == y.st.missing_chunk_frames &&
        same_bits(&x.fade, &y.fade, 4) && x.hop_acc == y.hop_acc && x.hop_frames == y.hop_frames &&
        same_bits(&x.hop_peak, &y.hop_peak, 4))
        << "after super block " << i << ": cursor " << x.st.cursor << "/" << y.st.cursor
        << " flags " << x.st.flags << "/" << y.st.flags;
  }
  EXPECT_EQ(a.main_present, b.main_present);
  EXPECT_EQ(a.cap_present, b.cap_present);
  ASSERT_EQ(a.main_data.size(), b.main_data.size());
  EXPECT_TRUE(same_bits(a.main_data.data(), b.main_data.data(), a.main_data.size() * 4));
  ASSERT_EQ(a.cap_data.size(), b.cap_data.size());
  EXPECT_TRUE(same_bits(a.cap_data.data(), b.cap_data.data(), a.cap_data.size() * 4));
}

// What the scenario went through, so a change that quietly stopped exercising a path shows.
void expect_coverage(const Result& r) {
  int kinds[16] = {};
  for (const CoreEvent& e : r.events) kinds[e.kind & 15]++;
  EXPECT_GT(kinds[EV_TAKE_STARTED], 3);
  EXPECT_GT(kinds[EV_SPLIT_LOOP], 3);
  EXPECT_GT(kinds[EV_SPLIT_JUMP], 0);
  EXPECT_GT(kinds[EV_TAIL_DONE], 1);
  EXPECT_GT(kinds[EV_TAPE_FULL], 0);
  EXPECT_GT(r.levels.size(), 100u);
  EXPECT_GT(r.checkpoints.back().st.missing_chunk_frames, 0u);
  EXPECT_GT(r.previews_ended, 0);
}

TEST(CoreEquivalence, CallbackSizesDoNotChangeTheResultAt48k) {
  Scenario s = make_scenario(11, 48000.0, true, 260);
  Result a = run(s, 256, 0);
  Result b = run(s, 0, 101);
  expect_same(a, b);
  expect_coverage(a);
}

TEST(CoreEquivalence, CallbackSizesDoNotChangeTheResultWithFractionalHops) {
  // 44.1 kHz: hops of 235.2 frames, converted envelope rates, monitor off.
  Scenario s = make_scenario(23, 44100.0, false, 260);
  Result a = run(s, 256, 0);
  Result b = run(s, 0, 202);
  expect_same(a, b);
  expect_coverage(a);
  // 192 kHz, where the first step of a rising envelope stays below the overdub threshold, and
  // single frames against the largest callbacks.
  Scenario t = make_scenario(37, 192000.0, true, 120);
  expect_same(run(t, 4096, 0), run(t, 1, 0));
}

TEST(CoreEquivalence, ADriverThatProcessesInPlaceGetsTheSameResult) {
  // The input is read where it lies only while no output overlaps it.
  Scenario s = make_scenario(41, 48000.0, true, 60);
  Result apart = run(s, 0, 5);
  expect_same(apart, run(s, 0, 5, BUFFERS_IN_PLACE));
  expect_same(apart, run(s, 0, 5, BUFFERS_CROSSED));
}

TEST(CoreEquivalence, KernelWidthDoesNotChangeTheResult) {
  if (widths().size() == 1) GTEST_SKIP() << "this processor runs only the four-lane kernels";
  // The same cuts both ways, so the values measured per callback must agree as well.
  const Scenario scenarios[] = {make_scenario(11, 48000.0, true, 100),
                                make_scenario(23, 44100.0, false, 100)};
  for (const Scenario& s : scenarios) {
    Result a, b;
    {
      LanesFor four(4);
      a = run(s, 0, 7);
    }
    b = run(s, 0, 7);
    expect_same(a, b);
    ASSERT_EQ(a.meters.size(), b.meters.size());
    EXPECT_TRUE(same_bits(a.meters.data(), b.meters.data(), a.meters.size() * 4));
  }
}

// XY mixing of one block by both ways; the plain flag only allows the shortcut.
void expect_centre_shortcut_exact(const std::vector<float>& l, const std::vector<float>& r, float x,
                                  float y) {
  CoreRates rates = core_rates_for(48000.0);
  XyMixer fast, slow;
  xy_mixer_reset(&fast);
  xy_mixer_reset(&slow);
  const int n = (int)l.size();
  std::vector<float> fl(l.size()), fr(l.size()), sl(l.size()), sr(l.size());
  for (int b = 0; b < 3; b++) {
    std::vector<float> cl = l, cr = r;
    BlockScan a = block_take(cl.data(), l.data(), n);
    BlockScan c = block_take(cr.data(), r.data(), n);
    xy_mixer_process_known(&fast, &rates, cl.data(), cr.data(), 2, x, y, fl.data(), fr.data(), n,
                           a.plain && c.plain);
    xy_mixer_process_known(&slow, &rates, cl.data(), cr.data(), 2, x, y, sl.data(), sr.data(), n,
                           false);
    ASSERT_TRUE(same_bits(fl.data(), sl.data(), fl.size() * 4));
    ASSERT_TRUE(same_bits(fr.data(), sr.data(), fr.size() * 4));
    ASSERT_TRUE(same_bits(&fast.tone_l, &slow.tone_l, 4) &&
                same_bits(&fast.tone_r, &slow.tone_r, 4));
    ASSERT_TRUE(same_bits(&fast.hp_l, &slow.hp_l, 4) && same_bits(&fast.hp_r, &slow.hp_r, 4));
  }
}

void expect_block_take_cleans_measures_and_spots() {
  std::vector<float> in = {0.25f, -0.5f, 0.0f, 0.125f, 0.75f, -0.0625f, 0.5f, 0.0f, 0.3f};
  std::vector<float> out(in.size());
  BlockScan s = block_take(out.data(), in.data(), (int)in.size());
  EXPECT_EQ(out, in);
  EXPECT_EQ(s.replaced, 0);
  EXPECT_EQ(s.peak, 0.75f);
  EXPECT_TRUE(s.plain);
  for (float odd : {-0.0f, 1e-40f, -1e-39f}) {
    for (size_t at : {(size_t)1, in.size() - 1}) {  // in the four-sample part and in the tail
      std::vector<float> x = in;
      x[at] = odd;
      s = block_take(out.data(), x.data(), (int)x.size());
      EXPECT_FALSE(s.plain) << odd << " at " << at;
      EXPECT_TRUE(same_bits(out.data(), x.data(), x.size() * 4));
    }
  }
  std::vector<float> x = in;
  x[2] = NAN;
  x[8] = -INFINITY;
  x[4] = INFINITY;
  s = block_take(out.data(), x.data(), (int)x.size());
  EXPECT_EQ(s.replaced, 3);
  EXPECT_TRUE(s.plain);  // what is left is plain: the replacements are +0
  EXPECT_EQ(s.peak, 0.5f);
  EXPECT_EQ(out[4], 0.0f);
  EXPECT_FALSE(std::signbit(out[8]));
  s = block_take(out.data(), nullptr, 5);
  EXPECT_EQ(s.peak, 0.0f);
  EXPECT_TRUE(s.plain);
  EXPECT_EQ(out[0], 0.0f);
}

TEST(CoreConditioning, BlockTakeCleansMeasuresAndSpotsOddSamples) {
  for (int lanes : widths()) {
    SCOPED_TRACE(testing::Message() << lanes << " lanes");
    LanesFor width(lanes);
    expect_block_take_cleans_measures_and_spots();
  }
}

TEST(CoreConditioning, BlockTakeIsTheSameAtEveryWidth) {
  // Every length up to two vectors and more, odd samples anywhere, with and without DAZ; and
  // the scan without the copy measures the same.
  Rng r{3};
  for (int daz = 0; daz < 2; daz++) {
    uint32_t saved = daz ? platform_fpu_denormals_off() : 0;
    for (int n = 1; n <= 70; n++) {
      std::vector<float> in((size_t)n);
      for (float& v : in) v = (float)(r.uni() * 3.0 - 1.5);
      // Half the blocks with only the odd samples that stay (-0, denormals).
      const float odd[] = {-0.0f, 1e-40f, -2e-39f, -1.1754942e-38f, INFINITY, -INFINITY, NAN};
      const int kinds = n % 2 ? 4 : 7;
      for (int k = 0; k < n / 5; k++) in[(size_t)r.range(0, n - 1)] = odd[r.range(0, kinds - 1)];
      std::vector<float> want((size_t)n), got((size_t)n);
      BlockScan a, b;
      {
        LanesFor four(4);
        a = block_take(want.data(), in.data(), n);
      }
      for (int lanes : widths()) {
        LanesFor width(lanes);
        b = block_take(got.data(), in.data(), n);
        ASSERT_TRUE(same_bits(got.data(), want.data(), (size_t)n * 4)) << n << " " << lanes;
        ASSERT_EQ(b.replaced, a.replaced) << n;
        ASSERT_TRUE(same_bits(&b.peak, &a.peak, 4)) << n;
        ASSERT_EQ(b.plain, a.plain) << n;
        BlockScan c = block_scan(in.data(), n);
        ASSERT_EQ(c.replaced, a.replaced) << n << " " << lanes;
        ASSERT_TRUE(same_bits(&c.peak, &a.peak, 4)) << n << " " << lanes;
        ASSERT_EQ(c.plain, a.plain) << n << " " << lanes;
      }
    }
    if (daz) platform_fpu_restore(saved);
  }
}

TEST(CoreConditioning, CentreShortcutMatchesTheFilterArithmetic) {
  Rng r{5};
  std::vector<float> l(509), rr(509);
  for (size_t i = 0; i < l.size(); i++) {
    l[i] = (float)(r.uni() * 2.0 - 1.0);
    rr[i] = (float)(r.uni() * 0.2 - 0.1);
  }
  l[17] = rr[200] = 0.0f;
  for (int daz = 0; daz < 2; daz++) {
    uint32_t saved = daz ? platform_fpu_denormals_off() : 0;
    expect_centre_shortcut_exact(l, rr, 0.0f, 0.0f);
    expect_centre_shortcut_exact(l, rr, 0.05f, -0.08f);  // inside the dead zone
    expect_centre_shortcut_exact(l, rr, 0.4f, 0.0f);     // off centre: no shortcut
    std::vector<float> odd = l;
    odd[3] = -0.0f;
    odd[300] = 1e-41f;
    expect_centre_shortcut_exact(odd, rr, 0.0f, 0.0f);
    if (daz) platform_fpu_restore(saved);
  }
}

TEST(CoreConditioning, EveryInputThatReachesTheKneeClipsAsTheSampleFunction) {
  // The knee is where the block kernels divide (the wider ones by a reciprocal and a correction
  // step); every float magnitude between 2/3 and 4/3, both signs, at every width and with
  // denormals flushed or not.
  const float lo = 2.0f / 3.0f, hi = 4.0f / 3.0f;
  uint32_t first, last;
  std::memcpy(&first, &lo, 4);
  std::memcpy(&last, &hi, 4);
  std::vector<float> l, r, want_l, want_r;
  for (uint32_t b = first; b <= last; b++) {
    float v;
    std::memcpy(&v, &b, 4);
    l.push_back(v);
    r.push_back(-v);
    want_l.push_back(soft_clip(v));
    want_r.push_back(soft_clip(-v));
  }
  for (int k = 0; k < 2 * (int)widths().size(); k++) {
    LanesFor width(widths()[(size_t)k / 2]);
    uint32_t saved = k & 1 ? platform_fpu_denormals_off() : 0;
    std::vector<float> gl = l, gr = r;
    soft_clip_block(gl.data(), gr.data(), (int)gl.size());
    if (k & 1) platform_fpu_restore(saved);
    EXPECT_TRUE(same_bits(gl.data(), want_l.data(), gl.size() * 4)) << core_lanes << " lanes";
    EXPECT_TRUE(same_bits(gr.data(), want_r.data(), gr.size() * 4)) << core_lanes << " lanes";
  }
}

TEST(CoreConditioning, BlockSoftClipMatchesTheSampleFunction) {
  // A stride through every float, every float around the knees and the limits, and blocks whose
  // length leaves a tail; with and without denormals flushed.
  std::vector<float> values;
  for (uint64_t b = 0; b < (1ull << 32); b += 1021) {
    uint32_t bits = (uint32_t)b;
    float v;
    std::memcpy(&v, &bits, 4);
    values.push_back(v);
  }
  for (float edge : {2.0f / 3.0f, 4.0f / 3.0f, 1.0f, 0.0f}) {
    uint32_t e;
    std::memcpy(&e, &edge, 4);
    for (uint32_t d = 0; d < 4096; d++) {
      for (uint32_t sign : {0u, 0x80000000u}) {
        uint32_t b = ((e + d - 2048) & 0x7FFFFFFFu) | sign;
        float v;
        std::memcpy(&v, &b, 4);
        values.push_back(v);
      }
    }
  }
  for (int k = 0; k < 2 * (int)widths().size(); k++) {
    const int daz = k & 1;
    LanesFor width(widths()[(size_t)k / 2]);
    SCOPED_TRACE(testing::Message() << core_lanes << " lanes, daz " << daz);
    uint32_t saved = daz ? platform_fpu_denormals_off() : 0;
    for (size_t at = 0; at < values.size(); at += 4093) {
      size_t n = std::min<size_t>(4093, values.size() - at);
      std::vector<float> l(values.begin() + (long)at, values.begin() + (long)(at + n));
      std::vector<float> r(l.rbegin(), l.rend());
      std::vector<float> el(n), er(n);
      float peak = 0.0f;
      for (size_t i = 0; i < n; i++) {
        el[i] = soft_clip(l[i]);
        er[i] = soft_clip(r[i]);
        float m = std::max(std::fabs(el[i]), std::fabs(er[i]));
        peak = m > peak ? m : peak;
      }
      float got = soft_clip_block(l.data(), r.data(), (int)n);
      ASSERT_TRUE(same_bits(l.data(), el.data(), n * 4)) << "block at " << at;
      ASSERT_TRUE(same_bits(r.data(), er.data(), n * 4)) << "block at " << at;
      ASSERT_EQ(got, peak);
    }
    if (daz) platform_fpu_restore(saved);
  }
}

}  // namespace
