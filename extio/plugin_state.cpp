#include "plugin_state.h"

#include <string.h>

PluginState State;

void InitPluginState(HMODULE module) {
  memset(State.BandTable, 0, sizeof State.BandTable);
  State.BandCount = 0;
  State.SelectedBand = -1;
  State.ScaleFactor = kDefaultScaleFactor;
  State.HostCallback = nullptr;
  State.Module = module;
  State.Thread = nullptr;
  State.ThreadId = 0;
  State.ThreadStarted = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  State.StopFlag = 0;
  State.ThreadGeneration = 0;
  State.Unloading = 0;
  State.Dialog = nullptr;
  InitializeCriticalSection(&State.ChannelLock);
  ChannelInit(State.SelectedChannel);
  State.ChannelBand = -1;
  State.ChannelSerial = 0;
}

void FreePluginState() {
  CloseSelectedChannel();
  DeleteCriticalSection(&State.ChannelLock);
  if (State.ThreadStarted) CloseHandle(State.ThreadStarted);
  State.ThreadStarted = nullptr;
}

void ProbeBands() {
  // Built aside and copied at once, so no reader ever sees a half-probed table.
  BandEntry table[kBandCount];
  int32_t count = 0;
  BandChannel probe;
  ChannelInit(probe);
  for (int band = 0; band < kBandCount; band++) {
    char name[kBandNameSize];
    BandName(band, name);
    BandEntry entry = {0, 0, 0};
    if (Open(probe, name)) {
      const volatile BandHeader* h = Header(probe);
      entry.SampleRate = h->SampleRate;
      entry.BlockInSamples = h->BlockInSamples;
      entry.L0 = h->L0;
      count = band + 1;
      Close(probe);
    }
    table[band] = entry;
  }
  EnterCriticalSection(&State.ChannelLock);
  memcpy(State.BandTable, table, sizeof table);
  State.BandCount = count;
  LeaveCriticalSection(&State.ChannelLock);
}

// Under the channel lock.
static void CloseChannelLocked() {
  Close(State.SelectedChannel);
  State.ChannelBand = -1;
  State.ChannelSerial++;
}

bool ReopenSelectedBand() {
  EnterCriticalSection(&State.ChannelLock);
  CloseChannelLocked();
  int32_t band = State.SelectedBand;
  bool inRange = band >= 0 && band < State.BandCount;
  bool opened = false;
  if (inRange) {
    char name[kBandNameSize];
    BandName(band, name);
    opened = Open(State.SelectedChannel, name);
    if (opened) State.ChannelBand = band;
  }
  LeaveCriticalSection(&State.ChannelLock);
  // Outside the lock: the host may call back into the plug-in from its callback.
  if (inRange) SendBandChanged();
  return opened;
}

void CloseSelectedChannel() {
  EnterCriticalSection(&State.ChannelLock);
  CloseChannelLocked();
  LeaveCriticalSection(&State.ChannelLock);
}

void SendStatus(int32_t status) {
  HostCallbackFn callback = State.HostCallback;
  if (callback) callback(-1, status, 0.0f, nullptr);
}

void SendBandChanged() {
  SendStatus(kStatusLoUnlocked);
  SendStatus(kStatusLoChanged);
  SendStatus(kStatusLoLocked);
}

BandEntry SelectedEntry() {
  int32_t band = State.SelectedBand;
  if (band < 0 || band >= kBandCount) return BandEntry{0, 0, 0};
  return State.BandTable[band];
}
