// Settings as posted, shown in the log and applied to callers. The whole input is a
// configuration text, parsed into settings; its "head\ntail" is a key and value for the
// log's masking, and an allowed_streams list and a caller's stream id for the access
// decision.

#include <set>

#include "base/text_utils.h"
#include "config/config_parser.h"
#include "config/secret_mask.h"
#include "config/settings.h"
#include "fuzz_check.h"
#include "srt/access_policy.h"

namespace {

const std::string kMask = "***";

bool is_valid_port(int port) { return port >= 1 && port <= 65535; }

bool is_key_length(int length) { return length == 0 || length == 16 || length == 24 || length == 32; }

bool libsrt_takes(const std::string& passphrase) {
  return passphrase.size() >= 10 && passphrase.size() <= 79;
}

// Every entry is a trimmed, lower-cased, non-empty key and a trimmed value from one
// line, in the order of the lines.
void check_entries(const std::string& text) {
  int line = 0;
  for (const auto& [key, value, number] : parse_config_entries(text)) {
    fuzz_check(number > line, "lines counted upwards");
    line = number;
    fuzz_check(!key.empty() && trim(key) == key && trim(value) == value, "trimmed");
    fuzz_check(to_lower(key) == key && !starts_with(key, "//") && key.find('=') == npos, "a lower-cased key");
    fuzz_check((key + value).find_first_of("\r\n") == npos && text.find(value) != npos, "from one line");
  }
}

// Every value that is taken lies in its range; every problem names a known key on a
// line that holds it; an access problem fails closed; no problem quotes a passphrase.
void check_settings(const std::string& text) {
  ParsedSettings parsed = parse_settings(text);
  const Settings& s = parsed.settings;
  fuzz_check(is_valid_port(s.srt_port) && is_valid_port(s.web_port), "ports 1-65535");
  fuzz_check(s.srt_latency >= 0 && s.srt_max_latency >= 20 && s.srt_max_latency <= 60000, "latencies");
  std::vector<RistDestination> destinations = s.rist_endpoint;
  for (const auto& [name, route] : s.routes) {
    fuzz_check(name == route.name && to_lower(name) == name && find_route(s.routes, name) == &route,
               "by name");
    destinations.insert(destinations.end(), route.destinations.begin(), route.destinations.end());
  }
  for (const RistDestination& destination : destinations)
    fuzz_check(is_valid_port(destination.port) && !destination.host.empty() &&
                   destination.host.find_first_not_of(
                       "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") == npos,
               "a destination is a host name and a port");
  if (s.tb_endpoint) {
    fuzz_check(is_valid_port(s.tb_endpoint->port) && is_key_length(s.tb_endpoint->pbkeylen) &&
                   s.tb_endpoint->latency >= 0 &&
                   (s.tb_endpoint->passphrase.empty() || libsrt_takes(s.tb_endpoint->passphrase)),
               "a talkback source libsrt can call");
  }
  const AccessSettings& access = s.access;
  fuzz_check(is_key_length(access.key_length) && access.max_streams >= 0, "access numbers");
  fuzz_check(access.passphrase.empty() || libsrt_takes(access.passphrase), "a passphrase libsrt takes");
  for (const AllowedStream& stream : access.allowed_streams.value_or(std::vector<AllowedStream>{}))
    fuzz_check(stream.passphrase.empty() || libsrt_takes(stream.passphrase) || !stream.misconfigured.empty(),
               "a stream passphrase libsrt takes, or its callers refused");
  const std::set<std::string> keys = {"srt_port",      "web_port",       "srt_latency",  "srt_max_latency",
                                      "rist_endpoint", "ignore",         "tb_endpoint",  "uplink_mode",
                                      "web_token",     "srt_passphrase", "srt_pbkeylen", "allowed_streams",
                                      "allow_from",    "max_streams"};
  bool closed = false;
  for (const SettingsProblem& problem : parsed.problems) {
    bool on_its_line = false;
    for (const ConfigEntry& entry : parsed.entries)
      on_its_line |= entry.key == problem.key && entry.line == problem.line;
    fuzz_check((keys.count(problem.key) || is_route_key(problem.key)) && on_its_line,
               "a known key on its line");
    closed |= problem.instead == "every caller is refused as misconfigured";
    if (problem.key == "srt_passphrase")
      fuzz_check(problem.reason.find(access.passphrase) == npos || access.passphrase.empty(),
                 "no passphrase quoted");
  }
  fuzz_check(closed == !access.misconfigured.empty(), "an access problem fails closed");
}

// Secret keys show only the mask, allowed_streams each entry's id and the mask, any
// other value but the destinations of rist_endpoint and route.NAME (the endpoints
// target checks those) the mask for every "passphrase" parameter (cut at '?' and '&').
void check_masked(const std::string& key, const std::string& value) {
  std::string shown = mask_secrets(key, value);
  if (key == "web_token" || key == "passphrase" || key == "srt_passphrase") {
    fuzz_check(shown == kMask, "a secret key shows only the mask");
  } else if (key == "allowed_streams") {
    std::vector<std::string> expected;
    for (const std::string& entry : fuzz_pieces(value, ","))
      expected.push_back(entry.find(':') == npos ? entry : entry.substr(0, entry.find(':') + 1) + kMask);
    fuzz_check(fuzz_pieces(shown, ",") == expected, "each allowed_streams entry shows its id and the mask");
  } else if (key != "rist_endpoint" && !starts_with(key, "route.")) {
    for (const std::string& piece : fuzz_pieces(shown, "?&"))
      fuzz_check(!starts_with(piece, "passphrase=") || piece == "passphrase=" + kMask, "masked");
    fuzz_check(value.find("passphrase=") != std::string::npos || shown == value, "other values are kept");
  }
}

// A caller is admitted only by the first entry naming its whole id, or else the
// resource of its "#!::r=" form, and gets that entry's passphrase.
void check_access(std::string allowed, const std::string& stream_id) {
  allowed = trim(allowed.substr(0, allowed.find('\r')));  // the value as the line gives it
  AccessDecision decision = decide_access(parse_settings("allowed_streams=" + allowed).settings.access,
                                          CallerRequest{stream_id, parse_ip_address("127.0.0.1")});
  std::optional<std::string> resource = access_control_resource(stream_id);
  fuzz_check(!resource || resource->find(',') == npos, "a resource holds no comma");
  if (decision.refusal || allowed.empty()) return;
  std::optional<std::string> passphrase;
  for (const std::string& name : {stream_id, resource.value_or(stream_id)}) {
    for (const std::string& entry : split(allowed, ",")) {
      size_t colon = entry.find(':');
      if (!passphrase && trim(entry.substr(0, colon)) == name)
        passphrase = colon == npos ? "" : trim(entry.substr(colon + 1));
    }
  }
  fuzz_check(passphrase && decision.stream_passphrase == *passphrase, "the naming entry's passphrase");
  fuzz_check(passphrase->empty() || libsrt_takes(*passphrase), "only a passphrase libsrt takes admits");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  check_entries(text);
  check_settings(text);
  auto [head, tail] = fuzz_head_and_tail(text);
  check_masked(head, tail);
  check_access(head, tail);
  return 0;
}
