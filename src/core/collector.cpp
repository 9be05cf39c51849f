// Tape retirement: the audio thread may not free memory and a callback may still be reading a
// tape it just dropped, so dropped tapes travel through the retire ring to the collector, which
// frees them once no callback can hold them. The collector also keeps the live tapes' chunks
// allocated ahead of the cursor.
#include <cstdlib>

#include "core/core_internal.h"

namespace {
// A retired tape is freed once this many callbacks have begun since and this long has passed.
constexpr uint64_t kRetireCallbacks = 2;
constexpr uint64_t kRetireMs = 500;
}  // namespace
#include "base/log.h"

void core_retire_tape(Core* c, Tape* t) {
  if (!t) return;
  // The overflow list goes first so tapes reach the collector in the order they were dropped.
  if (c->overflow_count == 0 && spsc_push(&c->retire, t)) return;
  if (c->overflow_count < CORE_RETIRE_OVERFLOW) {
    c->overflow[c->overflow_count++] = t;
    return;
  }
  c->leaked.fetch_add(1, std::memory_order_relaxed);
}

void core_drain_overflow(Core* c) {
  int moved = 0;
  while (moved < c->overflow_count && spsc_push(&c->retire, c->overflow[moved])) moved++;
  if (moved == 0) return;
  for (int i = moved; i < c->overflow_count; i++) c->overflow[i - moved] = c->overflow[i];
  c->overflow_count -= moved;
  for (int i = c->overflow_count; i < CORE_RETIRE_OVERFLOW; i++) c->overflow[i] = nullptr;
}

void core_collect(Core* c, uint64_t now_ms) {
  if (!c) return;
  Tape* main = c->pub_main.load(std::memory_order_acquire);
  if (main) {
    int64_t end = tape_length(main);
    int64_t cursor = c->pub_cursor.load(std::memory_order_relaxed);
    tape_maintain(main, end > cursor ? end : cursor, 3, now_ms, &c->pub_callbacks);
  }
  Tape* cap = c->pub_capture.load(std::memory_order_acquire);
  if (cap) {
    int64_t end = tape_length(cap);
    int64_t pos = c->pub_capture_pos.load(std::memory_order_relaxed);
    tape_maintain(cap, end > pos ? end : pos, 3, now_ms, &c->pub_callbacks);
  }

  const uint64_t callbacks = c->pub_callbacks.load(std::memory_order_acquire);
  Tape* t = nullptr;
  while (c->deferred_count < CORE_DEFERRED_MAX && spsc_pop(&c->retire, &t))
    c->deferred[c->deferred_count++] = CoreDeferred{t, callbacks, now_ms};

  // Two further callbacks and 500 ms guarantee no callback still reads the tape; with no
  // stream running nothing can.
  const bool immediately = c->free_immediately.load(std::memory_order_relaxed);
  int keep = 0;
  for (int i = 0; i < c->deferred_count; i++) {
    CoreDeferred d = c->deferred[i];
    bool aged = callbacks - d.callbacks >= kRetireCallbacks && now_ms >= d.stamp_ms &&
                now_ms - d.stamp_ms >= kRetireMs;
    if (d.tape->refs.load(std::memory_order_acquire) == 0 && (immediately || aged)) {
      tape_free(d.tape);
    } else {
      c->deferred[keep++] = d;
    }
  }
  for (int i = keep; i < c->deferred_count; i++) c->deferred[i] = CoreDeferred{nullptr, 0, 0};
  c->deferred_count = keep;

  int32_t leaked = c->leaked.load(std::memory_order_relaxed);
  if (leaked != c->leaked_reported) {
    log_line("core: the retire ring overflowed - %ld tape%s leaked", (long)leaked,
             leaked == 1 ? "" : "s");
    c->leaked_reported = leaked;
  }
}

void core_free(Core* c) {
  if (!c) return;
  Tape* seen[CORE_FREE_MAX];
  int count = 0;
  auto add = [&](Tape* t) {
    if (!t) return;
    for (int i = 0; i < count; i++)
      if (seen[i] == t) return;
    if (count < CORE_FREE_MAX) seen[count++] = t;
  };
  add(c->main);
  add(c->capture);
  add(c->preview);
  for (int i = 0; i < c->overflow_count; i++) add(c->overflow[i]);
  {
    int64_t r = c->retire.read_index.load(std::memory_order_acquire);
    int64_t w = c->retire.write_index.load(std::memory_order_acquire);
    for (int64_t i = r; i < w; i++) add(c->retire.slots[i & (CORE_RETIRE_SLOTS - 1)]);
  }
  for (int i = 0; i < c->deferred_count; i++) add(c->deferred[i].tape);
  {
    // Tapes handed over in commands the core never applied are its to free as well.
    int64_t r = c->commands.read_index.load(std::memory_order_acquire);
    int64_t w = c->commands.write_index.load(std::memory_order_acquire);
    for (int64_t i = r; i < w; i++) {
      const CoreCommand& cmd = c->commands.slots[i & (CORE_COMMAND_SLOTS - 1)];
      if (cmd.kind == CMD_ATTACH) {
        add(cmd.tape);
        add(cmd.tape2);
      } else if (cmd.kind == CMD_PREVIEW_SET) {
        add(cmd.tape);
      }
    }
  }
  for (int i = 0; i < count; i++) {
    int32_t refs = seen[i]->refs.load(std::memory_order_acquire);
    if (refs > 0)
      log_line("core: freeing a tape a job still holds (%ld refs) at shutdown", (long)refs);
    tape_free(seen[i]);
  }
  std::free(c->scratch);
  delete c;
}
