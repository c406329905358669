// Speed of the float-to-16-bit conversion on 2048-sample I/Q blocks, beside a
// memcpy of the same input bytes and a plain scalar loop that rounds with lrintf.
#include <windows.h>

#include <math.h>
#include <stdio.h>
#include <string.h>

#include <random>
#include <vector>

#include "ipps.h"

static const int kValues = 2 * 2048;  // one block: 2048 complex samples
static const int kBlocks = 100000;
static const int kScaleFactor = 16;

static double Now() {
  LARGE_INTEGER f, t;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&t);
  return double(t.QuadPart) / double(f.QuadPart);
}

static void ScalarLoop(const float* src, Ipp16s* dst, int len, int scaleFactor) {
  const float scale = ldexpf(1.0f, -scaleFactor);
  for (int i = 0; i < len; i++) {
    long v = lrintf(src[i] * scale);
    dst[i] = Ipp16s(v > 32767 ? 32767 : v < -32768 ? -32768 : v);
  }
}

// The best of three timings of pass(), in seconds.
template <typename F>
static double Time(F pass) {
  double best = 1e9;
  for (int round = 0; round < 3; round++) {
    double start = Now();
    pass();
    double took = Now() - start;
    if (took < best) best = took;
  }
  return best;
}

int main() {
  const int kCycle = 64;  // blocks in the input buffer: 1 MiB, as a ring would be
  std::vector<float> src(size_t(kValues) * kCycle);
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> dist(-2147483648.0f, 2147483648.0f);
  for (float& v : src) v = dist(rng);
  std::vector<Ipp16s> dst(kValues);
  std::vector<float> copy(kValues);
  volatile int sink = 0;

  double convert = Time([&] {
    for (int b = 0; b < kBlocks; b++) {
      ippsConvert_32f16s_Sfs(&src[size_t(b % kCycle) * kValues], dst.data(), kValues, ippRndNear,
                             kScaleFactor);
      sink = sink + dst[b % kValues];
    }
  });
  double memcpyTime = Time([&] {
    for (int b = 0; b < kBlocks; b++) {
      memcpy(copy.data(), &src[size_t(b % kCycle) * kValues], kValues * sizeof(float));
      sink = sink + int(copy[b % kValues]);
    }
  });
  double scalar = Time([&] {
    for (int b = 0; b < kBlocks; b++) {
      ScalarLoop(&src[size_t(b % kCycle) * kValues], dst.data(), kValues, kScaleFactor);
      sink = sink + dst[b % kValues];
    }
  });

  const double values = double(kValues) * kBlocks;
  printf("conversion of %d blocks of 2048 I/Q samples (%d values each), best of 3\n", kBlocks,
         kValues);
  printf("  ippsConvert_32f16s_Sfs  %8.0f Mvalues/s  %7.0f ns per block\n", values / convert / 1e6,
         convert / kBlocks * 1e9);
  printf("  memcpy of the input     %8.0f Mvalues/s  %7.0f ns per block\n",
         values / memcpyTime / 1e6, memcpyTime / kBlocks * 1e9);
  printf("  scalar lrintf loop      %8.0f Mvalues/s  %7.0f ns per block\n", values / scalar / 1e6,
         scalar / kBlocks * 1e9);
  printf("  conversion time / memcpy time: %.2f (target at most 4)\n", convert / memcpyTime);
  printf("  scalar time / conversion time: %.2f (target at least 4)\n", scalar / convert);
  return sink == 12345 ? 1 : 0;
}
