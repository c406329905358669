// A complex FFT of a power-of-two size on planar data (real parts in one array,
// imaginary parts in another), written for the spectrum: Debian ships no FFTW
// or other FFT library built for MinGW, so the kernel is our own. Radix-4
// Stockham passes (no bit reversal, natural order in and out) with a last
// radix-2 pass for odd powers of two, four lanes of SSE2 at a time. All memory
// is taken by FftPlanInit; FftForward allocates nothing.
#pragma once

const int kFftMinSize = 16;
const int kFftMaxSize = 65536;

struct FftPlan {
  int size;
  float* twiddles;  // per radix-4 pass of length n: W^p, W^2p, W^3p (re, im) for p < n/4
  float* scratchRe;
  float* scratchIm;
  void* memory;  // everything above in one allocation; null while not initialised
};

// Plans a transform of size points, a power of two in [kFftMinSize, kFftMaxSize];
// false when the size is not one or memory is short (the plan is left empty).
bool FftPlanInit(FftPlan& plan, int size);
void FftPlanFree(FftPlan& plan);  // harmless twice

// X[k] = sum over t of x[t] e^(-2 pi j k t / size), in place.
void FftForward(const FftPlan& plan, float* re, float* im);
