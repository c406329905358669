// Runs a function with its stack at each offset from a 32-byte boundary that the
// platform allows: Windows keeps a stack aligned to 4 bytes on x86 and 16 on x64,
// so code that needs more must not count on it.
#pragma once

// What one call may shift the stack by, and how many shifts cover 32 bytes twice.
const int kStackStep = sizeof(void*) == 4 ? 4 : 16;
const int kStackShifts = 8;

// Calls probe(context) kStackShifts times, each from a frame kStackStep bytes
// larger than the one before. Built so the frames keep exactly those sizes.
void CallAtEveryStackShift(void (*probe)(void*), void* context);
