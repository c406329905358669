#include "recorder.h"

#include <conio.h>
#include <stdio.h>
#include <stdlib.h>

#include "clock.h"
#include "console_events.h"
#include "console_queue.h"
#include "receiver_band.h"
#include "sample_pack.h"

// The system ends the process soon after a console-close handler returns; the
// handler waits this long at most for the last file to be completed.
static const DWORD kCloseGraceMs = 4000;

static volatile LONG g_stop = 0;  // set by the control handler, read by the loop
// Set once the last file is completed. The lock keeps it open while a handler
// waits on it: the main thread closes it under the exclusive lock.
static HANDLE g_loopDone = nullptr;
static SRWLOCK g_loopDoneLock = SRWLOCK_INIT;

static bool KeyWaiting() {
  return _kbhit() != 0;
}

bool (*g_keyPressed)() = KeyWaiting;

bool AllocateBlockBuffers(BlockBuffers& b, int32_t blockInSamples) {
  b.input = nullptr;
  b.output = nullptr;
  b.blockInSamples = 0;
  if (blockInSamples <= 0 || blockInSamples > kMaxBlockInSamples) return false;
  b.input = static_cast<float*>(malloc(size_t(blockInSamples) * kSampleBytes));
  b.output = static_cast<uint8_t*>(malloc(size_t(blockInSamples) * 6));
  if (!b.input || !b.output) {
    FreeBlockBuffers(b);
    return false;
  }
  b.blockInSamples = blockInSamples;
  return true;
}

void FreeBlockBuffers(BlockBuffers& b) {
  free(b.output);
  free(b.input);
  b.output = nullptr;
  b.input = nullptr;
  b.blockInSamples = 0;
}

bool CanRecord(int32_t band, int32_t sampleRate, int32_t blockInSamples, int32_t ringSize) {
  return CanFollowBand("record", band, sampleRate, blockInSamples, kMaxBlockInSamples, ringSize);
}

BOOL WINAPI OnConsoleEvent(DWORD controlType) {
  const char* text = ConsoleEventText(controlType);
  if (!text) return FALSE;
  fputs(text, stdout);
  InterlockedExchange(&g_stop, 1);
  if (controlType == CTRL_CLOSE_EVENT) {
    AcquireSRWLockShared(&g_loopDoneLock);
    if (g_loopDone) WaitForSingleObject(g_loopDone, kCloseGraceMs);
    ReleaseSRWLockShared(&g_loopDoneLock);
  }
  return TRUE;
}

bool StopRequested() {
  return g_stop != 0;
}

void ClearStopRequest() {
  InterlockedExchange(&g_stop, 0);
}

bool InstallStopHandler() {
  AcquireSRWLockExclusive(&g_loopDoneLock);
  g_loopDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ReleaseSRWLockExclusive(&g_loopDoneLock);
  return SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != FALSE;
}

void RemoveStopHandler() {
  // Only this thread changes g_loopDone, so it may read it without the lock.
  if (g_loopDone) SetEvent(g_loopDone);
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  AcquireSRWLockExclusive(&g_loopDoneLock);  // a handler still waiting has been let go
  if (g_loopDone) CloseHandle(g_loopDone);
  g_loopDone = nullptr;
  ReleaseSRWLockExclusive(&g_loopDoneLock);
}

// A key check asks the console host, which costs more than a whole block (some
// 300 us under Wine): a long catch-up asks once kKeyCheckMs of work has passed
// since the pass began or the last look, and every pass asks once at its end.
static const ULONGLONG kKeyCheckMs = 100;

static bool Stopping() {
  return StopRequested() || g_keyPressed();
}

bool StoppingBefore(ULONGLONG& keyCheckedAt) {
  if (StopRequested()) return true;
  ULONGLONG now = g_clock.tickMs();
  if (now - keyCheckedAt < kKeyCheckMs) return false;
  keyCheckedAt = now;
  return g_keyPressed();
}

static void TakeBlock(Recording& r) {
  if (r.paused) return;
  const BlockBuffers& b = r.buffers;
  uint32_t bytes = ConvertBlock(b.input, b.blockInSamples, r.w->format, r.scaleFactor, b.output);
  WriteBlock(*r.w, bytes, b.output);
}

// The samples of the gap are gone: the line says when and how many, and the file
// before it ends there, so that each file's times stay true to its samples.
static void ReportOverrun(const Recording& r, int64_t lost) {
  SYSTEMTIME t;
  g_clock.systemTime(&t);
  ConsolePrintf(
      stdout,
      "\n%d receiver : fell a ring behind at %04u-%02u-%02u %02u:%02u:%02u UTC, about %lld "
      "samples lost\n",
      r.band, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, (long long)lost);
}

// The band was re-published, its write position jumped or it overran the
// recorder: what comes next goes into a new file that carries the values the band
// announces now. Blocks keep the start-up length, which only sets how much is read
// at a time. The writer takes the rate even of a band that can't be recorded, so
// that a paused recording sees when the band announces another one.
static void Resync(Recording& r, int64_t lost) {
  CloseFile(*r.w);
  const volatile BandHeader* h = Header(*r.ch);
  int32_t rate = h->SampleRate;
  int32_t l0 = h->L0;
  if (lost > 0)
    ReportOverrun(r, lost);
  else
    ConsolePrintf(stdout,
                  "\n%d receiver : band re-synchronised, SampleRate=%d BlockInSamples=%d L0=%d\n",
                  r.band, rate, int32_t(h->BlockInSamples), l0);
  r.paused = !CanRecord(r.band, rate, r.buffers.blockInSamples, r.ch->ringSize);
  Retune(*r.w, rate, l0);
}

// A publisher may take a band back into use by setting its rate in place, with
// no restart or jump for the channel to notice. A quiet band let go has no header.
static bool RateChangedWhilePaused(const Recording& r) {
  return r.paused && r.ch->view && Header(*r.ch)->SampleRate != r.w->sampleRate;
}

static double BlockMs(const Recording& r) {
  return r.buffers.blockInSamples * 1000.0 / r.w->sampleRate;
}

// A pass that found no block: the silence since the latest block grows.
static void NoteQuiet(Silence& s, ULONGLONG now) {
  if (!s.delivered) return;
  s.quiet = true;
  s.quietToMs = now;
}

// The first block after passes that found none. When they saw a stall, or the
// machine slept since the last block, the file ends with the last sample before
// and this block begins the next. Only looks and sleeps count: a recorder held
// up finds the blocks that came meanwhile.
static void EndSilence(Recording& r, ULONGLONG lookedAt) {
  Silence& s = r.silence;
  bool sawStall = s.quiet && s.quietToMs - s.lastBlockMs > BlockMs(r) + kStallMs;
  bool stalled = !r.paused && (sawStall || s.sleptMs > 0);
  s.quiet = false;
  if (!stalled) return;
  s.stallEnded = true;
  s.resumedAtMs = lookedAt;
  s.stalledAt = r.w->lastBlockAt;
  CloseFile(*r.w);
}

// The blocks after a stall came at the band's pace, the last of them just now;
// a pass that found them late (a band looked up again once a second, a machine
// that woke before the recorder) took several at once. The new file starts when
// the first came (not before the stall began, nor while the machine slept: a
// burst is not paced), and the line says how long the band had nothing before it.
static void ReportStall(Recording& r, int32_t taken, ULONGLONG now) {
  Silence& s = r.silence;
  s.stallEnded = false;
  double stalledMs = double(s.resumedAtMs - s.lastBlockMs);
  double awakeMs = stalledMs > double(s.sleptMs) ? stalledMs - double(s.sleptMs) : 0;
  double early = (taken - 1) * BlockMs(r) - double(now - s.resumedAtMs);
  early = early < 0 ? 0 : early > awakeMs ? awakeMs : early;
  MoveStartEarlier(*r.w, ULONGLONG(early));
  double seconds = (stalledMs - early) / 1000;
  const SYSTEMTIME& t = s.stalledAt;
  char slept[48] = "";
  if (s.sleptMs > 0)
    snprintf(slept, sizeof slept, ": the PC slept for %.1f s", double(s.sleptMs) / 1000);
  ConsolePrintf(stdout,
                "\n%d receiver : no data from the receiver for %.1f s from %04u-%02u-%02u "
                "%02u:%02u:%02u UTC%s\n",
                r.band, seconds, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, slept);
}

// After a pass that looked at lookedAt and took `taken` blocks. A pass held up
// after its look only makes the silence it saw shorter.
static void FollowSilence(Recording& r, int32_t taken, ULONGLONG lookedAt) {
  Silence& s = r.silence;
  if (taken == 0) return NoteQuiet(s, lookedAt);
  ULONGLONG now = g_clock.tickMs();
  if (s.stallEnded) ReportStall(r, taken, now);
  s.delivered = true;
  s.lastBlockMs = now;
  s.sleptMs = 0;
}

// The wall clock was set (by the time service or by hand): the file ends with
// its last block, whose times are of the clock before, and the next one carries
// the times of the clock as it is now.
static void ReportClockSet(Recording& r, int64_t setMs, const SYSTEMTIME& t) {
  CloseFile(*r.w);
  ConsolePrintf(stdout,
                "\n%d receiver : the PC's clock was set %s by %.1f s, to %04u-%02u-%02u "
                "%02u:%02u:%02u UTC\n",
                r.band, setMs > 0 ? "forward" : "back", double(setMs > 0 ? setMs : -setMs) / 1000,
                t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

static int64_t BeyondSlack(int64_t ms) {
  return ms > kClockSlackMs || ms < -kClockSlackMs ? ms : 0;
}

ClockChange WatchClocks(ClockWatch& c) {
  ClockChange change = {0, 0, {}};
  g_clock.systemTime(&change.utc);
  ULONGLONG tick = g_clock.tickMs();
  ClockWatch now = {true, WallMs(change.utc) - int64_t(tick), int64_t(tick - g_clock.awakeMs())};
  if (c.started) {
    change.sleptMs = BeyondSlack(now.sleptMs - c.sleptMs);
    change.setMs = BeyondSlack(now.wallAheadMs - c.wallAheadMs);
  }
  c = now;
  return change;
}

// At each look: a sleep of the machine is a silence of the band, however soon
// the receiver woke (it wrote nothing meanwhile); a wall clock that moved apart
// from the tick clock was set. Either would leave a file whose times do not
// match its samples.
static void FollowClocks(Recording& r) {
  ClockChange change = WatchClocks(r.clocks);
  if (change.sleptMs > 0 && r.silence.delivered) r.silence.sleptMs += ULONGLONG(change.sleptMs);
  if (change.setMs != 0) ReportClockSet(r, change.setMs, change.utc);
}

bool CapturePass(Recording& r) {
  WaitForData(*r.ch, kResponsiveWaitMs);
  if (RateChangedWhilePaused(r)) Resync(r, 0);
  const int32_t len = r.buffers.blockInSamples * kSampleBytes;
  const ULONGLONG lookedAt = g_clock.tickMs();
  FollowClocks(r);
  ULONGLONG keyCheckedAt = lookedAt;
  int32_t taken = 0;
  while (!StoppingBefore(keyCheckedAt) && Read(*r.ch, len, r.buffers.input)) {
    if (taken++ == 0) EndSilence(r, lookedAt);
    TakeBlock(r);
  }
  FollowSilence(r, taken, lookedAt);
  int64_t lost = TakeOverrun(*r.ch);
  if (TakeResync(*r.ch)) Resync(r, lost);
  return !Stopping();
}

void CaptureLoop(Recording& r) {
  if (g_keyPressed()) return;
  while (!StopRequested() && CapturePass(r)) {
  }
}
