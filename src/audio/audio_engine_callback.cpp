// The driver's callback: it reaches the core only while its stream's generation is the
// accepted one. Never allocates, locks or logs.
#include "audio/audio_engine_internal.h"

#include <cstring>

#include "rig/mixer.h"

int audio_engine_callback(const void* input, void* output, unsigned long frames,
                          const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags status,
                          void* user) {
  StreamTicket* t = (StreamTicket*)user;
  if (!t) return paContinue;
  AudioEngine* e = t->engine;
  e->in_flight.fetch_add(1);
  float** out = (float**)output;
  if (t->generation != e->accepted.load()) {
    if (out) {
      for (int c = 0; c < t->outputs; c++) {
        if (out[c]) memset(out[c], 0, frames * sizeof(float));
      }
    }
    e->in_flight.fetch_sub(1);
    return paContinue;
  }
  if (!out && frames > AUDIO_MAX_FRAMES) {
    e->in_flight.fetch_sub(1);
    return paContinue;
  }
  e->callbacks.store(e->callbacks.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  int n = (int)(frames > (unsigned long)INT32_MAX ? INT32_MAX : frames);
  const float* const* in = (const float* const*)input;
  const float* l;
  const float* r;
  int channels;
  if (in && t->channels > 0 && frames <= AUDIO_MAX_FRAMES) {
    rig_mix(e->rig, in, t->channels, e->mix_l, e->mix_r, n);
    l = e->mix_l;
    r = e->mix_r;
    channels = 2;
  } else {
    l = e->silence;
    r = nullptr;
    channels = 1;
  }
  float* ol = out && t->outputs >= 2 ? out[0] : e->scratch_l;
  float* orr = out && t->outputs >= 2 ? out[1] : e->scratch_r;
  if (ol == e->scratch_l && frames > AUDIO_MAX_FRAMES) {
    e->in_flight.fetch_sub(1);
    return paContinue;
  }
  core_process(e->core, l, r, channels, ol, orr, n, (uint32_t)status);
  EngineTapPair tap;
  // No tap (the usual case): nothing will be called, so no setter needs to wait for this
  // callback and the count stays alone. Otherwise the pair is read again inside the count.
  if (seqlock_try_read(&e->tap, &tap) >= 0 && !tap.fn) {
    e->in_flight.fetch_sub(1);
    return paContinue;
  }
  e->in_tap.fetch_add(1);
  // A pair being written is skipped for this callback.
  if (seqlock_try_read(&e->tap, &tap) >= 0 && tap.fn) {
    int m = n < AUDIO_MAX_FRAMES ? n : AUDIO_MAX_FRAMES;
    float* b = e->tap_buf;
    for (int i = 0; i < m; i++) {
      b[2 * i] = ol[i];
      b[2 * i + 1] = orr[i];
    }
    tap.fn(tap.user, b, m, (int)e->cb_rate.load(std::memory_order_relaxed));
  }
  e->in_tap.fetch_sub(1);
  e->in_flight.fetch_sub(1);
  return paContinue;
}
