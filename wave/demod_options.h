// The player's options for a demodulated channel: --demod MODE --freq HZ
// [--width HZ], after the band, the device and the scale factor.
#pragma once

#include <stdint.h>

#include "demod.h"

struct DemodRequest {
  bool on;  // --demod was given
  DemodMode mode;
  int32_t freqHz;   // the dial for USB and LSB, the signal's own for CW, AM, FM
  int32_t widthHz;  // 0: the mode's own
};

// True for an argument that is an option ("--" and more).
bool IsOption(const char* arg);

// Reads the options from argv[first] on. Arguments before the first option are
// ignored, as the player always has. On a bad one prints "VEXA_Wave: <why>\n"
// on stderr and returns false.
bool ReadDemodOptions(int argc, char** argv, int first, DemodRequest& request);

// True when the channel's passband lies within the band (sampleRate wide around
// l0); otherwise prints which frequencies it needs and the band's on stderr.
bool DemodFitsBand(const DemodRequest& request, int32_t band, int32_t sampleRate, int32_t l0);
