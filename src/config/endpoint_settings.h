#pragma once

#include <optional>
#include <string>
#include <vector>

#include "config/destination_options.h"

// One destination of rist_endpoint, where a stream's RIST peers send.
struct RistDestination {
  std::string host;  // an IPv6 address (without brackets), or letters, digits, dots and
                     // hyphens: an IPv4 address or a host name
  int port = 0;      // 1-65535
  RistOptions options;
};

// The talkback source of tb_endpoint, "srt://host:port?streamid=…&latency=…&passphrase=…&pbkeylen=…"
// ("&" may stand for the "?"; the scheme's name is not checked).
struct TalkbackEndpoint {
  std::string host;                      // an IPv4 or IPv6 address (without brackets)
  int port = 0;                          // 1-65535
  std::optional<std::string> stream_id;  // none: the caller's own; may be empty
  int latency = 0;                       // ms; 0 leaves libsrt's default
  std::string passphrase;                // empty: no encryption; else 10 to 79 characters
  int pbkeylen = 0;                      // 0, 16, 24 or 32
};

// The usable destinations of a comma-separated list, in order: "host:port" or
// "[IPV6-ADDRESS]:port" with an optional leading "rist://", blanks around either part,
// and an optional "?option=value&…" (see options_problem). Each entry that names no
// usable endpoint or has an option librist cannot apply is left out and `"ENTRY": reason`
// appended to `faults`, the entry's secret and password shown as "***".
std::vector<RistDestination> parse_destinations(const std::string& text, std::vector<std::string>& faults);

// "host:port" ("[IPV6]:port"), with "?" and the shown options when any is set: how the log and the
// figures show a destination, never its secret or password.
std::string shown_destination(const RistDestination& destination);

// The endpoint, or nothing and the reason in `fault`, which never quotes the passphrase.
std::optional<TalkbackEndpoint> parse_talkback_endpoint(const std::string& text, std::string& fault);

// "host:port", with an IPv6 host in brackets: "[2001:db8::7]:5000".
std::string host_and_port(const std::string& host, int port);
