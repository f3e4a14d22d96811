#include "web/bearer_token.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

using namespace std::string_literals;

TEST(BearerToken, AcceptsOnlyTheExactTokenAfterTheScheme) {
  const std::string token = "s3cret token";
  for (const std::string& good : {"Bearer s3cret token"s, "bearer s3cret token"s, "BEARER   s3cret token"s}) {
    EXPECT_TRUE(bearer_token_matches(good, token)) << good;
  }
  for (const std::string& bad :
       {""s, "Bearer"s, "Bearer "s, "Bearers3cret token"s, "Basic s3cret token"s, "s3cret token"s,
        "Bearer s3cret"s, "Bearer s3cret token "s, "Bearer s3cret tokenX"s, "Bearer S3cret token"s,
        "Bearer \ts3cret token"s, "Bearer s3cret token\0"s, "Bearer s3cret tokens3cret token"s}) {
    EXPECT_FALSE(bearer_token_matches(bad, token)) << '"' << bad << '"';
  }
  EXPECT_FALSE(bearer_token_matches("Bearer ", "")) << "an empty token accepts nothing";
  EXPECT_FALSE(bearer_token_matches("Bearer x", ""));
}

TEST(BearerToken, ConstantTimeEqualComparesEveryByteAndTheLength) {
  const std::pair<const char*, const char*> unequal[] = {{"abd", "abc"},    {"xbc", "abc"}, {"ab", "abc"},
                                                         {"abcabc", "abc"}, {"", "abc"},    {"\x80", "\x7f"},
                                                         {"a", ""}};
  for (auto [presented, expected] : unequal)
    EXPECT_FALSE(constant_time_equal(presented, expected)) << presented;
  EXPECT_TRUE(constant_time_equal("abc", "abc"));
  EXPECT_TRUE(constant_time_equal("", ""));
}
