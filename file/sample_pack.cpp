#include "sample_pack.h"

#include "ipps.h"

// Truncation toward zero; the float-to-int conversion is undefined outside the
// 32-bit range, so saturate there first.
static int32_t TruncateSaturated(float v) {
  if (v != v) return 0;
  if (v >= 2147483648.0f) return INT32_MAX;
  if (v <= -2147483648.0f) return INT32_MIN;
  return int32_t(v);
}

void Pack24(const float* values, int32_t count, uint8_t* out) {
  for (int32_t i = 0; i < count; i++) {
    uint32_t u = uint32_t(TruncateSaturated(values[i]));
    out[0] = uint8_t(u >> 8);
    out[1] = uint8_t(u >> 16);
    out[2] = uint8_t(u >> 24);
    out += 3;
  }
}

uint32_t ConvertBlock(const float* iq, int32_t samples, SampleFormat format, int scaleFactor,
                      uint8_t* out) {
  if (!Is24Bit(format)) {
    ippsConvert_32f16s_Sfs(iq, reinterpret_cast<Ipp16s*>(out), samples * 2, ippRndNear,
                           scaleFactor);
    return uint32_t(samples) * 4;
  }
  Pack24(iq, samples * 2, out);
  return uint32_t(samples) * 6;
}
