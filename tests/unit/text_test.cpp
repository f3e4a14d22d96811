// The small text functions that read outside input: log escaping and rate formatting.
// Splitting is pinned by the settings table; masking (but for the destination keys) and
// number reading by fuzzers.
#include <gtest/gtest.h>

#include "base/log_escape.h"
#include "config/secret_mask.h"
#include "net/format_bitrate.h"

TEST(Text, OutsideTextCannotEndALogLineOrSteerATerminal) {
  struct Case {
    std::string raw, logged;
  } cases[] = {
      {"a b=c // d", "a b=c // d"},
      {"x\n[2026-01-01.00:00:00]  STOP", "x\\n[2026-01-01.00:00:00]  STOP"},
      {"cr\rtab\t", "cr\\rtab\\t"},
      {"\x1b[2J\x07", "\\x1b[2J\\x07"},
      {std::string("nul\0del\x7f", 8), "nul\\x00del\\x7f"},
      {"back\\slash", "back\\\\slash"},
      {"caf\xC3\xA9 \xF0\x9F\x8E\xA5 \xC2\xA0", "caf\xC3\xA9 \xF0\x9F\x8E\xA5 \xC2\xA0"},
      {"c1 \xC2\x9B", "c1 \\xc2\\x9b"},
      {"raw \xFF cut \xE2\x82 overlong \xC0\x8A", "raw \\xff cut \\xe2\\x82 overlong \\xc0\\x8a"},
  };
  for (const Case& c : cases) EXPECT_EQ(escape_for_log(c.raw), c.logged) << c.raw;
}

// A route's destinations hold secrets as rist_endpoint's do, also in the log's [map] lines.
TEST(Text, DestinationSecretsAreMaskedUnderEveryKeyThatTakesDestinations) {
  for (const char* key : {"rist_endpoint", "route.cam1"})
    EXPECT_EQ(mask_secrets(key, "h:2?secret=k&buffer=50, h:4?password=p"),
              "h:2?secret=***&buffer=50, h:4?password=***");
}

TEST(Text, BitratesPickTheDecimalUnitFirstThenRound) {
  struct Case {
    double bits_per_second;
    const char* text;
  } cases[] = {{0.004, "0.00 bps"},      {999.999, "1000.00 bps"}, {1000, "1.00 Kbps"},
               {999999, "1000.00 Kbps"}, {1.5e9, "1.50 Gbps"},     {12345678901234.0, "12345.68 Gbps"}};
  for (const Case& c : cases) EXPECT_EQ(format_bitrate(c.bits_per_second), c.text) << c.bits_per_second;
}
