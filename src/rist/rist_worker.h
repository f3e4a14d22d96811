#pragma once

#include <librist/librist.h>
#include <srt/srt.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rist/adaptive_ring.h"
#include "rist/endpoint_set.h"
#include "stats/stream_stats.h"

// One RIST peer created for a worker: the local address it sends from (empty when
// none), the URL handed to librist, librist's handle and the number librist's
// statistics reports give it.
struct RistPeerRecord {
  std::string src_network;
  std::string dest_url;
  rist_peer* peer = nullptr;
  uint32_t stats_id = 0;
  bool connected = false;  // librist has reported the connection established
};

// librist's logging settings, shared by every worker's sender.
extern rist_logging_settings* rist_log_settings;

// The size of every ring unit, RIST write and talkback send.
constexpr size_t kMediaUnit = 1316;
// The largest message an SRT live-mode peer can send (SRTO_PAYLOADSIZE at most 1456):
// every SRT receive takes this much, and the rings cut what arrives into units.
constexpr size_t kMaxSrtPayload = 1456;

// True when the stream id asks for the talkback loop instead of forwarding.
bool is_talkback_stream(const std::string& stream_id);

// Carries one accepted SRT connection. Owns the accepted socket, the outgoing talkback
// socket, the librist context and its peers, the ring and the thread that runs either
// process_data_send or process_talkback_srt2srt.
// Threads: the owner (SRT listener) constructs, starts, polls is_running, stops and
// destroys it, one call at a time; the worker's thread runs the loop and calls stop()
// as its last act; librist's threads call on_connection_status (peers, stopped).
// A stop() from the owner closes the sockets to wake the loop, joins the thread and
// only then frees the RIST context, so nothing is freed while the loop can touch it.
class RistWorker {
 public:
  RistWorker();
  ~RistWorker();
  RistWorker(const RistWorker&) = delete;
  RistWorker& operator=(const RistWorker&) = delete;

  // Copies the route, takes the socket and launches the loop the stream id asks for.
  void start(const EndpointSet& route, SRTSOCKET socket, const std::string& id);
  // Idempotent teardown; any thread, also the worker's own.
  void stop();
  bool is_running() const;

  // Set by start before the thread begins, then used by the loop only.
  std::string stream_id;
  std::vector<std::string> networks;
  std::vector<std::string> destinations;  // replaced by peer base URLs when forwarding
  std::string tb_endpoint;
  UplinkMode uplink_mode = UplinkMode::balance;
  // The stream's live figures, shared with the stream registry; set by start.
  std::shared_ptr<StreamStats> stats;

  // The loop's own state; stop() touches it only on the loop's thread or after the join.
  int send_errors = 0;  // failed RIST units in a row
  AdaptiveRing ring{kMediaUnit, 10 * kMediaUnit};

  // Shared between threads.
  std::atomic<bool> stopped{true};
  // 0 means none. Whoever exchanges an id for 0 closes it, so it is closed once.
  std::atomic<SRTSOCKET> srt_socket{0};
  std::atomic<SRTSOCKET> talkback_socket{0};

  // guarded by mutex (librist's status callback, the loop's create_peer, stop)
  std::mutex mutex;
  std::vector<RistPeerRecord> peers;
  struct rist_ctx* rist_ctx = nullptr;  // created by the loop, handed to teardown once

 private:
  void run_loop(bool talkback);
  void close_sockets();
  void release_rist();

  std::thread worker_thread;  // owner's thread only
  std::atomic<std::thread::id> loop_thread_id{};
};
