// The signal path against a direct computation: tones swept over the whole input
// band, each one's output compared with the tone it should be (level, absolute
// frequency) and searched for anything else in the output's passband.
#include <gtest/gtest.h>
#include <math.h>

#include <algorithm>
#include <complex>
#include <memory>
#include <vector>

#include "iq_path_state.h"

using Cplx = std::complex<double>;

static const double kPi = 3.14159265358979323846;
static const double kFull = 2147483648.0;  // the band's full scale
static const int kFftSize = 4096;
static const double kAmplitude = 0.5;

static void Fft(std::vector<Cplx>& a) {
  const int n = int(a.size());
  for (int i = 1, j = 0; i < n; i++) {
    int bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (int len = 2; len <= n; len <<= 1) {
    const Cplx w = std::polar(1.0, -2.0 * kPi / len);
    for (int i = 0; i < n; i += len) {
      Cplx t = 1.0;
      for (int k = 0; k < len / 2; k++, t *= w) {
        const Cplx u = a[i + k], v = a[i + k + len / 2] * t;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
      }
    }
  }
}

// Frequency f folded into [-rate / 2, rate / 2).
static double Fold(double f, double rate) {
  return f - rate * floor(f / rate + 0.5);
}

struct Job {
  double inRate, outRate, shift;
};

class IqPathTest : public ::testing::TestWithParam<Job> {
 protected:
  void SetUp() override {
    path_.reset(new IqPath);
    const Job job = GetParam();
    ASSERT_TRUE(IqPathInit(*path_, job.inRate, job.outRate, job.shift));
  }

  // The path's output for a tone at f (relative to the input's centre) from
  // sample `first` on, in blocks of uneven sizes; the first `skip` outputs dropped.
  std::vector<Cplx> Run(double f, int outputs, int skip, int retuneAt = -1, double shift2 = 0) {
    const Job job = GetParam();
    EXPECT_TRUE(IqPathInit(*path_, job.inRate, job.outRate, job.shift));
    std::vector<float> in(2 * kIqPathMaxIn), out;
    std::vector<Cplx> result;
    long long t = 0;
    for (int block = 0; int(result.size()) < skip + outputs; block++) {
      const int n = 1 + (block * 7919) % 3001;
      for (int i = 0; i < n; i++, t++) {
        const double a = 2.0 * kPi * Fold(f * double(t) / job.inRate, 1.0);
        in[2 * i] = float(kAmplitude * kFull * cos(a));
        in[2 * i + 1] = float(kAmplitude * kFull * sin(a));
      }
      if (retuneAt >= 0 && t >= retuneAt && t - n < retuneAt) IqPathRetune(*path_, shift2);
      out.resize(2 * size_t(IqPathMaxOut(*path_, n)));
      const int m = IqPathRun(*path_, in.data(), n, out.data());
      EXPECT_LE(m, IqPathMaxOut(*path_, n));
      for (int i = 0; i < m; i++) result.push_back(Cplx(out[2 * i], out[2 * i + 1]));
    }
    result.erase(result.begin(), result.begin() + skip);
    result.resize(outputs);
    return result;
  }

  int Skip() const { return int(4 * path_->slackIn * GetParam().outRate / GetParam().inRate) + 64; }

  std::unique_ptr<IqPath> path_;
};

// The least-squares level of a tone at frequency g (a fraction of the rate) in y.
static Cplx Level(const std::vector<Cplx>& y, double g) {
  Cplx sum = 0.0;
  for (size_t n = 0; n < y.size(); n++) sum += y[n] * std::polar(1.0, -2.0 * kPi * g * n);
  return sum / double(y.size());
}

// Levels per FFT bin under a Blackman-Harris window (side lobes under -92 dB).
static std::vector<double> Spectrum(const std::vector<Cplx>& y) {
  std::vector<Cplx> a(y.size());
  double gain = 0.0;
  for (size_t n = 0; n < y.size(); n++) {
    const double x = 2.0 * kPi * n / y.size();
    const double w = 0.35875 - 0.48829 * cos(x) + 0.14128 * cos(2 * x) - 0.01168 * cos(3 * x);
    a[n] = y[n] * w;
    gain += w;
  }
  Fft(a);
  std::vector<double> level(a.size());
  for (size_t k = 0; k < a.size(); k++) level[k] = std::abs(a[k]) / gain;
  return level;
}

static double Db(double ratio) {
  return 20.0 * log10(ratio + 1e-30);
}

// Every tone kept comes out at its own frequency, level flat within 0.5 dB; every
// alias, image or spur in the output's passband (80% of its width) stays 70 dB down.
TEST_P(IqPathTest, TonesAcrossTheBandKeepLevelFrequencyAndRejection) {
  const Job job = GetParam();
  const double pass = 0.4 * (job.outRate < job.inRate ? job.outRate : job.inRate);
  double lowest = 1e9, highest = -1e9, worstSpur = -1e9;
  const int skip = Skip();
  for (int k = 0; k < 61; k++) {
    const double f = job.inRate * (-0.5 + (k + 0.37) / 61.0);
    const double h = Fold(f - job.shift, job.inRate);  // where the mixer puts it
    std::vector<Cplx> y = Run(f, kFftSize, skip);
    if (fabs(h) < 0.5 * job.outRate) {  // the tone itself is in the output: take it out
      const double g = h / job.outRate;
      if (fabs(h) <= pass) {
        const std::vector<double> s = Spectrum(y);
        const int peak = int(std::max_element(s.begin(), s.end()) - s.begin());
        EXPECT_LE(fabs(Fold(peak - g * kFftSize, kFftSize)), 1.0) << "tone at " << f << " Hz";
      }
      const Cplx level = Level(y, g);
      for (size_t n = 0; n < y.size(); n++) y[n] -= level * std::polar(1.0, 2.0 * kPi * g * n);
      if (fabs(h) <= pass) {
        lowest = fmin(lowest, Db(std::abs(level) / kAmplitude));
        highest = fmax(highest, Db(std::abs(level) / kAmplitude));
      }
    }
    const std::vector<double> s = Spectrum(y);
    for (int b = 0; b < kFftSize; b++) {
      if (fabs(Fold(double(b) / kFftSize, 1.0) * job.outRate) > 0.4 * job.outRate) continue;
      const double db = Db(s[b] / kAmplitude);
      EXPECT_LT(db, -70.0) << "tone at " << f << " Hz, output bin " << b;
      worstSpur = fmax(worstSpur, db);
    }
  }
  EXPECT_LT(highest - lowest, 0.5);
  EXPECT_GT(lowest, -0.5);
  printf("  %g -> %g Hz: passband %.3f .. %.3f dB, worst spur %.1f dB\n", job.inRate, job.outRate,
         lowest, highest, worstSpur);
}

INSTANTIATE_TEST_SUITE_P(Jobs, IqPathTest,
                         ::testing::Values(Job{192000, 12000, 37500}, Job{192000, 48000, -20000},
                                           Job{192000, 44100, 5000}, Job{192000, 250000, 10000},
                                           Job{192000, 2400000, 0}));

// A retune moves the tone at once, with the stream's sample count and level
// unbroken, as a path tuned there from the start.
TEST(IqPathRetune, MovesTheToneWithoutAGap) {
  std::unique_ptr<IqPath> path(new IqPath), fresh(new IqPath);
  ASSERT_TRUE(IqPathInit(*path, 192000, 12000, 30000));
  ASSERT_TRUE(IqPathInit(*fresh, 192000, 12000, 33000));
  std::vector<float> in(2 * 4000), out(2 * IqPathMaxOut(*path, 4000)), ref(out.size());
  std::vector<Cplx> y, z;
  for (int block = 0; block < 40; block++) {
    for (int i = 0; i < 4000; i++) {
      const double a = 2.0 * kPi * Fold(31000.0 * (block * 4000 + i) / 192000, 1.0);
      in[2 * i] = float(kAmplitude * kFull * cos(a));
      in[2 * i + 1] = float(kAmplitude * kFull * sin(a));
    }
    if (block == 20) IqPathRetune(*path, 33000);
    const int m = IqPathRun(*path, in.data(), 4000, out.data());
    ASSERT_EQ(m, IqPathRun(*fresh, in.data(), 4000, ref.data()));
    for (int i = 0; i < m; i++) y.push_back(Cplx(out[2 * i], out[2 * i + 1]));
    for (int i = 0; i < m; i++) z.push_back(Cplx(ref[2 * i], ref[2 * i + 1]));
  }
  ASSERT_GT(y.size(), size_t(40 * 4000 / 16 - 50));  // less only the filters' delay
  for (size_t n = 500; n < y.size(); n++)
    ASSERT_NEAR(std::abs(y[n]), kAmplitude, 0.03) << "output " << n;
  // Past the filters' memory the two streams are one tone, only the phase apart.
  const Cplx turn = y.back() / z.back();
  for (size_t n = y.size() - 2000; n < y.size(); n++) ASSERT_LT(std::abs(y[n] - turn * z[n]), 1e-4);
  EXPECT_NEAR(std::arg(y.back() * std::conj(y[y.size() - 2])), 2.0 * kPi * -2000 / 12000, 1e-4);
}

TEST(IqPathInit, RefusesRatesItCannotHoldAndAnEndlessTuning) {
  std::unique_ptr<IqPath> path(new IqPath);
  EXPECT_FALSE(IqPathInit(*path, 0, 48000, 0));
  EXPECT_FALSE(IqPathInit(*path, 192000, -1, 0));
  EXPECT_FALSE(IqPathInit(*path, NAN, 48000, 0));
  EXPECT_FALSE(IqPathInit(*path, 192000, 192000 * 65.0, 0));
  EXPECT_FALSE(IqPathInit(*path, 1e9, 1.0, 0));
  EXPECT_FALSE(IqPathInit(*path, 192000, 48000, INFINITY));
  EXPECT_TRUE(IqPathInit(*path, 1e7, 1e7 / 8192, 0));
  EXPECT_TRUE(IqPathInit(*path, 192000, 192000, 1000));
}
