#include "web/bearer_token.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

TEST(BearerToken, AcceptsOnlyTheExactTokenAfterTheScheme) {
  struct Case {
    std::string authorization;
    bool accepted;
  };
  const std::string token = "s3cret token";
  const Case cases[] = {
      {"Bearer s3cret token", true},
      {"bearer s3cret token", true},
      {"BEARER   s3cret token", true},
      {"", false},
      {"Bearer", false},
      {"Bearer ", false},
      {"Bearers3cret token", false},
      {"Basic s3cret token", false},
      {"s3cret token", false},
      {"Bearer s3cret", false},
      {"Bearer s3cret token ", false},
      {"Bearer s3cret tokenX", false},
      {"Bearer S3cret token", false},
      {"Bearer \ts3cret token", false},
      {"Bearer s3cret token\0"s, false},
      {"Bearer s3cret tokens3cret token", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bearer_token_matches(c.authorization, token), c.accepted) << '"' << c.authorization << '"';
  }
}

TEST(BearerToken, EmptyTokenAcceptsNothing) {
  EXPECT_FALSE(bearer_token_matches("Bearer ", ""));
  EXPECT_FALSE(bearer_token_matches("Bearer x", ""));
}

TEST(BearerToken, ConstantTimeEqualComparesEveryByteAndTheLength) {
  EXPECT_TRUE(constant_time_equal("abc", "abc"));
  EXPECT_FALSE(constant_time_equal("abd", "abc"));
  EXPECT_FALSE(constant_time_equal("xbc", "abc"));
  EXPECT_FALSE(constant_time_equal("ab", "abc"));
  EXPECT_FALSE(constant_time_equal("abcabc", "abc"));
  EXPECT_FALSE(constant_time_equal("", "abc"));
  EXPECT_FALSE(constant_time_equal("\x80", "\x7f"));
  EXPECT_FALSE(constant_time_equal("a", ""));
  EXPECT_TRUE(constant_time_equal("", ""));
}
