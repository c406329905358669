#include "command_guard.h"

#include <stdio.h>

#include "stream_client.h"

void GuardInit(CommandGuard& g, ULONGLONG now) {
  g.windowStart = now;
  g.commands = 0;
  g.partialSince = 0;
  g.now = now;
}

void GuardBytes(CommandGuard& g, bool partial) {
  if (!partial) {
    g.partialSince = 0;
  } else if (g.partialSince == 0) {
    g.partialSince = g.now;
  }
}

bool GuardCommand(CommandGuard& g, char* why) {
  if (g.now - g.windowStart >= 1000) {
    g.windowStart = g.now;
    g.commands = 0;
  }
  if (++g.commands <= kMaxCommandsPerSecond) return true;
  snprintf(why, kReasonSize, "command flood: more than %d commands in one second",
           kMaxCommandsPerSecond);
  return false;
}

bool GuardTimeout(CommandGuard& g, ULONGLONG now, char* why) {
  g.now = now;
  if (g.partialSince == 0 || now - g.partialSince < kHalfCommandMs) return true;
  snprintf(why, kReasonSize, "a command stayed half sent for %llu s", kHalfCommandMs / 1000);
  return false;
}
