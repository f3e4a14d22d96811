#include "config/config_parser.h"

#include <gtest/gtest.h>

TEST(ConfigParser, KeepsEveryAcceptedEntryInLineOrder) {
  std::vector<ConfigEntry> entries =
      parse_config_entries("// c=1\nK = first\r\n[map]\n=x\nk=second\nempty=\nurl = a=b // c\n");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].key, "k");
  EXPECT_EQ(entries[0].value, "first");
  EXPECT_EQ(entries[1].key, "k");
  EXPECT_EQ(entries[1].value, "second");
  EXPECT_EQ(entries[2].key, "url");
  EXPECT_EQ(entries[2].value, "a=b // c");
}
