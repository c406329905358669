#include "band_waiter.h"

bool WaiterInit(BandWaiter& w) {
  InitializeCriticalSection(&w.lock);
  ChannelInit(w.channel);
  w.band = -1;
  w.serial = 0;
  w.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  w.live = w.wake != nullptr;
  if (!w.live) DeleteCriticalSection(&w.lock);
  return w.live;
}

void WaiterFree(BandWaiter& w) {
  if (!w.live) return;
  // No thread waits any more: no lock, so this may run where no lock may be taken.
  Close(w.channel);
  w.band = -1;
  CloseHandle(w.wake);
  w.wake = nullptr;
  DeleteCriticalSection(&w.lock);
  w.live = false;
}

// Under the lock: whatever was installed goes, opened (or closed) takes its place.
static void Install(BandWaiter& w, const BandChannel& opened, int32_t band) {
  Close(w.channel);
  w.channel = opened;
  w.band = band;
  w.serial++;
}

bool WaiterOpen(BandWaiter& w, int32_t band) {
  char name[kBandNameSize];
  BandName(band, name);
  // Opened outside the lock, so the waiting thread waits for no more than a copy.
  BandChannel opened;
  ChannelInit(opened);
  bool ok = Open(opened, name);
  EnterCriticalSection(&w.lock);
  Install(w, opened, ok ? band : -1);
  LeaveCriticalSection(&w.lock);
  SetEvent(w.wake);
  return ok;
}

void WaiterClose(BandWaiter& w) {
  BandChannel closed;
  ChannelInit(closed);
  EnterCriticalSection(&w.lock);
  Install(w, closed, -1);
  LeaveCriticalSection(&w.lock);
  SetEvent(w.wake);
}

void WakeWaiter(BandWaiter& w) {
  SetEvent(w.wake);
}

void WaiterEventClose(WaiterEvent& ev) {
  if (ev.event) CloseHandle(ev.event);
  ev.event = nullptr;
}

static void RefreshEvent(BandWaiter& w, WaiterEvent& ev) {
  EnterCriticalSection(&w.lock);
  if (ev.serial != w.serial || (ev.event == nullptr) != (w.channel.event == nullptr)) {
    WaiterEventClose(ev);
    HANDLE self = GetCurrentProcess();
    if (w.channel.event &&
        !DuplicateHandle(self, w.channel.event, self, &ev.event, 0, FALSE, DUPLICATE_SAME_ACCESS))
      ev.event = nullptr;
    ev.serial = w.serial;
  }
  LeaveCriticalSection(&w.lock);
}

void WaitForBand(BandWaiter& w, WaiterEvent& ev, HANDLE stop) {
  RefreshEvent(w, ev);
  HANDLE handles[3];
  DWORD n = 0;
  handles[n++] = w.wake;
  if (stop) handles[n++] = stop;
  if (ev.event) {
    ResetEvent(ev.event);
    handles[n++] = ev.event;
  }
  WaitForMultipleObjects(n, handles, FALSE, kResponsiveWaitMs);
}
