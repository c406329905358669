#include "band_channel.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include <atomic>

#include "numbers.h"

const double kBurstFactor = 2.0;
const double kBurstSlackMs = 250.0;
const double kBurstSlackBlocks = 2.0;

static int32_t PublisherSpeedup() {
  int32_t speedup = 1;
  if (!EnvironmentInt32("VEXA_PUBLISHER_SPEEDUP", &speedup)) return 1;
  return speedup < 1 ? 1 : speedup;
}

void ChannelInit(BandChannel& ch) {
  memset(&ch, 0, sizeof ch);
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  ch.pageSize = info.dwPageSize;
  ch.speedup = PublisherSpeedup();
}

const volatile BandHeader* Header(const BandChannel& ch) {
  return reinterpret_cast<const volatile BandHeader*>(ch.view);
}

void BandName(int band, char* name) {
  snprintf(name, kBandNameSize, "VEXA%dBand", band);
}

// WritePos as a ring offset, or -1 while it lies outside a ring of ringSize bytes or
// between two samples. An offset equal to the ring size is the ring start.
static int32_t WriteOffset(int32_t pos, int32_t ringSize) {
  if (pos < 0 || pos > ringSize || pos % kSampleBytes != 0) return -1;
  return pos == ringSize ? 0 : pos;
}

static int32_t ReadWritePos(const BandChannel& ch) {
  int32_t pos = *ch.writePos;
  // The samples up to pos are in place before the publisher advanced it.
  std::atomic_thread_fence(std::memory_order_acquire);
  return pos;
}

static int32_t CurrentWriteOffset(const BandChannel& ch) {
  return WriteOffset(ReadWritePos(ch), ch.ringSize);
}

static BandRefusal Refusal(BandRefusalReason reason, int32_t value, int64_t limit) {
  BandRefusal refusal = {reason, value, limit};
  return refusal;
}

// The header comes from another process: a ring of ringSize bytes must lie inside
// the view.
static BandRefusal CheckRing(const BandChannel& ch, int32_t ringSize) {
  MEMORY_BASIC_INFORMATION region;
  int64_t room = 0;
  if (VirtualQuery(ch.view, &region, sizeof region) == sizeof region)
    room = int64_t(region.RegionSize) - int64_t(ch.pageSize);
  if (ringSize <= 0) return Refusal(kRingNotPositive, ringSize, 0);
  if (ringSize % kSampleBytes != 0) return Refusal(kRingNotWhole, ringSize, 0);
  if (ringSize > room) return Refusal(kRingPastMapping, ringSize, room < 0 ? 0 : room);
  return Refusal(kNotRefused, 0, 0);
}

static BandRefusal CheckWritePos(int32_t pos, int32_t ringSize) {
  if (pos < 0 || pos > ringSize) return Refusal(kWritePosOutside, pos, ringSize);
  if (pos % kSampleBytes != 0) return Refusal(kWritePosNotWhole, pos, ringSize);
  return Refusal(kNotRefused, 0, 0);
}

static void TakeRing(BandChannel& ch, int32_t ringSize) {
  ch.ringSize = ringSize;
  ch.totalSize = uint32_t(ringSize) + ch.pageSize;
  ch.ringStart = ch.view + ch.pageSize;
  ch.ringEnd = ch.ringStart + ringSize;
}

static int32_t ReadOffset(const BandChannel& ch) {
  return int32_t(ch.readPtr - ch.ringStart);
}

// Distance from one ring offset forward to another.
static int32_t Ahead(const BandChannel& ch, int32_t from, int32_t to) {
  int32_t distance = to - from;
  return distance < 0 ? distance + ch.ringSize : distance;
}

static void MoveTo(BandChannel& ch, int32_t writeOffset, ULONGLONG now) {
  ch.readPtr = ch.ringStart + writeOffset;
  ch.seenWriteOffset = writeOffset;
  ch.seenAtMs = now;
  ch.movedAtMs = now;
}

// Maps `name` read-only and opens its event when the channel has none yet. The
// header comes from another process and may change under the reader: ringSize gets
// the BufferSize that was checked, read on both sides of the WritePos checked with
// it, so the pair belongs together.
static BandRefusal MapBand(BandChannel& ch, const char* name, int32_t* ringSize) {
  ch.mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name);
  if (!ch.mapping) return Refusal(kNoMapping, int32_t(GetLastError()), 0);
  ch.view = static_cast<uint8_t*>(MapViewOfFile(ch.mapping, FILE_MAP_READ, 0, 0, 0));
  if (!ch.view) return Refusal(kNoView, int32_t(GetLastError()), 0);
  if (!ch.event) {
    char eventName[kBandNameSize + 2];
    snprintf(eventName, sizeof eventName, "e%s", name);
    ch.event = OpenEventA(EVENT_ALL_ACCESS, FALSE, eventName);
    if (!ch.event) return Refusal(kNoEvent, int32_t(GetLastError()), 0);
  }
  ch.writePos = &Header(ch)->WritePos;
  *ringSize = Header(ch)->BufferSize;
  BandRefusal refusal = CheckRing(ch, *ringSize);
  if (refusal.reason != kNotRefused) return refusal;
  refusal = CheckWritePos(ReadWritePos(ch), *ringSize);
  if (refusal.reason == kNotRefused && Header(ch)->BufferSize != *ringSize)
    return Refusal(kRingChanging, Header(ch)->BufferSize, *ringSize);
  return refusal;
}

// Closes the mapping of a band that went quiet, keeping the event so the reader's
// waits go on: a publisher restarted with a larger ring can only create a fresh
// mapping once no reader holds the old one.
static void Unmap(BandChannel& ch) {
  if (ch.view) UnmapViewOfFile(ch.view);
  if (ch.mapping) CloseHandle(ch.mapping);
  ch.view = nullptr;
  ch.mapping = nullptr;
  ch.readPtr = ch.ringStart = ch.ringEnd = nullptr;
  ch.writePos = nullptr;
}

static void LetGo(BandChannel& ch, ULONGLONG now) {
  ch.heldReadOffset = ReadOffset(ch);
  Unmap(ch);
  ch.triedAtMs = now;
}

// Looks a let-go band up by name again, at most once a second. A band found as it
// was left goes on from the same place; any other is a resync at its WritePos.
static bool LookUpAgain(BandChannel& ch, ULONGLONG now) {
  if (now - ch.triedAtMs < kLookUpAgainMs) return false;
  ch.triedAtMs = now;
  int32_t ringSize = 0;
  int32_t writeOffset = -1;
  if (MapBand(ch, ch.name, &ringSize).reason == kNotRefused)
    writeOffset = WriteOffset(ReadWritePos(ch), ringSize);
  if (writeOffset < 0) {
    Unmap(ch);
    return false;
  }
  bool unchanged = ringSize == ch.ringSize && writeOffset == ch.seenWriteOffset;
  TakeRing(ch, ringSize);
  if (unchanged) {
    ch.readPtr = ch.ringStart + ch.heldReadOffset;
    ch.seenAtMs = ch.movedAtMs = now;
  } else {
    ch.restarting = false;
    MoveTo(ch, writeOffset, now);
    ch.resynced = true;
  }
  return true;
}

// A band quiet this long is let go; a slow band gets two of its blocks on top.
static ULONGLONG QuietLimitMs(const BandChannel& ch) {
  double rate = Header(ch)->SampleRate;
  double block = Header(ch)->BlockInSamples;
  double blockMs = rate > 0 && block > 0 ? block * 1000.0 / rate : 0;
  return ULONGLONG(kQuietMs + 2 * blockMs);
}

// How far WritePos may move between two looks before a reader takes it for a
// re-published band or a glitch: twice the announced pace, plus a quarter second
// and two blocks (in bytes) for a publisher that writes in bursts.
static double MostThePublisherWrites(const BandChannel& ch, ULONGLONG elapsedMs) {
  double rate = Header(ch)->SampleRate;
  double block = Header(ch)->BlockInSamples;
  if (rate <= 0) return 1e300;  // a band not in use announces no pace to hold it to
  if (block < 0) block = 0;
  double pace = rate * kSampleBytes * kBurstFactor * ch.speedup;
  return pace * (double(elapsedMs) + kBurstSlackMs) / 1000.0 +
         kBurstSlackBlocks * block * kSampleBytes;
}

// The reader had `unread` bytes not yet taken and WritePos moved `fresh` bytes (modulo
// the ring) in elapsedMs. The publisher's own rate tells how many whole rings the
// modulo hid. Returns the bytes the publisher can have overwritten under the reader
// (unread plus what it wrote), or 0 when what is unread is still safe to take.
static int64_t OverrunBytes(const BandChannel& ch, int32_t unread, int32_t fresh,
                            ULONGLONG elapsedMs, int32_t len) {
  double rate = Header(ch)->SampleRate;
  double byTime = rate > 0 ? rate * kSampleBytes * double(elapsedMs) / 1000.0 : 0;
  // One chunk of margin for the block the publisher may be writing meanwhile. A
  // ring of less than two chunks has no room for it: a reader a whole chunk behind
  // would always seem overrun, so there only a true lap counts.
  double limit = 2 * int64_t(len) <= ch.ringSize ? double(ch.ringSize) - len : ch.ringSize;
  if (double(unread) + fresh <= limit && double(unread) + byTime < limit) return 0;
  double hiddenRings = floor((byTime - fresh) / ch.ringSize + 0.5);
  if (hiddenRings < 0) hiddenRings = 0;
  return int64_t(unread) + fresh + int64_t(hiddenRings) * ch.ringSize;
}

// A new BufferSize: the publisher started anew at the ring's start. The WritePos
// read with the new size may still be the old publisher's, so nothing is taken
// until WritePos has moved away from it.
static void BeginRestart(BandChannel& ch, int32_t ringSize, int32_t pos) {
  if (CheckRing(ch, ringSize).reason != kNotRefused) return;
  TakeRing(ch, ringSize);
  ch.readPtr = ch.ringStart;
  ch.seenWriteOffset = 0;  // seenAtMs stays: the new publisher started after that look
  ch.restarting = true;
  ch.restartPos = pos;
  ch.resynced = true;
}

// Where the publisher writes now, as a ring offset; -1 when there is nothing to
// take: WritePos is unusable, the band is let go, or the reader had to move (a
// restart, a jump, an overrun), in which case the channel is marked resynced.
static int32_t FollowPublisher(BandChannel& ch, int32_t len) {
  // Before WritePos is read: a reader descheduled in between must not count its
  // own delay as time the publisher had to write.
  ULONGLONG now = GetTickCount64();
  if (!ch.view && !LookUpAgain(ch, now)) return -1;
  // BufferSize on both sides of WritePos: a restarting publisher stores its new ring
  // size before its new WritePos, and a pair read across that is not taken.
  int32_t ringSize = Header(ch)->BufferSize;
  int32_t pos = ReadWritePos(ch);
  if (Header(ch)->BufferSize != ringSize) return -1;
  if (ringSize != ch.ringSize) {
    BeginRestart(ch, ringSize, pos);
    return -1;
  }
  int32_t writeOffset = WriteOffset(pos, ringSize);
  bool still = writeOffset < 0 || writeOffset == ch.seenWriteOffset;
  if (still && now - ch.movedAtMs > QuietLimitMs(ch)) {
    LetGo(ch, now);
    return -1;
  }
  if (writeOffset < 0 || (ch.restarting && pos == ch.restartPos)) return -1;
  ch.restarting = false;
  int32_t fresh = Ahead(ch, ch.seenWriteOffset, writeOffset);
  int32_t unread = Ahead(ch, ReadOffset(ch), ch.seenWriteOffset);
  ULONGLONG elapsed = now - ch.seenAtMs;
  int64_t overrun = OverrunBytes(ch, unread, fresh, elapsed, len);
  if (fresh > MostThePublisherWrites(ch, elapsed) || overrun > 0) {
    ch.lostSamples += overrun / kSampleBytes;
    MoveTo(ch, writeOffset, now);
    ch.resynced = true;
    return -1;
  }
  if (fresh > 0) ch.movedAtMs = now;
  ch.seenWriteOffset = writeOffset;
  ch.seenAtMs = now;
  return writeOffset;
}

bool Open(BandChannel& ch, const char* name) {
  if (IsOpen(ch)) return false;
  int32_t ringSize = 0;
  BandRefusal refusal = MapBand(ch, name, &ringSize);
  if (refusal.reason == kNotRefused) {
    TakeRing(ch, ringSize);
    // The start is read once more, and checked again: it may have left the ring since.
    int32_t pos = ReadWritePos(ch);
    refusal = CheckWritePos(pos, ringSize);
    if (refusal.reason == kNotRefused) MoveTo(ch, WriteOffset(pos, ringSize), GetTickCount64());
  }
  if (refusal.reason != kNotRefused) {
    Close(ch);
    ch.refusal = refusal;
    return false;
  }
  snprintf(ch.name, sizeof ch.name, "%s", name);
  ch.refusal = refusal;
  return true;
}

bool WaitForData(BandChannel& ch) {
  return WaitForData(ch, INFINITE);
}

bool WaitForData(BandChannel& ch, DWORD timeoutMs) {
  if (!ch.event) return false;
  ResetEvent(ch.event);
  return WaitForSingleObject(ch.event, timeoutMs) == WAIT_OBJECT_0;
}

bool Read(BandChannel& ch, int32_t len, void* dst) {
  // An empty chunk would let a catch-up loop spin forever.
  if (!ch.event || len <= 0) return false;
  int32_t writeOffset = FollowPublisher(ch, len);
  if (writeOffset < 0) return false;
  int32_t available = writeOffset - int32_t(ch.readPtr - ch.ringStart);
  if (available < 0) available += ch.ringSize;
  if (len > available) return false;

  uint8_t* out = static_cast<uint8_t*>(dst);
  int32_t tail = int32_t(ch.ringEnd - ch.readPtr);
  if (len < tail) {
    memcpy(out, ch.readPtr, len);
    ch.readPtr += len;
    return true;
  }
  memcpy(out, ch.readPtr, tail);
  memcpy(out + tail, ch.ringStart, len - tail);
  ch.readPtr = ch.ringStart + (len - tail);
  return true;
}

bool ChunkFitsRing(int32_t samples, int32_t ringSize) {
  return samples > 0 && int64_t(samples) * kSampleBytes < int64_t(ringSize);
}

bool TakeResync(BandChannel& ch) {
  bool resynced = ch.resynced;
  ch.resynced = false;
  return resynced;
}

int64_t TakeOverrun(BandChannel& ch) {
  int64_t lost = ch.lostSamples;
  ch.lostSamples = 0;
  return lost;
}

void SkipToWritePos(BandChannel& ch) {
  ULONGLONG now = GetTickCount64();
  if (!ch.ringStart) return;
  int32_t writeOffset = CurrentWriteOffset(ch);
  if (writeOffset >= 0) MoveTo(ch, writeOffset, now);
}

void Close(BandChannel& ch) {
  if (ch.view) UnmapViewOfFile(ch.view);
  if (ch.mapping) CloseHandle(ch.mapping);
  if (ch.event) CloseHandle(ch.event);
  uint32_t pageSize = ch.pageSize;
  int32_t speedup = ch.speedup;
  memset(&ch, 0, sizeof ch);
  ch.pageSize = pageSize;
  ch.speedup = speedup;
}
