#include "console_queue.h"

#include <windows.h>

#include <stdarg.h>
#include <stdint.h>

#include <atomic>

#include "worker.h"

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
static Worker g_writer;

static void WriteOut(FILE* stream, const char* text, size_t length) {
  fwrite(text, 1, length, stream);
  fflush(stream);
}

void (*g_consoleWrite)(FILE* stream, const char* text, size_t length) = WriteOut;

static void ReportDropped() {
  uint32_t dropped = g_dropped.exchange(0);
  if (!dropped) return;
  char text[80];
  int n = snprintf(text, sizeof text, "\n(%u console messages dropped: the console was held up)\n",
                   dropped);
  g_consoleWrite(stdout, text, size_t(n));
}

static void WriteQueued() {
  uint32_t tail = g_tail.load(std::memory_order_relaxed);
  while (tail != g_head.load(std::memory_order_acquire)) {
    Slot& s = g_slots[tail % kSlots];
    g_consoleWrite(s.stream, s.text, size_t(s.length));
    g_tail.store(++tail, std::memory_order_release);
  }
  ReportDropped();
}

void ConsoleQueueStart() {
  WorkerStart(g_writer, WriteQueued);
}

void ConsoleQueueStop() {
  WorkerStop(g_writer, kDrainMs);
}

void ConsolePrintf(FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  uint32_t head = g_head.load(std::memory_order_relaxed);
  if (!g_writer.running) {
    vfprintf(stream, format, args);
  } else if (head - g_tail.load(std::memory_order_acquire) == kSlots) {
    g_dropped++;
  } else {
    Slot& s = g_slots[head % kSlots];
    int n = vsnprintf(s.text, sizeof s.text, format, args);
    s.length = n < 0 ? 0 : n < int(sizeof s.text) ? n : int(sizeof s.text) - 1;
    s.stream = stream;
    g_head.store(head + 1, std::memory_order_release);
    WorkerWake(g_writer);
  }
  va_end(args);
}
