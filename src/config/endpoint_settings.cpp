#include "config/endpoint_settings.h"

#include <algorithm>

#include "base/text_utils.h"
#include "config/access_settings.h"
#include "config/secret_mask.h"
#include "config/url_params.h"

namespace {

const std::string kRistScheme = "rist://";

// Letters, digits, dots and hyphens: nothing that librist's URL parser would read as
// the start of a path, a query or an option.
bool is_host_name(const std::string& host) {
  return std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
  });
}

// Why "[ADDRESS]:PORT" names no IPv6 host, or empty; fills the host and the port's text.
std::string bracketed_host_problem(const std::string& authority, std::string& host, std::string& port) {
  size_t close = authority.find(']');
  if (close == std::string::npos) return "no \"]\" after the IPv6 address";
  host = authority.substr(1, close - 1);
  if (!parse_ipv6(host)) return "\"" + host + "\" is not an IPv6 address";
  std::string rest = trim(authority.substr(close + 1));
  if (!rest.empty() && rest[0] != ':') return "[ADDRESS]:PORT expected";
  port = rest.empty() ? "" : rest.substr(1);
  return "";
}

// Why "host:port" names no host, or empty; fills the host and the port's text.
std::string host_name_problem(const std::string& authority, std::string& host, std::string& port) {
  if (is_ipv6_authority(authority)) return "an IPv6 address is written in brackets: [ADDRESS]:PORT";
  size_t colon = authority.find(':');
  if (colon != authority.rfind(':')) return "host:port expected";
  host = trim(authority.substr(0, colon));
  if (host.empty()) return "no host";
  if (!is_host_name(host)) return "the host has characters no host name has";
  if (colon != std::string::npos) port = authority.substr(colon + 1);
  return "";
}

// Why "host:port" or "[ADDRESS]:PORT" is not a usable endpoint, or empty when it is;
// fills the destination.
std::string destination_problem(const std::string& authority, RistDestination& destination) {
  std::string port;
  std::string problem = starts_with(authority, "[")
                            ? bracketed_host_problem(authority, destination.host, port)
                            : host_name_problem(authority, destination.host, port);
  if (!problem.empty()) return problem;
  port = trim(port);
  if (port.empty()) return "no port";
  if (!is_valid_port(port)) return "the port must be a number from 1 to 65535";
  destination.port = parse_int(port).value_or(0);
  return "";
}

// A parameter that must be a plain decimal number; `fallback` when it is absent.
std::optional<int> number_param(const UrlParams& params, const std::string& key, int fallback) {
  std::string text = get_param(params, key, std::to_string(fallback));
  if (!is_number(text)) return std::nullopt;
  return parse_int(text);
}

// Why the endpoint's parameters cannot be applied, or empty; fills them in.
std::string talkback_params_problem(const UrlParams& params, TalkbackEndpoint& endpoint) {
  if (params.count("streamid") != 0) endpoint.stream_id = params.at("streamid");
  std::optional<int> latency = number_param(params, "latency", 0);
  if (!latency) return "latency \"" + get_param(params, "latency", "") + "\" is not a whole number from 0 up";
  endpoint.latency = *latency;
  std::optional<int> pbkeylen = number_param(params, "pbkeylen", 0);
  if (!pbkeylen || (*pbkeylen != 0 && *pbkeylen != 16 && *pbkeylen != 24 && *pbkeylen != 32))
    return "pbkeylen \"" + get_param(params, "pbkeylen", "") + "\" is not 0, 16, 24 or 32";
  endpoint.pbkeylen = *pbkeylen;
  endpoint.passphrase = get_param(params, "passphrase", "");
  if (!endpoint.passphrase.empty() && !passphrase_fault(endpoint.passphrase).empty())
    return "the passphrase " + passphrase_fault(endpoint.passphrase);
  return "";
}

// Why the URL names no usable talkback source, or empty; fills the endpoint.
std::string talkback_problem(const std::string& text, TalkbackEndpoint& endpoint) {
  if (text.find("://") == std::string::npos) return "srt://host:port expected";
  std::string authority = url_authority(text);
  UrlParams params;
  parse_url(text, endpoint.host, endpoint.port, params);
  bool bracketed = starts_with(trim(authority), "[");
  if (is_ipv6_authority(authority) && !bracketed)
    return "\"" + authority + "\": an IPv6 address is written in brackets: [ADDRESS]:PORT";
  if (!is_valid_port(endpoint.port))
    return "\"" + authority + "\": the port must be a number from 1 to 65535";
  if (bracketed ? !parse_ipv6(endpoint.host) : !parse_ipv4(endpoint.host))
    return "\"" + endpoint.host + "\" is not an " + (bracketed ? "IPv6" : "IPv4") + " address";
  return talkback_params_problem(params, endpoint);
}

}  // namespace

std::vector<RistDestination> parse_destinations(const std::string& text, std::vector<std::string>& faults) {
  std::vector<RistDestination> destinations;
  for (const std::string& entry : split(text, ",")) {
    std::string authority = starts_with(entry, kRistScheme) ? entry.substr(kRistScheme.size()) : entry;
    size_t query = authority.find('?');
    RistDestination destination;
    std::string problem = destination_problem(trim(authority.substr(0, query)), destination);
    if (problem.empty() && query != std::string::npos)
      problem = options_problem(authority.substr(query + 1), destination.port, destination.options);
    if (problem.empty()) {
      destinations.push_back(std::move(destination));
    } else {
      faults.push_back("\"" + mask_secrets("rist_endpoint", entry) + "\": " + problem);
    }
  }
  return destinations;
}

std::string shown_destination(const RistDestination& destination) {
  std::string shown = host_and_port(destination.host, destination.port);
  std::string options = shown_options(destination.options);
  return options.empty() ? shown : shown + "?" + options;
}

std::optional<TalkbackEndpoint> parse_talkback_endpoint(const std::string& text, std::string& fault) {
  TalkbackEndpoint endpoint;
  fault = talkback_problem(text, endpoint);
  if (!fault.empty()) return std::nullopt;
  return endpoint;
}

std::string host_and_port(const std::string& host, int port) {
  bool ipv6 = host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}
