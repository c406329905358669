// The byte layout of the header template and of the INFO list.
#include <string.h>

#include "wav_writer.h"

static const uint16_t kFormatPcm = 1;
static const uint16_t kFormatExtensible = 0xFFFE;
static const uint32_t kAuxiBodyBytes = 164;
static const uint8_t kSubtypePcm[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                        0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

static void Put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

static void Put32(uint8_t* p, uint32_t v) {
  Put16(p, uint16_t(v));
  Put16(p + 2, uint16_t(v >> 16));
}

// The fmt chunk's body: 40 bytes for 24-bit files, 18 for 16-bit ones (ending
// in cbSize) and 16 in the short layout. Every later offset follows from it.
static uint32_t FormatBodyBytes(const WavWriter& w) {
  if (Is24Bit(w)) return 40;
  return w.format == Pcm16ShortFmt ? 16 : 18;
}

static uint32_t AuxiChunk(const WavWriter& w) {
  return 20 + FormatBodyBytes(w);
}

static uint32_t DataChunk(const WavWriter& w) {
  return AuxiChunk(w) + 8 + kAuxiBodyBytes;
}

static void PutTime(uint8_t* p, const SYSTEMTIME& t) {
  const WORD fields[8] = {t.wYear, t.wMonth,  t.wDayOfWeek, t.wDay,
                          t.wHour, t.wMinute, t.wSecond,    t.wMilliseconds};
  for (int i = 0; i < 8; i++) Put16(p + 2 * i, fields[i]);
}

static void FillFormatChunk(WavWriter& w) {
  uint8_t* h = w.header;
  bool wide = Is24Bit(w);
  uint16_t blockAlign = wide ? 6 : 4;
  memcpy(h + 12, "fmt ", 4);
  Put32(h + 16, FormatBodyBytes(w));
  Put16(h + 20, w.format == Pcm24Extensible ? kFormatExtensible : kFormatPcm);
  Put16(h + 22, 2);
  Put32(h + 24, uint32_t(w.sampleRate));
  Put32(h + 28, uint32_t(w.sampleRate) * blockAlign);
  Put16(h + 32, blockAlign);
  Put16(h + 34, wide ? 24 : 16);
  if (w.format == Pcm16ShortFmt) return;
  Put16(h + 36, w.format == Pcm24Extensible ? 22 : 0);
  if (!wide) return;
  Put16(h + 38, 24);  // valid bits
  Put32(h + 40, 3);   // front left and front right
  memcpy(h + 44, kSubtypePcm, sizeof kSubtypePcm);
}

void FillHeaderTemplate(WavWriter& w) {
  memset(w.header, 0, sizeof w.header);
  w.headerBytes = DataChunk(w) + 8;
  memcpy(w.header, "RIFF", 4);
  memcpy(w.header + 8, "WAVE", 4);
  FillFormatChunk(w);
  uint8_t* auxi = w.header + AuxiChunk(w);
  memcpy(auxi, "auxi", 4);
  Put32(auxi + 4, kAuxiBodyBytes);
  Put32(auxi + 8 + 32, uint32_t(w.l0));
  memcpy(w.header + DataChunk(w), "data", 4);
  SetHeaderSizes(w, w.headerBytes - 8, 0);
}

void SetHeaderSizes(WavWriter& w, uint32_t riffSize, uint32_t dataSize) {
  Put32(w.header + 4, riffSize);
  Put32(w.header + DataChunk(w) + 4, dataSize);
}

void SetStartTime(WavWriter& w, const SYSTEMTIME& utc) {
  PutTime(w.header + AuxiChunk(w) + 8, utc);
}

void SetStopTime(WavWriter& w, const SYSTEMTIME& utc) {
  PutTime(w.header + AuxiChunk(w) + 8 + 16, utc);
}

void ResetInfoList(WavWriter& w) {
  memcpy(w.infoList, "LIST", 4);
  Put32(w.infoList + 4, 4);
  memcpy(w.infoList + 8, "INFO", 4);
  w.infoBytes = 12;
}

bool AddInfoItem(WavWriter& w, const char* id, const char* text) {
  size_t length = strlen(text);
  size_t item = 8 + length + (length & 1);
  if (item > kInfoListCapacity - w.infoBytes) return false;
  uint8_t* p = w.infoList + w.infoBytes;
  memcpy(p, id, 4);
  Put32(p + 4, uint32_t(length));
  memcpy(p + 8, text, length);
  if (length & 1) p[8 + length] = 0;  // items start at even offsets
  w.infoBytes += uint32_t(item);
  Put32(w.infoList + 4, w.infoBytes - 8);
  return true;
}
