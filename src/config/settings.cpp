#include "config/settings.h"

#include <limits>
#include <map>
#include <unordered_set>

#include "base/text_utils.h"

namespace {

// What one entry's parser works with.
struct Entry {
  const ConfigEntry& entry;
  ParsedSettings& parsed;

  const std::string& value() const { return entry.value; }
  Settings& settings() const { return parsed.settings; }
  // Records a value that cannot be applied; gives its description.
  std::string fault(std::string reason, std::string instead) const {
    parsed.problems.push_back({entry.key, entry.line, std::move(reason), std::move(instead)});
    return describe(parsed.problems.back());
  }
  // An access setting that cannot be applied refuses every caller.
  void fail_closed(std::string reason) const {
    std::string described = fault(std::move(reason), "every caller is refused as misconfigured");
    if (settings().access.misconfigured.empty()) settings().access.misconfigured = described;
  }
};

// The decimal number a value starts with, in [min, max]: files written for earlier
// versions rely on this reading ("7000 // main", "200ms"), so the rest is only warned
// about. Anything else keeps the default.
void read_number(const Entry& entry, int& field, int min, int max) {
  LeadingInt leading = parse_leading_int(entry.value());
  if (!leading.value || *leading.value < min || *leading.value > max) {
    std::string range = max == std::numeric_limits<int>::max()
                            ? "from " + std::to_string(min) + " up"
                            : "from " + std::to_string(min) + " to " + std::to_string(max);
    entry.fault("\"" + entry.value() + "\" is not a whole number " + range,
                "using the default " + std::to_string(field));
    return;
  }
  if (!leading.rest.empty()) {
    entry.parsed.warnings.push_back("-- IGNORED TEXT IN " + entry.entry.key + "=" + entry.value() + ": \"" +
                                    std::string(leading.rest) + "\", using " +
                                    std::to_string(*leading.value));
  }
  field = *leading.value;
}

void read_passphrase(const Entry& entry) {
  std::string fault = passphrase_fault(entry.value());
  if (fault.empty()) {
    entry.settings().access.passphrase = entry.value();
  } else {
    entry.fail_closed(fault);
  }
}

void read_allowed_streams(const Entry& entry) {
  std::string fault;
  std::optional<std::vector<AllowedStream>> streams = parse_allowed_streams(entry.value(), fault);
  if (!streams) {
    entry.fail_closed(fault);
    return;
  }
  for (AllowedStream& stream : *streams) {
    if (stream.misconfigured.empty()) continue;
    stream.misconfigured =
        entry.fault(stream.misconfigured, "that stream's callers are refused as misconfigured");
  }
  entry.settings().access.allowed_streams = std::move(streams);
}

// An access value: what its parser gives goes into `field`; a value it refuses fails
// closed.
template <typename Value, typename Field>
void read_access_value(const Entry& entry, std::optional<Value> (*parse)(const std::string&, std::string&),
                       Field& field) {
  std::string fault;
  std::optional<Value> parsed = parse(entry.value(), fault);
  if (parsed) {
    field = std::move(*parsed);
  } else {
    entry.fail_closed(fault);
  }
}

void read_allow_from(const Entry& entry) {
  read_access_value(entry, parse_allow_from, entry.settings().access.allow_from);
}

void read_key_length(const Entry& entry) {
  read_access_value(entry, parse_key_length, entry.settings().access.key_length);
}

void read_max_streams(const Entry& entry) {
  read_access_value(entry, parse_max_streams, entry.settings().access.max_streams);
}

void read_destinations(const Entry& entry) {
  std::vector<std::string> faults;
  entry.settings().rist_endpoint = parse_destinations(entry.value(), faults);
  for (const std::string& fault : faults) entry.fault(fault, "left out");
}

// "route.NAME = DESTINATION, ...": a bad destination is left out. A route left with none
// is kept empty: its callers are refused rather than sent to rist_endpoint unasked.
void read_route(const Entry& entry) {
  std::string name = trim(entry.entry.key.substr(std::string(kRouteKeyPrefix).size()));
  if (name.empty()) {
    entry.fault("no stream name after \"route.\"", "left out");
    return;
  }
  std::vector<std::string> faults;
  Route route{name, parse_destinations(entry.value(), faults)};
  const char* refused = "its callers are refused as no_route";
  std::string left_out = route.destinations.empty()
                             ? std::string("left out, the route has no destination left: ") + refused
                             : "left out";
  for (const std::string& fault : faults) entry.fault(fault, left_out);
  if (route.destinations.empty() && faults.empty()) entry.fault("no destination", refused);
  entry.settings().routes.emplace(name, std::move(route));
}

void read_talkback_endpoint(const Entry& entry) {
  std::string fault;
  entry.settings().tb_endpoint = parse_talkback_endpoint(entry.value(), fault);
  if (!entry.settings().tb_endpoint) entry.fault(fault, "left out: talkback callers are closed");
}

void read_uplink_mode(const Entry& entry) {
  std::optional<UplinkMode> mode = parse_uplink_mode(entry.value());
  if (mode) {
    entry.settings().uplink_mode = *mode;
  } else {
    entry.fault("\"" + entry.value() + "\" is not balance or duplicate", "using balance");
  }
}

using Reader = void (*)(const Entry&);

const std::map<std::string, Reader>& readers() {
  static const std::map<std::string, Reader> table = {
      {"srt_port", [](const Entry& e) { read_number(e, e.settings().srt_port, 1, 65535); }},
      {"web_port", [](const Entry& e) { read_number(e, e.settings().web_port, 1, 65535); }},
      {"srt_latency",
       [](const Entry& e) { read_number(e, e.settings().srt_latency, 0, std::numeric_limits<int>::max()); }},
      {"srt_max_latency", [](const Entry& e) { read_number(e, e.settings().srt_max_latency, 20, 60000); }},
      {"rist_endpoint", read_destinations},
      {"ignore", [](const Entry& e) { e.settings().ignore = split(e.value(), ","); }},
      {"tb_endpoint", read_talkback_endpoint},
      {"uplink_mode", read_uplink_mode},
      {"web_token", [](const Entry& e) { e.settings().web_token = e.value(); }},
      {"srt_passphrase", read_passphrase},
      {"srt_pbkeylen", read_key_length},
      {"allowed_streams", read_allowed_streams},
      {"allow_from", read_allow_from},
      {"max_streams", read_max_streams},
  };
  return table;
}

// The reader of a key; nullptr for a key the gateway does not know.
Reader reader_of(const std::string& key) {
  auto found = readers().find(key);
  if (found != readers().end()) return found->second;
  return is_route_key(key) ? read_route : nullptr;
}

}  // namespace

std::string describe(const SettingsProblem& problem) {
  return problem.key + ", line " + std::to_string(problem.line) + ": " + problem.reason;
}

ParsedSettings parse_settings(const std::string& text) {
  ParsedSettings parsed;
  for (ConfigEntry& entry : parse_config_entries(text)) {
    if (!entry.value.empty() || is_route_key(entry.key)) parsed.entries.push_back(std::move(entry));
  }
  std::unordered_set<std::string> seen;
  for (const ConfigEntry& entry : parsed.entries) {
    Reader read = reader_of(entry.key);
    if (read == nullptr || !seen.insert(entry.key).second) continue;
    read(Entry{entry, parsed});
  }
  return parsed;
}
