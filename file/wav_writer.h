// The WAV writer: turns converted sample blocks into a sequence of WAV files in
// the current directory, a new one every hour, half hour or quarter hour.
//
// Header offsets:                       16-bit   16-bit, short fmt   24-bit
//   "RIFF" size "WAVE"                      0            0              0
//   "fmt " size                            12           12             12
//     body bytes                           18           16             40
//   "auxi" 164: start, stop, L0            38           36             60
//   "data" size                           210          208            232
//   samples, I then Q                     218          216            240
//
// fmt body: format tag (PCM, or EXTENSIBLE for 24-bit), 2 channels, rate, bytes
// per second, block align 4 or 6, 16 or 24 bits; then cbSize, which the short
// body leaves out; 24-bit ones go on with valid bits, channel mask and GUID.
// The short body puts every 32-bit field on a multiple of 4 and the samples 43
// whole frames after byte 44, where readers of a fixed 44-byte header look.
// 24-bit files end with "LIST" "INFO": QTR QRG ISFT IWEB CHAN.
#pragma once

#include <windows.h>

#include <stdint.h>
#include <time.h>

// Pcm16ShortFmt: 16-bit samples under the 16-byte fmt chunk.
enum SampleFormat { Pcm16, Pcm24Extensible, Pcm24Plain, Pcm16ShortFmt };
enum TimeBase { Utc, LocalTime };
enum Rotation { Hour, HalfHour, QuarterHour };

const uint32_t kHeaderBytes24 = 240;  // the longest header
const uint32_t kInfoListCapacity = 4096;
const uint64_t kMaxFileBytes = 0xFFFFFFFFu;  // RIFF sizes are 32-bit
const int kFileNameSize = 96;
const int64_t kRefreshSeconds = 10;       // longest time an open file's header lags behind
const int64_t kRetrySeconds = 10;         // after a failed file, before the next is tried
const int64_t kOutageReportSeconds = 60;  // while no file works, between the lines that say so

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
  int64_t refreshedAt;                  // when the open file's header got its sizes last
  bool failing;                         // a file failed and no file has worked since
  int64_t failedAt;                     // when a file failed last; the next try waits
  DWORD failError;                      // why it failed
  SYSTEMTIME failingSince;              // UTC of the first failure of the outage
  int64_t reportedAt;                   // when the outage was last told
  int64_t roomCheckedAt;                // when a full disk was last looked at for room
  bool roomShort;                       // the budget left less free than a file and the reserve
  bool lowSpaceTold;                    // without a budget: the disk holds less than an hour
  uint8_t header[kHeaderBytes24];       // template reused for every file
  uint32_t headerBytes;                 // 218, 216 or 240
  uint8_t infoList[kInfoListCapacity];  // "LIST" chunk appended to 24-bit files
  uint32_t infoBytes;
  int32_t previousSecond;        // of the previous block
  int64_t blockPeriod;           // start of the latest block's rotation period (calendar seconds)
  int64_t filePeriod;            // start of the rotation period of the open file's first block
  struct tm now;                 // the latest block's time in the file-name time base
  SYSTEMTIME startedAt;          // UTC when the open file's first block was written
  SYSTEMTIME lastBlockAt;        // UTC when the open file's latest block was written
  char fileName[kFileNameSize];  // of the current or last attempted file
  uint64_t budgetBytes;          // for the band's recordings in the folder; 0: none
};

// 24-bit files have the longer header and the INFO list trailer.
inline bool Is24Bit(SampleFormat format) {
  return format == Pcm24Extensible || format == Pcm24Plain;
}
inline bool Is24Bit(const WavWriter& w) {
  return Is24Bit(w.format);
}
// Bytes of one sample frame: I and Q.
inline uint32_t FrameBytes(const WavWriter& w) {
  return Is24Bit(w) ? 6 : 4;
}

// Keeps the settings and fills the header template; no file is open after it.
void Setup(WavWriter& w, SampleFormat format, int32_t sampleRate, int32_t l0, int32_t band,
           TimeBase timeBase, Rotation rotation);

// Takes the values of a re-published band for the files from now on; called
// while no file is open.
void Retune(WavWriter& w, int32_t sampleRate, int32_t l0);

// Deletes the band's oldest recordings before each new file so that they stay
// within budgetBytes and the disk keeps room (0: nothing is ever deleted, budget.h).
// Call after Setup.
void SetBudget(WavWriter& w, uint64_t budgetBytes);

// Appends one converted block, first starting a new file when the block falls
// in a later rotation period than the file's first block, however long the
// band was silent in between. False when the block did not go whole into a
// file. After a failed file, blocks are dropped until a new file is tried: on a
// full disk as soon as it has room for one (looked at once a second, after the
// budget made what room it can), otherwise kRetrySeconds later. While no file
// works, a line every kOutageReportSeconds says since when nothing is recorded.
bool WriteBlock(WavWriter& w, uint32_t byteCount, const void* bytes);

// Dates the open file's start ms earlier: its first samples came before the
// recorder could take them. Harmless when no file is open.
void MoveStartEarlier(WavWriter& w, ULONGLONG ms);

// Completes the current file with its final sizes and stop time; harmless when
// no file is open. A file that got no whole sample frame is deleted.
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
