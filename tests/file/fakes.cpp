#include "fakes.h"

#include <string.h>
#include <time.h>

FakeDisk* g_disk = nullptr;
int64_t g_fakeNow = 0;
int g_fakeMs = 250;
int64_t g_fakeClockSetMs = 0;
int64_t g_fakeSleptMs = 0;

static FakeFile& Of(HANDLE h) {
  return g_disk->files[size_t(reinterpret_cast<uintptr_t>(h)) - 1];
}

static HANDLE Create(const char* name) {
  if (g_disk->createsToFail > 0) {
    g_disk->createsToFail--;
    g_disk->lastError = ERROR_ACCESS_DENIED;
    return INVALID_HANDLE_VALUE;
  }
  FakeFile* f = FindFile(name);
  if (!f) {
    g_disk->files.emplace_back();
    f = &g_disk->files.back();
    f->name = name;
  }
  if (g_disk->freeBytes >= 0 && !f->removed) g_disk->freeBytes += int64_t(f->size);
  f->bytes.clear();
  f->tail.clear();
  f->size = f->pos = 0;
  f->open = true;
  f->removed = false;
  g_disk->createdNames.push_back(name);
  return reinterpret_cast<HANDLE>(uintptr_t(f - g_disk->files.data()) + 1);
}

static bool Write(HANDLE h, const void* bytes, uint32_t count, uint32_t* written) {
  FakeFile& f = Of(h);
  bool fail = ++g_disk->writeCalls == g_disk->failWriteCall;
  DWORD error = g_disk->writeError;
  uint32_t n = fail ? (count > g_disk->shortBy ? count - g_disk->shortBy : 0) : count;
  // Overwriting takes no room; growing the file takes what is left.
  int64_t room = g_disk->freeBytes < 0 ? INT64_MAX : int64_t(f.size - f.pos) + g_disk->freeBytes;
  if (int64_t(n) > room) {
    n = uint32_t(room);
    fail = true;
    error = ERROR_DISK_FULL;
  }
  if (fail) g_disk->lastError = error;
  const uint8_t* src = static_cast<const uint8_t*>(bytes);
  if (f.pos < kKeptBytes) {
    uint64_t kept = std::min<uint64_t>(n, kKeptBytes - f.pos);
    if (f.bytes.size() < f.pos + kept) f.bytes.resize(size_t(f.pos + kept));
    memcpy(f.bytes.data() + f.pos, src, size_t(kept));
  } else {
    f.tail.assign(src, src + std::min<uint32_t>(n, 4096));
  }
  f.pos += n;
  if (f.pos > f.size) {
    if (g_disk->freeBytes >= 0) g_disk->freeBytes -= int64_t(f.pos - f.size);
    g_disk->bytesWritten += f.pos - f.size;
    f.size = f.pos;
  }
  *written = n;
  return !fail;
}

static bool Seek(HANDLE h, int64_t offset, DWORD method) {
  FakeFile& f = Of(h);
  f.pos = uint64_t(offset) + (method == FILE_END ? f.size : 0);
  return true;
}

static bool Truncate(HANDLE h) {
  FakeFile& f = Of(h);
  if (f.pos >= f.size) return true;
  if (g_disk->freeBytes >= 0) g_disk->freeBytes += int64_t(f.size - f.pos);
  f.size = f.pos;
  if (f.bytes.size() > f.size) f.bytes.resize(size_t(f.size));
  return true;
}

static void Close(HANDLE h) {
  Of(h).open = false;
}

static bool Remove(const char* name) {
  FakeFile* f = FindFile(name);
  if (!f || f->open || f->removed || g_disk->locked == name) {
    g_disk->lastError = ERROR_SHARING_VIOLATION;
    return false;
  }
  if (g_disk->freeBytes >= 0) g_disk->freeBytes += int64_t(f->size);
  f->removed = true;
  return true;
}

static int64_t SizeOf(const char* name) {
  FakeFile* f = FindFile(name);
  return f && !f->removed ? int64_t(f->size) : -1;
}

static bool Flush(HANDLE h) {
  g_disk->flushedAt.push_back(Of(h).size);
  return true;
}

// Wildcards as the recorder uses them: one '*'.
static void List(const char* pattern, FileFound found, void* context) {
  std::string p = pattern;
  size_t star = p.find('*');
  std::string head = p.substr(0, star), tail = p.substr(star + 1);
  for (size_t i = 0; i < g_disk->files.size(); i++) {
    const FakeFile& f = g_disk->files[i];  // found may delete, never add
    bool fits = f.name.size() >= head.size() + tail.size() && f.name.rfind(head, 0) == 0 &&
                f.name.compare(f.name.size() - tail.size(), tail.size(), tail) == 0;
    if (!f.removed && fits) found(f.name.c_str(), int64_t(f.size), context);
  }
}

static bool Rename(const char* from, const char* to) {
  FakeFile* f = FindFile(from);
  FakeFile* taken = FindFile(to);
  g_disk->lastError = taken && !taken->removed ? ERROR_ALREADY_EXISTS : ERROR_ACCESS_DENIED;
  if (g_disk->renamesToFail > 0 || !f || f->open || f->removed || (taken && !taken->removed)) {
    if (g_disk->renamesToFail > 0) g_disk->renamesToFail--;
    return false;
  }
  if (taken) taken->name += "\\gone";  // a removed entry keeps no name
  f->name = to;
  return true;
}

static int64_t FreeSpace() {
  return g_disk->freeBytes < 0 ? INT64_C(1) << 40 : g_disk->freeBytes;
}

static int64_t DiskSize() {
  return g_disk->diskBytes;
}

static DWORD LastError() {
  return g_disk->lastError;
}

static int64_t Now() {
  return g_fakeNow;
}

static void SystemTimeNow(SYSTEMTIME* st) {
  __time64_t t = g_fakeNow;
  struct tm* u = _gmtime64(&t);
  st->wYear = WORD(u->tm_year + 1900);
  st->wMonth = WORD(u->tm_mon + 1);
  st->wDayOfWeek = WORD(u->tm_wday);
  st->wDay = WORD(u->tm_mday);
  st->wHour = WORD(u->tm_hour);
  st->wMinute = WORD(u->tm_min);
  st->wSecond = WORD(u->tm_sec);
  st->wMilliseconds = WORD(g_fakeMs);
}

// Moves with the calendar time, so a test sets one clock unless it sets the
// wall clock or sleeps.
static ULONGLONG TickMs() {
  return ULONGLONG(g_fakeNow * 1000 + g_fakeMs - g_fakeClockSetMs);
}

static ULONGLONG AwakeMs() {
  return TickMs() - ULONGLONG(g_fakeSleptMs);
}

void InstallFakes(FakeDisk& disk) {
  g_disk = &disk;
  g_fakeMs = 250;
  g_fakeClockSetMs = 0;
  g_fakeSleptMs = 0;
  g_fileIo = FileIo{Create,    Write, Seek, Truncate,  Close,    Remove, SizeOf,
                    LastError, Flush, List, FreeSpace, DiskSize, Rename};
  g_clock = WriterClock{Now, SystemTimeNow, TickMs, AwakeMs};
}

void RemoveFakes() {
  g_fileIo = SystemFileIo();
  g_clock = SystemClock();
  g_disk = nullptr;
}

void AdvanceFakeTime(int ms) {
  int total = g_fakeMs + ms;
  g_fakeNow += total / 1000;
  g_fakeMs = total % 1000;
}

int64_t UtcTime(int year, int month, int day, int hour, int minute, int second) {
  // Days from 1970-01-01 to the date, proleptic Gregorian calendar.
  int y = year - (month <= 2);
  int era = y / 400;
  int yoe = y - era * 400;
  int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  int64_t days = int64_t(era) * 146097 + doe - 719468;
  return days * 86400 + hour * 3600 + minute * 60 + second;
}

FakeFile* FindFile(const std::string& name) {
  for (FakeFile& f : g_disk->files) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

void PutFile(const std::string& name, uint64_t size) {
  HANDLE h = Create(name.c_str());
  Of(h).size = size;
  Of(h).open = false;
  if (g_disk->freeBytes >= 0) g_disk->freeBytes -= int64_t(size);
  g_disk->createdNames.pop_back();
}

std::vector<std::string> FakeDisk::Present() const {
  std::vector<std::string> names;
  for (const FakeFile& f : files) {
    if (!f.removed) names.push_back(f.name);
  }
  return names;
}

std::string ErrorString(DWORD error) {
  char text[256];
  ErrorText(error, text, sizeof text);
  return text;
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

uint16_t Le16(const std::vector<uint8_t>& b, size_t at) {
  return uint16_t(b[at] | b[at + 1] << 8);
}
