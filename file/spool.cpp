// The spool's clockwork: the band's time from its samples, and where cycles
// begin and end.
#include "spool.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include "spool_file.h"

static void ClearCycle(SpoolCycle& c) {
  memset(&c, 0, sizeof c);
  c.file = INVALID_HANDLE_VALUE;
}

void SpoolSetup(Spool& sp, int32_t seconds, double bandRate, uint64_t budgetBytes) {
  memset(&sp, 0, sizeof sp);
  sp.seconds = seconds;
  sp.cycleSamples = int64_t(seconds) * kSpoolRate;
  sp.budgetBytes = budgetBytes;
  sp.tl.bandRate = bandRate;
  ClearCycle(sp.cycle);
  ClearCycle(sp.pending);
}

void SpoolNewRate(Spool& sp, double bandRate) {
  sp.tl.bandRate = bandRate;
  sp.tl.anchored = false;
}

void SpoolPassStart(Spool& sp, ULONGLONG tickMs, int64_t utcMs) {
  if (sp.tl.clockKnown) return;
  sp.tl.clockKnown = true;
  sp.tl.utcMinusTickMs = utcMs - int64_t(tickMs);
}

// The earliest the block could have been read says when the band's first
// sample since the anchor was taken; the envelope of those readings rises only
// slowly, so blocks read late move nothing.
void SpoolBlock(Spool& sp, int32_t bandSamples, ULONGLONG tickMs) {
  SpoolTimeline& t = sp.tl;
  double blockMs = bandSamples * 1000.0 / t.bandRate;
  if (!t.anchored) {
    t.anchored = true;
    t.anchorAudio = sp.audioCount;
    t.bandMs = 0;
    t.originMs = double(tickMs) - blockMs;
  }
  t.bandMs += blockMs;
  double reading = double(tickMs) - t.bandMs;
  double leaked = t.originMs + blockMs * kSpoolLeak;
  t.lateMs = reading - leaked;
  t.originMs = reading < leaked ? reading : leaked;
}

// UTC of audio sample a, in ms since 1970.
static double UtcOf(const Spool& sp, int64_t a) {
  const SpoolTimeline& t = sp.tl;
  return double(t.utcMinusTickMs) + t.originMs + double(a - t.anchorAudio) * 1000.0 / kSpoolRate;
}

// The first audio sample at or after UTC ms.
static int64_t FirstAt(const Spool& sp, int64_t ms) {
  const SpoolTimeline& t = sp.tl;
  double fromAnchor = (double(ms) - double(t.utcMinusTickMs) - t.originMs) * kSpoolRate / 1000.0;
  return t.anchorAudio + int64_t(ceil(fromAnchor - 1e-6));
}

// A whole cycle waits for the end of the pass; a second one in the same pass (a
// recorder held up longer than a cycle) lets the first go as it stands.
static void Complete(Spool& sp) {
  SpoolFileCommit(sp.pending);
  sp.pending = sp.cycle;
  ClearCycle(sp.cycle);
  sp.nextStartMs = sp.pending.startMs + int64_t(sp.seconds) * 1000;
}

static void Flush(Spool& sp) {
  SpoolFileWrite(sp.cycle, sp.batch, sp.batchCount);
  sp.batchCount = 0;
}

// Takes the kept samples [from, to) into the open cycle.
static void Take(Spool& sp, int64_t from, int64_t to) {
  for (int64_t a = from; a < to; a++) {
    sp.batch[sp.batchCount++] = sp.tail[a % kSpoolTail];
    if (sp.batchCount == kSpoolBatch) Flush(sp);
  }
  sp.cycle.taken += to - from;
  if (sp.cycle.taken < sp.cycleSamples) return;
  Flush(sp);
  Complete(sp);
}

// Opens the next cycle if it begins before `end`; returns where its samples
// begin (before `at` when it began in the kept tail), or end when no cycle
// begins yet.
static int64_t Begin(Spool& sp, int64_t at, int64_t end) {
  int64_t periodMs = int64_t(sp.seconds) * 1000;
  if (sp.nextStartMs == 0) sp.nextStartMs = int64_t(ceil(UtcOf(sp, at) / periodMs)) * periodMs;
  int64_t first = FirstAt(sp, sp.nextStartMs);
  if (first < end - kSpoolTail || first < 0) {  // the timeline moved beyond what is kept
    sp.nextStartMs = 0;
    return at;
  }
  if (first >= end) return end;
  SpoolFileOpen(sp, sp.nextStartMs);
  return first;
}

// Keeps the samples [sp.audioCount, + n) and takes what belongs to cycles.
static void Place(Spool& sp, const int16_t* audio, int n) {
  for (int i = 0; i < n; i++) sp.tail[(sp.audioCount + i) % kSpoolTail] = audio[i];
  int64_t at = sp.audioCount;
  int64_t end = at + n;
  sp.audioCount = end;
  if (!sp.tl.anchored) return;
  for (int guard = 0; at < end && guard < 8; guard++) {
    if (!sp.cycle.open) at = Begin(sp, at, end);
    if (!sp.cycle.open) continue;
    int64_t to = at + (sp.cycleSamples - sp.cycle.taken);
    if (to > end) to = end;
    Take(sp, at, to);
    at = to;
  }
}

void SpoolAudio(Spool& sp, const int16_t* audio, int n) {
  while (n > 0) {
    int piece = n < kSpoolTail / 2 ? n : kSpoolTail / 2;
    Place(sp, audio, piece);
    audio += piece;
    n -= piece;
  }
}

static void Drop(Spool& sp, const char* why) {
  sp.batchCount = 0;
  SpoolFileDrop(sp.pending, why);
  SpoolFileDrop(sp.cycle, why);
  ClearCycle(sp.pending);
  ClearCycle(sp.cycle);
  sp.nextStartMs = 0;
}

void SpoolBreak(Spool& sp, SpoolBreakKind kind, double amount) {
  char why[96] = "";
  switch (kind) {
    case kSpoolStall:
      snprintf(why, sizeof why, "no data from the receiver for %.1f s", amount / 1000);
      break;
    case kSpoolLap:
      snprintf(why, sizeof why, "the recorder fell a ring behind, about %.0f samples lost", amount);
      break;
    case kSpoolRestart:
      snprintf(why, sizeof why, "the band was re-synchronised");
      break;
    case kSpoolClockStep:
      snprintf(why, sizeof why, "the clock was set %+.1f s", amount / 1000);
      break;
  }
  Drop(sp, why);
  if (kind == kSpoolLap || kind == kSpoolRestart) sp.tl.anchored = false;
  if (kind == kSpoolStall) sp.tl.originMs += sp.tl.lateMs;  // the late block is on time
  sp.tl.lateMs = 0;
}

void SpoolPassEnd(Spool& sp, ULONGLONG tickMs, int64_t utcMs, bool drained) {
  SpoolTimeline& t = sp.tl;
  int64_t now = utcMs - int64_t(tickMs);
  int64_t step = now - t.utcMinusTickMs;
  if (t.clockKnown && (step >= kSpoolClockSlewMs || step <= -kSpoolClockSlewMs)) {
    t.utcMinusTickMs = now;
    if (step >= kSpoolClockStepMs || step <= -kSpoolClockStepMs)
      SpoolBreak(sp, kSpoolClockStep, double(step));
  }
  if (drained && t.anchored && t.lateMs > kSpoolStallMs) SpoolBreak(sp, kSpoolStall, t.lateMs);
  SpoolFileCommit(sp.pending);
  ClearCycle(sp.pending);
}

void SpoolClose(Spool& sp) {
  SpoolFileCommit(sp.pending);
  ClearCycle(sp.pending);
  sp.batchCount = 0;
  SpoolFileDiscard(sp.cycle);
  ClearCycle(sp.cycle);
}
