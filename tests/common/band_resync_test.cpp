// How the channel follows a publisher that does not keep to the plain path: one
// that overruns the reader, jumps, restarts, goes quiet or writes in bursts.
#include <gtest/gtest.h>

#include <vector>

#include "channel_fixture.h"

namespace {

// The reader takes nothing it may have lost, says so once, and goes on from WritePos.
void ExpectOverrun(BandChannel& ch, Publisher& pub, int64_t lostAtLeast, int64_t lostAtMost) {
  std::vector<float> iq(2048);
  EXPECT_FALSE(Read(ch, 8192, iq.data()));
  EXPECT_TRUE(TakeResync(ch));
  int64_t lost = TakeOverrun(ch);
  EXPECT_LE(lostAtLeast, lost);
  EXPECT_GE(lostAtMost, lost);
  EXPECT_EQ(0, TakeOverrun(ch));
  EXPECT_EQ(pub.header->WritePos % ch.ringSize, int32_t(ch.readPtr - ch.ringStart));
  std::vector<float> block(2048);
  CounterPattern(pub.samplesWritten, 1024, block.data());
  PublisherWrite(pub, block.data(), 1024);
  ASSERT_TRUE(Read(ch, 8192, iq.data()));
  EXPECT_EQ(iq, block);
}

TEST_F(ChannelTest, PublisherPassingTheReaderIsAnOverrunWithTheSamplesLost) {
  ASSERT_TRUE(Open(ch, name));
  WriteCounter(6 * 1024);
  std::vector<float> iq(2048);
  ASSERT_TRUE(Read(ch, 8192, iq.data()));  // five chunks left behind
  WriteCounter(2 * 1024);                  // the ring less one chunk: still safe
  ASSERT_TRUE(Read(ch, 8192, iq.data()));
  EXPECT_EQ(1024, FirstIndex(iq));
  EXPECT_FALSE(TakeResync(ch));
  WriteCounter(2 * 1024 + 512);  // now it writes over the chunk the reader would take
  ExpectOverrun(ch, pub, 6 * 1024 + 2 * 1024 + 512, 6 * 1024 + 2 * 1024 + 512);
}

TEST_F(ChannelTest, ReaderAwayLongerThanTheRingLastsIsAnOverrunThoughWritePosLooksClose) {
  pub.header->SampleRate = 192000;  // 65536 bytes last 43 ms
  ASSERT_TRUE(Open(ch, name));
  Advance(100);
  WriteCounter(kRing / 8 + 1024);  // a ring and one chunk ahead: the modulo shows one chunk
  ExpectOverrun(ch, pub, kRing / 8 + 1024, INT32_MAX);
}

TEST_F(ChannelTest, BlocksOfMoreThanHalfTheRingAreReadWhole) {
  const int32_t block = 5000;  // 40000 of the ring's 65536 bytes
  pub.header->BlockInSamples = block;
  ASSERT_TRUE(Open(ch, name));
  std::vector<float> iq(2 * block);
  for (int i = 0; i < 5; i++) {
    WriteCounter(block);
    ASSERT_TRUE(Read(ch, block * 8, iq.data())) << i;
    EXPECT_EQ((i * block) % 65536, FirstIndex(iq));
  }
  EXPECT_FALSE(TakeResync(ch));
}

// One look after the reader was away: what the publisher wrote meanwhile is taken
// whole, or skipped and counted.
TEST(LapRules, AReaderAwayTakesWhatIsSafeAndCountsWhatIsNot) {
  const struct {
    const char* what;
    int32_t rate, block, ring, chunk;  // chunk in samples
    ULONGLONG restartWaitMs, awayMs;   // a restart wait: the new ring first, then the wait
    int32_t written;                   // samples, at once
    int32_t lost;                      // -1: every chunk taken
  } cases[] = {
      {"exactly one ring behind", 16000, 1024, 65536, 1024, 0, 600, 8192, 8192},
      {"a 3-block ring read 2 blocks late", 12000, 1024, 24576, 1024, 0, 180, 2048, -1},
      {"a restart wait longer than the ring", 16000, 256, 16384, 256, 300, 10, 256, -1},
      {"a ring under two blocks read late", 16000, 5000, 65536, 5000, 0, 700, 10000, 10000},
      {"several hidden rings", 16000, 1024, 65536, 1024, 0, 2700, 5 * 8192 + 1024, 5 * 8192 + 1024},
      {"chunks smaller than the block", 16000, 2048, 65536, 1024, 0, 300, 7168, 7168},
  };
  ChannelClock saved = g_channelClock;
  g_channelClock.nowMs = FakeClock;
  for (const auto& c : cases) {
    Publisher pub;
    int32_t mapped = c.restartWaitMs > 0 ? 65536 : c.ring;
    ASSERT_TRUE(PublisherCreate(pub, kBand, c.rate, c.block, 7050000, mapped)) << c.what;
    BandChannel ch;
    ChannelInit(ch);
    char name[kBandNameSize];
    BandName(kBand, name);
    ASSERT_TRUE(Open(ch, name));
    std::vector<float> iq(size_t(c.written) * 2);
    pub.ringSize = pub.header->BufferSize = c.ring;  // the restart, when it is one
    EXPECT_FALSE(Read(ch, c.chunk * 8, iq.data()));
    EXPECT_EQ(c.restartWaitMs > 0, TakeResync(ch)) << c.what;
    for (ULONGLONG t = 0; t < c.restartWaitMs; t += 100) {
      Advance(100);
      EXPECT_FALSE(Read(ch, c.chunk * 8, iq.data()));
    }
    Advance(c.awayMs);
    CounterPattern(0, c.written, iq.data());
    PublisherWrite(pub, iq.data(), c.written);
    int32_t taken = 0;
    while (Read(ch, c.chunk * 8, iq.data())) EXPECT_EQ(taken++ * c.chunk, FirstIndex(iq)) << c.what;
    EXPECT_EQ(c.lost >= 0, TakeResync(ch)) << c.what;
    EXPECT_EQ(c.lost >= 0 ? 0 : c.written / c.chunk, taken) << c.what;
    EXPECT_EQ(c.lost >= 0 ? c.lost : 0, TakeOverrun(ch)) << c.what;
    Close(ch);
    PublisherClose(pub);
  }
  g_channelClock = saved;
}

// A slow band with small blocks, so that jumps of WritePos stand out.
struct ResyncTest : ChannelTest {
  static const int32_t kBlock = 256;
  std::vector<float> iq = std::vector<float>(kBlock * 2);

  void SetUp() override {
    ChannelTest::SetUp();
    pub.header->SampleRate = 1000;
    pub.header->BlockInSamples = kBlock;
  }
  // Writes and reads blocks until the reader is at ring offset `offset`.
  void FollowTo(int32_t offset) {
    while (ReadOffset() != offset) {
      WriteCounter(kBlock);
      ASSERT_TRUE(Read(ch, kBlock * 8, iq.data()));
    }
  }
  // What a restarted publisher does: a new header, WritePos 0, the counter from 0.
  void Restart(int32_t ringSize) {
    pub.ringSize = ringSize;
    pub.header->BufferSize = ringSize;
    pub.header->WritePos = 0;
    pub.samplesWritten = 0;
  }
  // The next Read takes nothing, reports one resync and leaves the reader at WritePos.
  void ExpectResync() {
    EXPECT_FALSE(Read(ch, kBlock * 8, iq.data()));
    EXPECT_TRUE(TakeResync(ch));
    EXPECT_FALSE(TakeResync(ch));
    EXPECT_EQ(pub.header->WritePos % ch.ringSize, ReadOffset());
  }
  void ExpectNextBlockFrom(int32_t first) {
    WriteCounter(kBlock);
    ASSERT_TRUE(Read(ch, kBlock * 8, iq.data()));
    EXPECT_EQ(first, FirstIndex(iq));
  }
};

TEST_F(ResyncTest, RestartedOrJumpingPublisherIsFollowedFromItsNewPosition) {
  ASSERT_TRUE(Open(ch, name));
  FollowTo(kRing / 2);
  EXPECT_FALSE(TakeResync(ch));  // a publisher at its pace is never taken for a jump

  Restart(kRing);  // same ring: the old ring's contents must not be replayed
  WriteCounter(kBlock);
  ExpectResync();
  ExpectNextBlockFrom(kBlock);

  // A smaller ring in the same mapping, seen between the publisher's store of the
  // new size and that of WritePos 0: the old WritePos is inside the new ring.
  pub.header->BufferSize = kRing / 4;
  EXPECT_FALSE(Read(ch, kBlock * 8, iq.data()));
  EXPECT_TRUE(TakeResync(ch));
  EXPECT_EQ(kRing / 4, ch.ringSize);
  EXPECT_EQ(ch.ringStart + kRing / 4, ch.ringEnd);
  EXPECT_EQ(0, ReadOffset());
  EXPECT_FALSE(Read(ch, kBlock * 8, iq.data()));  // the old ring's bytes up to it are not new
  Restart(kRing / 4);
  // From the new publisher's start, nothing lost, and it wraps at the new ring's end.
  for (int i = 0; i < 20; i++) ExpectNextBlockFrom(kBlock * i);
  EXPECT_FALSE(TakeResync(ch));

  pub.header->WritePos -= 8;  // a glitch backwards by one sample
  ExpectResync();
}

TEST_F(ResyncTest, AnnouncedSpeedUpWidensTheJumpAllowance) {
  ASSERT_TRUE(Open(ch, name));
  WriteCounter(10 * kBlock);  // ten blocks at once: beyond 1000 samples/s
  ExpectResync();
  Close(ch);
  SetEnvironmentVariableA("VEXA_PUBLISHER_SPEEDUP", "10");
  ChannelInit(ch);
  SetEnvironmentVariableA("VEXA_PUBLISHER_SPEEDUP", nullptr);
  ASSERT_TRUE(Open(ch, name));
  WriteCounter(10 * kBlock);  // within ten times that
  for (int i = 0; i < 10; i++) {
    ASSERT_TRUE(Read(ch, kBlock * 8, iq.data())) << i;
    EXPECT_EQ((10 + i) * kBlock, FirstIndex(iq));
  }
  EXPECT_FALSE(TakeResync(ch));
}

// Long blocks come rarely and in one piece: 16384 samples at 8 kHz, every two
// seconds, 128 KiB at once, which the two blocks of burst slack must cover in bytes.
TEST_F(ChannelTest, LongBlocksOfASlowBandAreNoJump) {
  PublisherClose(pub);
  ASSERT_TRUE(PublisherCreate(pub, kBand, 8000, 16384, 7050000, 1 << 20));
  ASSERT_TRUE(Open(ch, name));
  std::vector<float> iq(16384 * 2);
  for (int i = 0; i < 3; i++) {
    WriteCounter(16384);
    ASSERT_TRUE(Read(ch, 16384 * 8, iq.data())) << i;
    EXPECT_EQ(i * 16384, FirstIndex(iq));
  }
  EXPECT_FALSE(TakeResync(ch));
}

// The band's old publisher is gone and a new one wants a larger ring under the
// same name: it can create it only once the reader lets the old mapping go.
TEST_F(ResyncTest, QuietBandIsLetGoSoAPublisherCanComeBackWithALargerRing) {
  pub.header->BlockInSamples = 2048;  // two seconds a block: six seconds' quiet is allowed
  ASSERT_TRUE(Open(ch, name));
  ExpectNextBlockFrom(0);
  Advance(6000);
  EXPECT_FALSE(Read(ch, kBlock * 8, iq.data()));
  EXPECT_NE(nullptr, ch.view);
  pub.header->BlockInSamples = kBlock;  // a quarter second: six seconds is quiet
  PublisherClose(pub);
  EXPECT_FALSE(PublisherCreate(pub, kBand, 1000, kBlock, 7050000, 4 * kRing));
  EXPECT_TRUE(pub.heldSmaller);
  EXPECT_FALSE(Read(ch, kBlock * 8, iq.data()));
  EXPECT_EQ(nullptr, ch.view);
  EXPECT_TRUE(IsOpen(ch));
  EXPECT_FALSE(TakeResync(ch));
  EXPECT_FALSE(WaitForData(ch, 0));  // the waits go on meanwhile

  ASSERT_TRUE(PublisherCreate(pub, kBand, 1000, kBlock, 7050000, 4 * kRing));
  WriteCounter(2 * kBlock);
  EXPECT_FALSE(Read(ch, kBlock * 8, iq.data()));  // looked up at most once a second
  EXPECT_EQ(nullptr, ch.view);
  Advance(kLookUpAgainMs + 100);
  EXPECT_FALSE(Read(ch, kBlock * 8, iq.data()));
  EXPECT_TRUE(TakeResync(ch));
  EXPECT_EQ(4 * kRing, ch.ringSize);
  // The new ring lasts far longer than the time since the last look: it is read whole.
  ExpectNextBlockFrom(0);
}

TEST_F(ResyncTest, UnalignedWritePosGivesNothingUntilItIsMended) {
  ASSERT_TRUE(Open(ch, name));
  FollowTo(4 * kBlock * 8);
  WriteCounter(kBlock);
  pub.header->WritePos += 4;
  EXPECT_FALSE(Read(ch, kBlock * 8, iq.data()));
  EXPECT_FALSE(TakeResync(ch));
  EXPECT_EQ(4 * kBlock * 8, ReadOffset());
  BandChannel other;
  ChannelInit(other);
  EXPECT_FALSE(Open(other, name));
  pub.header->WritePos -= 4;
  ASSERT_TRUE(Read(ch, kBlock * 8, iq.data()));
  EXPECT_EQ(4 * kBlock, FirstIndex(iq));
}

TEST_F(ResyncTest, ReaderStalledForASecondCatchesUpWithEveryBlock) {
  pub.header->SampleRate = 4000;  // a second is 16 blocks, half the ring
  ASSERT_TRUE(Open(ch, name));
  EXPECT_FALSE(Read(ch, kBlock * 8, iq.data()));
  Advance(1000);
  WriteCounter(16 * kBlock);  // the second's blocks, in one burst
  for (int i = 0; i < 16; i++) {
    ASSERT_TRUE(Read(ch, kBlock * 8, iq.data())) << i;
    EXPECT_EQ(i * kBlock, FirstIndex(iq));
  }
  EXPECT_FALSE(TakeResync(ch));
}
}  // namespace
