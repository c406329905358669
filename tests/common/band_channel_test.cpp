#include <gtest/gtest.h>

#include <vector>

#include "band_channel.h"
#include "publisher.h"

namespace {

const int kBand = 9;
const int32_t kRing = 65536;

// A publisher with one reader open on its band.
struct ChannelTest : ::testing::Test {
  Publisher pub;
  BandChannel ch;
  char name[kBandNameSize];

  void SetUp() override {
    ASSERT_TRUE(PublisherCreate(pub, kBand, 192000, 1024, 7050000, kRing));
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
  // A mapping without its event.
  HANDLE lone =
      CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536, "VEXA30Band");
  ASSERT_NE(nullptr, lone);
  EXPECT_FALSE(Open(ch, "VEXA30Band"));
  EXPECT_EQ(nullptr, ch.view);
  EXPECT_EQ(nullptr, ch.mapping);
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

TEST_F(ChannelTest, OvertakingPublisherLeavesOnlyTheDistanceModuloTheRing) {
  ASSERT_TRUE(Open(ch, name));
  WriteCounter(kRing / 8 + 1024);  // a ring and one chunk ahead
  std::vector<float> iq(2048);
  ASSERT_TRUE(Read(ch, 8192, iq.data()));
  EXPECT_FALSE(Read(ch, 8192, iq.data()));
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

TEST_F(ChannelTest, HeaderThatDoesNotFitTheMappingIsRefused) {
  const int32_t bad[] = {0, -8, kRing + 4096, INT32_MAX};
  for (int32_t size : bad) {
    pub.header->BufferSize = size;
    EXPECT_FALSE(Open(ch, name)) << size;
    EXPECT_EQ(nullptr, ch.view);
  }
  pub.header->BufferSize = kRing;
  for (int32_t pos : {-1, 4, kRing + 1, INT32_MIN}) {
    pub.header->WritePos = pos;
    EXPECT_FALSE(Open(ch, name)) << pos;
  }
  pub.header->WritePos = 0;
  EXPECT_TRUE(Open(ch, name));
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

  Restart(kRing / 4);  // a smaller ring in the same mapping
  WriteCounter(kBlock);
  ExpectResync();
  EXPECT_EQ(kRing / 4, ch.ringSize);
  EXPECT_EQ(ch.ringStart + kRing / 4, ch.ringEnd);
  for (int i = 0; i < 20; i++) ExpectNextBlockFrom(kBlock * (i + 1));  // and wraps at its end

  pub.header->WritePos -= 8;  // a glitch backwards by one sample
  ExpectResync();
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
