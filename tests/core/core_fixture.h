// Helpers shared by the core's tests: tapes with known content, commands by kind, a block
// runner with constant input, and event draining.
#pragma once
#include <gtest/gtest.h>

#include <vector>

#include "core/core.h"
#include "support/core_inside.h"
#include "core/tape.h"

namespace core_fixture {

// A 48 kHz tape with chunks present up to `ensure` frames and `filled` frames of (l, r).
inline Tape* make_tape(int64_t ensure, int64_t filled = 0, float l = 0.0f, float r = 0.0f,
                       double minutes = 1.0) {
  Tape* t = tape_new(48000.0, minutes, 0);
  if (!t) return nullptr;
  if (ensure > 0) {
    EXPECT_EQ(tape_ensure(t, ensure - 1), 0);
  }
  if (filled > 0) {
    std::vector<float> buf((size_t)filled * 2);
    for (int64_t i = 0; i < filled; i++) {
      buf[(size_t)i * 2] = l;
      buf[(size_t)i * 2 + 1] = r;
    }
    EXPECT_EQ(tape_write(t, 0, buf.data(), filled), 0);
  }
  return t;
}

// Frame i of the tape holds (0.001 * (i % 1000), -0.001 * (i % 1000)).
inline Tape* make_ramp_tape(int64_t frames) {
  Tape* t = tape_new(48000.0, 1.0, 0);
  EXPECT_EQ(tape_ensure(t, frames > 0 ? frames - 1 : 0), 0);
  std::vector<float> buf((size_t)frames * 2);
  for (int64_t i = 0; i < frames; i++) {
    buf[(size_t)i * 2] = 0.001f * (float)(i % 1000);
    buf[(size_t)i * 2 + 1] = -0.001f * (float)(i % 1000);
  }
  if (frames > 0) {
    EXPECT_EQ(tape_write(t, 0, buf.data(), frames), 0);
  }
  return t;
}

inline float left_at(const Tape* t, int64_t frame) {
  const float* p = tape_frame_ptr(t, frame);
  return p ? p[0] : 0.0f;
}
inline float right_at(const Tape* t, int64_t frame) {
  const float* p = tape_frame_ptr(t, frame);
  return p ? p[1] : 0.0f;
}

inline CoreCommand make_cmd(uint32_t kind, int64_t a = 0, int64_t b = 0, uint8_t flags = 0,
                            double value = 0.0, Tape* tape = nullptr, Tape* tape2 = nullptr) {
  CoreCommand c{};
  c.kind = kind;
  c.flags = flags;
  c.a = a;
  c.b = b;
  c.value = value;
  c.tape = tape;
  c.tape2 = tape2;
  return c;
}

inline void send(Core* core, const CoreCommand& cmd) {
  ASSERT_TRUE(core_push_command(core, &cmd));
}

inline std::vector<CoreEvent> drain(Core* core) {
  std::vector<CoreEvent> out;
  CoreEvent e;
  while (core_pop_event(core, &e)) out.push_back(e);
  return out;
}

inline std::vector<int32_t> kinds(const std::vector<CoreEvent>& evs) {
  std::vector<int32_t> k;
  for (const CoreEvent& e : evs) k.push_back(e.kind);
  return k;
}

inline CoreStatus status(Core* core) {
  CoreStatus s{};
  EXPECT_TRUE(core_read_status(core, &s));
  return s;
}

// Runs one callback with constant stereo input (l, r); the outputs land in out_l / out_r.
struct Block {
  std::vector<float> in_l, in_r, out_l, out_r;
  void run(Core* core, int n, float l = 0.0f, float r = 0.0f) {
    in_l.assign((size_t)n, l);
    in_r.assign((size_t)n, r);
    out_l.assign((size_t)n, 7.0f);
    out_r.assign((size_t)n, 7.0f);
    core_process(core, in_l.data(), in_r.data(), 2, out_l.data(), out_r.data(), n, 0);
  }
  // Runs `total` frames in blocks of at most `block`.
  void run_frames(Core* core, int64_t total, int block = 256, float l = 0.0f, float r = 0.0f) {
    while (total > 0) {
      int n = total < block ? (int)total : block;
      run(core, n, l, r);
      total -= n;
    }
  }
};

// A running core with a main and a capture tape attached at `cursor` (the attach is applied).
struct Harness {
  Core* core = nullptr;
  Tape* main = nullptr;
  Tape* capture = nullptr;
  Block blk;
  void init(Tape* m, Tape* cap, int64_t cursor = 0) {
    core = core_new();
    ASSERT_NE(core, nullptr);
    core_set_running(core, true);
    main = m;
    capture = cap;
    send(core, make_cmd(CMD_ATTACH, cursor, 0, 0, 0.0, m, cap));
    blk.run(core, 16);
    std::vector<CoreEvent> ev = drain(core);
    ASSERT_EQ(ev.size(), 1u);
    ASSERT_EQ(ev[0].kind, EV_ATTACHED);
  }
  void cmd(uint32_t kind, int64_t a = 0, int64_t b = 0, uint8_t flags = 0, double value = 0.0) {
    send(core, make_cmd(kind, a, b, flags, value));
  }
  ~Harness() { core_free(core); }
};

}  // namespace core_fixture
