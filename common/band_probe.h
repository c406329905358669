// Looking at every band the publisher may have: the one loop over VEXA0Band..VEXA31Band.
#pragma once

#include "band_channel.h"

// The first four header fields of a band, copied at probe time, or why the band
// was refused (its figures then 0).
struct BandEntry {
  int32_t SampleRate;
  int32_t BlockInSamples;
  int32_t L0;
  int32_t BufferSize;  // as read at open
  BandRefusal refusal;
};

// Opens each band 0..31 in turn on a channel of its own and copies its figures into
// table[band]; a band that does not open gets all 0. Returns the highest band that
// opened or was refused plus 1, 0 when none did.
int32_t ProbeBandTable(BandEntry table[kBandCount]);

// Band `band` opens now (it is published and accepted).
bool BandOpens(int32_t band);

// Turns a band number (0..31) or a frequency in kHz into a band index;
// returns value itself when no published band covers the frequency.
int LocateBand(int value);
