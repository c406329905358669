#include "stream_thread.h"

#include <string.h>

#include "ipps.h"

// The thread's own waits are short, so a stop request is heard in time.
static const DWORD kIdlePollMs = 20;     // no channel open: look again after this
static const DWORD kStartWaitMs = 2000;  // for the new thread to begin
static const DWORD kStopWaitMs = 500;    // a pass takes at most one wait plus a callback

// The thread's two fixed buffers, on its stack: 16 KB of ring samples, 8 KB out.
struct StreamBuffers {
  float block[kMaxBlockSamples * 2];
  Ipp16s out[kMaxBlockSamples * 2];
};

// The thread's own copy of the channel's event, so it can wait without holding the
// lock while the dialog reopens the channel.
struct WakeEvent {
  HANDLE event;  // null while no channel is open
  LONG serial;   // State.ChannelSerial when the copy was taken
};

static bool KeepStreaming(LONG generation) {
  return !State.StopFlag && State.ThreadGeneration == generation;
}

static void RefreshWakeEvent(WakeEvent& wake) {
  EnterCriticalSection(&State.ChannelLock);
  if (wake.serial != State.ChannelSerial) {
    if (wake.event) CloseHandle(wake.event);
    wake.event = nullptr;
    if (State.ChannelBand >= 0)
      DuplicateHandle(GetCurrentProcess(), State.SelectedChannel.event, GetCurrentProcess(),
                      &wake.event, 0, FALSE, DUPLICATE_SAME_ACCESS);
    wake.serial = State.ChannelSerial;
  }
  LeaveCriticalSection(&State.ChannelLock);
}

// Waits for the publisher's next signal, with a time-out; false at once while no
// channel is open.
static bool WaitForSelected(WakeEvent& wake) {
  RefreshWakeEvent(wake);
  if (!wake.event) return false;
  ResetEvent(wake.event);
  WaitForSingleObject(wake.event, kResponsiveWaitMs);
  return true;
}

// Under the lock: the publisher's SampleRate, BlockInSamples or L0 differ from the
// table's copy.
static bool HeaderChanged(int32_t band) {
  const volatile BandHeader* h = Header(State.SelectedChannel);
  const BandEntry& e = State.BandTable[band];
  return h->SampleRate != e.SampleRate || h->BlockInSamples != e.BlockInSamples || h->L0 != e.L0;
}

// Reads and converts one whole block of the open band, if one is there, and checks
// the header after it. A block length the buffers cannot hold is never read; its
// header is still checked so that a corrected band is noticed.
static bool TakeBlock(StreamBuffers& buf, LONG generation, int32_t* count, bool* changed) {
  bool got = false;
  *changed = false;
  EnterCriticalSection(&State.ChannelLock);
  // Checked under the lock: a thread that a new StartHW replaced never reads again.
  int32_t band = KeepStreaming(generation) ? State.ChannelBand : -1;
  if (band >= 0) {
    int32_t n = State.BandTable[band].BlockInSamples;
    bool fits = n > 0 && n <= kMaxBlockSamples;
    got = fits && Read(State.SelectedChannel, n * kSampleBytes, buf.block);
    if (got) {
      ippsConvert_32f16s_Sfs(buf.block, buf.out, 2 * n, ippRndNear, State.ScaleFactor);
      *count = n;
    }
    if (got || !fits) *changed = HeaderChanged(band);
  }
  LeaveCriticalSection(&State.ChannelLock);
  return got;
}

// Takes every whole block available, one data call each.
static void DeliverAvailable(StreamBuffers& buf, LONG generation) {
  for (;;) {
    int32_t count = 0;
    bool changed = false;
    bool got = TakeBlock(buf, generation, &count, &changed);
    HostCallbackFn callback = State.HostCallback;
    if (got && callback) callback(count, 0, 0.0f, buf.out);
    if (changed) {
      ProbeBands();
      SendBandChanged();
    }
    if (!got) return;
  }
}

static DWORD WINAPI StreamThread(void* arg) {
  LONG generation = LONG(reinterpret_cast<intptr_t>(arg));
  SetEvent(State.ThreadStarted);
  StreamBuffers buf;
  WakeEvent wake = {nullptr, State.ChannelSerial - 1};
  ReopenSelectedBand();
  while (KeepStreaming(generation)) {
    if (WaitForSelected(wake))
      DeliverAvailable(buf, generation);
    else
      Sleep(kIdlePollMs);
  }
  if (wake.event) CloseHandle(wake.event);
  // During an unload the loader lock is held by the thread waiting for this one;
  // ExitThread would need that lock, so end here without the loader.
  if (State.Unloading) TerminateThread(GetCurrentThread(), 0);
  return 0;
}

static bool StreamThreadRunning() {
  return State.Thread && WaitForSingleObject(State.Thread, 0) == WAIT_TIMEOUT;
}

void StartStreamThread() {
  if (StreamThreadRunning()) return;
  if (State.Thread) CloseHandle(State.Thread);
  State.StopFlag = 0;
  LONG generation = InterlockedIncrement(&State.ThreadGeneration);
  ResetEvent(State.ThreadStarted);
  State.Thread = CreateThread(nullptr, 0, StreamThread,
                              reinterpret_cast<void*>(intptr_t(generation)), 0, &State.ThreadId);
  if (State.Thread) WaitForSingleObject(State.ThreadStarted, kStartWaitMs);
}

bool StopStreamThread() {
  if (!State.Thread) return true;
  State.StopFlag = 1;
  bool ended = WaitForSingleObject(State.Thread, kStopWaitMs) == WAIT_OBJECT_0;
  CloseHandle(State.Thread);
  State.Thread = nullptr;
  State.ThreadId = 0;
  return ended;
}
