// A sequence lock for one writer and readers that copy: the value lives in atomic 64-bit words
// under a counter that is odd while a write is under way. Every word store is a release and
// every word load an acquire, so a reader that sees a new word also sees the odd counter
// stored before it; no fences are needed (plain moves on x86) and ThreadSanitizer follows it.
// A torn read is a retry, never a data race. The writer never waits, so the audio callback
// may be either side.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "platform/platform.h"

template <typename T>
struct SeqLock {
  static_assert(std::is_trivially_copyable_v<T>, "a sequence lock copies its value as words");
  static constexpr int kWords = (int)((sizeof(T) + 7) / 8);
  alignas(64) std::atomic<uint64_t> seq{0};
  std::atomic<uint64_t> words[kWords] = {};
};

// The writer side (one thread at a time).
template <typename T>
void seqlock_write(SeqLock<T>* s, const T& value) {
  uint64_t w[SeqLock<T>::kWords] = {};
  std::memcpy(w, &value, sizeof value);
  const uint64_t seq = s->seq.load(std::memory_order_relaxed);
  s->seq.store(seq + 1, std::memory_order_relaxed);
  for (int i = 0; i < SeqLock<T>::kWords; i++) s->words[i].store(w[i], std::memory_order_release);
  s->seq.store(seq + 2, std::memory_order_release);
}

// The counter as it stands (odd while a write is under way). Lets a reader that already holds
// the copy of this counter skip the copy; an acquire, like the first load of a read.
template <typename T>
uint64_t seqlock_sequence(const SeqLock<T>* s) {
  return s->seq.load(std::memory_order_acquire);
}

// One attempt at a whole copy. Returns the even counter the copy belongs to (0 when nothing was
// ever written), or -1 when a write was under way or moved during the copy; *out is written
// only for a whole copy.
template <typename T>
int64_t seqlock_try_read(const SeqLock<T>* s, T* out) {
  const uint64_t before = s->seq.load(std::memory_order_acquire);
  if (before & 1) return -1;
  uint64_t w[SeqLock<T>::kWords];
  for (int i = 0; i < SeqLock<T>::kWords; i++) w[i] = s->words[i].load(std::memory_order_acquire);
  if (s->seq.load(std::memory_order_relaxed) != before) return -1;
  std::memcpy(out, w, sizeof *out);
  return (int64_t)before;
}

// Retries a torn copy, pausing and then yielding; false when every attempt met a write (the
// caller has no snapshot then, and *out is left as it was).
template <typename T>
bool seqlock_read(const SeqLock<T>* s, T* out, int attempts = 1000) {
  for (int attempt = 0; attempt < attempts; attempt++) {
    if (seqlock_try_read(s, out) >= 0) return true;  // it writes *out only for a whole copy
    if (attempt < 63)
      platform_cpu_pause();
    else
      platform_thread_yield();
  }
  return false;
}
