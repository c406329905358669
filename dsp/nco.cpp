// The mixer: each sample times e^(-j phase), the phase kept in 64 bits so a retune
// or a long run never drifts. Four phasors step in float within a run of
// kNcoRun samples and restart from the exact phase after it.
#include <emmintrin.h>
#include <math.h>

#include "dsp_math.h"
#include "dsp_stages.h"

static const int kNcoRun = 256;

void NcoTune(Nco& nco, double shiftHz, double rate) {
  // Moving shiftHz to the centre is a turn of -shiftHz / rate per sample.
  double turns = -shiftHz / rate;
  turns -= floor(turns);
  const double scaled = ldexp(turns, 64);
  nco.step = scaled >= ldexp(1.0, 64) ? 0 : uint64_t(scaled);
  for (int k = 0; k < 4; k++) {
    nco.turnCos[k] = cos(kTwoPi * turns * k);
    nco.turnSin[k] = sin(kTwoPi * turns * k);
  }
  nco.stepCos = float(cos(kTwoPi * turns * 4));
  nco.stepSin = float(sin(kTwoPi * turns * 4));
}

static double Angle(uint64_t phase) {
  return ldexp(double(phase), -64) * kTwoPi;
}

// Four samples at a time from phasors (cr, ci), which step on by e^(j 4 step).
static void MixRun(const Nco& nco, const float* in, int n, double angle, float* outI, float* outQ) {
  float cr0[4], ci0[4];
  const double c = cos(angle) * nco.scale, s = sin(angle) * nco.scale;
  for (int k = 0; k < 4; k++) {
    cr0[k] = float(c * nco.turnCos[k] - s * nco.turnSin[k]);
    ci0[k] = float(c * nco.turnSin[k] + s * nco.turnCos[k]);
  }
  __m128 cr = _mm_loadu_ps(cr0), ci = _mm_loadu_ps(ci0);
  const __m128 wc = _mm_set1_ps(nco.stepCos), ws = _mm_set1_ps(nco.stepSin);
  for (int i = 0; i < n; i += 4) {
    const __m128 a = _mm_loadu_ps(in + 2 * i), b = _mm_loadu_ps(in + 2 * i + 4);
    const __m128 xi = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 xq = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
    _mm_storeu_ps(outI + i, _mm_sub_ps(_mm_mul_ps(xi, cr), _mm_mul_ps(xq, ci)));
    _mm_storeu_ps(outQ + i, _mm_add_ps(_mm_mul_ps(xi, ci), _mm_mul_ps(xq, cr)));
    const __m128 nr = _mm_sub_ps(_mm_mul_ps(cr, wc), _mm_mul_ps(ci, ws));
    ci = _mm_add_ps(_mm_mul_ps(cr, ws), _mm_mul_ps(ci, wc));
    cr = nr;
  }
}

void NcoMix(Nco& nco, const float* in, int n, float* outI, float* outQ) {
  int i = 0;
  while (n - i >= 4) {
    const int run = n - i < kNcoRun ? (n - i) & ~3 : kNcoRun;
    MixRun(nco, in + 2 * i, run, Angle(nco.phase), outI + i, outQ + i);
    nco.phase += nco.step * uint64_t(run);
    i += run;
  }
  for (; i < n; i++) {
    const double a = Angle(nco.phase);
    const float c = float(cos(a) * nco.scale), s = float(sin(a) * nco.scale);
    outI[i] = in[2 * i] * c - in[2 * i + 1] * s;
    outQ[i] = in[2 * i] * s + in[2 * i + 1] * c;
    nco.phase += nco.step;
  }
}
