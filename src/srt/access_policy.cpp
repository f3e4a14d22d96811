#include "srt/access_policy.h"

#include <charconv>
#include <string_view>
#include <vector>

#include "base/text_utils.h"

namespace {

struct AddressBlock {
  uint32_t network;
  uint32_t mask;
};

struct AllowedStream {
  std::string id;
  std::string passphrase;
};

// A decimal number of one to three digits, no sign and no leading zero (which some
// readers take for octal).
std::optional<unsigned> small_number(std::string_view text, unsigned max) {
  unsigned value = 0;
  if (text.empty() || text.size() > 3 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
  return value;
}

// Four dot-separated decimal parts 0..255, nothing else.
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

// "a.b.c.d" or "a.b.c.d/n"; host bits beyond the prefix are ignored.
std::optional<AddressBlock> parse_block(const std::string& text) {
  size_t slash = text.find('/');
  std::optional<uint32_t> address = parse_ipv4(std::string_view(text).substr(0, slash));
  std::optional<unsigned> prefix = 32;
  if (slash != std::string::npos) prefix = small_number(std::string_view(text).substr(slash + 1), 32);
  if (!address || !prefix) return std::nullopt;
  uint32_t mask = *prefix == 0 ? 0 : ~uint32_t{0} << (32 - *prefix);
  return AddressBlock{*address & mask, mask};
}

// Fills blocks, or gives the fault.
std::string parse_allow_from(const std::string& text, std::vector<AddressBlock>& blocks) {
  for (const std::string& entry : split(text, ",")) {
    std::optional<AddressBlock> block = parse_block(entry);
    if (!block) return "allow_from: \"" + entry + "\" is not an IPv4 address or CIDR block";
    blocks.push_back(*block);
  }
  return "";
}

bool address_allowed(const std::vector<AddressBlock>& blocks, std::optional<uint32_t> ipv4) {
  if (!ipv4) return false;
  for (const AddressBlock& block : blocks) {
    if ((*ipv4 & block.mask) == block.network) return true;
  }
  return false;
}

// Entries "ID" or "ID:PASSPHRASE", cut at the first colon. Fills streams, or gives the
// fault; a fault never quotes a passphrase.
std::string parse_allowed_streams(const std::string& text, std::vector<AllowedStream>& streams) {
  std::vector<std::string> entries = split(text, ",");
  for (size_t index = 0; index < entries.size(); ++index) {
    size_t colon = entries[index].find(':');
    AllowedStream stream{trim(entries[index].substr(0, colon)), ""};
    if (stream.id.empty()) return "allowed_streams: entry " + std::to_string(index + 1) + " has no stream id";
    if (colon != std::string::npos) {
      stream.passphrase = trim(entries[index].substr(colon + 1));
      if (stream.passphrase.empty())
        return "allowed_streams: the passphrase of \"" + stream.id + "\" is empty";
    }
    streams.push_back(std::move(stream));
  }
  return "";
}

// The entry that names the stream; the first of two equal ids wins.
const AllowedStream* find_stream(const std::vector<AllowedStream>& streams, const std::string& stream_id) {
  std::string name = access_name(stream_id);
  for (const AllowedStream& stream : streams) {
    if (stream.id == name) return &stream;
  }
  return nullptr;
}

// 0 when not set; none when it is not a key length libsrt knows.
std::optional<int> parse_key_length(const std::string& text) {
  if (text.empty()) return 0;
  std::optional<int> value = parse_int(text);
  if (value && (*value == 0 || *value == 16 || *value == 24 || *value == 32)) return value;
  return std::nullopt;
}

// 0 (no limit) when not set; none when it is not a whole number from 0 up.
std::optional<int> parse_max_streams(const std::string& text) {
  if (text.empty()) return 0;
  std::optional<int> value = parse_int(text);
  if (value && *value >= 0) return value;
  return std::nullopt;
}

AccessDecision refuse(Refusal refusal, std::string reason) {
  return AccessDecision{refusal, std::move(reason), "", 0};
}

}  // namespace

AccessDecision decide_access(const AccessConfig& config, const CallerRequest& caller) {
  std::vector<AddressBlock> blocks;
  std::string fault = parse_allow_from(config.allow_from, blocks);
  if (!fault.empty()) return refuse(Refusal::misconfigured, fault);
  if (!config.allow_from.empty() && !address_allowed(blocks, caller.ipv4)) {
    return refuse(Refusal::forbidden, "address not in allow_from");
  }
  std::optional<int> key_length = parse_key_length(config.srt_pbkeylen);
  if (!key_length) {
    return refuse(Refusal::misconfigured,
                  "srt_pbkeylen: \"" + config.srt_pbkeylen + "\" is not 0, 16, 24 or 32");
  }
  std::optional<int> max_streams = parse_max_streams(config.max_streams);
  if (!max_streams) {
    return refuse(Refusal::misconfigured,
                  "max_streams: \"" + config.max_streams + "\" is not a whole number from 0 up");
  }
  std::vector<AllowedStream> streams;
  fault = parse_allowed_streams(config.allowed_streams, streams);
  if (!fault.empty()) return refuse(Refusal::misconfigured, fault);

  AccessDecision decision;
  if (!config.allowed_streams.empty()) {
    const AllowedStream* listed = find_stream(streams, caller.stream_id);
    if (listed == nullptr) return refuse(Refusal::not_found, "stream id not in allowed_streams");
    decision.stream_passphrase = listed->passphrase;
  }
  if (*max_streams > 0 && caller.open_streams >= static_cast<size_t>(*max_streams)) {
    return refuse(Refusal::overload, "max_streams=" + std::to_string(*max_streams) + " reached");
  }
  bool encrypted = !config.srt_passphrase.empty() || !decision.stream_passphrase.empty();
  decision.key_length = encrypted ? *key_length : 0;
  return decision;
}

std::optional<std::string> access_control_resource(const std::string& stream_id) {
  const std::string prefix = "#!::";
  if (!starts_with(stream_id, prefix)) return std::nullopt;
  std::optional<std::string> resource;
  size_t start = prefix.size();
  while (start <= stream_id.size()) {
    size_t end = stream_id.find(',', start);
    if (end == std::string::npos) end = stream_id.size();
    std::string_view pair = std::string_view(stream_id).substr(start, end - start);
    if (pair.substr(0, 2) == "r=") {
      if (resource) return std::nullopt;
      resource = std::string(pair.substr(2));
    }
    start = end + 1;
  }
  if (resource && resource->empty()) return std::nullopt;
  return resource;
}

std::string access_name(const std::string& stream_id) {
  return access_control_resource(stream_id).value_or(stream_id);
}

bool is_talkback_stream(const std::string& stream_id) {
  std::string name = access_name(stream_id);
  return name.find("talkback") != std::string::npos || name.find("feedbackplay") != std::string::npos;
}
