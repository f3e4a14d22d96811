#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/ip_address.h"

// A block of allow_from: an IPv4 or IPv6 network whose bits beyond the prefix are 0.
struct AddressBlock {
  IpAddress network;
  unsigned prefix = 0;  // 0-32 for IPv4, 0-128 for IPv6
};

// One allowed_streams entry: "ID" or "ID:PASSPHRASE".
struct AllowedStream {
  std::string id;
  std::string passphrase;     // empty: none of its own
  std::string misconfigured;  // set when libsrt refuses the passphrase: its callers are refused
};

// Who may send (srt_passphrase, srt_pbkeylen, allowed_streams, allow_from, max_streams).
// An empty text and 0 mean "not set"; a list that is set but names nothing admits none. A value read from a
// file that cannot be applied fails closed: `misconfigured` names it, and every caller is refused for it.
struct AccessSettings {
  std::string passphrase;
  int key_length = 0;                                         // 0, 16, 24 or 32
  std::optional<std::vector<AllowedStream>> allowed_streams;  // none: every stream id
  std::optional<std::vector<AddressBlock>> allow_from;        // none: every address
  int max_streams = 0;                                        // 0: no limit
  std::string misconfigured;
};

// Each parser gives the value, or nothing and the reason in `fault`; a reason never
// quotes a passphrase.

// Empty when libsrt takes the passphrase (10 to 79 characters), else the reason.
std::string passphrase_fault(const std::string& passphrase);
// Comma-separated IPv4 or IPv6 addresses ("a.b.c.d", "2001:db8::7") or blocks
// ("a.b.c.d/n", "2001:db8::/32").
std::optional<std::vector<AddressBlock>> parse_allow_from(const std::string& text, std::string& fault);
// Comma-separated entries cut at the first colon. An entry without id or with an empty
// passphrase fails the whole list; one whose passphrase libsrt refuses is kept with
// `misconfigured` set to the reason.
std::optional<std::vector<AllowedStream>> parse_allowed_streams(const std::string& text, std::string& fault);
std::optional<int> parse_key_length(const std::string& text, std::string& fault);
std::optional<int> parse_max_streams(const std::string& text, std::string& fault);
