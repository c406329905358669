// press_key: runs a console program on this console and, once a trigger file
// appears, presses a key on that console as a user would. Under Wine a
// terminal's key presses do not reach _kbhit, so the tests press keys this way;
// it must itself run on a console (a terminal, such as tmux, gives Wine one).
//
//   press_key <trigger file> <program> [arguments...]
//
// Exits with the program's exit code, or 99 when it is still running 20 s after
// the key press (it is then ended, so nothing is left behind).
#include <windows.h>

#include <stdio.h>
#include <string.h>

static const DWORD kEndWaitMs = 20000;
static const DWORD kTriggerWaitMs = 60000;
static const int kCommandSize = 4096;

static bool AppendQuoted(char* command, const char* arg) {
  size_t used = strlen(command);
  if (used + strlen(arg) + 4 > size_t(kCommandSize)) return false;
  sprintf(command + used, "%s\"%s\"", used ? " " : "", arg);
  return true;
}

static bool WaitForTrigger(const char* path) {
  for (DWORD waited = 0; waited < kTriggerWaitMs; waited += 50) {
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return true;
    Sleep(50);
  }
  return false;
}

static void PressKey(char key) {
  HANDLE input =
      CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  INPUT_RECORD records[2] = {};
  for (int i = 0; i < 2; i++) {
    records[i].EventType = KEY_EVENT;
    records[i].Event.KeyEvent.bKeyDown = i == 0;
    records[i].Event.KeyEvent.wRepeatCount = 1;
    records[i].Event.KeyEvent.wVirtualKeyCode = WORD(VkKeyScanA(key) & 0xFF);
    records[i].Event.KeyEvent.uChar.AsciiChar = key;
  }
  DWORD written = 0;
  if (!WriteConsoleInputA(input, records, 2, &written) || written != 2) {
    fprintf(stderr, "press_key: can't write to the console (%lu)\n", GetLastError());
  }
  CloseHandle(input);
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "Usage: press_key <trigger file> <program> [arguments...]\n");
    return 2;
  }
  static char command[kCommandSize];
  for (int i = 2; i < argc; i++) {
    if (!AppendQuoted(command, argv[i])) return 2;
  }
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    fprintf(stderr, "press_key: can't start %s (%lu)\n", argv[2], GetLastError());
    return 2;
  }
  if (WaitForTrigger(argv[1])) PressKey('q');
  DWORD code = 99;
  if (WaitForSingleObject(pi.hProcess, kEndWaitMs) == WAIT_OBJECT_0) {
    GetExitCodeProcess(pi.hProcess, &code);
  } else {
    TerminateProcess(pi.hProcess, 99);
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return int(code);
}
