// normalise_destinations on any bytes. Input: "stream id\ndestination\ndestination...".
// Every URL made is "rist://" + a host without ":" + an optional ":port" + "?cname="
// + the stream id, one for each destination at most, in order.

#include <vector>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto [stream_id, rest] = fuzz_head_and_tail(fuzz_text(data, size));
  std::vector<std::string> destinations = lines_of(rest);
  std::vector<std::string> urls = normalise_destinations(destinations, stream_id);
  fuzz_check(urls.size() <= destinations.size(), "at most one URL per destination");
  const std::string scheme = "rist://";
  const std::string tail = "?cname=" + stream_id;
  for (const std::string& url : urls) {
    fuzz_check(url.rfind(scheme, 0) == 0, "a URL starts with rist://");
    fuzz_check(url.size() >= scheme.size() + tail.size() && url.compare(url.size() - tail.size(), tail.size(), tail) == 0,
               "a URL ends with the stream id as cname");
    std::string authority = url.substr(scheme.size(), url.size() - scheme.size() - tail.size());
    fuzz_check(authority.find(':') == authority.rfind(':'), "the host holds no colon");
  }
  return 0;
}
