#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "base/log_line.h"
#include "config/settings.h"
#include "fakes.h"
#include "net/srt_caller.h"
#include "rist/forwarding_loop.h"
#include "rist/media_unit.h"
#include "rist/rist_sender.h"
#include "srt/srt_server.h"
#include "talkback/talkback_loop.h"

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

// A libsrt listener on a loopback port of its own.
struct SrtListener {
  SrtListener() {
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    int length = sizeof address;
    srt_bind(socket, reinterpret_cast<sockaddr*>(&address), length);
    srt_listen(socket, 1);
    srt_getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ~SrtListener() { srt_close(socket); }

  SRTSOCKET socket = srt_create_socket();
  int port = 0;
};

// An SRT caller that announced stream_id, connected over loopback: `accepted` is the
// gateway's side of it.
struct SrtPair {
  explicit SrtPair(const std::string& stream_id = "") {
    SrtListener listener;
    SrtCallerParams params;
    params.host = "127.0.0.1";
    params.port = listener.port;
    params.stream_id = stream_id;
    EXPECT_TRUE(connect_caller(caller, params));
    accepted = srt_accept(listener.socket, nullptr, nullptr);
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
  int write_unit(const uint8_t*, bool more_follow) override {
    last_held_back = more_follow;
    if (++writes == 2 && action) action();
    return writes <= failures.size() && failures[writes - 1] == 'x' ? -1 : kMediaUnit;
  }
  PeerConnections connections() const override {
    ++polls;
    return connected;
  }
  void log_unconnected_peers() const override { named_unconnected = true; }
  bool has_died() const override { return died; }

  std::string failures;
  std::function<void()> action;
  std::atomic<PeerConnections> connected{PeerConnections::all};
  std::atomic<bool> died{false};
  std::atomic<size_t> writes{0};
  std::atomic<bool> last_held_back{false};  // the last write said another follows at once
  mutable std::atomic<int> polls{0};
  mutable std::atomic<bool> named_unconnected{false};
};

// The forwarding loop on a loopback caller, with a fake output, the worker's flag and
// a clock the test moves on.
struct LoopUnderTest {
  // The caller sends `units` units and hangs up once the loop has ended or written them
  // all; gives why the loop ended.
  LoopEnd run(
      int units, const std::function<void()>& while_running = [] {}) {
    EndpointSet route;
    AdaptiveRing ring(kMediaUnit, 10 * kMediaUnit);
    StreamStats stats("cam1", false, "", 0, "default");
    std::atomic<bool> ended{false};
    LoopEnd end{};
    std::thread loop([&] {
      end = process_data_send({route, "cam1", pair.accepted, stopped, ring, output, stats, clock});
      ended = true;
    });
    uint8_t unit[kMediaUnit] = {};
    for (int i = 0; i < units; ++i) srt_send(pair.caller, reinterpret_cast<char*>(unit), sizeof unit);
    while_running();
    EXPECT_TRUE(wait_until([&] { return ended || output.writes == static_cast<size_t>(units); }));
    srt_close(pair.caller);
    loop.join();
    return end;
  }

  SrtPair pair;
  FakeOutput output;
  std::atomic<bool> stopped{false};
  FakeClock clock;
};

// Every way the loop ends, and its writes; the caller sends `failures` plus 3 units.
// Six failed units in a row end the stream: a unit that goes out restarts the count.
TEST(ForwardingLoop, EndsForEachReasonAndOnlyOnTheSixthFailedUnitInARow) {
  struct Case {
    std::string failures;
    std::function<void(LoopUnderTest&)> at_second_write;
    size_t writes;
    LoopEnd end;
  } cases[] = {
      {"", nullptr, 3, LoopEnd::caller_closed},
      {"", [](LoopUnderTest& loop) { srt_close(loop.pair.accepted.exchange(0)); }, 2, LoopEnd::caller_closed},
      {"", [](LoopUnderTest& loop) { loop.stopped = true; }, 2, LoopEnd::stopped},
      {"", [](LoopUnderTest& loop) { loop.output.died = true; }, 2, LoopEnd::output_died},
      {"xxxxxx", nullptr, 6, LoopEnd::send_errors},
      {"xxxxx.xxxxx", nullptr, 14, LoopEnd::caller_closed},
      {"x.xxxxx.xxxxxx", nullptr, 14, LoopEnd::send_errors},
  };
  for (const Case& c : cases) {
    LoopUnderTest loop;
    loop.output.failures = c.failures;
    if (c.at_second_write) loop.output.action = [&] { c.at_second_write(loop); };
    EXPECT_EQ(loop.run(static_cast<int>(c.failures.size()) + 3), c.end) << c.failures << " " << c.writes;
    EXPECT_EQ(loop.output.writes, c.writes) << c.failures << " " << c.writes;
    // Units taken together go out together: the last one must not wait for another.
    if (c.writes == c.failures.size() + 3) {
      EXPECT_FALSE(loop.output.last_held_back) << c.failures;
    }
  }
}

// The first units wait in SRT's buffer until every peer has connected, or until the
// hold gives up (after 2 s with no peer connected, 3.5 s with some) and names the peers
// that did not connect.
TEST(ForwardingLoop, HoldsTheFirstUnitsUntilEveryPeerConnects) {
  const struct {
    PeerConnections later;
    std::chrono::milliseconds gives_up_after;
  } cases[] = {{PeerConnections::all, 0ms}, {PeerConnections::none, 2000ms}, {PeerConnections::some, 3500ms}};
  for (const auto& c : cases) {
    LoopUnderTest loop;
    loop.output.connected = PeerConnections::none;
    auto still_held_after_polls = [&] {
      int polls = loop.output.polls;
      EXPECT_TRUE(wait_until([&] { return loop.output.polls > polls + 20; }));
      EXPECT_EQ(loop.output.writes, 0u);
    };
    loop.run(2, [&] {
      still_held_after_polls();
      loop.output.connected = c.later;
      if (c.later == PeerConnections::all) return;
      loop.clock.advance(c.gives_up_after - 1ms);
      still_held_after_polls();
      loop.clock.advance(1ms);
    });
    EXPECT_EQ(loop.output.writes, 2u);
    EXPECT_EQ(loop.output.named_unconnected, c.later != PeerConnections::all);
  }
}

// The talkback loop ends when its source closes, once units went through. A missing
// source, a caller that hangs up and the worker's stop end it in the e2e tests.
TEST(TalkbackLoop, EndsWhenTheSourceCloses) {
  SrtPair pair("studio-talkback");
  SrtListener source_listener;
  EndpointSet route;
  route.tb_endpoint = parse_settings("tb_endpoint=srt://127.0.0.1:" + std::to_string(source_listener.port))
                          .settings.tb_endpoint;
  std::atomic<SRTSOCKET> talkback_socket{0};
  std::atomic<bool> stopped{false};
  StreamStats stats("studio-talkback", true, "", 0, "default");
  LoopEnd end{};
  std::thread loop([&] {
    end = process_talkback_srt2srt({route, "tb", pair.accepted, talkback_socket, stopped, stats});
  });
  SRTSOCKET source = srt_accept(source_listener.socket, nullptr, nullptr);
  uint8_t unit[kMediaUnit] = {};
  EXPECT_TRUE(wait_until([&] {
    srt_send(source, reinterpret_cast<char*>(unit), sizeof unit);
    return stats.units_written > 0;
  }));
  srt_close(source);
  loop.join();
  EXPECT_EQ(end, LoopEnd::source_closed);
  srt_close(talkback_socket.exchange(0));
}

// librist's reports: a connected peer is marked, a timed-out one dropped, and the output
// dies with its last connected peer (one that never connected carries nothing); reports
// once the teardown has begun change nothing.
TEST(RistSender, TheLastTimedOutPeerKillsTheOutputUnlessTornDown) {
  for (bool torn_down : {false, true}) {
    StreamStats stats("cam1", false, "", 0, "default");
    RistSender sender;
    ASSERT_TRUE(sender.start({{{"127.0.0.1", 2, {}}, {"127.0.0.1", 4, {}}}, {""}, "cam1"}, stats));
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
