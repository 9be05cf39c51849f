// The audio-callback side: rate tracking, resampling to 48000 Hz and the ring. Nothing here
// allocates, locks, logs or blocks.
#include <math.h>
#include <string.h>

#include "net/station_internal.h"

namespace {

const double kStandardRates[] = {22050, 32000, 44100, 48000, 88200, 96000, 176400, 192000};

// The engine's claimed rate can be wrong (a driver that resamples behind its back): the rate
// the frames actually arrive at wins once two windows agree.
void track_rate(Station* s, int64_t now, int frames) {
  if (!s->rt_started) {
    s->rt_started = true;
    s->rt_window_start = now;
    s->rt_frames = 0;
  }
  s->rt_frames += frames;
  int64_t elapsed = now - s->rt_window_start;
  if (elapsed < 2000000000) return;
  double estimate = (double)s->rt_frames * 1e9 / (double)elapsed;
  if (estimate > 1000) {
    for (double r : kStandardRates) {
      if (fabs(estimate - r) <= r * 0.015) {
        estimate = r;
        break;
      }
    }
    double last = s->rt_last_estimate;
    if (last > 0 && fabs(estimate - last) <= last * 0.005) {
      s->rt_agreeing++;
      s->measured_rate.store(estimate, std::memory_order_relaxed);
    } else {
      s->rt_agreeing = 0;
    }
    s->rt_last_estimate = estimate;
  } else {
    s->rt_agreeing = 0;
    s->rt_last_estimate = 0;
  }
  s->rt_window_start = now;
  s->rt_frames = 0;
}

void store_frames(Station* s, const float* frames_lr, int frames, int64_t now) {
  uint64_t w = s->write_count.load(std::memory_order_relaxed);
  uint64_t r = s->read_pos.load(std::memory_order_acquire);
  if (w + (uint64_t)frames - r > STATION_RING_FRAMES) {
    s->overflow.store(true, std::memory_order_relaxed);
    return;
  }
  size_t at = (size_t)(w % STATION_RING_FRAMES);
  size_t first = (size_t)frames;
  if (first > STATION_RING_FRAMES - at) first = STATION_RING_FRAMES - at;
  memcpy(s->ring + at * 2, frames_lr, first * 2 * sizeof(float));
  if (first < (size_t)frames) {
    memcpy(s->ring, frames_lr + first * 2, ((size_t)frames - first) * 2 * sizeof(float));
  }
  // Release stores on the pair let a reader who sees a newer value also see the odd count.
  uint32_t seq = s->block_seq.load(std::memory_order_relaxed);
  s->block_seq.store(seq + 1, std::memory_order_relaxed);
  s->block_time.store(now, std::memory_order_release);
  s->block_index.store(w, std::memory_order_release);
  s->block_seq.store(seq + 2, std::memory_order_release);
  s->write_count.store(w + (uint64_t)frames, std::memory_order_release);
}

// Linear interpolation to 48000 Hz; the fractional position and the last input frame carry over
// so blocks join without a seam.
int resample(Station* s, const float* in, int frames, double rate) {
  if (rate != s->rs_rate) {
    s->rs_rate = rate;
    s->rs_pos = 0;
    s->rs_last[0] = s->rs_last[1] = 0;
  }
  double step = rate / (double)STATION_RATE;
  double pos = s->rs_pos;
  float* out = s->scratch;
  int n = 0;
  while (n < STATION_RESAMPLE_MAX) {
    double fl = floor(pos);
    int i = (int)fl;
    if (i + 1 >= frames) break;
    float frac = (float)(pos - fl);
    const float* a = i < 0 ? s->rs_last : in + (size_t)i * 2;
    const float* b = in + (size_t)(i + 1) * 2;
    out[n * 2] = a[0] + (b[0] - a[0]) * frac;
    out[n * 2 + 1] = a[1] + (b[1] - a[1]) * frac;
    n++;
    pos += step;
  }
  pos -= frames;
  if (pos < -1) pos = -1 + (pos - floor(pos));  // cut short: the rest of this block is lost
  s->rs_pos = pos;
  s->rs_last[0] = in[(size_t)(frames - 1) * 2];
  s->rs_last[1] = in[(size_t)(frames - 1) * 2 + 1];
  return n;
}

}  // namespace

void station_tap(void* user, const float* interleaved, int frames, int rate) {
  Station* s = static_cast<Station*>(user);
  if (!s || frames <= 0 || !interleaved) return;
  // Entering is announced before on air is checked, so a restart can wait for a tap in flight.
  s->in_tap.store(true, std::memory_order_seq_cst);
  if (!s->on_air.load(std::memory_order_seq_cst)) {
    s->in_tap.store(false, std::memory_order_release);
    return;
  }
  int64_t now = station_now(s);
  track_rate(s, now, frames);
  double measured = s->measured_rate.load(std::memory_order_relaxed);
  double used = measured > 0 ? measured : (double)rate;
  if (fabs(used - (double)STATION_RATE) <= 1.0 || !s->scratch || used <= 0) {
    store_frames(s, interleaved, frames, now);
  } else {
    int n = resample(s, interleaved, frames, used);
    if (n > 0) store_frames(s, s->scratch, n, now);
  }
  s->in_tap.store(false, std::memory_order_release);
}
