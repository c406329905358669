// Speed of one demodulated channel per mode and band rate: the share of one core
// a channel costs at real time and how many channels one core could run, at the
// recorder's 12000 Hz audio and the player's 48000 Hz, with the IqPath alone
// (the band to 12000 Hz, a network client's job) as the baseline in the same
// run. Also the delay each mode adds, and the allocations made while running
// (there must be none).
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <new>
#include <vector>

#include "bench_input.h"
#include "demod_state.h"

static const int kBlock = 4096;  // input samples a call
static const int kCycle = 16;    // blocks in the input buffer
static const int kRounds = 7;    // the best of these rounds counts
static const double kPi = 3.14159265358979323846;
static const double kRates[] = {48000, 96000, 192000};
static const DemodMode kModes[] = {kDemodUsb, kDemodLsb, kDemodCw, kDemodAm, kDemodFm};

static std::vector<float> g_in(2 * size_t(kBlock) * kCycle);
static volatile int g_sink = 0;
static long g_allocations = 0;

void* operator new(size_t size) {
  g_allocations++;
  void* p = malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void operator delete(void* p) noexcept {
  free(p);
}
void operator delete(void* p, size_t) noexcept {
  free(p);
}

// Seconds of work per second of band: the best of kRounds runs over 2 s of band.
template <typename F>
static double Cost(double bandRate, F run) {
  const int blocks = int(2.0 * bandRate / kBlock) + 1;
  double best = 1e9;
  for (int r = 0; r < kRounds; r++) {
    const double start = BenchNow();
    for (int b = 0; b < blocks; b++) run(&g_in[2 * size_t(b % kCycle) * kBlock]);
    best = fmin(best, BenchNow() - start);
  }
  return best / (double(blocks) * kBlock / bandRate);
}

static double DemodCost(DemodMode mode, double bandRate, double audioRate, long* allocations) {
  std::unique_ptr<Demod> d(new Demod);
  if (!DemodInit(*d, mode, bandRate, 0.123 * bandRate, audioRate, 0, kDemodSteady)) return 0;
  std::vector<int16_t> out(DemodMaxOut(*d, kBlock));
  const long before = g_allocations;
  const double cost = Cost(bandRate, [&](const float* in) {
    g_sink = g_sink + out[DemodRun(*d, in, kBlock, out.data()) / 2];
  });
  *allocations += g_allocations - before;
  return cost;
}

static double PathCost(double bandRate) {
  std::unique_ptr<IqPath> path(new IqPath);
  if (!IqPathInit(*path, bandRate, 12000, 0.123 * bandRate)) return 0;
  std::vector<float> out(2 * size_t(IqPathMaxOut(*path, kBlock)));
  return Cost(bandRate, [&](const float* in) {
    g_sink = g_sink + int(out[IqPathRun(*path, in, kBlock, out.data())]);
  });
}

// The mode's own signal at t seconds (full scale 1.0), its tone switched on at
// 0.5 s: USB, LSB and CW key a carrier, AM and FM modulate theirs, which is there
// from the start.
static void Signal(DemodMode mode, double t, float* iq) {
  const double on = t < 0.5 ? 0.0 : 1.0, tone = 2.0 * kPi * 1000.0 * t;
  double amplitude = mode == kDemodAm || mode == kDemodFm ? 0.001 : 0.001 * on, phase = 0.0;
  if (mode == kDemodUsb) phase = 1500.0 * t;
  if (mode == kDemodLsb) phase = -1500.0 * t;
  if (mode == kDemodAm) amplitude *= 1.0 + 0.5 * on * cos(tone);
  if (mode == kDemodFm) phase = on * 3000.0 / 1000.0 * sin(tone) / (2.0 * kPi);
  iq[0] = float(amplitude * 2147483648.0 * cos(2.0 * kPi * fmod(phase, 1.0)));
  iq[1] = float(amplitude * 2147483648.0 * sin(2.0 * kPi * fmod(phase, 1.0)));
}

// The first audio at half the tone's level, from the signal switched on at 0.5 s, fed in
// blocks of 64 samples: the band's time when it comes out less 0.5 s, in the
// filters and in what the stages hold back. This adds to the player's queue.
static double Delay(DemodMode mode) {
  const double bandRate = 48000, audioRate = 48000;
  const int block = 64;
  std::unique_ptr<Demod> d(new Demod);
  if (!DemodInit(*d, mode, bandRate, 0, audioRate, 0, kDemodSteady)) return -1;
  std::vector<float> in(2 * block);
  std::vector<int16_t> out(DemodMaxOut(*d, block));
  // Half the tone's level: FM's 3000 Hz of 6000, AM's depth of one half.
  const double level = mode == kDemodFm   ? 0.5
                       : mode == kDemodAm ? 0.5 * 0.001 * kDemodSteadyGain
                                          : 0.001 * kDemodSteadyGain;
  const double half = 0.5 * level * 32768;
  for (long t = 0; t < long(1.5 * bandRate); t += block) {
    for (int i = 0; i < block; i++) Signal(mode, (t + i) / bandRate, &in[2 * i]);
    const int m = DemodRun(*d, in.data(), block, out.data());
    for (int n = 0; n < m && t >= long(0.5 * bandRate); n++)  // past the carriers' start
      if (abs(out[n]) >= half) return (t + block) / bandRate - 0.5;
  }
  return -1;
}

int main() {
  BenchInput(g_in, 1e7);
  printf("one demodulated channel, blocks of %d input samples, best of %d rounds:\n", kBlock,
         kRounds);
  printf(
      "share of one core at real time (channels one core runs) and the cost against the\n"
      "IqPath alone from the band to 12000 Hz\n");
  printf("  %-4s %8s  %-26s %-26s\n", "mode", "band", "12000 Hz audio", "48000 Hz audio");
  long allocations = 0;
  for (double rate : kRates) {
    const double path = PathCost(rate);
    printf("  %-4s %5.0f kS/s %6.3f%% (%6.0f)  IqPath alone\n", "-", rate / 1000, 100 * path,
           1 / path);
    for (DemodMode mode : kModes) {
      const double low = DemodCost(mode, rate, 12000, &allocations);
      const double high = DemodCost(mode, rate, 48000, &allocations);
      printf("  %-4s %5.0f kS/s %6.3f%% (%6.0f) %4.1fx  %6.3f%% (%6.0f) %4.1fx\n",
             DemodModeName(mode), rate / 1000, 100 * low, 1 / low, low / path, 100 * high, 1 / high,
             high / path);
    }
  }
  printf("allocations while demodulating: %ld\n", allocations);
  printf("delay from the band to the audio (48 kS/s band, 48000 Hz audio):");
  for (DemodMode mode : kModes) printf(" %s %.1f ms", DemodModeName(mode), 1000 * Delay(mode));
  printf("\n");
  return 0;
}
