#include "stream_thread.h"

#include "ipps.h"

// How long StopHW waits for a data call in progress. A pass takes at most one wait
// of kResponsiveWaitMs plus a callback; a callback that takes longer is the host's:
// StopHW returns, and the thread makes no call after it returns.
static const DWORD kStopWaitMs = 2000;
// A stream started before its band exists tries to open it this often.
static const ULONGLONG kRetryOpenMs = 100;

// The thread's two fixed buffers, on its stack: 16 KB of ring samples, 8 KB out.
// Each data call takes its count straight out of the ring, which keeps the samples
// that do not make a whole call yet: nothing is carried over here.
struct StreamBuffers {
  float block[kMaxCallbackSamples * 2];
  Ipp16s out[kMaxCallbackSamples * 2];
};

static bool KeepStreaming(LONG generation) {
  return !State.StopFlag && State.ThreadGeneration == generation;
}

// Under the lock: the publisher's SampleRate, BlockInSamples or L0 differ from the
// table's copy.
static bool HeaderChanged(int32_t band) {
  const volatile BandHeader* h = Header(State.Selected.channel);
  const BandEntry& e = State.BandTable[band];
  return h->SampleRate != e.SampleRate || h->BlockInSamples != e.BlockInSamples || h->L0 != e.L0;
}

// Under the lock: the count of every data call; when StartHW came before a band was
// chosen, the first band streamed fixes it.
static int32_t CallbackCount(int32_t band) {
  if (State.CallbackSamples <= 0)
    State.CallbackSamples = CallbackSamplesFor(State.BandTable[band].BlockInSamples);
  return State.CallbackSamples;
}

// Reads and converts one call's worth of the open band, if it is there, and checks
// the header after it.
static bool TakeBlock(StreamBuffers& buf, LONG generation, int32_t* count, bool* changed) {
  bool got = false;
  *changed = false;
  EnterCriticalSection(&State.Selected.lock);
  // Checked under the lock: a thread that a stop or a new StartHW replaced never reads.
  int32_t band = KeepStreaming(generation) ? State.Selected.band : -1;
  if (band >= 0) {
    int32_t n = CallbackCount(band);
    got = Read(State.Selected.channel, n * kSampleBytes, buf.block);
    if (got) {
      ippsConvert_32f16s_Sfs(buf.block, buf.out, 2 * n, ippRndNear, State.ScaleFactor);
      *count = n;
      *changed = HeaderChanged(band);
    }
    // The publisher started anew or jumped: Read moved to its new position, and as
    // no part of a call is held here, the next call begins there, whole.
    if (!got) {
      TakeResync(State.Selected.channel);
      TakeOverrun(State.Selected.channel);
    }
  }
  LeaveCriticalSection(&State.Selected.lock);
  return got;
}

// Takes every whole call's worth available, one data call each.
static void DeliverAvailable(StreamBuffers& buf, LONG generation) {
  for (;;) {
    int32_t count = 0;
    bool changed = false;
    bool got = TakeBlock(buf, generation, &count, &changed);
    HostCallbackFn callback = State.HostCallback;
    if (got && callback) callback(count, 0, 0.0f, buf.out);
    if (changed) {
      ProbeBands();
      // After a callback that outlasted StopHW's wait the host hears nothing more.
      if (KeepStreaming(generation)) SendBandChanged();
    }
    if (!got) return;
  }
}

// After its last call into the host.
static void LeaveHost() {
  State.HostOwnerId = 0;
  InterlockedExchange(&State.HostOwner, 0);
  SetEvent(State.HostFree);
}

// The thread of this generation becomes the one that calls the host, once the one
// before it has returned from its last call (StopHW gave up waiting for it). False
// when it was stopped first.
static bool TakeHost(LONG generation) {
  HANDLE wait[2] = {State.HostFree, State.StopEvent};
  while (KeepStreaming(generation)) {
    if (InterlockedCompareExchange(&State.HostOwner, generation, 0) == 0) {
      ResetEvent(State.HostFree);
      State.HostOwnerId = GetCurrentThreadId();
      // A StopHW that saw the host free before the reset finds the thread asked to
      // stop here, so it makes no call.
      if (KeepStreaming(generation)) return true;
      LeaveHost();
      return false;
    }
    WaitForMultipleObjects(2, wait, FALSE, kResponsiveWaitMs);
  }
  return false;
}

// The selected band did not open (the publisher is not there yet, or restarts):
// tries again at most every kRetryOpenMs, and tells the host as after a restart
// once it opens, unless the dialog opened it first.
static void RetryClosedBand(ULONGLONG* lastTry) {
  int32_t band = State.SelectedBand;
  if (band < 0 || State.Selected.band >= 0) return;
  ULONGLONG now = GetTickCount64();
  if (now - *lastTry < kRetryOpenMs) return;
  *lastTry = now;
  if (!BandOpens(band)) return;
  ProbeBands();
  OpenSelectedBand(true);
}

// Runs on a reference to the module that StartStreamThread took for it.
static DWORD WINAPI StreamThread(void* arg) {
  LONG generation = LONG(reinterpret_cast<intptr_t>(arg));
  StreamBuffers buf;
  WaiterEvent wake;
  WaiterEventInit(wake);
  if (TakeHost(generation)) {
    ReopenSelectedBand();
    ULONGLONG lastTry = GetTickCount64();
    while (KeepStreaming(generation)) {
      WaitForBand(State.Selected, wake, State.StopEvent);
      RetryClosedBand(&lastTry);
      DeliverAvailable(buf, generation);
    }
    LeaveHost();
  }
  WaiterEventClose(wake);
  // The module may be unmapped the moment the reference goes: leave through code
  // that is not ours.
  FreeLibraryAndExitThread(State.Module, 0);
  return 0;
}

// Not a wait on the thread: it may be the loader lock that keeps it from ending.
static bool StreamThreadRunning() {
  DWORD code = 0;
  return State.Thread && !State.StopFlag && GetExitCodeThread(State.Thread, &code) &&
         code == STILL_ACTIVE;
}

// Set under the lock the thread reads it with.
static int32_t FixCallbackSamples() {
  BandEntry entry = SelectedEntry();
  int32_t count = State.SelectedBand >= 0 ? CallbackSamplesFor(entry.BlockInSamples) : 0;
  EnterCriticalSection(&State.Selected.lock);
  State.CallbackSamples = count;
  LeaveCriticalSection(&State.Selected.lock);
  return count;
}

// Under ThreadLock.
static void StartLocked() {
  if (StreamThreadRunning()) return;
  if (State.Thread) CloseHandle(State.Thread);
  State.Thread = nullptr;
  // Taken here, not by the thread: a FreeLibrary right after StartHW must not unmap
  // the code before the thread runs it.
  HMODULE self = nullptr;
  if (!HoldModule(&self)) return;
  State.StopFlag = 0;
  ResetEvent(State.StopEvent);
  LONG generation = InterlockedIncrement(&State.ThreadGeneration);
  State.Thread = CreateThread(nullptr, 0, StreamThread,
                              reinterpret_cast<void*>(intptr_t(generation)), 0, nullptr);
  if (!State.Thread) FreeLibrary(self);
}

int32_t StartStreamThread() {
  EnterCriticalSection(&State.ThreadLock);
  int32_t count = FixCallbackSamples();
  StartLocked();
  LeaveCriticalSection(&State.ThreadLock);
  return count;
}

// The wait is outside the lock: the thread's own callback may call StopHW (or
// StartHW) meanwhile. It waits for the thread to be out of the host's code, never
// for its end, and answers what the host's threads send this one meanwhile: a
// callback that waits for this thread returns.
bool StopStreamThread() {
  EnterCriticalSection(&State.ThreadLock);
  HANDLE thread = State.Thread;
  State.Thread = nullptr;
  State.StopFlag = 1;
  SetEvent(State.StopEvent);
  LeaveCriticalSection(&State.ThreadLock);
  bool self = State.HostOwnerId == GetCurrentThreadId();
  bool out = !self && WaitAnswering(State.HostFree, thread, kStopWaitMs);
  if (thread) CloseHandle(thread);
  return out;
}
