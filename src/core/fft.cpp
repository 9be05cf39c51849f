#include "core/fft.h"

#include <cmath>
#include <cstdlib>
#include <utility>

namespace {
constexpr double kPi = 3.14159265358979323846;
}

FftPlan* fft_plan_new(int32_t n) {
  if (n < 1 || n > (1 << 24) || (n & (n - 1)) != 0) return nullptr;
  FftPlan* p = (FftPlan*)calloc(1, sizeof(FftPlan));
  if (!p) return nullptr;
  p->n = n;
  int32_t half = n / 2 > 0 ? n / 2 : 1;
  p->cos_table = (float*)malloc(sizeof(float) * (size_t)half);
  p->sin_table = (float*)malloc(sizeof(float) * (size_t)half);
  p->bitrev = (int32_t*)malloc(sizeof(int32_t) * (size_t)n);
  if (!p->cos_table || !p->sin_table || !p->bitrev) {
    fft_plan_free(p);
    return nullptr;
  }
  // Each twiddle straight from double trig: recurrences drift by the last stages.
  for (int32_t k = 0; k < half; k++) {
    double a = 2.0 * kPi * (double)k / (double)n;
    p->cos_table[k] = (float)std::cos(a);
    p->sin_table[k] = (float)std::sin(a);
  }
  int bits = 0;
  while ((1 << bits) < n) bits++;
  for (int32_t i = 0; i < n; i++) {
    int32_t r = 0;
    for (int b = 0; b < bits; b++) r |= ((i >> b) & 1) << (bits - 1 - b);
    p->bitrev[i] = r;
  }
  return p;
}

void fft_plan_free(FftPlan* plan) {
  if (!plan) return;
  free(plan->cos_table);
  free(plan->sin_table);
  free(plan->bitrev);
  free(plan);
}

namespace {

// sign = -1 forward, +1 inverse.
void fft_run(const FftPlan* p, float* re, float* im, float sign) {
  const int32_t n = p->n;
  for (int32_t i = 0; i < n; i++) {
    int32_t j = p->bitrev[i];
    if (j > i) {
      std::swap(re[i], re[j]);
      std::swap(im[i], im[j]);
    }
  }
  // First stage has only the twiddle 1.
  for (int32_t i = 0; i + 1 < n; i += 2) {
    float ar = re[i], ai = im[i], br = re[i + 1], bi = im[i + 1];
    re[i] = ar + br;
    im[i] = ai + bi;
    re[i + 1] = ar - br;
    im[i + 1] = ai - bi;
  }
  for (int32_t len = 4; len <= n; len <<= 1) {
    const int32_t half = len >> 1;
    const int32_t step = n / len;
    for (int32_t i = 0; i < n; i += len) {
      float* r0 = re + i;
      float* i0 = im + i;
      float* r1 = re + i + half;
      float* i1 = im + i + half;
      for (int32_t k = 0; k < half; k++) {
        float wr = p->cos_table[k * step];
        float wi = sign * p->sin_table[k * step];
        float tr = r1[k] * wr - i1[k] * wi;
        float ti = r1[k] * wi + i1[k] * wr;
        r1[k] = r0[k] - tr;
        i1[k] = i0[k] - ti;
        r0[k] += tr;
        i0[k] += ti;
      }
    }
  }
}

}  // namespace

void fft_forward(const FftPlan* plan, float* re, float* im) {
  fft_run(plan, re, im, -1.0f);
}
void fft_inverse(const FftPlan* plan, float* re, float* im) {
  fft_run(plan, re, im, 1.0f);
}
