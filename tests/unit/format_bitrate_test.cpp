#include "net/format_bitrate.h"

#include <gtest/gtest.h>

TEST(FormatBitrate, PicksTheDecimalUnitFirstThenRoundsToTwoDecimals) {
  struct Case {
    double bits_per_second;
    const char* text;
  } cases[] = {
      {0, "0.00 bps"},
      {0.004, "0.00 bps"},
      {999, "999.00 bps"},
      {999.999, "1000.00 bps"},
      {1000, "1.00 Kbps"},
      {999999, "1000.00 Kbps"},
      {1e6, "1.00 Mbps"},
      {999999999, "1000.00 Mbps"},
      {1e9, "1.00 Gbps"},
      {1.5e9, "1.50 Gbps"},
      {12345678901234.0, "12345.68 Gbps"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_bitrate(c.bits_per_second), c.text) << c.bits_per_second;
}
