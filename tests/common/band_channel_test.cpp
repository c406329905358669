#include <gtest/gtest.h>

#include <vector>

#include "band_channel.h"
#include "publisher.h"

namespace {

const int kBand = 9;
const int32_t kRing = 65536;

// A publisher with one reader open on its band. At 16000 samples/s the ring lasts
// half a second, and no burst a test writes at once is beyond its pace.
struct ChannelTest : ::testing::Test {
  Publisher pub;
  BandChannel ch;
  char name[kBandNameSize];

  void SetUp() override {
    ASSERT_TRUE(PublisherCreate(pub, kBand, 16000, 1024, 7050000, kRing));
    ChannelInit(ch);
    BandName(kBand, name);
  }
  void TearDown() override {
    Close(ch);
    PublisherClose(pub);
  }
  void WriteCounter(int32_t samples) {
    std::vector<float> iq(size_t(samples) * 2);
    CounterPattern(pub.samplesWritten, samples, iq.data());
    PublisherWrite(pub, iq.data(), samples);
  }
  int32_t ReadOffset() const { return int32_t(ch.readPtr - ch.ringStart); }
};

// The first sample index a counter-pattern chunk carries.
int32_t FirstIndex(const std::vector<float>& iq) {
  return int32_t(iq[0] / 65536.0f) + 32768;
}

TEST(BandName, FollowsThePublisherNaming) {
  char name[kBandNameSize];
  BandName(0, name);
  EXPECT_STREQ("VEXA0Band", name);
  BandName(31, name);
  EXPECT_STREQ("VEXA31Band", name);
}

TEST_F(ChannelTest, OpenStartsAtThePublishersWritePosition) {
  WriteCounter(125);  // WritePos 1000
  ASSERT_TRUE(Open(ch, name));
  EXPECT_EQ(1000, ReadOffset());
  EXPECT_EQ(kRing, ch.ringSize);
  EXPECT_EQ(uint32_t(kRing) + ch.pageSize, ch.totalSize);
  EXPECT_EQ(ch.view + ch.pageSize, ch.ringStart);

  std::vector<float> iq(2048);
  EXPECT_FALSE(Read(ch, 8192, iq.data()));  // nothing new yet
  WriteCounter(1023);
  EXPECT_FALSE(Read(ch, 8192, iq.data()));  // one sample short
  EXPECT_EQ(1000, ReadOffset());
  WriteCounter(1);
  ASSERT_TRUE(Read(ch, 8192, iq.data()));  // exactly what is there
  EXPECT_EQ(125, FirstIndex(iq));
  EXPECT_EQ(9192, ReadOffset());
}

TEST_F(ChannelTest, ReadWrapsAroundTheRingEnd) {
  WriteCounter(61440 / 8);
  ASSERT_TRUE(Open(ch, name));
  WriteCounter(1024);  // WritePos 4096, past the end
  ASSERT_EQ(4096, pub.header->WritePos);
  std::vector<float> iq(2048);
  ASSERT_TRUE(Read(ch, 8192, iq.data()));
  EXPECT_EQ(4096, ReadOffset());
  for (int i = 0; i < 1024; i++) {
    ASSERT_EQ(float((((7680 + i) & 0xFFFF) - 32768) * 65536), iq[2 * i]) << i;
  }
}

TEST_F(ChannelTest, ReadEndingAtTheRingEndLeavesTheReaderAtTheStart) {
  WriteCounter(57344 / 8);
  ASSERT_TRUE(Open(ch, name));
  WriteCounter(1024);
  std::vector<float> iq(2048);
  ASSERT_TRUE(Read(ch, 8192, iq.data()));
  EXPECT_EQ(0, ReadOffset());
  EXPECT_EQ(ch.ringStart, ch.readPtr);
}

TEST_F(ChannelTest, OpenTwiceFailsAndLeavesTheChannelAsItWas) {
  ASSERT_TRUE(Open(ch, name));
  BandChannel before = ch;
  EXPECT_FALSE(Open(ch, name));
  EXPECT_EQ(0, memcmp(&before, &ch, sizeof ch));
}

TEST_F(ChannelTest, ClosedChannelRefusesEverythingAndClosesTwice) {
  std::vector<float> iq(2048);
  EXPECT_FALSE(Read(ch, 8, iq.data()));
  EXPECT_FALSE(WaitForData(ch));
  EXPECT_FALSE(WaitForData(ch, 0));
  ASSERT_TRUE(Open(ch, name));
  Close(ch);
  Close(ch);
  EXPECT_EQ(nullptr, ch.view);
  EXPECT_EQ(nullptr, ch.mapping);
  EXPECT_EQ(nullptr, ch.event);
  EXPECT_EQ(0, ch.ringSize);
  EXPECT_EQ(0u, ch.totalSize);
  EXPECT_NE(0u, ch.pageSize);
  EXPECT_FALSE(Read(ch, 8, iq.data()));
  EXPECT_TRUE(Open(ch, name));  // and it opens again
}

TEST_F(ChannelTest, MissingBandOrEventFailsToOpen) {
  char other[kBandNameSize];
  BandName(kBand + 1, other);
  EXPECT_FALSE(Open(ch, other));
  EXPECT_EQ(kNoMapping, ch.refusal.reason);
  // A mapping without its event.
  HANDLE lone =
      CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536, "VEXA30Band");
  ASSERT_NE(nullptr, lone);
  EXPECT_FALSE(Open(ch, "VEXA30Band"));
  EXPECT_EQ(nullptr, ch.view);
  EXPECT_EQ(nullptr, ch.mapping);
  char text[kRefusalTextSize];
  DescribeRefusal(ch.refusal, "VEXA30Band", text, sizeof text);
  EXPECT_STREQ("VEXA30Band has no event eVEXA30Band", text);
  CloseHandle(lone);
}

TEST_F(ChannelTest, TwoReadersKeepTheirOwnPositions) {
  BandChannel second;
  ChannelInit(second);
  ASSERT_TRUE(Open(ch, name));
  WriteCounter(1024);
  ASSERT_TRUE(Open(second, name));
  WriteCounter(1024);
  std::vector<float> iq(2048);
  ASSERT_TRUE(Read(ch, 8192, iq.data()));
  EXPECT_EQ(0, FirstIndex(iq));
  ASSERT_TRUE(Read(second, 8192, iq.data()));
  EXPECT_EQ(1024, FirstIndex(iq));
  ASSERT_TRUE(Read(ch, 8192, iq.data()));
  EXPECT_EQ(1024, FirstIndex(iq));
  EXPECT_FALSE(Read(second, 8192, iq.data()));
  Close(second);
}

TEST_F(ChannelTest, DelayedReaderCatchesUpWithEveryWholeChunk) {
  ASSERT_TRUE(Open(ch, name));
  for (int i = 0; i < 5; i++) WriteCounter(1024);  // five signals while "busy"
  EXPECT_FALSE(WaitForData(ch, 0));                // the signals were reset away, the data was not
  std::vector<float> iq(2048);
  int chunks = 0;
  while (Read(ch, 8192, iq.data())) EXPECT_EQ(1024 * chunks++, FirstIndex(iq));
  EXPECT_EQ(5, chunks);
}

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
  Sleep(100);
  WriteCounter(kRing / 8 + 1024);  // a ring and one chunk ahead: the modulo shows one chunk
  ExpectOverrun(ch, pub, kRing / 8 + 1024, INT32_MAX);
}

TEST_F(ChannelTest, TimedWaitTimesOutAndAnOldSignalDoesNotCount) {
  ASSERT_TRUE(Open(ch, name));
  EXPECT_FALSE(WaitForData(ch, 10));
  SetEvent(pub.event);
  EXPECT_FALSE(WaitForData(ch, 10));  // reset before waiting: an old signal does not count
}

TEST(ChunkFitsRing, NeedsRoomForTheChunkAndOneSampleMore) {
  EXPECT_TRUE(ChunkFitsRing(1, 16));
  EXPECT_FALSE(ChunkFitsRing(2, 16));  // a full ring reads as empty
  EXPECT_TRUE(ChunkFitsRing(2048, 4194304));
  EXPECT_FALSE(ChunkFitsRing(0, 4194304));
  EXPECT_FALSE(ChunkFitsRing(-1, 4194304));
  EXPECT_FALSE(ChunkFitsRing(INT32_MAX, INT32_MAX));
}

// Each refusal keeps the reason and the value at fault, worded for the user.
TEST_F(ChannelTest, HeaderThatDoesNotFitTheMappingIsRefusedWithItsReason) {
  // The mapping's ring room is whole pages: the publisher asked for exactly kRing.
  const struct {
    int32_t size, pos;
    const char* text;
  } cases[] = {
      {0, 0, "BufferSize=0 is not a ring size"},
      {-8, 0, "BufferSize=-8 is not a ring size"},
      {12, 0, "BufferSize=12 is not a whole number of samples"},
      {kRing + 4096, 0, "BufferSize=69632 is larger than the 65536 bytes the mapping holds"},
      {INT32_MAX - 7, 0, "BufferSize=2147483640 is larger than the 65536 bytes the mapping holds"},
      {kRing, -8, "WritePos=-8 lies outside the ring of 65536 bytes"},
      {kRing, kRing + 8, "WritePos=65544 lies outside the ring of 65536 bytes"},
      {kRing, INT32_MIN, "WritePos=-2147483648 lies outside the ring of 65536 bytes"},
      {kRing, 4, "WritePos=4 is not on a whole sample"},
  };
  for (const auto& c : cases) {
    pub.header->BufferSize = c.size;
    pub.header->WritePos = c.pos;
    EXPECT_FALSE(Open(ch, name)) << c.text;
    EXPECT_EQ(nullptr, ch.view);
    EXPECT_FALSE(IsOpen(ch));
    char text[kRefusalTextSize];
    DescribeRefusal(ch.refusal, name, text, sizeof text);
    EXPECT_STREQ(c.text, text);
  }
  pub.header->BufferSize = kRing;
  pub.header->WritePos = 0;
  EXPECT_TRUE(Open(ch, name));
  EXPECT_EQ(kNotRefused, ch.refusal.reason);
}

TEST_F(ChannelTest, WritePosOutsideTheRingGivesNothing) {
  ASSERT_TRUE(Open(ch, name));
  WriteCounter(1024);
  std::vector<float> iq(2048);
  for (int32_t pos : {-4096, kRing + 8, INT32_MAX}) {
    pub.header->WritePos = pos;
    EXPECT_FALSE(Read(ch, 8, iq.data())) << pos;
    EXPECT_EQ(0, ReadOffset());
  }
  pub.header->WritePos = 8192;
  EXPECT_TRUE(Read(ch, 8192, iq.data()));
  EXPECT_FALSE(Read(ch, -8, iq.data()));
  EXPECT_FALSE(Read(ch, 0, iq.data()));
  EXPECT_FALSE(Read(ch, kRing, iq.data()));  // never more than the ring holds
}

TEST_F(ChannelTest, WritePosAtTheRingSizeIsTheRingStart) {
  WriteCounter(kRing / 8);  // a write that ends at the ring end
  ASSERT_EQ(kRing, pub.header->WritePos);
  ASSERT_TRUE(Open(ch, name));
  EXPECT_EQ(0, ReadOffset());
  WriteCounter(1024);
  std::vector<float> iq(2048);
  ASSERT_TRUE(Read(ch, 8192, iq.data()));
  EXPECT_EQ(kRing / 8, FirstIndex(iq));
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
  Sleep(6000);
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
  Sleep(kLookUpAgainMs + 100);
  ExpectResync();
  EXPECT_EQ(4 * kRing, ch.ringSize);
  ExpectNextBlockFrom(2 * kBlock);
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
  Sleep(1000);
  WriteCounter(16 * kBlock);  // the second's blocks, in one burst
  for (int i = 0; i < 16; i++) {
    ASSERT_TRUE(Read(ch, kBlock * 8, iq.data())) << i;
    EXPECT_EQ(i * kBlock, FirstIndex(iq));
  }
  EXPECT_FALSE(TakeResync(ch));
}

}  // namespace
