// The capture loop: takes the band's blocks as they come, converts them and
// hands them to the WAV writer until a stop request or a key press.
#pragma once

#include <stdint.h>

#include "band_channel.h"
#include "wav_writer.h"

// Larger blocks than this are refused rather than buffered.
const int32_t kMaxBlockInSamples = 1 << 20;

// Made once at start-up for the band's block length; nothing is allocated per block.
//   input:  blockInSamples * 8 bytes, I and Q as floats
//   output: blockInSamples * 6 bytes, room for the 16-bit or the 24-bit block
struct BlockBuffers {
  float* input;  // null while not allocated
  uint8_t* output;
  int32_t blockInSamples;
};

// False, with nothing allocated, for a block length that is not positive or is
// above kMaxBlockInSamples, or when memory is short.
bool AllocateBlockBuffers(BlockBuffers& b, int32_t blockInSamples);
void FreeBlockBuffers(BlockBuffers& b);

// True when a band with these values can be recorded in blocks of
// blockInSamples; otherwise prints "Can't record %d receiver: ..." naming the
// value at fault on stderr.
bool CanRecord(int32_t band, int32_t sampleRate, int32_t blockInSamples, int32_t ringSize);

// Registers the console control handler; false when the system refuses it.
bool InstallStopHandler();
// Lets a handler that waits for the last file go, and unregisters it.
void RemoveStopHandler();

// What the handler does for Ctrl+C, Ctrl+Break and console close: prints the
// event's text and sets the stop flag. FALSE for any other event.
BOOL WINAPI OnConsoleEvent(DWORD controlType);
bool StopRequested();
void ClearStopRequest();

// Whether a key waits in the console input (_kbhit); tests replace it. Those
// looks are spaced in a long catch-up by g_clock.tickMs.
extern bool (*g_keyPressed)();

// A stop request, or a key press looked for once kKeyCheckMs of work has
// passed since keyCheckedAt (which it then moves on).
bool StoppingBefore(ULONGLONG& keyCheckedAt);

// A band that delivers nothing for longer than its block period and this has
// stalled.
const ULONGLONG kStallMs = 1000;

// The band's silences, as the passes saw them on g_clock.tickMs.
struct Silence {
  bool delivered;         // a block came since the recording began
  ULONGLONG lastBlockMs;  // when the latest pass that took blocks ended
  bool quiet;             // a pass since then found none
  ULONGLONG quietToMs;    // when the latest such pass looked
  ULONGLONG sleptMs;      // how long the machine slept since then: no block came meanwhile
  bool stallEnded;        // this pass took the first block after a stall
  ULONGLONG resumedAtMs;  // when it looked
  SYSTEMTIME stalledAt;   // UTC of the last block before the stall
};

// The wall clock and the sample count may part by this much before a file ends.
const int64_t kClockSlackMs = 2000;

// The clocks as the latest look saw them, against g_clock.tickMs.
struct ClockWatch {
  bool started;         // a look has read them
  int64_t wallAheadMs;  // the wall clock less the tick clock: changes when the clock is set
  int64_t sleptMs;      // the tick clock less the awake clock: grows with each sleep
};

// What the clocks did since the watch's previous reading: how long the machine
// slept, and how far the wall clock was set (forward above 0); each 0 when it
// is within kClockSlackMs, so the clocks' own drift never counts. The first
// reading gives nothing.
struct ClockChange {
  int64_t sleptMs;
  int64_t setMs;
  SYSTEMTIME utc;  // the wall clock now
};
ClockChange WatchClocks(ClockWatch& c);

// One band's recording, as the capture loop runs it.
struct Recording {
  BandChannel* ch;
  WavWriter* w;
  BlockBuffers buffers;
  int32_t band;
  int scaleFactor;
  bool paused;  // re-published with values it can't be recorded with: blocks are dropped
  Silence silence;
  ClockWatch clocks;
};

// One wake-up: waits for the publisher's signal (with a time-out) and takes
// every whole block there is, until a stop request or a key press, which it
// looks for at least every 100 ms of work. When the channel resynchronised,
// completes the file and takes the band's new values. A band that stalled (its
// passes found no block for longer than kStallMs beyond its block period) and
// goes on gets a new file too, so that each file's times span its samples; the
// line that says so gives when and how long. The machine's sleep counts as such
// a silence, also when no look saw it. A wall clock set forward or back by more
// than kClockSlackMs ends the file at its last block, and the next file carries
// the new clock's times; one line says so. False when the recording must end.
bool CapturePass(Recording& r);

// Runs passes until the stop flag is set or a key is pressed. The waits time
// out, so a stop request is heard while the band is silent.
void CaptureLoop(Recording& r);
