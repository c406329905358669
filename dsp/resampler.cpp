// Resampling by any ratio: a bank of up to kResamplerPhases + 1 filters, each the
// low-pass at a fraction of an input sample's delay, interpolated linearly for
// the delay of each output. The delay is kept as an exact fraction rem / den, so
// the output rate is what was asked for without drift.
#include <emmintrin.h>
#include <math.h>
#include <string.h>

#include "dsp_stages.h"

static bool IsWhole(double x) {
  return x >= 1.0 && x < 2147483648.0 && fabs(x - floor(x + 0.5)) < 1e-9;
}

static uint64_t Gcd(uint64_t a, uint64_t b) {
  while (b) {
    const uint64_t t = a % b;
    a = b;
    b = t;
  }
  return a;
}

// The step (input samples per output) as whole + stepRem / den.
static void SetStep(Resampler& rs, double inRate, double outRate) {
  uint64_t num, den;
  if (IsWhole(inRate) && IsWhole(outRate)) {
    num = uint64_t(floor(inRate + 0.5));
    den = uint64_t(floor(outRate + 0.5));
    const uint64_t g = Gcd(num, den);
    num /= g;
    den /= g;
  } else {
    den = uint64_t(1) << 32;
    num = uint64_t(llround(inRate / outRate * double(den)));
  }
  rs.den = den;
  rs.whole = num / den;
  rs.stepRem = num % den;
  rs.invDen = 1.0 / double(den);
}

bool ResamplerDesign(Resampler& rs, double inRate, double outRate, double pass, double stop) {
  const int taps = (KaiserLength(kDesignDb, stop - pass) + 3) & ~3;
  if (taps > kResamplerMaxTaps) return false;
  rs.taps = taps;
  SetStep(rs, inRate, outRate);
  // Where the outputs fall on at most kResamplerPhases delays, the bank holds
  // exactly those and needs no interpolation.
  rs.exact = rs.den <= uint64_t(kResamplerPhases);
  const int phases = rs.exact ? int(rs.den) : kResamplerPhases;
  const double fc = 0.5 * (pass + stop), beta = KaiserBeta(kDesignDb);
  double sum = 0.0;
  for (int p = 0; p <= phases; p++) {
    for (int k = 0; k < taps; k++) {
      const double u = taps / 2 - 1 + double(p) / phases - k;
      const double g = 2.0 * fc * Sinc(2.0 * fc * u) * KaiserWindow(u, taps / 2.0, beta);
      rs.coef[p * taps + k] = float(g);
      if (p < phases) sum += g;
    }
  }
  const float norm = float(phases / sum);  // unity gain at 0 on average
  for (int q = 0; q < (phases + 1) * taps; q++) rs.coef[q] *= norm;
  rs.count = 0;
  rs.index = 0;
  rs.rem = 0;
  return true;
}

void ResamplerPush(Resampler& rs, const float* i, const float* q, int n) {
  memcpy(rs.xi + rs.count, i, sizeof(float) * n);
  memcpy(rs.xq + rs.count, q, sizeof(float) * n);
  rs.count += n;
}

// One output from the taps at x: the filters of phases p and p + 1 mixed by a,
// or phase p alone where the bank is exact.
template <bool kMix>
static void Output(const Resampler& rs, const float* xi, const float* xq, int p, float a,
                   float* out) {
  const float* c0 = rs.coef + p * rs.taps;
  const float* c1 = c0 + rs.taps;
  const __m128 va = _mm_set1_ps(a);
  __m128 accI = _mm_setzero_ps(), accQ = _mm_setzero_ps();
  for (int k = 0; k < rs.taps; k += 4) {
    __m128 h = _mm_loadu_ps(c0 + k);
    if (kMix) h = _mm_add_ps(h, _mm_mul_ps(va, _mm_sub_ps(_mm_loadu_ps(c1 + k), h)));
    accI = _mm_add_ps(accI, _mm_mul_ps(h, _mm_loadu_ps(xi + k)));
    accQ = _mm_add_ps(accQ, _mm_mul_ps(h, _mm_loadu_ps(xq + k)));
  }
  out[0] = Sum4(accI);
  out[1] = Sum4(accQ);
}

template <bool kMix>
static int Outputs(Resampler& rs, float* out) {
  int outs = 0;
  while (rs.index + rs.taps <= uint64_t(rs.count)) {
    const double f = kMix ? double(rs.rem) * rs.invDen * kResamplerPhases : double(rs.rem);
    const int p = int(f);
    Output<kMix>(rs, rs.xi + rs.index, rs.xq + rs.index, p, float(f - p), out + 2 * outs);
    outs++;
    rs.index += rs.whole;
    rs.rem += rs.stepRem;
    if (rs.rem >= rs.den) {
      rs.rem -= rs.den;
      rs.index++;
    }
  }
  return outs;
}

int ResamplerRun(Resampler& rs, float* out) {
  const int outs = rs.exact ? Outputs<false>(rs, out) : Outputs<true>(rs, out);
  const int drop = rs.index < uint64_t(rs.count) ? int(rs.index) : rs.count;
  memmove(rs.xi, rs.xi + drop, sizeof(float) * (rs.count - drop));
  memmove(rs.xq, rs.xq + drop, sizeof(float) * (rs.count - drop));
  rs.count -= drop;
  rs.index -= drop;
  return outs;
}
