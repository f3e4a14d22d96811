// normalise_destinations on any bytes, one destination per line. Every URL made is
// "rist://" + a host of letters, digits, dots and hyphens + ":" + a port of 1-65535,
// one for each destination at most.

#include <algorithm>
#include <vector>

#include "config/url_params.h"
#include "fuzz_check.h"
#include "rist/forwarding_loop.h"

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool is_host_byte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> destinations = lines_of(fuzz_text(data, size));
  std::vector<std::string> urls = normalise_destinations(destinations);
  fuzz_check(urls.size() <= destinations.size(), "at most one URL per destination");
  const std::string scheme = "rist://";
  for (const std::string& url : urls) {
    fuzz_check(url.rfind(scheme, 0) == 0, "a URL starts with rist://");
    size_t colon = url.rfind(':');
    fuzz_check(colon > scheme.size(), "a URL has a host");
    std::string host = url.substr(scheme.size(), colon - scheme.size());
    fuzz_check(std::all_of(host.begin(), host.end(), is_host_byte), "the host holds only host name bytes");
    fuzz_check(is_valid_port(url.substr(colon + 1)), "the port is 1-65535");
  }
  return 0;
}
