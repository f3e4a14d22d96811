#include "config/access_settings.h"

#include <charconv>
#include <string_view>

#include "base/text_utils.h"

namespace {

// libsrt's bounds for SRTO_PASSPHRASE.
const size_t kShortestPassphrase = 10;
const size_t kLongestPassphrase = 79;

// A decimal number of one to three digits, no sign and no leading zero (which some
// readers take for octal).
std::optional<unsigned> small_number(std::string_view text, unsigned max) {
  unsigned value = 0;
  if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
  return value;
}

// "a.b.c.d" or "a.b.c.d/n"; host bits beyond the prefix are dropped.
std::optional<AddressBlock> parse_block(const std::string& text) {
  size_t slash = text.find('/');
  std::optional<uint32_t> address = parse_ipv4(std::string_view(text).substr(0, slash));
  std::optional<unsigned> prefix = 32;
  if (slash != std::string::npos) prefix = small_number(std::string_view(text).substr(slash + 1), 32);
  if (!address || !prefix) return std::nullopt;
  uint32_t mask = *prefix == 0 ? 0 : ~uint32_t{0} << (32 - *prefix);
  return AddressBlock{*address & mask, mask};
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

std::string passphrase_fault(const std::string& passphrase) {
  if (passphrase.size() >= kShortestPassphrase && passphrase.size() <= kLongestPassphrase) return "";
  return "has " + std::to_string(passphrase.size()) + " characters; libsrt takes a passphrase of 10 to 79";
}

std::optional<std::vector<AddressBlock>> parse_allow_from(const std::string& text, std::string& fault) {
  std::vector<AddressBlock> blocks;
  for (const std::string& entry : split(text, ",")) {
    std::optional<AddressBlock> block = parse_block(entry);
    if (!block) {
      fault = "\"" + entry + "\" is not an IPv4 address or CIDR block";
      return std::nullopt;
    }
    blocks.push_back(*block);
  }
  return blocks;
}

std::optional<std::vector<AllowedStream>> parse_allowed_streams(const std::string& text, std::string& fault) {
  std::vector<AllowedStream> streams;
  std::vector<std::string> entries = split(text, ",");
  for (size_t index = 0; index < entries.size(); ++index) {
    size_t colon = entries[index].find(':');
    AllowedStream stream{trim(entries[index].substr(0, colon)), "", ""};
    if (stream.id.empty()) {
      fault = "entry " + std::to_string(index + 1) + " has no stream id";
      return std::nullopt;
    }
    if (colon != std::string::npos) {
      stream.passphrase = trim(entries[index].substr(colon + 1));
      if (stream.passphrase.empty()) {
        fault = "the passphrase of \"" + stream.id + "\" is empty";
        return std::nullopt;
      }
      std::string refused = passphrase_fault(stream.passphrase);
      if (!refused.empty()) stream.misconfigured = "the passphrase of \"" + stream.id + "\" " + refused;
    }
    streams.push_back(std::move(stream));
  }
  return streams;
}

std::optional<int> parse_key_length(const std::string& text, std::string& fault) {
  std::optional<int> value = parse_int(text);
  if (value && (*value == 0 || *value == 16 || *value == 24 || *value == 32)) return value;
  fault = "\"" + text + "\" is not 0, 16, 24 or 32";
  return std::nullopt;
}

std::optional<int> parse_max_streams(const std::string& text, std::string& fault) {
  std::optional<int> value = parse_int(text);
  if (value && *value >= 0) return value;
  fault = "\"" + text + "\" is not a whole number from 0 up";
  return std::nullopt;
}
