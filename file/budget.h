// A budget for one band's recordings in the folder: before each new file the
// oldest recordings of the band are deleted until the rest and the new file fit,
// and while the disk's free space is below the new file and a reserve. Without a
// budget nothing is deleted, and a disk with room for less than an hour is told.
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

// Free space kept on the disk beside the next file: 1% of the disk, at least 1 GB.
uint64_t ReserveBytes();
// True when the disk has this much free, or its free space is unknown.
bool HasFree(uint64_t bytes);

// One line: GB per hour, and the hours that the free space and the budget hold.
// A budget larger than the disk can hold (its free space and the band's
// recordings, less the reserve) gets a second line that says so.
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

// Deletes the oldest of the files in the folder, printing each, while the rest
// and one more file of nextBytes pass budgetBytes or the disk's free space is
// below that file and the reserve (for the free space only when all of them
// would make that room). A file that can't be deleted is reported and passed
// over. True when the free space holds the next file and the reserve at the end.
bool KeepFilesWithinBudget(const BudgetFiles& files, uint64_t budgetBytes, uint64_t nextBytes);

// Before each new recording. With a budget: KeepFilesWithinBudget for the
// band's recordings; w.roomShort tells whether the free space stayed below the
// next file and the reserve. Without a budget: says once that the disk has
// room for less than an hour of recording, until it has more.
void MakeRoom(WavWriter& w);

// The budget in bytes for files that take bytesPerHour; 0 for NoBudget.
uint64_t BudgetBytesAt(const Budget& b, uint64_t bytesPerHour);
