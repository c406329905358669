// The channel filter: the sharp low-pass that makes a channel's passband, run at
// the channel's low rate, where a few hundred taps cost little. The history is
// kept ahead of the new samples, so each output is one dot product of plain loads.
#include <emmintrin.h>
#include <math.h>
#include <string.h>

#include "demod_stages.h"
#include "dsp_stages.h"

bool ChannelFilterDesign(ChannelFilter& f, double rate, double pass, double transition) {
  const int taps = (KaiserLength(kDesignDb, transition / rate) + 3) & ~3;
  if (taps > kChannelMaxTaps) return false;
  f.taps = taps;
  const double fc = (pass + 0.5 * transition) / rate, beta = KaiserBeta(kDesignDb);
  const double centre = 0.5 * (taps - 1);
  double sum = 0.0;
  for (int k = 0; k < taps; k++) {
    const double u = k - centre;
    f.coef[k] = float(2.0 * fc * Sinc(2.0 * fc * u) * KaiserWindow(u, 0.5 * taps, beta));
    sum += f.coef[k];
  }
  for (int k = 0; k < taps; k++) f.coef[k] = float(f.coef[k] / sum);  // unity gain at 0
  memset(f.xi, 0, sizeof f.xi);
  memset(f.xq, 0, sizeof f.xq);
  return true;
}

void ChannelFilterRun(ChannelFilter& f, const float* in, int n, float* outI, float* outQ) {
  const int held = f.taps - 1;
  for (int s = 0; s < n; s++) {
    f.xi[held + s] = in[2 * s];
    f.xq[held + s] = in[2 * s + 1];
  }
  for (int s = 0; s < n; s++) {
    __m128 accI = _mm_setzero_ps(), accQ = _mm_setzero_ps();
    for (int k = 0; k < f.taps; k += 4) {
      const __m128 h = _mm_loadu_ps(f.coef + k);
      accI = _mm_add_ps(accI, _mm_mul_ps(h, _mm_loadu_ps(f.xi + s + k)));
      accQ = _mm_add_ps(accQ, _mm_mul_ps(h, _mm_loadu_ps(f.xq + s + k)));
    }
    outI[s] = Sum4(accI);
    outQ[s] = Sum4(accQ);
  }
  memmove(f.xi, f.xi + n, sizeof(float) * held);
  memmove(f.xq, f.xq + n, sizeof(float) * held);
}
