#include "srt/srt_caller.h"

#include <gtest/gtest.h>

namespace {

// libsrt's threads must be ended before the process exits, or its collector thread
// races the library's static destructors; every test of the binary shares this.
class SrtLibrary : public testing::Environment {
 public:
  void SetUp() override { srt_startup(); }
  void TearDown() override { srt_cleanup(); }
};

testing::Environment* const srt_library = testing::AddGlobalTestEnvironment(new SrtLibrary);

const char* const kDnsWarning = "-- WARNING: resolve DNS not implemented. Use IP for host";

TEST(SrtCaller, CheckHostWarnsUnlessFourDotSeparatedPieces) {
  struct Case {
    std::string host;
    bool warns;
  } cases[] = {
      {"10.0.0.5", false}, {"a.b.c.d", false}, {"10.0.0", true},
      {"10.0.0.", true},   {"mixer", true},    {"", true},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_host(c.host), c.host);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log.find(kDnsWarning) != std::string::npos, c.warns) << c.host;
  }
}

TEST(SrtCaller, TargetThatIsNotIpv4TextFailsBeforeConnectingAndKeepsTheSecret) {
  SrtCallerParams params;
  params.host = "mixer";
  params.port = 5000;
  params.passphrase = "very-secret-words";
  params.pbkeylen = 16;
  testing::internal::CaptureStdout();
  SRTSOCKET socket = 0;
  EXPECT_FALSE(connect_caller(socket, params));
  std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("Invalid target IP address mixer:5000"), std::string::npos) << log;
  EXPECT_NE(log.find("set passphrase:*** pbkey:16"), std::string::npos) << log;
  EXPECT_EQ(log.find("very-secret-words"), std::string::npos) << log;
  EXPECT_NE(srt_getsockstate(socket), SRTS_INIT) << "the failed socket was closed";
}

}  // namespace
