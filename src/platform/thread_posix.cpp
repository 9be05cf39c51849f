#include <errno.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <new>

#include "platform/thread.h"

struct PlatformThread {
  pthread_t handle;
  void (*fn)(void*);
  void* arg;
};

namespace {

void* trampoline(void* p) {
  PlatformThread* t = static_cast<PlatformThread*>(p);
  t->fn(t->arg);
  return nullptr;
}

}  // namespace

unsigned long platform_thread_start(PlatformThread** out, void (*fn)(void*), void* arg) {
  *out = nullptr;
  PlatformThread* t = new (std::nothrow) PlatformThread{};
  if (!t) return ENOMEM;
  t->fn = fn;
  t->arg = arg;
  int e = pthread_create(&t->handle, nullptr, trampoline, t);
  if (e != 0) {
    delete t;
    return (unsigned long)e;
  }
  *out = t;
  return 0;
}

void platform_thread_join(PlatformThread* t) {
  if (!t) return;
  pthread_join(t->handle, nullptr);
  delete t;
}

unsigned long platform_thread_lower_priority() {
#ifdef __linux__
  // On Linux a nice value belongs to each thread, named by its thread id.
  id_t self = (id_t)syscall(SYS_gettid);
#else
  id_t self = 0;
#endif
  errno = 0;
  int now = getpriority(PRIO_PROCESS, self);
  if (now == -1 && errno != 0) return (unsigned long)errno;
  int want = now + 5 > 19 ? 19 : now + 5;
  if (setpriority(PRIO_PROCESS, self, want) != 0) return (unsigned long)errno;
  return 0;
}
