// Endpoint texts and stream ids, one per line of the input: URL queries, RIST
// destinations (only a host name or an IPv6 address, a port of 1-65535 and options in
// librist's ranges come out, shown and refused without their secret or password),
// IPv6 addresses (read as the C library reads them), talkback URLs,
// peer cnames (a prefix of at most 125 bytes, cut before a NUL or a character, or at
// the limit where the bytes are no UTF-8) and the stream id in a shown peer URL (one
// option value that decodes to the id).

#include <arpa/inet.h>

#include <algorithm>
#include <string_view>

#include "base/text_utils.h"
#include "config/endpoint_settings.h"
#include "config/ip_address.h"
#include "config/secret_mask.h"
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

void check_destination(const RistDestination& d) {
  const RistOptions& o = d.options;
  bool name = !d.host.empty() && std::all_of(d.host.begin(), d.host.end(), is_host_byte);
  fuzz_check((name || parse_ipv6(d.host)) && is_valid_port(d.port),
             "a host name or IPv6 address, a port of 1-65535");
  fuzz_check((o.buffer_ms == 0 || (o.buffer_ms >= 50 && o.buffer_ms <= 30000)) && o.bandwidth_kbps >= 0 &&
                 o.bandwidth_kbps <= 4294967 &&
                 (o.secret.empty() ? o.aes_type == 0 : o.aes_type == 128 || o.aes_type == 256) &&
                 o.secret.size() <= kMaxSecretLength && o.username.empty() == o.password.empty(),
             "options librist can apply");
  fuzz_check(o.profile == RistProfile::main || (d.port % 2 == 0 && o.secret.empty() && o.username.empty()),
             "a simple-profile destination on an even port, without secrets");
}

// No option of a shown entry (cut at ',', at its first '?' and then at '&', as the
// parser cuts it) names a secret or a password with anything but the mask.
void check_masked(const std::string& shown) {
  for (const std::string& entry : fuzz_pieces(shown, ",")) {
    if (entry.find('?') == npos) continue;
    for (const std::string& option : fuzz_pieces(entry.substr(entry.find('?') + 1), "&")) {
      std::string name = to_lower(option.substr(0, option.find('=')));
      if (option.find('=') != npos && (name.find("secret") != npos || name.find("pass") != npos))
        fuzz_check(option.substr(option.find('=')) == "=***", "a secret is shown masked");
    }
  }
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
  std::string shown = peer_urls({"h", 1, {}}, id, "", UplinkMode::balance).shown;
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
    std::vector<RistDestination> destinations = parse_destinations(line, faults);
    fuzz_check(destinations.size() + faults.size() == split(line, ",").size(),
               "a destination or a reason each");
    for (const RistDestination& destination : destinations) {
      check_destination(destination);
      check_masked(shown_destination(destination));
    }
    for (const std::string& entry : split(line, ",")) {
      std::vector<std::string> refusal;
      parse_destinations(entry, refusal);
      std::string masked = mask_secrets("rist_endpoint", entry);
      check_masked(masked);
      fuzz_check(refusal.empty() || refusal[0].rfind("\"" + masked + "\": ", 0) == 0,
                 "a refusal quotes it masked");
    }
  }
  return 0;
}
