#include "config/ip_address.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace {

const size_t kIpv6Groups = 8;

// A decimal number of one to three digits, no sign and no leading zero (which some
// readers take for octal).
std::optional<unsigned> small_number(std::string_view text, unsigned max) {
  unsigned value = 0;
  if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
  return value;
}

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::optional<uint16_t> hex_group(std::string_view text) {
  if (text.empty() || text.size() > 4 || !std::all_of(text.begin(), text.end(), is_hex_digit))
    return std::nullopt;
  uint16_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return value;
}

// The 16-bit groups of one side of "::" (or of a whole address without it). The last
// piece of the address may be an IPv4 address, which gives two groups. Nothing for an
// empty piece.
std::optional<std::vector<uint16_t>> groups_of(std::string_view text, bool ends_the_address) {
  std::vector<uint16_t> groups;
  if (text.empty()) return groups;
  while (groups.size() <= kIpv6Groups) {
    size_t colon = text.find(':');
    std::string_view piece = text.substr(0, colon);
    if (ends_the_address && colon == std::string_view::npos && piece.find('.') != std::string_view::npos) {
      std::optional<uint32_t> ipv4 = parse_ipv4(piece);
      if (!ipv4) return std::nullopt;
      groups.push_back(static_cast<uint16_t>(*ipv4 >> 16));
      groups.push_back(static_cast<uint16_t>(*ipv4 & 0xFFFF));
      return groups;
    }
    std::optional<uint16_t> group = hex_group(piece);
    if (!group) return std::nullopt;
    groups.push_back(*group);
    if (colon == std::string_view::npos) return groups;
    text.remove_prefix(colon + 1);
  }
  return std::nullopt;
}

}  // namespace

std::optional<uint32_t> parse_ipv4(std::string_view text) {
  uint32_t address = 0;
  for (int part = 0; part < 4; ++part) {
    size_t dot = part < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return std::nullopt;
    std::optional<unsigned> byte = small_number(text.substr(0, dot), 255);
    if (!byte) return std::nullopt;
    address = address << 8 | *byte;
    text.remove_prefix(part < 3 ? dot + 1 : dot);
  }
  return address;
}

std::optional<IpAddress> parse_ipv6(std::string_view text) {
  size_t gap = text.find("::");
  std::optional<std::vector<uint16_t>> head = groups_of(text.substr(0, gap), gap == std::string_view::npos);
  std::optional<std::vector<uint16_t>> tail = std::vector<uint16_t>{};
  if (gap != std::string_view::npos) tail = groups_of(text.substr(gap + 2), true);
  if (!head || !tail) return std::nullopt;
  size_t given = head->size() + tail->size();
  if (gap == std::string_view::npos ? given != kIpv6Groups : given >= kIpv6Groups) return std::nullopt;
  std::vector<uint16_t> groups = *head;
  groups.resize(kIpv6Groups - tail->size(), 0);
  groups.insert(groups.end(), tail->begin(), tail->end());
  IpAddress address{IpFamily::ipv6, {}};
  for (size_t i = 0; i < kIpv6Groups; ++i) {
    address.bytes[2 * i] = static_cast<uint8_t>(groups[i] >> 8);
    address.bytes[2 * i + 1] = static_cast<uint8_t>(groups[i] & 0xFF);
  }
  return address;
}

std::optional<IpAddress> parse_ip_address(std::string_view text) {
  if (text.find(':') != std::string_view::npos) return parse_ipv6(text);
  std::optional<uint32_t> ipv4 = parse_ipv4(text);
  if (!ipv4) return std::nullopt;
  IpAddress address;
  for (int i = 0; i < 4; ++i) address.bytes[i] = static_cast<uint8_t>(*ipv4 >> (24 - 8 * i));
  return address;
}

unsigned address_bits(IpFamily family) { return family == IpFamily::ipv4 ? 32 : 128; }

std::optional<unsigned> parse_prefix_length(std::string_view text, IpFamily family) {
  return small_number(text, address_bits(family));
}

IpAddress masked(const IpAddress& address, unsigned prefix) {
  IpAddress result = address;
  for (unsigned i = 0; i < result.bytes.size(); ++i) {
    unsigned kept = prefix > 8 * i ? std::min(prefix - 8 * i, 8u) : 0;
    result.bytes[i] &= static_cast<uint8_t>(0xFF00 >> kept);
  }
  return result;
}

IpAddress without_ipv4_mapping(const IpAddress& address) {
  static const std::array<uint8_t, 12> kMappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (address.family != IpFamily::ipv6 ||
      !std::equal(kMappedPrefix.begin(), kMappedPrefix.end(), address.bytes.begin()))
    return address;
  IpAddress ipv4;
  std::copy(address.bytes.begin() + 12, address.bytes.end(), ipv4.bytes.begin());
  return ipv4;
}
