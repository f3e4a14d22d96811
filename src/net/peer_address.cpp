#include "net/peer_address.h"

std::string address_text(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(address);
    if (inet_ntop(AF_INET, &ipv4.sin_addr, text, sizeof text) == nullptr) return "";
    return std::string(text) + ":" + std::to_string(ntohs(ipv4.sin_port));
  }
  if (address.ss_family == AF_INET6) {
    const auto& ipv6 = reinterpret_cast<const sockaddr_in6&>(address);
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
