#include "publisher.h"

#include <string.h>

#include <atomic>

bool PublisherCreate(Publisher& pub, int band, int32_t sampleRate, int32_t blockInSamples,
                     int32_t l0, int32_t ringBytes) {
  memset(&pub, 0, sizeof pub);
  pub.band = band;
  if (ringBytes <= 0 || ringBytes % kSampleBytes != 0) return false;
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  DWORD size = info.dwPageSize + DWORD(ringBytes);
  char name[kBandNameSize];
  BandName(band, name);
  pub.mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name);
  if (pub.mapping) {
    pub.view = static_cast<uint8_t*>(MapViewOfFile(pub.mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  }
  char eventName[kBandNameSize + 2];
  strcpy(eventName, "e");
  strcat(eventName, name);
  // A reader that still holds the band keeps the mapping of an earlier publisher
  // alive, at that publisher's size.
  MEMORY_BASIC_INFORMATION region;
  bool fits = pub.view && VirtualQuery(pub.view, &region, sizeof region) == sizeof region &&
              region.RegionSize >= size;
  if (fits) pub.event = CreateEventA(nullptr, TRUE, FALSE, eventName);
  if (!pub.event) {
    DWORD error = GetLastError();  // what failed, not what the clean-up does
    bool heldSmaller = pub.view && !fits;
    PublisherClose(pub);
    pub.heldSmaller = heldSmaller;
    SetLastError(error);
    return false;
  }
  pub.header = reinterpret_cast<volatile BandHeader*>(pub.view);
  pub.ring = pub.view + info.dwPageSize;
  pub.ringSize = ringBytes;
  // The ring's size before WritePos: a reader of an earlier publisher whose ring
  // was smaller must never take the new WritePos 0 for data in the old ring.
  pub.header->SampleRate = sampleRate;
  pub.header->BlockInSamples = blockInSamples;
  pub.header->L0 = l0;
  pub.header->BufferSize = ringBytes;
  pub.header->WritePos = 0;
  return true;
}

void PublisherWrite(Publisher& pub, const float* iq, int32_t samples) {
  const uint8_t* src = reinterpret_cast<const uint8_t*>(iq);
  int32_t left = samples * kSampleBytes;
  int32_t pos = pub.header->WritePos;
  if (pos < 0 || pos > pub.ringSize) pos = 0;  // whatever a test set it to
  while (left > 0) {
    if (pos >= pub.ringSize) pos = 0;
    int32_t piece = pub.ringSize - pos < left ? pub.ringSize - pos : left;
    memcpy(pub.ring + pos, src, piece);
    src += piece;
    left -= piece;
    pos += piece;
  }
  // Readers trust that everything before WritePos is in place.
  std::atomic_thread_fence(std::memory_order_release);
  pub.header->WritePos = pos;
  pub.samplesWritten += uint64_t(samples);
  SetEvent(pub.event);
}

void CounterPattern(uint64_t first, int32_t samples, float* iq) {
  for (int32_t i = 0; i < samples; i++) {
    int32_t m = int32_t((first + uint64_t(i)) & 0xFFFF);
    iq[2 * i] = float((m - 32768) * 65536);
    iq[2 * i + 1] = float((32767 - m) * 65536);
  }
}

void PublisherClose(Publisher& pub) {
  if (pub.event) CloseHandle(pub.event);
  if (pub.view) UnmapViewOfFile(pub.view);
  if (pub.mapping) CloseHandle(pub.mapping);
  int band = pub.band;
  memset(&pub, 0, sizeof pub);
  pub.band = band;
}
