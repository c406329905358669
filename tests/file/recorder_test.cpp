// The command line's settings, the capture loop against an in-process
// publisher, and its stop request.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "command_line.h"
#include "fakes.h"
#include "publisher.h"
#include "recorder.h"

namespace {

const int kBand = 21;
const int32_t kBlock = 1024;

TEST(BlockBuffers, AreSizedFromTheBandOrRefused) {
  BlockBuffers b;
  EXPECT_FALSE(AllocateBlockBuffers(b, 0));
  EXPECT_EQ(nullptr, b.input);
  EXPECT_FALSE(AllocateBlockBuffers(b, -2048));
  EXPECT_FALSE(AllocateBlockBuffers(b, kMaxBlockInSamples + 1));
  ASSERT_TRUE(AllocateBlockBuffers(b, 8192));  // beyond the old 4096 limit
  EXPECT_EQ(8192, b.blockInSamples);
  b.input[8192 * 2 - 1] = 1.0f;
  b.output[8192 * 6 - 1] = 1;
  FreeBlockBuffers(b);
  FreeBlockBuffers(b);
  EXPECT_EQ(nullptr, b.input);
  EXPECT_EQ(nullptr, b.output);
}

// A band not in use, a block the buffers can't take and a ring too small for
// one block are refused, each naming its own value.
TEST(BandCheck, NamesTheValueAtFault) {
  testing::internal::CaptureStderr();
  EXPECT_FALSE(CanRecord(7, 0, 2048, 1 << 20));
  EXPECT_FALSE(CanRecord(7, -48000, 2048, 1 << 20));
  EXPECT_FALSE(CanRecord(7, 192000, 0, 1 << 20));
  EXPECT_FALSE(CanRecord(7, 192000, kMaxBlockInSamples + 1, 1 << 30));
  EXPECT_FALSE(CanRecord(7, 192000, 8192, 8192 * 8));  // a ring never holds a whole block
  EXPECT_TRUE(CanRecord(7, 1, 8192, 8192 * 8 + 8));
  EXPECT_EQ(
      "Can't record 7 receiver: SampleRate=0, the band is not in use\n"
      "Can't record 7 receiver: SampleRate=-48000, the band is not in use\n"
      "Can't record 7 receiver: BlockInSamples=0 is not supported\n"
      "Can't record 7 receiver: BlockInSamples=1048577 is not supported\n"
      "Can't record 7 receiver: BufferSize=65536 can't hold a block of 8192 samples\n",
      testing::internal::GetCapturedStderr());
}

// What the recorder runs with for each flag word: of H and Q the last wins, C
// changes 16-bit files only, and every other character is skipped without a
// message, so "x" and "-" give none (batch files give a budget so).
TEST(CommandLine, FlagWordsGiveTheSettingsTheirLettersChoose) {
  struct Case {
    std::vector<const char*> args;
    int32_t band, scaleFactor;
    SampleFormat format;
    TimeBase timeBase;
    Rotation rotation;
    BudgetUnit budget = NoBudget;
  };
  const Case cases[] = {
      {{"3"}, 3, 16, Pcm16, Utc, Hour},
      {{"7100", "24", "hq"}, 7100, 24, Pcm16, Utc, QuarterHour},
      {{"3", "0", "QH"}, 3, 0, Pcm16, Utc, HalfHour},
      {{"3", "16", "C"}, 3, 16, Pcm16ShortFmt, Utc, Hour},
      {{"3", "-1", "C"}, 3, -1, Pcm24Extensible, Utc, Hour},
      {{"3", "-2", "lc", "500G"}, 3, -2, Pcm24Plain, LocalTime, Hour, Gigabytes},
      {{"3", "16", "-", "72h", "more"}, 3, 16, Pcm16, Utc, Hour, Hours},
      {{"3", "16", "x", "72h"}, 3, 16, Pcm16, Utc, Hour, Hours},
      {{"3", "16", "--"}, 3, 16, Pcm16, Utc, Hour},
      {{"3", "16", "CX"}, 3, 16, Pcm16ShortFmt, Utc, Hour},
      {{"3", "16", "q-1!h"}, 3, 16, Pcm16, Utc, HalfHour},
  };
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  for (const Case& c : cases) {
    std::vector<const char*> argv = {"VEXA_File"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    RecorderSettings s;
    ASSERT_TRUE(ParseCommandLine(int(argv.size()), const_cast<char**>(argv.data()), &s));
    std::string what = c.args.size() > 2 ? c.args[2] : c.args.back();
    EXPECT_EQ(c.band, s.band) << what;
    EXPECT_EQ(c.scaleFactor, s.scaleFactor) << what;
    EXPECT_EQ(c.format, s.format) << what;
    EXPECT_EQ(c.timeBase, s.timeBase) << what;
    EXPECT_EQ(c.rotation, s.rotation) << what;
    EXPECT_EQ(c.budget, s.budget.unit) << what;
  }
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  EXPECT_NE(std::string::npos, out.find("\nWav files are in 24-bit format\n"
                                        "Flag C has no effect on 24-bit files\n"))
      << out;
  // "x", "-" and "--" print the scale factor only; "q-1!h" its two letters.
  EXPECT_NE(std::string::npos, out.find("Scale factor = 16 bits\n"
                                        "Scale factor = 16 bits\n"
                                        "Scale factor = 16 bits\n"
                                        "16-bit files with a 16-byte fmt chunk\n"
                                        "Scale factor = 16 bits\n"
                                        "One file per quarter of hour\n"
                                        "One file per half of hour\n"))
      << out;
}

// A budget that is no number with its unit is refused: the recorder must not
// delete otherwise than asked.
TEST(CommandLine, ABadBudgetIsRefused) {
  const std::vector<const char*> cases[] = {{"3", "16", "C", "500"}, {"3", "16", "-", "0h"}};
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  for (const std::vector<const char*>& args : cases) {
    std::vector<const char*> argv = {"VEXA_File"};
    argv.insert(argv.end(), args.begin(), args.end());
    RecorderSettings s;
    EXPECT_FALSE(ParseCommandLine(int(argv.size()), const_cast<char**>(argv.data()), &s));
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ("Bad Budget (500)\nBad Budget (0h)\n", testing::internal::GetCapturedStderr());
}

TEST(ConsoleEvents, OnlyTheThreeStopEventsAreHandled) {
  ClearStopRequest();
  testing::internal::CaptureStdout();
  EXPECT_FALSE(OnConsoleEvent(CTRL_LOGOFF_EVENT));
  EXPECT_FALSE(StopRequested());
  EXPECT_TRUE(OnConsoleEvent(CTRL_BREAK_EVENT));
  EXPECT_EQ("\nCtrl+Break event!\n", testing::internal::GetCapturedStdout());
  EXPECT_TRUE(StopRequested());
  ClearStopRequest();
}

// The system ends the process as soon as a console-close handler returns, so the
// handler must hold on until the main thread has completed the last file.
TEST(ConsoleEvents, ConsoleCloseWaitsUntilTheLastFileIsComplete) {
  ClearStopRequest();
  ASSERT_TRUE(InstallStopHandler());
  testing::internal::CaptureStdout();
  std::atomic<bool> returned{false};
  std::thread handler([&returned] {
    OnConsoleEvent(CTRL_CLOSE_EVENT);
    returned = true;
  });
  for (int i = 0; i < 3000 && !StopRequested(); i++) Sleep(1);
  Sleep(50);
  EXPECT_FALSE(returned) << "the process would end before the file is complete";
  RemoveStopHandler();
  handler.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ("\nConsole closing event!\n", testing::internal::GetCapturedStdout());
  ClearStopRequest();
}

struct LoopTest : ::testing::Test {
  FakeDisk disk;
  Publisher pub;
  BandChannel ch;
  Recording r;
  static WavWriter w;

  void SetUp() override {
    InstallFakes(disk);
    g_fakeNow = UtcTime(2015, 3, 3, 9, 30, 0);
    ClearStopRequest();
    ASSERT_TRUE(PublisherCreate(pub, kBand, 192000, kBlock, 7050000, 1 << 20));
    ChannelInit(ch);
    char name[kBandNameSize];
    BandName(kBand, name);
    ASSERT_TRUE(Open(ch, name));
    r = Recording{&ch, &w, {}, kBand, 16, false, {}, {}};
    ASSERT_TRUE(AllocateBlockBuffers(r.buffers, kBlock));
  }
  void TearDown() override {
    CloseFile(w);
    FreeBlockBuffers(r.buffers);
    Close(ch);
    PublisherClose(pub);
    RemoveFakes();
    ClearStopRequest();
    g_keyPressed = KeyWaiting;
  }
  void Publish(int blocks) {
    std::vector<float> iq(kBlock * 2);
    for (int i = 0; i < blocks; i++) {
      CounterPattern(pub.samplesWritten, kBlock, iq.data());
      PublisherWrite(pub, iq.data(), kBlock);
    }
  }
  // Runs the loop until the files have grown to `bytes` in all, then asks it to
  // stop and waits for it: the publisher is silent by then, so only a loop that
  // hears the request without a signal ends.
  void RecordUntil(uint64_t bytes) {
    std::thread loop([this] { CaptureLoop(r); });
    // Bounded, so a loop that never writes fails the checks below instead of
    // hanging the run.
    for (int i = 0; i < 3000 && disk.bytesWritten < bytes; i++) Sleep(10);
    OnConsoleEvent(CTRL_C_EVENT);
    loop.join();
    CloseFile(w);
  }
  // The band at its pace: `blocks` blocks (a multiple of 3, which last 16 ms)
  // come as the time they take passes.
  void Deliver(int blocks) {
    AdvanceFakeTime(blocks / 3 * 16);
    Publish(blocks);
  }
  // What a restarted publisher does: the same mapping (the reader holds it), new
  // header values, WritePos 0 and the counter from 0.
  void Restart(int32_t sampleRate, int32_t ringBytes) {
    PublisherClose(pub);
    ASSERT_TRUE(PublisherCreate(pub, kBand, sampleRate, 512, 14074000, ringBytes));
  }
  static bool (*KeyWaiting)();
};
WavWriter LoopTest::w;
bool (*LoopTest::KeyWaiting)() = g_keyPressed;

// After a burst, one wake-up takes every block there is: a loop that took one
// block per wake-up would fall behind for good with every missed signal.
TEST_F(LoopTest, OneWakeUpTakesTheWholeBurstAndTheLoopStopsWhileTheBandIsSilent) {
  ::Setup(w, Pcm16, 192000, 7050000, kBand, Utc, Hour);
  Publish(5);  // all before the wait, so they come from one signal
  testing::internal::CaptureStdout();
  EXPECT_TRUE(CapturePass(r));
  EXPECT_EQ(218u + 5 * kBlock * 4, disk.bytesWritten.load());
  Publish(2);
  RecordUntil(218 + 7 * kBlock * 4);
  EXPECT_EQ("\nB21_20150303_093000_7050kHz.wav \nCtrl+C event!\n",
            testing::internal::GetCapturedStdout());
  ASSERT_EQ(1u, disk.files.size());
  const std::vector<uint8_t>& b = disk.files[0].bytes;
  ASSERT_EQ(218u + 7 * kBlock * 4, b.size());
  for (int k = 0; k < 7 * kBlock; k++) {
    ASSERT_EQ(k - 32768, int16_t(Le16(b, 218 + 4 * k))) << "I of sample " << k;
    ASSERT_EQ(32767 - k, int16_t(Le16(b, 220 + 4 * k))) << "Q of sample " << k;
  }
}

int g_keyLooks;  // how often the loop asked the keyboard

// A key already waiting when the recording would start ends it with no file.
// Under overload the loop may never run out of blocks: a key press must still
// end it soon, as it looks after each 100 ms of work (here 30 ms a block), and
// not before every block, which would cost more than the block.
TEST_F(LoopTest, AKeyPressedBeforeTheFirstBlockOrDuringACatchUpEndsTheRecording) {
  ::Setup(w, Pcm16, 192000, 7050000, kBand, Utc, Hour);
  g_keyPressed = [] { return ++g_keyLooks > 0; };
  Publish(100);
  CaptureLoop(r);
  EXPECT_TRUE(disk.files.empty());
  g_keyLooks = 0;
  g_keyPressed = [] { return ++g_keyLooks > 0 && g_disk->bytesWritten > 218; };
  g_clock.tickMs = [] { return ULONGLONG(g_disk->bytesWritten / (kBlock * 4) * 30); };
  testing::internal::CaptureStdout();
  EXPECT_FALSE(CapturePass(r));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(218u + 4 * kBlock * 4, disk.bytesWritten.load());
  EXPECT_EQ(2, g_keyLooks);  // after 120 ms, and at the end of the pass
}

// A restarted publisher: the file so far is completed, and the next one holds
// only blocks of the new publisher and carries the values it announces. A
// restart as a band not in use records nothing until the band is back, which
// the publisher may announce in place, by its rate alone.
TEST_F(LoopTest, ARestartedBandCompletesTheFileAndTheNextCarriesTheNewValues) {
  ::Setup(w, Pcm16, 192000, 7050000, kBand, Utc, Hour);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  Publish(3);
  EXPECT_TRUE(CapturePass(r));
  Restart(0, 1 << 19);
  Publish(1);
  EXPECT_TRUE(CapturePass(r));  // the resync, and nothing from the restarted band
  Publish(1);
  EXPECT_TRUE(CapturePass(r));  // read, and dropped: the band is not in use
  EXPECT_EQ(1u, disk.createdNames.size());
  g_fakeNow += 5;
  pub.header->SampleRate = 96000;
  Publish(1);
  EXPECT_TRUE(CapturePass(r));
  Publish(2);
  EXPECT_TRUE(CapturePass(r));
  CloseFile(w);
  EXPECT_EQ(
      "\nB21_20150303_093000_7050kHz.wav "
      "\n21 receiver : band re-synchronised, SampleRate=0 BlockInSamples=512 L0=14074000\n"
      "\n21 receiver : band re-synchronised, SampleRate=96000 BlockInSamples=512 L0=14074000\n"
      "\nB21_20150303_093005_14074kHz.wav ",
      testing::internal::GetCapturedStdout());
  EXPECT_EQ("Can't record 21 receiver: SampleRate=0, the band is not in use\n",
            testing::internal::GetCapturedStderr());
  ASSERT_EQ(2u, disk.files.size());
  const std::vector<uint8_t>& before = disk.files[0].bytes;
  EXPECT_EQ(3u * kBlock * 4, Le32(before, 214));
  EXPECT_EQ(192000u, Le32(before, 24));
  EXPECT_EQ(3 * kBlock - 1 - 32768, int16_t(Le16(before, before.size() - 4)));
  const std::vector<uint8_t>& after = disk.files[1].bytes;
  ASSERT_EQ(218u + 3 * kBlock * 4, after.size());
  EXPECT_EQ(96000u, Le32(after, 24));
  EXPECT_EQ(96000u * 4, Le32(after, 28));
  EXPECT_EQ(14074000u, Le32(after, 78));
  for (int k = 0; k < 3 * kBlock; k++) {  // the blocks from the rate on, none dropped
    ASSERT_EQ(2 * kBlock + k - 32768, int16_t(Le16(after, 218 + 4 * k))) << "sample " << k;
  }
}

// A file's auxi time at `at` in milliseconds; a 16-bit file's start is at 46,
// its stop at 62.
int64_t AuxiMs(const std::vector<uint8_t>& b, size_t at) {
  SYSTEMTIME t;
  memcpy(&t, b.data() + at, sizeof t);
  FILETIME f;
  EXPECT_TRUE(SystemTimeToFileTime(&t, &f));
  return int64_t((uint64_t(f.dwHighDateTime) << 32 | f.dwLowDateTime) / 10000);
}

// A receiver that stalls for 3 s and goes on at its pace: the file ends with the
// last sample before the stall and the next begins with the first after, each
// with auxi times that span its own samples, and the counter runs on across the
// two. The pass after the stall finds 60 blocks at once (as after a look-up a
// second late): the new file is dated back to when the first of them came.
TEST_F(LoopTest, AStalledReceiverEndsTheFileAndTheNextBeginsAfterTheStall) {
  ::Setup(w, Pcm16, 192000, 7050000, kBand, Utc, Hour);
  testing::internal::CaptureStdout();
  for (int pass = 0; pass < 3; pass++) {
    Deliver(30);
    EXPECT_TRUE(CapturePass(r));
  }
  for (int look = 0; look < 3; look++) {
    EXPECT_TRUE(CapturePass(r));  // nothing, 0, 1 and 2 s after the last block
    AdvanceFakeTime(1000);
  }
  for (int blocks : {60, 30}) {
    Deliver(blocks);
    EXPECT_TRUE(CapturePass(r));
  }
  CloseFile(w);
  EXPECT_EQ(
      "\nB21_20150303_093000_7050kHz.wav "
      "\nB21_20150303_093004_7050kHz.wav "
      "\n21 receiver : no data from the receiver for 3.0 s from 2015-03-03 09:30:00 UTC\n",
      testing::internal::GetCapturedStdout());
  ASSERT_EQ(2u, disk.files.size());
  int next = 0;
  for (const FakeFile& f : disk.files) {
    const std::vector<uint8_t>& b = f.bytes;
    int samples = int(b.size() - 218) / 4;
    EXPECT_EQ(90 * kBlock, samples) << f.name;
    double span = double(AuxiMs(b, 62) - AuxiMs(b, 46)) / 1000;
    EXPECT_NEAR(samples / 192000.0, span, 0.5) << f.name;
    for (int k = 0; k < samples; k++, next++) {
      ASSERT_EQ(int16_t(next - 32768), int16_t(Le16(b, 218 + 4 * k))) << f.name << " sample " << k;
    }
  }
  // From the last block before to the first after: the stall and one block.
  EXPECT_EQ(3006, AuxiMs(disk.files[1].bytes, 46) - AuxiMs(disk.files[0].bytes, 62));
}

// Only what the looks saw counts: a silence of 1 s (not more than 1 s beyond
// the block) and a recorder held up for 3 s, whose blocks wait in the ring,
// keep the file; 1.1 s of looks that found nothing end it.
TEST_F(LoopTest, OnlyLooksThatFindNothingForMoreThanASecondBeyondTheBlockEndTheFile) {
  ::Setup(w, Pcm16, 192000, 7050000, kBand, Utc, Hour);
  testing::internal::CaptureStdout();
  Deliver(3);
  EXPECT_TRUE(CapturePass(r));
  EXPECT_TRUE(CapturePass(r));
  AdvanceFakeTime(1000);
  EXPECT_TRUE(CapturePass(r));
  Deliver(3);
  EXPECT_TRUE(CapturePass(r));
  EXPECT_TRUE(CapturePass(r));
  AdvanceFakeTime(3000);
  Deliver(3);
  EXPECT_TRUE(CapturePass(r));
  EXPECT_EQ(1u, disk.createdNames.size());
  EXPECT_TRUE(CapturePass(r));
  AdvanceFakeTime(1100);
  EXPECT_TRUE(CapturePass(r));
  Deliver(3);
  EXPECT_TRUE(CapturePass(r));
  EXPECT_EQ(2u, disk.createdNames.size());
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find(
                                   "\n21 receiver : no data from the receiver for 1.1 s from "
                                   "2015-03-03 09:30:04 UTC\n"));
}

// The files' own times: each spans its samples, and the counter runs on from
// one file into the next.
void ExpectTrueTimesAndNoSampleLost(const std::vector<FakeFile>& files, double rate) {
  int next = 0;
  for (const FakeFile& f : files) {
    const std::vector<uint8_t>& b = f.bytes;
    int samples = int(b.size() - 218) / 4;
    double span = double(AuxiMs(b, 62) - AuxiMs(b, 46)) / 1000;
    EXPECT_NEAR(samples / rate, span, 0.5) << f.name;
    for (int k = 0; k < samples; k++, next++) {
      ASSERT_EQ(int16_t(next - 32768), int16_t(Le16(b, 218 + 4 * k))) << f.name << " sample " << k;
    }
  }
}

// The wall clock set forward 60 s, then back 30 s, while the tick clock and the
// band go on at their pace; then a sleep of 60 s that the receiver wakes from
// before the recorder looks again. Each time the file ends with its last block
// and the next starts with the clock's true time, one line says what happened,
// and no sample is lost or repeated.
TEST_F(LoopTest, AClockSetEitherWayOrASleepEndsTheFileAndTheNextHasTrueTimes) {
  ::Setup(w, Pcm16, 192000, 7050000, kBand, Utc, Hour);
  testing::internal::CaptureStdout();
  auto passes = [this] {
    for (int pass = 0; pass < 3; pass++) {
      Deliver(30);
      EXPECT_TRUE(CapturePass(r));
    }
  };
  passes();
  g_fakeNow += 60;
  g_fakeClockSetMs += 60000;
  passes();
  g_fakeNow -= 30;
  g_fakeClockSetMs -= 30000;
  passes();
  g_fakeNow += 60;
  g_fakeSleptMs += 60000;
  passes();
  CloseFile(w);
  EXPECT_EQ(
      "\nB21_20150303_093000_7050kHz.wav "
      "\n21 receiver : the PC's clock was set forward by 60.0 s, to 2015-03-03 09:31:00 UTC\n"
      "\nB21_20150303_093100_7050kHz.wav "
      "\n21 receiver : the PC's clock was set back by 30.0 s, to 2015-03-03 09:30:31 UTC\n"
      "\nB21_20150303_093031_7050kHz.wav "
      "\nB21_20150303_093131_7050kHz.wav "
      "\n21 receiver : no data from the receiver for 60.0 s from 2015-03-03 09:30:31 UTC: the "
      "PC slept for 60.0 s\n",
      testing::internal::GetCapturedStdout());
  ASSERT_EQ(4u, disk.files.size());
  ExpectTrueTimesAndNoSampleLost(disk.files, 192000);
  // The file after the sleep starts when its first block came, 60 s after the last before it.
  EXPECT_NEAR(
      60.0, double(AuxiMs(disk.files[3].bytes, 46) - AuxiMs(disk.files[2].bytes, 62)) / 1000, 0.02);
}

// A band of 48000 samples/s in blocks of 65536, 1.37 s each, at its pace, each
// block found by the look after one that found nothing just before it came: a
// silence no longer than the band's block is no stall. One file, no line.
TEST_F(LoopTest, ABandWhoseBlocksLastOverASecondKeepsOneFile) {
  const int32_t block = 65536;
  Close(ch);
  PublisherClose(pub);
  ASSERT_TRUE(PublisherCreate(pub, kBand, 48000, block, 7050000, 4 * block * kSampleBytes));
  char name[kBandNameSize];
  BandName(kBand, name);
  ASSERT_TRUE(Open(ch, name));
  FreeBlockBuffers(r.buffers);
  ASSERT_TRUE(AllocateBlockBuffers(r.buffers, block));
  ::Setup(w, Pcm16, 48000, 7050000, kBand, Utc, Hour);
  std::vector<float> iq(block * 2);
  testing::internal::CaptureStdout();
  const int blocks = 5;
  for (int i = 0; i < blocks; i++) {
    AdvanceFakeTime(1350);
    EXPECT_TRUE(CapturePass(r));            // nothing yet
    AdvanceFakeTime(i % 3 == 2 ? 16 : 15);  // 65536 / 48000 s in all
    CounterPattern(pub.samplesWritten, block, iq.data());
    PublisherWrite(pub, iq.data(), block);
    EXPECT_TRUE(CapturePass(r));
  }
  CloseFile(w);
  EXPECT_EQ("\nB21_20150303_093001_7050kHz.wav ", testing::internal::GetCapturedStdout());
  ASSERT_EQ(1u, disk.files.size());
  EXPECT_EQ(uint64_t(blocks) * block * 4, Le32(disk.files[0].bytes, 214));
}

// A day of looks once a second with a wall clock that gains 50 ppm on the tick
// clock (4.3 s in all) tells nothing; a clock set forward 60 s or back 30 s, and
// a sleep of 60 s, each tell what they were.
TEST(ClockWatch, ADriftIsNothingAndASetOrASleepIsToldOnce) {
  FakeDisk disk;
  InstallFakes(disk);
  g_fakeNow = UtcTime(2015, 3, 3, 0, 0, 0);
  ClockWatch c = {};
  int64_t gainedUs = 0;
  for (int look = 0; look < 86400; look++) {
    ClockChange change = WatchClocks(c);
    ASSERT_EQ(0, change.sleptMs) << look;
    ASSERT_EQ(0, change.setMs) << look;
    AdvanceFakeTime(1000);
    gainedUs += 50;
    if (gainedUs >= 1000) {  // the wall clock alone gains a millisecond
      AdvanceFakeTime(1);
      g_fakeClockSetMs += 1;
      gainedUs -= 1000;
    }
  }
  EXPECT_EQ(4320, g_fakeClockSetMs);
  EXPECT_EQ(0, WatchClocks(c).setMs);
  struct Step {
    int64_t wallS, tickS, sleptS;
    int64_t told[2];  // slept, set
  };
  const Step steps[] = {{60, 0, 0, {0, 60000}},
                        {-30, 0, 0, {0, -30000}},
                        {60, 60, 60, {60000, 0}},
                        {1, 1, 0, {0, 0}}};
  for (const Step& step : steps) {
    g_fakeNow += step.wallS;
    g_fakeClockSetMs += (step.wallS - step.tickS) * 1000;
    g_fakeSleptMs += step.sleptS * 1000;
    ClockChange change = WatchClocks(c);
    EXPECT_EQ(step.told[0], change.sleptMs) << step.wallS;
    EXPECT_EQ(step.told[1], change.setMs) << step.wallS;
  }
  RemoveFakes();
}

// The overrun is counted by the reads of the pass that reports it: the line says
// what was lost, and the next file begins after the gap.
TEST_F(LoopTest, ARingLostUnderTheRecorderIsReportedWithWhatWasLost) {
  ::Setup(w, Pcm16, 192000, 7050000, kBand, Utc, Hour);
  Close(ch);  // a channel that takes no burst for a jump: only the position shows the lap
  SetEnvironmentVariableA("VEXA_PUBLISHER_SPEEDUP", "1000");
  ChannelInit(ch);
  SetEnvironmentVariableA("VEXA_PUBLISHER_SPEEDUP", nullptr);
  char name[kBandNameSize];
  BandName(kBand, name);
  ASSERT_TRUE(Open(ch, name));
  testing::internal::CaptureStdout();
  Publish(2);
  EXPECT_TRUE(CapturePass(r));
  Publish(127);
  std::vector<float> half(kBlock);
  PublisherWrite(pub, half.data(), kBlock / 2);  // 127.5 blocks unread in a ring of 128
  EXPECT_TRUE(CapturePass(r));
  Publish(1);
  EXPECT_TRUE(CapturePass(r));
  CloseFile(w);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(0u, out.find("\nB21_20150303_093000_7050kHz.wav "
                         "\n21 receiver : fell a ring behind at 2015-03-03 09:30:00 UTC, about "))
      << out;
  EXPECT_EQ(std::string::npos, out.find("re-synchronised")) << out;
  EXPECT_EQ(2u, disk.files.size());
}

TEST_F(LoopTest, TwentyFourBitBlocksKeepTheValueShiftedBy8) {
  ::Setup(w, Pcm24Extensible, 192000, 7050000, kBand, Utc, Hour);
  Publish(2);
  testing::internal::CaptureStdout();
  RecordUntil(240 + 2 * kBlock * 6);
  testing::internal::GetCapturedStdout();
  const std::vector<uint8_t>& b = disk.files[0].bytes;
  for (int k = 0; k < 2 * kBlock; k += 97) {
    int32_t i = int32_t(Le32(b, 240 + 6 * k) << 8) >> 8;
    EXPECT_EQ((k - 32768) * 256, i) << "sample " << k;
  }
}

}  // namespace
