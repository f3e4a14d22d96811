#include "rist/uplink_mode.h"

#include "base/text_utils.h"

std::optional<UplinkMode> parse_uplink_mode(const std::string& text) {
  std::string name = to_lower(trim(text));
  if (name == "balance") return UplinkMode::balance;
  if (name == "duplicate") return UplinkMode::duplicate;
  return std::nullopt;
}

const char* interface_peer_weight(UplinkMode mode) { return mode == UplinkMode::duplicate ? "0" : "1"; }
