#include "band_channel.h"

#include <stdio.h>
#include <string.h>

#include <atomic>

#include "numbers.h"

// How far WritePos may move between two looks before a reader takes it for a
// re-published band or a glitch: twice the announced pace, plus a quarter second
// and two blocks for a publisher that writes in bursts.
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

// The publisher's WritePos as a ring offset, or -1 while it lies outside the ring
// or between two samples. An offset equal to the ring size is the ring start.
static int32_t CurrentWriteOffset(const BandChannel& ch) {
  int32_t pos = *ch.writePos;
  // The samples up to pos are in place before the publisher advanced it.
  std::atomic_thread_fence(std::memory_order_acquire);
  if (pos < 0 || pos > ch.ringSize || pos % kSampleBytes != 0) return -1;
  return pos == ch.ringSize ? 0 : pos;
}

// The header comes from another process: a ring of ringSize bytes must lie inside
// the view.
static bool RingFitsView(const BandChannel& ch, int32_t ringSize) {
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(ch.view, &region, sizeof region) != sizeof region) return false;
  uint64_t viewSize = region.RegionSize;
  if (viewSize < ch.pageSize || ringSize <= 0 || ringSize % kSampleBytes != 0) return false;
  return uint64_t(ch.pageSize) + uint64_t(ringSize) <= viewSize;
}

static void TakeRing(BandChannel& ch, int32_t ringSize) {
  ch.ringSize = ringSize;
  ch.totalSize = uint32_t(ringSize) + ch.pageSize;
  ch.ringStart = ch.view + ch.pageSize;
  ch.ringEnd = ch.ringStart + ringSize;
}

static void Resync(BandChannel& ch) {
  ch.readPtr = ch.ringStart;  // where a WritePos that is unusable for now leaves it
  ch.seenWriteOffset = 0;
  ch.seenAtMs = GetTickCount64();
  SkipToWritePos(ch);
  ch.resynced = true;
}

// Most bytes a publisher keeping its announced pace can have written in elapsedMs.
static double MostThePublisherWrites(const BandChannel& ch, ULONGLONG elapsedMs) {
  double rate = Header(ch)->SampleRate;
  double block = Header(ch)->BlockInSamples;
  if (rate <= 0) return 1e300;  // a band not in use announces no pace to hold it to
  if (block < 0) block = 0;
  double pace = rate * kSampleBytes * kBurstFactor * ch.speedup;
  return pace * (double(elapsedMs) + kBurstSlackMs) / 1000.0 +
         kBurstSlackBlocks * block * kSampleBytes;
}

// Where the publisher writes now, as a ring offset; -1 when there is nothing to
// take: WritePos is unusable, or the band was re-published or jumped, in which case
// the reader moves to the new position and the channel is marked resynced.
static int32_t FollowPublisher(BandChannel& ch) {
  int32_t ringSize = Header(ch)->BufferSize;
  if (ringSize != ch.ringSize) {
    if (!RingFitsView(ch, ringSize)) return -1;
    TakeRing(ch, ringSize);
    Resync(ch);
    return -1;
  }
  int32_t writeOffset = CurrentWriteOffset(ch);
  if (writeOffset < 0) return -1;
  ULONGLONG now = GetTickCount64();
  int32_t fresh = writeOffset - ch.seenWriteOffset;
  if (fresh < 0) fresh += ch.ringSize;
  if (fresh > MostThePublisherWrites(ch, now - ch.seenAtMs)) {
    Resync(ch);
    return -1;
  }
  ch.seenWriteOffset = writeOffset;
  ch.seenAtMs = now;
  return writeOffset;
}

bool Open(BandChannel& ch, const char* name) {
  if (ch.view) return false;
  ch.mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name);
  if (!ch.mapping) return false;
  ch.view = static_cast<uint8_t*>(MapViewOfFile(ch.mapping, FILE_MAP_READ, 0, 0, 0));
  if (ch.view) {
    char eventName[kBandNameSize + 2];
    snprintf(eventName, sizeof eventName, "e%s", name);
    ch.event = OpenEventA(EVENT_ALL_ACCESS, FALSE, eventName);
  }
  if (ch.view && ch.event) {
    int32_t ringSize = Header(ch)->BufferSize;
    ch.writePos = &Header(ch)->WritePos;
    if (RingFitsView(ch, ringSize)) {
      TakeRing(ch, ringSize);
      if (CurrentWriteOffset(ch) >= 0) {
        SkipToWritePos(ch);
        return true;
      }
    }
  }
  Close(ch);
  return false;
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
  int32_t writeOffset = FollowPublisher(ch);
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

void SkipToWritePos(BandChannel& ch) {
  int32_t writeOffset = CurrentWriteOffset(ch);
  if (!ch.ringStart || writeOffset < 0) return;
  ch.readPtr = ch.ringStart + writeOffset;
  ch.seenWriteOffset = writeOffset;
  ch.seenAtMs = GetTickCount64();
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
