// The stages of a Demod after its IqPath, each a few plain functions on its part
// of the record.
#pragma once

#include "demod_state.h"

// A low-pass at rate that keeps [0, pass] and removes from pass + transition on
// (Hz); false when it needs more than kChannelMaxTaps taps.
bool ChannelFilterDesign(ChannelFilter& f, double rate, double pass, double transition);
// Filters n (at most kDemodPass) interleaved samples into planar outI, outQ.
void ChannelFilterRun(ChannelFilter& f, const float* in, int n, float* outI, float* outQ);

// AM: the envelope less the carrier, into i (q is left as it is).
void AmDetect(Demod& d, float* i, const float* q, int n);
// FM: the frequency of each sample against the one before, into i.
void FmDetect(Demod& d, float* i, const float* q, int n);

void AgcInit(Agc& agc, double audioRate);
// Levels n samples of x (band full scale 1.0) to 16-bit audio, by the AGC or by
// the steady gain, times the volume.
void LevelRun(Demod& d, const float* x, int n, int16_t* out);
