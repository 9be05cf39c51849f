// Whether the core's SSE2 paths are built: every x86-64 compiler has them; elsewhere the plain
// paths run.
#pragma once
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define CORE_SSE 1
#else
#define CORE_SSE 0
#endif
