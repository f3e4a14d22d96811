#include "rist/forwarding_loop.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "base/log_line.h"
#include "rist/catch_up_pacer.h"
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

// Counts the units written and the failures in a row; false, with a log line, at the
// sixth failed unit in a row, when the stream must end.
bool note_write(const ForwardingContext& context, int result, int& errors_in_a_row) {
  if (result >= 0) {
    errors_in_a_row = 0;
    context.stats.units_written.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  context.stats.send_errors.fetch_add(1, std::memory_order_relaxed);
  LogLine() << "rist error send";
  if (++errors_in_a_row <= kSendErrorLimit) return true;
  LogLine() << "*** RIST PACKET SEND ERROR (5 times).  STOP.";
  LogLine() << "fail full rist send " << result;
  return false;
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

// The SRT messages of one wake-up: the first waited for, the rest what libsrt already
// held. Taking them together lets librist send the units of a wake-up together.
struct ReceivedBatch {
  static constexpr int kMessages = 32;
  uint8_t messages[kMessages][kMaxSrtPayload];
  int sizes[kMessages];
  int count = 0;
  bool drained = false;  // libsrt had nothing more ready: the loop is level with the caller
  std::string error;     // why the receive that ended the batch failed (the caller hung up or broke)

  size_t bytes() const {
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += static_cast<size_t>(sizes[i]);
    return total;
  }
};

// Waits for the next message, then takes what else is ready without waiting.
void receive_batch(SRTSOCKET socket, ReceivedBatch& batch) {
  batch.count = 0;
  batch.drained = false;
  batch.error.clear();
  bool blocking = true;
  while (batch.count < ReceivedBatch::kMessages) {
    int received = srt_recv(socket, reinterpret_cast<char*>(batch.messages[batch.count]), kMaxSrtPayload);
    if (received <= 0) {
      batch.drained = !blocking && srt_getlasterror(nullptr) == SRT_EASYNCRCV;
      if (!batch.drained) batch.error = srt_getlasterror_str();
      break;
    }
    batch.sizes[batch.count++] = received;
    if (blocking) {
      blocking = false;
      srt_setsockflag(socket, SRTO_RCVSYN, &blocking, sizeof blocking);
    }
  }
  if (!blocking) {
    blocking = true;
    srt_setsockflag(socket, SRTO_RCVSYN, &blocking, sizeof blocking);
  }
}

// Why the loop must end before its next write, when it must: stopped, the output died,
// or the worker closed the caller (then it has cleared `caller` first).
std::optional<LoopEnd> must_end_before_write(const ForwardingContext& context) {
  if (context.caller.load() == 0) return LoopEnd::caller_closed;
  return told_to_end(context);
}

// Writes the batch's units, each flagged when another follows in this batch. A message
// of exactly one unit with nothing buffered goes out straight from the receive buffer;
// anything else is cut into units by the ring. Gives why the loop must end, when it must.
std::optional<LoopEnd> write_batch(const ForwardingContext& context, const ReceivedBatch& batch,
                                   int& errors_in_a_row) {
  size_t units_left = (context.ring.buffered() + batch.bytes()) / kMediaUnit;
  auto write = [&](const uint8_t* unit) -> std::optional<LoopEnd> {
    if (std::optional<LoopEnd> end = must_end_before_write(context)) return end;
    units_left = units_left > 0 ? units_left - 1 : 0;
    if (!note_write(context, context.output.write_unit(unit, units_left > 0), errors_in_a_row)) {
      return LoopEnd::send_errors;
    }
    return std::nullopt;
  };
  for (int i = 0; i < batch.count; ++i) {
    const uint8_t* message = batch.messages[i];
    if (batch.sizes[i] == static_cast<int>(kMediaUnit) && context.ring.buffered() == 0) {
      if (std::optional<LoopEnd> end = write(message)) return end;
      continue;
    }
    context.ring.append(message, static_cast<size_t>(batch.sizes[i]));
    while (const uint8_t* unit = context.ring.take_unit()) {
      if (std::optional<LoopEnd> end = write(unit)) return end;
    }
  }
  return std::nullopt;
}

// A pacer for what the caller sent while the loop held the stream back.
CatchUpPacer pacer_for_the_backlog(const ForwardingContext& context) {
  SRTSOCKET socket = context.caller.load();
  SRT_TRACEBSTATS figures{};
  if (socket == 0 || srt_bstats(socket, &figures, 0) == SRT_ERROR) return {};
  CatchUpPacer pacer(static_cast<size_t>(std::max(figures.byteRcvBuf, 0)),
                     std::chrono::milliseconds(figures.msRcvBuf), context.clock.now());
  if (pacer.active()) {
    LogLine() << "-- CATCHING UP: " << figures.byteRcvBuf << " bytes held over " << figures.msRcvBuf
              << " ms leave at " << CatchUpPacer::kCatchUpFactor << " times the stream's rate";
  }
  return pacer;
}

// Holds a batch back while the stream catches up, until libsrt runs out of held data.
void pace(const ForwardingContext& context, CatchUpPacer& pacer, const ReceivedBatch& batch) {
  if (!pacer.active()) return;
  if (batch.drained) {
    pacer.caught_up();
    return;
  }
  auto wait = pacer.wait_before(batch.bytes(), context.clock.now());
  if (wait > Clock::TimePoint::duration::zero()) {
    context.clock.sleep_for(std::chrono::ceil<std::chrono::milliseconds>(wait));
  }
}

LoopEnd forward(const ForwardingContext& context, CatchUpPacer pacer) {
  auto batch = std::make_unique<ReceivedBatch>();
  int errors_in_a_row = 0;
  while (true) {
    SRTSOCKET socket = context.caller.load();
    if (socket_closed(socket)) return LoopEnd::caller_closed;
    if (std::optional<LoopEnd> end = told_to_end(context)) {
      context.ring.reset();
      return *end;
    }
    receive_batch(socket, *batch);
    pace(context, pacer, *batch);
    if (std::optional<LoopEnd> end = write_batch(context, *batch, errors_in_a_row)) {
      context.ring.reset();
      return *end;
    }
    if (!batch->error.empty()) {
      LogLine() << "SRT Error: " << batch->error;
      context.ring.reset();
      return LoopEnd::caller_closed;
    }
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
  LoopEnd end = unless_stopped(context.stopped, forward(context, pacer_for_the_backlog(context)));
  LogLine() << "end process_data need stop";
  return end;
}
