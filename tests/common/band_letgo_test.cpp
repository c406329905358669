// A band that falls quiet is let go and looked up again: found as it was, moved on,
// published anew under the same name, or held by two readers behind a dead publisher.
#include <gtest/gtest.h>

#include <vector>

#include "channel_fixture.h"

namespace {

const int32_t kBigRing = 1 << 19;  // 4 s at 16000 samples/s: longer than a look-up's second

struct LetGoTest : ChannelTest {
  std::vector<float> iq = std::vector<float>(2048);
  uint64_t next = 0;  // the counter index the reader takes next

  void SetUp() override {
    ChannelTest::SetUp();
    PublisherClose(pub);
    ASSERT_TRUE(PublisherCreate(pub, kBand, 16000, 1024, 7050000, kBigRing));
    ASSERT_TRUE(Open(ch, name));
  }
  // Looks every 100 ms for `ms` with nothing written.
  void Idle(ULONGLONG ms, BandChannel* other = nullptr) {
    for (ULONGLONG t = 0; t < ms; t += 100) {
      Advance(100);
      EXPECT_FALSE(Read(ch, 8192, iq.data()));
      if (other) {
        EXPECT_FALSE(Read(*other, 8192, iq.data()));
      }
    }
  }
  // Takes `chunks` chunks that follow on from the last, with no resync.
  void TakeInOrder(int chunks) {
    for (int i = 0; i < chunks; i++) {
      ASSERT_TRUE(Read(ch, 8192, iq.data())) << i;
      EXPECT_EQ(int32_t(next % 65536), FirstIndex(iq));
      next += 1024;
    }
    EXPECT_FALSE(Read(ch, 8192, iq.data()));
    EXPECT_FALSE(TakeResync(ch));
    EXPECT_EQ(0, TakeOverrun(ch));
  }
};

TEST_F(LetGoTest, StreamingIsHeldAndAResumeBeforeOrAfterTheLetGoGoesOn) {
  for (int i = 0; i < 70; i++) {  // seven seconds of a streaming band
    WriteCounter(1024);
    Advance(100);
    TakeInOrder(1);
  }
  ASSERT_NE(nullptr, ch.view);
  Idle(4900);  // resumed just before the quiet limit
  WriteCounter(1024);
  TakeInOrder(1);
  Idle(5200);
  EXPECT_EQ(nullptr, ch.view);
  Idle(1000);  // a look-up that finds nothing new lets go again at once
  EXPECT_EQ(nullptr, ch.view);
  WriteCounter(2048);  // resumed in the unmapped second
  Advance(1000);
  TakeInOrder(2);
  EXPECT_NE(nullptr, ch.view);
}

TEST_F(LetGoTest, TwoReadersBehindADeadPublisherLetALargerRingBeCreated) {
  WriteCounter(1024);
  TakeInOrder(1);
  PublisherClose(pub);
  Idle(3000);
  BandChannel late;
  ChannelInit(late);
  ASSERT_TRUE(Open(late, name));
  ULONGLONG waited = 0;
  while (!PublisherCreate(pub, kBand, 16000, 1024, 7050000, 4 * kBigRing) && waited < 12000) {
    ASSERT_TRUE(pub.heldSmaller);
    Idle(100, &late);
    waited += 100;
  }
  ASSERT_GE(6000u, waited);  // the late reader lets go five seconds after it opened
  WriteCounter(1024);
  Advance(1000);
  for (BandChannel* reader : {&ch, &late}) {
    // Nothing in the pass that finds the new band; then its ring from the start.
    EXPECT_FALSE(Read(*reader, 8192, iq.data()));
    EXPECT_TRUE(TakeResync(*reader));
    EXPECT_EQ(0, TakeOverrun(*reader));
    ASSERT_TRUE(Read(*reader, 8192, iq.data()));
    EXPECT_EQ(0, FirstIndex(iq));
  }
  Close(late);
}

TEST_F(LetGoTest, ASameSizeRestartWithOtherValuesIsAResync) {
  Idle(5200);  // a publisher that never wrote
  ASSERT_EQ(nullptr, ch.view);
  PublisherClose(pub);
  ASSERT_TRUE(PublisherCreate(pub, kBand, 48000, 1024, 14074000, kBigRing));
  Idle(1000);
  EXPECT_TRUE(TakeResync(ch));
  EXPECT_EQ(48000, Header(ch)->SampleRate);
  WriteCounter(1024);
  TakeInOrder(1);
}

// A band published anew in place, seen by the look at which the quiet limit runs
// out: that look keeps it mapped, since its owner reads the new header next.
TEST_F(LetGoTest, TheLookThatResynchronisesKeepsTheBandMapped) {
  Advance(5300);
  pub.header->BufferSize = kBigRing / 2;
  EXPECT_FALSE(Read(ch, 8192, iq.data()));
  EXPECT_TRUE(TakeResync(ch));
  ASSERT_NE(nullptr, Header(ch));
  EXPECT_EQ(kBigRing / 2, Header(ch)->BufferSize);
}

TEST_F(LetGoTest, ARingSizeTheViewCannotHoldIsLetGo) {
  pub.header->BufferSize = 2 * kBigRing;
  PublisherClose(pub);
  Idle(5200);
  EXPECT_EQ(nullptr, ch.view);
  ASSERT_TRUE(PublisherCreate(pub, kBand, 16000, 1024, 7050000, 2 * kBigRing));
  Idle(1000);
  EXPECT_TRUE(TakeResync(ch));
  EXPECT_EQ(2 * kBigRing, ch.ringSize);
}

// A publisher restarting with a smaller ring in the same mapping, seen between its
// store of BufferSize and its first block: the block is not taken as the old band's.
Publisher* g_restarting = nullptr;

void RestartBetweenTheReads() {
  if (!g_restarting) return;
  Publisher& pub = *g_restarting;
  g_restarting = nullptr;
  pub.ringSize = pub.header->BufferSize = kRing / 2;
  pub.header->WritePos = 0;
  pub.samplesWritten = 0;
  std::vector<float> iq(2048);
  CounterPattern(0, 1024, iq.data());
  PublisherWrite(pub, iq.data(), 1024);
}

TEST_F(ChannelTest, ARestartBetweenTheHeaderReadsIsNotTaken) {
  ASSERT_TRUE(Open(ch, name));
  g_restarting = &pub;
  g_betweenHeaderReads = RestartBetweenTheReads;
  std::vector<float> iq(2048);
  EXPECT_FALSE(Read(ch, 8192, iq.data()));
  g_betweenHeaderReads = nullptr;
  EXPECT_FALSE(Read(ch, 8192, iq.data()));
  EXPECT_TRUE(TakeResync(ch));
  EXPECT_EQ(kRing / 2, ch.ringSize);
  WriteCounter(1024);
  for (int32_t first : {0, 1024}) {
    ASSERT_TRUE(Read(ch, 8192, iq.data()));
    EXPECT_EQ(first, FirstIndex(iq));
  }
}

}  // namespace
