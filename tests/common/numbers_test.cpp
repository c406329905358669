#include <gtest/gtest.h>

#include "numbers.h"

namespace {

TEST(ParseInt32, ReadsTheLeadingNumberLikeScanf) {
  int32_t v = 0;
  EXPECT_TRUE(ParseInt32("16", &v));
  EXPECT_EQ(16, v);
  EXPECT_TRUE(ParseInt32("16abc", &v));
  EXPECT_EQ(16, v);
  EXPECT_TRUE(ParseInt32("  -3", &v));
  EXPECT_EQ(-3, v);
  EXPECT_TRUE(ParseInt32("+7", &v));
  EXPECT_EQ(7, v);
  EXPECT_TRUE(ParseInt32("-2147483648", &v));
  EXPECT_EQ(INT32_MIN, v);
  EXPECT_TRUE(ParseInt32("2147483647", &v));
  EXPECT_EQ(INT32_MAX, v);
}

TEST(ParseInt32, RefusesNonNumbersAndOverflowAndLeavesTheValue) {
  int32_t v = 42;
  for (const char* bad :
       {"", "abc", "-", "+x", " ", "2147483648", "-2147483649", "99999999999999999999", "x12"}) {
    EXPECT_FALSE(ParseInt32(bad, &v)) << bad;
    EXPECT_EQ(42, v) << bad;
  }
}

TEST(AtoiSaturated, ReadsLikeAtoiAndSaturates) {
  EXPECT_EQ(0, AtoiSaturated("x"));
  EXPECT_EQ(0, AtoiSaturated(""));
  EXPECT_EQ(3, AtoiSaturated("03"));
  EXPECT_EQ(-5, AtoiSaturated("-5x"));
  EXPECT_EQ(70000, AtoiSaturated("70000"));
  EXPECT_EQ(INT32_MAX, AtoiSaturated("4294967296"));
  EXPECT_EQ(INT32_MAX, AtoiSaturated("123456789012345678901234567890"));
  EXPECT_EQ(INT32_MIN, AtoiSaturated("-99999999999"));
}

}  // namespace
