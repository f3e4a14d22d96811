#include "config/text_utils.h"

#include <gtest/gtest.h>

using Pieces = std::vector<std::string>;

TEST(TextUtils, SplitTrimsPiecesAndDropsEmptyOnes) {
  struct Case {
    std::string text, delimiter;
    Pieces expected;
  } cases[] = {
      {" a , , b ", ",", {"a", "b"}},
      {",", ",", {}},
      {"", ",", {}},
      {"  single\t", ",", {"single"}},
      {"10.0.0.5.", ".", {"10", "0", "0", "5"}},
      {"a\r\nb\n\nc", "\n", {"a", "b", "c"}},
      {"x::y", "::", {"x", "y"}},
  };
  for (const Case& c : cases) EXPECT_EQ(split(c.text, c.delimiter), c.expected) << c.text;
}

TEST(TextUtils, TrimRemovesOnlyBlanksTabsAndLineEnds) {
  EXPECT_EQ(trim(" \t\r\n"), "");
  EXPECT_EQ(trim("\fvalue \r\n"), "\fvalue");
  EXPECT_EQ(trim("\x80 a b\t"), "\x80 a b");
}

TEST(TextUtils, LowerCaseTouchesAsciiLettersOnly) {
  EXPECT_EQ(to_lower("SRT_Port-\xC4Z"), "srt_port-\xC4z");
  EXPECT_TRUE(starts_with("//comment", "//"));
  EXPECT_FALSE(starts_with("/", "//"));
}

TEST(TextUtils, ParseIntAcceptsWholeDecimalNumbersOnly) {
  EXPECT_EQ(parse_int("9001"), 9001);
  EXPECT_EQ(parse_int("+7"), 7);
  EXPECT_EQ(parse_int("-120"), -120);
  EXPECT_EQ(parse_int("2147483647"), 2147483647);
  for (const char* bad : {"", "+", "+-1", "12a", "0x10", " 1", "2147483648", "99999999999999999999"}) {
    EXPECT_FALSE(parse_int(bad).has_value()) << bad;
  }
}
