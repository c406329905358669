// The WAV writer: turns converted sample blocks into a sequence of WAV files in
// the current directory, a new one every hour, half hour or quarter hour.
//
// 16-bit file (218-byte header)          24-bit file (240-byte header)
//   0 "RIFF" size "WAVE"                   0 "RIFF" size "WAVE"
//  12 "fmt " 18  PCM, 2 ch, 16 bits       12 "fmt " 40  EXTENSIBLE or PCM tag, 24 bits
//  38 "auxi" 164 start, stop, L0          60 "auxi" 164 start, stop, L0
// 210 "data" size                        232 "data" size
// 218 samples: I, Q as int16             240 samples: I, Q as 3-byte ints
//                                         ... "LIST" "INFO" QTR QRG ISFT IWEB CHAN
#pragma once

#include <windows.h>

#include <stdint.h>
#include <time.h>

enum SampleFormat { Pcm16, Pcm24Extensible, Pcm24Plain };
enum TimeBase { Utc, LocalTime };
enum Rotation { Hour, HalfHour, QuarterHour };

const uint32_t kHeaderBytes16 = 218;
const uint32_t kHeaderBytes24 = 240;
const uint32_t kInfoListCapacity = 4096;
const uint64_t kMaxFileBytes = 0xFFFFFFFFu;  // RIFF sizes are 32-bit
const int kFileNameSize = 96;

// The "IWEB" text of 24-bit files.
extern const char kWebAddress[];

struct WavWriter {
  SampleFormat format;
  int32_t sampleRate;
  int32_t l0;  // centre frequency in Hz, as read at start-up
  int32_t band;
  TimeBase timeBase;  // of the file names; auxi and QTR are always UTC
  Rotation rotation;
  HANDLE file;                          // INVALID_HANDLE_VALUE while no file is open
  uint64_t fileBytes;                   // header and samples in the current file
  uint8_t header[kHeaderBytes24];       // template reused for every file
  uint32_t headerBytes;                 // 218 or 240
  uint8_t infoList[kInfoListCapacity];  // "LIST" chunk appended to 24-bit files
  uint32_t infoBytes;
  int32_t previousSecond;  // of the previous block
  int32_t previousMinute;
  struct tm now;                 // the latest block's time in the file-name time base
  char fileName[kFileNameSize];  // of the current or last attempted file
};

// 24-bit files have the longer header and the INFO list trailer.
inline bool Is24Bit(const WavWriter& w) {
  return w.format != Pcm16;
}

// Keeps the settings and fills the header template; no file is open after it.
void Setup(WavWriter& w, SampleFormat format, int32_t sampleRate, int32_t l0, int32_t band,
           TimeBase timeBase, Rotation rotation);

// Appends one converted block, first starting a new file when a boundary has
// passed. False when the block did not go whole into a file.
bool WriteBlock(WavWriter& w, uint32_t byteCount, const void* bytes);

// Completes the current file with its final sizes and stop time; harmless when
// no file is open.
void CloseFile(WavWriter& w);

// Internal steps, open to the tests.
bool OpenFile(WavWriter& w);
void ResetInfoList(WavWriter& w);
bool AddInfoItem(WavWriter& w, const char* id, const char* text);

// Header template fields.
void SetHeaderSizes(WavWriter& w, uint32_t riffSize, uint32_t dataSize);
void SetStartTime(WavWriter& w, const SYSTEMTIME& utc);
void SetStopTime(WavWriter& w, const SYSTEMTIME& utc);
void FillHeaderTemplate(WavWriter& w);
