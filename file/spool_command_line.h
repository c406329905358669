// The recorder's command line for one demodulated channel:
// VEXA_File <BandNr|Frequency_in_band_in_kHz> --demod MODE --freq HZ
//           --spool SECONDS [--width HZ] [--budget 500G|72h]
#pragma once

#include <stdint.h>

#include "budget.h"
#include "demod.h"

struct SpoolSettings {
  int32_t band;  // band number or frequency in kHz, as given
  DemodMode mode;
  int32_t freqHz;   // the dial for USB and LSB, the signal's own for the others
  int32_t seconds;  // one file per cycle of this
  int32_t widthHz;  // 0: the mode's own passband
  Budget budget;    // NoBudget unless --budget gives one
};

// True when the band is followed by an option: the channel's command line.
bool WantsChannel(int argc, char** argv);

// Reads the arguments and prints what they choose (stdout) or what is wrong
// with them (stderr). False when the arguments are at fault.
bool ParseSpoolCommandLine(int argc, char** argv, SpoolSettings* settings);
