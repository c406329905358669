#include "flusher.h"

#include <atomic>

#include "file_io.h"
#include "worker.h"

static const DWORD kStopWaitMs = 5000;

static Worker g_flusher;
static std::atomic<HANDLE> g_pending{nullptr};  // set by the loop, cleared by the flusher

static void FlushPending() {
  HANDLE file = g_pending.load();
  if (!file) return;
  g_fileIo.flush(file);
  CloseHandle(file);
  g_pending.store(nullptr);
}

void FlusherStart() {
  WorkerStart(g_flusher, FlushPending);
}

void FlusherStop() {
  WorkerStop(g_flusher, kStopWaitMs);
}

void FlushSoon(HANDLE file) {
  if (!g_flusher.running) {
    g_fileIo.flush(file);
    return;
  }
  if (g_pending.load()) return;
  HANDLE own = nullptr;
  HANDLE self = GetCurrentProcess();
  if (!DuplicateHandle(self, file, self, &own, 0, FALSE, DUPLICATE_SAME_ACCESS)) return;
  g_pending.store(own);
  WorkerWake(g_flusher);
}
