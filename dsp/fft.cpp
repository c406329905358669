#include "fft.h"

#include <emmintrin.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "dsp_math.h"

bool FftPlanInit(FftPlan& plan, int size) {
  memset(&plan, 0, sizeof plan);
  if (!IsPowerOfTwo(size) || size < kFftMinSize || size > kFftMaxSize) return false;
  // Twiddles: 6 m floats for each radix-4 pass, m = size/4, size/16, ...: under 2 size.
  plan.memory = malloc(sizeof(float) * 4 * size_t(size));
  if (!plan.memory) return false;
  plan.size = size;
  plan.twiddles = static_cast<float*>(plan.memory);
  plan.scratchRe = plan.twiddles + 2 * size;
  plan.scratchIm = plan.scratchRe + size;
  float* w = plan.twiddles;
  for (int n = size; n >= 4; n /= 4) {
    const int m = n / 4;
    for (int k = 1; k <= 3; k++) {
      for (int p = 0; p < m; p++) {
        const double a = -kTwoPi * double(k) * double(p) / double(n);
        w[p] = float(cos(a));
        w[m + p] = float(sin(a));
      }
      w += 2 * m;
    }
  }
  return true;
}

void FftPlanFree(FftPlan& plan) {
  free(plan.memory);
  memset(&plan, 0, sizeof plan);
}

namespace {

struct Planar {
  float* re;
  float* im;
};

struct Vec {
  __m128 re, im;
};

inline Vec load(const Planar& x, int at) {
  return Vec{_mm_loadu_ps(x.re + at), _mm_loadu_ps(x.im + at)};
}

inline void store(const Planar& y, int at, const Vec& v) {
  _mm_storeu_ps(y.re + at, v.re);
  _mm_storeu_ps(y.im + at, v.im);
}

inline Vec add(const Vec& a, const Vec& b) {
  return Vec{_mm_add_ps(a.re, b.re), _mm_add_ps(a.im, b.im)};
}

inline Vec sub(const Vec& a, const Vec& b) {
  return Vec{_mm_sub_ps(a.re, b.re), _mm_sub_ps(a.im, b.im)};
}

inline Vec mul(const Vec& a, __m128 wr, __m128 wi) {
  return Vec{_mm_sub_ps(_mm_mul_ps(a.re, wr), _mm_mul_ps(a.im, wi)),
             _mm_add_ps(_mm_mul_ps(a.re, wi), _mm_mul_ps(a.im, wr))};
}

// The radix-4 butterfly of a, b, c, d (taken m apart); out[k] before its twiddle W^kp.
inline void butterfly(const Vec& a, const Vec& b, const Vec& c, const Vec& d, Vec out[4]) {
  const Vec apc = add(a, c), amc = sub(a, c), bpd = add(b, d), bmd = sub(b, d);
  // j (b - d) = (-(b - d).im, (b - d).re)
  out[0] = add(apc, bpd);
  out[1] = Vec{_mm_add_ps(amc.re, bmd.im), _mm_sub_ps(amc.im, bmd.re)};
  out[2] = sub(apc, bpd);
  out[3] = Vec{_mm_sub_ps(amc.re, bmd.im), _mm_add_ps(amc.im, bmd.re)};
}

// The first pass (stride 1): four values of p at a time, their twiddles loaded
// as they lie; outputs 4p .. 4p + 3 are consecutive, so the four results are
// transposed before they are stored.
void firstPass(int n, const float* w, const Planar& x, const Planar& y) {
  const int m = n / 4;
  for (int p = 0; p < m; p += 4) {
    Vec o[4];
    butterfly(load(x, p), load(x, p + m), load(x, p + 2 * m), load(x, p + 3 * m), o);
    for (int k = 1; k <= 3; k++) {
      const float* wk = w + 2 * m * (k - 1);
      o[k] = mul(o[k], _mm_loadu_ps(wk + p), _mm_loadu_ps(wk + m + p));
    }
    _MM_TRANSPOSE4_PS(o[0].re, o[1].re, o[2].re, o[3].re);
    _MM_TRANSPOSE4_PS(o[0].im, o[1].im, o[2].im, o[3].im);
    for (int k = 0; k < 4; k++) store(y, 4 * (p + k), o[k]);
  }
}

// A later pass (stride s >= 4): one twiddle for each p, four values of q at a time.
void laterPass(int n, int s, const float* w, const Planar& x, const Planar& y) {
  const int m = n / 4;
  for (int p = 0; p < m; p++) {
    __m128 wr[4], wi[4];
    for (int k = 1; k <= 3; k++) {
      const float* wk = w + 2 * m * (k - 1);
      wr[k] = _mm_set1_ps(wk[p]);
      wi[k] = _mm_set1_ps(wk[m + p]);
    }
    for (int q = 0; q < s; q += 4) {
      Vec o[4];
      butterfly(load(x, q + s * p), load(x, q + s * (p + m)), load(x, q + s * (p + 2 * m)),
                load(x, q + s * (p + 3 * m)), o);
      store(y, q + s * 4 * p, o[0]);
      for (int k = 1; k <= 3; k++) store(y, q + s * (4 * p + k), mul(o[k], wr[k], wi[k]));
    }
  }
}

// The last pass of an odd power of two: radix 2, stride s = size / 2, no twiddles.
void radix2Pass(int s, const Planar& x, const Planar& y) {
  for (int q = 0; q < s; q += 4) {
    const Vec a = load(x, q), b = load(x, q + s);
    store(y, q, add(a, b));
    store(y, q + s, sub(a, b));
  }
}

}  // namespace

void FftForward(const FftPlan& plan, float* re, float* im) {
  Planar x{re, im}, y{plan.scratchRe, plan.scratchIm};
  const float* w = plan.twiddles;
  int n = plan.size, s = 1;
  for (; n >= 4; n /= 4, s *= 4) {
    if (s == 1) {
      firstPass(n, w, x, y);
    } else {
      laterPass(n, s, w, x, y);
    }
    w += 6 * (n / 4);
    const Planar t = x;
    x = y;
    y = t;
  }
  if (n == 2) {
    radix2Pass(s, x, y);
    const Planar t = x;
    x = y;
    y = t;
  }
  if (x.re != re) {
    memcpy(re, x.re, sizeof(float) * size_t(plan.size));
    memcpy(im, x.im, sizeof(float) * size_t(plan.size));
  }
}
