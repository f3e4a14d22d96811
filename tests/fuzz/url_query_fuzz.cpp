// parse_url and parse_query on any bytes. Every parameter read is a "key=value" piece
// of the query with neither "&" in it nor "=" in its key; a URL without "://" changes
// no output; the host holds no ":" and no query separator.

#include "config/url_params.h"
#include "fuzz_check.h"

namespace {

void check_query(const std::string& query) {
  UrlParams params = parse_query(query);
  for (const auto& [key, value] : params) {
    fuzz_check(key.find_first_of("&=") == std::string::npos, "a key holds no & and no =");
    fuzz_check(value.find('&') == std::string::npos, "a value holds no &");
    fuzz_check(query.find(key + "=" + value) != std::string::npos, "every parameter is a piece of the query");
  }
}

void check_url(const std::string& url) {
  std::string host = "unchanged";
  int port = -7;
  UrlParams params{{"kept", "1"}};
  parse_url(url, host, port, params);
  size_t scheme_end = url.find("://");
  if (scheme_end == std::string::npos) {
    fuzz_check(host == "unchanged" && port == -7 && params.size() == 1, "no scheme changes nothing");
    return;
  }
  fuzz_check(host.find_first_of(":?&") == std::string::npos, "the host holds no : ? or &");
  fuzz_check(url.find(host, scheme_end + 3) == scheme_end + 3, "the host follows the scheme");
  std::string rest = url.substr(scheme_end + 3);
  size_t query_start = rest.find_first_of("?&");
  if (query_start != std::string::npos) {
    fuzz_check(params == parse_query(rest.substr(query_start + 1)), "the parameters are the query's");
  } else {
    fuzz_check(params.size() == 1 && params.count("kept") == 1, "a URL without query keeps the parameters");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input = fuzz_text(data, size);
  check_query(input);
  check_url(input);
  return 0;
}
