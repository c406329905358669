// When files begin, what they are named, and what survives failures.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>

#include "fakes.h"
#include "file_io.h"
#include "wav_writer.h"

namespace {

uint8_t g_big[kKeptBytes];  // the source of blocks larger than the fixture's own

using Names = std::vector<std::string>;

struct WriterTest : ::testing::Test {
  FakeDisk disk;
  static WavWriter w;  // too large for the stack
  uint8_t block[8192] = {};

  void SetUp() override { InstallFakes(disk); }
  void TearDown() override {
    CloseFile(w);
    RemoveFakes();
  }
  void Start(SampleFormat format = Pcm16, Rotation rotation = Hour, int32_t l0 = 7050000,
             int32_t band = 3) {
    ::Setup(w, format, 192000, l0, band, Utc, rotation);
  }
  bool At(int hour, int minute, int second, uint32_t bytes = 8192) {
    g_fakeNow = UtcTime(2015, 3, 3, hour, minute, second);
    return WriteBlock(w, bytes, bytes > sizeof block ? g_big : block);
  }
  const FakeFile& File(size_t i) { return disk.files.at(i); }
  // The message for a failed write to the file that began at hhmmss.
  static std::string Failure(const char* hhmmss, DWORD error) {
    return std::string("\nCan't write B3_20150303_") + hhmmss +
           "_7050kHz.wav: " + ErrorString(error) +
           (error == ERROR_DISK_FULL ? "; recording goes on as soon as there is room\n"
                                     : "; a new file is tried every 10 s\n");
  }
  Names Created() { return disk.createdNames; }
};
WavWriter WriterTest::w;

TEST_F(WriterTest, NamesCarryBandStartTimeAndWholeKilohertz) {
  Start(Pcm16, Hour, 14074999, 12);
  At(9, 30, 0);
  CloseFile(w);
  Start(Pcm16, Hour, 7050000, 0);
  At(23, 5, 9);
  EXPECT_EQ((Names{"B12_20150303_093000_14074kHz.wav", "B0_20150303_230509_7050kHz.wav"}),
            Created());
}

// The new file's header, like the first file's, counts its first block at once:
// a recorder killed in its first 10 s leaves it readable.
TEST_F(WriterTest, HourRotationPrintsTheDotThenStartsTheNewFile) {
  Start();
  testing::internal::CaptureStdout();
  At(11, 59, 59);
  At(12, 0, 0);
  EXPECT_EQ(8192u, Le32(File(1).bytes, 214));
  EXPECT_EQ(218u + 8192 - 8, Le32(File(1).bytes, 4));
  At(12, 0, 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ("\nB3_20150303_115959_7050kHz.wav .\nB3_20150303_120000_7050kHz.wav ", out);
  EXPECT_FALSE(File(0).open);
  EXPECT_EQ(218u + 8192, File(0).size);
  EXPECT_EQ(218u + 2 * 8192, File(1).size);
}

TEST_F(WriterTest, QuarterHourRotationStartsFilesAtTheFourQuarters) {
  Start(Pcm16, QuarterHour);
  for (int minute = 0; minute < 60; minute++) At(10, minute, 30);
  At(11, 0, 30);
  EXPECT_EQ((Names{"B3_20150303_100030_7050kHz.wav", "B3_20150303_101530_7050kHz.wav",
                   "B3_20150303_103030_7050kHz.wav", "B3_20150303_104530_7050kHz.wav",
                   "B3_20150303_110030_7050kHz.wav"}),
            Created());
}

// However long the band was silent, a block in a later rotation period than
// its file's first block starts a new file; a clock set back does not.
TEST_F(WriterTest, ARotationIsNeverMissedAcrossAGap) {
  Start(Pcm16, Hour);
  At(10, 20, 0);
  At(11, 40, 0);  // across 11:00, the minute risen
  At(11, 59, 59);
  At(13, 5, 0);  // across 12:00 and 13:00
  At(13, 59, 0);
  At(13, 20, 0);  // set back
  CloseFile(w);
  Start(Pcm16, QuarterHour);
  At(14, 13, 0);
  At(14, 16, 0);  // no block in minute 14
  At(14, 46, 0);  // across 14:30 and 14:45
  At(14, 40, 0);  // set back across 14:45
  At(14, 59, 59);
  CloseFile(w);
  Start(Pcm16, HalfHour);
  At(15, 28, 0);
  At(15, 30, 0);  // no block in minute 29
  EXPECT_EQ((Names{"B3_20150303_102000_7050kHz.wav", "B3_20150303_114000_7050kHz.wav",
                   "B3_20150303_130500_7050kHz.wav", "B3_20150303_141300_7050kHz.wav",
                   "B3_20150303_141600_7050kHz.wav", "B3_20150303_144600_7050kHz.wav",
                   "B3_20150303_152800_7050kHz.wav", "B3_20150303_153000_7050kHz.wav"}),
            Created());
  EXPECT_EQ(218u + 3 * 8192, File(2).size);
  EXPECT_EQ(218u + 3 * 8192, File(5).size);
}

// In local time (here 5:30 ahead of UTC) names and periods follow the local
// clock, while auxi and the INFO list keep UTC.
TEST_F(WriterTest, LocalTimeNamesFilesAndRotatesByTheLocalClock) {
  const char* tz = getenv("TZ");
  std::string saved = std::string("TZ=") + (tz ? tz : "");
  _putenv("TZ=VXT-5:30");
  _tzset();
  ::Setup(w, Pcm24Extensible, 192000, 7050000, 3, LocalTime, Hour);
  At(9, 29, 59, 600);
  At(9, 30, 0, 600);  // 15:00 there
  CloseFile(w);
  _putenv(saved.c_str());
  _tzset();
  EXPECT_EQ((Names{"B3_20150303_145959_7050kHz.wav", "B3_20150303_150000_7050kHz.wav"}), Created());
  const std::vector<uint8_t>& b = File(1).bytes;
  EXPECT_EQ(9, Le16(b, 68 + 8));  // start hour and minute, UTC
  EXPECT_EQ(30, Le16(b, 68 + 10));
  const char stamp[] =
      "QTR \x17\0\0\0"
      "2015-03-03 09:30:00 UTC";
  EXPECT_EQ(0, memcmp(&b[240 + 600 + 12], stamp, sizeof stamp - 1));
}

TEST_F(WriterTest, OneDotPerMinuteAndTheHeaderKeptCurrentFromTheFirstBlockOn) {
  Start();
  testing::internal::CaptureStdout();
  At(9, 30, 58);
  // A recorder killed now leaves the first block readable.
  EXPECT_EQ(8192u, Le32(File(0).bytes, 214));
  EXPECT_EQ(218u + 8192 - 8, Le32(File(0).bytes, 4));
  At(9, 30, 59);
  At(9, 31, 0);
  At(9, 31, 7);
  EXPECT_EQ(8192u, Le32(File(0).bytes, 214));  // not again before 10 s have passed
  At(9, 31, 8);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ("\nB3_20150303_093058_7050kHz.wav .", out);
  EXPECT_EQ(5u * 8192, Le32(File(0).bytes, 214));
  EXPECT_EQ(218u + 5 * 8192 - 8, Le32(File(0).bytes, 4));
  EXPECT_EQ(8, Le16(File(0).bytes, 46 + 16 + 12));  // stop second of the refresh
  // Each refresh hands the file to the disk: a power cut loses at most 10 s.
  EXPECT_EQ((std::vector<uint64_t>{218 + 8192, 218 + 5 * 8192}), disk.flushedAt);
  At(9, 31, 9);
  EXPECT_EQ(218u + 6 * 8192, File(0).size);  // appending went on at the end
  CloseFile(w);
  EXPECT_EQ(6u * 8192, Le32(File(0).bytes, 214));
}

TEST_F(WriterTest, SizesAfterCloseCountEveryBlock) {
  Start(Pcm16);
  for (int i = 0; i < 1000; i++) At(9, 30, 0);
  CloseFile(w);
  EXPECT_EQ(218u + 8192000, File(0).size);
  EXPECT_EQ(8192000u, Le32(File(0).bytes, 214));
  EXPECT_EQ(8192210u, Le32(File(0).bytes, 4));

  Start(Pcm24Extensible);
  for (int i = 0; i < 1000; i++) At(9, 40, 0, 12288);
  CloseFile(w);
  uint32_t info = w.infoBytes;
  EXPECT_EQ(98 + strlen(kWebAddress) + (strlen(kWebAddress) & 1), info);
  EXPECT_EQ(240u + 12288000 + info, File(1).size);
  EXPECT_EQ(12288000u, Le32(File(1).bytes, 236));
  EXPECT_EQ(240u + 12288000 + info - 8, Le32(File(1).bytes, 4));
}

// The disk fills up in the third block, midway through a frame: the failure
// says so, and the file keeps its whole frames. No file is tried while the disk has no room for one
// (so none is left behind without samples), a line a minute says since when nothing is recorded,
// and the first block after room came back opens the next file. The next outage gets its own
// message. Without a budget, a disk that holds less than an hour of recording is told once, before
// the first file.
TEST_F(WriterTest, AFullDiskIsToldOnceAMinuteAndRecordingGoesOnAsSoonAsThereIsRoom) {
  Start();
  disk.freeBytes = 218 + 2 * 8192 + 1001;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_TRUE(At(9, 30, 0));
  EXPECT_TRUE(At(9, 30, 1));
  EXPECT_FALSE(At(9, 30, 2));
  for (int second = 3; second < 21; second++) EXPECT_FALSE(At(9, 30, second));
  disk.freeBytes += 1 << 20;
  EXPECT_TRUE(At(9, 30, 21));
  EXPECT_TRUE(At(9, 30, 22));
  disk.freeBytes = 0;
  for (int second = 23; second <= 60 + 24; second++) {
    EXPECT_FALSE(At(9, 30 + second / 60, second % 60));
  }
  EXPECT_EQ(
      "\nThe disk has room for 0.0 hours of recording (0.000 GB free): without a budget nothing "
      "is deleted"
      "\nB3_20150303_093000_7050kHz.wav \nB3_20150303_093021_7050kHz.wav .",
      testing::internal::GetCapturedStdout());
  EXPECT_EQ(Failure("093000", ERROR_DISK_FULL) + Failure("093021", ERROR_DISK_FULL) +
                "\nNothing recorded since 2015-03-03 09:30:23 UTC: " +
                ErrorString(ERROR_DISK_FULL) + "\n",
            testing::internal::GetCapturedStderr());
  EXPECT_EQ((Names{"B3_20150303_093000_7050kHz.wav", "B3_20150303_093021_7050kHz.wav"}), Created());
  CloseFile(w);
  EXPECT_EQ(Created(), disk.Present());
  const FakeFile& full0 = File(0);
  EXPECT_EQ(218u + 2 * 8192 + 1000, full0.size);  // the partial frame is cut off
  EXPECT_EQ(2u * 8192 + 1000, Le32(full0.bytes, 214));
  EXPECT_EQ(full0.size - 8, Le32(full0.bytes, 4));
  EXPECT_EQ(2u * 8192, Le32(File(1).bytes, 214));
}

// A 24-bit file that fills the disk keeps its whole frames and leaves out the
// INFO list there is no room for: the RIFF size counts what is in the file.
// A write that fails for another reason is reported with that reason.
TEST_F(WriterTest, ATwentyFourBitFileOnAFullDiskHasNoInfoListAndSaysSo) {
  Start(Pcm24Plain);
  disk.freeBytes = 240 + 600 + 500;
  testing::internal::CaptureStderr();
  EXPECT_TRUE(At(9, 30, 0, 600));
  EXPECT_FALSE(At(9, 30, 1, 600));
  EXPECT_FALSE(File(0).open);
  EXPECT_EQ(240u + 600 + 498, File(0).size);
  EXPECT_EQ(600u + 498, Le32(File(0).bytes, 236));
  EXPECT_EQ(240u + 600 + 498 - 8, Le32(File(0).bytes, 4));

  disk.freeBytes = 1 << 20;  // with room, the list follows the whole frames
  Start(Pcm24Plain);
  EXPECT_TRUE(At(10, 0, 0, 600));
  disk.failWriteCall = disk.writeCalls + 1;
  disk.shortBy = 100;
  disk.writeError = ERROR_NETNAME_DELETED;
  EXPECT_FALSE(At(10, 0, 1, 600));
  EXPECT_EQ(Failure("093000", ERROR_DISK_FULL) + Failure("100000", ERROR_NETNAME_DELETED),
            testing::internal::GetCapturedStderr());
  uint32_t info = w.infoBytes;
  EXPECT_EQ(240u + 1098 + info, File(1).size);
  EXPECT_EQ(1098u, Le32(File(1).bytes, 236));
  EXPECT_EQ(240u + 1098 + info - 8, Le32(File(1).bytes, 4));
  EXPECT_EQ(0, memcmp(&File(1).bytes[240 + 1098], "LIST", 4));
}

// The name shows once for the failure and once for the file that opens at last.
TEST_F(WriterTest, AFileThatCannotBeCreatedIsTriedAgainTenSecondsLater) {
  Start();
  disk.createsToFail = 2;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(At(9, 30, 0));
  EXPECT_EQ(INVALID_HANDLE_VALUE, w.file);
  EXPECT_FALSE(At(9, 30, 9));
  EXPECT_FALSE(At(9, 30, 10));
  EXPECT_TRUE(At(9, 30, 20));
  EXPECT_EQ("\nB3_20150303_093000_7050kHz.wav \nB3_20150303_093020_7050kHz.wav ",
            testing::internal::GetCapturedStdout());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(0u, err.find("\nCan't create B3_20150303_093000_7050kHz.wav: ")) << err;
  EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n') - 1) << err;
  CloseFile(w);
  EXPECT_EQ(218u + 8192, File(0).size);
}

TEST_F(WriterTest, AFailedHeaderWriteLeavesNoFileBehind) {
  Start();
  disk.failWriteCall = 1;
  disk.shortBy = 100;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(At(9, 30, 0));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(INVALID_HANDLE_VALUE, w.file);
  EXPECT_TRUE(disk.Present().empty());
  EXPECT_TRUE(At(9, 30, 10));
  EXPECT_EQ((Names{"B3_20150303_093010_7050kHz.wav"}), disk.Present());
}

TEST_F(WriterTest, ATakenNameWithDataGetsASuffixAndABareHeaderIsReplaced) {
  disk.files.resize(3);
  disk.files[0].name = "B3_20150303_020000_7050kHz.wav";
  disk.files[0].size = 219;
  disk.files[1].name = "B3_20150303_020000_7050kHz_2.wav";
  disk.files[1].size = 5000;
  disk.files[2].name = "B3_20150303_030000_7050kHz.wav";
  disk.files[2].size = 218;
  Start();
  At(2, 0, 0);
  CloseFile(w);
  At(3, 0, 0);
  EXPECT_EQ((Names{"B3_20150303_020000_7050kHz_3.wav", "B3_20150303_030000_7050kHz.wav"}),
            Created());
  EXPECT_EQ(5000u, File(1).size);
}

TEST_F(WriterTest, NoFileGrowsPastTheRiffLimit) {
  const uint32_t gib = 1u << 30;
  Start(Pcm16);
  for (int i = 0; i < 3; i++) EXPECT_TRUE(At(9, 30, 0, gib));
  EXPECT_TRUE(At(9, 30, 0, gib - 218 - 2));  // the last whole frame below 0xFFFFFFFF
  EXPECT_EQ(1u, Created().size());
  EXPECT_TRUE(At(9, 30, 1, 4));
  EXPECT_EQ(2u, Created().size());
  EXPECT_EQ(0xFFFFFFFEu, File(0).size);
  EXPECT_EQ(0xFFFFFFFEu - 218, Le32(File(0).bytes, 214));
  EXPECT_EQ(0xFFFFFFFEu - 8, Le32(File(0).bytes, 4));
}

TEST_F(WriterTest, TwentyFourBitFilesKeepRoomForTheInfoList) {
  const uint32_t gib = 1u << 30;
  Start(Pcm24Extensible);
  for (int i = 0; i < 3; i++) EXPECT_TRUE(At(9, 30, 0, gib));
  uint32_t room = 0xFFFFFFFFu - 3 * gib - 240 - w.infoBytes;
  EXPECT_TRUE(At(9, 30, 0, room + 6));  // the list would no longer fit
  EXPECT_EQ(2u, Created().size());
  EXPECT_EQ(240u + 3 * gib + w.infoBytes, File(0).size);
  EXPECT_EQ(0, memcmp(File(0).tail.data(), "LIST", 4));
  EXPECT_EQ(uint32_t(File(0).size - 8), Le32(File(0).bytes, 4));
}

TEST_F(WriterTest, CloseIsHarmlessWithoutAFileAndTwice) {
  Start();
  CloseFile(w);
  At(9, 30, 0);
  CloseFile(w);
  CloseFile(w);
  EXPECT_EQ(1u, disk.files.size());
  EXPECT_EQ(218u + 8192, File(0).size);
}

}  // namespace
