// The automatic gain over a stream of messages: a weak tone is lifted clear of
// the 8-bit steps at once, an overload comes down within its own message without
// a clipped value, and quiet brings the gain back up 1 dB at a time.
#include <gtest/gtest.h>
#include <math.h>

#include <vector>

#include "auto_gain.h"

namespace {

const double kRate = 12000.0;
const int kMessage = 120;  // 10 ms

// A complex tone of amplitude a (full scale 1.0), one message of it.
std::vector<float> Tone(double a) {
  std::vector<float> x(2 * kMessage);
  for (int k = 0; k < kMessage; k++) {
    x[2 * k] = float(a * cos(0.3 * k));
    x[2 * k + 1] = float(a * sin(0.3 * k));
  }
  return x;
}

// Packs x as SpyServer's 8-bit with db of gain; the largest |byte - 128|.
int Steps(const std::vector<float>& x, int db) {
  std::vector<unsigned char> bytes(x.size());
  IqPack(kIqU8Centre128, x.data(), kMessage, AutoGainFactor(db), bytes.data());
  int most = 0;
  for (unsigned char b : bytes) most = abs(b - 128) > most ? abs(b - 128) : most;
  return most;
}

TEST(AutoGain, LiftsAWeakToneAtOnceFallsWithinTheLoudMessageAndRisesSlowly) {
  AutoGain a;
  AutoGainReset(a, kIqU8Centre128, kRate);
  const std::vector<float> weak = Tone(1e-5);  // -100 dBFS
  int db = AutoGainNext(a, weak.data(), kMessage);
  EXPECT_EQ(99 - kAutoGainHeadroomDb, db);                // 20 log10(127/128 / 1e-5) = 99.9
  EXPECT_GE(Steps(weak, db), 50);                         // unscaled it would be 0 steps
  EXPECT_EQ(db, AutoGainNext(a, weak.data(), kMessage));  // settled: no pumping

  const std::vector<float> loud = Tone(1e-3);  // 40 dB up, all of a sudden
  int down = AutoGainNext(a, loud.data(), kMessage);
  EXPECT_EQ(59, down);  // the largest whole dB that still fits
  EXPECT_LE(Steps(loud, down), 127);
  EXPECT_GE(Steps(loud, down), 110);

  // Quiet again: 1 dB per 0.1 s (10 messages), never a jump.
  int previous = down;
  for (int m = 1; m <= 100; m++) {
    db = AutoGainNext(a, weak.data(), kMessage);
    ASSERT_LE(db - previous, 1) << m;
    previous = db;
    if (m == 9 || m == 10) {
      EXPECT_EQ(m == 9 ? down : down + 1, db);
    }
  }
  EXPECT_EQ(down + 10, db);
}

TEST(AutoGain, SilenceFloatAndTheFormatTopsAreBounded) {
  AutoGain a;
  AutoGainReset(a, kIqS16, kRate);
  const std::vector<float> zero(2 * kMessage, 0.0f);
  EXPECT_EQ(kAutoGainMaxDb - kAutoGainHeadroomDb, AutoGainNext(a, zero.data(), kMessage));
  // Full scale: nothing to gain, and never below 0 dB.
  const std::vector<float> full = Tone(1.0);
  EXPECT_EQ(0, AutoGainNext(a, full.data(), kMessage));
  AutoGainReset(a, kIqS16, kRate);
  EXPECT_EQ(0, AutoGainNext(a, full.data(), kMessage));
  // One step under the 16-bit top fits at 0 dB but not at 1 dB.
  const std::vector<float> top(2 * kMessage, float(32767.0 / 32768.0 / pow(10.0, 0.05) * 1.0001));
  AutoGainReset(a, kIqS16, kRate);
  AutoGainNext(a, zero.data(), kMessage);
  EXPECT_EQ(0, AutoGainNext(a, top.data(), kMessage));
}

}  // namespace
