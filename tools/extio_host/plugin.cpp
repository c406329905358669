// Loading a plug-in by path, resolving its exports under both names, and looking
// at what it leaves in the process.
#include <stdio.h>
#include <string.h>

#include "host.h"

struct ExportName {
  const char* plain;
  const char* decorated;
  size_t offset;  // of the function pointer in its record
};

#define EXPORT(record, name, bytes) \
  { #name, "_" #name "@" #bytes, offsetof(record, name) }
static const ExportName kExports[] = {
    EXPORT(Plugin, InitHW, 12), EXPORT(Plugin, OpenHW, 0),    EXPORT(Plugin, StartHW, 4),
    EXPORT(Plugin, StopHW, 0),  EXPORT(Plugin, CloseHW, 0),   EXPORT(Plugin, HideGUI, 0),
    EXPORT(Plugin, ShowGUI, 0), EXPORT(Plugin, SetHWLO, 4),   EXPORT(Plugin, GetHWLO, 0),
    EXPORT(Plugin, GetHWSR, 0), EXPORT(Plugin, GetStatus, 0), EXPORT(Plugin, SetCallback, 4),
};
static const ExportName kOptionalExports[] = {
    EXPORT(OptionalExports, ExtIoGetSetting, 12),       EXPORT(OptionalExports, ExtIoSetSetting, 8),
    EXPORT(OptionalExports, GetAttenuators, 8),         EXPORT(OptionalExports, GetActualAttIdx, 0),
    EXPORT(OptionalExports, SetAttenuator, 4),          EXPORT(OptionalExports, ExtIoGetSrates, 8),
    EXPORT(OptionalExports, ExtIoGetActualSrateIdx, 0), EXPORT(OptionalExports, ExtIoSetSrate, 4),
};
#undef EXPORT

// A 32-bit plug-in carries each export under its plain and its decorated stdcall
// name; x64 has one calling convention, and its names no decoration.
#ifdef _WIN64
static const int kNamesPerExport = 1;
#else
static const int kNamesPerExport = 2;
#endif

static FARPROC* Slot(void* record, const ExportName& e) {
  return reinterpret_cast<FARPROC*>(static_cast<char*>(record) + e.offset);
}

static void* g_anyExport;  // an address inside the plug-in's code

// Resolves one export under its names; counts the names found.
static int Resolve(const ExportName& e, void* record, bool required) {
  FARPROC plain = GetProcAddress(g_plugin.module, e.plain);
  FARPROC decorated = GetProcAddress(g_plugin.module, e.decorated);
  bool twoNames = kNamesPerExport == 2;
  if (required && !plain) Error("missing export: %s", e.plain);
  if (required && twoNames && !decorated) Error("missing export: %s", e.decorated);
  if (!twoNames && decorated) Error("export %s has a decorated name in a 64-bit DLL", e.plain);
  if (twoNames && !plain != !decorated) Error("export %s has only one of its two names", e.plain);
  if (plain && decorated && plain != decorated)
    Error("export %s and its decorated name are two functions", e.plain);
  *Slot(record, e) = plain ? plain : decorated;
  if (*Slot(record, e)) g_anyExport = reinterpret_cast<void*>(*Slot(record, e));
  return (plain != nullptr) + (decorated != nullptr);
}

bool LoadPlugin(const char* path) {
  g_plugin.module = LoadLibraryA(path);
  if (!g_plugin.module) {
    fprintf(stderr, "extio_host: can't load '%s' (error %lu)\n", path, GetLastError());
    return false;
  }
  int found = 0, optional = 0;
  for (const ExportName& e : kExports) found += Resolve(e, &g_plugin, true);
  for (const ExportName& e : kOptionalExports) optional += Resolve(e, &g_optional, false);
  for (const ExportName& e : kExports) {
    if (*Slot(&g_plugin, e)) continue;
    fprintf(stderr, "extio_host: can't drive a plug-in without %s\n", e.plain);
    return false;
  }
  // Plug-ins that end their stream in CloseHW have a HideGUI of its own.
  bool oneClose = g_plugin.CloseHW == g_plugin.HideGUI;
  printf(
      "loaded %s: %d of %d exports found, CloseHW and HideGUI are %s; %d of %d optional "
      "export names\n",
      path, found, int(kNamesPerExport * sizeof kExports / sizeof kExports[0]),
      oneClose ? "one function" : "two functions", optional,
      int(kNamesPerExport * sizeof kOptionalExports / sizeof kOptionalExports[0]));
  return true;
}

bool PluginMapped() {
  HMODULE module;
  return g_anyExport && GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                           static_cast<LPCSTR>(g_anyExport), &module);
}

static bool OurProcess(HWND window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  return pid == GetCurrentProcessId();
}

struct WindowCount {
  const char* title;
  int titled, visible;
};

static BOOL CALLBACK CountTitled(HWND window, LPARAM param) {
  WindowCount& c = *reinterpret_cast<WindowCount*>(param);
  char title[64];
  GetWindowTextA(window, title, sizeof title);
  if (!OurProcess(window) || strcmp(title, c.title) != 0) return TRUE;
  c.titled++;
  if (IsWindowVisible(window)) c.visible++;
  return TRUE;
}

int CountProcessWindows(const char* title, int* visible, int* messageOnly) {
  WindowCount c = {title, 0, 0};
  EnumWindows(CountTitled, reinterpret_cast<LPARAM>(&c));
  *visible = c.visible;
  *messageOnly = 0;
  for (HWND w = FindWindowExA(HWND_MESSAGE, nullptr, nullptr, nullptr); w;
       w = FindWindowExA(HWND_MESSAGE, w, nullptr, nullptr))
    if (OurProcess(w)) ++*messageOnly;
  return c.titled;
}
