#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "net/net_iface.h"

// One row of the platform's interface table, in the platform's own order.
struct InterfaceRow {
  uint32_t index = 0;
  bool operational = false;
  std::string description;
  uint64_t out_octets = 0;
  uint64_t in_octets = 0;
};

// One unicast address and the index of the interface that holds it. The platform
// layers leave out IPv6 link-local and loopback addresses, which cannot send to
// another host without more.
struct AddressRow {
  uint32_t interface_index = 0;
  bool is_ipv4 = false;
  std::string text;
};

// What a platform layer read in one pass. `addresses` is empty when the address
// table could not be read, so no interface is listed then.
struct InterfaceSnapshot {
  std::vector<InterfaceRow> interfaces;
  std::vector<AddressRow> addresses;
};

// Turns successive snapshots into interface lists with transmit and receive rates:
// operational rows with an IPv4 or IPv6 address whose description has none of the excluded
// words ("Hyper-V", "Loopback", "VirtualBox", "VMware", "TAP-Windows", "WAN Miniport",
// case-sensitive) and does not start like a Linux virtual interface ("docker", "br-",
// "virbr", "veth", "vmnet", "vboxnet"), merged by description, in ascending byte-wise
// order, then "All".
// Owns the sampling state: the time of the previous sample and the last octet
// counters of every interface seen (never pruned). Platform-neutral so tests can feed
// fake snapshots and a clock of their own. Not thread-safe: one caller at a time.
class InterfaceSelection {
 public:
  using Clock = std::chrono::steady_clock;

  explicit InterfaceSelection(Clock::time_point start);

  // The list for a snapshot taken at `now`, with rates averaged since the previous
  // call (or since `start`). No snapshot, because the interface table could not be
  // read, gives an empty list without "All"; the next interval starts at `now` anyway.
  NetIfaceList select(const std::optional<InterfaceSnapshot>& snapshot, Clock::time_point now);

 private:
  struct Octets {
    uint64_t out = 0;
    uint64_t in = 0;
  };
  struct Entry {
    std::string ip;
    std::vector<std::string> ipv6;
    Octets moved;
  };

  Octets take_deltas(const InterfaceRow& row);

  Clock::time_point last_sample_time;
  // Keyed by description and index, so that two rows sharing a description each keep
  // their own counters and both count.
  std::map<std::pair<std::string, uint32_t>, Octets> previous_counters;
};
