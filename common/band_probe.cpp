#include "band_probe.h"

int32_t ProbeBandTable(BandEntry table[kBandCount]) {
  int32_t count = 0;
  BandChannel probe;
  ChannelInit(probe);
  for (int band = 0; band < kBandCount; band++) {
    char name[kBandNameSize];
    BandName(band, name);
    BandEntry entry = {};
    if (!Open(probe, name) && probe.refusal.reason != kNoMapping) {
      entry.refusal = probe.refusal;
      count = band + 1;
    } else if (IsOpen(probe)) {
      const volatile BandHeader* h = Header(probe);
      entry.SampleRate = h->SampleRate;
      entry.BlockInSamples = h->BlockInSamples;
      entry.L0 = h->L0;
      entry.BufferSize = probe.ringSize;
      count = band + 1;
      Close(probe);
    }
    table[band] = entry;
  }
  return count;
}

bool BandOpens(int32_t band) {
  char name[kBandNameSize];
  BandName(band, name);
  BandChannel probe;
  ChannelInit(probe);
  bool ok = Open(probe, name);
  Close(probe);
  return ok;
}

int LocateBand(int value) {
  if (value < kBandCount) return value;
  int64_t target = int64_t(value) * 1000;
  BandEntry table[kBandCount];
  ProbeBandTable(table);
  for (int band = 0; band < kBandCount; band++) {
    int64_t rate = table[band].SampleRate;
    int64_t l0 = table[band].L0;
    if (rate > 0 && l0 - rate / 2 <= target && target <= l0 + rate / 2) return band;
  }
  return value;
}
