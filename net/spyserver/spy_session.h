// One SpyServer client's thread: handshake, settings, and its IQ stream.
#pragma once

#include <windows.h>

DWORD WINAPI SpyClientThread(LPVOID client);
