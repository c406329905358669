#include "receiver_band.h"

#include <stdio.h>

#include "band_probe.h"

bool OpenReceiverBand(BandChannel& ch, int32_t value, int32_t* band, BandHeader* header) {
  *band = LocateBand(value);
  char name[kBandNameSize];
  BandName(*band, name);
  if (!Open(ch, name)) {
    fprintf(stderr, "Can't open shared memory for %d receiver\n", *band);
    return false;
  }
  const volatile BandHeader* h = Header(ch);
  header->SampleRate = h->SampleRate;
  header->BlockInSamples = h->BlockInSamples;
  header->L0 = h->L0;
  header->BufferSize = h->BufferSize;
  header->WritePos = h->WritePos;
  printf("%d receiver : SampleRate=%d BlockInSamples=%d L0=%d\n", *band, header->SampleRate,
         header->BlockInSamples, header->L0);
  return true;
}
