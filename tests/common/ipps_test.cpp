#include <gtest/gtest.h>

#include <math.h>
#include <xmmintrin.h>
#include <stdint.h>
#include <string.h>

#include <random>
#include <vector>

#include "ipps.h"

namespace {

// Plain scalar reference: scale, round half to even, saturate; NaN gives 0.
Ipp16s Reference(float x, int scaleFactor) {
  if (isnan(x)) return 0;
  double v = nearbyint(double(x) * ldexp(1.0, -scaleFactor));
  if (v > 32767) return 32767;
  if (v < -32768) return -32768;
  return Ipp16s(v);
}

const float kEdges[] = {
    0.0f,           -0.0f,         0.5f,           1.5f,      2.5f,          -0.5f,
    -1.5f,          32767.0f,      32767.5f,       32768.0f,  -32768.0f,     -32768.5f,
    -32769.0f,      65536.0f,      98304.0f,       -98304.0f, 2147483520.0f, 2147483648.0f,
    -2147483648.0f, 4294967296.0f, -4294967296.0f, 1e30f,     -1e30f,        INFINITY,
    -INFINITY,      NAN,           1e-40f,         -1e-40f,   8388608.5f,    16777216.0f};

void ExpectMatchesReference(const std::vector<float>& src, int scaleFactor) {
  const int len = int(src.size());
  std::vector<Ipp16s> dst(size_t(len) + 8, 0x5A5A);
  ippsConvert_32f16s_Sfs(src.data(), dst.data(), len, ippRndNear, scaleFactor);
  for (int i = 0; i < len; i++) {
    ASSERT_EQ(Reference(src[i], scaleFactor), dst[i])
        << "value " << src[i] << " scale " << scaleFactor << " len " << len << " at " << i;
  }
  for (int i = len; i < len + 8; i++) ASSERT_EQ(0x5A5A, dst[i]) << "wrote past len " << len;
}

TEST(Convert, KnownValues) {
  const float src[] = {65536.0f, 98304.0f, 2147483648.0f, -2147483648.0f};
  Ipp16s dst[4];
  EXPECT_EQ(ippStsNoErr, ippsConvert_32f16s_Sfs(src, dst, 4, ippRndNear, 16));
  EXPECT_EQ(1, dst[0]);
  EXPECT_EQ(2, dst[1]);
  EXPECT_EQ(32767, dst[2]);
  EXPECT_EQ(-32768, dst[3]);
  const float big[] = {40000.0f, -40000.0f, 1e20f, -1e20f};
  ippsConvert_32f16s_Sfs(big, dst, 4, ippRndNear, 0);
  EXPECT_EQ(32767, dst[0]);
  EXPECT_EQ(-32768, dst[1]);
  EXPECT_EQ(32767, dst[2]);  // beyond 2^31: must not wrap to -32768
  EXPECT_EQ(-32768, dst[3]);
}

TEST(Convert, EdgeValuesAtEveryScaleFactorInEveryLanePosition) {
  for (int scaleFactor = 0; scaleFactor <= 24; scaleFactor++) {
    for (size_t shift = 0; shift < 8; shift++) {  // each value in each vector lane and the tail
      std::vector<float> src(shift, 1.0f);
      src.insert(src.end(), std::begin(kEdges), std::end(kEdges));
      ExpectMatchesReference(src, scaleFactor);
    }
  }
}

TEST(Convert, RandomValuesAtEveryScaleFactorAndLength) {
  std::mt19937 rng(12345);
  std::uniform_real_distribution<float> wide(-3e9f, 3e9f);
  std::uniform_int_distribution<uint32_t> bits;
  for (int scaleFactor = 0; scaleFactor <= 24; scaleFactor++) {
    for (int len = 0; len <= 67; len++) {
      std::vector<float> src(static_cast<size_t>(len));
      for (int i = 0; i < len; i++) {
        if (i % 3 == 0) {
          uint32_t b = bits(rng);  // any bit pattern: huge, tiny, infinities, NaN
          memcpy(&src[i], &b, 4);
        } else {
          src[i] = ldexpf(wide(rng), -int(bits(rng) % 24));
        }
      }
      ExpectMatchesReference(src, scaleFactor);
    }
  }
}

TEST(Convert, RoundsToNearestWhateverTheCallersRoundingMode) {
  const unsigned int saved = _mm_getcsr();
  _MM_SET_ROUNDING_MODE(_MM_ROUND_TOWARD_ZERO);
  const float src[9] = {98304.0f, -98304.0f, 1.75f * 65536, 1, 1, 1, 1, 1, 1.75f * 65536};
  Ipp16s dst[9];
  ippsConvert_32f16s_Sfs(src, dst, 9, ippRndNear, 16);
  EXPECT_EQ(_MM_ROUND_TOWARD_ZERO, _MM_GET_ROUNDING_MODE()) << "the caller's mode is restored";
  _mm_setcsr(saved);
  EXPECT_EQ(2, dst[0]);
  EXPECT_EQ(-2, dst[1]);
  EXPECT_EQ(2, dst[2]);
  EXPECT_EQ(2, dst[8]);  // the scalar tail too
}

TEST(Convert, RefusesNullPointersAndEmptyLengths) {
  float src[2] = {1, 2};
  Ipp16s dst[2] = {7, 7};
  EXPECT_EQ(ippStsNullPtrErr, ippsConvert_32f16s_Sfs(nullptr, dst, 2, ippRndNear, 0));
  EXPECT_EQ(ippStsNullPtrErr, ippsConvert_32f16s_Sfs(src, nullptr, 2, ippRndNear, 0));
  EXPECT_EQ(ippStsSizeErr, ippsConvert_32f16s_Sfs(src, dst, 0, ippRndNear, 0));
  EXPECT_EQ(ippStsSizeErr, ippsConvert_32f16s_Sfs(src, dst, -1, ippRndNear, 0));
  EXPECT_EQ(7, dst[0]);
}

TEST(Malloc, AlignsTo32BytesAndRefusesNonsense) {
  for (int size : {1, 31, 8192, 1 << 20}) {
    Ipp8u* p = ippsMalloc_8u(size);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) % 32) << size;
    memset(p, 0xAB, size_t(size));
    ippsFree(p);
  }
  EXPECT_EQ(nullptr, ippsMalloc_8u(0));
  EXPECT_EQ(nullptr, ippsMalloc_8u(-5));
  // The largest size there is: more than a 32-bit process has room for in one
  // piece, an ordinary block in a 64-bit one.
  Ipp8u* most = ippsMalloc_8u(INT32_MAX);
  if (sizeof(void*) == 4) {
    EXPECT_EQ(nullptr, most);
  } else {
    ASSERT_NE(nullptr, most);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(most) % 32);
  }
  ippsFree(most);
  ippsFree(nullptr);
}

}  // namespace
