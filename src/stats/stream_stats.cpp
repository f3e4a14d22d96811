#include "stats/stream_stats.h"

#include <algorithm>
#include <utility>

StreamStats::StreamStats(std::string id, bool is_talkback, std::string caller_address, SRTSOCKET srt_socket,
                         std::string route_name)
    : stream_id(std::move(id)),
      talkback(is_talkback),
      caller(std::move(caller_address)),
      route(std::move(route_name)),
      started(std::chrono::steady_clock::now()),
      socket(srt_socket) {}

uint32_t StreamStats::add_peer(const std::string& url) {
  std::lock_guard<std::mutex> lock(mutex);
  uint32_t id = ++peers_created;
  peers.push_back({id, RistPeerFigures{url}});
  return id;
}

void StreamStats::set_peer_connected(uint32_t id) {
  std::lock_guard<std::mutex> lock(mutex);
  auto found = std::find_if(peers.begin(), peers.end(), [id](const Peer& peer) { return peer.id == id; });
  if (found != peers.end()) found->figures.connected = true;
}

void StreamStats::remove_peer(uint32_t id) {
  std::lock_guard<std::mutex> lock(mutex);
  std::erase_if(peers, [id](const Peer& peer) { return peer.id == id; });
}

void StreamStats::record_peer_report(const rist_stats_sender_peer& report) {
  std::lock_guard<std::mutex> lock(mutex);
  auto found =
      std::find_if(peers.begin(), peers.end(), [&](const Peer& peer) { return peer.id == report.peer_id; });
  if (found == peers.end()) return;
  found->figures.bandwidth_bps = report.bandwidth;
  found->figures.retransmitted = report.retransmitted;
  found->figures.quality = report.quality;
  found->figures.rtt_ms = report.rtt;
}

void StreamStats::forget_socket() {
  std::lock_guard<std::mutex> lock(mutex);
  socket = SRT_INVALID_SOCK;
}

void StreamStats::end() { has_ended.store(true); }

bool StreamStats::ended() const { return has_ended.load(); }

StreamSnapshot StreamStats::snapshot() {
  StreamSnapshot snapshot;
  snapshot.stream_id = stream_id;
  snapshot.mode = talkback ? "talkback" : "forward";
  snapshot.caller = caller;
  snapshot.route = route;
  auto age = std::chrono::steady_clock::now() - started;
  snapshot.seconds = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(age).count());
  snapshot.units_written = units_written.load(std::memory_order_relaxed);
  snapshot.send_errors = send_errors.load(std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(mutex);
  SRT_TRACEBSTATS perf{};
  if (socket != SRT_INVALID_SOCK && srt_bstats(socket, &perf, 0) == 0) snapshot.srt = srt_leg_figures(perf);
  for (const Peer& peer : peers) snapshot.peers.push_back(peer.figures);
  return snapshot;
}

SrtLegFigures srt_leg_figures(const SRT_TRACEBSTATS& perf) {
  auto count = [](auto value) { return static_cast<uint64_t>(std::max<decltype(value)>(value, 0)); };
  SrtLegFigures figures;
  figures.bytes_received = perf.byteRecvTotal;
  figures.packets_received = count(perf.pktRecvTotal);
  figures.packets_lost = count(perf.pktRcvLossTotal);
  figures.packets_retransmitted = count(perf.pktRcvRetrans);
  figures.packets_dropped = count(perf.pktRcvDropTotal);
  figures.rtt_ms = perf.msRTT;
  figures.receive_rate_mbps = perf.mbpsRecvRate;
  figures.latency_ms = count(perf.msRcvTsbPdDelay);
  return figures;
}
