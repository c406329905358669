// A budget for one band's recordings in the folder: before each new file the
// oldest recordings of the band are deleted until the rest and the new file fit.
#pragma once

#include <stdint.h>

#include "wav_writer.h"

enum BudgetUnit { NoBudget, Gigabytes, Hours };

struct Budget {
  BudgetUnit unit;
  double amount;  // above 0 unless NoBudget
  char text[24];  // as given, for the messages
};

// Reads a decimal number above 0 and its unit, G (10^9 bytes) or h (hours of
// the band's recording), in either case: "500G", "0.5g", "72h". False for
// anything else.
bool ParseBudget(const char* text, Budget* b);

// Samples of one hour at the writer's rate and layout, headers left out.
uint64_t BytesPerHour(const WavWriter& w);
// The longest file the writer makes: a whole rotation period, or 4 GiB.
uint64_t LongestFileBytes(const WavWriter& w);
// The budget in bytes for the writer's band; 0 for NoBudget.
uint64_t BudgetBytes(const Budget& b, const WavWriter& w);

// True without a budget or when the budget holds the longest file; otherwise
// says so on stderr: "Bad Budget (%s): one file takes up to %.3f GB".
bool HoldsOneFile(const Budget& b, const WavWriter& w);

// One line: GB per hour, and the hours that the free space and the budget hold.
void PrintForecast(const WavWriter& w, const Budget& b);

// True when name is exactly one the writer makes for band (the pattern of
// BuildFileName, with its optional "_<n>"); *order then sorts the recordings by
// their start time, then by the suffix.
bool RecordingOrder(const char* name, int32_t band, uint64_t* order);

// The files a budget looks after: those of the current folder that match
// pattern (FindFirstFileA wildcards) and that order recognises, oldest first.
struct BudgetFiles {
  const char* pattern;
  bool (*order)(const char* name, int32_t band, uint64_t* order);
  int32_t band;
};

// Deletes the oldest of the files in the folder, printing each, until the rest
// and one more file of nextBytes fit within budgetBytes. A file that can't be
// deleted is reported and passed over.
void KeepFilesWithinBudget(const BudgetFiles& files, uint64_t budgetBytes, uint64_t nextBytes);
// The same for the recordings of band.
void KeepWithinBudget(int32_t band, uint64_t budgetBytes, uint64_t nextBytes);

// The budget in bytes for files that take bytesPerHour; 0 for NoBudget.
uint64_t BudgetBytesAt(const Budget& b, uint64_t bytesPerHour);
