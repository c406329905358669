#include "fft_display.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "dsp_math.h"
#include "iq_path_state.h"

// Each frame adds this share of itself to the average of those before it.
static const double kSmoothing = 0.5;
// Added to every power before the logarithm: -300 dB, far below any signal.
static const double kFloorPower = 1e-30;

// The Blackman-Nuttall window, periodic form.
static void makeWindow(float* w, int size, double* sum) {
  const double a[4] = {0.3635819, 0.4891775, 0.1365995, 0.0106411};
  *sum = 0.0;
  for (int t = 0; t < size; t++) {
    const double x = kTwoPi * t / size;
    const double v = a[0] - a[1] * cos(x) + a[2] * cos(2 * x) - a[3] * cos(3 * x);
    w[t] = float(v);
    *sum += v;
  }
}

// How often to transform: once a frame when a frame is shorter than half the
// transform, else as often as it takes to overlap the transforms by half or more.
static void pace(Spectrum& s, double rate, double framesPerSecond) {
  int perFrameSamples = int(rate / framesPerSecond);
  if (perFrameSamples < 1) perFrameSamples = 1;
  const int half = s.size / 2;
  s.perFrame = (perFrameSamples + half - 1) / half;
  s.hop = perFrameSamples / s.perFrame;
}

static bool allocate(Spectrum& s) {
  const size_t floats =
      2 * size_t(s.pathMaxOut) + 4 * size_t(s.size) + 5 * size_t(s.size) + size_t(s.bins);
  s.memory = malloc(sizeof(float) * floats);
  if (!s.memory) return false;
  float* f = static_cast<float*>(s.memory);
  s.pathOut = f;
  f += 2 * s.pathMaxOut;
  s.histRe = f;
  s.histIm = f + 2 * s.size;
  f += 4 * s.size;
  s.window = f;
  s.re = f + s.size;
  s.im = f + 2 * s.size;
  s.sum = f + 3 * s.size;
  s.smooth = f + 4 * s.size;
  s.levels = f + 5 * s.size;
  return true;
}

bool SpectrumInit(Spectrum& s, double bandRate, double shiftHz, double spanHz, int bins,
                  double framesPerSecond) {
  memset(&s, 0, sizeof s);
  if (!IsPowerOfTwo(bins) || bins < kSpectrumMinBins || bins > kSpectrumMaxBins) return false;
  if (!(bandRate > 0.0 && spanHz > 0.0 && framesPerSecond > 0.0)) return false;
  const bool whole = spanHz == bandRate;
  if (!whole && spanHz * 2.0 > bandRate) return false;
  // Twice the span (the middle half shown) keeps the filters' slopes off the display.
  const double rate = whole ? bandRate : 2.0 * spanHz;
  s.size = whole ? bins : 2 * bins;
  s.bins = bins;
  pace(s, rate, framesPerSecond);
  s.path = static_cast<IqPath*>(malloc(sizeof(IqPath)));
  if (!s.path || !IqPathInit(*s.path, bandRate, rate, shiftHz)) {
    SpectrumFree(s);
    return false;
  }
  s.pathMaxOut = IqPathMaxOut(*s.path, kIqPathMaxIn);
  if (!allocate(s) || !FftPlanInit(s.plan, s.size)) {
    SpectrumFree(s);
    return false;
  }
  double sum = 0.0;
  makeWindow(s.window, s.size, &sum);
  s.powerScale = 1.0 / (sum * sum);
  return true;
}

void SpectrumFree(Spectrum& s) {
  FftPlanFree(s.plan);
  free(s.path);
  free(s.memory);
  memset(&s, 0, sizeof s);
}

static void finishFrame(Spectrum& s) {
  const float share = s.frames == 0 ? 1.0f : float(kSmoothing);
  const float mean = 1.0f / float(s.perFrame);
  for (int k = 0; k < s.size; k++) {
    s.smooth[k] += share * (s.sum[k] * mean - s.smooth[k]);
    s.sum[k] = 0.0f;
  }
  // Displayed bin b is b - bins/2 bins off the centre: FFT bin (b - bins/2) mod size.
  for (int b = 0; b < s.bins; b++) {
    const int k = (b - s.bins / 2 + s.size) & (s.size - 1);
    s.levels[b] = float(10.0 * log10(s.smooth[k] * s.powerScale + kFloorPower));
  }
  s.averaged = 0;
  s.frames++;
}

// Windows the latest `size` samples, transforms them and adds their power.
static bool transform(Spectrum& s) {
  const float* xr = s.histRe + s.held - s.size;
  const float* xi = s.histIm + s.held - s.size;
  for (int t = 0; t < s.size; t++) {
    s.re[t] = xr[t] * s.window[t];
    s.im[t] = xi[t] * s.window[t];
  }
  FftForward(s.plan, s.re, s.im);
  for (int k = 0; k < s.size; k++) s.sum[k] += s.re[k] * s.re[k] + s.im[k] * s.im[k];
  if (++s.averaged < s.perFrame) return false;
  finishFrame(s);
  return true;
}

// Appends up to n samples, stopping where the next transform is due; returns
// how many it took.
static int append(Spectrum& s, const float* iq, int n) {
  if (s.held == 2 * s.size) {
    memmove(s.histRe, s.histRe + s.size, sizeof(float) * size_t(s.size));
    memmove(s.histIm, s.histIm + s.size, sizeof(float) * size_t(s.size));
    s.held = s.size;
  }
  int take = s.hop - s.sinceLast;
  if (take > n) take = n;
  if (take > 2 * s.size - s.held) take = 2 * s.size - s.held;
  for (int t = 0; t < take; t++) {
    s.histRe[s.held + t] = iq[2 * t];
    s.histIm[s.held + t] = iq[2 * t + 1];
  }
  s.held += take;
  s.sinceLast += take;
  s.taken += take;
  return take;
}

int SpectrumRun(Spectrum& s, const float* in, int n) {
  int frames = 0;
  for (int done = 0; done < n; done += kIqPathMaxIn) {
    const int chunk = n - done < kIqPathMaxIn ? n - done : kIqPathMaxIn;
    const int m = IqPathRun(*s.path, in + 2 * done, chunk, s.pathOut);
    for (int used = 0; used < m;) {
      used += append(s, s.pathOut + 2 * used, m - used);
      if (s.sinceLast < s.hop) continue;
      s.sinceLast = 0;
      if (s.taken >= s.size && transform(s)) frames++;
    }
  }
  return frames;
}

void SpectrumRender(const float* levels, int bins, int pixels, double lowDb, double highDb,
                    uint8_t* out) {
  const double perDb = 255.0 / (highDb - lowDb);
  for (int p = 0; p < pixels; p++) {
    // Bin b belongs to pixel floor(b pixels / bins).
    int first = int((int64_t(p) * bins + pixels - 1) / pixels);
    int end = int((int64_t(p + 1) * bins + pixels - 1) / pixels);
    if (first > bins - 1) first = bins - 1;
    if (end <= first) end = first + 1;
    float strongest = levels[first];
    for (int b = first + 1; b < end; b++) strongest = strongest > levels[b] ? strongest : levels[b];
    const double v = floor((strongest - lowDb) * perDb + 0.5);
    out[p] = uint8_t(v < 0.0 ? 0.0 : v > 255.0 ? 255.0 : v);
  }
}
