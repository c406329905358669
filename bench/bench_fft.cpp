// Speed of the spectrum: the FFT kernel on the sizes a display uses, and what
// 32 SDR#-like clients (1000 pixels, 20 frames a second) on one 192 kS/s band
// cost: all showing one view (computed once, drawn 32 times), and each showing
// a view of its own. Built natively with VEXA_WITH_FFTW, it times FFTW's
// single-precision split-complex transform (FFTW_MEASURE) on the same data in
// the same run, and the ratio.
#include <math.h>
#include <stdint.h>
#include <stdio.h>

#include <chrono>
#include <vector>

#include "fft_display.h"

#ifdef VEXA_WITH_FFTW
#include <fftw3.h>
#endif

static const int kRounds = 5;  // the best of these rounds counts
static const double kPi = 3.14159265358979323846;
static const double kBandRate = 192000;
static const int kClients = 32, kPixels = 1000, kBlock = 2048;
static volatile float g_sink = 0;

static double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Seconds of the best of kRounds runs of run().
template <typename F>
static double Best(F run) {
  double best = 1e9;
  for (int r = 0; r < kRounds; r++) {
    const double start = Now();
    run();
    best = fmin(best, Now() - start);
  }
  return best;
}

// Transforms of `size` points per second.
static double OurFft(int size, int count) {
  FftPlan plan;
  if (!FftPlanInit(plan, size)) return 0;
  std::vector<float> re(size), im(size);
  const double t = Best([&] {
    for (int i = 0; i < count; i++) {
      re[i % size] = float(i);
      FftForward(plan, re.data(), im.data());
    }
    g_sink = g_sink + re[1];
  });
  FftPlanFree(plan);
  return count / t;
}

#ifdef VEXA_WITH_FFTW
static double FftwFft(int size, int count) {
  std::vector<float> re(size), im(size);
  fftwf_iodim dim = {size, 1, 1};
  fftwf_plan plan = fftwf_plan_guru_split_dft(1, &dim, 0, nullptr, re.data(), im.data(), re.data(),
                                              im.data(), FFTW_MEASURE);
  for (int i = 0; i < size; i++) re[i] = im[i] = 0.0f;
  const double t = Best([&] {
    for (int i = 0; i < count; i++) {
      re[i % size] = float(i);
      fftwf_execute_split_dft(plan, re.data(), im.data(), re.data(), im.data());
    }
    g_sink = g_sink + re[1];
  });
  fftwf_destroy_plan(plan);
  return count / t;
}
#endif

// One second of a band with a tone and a little of everything else.
static std::vector<float> BandSecond() {
  std::vector<float> in(2 * size_t(kBandRate));
  for (size_t i = 0; i < in.size() / 2; i++) {
    const double a = 2 * kPi * 0.1234567 * double(i);
    in[2 * i] = float(1e9 * cos(a) + 1e5 * sin(0.77 * double(i * i % 100003)));
    in[2 * i + 1] = float(1e9 * sin(a) + 1e5 * cos(0.31 * double(i * i % 100003)));
  }
  return in;
}

// Seconds of work for one second of the band: `views` views (view v at stage
// stage + v % 3, centred v kHz off the band's centre), each frame drawn for
// clients / views clients.
static double ClientsCost(const std::vector<float>& band, int views, int stage) {
  std::vector<Spectrum> s(static_cast<size_t>(views));
  for (int v = 0; v < views; v++) {
    const int st = views == 1 ? stage : stage + v % 3;
    const double span = kBandRate / (1 << st);
    const double shift = st == 0 ? 0.0 : 1000.0 * v;
    if (!SpectrumInit(s[v], kBandRate, shift, span, 1024, 20.0)) return 0;
  }
  uint8_t pixels[kPixels];
  const double t = Best([&] {
    for (int at = 0; at + kBlock <= int(kBandRate); at += kBlock) {
      for (int v = 0; v < views; v++) {
        if (SpectrumRun(s[v], &band[2 * size_t(at)], kBlock) == 0) continue;
        for (int c = 0; c < kClients / views; c++) {
          SpectrumRender(s[v].levels, s[v].bins, kPixels, -127.0, 0.0, pixels);
        }
      }
    }
    g_sink = g_sink + pixels[kPixels / 2];
  });
  for (Spectrum& one : s) SpectrumFree(one);
  return t;
}

int main() {
  printf("the FFT: transforms per second, best of %d rounds\n", kRounds);
  for (int size : {1024, 2048, 8192, 65536}) {
    const int count = 20000000 / size;
    const double ours = OurFft(size, count);
    printf("  %6d points: ours %9.0f/s (%7.2f us)", size, ours, 1e6 / ours);
#ifdef VEXA_WITH_FFTW
    const double fftw = FftwFft(size, count);
    printf(" | FFTW %9.0f/s (%7.2f us) | ours %.2f x FFTW", fftw, 1e6 / fftw, ours / fftw);
#endif
    printf("\n");
  }
  const std::vector<float> band = BandSecond();
  printf(
      "%d SDR#-like clients (%d pixels, 20 frames/s) on one %.0f samples/s band, "
      "share of one core\n",
      kClients, kPixels, kBandRate);
  const double one = ClientsCost(band, 1, 0);
  printf("  one view shared by all (the whole band):       %6.3f%%\n", 100.0 * one);
  const double zoomed = ClientsCost(band, 1, 3);
  printf("  one view shared by all (zoomed in 8 times):     %6.3f%%\n", 100.0 * zoomed);
  const double own = ClientsCost(band, kClients, 1);
  printf("  a view each (zoomed 2 to 8 times, own centres): %6.3f%%\n", 100.0 * own);
  return 0;
}
