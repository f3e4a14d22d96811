#include "rist/forwarding_loop.h"

#include <librist/librist.h>
#include <srt/srt.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "app/log_line.h"
#include "config/text_utils.h"
#include "rist/rist_sender.h"
#include "rist/rist_worker.h"
#include "srt/srt_caller.h"

namespace {

// Failed units tolerated over the life of a stream; the next one ends it.
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
    if (result >= 0) {
      worker->stats->units_written.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    ++worker->send_errors;
    worker->stats->send_errors.fetch_add(1, std::memory_order_relaxed);
    LogLine() << "rist error send";
    if (worker->send_errors <= kSendErrorLimit) continue;
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
  uint8_t buffer[kMediaUnit];
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

std::vector<std::string> normalise_destinations(const std::vector<std::string>& destinations,
                                                const std::string& stream_id) {
  const std::string scheme = "rist://";
  std::vector<std::string> urls;
  for (std::string destination : destinations) {
    size_t found = destination.find(scheme);
    if (found != std::string::npos) destination.erase(found, scheme.size());
    std::vector<std::string> pieces = split(destination, ":");
    if (pieces.empty()) {
      LogLine() << "-- SKIP RIST DESTINATION WITHOUT HOST: " << destination;
      continue;
    }
    std::string url = scheme + check_host(pieces[0]);
    if (pieces.size() == 2) url += ":" + pieces[1];
    urls.push_back(url + "?cname=" + stream_id);
  }
  return urls;
}

void process_data_send(RistWorker* worker) {
  LogLine() << "process_data_send";
  worker->destinations = normalise_destinations(worker->destinations, worker->stream_id);
  create_sender(worker, RIST_PROFILE_MAIN);
  LogLine() << (worker->rist_ctx != nullptr ? "CONNECT: SUCCESS" : "CONNECT FAILED");
  worker->ring.reset();
  worker->send_errors = 0;
  forward(worker);
  LogLine() << "end process_data need stop";
  worker->stop();
}
