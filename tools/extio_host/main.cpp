// extio_host: a stand-in for an SDR host program. It loads any ExtIO plug-in by
// path, drives it through its exports as a script on the command line says, takes
// its callback's calls and checks them, so a plug-in can be tried without a radio
// program. It behaves like the least forgiving hosts: it registers no window class
// for the plug-in, and its modes copy what real hosts were seen to do.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "steps.h"

static const char kUsage[] =
    "Usage: extio_host [options] <plugin.dll> [step ...]\n"
    "\n"
    "Loads an ExtIO plug-in, checks that every export resolves under its plain and\n"
    "(32-bit) its decorated name, registers the host's callback and runs the steps in order,\n"
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
    "  dialog            prints the settings dialog: place, band list, texts, scale,\n"
    "                    and how many windows the process holds\n"
    "  pick N            picks band N in the dialog's band list, as a user does\n"
    "  scale +K | -K     clicks the scale factor's up or down arrow K times\n"
    "  run S             runs the message loop for S seconds\n"
    "  data N            runs the message loop until N more data calls came (at most 30 s)\n"
    "  slowcall MS       the next data call blocks MS ms; goes on once it has begun\n"
    "  slowstatus MS     clicks the scale factor's up arrow; the status call that follows,\n"
    "                    on the dialog's thread, blocks MS ms; goes on once it has begun\n"
    "  closeincall       the next data call calls CloseHW from inside itself; goes on\n"
    "                    once it has returned\n"
    "  toggle N          HideGUI and ShowGUI N times, with the message loop between\n"
    "  detachclose       loads extio_host_detach.dll, a DLL of the host's that calls\n"
    "                    StopHW and CloseHW from its process detach, and unloads it\n"
    "  stats             prints the data calls so far: count, rate, lost samples\n"
    "  unload | reload   FreeLibrary (prints how long it took) | loads the plug-in again\n"
    "  settings          ExtIoGetSetting: prints every setting and saves it\n"
    "  restore           ExtIoSetSetting with every saved setting\n"
    "  att | setatt N    GetAttenuators and GetActualAttIdx | SetAttenuator(N)\n"
    "  tempestatt        counts the attenuators as TempestSDR does (a post-increment,\n"
    "                    so one too many) and sets entry 0.5 x that count\n"
    "  srates            ExtIoGetSrates, ExtIoGetActualSrateIdx, ExtIoSetSrate(0) and (1)\n"
    "\n"
    "Options:\n"
    "  --no-callback     do not register the callback after loading\n"
    "  --start-count     read every data call with StartHW's count, not the call's own\n"
    "  --retune          answer status 101 with GetHWLO, SetHWLO(lo), SetHWLO(lo - 1)\n"
    "                    and ShowGUI\n"
    "  --other-thread    run open, show, hide, close and unload each on a new thread\n"
    "                    that has no message loop\n"
    "  --send-to-window  the callback hands each block to a window of the main thread\n"
    "                    with SendMessage and waits until that thread has taken it\n"
    "\n"
    "Data calls are checked against vexa_sim's counter signal at the scale factor\n"
    "that the dialog's up-down control shows; a status call made while the same\n"
    "thread is inside another is an error. Exit code 0 when every step worked and\n"
    "every call was as expected, 1 otherwise, 2 for a bad command line.\n";

Plugin g_plugin;
OptionalExports g_optional;
HostModes g_modes;
CallLog g_log;
DWORD g_mainThread;
LARGE_INTEGER g_frequency;
static int g_errors;

void Error(const char* format, const char* detail) {
  fprintf(stderr, "extio_host: ");
  fprintf(stderr, format, detail);
  fprintf(stderr, "\n");
  g_errors++;
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  return double(to.QuadPart - from.QuadPart) / double(g_frequency.QuadPart);
}

double MillisecondsSince(LARGE_INTEGER from) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return Seconds(from, now) * 1000;
}

static bool ParseLong(const char* text, long* value) {
  char* end;
  *value = strtol(text, &end, 10);
  return end != text && *end == 0;
}

static void ExpectReopen(bool expect) {
  EnterCriticalSection(&g_log.lock);
  g_log.expectReopen = expect;
  LeaveCriticalSection(&g_log.lock);
}

struct StepCall {
  const Step* step;
  long number;
};

static DWORD WINAPI StepThread(void* arg) {
  StepCall& call = *static_cast<StepCall*>(arg);
  call.step->run(call.number);
  return 0;
}

// On this thread, or on a new one that runs no message loop.
static void RunStepBody(const Step& step, long number) {
  if (!g_modes.otherThread || !step.elsewhere) {
    step.run(number);
    return;
  }
  StepCall call = {&step, number};
  HANDLE thread = CreateThread(nullptr, 0, StepThread, &call, 0, nullptr);
  if (!thread) {
    Error("step '%s': no thread for it", step.name);
    return;
  }
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

static void RunStep(const Step& step, const char* arg) {
  printf("> %s%s%s\n", step.name, arg ? " " : "", arg ? arg : "");
  long number = 0;
  if (arg) ParseLong(arg, &number);
  if (step.reopens) ExpectReopen(true);
  if (step.needsPlugin && !g_plugin.module)
    Error("step '%s': the plug-in is not loaded", step.name);
  else
    RunStepBody(step, number);
  PumpMessages();
  if (step.reopens) ExpectReopen(false);
  // Calls from code that is gone would be a crash; count any that come.
  bool unloaded = !g_plugin.module && !PluginMapped();
  EnterCriticalSection(&g_log.lock);
  g_log.unloaded = unloaded;
  LeaveCriticalSection(&g_log.lock);
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

// The options before the plug-in's path; the index of the path, 0 to exit with 0,
// -1 for a bad command line.
static int ParseOptions(int argc, char** argv, bool* registerCallback) {
  int first = 1;
  for (; first < argc && argv[first][0] == '-'; first++) {
    const char* o = argv[first];
    if (strcmp(o, "--no-callback") == 0)
      *registerCallback = false;
    else if (strcmp(o, "--start-count") == 0)
      g_modes.startCount = true;
    else if (strcmp(o, "--retune") == 0)
      g_modes.retune = true;
    else if (strcmp(o, "--other-thread") == 0)
      g_modes.otherThread = true;
    else if (strcmp(o, "--send-to-window") == 0)
      g_modes.sendToWindow = true;
    else if (strcmp(o, "--help") == 0) {
      fputs(kUsage, stdout);
      return 0;
    } else {
      fprintf(stderr, "extio_host: unknown option '%s'\n\n%s", o, kUsage);
      return -1;
    }
  }
  if (first < argc) return first;
  fprintf(stderr, "%s", kUsage);
  return -1;
}

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  bool registerCallback = true;
  int first = ParseOptions(argc, argv, &registerCallback);
  if (first <= 0) return first == 0 ? 0 : 2;
  if (!CheckScript(first + 1, argc, argv)) return 2;
  g_mainThread = GetCurrentThreadId();
  QueryPerformanceFrequency(&g_frequency);
  InitLog();
  RememberPath(argv[first]);
  if (g_modes.sendToWindow && !CreateHostWindow()) {
    fprintf(stderr, "extio_host: can't create the host's window\n");
    return 1;
  }
  if (!LoadPlugin(argv[first])) return 1;
  if (registerCallback) g_plugin.SetCallback(HostCallback);
  for (int i = first + 1; i < argc; i++) {
    const Step& step = *FindStep(argv[i]);
    RunStep(step, step.takesNumber ? argv[++i] : nullptr);
  }
  if (!g_plugin.module) printf("module: %s\n", PluginMapped() ? "still mapped" : "unmapped");
  PrintStats();
  CheckCalls();
  printf("done: %d errors\n", g_errors);
  return g_errors ? 1 : 0;
}
