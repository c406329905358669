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

static ULONGLONG AwakeMs() {
  ULONGLONG hundredNs = 0;
  QueryUnbiasedInterruptTime(&hundredNs);
  return hundredNs / 10000;
}

WriterClock SystemClock() {
  WriterClock clock = {Now, SystemTimeNow, TickMs, AwakeMs};
  return clock;
}

WriterClock g_clock = SystemClock();

int64_t WallMs(const SYSTEMTIME& utc) {
  FILETIME f;
  if (!SystemTimeToFileTime(&utc, &f)) return 0;
  return int64_t((uint64_t(f.dwHighDateTime) << 32 | f.dwLowDateTime) / 10000);
}
