// The instruction-set paths of the float-to-16-bit conversion. Each path gives the
// same results bit for bit; the widest one the CPU and the OS can run is chosen once
// per process, and tests and benchmarks may name another.
#pragma once

#include <stddef.h>

#include "ipps.h"

// In order of width: a CPU and OS that run one path run every narrower one too.
enum ConvertPath { kPathSse2, kPathAvx2, kPathAvx512, kPathCount };

// "sse2", "avx2" or "avx512".
const char* ConvertPathName(ConvertPath path);

// The widest path this CPU has the instructions for and this OS saves the
// registers of (CPUID and XGETBV); asks the CPU on every call.
ConvertPath WidestConvertPath();

// The path for the test-only setting VEXA_CONVERT_PATH, given as `forced` (null
// when unset), on a machine whose widest path is `widest`: the named path when it
// runs here, else `widest`, with the reason written to message (empty when none).
ConvertPath PickConvertPath(const char* forced, ConvertPath widest, char* message,
                            size_t messageSize);

// The path ippsConvert_32f16s_Sfs takes: picked on the first call from the CPU and
// VEXA_CONVERT_PATH, which is read that once; a reason not to follow it goes to
// standard error.
ConvertPath ChosenConvertPath();

// ippsConvert_32f16s_Sfs's work (round to nearest whatever MXCSR says, saturate,
// NaN to 0) on `path`, which must run here; len >= 1.
void ConvertOnPath(ConvertPath path, const Ipp32f* src, Ipp16s* dst, int len, int scaleFactor);

// The wide kernels, each in a source file of its own built for its instruction set:
// they convert the leading multiple of 16 values under the caller's MXCSR and
// return how many they did.
int ConvertAvx2(const Ipp32f* src, Ipp16s* dst, int len, float scale);
int ConvertAvx512(const Ipp32f* src, Ipp16s* dst, int len, float scale);
