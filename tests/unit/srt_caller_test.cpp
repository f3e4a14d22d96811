#include "net/srt_caller.h"

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

}  // namespace
