#include "rist/forwarding_loop.h"

#include <gtest/gtest.h>

using Urls = std::vector<std::string>;

// Each destination gives its base URL, or nothing and a log line naming the reason.
TEST(ForwardingLoop, DestinationsBecomePeerBaseUrlsOrAreRefusedWithTheReason) {
  const char* const kDnsWarning = "-- WARNING: resolve DNS not implemented. Use IP for host";
  struct Case {
    std::string destination;
    std::string expected;  // the URL, or the reason logged
  } cases[] = {
      {"10.0.0.5:5000", "rist://10.0.0.5:5000"},
      {"rist://10.0.0.5:5000", "rist://10.0.0.5:5000"},
      {" 10.0.0.5 : 5000 ", "rist://10.0.0.5:5000"},
      {"mixer:5000", "rist://mixer:5000"},
      {"10.0.0.5:1", "rist://10.0.0.5:1"},
      {"10.0.0.5:65535", "rist://10.0.0.5:65535"},
      {"10.0.0.5:87036", "the port must be a number from 1 to 65535"},
      {"10.0.0.5:65536", "the port must be a number from 1 to 65535"},
      {"10.0.0.5:0", "the port must be a number from 1 to 65535"},
      {"10.0.0.5:abc", "the port must be a number from 1 to 65535"},
      {"10.0.0.5:-5", "the port must be a number from 1 to 65535"},
      {"10.0.0.5:99999999999", "the port must be a number from 1 to 65535"},
      {"10.0.0.5", "no port"},
      {"host:", "no port"},
      {":5000", "no host"},
      {":", "no host"},
      {"rist://", "no host"},
      {"10.0.0.5:5000:7", "host:port expected"},
      {"[::1]:p", "IPv6 is not supported"},
      {"::1", "IPv6 is not supported"},
      {"fe80::1:5000", "IPv6 is not supported"},
      {"10.0.0.5?buffer=0:5000", "the host has characters no host name has"},
      {"a&b:5000", "the host has characters no host name has"},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    Urls urls = normalise_destinations({c.destination});
    std::string log = testing::internal::GetCapturedStdout();
    if (c.expected.rfind("rist://", 0) == 0) {
      EXPECT_EQ(urls, Urls{c.expected}) << c.destination;
      EXPECT_EQ(log.find(kDnsWarning) != std::string::npos, c.destination == "mixer:5000") << log;
    } else {
      EXPECT_TRUE(urls.empty()) << c.destination;
      EXPECT_NE(log.find("-- RIST DESTINATION REFUSED, " + c.expected + ": " + c.destination),
                std::string::npos)
          << log;
    }
  }
}

TEST(ForwardingLoop, OrderIsKeptAndAnEmptyResultIsLogged) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(normalise_destinations({"10.0.0.5:5000", "bad", "10.0.0.6:6000"}),
            (Urls{"rist://10.0.0.5:5000", "rist://10.0.0.6:6000"}));
  EXPECT_TRUE(normalise_destinations({}).empty());
  std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("-- NO RIST DESTINATION"), std::string::npos) << log;
}

TEST(ForwardingLoop, OnlyTheSixthFailedUnitInARowEndsTheStream) {
  int errors = 0;
  for (int round = 0; round < 100; ++round) {  // five failures, then a unit that goes out
    for (int failure = 0; failure < 5; ++failure) EXPECT_FALSE(count_send_outcome(errors, true));
    EXPECT_FALSE(count_send_outcome(errors, false));
  }
  for (int failure = 0; failure < 5; ++failure) EXPECT_FALSE(count_send_outcome(errors, true));
  EXPECT_TRUE(count_send_outcome(errors, true));
}
