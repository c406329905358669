#include "rtl_protocol.h"

#include <string.h>

static void putBigEndian(uint8_t* out, uint32_t v) {
  out[0] = uint8_t(v >> 24);
  out[1] = uint8_t(v >> 16);
  out[2] = uint8_t(v >> 8);
  out[3] = uint8_t(v);
}

void RtlPutHeader(uint8_t* out) {
  memcpy(out, "RTL0", 4);
  putBigEndian(out + 4, kRtlTunerR820T);
  putBigEndian(out + 8, kRtlGainCount);
}

bool RtlFeedByte(RtlParser& p, uint8_t byte, RtlCommand* command) {
  p.bytes[p.have++] = byte;
  if (p.have < kRtlCommandBytes) return false;
  p.have = 0;
  command->id = p.bytes[0];
  command->value = uint32_t(p.bytes[1]) << 24 | uint32_t(p.bytes[2]) << 16 |
                   uint32_t(p.bytes[3]) << 8 | uint32_t(p.bytes[4]);
  return true;
}

bool RtlRateValid(uint32_t rate) {
  return (rate > 225000 && rate <= 300000) || (rate > 900000 && rate <= 3200000);
}

// How far frequency lies outside the band (0 inside).
static int64_t distance(const BandEntry& b, uint32_t frequency) {
  int64_t low = int64_t(b.L0) - b.SampleRate / 2;
  int64_t high = int64_t(b.L0) + b.SampleRate / 2;
  int64_t f = frequency;
  return f < low ? low - f : f > high ? f - high : 0;
}

int32_t RtlPickBand(const BandEntry* table, int32_t count, uint32_t frequency, bool* inside) {
  int32_t best = -1;
  for (int32_t band = 0; band < count; band++) {
    if (table[band].SampleRate <= 0) continue;
    if (best < 0 || distance(table[band], frequency) < distance(table[best], frequency)) {
      best = band;
    }
  }
  *inside = best >= 0 && distance(table[best], frequency) == 0;
  return best;
}

bool RtlBandFits(const BandEntry& band, uint32_t frequency, uint32_t rate) {
  int64_t offset = int64_t(frequency) - band.L0;
  if (offset < 0) offset = -offset;
  return 2 * offset + band.SampleRate <= int64_t(rate);
}
