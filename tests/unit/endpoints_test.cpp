#include "rist/endpoints.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

std::string captured_log(const std::function<void()>& action) {
  testing::internal::CaptureStdout();
  action();
  return testing::internal::GetCapturedStdout();
}

// Each destination gives its base URL (a host that is not four dotted pieces with a
// warning), or nothing and a log line naming the reason.
TEST(Endpoints, DestinationsBecomePeerBaseUrlsOrAreRefusedWithTheReason) {
  const std::string kDnsWarning = "-- WARNING: resolve DNS not implemented. Use IP for host";
  const std::string kBadPort = "the port must be a number from 1 to 65535";
  struct Case {
    std::string destination, expected;  // the URL, or the reason logged
    bool warns;
  } cases[] = {
      {" rist://10.0.0.5 : 5000 ", "rist://10.0.0.5:5000", false},
      {"mixer:5000", "rist://mixer:5000", true},
      {"10.0.0.5:87036", kBadPort, false},
      {"10.0.0.5:0", kBadPort, false},
      {"10.0.0.5", "no port", false},
      {":5000", "no host", false},
      {"10.0.0.5:5000:7", "host:port expected", false},
      {"fe80::1:5000", "IPv6 is not supported", false},
      {"10.0.0.5?buffer=0:5000", "the host has characters no host name has", false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> urls;
    std::string log = captured_log([&] { urls = normalise_destinations({c.destination}); });
    EXPECT_EQ(log.find(kDnsWarning) != std::string::npos, c.warns) << c.destination;
    bool accepted = c.expected.rfind("rist://", 0) == 0;
    EXPECT_EQ(urls, accepted ? std::vector<std::string>{c.expected} : std::vector<std::string>{})
        << c.destination;
    std::string refusal = "-- RIST DESTINATION REFUSED, " + c.expected + ": " + c.destination;
    EXPECT_TRUE(accepted || log.find(refusal) != std::string::npos) << log;
  }
  std::string log = captured_log([] {
    EXPECT_EQ(normalise_destinations({"10.0.0.5:5000", "bad", "10.0.0.6:6000"}),
              (std::vector<std::string>{"rist://10.0.0.5:5000", "rist://10.0.0.6:6000"}));
    EXPECT_TRUE(normalise_destinations({}).empty());
  });
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
    PeerUrls urls = peer_urls("rist://h:1", c.stream_id, c.network, UplinkMode::duplicate);
    EXPECT_EQ(urls.shown, c.shown);
    EXPECT_EQ(urls.parsed, c.network.empty() ? "rist://h:1" : "rist://h:1?miface=" + c.network + "&weight=0");
  }
  EXPECT_EQ(peer_cname(std::string("a\0b", 3)), "a");
  EXPECT_EQ(peer_cname(std::string(512, 'a')), std::string(125, 'a'));
  EXPECT_EQ(peer_cname(std::string(200, '\x82')), std::string(125, '\x82')) << "no UTF-8: cut at the limit";
  const std::string accented = std::string(124, 'a') + "\xC3\xA9" + "b";  // "é" across the limit
  EXPECT_EQ(peer_cname(accented), accented.substr(0, 124));
}

std::string described(const SrtCallerParams& p) {
  return p.host + ":" + std::to_string(p.port) + " id=" + p.stream_id +
         " latency=" + std::to_string(p.latency) + " pbkeylen=" + std::to_string(p.pbkeylen) +
         " pass=" + p.passphrase;
}

// The connection the talkback URL describes, or the reason it is refused. A URL without
// "://" supplies nothing, so every field keeps its default; numbers that are not plain
// 32-bit digit strings give 0; the passphrase never reaches the log.
TEST(Endpoints, TalkbackUrlDescribesTheOutgoingConnectionOrIsRefused) {
  const std::string kBadPort = ": the port must be a number from 1 to 65535";
  const std::pair<std::string, std::string> cases[] = {
      {"srt://10.0.0.9:7000?streamid=studio&latency=200&pbkeylen=16&passphrase=secret-phrase",
       "10.0.0.9:7000 id=studio latency=200 pbkeylen=16 pass=secret-phrase"},
      {"srt://10.0.0.9:7000&streamid=&latency=-5&pbkeylen=abc",
       "10.0.0.9:7000 id= latency=0 pbkeylen=0 pass="},
      {"srt://h:7?latency=99999999999&pbkeylen=2147483648", "h:7 id=tb latency=0 pbkeylen=0"},
      {"srt://h:7/path?flag&=v&passphrase=a=b&latency=1&latency=2&",
       "h:7 id=tb latency=2 pbkeylen=0 pass=a=b"},
      {"10.0.0.9:7000?streamid=x", ":0 id=tb latency=0 pbkeylen=0 pass="},
      {"srt://10.0.0.9:86636", "Invalid talkback endpoint 10.0.0.9:86636" + kBadPort},
      {"srt://h:99999999999", "Invalid talkback endpoint h:99999999999" + kBadPort},
      {"srt://10.0.0.9?latency=1", "Invalid talkback endpoint 10.0.0.9" + kBadPort},
      {"srt://[::1]:9000?passphrase=secret-phrase",
       "Invalid talkback endpoint [::1]:9000: IPv6 is not supported"},
  };
  for (const auto& [endpoint, expected] : cases) {
    std::optional<SrtCallerParams> params;
    std::string log = captured_log([&] {
      params = talkback_caller_params(endpoint, {"10.1.1.7", "10.1.1.8"}, "tb");
    });
    std::string outcome = params ? described(*params) : log;
    EXPECT_NE(outcome.find(expected), std::string::npos) << endpoint << ": " << outcome;
    EXPECT_EQ(log.find("secret-phrase"), std::string::npos) << log;
    EXPECT_TRUE(!params || params->bind_address == "10.1.1.7") << endpoint;
  }
  captured_log([] { EXPECT_EQ(talkback_caller_params("srt://h:7", {}, "tb")->bind_address, ""); });
}

}  // namespace
