// Console control events that the recorder and the server announce.
#pragma once

#include <windows.h>

// "\nCtrl+C event!\n" and its two siblings for CTRL_C_EVENT, CTRL_BREAK_EVENT and
// CTRL_CLOSE_EVENT; null for every other control type.
const char* ConsoleEventText(DWORD controlType);
