// When files begin and end, and what goes into them.
#include "wav_writer.h"

#include <stdio.h>
#include <string.h>

#include "budget.h"
#include "clock.h"
#include "console_queue.h"
#include "file_io.h"
#include "flusher.h"

const char kWebAddress[] = "https://example.org/vexa";

static const int kMaxNameSuffix = 999;

static bool IsOpen(const WavWriter& w) {
  return w.file != INVALID_HANDLE_VALUE;
}

void Setup(WavWriter& w, SampleFormat format, int32_t sampleRate, int32_t l0, int32_t band,
           TimeBase timeBase, Rotation rotation) {
  memset(&w, 0, sizeof w);
  w.format = format;
  w.sampleRate = sampleRate;
  w.l0 = l0;
  w.band = band;
  w.timeBase = timeBase;
  w.rotation = rotation;
  w.file = INVALID_HANDLE_VALUE;
  FillHeaderTemplate(w);
}

void SetBudget(WavWriter& w, uint64_t budgetBytes) {
  w.budgetBytes = budgetBytes;
}

void Retune(WavWriter& w, int32_t sampleRate, int32_t l0) {
  w.sampleRate = sampleRate;
  w.l0 = l0;
  FillHeaderTemplate(w);
}

// Breaks t down in the file-name time base; a time the run-time library cannot
// break down leaves the previous reading in place.
static void TakeTime(WavWriter& w, int64_t t) {
  __time64_t t64 = t;
  struct tm* broken = w.timeBase == LocalTime ? _localtime64(&t64) : _gmtime64(&t64);
  if (broken) w.now = *broken;
}

// Where the rotation period holding calendar time t began, t broken down in
// w.now. Periods follow the file-name clock (in local time they begin at its
// hours), and as calendar times they keep growing when that clock falls back
// an hour, so a repeated local hour is a later period.
static int64_t PeriodStart(const WavWriter& w, int64_t t) {
  int minutes = w.rotation == Hour ? 60 : w.rotation == HalfHour ? 30 : 15;
  return t - (w.now.tm_min % minutes) * 60 - w.now.tm_sec;
}

// The file-name pattern, with "_<n>" before ".wav" for n >= 2.
static void BuildFileName(const WavWriter& w, int suffix, char* name) {
  const struct tm& t = w.now;
  int n =
      snprintf(name, kFileNameSize, "B%d_%04i%02i%02i_%02i%02i%02i_%ukHz", w.band, t.tm_year + 1900,
               t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, uint32_t(w.l0) / 1000);
  if (suffix >= 2) n += snprintf(name + n, kFileNameSize - n, "_%d", suffix);
  snprintf(name + n, kFileNameSize - n, ".wav");
}

// A file longer than a bare header holds recordings and is never replaced (the
// local hour repeats when the clock falls back; a file can fail in its first
// second). A header left by a failed open may be.
static bool HoldsData(const WavWriter& w, const char* name) {
  return g_fileIo.sizeOf(name) > int64_t(w.headerBytes);
}

static bool ChooseFileName(WavWriter& w) {
  for (int suffix = 1; suffix <= kMaxNameSuffix; suffix++) {
    BuildFileName(w, suffix, w.fileName);
    if (!HoldsData(w, w.fileName)) return true;
  }
  return false;
}

static void BuildInfoList(WavWriter& w) {
  char stamp[32] = "";
  __time64_t t64 = g_clock.now();
  struct tm* utc = _gmtime64(&t64);
  if (utc) strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S UTC", utc);
  char frequency[16];
  snprintf(frequency, sizeof frequency, "%d", w.l0);
  ResetInfoList(w);
  AddInfoItem(w, "QTR ", stamp);
  AddInfoItem(w, "QRG ", frequency);
  AddInfoItem(w, "ISFT", "VEXA_File");
  AddInfoItem(w, "IWEB", kWebAddress);
  AddInfoItem(w, "CHAN", "I/Q");
}

static bool WriteAll(HANDLE file, const void* bytes, uint32_t count) {
  uint32_t written = 0;
  return g_fileIo.write(file, bytes, count, &written) && written == count;
}

static bool Elapsed(int64_t now, int64_t then, int64_t seconds) {
  return now < then || now - then >= seconds;  // a clock set back ends the wait too
}

static bool DiskFull(DWORD error) {
  return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

// Reports the first failure of an outage only, so a full disk cannot flood the
// console, and holds the next file back (MayOpen). Always false.
static bool Failed(WavWriter& w, const char* action, DWORD error) {
  if (!w.failing) {
    char text[256];
    ErrorText(error, text, sizeof text);
    char retry[48];
    if (DiskFull(error))
      snprintf(retry, sizeof retry, "recording goes on as soon as there is room");
    else
      snprintf(retry, sizeof retry, "a new file is tried every %d s", int(kRetrySeconds));
    ConsolePrintf(stderr, "\nCan't %s %s: %s; %s\n", action, w.fileName, text, retry);
    g_clock.systemTime(&w.failingSince);
    w.reportedAt = g_clock.now();
  }
  w.failing = true;
  w.failedAt = g_clock.now();
  w.failError = error;
  return false;
}

// A line a minute while the outage lasts: a station left alone shows it still.
static void TellOutage(WavWriter& w, int64_t now) {
  char text[256];
  ErrorText(w.failError, text, sizeof text);
  char nothingLeft[80] = "";
  if (w.budgetBytes && w.roomShort && DiskFull(w.failError))
    snprintf(nothingLeft, sizeof nothingLeft,
             ", and deleting band %d's recordings would not make room for a file", w.band);
  const SYSTEMTIME& t = w.failingSince;
  ConsolePrintf(stderr, "\nNothing recorded since %04u-%02u-%02u %02u:%02u:%02u UTC: %s%s\n",
                t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, text, nothingLeft);
  w.reportedAt = now;
}

// Whether this block may open a new file. Before each one the budget makes
// room. After a failure a full disk is looked at once a second and tried as
// soon as it has room for the block, anything else every kRetrySeconds.
static bool MayOpen(WavWriter& w, uint32_t byteCount, int64_t now) {
  if (!w.failing) {
    MakeRoom(w);
    return true;
  }
  if (Elapsed(now, w.reportedAt, kOutageReportSeconds)) TellOutage(w, now);
  if (!DiskFull(w.failError)) {
    if (!Elapsed(now, w.failedAt, kRetrySeconds)) return false;
    MakeRoom(w);
    return true;
  }
  if (now == w.roomCheckedAt) return false;
  w.roomCheckedAt = now;
  MakeRoom(w);
  return HasFree(uint64_t(w.headerBytes) + byteCount);
}

// Why the latest write stored less than asked; must follow that write at once.
static DWORD WriteError(bool reportedOk) {
  // A write that stored less yet reported success has no error code of its own.
  return reportedOk ? ERROR_HANDLE_DISK_FULL : g_fileIo.lastError();
}

// Closes the current file and deletes it: it holds no samples.
static void Discard(WavWriter& w) {
  g_fileIo.close(w.file);
  g_fileIo.remove(w.fileName);
  w.file = INVALID_HANDLE_VALUE;
  w.fileBytes = 0;
}

bool OpenFile(WavWriter& w) {
  if (IsOpen(w)) return true;
  bool named = ChooseFileName(w);
  // In an outage the failure named the file once; the name shows again when one opens.
  if (!w.failing) ConsolePrintf(stdout, "\n%s ", w.fileName);
  if (!named) return Failed(w, "name", ERROR_FILE_EXISTS);
  w.file = g_fileIo.create(w.fileName);
  if (!IsOpen(w)) return Failed(w, "create", g_fileIo.lastError());
  g_clock.systemTime(&w.startedAt);
  SetStartTime(w, w.startedAt);
  w.lastBlockAt = w.startedAt;  // a file whose first block fails ends where it began
  SetHeaderSizes(w, w.headerBytes - 8, 0);
  if (Is24Bit(w)) BuildInfoList(w);
  uint32_t written = 0;
  bool ok = g_fileIo.write(w.file, w.header, w.headerBytes, &written);
  if (!ok || written != w.headerBytes) {
    Failed(w, "write", WriteError(ok));
    Discard(w);
    return false;
  }
  w.fileBytes = w.headerBytes;
  w.filePeriod = w.blockPeriod;
  if (w.failing) ConsolePrintf(stdout, "\n%s ", w.fileName);
  return true;
}

// Writes the header over itself with the sizes of what the file holds now (and
// of the trailer behind it) and the time of its latest block as its stop time: a
// file closed after a stall ends where its samples end.
static void RewriteHeader(WavWriter& w, uint32_t trailer) {
  SetStopTime(w, w.lastBlockAt);
  uint32_t length = uint32_t(w.fileBytes);
  SetHeaderSizes(w, length + trailer - 8, length - w.headerBytes);
  if (g_fileIo.seek(w.file, 0, FILE_BEGIN)) WriteAll(w.file, w.header, w.headerBytes);
}

// Keeps the sizes current, and hands them and the samples to the disk, so that a
// recorder killed later or a power cut leaves a readable file.
static void RefreshHeader(WavWriter& w, int64_t now) {
  RewriteHeader(w, 0);
  w.refreshedAt = now;
  // Appending anywhere but at the end would overwrite samples.
  if (!g_fileIo.seek(w.file, 0, FILE_END)) return CloseFile(w);
  FlushSoon(w.file);
}

void MoveStartEarlier(WavWriter& w, ULONGLONG ms) {
  FILETIME at;
  if (!IsOpen(w) || ms == 0 || !SystemTimeToFileTime(&w.startedAt, &at)) return;
  ULARGE_INTEGER t;
  t.LowPart = at.dwLowDateTime;
  t.HighPart = at.dwHighDateTime;
  t.QuadPart -= ms * 10000;  // FILETIME counts 100 ns
  at.dwLowDateTime = t.LowPart;
  at.dwHighDateTime = t.HighPart;
  if (!FileTimeToSystemTime(&at, &w.startedAt)) return;
  SetStartTime(w, w.startedAt);
  RefreshHeader(w, g_clock.now());
}

// Ends the file after `length` bytes, dropping what a failed write left behind.
static bool CutAt(WavWriter& w, uint64_t length) {
  if (!g_fileIo.seek(w.file, int64_t(length), FILE_BEGIN)) return false;
  g_fileIo.truncate(w.file);
  return true;
}

void CloseFile(WavWriter& w) {
  if (!IsOpen(w)) return;
  // A failed write can end inside a frame: the file keeps whole frames only.
  w.fileBytes -= (w.fileBytes - w.headerBytes) % FrameBytes(w);
  if (w.fileBytes == w.headerBytes) return Discard(w);
  uint32_t trailer = 0;
  if (CutAt(w, w.fileBytes) && Is24Bit(w)) {
    // The RIFF size counts the INFO list only when all of it is there.
    if (WriteAll(w.file, w.infoList, w.infoBytes))
      trailer = w.infoBytes;
    else
      CutAt(w, w.fileBytes);
  }
  RewriteHeader(w, trailer);
  g_fileIo.close(w.file);
  w.file = INVALID_HANDLE_VALUE;
  w.fileBytes = 0;
}

// RIFF sizes are 32-bit: the block, and for 24-bit the INFO list after it, must
// still fit.
static bool Fits(const WavWriter& w, uint32_t byteCount) {
  uint32_t trailer = Is24Bit(w) ? w.infoBytes : 0;
  return w.fileBytes + byteCount + trailer <= kMaxFileBytes;
}

bool WriteBlock(WavWriter& w, uint32_t byteCount, const void* bytes) {
  int64_t now = g_clock.now();
  TakeTime(w, now);
  if (w.previousSecond > w.now.tm_sec) ConsolePrintf(stdout, ".");
  w.previousSecond = w.now.tm_sec;
  w.blockPeriod = PeriodStart(w, now);
  // A clock set back gives an earlier period: the file goes on.
  if (IsOpen(w) && w.blockPeriod > w.filePeriod) CloseFile(w);
  if (IsOpen(w) && !Fits(w, byteCount)) CloseFile(w);
  if (!IsOpen(w) && (!MayOpen(w, byteCount, now) || !OpenFile(w))) return false;

  bool first = w.fileBytes == w.headerBytes;
  uint32_t written = 0;
  bool ok = g_fileIo.write(w.file, bytes, byteCount, &written);
  w.fileBytes += written;
  if (!ok || written != byteCount) {
    Failed(w, "write", WriteError(ok));
    CloseFile(w);
    return false;
  }
  w.failing = false;
  g_clock.systemTime(&w.lastBlockAt);
  if (first || Elapsed(now, w.refreshedAt, kRefreshSeconds)) RefreshHeader(w, now);
  return true;
}
