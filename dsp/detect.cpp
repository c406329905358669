// The detectors of AM and FM, at the channel's rate on its filtered samples. USB,
// LSB and CW need none: their channel is moved to its pitch and its real part
// is the audio.
#include <math.h>

#include "demod_stages.h"

void AmDetect(Demod& d, float* i, const float* q, int n) {
  // The envelope less its slowly followed mean: the carrier goes, the
  // modulation stays, and a fading carrier leaves no thump.
  for (int s = 0; s < n; s++) {
    const float e = sqrtf(i[s] * i[s] + q[s] * q[s]);
    d.dc += d.dcShare * (e - d.dc);
    i[s] = e - d.dc;
  }
}

// atan2(y, x) within 1e-5 radians, a polynomial in the smaller over the larger of
// the two: the C library's takes several times as long on some run-times.
static float Angle(float y, float x) {
  const float ax = fabsf(x), ay = fabsf(y);
  const float big = ax > ay ? ax : ay;
  if (big == 0.0f) return 0.0f;
  const float z = (ax > ay ? ay : ax) / big, z2 = z * z;
  float a =
      z * (0.99997726f +
           z2 * (-0.33262347f +
                 z2 * (0.19354346f + z2 * (-0.11643287f + z2 * (0.05265332f - 0.01172120f * z2)))));
  if (ay > ax) a = 1.57079633f - a;
  if (x < 0.0f) a = 3.14159265f - a;
  return y < 0.0f ? -a : a;
}

void FmDetect(Demod& d, float* i, const float* q, int n) {
  // The angle between each sample and the one before is the frequency; it
  // does not depend on the signal's level.
  for (int s = 0; s < n; s++) {
    const float re = i[s] * d.lastI + q[s] * d.lastQ;
    const float im = q[s] * d.lastI - i[s] * d.lastQ;
    d.lastI = i[s];
    d.lastQ = q[s];
    i[s] = Angle(im, re) * d.fmScale;
  }
}
