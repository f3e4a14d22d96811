#include "base/log_escape.h"

#include <gtest/gtest.h>

TEST(LogEscape, OutsideTextCannotEndALineOrSteerATerminal) {
  struct Case {
    std::string raw, logged;
  } cases[] = {
      {"cam1", "cam1"},
      {"", ""},
      {"a b=c // d", "a b=c // d"},
      {"x\n[2026-01-01.00:00:00]  STOP SIGNAL 15  src/app/stop_signals.cpp  40",
       "x\\n[2026-01-01.00:00:00]  STOP SIGNAL 15  src/app/stop_signals.cpp  40"},
      {"cr\rlf\ntab\t", "cr\\rlf\\ntab\\t"},
      {"\x1b[2J\x07", "\\x1b[2J\\x07"},
      {std::string("nul\0end", 7), "nul\\x00end"},
      {"del\x7f", "del\\x7f"},
      {"back\\slash \\n", "back\\\\slash \\\\n"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA5", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA5"},
      {"c1 \xC2\x9B"
       "31m \xC2\x85",
       "c1 \\xc2\\x9b"
       "31m \\xc2\\x85"},
      {"\xC2\xA0nbsp", "\xC2\xA0nbsp"},
      {"raw \xFF\xFE", "raw \\xff\\xfe"},
      {"cut \xE2\x82", "cut \\xe2\\x82"},
      {"overlong \xC0\x8A", "overlong \\xc0\\x8a"},
  };
  for (const Case& c : cases) EXPECT_EQ(escape_for_log(c.raw), c.logged) << c.raw;
}
