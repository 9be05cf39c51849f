// Whether the core's SSE2 paths are built: every x86-64 compiler has them; elsewhere the plain
// paths run.
#pragma once
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define CORE_SSE 1
#else
#define CORE_SSE 0
#endif

// The callback's block kernels also have sixteen-lane forms for processors with AVX-512 (F and
// DQ), chosen at run time. They do the same operations lane for lane as the four-lane code (no
// FMA contraction), so the same bits come out on either.
#if CORE_SSE && (defined(__GNUC__) || defined(__clang__)) && \
    (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define CORE_AVX512 1
#define CORE_AVX512_FN __attribute__((target("avx512f,avx512dq")))
#else
#define CORE_AVX512 0
#endif

// 16 where the processor runs the AVX-512 kernels, else 4; set before main runs. Tests lower it
// to compare the two.
extern int core_lanes;

#if CORE_AVX512
inline __mmask16 core_tail_mask(int left) {
  return (__mmask16)((1u << left) - 1u);
}
#endif
