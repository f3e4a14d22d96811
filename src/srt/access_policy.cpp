#include "srt/access_policy.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "base/text_utils.h"

namespace {

bool address_allowed(const std::vector<AddressBlock>& blocks, const std::optional<IpAddress>& caller) {
  if (!caller) return false;
  IpAddress address = without_ipv4_mapping(*caller);
  return std::any_of(blocks.begin(), blocks.end(), [&](const AddressBlock& block) {
    return block.network.family == address.family &&
           masked(address, block.prefix).bytes == block.network.bytes;
  });
}

// The entry that names the stream; the first of two equal ids wins.
const AllowedStream* find_stream(const std::vector<AllowedStream>& streams, const std::string& stream_id) {
  std::string name = access_name(stream_id);
  for (const AllowedStream& stream : streams) {
    if (stream.id == name) return &stream;
  }
  return nullptr;
}

AccessDecision refuse(Refusal refusal, std::string reason) {
  return AccessDecision{refusal, std::move(reason), "", 0};
}

}  // namespace

AccessDecision decide_access(const AccessSettings& access, const CallerRequest& caller) {
  if (!access.misconfigured.empty()) return refuse(Refusal::misconfigured, access.misconfigured);
  if (access.allow_from && !address_allowed(*access.allow_from, caller.address)) {
    return refuse(Refusal::forbidden, "address not in allow_from");
  }
  AccessDecision decision;
  if (access.allowed_streams) {
    const AllowedStream* listed = find_stream(*access.allowed_streams, caller.stream_id);
    if (listed == nullptr) return refuse(Refusal::not_found, "stream id not in allowed_streams");
    if (!listed->misconfigured.empty()) return refuse(Refusal::misconfigured, listed->misconfigured);
    decision.stream_passphrase = listed->passphrase;
  }
  if (access.max_streams > 0 && caller.open_streams >= static_cast<size_t>(access.max_streams)) {
    return refuse(Refusal::overload, "max_streams=" + std::to_string(access.max_streams) + " reached");
  }
  bool encrypted = !access.passphrase.empty() || !decision.stream_passphrase.empty();
  decision.key_length = encrypted ? access.key_length : 0;
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

const Route* find_stream_route(const RouteTable& routes, const std::string& stream_id) {
  if (routes.empty()) return nullptr;
  return find_route(routes, access_name(stream_id));
}

bool is_talkback_stream(const std::string& stream_id) {
  std::string name = access_name(stream_id);
  return name.find("talkback") != std::string::npos || name.find("feedbackplay") != std::string::npos;
}
