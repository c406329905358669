#include <gtest/gtest.h>

#include <vector>

#include "channel_fixture.h"

namespace {

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

}  // namespace
