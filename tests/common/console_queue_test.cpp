// Console output while the console holds every write up: the printing thread
// goes on, and what found no room is counted.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

#include "console_queue.h"

namespace {

// A selection in the console window blocks writes as the stream's lock held
// here does: the writer thread waits in its first write.
TEST(ConsoleQueue, APrinterNeverWaitsForAConsoleHeldUp) {
  testing::internal::CaptureStdout();
  _lock_file(stdout);
  ConsoleQueueStart();
  for (int i = 0; i < 100; i++) ConsolePrintf(stdout, "line %d\n", i);
  _unlock_file(stdout);
  ConsoleQueueStop();
  ConsoleQueueStop();
  ConsolePrintf(stdout, "after\n");  // directly again
  std::string expected;
  for (int i = 0; i < 64; i++) expected += "line " + std::to_string(i) + "\n";
  expected += "\n(36 console messages dropped: the console was held up)\nafter\n";
  EXPECT_EQ(expected, testing::internal::GetCapturedStdout());
}

}  // namespace
