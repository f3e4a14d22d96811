#include "rist/rist_worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "rist/rist_sender.h"

namespace {

TEST(RistWorker, StreamIdChoosesTheLoop) {
  struct Case {
    const char* stream_id;
    bool talkback;
  } cases[] = {
      {"studio-talkback-2", true}, {"feedbackplay", true}, {"talkback+feedbackplay", true},
      {"Talkback", false},         {"default", false},     {"cam1", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_talkback_stream(c.stream_id), c.talkback) << c.stream_id;
}

TEST(RistWorker, StopOnANeverStartedWorkerIsHarmlessAndRepeatable) {
  testing::internal::CaptureStdout();
  {
    RistWorker worker;
    EXPECT_FALSE(worker.is_running());
    worker.stop();
    worker.stop();
  }
  std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("close peers ctx:0 peers:0"), std::string::npos) << log;
  EXPECT_NE(log.find("~RistWorker"), std::string::npos);
}

// A socket id that was never opened: the loop finds it closed, stops its own worker on
// its own thread, and the owner's destructor then joins that thread.
TEST(RistWorker, LoopThatEndsByItselfIsJoinedByTheOwner) {
  for (const char* stream_id : {"cam1", "cam1-talkback"}) {
    testing::internal::CaptureStdout();
    {
      RistWorker worker;
      worker.start(EndpointSet{}, 123456, stream_id);
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (worker.is_running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      EXPECT_FALSE(worker.is_running()) << stream_id;
    }
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("RistWorker end STOPed"), std::string::npos) << log;
  }
}

TEST(RistWorker, PeersAreMarkedConnectedAndTheLastTimedOutPeerStopsTheWorker) {
  RistWorker worker;
  worker.stopped = false;
  worker.rist_ctx = reinterpret_cast<rist_ctx*>(0x100);  // stands for a running sender
  auto* first = reinterpret_cast<rist_peer*>(0x1000);
  auto* second = reinterpret_cast<rist_peer*>(0x2000);
  worker.peers = {{"", "rist://a?cname=x", first}, {"", "rist://b?cname=x", second}};
  testing::internal::CaptureStdout();
  on_connection_status(&worker, first, RIST_CONNECTION_ESTABLISHED);
  EXPECT_TRUE(worker.peers[0].connected);
  EXPECT_FALSE(worker.peers[1].connected);
  on_connection_status(&worker, first, RIST_CONNECTION_TIMED_OUT);
  EXPECT_TRUE(worker.is_running());
  EXPECT_EQ(worker.peers.size(), 1u);
  on_connection_status(&worker, reinterpret_cast<rist_peer*>(0x3000), RIST_CONNECTION_TIMED_OUT);
  EXPECT_TRUE(worker.is_running()) << "an unknown peer removes nothing";
  on_connection_status(&worker, second, RIST_CONNECTION_TIMED_OUT);
  std::string log = testing::internal::GetCapturedStdout();
  worker.rist_ctx = nullptr;  // not a sender the destructor could free
  EXPECT_FALSE(worker.is_running());
  EXPECT_TRUE(worker.peers.empty());
  EXPECT_NE(log.find("remove rist://a?cname=x"), std::string::npos) << log;
  EXPECT_NE(log.find("for full disconnect need destroy 1 peers"), std::string::npos) << log;
  EXPECT_NE(log.find("NEED srt DISCONNECT - has not peers "), std::string::npos) << log;
}

}  // namespace
