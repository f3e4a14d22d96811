#pragma once

#include <optional>
#include <string>

// How a stream uses the sending interfaces (the peers with a source address), from
// the configuration key `uplink_mode`.
//   balance:   librist spreads the packets over the interface peers (weight 1 each).
//   duplicate: every interface peer carries every packet (weight 0); the receiver
//              drops the copies, so losing any one uplink loses nothing.
enum class UplinkMode { balance, duplicate };

// The mode a configuration value names ("balance" or "duplicate", any letter case),
// or nothing when it names none.
std::optional<UplinkMode> parse_uplink_mode(const std::string& text);
