#include "net/interface_selection.h"

#include <gtest/gtest.h>

namespace {

using Clock = InterfaceSelection::Clock;
using Lines = std::vector<std::string>;

const uint64_t kTwoTo32 = uint64_t{1} << 32;
const uint64_t kMaxCounter = ~uint64_t{0};

Clock::time_point at(int seconds) { return Clock::time_point(std::chrono::seconds(seconds)); }

InterfaceRow up(uint32_t index, const std::string& description, uint64_t out = 0, uint64_t in = 0) {
  return {index, true, description, out, in};
}

AddressRow ipv4(uint32_t index, const std::string& text) { return {index, true, text}; }

// "title | ip | output | input", one line per entry.
Lines lines(const NetIfaceList& list) {
  Lines result;
  for (const NetIface& iface : list) {
    result.push_back(iface.title + " | " + iface.ip + " | " + iface.output + " | " + iface.input);
  }
  return result;
}

// The list of the second of two samples taken 8 s apart, so that a rate in bit/s
// equals the octets moved.
Lines second_list(const InterfaceSnapshot& first, const InterfaceSnapshot& second) {
  InterfaceSelection selection(at(0));
  selection.select(first, at(10));
  return lines(selection.select(second, at(18)));
}

}  // namespace

TEST(InterfaceSelection, FirstListShowsZeroRatesEverywhere) {
  InterfaceSnapshot snapshot{{up(1, "eth0", 5000000, 7000000), up(2, "eth1", 1, 2)},
                             {ipv4(1, "192.168.1.20"), ipv4(2, "10.0.0.7")}};
  Lines expected = {"eth0 | 192.168.1.20 | 0.00 bps | 0.00 bps", "eth1 | 10.0.0.7 | 0.00 bps | 0.00 bps",
                    "All |  | 0.00 bps | 0.00 bps"};
  InterfaceSelection selection(at(0));
  EXPECT_EQ(lines(selection.select(snapshot, at(30))), expected);
}

TEST(InterfaceSelection, VirtualAdaptersAndLinuxVirtualInterfacesAreLeftOut) {
  struct Case {
    std::string description;
    bool listed;
  } cases[] = {
      {"VMware Virtual Ethernet Adapter for VMnet8", false},
      {"docker0", false},
      {"eth0", true},
      {"br0", true},
  };
  for (const Case& c : cases) {
    Lines got = second_list({{up(5, c.description, 100, 100)}, {ipv4(5, "10.0.0.5")}},
                            {{up(5, c.description, 900, 400)}, {ipv4(5, "10.0.0.5")}});
    Lines expected = {"All |  | 0.00 bps | 0.00 bps"};
    if (c.listed) {
      expected = {c.description + " | 10.0.0.5 | 800.00 bps | 300.00 bps",
                  "All |  | 800.00 bps | 300.00 bps"};
    }
    EXPECT_EQ(got, expected) << c.description;
  }
}

// An interface with IPv6 addresses alone is listed too, without an IPv4 address.
TEST(InterfaceSelection, Ipv6AddressesAreListedBesideTheIpv4One) {
  InterfaceSnapshot snapshot{
      {up(1, "eth0", 0, 0), up(2, "wwan0", 0, 0)},
      {{2, false, "2001:db8::2"}, ipv4(1, "10.0.0.1"), {1, false, "fd00::1"}, {2, false, "fd00::2"}}};
  NetIfaceList list = InterfaceSelection(at(0)).select(snapshot, at(8));
  std::vector<std::pair<std::string, std::vector<std::string>>> got;
  for (const NetIface& iface : list) got.push_back({iface.ip, iface.ipv6});
  EXPECT_EQ(got, (decltype(got){{"10.0.0.1", {"fd00::1"}}, {"", {"2001:db8::2", "fd00::2"}}, {"", {}}}));
}

TEST(InterfaceSelection, RowsWithoutAUsableAddressAreNeitherListedNorCounted) {
  InterfaceRow down{3, false, "eth3", 0, 0};
  struct Case {
    const char* what;
    InterfaceRow row;
    std::vector<AddressRow> addresses;
  } cases[] = {
      {"not operational", down, {ipv4(3, "10.0.0.3")}},
      {"link-local IPv6 only, which gives no text", up(3, "eth3"), {{3, false, ""}}},
      {"no address at all", up(3, "eth3"), {}},
  };
  for (Case& c : cases) {
    InterfaceSnapshot first{{up(1, "eth0", 0, 0), c.row}, c.addresses};
    first.addresses.push_back(ipv4(1, "192.168.1.20"));
    InterfaceSnapshot second = first;
    second.interfaces[0].out_octets = 16;
    second.interfaces[1].out_octets = 1000000;
    second.interfaces[1].in_octets = 1000000;
    EXPECT_EQ(second_list(first, second),
              (Lines{"eth0 | 192.168.1.20 | 16.00 bps | 0.00 bps", "All |  | 16.00 bps | 0.00 bps"}))
        << c.what;
  }
  EXPECT_EQ(second_list({{up(1, "eth0", 0, 0)}, {}}, {{up(1, "eth0", 9, 9)}, {}}),
            (Lines{"All |  | 0.00 bps | 0.00 bps"}))
      << "unreadable address table";
}

// Rows that share a description (a team of adapters) merge into one entry.
TEST(InterfaceSelection, EntriesAreInAscendingByteOrderWithAllLastHoldingTheSums) {
  InterfaceSnapshot first{{up(1, "eth1"), up(2, "\xC3\xA9th"), up(3, "Ethernet"), up(4, "eth0"), up(5, "10G"),
                           up(6, "Team"), up(7, "Team")},
                          {{4, false, "fe80::4"},
                           ipv4(4, "10.0.0.4"),
                           ipv4(4, "10.9.9.9"),
                           ipv4(1, "10.0.0.1"),
                           ipv4(2, "10.0.0.2"),
                           ipv4(3, "10.0.0.3"),
                           ipv4(5, "10.0.0.5"),
                           ipv4(6, "10.0.0.6"),
                           ipv4(7, "10.0.0.7")}};
  InterfaceSnapshot second = first;
  for (InterfaceRow& row : second.interfaces) {
    row.out_octets = 1000 * row.index;
    row.in_octets = row.index;
  }
  EXPECT_EQ(second_list(first, second), (Lines{
                                            "10G | 10.0.0.5 | 5.00 Kbps | 5.00 bps",
                                            "Ethernet | 10.0.0.3 | 3.00 Kbps | 3.00 bps",
                                            "Team | 10.0.0.7 | 13.00 Kbps | 13.00 bps",
                                            "eth0 | 10.0.0.4 | 4.00 Kbps | 4.00 bps",
                                            "eth1 | 10.0.0.1 | 1.00 Kbps | 1.00 bps",
                                            "\xC3\xA9th | 10.0.0.2 | 2.00 Kbps | 2.00 bps",
                                            "All |  | 28.00 Kbps | 28.00 bps",
                                        }));
}

TEST(InterfaceSelection, CounterDeltasAreTakenIn64BitWidth) {
  struct Case {
    const char* what;
    uint64_t previous, current;
    const char* rate;
  } cases[] = {
      {"wrap past 2^64", kMaxCounter - 295, 200, "496.00 bps"},
      {"passing 2^32 is no wrap", kTwoTo32 - 296, kTwoTo32 + 200, "496.00 bps"},
      {"more than 4 GiB in one interval", 7, 10 * kTwoTo32 + 7, "42.95 Gbps"},
      {"reset: only what was counted since", kTwoTo32 - 296, 200, "200.00 bps"},
      {"reset far from the top", 5000000000000, 0, "0.00 bps"},
  };
  for (const Case& c : cases) {
    Lines got = second_list({{up(1, "eth0", c.previous, c.previous)}, {ipv4(1, "10.0.0.1")}},
                            {{up(1, "eth0", c.current, c.current)}, {ipv4(1, "10.0.0.1")}});
    std::string rate = c.rate;
    EXPECT_EQ(got, (Lines{"eth0 | 10.0.0.1 | " + rate + " | " + rate, "All |  | " + rate + " | " + rate}))
        << c.what;
  }
}

// An unreadable table gives an empty list but starts an interval; a row without an
// address keeps its old counters; the rates come as numbers too.
TEST(InterfaceSelection, EveryListStartsTheNextInterval) {
  InterfaceSelection selection(at(0));
  selection.select(InterfaceSnapshot{{up(1, "eth0", 0, 0)}, {ipv4(1, "10.0.0.1")}}, at(10));
  EXPECT_TRUE(selection.select(std::nullopt, at(90)).empty());
  NetIfaceList list =
      selection.select(InterfaceSnapshot{{up(1, "eth0", 100, 0)}, {ipv4(1, "10.0.0.1")}}, at(98));
  EXPECT_EQ(list.front().output, "100.00 bps");
  selection.select(InterfaceSnapshot{{up(1, "eth0", 500, 0)}, {}}, at(106));
  list = selection.select(InterfaceSnapshot{{up(1, "eth0", 900, 50)}, {ipv4(1, "10.0.0.1")}}, at(114));
  EXPECT_EQ(lines(list),
            (Lines{"eth0 | 10.0.0.1 | 800.00 bps | 50.00 bps", "All |  | 800.00 bps | 50.00 bps"}));
  EXPECT_DOUBLE_EQ(list.back().output_bps, 800);
  EXPECT_DOUBLE_EQ(list.back().input_bps, 50);
}
