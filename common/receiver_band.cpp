#include "receiver_band.h"

#include <stdio.h>

#include "band_probe.h"
#include "console_queue.h"

bool OpenReceiverBand(BandChannel& ch, const char* verb, int32_t value, int32_t* band,
                      BandHeader* header) {
  *band = LocateBand(value);
  char name[kBandNameSize];
  BandName(*band, name);
  if (!Open(ch, name)) {
    if (ch.refusal.reason == kNoMapping) {
      fprintf(stderr, "Can't open shared memory for %d receiver\n", *band);
    } else {
      char why[kRefusalTextSize];
      DescribeRefusal(ch.refusal, name, why, sizeof why);
      fprintf(stderr, "Can't %s %d receiver: %s\n", verb, *band, why);
    }
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

bool CanFollowBand(const char* verb, int32_t band, int32_t sampleRate, int32_t blockInSamples,
                   int32_t maxBlock, int32_t ringSize) {
  if (sampleRate <= 0) {
    ConsolePrintf(stderr, "Can't %s %d receiver: SampleRate=%d, the band is not in use\n", verb,
                  band, sampleRate);
  } else if (blockInSamples <= 0 || blockInSamples > maxBlock) {
    ConsolePrintf(stderr, "Can't %s %d receiver: BlockInSamples=%d is not supported\n", verb, band,
                  blockInSamples);
  } else if (!ChunkFitsRing(blockInSamples, ringSize)) {
    ConsolePrintf(stderr, "Can't %s %d receiver: BufferSize=%d can't hold a block of %d samples\n",
                  verb, band, ringSize, blockInSamples);
  } else {
    return true;
  }
  return false;
}
