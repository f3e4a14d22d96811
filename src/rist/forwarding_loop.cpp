#include "rist/forwarding_loop.h"

#include <librist/librist.h>
#include <srt/srt.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

#include "base/log_escape.h"
#include "base/log_line.h"
#include "rist/rist_destination.h"
#include "rist/rist_sender.h"
#include "rist/rist_worker.h"

namespace {

// Failed units in a row that a stream survives; the next one ends it. A unit that goes
// out starts the count again, so rare failures spread over a long stream never add up.
const int kSendErrorLimit = 5;

// How long the loop leaves a new caller's first packets in SRT's receive buffer while
// the RIST peers connect, and how often it looks.
const auto kPeerConnectWait = std::chrono::seconds(2);
const auto kPeerConnectPoll = std::chrono::milliseconds(5);

// True once the socket was closed on this side (libsrt then no longer knows the id). A
// caller that hung up is noticed by the receive instead, which logs why.
bool socket_closed(SRTSOCKET socket) {
  SRT_SOCKSTATUS state = srt_getsockstate(socket);
  return state == SRTS_CLOSED || state == SRTS_NONEXIST;
}

// Writes one unit; gives the last write's result (negative: the unit failed). A write
// that accepts 0 bytes ends the unit, whose rest is dropped.
int write_unit(struct rist_ctx* context, rist_data_block& block, const uint8_t* unit) {
  if (context == nullptr) return -1;
  size_t sent = 0;
  int result = 0;
  while (sent < kMediaUnit) {
    block.payload = unit + sent;
    block.payload_len = kMediaUnit - sent;
    result = rist_sender_data_write(context, &block);
    if (result <= 0) return result;
    sent += static_cast<size_t>(result);
  }
  return result;
}

// Writes every buffered unit. Past the error limit the worker is marked stopped and
// the rest of the ring is dropped.
void drain_ring(RistWorker* worker, rist_data_block& block) {
  while (const uint8_t* unit = worker->ring.take_unit()) {
    int result = write_unit(worker->rist_ctx, block, unit);
    bool failed = result < 0;
    bool limit_passed = count_send_outcome(worker->send_errors, failed);
    if (!failed) {
      worker->stats->units_written.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    worker->stats->send_errors.fetch_add(1, std::memory_order_relaxed);
    LogLine() << "rist error send";
    if (!limit_passed) continue;
    LogLine() << "*** RIST PACKET SEND ERROR (5 times).  STOP.";
    worker->ring.reset();
    worker->stopped.exchange(true);
    LogLine() << "fail full rist send " << result;
    return;
  }
}

bool every_peer_connected(RistWorker* worker) {
  std::lock_guard<std::mutex> lock(worker->mutex);
  return std::all_of(worker->peers.begin(), worker->peers.end(),
                     [](const RistPeerRecord& record) { return record.connected; });
}

// A RIST receiver starts a flow at the first packet it takes and never asks for what
// came before it, so whatever librist sends before the receiver has answered is lost.
// A new caller's first packets therefore wait in SRT's receive buffer until every peer
// has connected. The wait is bounded: a destination that never answers does not hold
// up the others.
void wait_until_the_peers_connect(RistWorker* worker) {
  if (worker->rist_ctx == nullptr) return;
  auto deadline = std::chrono::steady_clock::now() + kPeerConnectWait;
  while (!every_peer_connected(worker)) {
    SRTSOCKET socket = worker->srt_socket.load();
    if (worker->stopped.load() || socket == 0 || srt_getsockstate(socket) != SRTS_CONNECTED) return;
    if (std::chrono::steady_clock::now() >= deadline) {
      LogLine() << "-- NOT EVERY RIST PEER CONNECTED, FORWARDING ANYWAY";
      return;
    }
    std::this_thread::sleep_for(kPeerConnectPoll);
  }
}

void forward(RistWorker* worker) {
  uint8_t buffer[kMaxSrtPayload];
  rist_data_block block{};
  wait_until_the_peers_connect(worker);
  while (true) {
    SRTSOCKET socket = worker->srt_socket.load();
    if (socket == 0 || socket_closed(socket)) return;
    if (worker->stopped.load()) {
      worker->ring.reset();
      return;
    }
    int received = srt_recv(socket, reinterpret_cast<char*>(buffer), sizeof buffer);
    if (received <= 0) {
      LogLine() << "SRT Error: " << srt_getlasterror_str();
      worker->ring.reset();
      return;
    }
    worker->ring.append(buffer, static_cast<size_t>(received));
    drain_ring(worker, block);
  }
}

}  // namespace

bool count_send_outcome(int& errors_in_a_row, bool failed) {
  errors_in_a_row = failed ? errors_in_a_row + 1 : 0;
  return errors_in_a_row > kSendErrorLimit;
}

std::vector<std::string> normalise_destinations(const std::vector<std::string>& destinations) {
  std::vector<std::string> urls;
  for (const std::string& destination : destinations) {
    if (std::optional<std::string> url = rist_base_url(destination)) urls.push_back(*url);
  }
  if (urls.empty())
    LogLine() << "-- NO RIST DESTINATION: the stream goes nowhere until rist_endpoint names one";
  return urls;
}

void process_data_send(RistWorker* worker) {
  LogLine() << "process_data_send";
  worker->destinations = normalise_destinations(worker->destinations);
  create_sender(worker, RIST_PROFILE_MAIN);
  LogLine() << (worker->rist_ctx != nullptr ? "CONNECT: SUCCESS" : "CONNECT FAILED");
  worker->ring.reset();
  worker->send_errors = 0;
  forward(worker);
  LogLine() << "end process_data need stop";
  worker->stop();
}
