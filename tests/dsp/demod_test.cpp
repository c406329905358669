// The demodulators against a direct computation: tones, AM and FM signals made
// here go into a band, and what comes out is fitted with the tone it should be
// (frequency, level) and searched for anything else: the other sideband, the
// rest of the band, the steady level's floor and the AGC's course.
#include <gtest/gtest.h>
#include <math.h>

#include <complex>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "demod_state.h"

using Cplx = std::complex<double>;
using Signal = std::function<Cplx(double t)>;  // the band at t seconds, full scale 1.0

static const double kPi = 3.14159265358979323846;
static const double kFull = 2147483648.0;  // the band's full scale

static Signal Tones(std::vector<double> hz, double amplitude) {
  return [hz, amplitude](double t) {
    Cplx sum = 0.0;
    for (double f : hz) sum += std::polar(amplitude, 2.0 * kPi * fmod(f * t, 1.0));
    return sum;
  };
}

// The audio of `seconds` of the band, fed in blocks of uneven sizes; the last
// second of it unless whole.
static std::vector<double> Play(Demod& d, const Signal& band, double seconds, bool whole = false) {
  std::vector<float> in(2 * kDemodMaxIn);
  std::vector<int16_t> out(DemodMaxOut(d, kDemodMaxIn));
  std::vector<double> audio;
  const long long total = llround(seconds * d.bandRate);
  for (long long t = 0, block = 0; t < total; block++) {
    const int n = int(std::min<long long>(total - t, 1 + (block * 7919) % kDemodMaxIn));
    for (int i = 0; i < n; i++, t++) {
      const Cplx x = band(double(t) / d.bandRate) * kFull;
      in[2 * i] = float(x.real());
      in[2 * i + 1] = float(x.imag());
    }
    const int m = DemodRun(d, in.data(), n, out.data());
    EXPECT_LE(m, DemodMaxOut(d, n));
    audio.insert(audio.end(), out.begin(), out.begin() + m);
  }
  if (!whole) audio.erase(audio.begin(), audio.end() - int(d.audioRate));
  return audio;
}

// The amplitude of the tone at hz in y (full scale 1.0); y holds a whole number
// of its periods.
static double Amplitude(const std::vector<double>& y, double hz, double rate) {
  Cplx sum = 0.0;
  for (size_t n = 0; n < y.size(); n++) sum += y[n] * std::polar(1.0, -2.0 * kPi * hz * n / rate);
  return 2.0 * std::abs(sum) / y.size() / 32768.0;
}

static double Rms(const std::vector<double>& y) {
  double sum = 0.0;
  for (double v : y) sum += v * v;
  return sqrt(sum / y.size()) / 32768.0;
}

// The rms of what is left once the tone at hz is taken out.
static double Residual(std::vector<double> y, double hz, double rate) {
  Cplx sum = 0.0;
  for (size_t n = 0; n < y.size(); n++) sum += y[n] * std::polar(1.0, -2.0 * kPi * hz * n / rate);
  const Cplx a = 2.0 * sum / double(y.size());
  for (size_t n = 0; n < y.size(); n++)
    y[n] -= (a * std::polar(1.0, 2.0 * kPi * hz * n / rate)).real();
  return Rms(y);
}

static double Db(double ratio) {
  return 20.0 * log10(ratio + 1e-30);
}

struct Job {
  DemodMode mode;
  double bandRate, audioRate, offset;  // offset: the frequency given, from the band's centre
};

class DemodTones : public ::testing::TestWithParam<Job> {
 protected:
  void SetUp() override {
    d_.reset(new Demod);
    const Job job = GetParam();
    ASSERT_TRUE(DemodInit(*d_, job.mode, job.bandRate, job.offset, job.audioRate, 0, kDemodSteady));
  }
  void Restart() {
    const Job job = GetParam();
    ASSERT_TRUE(DemodInit(*d_, job.mode, job.bandRate, job.offset, job.audioRate, 0, kDemodSteady));
  }
  std::unique_ptr<Demod> d_;
};

// Where a tone offset by hz from the frequency given is heard.
static double Heard(DemodMode mode, double hz) {
  return mode == kDemodUsb ? hz : mode == kDemodLsb ? -hz : kDemodCwPitchHz + hz;
}

// Each tone in the passband comes out alone at its own pitch (USB: dial + 1500 Hz
// at 1500 Hz; LSB mirrored; CW at 700 Hz and beside it), at the steady gain and
// flat within 0.3 dB; the same tones in the other sideband stay 60 dB down, and
// tones all over the rest of the band together 70 dB down.
TEST_P(DemodTones, PassbandPitchLevelAndRejection) {
  const Job job = GetParam();
  const double a = 0.008, expected = a * kDemodSteadyGain;  // 18 dB under full scale
  const std::vector<double> offsets = job.mode == kDemodCw ? std::vector<double>{-200, 0, 150}
                                                           : std::vector<double>{100, 1500, 2900};
  const double sign = job.mode == kDemodLsb ? -1.0 : 1.0;
  for (double f : offsets) {
    Restart();
    const double hz = Heard(job.mode, sign * f);
    const std::vector<double> y = Play(*d_, Tones({job.offset + sign * f}, a), 1.5);
    EXPECT_NEAR(Db(Amplitude(y, hz, job.audioRate) / expected), 0.0, 0.3) << "tone at " << f;
    EXPECT_LT(Db(Residual(y, hz, job.audioRate) / expected), -60.0) << "tone at " << f;
  }
  double low, high;
  DemodPassband(job.mode, 0, low, high);
  double other = 0.0;
  if (job.mode != kDemodCw) {
    Restart();
    std::vector<double> mirrored;
    for (double f : offsets) mirrored.push_back(job.offset - sign * f);
    other = Rms(Play(*d_, Tones(mirrored, a), 1.5)) * sqrt(2.0);
    EXPECT_LT(Db(other / expected), -60.0);
  }
  // 24 tones spread over the band, outside the passband and its transition.
  std::vector<double> far;
  for (int k = 0; k < 40 && far.size() < 24; k++) {
    const double f = job.bandRate * (-0.5 + (k + 0.41) / 40.0);
    if (f < job.offset + low - 300 || f > job.offset + high + 300) far.push_back(f);
  }
  Restart();
  const double leak = Rms(Play(*d_, Tones(far, a), 1.5)) * sqrt(2.0);
  EXPECT_LT(Db(leak / expected), -70.0);
  printf("  %s %.0f -> %.0f Hz: the rest of the band %.1f dB", DemodModeName(job.mode),
         job.bandRate, job.audioRate, Db(leak / expected));
  if (job.mode != kDemodCw) printf(", the other sideband %.1f dB", Db(other / expected));
  printf(" (-600: no 16-bit step)\n");
}

INSTANTIATE_TEST_SUITE_P(
    Modes, DemodTones,
    ::testing::Values(Job{kDemodUsb, 192000, 48000, 37000}, Job{kDemodUsb, 48000, 12000, -20000},
                      Job{kDemodLsb, 96000, 48000, 3000}, Job{kDemodLsb, 250000, 12000, -50000},
                      Job{kDemodCw, 192000, 48000, -60000}, Job{kDemodCw, 48000, 12000, 1000}),
    [](const ::testing::TestParamInfo<Job>& info) {
      return std::string(DemodModeName(info.param.mode)) + "_" +
             std::to_string(int(info.param.bandRate)) + "_to_" +
             std::to_string(int(info.param.audioRate));
    });

// AM: a carrier at the frequency given, modulated 50% by 1000 Hz, gives the
// 1000 Hz tone at the depth times the carrier times the steady gain, carrier gone.
TEST(DemodAm, TheEnvelopeLessTheCarrier) {
  std::unique_ptr<Demod> d(new Demod);
  ASSERT_TRUE(DemodInit(*d, kDemodAm, 192000, 25000, 12000, 0, kDemodSteady));
  const double carrier = 0.002, depth = 0.5;
  const Signal am = [&](double t) {
    const double envelope = carrier * (1.0 + depth * cos(2.0 * kPi * 1000.0 * t));
    return std::polar(envelope, 2.0 * kPi * fmod(25000.0 * t, 1.0));
  };
  const std::vector<double> y = Play(*d, am, 1.5);
  const double expected = carrier * depth * kDemodSteadyGain;
  EXPECT_NEAR(Db(Amplitude(y, 1000, 12000) / expected), 0.0, 0.3);
  EXPECT_LT(Db(Residual(y, 1000, 12000) / expected), -50.0);
}

// FM: a deviation of D Hz at 800 Hz gives the 800 Hz tone at D over half the
// passband, whatever the carrier's level.
TEST(DemodFm, DeviationBecomesTheTone) {
  std::unique_ptr<Demod> d(new Demod);
  double low, high;
  DemodPassband(kDemodFm, 0, low, high);
  for (double deviation : {1000.0, 3000.0}) {
    for (double level : {0.0001, 0.1}) {
      ASSERT_TRUE(DemodInit(*d, kDemodFm, 96000, -12000, 48000, 0, kDemodAgc));
      const Signal fm = [&](double t) {
        const double phase =
            -12000.0 * t + deviation / 800.0 * sin(2.0 * kPi * 800.0 * t) / (2.0 * kPi);
        return std::polar(level, 2.0 * kPi * fmod(phase, 1.0));
      };
      const std::vector<double> y = Play(*d, fm, 1.5);
      const double expected = deviation / high;
      EXPECT_NEAR(Db(Amplitude(y, 800, 48000) / expected), 0.0, 0.3) << deviation << " Hz";
      EXPECT_LT(Db(Residual(y, 800, 48000) / expected), -40.0) << deviation << " Hz";
    }
  }
}

// The steady level for decoders: noise 100 dB under the band's full scale in the
// channel's passband comes out well above the 16-bit steps, a tone 59 dB over it
// comes out unclipped at the steady gain, and the volume scales both.
TEST(DemodSteady, QuietNoiseAboveTheStepsLoudToneUnclipped) {
  std::unique_ptr<Demod> d(new Demod);
  const double rate = 192000, dial = 14000;
  double low, high;
  DemodPassband(kDemodUsb, 0, low, high);
  // White noise whose power in the passband is -100 dB.
  const double sigma = sqrt(1e-10 * rate / (high - low) / 2.0);
  std::mt19937 random(29);
  std::normal_distribution<double> gauss(0.0, sigma);
  const Signal noise = [&](double) { return Cplx(gauss(random), gauss(random)); };
  ASSERT_TRUE(DemodInit(*d, kDemodUsb, rate, dial, 12000, 0, kDemodSteady));
  const double rms = Rms(Play(*d, noise, 1.5)) * 32768.0;
  EXPECT_GT(rms, 15.0);  // 23 expected: the real part of the channel's noise, times 100
  EXPECT_LT(rms, 35.0);
  const double a = pow(10.0, -41.0 / 20.0);
  ASSERT_TRUE(DemodInit(*d, kDemodUsb, rate, dial, 12000, 0, kDemodSteady));
  std::vector<double> y = Play(*d, Tones({dial + 1000}, a), 1.5);
  double peak = 0.0;
  for (double v : y) peak = fmax(peak, fabs(v));
  EXPECT_LT(peak, 32767.0);
  EXPECT_NEAR(Db(Amplitude(y, 1000, 12000) / (a * kDemodSteadyGain)), 0.0, 0.3);
  ASSERT_TRUE(DemodInit(*d, kDemodUsb, rate, dial, 12000, 0, kDemodSteady));
  DemodSetVolume(*d, 0.25);
  y = Play(*d, Tones({dial + 1000}, a), 1.5);
  EXPECT_NEAR(Db(Amplitude(y, 1000, 12000) / (0.25 * a * kDemodSteadyGain)), 0.0, 0.3);
}

// The listening level over 10 ms windows of a tone at -65 dBFS that jumps to
// -25 dBFS at 1 s and falls back at 2 s: the AGC brings it to its target within
// milliseconds of the rise, holds the gain through the hang after the fall, then
// climbs back at its slow pace to the target.
TEST(DemodAgc, FastAttackHangSlowDecay) {
  std::unique_ptr<Demod> d(new Demod);
  const double rate = 48000, dial = -7000;
  ASSERT_TRUE(DemodInit(*d, kDemodUsb, 96000, dial, rate, 0, kDemodAgc));
  const Signal step = [&](double t) {
    const double a = t >= 1.0 && t < 2.0 ? pow(10.0, -25.0 / 20) : pow(10.0, -65.0 / 20);
    return std::polar(a, 2.0 * kPi * fmod((dial + 1000.0) * t, 1.0));
  };
  const std::vector<double> y = Play(*d, step, 5.0, true);
  // The level (peak, dB under the target) of the 10 ms from t seconds on.
  const auto level = [&](double t) {
    double peak = 0.0;
    for (int n = int(t * rate); n < int((t + 0.01) * rate); n++) peak = fmax(peak, fabs(y[n]));
    return Db(peak / 32768.0 / kDemodAgcTarget);
  };
  EXPECT_NEAR(level(0.9), 0.0, 0.5);   // a weak tone at the target
  EXPECT_NEAR(level(1.02), 0.0, 0.5);  // the strong one too, 40 dB louder, in 20 ms
  EXPECT_NEAR(level(1.9), 0.0, 0.5);
  EXPECT_NEAR(level(2.3), -40.0, 1.0);  // the hang: the gain stays where it was
  EXPECT_GT(level(2.9), -35.0);         // then it climbs, slowly
  EXPECT_LT(level(2.9), -5.0);
  EXPECT_NEAR(level(4.9), 0.0, 0.5);
}

TEST(DemodInit, RefusesWhatItCannotDoAndReadsTheModes) {
  std::unique_ptr<Demod> d(new Demod);
  DemodMode mode = kDemodAm;
  EXPECT_TRUE(DemodParseMode("USB", mode) && mode == kDemodUsb);
  EXPECT_TRUE(DemodParseMode("lsb", mode) && mode == kDemodLsb);
  EXPECT_TRUE(DemodParseMode("Cw", mode) && mode == kDemodCw);
  EXPECT_TRUE(DemodParseMode("fM", mode) && mode == kDemodFm);
  EXPECT_TRUE(DemodParseMode("am", mode) && mode == kDemodAm);
  for (const char* bad : {"", "u", "usbx", "ssb", "wfm", " usb"})
    EXPECT_FALSE(DemodParseMode(bad, mode)) << bad;
  EXPECT_FALSE(DemodParseMode(nullptr, mode));
  EXPECT_EQ(mode, kDemodAm);
  // The passband must lie in the band: USB's reaches 3000 Hz over the dial.
  EXPECT_TRUE(DemodInit(*d, kDemodUsb, 48000, 24000 - 3000, 48000, 0, kDemodAgc));
  EXPECT_FALSE(DemodInit(*d, kDemodUsb, 48000, 24000 - 2999, 48000, 0, kDemodAgc));
  EXPECT_TRUE(DemodInit(*d, kDemodLsb, 48000, -24000 + 3000, 48000, 0, kDemodAgc));
  EXPECT_FALSE(DemodInit(*d, kDemodLsb, 48000, -24000 + 2999, 48000, 0, kDemodAgc));
  EXPECT_FALSE(DemodInit(*d, kDemodAm, 48000, 1e12, 48000, 0, kDemodAgc));
  EXPECT_FALSE(DemodInit(*d, kDemodAm, 48000, NAN, 48000, 0, kDemodAgc));
  // Widths within each mode's range only.
  for (int m = kDemodUsb; m <= kDemodFm; m++) {
    const DemodWidths w = DemodWidthRange(DemodMode(m));
    EXPECT_TRUE(DemodInit(*d, DemodMode(m), 192000, 0, 12000, w.lowest, kDemodSteady)) << m;
    EXPECT_TRUE(DemodInit(*d, DemodMode(m), 192000, 0, 12000, w.highest, kDemodSteady)) << m;
    EXPECT_FALSE(DemodInit(*d, DemodMode(m), 192000, 0, 48000, w.lowest - 1, kDemodSteady)) << m;
    EXPECT_FALSE(DemodInit(*d, DemodMode(m), 192000, 0, 48000, w.highest + 1, kDemodSteady)) << m;
  }
  EXPECT_FALSE(DemodInit(*d, kDemodUsb, 0, 0, 48000, 0, kDemodAgc));
  EXPECT_FALSE(DemodInit(*d, kDemodUsb, -48000, 0, 48000, 0, kDemodAgc));
  EXPECT_FALSE(DemodInit(*d, kDemodUsb, 48000, 0, 0, 0, kDemodAgc));
  EXPECT_FALSE(DemodInit(*d, DemodMode(7), 48000, 0, 48000, 0, kDemodAgc));
  // Odd rates work, from a narrow band upwards.
  EXPECT_TRUE(DemodInit(*d, kDemodUsb, 8000, 0, 48000, 0, kDemodAgc));
  EXPECT_TRUE(DemodInit(*d, kDemodFm, 2400000, 0, 12000, 0, kDemodAgc));
  EXPECT_TRUE(DemodInit(*d, kDemodCw, 44100, 0, 48000, 0, kDemodAgc));
}
