#include "console_mode.h"

#include <windows.h>

static HANDLE g_input = nullptr;
static DWORD g_savedMode = 0;
static volatile LONG g_changed = 0;  // 1 while the console runs with the mode changed

static void PutModeBack() {
  // Without ENABLE_EXTENDED_FLAGS the console ignores the QuickEdit bit.
  if (InterlockedExchange(&g_changed, 0) != 0)
    SetConsoleMode(g_input, g_savedMode | ENABLE_EXTENDED_FLAGS);
}

// Runs after the program's own handler, if that one lets the event pass: the
// default handling that follows ends the process.
static BOOL WINAPI RestoreBeforeTheEnd(DWORD) {
  PutModeBack();
  return FALSE;
}

void QuickEditOff() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (input == nullptr || input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode)) return;
  if (!(mode & ENABLE_QUICK_EDIT_MODE)) return;
  if (!SetConsoleMode(input, (mode | ENABLE_EXTENDED_FLAGS) & ~DWORD(ENABLE_QUICK_EDIT_MODE)))
    return;
  g_input = input;
  g_savedMode = mode;
  InterlockedExchange(&g_changed, 1);
  SetConsoleCtrlHandler(RestoreBeforeTheEnd, TRUE);
}

void QuickEditRestore() {
  if (g_changed == 0) return;
  SetConsoleCtrlHandler(RestoreBeforeTheEnd, FALSE);
  PutModeBack();
}
