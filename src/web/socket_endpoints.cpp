// The numeric endpoints of a connection: the same calls on both platforms, declared by
// the headers net/socket_headers.h chooses (Windows' ws2tcpip.h names socklen_t too).
#include "net/socket_headers.h"
#include "web/socket_io.h"

namespace {

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

// getpeername or getsockname, then the numbers of the address it gave.
template <typename Query>
bool endpoint(Query query, socket_t sock, std::string& address, int& port) {
  sockaddr_storage storage{};
  socklen_t length = sizeof(storage);
  return query(sock, reinterpret_cast<sockaddr*>(&storage), &length) == 0 &&
         numeric_endpoint(storage, length, address, port);
}

}  // namespace

bool peer_endpoint(socket_t sock, std::string& address, int& port) {
  return endpoint(getpeername, sock, address, port);
}

bool local_endpoint(socket_t sock, std::string& address, int& port) {
  return endpoint(getsockname, sock, address, port);
}
