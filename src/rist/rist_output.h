#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/endpoint_settings.h"
#include "config/uplink_mode.h"

class StreamStats;

// How far a stream's peers have got: none, some or all of them have heard their receiver.
enum class PeerConnections { none, some, all };

// What a stream's RIST output is made of: a peer for every network and destination,
// network by network.
struct OutputRoute {
  std::vector<RistDestination> destinations;
  std::vector<std::string> networks;  // local addresses to send from; "" for no address
  std::string stream_id;              // the peers' cname
  UplinkMode uplink_mode = UplinkMode::balance;
};

// Where the forwarding loop writes its units. Abstract so tests can fail the Nth write
// and hold back or lose the peers; the real one is RistSender, librist's sender.
// start and write_unit: the forwarding loop's thread; the others: any thread.
class RistOutput {
 public:
  virtual ~RistOutput() = default;

  // Brings the output up with its peers; their figures go into stats. False when no
  // sender could be made at all: every write then fails.
  virtual bool start(const OutputRoute& route, StreamStats& stats) = 0;
  // Writes one kMediaUnit-byte unit; the last write call's result, negative when the
  // unit failed. more_follow: the caller writes another unit at once, so the output
  // may hold this one back and send both together.
  virtual int write_unit(const uint8_t* unit, bool more_follow) = 0;
  // How many peers have reported their connection (all, also when there is no peer).
  virtual PeerConnections connections() const = 0;
  // Writes one log line naming each peer that has not connected.
  virtual void log_unconnected_peers() const = 0;
  // True once the output can carry nothing more: its last peer timed out.
  virtual bool has_died() const = 0;
};
