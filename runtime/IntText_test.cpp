#include "runtime/IntText.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(ParseInt32, AcceptsDecimalWithSignAndLeadingSpaces) {
  EXPECT_EQ(ParseInt32("0"), 0);
  EXPECT_EQ(ParseInt32("10000"), 10000);
  EXPECT_EQ(ParseInt32("+25"), 25);
  EXPECT_EQ(ParseInt32("-7"), -7);
  EXPECT_EQ(ParseInt32("   42"), 42);
  EXPECT_EQ(ParseInt32("0000000000000000000012"), 12);
}

TEST(ParseInt32, DecimalRangeIsExactlySigned32Bit) {
  EXPECT_EQ(ParseInt32("2147483647"), 2147483647);
  EXPECT_EQ(ParseInt32("-2147483648"), INT32_MIN);
  EXPECT_EQ(ParseInt32("2147483648"), std::nullopt);
  EXPECT_EQ(ParseInt32("-2147483649"), std::nullopt);
  EXPECT_EQ(ParseInt32("99999999999999999999999999"), std::nullopt);
}

TEST(ParseInt32, AcceptsEveryHexPrefixAsA32BitPattern) {
  EXPECT_EQ(ParseInt32("$19"), 25);
  EXPECT_EQ(ParseInt32("x1f"), 31);
  EXPECT_EQ(ParseInt32("X1F"), 31);
  EXPECT_EQ(ParseInt32("0x10"), 16);
  EXPECT_EQ(ParseInt32("0X10"), 16);
  EXPECT_EQ(ParseInt32("$FFFFFFFF"), -1);
  EXPECT_EQ(ParseInt32("$80000000"), INT32_MIN);
  EXPECT_EQ(ParseInt32("$000000000001"), 1);
  EXPECT_EQ(ParseInt32("-$10"), -16);
  EXPECT_EQ(ParseInt32("$100000000"), std::nullopt);  // needs 33 bits
}

TEST(ParseInt32, RejectsEverythingElse) {
  for (const char* text : {"", " ", "+", "-", "$", "0x", "x", "10k", "25 ", "1 2", "\t5", "1.5",
                           "$G", "0x1G", "--1", "+-1", "1e3", "5\n", "$$10"}) {
    EXPECT_EQ(ParseInt32(text), std::nullopt) << '"' << text << '"';
  }
  EXPECT_EQ(ParseInt32(std::string_view("1\0", 2)), std::nullopt);
}

}  // namespace
}  // namespace tw
