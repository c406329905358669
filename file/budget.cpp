#include "budget.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "console_queue.h"
#include "file_io.h"

static const double kBytesPerGigabyte = 1e9;

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

void PrintForecast(const WavWriter& w, const Budget& b) {
  double perHour = double(BytesPerHour(w));
  printf("Disk use: %.2f GB per hour", perHour / kBytesPerGigabyte);
  int64_t free = g_fileIo.freeSpace();
  if (free >= 0) printf("; the free space holds %.1f hours", double(free) / perHour);
  if (b.unit != NoBudget)
    printf("; the budget of %s holds %.1f hours", b.text, double(BudgetBytes(b, w)) / perHour);
  printf("\n");
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

static void Delete(const Scan& s, uint64_t budgetBytes) {
  double budget = double(budgetBytes) / kBytesPerGigabyte;
  if (g_fileIo.remove(s.oldest.name)) {
    ConsolePrintf(stdout, "\nBudget %.3f GB: deleted %s (%.3f GB)", budget, s.oldest.name,
                  double(s.oldestBytes) / kBytesPerGigabyte);
    return;
  }
  char why[256];
  ErrorText(g_fileIo.lastError(), why, sizeof why);
  ConsolePrintf(stdout, "\nBudget %.3f GB: can't delete %s: %s", budget, s.oldest.name, why);
}

void KeepFilesWithinBudget(const BudgetFiles& files, uint64_t budgetBytes, uint64_t nextBytes) {
  // A band published anew at a higher rate may no longer fit one file in the
  // budget set at the start: emptying the folder would not make it fit either.
  if (nextBytes > budgetBytes) {
    ConsolePrintf(stdout,
                  "\nBudget %.3f GB holds less than one file of the band now (%.3f GB): "
                  "nothing deleted",
                  double(budgetBytes) / kBytesPerGigabyte, double(nextBytes) / kBytesPerGigabyte);
    return;
  }
  static Scan s;  // the names take more than a small stack should
  s.files = &files;
  s.after = Place{0, ""};  // before every recording: order 0 is none
  // Each file is tried once, oldest first; the totals come from the disk anew.
  for (Look(s); s.total + nextBytes > budgetBytes && s.oldest.order != 0; Look(s)) {
    Delete(s, budgetBytes);
    s.after = s.oldest;
  }
}

void KeepWithinBudget(int32_t band, uint64_t budgetBytes, uint64_t nextBytes) {
  char pattern[32];
  snprintf(pattern, sizeof pattern, "B%d_*.wav", band);
  BudgetFiles files = {pattern, RecordingOrder, band};
  KeepFilesWithinBudget(files, budgetBytes, nextBytes);
}
