// Decimation by two with a half-band filter: every other tap but the centre is
// zero, so an output costs one multiply per pair of symmetric taps. The input is
// kept split into even and odd samples, so four outputs come from plain loads.
#include <emmintrin.h>
#include <string.h>

#include "dsp_stages.h"

bool HalfBandDesign(HalfBand& hb, double pass) {
  const int length = KaiserLength(kDesignDb, 0.5 - 2.0 * pass);
  const int k = length <= 3 ? 0 : length / 4;  // length 4k + 3 >= length: both ends non-zero
  hb.pairs = k + 1;
  if (hb.pairs > kHalfBandMaxPairs) return false;
  const double beta = KaiserBeta(kDesignDb), half = 2.0 * k + 1.0;
  double sum = 0.0;
  double taps[kHalfBandMaxPairs];
  for (int j = 0; j < hb.pairs; j++) {
    const double n = 2.0 * j + 1.0;
    taps[j] = 0.5 * Sinc(n / 2.0) * KaiserWindow(n, half, beta);
    sum += taps[j];
  }
  // Side taps summing to 1/4 on each side make the gain at 0 exactly 1.
  for (int j = 0; j < hb.pairs; j++) hb.taps[j] = float(taps[j] * 0.25 / sum);
  hb.count = 0;
  return true;
}

int HalfBandHeld(const HalfBand& hb) {
  return 4 * hb.pairs;
}

void HalfBandPush(HalfBand& hb, float* pool, const float* i, const float* q, int n) {
  float* ei = pool + hb.offset;
  float* eq = ei + hb.capacity;
  float* oi = eq + hb.capacity;
  float* oq = oi + hb.capacity;
  for (int s = 0; s < n; s++) {
    const int t = hb.count + s;
    if (t & 1) {
      oi[t >> 1] = i[s];
      oq[t >> 1] = q[s];
    } else {
      ei[t >> 1] = i[s];
      eq[t >> 1] = q[s];
    }
  }
  hb.count += n;
}

// Output m is 0.5 o[m + J - 1] + sum over j of h_j (e[m + J - 1 - j] + e[m + J + j]).
static __m128 Filter4(const HalfBand& hb, const float* e, const float* o, int m) {
  const int c = hb.pairs - 1;
  __m128 acc = _mm_mul_ps(_mm_set1_ps(0.5f), _mm_loadu_ps(o + m + c));
  for (int j = 0; j < hb.pairs; j++) {
    const __m128 pair = _mm_add_ps(_mm_loadu_ps(e + m + c - j), _mm_loadu_ps(e + m + c + 1 + j));
    acc = _mm_add_ps(acc, _mm_mul_ps(_mm_set1_ps(hb.taps[j]), pair));
  }
  return acc;
}

int HalfBandRun(HalfBand& hb, float* pool, float* yI, float* yQ) {
  float* ei = pool + hb.offset;
  float* eq = ei + hb.capacity;
  float* oi = eq + hb.capacity;
  float* oq = oi + hb.capacity;
  const int evens = (hb.count + 1) / 2, odds = hb.count / 2;
  const int a = evens - 2 * hb.pairs, b = odds - hb.pairs;
  const int outs = (a < b ? a : b) + 1;
  if (outs <= 0) return 0;
  // The last group of four may read past the held samples: the arrays are padded,
  // and the outputs past `outs` are never used.
  for (int m = 0; m < outs; m += 4) {
    _mm_storeu_ps(yI + m, Filter4(hb, ei, oi, m));
    _mm_storeu_ps(yQ + m, Filter4(hb, eq, oq, m));
  }
  memmove(ei, ei + outs, sizeof(float) * (evens - outs));
  memmove(eq, eq + outs, sizeof(float) * (evens - outs));
  memmove(oi, oi + outs, sizeof(float) * (odds - outs));
  memmove(oq, oq + outs, sizeof(float) * (odds - outs));
  hb.count -= 2 * outs;
  return outs;
}
