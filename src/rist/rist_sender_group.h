#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "rist/rist_output.h"
#include "rist/rist_sender.h"

// A stream's RIST output over a librist sender per profile its destinations use: a
// main-profile sender with the peers of the main-profile destinations, a simple-profile
// one with those of the simple-profile ones (without any destination, a main-profile
// sender without peers, whose writes fail).
// Every unit goes to every sender. The stream's output has died once a sender has
// lost its last connected peer and no sender has one left.
// Threads as RistSender's: start and write_unit on the forwarding loop's thread,
// destroy there or after the loop has ended; the others on any thread. `senders` is
// filled by start under `mutex`; the loop's thread (write_unit, destroy) reads it without.
class RistSenderGroup final : public RistOutput {
 public:
  RistSenderGroup() = default;
  RistSenderGroup(const RistSenderGroup&) = delete;
  RistSenderGroup& operator=(const RistSenderGroup&) = delete;

  // False when no sender could be made; one that cannot be made is left out, with a
  // log line, and the others carry the stream.
  bool start(const OutputRoute& route, StreamStats& stats) override;
  // The first failed sender's result, or the last sender's.
  int write_unit(const uint8_t* unit, bool more_follow) override;
  PeerConnections connections() const override;
  void log_unconnected_peers() const override;
  bool has_died() const override;

  // Destroys every sender's context with its peers; repeatable.
  void destroy();
  // A copy of every sender's peer records, sender by sender.
  std::vector<RistPeerRecord> peers() const;

 private:
  bool add_sender(RistProfile profile, const OutputRoute& route, StreamStats& stats);

  mutable std::mutex mutex;
  std::vector<std::unique_ptr<RistSender>> senders;
};
