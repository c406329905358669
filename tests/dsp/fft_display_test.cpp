// The FFT against a direct DFT, and the spectrum of a view against tones of
// known frequency and level: the pixel and the level they show, frame after
// frame, and nothing but the window's and the filters' floor anywhere else,
// tones just outside the span included.
#include <gtest/gtest.h>
#include <math.h>

#include <algorithm>
#include <complex>
#include <vector>

#include "fft_display.h"

using Cplx = std::complex<double>;

static const double kPi = 3.14159265358979323846;
static const double kFull = 2147483648.0;  // the band's full scale

TEST(Fft, EqualsTheDirectTransformAtOddAndEvenPowersOfTwo) {
  for (int size : {16, 32, 2048, 8192}) {
    FftPlan plan;
    ASSERT_TRUE(FftPlanInit(plan, size));
    std::vector<float> re(size), im(size);
    std::vector<Cplx> x(size);
    for (int t = 0; t < size; t++) {
      x[t] = Cplx(sin(0.37 * t + 0.001 * t * t), cos(1.3 * t));
      re[t] = float(x[t].real());
      im[t] = float(x[t].imag());
    }
    FftForward(plan, re.data(), im.data());
    double worst = 0.0;
    for (int k = 0; k < size; k += size / 16 + 1) {
      Cplx sum = 0.0;
      for (int t = 0; t < size; t++)
        sum += x[t] * std::polar(1.0, -2 * kPi * double(int64_t(k) * t % size) / size);
      worst = fmax(worst, abs(sum - Cplx(re[k], im[k])) / sqrt(double(size)));
    }
    EXPECT_LT(worst, 1e-5) << size;
    FftPlanFree(plan);
    FftPlanFree(plan);
  }
  FftPlan plan;
  EXPECT_FALSE(FftPlanInit(plan, 1000));
  EXPECT_FALSE(FftPlanInit(plan, 2 * kFftMaxSize));
}

struct Tone {
  double hz;  // from the band's centre
  double db;  // relative to full scale
};

// Band samples holding tones, from sample `first` on, at the band's scale.
static std::vector<float> Band(const std::vector<Tone>& tones, double rate, int64_t first, int n) {
  std::vector<float> iq(2 * size_t(n));
  for (int t = 0; t < n; t++) {
    Cplx v = 0.0;
    for (const Tone& tone : tones) {
      const double turns = tone.hz * double(first + t) / rate;
      v += pow(10.0, tone.db / 20.0) * std::polar(1.0, 2 * kPi * (turns - floor(turns)));
    }
    iq[2 * t] = float(kFull * v.real());
    iq[2 * t + 1] = float(kFull * v.imag());
  }
  return iq;
}

struct View {
  double rate, shift, span;
  int bins;
  double toneHz;     // from the view's centre
  double outsideHz;  // a tone just outside the span, from the view's centre; 0: none
};

class SpectrumTest : public ::testing::TestWithParam<View> {};

// A -20 dBFS tone between two bins and one as strong just outside the span, for
// a second of band time after the first frame, in blocks of 4096: every frame
// shows the tone at its pixel and level, everything more than the main lobe away
// at least 90 dB below it, and the outside tone nowhere.
TEST_P(SpectrumTest, AToneShowsAtItsPixelAndLevelAndNothingElseShows) {
  const View v = GetParam();
  Spectrum s;
  ASSERT_TRUE(SpectrumInit(s, v.rate, v.shift, v.span, v.bins, 20.0));
  std::vector<Tone> tones = {{v.shift + v.toneHz, -20.0}};
  if (v.outsideHz != 0.0) tones.push_back({v.shift + v.outsideHz, -20.0});
  const int pixels = 1000, block = 4096;
  const double binHz = v.span / v.bins;
  const int toneBin = int(floor((v.toneHz + v.span / 2) / binHz + 0.5));
  const int wantPixel = int(floor((v.toneHz + v.span / 2) / v.span * pixels));
  int frames = 0;
  double lowest = 0.0, highest = -300.0;
  const int64_t firstFrame = int64_t(v.rate / (s.size == s.bins ? 1 : 2) * s.size / v.span);
  for (int64_t at = 0; at < firstFrame + int64_t(v.rate); at += block) {
    const std::vector<float> in = Band(tones, v.rate, at, block);
    if (SpectrumRun(s, in.data(), block) == 0) continue;
    frames++;
    int peak = 0;
    for (int b = 1; b < s.bins; b++) peak = s.levels[b] > s.levels[peak] ? b : peak;
    ASSERT_NEAR(toneBin, peak, 1);
    lowest = fmin(lowest, s.levels[peak]);
    highest = fmax(highest, s.levels[peak]);
    for (int b = 0; b < s.bins; b++) {
      if (abs(b - peak) > 4) {
        ASSERT_LT(s.levels[b], -20.0 - 90.0) << "bin " << b;
      }
    }
    uint8_t px[pixels];
    SpectrumRender(s.levels, s.bins, pixels, -127.0, 0.0, px);
    int brightest = 0;
    for (int p = 1; p < pixels; p++) brightest = px[p] > px[brightest] ? p : brightest;
    EXPECT_NEAR(wantPixel, brightest, 1);
    EXPECT_NEAR((127.0 - 20.0) / 127.0 * 255.0, px[brightest], 255.0 / 127.0);
  }
  EXPECT_GE(frames, 15);
  EXPECT_LE(frames, 31);
  EXPECT_GT(lowest, -21.0);  // a tone halfway between bins loses at most 0.85 dB
  EXPECT_LT(highest, -19.0);
  EXPECT_LT(highest - lowest, 0.1);  // steady
  SpectrumFree(s);
  SpectrumFree(s);
}

INSTANTIATE_TEST_SUITE_P(
    Views, SpectrumTest,
    ::testing::Values(View{192000, 0, 192000, 1024, 20000 + 93.75, 0},  // the whole band
                      View{192000, 37500, 24000, 1024, -5000 + 11.72 / 2, 12500},
                      View{192000, -60000, 3000, 2048, 100.2, -1550},
                      View{2400000, 0, 2400000, 32768, -1e6 + 73.24 / 2, 0}));

TEST(SpectrumRender, EachPixelShowsTheStrongestBinItCoversOnTheByteScale) {
  std::vector<float> levels(4096, -200.0f);
  levels[1234] = -20.0f;  // a carrier one bin wide
  levels[4095] = 10.0f;   // above the scale
  levels[0] = -63.5f;
  uint8_t px[1000];
  SpectrumRender(levels.data(), 4096, 1000, -127.0, 0.0, px);
  EXPECT_EQ(1234 * 1000 / 4096, std::max_element(px, px + 999) - px);
  EXPECT_EQ(uint8_t(floor(107.0 / 127.0 * 255.0 + 0.5)), px[1234 * 1000 / 4096]);
  EXPECT_EQ(255, px[999]);
  EXPECT_EQ(128, px[0]);
  int zero = 0;
  for (uint8_t p : px) zero += p == 0;
  EXPECT_EQ(997, zero);
}

TEST(Spectrum, RefusesViewsItCannotShow) {
  Spectrum s;
  EXPECT_FALSE(SpectrumInit(s, 192000, 0, 192000, 1000, 20));  // not a power of two
  EXPECT_FALSE(SpectrumInit(s, 192000, 0, 120000, 1024, 20));  // more than half, not all
  EXPECT_FALSE(SpectrumInit(s, 192000, 0, 192000, 2 * kSpectrumMaxBins, 20));
  EXPECT_FALSE(SpectrumInit(s, 0, 0, 0, 1024, 20));
  SpectrumFree(s);
}
