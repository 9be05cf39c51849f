// Counts what real-time code must never do - heap calls and system calls - on one thread.
//
// rt_guard_run starts a fresh thread that traps every system call it makes (a seccomp filter
// installed without TSYNC, so no other thread is affected) and runs the body there. Trapped
// calls are carried out on the body's behalf, so the body works normally; inside an
// RtGuardScope each one is counted, as is every malloc/calloc/realloc/free/aligned
// allocation and every operator new/delete. Typical use:
//
//   RtGuardReport r;
//   rt_guard_run([&] { ...setup...; { RtGuardScope armed; callback(); } }, &r);
//   EXPECT_EQ(r.heap_calls, 0u);  EXPECT_EQ(r.syscalls, 0u);
//
// Calls through the vDSO (clock_gettime) are not system calls and are not counted. Counting is
// unavailable under sanitizers (their runtimes own malloc and use system calls freely):
// rt_guard_available says why.
#pragma once
#include <cstdint>
#include <type_traits>

struct RtGuardReport {
  uint64_t heap_calls;    // allocator calls made while armed
  uint64_t syscalls;      // system calls made while armed
  long first_syscall;     // number of the first counted system call, -1 when none
  bool heap_counted;      // allocator calls were being counted
  bool syscalls_counted;  // the system-call trap was installed
};

// False (with the reason) when this build or system cannot count.
bool rt_guard_available(const char** why);

// Runs body(arg) on a guarded thread; false when the thread could not be started.
bool rt_guard_run_fn(void (*body)(void*), void* arg, RtGuardReport* out);

template <typename F>
bool rt_guard_run(F&& body, RtGuardReport* out) {
  using Fn = std::remove_reference_t<F>;
  return rt_guard_run_fn([](void* p) { (*static_cast<Fn*>(p))(); }, (void*)&body, out);
}

// Counting on the calling thread; nests.
void rt_guard_arm();
void rt_guard_disarm();

struct RtGuardScope {
  RtGuardScope() { rt_guard_arm(); }
  ~RtGuardScope() { rt_guard_disarm(); }
  RtGuardScope(const RtGuardScope&) = delete;
  RtGuardScope& operator=(const RtGuardScope&) = delete;
};
