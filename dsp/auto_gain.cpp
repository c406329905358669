#include "auto_gain.h"

#include <math.h>

void AutoGainReset(AutoGain& a, IqFormat f, double rate) {
  a.db = 0;
  a.started = false;
  a.quiet = 0;
  a.riseSamples = int64_t(rate * kAutoGainRiseSeconds);
  if (a.riseSamples < 1) a.riseSamples = 1;
  // The positive side is one step short of full scale: 255 of 128 + 128x,
  // 32767 of 32768x.
  switch (f) {
    case kIqU8Centre128:
      a.top = 127.0f / 128.0f;
      break;
    case kIqU8Centre1275:
      a.top = 1.0f;
      break;
    case kIqS16:
      a.top = 32767.0f / 32768.0f;
      break;
    case kIqS24:
      a.top = 8388607.0f / 8388608.0f;
      break;
    case kIqF32:
      a.top = 1.0f;
      break;
  }
}

float AutoGainFactor(int db) {
  return float(pow(10.0, db / 20.0));
}

static float peakOf(const float* iq, int n) {
  float peak = 0.0f;
  for (int i = 0; i < 2 * n; i++) {
    float v = fabsf(iq[i]);
    peak = v > peak ? v : peak;
  }
  return peak;
}

// The largest whole dB that packs peak without clipping.
static int fitOf(const AutoGain& a, float peak) {
  if (!(peak > 0.0f)) return kAutoGainMaxDb;
  double room = 20.0 * log10(double(a.top) / double(peak));
  int db = room < 0.0 ? 0 : room > kAutoGainMaxDb ? kAutoGainMaxDb : int(room);
  while (db > 0 && peak * AutoGainFactor(db) > a.top) db--;
  return db;
}

int AutoGainNext(AutoGain& a, const float* iq, int n) {
  int fit = fitOf(a, peakOf(iq, n));
  if (!a.started) {
    a.started = true;
    a.db = fit > kAutoGainHeadroomDb ? fit - kAutoGainHeadroomDb : 0;
  } else if (fit < a.db) {
    a.db = fit;
    a.quiet = 0;
  } else if (fit - a.db > kAutoGainHeadroomDb) {
    a.quiet += n;
    if (a.quiet >= a.riseSamples) {
      a.db++;
      a.quiet = 0;
    }
  } else {
    a.quiet = 0;
  }
  return a.db;
}
