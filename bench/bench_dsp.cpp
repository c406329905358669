// Speed of one client's signal path on the four jobs the protocols ask most:
// input samples per second and the share of one core a client at real time
// costs. Built natively with VEXA_WITH_LIQUID, it times liquid-dsp's nco_crcf +
// msresamp_crcf at 80 dB on the same input in the same run, and the ratio.
#include <math.h>
#include <stdio.h>

#include <complex>
#include <memory>
#include <vector>

#include "bench_input.h"
#include "iq_path_state.h"

#ifdef VEXA_WITH_LIQUID
#include <liquid/liquid.h>
#endif

static const int kBlock = 4096;  // input samples a call
static const int kCycle = 16;    // blocks in the input buffer
static const int kRounds = 7;    // the best of these rounds counts
static const double kPi = 3.14159265358979323846;

struct Job {
  const char* name;
  double inRate, outRate, shift;
};

static const Job kJobs[] = {{"192k -> 12k, tuned", 192000, 12000, 37500},
                            {"192k -> 48k", 192000, 48000, 0},
                            {"192k -> 250k", 192000, 250000, 0},
                            {"192k -> 2.4M", 192000, 2400000, 0}};

static std::vector<float> g_in(2 * size_t(kBlock) * kCycle);
static volatile float g_sink = 0;

// Input samples per second: the best of kRounds runs of `blocks` calls of run(block).
template <typename F>
static double Speed(int blocks, F run) {
  double best = 1e9;
  for (int r = 0; r < kRounds; r++) {
    const double start = BenchNow();
    for (int b = 0; b < blocks; b++) run(&g_in[2 * size_t(b % kCycle) * kBlock]);
    best = fmin(best, BenchNow() - start);
  }
  return double(blocks) * kBlock / best;
}

// Blocks for about a tenth of a second of work at a few tens of M samples/s.
static int Blocks(const Job& job) {
  return job.outRate > 4 * job.inRate ? 100 : 1000;
}

static double OurSpeed(const Job& job) {
  std::unique_ptr<IqPath> path(new IqPath);
  if (!IqPathInit(*path, job.inRate, job.outRate, job.shift)) return 0;
  std::vector<float> out(2 * size_t(IqPathMaxOut(*path, kBlock)));
  return Speed(Blocks(job), [&](const float* in) {
    const int n = IqPathRun(*path, in, kBlock, out.data());
    g_sink = g_sink + out[n / 2];
  });
}

#ifdef VEXA_WITH_LIQUID
static double LiquidSpeed(const Job& job) {
  nco_crcf nco = nco_crcf_create(LIQUID_NCO);
  nco_crcf_set_frequency(nco, float(2 * kPi * job.shift / job.inRate));
  msresamp_crcf rs = msresamp_crcf_create(float(job.outRate / job.inRate), 80.0f);
  std::vector<std::complex<float>> mixed(kBlock);
  std::vector<std::complex<float>> out(size_t(kBlock * job.outRate / job.inRate) + 64);
  const double speed = Speed(Blocks(job), [&](const float* in) {
    const std::complex<float>* x = reinterpret_cast<const std::complex<float>*>(in);
    nco_crcf_mix_block_down(nco, const_cast<std::complex<float>*>(x), mixed.data(), kBlock);
    unsigned int n = 0;
    msresamp_crcf_execute(rs, mixed.data(), kBlock, out.data(), &n);
    g_sink = g_sink + out[n / 2].real();
  });
  msresamp_crcf_destroy(rs);
  nco_crcf_destroy(nco);
  return speed;
}
#endif

int main() {
  BenchInput(g_in, 1e9);
  printf("one client's signal path, blocks of %d input samples, best of %d rounds\n", kBlock,
         kRounds);
  for (const Job& job : kJobs) {
    const double ours = OurSpeed(job);
    printf("  %-20s ours %7.1f M in/s, %6.3f%% of a core", job.name, ours / 1e6,
           100.0 * job.inRate / ours);
#ifdef VEXA_WITH_LIQUID
    const double liquid = LiquidSpeed(job);
    printf(" | liquid-dsp %7.1f M in/s, %6.3f%% | ours %.2f x liquid", liquid / 1e6,
           100.0 * job.inRate / liquid, ours / liquid);
#endif
    printf("\n");
  }
  return 0;
}
