#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The SRT leg of a stream as libsrt counts it on the accepted connection.
struct SrtLegFigures {
  uint64_t bytes_received = 0;
  uint64_t packets_received = 0;
  uint64_t packets_lost = 0;
  uint64_t packets_retransmitted = 0;
  uint64_t packets_dropped = 0;
  double rtt_ms = 0;
  double receive_rate_mbps = 0;
  uint64_t latency_ms = 0;
};

// One RIST peer of a stream as librist last reported it (zeros before its first report).
struct RistPeerFigures {
  std::string url;
  uint64_t bandwidth_bps = 0;
  uint64_t retransmitted = 0;
  double quality = 0;
  uint64_t rtt_ms = 0;
  bool connected = false;  // its receiver has answered it
};

// Everything known about one running stream at one moment, as plain values.
struct StreamSnapshot {
  std::string stream_id;
  std::string mode;    // "forward" or "talkback"
  std::string caller;  // the SRT caller's address, "ip:port"
  uint64_t seconds = 0;
  SrtLegFigures srt;
  std::vector<RistPeerFigures> peers;
  uint64_t units_written = 0;
  uint64_t send_errors = 0;
  std::string route;  // the route.NAME its destinations came from, "default" for rist_endpoint
};
