#include "receiver_band.h"

#include <stdio.h>

bool OpenReceiverBand(BandChannel& ch, int32_t value, int32_t* band) {
  *band = LocateBand(value);
  char name[kBandNameSize];
  BandName(*band, name);
  if (!Open(ch, name)) {
    fprintf(stderr, "Can't open shared memory for %d receiver\n", *band);
    return false;
  }
  const volatile BandHeader* h = Header(ch);
  printf("%d receiver : SampleRate=%d BlockInSamples=%d L0=%d\n", *band, h->SampleRate,
         h->BlockInSamples, h->L0);
  return true;
}
