#pragma once

#include <optional>
#include <string>

// The peer base URL "rist://host:port" for one configured RIST destination: "host:port"
// with an optional "rist://" in front and blanks around either part. Nothing when the
// text names no usable IPv4 endpoint (no host, no port, a port outside 1-65535, an
// IPv6 address, characters no host name has); the reason is logged.
std::optional<std::string> rist_base_url(const std::string& destination);
