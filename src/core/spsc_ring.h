// Single-producer single-consumer ring with ever-growing 64-bit indexes. The producer writes a
// slot and then publishes it with a release store of the write index; the consumer reads a slot
// and then hands it back with a release store of the read index. The two indexes live on their
// own cache lines so the two sides do not fight over one line.
#pragma once
#include <atomic>
#include <cstdint>

template <typename T, int64_t N>
struct SpscRing {
  static_assert(N > 0 && (N & (N - 1)) == 0, "ring size must be a power of two");
  static constexpr int64_t kSize = N;
  alignas(64) std::atomic<int64_t> write_index{0};
  alignas(64) std::atomic<int64_t> read_index{0};
  alignas(64) T slots[N];
};

// Records written but not yet read; exact on either side, a snapshot elsewhere.
template <typename T, int64_t N>
inline int64_t spsc_outstanding(const SpscRing<T, N>* r) {
  int64_t w = r->write_index.load(std::memory_order_acquire);
  int64_t rd = r->read_index.load(std::memory_order_acquire);
  return w - rd;
}

// Producer side.
template <typename T, int64_t N>
inline bool spsc_has_room(const SpscRing<T, N>* r) {
  int64_t w = r->write_index.load(std::memory_order_relaxed);
  return w - r->read_index.load(std::memory_order_acquire) < N;
}

template <typename T, int64_t N>
inline bool spsc_push(SpscRing<T, N>* r, const T& v) {
  int64_t w = r->write_index.load(std::memory_order_relaxed);
  if (w - r->read_index.load(std::memory_order_acquire) >= N) return false;
  r->slots[w & (N - 1)] = v;
  r->write_index.store(w + 1, std::memory_order_release);
  return true;
}

// Consumer side: peek leaves the record in place, drop consumes the peeked one.
template <typename T, int64_t N>
inline bool spsc_peek(const SpscRing<T, N>* r, T* out) {
  int64_t rd = r->read_index.load(std::memory_order_relaxed);
  if (rd == r->write_index.load(std::memory_order_acquire)) return false;
  *out = r->slots[rd & (N - 1)];
  return true;
}

template <typename T, int64_t N>
inline void spsc_drop(SpscRing<T, N>* r) {
  int64_t rd = r->read_index.load(std::memory_order_relaxed);
  r->read_index.store(rd + 1, std::memory_order_release);
}

template <typename T, int64_t N>
inline bool spsc_pop(SpscRing<T, N>* r, T* out) {
  int64_t rd = r->read_index.load(std::memory_order_relaxed);
  if (rd == r->write_index.load(std::memory_order_acquire)) return false;
  *out = r->slots[rd & (N - 1)];
  r->read_index.store(rd + 1, std::memory_order_release);
  return true;
}

// Consumer side: copies records up to (not including) index `up_to`, at most `most`.
template <typename T, int64_t N>
inline int64_t spsc_pop_many(SpscRing<T, N>* r, T* out, int64_t most, int64_t up_to) {
  int64_t rd = r->read_index.load(std::memory_order_relaxed);
  int64_t w = r->write_index.load(std::memory_order_acquire);
  int64_t end = up_to < w ? up_to : w;
  int64_t n = end - rd;
  if (n > most) n = most;
  if (n <= 0) return 0;
  for (int64_t i = 0; i < n; i++) out[i] = r->slots[(rd + i) & (N - 1)];
  r->read_index.store(rd + n, std::memory_order_release);
  return n;
}
