#include "config/url_params.h"

#include <gtest/gtest.h>

TEST(UrlParams, ParseUrlSplitsHostPortAndQuery) {
  struct Case {
    std::string url;
    std::string host;
    int port;
    UrlParams params;
  } cases[] = {
      {"srt://h:7000?streamid=tb&latency=200", "h", 7000, {{"latency", "200"}, {"streamid", "tb"}}},
      {"srt://10.0.0.9:7000&latency=200", "10.0.0.9", 7000, {{"latency", "200"}}},
      {"srt://10.0.0.9", "10.0.0.9", 0, {{"old", "1"}}},
      {"srt://10.0.0.9:7000/path?a=1", "10.0.0.9", 7000, {{"a", "1"}}},
      {"://h:1", "h", 1, {{"old", "1"}}},
      {"srt://h:99999999999", "h", 0, {{"old", "1"}}},
      {"srt://h: -5", "h", -5, {{"old", "1"}}},
      {"srt://h:1?flag&a=&=v&a=2&", "h", 1, {{"", "v"}, {"a", "2"}}},
      {"srt://h:1?x=a=b", "h", 1, {{"x", "a=b"}}},
      {"10.0.0.9:7000", "keep", 42, {{"old", "1"}}},
  };
  for (const Case& c : cases) {
    std::string host = "keep";
    int port = 42;
    UrlParams params = {{"old", "1"}};
    parse_url(c.url, host, port, params);
    EXPECT_EQ(host, c.host) << c.url;
    EXPECT_EQ(port, c.port) << c.url;
    EXPECT_EQ(params, c.params) << c.url;
  }
}
