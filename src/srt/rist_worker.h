#pragma once

#include <srt/srt.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "rist/adaptive_ring.h"
#include "rist/endpoint_set.h"
#include "rist/media_unit.h"
#include "rist/rist_sender_group.h"
#include "stats/stream_stats.h"

// Carries one accepted SRT connection and does one of two jobs, chosen by the listener:
// forwarding (process_data_send: the caller's payload to the RIST senders' peers) or
// talkback (process_talkback_srt2srt: a stream pulled from tb_endpoint back to the
// caller). Owns the accepted socket, the outgoing talkback socket, the RIST senders, the
// ring and the thread that runs the loop; the loop gets a context with just these.
// Threads: the owner (SRT listener) constructs, starts, polls is_running, stops and
// destroys it, one call at a time; the worker's thread runs the loop and then stop();
// librist's protocol threads reach only the senders (their callbacks).
// A stop() from the owner closes the sockets to wake the loop, joins the thread and
// only then destroys the senders, so nothing is freed while the loop can touch it.
class RistWorker {
 public:
  RistWorker() = default;
  ~RistWorker();
  RistWorker(const RistWorker&) = delete;
  RistWorker& operator=(const RistWorker&) = delete;

  // Copies the route, takes the socket and launches the talkback or the forwarding loop.
  void start(const EndpointSet& endpoints, SRTSOCKET socket, const std::string& id, bool talkback);
  // Idempotent teardown; any thread, also the worker's own.
  void stop();
  // False from the moment a stop was asked for or the last RIST peer timed out.
  bool is_running() const;
  // The stream's live figures, shared with the stream registry; set by start.
  std::shared_ptr<StreamStats> stats() const { return shared_stats; }

 private:
  void run_loop(bool talkback);
  void close_sockets();

  // set by start, before the thread begins
  EndpointSet route;
  std::string stream_id;
  std::shared_ptr<StreamStats> shared_stats;

  // the loop's; stop() touches them only on the loop's thread or after the join
  AdaptiveRing ring{kMediaUnit, 10 * kMediaUnit};
  RistSenderGroup sender;

  // shared between threads
  std::atomic<bool> stopped{true};
  // 0 means none. Whoever exchanges an id for 0 closes it, so it is closed once.
  std::atomic<SRTSOCKET> srt_socket{0};
  std::atomic<SRTSOCKET> talkback_socket{0};
  std::atomic<std::thread::id> loop_thread_id{};

  std::thread worker_thread;  // owner's thread only
};
