// Limits on what a client may send: commands per second, and how long a command
// may stay half sent. The clock is passed in.
#pragma once

#include <windows.h>

const int kMaxCommandsPerSecond = 1000;
const ULONGLONG kHalfCommandMs = 5000;

struct CommandGuard {
  ULONGLONG windowStart;   // start of the second being counted
  int commands;            // commands in it
  ULONGLONG partialSince;  // when the bytes of an unfinished command began; 0: none
  ULONGLONG now;           // the clock as last given
};

void GuardInit(CommandGuard& g, ULONGLONG now);

// Tells the guard whether bytes of an unfinished command are waiting.
void GuardBytes(CommandGuard& g, bool partial);

// Counts one command; false, with why (kReasonSize bytes), when the client
// sends more than the limit in one second.
bool GuardCommand(CommandGuard& g, char* why);

// False, with why, when a command has stayed half sent for too long.
bool GuardTimeout(CommandGuard& g, ULONGLONG now, char* why);
