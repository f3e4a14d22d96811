#include "rist/endpoints.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

std::string captured_log(const std::function<void()>& action) {
  testing::internal::CaptureStdout();
  action();
  return testing::internal::GetCapturedStdout();
}

// A host that is not four dotted pieces is warned about; no destination at all is logged.
TEST(Endpoints, DestinationsAreCheckedBeforeThePeersAreMade) {
  const std::string kDnsWarning = "-- WARNING: resolve DNS not implemented. Use IP for host";
  std::string log = captured_log([&] {
    check_destinations({{"10.0.0.5", 5000, {}}, {"mixer", 5001, {}}, {"2001:db8::7", 5002, {}}});
  });
  EXPECT_EQ(log.find(kDnsWarning), log.rfind(kDnsWarning)) << "one warning, for mixer";
  EXPECT_NE(log.find(kDnsWarning), std::string::npos) << log;
  log = captured_log([] { check_destinations({}); });
  EXPECT_NE(log.find("-- NO RIST DESTINATION"), std::string::npos) << log;
}

// librist parses no byte of the stream id: it gets the cname, cut to librist's field.
// The shown URL encodes every byte of the id that is not unreserved in a URL, so that
// a reader or a tool sees no option that was never applied.
TEST(Endpoints, TheStreamIdReachesLibristOnlyAsACnameThatFitsItsField) {
  struct Case {
    std::string stream_id, network, shown;
  } cases[] = {
      {"cam1", "", "rist://h:1?cname=cam1"},
      {"Cam-1.a_b~2", "10.1.1.7", "rist://h:1?cname=Cam-1.a_b~2&miface=10.1.1.7&weight=0"},
      {"cam9&buffer=50&weight=7&miface=10.9.9.9&secret=x", "192.0.2.2",
       "rist://h:1?cname=cam9%26buffer%3D50%26weight%3D7%26miface%3D10.9.9.9%26secret%3Dx"
       "&miface=192.0.2.2&weight=0"},
      {"?cname=a#b/c%d e+f", "", "rist://h:1?cname=%3Fcname%3Da%23b%2Fc%25d%20e%2Bf"},
      {std::string("caf\xC3\xA9\n\0\xFF", 8), "", "rist://h:1?cname=caf%C3%A9%0A%00%FF"},
  };
  for (const Case& c : cases) {
    PeerUrls urls = peer_urls({"h", 1, {}}, c.stream_id, c.network, UplinkMode::duplicate);
    EXPECT_EQ(urls.shown, c.shown);
    EXPECT_EQ(urls.parsed, c.network.empty() ? "rist://h:1" : "rist://h:1?miface=" + c.network + "&weight=0");
  }
  // The destination's options are shown after the peer's, never parsed by librist.
  RistOptions options{RistProfile::main, "s&buffer=0", 256, 500, 0, "op", "pw"};
  PeerUrls urls = peer_urls({"h", 1, options}, "cam1", "10.1.1.7", UplinkMode::balance);
  EXPECT_EQ(urls.parsed, "rist://h:1?miface=10.1.1.7&weight=1");
  EXPECT_EQ(
      urls.shown,
      "rist://"
      "h:1?cname=cam1&miface=10.1.1.7&weight=1&buffer=500&aes-type=256&secret=***&username=op&password=***");
  EXPECT_EQ(peer_cname(std::string("a\0b", 3)), "a");
  EXPECT_EQ(peer_cname(std::string(512, 'a')), std::string(125, 'a'));
  EXPECT_EQ(peer_cname(std::string(200, '\x82')), std::string(125, '\x82')) << "no UTF-8: cut at the limit";
  const std::string accented = std::string(124, 'a') + "\xC3\xA9" + "b";  // "é" across the limit
  EXPECT_EQ(peer_cname(accented), accented.substr(0, 124));
}

}  // namespace
