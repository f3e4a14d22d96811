#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "config/endpoint_settings.h"
#include "config/uplink_mode.h"

// The URLs librist is given for a stream's RIST destinations (parsed and checked by the
// settings) and stream id. Everything here reads outside input (stream ids) and calls
// no library, so it is fuzzed on its own.

// Logs a warning for each host name (not an IPv6 address, not four dot-separated pieces:
// no name resolution is done anywhere), and a line when there is no destination at all.
void check_destinations(const std::vector<RistDestination>& destinations);

// librist keeps the cname in 128 bytes with its terminator and, when it writes the
// cname into RTCP, copies up to four bytes after it (terminator and padding) out of
// those 128: a cname of at most 125 bytes keeps the copy inside them.
constexpr size_t kMaxCnameLength = 125;

// The cname a stream's peers announce: the stream id up to its first NUL byte, cut to
// at most kMaxCnameLength bytes without splitting a UTF-8 character (bytes that are no
// UTF-8 are cut at the limit).
std::string peer_cname(const std::string& stream_id);

// The URLs of one peer. librist parses `parsed` ("rist://host:port" with
// "?miface=NETWORK&weight=W" when network is not empty: 1 to balance, 0 to duplicate),
// which holds no byte of the stream id nor of the destination's options: the stream id
// reaches librist as the cname field, the options as fields of its peer configuration.
// `shown`, for the log and the figures, is "rist://host:port?cname=STREAM_ID" with the
// same options and then the destination's shown options (secrets as "***") after it;
// every byte of the stream id outside a URL's unreserved characters (letters, digits,
// "-", ".", "_", "~") is shown as "%XX", so that no part of it looks like an option.
struct PeerUrls {
  std::string parsed;
  std::string shown;
};
PeerUrls peer_urls(const RistDestination& destination, const std::string& stream_id,
                   const std::string& network, UplinkMode mode);

// True when a peer can send from `network` (a local address; "" for none, which lets the
// system choose) to the destination: to an IPv6 destination only from an IPv6 address,
// to any other only from an IPv4 one.
bool network_reaches(const std::string& network, const RistDestination& destination);

// The librist weight of an interface peer: "1" to balance, "0" to duplicate.
const char* interface_peer_weight(UplinkMode mode);
