#include "config/url_params.h"

#include <algorithm>

#include "base/text_utils.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The number a port text begins with, after blanks and a sign, e.g. 5000 for "5000/x".
int leading_number(const std::string& text) {
  size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return 0;
  size_t end = start;
  if (text[end] == '+' || text[end] == '-') ++end;
  while (end < text.size() && is_digit(text[end])) ++end;
  return parse_int(std::string_view(text).substr(start, end - start)).value_or(0);
}

}  // namespace

void parse_url(const std::string& url, std::string& host, int& port, UrlParams& params) {
  size_t scheme_end = url.find("://");
  if (scheme_end == std::string::npos) return;
  std::string rest = url.substr(scheme_end + 3);
  size_t query_start = rest.find_first_of("?&");
  std::string authority = rest.substr(0, query_start);
  // The colons of an IPv6 address in brackets are not the port's.
  size_t bracket = starts_with(authority, "[") ? authority.find(']') : std::string::npos;
  size_t colon = authority.find(':', bracket == std::string::npos ? 0 : bracket);
  host = bracket == std::string::npos ? authority.substr(0, colon) : authority.substr(1, bracket - 1);
  port = colon == std::string::npos ? 0 : leading_number(authority.substr(colon + 1));
  if (query_start != std::string::npos) params = parse_query(rest.substr(query_start + 1));
}

std::string url_authority(const std::string& url) {
  size_t scheme_end = url.find("://");
  if (scheme_end == std::string::npos) return "";
  std::string rest = url.substr(scheme_end + 3);
  return rest.substr(0, rest.find_first_of("?&"));
}

bool is_ipv6_authority(const std::string& authority) {
  std::string text = trim(authority);
  return starts_with(text, "[") || text.find("::") != std::string::npos ||
         std::count(text.begin(), text.end(), ':') > 2;
}

bool is_valid_port(int port) { return port >= 1 && port <= 65535; }

bool is_valid_port(const std::string& text) {
  if (!is_number(text) || text.size() > 5) return false;
  return is_valid_port(parse_int(text).value_or(0));
}

UrlParams parse_query(const std::string& query) {
  UrlParams params;
  size_t start = 0;
  while (start < query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    std::string piece = query.substr(start, end - start);
    size_t equals = piece.find('=');
    if (equals != std::string::npos) params[piece.substr(0, equals)] = piece.substr(equals + 1);
    start = end + 1;
  }
  return params;
}

std::string get_param(const UrlParams& params, const std::string& key, const std::string& default_value) {
  auto found = params.find(key);
  return found == params.end() ? default_value : found->second;
}

bool is_number(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), is_digit);
}
