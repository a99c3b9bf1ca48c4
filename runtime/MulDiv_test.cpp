#include "runtime/MulDiv.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(MulDiv, RoundsHalvesAwayFromZero) {
  EXPECT_EQ(MulDiv(176400, 5, 1000), 882);
  EXPECT_EQ(MulDiv(1, 1, 2), 1);    // 0.5 -> 1
  EXPECT_EQ(MulDiv(-1, 1, 2), -1);  // -0.5 -> -1
  EXPECT_EQ(MulDiv(1, -1, 2), -1);
  EXPECT_EQ(MulDiv(-1, -1, 2), 1);
  EXPECT_EQ(MulDiv(1, 1, -2), -1);
  EXPECT_EQ(MulDiv(1, 1, 3), 0);  // 0.33 -> 0
  EXPECT_EQ(MulDiv(2, 1, 3), 1);  // 0.67 -> 1
  EXPECT_EQ(MulDiv(1000, 1000, 176400), 6);
}

TEST(MulDiv, UsesA64BitIntermediate) {
  EXPECT_EQ(MulDiv(2000000000, 3, 4), 1500000000);
  EXPECT_EQ(MulDiv(INT32_MAX, INT32_MAX, INT32_MAX), INT32_MAX);
}

TEST(MulDiv, ReportsZeroDivisorAndOverflowAsMinusOne) {
  EXPECT_EQ(MulDiv(5, 5, 0), -1);
  EXPECT_EQ(MulDiv(INT32_MAX, 2, 1), -1);
  EXPECT_EQ(MulDiv64(5, 5, 0), -1);
  EXPECT_EQ(MulDiv64(UINT32_MAX, UINT32_MAX, 1000), 18446744065119617ll);
}

}  // namespace
}  // namespace tw
