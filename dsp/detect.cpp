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

void FmDetect(Demod& d, float* i, const float* q, int n) {
  // The angle between each sample and the one before is the frequency; it
  // does not depend on the signal's level.
  for (int s = 0; s < n; s++) {
    const float re = i[s] * d.lastI + q[s] * d.lastQ;
    const float im = q[s] * d.lastI - i[s] * d.lastQ;
    d.lastI = i[s];
    d.lastQ = q[s];
    i[s] = atan2f(im, re) * d.fmScale;
  }
}
