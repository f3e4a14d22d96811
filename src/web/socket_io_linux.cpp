#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "web/socket_io.h"

namespace {

bool wait_for(socket_t sock, short events, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd entry{sock, events, 0};
    int ready = poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

bool numeric_endpoint(const sockaddr_storage& address, socklen_t length, std::string& host, int& port) {
  char host_text[NI_MAXHOST];
  char port_text[NI_MAXSERV];
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host_text, sizeof(host_text),
                  port_text, sizeof(port_text), NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return false;
  }
  host = host_text;
  port = std::stoi(port_text);
  return true;
}

}  // namespace

bool wait_until_readable(socket_t sock, std::chrono::milliseconds timeout) {
  return wait_for(sock, POLLIN, timeout);
}

bool wait_until_writable(socket_t sock, std::chrono::milliseconds timeout) {
  return wait_for(sock, POLLOUT, timeout);
}

long receive_some(socket_t sock, char* buffer, std::size_t size) {
  for (;;) {
    ssize_t received = recv(sock, buffer, size, 0);
    if (received >= 0 || errno != EINTR) return static_cast<long>(received);
  }
}

long send_some(socket_t sock, const char* data, std::size_t size) {
  for (;;) {
    ssize_t sent = send(sock, data, size, MSG_NOSIGNAL);
    if (sent >= 0 || errno != EINTR) return static_cast<long>(sent);
  }
}

void shut_down_sending(socket_t sock) { shutdown(sock, SHUT_WR); }

void shut_down_socket(socket_t sock) { shutdown(sock, SHUT_RDWR); }

void close_socket(socket_t sock) { close(sock); }

bool peer_endpoint(socket_t sock, std::string& address, int& port) {
  sockaddr_storage storage{};
  socklen_t length = sizeof(storage);
  return getpeername(sock, reinterpret_cast<sockaddr*>(&storage), &length) == 0 &&
         numeric_endpoint(storage, length, address, port);
}

bool local_endpoint(socket_t sock, std::string& address, int& port) {
  sockaddr_storage storage{};
  socklen_t length = sizeof(storage);
  return getsockname(sock, reinterpret_cast<sockaddr*>(&storage), &length) == 0 &&
         numeric_endpoint(storage, length, address, port);
}

// Linux takes a second listen on a listening socket as a new backlog.
void set_listen_backlog(socket_t sock, int backlog) { listen(sock, backlog); }

// Only SO_REUSEADDR: Linux then lets the port be bound again while connections of a
// previous run linger, but refuses a second listener. The library's default adds
// SO_REUSEPORT, with which a second gateway on the same port gets half the requests.
void set_exclusive_listen_options(socket_t sock) {
  int yes = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
}
