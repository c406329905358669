// The band's mapping: opening it, checking the header another process wrote, and
// releasing it.
#include <stdio.h>
#include <string.h>

#include <atomic>

#include "band_internal.h"
#include "channel_clock.h"
#include "numbers.h"

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
  ch.follow.speedup = PublisherSpeedup();
}

const volatile BandHeader* Header(const BandChannel& ch) {
  return reinterpret_cast<const volatile BandHeader*>(ch.view);
}

void BandName(int band, char* name) {
  snprintf(name, kBandNameSize, "VEXA%dBand", band);
}

int32_t WriteOffset(int32_t pos, int32_t ringSize) {
  if (pos < 0 || pos > ringSize || pos % kSampleBytes != 0) return -1;
  return pos == ringSize ? 0 : pos;
}

int32_t ReadWritePos(const BandChannel& ch) {
  int32_t pos = *ch.writePos;
  // The samples up to pos are in place before the publisher advanced it.
  std::atomic_thread_fence(std::memory_order_acquire);
  return pos;
}

static BandRefusal Refusal(BandRefusalReason reason, int32_t value, int64_t limit) {
  BandRefusal refusal = {reason, value, limit};
  return refusal;
}

// The header comes from another process: a ring of ringSize bytes must lie inside
// the view.
BandRefusal CheckRing(const BandChannel& ch, int32_t ringSize) {
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

void TakeRing(BandChannel& ch, int32_t ringSize) {
  ch.ringSize = ringSize;
  ch.totalSize = uint32_t(ringSize) + ch.pageSize;
  ch.ringStart = ch.view + ch.pageSize;
  ch.ringEnd = ch.ringStart + ringSize;
}

// The header may change under the reader: BufferSize is read on both sides of the
// WritePos checked with it, so the pair belongs together.
BandRefusal MapBand(BandChannel& ch, const char* name, int32_t* ringSize, int32_t* pos) {
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
  *pos = ReadWritePos(ch);
  refusal = CheckWritePos(*pos, *ringSize);
  if (refusal.reason == kNotRefused && Header(ch)->BufferSize != *ringSize)
    return Refusal(kRingChanging, Header(ch)->BufferSize, *ringSize);
  return refusal;
}

void Unmap(BandChannel& ch) {
  if (ch.view) UnmapViewOfFile(ch.view);
  if (ch.mapping) CloseHandle(ch.mapping);
  ch.view = nullptr;
  ch.mapping = nullptr;
  ch.readPtr = ch.ringStart = ch.ringEnd = nullptr;
  ch.writePos = nullptr;
}

bool Open(BandChannel& ch, const char* name) {
  if (IsOpen(ch)) return false;
  int32_t ringSize = 0, pos = 0;
  BandRefusal refusal = MapBand(ch, name, &ringSize, &pos);
  if (refusal.reason != kNotRefused) {
    Close(ch);
    ch.refusal = refusal;
    return false;
  }
  ULONGLONG now = g_channelClock.nowMs();
  TakeRing(ch, ringSize);
  MoveTo(ch, WriteOffset(pos, ringSize), now);
  ch.follow.lastPos = pos;
  ch.follow.movedAtMs = now;  // nothing tells how long it stood still before
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

bool ChunkFitsRing(int32_t samples, int32_t ringSize) {
  return samples > 0 && int64_t(samples) * kSampleBytes < int64_t(ringSize);
}

void Close(BandChannel& ch) {
  if (ch.view) UnmapViewOfFile(ch.view);
  if (ch.mapping) CloseHandle(ch.mapping);
  if (ch.event) CloseHandle(ch.event);
  uint32_t pageSize = ch.pageSize;
  int32_t speedup = ch.follow.speedup;
  memset(&ch, 0, sizeof ch);
  ch.pageSize = pageSize;
  ch.follow.speedup = speedup;
}
