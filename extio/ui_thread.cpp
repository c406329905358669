#include "ui_thread.h"

#include "settings_dialog.h"

static const UINT kShowRequest = WM_APP + 1;
static const UINT kCloseRequest = WM_APP + 2;
static const UINT kScaleRequest = WM_APP + 3;
// Under Wine with no window manager, destroying a top-most window waits about a
// second for its withdrawal: well above that.
static const DWORD kUiWaitMs = 10000;
// How long HideGUI and CloseHW wait for the dialog to go. A host that calls them
// from its DllMain holds the loader lock, which the dialog's teardown may need (a
// delay-loaded function of the system's controls): the dialog then goes as soon as
// the host lets go of the lock, on the UI thread, which keeps the module mapped.
static const DWORD kCloseWaitMs = 500;
static const char kWindowClass[] = "VEXA_ExtIO_Requests";

static LRESULT CALLBACK RequestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kShowRequest:
      ShowSettingsDialog();
      return 0;
    case kCloseRequest:
      DestroySettingsDialog();
      PostQuitMessage(0);
      return 0;
    case kScaleRequest:
      ShowScaleFactor();
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

static void RunMessageLoop() {
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    HWND dialog = State.Dialog;
    if (dialog && IsDialogMessageA(dialog, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

// Runs on a reference to the module that StartUiThread took for it.
static DWORD WINAPI UiThread(void*) {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = RequestWindowProc;
  wc.hInstance = State.Module;
  wc.lpszClassName = kWindowClass;
  ATOM atom = RegisterClassA(&wc);
  HWND window = atom ? CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                       State.Module, nullptr)
                     : nullptr;
  State.UiWindow = window;
  SetEvent(State.UiReady);
  if (window) RunMessageLoop();
  State.UiWindow = nullptr;
  DestroySettingsDialog();
  if (window) DestroyWindow(window);
  if (atom) UnregisterClassA(kWindowClass, State.Module);
  // What follows needs the loader lock, which a host closing us may hold: whoever
  // waits for this thread waits for this event, not for its end.
  SetEvent(State.UiDone);
  // The module may be unmapped the moment the reference goes: leave through code
  // that is not ours.
  FreeLibraryAndExitThread(State.Module, 0);
  return 0;
}

static bool OnUiThread() {
  return State.UiThread && GetCurrentThreadId() == State.UiThreadId;
}

// Under UiLock.
static void ForgetUiThread() {
  if (State.UiThread) CloseHandle(State.UiThread);
  State.UiThread = nullptr;
  State.UiThreadId = 0;
  State.UiClosing = false;
}

// Under UiLock: a UI thread that takes requests, started if none runs. One that
// was asked to close and has not yet is given time to, then replaced.
static bool StartUiThread() {
  if (State.UiThread &&
      WaitAnswering(State.UiDone, State.UiThread, State.UiClosing ? kUiWaitMs : 0))
    ForgetUiThread();
  if (State.UiThread) return !State.UiClosing && State.UiWindow != nullptr;
  HMODULE self = nullptr;
  if (!State.UiReady || !State.UiDone || !HoldModule(&self)) return false;
  ResetEvent(State.UiReady);
  ResetEvent(State.UiDone);
  State.UiThread = CreateThread(nullptr, 0, UiThread, nullptr, 0, &State.UiThreadId);
  if (!State.UiThread) {
    FreeLibrary(self);
    return false;
  }
  WaitAnswering(State.UiReady, State.UiThread, kUiWaitMs);
  return State.UiWindow != nullptr;
}

static void Ask(UINT request) {
  DWORD_PTR answer = 0;
  SendMessageTimeoutA(State.UiWindow, request, 0, 0, SMTO_NORMAL, kUiWaitMs, &answer);
}

void RequestShowDialog() {
  if (OnUiThread()) {
    ShowSettingsDialog();
    return;
  }
  EnterCriticalSection(&State.UiLock);
  if (StartUiThread()) Ask(kShowRequest);
  LeaveCriticalSection(&State.UiLock);
}

void RequestCloseDialog() {
  if (OnUiThread()) {
    // Asked from inside one of the dialog's own calls: it goes once that returns.
    PostMessageA(State.UiWindow, kCloseRequest, 0, 0);
    return;
  }
  EnterCriticalSection(&State.UiLock);
  if (State.UiThread) {
    // Posted, not sent: the thread takes it even after the wait below gave up.
    if (State.UiWindow && PostMessageA(State.UiWindow, kCloseRequest, 0, 0)) State.UiClosing = true;
    if (WaitAnswering(State.UiDone, State.UiThread, kCloseWaitMs)) ForgetUiThread();
  }
  LeaveCriticalSection(&State.UiLock);
}

void RequestShowScale() {
  if (OnUiThread()) {
    ShowScaleFactor();
    return;
  }
  EnterCriticalSection(&State.UiLock);
  if (State.UiWindow) PostMessageA(State.UiWindow, kScaleRequest, 0, 0);
  LeaveCriticalSection(&State.UiLock);
}
