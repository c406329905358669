// The recorder's clock, behind one seam so tests can move the time at will.
#pragma once

#include <windows.h>

#include <stdint.h>

struct WriterClock {
  int64_t (*now)();                     // calendar time in seconds (_time64)
  void (*systemTime)(SYSTEMTIME* utc);  // GetSystemTime
  // Milliseconds that only go forward, also while the machine sleeps, and that
  // nobody sets (GetTickCount64).
  ULONGLONG (*tickMs)();
  // The same without the time the machine slept or hibernated
  // (QueryUnbiasedInterruptTime): tickMs less awakeMs grows by each sleep.
  ULONGLONG (*awakeMs)();
};

// The clock the writer and the capture loop read; tests replace its members and restore them.
extern WriterClock g_clock;

// The real clock.
WriterClock SystemClock();

// Milliseconds since 1601 of a UTC time, as the wall clock counts them.
int64_t WallMs(const SYSTEMTIME& utc);
