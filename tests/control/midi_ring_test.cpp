// The per-input ring between the driver's thread and the UI thread.
#include <gtest/gtest.h>

#include <thread>

#include "control/midi_internal.h"

namespace {

void feed(MidiInput* in, uint8_t status, int d1, int d2) {
  const uint8_t b[3] = {status, (uint8_t)d1, (uint8_t)d2};
  midi_input_feed(in, b, 3);
}

}  // namespace

TEST(MidiRing, KeepsOnlyChannelMessagesInTheirLow24Bits) {
  static MidiInput in;
  const struct {
    std::vector<uint8_t> bytes;
    bool kept;
    uint32_t packed;
  } cases[] = {
      {{0x90, 36, 100}, true, 0x642490},
      {{0xEF, 0x7F, 0x7F}, true, 0x7F7FEF},
      {{0xC3, 5}, true, 0x05C3},
      {{0x7F, 1, 2}, false, 0},          // running status: not a message on its own
      {{0xF0, 0x7E, 0xF7}, false, 0},    // SysEx
      {{0xF8}, false, 0},                // clock
      {{}, false, 0},
  };
  for (const auto& c : cases) {
    midi_input_feed(&in, c.bytes.data(), c.bytes.size());
    uint32_t got = 0;
    EXPECT_EQ(spsc_pop(&in.ring, &got), c.kept) << std::hex << (c.bytes.empty() ? 0 : c.bytes[0]);
    if (c.kept) {
      EXPECT_EQ(got, c.packed);
    }
  }
  EXPECT_EQ(in.dropped.load(), 0u);
}

TEST(MidiRing, The257thUnreadMessageIsDroppedAndCounted) {
  static MidiInput in;
  for (int i = 0; i < MIDI_RING + 1; i++) feed(&in, 0xB0, 1, i & 0x7F);
  EXPECT_EQ(in.dropped.load(), 1u);
  uint32_t m;
  int n = 0;
  while (spsc_pop(&in.ring, &m)) EXPECT_EQ((int)(m >> 16), n++ & 0x7F);
  EXPECT_EQ(n, MIDI_RING);
  // Room again: nothing more is lost.
  feed(&in, 0xB0, 1, 1);
  EXPECT_EQ(in.dropped.load(), 1u);
}

// A driver thread writing as fast as it can while the UI thread reads, wrapping the ring many
// times: every message is either read, in order, or counted as dropped.
TEST(MidiRing, ProducerAndConsumerOnTwoThreadsLoseNothingUncounted) {
  static MidiInput in;
  const int total = 200000;
  std::atomic<bool> done{false};
  std::thread driver([&] {
    for (int i = 0; i < total; i++) feed(&in, 0xB0 | (i & 0x0F), (i >> 4) & 0x7F, (i >> 11) & 0x7F);
    done.store(true);
  });
  int read = 0;
  int last = -1;
  for (;;) {
    bool finished = done.load();
    uint32_t m;
    while (spsc_pop(&in.ring, &m)) {
      int i = (int)(m & 0x0F) | (int)((m >> 8) & 0x7F) << 4 | (int)((m >> 16) & 0x7F) << 11;
      EXPECT_GT(i, last);  // later messages only (drops leave gaps)
      last = i;
      read++;
    }
    if (finished) break;
  }
  driver.join();
  EXPECT_EQ((uint64_t)read + in.dropped.load(), (uint64_t)total);
}
