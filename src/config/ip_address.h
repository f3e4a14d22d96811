#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

// IP addresses as the settings and the admission check read them, parsed from text
// without a system call so that every parser of settings stays pure (and fuzzed).

enum class IpFamily { ipv4, ipv6 };

// An IPv4 address in the first 4 bytes (the others 0), an IPv6 address in all 16;
// network byte order.
struct IpAddress {
  IpFamily family = IpFamily::ipv4;
  std::array<uint8_t, 16> bytes{};
};

// Four dot-separated decimal parts 0..255 without leading zeros, in host byte order.
std::optional<uint32_t> parse_ipv4(std::string_view text);

// The text forms of RFC 4291: eight groups of one to four hex digits separated by ":",
// one "::" for a run of zero groups, the last two groups as an IPv4 address. No zone
// ("%eth0"), no brackets.
std::optional<IpAddress> parse_ipv6(std::string_view text);

// Either family, by its text form.
std::optional<IpAddress> parse_ip_address(std::string_view text);

// The address of a family's width (32 or 128 bits).
unsigned address_bits(IpFamily family);

// A block's prefix length: a decimal number up to address_bits, without leading zero.
std::optional<unsigned> parse_prefix_length(std::string_view text, IpFamily family);

// The address with every bit after the first `prefix` set to 0.
IpAddress masked(const IpAddress& address, unsigned prefix);

// An IPv6 address of the form ::ffff:a.b.c.d (how a dual-stack socket reports an IPv4
// peer) as that IPv4 address; any other as it is.
IpAddress without_ipv4_mapping(const IpAddress& address);
