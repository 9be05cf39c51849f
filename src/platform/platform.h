// Thin layer over the operating system: clocks, memory, floating-point mode, randomness.
// A Windows side would implement the same functions.
#pragma once
#include <cstddef>
#include <cstdint>

// Monotonic milliseconds since an arbitrary start; never goes backwards.
uint64_t platform_tick_ms();
// Monotonic seconds with sub-microsecond resolution (the performance counter).
double platform_seconds();

// Physical memory the system could hand out now, in bytes; 0 when unknown.
uint64_t platform_memory_available();

// Large blocks for audio memory: zero-filled, aligned to PLATFORM_HUGE_PAGE so the system can back
// them with huge pages (asked for, never required: where the system won't, they are plain pages).
// size is a multiple of PLATFORM_HUGE_PAGE. Null when memory runs out. Free with the same size.
enum : size_t { PLATFORM_HUGE_PAGE = size_t{2} << 20 };
void* platform_block_alloc(size_t size);
void platform_block_free(void* block, size_t size);
// Whether blocks ask for huge pages (on unless turned off; for tests and comparisons).
void platform_block_huge_pages(bool on);

// Flush denormal results to zero and treat denormal operands as zero.
// Returns the previous mode for platform_fpu_restore.
uint32_t platform_fpu_denormals_off();
void platform_fpu_restore(uint32_t previous);

// Scoped form for the audio callback: restores the mode on every way out.
struct PlatformDenormalGuard {
  uint32_t saved;
  PlatformDenormalGuard() : saved(platform_fpu_denormals_off()) {}
  ~PlatformDenormalGuard() { platform_fpu_restore(saved); }
  PlatformDenormalGuard(const PlatformDenormalGuard&) = delete;
  PlatformDenormalGuard& operator=(const PlatformDenormalGuard&) = delete;
};

void platform_cpu_pause();
void platform_thread_yield();
void platform_sleep_ms(uint32_t ms);

// Fills buf from the system's random generator. 0 on success, -1 when it is unavailable.
int platform_random(void* buf, size_t n);

// The user's profile folder ($HOME here). 0 and the path, or -1 when there is none.
int platform_profile_folder(char* out, size_t size);

// Where platform code that runs on its own (the shell's helper threads) reports a failure: one
// finished line starting with its module's name. The log plugs itself in here, so this layer
// never reaches up to it; until then lines go to the standard error stream.
typedef void (*PlatformReporter)(const char* line);
void platform_set_reporter(PlatformReporter reporter);
void platform_report(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Whether the processor runs AVX instructions (checked once).
bool platform_cpu_has_avx();
