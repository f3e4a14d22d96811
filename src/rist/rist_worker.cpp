#include "rist/rist_worker.h"

#include <cstdio>
#include <system_error>
#include <utility>

#include "base/log_escape.h"
#include "base/log_line.h"
#include "net/peer_address.h"
#include "rist/forwarding_loop.h"
#include "rist/rist_sender.h"
#include "rist/talkback_loop.h"

rist_logging_settings* rist_log_settings = nullptr;

namespace {

// librist keeps one settings object for the whole process. Its callback argument is
// not used, so it is set up once instead of being rewritten (and pointed at a worker
// that may be gone) for every new connection while other senders read it.
void set_up_rist_logging() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (rist_logging_set(&rist_log_settings, RIST_LOG_ERROR, on_rist_log, nullptr, nullptr, stderr) != 0) {
      LogLine() << "Failed to setup DBGging";
    }
  });
}

}  // namespace

bool is_talkback_stream(const std::string& stream_id) {
  return stream_id.find("talkback") != std::string::npos ||
         stream_id.find("feedbackplay") != std::string::npos;
}

RistWorker::RistWorker() { set_up_rist_logging(); }

RistWorker::~RistWorker() {
  LogLine() << "~RistWorker";
  stop();
}

void RistWorker::start(const EndpointSet& route, SRTSOCKET socket, const std::string& id) {
  networks = route.networks;
  destinations = route.rist_endpoints;
  tb_endpoint = route.tb_endpoint;
  uplink_mode = route.uplink_mode;
  srt_socket = socket;
  stream_id = id;
  bool talkback = is_talkback_stream(stream_id);
  stats = std::make_shared<StreamStats>(stream_id, talkback, peer_address(socket), socket);
  LogLine() << "rist worker start " << (talkback ? 1 : 0) << " " << escape_for_log(stream_id);
  stopped.exchange(false);
  try {
    worker_thread = std::thread([this, talkback] { run_loop(talkback); });
  } catch (const std::system_error& error) {
    LogLine() << "-- FAILED TO START WORKER THREAD " << error.what();
    stop();
  }
}

void RistWorker::run_loop(bool talkback) {
  loop_thread_id = std::this_thread::get_id();
  if (talkback) {
    process_talkback_srt2srt(this);
  } else {
    process_data_send(this);
  }
}

bool RistWorker::is_running() const { return !stopped.load(); }

void RistWorker::stop() {
  LogLine() << "RistWorker try STOP";
  stopped.exchange(true);
  if (stats) stats->end();
  close_sockets();
  bool own_thread = loop_thread_id.load() == std::this_thread::get_id();
  if (!own_thread && worker_thread.joinable()) {
    LogLine() << "stop thread " << worker_thread.get_id();
    worker_thread.join();
  }
  release_rist();
  LogLine() << "RistWorker end STOPed";
}

// Closing a socket wakes a loop blocked in srt_recv on it. The statistics stop reading
// the accepted socket before it is closed.
void RistWorker::close_sockets() {
  for (std::atomic<SRTSOCKET>* socket : {&srt_socket, &talkback_socket}) {
    SRTSOCKET id = socket->exchange(0);
    if (id == 0) continue;
    if (socket == &srt_socket && stats) stats->forget_socket();
    srt_close(id);
  }
}

// librist waits for its own threads here, one of which may be inside
// on_connection_status waiting for `mutex`, and rist_destroy itself reports connected
// peers as timed out on this thread: so the records are dropped under the lock and the
// context is destroyed outside it. After rist_destroy librist calls back no more.
void RistWorker::release_rist() {
  struct rist_ctx* context = nullptr;
  size_t peer_count = 0;
  {
    std::lock_guard<std::mutex> lock(mutex);
    context = std::exchange(rist_ctx, nullptr);
    peer_count = peers.size();
    peers.clear();
  }
  LogLine() << "close peers ctx:" << static_cast<void*>(context) << " peers:" << peer_count;
  if (context == nullptr) return;
  LogLine() << "end close peers. next ctxs";
  destroy_sender(context);
}
