#include "rist/talkback_loop.h"

#include <gtest/gtest.h>

TEST(TalkbackLoop, EndpointParametersDescribeTheOutgoingConnection) {
  struct Case {
    std::string endpoint;
    std::vector<std::string> networks;
    std::string host, bind_address, stream_id;
    int port, latency, pbkeylen;
  } cases[] = {
      {"srt://10.0.0.9:7000?streamid=studio&latency=200&pbkeylen=16",
       {"192.168.1.20", "10.1.1.7"},
       "10.0.0.9",
       "192.168.1.20",
       "studio",
       7000,
       200,
       16},
      {"srt://10.0.0.9:7000", {}, "10.0.0.9", "", "cam-talkback", 7000, 0, 0},
      {"srt://10.0.0.9:7000?streamid=&latency=-5&pbkeylen=abc", {""}, "10.0.0.9", "", "", 7000, 0, 0},
      {"srt://10.0.0.9:7000?latency=99999999999&pbkeylen=2147483648",
       {},
       "10.0.0.9",
       "",
       "cam-talkback",
       7000,
       0,
       0},
      {"", {}, "", "", "cam-talkback", 0, 0, 0},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    std::optional<SrtCallerParams> parsed = talkback_caller_params(c.endpoint, c.networks, "cam-talkback");
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(parsed) << c.endpoint;
    const SrtCallerParams& params = *parsed;
    EXPECT_EQ(params.host, c.host) << c.endpoint;
    EXPECT_EQ(params.port, c.port) << c.endpoint;
    EXPECT_EQ(params.bind_address, c.bind_address) << c.endpoint;
    EXPECT_EQ(params.stream_id, c.stream_id) << c.endpoint;
    EXPECT_EQ(params.latency, c.latency) << c.endpoint;
    EXPECT_EQ(params.pbkeylen, c.pbkeylen) << c.endpoint;
  }
}

TEST(TalkbackLoop, EndpointsWithoutAUsableIpv4PortAreRefused) {
  struct Case {
    std::string endpoint, reason;
  } cases[] = {
      {"srt://10.0.0.9:86636",
       "Invalid talkback endpoint 10.0.0.9:86636: the port must be a number from 1 to 65535"},
      {"srt://10.0.0.9:0?latency=1",
       "Invalid talkback endpoint 10.0.0.9:0: the port must be a number from 1 to 65535"},
      {"srt://10.0.0.9:port",
       "Invalid talkback endpoint 10.0.0.9:port: the port must be a number from 1 to 65535"},
      {"srt://10.0.0.9", "Invalid talkback endpoint 10.0.0.9: the port must be a number from 1 to 65535"},
      {"srt://[::1]:9000?passphrase=secret", "Invalid talkback endpoint [::1]:9000: IPv6 is not supported"},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    EXPECT_FALSE(talkback_caller_params(c.endpoint, {}, "cam-talkback")) << c.endpoint;
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find(c.reason), std::string::npos) << log;
  }
}
