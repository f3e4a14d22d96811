#include "web/request_screen.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "base/text_utils.h"
#include "web/http_limits.h"

namespace {

bool may_change_state(const std::string& method) {
  return method != "GET" && method != "HEAD" && method != "OPTIONS";
}

// "http://host:port" gives "host:port"; "null" and other texts without a scheme give
// nothing.
std::string origin_authority(const std::string& origin) {
  std::size_t scheme_end = origin.find("://");
  return scheme_end == std::string::npos ? std::string() : origin.substr(scheme_end + 3);
}

// A form on any page may be posted here by the operator's browser without asking
// first; only the gateway's own page may change its state.
bool sent_for_another_site(const httplib::Request& request) {
  if (request.has_header("Sec-Fetch-Site")) {
    std::string site = request.get_header_value("Sec-Fetch-Site");
    return site != "same-origin" && site != "none";
  }
  if (!request.has_header("Origin")) return false;
  std::string authority = origin_authority(request.get_header_value("Origin"));
  return authority.empty() || to_lower(authority) != to_lower(request.get_header_value("Host"));
}

// An HTTP/1.1 request names its host once; HTTP/1.0 may leave it out.
bool one_host(const httplib::Request& request) {
  std::size_t hosts = request.headers.count("Host");
  return hosts == 1 || (hosts == 0 && request.version == "HTTP/1.0");
}

// Every Content-Length header, and every item of a list in one, must be the same
// decimal number. Otherwise where the body ends is in doubt: the library takes the
// first, and a body that says otherwise would be read as a request of its own.
bool one_content_length(const httplib::Request& request) {
  std::optional<std::string> length;
  auto [first, end] = request.headers.equal_range("Content-Length");
  for (auto header = first; header != end; ++header) {
    for (std::size_t begin = 0; begin <= header->second.size();) {
      std::size_t comma = std::min(header->second.find(',', begin), header->second.size());
      std::string item = trim(header->second.substr(begin, comma - begin));
      if (item.empty() || item.find_first_not_of("0123456789") != std::string::npos) return false;
      if (length && *length != item) return false;
      length = item;
      begin = comma + 1;
    }
  }
  return true;
}

bool compressed(const httplib::Request& request) {
  std::string encoding = request.get_header_value("Content-Encoding");
  return !encoding.empty() && to_lower(encoding) != "identity";
}

// Content-Length read as the library reads it when it takes the body.
std::uint64_t declared_length(const httplib::Request& request) {
  return request.get_header_value<std::uint64_t>("Content-Length");
}

bool overlap(const httplib::Range& a, const httplib::Range& b) {
  if (a.first < 0 || b.first < 0) return true;
  auto last = [](const httplib::Range& range) {
    return range.second < 0 ? std::numeric_limits<ssize_t>::max() : range.second;
  };
  return a.first <= last(b) && b.first <= last(a);
}

}  // namespace

std::optional<HttpRefusal> screen_request(const httplib::Request& request) {
  if (!one_host(request)) return HttpRefusal{400, "the request needs one Host header\n"};
  if (!one_content_length(request)) {
    return HttpRefusal{400, "the request's Content-Length headers do not give one length\n"};
  }
  // The library would look the file up by the text before the NUL and take the
  // content type from the text after it.
  if (request.path.find('\0') != std::string::npos) return HttpRefusal{404, "no such file\n"};
  if (may_change_state(request.method) && sent_for_another_site(request)) {
    return HttpRefusal{403, "this gateway takes changes only from its own page\n"};
  }
  if (!carries_body(request)) return std::nullopt;
  if (compressed(request)) {
    return HttpRefusal{415, "this gateway takes request bodies uncompressed only\n"};
  }
  if (declared_length(request) > kMaxRequestBodyBytes) {
    return HttpRefusal{413, "the request body is longer than the " + std::to_string(kMaxRequestBodyBytes) +
                                " bytes this gateway takes\n"};
  }
  return std::nullopt;
}

bool carries_body(const httplib::Request& request) {
  return declared_length(request) > 0 || request.has_header("Transfer-Encoding") ||
         !one_content_length(request);
}

bool ranges_acceptable(const httplib::Ranges& ranges) {
  if (ranges.size() > kMaxRanges) return false;
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    for (std::size_t j = i + 1; j < ranges.size(); ++j) {
      if (overlap(ranges[i], ranges[j])) return false;
    }
  }
  return true;
}
