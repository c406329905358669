// The ExtIO interface: twelve stdcall functions, each exported under its plain and
// its decorated name (ExtIO_VEXA.def), and the module's entry point.
#include <string.h>

#include "plugin_state.h"
#include "stream_thread.h"
#include "ui_thread.h"

static const int32_t kHardwareType = 3;  // the host's "16-bit samples through the callback"

extern "C" {

bool __stdcall InitHW(char* name, char* model, int32_t* type) {
  memcpy(name, "VEXA", 5);
  memcpy(model, " ", 2);
  *type = kHardwareType;
  ProbeBands();
  if (State.BandCount >= 1) return true;
  memcpy(name, "No VEXA buffers", 16);
  return false;
}

void __stdcall ShowGUI() {
  RequestShowDialog();
}

bool __stdcall OpenHW() {
  ShowGUI();
  return true;
}

void __stdcall HideGUI() {
  RequestCloseDialog();
}

int32_t __stdcall StartHW(int32_t) {
  return StartStreamThread();
}

void __stdcall StopHW() {
  StopStreamThread();
  CloseSelectedChannel();
}

// The host's last call before it unloads us, and some never call StopHW first: the
// stream ends before the dialog, so no call reaches a host that is done with us.
void __stdcall CloseHW() {
  StopHW();
  HideGUI();
}

int32_t __stdcall SetHWLO(int32_t) {
  SendStatus(kStatusLoChanged);
  return 0;
}

int32_t __stdcall GetHWLO() {
  return SelectedEntry().L0;
}

int32_t __stdcall GetHWSR() {
  return TellRate();
}

int32_t __stdcall GetStatus() {
  return 0;
}

void __stdcall SetCallback(HostCallbackFn callback) {
  State.HostCallback = callback;
}

}  // extern "C"

// Every thread of the module holds a reference on it, so when the loader detaches
// it none is left: only what needs neither a wait, a lock nor USER32 remains.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) InitPluginState(instance);
  // At process exit (reserved not null) the system releases everything.
  if (reason == DLL_PROCESS_DETACH && !reserved) FreePluginState();
  return TRUE;
}
