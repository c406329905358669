#include "band_channel.h"

#include <stdio.h>
#include <string.h>

#include <atomic>

void ChannelInit(BandChannel& ch) {
  memset(&ch, 0, sizeof ch);
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  ch.pageSize = info.dwPageSize;
}

const volatile BandHeader* Header(const BandChannel& ch) {
  return reinterpret_cast<const volatile BandHeader*>(ch.view);
}

void BandName(int band, char* name) {
  snprintf(name, kBandNameSize, "VEXA%dBand", band);
}

// The publisher's WritePos as a ring offset, or -1 while it lies outside the ring.
// An offset equal to the ring size is the ring start.
static int32_t CurrentWriteOffset(const BandChannel& ch) {
  int32_t pos = *ch.writePos;
  // The samples up to pos are in place before the publisher advanced it.
  std::atomic_thread_fence(std::memory_order_acquire);
  if (pos < 0 || pos > ch.ringSize) return -1;
  return pos == ch.ringSize ? 0 : pos;
}

// The header comes from another process: it must describe a ring inside the view.
static bool HeaderFitsView(const BandChannel& ch) {
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(ch.view, &region, sizeof region) != sizeof region) return false;
  uint64_t viewSize = region.RegionSize;
  if (viewSize < ch.pageSize || ch.ringSize <= 0) return false;
  if (uint64_t(ch.pageSize) + uint64_t(ch.ringSize) > viewSize) return false;
  return CurrentWriteOffset(ch) >= 0;
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
    ch.ringSize = Header(ch)->BufferSize;
    ch.writePos = &Header(ch)->WritePos;
    if (HeaderFitsView(ch)) {
      ch.totalSize = uint32_t(ch.ringSize) + ch.pageSize;
      ch.ringStart = ch.view + ch.pageSize;
      ch.ringEnd = ch.ringStart + ch.ringSize;
      SkipToWritePos(ch);
      return true;
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
  int32_t writeOffset = CurrentWriteOffset(ch);
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

void SkipToWritePos(BandChannel& ch) {
  int32_t writeOffset = CurrentWriteOffset(ch);
  if (ch.ringStart && writeOffset >= 0) ch.readPtr = ch.ringStart + writeOffset;
}

void Close(BandChannel& ch) {
  if (ch.view) UnmapViewOfFile(ch.view);
  if (ch.mapping) CloseHandle(ch.mapping);
  if (ch.event) CloseHandle(ch.event);
  uint32_t pageSize = ch.pageSize;
  memset(&ch, 0, sizeof ch);
  ch.pageSize = pageSize;
}

int LocateBand(int value) {
  if (value < kBandCount) return value;
  int64_t target = int64_t(value) * 1000;
  BandChannel probe;
  ChannelInit(probe);
  for (int band = 0; band < kBandCount; band++) {
    char name[kBandNameSize];
    BandName(band, name);
    if (!Open(probe, name)) continue;
    int64_t rate = Header(probe)->SampleRate;
    int64_t l0 = Header(probe)->L0;
    Close(probe);
    if (rate > 0 && l0 - rate / 2 <= target && target <= l0 + rate / 2) return band;
  }
  return value;
}
