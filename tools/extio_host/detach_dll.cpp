// extio_host_detach.dll: a host's own DLL that shuts the plug-in down from its
// process detach, as hosts do from DllMain or from a static destructor. StopHW and
// CloseHW then run with the loader lock held, so no thread can start or end
// meanwhile.
#include <windows.h>

#include <stdio.h>

typedef void(__stdcall* PluginCall)();

static PluginCall g_stop;
static PluginCall g_close;
static LARGE_INTEGER g_frequency;

extern "C" __declspec(dllexport) void __cdecl CloseOnDetach(PluginCall stop, PluginCall close) {
  g_stop = stop;
  g_close = close;
}

static double MillisecondsSince(const LARGE_INTEGER& from, LARGE_INTEGER* now) {
  QueryPerformanceCounter(now);
  return double(now->QuadPart - from.QuadPart) * 1000 / double(g_frequency.QuadPart);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  // At process exit the plug-in's threads are gone already: nothing to show there.
  if (reason != DLL_PROCESS_DETACH || reserved || !g_stop || !g_close) return TRUE;
  QueryPerformanceFrequency(&g_frequency);
  LARGE_INTEGER start, stopped, closed;
  QueryPerformanceCounter(&start);
  g_stop();
  double stopMs = MillisecondsSince(start, &stopped);
  g_close();
  double closeMs = MillisecondsSince(stopped, &closed);
  printf("detach: StopHW returned after %.1f ms, CloseHW after %.1f ms\n", stopMs, closeMs);
  return TRUE;
}
