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

std::string this_host_name() {
  char name[256] = {};
  return gethostname(name, sizeof(name) - 1) == 0 ? name : "";
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
