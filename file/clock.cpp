#include "clock.h"

#include <time.h>

static int64_t Now() {
  return int64_t(_time64(nullptr));
}

static void SystemTimeNow(SYSTEMTIME* utc) {
  GetSystemTime(utc);
}

WriterClock SystemClock() {
  WriterClock clock = {Now, SystemTimeNow};
  return clock;
}

WriterClock g_clock = SystemClock();
