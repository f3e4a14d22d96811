#include "web/state_document.h"

#include <gtest/gtest.h>

TEST(StateDocument, ExactByteLayout) {
  EXPECT_EQ(state_document({}), "{\"ifaces\":[]}");
  EXPECT_EQ(
      state_document({{"All", "", "0.00 bps", "0.00 bps"}}),
      "{\"ifaces\":[{ \"title\": \"All\",\"ip\": \"\",\"output\": \"0.00 bps\",\"input\": \"0.00 bps\"}]}");
  EXPECT_EQ(
      state_document({{"eth0", "10.0.0.1", "1.20 Mbps", "3.00 Kbps"}, {"All", "", "a", "b"}}),
      "{\"ifaces\":[{ \"title\": \"eth0\",\"ip\": \"10.0.0.1\",\"output\": \"1.20 Mbps\","
      "\"input\": \"3.00 Kbps\"},{ \"title\": \"All\",\"ip\": \"\",\"output\": \"a\",\"input\": \"b\"}]}");
}

TEST(StateDocument, ValuesAreEscapedAsJsonStrings) {
  EXPECT_EQ(json_escape("say \"hi\"\\"), "say \\\"hi\\\"\\\\");
  EXPECT_EQ(json_escape(std::string("a\nb\x01", 4)), "a\\u000ab\\u0001");
  EXPECT_EQ(json_escape("\xC3\xA9/"), "\xC3\xA9/");
}
