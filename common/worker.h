// A thread of its own for work that may wait long (a console held up, a slow
// disk), woken by the thread that must never wait for it.
#pragma once

#include <windows.h>

#include <atomic>

struct Worker {
  void (*work)();  // runs on the worker after each wake-up, and once more at the stop
  HANDLE wake;     // auto-reset
  HANDLE thread;
  std::atomic<bool> quit;
  bool running;  // read and written by the waking thread only
};

// Starts the thread; false, with nothing made, when the system has none.
bool WorkerStart(Worker& w, void (*work)());

// Lets the worker run its work soon; never waits.
void WorkerWake(Worker& w);

// Lets the worker finish and waits for it at most waitMs; a worker still held
// up then keeps its handles, and the process ends soon. Harmless twice.
void WorkerStop(Worker& w, DWORD waitMs);
