#include "support/rt_guard.h"

#include <pthread.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__) && defined(__x86_64__) && !defined(KELP_SANITIZED)
#define RT_GUARD_ACTIVE 1
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>
#endif

namespace {

#define RT_TLS static __thread __attribute__((tls_model("initial-exec")))

RT_TLS int t_armed;
RT_TLS uint64_t t_heap;
RT_TLS uint64_t t_sys;
RT_TLS long t_first_sys = -1;

}  // namespace

void rt_guard_arm() {
  t_armed++;
}
void rt_guard_disarm() {
  if (t_armed > 0) t_armed--;
}

#if RT_GUARD_ACTIVE

// ---------------------------------------------------------------------------------------------
// Heap calls: the program's own allocator entry points forward to glibc's and count when armed.
// They are linked into every test program that uses operator new; unarmed they only forward.

extern "C" {
void* __libc_malloc(size_t);
void __libc_free(void*);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void* __libc_valloc(size_t);
void* __libc_pvalloc(size_t);
}

namespace {

inline void note_heap() {
  if (t_armed) t_heap++;
}

void* new_or_die(size_t n, size_t align) {
  if (n == 0) n = 1;
  for (;;) {
    void* p = align ? __libc_memalign(align, n) : __libc_malloc(n);
    if (p) return p;
    std::new_handler h = std::get_new_handler();
    if (!h) std::abort();  // no exceptions here: the default new would throw and terminate
    h();
  }
}

}  // namespace

extern "C" {

void* malloc(size_t n) {
  note_heap();
  return __libc_malloc(n);
}
void free(void* p) {
  note_heap();
  __libc_free(p);
}
void* calloc(size_t n, size_t size) {
  note_heap();
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
  note_heap();
  return __libc_realloc(p, n);
}
void* memalign(size_t align, size_t n) {
  note_heap();
  return __libc_memalign(align, n);
}
void* aligned_alloc(size_t align, size_t n) {
  note_heap();
  return __libc_memalign(align, n);
}
void* valloc(size_t n) {
  note_heap();
  return __libc_valloc(n);
}
void* pvalloc(size_t n) {
  note_heap();
  return __libc_pvalloc(n);
}
int posix_memalign(void** out, size_t align, size_t n) {
  note_heap();
  if (align < sizeof(void*) || (align & (align - 1)) != 0) return EINVAL;
  void* p = __libc_memalign(align, n);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}

}  // extern "C"

void* operator new(size_t n) {
  note_heap();
  return new_or_die(n, 0);
}
void* operator new[](size_t n) {
  note_heap();
  return new_or_die(n, 0);
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  note_heap();
  return __libc_malloc(n ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
  note_heap();
  return __libc_malloc(n ? n : 1);
}
void* operator new(size_t n, std::align_val_t a) {
  note_heap();
  return new_or_die(n, (size_t)a);
}
void* operator new[](size_t n, std::align_val_t a) {
  note_heap();
  return new_or_die(n, (size_t)a);
}
void* operator new(size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  note_heap();
  return __libc_memalign((size_t)a, n ? n : 1);
}
void* operator new[](size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  note_heap();
  return __libc_memalign((size_t)a, n ? n : 1);
}
void operator delete(void* p) noexcept {
  note_heap();
  __libc_free(p);
}
void operator delete[](void* p) noexcept {
  note_heap();
  __libc_free(p);
}
void operator delete(void* p, size_t) noexcept {
  note_heap();
  __libc_free(p);
}
void operator delete[](void* p, size_t) noexcept {
  note_heap();
  __libc_free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  note_heap();
  __libc_free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  note_heap();
  __libc_free(p);
}
void operator delete(void* p, size_t, std::align_val_t) noexcept {
  note_heap();
  __libc_free(p);
}
void operator delete[](void* p, size_t, std::align_val_t) noexcept {
  note_heap();
  __libc_free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  note_heap();
  __libc_free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  note_heap();
  __libc_free(p);
}

// ---------------------------------------------------------------------------------------------
// System calls: the guarded thread's filter traps every call except the ones made from this
// trampoline, so the SIGSYS handler can count a call and then make it for real.

extern "C" long rt_guard_raw_syscall(long nr, long a, long b, long c, long d, long e, long f);
extern "C" const char rt_guard_raw_syscall_ret[];

asm(R"(
  .pushsection .text
  .globl rt_guard_raw_syscall
  .hidden rt_guard_raw_syscall
  .type rt_guard_raw_syscall, @function
rt_guard_raw_syscall:
  movq %rdi, %rax
  movq %rsi, %rdi
  movq %rdx, %rsi
  movq %rcx, %rdx
  movq %r8, %r10
  movq %r9, %r8
  movq 8(%rsp), %r9
  syscall
  .globl rt_guard_raw_syscall_ret
  .hidden rt_guard_raw_syscall_ret
rt_guard_raw_syscall_ret:
  ret
  .size rt_guard_raw_syscall, .-rt_guard_raw_syscall
  .popsection
)");

namespace {

// The handler keeps its own mask in the interrupted context, since a real sigprocmask made
// from inside it would be undone by sigreturn. SIGSYS itself must stay deliverable.
long emulate_sigprocmask(ucontext_t* uc, long how, const uint64_t* set, uint64_t* old, long size) {
  if (size != 8) return -EINVAL;
  uint64_t cur;
  std::memcpy(&cur, &uc->uc_sigmask, sizeof cur);
  if (old) *old = cur;
  if (set) {
    uint64_t s = *set;
    if (how == SIG_BLOCK)
      cur |= s;
    else if (how == SIG_UNBLOCK)
      cur &= ~s;
    else if (how == SIG_SETMASK)
      cur = s;
    else
      return -EINVAL;
    cur &= ~((1ull << (SIGKILL - 1)) | (1ull << (SIGSTOP - 1)) | (1ull << (SIGSYS - 1)));
    std::memcpy(&uc->uc_sigmask, &cur, sizeof cur);
  }
  return 0;
}

void on_sigsys(int, siginfo_t* si, void* ctx) {
  ucontext_t* uc = static_cast<ucontext_t*>(ctx);
  greg_t* g = uc->uc_mcontext.gregs;
  long nr = si->si_syscall;
  if (t_armed) {
    t_sys++;
    if (t_first_sys < 0) t_first_sys = nr;
  }
  long r;
  if (nr == SYS_rt_sigprocmask) {
    r = emulate_sigprocmask(uc, g[REG_RDI], reinterpret_cast<const uint64_t*>(g[REG_RSI]),
                            reinterpret_cast<uint64_t*>(g[REG_RDX]), g[REG_R10]);
  } else {
    r = rt_guard_raw_syscall(nr, g[REG_RDI], g[REG_RSI], g[REG_RDX], g[REG_R10], g[REG_R8],
                             g[REG_R9]);
  }
  g[REG_RAX] = r;
}

bool install_handler() {
  static bool installed = [] {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = on_sigsys;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    return sigaction(SIGSYS, &sa, nullptr) == 0;
  }();
  return installed;
}

bool install_filter() {
  const uint64_t ip = (uint64_t)(uintptr_t)rt_guard_raw_syscall_ret;
  const uint32_t lo = (uint32_t)ip, hi = (uint32_t)(ip >> 32);
  const uint32_t ip_off = offsetof(struct seccomp_data, instruction_pointer);
  struct sock_filter f[] = {
      /* 0 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      /* 1 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      /* 2 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      /* 3 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      /* 4 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_rt_sigreturn, 7, 0),
      /* 5 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_exit, 6, 0),
      /* 6 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_exit_group, 5, 0),
      /* 7 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, ip_off),
      /* 8 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, lo, 0, 2),
      /* 9 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, ip_off + 4),
      /* 10 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, hi, 1, 0),
      /* 11 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
      /* 12 */ BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog prog;
  prog.len = (unsigned short)(sizeof f / sizeof f[0]);
  prog.filter = f;
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  // No SECCOMP_FILTER_FLAG_TSYNC: the filter binds this thread (and threads it starts) only.
  return syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) == 0;
}

}  // namespace

#endif  // RT_GUARD_ACTIVE

namespace {

struct GuardJob {
  void (*body)(void*);
  void* arg;
  RtGuardReport* out;
};

void* guard_thread(void* p) {
  GuardJob* job = static_cast<GuardJob*>(p);
  RtGuardReport r;
  std::memset(&r, 0, sizeof r);
  r.first_syscall = -1;
#if RT_GUARD_ACTIVE
  r.heap_counted = true;
  r.syscalls_counted = install_handler() && install_filter();
#endif
  t_armed = 0;
  t_heap = 0;
  t_sys = 0;
  t_first_sys = -1;
  job->body(job->arg);
  t_armed = 0;
  r.heap_calls = t_heap;
  r.syscalls = t_sys;
  r.first_syscall = t_first_sys;
  *job->out = r;
  return nullptr;
}

}  // namespace

bool rt_guard_available(const char** why) {
#if RT_GUARD_ACTIVE
  if (why) *why = "";
  return true;
#elif defined(KELP_SANITIZED)
  if (why) *why = "sanitizer runtimes own the allocator and make system calls of their own";
  return false;
#else
  if (why) *why = "system-call trapping is implemented for x86-64 Linux only";
  return false;
#endif
}

bool rt_guard_run_fn(void (*body)(void*), void* arg, RtGuardReport* out) {
  GuardJob job{body, arg, out};
  pthread_t th;
  if (pthread_create(&th, nullptr, guard_thread, &job) != 0) return false;
  pthread_join(th, nullptr);
  return true;
}
