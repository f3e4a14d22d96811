#include "config/uplink_mode.h"

#include "base/text_utils.h"

std::optional<UplinkMode> parse_uplink_mode(const std::string& text) {
  std::string name = to_lower(trim(text));
  if (name == "balance") return UplinkMode::balance;
  if (name == "duplicate") return UplinkMode::duplicate;
  return std::nullopt;
}
