// The host's own window, as hosts that draw each block on their GUI thread have:
// their data callback hands the block over with SendMessage and waits until the
// window thread has taken it. That thread is the one running the script, so a
// StopHW from it meets a callback that waits for it.
#include "host.h"

static const UINT kBlockMessage = WM_APP + 1;
static const char kHostClass[] = "extio_host_window";
static HWND g_window;

static LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != kBlockMessage) return DefWindowProcA(window, message, wParam, lParam);
  OnData(int32_t(wParam), reinterpret_cast<const int16_t*>(lParam));
  return 0;
}

bool CreateHostWindow() {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = HostWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = kHostClass;
  if (!RegisterClassA(&wc)) return false;
  g_window = CreateWindowExA(0, kHostClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                             nullptr);
  return g_window != nullptr;
}

void SendBlockToWindow(int32_t count, const void* iq) {
  SendMessageA(g_window, kBlockMessage, WPARAM(count), reinterpret_cast<LPARAM>(iq));
}
