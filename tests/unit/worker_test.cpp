#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "base/log_line.h"
#include "fakes.h"
#include "net/srt_caller.h"
#include "rist/forwarding_loop.h"
#include "rist/media_unit.h"
#include "srt/rist_worker.h"
#include "srt/srt_server.h"

namespace {

using namespace std::chrono_literals;

// libsrt's threads must be ended before the process exits, or its collector thread
// races the library's static destructors; every test of the binary shares this.
class SrtLibrary : public testing::Environment {
 public:
  void SetUp() override { srt_startup(); }
  void TearDown() override { srt_cleanup(); }
};
testing::Environment* const srt_library = testing::AddGlobalTestEnvironment(new SrtLibrary);

bool wait_until(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!condition() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(2ms);
  return condition();
}

bool holds(const std::string& log, const std::string& line) { return log.find(line) != std::string::npos; }

// An SRT caller that announced stream_id, connected over loopback: `accepted` is the
// gateway's side of it.
struct SrtPair {
  explicit SrtPair(const std::string& stream_id = "") {
    SRTSOCKET listener = srt_create_socket();
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    int length = sizeof address;
    srt_bind(listener, reinterpret_cast<sockaddr*>(&address), length);
    srt_listen(listener, 1);
    srt_getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    SrtCallerParams params;
    params.host = "127.0.0.1";
    params.port = ntohs(address.sin_port);
    params.stream_id = stream_id;
    EXPECT_TRUE(connect_caller(caller, params));
    accepted = srt_accept(listener, nullptr, nullptr);
    srt_close(listener);
  }
  ~SrtPair() {
    srt_close(caller);
    srt_close(accepted.exchange(0));
  }

  SRTSOCKET caller = 0;
  std::atomic<SRTSOCKET> accepted{0};
};

// Abstract output for the loop: write N fails where `failures` holds 'x' at N; at the
// second write it runs `action` (on the loop's thread, as librist or a stop would).
class FakeOutput final : public RistOutput {
 public:
  bool start(const OutputRoute&, StreamStats&) override { return true; }
  int write_unit(const uint8_t*) override {
    if (++writes == 2 && action) action();
    return writes <= failures.size() && failures[writes - 1] == 'x' ? -1 : kMediaUnit;
  }
  PeerConnections connections() const override {
    ++polls;
    return connected;
  }
  void log_unconnected_peers() const override { LogLine() << "unconnected peers named"; }
  bool has_died() const override { return died; }

  std::string failures;
  std::function<void()> action;
  std::atomic<PeerConnections> connected{PeerConnections::all};
  std::atomic<bool> died{false};
  std::atomic<size_t> writes{0};
  mutable std::atomic<int> polls{0};
};

// The forwarding loop on a loopback caller, with a fake output and the worker's flag.
struct LoopUnderTest {
  // The caller sends `units` units and hangs up once the loop has ended or written them
  // all; gives the loop's log.
  std::string run(
      int units, const std::function<void()>& while_running = [] {}) {
    EndpointSet route;
    AdaptiveRing ring(kMediaUnit, 10 * kMediaUnit);
    StreamStats stats("cam1", false, "", 0);
    std::atomic<bool> ended{false};
    testing::internal::CaptureStdout();
    std::thread loop([&] {
      process_data_send({route, "cam1", pair.accepted, stopped, ring, output, stats});
      ended = true;
    });
    uint8_t unit[kMediaUnit] = {};
    for (int i = 0; i < units; ++i) srt_send(pair.caller, reinterpret_cast<char*>(unit), sizeof unit);
    while_running();
    EXPECT_TRUE(wait_until([&] { return ended || output.writes == static_cast<size_t>(units); }));
    srt_close(pair.caller);
    loop.join();
    return testing::internal::GetCapturedStdout();
  }

  SrtPair pair;
  FakeOutput output;
  std::atomic<bool> stopped{false};
};

// Every way the loop ends, and its writes; the caller sends `failures` plus 3 units.
// Six failed units in a row end the stream: a unit that goes out restarts the count.
TEST(ForwardingLoop, EndsForEachReasonAndOnlyOnTheSixthFailedUnitInARow) {
  const std::string kLimit = "*** RIST PACKET SEND ERROR (5 times).  STOP.";
  struct Case {
    std::string failures;
    std::function<void(LoopUnderTest&)> at_second_write;
    size_t writes;
    std::string last_line;
  } cases[] = {
      {"", nullptr, 3, "SRT Error: "},
      {"", [](LoopUnderTest& loop) { srt_close(loop.pair.accepted.load()); }, 2, ""},
      {"", [](LoopUnderTest& loop) { loop.stopped = true; }, 2, ""},
      {"", [](LoopUnderTest& loop) { loop.output.died = true; }, 2, ""},
      {"xxxxxx", nullptr, 6, "fail full rist send -1  "},
      {"xxxxx.xxxxx", nullptr, 14, "SRT Error: "},
      {"x.xxxxx.xxxxxx", nullptr, 14, kLimit},
  };
  for (const Case& c : cases) {
    LoopUnderTest loop;
    loop.output.failures = c.failures;
    if (c.at_second_write) loop.output.action = [&] { c.at_second_write(loop); };
    std::string log = loop.run(static_cast<int>(c.failures.size()) + 3);
    EXPECT_EQ(loop.output.writes, c.writes) << c.failures << " " << c.writes;
    EXPECT_TRUE(holds(log, c.last_line)) << log;
    EXPECT_EQ(holds(log, "SRT Error: "), c.last_line == "SRT Error: ") << log;
  }
}

// The first units wait in SRT's buffer until every peer has connected, or until the
// hold gives up and names the peers that did not connect.
TEST(ForwardingLoop, HoldsTheFirstUnitsUntilEveryPeerConnects) {
  for (PeerConnections later : {PeerConnections::all, PeerConnections::none, PeerConnections::some}) {
    LoopUnderTest loop;
    loop.output.connected = PeerConnections::none;
    std::string log = loop.run(2, [&] {
      EXPECT_TRUE(wait_until([&] { return loop.output.polls > 20; }));
      EXPECT_EQ(loop.output.writes, 0u);
      loop.output.connected = later;
    });
    EXPECT_EQ(loop.output.writes, 2u);
    bool held_in_vain = later != PeerConnections::all;
    EXPECT_EQ(holds(log, "-- NOT EVERY RIST PEER CONNECTED, FORWARDING ANYWAY"), held_in_vain) << log;
    EXPECT_EQ(holds(log, "unconnected peers named"), held_in_vain) << log;
  }
}

// Never started, ended by its own loop (a socket id that was never opened) or stopped by
// the owner at once: each is an orderly stop, repeatable, with the thread joined.
TEST(RistWorker, EveryEndIsAnOrderlyStop) {
  for (bool talkback : {false, true}) {  // both loops end
    RistWorker never_started, ends_by_itself, stopped_by_owner;
    never_started.stop();
    ends_by_itself.start(EndpointSet{}, 123456, "cam1", talkback);
    EXPECT_TRUE(wait_until([&] { return !ends_by_itself.is_running(); })) << talkback;
    SrtPair pair;
    stopped_by_owner.start(EndpointSet{}, pair.accepted.exchange(0), "cam1", talkback);
    stopped_by_owner.stop();
    EXPECT_FALSE(stopped_by_owner.is_running());
  }
}

// librist's reports: a connected peer is marked, a timed-out one dropped, and the output
// dies with its last connected peer (one that never connected carries nothing); reports
// once the teardown has begun change nothing.
TEST(RistSender, TheLastTimedOutPeerKillsTheOutputUnlessTornDown) {
  for (bool torn_down : {false, true}) {
    StreamStats stats("cam1", false, "", 0);
    RistSender sender;
    ASSERT_TRUE(sender.start({{"rist://127.0.0.1:2", "rist://127.0.0.1:4"}, {""}, "cam1"}, stats));
    std::vector<RistPeerRecord> peers = sender.peers();
    ASSERT_EQ(peers.size(), 2u);
    EXPECT_EQ(sender.connections(), PeerConnections::none);
    RistSender::on_connection_status(&sender, peers[0].peer, RIST_CONNECTION_ESTABLISHED);
    EXPECT_EQ(sender.connections(), PeerConnections::some);
    std::vector<RistPeerFigures> shown = stats.snapshot().peers;
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_TRUE(shown[0].connected && !shown[1].connected);
    RistSender::on_connection_status(&sender, nullptr, RIST_CONNECTION_TIMED_OUT);
    EXPECT_FALSE(sender.has_died());
    if (torn_down) sender.destroy();
    RistSender::on_connection_status(&sender, peers[0].peer, RIST_CONNECTION_TIMED_OUT);
    EXPECT_EQ(sender.has_died(), !torn_down);
  }
}

TEST(SrtServer, StreamIdsUpToSrtsMaximumAreRead) {
  for (size_t length : {0, 1, 254, 255, 512}) {
    SrtPair pair(std::string(length, 's'));
    std::string stream_id = "unread";
    EXPECT_TRUE(read_stream_id(pair.accepted, stream_id)) << length;
    EXPECT_EQ(stream_id, std::string(length, 's'));
  }
}

// The listener thread ends however soon the stop follows the start.
TEST(SrtServer, StopRightAfterStartEndsTheListenerThread) {
  FakeGlobalState state;
  int port = free_port(SOCK_DGRAM);
  for (int round = 0; round < 20; ++round) {
    SrtServer server(state);
    EXPECT_TRUE(server.start(port)) << round;
    server.stop();  // returns only once the listener thread has ended
  }
  SrtServer restarted(state);
  EXPECT_TRUE(restarted.start(port));
  EXPECT_TRUE(restarted.start(port)) << "a second start stops the first listener";
}

}  // namespace
