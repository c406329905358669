#include "budget.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "console_queue.h"
#include "file_io.h"

static const double kBytesPerGigabyte = 1e9;
static const uint64_t kMinReserveBytes = 1000000000;

bool ParseBudget(const char* text, Budget* b) {
  const char* p = text;
  int digits = 0;
  for (; isdigit(static_cast<unsigned char>(*p)); p++) digits++;
  if (*p == '.')
    for (p++; isdigit(static_cast<unsigned char>(*p)); p++) digits++;
  char unit = char(toupper(static_cast<unsigned char>(*p)));
  if (digits == 0 || (unit != 'G' && unit != 'H') || p[1] != '\0') return false;
  double amount = strtod(text, nullptr);
  if (!(amount > 0) || strlen(text) >= sizeof b->text) return false;
  b->unit = unit == 'G' ? Gigabytes : Hours;
  b->amount = amount;
  snprintf(b->text, sizeof b->text, "%s", text);
  return true;
}

uint64_t BytesPerHour(const WavWriter& w) {
  return uint64_t(w.sampleRate > 0 ? w.sampleRate : 0) * FrameBytes(w) * 3600;
}

uint64_t LongestFileBytes(const WavWriter& w) {
  uint64_t periods = w.rotation == Hour ? 1 : w.rotation == HalfHour ? 2 : 4;
  uint64_t bytes = w.headerBytes + BytesPerHour(w) / periods;
  return bytes < kMaxFileBytes ? bytes : kMaxFileBytes;
}

uint64_t BudgetBytesAt(const Budget& b, uint64_t bytesPerHour) {
  if (b.unit == NoBudget) return 0;
  double perUnit = b.unit == Gigabytes ? kBytesPerGigabyte : double(bytesPerHour);
  return uint64_t(b.amount * perUnit);
}

uint64_t BudgetBytes(const Budget& b, const WavWriter& w) {
  return BudgetBytesAt(b, BytesPerHour(w));
}

bool HoldsOneFile(const Budget& b, const WavWriter& w) {
  if (b.unit == NoBudget || BudgetBytes(b, w) >= LongestFileBytes(w)) return true;
  fprintf(stderr, "Bad Budget (%s): one file takes up to %.3f GB\n", b.text,
          double(LongestFileBytes(w)) / kBytesPerGigabyte);
  return false;
}

uint64_t ReserveBytes() {
  int64_t size = g_fileIo.diskSize();
  uint64_t onePercent = size > 0 ? uint64_t(size) / 100 : 0;
  return onePercent > kMinReserveBytes ? onePercent : kMinReserveBytes;
}

static uint64_t OwnRecordingBytes(int32_t band);

// The band's recordings may take the free space and what they take now, less
// the reserve.
static void PrintDiskLimit(const WavWriter& w, const Budget& b, int64_t free) {
  uint64_t reserve = ReserveBytes();
  uint64_t room = uint64_t(free) + OwnRecordingBytes(w.band);
  room = room > reserve ? room - reserve : 0;
  if (BudgetBytes(b, w) <= room) return;
  printf(
      "The disk can't hold the budget: it has room for %.1f hours of this band with %.3f GB "
      "kept free, and the oldest recordings go when that runs short\n",
      double(room) / double(BytesPerHour(w)), double(reserve) / kBytesPerGigabyte);
}

void PrintForecast(const WavWriter& w, const Budget& b) {
  double perHour = double(BytesPerHour(w));
  printf("Disk use: %.2f GB per hour", perHour / kBytesPerGigabyte);
  int64_t free = g_fileIo.freeSpace();
  if (free >= 0) printf("; the free space holds %.1f hours", double(free) / perHour);
  if (b.unit != NoBudget)
    printf("; the budget of %s holds %.1f hours", b.text, double(BudgetBytes(b, w)) / perHour);
  printf("\n");
  if (b.unit != NoBudget && free >= 0) PrintDiskLimit(w, b, free);
}

// Reads exactly `count` digits; false when fewer are there.
static bool Digits(const char*& p, int count, uint32_t* value) {
  *value = 0;
  for (int i = 0; i < count; i++, p++) {
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
    *value = *value * 10 + uint32_t(*p - '0');
  }
  return true;
}

// A number as %d or %u prints it: no sign, no leading zero, at most 9 digits.
static bool Number(const char*& p, uint32_t* value) {
  int count = 0;
  while (isdigit(static_cast<unsigned char>(p[count]))) count++;
  if (count == 0 || count > 9 || (p[0] == '0' && count > 1)) return false;
  return Digits(p, count, value);
}

static bool Literal(const char*& p, const char* text) {
  size_t n = strlen(text);
  if (strncmp(p, text, n) != 0) return false;
  p += n;
  return true;
}

// "_<yyyymmdd>_<hhmmss>" as a number yyyymmddhhmmss, with every field in range.
static bool StartTime(const char*& p, uint64_t* when) {
  uint32_t date, time;
  if (!Literal(p, "_") || !Digits(p, 8, &date) || !Literal(p, "_") || !Digits(p, 6, &time))
    return false;
  uint32_t month = date / 100 % 100, day = date % 100;
  if (month < 1 || month > 12 || day < 1 || day > 31) return false;
  if (time / 10000 > 23 || time / 100 % 100 > 59 || time % 100 > 60) return false;
  *when = uint64_t(date) * 1000000 + time;
  return true;
}

bool RecordingOrder(const char* name, int32_t band, uint64_t* order) {
  const char* p = name;
  uint32_t number, kHz, suffix = 1;
  uint64_t when;
  if (!Literal(p, "B") || !Number(p, &number) || number != uint32_t(band)) return false;
  if (!StartTime(p, &when) || !Literal(p, "_") || !Number(p, &kHz) || !Literal(p, "kHz"))
    return false;
  if (Literal(p, "_") && (!Number(p, &suffix) || suffix < 2 || suffix > 999)) return false;
  if (!Literal(p, ".wav") || *p != '\0') return false;
  *order = when * 1000 + suffix;
  return true;
}

// A recording's place in time; files of one second differ by their names.
struct Place {
  uint64_t order;  // 0: none
  char name[kFileNameSize];
};

static bool Before(const Place& a, const Place& b) {
  return a.order < b.order || (a.order == b.order && strcmp(a.name, b.name) < 0);
}

// One look through the folder: the band's recordings in all, and the oldest of
// those later than `after`.
struct Scan {
  const BudgetFiles* files;
  Place after;
  Place oldest;
  int64_t oldestBytes;
  uint64_t total;
};

static void Found(const char* name, int64_t bytes, void* context) {
  Scan& s = *static_cast<Scan*>(context);
  Place here;
  if (!s.files->order(name, s.files->band, &here.order)) return;
  s.total += uint64_t(bytes);
  snprintf(here.name, sizeof here.name, "%s", name);
  if (!Before(s.after, here) || (s.oldest.order != 0 && !Before(here, s.oldest))) return;
  s.oldest = here;
  s.oldestBytes = bytes;
}

static void Look(Scan& s) {
  s.total = 0;
  s.oldest.order = 0;
  g_fileIo.list(s.files->pattern, Found, &s);
}

// A look from before every file (order 0 is none). The names take more than a
// small stack should.
static Scan& FirstLook(const BudgetFiles& files) {
  static Scan s;
  s.files = &files;
  s.after = Place{0, ""};
  Look(s);
  return s;
}

static BudgetFiles BandFiles(int32_t band, char (&pattern)[32]) {
  snprintf(pattern, sizeof pattern, "B%d_*.wav", band);
  return BudgetFiles{pattern, RecordingOrder, band};
}

static uint64_t OwnRecordingBytes(int32_t band) {
  char pattern[32];
  BudgetFiles files = BandFiles(band, pattern);
  return FirstLook(files).total;
}

// Why the oldest file goes, printed before what became of it.
static void Delete(const Scan& s, const char* why) {
  if (g_fileIo.remove(s.oldest.name)) {
    ConsolePrintf(stdout, "\n%s: deleted %s (%.3f GB)", why, s.oldest.name,
                  double(s.oldestBytes) / kBytesPerGigabyte);
    return;
  }
  char error[256];
  ErrorText(g_fileIo.lastError(), error, sizeof error);
  ConsolePrintf(stdout, "\n%s: can't delete %s: %s", why, s.oldest.name, error);
}

// Fills why with the reason the oldest file must go; false when none must.
// For the free space only when the files can make the room wanted: on a disk
// that others filled, deleting the newest too would only let a few minutes be
// recorded, each deleted in turn for the next.
static bool MustGo(const Scan& s, uint64_t budgetBytes, uint64_t nextBytes, uint64_t wanted,
                   char* why, size_t size) {
  if (s.total + nextBytes > budgetBytes) {
    snprintf(why, size, "Budget %.3f GB", double(budgetBytes) / kBytesPerGigabyte);
    return true;
  }
  int64_t free = g_fileIo.freeSpace();
  if (free < 0 || uint64_t(free) >= wanted || uint64_t(free) + s.total < wanted) return false;
  snprintf(why, size, "Free space %.3f GB < %.3f GB", double(free) / kBytesPerGigabyte,
           double(wanted) / kBytesPerGigabyte);
  return true;
}

bool HasFree(uint64_t bytes) {
  int64_t free = g_fileIo.freeSpace();
  return free < 0 || uint64_t(free) >= bytes;
}

bool KeepFilesWithinBudget(const BudgetFiles& files, uint64_t budgetBytes, uint64_t nextBytes) {
  uint64_t wanted = nextBytes + ReserveBytes();
  // A band published anew at a higher rate may no longer fit one file in the
  // budget set at the start: emptying the folder would not make it fit either.
  if (nextBytes > budgetBytes) {
    ConsolePrintf(stdout,
                  "\nBudget %.3f GB holds less than one file of the band now (%.3f GB): "
                  "nothing deleted",
                  double(budgetBytes) / kBytesPerGigabyte, double(nextBytes) / kBytesPerGigabyte);
    return HasFree(wanted);
  }
  char why[80];
  // Each file is tried once, oldest first; the totals come from the disk anew.
  for (Scan& s = FirstLook(files);
       s.oldest.order != 0 && MustGo(s, budgetBytes, nextBytes, wanted, why, sizeof why); Look(s)) {
    Delete(s, why);
    s.after = s.oldest;
  }
  return HasFree(wanted);
}

// Said again only after the free space held an hour once more.
static void TellLowSpace(WavWriter& w) {
  int64_t free = g_fileIo.freeSpace();
  uint64_t hour = BytesPerHour(w);
  bool low = free >= 0 && uint64_t(free) < hour;
  if (low && !w.lowSpaceTold)
    ConsolePrintf(stdout,
                  "\nThe disk has room for %.1f hours of recording (%.3f GB free): without a "
                  "budget nothing is deleted",
                  double(free) / double(hour), double(free) / kBytesPerGigabyte);
  w.lowSpaceTold = low;
}

void MakeRoom(WavWriter& w) {
  if (w.budgetBytes) {
    char pattern[32];
    BudgetFiles files = BandFiles(w.band, pattern);
    w.roomShort = !KeepFilesWithinBudget(files, w.budgetBytes, LongestFileBytes(w));
  } else {
    TellLowSpace(w);
  }
}
