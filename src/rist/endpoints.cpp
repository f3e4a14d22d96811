#include "rist/endpoints.h"

#include <algorithm>

#include "base/log_escape.h"
#include "base/log_line.h"
#include "base/text_utils.h"
#include "config/secret_mask.h"
#include "config/url_params.h"

namespace {

const std::string kScheme = "rist://";

// Letters, digits, dots and hyphens: nothing that librist's URL parser would read as
// the start of a path, a query or an option.
bool is_host_name(const std::string& host) {
  return std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
  });
}

// A URL's unreserved characters (RFC 3986): they never start or end an option.
bool is_unreserved(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

// The text as one option value of a shown URL: every other byte as "%XX".
std::string percent_encoded(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (char c : text) {
    if (is_unreserved(c)) {
      encoded += c;
    } else {
      auto byte = static_cast<unsigned char>(c);
      encoded += {'%', kHex[byte >> 4], kHex[byte & 0xF]};
    }
  }
  return encoded;
}

// Why "host:port" is not a usable endpoint, or empty when it is; fills host and port.
std::string destination_problem(const std::string& authority, std::string& host, std::string& port) {
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

// Why the talkback URL names no usable endpoint, or empty. A URL without "://" is left
// to the connect, which reports its empty host.
std::string talkback_problem(const std::string& tb_endpoint, int port) {
  if (tb_endpoint.find("://") == std::string::npos) return "";
  if (is_ipv6_authority(url_authority(tb_endpoint))) return "IPv6 is not supported";
  if (!is_valid_port(port)) return "the port must be a number from 1 to 65535";
  return "";
}

// A parameter that is a plain decimal number, else 0 (also when too long for 32 bits).
int numeric_param(const UrlParams& params, const std::string& key) {
  std::string text = get_param(params, key, "0");
  if (!is_number(text)) return 0;
  return parse_int(text).value_or(0);
}

}  // namespace

std::string check_host(const std::string& host) {
  if (split(host, ".").size() != 4) {
    LogLine() << "-- WARNING: resolve DNS not implemented. Use IP for host";
  }
  return host;
}

std::optional<std::string> rist_base_url(const std::string& destination) {
  std::string authority = destination;
  size_t found = authority.find(kScheme);
  if (found != std::string::npos) authority.erase(found, kScheme.size());
  std::string host, port;
  std::string problem = destination_problem(trim(authority), host, port);
  if (!problem.empty()) {
    LogLine() << "-- RIST DESTINATION REFUSED, " << problem << ": " << escape_for_log(destination);
    return std::nullopt;
  }
  return kScheme + check_host(host) + ":" + port;
}

std::vector<std::string> normalise_destinations(const std::vector<std::string>& destinations) {
  std::vector<std::string> urls;
  for (const std::string& destination : destinations) {
    if (std::optional<std::string> url = rist_base_url(destination)) urls.push_back(*url);
  }
  if (urls.empty())
    LogLine() << "-- NO RIST DESTINATION: the stream goes nowhere until rist_endpoint names one";
  return urls;
}

std::string peer_cname(const std::string& stream_id) {
  size_t length = std::min(stream_id.find('\0'), kMaxCnameLength);
  if (length >= stream_id.size()) return stream_id;
  // Back off while the cut would fall inside a character: its continuation bytes
  // (10xxxxxx) would be left without their lead byte. A character has at most three of
  // them; where more follow each other the id is no UTF-8 and the cut stays.
  auto continues = [&stream_id](size_t at) {
    return (static_cast<unsigned char>(stream_id[at]) & 0xC0) == 0x80;
  };
  size_t cut = length;
  while (cut > 0 && length - cut < 3 && continues(cut)) --cut;
  return stream_id.substr(0, continues(cut) ? length : cut);
}

PeerUrls peer_urls(const std::string& base_url, const std::string& stream_id, const std::string& network,
                   UplinkMode mode) {
  std::string shown = base_url + "?cname=" + percent_encoded(stream_id);
  if (network.empty()) return {base_url, shown};
  std::string options = "miface=" + network + "&weight=" + interface_peer_weight(mode);
  return {base_url + "?" + options, shown + "&" + options};
}

std::optional<SrtCallerParams> talkback_caller_params(const std::string& tb_endpoint,
                                                      const std::vector<std::string>& networks,
                                                      const std::string& stream_id) {
  SrtCallerParams params;
  UrlParams url_params;
  parse_url(tb_endpoint, params.host, params.port, url_params);
  std::string problem = talkback_problem(tb_endpoint, params.port);
  if (!problem.empty()) {
    LogLine() << "Invalid talkback endpoint " << escape_for_log(url_authority(tb_endpoint)) << ": "
              << problem;
    return std::nullopt;
  }
  if (!networks.empty()) params.bind_address = networks.front();
  LogLine() << "url params:";
  for (const auto& [key, value] : url_params) {
    LogLine() << "  " << escape_for_log(key) << " " << escape_for_log(mask_secrets(key, value));
  }
  params.stream_id = get_param(url_params, "streamid", stream_id);
  params.latency = numeric_param(url_params, "latency");
  params.passphrase = get_param(url_params, "passphrase", "");
  params.pbkeylen = numeric_param(url_params, "pbkeylen");
  return params;
}
