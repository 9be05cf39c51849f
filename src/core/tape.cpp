#include "core/tape.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "platform/platform.h"
#include "base/log.h"
#include "base/progress.h"

#if defined(__SSE__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 1)
#include <emmintrin.h>
#include <xmmintrin.h>
#define TAPE_SSE 1
#endif

namespace {

constexpr int64_t kMaxChunkSlots = int64_t{1} << 20;
constexpr int64_t kMaxFrames = kMaxChunkSlots << TAPE_CHUNK_SHIFT;
constexpr int64_t kBlockFrames = 16384;
constexpr int kTaps = 32;
constexpr int kPhases = 256;
// Resampler taps reach this many frames before the position's integer part (and 16 after).
constexpr int kTapsBefore = 15;
constexpr int kPageFloats = 1024;  // 4 KiB

static_assert(TAPE_CHUNK_BYTES % PLATFORM_HUGE_PAGE == 0, "chunks are whole huge pages");

// Chunks freed tapes gave back, newest last: the next tape (a sketch switch, a reload) takes them
// before asking the system, whose fresh pages cost far more to touch than to clear.
struct ChunkCache {
  std::mutex lock;
  float* chunk[TAPE_CACHE_MAX] = {};
  uint64_t stamp_ms[TAPE_CACHE_MAX] = {};
  int count = 0;
};

ChunkCache& cache() {
  static ChunkCache c;
  return c;
}

float* cache_take() {
  ChunkCache& c = cache();
  std::lock_guard<std::mutex> hold(c.lock);
  if (c.count == 0) return nullptr;
  float* chunk = c.chunk[--c.count];
  c.chunk[c.count] = nullptr;
  return chunk;
}

// A chunk with unknown contents when clear is false; zeros otherwise.
float* chunk_alloc(bool clear = true) {
  float* c = cache_take();
  if (c) {
    if (clear) memset(c, 0, (size_t)TAPE_CHUNK_BYTES);
    return c;
  }
  return static_cast<float*>(platform_block_alloc((size_t)TAPE_CHUNK_BYTES));
}

void chunk_free(float* chunk) {
  if (!chunk) return;
  ChunkCache& c = cache();
  {
    std::lock_guard<std::mutex> hold(c.lock);
    if (c.count < TAPE_CACHE_MAX) {
      c.chunk[c.count] = chunk;
      c.stamp_ms[c.count] = platform_tick_ms();
      c.count++;
      return;
    }
  }
  platform_block_free(chunk, (size_t)TAPE_CHUNK_BYTES);
}

// Hands back to the system the cached chunks older than age_ms (all of them for 0).
int cache_trim(uint64_t now_ms, uint64_t age_ms) {
  float* drop[TAPE_CACHE_MAX];
  int dropped = 0;
  {
    ChunkCache& c = cache();
    std::lock_guard<std::mutex> hold(c.lock);
    int kept = 0;
    for (int i = 0; i < c.count; i++) {
      bool young = age_ms > 0 && c.stamp_ms[i] + age_ms > now_ms;
      if (young) {
        c.chunk[kept] = c.chunk[i];
        c.stamp_ms[kept++] = c.stamp_ms[i];
      } else {
        drop[dropped++] = c.chunk[i];
      }
    }
    for (int i = kept; i < c.count; i++) c.chunk[i] = nullptr;
    c.count = kept;
  }
  for (int i = 0; i < dropped; i++) platform_block_free(drop[i], (size_t)TAPE_CHUNK_BYTES);
  return dropped;
}

// Commit the pages now, on this thread, not on the audio thread's first write. Volatile so the
// compiler cannot drop zero stores into memory it knows is zeroed.
void chunk_pretouch(float* c) {
  volatile float* v = c;
  for (int64_t i = 0; i < TAPE_CHUNK_FLOATS; i += kPageFloats) v[i] = 0.0f;
}

// A chunk its caller fills at once (clear false) needs no pre-touch: the fill touches it, on the
// same thread, before any callback can read it.
int chunk_make_present(Tape* t, int64_t k, bool clear = true) {
  if (t->chunks[k].load(std::memory_order_relaxed)) return 0;
  if (t->resident >= t->ram_cap) {
    t->ram_cap_reached = true;
    return -1;
  }
  float* c = nullptr;
  if (t->pool_count > 0) {
    c = t->pool[--t->pool_count];
    t->pool[t->pool_count] = nullptr;
  } else {
    c = chunk_alloc(clear);
    if (!c) {
      t->out_of_memory = true;
      return -1;
    }
  }
  if (clear) chunk_pretouch(c);
  t->chunks[k].store(c, std::memory_order_release);
  t->resident++;
  return 0;
}

void pool_refill(Tape* t) {
  while (t->pool_count < t->pool_target) {
    float* c = chunk_alloc();
    if (!c) {
      t->out_of_memory = true;
      return;
    }
    t->pool[t->pool_count++] = c;
  }
}

void capacity_recompute(Tape* t) {
  int64_t k = t->release_floor >> TAPE_CHUNK_SHIFT;
  while (k < t->max_chunks && t->chunks[k].load(std::memory_order_relaxed)) k++;
  t->capacity_end = k << TAPE_CHUNK_SHIFT;
}

void length_raise(Tape* t, int64_t end) {
  int64_t cur = t->length.load(std::memory_order_relaxed);
  while (cur < end && !t->length.compare_exchange_weak(cur, end, std::memory_order_release,
                                                       std::memory_order_relaxed)) {
  }
}

void zero_span(float* left, float* right, int64_t i, int64_t n) {
  if (n <= 0) return;
  if (left) memset(left + i, 0, (size_t)n * sizeof(float));
  if (right) memset(right + i, 0, (size_t)n * sizeof(float));
}

// Largest |sample| of either channel over frames [f, f + n) of one chunk.
float chunk_span_peak(const float* c, int64_t off, int64_t n) {
  return tape_span_peak(c + off * 2, n * 2);
}

// Peak of the frames f, f + 8, ... below f + k, of those inside [0, hi); absent chunks read 0.
float bin_peak(const Tape* t, int64_t f, uint64_t k, int64_t hi) {
  uint64_t first = 0;  // offset of the first examined frame that is not negative
  if (f < 0) {
    uint64_t neg = (uint64_t)0 - (uint64_t)f;
    first = (neg + 7) / 8 * 8;
  }
  if (first >= k) return 0.0f;
  int64_t g = (int64_t)((uint64_t)f + first);
  int64_t stop = std::min((int64_t)((uint64_t)f + k), hi);  // f + k never passes `to`
  float m = 0.0f;
  int64_t cached = -1;
  const float* c = nullptr;
  for (; g < stop; g += 8) {
    int64_t ci = g >> TAPE_CHUNK_SHIFT;
    if (ci != cached) {
      cached = ci;
      c = t->chunks[ci].load(std::memory_order_acquire);
    }
    if (!c) {
      // Skip to the next chunk, staying on the 8-frame grid.
      int64_t next = (ci + 1) << TAPE_CHUNK_SHIFT;
      int64_t skip = (next - g + 7) / 8 * 8;
      g += skip - 8;
      continue;
    }
    const float* p = c + ((g & TAPE_CHUNK_MASK) << 1);
    float a = std::fabs(p[0]), b = std::fabs(p[1]);
    if (a > m) m = a;
    if (b > m) m = b;
  }
  return m;
}

bool is_whole_rate(double r) {
  return r == std::floor(r) && r < TAPE_RATE_MAX;
}

// Modified Bessel function of the first kind, order 0, by its power series.
double bessel_i0(double x) {
  double sum = 1.0, term = 1.0, half = x / 2.0;
  for (int k = 1; k < 200; k++) {
    term *= (half / k) * (half / k);
    sum += term;
    if (term < 1e-17 * sum) break;
  }
  return sum;
}

struct alignas(16) ResampleTable {
  float phase[kPhases + 1][kTaps];
  float diff[kPhases][kTaps];
};

void resample_table_build(ResampleTable* tab, double w) {
  static const double kPi = 3.14159265358979323846;
  const double i0_beta = bessel_i0(8.0);
  std::vector<double> rows((size_t)(kPhases + 1) * kTaps);
  for (int p = 0; p <= kPhases; p++) {
    double d = p / (double)kPhases, sum = 0.0;
    double* row = &rows[(size_t)p * kTaps];
    for (int j = 0; j < kTaps; j++) {
      double e = j - kTapsBefore - d, r = e / 16.0;
      double win = std::fabs(r) <= 1.0 ? bessel_i0(8.0 * std::sqrt(1.0 - r * r)) / i0_beta : 0.0;
      double x = w * e;
      double s = std::fabs(x) < 1e-12 ? 1.0 : std::sin(kPi * x) / (kPi * x);
      row[j] = w * s * win;
      sum += row[j];
    }
    for (int j = 0; j < kTaps; j++) row[j] /= sum;
  }
  for (int p = 0; p <= kPhases; p++)
    for (int j = 0; j < kTaps; j++) tab->phase[p][j] = (float)rows[(size_t)p * kTaps + j];
  for (int p = 0; p < kPhases; p++)
    for (int j = 0; j < kTaps; j++)
      tab->diff[p][j] = (float)(rows[(size_t)(p + 1) * kTaps + j] - rows[(size_t)p * kTaps + j]);
}

// One output frame: 32 taps from l[0..31] and r[0..31], weights interpolated between phases.
inline void resample_frame(const ResampleTable& tab, int q, float t, const float* l, const float* r,
                           float* out) {
  const float* tq = tab.phase[q];
  const float* dq = tab.diff[q];
#if TAPE_SSE
  __m128 tv = _mm_set1_ps(t);
  __m128 al0 = _mm_setzero_ps(), al1 = _mm_setzero_ps();
  __m128 ar0 = _mm_setzero_ps(), ar1 = _mm_setzero_ps();
  for (int j = 0; j < kTaps; j += 8) {
    __m128 w0 = _mm_add_ps(_mm_load_ps(tq + j), _mm_mul_ps(tv, _mm_load_ps(dq + j)));
    __m128 w1 = _mm_add_ps(_mm_load_ps(tq + j + 4), _mm_mul_ps(tv, _mm_load_ps(dq + j + 4)));
    al0 = _mm_add_ps(al0, _mm_mul_ps(w0, _mm_loadu_ps(l + j)));
    al1 = _mm_add_ps(al1, _mm_mul_ps(w1, _mm_loadu_ps(l + j + 4)));
    ar0 = _mm_add_ps(ar0, _mm_mul_ps(w0, _mm_loadu_ps(r + j)));
    ar1 = _mm_add_ps(ar1, _mm_mul_ps(w1, _mm_loadu_ps(r + j + 4)));
  }
  __m128 al = _mm_add_ps(al0, al1), ar = _mm_add_ps(ar0, ar1);
  // Horizontal sums of both channels at once: lanes end as {L, R, ., .}.
  __m128 lo = _mm_unpacklo_ps(al, ar);  // l0 r0 l1 r1
  __m128 hi = _mm_unpackhi_ps(al, ar);  // l2 r2 l3 r3
  __m128 s = _mm_add_ps(lo, hi);        // l0+l2 r0+r2 l1+l3 r1+r3
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  _mm_storel_pi(reinterpret_cast<__m64*>(out), s);
#else
  float al[4] = {0, 0, 0, 0}, ar[4] = {0, 0, 0, 0};
  for (int j = 0; j < kTaps; j += 4)
    for (int u = 0; u < 4; u++) {
      float w = tq[j + u] + t * dq[j + u];
      al[u] += w * l[j + u];
      ar[u] += w * r[j + u];
    }
  out[0] = (al[0] + al[2]) + (al[1] + al[3]);
  out[1] = (ar[0] + ar[2]) + (ar[1] + ar[3]);
#endif
}

// Copies n interleaved frames from [at, at + n) below limit; anything else reads as silence.
void read_interleaved(const Tape* t, int64_t at, int64_t n, int64_t limit, float* dst) {
  int64_t i = 0;
  while (i < n) {
    int64_t f = at + i;
    int64_t k = f >> TAPE_CHUNK_SHIFT;
    if (f < 0 || f >= limit || k >= t->max_chunks) {
      dst[2 * i] = dst[2 * i + 1] = 0.0f;
      i++;
      continue;
    }
    int64_t off = f & TAPE_CHUNK_MASK;
    int64_t span = std::min({n - i, TAPE_CHUNK_FRAMES - off, limit - f});
    const float* c = t->chunks[k].load(std::memory_order_acquire);
    if (c)
      memcpy(dst + 2 * i, c + 2 * off, (size_t)span * 2 * sizeof(float));
    else
      memset(dst + 2 * i, 0, (size_t)span * 2 * sizeof(float));
    i += span;
  }
}

}  // namespace

float tape_span_peak(const float* s, int64_t n) {
  int64_t i = 0;
  float m = 0.0f;
#if TAPE_SSE
  // max(x, m) keeps m when x is NaN, as the scalar comparison below does.
  const __m128 mask = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
  __m128 m0 = _mm_setzero_ps(), m1 = m0, m2 = m0, m3 = m0;
  for (; i + 16 <= n; i += 16) {
    m0 = _mm_max_ps(_mm_and_ps(_mm_loadu_ps(s + i), mask), m0);
    m1 = _mm_max_ps(_mm_and_ps(_mm_loadu_ps(s + i + 4), mask), m1);
    m2 = _mm_max_ps(_mm_and_ps(_mm_loadu_ps(s + i + 8), mask), m2);
    m3 = _mm_max_ps(_mm_and_ps(_mm_loadu_ps(s + i + 12), mask), m3);
  }
  alignas(16) float lanes[4];
  _mm_store_ps(lanes, _mm_max_ps(_mm_max_ps(m0, m1), _mm_max_ps(m2, m3)));
  m = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
#endif
  for (; i < n; i++) {
    float a = std::fabs(s[i]);
    if (a > m) m = a;
  }
  return m;
}

Tape* tape_new(double rate, double max_minutes, int32_t pool_target) {
  if (!(rate > 0.0) || rate > TAPE_RATE_MAX) {
    log_line("tape: refused a tape at %.1f Hz", rate);
    return nullptr;
  }
  if (!(max_minutes > 0.0)) max_minutes = 1440.0;
  if (pool_target < 0) pool_target = 0;
  double want = std::ceil(max_minutes * 60.0 * rate / (double)TAPE_CHUNK_FRAMES);
  int32_t max_chunks = want >= (double)kMaxChunkSlots ? (int32_t)kMaxChunkSlots
                       : want < 1.0                   ? 1
                                                      : (int32_t)want;

  int64_t ram_cap = max_chunks;
  // 0 means the figure is unknown, not that there is no memory: no cap from it then.
  uint64_t avail = platform_memory_available();
  if (avail > 0) {
    double fit = 0.6 * (double)avail / (double)TAPE_CHUNK_BYTES;
    if (fit < (double)ram_cap) ram_cap = (int64_t)fit;
  }
  if (ram_cap < 6) ram_cap = 6;
  if (max_chunks < ram_cap) ram_cap = max_chunks;

  Tape* t = new (std::nothrow) Tape{};
  if (!t) return nullptr;
  t->rate = rate;
  t->max_chunks = max_chunks;
  t->ram_cap = (int32_t)ram_cap;
  t->pool_target = pool_target;
  t->chunks = new (std::nothrow) std::atomic<float*>[(size_t)max_chunks]();
  t->pool = static_cast<float**>(calloc((size_t)std::max(pool_target, 1), sizeof(float*)));
  if (!t->chunks || !t->pool) {
    tape_free(t);
    return nullptr;
  }
  for (int32_t i = 0; i < pool_target; i++) {
    float* c = chunk_alloc();
    if (!c) {
      tape_free(t);
      return nullptr;
    }
    t->pool[t->pool_count++] = c;
  }
  return t;
}

void tape_free(Tape* t) {
  if (!t) return;
  if (t->chunks) {
    for (int32_t k = 0; k < t->max_chunks; k++) chunk_free(t->chunks[k].load(std::memory_order_relaxed));
    delete[] t->chunks;
  }
  if (t->pool) {
    for (int32_t i = 0; i < t->pool_count; i++) chunk_free(t->pool[i]);
    free(t->pool);
  }
  for (int32_t i = 0; i < t->retired_count; i++) chunk_free(t->retired[i].chunk);
  delete t;
}

namespace {

// Chunks wholly below fill_end are about to be overwritten, so reused ones needn't be cleared.
int ensure_to(Tape* t, int64_t frames, int64_t fill_end) {
  if (!t) return -1;
  int64_t want = std::max<int64_t>(frames, 0) >> TAPE_CHUNK_SHIFT;
  int rc = 0;
  if (want >= t->max_chunks) {
    want = t->max_chunks - 1;
    rc = -1;
  }
  int64_t k = t->release_floor >> TAPE_CHUNK_SHIFT;
  // A released chunk is never made present again, so it cannot be ensured.
  if (want < k) rc = -1;
  for (; k <= want; k++) {
    bool covered = ((k + 1) << TAPE_CHUNK_SHIFT) <= fill_end;
    if (chunk_make_present(t, k, !covered) != 0) {
      rc = -1;
      break;
    }
  }
  pool_refill(t);
  capacity_recompute(t);
  return rc;
}

}  // namespace

int tape_ensure(Tape* t, int64_t frames) {
  return ensure_to(t, frames, 0);
}

int tape_ensure_fill(Tape* t, int64_t frames) {
  return ensure_to(t, frames - 1, frames);
}

int tape_cache_release() {
  return cache_trim(0, 0);
}

int tape_write(Tape* t, int64_t at, const float* frames, int64_t n) {
  if (!t || at < 0 || n < 0 || (n > 0 && !frames)) return -1;
  if (n == 0) return 0;
  if (n > INT64_MAX - at) return -1;
  int64_t end = at + n;
  int64_t first = at >> TAPE_CHUNK_SHIFT, last = (end - 1) >> TAPE_CHUNK_SHIFT;
  if (last >= t->max_chunks) return -1;
  // Check every chunk first so a gap fails the write before anything lands.
  for (int64_t k = first; k <= last; k++)
    if (!t->chunks[k].load(std::memory_order_acquire)) return -1;
  int64_t i = 0;
  while (i < n) {
    int64_t f = at + i, off = f & TAPE_CHUNK_MASK;
    int64_t span = std::min(n - i, TAPE_CHUNK_FRAMES - off);
    float* c = t->chunks[f >> TAPE_CHUNK_SHIFT].load(std::memory_order_acquire);
    memcpy(c + 2 * off, frames + 2 * i, (size_t)span * 2 * sizeof(float));
    i += span;
  }
  length_raise(t, end);
  return 0;
}

void tape_read_planar(const Tape* t, int64_t at, int64_t n, int64_t limit, float* left,
                      float* right) {
  if (n <= 0) return;
  if (!t) {
    zero_span(left, right, 0, n);
    return;
  }
  // Nothing at or past length was ever written, whatever the caller's limit.
  int64_t stop = std::min(limit, t->length.load(std::memory_order_acquire));
  int64_t i = 0;
  while (i < n) {
    int64_t f = at + i;
    if (f < 0) {
      int64_t before = f == INT64_MIN ? INT64_MAX : -f;
      int64_t span = std::min(n - i, before);
      zero_span(left, right, i, span);
      i += span;
      continue;
    }
    int64_t k = f >> TAPE_CHUNK_SHIFT;
    if (f >= stop || k >= t->max_chunks) {
      zero_span(left, right, i, n - i);
      return;
    }
    int64_t off = f & TAPE_CHUNK_MASK;
    int64_t span = std::min({n - i, TAPE_CHUNK_FRAMES - off, stop - f});
    const float* c = t->chunks[k].load(std::memory_order_acquire);
    if (!c) {
      zero_span(left, right, i, span);
    } else {
      const float* p = c + 2 * off;
      if (left)
        for (int64_t j = 0; j < span; j++) left[i + j] = p[2 * j];
      if (right)
        for (int64_t j = 0; j < span; j++) right[i + j] = p[2 * j + 1];
    }
    i += span;
  }
}

float tape_peak(const Tape* t, int64_t from, int64_t to) {
  if (!t) return 0.0f;
  int64_t lo = std::max<int64_t>(from, 0);
  int64_t hi = std::min(to, t->length.load(std::memory_order_acquire));
  hi = std::min(hi, (int64_t)t->max_chunks << TAPE_CHUNK_SHIFT);
  float m = 0.0f;
  for (int64_t f = lo; f < hi;) {
    int64_t off = f & TAPE_CHUNK_MASK;
    int64_t span = std::min(hi - f, TAPE_CHUNK_FRAMES - off);
    const float* c = t->chunks[f >> TAPE_CHUNK_SHIFT].load(std::memory_order_acquire);
    if (c) m = std::max(m, chunk_span_peak(c, off, span));
    f += span;
  }
  return m;
}

int tape_peaks(const Tape* t, int64_t from, int64_t to, double frames_per_bin, float* out,
               int32_t most_bins) {
  if (!t || !out || most_bins <= 0 || from >= to || !(frames_per_bin > 0.0)) return 0;
  // Only frames inside [0, hi) can be non-zero; the walk below never visits the rest.
  int64_t hi = std::min(t->length.load(std::memory_order_acquire),
                        (int64_t)t->max_chunks << TAPE_CHUNK_SHIFT);
  int32_t bins = 0;
  double acc = 0.0;  // frames gained by the current bin, fraction carried from the last
  int64_t f = from;
  while (bins < most_bins) {
    uint64_t remaining = (uint64_t)to - (uint64_t)f;
    // Frames until the accumulator reaches a bin; at least one per bin.
    double need = std::max(std::ceil(frames_per_bin - acc), 1.0);
    bool last = need >= (double)remaining;
    uint64_t k = last ? remaining : (uint64_t)need;
    out[bins++] = bin_peak(t, f, k, hi);
    if (last) break;
    acc = acc + need - frames_per_bin;
    f += (int64_t)k;
  }
  return bins;
}

void tape_maintain(Tape* t, int64_t end, int32_t lookahead_chunks, uint64_t now_ms,
                   const std::atomic<uint64_t>* callbacks) {
  if (!t) return;
  bool oom_before = t->out_of_memory, cap_before = t->ram_cap_reached;

  // Release.
  int64_t request = t->release_request.load(std::memory_order_acquire);
  int64_t release_to =
      std::min<int64_t>(t->max_chunks, std::max<int64_t>(request, 0) >> TAPE_CHUNK_SHIFT);
  int released = 0;
  for (int64_t k = t->release_floor >> TAPE_CHUNK_SHIFT;
       k < release_to && t->retired_count < TAPE_RETIRED_MAX; k++) {
    float* c = t->chunks[k].load(std::memory_order_relaxed);
    if (c) {
      t->chunks[k].store(nullptr, std::memory_order_seq_cst);
      t->resident--;
      t->retired[t->retired_count++] = TapeRetired{c, now_ms, 0};
      released++;
    }
    t->release_floor = (k + 1) << TAPE_CHUNK_SHIFT;
  }
  // Read after the clears. The callback stores its count and loads chunk pointers seq_cst, as
  // the clears are, so a callback that still loaded a cleared pointer is at most number `begun`;
  // once a later one has begun it is over, and the acquire orders its accesses before ours.
  const uint64_t begun = callbacks ? callbacks->load(std::memory_order_seq_cst) : 0;
  for (int32_t i = t->retired_count - released; i < t->retired_count; i++)
    t->retired[i].callbacks = begun;
  if (released > 0)
    log_line("tape: released %d chunk%s (%.0f MB) below frame %lld", released,
             released == 1 ? "" : "s", released * 4.0, (long long)t->release_floor);

  // Recycle chunks that have been out of the audio thread's reach long enough: by the time,
  // and (when callbacks read the tape) by callbacks begun since, which no stall can fake.
  int32_t kept = 0;
  for (int32_t i = 0; i < t->retired_count; i++) {
    TapeRetired e = t->retired[i];
    bool young = e.stamp_ms > now_ms || now_ms - e.stamp_ms < TAPE_RECYCLE_MS;
    bool held = callbacks && (begun < e.callbacks || begun - e.callbacks < TAPE_RECYCLE_CALLBACKS);
    if (young || held) {
      t->retired[kept++] = e;
      continue;
    }
    if (t->pool_count < t->pool_target) {
      memset(e.chunk, 0, (size_t)TAPE_CHUNK_BYTES);
      t->pool[t->pool_count++] = e.chunk;
    } else {
      chunk_free(e.chunk);
    }
  }
  for (int32_t i = kept; i < t->retired_count; i++) t->retired[i] = TapeRetired{nullptr, 0, 0};
  t->retired_count = kept;

  // Grow ahead of the cursor.
  int64_t grow_to =
      std::min<int64_t>(t->max_chunks, (std::max<int64_t>(end, 0) >> TAPE_CHUNK_SHIFT) +
                                           std::max(lookahead_chunks, 0) + 1);
  for (int64_t k = t->release_floor >> TAPE_CHUNK_SHIFT; k < grow_to; k++)
    if (chunk_make_present(t, k) != 0) break;

  pool_refill(t);
  capacity_recompute(t);
  // The cache keeps the system's clock: now_ms is whatever clock the caller keeps.
  cache_trim(platform_tick_ms(), TAPE_CACHE_MS);

  if (!oom_before && t->out_of_memory)
    log_line("tape: out of memory - the tape can't grow past %.1f s",
             (double)t->capacity_end / t->rate);
  if (!cap_before && t->ram_cap_reached)
    log_line("tape: RAM cap reached (%d chunks resident) - the tape stops at %.1f s", t->resident,
             (double)t->capacity_end / t->rate);
}

void tape_release_below(Tape* t, int64_t frame) {
  if (!t || frame <= 0) return;
  int64_t cur = t->release_request.load(std::memory_order_relaxed);
  while (cur < frame && !t->release_request.compare_exchange_weak(
                            cur, frame, std::memory_order_acq_rel, std::memory_order_relaxed)) {
  }
}

Tape* tape_resample(const Tape* src, double new_rate, JobProgress* progress) {
  if (!src || !(new_rate > 0.0) || !(src->rate > 0.0)) return nullptr;
  const double src_rate = src->rate;
  const int64_t len = std::max<int64_t>(tape_length(src), 0);
  const bool whole = is_whole_rate(src_rate) && is_whole_rate(new_rate);
  const int64_t S = whole ? (int64_t)src_rate : 0, R = whole ? (int64_t)new_rate : 0;

  int64_t n_out = 0;
  if (whole) {
    // len < 2^40 and R < 2^24: the product fits.
    int64_t num = len * R;
    n_out = num / S;
    if (2 * (num % S) >= S) n_out++;
  } else {
    double nd = (double)len * new_rate / src_rate;
    if (!(nd <= (double)kMaxFrames)) return nullptr;
    n_out = (int64_t)std::llround(nd);
  }
  if (n_out > kMaxFrames) return nullptr;

  Tape* out = tape_new(new_rate, std::max(1440.0, (double)n_out / new_rate / 60.0 + 2.0), 4);
  if (!out) return nullptr;
  // An output the RAM cap can never hold fails now, before memory fills up on the way (a
  // nonsense rate in a sketch's meta.json asks for one).
  if (n_out > 0 && ((n_out - 1) >> TAPE_CHUNK_SHIFT) >= out->ram_cap) {
    tape_free(out);
    return nullptr;
  }
  if (tape_ensure(out, n_out - 1) != 0) {
    tape_free(out);
    return nullptr;
  }
  tape_ensure(out, n_out);
  job_progress_set(progress, 0, n_out);

  if (src_rate == new_rate) {
    std::vector<float> block((size_t)kBlockFrames * 2);
    for (int64_t at = 0; at < n_out; at += kBlockFrames) {
      if (job_progress_cancelled(progress)) {
        tape_free(out);
        return nullptr;
      }
      int64_t n = std::min(kBlockFrames, n_out - at);
      read_interleaved(src, at, n, len, block.data());
      if (tape_write(out, at, block.data(), n) != 0) {
        tape_free(out);
        return nullptr;
      }
      job_progress_set(progress, at + n, n_out);
    }
    return out;
  }

  ResampleTable* tab = new (std::nothrow) ResampleTable;
  if (!tab) {
    tape_free(out);
    return nullptr;
  }
  resample_table_build(tab, 0.95 * std::min(new_rate / src_rate, 1.0));

  const double step = src_rate / new_rate;
  // Keep the source window of one block bounded for extreme downsampling ratios.
  const int64_t block_frames =
      step > 64.0 ? std::max<int64_t>(1, (int64_t)(1048576.0 / step)) : kBlockFrames;
  std::vector<float> left((size_t)(std::ceil(block_frames * step) + 40.0));
  std::vector<float> right(left.size());
  std::vector<float> frames((size_t)block_frames * 2);

  // Exact position of the next output frame for whole rates: c + rem / R.
  int64_t c_int = 0, rem = 0;
  const int64_t step_whole = whole ? S / R : 0, step_rem = whole ? S % R : 0;

  for (int64_t k0 = 0; k0 < n_out; k0 += block_frames) {
    if (job_progress_cancelled(progress)) {
      delete tab;
      tape_free(out);
      return nullptr;
    }
    const int64_t n = std::min(block_frames, n_out - k0);
    int64_t c_first, c_last;
    if (whole) {
      c_first = c_int;
      c_last = c_int + (rem + (n - 1) * S) / R;
    } else {
      c_first = (int64_t)std::floor((double)k0 * src_rate / new_rate);
      c_last = (int64_t)std::floor((double)(k0 + n - 1) * src_rate / new_rate);
    }
    const int64_t base = c_first - kTapsBefore;
    const int64_t count = c_last - c_first + kTaps;
    if ((size_t)count > left.size()) {
      left.resize((size_t)count);
      right.resize((size_t)count);
    }
    tape_read_planar(src, base, count, len, left.data(), right.data());

    float* o = frames.data();
    if (whole) {
      for (int64_t i = 0; i < n; i++) {
        int64_t scaled = rem * kPhases;
        int q = (int)(scaled / R);
        float t = (float)((double)(scaled - (int64_t)q * R) / (double)R);
        int64_t at = c_int - c_first;
        resample_frame(*tab, q, t, left.data() + at, right.data() + at, o + 2 * i);
        c_int += step_whole;
        rem += step_rem;
        if (rem >= R) {
          rem -= R;
          c_int++;
        }
      }
    } else {
      for (int64_t i = 0; i < n; i++) {
        double pos = (double)(k0 + i) * src_rate / new_rate;
        double cf = std::floor(pos);
        double fr = (pos - cf) * kPhases;
        int q = std::min((int)fr, kPhases - 1);
        float t = (float)(fr - q);
        int64_t at = (int64_t)cf - c_first;
        resample_frame(*tab, q, t, left.data() + at, right.data() + at, o + 2 * i);
      }
    }
    if (tape_write(out, k0, o, n) != 0) {
      delete tab;
      tape_free(out);
      return nullptr;
    }
    job_progress_set(progress, k0 + n, n_out);
  }
  delete tab;
  return out;
}

Tape* tape_new_ready(double rate, double max_minutes, int32_t pool_target) {
  Tape* t = tape_new(rate, max_minutes, pool_target);
  if (t && tape_ensure(t, 0) != 0) {
    tape_free(t);
    return nullptr;
  }
  return t;
}
