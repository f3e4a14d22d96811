#include "web/connection_table.h"

#include "web/socket_io.h"

Admission ConnectionTable::admit(socket_t sock, const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex);
  if (closing) return Admission::closing;
  std::size_t& count = count_of[address];
  if (count >= per_address) return Admission::address_full;
  ++count;
  address_of[sock] = address;
  return Admission::admitted;
}

void ConnectionTable::release(socket_t sock) {
  std::lock_guard<std::mutex> lock(mutex);
  auto entry = address_of.find(sock);
  if (entry == address_of.end()) return;
  auto count = count_of.find(entry->second);
  if (--count->second == 0) count_of.erase(count);
  address_of.erase(entry);
}

void ConnectionTable::close_all() {
  std::lock_guard<std::mutex> lock(mutex);
  closing = true;
  for (const auto& [sock, address] : address_of) shut_down_socket(sock);
}
