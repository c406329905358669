// The host's message loop and what it does with the plug-in's settings dialog, as
// a user would: read it, pick a band, click the scale factor's arrows.
#include <windows.h>

#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host.h"
// The VEXA plug-in's dialog controls, which the host drives for pick and scale.
#include "resource.h"

static const int kMinScale = 0;
static const int kMaxScale = 24;
static const DWORD kClickWaitMs = 2000;

void PumpMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

void RunLoop(DWORD ms, bool (*done)(long long), long long arg) {
  DWORD start = GetTickCount();
  for (;;) {
    PumpMessages();
    DWORD spent = GetTickCount() - start;
    if (spent >= ms || (done && done(arg))) return;
    DWORD left = ms - spent;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, left < 10 ? left : 10, QS_ALLINPUT);
  }
}

struct FoundDialogs {
  HWND first;
  int count;
};

static BOOL CALLBACK FindSettings(HWND window, LPARAM param) {
  char title[64];
  GetWindowTextA(window, title, sizeof title);
  FoundDialogs* found = reinterpret_cast<FoundDialogs*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != GetCurrentProcessId()) return TRUE;
  if (strcmp(title, "VEXA settings") != 0 || !IsWindowVisible(window)) return TRUE;
  if (!found->first) found->first = window;
  found->count++;
  return TRUE;
}

HWND SettingsDialog(int* count) {
  FoundDialogs found = {nullptr, 0};
  EnumWindows(FindSettings, reinterpret_cast<LPARAM>(&found));
  if (count) *count = found.count;
  return found.first;
}

static void PrintText(HWND dialog, int id, const char* label) {
  char text[128];
  GetDlgItemTextA(dialog, id, text, sizeof text);
  printf("dialog: %s \"%s\"\n", label, text);
}

void PrintDialog(HWND dialog) {
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

bool PickBand(HWND dialog, long band) {
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

void PostSpinClick(HWND dialog, bool up) {
  HWND spin = GetDlgItem(dialog, IDC_SCALE_SPIN);
  RECT r;
  GetClientRect(spin, &r);
  LPARAM at = MAKELPARAM(r.right / 2, up ? r.bottom / 4 : r.bottom * 3 / 4);
  PostMessageA(spin, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageA(spin, WM_LBUTTONUP, 0, at);
}

static int SpinPosition(HWND spin) {
  LRESULT pos = SendMessageA(spin, UDM_GETPOS, 0, 0);
  return HIWORD(pos) ? -1 : short(LOWORD(pos));
}

// A posted click waits behind whatever the plug-in's dialog thread has queued, and
// a position asked for is answered before it: wait, as a user watches the buddy,
// until the click has moved the control.
static int WaitForSpinPosition(HWND spin, int target) {
  DWORD start = GetTickCount();
  int pos;
  do {
    RunLoop(20, nullptr, 0);
    pos = SpinPosition(spin);
  } while (pos != target && GetTickCount() - start < kClickWaitMs);
  return pos;
}

// Mouse clicks on the upper or the lower arrow of the up-down control, through the
// message loop as a user's clicks come.
void ClickSpin(HWND dialog, long clicks) {
  HWND spin = GetDlgItem(dialog, IDC_SCALE_SPIN);
  int step = clicks > 0 ? 1 : -1;
  int target = SpinPosition(spin);
  int pos = target;
  SetClicking(true);
  for (long i = 0; i < labs(clicks); i++) {
    if (target + step >= kMinScale && target + step <= kMaxScale) target += step;
    // Every click posted so far may be converted at before the position is read back.
    WidenScaleRange(target, false);
    PostSpinClick(dialog, clicks > 0);
    pos = WaitForSpinPosition(spin, target);
    WidenScaleRange(pos, true);
  }
  SetClicking(false);
  char text[32];
  GetDlgItemTextA(dialog, IDC_SCALE_EDIT, text, sizeof text);
  printf("scale: %ld clicks %s, position %d, buddy \"%s\"\n", labs(clicks),
         clicks > 0 ? "up" : "down", pos, text);
}
