#include "convert_paths.h"

#include <windows.h>

#include <intrin.h>
#include <immintrin.h>
#include <stdio.h>
#include <string.h>

static const char* const kPathNames[kPathCount] = {"sse2", "avx2", "avx512"};

// XCR0 bits the OS sets when it saves a register set on a thread switch.
static const unsigned kXmmYmmState = 0x06;
static const unsigned kAvx512State = 0xE0;  // opmask, upper halves of zmm0-15, zmm16-31

const char* ConvertPathName(ConvertPath path) {
  return kPathNames[path];
}

ConvertPath WidestConvertPath() {
  int r[4];  // eax, ebx, ecx, edx
  __cpuid(r, 0);
  if (r[0] < 7) return kPathSse2;
  __cpuid(r, 1);
  const int osxsave = 1 << 27, avx = 1 << 28;
  if ((r[2] & (osxsave | avx)) != (osxsave | avx)) return kPathSse2;
  // XGETBV exists once OSXSAVE is set; without the OS's save of the wide registers
  // another thread's values could show up in them.
  const unsigned xcr0 = unsigned(_xgetbv(0));
  __cpuidex(r, 7, 0);
  const int avx2 = 1 << 5, avx512f = 1 << 16;
  if ((xcr0 & kXmmYmmState) != kXmmYmmState || !(r[1] & avx2)) return kPathSse2;
  if ((xcr0 & kAvx512State) != kAvx512State || !(r[1] & avx512f)) return kPathAvx2;
  return kPathAvx512;
}

ConvertPath PickConvertPath(const char* forced, ConvertPath widest, char* message,
                            size_t messageSize) {
  message[0] = '\0';
  if (!forced || !forced[0]) return widest;
  for (int p = 0; p < kPathCount; p++) {
    if (strcmp(forced, kPathNames[p]) != 0) continue;
    if (p <= widest) return ConvertPath(p);
    snprintf(message, messageSize,
             "VEXA_CONVERT_PATH=%s: this CPU or OS cannot run it; converting with %s\n", forced,
             kPathNames[widest]);
    return widest;
  }
  snprintf(message, messageSize,
           "VEXA_CONVERT_PATH=%s is not sse2, avx2 or avx512; converting with %s\n", forced,
           kPathNames[widest]);
  return widest;
}

static ConvertPath PathFromEnvironment() {
  char text[32];
  const DWORD length = GetEnvironmentVariableA("VEXA_CONVERT_PATH", text, sizeof text);
  const char* forced = length == 0 ? nullptr : length < sizeof text ? text : "(too long)";
  char message[160];
  ConvertPath path = PickConvertPath(forced, WidestConvertPath(), message, sizeof message);
  if (message[0]) fputs(message, stderr);
  return path;
}

ConvertPath ChosenConvertPath() {
  static const ConvertPath path = PathFromEnvironment();  // once, even when threads race
  return path;
}
