// Console output while the console holds every write up: the printing thread
// goes on, and what found no room is counted.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>

#include <string>

#include "console_queue.h"

namespace {

HANDLE g_release = nullptr;  // the console takes writes again once this is set
std::string g_shown;         // what reached the console, on the writer's thread

// A console showing a selection: the first write waits until it ends.
void HeldConsole(FILE* stream, const char* text, size_t length) {
  WaitForSingleObject(g_release, INFINITE);
  g_shown.append(stream == stdout ? "" : "(stderr)").append(text, length);
}

TEST(ConsoleQueue, APrinterNeverWaitsForAConsoleHeldUp) {
  g_release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  auto write = g_consoleWrite;
  g_consoleWrite = HeldConsole;
  ConsoleQueueStart();
  for (int i = 0; i < 100; i++) ConsolePrintf(i == 1 ? stderr : stdout, "line %d\n", i);
  SetEvent(g_release);  // not reached if a print waited for the console
  ConsoleQueueStop();
  ConsoleQueueStop();
  std::string expected;
  for (int i = 0; i < 64; i++)
    expected += (i == 1 ? "(stderr)line " : "line ") + std::to_string(i) + "\n";
  expected += "\n(36 console messages dropped: the console was held up)\n";
  EXPECT_EQ(expected, g_shown);
  testing::internal::CaptureStdout();
  ConsolePrintf(stdout, "after\n");  // directly again
  EXPECT_EQ("after\n", testing::internal::GetCapturedStdout());
  g_consoleWrite = write;
  CloseHandle(g_release);
}

}  // namespace
