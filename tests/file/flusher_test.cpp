// Flushing on a thread of its own while the disk takes its time.
#include <gtest/gtest.h>

#include <atomic>

#include "file_io.h"
#include "flusher.h"

namespace {

HANDLE g_release = nullptr;  // the slow disk ends a flush when this is set
std::atomic<int> g_flushes{0};
std::atomic<HANDLE> g_flushed{nullptr};

bool SlowFlush(HANDLE file) {
  g_flushed = file;
  WaitForSingleObject(g_release, 10000);
  g_flushes++;
  return true;
}

// Any handle can be duplicated; an event stands in for the file.
TEST(Flusher, ASlowDiskHoldsUpItsThreadAndNeverTheCaller) {
  g_release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE file = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g_fileIo.flush = SlowFlush;
  FlusherStart();
  ULONGLONG start = GetTickCount64();
  FlushSoon(file);
  FlushSoon(file);                             // the first is still under way: left out
  EXPECT_LT(GetTickCount64() - start, 5000u);  // the calls did not wait for the disk
  EXPECT_EQ(0, g_flushes.load());
  CloseHandle(file);  // the file may close while its flush goes on
  SetEvent(g_release);
  FlusherStop();
  FlusherStop();
  EXPECT_EQ(1, g_flushes.load());
  EXPECT_NE(file, g_flushed.load());  // a handle of its own
  // Without the thread a flush happens at once.
  FlushSoon(g_release);
  EXPECT_EQ(2, g_flushes.load());
  EXPECT_EQ(g_release, g_flushed.load());
  g_fileIo = SystemFileIo();
  CloseHandle(g_release);
}

}  // namespace
