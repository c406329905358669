// The stages of an IqPath, each a few plain functions on its part of the record.
#pragma once

#include <emmintrin.h>

#include "iq_path_state.h"

// Stop-band attenuation every filter is designed for: a margin over the 70 dB a
// path must keep, for the interpolation between phases and float rounding.
const double kDesignDb = 80.0;

// Kaiser-window design helpers; frequencies are fractions of the sample rate.
int KaiserLength(double attenuationDb, double transition);
double KaiserBeta(double attenuationDb);
// The window at u, for u in [-halfWidth, halfWidth].
double KaiserWindow(double u, double halfWidth, double beta);
double Sinc(double x);

void NcoTune(Nco& nco, double shiftHz, double rate);
// Mixes n interleaved samples into planar outI, outQ (scaled by nco.scale).
void NcoMix(Nco& nco, const float* in, int n, float* outI, float* outQ);

// A half-band filter that keeps [0, pass] and removes [0.5 - pass, 0.5].
bool HalfBandDesign(HalfBand& hb, double pass);
void HalfBandPush(HalfBand& hb, float* pool, const float* i, const float* q, int n);
// Writes every output the held input allows to planar yI, yQ; returns the count.
int HalfBandRun(HalfBand& hb, float* pool, float* yI, float* yQ);
// The samples the stage holds at the most between calls.
int HalfBandHeld(const HalfBand& hb);

// A resampler from inRate to outRate that keeps [0, pass] and removes from stop on
// (fractions of inRate).
bool ResamplerDesign(Resampler& rs, double inRate, double outRate, double pass, double stop);
void ResamplerPush(Resampler& rs, const float* i, const float* q, int n);
// Writes every output the held input allows, interleaved, to out; returns the count.
int ResamplerRun(Resampler& rs, float* out);

// The sum of the four lanes of v.
inline float Sum4(__m128 v) {
  v = _mm_add_ps(v, _mm_movehl_ps(v, v));
  v = _mm_add_ss(v, _mm_shuffle_ps(v, v, 1));
  return _mm_cvtss_f32(v);
}
