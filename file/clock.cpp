#include "clock.h"

#include <time.h>

static int64_t Now() {
  return int64_t(_time64(nullptr));
}

static void SystemTimeNow(SYSTEMTIME* utc) {
  GetSystemTime(utc);
}

static ULONGLONG TickMs() {
  return GetTickCount64();
}

WriterClock SystemClock() {
  WriterClock clock = {Now, SystemTimeNow, TickMs};
  return clock;
}

WriterClock g_clock = SystemClock();
