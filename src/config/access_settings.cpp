#include "config/access_settings.h"

#include <string_view>

#include "base/text_utils.h"

namespace {

// libsrt's bounds for SRTO_PASSPHRASE.
const size_t kShortestPassphrase = 10;
const size_t kLongestPassphrase = 79;

// "ADDRESS" or "ADDRESS/n" of either family; host bits beyond the prefix are dropped.
std::optional<AddressBlock> parse_block(const std::string& text) {
  size_t slash = text.find('/');
  std::optional<IpAddress> address = parse_ip_address(std::string_view(text).substr(0, slash));
  if (!address) return std::nullopt;
  std::optional<unsigned> prefix = address_bits(address->family);
  if (slash != std::string::npos)
    prefix = parse_prefix_length(std::string_view(text).substr(slash + 1), address->family);
  if (!prefix) return std::nullopt;
  return AddressBlock{masked(*address, *prefix), *prefix};
}

}  // namespace

std::string passphrase_fault(const std::string& passphrase) {
  if (passphrase.size() >= kShortestPassphrase && passphrase.size() <= kLongestPassphrase) return "";
  return "has " + std::to_string(passphrase.size()) + " characters; libsrt takes a passphrase of 10 to 79";
}

std::optional<std::vector<AddressBlock>> parse_allow_from(const std::string& text, std::string& fault) {
  std::vector<AddressBlock> blocks;
  for (const std::string& entry : split(text, ",")) {
    std::optional<AddressBlock> block = parse_block(entry);
    if (!block) {
      fault = "\"" + entry + "\" is not an IP address or CIDR block";
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
