// The spool against a simulated receiver whose every sample has a known true
// time: where cycles begin, what they hold, which are not written and why.
#include <gtest/gtest.h>

#include <math.h>

#include <string>
#include <vector>

#include "budget.h"
#include "console_queue.h"
#include "fakes.h"
#include "spool.h"
#include "spool_command_line.h"
#include "spool_file.h"

namespace {

const double kBandRate = 48000;
const int32_t kBlock = 4800;  // 100 ms, 1200 audio samples
const int kAudioPerBlock = kBlock / 4;
const int kValues = 30000;  // audio sample a holds a % kValues

// A receiver publishing blocks at its own pace (scale > 1: slower than its
// nominal rate) and the recorder's looks at them. Times are true UTC in ms;
// the tick clock is UTC less tickBase, until the wall clock is stepped.
struct Station {
  Spool sp;
  double startMs;  // true UTC of audio sample 0
  double scale = 1;
  int64_t published = 0, read = 0;
  double tickBase = 1.5e12;
  double wallStepMs = 0;
  double pausedMs = 0;  // the receiver delivered nothing for this long, once

  explicit Station(double start, int32_t seconds = 15, uint64_t budget = 0) : startMs(start) {
    SpoolSetup(sp, seconds, kBandRate, budget);
  }
  double BlockEndMs(int64_t k) const {
    return startMs + pausedMs + double(k + 1) * kBlock * 1000.0 / kBandRate * scale;
  }
  ULONGLONG Tick(double trueMs) const { return ULONGLONG(llround(trueMs - tickBase)); }
  int64_t Utc(double trueMs) const { return llround(trueMs + wallStepMs); }
  // One pass at true time `at` that takes every block published by then.
  void Pass(double at) {
    SpoolPassStart(sp, Tick(at), Utc(at));
    int16_t audio[kAudioPerBlock];
    for (; read < published; read++) {
      SpoolBlock(sp, kBlock, Tick(at));
      for (int i = 0; i < kAudioPerBlock; i++)
        audio[i] = int16_t((read * kAudioPerBlock + i) % kValues);
      SpoolAudio(sp, audio, kAudioPerBlock);
    }
    SpoolPassEnd(sp, Tick(at), Utc(at), true);
  }
  // Publishes until true time `until`, with a look at each block unless the
  // recorder is held up from heldFrom to heldTo (it then looks once, at heldTo).
  void Run(double until, double heldFrom = 0, double heldTo = 0) {
    while (BlockEndMs(published) <= until) {
      double at = BlockEndMs(published);
      if (heldTo > 0 && at >= heldTo && read < published) Pass(heldTo);
      published++;
      if (at >= heldFrom && at < heldTo) continue;
      Pass(at);
    }
  }
  // The true time of audio sample a (before any pause).
  double TrueMs(int64_t a) const { return startMs + double(a) * 1000.0 / kSpoolRate * scale; }
};

std::string ErrorTextOf(DWORD error) {
  char text[256];
  ErrorText(error, text, sizeof text);
  return text;
}

std::vector<int16_t> Samples(const FakeFile& f) {
  std::vector<int16_t> s((f.bytes.size() - kSpoolHeaderBytes) / 2);
  for (size_t i = 0; i < s.size(); i++) s[i] = int16_t(Le16(f.bytes, kSpoolHeaderBytes + 2 * i));
  return s;
}

class SpoolTest : public testing::Test {
 protected:
  void SetUp() override {
    InstallFakes(disk);
    testing::internal::CaptureStdout();
  }
  void TearDown() override {
    if (!captured) testing::internal::GetCapturedStdout();
    RemoveFakes();
  }
  std::string Output() {
    captured = true;
    return testing::internal::GetCapturedStdout();
  }
  // The file holds the 44-byte header of a whole cycle and consecutive samples
  // from the one whose true time is the cycle's start.
  void ExpectCycle(const Station& st, const std::string& name, double startMs) {
    FakeFile* f = FindFile(name);
    ASSERT_NE(nullptr, f) << name;
    EXPECT_FALSE(f->removed);
    const int64_t samples = int64_t(st.sp.seconds) * kSpoolRate;
    ASSERT_EQ(kSpoolHeaderBytes + uint64_t(samples) * 2, f->size) << name;
    EXPECT_EQ(0, memcmp(f->bytes.data(), "RIFF", 4));
    EXPECT_EQ(36 + samples * 2, Le32(f->bytes, 4));
    EXPECT_EQ(0, memcmp(f->bytes.data() + 8, "WAVEfmt ", 8));
    EXPECT_EQ(16u, Le32(f->bytes, 16));
    EXPECT_EQ(1, Le16(f->bytes, 20));  // PCM
    EXPECT_EQ(1, Le16(f->bytes, 22));  // mono
    EXPECT_EQ(12000u, Le32(f->bytes, 24));
    EXPECT_EQ(24000u, Le32(f->bytes, 28));
    EXPECT_EQ(2, Le16(f->bytes, 32));
    EXPECT_EQ(16, Le16(f->bytes, 34));
    EXPECT_EQ(0, memcmp(f->bytes.data() + 36, "data", 4));
    EXPECT_EQ(uint32_t(samples * 2), Le32(f->bytes, 40));
    std::vector<int16_t> s = Samples(*f);
    ASSERT_FALSE(s.empty());
    int64_t first = s[0];  // the index, up to a multiple of kValues
    int64_t expected = int64_t(ceil((startMs - st.startMs) * kSpoolRate / 1000.0 / st.scale));
    first += (expected - first + kValues / 2) / kValues * kValues;
    EXPECT_NEAR(st.TrueMs(first), startMs, 1.0) << name;  // the tick clock counts ms
    for (size_t i = 1; i < s.size(); i++) {
      if (s[i] != int16_t((first + int64_t(i)) % kValues)) {
        ADD_FAILURE() << name << ": sample " << i << " is " << s[i];
        break;
      }
    }
  }
  FakeDisk disk;
  bool captured = false;
};

const double kStart = double(UtcTime(2026, 3, 10, 9, 30, 7)) * 1000 + 250;

// A publisher 200 ppm slower than its rate, a recorder held up for 1.5 s and
// catching up in one pass: each file still starts at the sample of its UTC
// boundary and holds exactly one cycle; the incomplete first cycle and the one
// not yet whole at the end are not written; nothing temporary is left.
TEST_F(SpoolTest, CyclesStartAtTheirBoundaryByTheSamplesTime) {
  Station st(kStart);
  st.scale = 1.0002;
  double t15 = double(UtcTime(2026, 3, 10, 9, 30, 15)) * 1000;
  st.Run(t15 + 60200, t15 + 20000, t15 + 21500);
  SpoolClose(st.sp);
  SpoolClose(st.sp);
  EXPECT_EQ((std::vector<std::string>{"260310_093015.wav", "260310_093030.wav", "260310_093045.wav",
                                      "260310_093100.wav"}),
            disk.Present());
  for (int k = 0; k < 4; k++) {
    char name[kSpoolNameSize];
    SpoolFileName(int64_t(t15) + k * 15000, name);
    ExpectCycle(st, name, t15 + k * 15000);
  }
  EXPECT_EQ("\n260310_093015.wav\n260310_093030.wav\n260310_093045.wav\n260310_093100.wav",
            Output());
  for (const std::string& n : disk.createdNames) EXPECT_NE(std::string::npos, n.find(".wav.part"));
}

// A stall of the receiver, a lap, a restart and a clock step each cost the
// cycle they fall in, with one line naming it and why; a cycle waiting when
// the break is seen goes too, and the cycles after each are on their
// boundaries again, by the new time. A name that is taken (the clock went back)
// is never written over.
TEST_F(SpoolTest, CyclesWithABreakInThemAreNotWritten) {
  Station st(kStart);
  double t15 = double(UtcTime(2026, 3, 10, 9, 30, 15)) * 1000;
  st.Run(t15 + 20000);
  st.pausedMs = 3000;  // from 09:30:35 the band comes 3 s late
  st.Run(t15 + 50000);
  ExpectCycle(st, "260310_093015.wav", t15);
  st.startMs += st.pausedMs;
  st.pausedMs = 0;
  ExpectCycle(st, "260310_093045.wav", t15 + 30000);
  SpoolBreak(st.sp, kSpoolLap, 96000);
  st.Run(t15 + 80000);
  st.wallStepMs = -30000;  // at 09:31:35 the clock goes back 30 s
  st.Run(t15 + 130000);
  SpoolClose(st.sp);
  EXPECT_EQ(
      "\n260310_093015.wav"
      "\n260310_093030.wav not written: no data from the receiver for 3.0 s"
      "\n260310_093045.wav"
      "\n260310_093100.wav not written: the recorder fell a ring behind, about 96000 samples lost"
      "\n260310_093115.wav"
      "\n260310_093130.wav not written: the clock was set -30.0 s"
      "\n260310_093115.wav not written: can't rename 260310_093115.wav.part: " +
          ErrorTextOf(ERROR_ALREADY_EXISTS) + "\n260310_093130.wav",
      Output());
  ExpectCycle(st, "260310_093115.wav", t15 + 60000);
  ExpectCycle(st, "260310_093130.wav", t15 + 105000);
}

// A cycle file that can't be created or renamed is said once and the next is
// written; a budget (here three files, the one being written and one waiting
// for its name included) deletes the oldest cycle files, never other files,
// and leftovers of a killed run go at the start.
TEST_F(SpoolTest, FailuresAndTheBudgetTouchOnlyCycleFiles) {
  PutFile("B3_20260310_090000_7050kHz.wav", 1000);
  PutFile("260310_090000.wav", SpoolFileBytes(5));
  PutFile("260310_090005.wav", SpoolFileBytes(5));
  PutFile("260310_092955.wav.part", 500);
  PutFile("notes.wav.part", 500);
  SpoolRemoveLeftovers();
  Station st(kStart, 5, SpoolFileBytes(5) * 3);
  disk.createsToFail = 1;
  double t10 = double(UtcTime(2026, 3, 10, 9, 30, 10)) * 1000;
  st.Run(t10 + 5000 + 100);
  disk.renamesToFail = 1;
  st.Run(t10 + 10000 + 100);
  st.Run(t10 + 20000 + 100);
  SpoolClose(st.sp);
  std::string denied = ErrorTextOf(ERROR_ACCESS_DENIED);
  EXPECT_EQ("\n260310_093010.wav not written: can't create 260310_093010.wav.part: " + denied +
                "\nBudget 0.000 GB: deleted 260310_090000.wav (0.000 GB)"
                "\n260310_093015.wav not written: can't rename 260310_093015.wav.part: " +
                denied +
                "\n260310_093020.wav"
                "\nBudget 0.000 GB: deleted 260310_090005.wav (0.000 GB)"
                "\n260310_093025.wav",
            Output());
  EXPECT_EQ((std::vector<std::string>{"B3_20260310_090000_7050kHz.wav", "notes.wav.part",
                                      "260310_093020.wav", "260310_093025.wav"}),
            disk.Present());
  ExpectCycle(st, "260310_093025.wav", t10 + 15000);
}

TEST(SpoolNames, CyclesAndNamesAreTheDecodersOnes) {
  for (int32_t s : {5, 15, 30, 60, 120, 600, 3600}) EXPECT_TRUE(SpoolCycleValid(s)) << s;
  for (int32_t s : {-15, 0, 4, 7, 14, 3599, 7200}) EXPECT_FALSE(SpoolCycleValid(s)) << s;
  char name[kSpoolNameSize];
  SpoolFileName(UtcTime(2026, 12, 31, 23, 59, 45) * 1000, name);
  EXPECT_STREQ("261231_235945.wav", name);
  uint64_t order = 0;
  EXPECT_TRUE(SpoolFileOrder("261231_235945.wav", &order));
  EXPECT_EQ(261231235945u, order);
  for (const char* other : {"261231_235945.wav.part", "B3_20260310_093000_7050kHz.wav",
                            "2612312_35945.wav", "261231_23594.wav", "261231-235945.wav"})
    EXPECT_FALSE(SpoolFileOrder(other, &order)) << other;
  SYSTEMTIME t = {2026, 3, 2, 10, 9, 30, 15, 125};
  EXPECT_EQ(UtcTime(2026, 3, 10, 9, 30, 15) * 1000 + 125, UtcMs(t));
}

}  // namespace

namespace {

struct Parsed {
  bool ok;
  SpoolSettings s;
  std::string out, err;
};

Parsed Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "VEXA_File");
  Parsed p;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  p.ok = ParseSpoolCommandLine(int(args.size()), const_cast<char**>(args.data()), &p.s);
  p.out = testing::internal::GetCapturedStdout();
  p.err = testing::internal::GetCapturedStderr();
  return p;
}

// The channel's options in any order, each once and with its value; every
// wrong one says what is expected, and nothing is taken for what it is not.
TEST(SpoolCommandLine, TakesTheChannelAndRefusesWhatIsWrongClearly) {
  const char* argv[] = {"VEXA_File", "3", "--demod", "usb"};
  EXPECT_TRUE(WantsChannel(4, const_cast<char**>(argv)));
  const char* iq[] = {"VEXA_File", "3", "16", "-", "500G"};
  EXPECT_FALSE(WantsChannel(5, const_cast<char**>(iq)));

  Parsed p = Parse({"14074", "--spool", "120", "--freq", "14095600", "--demod", "USB", "--width",
                    "2800", "--budget", "2G"});
  ASSERT_TRUE(p.ok) << p.err;
  EXPECT_EQ(14074, p.s.band);
  EXPECT_EQ(kDemodUsb, p.s.mode);
  EXPECT_EQ(14095600, p.s.freqHz);
  EXPECT_EQ(120, p.s.seconds);
  EXPECT_EQ(2800, p.s.widthHz);
  EXPECT_EQ(Gigabytes, p.s.budget.unit);
  EXPECT_EQ("Channel: USB at 14095600 Hz, one 120 s file of 12000 Hz mono 16-bit audio per cycle\n",
            p.out);
  EXPECT_EQ("", p.err);

  struct Case {
    std::vector<const char*> args;
    const char* err;
  } cases[] = {
      {{"x", "--demod", "usb"}, "Bad BandNr|Frequency_in_band_in_kHz (x)\n"},
      {{"3", "--demod", "ssb", "--freq", "7074000", "--spool", "15"},
       "Bad --demod (ssb): usb, lsb, cw, am or fm\n"},
      {{"3", "--demod", "usb", "--freq", "7074k", "--spool", "15"},
       "Bad --freq (7074k): the channel's frequency in Hz (the dial for usb and lsb)\n"},
      {{"3", "--demod", "usb", "--freq", "7074000", "--spool", "7"},
       "Bad --spool (7): whole seconds from 5 to 3600 that divide 3600 (15 for FT8, 120 for "
       "WSPR)\n"},
      {{"3", "--demod", "usb", "--freq", "7074000", "--spool", "15.0"},
       "Bad --spool (15.0): whole seconds from 5 to 3600 that divide 3600 (15 for FT8, 120 for "
       "WSPR)\n"},
      {{"3", "--demod", "usb", "--freq", "7074000", "--spool", "15", "--width", "9000"},
       "Bad --width (9000): 200 to 5000 Hz for USB\n"},
      {{"3", "--demod", "usb", "--freq", "7074000", "--spool", "15", "--budget", "2"},
       "Bad --budget (2): decimal GB (500G) or hours (72h) of this channel's files\n"},
      {{"3", "--demod", "usb", "--freq", "7074000", "--spool"},
       "Bad --spool (missing): a value must follow it\n"},
      {{"3", "--demod", "usb", "--demod", "lsb"}, "Bad --demod (lsb): given twice\n"},
      {{"3", "--demod", "usb", "--frequency", "7074000"},
       "Unknown option (--frequency): --demod, --freq, --spool, --width or --budget\n"},
      {{"3", "--demod", "usb", "--spool", "15"},
       "A channel needs --demod, --freq and --spool (missing: --freq)\n"},
  };
  for (const Case& c : cases) {
    Parsed bad = Parse(c.args);
    EXPECT_FALSE(bad.ok) << c.err;
    EXPECT_EQ(c.err, bad.err);
    EXPECT_EQ("", bad.out);
  }
}

}  // namespace
