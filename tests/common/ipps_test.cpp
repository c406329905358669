#include <gtest/gtest.h>
#include <windows.h>

#include <math.h>
#include <xmmintrin.h>
#include <stdint.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "convert_paths.h"
#include "ipps.h"
#include "shifted_stack.h"

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

// Every path this CPU runs: sse2 everywhere, the wide ones where they exist.
std::vector<ConvertPath> PathsHere() {
  std::vector<ConvertPath> paths;
  for (int p = 0; p <= WidestConvertPath(); p++) paths.push_back(ConvertPath(p));
  return paths;
}

// Converts src on every path; each must match the reference and write nothing past len.
void ExpectMatchesReference(const std::vector<float>& src, int scaleFactor) {
  const int len = int(src.size());
  if (len == 0) return;
  for (ConvertPath path : PathsHere()) {
    std::vector<Ipp16s> dst(size_t(len) + 16, 0x5A5A);
    ConvertOnPath(path, src.data(), dst.data(), len, scaleFactor);
    for (int i = 0; i < len; i++) {
      ASSERT_EQ(Reference(src[i], scaleFactor), dst[i])
          << ConvertPathName(path) << ": value " << src[i] << " scale " << scaleFactor << " len "
          << len << " at " << i;
    }
    for (int i = len; i < len + 16; i++) {
      ASSERT_EQ(0x5A5A, dst[i]) << ConvertPathName(path) << " wrote past len " << len;
    }
  }
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
    for (size_t shift = 0; shift < 32; shift++) {  // each value in each lane of every width
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

TEST(Convert, RoundsToNearestWhateverTheCallersRoundingModeOnEveryPath) {
  const unsigned int saved = _mm_getcsr();
  // 16 + 16 values for the wide kernels, 8 for the SSE2 loop, 1 for the scalar tail;
  // each ends in a value that toward zero would round down.
  float src[41];
  for (float& v : src) v = 1;
  for (int end : {15, 31, 39, 40}) src[end] = 1.75f * 65536;
  src[0] = 98304.0f;
  src[1] = -98304.0f;
  for (ConvertPath path : PathsHere()) {
    for (unsigned int mode : {_MM_ROUND_TOWARD_ZERO, _MM_ROUND_DOWN, _MM_ROUND_UP}) {
      // A caller's other settings too: flush to zero, and an exception flag raised.
      _mm_setcsr((saved & ~unsigned(_MM_ROUND_MASK)) | mode | _MM_FLUSH_ZERO_ON |
                 _MM_EXCEPT_INEXACT);
      const unsigned int callers = _mm_getcsr();
      Ipp16s dst[41];
      ConvertOnPath(path, src, dst, 41, 16);
      const unsigned int after = _mm_getcsr();
      _mm_setcsr(saved);
      EXPECT_EQ(callers, after) << ConvertPathName(path) << ": the caller's MXCSR is restored";
      EXPECT_EQ(2, dst[0]) << ConvertPathName(path);
      EXPECT_EQ(-2, dst[1]) << ConvertPathName(path);
      for (int end : {15, 31, 39, 40})
        EXPECT_EQ(2, dst[end]) << ConvertPathName(path) << " " << end;
    }
  }
}

TEST(Convert, ChoosesTheWidestPathUnlessTheTestSettingNamesOneThatRuns) {
  char message[160];
  EXPECT_EQ(kPathAvx512, PickConvertPath(nullptr, kPathAvx512, message, sizeof message));
  EXPECT_STREQ("", message);
  EXPECT_EQ(kPathAvx2, PickConvertPath("", kPathAvx2, message, sizeof message));
  EXPECT_STREQ("", message);
  // Every path named on every machine: the named one wherever it runs, silently.
  for (int widest = 0; widest < kPathCount; widest++) {
    for (int named = 0; named < kPathCount; named++) {
      const char* name = ConvertPathName(ConvertPath(named));
      ConvertPath got = PickConvertPath(name, ConvertPath(widest), message, sizeof message);
      std::string why =
          std::string(name) + " on a machine up to " + ConvertPathName(ConvertPath(widest));
      if (named <= widest) {
        EXPECT_EQ(named, got) << why;
        EXPECT_STREQ("", message) << why;
      } else {
        EXPECT_EQ(widest, got) << why;
        EXPECT_EQ("VEXA_CONVERT_PATH=" + std::string(name) +
                      ": this CPU or OS cannot run it; converting with " +
                      ConvertPathName(ConvertPath(widest)) + "\n",
                  message)
            << why;
      }
    }
  }
  EXPECT_EQ(kPathSse2, PickConvertPath("AVX2", kPathSse2, message, sizeof message));
  EXPECT_STREQ("VEXA_CONVERT_PATH=AVX2 is not sse2, avx2 or avx512; converting with sse2\n",
               message);
  // The process's own choice follows the setting it was started with, if any (CTest
  // runs these tests once more with VEXA_CONVERT_PATH=sse2).
  char forced[32];
  const DWORD length = GetEnvironmentVariableA("VEXA_CONVERT_PATH", forced, sizeof forced);
  ASSERT_LT(length, sizeof forced);
  EXPECT_EQ(
      PickConvertPath(length ? forced : nullptr, WidestConvertPath(), message, sizeof message),
      ChosenConvertPath());
}

// One wide-path run per stack shift, checked against the SSE2 path's output.
struct ShiftedRun {
  std::vector<float> src;
  std::vector<Ipp16s> expected;
  bool offsetSeen[32];
  int calls;
  int mismatches;
};

void ConvertOnShiftedStack(void* context) {
  ShiftedRun& run = *static_cast<ShiftedRun*>(context);
  volatile char here = 0;
  run.offsetSeen[reinterpret_cast<uintptr_t>(&here) % 32] = true;
  run.calls++;
  std::vector<Ipp16s> dst(run.src.size());
  for (int p = kPathSse2 + 1; p <= WidestConvertPath(); p++) {
    ConvertOnPath(ConvertPath(p), run.src.data(), dst.data(), int(dst.size()), 16);
    if (dst != run.expected) run.mismatches++;
  }
}

DWORD WINAPI ShiftedThread(void* context) {
  CallAtEveryStackShift(ConvertOnShiftedStack, context);
  return 0;
}

TEST(Convert, WidePathsRunOnAThreadAtEveryStackMisalignment) {
  ShiftedRun run = {};
  for (int repeat = 0; repeat < 100; repeat++) {
    run.src.insert(run.src.end(), std::begin(kEdges), std::end(kEdges));
  }
  run.expected.resize(run.src.size());
  ConvertOnPath(kPathSse2, run.src.data(), run.expected.data(), int(run.src.size()), 16);
  HANDLE thread = CreateThread(nullptr, 0, ShiftedThread, &run, 0, nullptr);
  ASSERT_NE(nullptr, thread);
  WaitForSingleObject(thread, INFINITE);  // a misaligned access would end the process
  CloseHandle(thread);
  EXPECT_EQ(kStackShifts, run.calls);
  EXPECT_EQ(0, run.mismatches);
  int offsets = 0;
  for (bool seen : run.offsetSeen) offsets += seen;
  EXPECT_EQ(32 / kStackStep, offsets) << "every offset from a 32-byte boundary the stack can take";
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
