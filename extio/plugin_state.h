// Module state of the plug-in, shared by the exports, the streaming thread and the
// settings dialog, and the two routines they all call.
#pragma once

#include "band_channel.h"

// The host's callback: count, status code, I/Q offset (always 0), data.
typedef void(__cdecl* HostCallbackFn)(int32_t count, int32_t status, float iqOffset, void* iqData);

// Status codes sent through the callback.
const int32_t kStatusLoChanged = 101;
const int32_t kStatusLoLocked = 102;
const int32_t kStatusLoUnlocked = 103;

const int32_t kMaxBlockSamples = 2048;  // the streaming thread's buffers hold this many
const int32_t kMinScaleFactor = 0;
const int32_t kMaxScaleFactor = 24;
const int32_t kDefaultScaleFactor = 16;

// The first three header fields of a band, copied at probe time.
struct BandEntry {
  int32_t SampleRate;
  int32_t BlockInSamples;
  int32_t L0;
};

struct PluginState {
  BandEntry BandTable[kBandCount];  // every band as last probed; all 0 if it did not open
  volatile int32_t BandCount;       // highest band that opened at the last probe, plus 1
  volatile int32_t SelectedBand;    // band streamed and reported; -1 until the dialog picks one
  volatile int32_t ScaleFactor;     // of the float-to-16-bit conversion, 0..24
  HostCallbackFn volatile HostCallback;  // null: no calls
  HMODULE Module;                        // the dialog template is loaded from it
  HANDLE Thread;                         // streaming thread, null while none is held
  DWORD ThreadId;
  HANDLE ThreadStarted;            // set by the thread once it runs the module's code
  volatile uint8_t StopFlag;       // 1 asks the streaming thread to end
  volatile LONG ThreadGeneration;  // a thread whose number is not this one ends
  volatile uint8_t Unloading;      // the loader is detaching the module
  HWND Dialog;                     // settings dialog, null while it does not exist
  CRITICAL_SECTION ChannelLock;    // guards the three fields below and the table copy
  BandChannel SelectedChannel;     // the channel the streaming thread reads
  int32_t ChannelBand;             // band SelectedChannel is open on, -1 while closed
  LONG ChannelSerial;              // counts every close and reopen of SelectedChannel
};

extern PluginState State;

// Sets the initial values; run once when the module is attached.
void InitPluginState(HMODULE module);

// Releases what InitPluginState created; only once no streaming thread is left.
void FreePluginState();

// Rebuilds BandTable and BandCount from the bands published now.
void ProbeBands();

// Closes SelectedChannel, opens it on SelectedBand and sends 103, 101, 102.
// False, with nothing sent, when SelectedBand is out of range; false, with the
// three calls made, when the band does not open.
bool ReopenSelectedBand();

// Closes SelectedChannel; harmless when it is closed.
void CloseSelectedChannel();

// One status call, when a callback is registered.
void SendStatus(int32_t status);

// 103, 101, 102: the host re-reads the sample rate and the LO frequency.
void SendBandChanged();

// The selected band's table entry, or all 0 while no band is selected.
BandEntry SelectedEntry();
