#include "rist/rist_destination.h"

#include <algorithm>

#include "base/log_escape.h"
#include "base/log_line.h"
#include "config/text_utils.h"
#include "config/url_params.h"
#include "net/srt_caller.h"

namespace {

const std::string kScheme = "rist://";

// Letters, digits, dots and hyphens: nothing that librist's URL parser would read as
// the start of a path, a query or an option.
bool is_host_name(const std::string& host) {
  return std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
  });
}

// Why "host:port" is not a usable endpoint, or empty when it is; fills host and port.
std::string problem_of(const std::string& authority, std::string& host, std::string& port) {
  if (is_ipv6_authority(authority)) return "IPv6 is not supported";
  size_t colon = authority.find(':');
  if (colon != authority.rfind(':')) return "host:port expected";
  host = trim(authority.substr(0, colon));
  if (host.empty()) return "no host";
  if (!is_host_name(host)) return "the host has characters no host name has";
  if (colon == std::string::npos) return "no port";
  port = trim(authority.substr(colon + 1));
  if (port.empty()) return "no port";
  if (!is_valid_port(port)) return "the port must be a number from 1 to 65535";
  return "";
}

}  // namespace

std::optional<std::string> rist_base_url(const std::string& destination) {
  std::string authority = destination;
  size_t found = authority.find(kScheme);
  if (found != std::string::npos) authority.erase(found, kScheme.size());
  std::string host, port;
  std::string problem = problem_of(trim(authority), host, port);
  if (!problem.empty()) {
    LogLine() << "-- RIST DESTINATION REFUSED, " << problem << ": " << escape_for_log(destination);
    return std::nullopt;
  }
  return kScheme + check_host(host) + ":" + port;
}
