// One rtl_tcp client's thread: header, commands, and its I/Q stream.
#pragma once

#include <windows.h>

DWORD WINAPI RtlClientThread(LPVOID client);
