// The spool: cuts a channel's audio into WAV files of one decoding cycle each
// (15 s for FT8, 120 s for WSPR), as WSJT-X's decoders read them: mono 16-bit
// at 12000 Hz, each starting at a UTC multiple of the cycle and holding exactly
// one cycle of samples, named YYMMDD_HHMMSS.wav after its first sample.
//
// Time comes from the samples: band time is counted from the blocks, and the
// earliest each block could have been read (the lower envelope of read time
// less band time) ties it to the tick clock, so a recorder held up does not
// move a file. A cycle is written under a temporary name and renamed when it is
// whole and the pass that completed it found the band's time unbroken; a
// cycle with a break in it (a stall, a lap, a restart, a clock step) is
// deleted with one line that says why.
#pragma once

#include <windows.h>

#include <stdint.h>

const int32_t kSpoolRate = 12000;  // audio samples per second in the files
const uint32_t kSpoolHeaderBytes = 44;
const int kSpoolNameSize = 32;
// Audio kept after it went by, for a cycle that begins a little before the
// previous one ended (a publisher slower than its nominal rate).
const int kSpoolTail = 1 << 15;
const int kSpoolBatch = 4096;  // samples gathered per write

// Band time that a block read later than the envelope allows is taken for lost:
// the receiver delivered nothing for that long.
const double kSpoolStallMs = 1000;
// A wall clock that moves this far against the tick clock has been stepped.
const int64_t kSpoolClockStepMs = 1000;
// Smaller moves (a slewing time service, the two clocks' granularity) are
// followed once they pass this.
const int64_t kSpoolClockSlewMs = 50;
// How fast the envelope may rise (ms per ms of band time), for a publisher
// slower than its nominal rate.
const double kSpoolLeak = 1e-3;

// Whether a cycle of `seconds` is one the spool makes: 5 to 3600 dividing 3600.
bool SpoolCycleValid(int32_t seconds);

// The band's time, tied to the tick clock and the wall clock.
struct SpoolTimeline {
  double bandRate;
  bool anchored;           // a block has been placed since the start or a break
  int64_t anchorAudio;     // audio index of the anchor block's first sample
  double bandMs;           // band time from the anchor block's start to the latest block's end
  double originMs;         // tick time of the anchor block's first sample
  double lateMs;           // how much later than the envelope the latest block was read
  bool clockKnown;         // utcMinusTickMs has been read
  int64_t utcMinusTickMs;  // wall clock (ms since 1970) less tick clock
};

// One cycle's file.
struct SpoolCycle {
  bool open;        // the cycle's samples are being taken
  bool failed;      // ... but not written: its file failed (said when it did)
  int64_t startMs;  // UTC of its first sample, ms since 1970
  int64_t taken;    // samples so far
  HANDLE file;      // the temporary file, INVALID_HANDLE_VALUE when none
  char name[kSpoolNameSize];
  char temp[kSpoolNameSize];
};

struct Spool {
  int32_t seconds;
  int64_t cycleSamples;
  uint64_t budgetBytes;  // for the folder's cycle files; 0: none
  SpoolTimeline tl;
  int64_t audioCount;   // audio samples taken since the start
  int64_t nextStartMs;  // the boundary the next cycle begins at; 0: the first one ahead
  SpoolCycle cycle;     // the one being taken
  SpoolCycle pending;   // whole, renamed at the end of the pass
  int16_t tail[kSpoolTail];
  int16_t batch[kSpoolBatch];
  int batchCount;
};

enum SpoolBreakKind { kSpoolStall, kSpoolLap, kSpoolRestart, kSpoolClockStep };

void SpoolSetup(Spool& sp, int32_t seconds, double bandRate, uint64_t budgetBytes);

// Bytes of one cycle's file.
uint64_t SpoolFileBytes(int32_t seconds);

// Builds "YYMMDD_HHMMSS.wav" for UTC utcMs into name (kSpoolNameSize bytes).
void SpoolFileName(int64_t utcMs, char* name);

// True when name is exactly one the spool makes; *order sorts them by time.
bool SpoolFileOrder(const char* name, uint64_t* order);

// Wall-clock readings in ms since 1970.
int64_t UtcMs(const SYSTEMTIME& utc);

// At the start of a pass: the first reading ties the band to the wall clock.
void SpoolPassStart(Spool& sp, ULONGLONG tickMs, int64_t utcMs);

// A block of bandSamples was read at tickMs: its audio follows with SpoolAudio.
void SpoolBlock(Spool& sp, int32_t bandSamples, ULONGLONG tickMs);

// The audio of the latest block.
void SpoolAudio(Spool& sp, const int16_t* audio, int n);

// At the end of a pass. drained: the pass took every whole block there was, so
// its latest block is a fresh one. A wall clock stepped since the last pass, or
// a fresh block read later than its band time allows, breaks the timeline;
// otherwise a whole cycle waiting is renamed to its name.
void SpoolPassEnd(Spool& sp, ULONGLONG tickMs, int64_t utcMs, bool drained);

// The band's time broke: the cycle being taken and one waiting are deleted,
// each with a line that says why (lost: samples lost in a lap; the stall's
// length or the clock's step in ms), and the next cycle begins at the next
// boundary after the break. A restart also takes the band's new rate.
void SpoolBreak(Spool& sp, SpoolBreakKind kind, double amount);
void SpoolNewRate(Spool& sp, double bandRate);

// At the end of the run: a whole cycle waiting is renamed, the one being taken
// is deleted without a word (it is not whole). Harmless twice.
void SpoolClose(Spool& sp);
