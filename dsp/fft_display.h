// The spectrum of one view of a band: a span of it, centred anywhere inside it,
// as power per bin in dB relative to the band's full scale, a new frame about
// every 1/framesPerSecond of band time. One record serves every client that
// shows the same view; each draws its own pixels with SpectrumRender.
//
//   band samples -> IqPath (shift to the view's centre; down to twice the span
//   unless the span is the whole band) -> history of `size` samples -> every
//   `hop` samples: Blackman-Nuttall window, FFT, power -> the mean of
//   `perFrame` transforms, smoothed over frames -> dB per displayed bin
//
// The window's sidelobes lie 98 dB down and a tone between two bins loses at
// most 0.85 dB. Outside the span the decimating filters remove at least 80 dB,
// and the bins past the span's edges (the filters' slopes) are never shown.
// All memory is taken by SpectrumInit; SpectrumRun allocates nothing.
#pragma once

#include <stdint.h>

#include "fft.h"

struct IqPath;

const int kSpectrumMinBins = 8;
const int kSpectrumMaxBins = kFftMaxSize / 2;  // displayed bins at the most

struct Spectrum {
  int size;           // FFT points
  int bins;           // displayed: the middle `bins` of the transform
  int hop;            // samples between two transforms
  int perFrame;       // transforms averaged into one frame
  int held;           // samples in the history
  int sinceLast;      // samples since the last transform
  int64_t taken;      // samples into the history since the start
  int averaged;       // transforms summed into the frame under way
  int64_t frames;     // frames finished since the start
  double powerScale;  // from |X|^2 to the power of a tone of full scale 1.0
  FftPlan plan;
  IqPath* path;
  int pathMaxOut;
  float* pathOut;  // interleaved, pathMaxOut samples
  float* histRe;   // 2 size each: the latest `size` end at `held`
  float* histIm;
  float* window;
  float* re;  // the transform's input and output
  float* im;
  float* sum;     // power summed over the frame under way
  float* smooth;  // power averaged over frames
  float* levels;  // the latest frame: dB per displayed bin, lowest frequency first
  void* memory;   // the float buffers above in one allocation
};

// Designs the view: spanHz wide, centred shiftHz from the band's centre, of a
// band of bandRate complex samples per second; bins, a power of two, across
// the span. spanHz is the band's rate or at most half of it. False (the record
// left empty) when the numbers are beyond it or memory is short.
bool SpectrumInit(Spectrum& s, double bandRate, double shiftHz, double spanHz, int bins,
                  double framesPerSecond);
void SpectrumFree(Spectrum& s);  // harmless twice

// Takes n complex samples of the band, interleaved float I,Q at the band's
// scale (full scale 2^31); returns how many frames they finished.
int SpectrumRun(Spectrum& s, const float* in, int n);

// Draws levels (bins of them, in dB) as pixels bytes: each pixel shows the
// strongest bin it covers, so a narrow carrier never falls between pixels; lowDb
// becomes 0, highDb 255, linear in dB between, clipped.
void SpectrumRender(const float* levels, int bins, int pixels, double lowDb, double highDb,
                    uint8_t* out);
