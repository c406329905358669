#include "worker.h"

static DWORD WINAPI Run(void* context) {
  Worker& w = *static_cast<Worker*>(context);
  for (;;) {
    WaitForSingleObject(w.wake, INFINITE);
    // Read before the run: a stop asked during it still gets one run after it.
    bool quitting = w.quit.load();
    w.work();
    if (quitting) return 0;
  }
}

bool WorkerStart(Worker& w, void (*work)()) {
  if (w.running) return true;
  w.work = work;
  w.quit = false;
  w.thread = nullptr;
  w.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (w.wake) w.thread = CreateThread(nullptr, 0, Run, &w, 0, nullptr);
  if (!w.thread) {
    if (w.wake) CloseHandle(w.wake);
    w.wake = nullptr;
    return false;
  }
  w.running = true;
  return true;
}

void WorkerWake(Worker& w) {
  SetEvent(w.wake);
}

void WorkerStop(Worker& w, DWORD waitMs) {
  if (!w.running) return;
  w.running = false;
  w.quit = true;
  SetEvent(w.wake);
  if (WaitForSingleObject(w.thread, waitMs) != WAIT_OBJECT_0) return;
  CloseHandle(w.thread);
  CloseHandle(w.wake);
  w.thread = nullptr;
  w.wake = nullptr;
}
