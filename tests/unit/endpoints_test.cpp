#include "rist/endpoints.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

std::string captured_log(const std::function<void()>& action) {
  testing::internal::CaptureStdout();
  action();
  return testing::internal::GetCapturedStdout();
}

// Each destination gives its base URL, a host that is not four dotted pieces with a
// warning; no destination at all is logged.
TEST(Endpoints, DestinationsBecomePeerBaseUrls) {
  const std::string kDnsWarning = "-- WARNING: resolve DNS not implemented. Use IP for host";
  std::vector<std::string> urls;
  std::string log = captured_log([&] { urls = normalise_destinations({{"10.0.0.5", 5000}, {"mixer", 5001}}); });
  EXPECT_EQ(urls, (std::vector<std::string>{"rist://10.0.0.5:5000", "rist://mixer:5001"}));
  EXPECT_EQ(log.find(kDnsWarning), log.rfind(kDnsWarning)) << "one warning, for mixer";
  EXPECT_NE(log.find(kDnsWarning), std::string::npos) << log;
  log = captured_log([] { EXPECT_TRUE(normalise_destinations({}).empty()); });
  EXPECT_NE(log.find("-- NO RIST DESTINATION"), std::string::npos) << log;
}

// librist parses no byte of the stream id: it gets the cname, cut to librist's field.
TEST(Endpoints, TheStreamIdReachesLibristOnlyAsACnameThatFitsItsField) {
  PeerUrls urls = peer_urls("rist://h:1", "x&buffer=0", "10.1.1.7", UplinkMode::duplicate);
  EXPECT_EQ(urls.parsed, "rist://h:1?miface=10.1.1.7&weight=0");
  EXPECT_EQ(urls.shown, "rist://h:1?cname=x&buffer=0&miface=10.1.1.7&weight=0");
  EXPECT_EQ(peer_urls("rist://h:1", "cam1", "", UplinkMode::balance).parsed, "rist://h:1");
  EXPECT_EQ(peer_cname(std::string("a\0b", 3)), "a");
  EXPECT_EQ(peer_cname(std::string(512, 'a')), std::string(125, 'a'));
  EXPECT_EQ(peer_cname(std::string(200, '\x82')), std::string(125, '\x82')) << "no UTF-8: cut at the limit";
  const std::string accented = std::string(124, 'a') + "\xC3\xA9" + "b";  // "é" across the limit
  EXPECT_EQ(peer_cname(accented), accented.substr(0, 124));
}

}  // namespace
