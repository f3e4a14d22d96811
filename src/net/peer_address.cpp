#include "net/peer_address.h"

#include <cstring>

namespace {

// The IPv4 address and port that a dual-stack socket reports as ::ffff:a.b.c.d.
sockaddr_storage ipv4_of_mapped(const sockaddr_in6& mapped) {
  sockaddr_storage storage{};
  auto& ipv4 = reinterpret_cast<sockaddr_in&>(storage);
  ipv4.sin_family = AF_INET;
  ipv4.sin_port = mapped.sin6_port;
  std::memcpy(&ipv4.sin_addr, &mapped.sin6_addr.s6_addr[12], 4);
  return storage;
}

}  // namespace

std::string address_text(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(address);
    if (inet_ntop(AF_INET, &ipv4.sin_addr, text, sizeof text) == nullptr) return "";
    return std::string(text) + ":" + std::to_string(ntohs(ipv4.sin_port));
  }
  if (address.ss_family == AF_INET6) {
    const auto& ipv6 = reinterpret_cast<const sockaddr_in6&>(address);
    if (IN6_IS_ADDR_V4MAPPED(&ipv6.sin6_addr)) return address_text(ipv4_of_mapped(ipv6));
    if (inet_ntop(AF_INET6, &ipv6.sin6_addr, text, sizeof text) == nullptr) return "";
    return "[" + std::string(text) + "]:" + std::to_string(ntohs(ipv6.sin6_port));
  }
  return "";
}

std::string peer_address(SRTSOCKET socket) {
  sockaddr_storage address{};
  int length = sizeof address;
  if (srt_getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) == SRT_ERROR) return "";
  return address_text(address);
}
