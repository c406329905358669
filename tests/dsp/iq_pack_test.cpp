// Packing against the formula of each format, on both the vector loop and the
// tail: offsets, ties to even, clipping at both ends and the gain.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <vector>

#include "iq_path.h"

// 13 complex samples: 24 values go through the vector loop, 2 through the tail.
static std::vector<float> Values(float unit) {
  const float v[] = {0.0f,         1.0f,         -1.0f, 2.0f,   -3.0f, 0.5f * unit, 1.5f * unit,
                     -0.5f * unit, -1.5f * unit, 0.25f, -0.25f, 0.7f,  unit,        -unit};
  std::vector<float> x;
  for (int r = 0; r < 2; r++) x.insert(x.end(), v, v + 13);
  return x;
}

// The formula in float, as the wire formats' ranges need no more.
static double Expected(float centre, float scale, float x, double lo, double hi) {
  const double v = nearbyintf(centre + scale * x);  // the default mode: ties to even
  return v < lo ? lo : v > hi ? hi : v;
}

// Value i of a packed integer format.
static double Unpacked(IqFormat format, const unsigned char* bytes, int i) {
  if (format == kIqS16) return double(int16_t(bytes[2 * i] | bytes[2 * i + 1] << 8));
  if (format != kIqS24) return double(bytes[i]);
  const unsigned char* b = bytes + 3 * i;
  return double(int32_t(uint32_t(b[0]) << 8 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 24) >> 8);
}

TEST(IqPack, EachFormatRoundsClipsAndScales) {
  struct Case {
    IqFormat format;
    double centre, scale, lo, hi;
  } cases[] = {{kIqU8Centre128, 128, 128, 0, 255},
               {kIqU8Centre1275, 127.5, 127.5, 0, 255},
               {kIqS16, 0, 32768, -32768, 32767},
               {kIqS24, 0, 8388608, -8388608, 8388607}};
  for (const Case& c : cases) {
    for (float gain : {1.0f, 4.0f}) {
      const std::vector<float> x = Values(float(1.0 / c.scale));
      unsigned char bytes[96];
      memset(bytes, 0xAA, sizeof bytes);
      ASSERT_EQ(IqPack(c.format, x.data(), 13, gain, bytes), 13 * IqFormatBytes(c.format));
      for (int i = 0; i < 26; i++) {
        const double want = Expected(float(c.centre), float(c.centre ? c.centre : c.scale) * gain,
                                     x[i], c.lo, c.hi);
        const double got = Unpacked(c.format, bytes, i);
        EXPECT_EQ(got, want) << "format " << c.format << ", gain " << gain << ", value " << x[i];
      }
      EXPECT_EQ(bytes[13 * IqFormatBytes(c.format)], 0xAA);
    }
  }
  EXPECT_EQ(IqFormatBytes(kIqU8Centre128), 2);
  EXPECT_EQ(IqFormatBytes(kIqS16), 4);
  EXPECT_EQ(IqFormatBytes(kIqS24), 6);
}

TEST(IqPack, FloatIsTheValueTimesTheGain) {
  const std::vector<float> x = Values(1.0f / 3.0f);
  float out[27];
  out[26] = 7.0f;
  ASSERT_EQ(IqPack(kIqF32, x.data(), 13, 0.5f, out), 13 * 8);
  for (int i = 0; i < 26; i++) EXPECT_EQ(out[i], x[i] * 0.5f);
  EXPECT_EQ(out[26], 7.0f);
  unsigned char le[8];
  IqPack(kIqF32, x.data() + 1, 1, 1.0f, le);  // 1.0f little-endian: 00 00 80 3f
  EXPECT_EQ(le[2], 0x80);
  EXPECT_EQ(le[3], 0x3f);
}
