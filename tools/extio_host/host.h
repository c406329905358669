// extio_host: a stand-in for an SDR host program. The parts share what is here:
// the plug-in's exports, the log of its callback's calls and the host's modes.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

typedef void(__cdecl* Callback)(int32_t count, int32_t status, float iqOffset, void* iqData);

// The twelve exports every plug-in has.
struct Plugin {
  HMODULE module;
  bool(__stdcall* InitHW)(char*, char*, int32_t*);
  bool(__stdcall* OpenHW)();
  int32_t(__stdcall* StartHW)(int32_t);
  void(__stdcall* StopHW)();
  void(__stdcall* CloseHW)();
  void(__stdcall* HideGUI)();
  void(__stdcall* ShowGUI)();
  int32_t(__stdcall* SetHWLO)(int32_t);
  int32_t(__stdcall* GetHWLO)();
  int32_t(__stdcall* GetHWSR)();
  int32_t(__stdcall* GetStatus)();
  void(__stdcall* SetCallback)(Callback);
};

// Exports newer hosts look up when they are there.
struct OptionalExports {
  int32_t(__stdcall* ExtIoGetSetting)(int32_t, char*, char*);
  void(__stdcall* ExtIoSetSetting)(int32_t, const char*);
  int32_t(__stdcall* GetAttenuators)(int32_t, float*);
  int32_t(__stdcall* GetActualAttIdx)();
  int32_t(__stdcall* SetAttenuator)(int32_t);
  int32_t(__stdcall* ExtIoGetSrates)(int32_t, double*);
  int32_t(__stdcall* ExtIoGetActualSrateIdx)();
  int32_t(__stdcall* ExtIoSetSrate)(int32_t);
};

// How this host behaves, as the SDR programs it stands in for do.
struct HostModes {
  bool startCount;    // every data call is read with StartHW's count, whatever it says
  bool retune;        // the LO-changed handler sets GetHWLO back, twice, and shows the GUI
  bool otherThread;   // the dialog and unload steps run on a thread with no message loop
  bool sendToWindow;  // the callback hands each block to the host's window with SendMessage
};

const int kMaxThreads = 8;
const int kScale16 = 16;

// Everything the callback sees; it runs on the plug-in's threads and on ours.
struct CallLog {
  CRITICAL_SECTION lock;
  long long dataCalls;
  long long samples;
  long long lostSamples;   // gaps in the counter pattern
  long long badBlocks;     // blocks that match the pattern at no expected scale
  long long countErrors;   // data calls whose count is not StartHW's
  long long afterStop;     // data calls that began after StopHW returned
  long long afterClose;    // any call that began after CloseHW returned
  long long afterUnload;   // any call after the module was found unmapped
  long long overlaps;      // data calls made while another one was still running
  LONG dataInside;         // data calls running now
  long long statusErrors;  // codes out of order, unknown, or from inside another status call
  int32_t lastCount;       // count of the last data call, -1 before the first
  int32_t startCount;      // what StartHW returned last, -1 before it
  long long nextIndex;     // counter index expected next, -1 while unknown
  int scale;               // scale factor the dialog's up-down control shows
  int scaleLo, scaleHi;    // range it passed through since a block last showed it
  bool clicking;           // the range is growing
  bool expectReopen;       // a step of ours reopens the band: the counter starts anew
  LARGE_INTEGER firstTime, lastTime;
  long long samplesAtFirst;
  DWORD threadIds[kMaxThreads];
  HANDLE threads[kMaxThreads];
  int threadCount;
  bool stopped;
  bool closed;  // CloseHW returned, and nothing has opened or started the plug-in since
  bool unloaded;
  long long slowCalls;         // data calls still to block
  long long slowStatusCalls;   // status calls still to block
  DWORD slowMs;                // for so long
  HANDLE slowStarted;          // set when a blocking call has begun
  long long closeCalls;        // data calls still to call CloseHW from inside themselves
  HANDLE closedInCall;         // set once CloseHW returned inside a data call
  LARGE_INTEGER slowReturned;  // when the last blocking call returned, 0 before
};

extern Plugin g_plugin;
extern OptionalExports g_optional;
extern HostModes g_modes;
extern CallLog g_log;
extern DWORD g_mainThread;
extern LARGE_INTEGER g_frequency;

// Prints "extio_host: " and the message on stderr and counts an error of the run.
void Error(const char* format, const char* detail);

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to);
double MillisecondsSince(LARGE_INTEGER from);

// callback.cpp
void InitLog();
void __cdecl HostCallback(int32_t count, int32_t status, float iqOffset, void* iqData);
void PrintStats();
void CheckCalls();
// The data call's own work: logs and checks one block.
void OnData(int32_t count, const int16_t* iq);

// window.cpp
// The host's own window on the main thread, which takes blocks with sendToWindow.
bool CreateHostWindow();
// Hands a block to that window and returns once it has taken it.
void SendBlockToWindow(int32_t count, const void* iq);

// plugin.cpp
bool LoadPlugin(const char* path);
// True while the plug-in's code is still mapped in the process.
bool PluginMapped();
// Top-level windows of this process titled title (visible ones in *visible), and its
// message-only windows; the host itself makes none.
int CountProcessWindows(const char* title, int* visible, int* messageOnly);

// dialog.cpp
void PumpMessages();
// Runs the loop until ms have passed or done(arg) says so.
void RunLoop(DWORD ms, bool (*done)(long long), long long arg);
// The plug-in's visible settings dialog, on whichever thread it lives.
HWND SettingsDialog(int* count = nullptr);
void PrintDialog(HWND dialog);
bool PickBand(HWND dialog, long band);
void ClickSpin(HWND dialog, long clicks);
// Posts one click on the up-down control's upper or lower arrow, and goes on.
void PostSpinClick(HWND dialog, bool up);
