// The recorder's command line: VEXA_File <BandNr|Frequency_in_band_in_kHz>
// [Scale_factor] [Flags] [Budget].
#pragma once

#include <stdint.h>

#include "budget.h"
#include "wav_writer.h"

// A script or a service wrapper tells a normal stop from a failure that a
// retry may mend (no receiver yet) and from arguments that need a person.
enum ExitStatus { kStopped = 0, kFailed = 1, kBadArguments = 2 };

struct RecorderSettings {
  int32_t band;         // band number or frequency in kHz, as given
  int32_t scaleFactor;  // -2..24
  SampleFormat format;  // flag C turns Pcm16 into Pcm16ShortFmt
  TimeBase timeBase;
  Rotation rotation;
  Budget budget;  // NoBudget unless the fourth argument gives one
};

// Reads the arguments and prints what they choose (stdout) or what is wrong
// with them (stderr, with the usage text when there are none). False when the
// program must end: the arguments are at fault.
bool ParseCommandLine(int argc, char** argv, RecorderSettings* settings);
