// A clock the tests set and an in-memory disk that can fail the n-th call.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "clock.h"
#include "file_io.h"

// Bytes kept per file: enough for every test file but the 4 GiB ones, whose
// writes past this point only count.
const uint64_t kKeptBytes = 1 << 20;

struct FakeFile {
  std::string name;
  std::vector<uint8_t> bytes;  // the first kKeptBytes of the file
  std::vector<uint8_t> tail;   // the latest write past kKeptBytes
  uint64_t size = 0;
  uint64_t pos = 0;
  bool open = false;
  bool removed = false;
};

struct FakeDisk {
  std::vector<FakeFile> files;  // a replaced file keeps its entry
  int createsToFail = 0;
  int renamesToFail = 0;
  int writeCalls = 0;
  int failWriteCall = 0;                  // 1-based; 0: none
  uint32_t shortBy = 0;                   // the failing write stores all but this many bytes
  DWORD writeError = ERROR_DISK_FULL;     // and reports this error
  int64_t freeBytes = -1;                 // room left on the disk; -1: no limit (1 TiB)
  int64_t diskBytes = INT64_C(2) << 40;   // the disk's size
  DWORD lastError = 0;                    // of the latest failed call
  std::atomic<uint64_t> bytesWritten{0};  // files grew by, for a test on another thread
  std::vector<std::string> createdNames;  // every successful create, in order
  std::vector<uint64_t> flushedAt;        // file size at each flush
  std::string locked;                     // a file that can't be deleted
  // The names of the files on the disk now, in order of their first creation.
  std::vector<std::string> Present() const;
};

extern FakeDisk* g_disk;
// The fake clock: calendar seconds, and the milliseconds of the second (250 after
// InstallFakes) that SYSTEMTIME and the millisecond tick show too.
extern int64_t g_fakeNow;
extern int g_fakeMs;
void AdvanceFakeTime(int ms);
// The tick clock goes with the calendar less how far the wall clock was set
// forward; the awake clock with the tick clock less the machine's sleep.
extern int64_t g_fakeClockSetMs;
extern int64_t g_fakeSleptMs;

// Points the writer's seams at the fakes and back.
void InstallFakes(FakeDisk& disk);
void RemoveFakes();

// Seconds since 1970 of a UTC calendar time.
int64_t UtcTime(int year, int month, int day, int hour, int minute, int second);

FakeFile* FindFile(const std::string& name);
// A closed file of `size` bytes, as another program or an earlier run left it.
void PutFile(const std::string& name, uint64_t size);
// The system's text for an error code, as the recorder prints it.
std::string ErrorString(DWORD error);
uint32_t Le32(const std::vector<uint8_t>& bytes, size_t offset);
uint16_t Le16(const std::vector<uint8_t>& bytes, size_t offset);
