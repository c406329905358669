// The audio's level: a steady gain for decoders, or an AGC for a listener, then
// rounding to 16 bits with clipping.
#include <math.h>

#include "demod_stages.h"

static const double kAttackSeconds = 0.0005;
static const double kHangSeconds = 0.5;
static const double kDecayDbPerSecond = 20.0;

void AgcInit(Agc& agc, double audioRate) {
  agc.attack = float(1.0 - exp(-1.0 / (kAttackSeconds * audioRate)));
  agc.decay = float(pow(10.0, -kDecayDbPerSecond / 20.0 / audioRate));
  agc.lowest = float(kDemodAgcTarget / kDemodAgcMaxGain);
  agc.envelope = agc.lowest;
  agc.hang = int(kHangSeconds * audioRate);
  agc.hangLeft = 0;
}

static int16_t ToPcm(float v) {
  v *= 32768.0f;
  if (v >= 32767.0f) return 32767;
  if (v <= -32768.0f) return -32768;
  return int16_t(lrintf(v));
}

// The envelope follows a higher peak within milliseconds, holds through the hang,
// then falls at kDecayDbPerSecond: speech and keying keep one level.
static float Envelope(Agc& agc, float x) {
  const float a = fabsf(x);
  if (a > agc.envelope) {
    agc.envelope += agc.attack * (a - agc.envelope);
    agc.hangLeft = agc.hang;
  } else if (agc.hangLeft > 0) {
    agc.hangLeft--;
  } else {
    agc.envelope *= agc.decay;
  }
  if (agc.envelope < agc.lowest) agc.envelope = agc.lowest;
  return agc.envelope;
}

void LevelRun(Demod& d, const float* x, int n, int16_t* out) {
  // FM's level is its deviation: the AGC would only pump its noise.
  if (d.level == kDemodSteady || d.mode == kDemodFm) {
    const float g = d.gain * d.volume;
    for (int s = 0; s < n; s++) out[s] = ToPcm(x[s] * g);
    return;
  }
  const float target = float(kDemodAgcTarget) * d.volume;
  for (int s = 0; s < n; s++) out[s] = ToPcm(x[s] * (target / Envelope(d.agc, x[s])));
}
