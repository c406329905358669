#include "spool_loop.h"

#include <stdio.h>
#include <stdlib.h>

#include "clock.h"
#include "console_queue.h"
#include "demod_state.h"
#include "receiver_band.h"
#include "recorder.h"
#include "spool_file.h"

// Too large for the stack, made once for the run.
static Demod g_demod;
static Spool g_spool;

bool TuneChannel(ChannelRun& r, int32_t sampleRate, int32_t l0) {
  const SpoolSettings& s = *r.settings;
  r.rate = sampleRate;
  r.l0 = l0;
  double offset = double(s.freqHz) - double(l0);
  if (sampleRate > 0 &&
      DemodInit(*r.demod, s.mode, sampleRate, offset, kSpoolRate, s.widthHz, kDemodSteady)) {
    // A band published anew at a lower rate gives more audio per input sample:
    // smaller calls keep it within the buffer made at the start.
    r.chunkIn = kDemodMaxIn;
    while (r.audioCapacity > 0 && DemodMaxOut(*r.demod, r.chunkIn) > r.audioCapacity)
      r.chunkIn /= 2;
    return true;
  }
  double low, high;
  DemodPassband(s.mode, s.widthHz, low, high);
  ConsolePrintf(stderr,
                "Can't demodulate %d Hz (passband %.0f..%.0f Hz) in %d receiver: it covers "
                "%.0f..%.0f Hz (L0=%d SampleRate=%d)\n",
                s.freqHz, s.freqHz + low, s.freqHz + high, r.band, l0 - sampleRate / 2.0,
                l0 + sampleRate / 2.0, l0, sampleRate);
  return false;
}

static void TakeBlock(ChannelRun& r) {
  SpoolBlock(*r.spool, r.blockInSamples, g_clock.tickMs());
  for (int32_t done = 0; done < r.blockInSamples;) {
    int n = r.blockInSamples - done < r.chunkIn ? r.blockInSamples - done : r.chunkIn;
    int made = DemodRun(*r.demod, r.input + 2 * done, n, r.audio);
    SpoolAudio(*r.spool, r.audio, made);
    done += n;
  }
}

// The band was published anew, its write position jumped or it lapped the
// recorder: the cycle in it is lost, and the channel takes the band's new values.
static void Resync(ChannelRun& r, int64_t lost) {
  SpoolBreak(*r.spool, lost > 0 ? kSpoolLap : kSpoolRestart, double(lost));
  const volatile BandHeader* h = Header(*r.ch);
  if (!h) return;
  int32_t rate = h->SampleRate, l0 = h->L0;
  if (rate != r.rate || l0 != r.l0)
    ConsolePrintf(stdout,
                  "\n%d receiver : band re-synchronised, SampleRate=%d BlockInSamples=%d L0=%d\n",
                  r.band, rate, int32_t(h->BlockInSamples), l0);
  // Taken even where the channel can't follow them, so that a band out of use
  // is told once, not at every look.
  r.rate = rate;
  r.l0 = l0;
  bool was = r.paused;
  r.paused =
      !CanRecord(r.band, rate, r.blockInSamples, r.ch->ringSize) || !TuneChannel(r, rate, l0);
  if (!r.paused) SpoolNewRate(*r.spool, rate);
  if (was && !r.paused) ConsolePrintf(stdout, "\n%d receiver : the channel goes on\n", r.band);
}

// A receiver may change a band's centre or rate in place, with no restart for
// the channel to notice: the audio would come from elsewhere.
static bool Retuned(const ChannelRun& r) {
  const volatile BandHeader* h = Header(*r.ch);
  return h && (h->SampleRate != r.rate || h->L0 != r.l0);
}

static int64_t UtcNowMs() {
  SYSTEMTIME t;
  g_clock.systemTime(&t);
  return UtcMs(t);
}

bool ChannelPass(ChannelRun& r) {
  WaitForData(*r.ch, kResponsiveWaitMs);
  SpoolPassStart(*r.spool, g_clock.tickMs(), UtcNowMs());
  const int32_t len = r.blockInSamples * kSampleBytes;
  ULONGLONG keyCheckedAt = g_clock.tickMs();
  bool drained = true;
  for (;;) {
    if (StoppingBefore(keyCheckedAt)) {
      drained = false;
      break;
    }
    if (!Read(*r.ch, len, r.input)) break;
    if (!r.paused) TakeBlock(r);
  }
  int64_t lost = TakeOverrun(*r.ch);
  if (TakeResync(*r.ch) || Retuned(r)) {
    Resync(r, lost);
    drained = false;
  }
  SpoolPassEnd(*r.spool, g_clock.tickMs(), UtcNowMs(), drained && !r.paused);
  return !StopRequested() && !g_keyPressed();
}

static void ForecastDisk(const SpoolSettings& s) {
  double perHour = double(kSpoolRate) * 2 * 3600;
  printf("Disk use: %.3f GB per hour", perHour / 1e9);
  if (s.budget.unit != NoBudget)
    printf("; the budget of %s holds %.1f hours", s.budget.text,
           double(BudgetBytesAt(s.budget, uint64_t(perHour))) / perHour);
  printf("\n");
}

// The budget must hold the file being written and one waiting for its name.
static bool BudgetHoldsTwoFiles(const SpoolSettings& s) {
  uint64_t two = 2 * SpoolFileBytes(s.seconds);
  if (s.budget.unit == NoBudget || BudgetBytesAt(s.budget, kSpoolRate * 2ull * 3600) >= two)
    return true;
  fprintf(stderr, "Bad --budget (%s): two %d s files take %.6f GB\n", s.budget.text, s.seconds,
          double(two) / 1e9);
  return false;
}

static void Loop(ChannelRun& r) {
  if (g_keyPressed()) return;
  while (!StopRequested() && ChannelPass(r)) {
  }
}

static ExitStatus Spool(ChannelRun& r, const BandHeader& h) {
  r.blockInSamples = h.BlockInSamples;
  if (!CanRecord(r.band, h.SampleRate, h.BlockInSamples, r.ch->ringSize)) return kFailed;
  if (!TuneChannel(r, h.SampleRate, h.L0)) return kBadArguments;
  SpoolSetup(*r.spool, r.settings->seconds, h.SampleRate,
             BudgetBytesAt(r.settings->budget, kSpoolRate * 2ull * 3600));
  r.input = static_cast<float*>(malloc(size_t(h.BlockInSamples) * kSampleBytes));
  r.audioCapacity = DemodMaxOut(*r.demod, kDemodMaxIn);
  r.audio = static_cast<int16_t*>(malloc(size_t(r.audioCapacity) * 2));
  ExitStatus status = kFailed;
  if (r.input && r.audio) {
    ForecastDisk(*r.settings);
    SpoolRemoveLeftovers();
    if (!InstallStopHandler()) printf("Can't register console control handler!\n");
    ConsoleQueueStart();
    Loop(r);
    SpoolClose(*r.spool);
    ConsoleQueueStop();
    RemoveStopHandler();
    status = kStopped;
  } else {
    fprintf(stderr, "Can't spool %d receiver: no memory for BlockInSamples=%d\n", r.band,
            h.BlockInSamples);
  }
  free(r.audio);
  free(r.input);
  return status;
}

ExitStatus SpoolChannel(int argc, char** argv, BandChannel& ch) {
  SpoolSettings settings;
  if (!ParseSpoolCommandLine(argc, argv, &settings)) return kBadArguments;
  if (!BudgetHoldsTwoFiles(settings)) return kBadArguments;
  ChannelRun r = {&ch,     &g_demod, &g_spool,    &settings, 0, 0, nullptr,
                  nullptr, 0,        kDemodMaxIn, false,     0, 0};
  BandHeader header;
  if (!OpenReceiverBand(ch, "record", settings.band, &r.band, &header)) return kFailed;
  return Spool(r, header);
}
