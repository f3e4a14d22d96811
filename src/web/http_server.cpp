#include "web/http_server.h"

#include <chrono>
#include <string>

#include "web/connection_stream.h"
#include "web/request_screen.h"
#include "web/socket_io.h"

namespace {

// Sent without reading the request, to a client whose address holds the most
// connections while few workers are free.
void refuse_connection(socket_t sock) {
  const std::string reason = "too many connections from this address while the server is busy\n";
  const std::string answer =
      "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: " +
      std::to_string(reason.size()) + "\r\nConnection: close\r\n\r\n" + reason;
  send_some(sock, answer.data(), answer.size());
}

// Runs on each request once its head is read, before it is routed. Gives true when
// the connection must end after the answer.
bool prepare_request(httplib::Request& request) {
  // Served as if the client had asked for the whole file (which it then gets once).
  if (!ranges_acceptable(request.ranges)) {
    request.ranges.clear();
    request.headers.erase("Range");
  }
  if (!carries_body(request)) return false;
  // An answer that refuses the request leaves its body unread, and the rest of the
  // connection would be taken for the next request: a request with a body is the last
  // of its connection. The library answers "Connection: close" when the request asks.
  request.headers.erase("Connection");
  request.set_header("Connection", "close");
  return true;
}

// Closing a socket with input still unread makes the kernel reset the connection,
// and the client may lose the answer it was sent (a 413 that came while it was still
// sending the body). So the end is announced first and what the client still sends is
// read away, for a moment at most.
void drain_input(socket_t sock) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  shut_down_sending(sock);
  char discarded[4096];
  for (std::size_t total = 0; total < kMaxRequestHeadBytes + kMaxRequestBodyBytes;) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !wait_until_readable(sock, left)) break;
    long received = receive_some(sock, discarded, sizeof(discarded));
    if (received <= 0) break;
    total += static_cast<std::size_t>(received);
  }
}

}  // namespace

HttpServer::HttpServer() {
  new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  set_socket_options(set_exclusive_listen_options);
}

bool HttpServer::bind_to_port(const std::string& host, int port, int socket_flags) {
  if (!httplib::Server::bind_to_port(host, port, socket_flags)) return false;
  set_listen_backlog(svr_sock_, kListenBacklog);
  return true;
}

void HttpServer::close_connections() { connections.close_all(); }

bool HttpServer::process_and_close_socket(socket_t sock) {
  std::string address;
  int port = 0;
  bool served = false;
  // A connection whose far end is unknown has already gone: it is only closed.
  bool connected = peer_endpoint(sock, address, port);
  switch (connected ? connections.admit(sock, address) : Admission::closing) {
    case Admission::admitted:
      served = serve(sock);
      connections.release(sock);
      break;
    case Admission::workers_scarce:
      refuse_connection(sock);
      break;
    case Admission::closing:
      break;
  }
  shut_down_socket(sock);
  close_socket(sock);
  return served;
}

bool HttpServer::serve(socket_t sock) {
  using std::chrono::seconds, std::chrono::microseconds, std::chrono::milliseconds;
  ConnectionStream stream(sock, std::chrono::duration_cast<milliseconds>(seconds(write_timeout_sec_) +
                                                                         microseconds(write_timeout_usec_)));
  const milliseconds idle = seconds(keep_alive_timeout_sec_);
  bool served = false;
  for (std::size_t left = keep_alive_max_count_; left > 0 && svr_sock_ != INVALID_SOCKET; --left) {
    if (!stream.wait_for_request(idle)) break;
    stream.begin_request();
    // The library calls back once it has read the head whole. What follows a head it
    // could not read (too long, cut, malformed) is no request of its own: the
    // connection ends after the library's 400.
    bool last = true;
    bool client_closes = false;
    served = process_request(stream, left == 1, client_closes, [&](httplib::Request& request) {
      stream.begin_body();
      last = prepare_request(request);
    });
    if (last) drain_input(sock);
    if (!served || client_closes || last) break;
  }
  return served;
}
