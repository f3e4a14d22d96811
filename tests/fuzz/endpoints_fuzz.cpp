// Endpoint texts and stream ids, one per line of the input: URL queries, RIST
// destinations (only "rist://host:port" with a port of 1-65535 comes out, the host a
// name or an IPv6 address in brackets), IPv6 addresses (read as the C library reads
// them), talkback URLs,
// peer cnames (a prefix of at most 125 bytes, cut before a NUL or a character, or at
// the limit where the bytes are no UTF-8) and the stream id in a shown peer URL (one
// option value that decodes to the id).

#include <arpa/inet.h>

#include <algorithm>
#include <string_view>

#include "base/text_utils.h"
#include "config/endpoint_settings.h"
#include "config/ip_address.h"
#include "config/url_params.h"
#include "fuzz_check.h"
#include "rist/endpoints.h"

namespace {

bool is_host_byte(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-'; }

void check_url(const std::string& url) {
  std::string host = "unchanged";
  int port = -7;
  UrlParams params{{"kept", "1"}};
  parse_url(url, host, port, params);
  size_t scheme_end = url.find("://");
  if (scheme_end == npos) {
    fuzz_check(host == "unchanged" && port == -7 && params.size() == 1, "no scheme changes nothing");
    return;
  }
  bool bracketed = url.compare(scheme_end + 3, 1, "[") == 0;
  fuzz_check(host.find_first_of("?&") == npos && (bracketed || host.find(':') == npos),
             "the host holds no ? or &, nor : outside brackets");
  size_t query = url.find_first_of("?&", scheme_end + 3);
  bool has_query = query != npos;
  fuzz_check(params == (has_query ? parse_query(url.substr(query + 1)) : UrlParams{{"kept", "1"}}),
             "the parameters are the query's, or kept without one");
  if (!has_query) return;
  for (const auto& [key, value] : params) {
    fuzz_check(key.find_first_of("&=") == npos && value.find('&') == npos &&
                   url.find(key + "=" + value, query) != npos,
               "every parameter is a key=value piece of the query");
  }
}

void check_base_url(const std::string& url) {
  size_t host = std::string("rist://").size(), colon = url.rfind(':');
  fuzz_check(url.rfind("rist://", 0) == 0 && colon > host, "a URL is rist://host:port");
  std::string name = url.substr(host, colon - host);
  bool ipv6 = name.size() > 2 && name.front() == '[' && name.back() == ']' &&
              parse_ipv6(name.substr(1, name.size() - 2));
  fuzz_check(ipv6 || std::all_of(name.begin(), name.end(), is_host_byte), "a host name or [IPv6 address]");
  fuzz_check(is_valid_port(url.substr(colon + 1)), "the port is 1-65535");
}

void check_ipv6(const std::string& text) {
  if (text.find('\0') != npos) return;
  in6_addr expected{};
  bool valid = inet_pton(AF_INET6, text.c_str(), &expected) == 1;
  std::optional<IpAddress> address = parse_ipv6(text);
  fuzz_check(address.has_value() == valid, "an IPv6 address exactly where the C library reads one");
  fuzz_check(!address || std::equal(address->bytes.begin(), address->bytes.end(), expected.s6_addr),
             "the C library's bytes");
}

void check_cname(const std::string& id) {
  std::string cname = peer_cname(id);
  size_t cut = cname.size();
  fuzz_check(cut <= kMaxCnameLength && id.compare(0, cut, cname) == 0 && cname.find('\0') == npos,
             "a prefix");
  auto continues = [&id](size_t at) { return (id[at] & 0xC0) == 0x80; };
  bool no_utf8 = cut == kMaxCnameLength && continues(cut - 1) && continues(cut - 2) && continues(cut - 3);
  fuzz_check(cut == id.size() || id[cut] == '\0' || !continues(cut) || no_utf8, "cut between characters");
}

void check_shown_cname(const std::string& id) {
  const std::string prefix = "rist://h:1?cname=";
  std::string shown = peer_urls("rist://h:1", id, "", UplinkMode::balance).shown;
  fuzz_check(shown.rfind(prefix, 0) == 0, "the shown URL is the base and the cname");
  std::string decoded;
  for (size_t at = prefix.size(); at < shown.size(); ++at) {
    char c = shown[at];
    if (c == '%' && at + 2 < shown.size()) {
      decoded += static_cast<char>(std::stoi(shown.substr(at + 1, 2), nullptr, 16));
      at += 2;
    } else {
      fuzz_check(std::isalnum(static_cast<unsigned char>(c)) || std::string_view("-._~").find(c) != npos,
                 "only unreserved characters and %XX");
      decoded += c;
    }
  }
  fuzz_check(decoded == id, "the shown cname decodes to the stream id");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> lines = fuzz_pieces(std::string(reinterpret_cast<const char*>(data), size), "\n");
  for (const std::string& line : lines) {
    check_url(line);
    check_ipv6(line);
    check_cname(line);
    check_shown_cname(line);
    std::string fault;
    std::optional<TalkbackEndpoint> talkback = parse_talkback_endpoint(line, fault);
    fuzz_check(talkback ? fault.empty() && is_valid_port(talkback->port) : !fault.empty(),
               "a talkback endpoint with a port of 1-65535, or the reason");
    std::vector<std::string> faults;
    std::vector<std::string> urls = normalise_destinations(parse_destinations(line, faults));
    fuzz_check(urls.size() + faults.size() == split(line, ",").size(), "a URL or a reason per destination");
    for (const std::string& url : urls) check_base_url(url);
  }
  return 0;
}
