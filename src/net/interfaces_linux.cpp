#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <filesystem>
#include <fstream>
#include <map>

#include "net/interface_selection.h"
#include "net/interfaces.h"

// Linux sources: one row per entry of /sys/class/net (operational means operstate
// "up", so the loopback with its "unknown" is never listed; the description is the
// interface name; the 64-bit counters are statistics/tx_bytes and rx_bytes) and the
// IPv4 and IPv6 addresses in getifaddrs order.

namespace {

namespace fs = std::filesystem;

const char kInterfaceFolder[] = "/sys/class/net";

std::optional<std::string> read_first_line(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  return line;
}

std::optional<uint64_t> read_number(const fs::path& file) {
  std::optional<std::string> text = read_first_line(file);
  if (!text) return std::nullopt;
  const char* end = text->data() + text->size();
  uint64_t value = 0;
  auto [parsed_to, error] = std::from_chars(text->data(), end, value);
  if (error != std::errc() || parsed_to != end) return std::nullopt;
  return value;
}

// Nothing when the interface vanished while it was being read.
std::optional<InterfaceRow> read_interface(const fs::path& folder) {
  std::optional<uint64_t> index = read_number(folder / "ifindex");
  std::optional<std::string> operstate = read_first_line(folder / "operstate");
  std::optional<uint64_t> out_octets = read_number(folder / "statistics" / "tx_bytes");
  std::optional<uint64_t> in_octets = read_number(folder / "statistics" / "rx_bytes");
  if (!index || *index > UINT32_MAX || !operstate || !out_octets || !in_octets) return std::nullopt;
  return InterfaceRow{static_cast<uint32_t>(*index), *operstate == "up", folder.filename().string(),
                      *out_octets, *in_octets};
}

// Rows in ascending index order; nothing when the folder cannot be listed.
std::optional<std::vector<InterfaceRow>> read_interfaces() {
  std::error_code error;
  fs::directory_iterator entry(kInterfaceFolder, error);
  if (error) return std::nullopt;
  std::vector<InterfaceRow> rows;
  for (; entry != fs::directory_iterator(); entry.increment(error)) {
    if (std::optional<InterfaceRow> row = read_interface(entry->path())) rows.push_back(*row);
  }
  if (error) return std::nullopt;
  std::sort(rows.begin(), rows.end(),
            [](const InterfaceRow& a, const InterfaceRow& b) { return a.index < b.index; });
  return rows;
}

// getifaddrs names an IPv4 address by its label: the interface name, or "name:alias".
std::string interface_name_of_label(const char* label) {
  std::string name = label;
  return name.substr(0, name.find(':'));
}

// The text of an IPv4 address, or of an IPv6 one that can reach other hosts (not
// link-local, not loopback); empty for any other.
std::string usable_address_text(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  } else if (address->sa_family == AF_INET6) {
    const in6_addr& ipv6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    if (!IN6_IS_ADDR_LINKLOCAL(&ipv6) && !IN6_IS_ADDR_LOOPBACK(&ipv6))
      inet_ntop(AF_INET6, &ipv6, text, sizeof text);
  }
  return text;
}

// IPv4 and usable IPv6 addresses of the given interfaces in getifaddrs order; none
// when it fails.
std::vector<AddressRow> read_addresses(const std::vector<InterfaceRow>& interfaces) {
  std::map<std::string, uint32_t> index_by_name;
  for (const InterfaceRow& row : interfaces) index_by_name[row.description] = row.index;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return {};
  std::vector<AddressRow> addresses;
  for (const ifaddrs* item = list; item != nullptr; item = item->ifa_next) {
    if (item->ifa_addr == nullptr) continue;
    auto found = index_by_name.find(interface_name_of_label(item->ifa_name));
    std::string text = usable_address_text(item->ifa_addr);
    if (found == index_by_name.end() || text.empty()) continue;
    addresses.push_back({found->second, item->ifa_addr->sa_family == AF_INET, text});
  }
  freeifaddrs(list);
  return addresses;
}

std::optional<InterfaceSnapshot> read_snapshot() {
  std::optional<std::vector<InterfaceRow>> interfaces = read_interfaces();
  if (!interfaces) return std::nullopt;
  std::vector<AddressRow> addresses = read_addresses(*interfaces);
  return InterfaceSnapshot{std::move(*interfaces), std::move(addresses)};
}

}  // namespace

NetIfaceList enumerate_interfaces() {
  static InterfaceSelection selection(InterfaceSelection::Clock::now());
  InterfaceSelection::Clock::time_point now = InterfaceSelection::Clock::now();
  return selection.select(read_snapshot(), now);
}
