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
      {"10.0.0.5:5000", "rist://10.0.0.5:5000", false},
      {"rist://10.0.0.5:5000", "rist://10.0.0.5:5000", false},
      {" 10.0.0.5 : 5000 ", "rist://10.0.0.5:5000", false},
      {"mixer:5000", "rist://mixer:5000", true},
      {"a.b.c.d:1", "rist://a.b.c.d:1", false},
      {"10.0.0.:65535", "rist://10.0.0.:65535", true},
      {"10.0.0.5:87036", kBadPort, false},
      {"10.0.0.5:0", kBadPort, false},
      {"10.0.0.5", "no port", false},
      {"host:", "no port", false},
      {":5000", "no host", false},
      {"10.0.0.5:5000:7", "host:port expected", false},
      {"fe80::1:5000", "IPv6 is not supported", false},
      {"10.0.0.5?buffer=0:5000", "the host has characters no host name has", false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> urls;
    std::string log = captured_log([&] { urls = normalise_destinations({c.destination}); });
    EXPECT_EQ(log.find(kDnsWarning) != std::string::npos, c.warns) << c.destination;
    if (c.expected.rfind("rist://", 0) == 0) {
      EXPECT_EQ(urls, std::vector<std::string>{c.expected}) << c.destination;
    } else {
      EXPECT_TRUE(urls.empty()) << c.destination;
      EXPECT_NE(log.find("-- RIST DESTINATION REFUSED, " + c.expected + ": " + c.destination),
                std::string::npos)
          << log;
    }
  }
  std::string log = captured_log([] {
    EXPECT_EQ(normalise_destinations({"10.0.0.5:5000", "bad", "10.0.0.6:6000"}),
              (std::vector<std::string>{"rist://10.0.0.5:5000", "rist://10.0.0.6:6000"}));
    EXPECT_TRUE(normalise_destinations({}).empty());
  });
  EXPECT_NE(log.find("-- NO RIST DESTINATION"), std::string::npos) << log;
}

// librist parses no byte of the stream id: it gets the cname, cut to librist's field.
TEST(Endpoints, TheStreamIdReachesLibristOnlyAsACnameThatFitsItsField) {
  using namespace std::string_literals;
  PeerUrls urls = peer_urls("rist://h:1", "x&buffer=0", "10.1.1.7", UplinkMode::duplicate);
  EXPECT_EQ(urls.parsed, "rist://h:1?miface=10.1.1.7&weight=0");
  EXPECT_EQ(urls.shown, "rist://h:1?cname=x&buffer=0&miface=10.1.1.7&weight=0");
  EXPECT_EQ(peer_urls("rist://h:1", "cam1", "", UplinkMode::balance).parsed, "rist://h:1");
  const std::string accented = std::string(124, 'a') + "\xC3\xA9" + "b";  // "é" across the limit
  struct Case {
    std::string stream_id, cname;
  } cases[] = {
      {"a\0b"s, "a"},
      {std::string(512, 'a'), std::string(kMaxCnameLength, 'a')},
      {accented, accented.substr(0, 124)},
  };
  for (const Case& c : cases) EXPECT_EQ(peer_cname(c.stream_id), c.cname) << c.stream_id.size();
}

std::string described(const SrtCallerParams& p) {
  return p.host + ":" + std::to_string(p.port) + " bind=" + p.bind_address + " id=" + p.stream_id +
         " latency=" + std::to_string(p.latency) + " pbkeylen=" + std::to_string(p.pbkeylen);
}

// The connection the talkback URL describes, or the reason it is refused. Numbers that
// are not plain 32-bit digit strings give 0; the passphrase never reaches the log.
TEST(Endpoints, TalkbackUrlDescribesTheOutgoingConnectionOrIsRefused) {
  const std::string kBadPort = ": the port must be a number from 1 to 65535";
  struct Case {
    std::string endpoint;
    std::vector<std::string> networks;
    std::string expected;
  } cases[] = {
      {"srt://10.0.0.9:7000?streamid=studio&latency=200&pbkeylen=16&passphrase=secret-phrase",
       {"192.168.1.20", "10.1.1.7"},
       "10.0.0.9:7000 bind=192.168.1.20 id=studio latency=200 pbkeylen=16"},
      {"srt://10.0.0.9:7000", {}, "10.0.0.9:7000 bind= id=tb latency=0 pbkeylen=0"},
      {"srt://10.0.0.9:7000&streamid=&latency=-5&pbkeylen=abc",
       {""},
       "10.0.0.9:7000 bind= id= latency=0 pbkeylen=0"},
      {"srt://h:7?latency=99999999999&pbkeylen=2147483648", {}, "h:7 bind= id=tb latency=0 pbkeylen=0"},
      {"", {}, ":0 bind= id=tb latency=0 pbkeylen=0"},
      {"srt://10.0.0.9:86636", {}, "Invalid talkback endpoint 10.0.0.9:86636" + kBadPort},
      {"srt://10.0.0.9?latency=1", {}, "Invalid talkback endpoint 10.0.0.9" + kBadPort},
      {"srt://[::1]:9000?passphrase=secret-phrase",
       {},
       "Invalid talkback endpoint [::1]:9000: IPv6 is not supported"},
  };
  for (const Case& c : cases) {
    std::optional<SrtCallerParams> params;
    std::string log = captured_log([&] { params = talkback_caller_params(c.endpoint, c.networks, "tb"); });
    std::string outcome = params ? described(*params) : log;
    EXPECT_NE(outcome.find(c.expected), std::string::npos) << c.endpoint << ": " << outcome;
    EXPECT_EQ(log.find("secret-phrase"), std::string::npos) << log;
  }
}

}  // namespace
