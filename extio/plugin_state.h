// Module state of the plug-in, shared by the exports, the streaming thread, the
// UI thread and the settings dialog, and the routines they all call.
#pragma once

#include "band_probe.h"
#include "band_waiter.h"

// The host's callback: count, status code, I/Q offset (always 0), data.
typedef void(__cdecl* HostCallbackFn)(int32_t count, int32_t status, float iqOffset, void* iqData);

// Status codes sent through the callback.
const int32_t kStatusRateChanged = 100;
const int32_t kStatusLoChanged = 101;
const int32_t kStatusLoLocked = 102;
const int32_t kStatusLoUnlocked = 103;
const int32_t kStatusAttenuatorChanged = 125;

// Hosts take StartHW's count for every data call and expect a multiple of this.
const int32_t kCallbackStep = 512;
const int32_t kMaxCallbackSamples = 2048;  // the streaming thread's buffers hold this many
const int32_t kMinScaleFactor = 0;
const int32_t kMaxScaleFactor = 24;
const int32_t kDefaultScaleFactor = 16;

struct PluginState {
  BandEntry BandTable[kBandCount];  // every band as last probed; all 0 if it did not open;
                                    // written and read under Selected.lock
  volatile int32_t BandCount;       // highest band that opened at the last probe, plus 1
  volatile int32_t SelectedBand;    // band streamed and reported; -1 until the dialog picks one
  volatile int32_t ScaleFactor;     // of the float-to-16-bit conversion, 0..24
  volatile int32_t WantedL0;        // a band the host restored by its frequency, 0 for none
  volatile int32_t ToldRate;        // sample rate the host was last given
  HostCallbackFn volatile HostCallback;  // null: no calls
  HMODULE Module;                        // the dialog template is loaded from it
  DWORD StatusSlot;                  // thread-local: set while the thread is inside a status call
  BandWaiter Selected;               // SelectedChannel and the band it is open on
  CRITICAL_SECTION ReopenLock;       // one (re)open of SelectedChannel at a time
  CRITICAL_SECTION ThreadLock;       // StartHW and StopHW may come from two host threads at once
  HANDLE Thread;                     // streaming thread, null while none is held
  HANDLE StopEvent;                  // manual-reset: set while the streaming thread must end
  volatile uint8_t StopFlag;         // 1 asks the streaming thread to end
  volatile LONG ThreadGeneration;    // a thread whose number is not this one ends
  volatile LONG HostOwner;           // generation of the thread that may call the host, 0: none
  volatile DWORD HostOwnerId;        // and its thread id
  HANDLE HostFree;                   // manual-reset: set while HostOwner is 0
  volatile int32_t CallbackSamples;  // count of every data call, fixed by StartHW
  CRITICAL_SECTION UiLock;           // serialises the host's requests to the UI thread
  HANDLE UiThread;                   // the thread the dialog lives on, null while none
  HANDLE UiReady;                    // set by a new UI thread once it takes requests
  HANDLE UiDone;                     // set by the UI thread once it runs none of our code
  DWORD UiThreadId;
  bool UiClosing;          // the UI thread was asked to close and may not have yet
  HWND volatile UiWindow;  // that thread's message-only window, which takes requests
  HWND volatile Dialog;    // settings dialog, null while it does not exist
};

extern PluginState State;

// Sets the initial values; run once when the module is attached. Creates nothing
// that needs a wait or a lock to release.
void InitPluginState(HMODULE module);

// Releases what InitPluginState created; only once no thread of the module is left.
void FreePluginState();

// Rebuilds BandTable and BandCount from the bands published now.
void ProbeBands();

// Closes SelectedChannel, opens it on SelectedBand and tells the host (100 first
// when the rate is new to it, then 103, 101, 102). False, with nothing sent, when
// SelectedBand is out of range; false, with the calls made, when the band does not open.
bool ReopenSelectedBand();

// As ReopenSelectedBand, but only while SelectedChannel is not open on SelectedBand,
// checked and opened under the lock of every reopen: the dialog and a streaming
// thread that waits for its band never both open it (which would skip what came in
// between, and tell the host twice). afterRestart: the host hears 100 again. False,
// with nothing sent, when it was open already.
bool OpenSelectedBand(bool afterRestart);

// SelectedChannel is open on SelectedBand.
bool SelectedBandOpen();

// Closes SelectedChannel; harmless when it is closed.
void CloseSelectedChannel();

// One status call, when a callback is registered and this thread is not already
// inside one of ours: a host that answers a status by calling back into the
// plug-in gets its answer without another status call. True when the call was made.
bool SendStatus(int32_t status);

// 100 when the selected band's rate differs from the one the host was last given,
// then 103, 101, 102: the host re-reads the sample rate and the LO frequency.
void SendBandChanged();

// The selected band's table entry, or all 0 while no band is selected.
BandEntry SelectedEntry();

// The selected band's rate, noted as the one the host now knows.
int32_t TellRate();

// The host is to hear 100 at the next band change, as after a restart.
void ForgetToldRate();

// One more reference on the module, for a thread of ours that leaves with
// FreeLibraryAndExitThread; false when it cannot be taken.
bool HoldModule(HMODULE* module);

// Waits for event at most ms, handling the messages other threads send to this one
// meanwhile (they may be what the event waits for). True when it was set, or when
// thread (may be null) has been ended from outside, as at process exit. Never waits
// on the thread itself: its end may need the loader lock the caller holds.
bool WaitAnswering(HANDLE event, HANDLE thread, DWORD ms);

// A copy of the table and its count, read together.
int32_t CopyBandTable(BandEntry table[kBandCount]);

// The count of each data call for a band of blockInSamples: the block itself when it
// is a multiple of 512 up to 2048, else the largest such multiple not above it, at
// least 512.
int32_t CallbackSamplesFor(int32_t blockInSamples);
