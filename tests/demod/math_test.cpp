#include <gtest/gtest.h>

#include <cmath>

#include "demod/sony_math.h"

TEST(Logarithms, KnownValues) {
  EXPECT_EQ(Log2x100(0), 0u);
  EXPECT_EQ(Log2x100(1), 0u);
  EXPECT_EQ(Log2x100(2), 100u);
  EXPECT_EQ(Log2x100(3), 158u);
  EXPECT_EQ(Log2x100(1024), 1000u);
  EXPECT_EQ(Log2x100(0xFFFFFFFFu), 3198u);
  EXPECT_EQ(Log10x100(1000), 300u);
  EXPECT_EQ(Log10x100(10), 100u);
  EXPECT_EQ(Lnx100(0), 0u);
  EXPECT_EQ(Lnx100(2), 69u);
}

TEST(Logarithms, CloseToExactAndNonDecreasing) {
  ULONG previous = 0;
  for (ULONG x = 1; x < 200000; x += (x < 256 ? 1 : 37)) {
    ULONG v = Log2x100(x);
    EXPECT_GE(v, previous) << x;
    previous = v;
    EXPECT_NEAR(static_cast<double>(v), 100.0 * std::log2(static_cast<double>(x)), 5.0) << x;
  }
}
