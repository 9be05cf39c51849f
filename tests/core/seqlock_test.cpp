#include "core/seqlock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

// 20 bytes: the last of its three words is only half used.
struct Five {
  uint32_t v[5];
};

Five five(uint32_t k) {
  return Five{{k, k, k, k, k}};
}

TEST(SeqLock, CountersAndAWriteLeftHalfWay) {
  SeqLock<Five> s;
  Five r = five(9);
  EXPECT_EQ(seqlock_sequence(&s), 0u);
  EXPECT_EQ(seqlock_try_read(&s, &r), 0);  // nothing written yet reads as zeros
  EXPECT_EQ(r.v[4], 0u);

  seqlock_write(&s, five(1));
  seqlock_write(&s, five(2));
  EXPECT_EQ(seqlock_sequence(&s), 4u);
  EXPECT_EQ(seqlock_try_read(&s, &r), 4);
  EXPECT_EQ(r.v[0], 2u);
  EXPECT_EQ(r.v[4], 2u);

  s.seq.fetch_add(1);  // a writer stopped half way
  const Five kept = five(7);
  r = kept;
  EXPECT_EQ(seqlock_try_read(&s, &r), -1);
  EXPECT_FALSE(seqlock_read(&s, &r, 100));
  EXPECT_EQ(std::memcmp(&r, &kept, sizeof r), 0);
  s.seq.fetch_add(1);
  EXPECT_TRUE(seqlock_read(&s, &r));
  EXPECT_EQ(r.v[3], 2u);
}

// One writer flat out, a retrying reader and a single-try reader: every copy either is whole
// or is refused, and the values never go back.
TEST(SeqLock, ReadersSeeOnlyWholeValuesInOrder) {
  SeqLock<Five> s;
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (uint32_t k = 1; !stop.load(std::memory_order_relaxed); k++) seqlock_write(&s, five(k));
  });
  auto check = [&](bool retrying, int* whole, int* bad) {
    uint32_t last = 0;
    int64_t last_seq = 0;
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(200) ||
           *whole < 1000) {
      if (std::chrono::steady_clock::now() - start > std::chrono::seconds(10)) break;
      Five r;
      if (retrying) {
        if (!seqlock_read(&s, &r)) continue;
      } else {
        int64_t seq = seqlock_try_read(&s, &r);
        if (seq < 0) continue;
        *bad += seq < last_seq || (seq & 1);
        last_seq = seq;
      }
      ++*whole;
      for (int i = 1; i < 5; i++) *bad += r.v[i] != r.v[0];
      *bad += r.v[0] < last;
      last = r.v[0];
    }
  };
  int whole_a = 0, bad_a = 0, whole_b = 0, bad_b = 0;
  std::thread other([&] { check(false, &whole_b, &bad_b); });
  check(true, &whole_a, &bad_a);
  other.join();
  stop = true;
  writer.join();
  EXPECT_EQ(bad_a, 0);
  EXPECT_EQ(bad_b, 0);
  EXPECT_GE(whole_a, 1000);
  EXPECT_GT(whole_b, 0);
}

}  // namespace
