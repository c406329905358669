// Speed of the float-to-16-bit conversion on 2048-sample I/Q blocks: every path this
// CPU runs and the one the conversion chose, each beside a memcpy of the same input
// bytes timed in the same run, and a plain scalar loop that rounds with lrintf.
#include <windows.h>

#include <math.h>
#include <stdio.h>
#include <string.h>

#include <random>
#include <vector>

#include "convert_paths.h"
#include "ipps.h"

static const int kValues = 2 * 2048;  // one block: 2048 complex samples
static const int kBlocks = 20000;
static const int kCycle = 64;  // blocks in the input buffer: 1 MiB, as a ring would be
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

static std::vector<float> g_src(size_t(kValues) * kCycle);
static std::vector<Ipp16s> g_dst(kValues);
static std::vector<float> g_copy(kValues);
static volatile int g_sink = 0;

// Short rounds, many of them: the best one is the least disturbed by other work
// on a shared machine.
static const int kRounds = 15;

// The best of kRounds timings of kBlocks calls of convert(block input, block index).
template <typename F>
static double Time(F convert) {
  double best = 1e9;
  for (int round = 0; round < kRounds; round++) {
    double start = Now();
    for (int b = 0; b < kBlocks; b++) convert(&g_src[size_t(b % kCycle) * kValues], b);
    double took = Now() - start;
    if (took < best) best = took;
  }
  return best;
}

static void Print(const char* name, double seconds, double memcpySeconds) {
  const double values = double(kValues) * kBlocks;
  printf("  %-24s %8.0f Mvalues/s  %7.0f ns per block  %5.2f x memcpy\n", name,
         values / seconds / 1e6, seconds / kBlocks * 1e9, seconds / memcpySeconds);
}

int main() {
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> dist(-2147483648.0f, 2147483648.0f);
  for (float& v : g_src) v = dist(rng);

  const double memcpyTime = Time([](const float* src, int b) {
    memcpy(g_copy.data(), src, kValues * sizeof(float));
    g_sink = g_sink + int(g_copy[b % kValues]);
  });
  printf("conversion of %d blocks of 2048 I/Q samples (%d values each), best of %d\n", kBlocks,
         kValues, kRounds);
  Print("memcpy of the input", memcpyTime, memcpyTime);
  for (int p = 0; p <= WidestConvertPath(); p++) {
    const double took = Time([p](const float* src, int b) {
      ConvertOnPath(ConvertPath(p), src, g_dst.data(), kValues, kScaleFactor);
      g_sink = g_sink + g_dst[b % kValues];
    });
    char name[32];
    snprintf(name, sizeof name, "path %s", ConvertPathName(ConvertPath(p)));
    Print(name, took, memcpyTime);
  }
  const double chosen = Time([](const float* src, int b) {
    ippsConvert_32f16s_Sfs(src, g_dst.data(), kValues, ippRndNear, kScaleFactor);
    g_sink = g_sink + g_dst[b % kValues];
  });
  char name[32];
  snprintf(name, sizeof name, "ippsConvert (%s)", ConvertPathName(ChosenConvertPath()));
  Print(name, chosen, memcpyTime);
  const double scalar = Time([](const float* src, int b) {
    ScalarLoop(src, g_dst.data(), kValues, kScaleFactor);
    g_sink = g_sink + g_dst[b % kValues];
  });
  Print("scalar lrintf loop", scalar, memcpyTime);
  printf("  chosen path: %s; its time / memcpy time: %.2f (target at most 1.2)\n",
         ConvertPathName(ChosenConvertPath()), chosen / memcpyTime);
  return g_sink == 12345 ? 1 : 0;
}
