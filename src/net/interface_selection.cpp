#include "net/interface_selection.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

#include "net/format_bitrate.h"

namespace {

// Virtual and tunnel adapters that must never be offered as a sending interface:
// words of Windows' adapter descriptions, anywhere in the text, and the name prefixes
// of Linux's virtual bridges and pairs (Docker, libvirt, container pairs, VMware and
// VirtualBox host networks), where the description is the interface name.
const std::array<std::string_view, 6> kExcludedWords = {"Hyper-V", "Loopback",    "VirtualBox",
                                                        "VMware",  "TAP-Windows", "WAN Miniport"};
const std::array<std::string_view, 6> kExcludedNamePrefixes = {"docker", "br-",   "virbr",
                                                               "veth",   "vmnet", "vboxnet"};

bool is_excluded(const std::string& description) {
  std::string_view text = description;
  return std::any_of(kExcludedWords.begin(), kExcludedWords.end(),
                     [&](std::string_view word) { return text.find(word) != std::string_view::npos; }) ||
         std::any_of(kExcludedNamePrefixes.begin(), kExcludedNamePrefixes.end(),
                     [&](std::string_view prefix) { return text.starts_with(prefix); });
}

// The first IPv4 address of the interface in table order, or null when it has none.
const std::string* first_ipv4_address(const std::vector<AddressRow>& addresses, uint32_t index) {
  auto found = std::find_if(addresses.begin(), addresses.end(), [&](const AddressRow& address) {
    return address.interface_index == index && address.is_ipv4;
  });
  if (found == addresses.end() || found->text.empty()) return nullptr;
  return &found->text;
}

// Octets moved between two readings of a 64-bit counter, computed in 64-bit unsigned
// arithmetic so that a wrap past 2^64 is absorbed. A step of half the range or more
// cannot be traffic (2^63 bytes take years even at 100 Gbit/s): the counter went
// backwards because it was reset, and what it counted since the reset is its reading.
uint64_t counter_delta(uint64_t previous, uint64_t current) {
  uint64_t forward = current - previous;
  return forward < (uint64_t{1} << 63) ? forward : current;
}

// The first call has no interval yet (and only zero deltas): it reads 0 bits per second.
double bits_per_second(uint64_t octets, double elapsed_seconds) {
  if (elapsed_seconds <= 0) return 0;
  return static_cast<double>(octets) * 8.0 / elapsed_seconds;
}

// The interface's IPv6 addresses in table order.
std::vector<std::string> ipv6_addresses(const std::vector<AddressRow>& addresses, uint32_t index) {
  std::vector<std::string> texts;
  for (const AddressRow& address : addresses) {
    if (address.interface_index == index && !address.is_ipv4 && !address.text.empty())
      texts.push_back(address.text);
  }
  return texts;
}

NetIface interface_entry(std::string title, std::string ip, std::vector<std::string> ipv6,
                         uint64_t out_octets, uint64_t in_octets, double elapsed_seconds) {
  double output = bits_per_second(out_octets, elapsed_seconds);
  double input = bits_per_second(in_octets, elapsed_seconds);
  return {std::move(title), std::move(ip), format_bitrate(output), format_bitrate(input),
          output,           input,         std::move(ipv6)};
}

}  // namespace

InterfaceSelection::InterfaceSelection(Clock::time_point start) : last_sample_time(start) {}

NetIfaceList InterfaceSelection::select(const std::optional<InterfaceSnapshot>& snapshot,
                                        Clock::time_point now) {
  double elapsed_seconds = std::chrono::duration<double>(now - last_sample_time).count();
  last_sample_time = now;
  if (!snapshot) return {};

  std::map<std::string, Entry> entries;  // std::string orders byte-wise (unsigned)
  Octets total;
  for (const InterfaceRow& row : snapshot->interfaces) {
    if (!row.operational || is_excluded(row.description)) continue;
    const std::string* ip = first_ipv4_address(snapshot->addresses, row.index);
    std::vector<std::string> ipv6 = ipv6_addresses(snapshot->addresses, row.index);
    if (ip == nullptr && ipv6.empty()) continue;
    Octets deltas = take_deltas(row);
    Entry& entry = entries[row.description];
    if (ip != nullptr) entry.ip = *ip;
    entry.ipv6.insert(entry.ipv6.end(), ipv6.begin(), ipv6.end());
    entry.moved.out += deltas.out;
    entry.moved.in += deltas.in;
    total.out += deltas.out;
    total.in += deltas.in;
  }

  NetIfaceList list;
  for (const auto& [description, entry] : entries) {
    list.push_back(
        interface_entry(description, entry.ip, entry.ipv6, entry.moved.out, entry.moved.in, elapsed_seconds));
  }
  list.push_back(interface_entry("All", "", {}, total.out, total.in, elapsed_seconds));
  return list;
}

InterfaceSelection::Octets InterfaceSelection::take_deltas(const InterfaceRow& row) {
  Octets current{row.out_octets, row.in_octets};
  auto [slot, first_seen] = previous_counters.try_emplace({row.description, row.index}, current);
  if (first_seen) return {};
  Octets deltas{counter_delta(slot->second.out, current.out), counter_delta(slot->second.in, current.in)};
  slot->second = current;
  return deltas;
}
