// The steps a script names: each drives one export, or the dialog, as a host does.
#include "steps.h"

#include <stdio.h>
#include <string.h>

static const DWORD kDataWaitMs = 30000;
static const DWORD kToggleMs = 50;
static const int kMaxSettings = 16;
static const int kSettingTextSize = 1024;  // what hosts offer for a setting's text

// What a host saves of the plug-in's settings, to give back at its next start.
static char g_saved[kMaxSettings][kSettingTextSize];
static int g_savedCount;
static char g_path[MAX_PATH];  // the plug-in, for reload

static bool EnoughData(long long target) {
  EnterCriticalSection(&g_log.lock);
  bool enough = g_log.dataCalls >= target;
  LeaveCriticalSection(&g_log.lock);
  return enough;
}

static void MarkStopped() {
  EnterCriticalSection(&g_log.lock);
  g_log.stopped = true;
  LeaveCriticalSection(&g_log.lock);
}

// A host that closed the plug-in is done with it: its callback's state may be gone,
// as in a server whose client left. Opening or starting it again ends that.
static void MarkClosed(bool closed) {
  EnterCriticalSection(&g_log.lock);
  g_log.closed = closed;
  LeaveCriticalSection(&g_log.lock);
}

static void InitStep(long) {
  MarkClosed(false);
  char name[64], model[64];
  memset(name, 'x', sizeof name);
  memset(model, 'x', sizeof model);
  int32_t type = -1;
  bool ok = g_plugin.InitHW(name, model, &type);
  name[sizeof name - 1] = model[sizeof model - 1] = 0;
  printf("init: %s, name \"%s\", model \"%s\", type %d\n", ok ? "true" : "false", name, model,
         type);
}

// A host whose callback sends to its window presses Stop while a block waits for
// the window: its thread is busy in the click, not in its loop.
static void AwaitBlockForWindow() {
  for (DWORD waited = 0; waited < kDataWaitMs && g_log.dataInside == 0; waited++) Sleep(1);
}

// Also how long after a blocking data call returned, when it returned meanwhile.
static void StopStep(long) {
  if (g_modes.sendToWindow) AwaitBlockForWindow();
  LARGE_INTEGER start, end;
  QueryPerformanceCounter(&start);
  g_plugin.StopHW();
  QueryPerformanceCounter(&end);
  MarkStopped();
  printf("stop: StopHW returned after %.1f ms\n", Seconds(start, end) * 1000);
  EnterCriticalSection(&g_log.lock);
  LARGE_INTEGER returned = g_log.slowReturned;
  LeaveCriticalSection(&g_log.lock);
  if (returned.QuadPart > start.QuadPart && returned.QuadPart <= end.QuadPart)
    printf("stop: StopHW returned %.1f ms after the blocking data call\n",
           Seconds(returned, end) * 1000);
}

typedef void(__cdecl* CloseOnDetachFn)(void(__stdcall*)(), void(__stdcall*)());

// Loads the host's DLL, which StopHW and CloseHW the plug-in from its process
// detach, and unloads it.
static void DetachCloseStep(long) {
  HMODULE dll = LoadLibraryA("extio_host_detach.dll");
  FARPROC proc = dll ? GetProcAddress(dll, "CloseOnDetach") : nullptr;
  if (!proc) {
    Error("step '%s': extio_host_detach.dll or its export is missing", "detachclose");
    if (dll) FreeLibrary(dll);
    return;
  }
  reinterpret_cast<CloseOnDetachFn>(reinterpret_cast<void*>(proc))(g_plugin.StopHW,
                                                                   g_plugin.CloseHW);
  FreeLibrary(dll);
  MarkStopped();
  MarkClosed(true);
}

// StartHW reopens the band; the threads seen count from here.
static void StartStep(long) {
  EnterCriticalSection(&g_log.lock);
  g_log.stopped = false;
  g_log.closed = false;
  g_log.nextIndex = -1;
  for (int i = 0; i < g_log.threadCount; i++) CloseHandle(g_log.threads[i]);
  g_log.threadCount = 0;
  LeaveCriticalSection(&g_log.lock);
  int32_t count = g_plugin.StartHW(0);
  EnterCriticalSection(&g_log.lock);
  g_log.startCount = count;
  LeaveCriticalSection(&g_log.lock);
  printf("start: StartHW returned %d\n", count);
}

static void UnloadStep(long) {
  LARGE_INTEGER start;
  QueryPerformanceCounter(&start);
  FreeLibrary(g_plugin.module);
  double ms = MillisecondsSince(start);
  memset(&g_plugin, 0, sizeof g_plugin);
  memset(&g_optional, 0, sizeof g_optional);
  printf("unload: FreeLibrary returned after %.1f ms, module %s\n", ms,
         PluginMapped() ? "still mapped" : "unmapped");
}

// Says whether the module unloaded before was unmapped meanwhile: if not, the
// plug-in comes back with the state it had.
static void ReloadStep(long) {
  if (g_plugin.module) {
    Error("step '%s': the plug-in is still loaded", "reload");
    return;
  }
  printf("reload: the module unloaded before is %s\n",
         PluginMapped() ? "still mapped" : "unmapped");
  MarkClosed(false);
  if (LoadPlugin(g_path)) g_plugin.SetCallback(HostCallback);
}

static void SetLoStep(long hz) {
  printf("setlo: SetHWLO(%ld) returned %d\n", hz, g_plugin.SetHWLO(int32_t(hz)));
}

static void RunLoopStep(long seconds) {
  RunLoop(DWORD(seconds) * 1000, nullptr, 0);
}

static void DataStep(long calls) {
  EnterCriticalSection(&g_log.lock);
  long long target = g_log.dataCalls + calls;
  LeaveCriticalSection(&g_log.lock);
  RunLoop(kDataWaitMs, EnoughData, target);
  if (!EnoughData(target)) Error("%s", "data: the data calls did not come");
}

static bool g_slowBegun;

static bool SlowCallBegun(long long) {
  g_slowBegun = WaitForSingleObject(g_log.slowStarted, 0) == WAIT_OBJECT_0;
  return g_slowBegun;
}

// The next call counted by `calls` blocks for ms.
static void BlockNext(long long& calls, long ms) {
  EnterCriticalSection(&g_log.lock);
  calls = 1;
  g_log.slowMs = DWORD(ms);
  g_log.slowReturned.QuadPart = 0;
  LeaveCriticalSection(&g_log.lock);
}

// With the loop running (a call may first hand its block to our window), until
// the blocking call has begun.
static void AwaitBlocking(const char* step, const char* kind) {
  RunLoop(kDataWaitMs, SlowCallBegun, 0);
  char text[64];
  snprintf(text, sizeof text, "%s: %s %s call %s", step, g_slowBegun ? "a" : "no", kind,
           g_slowBegun ? "is blocking" : "came");
  if (g_slowBegun)
    printf("%s\n", text);
  else
    Error("%s", text);
}

// The next data call blocks for ms; the step returns once it has begun.
static void SlowCallStep(long ms) {
  BlockNext(g_log.slowCalls, ms);
  AwaitBlocking("slowcall", "data");
}

static bool ClosedInCall(long long) {
  return WaitForSingleObject(g_log.closedInCall, 0) == WAIT_OBJECT_0;
}

// The next data call calls CloseHW from inside itself; the step returns once it has.
static void CloseInCallStep(long) {
  ResetEvent(g_log.closedInCall);
  EnterCriticalSection(&g_log.lock);
  g_log.closeCalls = 1;
  LeaveCriticalSection(&g_log.lock);
  RunLoop(kDataWaitMs, ClosedInCall, 0);
  if (!ClosedInCall(0)) Error("%s", "closeincall: no data call came");
}

// The dialog a step works on; an error of the step when there is none.
static HWND DialogFor(const char* step) {
  HWND dialog = SettingsDialog();
  if (!dialog) Error("step '%s': there is no settings dialog", step);
  return dialog;
}

static void PickStep(long band) {
  HWND dialog = DialogFor("pick");
  if (dialog && !PickBand(dialog, band)) {
    char text[16];
    snprintf(text, sizeof text, "%ld", band);
    Error("pick: band %s is not in the list", text);
  }
}

static void ScaleStep(long clicks) {
  HWND dialog = DialogFor("scale");
  if (dialog) ClickSpin(dialog, clicks);
}

// A click on the scale factor's up arrow, whose status call (on the dialog's
// thread) blocks for ms; the step returns once that call has begun.
static void SlowStatusStep(long ms) {
  HWND dialog = DialogFor("slowstatus");
  if (!dialog) return;
  BlockNext(g_log.slowStatusCalls, ms);
  PostSpinClick(dialog, true);
  AwaitBlocking("slowstatus", "status");
}

static void StatsStep(long) {
  PrintStats();
}

static void OpenStep(long) {
  MarkClosed(false);
  printf("open: %s\n", g_plugin.OpenHW() ? "true" : "false");
}

static void ShowStep(long) {
  MarkClosed(false);
  g_plugin.ShowGUI();
}

static void DialogStep(long) {
  int count, visible, messageOnly;
  HWND dialog = SettingsDialog(&count);
  int windows = CountProcessWindows("VEXA settings", &visible, &messageOnly);
  printf("dialog: %d shown; windows of the process: %d dialogs, %d message-only\n", count, windows,
         messageOnly);
  if (dialog) PrintDialog(dialog);
}

// A user who closes and opens the radio's window again and again while it streams.
static void ToggleStep(long times) {
  for (long i = 0; i < times; i++) {
    g_plugin.HideGUI();
    RunLoop(kToggleMs, nullptr, 0);
    g_plugin.ShowGUI();
    RunLoop(kToggleMs, nullptr, 0);
  }
  printf("toggle: hidden and shown %ld times\n", times);
}

static void HideStep(long) {
  g_plugin.HideGUI();
}

static void CloseStep(long) {
  LARGE_INTEGER start;
  QueryPerformanceCounter(&start);
  g_plugin.CloseHW();
  MarkClosed(true);
  printf("close: CloseHW returned after %.1f ms\n", MillisecondsSince(start));
}

static void SrStep(long) {
  printf("sr: GetHWSR returned %d\n", g_plugin.GetHWSR());
}

static void LoStep(long) {
  printf("lo: GetHWLO returned %d\n", g_plugin.GetHWLO());
}

static void StatusStep(long) {
  printf("status: GetStatus returned %d\n", g_plugin.GetStatus());
}

static void CallbackStep(long) {
  g_plugin.SetCallback(HostCallback);
}

static void NoCallbackStep(long) {
  g_plugin.SetCallback(nullptr);
}

// The optional exports a step needs; an error of the step when they are missing.
static bool Optional(const char* step, bool present) {
  if (!present) Error("step '%s': the plug-in lacks the export", step);
  return present;
}

// Prints every setting and keeps it, as a host saves them when it closes.
static void SettingsStep(long) {
  if (!Optional("settings", g_optional.ExtIoGetSetting)) return;
  g_savedCount = 0;
  for (int i = 0; i < kMaxSettings; i++) {
    char description[kSettingTextSize] = "", value[kSettingTextSize] = "";
    if (g_optional.ExtIoGetSetting(i, description, value) != 0) break;
    printf("settings: %d \"%s\" = \"%s\"\n", i, description, value);
    memcpy(g_saved[i], value, sizeof value);
    g_savedCount = i + 1;
  }
}

// Gives every saved setting back, as a host does at its next start.
static void RestoreStep(long) {
  if (!Optional("restore", g_optional.ExtIoSetSetting)) return;
  for (int i = 0; i < g_savedCount; i++) g_optional.ExtIoSetSetting(i, g_saved[i]);
  printf("restore: %d settings given back\n", g_savedCount);
}

static void AttStep(long) {
  if (!Optional("att", g_optional.GetAttenuators && g_optional.GetActualAttIdx)) return;
  float db = 0;
  for (int i = 0; g_optional.GetAttenuators(i, &db) == 0; i++) printf("att: %d %.2f dB\n", i, db);
  printf("att: actual %d\n", g_optional.GetActualAttIdx());
}

static void SetAttStep(long index) {
  if (!Optional("setatt", g_optional.SetAttenuator)) return;
  int32_t result = g_optional.SetAttenuator(int32_t(index));
  printf("setatt: SetAttenuator(%ld) returned %d\n", index, result);
  if (result == 0) {
    EnterCriticalSection(&g_log.lock);
    g_log.scale = g_log.scaleLo = g_log.scaleHi = 24 - int(index);
    LeaveCriticalSection(&g_log.lock);
  }
}

// TempestSDR's loader counts the list with a post-increment, so it holds one more
// than there are, and starts at entry 0.5 times that.
static void TempestAttStep(long) {
  if (!Optional("tempestatt", g_optional.GetAttenuators && g_optional.SetAttenuator)) return;
  float db = 0;
  int32_t counted = 0;
  while (g_optional.GetAttenuators(counted++, &db) == 0) {
  }
  long middle = long(0.5 * counted);
  printf("tempestatt: counted %d, the middle is entry %ld\n", counted, middle);
  SetAttStep(middle);
}

static void SratesStep(long) {
  if (!Optional("srates", g_optional.ExtIoGetSrates && g_optional.ExtIoGetActualSrateIdx &&
                              g_optional.ExtIoSetSrate))
    return;
  double rate = 0;
  for (int i = 0; g_optional.ExtIoGetSrates(i, &rate) == 0; i++)
    printf("srates: %d %.0f\n", i, rate);
  printf("srates: actual %d, SetSrate(0) %d, SetSrate(1) %d\n", g_optional.ExtIoGetActualSrateIdx(),
         g_optional.ExtIoSetSrate(0), g_optional.ExtIoSetSrate(1));
}

// name, takes a number, needs the plug-in, reopens the band, runs elsewhere
// with --other-thread, what it does.
static const Step kSteps[] = {
    {"init", false, true, false, false, InitStep},
    {"open", false, true, true, true, OpenStep},
    {"show", false, true, true, true, ShowStep},
    {"hide", false, true, false, true, HideStep},
    {"close", false, true, false, true, CloseStep},
    {"start", false, true, false, false, StartStep},
    {"stop", false, true, false, false, StopStep},
    {"setlo", true, true, false, false, SetLoStep},
    {"sr", false, true, false, false, SrStep},
    {"lo", false, true, false, false, LoStep},
    {"status", false, true, false, false, StatusStep},
    {"callback", false, true, false, false, CallbackStep},
    {"nocallback", false, true, false, false, NoCallbackStep},
    {"dialog", false, false, false, false, DialogStep},
    {"pick", true, true, true, false, PickStep},
    {"scale", true, true, false, false, ScaleStep},
    {"run", true, false, false, false, RunLoopStep},
    {"data", true, false, false, false, DataStep},
    {"slowcall", true, true, false, false, SlowCallStep},
    {"slowstatus", true, true, false, false, SlowStatusStep},
    {"closeincall", false, true, false, false, CloseInCallStep},
    {"toggle", true, true, false, false, ToggleStep},
    {"detachclose", false, true, false, false, DetachCloseStep},
    {"stats", false, false, false, false, StatsStep},
    {"unload", false, true, false, true, UnloadStep},
    {"reload", false, false, false, false, ReloadStep},
    {"settings", false, true, false, false, SettingsStep},
    {"restore", false, true, false, false, RestoreStep},
    {"att", false, true, false, false, AttStep},
    {"setatt", true, true, false, false, SetAttStep},
    {"tempestatt", false, true, false, false, TempestAttStep},
    {"srates", false, true, false, false, SratesStep},
};

const Step* FindStep(const char* name) {
  for (const Step& s : kSteps)
    if (strcmp(name, s.name) == 0) return &s;
  return nullptr;
}

void RememberPath(const char* path) {
  snprintf(g_path, sizeof g_path, "%s", path);
}
