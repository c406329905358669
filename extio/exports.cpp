// The ExtIO interface: twelve stdcall functions, each exported under its plain and
// its decorated name (ExtIO_VEXA.def), and the module's entry point.
#include <string.h>

#include "plugin_state.h"
#include "settings_dialog.h"
#include "stream_thread.h"

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
  ShowSettingsDialog();
}

bool __stdcall OpenHW() {
  ShowGUI();
  return true;
}

// Also exported as HideGUI.
void __stdcall CloseHW() {
  DestroySettingsDialog();
}

int32_t __stdcall StartHW(int32_t) {
  StartStreamThread();
  return SelectedEntry().BlockInSamples;
}

void __stdcall StopHW() {
  StopStreamThread();
  CloseSelectedChannel();
}

int32_t __stdcall SetHWLO(int32_t) {
  SendStatus(kStatusLoChanged);
  return 0;
}

int32_t __stdcall GetHWLO() {
  return SelectedEntry().L0;
}

int32_t __stdcall GetHWSR() {
  return SelectedEntry().SampleRate;
}

int32_t __stdcall GetStatus() {
  return 0;
}

void __stdcall SetCallback(HostCallbackFn callback) {
  State.HostCallback = callback;
}

}  // extern "C"

// The module is being unloaded while the process goes on: the thread must end before
// the code is unmapped, and a dialog left open would call an unmapped procedure.
static void DetachFromProcess() {
  State.Unloading = 1;
  ForgetSettingsDialog();
  bool ended = StopStreamThread();
  CloseSelectedChannel();
  if (ended) FreePluginState();
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) InitPluginState(instance);
  // At process exit (reserved not null) the other threads are gone already, maybe
  // in the middle of holding the lock; the system releases everything.
  if (reason == DLL_PROCESS_DETACH && !reserved) DetachFromProcess();
  return TRUE;
}
