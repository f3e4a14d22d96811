// Winsock first: iphlpapi.h pulls in windows.h, which must not bring the old winsock.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <netioapi.h>
// clang-format on

#include "net/interface_selection.h"
#include "net/interfaces.h"

// Windows sources through the IP Helper API: GetIfTable2 for the interface rows with
// their 64-bit octet counters, GetUnicastIpAddressTable for the addresses of every
// family in the system's order.

namespace {

std::string to_utf8(const wchar_t* text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return "";
  std::string utf8(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
  utf8.resize(static_cast<size_t>(size) - 1);
  return utf8;
}

// Nothing when the interface table cannot be read.
std::optional<std::vector<InterfaceRow>> read_interfaces() {
  MIB_IF_TABLE2* table = nullptr;
  if (GetIfTable2(&table) != NO_ERROR) return std::nullopt;
  std::vector<InterfaceRow> rows;
  rows.reserve(table->NumEntries);
  for (ULONG i = 0; i < table->NumEntries; ++i) {
    const MIB_IF_ROW2& row = table->Table[i];
    rows.push_back({row.InterfaceIndex, row.OperStatus == IfOperStatusUp, to_utf8(row.Description),
                    row.OutOctets, row.InOctets});
  }
  FreeMibTable(table);
  return rows;
}

// The text of an IPv4 address, or of an IPv6 one that can reach other hosts (not
// link-local, not loopback); empty for any other.
std::string usable_address_text(const SOCKADDR_INET& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.si_family == AF_INET) {
    inet_ntop(AF_INET, &address.Ipv4.sin_addr, text, sizeof text);
  } else if (address.si_family == AF_INET6 && !IN6_IS_ADDR_LINKLOCAL(&address.Ipv6.sin6_addr) &&
             !IN6_IS_ADDR_LOOPBACK(&address.Ipv6.sin6_addr)) {
    inet_ntop(AF_INET6, &address.Ipv6.sin6_addr, text, sizeof text);
  }
  return text;
}

// Every unicast address in table order; none when the table cannot be read.
std::vector<AddressRow> read_addresses() {
  MIB_UNICASTIPADDRESS_TABLE* table = nullptr;
  if (GetUnicastIpAddressTable(AF_UNSPEC, &table) != NO_ERROR) return {};
  std::vector<AddressRow> addresses;
  addresses.reserve(table->NumEntries);
  for (ULONG i = 0; i < table->NumEntries; ++i) {
    const MIB_UNICASTIPADDRESS_ROW& row = table->Table[i];
    addresses.push_back(
        {row.InterfaceIndex, row.Address.si_family == AF_INET, usable_address_text(row.Address)});
  }
  FreeMibTable(table);
  return addresses;
}

std::optional<InterfaceSnapshot> read_snapshot() {
  std::optional<std::vector<InterfaceRow>> interfaces = read_interfaces();
  if (!interfaces) return std::nullopt;
  return InterfaceSnapshot{std::move(*interfaces), read_addresses()};
}

}  // namespace

NetIfaceList enumerate_interfaces() {
  static InterfaceSelection selection(InterfaceSelection::Clock::now());
  InterfaceSelection::Clock::time_point now = InterfaceSelection::Clock::now();
  return selection.select(read_snapshot(), now);
}
