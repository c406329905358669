// A cycle's file, written under "<name>.part" and renamed once the cycle is
// whole and sound, so that a program watching the folder never reads half a
// cycle. Failures are said on one line and leave the cycle unwritten.
#pragma once

#include "spool.h"

// Begins the cycle at startMs: the budget makes room, the temporary file is
// created with the header of a whole cycle.
void SpoolFileOpen(Spool& sp, int64_t startMs);

// Appends n (at most kSpoolBatch) samples.
void SpoolFileWrite(SpoolCycle& c, const int16_t* samples, int n);

// Closes and deletes the temporary file, if any.
void SpoolFileDiscard(SpoolCycle& c);

// Ends a cycle that will not be written: "<name> not written: <why>", unless a
// failure of its file said so already.
void SpoolFileDrop(SpoolCycle& c, const char* why);

// Closes the temporary file and renames it; the name goes on a line of its own.
void SpoolFileCommit(SpoolCycle& c);

// Deletes "YYMMDD_HHMMSS.wav.part" files that a run killed in a cycle left.
void SpoolRemoveLeftovers();
