#pragma once

#include <librist/librist.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "rist/rist_output.h"

// One RIST peer created for a stream: the local address it sends from (empty when
// none), the URL shown for it, librist's handle, the number librist's statistics
// reports give it within its sender and the number the stream's figures give it.
struct RistPeerRecord {
  std::string src_network;
  std::string dest_url;
  rist_peer* peer = nullptr;
  uint32_t librist_id = 0;
  uint32_t stats_id = 0;
  bool connected = false;  // librist has reported the connection established
};

// How many of the peers have connected: all (also when there is none), some or none.
PeerConnections connections_of(const std::vector<RistPeerRecord>& records);

// librist's logging settings, shared by every stream's sender.
extern rist_logging_settings* rist_log_settings;

// A librist sender of one profile for a stream: owns the librist context and the
// records of its peers, one per network and destination of its route. start and
// write_unit run on the forwarding loop's thread; destroy on that thread or, after the
// loop has ended, on the owner's; on_connection_status and on_stats on librist's
// protocol thread. The context and the peers are guarded by `mutex`, which the
// callbacks take; once destroy has taken the context, reports change nothing.
class RistSender final : public RistOutput {
 public:
  explicit RistSender(RistProfile profile = RistProfile::main);
  ~RistSender() override;
  RistSender(const RistSender&) = delete;
  RistSender& operator=(const RistSender&) = delete;

  bool start(const OutputRoute& route, StreamStats& stats) override;
  int write_unit(const uint8_t* unit, bool more_follow) override;
  PeerConnections connections() const override;
  void log_unconnected_peers() const override;
  bool has_died() const override;

  // Destroys the context with its peers; repeatable. librist calls back during the
  // teardown (a connected peer is reported timed out) and no more afterwards.
  void destroy();
  // A copy of the peer records, in creation order.
  std::vector<RistPeerRecord> peers() const;

  // librist's connection-status callback, on librist's protocol thread; arg is the
  // sender. A connected peer is marked, a timed-out one dropped; when no connected one
  // is left the output has died.
  static void on_connection_status(void* arg, rist_peer* peer, rist_connection_status status);
  // librist's statistics callback, on librist's protocol thread; arg is the sender. A
  // peer's report goes to the stream's figures under the peer's number there.
  static int on_stats(void* arg, const rist_stats* report);

 private:
  void create_peer(rist_ctx* created, const RistDestination& destination, const std::string& network,
                   const OutputRoute& route, const std::string& cname);
  void on_status(rist_peer* peer, rist_connection_status status);
  void on_report(const rist_stats_sender_peer& report);

  // set at construction
  const RistProfile profile;

  // set by start, before librist calls back
  StreamStats* stats = nullptr;
  rist_data_block block{};          // the loop's thread only
  uint32_t librist_peer_count = 0;  // the loop's thread only: the numbers librist has given

  std::atomic<bool> died{false};

  // guarded by mutex. The loop's thread reads `context` without it: only that thread
  // sets it, and a teardown on another thread comes after the loop has ended.
  mutable std::mutex mutex;
  rist_ctx* context = nullptr;
  std::vector<RistPeerRecord> peer_records;
};

// librist's log callback, on any of librist's threads: writes the message as a log line,
// at most five of a kind (the text without its digits) in 10 s; the count of the lines
// left out comes with the next librist line after those 10 s.
int on_rist_log(void* arg, rist_log_level level, const char* message);
