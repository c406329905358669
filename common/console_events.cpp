#include "console_events.h"

const char* ConsoleEventText(DWORD controlType) {
  switch (controlType) {
    case CTRL_C_EVENT:
      return "\nCtrl+C event!\n";
    case CTRL_BREAK_EVENT:
      return "\nCtrl+Break event!\n";
    case CTRL_CLOSE_EVENT:
      return "\nConsole closing event!\n";
    default:
      return nullptr;
  }
}
