#include "rist/endpoints.h"

#include <algorithm>

#include "base/log_line.h"
#include "base/text_utils.h"

namespace {

// Warns when host is neither an IPv6 address nor written as four dot-separated pieces:
// no name resolution is done anywhere.
void check_host(const std::string& host) {
  if (host.find(':') == std::string::npos && split(host, ".").size() != 4) {
    LogLine() << "-- WARNING: resolve DNS not implemented. Use IP for host";
  }
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

}  // namespace

void check_destinations(const std::vector<RistDestination>& destinations) {
  for (const RistDestination& destination : destinations) check_host(destination.host);
  if (destinations.empty())
    LogLine() << "-- NO RIST DESTINATION: the stream goes nowhere until rist_endpoint names one";
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

PeerUrls peer_urls(const RistDestination& destination, const std::string& stream_id,
                   const std::string& network, UplinkMode mode) {
  std::string base_url = "rist://" + host_and_port(destination.host, destination.port);
  PeerUrls urls{base_url, base_url + "?cname=" + percent_encoded(stream_id)};
  if (!network.empty()) {
    std::string options = "miface=" + network + "&weight=" + interface_peer_weight(mode);
    urls.parsed += "?" + options;
    urls.shown += "&" + options;
  }
  std::string shown_options_text = shown_options(destination.options);
  if (!shown_options_text.empty()) urls.shown += "&" + shown_options_text;
  return urls;
}

bool network_reaches(const std::string& network, const RistDestination& destination) {
  if (network.empty()) return true;
  bool ipv6_network = network.find(':') != std::string::npos;
  return ipv6_network == (destination.host.find(':') != std::string::npos);
}

const char* interface_peer_weight(UplinkMode mode) { return mode == UplinkMode::duplicate ? "0" : "1"; }
