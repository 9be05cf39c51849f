// In-place radix-2 complex FFT on split real/imaginary float arrays. A plan holds the
// twiddles and the bit-reversal order for one size, so repeated transforms cost no trig.
#pragma once
#include <cstdint>

struct FftPlan {
  int32_t n;         // power of two, >= 1
  float* cos_table;  // n / 2 entries: cos(2*pi*k / n)
  float* sin_table;  // n / 2 entries: sin(2*pi*k / n)
  int32_t* bitrev;   // n entries
};

// Null when n is not a power of two in 1..2^24 or memory runs out.
FftPlan* fft_plan_new(int32_t n);
void fft_plan_free(FftPlan* plan);

// Forward: X[k] = sum x[j] e^(-2*pi*i*j*k/n). Inverse uses e^(+...) and is not scaled by 1/n.
void fft_forward(const FftPlan* plan, float* re, float* im);
void fft_inverse(const FftPlan* plan, float* re, float* im);
