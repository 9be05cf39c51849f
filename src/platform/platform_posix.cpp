#include "platform/platform.h"

#include <sched.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#include <xmmintrin.h>
#endif

uint64_t platform_tick_ms() {
  // Counts time spent suspended too, so a wake from sleep shows up as a jump.
  struct timespec ts;
  if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0) clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

double platform_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

uint64_t platform_memory_available() {
  // MemAvailable counts reclaimable cache, which is what "available now" means to a user.
  FILE* f = fopen("/proc/meminfo", "r");
  if (f) {
    char line[256];
    unsigned long long kb = 0;
    bool found = false;
    while (fgets(line, sizeof line, f)) {
      if (sscanf(line, "MemAvailable: %llu kB", &kb) == 1) {
        found = true;
        break;
      }
    }
    fclose(f);
    if (found) return (uint64_t)kb * 1024u;
  }
  long pages = sysconf(_SC_AVPHYS_PAGES);
  long size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || size <= 0) return 0;
  return (uint64_t)pages * (uint64_t)size;
}

namespace {
std::atomic<bool> g_huge_pages{true};
}

void platform_block_huge_pages(bool on) {
  g_huge_pages.store(on, std::memory_order_relaxed);
}

void* platform_block_alloc(size_t size) {
  if (size == 0 || size % PLATFORM_HUGE_PAGE != 0) return nullptr;
#ifdef KELP_SANITIZED
  // From the heap, so the sanitizers see every access past a block's end.
  void* block = aligned_alloc(PLATFORM_HUGE_PAGE, size);
  if (block) memset(block, 0, size);
  return block;
#endif
  // Map one huge page more than asked and trim both ends to the alignment.
  const size_t span = size + PLATFORM_HUGE_PAGE;
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  uintptr_t at = (uintptr_t)raw;
  uintptr_t aligned = (at + PLATFORM_HUGE_PAGE - 1) & ~(uintptr_t)(PLATFORM_HUGE_PAGE - 1);
  if (aligned > at) munmap(raw, aligned - at);
  uintptr_t end = at + span, used = aligned + size;
  if (end > used) munmap((void*)used, end - used);
  // EINVAL where the kernel has no huge pages: the block is still good memory.
  if (g_huge_pages.load(std::memory_order_relaxed)) madvise((void*)aligned, size, MADV_HUGEPAGE);
  return (void*)aligned;
}

void platform_block_free(void* block, size_t size) {
#ifdef KELP_SANITIZED
  (void)size;
  free(block);
#else
  if (block && size) munmap(block, size);
#endif
}

uint32_t platform_fpu_denormals_off() {
#if defined(__x86_64__) || defined(__i386__)
  uint32_t old = _mm_getcsr();
  _mm_setcsr(old | 0x8040u);  // FTZ (bit 15) and DAZ (bit 6)
  return old;
#elif defined(__aarch64__)
  uint64_t fpcr;
  __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
  __asm__ volatile("msr fpcr, %0" ::"r"(fpcr | (1ull << 24)));
  return (uint32_t)fpcr;
#else
  return 0;
#endif
}

void platform_fpu_restore(uint32_t previous) {
#if defined(__x86_64__) || defined(__i386__)
  _mm_setcsr(previous);
#elif defined(__aarch64__)
  uint64_t v = previous;
  __asm__ volatile("msr fpcr, %0" ::"r"(v));
#else
  (void)previous;
#endif
}

void platform_cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__)
  __asm__ volatile("yield");
#endif
}

void platform_thread_yield() { sched_yield(); }

void platform_sleep_ms(uint32_t ms) {
  struct timespec ts;
  ts.tv_sec = ms / 1000u;
  ts.tv_nsec = (long)(ms % 1000u) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

int platform_random(void* buf, size_t n) {
  unsigned char* p = (unsigned char*)buf;
  size_t got = 0;
  while (got < n) {
    ssize_t r = getrandom(p + got, n - got, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    got += (size_t)r;
  }
  return 0;
}

int platform_profile_folder(char* out, size_t size) {
  const char* home = getenv("HOME");
  if (!home || !*home || size == 0) return -1;
  size_t n = strlen(home);
  if (n >= size) return -1;
  memcpy(out, home, n + 1);
  return 0;
}

namespace {
std::atomic<PlatformReporter> g_reporter{nullptr};
}

void platform_set_reporter(PlatformReporter reporter) {
  g_reporter.store(reporter);
}

void platform_report(const char* fmt, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  PlatformReporter r = g_reporter.load();
  if (r)
    r(line);
  else
    fprintf(stderr, "%s\n", line);
}

bool platform_cpu_has_avx() {
#if defined(__x86_64__) || defined(__i386__)
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx") != 0;
  }();
  return has;
#else
  return false;
#endif
}
