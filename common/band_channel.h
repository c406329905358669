// One reader's connection to one band of the band publisher's shared memory.
//
// Mapping "VEXA<n>Band":
//   +-------------------------+  offset 0
//   | BandHeader (20 bytes)   |
//   | ... rest of the page    |
//   +-------------------------+  offset = system page size
//   | ring: BufferSize bytes  |  complex samples, I then Q, 32-bit floats
//   +-------------------------+
// Event "eVEXA<n>Band" is set by the publisher after each block.
#pragma once

#include <windows.h>

#include <stdint.h>

struct BandHeader {
  int32_t SampleRate;      // complex samples per second; 0 or less: band not in use
  int32_t BlockInSamples;  // complex samples per block written by the publisher
  int32_t L0;              // centre frequency in Hz
  int32_t BufferSize;      // ring size in bytes
  int32_t WritePos;        // ring offset the publisher writes next
};

const int kBandCount = 32;
const int kSampleBytes = 8;  // one complex sample: I and Q as 32-bit floats
const int kBandNameSize = 32;
const DWORD kResponsiveWaitMs = 100;  // waits that must still hear a stop request

struct BandChannel {
  HANDLE mapping;                    // null while closed
  uint8_t* view;                     // base of the read-only view, null while closed
  uint32_t pageSize;                 // system page size, set by ChannelInit
  int32_t ringSize;                  // BufferSize as read at open
  uint32_t totalSize;                // ring size plus page size
  HANDLE event;                      // null while closed
  uint8_t* ringStart;                // view + page size
  uint8_t* ringEnd;                  // ring start + ring size
  uint8_t* readPtr;                  // this reader's position inside the ring
  const volatile int32_t* writePos;  // the publisher's WritePos in the header
  int32_t seenWriteOffset;           // WritePos as this reader last saw it
  ULONGLONG seenAtMs;                // when it saw it (GetTickCount64)
  int32_t speedup;                   // how much faster than its SampleRate a publisher may run
  bool resynced;                     // set by a resync, cleared by TakeResync
};

// Puts the channel in the closed state with the system page size filled in.
// A test publisher that runs N times faster than its SampleRate announces itself
// to the readers through VEXA_PUBLISHER_SPEEDUP=N, or they take its pace for jumps.
void ChannelInit(BandChannel& ch);

// The band's header, or null while the channel is closed.
const volatile BandHeader* Header(const BandChannel& ch);

// Builds "VEXA%dBand" for band n into name (kBandNameSize bytes).
void BandName(int band, char* name);

// Opens mapping `name` and event "e<name>", starting at the publisher's current
// write position. Refuses a band whose header does not fit the mapped view or
// whose WritePos is not on a whole sample.
bool Open(BandChannel& ch, const char* name);

// Resets the event and waits for the publisher's next signal, with no time-out.
bool WaitForData(BandChannel& ch);

// As above, but gives up after timeoutMs; false on time-out or a closed channel.
bool WaitForData(BandChannel& ch, DWORD timeoutMs);

// Copies exactly len bytes (more than 0) from the ring into dst, or nothing at all.
// When the band was published anew (another ring size) or WritePos jumped by more
// than the publisher can have written since the last look, it takes nothing from
// the old position: it moves to WritePos, marks the channel resynced and returns false.
bool Read(BandChannel& ch, int32_t len, void* dst);

// True once after each resync that Read made; the caller restarts what it builds
// from the stream (a new file, a fresh sound queue, a clean block).
bool TakeResync(BandChannel& ch);

// True when a ring of ringSize bytes can ever hold a whole chunk of `samples`
// complex samples: a reader sees at most the ring size less one sample as new.
bool ChunkFitsRing(int32_t samples, int32_t ringSize);

// Moves the read position to the publisher's current write position.
void SkipToWritePos(BandChannel& ch);

// Unmaps and closes everything; harmless on a closed channel.
void Close(BandChannel& ch);
