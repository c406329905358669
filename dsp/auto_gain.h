// Level control for a narrow channel quantised to few bits: the gain, in whole
// dB, that lifts the channel's peaks to a few dB under the format's top. Each
// message's peak is measured before it is packed, so the gain comes down within
// the very message that would clip (fast down, nothing is ever clipped by it);
// it rises by 1 dB after each stretch of quiet (slow up), so a fading signal is
// not pumped. The receiving side divides by the same whole dB, which the
// message states, and so sees true levels.
#pragma once

#include <stdint.h>

#include "iq_path.h"

const int kAutoGainMaxDb = 100;           // lifts a -100 dBFS tone well clear of 8-bit steps
const int kAutoGainHeadroomDb = 6;        // peaks settle this far under the top
const double kAutoGainRiseSeconds = 0.1;  // of quiet for each 1 dB up

struct AutoGain {
  int db;               // the gain of the last message
  bool started;         // false until the first message after a reset
  int64_t quiet;        // samples since the peaks last came within the headroom
  int64_t riseSamples;  // quiet samples for each 1 dB up
  float top;            // the largest value format f packs without clipping (full scale 1.0)
};

// Starts over for a stream in format f at rate (complex samples per second):
// the next message sets the gain from its own peak.
void AutoGainReset(AutoGain& a, IqFormat f, double rate);

// The gain in dB (0 to kAutoGainMaxDb) for the n complex samples (interleaved,
// full scale 1.0) of the next message; they are packed with AutoGainFactor of it.
int AutoGainNext(AutoGain& a, const float* iq, int n);

// 10^(db/20) as the packing takes it.
float AutoGainFactor(int db);
