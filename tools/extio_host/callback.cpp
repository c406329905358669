// The host's callback and the checks it makes on every call.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "host.h"

static const int kCounterModulo = 65536;

// Per thread: the status call this thread is inside (0: none), and the code it
// expects next of a 100 / 103, 101, 102 sequence.
static thread_local int32_t t_insideStatus;
static thread_local int32_t t_expectStatus;

void InitLog() {
  memset(&g_log, 0, sizeof g_log);
  InitializeCriticalSection(&g_log.lock);
  g_log.lastCount = -1;
  g_log.startCount = -1;
  g_log.nextIndex = -1;
  g_log.scale = g_log.scaleLo = g_log.scaleHi = kScale16;
  g_log.slowStarted = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  g_log.closedInCall = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

// ---- data calls --------------------------------------------------------------

// The counter pattern's sample k converted at the given scale factor, within the
// conversion's rounding: I = (m - 32768) * 65536, Q = (32767 - m) * 65536.
static bool MatchesValue(double value, int scale, int16_t got) {
  double x = ldexp(value, -scale);
  if (x > 32767) x = 32767;
  if (x < -32768) x = -32768;
  return fabs(double(got) - x) <= 0.5;
}

static bool BlockMatches(const int16_t* iq, int32_t count, long long first, int scale) {
  if (scale == kScale16) {
    // Exact integers: the common case, cheap enough for the fastest stream.
    int m = int(first);
    for (int32_t i = 0; i < count; i++, m = (m + 1) % kCounterModulo)
      if (iq[2 * i] != m - 32768 || iq[2 * i + 1] != 32767 - m) return false;
    return true;
  }
  for (int32_t i = 0; i < count; i++) {
    long long m = (first + i) % kCounterModulo;
    if (!MatchesValue(double(m - 32768) * 65536, scale, iq[2 * i]) ||
        !MatchesValue(double(32767 - m) * 65536, scale, iq[2 * i + 1]))
      return false;
  }
  return true;
}

// A block converted while the user clicked may carry any scale factor the control
// passed through.
static bool BlockMatchesAnyScale(const int16_t* iq, int32_t count, long long first) {
  if (BlockMatches(iq, count, first, g_log.scale)) {
    // Blocks come in the order they were converted: no older scale follows.
    if (!g_log.clicking && g_log.scaleLo != g_log.scaleHi) {
      printf("data: at scale factor %d from here on\n", g_log.scale);
      g_log.scaleLo = g_log.scaleHi = g_log.scale;
    }
    return true;
  }
  for (int s = g_log.scaleLo; s <= g_log.scaleHi; s++)
    if (BlockMatches(iq, count, first, s)) return true;
  return false;
}

static void CheckCounter(const int16_t* iq, int32_t count) {
  long long next = g_log.nextIndex;
  if (next >= 0 && BlockMatchesAnyScale(iq, count, next)) {
    g_log.nextIndex = (next + count) % kCounterModulo;
    return;
  }
  // Lost samples or the first block: at scale 16 the samples carry their index.
  long long m = iq[0] + 32768;
  if (g_log.scale == kScale16 && BlockMatches(iq, count, m, kScale16)) {
    if (next >= 0 && !g_log.expectReopen) {
      printf("data: the counter jumped from index %lld to %lld after %lld data calls\n", next, m,
             g_log.dataCalls);
      g_log.lostSamples += (m - next + kCounterModulo) % kCounterModulo;
    }
    g_log.nextIndex = (m + count) % kCounterModulo;
    return;
  }
  if (next >= 0 && !g_log.expectReopen) {
    if (g_log.badBlocks++ == 0)
      printf(
          "data: block of %d samples is not the counter from index %lld at scale %d..%d: "
          "I=%d Q=%d\n",
          count, next, g_log.scaleLo, g_log.scaleHi, iq[0], iq[1]);
  }
  g_log.nextIndex = -1;
}

static void NoteThread() {
  DWORD id = GetCurrentThreadId();
  for (int i = 0; i < g_log.threadCount; i++)
    if (g_log.threadIds[i] == id) return;
  if (g_log.threadCount == kMaxThreads) return;
  g_log.threadIds[g_log.threadCount] = id;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                  &g_log.threads[g_log.threadCount], 0, FALSE, DUPLICATE_SAME_ACCESS);
  g_log.threadCount++;
}

static void NoteCount(int32_t count) {
  if (count == g_log.lastCount) return;
  if (g_log.lastCount < 0)
    printf("data: count %d on the first data call\n", count);
  else
    printf("data: count %d (was %d) after %lld data calls\n", count, g_log.lastCount,
           g_log.dataCalls);
  g_log.lastCount = count;
}

static void LogData(int32_t count, const int16_t* iq) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  NoteCount(count);
  if (g_modes.startCount && g_log.startCount > 0) {
    // As hosts that size their buffers once: the count argument is not looked at.
    if (count != g_log.startCount && g_log.countErrors++ == 0)
      printf("data: count %d where StartHW returned %d\n", count, g_log.startCount);
    count = g_log.startCount;
  }
  if (g_log.dataCalls == 0) {
    g_log.firstTime = now;
    g_log.samplesAtFirst = count;
  }
  g_log.lastTime = now;
  g_log.dataCalls++;
  g_log.samples += count;
  if (g_log.stopped) g_log.afterStop++;
  if (g_log.closed) g_log.afterClose++;
  NoteThread();
  if (count > 0 && iq) CheckCounter(iq, count);
}

// ---- status calls -----------------------------------------------------------

static bool Known(int32_t status) {
  return status == 100 || status == 101 || status == 102 || status == 103 || status == 125;
}

// 100 comes before 103; 103, 101, 102 come together; 101 and 125 may come alone.
static void CheckStatusOrder(int32_t status) {
  bool ok = Known(status);
  if (t_expectStatus && status != t_expectStatus) ok = false;
  if (!t_expectStatus && status == 102) ok = false;
  if (!ok) {
    printf("status %d out of order (expected %d)\n", status, t_expectStatus);
    g_log.statusErrors++;
  }
  if (status == 100)
    t_expectStatus = 103;
  else if (status == 103)
    t_expectStatus = 101;
  else if (status == 101 && t_expectStatus == 101)
    t_expectStatus = 102;
  else
    t_expectStatus = 0;
}

static const char* ThreadName() {
  return GetCurrentThreadId() == g_mainThread ? "host's" : "plug-in's";
}

static void OnStatus(int32_t count, int32_t status, void* data) {
  if (count != -1 || data) {
    printf("status %d with count %d and data %p: a status call carries -1 and null\n", status,
           count, data);
    g_log.statusErrors++;
  }
  CheckStatusOrder(status);
  if (g_log.closed) g_log.afterClose++;
  // A step of ours reopens the band: from here on the stream starts anew.
  if (status == 103 && g_log.expectReopen) g_log.nextIndex = -1;
  // A host asks for the new figures in answer to these, from the callback itself.
  printf("status %d after %lld data calls, on the %s thread: GetHWSR=%d GetHWLO=%d\n", status,
         g_log.dataCalls, ThreadName(), g_plugin.GetHWSR ? g_plugin.GetHWSR() : 0,
         g_plugin.GetHWLO ? g_plugin.GetHWLO() : 0);
  if (status == 125 && g_optional.GetActualAttIdx)
    printf("status 125: GetActualAttIdx=%d\n", g_optional.GetActualAttIdx());
}

// What some hosts do when told the LO moved: tune it to where it is, and once more
// a hertz lower after their own rounding, then bring the radio's window up.
static void Retune() {
  int32_t lo = g_plugin.GetHWLO();
  g_plugin.SetHWLO(lo);
  g_plugin.SetHWLO(lo - 1);
  g_plugin.ShowGUI();
}

// Blocks the calling data or status call for a while, as a callback that waits for
// a busy GUI thread does; outside the log's lock, so the host's steps go on.
static void BlockIfAsked(long long& calls, const char* kind) {
  EnterCriticalSection(&g_log.lock);
  bool slow = calls > 0;
  if (slow) calls--;
  DWORD ms = g_log.slowMs;
  LeaveCriticalSection(&g_log.lock);
  if (!slow) return;
  SetEvent(g_log.slowStarted);
  Sleep(ms);
  EnterCriticalSection(&g_log.lock);
  QueryPerformanceCounter(&g_log.slowReturned);
  LeaveCriticalSection(&g_log.lock);
  printf("%s: a %s call returned after blocking %lu ms\n", kind, kind, ms);
}

static void OnStatusCall(int32_t count, int32_t status, void* data) {
  if (t_insideStatus) {
    printf("status %d from inside status %d on the same thread\n", status, t_insideStatus);
    g_log.statusErrors++;
    return;  // a host that recursed here would run out of stack
  }
  t_insideStatus = status;
  EnterCriticalSection(&g_log.lock);
  OnStatus(count, status, data);
  LeaveCriticalSection(&g_log.lock);
  if (status == 101 && g_modes.retune && g_plugin.GetHWLO) Retune();
  BlockIfAsked(g_log.slowStatusCalls, "status");
  t_insideStatus = 0;
}

void OnData(int32_t count, const int16_t* iq) {
  EnterCriticalSection(&g_log.lock);
  if (g_log.unloaded) g_log.afterUnload++;
  LogData(count, iq);
  LeaveCriticalSection(&g_log.lock);
}

// A host that closes the plug-in from its own callback (its client left while a
// block was on its way to it); from then on it is done with the plug-in.
static void CloseIfAsked() {
  EnterCriticalSection(&g_log.lock);
  bool close = g_log.closeCalls > 0;
  if (close) g_log.closeCalls--;
  LeaveCriticalSection(&g_log.lock);
  if (!close) return;
  g_plugin.CloseHW();
  EnterCriticalSection(&g_log.lock);
  g_log.closed = true;
  LeaveCriticalSection(&g_log.lock);
  printf("data: CloseHW returned inside a data call\n");
  SetEvent(g_log.closedInCall);
}

void __cdecl HostCallback(int32_t count, int32_t status, float, void* data) {
  if (status != 0) {
    OnStatusCall(count, status, data);
    return;
  }
  // Hosts keep one set of buffers: a second thread in here at once overwrites them.
  if (InterlockedIncrement(&g_log.dataInside) > 1) {
    EnterCriticalSection(&g_log.lock);
    if (g_log.overlaps++ == 0) printf("data: two data calls at once\n");
    LeaveCriticalSection(&g_log.lock);
  }
  if (g_modes.sendToWindow && GetCurrentThreadId() != g_mainThread)
    SendBlockToWindow(count, data);
  else
    OnData(count, static_cast<const int16_t*>(data));
  BlockIfAsked(g_log.slowCalls, "data");
  CloseIfAsked();
  InterlockedDecrement(&g_log.dataInside);
}

// ---- summary ---------------------------------------------------------------------

void PrintStats() {
  EnterCriticalSection(&g_log.lock);
  double seconds = g_log.dataCalls > 1 ? Seconds(g_log.firstTime, g_log.lastTime) : 0;
  double rate = seconds > 0 ? double(g_log.samples - g_log.samplesAtFirst) / seconds : 0;
  double cpuMs = 0;
  for (int i = 0; i < g_log.threadCount; i++) {
    FILETIME created, exited, kernel, user;
    if (GetThreadTimes(g_log.threads[i], &created, &exited, &kernel, &user))
      cpuMs += (double(kernel.dwLowDateTime) + ldexp(kernel.dwHighDateTime, 32) +
                double(user.dwLowDateTime) + ldexp(user.dwHighDateTime, 32)) /
               1e4;
  }
  printf(
      "stats: %lld data calls, %lld samples in %.3f s, %.0f samples/s, lost %lld, bad blocks "
      "%lld, count errors %lld, data threads since start %d (cpu %.1f ms), after stop %lld, "
      "after close %lld, after unload %lld, overlapping %lld, status errors %lld\n",
      g_log.dataCalls, g_log.samples, seconds, rate, g_log.lostSamples, g_log.badBlocks,
      g_log.countErrors, g_log.threadCount, cpuMs, g_log.afterStop, g_log.afterClose,
      g_log.afterUnload, g_log.overlaps, g_log.statusErrors);
  LeaveCriticalSection(&g_log.lock);
}

// Every anomaly the callback saw counts as an error of the run.
void CheckCalls() {
  EnterCriticalSection(&g_log.lock);
  if (g_log.lostSamples || g_log.badBlocks)
    Error("%s", "data calls lost samples or broke the counter pattern");
  if (g_log.countErrors) Error("%s", "data calls carried another count than StartHW returned");
  if (g_log.afterStop) Error("%s", "data calls came after StopHW returned");
  if (g_log.afterClose) Error("%s", "calls came after CloseHW returned");
  if (g_log.afterUnload) Error("%s", "calls came after the plug-in was unloaded");
  if (g_log.overlaps) Error("%s", "two data calls ran at once");
  if (g_log.statusErrors) Error("%s", "status calls were out of order or nested");
  LeaveCriticalSection(&g_log.lock);
}
