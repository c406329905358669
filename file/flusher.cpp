#include "flusher.h"

#include <atomic>

#include "file_io.h"

static const DWORD kStopWaitMs = 5000;

static HANDLE g_wake = nullptr;  // auto-reset: a request is waiting, or the stop
static HANDLE g_thread = nullptr;
static std::atomic<HANDLE> g_pending{nullptr};  // set by the loop, cleared by the thread
static std::atomic<bool> g_quit{false};
static bool g_running = false;  // used by the loop's thread only

static DWORD WINAPI Flusher(void*) {
  for (;;) {
    WaitForSingleObject(g_wake, INFINITE);
    HANDLE file = g_pending.load();
    if (file) {
      g_fileIo.flush(file);
      CloseHandle(file);
      g_pending.store(nullptr);
    }
    if (g_quit.load()) return 0;
  }
}

void FlusherStart() {
  if (g_running) return;
  g_quit = false;
  g_wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (g_wake) g_thread = CreateThread(nullptr, 0, Flusher, nullptr, 0, nullptr);
  if (!g_thread) {
    if (g_wake) CloseHandle(g_wake);
    g_wake = nullptr;
    return;
  }
  g_running = true;
}

void FlusherStop() {
  if (!g_running) return;
  g_running = false;
  g_quit = true;
  SetEvent(g_wake);
  // A thread still held up by the disk keeps its handles: the process ends soon.
  if (WaitForSingleObject(g_thread, kStopWaitMs) != WAIT_OBJECT_0) return;
  CloseHandle(g_thread);
  CloseHandle(g_wake);
  g_thread = nullptr;
  g_wake = nullptr;
}

void FlushSoon(HANDLE file) {
  if (!g_running) {
    g_fileIo.flush(file);
    return;
  }
  if (g_pending.load()) return;
  HANDLE own = nullptr;
  HANDLE self = GetCurrentProcess();
  if (!DuplicateHandle(self, file, self, &own, 0, FALSE, DUPLICATE_SAME_ACCESS)) return;
  g_pending.store(own);
  SetEvent(g_wake);
}
