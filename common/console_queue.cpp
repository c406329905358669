#include "console_queue.h"

#include <windows.h>

#include <stdarg.h>
#include <stdint.h>

#include <atomic>

static const uint32_t kSlots = 64;
static const DWORD kDrainMs = 3000;

struct Slot {
  FILE* stream;
  int length;
  char text[512];
};

// One printing thread fills slots at the head, the writer empties them at the tail.
static Slot g_slots[kSlots];
static std::atomic<uint32_t> g_head{0};
static std::atomic<uint32_t> g_tail{0};
static std::atomic<uint32_t> g_dropped{0};
static std::atomic<bool> g_quit{false};
static HANDLE g_wake = nullptr;
static HANDLE g_writer = nullptr;
static bool g_queued = false;  // read and written by the printing thread only

static void ReportDropped() {
  uint32_t dropped = g_dropped.exchange(0);
  if (dropped)
    fprintf(stdout, "\n(%u console messages dropped: the console was held up)\n", dropped);
}

static void WriteQueued() {
  uint32_t tail = g_tail.load(std::memory_order_relaxed);
  while (tail != g_head.load(std::memory_order_acquire)) {
    Slot& s = g_slots[tail % kSlots];
    fwrite(s.text, 1, size_t(s.length), s.stream);
    fflush(s.stream);
    g_tail.store(++tail, std::memory_order_release);
  }
  ReportDropped();
}

static DWORD WINAPI Writer(void*) {
  for (;;) {
    WaitForSingleObject(g_wake, INFINITE);
    WriteQueued();
    if (g_quit.load()) return 0;
  }
}

void ConsoleQueueStart() {
  if (g_queued) return;
  g_quit = false;
  g_wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (g_wake) g_writer = CreateThread(nullptr, 0, Writer, nullptr, 0, nullptr);
  if (!g_writer) {
    if (g_wake) CloseHandle(g_wake);
    g_wake = nullptr;
    return;
  }
  g_queued = true;
}

void ConsoleQueueStop() {
  if (!g_queued) return;
  g_queued = false;
  g_quit = true;
  SetEvent(g_wake);
  // A writer still held up by the console keeps its handles: the process ends soon.
  if (WaitForSingleObject(g_writer, kDrainMs) != WAIT_OBJECT_0) return;
  CloseHandle(g_writer);
  CloseHandle(g_wake);
  g_writer = nullptr;
  g_wake = nullptr;
  ReportDropped();
}

void ConsolePrintf(FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  uint32_t head = g_head.load(std::memory_order_relaxed);
  if (!g_queued) {
    vfprintf(stream, format, args);
  } else if (head - g_tail.load(std::memory_order_acquire) == kSlots) {
    g_dropped++;
  } else {
    Slot& s = g_slots[head % kSlots];
    int n = vsnprintf(s.text, sizeof s.text, format, args);
    s.length = n < 0 ? 0 : n < int(sizeof s.text) ? n : int(sizeof s.text) - 1;
    s.stream = stream;
    g_head.store(head + 1, std::memory_order_release);
    SetEvent(g_wake);
  }
  va_end(args);
}
