// The callback path must not allocate or make system calls. These tests run core_process through
// every transport state on a guarded thread that counts both.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "core/core.h"
#include "core/core_fixture.h"
#include "support/rt_guard.h"

using namespace core_fixture;

namespace {

#define SKIP_WITHOUT_GUARD()                            \
  do {                                                  \
    const char* why = "";                               \
    if (!rt_guard_available(&why)) GTEST_SKIP() << why; \
  } while (0)

TEST(RtGuard, CountsHeapAndSystemCallsOnlyWhileArmed) {
  SKIP_WITHOUT_GUARD();
  void* (*volatile do_malloc)(size_t) = std::malloc;
  void (*volatile do_free)(void*) = std::free;
  // Through volatile pointers so the compiler cannot drop the pairs.
  void* (*volatile do_new)(size_t) = static_cast<void* (*)(size_t)>(&::operator new);
  void (*volatile do_delete)(void*) = static_cast<void (*)(void*)>(&::operator delete);
  long pid_seen = 0;
  long written = 0;
  RtGuardReport r;
  ASSERT_TRUE(rt_guard_run(
      [&] {
        // Unarmed work is carried out but not counted.
        do_free(do_malloc(64));
        written = (long)write(-1, "x", 1);
        {
          RtGuardScope armed;
          do_free(do_malloc(32));
          do_delete(do_new(24));
          pid_seen = syscall(SYS_getpid);
        }
      },
      &r));
  ASSERT_TRUE(r.heap_counted);
  ASSERT_TRUE(r.syscalls_counted) << "the seccomp trap could not be installed";
  EXPECT_EQ(r.heap_calls, 4u);
  EXPECT_EQ(r.syscalls, 1u);
  EXPECT_EQ(r.first_syscall, (long)SYS_getpid);
  EXPECT_EQ(pid_seen, (long)getpid());  // the trapped call still ran
  EXPECT_EQ(written, -1);

  // Nothing leaks onto other threads: this one may still allocate and call freely.
  void* p = do_malloc(16);
  do_free(p);
  EXPECT_GT(getpid(), 0);
}

// Drives one core through record, overdub, loop, jump, tail, re-record, play end, scrub, coast,
// preview, overflow, missing chunks, attach, and odd callbacks. Only core_process is armed.
struct Scenario {
  Core* core = nullptr;
  Tape* main = nullptr;
  Tape* cap = nullptr;
  Tape* main2 = nullptr;
  Tape* cap2 = nullptr;
  Tape* previews[3] = {};
  std::vector<float> in_l, in_r, out_l, out_r;
  uint32_t kinds_seen = 0;
  uint64_t phase = 0;
  bool drain_events = true;

  void init() {
    core = core_new();
    core_set_running(core, true);
    core_set_free_immediately(core, false);
    main = tape_new(48000.0, 20.0, 0);  // 110 chunk slots, two present
    tape_ensure(main, 2 * TAPE_CHUNK_FRAMES - 1);
    cap = make_tape(TAPE_CHUNK_FRAMES);
    main2 = make_tape(100000, 100000, 0.2f, -0.2f);
    cap2 = make_tape(100000);
    for (Tape*& p : previews) p = make_tape(3000, 3000, 0.1f, 0.1f);
    in_l.assign(8192, 0.0f);
    in_r.assign(8192, 0.0f);
    out_l.assign(8192, 0.0f);
    out_r.assign(8192, 0.0f);
  }

  void cmd(uint32_t kind, int64_t a = 0, int64_t b = 0, uint8_t flags = 0, double value = 0.0,
           Tape* t = nullptr, Tape* t2 = nullptr) {
    CoreCommand c = make_cmd(kind, a, b, flags, value, t, t2);
    core_push_command(core, &c);
  }

  void block(int n, uint32_t status_word = 0, bool null_out = false, int channels = 2) {
    for (int i = 0; i < n; i++) {
      float s = 0.4f * std::sin((float)(phase++) * 0.01f);
      in_l[(size_t)i] = s;
      in_r[(size_t)i] = -s;
    }
    {
      RtGuardScope armed;
      core_process(core, in_l.data(), in_r.data(), channels, null_out ? nullptr : out_l.data(),
                   null_out ? nullptr : out_r.data(), n, status_word);
    }
    if (!drain_events) return;
    CoreEvent e;
    while (core_pop_event(core, &e)) kinds_seen |= 1u << e.kind;
    float levels[512];
    while (core_read_levels(core, levels, 512, INT64_MAX) > 0) {
    }
  }
  void blocks(int count, int n = 256) {
    for (int i = 0; i < count; i++) block(n);
  }

  void run() {
    cmd(CMD_ATTACH, 0, 0, 0, 0.0, main, cap);
    block(256);
    core_set_monitor(core, true);
    core_set_xy(core, 0.6f, -0.4f);
    cmd(CMD_PREVIEW_SET, 0, 0, 0, 0.0, previews[0]);
    cmd(CMD_RECORD, 0, 1, CMD_FLAG_PLAY);
    blocks(40);  // record and play out the preview
    core_set_xy(core, -0.3f, 0.8f);
    cmd(CMD_LOOP, 1000, 5000, CMD_FLAG_LOOP_ON);
    blocks(40, 512);  // wraps while recording
    cmd(CMD_LOOP, 0, 0, 0);
    cmd(CMD_LOCATE_MID_TAKE, 20000);
    blocks(4);  // the jump waits for the envelope
    cmd(CMD_RECORD_STOP);
    blocks(4);
    cmd(CMD_RECORD, 0, 2, CMD_FLAG_PLAY);  // quick re-record during the tail
    blocks(10);
    cmd(CMD_RECORD_STOP);
    cmd(CMD_STOP);
    blocks(30);
    cmd(CMD_PLAY_FROM, tape_length(main) - 1000);
    blocks(8);  // plays off the end
    cmd(CMD_SCRUB_BEGIN);
    for (int i = 0; i < 20; i++) {
      cmd(CMD_SCRUB_MOVE, 0, 0, 0, 300.0);
      block(256);
    }
    cmd(CMD_SCRUB_END, 0, 0, CMD_FLAG_PLAY);
    blocks(60);  // coasts and settles
    cmd(CMD_SCRUB_BEGIN);
    cmd(CMD_SCRUB_MOVE, 0, 0, 0, -1e9);
    blocks(30);
    cmd(CMD_SCRUB_END);
    blocks(10);  // coasts into the start
    cmd(CMD_SCRUB_BEGIN);
    blocks(40);  // held still: fades to silence
    cmd(CMD_SCRUB_END);
    core_set_monitor(core, false);

    // Events pile up unread, then the resync.
    drain_events = false;
    cmd(CMD_LOOP, 100, 110, CMD_FLAG_LOOP_ON);
    cmd(CMD_LOCATE, 100);
    cmd(CMD_RECORD, 0, 3, CMD_FLAG_PLAY);
    block(4096);
    drain_events = true;
    block(4096);
    block(64);
    cmd(CMD_LOOP, 0, 0, 0);
    // A frame without a chunk.
    cmd(CMD_LOCATE_MID_TAKE, 3 * TAPE_CHUNK_FRAMES);
    blocks(8);
    cmd(CMD_RECORD_STOP);
    blocks(25);

    // Odd callbacks: oversize, null outputs, a flagged status word, mono input.
    block(4097);
    block(300, 0, true);
    block(128, 0x4);
    block(128, 0, false, 1);

    cmd(CMD_ATTACH, 500, 0, 0, 0.0, main2, cap2);
    cmd(CMD_PREVIEW_SET, 0, 0, 0, 0.0, previews[1]);
    cmd(CMD_PREVIEW_SEEK, 2900);
    cmd(CMD_PLAY_FROM, -1);
    blocks(10);
    cmd(CMD_PREVIEW_SET, 0, 0, 0, 0.0, previews[2]);
    cmd(CMD_PREVIEW_CLEAR);
    blocks(2);
  }
};

void run_scenario_at(Scenario& sc, double rate, RtGuardReport* r) {
  sc.init();
  core_set_rate(sc.core, rate, 2);
  ASSERT_TRUE(rt_guard_run([&] { sc.run(); }, r));
}

TEST(CoreRtSafety, CallbackNeverAllocatesOrCallsTheSystem) {
  SKIP_WITHOUT_GUARD();
  for (double rate : {48000.0, 44100.0}) {
    Scenario sc;
    RtGuardReport r;
    run_scenario_at(sc, rate, &r);
    ASSERT_TRUE(r.syscalls_counted) << "the seccomp trap could not be installed";
    EXPECT_EQ(r.heap_calls, 0u) << rate;
    EXPECT_EQ(r.syscalls, 0u) << rate << " first system call " << r.first_syscall;

    // The scenario reached every event kind, so every path above was measured.
    uint32_t all = 0;
    for (int k = EV_TAKE_STARTED; k <= EV_RESYNC; k++) all |= 1u << k;
    EXPECT_EQ(sc.kinds_seen & all, all) << std::hex << sc.kinds_seen;
    CoreStatus st;
    core_read_status(sc.core, &st);
    EXPECT_GT(st.callbacks, 300u);
    EXPECT_EQ(st.oversize_callbacks, 1u);
    EXPECT_GT(st.missing_chunk_frames, 0u);
    EXPECT_GT(st.events_dropped, 0u);
    core_free(sc.core);
  }
}

}  // namespace
