#include "srt/rist_worker.h"

#include <system_error>

#include "base/log_escape.h"
#include "base/log_line.h"
#include "net/peer_address.h"
#include "rist/forwarding_loop.h"
#include "talkback/talkback_loop.h"

RistWorker::~RistWorker() {
  LogLine() << "~RistWorker";
  stop();
}

void RistWorker::start(const EndpointSet& endpoints, SRTSOCKET socket, const std::string& id, bool talkback) {
  route = endpoints;
  srt_socket = socket;
  stream_id = id;
  shared_stats =
      std::make_shared<StreamStats>(stream_id, talkback, peer_address(socket), socket, endpoints.route_name);
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
    process_talkback_srt2srt({route, stream_id, srt_socket, talkback_socket, stopped, *shared_stats});
  } else {
    process_data_send({route, stream_id, srt_socket, stopped, ring, sender, *shared_stats, steady_time()});
  }
  stop();
}

bool RistWorker::is_running() const { return !stopped.load() && !sender.has_died(); }

void RistWorker::stop() {
  LogLine() << "RistWorker try STOP";
  stopped.exchange(true);
  if (shared_stats) shared_stats->end();
  close_sockets();
  bool own_thread = loop_thread_id.load() == std::this_thread::get_id();
  if (!own_thread && worker_thread.joinable()) {
    LogLine() << "stop thread " << worker_thread.get_id();
    worker_thread.join();
  }
  sender.destroy();
  LogLine() << "RistWorker end STOPed";
}

// Closing a socket wakes a loop blocked in srt_recv on it. The statistics stop reading
// the accepted socket before it is closed.
void RistWorker::close_sockets() {
  for (std::atomic<SRTSOCKET>* socket : {&srt_socket, &talkback_socket}) {
    SRTSOCKET id = socket->exchange(0);
    if (id == 0) continue;
    if (socket == &srt_socket && shared_stats) shared_stats->forget_socket();
    srt_close(id);
  }
}
