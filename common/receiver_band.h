// Opening the band that a console program's first argument names.
#pragma once

#include "band_channel.h"

// Turns value (a band number or a frequency in kHz) into a band index with
// LocateBand, stores it in *band and opens that band on ch. Prints
// "%d receiver : SampleRate=%d BlockInSamples=%d L0=%d\n" on stdout when the band
// opens; on stderr "Can't open shared memory for %d receiver\n" when no such band
// is published, "Can't <verb> %d receiver: <why>\n" when the band was refused.
// *header receives the values printed, read once, for the program to run with.
bool OpenReceiverBand(BandChannel& ch, const char* verb, int32_t value, int32_t* band,
                      BandHeader* header);

// True when a program that takes blocks of 1 to maxBlock samples can follow the
// band; otherwise says on stderr which value stands in the way, as
// "Can't <verb> <band> receiver: ...".
bool CanFollowBand(const char* verb, int32_t band, int32_t sampleRate, int32_t blockInSamples,
                   int32_t maxBlock, int32_t ringSize);
