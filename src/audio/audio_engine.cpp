// The audio engine: one stream, opened with fallbacks, supervised and brought back.
//
// Everything that may touch the driver runs on the worker thread, one call at a time, while the
// control thread waits for it in 50 ms slices (a guarded call). The control thread makes every
// decision; the UI thread only posts commands and reads what the control thread publishes.
// The callback reaches the core only while its stream's generation is the accepted one, and the
// control thread drains callbacks in flight before it touches the core itself.
#include "audio/audio_engine.h"

#include "audio/audio_engine_internal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/thread.h"
#include "base/log.h"
#include "base/text.h"

// Copies src into a fixed field, cut at a character boundary and zero-filled.
void engine_copy_text(char* dst, size_t size, const char* src) {
  text_copy(dst, size, src);
}

void engine_set_message(AudioEngine* e, const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  memset(e->st.message, 0, sizeof e->st.message);
  engine_copy_text(e->st.message, sizeof e->st.message, buf);
}

void engine_fail(EngineFailure* f, int cause, const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  f->cause = cause;
  engine_copy_text(f->message, sizeof f->message, buf);
}

void engine_publish(AudioEngine* e) {
  AudioStatus s;
  memcpy(&s, &e->st, sizeof s);
  s.cause = e->hung ? AUDIO_CAUSE_DRIVER_HUNG : e->mic_off ? AUDIO_CAUSE_ACCESS_DENIED : e->cause;
  s.rescan_pending = e->rescan_pending;
  std::unique_lock<std::shared_mutex> g(e->status_lock);
  s.change_counter = e->pub.change_counter;
  if (memcmp(&s, &e->pub, sizeof s) != 0) {
    s.change_counter++;
    memcpy(&e->pub, &s, sizeof s);
  }
}

void engine_publish_rows(AudioEngine* e) {
  memset(e->st.rows, 0, sizeof e->st.rows);
  for (int i = 0; i < e->row_count; i++) {
    AudioStatusRow* r = &e->st.rows[i];
    memcpy(r->name, e->rows[i].name, sizeof r->name);
    r->input_device = e->rows[i].input_device;
    r->output_device = e->rows[i].output_device;
    r->asio = e->rows[i].asio ? 1 : 0;
    r->inputs = e->rows[i].inputs;
  }
  e->st.row_count = e->row_count;
}

int engine_find_row(AudioEngine* e, const char* display_name) {
  if (!display_name || !*display_name) return -1;
  for (int i = 0; i < e->row_count; i++) {
    if (strcmp(e->rows[i].name, display_name) == 0) return i;
  }
  return -1;
}

// --- Callbacks in flight ---------------------------------------------------------------

// Stops the callback from reaching the core and waits for those already inside to leave.
bool engine_drain(AudioEngine* e, uint64_t limit_ms) {
  e->accepted.store(0);
  uint64_t start = platform_tick_ms();
  int spins = 0;
  while (e->in_flight.load() != 0) {
    if (platform_tick_ms() - start >= limit_ms) return false;
    if (++spins < 64) {
      platform_thread_yield();
    } else {
      platform_sleep_ms(1);
    }
  }
  return true;
}

namespace {

void collector_main(AudioEngine* e) {
  while (!e->collector_stop.load()) {
    if (e->collector_stop_event.wait(kQuiesceMs) && e->collector_stop.load()) break;
    core_collect(e->core, platform_tick_ms());
  }
}

void free_buffers(AudioEngine* e) {
  free(e->silence);
  free(e->scratch_l);
  free(e->scratch_r);
  free(e->mix_l);
  free(e->mix_r);
  free(e->tap_buf);
}

}  // namespace

// --- Public ---------------------------------------------------------------------------------

AudioEngine* audio_engine_create(Core* core, RigMixer* rig) {
  return audio_engine_create_with(core, rig, audio_driver_system(), audio_probe_system());
}

static void worker_trampoline(void* arg) { engine_worker_main((AudioEngine*)arg); }
static void collector_trampoline(void* arg) { collector_main((AudioEngine*)arg); }
static void control_trampoline(void* arg) { engine_control_main((AudioEngine*)arg); }

AudioEngine* audio_engine_create_with(Core* core, RigMixer* rig, const AudioDriver* driver,
                                      const AudioProbe* probe) {
  if (!core) {
    log_line("audio: no core - the engine can't start");
    return nullptr;
  }
  if (!driver || !probe) {
    log_line("audio: no driver - the engine can't start");
    return nullptr;
  }
  if (!rig) log_line("audio: no rig - inputs 1 and 2 go straight to the tape");
  AudioEngine* e = new (std::nothrow) AudioEngine;
  if (!e) {
    log_line("audio: out of memory for the engine");
    return nullptr;
  }
  e->core = core;
  e->rig = rig;
  e->drv = driver;
  e->probe = probe;
  e->silence = (float*)calloc(AUDIO_MAX_FRAMES, sizeof(float));
  e->scratch_l = (float*)calloc(AUDIO_MAX_FRAMES, sizeof(float));
  e->scratch_r = (float*)calloc(AUDIO_MAX_FRAMES, sizeof(float));
  e->mix_l = (float*)calloc(AUDIO_MAX_FRAMES, sizeof(float));
  e->mix_r = (float*)calloc(AUDIO_MAX_FRAMES, sizeof(float));
  e->tap_buf = (float*)calloc(AUDIO_MAX_FRAMES * 2, sizeof(float));
  if (!e->silence || !e->scratch_l || !e->scratch_r || !e->mix_l || !e->mix_r || !e->tap_buf) {
    log_line("audio: out of memory for the engine");
    free_buffers(e);
    delete e;
    return nullptr;
  }
  memset(e->ring, 0, sizeof e->ring);
  memset(e->ring_ids, 0, sizeof e->ring_ids);
  memset(&e->st, 0, sizeof e->st);
  memset(&e->pub, 0, sizeof e->pub);
  memset(&e->binding, 0, sizeof e->binding);
  memset(e->rows, 0, sizeof e->rows);
  memset(&e->set, 0, sizeof e->set);
  e->set.frames = AUDIO_DEFAULT_FRAMES;
  e->st.state = AUDIO_CLOSED;
  e->st.row = -1;
  engine_publish(e);
  unsigned long err = platform_thread_start(&e->worker_thread, worker_trampoline, e);
  if (err == 0) err = platform_thread_start(&e->collector_thread, collector_trampoline, e);
  if (err == 0) err = platform_thread_start(&e->control_thread, control_trampoline, e);
  if (err != 0) {
    // Tell whatever started to stop, and wait for it: nothing is left running.
    e->quit.store(true);
    e->wake.signal();
    e->worker_stop.store(true);
    e->request.signal();
    e->collector_stop.store(true);
    e->collector_stop_event.signal();
    platform_thread_join(e->collector_thread);
    platform_thread_join(e->worker_thread);
    log_line("audio: couldn't start the engine threads");
    free_buffers(e);
    delete e;
    return nullptr;
  }
  return e;
}

void audio_engine_destroy(AudioEngine* e) {
  if (!e) return;
  e->quit.store(true);
  e->wake.signal();
  uint64_t start = platform_tick_ms();
  for (uint64_t waited = 0; !e->control_ended.load() && waited < kShutdownWaitMs;
       waited = platform_tick_ms() - start) {
    e->control_ended_event.wait(kShutdownWaitMs - waited);
  }
  if (!e->control_ended.load()) {
    log_line("audio: the audio thread didn't finish in %d s - leaving the driver behind",
             (int)(kShutdownWaitMs / 1000));
    e->abandon.store(true);
    e->wake.signal();
    start = platform_tick_ms();
    for (uint64_t waited = 0; !e->control_ended.load() && waited < kAbandonWaitMs;
         waited = platform_tick_ms() - start) {
      e->control_ended_event.wait(kAbandonWaitMs - waited);
    }
  }
  core_set_running(e->core, false);
  engine_drain(e, kDrainShutdownMs);
  e->collector_stop.store(true);
  e->collector_stop_event.signal();
  platform_thread_join(e->collector_thread);
  e->collector_thread = nullptr;
  // Threads that ended are joined either way; a stuck one stays with the engine.
  if (e->control_ended.load()) {
    platform_thread_join(e->control_thread);
    e->control_thread = nullptr;
  }
  if (e->worker_ended.load()) {
    platform_thread_join(e->worker_thread);
    e->worker_thread = nullptr;
  }
  if (e->control_ended.load() && !e->gave_up.load() && e->worker_ended.load()) {
    engine_free_ticket(e);
    free_buffers(e);
    delete e;
    return;
  }
  log_line("audio: a driver call never returned - the engine is left in place");
}

uint32_t audio_engine_post(AudioEngine* e, const AudioCommand* c) {
  if (!e || !c) return 0;
  uint32_t id;
  {
    std::lock_guard<std::mutex> g(e->ring_lock);
    if (e->ring_count >= AUDIO_COMMANDS_WAITING) return 0;
    e->next_id = e->next_id == UINT32_MAX ? 1 : e->next_id + 1;
    id = e->next_id;
    int slot = (e->ring_head + e->ring_count) % AUDIO_COMMANDS_WAITING;
    e->ring[slot] = *c;
    e->ring[slot].device[AUDIO_NAME_BYTES - 1] = 0;
    e->ring_ids[slot] = id;
    e->ring_count++;
  }
  e->wake.signal();
  return id;
}

uint32_t audio_engine_open(AudioEngine* e, const AudioEngineConfig* config) {
  if (!config) return 0;
  AudioCommand c;
  memset(&c, 0, sizeof c);
  c.kind = AUDIO_OPEN;
  engine_copy_text(c.device, sizeof c.device, config->device);
  c.frames = config->buffer_frames;
  c.rate = config->sample_rate;
  c.exclusive = config->exclusive ? 1 : 0;
  return audio_engine_post(e, &c);
}

uint64_t audio_engine_status(AudioEngine* e, AudioStatus* out) {
  if (!out) return 0;
  if (!e) {
    memset(out, 0, sizeof *out);
    return 0;
  }
  std::shared_lock<std::shared_mutex> g(e->status_lock);
  memcpy(out, &e->pub, sizeof *out);
  return out->change_counter;
}

uint32_t audio_engine_binding(AudioEngine* e, StreamBinding* out) {
  if (!out) return 0;
  if (!e) {
    memset(out, 0, sizeof *out);
    return 0;
  }
  std::shared_lock<std::shared_mutex> g(e->status_lock);
  memcpy(out, &e->binding, sizeof *out);
  return e->binding_gen_pub;
}

uint32_t audio_engine_binding_generation(AudioEngine* e) {
  if (!e) return 0;
  std::shared_lock<std::shared_mutex> g(e->status_lock);
  return e->binding_gen_pub;
}

void audio_engine_lock_rig(AudioEngine* e) {
  if (e) e->rig_lock.lock();
}

void audio_engine_unlock_rig(AudioEngine* e) {
  if (e) e->rig_lock.unlock();
}

void audio_engine_set_tap(AudioEngine* e, AudioTap tap, void* user) {
  if (!e) return;
  std::lock_guard<std::mutex> g(e->tap_writer);
  seqlock_write(&e->tap, EngineTapPair{tap, user});
  // A read-modify-write sees the callback's latest entry; a callback that enters after it
  // synchronises with it and so reads the new pair.
  int32_t inside = e->in_tap.fetch_add(0);
  // A callback may still be calling the old tap: wait until it leaves, unless the stream is
  // being given up on (the engine waits for callbacks itself then), so this never waits forever.
  for (; inside != 0; inside = e->in_tap.load()) {
    int state;
    {
      std::shared_lock<std::shared_mutex> sg(e->status_lock);
      state = e->pub.state;
    }
    if (state != AUDIO_RUNNING && state != AUDIO_OPENING) {
      log_line("audio: the output tap is still busy on a stream that is going - not waiting");
      break;
    }
    platform_sleep_ms(kTapSliceMs);
  }
}

void audio_engine_notify_resume(AudioEngine* e) {
  if (!e) return;
  e->resume_pending.store(true);
  e->wake.signal();
}
