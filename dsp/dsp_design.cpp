// Kaiser-window filter design: the length and shape for an attenuation and a
// transition width.
#include <math.h>

#include "dsp_math.h"
#include "dsp_stages.h"

static double BesselI0(double x) {
  double sum = 1.0, term = 1.0;
  for (int k = 1; k < 64 && term > 1e-17 * sum; k++) {
    const double f = x / (2.0 * k);
    term *= f * f;
    sum += term;
  }
  return sum;
}

int KaiserLength(double attenuationDb, double transition) {
  return int(ceil((attenuationDb - 7.95) / (14.36 * transition))) + 1;
}

double KaiserBeta(double attenuationDb) {
  if (attenuationDb > 50.0) return 0.1102 * (attenuationDb - 8.7);
  if (attenuationDb >= 21.0)
    return 0.5842 * pow(attenuationDb - 21.0, 0.4) + 0.07886 * (attenuationDb - 21.0);
  return 0.0;
}

double KaiserWindow(double u, double halfWidth, double beta) {
  const double r = u / halfWidth;
  if (r < -1.0 || r > 1.0) return 0.0;
  return BesselI0(beta * sqrt(fmax(0.0, 1.0 - r * r))) / BesselI0(beta);
}

double Sinc(double x) {
  if (fabs(x) < 1e-12) return 1.0;
  return sin(kPi * x) / (kPi * x);
}
