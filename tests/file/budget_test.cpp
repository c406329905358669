// The budget's argument, the recordings it counts, and which of them go.
#include <gtest/gtest.h>

#include <string>

#include "budget.h"
#include "fakes.h"

namespace {

using Names = std::vector<std::string>;

TEST(Budget, TakesADecimalNumberAboveZeroWithItsUnitAndNothingElse) {
  struct Case {
    const char* text;
    BudgetUnit unit;
    double amount;
  };
  const Case good[] = {{"500G", Gigabytes, 500}, {"0.5g", Gigabytes, 0.5}, {"72h", Hours, 72},
                       {"1.5H", Hours, 1.5},     {".25h", Hours, 0.25},    {"7.G", Gigabytes, 7}};
  for (const Case& c : good) {
    Budget b = {NoBudget, 0, ""};
    ASSERT_TRUE(ParseBudget(c.text, &b)) << c.text;
    EXPECT_EQ(c.unit, b.unit) << c.text;
    EXPECT_DOUBLE_EQ(c.amount, b.amount) << c.text;
    EXPECT_STREQ(c.text, b.text);
  }
  for (const char* bad : {"", "G", "h", "0G", "0.0h", "-5G", "+5G", "5", "5GB", "5 G", " 5G",
                          "1e3G", "5T", "5M", "1.2.3G", "72hours", "99999999999999999999999G"}) {
    Budget b = {NoBudget, 0, ""};
    EXPECT_FALSE(ParseBudget(bad, &b)) << bad;
    EXPECT_EQ(NoBudget, b.unit) << bad;
  }
}

TEST(Budget, CountsOnlyTheNamesTheWriterMakesForItsBand) {
  uint64_t order = 0;
  ASSERT_TRUE(RecordingOrder("B3_20150303_093000_7050kHz.wav", 3, &order));
  EXPECT_EQ(20150303093000001u, order);
  ASSERT_TRUE(RecordingOrder("B31_20151231_235960_0kHz_999.wav", 31, &order));
  EXPECT_EQ(20151231235960999u, order);
  for (const char* other : {"B3_20150303_093000_7050kHz.wav",      // band 3, asked for 31
                            "B03_20150303_093000_7050kHz.wav",     // padded band
                            "B3_2015030_093000_7050kHz.wav",       // 7-digit date
                            "B3_20151303_093000_7050kHz.wav",      // month 13
                            "B3_20150300_093000_7050kHz.wav",      // day 0
                            "B3_20150303_096000_7050kHz.wav",      // minute 60
                            "B3_20150303_093000_07050kHz.wav",     // padded kHz
                            "B3_20150303_093000_7050kHz_1.wav",    // no file is numbered 1
                            "B3_20150303_093000_7050kHz_02.wav",   // padded number
                            "B3_20150303_093000_7050kHz.WAV",      // another hand renamed it
                            "B3_20150303_093000_7050kHz.wav.txt",  // the same
                            "B3_20150303_093000_7050kHz (2).wav",  // a copy
                            "B3_20150303_093000_7050.wav",         // no kHz
                            "B3_notes.wav"}) {
    EXPECT_FALSE(RecordingOrder(other, 31, &order)) << other;
  }
  EXPECT_FALSE(RecordingOrder("B31_20150303_093000_7050kHz.wav", 3, &order));
}

struct BudgetTest : ::testing::Test {
  FakeDisk disk;
  static WavWriter w;  // too large for the stack
  uint8_t block[8192] = {};
  uint64_t file = 0;  // the longest file, a quarter hour at 192000 samples/s

  void SetUp() override {
    InstallFakes(disk);
    ::Setup(w, Pcm16, 192000, 7050000, 3, Utc, QuarterHour);
    file = LongestFileBytes(w);
  }
  void TearDown() override {
    CloseFile(w);
    RemoveFakes();
  }
  bool At(int hour, int minute, int second = 0) {
    g_fakeNow = UtcTime(2015, 3, 3, hour, minute, second);
    return WriteBlock(w, sizeof block, block);
  }
};
WavWriter BudgetTest::w;

TEST_F(BudgetTest, FilesAndForecastFollowTheRateAndLayout) {
  EXPECT_EQ(218u + 192000u * 4 * 900, file);
  EXPECT_EQ(uint64_t(192000) * 4 * 3600, BytesPerHour(w));
  Budget hours = {Hours, 72, "72h"};
  EXPECT_EQ(72 * BytesPerHour(w), BudgetBytes(hours, w));
  disk.freeBytes = int64_t(10 * BytesPerHour(w));
  testing::internal::CaptureStdout();
  PrintForecast(w, hours);
  PrintForecast(w, Budget{Gigabytes, 5.5296, "5.5296G"});
  PrintForecast(w, Budget{NoBudget, 0, ""});
  EXPECT_EQ(
      "Disk use: 2.76 GB per hour; the free space holds 10.0 hours; the budget of 72h holds 72.0 "
      "hours\n"
      "The disk can't hold the budget: it has room for 2.0 hours of this band with 21.990 GB kept "
      "free, and the oldest recordings go when that runs short\n"
      "Disk use: 2.76 GB per hour; the free space holds 10.0 hours; the budget of 5.5296G holds "
      "2.0 hours\n"
      "Disk use: 2.76 GB per hour; the free space holds 10.0 hours\n",
      testing::internal::GetCapturedStdout());
  testing::internal::CaptureStderr();
  EXPECT_FALSE(HoldsOneFile(Budget{Gigabytes, 0.69, "0.69G"}, w));
  EXPECT_TRUE(HoldsOneFile(Budget{Gigabytes, 0.7, "0.7G"}, w));
  EXPECT_TRUE(HoldsOneFile(Budget{NoBudget, 0, ""}, w));
  EXPECT_EQ("Bad Budget (0.69G): one file takes up to 0.691 GB\n",
            testing::internal::GetCapturedStderr());
  // An hour at 384000 samples/s in 24 bits comes in files of 4 GiB.
  ::Setup(w, Pcm24Plain, 384000, 7050000, 3, Utc, Hour);
  EXPECT_EQ(kMaxFileBytes, LongestFileBytes(w));
}

// Three recordings of band 3 and the new file would pass a budget of two and a
// half files: the oldest go first, and the one held open elsewhere is passed over. The file that
// follows the next rotation counts with its own size, so nothing more goes then. Other names and
// other bands stay.
TEST_F(BudgetTest, TheOldestOwnRecordingsGoUntilTheRestAndTheNewFileFit) {
  const Names others = {"B31_20150301_000000_7050kHz.wav", "B1_20150301_000000_7050kHz.wav",
                        "B3_notes.wav", "B3_20150301_000000_7050kHz.WAV"};
  for (const std::string& name : others) PutFile(name, file);
  PutFile("B3_20150303_081500_7050kHz.wav", file);
  PutFile("B3_20150303_080000_14074kHz.wav", file);  // of the same second: by name
  PutFile("B3_20150303_080000_7050kHz.wav", file);
  disk.locked = "B3_20150303_080000_7050kHz.wav";
  SetBudget(w, file * 5 / 2);
  testing::internal::CaptureStdout();
  At(9, 0);
  At(9, 15);
  std::string out = testing::internal::GetCapturedStdout();
  char why[256];
  ErrorText(ERROR_SHARING_VIOLATION, why, sizeof why);
  EXPECT_EQ(
      "\nBudget 1.728 GB: deleted B3_20150303_080000_14074kHz.wav (0.691 GB)"
      "\nBudget 1.728 GB: can't delete B3_20150303_080000_7050kHz.wav: " +
          std::string(why) +
          "\nBudget 1.728 GB: deleted B3_20150303_081500_7050kHz.wav (0.691 GB)"
          "\nB3_20150303_090000_7050kHz.wav \nB3_20150303_091500_7050kHz.wav ",
      out);
  Names left = others;
  left.insert(left.end(), {"B3_20150303_080000_7050kHz.wav", "B3_20150303_090000_7050kHz.wav",
                           "B3_20150303_091500_7050kHz.wav"});
  EXPECT_EQ(left, disk.Present());
}

// Published anew at four times the rate, the band's files no longer fit the budget
// set at the start: the recordings stay rather than all going for nothing.
TEST_F(BudgetTest, ABudgetThatNoLongerHoldsOneFileDeletesNothing) {
  PutFile("B3_20150303_081500_7050kHz.wav", file);
  PutFile("B3_20150303_084500_7050kHz.wav", file);
  SetBudget(w, file * 5 / 2);
  Retune(w, 768000, 7050000);
  testing::internal::CaptureStdout();
  At(9, 0);
  EXPECT_EQ(
      "\nBudget 1.728 GB holds less than one file of the band now (2.765 GB): nothing deleted"
      "\nB3_20150303_090000_7050kHz.wav ",
      testing::internal::GetCapturedStdout());
  EXPECT_EQ(3u, disk.Present().size());
}

// Each recorder of a disk given a budget of the whole disk: the free space
// decides. At start the budget that the disk can't hold is told. Before each new
// file the band's oldest recordings go while the free space is below one file
// and the reserve (here 1 GB: 1% of the disk is less). When another program
// fills the disk, the try after room came back makes room the same way. When
// all of the band's recordings could not make that room, none go: a full disk
// is told once a minute, and recording goes on as soon as there is room.
TEST_F(BudgetTest, TheFreeSpaceKeepsAFileAndTheReserveAndAFullDiskWaitsForRoom) {
  disk.diskBytes = 50000000000;
  PutFile("B1_20150303_070000_7050kHz.wav", file);  // another band's: never deleted
  for (const char* hhmmss : {"073000", "074500", "080000"})
    PutFile(std::string("B3_20150303_") + hhmmss + "_7050kHz.wav", file);
  disk.freeBytes = int64_t(file) + 500000000;
  Budget whole = {Gigabytes, 50, "50G"};
  SetBudget(w, BudgetBytes(whole, w));
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  PrintForecast(w, whole);
  EXPECT_TRUE(At(9, 0));
  disk.freeBytes = 0;
  EXPECT_FALSE(At(9, 0, 1));  // the write fails
  disk.freeBytes = 500000000;
  EXPECT_TRUE(At(9, 0, 2));  // the try makes room
  disk.freeBytes = 0;
  for (int second = 3; second <= 60 + 4; second++) EXPECT_FALSE(At(9, second / 60, second % 60));
  disk.freeBytes = 1 << 20;
  EXPECT_TRUE(At(9, 1, 5));
  EXPECT_EQ(
      "Disk use: 2.76 GB per hour; the free space holds 0.4 hours; the budget of 50G holds 18.1 "
      "hours\n"
      "The disk can't hold the budget: it has room for 0.8 hours of this band with 1.000 GB kept "
      "free, and the oldest recordings go when that runs short\n"
      "\nFree space 1.191 GB < 1.691 GB: deleted B3_20150303_073000_7050kHz.wav (0.691 GB)"
      "\nB3_20150303_090000_7050kHz.wav "
      "\nFree space 0.500 GB < 1.691 GB: deleted B3_20150303_074500_7050kHz.wav (0.691 GB)"
      "\nFree space 1.191 GB < 1.691 GB: deleted B3_20150303_080000_7050kHz.wav (0.691 GB)"
      "\nB3_20150303_090002_7050kHz.wav ."
      "\nB3_20150303_090105_7050kHz.wav ",
      testing::internal::GetCapturedStdout());
  std::string full = ErrorString(ERROR_DISK_FULL);
  std::string room = full + "; recording goes on as soon as there is room\n";
  EXPECT_EQ("\nCan't write B3_20150303_090000_7050kHz.wav: " + room +
                "\nCan't write B3_20150303_090002_7050kHz.wav: " + room +
                "\nNothing recorded since 2015-03-03 09:00:03 UTC: " + full +
                ", and deleting band 3's recordings would not make room for a file\n",
            testing::internal::GetCapturedStderr());
  EXPECT_EQ((Names{"B1_20150303_070000_7050kHz.wav", "B3_20150303_090000_7050kHz.wav",
                   "B3_20150303_090002_7050kHz.wav", "B3_20150303_090105_7050kHz.wav"}),
            disk.Present());
}

TEST_F(BudgetTest, WithoutABudgetNothingIsDeleted) {
  for (int hour = 0; hour < 8; hour++) {
    PutFile("B3_20150303_0" + std::to_string(hour) + "0000_7050kHz.wav", file);
  }
  disk.freeBytes = 0;  // not even when the disk is full
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  At(9, 0);
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(8u, disk.Present().size());
}

}  // namespace
