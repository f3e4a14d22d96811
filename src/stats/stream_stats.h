#pragma once

#include <librist/librist.h>
#include <srt/srt.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "stats/stream_snapshot.h"

// The live figures of one stream, shared (std::shared_ptr) by its RistWorker and the
// StreamRegistry, so the HTTP side never touches the worker itself.
// Threads: the worker's loop bumps the counters (relaxed atomics, no lock per unit);
// the worker's thread adds peers and, at teardown, forgets the socket and ends the
// stream; librist's threads record peer reports and drop timed-out peers; HTTP
// handlers take snapshots.
class StreamStats {
 public:
  StreamStats(std::string id, bool is_talkback, std::string caller_address, SRTSOCKET srt_socket,
              std::string route_name);

  // Gives the next peer's number, 1, 2, ... in the order the stream's senders created
  // their peers.
  uint32_t add_peer(const std::string& url);
  void set_peer_connected(uint32_t id);
  void remove_peer(uint32_t id);
  // A peer's figures from librist, `report.peer_id` being the number add_peer gave.
  void record_peer_report(const rist_stats_sender_peer& report);

  // Called before the socket is closed: no snapshot reads it afterwards.
  void forget_socket();
  void end();
  bool ended() const;

  StreamSnapshot snapshot();

  // Bumped by the worker's loop only.
  std::atomic<uint64_t> units_written{0};
  std::atomic<uint64_t> send_errors{0};

 private:
  struct Peer {
    uint32_t id;
    RistPeerFigures figures;
  };

  // set at construction
  const std::string stream_id;
  const bool talkback;
  const std::string caller;
  const std::string route;
  const std::chrono::steady_clock::time_point started;

  std::atomic<bool> has_ended{false};

  // guarded by mutex; held across srt_bstats so that forget_socket waits for a reader
  std::mutex mutex;
  SRTSOCKET socket;
  uint32_t peers_created = 0;
  std::vector<Peer> peers;
};

// The SRT leg figures out of libsrt's counters.
SrtLegFigures srt_leg_figures(const SRT_TRACEBSTATS& perf);
