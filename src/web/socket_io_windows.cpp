#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>

#include "web/socket_io.h"

namespace {

bool wait_for(socket_t sock, short events, std::chrono::milliseconds timeout) {
  WSAPOLLFD entry{sock, events, 0};
  return WSAPoll(&entry, 1, static_cast<INT>(timeout.count())) > 0;
}

int clamp_length(std::size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

}  // namespace

bool wait_until_readable(socket_t sock, std::chrono::milliseconds timeout) {
  return wait_for(sock, POLLRDNORM, timeout);
}

bool wait_until_writable(socket_t sock, std::chrono::milliseconds timeout) {
  return wait_for(sock, POLLWRNORM, timeout);
}

long receive_some(socket_t sock, char* buffer, std::size_t size) {
  return recv(sock, buffer, clamp_length(size), 0);
}

long send_some(socket_t sock, const char* data, std::size_t size) {
  return send(sock, data, clamp_length(size), 0);
}

void shut_down_sending(socket_t sock) { shutdown(sock, SD_SEND); }

void shut_down_socket(socket_t sock) { shutdown(sock, SD_BOTH); }

void close_socket(socket_t sock) { closesocket(sock); }

std::string this_host_name() {
  char name[256] = {};
  return gethostname(name, sizeof(name) - 1) == 0 ? name : "";
}

// Windows keeps the backlog of the first listen; the call changes nothing there.
void set_listen_backlog(socket_t sock, int backlog) { listen(sock, backlog); }

// SO_EXCLUSIVEADDRUSE: no other socket may bind the port while this one holds it.
void set_exclusive_listen_options(socket_t sock) {
  BOOL yes = TRUE;
  setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof(yes));
}
