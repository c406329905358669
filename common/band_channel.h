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

// Why Open refused a band. The value at fault and the limit it broke come with it.
enum BandRefusalReason {
  kNotRefused,
  kNoMapping,         // no band is published under the name
  kNoView,            // the mapping exists but can't be mapped
  kNoEvent,           // the mapping exists without its event
  kRingNotPositive,   // BufferSize <= 0
  kRingNotWhole,      // BufferSize not a multiple of 8
  kRingPastMapping,   // BufferSize larger than the mapping's ring (limit)
  kWritePosOutside,   // WritePos outside 0..BufferSize (limit)
  kWritePosNotWhole,  // WritePos not on a whole sample
  kRingChanging,      // BufferSize changed while the header was read
};

struct BandRefusal {
  BandRefusalReason reason;
  int32_t value;  // BufferSize or WritePos as read, or the system's error code
  int64_t limit;  // the bytes the mapping holds for the ring, or BufferSize
};

// What a reader keeps of the publisher's WritePos between its looks.
struct ChannelFollow {
  int32_t seenWriteOffset;  // WritePos as a ring offset, as this reader last took it
  ULONGLONG seenAtMs;       // the last look that took it or saw it stand still
  int32_t lastPos;          // WritePos as last read: only a change of it renews the hold
  ULONGLONG movedAtMs;      // when it last changed, or the band was opened
  bool restarting;          // BufferSize changed: waits for WritePos to leave restartPos
  int32_t restartPos;       // WritePos as read with the new BufferSize
  int32_t speedup;          // how much faster than its SampleRate a publisher may run
};

// What a band that was let go is known by when it is found again.
struct ChannelHold {
  ULONGLONG triedAtMs;                                 // when the name was last looked up
  int32_t readOffset;                                  // the read position
  int32_t SampleRate, BlockInSamples, L0, BufferSize;  // the header at let-go
  uint64_t fingerprint;  // of the ring's bytes just before the WritePos last seen
};

struct BandChannel {
  // The band as mapped: null while closed or let go (the event stays while let go).
  HANDLE mapping;
  uint8_t* view;                     // base of the read-only view
  uint32_t pageSize;                 // system page size, set by ChannelInit
  HANDLE event;                      // null while closed: the channel is open while it is set
  const volatile int32_t* writePos;  // the publisher's WritePos in the header
  // The ring, as BufferSize was read at open or at the last restart.
  int32_t ringSize;    // kept while let go
  uint32_t totalSize;  // ring size plus page size
  uint8_t* ringStart;  // view + page size
  uint8_t* ringEnd;    // ring start + ring size
  // The read cursor: this reader's position inside the ring.
  uint8_t* readPtr;
  ChannelFollow follow;
  ChannelHold held;
  // What the owner takes after its reads.
  bool resynced;             // set by a resync, cleared by TakeResync
  int64_t lostSamples;       // samples skipped and not yet taken by TakeOverrun (estimate)
  BandRefusal refusal;       // why the last Open failed
  char name[kBandNameSize];  // the mapping's name, to look the band up again
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
// whose WritePos is not on a whole sample; ch.refusal then says why.
bool Open(BandChannel& ch, const char* name);

// True from a successful Open to Close, also while a quiet band is let go.
inline bool IsOpen(const BandChannel& ch) {
  return ch.event != nullptr;
}

// Words a refusal for the band named `name`, as "BufferSize=12 is not a whole
// number of samples", into text (size bytes).
const int kRefusalTextSize = 96;
void DescribeRefusal(const BandRefusal& refusal, const char* name, char* text, size_t size);

// Resets the event and waits for the publisher's next signal, with no time-out.
bool WaitForData(BandChannel& ch);

// As above, but gives up after timeoutMs; false on time-out or a closed channel.
bool WaitForData(BandChannel& ch, DWORD timeoutMs);

// Copies exactly len bytes (more than 0) from the ring into dst, or nothing at all.
// It takes nothing from the old position, marks the channel resynced and returns
// false when
// - the band was published anew with another ring size: the reader starts at the
//   new ring's start, once WritePos has moved since the new size was seen (a
//   WritePos read then may still be the old publisher's);
// - WritePos jumped by more than the publisher can have written since the last look:
//   the reader moves to WritePos;
// - the publisher can have overwritten what the reader had not yet taken: the reader
//   moves to WritePos and counts the samples skipped for TakeOverrun.
// A band whose WritePos has not changed for kQuietMs (plus two blocks) is let go
// at a look that finds nothing to take: the mapping is closed, the event kept, and
// Read looks the name up again at most once a second, so that a publisher restarted
// with a larger ring can create a fresh mapping. A look-up that finds the same band
// with nothing new lets it go again at once; the same band moved on goes on from
// the held position under the rules above. Any other band is a resync, read from
// its ring's start when the ring cannot have wrapped since the last look, else
// from WritePos with what was skipped counted for TakeOverrun.
bool Read(BandChannel& ch, int32_t len, void* dst);

// Called between each look's reads of BufferSize and WritePos: null, except in tests
// that publish there what a publisher may store between the two.
extern void (*g_betweenHeaderReads)();

const DWORD kQuietMs = 5000;
const DWORD kLookUpAgainMs = 1000;

// True once after each resync that Read made; the caller restarts what it builds
// from the stream (a new file, a fresh sound queue, a clean block).
bool TakeResync(BandChannel& ch);

// The samples that overruns lost since the last call (an estimate when the reader
// was away longer than a ring lasts), 0 when none.
int64_t TakeOverrun(BandChannel& ch);

// True when a ring of ringSize bytes can ever hold a whole chunk of `samples`
// complex samples: a reader sees at most the ring size less one sample as new.
bool ChunkFitsRing(int32_t samples, int32_t ringSize);

// Moves the read position to the publisher's current write position.
void SkipToWritePos(BandChannel& ch);

// Unmaps and closes everything; harmless on a closed channel.
void Close(BandChannel& ch);
