// The recorder's clock, behind one seam so tests can move the time at will.
#pragma once

#include <windows.h>

#include <stdint.h>

struct WriterClock {
  int64_t (*now)();                     // calendar time in seconds (_time64)
  void (*systemTime)(SYSTEMTIME* utc);  // GetSystemTime
  ULONGLONG (*tickMs)();                // milliseconds that only go forward (GetTickCount64)
};

// The clock the writer and the capture loop read; tests replace its members and restore them.
extern WriterClock g_clock;

// The real clock.
WriterClock SystemClock();
