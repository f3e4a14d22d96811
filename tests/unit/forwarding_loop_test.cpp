#include "rist/forwarding_loop.h"

#include <gtest/gtest.h>

using Urls = std::vector<std::string>;

TEST(ForwardingLoop, DestinationsBecomePeerBaseUrls) {
  struct Case {
    std::string destination;
    Urls expected;
    bool dns_warning;
  } cases[] = {
      {"10.0.0.5:5000", {"rist://10.0.0.5:5000?cname=cam1"}, false},
      {"rist://10.0.0.5:5000", {"rist://10.0.0.5:5000?cname=cam1"}, false},
      {" 10.0.0.5 : 5000 ", {"rist://10.0.0.5:5000?cname=cam1"}, false},
      {"10.0.0.5", {"rist://10.0.0.5?cname=cam1"}, false},
      {"10.0.0.5:5000:7", {"rist://10.0.0.5?cname=cam1"}, false},
      {"mixer:5000", {"rist://mixer:5000?cname=cam1"}, true},
      {"rist://", {}, false},
      {":::", {}, false},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    Urls urls = normalise_destinations({c.destination}, "cam1");
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(urls, c.expected) << c.destination;
    EXPECT_EQ(log.find("-- WARNING: resolve DNS not implemented. Use IP for host") != std::string::npos,
              c.dns_warning)
        << c.destination;
  }
}

TEST(ForwardingLoop, StreamIdGoesIntoEveryUrlUnchangedAndOrderIsKept) {
  Urls urls = normalise_destinations({"10.0.0.5:5000", "10.0.0.6:6000"}, "studio a&b");
  EXPECT_EQ(urls, (Urls{"rist://10.0.0.5:5000?cname=studio a&b", "rist://10.0.0.6:6000?cname=studio a&b"}));
}
