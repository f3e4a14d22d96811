#include "srt/srt_server.h"

#include <gtest/gtest.h>

#include "fakes.h"
#include "net/srt_caller.h"

namespace {

// A listening SRT socket on a free loopback port.
class Listener {
 public:
  Listener() {
    socket = srt_create_socket();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    EXPECT_NE(srt_bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), SRT_ERROR);
    EXPECT_NE(srt_listen(socket, 4), SRT_ERROR);
    int length = sizeof address;
    srt_getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ~Listener() { srt_close(socket); }

  SRTSOCKET socket;
  int port;
};

TEST(SrtServer, StreamIdsUpToSrtsMaximumAreRead) {
  Listener listener;
  for (size_t length : {0, 1, 254, 255, 512}) {
    SrtCallerParams params;
    params.host = "127.0.0.1";
    params.port = listener.port;
    params.stream_id = std::string(length, 's');
    SRTSOCKET caller = 0;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(connect_caller(caller, params)) << testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStdout();
    SRTSOCKET accepted = srt_accept(listener.socket, nullptr, nullptr);
    ASSERT_NE(accepted, SRT_INVALID_SOCK);
    std::string stream_id = "unread";
    EXPECT_TRUE(read_stream_id(accepted, stream_id));
    EXPECT_EQ(stream_id, params.stream_id);
    srt_close(accepted);
    srt_close(caller);
  }
}

TEST(SrtServer, StopRightAfterStartEndsTheListenerThread) {
  FakeGlobalState state;
  int port = free_port(SOCK_DGRAM);
  testing::internal::CaptureStdout();
  for (int round = 0; round < 20; ++round) {
    SrtServer server(state);
    EXPECT_TRUE(server.start(port)) << round;
    server.stop();  // returns only once the listener thread has ended
  }
  SrtServer restarted(state);
  EXPECT_TRUE(restarted.start(port));
  EXPECT_TRUE(restarted.start(port));
  std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("WARN: server already started. stopped ..."), std::string::npos);
}

}  // namespace
