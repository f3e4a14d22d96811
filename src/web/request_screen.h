#pragma once

#include <httplib.h>

#include <optional>
#include <string>

// What the HTTP server judges from a request's head alone, before it routes the
// request or reads a byte of its body. Pure functions; called on the library's
// worker threads.

struct HttpRefusal {
  int status;
  std::string reason;
};

// The answer for a request the gateway will not serve, or nothing:
// - 400 for an HTTP/1.1 request without a Host header or any request with more than
//   one, and for Content-Length headers that are not all the same decimal number;
// - 404 for a path with a NUL byte (sent encoded, as "%00");
// - 403 for a request that may change state (any method but GET, HEAD and OPTIONS)
//   sent by a browser for a page of another site. Browsers name the page's site in
//   Sec-Fetch-Site; older ones only give its Origin, which must then be the host the
//   request went to. Clients that send neither, such as curl, are not browsers and
//   pass.
// - 415 for a compressed body, which could unpack far beyond the bound below;
// - 413 for a body longer than kMaxRequestBodyBytes.
std::optional<HttpRefusal> screen_request(const httplib::Request& request);

// True when the request comes with a body (a Content-Length above 0, or
// Transfer-Encoding), or may (Content-Length headers that do not give one length).
bool carries_body(const httplib::Request& request);

// False for ranges that would make an answer larger than the file: more than
// kMaxRanges, or two that overlap (a suffix range such as "-500" overlaps any other,
// as where it starts depends on the file).
bool ranges_acceptable(const httplib::Ranges& ranges);
