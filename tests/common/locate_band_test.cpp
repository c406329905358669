#include <gtest/gtest.h>

#include "band_probe.h"
#include "publisher.h"

namespace {

struct LocateTest : ::testing::Test {
  Publisher pubs[4];
  int count = 0;

  void Publish(int band, int32_t rate, int32_t l0) {
    ASSERT_TRUE(PublisherCreate(pubs[count++], band, rate, 1024, l0, 65536));
  }
  void TearDown() override {
    for (int i = count - 1; i >= 0; i--) PublisherClose(pubs[i]);
  }
};

TEST_F(LocateTest, SmallValuesAreBandNumbersWithoutLooking) {
  for (int v : {0, 5, 31}) EXPECT_EQ(v, LocateBand(v));
}

TEST_F(LocateTest, NoPublisherGivesTheValueBack) {
  EXPECT_EQ(14000, LocateBand(14000));
}

TEST_F(LocateTest, BandEdgesAreInclusive) {
  Publish(3, 192000, 7050000);
  EXPECT_EQ(3, LocateBand(7146));  // 7146000 Hz, the upper edge
  EXPECT_EQ(7147, LocateBand(7147));
  EXPECT_EQ(3, LocateBand(6954));  // the lower edge
  EXPECT_EQ(6953, LocateBand(6953));
}

TEST_F(LocateTest, UnusedBandsNeverMatchAndTheLowerIndexWins) {
  Publish(1, 0, 7050000);
  Publish(2, -192000, 7050000);
  Publish(6, 192000, 7060000);
  Publish(4, 192000, 7050000);
  EXPECT_EQ(4, LocateBand(7050));
  EXPECT_EQ(4, LocateBand(7100));  // both 4 and 6 cover it
  EXPECT_EQ(6, LocateBand(7150));
}

TEST_F(LocateTest, LargeValuesDoNotOverflow) {
  Publish(0, 1000000, 2147000000);  // the band's top edge lies beyond 32 bits
  EXPECT_EQ(0, LocateBand(2147483));
  EXPECT_EQ(0, LocateBand(2147499));  // 2147499000 Hz: beyond 32 bits, still inside
  EXPECT_EQ(2147501, LocateBand(2147501));
  EXPECT_EQ(INT32_MAX, LocateBand(INT32_MAX));
}

}  // namespace
