#include "rist/forwarding_loop.h"

#include <chrono>
#include <optional>

#include "base/log_line.h"
#include "rist/endpoints.h"
#include "rist/media_unit.h"

namespace {

// Failed units in a row that a stream survives; the next one ends it. A unit that goes
// out starts the count again, so rare failures spread over a long stream never add up.
const int kSendErrorLimit = 5;

// How long the loop leaves a new caller's first packets in SRT's receive buffer while
// the RIST peers connect, and how often it looks. When some peers have connected and
// others not, it waits until the receiver has dropped the silent ones: librist silences
// a peer that has heard nothing 1 s after its creation, and a receiver drops a peer
// it has not heard for its session timeout (2 s unless set).
const auto kPeerConnectWait = std::chrono::seconds(2);
const auto kSilentPeerDropped = std::chrono::milliseconds(3500);
const auto kPeerConnectPoll = std::chrono::milliseconds(5);

// True once the socket was closed on this side (libsrt then no longer knows the id). A
// caller that hung up is noticed by the receive instead, which logs why.
bool socket_closed(SRTSOCKET socket) {
  if (socket == 0) return true;
  SRT_SOCKSTATUS state = srt_getsockstate(socket);
  return state == SRTS_CLOSED || state == SRTS_NONEXIST;
}

// Why the loop must end now, when it must.
std::optional<LoopEnd> told_to_end(const ForwardingContext& context) {
  if (context.stopped.load()) return LoopEnd::stopped;
  if (context.output.has_died()) return LoopEnd::output_died;
  return std::nullopt;
}

// Writes every buffered unit; false, with the rest of the ring dropped, when the
// stream must end: at the sixth failed unit in a row.
bool drain_ring(const ForwardingContext& context, int& errors_in_a_row) {
  while (const uint8_t* unit = context.ring.take_unit()) {
    int result = context.output.write_unit(unit);
    if (result >= 0) {
      errors_in_a_row = 0;
      context.stats.units_written.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    context.stats.send_errors.fetch_add(1, std::memory_order_relaxed);
    LogLine() << "rist error send";
    if (++errors_in_a_row <= kSendErrorLimit) continue;
    LogLine() << "*** RIST PACKET SEND ERROR (5 times).  STOP.";
    context.ring.reset();
    LogLine() << "fail full rist send " << result;
    return false;
  }
  return true;
}

// True once the hold has lasted long enough for peers in that state.
bool hold_is_over(PeerConnections connections, Clock::TimePoint::duration held) {
  if (connections == PeerConnections::none) return held >= kPeerConnectWait;
  return held >= kSilentPeerDropped;
}

// A RIST receiver starts a flow at the first packet it takes and never asks for what
// came before it, so whatever librist sends before the receiver has answered is lost.
// A new caller's first packets therefore wait in SRT's receive buffer until every peer
// has connected. The wait is bounded: a destination that never answers does not hold
// up the others.
void wait_until_the_peers_connect(const ForwardingContext& context) {
  Clock::TimePoint started = context.clock.now();
  PeerConnections connections;
  while ((connections = context.output.connections()) != PeerConnections::all) {
    SRTSOCKET socket = context.caller.load();
    if (told_to_end(context).has_value() || socket == 0 || srt_getsockstate(socket) != SRTS_CONNECTED) return;
    if (hold_is_over(connections, context.clock.now() - started)) {
      LogLine() << "-- NOT EVERY RIST PEER CONNECTED, FORWARDING ANYWAY";
      context.output.log_unconnected_peers();
      return;
    }
    context.clock.sleep_for(kPeerConnectPoll);
  }
}

LoopEnd forward(const ForwardingContext& context) {
  uint8_t buffer[kMaxSrtPayload];
  int errors_in_a_row = 0;
  while (true) {
    SRTSOCKET socket = context.caller.load();
    if (socket_closed(socket)) return LoopEnd::caller_closed;
    if (std::optional<LoopEnd> end = told_to_end(context)) {
      context.ring.reset();
      return *end;
    }
    int received = srt_recv(socket, reinterpret_cast<char*>(buffer), sizeof buffer);
    if (received <= 0) {
      LogLine() << "SRT Error: " << srt_getlasterror_str();
      context.ring.reset();
      return LoopEnd::caller_closed;
    }
    context.ring.append(buffer, static_cast<size_t>(received));
    if (!drain_ring(context, errors_in_a_row)) return LoopEnd::send_errors;
  }
}

}  // namespace

LoopEnd process_data_send(const ForwardingContext& context) {
  LogLine() << "process_data_send";
  check_destinations(context.route.rist_endpoints);
  OutputRoute route{context.route.rist_endpoints, context.route.networks, context.stream_id,
                    context.route.uplink_mode};
  bool created = context.output.start(route, context.stats);
  LogLine() << (created ? "CONNECT: SUCCESS" : "CONNECT FAILED");
  context.ring.reset();
  wait_until_the_peers_connect(context);
  LoopEnd end = unless_stopped(context.stopped, forward(context));
  LogLine() << "end process_data need stop";
  return end;
}
