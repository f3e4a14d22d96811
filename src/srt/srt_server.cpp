#include "srt/srt_server.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "base/heap_release.h"
#include "base/log_escape.h"
#include "base/log_line.h"
#include "base/system_error.h"
#include "base/text_utils.h"
#include "config/config_store.h"
#include "config/settings.h"
#include "core/global_state.h"
#include "net/peer_address.h"
#include "net/socket_headers.h"
#include "net/srt_caller.h"
#include "rist/media_unit.h"
#include "srt/access_policy.h"

namespace {

// The longest stream id SRT lets a caller send.
const int kMaxStreamIdLength = 512;
// Callers whose handshake libsrt completes before the accept loop takes them; one more
// is refused (SRT_REJ_BACKLOG). Encoders that reconnect together after an outage or a
// restart arrive in the same instant, so this serves bursts well beyond a hundred.
const int kListenBacklog = 256;

// libsrt's last error on this thread, with the system's reason when there is one
// ("unable to create/configure SRT socket" alone does not say that the port is taken).
std::string last_srt_error() {
  int system_error = 0;
  srt_getlasterror(&system_error);
  std::string reason = srt_getlasterror_str();
  if (system_error != 0) reason += " (" + system_error_text(system_error) + ")";
  return reason;
}

// The wildcard address of the family ("::" or "0.0.0.0") with the port.
sockaddr_storage any_address(int family, int port) {
  sockaddr_storage address{};
  if (family == AF_INET6) {
    auto& ipv6 = reinterpret_cast<sockaddr_in6&>(address);
    ipv6.sin6_family = AF_INET6;
    ipv6.sin6_port = htons(static_cast<uint16_t>(port));
    ipv6.sin6_addr = in6addr_any;
  } else {
    auto& ipv4 = reinterpret_cast<sockaddr_in&>(address);
    ipv4.sin_family = AF_INET;
    ipv4.sin_port = htons(static_cast<uint16_t>(port));
    ipv4.sin_addr.s_addr = htonl(INADDR_ANY);
  }
  return address;
}

// Packets a caller's receive buffer holds (libsrt's default is 8192). A new stream
// waits there for up to 3.5 s while its RIST peers connect; at libsrt's default a
// stream above 25 Mbit/s lost what overflowed it. This holds 3.5 s at 130 Mbit/s. libsrt
// takes the packets' memory only as they arrive; its bookkeeping costs about 1 MB a
// caller. The flow window must match.
const int kCallerBufferPackets = 48000;

// Sized before the bind, as libsrt wants; every accepted caller inherits it.
bool size_the_receive_buffer(SRTSOCKET socket) {
  int packets = kCallerBufferPackets;
  int bytes = kCallerBufferPackets * static_cast<int>(kMaxSrtPayload);
  return srt_setsockflag(socket, SRTO_FC, &packets, sizeof packets) != SRT_ERROR &&
         srt_setsockflag(socket, SRTO_RCVBUF, &bytes, sizeof bytes) != SRT_ERROR;
}

// A socket bound to the port on every address of the family (an IPv6 one takes IPv4
// callers too); SRT_INVALID_SOCK and libsrt's reason when it cannot be.
SRTSOCKET bind_on_every_address(int family, int port, std::string& reason) {
  SRTSOCKET socket = srt_create_socket();
  if (socket == SRT_INVALID_SOCK) {
    reason = last_srt_error();
    return SRT_INVALID_SOCK;
  }
  int ipv6_only = 0;
  sockaddr_storage address = any_address(family, port);
  int length = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  bool bound = size_the_receive_buffer(socket) &&
               (family != AF_INET6 ||
                srt_setsockflag(socket, SRTO_IPV6ONLY, &ipv6_only, sizeof ipv6_only) != SRT_ERROR) &&
               srt_bind(socket, reinterpret_cast<sockaddr*>(&address), length) != SRT_ERROR;
  if (!bound) {
    reason = last_srt_error();
    srt_close(socket);
    return SRT_INVALID_SOCK;
  }
  return socket;
}

// A socket bound to the port on every address: one dual-stack socket that takes IPv6
// and IPv4 callers, or where IPv6 cannot be bound (a host with IPv6 disabled) one that
// takes IPv4 callers. SRT_INVALID_SOCK, with a log line that names the port and
// libsrt's reason, when neither can be bound.
SRTSOCKET bind_listener(int port) {
  std::string reason;
  SRTSOCKET socket = bind_on_every_address(AF_INET6, port, reason);
  if (socket != SRT_INVALID_SOCK) return socket;
  LogLine() << "-- SRT LISTENER ON IPv4 ONLY: cannot bind [::]:" << port << ": " << reason;
  socket = bind_on_every_address(AF_INET, port, reason);
  if (socket != SRT_INVALID_SOCK) return socket;
  std::fprintf(stderr, "srt_bind: %s\n", reason.c_str());
  LogLine() << "*** SRT LISTENER CANNOT BIND PORT " << port << ": " << reason;
  return SRT_INVALID_SOCK;
}

}  // namespace

bool read_stream_id(SRTSOCKET socket, std::string& stream_id) {
  // libsrt wants room for a terminator beyond the longest stream id.
  char buffer[kMaxStreamIdLength + 1] = {};
  int length = sizeof buffer;
  if (srt_getsockflag(socket, SRTO_STREAMID, buffer, &length) == SRT_ERROR) return false;
  if (length < 0 || length > kMaxStreamIdLength) return false;
  stream_id.assign(buffer, static_cast<size_t>(length));
  return true;
}

SrtServer::SrtServer(IGlobalState& application) : state(application) {
  sweeper.start([this] { sweep_and_release_memory(); });
}

SrtServer::~SrtServer() { stop(); }

bool SrtServer::start(int port) {
  if (server_thread.joinable()) {
    LogLine() << "WARN: server already started. stopped ...";
    stop();
  }
  stop_requested = false;
  SRTSOCKET socket = open_listener(port);
  if (socket == SRT_INVALID_SOCK) return false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    listener = socket;
  }
  LogLine() << "SRT START LISTEN " << port;
  server_thread = std::thread([this, socket] { run(socket); });
  return true;
}

void SrtServer::stop() {
  stop_requested = true;
  LogLine() << "STOP SRT SERVER";
  close_listener();
  if (server_thread.joinable() && server_thread.get_id() != std::this_thread::get_id()) {
    server_thread.join();
  }
  std::vector<std::unique_ptr<RistWorker>> stopping;
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping.swap(workers);
  }
  for (std::unique_ptr<RistWorker>& worker : stopping) {
    worker->stop();
    worker.reset();
  }
}

void SrtServer::close_listener() {
  SRTSOCKET socket = 0;
  {
    std::lock_guard<std::mutex> lock(mutex);
    socket = std::exchange(listener, 0);
  }
  if (socket != 0) srt_close(socket);
}

void SrtServer::run(SRTSOCKET socket) {
  LogLine() << "run SRT server";
  serve(socket);
  LogLine() << "server stopped";
}

// Creates, binds and sets up the listening socket; SRT_INVALID_SOCK, with a log line
// that names the port and libsrt's reason, on failure.
SRTSOCKET SrtServer::open_listener(int port) {
  SRTSOCKET socket = bind_listener(port);
  if (socket == SRT_INVALID_SOCK) return SRT_INVALID_SOCK;
  int latency = state.get_config().snapshot()->srt_latency;
  set_option(socket, SRTO_RCVLATENCY, "SRTO_RCVLATENCY", &latency, sizeof latency);
  if (!admission.install(socket)) {
    srt_close(socket);
    return SRT_INVALID_SOCK;
  }
  if (srt_listen(socket, kListenBacklog) == SRT_ERROR) {
    std::string reason = last_srt_error();
    std::fprintf(stderr, "srt_listen: %s\n", reason.c_str());
    LogLine() << "*** SRT LISTENER CANNOT LISTEN ON PORT " << port << ": " << reason;
    srt_close(socket);
    return SRT_INVALID_SOCK;
  }
  return socket;
}

// The accept loop: one worker per accepted caller, then a sweep of finished workers.
void SrtServer::serve(SRTSOCKET socket) {
  EndpointSet route;
  while (!stop_requested) {
    LogLine() << "WAIT NEW SRT CONNECTION...";
    sockaddr_storage peer_address{};
    int peer_length = sizeof peer_address;
    SRTSOCKET accepted = srt_accept(socket, reinterpret_cast<sockaddr*>(&peer_address), &peer_length);
    LogLine() << "ACCEPT";
    if (accepted <= 0) {
      LogLine() << "--STOP SERVER";
      return;
    }
    stream_registry.count_accepted();
    std::string stream_id;
    if (!read_stream_id(accepted, stream_id)) {
      LogLine() << "-- CANNOT READ STREAMID, CLOSE CALLER: " << srt_getlasterror_str();
      srt_close(accepted);
      continue;
    }
    stream_id = trim(stream_id);
    LogLine() << "streamid:" << escape_for_log(stream_id);
    std::string caller = address_text(peer_address);
    // Every value for this caller comes from one snapshot.
    std::shared_ptr<const Settings> settings = state.get_config().snapshot();
    if (!admission.confirm_key_length(accepted, caller, stream_id) ||
        !admission.confirm_latency(accepted, caller, stream_id, *settings)) {
      srt_close(accepted);
      continue;
    }
    stream_id = stream_name(stream_id);
    auto worker = std::make_unique<RistWorker>();
    state.update(route, *settings, find_stream_route(settings->routes, stream_id));
    worker->start(route, accepted, stream_id, is_talkback_stream(stream_id));
    stream_registry.add(worker->stats());
    {
      std::lock_guard<std::mutex> lock(mutex);
      workers.push_back(std::move(worker));
    }
    sweep_workers();
  }
}

// Finished workers are destroyed outside the lock: each destructor joins its thread.
void SrtServer::sweep_workers() {
  std::vector<std::unique_ptr<RistWorker>> finished;
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto running_end = std::stable_partition(workers.begin(), workers.end(),
                                             [](const auto& worker) { return worker->is_running(); });
    std::move(running_end, workers.end(), std::back_inserter(finished));
    workers.erase(running_end, workers.end());
  }
  size_t count = finished.size();
  finished.clear();
  destroyed_workers += count;
}

// Memory follows the number of running streams rather than the number of streams
// since start: once workers were destroyed (here or by the accept loop) the heap's
// free pages go back to the system, and once more a period later, because libsrt's
// collector frees a closed socket's buffers a while after the close.
void SrtServer::sweep_and_release_memory() {
  sweep_workers();
  size_t destroyed = destroyed_workers;
  if (destroyed != destroyed_at_last_sweep) heap_releases_due = 2;
  destroyed_at_last_sweep = destroyed;
  if (heap_releases_due == 0) return;
  --heap_releases_due;
  release_free_heap_memory();
}
