#include "plugin_state.h"

#include <string.h>

PluginState State;

void InitPluginState(HMODULE module) {
  memset(State.BandTable, 0, sizeof State.BandTable);
  State.BandCount = 0;
  State.SelectedBand = -1;
  State.ScaleFactor = kDefaultScaleFactor;
  State.WantedL0 = 0;
  State.ToldRate = 0;
  State.HostCallback = nullptr;
  State.Module = module;
  State.StatusSlot = TlsAlloc();
  WaiterInit(State.Selected);
  InitializeCriticalSection(&State.ReopenLock);
  InitializeCriticalSection(&State.ThreadLock);
  State.Thread = nullptr;
  State.StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  State.StopFlag = 0;
  State.ThreadGeneration = 0;
  State.HostOwner = 0;
  State.HostOwnerId = 0;
  State.HostFree = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  State.CallbackSamples = 0;
  InitializeCriticalSection(&State.UiLock);
  State.UiThread = nullptr;
  State.UiReady = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  State.UiDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  State.UiThreadId = 0;
  State.UiClosing = false;
  State.UiWindow = nullptr;
  State.Dialog = nullptr;
}

static void CloseEvent(HANDLE* event) {
  if (*event) CloseHandle(*event);
  *event = nullptr;
}

void FreePluginState() {
  // A UI thread asked to close from inside one of its own calls ended unseen.
  if (State.UiThread) CloseHandle(State.UiThread);
  State.UiThread = nullptr;
  DeleteCriticalSection(&State.UiLock);
  CloseEvent(&State.UiDone);
  CloseEvent(&State.UiReady);
  CloseEvent(&State.HostFree);
  CloseEvent(&State.StopEvent);
  DeleteCriticalSection(&State.ThreadLock);
  DeleteCriticalSection(&State.ReopenLock);
  WaiterFree(State.Selected);
  if (State.StatusSlot != TLS_OUT_OF_INDEXES) TlsFree(State.StatusSlot);
  State.StatusSlot = TLS_OUT_OF_INDEXES;
}

void ProbeBands() {
  // Built aside and copied at once, so no reader ever sees a half-probed table.
  BandEntry table[kBandCount];
  int32_t count = ProbeBandTable(table);
  EnterCriticalSection(&State.Selected.lock);
  memcpy(State.BandTable, table, sizeof table);
  State.BandCount = count;
  LeaveCriticalSection(&State.Selected.lock);
}

int32_t CopyBandTable(BandEntry table[kBandCount]) {
  EnterCriticalSection(&State.Selected.lock);
  memcpy(table, State.BandTable, sizeof State.BandTable);
  int32_t count = State.BandCount;
  LeaveCriticalSection(&State.Selected.lock);
  return count;
}

// Under ReopenLock. The dialog may select another band while this installs the one
// it read before: whoever installs last looks again, so the band left open is
// always the one selected. False when SelectedBand is not listed.
static bool InstallSelectedBand(bool* opened) {
  int32_t band;
  bool listed;
  do {
    band = State.SelectedBand;
    listed = band >= 0 && band < State.BandCount;
    if (listed)
      *opened = WaiterOpen(State.Selected, band);
    else
      WaiterClose(State.Selected);
  } while (band != State.SelectedBand);
  return listed;
}

bool ReopenSelectedBand() {
  bool opened = false;
  EnterCriticalSection(&State.ReopenLock);
  bool listed = InstallSelectedBand(&opened);
  LeaveCriticalSection(&State.ReopenLock);
  if (!listed) return false;
  // Outside the lock: the host may call back into the plug-in from its callback.
  SendBandChanged();
  return opened;
}

bool OpenSelectedBand(bool afterRestart) {
  bool opened = false;
  EnterCriticalSection(&State.ReopenLock);
  bool listed = !SelectedBandOpen() && InstallSelectedBand(&opened);
  if (listed && afterRestart) ForgetToldRate();
  LeaveCriticalSection(&State.ReopenLock);
  if (!listed) return false;
  SendBandChanged();
  return opened;
}

bool SelectedBandOpen() {
  EnterCriticalSection(&State.Selected.lock);
  bool open = State.Selected.band >= 0 && State.Selected.band == State.SelectedBand;
  LeaveCriticalSection(&State.Selected.lock);
  return open;
}

void CloseSelectedChannel() {
  WaiterClose(State.Selected);
}

bool SendStatus(int32_t status) {
  HostCallbackFn callback = State.HostCallback;
  if (!callback || TlsGetValue(State.StatusSlot)) return false;
  TlsSetValue(State.StatusSlot, &State);
  callback(-1, status, 0.0f, nullptr);
  TlsSetValue(State.StatusSlot, nullptr);
  return true;
}

void SendBandChanged() {
  int32_t rate = SelectedEntry().SampleRate;
  // Noted before the call: a host re-reads GetHWSR from inside it.
  if (rate != State.ToldRate) {
    int32_t told = State.ToldRate;
    State.ToldRate = rate;
    if (!SendStatus(kStatusRateChanged)) State.ToldRate = told;
  }
  SendStatus(kStatusLoUnlocked);
  SendStatus(kStatusLoChanged);
  SendStatus(kStatusLoLocked);
}

BandEntry SelectedEntry() {
  BandEntry entry = {};
  int32_t band = State.SelectedBand;
  if (band < 0 || band >= kBandCount) return entry;
  EnterCriticalSection(&State.Selected.lock);
  entry = State.BandTable[band];
  LeaveCriticalSection(&State.Selected.lock);
  return entry;
}

int32_t TellRate() {
  int32_t rate = SelectedEntry().SampleRate;
  State.ToldRate = rate;
  return rate;
}

void ForgetToldRate() {
  State.ToldRate = 0;
}

// Short enough that a thread ended from outside is noticed at once.
static const DWORD kAnswerSliceMs = 10;

static bool EndedFromOutside(HANDLE thread) {
  DWORD code = 0;
  return thread && GetExitCodeThread(thread, &code) && code != STILL_ACTIVE;
}

bool WaitAnswering(HANDLE event, HANDLE thread, DWORD ms) {
  ULONGLONG end = GetTickCount64() + ms;
  for (;;) {
    ULONGLONG now = GetTickCount64();
    DWORD left = now < end ? DWORD(end - now) : 0;
    DWORD r = MsgWaitForMultipleObjects(
        1, &event, FALSE, left < kAnswerSliceMs ? left : kAnswerSliceMs, QS_SENDMESSAGE);
    if (r == WAIT_OBJECT_0) return true;
    if (r == WAIT_FAILED) return false;
    // Handles the messages sent to this thread; posted ones stay for the host's loop.
    MSG msg;
    if (r == WAIT_OBJECT_0 + 1) PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    if (EndedFromOutside(thread)) return true;
    if (left == 0) return false;
  }
}

int32_t CallbackSamplesFor(int32_t blockInSamples) {
  int32_t limit = blockInSamples < kMaxCallbackSamples ? blockInSamples : kMaxCallbackSamples;
  int32_t count = limit / kCallbackStep * kCallbackStep;
  return count < kCallbackStep ? kCallbackStep : count;
}

bool HoldModule(HMODULE* module) {
  return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCSTR>(&State), module) != 0;
}
