#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "net/srt_caller_params.h"
#include "rist/uplink_mode.h"

// The texts that name a stream's endpoints, turned into what librist and libsrt are
// given: configured RIST destinations into peer URLs, the talkback URL into caller
// parameters. Everything here reads outside input (configuration, stream ids) and
// calls neither library, so it is fuzzed on its own. Every problem is logged.

// Warns when host is not written as four dot-separated pieces (no name resolution is
// done anywhere) and gives it back unchanged.
std::string check_host(const std::string& host);

// The peer base URL "rist://host:port" for one configured RIST destination: "host:port"
// with an optional "rist://" in front and blanks around either part. Nothing when the
// text names no usable IPv4 endpoint (no host, no port, a port outside 1-65535, an
// IPv6 address, characters no host name has); the reason is logged.
std::optional<std::string> rist_base_url(const std::string& destination);

// The base URLs of the destinations that are usable, in order.
std::vector<std::string> normalise_destinations(const std::vector<std::string>& destinations);

// librist keeps the cname in 128 bytes with its terminator and, when it writes the
// cname into RTCP, copies up to four bytes after it (terminator and padding) out of
// those 128: a cname of at most 125 bytes keeps the copy inside them.
constexpr size_t kMaxCnameLength = 125;

// The cname a stream's peers announce: the stream id up to its first NUL byte, cut to
// at most kMaxCnameLength bytes without splitting a UTF-8 character (bytes that are no
// UTF-8 are cut at the limit).
std::string peer_cname(const std::string& stream_id);

// The URLs of one peer. librist parses `parsed` ("base" with "?miface=NETWORK&weight=W"
// when network is not empty: 1 to balance, 0 to duplicate), which holds no byte of the
// stream id: the stream id reaches librist as the cname field. `shown`, for the log and
// the figures, is "base?cname=STREAM_ID" with the same options after it; every byte of
// the stream id outside a URL's unreserved characters (letters, digits, "-", ".", "_",
// "~") is shown as "%XX", so that no part of it looks like an option.
struct PeerUrls {
  std::string parsed;
  std::string shown;
};
PeerUrls peer_urls(const std::string& base_url, const std::string& stream_id, const std::string& network,
                   UplinkMode mode);

// The outgoing connection to the talkback endpoint: host, port and parameters
// ("streamid", "latency", "passphrase", "pbkeylen") from its URL, bound to the first
// local network. A number that is not a plain digit string, or too long for 32 bits,
// gives 0. Logs the parameters with the passphrase masked. Nothing, with a log line,
// when the URL names an IPv6 address or a port outside 1-65535.
std::optional<SrtCallerParams> talkback_caller_params(const std::string& tb_endpoint,
                                                      const std::vector<std::string>& networks,
                                                      const std::string& stream_id);
