#include "web/connection_table.h"

#include <algorithm>

#include "web/socket_io.h"

Admission ConnectionTable::admit(socket_t sock, const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex);
  if (closing) return Admission::closing;
  bool scarce = address_of.size() + 1 + kept_free > pool_size;
  if (scarce && holds_the_most(address)) return Admission::workers_scarce;
  ++count_of[address];
  address_of[sock] = address;
  return Admission::admitted;
}

bool ConnectionTable::holds_the_most(const std::string& address) const {
  auto own = count_of.find(address);
  if (own == count_of.end()) return false;
  return std::none_of(count_of.begin(), count_of.end(),
                      [&](const auto& other) { return other.second > own->second; });
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
