// A cycle's file: its name, its header, its temporary life and its end.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "budget.h"
#include "clock.h"
#include "console_queue.h"
#include "file_io.h"
#include "spool.h"
#include "spool_file.h"

static const char kPartSuffix[] = ".part";

static bool CycleOrder(const char* name, int32_t, uint64_t* order) {
  return SpoolFileOrder(name, order);
}

static const BudgetFiles kCycleFiles = {"*.wav", CycleOrder, 0};

bool SpoolCycleValid(int32_t seconds) {
  return seconds >= 5 && seconds <= 3600 && 3600 % seconds == 0;
}

uint64_t SpoolFileBytes(int32_t seconds) {
  return kSpoolHeaderBytes + uint64_t(seconds) * kSpoolRate * 2;
}

void SpoolFileName(int64_t utcMs, char* name) {
  __time64_t t = utcMs / 1000;
  struct tm* u = _gmtime64(&t);
  if (!u) {
    snprintf(name, kSpoolNameSize, "000000_000000.wav");
    return;
  }
  snprintf(name, kSpoolNameSize, "%02d%02d%02d_%02d%02d%02d.wav", u->tm_year % 100, u->tm_mon + 1,
           u->tm_mday, u->tm_hour, u->tm_min, u->tm_sec);
}

bool SpoolFileOrder(const char* name, uint64_t* order) {
  uint64_t value = 0;
  for (int i = 0; i < 13; i++) {
    char c = name[i];
    if (i == 6) {
      if (c != '_') return false;
      continue;
    }
    if (c < '0' || c > '9') return false;
    value = value * 10 + uint64_t(c - '0');
  }
  if (strcmp(name + 13, ".wav") != 0) return false;
  *order = value;
  return true;
}

int64_t UtcMs(const SYSTEMTIME& utc) {
  const int64_t k1970Ms = 11644473600000;  // from 1601, where the wall clock counts, to 1970
  const int64_t wall = WallMs(utc);
  return wall ? wall - k1970Ms : 0;
}

static void Put16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

static void Put32(uint8_t* p, uint32_t v) {
  Put16(p, v);
  Put16(p + 2, v >> 16);
}

// The plain 44-byte header of a mono 16-bit PCM file, with its final sizes.
static void FillHeader(uint8_t* h, int64_t samples) {
  uint32_t data = uint32_t(samples * 2);
  memcpy(h, "RIFF", 4);
  Put32(h + 4, 36 + data);
  memcpy(h + 8, "WAVEfmt ", 8);
  Put32(h + 16, 16);
  Put16(h + 20, 1);  // PCM
  Put16(h + 22, 1);  // mono
  Put32(h + 24, kSpoolRate);
  Put32(h + 28, kSpoolRate * 2);
  Put16(h + 32, 2);
  Put16(h + 34, 16);
  memcpy(h + 36, "data", 4);
  Put32(h + 40, data);
}

static void Say(const SpoolCycle& c, const char* why, const char* detail) {
  ConsolePrintf(stdout, "\n%s not written: %s%s", c.name, why, detail);
}

static void Failed(SpoolCycle& c, const char* action) {
  char text[256];
  ErrorText(g_fileIo.lastError(), text, sizeof text);
  char detail[320];
  snprintf(detail, sizeof detail, " %s: %s", c.temp, text);
  Say(c, action, detail);
  SpoolFileDiscard(c);
  c.failed = true;
}

static bool WriteAll(HANDLE file, const void* bytes, uint32_t count) {
  uint32_t written = 0;
  return g_fileIo.write(file, bytes, count, &written) && written == count;
}

void SpoolFileOpen(Spool& sp, int64_t startMs) {
  SpoolCycle& c = sp.cycle;
  c.open = true;
  c.failed = false;
  c.startMs = startMs;
  c.taken = 0;
  SpoolFileName(startMs, c.name);
  snprintf(c.temp, sizeof c.temp, "%s%s", c.name, kPartSuffix);
  // A whole cycle waiting for its new name counts too.
  uint64_t bytes = SpoolFileBytes(sp.seconds) * (sp.pending.open ? 2 : 1);
  if (sp.budgetBytes) KeepFilesWithinBudget(kCycleFiles, sp.budgetBytes, bytes);
  c.file = g_fileIo.create(c.temp);
  if (c.file == INVALID_HANDLE_VALUE) return Failed(c, "can't create");
  uint8_t header[kSpoolHeaderBytes];
  FillHeader(header, sp.cycleSamples);
  if (!WriteAll(c.file, header, kSpoolHeaderBytes)) Failed(c, "can't write");
}

void SpoolFileWrite(SpoolCycle& c, const int16_t* samples, int n) {
  if (c.file == INVALID_HANDLE_VALUE || n == 0) return;
  uint8_t bytes[2 * kSpoolBatch];
  for (int i = 0; i < n; i++) Put16(bytes + 2 * i, uint16_t(samples[i]));
  if (!WriteAll(c.file, bytes, uint32_t(2 * n))) Failed(c, "can't write");
}

void SpoolFileDiscard(SpoolCycle& c) {
  if (c.file == INVALID_HANDLE_VALUE) return;
  g_fileIo.close(c.file);
  g_fileIo.remove(c.temp);
  c.file = INVALID_HANDLE_VALUE;
}

void SpoolFileDrop(SpoolCycle& c, const char* why) {
  if (c.open && !c.failed) Say(c, why, "");
  SpoolFileDiscard(c);
  c.open = false;
}

void SpoolFileCommit(SpoolCycle& c) {
  if (!c.open) return;
  c.open = false;
  if (c.file == INVALID_HANDLE_VALUE) return;
  g_fileIo.close(c.file);
  c.file = INVALID_HANDLE_VALUE;
  if (g_fileIo.rename(c.temp, c.name)) {
    ConsolePrintf(stdout, "\n%s", c.name);
    return;
  }
  Failed(c, "can't rename");
  g_fileIo.remove(c.temp);
}

// A run killed in a cycle leaves its temporary file behind.
static void RemovePart(const char* name, int64_t, void*) {
  uint64_t order;
  char cycle[kSpoolNameSize];
  size_t n = strlen(name);
  size_t suffix = sizeof kPartSuffix - 1;
  if (n <= suffix || n - suffix >= sizeof cycle || strcmp(name + n - suffix, kPartSuffix) != 0)
    return;
  memcpy(cycle, name, n - suffix);
  cycle[n - suffix] = '\0';
  if (SpoolFileOrder(cycle, &order)) g_fileIo.remove(name);
}

void SpoolRemoveLeftovers() {
  g_fileIo.list("*.wav.part", RemovePart, nullptr);
}
