// extio_host: a stand-in for an SDR host program. It loads any ExtIO plug-in by
// path, drives it through its exports as a script on the command line says, takes
// its callback's calls and checks them, so a plug-in can be tried without a radio
// program.
#include <windows.h>

#include <commctrl.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The VEXA plug-in's dialog controls, which the host drives for pick and scale.
#include "resource.h"

static const char kUsage[] =
    "Usage: extio_host [--no-updown] [--no-callback] <plugin.dll> [step ...]\n"
    "\n"
    "Loads an ExtIO plug-in, checks that every export resolves under its plain and\n"
    "its decorated name, registers the host's callback and runs the steps in order,\n"
    "with its own message loop between them. Prints what the plug-in does.\n"
    "\n"
    "Steps:\n"
    "  init              InitHW: prints name, model, type and the result\n"
    "  open | show       OpenHW | ShowGUI\n"
    "  hide | close      HideGUI | CloseHW\n"
    "  start | stop      StartHW(0) | StopHW (stop prints how long it took)\n"
    "  setlo HZ          SetHWLO(HZ)\n"
    "  sr | lo | status  GetHWSR | GetHWLO | GetStatus\n"
    "  callback | nocallback   SetCallback with the host's callback | with null\n"
    "  dialog            prints the settings dialog: place, band list, texts, scale\n"
    "  pick N            picks band N in the dialog's band list, as a user does\n"
    "  scale +K | -K     clicks the scale factor's up or down arrow K times\n"
    "  run S             runs the message loop for S seconds\n"
    "  data N            runs the message loop until N more data calls came (at most 30 s)\n"
    "  stats             prints the data calls so far: count, rate, lost samples\n"
    "  unload            FreeLibrary (prints how long it took)\n"
    "\n"
    "Options:\n"
    "  --no-updown       do not register the up-down control class\n"
    "  --no-callback     do not register the callback after loading\n"
    "\n"
    "Data calls are checked against vexa_sim's counter signal at the scale factor\n"
    "that the dialog's up-down control shows. Exit code 0 when every step worked and\n"
    "every call was as expected, 1 otherwise, 2 for a bad command line.\n";

typedef void(__cdecl* Callback)(int32_t count, int32_t status, float iqOffset, void* iqData);

// The twelve exports; CloseHW and HideGUI must be one function.
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

struct ExportName {
  const char* plain;
  const char* decorated;
  size_t offset;  // of the function pointer in Plugin
};

#define EXPORT(name, bytes) \
  { #name, "_" #name "@" #bytes, offsetof(Plugin, name) }
static const ExportName kExports[] = {
    EXPORT(InitHW, 12), EXPORT(OpenHW, 0),  EXPORT(StartHW, 4),   EXPORT(StopHW, 0),
    EXPORT(CloseHW, 0), EXPORT(HideGUI, 0), EXPORT(ShowGUI, 0),   EXPORT(SetHWLO, 4),
    EXPORT(GetHWLO, 0), EXPORT(GetHWSR, 0), EXPORT(GetStatus, 0), EXPORT(SetCallback, 4),
};
#undef EXPORT

static const int kMaxThreads = 8;
static const int kScale16 = 16;
static const int kMinScale = 0;
static const int kMaxScale = 24;
static const int kCounterModulo = 65536;
static const DWORD kDataWaitMs = 30000;

// Everything the callback sees; it runs on the plug-in's threads and on ours.
struct CallLog {
  CRITICAL_SECTION lock;
  long long dataCalls;
  long long samples;
  long long lostSamples;   // gaps in the counter pattern
  long long badBlocks;     // blocks that match the pattern at no expected scale
  long long afterStop;     // data calls after StopHW returned
  long long afterUnload;   // any call after FreeLibrary returned
  long long statusErrors;  // codes out of order or unknown
  int32_t lastCount;       // count of the last data call, -1 before the first
  long long nextIndex;     // counter index expected next, -1 while unknown
  int scale;               // scale factor the dialog's up-down control shows
  int scaleLo, scaleHi;    // range it passed through since a block last showed it
  bool clicking;           // the range is growing
  bool expectReopen;       // a step of ours reopens the band: the counter starts anew
  int expectStatus;        // 101 or 102 inside a 103, 101, 102 sequence, else 0
  LARGE_INTEGER firstTime, lastTime;
  long long samplesAtFirst;
  DWORD threadIds[kMaxThreads];
  HANDLE threads[kMaxThreads];
  int threadCount;
  bool stopped;
  bool unloaded;
};

static Plugin g_plugin;
static CallLog g_log;
static DWORD g_mainThread;
static LARGE_INTEGER g_frequency;
static int g_errors;

static void Error(const char* format, const char* detail) {
  fprintf(stderr, "extio_host: ");
  fprintf(stderr, format, detail);
  fprintf(stderr, "\n");
  g_errors++;
}

static double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  return double(to.QuadPart - from.QuadPart) / double(g_frequency.QuadPart);
}

static double MillisecondsSince(LARGE_INTEGER from) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return Seconds(from, now) * 1000;
}

// ---- callback checks --------------------------------------------------------

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
    if (next >= 0 && !g_log.expectReopen)
      g_log.lostSamples += (m - next + kCounterModulo) % kCounterModulo;
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

static void OnData(int32_t count, const int16_t* iq) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  if (g_log.dataCalls == 0) {
    g_log.firstTime = now;
    g_log.samplesAtFirst = count;
  }
  g_log.lastTime = now;
  if (count != g_log.lastCount) {
    if (g_log.lastCount < 0)
      printf("data: count %d on the first data call\n", count);
    else
      printf("data: count %d (was %d) after %lld data calls\n", count, g_log.lastCount,
             g_log.dataCalls);
    g_log.lastCount = count;
  }
  g_log.dataCalls++;
  g_log.samples += count;
  if (g_log.stopped) g_log.afterStop++;
  NoteThread();
  if (count > 0 && iq) CheckCounter(iq, count);
}

static void CheckStatusOrder(int32_t status) {
  bool ok = status == 103 || status == 101 || status == 102;
  if (g_log.expectStatus && status != g_log.expectStatus) ok = false;
  if (!g_log.expectStatus && status == 102) ok = false;
  if (!ok) {
    printf("status %d out of order (expected %d)\n", status, g_log.expectStatus);
    g_log.statusErrors++;
  }
  if (status == 103)
    g_log.expectStatus = 101;
  else if (status == 101 && g_log.expectStatus == 101)
    g_log.expectStatus = 102;
  else
    g_log.expectStatus = 0;
}

static void OnStatus(int32_t count, int32_t status, void* data) {
  if (count != -1 || data) {
    printf("status %d with count %d and data %p: a status call carries -1 and null\n", status,
           count, data);
    g_log.statusErrors++;
  }
  CheckStatusOrder(status);
  if (status == 103 && GetCurrentThreadId() == g_mainThread) g_log.nextIndex = -1;
  // A host asks for the new figures in answer to these, from the callback itself.
  printf("status %d after %lld data calls, on the %s thread: GetHWSR=%d GetHWLO=%d\n", status,
         g_log.dataCalls, GetCurrentThreadId() == g_mainThread ? "host's" : "plug-in's",
         g_plugin.GetHWSR ? g_plugin.GetHWSR() : 0, g_plugin.GetHWLO ? g_plugin.GetHWLO() : 0);
}

static void __cdecl HostCallback(int32_t count, int32_t status, float, void* data) {
  EnterCriticalSection(&g_log.lock);
  if (g_log.unloaded) g_log.afterUnload++;
  if (status == 0)
    OnData(count, static_cast<const int16_t*>(data));
  else
    OnStatus(count, status, data);
  LeaveCriticalSection(&g_log.lock);
}

// ---- loading ----------------------------------------------------------------

static bool LoadPlugin(const char* path) {
  g_plugin.module = LoadLibraryA(path);
  if (!g_plugin.module) {
    fprintf(stderr, "extio_host: can't load '%s' (error %lu)\n", path, GetLastError());
    return false;
  }
  int found = 0;
  for (const ExportName& e : kExports) {
    FARPROC plain = GetProcAddress(g_plugin.module, e.plain);
    FARPROC decorated = GetProcAddress(g_plugin.module, e.decorated);
    if (!plain) Error("missing export: %s", e.plain);
    if (!decorated) Error("missing export: %s", e.decorated);
    if (plain && decorated && plain != decorated)
      Error("export %s and its decorated name are two functions", e.plain);
    found += (plain != nullptr) + (decorated != nullptr);
    *reinterpret_cast<FARPROC*>(reinterpret_cast<char*>(&g_plugin) + e.offset) =
        plain ? plain : decorated;
  }
  for (const ExportName& e : kExports) {
    if (*reinterpret_cast<FARPROC*>(reinterpret_cast<char*>(&g_plugin) + e.offset)) continue;
    fprintf(stderr, "extio_host: can't drive a plug-in without %s\n", e.plain);
    return false;
  }
  bool oneClose = g_plugin.CloseHW == g_plugin.HideGUI;
  if (!oneClose) Error("%s", "CloseHW and HideGUI are two functions");
  printf("loaded %s: %d of %d exports found%s\n", path, found,
         int(2 * sizeof kExports / sizeof kExports[0]),
         oneClose ? ", CloseHW and HideGUI are one function" : "");
  return true;
}

// ---- message loop -----------------------------------------------------------

static void PumpMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

// Runs the loop until ms have passed or done() says so.
static void RunLoop(DWORD ms, bool (*done)(long long), long long arg) {
  DWORD start = GetTickCount();
  for (;;) {
    PumpMessages();
    DWORD spent = GetTickCount() - start;
    if (spent >= ms || (done && done(arg))) return;
    DWORD left = ms - spent;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, left < 10 ? left : 10, QS_ALLINPUT);
  }
}

static bool EnoughData(long long target) {
  EnterCriticalSection(&g_log.lock);
  bool enough = g_log.dataCalls >= target;
  LeaveCriticalSection(&g_log.lock);
  return enough;
}

// ---- the dialog -------------------------------------------------------------

struct FoundDialogs {
  HWND first;
  int count;
};

static BOOL CALLBACK FindSettings(HWND window, LPARAM param) {
  char title[64];
  GetWindowTextA(window, title, sizeof title);
  FoundDialogs* found = reinterpret_cast<FoundDialogs*>(param);
  if (strcmp(title, "VEXA settings") != 0 || !IsWindowVisible(window)) return TRUE;
  if (!found->first) found->first = window;
  found->count++;
  return TRUE;
}

// The plug-in's visible settings dialogs on this thread; count is 1 when all is well.
static HWND SettingsDialog(int* count = nullptr) {
  FoundDialogs found = {nullptr, 0};
  EnumThreadWindows(GetCurrentThreadId(), FindSettings, reinterpret_cast<LPARAM>(&found));
  if (count) *count = found.count;
  return found.first;
}

static void PrintText(HWND dialog, int id, const char* label) {
  char text[128];
  GetDlgItemTextA(dialog, id, text, sizeof text);
  printf("dialog: %s \"%s\"\n", label, text);
}

static void PrintDialog(HWND dialog) {
  RECT r, desk;
  GetWindowRect(dialog, &r);
  GetWindowRect(GetDesktopWindow(), &desk);
  bool topmost = (GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
  printf(
      "dialog: at %ld,%ld size %ldx%ld on a %ldx%ld desktop; top-right corner: %s; top-most: "
      "%s; visible: %s\n",
      r.left, r.top, r.right - r.left, r.bottom - r.top, desk.right - desk.left,
      desk.bottom - desk.top, r.right == desk.right && r.top == desk.top ? "yes" : "no",
      topmost ? "yes" : "no", IsWindowVisible(dialog) ? "yes" : "no");
  HWND list = GetDlgItem(dialog, IDC_BAND_LIST);
  LRESULT count = SendMessageA(list, CB_GETCOUNT, 0, 0);
  printf("dialog: band list of %ld items, item %ld selected\n", long(count),
         long(SendMessageA(list, CB_GETCURSEL, 0, 0)));
  for (LRESULT i = 0; i < count; i++) {
    char text[128] = "";
    if (SendMessageA(list, CB_GETLBTEXTLEN, i, 0) < LRESULT(sizeof text))
      SendMessageA(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
    printf("dialog: item %ld \"%s\" band %ld\n", long(i), text,
           long(SendMessageA(list, CB_GETITEMDATA, i, 0)));
  }
  PrintText(dialog, IDC_SAMPLE_RATE, "sample rate");
  PrintText(dialog, IDC_BLOCK_LEN, "block length");
  PrintText(dialog, IDC_SCALE_EDIT, "scale factor");
  LRESULT pos = SendDlgItemMessageA(dialog, IDC_SCALE_SPIN, UDM_GETPOS, 0, 0);
  printf("dialog: up-down position %d%s\n", int(short(LOWORD(pos))), HIWORD(pos) ? " (error)" : "");
}

static bool PickBand(HWND dialog, long band) {
  HWND list = GetDlgItem(dialog, IDC_BAND_LIST);
  LRESULT count = SendMessageA(list, CB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; i++) {
    if (SendMessageA(list, CB_GETITEMDATA, i, 0) != band) continue;
    SendMessageA(list, CB_SETCURSEL, i, 0);
    // What the combo box sends its parent when the user chooses an item.
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_BAND_LIST, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(list));
    printf("pick: band %ld, item %ld\n", band, long(i));
    return true;
  }
  return false;
}

static void WidenScaleRange(int scale, bool isPosition) {
  if (scale < kMinScale || scale > kMaxScale) return;
  EnterCriticalSection(&g_log.lock);
  if (isPosition) g_log.scale = scale;
  if (scale < g_log.scaleLo) g_log.scaleLo = scale;
  if (scale > g_log.scaleHi) g_log.scaleHi = scale;
  LeaveCriticalSection(&g_log.lock);
}

static void SetClicking(bool clicking) {
  EnterCriticalSection(&g_log.lock);
  g_log.clicking = clicking;
  LeaveCriticalSection(&g_log.lock);
}

// Mouse clicks on the upper or the lower arrow of the up-down control, through the
// message loop as a user's clicks come.
static void ClickSpin(HWND dialog, long clicks) {
  HWND spin = GetDlgItem(dialog, IDC_SCALE_SPIN);
  RECT r;
  GetClientRect(spin, &r);
  LPARAM at = MAKELPARAM(r.right / 2, clicks > 0 ? r.bottom / 4 : r.bottom * 3 / 4);
  LRESULT pos = 0;
  SetClicking(true);
  for (long i = 0; i < labs(clicks); i++) {
    // The plug-in may convert at the next position before this loop sees it.
    WidenScaleRange(g_log.scale + (clicks > 0 ? 1 : -1), false);
    PostMessageA(spin, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageA(spin, WM_LBUTTONUP, 0, at);
    RunLoop(20, nullptr, 0);
    pos = SendMessageA(spin, UDM_GETPOS, 0, 0);
    if (!HIWORD(pos)) WidenScaleRange(short(LOWORD(pos)), true);
  }
  SetClicking(false);
  char text[32];
  GetDlgItemTextA(dialog, IDC_SCALE_EDIT, text, sizeof text);
  printf("scale: %ld clicks %s, position %d, buddy \"%s\"\n", labs(clicks),
         clicks > 0 ? "up" : "down", int(short(LOWORD(pos))), text);
}

// ---- steps ------------------------------------------------------------------

static bool ParseLong(const char* text, long* value) {
  char* end;
  *value = strtol(text, &end, 10);
  return end != text && *end == 0;
}

static void PrintStats() {
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
      "%lld, data threads since start %d (cpu %.1f ms), after stop %lld, after unload %lld, status "
      "errors "
      "%lld\n",
      g_log.dataCalls, g_log.samples, seconds, rate, g_log.lostSamples, g_log.badBlocks,
      g_log.threadCount, cpuMs, g_log.afterStop, g_log.afterUnload, g_log.statusErrors);
  LeaveCriticalSection(&g_log.lock);
}

// Every anomaly the callback saw counts as an error of the run.
static void CheckCalls() {
  EnterCriticalSection(&g_log.lock);
  if (g_log.lostSamples || g_log.badBlocks)
    Error("%s", "data calls lost samples or broke the counter pattern");
  if (g_log.afterStop) Error("%s", "data calls came after StopHW returned");
  if (g_log.afterUnload) Error("%s", "calls came after the plug-in was unloaded");
  if (g_log.statusErrors) Error("%s", "status calls were out of order");
  LeaveCriticalSection(&g_log.lock);
}

static void InitStep(long) {
  char name[64], model[64];
  memset(name, 'x', sizeof name);
  memset(model, 'x', sizeof model);
  int32_t type = -1;
  bool ok = g_plugin.InitHW(name, model, &type);
  name[sizeof name - 1] = model[sizeof model - 1] = 0;
  printf("init: %s, name \"%s\", model \"%s\", type %d\n", ok ? "true" : "false", name, model,
         type);
}

static void StopStep(long) {
  LARGE_INTEGER start;
  QueryPerformanceCounter(&start);
  g_plugin.StopHW();
  double ms = MillisecondsSince(start);
  EnterCriticalSection(&g_log.lock);
  g_log.stopped = true;
  LeaveCriticalSection(&g_log.lock);
  printf("stop: StopHW returned after %.1f ms\n", ms);
}

// StartHW reopens the band; the threads seen count from here.
static void StartStep(long) {
  EnterCriticalSection(&g_log.lock);
  g_log.stopped = false;
  g_log.nextIndex = -1;
  for (int i = 0; i < g_log.threadCount; i++) CloseHandle(g_log.threads[i]);
  g_log.threadCount = 0;
  LeaveCriticalSection(&g_log.lock);
  printf("start: StartHW returned %d\n", g_plugin.StartHW(0));
}

static void UnloadStep(long) {
  LARGE_INTEGER start;
  QueryPerformanceCounter(&start);
  FreeLibrary(g_plugin.module);
  double ms = MillisecondsSince(start);
  EnterCriticalSection(&g_log.lock);
  g_log.unloaded = true;
  LeaveCriticalSection(&g_log.lock);
  memset(&g_plugin, 0, sizeof g_plugin);
  printf("unload: FreeLibrary returned after %.1f ms\n", ms);
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

static void StatsStep(long) {
  PrintStats();
}

static void OpenStep(long) {
  printf("open: %s\n", g_plugin.OpenHW() ? "true" : "false");
}

static void ShowStep(long) {
  g_plugin.ShowGUI();
}

static void DialogStep(long) {
  int count;
  HWND dialog = SettingsDialog(&count);
  printf("dialog: %d shown\n", count);
  if (dialog) PrintDialog(dialog);
}

static void HideStep(long) {
  g_plugin.HideGUI();
}

static void CloseStep(long) {
  g_plugin.CloseHW();
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

struct Step {
  const char* name;
  bool takesNumber;  // the next word of the script is its whole number
  bool needsPlugin;  // refused once the plug-in is unloaded
  bool reopens;      // the dialog reopens the band on this thread, inside the step
  void (*run)(long number);
};

static const Step kSteps[] = {
    {"init", false, true, false, InitStep},
    {"open", false, true, true, OpenStep},
    {"show", false, true, true, ShowStep},
    {"hide", false, true, false, HideStep},
    {"close", false, true, false, CloseStep},
    {"start", false, true, false, StartStep},
    {"stop", false, true, false, StopStep},
    {"setlo", true, true, false, SetLoStep},
    {"sr", false, true, false, SrStep},
    {"lo", false, true, false, LoStep},
    {"status", false, true, false, StatusStep},
    {"callback", false, true, false, CallbackStep},
    {"nocallback", false, true, false, NoCallbackStep},
    {"dialog", false, true, false, DialogStep},
    {"pick", true, true, true, PickStep},
    {"scale", true, true, false, ScaleStep},
    {"run", true, false, false, RunLoopStep},
    {"data", true, false, false, DataStep},
    {"stats", false, false, false, StatsStep},
    {"unload", false, true, false, UnloadStep},
};

static const Step* FindStep(const char* name) {
  for (const Step& s : kSteps)
    if (strcmp(name, s.name) == 0) return &s;
  return nullptr;
}

static void ExpectReopen(bool expect) {
  EnterCriticalSection(&g_log.lock);
  g_log.expectReopen = expect;
  LeaveCriticalSection(&g_log.lock);
}

static void RunStep(const Step& step, const char* arg) {
  printf("> %s%s%s\n", step.name, arg ? " " : "", arg ? arg : "");
  long number = 0;
  if (arg) ParseLong(arg, &number);
  if (step.reopens) ExpectReopen(true);
  if (step.needsPlugin && !g_plugin.module)
    Error("step '%s': the plug-in is not loaded", step.name);
  else
    step.run(number);
  PumpMessages();
  if (step.reopens) ExpectReopen(false);
}

// Checks the whole script before anything runs, so a typo costs nothing.
static bool CheckScript(int first, int argc, char** argv) {
  for (int i = first; i < argc; i++) {
    const Step* step = FindStep(argv[i]);
    if (!step) {
      fprintf(stderr, "extio_host: unknown step '%s' (see --help)\n", argv[i]);
      return false;
    }
    long value;
    if (step->takesNumber && (++i >= argc || !ParseLong(argv[i], &value))) {
      fprintf(stderr, "extio_host: step '%s' needs a whole number after it (see --help)\n",
              step->name);
      return false;
    }
  }
  return true;
}

// ExtIO plug-ins rely on the host for the common controls. Loaded here rather than
// imported, so that --no-updown leaves the class out for real.
static bool RegisterUpDown() {
  typedef BOOL(WINAPI * InitFn)(const INITCOMMONCONTROLSEX*);
  HMODULE comctl = LoadLibraryA("comctl32.dll");
  InitFn init = comctl ? reinterpret_cast<InitFn>(reinterpret_cast<void*>(
                             GetProcAddress(comctl, "InitCommonControlsEx")))
                       : nullptr;
  INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_UPDOWN_CLASS};
  if (init && init(&icc)) return true;
  fprintf(stderr, "extio_host: can't register the up-down control class\n");
  return false;
}

static void InitLog() {
  memset(&g_log, 0, sizeof g_log);
  InitializeCriticalSection(&g_log.lock);
  g_log.lastCount = -1;
  g_log.nextIndex = -1;
  g_log.scale = g_log.scaleLo = g_log.scaleHi = kScale16;
}

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  bool registerUpDown = true, registerCallback = true;
  int first = 1;
  for (; first < argc && argv[first][0] == '-'; first++) {
    if (strcmp(argv[first], "--no-updown") == 0)
      registerUpDown = false;
    else if (strcmp(argv[first], "--no-callback") == 0)
      registerCallback = false;
    else if (strcmp(argv[first], "--help") == 0) {
      fputs(kUsage, stdout);
      return 0;
    } else {
      fprintf(stderr, "extio_host: unknown option '%s'\n\n%s", argv[first], kUsage);
      return 2;
    }
  }
  if (first >= argc) {
    fprintf(stderr, "%s", kUsage);
    return 2;
  }
  if (!CheckScript(first + 1, argc, argv)) return 2;
  g_mainThread = GetCurrentThreadId();
  QueryPerformanceFrequency(&g_frequency);
  InitLog();
  if (registerUpDown && !RegisterUpDown()) return 1;
  if (!LoadPlugin(argv[first])) return 1;
  if (registerCallback) g_plugin.SetCallback(HostCallback);
  for (int i = first + 1; i < argc; i++) {
    const Step& step = *FindStep(argv[i]);
    RunStep(step, step.takesNumber ? argv[++i] : nullptr);
  }
  PrintStats();
  CheckCalls();
  printf("done: %d errors\n", g_errors);
  return g_errors ? 1 : 0;
}
