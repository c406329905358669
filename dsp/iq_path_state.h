// The record behind IqPath: every stage's design and history in fixed arrays, so
// a client's path costs one allocation (or none, where the record is static) and
// a block costs none. Only iq_path*.cpp and the stage files touch the fields.
#pragma once

#include <stdint.h>

#include "iq_path.h"

// The limits of the record: input samples one internal pass takes (it bounds
// every buffer below), half-band stages (a decimation by 2^14), pairs of non-zero
// side taps of one half-band, taps per phase of the resampler (a multiple of 4),
// phases of its filter bank (a delay between two is interpolated) and output
// over input rate, each at the most.
const int kIqChunk = 2048, kMaxHalfBands = 14, kHalfBandMaxPairs = 24;
const int kResamplerMaxTaps = 64, kResamplerPhases = 128;
const double kIqPathMaxUp = 64.0;

// Phase-accumulator mixer: the phase wraps at 2^64, a full turn.
struct Nco {
  uint64_t phase;
  uint64_t step;
  double turnCos[4], turnSin[4];  // e^(j k step) for k = 0..3
  float stepCos, stepSin;         // e^(j 4 step)
  float scale;                    // from the band's full scale to 1.0
};

// One decimate-by-two stage. Its input is held split into even (e) and odd (o)
// samples, so four outputs come out of contiguous loads.
struct HalfBand {
  int pairs;
  float taps[kHalfBandMaxPairs];  // for the side taps at 1, 3, 5, ... samples off the centre
  int count;                      // input samples held
  int capacity;                   // of each of the four arrays
  int offset;                     // of the first array in IqPath::pool
};

// Fractional resampler: a polyphase bank of kResamplerPhases + 1 phases (or den + 1
// where that is fewer) of taps taps each; the time of the next output is index + rem / den input
// samples.
struct Resampler {
  int taps;
  bool exact;                         // one phase per output delay: den phases, none interpolated
  int count;                          // input samples held
  uint64_t whole, rem, den, stepRem;  // step = whole + stepRem / den
  uint64_t index;
  double invDen;
  float xi[kIqChunk + 4 * kHalfBandMaxPairs + kResamplerMaxTaps + 8];
  float xq[kIqChunk + 4 * kHalfBandMaxPairs + kResamplerMaxTaps + 8];
  float coef[(kResamplerPhases + 1) * kResamplerMaxTaps];
};

// Stage s takes at most kIqChunk / 2^s samples a pass plus what the stages before
// it held back; each of its four arrays holds half of that and its own history.
const int kHalfBandSlack = 4 * kHalfBandMaxPairs + 8;
const int kIqPoolFloats = 4 * (kIqChunk + kMaxHalfBands * kHalfBandSlack);

struct IqPath {
  double inRate, outRate;
  int halfBands;
  bool resample;
  int slackIn;  // input samples the stages may hold back and release in one call
  Nco nco;
  HalfBand hb[kMaxHalfBands];
  Resampler rs;
  float pool[kIqPoolFloats];
  float tmpI[kIqChunk + 8];
  float tmpQ[kIqChunk + 8];
};
