#include "stats/stream_registry.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

rist_stats_sender_peer peer_report(uint32_t id, size_t bandwidth) {
  rist_stats_sender_peer report{};
  report.peer_id = id;
  report.bandwidth = bandwidth;
  report.retransmitted = id * 10;
  return report;
}

// The listing, its modes and the accepted count are checked end to end; what only shows
// here is the memory: an ended stream is released at the next add even when nobody
// reads the list.
TEST(StreamRegistry, EndedStreamsAreReleasedAtTheNextAdd) {
  StreamRegistry registry;
  auto ended = std::make_shared<StreamStats>("cam1", false, "10.0.0.1:1000", SRT_INVALID_SOCK, "default");
  registry.add(ended);
  ended->end();
  registry.add(std::make_shared<StreamStats>("cam2", false, "10.0.0.1:1001", SRT_INVALID_SOCK, "default"));
  EXPECT_EQ(ended.use_count(), 1);
  ASSERT_EQ(registry.snapshot().size(), 1u);
}

// librist numbers a context's peers 1, 2, ... in creation order and reports each by
// that number; reports of unknown or removed peers change nothing.
TEST(StreamStats, PeerReportsLandOnThePeerTheyName) {
  StreamStats stats("cam1", false, "", SRT_INVALID_SOCK, "default");
  EXPECT_EQ(stats.add_peer("rist://a?cname=cam1"), 1u);
  EXPECT_EQ(stats.add_peer("rist://b?cname=cam1"), 2u);
  stats.record_peer_report(peer_report(2, 6000000));
  stats.record_peer_report(peer_report(7, 1));

  std::vector<RistPeerFigures> peers = stats.snapshot().peers;
  ASSERT_EQ(peers.size(), 2u);
  EXPECT_EQ(peers[0].bandwidth_bps, 0u) << "not reported yet";
  EXPECT_EQ(peers[1].url, "rist://b?cname=cam1");
  EXPECT_EQ(peers[1].bandwidth_bps, 6000000u);
  EXPECT_EQ(peers[1].retransmitted, 20u);

  stats.remove_peer(1);
  stats.record_peer_report(peer_report(1, 5));
  peers = stats.snapshot().peers;
  ASSERT_EQ(peers.size(), 1u);
  EXPECT_EQ(peers[0].url, "rist://b?cname=cam1");
}

// A socket libsrt does not know reads as zeros, and so do negative counters.
TEST(StreamStats, SrtLegIsZeroWithoutALiveSocketOrCounter) {
  StreamStats unknown("cam1", false, "", 123456, "default");
  EXPECT_EQ(unknown.snapshot().srt.bytes_received, 0u);
  SRT_TRACEBSTATS perf{};
  perf.pktRcvLossTotal = -1;
  EXPECT_EQ(srt_leg_figures(perf).packets_lost, 0u);
}

// Readers, the loop's counters, librist's reports and the teardown all at once: the
// sanitizer builds check that none of them races.
TEST(StreamStats, ConcurrentReadersWritersAndTeardown) {
  StreamRegistry registry;
  auto stats = std::make_shared<StreamStats>("cam1", false, "", 123456, "default");
  stats->add_peer("rist://a");
  registry.add(stats);
  std::thread loop([&] {
    for (int i = 0; i < 20000; ++i) stats->units_written.fetch_add(1, std::memory_order_relaxed);
  });
  std::thread librist([&] {
    for (uint32_t i = 0; i < 2000; ++i) stats->record_peer_report(peer_report(1, i));
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      for (int i = 0; i < 300; ++i) registry.snapshot();
    });
  }
  loop.join();
  librist.join();
  stats->forget_socket();
  stats->end();
  for (std::thread& reader : readers) reader.join();
  EXPECT_TRUE(registry.snapshot().empty());
  EXPECT_EQ(stats->units_written.load(), 20000u);
}

}  // namespace
